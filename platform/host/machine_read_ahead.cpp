// Reads of a client's read-ahead windows that keep the next window coming:
// the answer goes out first, then the next window is read into the other
// half of the shared buffer while the client copies from this one.
#include "platform/host/irp_io.h"
#include "platform/host/machine.h"

namespace tarn::host {

void Machine::OnPrefetchedRead(Connection& conn, OpenFile& file, uint64_t offset, uint32_t length,
                               wire::Writer& reply) {
    const uint32_t half = static_cast<uint32_t>(wire::kPrefetchHalf(conn.SharedSize()));
    OpenFile::Prefetched& next = file.Prefetch();
    OpenFile::Prefetched now;
    if (next.valid && next.offset == offset && next.length == length && next.status == STATUS_SUCCESS &&
        next.information > 0) {
        now = next;
    } else {
        // Read now, into the first half. The generation is taken before the
        // request begins, as for every read-ahead.
        now.offset = offset;
        now.length = length;
        now.at = 0;
        now.generation = generations_.Current(file.GenerationSlot());
        now.status = IoSendReadWrite(file.Top(), file.FileObject(), IRP_MJ_READ, conn.Shared(), length,
                                     static_cast<LONGLONG>(offset), &now.information);
    }
    next.valid = false;
    wire::Writer answer;
    wire::WriteReplyHeader(answer, static_cast<uint32_t>(now.status), now.information);
    answer.U64(now.generation);
    answer.U32(now.at);
    if (!conn.Send(answer.Finish())) return;
    // Only a whole window continues: short means the end of the medium.
    if (now.status != STATUS_SUCCESS || now.information != length || offset > UINT64_MAX - 2ull * length ||
        offset + 2ull * length > static_cast<uint64_t>(INT64_MAX)) {
        return;
    }
    next.offset = offset + length;
    next.length = length;
    next.at = now.at == 0 ? half : 0;
    next.generation = generations_.Current(file.GenerationSlot());
    next.status = IoSendReadWrite(file.Top(), file.FileObject(), IRP_MJ_READ, conn.Shared() + next.at, length,
                                  static_cast<LONGLONG>(next.offset), &next.information);
    next.valid = true;
    // The reply went out above; the server sends nothing more for this request.
    (void)reply;
}

}  // namespace tarn::host

// The procedures that only read the shared worker status, and the ping.
#include "service/procedures.h"
#include "service/worker_status.h"

namespace tarnsvc {

long SvcPing() { return 0; }

// buf is the bufSize-byte array the stub received; nothing beyond it is
// written, and a text that does not fit with its terminator is not copied.
long SvcGetLastMessage(long bufSize, uint8_t* buf) {
    if (bufSize > 0) CopyLastMessage(reinterpret_cast<char*>(buf), int32_t(bufSize));
    return 0;
}

long SvcGetProgress() { return WorkerProgress(); }
long SvcGetFinished() { return WorkerFinished(); }
long SvcGetResult() { return WorkerResult(); }

}  // namespace tarnsvc

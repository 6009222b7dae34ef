// One client's exchanges. A request the server will not serve (unknown
// opcode, a count over the exchange limit, a range outside the disk, a
// truncated header or data part) ends the connection: the stream can no
// longer be trusted, and the client learns of it at once.
#include <cstdio>
#include <cstring>
#include <vector>

#include "server.h"
#include "socket_io.h"
#include "vdisk/netdisk_protocol.h"

namespace netdiskd {

namespace {

using namespace tarn::netdisk;

class Session {
 public:
  Session(Server& Owner, int Fd) : server_(Owner), fd_(Fd), faults_(Owner.FaultsToInject()) {
    buffer_.resize(kTransferReplySize + kMaxExchange);
  }

  void Run() {
    uint32_t exchanges = 0;
    for (;;) {
      uint8_t header[kRequestSize];
      IoResult got = ReceiveAll(fd_, header, sizeof header, server_.RecordTimeoutMs());
      if (got == IoResult::Truncated || got == IoResult::TimedOut)
        server_.Log().Reject(0, 0, 0, "truncated request header");
      if (got != IoResult::Done) return;
      Request r = DecodeRequest(header);
      bool keepGoing = false;
      switch (r.Opcode) {
        case kOpRead:
          keepGoing = Read(r);
          break;
        case kOpWrite:
          keepGoing = Write(r);
          break;
        case kOpQuerySize:
          keepGoing = QuerySize(r);
          break;
        default:
          server_.Log().Reject(r.Opcode, r.Offset, r.Count, "unknown opcode");
          return;
      }
      if (!keepGoing) return;
      if (faults_.DropAfter != 0 && ++exchanges >= faults_.DropAfter) return;
    }
  }

 private:
  // Checks a read or write range; a refusal is logged and ends the session.
  bool Acceptable(const Request& R) {
    const char* reason = nullptr;
    if (R.Count > kMaxExchange)
      reason = "count over the exchange limit";
    else if (!RangeInside(R.Offset, R.Count, server_.Store().Size()))
      reason = "range beyond the end of the disk";
    if (reason == nullptr) return true;
    server_.Log().Reject(R.Opcode, R.Offset, R.Count, reason);
    return false;
  }

  // Waits as the delay fault asks; false when the server is stopping.
  bool Delay() {
    if (faults_.DelayMs == 0) return true;
    return !server_.WaitForStop(std::chrono::milliseconds(faults_.DelayMs));
  }

  // The stall fault: sends Length bytes of the reply (part of it), then
  // answers nothing more until the server stops.
  bool StallAfter(const uint8_t* Reply, size_t Length) {
    SendAll(fd_, Reply, Length);
    server_.WaitForStop(std::chrono::milliseconds(-1));
    return false;
  }

  uint32_t ReportedCount(uint32_t Count) const { return faults_.CorruptLength ? Count + 1 : Count; }

  bool Read(const Request& R) {
    if (!Acceptable(R)) return false;
    server_.Log().Exchange(R.Opcode, R.Offset, R.Count);
    uint8_t* data = buffer_.data() + kTransferReplySize;
    std::string error;
    uint32_t transferred = R.Count;
    if (!server_.Store().Read(R.Offset, R.Count, data, &error)) {
      // The data part still goes out in full to keep the stream in step; the
      // count of 0 tells the client nothing came from the disk.
      fprintf(stderr, "netdiskd: %s\n", error.c_str());
      memset(data, 0, R.Count);
      transferred = 0;
    }
    Scramble(data, R.Count);
    EncodeTransferReply(ReportedCount(transferred), buffer_.data());
    if (!Delay()) return false;
    size_t length = kTransferReplySize + R.Count;
    if (faults_.Stall) return StallAfter(buffer_.data(), kTransferReplySize + R.Count / 2);
    return SendAll(fd_, buffer_.data(), length) == IoResult::Done;
  }

  bool Write(const Request& R) {
    if (!Acceptable(R)) return false;
    uint8_t* data = buffer_.data() + kTransferReplySize;
    IoResult got = ReceiveAll(fd_, data, R.Count, server_.RecordTimeoutMs(), true);
    if (got != IoResult::Done) {
      server_.Log().Reject(R.Opcode, R.Offset, R.Count, "truncated write data");
      return false;
    }
    server_.Log().Exchange(R.Opcode, R.Offset, R.Count);
    std::string error;
    uint32_t transferred = R.Count;
    if (!server_.Store().Write(R.Offset, R.Count, data, &error)) {
      fprintf(stderr, "netdiskd: %s\n", error.c_str());
      transferred = 0;
    }
    EncodeTransferReply(ReportedCount(transferred), buffer_.data());
    if (!Delay()) return false;
    if (faults_.Stall) return StallAfter(buffer_.data(), 0);
    return SendAll(fd_, buffer_.data(), kTransferReplySize) == IoResult::Done;
  }

  bool QuerySize(const Request& R) {
    server_.Log().Exchange(R.Opcode, 0, 0);
    uint8_t reply[kQueryReplySize];
    EncodeQueryReply(server_.Store().Size(), reply);
    if (faults_.CorruptLength) PutU32(reply + kQueryReplyLengthAt, kQueryReplyLength + 1);
    if (!Delay()) return false;
    return SendAll(fd_, reply, sizeof reply) == IoResult::Done;
  }

  Server& server_;
  int fd_;
  const FaultOptions& faults_;
  std::vector<uint8_t> buffer_;  // reply header followed by the data part
};

}  // namespace

void RunSession(Server& Owner, int Fd) { Session(Owner, Fd).Run(); }

}  // namespace netdiskd

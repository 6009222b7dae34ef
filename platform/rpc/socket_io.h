// Socket plumbing shared by client and server: connecting, listening, and
// moving whole PDUs with time limits, so that a stalled peer costs a bounded
// wait and never a hang.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/rpc/pdu.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/wiped_bytes.h"

namespace tarn::rpc {

enum class IoResult { kOk, kClosed, kTimeout, kError, kBadFrame };

// Reads one PDU. Waits up to firstByteMs for its first byte (-1: no limit),
// then up to ioMs for the rest. kClosed: orderly end before any byte.
// kBadFrame: the header cannot be framed (see ParseHeader).
IoResult ReadPdu(int fd, int firstByteMs, int ioMs, size_t maxFrag, WipedBytes& pdu,
                 PduHeader& header);

IoResult WriteAll(int fd, const WipedBytes& data, int ioMs);

// True when a connection kept idle has been closed or has unexpected data.
bool IdleConnectionStale(int fd);

// Client connections; RPC_S_SERVER_UNAVAILABLE when nothing listens.
RPC_STATUS ConnectLocal(const std::string& path, int& fd);
RPC_STATUS ConnectTcp(const std::string& address, uint16_t port, int& fd);

void SetNonBlocking(int fd);

// The time limit for the remainder of a PDU once it has started. Tests lower it.
int IoTimeoutMs();
void SetIoTimeoutMs(int ms);

}  // namespace tarn::rpc

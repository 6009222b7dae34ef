// A log of the exchanges a server handled, one line each, flushed at once so
// a test can read it while the server runs:
//   op=0x82 offset=65536 count=65536
//   reject op=0x82 offset=0 count=65537 (count over the exchange limit)
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace netdiskd {

class ExchangeLog {
 public:
  ExchangeLog() = default;
  ~ExchangeLog();
  ExchangeLog(const ExchangeLog&) = delete;
  ExchangeLog& operator=(const ExchangeLog&) = delete;

  // Appends to Path (created if missing). False with Error on failure.
  bool Open(const std::string& Path, std::string* Error);
  void Exchange(uint8_t Opcode, uint64_t Offset, uint32_t Count);
  void Reject(uint8_t Opcode, uint64_t Offset, uint32_t Count, const char* Reason);

 private:
  void Line(const char* Prefix, uint8_t Opcode, uint64_t Offset, uint32_t Count, const char* Reason);

  std::mutex mutex_;  // guards file_ and keeps lines whole
  FILE* file_ = nullptr;
};

}  // namespace netdiskd

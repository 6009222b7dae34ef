#include "exchange_log.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace netdiskd {

ExchangeLog::~ExchangeLog() {
  if (file_ != nullptr) fclose(file_);
}

bool ExchangeLog::Open(const std::string& Path, std::string* Error) {
  std::lock_guard<std::mutex> guard(mutex_);
  file_ = fopen(Path.c_str(), "ae");
  if (file_ == nullptr) {
    *Error = "cannot open the log " + Path + ": " + strerror(errno);
    return false;
  }
  return true;
}

void ExchangeLog::Exchange(uint8_t Opcode, uint64_t Offset, uint32_t Count) {
  Line("", Opcode, Offset, Count, nullptr);
}

void ExchangeLog::Reject(uint8_t Opcode, uint64_t Offset, uint32_t Count, const char* Reason) {
  Line("reject ", Opcode, Offset, Count, Reason);
}

void ExchangeLog::Line(const char* Prefix, uint8_t Opcode, uint64_t Offset, uint32_t Count, const char* Reason) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (file_ == nullptr) return;
  fprintf(file_, "%sop=0x%02x offset=%" PRIu64 " count=%" PRIu32, Prefix, unsigned(Opcode), Offset, Count);
  if (Reason != nullptr) fprintf(file_, " (%s)", Reason);
  fputc('\n', file_);
  fflush(file_);
}

}  // namespace netdiskd

// Where the served disk's bytes live: a local file or an NBD export. Every
// call is safe from many connection threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace netdiskd {

class DiskStore {
 public:
  virtual ~DiskStore() = default;
  virtual int64_t Size() const = 0;
  virtual bool ReadOnly() const = 0;
  // Whole-range transfers inside [0, Size()); false (with Error set) when
  // the storage fails.
  virtual bool Read(uint64_t Offset, uint32_t Count, uint8_t* Data, std::string* Error) = 0;
  virtual bool Write(uint64_t Offset, uint32_t Count, const uint8_t* Data, std::string* Error) = 0;
};

// Opens Path (read-only when asked, or when the file cannot be written and
// ReadOnly was asked). nullptr with Error set on failure.
std::unique_ptr<DiskStore> OpenFileStore(const std::string& Path, bool ReadOnly, std::string* Error);
// Connects to the NBD export Uri ("nbd://host:port/name", "nbd+unix:///?socket=...").
std::unique_ptr<DiskStore> OpenNbdStore(const std::string& Uri, bool ReadOnly, std::string* Error);

// Whether [Offset, Offset + Count) lies inside a disk of Size bytes, without
// overflowing on hostile offsets.
bool RangeInside(uint64_t Offset, uint32_t Count, int64_t Size);

}  // namespace netdiskd

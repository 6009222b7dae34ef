// A disk served by an NBD server, reached through libnbd. One libnbd handle
// is shared by every connection thread; libnbd serialises calls on it.
#include "disk_store.h"

#if NETDISKD_HAVE_LIBNBD
#include <libnbd.h>

namespace netdiskd {

namespace {

std::string LastNbdError() {
  const char* e = nbd_get_error();
  return e != nullptr ? e : "unknown libnbd error";
}

class NbdStore final : public DiskStore {
 public:
  NbdStore(nbd_handle* Handle, int64_t Size, bool ReadOnly) : nbd_(Handle), size_(Size), readOnly_(ReadOnly) {}
  ~NbdStore() override {
    nbd_shutdown(nbd_, 0);
    nbd_close(nbd_);
  }

  int64_t Size() const override { return size_; }
  bool ReadOnly() const override { return readOnly_; }

  bool Read(uint64_t Offset, uint32_t Count, uint8_t* Data, std::string* Error) override {
    if (nbd_pread(nbd_, Data, Count, Offset, 0) == 0) return true;
    *Error = "NBD read failed: " + LastNbdError();
    return false;
  }

  bool Write(uint64_t Offset, uint32_t Count, const uint8_t* Data, std::string* Error) override {
    if (readOnly_) {
      *Error = "the disk is served read-only";
      return false;
    }
    if (nbd_pwrite(nbd_, Data, Count, Offset, 0) == 0) return true;
    *Error = "NBD write failed: " + LastNbdError();
    return false;
  }

 private:
  nbd_handle* nbd_;
  int64_t size_;
  bool readOnly_;
};

}  // namespace

std::unique_ptr<DiskStore> OpenNbdStore(const std::string& Uri, bool ReadOnly, std::string* Error) {
  nbd_handle* nbd = nbd_create();
  if (nbd == nullptr) {
    *Error = "cannot create an NBD handle: " + LastNbdError();
    return nullptr;
  }
  auto fail = [&](const std::string& what) {
    *Error = what + ": " + LastNbdError();
    nbd_close(nbd);
    return nullptr;
  };
  if (nbd_connect_uri(nbd, Uri.c_str()) != 0) return fail("cannot connect to " + Uri);
  int64_t size = nbd_get_size(nbd);
  if (size < 0) return fail("cannot read the export's size");
  if (size == 0) {
    *Error = "the export " + Uri + " is empty: there is no disk to serve";
    nbd_close(nbd);
    return nullptr;
  }
  bool readOnly = ReadOnly || nbd_is_read_only(nbd) == 1;
  return std::make_unique<NbdStore>(nbd, size, readOnly);
}

}  // namespace netdiskd

#else

namespace netdiskd {

std::unique_ptr<DiskStore> OpenNbdStore(const std::string& Uri, bool ReadOnly, std::string* Error) {
  (void)Uri;
  (void)ReadOnly;
  *Error = "this netdiskd was built without libnbd (Debian: libnbd-dev), so it cannot serve NBD exports";
  return nullptr;
}

}  // namespace netdiskd

#endif

// The registry database of the machine ("registry.db" in the machine
// directory), shared by every process of the machine. Keys are rows with a
// parent; names compare without regard to ASCII case and keep the case they
// were created with. Every call is one SQLite transaction (WAL journal, busy
// timeout), so concurrent processes and threads see whole changes only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"
#include "windef.h"

namespace tarn::win32 {

using KeyId = int64_t;

inline constexpr KeyId kLocalMachineRoot = 1;
inline constexpr KeyId kUsersRoot = 3;

struct RegistryValue {
  std::string name;
  DWORD type = 0;
  std::vector<uint8_t> data;
};

class RegistryStore {
 public:
  // The store of the current machine directory (reopened when it changes,
  // and in a child after fork).
  static RegistryStore& Instance();

  // The key of the current user (HKEY_CURRENT_USER), created on first use.
  Result<KeyId> CurrentUserRoot();
  // The classes key (HKEY_CLASSES_ROOT), created on first use.
  Result<KeyId> ClassesRoot();

  // Walks `path` (backslash-separated) from `from`; creates missing keys when
  // `create` is set. *created tells whether the last key was new.
  Result<KeyId> OpenKey(KeyId from, std::string_view path, bool create, bool* created);
  DWORD DeleteKey(KeyId from, std::string_view path);

  DWORD SetValue(KeyId key, std::string_view name, DWORD type, const uint8_t* data, size_t size);
  Result<RegistryValue> QueryValue(KeyId key, std::string_view name);
  DWORD DeleteValue(KeyId key, std::string_view name);
  Result<RegistryValue> EnumValue(KeyId key, DWORD index);
  Result<std::string> EnumKey(KeyId key, DWORD index);

  // Makes every committed change durable on the store. Commits do not wait
  // for the disk (WAL, synchronous=NORMAL); callers whose later writes rely
  // on a change surviving a power cut flush first.
  DWORD Flush();

 private:
  RegistryStore() = default;
};

}  // namespace tarn::win32

// The Reg* calls: handles on keys, access checks and the Windows size
// protocol, over the machine's registry store.
#include <cstring>
#include <memory>
#include <string_view>

#include "handle_table.h"
#include "registry_store.h"
#include "winbase.h"
#include "winreg.h"

namespace tarn::win32 {
namespace {

constexpr size_t kMaxValueNameLength = 16383;

class KeyObject final : public KernelObject {
 public:
  KeyObject(KeyId id, REGSAM access) : id_(id), access_(access) {}
  KeyId id() const { return id_; }
  REGSAM access() const { return access_; }

 private:
  const KeyId id_;
  const REGSAM access_;
};

REGSAM Granted(REGSAM desired) {
  // FIXME: keys carry no security descriptors; a handle gets what it asks for.
  return (desired & MAXIMUM_ALLOWED) ? REGSAM(KEY_ALL_ACCESS) : desired;
}

struct OpenedKey {
  KeyId id;
  REGSAM access;
  bool Allows(REGSAM right) const { return (access & right) == right; }
};

Result<OpenedKey> Resolve(HKEY hKey) {
  auto& store = RegistryStore::Instance();
  Result<KeyId> root = Result<KeyId>::Fail(ERROR_INVALID_HANDLE);
  if (hKey == HKEY_LOCAL_MACHINE) {
    root = kLocalMachineRoot;
  } else if (hKey == HKEY_USERS) {
    root = kUsersRoot;
  } else if (hKey == HKEY_CURRENT_USER) {
    root = store.CurrentUserRoot();
  } else if (hKey == HKEY_CLASSES_ROOT) {
    root = store.ClassesRoot();
  } else if (auto key = LookupHandleAs<KeyObject>(reinterpret_cast<HANDLE>(hKey))) {
    return OpenedKey{key->id(), key->access()};
  }
  if (!root.ok()) return Result<OpenedKey>::Fail(root.error());
  return OpenedKey{root.value(), REGSAM(KEY_ALL_ACCESS)};
}

LSTATUS Handout(KeyId id, REGSAM access, PHKEY phkResult) {
  std::shared_ptr<KeyObject> key;
  try {
    key = std::make_shared<KeyObject>(id, access);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  HANDLE handle = InsertHandle(key);
  if (!handle) return ERROR_NO_SYSTEM_RESOURCES;
  *phkResult = reinterpret_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

std::string_view NameOf(LPCSTR name) { return name ? std::string_view(name) : std::string_view(); }

// Copies data under the Windows size protocol: no buffer asks for the size,
// a short one gets ERROR_MORE_DATA and the size needed.
LSTATUS ReturnData(const RegistryValue& value, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType) *lpType = value.type;
  auto size = static_cast<DWORD>(value.data.size());
  if (lpData) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(lpData, value.data.data(), size);
  }
  if (lpcbData) *lpcbData = size;
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace tarn::win32

using namespace tarn::win32;

extern "C" LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                                          const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  auto parent = Resolve(hKey);
  if (!parent.ok()) return parent.error();
  auto& store = RegistryStore::Instance();
  bool created = false;
  auto key = store.OpenKey(parent->id, NameOf(lpSubKey), false, &created);
  if (!key.ok() && key.error() == ERROR_FILE_NOT_FOUND) {
    if (!parent->Allows(KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    key = store.OpenKey(parent->id, NameOf(lpSubKey), true, &created);
  }
  if (!key.ok()) return key.error();
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return Handout(key.value(), Granted(samDesired), phkResult);
}

extern "C" LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED, nullptr, phkResult,
                         nullptr);
}

extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  auto parent = Resolve(hKey);
  if (!parent.ok()) return parent.error();
  bool created = false;
  auto key = RegistryStore::Instance().OpenKey(parent->id, NameOf(lpSubKey), false, &created);
  if (!key.ok()) return key.error();
  return Handout(key.value(), Granted(samDesired), phkResult);
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER || hKey == HKEY_USERS || hKey == HKEY_CLASSES_ROOT)
    return ERROR_SUCCESS;
  auto handle = reinterpret_cast<HANDLE>(hKey);
  if (!LookupHandleAs<KeyObject>(handle)) return ERROR_INVALID_HANDLE;
  RemoveHandle(handle);
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegFlushKey(HKEY hKey) {
  auto key = Resolve(hKey);
  if (!key.ok()) return key.error();
  return LSTATUS(RegistryStore::Instance().Flush());
}

extern "C" LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                                         DWORD cbData) {
  auto key = Resolve(hKey);
  if (!key.ok()) return key.error();
  if (!key->Allows(KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (!lpData && cbData) return ERROR_NOACCESS;
  auto name = NameOf(lpValueName);
  if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  return RegistryStore::Instance().SetValue(key->id, name, dwType, lpData, cbData);
}

extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  auto key = Resolve(hKey);
  if (!key.ok()) return key.error();
  if (!key->Allows(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  auto value = RegistryStore::Instance().QueryValue(key->id, NameOf(lpValueName));
  if (!value.ok()) return value.error();
  return ReturnData(value.value(), lpType, lpData, lpcbData);
}

extern "C" LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  auto key = Resolve(hKey);
  if (!key.ok()) return key.error();
  if (!key->Allows(KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return RegistryStore::Instance().DeleteValue(key->id, NameOf(lpValueName));
}

extern "C" LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  auto key = Resolve(hKey);
  if (!key.ok()) return key.error();
  return RegistryStore::Instance().DeleteKey(key->id, lpSubKey);
}

extern "C" LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                        LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  auto key = Resolve(hKey);
  if (!key.ok()) return key.error();
  if (!key->Allows(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  auto value = RegistryStore::Instance().EnumValue(key->id, dwIndex);
  if (!value.ok()) return value.error();
  if (*lpcchValueName < value->name.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(lpValueName, value->name.c_str(), value->name.size() + 1);
  *lpcchValueName = static_cast<DWORD>(value->name.size());
  return ReturnData(value.value(), lpType, lpData, lpcbData);
}

extern "C" LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                        LPSTR lpClass, LPDWORD lpcchClass, void*) {
  if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
  auto key = Resolve(hKey);
  if (!key.ok()) return key.error();
  if (!key->Allows(KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  auto name = RegistryStore::Instance().EnumKey(key->id, dwIndex);
  if (!name.ok()) return name.error();
  if (*lpcchName < name->size() + 1) return ERROR_MORE_DATA;
  std::memcpy(lpName, name->c_str(), name->size() + 1);
  *lpcchName = static_cast<DWORD>(name->size());
  if (lpClass && lpcchClass && *lpcchClass) *lpClass = '\0';
  if (lpcchClass) *lpcchClass = 0;
  return ERROR_SUCCESS;
}

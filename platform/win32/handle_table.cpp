#include "handle_table.h"

#include <cstdint>
#include <new>
#include <unordered_map>

#include "protected.h"
#include "winbase.h"

namespace tarn::win32 {
namespace {

struct Table {
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
  // Values grow rather than being reused at once, so a stale handle after
  // CloseHandle fails instead of reaching a newer object.
  uintptr_t next = 4;
};

Protected<Table>& TheTable() {
  static auto* table = new Protected<Table>();  // lives until exit: handles may close from atexit paths
  return *table;
}

bool IsReserved(uintptr_t v) {
  // The predefined registry keys and pseudo handles live here.
  return (v >= 0x80000000u && v <= 0x800000FFu) || v == uintptr_t(-1) || v == uintptr_t(-2) || v == 0;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  auto table = TheTable().Lock();
  try {
    uintptr_t value;
    do {
      value = table->next;
      table->next += 4;
      if (table->next >= (uintptr_t(1) << 40)) table->next = 4;
    } while (IsReserved(value) || table->objects.count(value) != 0);
    table->objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  auto table = TheTable().Lock();
  auto it = table->objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == table->objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
  auto table = TheTable().Lock();
  auto it = table->objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table->objects.end()) return nullptr;
  auto object = std::move(it->second);
  table->objects.erase(it);
  return object;
}

size_t HandleCount() { return TheTable().Lock()->objects.size(); }

}  // namespace tarn::win32

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  auto object = tarn::win32::RemoveHandle(hObject);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The object's destructor does the closing work once the last call using it
  // returns; here that is usually at once.
  object.reset();
  return TRUE;
}

// The process-wide table from HANDLE values to objects (thread-safe).
#pragma once

#include <memory>

#include "kernel_object.h"
#include "windef.h"

namespace tarn::win32 {

// Returns the new handle, or nullptr when the table cannot grow.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or nullptr for an unknown handle.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

// The object when it has type T; nullptr otherwise (unknown handle or wrong type).
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Takes the handle out of the table; the object goes when its last user does.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

// Open handles of this process (for leak checks in tests).
size_t HandleCount();

}  // namespace tarn::win32

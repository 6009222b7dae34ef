// What a handle refers to. Objects are shared: a handle holds one reference
// and every call in progress holds another, so closing a handle while another
// thread uses it is safe, as on Windows.
#pragma once

#include <memory>

#include "windef.h"

namespace tarn::win32 {

class KernelObject : public std::enable_shared_from_this<KernelObject> {
 public:
  virtual ~KernelObject() = default;
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
};

}  // namespace tarn::win32

// A value or a Win32 error code, for the internals of the Win32 layer.
#pragma once

#include <cassert>
#include <optional>
#include <utility>

#include "windef.h"

namespace tarn::win32 {

template <class T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  static Result Fail(DWORD error) {
    assert(error != 0);
    Result r;
    r.error_ = error;
    return r;
  }

  bool ok() const { return value_.has_value(); }
  DWORD error() const { return error_; }
  T& value() { return *value_; }
  T& operator*() { return *value_; }
  T* operator->() { return &*value_; }

 private:
  Result() = default;
  std::optional<T> value_;
  DWORD error_ = 0;
};

}  // namespace tarn::win32

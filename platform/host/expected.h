// A value or a readable error, for host internals that are not Windows-shaped.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tarn::host {

struct Error {
    std::string message;
};

template <class T>
class Expected {
public:
    Expected(T value) : v_(std::move(value)) {}
    Expected(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }
    const std::string& error() const { return std::get<1>(v_).message; }

private:
    std::variant<T, Error> v_;
};

// For operations that produce nothing but may fail.
struct Done {};
using Status = Expected<Done>;
inline Status Ok() { return Done{}; }

}  // namespace tarn::host

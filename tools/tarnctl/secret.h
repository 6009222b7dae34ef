// A password in a fixed buffer of its own that is wiped when it goes away,
// so no copy of it lingers in freed heap memory.
#pragma once

#include <cstddef>

namespace tarnctl {

class Secret {
public:
    // Longer input is refused rather than cut, so a password is never
    // silently shortened.
    static constexpr size_t kCapacity = 256;

    Secret() = default;
    ~Secret() { Clear(); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    // Appends a byte; false (and the secret marked overlong) when full.
    bool Append(char c);
    void Clear();
    bool Overlong() const { return overlong_; }

    const char* c_str() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool Equals(const Secret& other) const;
    // Drops a trailing "\n" or "\r\n" (a line read from a file or a pipe).
    void TrimLineEnd();

private:
    char data_[kCapacity + 1] = {};
    size_t size_ = 0;
    bool overlong_ = false;
};

}  // namespace tarnctl

#include "tools/tarnctl/validate.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/win32/nt_path.h"

namespace tarnctl {

namespace {

std::string Lower(const std::string& text) {
    std::string s = text;
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The service refuses longer strings (terminator included).
constexpr size_t kServiceStringMax = 4096;

}  // namespace

bool ParseDriveName(const std::string& text, char* letter) {
    if (text.empty() || text.size() > 3) return false;
    const unsigned char c = static_cast<unsigned char>(text[0]);
    if (c > 0x7F || !std::isalpha(c)) return false;
    if (text.size() >= 2 && text[1] != ':') return false;
    if (text.size() == 3 && text[2] != '\\') return false;
    *letter = static_cast<char>(std::toupper(c));
    return true;
}

bool ParseFileSystem(const std::string& text, long* fsType, std::string* name) {
    const std::string s = Lower(text);
    if (s == "fat" || s == "fat16") {
        *fsType = 0;
        *name = "FAT";
        return true;
    }
    if (s == "fat32") {
        *fsType = 1;
        *name = "FAT32";
        return true;
    }
    return false;
}

bool CheckVolumeLabel(const std::string& label, std::string* why) {
    if (label.size() > 11) {
        *why = "a volume label is at most 11 characters";
        return false;
    }
    for (char ch : label) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c > 0x7E || std::strchr("\"*+,./:;<=>?[\\]|", ch) != nullptr) {
            *why = "a volume label takes letters, digits, blanks and -_!#$%&'()@^`{}~ only";
            return false;
        }
    }
    return true;
}

bool CheckImageSize(int64_t mebibytes, int64_t* bytes, std::string* why) {
    constexpr int64_t kMax = int64_t(2) * 1024 * 1024;  // 2 TiB in MiB
    if (mebibytes <= 0) {
        *why = "the size is given in MiB and must be at least 1";
        return false;
    }
    if (mebibytes > kMax) {
        *why = "the size can be at most 2097152 MiB (2 TiB)";
        return false;
    }
    *bytes = mebibytes * 1048576;
    return true;
}

bool AbsoluteFilePath(const std::string& path, std::string* absolute, std::string* why) {
    if (path.empty()) {
        *why = "the file path is empty";
        return false;
    }
    if (path.back() == '/' || path == "." || path == "..") {
        *why = "the path names a directory, not a file";
        return false;
    }
    *absolute = tarn::win32::AbsolutePath(path);
    if (absolute->size() + 1 > kServiceStringMax) {
        *why = "the file path is too long";
        return false;
    }
    return true;
}

bool ParseNetAddress(const std::string& text, uint32_t* address, uint16_t* port, std::string* why) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        *why = "a network disk is named HOST:PORT";
        return false;
    }
    const std::string host = text.substr(0, colon), portText = text.substr(colon + 1);
    unsigned long number = 0;
    for (char c : portText) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || number > 65535) {
            *why = "the port must be a number from 1 to 65535";
            return false;
        }
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number == 0 || number > 65535) {
        *why = "the port must be a number from 1 to 65535";
        return false;
    }
    in_addr parsed{};
    if (::inet_pton(AF_INET, host.c_str(), &parsed) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
            *why = "cannot find the IPv4 address of " + Printable(host);
            return false;
        }
        parsed = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
    }
    *address = parsed.s_addr;  // already in network byte order
    *port = htons(static_cast<uint16_t>(number));
    return true;
}

std::string Printable(const std::string& text) {
    std::string s;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            s += hex;
        } else {
            s.push_back(ch);
        }
    }
    return s;
}

}  // namespace tarnctl

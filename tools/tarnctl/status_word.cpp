#include "tools/tarnctl/status_word.h"

namespace tarnctl {

bool KnownStatus(uint32_t status) {
    switch (status) {
    case 0x00000:
    case 0x10000:
    case 0x80001:
    case 0xC0001:
    case 0x20002:
    case 0x00003: return true;
    default: return false;
    }
}

std::string DescribeStatus(uint32_t status) {
    switch (status) {
    case 0x00000: return "plain, read-only";
    case 0x10000: return "plain";
    case 0x80001: return "encrypted, unlocked, read-only";
    case 0xC0001: return "encrypted, unlocked";
    case 0x20002: return "encrypted, locked";
    case 0x00003: return "not recognised";
    default: return "error";
    }
}

std::string DescribeDriveType(unsigned type) {
    switch (type) {
    case 2: return "removable";
    case 3: return "fixed";
    case 4: return "network";
    case 5: return "cdrom";
    case 6: return "ramdisk";
    default: return "unknown";
    }
}

}  // namespace tarnctl

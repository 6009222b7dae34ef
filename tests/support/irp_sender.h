// Sends requests to the top of a device stack the way the I/O manager would,
// and waits for them, whoever completes them and on whatever thread.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/nt/ntddk.h"

namespace tarn::test {

struct IrpResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
};

// How the data buffer of a read or write is described to the driver.
enum class BufferMapping {
    Mapped,    // an MDL over nonpaged memory, already mapped
    Unmapped,  // an MDL that must be mapped into system space first
    None,      // no MDL at all
};

// Read or write length bytes at offset; the MDL describes exactly
// [buffer, buffer + length).
IrpResult SendRead(PDEVICE_OBJECT top, int64_t offset, void* buffer, ULONG length,
                   BufferMapping mapping = BufferMapping::Mapped);
IrpResult SendWrite(PDEVICE_OBJECT top, int64_t offset, void* buffer, ULONG length,
                    BufferMapping mapping = BufferMapping::Mapped);

// A METHOD_BUFFERED control request: the input is copied into a system
// buffer of max(input, output) bytes, and Information bytes of it are copied
// back into output afterwards. systemBuffer, when given, receives the system
// buffer's contents as the driver left them.
IrpResult SendControl(PDEVICE_OBJECT top, ULONG code, const std::vector<uint8_t>& input,
                      std::vector<uint8_t>* output = nullptr, ULONG outputLength = 0, bool internal = false,
                      std::vector<uint8_t>* systemBuffer = nullptr);

IrpResult SendPnp(PDEVICE_OBJECT top, UCHAR minor);
IrpResult SendPower(PDEVICE_OBJECT top, UCHAR minor);
// Any other major function, without parameters.
IrpResult SendOther(PDEVICE_OBJECT top, UCHAR major);

}  // namespace tarn::test

// The mount-record store: one REG_BINARY value "UserConfig%d" per device
// number 0..7 under HKEY_LOCAL_MACHINE "SYSTEM\CurrentControlSet\Services\VTarn".
#pragma once

#include <cstdint>
#include <functional>

#include "service/mount_record.h"

constexpr int kStoreDeviceCount = 8;
#define TARNSVC_STORE_KEY "SYSTEM\\CurrentControlSet\\Services\\VTarn"

// Registry failures are not reported: a mount that worked is not undone
// because it could not be remembered.
void SaveMountRecord(int32_t deviceNumber, const VDISK_MOUNT_RECORD& record);
void DeleteMountRecord(int32_t deviceNumber);
// Calls visit for each stored record, in ascending device number; values that
// are not REG_BINARY or not exactly 1248 bytes long are skipped.
void ForEachMountRecord(const std::function<void(int32_t deviceNumber, const VDISK_MOUNT_RECORD& record)>& visit);

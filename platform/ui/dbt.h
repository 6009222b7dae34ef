// Device broadcast records carried by WM_DEVICECHANGE.
#pragma once

#include "platform/ui/winuser.h"

#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEREMOVECOMPLETE 0x8004
#define DBT_DEVTYP_VOLUME 0x00000002
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005
#define DBTF_MEDIA 0x0001
#define DBTF_NET 0x0002
#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000

// Guarded like the RPC runtime's, so both may be included.
#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
#endif

typedef struct _DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;

typedef struct _DEV_BROADCAST_VOLUME {
  DWORD dbcv_size;
  DWORD dbcv_devicetype;
  DWORD dbcv_reserved;
  DWORD dbcv_unitmask;
  WORD dbcv_flags;
} DEV_BROADCAST_VOLUME, *PDEV_BROADCAST_VOLUME;

// The name is variable-length in the record that arrives; the filter a
// window registers carries a single character (dbcc_size 32).
typedef struct _DEV_BROADCAST_DEVICEINTERFACE_A {
  DWORD dbcc_size;
  DWORD dbcc_devicetype;
  DWORD dbcc_reserved;
  GUID dbcc_classguid;
  char dbcc_name[1];
} DEV_BROADCAST_DEVICEINTERFACE_A, *PDEV_BROADCAST_DEVICEINTERFACE_A;

// {53f5630d-b6bf-11d0-94f2-00a0c91efb8b}
inline constexpr GUID GUID_DEVINTERFACE_VOLUME = {0x53f5630d, 0xb6bf, 0x11d0,
                                                  {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

// Registers hRecipient (a window handle) for device-interface events that
// match the filter. Volume events reach every top-level window anyway.
HDEVNOTIFY RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID notificationFilter, DWORD flags);
BOOL UnregisterDeviceNotification(HDEVNOTIFY handle);

namespace tarn::ui {
// Entry point for whatever watches the machine's devices: may be called from
// any thread; the record is copied and delivered as WM_DEVICECHANGE on the
// GUI thread (volume records to every top-level window, interface records to
// the windows registered for their class).
void DeliverDeviceChange(UINT event, const DEV_BROADCAST_HDR* record);
}  // namespace tarn::ui

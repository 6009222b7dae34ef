// Device arrival and removal notifications (WM_DEVICECHANGE) and their records.
#pragma once

#include "windef.h"

#ifndef WM_DEVICECHANGE
#define WM_DEVICECHANGE 0x0219
#endif

#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEQUERYREMOVE 0x8001
#define DBT_DEVICEREMOVEPENDING 0x8003
#define DBT_DEVICEREMOVECOMPLETE 0x8004

#define DBT_DEVTYP_OEM 0x00000000
#define DBT_DEVTYP_VOLUME 0x00000002
#define DBT_DEVTYP_PORT 0x00000003
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005
#define DBT_DEVTYP_HANDLE 0x00000006

#define DBTF_MEDIA 0x0001
#define DBTF_NET 0x0002

#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000
#define DEVICE_NOTIFY_SERVICE_HANDLE 0x00000001
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 0x00000004

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID;
#endif

#ifdef __cplusplus
// {53f5630d-b6bf-11d0-94f2-00a0c91efb8b}
inline constexpr GUID GUID_DEVINTERFACE_VOLUME = {0x53f5630d, 0xb6bf, 0x11d0,
                                                  {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
#endif

typedef PVOID HDEVNOTIFY;
typedef HDEVNOTIFY* PHDEVNOTIFY;

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

typedef struct _DEV_BROADCAST_DEVICEINTERFACE_A {
  DWORD dbcc_size;
  DWORD dbcc_devicetype;
  DWORD dbcc_reserved;
  GUID dbcc_classguid;
  char dbcc_name[1];
} DEV_BROADCAST_DEVICEINTERFACE_A, *PDEV_BROADCAST_DEVICEINTERFACE_A;

#ifdef __cplusplus
static_assert(sizeof(DEV_BROADCAST_VOLUME) == 20, "DEV_BROADCAST_VOLUME layout");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "DEV_BROADCAST_DEVICEINTERFACE_A layout");
#endif

// Where notifications go: the window layer installs the function that puts
// WM_DEVICECHANGE into a window's queue. recipient is what was registered;
// wParam the event, lParam points to the record, valid during the call only.
typedef VOID(WINAPI* PDEVICE_NOTIFY_SINK)(HANDLE recipient, UINT message, ULONG_PTR wParam, LONG_PTR lParam);

#ifdef __cplusplus
extern "C" {
#endif

// Delivers the machine's device events for recipient: volume events always
// (as Windows broadcasts them to every top-level window) and, for a
// DEV_BROADCAST_DEVICEINTERFACE filter, the interface events of that class.
HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);
// Not Windows API: the seam between the machine's events and the windows.
VOID WINAPI SetDeviceNotificationSink(PDEVICE_NOTIFY_SINK sink);

#ifdef __cplusplus
}
#endif

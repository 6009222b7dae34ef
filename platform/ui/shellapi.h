// Shell calls: the notification-area icon and opening documents and links
// with the desktop's default handler.
#pragma once

#include "platform/ui/winuser.h"

#define NIM_ADD 0x00000000
#define NIM_MODIFY 0x00000001
#define NIM_DELETE 0x00000002
#define NIF_MESSAGE 0x00000001
#define NIF_ICON 0x00000002
#define NIF_TIP 0x00000004

typedef struct _NOTIFYICONDATAA {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  CHAR szTip[128];
} NOTIFYICONDATAA, *PNOTIFYICONDATAA;

// The icon's mouse events arrive as uCallbackMessage posted to hWnd, with
// wParam uID and lParam WM_LBUTTONDBLCLK or WM_RBUTTONUP.
BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data);

// Opens a file or an address with the desktop's handler. Returns a value
// greater than 32 on success, as the shell does.
INT_PTR ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, int showCmd);

namespace tarn::ui {
bool TrayIconShown(HWND hwnd, UINT id);
}  // namespace tarn::ui

// The notification-area icon and the shell's "open".
#include <QMenu>
#include <QSystemTrayIcon>
#include <map>
#include <memory>
#include <utility>

#include "platform/ui/gdi.h"
#include "platform/ui/shellapi.h"
#include "platform/ui/ui_seam.h"
#include "platform/ui/wnd.h"

namespace {
std::map<std::pair<HWND, UINT>, std::unique_ptr<QSystemTrayIcon>>& TrayIcons() {
  static auto* icons = new std::map<std::pair<HWND, UINT>, std::unique_ptr<QSystemTrayIcon>>;
  return *icons;
}
}  // namespace

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
  if (!data) return FALSE;
  auto key = std::make_pair(data->hWnd, data->uID);
  auto& icons = TrayIcons();
  switch (message) {
    case NIM_ADD: {
      // Without a notification area the shell refuses, as Windows does
      // while Explorer is not running.
      if (icons.count(key) || !QSystemTrayIcon::isSystemTrayAvailable()) return FALSE;
      auto icon = std::make_unique<QSystemTrayIcon>();
      if (data->uFlags & NIF_ICON) icon->setIcon(tarn::ui::IconFromHandle(data->hIcon));
      if (data->uFlags & NIF_TIP) icon->setToolTip(QString::fromLocal8Bit(data->szTip));
      if (data->uFlags & NIF_MESSAGE) {
        HWND hwnd = data->hWnd;
        UINT id = data->uID;
        UINT callback = data->uCallbackMessage;
        QObject::connect(icon.get(), &QSystemTrayIcon::activated, [hwnd, id, callback](QSystemTrayIcon::ActivationReason r) {
          if (r == QSystemTrayIcon::DoubleClick) ::PostMessage(hwnd, callback, id, WM_LBUTTONDBLCLK);
          if (r == QSystemTrayIcon::Context || r == QSystemTrayIcon::Trigger) ::PostMessage(hwnd, callback, id, WM_RBUTTONUP);
        });
      }
      icon->show();
      icons[key] = std::move(icon);
      return TRUE;
    }
    case NIM_MODIFY: {
      auto it = icons.find(key);
      if (it == icons.end()) return FALSE;
      if (data->uFlags & NIF_ICON) it->second->setIcon(tarn::ui::IconFromHandle(data->hIcon));
      if (data->uFlags & NIF_TIP) it->second->setToolTip(QString::fromLocal8Bit(data->szTip));
      return TRUE;
    }
    case NIM_DELETE:
      return icons.erase(key) ? TRUE : FALSE;
    default:
      return FALSE;
  }
}

INT_PTR ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR, int) {
  return tarn::ui::CurrentUiSeam().ShellExecute(owner, verb ? verb : "open", file ? file : "", parameters ? parameters : "");
}

namespace tarn::ui {
// Whether a tray icon of this window and id is shown (tests).
bool TrayIconShown(HWND hwnd, UINT id) { return TrayIcons().count(std::make_pair(hwnd, id)) != 0; }
}  // namespace tarn::ui

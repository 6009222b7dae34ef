#include <QCoreApplication>
#include <QMetaObject>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "platform/ui/dbt.h"
#include "platform/ui/wnd.h"

namespace {

struct Registration {
  HWND window;
  GUID classGuid;
};

// GUI thread only.
std::map<uintptr_t, Registration>& Registrations() {
  static std::map<uintptr_t, Registration> registrations;
  return registrations;
}
uintptr_t g_nextNotify = 1;

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

void Deliver(UINT event, const std::vector<char>& record) {
  auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(record.data());
  auto lParam = reinterpret_cast<LPARAM>(record.data());
  if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
    auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(record.data());
    std::vector<HWND> targets;
    for (const auto& [handle, reg] : Registrations())
      if (SameGuid(reg.classGuid, iface->dbcc_classguid)) targets.push_back(reg.window);
    for (HWND target : targets) ::SendMessage(target, WM_DEVICECHANGE, event, lParam);
    return;
  }
  // Volume events are broadcast to every top-level window.
  std::vector<HWND> targets;
  for (CWnd* wnd : tarn::ui::LiveWindows())
    if (!(wnd->GetStyle() & WS_CHILD) && wnd->GetKind() == ControlKind::Dialog) targets.push_back(wnd->GetSafeHwnd());
  for (HWND target : targets) ::SendMessage(target, WM_DEVICECHANGE, event, lParam);
}

}  // namespace

namespace tarn::ui {

HDEVNOTIFY RegisterWindowDeviceNotification(HWND recipient, LPVOID filter, DWORD flags) {
  auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
  if (flags != DEVICE_NOTIFY_WINDOW_HANDLE || !header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      header->dbch_size < sizeof(DEV_BROADCAST_HDR) + sizeof(GUID) || !IsWindow(recipient))
    return nullptr;
  auto* iface = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(filter);
  uintptr_t handle = g_nextNotify++;
  Registrations()[handle] = Registration{recipient, iface->dbcc_classguid};
  return reinterpret_cast<HDEVNOTIFY>(handle);
}

BOOL UnregisterWindowDeviceNotification(HDEVNOTIFY handle) {
  return Registrations().erase(reinterpret_cast<uintptr_t>(handle)) ? TRUE : FALSE;
}

void DeliverDeviceChange(UINT event, const DEV_BROADCAST_HDR* record) {
  if (!record || record->dbch_size < sizeof(DEV_BROADCAST_HDR)) return;
  size_t size = record->dbch_size;
  size_t minimum = record->dbch_devicetype == DBT_DEVTYP_VOLUME ? sizeof(DEV_BROADCAST_VOLUME)
                   : record->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE
                       ? offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + 1
                       : sizeof(DEV_BROADCAST_HDR);
  if (size < minimum) return;
  // The copy ends in a NUL whatever the sender wrote, so a device name is
  // always terminated.
  auto copy = std::make_shared<std::vector<char>>(reinterpret_cast<const char*>(record),
                                                   reinterpret_cast<const char*>(record) + size);
  copy->push_back('\0');
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  QMetaObject::invokeMethod(app, [event, copy] { Deliver(event, *copy); }, Qt::QueuedConnection);
}

}  // namespace tarn::ui

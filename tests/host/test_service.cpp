// A small service program for the machine's SCM tests: it reports running,
// leaves a trace in the registry and stops on request.
#include <windows.h>

#include <winreg.h>
#include <winsvc.h>

#include <cstdio>
#include <string>

namespace {

SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
SERVICE_STATUS gStatus{};
const char kKey[] = "SOFTWARE\\TarnHostTest";

void Trace(const char* name, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

DWORD ReadSetting(const char* name) {
    HKEY key = nullptr;
    DWORD value = 0, size = sizeof value;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return value;
}

void WINAPI Handler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Trace(control == SERVICE_CONTROL_STOP ? "Stopped" : "ShutDown", 1);
        gStatus.dwCurrentState = SERVICE_STOPPED;
    }
    SetServiceStatus(gStatusHandle, &gStatus);
}

void WINAPI ServiceMain(DWORD, LPSTR* argv) {
    gStatusHandle = RegisterServiceCtrlHandlerA(argv[0], Handler);
    if (!gStatusHandle) return;
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    gStatus.dwCurrentState = SERVICE_RUNNING;
    // What the test left for us in the registry comes back doubled.
    Trace("Echo", ReadSetting("Input") * 2);
    SetServiceStatus(gStatusHandle, &gStatus);
}

}  // namespace

int main() {
    char name[] = "HostTestSvc";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        std::fprintf(stderr, "test service: dispatcher failed: %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    return 0;
}

#include "service/service_main.h"

#include "service/conversion_recovery.h"
#include "service/mount.h"
#include "service/interface.h"
#include "service/tarnrpcs.h"

namespace {

// Written by the service main thread before listening starts and by the
// control handler afterwards.
SERVICE_STATUS gStatus{};
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;

}  // namespace

void StartVirtualDiskDriver() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    SC_HANDLE driver = OpenServiceA(manager, "VTarn", SC_MANAGER_ALL_ACCESS);
    if (driver != nullptr) {
        StartServiceA(driver, 0, nullptr);
        CloseServiceHandle(driver);
    }
    CloseServiceHandle(manager);
}

void TarnsvcControlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        gStatus.dwCurrentState = SERVICE_STOPPED;
        gStatus.dwWin32ExitCode = 0;
    }
    SetServiceStatus(gStatusHandle, &gStatus);
}

void TarnsvcServiceMain(DWORD, LPSTR*) {
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS;
    gStatus.dwCurrentState = SERVICE_START_PENDING;
    gStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    gStatus.dwWin32ExitCode = 0;
    gStatus.dwServiceSpecificExitCode = 0;
    gStatus.dwCheckPoint = 0;
    gStatus.dwWaitHint = 0;
    gStatusHandle = RegisterServiceCtrlHandlerA(TARNSVC_SERVICE_NAME, TarnsvcControlHandler);
    if (gStatusHandle == nullptr) return;
    // Running before any start-up work, as the control manager expects.
    gStatus.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(gStatusHandle, &gStatus);

    StartVirtualDiskDriver();
    // A drive whose conversion was cut short is put right before any
    // client can look at it.
    RecoverJournalledDriveAtStart();
    RemountStoredImages();
    // Listens until the process ends; on failure the message is printed and
    // the service stays reported as running.
    StartRpcServer(true);
}

int TarnsvcProcessMain() {
    static char name[] = TARNSVC_SERVICE_NAME;
    const SERVICE_TABLE_ENTRYA table[] = {{name, TarnsvcServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherA(table);
    return 0;
}

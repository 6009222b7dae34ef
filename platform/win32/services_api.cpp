// The service control manager's Win32 functions: controlling services in the
// machine, and the dispatcher a service program runs under.
#include <strings.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/win32/host_connection.h"
#include "winbase.h"
#include "winerror.h"
#include "winsvc.h"

namespace tarn::win32 {

namespace {

// What an SC_HANDLE points at. Handles are checked against the live set, so a
// closed or made-up handle fails with ERROR_INVALID_HANDLE instead of crashing.
struct ScObject {
    bool manager = false;
    std::string name;
    DWORD access = 0;
};

std::mutex gScMutex;
std::set<ScObject*>& LiveHandles() {
    static auto* live = new std::set<ScObject*>;
    return *live;
}

SC_HANDLE NewHandle(ScObject object) {
    auto* o = new ScObject(std::move(object));
    std::lock_guard<std::mutex> guard(gScMutex);
    LiveHandles().insert(o);
    return reinterpret_cast<SC_HANDLE>(o);
}

// A copy of the object behind a handle; false for an unknown handle.
bool Lookup(SC_HANDLE handle, ScObject& out) {
    std::lock_guard<std::mutex> guard(gScMutex);
    auto* o = reinterpret_cast<ScObject*>(handle);
    if (!LiveHandles().count(o)) return false;
    out = *o;
    return true;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::vector<uint8_t> Body(wire::Writer& w) {
    auto& f = w.Finish();
    return std::vector<uint8_t>(f.begin() + 4, f.end());
}

DWORD Ask(wire::Op op, wire::Writer& args, HostReply& reply) {
    if (DWORD e = CallHost(op, Body(args), reply)) {
        // An unreachable machine is an unreachable SCM.
        return e == ERROR_DEV_NOT_EXIST ? RPC_S_SERVER_UNAVAILABLE : e;
    }
    return reply.status == 0 ? ERROR_SUCCESS : HostStatusToError(reply.status);
}

void ToStatus(const wire::ServiceStatus& s, LPSERVICE_STATUS out) {
    out->dwServiceType = s.serviceType;
    out->dwCurrentState = s.currentState;
    out->dwControlsAccepted = s.controlsAccepted;
    out->dwWin32ExitCode = s.win32ExitCode;
    out->dwServiceSpecificExitCode = s.serviceSpecificExitCode;
    out->dwCheckPoint = s.checkPoint;
    out->dwWaitHint = s.waitHint;
}

// The dispatcher of this process (a service program runs one).
struct Dispatcher {
    std::mutex mutex;  // guards everything below
    std::string name;
    LPHANDLER_FUNCTION handler = nullptr;
    HostConnection* conn = nullptr;
    std::thread::id thread;
    bool stopped = false;
};
Dispatcher& TheDispatcher() {
    static auto* d = new Dispatcher;
    return *d;
}

}  // namespace
}  // namespace tarn::win32

using namespace tarn::win32;
namespace wire = tarn::wire;

extern "C" SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    if (lpMachineName && *lpMachineName) {
        // Only this machine's SCM is reachable.
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (lpDatabaseName && std::string(lpDatabaseName) != SERVICES_ACTIVE_DATABASEA) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    wire::Writer w;
    HostReply reply;
    if (DWORD e = Ask(wire::Op::GetLogicalDrives, w, reply)) {
        SetLastError(e);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return NewHandle({true, "", dwDesiredAccess});
}

extern "C" SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    ScObject manager;
    if (!Lookup(hSCManager, manager) || !manager.manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!lpServiceName || !*lpServiceName) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    wire::Writer w;
    w.Str(lpServiceName);
    HostReply reply;
    if (DWORD e = Ask(wire::Op::OpenService, w, reply)) {
        SetLastError(e);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return NewHandle({false, lpServiceName, dwDesiredAccess});
}

extern "C" BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD, LPCSTR*) {
    ScObject service;
    if (!Lookup(hService, service) || service.manager) return Fail(ERROR_INVALID_HANDLE);
    if (!(service.access & SERVICE_START)) return Fail(ERROR_ACCESS_DENIED);
    // FIXME: service arguments are not passed on; the service main routine gets only its name.
    wire::Writer w;
    w.Str(service.name);
    HostReply reply;
    if (DWORD e = Ask(wire::Op::StartService, w, reply)) return Fail(e);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    ScObject service;
    if (!Lookup(hService, service) || service.manager) return Fail(ERROR_INVALID_HANDLE);
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER);
    const DWORD needed = dwControl == SERVICE_CONTROL_STOP          ? SERVICE_STOP
                         : dwControl == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                         : dwControl >= 128                         ? SERVICE_USER_DEFINED_CONTROL
                                                                    : SERVICE_PAUSE_CONTINUE;
    if (!(service.access & needed)) return Fail(ERROR_ACCESS_DENIED);
    // The system's own SHUTDOWN control cannot be sent by callers.
    if (dwControl == SERVICE_CONTROL_SHUTDOWN) return Fail(ERROR_INVALID_PARAMETER);
    wire::Writer w;
    w.Str(service.name);
    w.U32(dwControl);
    HostReply reply;
    const DWORD e = Ask(wire::Op::ControlService, w, reply);
    wire::Reader r(reply.payload.data(), reply.payload.size());
    wire::ServiceStatus s;
    if (r.Status(s)) ToStatus(s, lpServiceStatus);
    if (e) return Fail(e);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    ScObject service;
    if (!Lookup(hService, service) || service.manager) return Fail(ERROR_INVALID_HANDLE);
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER);
    if (!(service.access & SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED);
    wire::Writer w;
    w.Str(service.name);
    HostReply reply;
    if (DWORD e = Ask(wire::Op::QueryServiceStatus, w, reply)) return Fail(e);
    wire::Reader r(reply.payload.data(), reply.payload.size());
    wire::ServiceStatus s;
    if (!r.Status(s)) return Fail(ERROR_INVALID_DATA);
    ToStatus(s, lpServiceStatus);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    auto* o = reinterpret_cast<ScObject*>(hSCObject);
    {
        std::lock_guard<std::mutex> guard(gScMutex);
        if (!LiveHandles().erase(o)) return Fail(ERROR_INVALID_HANDLE);
    }
    delete o;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
    if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceName || !lpServiceStartTable[0].lpServiceProc) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // The SCM names the service it started us for; a program started by hand
    // has no SCM to connect to.
    const char* started = std::getenv("TARNVAULT_SERVICE");
    if (!started || !*started) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    const SERVICE_TABLE_ENTRYA* entry = nullptr;
    for (const SERVICE_TABLE_ENTRYA* e = lpServiceStartTable; e->lpServiceName; ++e) {
        if (strcasecmp(e->lpServiceName, started) == 0) entry = e;
    }
    // A single-service program gets its one entry whatever name it uses.
    if (!entry && !lpServiceStartTable[1].lpServiceName) entry = lpServiceStartTable;
    if (!entry) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

    DWORD error = ERROR_SUCCESS;
    auto conn = HostConnection::Open(0, error);
    if (!conn) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    Dispatcher& d = TheDispatcher();
    {
        std::lock_guard<std::mutex> guard(d.mutex);
        if (d.conn) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
        d.name = started;
        d.conn = conn.get();
        d.thread = std::this_thread::get_id();
        d.stopped = false;
    }
    wire::Writer w;
    w.Str(started);
    HostReply reply;
    error = conn->Call(wire::Op::ServiceAttach, Body(w), reply);
    if (error == ERROR_SUCCESS && reply.status != 0) error = HostStatusToError(reply.status);
    if (error != ERROR_SUCCESS) {
        std::lock_guard<std::mutex> guard(d.mutex);
        d.conn = nullptr;
        return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    }

    // The service main routine runs on a thread of its own; it may never
    // return (an RPC server listens there), so nobody waits for it.
    std::string name = started;
    std::thread([proc = entry->lpServiceProc, name]() mutable {
        LPSTR argv[] = {name.data(), nullptr};
        proc(1, argv);
    }).detach();

    std::vector<uint8_t> frame;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(d.mutex);
            if (d.stopped) break;
        }
        if (!conn->ReceiveRaw(frame)) break;
        wire::Reader r(frame.data(), frame.size());
        uint32_t control = 0;
        if (!r.U32(control)) continue;
        LPHANDLER_FUNCTION handler = nullptr;
        {
            std::lock_guard<std::mutex> guard(d.mutex);
            handler = d.handler;
        }
        if (handler) handler(control);
        wire::Writer done;
        wire::WriteRequestHeader(done, wire::Op::ServiceControlDone, ThreadCredentials());
        conn->SendRaw(done.Finish());
    }
    {
        std::lock_guard<std::mutex> guard(d.mutex);
        d.conn = nullptr;
        d.handler = nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// One service per process: its status handle is a fixed non-null value.
static const SERVICE_STATUS_HANDLE kOwnServiceStatus = reinterpret_cast<SERVICE_STATUS_HANDLE>(1);

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc) {
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> guard(d.mutex);
    if (!d.conn || !lpServiceName || strcasecmp(lpServiceName, d.name.c_str()) != 0) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (!lpHandlerProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    d.handler = lpHandlerProc;
    SetLastError(ERROR_SUCCESS);
    return kOwnServiceStatus;
}

extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
    Dispatcher& d = TheDispatcher();
    std::string name;
    {
        std::lock_guard<std::mutex> guard(d.mutex);
        if (hServiceStatus != kOwnServiceStatus || !d.conn) return Fail(ERROR_INVALID_HANDLE);
        name = d.name;
    }
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER);
    wire::Writer w;
    w.Str(name);
    wire::ServiceStatus s{lpServiceStatus->dwServiceType,   lpServiceStatus->dwCurrentState,
                          lpServiceStatus->dwControlsAccepted, lpServiceStatus->dwWin32ExitCode,
                          lpServiceStatus->dwServiceSpecificExitCode, lpServiceStatus->dwCheckPoint,
                          lpServiceStatus->dwWaitHint};
    w.Status(s);
    HostReply reply;
    if (DWORD e = Ask(wire::Op::SetServiceStatus, w, reply)) return Fail(e);
    if (lpServiceStatus->dwCurrentState == SERVICE_STOPPED) {
        // The dispatcher returns once the service is stopped: wake it unless
        // this runs inside its handler, which it checks after the handler.
        std::lock_guard<std::mutex> guard(d.mutex);
        d.stopped = true;
        if (d.conn && std::this_thread::get_id() != d.thread) d.conn->Shutdown();
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// The machine's service control manager, device events and its system-call
// socket under abuse, each on a machine of its own.
#include <windows.h>

#include <dbt.h>
#include <fileapi.h>
#include <winreg.h>
#include <winsvc.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <vector>

#include "machine_fixture.h"
#include "platform/host/wire/wire.h"

namespace {

using ServicesTest = MachineTest;

constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\HostTestSvc";
constexpr char kTraceKey[] = "SOFTWARE\\TarnHostTest";

void SetValue(const char* path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
}

DWORD GetTrace(const char* name) {
    HKEY key = nullptr;
    DWORD value = 0, size = sizeof value;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTraceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return value;
}

void InstallTestService() {
    const std::string image = TARN_BINARY_DIR "/tests/host/host_test_service";
    SetValue(kServiceKey, "ImagePath", REG_SZ, image.c_str(), static_cast<DWORD>(image.size() + 1));
    const DWORD type = SERVICE_WIN32_OWN_PROCESS;
    SetValue(kServiceKey, "Type", REG_DWORD, &type, sizeof type);
    const DWORD input = 21;
    SetValue(kTraceKey, "Input", REG_DWORD, &input, sizeof input);
}

DWORD WaitForState(SC_HANDLE service, DWORD state) {
    SERVICE_STATUS status{};
    for (int i = 0; i < 100; ++i) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) return state;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return status.dwCurrentState;
}

TEST_F(ServicesTest, ServiceStartsRunsAndStopsUnderTheScm) {
    InstallTestService();
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(scm, nullptr) << GetLastError();

    struct Missing {
        const char* name;
    } missing[] = {{"NoSuchService"}, {"VTarn"}};  // the driver service exists once its module is built
    for (const auto& m : missing) {
        if (std::string(m.name) == "VTarn" && std::filesystem::exists(TARN_BINARY_DIR "/vdisk")) continue;
        EXPECT_EQ(OpenServiceA(scm, m.name, SERVICE_ALL_ACCESS), nullptr) << m.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST)) << m.name;
    }

    SC_HANDLE queryOnly = OpenServiceA(scm, "hosttestsvc", SERVICE_QUERY_STATUS);
    ASSERT_NE(queryOnly, nullptr) << GetLastError();
    EXPECT_FALSE(StartServiceA(queryOnly, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    SC_HANDLE service = OpenServiceA(scm, "HostTestSvc", SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr) << GetLastError();
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError() << Log();
    EXPECT_EQ(WaitForState(service, SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    // The service read what this process wrote and answered through the registry.
    EXPECT_EQ(GetTrace("Echo"), 42u);

    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(GetTrace("Stopped"), 1u);
    EXPECT_EQ(WaitForState(service, SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwWin32ExitCode, 0u);

    // Started again at once, while the last process may still be ending.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << i << ": " << GetLastError();
        ASSERT_EQ(WaitForState(service, SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING)) << i;
        ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << i << ": " << GetLastError();
    }

    // Closed handles are refused, not followed.
    EXPECT_TRUE(CloseServiceHandle(queryOnly));
    EXPECT_FALSE(CloseServiceHandle(queryOnly));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(QueryServiceStatus(queryOnly, &status));
    CloseServiceHandle(service);
    CloseServiceHandle(scm);

    // The command line reaches the same SCM; a machine shutdown stops the service.
    std::string out;
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "service", "start", "HostTestSvc"}, &out), 0) << out;
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "service", "status", "HostTestSvc"}, &out), 0) << out;
    EXPECT_NE(out.find("HostTestSvc"), std::string::npos) << out;
    StopHost();
    EXPECT_EQ(GetTrace("ShutDown"), 1u);
}

TEST_F(ServicesTest, ServiceProgramStartedByHandFindsNoScm) {
    // Outside the SCM the dispatcher fails as on Windows.
    std::string out;
    FILE* p = ::popen("env -u TARNVAULT_SERVICE " TARN_BINARY_DIR "/tests/host/host_test_service 2>&1", "r");
    ASSERT_NE(p, nullptr);
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    const int status = ::pclose(p);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(out.find("1063"), std::string::npos) << out;
}

// Collects what the machine announces.
struct Collected {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<ULONG_PTR, std::vector<uint8_t>>> events;
};
Collected* gCollected = nullptr;

void WINAPI Sink(HANDLE, UINT message, ULONG_PTR wParam, LONG_PTR lParam) {
    if (message != WM_DEVICECHANGE || !gCollected) return;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    std::vector<uint8_t> copy(reinterpret_cast<const uint8_t*>(header), reinterpret_cast<const uint8_t*>(header) + header->dbch_size);
    std::lock_guard<std::mutex> guard(gCollected->mutex);
    gCollected->events.emplace_back(wParam, std::move(copy));
    gCollected->changed.notify_all();
}

TEST_F(ServicesTest, DeviceEventsReachRegisteredRecipients) {
    Collected collected;
    gCollected = &collected;
    SetDeviceNotificationSink(Sink);
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
    HDEVNOTIFY note = RegisterDeviceNotificationA(reinterpret_cast<HANDLE>(0x1234), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(note, nullptr);

    auto waitFor = [&](auto predicate) {
        std::unique_lock<std::mutex> lock(collected.mutex);
        return collected.changed.wait_for(lock, std::chrono::seconds(5), [&] {
            for (auto& [event, record] : collected.events) {
                if (predicate(event, record)) return true;
            }
            return false;
        });
    };
    auto volumeEvent = [](ULONG_PTR want, DWORD mask, WORD flags) {
        return [=](ULONG_PTR event, const std::vector<uint8_t>& record) {
            if (event != want || record.size() < sizeof(DEV_BROADCAST_VOLUME)) return false;
            const auto* v = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(record.data());
            return v->dbcv_devicetype == DBT_DEVTYP_VOLUME && v->dbcv_unitmask == mask && v->dbcv_flags == flags;
        };
    };
    // The subscription is made in the background: insert and eject a disc
    // until the first event shows it is in place.
    const std::string disc = root_ + "/disc.iso";
    { std::ofstream(disc).put('\0'); }
    std::filesystem::resize_file(disc, 1 << 20);
    bool subscribed = false;
    std::string out;
    for (int i = 0; i < 20 && !subscribed; ++i) {
        ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "insert", "D:", disc}, &out), 0) << out;
        subscribed = waitFor(volumeEvent(DBT_DEVICEARRIVAL, 1u << 3, DBTF_MEDIA));
        ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "eject", "D:"}, &out), 0) << out;
    }
    ASSERT_TRUE(subscribed);
    EXPECT_TRUE(waitFor(volumeEvent(DBT_DEVICEREMOVECOMPLETE, 1u << 3, DBTF_MEDIA)));

    ASSERT_EQ(RunTarnhost({"--machine", dir_, "drive", "add", "G:", "fixed", "g.img", "--create", "1048576"}, &out), 0) << out;
    EXPECT_TRUE(waitFor(volumeEvent(DBT_DEVICEARRIVAL, 1u << 6, 0)));
    EXPECT_TRUE(waitFor([](ULONG_PTR event, const std::vector<uint8_t>& record) {
        if (event != DBT_DEVICEARRIVAL) return false;
        const auto* d = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(record.data());
        return d->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
               std::string(d->dbcc_name).rfind("\\\\?\\STORAGE#Volume#", 0) == 0;
    }));
    EXPECT_EQ(GetDriveTypeA("G:\\"), static_cast<UINT>(DRIVE_FIXED));
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "drive", "remove", "G:"}, &out), 0) << out;
    EXPECT_TRUE(waitFor(volumeEvent(DBT_DEVICEREMOVECOMPLETE, 1u << 6, 0)));
    EXPECT_EQ(GetDriveTypeA("G:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));

    EXPECT_TRUE(UnregisterDeviceNotification(note));
    EXPECT_FALSE(UnregisterDeviceNotification(note));
    SetDeviceNotificationSink(nullptr);
    gCollected = nullptr;
}

// Raw frames to the running machine: every hostile request gets an error and
// the machine keeps serving.
TEST_F(ServicesTest, MalformedSystemCallsAreAnsweredWithErrors) {
    const std::string socketPath = dir_ + "/tarnhost.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, socketPath.c_str());
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    using namespace tarn;
    auto call = [&](wire::Op op, auto&& fill) {
        wire::Writer w;
        wire::WriteRequestHeader(w, op, {0, 0, {}});
        fill(w);
        EXPECT_TRUE(wire::SendFrame(s, w.Finish()));
        std::vector<uint8_t> body;
        EXPECT_TRUE(wire::RecvFrame(s, body));
        wire::Reader r(body.data(), body.size());
        uint32_t status = 0;
        uint64_t info = 0;
        EXPECT_TRUE(wire::ReadReplyHeader(r, status, info));
        return std::make_pair(status, info);
    };
    constexpr uint32_t kInvalidParameter = 0xC000000D, kInvalidHandle = 0xC0000008;
    struct Case {
        const char* what;
        wire::Op op;
        std::function<void(wire::Writer&)> fill;
        uint32_t expect;
    } cases[] = {
        {"open without arguments", wire::Op::Open, [](wire::Writer&) {}, kInvalidParameter},
        {"open of a Linux path", wire::Op::Open, [](wire::Writer& w) { w.Str("/etc/passwd"); w.U32(0x80000000); w.U32(3); },
         0xC0000033},
        {"open of nothing", wire::Op::Open, [](wire::Writer& w) { w.Str("\\\\.\\"); w.U32(0); w.U32(0); }, 0xC0000033},
        {"read on a handle never opened", wire::Op::Read,
         [](wire::Writer& w) { w.U32(4); w.U64(0); w.U32(512); w.U32(0); }, kInvalidHandle},
        {"write with its data missing", wire::Op::Write,
         [](wire::Writer& w) { w.U32(4); w.U64(0); w.U32(512); w.U32(0); }, kInvalidHandle},
        {"control with a short input", wire::Op::DeviceControl,
         [](wire::Writer& w) { w.U32(4); w.U32(0x70024); w.U32(0); w.U32(100); }, kInvalidParameter},
        {"unknown operation", static_cast<wire::Op>(777), [](wire::Writer&) {}, kInvalidParameter},
        {"close of a stranger's handle", wire::Op::Close, [](wire::Writer& w) { w.U32(12345); }, kInvalidHandle},
        {"drive type with a bad string", wire::Op::GetDriveType, [](wire::Writer& w) { w.U32(1u << 30); }, kInvalidParameter},
        {"hardware change by a caller", wire::Op::DefineDosDevice,
         [](wire::Writer& w) { w.U32(1); w.Str("Y:"); w.Str("no-backslash"); }, 0xC0000033},
    };
    for (const auto& c : cases) EXPECT_EQ(call(c.op, c.fill).first, c.expect) << c.what;

    // A real handle, then reads it may not do.
    auto opened = call(wire::Op::Open, [](wire::Writer& w) { w.Str("\\\\.\\E:"); w.U32(0x80000000); w.U32(3); });
    ASSERT_EQ(opened.first, 0u);
    const uint32_t handle = static_cast<uint32_t>(opened.second);
    EXPECT_EQ(call(wire::Op::Read, [&](wire::Writer& w) { w.U32(handle); w.U64(0); w.U32(512); w.U32(wire::kDataInShared); }).first,
              kInvalidParameter) << "shared data without a shared buffer";
    EXPECT_EQ(call(wire::Op::Read, [&](wire::Writer& w) { w.U32(handle); w.U64(0); w.U32(64u << 20); w.U32(0); }).first,
              kInvalidParameter) << "more than a frame can carry";
    EXPECT_EQ(call(wire::Op::Read, [&](wire::Writer& w) { w.U32(handle); w.U64(~0ull); w.U32(512); w.U32(0); }).first,
              kInvalidParameter) << "offset beyond any device";
    EXPECT_EQ(call(wire::Op::Write, [&](wire::Writer& w) { w.U32(handle); w.U64(0); w.U32(512); w.U32(0); w.U32(0); }).first,
              0xC0000022u) << "write on a read-only handle";
    ::close(s);
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_FIXED)) << "the machine still serves";
}

TEST_F(ServicesTest, CallersOutsideTheMachinesUsersAreRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a caller under another uid";
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
        HANDLE h = CreateFileA("\\\\.\\E:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) ::_exit(11);
        if (GetLastError() != ERROR_ACCESS_DENIED) ::_exit(12);
        if (OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)) ::_exit(13);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

#include "bench/vdisk/machine_disk.h"

#include <windows.h>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "bench/vdisk/bench_image.h"
#include "cipher/keys.h"
#include "sys/crypt_ioctl.h"
#include "vdisk/vdisk_ioctl.h"

namespace vdisk_bench {

namespace {

const char* kTarnhost = TARN_BINARY_DIR "/platform/host/tarnhost";

bool Control(HANDLE h, DWORD code, const void* in = nullptr, DWORD inLength = 0, void* out = nullptr,
             DWORD outLength = 0)
{
    DWORD returned = 0;
    return DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outLength, &returned, nullptr) != FALSE;
}

std::runtime_error Failed(const std::string& step)
{
    return std::runtime_error("through the machine: " + step + " failed (error " + std::to_string(GetLastError()) +
                              ")");
}

bool SocketAnswers(const std::string& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    const bool up = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(s);
    return up;
}

}  // namespace

MachineDisk::MachineDisk(const std::filesystem::path& dir, const std::filesystem::path& image)
    : machine_(dir.string())
{
    try {
        Start();
        Mount(image);
    } catch (...) {
        Close();
        throw;
    }
}

MachineDisk::~MachineDisk() { Close(); }

void MachineDisk::Close()
{
    if (drive_ != nullptr) {
        Control(drive_, FSCTL_LOCK_VOLUME);
        Control(drive_, IOCTL_VDISK_UNMOUNT);
        Control(drive_, FSCTL_DISMOUNT_VOLUME);
        Control(drive_, FSCTL_UNLOCK_VOLUME);
        CloseHandle(drive_);
        drive_ = nullptr;
    }
    if (host_ > 0) {
        kill(host_, SIGTERM);
        waitpid(host_, nullptr, 0);
        host_ = -1;
    }
}

void MachineDisk::Start()
{
    const std::string init = std::string(kTarnhost) + " --machine '" + machine_ + "' init >/dev/null";
    if (std::system(init.c_str()) != 0) throw std::runtime_error("through the machine: tarnhost init failed");
    setenv("TARNVAULT_MACHINE", machine_.c_str(), 1);
    host_ = fork();
    if (host_ == 0) {
        // The machine ends with the benchmark, however the benchmark ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        execl(kTarnhost, kTarnhost, "--machine", machine_.c_str(), "run", "--no-service", nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200 && !SocketAnswers(machine_ + "/tarnhost.sock"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!SocketAnswers(machine_ + "/tarnhost.sock")) throw std::runtime_error("through the machine: no tarnhost");

    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = scm ? OpenServiceA(scm, "VTarn", SERVICE_ALL_ACCESS) : nullptr;
    const bool started = service && StartServiceA(service, 0, nullptr);
    if (service) CloseServiceHandle(service);
    if (scm) CloseServiceHandle(scm);
    if (!started) throw Failed("starting VTarn");
}

void MachineDisk::Mount(const std::filesystem::path& image)
{
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, "X:", "\\Device\\Ombrel\\Ombrel0")) throw Failed("defining X:");
    HANDLE drive = CreateFileA("\\\\.\\X:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (drive == INVALID_HANDLE_VALUE) throw Failed("opening X:");
    drive_ = drive;

    VDISK_MOUNT_RECORD record{};
    record.DriveLetter = 'X';
    const std::string path = "\\??\\" + image.string();
    for (size_t i = 0; i < path.size() && i + 1 < VDISK_NAME_CHARS; ++i) record.FileName[i] = char16_t(path[i]);
    if (!Control(drive_, IOCTL_VDISK_MOUNT, &record, sizeof(record))) throw Failed("mounting the image");

    // As the service unlocks a drive: the key under the volume lock, then a
    // dismount so the next look finds the plaintext.
    uint8_t key[kKeyBufferSize];
    BuildKeyBuffer(kPassword, key);
    const bool unlocked = Control(drive_, FSCTL_LOCK_VOLUME) &&
                          Control(drive_, IOCTL_CRYPT_SET_KEY, key, CRYPT_KEY_LENGTH) &&
                          Control(drive_, FSCTL_DISMOUNT_VOLUME) && Control(drive_, FSCTL_UNLOCK_VOLUME);
    SecureWipe(key, sizeof(key));
    uint32_t encrypted = 0;
    if (!unlocked || !Control(drive_, IOCTL_CRYPT_QUERY_STATE, nullptr, 0, &encrypted, sizeof(encrypted)) ||
        encrypted != 1) {
        throw Failed("unlocking the image");
    }
}

bool MachineDisk::Read(uint64_t offset, void* buffer, uint32_t length) const
{
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return SetFilePointerEx(drive_, to, nullptr, FILE_BEGIN) && ReadFile(drive_, buffer, length, &got, nullptr) &&
           got == length;
}

}  // namespace vdisk_bench

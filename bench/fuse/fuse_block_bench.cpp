// dd through the block view of an unlocked (encrypted) drive against dd of
// its backing file, 1 GiB each way, in one run; prints both rates and their
// ratios. Needs /dev/fuse. Usage: fuse_block_bench [--mib N] [--rounds N]
//
// Figures, each side under the same conditions:
// - as first measured: buffered writes, then reads right after them (the
//   view's reads now find the pages its writes left in the kernel's cache);
// - writes made durable (conv=fdatasync on both sides): the view writes
//   through at once, so this is the like-for-like write;
// - reads cold (both files' cached pages dropped first, the backing file's
//   too before the view's read) and warm (read again). The host reads the
//   backing file through a mapping, and mapped pages stay cached, so "cold"
//   finds the backing file's pages cached on both sides: it measures the
//   view's own path with an empty cache of its own.
#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "sys/crypt_ioctl.h"

namespace {

const std::string kTarnhost = TARN_BINARY_DIR "/platform/host/tarnhost";

std::string Shell(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    char buffer[512];
    while (p && std::fgets(buffer, sizeof buffer, p)) out += buffer;
    const int s = p ? ::pclose(p) : -1;
    if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return out;
}

// Seconds dd reports for its copy; negative when it failed.
double DdSeconds(const std::string& args) {
    int status = 0;
    const std::string out = Shell("dd " + args, &status);
    const auto at = out.find("copied, ");
    if (status != 0 || at == std::string::npos) {
        std::fprintf(stderr, "dd %s failed: %s\n", args.c_str(), out.c_str());
        return -1;
    }
    return std::strtod(out.c_str() + at + 8, nullptr);
}

// Drops a file's cached pages (written back first, so none stays dirty).
void DropCache(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// The 1-minute load average: the figures are only comparable on a quiet machine.
std::string LoadAverage() {
    FILE* f = std::fopen("/proc/loadavg", "r");
    char buffer[64] = {};
    if (f && std::fgets(buffer, sizeof buffer, f)) buffer[std::strcspn(buffer, " ")] = 0;
    if (f) std::fclose(f);
    return buffer;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool Control(HANDLE h, DWORD code, void* in = nullptr, DWORD inLength = 0) {
    DWORD ignored = 0;
    return DeviceIoControl(h, code, in, inLength, nullptr, 0, &ignored, nullptr) != FALSE;
}

// The drive gets the marker and the key: encrypted and unlocked.
bool EncryptAndUnlock(const char* device) {
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::vector<uint8_t> request(8 + 512, 0);
    SectorKeys keys("bench password");
    request[8 + 510] = kMarker0;
    request[8 + 511] = kMarker1;
    EncryptSectorZero(&keys.User, &keys.Fixed, request.data() + 8);
    uint8_t key[64] = {};
    BuildKeyBuffer("bench password", key);
    const bool ok = Control(h, IOCTL_CRYPT_RAW_WRITE, request.data(), static_cast<DWORD>(request.size())) &&
                    Control(h, IOCTL_CRYPT_SET_KEY, key, 32) && Control(h, FSCTL_DISMOUNT_VOLUME);
    CloseHandle(h);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    int mib = 1024;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--mib") == 0) mib = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        std::fprintf(stderr, "fuse_block_bench: no /dev/fuse here, nothing to measure\n");
        return 0;
    }
    char pattern[] = "/tmp/tarn-fuse-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string root = pattern, dir = root + "/machine";
    const std::string backing = dir + "/bench.img", view = dir + "/drives/G";
    int status = 0;
    Shell(kTarnhost + " --machine " + dir + " init", &status);
    const std::string size = std::to_string((static_cast<uint64_t>(mib) + 2) << 20);
    const std::string added = Shell(kTarnhost + " --machine " + dir + " drive add G: fixed " + backing + " --create " + size, &status);
    if (status != 0) {
        std::fprintf(stderr, "%s", added.c_str());
        return 1;
    }
    ::setenv("TARNVAULT_MACHINE", dir.c_str(), 1);
    const pid_t host = ::fork();
    if (host == 0) {
        const int log = ::open((root + "/host.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (log >= 0) ::dup2(log, 2);
        ::execl(kTarnhost.c_str(), kTarnhost.c_str(), "--machine", dir.c_str(), "run", "--no-service", nullptr);
        ::_exit(127);
    }
    struct stat st {};
    for (int i = 0; i < 200 && ::stat(view.c_str(), &st) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int rc = 0;
    if (::stat(view.c_str(), &st) != 0 || !EncryptAndUnlock("\\\\.\\G:")) {
        std::fprintf(stderr, "fuse_block_bench: the drive could not be set up (see %s/host.log)\n", root.c_str());
        rc = 1;
    } else {
        // The first MiB (the marker's unit) is left alone on both paths.
        const std::string count = " bs=1M count=" + std::to_string(mib);
        const std::string w = " if=/dev/zero conv=notrunc seek=1" + count;
        const std::string wd = " if=/dev/zero conv=notrunc,fdatasync seek=1" + count;
        const std::string r = " of=/dev/null skip=1" + count;
        // Rounds alternate the copies, so both sides of a ratio see the same
        // machine; the median round's ratio is reported, with the range.
        enum { kWrite, kRead, kDurable, kCold, kWarm, kKinds };
        std::vector<double> t[kKinds][2];  // [kind][0 backing, 1 view]
        const std::string files[2] = {backing, view};
        const std::string loadBefore = LoadAverage();
        for (int round = 0; round < rounds && rc == 0; ++round) {
            double s[kKinds][2];
            for (int k = 0; k < 2; ++k) s[kWrite][k] = DdSeconds("of=" + files[k] + w);
            for (int k = 0; k < 2; ++k) s[kRead][k] = DdSeconds("if=" + files[k] + r);
            for (int k = 0; k < 2; ++k) s[kDurable][k] = DdSeconds("of=" + files[k] + wd);
            for (int k = 0; k < 2; ++k) {
                DropCache(view);
                DropCache(backing);
                s[kCold][k] = DdSeconds("if=" + files[k] + r);
            }
            for (int k = 0; k < 2; ++k) DdSeconds("if=" + files[k] + r);  // both caches filled
            for (int k = 0; k < 2; ++k) s[kWarm][k] = DdSeconds("if=" + files[k] + r);
            for (int kind = 0; kind < kKinds; ++kind) {
                for (int k = 0; k < 2; ++k) {
                    if (s[kind][k] <= 0) rc = 1;
                    t[kind][k].push_back(s[kind][k]);
                }
            }
        }
        if (rc == 0) {
            const double mb = static_cast<double>(mib) * 1048576.0 / 1e6;
            std::printf("dd bs=1M count=%d, %d rounds, backing file %s against %s, load %s to %s\n", mib, rounds,
                        backing.c_str(), view.c_str(), loadBefore.c_str(), LoadAverage().c_str());
            const char* names[kKinds] = {
                "writes, as first measured (buffered)   ", "reads, as first measured (after writes)",
                "writes, durable (conv=fdatasync)        ", "reads, cold (the view's cache dropped) ",
                "reads, warm (cached)                    "};
            for (int kind = 0; kind < kKinds; ++kind) {
                std::vector<double> ratio;
                for (int i = 0; i < rounds; ++i) ratio.push_back(t[kind][0][i] / t[kind][1][i]);
                std::printf("%s backing %6.0f MB/s, view %6.0f MB/s, ratio %.2f (%.2f-%.2f)\n", names[kind],
                            mb / Median(t[kind][0]), mb / Median(t[kind][1]), Median(ratio),
                            *std::min_element(ratio.begin(), ratio.end()),
                            *std::max_element(ratio.begin(), ratio.end()));
            }
        }
    }
    ::kill(host, SIGTERM);
    ::waitpid(host, &status, 0);
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return rc;
}

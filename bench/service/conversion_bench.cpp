// The service's conversions against a plain 64 KiB read+write copy of the same
// bytes through the same path, measured in one run on a live machine:
//  - a drive converted in place (encrypt, then decrypt) against a copy through
//    the drive's device ("\\.\G:", ReadFile/WriteFile through the machine),
//    and against the same copy flushed at its end; the drive empty (zeros),
//    then full of data;
//  - an image file encrypted into a second file against a copy of the same
//    file into a second file;
//  - the time and the allocated bytes of a 64 GiB FAT32 image;
//  - the journal's cost: the same in-place conversion loop over the same
//    drive (empty and full) and file, with its journal (durable steps) and
//    without, in this process.
// Usage: conversion_bench [--drive-mib N] [--image-mib N] [--journal-mib N] [--dir DIR] [--journal-only]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cipher/keys.h"
#include "service/chunk_cipher.h"
#include "service/chunk_loop.h"
#include "service/chunk_media.h"
#include "service/client/svcclient.h"
#include "service/drive_conversion.h"
#include "service/worker_status.h"

namespace {

const std::string kTarnhost = TARN_BINARY_DIR "/platform/host/tarnhost";
constexpr size_t kCopyBlock = 64 * 1024;
const char* const kPassword = "bench password";

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

int Run(const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Seconds a service conversion takes, negative on failure.
double TimedConversion(const std::function<long()>& begin) {
    const auto start = Clock::now();
    const long started = begin();
    if (started != 0) {
        std::fprintf(stderr, "conversion not started: %ld\n", started);
        return -1;
    }
    while (SvcGetFinished() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const double seconds = Since(start);
    if (const long result = SvcGetResult(); result != 0) {
        uint8_t message[256] = {};
        SvcGetLastMessage(sizeof message, message);
        std::fprintf(stderr, "conversion failed: %lX %s\n", result, reinterpret_cast<char*>(message));
        return -1;
    }
    return seconds;
}

// Reads each 64 KiB block of the drive and writes it back in place, through
// the machine as the service's own loop does; with `durable`, flushed at the
// end, so it ends with its bytes on the disk as a journalled conversion does.
double TimedDriveCopy(const char* device, uint64_t length, bool durable = false) {
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    std::vector<uint8_t> buffer(kCopyBlock);
    const auto start = Clock::now();
    bool ok = true;
    for (uint64_t at = 0; ok && at < length; at += kCopyBlock) {
        LARGE_INTEGER to;
        to.QuadPart = int64_t(at);
        DWORD n = 0, written = 0;
        ok = SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && ReadFile(h, buffer.data(), DWORD(kCopyBlock), &n, nullptr) &&
             n > 0 && SetFilePointerEx(h, to, nullptr, FILE_BEGIN) &&
             WriteFile(h, buffer.data(), n, &written, nullptr) && written == n;
    }
    if (durable) ok = ok && FlushFileBuffers(h);
    const double seconds = Since(start);
    CloseHandle(h);
    return ok ? seconds : -1;
}

// Fills the drive with data that has no zero chunk (an xorshift stream), so
// the journal has every original byte to keep.
bool FillDrive(const char* device, uint64_t length) {
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::vector<uint64_t> buffer(kCopyBlock / 8);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    bool ok = true;
    for (uint64_t at = 0; ok && at < length; at += kCopyBlock) {
        for (auto& w : buffer) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        DWORD written = 0;
        ok = WriteFile(h, buffer.data(), DWORD(kCopyBlock), &written, nullptr) && written == kCopyBlock;
    }
    ok = ok && FlushFileBuffers(h);
    CloseHandle(h);
    return ok;
}

// A 64 KiB read+write copy of one file into a new one.
double TimedFileCopy(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    // Overwritten in place, as the conversion overwrites its target: freeing
    // and reallocating a whole file each round measures the file system
    // (this one discards freed blocks) more than the copy.
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    std::vector<char> buffer(kCopyBlock);
    const auto start = Clock::now();
    bool ok = in >= 0 && out >= 0;
    for (ssize_t n; ok && (n = ::read(in, buffer.data(), buffer.size())) > 0;) ok = ::write(out, buffer.data(), size_t(n)) == n;
    // No fsync: the service's conversion does not flush either.
    const double seconds = Since(start);
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    return ok ? seconds : -1;
}

// One in-place conversion of the file by the service's own loop, with or
// without its journal; seconds, negative on failure.
double TimedInPlace(const std::string& path, bool encrypt, bool journal) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    LARGE_INTEGER size;
    GetFileSizeEx(h, &size);
    SectorKeys keys(kPassword);
    JournalRecord record;
    record.Target = path;
    record.Image = true;
    record.Encrypt = encrypt;
    record.ChunkSize = uint32_t(kChunkSize);
    record.Length = uint64_t(size.QuadPart);
    ChunkLoopSettings settings;
    settings.Length = record.Length;
    settings.Encrypt = encrypt;
    if (journal) settings.Journal = &record;
    ImageMedium medium(h, h, encrypt, keys);
    bool finished = false;
    const auto start = Clock::now();
    DWORD result = RunChunkLoop(medium, settings, &finished);
    // Both sides end with the converted file on the store: the journal's
    // steps flush as they go, the bare loop once at its end.
    if (!journal && result == 0 && !FlushFileBuffers(h)) result = GetLastError();
    if (journal && finished) DeleteJournal(path);
    const double seconds = Since(start);
    CloseHandle(h);
    if (result != 0 || !finished)
        std::fprintf(stderr, "conversion_bench: in-place %s %s its journal failed: %lu\n",
                     encrypt ? "encryption" : "decryption", journal ? "with" : "without", (unsigned long)result);
    return result == 0 && finished ? seconds : -1;
}

// One in-place conversion of the drive by the service's drive loop, run in
// this process through the machine, with or without its journal; without
// it, flushed once at the end unless `flush` is false.
double TimedDriveInPlace(const char* device, uint64_t length, bool encrypt, bool journal, bool flush = true) {
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "drive not opened: %lu\n", (unsigned long)GetLastError());
        return -1;
    }
    // Locked as the service's worker locks it, with its second handle for
    // the journal's flushes opened first.
    HANDLE flusher = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_FLAG_RANDOM_ACCESS, nullptr);
    DWORD returned = 0;
    DeviceIoControl(h, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    const auto start = Clock::now();
    DWORD result = RunDriveConversion(h, length, encrypt, kPassword, journal ? device : nullptr, flusher);
    if (!journal && flush && result == 0 && !FlushFileBuffers(h)) result = GetLastError();
    const double seconds = Since(start);
    DeviceIoControl(h, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    DeviceIoControl(h, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    if (flusher != INVALID_HANDLE_VALUE) CloseHandle(flusher);
    CloseHandle(h);
    if (result != 0) {
        char message[kLastMessageCapacity] = {};
        CopyLastMessage(message, sizeof message);
        std::fprintf(stderr, "conversion_bench: the drive's %s failed: %lX %s\n", encrypt ? "encryption" : "decryption",
                     (unsigned long)result, message);
    }
    return result == 0 ? seconds : -1;
}

constexpr int kRounds = 3;

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Ratio(double copy, double conversion) { return conversion > 0 && copy > 0 ? copy / conversion : 0; }

// The journal's cost on a file: the same in-place loop over the same file,
// with its journal and without; prints both and returns the cost (0..1).
double FileJournalCost(const std::string& root, uint64_t journalMib, int* rcOut) {
    int rc = 0;
    // The journal: the same loop over the same file, rounds alternating
    // with and without it (encrypt, then decrypt back).
    const std::string journalled = root + "/in-place.img";
    std::vector<double> bare, kept;
    {
        std::vector<char> block(kCopyBlock);
        for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7 + i / 512);
        const int fd = ::open(journalled.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        for (uint64_t at = 0; fd >= 0 && at < (journalMib << 20); at += kCopyBlock)
            if (::write(fd, block.data(), block.size()) != ssize_t(block.size())) break;
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
    for (int round = 0; round < kRounds && rc == 0; ++round) {
        for (bool journal : {false, true}) {
            const double e = TimedInPlace(journalled, true, journal);
            const double d = TimedInPlace(journalled, false, journal);
            if (e < 0 || d < 0) rc = 1;
            (journal ? kept : bare).push_back(e + d);
        }
    }
    const double jmb = 2.0 * double(journalMib << 20) / 1e6;
    const double cost = Median(kept) > 0 ? 1.0 - Median(bare) / Median(kept) : 0;
    std::printf("in-place %llu MiB file, encrypt + decrypt by the service's loop, %d rounds, medians\n",
                (unsigned long long)journalMib, kRounds);
    std::printf("  without journal (one flush at the end): %.2f s (%.0f MB/s)\n", Median(bare),
                jmb / Median(bare));
    std::printf("  with journal (%u-chunk durable steps): %.2f s (%.0f MB/s), throughput cost %.1f%%\n",
                unsigned(kJournalSpan), Median(kept), jmb / Median(kept), cost * 100);
    std::filesystem::remove(journalled);
    if (rc != 0) *rcOut = rc;
    return cost;
}

// Medians of a drive's rounds: seconds, and ratios against the copy (and
// against the same copy made durable).
struct DriveFigures {
    double Copy = 0, DurableCopy = 0, EncryptSeconds = 0, DecryptSeconds = 0;
    double Encrypt = 0, Decrypt = 0, BareEncrypt = 0, BareDecrypt = 0, DurableEncrypt = 0, DurableDecrypt = 0;
};

// Rounds alternate copies and conversions so both sides of a ratio see the
// same machine; the median round's ratio is reported.
DriveFigures DriveRounds(const char* device, uint64_t driveBytes, int* rc) {
    std::vector<double> copies, durables, encrypts, decrypts, er, dr, ber, bdr, der, ddr;
    for (int round = 0; round < kRounds && *rc == 0; ++round) {
        const double copy = TimedDriveCopy(device, driveBytes);
        const double durable = TimedDriveCopy(device, driveBytes, true);
        const double encrypt = TimedConversion([&] { return SvcStartDriveConversion(device, 1, kPassword); });
        const double decrypt = TimedConversion([&] { return SvcStartDriveConversion(device, 0, kPassword); });
        // The same loop without its journal and without any flush, as the
        // copy runs.
        const double bareEncrypt = TimedDriveInPlace(device, driveBytes, true, false, false);
        const double bareDecrypt = TimedDriveInPlace(device, driveBytes, false, false, false);
        if (copy < 0 || durable < 0 || encrypt < 0 || decrypt < 0 || bareEncrypt < 0 || bareDecrypt < 0) *rc = 1;
        copies.push_back(copy);
        durables.push_back(durable);
        encrypts.push_back(encrypt);
        decrypts.push_back(decrypt);
        er.push_back(Ratio(copy, encrypt));
        dr.push_back(Ratio(copy, decrypt));
        ber.push_back(Ratio(copy, bareEncrypt));
        bdr.push_back(Ratio(copy, bareDecrypt));
        der.push_back(Ratio(durable, encrypt));
        ddr.push_back(Ratio(durable, decrypt));
    }
    return {Median(copies), Median(durables), Median(encrypts), Median(decrypts), Median(er), Median(dr),
            Median(ber), Median(bdr), Median(der), Median(ddr)};
}

void PrintDrive(const char* what, const DriveFigures& f, uint64_t driveBytes, const char* device,
                const std::string& backing) {
    const double mb = double(driveBytes) / 1e6;
    std::printf("drive %llu MiB in place, %s, through %s (backing %s), %d rounds, medians\n",
                (unsigned long long)(driveBytes >> 20), what, device, backing.c_str(), kRounds);
    std::printf("  plain 64 KiB read+write copy: %.2f s (%.0f MB/s); made durable: %.2f s\n", f.Copy, mb / f.Copy,
                f.DurableCopy);
    std::printf("  encrypt: %.2f s (%.0f MB/s), ratio %.2f (%.2f against the durable copy)\n", f.EncryptSeconds,
                mb / f.EncryptSeconds, f.Encrypt, f.DurableEncrypt);
    std::printf("  decrypt: %.2f s (%.0f MB/s), ratio %.2f (%.2f against the durable copy)\n", f.DecryptSeconds,
                mb / f.DecryptSeconds, f.Decrypt, f.DurableDecrypt);
    std::printf("  the same loop without its journal or a flush: encrypt ratio %.2f, decrypt ratio %.2f\n",
                f.BareEncrypt, f.BareDecrypt);
}

// The journal's cost on the drive: the service's drive loop in this process,
// with its journal and without (flushed once at the end), rounds alternating.
double DriveJournalCost(const char* device, uint64_t driveBytes, const char* what, int* rc) {
    std::vector<double> bare, kept;
    for (int round = 0; round < kRounds && *rc == 0; ++round) {
        for (bool journal : {false, true}) {
            const double e = TimedDriveInPlace(device, driveBytes, true, journal);
            const double d = TimedDriveInPlace(device, driveBytes, false, journal);
            if (e < 0 || d < 0) *rc = 1;
            (journal ? kept : bare).push_back(e + d);
        }
    }
    const double mb = double(driveBytes) / 1e6;
    const double cost = Median(kept) > 0 ? 1.0 - Median(bare) / Median(kept) : 0;
    std::printf("drive %llu MiB in place, %s, encrypt + decrypt by the service's drive loop through the machine\n",
                (unsigned long long)(driveBytes >> 20), what);
    std::printf("  without journal: %.2f s (%.0f MB/s)\n", Median(bare), 2 * mb / Median(bare));
    std::printf("  with journal (%u-chunk durable steps): %.2f s (%.0f MB/s), throughput cost %.1f%%\n",
                unsigned(kJournalSpan), Median(kept), 2 * mb / Median(kept), cost * 100);
    return cost;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t driveMib = 512, imageMib = 1024, journalMib = 256;
    std::string base = "/tmp";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--drive-mib") == 0) driveMib = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--image-mib") == 0) imageMib = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--journal-mib") == 0) journalMib = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--dir") == 0) base = argv[i + 1];
    }
    const bool journalOnly = argc > 1 && std::strcmp(argv[argc - 1], "--journal-only") == 0;
    if (journalOnly) {  // the file journal alone needs no machine running
        std::string pattern = base + "/tarn-conversion-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) return 1;
        const std::string dir = pattern + "/machine";
        ::setenv("TARNVAULT_MACHINE", dir.c_str(), 1);
        int rc = Run({kTarnhost, "--machine", dir, "init"}) == 0 ? 0 : 1;
        if (rc == 0) FileJournalCost(pattern, journalMib, &rc);
        std::error_code ignored;
        std::filesystem::remove_all(pattern, ignored);
        return rc;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        std::fprintf(stderr, "conversion_bench: no /dev/fuse here, the machine cannot run its drives\n");
        return 0;
    }
    std::string pattern = base + "/tarn-conversion-bench-XXXXXX";
    if (!::mkdtemp(pattern.data())) return 1;
    const std::string root = pattern, dir = root + "/machine", backing = root + "/bench-drive.img";
    const uint64_t driveBytes = driveMib << 20;
    if (Run({kTarnhost, "--machine", dir, "init"}) != 0 ||
        Run({kTarnhost, "--machine", dir, "drive", "add", "G:", "fixed", backing, "--create",
             std::to_string(driveBytes)}) != 0) {
        std::fprintf(stderr, "conversion_bench: the machine could not be made in %s\n", root.c_str());
        return 1;
    }
    ::setenv("TARNVAULT_MACHINE", dir.c_str(), 1);
    const pid_t host = ::fork();
    if (host == 0) {
        const int log = ::open((root + "/host.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (log >= 0) ::dup2(log, 2);
        ::execl(kTarnhost.c_str(), kTarnhost.c_str(), "--machine", dir.c_str(), "run", nullptr);
        ::_exit(127);
    }
    bool up = false;
    for (int i = 0; i < 300 && !up; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        up = SvcBind() == 0 && SvcPing() == 0;
        if (!up) SvcUnbind();
    }
    int rc = 0;
    if (!up) {
        std::fprintf(stderr, "conversion_bench: tarnsvc did not answer (see %s/host.log)\n", root.c_str());
        rc = 1;
    } else {
        const char* device = "\\\\.\\G:";
        // A first pass allocates the sparse backing file, so every timed pass
        // sees the same allocated file. The drive is measured empty (zeros,
        // which the journal only marks), then full of data.
        TimedDriveCopy(device, driveBytes);
        const DriveFigures empty = DriveRounds(device, driveBytes, &rc);
        PrintDrive("empty", empty, driveBytes, device, backing);
        const double emptyCost = rc == 0 ? DriveJournalCost(device, driveBytes, "empty", &rc) : 0;
        DriveFigures full;
        if (rc == 0 && !FillDrive(device, driveBytes)) {
            std::fprintf(stderr, "conversion_bench: the drive could not be filled\n");
            rc = 1;
        }
        if (rc == 0) {
            full = DriveRounds(device, driveBytes, &rc);
            PrintDrive("full of data", full, driveBytes, device, backing);
        }

        const std::string image = root + "/source.img", sealed = root + "/sealed.img", copied = root + "/copy.img";
        const long made = SvcCreateImage(image.c_str(), int64_t(imageMib) << 20, 1, 0, "BENCH");
        std::vector<double> fileCopies, imageEncrypts, imageRatio;
        if (made != 0) {
            std::fprintf(stderr, "conversion_bench: the source image was not made: %ld\n", made);
            rc = 1;
        } else {
            // Warms the page cache and allocates both targets, which every
            // round then overwrites.
            TimedFileCopy(image, copied);
            TimedConversion([&] { return SvcStartImageConversion(image.c_str(), sealed.c_str(), 1, kPassword); });
            for (int round = 0; round < kRounds && rc == 0; ++round) {
                const double copy = TimedFileCopy(image, copied);
                const double encrypt =
                    TimedConversion([&] { return SvcStartImageConversion(image.c_str(), sealed.c_str(), 1, kPassword); });
                if (copy < 0 || encrypt < 0) rc = 1;
                fileCopies.push_back(copy);
                imageEncrypts.push_back(encrypt);
                imageRatio.push_back(Ratio(copy, encrypt));
            }
            const double imb = double(imageMib << 20) / 1e6;
            std::printf("image %llu MiB (sparse-backed FAT32) into a second file, %d rounds, medians\n",
                        (unsigned long long)imageMib, kRounds);
            std::printf("  plain 64 KiB read+write copy: %.2f s (%.0f MB/s)\n", Median(fileCopies),
                        imb / Median(fileCopies));
            std::printf("  encrypt: %.2f s (%.0f MB/s), ratio %.2f\n", Median(imageEncrypts),
                        imb / Median(imageEncrypts), Median(imageRatio));
        }
        std::filesystem::remove(copied);
        std::filesystem::remove(sealed);

        const std::string big = root + "/big.img";
        const auto start = Clock::now();
        const long bigMade = SvcCreateImage(big.c_str(), int64_t(64) << 30, 1, 0, "BIG");
        const double bigSeconds = Since(start);
        struct stat st {};
        if (bigMade != 0 || ::stat(big.c_str(), &st) != 0) {
            std::fprintf(stderr, "conversion_bench: the 64 GiB image was not made: %ld\n", bigMade);
            rc = 1;
        } else {
            std::printf("64 GiB FAT32 image: %.3f s, %lld bytes allocated (st_blocks %lld), length %lld\n", bigSeconds,
                        (long long)st.st_blocks * 512, (long long)st.st_blocks, (long long)st.st_size);
        }
        const double cost = FileJournalCost(root, journalMib, &rc);
        const double fullCost = rc == 0 ? DriveJournalCost(device, driveBytes, "full of data", &rc) : 0;

        std::printf("summary: drive encrypt %.2f, drive decrypt %.2f (full of data %.2f, %.2f; without the journal "
                    "%.2f, %.2f), image encrypt %.2f (goal >= 0.8 each); against the copy made durable: drive encrypt "
                    "%.2f, decrypt %.2f (full %.2f, %.2f); journal cost: drive %.1f%% (full of data %.1f%%), file "
                    "%.1f%% (goal <= 25%%)\n",
                    empty.Encrypt, empty.Decrypt, full.Encrypt, full.Decrypt, empty.BareEncrypt, empty.BareDecrypt,
                    Median(imageRatio), empty.DurableEncrypt, empty.DurableDecrypt, full.DurableEncrypt,
                    full.DurableDecrypt, emptyCost * 100, fullCost * 100, cost * 100);
    }
    SvcUnbind();
    ::kill(host, SIGTERM);
    int status = 0;
    ::waitpid(host, &status, 0);
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return rc;
}

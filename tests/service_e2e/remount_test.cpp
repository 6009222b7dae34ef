// Mount records kept in the machine's registry: they bring images back on
// the same letters when the machine restarts, survive a service restart that
// finds the images still mounted, and malformed values are passed over.
#include "service/mount_record.h"
#include "service_machine.h"
#include "winreg.h"

namespace tarn::svce2e {
namespace {

constexpr char kStoreKey[] = "SYSTEM\\CurrentControlSet\\Services\\VTarn";

class LiveRemount : public ServiceMachine {
protected:
    void SetUp() override {
        if (!HaveTool("/usr/sbin/mkfs.fat")) GTEST_SKIP() << "needs mkfs.fat";
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
        if (::access(TARN_BINARY_DIR "/vdisk/vtarn.so", F_OK) != 0) {
            GTEST_SKIP() << "the virtual disk driver is not built in this tree";
        }
        ServiceMachine::SetUp();
    }

    // A machine restart: tarnhost stopped, then run as the machine boots,
    // which starts tarnsvc itself (the records come back at its start).
    void RebootMachine() {
        SvcUnbind();
        StopHost();
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int log = ::open((root_ + "/host.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (log >= 0) {
                ::dup2(log, 1);
                ::dup2(log, 2);
            }
            ::execl(Tarnhost().c_str(), Tarnhost().c_str(), "--machine", dir_.c_str(), "run", nullptr);
            ::_exit(127);
        }
        host_ = pid;
        RunResult ping = Ctl({"ping"});
        for (int i = 0; ping.status != 0 && i < 150; ++i) {
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "tarnhost ended at start: " << ReadAll(root_ + "/host.log");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ping = Ctl({"ping"});
        }
        ASSERT_EQ(ping.status, 0) << "tarnsvc did not start with the machine: " << ping.output;
        ASSERT_EQ(SvcBind(), 0L);
    }

    // A sparse 40 MiB FAT32 image with this label.
    std::string MakeImage(const std::string& name, const std::string& label) {
        const std::string path = root_ + "/" + name;
        { std::ofstream(path, std::ios::binary); }
        EXPECT_EQ(::truncate(path.c_str(), 40L << 20), 0);
        const RunResult made = RunProgram("/usr/sbin/mkfs.fat", {"-F", "32", "-n", label, path});
        EXPECT_EQ(made.status, 0) << made.output;
        return path;
    }

    bool Listed(char letter, const std::string& image) {
        const RunResult mounts = Ctl({"mounts"});
        for (size_t start = 0; start < mounts.output.size();) {
            size_t end = mounts.output.find('\n', start);
            if (end == std::string::npos) end = mounts.output.size();
            const std::string line = mounts.output.substr(start, end - start);
            if (line.rfind(std::string(1, letter) + ":", 0) == 0 && line.find(image) != std::string::npos) return true;
            start = end + 1;
        }
        return false;
    }

    // The drive is mounted and its file system answers with the label.
    void ExpectMounted(char letter, const std::string& image, const std::string& label) {
        EXPECT_TRUE(Listed(letter, image)) << Ctl({"mounts"}).output;
        const RunResult status = Ctl({"status", std::string(1, letter) + ":"});
        EXPECT_EQ(status.status, 0) << status.output;
        EXPECT_NE(status.output.find(label), std::string::npos) << status.output;
    }

    void Mount(const std::string& image, char letter) {
        const RunResult run = Ctl({"mount", image, std::string(1, letter) + ":"});
        ASSERT_EQ(run.status, 0) << run.output;
        ASSERT_NE(run.output.find(std::string("Mount success: ") + letter + ":"), std::string::npos) << run.output;
    }

    // The stored value for a device: its type and bytes; false when absent.
    bool ReadValue(int device, DWORD* type, std::string* bytes) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStoreKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        const std::string name = "UserConfig" + std::to_string(device);
        bytes->assign(4096, '\0');
        DWORD size = DWORD(bytes->size());
        const LONG status = RegQueryValueExA(key, name.c_str(), nullptr, type,
                                             reinterpret_cast<BYTE*>(bytes->data()), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return false;
        bytes->resize(size);
        return true;
    }

    void WriteValue(int device, DWORD type, const std::string& bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kStoreKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const std::string name = "UserConfig" + std::to_string(device);
        const LONG status = RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                           DWORD(bytes.size()));
        RegCloseKey(key);
        ASSERT_EQ(status, ERROR_SUCCESS);
    }

    // The device number whose stored record is for this letter, or -1.
    int StoredDevice(char letter) {
        for (int device = 0; device < 8; ++device) {
            DWORD type = 0;
            std::string bytes;
            if (ReadValue(device, &type, &bytes) && type == REG_BINARY && bytes.size() == kMountRecordSize &&
                bytes[offsetof(VDISK_MOUNT_RECORD, DriveLetter)] == letter)
                return device;
        }
        return -1;
    }
};

// Replaces one UTF-16 run of `from` in the record's file name by `to` (same length).
bool RenameImage(std::string* record, const std::string& from, const std::string& to) {
    std::string wideFrom, wideTo;
    for (char c : from) wideFrom += std::string{c, '\0'};
    for (char c : to) wideTo += std::string{c, '\0'};
    const size_t at = record->find(wideFrom, offsetof(VDISK_MOUNT_RECORD, FileName));
    if (at == std::string::npos || wideFrom.size() != wideTo.size()) return false;
    record->replace(at, wideTo.size(), wideTo);
    return true;
}

TEST_F(LiveRemount, StoredImageComesBackOnItsLetterAfterMachineRestart) {
    const std::string image = MakeImage("back.img", "COMEBACK");
    ASSERT_NO_FATAL_FAILURE(Mount(image, 'R'));
    ASSERT_NE(StoredDevice('R'), -1) << "the mount was not remembered";

    ASSERT_NO_FATAL_FAILURE(RebootMachine());
    ExpectMounted('R', image, "COMEBACK");
}

TEST_F(LiveRemount, ServiceRestartOverMountedImageKeepsMountAndRecord) {
    const std::string image = MakeImage("kept.img", "KEPTREC");
    ASSERT_NO_FATAL_FAILURE(Mount(image, 'S'));
    const int device = StoredDevice('S');
    ASSERT_NE(device, -1);

    SvcUnbind();
    ASSERT_EQ(Host({"service", "stop", "tarnsvc"}).status, 0);
    StartService();
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(SvcBind(), 0L);

    // The letter was still taken, so the remount was refused with a busy error.
    const std::string log = ReadAll(root_ + "/host.log");
    bool busy = false;
    for (size_t start = 0, end; !busy && (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = log.substr(start, end - start);
        busy = line.rfind("S: ", 0) == 0 && line.size() > 4 && line.compare(line.size() - 4, 4, " 170") == 0;
    }
    EXPECT_TRUE(busy) << "no \"S: ... 170\" from the service in:\n" << log;
    ExpectMounted('S', image, "KEPTREC");
    EXPECT_EQ(StoredDevice('S'), device) << "the refused remount dropped the record";

    ASSERT_NO_FATAL_FAILURE(RebootMachine());
    ExpectMounted('S', image, "KEPTREC");
}

TEST_F(LiveRemount, MalformedStoredValuesAreSkippedAtStart) {
    const std::string good = MakeImage("good.img", "GOODONE");
    struct Bad {
        const char* image;
        char letter;
        DWORD type;
        int sizeChange;  // bytes added to (or removed from) the record
    };
    const Bad cases[] = {
        {"bad1.img", 'U', REG_BINARY, -1},
        {"bad2.img", 'V', REG_BINARY, +1},
        {"bad3.img", 'W', REG_SZ, 0},
        {"bad4.img", 'X', REG_DWORD, 0},
    };
    for (const Bad& c : cases) MakeImage(c.image, "BADONE");
    ASSERT_NO_FATAL_FAILURE(Mount(good, 'T'));
    const int device = StoredDevice('T');
    ASSERT_NE(device, -1);
    DWORD type = 0;
    std::string record;
    ASSERT_TRUE(ReadValue(device, &type, &record));

    // Each bad value is a good record for an image of its own on a letter of
    // its own, spoilt in size or type only: a remount would show it.
    SvcUnbind();
    StopHost();
    ASSERT_EQ(ServicePid(), -1) << "the service outlived the machine";
    int slot = 0;
    for (const Bad& c : cases) {
        if (slot == device) ++slot;
        std::string bad = record;
        ASSERT_TRUE(RenameImage(&bad, "good.img", c.image));
        bad[offsetof(VDISK_MOUNT_RECORD, DriveLetter)] = c.letter;
        if (c.sizeChange < 0) bad.resize(bad.size() - 1);
        if (c.sizeChange > 0) bad.push_back('\0');
        ASSERT_NO_FATAL_FAILURE(WriteValue(slot++, c.type, bad));
    }
    ASSERT_NO_FATAL_FAILURE(RebootMachine());

    ExpectMounted('T', good, "GOODONE");
    for (const Bad& c : cases) {
        EXPECT_FALSE(Listed(c.letter, root_ + "/" + c.image)) << c.image << " was mounted from a malformed value";
    }
}

}  // namespace
}  // namespace tarn::svce2e

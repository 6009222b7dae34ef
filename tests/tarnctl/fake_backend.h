// A machine and service in memory for the command tests: drives with their
// status words, virtual drives, a scripted conversion, and a log of every
// service call so a test can check that nothing was sent.
#pragma once

#include <cstring>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/tarnctl/backend.h"
#include "tools/tarnctl/console.h"
#include "tools/tarnctl/context.h"

namespace tarnctl::testing {

struct FakeDrive {
    unsigned type = kDriveFixed;
    uint32_t status = 0x10000;
    int64_t total = 64 << 20;
    int64_t free = 32 << 20;
    bool hasVolume = true;
    VolumeInfo volume{"DATA", "FAT32"};
    bool opens = true;  // "\\.\X:" opens (a CD/DVD drive without a medium may not)
};

class FakeBackend : public Backend {
public:
    std::map<char, FakeDrive> drives;
    std::map<char, VDISK_MOUNT_RECORD> mounts;
    std::vector<std::string> calls;  // service calls only
    long ping = 0;
    uint32_t machineError = 0;
    char systemDrive = 'C';

    // The conversion: progress values per poll, then finished with `result`.
    std::deque<long> progress;
    long startResult = 0;
    long result = 0;
    std::string message;
    bool serviceGoesAway = false;  // every poll after the start fails
    int sleeps = 0;

    // Status after an unlock: as given, or unchanged when unset.
    long unlockResult = 0;
    long lockResult = 0;
    uint32_t statusAfterUnlock = 0xFFFFFFFF;
    // Mount results per device number (missing: success).
    std::map<long, long> mountResults;
    uint32_t statusOnMount = 0x10000;  // the new drive's status word
    std::string lastPassword;
    // Interrupted conversions by target, and the answers of resume (in turn;
    // the last one repeats) and pause.
    std::map<std::string, CONVERSION_STATE> conversions;
    std::deque<long> resumeResults;
    long pauseResult = 0;

    long Ping() override {
        calls.push_back("Ping");
        return serviceGoesAway && started_ ? 1722 : ping;
    }
    long QueryDrive(const std::string& devicePath, const std::string& rootPath, int64_t* total, int64_t* freeBytes) override {
        calls.push_back("QueryDrive " + devicePath + " " + rootPath);
        auto it = drives.find(devicePath.size() == 6 ? devicePath[4] : 0);
        if (it == drives.end()) return 2;
        *total = it->second.total;
        *freeBytes = it->second.free;
        return static_cast<long>(it->second.status);
    }
    long StartImageConversion(const std::string& s, const std::string& t, long encrypt, const char* password) override {
        calls.push_back("StartImageConversion " + s + " " + t + " " + std::to_string(encrypt));
        lastPassword = password;
        started_ = startResult == 0;
        return startResult;
    }
    long LockDrive(const std::string& name) override {
        calls.push_back("LockDrive " + name);
        return lockResult;
    }
    long UnlockDrive(const std::string& drive, const char* password, long isFullPath) override {
        calls.push_back("UnlockDrive " + drive + " " + std::to_string(isFullPath));
        lastPassword = password;
        if (unlockResult == 0 && statusAfterUnlock != 0xFFFFFFFF) drives[drive[0]].status = statusAfterUnlock;
        return unlockResult;
    }
    long StartDriveConversion(const std::string& devicePath, long encrypt, const char* password) override {
        calls.push_back("StartDriveConversion " + devicePath + " " + std::to_string(encrypt));
        lastPassword = password;
        started_ = startResult == 0;
        return startResult;
    }
    long QuickEncryptDrive(const std::string& devicePath, const char* password) override {
        calls.push_back("QuickEncryptDrive " + devicePath);
        lastPassword = password;
        return 0;
    }
    long QuickDecryptDrive(const std::string& devicePath) override {
        calls.push_back("QuickDecryptDrive " + devicePath);
        return 0;
    }
    std::string LastMessage() override {
        calls.push_back("LastMessage");
        return message;
    }
    long GetProgress() override {
        calls.push_back("GetProgress");
        if (serviceGoesAway) return 1722;
        if (progress.empty()) return 100;
        return progress.front();
    }
    long GetFinished() override {
        calls.push_back("GetFinished");
        if (serviceGoesAway) return 0;
        if (progress.empty()) return 1;
        progress.pop_front();
        return 0;
    }
    long GetResult() override {
        calls.push_back("GetResult");
        return result;
    }
    long CreateImage(const std::string& file, int64_t size, long fsType, long table, const std::string& label) override {
        calls.push_back("CreateImage " + file + " " + std::to_string(size) + " " + std::to_string(fsType) + " " +
                        std::to_string(table) + " " + label);
        return 0;
    }
    long QueryMount(char letter, VDISK_MOUNT_RECORD* record) override {
        calls.push_back(std::string("QueryMount ") + letter);
        auto it = mounts.find(letter);
        if (it == mounts.end()) return 2;
        *record = it->second;
        return 0;
    }
    long MountImage(long deviceNumber, const VDISK_MOUNT_RECORD& record, char letter) override {
        calls.push_back("MountImage " + std::to_string(deviceNumber) + " " + letter);
        auto it = mountResults.find(deviceNumber);
        if (it != mountResults.end() && it->second != 0) return it->second;
        mounts[letter] = record;
        mounts[letter].DeviceNumber = static_cast<int32_t>(deviceNumber);
        drives[letter] = FakeDrive{kDriveFixed, statusOnMount};
        return 0;
    }
    long UnmountImage(char letter) override {
        calls.push_back(std::string("UnmountImage ") + letter);
        mounts.erase(letter);
        return 0;
    }
    long ResumeConversion(const std::string& target, const char* password, long confirmed) override {
        calls.push_back("ResumeConversion " + target + " " + std::to_string(confirmed));
        lastPassword = password;
        long answer = 0;
        if (!resumeResults.empty()) {
            answer = resumeResults.front();
            if (resumeResults.size() > 1) resumeResults.pop_front();
        }
        started_ = answer == 0;
        return answer;
    }
    // A read only: not logged, so the status tests' call lists stay as they are.
    long QueryConversion(const std::string& target, CONVERSION_STATE* state) override {
        auto it = conversions.find(target);
        if (it == conversions.end()) return 1168;  // ERROR_NOT_FOUND
        *state = it->second;
        return 0;
    }
    long PauseConversion() override {
        calls.push_back("PauseConversion");
        return pauseResult;
    }

    uint32_t MachineReachable() override { return machineError; }
    unsigned GetDriveType(char letter) override {
        auto it = drives.find(letter);
        return it == drives.end() ? kDriveNoRootDir : it->second.type;
    }
    bool GetVolumeInformation(char letter, VolumeInfo* info) override {
        auto it = drives.find(letter);
        if (it == drives.end() || !it->second.hasVolume) return false;
        *info = it->second.volume;
        return true;
    }
    bool LetterOpens(char letter) override {
        auto it = drives.find(letter);
        return it != drives.end() && it->second.opens;
    }
    uint32_t FormatDrive(char letter, const std::string& fs, const std::string& label) override {
        formatted = std::string(1, letter) + " " + fs + " " + label;
        return 0;
    }
    char SystemDrive() override { return systemDrive; }
    std::string ErrorText(uint32_t) override { return ""; }
    void Sleep(unsigned) override { ++sleeps; }

    // File-system views: the directory per open letter, and refusals.
    std::map<char, std::string> views;
    std::string openRefusal, closeRefusal;
    std::vector<std::string> viewCalls;
    std::string OpenFileSystemView(char letter, const std::string& directory) override {
        viewCalls.push_back(std::string("open ") + letter + " " + directory);
        if (!openRefusal.empty()) return openRefusal;
        views[letter] = directory;
        return "";
    }
    std::string CloseFileSystemViews(char letter) override {
        viewCalls.push_back(std::string("close ") + letter);
        if (!closeRefusal.empty()) return closeRefusal;
        views.erase(letter);
        return "";
    }
    std::vector<std::string> FileSystemViews(char letter) override {
        auto it = views.find(letter);
        if (it == views.end()) return {};
        return {it->second};
    }
    std::string DefaultViewDirectory(char letter) override { return std::string("/home/u/Tarnvault/") + letter; }

    std::string formatted;

    // Service calls other than the status queries and pings: what would change something.
    std::vector<std::string> Changes() const {
        std::vector<std::string> out;
        for (const auto& c : calls) {
            if (c.rfind("Ping", 0) != 0 && c.rfind("Query", 0) != 0) out.push_back(c);
        }
        return out;
    }

private:
    bool started_ = false;
};

class ScriptedConsole : public Console {
public:
    bool terminal = true;
    std::deque<std::string> lines;
    std::deque<std::string> secrets;
    std::vector<std::string> prompts;

    bool CanAsk() override { return terminal; }
    bool AskLine(const std::string& prompt, std::string* answer) override {
        prompts.push_back(prompt);
        if (!terminal || lines.empty()) return false;
        *answer = lines.front();
        lines.pop_front();
        return true;
    }
    bool AskSecret(const std::string& prompt, Secret* secret) override {
        prompts.push_back(prompt);
        if (!terminal || secrets.empty()) return false;
        secret->Clear();
        for (char c : secrets.front()) secret->Append(c);
        secrets.pop_front();
        return true;
    }
};

// A context on the fakes with captured output.
struct Harness {
    FakeBackend backend;
    ScriptedConsole console;
    std::ostringstream out, err;
    Context ctx{backend, console, out, err, false};

    Harness() {
        backend.drives['C'] = FakeDrive{};
        backend.drives['E'] = FakeDrive{};
    }
};

}  // namespace tarnctl::testing

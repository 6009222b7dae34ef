// Helpers shared by the service tests: temporary folders, running the
// independent tools, reading bytes back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ToolRun {
    int Status = -1;      // exit status, -1 when it did not run
    std::string Output;   // standard output and error together
};

// Runs a shell command line and collects what it printed.
ToolRun RunTool(const std::string& commandLine);
bool ToolAvailable(const char* name);

// A fresh folder under the system's temporary directory, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return Dir; }
    std::string File(const std::string& name) const { return Dir + "/" + name; }

private:
    std::string Dir;
};

std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t length);
std::vector<uint8_t> ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::vector<uint8_t>& data);
uint64_t FileSize(const std::string& path);
uint16_t Le16(const std::vector<uint8_t>& b, size_t at);
uint32_t Le32(const std::vector<uint8_t>& b, size_t at);
std::string Quote(const std::string& s);

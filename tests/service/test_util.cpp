#include "test_util.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

ToolRun RunTool(const std::string& commandLine) {
    ToolRun run;
    std::string line = "(" + commandLine + ") 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.Output.append(buffer, n);
    int status = ::pclose(pipe);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool ToolAvailable(const char* name) {
    return RunTool(std::string("command -v ") + name + " >/dev/null").Status == 0;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnsvc-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    Dir = pattern;
    ::chmod(Dir.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
}

std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t length) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> data(length);
    in.seekg(std::streamoff(offset));
    in.read(reinterpret_cast<char*>(data.data()), std::streamsize(length));
    data.resize(size_t(in.gcount()));
    return data;
}

std::vector<uint8_t> ReadAll(const std::string& path) { return ReadBytes(path, 0, size_t(FileSize(path))); }

void WriteAll(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

uint64_t FileSize(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? 0 : uint64_t(size);
}

uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

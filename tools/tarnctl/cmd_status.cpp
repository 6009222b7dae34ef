// tarnctl ping and tarnctl status.
#include "tools/tarnctl/cmd_status.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/json.h"
#include "tools/tarnctl/status_word.h"

namespace tarnctl {

std::vector<DriveRow> CollectDrives(Backend& backend, char only) {
    std::vector<DriveRow> rows;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (only && letter != only) continue;
        DriveRow row;
        row.letter = letter;
        row.type = backend.GetDriveType(letter);
        if (row.type == kDriveNoRootDir) continue;
        row.status = static_cast<uint32_t>(backend.QueryDrive(std::string("\\\\.\\") + letter + ':',
                                                              std::string(1, letter) + ':', &row.totalBytes,
                                                              &row.freeBytes));
        row.hasVolume = backend.GetVolumeInformation(letter, &row.volume);
        row.interrupted = backend.QueryConversion(std::string("\\\\.\\") + letter + ':', &row.conversion) == 0;
        rows.push_back(row);
    }
    return rows;
}

std::string DescribeInterrupted(const CONVERSION_STATE& state) {
    return "Interrupted: " + std::to_string(state.Percent) + "% " + (state.Encrypt ? "encrypted" : "decrypted");
}

std::string DescribeRow(const DriveRow& row) {
    if (row.interrupted && !row.conversion.Running) return DescribeInterrupted(row.conversion);
    return DescribeStatus(row.status);
}

std::string HumanSize(int64_t bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 5) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

namespace {

std::string Hex(uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%05X", status);
    return text;
}

std::string Pad(const std::string& s, size_t width) { return s.size() >= width ? s : s + std::string(width - s.size(), ' '); }

}  // namespace

std::string FormatDriveTable(const std::vector<DriveRow>& rows) {
    std::vector<std::vector<std::string>> cells = {{"DRIVE", "TYPE", "STATUS", "STATE", "TOTAL", "FREE", "FS", "LABEL"}};
    for (const auto& r : rows) {
        const bool known = KnownStatus(r.status);
        cells.push_back({std::string(1, r.letter) + ":", DescribeDriveType(r.type), Hex(r.status), DescribeRow(r),
                         known ? HumanSize(r.totalBytes) : "-", known ? HumanSize(r.freeBytes) : "-",
                         r.hasVolume ? r.volume.fileSystem : "-", r.hasVolume ? r.volume.label : "-"});
    }
    std::vector<size_t> widths(cells[0].size(), 0);
    for (const auto& line : cells)
        for (size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
    std::string out;
    for (const auto& line : cells) {
        std::string text;
        for (size_t i = 0; i < line.size(); ++i) text += i + 1 < line.size() ? Pad(line[i], widths[i] + 2) : line[i];
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    }
    return out;
}

std::string FormatDriveJson(const std::vector<DriveRow>& rows) {
    std::ostringstream out;
    out << "[";
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& r = rows[i];
        out << (i ? ",\n " : "\n ") << "{\"drive\": " << JsonString(std::string(1, r.letter) + ":")
            << ", \"type\": " << JsonString(DescribeDriveType(r.type)) << ", \"status\": " << r.status
            << ", \"status_hex\": " << JsonString(Hex(r.status)) << ", \"state\": " << JsonString(DescribeRow(r))

            << ", \"total_bytes\": " << r.totalBytes << ", \"free_bytes\": " << r.freeBytes
            << ", \"file_system\": " << (r.hasVolume ? JsonString(r.volume.fileSystem) : "null")
            << ", \"label\": " << (r.hasVolume ? JsonString(r.volume.label) : "null")
            << ", \"interrupted\": " << (r.interrupted && !r.conversion.Running ? "true" : "false") << "}";
    }
    out << (rows.empty() ? "]\n" : "\n]\n");
    return out.str();
}

int CmdPing(Context& ctx) {
    if (int status = RequireService(ctx); status != kExitOk) return status;
    ctx.out << "tarnsvc answers\n";
    return kExitOk;
}

int CmdStatus(Context& ctx, const StatusOptions& options) {
    char only = 0;
    if (!options.drive.empty()) {
        if (int status = RequireDrive(ctx, options.drive, &only); status != kExitOk) return status;
    } else if (int status = RequireMachine(ctx); status != kExitOk) {
        return status;
    }
    if (int status = RequireService(ctx); status != kExitOk) return status;
    const auto rows = CollectDrives(ctx.backend, only);
    ctx.out << (options.json ? FormatDriveJson(rows) : FormatDriveTable(rows));
    return kExitOk;
}

}  // namespace tarnctl

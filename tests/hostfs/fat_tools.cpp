#include "tests/hostfs/fat_tools.h"

#include <regex>

namespace tarn::hostfs::test {

namespace {

std::uint64_t number(const std::smatch& m, int group) { return std::stoull(m[group].str()); }

}  // namespace

FsckReport checkFat(const std::string& fsck, const std::filesystem::path& image) {
    FsckReport report;
    report.run = runTool(fsck + " -n -v " + quoted(image));
    const std::string& out = report.run.output;
    std::smatch m;
    if (std::regex_search(out, m, std::regex(R"((\d+) bytes per cluster)"))) report.clusterBytes = number(m, 1);
    if (std::regex_search(out, m, std::regex(R"((\d+) files?, (\d+)/(\d+) clusters)"))) {
        report.usedClusters = number(m, 2);
        report.totalClusters = number(m, 3);
    }
    return report;
}

std::string mtoolsEnv() { return "MTOOLSRC=/dev/null "; }

MdirReport listRoot(const std::filesystem::path& image) {
    MdirReport report;
    report.run = runTool(mtoolsEnv() + "mdir -i " + quoted(image) + " ::/");
    const std::string& out = report.run.output;
    std::smatch m;
    if (std::regex_search(out, m, std::regex(R"(Volume in drive : is ([^\n]*))"))) {
        report.label = m[1].str();
        report.label.erase(report.label.find_last_not_of(' ') + 1);
    }
    if (std::regex_search(out, m, std::regex(R"(([\d ]+) bytes free)"))) {
        std::string digits;
        for (char c : m[1].str())
            if (c != ' ') digits += c;
        report.freeBytes = std::stoull(digits);
    }
    return report;
}

}  // namespace tarn::hostfs::test

#include "MaintenanceTestSupport.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

using namespace qek;

namespace fs = std::filesystem;

namespace mnttest {

namespace {

bool IsTimeStampAt(const std::string& text, size_t at)
{
    static const char kPattern[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() - at < sizeof kPattern - 1) {
        return false;
    }
    for (size_t i = 0; i + 1 < sizeof kPattern; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[at + i]);
        if (kPattern[i] == 'd' ? !std::isdigit(c) : c != static_cast<unsigned char>(kPattern[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

TestDrives::TestDrives(const std::vector<DriveSpec>& drives, char systemLetter) : folders_("qel-maintenance")
{
    fs::create_directories(Outside());
    std::string map;
    for (const DriveSpec& drive : drives) {
        const fs::path root = folders_.Root() / "drives" / std::string(1, drive.letter);
        fs::create_directories(root);
        map += std::string(1, drive.letter) + "=" + root.string() + "," + drive.type + ";";
    }
    folders_.SetVariable("QEL_DRIVES", map);
    folders_.SetVariable("QEL_SYSTEM_DRIVE", std::string(1, systemLetter));
    const fs::path log = folders_.Root() / "log" / "qeclt.log";
    folders_.OpenModuleLog(qeltest::LayerPathOfHost(log), log);
}

TestDrives::~TestDrives() = default;

fs::path TestDrives::Host(std::string_view windowsPath) const
{
    fs::path host = folders_.Root() / "drives" / std::string(1, static_cast<char>(std::toupper(windowsPath.at(0))));
    std::string rest(windowsPath.substr(2));
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    while (!rest.empty() && rest.front() == '/') {
        rest.erase(0, 1);
    }
    return rest.empty() ? host : host / rest;
}

std::string TestDrives::MaskedLog() const
{
    const std::string log = folders_.LogBytes();

    std::string masked;
    size_t at = 0;
    while (at < log.size()) {
        if (IsTimeStampAt(log, at)) {
            masked += "T";
            at += 19;
        }
        const size_t end = log.find("\r\n", at);
        const size_t next = end == std::string::npos ? log.size() : end + 2;
        masked += log.substr(at, next - at);
        at = next;
    }
    return masked;
}

std::string LogOf(const std::vector<std::string>& messages)
{
    std::string log;
    for (const std::string& message : messages) {
        log += "T QELCltCore.exe: " + message + "\r\n";
    }
    return log;
}

void PutHostFile(const fs::path& path, std::string_view content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

} // namespace mnttest

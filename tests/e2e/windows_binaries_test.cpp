// The Windows binaries as a loader sees them, read with MinGW's objdump -p:
// the product of the mingw32 preset (32-bit) and the 64-bit build that the
// Wine tests run. Ravelnet.dll exports its operations by ordinal only, the
// core imports exactly the six it uses by ordinal and exports its two entry
// points by name, the host loads the core at run time, Pelkit.dll exports its
// seven names, and nothing needs a MinGW runtime DLL beside it. The release
// packages, when made, hold exactly the installed layout.
#include <gtest/gtest.h>

#include "ChildProcess.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace e2e {
namespace {

using qeltest::CommandResult;
using qeltest::RunCommand;

struct Build {
    const char* name;
    const char* bin;     // the preset's bin/ folder
    const char* objdump; // MinGW's objdump for its architecture
    const char* format;  // objdump's name of the image format
};

void PrintTo(const Build& build, std::ostream* out)
{
    *out << build.name;
}

const Build kBuilds[] = {
    {"mingw32", QEL_MINGW32_BIN, "i686-w64-mingw32-objdump", "pei-i386"},
    {"mingw64", QEL_MINGW64_BIN, "x86_64-w64-mingw32-objdump", "pei-x86-64"},
};

struct Import {
    std::string name;     // empty when imported by ordinal
    unsigned ordinal = 0; // when imported by ordinal
};

// What objdump -p tells of one image.
struct PeImage {
    std::string format;
    std::string subsystem;
    std::map<std::string, std::vector<Import>> imports; // by DLL name, upper case
    std::set<unsigned> exportOrdinals;
    std::set<std::string> exportNames;
};

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

PeImage ParseObjdump(const std::string& text)
{
    static const std::regex format(R"(file format (\S+))");
    static const std::regex subsystem(R"(^Subsystem\s+\S+\s+\((.*)\))");
    static const std::regex dllName(R"(^\s+DLL Name: (\S+))");
    // "	8000000d	   13  <none>" (by ordinal) or "	5257c	  136  CloseHandle".
    static const std::regex importEntry(R"(^\s+([0-9a-fA-F]+)\s+([0-9a-fA-F]+)\s+(\S+))");
    static const std::regex exportAddress(R"(^\s+\[\s*\d+\] \+base\[\s*(\d+)\])");
    static const std::regex exportName(R"(^\s+\[\s*\d+\] (\S+)$)");

    PeImage image;
    std::istringstream lines(text);
    std::string line;
    std::string currentDll;
    bool inNameTable = false;
    std::smatch match;
    // Cheap tests first: a 64-bit image lists tens of thousands of unwind
    // entries that none of the patterns concern.
    while (std::getline(lines, line)) {
        const bool blank = line.find_first_not_of(" \t") == std::string::npos;
        if (blank) {
            currentDll.clear();
            inNameTable = false;
        } else if (image.format.empty() && line.find("file format") != std::string::npos &&
                   std::regex_search(line, match, format)) {
            image.format = match[1];
        } else if (line.rfind("Subsystem", 0) == 0 && std::regex_search(line, match, subsystem)) {
            image.subsystem = match[1];
        } else if (line.find("DLL Name:") != std::string::npos && std::regex_search(line, match, dllName)) {
            currentDll = Upper(match[1]);
            image.imports[currentDll];
        } else if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) {
            inNameTable = true;
        } else if (!currentDll.empty() && std::regex_search(line, match, importEntry)) {
            // An import by ordinal has the top bit of its thunk set and the
            // ordinal in its low 16 bits (the column after it is decimal in
            // 32-bit images, hexadecimal in 64-bit ones).
            const bool byOrdinal = match[3] == "<none>";
            const unsigned long long thunk = std::stoull(match[1], nullptr, 16);
            image.imports[currentDll].push_back({byOrdinal ? std::string() : std::string(match[3]),
                                                 byOrdinal ? static_cast<unsigned>(thunk & 0xffffu) : 0u});
        } else if (line.find("+base[") != std::string::npos && std::regex_search(line, match, exportAddress)) {
            image.exportOrdinals.insert(static_cast<unsigned>(std::stoul(match[1])));
        } else if (inNameTable && std::regex_search(line, match, exportName)) {
            image.exportNames.insert(match[1]);
        }
    }
    return image;
}

// The runtime DLLs that a MinGW build needs beside it unless linked in.
const char* const kMinGwRuntimeDlls[] = {"LIBSTDC++-6.DLL", "LIBGCC_S_DW2-1.DLL", "LIBGCC_S_SEH-1.DLL",
                                         "LIBWINPTHREAD-1.DLL"};

class WindowsBinaries : public testing::TestWithParam<Build> {
protected:
    void SetUp() override
    {
        const Build& build = GetParam();
        for (const char* file : {"QELCltCore.exe", "QekCore.dll", "Ravelnet.dll", "Pelkit.dll", "qelsrv.exe"}) {
            if (!fs::exists(fs::path(build.bin) / file)) {
                GTEST_SKIP() << "the " << build.name << " build is absent (no " << (fs::path(build.bin) / file).string()
                             << "): build it with `cmake --build --preset " << build.name << "` (scripts/test.sh does)";
            }
        }
        if (RunCommand({"sh", "-c", std::string("command -v ") + build.objdump}).exitStatus != 0) {
            GTEST_SKIP() << build.objdump << " is not installed (scripts/setup.sh test installs it)";
        }
    }

    PeImage Read(const char* file)
    {
        const CommandResult result = RunCommand({GetParam().objdump, "-p", (fs::path(GetParam().bin) / file).string()});
        EXPECT_EQ(result.exitStatus, 0) << result.output;
        PeImage image = ParseObjdump(result.output);
        EXPECT_EQ(image.format, GetParam().format) << file;
        for (const char* runtime : kMinGwRuntimeDlls) {
            EXPECT_EQ(image.imports.count(runtime), 0u) << file << " needs " << runtime;
        }
        return image;
    }
};

const std::set<unsigned> kCoreOrdinals = {5, 6, 10, 12, 13, 14};

TEST_P(WindowsBinaries, RavelnetExportsItsOperationsByOrdinalOnly)
{
    const PeImage ravelnet = Read("Ravelnet.dll");
    for (unsigned ordinal : kCoreOrdinals) {
        EXPECT_EQ(ravelnet.exportOrdinals.count(ordinal), 1u) << ordinal;
    }
    EXPECT_TRUE(ravelnet.exportNames.empty()) << *ravelnet.exportNames.begin();
    EXPECT_EQ(ravelnet.imports.count("WS2_32.DLL"), 1u);
}

TEST_P(WindowsBinaries, CoreImportsTheSixOperationsByOrdinalAndExportsItsEntryPointsByName)
{
    const PeImage core = Read("QekCore.dll");
    ASSERT_EQ(core.imports.count("RAVELNET.DLL"), 1u);
    std::set<unsigned> ordinals;
    for (const Import& import : core.imports.at("RAVELNET.DLL")) {
        EXPECT_EQ(import.name, "") << "imported by name";
        ordinals.insert(import.ordinal);
    }
    EXPECT_EQ(ordinals, kCoreOrdinals);
    EXPECT_EQ(core.exportNames, (std::set<std::string>{"QEK_StartService", "QEK_StopService"}));
    // Only the system's DLLs besides the transport; the helper library is
    // loaded at run time.
    for (const auto& [dll, entries] : core.imports) {
        EXPECT_TRUE(dll == "RAVELNET.DLL" || dll == "KERNEL32.DLL" || dll == "ADVAPI32.DLL" || dll == "SHELL32.DLL" ||
                    dll == "USER32.DLL" || dll == "MSVCRT.DLL")
            << dll;
    }
}

TEST_P(WindowsBinaries, HostIsAConsoleProgramThatLoadsTheCoreAtRunTime)
{
    const PeImage host = Read("QELCltCore.exe");
    EXPECT_EQ(host.subsystem, "Windows CUI");
    EXPECT_EQ(host.imports.count("QEKCORE.DLL"), 0u);
    EXPECT_EQ(host.imports.count("PELKIT.DLL"), 0u);
    EXPECT_EQ(host.imports.count("KERNEL32.DLL"), 1u);
}

TEST_P(WindowsBinaries, PelkitExportsItsSevenNames)
{
    const PeImage pelkit = Read("Pelkit.dll");
    EXPECT_EQ(pelkit.exportNames,
              (std::set<std::string>{"Pelkit_DeCrypt_Base64", "Pelkit_DeCrypt_rc4", "Pelkit_DeCrypt_sha256",
                                     "Pelkit_GetFileMd5", "Pelkit_GetMd5", "Pelkit_UnzipFile", "Pelkit_Utf2AscII"}));
}

TEST_P(WindowsBinaries, ServerToolNeedsOnlyTheSystem)
{
    const PeImage tool = Read("qelsrv.exe");
    EXPECT_EQ(tool.subsystem, "Windows CUI");
    EXPECT_EQ(tool.imports.count("WS2_32.DLL"), 1u);
    EXPECT_EQ(tool.imports.count("RAVELNET.DLL"), 0u);
}

// ---- The release packages, when they have been made --------------------------

// The entries of an archive (ZIP or .tar.gz) below its top folder, files only.
std::set<std::string> ArchiveFiles(const fs::path& archive)
{
    const CommandResult listing = RunCommand({"cmake", "-E", "tar", "tf", archive.string()});
    EXPECT_EQ(listing.exitStatus, 0) << listing.output;
    std::set<std::string> files;
    std::istringstream lines(listing.output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t slash = line.find('/');
        if (slash != std::string::npos && !line.ends_with("/")) {
            files.insert(line.substr(slash + 1));
        }
    }
    return files;
}

std::optional<fs::path> FindPackage(const fs::path& folder, const std::string& suffix)
{
    if (!fs::is_directory(folder)) {
        return std::nullopt;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("qel-client-") && name.ends_with(suffix)) {
            return entry.path();
        }
    }
    return std::nullopt;
}

TEST(ReleasePackages, WindowsZipHoldsTheProgramsTheSampleAndTheGuide)
{
    const auto zip = FindPackage(fs::path(QEL_MINGW32_BIN).parent_path() / "packages", "-win32.zip");
    if (!zip) {
        GTEST_SKIP() << "no Windows package: `cmake --build --preset mingw32 --target package` makes it "
                        "(scripts/test.sh does)";
    }
    EXPECT_EQ(ArchiveFiles(*zip),
              (std::set<std::string>{"INSTALL.txt", "QELClt_NoBufWrite.reg", "bin/QELCltCore.exe", "bin/QekCore.dll",
                                     "bin/Ravelnet.dll", "bin/Pelkit.dll", "bin/qelsrv.exe"}));
}

TEST(ReleasePackages, LinuxArchiveHoldsTheProgramsBesideTheirLibraries)
{
    const auto archive = FindPackage(QEL_RELEASE_PACKAGES, ".tar.gz");
    if (!archive) {
        GTEST_SKIP() << "no Linux package: `cmake --build --preset release --target package` makes it "
                        "(scripts/test.sh --package does)";
    }
    EXPECT_EQ(ArchiveFiles(*archive), (std::set<std::string>{"INSTALL.txt", "etc/registry.reg", "bin/QELCltCore",
                                                             "bin/qelsrv", "bin/libqekcore.so", "bin/libravelnet.so",
                                                             "bin/libpelkit.so", "bin/libwin32posix.so"}));
}

INSTANTIATE_TEST_SUITE_P(Presets, WindowsBinaries, testing::ValuesIn(kBuilds),
                         [](const testing::TestParamInfo<Build>& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e

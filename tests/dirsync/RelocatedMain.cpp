// The directory sync task keeps its check list in "..\Data\" beside the host
// executable, which in these tests is the test executable itself. So that two
// runs never share that file (nor leave it in the build tree), the executable
// first copies itself into a new temporary folder, <tmp>/bin/, and runs the
// tests from there: the data file is then <tmp>/Data/qelsyncfiles_dst.dat, of
// this run alone. Inside one run the tests follow each other.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kRelocatedVariable = "QEL_DIRSYNC_TEST_RELOCATED";

int ExitStatusOf(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

// Copies this executable into a new folder and runs the copy with the same
// arguments; its exit status, after the folder is removed.
int RunFromPrivateCopy(int argc, char** argv)
{
    std::string pattern = (fs::temp_directory_path() / "qel-dirsync-run-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path folder = pattern;
    const fs::path copy = folder / "bin" / fs::read_symlink("/proc/self/exe").filename();
    std::error_code error;
    fs::create_directories(copy.parent_path(), error);
    if (!error) {
        fs::copy_file("/proc/self/exe", copy, error);
    }
    if (error) {
        std::fprintf(stderr, "cannot copy the test executable to %s: %s\n", copy.c_str(), error.message().c_str());
        fs::remove_all(folder, error);
        return 1;
    }
    setenv(kRelocatedVariable, "1", 1);
    std::vector<char*> arguments(argv, argv + argc);
    arguments.push_back(nullptr);
    std::string program = copy.string();
    arguments[0] = program.data();
    pid_t child = 0;
    int status = 0;
    const int spawned = posix_spawn(&child, program.c_str(), nullptr, nullptr, arguments.data(), environ);
    if (spawned != 0 || waitpid(child, &status, 0) != child) {
        std::fprintf(stderr, "cannot run %s\n", program.c_str());
        status = 1 << 8;
    }
    fs::remove_all(folder, error);
    return ExitStatusOf(status);
}

} // namespace

int main(int argc, char** argv)
{
    if (std::getenv(kRelocatedVariable) == nullptr) {
        return RunFromPrivateCopy(argc, argv);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

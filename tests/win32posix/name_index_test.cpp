// Case-insensitive lookups answer as a fresh listing of the folder would,
// whoever changed the folder since it was last listed (this process through
// the layer, or another program through the host's own calls), and from any
// number of threads at once.
#include "environment.h"
#include "resolve.h"
#include "workspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <functional>
#include <random>
#include <thread>
#include <vector>

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// What a lookup of `name` (ASCII) in `folder` must give: the exact name when
// present, else the first name in directory order that differs only in case,
// else nothing.
std::string ExpectedMatch(const std::string& folder, const std::string& name)
{
    struct stat st;
    if (lstat((folder + "/" + name).c_str(), &st) == 0)
        return name;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return "";
    std::string found;
    while (dirent* entry = readdir(dir)) {
        std::string candidate = entry->d_name;
        if (candidate != "." && candidate != ".." && Lower(candidate) == Lower(name)) {
            found = candidate;
            break;
        }
    }
    closedir(dir);
    return found;
}

class NameIndex : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        hostRoot_ = win32posix::FindDrive('T')->hostRoot;
    }
    std::string Host(const std::string& relative) const { return hostRoot_ + "/" + relative; }
    // The host name the layer resolves `relative` to, or "" when it finds none.
    std::string Resolved(const std::string& relative)
    {
        win32posix::ResolvedPath resolved;
        if (win32posix::ResolvePath(Path(relative), resolved) != ERROR_SUCCESS || !resolved.exists)
            return "";
        return resolved.host.substr(resolved.host.find_last_of('/') + 1);
    }
    void HostCreate(const std::string& relative)
    {
        int fd = open(Host(relative).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << relative;
        close(fd);
    }
    bool LayerCreate(const std::string& relative)
    {
        HANDLE file = CreateFileA(Path(relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(file);
        return true;
    }
    std::string hostRoot_;
};

// Each step changes the folder behind the layer's back, right after a lookup
// that had the folder listed; the next lookup sees the change.
TEST_F(NameIndex, ChangesFromOutsideAreSeenByTheNextLookup)
{
    MakeDirectory("Big");
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(LayerCreate("Big\\File" + std::to_string(i) + ".dat"));
    struct Step {
        const char* what;
        std::function<void()> change;
        const char* lookup;
        const char* expected; // host name found, "" for none
    };
    const std::vector<Step> steps = {
        {"created", [&] { HostCreate("Big/Other.txt"); }, "big\\OTHER.TXT", "Other.txt"},
        {"renamed", [&] { ASSERT_EQ(rename(Host("Big/Other.txt").c_str(), Host("Big/Moved.txt").c_str()), 0); },
         "BIG\\other.txt", ""},
        {"renamed, new name", [] {}, "BIG\\moved.TXT", "Moved.txt"},
        {"deleted", [&] { ASSERT_EQ(unlink(Host("Big/Moved.txt").c_str()), 0); }, "big\\MOVED.txt", ""},
        {"folder replaced",
         [&] {
             ASSERT_EQ(system(("rm -rf '" + Host("Big") + "'").c_str()), 0);
             ASSERT_EQ(mkdir(Host("Big").c_str(), 0755), 0);
             HostCreate("Big/Fresh.txt");
         },
         "big\\FRESH.TXT", "Fresh.txt"},
        {"old names gone with the old folder", [] {}, "big\\FILE1.DAT", ""},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(Resolved("BIG\\NOT-THERE"), "") << step.what; // the folder listed (or its index current)
        step.change();
        EXPECT_EQ(Resolved(step.lookup), step.expected) << step.what;
    }
}

// A name created outside in another case is the same name to the layer: it
// is neither created a second time nor missed.
TEST_F(NameIndex, ANameCreatedOutsideInAnotherCaseIsNotCreatedAgain)
{
    MakeDirectory("Dir");
    EXPECT_EQ(Resolved("DIR\\PLAIN.TXT"), "");
    HostCreate("Dir/Plain.txt");
    EXPECT_FALSE(LayerCreate("dir\\PLAIN.TXT"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(Resolved("dir\\plain.TXT"), "Plain.txt");
}

// Random changes from both sides, each followed by a lookup of a random
// name, compared with a fresh listing; names differing only in case are
// made too, so the first in directory order must be the one found.
TEST_F(NameIndex, EveryLookupAgreesWithAFreshListing)
{
    MakeDirectory("Mix");
    std::mt19937 random(20261210);
    const std::vector<std::string> stems = {"a", "b", "ab", "Ab", "AB", "abc", "x.txt", "X.TXT", "long-name.dat"};
    auto randomCase = [&](std::string name) {
        for (char& c : name)
            if (random() % 2)
                c = char(std::toupper(static_cast<unsigned char>(c)));
        return name;
    };
    for (int step = 0; step < 400; ++step) {
        std::string name = randomCase(stems[random() % stems.size()]);
        switch (random() % 5) {
        case 0:
            HostCreate("Mix/" + name);
            break;
        case 1:
            unlink(Host("Mix/" + name).c_str());
            break;
        case 2:
            LayerCreate("Mix\\" + name);
            break;
        case 3:
            DeleteFileA(Path("MIX\\" + name).c_str());
            break;
        case 4:
            rename(Host("Mix/" + name).c_str(), Host("Mix/" + randomCase(stems[random() % stems.size()])).c_str());
            break;
        }
        std::string query = randomCase(stems[random() % stems.size()]);
        ASSERT_EQ(Resolved("mix\\" + query), ExpectedMatch(Host("Mix"), query)) << "step " << step << ": " << query;
    }
}

// Threads create, look up and delete names in one folder at once, through
// the layer and behind its back; each finds what it just made, in any case,
// and not what it just deleted.
TEST_F(NameIndex, ThreadsSeeTheirOwnChangesAtOnce)
{
    MakeDirectory("Shared");
    std::atomic<int> failures{0};
    auto work = [&](int thread) {
        for (int i = 0; i < 150; ++i) {
            std::string mine = "T" + std::to_string(thread) + "-Layer-" + std::to_string(i) + ".dat";
            std::string outside = "T" + std::to_string(thread) + "-Host-" + std::to_string(i) + ".dat";
            if (!LayerCreate("Shared\\" + mine))
                ++failures;
            if (GetFileAttributesA(Path("SHARED\\" + Lower(mine)).c_str()) == INVALID_FILE_ATTRIBUTES)
                ++failures;
            int fd = open(Host("Shared/" + outside).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd < 0)
                ++failures;
            else
                close(fd);
            if (GetFileAttributesA(Path("shared\\" + Lower(outside)).c_str()) == INVALID_FILE_ATTRIBUTES)
                ++failures;
            unlink(Host("Shared/" + outside).c_str());
            if (GetFileAttributesA(Path("shared\\" + Lower(outside)).c_str()) != INVALID_FILE_ATTRIBUTES)
                ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(work, t);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace

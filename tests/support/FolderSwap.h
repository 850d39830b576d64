// The swap a player's program makes at the worst moment: just before the
// client creates or removes its K-th entry below a folder, the folder that
// holds the entry is renamed aside and a link to a folder outside the drives
// (the "victim", made a copy of the swapped folder, so that names removed
// through the link would find their namesakes there) is put in its place,
// owned by an ordinary user. The layer's action plan (win32posix_faults.h)
// makes that moment exact. Every K of a task is swapped in turn: nothing in
// the victim may be written or removed, and the test checks what the task
// left once the swap is undone.
#pragma once

#include "PlantedLinks.h"

#include <win32posix_faults.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

namespace folderswap {

namespace fs = std::filesystem;

class Swap {
public:
    explicit Swap(fs::path victim) : victim_(std::move(victim)) { }

    bool Happened() const { return !folder_.empty(); }
    const fs::path& Folder() const { return folder_; }

    // What was written in or removed from the victim since the swap ("" when
    // nothing was).
    std::string VictimChange() const
    {
        if (!Happened()) {
            return "";
        }
        return plantedlinks::TreeOf(victim_) == victimAtSwap_ ? "" : "the victim " + victim_.string() + " changed";
    }

    // Puts the swapped folder back in its place; whatever the task made at
    // the folder's name meanwhile (a real folder in place of the link) goes.
    void Undo()
    {
        if (!Happened()) {
            return;
        }
        std::error_code ignored;
        if (fs::is_symlink(fs::symlink_status(folder_))) {
            fs::remove(folder_);
        } else {
            fs::remove_all(folder_, ignored);
        }
        fs::rename(Aside(), folder_);
    }

    static void Act(const char* hostPath, void* context) { static_cast<Swap*>(context)->Make(hostPath); }

private:
    fs::path Aside() const
    {
        fs::path aside = folder_;
        aside += ".aside";
        return aside;
    }

    void Make(const fs::path& entry)
    {
        folder_ = entry.parent_path();
        fs::remove_all(victim_);
        fs::copy(folder_, victim_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        victimAtSwap_ = plantedlinks::TreeOf(victim_);
        fs::rename(folder_, Aside());
        if (!plantedlinks::PlantFolderLink(victim_, folder_, plantedlinks::kOrdinaryUser)) {
            ADD_FAILURE() << "no link at " << folder_;
        }
    }

    fs::path victim_;
    fs::path folder_; // the folder swapped; empty until the swap is made
    std::map<std::string, std::string> victimAtSwap_;
};

// Whether swaps can be made here: a link is given to another owner by root only.
inline bool CanSwap()
{
    return geteuid() == 0;
}

// Counts the creations and removals (`kinds`, WIN32POSIX_*) that `run()`
// makes below `folder`, then runs it once for each of them with the swap
// made just before it: reset() puts the task's world back before each run,
// check(result, call) checks what the run left, after the victim was
// checked and the swap undone (a call that the run no longer reached is not
// checked). Stops at the first call that fails a check.
template <class Reset, class Run, class Check>
void SwapBeforeEveryChange(const fs::path& folder, int kinds, const fs::path& victim, Reset reset, Run run, Check check)
{
    const std::string folderText = folder.string();
    reset();
    Win32PosixActionPlan count{folderText.c_str(), 0, kinds, nullptr, nullptr};
    Win32PosixSetActionPlan(&count);
    run();
    const long total = Win32PosixActionCalls();
    Win32PosixSetActionPlan(nullptr);
    ASSERT_GT(total, 0) << "no creation or removal below " << folderText;
    ::testing::Test::RecordProperty("swap_points", static_cast<int>(total));
    for (long call = 1; call <= total && !::testing::Test::HasFailure(); ++call) {
        SCOPED_TRACE("swap before change " + std::to_string(call) + " of " + std::to_string(total));
        reset();
        Swap swap(victim);
        Win32PosixActionPlan plan{folderText.c_str(), call, kinds, &Swap::Act, &swap};
        Win32PosixSetActionPlan(&plan);
        auto result = run();
        Win32PosixSetActionPlan(nullptr);
        if (!swap.Happened()) {
            continue;
        }
        EXPECT_EQ(swap.VictimChange(), "") << "written or removed through the link at " << swap.Folder();
        swap.Undo();
        check(result, call);
    }
}

} // namespace folderswap

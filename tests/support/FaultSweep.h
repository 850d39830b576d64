// The sweep of the fault-injection tests: a task runs once without a fault,
// counting the file-system calls it makes below a folder, then once for each
// of those calls with that call failing (the layer's fault plan,
// win32posix_faults.h). After every run the test checks what the task left.
#pragma once

#include "WriteModes.h"

#include <win32posix_faults.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace faultsweep {

struct Fault {
    const char* name;
    int error;       // errno of the failing call
    bool shortWrite; // instead: the write moves half its bytes and says so
};

inline void PrintTo(const Fault& fault, std::ostream* out)
{
    *out << fault.name;
}

inline const Fault kIoError{"EIO", EIO, false};
inline const Fault kDiskFull{"ENOSPC", ENOSPC, false};
inline const Fault kShortWrite{"ShortWrite", 0, true};

// The cases of a task's sweep: each write mode with each fault, named
// "Buffered_EIO" and so on.
using WriteModeAndFault = std::tuple<qek::WriteMode, Fault>;

inline auto EveryWriteModeAndFault()
{
    return ::testing::Combine(qeltest::EveryWriteMode(), ::testing::Values(kIoError, kDiskFull, kShortWrite));
}

inline std::string WriteModeAndFaultName(const ::testing::TestParamInfo<WriteModeAndFault>& info)
{
    return qeltest::WriteModeName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
}

// Runs `run()` with the `failCall`-th call below `folder` failing (0: none);
// `calls` receives the calls counted, `happened` whether the fault came.
template <class Run>
auto RunPlanned(const std::string& folder, const Fault& fault, long failCall, Run& run, long& calls, bool& happened)
{
    const Win32PosixFaultPlan plan{folder.c_str(), failCall, fault.error, fault.shortWrite ? 1 : 0};
    Win32PosixSetFaultPlan(&plan);
    auto result = run();
    calls = Win32PosixFaultCalls();
    happened = Win32PosixFaultHappened() != 0;
    Win32PosixSetFaultPlan(nullptr);
    return result;
}

// reset() puts the task's world back; run() runs the task and returns its
// result; check(result, failCall) checks what it left (failCall 0: the clean
// run). A failing call that the run no longer reached is not checked. The
// sweep stops at the first failing point: one at a time is enough to read.
template <class Reset, class Run, class Check>
void SweepEveryCall(const std::string& folder, const Fault& fault, Reset reset, Run run, Check check)
{
    long calls = 0;
    bool happened = false;
    reset();
    check(RunPlanned(folder, fault, 0, run, calls, happened), 0L);
    const long total = calls;
    ASSERT_GT(total, 0) << "no call below " << folder;
    ::testing::Test::RecordProperty("fault_points", static_cast<int>(total)); // in --gtest_output=xml
    for (long failCall = 1; failCall <= total && !::testing::Test::HasFailure(); ++failCall) {
        SCOPED_TRACE("fault at call " + std::to_string(failCall) + " of " + std::to_string(total));
        reset();
        auto result = RunPlanned(folder, fault, failCall, run, calls, happened);
        if (happened) {
            check(result, failCall);
        }
    }
}

// Whether a message from `first` on names a failure: it holds "失败"
// (failed) or "放弃" (gave up), as the log writes them (GBK).
inline bool NamesAFailure(const std::vector<std::string>& messages, size_t first)
{
    for (size_t i = first; i < messages.size(); ++i) {
        const std::string& message = messages[i];
        if (message.find("\xCA\xA7\xB0\xDC") != std::string::npos ||
            message.find("\xB7\xC5\xC6\xFA") != std::string::npos)
            return true;
    }
    return false;
}

} // namespace faultsweep

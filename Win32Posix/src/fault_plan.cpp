#include "fault_plan.h"

#include <win32posix_faults.h>

#include <cerrno>
#include <mutex>

namespace win32posix {
namespace {

struct Plan {
    bool active = false;
    std::string folder; // with a trailing '/'
    long failCall = 0;
    int error = 0;
    bool shortWrite = false;
    long calls = 0;
    bool happened = false;
};

std::mutex& PlanMutex()
{
    static std::mutex* mutex = new std::mutex; // never destroyed: usable until the process ends
    return *mutex;
}

Plan& ThePlan()
{
    static Plan* plan = new Plan;
    return *plan;
}

struct ActionPlan {
    bool active = false;
    std::string folder; // with a trailing '/'
    long atCall = 0;
    int kinds = 0;
    Win32PosixAction action = nullptr;
    void* context = nullptr;
    long calls = 0;
};

ActionPlan& TheActionPlan()
{
    static ActionPlan* plan = new ActionPlan;
    return *plan;
}

bool Below(const std::string& folder, const std::string& hostPath)
{
    return hostPath.compare(0, folder.size(), folder) == 0 || hostPath + "/" == folder;
}

// Counts the call when it is one the plan counts; true when it is the one
// the plan picks.
bool Counts(Plan& plan, const std::string& hostPath, bool isWrite)
{
    if (!plan.active || !Below(plan.folder, hostPath))
        return false;
    if (plan.shortWrite && !isWrite)
        return false;
    ++plan.calls;
    if (plan.calls != plan.failCall)
        return false;
    plan.happened = true;
    return true;
}

} // namespace

bool PlannedFault(const std::string& hostPath)
{
    std::lock_guard lock(PlanMutex());
    Plan& plan = ThePlan();
    if (plan.shortWrite || !Counts(plan, hostPath, false))
        return false;
    errno = plan.error;
    return true;
}

DWORD PlannedWriteLength(const std::string& hostPath, DWORD length)
{
    std::lock_guard lock(PlanMutex());
    Plan& plan = ThePlan();
    if (!plan.shortWrite) {
        // Writes are counted by PlannedFault like every other call.
        return length;
    }
    return Counts(plan, hostPath, true) ? length / 2 : length;
}

void PlannedAction(const std::string& hostPath, EntryChange change)
{
    Win32PosixAction action = nullptr;
    void* context = nullptr;
    {
        std::lock_guard lock(PlanMutex());
        ActionPlan& plan = TheActionPlan();
        if (!plan.active || (plan.kinds & static_cast<int>(change)) == 0 || !Below(plan.folder, hostPath))
            return;
        if (++plan.calls == plan.atCall) {
            action = plan.action;
            context = plan.context;
        }
    }
    // Outside the lock: the action may itself call the layer.
    if (action)
        action(hostPath.c_str(), context);
}

} // namespace win32posix

using namespace win32posix;

namespace {

// A plan's folder as the paths below it begin: "/x/y" gives "/x/y/".
std::string FolderWithSlash(const char* folder)
{
    std::string withSlash = folder;
    if (withSlash.empty() || withSlash.back() != '/')
        withSlash += '/';
    return withSlash;
}

} // namespace

extern "C" void Win32PosixSetActionPlan(const Win32PosixActionPlan* request)
{
    std::lock_guard lock(PlanMutex());
    ActionPlan& plan = TheActionPlan();
    plan = ActionPlan{};
    if (!request || !request->hostFolder)
        return;
    plan.active = true;
    plan.folder = FolderWithSlash(request->hostFolder);
    plan.atCall = request->atCall;
    plan.kinds = request->kinds;
    plan.action = request->action;
    plan.context = request->context;
}

extern "C" long Win32PosixActionCalls(void)
{
    std::lock_guard lock(PlanMutex());
    return TheActionPlan().calls;
}

extern "C" void Win32PosixSetFaultPlan(const Win32PosixFaultPlan* request)
{
    std::lock_guard lock(PlanMutex());
    Plan& plan = ThePlan();
    plan = Plan{};
    if (!request || !request->hostFolder)
        return;
    plan.active = true;
    plan.folder = FolderWithSlash(request->hostFolder);
    plan.failCall = request->failCall;
    plan.error = request->error;
    plan.shortWrite = request->shortWrite != 0;
}

extern "C" long Win32PosixFaultCalls(void)
{
    std::lock_guard lock(PlanMutex());
    return ThePlan().calls;
}

extern "C" int Win32PosixFaultHappened(void)
{
    std::lock_guard lock(PlanMutex());
    return ThePlan().happened ? 1 : 0;
}

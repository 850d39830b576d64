// Disk info task (type 20002): one reply announcing the drive data, then one
// DiskInfoRecord per fixed drive, in the system's drive order.
#include "maintenance/DiskInfoTask.h"

#include "base/LogFile.h"
#include "maintenance/DriveList.h"
#include "protocol/DriveRecords.h"

#include <windows.h>

#include <string>
#include <vector>

namespace qek {

namespace {

std::vector<std::string> FixedDriveRoots()
{
    std::vector<std::string> fixed;
    for (const std::string& root : LogicalDriveRoots()) {
        if (GetDriveTypeA(root.c_str()) == DRIVE_FIXED) {
            fixed.push_back(root);
        }
    }
    return fixed;
}

// The counts start at zero, so a drive whose query fails is reported with
// zeros rather than with whatever the outputs held.
DiskInfoRecord QueryDrive(const std::string& root)
{
    ULARGE_INTEGER availableToCaller{};
    ULARGE_INTEGER totalBytes{};
    ULARGE_INTEGER totalFreeBytes{};
    GetDiskFreeSpaceExA(root.c_str(), &availableToCaller, &totalBytes, &totalFreeBytes);
    return MakeDiskInfoRecord(root[0], totalFreeBytes.QuadPart, totalBytes.QuadPart);
}

} // namespace

void RunDiskInfo(RavelnetConnection connection)
{
    const std::vector<std::string> drives = FixedDriveRoots();
    const TaskReply reply = MakeTaskReply(kResultOk, static_cast<uint32_t>(drives.size() * sizeof(DiskInfoRecord)));
    // The records follow whatever the reply returned: a broken connection
    // shows up at the first record's send.
    RavelnetReply(connection, &reply);

    for (const std::string& root : drives) {
        const DiskInfoRecord record = QueryDrive(root);
        const int sent = RavelnetSend(connection, &record, sizeof record);
        if (sent != kResultOk) {
            const int lastError = static_cast<int>(GetLastError());
            Log(ModuleLog(), "QEK_CORE:  获取磁盘信息任务失败(%d)(%d)", sent, lastError);
            return;
        }
    }
    Log(ModuleLog(), "QEK_CORE: 获取磁盘信息任务完成");
}

} // namespace qek

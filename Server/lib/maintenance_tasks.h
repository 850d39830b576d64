// The server's side of the maintenance tasks: ask a client for its fixed
// drives (task 20002) and have it delete a game from every drive but its
// system drive (task 20001). Several clients are asked at once, each on its
// own connection; one client's failure does not stop the others.
#pragma once

#include "task_connection.h"
#include "update_session.h"

#include "protocol/DriveRecords.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qelsrv {

// Size of one drive's record in the disk info answer.
constexpr size_t kDiskInfoRecordSize = sizeof(DiskInfoRecord);
// A longer announcement is not a disk info answer, and is not received.
constexpr uint32_t kMaxDiskInfoDataLength = kMaxDiskInfoRecords * kDiskInfoRecordSize;

struct MaintenanceOptions {
    uint32_t connectTimeoutMs = 10000;
    // How long the client may stay silent; the delete task answers only once
    // every drive has been processed.
    uint32_t receiveTimeoutMs = 300000;
    // Can end the task from another thread; may be null.
    Interrupter* interrupter = nullptr;
};

struct DriveSpace {
    char letter = 0;
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
};

// Percentage of the drive in use, 0 for a drive of no size.
double UsedPercent(const DriveSpace& drive);

// The drive records (DiskInfoRecord) of a disk info answer. False with a
// message when `data` is not a whole number of records.
bool DecodeDiskInfo(std::span<const std::byte> data, std::vector<DriveSpace>& drives, std::string& error);

struct DiskInfoResult {
    bool ok = false;
    bool connected = false;         // false: the client could not be reached
    bool replied = false;           // `reply` holds the client's answer
    TaskReply reply{};              // the client's answer, when it came
    std::vector<DriveSpace> drives; // its fixed drives, in its order
    std::string error;              // why it failed
};

struct DeleteGameResult {
    bool ok = false;
    bool connected = false; // false: the client could not be reached
    bool replied = false;   // `reply` holds the client's answer
    TaskReply reply{};      // the client's answer, sent after the removal
    std::string error;
};

// One task against one client. Never throws: a failure is in the result.
DiskInfoResult RunDiskInfoTask(const Endpoint& endpoint, const MaintenanceOptions& options = {});
// `gamePath` is sent as it is, followed by a NUL; the client applies it to
// each of its drives but the system drive, and refuses paths that are not at
// least two levels below a drive's root.
DeleteGameResult RunDeleteGameTask(const Endpoint& endpoint, std::string_view gamePath,
                                   const MaintenanceOptions& options = {});

// The same conversations on a connection whose task has not started yet.
// Throw TransferError.
DiskInfoResult DiskInfoConversation(TaskConnection& connection);
DeleteGameResult DeleteGameConversation(TaskConnection& connection, std::string_view gamePath);

// Every "HOST" or "HOST:PORT" of `texts`; false with the first one's problem.
bool ParseEndpoints(const std::vector<std::string>& texts, std::vector<Endpoint>& endpoints, std::string& error);

// Runs `task` for every endpoint at once, one thread each; the results come
// back in the endpoints' order.
template <class Result>
std::vector<Result> RunOnEveryClient(const std::vector<Endpoint>& endpoints,
                                     const std::function<Result(const Endpoint&)>& task)
{
    std::vector<Result> results(endpoints.size());
    std::vector<std::thread> threads;
    threads.reserve(endpoints.size());
    for (size_t i = 0; i < endpoints.size(); ++i)
        threads.emplace_back([&, i] { results[i] = task(endpoints[i]); });
    for (std::thread& thread : threads)
        thread.join();
    return results;
}

// ---- Presentation ----

// One client's drives as a table: "  drive  total  free  used" with one
// right-aligned row per drive, sizes in binary units.
std::string FormatDriveTable(const std::vector<DriveSpace>& drives);

// The disk info of every client as one JSON document:
// [{"client":"h:p","ok":true,"drives":[{"drive":"D","totalBytes":..,
//   "freeBytes":..,"usedPercent":..}]}, {"client":..,"ok":false,"error":".."}]
std::string DiskInfoJson(const std::vector<Endpoint>& endpoints, const std::vector<DiskInfoResult>& results);

// The outcome of a delete task as one line: "deleted (reply 1)",
// "failed: <reason>".
std::string DescribeDeleteOutcome(const DeleteGameResult& result);

// `text` as a JSON string literal, quotes included. Bytes that are not valid
// UTF-8 are written as \u00XX, so that the document stays valid.
std::string JsonString(std::string_view text);

} // namespace qelsrv

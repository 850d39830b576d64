// The one service object: holds the write-mode setting read at module load and
// carries the four task handlers.
#pragma once

#include "channel/Transport.h"
#include "filetask/WriteMode.h"

#include <cstdint>

namespace qek {

class SyncService {
public:
    SyncService();                        // reads the write-mode setting from the registry
    explicit SyncService(WriteMode mode); // a fixed mode, for tests
    virtual ~SyncService();
    SyncService(const SyncService&) = delete;
    SyncService& operator=(const SyncService&) = delete;

    // How the file tasks write the files they receive.
    WriteMode FileWriteMode() const { return writeMode_; }

    // Opens the task server ("0.0.0.0", port 19750) and registers the task
    // callback OnTask: 1, or 0 when the server could not be opened. The server
    // handle is not kept: the server stays open for the life of the process.
    int OpenTaskServer();
    // The stop step: reports 1.
    int Stop();

    // Task handlers: each runs the whole conversation on `connection` and
    // returns when the task is over.
    void HandleUpdateTask(RavelnetConnection connection, uint32_t context, const TaskRequest* request,
                          uint32_t reserved);
    void HandleDeleteGame(RavelnetConnection connection, uint32_t context, const TaskRequest* request,
                          uint32_t reserved);
    void HandleDiskInfo(RavelnetConnection connection, uint32_t context, const TaskRequest* request, uint32_t reserved);
    void HandleDirectorySync(RavelnetConnection connection, uint32_t context, const TaskRequest* request,
                             uint32_t reserved);

private:
    WriteMode writeMode_ = WriteMode::Buffered;
};

// The static service object of the module.
SyncService& TheSyncService();

} // namespace qek

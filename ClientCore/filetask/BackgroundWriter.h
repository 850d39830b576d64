// Writing one block at a time on a thread of its own, so that the task can
// receive the next block while the disk takes this one.
#pragma once

#include "base/Status.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace qek {

class BackgroundWriter {
public:
    // Starts the thread that writes to `file`; Started tells whether it runs.
    explicit BackgroundWriter(HANDLE file);
    // Waits for the write under way, if any, and ends the thread.
    ~BackgroundWriter();
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    // False when the system could not start a thread (then nothing may be
    // started).
    bool Started() const { return thread_.joinable(); }

    // Starts writing all `length` bytes of `data` at the file pointer; only
    // when no write is under way, and `data` stays untouched until Wait.
    void Start(const void* data, DWORD length);

    // Waits for the write under way, if any, and gives its result (success
    // when none was started since the last Wait).
    Status Wait();

private:
    void Run();

    HANDLE file_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const void* data_ = nullptr;
    DWORD length_ = 0;
    bool pending_ = false;
    bool stopping_ = false;
    Status result_ = Status::Ok();
    std::thread thread_;
};

} // namespace qek

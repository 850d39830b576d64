#include "filetask/BackgroundWriter.h"

#include "filetask/FileWrite.h"

#include <system_error>

namespace qek {

BackgroundWriter::BackgroundWriter(HANDLE file) : file_(file)
{
    try {
        thread_ = std::thread(&BackgroundWriter::Run, this);
    } catch (const std::system_error&) {
        // No thread: Started() is false and the caller writes by itself.
    }
}

BackgroundWriter::~BackgroundWriter()
{
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void BackgroundWriter::Start(const void* data, DWORD length)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        data_ = data;
        length_ = length;
        pending_ = true;
    }
    changed_.notify_all();
}

Status BackgroundWriter::Wait()
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    const Status result = result_;
    result_ = Status::Ok();
    return result;
}

void BackgroundWriter::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return pending_ || stopping_; });
        if (!pending_) {
            return; // stopping, nothing left to write
        }
        lock.unlock();
        // The system's last error is this thread's: the status carries it.
        const Status written = WriteAll(file_, data_, length_);
        lock.lock();
        result_ = written;
        pending_ = false;
        changed_.notify_all();
    }
}

} // namespace qek

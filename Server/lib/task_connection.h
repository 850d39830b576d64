// The sending side of the task protocol: one task on one TCP connection to a
// client's task server, the mirror of the Ravelnet library.
//
//   auto task = qelsrv::TaskConnection::Connect("10.0.0.7", 19750);
//   task.StartTask(20002, {});                 // header (+ payload)
//   TaskReply reply = task.ReceiveReply();
//   std::vector<std::byte> drives = task.Receive(reply.dataLength);
//
// Errors are exceptions: every operation either does all it says or throws
// TransferError, whose kind() tells what went wrong. After a failure the
// conversation is out of step; close the connection.
#pragma once

#include "net/socket.h"
#include "protocol/TaskRecords.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace qelsrv {

// The records and constants of the task protocol, as the clients read them.
using namespace qek::protocol;

enum class TransferErrorKind {
    Connect,  // the connection could not be made (refused, unreachable, time-out, unknown host)
    Closed,   // the client ended the stream before the expected bytes arrived
    Timeout,  // nothing arrived (or nothing could be sent) for the time-out
    Socket,   // any other socket error (reset, ...)
    Protocol, // the client sent something the conversation does not allow
    File,     // a file to send could not be opened or read, or is shorter than asked
};

class TransferError : public std::runtime_error {
public:
    TransferError(TransferErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) { }
    TransferErrorKind kind() const { return kind_; }

private:
    TransferErrorKind kind_;
};

// A file opened for reading, to be sent with SendFileRange. The native value
// is a file descriptor on POSIX and a HANDLE on Windows.
class InputFile {
public:
    // Throws TransferError(File) when the file cannot be opened.
    static InputFile Open(const std::filesystem::path& path);

    uint64_t Size() const;
    std::intptr_t Native() const { return file_.Get(); }

private:
    // The owner of the open file, closed when it goes. Move-only: a file
    // changes hands by moving.
    class UniqueFile {
    public:
        explicit UniqueFile(std::intptr_t native) : native_(native) { }
        ~UniqueFile() { Reset(); }
        UniqueFile(UniqueFile&& other) noexcept : native_(std::exchange(other.native_, kNone)) { }
        UniqueFile& operator=(UniqueFile&& other) noexcept
        {
            if (this != &other) {
                Reset();
                native_ = std::exchange(other.native_, kNone);
            }
            return *this;
        }
        UniqueFile(const UniqueFile&) = delete;
        UniqueFile& operator=(const UniqueFile&) = delete;

        std::intptr_t Get() const { return native_; }

    private:
        // Neither a descriptor nor a HANDLE: -1 is also INVALID_HANDLE_VALUE.
        static constexpr std::intptr_t kNone = -1;
        // The platform's close (file_send_posix.cpp, file_send_win.cpp).
        static void Close(std::intptr_t native);
        void Reset()
        {
            if (native_ != kNone)
                Close(std::exchange(native_, kNone));
        }

        std::intptr_t native_;
    };

    explicit InputFile(std::intptr_t native) : file_(native) { }
    UniqueFile file_;
};

using Milliseconds = std::chrono::milliseconds;

class TaskConnection;

// Ends the conversations of many connections at once, from another thread
// (the operator's second Ctrl+C): every attached connection is shut down, so
// that its blocked send or receive fails at once. A connection attached after
// that is refused.
class Interrupter {
public:
    Interrupter() = default;
    Interrupter(const Interrupter&) = delete;
    Interrupter& operator=(const Interrupter&) = delete;

    void InterruptAll();
    bool Interrupted() const;

private:
    friend class TaskConnection;
    bool Attach(std::intptr_t socket);
    void Detach(std::intptr_t socket);

    mutable std::mutex mutex_;
    std::vector<std::intptr_t> sockets_;
    bool interrupted_ = false;
};

class TaskConnection {
public:
    static constexpr Milliseconds kDefaultConnectTimeout{10000};
    // What the client itself allows each receive.
    static constexpr Milliseconds kDefaultTimeout{kReceiveTimeoutMs};

    // Connects to HOST (name or dotted IPv4) and PORT within connectTimeout.
    static TaskConnection Connect(const std::string& host, uint16_t port,
                                  Milliseconds connectTimeout = kDefaultConnectTimeout);
    // The same from the local IPv4 address `source` (dotted text).
    static TaskConnection ConnectFrom(const std::string& source, const std::string& host, uint16_t port,
                                      Milliseconds connectTimeout = kDefaultConnectTimeout);

    TaskConnection(TaskConnection&& other) noexcept;
    TaskConnection& operator=(TaskConnection&& other) noexcept;
    ~TaskConnection(); // closes
    TaskConnection(const TaskConnection&) = delete;
    TaskConnection& operator=(const TaskConnection&) = delete;

    // Each receive must complete, and each send make progress, within this
    // time (default kDefaultTimeout).
    void SetTimeout(Milliseconds timeout);

    // The 16-byte task header: type, the magic "RVN1", sequence, payload length.
    void SendHeader(uint32_t type, uint32_t payloadLength, uint32_t sequence = 0);
    // Header with the payload's length, then the payload.
    void StartTask(uint32_t type, std::span<const std::byte> payload, uint32_t sequence = 0);
    // Header, then one record (a plain struct) as the payload.
    template <class Record>
    requires std::is_trivially_copyable_v<Record>
    void StartTask(uint32_t type, const Record& record, uint32_t sequence = 0)
    {
        StartTask(type, std::as_bytes(std::span(&record, 1)), sequence);
    }

    TaskReply ReceiveReply();

    // Raw blocks, exactly.
    void Send(std::span<const std::byte> bytes);
    void Receive(std::span<std::byte> bytes);
    std::vector<std::byte> Receive(std::size_t length);
    template <class Record>
    void SendRecord(const Record& record)
    {
        static_assert(std::is_trivially_copyable_v<Record>);
        Send(std::as_bytes(std::span(&record, 1)));
    }
    template <class Record>
    Record ReceiveRecord()
    {
        static_assert(std::is_trivially_copyable_v<Record>);
        Record record{};
        Receive(std::as_writable_bytes(std::span(&record, 1)));
        return record;
    }

    // Sends `length` bytes of the file from `offset`, without copying them
    // through user memory where the platform allows (sendfile on Linux).
    // The file's own position is not used. Throws TransferError(File) when
    // the file ends before the range does.
    void SendFileRange(std::intptr_t nativeFile, uint64_t offset, uint64_t length);
    void SendFileRange(const InputFile& file, uint64_t offset, uint64_t length)
    {
        SendFileRange(file.Native(), offset, length);
    }

    // Waits until the client ends the stream (orderly or by reset); throws
    // Timeout when it does not within the time-out, Protocol when bytes
    // arrive instead.
    void ExpectClosed();

    // Ends the sending direction; the client's receives see the end of the
    // stream, and its answers can still be read.
    void FinishSending();
    // Orderly close (also done by the destructor).
    void Close();
    // Close with a reset: the client sees an error, not an orderly end.
    void Abort();

    bool IsOpen() const;
    std::uint32_t TimeoutMs() const { return timeoutMs_; }

    // Lets `interrupter` shut this connection down until it closes; throws
    // TransferError(Socket) when the interrupter has already fired.
    void AttachInterrupter(Interrupter& interrupter);

private:
    explicit TaskConnection(ravelnet::net::UniqueSocket socket) : socket_(std::move(socket)) { }
    static TaskConnection Connect(const std::string& host, uint16_t port, Milliseconds connectTimeout,
                                  const std::optional<std::string>& source);
    void RequireOpen() const;
    void DetachInterrupter();

    ravelnet::net::UniqueSocket socket_;
    Interrupter* interrupter_ = nullptr;
    std::uint32_t timeoutMs_ = static_cast<std::uint32_t>(kDefaultTimeout.count());
};

} // namespace qelsrv

#include "update_session.h"

#include "protocol/ClientContract.h"
#include "room_run.h"
#include "task_connection.h"

#include <charconv>
#include <cstring>
#include <span>
#include <vector>

namespace qelsrv {
namespace {

std::string_view FieldText(const char* field, size_t size)
{
    const char* end = static_cast<const char*>(std::memchr(field, '\0', size));
    return std::string_view(field, end ? static_cast<size_t>(end - field) : size);
}

std::string Quoted(std::string_view name)
{
    std::string text = "\"";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text + "\"";
}

// Sends one listed file, after making sure it is still the file the list
// describes: the client gives it the listed time, so other bytes must not go
// out under it.
void ServeFile(TaskConnection& task, const CheckList& list, size_t index, SendBudget* budget)
{
    const QELDtFile& record = list.records[index];
    const std::filesystem::path& path = list.hostPaths[index];
    uint64_t size = RecordSize(record);
    InputFile file = InputFile::Open(path);
    std::optional<EntryState> now = ReadEntryState(path);
    if (!now || now->size != size || file.Size() != size || now->fileTime != JoinFileTime(record.lastWriteTime)) {
        throw TransferError(TransferErrorKind::File, path.string() + " has changed since the check list was built");
    }
    SendFileBudgeted(task, file, size, budget);
}

// Answers the client's requests until it ends the task. Returns normally
// only on the end-of-task command; everything else throws. A client asks for
// each file of its list once: a second request for the same file is refused,
// so that one client never makes the server read a file twice (one bit per
// record is all a session keeps beyond the shared list).
void ServeRequests(TaskConnection& task, const CheckList& list, const ProgressCallback& progress, SendBudget* budget,
                   SessionResult& result)
{
    std::vector<bool> served(list.records.size(), false);
    for (;;) {
        FileRequest request{};
        try {
            request = task.ReceiveRecord<FileRequest>();
        } catch (const TransferError& error) {
            if (error.kind() == TransferErrorKind::Closed)
                throw TransferError(TransferErrorKind::Closed,
                                    "the client closed the connection before ending the task");
            throw;
        }
        if (request.command == kFileRequestEndOfTask) {
            result.filesDone = request.filesDone;
            if (progress)
                progress(ProgressOf(request));
            return;
        }
        if (request.command != kFileRequestSendFile) {
            throw TransferError(TransferErrorKind::Protocol,
                                "the client sent the unknown command " + std::to_string(request.command));
        }
        FileRequestCheck check = CheckFileRequest(list, request);
        if (!check.index)
            throw TransferError(TransferErrorKind::Protocol, "the client " + check.error);
        if (served[*check.index]) {
            throw TransferError(TransferErrorKind::Protocol, "the client asked for " +
                                                                 Quoted(RecordName(list.records[*check.index])) +
                                                                 " a second time");
        }
        served[*check.index] = true;
        if (progress)
            progress(ProgressOf(request));
        ServeFile(task, list, *check.index, budget);
        result.filesServed += 1;
        result.bytesServed += RecordSize(list.records[*check.index]);
    }
}

} // namespace

SessionResult RunFileTaskSession(const Endpoint& endpoint, const FileTaskSpec& spec, const CheckList& list,
                                 const ProgressCallback& progress, const SessionOptions& options)
{
    SessionResult result;
    std::optional<TaskConnection> task;
    try {
        task.emplace(TaskConnection::Connect(endpoint.host, endpoint.port, Milliseconds(options.connectTimeoutMs)));
        result.connected = true;
        task->SetTimeout(Milliseconds(options.receiveTimeoutMs));
        if (options.interrupter != nullptr)
            task->AttachInterrupter(*options.interrupter);

        TaskParams params = spec.params;
        params.checkListSize = list.ByteSize();
        task->StartTask(spec.taskType, params);
        TaskReply reply = task->ReceiveReply();
        result.replied = true;
        result.replyCode = reply.resultCode;
        if (reply.resultCode == spec.declinedCode) {
            result.outcome = SessionOutcome::Declined;
            return result;
        }
        if (reply.resultCode != kResultOk) {
            result.error = "the client answered the task with code " + std::to_string(reply.resultCode);
            task->Abort();
            return result;
        }
        if (!list.records.empty())
            SendBudgeted(*task, std::as_bytes(std::span(list.records)), options.budget);
        ServeRequests(*task, list, progress, options.budget, result);
        result.outcome = SessionOutcome::Completed;
    } catch (const TransferError& error) {
        result.outcome = SessionOutcome::Failed;
        result.error = error.what();
        // The client must see the task end as a failure, not as a quiet end of
        // stream it might take for anything else.
        if (task && task->IsOpen())
            task->Abort();
    } catch (const std::exception& error) {
        result.outcome = SessionOutcome::Failed;
        result.error = error.what();
        if (task && task->IsOpen())
            task->Abort();
    }
    return result;
}

bool ParseEndpoint(std::string_view text, Endpoint& endpoint, std::string& error)
{
    endpoint = Endpoint{};
    size_t colon = text.rfind(':');
    std::string_view host = text.substr(0, colon);
    if (colon != std::string_view::npos) {
        std::string_view portText = text.substr(colon + 1);
        unsigned port = 0;
        auto [end, code] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (portText.empty() || code != std::errc{} || end != portText.data() + portText.size() || port == 0 ||
            port > 65535) {
            error = "bad port in " + std::string(text);
            return false;
        }
        endpoint.port = static_cast<uint16_t>(port);
    }
    if (host.empty()) {
        error = "no host in " + std::string(text);
        return false;
    }
    endpoint.host = std::string(host);
    return true;
}

bool MakeUpdateParams(uint32_t taskId, std::string_view gameVersion, std::string_view gamePath, bool full,
                      TaskParams& params, std::string& error)
{
    params = TaskParams{};
    params.taskId = taskId;
    if (!FillField(params.gameVersion, gameVersion)) {
        error = "the version must be at most 127 bytes";
        return false;
    }
    if (!FillField(params.gamePath, gamePath)) {
        error = "the game path must be at most 255 bytes";
        return false;
    }
    params.skipLocalCompare = full ? 1 : 0;
    return true;
}

std::string NormaliseGamePath(std::string_view gamePath, uint32_t codePage)
{
    std::string path(gamePath);
    if (!path.empty() && !ClientNames(codePage).EndsWithCharacter(path, '\\'))
        path += '\\';
    return path;
}

std::optional<std::string> CheckPathsFit(const CheckList& list, std::string_view gamePath)
{
    if (gamePath.size() > kMaxGamePathBytes) {
        return "the game path leaves the client no room for its temporary check list (" +
               std::to_string(kMaxGamePathBytes) + " bytes at most)";
    }
    return CheckNamesFit(list, gamePath);
}

std::optional<std::string> CheckNamesFit(const CheckList& list, std::string_view root)
{
    for (const QELDtFile& record : list.records) {
        std::string_view name = RecordName(record);
        // A folder is also listed by the client: its path and "*.*" must fit.
        size_t limit = IsDirectoryRecord(record) ? kClientFolderPathBytes : kClientPathBytes;
        if (root.size() + name.size() > limit) {
            return "the client path of " + std::string(name) + " would be " +
                   std::to_string(root.size() + name.size()) + " bytes, more than " + std::to_string(limit);
        }
    }
    return std::nullopt;
}

SessionProgress ProgressOf(const FileRequest& request)
{
    SessionProgress progress;
    progress.filesDone = request.filesDone;
    progress.filesToUpdate = request.filesToUpdate;
    progress.bytesDone = BytesDone(request);
    progress.bytesToUpdate = BytesToUpdate(request);
    if (request.command == kFileRequestSendFile) {
        progress.currentFile = std::string(FieldText(request.fileName, sizeof request.fileName));
        progress.currentFileSize = JoinHalves(request.fileSizeHighByte, request.fileSizeLow);
    }
    return progress;
}

FileRequestCheck CheckFileRequest(const CheckList& list, const FileRequest& request)
{
    FileRequestCheck check;
    if (std::memchr(request.fileName, '\0', sizeof request.fileName) == nullptr) {
        check.error = "asked for a file whose name has no end";
        return check;
    }
    std::string_view name = FieldText(request.fileName, sizeof request.fileName);
    if (!ClientNames(list.codePage).IsSafeEntryName(name)) {
        check.error = "asked for " + Quoted(name) + ", a path outside the game folder";
        return check;
    }
    std::optional<size_t> index = FindRecordIndex(list, name);
    if (!index) {
        check.error = "asked for " + Quoted(name) + ", which is not in the check list";
        return check;
    }
    const QELDtFile& record = list.records[*index];
    if (IsDirectoryRecord(record)) {
        check.error = "asked for " + Quoted(name) + ", which is a folder";
        return check;
    }
    // The request carries bits 0-39 of the size.
    uint64_t listed = RecordSize(record);
    uint64_t asked = JoinHalves(request.fileSizeHighByte, request.fileSizeLow);
    if ((listed & 0xFF'FFFF'FFFFull) != asked) {
        check.error = "asked for " + Quoted(name) + " with " + std::to_string(asked) +
                      " bytes, but the check list gives " + std::to_string(listed);
        return check;
    }
    check.index = index;
    return check;
}

std::string DescribeOutcome(const FileTaskSpec& spec, const SessionResult& result)
{
    switch (result.outcome) {
    case SessionOutcome::Completed:
        return "updated " + std::to_string(result.filesDone) + (result.filesDone == 1 ? " file" : " files");
    case SessionOutcome::Declined:
        return spec.declinedText;
    case SessionOutcome::Failed:
        break;
    }
    return "failed: " + result.error;
}

} // namespace qelsrv

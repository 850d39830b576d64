#include "maintenance_tasks.h"

#include "update_progress.h"

#include "protocol/DeleteGame.h"
#include "protocol/FileTaskRecords.h"

#include <cstdio>
#include <cstring>

namespace qelsrv {
namespace {

DriveSpace DecodeDrive(std::span<const std::byte> bytes)
{
    DiskInfoRecord record;
    std::memcpy(&record, bytes.data(), sizeof record);
    DriveSpace drive;
    drive.letter = record.driveLetter;
    drive.freeBytes = JoinHalves(record.freeHigh, record.freeLow);
    drive.totalBytes = JoinHalves(record.totalHigh, record.totalLow);
    return drive;
}

void RequireAccepted(const TaskReply& reply)
{
    if (reply.resultCode != kResultOk)
        throw TransferError(TransferErrorKind::Protocol,
                            "the client answered with result code " + std::to_string(reply.resultCode));
}

template <class Result>
Result RunGuarded(const Endpoint& endpoint, const MaintenanceOptions& options,
                  const std::function<void(TaskConnection&, Result&)>& conversation)
{
    Result result;
    try {
        TaskConnection connection =
            TaskConnection::Connect(endpoint.host, endpoint.port, Milliseconds(options.connectTimeoutMs));
        result.connected = true;
        connection.SetTimeout(Milliseconds(options.receiveTimeoutMs));
        if (options.interrupter != nullptr)
            connection.AttachInterrupter(*options.interrupter);
        conversation(connection, result);
    } catch (const std::exception& error) {
        result.ok = false;
        result.error = error.what();
    }
    return result;
}

void DiskInfoSteps(TaskConnection& connection, DiskInfoResult& result)
{
    connection.SendHeader(kTaskDiskInfo, 0);
    result.reply = connection.ReceiveReply();
    result.replied = true;
    RequireAccepted(result.reply);
    const uint32_t length = result.reply.dataLength;
    if (length > kMaxDiskInfoDataLength || length % kDiskInfoRecordSize != 0)
        throw TransferError(TransferErrorKind::Protocol,
                            "the client announced " + std::to_string(length) +
                                " bytes of drive data, not a whole number of drive records");
    const std::vector<std::byte> data = connection.Receive(length);
    if (!DecodeDiskInfo(data, result.drives, result.error))
        throw TransferError(TransferErrorKind::Protocol, result.error);
    result.ok = true;
}

void DeleteGameSteps(TaskConnection& connection, std::string_view gamePath, DeleteGameResult& result)
{
    const std::string payload = MakeDeleteGamePayload(gamePath);
    connection.StartTask(kTaskDeleteGame, std::as_bytes(std::span(payload)));
    result.reply = connection.ReceiveReply();
    result.replied = true;
    RequireAccepted(result.reply);
    result.ok = true;
}

std::string Padded(const std::string& text, size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string Percent(double value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", value);
    return text;
}

std::string JsonNumber(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// Length of the UTF-8 sequence starting at `text[i]`, or 0 when it is not one.
size_t Utf8SequenceLength(std::string_view text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (lead >= 0xF5 || length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    const unsigned char second = byte(i + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

} // namespace

double UsedPercent(const DriveSpace& drive)
{
    if (drive.totalBytes == 0 || drive.freeBytes >= drive.totalBytes)
        return 0.0;
    return 100.0 * static_cast<double>(drive.totalBytes - drive.freeBytes) / static_cast<double>(drive.totalBytes);
}

bool DecodeDiskInfo(std::span<const std::byte> data, std::vector<DriveSpace>& drives, std::string& error)
{
    if (data.size() % kDiskInfoRecordSize != 0) {
        error = std::to_string(data.size()) + " bytes of drive data are not whole " +
                std::to_string(kDiskInfoRecordSize) + "-byte records";
        return false;
    }
    drives.clear();
    for (size_t offset = 0; offset < data.size(); offset += kDiskInfoRecordSize)
        drives.push_back(DecodeDrive(data.subspan(offset, kDiskInfoRecordSize)));
    return true;
}

DiskInfoResult DiskInfoConversation(TaskConnection& connection)
{
    DiskInfoResult result;
    result.connected = true;
    DiskInfoSteps(connection, result);
    return result;
}

DeleteGameResult DeleteGameConversation(TaskConnection& connection, std::string_view gamePath)
{
    DeleteGameResult result;
    result.connected = true;
    DeleteGameSteps(connection, gamePath, result);
    return result;
}

DiskInfoResult RunDiskInfoTask(const Endpoint& endpoint, const MaintenanceOptions& options)
{
    return RunGuarded<DiskInfoResult>(endpoint, options, [](TaskConnection& connection, DiskInfoResult& result) {
        DiskInfoSteps(connection, result);
    });
}

DeleteGameResult RunDeleteGameTask(const Endpoint& endpoint, std::string_view gamePath,
                                   const MaintenanceOptions& options)
{
    return RunGuarded<DeleteGameResult>(endpoint, options,
                                        [gamePath](TaskConnection& connection, DeleteGameResult& result) {
                                            DeleteGameSteps(connection, gamePath, result);
                                        });
}

bool ParseEndpoints(const std::vector<std::string>& texts, std::vector<Endpoint>& endpoints, std::string& error)
{
    endpoints.clear();
    for (const std::string& text : texts) {
        Endpoint endpoint;
        if (!ParseEndpoint(text, endpoint, error))
            return false;
        endpoints.push_back(endpoint);
    }
    return true;
}

std::string FormatDriveTable(const std::vector<DriveSpace>& drives)
{
    if (drives.empty())
        return "  (no fixed drives)\n";
    std::string table = "  drive " + Padded("total", 11) + Padded("free", 11) + Padded("used", 8) + "\n";
    for (const DriveSpace& drive : drives) {
        table += "  " + std::string(1, drive.letter) + ":    " + Padded(FormatBytes(drive.totalBytes), 11) +
                 Padded(FormatBytes(drive.freeBytes), 11) + Padded(Percent(UsedPercent(drive)), 8) + "\n";
    }
    return table;
}

std::string DiskInfoJson(const std::vector<Endpoint>& endpoints, const std::vector<DiskInfoResult>& results)
{
    std::string json = "[";
    for (size_t i = 0; i < results.size(); ++i) {
        const DiskInfoResult& result = results[i];
        json += i == 0 ? "\n  " : ",\n  ";
        json += "{\"client\": " + JsonString(endpoints[i].Label()) + ", \"ok\": " + (result.ok ? "true" : "false");
        if (!result.ok) {
            json += ", \"error\": " + JsonString(result.error) + "}";
            continue;
        }
        json += ", \"drives\": [";
        for (size_t d = 0; d < result.drives.size(); ++d) {
            const DriveSpace& drive = result.drives[d];
            json += d == 0 ? "" : ", ";
            json += "{\"drive\": " + JsonString(std::string(1, drive.letter)) +
                    ", \"totalBytes\": " + std::to_string(drive.totalBytes) +
                    ", \"freeBytes\": " + std::to_string(drive.freeBytes) +
                    ", \"usedPercent\": " + JsonNumber(UsedPercent(drive)) + "}";
        }
        json += "]}";
    }
    json += results.empty() ? "]\n" : "\n]\n";
    return json;
}

std::string DescribeDeleteOutcome(const DeleteGameResult& result)
{
    if (!result.ok)
        return "failed: " + result.error;
    return "done (reply " + std::to_string(result.reply.resultCode) + ")";
}

std::string JsonString(std::string_view text)
{
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
            ++i;
        } else if (c < 0x80) {
            json += static_cast<char>(c);
            ++i;
        } else if (const size_t length = Utf8SequenceLength(text, i); length != 0) {
            json.append(text.substr(i, length));
            i += length;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
            ++i;
        }
    }
    return json + "\"";
}

} // namespace qelsrv

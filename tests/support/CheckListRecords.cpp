#include "CheckListRecords.h"

#include <algorithm>
#include <cstring>

namespace qeltest {

namespace {

QELDtFile Record(std::string_view name, uint64_t size, uint64_t fileTime, uint32_t attributes)
{
    QELDtFile record{};
    record.lastWriteTime.lowDateTime = static_cast<uint32_t>(fileTime);
    record.lastWriteTime.highDateTime = static_cast<uint32_t>(fileTime >> 32);
    record.tag = kQelDtFileTag;
    record.attributes = attributes;
    record.sizeHigh = static_cast<uint32_t>(size >> 32);
    record.sizeLow = static_cast<uint32_t>(size);
    std::memcpy(record.name, name.data(), std::min(name.size(), sizeof(record.name)));
    return record;
}

} // namespace

QELDtFile FileRecord(std::string_view name, uint64_t size, uint64_t fileTime)
{
    return Record(name, size, fileTime, 0x20);
}

QELDtFile DirectoryRecord(std::string_view name)
{
    return Record(name, 0, kSomeTime, kQelDtFileDirectoryBit);
}

std::string Serialize(const std::vector<QELDtFile>& records)
{
    std::string bytes(records.size() * sizeof(QELDtFile), '\0');
    if (!records.empty()) {
        std::memcpy(bytes.data(), records.data(), bytes.size());
    }
    return bytes;
}

} // namespace qeltest

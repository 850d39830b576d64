#include "filetask/FileList.h"

#include <algorithm>
#include <cstring>

namespace qek {

void FileList::Iterator::SkipErased()
{
    while (index_ < list_->nodes_.size() && list_->nodes_[index_].erased) {
        ++index_;
    }
}

void FileList::Insert(const QELDtFile* record)
{
    nodes_.push_back({record, static_cast<uint16_t>(RecordName(*record).size()), false});
    ordered_ = false;
}

FileList::Entry FileList::EntryAt(size_t index) const
{
    const Node& node = nodes_[index];
    return {std::string_view(node.record->name, node.nameLength), node.record};
}

// Sorts the nodes inserted since the last lookup in among the others. The sort
// is stable, so of several records with one name the first inserted comes
// first and is the one kept.
void FileList::Order() const
{
    if (ordered_) {
        return;
    }
    std::erase_if(nodes_, [](const Node& node) { return node.erased; });
    auto name = [](const Node& node) { return std::string_view(node.record->name, node.nameLength); };
    std::stable_sort(nodes_.begin(), nodes_.end(),
                     [&](const Node& a, const Node& b) { return NameLess(name(a), name(b)); });
    auto duplicate =
        std::unique(nodes_.begin(), nodes_.end(), [&](const Node& a, const Node& b) { return name(a) == name(b); });
    nodes_.erase(duplicate, nodes_.end());
    nodes_.shrink_to_fit();
    ordered_ = true;
    erasedCount_ = 0;
}

size_t FileList::IndexOf(std::string_view name) const
{
    Order();
    auto found = std::lower_bound(nodes_.begin(), nodes_.end(), name, [](const Node& node, std::string_view key) {
        return NameLess(std::string_view(node.record->name, node.nameLength), key);
    });
    if (found == nodes_.end() || found->erased || std::string_view(found->record->name, found->nameLength) != name) {
        return nodes_.size();
    }
    return static_cast<size_t>(found - nodes_.begin());
}

const QELDtFile* FileList::Find(std::string_view name) const
{
    const size_t index = IndexOf(name);
    return index == nodes_.size() ? nullptr : nodes_[index].record;
}

bool FileList::Erase(std::string_view name)
{
    const size_t index = IndexOf(name);
    if (index == nodes_.size()) {
        return false;
    }
    nodes_[index].erased = true;
    ++erasedCount_;
    return true;
}

void FileList::Clear()
{
    nodes_.clear();
    nodes_.shrink_to_fit();
    ordered_ = true;
    erasedCount_ = 0;
}

size_t FileList::Size() const
{
    Order();
    return nodes_.size() - erasedCount_;
}

FileList::Iterator FileList::begin() const
{
    Order();
    return Iterator(this, 0);
}

FileList::Iterator FileList::end() const
{
    Order();
    return Iterator(this, nodes_.size());
}

} // namespace qek

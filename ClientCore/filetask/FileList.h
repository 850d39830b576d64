// The FileList: the index of a received check list, from entry name to the
// entry's QELDtFile record inside the mapped check file.
#pragma once

#include "protocol/FileTaskRecords.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace qek {

// An ordered map from name to record, built in two phases: the analysis
// inserts the records of one check list in file order, then the list is only
// read or shrunk (the local scan erases the entries of current files).
//
// Neither the record nor its name is copied: each entry is one small index
// node (a pointer to the record and the name's length) in one array, sorted on
// the first lookup after the inserts. The records must stay mapped until
// Clear() or the list's end, which ReleaseCheckList guarantees.
class FileList {
public:
    struct Entry {
        std::string_view name;
        const QELDtFile* record;
    };

    class Iterator {
    public:
        Iterator(const FileList* list, size_t index) : list_(list), index_(index) { SkipErased(); }
        Entry operator*() const { return list_->EntryAt(index_); }
        Iterator& operator++()
        {
            ++index_;
            SkipErased();
            return *this;
        }
        bool operator==(const Iterator& other) const { return index_ == other.index_; }

    private:
        void SkipErased();
        const FileList* list_;
        size_t index_;
    };

    // Adds the record under its name; when the name is listed already the
    // first record keeps the entry and this one is ignored.
    void Insert(const QELDtFile* record);
    // Room for `count` entries, so that a large list is not grown in steps.
    void Reserve(size_t count) { nodes_.reserve(count); }
    // The record listed under exactly `name`, or nullptr.
    const QELDtFile* Find(std::string_view name) const;
    // Strikes `name` from the list; false when it was not listed.
    bool Erase(std::string_view name);
    void Clear();

    size_t Size() const;
    bool Empty() const { return Size() == 0; }

    // The entries in ascending name order.
    Iterator begin() const;
    Iterator end() const;

private:
    struct Node {
        const QELDtFile* record;
        uint16_t nameLength;
        bool erased;
    };

    void Order() const;
    Entry EntryAt(size_t index) const;
    size_t IndexOf(std::string_view name) const; // nodes_.size() when absent

    mutable std::vector<Node> nodes_;
    mutable bool ordered_ = true;
    mutable size_t erasedCount_ = 0;
};

} // namespace qek

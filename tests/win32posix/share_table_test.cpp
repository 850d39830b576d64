// The share-mode rule and the table of opens per file (pure).
#include "share_table.h"

#include <gtest/gtest.h>

namespace win32posix {
namespace {

// The rule written out bit by bit, independently of the implementation.
bool ReferenceConflict(DWORD a1, DWORD s1, DWORD a2, DWORD s2)
{
    if (a1 == 0 || a2 == 0)
        return false;
    auto refuses = [](DWORD share, DWORD access) {
        return ((access & kShareAccessRead) && !(share & FILE_SHARE_READ)) ||
               ((access & kShareAccessWrite) && !(share & FILE_SHARE_WRITE)) ||
               ((access & kShareAccessDelete) && !(share & FILE_SHARE_DELETE));
    };
    return refuses(s1, a2) || refuses(s2, a1);
}

TEST(OpensConflict, MatchesTheRuleForEveryPair)
{
    for (DWORD a1 = 0; a1 < 8; ++a1)
        for (DWORD s1 = 0; s1 < 8; ++s1)
            for (DWORD a2 = 0; a2 < 8; ++a2)
                for (DWORD s2 = 0; s2 < 8; ++s2)
                    ASSERT_EQ(OpensConflict(a1, s1, a2, s2), ReferenceConflict(a1, s1, a2, s2))
                        << a1 << " " << s1 << " " << a2 << " " << s2;
}

TEST(OpensConflict, KnownCases)
{
    const DWORD R = kShareAccessRead, W = kShareAccessWrite;
    EXPECT_FALSE(OpensConflict(R, FILE_SHARE_READ, R, FILE_SHARE_READ));
    EXPECT_TRUE(OpensConflict(R, FILE_SHARE_READ, W, FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_TRUE(OpensConflict(W, FILE_SHARE_WRITE, R, FILE_SHARE_READ)) << "the reader's share refuses the writer";
    EXPECT_FALSE(OpensConflict(W, FILE_SHARE_READ | FILE_SHARE_WRITE, R | W, FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_FALSE(OpensConflict(0, 0, R | W, 0)) << "access 0 conflicts with nothing";
}

TEST(ShareAccessFromDesired, ReducesGenericRights)
{
    EXPECT_EQ(ShareAccessFromDesired(GENERIC_READ), kShareAccessRead);
    EXPECT_EQ(ShareAccessFromDesired(GENERIC_WRITE), kShareAccessWrite);
    EXPECT_EQ(ShareAccessFromDesired(GENERIC_READ | GENERIC_WRITE), kShareAccessRead | kShareAccessWrite);
    EXPECT_EQ(ShareAccessFromDesired(0x00010000u), kShareAccessDelete);
    EXPECT_EQ(ShareAccessFromDesired(0x10000000u), kShareAccessRead | kShareAccessWrite | kShareAccessDelete);
    EXPECT_EQ(ShareAccessFromDesired(0x00000080u), 0u) << "attribute access takes part in no check";
}

TEST(ShareTable, RefusesConflictsAndForgetsClosedOpens)
{
    ShareTable table;
    FileId file{1, 42}, other{1, 43};
    auto first = table.TryAdd(file, kShareAccessRead, FILE_SHARE_READ);
    ASSERT_TRUE(first);
    EXPECT_FALSE(table.TryAdd(file, kShareAccessWrite, FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_TRUE(table.TryAdd(other, kShareAccessWrite, 0)) << "another inode is another file";
    auto second = table.TryAdd(file, kShareAccessRead, FILE_SHARE_READ);
    ASSERT_TRUE(second);
    EXPECT_EQ(table.EntryCount(file), 2u);
    table.Remove(file, *first);
    EXPECT_FALSE(table.TryAdd(file, kShareAccessWrite, FILE_SHARE_READ)) << "the second reader still refuses writers";
    table.Remove(file, *second);
    table.Remove(file, 9999); // unknown ticket: ignored
    EXPECT_EQ(table.EntryCount(file), 0u);
    EXPECT_TRUE(table.TryAdd(file, kShareAccessWrite, 0));
}

TEST(ShareTable, DeletionNeedsEveryOpenToShareDeleteAndNoMapping)
{
    ShareTable table;
    FileId file{7, 7};
    EXPECT_EQ(table.CheckDelete(file), DeleteCheck::Allowed);
    auto sharing = table.TryAdd(file, kShareAccessRead, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_EQ(table.CheckDelete(file), DeleteCheck::Allowed);
    auto notSharing = table.TryAdd(file, kShareAccessRead, FILE_SHARE_READ);
    EXPECT_EQ(table.CheckDelete(file), DeleteCheck::SharingViolation);
    table.Remove(file, *notSharing);
    EXPECT_EQ(table.CheckDelete(file), DeleteCheck::Allowed);
    auto attributesOnly = table.TryAdd(file, 0, 0);
    EXPECT_EQ(table.CheckDelete(file), DeleteCheck::Allowed) << "an open without access refuses nothing";
    ShareTable::Ticket mapping = table.AddMapping(file);
    EXPECT_TRUE(table.IsMapped(file));
    EXPECT_EQ(table.CheckDelete(file), DeleteCheck::Mapped);
    EXPECT_TRUE(table.TryAdd(file, kShareAccessWrite, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        << "a mapping refuses no open";
    table.Remove(file, mapping);
    EXPECT_FALSE(table.IsMapped(file));
    table.Remove(file, *sharing);
    table.Remove(file, *attributesOnly);
}

} // namespace
} // namespace win32posix

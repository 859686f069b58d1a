#include "ulauxfcts.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "testutil.h"
#include "ulerror.h"
#include "ulstring.h"

namespace {

using Fill = std::vector<std::pair<uint32_t, uint32_t>>;

// Blocks of a pool, newest first, as (used, capacity) pairs.
Fill blockFill(const ul_strpool_t& pool) {
    Fill fill;
    for (const ul_strpoolblock_t* block = pool.blocks; block; block = block->next)
        fill.emplace_back(block->used, block->capacity);
    return fill;
}

class UlAuxFctsTest : public ::testing::Test {
  protected:
    void TearDown() override { ul_memfailafter(-1); }
};

// Allocation takes the newest block with room, then older ones, then a new block of
// max(block size, n).
TEST_F(UlAuxFctsTest, PoolAllocationPlacesStringsByRoom) {
    ul_strpool_t pool(10);
    const std::tuple<size_t, int, Fill> steps[] = {
        {6, 0, {{6, 10}}},
        {6, 0, {{6, 10}, {6, 10}}},              // does not fit: new block
        {4, 0, {{10, 10}, {6, 10}}},             // fits the newest exactly
        {3, 1, {{10, 10}, {9, 10}}},             // newest full: the older one
        {25, 0, {{25, 25}, {10, 10}, {9, 10}}},  // larger than a block
        {1, 2, {{25, 25}, {10, 10}, {10, 10}}},  // the last unit anywhere
        {0, 0, {{25, 25}, {10, 10}, {10, 10}}},  // nothing needed, nothing added
    };
    for (const auto& [n, blockFromNewest, fill] : steps) {
        SCOPED_TRACE(n);
        char16_t* text = pool.allocString(n);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(blockFill(pool), fill);
        ul_strpoolblock_t* block = pool.blocks;
        for (int i = 0; i < blockFromNewest; ++i) block = block->next;
        if (n) { EXPECT_EQ(text + n, block->text() + block->used); }
        for (size_t i = 0; i < n; ++i) text[i] = u'x';  // ASan checks the bounds
    }
    EXPECT_EQ(pool.getSize(), pool.hash.getSize() + (2 * 25 + 22) + 2 * (2 * 10 + 22));
}

TEST_F(UlAuxFctsTest, DupStringWithAndWithoutDeduplication) {
    ul_strpool_t pool;
    std::u16string first = u"TABLE_NAME", second = u"TABLE_NAME";
    char16_t* a = pool.dupString(first.c_str(), UL_STRPOOL_DEDUP);
    EXPECT_EQ(pool.dupString(second.c_str(), UL_STRPOOL_DEDUP), a);
    EXPECT_NE(a, first.c_str());
    EXPECT_EQ(std::u16string(a), u"TABLE_NAME");
    char16_t* c = pool.dupString(first.c_str());
    char16_t* d = pool.dupString(first.c_str());
    EXPECT_TRUE(c != d && c != a);
    EXPECT_EQ(std::u16string(d), u"TABLE_NAME");
    EXPECT_NE(pool.dupString(u"table_name", UL_STRPOOL_DEDUP), a);  // case counts
    EXPECT_EQ(std::u16string(pool.dupString(u"", UL_STRPOOL_DEDUP)), u"");
    EXPECT_EQ(pool.dupString(nullptr), nullptr);
    EXPECT_EQ(pool.hash.getCount(), 3);
    EXPECT_EQ(pool.blocks->used, 4 * 11 + 1u);  // four copies of 11 units and ""
}

TEST_F(UlAuxFctsTest, ClearAndRestoreRecycleSpaceAndForgetStrings) {
    ul_strpool_t pool(16);
    char16_t* kept = pool.dupString(u"kept", UL_STRPOOL_DEDUP);
    const ul_strpoolpos_t mark = pool.savePosition();
    char16_t* later = pool.dupString(u"later", UL_STRPOOL_DEDUP);
    pool.dupString(u"in a new block", UL_STRPOOL_DEDUP);
    ASSERT_EQ(blockFill(pool).size(), 2u);
    pool.restorePosition(mark);
    EXPECT_EQ(blockFill(pool), (Fill{{0, 16}, {5, 16}}));
    EXPECT_EQ(pool.hash.getCount(), 1);  // strings in recycled space are forgotten
    EXPECT_EQ(pool.dupString(u"kept", UL_STRPOOL_DEDUP), kept);
    // The recycled space is handed out again; "later" is a new, intact copy.
    EXPECT_EQ(pool.dupString(u"12345678901", 0), pool.blocks->text());
    char16_t* laterAgain = pool.dupString(u"later", UL_STRPOOL_DEDUP);
    EXPECT_EQ(std::u16string(laterAgain), u"later");
    EXPECT_EQ(laterAgain, later);  // the oldest block had room again at the same place
    EXPECT_EQ(std::u16string(kept), u"kept");

    ul_strpoolblock_t* newest = pool.blocks;
    pool.clear();
    EXPECT_EQ(pool.blocks, newest);
    EXPECT_EQ(blockFill(pool), (Fill{{0, 16}, {0, 16}}));
    EXPECT_TRUE(pool.hash.isEmpty());
    EXPECT_EQ(pool.dupString(u"zzzz", UL_STRPOOL_DEDUP), newest->text());  // reused from the newest
    EXPECT_NE(pool.dupString(u"kept", UL_STRPOOL_DEDUP), nullptr);
    EXPECT_EQ(pool.hash.getCount(), 2);

    ul_strpool_t empty(8);
    const ul_strpoolpos_t start = empty.savePosition();
    empty.dupString(u"one", UL_STRPOOL_DEDUP);
    empty.dupString(u"two two", UL_STRPOOL_DEDUP);
    empty.restorePosition(start);
    EXPECT_EQ(blockFill(empty), (Fill{{0, 8}, {0, 8}}));
    EXPECT_TRUE(empty.hash.isEmpty());
}

TEST_F(UlAuxFctsTest, FailedDupChangesNothing) {
    ul_strpool_t pool(8);
    pool.dupString(u"1234567", UL_STRPOOL_DEDUP);  // fills the first block
    // Entry, key copy, new block: each failure leaves pool and hash as they were.
    for (long failAt = 0; failAt < 3; ++failAt) {
        SCOPED_TRACE(failAt);
        ul_errorsetmsg(0, u"");
        ul_memfailafter(failAt);
        EXPECT_EQ(pool.dupString(u"new", UL_STRPOOL_DEDUP), nullptr);
        ul_memfailafter(-1);
        EXPECT_EQ(errorText(), outOfMemoryText());
        EXPECT_EQ(pool.hash.getCount(), 1);
        EXPECT_EQ(pool.hash.get(u"new", 1), nullptr);
        EXPECT_EQ(blockFill(pool).size(), 1u);
    }
    char16_t* copy = pool.dupString(u"new", UL_STRPOOL_DEDUP);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(pool.dupString(u"new", UL_STRPOOL_DEDUP), copy);
    // Destroy leaves a reusable pool; the destructor frees the rest (ASan reports leaks).
    pool.destroy();
    EXPECT_EQ(pool.blocks, nullptr);
    EXPECT_TRUE(pool.hash.isEmpty());
    EXPECT_NE(pool.dupString(u"abc", UL_STRPOOL_DEDUP), nullptr);
    EXPECT_EQ(pool.hash.getCount(), 1);
}

}  // namespace

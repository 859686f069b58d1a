#include "ulauxfcts.h"

#include <gtest/gtest.h>

#include "testutil.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "ulerror.h"
#include "ulstring.h"

namespace {



// Blocks of a pool, newest first, as (used, capacity) pairs.
std::vector<std::pair<uint32_t, uint32_t>> blockFill(const ul_strpool_t& pool) {
    std::vector<std::pair<uint32_t, uint32_t>> fill;
    for (const ul_strpoolblock_t* block = pool.blocks; block; block = block->next)
        fill.emplace_back(block->used, block->capacity);
    return fill;
}

class UlAuxFctsTest : public ::testing::Test {
  protected:
    void TearDown() override { ul_memfailafter(-1); }
};

// ---- String pool ----------------------------------------------------------------------------

// Allocation takes the newest block with room, then older ones, then a new block of
// max(block size, n).
TEST_F(UlAuxFctsTest, PoolAllocationPlacesStringsByRoom) {
    ul_strpool_t pool(10);
    struct Step {
        size_t n;
        int blockFromNewest;  // block the string must land in, counted after the step
        std::vector<std::pair<uint32_t, uint32_t>> fill;
    };
    const Step steps[] = {
        {6, 0, {{6, 10}}},
        {6, 0, {{6, 10}, {6, 10}}},              // does not fit: new block
        {4, 0, {{10, 10}, {6, 10}}},             // fits the newest exactly
        {3, 1, {{10, 10}, {9, 10}}},             // newest full: the older one
        {25, 0, {{25, 25}, {10, 10}, {9, 10}}},  // larger than a block
        {1, 2, {{25, 25}, {10, 10}, {10, 10}}},  // the last unit anywhere
        {0, 0, {{25, 25}, {10, 10}, {10, 10}}},  // nothing needed, nothing added
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.n);
        char16_t* text = pool.allocString(step.n);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(blockFill(pool), step.fill);
        if (step.n == 0) continue;
        ul_strpoolblock_t* block = pool.blocks;
        for (int i = 0; i < step.blockFromNewest; ++i) block = block->next;
        EXPECT_EQ(text + step.n, block->text() + block->used);
        for (size_t i = 0; i < step.n; ++i) text[i] = u'x';  // ASan checks the bounds
    }
    EXPECT_EQ(pool.getSize(), pool.hash.getSize() + (2 * 25 + 22) + 2 * (2 * 10 + 22));
}

TEST_F(UlAuxFctsTest, DupStringWithAndWithoutDeduplication) {
    ul_strpool_t pool;
    std::u16string first = u"TABLE_NAME", second = u"TABLE_NAME";
    char16_t* a = pool.dupString(first.c_str(), UL_STRPOOL_DEDUP);
    char16_t* b = pool.dupString(second.c_str(), UL_STRPOOL_DEDUP);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, first.c_str());
    EXPECT_EQ(std::u16string(a), u"TABLE_NAME");
    char16_t* c = pool.dupString(first.c_str());
    char16_t* d = pool.dupString(first.c_str());
    EXPECT_NE(c, d);
    EXPECT_NE(c, a);
    EXPECT_EQ(std::u16string(d), u"TABLE_NAME");
    EXPECT_EQ(pool.dupString(u"table_name", UL_STRPOOL_DEDUP) == a, false);  // case counts
    EXPECT_EQ(std::u16string(pool.dupString(u"", UL_STRPOOL_DEDUP)), u"");
    EXPECT_EQ(pool.dupString(nullptr), nullptr);
    EXPECT_EQ(pool.hash.getCount(), 3);
    EXPECT_EQ(pool.blocks->used, 4 * 11 + 1u);  // four copies of 11 units and ""
}

TEST_F(UlAuxFctsTest, ClearRecyclesBlocksAndForgetsStrings) {
    ul_strpool_t pool(16);
    char16_t* first = pool.dupString(u"0123456789", UL_STRPOOL_DEDUP);
    pool.dupString(u"abcdefghij", UL_STRPOOL_DEDUP);
    ul_strpoolblock_t* newest = pool.blocks;
    ASSERT_EQ(blockFill(pool).size(), 2u);
    pool.clear();
    EXPECT_EQ(pool.blocks, newest);
    EXPECT_EQ(blockFill(pool), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 16}, {0, 16}}));
    EXPECT_TRUE(pool.hash.isEmpty());
    char16_t* again = pool.dupString(u"zzzz", UL_STRPOOL_DEDUP);
    EXPECT_EQ(again, newest->text());  // space is reused from the newest block on
    EXPECT_EQ(pool.dupString(u"0123456789", UL_STRPOOL_DEDUP) == first, false);
    EXPECT_EQ(pool.hash.getCount(), 2);
}

TEST_F(UlAuxFctsTest, RestorePositionRecyclesLaterSpace) {
    ul_strpool_t pool(16);
    char16_t* kept = pool.dupString(u"kept", UL_STRPOOL_DEDUP);
    const ul_strpoolpos_t mark = pool.savePosition();
    char16_t* later = pool.dupString(u"later", UL_STRPOOL_DEDUP);
    pool.dupString(u"in a new block", UL_STRPOOL_DEDUP);
    ASSERT_EQ(blockFill(pool).size(), 2u);

    pool.restorePosition(mark);
    EXPECT_EQ(blockFill(pool), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 16}, {5, 16}}));
    EXPECT_EQ(pool.hash.getCount(), 1);  // strings in recycled space are forgotten
    EXPECT_EQ(pool.dupString(u"kept", UL_STRPOOL_DEDUP), kept);
    // The recycled space is handed out again; "later" is a new, intact copy.
    char16_t* reused = pool.dupString(u"12345678901", 0);
    EXPECT_EQ(reused, pool.blocks->text());
    char16_t* laterAgain = pool.dupString(u"later", UL_STRPOOL_DEDUP);
    EXPECT_EQ(std::u16string(laterAgain), u"later");
    EXPECT_EQ(laterAgain, later);  // the oldest block had room again at the same place
    EXPECT_EQ(std::u16string(kept), u"kept");

    ul_strpool_t empty(8);
    const ul_strpoolpos_t start = empty.savePosition();
    empty.dupString(u"one", UL_STRPOOL_DEDUP);
    empty.dupString(u"two two", UL_STRPOOL_DEDUP);
    empty.restorePosition(start);
    EXPECT_EQ(blockFill(empty), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 8}, {0, 8}}));
    EXPECT_TRUE(empty.hash.isEmpty());
}

TEST_F(UlAuxFctsTest, FailedDupChangesNothing) {
    const std::u16string oom = outOfMemoryText();
    ul_strpool_t pool(8);
    pool.dupString(u"1234567", UL_STRPOOL_DEDUP);  // fills the first block
    const long countBefore = pool.hash.getCount();
    // Entry, key copy, new block: each failure leaves pool and hash as they were.
    for (long failAt = 0; failAt < 3; ++failAt) {
        SCOPED_TRACE(failAt);
        ul_errorsetmsg(0, u"");
        ul_memfailafter(failAt);
        EXPECT_EQ(pool.dupString(u"new", UL_STRPOOL_DEDUP), nullptr);
        ul_memfailafter(-1);
        EXPECT_EQ(errorText(), oom);
        EXPECT_EQ(pool.hash.getCount(), countBefore);
        EXPECT_EQ(pool.hash.get(u"new", 1), nullptr);
        EXPECT_EQ(blockFill(pool).size(), 1u);
    }
    char16_t* copy = pool.dupString(u"new", UL_STRPOOL_DEDUP);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(pool.dupString(u"new", UL_STRPOOL_DEDUP), copy);
}

TEST_F(UlAuxFctsTest, DestroyLeavesAReusablePool) {
    ul_strpool_t pool(4);
    for (int i = 0; i < 10; ++i) pool.dupString(u"abc", 0);
    pool.destroy();
    EXPECT_EQ(pool.blocks, nullptr);
    EXPECT_TRUE(pool.hash.isEmpty());
    EXPECT_NE(pool.dupString(u"abc", UL_STRPOOL_DEDUP), nullptr);
    EXPECT_EQ(pool.hash.getCount(), 1);
}  // the destructor frees the rest; ASan reports leaks

}  // namespace

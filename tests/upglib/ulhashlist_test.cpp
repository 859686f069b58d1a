#include "ulhashlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "testutil.h"
#include "ulauxfcts.h"
#include "uldllist.h"
#include "ulerror.h"
#include "ultrace.h"

namespace {

using Strings = std::vector<std::u16string>;



char16_t* heapString(const char16_t* text) {
    return ul_strdup(text);
}

// All entries in iteration order as key -> value-as-int pairs.
std::vector<std::pair<std::u16string, int>> entries(ul_hashlist_t& hash) {
    std::vector<std::pair<std::u16string, int>> result;
    ul_hashlistiter_t it(&hash);
    const char16_t* key;
    while (void* value = it.next(&key)) {
        int v;
        memcpy(&v, value, sizeof(v));
        result.emplace_back(key, v);
    }
    return result;
}

// Keys that all fall into the same bucket of a table with the given bucket count.
Strings collidingKeys(uint32_t buckets, size_t count) {
    Strings keys;
    uint32_t target = ul_hashstring2val(u"k0", buckets);
    for (int i = 0; keys.size() < count; ++i) {
        std::u16string key =
            concat<char16_t>(u"k", std::u16string(1, static_cast<char16_t>(u'0' + i % 40)),
                             std::u16string(static_cast<size_t>(i / 40), u'x'));
        if (ul_hashstring2val(key.c_str(), buckets) == target) keys.push_back(key);
    }
    return keys;
}

void setInt(ul_hashlist_t& hash, const std::u16string& key, int value) {
    ASSERT_NE(hash.set(key.c_str(), &value, sizeof(value)), nullptr);
}

class UlHashListTest : public ::testing::Test {
  protected:
    void SetUp() override { hash.initHash(1); }
    void TearDown() override {
        // Trace streams of a test are gone by now: switch tracing off before freeing.
        ul_traceresetlevels();
        ul_tracesetglobalfileptr(nullptr);
        ul_memfailafter(-1);
        hash.freeHash();
    }
    ul_hashlist_t hash;
};

TEST_F(UlHashListTest, HashFunctionValues) {
    struct Case {
        std::u16string key;
        uint32_t buckets;
        uint32_t expected;
    };
    const Case cases[] = {
        {u"AB", 2039, (65u * 65536u + 66u) % 2039u},  // 435
        {u"", 2039, 0},
        {u"", 61, 0},
        {u"A", 61, 4},
        {u"ABC", 61, 39},
        {u"\uffff\uffff\uffff", 2039, 986},
        // With the large classes h * 65536 no longer fits 32 bits; 32-bit arithmetic would
        // give 1048648 and 3172655 here.
        {u"TABLE_NAME", 4194301, 2772380},
        {u"ZZ\u4e2d\u6587", 4194301, 3265487},
        {u"zz", 4194301, 3801213},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.key));
        EXPECT_EQ(ul_hashstring2val(c.key.c_str(), c.buckets), c.expected);
    }
}

TEST_F(UlHashListTest, BucketClasses) {
    const uint32_t expected[16] = {2039,  61,    251,    1021,   2039,   4093,    8191,    16381,
                                   32749, 65521, 131071, 262139, 524287, 1048573, 2097143, 4194301};
    for (int flags = 0; flags < 16; ++flags) {
        ul_hashlist_t h;
        h.initHash(flags);
        EXPECT_EQ(h.buckets, expected[flags]) << flags;
        EXPECT_EQ(h.chains, nullptr);  // no bucket array before the first insertion
        h.initHash(flags | 0x30);      // only the low four bits count
        EXPECT_EQ(h.buckets, expected[flags]) << flags;
    }
    ul_hashlist_t fresh;
    EXPECT_EQ(fresh.buckets, 2039u);
}

TEST_F(UlHashListTest, SetGetAndStoredKeyCopy) {
    char16_t key[] = u"TABLE";
    int isNew = -1;
    const char16_t* stored = nullptr;
    int value = 17;
    void* slot = hash.set(key, &value, sizeof(value), &isNew, &stored);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(isNew, 1);
    EXPECT_NE(stored, key);  // a private copy
    key[0] = u'X';           // so changing the caller's string changes nothing
    EXPECT_EQ(hash.get(u"TABLE"), slot);
    EXPECT_EQ(hash.getKey(u"TABLE"), stored);
    EXPECT_EQ(std::u16string(stored), u"TABLE");
    EXPECT_EQ(*static_cast<int*>(slot), 17);
    EXPECT_EQ(hash.get(u"table", UL_HASH_QUIET), nullptr);  // case-sensitive
    EXPECT_EQ(hash.getCount(), 1);
    EXPECT_FALSE(hash.isEmpty());
}

TEST_F(UlHashListTest, MissesReportUnlessQuiet) {
    setInt(hash, u"present", 1);
    struct Case {
        bool getKey;
        int flags;
        const char16_t* expected;
    };
    const Case cases[] = {
        {false, 0, u"No entry with key 'absent'"},
        {true, 0, u"No entry with key 'absent'"},
        {false, UL_HASH_QUIET, u"untouched"},
        {true, UL_HASH_QUIET, u"untouched"},
    };
    for (const Case& c : cases) {
        ul_errorsetmsg(0, u"untouched");
        const void* result = c.getKey ? static_cast<const void*>(hash.getKey(u"absent", c.flags))
                                      : hash.get(u"absent", c.flags);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(errorText(), c.expected);
    }
    ul_hashlist_t empty;  // no bucket array yet
    EXPECT_EQ(empty.get(u"x"), nullptr);
    EXPECT_EQ(errorText(), u"No entry with key 'x'");
    EXPECT_EQ(empty.del(u"x"), 0);
    EXPECT_TRUE(empty.isEmpty());
}

// A value that fits is overwritten in place and keeps its recorded size; a larger one moves to
// a new entry with a fresh key copy at the same chain position.
TEST_F(UlHashListTest, ReplacementRule) {
    struct Case {
        uint32_t oldSize;
        uint32_t newSize;
        bool sameAddress;
    };
    const Case cases[] = {{8, 4, true}, {8, 8, true}, {1, 0, true}, {4, 8, false}, {0, 1, false}};
    const Strings keys = collidingKeys(61, 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.oldSize << " -> " << c.newSize);
        ul_hashlist_t h;
        h.initHash(1);
        for (const auto& key : keys) ASSERT_NE(h.set(key.c_str(), nullptr, 0), nullptr);
        std::vector<unsigned char> oldBytes(c.oldSize, 0xAA), newBytes(c.newSize, 0x55);
        const char16_t* oldKey = nullptr;
        void* oldSlot = h.set(keys[1].c_str(), oldBytes.data(), c.oldSize, nullptr, &oldKey);
        long sizeBefore = h.getSize();

        int isNew = -1;
        const char16_t* newKey = nullptr;
        void* newSlot = h.set(keys[1].c_str(), newBytes.data(), c.newSize, &isNew, &newKey);
        ASSERT_NE(newSlot, nullptr);
        EXPECT_EQ(isNew, 0);
        EXPECT_EQ(newSlot == oldSlot, c.sameAddress);
        EXPECT_EQ(newKey == oldKey, c.sameAddress);
        EXPECT_EQ(h.getKey(keys[1].c_str()), newKey);
        if (c.newSize) {
            EXPECT_EQ(memcmp(newSlot, newBytes.data(), c.newSize), 0);
        }
        if (c.sameAddress) {
            // The old size stays recorded: the tail of the old value is still there.
            EXPECT_EQ(h.getSize(), sizeBefore);
            for (uint32_t i = c.newSize; i < c.oldSize; ++i)
                EXPECT_EQ(static_cast<unsigned char*>(newSlot)[i], 0xAA);
        } else {
            EXPECT_EQ(h.getSize(), sizeBefore + c.newSize - c.oldSize);
        }
        // Chain order is unchanged: the replaced key is still second of the three.
        Strings order;
        ul_hashlistiter_t it(&h);
        const char16_t* key;
        while (it.next(&key)) order.emplace_back(key);
        EXPECT_EQ(order, keys);
        EXPECT_EQ(h.getCount(), 3);
        h.freeHash();
    }
}

TEST_F(UlHashListTest, NullDataLeavesValueForCaller) {
    auto* slot = static_cast<int*>(hash.set(u"k", nullptr, sizeof(int)));
    ASSERT_NE(slot, nullptr);
    *slot = 99;
    EXPECT_EQ(hash.set(u"k", nullptr, sizeof(int)), slot);
    EXPECT_EQ(*slot, 99);  // reuse without data keeps the bytes
}

// Adopted keys become the stored key or are freed; ASan reports a leak or double free if
// ownership is handled wrongly on any path.
TEST_F(UlHashListTest, AdoptedKeys) {
    char16_t* first = heapString(u"adopted");
    const char16_t* stored = nullptr;
    int isNew = -1;
    ASSERT_NE(hash.set(first, nullptr, 4, &isNew, &stored, UL_HASH_ADOPTKEY), nullptr);
    EXPECT_EQ(isNew, 1);
    EXPECT_EQ(stored, first);

    char16_t* second = heapString(u"adopted");  // present and big enough: second is freed
    ASSERT_NE(hash.set(second, nullptr, 2, &isNew, &stored, UL_HASH_ADOPTKEY), nullptr);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(stored, first);

    char16_t* third = heapString(u"adopted");  // present but too small: third replaces first
    ASSERT_NE(hash.set(third, nullptr, 64, &isNew, &stored, UL_HASH_ADOPTKEY), nullptr);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(stored, third);
    EXPECT_EQ(hash.getKey(u"adopted"), third);

    ul_memfailafter(0);  // a failing insertion still consumes the adopted key
    EXPECT_EQ(hash.set(heapString(u"lost"), nullptr, 4, nullptr, nullptr, UL_HASH_ADOPTKEY),
              nullptr);
    EXPECT_EQ(hash.getCount(), 1);
}

TEST_F(UlHashListTest, FailedInsertionChangesNothing) {
    const std::u16string oom = outOfMemoryText();
    ul_hashlist_t fresh;  // first insertion also allocates the bucket array
    for (long failAt = 0; failAt < 3; ++failAt) {
        SCOPED_TRACE(failAt);
        ul_errorsetmsg(0, u"");
        ul_memfailafter(failAt);
        void* slot = fresh.set(u"key", nullptr, 4);
        ul_memfailafter(-1);
        if (slot) {
            EXPECT_EQ(failAt, 2);  // bucket array, entry, key copy: three allocations
            break;
        }
        EXPECT_EQ(errorText(), oom);
        EXPECT_EQ(fresh.getCount(), 0);
        EXPECT_EQ(fresh.get(u"key", UL_HASH_QUIET), nullptr);
    }
    EXPECT_EQ(fresh.getCount(), 1);
    fresh.freeHash();

    setInt(hash, u"grow", 1);
    void* before = hash.get(u"grow");
    for (long failAt = 0; failAt < 2; ++failAt) {  // entry, then key copy
        SCOPED_TRACE(failAt);
        ul_memfailafter(failAt);
        EXPECT_EQ(hash.set(u"grow", nullptr, 400), nullptr);
        ul_memfailafter(-1);
        EXPECT_EQ(hash.get(u"grow"), before);
        EXPECT_EQ(*static_cast<int*>(before), 1);
    }
}

TEST_F(UlHashListTest, DeleteCountAndSize) {
    const Strings keys = collidingKeys(61, 3);
    for (int i = 0; i < 3; ++i) setInt(hash, keys[i], i);
    setInt(hash, u"other", 9);
    long expectedSize = 16 + 8 * 61;
    for (const auto& key : keys) expectedSize += 26 + 2 * static_cast<long>(key.size()) + 4;
    expectedSize += 26 + 2 * 5 + 4;
    EXPECT_EQ(hash.getSize(), expectedSize);
    EXPECT_EQ(hash.getCount(), 4);

    EXPECT_EQ(hash.del(keys[1].c_str()), 1);  // middle of a chain
    EXPECT_EQ(hash.del(keys[1].c_str()), 0);
    EXPECT_EQ(hash.del(keys[0].c_str()), 1);  // head of a chain
    EXPECT_EQ(hash.getCount(), 2);
    EXPECT_EQ(*static_cast<int*>(hash.get(keys[2].c_str())), 2);
    EXPECT_EQ(hash.del(keys[2].c_str()), 1);
    EXPECT_EQ(hash.del(u"other"), 1);
    EXPECT_TRUE(hash.isEmpty());
    EXPECT_EQ(hash.getSize(), 16 + 8 * 61);
}

TEST_F(UlHashListTest, Statistics) {
    ul_hashliststat_t stat{-1, -1};
    ul_hashliststat(&hash, &stat);
    EXPECT_EQ(stat.filledBuckets, 0);
    EXPECT_EQ(stat.longestChain, 0);
    for (const auto& key : collidingKeys(61, 4)) setInt(hash, key, 0);
    setInt(hash, u"A", 0);  // bucket 4
    ul_hashliststat(&hash, &stat);
    EXPECT_EQ(stat.filledBuckets,
              ul_hashstring2val(u"A", 61) == ul_hashstring2val(u"k0", 61) ? 1 : 2);
    EXPECT_EQ(stat.longestChain, 4);
}

TEST_F(UlHashListTest, IterationInBucketThenChainOrder) {
    // Expected order: by bucket, and by insertion within a bucket.
    Strings keys;
    for (int i = 0; i < 200; ++i)
        keys.push_back(u"key" + std::u16string(1, u'A' + i % 26) +
                       std::u16string(static_cast<size_t>(i / 26), u'#'));
    std::vector<std::pair<uint32_t, int>> order;
    for (int i = 0; i < static_cast<int>(keys.size()); ++i) {
        setInt(hash, keys[i], i);
        order.emplace_back(ul_hashstring2val(keys[i].c_str(), 61), i);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    auto walked = entries(hash);
    ASSERT_EQ(walked.size(), order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(walked[i].first, keys[order[i].second]) << i;
        EXPECT_EQ(walked[i].second, order[i].second) << i;
    }

    // Deleting the entry just returned does not disturb the walk.
    ul_hashlistiter_t it(&hash);
    const char16_t* key;
    void* value;
    int seen = 0;
    while (ul_hashlistiternext(&it, &key, &value) == 1) {
        ++seen;
        if (seen % 2) {
            EXPECT_EQ(hash.del(key), 1);
        }
    }
    EXPECT_EQ(seen, 200);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(ul_hashlistiternext(&it, &key, &value), 0);  // stays at the end
    EXPECT_EQ(hash.getCount(), 100);

    ul_hashlist_t empty;
    ul_hashlistiter_t none(&empty);
    key = u"sentinel";
    EXPECT_EQ(none.next(&key), nullptr);
    EXPECT_EQ(key, nullptr);
}

TEST_F(UlHashListTest, SetZeroAndStringValues) {
    EXPECT_EQ(ul_hashlistset0(&hash, u"k"), 1);
    EXPECT_EQ(ul_hashlistset0(&hash, u"k"), 0);
    EXPECT_EQ(hash.getSize(), 16 + 8 * 61 + 26 + 2 + 0);

    int isNew = -1;
    auto* value = static_cast<char16_t*>(ul_hashlistsetstring(&hash, u"s", u"long value", &isNew));
    EXPECT_EQ(isNew, 1);
    EXPECT_EQ(std::u16string(value), u"long value");
    // A shorter string is written over the old one with its terminator.
    EXPECT_EQ(ul_hashlistsetstring(&hash, u"s", u"short", &isNew), value);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(std::u16string(static_cast<char16_t*>(hash.get(u"s"))), u"short");
    EXPECT_NE(ul_hashlistsetstring(&hash, u"n", nullptr), nullptr);
    EXPECT_EQ(hash.getSize(), 16 + 8 * 61 + (26 + 2) + (26 + 2 + 22) + (26 + 2));
}

TEST_F(UlHashListTest, ClearAndFree) {
    for (const char16_t* key : {u"a", u"b", u"c"}) setInt(hash, key, 5);
    static std::multiset<std::u16string> reported;
    reported.clear();
    auto report = [](void* value, const char16_t* key) {
        EXPECT_EQ(*static_cast<int*>(value), 5);
        reported.insert(key);
    };
    hash.clearHash(report);
    EXPECT_EQ(reported, (std::multiset<std::u16string>{u"a", u"b", u"c"}));
    EXPECT_TRUE(hash.isEmpty());
    EXPECT_NE(hash.chains, nullptr);  // buckets stay for reuse
    EXPECT_EQ(hash.buckets, 61u);
    setInt(hash, u"again", 5);

    hash.freeHash(report);
    EXPECT_EQ(reported.count(u"again"), 1u);
    EXPECT_EQ(hash.chains, nullptr);
    EXPECT_EQ(hash.buckets, 0u);
    ul_errorsetmsg(0, u"");
    EXPECT_EQ(hash.set(u"x", nullptr, 0), nullptr);  // needs initHash first
    EXPECT_NE(errorText(), u"");
    char16_t* adopted = heapString(u"y");  // consumed even then
    EXPECT_EQ(hash.set(adopted, nullptr, 0, nullptr, nullptr, UL_HASH_ADOPTKEY), nullptr);
    hash.initHash(2);
    EXPECT_EQ(ul_hashlistset0(&hash, u"x"), 1);
}

TEST_F(UlHashListTest, FreeHashTracesStatistics) {
    for (const auto& key : collidingKeys(61, 3)) setInt(hash, key, 0);
    std::u16string big(1000, u'b');
    ASSERT_NE(hash.set(big.c_str(), nullptr, 2000), nullptr);
    const long size = hash.getSize();
    ul_hashliststat_t stat;
    ul_hashliststat(&hash, &stat);

    MemoryStream quiet;
    ul_tracesetglobalfileptr(quiet.get());
    ul_hashlist_t other;
    other.initHash(1);
    ul_hashlistset0(&other, u"q");
    other.freeHash();  // HASH trace off: nothing written
    EXPECT_EQ(quiet.text(), "");

    MemoryStream trace;
    ul_tracesetglobalfileptr(trace.get());
    ul_tracesetlevel(UL_TRC_HASH, 1, 0);
    hash.freeHash();
    std::string expected = std::to_string(stat.filledBuckets) + " slots filled, longest chain is " +
                           std::to_string(stat.longestChain) + ", size used " +
                           std::to_string(size / 1024) + "kB.";
    EXPECT_NE(trace.text().find(expected), std::string::npos) << trace.text();
    EXPECT_EQ(size / 1024, 4);
    EXPECT_GE(stat.longestChain, 3);
}

int reverseCompare(void*, const void* a, const void* b) {
    return ul_strcmp(static_cast<const char16_t*>(b), static_cast<const char16_t*>(a));
}

Strings listContents(ul_dllist_t& list) {
    Strings result;
    for (ul_dllistnode_t* node = list.head; node->next; node = node->next)
        result.emplace_back(node->str());
    return result;
}

TEST_F(UlHashListTest, ToStringList) {
    const Strings keys = {u"pear", u"apple", u"Zebra", u"fig", u"banana"};
    for (const auto& key : keys) {
        std::u16string value = u"v:" + key;
        ASSERT_NE(ul_hashlistsetstring(&hash, key.c_str(), value.c_str()), nullptr);
    }
    ul_hashlistset0(&hash, u"empty");

    struct Case {
        int flags;
        Strings expected;  // empty: any order, compared as a set
    };
    const Case cases[] = {
        {UL_HASH2DLL_SORT, {u"Zebra", u"apple", u"banana", u"empty", u"fig", u"pear"}},
        {UL_HASH2DLL_SORT | UL_HASH2DLL_VALUES,
         {u"", u"v:Zebra", u"v:apple", u"v:banana", u"v:fig", u"v:pear"}},
        {0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        ul_dllist_t list;
        EXPECT_EQ(ul_hashlist2dll(&hash, &list, c.flags), 6);
        Strings got = listContents(list);
        if (c.expected.empty()) {
            std::sort(got.begin(), got.end());
            EXPECT_EQ(got, Strings({u"Zebra", u"apple", u"banana", u"empty", u"fig", u"pear"}));
        } else {
            EXPECT_EQ(got, c.expected);
        }
        list.freeList(0);
    }

    // Sorting covers the nodes that were there before as well.
    ul_dllist_t list;
    ul_dllistcreateaddstrnode(&list, u"mango", -1);
    EXPECT_EQ(ul_hashlist2dll(&hash, &list, UL_HASH2DLL_SORT), 6);
    EXPECT_EQ(listContents(list),
              Strings({u"Zebra", u"apple", u"banana", u"empty", u"fig", u"mango", u"pear"}));
    list.sort(reverseCompare, nullptr);
    EXPECT_EQ(listContents(list).front(), u"pear");

    for (long failAt = 0; failAt < 6; ++failAt) {
        ul_memfailafter(failAt);
        EXPECT_EQ(ul_hashlist2dll(&hash, &list, 0), -1);
        ul_memfailafter(-1);
        EXPECT_EQ(list.getCount(), 7);
    }
    list.freeList(0);
}

TEST_F(UlHashListTest, StringToHashList) {
    struct Case {
        const char16_t* text;
        char16_t separator;
        int words;
        std::set<std::u16string> keys;
    };
    const Case cases[] = {
        {u"T1,T2 ,T1", u',', 3, {u"T1", u"T2"}},
        {u"  A B\tC ", u' ', 3, {u"A", u"B", u"C"}},
        {u"", u',', 0, {}},
        {u"x,,y", u',', 3, {u"x", u"", u"y"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.text));
        ul_hashlist_t h;
        EXPECT_EQ(ul_string2hashlist(&h, c.text, c.separator), c.words);
        std::set<std::u16string> got;
        ul_hashlistiter_t it(&h);
        const char16_t* key;
        while (it.next(&key)) got.insert(key);
        EXPECT_EQ(got, c.keys);
        h.freeHash();
    }
    std::u16string tooLong(16384, u'w');
    EXPECT_EQ(ul_string2hashlist(&hash, tooLong.c_str(), u','), -1);
}

// ---- Object form ----------------------------------------------------------------------------

int g_live = 0;

struct Table {
    explicit Table(int r) : rows(r) { ++g_live; }
    ~Table() { --g_live; }
    int rows;
};

TEST_F(UlHashListTest, ObjectHashOwnsItsValues) {
    {
        ULHashList<Table> tables(1);
        int isNew = -1;
        EXPECT_EQ(tables.set(u"T1", new Table(1), &isNew), 0);
        EXPECT_EQ(isNew, 1);
        EXPECT_EQ(tables.set(u"T2", new Table(2)), 0);
        EXPECT_EQ(tables.set(u"T1", new Table(10), &isNew), 0);  // replaces and deletes
        EXPECT_EQ(isNew, 0);
        EXPECT_EQ(g_live, 2);
        EXPECT_EQ(tables.get(u"T1")->rows, 10);
        Table* same = tables.get(u"T2");
        EXPECT_EQ(tables.set(u"T2", same), 0);  // storing the same object keeps it
        EXPECT_EQ(tables.get(u"T2")->rows, 2);
        ul_errorsetmsg(0, u"");
        EXPECT_EQ(tables.get(u"T3"), nullptr);
        EXPECT_EQ(errorText(), u"No entry with key 'T3'");

        EXPECT_EQ(tables.del(u"T1"), 1);
        EXPECT_EQ(tables.del(u"T1"), 0);
        EXPECT_EQ(g_live, 1);
        tables.clearHash();
        EXPECT_EQ(g_live, 0);
        EXPECT_EQ(tables.set(u"T4", new Table(4)), 0);

        ul_memfailafter(0);
        Table* kept = new Table(5);
        EXPECT_EQ(tables.set(u"T5", kept), -1);  // the caller still owns it
        ul_memfailafter(-1);
        delete kept;
    }
    EXPECT_EQ(g_live, 0);  // the destructor deleted T4

    Table outside(7);
    {
        ULHashList<Table> borrowed(0, false);
        borrowed.set(u"t", &outside);
        EXPECT_EQ(borrowed.del(u"t"), 1);
        borrowed.set(u"t", &outside);
        borrowed.freeHash();
        EXPECT_EQ(borrowed.m_hash.chains, nullptr);
        borrowed.m_hash.initHash();
        borrowed.set(u"t", &outside);
    }
    EXPECT_EQ(outside.rows, 7);
    EXPECT_EQ(g_live, 1);
}

}  // namespace

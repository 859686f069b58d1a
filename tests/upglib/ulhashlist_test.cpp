#include "ulhashlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "testutil.h"
#include "tracecapture.h"
#include "ulauxfcts.h"
#include "uldllist.h"
#include "ulerror.h"

namespace {

using Strings = std::vector<std::u16string>;

// Keys that all fall into the same bucket of a table with the given bucket count.
Strings collidingKeys(uint32_t buckets, size_t count) {
    Strings keys;
    uint32_t target = ul_hashstring2val(u"k0", buckets);
    for (int i = 0; keys.size() < count; ++i) {
        std::u16string key = concat<char16_t>(u"k", std::u16string(1, static_cast<char16_t>(u'0' + i % 40)),
                                              std::u16string(static_cast<size_t>(i / 40), u'x'));
        if (ul_hashstring2val(key.c_str(), buckets) == target) keys.push_back(key);
    }
    return keys;
}

Strings keysInOrder(ul_hashlist_t& hash) {
    Strings keys;
    ul_hashlistiter_t it(&hash);
    const char16_t* key;
    while (it.next(&key)) keys.emplace_back(key);
    return keys;
}

void setInt(ul_hashlist_t& hash, const std::u16string& key, int value) {
    ASSERT_NE(hash.set(key.c_str(), &value, sizeof(value)), nullptr);
}

class UlHashListTest : public ::testing::Test {
  protected:
    void SetUp() override { hash.initHash(1); }  // 61 buckets
    void TearDown() override {
        ul_memfailafter(-1);
        hash.freeHash();
    }
    ul_hashlist_t hash;
};

TEST_F(UlHashListTest, HashFunctionValues) {
    const std::tuple<std::u16string, uint32_t, uint32_t> cases[] = {
        {u"AB", 2039, (65u * 65536u + 66u) % 2039u}, {u"", 2039, 0}, {u"", 61, 0}, {u"A", 61, 4},
        {u"ABC", 61, 39}, {u"\uffff\uffff\uffff", 2039, 986},
        // With the large classes h * 65536 no longer fits 32 bits; 32-bit arithmetic would
        // give 1048648 and 3172655 here.
        {u"TABLE_NAME", 4194301, 2772380}, {u"ZZ\u4e2d\u6587", 4194301, 3265487},
        {u"zz", 4194301, 3801213},
    };
    for (const auto& [key, buckets, expected] : cases)
        EXPECT_EQ(ul_hashstring2val(key.c_str(), buckets), expected) << u8(key);
}

// Bucket counts are primes chosen by the low four bits; classes 1 to 15 grow (0 is the default).
TEST_F(UlHashListTest, BucketClassesAreGrowingPrimes) {
    uint32_t previous = 0;
    for (int flags = 0; flags < 16; ++flags) {
        ul_hashlist_t h;
        h.initHash(flags | 0x30);
        for (uint32_t d = 2; d * d <= h.buckets; ++d) ASSERT_NE(h.buckets % d, 0u) << h.buckets;
        if (flags > 0) { EXPECT_GT(h.buckets, previous) << flags; }
        if (flags > 0) previous = h.buckets;
    }
}

// Property: random sets, gets and deletes agree with a std::map in content, count, size
// accounting and iteration; an entry is header, key copy and value.
TEST_F(UlHashListTest, RandomOperationsAgreeWithAMap) {
    std::mt19937 random(3);
    std::map<std::u16string, std::pair<int, uint32_t>> model;  // key -> value, recorded size
    for (int step = 0; step < 4000; ++step) {
        std::u16string key = u"K" + std::u16string(1, static_cast<char16_t>(u'a' + random() % 26)) +
                             std::u16string(random() % 3, u'#');
        int value = static_cast<int>(random() % 1000);
        switch (random() % 3) {
            case 0: {
                int isNew = -1;
                void* slot = hash.set(key.c_str(), &value, 4, &isNew);
                ASSERT_NE(slot, nullptr);
                auto found = model.find(key);
                ASSERT_EQ(isNew, found == model.end());
                model[key] = {value, 4};
                break;
            }
            case 1: {
                void* slot = hash.get(key.c_str(), UL_HASH_QUIET);
                auto found = model.find(key);
                ASSERT_EQ(slot != nullptr, found != model.end());
                if (slot) { ASSERT_EQ(*static_cast<int*>(slot), found->second.first); }
                break;
            }
            default:
                ASSERT_EQ(hash.del(key.c_str()), static_cast<int>(model.erase(key)));
        }
        ASSERT_EQ(hash.getCount(), static_cast<long>(model.size()));
        ASSERT_EQ(hash.isEmpty(), model.empty());
    }
    long size = 16 + 8 * 61;
    std::set<std::u16string> expected;
    for (const auto& [key, entry] : model) {
        size += 26 + 2 * static_cast<long>(key.size()) + entry.second;
        expected.insert(key);
    }
    EXPECT_EQ(hash.getSize(), size);
    Strings walked = keysInOrder(hash);
    EXPECT_EQ(std::set<std::u16string>(walked.begin(), walked.end()), expected);
    EXPECT_EQ(walked.size(), expected.size());
}

TEST_F(UlHashListTest, SetGetAndStoredKeyCopy) {
    char16_t key[] = u"TABLE";
    int isNew = -1, value = 17;
    const char16_t* stored = nullptr;
    void* slot = hash.set(key, &value, sizeof(value), &isNew, &stored);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(isNew, 1);
    key[0] = u'X';  // a private copy: changing the caller's string changes nothing
    EXPECT_EQ(hash.get(u"TABLE"), slot);
    EXPECT_EQ(hash.getKey(u"TABLE"), stored);
    EXPECT_EQ(std::u16string(stored), u"TABLE");
    EXPECT_EQ(hash.get(u"table", UL_HASH_QUIET), nullptr);  // case-sensitive
    // Misses store a message unless quiet.
    for (int flags : {0, int(UL_HASH_QUIET)}) {
        ul_errorsetmsg(0, u"untouched");
        EXPECT_EQ(hash.get(u"absent", flags), nullptr);
        EXPECT_EQ(errorText(), flags ? u"untouched" : u"No entry with key 'absent'");
        ul_errorsetmsg(0, u"untouched");
        EXPECT_EQ(hash.getKey(u"absent", flags), nullptr);
        EXPECT_EQ(errorText(), flags ? u"untouched" : u"No entry with key 'absent'");
    }
    ul_hashlist_t empty;  // no bucket array yet
    EXPECT_EQ(empty.get(u"x", UL_HASH_QUIET), nullptr);
    EXPECT_EQ(empty.del(u"x"), 0);
    EXPECT_TRUE(empty.isEmpty());
}

// A value that fits is overwritten in place and keeps its recorded size; a larger one moves to
// a new entry with a fresh key copy at the same chain position. Without data the bytes stay.
TEST_F(UlHashListTest, ReplacementRule) {
    const std::tuple<uint32_t, uint32_t, bool, bool> cases[] = {
        {8, 4, true, true},  {8, 8, true, true},  {1, 0, true, true},
        {4, 8, false, true}, {0, 1, false, true}, {4, 4, true, false}};
    const Strings keys = collidingKeys(61, 3);
    for (const auto& [oldSize, newSize, sameAddress, withData] : cases) {
        SCOPED_TRACE(::testing::Message() << oldSize << " -> " << newSize);
        ul_hashlist_t h;
        h.initHash(1);
        for (const auto& key : keys) ASSERT_NE(h.set(key.c_str(), nullptr, 0), nullptr);
        std::vector<unsigned char> oldBytes(oldSize, 0xAA), newBytes(newSize, 0x55);
        const char16_t *oldKey = nullptr, *newKey = nullptr;
        void* oldSlot = h.set(keys[1].c_str(), oldBytes.data(), oldSize, nullptr, &oldKey);
        long sizeBefore = h.getSize();
        int isNew = -1;
        void* newSlot =
            h.set(keys[1].c_str(), withData ? newBytes.data() : nullptr, newSize, &isNew, &newKey);
        ASSERT_NE(newSlot, nullptr);
        EXPECT_EQ(isNew, 0);
        EXPECT_EQ(newSlot == oldSlot, sameAddress);
        EXPECT_EQ(newKey == oldKey, sameAddress);
        EXPECT_EQ(h.getKey(keys[1].c_str()), newKey);
        const auto& expected = withData ? newBytes : oldBytes;
        EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + newSize,
                               static_cast<unsigned char*>(newSlot)));
        // In place the old size stays recorded: the tail of the old value is still there.
        EXPECT_EQ(h.getSize(), sizeBefore + (sameAddress ? 0 : long(newSize) - long(oldSize)));
        for (uint32_t i = newSize; sameAddress && i < oldSize; ++i)
            EXPECT_EQ(static_cast<unsigned char*>(newSlot)[i], 0xAA);
        EXPECT_EQ(keysInOrder(h), keys);  // the replaced key is still second of the three
        h.freeHash();
    }
}

// Adopted keys become the stored key or are freed; ASan reports a leak or double free if
// ownership is handled wrongly on any path.
TEST_F(UlHashListTest, AdoptedKeys) {
    char16_t* first = ul_strdup(u"adopted");
    const char16_t* stored = nullptr;
    int isNew = -1;
    ASSERT_NE(hash.set(first, nullptr, 4, &isNew, &stored, UL_HASH_ADOPTKEY), nullptr);
    EXPECT_EQ(isNew, 1);
    EXPECT_EQ(stored, first);
    // Present and big enough: the second copy is freed.
    ASSERT_NE(hash.set(ul_strdup(u"adopted"), nullptr, 2, &isNew, &stored, UL_HASH_ADOPTKEY), nullptr);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(stored, first);
    char16_t* third = ul_strdup(u"adopted");  // present but too small: third replaces first
    ASSERT_NE(hash.set(third, nullptr, 64, &isNew, &stored, UL_HASH_ADOPTKEY), nullptr);
    EXPECT_EQ(stored, third);
    EXPECT_EQ(hash.getKey(u"adopted"), third);
    ul_memfailafter(0);  // a failing insertion still consumes the adopted key
    EXPECT_EQ(hash.set(ul_strdup(u"lost"), nullptr, 4, nullptr, nullptr, UL_HASH_ADOPTKEY), nullptr);
    EXPECT_EQ(hash.getCount(), 1);
}

TEST_F(UlHashListTest, FailedInsertionChangesNothing) {
    ul_hashlist_t fresh;  // two allocations: the bucket array, then the entry with its key
    for (long failAt = 0; failAt < 2; ++failAt) {
        SCOPED_TRACE(failAt);
        ul_errorsetmsg(0, u"");
        ul_memfailafter(failAt);
        EXPECT_EQ(fresh.set(u"key", nullptr, 4), nullptr);
        ul_memfailafter(-1);
        EXPECT_EQ(errorText(), outOfMemoryText());
        EXPECT_EQ(fresh.getCount(), 0);
    }
    ul_memfailafter(2);
    EXPECT_NE(fresh.set(u"key", nullptr, 4), nullptr);
    ul_memfailafter(-1);
    EXPECT_EQ(fresh.getCount(), 1);
    fresh.freeHash();
    setInt(hash, u"grow", 1);
    void* before = hash.get(u"grow");
    for (long failAt = 0; failAt < 2; ++failAt) {  // entry, then key copy
        ul_memfailafter(failAt);
        EXPECT_EQ(hash.set(u"grow", nullptr, 400), nullptr);
        ul_memfailafter(-1);
        EXPECT_EQ(hash.get(u"grow"), before);
        EXPECT_EQ(*static_cast<int*>(before), 1);
    }
}

TEST_F(UlHashListTest, StatisticsAndTheirTrace) {
    ul_hashliststat_t stat{-1, -1};
    ul_hashliststat(&hash, &stat);
    EXPECT_EQ(stat.filledBuckets, 0);
    EXPECT_EQ(stat.longestChain, 0);
    for (const auto& key : collidingKeys(61, 4)) setInt(hash, key, 0);
    setInt(hash, u"A", 0);  // bucket 4
    ul_hashliststat(&hash, &stat);
    EXPECT_EQ(stat.filledBuckets, ul_hashstring2val(u"A", 61) == ul_hashstring2val(u"k0", 61) ? 1 : 2);
    EXPECT_EQ(stat.longestChain, 4);
    ASSERT_NE(hash.set(std::u16string(1000, u'b').c_str(), nullptr, 2000), nullptr);
    const long size = hash.getSize();
    ul_hashliststat(&hash, &stat);
    {
        TraceCapture quiet(UL_TRC_HASH, 0);
        ul_hashlist_t other;
        ul_hashlistset0(&other, u"q");
        other.freeHash();
        EXPECT_EQ(quiet.text(), "");
    }
    TraceCapture trace(UL_TRC_HASH, 1);
    hash.freeHash();
    EXPECT_EQ(size / 1024, 4);
    std::string expected = std::to_string(stat.filledBuckets) + " slots filled, longest chain is " +
                           std::to_string(stat.longestChain) + ", size used 4kB.";
    EXPECT_NE(trace.text().find(expected), std::string::npos) << trace.text();
}

TEST_F(UlHashListTest, IterationInBucketThenChainOrder) {
    Strings keys;
    std::vector<std::pair<uint32_t, int>> order;
    for (int i = 0; i < 200; ++i) {
        keys.push_back(u"key" + std::u16string(1, u'A' + i % 26) + std::u16string(i / 26, u'#'));
        setInt(hash, keys[i], i);
        order.emplace_back(ul_hashstring2val(keys[i].c_str(), 61), i);
    }
    // By bucket, and by insertion within a bucket.
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Strings expected;
    for (const auto& entry : order) expected.push_back(keys[entry.second]);
    EXPECT_EQ(keysInOrder(hash), expected);

    // Deleting the entry just returned does not disturb the walk.
    ul_hashlistiter_t it(&hash);
    const char16_t* key;
    void* value;
    int seen = 0;
    while (ul_hashlistiternext(&it, &key, &value) == 1) {
        EXPECT_EQ(*static_cast<int*>(value), order[seen].second);
        if (++seen % 2) { EXPECT_EQ(hash.del(key), 1); }
    }
    EXPECT_EQ(seen, 200);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(ul_hashlistiternext(&it, &key, &value), 0);  // stays at the end
    EXPECT_EQ(hash.getCount(), 100);
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
    // An adopted key is consumed even then.
    EXPECT_EQ(hash.set(ul_strdup(u"y"), nullptr, 0, nullptr, nullptr, UL_HASH_ADOPTKEY), nullptr);
    hash.initHash(2);
    EXPECT_EQ(ul_hashlistset0(&hash, u"x"), 1);
    EXPECT_EQ(ul_hashlistset0(&hash, u"x"), 0);
}

Strings listContents(ul_dllist_t& list) {
    Strings result;
    for (ul_dllistnode_t* node = list.head; node->next; node = node->next) result.emplace_back(node->str());
    return result;
}

TEST_F(UlHashListTest, ToStringList) {
    // The shorter value is written over this one with its terminator.
    ASSERT_NE(ul_hashlistsetstring(&hash, u"pear", u"a much longer value"), nullptr);
    for (const char16_t* key : {u"pear", u"apple", u"Zebra", u"fig", u"banana"})
        ASSERT_NE(ul_hashlistsetstring(&hash, key, (u"v:" + std::u16string(key)).c_str()), nullptr);
    ASSERT_NE(ul_hashlistsetstring(&hash, u"empty", nullptr), nullptr);
    const Strings sortedKeys = {u"Zebra", u"apple", u"banana", u"empty", u"fig", u"pear"};
    for (int flags : {0, int(UL_HASH2DLL_SORT), UL_HASH2DLL_SORT | UL_HASH2DLL_VALUES}) {
        SCOPED_TRACE(flags);
        ul_dllist_t list;
        EXPECT_EQ(ul_hashlist2dll(&hash, &list, flags), 6);
        Strings got = listContents(list);
        if (!flags) std::sort(got.begin(), got.end());
        EXPECT_EQ(got, flags & UL_HASH2DLL_VALUES
                           ? Strings({u"", u"v:Zebra", u"v:apple", u"v:banana", u"v:fig", u"v:pear"})
                           : sortedKeys);
        list.freeList(0);
    }
    // Sorting covers the nodes that were there before as well.
    ul_dllist_t list;
    ul_dllistcreateaddstrnode(&list, u"mango", -1);
    EXPECT_EQ(ul_hashlist2dll(&hash, &list, UL_HASH2DLL_SORT), 6);
    EXPECT_EQ(listContents(list), Strings({u"Zebra", u"apple", u"banana", u"empty", u"fig", u"mango", u"pear"}));
    for (long failAt = 0; failAt < 6; ++failAt) {
        ul_memfailafter(failAt);
        EXPECT_EQ(ul_hashlist2dll(&hash, &list, 0), -1);
        ul_memfailafter(-1);
        EXPECT_EQ(list.getCount(), 7);
    }
    list.freeList(0);
}

TEST_F(UlHashListTest, StringToHashList) {
    const std::tuple<const char16_t*, char16_t, int, Strings> cases[] = {
        {u"T1,T2 ,T1", u',', 3, {u"T1", u"T2"}}, {u"  A B\tC ", u' ', 3, {u"A", u"B", u"C"}},
        {u"", u',', 0, {}}, {u"x,,y", u',', 3, {u"", u"x", u"y"}}};
    for (const auto& [text, separator, words, keys] : cases) {
        SCOPED_TRACE(u8(text));
        ul_hashlist_t h;
        EXPECT_EQ(ul_string2hashlist(&h, text, separator), words);
        Strings got = keysInOrder(h);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, keys);
        h.freeHash();
    }
    EXPECT_EQ(ul_string2hashlist(&hash, std::u16string(16384, u'w').c_str(), u','), -1);
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
        EXPECT_EQ(tables.set(u"T2", tables.get(u"T2")), 0);  // storing the same object keeps it
        EXPECT_EQ(tables.get(u"T2")->rows, 2);
        EXPECT_EQ(tables.get(u"T3"), nullptr);
        EXPECT_EQ(tables.del(u"T1"), 1);
        EXPECT_EQ(tables.del(u"T1"), 0);
        EXPECT_EQ(g_live, 1);
        tables.clearHash();
        EXPECT_EQ(g_live, 0);
        EXPECT_EQ(tables.set(u"T4", new Table(4)), 0);
        ul_memfailafter(0);
        Table kept(5);
        EXPECT_EQ(tables.set(u"T5", &kept), -1);  // the caller still owns it
        ul_memfailafter(-1);
    }
    EXPECT_EQ(g_live, 0);  // the destructor deleted T4
    Table outside(7);
    {
        ULHashList<Table> borrowed(0, false);
        borrowed.set(u"t", &outside);
        EXPECT_EQ(borrowed.del(u"t"), 1);
        borrowed.set(u"t", &outside);
        borrowed.freeHash();
    }
    EXPECT_EQ(outside.rows, 7);
    EXPECT_EQ(g_live, 1);
}

}  // namespace

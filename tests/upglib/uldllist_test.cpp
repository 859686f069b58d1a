#include "uldllist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "testutil.h"
#include "ulauxfcts.h"
#include "ulerror.h"

namespace {

using Strings = std::vector<std::u16string>;

// Checks every link of the list against the sentinel layout: forward and backward walks
// agree, the ends point into the header, and tail stays null.
::testing::AssertionResult linksConsistent(ul_dllist_t& list) {
    if (list.tail) return ::testing::AssertionFailure() << "tail is not null";
    ul_dllistnode_t* expectedPrev = list.startSentinel();
    size_t forward = 0;
    for (ul_dllistnode_t* node = list.head; node != list.endSentinel(); node = node->next) {
        if (!node) return ::testing::AssertionFailure() << "null link before the end sentinel";
        if (node->prev != expectedPrev)
            return ::testing::AssertionFailure() << "prev of node " << forward << " is wrong";
        expectedPrev = node;
        ++forward;
    }
    if (list.tailpred != expectedPrev) return ::testing::AssertionFailure() << "tailpred is wrong";
    size_t backward = 0;
    for (ul_dllistnode_t* node = list.tailpred; node != list.startSentinel(); node = node->prev)
        ++backward;
    if (forward != backward)
        return ::testing::AssertionFailure()
               << forward << " nodes forward, " << backward << " backward";
    if (static_cast<int>(forward) != list.getCount())
        return ::testing::AssertionFailure() << "getCount disagrees with the walk";
    if (forward == 0 && (list.head != reinterpret_cast<ul_dllistnode_t*>(&list.tail) ||
                         list.tailpred != reinterpret_cast<ul_dllistnode_t*>(&list.head)))
        return ::testing::AssertionFailure() << "empty header is not self-referencing";
    return ::testing::AssertionSuccess();
}

Strings contents(ul_dllist_t& list) {
    Strings result;
    ul_dllistiter_t it(&list);
    while (ul_dllistnode_t* node = it.next()) result.emplace_back(node->str());
    return result;
}

void fill(ul_dllist_t& list, const Strings& words) {
    for (const auto& word : words)
        ASSERT_NE(ul_dllistcreateaddstrnode(&list, word.c_str(), -1), nullptr);
}



// Records release notices sent through a list's accessor.
struct NoticeLog {
    std::vector<std::u16string> released;
};

int recordingGetset(void* context, ul_dllistnode_t* node, char16_t* buffer, int length,
                    const char16_t* fieldName) {
    if (node && !buffer && !fieldName && length == -1)
        static_cast<NoticeLog*>(context)->released.emplace_back(node->str());
    return 0;
}

class UlDLListTest : public ::testing::Test {
  protected:
    void TearDown() override {
        ul_memfailafter(-1);
        list.freeList(0);
    }
    ul_dllist_t list;
};

TEST_F(UlDLListTest, EmptyListIsItsOwnSentinels) {
    EXPECT_TRUE(list.isEmpty());
    EXPECT_TRUE(linksConsistent(list));
    EXPECT_EQ(list.getCount(), 0);
    EXPECT_EQ(list.getNode(0), nullptr);
    EXPECT_EQ(list.getNode(-1), nullptr);
}

TEST_F(UlDLListTest, AddNodeLandsAtPosition) {
    struct Case {
        Strings initial;
        int position;
        Strings expected;
    };
    const Strings abc = {u"a", u"b", u"c"};
    const Case cases[] = {
        {{}, 0, {u"X"}},
        {{}, -1, {u"X"}},
        {{}, 7, {u"X"}},
        {{}, -7, {u"X"}},
        {abc, 0, {u"X", u"a", u"b", u"c"}},
        {abc, 1, {u"a", u"X", u"b", u"c"}},
        {abc, 2, {u"a", u"b", u"X", u"c"}},
        {abc, 3, {u"a", u"b", u"c", u"X"}},
        {abc, 10, {u"a", u"b", u"c", u"X"}},
        {abc, -1, {u"a", u"b", u"c", u"X"}},
        {abc, -2, {u"a", u"b", u"X", u"c"}},
        {abc, -3, {u"a", u"X", u"b", u"c"}},
        {abc, -4, {u"X", u"a", u"b", u"c"}},
        {abc, -10, {u"X", u"a", u"b", u"c"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "initial " << c.initial.size() << " position " << c.position);
        ul_dllist_t l;
        fill(l, c.initial);
        ul_dllistnode_t* node = ul_dllistcreatestrnode(u"X");
        l.addNode(node, c.position);
        EXPECT_TRUE(linksConsistent(l));
        EXPECT_EQ(contents(l), c.expected);
        l.freeList(0);
    }
}

TEST_F(UlDLListTest, GetNodeByIndex) {
    struct Case {
        int count;
        int index;
        int expected;  // -1: null
    };
    const Case cases[] = {
        {0, 0, -1}, {0, -1, -1}, {1, 0, 0},  {1, -1, 0}, {1, -2, -1}, {1, 1, -1},   {3, 0, 0},
        {3, 2, 2},  {3, 3, -1},  {3, -1, 2}, {3, -3, 0}, {3, -4, -1}, {3, 100, -1}, {3, -100, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.count << " nodes, index " << c.index);
        ul_dllist_t l;
        std::vector<ul_dllistnode_t*> nodes;
        for (int i = 0; i < c.count; ++i) nodes.push_back(ul_dllistcreateaddstrnode(&l, u"n", -1));
        EXPECT_EQ(l.getNode(c.index), c.expected < 0 ? nullptr : nodes[c.expected]);
        l.freeList(0);
    }
}

TEST_F(UlDLListTest, DeleteNodeRemovesOnlyTheIndexedNode) {
    struct Case {
        int index;
        Strings expected;
    };
    const Case cases[] = {
        {0, {u"b", u"c", u"d"}},        {3, {u"a", u"b", u"c"}},  {1, {u"a", u"c", u"d"}},
        {-1, {u"a", u"b", u"c"}},       {-4, {u"b", u"c", u"d"}}, {4, {u"a", u"b", u"c", u"d"}},
        {-5, {u"a", u"b", u"c", u"d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        ul_dllist_t l;
        fill(l, {u"a", u"b", u"c", u"d"});
        l.deleteNode(c.index, 0);
        EXPECT_TRUE(linksConsistent(l));
        EXPECT_EQ(contents(l), c.expected);
        l.freeList(0);
    }
}

TEST_F(UlDLListTest, ReleaseNoticesOnlyWhenAsked) {
    NoticeLog log;
    list.initList(recordingGetset, &log);
    fill(list, {u"a", u"b", u"c", u"d"});
    list.deleteNode(1, 0);
    EXPECT_TRUE(log.released.empty());
    list.deleteNode(1, 1);
    EXPECT_EQ(log.released, Strings({u"c"}));
    list.freeList(1);
    EXPECT_EQ(log.released, Strings({u"c", u"a", u"d"}));
    EXPECT_TRUE(linksConsistent(list));
    EXPECT_EQ(list.getset, &recordingGetset);  // the accessor survives freeList

    fill(list, {u"e"});
    list.freeList(0);
    EXPECT_EQ(log.released.size(), 3u);
    ul_dllistnode_t* node = ul_dllistcreatestrnode(u"f");
    ul_dllistfreenode2(&list, node);
    ul_dllistfreenode2(nullptr, ul_dllistcreatestrnode(u"g"));
    EXPECT_EQ(log.released, Strings({u"c", u"a", u"d", u"f"}));
}

TEST_F(UlDLListTest, IteratorWalksBothWaysAndStaysAtTheEnd) {
    for (int count : {0, 1, 3}) {
        SCOPED_TRACE(count);
        ul_dllist_t l;
        std::vector<ul_dllistnode_t*> nodes;
        for (int i = 0; i < count; ++i) nodes.push_back(ul_dllistcreateaddstrnode(&l, u"x", -1));
        ul_dllistiter_t it(&l);
        for (int i = 0; i < count; ++i) EXPECT_EQ(it.next(), nodes[i]);
        EXPECT_EQ(it.next(), nullptr);
        EXPECT_EQ(it.next(), nullptr);
        it.reset();
        for (int i = count - 1; i >= 0; --i) EXPECT_EQ(it.prev(), nodes[i]);
        EXPECT_EQ(it.prev(), nullptr);
        EXPECT_EQ(it.prev(), nullptr);
        if (count) {
            EXPECT_EQ(it.next(), nodes[0]);  // turning round at the start
        }
        l.freeList(0);
    }
}

// ---- Sort ---------------------------------------------------------------------------------

int compareFirstUnit(void*, const void* a, const void* b) {
    return static_cast<const char16_t*>(a)[0] - static_cast<const char16_t*>(b)[0];
}

TEST_F(UlDLListTest, SortIsStableOnEqualKeys) {
    fill(list, {u"b", u"a", u"b'", u"a'"});
    list.sort(compareFirstUnit, nullptr);
    EXPECT_TRUE(linksConsistent(list));
    EXPECT_EQ(contents(list), Strings({u"a", u"a'", u"b", u"b'"}));
}

struct Item {
    int key;
    int sequence;
};

int compareItems(void* context, const void* a, const void* b) {
    ++*static_cast<long*>(context);
    return static_cast<const Item*>(a)->key - static_cast<const Item*>(b)->key;
}

// Property: on any input the list sort gives exactly std::stable_sort's order, moves nodes
// rather than payloads, and leaves every link consistent.
TEST_F(UlDLListTest, SortMatchesStableSortOnGeneratedInputs) {
    std::mt19937 random(20240611);
    struct Shape {
        const char* name;
        int size;
        int keyRange;
        int order;  // 0 random, 1 ascending, -1 descending, 2 sawtooth
    };
    const Shape shapes[] = {
        {"single", 1, 5, 0},
        {"pair", 2, 2, 0},
        {"random small", 17, 4, 0},
        {"random", 1000, 10, 0},
        {"random wide", 3001, 100000, 0},
        {"ascending", 500, 50, 1},
        {"descending", 513, 50, -1},
        {"all equal", 300, 1, 0},
        {"sawtooth", 1024, 7, 2},
        {"large", 40000, 1000, 0},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        std::vector<Item> items;
        for (int i = 0; i < shape.size; ++i) {
            int key = static_cast<int>(random() % shape.keyRange);
            if (shape.order == 1) key = i / 3;
            if (shape.order == -1) key = (shape.size - i) / 3;
            if (shape.order == 2) key = i % shape.keyRange;
            items.push_back(Item{key, i});
        }
        ul_dllist_t l;
        std::vector<ul_dllistnode_t*> nodes;
        for (const Item& item : items) {
            nodes.push_back(ul_dllistcreatenode(&item, sizeof(item)));
            l.addNode(nodes.back(), -1);
        }
        long comparisons = 0;
        l.sort(compareItems, &comparisons);
        std::stable_sort(items.begin(), items.end(),
                         [](const Item& a, const Item& b) { return a.key < b.key; });
        ASSERT_TRUE(linksConsistent(l));
        size_t i = 0;
        for (ul_dllistnode_t* node = l.head; node->next; node = node->next, ++i) {
            auto* item = static_cast<Item*>(node->data());
            ASSERT_LT(i, items.size());
            ASSERT_EQ(item->key, items[i].key) << i;
            ASSERT_EQ(item->sequence, items[i].sequence) << i;
            ASSERT_EQ(node, nodes[item->sequence]);
        }
        EXPECT_EQ(i, items.size());
        // A natural merge sort needs n - 1 comparisons on input that is already in order.
        if (shape.order == 1) {
            EXPECT_EQ(comparisons, shape.size - 1);
        }
        l.freeList(0);
    }
}

class ReverseByLength : public ULDLListCompareOldNode {
  public:
    using ULDLListCompareOldNode::compare;
    int compare(const void* a, const void* b) override {
        return static_cast<int>(ul_strlen(static_cast<const char16_t*>(b))) -
               static_cast<int>(ul_strlen(static_cast<const char16_t*>(a)));
    }
};

TEST_F(UlDLListTest, SortWithCompareObjectAndOnEmptyList) {
    ReverseByLength byLength;
    list.sort(&byLength);
    EXPECT_TRUE(linksConsistent(list));
    fill(list, {u"bb", u"a", u"ccc", u"dd", u""});
    list.sort(&byLength);
    EXPECT_TRUE(linksConsistent(list));
    EXPECT_EQ(contents(list), Strings({u"ccc", u"bb", u"dd", u"a", u""}));
}

// ---- Header moves and node resizing ------------------------------------------------------

TEST_F(UlDLListTest, MoveHeadRepairsCopiedHeader) {
    for (int count : {0, 1, 3}) {
        SCOPED_TRACE(count);
        NoticeLog log;
        auto* original = static_cast<ul_dllist_t*>(malloc(sizeof(ul_dllist_t)));
        original->initList(recordingGetset, &log);
        for (int i = 0; i < count; ++i)
            ul_dllistcreateaddstrnode(original, std::u16string(1, u'a' + i).c_str(), -1);
        ul_dllist_t moved;
        memcpy(static_cast<void*>(&moved), original, sizeof(moved));
        free(original);  // ASan reports any later access through the old header
        moved.moveHead();
        EXPECT_TRUE(linksConsistent(moved));
        EXPECT_EQ(moved.getCount(), count);
        EXPECT_EQ(moved.getset, &recordingGetset);
        ul_dllistcreateaddstrnode(&moved, u"z", 0);
        EXPECT_TRUE(linksConsistent(moved));
        moved.freeList(1);
        EXPECT_EQ(log.released.size(), static_cast<size_t>(count + 1));
    }
}

TEST_F(UlDLListTest, ResizedNodeKeepsNeighboursLinked) {
    // Position of the resized node in a list of the given size.
    struct Case {
        int size;
        int index;
    };
    const Case cases[] = {{1, 0}, {3, 0}, {3, 1}, {3, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.size << " nodes, index " << c.index);
        ul_dllist_t l;
        for (int i = 0; i < c.size; ++i)
            ul_dllistcreateaddstrnode(&l, std::u16string(1, u'a' + i).c_str(), -1);
        ul_dllistnode_t* node = l.getNode(c.index);
        // Large enough that the allocator cannot grow the block in place.
        const size_t bigger = 1 << 20;
        node = ul_dllistresizenode(node, bigger);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->str()[0], u'a' + c.index);
        EXPECT_EQ(l.getNode(c.index), node);
        EXPECT_TRUE(linksConsistent(l));
        node = ul_dllistresizenode(node, 4);  // and back down
        EXPECT_EQ(l.getNode(c.index), node);
        EXPECT_TRUE(linksConsistent(l));
        l.freeList(0);
    }
    ul_dllistnode_t* loose = ul_dllistcreatestrnode(u"loose");
    loose = ul_dllistresizenode(loose, 1 << 20);
    EXPECT_EQ(loose->next, nullptr);
    EXPECT_EQ(loose->prev, nullptr);
    EXPECT_EQ(std::u16string(loose->str()), u"loose");
    ul_dllistfreenode2(nullptr, loose);
}

TEST_F(UlDLListTest, FailedResizeLeavesNodeLinked) {
    fill(list, {u"a", u"b", u"c"});
    ul_errorsetmsg(0, u"");
    ul_memfailafter(0);
    EXPECT_EQ(ul_dllistresizenode(list.getNode(1), 1 << 20), nullptr);
    EXPECT_EQ(errorText(), outOfMemoryText());
    EXPECT_TRUE(linksConsistent(list));
    EXPECT_EQ(contents(list), Strings({u"a", u"b", u"c"}));
}

// ---- Node creation -------------------------------------------------------------------------

TEST_F(UlDLListTest, CreateNodeCopiesOrZeroFills) {
    const unsigned char bytes[] = {1, 2, 3, 4, 5};
    ul_dllistnode_t* copied = ul_dllistcreatenode(bytes, sizeof(bytes));
    ul_dllistnode_t* zeroed = ul_dllistcreatenode(nullptr, 64);
    ul_dllistnode_t* empty = ul_dllistcreatenode(nullptr, 0);
    ASSERT_TRUE(copied && zeroed && empty);
    EXPECT_EQ(memcmp(copied->data(), bytes, sizeof(bytes)), 0);
    const std::vector<unsigned char> zeros(64, 0);
    EXPECT_EQ(memcmp(zeroed->data(), zeros.data(), 64), 0);
    for (ul_dllistnode_t* node : {copied, zeroed, empty}) {
        EXPECT_EQ(node->next, nullptr);
        EXPECT_EQ(node->prev, nullptr);
        ul_dllistfreenode2(nullptr, node);
    }
}

TEST_F(UlDLListTest, BoundedStringNodes) {
    struct Case {
        const char16_t* string;
        size_t n;
        std::u16string expected;
    };
    const Case cases[] = {
        {u"abcdef", 3, u"abc"}, {u"abcdef", 6, u"abcdef"}, {u"abcdef", 10, u"abcdef"},
        {u"abc", 0, u""},       {nullptr, 4, u""},         {u"", 2, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        ul_dllist_t l;
        fill(l, {u"first"});
        ul_dllistnode_t* node = ul_dllistcreateaddstrnoden(&l, c.string, c.n, 0);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(l.getNode(0), node);
        EXPECT_EQ(std::u16string(node->str()), c.expected);
        for (size_t i = c.expected.size(); i <= c.n; ++i) EXPECT_EQ(node->str()[i], 0) << i;
        l.freeList(0);
    }
}

TEST_F(UlDLListTest, StringListSizeAndCopy) {
    fill(list, {u"", u"ab", u"xyz"});
    EXPECT_EQ(ul_dllistgetstrlistsize(&list), 18 + 22 + 24);

    ul_dllist_t copy;
    fill(copy, {u"keep"});
    EXPECT_EQ(ul_dllistcopystrnodes(&copy, &list), 3);
    EXPECT_TRUE(linksConsistent(copy));
    list.getNode(1)->str()[0] = u'Q';  // the copies are independent
    EXPECT_EQ(contents(copy), Strings({u"keep", u"", u"ab", u"xyz"}));
    ul_dllist_t none;
    EXPECT_EQ(ul_dllistcopystrnodes(&copy, &none), 0);
    EXPECT_EQ(copy.getCount(), 4);
    copy.freeList(0);
}

// Every allocation of a copy may fail; the destination is then as before.
TEST_F(UlDLListTest, FailedCopyLeavesDestinationUnchanged) {
    fill(list, {u"a", u"b", u"c"});
    ul_dllist_t destination;
    fill(destination, {u"keep"});
    const std::u16string oom = outOfMemoryText();
    for (long failAt = 0; failAt < 3; ++failAt) {
        SCOPED_TRACE(failAt);
        ul_errorsetmsg(0, u"");
        ul_memfailafter(failAt);
        EXPECT_EQ(ul_dllistcopystrnodes(&destination, &list), -1);
        EXPECT_EQ(errorText(), oom);
        EXPECT_TRUE(linksConsistent(destination));
        EXPECT_EQ(contents(destination), Strings({u"keep"}));
    }
    ul_memfailafter(-1);
    destination.freeList(0);
}

// ---- Splitting text -----------------------------------------------------------------------

TEST_F(UlDLListTest, StringToListSplitsAndTrimsTrailingBlanks) {
    struct Case {
        const char16_t* text;
        char16_t separator;
        Strings expected;
    };
    const Case cases[] = {
        {u"a,b ,c", u',', {u"a", u"b", u"c"}},
        {u" a ,b\t", u',', {u" a", u"b"}},
        {u"a,,b", u',', {u"a", u"", u"b"}},
        {u"  x   y z ", u' ', {u"x", u"y", u"z"}},
        {u"", u',', {}},
        {nullptr, u',', {}},
        {u"single", u';', {u"single"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.text ? c.text : u"(null)"));
        ul_dllist_t l;
        fill(l, {u"before"});
        EXPECT_EQ(ul_string2dlllist(&l, c.text, c.separator), static_cast<int>(c.expected.size()));
        Strings expected = c.expected;
        expected.insert(expected.begin(), u"before");
        EXPECT_EQ(contents(l), expected);
        EXPECT_TRUE(linksConsistent(l));
        l.freeList(0);
    }
}

TEST_F(UlDLListTest, StringToListFailuresLeaveListUnchanged) {
    fill(list, {u"before"});
    std::u16string text = u"a," + std::u16string(16384, u'w') + u",c";
    EXPECT_EQ(ul_string2dlllist(&list, text.c_str(), u','), -1);
    EXPECT_EQ(contents(list), Strings({u"before"}));
    text = u"a," + std::u16string(16383, u'w');  // the longest word that fits
    EXPECT_EQ(ul_string2dlllist(&list, text.c_str(), u','), 2);
    list.freeList(0);

    fill(list, {u"before"});
    for (long failAt = 0; failAt < 4; ++failAt) {
        SCOPED_TRACE(failAt);
        ul_memfailafter(failAt);
        EXPECT_EQ(ul_string2dlllist(&list, u"a,b,c", u','), -1);
        EXPECT_EQ(contents(list), Strings({u"before"}));
        EXPECT_TRUE(linksConsistent(list));
    }
}

// ---- Payload accessors ----------------------------------------------------------------------

TEST_F(UlDLListTest, SimpleStringAccessor) {
    int limit = 4;
    // Size queries: no node gives the payload size, a node gives 0.
    EXPECT_EQ(ul_getset_simple_string(nullptr, nullptr, nullptr, 0, nullptr), 514);
    EXPECT_EQ(ul_getset_simple_string(&limit, nullptr, nullptr, 0, nullptr), 10);

    ul_dllistnode_t* node = ul_dllistcreatenode(nullptr, 514);
    EXPECT_EQ(ul_getset_simple_string(nullptr, node, nullptr, 0, nullptr), 0);
    EXPECT_EQ(ul_getset_simple_string(nullptr, node, nullptr, -1, nullptr), 0);

    struct Case {
        int* context;
        std::u16string value;
        const char16_t* error;  // null: accepted
    };
    const Case cases[] = {
        {nullptr, std::u16string(255, u'x'), nullptr},
        {nullptr, std::u16string(256, u'x'),
         u"Internal error 'ul_getset_simple_string': String too long 256 > 255"},
        {nullptr, u"", nullptr},
        {&limit, u"abc", nullptr},
        {&limit, u"abcd", u"Internal error 'ul_getset_simple_string': String too long 4 > 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.size());
        memcpy(node->str(), u"old", 8);
        std::u16string value = c.value;
        int rc = ul_getset_simple_string(c.context, node, value.data(), -1, nullptr);
        if (c.error) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(errorText(), c.error);
            EXPECT_EQ(std::u16string(node->str()), u"old");
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(std::u16string(node->str()), c.value);
        }
    }

    memcpy(node->str(), u"hello", 12);
    char16_t buffer[8];
    EXPECT_EQ(ul_getset_simple_string(nullptr, node, buffer, 8, nullptr), 5);
    EXPECT_EQ(std::u16string(buffer), u"hello");
    EXPECT_EQ(ul_getset_simple_string(nullptr, node, buffer, 3, nullptr), 5);  // truncated
    EXPECT_EQ(std::u16string(buffer), u"he");

    EXPECT_EQ(ul_getset_simple_string(nullptr, node, buffer, 8, u"NAME"), -1);
    EXPECT_EQ(errorText(), u"Illegal field name 'NAME'");
    EXPECT_EQ(ul_getset_extended_string(nullptr, node, buffer, 8, u"NAME"), 5);
    EXPECT_EQ(std::u16string(buffer), u"hello");
    std::u16string tooLong(4, u'y');
    EXPECT_EQ(ul_getset_extended_string(&limit, node, tooLong.data(), -1, u"NAME"), -1);
    EXPECT_EQ(errorText(), u"Internal error 'ul_getset_extended_string': String too long 4 > 3");
    ul_dllistfreenode2(nullptr, node);
}

int g_liveFields = 0;

class FieldNode : public ULDLListNode {
  public:
    FieldNode() { ++g_liveFields; }
    ~FieldNode() override { --g_liveFields; }
    int setField(void* context, const char16_t* name, const char16_t* value) override {
        if (ul_strcmp(name, u"VALUE") != 0) return ULDLListNode::setField(context, name, value);
        value_ = value;
        lastContext_ = context;
        return 0;
    }
    int getField(void* context, const char16_t* name, char16_t* buffer, int size) override {
        if (ul_strcmp(name, u"VALUE") != 0)
            return ULDLListNode::getField(context, name, buffer, size);
        ul_strlcpy(buffer, value_.c_str(), static_cast<size_t>(size));
        return 0;
    }
    int getSelfSize() const override { return sizeof(*this); }
    void* lastContext_ = nullptr;

  private:
    std::u16string value_;
};

TEST_F(UlDLListTest, GenericAccessorForwardsToPayloadObject) {
    int context = 0;
    list.initList(ul_getset_generic, &context);
    ul_dllistnode_t* node = ul_dllistcreatenode(nullptr, sizeof(FieldNode));
    auto* object = new (node->data()) FieldNode();
    list.addNode(node, -1);
    EXPECT_EQ(object->getSelfSize(), static_cast<int>(sizeof(FieldNode)));
    EXPECT_EQ(ul_getset_generic(&context, nullptr, nullptr, 0, nullptr), 0);

    char16_t value[] = u"forty-two";
    EXPECT_EQ(ul_getset_generic(&context, node, value, -1, u"VALUE"), 0);
    EXPECT_EQ(object->lastContext_, &context);
    char16_t buffer[32] = {};
    EXPECT_EQ(ul_getset_generic(&context, node, buffer, 32, u"VALUE"), 0);
    EXPECT_EQ(std::u16string(buffer), u"forty-two");
    EXPECT_EQ(ul_getset_generic(&context, node, buffer, 32, u"OTHER"), -1);
    EXPECT_EQ(errorText(), u"Illegal field name 'OTHER'");
    EXPECT_EQ(ul_getset_generic(&context, node, value, -1, u"OTHER"), -1);

    EXPECT_EQ(g_liveFields, 1);
    list.freeList(1);  // the release notice destroys the payload object
    EXPECT_EQ(g_liveFields, 0);
}

// ---- Object form ----------------------------------------------------------------------------

int g_liveTracked = 0;

struct Tracked {
    Tracked() { ++g_liveTracked; }
    ~Tracked() { --g_liveTracked; }
    int value = 7;
    std::u16string text = u"owned by the payload";
};

TEST_F(UlDLListTest, ObjectListConstructsAndDestroysPayloads) {
    {
        ULDLList<Tracked> objects;
        for (int i = 0; i < 4; ++i) {
            Tracked* t = objects.create(i % 2 ? 0 : -1);
            ASSERT_NE(t, nullptr);
            EXPECT_EQ(t->value, 7);
            t->value = i;
        }
        // Creation order 0..3 alternating end/front gives 3 1 0 2.
        const int expected[] = {3, 1, 0, 2};
        for (int i = 0; i < 4; ++i) EXPECT_EQ(objects.get(i)->value, expected[i]);
        EXPECT_EQ(objects.get(4), nullptr);
        EXPECT_TRUE(linksConsistent(objects.m_list));
        objects.deleteNode(1);
        EXPECT_EQ(g_liveTracked, 3);
        EXPECT_EQ(objects.get(1)->value, 0);
        ASSERT_NE(objects.createNode(1), nullptr);
        EXPECT_EQ(objects.getCount(), 4);
        objects.freeList();
        EXPECT_EQ(g_liveTracked, 0);
        EXPECT_TRUE(objects.isEmpty());
        EXPECT_TRUE(linksConsistent(objects.m_list));
        objects.create();
    }
    EXPECT_EQ(g_liveTracked, 0);  // the destructor freed the last one
}

TEST_F(UlDLListTest, NonOwningObjectListOnlyUnlinks) {
    ULDLList<Tracked> owner;
    std::vector<ul_dllistnode_t*> nodes;
    {
        ULDLList<Tracked> borrower(false);
        for (int i = 0; i < 3; ++i) nodes.push_back(borrower.createNode(-1));
        borrower.freeList();
        EXPECT_TRUE(borrower.isEmpty());
        EXPECT_EQ(g_liveTracked, 3);
        for (ul_dllistnode_t* node : nodes) owner.m_list.addNode(node, -1);
        ul_dllistnode_t* first = borrower.createNode(0);
        EXPECT_EQ(first, borrower.m_list.head);
        borrower.deleteNode(0);  // deleteNode frees even without ownership
        EXPECT_EQ(g_liveTracked, 3);
    }
    EXPECT_EQ(owner.getCount(), 3);
    EXPECT_TRUE(linksConsistent(owner.m_list));
    owner.freeList();
    EXPECT_EQ(g_liveTracked, 0);
}

TEST_F(UlDLListTest, FailedObjectCreationAddsNothing) {
    ULDLList<Tracked> objects;
    objects.create();
    ul_errorsetmsg(0, u"");
    ul_memfailafter(0);
    EXPECT_EQ(objects.create(0), nullptr);
    EXPECT_EQ(errorText(), outOfMemoryText());
    EXPECT_EQ(objects.getCount(), 1);
    EXPECT_EQ(g_liveTracked, 1);
}

}  // namespace

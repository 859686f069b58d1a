#include "uldllist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
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
    size_t forward = 0, backward = 0;
    for (ul_dllistnode_t* node = list.head; node != list.endSentinel(); node = node->next) {
        if (!node || node->prev != expectedPrev)
            return ::testing::AssertionFailure() << "bad link at node " << forward;
        expectedPrev = node;
        ++forward;
    }
    if (list.tailpred != expectedPrev) return ::testing::AssertionFailure() << "tailpred is wrong";
    for (ul_dllistnode_t* node = list.tailpred; node != list.startSentinel(); node = node->prev)
        ++backward;
    if (forward != backward || static_cast<int>(forward) != list.getCount())
        return ::testing::AssertionFailure() << forward << " forward, " << backward << " backward";
    return ::testing::AssertionSuccess();
}

Strings contents(ul_dllist_t& list) {
    Strings result;
    ul_dllistiter_t it(&list);
    while (ul_dllistnode_t* node = it.next()) result.emplace_back(node->str());
    return result;
}

void fill(ul_dllist_t& list, const Strings& words) {
    for (const auto& word : words) ASSERT_NE(ul_dllistcreateaddstrnode(&list, word.c_str(), -1), nullptr);
}

// Records release notices sent through a list's accessor.
struct NoticeLog { Strings released; };

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

// Where a position or index lands in a list of n nodes: from the front when >= 0, from the
// back when negative (-1 the last). Insert positions clamp to the ends, indexes do not.
long insertAt(long n, int position) {
    return position >= 0 ? std::min<long>(position, n) : std::max<long>(0, n + 1 + position);
}
long indexAt(long n, int index) {
    long i = index >= 0 ? index : n + index;
    return i >= 0 && i < n ? i : -1;
}

// Property: random inserts, lookups and deletes agree with a vector, and the links stay
// consistent after every step.
TEST_F(UlDLListTest, RandomOperationsAgreeWithAVector) {
    std::mt19937 random(17);
    std::vector<ul_dllistnode_t*> model;
    for (int step = 0; step < 3000; ++step) {
        const long n = static_cast<long>(model.size());
        const int where = static_cast<int>(random() % 15) - 7;
        switch (random() % 3) {
            case 0: {
                ul_dllistnode_t* node = ul_dllistcreatestrnode(u"x");
                list.addNode(node, where);
                model.insert(model.begin() + insertAt(n, where), node);
                break;
            }
            case 1: {
                long i = indexAt(n, where);
                ASSERT_EQ(list.getNode(where), i < 0 ? nullptr : model[i]) << where;
                break;
            }
            default: {
                long i = indexAt(n, where);
                list.deleteNode(where, 0);
                if (i >= 0) model.erase(model.begin() + i);
            }
        }
        ASSERT_TRUE(linksConsistent(list)) << "step " << step;
        ASSERT_EQ(list.getCount(), static_cast<int>(model.size()));
        ASSERT_EQ(list.isEmpty(), model.empty());
        if (step % 100 == 0) {
            ul_dllistiter_t it(&list);
            for (ul_dllistnode_t* node : model) ASSERT_EQ(it.next(), node);
            ASSERT_EQ(it.next(), nullptr);
            ASSERT_EQ(it.next(), nullptr);  // stays at the end
            it.reset();
            for (auto node = model.rbegin(); node != model.rend(); ++node) ASSERT_EQ(it.prev(), *node);
            ASSERT_EQ(it.prev(), nullptr);
            if (!model.empty()) { ASSERT_EQ(it.next(), model.front()); }  // turning round at the start
        }
    }
}

TEST_F(UlDLListTest, ReleaseNoticesOnlyWhenAsked) {
    NoticeLog log;
    list.initList(recordingGetset, &log);
    fill(list, {u"a", u"b", u"c", u"d"});
    list.deleteNode(1, 0);
    EXPECT_TRUE(log.released.empty());
    list.deleteNode(1, 1);
    list.freeList(1);
    EXPECT_EQ(log.released, Strings({u"c", u"a", u"d"}));
    EXPECT_TRUE(linksConsistent(list));
    fill(list, {u"e"});  // the accessor survives freeList: "f" below is still reported
    list.freeList(0);
    ul_dllistfreenode2(&list, ul_dllistcreatestrnode(u"f"));
    ul_dllistfreenode2(nullptr, ul_dllistcreatestrnode(u"g"));
    EXPECT_EQ(log.released, Strings({u"c", u"a", u"d", u"f"}));
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
    const std::tuple<int, int, int> shapes[] = {
        {0, 1, 0}, {1, 5, 0}, {2, 2, 0}, {17, 4, 0}, {1000, 10, 0}, {3001, 100000, 0}, {500, 50, 1},
        {513, 50, -1}, {300, 1, 0}, {1024, 7, 2}};
    for (const auto& [size, keyRange, order] : shapes) {
        SCOPED_TRACE(::testing::Message() << size << " " << order);
        std::vector<Item> items;
        for (int i = 0; i < size; ++i) {
            int key = static_cast<int>(random() % keyRange);
            if (order == 1) key = i / 3;
            if (order == -1) key = (size - i) / 3;
            if (order == 2) key = i % keyRange;
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
        std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.key < b.key; });
        ASSERT_TRUE(linksConsistent(l));
        size_t i = 0;
        for (ul_dllistnode_t* node = l.head; node->next; node = node->next, ++i) {
            auto* item = static_cast<Item*>(node->data());
            ASSERT_EQ(item->sequence, items.at(i).sequence) << i;
            ASSERT_EQ(node, nodes[item->sequence]);
        }
        EXPECT_EQ(i, items.size());
        // A natural merge sort needs n - 1 comparisons on input that is already in order.
        if (order == 1) { EXPECT_EQ(comparisons, size - 1); }
        l.freeList(0);
    }
}

// ---- Header moves and node resizing ------------------------------------------------------

TEST_F(UlDLListTest, MoveHeadRepairsCopiedHeader) {
    for (int count : {0, 1, 3}) {
        SCOPED_TRACE(count);
        NoticeLog log;
        auto* original = static_cast<ul_dllist_t*>(malloc(sizeof(ul_dllist_t)));
        original->initList(recordingGetset, &log);
        for (int i = 0; i < count; ++i) ul_dllistcreateaddstrnode(original, u"n", -1);
        ul_dllist_t moved;
        memcpy(static_cast<void*>(&moved), original, sizeof(moved));
        free(original);  // ASan reports any later access through the old header
        moved.moveHead();
        EXPECT_TRUE(linksConsistent(moved));
        ul_dllistcreateaddstrnode(&moved, u"z", 0);
        EXPECT_TRUE(linksConsistent(moved));
        moved.freeList(1);
        EXPECT_EQ(log.released.size(), static_cast<size_t>(count + 1));
    }
}

TEST_F(UlDLListTest, ResizedNodeKeepsNeighboursLinked) {
    for (auto [size, index] : {std::pair{1, 0}, {3, 0}, {3, 1}, {3, 2}}) {
        SCOPED_TRACE(::testing::Message() << size << " nodes, index " << index);
        ul_dllist_t l;
        for (int i = 0; i < size; ++i) ul_dllistcreateaddstrnode(&l, std::u16string(1, u'a' + i).c_str(), -1);
        // Large enough that the allocator cannot grow the block in place, then back down.
        for (size_t bytes : {size_t{1} << 20, size_t{4}}) {
            ul_dllistnode_t* node = ul_dllistresizenode(l.getNode(index), bytes);
            ASSERT_NE(node, nullptr);
            EXPECT_EQ(node->str()[0], u'a' + index);
            EXPECT_EQ(l.getNode(index), node);
            EXPECT_TRUE(linksConsistent(l));
        }
        l.freeList(0);
    }
    ul_dllistnode_t* loose = ul_dllistresizenode(ul_dllistcreatestrnode(u"loose"), 1 << 20);
    EXPECT_EQ(loose->next, nullptr);
    EXPECT_EQ(loose->prev, nullptr);
    EXPECT_EQ(std::u16string(loose->str()), u"loose");
    ul_dllistfreenode2(nullptr, loose);

    fill(list, {u"a", u"b", u"c"});
    ul_memfailafter(0);
    EXPECT_EQ(ul_dllistresizenode(list.getNode(1), 1 << 20), nullptr);
    EXPECT_EQ(errorText(), outOfMemoryText());
    EXPECT_TRUE(linksConsistent(list));
    EXPECT_EQ(contents(list), Strings({u"a", u"b", u"c"}));
}

// ---- Node creation and copies ---------------------------------------------------------------

// At most n characters are copied; the zero-filled payload terminates the string.
TEST_F(UlDLListTest, StringNodeOfAtMostNCharacters) {
    const std::tuple<const char16_t*, size_t, std::u16string> cases[] = {
        {u"abcdef", 3, u"abc"}, {u"abcdef", 6, u"abcdef"}, {u"abcdef", 10, u"abcdef"}, {u"abc", 0, u""},
        {nullptr, 4, u""}};
    for (const auto& [string, n, expected] : cases) {
        SCOPED_TRACE(n);
        ul_dllistnode_t* node = ul_dllistcreateaddstrnoden(&list, string, n, 0);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(list.getNode(0), node);
        EXPECT_EQ(std::u16string(node->str()), expected);
        for (size_t i = expected.size(); i <= n; ++i) EXPECT_EQ(node->str()[i], 0) << i;
    }
}

TEST_F(UlDLListTest, StringListSizeAndCopy) {
    fill(list, {u"", u"ab", u"xyz"});
    EXPECT_EQ(ul_dllistgetstrlistsize(&list), 18 + 22 + 24);
    ul_dllist_t copy, none;
    fill(copy, {u"keep"});
    // Every allocation of a copy may fail; the destination is then as before.
    for (long failAt = 0; failAt < 3; ++failAt) {
        ul_memfailafter(failAt);
        EXPECT_EQ(ul_dllistcopystrnodes(&copy, &list), -1);
        EXPECT_EQ(errorText(), outOfMemoryText());
        EXPECT_TRUE(linksConsistent(copy));
        EXPECT_EQ(contents(copy), Strings({u"keep"}));
    }
    ul_memfailafter(-1);
    EXPECT_EQ(ul_dllistcopystrnodes(&copy, &list), 3);
    EXPECT_TRUE(linksConsistent(copy));
    list.getNode(1)->str()[0] = u'Q';  // the copies are independent
    EXPECT_EQ(contents(copy), Strings({u"keep", u"", u"ab", u"xyz"}));
    EXPECT_EQ(ul_dllistcopystrnodes(&copy, &none), 0);
    EXPECT_EQ(copy.getCount(), 4);
    copy.freeList(0);
}

TEST_F(UlDLListTest, StringToListSplitsAndTrimsTrailingBlanks) {
    const std::tuple<const char16_t*, char16_t, Strings> cases[] = {
        {u"a,b ,c", u',', {u"a", u"b", u"c"}}, {u" a ,b\t", u',', {u" a", u"b"}},
        {u"a,,b", u',', {u"a", u"", u"b"}}, {u"  x   y z ", u' ', {u"x", u"y", u"z"}}, {u"", u',', {}},
        {nullptr, u',', {}}};
    for (const auto& [text, separator, words] : cases) {
        SCOPED_TRACE(u8(text ? text : u"(null)"));
        ul_dllist_t l;
        fill(l, {u"before"});
        EXPECT_EQ(ul_string2dlllist(&l, text, separator), static_cast<int>(words.size()));
        Strings expected = words;
        expected.insert(expected.begin(), u"before");
        EXPECT_EQ(contents(l), expected);
        EXPECT_TRUE(linksConsistent(l));
        l.freeList(0);
    }
    // A word too long or a failed allocation leaves the list as it was.
    fill(list, {u"before"});
    std::u16string text = u"a," + std::u16string(16384, u'w') + u",c";
    EXPECT_EQ(ul_string2dlllist(&list, text.c_str(), u','), -1);
    for (long failAt = 0; failAt < 4; ++failAt) {
        ul_memfailafter(failAt);
        EXPECT_EQ(ul_string2dlllist(&list, u"a,b,c", u','), -1);
        EXPECT_TRUE(linksConsistent(list));
    }
    ul_memfailafter(-1);
    EXPECT_EQ(contents(list), Strings({u"before"}));
    text = u"a," + std::u16string(16383, u'w');  // the longest word that fits
    EXPECT_EQ(ul_string2dlllist(&list, text.c_str(), u','), 2);
}

// ---- Payload accessors ----------------------------------------------------------------------

TEST_F(UlDLListTest, StringAccessors) {
    int limit = 4;
    // Size queries: no node gives the payload size, a node gives 0.
    EXPECT_EQ(ul_getset_simple_string(nullptr, nullptr, nullptr, 0, nullptr), 514);
    EXPECT_EQ(ul_getset_simple_string(&limit, nullptr, nullptr, 0, nullptr), 10);
    ul_dllistnode_t* node = ul_dllistcreatenode(nullptr, 514);
    EXPECT_EQ(ul_getset_simple_string(nullptr, node, nullptr, 0, nullptr), 0);
    EXPECT_EQ(ul_getset_simple_string(nullptr, node, nullptr, -1, nullptr), 0);
    const auto simple = ul_getset_simple_string, extended = ul_getset_extended_string;
    const std::tuple<decltype(simple), int*, std::u16string, const char16_t*> cases[] = {
        {simple, nullptr, std::u16string(255, u'x'), nullptr},
        {simple, nullptr, std::u16string(256, u'x'),
         u"Internal error 'ul_getset_simple_string': String too long 256 > 255"},
        {simple, &limit, u"abc", nullptr},
        {extended, &limit, u"abcd",
         u"Internal error 'ul_getset_extended_string': String too long 4 > 3"}};
    for (const auto& [accessor, context, text, error] : cases) {
        SCOPED_TRACE(text.size());
        memcpy(node->str(), u"old", 8);
        std::u16string value = text;
        EXPECT_EQ(accessor(context, node, value.data(), -1, nullptr), error ? -1 : 0);
        if (error) { EXPECT_EQ(errorText(), error); }
        EXPECT_EQ(std::u16string(node->str()), error ? u"old" : text);
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
    ul_dllistfreenode2(nullptr, node);
}

int g_live = 0;

class FieldNode : public ULDLListNode {
  public:
    FieldNode() { ++g_live; }
    ~FieldNode() override { --g_live; }
    int setField(void* context, const char16_t* name, const char16_t* value) override {
        if (ul_strcmp(name, u"VALUE") != 0) return ULDLListNode::setField(context, name, value);
        value_ = value;
        lastContext_ = context;
        return 0;
    }
    int getField(void* context, const char16_t* name, char16_t* buffer, int size) override {
        if (ul_strcmp(name, u"VALUE") != 0) return ULDLListNode::getField(context, name, buffer, size);
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
    EXPECT_EQ(g_live, 1);
    list.freeList(1);  // the release notice destroys the payload object
    EXPECT_EQ(g_live, 0);
}

// ---- Object form ----------------------------------------------------------------------------

struct Tracked {
    Tracked() { ++g_live; }
    ~Tracked() { --g_live; }
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
        objects.deleteNode(1);
        EXPECT_EQ(g_live, 3);
        EXPECT_EQ(objects.get(1)->value, 0);
        ASSERT_NE(objects.createNode(1), nullptr);
        EXPECT_EQ(objects.getCount(), 4);
        objects.freeList();
        EXPECT_EQ(g_live, 0);
        EXPECT_TRUE(objects.isEmpty());
        objects.create();
        ul_memfailafter(0);
        EXPECT_EQ(objects.create(0), nullptr);
        EXPECT_EQ(errorText(), outOfMemoryText());
        EXPECT_EQ(objects.getCount(), 1);
        EXPECT_EQ(g_live, 1);
    }
    EXPECT_EQ(g_live, 0);  // the destructor freed the last one
}

TEST_F(UlDLListTest, NonOwningObjectListOnlyUnlinks) {
    ULDLList<Tracked> owner;
    {
        ULDLList<Tracked> borrower(false);
        std::vector<ul_dllistnode_t*> nodes;
        for (int i = 0; i < 3; ++i) nodes.push_back(borrower.createNode(-1));
        borrower.freeList();
        EXPECT_TRUE(borrower.isEmpty());
        EXPECT_EQ(g_live, 3);
        for (ul_dllistnode_t* node : nodes) owner.m_list.addNode(node, -1);
        EXPECT_EQ(borrower.createNode(0), borrower.m_list.head);
        borrower.deleteNode(0);  // deleteNode frees even without ownership
        EXPECT_EQ(g_live, 3);
    }
    EXPECT_EQ(owner.getCount(), 3);
    EXPECT_TRUE(linksConsistent(owner.m_list));
    owner.freeList();
    EXPECT_EQ(g_live, 0);
}

}  // namespace

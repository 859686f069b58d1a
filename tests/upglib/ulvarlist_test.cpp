#include "ulvarlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "testutil.h"
#include "ulauxfcts.h"
#include "ulerror.h"
#include "ulstring.h"

namespace {

using Strings = std::vector<std::u16string>;



Strings names(const ul_varlist_t& list) {
    Strings result;
    for (uint32_t i = 0; i < list.count; ++i) result.emplace_back(list.pairs[i].name);
    return result;
}

std::u16string render(const ul_varlist_t& list, char16_t separator, int flags) {
    char16_t* text = list.toString(separator, flags);
    std::u16string result = text ? text : u"<null>";
    free(text);
    return result;
}

class UlVarListTest : public ::testing::Test {
  protected:
    void TearDown() override {
        ul_memfailafter(-1);
        vars.free();
    }
    ul_varlist_t vars;
};

TEST_F(UlVarListTest, NamesStaySortedAndArrayGrowsBy50) {
    Strings inserted;
    for (int i = 0; i < 120; ++i) {
        // Mixed case and shared prefixes, so that code-unit order differs from a
        // case-insensitive or length-first order.
        std::u16string name = (i % 3 == 0   ? u"v"
                               : i % 3 == 1 ? u"V"
                                            : u"v_") +
                              std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) +
                              std::u16string(static_cast<size_t>(i / 26), u'9');
        inserted.push_back(name);
    }
    std::shuffle(inserted.begin(), inserted.end(), std::mt19937(7));
    const uint32_t expectedCapacity[] = {50, 100, 150};
    for (size_t i = 0; i < inserted.size(); ++i) {
        int isNew = -1;
        ASSERT_NE(vars.setValue(inserted[i].c_str(), u"x", &isNew), nullptr);
        EXPECT_EQ(isNew, 1);
        EXPECT_EQ(vars.capacity, expectedCapacity[i / 50]) << i;
    }
    Strings sorted = inserted;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(names(vars), sorted);
    for (size_t i = 0; i < sorted.size(); ++i)
        EXPECT_EQ(vars.find(sorted[i].c_str()), static_cast<int>(i));
}

TEST_F(UlVarListTest, FiftyFirstNameReallocatesOnce) {
    for (int i = 0; i < 50; ++i)
        vars.setValue(std::u16string(1, static_cast<char16_t>(u'!' + i)).c_str(), nullptr);
    ul_varpair_t* arrayBefore = vars.pairs;
    EXPECT_EQ(vars.capacity, 50u);
    ul_memfailafter(1);  // name copy succeeds, the reallocation fails
    EXPECT_EQ(vars.setValue(u"~", nullptr), nullptr);
    ul_memfailafter(-1);
    EXPECT_EQ(vars.count, 50u);
    EXPECT_EQ(vars.pairs, arrayBefore);
    ASSERT_NE(vars.setValue(u"~", nullptr), nullptr);
    EXPECT_EQ(vars.capacity, 100u);
    EXPECT_EQ(vars.count, 51u);
}

TEST_F(UlVarListTest, FindAtTheBoundaries) {
    for (const char16_t* name : {u"B", u"D", u"F"}) vars.setValue(name, nullptr);
    struct Case {
        const char16_t* name;
        int index;
    };
    const Case cases[] = {{u"A", -1}, {u"B", 0},  {u"C", -1}, {u"D", 1}, {u"E", -1},
                          {u"F", 2},  {u"G", -1}, {u"", -1},  {u"b", -1}};
    for (const Case& c : cases) EXPECT_EQ(vars.find(c.name), c.index) << u8(c.name);
    ul_varlist_t empty;
    EXPECT_EQ(empty.find(u"A"), -1);
}

TEST_F(UlVarListTest, ReplaceKeepsNameAndFreesOldValue) {
    ul_varpair_t* pair = vars.setValue(u"SID", u"ABC");
    const char16_t* storedName = pair->name;
    int isNew = -1;
    pair = vars.setValue(u"SID", u"XYZ", &isNew);
    EXPECT_EQ(isNew, 0);
    EXPECT_EQ(pair->name, storedName);
    EXPECT_EQ(std::u16string(vars.getValue(u"SID")), u"XYZ");
    pair = vars.setValue(u"SID", nullptr);
    EXPECT_EQ(pair->value, nullptr);
    EXPECT_EQ(vars.count, 1u);
}

// Adopted strings are stored as given or freed; ASan reports leaks and double frees.
TEST_F(UlVarListTest, AdoptedStrings) {
    char16_t* name = ul_strdup(u"N");
    char16_t* value = ul_strdup(u"v1");
    ul_varpair_t* pair = vars.setValue(name, value, nullptr, UL_VAR_ADOPTNAME | UL_VAR_ADOPTVALUE);
    EXPECT_EQ(pair->name, name);
    EXPECT_EQ(pair->value, value);

    char16_t* value2 = ul_strdup(u"v2");
    pair = vars.setValue(ul_strdup(u"N"), value2, nullptr, UL_VAR_ADOPTNAME | UL_VAR_ADOPTVALUE);
    EXPECT_EQ(pair->name, name);  // the existing name is kept, the new copy freed
    EXPECT_EQ(pair->value, value2);

    pair = vars.setValue(u"M", ul_strdup(u"w"), nullptr, UL_VAR_ADOPTVALUE);
    EXPECT_EQ(std::u16string(pair->value), u"w");

    ul_memfailafter(0);  // failures consume adopted strings too
    EXPECT_EQ(vars.setValue(ul_strdup(u"O"), u"copy me", nullptr, UL_VAR_ADOPTNAME), nullptr);
    ul_memfailafter(0);
    EXPECT_EQ(vars.setValue(u"P", ul_strdup(u"kept"), nullptr, UL_VAR_ADOPTVALUE), nullptr);
    EXPECT_EQ(vars.count, 2u);
}

TEST_F(UlVarListTest, FailedSetLeavesListUnchanged) {
    const std::u16string oom = outOfMemoryText();
    vars.setValue(u"A", u"old");
    // New name: value copy, name copy, first array allocation would follow for an empty
    // list; here the array exists, so two allocations can fail.
    for (long failAt = 0; failAt < 2; ++failAt) {
        SCOPED_TRACE(failAt);
        ul_errorsetmsg(0, u"");
        ul_memfailafter(failAt);
        EXPECT_EQ(vars.setValue(u"B", u"new"), nullptr);
        ul_memfailafter(-1);
        EXPECT_EQ(errorText(), oom);
        EXPECT_EQ(names(vars), Strings({u"A"}));
    }
    ul_memfailafter(0);  // replacing: the value copy fails, the old value stays
    EXPECT_EQ(vars.setValue(u"A", u"new"), nullptr);
    ul_memfailafter(-1);
    EXPECT_EQ(std::u16string(vars.getValue(u"A")), u"old");

    ul_varlist_t empty;
    ul_memfailafter(2);  // value, name, then the first array
    EXPECT_EQ(empty.setValue(u"A", u"v"), nullptr);
    ul_memfailafter(-1);
    EXPECT_EQ(empty.count, 0u);
    EXPECT_EQ(empty.pairs, nullptr);
}

TEST_F(UlVarListTest, LookupMissesReportUnlessQuiet) {
    vars.setValue(u"HAS", u"value");
    vars.setValue(u"NONE", nullptr);
    ul_errorsetmsg(0, u"untouched");
    EXPECT_EQ(vars.getValue(u"NONE"), nullptr);  // a name without value is no miss
    EXPECT_EQ(errorText(), u"untouched");
    ASSERT_NE(vars.getPair(u"NONE"), nullptr);

    struct Case {
        bool pair;
        int flags;
        const char16_t* expected;
    };
    const Case cases[] = {
        {false, 0, u"Variable 'MISSING' not found"},
        {true, 0, u"Variable 'MISSING' not found"},
        {false, UL_VAR_QUIET, u"untouched"},
        {true, UL_VAR_QUIET, u"untouched"},
    };
    for (const Case& c : cases) {
        ul_errorsetmsg(0, u"untouched");
        const void* result = c.pair ? static_cast<const void*>(vars.getPair(u"MISSING", c.flags))
                                    : vars.getValue(u"MISSING", c.flags);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(errorText(), c.expected);
    }
}

TEST_F(UlVarListTest, ToStringForms) {
    struct Case {
        std::vector<std::pair<std::u16string, std::optional<std::u16string>>> pairs;
        char16_t separator;
        int flags;
        std::u16string expected;
    };
    const Case cases[] = {
        {{{u"A", u"x;y"}, {u"B", std::nullopt}}, u';', UL_VAR_DOUBLESEPARATOR, u"A=x;;y;B"},
        {{{u"A", u"x;y"}, {u"B", std::nullopt}}, u';', 0, u"A=x;y;B"},
        {{{u"B", u";;"}, {u"A", u""}}, u';', UL_VAR_DOUBLESEPARATOR, u"A=;B=;;;;"},
        {{{u"K", u"a,b"}}, u',', UL_VAR_DOUBLESEPARATOR, u"K=a,,b"},
        {{{u"K", u"a;b"}}, u',', UL_VAR_DOUBLESEPARATOR, u"K=a;b"},
        {{}, u';', UL_VAR_DOUBLESEPARATOR, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.expected));
        ul_varlist_t l;
        for (const auto& [name, value] : c.pairs)
            l.setValue(name.c_str(), value ? value->c_str() : nullptr);
        EXPECT_EQ(render(l, c.separator, c.flags), c.expected);
        l.free();
    }
    vars.setValue(u"A", u"v");
    ul_memfailafter(0);
    EXPECT_EQ(render(vars, u';', 0), u"<null>");
}

// Property: splitting the doubled-separator form with the word-list splitter gives back
// name=value for every pair, whatever the values contain.
TEST_F(UlVarListTest, DoubledFormSplitsBackIntoPairs) {
    std::mt19937 random(99);
    const std::u16string alphabet = u"ab;=; x";
    for (int round = 0; round < 50; ++round) {
        ul_varlist_t l;
        int pairs = static_cast<int>(random() % 6) + 1;
        for (int i = 0; i < pairs; ++i) {
            std::u16string name =
                concat<char16_t>(u"N", std::u16string(1, static_cast<char16_t>(u'a' + i)));
            std::u16string value;
            for (int k = static_cast<int>(random() % 8); k > 0; --k)
                value.push_back(alphabet[random() % alphabet.size()]);
            l.setValue(name.c_str(), value.c_str());
        }
        char16_t* text = l.toString(u';', UL_VAR_DOUBLESEPARATOR);
        ASSERT_NE(text, nullptr);
        const char16_t* cursor = text;
        char16_t word[256];
        uint32_t i = 0;
        while (ul_stringexpwordlist(&cursor, u';', word, 256, UL_WORDLIST_DOUBLED_SEPARATOR) == 1) {
            ASSERT_LT(i, l.count);
            EXPECT_EQ(std::u16string(word),
                      std::u16string(l.pairs[i].name) + u"=" + l.pairs[i].value)
                << u8(text);
            ++i;
        }
        EXPECT_EQ(i, l.count) << u8(text);
        free(text);
        l.free();
    }
}

TEST_F(UlVarListTest, FreeEmptiesAndAllowsReuse) {
    vars.setValue(u"A", u"1");
    vars.setValue(u"B", nullptr);
    vars.free();
    EXPECT_EQ(vars.count, 0u);
    EXPECT_EQ(vars.capacity, 0u);
    EXPECT_EQ(vars.pairs, nullptr);
    EXPECT_EQ(vars.find(u"A"), -1);
    ASSERT_NE(vars.setValue(u"C", u"3"), nullptr);
    EXPECT_EQ(names(vars), Strings({u"C"}));
}

}  // namespace

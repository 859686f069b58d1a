#include "ulvarlist.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>

#include "testutil.h"
#include "ulauxfcts.h"
#include "ulerror.h"
#include "ulstring.h"

namespace {

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

// Property against a std::map: random inserts and replacements keep the names sorted in code-unit
// order, find() gives every index (and -1 between them), values follow the last set, and the
// array grows in steps of 50.
TEST_F(UlVarListTest, AgreesWithASortedMap) {
    std::mt19937 random(7);
    std::map<std::u16string, std::optional<std::u16string>> model;
    const std::u16string letters = u"vV_a9";
    for (int round = 0; round < 400; ++round) {
        std::u16string name;
        for (int k = static_cast<int>(random() % 4); k >= 0; --k) name += letters[random() % 5];
        std::optional<std::u16string> value;
        if (random() % 3) value = std::u16string(1, static_cast<char16_t>(u'0' + round % 10));
        int isNew = -1;
        ASSERT_NE(vars.setValue(name.c_str(), value ? value->c_str() : nullptr, &isNew), nullptr);
        EXPECT_EQ(isNew, model.count(name) ? 0 : 1);
        model[name] = value;
        EXPECT_EQ(vars.capacity,
                  (vars.count + UL_VARLIST_GROWTH - 1) / UL_VARLIST_GROWTH * UL_VARLIST_GROWTH);
    }
    ASSERT_EQ(vars.count, model.size());
    ASSERT_GT(vars.count, 100u);
    int i = 0;
    for (const auto& [name, value] : model) {
        EXPECT_EQ(std::u16string(vars.pairs[i].name), name);
        EXPECT_EQ(vars.find(name.c_str()), i++);
        const char16_t* stored = vars.getValue(name.c_str());
        EXPECT_EQ(stored ? std::optional<std::u16string>(stored) : std::nullopt, value);
        EXPECT_EQ(vars.find((name + u"!").c_str()), -1);  // between two names
    }
    EXPECT_EQ(vars.find(u""), -1);
    EXPECT_EQ(vars.find(u"~"), -1);
    vars.free();
    EXPECT_EQ(vars.count + vars.capacity, 0u);
    EXPECT_EQ(vars.pairs, nullptr);
    ASSERT_NE(vars.setValue(u"C", u"3"), nullptr);
    EXPECT_EQ(vars.find(u"C"), 0);
}

// Adopted strings are stored as given or freed; ASan reports leaks and double frees.
TEST_F(UlVarListTest, AdoptedStrings) {
    char16_t* name = ul_strdup(u"N");
    char16_t* value = ul_strdup(u"v1");
    ul_varpair_t* pair = vars.setValue(name, value, nullptr, UL_VAR_ADOPTNAME | UL_VAR_ADOPTVALUE);
    EXPECT_TRUE(pair->name == name && pair->value == value);
    char16_t* value2 = ul_strdup(u"v2");
    pair = vars.setValue(ul_strdup(u"N"), value2, nullptr, UL_VAR_ADOPTNAME | UL_VAR_ADOPTVALUE);
    EXPECT_TRUE(pair->name == name && pair->value == value2);  // the new name copy is freed
    pair = vars.setValue(u"M", ul_strdup(u"w"), nullptr, UL_VAR_ADOPTVALUE);
    EXPECT_EQ(std::u16string(pair->value), u"w");
    ul_memfailafter(0);  // failures consume adopted strings too
    EXPECT_EQ(vars.setValue(ul_strdup(u"O"), u"copy me", nullptr, UL_VAR_ADOPTNAME), nullptr);
    ul_memfailafter(0);
    EXPECT_EQ(vars.setValue(u"P", ul_strdup(u"kept"), nullptr, UL_VAR_ADOPTVALUE), nullptr);
    EXPECT_EQ(vars.count, 2u);
}

// Every allocation of a set can fail (value copy, name copy, array growth at 0 and at 50 pairs):
// the list stays as it was and the error is out of memory.
TEST_F(UlVarListTest, FailedSetLeavesListUnchanged) {
    const std::u16string oom = outOfMemoryText();
    for (uint32_t filled : {0u, 1u, 50u}) {
        ul_varlist_t list;
        for (uint32_t i = 0; i < filled; ++i)
            list.setValue(std::u16string(1, static_cast<char16_t>(u'!' + i)).c_str(), u"old");
        for (long failAt = 0; failAt < 4; ++failAt) {
            ul_varpair_t* before = list.pairs;
            ul_memfailafter(failAt);
            ul_varpair_t* pair = list.setValue(u"~", u"new");
            ul_memfailafter(-1);
            if (pair) break;  // no allocation left to fail
            EXPECT_EQ(errorText(), oom);
            EXPECT_EQ(list.count, filled);
            EXPECT_EQ(list.pairs, before);
        }
        EXPECT_EQ(list.count, filled + 1);
        list.free();
    }
    vars.setValue(u"A", u"old");
    ul_memfailafter(0);  // replacing: the value copy fails, the old value stays
    EXPECT_EQ(vars.setValue(u"A", u"new"), nullptr);
    ul_memfailafter(-1);
    EXPECT_EQ(std::u16string(vars.getValue(u"A")), u"old");
}

// A miss stores "Variable '<name>' not found" unless quiet; a name without value is no miss.
TEST_F(UlVarListTest, LookupMissesReportUnlessQuiet) {
    vars.setValue(u"NONE", nullptr);
    ul_errorsetmsg(0, u"untouched");
    EXPECT_TRUE(!vars.getValue(u"NONE") && vars.getPair(u"NONE"));
    EXPECT_TRUE(!vars.getPair(u"MISSING", UL_VAR_QUIET) &&
                !vars.getValue(u"MISSING", UL_VAR_QUIET));
    EXPECT_EQ(errorText(), u"untouched");
    EXPECT_EQ(vars.getPair(u"MISSING"), nullptr);
    EXPECT_EQ(errorText(), u"Variable 'MISSING' not found");
    ul_errorsetmsg(0, u"untouched");
    EXPECT_EQ(vars.getValue(u"MISSING"), nullptr);
    EXPECT_EQ(errorText(), u"Variable 'MISSING' not found");
}

// Property: splitting the doubled-separator form with the word-list splitter gives back
// name=value for every pair, whatever the values contain.
TEST_F(UlVarListTest, DoubledFormSplitsBackIntoPairs) {
    vars.setValue(u"B", nullptr);
    vars.setValue(u"A", u"x;y");
    EXPECT_EQ(render(vars, u';', UL_VAR_DOUBLESEPARATOR), u"A=x;;y;B");
    EXPECT_EQ(render(vars, u',', UL_VAR_DOUBLESEPARATOR), u"A=x;y,B");
    EXPECT_EQ(render(vars, u';', 0), u"A=x;y;B");
    EXPECT_EQ(render(ul_varlist_t(), u';', UL_VAR_DOUBLESEPARATOR), u"");
    ul_memfailafter(0);
    EXPECT_EQ(render(vars, u';', 0), u"<null>");
    ul_memfailafter(-1);
    std::mt19937 random(99);
    const std::u16string alphabet = u"ab;=; x";
    for (int round = 0; round < 50; ++round) {
        ul_varlist_t l;
        for (int i = static_cast<int>(random() % 6); i >= 0; --i) {
            std::u16string value;
            for (int k = static_cast<int>(random() % 8); k > 0; --k)
                value += alphabet[random() % alphabet.size()];
            l.setValue(std::u16string{u'N', static_cast<char16_t>(u'a' + i)}.c_str(),
                       value.c_str());
        }
        char16_t* text = l.toString(u';', UL_VAR_DOUBLESEPARATOR);
        ASSERT_NE(text, nullptr);
        const char16_t* cursor = text;
        char16_t word[256];
        uint32_t i = 0;
        while (ul_stringexpwordlist(&cursor, u';', word, 256, UL_WORDLIST_DOUBLED_SEPARATOR) == 1) {
            ASSERT_LT(i, l.count);
            EXPECT_EQ(std::u16string(word),
                      std::u16string(l.pairs[i].name) + u"=" + l.pairs[i].value);
            ++i;
        }
        EXPECT_EQ(i, l.count) << u8(text);
        free(text);
        l.free();
    }
}

}  // namespace

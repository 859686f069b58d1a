#include "ulstring.h"

#include <gtest/gtest.h>

#include <vector>

#include "testutil.h"
#include "ulerror.h"

namespace {

TEST(UlStringTest, CopyTruncatesAndReportsWantedLength) {
    char16_t buffer[4];
    EXPECT_EQ(ul_strlcpy(buffer, u"abcdef", 4), 6u);
    EXPECT_EQ(u8(buffer), "abc");
    EXPECT_EQ(ul_strlcpy(buffer, u"ab", 4), 2u);
    EXPECT_EQ(u8(buffer), "ab");
    EXPECT_EQ(ul_strlcat(buffer, u"xyz", 4), 5u);
    EXPECT_EQ(u8(buffer), "abx");
}

TEST(UlStringTest, ComparisonsOrderByCodeUnit) {
    EXPECT_LT(ul_strcmp(u"a", u"b"), 0);
    EXPECT_GT(ul_strcmp(u"ab", u"a"), 0);
    EXPECT_EQ(ul_strcmp(u"", u""), 0);
    EXPECT_LT(ul_strcmp(u"Z", u"a"), 0);  // no case folding
    EXPECT_LT(ul_strcmp(nullptr, u""), 0);
    EXPECT_EQ(ul_stricmp(u"DbPing", u"dbping"), 0);
    EXPECT_EQ(ul_stricmp(u"\u00C4x", u"\u00E4X"), 0);
    EXPECT_NE(ul_stricmp(u"dbpin", u"dbping"), 0);
    EXPECT_EQ(ul_strnicmp(u"ABCx", u"abcy", 3), 0);
}

TEST(UlStringTest, PrefixMatchReturnsRest) {
    EXPECT_EQ(u8(ul_stringstartcmp(u"logfile=x.log", u"logfile=")), "x.log");
    EXPECT_EQ(ul_stringstartcmp(u"LOGFILE=x", u"logfile="), nullptr);
    EXPECT_EQ(u8(ul_stringstarticmp(u"LOGFILE=x", u"logfile=")), "x");
    EXPECT_EQ(ul_stringstartcmp(u"log", u"logfile="), nullptr);
}

TEST(UlStringTest, ParsesLongsWithOverflowCheck) {
    struct Case {
        const char16_t* text;
        int rc;
        long value;
    } cases[] = {
        {u"0", 0, 0},
        {u"-17", 0, -17},
        {u"+5", 0, 5},
        {u"9223372036854775807", 0, 9223372036854775807L},
        {u"-9223372036854775808", 0, -9223372036854775807L - 1},
        {u"9223372036854775808", -1, 0},
        {u"", -1, 0},
        {u"-", -1, 0},
        {u"12a", -1, 0},
        {u" 1", -1, 0},
    };
    for (const Case& c : cases) {
        long value = 0;
        EXPECT_EQ(ul_stringtolong(c.text, &value), c.rc) << u8(c.text);
        if (c.rc == 0) {
            EXPECT_EQ(value, c.value) << u8(c.text);
        }
    }
}

TEST(UlStringTest, Utf8RoundTripKeepsEveryPlane) {
    const char* samples[] = {"", "plain", "\xC3\xA4\xC3\xB6\xC3\xBC", "\xE2\x82\xAC 100",
                             "\xF0\x9F\x98\x80 emoji", "mixed \xE4\xB8\xAD\xE6\x96\x87"};
    for (const char* sample : samples) {
        std::u16string wide = ul_utf8to16(sample);
        EXPECT_EQ(ul_utf16to8(wide.c_str(), wide.size()), sample);
    }
    EXPECT_EQ(ul_utf8to16("\xF0\x9F\x98\x80").size(), 2u);  // a surrogate pair
}

TEST(UlStringTest, InvalidUtf8BecomesReplacementCharacters) {
    struct Case {
        const char* bytes;
        std::u16string expected;
    } cases[] = {
        {"a\xFF" "b", u"a\uFFFDb"},
        {"\xC3", u"\uFFFD"},                  // truncated sequence
        {"\xC0\xAF", u"\uFFFD\uFFFD"},        // overlong form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"\xE2\x82" "x", u"\uFFFD\uFFFDx"},
    };
    for (const Case& c : cases) EXPECT_EQ(ul_utf8to16(c.bytes), c.expected) << c.bytes;
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(ul_utf16to8(lone), "a\xEF\xBF\xBD" "b");
}

std::vector<std::string> words(const char16_t* text, char16_t separator, int flags) {
    std::vector<std::string> out;
    char16_t buffer[64];
    const char16_t* cursor = text;
    int rc;
    while ((rc = ul_stringexpwordlist(&cursor, separator, buffer, 64, flags)) > 0)
        out.push_back(u8(buffer));
    if (rc < 0) out.push_back("<error>");
    return out;
}

using Words = std::vector<std::string>;

TEST(UlStringTest, WordListSplitsByFlags) {
    EXPECT_EQ(words(u"a,b,c", u',', 0), (Words{"a", "b", "c"}));
    EXPECT_EQ(words(u"", u',', 0), Words{});
    EXPECT_EQ(words(u"a,,b", u',', 0), (Words{"a", "", "b"}));
    EXPECT_EQ(words(u"a,,b", u',', UL_WORDLIST_DOUBLED_SEPARATOR), (Words{"a,b"}));
    EXPECT_EQ(words(u"a,,b", u',', UL_WORDLIST_SKIP_EMPTY), (Words{"a", "b"}));
    EXPECT_EQ(words(u"a,", u',', 0), (Words{"a"}));
    EXPECT_EQ(words(u" a , b ", u',', UL_WORDLIST_TRIM), (Words{"a", "b"}));
    EXPECT_EQ(words(u" a , b ", u',', 0), (Words{" a ", " b "}));
    EXPECT_EQ(words(u"f(a,b),[c,d],{e,(f,g)},h", u',', UL_WORDLIST_BRACKETS),
              (Words{"f(a,b)", "[c,d]", "{e,(f,g)}", "h"}));
    EXPECT_EQ(words(u"f(a,b)", u',', 0), (Words{"f(a", "b)"}));
    EXPECT_EQ(words(u"\"x\",y", u',', UL_WORDLIST_DROP_QUOTES), (Words{"x", "y"}));
    EXPECT_EQ(words(u"  one \t two\nthree  ", u' ', 0), (Words{"one", "two", "three"}));
    EXPECT_EQ(words(u"   ", u' ', 0), Words{});
}

TEST(UlStringTest, WordListRejectsWordLongerThanBuffer) {
    char16_t buffer[4];
    const char16_t* cursor = u"abcd,e";
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), -1);
    EXPECT_EQ(u8(ul_errorgetmsg()), "Word length 4 exceeds buffer length 4");
}

}  // namespace

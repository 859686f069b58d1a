#include "ulstring.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
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
    const char* samples[] = {"",
                             "plain",
                             "\xC3\xA4\xC3\xB6\xC3\xBC",
                             "\xE2\x82\xAC 100",
                             "\xF0\x9F\x98\x80 emoji",
                             "mixed \xE4\xB8\xAD\xE6\x96\x87"};
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
        {"a\xFF"
         "b",
         u"a\uFFFDb"},
        {"\xC3", u"\uFFFD"},                      // truncated sequence
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"\xE2\x82"
         "x",
         u"\uFFFD\uFFFDx"},
    };
    for (const Case& c : cases) EXPECT_EQ(ul_utf8to16(c.bytes), c.expected) << c.bytes;
    const struct {
        const char* bytes;
        long offset;
    } checks[] = {{"plain \xC3\xA4 \xF0\x9F\x98\x80", -1}, {"\xEF\xBF\xBD", -1},  // U+FFFD itself
                  {"a\xFF", 1}, {"ab\xC3", 2}, {"\xC0\xAF", 0}, {"x\xED\xA0\x80", 1}};
    for (const auto& c : checks)
        EXPECT_EQ(ul_utf8invalidoffset(c.bytes, strlen(c.bytes)), c.offset) << c.bytes;
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(ul_utf16to8(lone),
              "a\xEF\xBF\xBD"
              "b");
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

TEST(UlStringTest, CaseMappingFollowsUnicodePerCodeUnit) {
    struct Case {
        char16_t c, lower, upper;
    } cases[] = {
        {u'A', u'a', u'A'},       {u'z', u'z', u'Z'},
        {u'1', u'1', u'1'},       {0x00C4, 0x00E4, 0x00C4},  // A with diaeresis
        {0x00FF, 0x00FF, 0x0178},  // y with diaeresis: its capital lies outside Latin-1
        {0x00DF, 0x00DF, 0x00DF},  // sharp s: the full upper case "SS" is two characters
        {0x00D7, 0x00D7, 0x00D7},  // multiplication sign
        {0x03A3, 0x03C3, 0x03A3},  // Greek capital sigma
        {0x03C2, 0x03C2, 0x03A3},  // Greek final sigma
        {0x0416, 0x0436, 0x0416},  // Cyrillic Zhe
        {0x0130, 0x0069, 0x0130},  // capital I with dot above
        {0xFF21, 0xFF41, 0xFF21},  // fullwidth A
        {0xD801, 0xD801, 0xD801},  // a lone surrogate stays itself
        {0x4E2D, 0x4E2D, 0x4E2D},  // no case
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ul_chartolower(c.c), c.lower) << std::hex << static_cast<int>(c.c);
        EXPECT_EQ(ul_chartoupper(c.c), c.upper) << std::hex << static_cast<int>(c.c);
    }
}

TEST(UlStringTest, CaseInsensitiveComparisonCoversNonAscii) {
    struct Case {
        const char16_t *a, *b;
        bool equal;
    } cases[] = {
        {u"\u0391\u0392\u0393", u"\u03B1\u03B2\u03B3", true},  // Greek
        {u"\u041C\u041E\u0421\u041A\u0412\u0410", u"\u043C\u043E\u0441\u043A\u0432\u0430", true},
        {u"stra\u00DFe", u"STRA\u00DFE", true},  // sharp s stays itself
        {u"stra\u00DFe", u"STRASSE", false},     // no full case folding
        {u"\u00E9t\u00E9", u"\u00C9T\u00C9", true},
        {u"\u0178", u"\u00FF", true},
        {u"abc", u"abd", false},
        {u"", u"", true},
        {u"a", u"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ul_stricmp(c.a, c.b) == 0, c.equal) << u8(c.a) << " / " << u8(c.b);
        EXPECT_EQ(ul_stricmp(c.b, c.a) == 0, c.equal) << u8(c.b) << " / " << u8(c.a);
    }
    // The order ignoring case is the order of the lower-case forms.
    EXPECT_LT(ul_stricmp(u"apple", u"BANANA"), 0);
    EXPECT_GT(ul_stricmp(u"Zebra", u"apple"), 0);
    EXPECT_LT(ul_stricmp(u"ab", u"ABC"), 0);
}

TEST(UlStringTest, InPlaceCaseMapping) {
    char16_t text[] = u"Mixed \u00E4\u00DF\u03C3 Case 42";
    EXPECT_EQ(u8(ul_string2upper(text)), u8(u"MIXED \u00C4\u00DF\u03A3 CASE 42"));
    EXPECT_EQ(u8(ul_string2lower(text)), u8(u"mixed \u00E4\u00DF\u03C3 case 42"));
    EXPECT_EQ(ul_string2upper(nullptr), nullptr);
}

TEST(UlStringTest, SearchIgnoringCase) {
    const char16_t* text = u"Select * FROM \u0394\u0395\u039B\u03A4\u0391 where";
    EXPECT_EQ(ul_stristr(text, u"from"), text + 9);
    EXPECT_EQ(ul_stristr(text, u"\u03B4\u03B5\u03BB"), text + 14);
    EXPECT_EQ(ul_stristr(text, u"WHERE"), text + 20);
    EXPECT_EQ(ul_stristr(text, u"wherex"), nullptr);
    EXPECT_EQ(ul_stristr(text, u""), text);
    const char16_t* repeated = u"aaab";
    EXPECT_EQ(ul_stristr(repeated, u"AAB"), repeated + 1);
    EXPECT_EQ(ul_stristr(nullptr, u"a"), nullptr);
}

TEST(UlStringTest, SuffixTests) {
    struct Case {
        const char16_t *s, *suffix;
        bool exact, ignoringCase;
    } cases[] = {
        {u"table.crc", u".crc", true, true},
        {u"table.CRC", u".crc", false, true},
        {u"crc", u"table.crc", false, false},
        {u"abc", u"", true, true},
        {u"", u"", true, true},
        {u"", u"a", false, false},
        {u"x\u03A3", u"\u03C3", false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ul_stringendswith(c.s, c.suffix), c.exact) << u8(c.s) << " " << u8(c.suffix);
        EXPECT_EQ(ul_stringiendswith(c.s, c.suffix), c.ignoringCase)
            << u8(c.s) << " " << u8(c.suffix);
    }
    EXPECT_FALSE(ul_stringendswith(nullptr, u""));
}

TEST(UlStringTest, TrimmingAndCondensing) {
    struct Case {
        const char16_t* text;
        const char* trim;
        const char* tail;
        const char* lineEnd;
        const char* condensed;
    } cases[] = {
        {u"  a b  ", "a b", "  a b", "  a b  ", " a b "},
        {u"\t\r\n", "", "", "\t", " "},
        {u"", "", "", "", ""},
        {u"line\r\n", "line", "line", "line", "line "},
        {u"line\n\n", "line", "line", "line\n", "line "},
        {u"line\r", "line", "line", "line", "line "},
        {u"a \t\n b", "a \t\n b", "a \t\n b", "a \t\n b", "a b"},
        {u"x", "x", "x", "x", "x"},
    };
    for (const Case& c : cases) {
        std::u16string a = c.text, b = c.text, d = c.text, e = c.text;
        EXPECT_EQ(ul_stringtrim(a.data()), strlen(c.trim));
        EXPECT_EQ(u8(a.c_str()), c.trim);
        EXPECT_EQ(ul_stringtrimtail(b.data()), strlen(c.tail));
        EXPECT_EQ(u8(b.c_str()), c.tail);
        EXPECT_EQ(ul_stringtrimlineending(d.data()), strlen(c.lineEnd));
        EXPECT_EQ(u8(d.c_str()), c.lineEnd);
        EXPECT_EQ(ul_stringcondensespaces(e.data()), strlen(c.condensed));
        EXPECT_EQ(u8(e.c_str()), c.condensed);
    }
}

TEST(UlStringTest, GroupCompareFindsWholeEntries) {
    struct Case {
        const char16_t *word, *list;
        char16_t separator;
        int flags;
        bool found;
    } cases[] = {
        {u"DB6", u"ORA,DB6,MSS", u',', 0, true},
        {u"ORA", u"ORA,DB6,MSS", u',', 0, true},
        {u"MSS", u"ORA,DB6,MSS", u',', 0, true},
        {u"db6", u"ORA,DB6,MSS", u',', 0, false},
        {u"db6", u"ORA,DB6,MSS", u',', UL_GROUP_IGNORECASE, true},
        {u"DB", u"ORA,DB6,MSS", u',', 0, false},       // prefix of an entry
        {u"DB6,MSS", u"ORA,DB6,MSS", u',', 0, false},  // spans entries
        {u"", u"a,,b", u',', 0, true},
        {u"", u"a,b", u',', 0, false},
        {u"", u"a,", u',', 0, false},
        {u"", u"", u',', 0, false},
        {u"b", u" a \t b\n", u' ', 0, true},
        {u"", u"  ", u' ', 0, false},
        {u" b", u"a, b", u',', 0, true},  // entries are not trimmed
        {u"b", u"a, b", u',', 0, false},
        {u"\u00C4", u"x;\u00E4", u';', UL_GROUP_IGNORECASE, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ul_stringgroupcompare(c.word, c.list, c.separator, c.flags), c.found)
            << "'" << u8(c.word) << "' in '" << u8(c.list) << "'";
    EXPECT_FALSE(ul_stringgroupcompare(nullptr, u"a", u',', 0));
}

TEST(UlStringTest, NumericVersionComparison) {
    struct Case {
        const char16_t *a, *b;
        int n;
        int result;
    } cases[] = {
        {u"7.40", u"7.40", -1, 0},
        {u"7.40", u"7.5", -1, 1},  // numeric, not textual
        {u"7.5", u"7.40", -2, -1},
        {u"10.0", u"9.99", 1, 1},
        {u"7.40.1", u"7.40", -1, 0},  // the shorter count: 2 components
        {u"7.40.1", u"7.40", -2, 1},  // the longer count: missing component is 0
        {u"7.40.0", u"7.40", -2, 0},
        {u"7.40", u"7.40.0.0.1", -2, -1},
        {u"7.40.1", u"7.40.2", 2, 0},  // only two components compared
        {u"7.40.1", u"7.40.2", 3, -1},
        {u"7", u"7.0.0", 5, 0},
        {u"1.2", u"2.1", 0, 0},
        {u"007.01", u"7.1", -2, 0},  // leading zeros
        {u"123456789012345678901234567890", u"123456789012345678901234567891", -1, -1},
        {u"2.1b", u"2.1a", -2, 0},   // text behind the digits is ignored
        {u"2..1", u"2.0.1", -2, 0},  // an empty component counts as 0
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ul_numversioncmp(c.a, c.b, c.n), c.result)
            << u8(c.a) << " " << u8(c.b) << " n=" << c.n;
        EXPECT_EQ(ul_numversioncmp(c.b, c.a, c.n), -c.result)
            << u8(c.b) << " " << u8(c.a) << " n=" << c.n;
    }
}

TEST(UlStringTest, NumericVersionComparisonRejectsEmptyVersion) {
    EXPECT_EQ(ul_numversioncmp(u"", u"7.40", -1), -2);
    EXPECT_EQ(u8(ul_errorgetmsg()), "Empty version in comparing '' '7.40'");
    EXPECT_EQ(ul_numversioncmp(u"7.40", nullptr, 2), -2);
    EXPECT_EQ(u8(ul_errorgetmsg()), "Empty version in comparing '7.40' ''");
}

struct WildCase {
    const char16_t* pattern;
    const char16_t* object;
    int mode;
    int result;
};

void expectWild(const WildCase* cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const WildCase& c = cases[i];
        EXPECT_EQ(ul_stringwildcmp(c.pattern, c.object, c.mode), c.result)
            << "pattern '" << u8(c.pattern) << "' object '" << u8(c.object) << "' mode " << c.mode;
    }
}

TEST(UlStringTest, WildcardBasicsAndAnchoring) {
    const WildCase cases[] = {
        {u"ab*", u"abc", 0, 3},  // prefix match; "*" takes as little as it can
        {u"ab", u"abc", 1, 0},   // a full match is required
        {u"ab", u"abc", 0, 3},   {u"ab$", u"abc", 0, 0},   // "$" anchors at the end
        {u"abc$", u"abc", 0, 4}, {u"A_C", u"abc", 12, 4},  // SQL style ignoring case
        {u"A_C", u"abc", 8, 0},  {u"abc", u"abc", 1, 4},
        {u"*", u"abc", 1, 4},    {u"*", u"", 1, 1},
        {u"", u"", 1, 1},        {u"", u"abc", 0, 1},
        {u"", u"abc", 1, 0},     {u"?", u"", 0, 0},
        {u"a?c", u"abc", 1, 4},  {u"a?c", u"ac", 1, 0},
        {u"abcd", u"abc", 0, 0},  // the pattern is longer than the object
        {u"ABC", u"abc", 1, 0},  {u"ABC", u"abc", 5, 4},
        {u"a.c", u"abc", 1, 0},  // "." is literal without mode bit 1
        {u"a.c", u"a.c", 1, 4},  {u"a.c", u"abc", 3, 4},
        {u"a?c", u"abc", 3, 0},  // ... and then "?" is literal
        {u"a?c", u"a?c", 3, 4},  {u"a%", u"abc", 9, 4},
        {u"a*", u"abc", 9, 0},                               // "*" is literal in SQL style
        {u"a*", u"a*", 9, 3},    {u"a_c", u"abc", 11, 4},    // SQL style wins over the dot
        {u"a$b", u"a$b", 1, 4},                              // "$" inside the pattern is literal
        {u"a\\$", u"a$", 1, 3},                              // an escaped "$" at the end is literal
        {u"a\\$", u"a", 0, 0},   {u"a\\\\$", u"a\\", 0, 3},  // escaped backslash, then the anchor
        {u"$", u"", 0, 1},       {u"$", u"x", 0, 0},
    };
    expectWild(cases, std::size(cases));
}

TEST(UlStringTest, WildcardStarBacktracks) {
    const WildCase cases[] = {
        {u"a*c", u"abcd", 0, 4},
        {u"a*c", u"abcbc", 1, 6},  // the last "c" must end the object
        {u"a*c", u"abcbd", 1, 0},
        {u"*b*d", u"abcbd", 1, 6},
        {u"*ab", u"aaab", 1, 5},
        {u"*aab", u"aaaab", 1, 6},
        {u"a*b*c*d", u"axxbyyczzd", 1, 11},
        {u"a*b*c*d", u"axxbyyczz", 1, 0},
        {u"**a", u"ba", 1, 3},
        {u"*?", u"", 1, 0},
        {u"*?", u"x", 1, 2},
        {u"?*?", u"xy", 1, 3},
        {u"%a_", u"bbab", 9, 5},
        {u"*.crc", u"table.crc.tmp", 1, 0},
        {u"*.crc", u"table.crc.tmp", 0, 10},
        {u"*.crc$", u"table.crc.tmp", 0, 0},
        {u"*.crc", u"x.crc.crc", 1, 10},
    };
    expectWild(cases, std::size(cases));
}

TEST(UlStringTest, WildcardClassesRangesAndEscapes) {
    const WildCase cases[] = {
        {u"[abc]x", u"bx", 1, 3},
        {u"[abc]x", u"dx", 1, 0},
        {u"[^abc]x", u"dx", 1, 3},
        {u"[^abc]x", u"ax", 1, 0},
        {u"[a-c]", u"b", 1, 2},
        {u"[a-c]", u"d", 1, 0},
        {u"[a-cx-z]", u"y", 1, 2},
        {u"[^a-c]", u"b", 1, 0},
        {u"[]a]", u"]", 1, 2},  // "]" first is a member
        {u"[]a]", u"a", 1, 2},
        {u"[^]a]", u"]", 1, 0},
        {u"[^]a]", u"b", 1, 2},
        {u"[a-]", u"-", 1, 2},  // "-" last is a member
        {u"[-a]", u"-", 1, 2},
        {u"[\\]]", u"]", 1, 2},  // escaped "]" inside a class
        {u"[*?]", u"*", 1, 2},   // wildcards are members inside a class
        {u"[*?]", u"x", 1, 0},
        {u"[A-C]", u"b", 1, 0},
        {u"[A-C]", u"b", 5, 2},  // ranges ignore case too
        {u"[a-c]", u"B", 5, 2},
        {u"[^A-C]", u"b", 5, 0},
        {u"[\u0391-\u03A9]", u"\u03B2", 5, 2},
        {u"[z-a]", u"m", 1, 0},    // an empty range
        {u"[abc", u"[abc", 1, 5},  // no closing "]": "[" is literal
        {u"[abc", u"a", 1, 0},
        {u"[]", u"[]", 1, 3},
        {u"\\*", u"*", 1, 2},
        {u"\\*", u"x", 1, 0},
        {u"\\?", u"?", 1, 2},
        {u"\\[a]", u"[a]", 1, 4},
        {u"a\\", u"a\\", 1, 3},  // a trailing backslash is literal
        {u"\\%", u"%", 9, 2},
        {u"*[0-9]", u"table7", 1, 7},
        {u"*[0-9]", u"table7x", 1, 0},
        {u"*[0-9]$", u"table7x", 0, 0},
        {u"T[0-9][0-9]*", u"T42ABC", 1, 7},
    };
    expectWild(cases, std::size(cases));
}

// A plain recursive matcher over "*", "?" and literals gives the reference answer for
// full matches.
bool referenceMatch(const char16_t* p, const char16_t* o) {
    if (!*p) return !*o;
    if (*p == u'*') return referenceMatch(p + 1, o) || (*o && referenceMatch(p, o + 1));
    return *o && (*p == u'?' || *p == *o) && referenceMatch(p + 1, o + 1);
}

TEST(UlStringTest, WildcardAgreesWithReferenceMatcherOnRandomInput) {
    std::mt19937 random(20240611);
    const char16_t patternAlphabet[] = u"ab*?";
    const char16_t objectAlphabet[] = u"ab";
    for (int round = 0; round < 5000; ++round) {
        std::u16string pattern, object;
        for (int i = random() % 7; i > 0; --i) pattern.push_back(patternAlphabet[random() % 4]);
        for (int i = random() % 9; i > 0; --i) object.push_back(objectAlphabet[random() % 2]);
        bool expected = referenceMatch(pattern.c_str(), object.c_str());
        int full = ul_stringwildcmp(pattern.c_str(), object.c_str(), UL_WILD_FULL);
        ASSERT_EQ(full != 0, expected) << u8(pattern) << " / " << u8(object);
        if (full) {
            ASSERT_EQ(full, static_cast<int>(object.size()) + 1);
        }
        // A prefix match succeeds iff some prefix matches fully, and reports the shortest.
        int shortest = 0;
        for (size_t n = 0; n <= object.size() && !shortest; ++n)
            if (referenceMatch(pattern.c_str(), object.substr(0, n).c_str()))
                shortest = static_cast<int>(n) + 1;
        ASSERT_EQ(ul_stringwildcmp(pattern.c_str(), object.c_str(), 0), shortest)
            << u8(pattern) << " / " << u8(object);
    }
}

TEST(UlStringTest, WildcardSurvivesMalformedPatterns) {
    const char16_t* patterns[] = {u"[",   u"[^", u"[]", u"[^]",    u"\\",   u"[a-",
                                  u"[\\", u"$$", u"*$", u"[a-\\]", u"**\\", u"[^-]"};
    const char16_t* objects[] = {u"", u"a", u"[", u"]", u"\\", u"$", u"-"};
    for (const char16_t* pattern : patterns)
        for (const char16_t* object : objects)
            for (int mode = 0; mode < 16; ++mode) {
                int rc = ul_stringwildcmp(pattern, object, mode);
                EXPECT_GE(rc, 0);
                EXPECT_LE(rc, static_cast<int>(ul_strlen(object)) + 1);
            }
    EXPECT_EQ(ul_stringwildcmp(nullptr, u"a", 0), 0);
    EXPECT_EQ(ul_stringwildcmp(u"a", nullptr, 0), 0);
}

TEST(UlStringTest, WordListFlagTable) {
    EXPECT_EQ(words(u"a,,b", u',', UL_WORDLIST_DOUBLED_SEPARATOR), (Words{"a,b"}));
    EXPECT_EQ(words(u"a,,,b", u',', UL_WORDLIST_DOUBLED_SEPARATOR), (Words{"a,", "b"}));
    EXPECT_EQ(words(u"a,,,,b,c", u',', UL_WORDLIST_DOUBLED_SEPARATOR), (Words{"a,,b", "c"}));
    EXPECT_EQ(words(u"a  b", u' ', UL_WORDLIST_DOUBLED_SEPARATOR), (Words{"a", "b"}));
    EXPECT_EQ(words(u"\t a \t,\n", u',', UL_WORDLIST_TRIM), (Words{"a", ""}));
    EXPECT_EQ(words(u"a,(b,[c,d]),e", u',', UL_WORDLIST_BRACKETS), (Words{"a", "(b,[c,d])", "e"}));
    EXPECT_EQ(words(u"(a,b", u',', UL_WORDLIST_BRACKETS), (Words{"(a,b"}));  // never closed
    EXPECT_EQ(words(u"a),b", u',', UL_WORDLIST_BRACKETS), (Words{"a)", "b"}));
    EXPECT_EQ(words(u",a,,b,", u',', UL_WORDLIST_SKIP_EMPTY), (Words{"a", "b"}));
    EXPECT_EQ(words(u",a,,b,", u',', 0), (Words{"", "a", "", "b"}));
    EXPECT_EQ(words(u", ,a", u',', UL_WORDLIST_SKIP_EMPTY | UL_WORDLIST_TRIM), (Words{"a"}));
    EXPECT_EQ(words(u", ,", u',', UL_WORDLIST_SKIP_EMPTY | UL_WORDLIST_TRIM), Words{});
    EXPECT_EQ(words(u"\"a\"\"b\",c", u',', UL_WORDLIST_DROP_QUOTES), (Words{"ab", "c"}));
    EXPECT_EQ(words(u"\"\",c", u',', UL_WORDLIST_DROP_QUOTES | UL_WORDLIST_SKIP_EMPTY),
              (Words{"c"}));
    EXPECT_EQ(words(u"\"a\",c", u',', 0), (Words{"\"a\"", "c"}));
    EXPECT_EQ(words(u" x(1, 2) ,, y ", u',',
                    UL_WORDLIST_TRIM | UL_WORDLIST_BRACKETS | UL_WORDLIST_SKIP_EMPTY),
              (Words{"x(1, 2)", "y"}));
}

TEST(UlStringTest, WordListBufferBoundary) {
    char16_t buffer[4];
    const char16_t* cursor = u"abc,abcd,x";
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), 1);
    EXPECT_EQ(u8(buffer), "abc");
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), -1);
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), 1);  // goes on behind it
    EXPECT_EQ(u8(buffer), "x");
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), 0);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), 0);
}

class CollectingExpander : public ULWordListExpander {
  public:
    explicit CollectingExpander(int failAt = -1) : failAt_(failAt) {}
    int handleSingleWord(const char16_t* word) override {
        if (static_cast<int>(seen.size()) == failAt_) {
            ul_errorsetmsg(0, u"refused");
            return -1;
        }
        seen.push_back(u8(word));
        return 0;
    }
    Words seen;

  private:
    int failAt_;
};

TEST(UlStringTest, CallExpWordListFeedsEveryWord) {
    CollectingExpander all;
    EXPECT_EQ(ul_stringcallexpwordlist(u" a , b,,c ", u',', &all, UL_WORDLIST_TRIM), 4);
    EXPECT_EQ(all.seen, (Words{"a", "b", "", "c"}));

    CollectingExpander none;
    EXPECT_EQ(ul_stringcallexpwordlist(u"", u',', &none, 0), 0);
    EXPECT_TRUE(none.seen.empty());

    CollectingExpander failing(1);
    EXPECT_EQ(ul_stringcallexpwordlist(u"a,b,c", u',', &failing, 0), -1);
    EXPECT_EQ(failing.seen, (Words{"a"}));
    EXPECT_EQ(u8(ul_errorgetmsg()), "refused");
}

TEST(UlStringTest, CallExpWordListLimitsWordLength) {
    std::u16string longest(UL_WORDLIST_MAXWORD, u'x');
    std::u16string text = u"a," + longest;
    CollectingExpander fits;
    EXPECT_EQ(ul_stringcallexpwordlist(text.c_str(), u',', &fits, 0), 2);
    ASSERT_EQ(fits.seen.size(), 2u);
    EXPECT_EQ(fits.seen[1].size(), UL_WORDLIST_MAXWORD);

    text += u"x,b";
    CollectingExpander tooLong;
    EXPECT_EQ(ul_stringcallexpwordlist(text.c_str(), u',', &tooLong, 0), -1);
    EXPECT_EQ(tooLong.seen, (Words{"a"}));
    EXPECT_EQ(u8(ul_errorgetmsg()), "Word length 16385 exceeds buffer length 16385");
}

TEST(UlStringTest, WordListIterMatchesExpWordList) {
    const char16_t* text = u"one two\tthree\n";
    ULWordListIter iter(text, u' ');
    char16_t buffer[16];
    Words seen;
    while (iter.next(buffer, 16) == 1) seen.push_back(u8(buffer));
    EXPECT_EQ(seen, words(text, u' ', 0));
    EXPECT_EQ(iter.next(buffer, 16), 0);

    ULWordListIter flagged(u"a,,b,,,c", u',', UL_WORDLIST_DOUBLED_SEPARATOR);
    seen.clear();
    while (flagged.next(buffer, 16) == 1) seen.push_back(u8(buffer));
    EXPECT_EQ(seen, (Words{"a,b,", "c"}));
}

TEST(UlStringTest, SubstringClampsToTheString) {
    struct Case {
        size_t start, length;
        long rc;
        const char* result;
    } cases[] = {
        {0, 3, 3, "abc"}, {2, 2, 2, "cd"}, {4, 10, 2, "ef"},           {6, 1, 0, ""},
        {99, 1, 0, ""},   {1, 0, 0, ""},   {0, SIZE_MAX, 6, "abcdef"},
    };
    for (const Case& c : cases) {
        char16_t buffer[8] = u"junk";
        EXPECT_EQ(ul_stringsubstr(buffer, 8, u"abcdef", c.start, c.length), c.rc);
        EXPECT_EQ(u8(buffer), c.result);
    }
    char16_t small[3];
    EXPECT_EQ(ul_stringsubstr(small, 3, u"abcdef", 1, 3), -1);
    EXPECT_EQ(u8(small), "");
    EXPECT_EQ(u8(ul_errorgetmsg()), "Substring of 3 characters exceeds buffer length 3");
    EXPECT_EQ(ul_stringsubstr(small, 3, u"abcdef", 1, 2), 2);
}

TEST(UlStringTest, ReplaceInPlace) {
    struct Case {
        const char16_t* text;
        const char16_t *search, *replacement;
        int flags;
        long rc;
        const char* result;
    } cases[] = {
        {u"a.b.c", u".", u"::", 0, 2, "a::b::c"},
        {u"a.b.c", u".", u"", 0, 2, "abc"},
        {u"a.b.c", u".", u"::", UL_REPLACE_FIRST, 1, "a::b.c"},
        {u"aaa", u"aa", u"b", 0, 1, "ba"},      // no overlapping matches
        {u"aaa", u"a", u"aa", 0, 3, "aaaaaa"},  // replaced text is not rescanned
        {u"Tab TAB tab", u"tab", u"X", UL_REPLACE_IGNORECASE, 3, "X X X"},
        {u"Tab TAB tab", u"tab", u"X", 0, 1, "Tab TAB X"},
        {u"none", u"x", u"y", 0, 0, "none"},
        {u"same", u"", u"y", 0, 0, "same"},
        {u"\u03A3\u03C3", u"\u03C3", u"s", UL_REPLACE_IGNORECASE, 2, "ss"},
    };
    for (const Case& c : cases) {
        char16_t buffer[32];
        ul_strlcpy(buffer, c.text, 32);
        EXPECT_EQ(ul_stringreplace(buffer, 32, c.search, c.replacement, c.flags), c.rc)
            << u8(c.text);
        EXPECT_EQ(u8(buffer), c.result) << u8(c.text);
    }
    // "a--b--c" has 7 characters and needs 8 units with its terminator.
    char16_t tight[8] = u"a.b.c";
    EXPECT_EQ(ul_stringreplace(tight, 7, u".", u"--", 0), -1);
    EXPECT_EQ(u8(tight), "a.b.c");
    EXPECT_EQ(u8(ul_errorgetmsg()), "Replacing '.' by '--' exceeds buffer length 7");
    EXPECT_EQ(ul_stringreplace(tight, 8, u".", u"--", 0), 2);
    EXPECT_EQ(u8(tight), "a--b--c");
}

TEST(UlStringTest, Utf8LengthMatchesConversion) {
    const char16_t lone[] = {u'a', 0xDC00, 0xD800, 0};
    const char16_t* samples[] = {
        u"", u"abc", u"\u00E4\u00DF", u"\u20AC", u"\U0001F600x", lone, u"\u07FF\u0800\uFFFF"};
    for (const char16_t* s : samples)
        EXPECT_EQ(ul_stringutf8len(s), ul_utf16to8(s).size()) << u8(s);
    EXPECT_EQ(ul_stringutf8len(nullptr), 0u);
}

}  // namespace

#include "ulstring.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <array>
#include <random>
#include <tuple>
#include <string>
#include <vector>

#include "testutil.h"
#include "ulerror.h"

namespace {

using Words = std::vector<std::string>;

TEST(UlStringTest, CopyComparePrefixes) {
    char16_t buffer[4];
    EXPECT_EQ(ul_strlcpy(buffer, u"abcdef", 4), 6u);  // truncates, reports the wanted length
    EXPECT_EQ(ul_strlcpy(buffer, u"ab", 4), 2u);
    EXPECT_EQ(ul_strlcat(buffer, u"xyz", 4), 5u);
    EXPECT_EQ(u8(buffer), "abx");
    EXPECT_LT(ul_strcmp(u"a", u"b"), 0);
    EXPECT_GT(ul_strcmp(u"ab", u"a"), 0);
    EXPECT_EQ(ul_strcmp(u"", u""), 0);
    EXPECT_LT(ul_strcmp(u"Z", u"a"), 0);  // no case folding
    EXPECT_LT(ul_strcmp(nullptr, u""), 0);
    EXPECT_EQ(ul_strnicmp(u"ABCx", u"abcy", 3), 0);
    EXPECT_EQ(u8(ul_stringstartcmp(u"logfile=x.log", u"logfile=")), "x.log");
    EXPECT_EQ(ul_stringstartcmp(u"LOGFILE=x", u"logfile="), nullptr);
    EXPECT_EQ(u8(ul_stringstarticmp(u"LOGFILE=x", u"logfile=")), "x");
    EXPECT_EQ(ul_stringstartcmp(u"log", u"logfile="), nullptr);
}

TEST(UlStringTest, ParsesLongsWithOverflowCheck) {
    const std::tuple<const char16_t*, int, long> cases[] = {
        {u"0", 0, 0}, {u"-17", 0, -17}, {u"+5", 0, 5}, {u"9223372036854775807", 0, LONG_MAX},
        {u"-9223372036854775808", 0, LONG_MIN}, {u"9223372036854775808", -1, 0}, {u"", -1, 0}, {u"-", -1, 0},
        {u"12a", -1, 0}, {u" 1", -1, 0}};
    for (const auto& [text, rc, expected] : cases) {
        long value = 0;
        EXPECT_EQ(ul_stringtolong(text, &value), rc) << u8(text);
        EXPECT_EQ(value, expected) << u8(text);
    }
}

// Property: any UTF-16 text of valid characters survives UTF-8 and back, its UTF-8 form is
// valid and as long as ul_stringutf8len says.
TEST(UlStringTest, Utf8RoundTripOfRandomText) {
    std::mt19937 random(9);
    const char32_t ranges[][2] = {{1, 0x7F}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF},
                                  {0x10000, 0x10FFFF}};
    for (int round = 0; round < 2000; ++round) {
        std::u16string text;
        for (int i = random() % 12; i > 0; --i) {
            const auto& range = ranges[random() % 5];
            char32_t c = range[0] + random() % (range[1] - range[0] + 1);
            if (c < 0x10000) {
                text.push_back(static_cast<char16_t>(c));
            } else {
                text.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
                text.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
            }
        }
        std::string utf8 = ul_utf16to8(text.c_str(), text.size());
        ASSERT_EQ(ul_utf8to16(utf8.c_str()), text);
        ASSERT_EQ(ul_stringutf8len(text.c_str()), utf8.size());
        ASSERT_EQ(ul_utf8invalidoffset(utf8.data(), utf8.size()), -1);
    }
    EXPECT_EQ(ul_utf8to16("\xF0\x9F\x98\x80").size(), 2u);  // a surrogate pair
    EXPECT_EQ(ul_stringutf8len(nullptr), 0u);
}

TEST(UlStringTest, InvalidUtf8BecomesReplacementCharacters) {
    const std::tuple<const char*, std::u16string, long> cases[] = {
        {"a\xFF" "b", u"a\uFFFDb", 1}, {"ab\xC3", u"ab\uFFFD", 2},  // truncated sequence
        {"\xC0\xAF", u"\uFFFD\uFFFD", 0},                           // overlong form
        {"x\xED\xA0\x80", u"x\uFFFD\uFFFD\uFFFD", 1},               // encoded surrogate
        {"\xE2\x82x", u"\uFFFD\uFFFDx", 0}, {"\xEF\xBF\xBD", u"\uFFFD", -1}};  // U+FFFD is valid
    for (const auto& [bytes, expected, offset] : cases) {
        EXPECT_EQ(ul_utf8to16(bytes), expected) << bytes;
        EXPECT_EQ(ul_utf8invalidoffset(bytes, strlen(bytes)), offset) << bytes;
    }
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ(ul_utf16to8(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(ul_stringutf8len(lone), 8u);
}

Words words(const char16_t* text, char16_t separator, int flags) {
    Words out;
    char16_t buffer[64];
    int rc;
    while ((rc = ul_stringexpwordlist(&text, separator, buffer, 64, flags)) > 0)
        out.push_back(u8(buffer));
    if (rc < 0) out.push_back("<error>");
    return out;
}

TEST(UlStringTest, WordListSplitsByFlags) {
    constexpr int D = UL_WORDLIST_DOUBLED_SEPARATOR, T = UL_WORDLIST_TRIM, B = UL_WORDLIST_BRACKETS,
                  S = UL_WORDLIST_SKIP_EMPTY, Q = UL_WORDLIST_DROP_QUOTES;
    const std::tuple<const char16_t*, char16_t, int, Words> cases[] = {
        {u"a,b,c", u',', 0, {"a", "b", "c"}}, {u"", u',', 0, {}},
        {u",a,,b,", u',', 0, {"", "a", "", "b"}},  // a separator at the end opens no word
        {u"a,,b", u',', D, {"a,b"}}, {u"a,,,b", u',', D, {"a,", "b"}}, {u"a,,,,b,c", u',', D, {"a,,b", "c"}},
        {u"a  b", u' ', D, {"a", "b"}}, {u",a,,b,", u',', S, {"a", "b"}}, {u" a , b ", u',', 0, {" a ", " b "}},
        {u"\t a \t,\n", u',', T, {"a", ""}}, {u", ,", u',', S | T, {}}, {u"f(a,b)", u',', 0, {"f(a", "b)"}},
        {u"f(a,b),[c,d],{e,(f,g)},h", u',', B, {"f(a,b)", "[c,d]", "{e,(f,g)}", "h"}},
        {u"(a,b", u',', B, {"(a,b"}}, {u"a),b", u',', B, {"a)", "b"}}, {u"\"a\"\"b\",c", u',', Q, {"ab", "c"}},
        {u"\"\",c", u',', Q | S, {"c"}}, {u"\"a\",c", u',', 0, {"\"a\"", "c"}},
        {u" x(1, 2) ,, y ", u',', T | B | S, {"x(1, 2)", "y"}},
        {u"  one \t two\nthree  ", u' ', 0, {"one", "two", "three"}}, {u"   ", u' ', 0, {}}};
    for (const auto& [text, separator, flags, expected] : cases)
        EXPECT_EQ(words(text, separator, flags), expected) << u8(text) << " " << flags;
}

// A word that does not fit is an error; the cursor moves past it and splitting goes on.
TEST(UlStringTest, WordListBufferBoundary) {
    char16_t buffer[4];
    const char16_t* cursor = u"abc,abcd,x";
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), 1);
    EXPECT_EQ(u8(buffer), "abc");
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), -1);
    EXPECT_EQ(errorUtf8(), "Word length 4 exceeds buffer length 4");
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), 1);
    EXPECT_EQ(u8(buffer), "x");
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), 0);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(ul_stringexpwordlist(&cursor, u',', buffer, 4, 0), 0);

    ULWordListIter iter(u"a,,b,,,c", u',', UL_WORDLIST_DOUBLED_SEPARATOR);
    Words seen;
    char16_t wide[8];
    while (iter.next(wide, 8) == 1) seen.push_back(u8(wide));
    EXPECT_EQ(seen, (Words{"a,b,", "c"}));
}

// Collects the words it is handed; refuses the word with index failAt.
struct CollectingExpander : ULWordListExpander {
    explicit CollectingExpander(int failAt = -1) : failAt(failAt) {}
    int handleSingleWord(const char16_t* word) override {
        if (static_cast<int>(seen.size()) == failAt) return ul_errorsetmsg(0, u"refused"), -1;
        return seen.push_back(u8(word)), 0;
    }
    int failAt;
    Words seen;
};

TEST(UlStringTest, CallExpWordListFeedsEveryWordUpToTheLimit) {
    CollectingExpander all, none, failing(1), fits, tooLong;
    EXPECT_EQ(ul_stringcallexpwordlist(u" a , b,,c ", u',', &all, UL_WORDLIST_TRIM), 4);
    EXPECT_EQ(all.seen, (Words{"a", "b", "", "c"}));
    EXPECT_EQ(ul_stringcallexpwordlist(u"", u',', &none, 0), 0);
    EXPECT_EQ(ul_stringcallexpwordlist(u"a,b,c", u',', &failing, 0), -1);
    EXPECT_EQ(failing.seen, (Words{"a"}));
    EXPECT_EQ(errorUtf8(), "refused");
    std::u16string text = u"a," + std::u16string(UL_WORDLIST_MAXWORD, u'x');
    EXPECT_EQ(ul_stringcallexpwordlist(text.c_str(), u',', &fits, 0), 2);
    EXPECT_EQ(fits.seen.at(1).size(), UL_WORDLIST_MAXWORD);
    text += u"x,b";
    EXPECT_EQ(ul_stringcallexpwordlist(text.c_str(), u',', &tooLong, 0), -1);
    EXPECT_EQ(tooLong.seen, (Words{"a"}));
    EXPECT_EQ(errorUtf8(), "Word length 16385 exceeds buffer length 16385");
}

TEST(UlStringTest, CaseMappingFollowsUnicodePerCodeUnit) {
    // Latin-1 letters, y with diaeresis (capital outside Latin-1), sharp s (full upper case
    // "SS" has two characters), Greek sigmas, Cyrillic, dotted I, fullwidth, surrogate, CJK.
    const std::tuple<char16_t, char16_t, char16_t> cases[] = {
        {u'A', u'a', u'A'}, {u'Z', u'z', u'Z'}, {u'z', u'z', u'Z'}, {u'1', u'1', u'1'}, {0x00C4, 0x00E4, 0x00C4},
        {0x00FF, 0x00FF, 0x0178}, {0x00DF, 0x00DF, 0x00DF}, {0x00D7, 0x00D7, 0x00D7}, {0x03A3, 0x03C3, 0x03A3},
        {0x03C2, 0x03C2, 0x03A3}, {0x0416, 0x0436, 0x0416}, {0x0130, 0x0069, 0x0130}, {0xFF21, 0xFF41, 0xFF21},
        {0xD801, 0xD801, 0xD801}, {0x4E2D, 0x4E2D, 0x4E2D}};
    for (const auto& [c, lower, upper] : cases) {
        EXPECT_EQ(ul_chartolower(c), lower) << std::hex << static_cast<int>(c);
        EXPECT_EQ(ul_chartoupper(c), upper) << std::hex << static_cast<int>(c);
    }
    char16_t text[] = u"Mixed \u00E4\u00DF\u03C3 Case 42";
    EXPECT_EQ(u8(ul_string2upper(text)), u8(u"MIXED \u00C4\u00DF\u03A3 CASE 42"));
    EXPECT_EQ(u8(ul_string2lower(text)), u8(u"mixed \u00E4\u00DF\u03C3 case 42"));
    EXPECT_EQ(ul_string2upper(nullptr), nullptr);
}

std::u16string lowered(std::u16string text) {
    ul_string2lower(text.data());
    return text;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

// Property: comparing and searching ignoring case is comparing and searching the lower-case
// forms, in both directions.
TEST(UlStringTest, IgnoringCaseIsWorkingOnLowerCaseForms) {
    const char16_t alphabet[] = u"aAbB\u00DF\u00C4\u00E4\u03A3\u03C3\u03C2\u0178\u00FF";
    std::mt19937 random(5);
    for (int round = 0; round < 5000; ++round) {
        std::u16string a, b;
        for (int i = random() % 5; i > 0; --i) a.push_back(alphabet[random() % 12]);
        for (int i = random() % 4; i > 0; --i) b.push_back(alphabet[random() % 12]);
        const std::u16string la = lowered(a), lb = lowered(b);
        ASSERT_EQ(sign(ul_stricmp(a.c_str(), b.c_str())), sign(la.compare(lb))) << u8(a) << "/" << u8(b);
        ASSERT_EQ(sign(ul_stricmp(b.c_str(), a.c_str())), sign(lb.compare(la)));
        const char16_t* found = ul_stristr(a.c_str(), b.c_str());
        size_t expected = la.find(lb);
        ASSERT_EQ(found ? static_cast<size_t>(found - a.c_str()) : std::u16string::npos, expected)
            << u8(a) << "/" << u8(b);
        bool endsWith = la.size() >= lb.size() && la.compare(la.size() - lb.size(), lb.size(), lb) == 0;
        ASSERT_EQ(ul_stringiendswith(a.c_str(), b.c_str()), endsWith);
    }
    EXPECT_EQ(ul_stristr(nullptr, u"a"), nullptr);
}

TEST(UlStringTest, SuffixTests) {
    const std::tuple<const char16_t*, const char16_t*, bool, bool> cases[] = {
        {u"table.crc", u".crc", true, true}, {u"table.CRC", u".crc", false, true},
        {u"crc", u"table.crc", false, false}, {u"abc", u"", true, true}, {u"", u"", true, true},
        {u"", u"a", false, false}};
    for (const auto& [s, suffix, exact, ignoringCase] : cases) {
        EXPECT_EQ(ul_stringendswith(s, suffix), exact) << u8(s) << " " << u8(suffix);
        EXPECT_EQ(ul_stringiendswith(s, suffix), ignoringCase) << u8(s);
    }
    EXPECT_FALSE(ul_stringendswith(nullptr, u""));
}

TEST(UlStringTest, TrimmingAndCondensing) {
    using Trim = size_t (*)(char16_t*);
    const Trim functions[] = {ul_stringtrim, ul_stringtrimtail, ul_stringtrimlineending, ul_stringcondensespaces};
    const std::pair<const char16_t*, std::array<const char*, 4>> cases[] = {  // text, result of each
        {u"  a b  ", {"a b", "  a b", "  a b  ", " a b "}}, {u"\t\r\n", {"", "", "\t", " "}},
        {u"", {"", "", "", ""}},                           {u"line\r\n", {"line", "line", "line", "line "}},
        {u"line\n\n", {"line", "line", "line\n", "line "}}, {u"line\r", {"line", "line", "line", "line "}},
        {u"a \t\n b", {"a \t\n b", "a \t\n b", "a \t\n b", "a b"}}};
    for (const auto& [text, results] : cases)
        for (size_t i = 0; i < 4; ++i) {
            std::u16string copy = text;
            EXPECT_EQ(functions[i](copy.data()), strlen(results[i])) << u8(text) << " " << i;
            EXPECT_EQ(u8(copy.c_str()), results[i]) << u8(text) << " " << i;
        }
}

// An entry of the list is found as ul_stringexpwordlist splits it: untrimmed, whole.
TEST(UlStringTest, GroupCompareFindsWholeEntries) {
    constexpr int I = UL_GROUP_IGNORECASE;
    const std::tuple<const char16_t*, const char16_t*, char16_t, int, bool> cases[] = {
        {u"DB6", u"ORA,DB6,MSS", u',', 0, true}, {u"ORA", u"ORA,DB6,MSS", u',', 0, true},
        {u"MSS", u"ORA,DB6,MSS", u',', 0, true}, {u"db6", u"ORA,DB6,MSS", u',', 0, false},
        {u"db6", u"ORA,DB6,MSS", u',', I, true}, {u"DB", u"ORA,DB6,MSS", u',', 0, false},
        {u"DB6,MSS", u"ORA,DB6,MSS", u',', 0, false}, {u"", u"a,,b", u',', 0, true},
        {u"", u"a,b", u',', 0, false}, {u"", u"a,", u',', 0, false}, {u"", u"", u',', 0, false},
        {u"b", u" a \t b\n", u' ', 0, true}, {u"", u"  ", u' ', 0, false}, {u" b", u"a, b", u',', 0, true},
        {u"b", u"a, b", u',', 0, false}, {u"\u00C4", u"x;\u00E4", u';', I, true}};
    for (const auto& [word, list, separator, flags, found] : cases)
        EXPECT_EQ(ul_stringgroupcompare(word, list, separator, flags), found) << u8(word) << " in " << u8(list);
    EXPECT_FALSE(ul_stringgroupcompare(nullptr, u"a", u',', 0));
}

TEST(UlStringTest, NumericVersionComparison) {
    // n = -1: the shorter count of components, other negative n: the longer (missing is 0);
    // text behind the digits is ignored and an empty component counts as 0.
    const std::tuple<const char16_t*, const char16_t*, int, int> cases[] = {
        {u"7.40", u"7.40", -1, 0}, {u"7.40", u"7.5", -1, 1}, {u"7.5", u"7.40", -2, -1},
        {u"10.0", u"9.99", 1, 1}, {u"7.40.1", u"7.40", -1, 0}, {u"7.40.1", u"7.40", -2, 1},
        {u"7.40.0", u"7.40", -2, 0}, {u"7.40", u"7.40.0.0.1", -2, -1}, {u"7.40.1", u"7.40.2", 2, 0},
        {u"7.40.1", u"7.40.2", 3, -1}, {u"7", u"7.0.0", 5, 0}, {u"1.2", u"2.1", 0, 0},
        {u"007.01", u"7.1", -2, 0}, {u"2.1b", u"2.1a", -2, 0}, {u"2..1", u"2.0.1", -2, 0},
        {u"123456789012345678901234567890", u"123456789012345678901234567891", -1, -1}};
    for (const auto& [a, b, n, result] : cases) {
        EXPECT_EQ(ul_numversioncmp(a, b, n), result) << u8(a) << " " << u8(b) << " " << n;
        EXPECT_EQ(ul_numversioncmp(b, a, n), -result) << u8(b) << " " << u8(a) << " " << n;
    }
    EXPECT_EQ(ul_numversioncmp(u"", u"7.40", -1), -2);
    EXPECT_EQ(errorUtf8(), "Empty version in comparing '' '7.40'");
    EXPECT_EQ(ul_numversioncmp(u"7.40", nullptr, 2), -2);
    EXPECT_EQ(errorUtf8(), "Empty version in comparing '7.40' ''");
}

// Modes, anchoring, classes and escapes; plain "*" and "?" are covered by the property below.
TEST(UlStringTest, WildcardModesClassesAndEscapes) {
    const std::tuple<const char16_t*, const char16_t*, int, int> cases[] = {  // pattern, object, mode, result
        {u"ab*", u"abc", 0, 3}, {u"ab", u"abc", 1, 0}, {u"ab", u"abc", 0, 3}, {u"ab$", u"abc", 0, 0},
        {u"abc$", u"abc", 0, 4}, {u"A_C", u"abc", 12, 4}, {u"A_C", u"abc", 8, 0}, {u"", u"abc", 0, 1},
        {u"", u"abc", 1, 0}, {u"ABC", u"abc", 1, 0}, {u"ABC", u"abc", 5, 4}, {u"a.c", u"abc", 1, 0},
        {u"a.c", u"a.c", 1, 4}, {u"a.c", u"abc", 3, 4}, {u"a?c", u"abc", 3, 0}, {u"a?c", u"a?c", 3, 4},
        {u"a%", u"abc", 9, 4}, {u"a*", u"abc", 9, 0}, {u"a*", u"a*", 9, 3}, {u"a_c", u"abc", 11, 4},
        {u"a$b", u"a$b", 1, 4}, {u"a\\$", u"a$", 1, 3}, {u"a\\$", u"a", 0, 0}, {u"a\\\\$", u"a\\", 0, 3},
        {u"$", u"", 0, 1}, {u"$", u"x", 0, 0}, {u"%a_", u"bbab", 9, 5}, {u"*.crc", u"table.crc.tmp", 0, 10},
        {u"*.crc$", u"table.crc.tmp", 0, 0}, {u"[abc]x", u"bx", 1, 3}, {u"[abc]x", u"dx", 1, 0},
        {u"[^abc]x", u"dx", 1, 3}, {u"[^abc]x", u"ax", 1, 0}, {u"[a-c]", u"b", 1, 2}, {u"[a-c]", u"d", 1, 0},
        {u"[a-cx-z]", u"y", 1, 2}, {u"[^a-c]", u"b", 1, 0}, {u"[]a]", u"]", 1, 2}, {u"[]a]", u"a", 1, 2},
        {u"[^]a]", u"]", 1, 0}, {u"[^]a]", u"b", 1, 2}, {u"[a-]", u"-", 1, 2}, {u"[-a]", u"-", 1, 2},
        {u"[\\]]", u"]", 1, 2}, {u"[*?]", u"*", 1, 2}, {u"[*?]", u"x", 1, 0}, {u"[A-C]", u"b", 1, 0},
        {u"[A-C]", u"b", 5, 2}, {u"[a-c]", u"B", 5, 2}, {u"[^A-C]", u"b", 5, 0},
        {u"[\u0391-\u03A9]", u"\u03B2", 5, 2}, {u"[z-a]", u"m", 1, 0}, {u"[abc", u"[abc", 1, 5},
        {u"[abc", u"a", 1, 0}, {u"[]", u"[]", 1, 3}, {u"\\*", u"*", 1, 2}, {u"\\*", u"x", 1, 0},
        {u"\\?", u"?", 1, 2}, {u"\\[a]", u"[a]", 1, 4}, {u"a\\", u"a\\", 1, 3}, {u"\\%", u"%", 9, 2},
        {u"*[0-9]", u"table7", 1, 7}, {u"*[0-9]", u"table7x", 1, 0}, {u"*[0-9]$", u"table7x", 0, 0},
        {u"T[0-9][0-9]*", u"T42ABC", 1, 7}};
    for (const auto& [pattern, object, mode, result] : cases)
        EXPECT_EQ(ul_stringwildcmp(pattern, object, mode), result)
            << "pattern '" << u8(pattern) << "' object '" << u8(object) << "' mode " << mode;
}

// A plain recursive matcher over "*", "?" and literals gives the reference for full matches.
bool referenceMatch(const char16_t* p, const char16_t* o) {
    if (!*p) return !*o;
    if (*p == u'*') return referenceMatch(p + 1, o) || (*o && referenceMatch(p, o + 1));
    return *o && (*p == u'?' || *p == *o) && referenceMatch(p + 1, o + 1);
}

TEST(UlStringTest, WildcardAgreesWithReferenceMatcherOnRandomInput) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 5000; ++round) {
        std::u16string pattern, object;
        for (int i = random() % 7; i > 0; --i) pattern.push_back(u"ab*?"[random() % 4]);
        for (int i = random() % 9; i > 0; --i) object.push_back(u"ab"[random() % 2]);
        bool expected = referenceMatch(pattern.c_str(), object.c_str());
        int full = ul_stringwildcmp(pattern.c_str(), object.c_str(), UL_WILD_FULL);
        ASSERT_EQ(full, expected ? static_cast<int>(object.size()) + 1 : 0)
            << u8(pattern) << " / " << u8(object);
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
    for (const char16_t* pattern : {u"[", u"[^", u"[]", u"[^]", u"\\", u"[a-", u"[\\", u"$$",
                                    u"*$", u"[a-\\]", u"**\\", u"[^-]"})
        for (const char16_t* object : {u"", u"a", u"[", u"]", u"\\", u"$", u"-"})
            for (int mode = 0; mode < 16; ++mode) {
                int rc = ul_stringwildcmp(pattern, object, mode);
                EXPECT_GE(rc, 0);
                EXPECT_LE(rc, static_cast<int>(ul_strlen(object)) + 1);
            }
    EXPECT_EQ(ul_stringwildcmp(nullptr, u"a", 0), 0);
    EXPECT_EQ(ul_stringwildcmp(u"a", nullptr, 0), 0);
}

TEST(UlStringTest, SubstringClampsToTheString) {
    const std::tuple<size_t, size_t, long, const char*> cases[] = {
        {0, 3, 3, "abc"}, {2, 2, 2, "cd"}, {4, 10, 2, "ef"}, {6, 1, 0, ""}, {99, 1, 0, ""}, {1, 0, 0, ""},
        {0, SIZE_MAX, 6, "abcdef"}};
    for (const auto& [start, length, rc, result] : cases) {
        char16_t buffer[8] = u"junk";
        EXPECT_EQ(ul_stringsubstr(buffer, 8, u"abcdef", start, length), rc);
        EXPECT_EQ(u8(buffer), result);
    }
    char16_t small[3];
    EXPECT_EQ(ul_stringsubstr(small, 3, u"abcdef", 1, 3), -1);
    EXPECT_EQ(u8(small), "");
    EXPECT_EQ(errorUtf8(), "Substring of 3 characters exceeds buffer length 3");
    EXPECT_EQ(ul_stringsubstr(small, 3, u"abcdef", 1, 2), 2);
}

TEST(UlStringTest, ReplaceInPlace) {
    constexpr int I = UL_REPLACE_IGNORECASE;
    // No overlapping matches, and replaced text is not rescanned.
    const std::tuple<const char16_t*, const char16_t*, const char16_t*, int, long, const char*> cases[] = {
        {u"a.b.c", u".", u"::", 0, 2, "a::b::c"}, {u"a.b.c", u".", u"", 0, 2, "abc"},
        {u"a.b.c", u".", u"::", UL_REPLACE_FIRST, 1, "a::b.c"}, {u"aaa", u"aa", u"b", 0, 1, "ba"},
        {u"aaa", u"a", u"aa", 0, 3, "aaaaaa"}, {u"Tab TAB tab", u"tab", u"X", I, 3, "X X X"},
        {u"Tab TAB tab", u"tab", u"X", 0, 1, "Tab TAB X"}, {u"none", u"x", u"y", 0, 0, "none"},
        {u"same", u"", u"y", 0, 0, "same"}, {u"\u03A3\u03C3", u"\u03C3", u"s", I, 2, "ss"}};
    for (const auto& [text, search, replacement, flags, rc, result] : cases) {
        char16_t buffer[32];
        ul_strlcpy(buffer, text, 32);
        EXPECT_EQ(ul_stringreplace(buffer, 32, search, replacement, flags), rc) << u8(text);
        EXPECT_EQ(u8(buffer), result) << u8(text);
    }
    // "a--b--c" has 7 characters and needs 8 units with its terminator.
    char16_t tight[8] = u"a.b.c";
    EXPECT_EQ(ul_stringreplace(tight, 7, u".", u"--", 0), -1);
    EXPECT_EQ(u8(tight), "a.b.c");
    EXPECT_EQ(errorUtf8(), "Replacing '.' by '--' exceeds buffer length 7");
    EXPECT_EQ(ul_stringreplace(tight, 8, u".", u"--", 0), 2);
    EXPECT_EQ(u8(tight), "a--b--c");
}

}  // namespace

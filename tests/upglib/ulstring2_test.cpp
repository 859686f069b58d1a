#include "ulstring2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "testutil.h"
#include "ulerror.h"

namespace {

// Every numeric conversion must print exactly what C's printf prints.
template <typename T>
void expectLikeC(const char* narrowFormat, T value) {
    char expected[512];
    snprintf(expected, sizeof expected, narrowFormat, value);
    std::u16string format = ul_utf8to16(narrowFormat);
    char16_t actual[512];
    EXPECT_EQ(ul_sprintf(actual, 512, format.c_str(), value), static_cast<int>(strlen(expected)));
    EXPECT_EQ(u8(actual), expected) << narrowFormat;
}

TEST(UlSprintfTest, NumbersMatchCPrintf) {
    for (const char* format : {"%d", "%5d|", "%-5d|", "%05d", "%+d", "% d", "%3.3d"}) {
        expectLikeC(format, -42);
        expectLikeC(format, INT_MIN);
    }
    for (const char* format : {"%u", "%x", "%#x", "%#X"}) expectLikeC(format, UINT_MAX - 0xBEEF);
    for (const char* format : {"%08.3f", "%f", "%g", "%.3e", "%.0f"}) {
        expectLikeC(format, -3.14159);
        expectLikeC(format, 1e300);
        expectLikeC(format, 0.0001);
        expectLikeC(format, 2.5);
    }
    expectLikeC("%ld", LONG_MIN);
    expectLikeC("%lu", ULONG_MAX);
    expectLikeC("%lld", LLONG_MIN);
    expectLikeC("%zu", static_cast<size_t>(123456789));
}

TEST(UlSprintfTest, StringsStarsTruncationAndErrors) {
    char16_t out[64];
    ul_sprintf(out, 64, u"[%0*d|%*d|%.*s|%*s]", 6, 42, -4, 7, 3, u"abcdef", 5, u"ab");
    EXPECT_EQ(u8(out), "[000042|7   |abc|   ab]");
    ul_sprintf(out, 64, u"[%-5s|%c%c]%s=%hs %%", u"ab", u'x', 0x20AC, u"\u00E4", "\xC3\xBC");
    EXPECT_EQ(u8(out), "[ab   |x\xE2\x82\xAC]\xC3\xA4=\xC3\xBC %");
    ul_sprintf(out, 64, u"%s", static_cast<const char16_t*>(nullptr));
    EXPECT_EQ(u8(out), "(null)");
    // Truncated output still reports the full length.
    EXPECT_EQ(ul_sprintf(out, 6, u"%s-%d", u"abcdef", 12345), 12);
    EXPECT_EQ(u8(out), "abcde");
    EXPECT_EQ(ul_sprintf(nullptr, 0, u"%d", 100), 3);
    EXPECT_EQ(ul_sprintf(out, 16, u"%q"), -1);
    EXPECT_EQ(ul_sprintf(out, 16, u"abc%"), -1);
    std::u16string longText(3000, u'x');
    std::u16string formatted = ul_format(u"<%s>%d", longText.c_str(), 9);
    EXPECT_EQ(formatted, u"<" + longText + u">9");
}

// ---- escapes ----------------------------------------------------------------------------

TEST(UlStringEscapeTest, ReadsWordsByFlags) {
    const std::tuple<const char16_t*, int, char16_t, int, std::u16string, size_t> cases[] = {
        {u"abc def", 0, 0, 1, u"abc", 3},           {u"  \tabc", 0, 0, 1, u"abc", 6},
        {u"\"a b\" c", 0, 0, 1, u"a b", 5},         {u"a\"b c\"d e", 0, 0, 1, u"ab cd", 7},
        {u"a,b", 0, u',', 1, u"a", 1},              {u"\"a,b\",c", 0, u',', 1, u"a,b", 5},
        {u",b", 0, u',', 1, u"", 0},                {u"\"\" x", 0, 0, 1, u"", 2},
        {u"   ", 0, 0, 0, u"", 3},                  {u"", 0, 0, 0, u"", 0},
        {u"\"a b", 0, 0, 1, u"a b", 4},             // a quote never closed runs to the end
        {u"a\nb", 0, 0, 1, u"a", 1},                {u"\"a\nb\"", 0, 0, 1, u"a\nb", 5},
        {u"\u00E4\u20AC\U0001F600 x", 0, 0, 1, u"\u00E4\u20AC\U0001F600", 4},
        // default: \\ and \"
        {u"a\\\\b", 0, 0, 1, u"a\\b", 4},           {u"a\\\"b", 0, 0, 1, u"a\"b", 4},
        {u"a\\nb", 0, 0, 1, u"a\\nb", 4},           {u"a\\ b", 0, 0, 1, u"a\\", 2},
        {u"a\\", 0, 0, 1, u"a\\", 2},               {u"\"a\\\" b\"", 0, 0, 1, u"a\" b", 7},
        // 2: \" only
        {u"a\\\\b", 2, 0, 1, u"a\\\\b", 4},         {u"a\\\"b", 2, 0, 1, u"a\"b", 4},
        {u"\\\\\"x y", 2, 0, 1, u"\\\"x", 4},
        // 4: \{ \} \\ \"
        {u"\\{a\\}", 4, 0, 1, u"{a}", 5},           {u"\\\\\\\"", 4, 0, 1, u"\\\"", 4},
        {u"\\n\\'", 4, 0, 1, u"\\n\\'", 4},
        // 8: \\ \" \' \n \t
        {u"a\\nb\\tc", 8, 0, 1, u"a\nb\tc", 7},     {u"\\'\\\\\\\"", 8, 0, 1, u"'\\\"", 6},
        {u"\\{", 8, 0, 1, u"\\{", 2},
        // 16: no escapes; 64: no escapes, "" inside quotes
        {u"a\\\\b", 16, 0, 1, u"a\\\\b", 4},        {u"a\\\"b c\"", 16, 0, 1, u"a\\b c", 7},
        {u"\"a\"\"b\"", 64, 0, 1, u"a\"b", 6},      {u"a\"\"b", 64, 0, 1, u"ab", 4},
        {u"\"a\\\" b", 64, 0, 1, u"a\\", 4},        {u"\"a\"\"b\"", 0, 0, 1, u"ab", 6},
    };
    for (const auto& [text, flags, terminator, rc, word, endOffset] : cases) {
        char16_t buffer[64];
        const char16_t* end = nullptr;
        SCOPED_TRACE(u8(text) + " flags " + std::to_string(flags));
        EXPECT_EQ(ul_stringreadescape(buffer, 64, text, terminator, &end, flags), rc);
        EXPECT_EQ(u8(buffer), u8(word));
        EXPECT_EQ(static_cast<size_t>(end - text), endOffset);
    }
}

TEST(UlStringEscapeTest, TooLongWordFails) {
    char16_t buffer[4];
    const char16_t* end = nullptr;
    EXPECT_EQ(ul_stringreadescape(buffer, 4, u"abcd efg", 0, &end, 0), -1);
    EXPECT_EQ(errorUtf8(), "More than 3 characters for word in 'abcd efg'");
    EXPECT_EQ(u8(buffer), "abc");
    EXPECT_EQ(ul_stringreadescape(buffer, 4, u"abc efg", 0, &end, 0), 1);
    EXPECT_EQ(ul_stringreadescape(buffer, 0, u"a", 0, &end, 0), -1);
    EXPECT_EQ(ul_stringreadescape(buffer, 4, nullptr, 0, nullptr, 0), 0);
}

TEST(UlStringEscapeTest, GeneratedFormsAreMinimal) {
    const std::tuple<const char16_t*, int, char16_t, std::u16string> cases[] = {
        {u"plain", 0, 0, u"plain"},         {u"", 0, 0, u"\"\""},
        {u"a b", 0, 0, u"\"a b\""},         {u"a,b", 0, u',', u"\"a,b\""},
        {u"a,b", 0, 0, u"a,b"},             {u"a\"b\\c", 0, 0, u"a\\\"b\\\\c"},
        {u"{x}", 4, 0, u"\\{x\\}"},         {u"it's\n", 8, 0, u"it\\'s\\n"},
        {u"a\\b", 2, 0, u"a\\b"},           {u"a b\\", 2, 0, u"\"a b\"\\"},  // no \ before "
        {u"say \"hi\"", 64, 0, u"\"say \"\"hi\"\"\""},
        {u"\u00E4 \u20AC", 16, 0, u"\"\u00E4 \u20AC\""},
    };
    for (const auto& [word, flags, terminator, form] : cases) {
        char16_t buffer[64];
        EXPECT_EQ(ul_stringgenescape(buffer, 64, word, terminator, flags),
                  static_cast<int>(form.size()));
        EXPECT_EQ(u8(buffer), u8(form)) << u8(word) << " flags " << flags;
    }
    std::u16string out = u"x,";
    const std::u16string_view word(u"a\0b\r\"\x7F", 6);
    EXPECT_EQ(ul_stringgenescape(&out, word, u',', UL_ESCAPE_C | UL_ESCAPE_CONTROL), 16);
    EXPECT_EQ(u8(out), "x,a\\x00b\\x0D\\\"\\x7F");
    char16_t read[16];
    const char16_t* end = nullptr;
    EXPECT_EQ(ul_stringreadescape(read, 16, out.c_str() + 2, u',', &end, UL_ESCAPE_C | UL_ESCAPE_CONTROL), 1);
    EXPECT_EQ(std::u16string_view(read, 6), word);  // the NUL is kept
    EXPECT_EQ(*end, 0);

    char16_t buffer[8];
    EXPECT_EQ(ul_stringgenescape(buffer, 8, u"a\"b", 0, 16), -1);
    EXPECT_EQ(errorUtf8(), "Cannot write a double quote without escapes in 'a\"b'");
    // "\"a b c\"" has 7 characters and needs 8 units with its terminator.
    EXPECT_EQ(ul_stringgenescape(buffer, 7, u"a b c", 0, 0), -1);
    EXPECT_EQ(errorUtf8(), "More than 6 characters for word in 'a b c'");
    EXPECT_EQ(ul_stringgenescape(buffer, 8, u"a b c", 0, 0), 7);
}

// Property: for every flag set and terminator, what genescape writes reads back unchanged,
// also when several generated words stand in one text, and stops exactly behind the form.
TEST(UlStringEscapeTest, GeneratedWordsReadBackUnchanged) {
    const std::u16string alphabet[] = {
        u" ", u"\"", u"\\", u"{",      u"}",      u"'",      u"\n",     u"\t",         u"\r",   u"a",
        u"n", u"t",  u",",  u";", u"\u00E4", u"\u20AC", u"\u4E2D", u"\U0001F600", u"\"\"", u"\\\"",
        u"\x01", u"\x7F", u"\\x41", u"\\x4"};
    std::mt19937 random(4648);
    int checked = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::u16string> words(1 + random() % 3);
        for (std::u16string& word : words)
            for (int i = random() % 8; i > 0; --i) word += alphabet[random() % std::size(alphabet)];
        for (int flags : {0, 2, 4, 8, 16, 64, 8 | 32}) {
            for (char16_t terminator : {u'\0', u',', u';', u'\\'}) {
                const char16_t separator = terminator ? terminator : u' ';
                std::u16string text;
                bool representable = true;
                for (const std::u16string& word : words) {
                    char16_t form[256];
                    int n = ul_stringgenescape(form, 256, word.c_str(), terminator, flags);
                    bool hasQuote = word.find(u'"') != std::u16string::npos;
                    bool endsInBackslash = !word.empty() && word.back() == u'\\';
                    ASSERT_EQ(n < 0, (flags == 16 && hasQuote) ||
                                         (flags == 2 && terminator == u'\\' && endsInBackslash))
                        << u8(word) << " flags " << flags;
                    if (n < 0) {
                        representable = false;
                        break;
                    }
                    if (!text.empty()) text.push_back(separator);
                    text.append(form, static_cast<size_t>(n));
                    if (flags & 32) {  // no control character is left in the form
                        ASSERT_TRUE(std::none_of(form, form + n, [](char16_t c) { return c < 32 || c == 127; }));
                    }
                }
                if (!representable) continue;
                const char16_t* cursor = text.c_str();
                for (const std::u16string& word : words) {
                    char16_t buffer[256];
                    const char16_t* end = nullptr;
                    ASSERT_EQ(ul_stringreadescape(buffer, 256, cursor, terminator, &end, flags), 1)
                        << u8(text);
                    ASSERT_EQ(u8(buffer), u8(word)) << "text '" << u8(text) << "' flags " << flags;
                    ASSERT_TRUE(*end == 0 || *end == separator) << u8(text);
                    cursor = *end ? end + 1 : end;
                    ++checked;
                }
                EXPECT_EQ(*cursor, 0);
            }
        }
    }
    EXPECT_GT(checked, 30000);
}

TEST(UlStringEscapeTest, ReaderSurvivesArbitraryText) {
    const char16_t pieces[] = u"\"\\ ,ab\t{}'";
    std::mt19937 random(77);
    for (int round = 0; round < 2000; ++round) {
        std::u16string text;
        for (int i = random() % 12; i > 0; --i)
            text.push_back(pieces[random() % (std::size(pieces) - 1)]);
        for (int flags : {0, 2, 4, 8, 16, 64}) {
            char16_t buffer[6];
            const char16_t* end = nullptr;
            int rc = ul_stringreadescape(buffer, 6, text.c_str(), u',', &end, flags);
            ASSERT_TRUE(rc >= -1 && rc <= 1);
            ASSERT_TRUE(end >= text.c_str() && end <= text.c_str() + text.size());
            ASSERT_LT(ul_strlen(buffer), 6u);
        }
    }
}

// ---- values -----------------------------------------------------------------------------

TEST(UlStringValueTest, Booleans) {
    const std::tuple<const char16_t*, int> cases[] = {
        {u"yes", 1}, {u"TRUE", 1}, {u"On", 1}, {u"ok", 1}, {u"no", 0}, {u"False", 0}, {u"Off", 0}, {u"BAD", 0},
        {u"2", 1}, {u"0", 0}, {u"000", 0}, {u"0010", 1}, {u"99999999999999999999999", 1}, {u"-1", -1},
        {u"+1", -1}, {u"", -1}, {u"y", -1}, {u"yes ", -1}, {u"1.5", -1}, {u"onn", -1}};
    for (const auto& [text, result] : cases) {
        ul_errorsetmsg(0, u"untouched");
        EXPECT_EQ(ul_string2boolean(text, 0), result) << u8(text);
        if (result < 0) {
            EXPECT_EQ(errorUtf8(), "Illegal boolean value '" + u8(text) + "'");
            ul_errorsetmsg(0, u"untouched");
            EXPECT_EQ(ul_string2boolean(text, UL_BOOLEAN_QUIET), -1);
            EXPECT_EQ(errorUtf8(), "untouched");
        }
    }
    EXPECT_EQ(ul_string2boolean(nullptr, 0), -1);
}

TEST(UlStringValueTest, LongValuesWithUnits) {
    constexpr int I = UL_LONGVALUE_INUNIT, K = UL_LONGVALUE_KB, M = UL_LONGVALUE_MB;
    const std::tuple<const char16_t*, int, long> cases[] = {
        {u"2m", 0, 2097152},   {u"2m", K, 2048},     {u"2m", M, 2},        {u"1g", M, 1024},
        {u"1G", 0, 1073741824}, {u"1024", K, 1},     {u"1024", K | I, 1024},
        {u"1023", K, 0},       // truncated
        {u"3K", 0, 3072},      {u"3k", I, 3072},     // a letter overrides the number's own unit
        {u"7", 0, 7},          {u"7", I, 7},         {u"7", M | I, 7},     {u"5", K | M | I, 5},
        {u"3145728", K | M, 3},  // MB wins
        {u"1k", M, 0},         {u" 4 k ", 0, 4096},  {u"0g", 0, 0},
        {u"9223372036854775807", 0, LONG_MAX},       {u"8589934591g", 0, 8589934591L << 30},
    };
    for (const auto& [text, flags, result] : cases)
        EXPECT_EQ(ul_getlongvalue(text, flags), result) << u8(text) << " " << flags;
    const std::tuple<const char16_t*, const char*> errors[] = {
        {u"5x", "Illegal unit 'x' in '5x'"}, {u"5kb", "Illegal unit 'kb' in '5kb'"},
        {u"5 k b", "Illegal unit 'k b' in '5 k b'"}, {u"5.5m", "Illegal unit '.5m' in '5.5m'"},
        {u"", "Invalid number ''"}, {u"k", "Invalid number 'k'"}, {u"-5", "Invalid number '-5'"},
        {u"9223372036854775808", "Invalid number '9223372036854775808'"},
        {u"8589934592g", "Invalid number '8589934592g'"}};
    for (const auto& [text, message] : errors) {
        EXPECT_EQ(ul_getlongvalue(text, 0), -1) << u8(text);
        EXPECT_EQ(errorUtf8(), message);
    }
}

// ---- Base64 -----------------------------------------------------------------------------

TEST(UlStringBase64Test, Rfc4648TestVectors) {
    const std::tuple<const char*, const char16_t*> cases[] = {
        {"", u""}, {"f", u"Zg=="}, {"fo", u"Zm8="}, {"foo", u"Zm9v"}, {"foob", u"Zm9vYg=="},
        {"fooba", u"Zm9vYmE="}, {"foobar", u"Zm9vYmFy"}};
    for (const auto& [bytes, form] : cases) {
        char16_t encoded[16];
        size_t length = strlen(bytes);
        EXPECT_EQ(ul_base64encode(encoded, 16, bytes, length), static_cast<long>(ul_strlen(form)));
        EXPECT_EQ(u8(encoded), u8(form));  // decoding: the round trip below
    }
}

TEST(UlStringBase64Test, RandomBytesAndTextRoundTrip) {
    std::mt19937 random(1987);
    for (size_t length = 0; length < 200; ++length) {
        std::vector<unsigned char> bytes(length);
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
        std::vector<char16_t> encoded((length + 2) / 3 * 4 + 1);
        ASSERT_EQ(ul_base64encode(encoded.data(), encoded.size(), bytes.data(), length),
                  static_cast<long>(encoded.size() - 1));
        std::vector<unsigned char> decoded(length + 1);
        ASSERT_EQ(ul_base64decode(decoded.data(), length, encoded.data()), static_cast<long>(length));
        decoded.resize(length);
        ASSERT_EQ(decoded, bytes) << length;
    }
    // Strings travel as UTF-8.
    char16_t encoded[32], decoded[32];
    EXPECT_EQ(ul_base64encode(encoded, 32, u"\u00E4\u00F6"), 8);
    EXPECT_EQ(u8(encoded), "w6TDtg==");
    const char16_t* text = u"pa$$ \u20AC \U0001F600";
    ASSERT_GT(ul_base64encode(encoded, 32, text), 0);
    EXPECT_EQ(ul_base64decode(decoded, 32, encoded), static_cast<long>(ul_strlen(text)));
    EXPECT_EQ(u8(decoded), u8(text));
    EXPECT_EQ(ul_base64decode(decoded, 32, u"YQBi"), -1);  // "a", zero byte, "b"
    EXPECT_EQ(errorUtf8(), "Decoded Base64 holds a zero byte: 'YQBi'");
}

TEST(UlStringBase64Test, BufferBoundaries) {
    char16_t encoded[5];
    EXPECT_EQ(ul_base64encode(encoded, 4, "foo", 3), -1);
    EXPECT_EQ(errorUtf8(), "Base64 form needs 5 characters, buffer has 4");
    EXPECT_EQ(ul_base64encode(encoded, 5, "foo", 3), 4);
    unsigned char bytes[3];
    EXPECT_EQ(ul_base64decode(bytes, 2, u"Zm9v"), -1);
    EXPECT_EQ(errorUtf8(), "Decoded Base64 needs 3 units, buffer has 2");
    EXPECT_EQ(ul_base64decode(bytes, 3, u"Zm9v"), 3);
    char16_t text[4];
    EXPECT_EQ(ul_base64decode(text, 3, u"Zm9v"), -1);
    EXPECT_EQ(ul_base64decode(text, 4, u"Zm9v"), 3);
    EXPECT_EQ(u8(text), "foo");
}

TEST(UlStringBase64Test, RejectsBadInput) {
    const std::tuple<const char16_t*, const char*> cases[] = {
        {u"Zg=", "Invalid Base64 length 3 of 'Zg='"},
        {u"Zm9v\n", "Invalid Base64 length 5 of 'Zm9v\n'"},
        {u"Zm9v!A==", "Invalid Base64 character at offset 4 of 'Zm9v!A=='"},
        {u"Zm9\u00E4", "Invalid Base64 character at offset 3 of 'Zm9\xC3\xA4'"},
        {u"Zm-_", "Invalid Base64 character at offset 2 of 'Zm-_'"},  // URL alphabet
        {u"Zg=a", "Invalid Base64 padding in 'Zg=a'"},
        {u"Z===", "Invalid Base64 padding in 'Z==='"},
        {u"====", "Invalid Base64 padding in '===='"},
        {u"Zm9=Zm9v", "Invalid Base64 padding in 'Zm9=Zm9v'"},
        {u"Zh==", "Invalid Base64 padding in 'Zh=='"},  // non-zero bits behind the byte
        {u"Zm9=", "Invalid Base64 padding in 'Zm9='"},
    };
    for (const auto& [text, message] : cases) {
        unsigned char bytes[16];
        EXPECT_EQ(ul_base64decode(bytes, 16, text), -1) << u8(text);
        EXPECT_EQ(errorUtf8(), message);
    }
}

// Property: whatever the decoder accepts is canonical: encoding the bytes gives the text back.
TEST(UlStringBase64Test, DecoderSurvivesArbitraryText) {
    const char16_t pieces[] = u"AZaz09+/=-_ \u00E4";
    std::mt19937 random(31);
    for (int round = 0; round < 3000; ++round) {
        std::u16string text;
        for (int i = random() % 13; i > 0; --i)
            text.push_back(pieces[random() % (std::size(pieces) - 1)]);
        unsigned char bytes[16];
        long n = ul_base64decode(bytes, 16, text.c_str());
        if (n < 0) continue;
        char16_t again[32];
        ASSERT_EQ(ul_base64encode(again, 32, bytes, static_cast<size_t>(n)), static_cast<long>(text.size()));
        ASSERT_EQ(u8(again), u8(text));
    }
}

// ---- printable rendering ----------------------------------------------------------------

TEST(UlStringPrintableTest, ControlCharactersBecomeVisible) {
    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    const std::tuple<const char16_t*, int, std::u16string> cases[] = {
        {u"a\nb\tc\rd", 0, u"a\\nb\\tc\\rd"},
        {u"\x01\x1F\x7F\u0085\u009F\u00A0", 0, u"\\x01\\x1F\\x7F\\x85\\x9F\u00A0"}, {u"C:\\tmp", 0, u"C:\\tmp"},
        {u"C:\\tmp\n", UL_PRINTABLE_BACKSLASH, u"C:\\\\tmp\\n"}, {lone, 0, u"x\\uD800y"},
        {u"\U0001F600\u00E4", 0, u"\U0001F600\u00E4"}, {u"", 0, u""}};
    for (const auto& [text, flags, printable] : cases) {
        EXPECT_EQ(u8(ul_stringprintable(text, flags)), u8(printable)) << u8(text);
        char16_t buffer[64];
        EXPECT_EQ(ul_stringprintable(buffer, 64, text, flags), static_cast<long>(printable.size()));
        EXPECT_EQ(u8(buffer), u8(printable));
    }
    char16_t buffer[8];
    EXPECT_EQ(ul_stringprintable(buffer, 5, u"ab\ncd", 0), -1);
    EXPECT_EQ(u8(buffer), "ab\\n");
    EXPECT_EQ(errorUtf8(), "Printable form needs 7 characters, buffer has 5");
    EXPECT_EQ(ul_stringprintable(buffer, 4, u"ab\ncd", 0), -1);
    EXPECT_EQ(u8(buffer), "ab");  // never half an escape
    EXPECT_EQ(ul_stringprintable(buffer, 7, u"ab\ncd", 0), 6);
}

}  // namespace

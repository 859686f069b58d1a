#include "ulstring2.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

#include "testutil.h"

namespace {

// Every numeric conversion must print exactly what C's printf prints.
template <typename T>
void expectLikeC(const char* narrowFormat, T value) {
    char expected[512];
    snprintf(expected, sizeof expected, narrowFormat, value);
    std::u16string format = ul_utf8to16(narrowFormat);
    char16_t actual[512];
    int n = ul_sprintf(actual, 512, format.c_str(), value);
    EXPECT_EQ(u8(actual), expected) << narrowFormat;
    EXPECT_EQ(n, static_cast<int>(strlen(expected))) << narrowFormat;
}

TEST(UlSprintfTest, NumbersMatchCPrintf) {
    expectLikeC("%d", 0);
    expectLikeC("%d", INT_MIN);
    expectLikeC("%5d|", 42);
    expectLikeC("%-5d|", 42);
    expectLikeC("%05d", -42);
    expectLikeC("%+d", 42);
    expectLikeC("% d", 42);
    expectLikeC("%u", UINT_MAX);
    expectLikeC("%ld", LONG_MIN);
    expectLikeC("%lu", ULONG_MAX);
    expectLikeC("%lld", LLONG_MIN);
    expectLikeC("%x", 0xBEEFu);
    expectLikeC("%#x", 0xBEEFu);
    expectLikeC("%#X", 0xBEEFu);
    expectLikeC("%08.3f", -3.14159);
    expectLikeC("%f", 1e300);
    expectLikeC("%g", 0.0001);
    expectLikeC("%g", 1234567.0);
    expectLikeC("%.3e", 12345.678);
    expectLikeC("%zu", static_cast<size_t>(123456789));
    expectLikeC("%3.3d", 7);
    expectLikeC("%.0f", 2.5);
}

TEST(UlSprintfTest, StarWidthAndPrecisionComeFromArguments) {
    char16_t out[64];
    ul_sprintf(out, 64, u"[%0*d]", 6, 42);
    EXPECT_EQ(u8(out), "[000042]");
    ul_sprintf(out, 64, u"[%*d]", -4, 7);
    EXPECT_EQ(u8(out), "[7   ]");
    ul_sprintf(out, 64, u"[%.*s]", 3, u"abcdef");
    EXPECT_EQ(u8(out), "[abc]");
    ul_sprintf(out, 64, u"[%*s]", 5, u"ab");
    EXPECT_EQ(u8(out), "[   ab]");
    ul_sprintf(out, 64, u"[%-5s|%c%c]", u"ab", u'x', 0x20AC);
    EXPECT_EQ(u8(out), "[ab   |x\xE2\x82\xAC]");
}

TEST(UlSprintfTest, StringsAreUtf16AndNarrowOnRequest) {
    char16_t out[64];
    ul_sprintf(out, 64, u"%s=%hs %%", u"\u00E4\u00F6", "utf8 \xC3\xBC");
    EXPECT_EQ(u8(out), "\xC3\xA4\xC3\xB6=utf8 \xC3\xBC %");
    ul_sprintf(out, 64, u"%s", static_cast<const char16_t*>(nullptr));
    EXPECT_EQ(u8(out), "(null)");
}

TEST(UlSprintfTest, TruncatesButReportsFullLength) {
    char16_t out[6];
    EXPECT_EQ(ul_sprintf(out, 6, u"%s-%d", u"abcdef", 12345), 12);
    EXPECT_EQ(u8(out), "abcde");
    EXPECT_EQ(ul_sprintf(nullptr, 0, u"%d", 100), 3);
}

TEST(UlSprintfTest, RejectsUnknownConversion) {
    char16_t out[16];
    EXPECT_EQ(ul_sprintf(out, 16, u"%q"), -1);
    EXPECT_EQ(ul_sprintf(out, 16, u"abc%"), -1);
}

TEST(UlSprintfTest, FormatGrowsBeyondSmallBuffers) {
    std::u16string long_text(3000, u'x');
    std::u16string out = ul_format(u"<%s>%d", long_text.c_str(), 9);
    EXPECT_EQ(out.size(), 3003u);
    EXPECT_EQ(out.front(), u'<');
    EXPECT_EQ(out.substr(3001), u">9");
}

}  // namespace

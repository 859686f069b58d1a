#include "ulerror.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "testutil.h"

namespace {

class UlErrorTest : public ::testing::Test {
  protected:
    void SetUp() override { ul_errorsetmsg(0, nullptr); }
    void TearDown() override { ul_memfailafter(-1); }
};

TEST_F(UlErrorTest, ReplaceAppendPrepend) {
    const std::tuple<int, const char16_t*, const char*> steps[] = {
        {UL_ERR_PREPEND, u"only", "only"},  // to an empty buffer: the text alone
        {0, nullptr, ""},
        {UL_ERR_APPEND, u"first", "first"},
        {UL_ERR_APPEND, u"second", "first\nsecond"},
        {UL_ERR_PREPEND, u"zero", "zero\nfirst\nsecond"},
        {UL_ERR_APPEND, u"", "zero\nfirst\nsecond"},  // empty text changes nothing
        {UL_ERR_APPEND, nullptr, "zero\nfirst\nsecond"},
        {UL_ERR_PREPEND, u"", "zero\nfirst\nsecond"},
        {0, u"fresh", "fresh"},
    };
    for (const auto& [flags, text, result] : steps) {
        ul_errorsetmsg(flags, text);
        EXPECT_EQ(errorUtf8(), result);
    }
    ul_errorsetmsgfmt(0, u"Invalid nametab type '%s'", u"xyz");
    ul_errorsetmsgfmt(UL_ERR_APPEND, u"line %d", 7);
    EXPECT_EQ(errorUtf8(), "Invalid nametab type 'xyz'\nline 7");
}

TEST_F(UlErrorTest, SystemErrorAddsPlatformText) {
    errno = ENOENT;
    ul_errorsetmsg(UL_ERR_SYSTEM, u"Cannot open 'x'");
    EXPECT_EQ(errorUtf8(), std::string("Cannot open 'x': ") + strerror(ENOENT));
    errno = EACCES;
    ul_errorsetmsg(UL_ERR_SYSTEM, nullptr);
    EXPECT_EQ(errorUtf8(), std::string("System error: ") + strerror(EACCES));
    ul_erroroutofmemory();
    EXPECT_EQ(errorUtf8(), std::string("System error: ") + strerror(ENOMEM));
}

// The buffer never overflows: long text is cut, and a prepend that does not fit is dropped.
TEST_F(UlErrorTest, BufferBounds) {
    std::u16string big(UL_ERRORBUFSIZE + 100, u'a');
    ul_errorsetmsg(0, big.c_str());
    EXPECT_EQ(ul_strlen(ul_errorgetmsg()), UL_ERRORBUFSIZE - 1);
    ul_errorsetmsg(UL_ERR_APPEND, u"more");
    EXPECT_EQ(ul_strlen(ul_errorgetmsg()), UL_ERRORBUFSIZE - 1);
    big.assign(UL_ERRORBUFSIZE - 10, u'b');
    ul_errorsetmsg(0, big.c_str());
    ul_errorsetmsg(UL_ERR_PREPEND, u"this text is too long to fit");
    EXPECT_EQ(std::u16string(ul_errorgetmsg()), big);
    ul_errorsetmsg(UL_ERR_PREPEND, u"ok");  // 2 + 1 + (UL_ERRORBUFSIZE - 10) fits
    EXPECT_EQ(errorUtf8().substr(0, 4), "ok\nb");
}

int failingFunction() {
    return UL_ERROR_RETURN(-1);
}

TEST_F(UlErrorTest, ErrorExitReportingNamesSourceAndLine) {
    MemoryStream out;
    UL_ErrorGotoFlag = 2;
    UL_ErrorGotoFile = out.get();
    EXPECT_EQ(failingFunction(), -1);
    UL_ErrorGotoFlag = 0;
    UL_ErrorGotoFile = nullptr;
    std::string report = out.text();
    EXPECT_NE(report.find("ERROR '"), std::string::npos) << report;
    EXPECT_NE(report.find("ulerror_test.cpp' l."), std::string::npos) << report;
    EXPECT_EQ(failingFunction(), -1);  // switched off again: nothing more is written
    EXPECT_EQ(out.text(), report);
}

// ---- Heap allocation ----------------------------------------------------------------------

TEST_F(UlErrorTest, InjectedFailureHitsExactlyTheChosenAllocation) {
    const std::u16string oom = outOfMemoryText();
    for (long n = 0; n < 4; ++n) {
        SCOPED_TRACE(n);
        ul_memfailafter(n);
        std::vector<void*> blocks;
        int failedAt = -1;
        for (int i = 0; i < 6; ++i) {
            ul_errorsetmsg(0, u"");
            void* p = i % 3 == 0 ? ul_malloc(8) : i % 3 == 1 ? ul_calloc(2, 4) : ul_realloc(nullptr, 8);
            if (!p) {
                EXPECT_EQ(failedAt, -1) << "failed twice";
                failedAt = i;
                EXPECT_EQ(errorText(), oom);
            }
            blocks.push_back(p);
        }
        EXPECT_EQ(failedAt, n);
        for (void* p : blocks) free(p);
    }
    auto* block = static_cast<char*>(ul_malloc(4));
    memcpy(block, "abc", 4);
    ul_memfailafter(0);
    EXPECT_EQ(ul_realloc(block, 1 << 20), nullptr);
    EXPECT_STREQ(block, "abc");    // still valid and owned by us
    void* zero = ul_calloc(0, 0);  // zero-size requests still give a block
    EXPECT_NE(zero, nullptr);
    free(zero);
    free(block);
}

}  // namespace

#include "ulerror.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testutil.h"
#include "ultrace.h"

namespace {

class UlErrorTest : public ::testing::Test {
protected:
    void SetUp() override { ul_errorsetmsg(0, nullptr); }
    std::string text() { return u8(ul_errorgetmsg()); }
};

TEST_F(UlErrorTest, ReplaceAppendPrepend) {
    ul_errorsetmsg(0, u"first");
    EXPECT_EQ(text(), "first");
    ul_errorsetmsg(UL_ERR_APPEND, u"second");
    EXPECT_EQ(text(), "first\nsecond");
    ul_errorsetmsg(UL_ERR_PREPEND, u"zero");
    EXPECT_EQ(text(), "zero\nfirst\nsecond");
    ul_errorsetmsg(0, u"fresh");
    EXPECT_EQ(text(), "fresh");
    ul_errorsetmsg(0, nullptr);
    EXPECT_EQ(text(), "");
}

TEST_F(UlErrorTest, AppendOrPrependToEmptyBufferStoresTextAlone) {
    ul_errorsetmsg(UL_ERR_PREPEND, u"only");
    EXPECT_EQ(text(), "only");
    ul_errorsetmsg(0, nullptr);
    ul_errorsetmsg(UL_ERR_APPEND, u"only");
    EXPECT_EQ(text(), "only");
}

TEST_F(UlErrorTest, EmptyTextWithAppendOrPrependChangesNothing) {
    ul_errorsetmsg(0, u"keep");
    ul_errorsetmsg(UL_ERR_APPEND, u"");
    ul_errorsetmsg(UL_ERR_APPEND, nullptr);
    ul_errorsetmsg(UL_ERR_PREPEND, u"");
    EXPECT_EQ(text(), "keep");
}

TEST_F(UlErrorTest, SystemErrorAddsPlatformText) {
    errno = ENOENT;
    ul_errorsetmsg(UL_ERR_SYSTEM, u"Cannot open 'x'");
    EXPECT_EQ(text(), std::string("Cannot open 'x': ") + strerror(ENOENT));
    errno = EACCES;
    ul_errorsetmsg(UL_ERR_SYSTEM, nullptr);
    EXPECT_EQ(text(), std::string("System error: ") + strerror(EACCES));
    ul_erroroutofmemory();
    EXPECT_EQ(text(), std::string("System error: ") + strerror(ENOMEM));
}

TEST_F(UlErrorTest, FormattedTextAndAppend) {
    ul_errorsetmsgfmt(0, u"Invalid nametab type '%s'", u"xyz");
    ul_errorsetmsgfmt(UL_ERR_APPEND, u"line %d", 7);
    EXPECT_EQ(text(), "Invalid nametab type 'xyz'\nline 7");
}

TEST_F(UlErrorTest, OverlongTextIsTruncatedInsideTheBuffer) {
    std::u16string big(UL_ERRORBUFSIZE + 100, u'a');
    ul_errorsetmsg(0, big.c_str());
    EXPECT_EQ(ul_strlen(ul_errorgetmsg()), UL_ERRORBUFSIZE - 1);
    ul_errorsetmsg(UL_ERR_APPEND, u"more");  // the buffer is full: nothing past its end
    EXPECT_EQ(ul_strlen(ul_errorgetmsg()), UL_ERRORBUFSIZE - 1);
}

TEST_F(UlErrorTest, PrependThatDoesNotFitLeavesBufferUnchanged) {
    std::u16string big(UL_ERRORBUFSIZE - 10, u'b');
    ul_errorsetmsg(0, big.c_str());
    ul_errorsetmsg(UL_ERR_PREPEND, u"this text is too long to fit");
    EXPECT_EQ(ul_strlen(ul_errorgetmsg()), big.size());
    EXPECT_EQ(ul_errorgetmsg()[0], u'b');
    ul_errorsetmsg(UL_ERR_PREPEND, u"ok");  // 2 + 1 + (UL_ERRORBUFSIZE - 10) fits
    EXPECT_EQ(u8(ul_errorgetmsg()).substr(0, 4), "ok\nb");
}

int failingFunction() { return UL_ERROR_RETURN(-1); }

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

class UlErrorHeapTest : public ::testing::Test {
  protected:
    void TearDown() override { ul_memfailafter(-1); }
};

TEST_F(UlErrorHeapTest, InjectedFailureHitsExactlyTheChosenAllocation) {
    const std::u16string oom = outOfMemoryText();
    for (long n = 0; n < 4; ++n) {
        SCOPED_TRACE(n);
        ul_memfailafter(n);
        std::vector<void*> blocks;
        int failedAt = -1;
        for (int i = 0; i < 6; ++i) {
            ul_errorsetmsg(0, u"");
            void* p = i % 3 == 0   ? ul_malloc(8)
                      : i % 3 == 1 ? ul_calloc(2, 4)
                                   : ul_realloc(nullptr, 8);
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
}

TEST_F(UlErrorHeapTest, FailedReallocKeepsTheBlock) {
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

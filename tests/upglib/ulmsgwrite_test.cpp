#include "ulmsgwrite.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "testutil.h"
#include "ulerror.h"

namespace {

class UlMsgWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        ul_msgwrite_reset();
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(out.get());
    }
    void TearDown() override { ul_msgwrite_reset(); }
    MemoryStream out;
};

TEST_F(UlMsgWriteTest, PrefixCarriesLevelSeverityClassNumberAndContinuation) {
    EXPECT_EQ(ul_msgwrite_print(1, u' ', 3, 0, 0), 1);
    EXPECT_EQ(ul_msgwrite_print(1, u'E', 8, 0, u"went wrong"), 1);
    EXPECT_EQ(ul_msgwrite_print(1, u'E', 9, 1, u"more"), 1);
    EXPECT_EQ(ul_msgwrite_print(2, u'W', 399, 0, u"careful"), 1);
    EXPECT_EQ(ul_msgwrite_print(3, u' ', ~0u, 0, u"generic"), 1);
    EXPECT_EQ(ul_msgwrite_print(4, u' ', 1234, 0), -1);  // not in the catalogue
    EXPECT_EQ(out.text(),
              "1 ETQ003 exit code: \"0\"\n"
              "1EETQ008 Error message: went wrong\n"
              "1EETQ009Xmore\n"
              "2WETQ399 careful\n"
              "3 ETQ399 generic\n");
    EXPECT_EQ(u8(ul_errorgetmsg()), "No message class 'TQ' id 1234");
}

TEST_F(UlMsgWriteTest, MultiLineTextRepeatsPrefixAndTrailingBlanksGo) {
    ul_msgwrite_print(1, u' ', 399, 0, u"one\ntwo  \nthree \t ");
    EXPECT_EQ(out.text(), "1 ETQ399 one\n1 ETQ399 two  \n1 ETQ399 three\n");
}

TEST_F(UlMsgWriteTest, Printf399SplitsLines) {
    EXPECT_EQ(ul_msgwrite_printf399(2, u'W', u"%d rows\n%s", 5, u"done"), 0);
    EXPECT_EQ(out.text(), "2WETQ399 5 rows\n2WETQ399 done\n");
}

TEST_F(UlMsgWriteTest, NothingIsWrittenWithoutStream) {
    ul_msgwrite_setfp(nullptr);
    EXPECT_EQ(ul_msgwrite_print(1, u' ', 3, 0, 0), 0);
    EXPECT_EQ(out.text(), "");
}

TEST_F(UlMsgWriteTest, RegisterRejectsDuplicatesAndAcceptsEmptyCatalogue) {
    const ul_msgproto_t duplicate[] = {{u'E', 0, 3, u"again"}, {0, 0, 0, nullptr}};
    EXPECT_EQ(ul_msgwrite_register(u"TQ", duplicate), -1);
    EXPECT_EQ(u8(ul_errorgetmsg()), "Duplicate id 3 in message class 'TQ'");
    const ul_msgproto_t empty[] = {{0, 0, 0, nullptr}};
    EXPECT_EQ(ul_msgwrite_register(u"TQ", empty), 0);
    const ul_msgproto_t other[] = {{u'E', 0, 7, u"seven %s"}, {u'E', 0, 2, u"two"},
                                   {0, 0, 0, nullptr}};
    EXPECT_EQ(ul_msgwrite_register(u"XY", other), 0);
    ASSERT_EQ(ul_msgwrite_setclass(u"XY"), 0);
    ul_msgwrite_print(1, u' ', 7, 0, u"!");
    ul_msgwrite_print(1, u' ', 2, 0);
    EXPECT_EQ(out.text(), "1 EXY007 seven !\n1 EXY002 two\n");
}

// Splits text with the dispatcher's layout (messages 8 and 9) and returns the lines.
std::string split(MemoryStream& out, const char16_t* text, unsigned width, int flags = 0) {
    ul_msgwrite_splitlong(1, u'E', 8, 9, text, width, flags);
    return out.text();
}

TEST_F(UlMsgWriteTest, SplitLongCutsUnbrokenTextAtTwiceTheWidth) {
    std::u16string text(200, u'x');
    std::string lines = split(out, text.c_str(), 70);
    EXPECT_EQ(lines, "1EETQ008 Error message: " + std::string(140, 'x') + "\n1EETQ009X" +
                         std::string(60, 'x') + "\n");
}

TEST_F(UlMsgWriteTest, SplitLongBreaksAtLastBlankAfterWidth) {
    std::string lines = split(out, u"aaaa bbbb cccc dddd", 7);
    EXPECT_EQ(lines,
              "1EETQ008 Error message: aaaa\n1EETQ009Xbbbb\n1EETQ009Xcccc\n1EETQ009Xdddd\n");
}

TEST_F(UlMsgWriteTest, SplitLongKeepsQuotedBlanksUnlessAskedTo) {
    EXPECT_EQ(split(out, u"ab 'c d e f' g", 5),
              "1EETQ008 Error message: ab\n1EETQ009X'c d e f'\n1EETQ009Xg\n");
    MemoryStream second;
    ul_msgwrite_setfp(second.get());
    EXPECT_EQ(split(second, u"ab 'c d' g", 4, 1),
              "1EETQ008 Error message: ab\n1EETQ009X'c\n1EETQ009Xd'\n1EETQ009Xg\n");
}

TEST_F(UlMsgWriteTest, SplitLongEndsPiecesAtLineFeeds) {
    EXPECT_EQ(split(out, u"first\nsecond", 70),
              "1EETQ008 Error message: first\n1EETQ009Xsecond\n");
}

TEST_F(UlMsgWriteTest, SplitLongOfEmptyTextPrintsNothing) {
    EXPECT_EQ(ul_msgwrite_splitlong(1, u'E', 8, 9, u"", 70, 0), 0);
    EXPECT_EQ(out.text(), "");
}

TEST_F(UlMsgWriteTest, TimePrintOncePerSecondUnlessForced) {
    EXPECT_EQ(ul_msgwrite_timeprint(2), 1);
    int second = ul_msgwrite_timeprint(0);  // the same second, unless the clock moved on
    EXPECT_EQ(ul_msgwrite_timeprint(1), 1);
    std::string text = out.text();
    std::regex lines(R"((4 ETQ010 Date & Time: \d{14}(\.\d{3})?\n)+)");
    EXPECT_TRUE(std::regex_match(text, lines)) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(^4 ETQ010 Date & Time: \d{14}\.\d{3}\n)")));
    size_t count = 0;
    for (char c : text) count += c == '\n';
    EXPECT_EQ(count, second == 1 ? 3u : 2u);
}

TEST_F(UlMsgWriteTest, OutputControlBuffersFlushesAndDiscards) {
    ul_msgwrite_outputcntrl(UL_MSGCTL_BUFFER);
    ul_msgwrite_print(1, u' ', 399, 0, u"held back");
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(ul_msgwrite_outputcntrl(UL_MSGCTL_FLUSH), 0);
    EXPECT_EQ(out.text(), "1 ETQ399 held back\n");
    ul_msgwrite_outputcntrl(UL_MSGCTL_BUFFER);
    ul_msgwrite_print(1, u' ', 399, 0, u"dropped");
    ul_msgwrite_outputcntrl(UL_MSGCTL_DISCARD);
    ul_msgwrite_print(1, u' ', 399, 0, u"direct");
    ul_msgwrite_outputcntrl(UL_MSGCTL_SILENT);
    ul_msgwrite_print(1, u' ', 399, 0, u"silent");
    ul_msgwrite_outputcntrl(UL_MSGCTL_FLUSH);
    EXPECT_EQ(out.text(), "1 ETQ399 held back\n1 ETQ399 direct\n");
}

TEST(UlMsgWriteDeathTest, UnwritableMessageEndsWithExitCodeTen) {
    ul_msgwrite_reset();
    ul_msgwrite_register(u"TQ", UL_TQMessages);
    MemoryStream sink;
    ul_msgwrite_setfp(sink.get());
    ul_msgwrite_setflags(UL_MSGFLAG_EXIT_ON_FAILURE);
    EXPECT_EXIT(ul_msgwrite_print(1, u' ', 4711, 0), ::testing::ExitedWithCode(10),
                "Cannot write message #4711: No message class 'TQ' id 4711 - exiting!");
    ul_msgwrite_reset();
}

}  // namespace

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
    const ul_msgproto_t other[] = {
        {u'E', 0, 7, u"seven %s"}, {u'E', 0, 2, u"two"}, {0, 0, 0, nullptr}};
    EXPECT_EQ(ul_msgwrite_register(u"XY", other), 0);
    ASSERT_EQ(ul_msgwrite_setclass(u"XY"), 0);
    ul_msgwrite_print(1, u' ', 7, 0, u"!");
    ul_msgwrite_print(1, u' ', 2, 0);
    EXPECT_EQ(out.text(), "1 EXY007 seven !\n1 EXY002 two\n");
}

// Long texts with the dispatcher's layout (messages 8 and 9).
TEST_F(UlMsgWriteTest, SplitLongLines) {
    const std::string first = "1EETQ008 Error message: ", next = "\n1EETQ009X";
    const struct {
        std::u16string text;
        unsigned width;
        int flags;
        std::string lines;
    } cases[] = {
        // Unbroken text is cut at twice the width.
        {std::u16string(200, u'x'), 70, 0,
         first + std::string(140, 'x') + next + std::string(60, 'x') + "\n"},
        // Otherwise a line ends at the last blank after the width, or at a line feed.
        {u"aaaa bbbb cccc dddd", 7, 0,
         first + "aaaa" + next + "bbbb" + next + "cccc" + next + "dddd\n"},
        {u"first\nsecond", 70, 0, first + "first" + next + "second\n"},
        // Blanks inside quotes stay, unless flag 1 lets them break the line.
        {u"ab 'c d e f' g", 5, 0, first + "ab" + next + "'c d e f'" + next + "g\n"},
        {u"ab 'c d' g", 4, 1, first + "ab" + next + "'c" + next + "d'" + next + "g\n"},
        {u"", 70, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.text));
        MemoryStream lines;
        ul_msgwrite_setfp(lines.get());
        const int rc = ul_msgwrite_splitlong(1, u'E', 8, 9, c.text.c_str(), c.width, c.flags);
        if (c.text.empty()) {
            EXPECT_EQ(rc, 0);
        }
        EXPECT_EQ(lines.text(), c.lines);
    }
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

#include "ulmsgwrite.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Prefix: level, severity, class, number, continuation mark; one prefix per text line, trailing
// blanks dropped; printf399 splits its lines the same way.
TEST_F(UlMsgWriteTest, PrefixPerLine) {
    EXPECT_EQ(ul_msgwrite_print(1, u' ', 3, 0, 0), 1);
    EXPECT_EQ(ul_msgwrite_print(1, u'E', 8, 0, u"went wrong"), 1);
    EXPECT_EQ(ul_msgwrite_print(1, u'E', 9, 1, u"more"), 1);
    EXPECT_EQ(ul_msgwrite_print(2, u'W', 399, 0, u"careful"), 1);
    EXPECT_EQ(ul_msgwrite_print(3, u' ', ~0u, 0, u"generic"), 1);
    EXPECT_EQ(ul_msgwrite_print(4, u' ', 1234, 0), -1);  // not in the catalogue
    EXPECT_EQ(u8(ul_errorgetmsg()), "No message class 'TQ' id 1234");
    ul_msgwrite_print(1, u' ', 399, 0, u"one\ntwo  \nthree \t ");
    EXPECT_EQ(ul_msgwrite_printf399(2, u'W', u"%d rows\n%s", 5, u"done"), 0);
    EXPECT_EQ(out.text(),
              "1 ETQ003 exit code: \"0\"\n1EETQ008 Error message: went wrong\n1EETQ009Xmore\n"
              "2WETQ399 careful\n3 ETQ399 generic\n1 ETQ399 one\n1 ETQ399 two  \n1 ETQ399 three\n"
              "2WETQ399 5 rows\n2WETQ399 done\n");
    ul_msgwrite_setfp(nullptr);
    EXPECT_EQ(ul_msgwrite_print(1, u' ', 3, 0, 0), 0);
}

TEST_F(UlMsgWriteTest, RegisterRejectsDuplicatesAndAcceptsEmptyCatalogue) {
    const ul_msgproto_t duplicate[] = {{u'E', 0, 3, u"again"}, {0, 0, 0, nullptr}};
    EXPECT_EQ(ul_msgwrite_register(u"TQ", duplicate), -1);
    EXPECT_EQ(u8(ul_errorgetmsg()), "Duplicate id 3 in message class 'TQ'");
    const ul_msgproto_t languages[] = {
        {u'E', 0, 5, u"five"}, {u'D', 0, 5, u"fuenf"}, {0, 0, 0, nullptr}};
    EXPECT_EQ(ul_msgwrite_register(u"LG", languages), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(ul_msgwrite_setclass(u"ABCDEFGHIJKLMNOPQRSTU"), -1);  // 21 characters
    EXPECT_EQ(u8(ul_errorgetmsg()), "Message class name 'ABCDEFGHIJKLMNOPQRSTU' too long");
    EXPECT_EQ(ul_msgwrite_setclass(u"ABCDEFGHIJKLMNOPQRST"), 0);
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

// Unbroken text is cut at twice the width; otherwise a line ends at the last blank after the
// width or at a line feed; blanks inside quotes stay unless flag 1 lets them break the line.
TEST_F(UlMsgWriteTest, SplitLongLines) {
    const std::string a = "1EETQ008 Error message: ", n = "\n1EETQ009X";
    const struct { std::u16string text; unsigned width; int flags; std::string lines;
    } cases[] = {
        {std::u16string(200, u'x'), 70, 0,
         a + std::string(140, 'x') + n + std::string(60, 'x') + "\n"},
        {u"aaaa bbbb cccc dddd", 7, 0, a + "aaaa" + n + "bbbb" + n + "cccc" + n + "dddd\n"},
        {u"first\nsecond", 70, 0, a + "first" + n + "second\n"},
        {u"ab 'c d e f' g", 5, 0, a + "ab" + n + "'c d e f'" + n + "g\n"},
        {u"ab 'c d' g", 4, 1, a + "ab" + n + "'c" + n + "d'" + n + "g\n"}, {u"", 70, 0, ""},
    };
    for (const auto& c : cases) {
        MemoryStream lines;
        ul_msgwrite_setfp(lines.get());
        const int rc = ul_msgwrite_splitlong(1, u'E', 8, 9, c.text.c_str(), c.width, c.flags);
        EXPECT_EQ(lines.text(), c.lines) << u8(c.text);
        EXPECT_TRUE(rc == 0 || !c.text.empty());
    }
}

TEST_F(UlMsgWriteTest, TimePrintOncePerSecondUnlessForced) {
    EXPECT_EQ(ul_msgwrite_timeprint(2), 1);
    int second = ul_msgwrite_timeprint(0);  // the same second, unless the clock moved on
    EXPECT_EQ(ul_msgwrite_timeprint(1), 1);
    std::string text = out.text();
    EXPECT_TRUE(
        std::regex_match(text, std::regex(R"((4 ETQ010 Date & Time: \d{14}(\.\d{3})?\n)+)")));
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(^4 ETQ010 Date & Time: \d{14}\.\d{3}\n)")));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), second == 1 ? 3 : 2) << text;
}

TEST_F(UlMsgWriteTest, OutputControlBuffersFlushesAndDiscards) {
    ul_msgwrite_outputcntrl(UL_MSGCTL_BUFFER);
    ul_msgwrite_print(1, u' ', 399, 0, u"held back");
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(ul_msgwrite_outputcntrl(UL_MSGCTL_FLUSH), 0);
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

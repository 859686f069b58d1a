#include "ulsqlaux.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sqltestutil.h"
#include "testutil.h"
#include "ulerror.h"
#include "ulmsgwrite.h"

namespace {

using Words = std::vector<unsigned>;

Words currentWords() {
    return {UL_SQLGlobalFlags, UL_SQLGlobalCRCFlags, UL_NTGlobalFlags, UL_BigSortGlobalFlags};
}

int parse(const std::u16string& list) {
    return ul_sqlparseglobalflags(list.c_str());
}

std::string help(const char16_t* list) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ul_sqlparseglobalflags(list), 0);
    return ::testing::internal::GetCapturedStdout();
}

// The option lines of a help text: keyword and the state column.
std::vector<std::pair<std::string, std::string>> options(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  ", 0) != 0) continue;
        std::istringstream words(line);
        std::string keyword, state;
        words >> keyword >> state;
        out.emplace_back(keyword, state);
    }
    return out;
}

std::string stateOf(const std::string& text, const std::string& keyword) {
    for (const auto& [k, state] : options(text))
        if (k == keyword) return state;
    return "<missing>";
}

class UlSqlAuxTest : public ::testing::Test {
  protected:
    void SetUp() override { ul_sqlresetglobalflags(); }
    void TearDown() override { ul_sqlresetglobalflags(); }
};

// Every flag keyword the help lists (once) switches exactly one bit of one word, its own, in both
// directions, ignoring case; the help shows the state; "no" turns it off again.
TEST_F(UlSqlAuxTest, EveryFlagKeywordOwnsOneBit) {
    const std::string full = help(u"help2");
    std::set<std::pair<size_t, unsigned>> owned;
    std::set<std::string> listed;
    size_t flags = 0;
    for (const auto& [keyword, state] : options(full)) {
        EXPECT_TRUE(listed.insert(keyword).second) << keyword << " listed twice";
        if (state != "on" && state != "off") continue;
        SCOPED_TRACE(keyword);
        ++flags;
        const std::u16string word = ul_utf8to16(keyword.c_str());
        ASSERT_EQ(parse(u"no" + word), 0) << u8(ul_errorgetmsg());
        const Words off = currentWords();
        EXPECT_EQ(stateOf(help(u"help2"), keyword), "off");
        std::u16string upper = word;
        for (char16_t& c : upper) c = c >= u'a' && c <= u'z' ? c - 32 : c;
        ASSERT_EQ(parse(upper), 0);
        const Words on = currentWords();
        EXPECT_EQ(stateOf(help(u"help2"), keyword), "on");
        size_t changedWords = 0;
        for (size_t i = 0; i < on.size(); ++i) {
            if (on[i] == off[i]) continue;
            ++changedWords;
            const unsigned bit = on[i] ^ off[i];
            EXPECT_EQ(bit & (bit - 1), 0u) << "more than one bit";
            EXPECT_TRUE(owned.insert({i, bit}).second) << "bit shared";
        }
        EXPECT_EQ(changedWords, 1u);
        ASSERT_EQ(parse(u"NO" + word), 0);
        EXPECT_EQ(currentWords(), off);
        // Reset gives back the state the help showed before any change.
        ul_sqlresetglobalflags();
        EXPECT_EQ(stateOf(help(u"help2"), keyword), stateOf(full, keyword));
    }
    EXPECT_GT(flags, 30u);
    // lobspiecewise is on while its bit (one-piece reading) is clear.
    ASSERT_EQ(parse(u"nolobspiecewise"), 0);
    EXPECT_NE(UL_SQLGlobalFlags & UL_SQLFLAG_NOLOBSPIECEWISE, 0u);
}

TEST_F(UlSqlAuxTest, NumericSettings) {
    const struct {
        const char16_t* word;
        long* integer;
        double* real;
        double expected;
    } cases[] = {
        {u"maxbulkrows=-500", &UL_SQLMaxBulkRows, nullptr, -500},
        {u"MaxBulkRows=+250", &UL_SQLMaxBulkRows, nullptr, 250},
        {u"maxtracelen=0", &UL_SQLMaxTraceLen, nullptr, 0},
        {u"lowcountlimit=123456789", &UL_SQLLowCountLimit, nullptr, 123456789},
        {u"lowsplitseclimit=1", &UL_SQLLowSplitSecLimit, nullptr, 1},
        {u"defaultcolumnspace=1", &UL_SQLDefaultColumnSpace, nullptr, 1},
        {u"lobcolumnspace=65536", &UL_SQLLobColumnSpace, nullptr, 65536},
        {u"stressnumspecials=3", &UL_SQLStressNumSpecials, nullptr, 3},
        // Above 1 the threshold is percent.
        {u"splitpartitionthreshold=5", nullptr, &UL_SQLSplitPartitionThreshold, 0.05},
        {u"splitpartitionthreshold=1", nullptr, &UL_SQLSplitPartitionThreshold, 1.0},
        {u"splitpartitionthreshold=0", nullptr, &UL_SQLSplitPartitionThreshold, 0.0},
        {u"stressfactor=2.5", nullptr, &UL_SQLStressFactor, 2.5},
        {u"minstressrate=1", nullptr, &UL_SQLMinStressRate, 1.0},
        {u"maxstressrate=1e2", nullptr, &UL_SQLMaxStressRate, 100.0},
        {u"updaterate=.25", nullptr, &UL_SQLUpdateRate, 0.25},
        {u"commitrate=7", nullptr, &UL_SQLCommitRate, 7.0},
        {u"rollbackrate=0.125", nullptr, &UL_SQLRollbackRate, 0.125},
        {u"sleeptime=3", nullptr, &UL_SQLSleepTime, 3.0},
        {u"pidcheckrate=0.5", nullptr, &UL_SQLPidCheckRate, 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.word));
        ul_sqlresetglobalflags();
        const Words flags = currentWords();
        ASSERT_EQ(parse(c.word), 0) << u8(ul_errorgetmsg());
        EXPECT_DOUBLE_EQ(c.integer ? static_cast<double>(*c.integer) : *c.real, c.expected);
        EXPECT_EQ(currentWords(), flags);
    }
}

// One word per way a word is refused (the messages are shown by the sqloptions CLI cases); a
// refused word changes nothing.
TEST_F(UlSqlAuxTest, RejectedWords) {
    // clang-format off
    const char16_t* words[] = {
        u"nomaxbulkrows=5", u"keepsyntax=1", u"maxbulk=5", u"no", u"help-1", u"noforcetimeprint",
        u"maxbulkrows", u"maxbulkrows=1.5", u"maxbulkrows=", u"maxbulkrows=99999999999999999999",
        u"maxtracelen=-1", u"lobcolumnspace=0", u"splitpartitionthreshold=0x10",
        u"splitpartitionthreshold=-0.5", u"sleeptime=1e999", u"sleeptime=1..2", u"commitrate="};
    // clang-format on
    for (const char16_t* word : words) {
        SCOPED_TRACE(u8(word));
        ul_sqlresetglobalflags();
        const Words before = currentWords();
        EXPECT_EQ(parse(word), -1);
        EXPECT_EQ(currentWords(), before);
        EXPECT_EQ(UL_SQLMaxBulkRows, 10000);
        EXPECT_EQ(UL_SQLSplitPartitionThreshold, 0.02);
    }
}

TEST_F(UlSqlAuxTest, ListsApplyInOrderAndResetRestores) {
    const Words defaults = currentWords();
    EXPECT_EQ(ul_sqlparseglobalflags(nullptr), 0);
    EXPECT_EQ(parse(u""), 0);
    EXPECT_EQ(parse(u" , ,, "), 0);
    EXPECT_EQ(currentWords(), defaults);
    // Words before a bad one stay applied, the ones after it are not.
    EXPECT_EQ(parse(u" keepsyntax , ,maxbulkrows=5,unknown,crcneutralformat"), -1);
    EXPECT_NE(UL_SQLGlobalFlags & UL_SQLFLAG_KEEPSYNTAX, 0u);
    EXPECT_EQ(UL_SQLMaxBulkRows, 5);
    EXPECT_EQ(UL_SQLGlobalCRCFlags & UL_SQLCRCFLAG_NEUTRALFORMAT, 0u);
    ASSERT_EQ(parse(u"bigsorttruncate,ntverifyclientpos,splitpartitionthreshold=50"), 0);
    ul_sqlresetglobalflags();
    EXPECT_EQ(currentWords(), defaults);
    EXPECT_EQ(UL_SQLMaxBulkRows, 10000);
    EXPECT_DOUBLE_EQ(UL_SQLSplitPartitionThreshold, 0.02);
    // A word longer than the word buffer.
    EXPECT_EQ(parse(concat<char16_t>(u"keepsyntax,", std::u16string(300, u'x'))), -1);
    EXPECT_NE(u8(ul_errorgetmsg()).find("Cannot parse global flags"), std::string::npos);
}

TEST_F(UlSqlAuxTest, ForceTimePrintMakesEveryTimeStampPrint) {
    ul_msgwrite_reset();
    ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
    MemoryStream out;
    ul_msgwrite_setfp(out.get());
    ASSERT_EQ(parse(u"forcetimeprint"), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(ul_msgwrite_timeprint(0), 1);
    EXPECT_EQ(ul_msgwrite_timeprint(0), 1);
    ul_msgwrite_reset();
}

}  // namespace

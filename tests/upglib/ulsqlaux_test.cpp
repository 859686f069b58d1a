#include "ulsqlaux.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"
#include "ulerror.h"
#include "ulmsgwrite.h"

namespace {

struct Words {
    unsigned sql, crc, nt, sort;
    bool operator==(const Words&) const = default;
};

Words currentWords() {
    return {UL_SQLGlobalFlags, UL_SQLGlobalCRCFlags, UL_NTGlobalFlags, UL_BigSortGlobalFlags};
}

// Every flag keyword with its word, bit and default state ("on" = the keyword's meaning is in
// effect). For lobspiecewise "on" means the bit is clear.
struct ExpectedFlag {
    const char16_t* keyword;
    unsigned* word;
    unsigned bit;
    bool defaultOn;
};

const ExpectedFlag kExpectedFlags[] = {
    {u"ignoreddictype", &UL_SQLGlobalFlags, 0x1, false},
    {u"corrlongdatalength", &UL_SQLGlobalFlags, 0x2, false},
    {u"corrclustlongdatalength", &UL_SQLGlobalFlags, 0x4, true},
    {u"keepsyntax", &UL_SQLGlobalFlags, 0x8, false},
    {u"sqlhints", &UL_SQLGlobalFlags, 0x10, true},
    {u"migtablesnametab", &UL_SQLGlobalFlags, 0x20, false},
    {u"sqlstringcompare", &UL_SQLGlobalFlags, 0x80, false},
    {u"sqlcharkeepnullbytes", &UL_SQLGlobalFlags, 0x100, false},
    {u"hexformat0x", &UL_SQLGlobalFlags, 0x200, false},
    {u"estimatecount", &UL_SQLGlobalFlags, 0x400, true},
    {u"checksplits4dbhextype", &UL_SQLGlobalFlags, 0x800, true},
    {u"checkbcdnumbersexactly", &UL_SQLGlobalFlags, 0x1000, false},
    {u"sqlinsertemptyasnull", &UL_SQLGlobalFlags, 0x2000, false},
    {u"check4tablepartitions", &UL_SQLGlobalFlags, 0x4000, false},
    {u"q7ldforcequoting", &UL_SQLGlobalFlags, 0x8000, false},
    {u"objname2upper", &UL_SQLGlobalFlags, 0x10000, true},
    {u"sqlcstylecomments", &UL_SQLGlobalFlags, 0x20000, true},
    {u"squarebracketidents", &UL_SQLGlobalFlags, 0x40000, false},
    {u"checkobjntoffsets", &UL_SQLGlobalFlags, 0x80000, true},
    {u"crccommentlines", &UL_SQLGlobalCRCFlags, 0x1, true},
    {u"crcsortdupalways", &UL_SQLGlobalCRCFlags, 0x2, false},
    {u"crcfilterbadchar", &UL_SQLGlobalCRCFlags, 0x4, false},
    {u"crckeepemptykey", &UL_SQLGlobalCRCFlags, 0x8, false},
    {u"crcforceorderby", &UL_SQLGlobalCRCFlags, 0x10, false},
    {u"crcfieldchecksums", &UL_SQLGlobalCRCFlags, 0x20, true},
    {u"crcquickrun", &UL_SQLGlobalCRCFlags, 0x40, true},
    {u"crcverifyquickrun", &UL_SQLGlobalCRCFlags, 0x80, false},
    {u"crccompnumstringplain", &UL_SQLGlobalCRCFlags, 0x100, true},
    {u"crcrepairlines", &UL_SQLGlobalCRCFlags, 0x200, true},
    {u"crcfixbcdminuszero", &UL_SQLGlobalCRCFlags, 0x1000, true},
    {u"crcneutralformat", &UL_SQLGlobalCRCFlags, 0x4000, false},
    {u"crcmergedifflogs", &UL_SQLGlobalCRCFlags, 0x8000, true},
    {u"crcfieldchecksum4keys", &UL_SQLGlobalCRCFlags, 0x10000, false},
    {u"ntignorealiascheck", &UL_NTGlobalFlags, 0x1, false},
    {u"ntverifyclientpos", &UL_NTGlobalFlags, 0x2, false},
    {u"bigsorttruncate", &UL_BigSortGlobalFlags, 0x1, false},
    {u"bigsortmaxalignentry", &UL_BigSortGlobalFlags, 0x2, false},
};

class UlSqlAuxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ul_sqlresetglobalflags();
        ul_errorsetmsg(0, nullptr);
    }
    void TearDown() override { ul_sqlresetglobalflags(); }

    static int parse(const std::u16string& list) { return ul_sqlparseglobalflags(list.c_str()); }
    static std::string error() { return u8(ul_errorgetmsg()); }
    static std::string help(const char16_t* list) {
        ::testing::internal::CaptureStdout();
        int rc = ul_sqlparseglobalflags(list);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, 0);
        return out;
    }
};

TEST_F(UlSqlAuxTest, DefaultWords) {
    EXPECT_EQ(UL_SQLGlobalFlags, 0x4 | 0x10 | 0x400 | 0x800 | 0x10000 | 0x20000 | 0x80000u);
    EXPECT_EQ(UL_SQLGlobalCRCFlags, 0x1 | 0x20 | 0x40 | 0x100 | 0x200 | 0x1000 | 0x8000u);
    EXPECT_EQ(UL_NTGlobalFlags, 0u);
    EXPECT_EQ(UL_BigSortGlobalFlags, 0u);
}

TEST_F(UlSqlAuxTest, EveryKeywordAndItsNegationFlipExactlyItsBit) {
    for (const ExpectedFlag& f : kExpectedFlags) {
        SCOPED_TRACE(u8(f.keyword));
        ul_sqlresetglobalflags();
        EXPECT_EQ((*f.word & f.bit) != 0, f.defaultOn);

        // From the opposite state, so that each call really changes the bit.
        *f.word &= ~f.bit;
        Words before = currentWords();
        ASSERT_EQ(parse(f.keyword), 0) << error();
        *f.word ^= f.bit;
        EXPECT_EQ(currentWords(), before);
        *f.word ^= f.bit;

        before = currentWords();
        ASSERT_EQ(parse(std::u16string(u"no") + f.keyword), 0) << error();
        *f.word ^= f.bit;
        EXPECT_EQ(currentWords(), before);
    }
}

TEST_F(UlSqlAuxTest, LobsPiecewiseIsInverted) {
    EXPECT_EQ(UL_SQLGlobalFlags & UL_SQLFLAG_NOLOBSPIECEWISE, 0u);
    const unsigned others = UL_SQLGlobalFlags;
    ASSERT_EQ(parse(u"nolobspiecewise"), 0);
    EXPECT_EQ(UL_SQLGlobalFlags, others | 0x40);
    ASSERT_EQ(parse(u"lobspiecewise"), 0);
    EXPECT_EQ(UL_SQLGlobalFlags, others);
}

TEST_F(UlSqlAuxTest, KeywordsIgnoreCase) {
    ASSERT_EQ(parse(u"KeepSyntax,NOSQLHINTS,NoCrcQuickRun,BigSortTruncate,MaxBulkRows=7"), 0)
        << error();
    EXPECT_NE(UL_SQLGlobalFlags & 0x8, 0u);
    EXPECT_EQ(UL_SQLGlobalFlags & 0x10, 0u);
    EXPECT_EQ(UL_SQLGlobalCRCFlags & 0x40, 0u);
    EXPECT_EQ(UL_BigSortGlobalFlags, 1u);
    EXPECT_EQ(UL_SQLMaxBulkRows, 7);
}

TEST_F(UlSqlAuxTest, ListSkipsBlanksAndEmptyWords) {
    ASSERT_EQ(parse(u" keepsyntax , ,, nosqlhints ,"), 0) << error();
    EXPECT_NE(UL_SQLGlobalFlags & 0x8, 0u);
    EXPECT_EQ(UL_SQLGlobalFlags & 0x10, 0u);
    const Words before = currentWords();
    EXPECT_EQ(ul_sqlparseglobalflags(nullptr), 0);
    EXPECT_EQ(parse(u""), 0);
    EXPECT_EQ(parse(u" , "), 0);
    EXPECT_EQ(currentWords(), before);
}

TEST_F(UlSqlAuxTest, NumericDefaults) {
    EXPECT_EQ(UL_SQLMaxBulkRows, 10000);
    EXPECT_EQ(UL_SQLMaxTraceLen, 200);
    EXPECT_EQ(UL_SQLLowCountLimit, 5000);
    EXPECT_EQ(UL_SQLLowSplitSecLimit, 1000);
    EXPECT_DOUBLE_EQ(UL_SQLSplitPartitionThreshold, 0.02);
    EXPECT_EQ(UL_SQLDefaultColumnSpace, 512);
    EXPECT_EQ(UL_SQLLobColumnSpace, 32768);
    EXPECT_DOUBLE_EQ(UL_SQLStressFactor, 0.5);
    EXPECT_DOUBLE_EQ(UL_SQLMinStressRate, 0);
    EXPECT_DOUBLE_EQ(UL_SQLMaxStressRate, 0);
    EXPECT_EQ(UL_SQLStressNumSpecials, 0);
    EXPECT_DOUBLE_EQ(UL_SQLUpdateRate, 20.0);
    EXPECT_DOUBLE_EQ(UL_SQLCommitRate, 5.0);
    EXPECT_DOUBLE_EQ(UL_SQLRollbackRate, 0.0);
    EXPECT_DOUBLE_EQ(UL_SQLSleepTime, 0.5);
    EXPECT_DOUBLE_EQ(UL_SQLPidCheckRate, 10.0);
}

TEST_F(UlSqlAuxTest, IntegerSettings) {
    const struct {
        const char16_t* word;
        long* target;
        long expected;
    } cases[] = {
        {u"maxbulkrows=0", &UL_SQLMaxBulkRows, 0},
        {u"maxbulkrows=-500", &UL_SQLMaxBulkRows, -500},
        {u"maxbulkrows=+250", &UL_SQLMaxBulkRows, 250},
        {u"maxtracelen=0", &UL_SQLMaxTraceLen, 0},
        {u"lowcountlimit=123456789", &UL_SQLLowCountLimit, 123456789},
        {u"lowsplitseclimit=1", &UL_SQLLowSplitSecLimit, 1},
        {u"defaultcolumnspace=1", &UL_SQLDefaultColumnSpace, 1},
        {u"lobcolumnspace=65536", &UL_SQLLobColumnSpace, 65536},
        {u"stressnumspecials=3", &UL_SQLStressNumSpecials, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.word));
        ul_sqlresetglobalflags();
        const Words flags = currentWords();
        ASSERT_EQ(parse(c.word), 0) << error();
        EXPECT_EQ(*c.target, c.expected);
        EXPECT_EQ(currentWords(), flags);
    }
}

TEST_F(UlSqlAuxTest, RealSettingsAndPercentThreshold) {
    const struct {
        const char16_t* word;
        double* target;
        double expected;
    } cases[] = {
        {u"splitpartitionthreshold=5", &UL_SQLSplitPartitionThreshold, 0.05},
        {u"splitpartitionthreshold=0.5", &UL_SQLSplitPartitionThreshold, 0.5},
        {u"splitpartitionthreshold=1", &UL_SQLSplitPartitionThreshold, 1.0},
        {u"splitpartitionthreshold=1.5", &UL_SQLSplitPartitionThreshold, 0.015},
        {u"splitpartitionthreshold=0", &UL_SQLSplitPartitionThreshold, 0.0},
        {u"stressfactor=2.5", &UL_SQLStressFactor, 2.5},
        {u"minstressrate=1", &UL_SQLMinStressRate, 1.0},
        {u"maxstressrate=1e2", &UL_SQLMaxStressRate, 100.0},
        {u"updaterate=.25", &UL_SQLUpdateRate, 0.25},
        {u"commitrate=7", &UL_SQLCommitRate, 7.0},
        {u"rollbackrate=0.125", &UL_SQLRollbackRate, 0.125},
        {u"sleeptime=3", &UL_SQLSleepTime, 3.0},
        {u"pidcheckrate=0.5", &UL_SQLPidCheckRate, 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.word));
        ul_sqlresetglobalflags();
        ASSERT_EQ(parse(c.word), 0) << error();
        EXPECT_DOUBLE_EQ(*c.target, c.expected);
    }
}

TEST_F(UlSqlAuxTest, RejectedWords) {
    const struct {
        const char16_t* list;
        const char* message;
    } cases[] = {
        {u"nomaxbulkrows=5", "Unknown global flag 'nomaxbulkrows=5' in environment"},
        {u"bogus", "Unknown global flag 'bogus' in environment"},
        {u"keepsyntax=1", "Unknown global flag 'keepsyntax=1' in environment"},
        {u"no", "Unknown global flag 'no' in environment"},
        {u"nohelp", "Unknown global flag 'nohelp' in environment"},
        {u"helpx", "Unknown global flag 'helpx' in environment"},
        {u"help-1", "Unknown global flag 'help-1' in environment"},
        {u"noforcetimeprint", "Unknown global flag 'noforcetimeprint' in environment"},
        {u"maxbulk=5", "Unknown global flag 'maxbulk=5' in environment"},
        {u"maxbulkrows", "Global flag 'maxbulkrows' needs a value: 'maxbulkrows=<value>'"},
        {u"maxbulkrows=abc", "Invalid value 'abc' for global flag 'maxbulkrows': integer expected"},
        {u"maxbulkrows=", "Invalid value '' for global flag 'maxbulkrows': integer expected"},
        {u"maxbulkrows=1.5", "Invalid value '1.5' for global flag 'maxbulkrows': integer expected"},
        {u"maxbulkrows=99999999999999999999",
         "Invalid value '99999999999999999999' for global flag 'maxbulkrows': integer expected"},
        {u"maxtracelen=-1", "Invalid value '-1' for global flag 'maxtracelen': must be at least 0"},
        {u"lobcolumnspace=0",
         "Invalid value '0' for global flag 'lobcolumnspace': must be at least 1"},
        {u"splitpartitionthreshold=x",
         "Invalid value 'x' for global flag 'splitpartitionthreshold': number expected"},
        {u"splitpartitionthreshold=0x10",
         "Invalid value '0x10' for global flag 'splitpartitionthreshold': number expected"},
        {u"splitpartitionthreshold=-0.5",
         "Invalid value '-0.5' for global flag 'splitpartitionthreshold': must be at least 0"},
        {u"sleeptime=1e999", "Invalid value '1e999' for global flag 'sleeptime': number expected"},
        {u"sleeptime=1..2", "Invalid value '1..2' for global flag 'sleeptime': number expected"},
        {u"commitrate=", "Invalid value '' for global flag 'commitrate': number expected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.list));
        ul_sqlresetglobalflags();
        const Words before = currentWords();
        const long bulk = UL_SQLMaxBulkRows;
        const double threshold = UL_SQLSplitPartitionThreshold;
        EXPECT_EQ(parse(c.list), -1);
        EXPECT_EQ(error(), c.message);
        EXPECT_EQ(currentWords(), before);
        EXPECT_EQ(UL_SQLMaxBulkRows, bulk);
        EXPECT_EQ(UL_SQLSplitPartitionThreshold, threshold);
    }
}

TEST_F(UlSqlAuxTest, WordsBeforeABadOneStayApplied) {
    EXPECT_EQ(parse(u"keepsyntax,maxbulkrows=5,unknown,crcneutralformat"), -1);
    EXPECT_EQ(error(), "Unknown global flag 'unknown' in environment");
    EXPECT_NE(UL_SQLGlobalFlags & 0x8, 0u);
    EXPECT_EQ(UL_SQLMaxBulkRows, 5);
    EXPECT_EQ(UL_SQLGlobalCRCFlags & 0x4000, 0u);
}

TEST_F(UlSqlAuxTest, OverlongWordFails) {
    const std::u16string list = u"keepsyntax," + std::u16string(300, u'x');
    EXPECT_EQ(parse(list), -1);
    EXPECT_NE(error().find("Cannot parse global flags"), std::string::npos) << error();
}

TEST_F(UlSqlAuxTest, ResetRestoresEverything) {
    const Words defaults = currentWords();
    ASSERT_EQ(parse(u"keepsyntax,nocrcquickrun,ntverifyclientpos,bigsorttruncate,"
                    u"maxbulkrows=1,splitpartitionthreshold=50,pidcheckrate=1"),
              0);
    ASSERT_NE(currentWords(), defaults);
    ul_sqlresetglobalflags();
    EXPECT_EQ(currentWords(), defaults);
    EXPECT_EQ(UL_SQLMaxBulkRows, 10000);
    EXPECT_DOUBLE_EQ(UL_SQLSplitPartitionThreshold, 0.02);
    EXPECT_DOUBLE_EQ(UL_SQLPidCheckRate, 10.0);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        result.push_back(text.substr(start, end - start));
    return result;
}

// The option line of a keyword, or an empty string.
std::string optionLine(const std::string& text, const std::string& keyword) {
    for (const std::string& line : lines(text))
        if (line.rfind("  " + keyword + " ", 0) == 0) return line;
    return "";
}

TEST_F(UlSqlAuxTest, HelpListsPublicOptionsWithCurrentState) {
    const std::string out = help(u"keepsyntax,nosqlhints,help");
    ASSERT_EQ(out.rfind("Global SQL options:\n", 0), 0u) << out;
    const std::string trailer = "Must be comma separated and may be negated with prefix \"no\"\n";
    ASSERT_GE(out.size(), trailer.size());
    EXPECT_EQ(out.substr(out.size() - trailer.size()), trailer);
    EXPECT_EQ(out.find("Special options"), std::string::npos);
    EXPECT_EQ(out.find("maxbulkrows"), std::string::npos);

    const std::string keepsyntax = optionLine(out, "keepsyntax");
    const std::string sqlhints = optionLine(out, "sqlhints");
    const std::string crcquickrun = optionLine(out, "crcquickrun");
    ASSERT_FALSE(keepsyntax.empty()) << out;
    ASSERT_FALSE(sqlhints.empty()) << out;
    ASSERT_FALSE(crcquickrun.empty()) << out;
    EXPECT_NE(keepsyntax.find(" on "), std::string::npos) << keepsyntax;
    EXPECT_NE(sqlhints.find(" off "), std::string::npos) << sqlhints;
    EXPECT_NE(crcquickrun.find(" on "), std::string::npos) << crcquickrun;
    // Inverted: "on" while the one-piece bit is clear.
    EXPECT_NE(optionLine(out, "lobspiecewise").find(" on "), std::string::npos) << out;
}

TEST_F(UlSqlAuxTest, HelpLevelTwoAddsSpecialBlockAndListsEveryKeywordOnce) {
    const std::string out = help(u"HELP2");
    const size_t special = out.find("Special options, only use with development support:\n");
    ASSERT_NE(special, std::string::npos) << out;
    const std::string trailer = "Must be comma separated and may be negated with prefix \"no\"\n";
    ASSERT_GT(out.size(), trailer.size());
    EXPECT_EQ(out.substr(out.size() - trailer.size()), trailer);
    for (const ExpectedFlag& f : kExpectedFlags) {
        const std::string keyword = u8(f.keyword);
        SCOPED_TRACE(keyword);
        const std::string line = optionLine(out, keyword);
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(out.find("  " + keyword + " "), out.rfind("  " + keyword + " "));
        EXPECT_NE(line.find(f.defaultOn ? " on " : " off "), std::string::npos) << line;
    }
    const std::string bulk = optionLine(out, "maxbulkrows=<n>");
    EXPECT_NE(bulk.find(" 10000 "), std::string::npos) << out;
    EXPECT_GT(out.find("maxbulkrows="), special);
    EXPECT_NE(optionLine(out, "splitpartitionthreshold=<x>").find(" 0.02 "), std::string::npos);

    // The state column starts at the same position on every option line.
    size_t column = std::string::npos;
    for (const std::string& line : lines(out)) {
        if (line.rfind("  ", 0) != 0) continue;
        const size_t value = line.find_first_not_of(' ', line.find(' ', 2));
        if (line.rfind("  forcetimeprint", 0) == 0 || line.rfind("  help", 0) == 0) continue;
        if (column == std::string::npos) column = value;
        EXPECT_EQ(value, column) << line;
    }
}

TEST_F(UlSqlAuxTest, HelpIsOneOfSeveralWords) {
    const std::string out = help(u"help1,keepsyntax");
    EXPECT_EQ(out.find("Special options"), std::string::npos);
    EXPECT_NE(UL_SQLGlobalFlags & 0x8, 0u);
}

TEST_F(UlSqlAuxTest, ForceTimePrintMakesEveryTimeStampPrint) {
    ul_msgwrite_reset();
    ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
    MemoryStream out;
    ul_msgwrite_setfp(out.get());
    ASSERT_EQ(parse(u"forcetimeprint"), 0) << error();
    EXPECT_EQ(ul_msgwrite_timeprint(0), 1);
    EXPECT_EQ(ul_msgwrite_timeprint(0), 1);
    EXPECT_EQ(ul_msgwrite_timeprint(0), 1);
    ul_msgwrite_reset();
}

}  // namespace

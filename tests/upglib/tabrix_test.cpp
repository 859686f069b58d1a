#include "tabrix.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"

namespace {

// What the fake handlers saw and return.
struct HandlerCall {
    std::vector<std::string> words;
    int result = 0;
};
HandlerCall g_call;

int recordingHandler(unsigned int argc, const char16_t** argv) {
    g_call.words.clear();
    for (unsigned i = 0; i < argc; ++i) g_call.words.push_back(u8(argv[i]));
    EXPECT_EQ(argv[argc], nullptr);
    if (g_call.result == -1) ul_errorsetmsg(0, u"handler failed on purpose");
    return g_call.result;
}

const ul_cmddefinition_t kTable[] = {
    {0, u"countrows", recordingHandler},
    {UL_CMD_NO_STATUS_MESSAGE, u"execdb", recordingHandler},
    {UL_CMD_PREFIX_MATCH | UL_CMD_NO_STATUS_MESSAGE, u"dbversion", recordingHandler},
    {0, u"crctable", recordingHandler},
    {0, nullptr, nullptr},
};

class TabrixDispatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        g_call = HandlerCall();
        ul_sqlresetsession();
    }
    void TearDown() override { ul_msgwrite_reset(); }

    // Runs the dispatcher on the words (program path first) with the log in the temp dir.
    int run(std::vector<std::u16string> words) {
        ul_msgwrite_reset();  // the dispatcher registers the catalogue once per process
        words.insert(words.begin(), u"/opt/tabrix");
        words.push_back(u"logfile=" + ul_utf8to16(log_.c_str()));
        std::vector<const char16_t*> argv;
        for (const std::u16string& w : words) argv.push_back(w.c_str());
        argv.push_back(nullptr);
        return ul_cmddispatch(static_cast<unsigned>(words.size()), argv.data(), kTable);
    }
    std::string logText() { return readFileBytes(log_); }

    TempDir dir_;
    const std::string log_ = dir_.path("run.log");
};

TEST_F(TabrixDispatchTest, HandlerGetsCommandWordAndOwnArgumentsOnly) {
    EXPECT_EQ(run({u"countrows", u"a", u"nametab=std", u"b", u"tracelevel=0"}), 0);
    EXPECT_EQ(g_call.words, (std::vector<std::string>{"countrows", "a", "b"}));
}

TEST_F(TabrixDispatchTest, StatusBecomesExitCodeAndFinalMessage) {
    g_call.result = 7;
    EXPECT_EQ(run({u"countrows", u"t1"}), 7);
    EXPECT_EQ(logText(), "1 ETQ003 exit code: \"7\"\n");
}

TEST_F(TabrixDispatchTest, NoFinalMessageForBareCommandWordOrFlaggedRows) {
    EXPECT_EQ(run({u"crctable"}), 0);
    EXPECT_EQ(run({u"execdb", u"file.xml"}), 0);
    EXPECT_EQ(run({u"dbversionext", u"x"}), 0);
    EXPECT_EQ(logText(), "");
    EXPECT_EQ(run({u"crctable", u"T"}), 0);
    EXPECT_EQ(logText(), "1 ETQ003 exit code: \"0\"\n");
}

TEST_F(TabrixDispatchTest, FailureWritesErrorLinesAndExitCodeTwenty) {
    g_call.result = -1;
    EXPECT_EQ(run({u"crctable"}), 20);  // a failure is reported even for a bare command word
    EXPECT_EQ(logText(),
              "1EETQ008 Error message: handler failed on purpose\n"
              "1EETQ003 exit code: \"20\"\n");
}

TEST_F(TabrixDispatchTest, LookupRulesOfTheTable) {
    struct Case {
        const char16_t* word;
        const char16_t* row;  // null: no row
    } cases[] = {
        {u"COUNTROWS", u"countrows"},    {u"countrow", nullptr},
        {u"countrowsX", nullptr},        {u"dbversion", u"dbversion"},
        {u"dbversionext", u"dbversion"}, {u"DBVERSION", nullptr},
        {u"dbversio", nullptr},          {u"", nullptr},
    };
    for (const Case& c : cases) {
        const ul_cmddefinition_t* row = ul_cmdfind(kTable, c.word);
        if (!c.row) {
            EXPECT_EQ(row, nullptr) << u8(c.word);
        } else {
            ASSERT_NE(row, nullptr) << u8(c.word);
            EXPECT_EQ(u8(row->name), u8(c.row));
        }
    }
}

TEST(TabrixCommandTableTest, RowsInOrderWithTheirFlags) {
    const char* expected[] = {
        "splittable",  "crctable",     "crceval",        "crcclear",  "chktable",   "chkpools",
        "scancluster", "dbversion",    "countrows",      "objsize",   "execdb",     "migtables",
        "dbtabpos",    "genkeytraces", "optimizeimport", "repoclean", "seldepends", "zdbmonitor",
        "zdbutil",     "sqlruntask",   "dumptable",      "hexdump",   "dbping"};
    size_t n = 0;
    for (const ul_cmddefinition_t* row = CmdDefinitions; row->name; ++row, ++n) {
        ASSERT_LT(n, std::size(expected));
        EXPECT_EQ(u8(row->name), expected[n]);
        EXPECT_NE(row->handler, nullptr);
        std::string name = expected[n];
        unsigned flags = name == "dbversion" || name == "hexdump"                          ? 0x11u
                         : name == "execdb" || name == "sqlruntask" || name == "dumptable" ? 0x01u
                                                                                           : 0u;
        EXPECT_EQ(row->flags, flags) << name;
    }
    EXPECT_EQ(n, std::size(expected));
}

// The global options of the words (program path added in front). Keeps the words alive,
// because the options point into them.
struct Collected {
    explicit Collected(std::vector<std::u16string> list) : words(std::move(list)) {
        words.insert(words.begin(), u"tabrix");
        std::vector<const char16_t*> argv;
        for (const std::u16string& w : words) argv.push_back(w.c_str());
        std::vector<const char16_t*> rest;
        rc = ul_cmdcollectoptions(static_cast<unsigned>(argv.size()), argv.data(), &options, &rest);
        for (const char16_t* w : rest) kept.push_back(u8(w));
    }
    std::vector<std::u16string> words;
    ul_globaloptions_t options;
    std::vector<std::string> kept;
    int rc;
};

TEST(TabrixOptionsTest, NametabAndSuffixOrderDecides) {
    Collected a({u"nametab=std", u"nt_suffix=ABC"});
    EXPECT_EQ(a.options.nametabType, 10u);
    EXPECT_EQ(u8(a.options.ntSuffix), "ABC");
    Collected b({u"nt_suffix=ABC", u"nametab=std"});
    EXPECT_EQ(b.options.nametabType, 1u);
    EXPECT_EQ(u8(b.options.ntSuffix), "");
    Collected c({u"altnametab=shd", u"altnametab=off"});
    EXPECT_EQ(c.options.altNametabType, UL_OPTION_UNSET);
    Collected d({u"nametab=OFF"});
    EXPECT_EQ(d.options.nametabType, 0u);
    Collected e({u"altnt_suffix=Q", u"altnametab=bri"});
    EXPECT_EQ(e.options.altNametabType, 3u);
    EXPECT_EQ(u8(e.options.altNtSuffix), "");
    Collected f({u"isolevel=Committed", u"logfile=a", u"logfile=b"});
    EXPECT_EQ(f.options.isoLevel, 1u);
    EXPECT_EQ(u8(f.options.logFile), "b");
    EXPECT_EQ(Collected({u"isolevel=default"}).options.isoLevel, 0u);
}

TEST(TabrixOptionsTest, OnlyExactOptionPrefixesAreOptions) {
    Collected run({u"Logfile=x", u"logfile", u"x.nametab=std", u"table_suffix=T", u"cmd"});
    EXPECT_EQ(run.rc, 0);
    EXPECT_EQ(run.kept, (std::vector<std::string>{"Logfile=x", "logfile", "x.nametab=std", "cmd"}));
    EXPECT_EQ(u8(run.options.tableSuffix), "T");
}

TEST(TabrixOptionsTest, BadValuesFailWithTheirMessage) {
    struct Case {
        const char16_t* word;
        const char* message;
    } cases[] = {
        {u"nametab=xyz", "Invalid nametab type 'xyz'"},
        {u"altnametab=", "Invalid nametab type ''"},
        {u"isolevel=serializable", "Unknown isolation level 'serializable'"},
    };
    for (const Case& c : cases) {
        const char16_t* argv[] = {u"tabrix", c.word, nullptr};
        ul_globaloptions_t options;
        std::vector<const char16_t*> kept;
        EXPECT_EQ(ul_cmdcollectoptions(2, argv, &options, &kept), -1) << u8(c.word);
        EXPECT_EQ(u8(ul_errorgetmsg()), c.message);
    }
    std::u16string longSuffix = u"nt_suffix=" + std::u16string(256, u'S');
    const char16_t* argv[] = {u"tabrix", longSuffix.c_str(), nullptr};
    ul_globaloptions_t options;
    std::vector<const char16_t*> kept;
    EXPECT_EQ(ul_cmdcollectoptions(2, argv, &options, &kept), -1);
}

TEST_F(TabrixDispatchTest, SessionSettingsReachTheSession) {
    EXPECT_EQ(run({u"countrows", u"x", u"altnametab=shd", u"nametab=std", u"isolevel=committed"}),
              0);
    EXPECT_EQ(ul_sqlntgettype(0), 1);
    EXPECT_EQ(ul_sqlntgettype(1), 2);
    EXPECT_EQ(ul_sqlntcurrentslot(), 1);  // a configured alternate nametab is current
    EXPECT_EQ(ul_sqlgetisolevel(), 1);
}

// The alternate slot is set first without switching, then the standard slot, which makes a
// configured alternate slot current: whatever the order on the command line.
TEST_F(TabrixDispatchTest, NametabOptionsEndWithTheRightCurrentSlot) {
    struct Case {
        std::vector<std::u16string> options;
        int standardType;
        int alternateType;
        int current;
        const char* ddntt;  // the current DDNTT name, or the error
    } cases[] = {
        {{}, 1, 1, 0, "DDNTT"},
        {{u"nametab=shd"}, 2, 1, 0, "DDNTT~"},
        {{u"altnametab=shd", u"nametab=std"}, 1, 2, 1, "DDNTT~"},
        {{u"nametab=std", u"altnametab=bri"}, 1, 3, 1, "DDNTT~~"},
        // Without a standard nametab option nothing switches.
        {{u"altnametab=shd"}, 1, 2, 0, "DDNTT"},
        {{u"altnametab=shd", u"altnametab=off", u"nametab=swold"}, 4, 1, 0, "DDNTT~~OLD"},
        {{u"altnt_suffix=_A", u"nametab=bri"}, 3, 10, 1, "DDNTT_A"},
        {{u"nametab=bri", u"nt_suffix=_N", u"altnametab=std"}, 10, 1, 1, "DDNTT"},
        {{u"nametab=off"}, 0, 1, 0, "Nametab access disabled"},
    };
    for (const Case& c : cases) {
        ul_sqlresetsession();
        std::vector<std::u16string> words = {u"countrows", u"x"};
        words.insert(words.end(), c.options.begin(), c.options.end());
        std::string label;
        for (const std::u16string& w : c.options) label += u8(w) + " ";
        SCOPED_TRACE(label);
        ASSERT_EQ(run(words), 0) << u8(ul_errorgetmsg());
        EXPECT_EQ(ul_sqlntgettype(0), c.standardType);
        EXPECT_EQ(ul_sqlntgettype(1), c.alternateType);
        EXPECT_EQ(ul_sqlntcurrentslot(), c.current);
        const char16_t* name = ul_ntgetname(0);
        EXPECT_EQ(name ? u8(name) : u8(ul_errorgetmsg()), c.ddntt);
    }
}

TEST_F(TabrixDispatchTest, FailingSessionSettingEndsLikeAFailingCommand) {
    g_call.result = 3;
    EXPECT_EQ(run({u"countrows", u"x", u"table_suffix=" + std::u16string(21, u'T')}), 20);
    EXPECT_TRUE(g_call.words.empty());  // the handler never ran
    EXPECT_EQ(logText(), "1EETQ008 Error message: Table suffix '" + std::string(21, 'T') +
                             "' too long (at most 20 characters)\n"
                             "1EETQ003 exit code: \"20\"\n");
}

}  // namespace

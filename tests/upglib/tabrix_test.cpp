#include "tabrix.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"

namespace {

using Words = std::vector<std::u16string>;
using Strings = std::vector<std::string>;

// What the recording handler saw, and what it returns (-1: fails with a message).
Strings g_words;
int g_result = 0;

int recordingHandler(unsigned int argc, const char16_t** argv) {
    for (unsigned i = 0; i < argc; ++i) g_words.push_back(u8(argv[i]));
    EXPECT_EQ(argv[argc], nullptr);
    if (g_result == -1) ul_errorsetmsg(0, u"handler failed on purpose");
    return g_result;
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
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }
    void TearDown() override {  // the session settings a run made must not reach later tests
        ul_msgwrite_reset();
        ul_sqlresetsession();
    }

    // Runs the dispatcher on the words (program path first) with a fresh log in the temp dir.
    int run(Words words, int result) {
        ul_msgwrite_reset();  // the dispatcher registers the catalogue once per process
        ul_sqlresetsession();
        EXPECT_EQ(ul_sqlsetisolevel(0), 0);  // the session keeps it otherwise
        std::remove(log_.c_str());
        g_words.clear();
        g_result = result;
        words.insert(words.begin(), u"/opt/tabrix");
        words.push_back(u"logfile=" + ul_utf8to16(log_.c_str()));
        std::vector<const char16_t*> argv;
        for (const std::u16string& w : words) argv.push_back(w.c_str());
        argv.push_back(nullptr);
        return ul_cmddispatch(static_cast<unsigned>(words.size()), argv.data(), kTable);
    }

    TempDir dir_;
    const std::string log_ = dir_.path("run.log");
};

// The handler gets its command word and its own arguments; its status becomes the exit code
// and the final message, unless the row or a bare command word asks for none; a failure or a
// bad session setting ends with the error lines and 20 (the handler of the latter never runs).
TEST_F(TabrixDispatchTest, HandlerStatusBecomesExitCodeAndFinalLines) {
    const std::string failed = "1EETQ008 Error message: ";
    const std::string exit20 = "1EETQ003 exit code: \"20\"\n";
    const struct {
        Words words;
        int result;
        int exit;
        Strings seen;
        std::string log;
    } cases[] = {
        {{u"countrows", u"a", u"nametab=std", u"b", u"tracelevel=0"},
         0,
         0,
         {"countrows", "a", "b"},
         "1 ETQ003 exit code: \"0\"\n"},
        {{u"countrows", u"t1"}, 7, 7, {"countrows", "t1"}, "1 ETQ003 exit code: \"7\"\n"},
        {{u"crctable"}, 0, 0, {"crctable"}, ""},
        {{u"execdb", u"file.xml"}, 0, 0, {"execdb", "file.xml"}, ""},
        {{u"dbversionext", u"x"}, 0, 0, {"dbversionext", "x"}, ""},
        {{u"crctable"}, -1, 20, {"crctable"}, failed + "handler failed on purpose\n" + exit20},
        {{u"countrows", u"x", u"table_suffix=" + std::u16string(21, u'T')},
         3,
         20,
         {},
         concat(failed, "Table suffix '", std::string(21, 'T'),
                "' too long (at most 20 characters)\n") +
             exit20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.words[0]) + " " + std::to_string(c.result));
        EXPECT_EQ(run(c.words, c.result), c.exit);
        EXPECT_EQ(g_words, c.seen);
        EXPECT_EQ(readFileBytes(log_), c.log);
    }
}

// The edges of the lookup that no command-line case shows.
TEST(TabrixCommandTableTest, LookupMatchesWholeWordsOrPrefixRows) {
    const struct {
        const char16_t* word;
        const char* row;  // null: no row
    } cases[] = {
        {u"COUNTROWS", "countrows"},    {u"countrow", nullptr},  {u"countrowsX", nullptr},
        {u"dbversionext", "dbversion"}, {u"DBVERSION", nullptr}, {u"dbversio", nullptr},
    };
    for (const auto& c : cases) {
        const ul_cmddefinition_t* row = ul_cmdfind(kTable, c.word);
        EXPECT_EQ(row ? u8(row->name) : "none", c.row ? c.row : "none") << u8(c.word);
    }
}

// The options as one line, to compare a whole result at once.
std::string shown(const ul_globaloptions_t& o) {
    auto type = [](unsigned t) {
        return t == UL_OPTION_UNSET ? std::string("-") : std::to_string(t);
    };
    return "nt " + type(o.nametabType) + u8(o.ntSuffix) + " alt " + type(o.altNametabType) +
           u8(o.altNtSuffix) + " suffix " + u8(o.tableSuffix) + " iso " + type(o.isoLevel) +
           " log " + (o.logFile ? u8(o.logFile) : "-");
}

TEST(TabrixOptionsTest, OptionsAreCollectedInOrderAndTheRestKept) {
    const struct {
        Words words;
        int rc;
        std::string options;
        Strings kept;
    } cases[] = {
        {{u"nametab=std", u"nt_suffix=ABC"}, 0, "nt 10ABC alt - suffix  iso - log -", {}},
        {{u"nt_suffix=ABC", u"nametab=std"}, 0, "nt 1 alt - suffix  iso - log -", {}},
        {{u"altnametab=shd", u"altnametab=off"}, 0, "nt - alt - suffix  iso - log -", {}},
        {{u"nametab=OFF"}, 0, "nt 0 alt - suffix  iso - log -", {}},
        {{u"altnt_suffix=Q", u"altnametab=bri"}, 0, "nt - alt 3 suffix  iso - log -", {}},
        {{u"isolevel=Committed", u"logfile=a", u"logfile=b"},
         0,
         "nt - alt - suffix  iso 1 log b",
         {}},
        {{u"isolevel=default"}, 0, "nt - alt - suffix  iso 0 log -", {}},
        // Only the exact option words are options.
        {{u"Logfile=x", u"logfile", u"x.nametab=std", u"table_suffix=T", u"cmd"},
         0,
         "nt - alt - suffix T iso - log -",
         {"Logfile=x", "logfile", "x.nametab=std", "cmd"}},
        {{u"nt_suffix=" + std::u16string(256, u'S')}, -1, "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.words[0]));
        Words words = c.words;
        words.insert(words.begin(), u"tabrix");
        std::vector<const char16_t*> argv, rest;
        for (const std::u16string& w : words) argv.push_back(w.c_str());
        ul_globaloptions_t options;
        ASSERT_EQ(
            ul_cmdcollectoptions(static_cast<unsigned>(argv.size()), argv.data(), &options, &rest),
            c.rc);
        if (c.rc) continue;
        EXPECT_EQ(shown(options), c.options);
        Strings kept;
        for (const char16_t* w : rest) kept.push_back(u8(w));
        EXPECT_EQ(kept, c.kept);
    }
}

// The alternate slot is set first without switching, then the standard slot, which makes a
// configured alternate slot current: whatever the order on the command line.
TEST_F(TabrixDispatchTest, SessionSettingsEndWithTheRightCurrentSlot) {
    const struct {
        Words options;
        int standardType, alternateType, current, isoLevel;
        const char* ddntt;  // the current DDNTT name, or the error
    } cases[] = {
        {{}, 1, 1, 0, 0, "DDNTT"},
        {{u"nametab=shd"}, 2, 1, 0, 0, "DDNTT~"},
        {{u"altnametab=shd", u"nametab=std", u"isolevel=committed"}, 1, 2, 1, 1, "DDNTT~"},
        {{u"nametab=std", u"altnametab=bri"}, 1, 3, 1, 0, "DDNTT~~"},
        // Without a standard nametab option nothing switches.
        {{u"altnametab=shd"}, 1, 2, 0, 0, "DDNTT"},
        {{u"altnametab=shd", u"altnametab=off", u"nametab=swold"}, 4, 1, 0, 0, "DDNTT~~OLD"},
        {{u"altnt_suffix=_A", u"nametab=bri"}, 3, 10, 1, 0, "DDNTT_A"},
        {{u"nametab=bri", u"nt_suffix=_N", u"altnametab=std"}, 10, 1, 1, 0, "DDNTT"},
        {{u"nametab=off"}, 0, 1, 0, 0, "Nametab access disabled"},
    };
    for (const auto& c : cases) {
        Words words = {u"countrows", u"x"};
        words.insert(words.end(), c.options.begin(), c.options.end());
        SCOPED_TRACE(c.options.empty() ? "" : u8(c.options[0]));
        ASSERT_EQ(run(words, 0), 0) << u8(ul_errorgetmsg());
        EXPECT_EQ(ul_sqlntgettype(0), c.standardType);
        EXPECT_EQ(ul_sqlntgettype(1), c.alternateType);
        EXPECT_EQ(ul_sqlntcurrentslot(), c.current);
        EXPECT_EQ(ul_sqlgetisolevel(), c.isoLevel);
        const char16_t* name = ul_ntgetname(0);
        EXPECT_EQ(name ? u8(name) : u8(ul_errorgetmsg()), c.ddntt);
    }
}

}  // namespace

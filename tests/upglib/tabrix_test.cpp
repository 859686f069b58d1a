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

int succeeds(unsigned int, const char16_t**) {
    return 0;
}

const ul_cmddefinition_t kTable[] = {{0, u"countrows", succeeds}, {0, nullptr, nullptr}};

class TabrixDispatchTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }
    void TearDown() override {  // the session settings a run made must not reach later tests
        ul_msgwrite_reset();
        ul_sqlresetsession();
    }

    // Runs the dispatcher on the words (program path first) with a fresh log in the temp dir.
    int run(Words words) {
        ul_msgwrite_reset();  // the dispatcher registers the catalogue once per process
        ul_sqlresetsession();
        EXPECT_EQ(ul_sqlsetisolevel(0), 0);  // the session keeps it otherwise
        std::remove(log_.c_str());
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
        {{u"altnametab=shd", u"nametab=std", u"isolevel=Committed"}, 1, 2, 1, 1, "DDNTT~"},
        {{u"nametab=std", u"altnametab=bri"}, 1, 3, 1, 0, "DDNTT~~"},
        // Without a standard nametab option nothing switches.
        {{u"altnametab=shd"}, 1, 2, 0, 0, "DDNTT"},
        {{u"altnametab=shd", u"altnametab=off", u"nametab=swold"}, 4, 1, 0, 0, "DDNTT~~OLD"},
        {{u"altnt_suffix=_A", u"nametab=bri"}, 3, 10, 1, 0, "DDNTT_A"},
        {{u"nametab=bri", u"nt_suffix=_N", u"altnametab=std"}, 10, 1, 1, 0, "DDNTT"},
        {{u"nametab=OFF"}, 0, 1, 0, 0, "Nametab access disabled"},
        // The last setting wins; a suffix counts only after its nametab option.
        {{u"isolevel=committed", u"isolevel=default"}, 1, 1, 0, 0, "DDNTT"},
        {{u"nt_suffix=_N", u"nametab=std"}, 1, 1, 0, 0, "DDNTT"},
        {{u"altnt_suffix=Q", u"altnametab=bri", u"nametab=std"}, 1, 3, 1, 0, "DDNTT~~"},
    };
    for (const auto& c : cases) {
        Words words = {u"countrows", u"x"};
        words.insert(words.end(), c.options.begin(), c.options.end());
        SCOPED_TRACE(c.options.empty() ? "" : u8(c.options[0]));
        ASSERT_EQ(run(words), 0) << u8(ul_errorgetmsg());
        EXPECT_EQ(ul_sqlntgettype(0), c.standardType);
        EXPECT_EQ(ul_sqlntgettype(1), c.alternateType);
        EXPECT_EQ(ul_sqlntcurrentslot(), c.current);
        EXPECT_EQ(ul_sqlgetisolevel(), c.isoLevel);
        const char16_t* name = ul_ntgetname(0);
        EXPECT_EQ(name ? u8(name) : u8(ul_errorgetmsg()), c.ddntt);
    }
}

}  // namespace

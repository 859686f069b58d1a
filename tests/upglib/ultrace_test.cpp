#include "ultrace.h"

#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "testutil.h"

namespace {

class UlTraceTest : public ::testing::Test {
  protected:
    void SetUp() override { ul_traceresetlevels(); }
    void TearDown() override {
        ul_traceresetlevels();
        ul_tracesetglobalfileptr(nullptr);
        ul_tracesetglobalflags(1);
    }
    static unsigned level(const char16_t* name) {
        return UL_TraceLevels[ul_tracefindcomponent(name)];
    }
};

// Trace level texts applied in turn from reset levels, and the levels of SQL, XML and MAIN after.
TEST_F(UlTraceTest, SpecificationsSetComponentsAndAll) {
    const struct {
        std::vector<std::pair<const char16_t*, int>> settings;  // trace level text, flags
        unsigned sql, xml, main;
    } cases[] = {
        {{{u"5", 0}}, 5, 5, 5},
        {{{u"SQL:4,XML", 0}}, 4, 3, 0},
        {{{u"2,SQL:10", 0}}, 10, 2, 2},
        // An explicit component survives a later global level.
        {{{u"SQL:4", 0}, {u"1", 0}}, 4, 1, 1},
        {{{u"SQL:4", 0}, {u"SQL:2", UL_TRACE_RAISE_ONLY}}, 4, 0, 0},
        {{{u"SQL:4", 0}, {u"SQL:6", UL_TRACE_RAISE_ONLY}}, 6, 0, 0},
        {{{u"3", 0}, {u"2", UL_TRACE_RAISE_ONLY}}, 3, 3, 3},
        {{{u" sql:4, NOSUCHCOMP:7 ,SQL :2", 0}}, 2, 0, 0},  // only exact names after trimming
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.settings.back().first));
        ul_traceresetlevels();
        for (const auto& [text, flags] : c.settings) EXPECT_EQ(ul_tracesetlevels2(text, flags), 0);
        EXPECT_EQ(level(u"SQL"), c.sql);
        EXPECT_EQ(level(u"XML"), c.xml);
        EXPECT_EQ(level(u"MAIN"), c.main);
    }
    for (int i = 0; i < UL_TRC_COUNT; ++i)
        EXPECT_EQ(UL_TraceLevels[i], i == UL_TRC_SQL ? 2u : 0u) << i;
    // The first component is named like any other.
    EXPECT_EQ(ul_tracesetlevels2(u"AUXFCTS:7", 0), 0);
    EXPECT_EQ(UL_TraceLevels[UL_TRC_AUXFCTS], 7u);
    EXPECT_EQ(ul_tracesetlevels2(u"SQL:x", 0), -1);
    EXPECT_EQ(ul_tracesetlevels2(u"3z", 0), -1);
}

TEST_F(UlTraceTest, RecordsTaggedPlainAndStack) {
    MemoryStream out;
    ul_tracesetglobalfileptr(out.get());
    ul_tracesetglobalflags(1);
    ul_tracesetlevels2(u"SQL:5", 0);
    UL_TRACE(UL_TRC_SQL, 5, u"Rows %d of '%s'.\n", 12, u"T\u00E4B");
    UL_TRACE(UL_TRC_SQL, 6, u"not written\n");
    UL_TRACE(UL_TRC_XML, 1, u"not written either\n");
    EXPECT_TRUE(std::regex_match(
        out.text(),
        std::regex(
            R"(A5TESQL 000 \(\d{14}\.\d{3}:ultrace_test\.cpp:\d+\) Rows 12 of 'T\xC3\xA4B'\.\n)")))
        << out.text();
    // The stack trace record is level 11 of TRACE.
    ul_traceprintstack0(u"x/y/z.cpp", 9);
    std::string text = out.text();
    EXPECT_NE(text.find("\nA11TETRACE 000 ("), std::string::npos) << text;
    EXPECT_NE(text.find(":z.cpp:9) Stack trace:\n"), std::string::npos) << text;
    // Level 0 is always written; a flags value below 1 is ANDed and clears the tagged form.
    MemoryStream plain;
    ul_tracesetglobalfileptr(plain.get());
    ul_tracesetglobalflags(0);
    UL_TRACE(UL_TRC_MSG, 0, u"plain %s\n", u"text");
    EXPECT_EQ(plain.text(), "plain text\n");
}

}  // namespace

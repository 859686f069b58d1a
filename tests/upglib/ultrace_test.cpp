#include "ultrace.h"

#include <gtest/gtest.h>

#include <regex>

#include "testutil.h"

namespace {

class UlTraceTest : public ::testing::Test {
protected:
    void SetUp() override { ul_traceresetlevels(); }
    void TearDown() override {
        ul_traceresetlevels();
        ul_tracesetglobalfileptr(nullptr);
    }
    unsigned level(const char16_t* name) { return UL_TraceLevels[ul_tracefindcomponent(name)]; }
};

TEST_F(UlTraceTest, SpecificationsSetComponentsAndAll) {
    EXPECT_EQ(ul_tracesetlevels2(u"5", 0), 0);
    EXPECT_EQ(level(u"SQL"), 5u);
    EXPECT_EQ(level(u"XML"), 5u);
    ul_traceresetlevels();
    EXPECT_EQ(ul_tracesetlevels2(u"SQL:4,XML", 0), 0);
    EXPECT_EQ(level(u"SQL"), 4u);
    EXPECT_EQ(level(u"XML"), 3u);
    EXPECT_EQ(level(u"DBIF"), 0u);
    ul_traceresetlevels();
    EXPECT_EQ(ul_tracesetlevels2(u"2,SQL:10", 0), 0);
    EXPECT_EQ(level(u"SQL"), 10u);
    EXPECT_EQ(level(u"MAIN"), 2u);
}

TEST_F(UlTraceTest, ExplicitComponentSurvivesLaterGlobalLevel) {
    ul_tracesetlevels2(u"SQL:4", 0);
    ul_tracesetlevels2(u"1", 0);
    EXPECT_EQ(level(u"SQL"), 4u);
    EXPECT_EQ(level(u"XML"), 1u);
}

TEST_F(UlTraceTest, RaiseOnlyNeverLowers) {
    ul_tracesetlevels2(u"SQL:4", 0);
    ul_tracesetlevels2(u"SQL:2", UL_TRACE_RAISE_ONLY);
    EXPECT_EQ(level(u"SQL"), 4u);
    ul_tracesetlevels2(u"SQL:6", UL_TRACE_RAISE_ONLY);
    EXPECT_EQ(level(u"SQL"), 6u);
    ul_tracesetlevels2(u"3", 0);
    ul_tracesetlevels2(u"2", UL_TRACE_RAISE_ONLY);
    EXPECT_EQ(level(u"XML"), 3u);
}

TEST_F(UlTraceTest, NamesAreExactAndUnknownNamesChangeNothing) {
    EXPECT_EQ(ul_tracesetlevels2(u" sql:4, NOSUCHCOMP:7 ,SQL :2", 0), 0);
    EXPECT_EQ(level(u"SQL"), 2u);  // only the exact name after trimming counts
    for (int i = 0; i < UL_TRC_COUNT; ++i)
        if (i != UL_TRC_SQL) {
            EXPECT_EQ(UL_TraceLevels[i], 0u) << i;
        }
}

TEST_F(UlTraceTest, MalformedLevelIsRejected) {
    EXPECT_EQ(ul_tracesetlevels2(u"SQL:x", 0), -1);
    EXPECT_EQ(ul_tracesetlevels2(u"3z", 0), -1);
}

TEST_F(UlTraceTest, DynamicIncrementIsTakenBackByZero) {
    ul_tracesetlevels2(u"SQL:4", 0);
    ul_tracedynlevelinc(1);
    ul_tracedynlevelinc(1);
    EXPECT_EQ(level(u"SQL"), 6u);
    EXPECT_EQ(level(u"XML"), 2u);
    ul_tracedynlevelinc(0);
    EXPECT_EQ(level(u"SQL"), 4u);
    EXPECT_EQ(level(u"XML"), 0u);
}

TEST_F(UlTraceTest, TaggedRecordCarriesLevelComponentStampSourceAndLine) {
    MemoryStream out;
    ul_tracesetglobalfileptr(out.get());
    ul_tracesetglobalflags(1);
    ul_tracesetlevels2(u"SQL:5", 0);
    UL_TRACE(UL_TRC_SQL, 5, u"Rows %d of '%s'.\n", 12, u"T\u00E4B");
    UL_TRACE(UL_TRC_SQL, 6, u"not written\n");
    UL_TRACE(UL_TRC_XML, 1, u"not written either\n");
    std::regex record(
        R"(A5TESQL 000 \(\d{14}\.\d{3}:ultrace_test\.cpp:\d+\) Rows 12 of 'T\xC3\xA4B'\.\n)");
    EXPECT_TRUE(std::regex_match(out.text(), record)) << out.text();
}

TEST_F(UlTraceTest, LevelZeroIsAlwaysWrittenAndUntaggedFormIsPlain) {
    MemoryStream out;
    ul_tracesetglobalfileptr(out.get());
    ul_tracesetglobalflags(0);  // a value below 1 is ANDed: clears the tagged form
    UL_TRACE(UL_TRC_MSG, 0, u"plain %s\n", u"text");
    ul_tracesetglobalflags(1);
    EXPECT_EQ(out.text(), "plain text\n");
}

TEST_F(UlTraceTest, StackTraceRecordIsLevelElevenOfTrace) {
    MemoryStream out;
    ul_tracesetglobalfileptr(out.get());
    ul_tracesetglobalflags(1);
    ul_traceprintstack0(u"x/y/z.cpp", 9);
    std::string text = out.text();
    EXPECT_EQ(text.rfind("A11TETRACE 000 (", 0), 0u) << text;
    EXPECT_NE(text.find(":z.cpp:9) Stack trace:\n"), std::string::npos) << text;
}

}  // namespace

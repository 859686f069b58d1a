// Condition lists, the key-range condition generator and its parser.
#include "ulsqlcondition.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "sqltestutil.h"
#include "testutil.h"
#include "ulsqlutilext.h"
#include "ulstring2.h"

namespace {

std::u16string generate(const std::vector<const char16_t*>& low,
                        const std::vector<const char16_t*>& high, int mode,
                        const char16_t* qualifier = nullptr) {
    static const char16_t* const kFields[] = {u"K1", u"K2", u"K3"};
    static const int kClasses[] = {UL_SQLTOKEN_STRING, UL_SQLTOKEN_STRING, UL_SQLTOKEN_NUMBER};
    char16_t buffer[UL_SQLSTMTSIZE];
    if (ul_sqlgenwherecondition(buffer, UL_SQLSTMTSIZE, qualifier, kFields, kClasses, low.data(),
                                static_cast<unsigned>(low.size()), high.data(),
                                static_cast<unsigned>(high.size()), nullptr, mode) < 0)
        return u"<error> " + errorText();
    return buffer;
}

// ---- generator and parser ---------------------------------------------------------------------

TEST(UlSqlConditionTest, ConditionGeneratorExamplesAndRoundTrip) {
    constexpr int kIncl = UL_WHERECOND_LOWINCL;
    constexpr int kExcl = UL_WHERECOND_HIGHEXCL;
    struct Case {
        std::vector<const char16_t*> low, high;
        int mode;
        std::u16string expected;
    } cases[] = {
        {{u"a", u"b"},
         {u"c", u"d"},
         kIncl | kExcl,
         u"('a' < K1 OR (K1 = 'a' AND 'b' <= K2)) AND (K1 < 'c' OR (K1 = 'c' AND K2 < 'd'))"},
        {{u"x", u"b"}, {u"x", u"d"}, kIncl | kExcl, u"K1 = 'x' AND ('b' <= K2) AND (K2 < 'd')"},
        {{}, {u"c", u"d"}, UL_WHERECOND_NOLOWER | kExcl, u"K1 < 'c' OR (K1 = 'c' AND K2 < 'd')"},
        {{u"z"},
         {u"c", u"d"},
         UL_WHERECOND_NOLOWER | UL_WHERECOND_BRACKETS | kExcl,
         u"(K1 < 'c' OR (K1 = 'c' AND K2 < 'd'))"},
        // Exclusive lower bound, no upper bound, three fields with a number.
        {{u"a", u"b", u"7"},
         {},
         0,
         u"'a' < K1 OR (K1 = 'a' AND 'b' < K2) OR (K1 = 'a' AND K2 = 'b' AND 7 < K3)"},
        // Equal values are an equality only where both bounds include them.
        // clang-format off
        {{u"v"}, {u"v"}, kIncl, u"K1 = 'v'"}, {{u"v"}, {u"v"}, 0, u"('v' < K1) AND (K1 <= 'v')"},
        {{u"v", u"a"}, {u"v"}, 0, u"('v' < K1 OR (K1 = 'v' AND 'a' < K2)) AND (K1 <= 'v')"},
        {{u"it's"}, {u"x"}, kIncl, u"('it''s' <= K1) AND (K1 <= 'x')"},
        {{}, {}, UL_WHERECOND_NOLOWER | UL_WHERECOND_BRACKETS, u""},
        // clang-format on
    };
    ul_strpool_t pool;
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.expected));
        const std::u16string text = generate(c.low, c.high, c.mode);
        EXPECT_EQ(u8(text), u8(c.expected));
        if (c.expected.empty()) continue;
        ul_sqlrange_t range;
        ASSERT_EQ(ul_sqlwhere2range(text.c_str(), &range, &pool), 0) << u8(errorText());
        const unsigned nlow = (c.mode & UL_WHERECOND_NOLOWER) ? 0 : c.low.size();
        ASSERT_EQ(range.low.SQBND_NValues, nlow);
        ASSERT_EQ(range.high.SQBND_NValues, c.high.size());
        for (unsigned i = 0; i < nlow; ++i) EXPECT_EQ(u8(range.low.values[i]), u8(c.low[i]));
        for (unsigned i = 0; i < c.high.size(); ++i)
            EXPECT_EQ(u8(range.high.values[i]), u8(c.high[i]));
        if (nlow) {
            EXPECT_EQ(range.lowInclusive, (c.mode & kIncl) != 0);
        }
        if (!c.high.empty()) {
            EXPECT_EQ(range.highExclusive, (c.mode & kExcl) != 0);
        }
    }
    EXPECT_EQ(u8(generate({u"a"}, {u"b"}, UL_WHERECOND_ASIS, u"T.")), "(a < T.K1) AND (T.K1 <= b)");
    char16_t small[8];
    const char16_t* fields[] = {u"K1"};
    const char16_t* values[] = {u"long value"};
    const int classes[] = {UL_SQLTOKEN_STRING};
    EXPECT_TRUE(failedWith(ul_sqlgenwherecondition(small, 8, nullptr, fields, classes, nullptr, 0,
                                                   values, 1, nullptr, 0),
                           "Where condition exceeds 7 characters"));
}

TEST(UlSqlConditionTest, ValuesWithNulRoundTripInTheCharacterCallForms) {
    using namespace std::literals;
    const struct {
        std::vector<std::u16string_view> low, high;
        int mode;
    } cases[] = {
        {{u"a\0b"sv, u"x"sv}, {u"a\0c"sv}, UL_WHERECOND_HIGHEXCL},
        {{u"\0"sv}, {u"\0"sv}, UL_WHERECOND_LOWINCL},
        {{u"a\0"sv, u"\0\0'"sv}, {u"a\0"sv, u"\0\x01"sv}, 0},
    };
    const char16_t* const fields[] = {u"K1", u"K2"};
    const int classes[] = {UL_SQLTOKEN_STRING, UL_SQLTOKEN_STRING};
    for (const char* dbms : {"SQLITE", "PGSQL"}) {
        ScopedEnv env("dbms_type", dbms);
        for (const auto& c : cases) {
            std::u16string text;
            ASSERT_EQ(
                ul_sqlappendwherecondition(&text, nullptr, fields, classes, c.low.data(),
                                           static_cast<unsigned>(c.low.size()), c.high.data(),
                                           static_cast<unsigned>(c.high.size()), nullptr, c.mode),
                0);
            SCOPED_TRACE(u8(text));
            EXPECT_EQ(text.find(u'\0'), std::u16string::npos);
            ul_strpool_t pool;
            ul_sqlrange_t range;
            ASSERT_EQ(ul_sqlwhere2range(text.c_str(), &range, &pool), 0) << u8(errorText());
            ASSERT_EQ(range.low.SQBND_NValues, c.low.size());
            ASSERT_EQ(range.high.SQBND_NValues, c.high.size());
            for (unsigned i = 0; i < c.low.size(); ++i) EXPECT_TRUE(range.low.value(i) == c.low[i]);
            for (unsigned i = 0; i < c.high.size(); ++i)
                EXPECT_TRUE(range.high.value(i) == c.high[i]);
        }
    }
}

TEST(UlSqlConditionTest, ParserRejectsWhatIsNoKeyRange) {
    const char16_t* bad[] = {u"K1 > 'a'",
                             u"K1 < 'a' OR K2 < 'b'",
                             u"('a' < K1) AND (K1 < 'b') AND ('c' < K2)",
                             u"K1 < 'a' junk",
                             u"(K1 < 'a'",
                             u"K1 LIKE 'a%'"};
    ul_strpool_t pool;
    for (const char16_t* condition : bad) {
        ul_sqlrange_t range;
        EXPECT_EQ(ul_sqlwhere2range(condition, &range, &pool), -1) << u8(condition);
        EXPECT_EQ(
            u8(errorText())
                .rfind(u8(ul_format(u"Where condition '%s' is no key range: ", condition)), 0),
            0u)
            << u8(errorText());
    }
    // Brackets nest up to the limit; deeper ones fail with a message, never by the stack.
    ul_sqlrange_t range;
    for (size_t depth : {UL_SQLWHERE_MAXDEPTH, UL_SQLWHERE_MAXDEPTH + 1, 100000u}) {
        const std::u16string nested =
            std::u16string(depth, u'(') + u"K1 < 'a'" + std::u16string(depth, u')');
        EXPECT_EQ(ul_sqlwhere2range(nested.c_str(), &range, &pool),
                  depth <= UL_SQLWHERE_MAXDEPTH ? 0 : -1);
        if (depth == UL_SQLWHERE_MAXDEPTH + 1) {
            EXPECT_EQ(u8(errorText()), u8(ul_format(u"Where condition '%s' is no key range: "
                                                    u"brackets nested too deep",
                                                    nested.c_str())));
        }
    }
    // Quoted names with a qualifier and a trailing comment.
    ASSERT_EQ(ul_sqlwhere2range(u"T.\"K\"\"1\" <= X'0A' -- PART 1 SPLIT 1 OF 1", &range, &pool), 0);
    EXPECT_EQ(u8(range.high.fields[0]), "K\"1");
    EXPECT_EQ(u8(range.high.values[0]), "0A");
    EXPECT_EQ(range.high.tokenClasses[0], UL_SQLTOKEN_HEXSTRING);
}

TEST(UlSqlConditionTest, SegmentListOperations) {
    ULTableSplit split;
    ASSERT_EQ(split.createSegmentEntry(5, u"A = 1", 0), 0);
    ASSERT_EQ(split.createSegmentEntry(7, u"A = 2", UL_SEGMENT_INVERT), 0);
    EXPECT_EQ(split.getNumberRows(), 12u);
    ASSERT_EQ(split.createSegmentEntry(UL_DBROWCOUNT_INVALID, u"A = 3", 0), 0);
    EXPECT_EQ(split.getNumberRows(), UL_DBROWCOUNT_INVALID);
    EXPECT_TRUE(failedWith(split.reduce2SingleCondition(3),
                           "Invalid position 3 exceeding number of conditions"));
    ASSERT_EQ(split.reduce2SingleCondition(1), 0);
    EXPECT_EQ(conditions(split), std::vector<std::u16string>{u"NOT( A = 2 )"});
}

// What follows an embedded condition stays outside it: only a "--" comment that is still open at
// the end gets a line feed, and then what follows starts the line without blanks.
TEST(UlSqlConditionTest, EmbeddedConditionEndsItsComment) {
    const struct {
        const char16_t* condition;
        const char16_t* expected;  // embedded as "(" condition " ) AND K < 5"
    } cases[] = {
        // clang-format off
        {u"A = 1", u"(A = 1 ) AND K < 5"}, {u"A = 1 -- only A", u"(A = 1 -- only A\n) AND K < 5"},
        {u"A = 1 -- x\r\nOR B = 2", u"(A = 1 -- x\r\nOR B = 2 ) AND K < 5"},
        {u"A = '--x' OR \"B--\" = 1", u"(A = '--x' OR \"B--\" = 1 ) AND K < 5"},
        {u"A = 'it''s' -- '", u"(A = 'it''s' -- '\n) AND K < 5"},
        {u"A = 1 /* -- */", u"(A = 1 /* -- */ ) AND K < 5"},
        {u"A = 1 /* x\n -- y */ -- z", u"(A = 1 /* x\n -- y */ -- z\n) AND K < 5"},
        // clang-format on
    };
    for (const auto& c : cases) {
        std::u16string out = u"(";
        ul_sqlappendembedded(&out, c.condition, u" ) AND K < 5");
        EXPECT_EQ(u8(out), u8(c.expected)) << u8(c.condition);
    }
}

}  // namespace

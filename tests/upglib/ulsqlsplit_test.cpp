// The key-range splitter: the condition generator and its parser, literals, statement templates,
// where files, and the splitting property on SQLite and PostgreSQL with both methods.
#include "ulsqlsplit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "sqltestutil.h"
#include "tempdir.h"
#include "testutil.h"
#include "ulmacro.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

std::vector<std::u16string> conditions(const ULTableSplit& split) {
    std::vector<std::u16string> out;
    for (const ul_tablesegment_t& s : split) out.emplace_back(s.condition());
    return out;
}

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

TEST(UlSqlSplitTest, ConditionGeneratorExamplesAndRoundTrip) {
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
        {{u"v"}, {u"v"}, kIncl, u"K1 = 'v'"},
        {{u"v"}, {u"v"}, 0, u"('v' < K1) AND (K1 <= 'v')"},
        {{u"v", u"a"}, {u"v"}, 0, u"('v' < K1 OR (K1 = 'v' AND 'a' < K2)) AND (K1 <= 'v')"},
        {{u"it's"}, {u"x"}, kIncl, u"('it''s' <= K1) AND (K1 <= 'x')"},
        {{}, {}, UL_WHERECOND_NOLOWER | UL_WHERECOND_BRACKETS, u""},
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
    EXPECT_EQ(ul_sqlgenwherecondition(small, 8, nullptr, fields, classes, nullptr, 0, values, 1,
                                      nullptr, 0),
              -1);
    EXPECT_EQ(u8(errorText()), "Where condition exceeds 7 characters");
}

TEST(UlSqlSplitTest, ParserRejectsWhatIsNoKeyRange) {
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
    // Quoted names with a qualifier and a trailing comment.
    ul_sqlrange_t range;
    ASSERT_EQ(ul_sqlwhere2range(u"T.\"K\"\"1\" <= X'0A' -- PART 1 SPLIT 1 OF 1", &range, &pool), 0);
    EXPECT_EQ(u8(range.high.fields[0]), "K\"1");
    EXPECT_EQ(u8(range.high.values[0]), "0A");
    EXPECT_EQ(range.high.tokenClasses[0], UL_SQLTOKEN_HEXSTRING);
}

// ---- literals and comparisons -------------------------------------------------------------------

TEST(UlSqlSplitTest, LiteralsPerFormAndBack) {
    const ul_sqlliteralform_t* sqlite = ul_sqlliteralform(UL_DBTYPE_SQLITE);
    const ul_sqlliteralform_t* pg = ul_sqlliteralform(UL_DBTYPE_PGSQL);
    const ul_sqlliteralform_t* other = ul_sqlliteralform(UL_DBTYPE_ORA);
    struct Case {
        const char16_t* value;
        int tokenClass;
        const ul_sqlliteralform_t* form;
        const char16_t* expected;  // null: error
    } cases[] = {
        {u"O'Neil", UL_SQLTOKEN_STRING, sqlite, u"'O''Neil'"},
        {u"a\\b", UL_SQLTOKEN_STRING, pg, u"'a\\b'"},
        {u"", UL_SQLTOKEN_STRING, pg, u"''"},
        {u"a\nb'", UL_SQLTOKEN_STRING, sqlite, u"('a' || char(10) || 'b''')"},
        {u"\t", UL_SQLTOKEN_STRING, pg, u"(chr(9))"},
        {u"a\nb", UL_SQLTOKEN_STRING, other, u"'a\nb'"},
        {u"0042", UL_SQLTOKEN_NUMC, pg, u"'0042'"},
        {u"0aFf", UL_SQLTOKEN_HEXSTRING, sqlite, u"X'0AFF'"},
        {u"0aFf", UL_SQLTOKEN_HEXSTRING, pg, u"'\\x0AFF'::bytea"},
        {u"", UL_SQLTOKEN_HEXSTRING, sqlite, u"X''"},
        {u"-12.5e+3", UL_SQLTOKEN_NUMBER, pg, u"-12.5e+3"},
        {u"ABC", UL_SQLTOKEN_HEXSTRING, sqlite, nullptr},
        {u"0x", UL_SQLTOKEN_HEXSTRING, sqlite, nullptr},
        {u"1 OR 1=1", UL_SQLTOKEN_NUMBER, sqlite, nullptr},
        {u"1e", UL_SQLTOKEN_NUMBER, sqlite, nullptr},
        {u"x", 7, sqlite, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.value));
        std::u16string text;
        const int rc = ul_sqlappendliteral(&text, c.value, c.tokenClass, c.form);
        if (!c.expected) {
            EXPECT_EQ(rc, -1);
            EXPECT_TRUE(text.empty());
            continue;
        }
        ASSERT_EQ(rc, 0) << u8(errorText());
        EXPECT_EQ(u8(text), u8(c.expected));
        std::u16string back;
        int backClass = 0;
        EXPECT_EQ(ul_sqlreadliteral(text.c_str(), &back, &backClass), text.size());
        const bool hex = c.tokenClass == UL_SQLTOKEN_HEXSTRING;
        std::u16string expectedValue = c.value;
        if (hex) ul_string2upper(expectedValue.data());
        EXPECT_EQ(u8(back), u8(expectedValue));
        EXPECT_EQ(backClass, hex                                  ? UL_SQLTOKEN_HEXSTRING
                             : c.tokenClass == UL_SQLTOKEN_NUMBER ? UL_SQLTOKEN_NUMBER
                                                                  : UL_SQLTOKEN_STRING);
    }
    std::u16string unused;
    EXPECT_EQ(ul_sqlappendliteral(&unused, u"1;", UL_SQLTOKEN_NUMBER, sqlite), -1);
    EXPECT_EQ(u8(errorText()), "Invalid numeric value '1;'");
    EXPECT_EQ(ul_sqlappendliteral(&unused, u"x", 7, sqlite), -1);
    EXPECT_EQ(u8(errorText()), "Invalid token class 7 for value 'x'");
    UL_SQLGlobalFlags |= UL_SQLFLAG_HEXFORMAT0X;
    std::u16string zeroX;
    EXPECT_EQ(ul_sqlappendliteral(&zeroX, u"ab", UL_SQLTOKEN_HEXSTRING, pg), 0);
    ul_sqlresetglobalflags();
    EXPECT_EQ(u8(zeroX), "0xAB");
}

TEST(UlSqlSplitTest, ValueOrderByTokenClass) {
    struct Case {
        const char16_t* a;
        const char16_t* b;
        int tokenClass;
        int expected;
    } cases[] = {
        {u"9", u"10", UL_SQLTOKEN_NUMBER, -1},
        {u"-10", u"-9", UL_SQLTOKEN_NUMBER, -1},
        {u"1.50", u"1.5", UL_SQLTOKEN_NUMBER, 0},
        {u"1e3", u"999.9999", UL_SQLTOKEN_NUMBER, 1},
        {u"0.001", u"-0", UL_SQLTOKEN_NUMBER, 1},
        {u"123456789012345678901234567890", u"123456789012345678901234567891", UL_SQLTOKEN_NUMBER,
         -1},
        {u"abc", u"5", UL_SQLTOKEN_NUMBER, 1},
        {u"007", u"7", UL_SQLTOKEN_NUMC, 0},
        {u"08", u"1x", UL_SQLTOKEN_NUMC, -1},
        {u"9", u"10", UL_SQLTOKEN_STRING, 1},
        {u"ab", u"abc", UL_SQLTOKEN_STRING, -1},
        // Code point order: U+FF61 sorts before U+1F600 although its UTF-16 unit is larger.
        {u"\uFF61", u"\U0001F600", UL_SQLTOKEN_STRING, -1},
        {u"0A", u"0B", UL_SQLTOKEN_HEXSTRING, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ul_sqlvaluecompare(c.a, c.b, c.tokenClass), c.expected)
            << u8(c.a) << " " << u8(c.b);
        EXPECT_EQ(ul_sqlvaluecompare(c.b, c.a, c.tokenClass), -c.expected);
    }
    EXPECT_GT(ul_sqlstringcompare(u"a  ", u"a"), 0);
    UL_SQLGlobalFlags |= UL_SQLFLAG_SQLSTRINGCOMPARE;
    EXPECT_EQ(ul_sqlstringcompare(u"a  ", u"a"), 0);
    ul_sqlresetglobalflags();
}

// ---- lists, templates ---------------------------------------------------------------------------

TEST(UlSqlSplitTest, SegmentListOperations) {
    ULTableSplit split;
    ASSERT_EQ(split.createSegmentEntry(5, u"A = 1", 0), 0);
    ASSERT_EQ(split.createSegmentEntry(7, u"A = 2", UL_SEGMENT_INVERT), 0);
    EXPECT_EQ(split.getNumberRows(), 12u);
    ASSERT_EQ(split.createSegmentEntry(UL_DBROWCOUNT_INVALID, u"A = 3", 0), 0);
    EXPECT_EQ(split.getNumberRows(), UL_DBROWCOUNT_INVALID);
    EXPECT_EQ(split.reduce2SingleCondition(3), -1);
    EXPECT_EQ(u8(errorText()), "Invalid position 3 exceeding number of conditions");
    ASSERT_EQ(split.reduce2SingleCondition(1), 0);
    EXPECT_EQ(conditions(split), std::vector<std::u16string>{u"NOT( A = 2 )"});
}

TEST(UlSqlSplitTest, StatementTemplates) {
    setenv("dbms_type", "SQLITE", 1);
    const char16_t* keys[] = {u"k1", u"K2"};
    struct Case {
        const char16_t* format;
        const char16_t* where;
        unsigned nkeys;
        int mode;
        const char16_t* expected;  // starting with "!": the error text
        size_t size = 200;
    } cases[] = {
        {u"SELECT %H%C FROM %T%w%h", u"A = 1", 0, 0, u"SELECT COUNT(*) FROM \"TAB\" WHERE A = 1"},
        {u"%k|%t|%s|%%|x%Wy", nullptr, 2, 0, u"\"K1\", \"K2\"|tab|42|%|xy"},
        {u"%k", nullptr, 2, UL_SQLFORMAT_KEEPCASE, u"\"k1\", \"K2\""},
        {u"SELECT %k FROM %T", u"A = 1", 1, UL_SQLFORMAT_WHEREOPTIONAL,
         u"SELECT \"K1\" FROM \"TAB\""},
        {u"SELECT %k FROM %T", u"A = 1", 1, 0,
         u"!Internal error: Where condition given, but not used for format 'SELECT %k FROM %T'"},
        {u"%q", nullptr, 0, 0, u"!Internal error: Unsupported format character 'q'"},
        {u"%k", nullptr, 0, 0, u"!Internal error: Array too short (0)"},
        {u"%T%T%T%T", nullptr, 0, 0, u"!Internal error: Format '%T%T%T%T' too large", 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.format));
        char16_t out[200];
        const int rc =
            genSQLFormat(out, c.size, c.format, u"tab", keys, c.nkeys, c.where, 42, c.mode);
        if (c.expected[0] == u'!') {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(u8(errorText()), u8(c.expected + 1));
        } else {
            ASSERT_GE(rc, 0) << u8(errorText());
            EXPECT_EQ(u8(out), u8(c.expected));
        }
    }
    const char16_t* statement = nullptr;
    EXPECT_EQ(sql_getstatement2(UL_SPLITREQ_ESTIMATE, u"T", nullptr, 0, &statement, 0, 0, 0), 0);
    EXPECT_EQ(sql_getstatement2(UL_SPLITREQ_ROWNUM, u"T", nullptr, 0, &statement, 0, 0, 0), 1);
    EXPECT_EQ(sql_getstatement2(8, u"T", nullptr, 0, &statement, 0, 0, 0), -1);
    EXPECT_EQ(u8(errorText()), "Internal error: Unsupported split format request #8");
    EXPECT_EQ(ul_sqlgetsplitsupport(42), nullptr);
    EXPECT_EQ(u8(errorText()), "No support for database type #42");
    // The vendor rows are the table's, in order of the type numbers.
    for (int type = UL_DBTYPE_ZMX; type <= UL_DBTYPE_PGSQL; ++type)
        EXPECT_EQ(SQLDBSplitSupport[type].dbType, type);
    EXPECT_EQ(SQLDBSplitSupport[UL_DBTYPE_ZMX].flags, 1u);
    EXPECT_EQ(u8(SQLDBSplitSupport[UL_DBTYPE_DB4].countExpression), "CHAR(COUNT_BIG(*))");
    EXPECT_EQ(SQLDBSplitSupport[UL_DBTYPE_MSS].countStatement, nullptr);
    unsetenv("dbms_type");
}

// ---- where files
// ---------------------------------------------------------------------------------

class UlSqlSplitFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ul_sqlwherefilesforget();
        ASSERT_TRUE(dir_.ok());
    }
    std::u16string path(const std::string& name) { return dir_.wpath(name); }
    int read(const std::string& name, const std::string& content, ULTableSplitList* list,
             const char16_t* table = nullptr, int flags = 0) {
        dir_.write(name, content);
        return ul_sqlreadwherefile(list, path(name).c_str(), table, nullptr, flags);
    }
    TempDir dir_;
};

// Every line goes through macro replacement when a provider is given, table names included.
TEST_F(UlSqlSplitFileTest, LinesGoThroughMacroReplacement) {
    const char16_t* suffix = u"_X";
    const char16_t* bound = u"'m'";
    const ul_macrodef_t defs[] = {
        {u"BOUND", UL_MACRODEF_STRING, 0, UL_MACRODEF_NOARGS, bound, nullptr, nullptr},
        {u"SFX", UL_MACRODEF_STRING, 0, UL_MACRODEF_NOARGS, suffix, nullptr, nullptr},
    };
    ULMacroDefProvider provider(defs, std::size(defs));
    dir_.write("m.whr", "tab: T$(SFX)\nWHERE K < $(BOUND)\n\ntab: T$(SFX)\nWHERE K >= $(BOUND)\n");
    ULTableSplitList list;
    ASSERT_EQ(ul_sqlreadwherefile(&list, path("m.whr").c_str(), nullptr, &provider, 0), 2)
        << u8(errorText());
    const ULTableSplit* back = list.get(u"T_X", UL_HASH_QUIET);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(conditions(*back), (std::vector<std::u16string>{u"K < 'm'", u"K >= 'm'"}));
    // Without a provider the calls stay as written.
    ul_sqlwherefilesforget();
    ULTableSplitList raw;
    ASSERT_EQ(ul_sqlreadwherefile(&raw, path("m.whr").c_str(), nullptr, nullptr, 0), 2);
    EXPECT_NE(raw.get(u"T$(SFX)", UL_HASH_QUIET), nullptr);
}

TEST_F(UlSqlSplitFileTest, WrittenAndReadBack) {
    ULTableSplit split;
    split.native = true;
    split.createSegmentEntry(3, u"K < 'a  b'\n  AND  \"X  Y\" = 1", 0);
    split.createSegmentEntry(UL_DBROWCOUNT_INVALID, u"K >= 'a  b' -- PART 1\n AND 1 = 1", 0);
    const std::u16string file = path("t.whr");
    bool appended = true;
    ASSERT_EQ(ul_sqlwritewherefile(file.c_str(), u"T", &split, 0, &appended), 2);
    EXPECT_FALSE(appended);
    EXPECT_EQ(readFileBytes(dir_.path("t.whr")),
              "tab: T\nopt: native\ncnt: 3\nWHERE K < 'a  b' AND \"X  Y\" = 1\n\n"
              "tab: T\nopt: native\nWHERE K >= 'a  b' -- PART 1\nAND 1 = 1\n\n");
    ASSERT_EQ(ul_sqlwritewherefile(file.c_str(), u"U", &split, UL_WHEREFILE_NOCNTLINES, &appended),
              2);
    EXPECT_TRUE(appended);
    ULTableSplitList list;
    ASSERT_EQ(ul_sqlreadwherefile(&list, file.c_str(), u"T", nullptr, 0), 2) << u8(errorText());
    ASSERT_EQ(list.get(u"U", UL_HASH_QUIET), nullptr);
    const ULTableSplit* back = list.get(u"T");
    EXPECT_TRUE(back->native);
    EXPECT_EQ(conditions(*back), (std::vector<std::u16string>{u"K < 'a  b' AND \"X  Y\" = 1",
                                                              u"K >= 'a  b' -- PART 1 AND 1 = 1"}));
    EXPECT_EQ(back->begin().operator*().rows, 3u);
    // Pattern mode: one file per condition.
    const std::u16string pattern = path("T%.WHR");
    ASSERT_EQ(ul_sqlwritewherefile(pattern.c_str(), u"T", &split, 0, nullptr), 2);
    EXPECT_EQ(readFileBytes(dir_.path("T2.WHR")),
              "tab: T\nopt: native\nWHERE K >= 'a  b' -- PART 1\nAND 1 = 1\n\n");
    // Single-byte files take Latin-1 and refuse anything else.
    ULTableSplit latin;
    latin.createSegmentEntry(1, u"K = '\u00e9'", 0);
    ASSERT_EQ(
        ul_sqlwritewherefile(path("l.whr").c_str(), u"T", &latin, UL_WHEREFILE_SINGLEBYTE, nullptr),
        1);
    EXPECT_EQ(readFileBytes(dir_.path("l.whr")), "tab: T\ncnt: 1\nWHERE K = '\xe9'\n\n");
    latin.createSegmentEntry(1, u"K = '\u20ac'", 0);
    EXPECT_EQ(
        ul_sqlwritewherefile(path("m.whr").c_str(), u"T", &latin, UL_WHEREFILE_SINGLEBYTE, nullptr),
        -1);
    EXPECT_EQ(u8(errorText()), u8(u"Invalid byte 8364 found in where clause 'K = '\u20ac''"));
    EXPECT_FALSE(std::filesystem::exists(dir_.path("m.whr")));
}

TEST_F(UlSqlSplitFileTest, ReaderRules) {
    ULTableSplitList list;
    ASSERT_EQ(
        read("a.whr",
             "# comment\n/* block\n tab: X\n*/\ntab: T\ncnt: 10\nWHERE A = 1   \n  AND B = 2\n\n"
             "tab: T\nwhere C = 3\ntab: V\nopt: native\nD = 4\n",
             &list, nullptr, UL_WHEREREAD_INVERT),
        3)
        << u8(errorText());
    EXPECT_EQ(conditions(*list.get(u"T")),
              (std::vector<std::u16string>{u"NOT( A = 1 AND B = 2 )", u"NOT( C = 3 )"}));
    EXPECT_TRUE(list.get(u"V")->native);
    struct Case {
        const char* content;
        int flags;
        std::string error;
    } cases[] = {
        {"tab: T\nA = 1\ntab: T\nB = 2\n", UL_WHEREREAD_SINGLE,
         "Duplicate condition for 'T' in '%s'"},
        {"tab: T\ncnt: 5\ntab: U\nB = 2\n", 0, "Empty where condition for 'T' in '%s'"},
        {"A = 1\n", 0, "Syntax error in line 1 'A = 1'"},
        {"tab: T\ncnt: 5x\n", 0, "Syntax error in line 2 'cnt: 5x'"},
        {"tab:   \n", 0, "Syntax error in line 1 'tab:'"},
        {"tab: T\nopt: native sorted\n", 0, "Unknown option 'sorted'"},
    };
    for (const Case& c : cases) {
        ULTableSplitList other;
        EXPECT_EQ(read("b.whr", c.content, &other, nullptr, c.flags), -1) << c.content;
        EXPECT_EQ(u8(errorText()),
                  ul_utf16to8(ul_format(w(c.error).c_str(), path("b.whr").c_str()).c_str()));
    }
    EXPECT_EQ(ul_sqlreadwherefile(&list, path("missing.whr").c_str(), nullptr, nullptr, 0), -1);
    EXPECT_EQ(u8(errorText()), u8(u"Cannot read '" + path("missing.whr") + u"'"));
}

// ---- splitting on the engines
// --------------------------------------------------------------------

class UlSqlSplitEngineTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        ul_msgwrite_reset();
        ul_sqlresetglobalflags();
        ul_sqlwherefilesforget();
        std::string why;
        if (!session_.open(GetParam(), &why)) GTEST_SKIP() << why;
        ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << u8(errorText());
    }
    void TearDown() override { ul_sqlresetglobalflags(); }

    long exec(const std::u16string& sql) {
        return ULSQLStmt::run(sql.c_str(), nullptr, 0, nullptr, nullptr, 0);
    }
    unsigned long count(const std::u16string& table, const std::u16string& where) {
        ul_dbrowcount_t n = 0;
        EXPECT_EQ(ul_sqltablecountstar(table.c_str(), where.c_str(), nullptr, 0, &n, 0), 0)
            << u8(errorText());
        return n;
    }
    // Creates a table of the given columns (uppercase, quoted) and inserts the rows.
    std::u16string makeTable(const std::string& base, const std::u16string& columns,
                             const std::vector<std::vector<std::u16string>>& rows,
                             const ul_sqlfielddesc_t* in = nullptr) {
        const std::u16string name = session_.table(base);
        exec(u"DROP TABLE IF EXISTS \"" + name + u"\"");
        EXPECT_GE(exec(u"CREATE TABLE \"" + name + u"\" (" + columns + u")"), 0) << u8(errorText());
        std::u16string markers = u"?";
        for (size_t i = 1; i < rows[0].size(); ++i) markers += u", ?";
        ULSQLStmt insert;
        EXPECT_EQ(
            insert.prepare((u"INSERT INTO \"" + name + u"\" VALUES (" + markers + u")").c_str(), in,
                           in ? static_cast<unsigned>(rows[0].size()) : 0, nullptr, 0, 0),
            0);
        Supply supply(rows);
        EXPECT_EQ(insert.execute(&supply, nullptr, 0), static_cast<long>(rows.size()))
            << u8(errorText());
        EXPECT_EQ(ul_sqlcommit2(nullptr, UL_COMMIT_QUIET), 0);
        return name;
    }

    // Every row satisfies exactly one condition, the stored counts are right, the parts keep
    // the method's tolerance, and the range check finds nothing.
    // Rows that satisfy none or several of the conditions.
    unsigned long rowsNotOnce(const std::u16string& table, const ULTableSplit& split) {
        std::u16string sum = u"(0";
        for (const ul_tablesegment_t& s : split)
            sum += u" + CASE WHEN " + std::u16string(s.condition()) + u" THEN 1 ELSE 0 END";
        return count(table, sum + u") <> 1");
    }

    void checkSplit(const std::u16string& table, const ULTableSplit& split, unsigned long segment,
                    bool rownum, const ULTableSplit* pre = nullptr) {
        unsigned long total = 0;
        size_t i = 0;
        const size_t n = split.getCount();
        for (const ul_tablesegment_t& s : split) {
            ++i;
            const unsigned long actual = count(table, s.condition());
            total += actual;
            SCOPED_TRACE(u8(s.condition()));
            if (s.rows != UL_DBROWCOUNT_INVALID) {
                EXPECT_EQ(s.rows, actual);
            }
            EXPECT_GT(actual, 0u);
            const bool last = i == n;
            if (rownum && !last && !pre) {
                EXPECT_EQ(actual, segment);
            }
            EXPECT_LE(actual, segment + segment / 2 + (last ? segment / 4 : 0));
            if (last && !pre) {
                EXPECT_GE(actual, std::min(segment / 4, 1000ul));
            }
        }
        EXPECT_EQ(total, count(table, u"1 = 1"));
        EXPECT_EQ(rowsNotOnce(table, split), 0u);
        EXPECT_EQ(ul_sqlchecksplitrange(&split, pre, 0), 0) << u8(errorText());
    }

    EngineSession session_;
};

using RowMaker = std::function<std::vector<std::u16string>(int)>;

struct PropertyCase {
    const char* name;
    std::u16string columns;
    std::vector<const char16_t*> keys;
    RowMaker row;
};

const char16_t* const kHostile[] = {
    u"O'Brien",     u"a\\b",      u"Zo\u00eb", u"\u65e5\u672c", u"--x", u"x;y",
    u"' OR '1'='1", u"tab\there", u"nl\nx\r",  u"\U0001F600",   u"",    u"\"q\""};

std::vector<PropertyCase> propertyCases() {
    return {
        {"int",
         u"\"K1\" INTEGER NOT NULL PRIMARY KEY",
         {u"K1"},
         [](int i) { return std::vector<std::u16string>{w(std::to_string(i * 7))}; }},
        {"char",
         u"\"K1\" VARCHAR(20) NOT NULL PRIMARY KEY",
         {u"K1"},
         [](int i) {
             return std::vector<std::u16string>{w("k" + std::to_string(i * 7919 % 100003))};
         }},
        {"dominant",
         u"\"K1\" VARCHAR(10) NOT NULL, \"K2\" INTEGER NOT NULL, PRIMARY KEY (\"K1\", \"K2\")",
         {u"K1", u"K2"},
         [](int i) {
             return std::vector<std::u16string>{
                 i < 1400 ? u"main" : w("o" + std::to_string(i % 50)), w(std::to_string(i))};
         }},
        {"skew",
         u"\"K1\" VARCHAR(10) NOT NULL, \"K2\" VARCHAR(10) NOT NULL, \"K3\" INTEGER NOT NULL",
         {u"K1", u"K2", u"K3"},
         [](int i) {
             return std::vector<std::u16string>{w("g" + std::to_string(__builtin_ctz(i + 1))),
                                                w("h" + std::to_string(i % 3)),
                                                w(std::to_string(i))};
         }},
        // Groups of 100 and 120 rows: segments end before a group as well as after one.
        {"groups",
         u"\"K1\" VARCHAR(10) NOT NULL, \"K2\" INTEGER NOT NULL",
         {u"K1", u"K2"},
         [](int i) {
             return std::vector<std::u16string>{
                 w(i < 1000 ? "g" + std::to_string(i / 100)
                            : "h" + std::to_string((i - 1000) / 120)),
                 w(std::to_string(i))};
         }},
        {"hostile",
         u"\"K1\" VARCHAR(30) NOT NULL, \"K2\" INTEGER NOT NULL",
         {u"K1", u"K2"},
         [](int i) {
             return std::vector<std::u16string>{kHostile[i % std::size(kHostile)],
                                                w(std::to_string(i))};
         }},
    };
}

TEST_P(UlSqlSplitEngineTest, ConditionsCoverEveryRowOnceWithBothMethods) {
    constexpr int kRows = 2000;
    for (const PropertyCase& c : propertyCases()) {
        std::vector<std::vector<std::u16string>> rows;
        for (int i = 0; i < kRows; ++i) rows.push_back(c.row(i));
        std::string name = std::string("SPLIT_") + c.name;
        for (char& ch : name) ch = static_cast<char>(toupper(ch));
        const std::u16string table = makeTable(name, c.columns, rows);
        for (int method : {static_cast<int>(UL_SQLTABSPLIT_FSTANDARD), 0}) {
            SCOPED_TRACE(std::string(c.name) + (method ? " standard" : " rownum"));
            ULTableSplit split;
            const int rc = ul_sqlsplittable(&split, table.c_str(), c.keys.data(),
                                            static_cast<unsigned>(c.keys.size()), 0.125, kRows, 4,
                                            32, nullptr, method);
            ASSERT_EQ(rc, 0) << u8(errorText());
            checkSplit(table, split, kRows / 8 + 1, method == 0);
            // Where files keep conditions and counts.
            TempDir dir;
            const std::u16string file = dir.wpath("s.whr");
            ASSERT_EQ(ul_sqlwritewherefile(file.c_str(), table.c_str(), &split, 0, nullptr),
                      split.getCount());
            ULTableSplitList back;
            ASSERT_EQ(ul_sqlreadwherefile(&back, file.c_str(), nullptr, nullptr, 0),
                      split.getCount());
            EXPECT_EQ(conditions(*back.get(table.c_str())), conditions(split));
            EXPECT_EQ(back.get(table.c_str())->getNumberRows(), split.getNumberRows());
        }
        if (std::string(c.name) != "hostile") continue;
        ULTableSplit ascii;
        ASSERT_EQ(ul_sqlsplittable(&ascii, table.c_str(), c.keys.data(), 2, 0.125, kRows,
                                   UL_DBROWCOUNT_INVALID, UL_DBROWCOUNT_INVALID, nullptr,
                                   UL_SQLTABSPLIT_FSTANDARD | UL_SQLTABSPLIT_FFILTERNONASCII),
                  0);
        for (const std::u16string& s : conditions(ascii))
            for (char16_t ch : s) EXPECT_LT(ch, 128) << u8(s);
        EXPECT_EQ(rowsNotOnce(table, ascii), 0u);
    }
}

TEST_P(UlSqlSplitEngineTest, LimitsPreconditionsAndEqualBoundaries) {
    std::vector<std::vector<std::u16string>> rows;
    for (int i = 0; i < 1000; ++i)
        rows.push_back({i < 700 ? u"main" : w("o" + std::to_string(i % 10)), w(std::to_string(i))});
    const std::u16string table =
        makeTable("SPLIT_LIMITS", u"\"K1\" VARCHAR(10) NOT NULL, \"K2\" INTEGER NOT NULL", rows);
    const char16_t* keys[] = {u"K1", u"K2"};
    ULTableSplit split;
    // Too many and too few splits give up without conditions.
    EXPECT_EQ(ul_sqlsplittable(&split, table.c_str(), keys, 2, 50, 1000, UL_DBROWCOUNT_INVALID, 5,
                               nullptr, UL_SQLTABSPLIT_FSTANDARD),
              UL_SPLITRESULT_TOOMANY);
    EXPECT_TRUE(split.isEmpty());
    EXPECT_EQ(ul_sqlsplittable(&split, table.c_str(), keys, 2, 0.5, 1000, 5, UL_DBROWCOUNT_INVALID,
                               nullptr, 0),
              UL_SPLITRESULT_TOOFEW);
    EXPECT_EQ(ul_sqlsplittable(&split, table.c_str(), keys, 2, 5000, 1000, UL_DBROWCOUNT_INVALID,
                               UL_DBROWCOUNT_INVALID, nullptr, 0),
              UL_SPLITRESULT_NOTHING);
    // Only the first key field: equal row-number boundaries collapse into one condition.
    ASSERT_EQ(ul_sqlsplittable(&split, table.c_str(), keys, 1, 100, 1000, UL_DBROWCOUNT_INVALID,
                               UL_DBROWCOUNT_INVALID, nullptr, 0),
              0);
    EXPECT_EQ(split.getCount(), 4) << u8(conditions(split)[0]);
    EXPECT_EQ(split.begin().operator*().rows, 700u);
    split.clear();
    // Each pre-condition is split on its own; a small one stays whole.
    ULTableSplit pre;
    pre.createSegmentEntry(UL_DBROWCOUNT_INVALID, u"\"K1\" = 'main'", 0);
    pre.createSegmentEntry(UL_DBROWCOUNT_INVALID, u"\"K1\" <> 'main'", 0);
    ul_dbrowcount_t total = 0;
    ASSERT_EQ(ul_sqltablecountstarm(table.c_str(), &pre, nullptr, 0, &total, 0), 0);
    EXPECT_EQ(total, 1000u);
    ASSERT_EQ(ul_sqlsplittablem(&split, table.c_str(), keys, 2, 301, total, UL_DBROWCOUNT_INVALID,
                                UL_DBROWCOUNT_INVALID, &pre, UL_SQLTABSPLIT_FSMALLPARTWHOLE),
              0)
        << u8(errorText());
    EXPECT_EQ(conditions(split).back(), u"\"K1\" <> 'main'");
    checkSplit(table, split, 301, false, &pre);
    // The range check finds a gap.
    ULTableSplit gap;
    for (const ul_tablesegment_t& s : split) gap.createSegmentEntry(s.rows, s.condition(), 0);
    gap.reduce2SingleCondition(1);
    EXPECT_EQ(ul_sqlchecksplitrange(&gap, &pre, 0), 2);
}

TEST_P(UlSqlSplitEngineTest, HostileLiteralsSelectExactlyTheirRow) {
    const char* const bytes[] = {"", "00", "27", "5C78", "FF00FF", "2D2D0A"};
    std::vector<std::vector<std::u16string>> rows;
    for (size_t i = 0; i < std::size(kHostile); ++i)
        rows.push_back({kHostile[i], w(bytes[i % std::size(bytes)]), w(std::to_string(i))});
    // The hexadecimal texts are bound to a binary column.
    const ul_sqlfielddesc_t in[] = {{u"K", UL_SQLFLD_CHAR, -1, 0, 20},
                                    {u"B", UL_SQLFLD_RAW | UL_SQLFLD_LONG, -1, 0, 0},
                                    {u"N", UL_SQLFLD_INT, -1, 0, 4}};
    const bool pg = std::string(GetParam()) == "PGSQL";
    const std::u16string table = makeTable(
        "SPLIT_LITERALS",
        u"\"K\" VARCHAR(20), \"B\" " + std::u16string(pg ? u"bytea" : u"BLOB") + u", \"N\" INTEGER",
        rows, in);
    const char16_t* fields[] = {u"K", u"B"};
    const int classes[] = {UL_SQLTOKEN_STRING, UL_SQLTOKEN_HEXSTRING};
    for (size_t i = 0; i < std::size(kHostile); ++i) {
        SCOPED_TRACE(i);
        const std::u16string hex = w(bytes[i % std::size(bytes)]);
        for (unsigned f = 0; f < 2; ++f) {
            const char16_t* value[] = {f == 0 ? kHostile[i] : hex.c_str()};
            char16_t condition[UL_SQLSTMTSIZE];
            ASSERT_GE(
                ul_sqlgenwherecondition(condition, UL_SQLSTMTSIZE, nullptr, fields + f, classes + f,
                                        value, 1, value, 1, ul_sqlquotetable, UL_WHERECOND_LOWINCL),
                0);
            // Every byte value stands in two rows, every text in one.
            EXPECT_EQ(count(table, condition), f == 0 ? 1u : 2u) << u8(condition);
            const std::u16string mine = condition + (u" AND \"N\" = " + w(std::to_string(i)));
            EXPECT_EQ(count(table, mine), 1u) << u8(mine);
        }
    }
}

TEST_P(UlSqlSplitEngineTest, Counting) {
    const std::u16string table = makeTable("SPLIT_COUNT", u"\"K\" INTEGER, \"V\" INTEGER",
                                           {{u"1", u"1"}, {u"2", u"1"}, {u"3", u"2"}});
    ul_dbrowcount_t n = 0;
    EXPECT_EQ(ul_sqltablecountstar(table.c_str(), nullptr, nullptr, 0, &n, 1), 0);
    EXPECT_EQ(n, 3u);
    const char16_t* v[] = {u"V"};
    EXPECT_EQ(ul_sqltablecountstar(table.c_str(), u"\"K\" > 1", v, 1, &n, 0), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(ul_sqltablecountstar(u"NO_SUCH_TABLE", nullptr, nullptr, 0, &n, 0), -1);
    EXPECT_EQ(u8(errorText()).rfind("Error counting table 'NO_SUCH_TABLE'\n", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Engines, UlSqlSplitEngineTest, ::testing::Values("SQLITE", "PGSQL"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace

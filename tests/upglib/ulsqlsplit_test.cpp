// The key-range splitter: literals, statement templates, and the splitting property on SQLite and
// PostgreSQL with both methods, native splits, declared partitions and conversion to another key.
#include "ulsqlsplit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "sqltestutil.h"
#include "tempdir.h"
#include "testutil.h"
#include "ulmacro.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlsplitdb.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulsqlwherefile.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

// A leading WHERE is a keyword wherever no identifier can continue it.
TEST(UlSqlSplitTest, LeadingWhereKeyword) {
    const struct {
        const char16_t* text;
        size_t length;
    } cases[] = {{u"WHERE K < 5", 5},
                 {u"where(\"K\" <= 5000)", 5},
                 // clang-format off
                 {u"WHERE\"K\" < 5", 5}, {u"WHERE", 5}, {u"WhErE\t'a' < K", 5}, {u"WHEREAS < 5", 0},
                 {u"WHERE_X = 1", 0},    {u"WHERE1 = 1", 0},
                 {u"WHERE$ = 1", 0},     {u"WHERE\u00c4 = 1", 0},
                 {u"WHER", 0},           {u"K < 5", 0}};
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(ul_sqlwherekeyword(c.text), c.length) << u8(c.text);
}

// ---- literals and comparisons -------------------------------------------------------------------

TEST(UlSqlSplitTest, LiteralsPerFormAndBack) {
    const ul_sqlliteralform_t* sqlite = ul_sqlliteralform(UL_DBTYPE_SQLITE);
    const ul_sqlliteralform_t* pg = ul_sqlliteralform(UL_DBTYPE_PGSQL);
    const ul_sqlliteralform_t* other = ul_sqlliteralform(UL_DBTYPE_ORA);
    const auto S = UL_SQLTOKEN_STRING, H = UL_SQLTOKEN_HEXSTRING, N = UL_SQLTOKEN_NUMBER;
    struct Case {
        const char16_t* value;
        int tokenClass;
        const ul_sqlliteralform_t* form;
        const char16_t* expected;  // starting with "!": the error text
    } cases[] = {{u"O'Neil", S, sqlite, u"'O''Neil'"},
                 // clang-format off
                 {u"a\\b", S, pg, u"'a\\b'"}, {u"", S, pg, u"''"},
                 {u"a\nb'", S, sqlite, u"('a' || char(10) || 'b''')"},
                 {u"\t", S, pg, u"(chr(9))"}, {u"a\nb", S, other, u"'a\nb'"},
                 {u"0042", UL_SQLTOKEN_NUMC, pg, u"'0042'"},
                 {u"0aFf", H, sqlite, u"X'0AFF'"}, {u"0aFf", H, pg, u"'\\x0AFF'::bytea"},
                 {u"", H, sqlite, u"X''"}, {u"-12.5e+3", N, pg, u"-12.5e+3"},
                 {u"ABC", H, sqlite, u"!Invalid hexadecimal value 'ABC'"},
                 {u"0x", H, sqlite, u"!Invalid hexadecimal value '0x'"},
                 {u"1 OR 1=1", N, sqlite, u"!Invalid numeric value '1 OR 1=1'"},
                 {u"1e", N, sqlite, u"!Invalid numeric value '1e'"},
                 {u"1;", N, sqlite, u"!Invalid numeric value '1;'"},
                 {u"x", 7, sqlite, u"!Invalid token class 7 for value 'x'"}};
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.value));
        std::u16string text;
        const int rc = ul_sqlappendliteral(&text, c.value, c.tokenClass, c.form);
        if (c.expected[0] == u'!') {
            EXPECT_TRUE(failedWith(rc, u8(c.expected + 1)));
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
    UL_SQLGlobalFlags |= UL_SQLFLAG_HEXFORMAT0X;
    std::u16string zeroX;
    EXPECT_EQ(ul_sqlappendliteral(&zeroX, u"ab", UL_SQLTOKEN_HEXSTRING, pg), 0);
    ul_sqlresetglobalflags();
    EXPECT_EQ(u8(zeroX), "0xAB");
}

TEST(UlSqlSplitTest, ValueOrderByTokenClass) {
    const auto S = UL_SQLTOKEN_STRING, N = UL_SQLTOKEN_NUMBER, C = UL_SQLTOKEN_NUMC;
    // Code point order: U+FF61 sorts before U+1F600 although its UTF-16 unit is larger.
    const std::tuple<const char16_t*, const char16_t*, int, int> cases[] = {
        // clang-format off
        {u"9", u"10", N, -1}, {u"-10", u"-9", N, -1},
        {u"1.50", u"1.5", N, 0}, {u"1e3", u"999.9999", N, 1},
        {u"0.001", u"-0", N, 1}, {u"abc", u"5", N, 1},
        {u"123456789012345678901234567890", u"123456789012345678901234567891", N, -1},
        {u"007", u"7", C, 0}, {u"08", u"1x", C, -1},
        {u"9", u"10", S, 1}, {u"ab", u"abc", S, -1},
        {u"\uFF61", u"\U0001F600", S, -1}, {u"0A", u"0B", UL_SQLTOKEN_HEXSTRING, -1}};
    // clang-format on
    for (const auto& [a, b, tokenClass, expected] : cases) {
        EXPECT_EQ(ul_sqlvaluecompare(a, b, tokenClass), expected) << u8(a) << " " << u8(b);
        EXPECT_EQ(ul_sqlvaluecompare(b, a, tokenClass), -expected);
    }
    EXPECT_GT(ul_sqlstringcompare(u"a  ", u"a"), 0);
    UL_SQLGlobalFlags |= UL_SQLFLAG_SQLSTRINGCOMPARE;
    EXPECT_EQ(ul_sqlstringcompare(u"a  ", u"a"), 0);
    ul_sqlresetglobalflags();
}

// ---- lists, templates ---------------------------------------------------------------------------

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
        {u"WHERE B = 2%W", u"A = 1 OR A = 3", 0, 0, u"WHERE B = 2 AND (A = 1 OR A = 3)"},
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
            EXPECT_TRUE(failedWith(rc, u8(c.expected + 1)));
        } else {
            ASSERT_GE(rc, 0) << u8(errorText());
            EXPECT_EQ(u8(out), u8(c.expected));
        }
    }
    const char16_t* statement = nullptr;
    EXPECT_EQ(sql_getstatement2(UL_SPLITREQ_ESTIMATE, u"T", nullptr, 0, &statement, 0, 0, 0), 0);
    EXPECT_EQ(sql_getstatement2(UL_SPLITREQ_ROWNUM, u"T", nullptr, 0, &statement, 0, 0, 0), 1);
    EXPECT_TRUE(failedWith(sql_getstatement2(8, u"T", nullptr, 0, &statement, 0, 0, 0),
                           "Internal error: Unsupported split format request #8"));
    EXPECT_EQ(ul_sqlgetsplitsupport(42), nullptr);
    EXPECT_EQ(u8(errorText()), "No support for database type #42");
    // Every database type has its split row.
    for (int type = UL_DBTYPE_ZMX; type <= UL_DBTYPE_PGSQL; ++type)
        EXPECT_NE(ul_sqlgetsplitsupport(type), nullptr) << type;
    unsetenv("dbms_type");
}

// ---- splitting on the engines
// --------------------------------------------------------------------

class UlSqlSplitEngineTest : public SqlEngineTest {
  protected:
    void SetUp() override {
        ul_sqlwherefilesforget();
        SqlEngineTest::SetUp();
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

    // How many of the conditions a row satisfies.
    static std::u16string hits(const ULTableSplit& split) {
        std::u16string sum = u"(0";
        for (const ul_tablesegment_t& s : split) {
            sum += u" + CASE WHEN ";
            ul_sqlappendembedded(&sum, s.condition(), u" THEN 1 ELSE 0 END");
        }
        return sum + u")";
    }
    // Rows that satisfy none or several of the conditions; with pre-conditions (disjoint), rows
    // that do not satisfy as many conditions as pre-conditions.
    unsigned long rowsNotOnce(const std::u16string& table, const ULTableSplit& split,
                              const ULTableSplit* pre = nullptr) {
        return count(table, hits(split) + u" <> " + (pre ? hits(*pre) : u"1"));
    }

    // Every row (of the pre-conditions) satisfies exactly one condition and the stored counts
    // are right.
    void expectPartition(const std::u16string& table, const ULTableSplit& split,
                         const ULTableSplit* pre = nullptr) {
        unsigned long total = 0;
        for (const ul_tablesegment_t& s : split) {
            const unsigned long actual = count(table, s.condition());
            total += actual;
            if (s.rows != UL_DBROWCOUNT_INVALID) {
                EXPECT_EQ(s.rows, actual) << u8(s.condition());
            }
        }
        EXPECT_EQ(total, count(table, pre ? hits(*pre) + u" = 1" : u"1 = 1"));
        EXPECT_EQ(rowsNotOnce(table, split, pre), 0u);
    }
    // A partition whose parts are counted, not empty and keep the method's tolerance, and the
    // range check finds nothing.
    void checkSplit(const std::u16string& table, const ULTableSplit& split, unsigned long segment,
                    bool rownum, const ULTableSplit* pre = nullptr) {
        expectPartition(table, split, pre);
        size_t i = 0;
        const size_t n = split.getCount();
        for (const ul_tablesegment_t& s : split) {
            ++i;
            SCOPED_TRACE(u8(s.condition()));
            EXPECT_NE(s.rows, UL_DBROWCOUNT_INVALID);
            EXPECT_GT(s.rows, 0u);
            const bool last = i == n;
            if (rownum && !last && !pre) {
                EXPECT_EQ(s.rows, segment);
            }
            EXPECT_LE(s.rows, segment + segment / 2 + (last ? segment / 4 : 0));
            if (last && !pre) {
                EXPECT_GE(s.rows, std::min(segment / 4, 1000ul));
            }
        }
        EXPECT_EQ(ul_sqlchecksplitrange(&split, pre, 0), 0) << u8(errorText());
    }
    // T(K1, K2, U): 3000 rows before every seventh is deleted and every fifth moved by an update;
    // U is unique and ordered unlike the key.
    std::u16string makeMovedRowsTable() {
        std::vector<std::vector<std::u16string>> rows;
        for (int i = 1; i <= 3000; ++i)
            rows.push_back({w("k" + std::to_string(i % 10)), w(std::to_string(i)),
                            w(std::to_string(i * 7919 % 3001))});
        const std::u16string t = makeTable("SPLITDB",
                                           u"\"K1\" VARCHAR(10) NOT NULL, \"K2\" INTEGER NOT NULL, "
                                           u"\"U\" INTEGER NOT NULL, PRIMARY KEY (\"K1\", \"K2\")",
                                           rows);
        const std::u16string q = u"\"" + t + u"\"";
        EXPECT_GE(exec(u"DELETE FROM " + q + u" WHERE \"K2\" % 7 = 0"), 0);
        EXPECT_GE(exec(u"UPDATE " + q + u" SET \"K1\" = \"K1\" || 'x' WHERE \"K2\" % 5 = 0"), 0);
        EXPECT_EQ(ul_sqlcommit2(nullptr, UL_COMMIT_QUIET), 0);
        return t;
    }
};

using RowMaker = std::function<std::vector<std::u16string>(int)>;

struct PropertyCase {
    const char* name;
    std::u16string columns;
    std::vector<const char16_t*> keys;
    RowMaker row;
    const char16_t* pre = nullptr;  // a pre-condition that ends in a comment
    // SQLite only (PostgreSQL keeps no NUL in text): an assignment run over the filled table.
    const char16_t* sqliteUpdate = nullptr;
};

const char16_t* const kHostile[] = {
    u"O'Brien",     u"a\\b",      u"Zo\u00eb", u"\u65e5\u672c", u"--x", u"x;y",
    u"' OR '1'='1", u"tab\there", u"nl\nx\r",  u"\U0001F600",   u"",    u"\"q\""};

std::vector<PropertyCase> propertyCases() {
    return {
        {"int",
         u"\"K1\" INTEGER NOT NULL PRIMARY KEY",
         {u"K1"},
         [](int i) { return std::vector<std::u16string>{w(std::to_string(i * 7))}; },
         u"\"K1\" >= 700 -- the upper rows"},
        {"dominant",
         u"\"K1\" VARCHAR(10) NOT NULL, \"K2\" INTEGER NOT NULL, PRIMARY KEY (\"K1\", \"K2\")",
         {u"K1", u"K2"},
         [](int i) {
             return std::vector<std::u16string>{
                 i < 1400 ? u"main" : w("o" + std::to_string(i % 50)), w(std::to_string(i))};
         },
         u"\"K1\" <> 'main' -- not 'main"},
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
        // CHAR values that differ only in trailing blanks: different values on SQLite, one
        // value on PostgreSQL.
        {"padded",
         u"\"K1\" CHAR(4) NOT NULL, \"K2\" INTEGER NOT NULL",
         {u"K1", u"K2"},
         [](int i) {
             static const char16_t* const kPadded[] = {u"a", u"a ", u"a  ", u" a"};
             return std::vector<std::u16string>{kPadded[i / 500 % 4], w(std::to_string(i))};
         }},
        {"hostile",
         u"\"K1\" VARCHAR(30) NOT NULL, \"K2\" INTEGER NOT NULL",
         {u"K1", u"K2"},
         [](int i) {
             return std::vector<std::u16string>{kHostile[i % std::size(kHostile)],
                                                w(std::to_string(i))};
         },
         u"\"K1\" <> '--x' /* -- */ AND \"K2\" > 0 -- no '--x'"},
        // Key values that hold a NUL character: 'a\0b' is neither 'a' nor 'a\0c'.
        {"nul",
         u"\"K1\" VARCHAR(10) NOT NULL, \"K2\" INTEGER NOT NULL",
         {u"K1", u"K2"},
         [](int i) {
             static const char16_t* const kNul[] = {u"a", u"a#b", u"a#c", u"ab"};
             return std::vector<std::u16string>{kNul[i / 500 % 4], w(std::to_string(i))};
         },
         nullptr,
         u"\"K1\" = replace(\"K1\", '#', char(0))"},
    };
}

TEST_P(UlSqlSplitEngineTest, ConditionsCoverEveryRowOnceWithBothMethods) {
    constexpr int kRows = 2000;
    for (const PropertyCase& c : propertyCases()) {
        if (c.sqliteUpdate && std::string(GetParam()) != "SQLITE") continue;
        std::vector<std::vector<std::u16string>> rows;
        for (int i = 0; i < kRows; ++i) rows.push_back(c.row(i));
        std::string name = std::string("SPLIT_") + c.name;
        for (char& ch : name) ch = static_cast<char>(toupper(ch));
        const std::u16string table = makeTable(name, c.columns, rows);
        if (c.sqliteUpdate) {
            ASSERT_GE(exec(u"UPDATE \"" + table + u"\" SET " + c.sqliteUpdate), 0)
                << u8(errorText());
            ASSERT_EQ(ul_sqlcommit2(nullptr, UL_COMMIT_QUIET), 0);
            ASSERT_EQ(count(table, u"\"K1\" = ('a' || char(0) || 'b')"), 500u);
        }
        // Both methods with a fraction of the counted rows, and with row counts without a
        // total that would leave 0 or 2 rows for the last range; then within the case's
        // pre-condition, whose comment must not swallow what the splitter puts behind it.
        constexpr int kStandard = UL_SQLTABSPLIT_FSTANDARD;
        constexpr ul_dbrowcount_t kNone = UL_DBROWCOUNT_INVALID;
        const struct {
            int method;
            double segment;
            ul_dbrowcount_t total;
            unsigned long rows;
            bool pre = false;
        } runs[] = {{kStandard, 0.125, kRows, kRows / 8 + 1},
                    // clang-format off
                    {0, 0.125, kRows, kRows / 8 + 1}, {kStandard, 250, kNone, 250},
                    {0, 250, kNone, 250}, {kStandard, 333, kNone, 333},
                    {0, 333, kNone, 333}, {kStandard, 125, kNone, 125, true},
                    {0, 125, kNone, 125, true}};
        // clang-format on
        for (const auto& run : runs) {
            if (run.pre && !c.pre) continue;
            SCOPED_TRACE(std::string(c.name) + (run.method ? " standard " : " rownum ") +
                         std::to_string(run.rows) + (run.pre ? " pre" : ""));
            ULTableSplit pre;
            if (run.pre) pre.createSegmentEntry(UL_DBROWCOUNT_INVALID, c.pre, 0);
            ULTableSplit split;
            const int rc = ul_sqlsplittable(
                &split, table.c_str(), c.keys.data(), static_cast<unsigned>(c.keys.size()),
                run.segment, run.total, 4, 32, run.pre ? c.pre : nullptr, run.method);
            ASSERT_EQ(rc, 0) << u8(errorText());
            checkSplit(table, split, run.rows, run.method == 0, run.pre ? &pre : nullptr);
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
        rows.push_back(
            {i < 700 ? u"main" : w(concat("o", std::to_string(i % 10))), w(std::to_string(i))});
    const std::u16string table =
        makeTable("SPLIT_LIMITS", u"\"K1\" VARCHAR(10) NOT NULL, \"K2\" INTEGER NOT NULL", rows);
    const char16_t* keys[] = {u"K1", u"K2"};
    ULTableSplit split;
    // Too many splits by the standard method give up without conditions (too few, and none at all,
    // by row numbers are splittable CLI cases).
    EXPECT_EQ(ul_sqlsplittable(&split, table.c_str(), keys, 2, 50, 1000, UL_DBROWCOUNT_INVALID, 5,
                               nullptr, UL_SQLTABSPLIT_FSTANDARD),
              UL_SPLITRESULT_TOOMANY);
    EXPECT_TRUE(split.isEmpty());
    // Exactly the minimum is enough.
    ASSERT_EQ(ul_sqlsplittable(&split, table.c_str(), keys, 2, 250, 1000, 4, UL_DBROWCOUNT_INVALID,
                               nullptr, 0),
              0)
        << u8(errorText());
    EXPECT_EQ(split.getCount(), 4);
    split.clear();
    // A last range of 10 rows merges into the only other one: nothing is left to split.
    EXPECT_EQ(ul_sqlsplittable(&split, table.c_str(), keys, 2, 990, UL_DBROWCOUNT_INVALID,
                               UL_DBROWCOUNT_INVALID, UL_DBROWCOUNT_INVALID, nullptr, 0),
              UL_SPLITRESULT_NOTHING);
    EXPECT_TRUE(split.isEmpty());
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
}

// ---- native splits, declared partitions and key conversion --------------------------------------

TEST_P(UlSqlSplitEngineTest, NativeSplitsPartitionTheTable) {
    const std::u16string t = makeMovedRowsTable();
    const unsigned long total = count(t, u"1 = 1");
    std::vector<std::u16string> fields;
    ASSERT_EQ(ul_sqlsplitsupportsnative(), 1);
    ASSERT_EQ(ul_sqlsplitgetnativefields(t.c_str(), &fields, 10, 0.1, 0), 1) << u8(errorText());
    ASSERT_EQ(fields.size(), 1u);
    const char16_t* keys[] = {fields[0].c_str()};
    const struct {
        double segment;
        const char16_t* pre;
        int method;
    } runs[] = {{0.1, nullptr, 0},
                {250, nullptr, 0},
                {0.2, u"\"K2\" % 3 <> 0 OR \"K1\" = 'k1'", 0},
                {0.25, nullptr, UL_SQLTABSPLIT_FSTANDARD}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.segment);
        ULTableSplit split, pre;
        if (run.pre) pre.createSegmentEntry(UL_DBROWCOUNT_INVALID, run.pre, 0);
        const ul_dbrowcount_t base = run.pre ? count(t, run.pre) : total;
        ASSERT_EQ(
            ul_sqlsplittable(&split, t.c_str(), keys, 1, run.segment, base, UL_DBROWCOUNT_INVALID,
                             UL_DBROWCOUNT_INVALID, run.pre, run.method),
            0)
            << u8(errorText());
        EXPECT_GT(split.getCount(), 1);
        expectPartition(t, split, run.pre ? &pre : nullptr);
    }
}

TEST_P(UlSqlSplitEngineTest, ConditionsConvertToAnotherKey) {
    const std::u16string t = makeMovedRowsTable();
    const char16_t* keys[] = {u"K1", u"K2"};
    ULTableSplit split;
    ASSERT_EQ(ul_sqlsplittable(&split, t.c_str(), keys, 2, 300, UL_DBROWCOUNT_INVALID,
                               UL_DBROWCOUNT_INVALID, UL_DBROWCOUNT_INVALID, nullptr, 0),
              0);
    const char16_t* unique[] = {u"U"};
    ULTableSplit converted;
    ASSERT_EQ(ul_sqlsplit2keyfields(&converted, t.c_str(), &split, unique, 1, 0), split.getCount());
    expectPartition(t, converted);
    // A bound that names many rows of the other key is left out.
    ULTableSplit coarse;
    coarse.createSegmentEntry(UL_DBROWCOUNT_INVALID, u"\"K1\" < 'k5'", 0);
    coarse.createSegmentEntry(UL_DBROWCOUNT_INVALID, u"'k5' <= \"K1\"", 0);
    ULTableSplit whole;
    ASSERT_EQ(ul_sqlsplit2keyfields(&whole, t.c_str(), &coarse, unique, 1, 0), 1);
    EXPECT_EQ(conditions(whole), std::vector<std::u16string>{u"1 = 1"});
}

// Declared partitions are PostgreSQL's.
class UlSqlSplitPgTest : public UlSqlSplitEngineTest {};

TEST_P(UlSqlSplitPgTest, PartitionsAreConditions) {
    const std::u16string t = session_.table("SPLITPART");
    const std::u16string q = u"\"" + t + u"\"";
    // The engine takes words with capitals for names; these keywords are written in lower case.
    ASSERT_GE(exec(u"CREATE TABLE " + q + u" (\"K\" INTEGER NOT NULL) partition by range (\"K\")"),
              0)
        << u8(errorText());
    ASSERT_GE(
        exec(u"CREATE TABLE \"" + t + u"_1\" partition of " + q + u" for values from (0) to (100)"),
        0)
        << u8(errorText());
    ASSERT_GE(exec(u"CREATE TABLE \"" + t + u"_2\" partition of " + q +
                   u" for values from (100) to (1000)"),
              0);
    ASSERT_GE(exec(u"INSERT INTO " + q + u" SELECT i FROM generate_series(0, 999) i"), 0);
    ULTableSplit clauses;
    ASSERT_EQ(ul_sqlcheckpartitions(&clauses, t.c_str(), nullptr, 0), 1) << u8(errorText());
    ASSERT_EQ(clauses.getCount(), 2);
    for (const ul_tablesegment_t& s : clauses) EXPECT_TRUE(ul_sqlispartitionclause(s.condition()));
    expectPartition(t, clauses);
    // Split within the partitions: each partition's conditions, flagged native.
    UL_SQLGlobalFlags |= UL_SQLFLAG_CHECK4TABLEPARTITIONS;
    const char16_t* keys[] = {u"K"};
    ULTableSplit split;
    EXPECT_EQ(ul_sqlsplittable(&split, t.c_str(), keys, 1, 200, UL_DBROWCOUNT_INVALID,
                               UL_DBROWCOUNT_INVALID, UL_DBROWCOUNT_INVALID, nullptr, 0),
              UL_SPLITRESULT_NATIVE)
        << u8(errorText());
    EXPECT_GT(split.getCount(), 1);
    expectPartition(t, split);
    for (const char16_t* drop : {u"_1", u"_2", u""})
        (void)exec(u"DROP TABLE \"" + t + drop + u"\"", nullptr, UL_SQLMODE_TOLERATE);
}

INSTANTIATE_TEST_SUITE_P(Engines, UlSqlSplitEngineTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);
INSTANTIATE_TEST_SUITE_P(Engines, UlSqlSplitPgTest, ::testing::Values("PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

// Statements against the real engines: the same cases on SQLite (a temporary file) and on
// PostgreSQL (when PGHOST or dbs_pgsql_conninfo names a server; scripts/test.sh starts one).
#include <gtest/gtest.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sqltestutil.h"
#include "testutil.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlcluster.h"
#include "ulsqlutilext.h"
#include "ultrace.h"

namespace {

using Rows = CollectRows;

class UlSqlStmtTest : public SqlEngineTest {
  protected:
    void mustExec(const std::u16string& sql) {
        ASSERT_GE(exec(sql), 0) << u8(sql) << ": " << u8(ul_errorgetmsg());
    }
    // A table (ID INT primary key, NAME VARCHAR(20)) with rows 1..n named "n<i>".
    std::u16string numbers(int n) {
        std::u16string t = session_.table("nums");
        mustExec(u"CREATE TABLE " + t + u" (ID INTEGER PRIMARY KEY, NAME VARCHAR(20))");
        ULSQLStmt insert;
        EXPECT_EQ(insert.prepare((u"INSERT INTO " + t + u" VALUES (?, ?)").c_str(), nullptr, 0,
                                 nullptr, 0, 0),
                  0);
        std::vector<std::vector<std::u16string>> data;
        for (int i = 1; i <= n; ++i)
            data.push_back({w(std::to_string(i)), w(concat("n", std::to_string(i)))});
        Supply supply(data);
        EXPECT_EQ(insert.execute(&supply, nullptr, 0), n) << u8(ul_errorgetmsg());
        EXPECT_EQ(ul_sqlcommit2(nullptr, UL_COMMIT_QUIET), 0);
        return t;
    }
};

TEST_P(UlSqlStmtTest, CriticalErrorRules) {
    const std::u16string missing = session_.table("missing");
    // Dropping a missing table: an error, unless tolerated; tolerated it is committed away and
    // the session goes on.
    ULSQLStmt drop;
    const std::u16string sql = u"DROP TABLE " + missing;
    const int prepared = drop.prepare(sql.c_str(), nullptr, 0, nullptr, 0, 0);
    const long executed = prepared == 0 ? drop.execute(nullptr, nullptr, 0) : -1;
    EXPECT_EQ(executed, -1);
    EXPECT_EQ(u8(ul_errorgetmsg()).rfind("DBIF error 103 (db code ", 0), 0u)
        << u8(ul_errorgetmsg());
    const std::u16string t = numbers(2);
    mustPrepare(&drop, sql, nullptr, 0, nullptr, 0, UL_SQLMODE_TOLERATE);
    EXPECT_EQ(drop.execute(nullptr, nullptr, UL_SQLMODE_TOLERATE), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(select(u"SELECT COUNT(*) FROM " + t), (std::vector<std::u16string>{u"2"}));

    // Duplicate records.
    ULSQLStmt insert;
    mustPrepare(&insert, u"INSERT INTO " + t + u" VALUES (?, ?)");
    Supply dups({{u"1", u"d1"}, {u"3", u"n3"}, {u"2", u"d2"}, {u"4", u"n4"}});
    EXPECT_EQ(insert.execute(&dups, nullptr, 0), -1);
    EXPECT_EQ(u8(ul_errorgetmsg()).rfind("DBIF error 26 (db code ", 0), 0u) << u8(ul_errorgetmsg());
    ASSERT_EQ(ul_sqlrollback2(UL_ROLLBACK_QUIET), 0);
    Supply again({{u"1", u"d1"}, {u"3", u"n3"}, {u"2", u"d2"}, {u"4", u"n4"}});
    unsigned long count = 0;
    EXPECT_EQ(insert.execute(&again, &count, UL_SQLMODE_IGNOREDUPS), 2) << u8(ul_errorgetmsg());
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(select(u"SELECT NAME FROM " + t + u" ORDER BY ID"),
              (std::vector<std::u16string>{u"n1", u"n2", u"n3", u"n4"}));
}

// Wants the text of the columns of a bit mask; counts rows without a text array. With a
// table name it checks that table across engines.
class Picky : public CollectRows {
  public:
    explicit Picky(unsigned wanted, const char16_t* table = nullptr)
        : wanted_(wanted), table_(table) {}
    bool wantsText(unsigned column) const override { return (wanted_ >> column) & 1; }
    const char16_t* crossEngineTable() const override { return table_; }
    int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                  unsigned* lengths, unsigned ncols) override {
        withoutTexts += values == nullptr;
        return CollectRows::handleRow(flags, raw, values, lengths, ncols);
    }
    unsigned withoutTexts = 0;

  private:
    unsigned wanted_;
    const char16_t* table_;
};

// Text is built for the columns a receiver wants, also behind a forwarding callback that needs
// the key's text itself; the raw bytes never change, and no text at all means no text array.
TEST_P(UlSqlStmtTest, TextOfTheWantedColumnsOnly) {
    const std::u16string sql = u"SELECT ID, NAME FROM " + numbers(3) + u" ORDER BY ID";
    Rows all;
    ASSERT_EQ(exec(sql, &all), 0) << u8(ul_errorgetmsg());
    // Columns wanted, through the duplicate sorter on ID, columns with text (bit masks).
    const unsigned cases[][3] = {{3, 0, 3}, {2, 0, 2}, {1, 0, 1}, {0, 0, 0}, {2, 1, 3}, {0, 1, 1}};
    for (const auto& [wanted, sorted, texts] : cases) {
        SCOPED_TRACE(::testing::Message() << wanted << " " << sorted);
        Picky picky(wanted);
        ULSQLSelectSortDuplicates sorter;
        const int keyType = UL_SQLTOKEN_NUMBER;
        sorter.init(1, &keyType, 0, &picky);
        ASSERT_EQ(exec(sql, sorted ? static_cast<ULSQLCallBack*>(&sorter) : &picky), 0);
        ASSERT_EQ(sorter.finish(), 0);
        ASSERT_EQ(picky.rows.size(), all.rows.size());
        EXPECT_EQ(picky.withoutTexts, texts ? 0u : all.rows.size());
        for (size_t r = 0; r < all.rows.size(); ++r) {
            EXPECT_EQ(picky.rows[r].raws, all.rows[r].raws);
            for (unsigned i = 0; i < 2; ++i)
                EXPECT_EQ(picky.rows[r].texts[i],
                          (texts >> i) & 1 ? all.rows[r].texts[i] : std::nullopt);
        }
    }
}

// A receiver that checks a table across engines hears once per connection which columns this
// engine stores or compares otherwise than the other; other receivers hear nothing.
TEST_P(UlSqlStmtTest, ColumnsThatMayDifferAcrossEnginesAreNamed) {
    const std::u16string t = session_.table("notes");
    mustExec(u"CREATE TABLE " + t +
             u" (I INTEGER, F DOUBLE PRECISION, R REAL, P NUMERIC(10,2), Q NUMERIC(20,2), "
             u"D NUMERIC, C CHAR(5), V VARCHAR(5), T TIMESTAMP, X DATE)");
    MemoryStream log;
    ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
    ul_msgwrite_setfp(log.get());
    Picky plain(~0u), checking(~0u, u"TAB");
    for (Picky* receiver : {&plain, &checking, &checking})
        ASSERT_EQ(exec(u"SELECT * FROM " + t, receiver), 0) << u8(ul_errorgetmsg());
    std::string warned;
    const std::string text = log.text(), tail = "' of table 'TAB' may not check equal on another";
    for (size_t at = text.find("Column '"); at != std::string::npos;
         at = text.find("Column '", at + 1))
        warned += text.substr(at + 8, text.find(tail, at) - at - 8) + ";";
    EXPECT_EQ(warned, session_.isPg() ? "R;Q;D;C;T;X;" : "F;R;Q;D;C;T;X;");
    ul_msgwrite_reset();  // the stream ends here
}

INSTANTIATE_TEST_SUITE_P(Engines, UlSqlStmtTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

// ---- the same rows on both engines -------------------------------------------------------

struct Delivered {
    std::vector<std::vector<std::optional<std::u16string>>> texts;
    std::vector<std::vector<std::optional<std::vector<unsigned char>>>> raws;
};

const ul_sqlfielddesc_t kCrossColumns[] = {{u"I", UL_SQLFLD_INT, -1, 0, 4},
                                           {u"S", UL_SQLFLD_INT, -1, 0, 2},
                                           {u"B", UL_SQLFLD_INT, -1, 0, 8},
                                           {u"C", UL_SQLFLD_CHAR, -1, 0, 20},
                                           {u"N", 0, DBIF_TYPE_PACKED, 10 | (2u << 16), 6},
                                           {u"D", UL_SQLFLD_DECIMAL, -1, 0, 40},
                                           {u"F", UL_SQLFLD_FLOAT, -1, 0, 8},
                                           {u"R", UL_SQLFLD_RAW, -1, 0, 16},
                                           {u"L", UL_SQLFLD_LONG, -1, 0, 0}};
constexpr unsigned kCrossN = std::size(kCrossColumns);
constexpr unsigned kCrossRaw = 7;  // the column of R

// Edge values; the generated rows follow (ordered by B).
const std::vector<std::vector<const char16_t*>> kCrossRows = {
    {u"1", u"-32768", u"9007199254740993", u"plain", u"12345678.90", u"123456789012345", u"0.1",
     u"00ff10", u"long text"},
    {u"-2147483648", u"32767", u"-9223372036854775808", u"Gr\u00fc\u00dfe \u20ac \U0001F600",
     u"-0.05", u"-0.000000000000001", u"-1.5e300", u"", u"\u00e4\u00f6\u00fc and more"},
    {u"2147483647", u"0", u"9223372036854775807", u"", u"0", u"1.10", u"2.2250738585072014e-308",
     u"7f", u""},
    {u"0", nullptr, u"0", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {u"5", u"5", u"1", u" a b ", u"-99999999.99", u"-0", u"-0.0", u"00", u" "},
    {u"6", u"6", u"2", u"x", u"0.01", u"100000000000000000000", u"-Infinity", u"ff", u"x"},
};

// Generated rows: every type over its range, text with surrogate pairs, NULLs, one long text
// beyond the column space (read in pieces); decimals of up to 15 significant digits, which
// every engine holds exactly.
std::vector<std::vector<std::optional<std::u16string>>> crossRows() {
    std::vector<std::vector<std::optional<std::u16string>>> rows;
    for (const auto& fixed : kCrossRows) {
        rows.emplace_back();
        for (const char16_t* v : fixed) rows.back().push_back(v ? std::optional(v) : std::nullopt);
    }
    std::mt19937_64 rng(16);
    auto pick = [&rng](uint64_t n) { return static_cast<int64_t>(rng() % n); };
    auto text = [&](int64_t n, const std::vector<std::string>& letters) {
        std::string t;
        while (n-- > 0) t += letters[pick(letters.size())];
        return w(t);
    };
    auto number = [&](int64_t digits, int64_t scale) {
        std::string n = std::to_string(pick(digits) + digits / 10);
        return w((pick(2) ? "-" : "") + n.insert(n.size() - scale, "."));
    };
    const std::vector<std::string> letters = {"a", "Z", " ", "0", "\u00e9", "\u20ac", "\U0001F600"};
    for (int k = 0; k < 150; ++k) {
        const uint64_t bits = rng();
        double f;
        std::memcpy(&f, &bits, 8);
        char buf[40];
        char* end = std::to_chars(buf, buf + 40, std::isfinite(f) ? f : 1.0 / (k + 3)).ptr;
        rows.push_back({w(std::to_string(static_cast<int32_t>(rng()))),
                        w(std::to_string(static_cast<int16_t>(rng()))), w(std::to_string(1000 + k)),
                        text(pick(21), letters), number(9000000000, 2),
                        number(900000000000000, pick(15)), w(std::string(buf, end)),
                        text(2 * pick(17), {"0", "7", "a", "f"}),
                        text(k == 7 ? UL_SQLLobColumnSpace + 5000 : pick(60), letters)});
        for (unsigned i = 0; i < kCrossN; ++i)
            if (i != 2 && pick(10) == 0) rows.back()[i].reset();
    }
    return rows;
}

// Creates the table on the engine dbms_type selects, fills it and reads it back.
void fillAndRead(const std::string& engine, EngineSession* session, Delivered* out) {
    ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << engine << ": " << u8(ul_errorgetmsg());
    const std::u16string t = session->table("cross");
    const bool pg = engine == "PGSQL";
    const std::u16string ddl =
        u"CREATE TABLE " + t +
        u" (I INTEGER, S SMALLINT, B BIGINT, C VARCHAR(20), N NUMERIC(10,2), "
        u"D NUMERIC, F DOUBLE PRECISION, R " +
        (pg ? u"bytea" : u"BLOB") + u", L text)";
    ULSQLStmt create;
    mustPrepare(&create, ddl);
    ASSERT_EQ(create.execute(nullptr, nullptr, 0), 0) << u8(ul_errorgetmsg());
    ULSQLStmt insert;
    mustPrepare(&insert, u"INSERT INTO " + t + u" VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                kCrossColumns, kCrossN);
    int id = 0;
    for (const auto& row : crossRows()) {
        SCOPED_TRACE(id++);
        for (unsigned i = 0; i < kCrossN; ++i) {
            if (row[i])
                ASSERT_EQ(insert.bindParam(i, row[i]->c_str(), 0), 0)
                    << i << ": " << u8(ul_errorgetmsg());
            else
                ASSERT_EQ(insert.bindNull(i), 0);
        }
        ASSERT_EQ(insert.execute(nullptr, nullptr, 0), 1) << u8(ul_errorgetmsg());
    }
    ULSQLStmt query;
    mustPrepare(&query, u"SELECT I, S, B, C, N, D, F, R, L FROM " + t + u" ORDER BY B", nullptr, 0,
                kCrossColumns, kCrossN);
    Rows rows;
    ASSERT_EQ(query.execute(&rows, nullptr, 0), 0) << u8(ul_errorgetmsg());
    for (const Rows::Row& r : rows.rows) {
        out->texts.push_back(r.texts);
        out->raws.push_back(r.raws);
    }
}

TEST(UlSqlCrossEngineTest, SameRowsGiveSameBytesAndTexts) {
    if (!havePostgres())
        GTEST_SKIP() << "no PostgreSQL server (PGHOST or dbs_pgsql_conninfo not set)";
    ul_sqlresetglobalflags();
    Delivered sqlite, pgsql;
    for (const auto& [engine, out] : {std::pair{"SQLITE", &sqlite}, std::pair{"PGSQL", &pgsql}}) {
        EngineSession session;
        std::string why;
        ASSERT_TRUE(session.open(engine, &why)) << why;
        fillAndRead(engine, &session, out);
    }
    const size_t n = crossRows().size();
    ASSERT_EQ(sqlite.texts.size(), n);
    ASSERT_EQ(pgsql.texts.size(), n);
    for (size_t r = 0; r < n; ++r) {
        for (size_t c = 0; c < kCrossN; ++c) {
            SCOPED_TRACE("row " + std::to_string(r) + " column " + u8(kCrossColumns[c].name));
            EXPECT_EQ(sqlite.raws[r][c], pgsql.raws[r][c]);
            EXPECT_EQ(sqlite.texts[r][c], pgsql.texts[r][c]);
        }
    }
    // Spot checks of the forms themselves (rows are ordered by B).
    EXPECT_EQ(pgsql.texts[0][3], u"Gr\u00fc\u00dfe \u20ac \U0001F600");
    EXPECT_EQ(pgsql.texts[1][0], u"0");
    EXPECT_FALSE(pgsql.raws[1][8].has_value());
    EXPECT_EQ(pgsql.texts[2][6], u"0");  // -0.0
    EXPECT_EQ(pgsql.texts[n - 2][4], u"12345678.90");
    EXPECT_EQ(pgsql.raws[n - 2][kCrossRaw], (std::vector<unsigned char>{0x00, 0xff, 0x10}));
    EXPECT_EQ(pgsql.texts[n - 1][5], u"1.1");
    EXPECT_EQ(pgsql.texts[n - 1][3], u"");  // an empty text is no NULL
}

}  // namespace

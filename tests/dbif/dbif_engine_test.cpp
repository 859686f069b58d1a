// The behaviour every engine shows the SQL layer, run on each engine: SQLite always, PostgreSQL
// when the environment names a server (PGHOST or dbs_pgsql_conninfo; scripts/test.sh and
// scripts/pgtest.sh provide one). Every test works on tables named after itself and drops them,
// so the suite can run again on the same database.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../upglib/tempdir.h"
#include "dbif.h"
#include "dbif_testutil.h"

namespace {

bool isSqlite(const std::string& engine) {
    return engine == "SQLITE";
}

class DbifEngineTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        engine_ = GetParam();
        if (isSqlite(engine_)) {
            ASSERT_TRUE(dir_.ok());
            dbPath_ = dir_.path("engine.db");
            setenv("dbs_sqlite_db", dbPath_.c_str(), 1);
        } else if (!getenv("PGHOST") && !getenv("dbs_pgsql_conninfo")) {
            GTEST_SKIP() << "no PostgreSQL server: neither PGHOST nor dbs_pgsql_conninfo is set "
                            "(scripts/pgtest.sh run ... provides one)";
        }
        conn_ = open();
        if (!conn_) GTEST_SKIP() << "this build has no " << engine_ << " engine";
        ASSERT_EQ(conn_->connect(), DBIF_RC_OK) << commText(*conn_);
        tables_ = std::make_unique<TestTables>(conn_.get(), u"dbif_");
    }

    void TearDown() override {
        if (!conn_) return;
        if (tables_) tables_->dropAll();
        conn_->disconnect();
    }

    std::unique_ptr<DbIfConnection> open() {
        std::u16string code = ul_utf8to16(engine_.c_str());
        return dbif_open(code.c_str());
    }

    std::u16string table(const char16_t* suffix, const std::u16string& columns) {
        return tables_->create(suffix, columns);
    }

    int exec(const std::u16string& sql) { return conn_->execute(sql.c_str()); }

    int64_t count(const std::u16string& tableName, DbIfConnection* conn = nullptr) {
        QueryResult r = runQuery(conn ? *conn : *conn_, u"SELECT COUNT(*) FROM " + tableName);
        EXPECT_EQ(r.rc, DBIF_RC_OK) << commText(conn ? *conn : *conn_);
        if (r.rows.size() != 1 || r.rows[0].size() != 1) return -1;
        return r.rows[0][0].integer;
    }

    // Inserts ids 1..n into a table (id, ...).
    void insertIds(const std::u16string& tableName, int n) {
        Rows rows;
        for (int i = 1; i <= n; ++i) rows.push_back({I(i)});
        unsigned long processed = 0;
        ASSERT_EQ(
            runModify(*conn_, u"INSERT INTO " + tableName + u" (id) VALUES (?)", rows, &processed),
            DBIF_RC_OK)
            << commText(*conn_);
        ASSERT_EQ(processed, static_cast<unsigned long>(n));
    }

    std::string engine_;
    TempDir dir_;
    std::string dbPath_;
    std::unique_ptr<DbIfConnection> conn_;
    std::unique_ptr<TestTables> tables_;
};

std::string engineName(const ::testing::TestParamInfo<std::string>& info) {
    return info.param;
}

INSTANTIATE_TEST_SUITE_P(Engines, DbifEngineTest, ::testing::Values("SQLITE", "PGSQL"), engineName);

// ---- values and descriptions ---------------------------------------------------------------

std::u16string longText() {
    std::u16string text;
    while (text.size() < 100 * 1024) text += u"long text \u00E4\u4E2D\U0001F600 ";
    return text;
}

std::vector<unsigned char> allBytes() {
    std::vector<unsigned char> bytes;
    for (int round = 0; round < 4; ++round) {
        for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<unsigned char>(b));
    }
    return bytes;
}

struct TypeCase {
    const char16_t* suffix;
    const char16_t* sqliteType;
    const char16_t* pgsqlType;  // null: no such type in PostgreSQL
    dbif_coldesc_t desc;        // name ignored
    Rows values;                // {bound value} or {bound value, value read back}
};

dbif_coldesc_t desc(int type, unsigned length, unsigned decimals = 0) {
    dbif_coldesc_t d;
    d.type = type;
    d.length = length;
    d.decimals = decimals;
    return d;
}

std::vector<TypeCase> typeCases() {
    return {
        {u"i4",
         u"INTEGER",
         u"INTEGER",
         desc(DBIF_TYPE_INT, 4),
         {{I(INT32_MIN)}, {I(INT32_MAX)}, {I(0)}, {N()}}},
        {u"int4", u"INT4", u"int4", desc(DBIF_TYPE_INT, 4), {{I(-1)}}},
        {u"i8",
         u"BIGINT",
         u"BIGINT",
         desc(DBIF_TYPE_INT, 8),
         {{I(INT64_MIN)}, {I(INT64_MAX)}, {I(-1)}, {D(u"42"), I(42)}}},
        {u"int8", u"INT8", u"int8", desc(DBIF_TYPE_INT, 8), {{I(1)}}},
        {u"i2", u"SMALLINT", u"SMALLINT", desc(DBIF_TYPE_INT, 2), {{I(INT16_MIN)}, {I(INT16_MAX)}}},
        {u"int2", u"INT2", u"int2", desc(DBIF_TYPE_INT, 2), {{I(5)}}},
        {u"i1", u"TINYINT", nullptr, desc(DBIF_TYPE_INT, 1), {{I(0)}, {I(127)}, {I(-128)}}},
        {u"bool", u"BOOLEAN", nullptr, desc(DBIF_TYPE_INT, 1), {{I(0)}, {I(1)}}},
        {u"f8",
         u"DOUBLE PRECISION",
         u"DOUBLE PRECISION",
         desc(DBIF_TYPE_FLOAT, 8),
         {{R(0.1)},
          {R(-1.5e300)},
          {R(4.9406564584124654e-324)},
          {R(DBL_MAX)},
          {R(-2.5)},
          {D(u"0.25"), R(0.25)}}},
        {u"float", u"FLOAT", u"FLOAT", desc(DBIF_TYPE_FLOAT, 8), {{R(1.0 / 3)}}},
        {u"real", u"REAL", nullptr, desc(DBIF_TYPE_FLOAT, 8), {{R(2.0 / 3)}}},
        {u"double", u"DOUBLE", nullptr, desc(DBIF_TYPE_FLOAT, 8), {{R(1e-10)}}},
        {u"packed",
         u"NUMERIC(15,2)",
         u"NUMERIC(15,2)",
         desc(DBIF_TYPE_PACKED, 15, 2),
         {{D(u"12.50")},
          {D(u"-0.01")},
          {D(u"9999999999999.99")},
          {D(u"-1234567890123.45")},
          {D(u"0.00")},
          {D(u"7"), D(u"7.00")},
          {D(u"1.5"), D(u"1.50")},
          {I(5), D(u"5.00")},
          {N()}}},
        {u"dec",
         u"DECIMAL(10,3)",
         u"DECIMAL(10,3)",
         desc(DBIF_TYPE_PACKED, 10, 3),
         {{D(u"-5.125")}, {D(u"0.001")}, {D(u"1234567.000")}}},
        {u"num",
         u"NUMERIC(9)",
         u"NUMERIC(9)",
         desc(DBIF_TYPE_PACKED, 9, 0),
         {{D(u"-123456789")}, {D(u"0")}}},
        {u"decimal",
         u"NUMERIC",
         u"NUMERIC",
         desc(DBIF_TYPE_DECIMAL, 0),
         {{D(u"123.456")}, {D(u"-7")}, {D(u"0.5")}, {D(u"1234567.125")}}},
        {u"vc",
         u"VARCHAR(20)",
         u"VARCHAR(20)",
         desc(DBIF_TYPE_CHAR, 20),
         {{T(u"abc")},
          {T(u"")},
          {N()},
          {T(u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600")},
          {T(u"a  ")},
          {T(u"  lead")}}},
        {u"nvc", u"NVARCHAR(10)", nullptr, desc(DBIF_TYPE_CHAR, 10), {{T(u"x")}}},
        {u"ch",
         u"CHAR(5)",
         u"CHAR(5)",
         desc(DBIF_TYPE_CHAR, 5),
         {{T(u"ab")}, {T(u"abcde")}, {T(u" a")}, {T(u"\u00E4")}}},
        // Trailing blanks are part of the value where the engine compares them (SQLite), and
        // padding that does not count is dropped (PostgreSQL).
        {u"chs", u"CHAR(5)", nullptr, desc(DBIF_TYPE_CHAR, 5), {{T(u"ab   ")}, {T(u"ab ")}}},
        {u"chp",
         nullptr,
         u"CHAR(5)",
         desc(DBIF_TYPE_CHAR, 5),
         {{T(u"ab   "), T(u"ab")}, {T(u"ab "), T(u"ab")}}},
        {u"text",
         u"TEXT",
         u"text",
         desc(DBIF_TYPE_LONGCHAR, 0),
         {{T(longText())}, {T(u"")}, {N()}, {T(u"\U00010348\U0001F600")}}},
        {u"clob", u"CLOB", nullptr, desc(DBIF_TYPE_LONGCHAR, 0), {{T(u"c")}}},
        {u"blob",
         u"BLOB",
         u"bytea",
         desc(DBIF_TYPE_BLOB, 0),
         {{B({0, 1, 0, 255})}, {B({})}, {N()}, {B(allBytes())}}},
        {u"vbin", u"VARBINARY(16)", nullptr, desc(DBIF_TYPE_RAW, 16), {{B({0, 0, 7})}}},
        {u"raw", u"RAW(8)", nullptr, desc(DBIF_TYPE_RAW, 8), {{B({1, 2})}}},
        {u"date", u"DATE", u"DATE", desc(DBIF_TYPE_CHAR, 10), {{T(u"2024-02-29")}}},
    };
}

TEST_P(DbifEngineTest, EveryMappedTypeRoundTripsAndIsDescribed) {
    for (const TypeCase& c : typeCases()) {
        const char16_t* type = isSqlite(engine_) ? c.sqliteType : c.pgsqlType;
        if (!type) continue;
        std::string what = ul_utf16to8(type);
        std::u16string t =
            table(c.suffix, u"id INTEGER NOT NULL PRIMARY KEY, v " + std::u16string(type));
        Rows params;
        Rows expected;
        for (size_t i = 0; i < c.values.size(); ++i) {
            params.push_back({I(static_cast<int64_t>(i)), c.values[i][0]});
            expected.push_back({c.values[i].size() > 1 ? c.values[i][1] : c.values[i][0]});
        }
        unsigned long processed = 0;
        ASSERT_EQ(
            runModify(*conn_, u"INSERT INTO " + t + u" (id, v) VALUES (?, ?)", params, &processed),
            DBIF_RC_OK)
            << what << ": " << commText(*conn_);
        EXPECT_EQ(processed, params.size()) << what;
        ASSERT_EQ(conn_->commit(), DBIF_RC_OK) << commText(*conn_);

        QueryResult r = runQuery(*conn_, u"SELECT v FROM " + t + u" ORDER BY id");
        ASSERT_EQ(r.rc, DBIF_RC_OK) << what << ": " << commText(*conn_);
        EXPECT_EQ(r.rows, expected) << what;
        ASSERT_EQ(r.columns.size(), 1u) << what;
        // Names come back in the tool's case, whatever case the table has them in.
        EXPECT_EQ(ul_utf16to8(r.columns[0].name.c_str()), "V") << what;
        EXPECT_EQ(r.columns[0].type, c.desc.type) << what;
        EXPECT_EQ(r.columns[0].length, c.desc.length) << what;
        EXPECT_EQ(r.columns[0].decimals, c.desc.decimals) << what;
    }
}

TEST_P(DbifEngineTest, ParametersOfEveryKindSelectRows) {
    std::u16string t = table(u"p",
                             u"id INTEGER NOT NULL PRIMARY KEY, n BIGINT, f DOUBLE PRECISION, "
                             u"d NUMERIC(10,2), s VARCHAR(30)");
    unsigned long processed = 0;
    Rows rows = {{I(1), I(10), R(0.5), D(u"1.25"), T(u"\u00E4\U0001F600")},
                 {I(2), I(20), R(1.5), D(u"-3.00"), T(u"b")},
                 {I(3), N(), N(), N(), N()}};
    ASSERT_EQ(runModify(*conn_, u"INSERT INTO " + t + u" VALUES (?, ?, ?, ?, ?)", rows, &processed),
              DBIF_RC_OK)
        << commText(*conn_);
    struct Case {
        const char16_t* where;
        dbif_fakevalue_t param;
        std::vector<int64_t> ids;
    };
    const Case cases[] = {
        {u"n = ?", I(20), {2}},      {u"n > ?", I(5), {1, 2}},
        {u"f = ?", R(0.5), {1}},     {u"d = ?", D(u"-3.00"), {2}},
        {u"d < ?", D(u"2"), {1, 2}}, {u"s = ?", T(u"\u00E4\U0001F600"), {1}},
        {u"s = ?", T(u"none"), {}},
    };
    for (const Case& c : cases) {
        QueryResult r = runQuery(
            *conn_, u"SELECT id FROM " + t + u" WHERE " + c.where + u" ORDER BY id", {{c.param}});
        ASSERT_EQ(r.rc, DBIF_RC_OK) << ul_utf16to8(c.where) << ": " << commText(*conn_);
        std::vector<int64_t> ids;
        for (const auto& row : r.rows) ids.push_back(row[0].integer);
        EXPECT_EQ(ids, c.ids) << ul_utf16to8(c.where);
    }
}

TEST_P(DbifEngineTest, AStatementIsReadAgainWithOtherParameters) {
    std::u16string t = table(u"r", u"id INTEGER NOT NULL PRIMARY KEY");
    insertIds(t, 5);
    std::unique_ptr<DbIfStatement> stmt;
    ASSERT_EQ(conn_->prepare((u"SELECT id FROM " + t + u" WHERE id >= ? ORDER BY id").c_str(),
                             DBIF_CLASS_READ, &stmt),
              DBIF_RC_OK)
        << commText(*conn_);
    EXPECT_EQ(stmt->paramCount(), 1u);
    DbIfRowBatch params;
    DbIfRowBatch batch;
    for (int from : {4, 2, 6, 1}) {
        fillBatch(&params, {{I(from)}});
        ASSERT_EQ(stmt->begRead(&params), DBIF_RC_OK) << commText(*conn_);
        int rc = stmt->exeRead(&batch, 10);
        Rows expected;
        for (int id = from; id <= 5; ++id) expected.push_back({I(id)});
        EXPECT_EQ(rc, expected.empty() ? DBIF_RC_NO_MORE_ROWS : DBIF_RC_LAST_BATCH) << from;
        EXPECT_EQ(batchRows(batch), expected) << from;
        EXPECT_EQ(stmt->endRead(), DBIF_RC_OK);
    }
    // A read that is left early does not disturb the next one.
    fillBatch(&params, {{I(1)}});
    ASSERT_EQ(stmt->begRead(&params), DBIF_RC_OK);
    EXPECT_EQ(stmt->exeRead(&batch, 2), DBIF_RC_PARTIAL);
    ASSERT_EQ(stmt->begRead(&params), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(stmt->exeRead(&batch, 2), DBIF_RC_PARTIAL);
    EXPECT_EQ(batchRows(batch), (Rows{{I(1)}, {I(2)}}));
    EXPECT_EQ(stmt->endRead(), DBIF_RC_OK);
}

// ---- batches -------------------------------------------------------------------------------

// The fetch contract: a batch of maxRows rows is PARTIAL, even when no row follows; a batch of
// fewer rows is LAST_BATCH; a call that finds no row is NO_MORE_ROWS, and so is every call
// after the end. The comm area's row count is the number of rows delivered since begRead.
TEST_P(DbifEngineTest, BatchesFollowTheFetchContract) {
    std::u16string t = table(u"b", u"id INTEGER NOT NULL PRIMARY KEY");
    insertIds(t, 10);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    struct Case {
        const char16_t* where;
        unsigned maxRows;
        std::vector<int> codes;
        std::vector<size_t> sizes;
    };
    const int P = DBIF_RC_PARTIAL, L = DBIF_RC_LAST_BATCH, E = DBIF_RC_NO_MORE_ROWS;
    const Case cases[] = {
        {u"id <= 10", 3, {P, P, P, L, E}, {3, 3, 3, 1, 0}},
        {u"id <= 9", 3, {P, P, P, E, E}, {3, 3, 3, 0, 0}},
        {u"id <= 10", 100, {L, E}, {10, 0}},
        {u"id <= 10", 10, {P, E}, {10, 0}},
        {u"id <= 10", 1, {P, P, P, P, P, P, P, P, P, P, E}, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}},
        {u"id > 10", 3, {E, E}, {0, 0}},
    };
    for (const Case& c : cases) {
        std::string what = ul_utf16to8(c.where) + " by " + std::to_string(c.maxRows);
        std::unique_ptr<DbIfStatement> stmt;
        ASSERT_EQ(conn_->prepare(
                      (u"SELECT id FROM " + t + u" WHERE " + c.where + u" ORDER BY id").c_str(),
                      DBIF_CLASS_READ, &stmt),
                  DBIF_RC_OK)
            << commText(*conn_);
        ASSERT_EQ(stmt->begRead(nullptr), DBIF_RC_OK) << commText(*conn_);
        DbIfRowBatch batch;
        int64_t next = 1;
        long delivered = 0;
        for (size_t call = 0; call < c.codes.size(); ++call) {
            EXPECT_EQ(stmt->exeRead(&batch, c.maxRows), c.codes[call]) << what << " call " << call;
            ASSERT_EQ(batch.rows(), c.sizes[call]) << what << " call " << call;
            for (const auto& row : batchRows(batch)) EXPECT_EQ(row[0], I(next++)) << what;
            delivered += static_cast<long>(batch.rows());
            EXPECT_EQ(conn_->commArea().rowCount, delivered) << what << " call " << call;
        }
        EXPECT_EQ(stmt->endRead(), DBIF_RC_OK);
        EXPECT_EQ(conn_->commArea().rowCount, delivered) << what;
    }
}

// ---- modifies ------------------------------------------------------------------------------

TEST_P(DbifEngineTest, AThousandParameterRowsInOneModify) {
    std::u16string t =
        table(u"m", u"id INTEGER NOT NULL PRIMARY KEY, grp INTEGER, name VARCHAR(20)");
    Rows rows;
    for (int i = 1; i <= 1000; ++i) {
        rows.push_back({I(i), I(i % 10), T(u"name " + ul_utf8to16(std::to_string(i).c_str()))});
    }
    std::unique_ptr<DbIfStatement> insert;
    ASSERT_EQ(conn_->prepare((u"INSERT INTO " + t + u" VALUES (?, ?, ?)").c_str(),
                             DBIF_CLASS_INSERT, &insert),
              DBIF_RC_OK)
        << commText(*conn_);
    EXPECT_EQ(insert->paramCount(), 3u);
    DbIfRowBatch batch;
    fillBatch(&batch, rows);
    unsigned long processed = 5;  // modify adds to what is there
    ASSERT_EQ(insert->modify(&batch, &processed), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(processed, 1005u);
    EXPECT_EQ(conn_->commArea().rowCount, 1000);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_EQ(count(t), 1000);

    QueryResult sum = runQuery(*conn_, u"SELECT SUM(id), MAX(name) FROM " + t + u" WHERE grp = 3");
    ASSERT_EQ(sum.rc, DBIF_RC_OK) << commText(*conn_);
    ASSERT_EQ(sum.rows.size(), 1u);
    // 3 + 13 + ... + 993
    int64_t expected = 0;
    for (int i = 3; i <= 1000; i += 10) expected += i;
    const dbif_fakevalue_t& s = sum.rows[0][0];
    int64_t got =
        s.kind == dbif_kind::integer ? s.integer : atoll(ul_utf16to8(s.text.c_str()).c_str());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(sum.rows[0][1], T(u"name 993"));

    // One update per parameter row; each changes all rows of its group, and a group without
    // rows changes none.
    Rows groups = {{T(u"x"), I(1)}, {T(u"y"), I(2)}, {T(u"z"), I(42)}};
    ASSERT_EQ(runModify(*conn_, u"UPDATE " + t + u" SET name = ? WHERE grp = ?", groups, &processed,
                        DBIF_CLASS_UPDATE),
              DBIF_RC_OK)
        << commText(*conn_);
    EXPECT_EQ(processed, 200u);
    ASSERT_EQ(runModify(*conn_, u"DELETE FROM " + t + u" WHERE grp = ?", {{I(1)}, {I(7)}},
                        &processed, DBIF_CLASS_DELETE),
              DBIF_RC_OK)
        << commText(*conn_);
    EXPECT_EQ(processed, 200u);
    EXPECT_EQ(count(t), 800);
}

TEST_P(DbifEngineTest, ADuplicateKeyEndsTheModifyAndKeepsTheRowsBefore) {
    std::u16string t = table(u"dup", u"id INTEGER NOT NULL PRIMARY KEY, v VARCHAR(10)");
    unsigned long processed = 0;
    Rows rows = {{I(1), T(u"a")}, {I(2), T(u"b")}, {I(2), T(u"c")}, {I(3), T(u"d")}};
    EXPECT_EQ(runModify(*conn_, u"INSERT INTO " + t + u" VALUES (?, ?)", rows, &processed),
              DBIF_RC_DUPLICATE);
    EXPECT_EQ(processed, 2u);
    EXPECT_EQ(conn_->commArea().rowCount, 2);
    EXPECT_NE(conn_->commArea().dbCode, 0);
    EXPECT_FALSE(conn_->commArea().errorText.empty());
    // The transaction goes on: the rows before the failing one are there, more can follow.
    EXPECT_EQ(count(t), 2);
    ASSERT_EQ(
        runModify(*conn_, u"INSERT INTO " + t + u" VALUES (?, ?)", {{I(3), T(u"d")}}, &processed),
        DBIF_RC_OK)
        << commText(*conn_);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(count(t), 3);
    // The same through execute.
    EXPECT_EQ(exec(u"INSERT INTO " + t + u" VALUES (1, 'again')"), DBIF_RC_DUPLICATE);
    EXPECT_FALSE(conn_->commArea().errorText.empty());
    EXPECT_EQ(count(t), 3);
}

TEST_P(DbifEngineTest, ExecuteCountsTheRowsOfItsOwnStatement) {
    std::u16string t = table(u"x", u"id INTEGER NOT NULL PRIMARY KEY, v INTEGER");
    struct Case {
        std::u16string sql;
        long rows;
    };
    const Case cases[] = {
        {u"INSERT INTO " + t + u" VALUES (1, 1), (2, 1), (3, 2)", 3},
        {u"UPDATE " + t + u" SET v = 5 WHERE v = 1", 2},
        {u"CREATE TABLE " + tables_->prefix() + u"_other (a INTEGER)", 0},  // after a change of 2 rows
        {u"UPDATE " + t + u" SET v = 0 WHERE id > 99", 0},
        {u"DELETE FROM " + t, 3},
        {u"DROP TABLE " + tables_->prefix() + u"_other", 0},
    };
    tables_->named(u"other");
    for (const Case& c : cases) {
        EXPECT_EQ(exec(c.sql), DBIF_RC_OK)
            << ul_utf16to8(c.sql.c_str()) << ": " << commText(*conn_);
        EXPECT_EQ(conn_->commArea().rowCount, c.rows) << ul_utf16to8(c.sql.c_str());
    }
}

// ---- missing objects -----------------------------------------------------------------------

// The first failing code of prepare and begRead: engines may find a missing table at either.
int prepareAndRead(DbIfConnection& conn, const std::u16string& sql) {
    std::unique_ptr<DbIfStatement> stmt;
    if (int rc = conn.prepare(sql.c_str(), DBIF_CLASS_READ, &stmt)) return rc;
    int rc = stmt->begRead(nullptr);
    stmt->endRead();
    return rc;
}

TEST_P(DbifEngineTest, MissingTablesAndColumnsAreRejected) {
    std::u16string t = table(u"c", u"id INTEGER NOT NULL PRIMARY KEY");
    std::u16string missing = tables_->prefix() + u"_nothere";
    EXPECT_EQ(prepareAndRead(*conn_, u"SELECT * FROM " + missing), DBIF_RC_REJECTED);
    EXPECT_FALSE(conn_->commArea().errorText.empty());
    EXPECT_EQ(prepareAndRead(*conn_, u"SELECT nocolumn FROM " + t), DBIF_RC_REJECTED);
    EXPECT_EQ(exec(u"INSERT INTO " + t + u" (id, nocolumn) VALUES (1, 2)"), DBIF_RC_REJECTED);
    EXPECT_EQ(exec(u"DELETE FROM " + missing), DBIF_RC_REJECTED);
    // The transaction is still usable.
    insertIds(t, 2);
    EXPECT_EQ(count(t), 2);
}

TEST_P(DbifEngineTest, DroppingAMissingTableIsNotFound) {
    std::u16string t = table(u"d", u"id INTEGER NOT NULL PRIMARY KEY");
    insertIds(t, 1);
    int rc = exec(u"DROP TABLE " + tables_->prefix() + u"_nothere");
    EXPECT_TRUE(rc == DBIF_RC_NOT_FOUND || rc == DBIF_RC_REJECTED)
        << rc << ": " << commText(*conn_);
    EXPECT_FALSE(conn_->commArea().errorText.empty());
    // The uncommitted insert before it survives the failure.
    EXPECT_EQ(count(t), 1);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_EQ(count(t), 1);
}

// ---- transactions --------------------------------------------------------------------------

TEST_P(DbifEngineTest, RollbackUndoesAndCommitKeeps) {
    std::u16string t = table(u"tx", u"id INTEGER NOT NULL PRIMARY KEY");
    insertIds(t, 3);
    EXPECT_EQ(count(t), 3);
    ASSERT_EQ(conn_->rollback(), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(count(t), 0);
    insertIds(t, 2);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(exec(u"DELETE FROM " + t), DBIF_RC_OK);
    EXPECT_EQ(count(t), 0);
    ASSERT_EQ(conn_->rollback(), DBIF_RC_OK);
    EXPECT_EQ(count(t), 2);
    // A second commit or rollback in a row is harmless.
    EXPECT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_EQ(conn_->rollback(), DBIF_RC_OK);
    EXPECT_EQ(conn_->rollback(), DBIF_RC_OK);
    EXPECT_EQ(count(t), 2);
}

TEST_P(DbifEngineTest, OtherConnectionsSeeOnlyCommittedRows) {
    std::u16string t = table(u"vis", u"id INTEGER NOT NULL PRIMARY KEY");
    std::unique_ptr<DbIfConnection> other = open();
    ASSERT_EQ(other->connect(), DBIF_RC_OK) << commText(*other);
    EXPECT_EQ(count(t, other.get()), 0);
    insertIds(t, 4);
    EXPECT_EQ(count(t, other.get()), 0);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK) << commText(*conn_);
    // The other connection sees the rows once its own transaction has ended.
    ASSERT_EQ(other->rollback(), DBIF_RC_OK);
    EXPECT_EQ(count(t, other.get()), 4);
    EXPECT_EQ(other->disconnect(), DBIF_RC_OK);
}

TEST_P(DbifEngineTest, DisconnectRollsBackWhatIsOpen) {
    std::u16string t = table(u"dis", u"id INTEGER NOT NULL PRIMARY KEY");
    insertIds(t, 2);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    ASSERT_EQ(exec(u"INSERT INTO " + t + u" VALUES (99)"), DBIF_RC_OK);
    ASSERT_EQ(conn_->disconnect(), DBIF_RC_OK) << commText(*conn_);
    ASSERT_EQ(conn_->connect(), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(count(t), 2);
}

TEST_P(DbifEngineTest, AStatementOutlivingItsConnectionFailsQuietly) {
    std::u16string t = table(u"life", u"id INTEGER NOT NULL PRIMARY KEY");
    insertIds(t, 3);
    std::unique_ptr<DbIfConnection> other = open();
    ASSERT_EQ(other->connect(), DBIF_RC_OK) << commText(*other);
    std::unique_ptr<DbIfStatement> read;
    std::unique_ptr<DbIfStatement> insert;
    ASSERT_EQ(other->prepare((u"SELECT id FROM " + t).c_str(), DBIF_CLASS_READ, &read), DBIF_RC_OK);
    ASSERT_EQ(
        other->prepare((u"INSERT INTO " + t + u" VALUES (?)").c_str(), DBIF_CLASS_INSERT, &insert),
        DBIF_RC_OK);
    ASSERT_EQ(read->begRead(nullptr), DBIF_RC_OK);
    other.reset();
    DbIfRowBatch batch;
    fillBatch(&batch, {{I(50)}});
    unsigned long processed = 0;
    EXPECT_TRUE(isFailureCode(read->exeRead(&batch, 10)));
    EXPECT_TRUE(isFailureCode(read->begRead(nullptr)));
    EXPECT_TRUE(isFailureCode(insert->modify(&batch, &processed)));
    EXPECT_EQ(processed, 0u);
    read.reset();
    insert.reset();
    EXPECT_EQ(count(t), 3);
}

// ---- statement text ------------------------------------------------------------------------

TEST_P(DbifEngineTest, QuestionMarksInsideQuotesAreNoParameters) {
    std::u16string t = table(u"q", u"id INTEGER NOT NULL PRIMARY KEY, s VARCHAR(20)");
    ASSERT_EQ(exec(u"INSERT INTO " + t + u" VALUES (1, '?'), (2, 'a''?'), (3, 'x')"), DBIF_RC_OK)
        << commText(*conn_);
    struct Case {
        std::u16string sql;
        unsigned params;
        Rows bind;
        std::vector<int64_t> ids;
    };
    const Case cases[] = {
        {u"SELECT id FROM " + t + u" WHERE s = '?' ORDER BY id", 0, {}, {1}},
        {u"SELECT id FROM " + t + u" WHERE s = 'a''?' OR id = ? ORDER BY id", 1, {{I(3)}}, {2, 3}},
        {u"SELECT id AS \"who?\" FROM " + t + u" WHERE id = ? OR s = ? ORDER BY id",
         2,
         {{I(1), T(u"x")}},
         {1, 3}},
    };
    for (const Case& c : cases) {
        std::string what = ul_utf16to8(c.sql.c_str());
        std::unique_ptr<DbIfStatement> stmt;
        ASSERT_EQ(conn_->prepare(c.sql.c_str(), DBIF_CLASS_READ, &stmt), DBIF_RC_OK)
            << what << ": " << commText(*conn_);
        EXPECT_EQ(stmt->paramCount(), c.params) << what;
        QueryResult r = runQuery(*conn_, c.sql, c.bind);
        ASSERT_EQ(r.rc, DBIF_RC_OK) << what << ": " << commText(*conn_);
        std::vector<int64_t> ids;
        for (const auto& row : r.rows) ids.push_back(row[0].integer);
        EXPECT_EQ(ids, c.ids) << what;
    }
}

TEST_P(DbifEngineTest, HintPhrasesAreRemovedOutsideQuotes) {
    std::u16string t = table(u"h", u"id INTEGER NOT NULL PRIMARY KEY, s VARCHAR(40)");
    insertIds(t, 3);
    QueryResult r = runQuery(*conn_,
                             u"SELECT id FROM " + t +
                                 u" #DBIF_HINT(ORA, \"INDEX(t (a, b))\") WHERE id > ? "
                                 u"#DBIF_HINT(MSS,'OPTION (FAST 1)') ORDER BY id",
                             {{I(1)}});
    ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(r.rows, (Rows{{I(2)}, {I(3)}}));
    // Quoted text keeps the phrase.
    ASSERT_EQ(exec(u"UPDATE " + t + u" SET s = '#DBIF_HINT(x)' WHERE id = 2 #DBIF_HINT(y)"),
              DBIF_RC_OK)
        << commText(*conn_);
    EXPECT_EQ(conn_->commArea().rowCount, 1);
    r = runQuery(*conn_, u"SELECT s FROM " + t + u" WHERE id = 2");
    ASSERT_EQ(r.rc, DBIF_RC_OK);
    EXPECT_EQ(r.rows, (Rows{{T(u"#DBIF_HINT(x)")}}));
}

// ---- control codes -------------------------------------------------------------------------

TEST_P(DbifEngineTest, ControlCodesAnswer) {
    for (int code : {DBIF_CTL_USER, DBIF_CTL_HOST, DBIF_CTL_VERSION, DBIF_CTL_CLIENT_VERSION,
                     DBIF_CTL_SCHEMA}) {
        dbif_control_t arg;
        EXPECT_EQ(conn_->control(code, &arg), DBIF_RC_OK) << code << ": " << commText(*conn_);
        EXPECT_FALSE(arg.text.empty()) << code;
    }
    for (long level : {0L, 2L}) {
        dbif_control_t arg;
        arg.intValue = level;
        EXPECT_EQ(conn_->control(DBIF_CTL_ISOLATION, &arg), DBIF_RC_OK) << level;
    }
    dbif_control_t arg;
    int rc = conn_->control(DBIF_CTL_VIEW_LAYER, &arg);
    EXPECT_TRUE(rc == DBIF_RC_NOT_SUPPORTED || rc == DBIF_RC_NO_MORE_ROWS) << rc;
    // The isolation level survives commit and rollback; the work goes on.
    std::u16string t = table(u"iso", u"id INTEGER NOT NULL PRIMARY KEY");
    insertIds(t, 1);
    EXPECT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_EQ(count(t), 1);
}

}  // namespace

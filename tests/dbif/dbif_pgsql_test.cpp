// What only the PostgreSQL engine has to get right: savepoints that keep the transaction alive
// after a failure, arrays of parameter rows in one pipelined round trip, cursors that never
// hold the whole result, statements without cursors, its types and error codes. Runs
// when the environment names a server (PGHOST or dbs_pgsql_conninfo; scripts/pgtest.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../upglib/testutil.h"
#include "dbif.h"
#include "dbif_testutil.h"

namespace {

// The value of a base-36 SQLSTATE, as the engine reports it in dbCode.
long base36(const char* state) {
    long v = 0;
    for (const char* p = state; *p; ++p) v = v * 36 + (*p <= '9' ? *p - '0' : *p - 'A' + 10);
    return v;
}

class DbifPgsqlTest : public EngineTest {};

INSTANTIATE_TEST_SUITE_P(Pgsql, DbifPgsqlTest, ::testing::Values("PGSQL"), engineName);

// PostgreSQL cannot store a NUL in text: a parameter that holds one is refused, not shortened,
// in a query as in a modifying statement, and the connection goes on.
TEST_P(DbifPgsqlTest, ATextParameterWithNulIsRefused) {
    const std::u16string t = table(u"nul", u"v VARCHAR(10)");
    dbif_fakevalue_t nul = T(u"");
    nul.text.assign(u"a\0b", 3);
    const std::string refused =
        "Parameter 1 holds a NUL character, which PostgreSQL cannot store in text";
    EXPECT_EQ(runQuery(*conn_, u"SELECT COUNT(*) FROM " + t + u" WHERE v = ?", Rows{{nul}}).rc,
              DBIF_RC_DB_ERROR);
    EXPECT_EQ(ul_utf16to8(conn_->commArea().errorText.c_str()), refused);
    unsigned long processed = 0;
    EXPECT_EQ(runModify(*conn_, u"INSERT INTO " + t + u" VALUES (?)", Rows{{T(u"ok")}, {nul}},
                        &processed),
              DBIF_RC_DB_ERROR);
    EXPECT_EQ(ul_utf16to8(conn_->commArea().errorText.c_str()), refused);
    EXPECT_EQ(count(t), 0);
}

// ---- savepoints ------------------------------------------------------------------------------

// A failing statement aborts a PostgreSQL transaction; the engine's savepoints must keep the
// work before it and let the next statement succeed, whatever the call that failed. Its
// SQLSTATE becomes the return code and the engine code, and the text names it.
TEST_P(DbifPgsqlTest, AFailureLeavesTheTransactionUsable) {
    std::u16string t = table(u"sp", u"id INTEGER PRIMARY KEY, v INTEGER");
    const std::u16string missing = prefix() + u"_nothere";
    const struct {
        std::u16string sql;
        char call;  // x execute, p prepare, r read to the end, m modify (1, 1), (2, 0)
        int rc;
        const char* state;
        int kept;  // rows the failing call leaves
    } cases[] = {
        {u"DELETE FROM " + missing, 'x', DBIF_RC_REJECTED, "42P01", 0},
        {u"DROP TABLE " + missing, 'x', DBIF_RC_REJECTED, "42P01", 0},
        {u"DROP INDEX " + missing, 'x', DBIF_RC_REJECTED, "42704", 0},
        {u"SELEC 1", 'x', DBIF_RC_DB_ERROR, "42601", 0},
        {u"INSERT INTO " + t + u" VALUES (1, 0)", 'x', DBIF_RC_DUPLICATE, "23505", 0},
        {u"INSERT INTO " + t + u" VALUES (NULL, 1)", 'x', DBIF_RC_DB_ERROR, "23502", 0},
        {u"SELECT nocol FROM " + t, 'p', DBIF_RC_REJECTED, "42703", 0},
        {u"SELECT 1 / (id - 1) FROM " + t, 'r', DBIF_RC_DB_ERROR, "22012", 0},  // first rows
        {u"SELECT 1 / (g - 700) FROM generate_series(1, 1000) g", 'r', DBIF_RC_DB_ERROR, "22012",
         0},
        {u"INSERT INTO " + t + u" VALUES (? + 10, 1 / ?)", 'm', DBIF_RC_DB_ERROR, "22012", 1},
    };
    ASSERT_EQ(exec(u"INSERT INTO " + t + u" VALUES (1, 0)"), DBIF_RC_OK) << commText(*conn_);
    int64_t rows = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(ul_utf16to8(c.sql.c_str()));
        std::unique_ptr<DbIfStatement> stmt;
        DbIfRowBatch batch;
        fillBatch(&batch, {{I(1), I(1)}, {I(2), I(0)}});
        unsigned long processed = 0;
        int rc = c.call == 'x'
                     ? exec(c.sql)
                     : conn_->prepare(c.sql.c_str(),
                                      c.call == 'm' ? DBIF_CLASS_INSERT : DBIF_CLASS_READ, &stmt);
        if (rc == DBIF_RC_OK && c.call == 'm') rc = stmt->modify(&batch, &processed);
        if (rc == DBIF_RC_OK && c.call == 'r') rc = stmt->begRead(nullptr);
        // Without endRead, which would reset the comm area.
        while (c.call == 'r' && (rc == DBIF_RC_OK || rc == DBIF_RC_PARTIAL)) {
            rc = stmt->exeRead(&batch, 100);
        }
        EXPECT_EQ(rc, c.rc) << commText(*conn_);
        EXPECT_EQ(conn_->commArea().dbCode, base36(c.state));
        EXPECT_NE(ul_utf16to8(conn_->commArea().errorText.c_str())
                      .find(std::string("(SQLSTATE ") + c.state + ")"),
                  std::string::npos)
            << commText(*conn_);
        // The uncommitted rows before the failure are there, and the transaction takes more;
        // success leaves no code behind.
        ASSERT_EQ(exec(concat<char16_t>(u"INSERT INTO ", t, u" VALUES (",
                                        ul_utf8to16(std::to_string(100 + rows).c_str()), u", 0)")),
                  DBIF_RC_OK)
            << commText(*conn_);
        EXPECT_EQ(conn_->commArea().dbCode, 0);
        EXPECT_TRUE(conn_->commArea().errorText.empty());
        rows += 1 + c.kept;
        EXPECT_EQ(count(t), rows);
    }
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(count(t), rows);
}

TEST_P(DbifPgsqlTest, StatementsRunUnderAReleasedSavepoint) {
    traceOn(2);
    ASSERT_EQ(exec(u"SELECT 1"), DBIF_RC_OK);
    EXPECT_EQ(trace_.lines, (std::vector<std::string>{"SAVEPOINT tabrix_sp", "SELECT 1",
                                                      "RELEASE SAVEPOINT tabrix_sp"}));
    traceOn(2);
    ASSERT_EQ(exec(u"SELECT 1 / 0"), DBIF_RC_DB_ERROR);
    EXPECT_EQ(trace_.lines,
              (std::vector<std::string>{
                  "SAVEPOINT tabrix_sp", "SELECT 1 / 0", "RELEASE SAVEPOINT tabrix_sp",
                  "ROLLBACK TO SAVEPOINT tabrix_sp; RELEASE SAVEPOINT tabrix_sp",
                  "error 99: division by zero (SQLSTATE 22012)"}));
    EXPECT_EQ(trace_.levels.back(), 1);
    // Level 1 shows failures only.
    traceOn(1);
    ASSERT_EQ(exec(u"SELECT 42"), DBIF_RC_OK);
    EXPECT_EQ(exec(u"SELECT nocol"), DBIF_RC_REJECTED);
    EXPECT_EQ(trace_.levels, std::vector<int>{1});
}

// ---- modify ----------------------------------------------------------------------------------

TEST_P(DbifPgsqlTest, TenThousandRowsTravelInOneRoundTrip) {
    std::u16string t = table(u"pipe", u"id INTEGER PRIMARY KEY, name VARCHAR(20), x float8");
    Rows rows;
    for (int i = 1; i <= 10000; ++i) {
        rows.push_back({I(i), T(ul_utf8to16(concat("n", std::to_string(i)).c_str())), R(i / 4.0)});
    }
    std::unique_ptr<DbIfStatement> insert =
        prepared(u"INSERT INTO " + t + u" VALUES (?, ?, ?)", DBIF_CLASS_INSERT);
    ASSERT_TRUE(insert);
    DbIfRowBatch batch;
    fillBatch(&batch, rows);
    traceOn(2);
    unsigned long processed = 0;
    ASSERT_EQ(insert->modify(&batch, &processed), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(processed, 10000u);
    EXPECT_EQ(conn_->commArea().rowCount, 10000);
    // One savepoint and one traced execution: the rows went out as one pipeline.
    EXPECT_EQ(trace_.countPrefix("SAVEPOINT"), 1u);
    EXPECT_EQ(trace_.countPrefix("EXECUTE "), 1u);
    EXPECT_NE(trace_.lines[1].find("(10000 rows)"), std::string::npos) << trace_.lines[1];
    traceOn(0);
    EXPECT_EQ(value(u"SELECT SUM(id) FROM " + t), I(50005000));
    EXPECT_EQ(value(u"SELECT SUM(x) FROM " + t), R(12501250.0));
    EXPECT_EQ(value(u"SELECT name FROM " + t + u" WHERE id = 9999"), T(u"n9999"));

    // A failing row in the middle ends the call; the rows before it stay.
    Rows more;
    for (int i = 10001; i <= 12000; ++i) more.push_back({I(i == 11500 ? 5 : i), N(), N()});
    fillBatch(&batch, more);
    processed = 0;
    EXPECT_EQ(insert->modify(&batch, &processed), DBIF_RC_DUPLICATE);
    EXPECT_EQ(processed, 1499u);
    EXPECT_EQ(conn_->commArea().rowCount, 1499);
    EXPECT_EQ(conn_->commArea().dbCode, base36("23505"));
    EXPECT_EQ(count(t), 11499);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_EQ(count(t), 11499);
}

// ---- reading ---------------------------------------------------------------------------------

// A cursor delivers the rows in FETCHes sized from the batch size, and the first batch arrives
// while the server has sent no more than the FETCH ahead of it.
TEST_P(DbifPgsqlTest, AResultLargerThanTheFetchSizeComesInPieces) {
    struct Case {
        int rows;
        bool text;  // a long column: FETCH exactly the batch size
        unsigned maxRows;
        unsigned fetchSize;
    };
    const Case cases[] = {
        {2500, true, 200, 200},      // 12 full FETCHes, one of 100 rows
        {250, false, 1, 100},        // single-row batches still FETCH 100
        {4500, false, 10000, 2000},  // large batches are filled from several FETCHes
        {4000, true, 5000, 2000},    // the last FETCH finds no row
        {0, false, 10, 100},
    };
    for (const Case& c : cases) {
        std::string rows = std::to_string(c.rows);
        std::string what = rows + " rows by " + std::to_string(c.maxRows);
        std::u16string sql = ul_utf8to16(("SELECT g" + std::string(c.text ? ", 'row ' || g" : "") +
                                          " FROM generate_series(1, " + rows + ") g")
                                             .c_str());
        std::unique_ptr<DbIfStatement> stmt = prepared(sql);
        ASSERT_TRUE(stmt);
        traceOn(2);
        ASSERT_EQ(stmt->begRead(nullptr), DBIF_RC_OK) << commText(*conn_);
        std::string fetch = "FETCH FORWARD " + std::to_string(c.fetchSize) + " FROM ";
        DbIfRowBatch batch;
        int64_t next = 1;
        int rc;
        bool first = true;
        while ((rc = stmt->exeRead(&batch, c.maxRows)) == DBIF_RC_PARTIAL ||
               rc == DBIF_RC_LAST_BATCH) {
            if (first) {
                size_t fetches =
                    (std::min<unsigned>(c.maxRows, c.rows) + c.fetchSize - 1) / c.fetchSize;
                EXPECT_LE(trace_.countPrefix("FETCH"), fetches + 1) << what;
                first = false;
            }
            for (const auto& row : batchRows(batch)) {
                ASSERT_EQ(row[0], I(next)) << what;
                if (c.text) {
                    ASSERT_EQ(row[1], T(ul_utf8to16(("row " + std::to_string(next)).c_str())));
                }
                ++next;
            }
            if (rc == DBIF_RC_LAST_BATCH) break;
        }
        EXPECT_FALSE(isFailureCode(rc)) << what << ": " << commText(*conn_);
        EXPECT_EQ(next, c.rows + 1) << what;
        EXPECT_EQ(conn_->commArea().rowCount, c.rows) << what;
        // Every full FETCH is followed by one more; the last one finds fewer rows or none.
        EXPECT_EQ(trace_.countPrefix("FETCH"), static_cast<size_t>(c.rows) / c.fetchSize + 1)
            << what;
        EXPECT_EQ(trace_.countPrefix(fetch), trace_.countPrefix("FETCH")) << what;
        EXPECT_EQ(stmt->endRead(), DBIF_RC_OK);
        traceOn(0);
    }
}

// Reads interleaved with each other and with modifies on the same connection (a row callback
// that writes while the rows of a query come in) see their own rows only.
TEST_P(DbifPgsqlTest, InterleavedReadsAndWritesKeepTheirRows) {
    std::u16string t = table(u"inter", u"id INTEGER PRIMARY KEY");
    std::unique_ptr<DbIfStatement> a = reading(u"SELECT g FROM generate_series(1, 1000) g");
    std::unique_ptr<DbIfStatement> b = reading(u"SELECT -g FROM generate_series(1, 1000) g");
    std::unique_ptr<DbIfStatement> insert =
        prepared(u"INSERT INTO " + t + u" VALUES (?)", DBIF_CLASS_INSERT);
    ASSERT_TRUE(a && b && insert);
    DbIfRowBatch batchA, batchB, params;
    int64_t nextA = 1, nextB = 1;
    int rcA = DBIF_RC_PARTIAL, rcB = DBIF_RC_PARTIAL;
    while (rcA == DBIF_RC_PARTIAL || rcB == DBIF_RC_PARTIAL) {
        if (rcA == DBIF_RC_PARTIAL) {
            rcA = a->exeRead(&batchA, 150);
            ASSERT_FALSE(isFailureCode(rcA)) << commText(*conn_);
            for (const auto& row : batchRows(batchA)) ASSERT_EQ(row[0], I(nextA++));
            fillBatch(&params, batchRows(batchA));
            unsigned long processed = 0;
            ASSERT_EQ(insert->modify(&params, &processed), DBIF_RC_OK) << commText(*conn_);
        }
        if (rcB == DBIF_RC_PARTIAL) {
            rcB = b->exeRead(&batchB, 70);
            ASSERT_FALSE(isFailureCode(rcB)) << commText(*conn_);
            for (const auto& row : batchRows(batchB)) ASSERT_EQ(row[0], I(-nextB++));
        }
    }
    EXPECT_EQ(nextA, 1001);
    EXPECT_EQ(nextB, 1001);
    EXPECT_EQ(a->endRead(), DBIF_RC_OK);
    EXPECT_EQ(b->endRead(), DBIF_RC_OK);
    EXPECT_EQ(count(t), 1000);
}

TEST_P(DbifPgsqlTest, ACommitEndsAnOpenRead) {
    std::unique_ptr<DbIfStatement> stmt = reading(u"SELECT g FROM generate_series(1, 100000) g");
    ASSERT_TRUE(stmt);
    DbIfRowBatch batch;
    ASSERT_EQ(stmt->exeRead(&batch, 1000), DBIF_RC_PARTIAL);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK) << commText(*conn_);
    // Rows already fetched may still come; then the read fails instead of running dry.
    int rc;
    int calls = 0;
    while ((rc = stmt->exeRead(&batch, 1000)) == DBIF_RC_PARTIAL) ++calls;
    EXPECT_EQ(rc, DBIF_RC_DB_ERROR);
    EXPECT_LE(calls, 2);
    EXPECT_NE(ul_utf16to8(conn_->commArea().errorText.c_str()).find("commit"), std::string::npos)
        << commText(*conn_);
    stmt->endRead();
    // The statement reads again in the new transaction.
    ASSERT_EQ(stmt->begRead(nullptr), DBIF_RC_OK) << commText(*conn_);
    ASSERT_EQ(stmt->exeRead(&batch, 3), DBIF_RC_PARTIAL);
    EXPECT_EQ(batchRows(batch), (Rows{{I(1)}, {I(2)}, {I(3)}}));
    stmt->endRead();
}

// Statements that cannot stand behind a cursor deliver their result at once.
TEST_P(DbifPgsqlTest, NonCursorStatementsDeliverTheirRows) {
    std::u16string t = table(u"ret", u"id INTEGER PRIMARY KEY");
    QueryResult r = runQuery(*conn_, u"SHOW DateStyle");
    ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(r.rows, (Rows{{T(u"ISO, MDY")}}));
    r = runQuery(*conn_, u"INSERT INTO " + t + u" VALUES (?), (?) returning id * 2",
                 {{I(4), I(5)}});
    ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(r.rows, (Rows{{I(8)}, {I(10)}}));
    // Reading in small batches, too.
    r = runQuery(*conn_,
                 u"INSERT INTO " + t + u" SELECT g FROM generate_series(10, 14) g returning id", {},
                 2);
    ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(r.rows.size(), 5u);
    EXPECT_EQ(r.fetchCodes,
              (std::vector<int>{DBIF_RC_PARTIAL, DBIF_RC_PARTIAL, DBIF_RC_LAST_BATCH}));
}

// ---- values ----------------------------------------------------------------------------------

TEST_P(DbifPgsqlTest, NumericValuesComeBackDigitForDigit) {
    std::u16string huge(1000, u'9');
    std::u16string tiny = u"0." + std::u16string(999, u'0') + u"1";
    struct Case {
        const char16_t* type;
        dbif_coldesc_t desc;
        std::vector<std::u16string> values;  // bound as decimal text, read back alike
    };
    const Case cases[] = {
        {u"NUMERIC(38,10)",
         coldesc(DBIF_TYPE_PACKED, 38, 10),
         {u"9999999999999999999999999999.9999999999", u"-9999999999999999999999999999.9999999999",
          u"0.0000000001", u"0.0000000000"}},
        {u"NUMERIC(1000,0)", coldesc(DBIF_TYPE_PACKED, 1000, 0), {huge, u"-" + huge, u"0"}},
        {u"NUMERIC(5,5)", coldesc(DBIF_TYPE_PACKED, 5, 5), {u"0.99999", u"-0.00001"}},
        {u"NUMERIC",
         coldesc(DBIF_TYPE_DECIMAL, 0, 0),
         {huge + u"." + huge, tiny, u"-" + tiny, u"NaN", u"0", u"-1.50"}},
        {u"NUMERIC(3,-2)", coldesc(DBIF_TYPE_DECIMAL, 0, 0), {u"12300", u"-99900"}},
    };
    for (const Case& c : cases) {
        Rows values;
        for (const std::u16string& v : c.values) values.push_back({D(v.c_str())});
        expectRoundTrip(c.type, c.desc, values);
    }
    // A value beyond the precision is the server's error, not a rounded value.
    std::u16string t = table(u"nover", u"v NUMERIC(5,2)");
    unsigned long processed = 0;
    EXPECT_EQ(
        runModify(*conn_, u"INSERT INTO " + t + u" VALUES (?)", {{D(u"1000.00")}}, &processed),
        DBIF_RC_DB_ERROR);
    EXPECT_EQ(conn_->commArea().dbCode, base36("22003"));
}

// How the types PostgreSQL has beyond the common ones (dbif_engine_test.cpp has those) are
// described and delivered.
TEST_P(DbifPgsqlTest, PostgresqlTypesMapOntoTheInterfaceTypes) {
    struct Case {
        const char16_t* expr;
        dbif_coldesc_t desc;
        dbif_fakevalue_t value;
    };
    const Case cases[] = {
        {u"true", coldesc(DBIF_TYPE_INT, 1), I(1)},
        {u"false", coldesc(DBIF_TYPE_INT, 1), I(0)},
        {u"4294967295::oid", coldesc(DBIF_TYPE_INT, 8), I(4294967295)},
        {u"0.1::float4", coldesc(DBIF_TYPE_FLOAT, 8), R(static_cast<double>(0.1f))},
        {u"'-Infinity'::float8", coldesc(DBIF_TYPE_FLOAT, 8), R(-HUGE_VAL)},
        {u"'abc'::varchar", coldesc(DBIF_TYPE_CHAR, 0), T(u"abc")},
        {u"'x'::pg_catalog.char", coldesc(DBIF_TYPE_CHAR, 1), T(u"x")},  // the type "char"
        {u"'pg_class'::name", coldesc(DBIF_TYPE_CHAR, 63), T(u"pg_class")},
        {u"'{\"a\": 1}'::jsonb", coldesc(DBIF_TYPE_LONGCHAR, 0), T(u"{\"a\": 1}")},
        {u"'2024-02-29 13:14:15.5'::timestamp", coldesc(DBIF_TYPE_CHAR, 26),
         T(u"2024-02-29 13:14:15.5")},
        {u"'2024-02-29 13:14:15'::timestamp(0)", coldesc(DBIF_TYPE_CHAR, 19),
         T(u"2024-02-29 13:14:15")},
        {u"'13:14:15.123'::time(3)", coldesc(DBIF_TYPE_CHAR, 12), T(u"13:14:15.123")},
        {u"'1 day 02:00'::interval", coldesc(DBIF_TYPE_CHAR, 0), T(u"1 day 02:00:00")},
        {u"'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'::uuid", coldesc(DBIF_TYPE_CHAR, 36),
         T(u"a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ul_utf16to8(c.expr));
        QueryResult r = runQuery(*conn_, u"SELECT " + std::u16string(c.expr) + u" AS v");
        ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
        ASSERT_EQ(r.rows.size(), 1u);
        EXPECT_EQ(r.rows[0][0], c.value);
        expectDescribed(r.columns[0], c.desc);
    }
}

// ---- errors ----------------------------------------------------------------------------------

// A prepared statement that the server invalidated asks to be prepared again.
TEST_P(DbifPgsqlTest, AnInvalidatedStatementAsksForPrepareAgain) {
    std::u16string t = table(u"inv", u"id INTEGER PRIMARY KEY");
    const std::u16string update = u"UPDATE " + t + u" SET id = id WHERE id = ? returning *";
    std::unique_ptr<DbIfStatement> stmt = prepared(update, DBIF_CLASS_UPDATE);
    ASSERT_TRUE(stmt);
    DbIfRowBatch params;
    fillBatch(&params, {{I(1)}});
    unsigned long processed = 0;
    ASSERT_EQ(stmt->modify(&params, &processed), DBIF_RC_OK) << commText(*conn_);
    // The result type changes under the prepared statement.
    ASSERT_EQ(exec(u"ALTER TABLE " + t + u" ADD COLUMN extra INTEGER"), DBIF_RC_OK);
    EXPECT_EQ(stmt->modify(&params, &processed), DBIF_RC_REPREPARE) << commText(*conn_);
    EXPECT_EQ(conn_->commArea().dbCode, base36("0A000"));
    ASSERT_TRUE(stmt = prepared(update, DBIF_CLASS_UPDATE));
    EXPECT_EQ(stmt->modify(&params, &processed), DBIF_RC_OK) << commText(*conn_);
    // The statement is gone from the server.
    ASSERT_EQ(exec(u"DEALLOCATE ALL"), DBIF_RC_OK);
    EXPECT_EQ(stmt->modify(&params, &processed), DBIF_RC_REPREPARE) << commText(*conn_);
    EXPECT_EQ(conn_->commArea().dbCode, base36("26000"));
}

// ---- connection ------------------------------------------------------------------------------

TEST_P(DbifPgsqlTest, TheSessionIsSetUpForExactValues) {
    EXPECT_EQ(value(u"SHOW client_encoding"), T(u"UTF8"));
    EXPECT_EQ(value(u"SHOW extra_float_digits"), T(u"3"));
    EXPECT_EQ(value(u"SHOW standard_conforming_strings"), T(u"on"));
    EXPECT_EQ(value(u"SHOW bytea_output"), T(u"hex"));
    // The server holds exactly the bytes and doubles sent, and sends back what it holds.
    EXPECT_EQ(value(u"SELECT ?::bytea = decode('00ff7f', 'hex')", {{B({0, 255, 127})}}), I(1));
    EXPECT_EQ(value(u"SELECT decode('00ff7f', 'hex')"), B({0, 255, 127}));
    EXPECT_EQ(value(u"SELECT ?::float8 = 1::float8 / 3", {{R(1.0 / 3)}}), I(1));
}

TEST_P(DbifPgsqlTest, IsolationLevelsApplyToTheTransactions) {
    // A session whose default is serializable shows both values.
    ASSERT_EQ(exec(u"SET default_transaction_isolation = 'serializable'"), DBIF_RC_OK);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_EQ(value(u"SHOW transaction_isolation"), T(u"serializable"));
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    dbif_control_t arg;
    arg.intValue = 2;
    ASSERT_EQ(conn_->control(DBIF_CTL_ISOLATION, &arg), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(value(u"SHOW transaction_isolation"), T(u"read committed"));
    ASSERT_EQ(conn_->rollback(), DBIF_RC_OK);
    EXPECT_EQ(value(u"SHOW transaction_isolation"), T(u"read committed"));
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    arg.intValue = 0;
    ASSERT_EQ(conn_->control(DBIF_CTL_ISOLATION, &arg), DBIF_RC_OK);
    EXPECT_EQ(value(u"SHOW transaction_isolation"), T(u"serializable"));
}

// The conninfo string is optional: libpq's own environment names the server just as well.
TEST_P(DbifPgsqlTest, ConnectsThroughLibpqEnvironment) {
    if (!getenv("PGHOST")) GTEST_SKIP() << "the server is named by dbs_pgsql_conninfo only";
    ScopedEnv noConninfo("dbs_pgsql_conninfo", nullptr);
    auto other = dbif_open(u"PGSQL");
    EXPECT_EQ(other->connect(), DBIF_RC_OK) << commText(*other);
    EXPECT_EQ(other->execute(u"SELECT 1"), DBIF_RC_OK);
    other->disconnect();
}

// Statements dropped by the caller leave neither cursors nor prepared statements behind.
TEST_P(DbifPgsqlTest, DroppedStatementsFreeTheirServerResources) {
    auto serverCount = [&](const char16_t* view) {
        return value(u"SELECT COUNT(*) FROM " + std::u16string(view)).integer;
    };
    int64_t statementsBefore = serverCount(u"pg_prepared_statements");
    for (int i = 0; i < 20; ++i) {
        std::unique_ptr<DbIfStatement> other = prepared(u"SELECT ?::int", DBIF_CLASS_OTHER);
        std::unique_ptr<DbIfStatement> read = reading(u"SELECT g FROM generate_series(1, 1000) g");
        ASSERT_TRUE(other && read);
        DbIfRowBatch batch;
        ASSERT_EQ(read->exeRead(&batch, 10), DBIF_RC_PARTIAL);
        // Left in the middle of the read.
    }
    // Open: the cursor of the counting query itself.
    EXPECT_EQ(serverCount(u"pg_cursors WHERE name LIKE 'tabrix_c%'"), 1);
    EXPECT_EQ(serverCount(u"pg_prepared_statements"), statementsBefore);
}

}  // namespace

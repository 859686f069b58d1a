// What only the SQLite engine shows: its environment, values that SQLite's loose typing lets
// into a column, descriptions by storage class, statement text rules, tracing, and several
// processes working on one file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../upglib/tempdir.h"
#include "dbif.h"
#include "dbif_testutil.h"

namespace {

class DbifSqliteTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        setenv("dbs_sqlite_db", dir_.path("sqlite.db").c_str(), 1);
        conn_ = connect();
        ASSERT_NE(conn_, nullptr);
    }

    std::unique_ptr<DbIfConnection> connect() {
        std::unique_ptr<DbIfConnection> conn = dbif_open(u"SQLITE");
        if (conn && conn->connect() != DBIF_RC_OK) {
            ADD_FAILURE() << commText(*conn);
            return nullptr;
        }
        return conn;
    }

    int exec(const std::u16string& sql) { return conn_->execute(sql.c_str()); }

    TempDir dir_;
    std::unique_ptr<DbIfConnection> conn_;
};

TEST_F(DbifSqliteTest, ConnectNeedsTheDatabaseVariable) {
    unsetenv("dbs_sqlite_db");
    std::unique_ptr<DbIfConnection> conn = dbif_open(u"SQLITE");
    EXPECT_EQ(conn->connect(), DBIF_RC_DB_ERROR);
    EXPECT_EQ(ul_utf16to8(conn->commArea().errorText.c_str()),
              "Environment variable 'dbs_sqlite_db' is not set: it names the SQLite database file");
    // Nothing works unconnected, and the reason says so.
    std::unique_ptr<DbIfStatement> stmt;
    EXPECT_EQ(conn->prepare(u"SELECT 1", DBIF_CLASS_READ, &stmt), DBIF_RC_DB_ERROR);
    EXPECT_EQ(stmt, nullptr);
    EXPECT_EQ(ul_utf16to8(conn->commArea().errorText.c_str()),
              "Not connected to the SQLite database");
    EXPECT_EQ(conn->execute(u"SELECT 1"), DBIF_RC_DB_ERROR);
    EXPECT_EQ(conn->commit(), DBIF_RC_DB_ERROR);
    EXPECT_EQ(conn->disconnect(), DBIF_RC_OK);
}

TEST_F(DbifSqliteTest, ConnectFailsOnAFileThatIsNoDatabase) {
    std::string path = dir_.write("garbage.db", std::string(4096, 'x'));
    setenv("dbs_sqlite_db", path.c_str(), 1);
    std::unique_ptr<DbIfConnection> conn = dbif_open(u"SQLITE");
    EXPECT_EQ(conn->connect(), DBIF_RC_DB_ERROR);
    std::string text = ul_utf16to8(conn->commArea().errorText.c_str());
    EXPECT_NE(text.find("Cannot open SQLite database '" + path + "'"), std::string::npos) << text;
    EXPECT_NE(text.find("not a database"), std::string::npos) << text;
    EXPECT_EQ(conn->commArea().dbCode, 26);  // SQLITE_NOTADB
    setenv("dbs_sqlite_db", dir_.path("no/such/dir/x.db").c_str(), 1);
    EXPECT_EQ(conn->connect(), DBIF_RC_DB_ERROR);
    EXPECT_NE(conn->commArea().errorText.find(u"Cannot open SQLite database"),
              std::u16string::npos);
}

TEST_F(DbifSqliteTest, ConnectingTwiceIsRefused) {
    EXPECT_EQ(conn_->connect(), DBIF_RC_DB_ERROR);
    EXPECT_EQ(ul_utf16to8(conn_->commArea().errorText.c_str()),
              "Already connected to the SQLite database");
    EXPECT_EQ(exec(u"CREATE TABLE t (a INTEGER)"), DBIF_RC_OK);
}

TEST_F(DbifSqliteTest, ExpressionsAreDescribedByTheFirstRowsStorageClass) {
    QueryResult r = runQuery(*conn_,
                             u"SELECT 1 + 1, 2.5, 'x' || 'y', x'00ff', NULL, COUNT(*) FROM "
                             u"(SELECT 1)");
    ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
    struct Expected {
        int type;
        unsigned length;
    };
    const Expected expected[] = {{DBIF_TYPE_INT, 8},  {DBIF_TYPE_FLOAT, 8}, {DBIF_TYPE_LONGCHAR, 0},
                                 {DBIF_TYPE_BLOB, 0}, {DBIF_TYPE_CHAR, 0},  {DBIF_TYPE_INT, 8}};
    ASSERT_EQ(r.columns.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(r.columns[i].type, expected[i].type) << i;
        EXPECT_EQ(r.columns[i].length, expected[i].length) << i;
    }
    EXPECT_EQ(ul_utf16to8(r.columns[0].name.c_str()), "1 + 1");
    EXPECT_EQ(r.rows, (Rows{{I(2), R(2.5), T(u"xy"), B({0, 255}), N(), I(1)}}));
}

TEST_F(DbifSqliteTest, DeclaredTypesMapAlsoBeyondTheCommonNames) {
    ASSERT_EQ(exec(u"CREATE TABLE t (a UNSIGNED BIG INT NOT NULL, b character varying(12), "
                   u"c NATIVE CHARACTER(3), d MEDIUMINT, e varchar, f timestamp, g datetime2, "
                   u"h LONGBLOB, i DOUBLE PRECISION, j decimal ( 7 , 1 ), k)"),
              DBIF_RC_OK)
        << commText(*conn_);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (1, 'b', 'c  ', 4, 'e', '2024-01-02 03:04:05', 'g', "
                   u"x'01', 1.5, 3, 'k')"),
              DBIF_RC_OK)
        << commText(*conn_);
    QueryResult r = runQuery(*conn_, u"SELECT * FROM t");
    ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
    struct Expected {
        int type;
        unsigned length;
        unsigned decimals;
        bool nullable;
    };
    const Expected expected[] = {
        {DBIF_TYPE_INT, 8, 0, false},     {DBIF_TYPE_CHAR, 12, 0, true},
        {DBIF_TYPE_CHAR, 3, 0, true},     {DBIF_TYPE_INT, 4, 0, true},
        {DBIF_TYPE_CHAR, 0, 0, true},     {DBIF_TYPE_CHAR, 32, 0, true},
        {DBIF_TYPE_LONGCHAR, 0, 0, true},  // numeric affinity, unknown name: first row's text
        {DBIF_TYPE_BLOB, 0, 0, true},     {DBIF_TYPE_FLOAT, 8, 0, true},
        {DBIF_TYPE_PACKED, 7, 1, true},   {DBIF_TYPE_LONGCHAR, 0, 0, true},
    };
    ASSERT_EQ(r.columns.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(r.columns[i].type, expected[i].type) << i;
        EXPECT_EQ(r.columns[i].length, expected[i].length) << i;
        EXPECT_EQ(r.columns[i].decimals, expected[i].decimals) << i;
        EXPECT_EQ(r.columns[i].nullable, expected[i].nullable) << i;
    }
    EXPECT_EQ(r.rows, (Rows{{I(1), T(u"b"), T(u"c  "), I(4), T(u"e"), T(u"2024-01-02 03:04:05"),
                             T(u"g"), B({1}), R(1.5), D(u"3.0"), T(u"k")}}));
}

// NUMERIC columns hold whatever storage class SQLite chose; the engine writes each as exact
// decimal text: integers as their digits, reals as the shortest digits that read back as the
// same double, both with exactly `decimals` fraction digits when the column has a scale.
TEST_F(DbifSqliteTest, NumericValuesOfEveryStorageClassBecomeDecimalText) {
    ASSERT_EQ(exec(u"CREATE TABLE t (id INTEGER PRIMARY KEY, p NUMERIC(30,3), n NUMERIC)"),
              DBIF_RC_OK);
    struct Case {
        const char16_t* literal;
        const char16_t* scaled;
        const char16_t* plain;
    };
    const Case cases[] = {
        {u"12.5", u"12.500", u"12.5"},
        {u"100", u"100.000", u"100"},
        {u"-0.001", u"-0.001", u"-0.001"},
        {u"1e20", u"100000000000000000000.000", u"100000000000000000000"},
        {u"0.30000000000000004", u"0.300", u"0.30000000000000004"},
        {u"1.5e-7", u"0.000", u"0.00000015"},
        {u"-0.0", u"0.000", u"0"},
        {u"2.0005", u"2.001", u"2.0005"},
        {u"-9.9996", u"-10.000", u"-9.9996"},
        {u"9223372036854775807", u"9223372036854775807.000", u"9223372036854775807"},
        {u"-9223372036854775808", u"-9223372036854775808.000", u"-9223372036854775808"},
        {u"' 42 '", u"42.000", u"42"},
        {u"1.7976931348623157e308", nullptr, nullptr},
    };
    Rows expected;
    int id = 0;
    for (const Case& c : cases) {
        std::u16string sql = u"INSERT INTO t VALUES (" + ul_utf8to16(std::to_string(++id).c_str()) +
                             u", " + c.literal + u", " + c.literal + u")";
        ASSERT_EQ(exec(sql), DBIF_RC_OK) << commText(*conn_);
        if (c.scaled) expected.push_back({D(c.scaled), D(c.plain)});
    }
    QueryResult r = runQuery(*conn_, u"SELECT p, n FROM t WHERE id < " +
                                         ul_utf8to16(std::to_string(id).c_str()) + u" ORDER BY id");
    ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(r.rows, expected);
    // The largest double has 309 integer digits; it is written out in full.
    r = runQuery(*conn_, u"SELECT n FROM t WHERE id = " + ul_utf8to16(std::to_string(id).c_str()));
    ASSERT_EQ(r.rc, DBIF_RC_OK);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][0].text.size(), 309u);
    EXPECT_EQ(r.rows[0][0].text.substr(0, 17), u"17976931348623157");
}

TEST_F(DbifSqliteTest, ANonNumberInANumericColumnIsARowError) {
    ASSERT_EQ(exec(u"CREATE TABLE t (id INTEGER PRIMARY KEY, amount NUMERIC(10,2))"), DBIF_RC_OK);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (1, 5), (2, 'abc'), (3, 7)"), DBIF_RC_OK);
    std::unique_ptr<DbIfStatement> stmt;
    ASSERT_EQ(conn_->prepare(u"SELECT amount FROM t ORDER BY id", DBIF_CLASS_READ, &stmt),
              DBIF_RC_OK);
    ASSERT_EQ(stmt->begRead(nullptr), DBIF_RC_OK);
    DbIfRowBatch batch;
    EXPECT_EQ(stmt->exeRead(&batch, 1), DBIF_RC_PARTIAL);
    EXPECT_EQ(batchRows(batch), (Rows{{D(u"5.00")}}));
    EXPECT_EQ(stmt->exeRead(&batch, 1), DBIF_RC_ROW_ERROR);
    EXPECT_EQ(ul_utf16to8(conn_->commArea().errorText.c_str()),
              "Value 'abc' of column 'AMOUNT' is not a decimal number");
    EXPECT_EQ(conn_->commArea().rowCount, 1);
    EXPECT_EQ(stmt->endRead(), DBIF_RC_OK);
}

// SQLite compares trailing blanks, so every character column keeps them.
TEST_F(DbifSqliteTest, CharactersKeepTrailingBlanks) {
    ASSERT_EQ(exec(u"CREATE TABLE t (c CHAR(6), n NCHAR(6), v VARCHAR(6), x TEXT)"), DBIF_RC_OK);
    ASSERT_EQ(
        exec(u"INSERT INTO t VALUES ('a b  ', 'a b  ', 'a b  ', 'a b  '), ('\t ', '  ', ' ', '')"),
        DBIF_RC_OK);
    QueryResult r = runQuery(*conn_, u"SELECT * FROM t");
    ASSERT_EQ(r.rc, DBIF_RC_OK);
    EXPECT_EQ(r.rows, (Rows{{T(u"a b  "), T(u"a b  "), T(u"a b  "), T(u"a b  ")},
                            {T(u"\t "), T(u"  "), T(u" "), T(u"")}}));
}

TEST_F(DbifSqliteTest, StatementTextRules) {
    struct Case {
        const char16_t* sql;
        int rc;
        unsigned params;
    };
    const Case cases[] = {
        {u"SELECT ? -- is this a marker?\n", DBIF_RC_OK, 1},
        {u"SELECT ? /* or this? */ , '?'", DBIF_RC_OK, 1},
        {u"SELECT 1; ", DBIF_RC_OK, 0},
        {u"SELECT 1; -- done", DBIF_RC_OK, 0},
        {u"SELECT 1 #DBIF_HINT(a(b)c) ; /* end */", DBIF_RC_OK, 0},
        {u"SELECT '#DBIF_HINT(' || ?", DBIF_RC_OK, 1},
        {u"SELECT 1; SELECT 2", DBIF_RC_DB_ERROR, 0},
        {u"   ", DBIF_RC_DB_ERROR, 0},
        {u"SELECT 1 #DBIF_HINT(unterminated", DBIF_RC_DB_ERROR, 0},
        {u"SELEKT 1", DBIF_RC_DB_ERROR, 0},
        // A double-quoted name is never taken as a string.
        {u"SELECT \"nope\"", DBIF_RC_REJECTED, 0},
    };
    for (const Case& c : cases) {
        std::unique_ptr<DbIfStatement> stmt;
        EXPECT_EQ(conn_->prepare(c.sql, DBIF_CLASS_READ, &stmt), c.rc) << ul_utf16to8(c.sql);
        if (c.rc == DBIF_RC_OK) {
            ASSERT_NE(stmt, nullptr);
            EXPECT_EQ(stmt->paramCount(), c.params) << ul_utf16to8(c.sql);
        } else {
            EXPECT_EQ(stmt, nullptr);
            EXPECT_FALSE(conn_->commArea().errorText.empty()) << ul_utf16to8(c.sql);
        }
    }
    EXPECT_EQ(conn_->execute(u"SELECT ?"), DBIF_RC_DB_ERROR);
    EXPECT_EQ(ul_utf16to8(conn_->commArea().errorText.c_str()),
              "Statement with 1 parameters cannot be executed without them: 'SELECT ?'");
}

TEST_F(DbifSqliteTest, MissingParametersAreAnError) {
    std::unique_ptr<DbIfStatement> stmt;
    ASSERT_EQ(conn_->prepare(u"SELECT ? + ?", DBIF_CLASS_READ, &stmt), DBIF_RC_OK);
    DbIfRowBatch params;
    fillBatch(&params, {{I(1)}});
    EXPECT_EQ(stmt->begRead(&params), DBIF_RC_DB_ERROR);
    EXPECT_EQ(ul_utf16to8(conn_->commArea().errorText.c_str()),
              "The statement has 2 parameters, 1 were given");
    EXPECT_EQ(stmt->begRead(nullptr), DBIF_RC_DB_ERROR);
    fillBatch(&params, {{I(1), I(2)}});
    ASSERT_EQ(stmt->begRead(&params), DBIF_RC_OK);
    DbIfRowBatch batch;
    EXPECT_EQ(stmt->exeRead(&batch, 5), DBIF_RC_LAST_BATCH);
    EXPECT_EQ(batchRows(batch), (Rows{{I(3)}}));
}

TEST_F(DbifSqliteTest, ErrorsCarrySqlitesCodeAndMessage) {
    ASSERT_EQ(exec(u"CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT NOT NULL, u TEXT UNIQUE)"),
              DBIF_RC_OK);
    struct Case {
        const char16_t* sql;
        int rc;
        long dbCode;
        const char* text;
    };
    const Case cases[] = {
        {u"SELECT * FROM nothere", DBIF_RC_REJECTED, 1, "no such table: nothere"},
        {u"DROP TABLE nothere", DBIF_RC_REJECTED, 1, "no such table: nothere"},
        {u"DROP VIEW nothere", DBIF_RC_REJECTED, 1, "no such view: nothere"},
        {u"INSERT INTO t (id, v, u) VALUES (1, 'a', 'x')", DBIF_RC_OK, 0, ""},
        {u"INSERT INTO t (id, v) VALUES (1, 'b')", DBIF_RC_DUPLICATE, 1555,
         "UNIQUE constraint failed: t.id"},
        {u"INSERT INTO t (id, v, u) VALUES (2, 'b', 'x')", DBIF_RC_DUPLICATE, 2067,
         "UNIQUE constraint failed: t.u"},
        {u"INSERT INTO t (id) VALUES (3)", DBIF_RC_DB_ERROR, 1299,
         "NOT NULL constraint failed: t.v"},
        {u"SELECT nocol FROM t", DBIF_RC_REJECTED, 1, "no such column: nocol"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(conn_->execute(c.sql), c.rc) << ul_utf16to8(c.sql);
        EXPECT_EQ(conn_->commArea().dbCode, c.dbCode) << ul_utf16to8(c.sql);
        EXPECT_EQ(ul_utf16to8(conn_->commArea().errorText.c_str()), c.text) << ul_utf16to8(c.sql);
    }
}

TEST_F(DbifSqliteTest, ATransactionEndedByAStatementIsStartedAgain) {
    ASSERT_EQ(exec(u"CREATE TABLE t (a INTEGER)"), DBIF_RC_OK);
    ASSERT_EQ(exec(u"COMMIT"), DBIF_RC_OK);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (1)"), DBIF_RC_OK);
    ASSERT_EQ(conn_->rollback(), DBIF_RC_OK) << commText(*conn_);
    QueryResult r = runQuery(*conn_, u"SELECT COUNT(*) FROM t");
    EXPECT_EQ(r.rows, (Rows{{I(0)}}));
}

TEST_F(DbifSqliteTest, ControlAnswersOfSqlite) {
    dbif_control_t arg;
    ASSERT_EQ(conn_->control(DBIF_CTL_VERSION, &arg), DBIF_RC_OK);
    std::string version = ul_utf16to8(arg.text.c_str());
    EXPECT_EQ(version.rfind("SQLite 3.", 0), 0u) << version;
    ASSERT_EQ(conn_->control(DBIF_CTL_CLIENT_VERSION, &arg), DBIF_RC_OK);
    EXPECT_EQ(ul_utf16to8(arg.text.c_str()), version);
    ASSERT_EQ(conn_->control(DBIF_CTL_SCHEMA, &arg), DBIF_RC_OK);
    EXPECT_EQ(arg.text, u"main");
    ASSERT_EQ(conn_->control(DBIF_CTL_HOST, &arg), DBIF_RC_OK);
    EXPECT_EQ(arg.text, u"localhost");
    ASSERT_EQ(conn_->control(DBIF_CTL_USER, &arg), DBIF_RC_OK);
    EXPECT_FALSE(arg.text.empty());
    EXPECT_EQ(conn_->control(DBIF_CTL_VIEW_LAYER, &arg), DBIF_RC_NOT_SUPPORTED);
    arg.intValue = 1;
    EXPECT_EQ(conn_->control(DBIF_CTL_ISOLATION, &arg), DBIF_RC_NOT_SUPPORTED);
    EXPECT_EQ(conn_->control(12345, &arg), DBIF_RC_NOT_SUPPORTED);
}

struct TraceLine {
    std::string file;
    int level;
    std::string text;
};

void collectTrace(void* context, const char* file, int, int level, const char16_t* text) {
    static_cast<std::vector<TraceLine>*>(context)->push_back({file, level, ul_utf16to8(text)});
}

bool traced(const std::vector<TraceLine>& lines, const std::string& text, int level) {
    for (const TraceLine& l : lines) {
        if (l.text == text && l.level == level && l.file == "dbif_sqlite.cpp") return true;
    }
    return false;
}

TEST_F(DbifSqliteTest, TraceReportsStatementsAtLevelTwo) {
    std::vector<TraceLine> lines;
    dbif_control_t arg;
    arg.trace = collectTrace;
    arg.traceContext = &lines;
    arg.intValue = 2;
    ASSERT_EQ(conn_->control(DBIF_CTL_TRACE, &arg), DBIF_RC_OK);
    ASSERT_EQ(exec(u"CREATE TABLE t (a INTEGER)"), DBIF_RC_OK);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_TRUE(traced(lines, "Executing: CREATE TABLE t (a INTEGER)", 2));
    EXPECT_TRUE(traced(lines, "Commit", 1));

    lines.clear();
    arg.intValue = 1;
    ASSERT_EQ(conn_->control(DBIF_CTL_TRACE, &arg), DBIF_RC_OK);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (1)"), DBIF_RC_OK);
    EXPECT_EQ(exec(u"SELECT * FROM nothere"), DBIF_RC_REJECTED);
    ASSERT_EQ(conn_->rollback(), DBIF_RC_OK);
    EXPECT_FALSE(traced(lines, "Executing: INSERT INTO t VALUES (1)", 2));
    EXPECT_TRUE(traced(lines, "SQLite error 1: no such table: nothere", 1));
    EXPECT_TRUE(traced(lines, "Rollback", 1));

    lines.clear();
    arg.intValue = 0;
    ASSERT_EQ(conn_->control(DBIF_CTL_TRACE, &arg), DBIF_RC_OK);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (1)"), DBIF_RC_OK);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_TRUE(lines.empty());
}

TEST_F(DbifSqliteTest, TraceSetBeforeConnectCoversTheConnect) {
    std::vector<TraceLine> lines;
    std::unique_ptr<DbIfConnection> conn = dbif_open(u"SQLITE");
    dbif_control_t arg;
    arg.trace = collectTrace;
    arg.traceContext = &lines;
    arg.intValue = 2;
    ASSERT_EQ(conn->control(DBIF_CTL_TRACE, &arg), DBIF_RC_OK);
    unsetenv("dbs_sqlite_db");
    EXPECT_EQ(conn->connect(), DBIF_RC_DB_ERROR);
    EXPECT_TRUE(traced(lines,
                       "Environment variable 'dbs_sqlite_db' is not set: it names the SQLite "
                       "database file",
                       1));
    setenv("dbs_sqlite_db", dir_.path("sqlite.db").c_str(), 1);
    ASSERT_EQ(conn->connect(), DBIF_RC_OK);
    EXPECT_TRUE(traced(lines, "Connected to SQLite database '" + dir_.path("sqlite.db") + "'", 1));
    EXPECT_EQ(conn->execute(u"SELECT 1"), DBIF_RC_OK);
    EXPECT_TRUE(traced(lines, "Executing: SELECT 1", 2));
}

TEST_F(DbifSqliteTest, AReaderDoesNotBlockAWriterOfAnotherProcess) {
    ASSERT_EQ(exec(u"CREATE TABLE t (a INTEGER)"), DBIF_RC_OK);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (1), (2), (3)"), DBIF_RC_OK);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    std::unique_ptr<DbIfConnection> other = connect();
    ASSERT_NE(other, nullptr);

    // conn_ holds a read open while the other connection writes and commits.
    std::unique_ptr<DbIfStatement> read;
    ASSERT_EQ(conn_->prepare(u"SELECT a FROM t ORDER BY a", DBIF_CLASS_READ, &read), DBIF_RC_OK);
    ASSERT_EQ(read->begRead(nullptr), DBIF_RC_OK);
    DbIfRowBatch batch;
    ASSERT_EQ(read->exeRead(&batch, 1), DBIF_RC_PARTIAL);
    ASSERT_EQ(other->execute(u"INSERT INTO t VALUES (4)"), DBIF_RC_OK) << commText(*other);
    ASSERT_EQ(other->commit(), DBIF_RC_OK) << commText(*other);

    // The open read still sees its snapshot, and while it is open conn_ cannot write.
    EXPECT_EQ(read->exeRead(&batch, 10), DBIF_RC_LAST_BATCH);
    EXPECT_EQ(batchRows(batch), (Rows{{I(2)}, {I(3)}}));
    ASSERT_EQ(conn_->prepare(u"SELECT a FROM t ORDER BY a", DBIF_CLASS_READ, &read), DBIF_RC_OK);
    ASSERT_EQ(read->begRead(nullptr), DBIF_RC_OK);
    EXPECT_EQ(conn_->execute(u"INSERT INTO t VALUES (5)"), DBIF_RC_DB_ERROR);
    EXPECT_EQ(conn_->commArea().dbCode, 517);  // SQLITE_BUSY_SNAPSHOT
    EXPECT_EQ(read->endRead(), DBIF_RC_OK);

    // With no read open and nothing written yet, the transaction moves to the new snapshot.
    ASSERT_EQ(conn_->execute(u"INSERT INTO t VALUES (5)"), DBIF_RC_OK) << commText(*conn_);
    QueryResult r = runQuery(*conn_, u"SELECT a FROM t ORDER BY a");
    EXPECT_EQ(r.rows, (Rows{{I(1)}, {I(2)}, {I(3)}, {I(4)}, {I(5)}}));
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    ASSERT_EQ(other->rollback(), DBIF_RC_OK);
    EXPECT_EQ(runQuery(*other, u"SELECT COUNT(*) FROM t").rows, (Rows{{I(5)}}));
}

TEST_F(DbifSqliteTest, MemoryDoesNotGrowWithTheResult) {
    // A recursive query of 200,000 rows of equal width read in batches of 1000 through one
    // batch: the batch's storage reaches its size with the first full batch and stays there.
    std::unique_ptr<DbIfStatement> stmt;
    ASSERT_EQ(conn_->prepare(u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                             u"WHERE i < 200000) SELECT i, printf('row %08d', i) FROM n",
                             DBIF_CLASS_READ, &stmt),
              DBIF_RC_OK);
    ASSERT_EQ(stmt->begRead(nullptr), DBIF_RC_OK);
    DbIfRowBatch batch;
    ASSERT_EQ(stmt->exeRead(&batch, 1000), DBIF_RC_PARTIAL);
    const dbif_cell_t* cells = batch.row(0);
    const char16_t* text = cells[1].text;
    int64_t sum = 0;
    long rows = 0;
    int rc;
    do {
        for (size_t r = 0; r < batch.rows(); ++r) sum += batch.row(r)[0].integer;
        rows += static_cast<long>(batch.rows());
        rc = stmt->exeRead(&batch, 1000);
        if (batch.rows() == 1000) {
            ASSERT_EQ(batch.row(0), cells);
            ASSERT_EQ(batch.row(0)[1].text, text);
        }
    } while (rc == DBIF_RC_PARTIAL);
    EXPECT_EQ(rc, DBIF_RC_NO_MORE_ROWS);
    EXPECT_EQ(rows, 200000);
    EXPECT_EQ(sum, 20000100000);
    EXPECT_EQ(conn_->commArea().rowCount, 200000);
}

}  // namespace

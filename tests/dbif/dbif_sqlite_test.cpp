// What only the SQLite engine shows: its environment, values that SQLite's loose typing lets
// into a column, descriptions by storage class, statement text rules, tracing, and several
// processes working on one file.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "../upglib/childproc.h"
#include "dbif.h"
#include "dbif_testutil.h"

namespace {

class DbifSqliteTest : public EngineTest {};

INSTANTIATE_TEST_SUITE_P(Sqlite, DbifSqliteTest, ::testing::Values("SQLITE"), engineName);

std::string errorText(const DbIfConnection& conn) {
    return ul_utf16to8(conn.commArea().errorText.c_str());
}

// Declared types map beyond the common names; a column without a type, and an expression, is
// described by the storage class of its first row.
TEST_P(DbifSqliteTest, ColumnsAreDescribedByDeclaredTypeOrStorageClass) {
    ASSERT_EQ(exec(u"CREATE TABLE t (a UNSIGNED BIG INT NOT NULL, b character varying(12), "
                   u"c NATIVE CHARACTER(3), d MEDIUMINT, e varchar, f timestamp, g datetime2, "
                   u"h LONGBLOB, i DOUBLE PRECISION, j decimal ( 7 , 1 ), k)"),
              DBIF_RC_OK)
        << commText(*conn_);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (1, 'b', 'c  ', 4, 'e', '2024-01-02 03:04:05', 'g', "
                   u"x'01', 1.5, 3, 'k')"),
              DBIF_RC_OK)
        << commText(*conn_);
    QueryResult r = runQuery(*conn_, u"SELECT *, 1 + 1, 2.5, x'00ff', NULL FROM t");
    ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
    const dbif_coldesc_t expected[] = {
        coldesc(DBIF_TYPE_INT, 8),       coldesc(DBIF_TYPE_CHAR, 12),
        coldesc(DBIF_TYPE_CHAR, 3),      coldesc(DBIF_TYPE_INT, 4),
        coldesc(DBIF_TYPE_CHAR, 0),      coldesc(DBIF_TYPE_CHAR, 32),
        coldesc(DBIF_TYPE_LONGCHAR, 0),  // numeric affinity, unknown name: first row's text
        coldesc(DBIF_TYPE_BLOB, 0),      coldesc(DBIF_TYPE_FLOAT, 8),
        coldesc(DBIF_TYPE_PACKED, 7, 1), coldesc(DBIF_TYPE_LONGCHAR, 0),
        coldesc(DBIF_TYPE_INT, 8),       coldesc(DBIF_TYPE_FLOAT, 8),
        coldesc(DBIF_TYPE_BLOB, 0),      coldesc(DBIF_TYPE_CHAR, 0),
    };
    ASSERT_EQ(r.columns.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        expectDescribed(r.columns[i], expected[i]);
        EXPECT_EQ(r.columns[i].nullable, i != 0);
    }
    EXPECT_EQ(r.columns[11].name, u"1 + 1");
    EXPECT_EQ(r.rows,
              (Rows{{I(1), T(u"b"), T(u"c  "), I(4), T(u"e"), T(u"2024-01-02 03:04:05"), T(u"g"),
                     B({1}), R(1.5), D(u"3.0"), T(u"k"), I(2), R(2.5), B({0, 255}), N()}}));
}

// NUMERIC columns hold whatever storage class SQLite chose; the engine writes each as exact
// decimal text: integers as their digits, reals as the shortest digits that read back as the
// same double, both with exactly `decimals` fraction digits when the column has a scale.
TEST_P(DbifSqliteTest, NumericValuesOfEveryStorageClassBecomeDecimalText) {
    ASSERT_EQ(exec(u"CREATE TABLE t (id INTEGER PRIMARY KEY, p NUMERIC(30,3), n NUMERIC)"),
              DBIF_RC_OK);
    const struct {
        const char16_t* literal;
        const char16_t* scaled;
        const char16_t* plain;
    } cases[] = {
        // clang-format off
        {u"12.5", u"12.500", u"12.5"}, {u"100", u"100.000", u"100"},
        {u"-0.001", u"-0.001", u"-0.001"},
        {u"1e20", u"100000000000000000000.000", u"100000000000000000000"},
        {u"0.30000000000000004", u"0.300", u"0.30000000000000004"},
        {u"1.5e-7", u"0.000", u"0.00000015"}, {u"-0.0", u"0.000", u"0"},
        {u"2.0005", u"2.001", u"2.0005"}, {u"-9.9996", u"-10.000", u"-9.9996"},
        {u"9223372036854775807", u"9223372036854775807.000", u"9223372036854775807"},
        {u"-9223372036854775808", u"-9223372036854775808.000", u"-9223372036854775808"},
        {u"' 42 '", u"42.000", u"42"},  // the 12th row: the row read before the error below
        // clang-format on
    };
    Rows expected;
    for (const auto& c : cases) {
        ASSERT_EQ(exec(u"INSERT INTO t (p, n) VALUES (" + std::u16string(c.literal) + u", " +
                       c.literal + u")"),
                  DBIF_RC_OK)
            << commText(*conn_);
        expected.push_back({D(c.scaled), D(c.plain)});
    }
    QueryResult r = runQuery(*conn_, u"SELECT p, n FROM t ORDER BY id");
    ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(r.rows, expected);
    // The largest double has 309 integer digits; it is written out in full.
    ASSERT_EQ(exec(u"INSERT INTO t (id, n) VALUES (99, 1.7976931348623157e308)"), DBIF_RC_OK);
    dbif_fakevalue_t v = value(u"SELECT n FROM t WHERE id = 99");
    EXPECT_EQ(v.text.size(), 309u);
    EXPECT_EQ(v.text.substr(0, 17), u"17976931348623157");
    // Text that is no number is a row error, after the rows before it.
    ASSERT_EQ(exec(u"INSERT INTO t (id, p) VALUES (100, 'abc')"), DBIF_RC_OK);
    r = runQuery(*conn_, u"SELECT p FROM t WHERE id > 11 AND id <> 99 ORDER BY id", {}, 1);
    EXPECT_EQ(r.rc, DBIF_RC_ROW_ERROR);
    EXPECT_EQ(r.rows, (Rows{{D(u"42.000")}}));
    EXPECT_EQ(ul_utf16to8(r.errorText.c_str()),
              "Value 'abc' of column 'P' is not a decimal number");
    EXPECT_EQ(conn_->commArea().rowCount, 1);
}

TEST_P(DbifSqliteTest, StatementTextRules) {
    const struct {
        const char16_t* sql;
        int rc;
        unsigned params;
    } cases[] = {
        {u"SELECT ? -- is this a marker?\n", DBIF_RC_OK, 1},
        {u"SELECT ? /* or this? */ , '?'", DBIF_RC_OK, 1},
        {u"SELECT 1; -- done", DBIF_RC_OK, 0},
        {u"SELECT 1 #DBIF_HINT(a(b)c) ; /* end */", DBIF_RC_OK, 0},
        {u"SELECT 1; SELECT 2", DBIF_RC_DB_ERROR, 0},
        {u"   ", DBIF_RC_DB_ERROR, 0},
        {u"SELEKT 1", DBIF_RC_DB_ERROR, 0},
        {u"SELECT \"nope\"", DBIF_RC_REJECTED, 0},  // a quoted name is never a string
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ul_utf16to8(c.sql));
        std::unique_ptr<DbIfStatement> stmt;
        EXPECT_EQ(conn_->prepare(c.sql, DBIF_CLASS_READ, &stmt), c.rc);
        EXPECT_EQ(stmt != nullptr, c.rc == DBIF_RC_OK);
        EXPECT_EQ(conn_->commArea().errorText.empty(), c.rc == DBIF_RC_OK);
        if (stmt) {
            EXPECT_EQ(stmt->paramCount(), c.params);
        }
    }
    EXPECT_EQ(conn_->execute(u"SELECT ?"), DBIF_RC_DB_ERROR);
    EXPECT_EQ(errorText(*conn_),
              "Statement with 1 parameters cannot be executed without them: 'SELECT ?'");
    std::unique_ptr<DbIfStatement> stmt = prepared(u"SELECT ? + ?");
    ASSERT_TRUE(stmt);
    DbIfRowBatch params;
    fillBatch(&params, {{I(1)}});
    EXPECT_EQ(stmt->begRead(&params), DBIF_RC_DB_ERROR);
    EXPECT_EQ(errorText(*conn_), "The statement has 2 parameters, 1 were given");
    EXPECT_EQ(stmt->begRead(nullptr), DBIF_RC_DB_ERROR);
}

TEST_P(DbifSqliteTest, ErrorsCarrySqlitesCodeAndMessage) {
    ASSERT_EQ(exec(u"CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT NOT NULL, u TEXT UNIQUE)"),
              DBIF_RC_OK);
    const struct {
        const char16_t* sql;
        int rc;
        long dbCode;
        const char* text;
    } cases[] = {
        {u"SELECT * FROM nothere", DBIF_RC_REJECTED, 1, "no such table: nothere"},
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
    for (const auto& c : cases) {
        EXPECT_EQ(conn_->execute(c.sql), c.rc) << ul_utf16to8(c.sql);
        EXPECT_EQ(conn_->commArea().dbCode, c.dbCode) << ul_utf16to8(c.sql);
        EXPECT_EQ(errorText(*conn_), c.text) << ul_utf16to8(c.sql);
    }
    // A transaction that a statement ended is started again.
    ASSERT_EQ(exec(u"COMMIT"), DBIF_RC_OK);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (5, 'a', 'y')"), DBIF_RC_OK);
    ASSERT_EQ(conn_->rollback(), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(count(u"t"), 1);
}

bool traced(const TraceLog& log, const std::string& text, int level) {
    for (size_t i = 0; i < log.lines.size(); ++i) {
        if (log.lines[i] == text && log.levels[i] == level) return true;
    }
    return false;
}

// Statements at level 2, failures, transaction ends and the connect at level 1, nothing at 0;
// a trace set before connect covers it.
TEST_P(DbifSqliteTest, TraceReportsStatementsAtLevelTwo) {
    traceOn(2);
    ASSERT_EQ(exec(u"CREATE TABLE t (a INTEGER)"), DBIF_RC_OK);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_TRUE(traced(trace_, "Executing: CREATE TABLE t (a INTEGER)", 2));
    EXPECT_TRUE(traced(trace_, "Commit", 1));
    traceOn(1);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (1)"), DBIF_RC_OK);
    EXPECT_EQ(exec(u"SELECT * FROM nothere"), DBIF_RC_REJECTED);
    ASSERT_EQ(conn_->rollback(), DBIF_RC_OK);
    EXPECT_EQ(trace_.lines,
              (std::vector<std::string>{"SQLite error 1: no such table: nothere", "Rollback"}));
    EXPECT_EQ(trace_.levels, (std::vector<int>{1, 1}));
    traceOn(0);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (1)"), DBIF_RC_OK);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    EXPECT_TRUE(trace_.lines.empty());

    ASSERT_EQ(conn_->disconnect(), DBIF_RC_OK);
    traceOn(2);
    const std::string db = getenv("dbs_sqlite_db");
    unsetenv("dbs_sqlite_db");
    EXPECT_EQ(conn_->connect(), DBIF_RC_DB_ERROR);
    setenv("dbs_sqlite_db", db.c_str(), 1);
    ASSERT_EQ(conn_->connect(), DBIF_RC_OK);
    EXPECT_TRUE(traced(trace_, "Connected to SQLite database '" + db + "'", 1));
    EXPECT_EQ(trace_.lines.at(0).rfind("Environment variable 'dbs_sqlite_db' is not set", 0), 0u);
}

// The sqlite3 client prepares databases as another program would leave them.
bool sqliteCli(const std::string& path, const std::string& sql) {
    return system(("sqlite3 -bail '" + path + "' '" + sql + "' >/dev/null").c_str()) == 0;
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Opening changes nothing: the journal mode (in the header) stays the database's own and a
// session that only reads leaves every byte as it was, also where the process may not write
// (read-only file in a read-only directory, as a user other than root).
TEST_P(DbifSqliteTest, OpeningNeverChangesTheDatabase) {
    for (const char* mode : {"delete", "wal", "truncate"}) {
        SCOPED_TRACE(mode);
        const std::string dir = dir_.path(mode);
        ASSERT_TRUE(std::filesystem::create_directory(dir));
        const std::string path = dir + "/db";
        ASSERT_TRUE(sqliteCli(path, std::string("PRAGMA journal_mode=") + mode +
                                        "; CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (7);"));
        const std::string before = fileBytes(path);
        chmod(path.c_str(), 0444);
        chmod(dir.c_str(), 0555);
        chmod(dir_.path().c_str(), 0755);
        setenv("dbs_sqlite_db", path.c_str(), 1);
        childproc::Outcome outcome = childproc::runInChild([&]() -> std::string {
            if (geteuid() == 0 && (setgroups(0, nullptr) || setgid(65534) || setuid(65534)))
                return "cannot drop root";
            if (access(path.c_str(), W_OK) == 0) return "the file is writable";
            std::unique_ptr<DbIfConnection> reader = open();
            if (reader->connect() != DBIF_RC_OK) return commText(*reader);
            QueryResult r = runQuery(*reader, u"SELECT a FROM t");
            reader->disconnect();
            return r.rc == DBIF_RC_OK && r.rows == Rows{{I(7)}} ? "read" : "no rows";
        });
        chmod(dir.c_str(), 0755);
        EXPECT_EQ(outcome.report, "read") << outcome.describe();
        std::unique_ptr<DbIfConnection> owner = open();
        ASSERT_EQ(owner->connect(), DBIF_RC_OK) << commText(*owner);
        EXPECT_EQ(count(u"t", owner.get()), 1);
        EXPECT_EQ(owner->disconnect(), DBIF_RC_OK);
        EXPECT_EQ(fileBytes(path), before);
    }
}

// In WAL mode a reader does not block a writer of another connection; a connection with an
// open read cannot write until it moves to the new snapshot.
TEST_P(DbifSqliteTest, AReaderDoesNotBlockAWriterOfAnotherConnection) {
    ASSERT_EQ(exec(u"CREATE TABLE t (a INTEGER)"), DBIF_RC_OK);
    ASSERT_EQ(exec(u"INSERT INTO t VALUES (1), (2), (3)"), DBIF_RC_OK);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    std::unique_ptr<DbIfConnection> other = open();
    ASSERT_EQ(other->connect(), DBIF_RC_OK);
    std::unique_ptr<DbIfStatement> read = reading(u"SELECT a FROM t ORDER BY a");
    ASSERT_TRUE(read);
    DbIfRowBatch batch;
    ASSERT_EQ(read->exeRead(&batch, 1), DBIF_RC_PARTIAL);
    ASSERT_EQ(other->execute(u"INSERT INTO t VALUES (4)"), DBIF_RC_OK) << commText(*other);
    ASSERT_EQ(other->commit(), DBIF_RC_OK) << commText(*other);
    // The open read still sees its snapshot, and while it is open conn_ cannot write.
    EXPECT_EQ(read->exeRead(&batch, 10), DBIF_RC_LAST_BATCH);
    EXPECT_EQ(batchRows(batch), (Rows{{I(2)}, {I(3)}}));
    ASSERT_EQ(read->begRead(nullptr), DBIF_RC_OK);
    EXPECT_EQ(conn_->execute(u"INSERT INTO t VALUES (5)"), DBIF_RC_DB_ERROR);
    EXPECT_EQ(conn_->commArea().dbCode, 517);  // SQLITE_BUSY_SNAPSHOT
    EXPECT_EQ(read->endRead(), DBIF_RC_OK);
    ASSERT_EQ(conn_->execute(u"INSERT INTO t VALUES (5)"), DBIF_RC_OK) << commText(*conn_);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    ASSERT_EQ(other->rollback(), DBIF_RC_OK);
    EXPECT_EQ(count(u"t", other.get()), 5);
}

}  // namespace

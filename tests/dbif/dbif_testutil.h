// Helpers shared by the tests of the database interface: values as comparable objects, filling
// parameter batches, and running statements to completion.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iomanip>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "../upglib/tempdir.h"
#include "dbif.h"
#include "dbif_fake.h"
#include "ulstring.h"

using Rows = std::vector<dbif_fakerow_t>;

inline dbif_fakevalue_t I(int64_t v) {
    return dbif_fakeint(v);
}
inline dbif_fakevalue_t R(double v) {
    return dbif_fakereal(v);
}
inline dbif_fakevalue_t D(const char16_t* v) {
    return dbif_fakedecimal(v);
}
inline dbif_fakevalue_t T(const char16_t* v) {
    return dbif_faketext(v);
}
inline dbif_fakevalue_t T(const std::u16string& v) {
    return dbif_faketext(v.c_str());
}
inline dbif_fakevalue_t B(std::vector<unsigned char> v) {
    return dbif_fakebytes(std::move(v));
}
inline dbif_fakevalue_t N() {
    return dbif_fakenull();
}

inline void PrintTo(const dbif_fakevalue_t& v, std::ostream* os) {
    static const char* const kKinds[] = {"NULL", "int", "real", "decimal", "text", "bytes"};
    *os << kKinds[static_cast<int>(v.kind)];
    if (v.kind == dbif_kind::integer) *os << " " << v.integer;
    if (v.kind == dbif_kind::real) *os << " " << std::setprecision(17) << v.real;
    if (v.kind == dbif_kind::text || v.kind == dbif_kind::decimal) {
        *os << " \"" << ul_utf16to8(v.text.c_str(), std::min<size_t>(v.text.size(), 80)) << "\"";
    }
    for (size_t i = 0; i < v.bytes.size() && i < 16; ++i) *os << " " << int(v.bytes[i]);
}

// A text of 100 KB with characters of every UTF-8 length, and 1 KB of every byte value.
inline std::u16string dbif_longtext() {
    std::u16string text;
    while (text.size() < 100 * 1024) text += u"long text \u00E4\u4E2D\U0001F600 ";
    return text;
}
inline std::vector<unsigned char> dbif_allbytes() {
    std::vector<unsigned char> bytes;
    for (int i = 0; i < 1024; ++i) bytes.push_back(static_cast<unsigned char>(255 - i % 256));
    return bytes;
}

// A column description of an interface type with its length and decimals.
inline dbif_coldesc_t coldesc(int type, unsigned length, unsigned decimals = 0) {
    dbif_coldesc_t d;
    d.type = type;
    d.length = length;
    d.decimals = decimals;
    return d;
}
// A column is described with the type, length and decimals of want.
inline void expectDescribed(const dbif_coldesc_t& got, const dbif_coldesc_t& want) {
    EXPECT_EQ(got.type, want.type);
    EXPECT_EQ(got.length, want.length);
    EXPECT_EQ(got.decimals, want.decimals);
}

// A batch holding rows (all of the same width).
inline void fillBatch(DbIfRowBatch* batch, const Rows& rows) {
    batch->reset(rows.empty() ? 0 : static_cast<unsigned>(rows[0].size()));
    for (const dbif_fakerow_t& values : rows) {
        size_t r = batch->addRow();
        for (unsigned c = 0; c < values.size(); ++c) dbif_fakeputvalue(batch, r, c, values[c]);
    }
}

inline Rows batchRows(DbIfRowBatch& batch) {
    Rows rows;
    for (size_t r = 0; r < batch.rows(); ++r) {
        const dbif_cell_t* cells = batch.row(r);
        dbif_fakerow_t values;
        for (unsigned c = 0; c < batch.width(); ++c) values.push_back(dbif_fakefromcell(cells[c]));
        rows.push_back(std::move(values));
    }
    return rows;
}

// The comm area of a connection as text for failure messages.
inline std::string commText(const DbIfConnection& conn) {
    const dbif_commarea_t& a = conn.commArea();
    return "db code " + std::to_string(a.dbCode) + ", rows " + std::to_string(a.rowCount) + ": " +
           ul_utf16to8(a.errorText.c_str(), a.errorText.size());
}

// A code that reports a failure rather than success or a fetch status.
inline bool isFailureCode(int rc) {
    return rc != DBIF_RC_OK && rc != DBIF_RC_PARTIAL && rc != DBIF_RC_LAST_BATCH &&
           rc != DBIF_RC_NO_MORE_ROWS;
}

// A fixture with a connected FAKE connection; the scripted answers and recorded calls are
// reset after each test.
class FakeConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dbif_fake_register();
        conn_ = dbif_open(u"FAKE");
        ASSERT_NE(conn_, nullptr);
        ASSERT_EQ(conn_->connect(), DBIF_RC_OK);
    }
    void TearDown() override { dbif_fake_reset(); }

    std::unique_ptr<DbIfConnection> conn_;
};

// The result of running a query to its end.
struct QueryResult {
    int rc = DBIF_RC_OK;       // the first code that is neither success nor a fetch status
    std::u16string errorText;  // the comm area's text right after that code
    std::vector<dbif_coldesc_t> columns;
    Rows rows;
    std::vector<int> fetchCodes;  // one per exeRead
};

// Prepares, reads in batches of maxRows until a code other than PARTIAL, and ends the read.
inline QueryResult runQuery(DbIfConnection& conn, const std::u16string& sql,
                            const Rows& params = {}, unsigned maxRows = 100) {
    QueryResult result;
    std::unique_ptr<DbIfStatement> stmt;
    result.rc = conn.prepare(sql.c_str(), DBIF_CLASS_READ, &stmt);
    if (result.rc) return result;
    DbIfRowBatch paramBatch;
    fillBatch(&paramBatch, params);
    result.rc = stmt->begRead(params.empty() ? nullptr : &paramBatch);
    if (result.rc) return result;
    result.rc = stmt->describe(&result.columns);
    if (result.rc) return result;
    DbIfRowBatch batch;
    for (;;) {
        int rc = stmt->exeRead(&batch, maxRows);
        result.fetchCodes.push_back(rc);
        if (isFailureCode(rc)) {
            result.rc = rc;
            result.errorText = conn.commArea().errorText;
            stmt->endRead();
            return result;
        }
        Rows got = batchRows(batch);
        result.rows.insert(result.rows.end(), got.begin(), got.end());
        if (rc != DBIF_RC_PARTIAL && rc != DBIF_RC_OK) break;
    }
    result.rc = stmt->endRead();
    return result;
}

// Prepares and runs a modify over the parameter rows (once without parameters when rows is
// empty). Returns its code; *processed gets the rows processed.
inline int runModify(DbIfConnection& conn, const std::u16string& sql, const Rows& rows,
                     unsigned long* processed, int stmtClass = DBIF_CLASS_INSERT) {
    std::unique_ptr<DbIfStatement> stmt;
    *processed = 0;
    if (int rc = conn.prepare(sql.c_str(), stmtClass, &stmt)) return rc;
    DbIfRowBatch batch;
    fillBatch(&batch, rows);
    return stmt->modify(rows.empty() ? nullptr : &batch, processed);
}

// Trace lines an engine reported, with their levels.
struct TraceLog {
    std::vector<std::string> lines;
    std::vector<int> levels;

    static void receive(void* context, const char*, int, int level, const char16_t* text) {
        auto* log = static_cast<TraceLog*>(context);
        log->lines.push_back(ul_utf16to8(text));
        log->levels.push_back(level);
    }
    size_t countPrefix(const std::string& prefix) const {
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
            return l.compare(0, prefix.size(), prefix) == 0;
        }));
    }
};

// The ODBC connection string for the database an "ODBC_<backend>" test parameter names, or
// empty when the environment has no such database: SQLite on the file `sqliteFile`, the
// PostgreSQL server of scripts/pgtest.sh, the MariaDB server of scripts/mariadbtest.sh.
inline std::string odbcConnectionString(const std::string& backend, const std::string& sqliteFile) {
    auto env = [](const char* name) { return std::string(getenv(name) ? getenv(name) : ""); };
    if (backend == "SQLITE") return "Driver=SQLite3;Database=" + sqliteFile + ";Timeout=60000";
    if (backend == "PGSQL" && getenv("PGHOST"))
        return "Driver=PostgreSQL Unicode;Servername=" + env("PGHOST") + ";Port=" + env("PGPORT") +
               ";Database=" + env("PGDATABASE") + ";Username=" + env("PGUSER") +
               ";UseDeclareFetch=1";
    if (backend == "MARIADB" && getenv("TABRIX_ODBC_MARIADB"))
        return env("TABRIX_ODBC_MARIADB") + ";Database=tabrix_test";
    return "";
}

// A connected session of the engine named by the parameter: SQLite on a fresh, empty database
// file in WAL mode (the mode to choose when connections read while others write; the engine
// keeps whatever mode it finds), PostgreSQL when the environment names a server (PGHOST or
// dbs_pgsql_conninfo; scripts/pgtest.sh provides one), or the ODBC engine ("ODBC_SQLITE",
// "ODBC_PGSQL", "ODBC_MARIADB") on such a database through its driver. Tables are named after
// the running test (its name without the parameter, at most 40 characters, lower case, other
// characters as "_") so that tests running side by side never share one, and dropped at its
// end, so the suite can run again on the same database.
class EngineTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (backend() == "SQLITE") {
            ASSERT_TRUE(dir_.ok());
            setenv("dbs_sqlite_db", dir_.write("engine.db", "").c_str(), 1);
            const std::string wal =
                "sqlite3 '" + dir_.path("engine.db") + "' 'PRAGMA journal_mode=WAL' >/dev/null";
            ASSERT_EQ(system(wal.c_str()), 0);
        } else if (backend() == "PGSQL" && !getenv("PGHOST") && !getenv("dbs_pgsql_conninfo")) {
            GTEST_SKIP() << "no PostgreSQL server: neither PGHOST nor dbs_pgsql_conninfo is set "
                            "(scripts/pgtest.sh run ... provides one)";
        }
        if (odbc()) {
            const std::string conninfo = odbcConnectionString(backend(), dir_.path("engine.db"));
            if (conninfo.empty())
                GTEST_SKIP() << "no " << backend() << " database for ODBC (scripts/pgtest.sh and "
                             << "scripts/mariadbtest.sh provide them)";
            setenv("dbs_odbc_conninfo", conninfo.c_str(), 1);
        }
        conn_ = open();
        ASSERT_TRUE(conn_) << "this build has no " << GetParam() << " engine";
        ASSERT_EQ(conn_->connect(), DBIF_RC_OK) << commText(*conn_);
    }
    void TearDown() override {
        if (!conn_) return;
        traceOn(0);
        conn_->rollback();
        for (const std::u16string& t : tables_) exec(u"DROP TABLE IF EXISTS " + t);
        conn_->commit();
        conn_->disconnect();
        if (odbc()) unsetenv("dbs_odbc_conninfo");
    }

    // The database behind the engine: the parameter without its "ODBC_".
    std::string backend() const { return odbc() ? GetParam().substr(5) : GetParam(); }
    bool odbc() const { return GetParam().rfind("ODBC_", 0) == 0; }
    bool sqlite() const { return backend() == "SQLITE"; }
    std::unique_ptr<DbIfConnection> open() {
        return dbif_open(odbc() ? u"ODBC" : ul_utf8to16(GetParam().c_str()).c_str());
    }
    // Named after the test without its parameter; ODBC instances apart, since they share the
    // server of the native engine and run beside it.
    std::u16string prefix() const {
        std::u16string prefix = odbc() ? u"dbif_odbc_" : u"dbif_";
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char c : name.substr(0, std::min(name.find('/'), size_t{40}))) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            prefix.push_back(isalnum(static_cast<unsigned char>(c)) ? c : u'_');
        }
        return prefix;
    }
    // The name of a table the test makes itself, dropped at the end like the others.
    std::u16string named(const char16_t* suffix) {
        tables_.push_back(prefix() + u"_" + suffix);
        return tables_.back();
    }
    // prefix + "_" + suffix, created anew (dropped first) with these columns and committed.
    std::u16string table(const char16_t* suffix, const std::u16string& columns) {
        std::u16string name = named(suffix);
        EXPECT_EQ(exec(u"DROP TABLE IF EXISTS " + name), DBIF_RC_OK) << commText(*conn_);
        EXPECT_EQ(exec(u"CREATE TABLE " + name + u" (" + columns + u")"), DBIF_RC_OK)
            << commText(*conn_);
        EXPECT_EQ(conn_->commit(), DBIF_RC_OK) << commText(*conn_);
        return name;
    }
    // A table (id, v type) filled with values ({bound} or {bound, read back}) and read back:
    // the values come back, and v is described as desc, named in the tool's case whatever case
    // the table has it in.
    void expectRoundTrip(const char16_t* type, const dbif_coldesc_t& desc, const Rows& values) {
        SCOPED_TRACE(ul_utf16to8(type));
        const std::u16string suffix = u"t" + ul_utf8to16(std::to_string(++roundTrips_).c_str());
        std::u16string t =
            table(suffix.c_str(), u"id INTEGER NOT NULL PRIMARY KEY, v " + std::u16string(type));
        Rows params, expected;
        for (size_t i = 0; i < values.size(); ++i) {
            params.push_back({I(static_cast<int64_t>(i)), values[i][0]});
            expected.push_back({values[i].back()});
        }
        unsigned long processed = 0;
        ASSERT_EQ(runModify(*conn_, u"INSERT INTO " + t + u" VALUES (?, ?)", params, &processed),
                  DBIF_RC_OK)
            << commText(*conn_);
        EXPECT_EQ(processed, params.size());
        QueryResult r = runQuery(*conn_, u"SELECT v FROM " + t + u" ORDER BY id");
        ASSERT_EQ(r.rc, DBIF_RC_OK) << commText(*conn_);
        EXPECT_EQ(r.rows, expected);
        ASSERT_EQ(r.columns.size(), 1u);
        EXPECT_EQ(r.columns[0].name, u"V");
        expectDescribed(r.columns[0], desc);
    }
    int exec(const std::u16string& sql) { return conn_->execute(sql.c_str()); }
    // A statement of conn_ for sql; null, and the test failed, when it does not prepare.
    std::unique_ptr<DbIfStatement> prepared(const std::u16string& sql,
                                            int stmtClass = DBIF_CLASS_READ) {
        std::unique_ptr<DbIfStatement> stmt;
        EXPECT_EQ(conn_->prepare(sql.c_str(), stmtClass, &stmt), DBIF_RC_OK)
            << ul_utf16to8(sql.c_str()) << ": " << commText(*conn_);
        return stmt;
    }
    // A query of conn_ whose read has begun without parameters; null, and the test failed,
    // when it does not begin.
    std::unique_ptr<DbIfStatement> reading(const std::u16string& sql) {
        std::unique_ptr<DbIfStatement> stmt = prepared(sql);
        if (!stmt) return stmt;
        const int rc = stmt->begRead(nullptr);
        EXPECT_EQ(rc, DBIF_RC_OK) << ul_utf16to8(sql.c_str()) << ": " << commText(*conn_);
        if (rc != DBIF_RC_OK) stmt.reset();
        return stmt;
    }
    // The single value of a query (NULL when there is none).
    dbif_fakevalue_t value(const std::u16string& sql, const Rows& params = {},
                           DbIfConnection* conn = nullptr) {
        QueryResult r = runQuery(conn ? *conn : *conn_, sql, params);
        EXPECT_EQ(r.rc, DBIF_RC_OK) << ul_utf16to8(sql.c_str()) << ": " << commText(*conn_);
        return r.rows.size() == 1 && r.rows[0].size() == 1 ? r.rows[0][0] : N();
    }
    int64_t count(const std::u16string& t, DbIfConnection* conn = nullptr) {
        dbif_fakevalue_t v = value(u"SELECT COUNT(*) FROM " + t, {}, conn);
        return v.kind == dbif_kind::integer ? v.integer : -1;
    }
    // Inserts ids 1..n into a table (id, ...).
    void insertIds(const std::u16string& t, int n) {
        Rows rows;
        for (int i = 1; i <= n; ++i) rows.push_back({I(i)});
        unsigned long processed = 0;
        ASSERT_EQ(runModify(*conn_, u"INSERT INTO " + t + u" (id) VALUES (?)", rows, &processed),
                  DBIF_RC_OK)
            << commText(*conn_);
        ASSERT_EQ(processed, static_cast<unsigned long>(n));
    }
    void traceOn(int level) {
        dbif_control_t arg;
        arg.intValue = level;
        arg.trace = level ? TraceLog::receive : nullptr;
        arg.traceContext = &trace_;
        trace_ = TraceLog();
        ASSERT_EQ(conn_->control(DBIF_CTL_TRACE, &arg), DBIF_RC_OK);
    }

    TempDir dir_;
    std::unique_ptr<DbIfConnection> conn_;
    std::vector<std::u16string> tables_;
    int roundTrips_ = 0;
    TraceLog trace_;
};

inline std::string engineName(const ::testing::TestParamInfo<std::string>& info) {
    return info.param;
}

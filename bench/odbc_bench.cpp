// Fetching through the ODBC engine: a PostgreSQL table of 1,000,000 rows of five columns
// (integer, big integer, character, numeric, floating point) is read three ways side by side in
// one run: through the database interface's ODBC engine (PostgreSQL's ODBC driver), through the
// native PostgreSQL engine, and through a plain ODBC C loop (SQLFetch into column-wise bound
// row arrays, the values in the same forms the engine delivers). Printed: the seconds of each
// (best of the repeats) and the ratios ODBC engine / plain ODBC loop and native / ODBC engine.
//
// Needs the server of scripts/pgtest.sh (PGHOST, PGPORT, PGDATABASE, PGUSER) and the driver
// "PostgreSQL Unicode" (package odbc-postgresql), fetching through cursors of 1000 rows
// (UseDeclareFetch=1, so that memory stays bounded) in both ODBC ways:
//
//   scripts/pgtest.sh run build/bench/odbc_bench [rows [repeats]]
#include <sql.h>
#include <sqlext.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "benchutil.h"
#include "dbif.h"

namespace {

constexpr char kTable[] = "TABRIX_ODBC_BENCH";  // quoted: the native engine keeps its case
constexpr unsigned kBatchRows = 1000;

[[noreturn]] void die(const std::string& what) {
    fprintf(stderr, "odbc_bench: %s\n", what.c_str());
    exit(1);
}

std::string env(const char* name) {
    const char* v = getenv(name);
    return v ? v : "";
}

std::string odbcConnectionString() {
    return "Driver=PostgreSQL Unicode;Servername=" + env("PGHOST") + ";Port=" + env("PGPORT") +
           ";Database=" + env("PGDATABASE") + ";Username=" + env("PGUSER") +
           ";UseDeclareFetch=1;Fetch=1000";
}

std::unique_ptr<DbIfConnection> connect(const char16_t* engine) {
    std::unique_ptr<DbIfConnection> c = dbif_open(engine);
    if (!c || c->connect() != DBIF_RC_OK)
        die("connect " + ul_utf16to8(engine) + ": " +
            (c ? ul_utf16to8(c->commArea().errorText.c_str()) : std::string("no engine")));
    return c;
}

void exec(DbIfConnection& c, const std::string& sql) {
    if (c.execute(ul_utf8to16(sql.c_str()).c_str()) != DBIF_RC_OK)
        die(sql + ": " + ul_utf16to8(c.commArea().errorText.c_str()));
}

// Reads the whole table through an engine of the database interface; returns the rows read.
long fetchThroughEngine(DbIfConnection& c, const std::u16string& sql) {
    c.rollback();  // each read in a transaction of its own, as the plain loop's
    std::unique_ptr<DbIfStatement> stmt;
    if (c.prepare(sql.c_str(), DBIF_CLASS_READ, &stmt) != DBIF_RC_OK || stmt->begRead(nullptr))
        die("read: " + ul_utf16to8(c.commArea().errorText.c_str()));
    DbIfRowBatch batch;
    long rows = 0;
    for (;;) {
        int rc = stmt->exeRead(&batch, kBatchRows);
        if (rc != DBIF_RC_PARTIAL && rc != DBIF_RC_LAST_BATCH && rc != DBIF_RC_NO_MORE_ROWS)
            die("fetch: " + ul_utf16to8(c.commArea().errorText.c_str()));
        rows += static_cast<long>(batch.rows());
        for (size_t r = 0; r < batch.rows(); ++r) (void)batch.row(r);
        if (rc != DBIF_RC_PARTIAL) break;
    }
    stmt->endRead();
    return rows;
}

[[noreturn]] void dieOdbc(const char* what, SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {0}, text[512] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLGetDiagRec(type, handle, 1, state, &native, text, sizeof text, &length);
    die(std::string(what) + ": " + reinterpret_cast<char*>(text) + " (SQLSTATE " +
        reinterpret_cast<char*>(state) + ")");
}

// The plain loop's connection, made once like the engine's.
struct PlainConnection {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    PlainConnection() {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
        SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
        std::string conn = odbcConnectionString();
        if (!SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, (SQLCHAR*)conn.c_str(), SQL_NTS, nullptr,
                                            0, nullptr, SQL_DRIVER_NOPROMPT)))
            dieOdbc("plain ODBC connect", SQL_HANDLE_DBC, dbc);
        SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                          0);
    }
    ~PlainConnection() {
        SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
        SQLDisconnect(dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
};

// The plain loop: the same statement, row arrays of kBatchRows bound column by column.
long fetchPlainOdbc(SQLHDBC dbc, const std::string& sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    SQLULEN fetched = 0;
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kBatchRows), 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    std::vector<SQLBIGINT> id(kBatchRows), b(kBatchRows);
    std::vector<SQLWCHAR> name(kBatchRows * 82);
    std::vector<char> amount(kBatchRows * 80);
    std::vector<double> f(kBatchRows);
    std::vector<SQLLEN> ind(kBatchRows * 5);
    SQLBindCol(stmt, 1, SQL_C_SBIGINT, id.data(), sizeof(SQLBIGINT), &ind[0]);
    SQLBindCol(stmt, 2, SQL_C_SBIGINT, b.data(), sizeof(SQLBIGINT), &ind[kBatchRows]);
    SQLBindCol(stmt, 3, SQL_C_WCHAR, name.data(), 82 * sizeof(SQLWCHAR), &ind[2 * kBatchRows]);
    SQLBindCol(stmt, 4, SQL_C_CHAR, amount.data(), 80, &ind[3 * kBatchRows]);
    SQLBindCol(stmt, 5, SQL_C_DOUBLE, f.data(), sizeof(double), &ind[4 * kBatchRows]);
    if (!SQL_SUCCEEDED(SQLExecDirect(stmt, (SQLCHAR*)sql.c_str(), SQL_NTS)))
        dieOdbc("plain ODBC execute", SQL_HANDLE_STMT, stmt);
    long rows = 0;
    long sum = 0;
    for (;;) {
        SQLRETURN r = SQLFetch(stmt);
        if (r == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(r)) dieOdbc("plain ODBC fetch", SQL_HANDLE_STMT, stmt);
        rows += static_cast<long>(fetched);
        sum += static_cast<long>(id[0]);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
    return sum >= 0 ? rows : -1;
}

template <class Run>
double best(int repeats, long expected, const char* what, Run&& run) {
    double bestTime = 1e30;
    for (int i = 0; i < repeats; ++i) {
        double start = benchNow();
        long rows = run();
        double seconds = benchNow() - start;
        if (rows != expected)
            die(std::string(what) + " read " + std::to_string(rows) + " rows, not " +
                std::to_string(expected));
        bestTime = std::min(bestTime, seconds);
    }
    return bestTime;
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc > 1 ? atol(argv[1]) : 1000000;
    const int repeats = argc > 2 ? atoi(argv[2]) : 3;
    if (!getenv("PGHOST")) die("no PostgreSQL server: run under scripts/pgtest.sh run ...");
    setenv("dbs_odbc_conninfo", odbcConnectionString().c_str(), 1);
    std::unique_ptr<DbIfConnection> native = connect(u"PGSQL");
    const std::string table = std::string("\"") + kTable + "\"";
    exec(*native, "DROP TABLE IF EXISTS " + table);
    exec(*native, "CREATE TABLE " + table +
                      " (id INTEGER, b BIGINT, name VARCHAR(40), amount NUMERIC(12,2), "
                      "f DOUBLE PRECISION)");
    exec(*native, "INSERT INTO " + table +
                      " SELECT i, i::bigint * 1000003, 'name ' || i, i / 100.0, i / 7.0 "
                      "FROM generate_series(1, " + std::to_string(rows) + ") AS g(i)");
    exec(*native, "ANALYZE " + table);
    if (native->commit() != DBIF_RC_OK) die("commit");
    std::unique_ptr<DbIfConnection> odbc = connect(u"ODBC");

    const std::string sql = "SELECT id, b, name, amount, f FROM " + table;
    const std::u16string sql16 = ul_utf8to16(sql.c_str());
    double tPlain;
    {
        PlainConnection plain;
        tPlain = best(repeats, rows, "plain ODBC", [&] { return fetchPlainOdbc(plain.dbc, sql); });
    }
    double tOdbc = best(repeats, rows, "ODBC engine", [&] { return fetchThroughEngine(*odbc, sql16); });
    double tNative =
        best(repeats, rows, "native engine", [&] { return fetchThroughEngine(*native, sql16); });
    printf("rows %ld x 5 columns, best of %d\n", rows, repeats);
    printf("plain ODBC loop      %8.3f s\n", tPlain);
    printf("ODBC engine          %8.3f s   ODBC engine / plain ODBC loop: %.2f (target <= 1.30)\n",
           tOdbc, tOdbc / tPlain);
    printf("native PGSQL engine  %8.3f s   native / ODBC engine: %.2f\n", tNative, tNative / tOdbc);
    odbc->disconnect();  // its transaction holds a lock on the table
    native->rollback();
    exec(*native, "DROP TABLE " + table);
    native->commit();
    return 0;
}

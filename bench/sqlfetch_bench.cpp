// Fetching through the SQL layer against the engine's own client library: a table of 1,000,000
// rows of five columns (integer, big integer, character, numeric, floating point) is read
// with ULSQLStmt and a callback that only counts (three ways: raw bytes and text of every
// column; raw bytes of every column and text of the first, as a checksum scan reads; raw bytes
// only), and with a plain loop over the client library's C API that reads every value in its
// natural form, side by side in one run. The ratios against the C API are printed per engine. A
// second figure is the peak memory of a process that fetches 5,000,000 rows through ULSQLStmt
// (measured in a fresh child process per engine, so that nothing of this process counts).
//
// SQLite runs on a temporary file; PostgreSQL when PGHOST or dbs_pgsql_conninfo names a
// server (scripts/pgtest.sh run ...).
//
//   sqlfetch_bench [rows [memrows [repeats]]]
#include <postgresql/libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "benchutil.h"
#include "dbif.h"
#include "ulerror.h"
#include "ulsqlbase.h"
#include "ulstring.h"

namespace {

const ul_sqlfielddesc_t kColumns[] = {
    {u"ID", UL_SQLFLD_INT, -1, 0, 4},     {u"B", UL_SQLFLD_INT, -1, 0, 8},
    {u"NAME", UL_SQLFLD_CHAR, -1, 0, 40}, {u"AMOUNT", 0, DBIF_TYPE_PACKED, 12 | (2u << 16), 7},
    {u"F", UL_SQLFLD_FLOAT, -1, 0, 8},
};
constexpr int kNumColumns = 5;

// Quoted as the tool's statements reach the server, so that the client-library loops, which
// send it unchanged, find the table the SQL layer created.
std::string selectText(const std::string& table) {
    std::string sql = "SELECT \"ID\", \"B\", \"NAME\", \"AMOUNT\", \"F\" FROM \"";
    sql += table;
    sql += '"';
    return sql;
}

// Counts rows; reads nothing. With keyTextOnly it wants the text of the first column only, as
// a checksum scan does (raw bytes of every field, text of the key).
class Count : public ULSQLCallBack {
  public:
    explicit Count(bool keyTextOnly = false) : keyTextOnly_(keyTextOnly) {}
    int handleRow(unsigned, const unsigned char**, const char16_t**, unsigned*, unsigned) override {
        ++rows;
        return 0;
    }
    bool wantsText(unsigned column) const override { return !keyTextOnly_ || column == 0; }
    unsigned long rows = 0;

  private:
    bool keyTextOnly_;
};

// The ways through ULSQLStmt the benchmark times.
enum class StmtMode { rawAndText, rawAndKeyText, rawOnly };

void createTable(bool pg, const std::string& table, long rows) {
    benchRunSql("DROP TABLE " + table);
    benchRunSql(
        "CREATE TABLE " + table +
        " (ID INTEGER, B BIGINT, NAME VARCHAR(40), AMOUNT NUMERIC(12,2), F DOUBLE PRECISION)");
    const std::string n = std::to_string(rows);
    if (pg)
        benchRunSql(
            "INSERT INTO " + table +
            " SELECT g, g::bigint * 1000003, 'customer name ' || g, (g * 0.01 + 1)::numeric(12,2),"
            " g / 7.0::float8 FROM generate_series(1, " +
            n + ") g");
    else
        benchRunSql(
            "INSERT INTO " + table +
            " WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT " + n +
            ") SELECT x, x * 1000003, 'customer name ' || x, ROUND(x * 0.01 + 1, 2), x / 7.0 FROM "
            "c");
    if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) benchDie("commit");
}

// Rows through ULSQLStmt with typed descriptions: raw and text of every value, raw of every
// value and text of the first, or raw only (mode UL_SQLMODE_ANYUPDATE_RAWONLY).
unsigned long fetchStmt(const std::string& table, StmtMode how) {
    ULSQLStmt stmt;
    const std::u16string sql = ul_utf8to16(selectText(table).c_str());
    if (stmt.prepare(sql.c_str(), nullptr, 0, kColumns, kNumColumns, 0) < 0) benchDie("prepare");
    Count count(how == StmtMode::rawAndKeyText);
    const int mode = how == StmtMode::rawOnly ? UL_SQLMODE_ANYUPDATE_RAWONLY : 0;
    if (stmt.execute(&count, nullptr, mode) < 0) benchDie("execute");
    return count.rows;
}

// The same rows through the engine alone: batches of cells, no conversion, no callback.
unsigned long fetchEngine(const char* engine, const std::string& table) {
    std::unique_ptr<DbIfConnection> db = dbif_open(ul_utf8to16(engine).c_str());
    if (!db || db->connect() != DBIF_RC_OK) benchDie("engine connect");
    std::unique_ptr<DbIfStatement> stmt;
    const std::u16string sql = ul_utf8to16(selectText(table).c_str());
    if (db->prepare(sql.c_str(), DBIF_CLASS_READ, &stmt) != DBIF_RC_OK ||
        stmt->begRead(nullptr) != DBIF_RC_OK)
        benchDie("engine read");
    DbIfRowBatch batch;
    unsigned long rows = 0;
    for (;;) {
        const int rc = stmt->exeRead(&batch, 10000);
        if (rc == DBIF_RC_NO_MORE_ROWS) break;
        if (rc != DBIF_RC_PARTIAL && rc != DBIF_RC_LAST_BATCH) benchDie("engine fetch");
        rows += batch.rows();
        if (batch.rows()) batch.row(0);
        if (rc == DBIF_RC_LAST_BATCH) break;
    }
    stmt->endRead();
    stmt.reset();
    db->disconnect();
    return rows;
}

// The same rows through sqlite3_step, reading every value.
unsigned long fetchSqlite(const std::string& path, const std::string& table, long* checksum) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        benchDie("sqlite3_open");
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, selectText(table).c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        benchDie(sqlite3_errmsg(db));
    unsigned long rows = 0;
    long sum = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        sum += sqlite3_column_int64(stmt, 0);
        sum += sqlite3_column_int64(stmt, 1);
        sum += sqlite3_column_bytes(stmt, 2) + (sqlite3_column_text(stmt, 2) != nullptr);
        sum += sqlite3_column_bytes(stmt, 3) + (sqlite3_column_text(stmt, 3) != nullptr);
        sum += static_cast<long>(sqlite3_column_double(stmt, 4));
        ++rows;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    *checksum = sum;
    return rows;
}

// The same rows through a libpq cursor, fetched in batches of 10,000, reading every value.
unsigned long fetchPg(const std::string& table, long* checksum) {
    const char* conninfo = getenv("dbs_pgsql_conninfo");
    PGconn* conn = PQconnectdb(conninfo ? conninfo : "");
    if (PQstatus(conn) != CONNECTION_OK) benchDie(PQerrorMessage(conn));
    auto exec = [conn](const std::string& sql) {
        PGresult* r = PQexec(conn, sql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
            benchDie(PQerrorMessage(conn));
        return r;
    };
    PQclear(exec("BEGIN"));
    PQclear(exec("DECLARE c NO SCROLL CURSOR FOR " + selectText(table)));
    unsigned long rows = 0;
    long sum = 0;
    for (;;) {
        PGresult* r = exec("FETCH FORWARD 10000 FROM c");
        const int n = PQntuples(r);
        for (int i = 0; i < n; ++i) {
            for (int c = 0; c < kNumColumns; ++c)
                sum += PQgetlength(r, i, c) + (*PQgetvalue(r, i, c) != 0);
            ++rows;
        }
        PQclear(r);
        if (n == 0) break;
    }
    PQclear(exec("CLOSE c"));
    PQclear(exec("COMMIT"));
    PQfinish(conn);
    *checksum = sum;
    return rows;
}

// The same rows through libpq's single-row mode, reading every value.
unsigned long fetchPgSingleRow(const std::string& table, long* checksum) {
    const char* conninfo = getenv("dbs_pgsql_conninfo");
    PGconn* conn = PQconnectdb(conninfo ? conninfo : "");
    if (PQstatus(conn) != CONNECTION_OK) benchDie(PQerrorMessage(conn));
    if (!PQsendQuery(conn, selectText(table).c_str()) || !PQsetSingleRowMode(conn))
        benchDie(PQerrorMessage(conn));
    unsigned long rows = 0;
    long sum = 0;
    while (PGresult* r = PQgetResult(conn)) {
        const ExecStatusType status = PQresultStatus(r);
        if (status == PGRES_SINGLE_TUPLE) {
            for (int c = 0; c < kNumColumns; ++c)
                sum += PQgetlength(r, 0, c) + (*PQgetvalue(r, 0, c) != 0);
            ++rows;
        } else if (status != PGRES_TUPLES_OK) {
            benchDie(PQerrorMessage(conn));
        }
        PQclear(r);
    }
    PQfinish(conn);
    *checksum = sum;
    return rows;
}

// Child mode: connect, optionally fetch the table, print the peak resident size in KB.
int measure(const char* engine, const char* table, bool fetch) {
    setenv("dbms_type", engine, 1);
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
    unsigned long rows = fetch ? fetchStmt(table, StmtMode::rawAndText) : 0;
    printf("%ld %lu\n", benchPeakKb(), rows);
    (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);  // only read; the figures are printed
    return 0;
}

// Peak memory of a fresh process that fetches the table (or only connects).
bool childPeak(const char* engine, const std::string& table, bool fetch, long* kb,
               unsigned long* rows) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl("/proc/self/exe", "sqlfetch_bench", "--measure", engine, table.c_str(),
              fetch ? "fetch" : "connect", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buffer[128] = {};
    ssize_t n = read(fds[0], buffer, sizeof buffer - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return n > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           sscanf(buffer, "%ld %lu", kb, rows) == 2;
}

void benchEngine(const char* engine, long rows, long memRows, int repeats,
                 const std::string& sqlitePath) {
    const bool pg = strcmp(engine, "PGSQL") == 0;
    setenv("dbms_type", engine, 1);
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
    const std::string table = "BENCH_FETCH_" + std::to_string(getpid());
    const std::string big = table + "_BIG";
    double t0 = benchNow();
    createTable(pg, table, rows);
    printf("%s: created %ld rows in %.1f s\n", engine, rows, benchNow() - t0);
    fflush(stdout);

    // Alternating runs; the best of each counts, so that a busy machine hurts all alike. The
    // native baseline is the faster of the client library's ways.
    const StmtMode modes[] = {StmtMode::rawAndText, StmtMode::rawAndKeyText, StmtMode::rawOnly};
    double bestStmt[3] = {1e30, 1e30, 1e30};
    double bestEngine = 1e30, bestNative = 1e30;
    const char* nativeName = pg ? "libpq" : "sqlite3_step";
    for (int r = 0; r < repeats; ++r) {
        std::vector<unsigned long> natives;
        double start;
        for (int m = 0; m < 3; ++m) {
            start = benchNow();
            natives.push_back(fetchStmt(table, modes[m]));
            bestStmt[m] = std::min(bestStmt[m], benchNow() - start);
        }
        start = benchNow();
        const unsigned long viaEngine = fetchEngine(engine, table);
        bestEngine = std::min(bestEngine, benchNow() - start);
        long checksum = 0;
        if (pg) {
            start = benchNow();
            natives.push_back(fetchPg(table, &checksum));
            double cursor = benchNow() - start;
            start = benchNow();
            natives.push_back(fetchPgSingleRow(table, &checksum));
            double single = benchNow() - start;
            if (std::min(cursor, single) < bestNative)
                nativeName = cursor < single ? "libpq cursor" : "libpq single-row mode";
            bestNative = std::min({bestNative, cursor, single});
        } else {
            start = benchNow();
            natives.push_back(fetchSqlite(sqlitePath, table, &checksum));
            bestNative = std::min(bestNative, benchNow() - start);
        }
        natives.push_back(viaEngine);
        for (unsigned long n : natives)
            if (n != static_cast<unsigned long>(rows)) benchDie("row count " + std::to_string(n));
    }
    printf(
        "%s: %ld rows x %d columns, best of %d, time and ratio against %s:\n"
        "  ULSQLStmt (raw and text)       %.3f s  ratio %.2f\n"
        "  ULSQLStmt (raw + key text)     %.3f s  ratio %.2f   (checksum scan target 1.20)\n"
        "  ULSQLStmt (raw only)           %.3f s  ratio %.2f\n"
        "  engine batches alone           %.3f s  ratio %.2f\n"
        "  %-30s %.3f s\n",
        engine, rows, kNumColumns, repeats, nativeName, bestStmt[0], bestStmt[0] / bestNative,
        bestStmt[1], bestStmt[1] / bestNative, bestStmt[2], bestStmt[2] / bestNative, bestEngine,
        bestEngine / bestNative, nativeName, bestNative);
    fflush(stdout);

    t0 = benchNow();
    createTable(pg, big, memRows);
    printf("%s: created %ld rows in %.1f s\n", engine, memRows, benchNow() - t0);
    fflush(stdout);
    long baseKb = 0, peak = 0;
    unsigned long fetched = 0, none = 0;
    if (!childPeak(engine, big, false, &baseKb, &none) ||
        !childPeak(engine, big, true, &peak, &fetched))
        benchDie("memory measurement failed");
    printf(
        "%s: peak memory fetching %lu rows through ULSQLStmt: %.1f MB (connected, before the "
        "fetch: %.1f MB)\n",
        engine, fetched, peak / 1024.0, baseKb / 1024.0);
    fflush(stdout);
    benchRunSql("DROP TABLE " + table);
    benchRunSql("DROP TABLE " + big);
    if (ul_sqldisconnect(0) < 0) benchDie("disconnect");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "--measure") == 0)
        return measure(argv[2], argv[3], strcmp(argv[4], "fetch") == 0);
    const long rows = argc > 1 ? atol(argv[1]) : 1000000;
    const long memRows = argc > 2 ? atol(argv[2]) : 5000000;
    const int repeats = argc > 3 ? atoi(argv[3]) : 3;

    benchOnEngines([&](const char* engine, const std::string& sqlitePath) {
        benchEngine(engine, rows, memRows, repeats, sqlitePath);
    });
    return 0;
}

// Whole-table checksum scan against the engine's own read. A table of ROWS rows and six
// columns (key MANDT, DOCNR; POSNR integer, AMOUNT decimal, NAME text, F floating point) is
// checksummed by `tabrix crctable` on a new CRC file, and, side by side in the same run, read
// by the engine alone: SQLite through a C loop over sqlite3_step that reads every column,
// PostgreSQL through COPY (SELECT ...) TO STDOUT drained through libpq. The ordered block scan
// (sqloptions=nocrcquickrun: `lcrc:` lines in key order) is set against the read with ORDER BY
// key; the default first run, a quick checksum without ORDER BY, against the read without it.
// Every round runs each once; the best of each counts, so that a busy machine disturbs the
// ratios less. The CRC file's counts must add up to the table's rows.
//
// Memory: the peak resident size of the crctable process over the table and over a table of
// MEMROWS rows; it must stay under 50 MB and must not grow with the table.
//
// SQLite runs on a temporary file; PostgreSQL when PGHOST or dbs_pgsql_conninfo names a
// server (scripts/pgtest.sh run ...).
//
//   crctable_bench [rows [memrows [rounds]]]     defaults 1000000, 5000000, 3; memrows 0: skip
#include <fcntl.h>
#include <postgresql/libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "benchutil.h"

namespace {

constexpr double kMemoryLimitMb = 50;

const char* const kColumnList = "\"MANDT\", \"DOCNR\", \"POSNR\", \"AMOUNT\", \"NAME\", \"F\"";

// Quoted as the tool's statements reach the server, so that the client-library loops, which
// send it unchanged, find the table the SQL layer created.
std::string selectText(const std::string& table, bool ordered) {
    return std::string("SELECT ") + kColumnList + " FROM \"" + table + "\"" +
           (ordered ? " ORDER BY \"MANDT\", \"DOCNR\"" : "");
}

void createTable(bool pg, const std::string& table, long rows) {
    benchRunSql("DROP TABLE " + table);
    benchRunSql("CREATE TABLE " + table +
                " (MANDT CHAR(3) NOT NULL, DOCNR CHAR(10) NOT NULL, POSNR INTEGER, AMOUNT "
                "NUMERIC(15,2), NAME VARCHAR(40), F DOUBLE PRECISION, PRIMARY KEY (MANDT, DOCNR))" +
                (pg ? "" : " WITHOUT ROWID"));
    const std::string n = std::to_string(rows);
    if (pg)
        benchRunSql("INSERT INTO " + table +
                    " SELECT '100', lpad(g::text, 10, '0'), g % 1000, (g * 0.01)::numeric(15,2),"
                    " 'customer name ' || g, g / 7.0::float8 FROM generate_series(1, " +
                    n + ") g");
    else
        benchRunSql("INSERT INTO " + table +
                    " WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT " + n +
                    ") SELECT '100', substr('0000000000' || x, -10, 10), x % 1000,"
                    " ROUND(x * 0.01, 2), 'customer name ' || x, x / 7.0 FROM c");
    if (pg) benchRunSql("ANALYZE " + table);
    if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) benchDie("commit");
}

// The read through sqlite3_step, every column in its natural form.
unsigned long readSqlite(const std::string& path, const std::string& table, bool ordered) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        benchDie("sqlite3_open");
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, selectText(table, ordered).c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        benchDie(sqlite3_errmsg(db));
    unsigned long rows = 0, sum = 0;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int c : {0, 1, 4}) {
            const unsigned char* text = sqlite3_column_text(stmt, c);
            sum += sqlite3_column_bytes(stmt, c) + (text ? text[0] : 0);
        }
        sum += sqlite3_column_int64(stmt, 2);
        sum += static_cast<unsigned long>(sqlite3_column_double(stmt, 3));
        sum += static_cast<unsigned long>(sqlite3_column_double(stmt, 5));
        ++rows;
    }
    if (rc != SQLITE_DONE) benchDie(sqlite3_errmsg(db));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    if (sum == 0) benchDie("nothing read");
    return rows;
}

// The read as COPY ... TO STDOUT, every row drained through libpq.
unsigned long readPg(const std::string& table, bool ordered) {
    const char* conninfo = getenv("dbs_pgsql_conninfo");
    PGconn* conn = PQconnectdb(conninfo ? conninfo : "");
    if (PQstatus(conn) != CONNECTION_OK) benchDie(PQerrorMessage(conn));
    PGresult* r = PQexec(conn, ("COPY (" + selectText(table, ordered) + ") TO STDOUT").c_str());
    if (PQresultStatus(r) != PGRES_COPY_OUT) benchDie(PQerrorMessage(conn));
    PQclear(r);
    unsigned long rows = 0, bytes = 0;
    char* line = nullptr;
    int n;
    while ((n = PQgetCopyData(conn, &line, 0)) > 0) {
        bytes += static_cast<unsigned long>(n) + static_cast<unsigned char>(line[0]);
        ++rows;
        PQfreemem(line);
    }
    if (n != -1) benchDie(PQerrorMessage(conn));
    r = PQgetResult(conn);
    if (PQresultStatus(r) != PGRES_COMMAND_OK) benchDie(PQerrorMessage(conn));
    PQclear(r);
    PQfinish(conn);
    if (bytes == 0) benchDie("nothing read");
    return rows;
}

struct ToolRun {
    bool ok = false;
    int exitCode = -1;
    double seconds = 0;
    double peakMb = 0;
    unsigned long rowsInFile = 0;  // sum of the counts of the CRC file's lines
    std::string failure;           // what went wrong, with the end of the output
};

// Sum of the counts of the checksum lines ("lcrc: COUNT ...", "qcrc: COUNT ..."): a first
// whole-table scan writes only top-level lines, which together hold every row once.
unsigned long countedRows(const std::string& crcFile) {
    std::ifstream in(crcFile);
    std::string line;
    unsigned long rows = 0;
    while (std::getline(in, line))
        if (line.rfind("lcrc:", 0) == 0 || line.rfind("qcrc:", 0) == 0)
            rows += strtoul(line.c_str() + 5, nullptr, 10);
    return rows;
}

std::string tail(const std::string& path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.size() > 800 ? text.substr(text.size() - 800) : text;
}

// Runs `tabrix [sqloptions=nocrcquickrun] crctable table=TABLE <dir>/<table>.CRC` on a new
// file in dir (its working directory), with this process's environment (dbms_type and the
// dbs_* settings).
ToolRun runCrcTable(const std::string& dir, const std::string& table, bool ordered) {
    ToolRun run;
    const std::string crcFile = dir + "/" + table + ".CRC", output = dir + "/crctable.out";
    unlink(crcFile.c_str());
    const std::string tableOption = "table=" + table;
    const double start = benchNow();
    const pid_t pid = fork();
    if (pid < 0) benchDie("fork");
    if (pid == 0) {
        const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(fd, 1);
        dup2(fd, 2);
        if (ordered)
            execl(TABRIX_BINARY, "tabrix", "sqloptions=nocrcquickrun", "crctable",
                  tableOption.c_str(), crcFile.c_str(), static_cast<char*>(nullptr));
        else
            execl(TABRIX_BINARY, "tabrix", "crctable", tableOption.c_str(), crcFile.c_str(),
                  static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) benchDie("wait4");
    run.seconds = benchNow() - start;
    run.peakMb = usage.ru_maxrss / 1024.0;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.rowsInFile = countedRows(crcFile);
    // A first scan without a reference file writes new checksums (bit 1) and asks the other
    // side to run (bit 2); any other result is a failure.
    run.ok = (run.exitCode & ~3) == 0 && (run.exitCode & 1);
    if (!run.ok)
        run.failure =
            "exit code " + std::to_string(run.exitCode) + ", output ends:\n" + tail(output);
    return run;
}

// The two ways a first run reads the table: the ordered block scan and the quick checksum.
struct Mode {
    const char* tool;
    const char* engine;
    bool ordered;
};
const Mode kModes[] = {{"crctable, ordered blocks", "read with ORDER BY key", true},
                       {"crctable, quick (default)", "read without ORDER BY", false}};

struct Best {
    double engine = 1e30, tool = 1e30, peakMb = 0;
};

// One round: each mode's engine read and crctable run once. False with failure set when
// crctable could not run.
bool runRound(bool pg, const std::string& dir, const std::string& sqlitePath,
              const std::string& table, long rows, Best best[2], std::string* failure) {
    for (int m = 0; m < 2; ++m) {
        const double start = benchNow();
        const unsigned long read = pg ? readPg(table, kModes[m].ordered)
                                      : readSqlite(sqlitePath, table, kModes[m].ordered);
        best[m].engine = std::min(best[m].engine, benchNow() - start);
        if (read != static_cast<unsigned long>(rows))
            benchDie("engine read " + std::to_string(read));
        if (!failure->empty()) continue;
        const ToolRun run = runCrcTable(dir, table, kModes[m].ordered);
        if (!run.ok) {
            *failure = run.failure;
            continue;
        }
        if (run.rowsInFile != static_cast<unsigned long>(rows))
            benchDie("the CRC file counts " + std::to_string(run.rowsInFile) + " rows");
        best[m].tool = std::min(best[m].tool, run.seconds);
        best[m].peakMb = std::max(best[m].peakMb, run.peakMb);
    }
    return failure->empty();
}

// Peak memory of each mode over a table of memRows rows against the figure over rows rows.
void measureMemory(const char* engine, bool pg, const std::string& dir, const std::string& big,
                   long rows, long memRows, const Best best[2]) {
    double t0 = benchNow();
    createTable(pg, big, memRows);
    printf("%s: created %ld rows in %.1f s\n", engine, memRows, benchNow() - t0);
    fflush(stdout);
    for (int m = 0; m < 2; ++m) {
        const ToolRun run = runCrcTable(dir, big, kModes[m].ordered);
        if (!run.ok) benchDie("crctable over " + big + ": " + run.failure);
        if (run.rowsInFile != static_cast<unsigned long>(memRows))
            benchDie("the CRC file counts " + std::to_string(run.rowsInFile) + " rows");
        const double peak = std::max(best[m].peakMb, run.peakMb);
        printf(
            "  %-26s peak memory %.1f MB over %ld rows, %.1f MB over %ld rows (growth %+.1f "
            "MB; limit %.0f MB %s); %.1f s\n",
            kModes[m].tool, best[m].peakMb, rows, run.peakMb, memRows, run.peakMb - best[m].peakMb,
            kMemoryLimitMb, peak <= kMemoryLimitMb ? "kept" : "EXCEEDED", run.seconds);
        fflush(stdout);
    }
    benchRunSql("DROP TABLE " + big);
}

void benchEngine(const char* engine, long rows, long memRows, int rounds,
                 const std::string& sqlitePath) {
    const bool pg = strcmp(engine, "PGSQL") == 0;
    setenv("dbms_type", engine, 1);
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
    const std::string table = "CRCBENCH" + std::to_string(getpid());
    const std::string big = table + "M";
    const double t0 = benchNow();
    createTable(pg, table, rows);
    printf("%s: created %ld rows x 6 columns in %.1f s\n", engine, rows, benchNow() - t0);
    fflush(stdout);
    const std::string dir = sqlitePath.substr(0, sqlitePath.rfind('/'));

    Best best[2];
    std::string failure;
    for (int round = 0; round < rounds; ++round)
        runRound(pg, dir, sqlitePath, table, rows, best, &failure);
    const char* baseline = pg ? "COPY ... TO STDOUT through libpq" : "sqlite3_step loop";
    printf("%s: %ld rows x 6 columns, best of %d (engine alone: %s)\n", engine, rows, rounds,
           baseline);
    for (int m = 0; m < 2; ++m) {
        printf("  %-26s %.3f s\n", kModes[m].engine, best[m].engine);
        if (failure.empty())
            printf("  %-26s %.3f s  ratio %.2f (target at most 1.20), peak memory %.1f MB\n",
                   kModes[m].tool, best[m].tool, best[m].tool / best[m].engine, best[m].peakMb);
    }
    if (!failure.empty()) printf("  crctable: not measured: %s\n", failure.c_str());
    fflush(stdout);

    if (memRows > 0 && failure.empty()) measureMemory(engine, pg, dir, big, rows, memRows, best);
    benchRunSql("DROP TABLE " + table);
    if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) benchDie("commit");
    if (ul_sqldisconnect(0) < 0) benchDie("disconnect");
    for (const std::string& name : {table, big}) unlink((dir + "/" + name + ".CRC").c_str());
    unlink((dir + "/crctable.out").c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc > 1 ? atol(argv[1]) : 1000000;
    const long memRows = argc > 2 ? atol(argv[2]) : 5000000;
    const int rounds = argc > 3 ? atoi(argv[3]) : 3;
    if (rows <= 0 || memRows < 0 || rounds <= 0) {
        fprintf(stderr, "usage: crctable_bench [rows [memrows [rounds]]]\n");
        return 2;
    }
    benchOnEngines([&](const char* engine, const std::string& sqlitePath) {
        benchEngine(engine, rows, memRows, rounds, sqlitePath);
    });
    return 0;
}

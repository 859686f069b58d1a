// Row counting against the engine's own client. TABLES tables of ROWS rows each and one table of
// BIGROWS rows are counted by `tabrix countrows` (a new output file each time) and, side by side
// in the same run, by the engine's client running the same SELECT COUNT(*) statements: psql -f
// over a script on PostgreSQL, a C loop over sqlite3_prepare/step on SQLite. Every round runs
// each once; the best of each counts, so that a busy machine disturbs the ratios less. The
// output file's counts must be the tables' rows.
//
// SQLite runs on a temporary file; PostgreSQL when PGHOST or dbs_pgsql_conninfo names a
// server (scripts/pgtest.sh run ...).
//
//   countrows_bench [tables [rows [bigrows [rounds]]]]     defaults 1000, 1000, 5000000, 3
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "benchutil.h"

namespace {

std::string countText(const std::string& table) {
    return "SELECT COUNT(*) FROM \"" + table + "\"";
}

void createTable(bool pg, const std::string& table, long rows) {
    benchRunSql("DROP TABLE " + table);
    benchRunSql("CREATE TABLE " + table + " (K INTEGER NOT NULL PRIMARY KEY, V VARCHAR(20))");
    const std::string n = std::to_string(rows);
    if (pg)
        benchRunSql("INSERT INTO " + table + " SELECT g, 'value ' || g FROM generate_series(1, " +
                    n + ") g");
    else
        benchRunSql("INSERT INTO " + table +
                    " WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT " + n +
                    ") SELECT x, 'value ' || x FROM c");
}

// The client's time for the statements, and the sum of the counts it got.
double sqliteClient(const std::string& path, const std::vector<std::string>& tables,
                    unsigned long* sum) {
    const double start = benchNow();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        benchDie("sqlite3_open");
    *sum = 0;
    for (const std::string& t : tables) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, countText(t).c_str(), -1, &stmt, nullptr) != SQLITE_OK ||
            sqlite3_step(stmt) != SQLITE_ROW)
            benchDie(sqlite3_errmsg(db));
        *sum += static_cast<unsigned long>(sqlite3_column_int64(stmt, 0));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return benchNow() - start;
}

// Runs a command line with its output in a file; the seconds it took.
double timed(const std::string& command, const std::string& output) {
    const double start = benchNow();
    const int rc = system((command + " > " + output + " 2>&1").c_str());
    const double seconds = benchNow() - start;
    if (rc != 0) {
        std::ifstream in(output);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fprintf(stderr, "%s failed (%d):\n%s\n", command.c_str(), rc, text.substr(0, 2000).c_str());
        exit(1);
    }
    return seconds;
}

double psqlClient(const std::string& dir, const std::vector<std::string>& tables,
                  unsigned long* sum) {
    const std::string script = dir + "/counts.sql", output = dir + "/psql.out";
    {
        std::ofstream out(script);
        for (const std::string& t : tables) out << countText(t) << ";\n";
    }
    const double seconds = timed("psql -X -q -A -t -f " + script, output);
    std::ifstream in(output);
    *sum = 0;
    for (std::string line; std::getline(in, line);) *sum += strtoul(line.c_str(), nullptr, 10);
    return seconds;
}

double toolRun(const std::string& dir, const std::vector<std::string>& tables,
               unsigned long* sum) {
    const std::string input = dir + "/in.txt", output = dir + "/out.txt";
    {
        std::ofstream out(input);
        for (const std::string& t : tables) out << "c " << t << "\n";
    }
    unlink(output.c_str());
    const double seconds =
        timed(std::string(TABRIX_BINARY) + " countrows " + input + " " + output, dir + "/tool.out");
    std::ifstream in(output);
    *sum = 0;
    for (std::string name, count; in >> name >> count;) *sum += strtoul(count.c_str(), nullptr, 10);
    return seconds;
}

struct Best {
    double tool = 1e30, client = 1e30;
};

void measure(bool pg, const std::string& dir, const std::string& sqlitePath,
             const std::vector<std::string>& tables, unsigned long expected, Best* best) {
    unsigned long toolSum = 0, clientSum = 0;
    best->tool = std::min(best->tool, toolRun(dir, tables, &toolSum));
    best->client = std::min(best->client, pg ? psqlClient(dir, tables, &clientSum)
                                             : sqliteClient(sqlitePath, tables, &clientSum));
    if (toolSum != expected || clientSum != expected)
        benchDie("counted " + std::to_string(toolSum) + " and " + std::to_string(clientSum) +
                 " rows, expected " + std::to_string(expected));
}

void benchEngine(const char* engine, long ntables, long rows, long bigRows, int rounds,
                 const std::string& sqlitePath) {
    const bool pg = strcmp(engine, "PGSQL") == 0;
    setenv("dbms_type", engine, 1);
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
    const std::string prefix = "CNTB" + std::to_string(getpid()) + "_";
    std::vector<std::string> tables;
    const double t0 = benchNow();
    for (long i = 0; i < ntables; ++i) {
        tables.push_back(prefix + std::to_string(i));
        createTable(pg, tables.back(), rows);
    }
    const std::vector<std::string> big = {prefix + "BIG"};
    createTable(pg, big[0], bigRows);
    if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) benchDie("commit");
    printf("%s: created %ld tables of %ld rows and one of %ld rows in %.1f s\n", engine, ntables,
           rows, bigRows, benchNow() - t0);
    fflush(stdout);
    const std::string dir = sqlitePath.substr(0, sqlitePath.rfind('/'));
    Best small, large;
    for (int r = 0; r < rounds; ++r) {
        measure(pg, dir, sqlitePath, tables, static_cast<unsigned long>(ntables * rows), &small);
        measure(pg, dir, sqlitePath, big, static_cast<unsigned long>(bigRows), &large);
    }
    const char* client = pg ? "psql -f" : "sqlite3 C loop";
    printf("  %ld tables: countrows %.3f s (%.3f ms/table), %s %.3f s (%.3f ms/table), ratio %.2f\n",
           ntables, small.tool, 1000 * small.tool / ntables, client, small.client,
           1000 * small.client / ntables, small.tool / small.client);
    printf("  big table: countrows %.3f s, %s %.3f s, ratio %.2f (the tool's start and connect "
           "included)\n",
           large.tool, client, large.client, large.tool / large.client);
    fflush(stdout);
    for (const std::string& t : tables) benchRunSql("DROP TABLE " + t);
    benchRunSql("DROP TABLE " + big[0]);
    if (ul_sqldisconnect(0) < 0) benchDie("disconnect");
}

}  // namespace

int main(int argc, char** argv) {
    const long ntables = argc > 1 ? atol(argv[1]) : 1000;
    const long rows = argc > 2 ? atol(argv[2]) : 1000;
    const long bigRows = argc > 3 ? atol(argv[3]) : 5000000;
    const int rounds = argc > 4 ? atoi(argv[4]) : 3;
    if (ntables < 1 || rows < 0 || bigRows < 1 || rounds < 1) {
        fprintf(stderr, "usage: countrows_bench [tables [rows [bigrows [rounds]]]]\n");
        return 2;
    }
    benchOnEngines([&](const char* engine, const std::string& sqlitePath) {
        benchEngine(engine, ntables, rows, bigRows, rounds, sqlitePath);
    });
    return 0;
}

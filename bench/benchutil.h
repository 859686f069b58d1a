// What the benchmark programs share: a clock, failing with the error buffer's text, running a
// statement through the SQL layer, and running a measurement on SQLite (in a scratch file) and
// on PostgreSQL when a server is named.
#pragma once

#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "ulerror.h"
#include "ulsqlbase.h"
#include "ulstring.h"

// Seconds on a steady clock.
inline double benchNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Ends the program with what failed and the error buffer's text.
[[noreturn]] inline void benchDie(const std::string& what) {
    fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, what.c_str(),
            ul_utf16to8(ul_errorgetmsg()).c_str());
    exit(1);
}

// Runs a statement without a result through ULSQLStmt; a failure ends the program.
inline void benchRunSql(const std::string& sql) {
    ULSQLStmt stmt;
    const std::u16string text = ul_utf8to16(sql.c_str());
    if (stmt.prepare(text.c_str(), nullptr, 0, nullptr, 0, UL_SQLMODE_TOLERATE) < 0 ||
        stmt.execute(nullptr, nullptr, UL_SQLMODE_TOLERATE) < 0)
        benchDie(sql);
}

// Calls measure with "SQLITE" on a database file in a scratch directory (its path as second
// argument; removed afterwards), then with "PGSQL" when PGHOST or dbs_pgsql_conninfo names a
// server (scripts/pgtest.sh run ...), else says that PostgreSQL was skipped.
inline void benchOnEngines(
    const std::function<void(const char* engine, const std::string& sqlitePath)>& measure) {
    char dir[] = "/tmp/tabrix-bench-XXXXXX";
    if (!mkdtemp(dir)) benchDie("mkdtemp");
    const std::string sqlitePath = std::string(dir) + "/bench.db";
    FILE* empty = fopen(sqlitePath.c_str(), "w");  // an empty file is an empty database
    if (!empty || fclose(empty) != 0) benchDie("create the database file");
    setenv("dbs_sqlite_db", sqlitePath.c_str(), 1);

    measure("SQLITE", sqlitePath);
    if (getenv("PGHOST") || getenv("dbs_pgsql_conninfo"))
        measure("PGSQL", sqlitePath);
    else
        printf("PGSQL: skipped (PGHOST or dbs_pgsql_conninfo not set)\n");

    for (const char* suffix : {"/bench.db", "/bench.db-wal", "/bench.db-shm"})
        unlink((std::string(dir) + suffix).c_str());
    rmdir(dir);
}

// Peak resident memory of this process in KB (VmHWM), -1 when unknown.
inline long benchPeakKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

// One measurement run in a child process: its time, peak resident memory (KB) and the value
// the work reported.
struct BenchChildResult {
    double seconds = 0;
    long peakKb = 0;
    long value = 0;
};

// Runs work in a child process, so that its peak memory is its own and nothing it leaves behind
// skews the next measurement. work returns false on failure, which ends the benchmark.
inline BenchChildResult benchInChild(const std::function<bool(long* value)>& work) {
    int fds[2];
    if (pipe(fds) != 0) benchDie("pipe");
    const pid_t pid = fork();
    if (pid < 0) benchDie("fork");
    if (pid == 0) {
        close(fds[0]);
        const double start = benchNow();
        BenchChildResult r;
        const bool ok = work(&r.value);
        r.seconds = benchNow() - start;
        r.peakKb = benchPeakKb();
        if (write(fds[1], &r, sizeof r) != sizeof r) _exit(3);
        _exit(ok ? 0 : 2);
    }
    close(fds[1]);
    BenchChildResult r;
    const bool got = read(fds[0], &r, sizeof r) == sizeof r;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) benchDie("measurement in a child");
    return r;
}

// Counts the data rows of a query; reads nothing.
class BenchCountRows : public ULSQLCallBack {
  public:
    int handleRow(unsigned flags, const unsigned char**, const char16_t**, unsigned*,
                  unsigned) override {
        if (flags & UL_ROW_DATA) ++rows;
        return 0;
    }
    unsigned long rows = 0;
};

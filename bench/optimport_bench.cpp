// Import optimisation against a plain read. A queue of REQUESTS requests with ENTRIES object
// entries in all (a third of them of a type that is never optimised; about one in seven of the
// others overwritten by a later request) is marked by optimizeimport in this process: with the
// default memory limit, with a limit small enough for the external sort, and with the in-memory
// sort. Side by side in the same run, the same E071 rows are read plainly through the SQL layer
// (SELECT of the six columns the optimiser reads, rows handed to a callback that counts them).
// Marks are reset between runs (not timed); every run must mark the same number of entries.
//
// SQLite runs on a temporary file; PostgreSQL when PGHOST or dbs_pgsql_conninfo names a
// server (scripts/pgtest.sh run ...).
//
//   optimport_bench [requests [entries]]     defaults 2000, 1000000
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "benchutil.h"
#include "optimport.h"
#include "ulmsgwrite.h"

namespace {

void createQueue(bool pg, long requests, long entries) {
    benchRunSql("DROP TABLE \"E070\"");
    benchRunSql("DROP TABLE \"E071\"");
    benchRunSql(
        "CREATE TABLE \"E070\" (\"TRKORR\" VARCHAR(20) NOT NULL PRIMARY KEY, \"TRFUNCTION\" "
        "CHAR(1), \"AS4USER\" VARCHAR(12))");
    benchRunSql(
        "CREATE TABLE \"E071\" (\"TRKORR\" VARCHAR(20) NOT NULL, \"AS4POS\" VARCHAR(6) NOT NULL, "
        "\"PGMID\" VARCHAR(4), \"OBJECT\" VARCHAR(4), \"OBJ_NAME\" VARCHAR(120), \"OBJFUNC\" "
        "CHAR(1), \"LOCKFLAG\" CHAR(1), PRIMARY KEY (\"TRKORR\", \"AS4POS\"))");
    const long per = entries / requests;
    const std::string n = std::to_string(per * requests), p = std::to_string(per);
    // Entry g: request g / per, position g % per + 1, name number (g * 7919) % 600000 (entries
    // g and g + 600000 share it), the type chosen by the name number.
    const std::string name = "((g * 7919) % 600000)";
    const std::string cols =
        std::string("'R' || ") + (pg ? "lpad((g / " + p + ")::text, 6, '0')"
                                     : "printf('%06d', g / " + p + ")") +
        ", " + (pg ? "lpad((g % " + p + " + 1)::text, 6, '0')" : "printf('%06d', g % " + p + " + 1)") +
        ", CASE " + name + " % 3 WHEN 0 THEN 'Q7TR' WHEN 1 THEN 'Q7SB' ELSE 'R3TR' END, CASE " +
        name + " % 3 WHEN 0 THEN 'PROG' WHEN 1 THEN 'METH' ELSE 'TABL' END, 'ZOBJECT_' || " +
        name + ", ' ', ' '";
    if (pg)
        benchRunSql("INSERT INTO \"E071\" SELECT " + cols + " FROM generate_series(CAST(0 AS BIGINT), " + n +
                    " - 1) g");
    else
        benchRunSql("INSERT INTO \"E071\" WITH RECURSIVE c(g) AS (SELECT 0 UNION ALL SELECT g + 1 "
                    "FROM c LIMIT " + n + ") SELECT " + cols + " FROM c");
    if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) benchDie("commit");
}

double plainRead(unsigned long* rows) {
    const double start = benchNow();
    BenchCountRows count;
    if (ULSQLStmt::run(u"SELECT \"AS4POS\", \"PGMID\", \"OBJECT\", \"OBJ_NAME\", \"OBJFUNC\", "
                       u"\"LOCKFLAG\" FROM \"E071\"",
                       nullptr, 0, &count, nullptr, 0) < 0)
        benchDie("plain read");
    *rows = count.rows;
    return benchNow() - start;
}

long markedCount() {
    BenchCountRows count;
    if (ULSQLStmt::run(u"SELECT \"TRKORR\" FROM \"E071\" WHERE \"LOCKFLAG\" = '2'", nullptr, 0,
                       &count, nullptr, 0) < 0)
        benchDie("count marks");
    return static_cast<long>(count.rows);
}

double optimize(const std::string& buffer, const char* option) {
    benchRunSql("UPDATE \"E071\" SET \"LOCKFLAG\" = ' ' WHERE \"LOCKFLAG\" <> ' '");
    if (ul_sqldisconnect(0) < 0) benchDie("disconnect");
    const std::u16string file = ul_utf8to16(buffer.c_str()), opt = ul_utf8to16(option);
    const char16_t* argv[] = {u"optimizeimport", opt.c_str(), file.c_str(), nullptr};
    const double start = benchNow();
    if (cmd_OPTIMIZEIMPORT(3, argv) != 0) benchDie("optimizeimport");
    const double seconds = benchNow() - start;
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const long requests = argc > 1 ? atol(argv[1]) : 2000;
    const long entries = argc > 2 ? atol(argv[2]) : 1000000;
    FILE* sink = fopen("/dev/null", "w");
    if (!sink || ul_msgwrite_register(u"TQ", UL_TQMessages) < 0) benchDie("message setup");
    ul_msgwrite_setfp(sink);
    char dir[] = "/tmp/tabrix-oibench-XXXXXX";
    if (!mkdtemp(dir)) benchDie("mkdtemp");
    const std::string buffer = std::string(dir) + "/buffer";
    {
        FILE* out = fopen(buffer.c_str(), "w");
        if (!out) benchDie("buffer file");
        for (long r = 0; r < requests; ++r) fprintf(out, "R%06ld\n", r);
        fclose(out);
    }
    printf("%ld requests, %ld object entries\n", requests, entries);
    benchOnEngines([&](const char* engine, const std::string&) {
        setenv("dbms_type", engine, 1);
        if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
        createQueue(std::string(engine) == "PGSQL", requests, entries);
        unsigned long rows = 0;
        const double read = plainRead(&rows);
        printf("%s: plain read of %lu rows %.2f s\n", engine, rows, read);
        long marks = -1;
        for (const char* option : {"maxmemory=256M", "maxmemory=16M", "features=memorysort"}) {
            const double seconds = optimize(buffer, option);
            const long got = markedCount();
            if (marks >= 0 && got != marks) benchDie("different marks between runs");
            marks = got;
            printf("%s: optimizeimport %-20s %7.2f s  %5.1fx plain read  (%ld marked)\n", engine,
                   option, seconds, seconds / read, got);
        }
        benchRunSql("DROP TABLE \"E070\"");
        benchRunSql("DROP TABLE \"E071\"");
        if (ul_sqldisconnect(0) < 0) benchDie("disconnect");
    });
    unlink(buffer.c_str());
    rmdir(dir);
    printf("peak RSS %ld KB\n", benchPeakKb());
    return 0;
}

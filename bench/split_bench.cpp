// Splitting a table against the query a user would write by hand: a table of 1,000,000 rows is
// split into 20 parts with ul_sqlsplittable (standard method and equidistant row number method)
// and with NTILE(20) OVER (ORDER BY key) plus the smallest and largest key of each tile, all
// through ULSQLStmt, side by side in one run. The ratio splitter / hand-written is printed per
// engine, method and key shape:
//   - int:       one unique integer key field;
//   - composite: a client field with one value, a unique document number and an item number,
//                the usual shape of application tables (the standard method must refine twice).
//
// SQLite runs on a temporary file; PostgreSQL when PGHOST or dbs_pgsql_conninfo names a server
// (scripts/pgtest.sh run ...).
//
//   split_bench [rows [repeats]]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "benchutil.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlbase.h"
#include "ulsqlsplit.h"
#include "ulstring.h"

namespace {

constexpr int kParts = 20;

struct Shape {
    const char* name;
    const char* columns;
    std::vector<const char16_t*> keys;
    const char* orderBy;
    const char* pgSelect;      // rows from generate_series g
    const char* sqliteSelect;  // rows from the counter x
};

const Shape kShapes[] = {
    {"int",
     "\"K\" INTEGER NOT NULL PRIMARY KEY, \"V\" VARCHAR(20)",
     {u"K"},
     "\"K\"",
     "SELECT g, 'value ' || g FROM generate_series(1, %ld) g",
     "SELECT x, 'value ' || x FROM c"},
    {"composite",
     "\"MANDT\" CHAR(3) NOT NULL, \"DOC\" VARCHAR(10) NOT NULL, \"ITEM\" INTEGER NOT NULL, "
     "\"V\" VARCHAR(20), PRIMARY KEY (\"MANDT\", \"DOC\", \"ITEM\")",
     {u"MANDT", u"DOC", u"ITEM"},
     "\"MANDT\", \"DOC\", \"ITEM\"",
     "SELECT '100', lpad((g / 4)::text, 10, '0'), g % 4, 'value ' || g FROM generate_series(1, "
     "%ld) g",
     "SELECT '100', substr('0000000000' || (x / 4), -10), x % 4, 'value ' || x FROM c"},
};

void createTable(bool pg, const std::string& table, const Shape& shape, long rows) {
    benchRunSql("DROP TABLE IF EXISTS \"" + table + "\"");
    benchRunSql("CREATE TABLE \"" + table + "\" (" + shape.columns + ")");
    char select[512];
    if (pg) {
        snprintf(select, sizeof select, shape.pgSelect, rows);
        benchRunSql("INSERT INTO \"" + table + "\" " + select);
        benchRunSql("ANALYZE \"" + table + "\"");
    } else {
        benchRunSql("INSERT INTO \"" + table +
                    "\" WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                    "FROM c LIMIT " +
                    std::to_string(rows) + ") " + shape.sqliteSelect);
    }
    if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) benchDie("commit");
}

// The hand-written split: the key range of each of 20 tiles.
unsigned long handWritten(const std::string& table, const Shape& shape) {
    std::string minMax;
    for (const char16_t* k : shape.keys) {
        std::string key = "\"";
        key += ul_utf16to8(k) + "\"";
        minMax += ", MIN(" + key + "), MAX(" + key + ")";
    }
    const std::string sql = "SELECT T" + minMax + " FROM (SELECT " + shape.orderBy + ", NTILE(" +
                            std::to_string(kParts) + ") OVER (ORDER BY " + shape.orderBy +
                            ") AS T FROM \"" + table + "\") Q GROUP BY T ORDER BY T";
    ULSQLStmt stmt;
    const std::u16string text = ul_utf8to16(sql.c_str());
    BenchCountRows rows;
    if (stmt.prepare(text.c_str(), nullptr, 0, nullptr, 0, 0) < 0 ||
        stmt.execute(&rows, nullptr, 0) < 0)
        benchDie(sql);
    return rows.rows;
}

unsigned long splitter(const std::string& table, const Shape& shape, long rows, int method) {
    ULTableSplit out;
    const std::u16string name = ul_utf8to16(table.c_str());
    const int rc = ul_sqlsplittable(&out, name.c_str(), shape.keys.data(),
                                    static_cast<unsigned>(shape.keys.size()), 1.0 / kParts, rows,
                                    UL_DBROWCOUNT_INVALID, UL_DBROWCOUNT_INVALID, nullptr, method);
    if (rc != 0) benchDie("split result " + std::to_string(rc));
    return static_cast<unsigned long>(out.getCount());
}

void benchEngine(const char* engine, long rows, int repeats) {
    const bool pg = strcmp(engine, "PGSQL") == 0;
    setenv("dbms_type", engine, 1);
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
    for (const Shape& shape : kShapes) {
        const std::string table = "BENCH_SPLIT_" + std::to_string(getpid());
        double t0 = benchNow();
        createTable(pg, table, shape, rows);
        printf("%s %s: created %ld rows in %.1f s\n", engine, shape.name, rows, benchNow() - t0);
        fflush(stdout);
        // Alternating runs; the best of each counts, so that a busy machine hurts all alike.
        double bestHand = 1e30, bestStandard = 1e30, bestRownum = 1e30;
        unsigned long tiles = 0, standardParts = 0, rownumParts = 0;
        for (int r = 0; r < repeats; ++r) {
            double start = benchNow();
            tiles = handWritten(table, shape);
            bestHand = std::min(bestHand, benchNow() - start);
            start = benchNow();
            standardParts = splitter(table, shape, rows, UL_SQLTABSPLIT_FSTANDARD);
            bestStandard = std::min(bestStandard, benchNow() - start);
            start = benchNow();
            rownumParts = splitter(table, shape, rows, 0);
            bestRownum = std::min(bestRownum, benchNow() - start);
        }
        printf(
            "%s %s: %ld rows into %d parts, best of %d:\n"
            "  NTILE by hand             %.3f s  (%lu tiles)\n"
            "  standard method           %.3f s  ratio %.2f  (%lu parts)\n"
            "  row number method         %.3f s  ratio %.2f  (%lu parts)\n",
            engine, shape.name, rows, kParts, repeats, bestHand, tiles, bestStandard,
            bestStandard / bestHand, standardParts, bestRownum, bestRownum / bestHand, rownumParts);
        fflush(stdout);
        benchRunSql("DROP TABLE \"" + table + "\"");
    }
    if (ul_sqldisconnect(0) < 0) benchDie("disconnect");
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc > 1 ? atol(argv[1]) : 1000000;
    const int repeats = argc > 2 ? atoi(argv[2]) : 3;
    benchOnEngines(
        [&](const char* engine, const std::string&) { benchEngine(engine, rows, repeats); });
    return 0;
}

// Native splitting by physical row address against the key-range split of the same PostgreSQL
// table: a table of 1,000,000 rows (loaded in an order unlike its key, with a tenth of the rows
// updated afterwards, so that row addresses and key order differ) is split into 20 parts by
// "ctid" and by its key, both with ul_sqlsplittable's row number method, side by side in one run.
// Printed per split: the time to split, the time to count every part once (what parallel export
// jobs pay to find their rows), and the balance, largest part / smallest part.
//
// Needs a PostgreSQL server (scripts/pgtest.sh run ...); says so and ends without one.
//
//   splitnative_bench [rows [repeats]]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "benchutil.h"
#include "ulsqlbase.h"
#include "ulsqlsplit.h"
#include "ulsqlsplitdb.h"
#include "ulstring.h"

namespace {

constexpr int kParts = 20;

struct Result {
    double split = 1e30;
    double read = 1e30;
    int parts = 0;
    ul_dbrowcount_t largest = 0;
    ul_dbrowcount_t smallest = 0;
    ul_dbrowcount_t total = 0;
};

void createTable(const std::string& table, long rows) {
    benchRunSql("DROP TABLE IF EXISTS \"" + table + "\"");
    benchRunSql("CREATE TABLE \"" + table +
                "\" (\"K\" INTEGER NOT NULL PRIMARY KEY, \"V\" VARCHAR(40))");
    // Keys in a scrambled order: 7919 is prime and does not divide rows + 1 for round sizes.
    benchRunSql("INSERT INTO \"" + table + "\" SELECT (g::bigint * 7919) % " +
                std::to_string(rows + 1) + ", 'value ' || g FROM generate_series(1, " +
                std::to_string(rows) + ") g");
    benchRunSql("UPDATE \"" + table + "\" SET \"V\" = 'updated' WHERE \"K\" % 10 = 3");
    benchRunSql("ANALYZE \"" + table + "\"");
    if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) benchDie("commit");
}

// Splits, then counts every part; the best times of the repeats are kept.
void measure(const std::u16string& table, const std::vector<std::u16string>& fields,
             ul_dbrowcount_t rows, Result* r) {
    std::vector<const char16_t*> keys;
    for (const std::u16string& f : fields) keys.push_back(f.c_str());
    ULTableSplit out;
    double start = benchNow();
    const int rc = ul_sqlsplittable(&out, table.c_str(), keys.data(),
                                    static_cast<unsigned>(keys.size()), 1.0 / kParts, rows,
                                    UL_DBROWCOUNT_INVALID, UL_DBROWCOUNT_INVALID, nullptr, 0);
    if (rc != 0) benchDie("split result " + std::to_string(rc));
    r->split = std::min(r->split, benchNow() - start);
    start = benchNow();
    r->parts = out.getCount();
    r->largest = 0;
    r->smallest = UL_DBROWCOUNT_INVALID;
    r->total = 0;
    for (const ul_tablesegment_t& s : out) {
        ul_dbrowcount_t n = 0;
        if (ul_sqltablecountstar(table.c_str(), s.condition(), nullptr, 0, &n, 0) < 0)
            benchDie("count a part");
        r->largest = std::max(r->largest, n);
        r->smallest = std::min(r->smallest, n);
        r->total += n;
    }
    r->read = std::min(r->read, benchNow() - start);
}

void print(const char* what, const Result& r, const Result* base) {
    printf("  %-22s split %7.3f s", what, r.split);
    if (base) printf(" (ratio %.2f)", r.split / base->split);
    printf("  read parts %7.3f s", r.read);
    if (base) printf(" (ratio %.2f)", r.read / base->read);
    printf("  %d parts, largest/smallest %lu/%lu = %.3f, rows %lu\n", r.parts,
           static_cast<unsigned long>(r.largest), static_cast<unsigned long>(r.smallest),
           r.smallest ? static_cast<double>(r.largest) / static_cast<double>(r.smallest) : 0.0,
           static_cast<unsigned long>(r.total));
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc > 1 ? atol(argv[1]) : 1000000;
    const int repeats = argc > 2 ? atoi(argv[2]) : 3;
    if (!getenv("PGHOST") && !getenv("dbs_pgsql_conninfo")) {
        printf("PGSQL: skipped (PGHOST or dbs_pgsql_conninfo not set)\n");
        return 0;
    }
    setenv("dbms_type", "PGSQL", 1);
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
    const std::string name = "BENCH_NATIVE_" + std::to_string(getpid());
    const std::u16string table = ul_utf8to16(name.c_str());
    double t0 = benchNow();
    createTable(name, rows);
    printf("PGSQL: created %ld rows in %.1f s\n", rows, benchNow() - t0);
    std::vector<std::u16string> native;
    if (ul_sqlsplitgetnativefields(table.c_str(), &native, UL_SPLIT_MAXNATIVEFIELDS, 0.05, 0) != 1)
        benchDie("native fields");
    // Alternating runs; the best of each counts, so that a busy machine hurts both alike.
    Result byKey, byAddress;
    for (int r = 0; r < repeats; ++r) {
        measure(table, {u"K"}, static_cast<ul_dbrowcount_t>(rows), &byKey);
        measure(table, native, static_cast<ul_dbrowcount_t>(rows), &byAddress);
    }
    printf("PGSQL: %ld rows into %d parts, best of %d:\n", rows, kParts, repeats);
    print("key ranges (\"K\")", byKey, nullptr);
    print("row addresses (ctid)", byAddress, &byKey);
    benchRunSql("DROP TABLE \"" + name + "\"");
    if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0 || ul_sqldisconnect(0) < 0)
        benchDie("disconnect");
    return 0;
}

// scancluster against a plain read of the same physical cluster table through the SQL layer.
//
// The table holds `pages` pages of `pagesize` bytes; cluster row r has 1 to 20 pages, and the
// rows are stored interleaved in windows of 256 rows with their pages out of order, so that a
// read without ORDER BY delivers them unordered and about 2,700 pages are open at a time. The
// scan runs with `memsize` (default 64 KB, far below those open pages) and so uses its swap
// file. Each measurement runs in a fresh process, the best of `rounds` counts; printed are
// the times, their ratio (target: scan at most 2x the plain read) and the peak resident memory
// of each process. The scan's log must report every row complete.
//
// SQLite runs on a temporary file; PostgreSQL when PGHOST or dbs_pgsql_conninfo names a server
// (scripts/pgtest.sh run ...).
//
//   scancluster_bench [pages [pagesize [memsize [rounds]]]]     defaults 1000000, 100, 64k, 3
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "benchutil.h"
#include "tabrix.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlutil.h"
#include "ulstring2.h"

namespace {

constexpr long kWindow = 256;
constexpr int kMaxPages = 20;

int pagesOf(long row) {
    return 1 + static_cast<int>((row * 7 + row / 3) % kMaxPages);
}

void createSchema(bool pg, unsigned pageSize) {
    for (const char* t : {"DDNTT", "DDNTF", "SCB_CLU"}) benchRunSql(std::string("DROP TABLE ") + t);
    benchRunSql(
        "CREATE TABLE DDNTT (TABNAME VARCHAR(130) NOT NULL PRIMARY KEY, TSTAMP VARCHAR(14), "
        "TABTYPE CHAR(1), TABFORM CHAR(1), REFNAME VARCHAR(130), CLIDEP SMALLINT, CLIPOS "
        "SMALLINT, FLDCNT SMALLINT, KEYCNT SMALLINT, PKEYCNT SMALLINT, KEYLEN INTEGER, TABLEN "
        "INTEGER, SHRTYPE SMALLINT, TEMPFLAG SMALLINT, STORETYPE CHAR(1))");
    benchRunSql(
        "CREATE TABLE DDNTF (TABNAME VARCHAR(130) NOT NULL, FIELDPOS SMALLINT NOT NULL, "
        "FIELDNAME VARCHAR(130), DDTYPE SMALLINT, DDLEN INTEGER, DIGITS SMALLINT, DECIMALS "
        "SMALLINT, DBTYPE SMALLINT, DBLEN INTEGER, KEYFLAG SMALLINT, NOTNULLFLAG SMALLINT, "
        "FLDOFFS INTEGER, PRIMARY KEY (TABNAME, FIELDPOS))");
    benchRunSql(
        "INSERT INTO DDNTT VALUES ('SCB_CLU', '20260101000000', 'T', 'C', '', 0, 0, 5, 2, 0, 0, "
        "0, 0, 0, '')");
    const std::string len = std::to_string(pageSize);
    benchRunSql(
        "INSERT INTO DDNTF VALUES ('SCB_CLU', 1, 'K1', 40, 10, 0, 0, 0, 0, 1, 1, NULL), "
        "('SCB_CLU', 2, 'PAGENO', 168, 5, 0, 0, 0, 0, 1, 1, NULL), ('SCB_CLU', 3, 'TIMESTMP', 40, "
        "14, 0, 0, 0, 0, 0, 0, NULL), ('SCB_CLU', 4, 'PAGELG', 168, 5, 0, 0, 0, 0, 0, 0, NULL), "
        "('SCB_CLU', 5, 'VARDATA', 184, " +
        len + ", 0, 0, 0, 0, 0, 0, NULL)");
    benchRunSql(std::string("CREATE TABLE SCB_CLU (K1 VARCHAR(10), PAGENO SMALLINT, TIMESTMP "
                            "VARCHAR(14), PAGELG SMALLINT, VARDATA ") +
                (pg ? "bytea" : "BLOB") + ", PRIMARY KEY (K1, PAGENO))");
}

// Supplies the pages: window by window, within a window by a shuffled page order.
class Pages : public ULSQLCallBack {
  public:
    Pages(long pages, unsigned pageSize) : total_(pages), data_(pageSize) {
        for (unsigned i = 0; i < pageSize; ++i) data_[i] = static_cast<unsigned char>(i * 31 + 7);
        nextWindow();
    }
    int handleRow(unsigned, const unsigned char** raw, const char16_t** values, unsigned* lengths,
                  unsigned) override {
        if (at_ == order_.size() && !nextWindow()) return UL_PARAMS_END;
        const Slot slot = order_[at_++];
        const int page = slot.page;
        key_ = ul_format(u"R%07ld", slot.row);
        pageNo_ = ul_format(u"%d", page);
        pageLength_ = ul_format(u"%u", pageSize());
        if (page == 0) {  // header: page count, format 0, body length
            const unsigned body = static_cast<unsigned>(slot.pages) * pageSize() - 8;
            const unsigned char header[8] = {0, static_cast<unsigned char>(slot.pages), 0, 0,
                                             static_cast<unsigned char>(body >> 24),
                                             static_cast<unsigned char>(body >> 16),
                                             static_cast<unsigned char>(body >> 8),
                                             static_cast<unsigned char>(body)};
            std::memcpy(page0_.data(), header, 8);
        }
        values[0] = key_.c_str();
        values[1] = pageNo_.c_str();
        values[2] = u"20260101000000";
        values[3] = pageLength_.c_str();
        raw[4] = page == 0 ? page0_.data() : data_.data();
        lengths[4] = pageSize();
        ++written;
        return written % 20000 == 0 ? UL_PARAMS_COMMIT : 0;
    }
    long written = 0;
    long rows = 0;

  private:
    unsigned pageSize() const { return static_cast<unsigned>(data_.size()); }
    bool nextWindow() {
        order_.clear();
        at_ = 0;
        page0_ = data_;
        const long first = rows;
        for (long r = first; r < first + kWindow && pages_ < total_; ++r, ++rows) {
            // The last row is cut short to the pages asked for; its header says so.
            const int n = static_cast<int>(std::min<long>(pagesOf(r), total_ - pages_));
            for (int p = 0; p < n; ++p) order_.push_back({r, p, n});
            pages_ += n;
        }
        // Out of order: by a page rank that mixes page numbers and rows.
        std::sort(order_.begin(), order_.end(), [](const Slot& a, const Slot& b) {
            const long ka = (a.page * 7 + a.row) % kMaxPages;
            const long kb = (b.page * 7 + b.row) % kMaxPages;
            if (ka != kb) return ka < kb;
            return a.row != b.row ? a.row < b.row : a.page < b.page;
        });
        return !order_.empty();
    }
    struct Slot {
        long row;
        int page;
        int pages;  // of the row
    };
    long total_;
    long pages_ = 0;
    std::u16string pageLength_;
    std::vector<unsigned char> data_;
    std::vector<unsigned char> page0_;
    std::vector<Slot> order_;
    size_t at_ = 0;
    std::u16string key_, pageNo_;
};

// Reads every column of every row, touching the page bytes.
class PlainRead : public ULSQLCallBack {
  public:
    bool wantsText(unsigned column) const override { return column < 1; }
    int handleRow(unsigned flags, const unsigned char** raw, const char16_t**, unsigned* lengths,
                  unsigned ncols) override {
        if (!(flags & UL_ROW_DATA)) return 0;
        ++rows;
        if (raw[ncols - 1]) sum += raw[ncols - 1][lengths[ncols - 1] / 2];
        return 0;
    }
    unsigned long rows = 0;
    unsigned long sum = 0;
};

bool plainRead(long pages) {
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) return false;
    ULSQLStmt stmt;
    PlainRead rows;
    ul_sqlfielddesc_t* descs = nullptr;
    unsigned n = 0;
    if (ul_sqltablegetoiflags(u"SCB_CLU", nullptr, 0, &descs, &n, 0) < 0) return false;
    const bool ok = stmt.prepare(u"SELECT \"K1\", \"PAGENO\", \"TIMESTMP\", \"PAGELG\", "
                                 u"\"VARDATA\" FROM \"SCB_CLU\"",
                                 nullptr, 0, descs, n, 0) == 0 &&
                    stmt.execute(&rows, nullptr, 0) == 0;
    free(descs);
    (void)ul_sqldisconnect(0);
    return ok && static_cast<long>(rows.rows) == pages;
}

bool scan(long pages, const std::string& memsize, const std::string& logPath) {
    FILE* log = fopen(logPath.c_str(), "w");
    if (!log || ul_msgwrite_register(u"TQ", UL_TQMessages) < 0) return false;
    ul_msgwrite_setfp(log);
    const std::u16string mem = u"memsize=" + ul_utf8to16(memsize.c_str());
    const char16_t* argv[] = {u"scancluster", mem.c_str(), u"SCB_CLU", nullptr};
    const int rc = cmd_SCANCLUSTER(3, argv);
    fclose(log);
    std::ifstream in(logPath);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    const bool complete = all.find("Scanned " + std::to_string(pages) + " rows.") !=
                              std::string::npos &&
                          all.find("incomplete") == std::string::npos &&
                          all.find("1EETQ") == std::string::npos;
    if (!complete) fprintf(stderr, "%s", all.c_str());
    return rc == 0 && complete;
}

std::string statistics(const std::string& logPath) {
    std::ifstream in(logPath);
    for (std::string line; std::getline(in, line);)
        if (line.find("Cluster sorter statistics") != std::string::npos) return line.substr(9);
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    const long pages = argc > 1 ? atol(argv[1]) : 1000000;
    const unsigned pageSize = argc > 2 ? static_cast<unsigned>(atol(argv[2])) : 100;
    const std::string memsize = argc > 3 ? argv[3] : "64k";
    const int rounds = argc > 4 ? atoi(argv[4]) : 3;
    if (pages < 1 || pageSize < 16 || rounds < 1) {
        fprintf(stderr, "usage: scancluster_bench [pages [pagesize [memsize [rounds]]]]\n");
        return 5;
    }
    printf("scancluster over %ld pages of %u bytes, memsize=%s, best of %d\n", pages, pageSize,
           memsize.c_str(), rounds);
    benchOnEngines([&](const char* engine, const std::string& sqlitePath) {
        setenv("dbms_type", engine, 1);
        const bool pg = std::string(engine) == "PGSQL";
        if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
        createSchema(pg, pageSize);
        const double start = benchNow();
        Pages supply(pages, pageSize);
        ULSQLStmt insert;
        ul_sqlfielddesc_t* descs = nullptr;
        unsigned n = 0;
        if (ul_sqltablegetoiflags(u"SCB_CLU", nullptr, 0, &descs, &n, 0) < 0 ||
            insert.prepare(u"INSERT INTO \"SCB_CLU\" VALUES (?, ?, ?, ?, ?)", descs, n, nullptr,
                           0, 0) < 0 ||
            insert.execute(&supply, nullptr, 0) < 0 ||
            ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0)
            benchDie("insert");
        free(descs);
        if (ul_sqldisconnect(0) < 0) benchDie("disconnect");
        printf("%s: %ld pages of %ld rows written in %.1f s\n", engine, supply.written,
               supply.rows, benchNow() - start);
        const std::string logPath = sqlitePath + ".log";
        BenchChildResult best[2];
        for (int r = 0; r < rounds; ++r) {
            const BenchChildResult plain = benchInChild([&](long*) { return plainRead(pages); });
            const BenchChildResult scanned =
                benchInChild([&](long*) { return scan(pages, memsize, logPath); });
            if (r == 0 || plain.seconds < best[0].seconds) best[0] = plain;
            if (r == 0 || scanned.seconds < best[1].seconds) best[1] = scanned;
        }
        printf("%s: plain read %.2f s (peak %ld KB), scancluster %.2f s (peak %ld KB), "
               "ratio %.2f\n",
               engine, best[0].seconds, best[0].peakKb, best[1].seconds, best[1].peakKb,
               best[1].seconds / best[0].seconds);
        printf("%s: %s\n", engine, statistics(logPath).c_str());
        unlink(logPath.c_str());
        if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
        for (const char* t : {"DDNTT", "DDNTF", "SCB_CLU"})
            benchRunSql(std::string("DROP TABLE ") + t);
        if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0 || ul_sqldisconnect(0) < 0)
            benchDie("drop");
    });
    return 0;
}

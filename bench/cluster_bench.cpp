// Logical-table reading against transparent reading, and the cluster sorter.
//
// Part 1, per engine: three logical tables of one physical cluster table (about 20 rows a key
// over the three, records of several pages) hold `rows` logical rows; the same rows stand in
// three transparent tables. All rows are read through ULSQLStmtLogicalTable and, in the same
// run, from the transparent tables through ULSQLStmt; the best of `repeats` runs of each counts
// and their ratio is printed. Peak memory: a fresh process reads a quarter and then one that
// reads all of one logical table; flat memory gives the same peak for both.
//
// Part 2: the cluster sorter takes `pages` pages (4 a key, arriving shuffled within windows of
// 4,000 pages) into 1,000 internal frames and a swap file; pages per second and the peak memory
// of the process doing it are printed.
//
// SQLite runs on a temporary file; PostgreSQL when PGHOST or dbs_pgsql_conninfo names a server
// (scripts/pgtest.sh run ...).
//
//   cluster_bench [rows [pages [repeats [plain|compress]]]]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "benchutil.h"
#include "ulnametab.h"
#include "ulsqlcluster.h"
#include "ulsqlcluster2.h"
#include "ulstring2.h"

namespace {

const char* const kTables[] = {"BLC1", "BLC2", "BLC3"};
constexpr unsigned kPerTable[] = {7, 7, 6};  // rows a key in each logical table

std::string name(const char* base, const std::string& suffix) {
    return std::string(base) + suffix;
}

// The nametab rows and the tables: physical CLU<s>, logical BLC1<s>..BLC3<s> with transparent
// copies BLC1<s>_SRC...
void createSchema(bool pg, const std::string& s) {
    const std::string blob = pg ? "bytea" : "BLOB";
    benchRunSql("CREATE TABLE \"DDNTT" + s +
                "\" (TABNAME VARCHAR(130) NOT NULL PRIMARY KEY, TSTAMP VARCHAR(14), TABTYPE "
                "CHAR(1), TABFORM CHAR(1), REFNAME VARCHAR(130), CLIDEP SMALLINT, CLIPOS SMALLINT, "
                "FLDCNT SMALLINT, KEYCNT SMALLINT, PKEYCNT SMALLINT, KEYLEN INTEGER, TABLEN "
                "INTEGER, SHRTYPE SMALLINT, TEMPFLAG SMALLINT, STORETYPE CHAR(1))");
    benchRunSql("CREATE TABLE \"DDNTF" + s +
                "\" (TABNAME VARCHAR(130) NOT NULL, FIELDPOS SMALLINT NOT NULL, FIELDNAME "
                "VARCHAR(130), DDTYPE SMALLINT, DDLEN INTEGER, DIGITS SMALLINT, DECIMALS SMALLINT, "
                "DBTYPE SMALLINT, DBLEN INTEGER, KEYFLAG SMALLINT, NOTNULLFLAG SMALLINT, FLDOFFS "
                "INTEGER, PRIMARY KEY (TABNAME, FIELDPOS))");
    auto entry = [&](const std::string& t, char type, char form, const std::string& ref,
                     int nfields, int keys) {
        benchRunSql("INSERT INTO \"DDNTT" + s + "\" VALUES ('" + t + "', '20260101000000', '" +
                    type + "', '" + form + "', '" + ref + "', 0, 0, " + std::to_string(nfields) +
                    ", " + std::to_string(keys) + ", 0, 0, 0, 0, 0, '')");
    };
    auto field = [&](const std::string& t, int pos, const char* f, int type, int len, int dec,
                     int key) {
        char values[256];
        snprintf(values, sizeof values, "%d, '%s', %d, %d, %d, %d, 0, 0, %d, %d, NULL", pos, f,
                 type, len, type == 160 ? len : 0, dec, key, key);
        benchRunSql("INSERT INTO \"DDNTF" + s + "\" VALUES ('" + t + "', " + values + ")");
    };
    const std::string clu = "CLU" + s;
    entry(clu, 'T', 'C', "", 6, 3);
    field(clu, 1, "K1", 40, 10, 0, 1);
    field(clu, 2, "K2", 172, 10, 0, 1);
    field(clu, 3, "PAGENO", 168, 5, 0, 1);
    field(clu, 4, "TIMESTMP", 40, 14, 0, 0);
    field(clu, 5, "PAGELG", 168, 5, 0, 0);
    field(clu, 6, "VARDATA", 184, 3800, 0, 0);
    benchRunSql("CREATE TABLE \"" + clu +
                "\" (K1 VARCHAR(10), K2 INTEGER, PAGENO SMALLINT, TIMESTMP VARCHAR(14), PAGELG "
                "SMALLINT, VARDATA " +
                blob + ", PRIMARY KEY (K1, K2, PAGENO))");
    for (const char* base : kTables) {
        const std::string t = name(base, s);
        entry(t, 'C', 'T', clu, 6, 3);
        field(t, 1, "K1", 40, 10, 0, 1);
        field(t, 2, "K2", 172, 10, 0, 1);
        field(t, 3, "SEQ", 172, 10, 0, 1);
        field(t, 4, "TXT", 40, 40, 0, 0);
        field(t, 5, "AMT", 160, 11, 2, 0);
        field(t, 6, "N", 172, 10, 0, 0);
        benchRunSql("CREATE TABLE \"" + t +
                    "_SRC\" (K1 VARCHAR(10), K2 INTEGER, SEQ INTEGER, TXT VARCHAR(40), AMT "
                    "NUMERIC(11,2), N INTEGER, PRIMARY KEY (K1, K2, SEQ))");
    }
}

// Supplies the transparent rows of one logical table for a range of keys.
class Rows : public ULSQLCallBack {
  public:
    Rows(long firstKey, long keys, unsigned perKey)
        : key_(firstKey), end_(firstKey + keys), n_(perKey) {}
    int handleRow(unsigned, const unsigned char**, const char16_t** values, unsigned*,
                  unsigned) override {
        if (key_ >= end_) return UL_PARAMS_END;
        k1_ = ul_format(u"G%03ld", key_ / 1000);
        k2_ = ul_format(u"%ld", key_ % 1000);
        seq_ = ul_format(u"%u", seq_n_);
        txt_ = ul_format(u"Zeile %ld/%u mit etwas Text", key_, seq_n_);
        amt_ = ul_format(u"%ld.%02u", key_ % 9999, seq_n_);
        n_text_ = ul_format(u"%ld", key_ * 31 + seq_n_);
        values[0] = k1_.c_str();
        values[1] = k2_.c_str();
        values[2] = seq_.c_str();
        values[3] = txt_.c_str();
        values[4] = amt_.c_str();
        values[5] = n_text_.c_str();
        if (++seq_n_ == n_) {
            seq_n_ = 0;
            ++key_;
        }
        return 0;
    }

  private:
    long key_, end_;
    unsigned n_;
    unsigned seq_n_ = 0;
    std::u16string k1_, k2_, seq_, txt_, amt_, n_text_;
};

// Hands fetched transparent rows to the writer.
class Feed : public ULSQLCallBack {
  public:
    Feed(ULSQLLogicalWriter* w, const std::u16string& t) : writer_(w), table_(t) {}
    int handleRow(unsigned flags, const unsigned char** raw, const char16_t**, unsigned* lengths,
                  unsigned n) override {
        return flags & UL_ROW_DATA ? writer_->addRow(table_.c_str(), raw, lengths, n) : 0;
    }

  private:
    ULSQLLogicalWriter* writer_;
    std::u16string table_;
};

std::vector<ul_sqlfielddesc_t> descsOf(const std::u16string& table,
                                       std::vector<std::u16string>* names) {
    ul_sqlfielddesc_t* d = nullptr;
    unsigned n = 0;
    if (ul_sqltablegetoiflags(table.c_str(), nullptr, 0, &d, &n, 0) < 0) benchDie("describe");
    std::vector<ul_sqlfielddesc_t> out(d, d + n);
    names->clear();
    for (unsigned i = 0; i < n; ++i) names->push_back(d[i].name);
    for (unsigned i = 0; i < n; ++i) out[i].name = (*names)[i].c_str();
    free(d);
    return out;
}

// Fills the transparent tables and, chunk by chunk, the physical table from them.
void fill(const std::string& s, long keys, unsigned pageSize, bool compress) {
    std::vector<std::vector<ul_sqlfielddesc_t>> descs(3);
    std::vector<std::vector<std::u16string>> names(3);
    for (int t = 0; t < 3; ++t)
        descs[t] = descsOf(ul_utf8to16(name(kTables[t], s).c_str()), &names[t]);
    ULSQLLogicalWriter writer;
    if (writer.open(ul_utf8to16(("CLU" + s).c_str()).c_str(), pageSize, compress) < 0)
        benchDie("open writer");
    for (int t = 0; t < 3; ++t)
        if (writer.addTable(ul_utf8to16(name(kTables[t], s).c_str()).c_str()) < 0)
            benchDie("add table");
    const long chunk = 1000;  // one K1 value
    for (long first = 0; first < keys; first += chunk) {
        const long n = std::min(chunk, keys - first);
        for (int t = 0; t < 3; ++t) {
            const std::u16string table = ul_utf8to16(name(kTables[t], s).c_str());
            ULSQLStmt insert;
            Rows rows(first, n, kPerTable[t]);
            if (insert.prepare(
                    (u"INSERT INTO \"" + table + u"_SRC\" VALUES (?, ?, ?, ?, ?, ?)").c_str(),
                    descs[t].data(), 6, nullptr, 0, 0) < 0 ||
                insert.execute(&rows, nullptr, 0) < 0)
                benchDie("insert");
            ULSQLStmt query;
            Feed feed(&writer, table);
            const std::u16string sql = u"SELECT * FROM \"" + table + u"_SRC\" WHERE K1 = '" +
                                       ul_format(u"G%03ld", first / 1000) + u"'";
            if (query.prepare(sql.c_str(), nullptr, 0, descs[t].data(), 6, 0) < 0 ||
                query.execute(&feed, nullptr, 0) < 0)
                benchDie("read source");
        }
        if (writer.flush() < 0 || ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) benchDie("write");
    }
    if (writer.close() < 0 || ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) benchDie("close");
}

unsigned long readLogical(const std::string& s, int t, const char16_t* high) {
    ULSQLStmtLogicalTable stmt;
    BenchCountRows count;
    const std::u16string table = ul_utf8to16(name(kTables[t], s).c_str());
    const char16_t* highs[] = {high};
    if (stmt.select(table.c_str(), nullptr, nullptr, 0, nullptr, 0, highs, high ? 1 : 0, &count,
                    nullptr, 0) < 0)
        benchDie("logical read");
    return count.rows;
}

unsigned long readTransparent(const std::string& s, int t) {
    std::vector<std::u16string> names;
    const std::u16string table = ul_utf8to16(name(kTables[t], s).c_str());
    std::vector<ul_sqlfielddesc_t> d = descsOf(table, &names);
    ULSQLStmt query;
    BenchCountRows count;
    if (query.prepare((u"SELECT * FROM \"" + table + u"_SRC\" ORDER BY K1, K2, SEQ").c_str(),
                      nullptr, 0, d.data(), 6, 0) < 0 ||
        query.execute(&count, nullptr, 0) < 0)
        benchDie("transparent read");
    return count.rows;
}

// Runs this program again with args in a fresh process (so nothing of this one counts in its
// peak memory) and returns the line it prints.
std::string rerun(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv = {const_cast<char*>("cluster_bench")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buffer[256];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : std::string();
}

// Child mode: read logical table 0 up to high ("-": all), print the peak memory and the rows.
int measure(const char* engine, const std::string& s, const std::string& high) {
    setenv("dbms_type", engine, 1);
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
    if (ULNameTab::setNameTab(ul_utf8to16(("DDNTT" + s).c_str()).c_str(), nullptr, nullptr) < 0)
        benchDie("nametab");
    const std::u16string h = ul_utf8to16(high.c_str());
    const unsigned long n = readLogical(s, 0, high == "-" ? nullptr : h.c_str());
    printf("%ld %lu\n", benchPeakKb(), n);
    (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);  // only read
    return 0;
}

long childPeak(const char* engine, const std::string& s, const std::string& high,
               unsigned long* rows) {
    long kb = -1;
    const std::string line = rerun({"--measure", engine, s, high});
    return sscanf(line.c_str(), "%ld %lu", &kb, rows) == 2 ? kb : -1;
}

void benchEngine(const char* engine, long rows, int repeats, bool compress) {
    const bool pg = strcmp(engine, "PGSQL") == 0;
    setenv("dbms_type", engine, 1);
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
    std::string s = "_B";
    s += std::to_string(getpid());
    if (ULNameTab::setNameTab(ul_utf8to16(("DDNTT" + s).c_str()).c_str(), nullptr, nullptr) < 0)
        benchDie("nametab");
    createSchema(pg, s);
    const long keys = rows / 20;
    double t0 = benchNow();
    fill(s, keys, 1000, compress);
    printf("%s: wrote %ld logical rows (%ld keys, %s) twice in %.1f s\n", engine, keys * 20, keys,
           compress ? "compressed" : "plain", benchNow() - t0);
    fflush(stdout);
    double bestLogical = 1e30, bestTransparent = 1e30;
    unsigned long nLogical = 0, nTransparent = 0;
    for (int r = 0; r < repeats; ++r) {
        double start = benchNow();
        nTransparent = 0;
        for (int t = 0; t < 3; ++t) nTransparent += readTransparent(s, t);
        bestTransparent = std::min(bestTransparent, benchNow() - start);
        start = benchNow();
        nLogical = 0;
        for (int t = 0; t < 3; ++t) nLogical += readLogical(s, t, nullptr);
        bestLogical = std::min(bestLogical, benchNow() - start);
    }
    if (nLogical != nTransparent) benchDie("row counts differ");
    printf("%s: %lu rows: logical %.2f s, transparent %.2f s, ratio %.2f\n", engine, nLogical,
           bestLogical, bestTransparent, bestLogical / bestTransparent);
    (void)ul_sqldisconnect(0);  // the child processes connect on their own
    unsigned long quarterRows = 0, allRows = 0;
    const std::string quarter = ul_utf16to8(ul_format(u"G%03ld", keys / 4 / 1000).c_str());
    const long quarterKb = childPeak(engine, s, quarter, &quarterRows);
    const long allKb = childPeak(engine, s, "-", &allRows);
    printf("%s: peak RSS reading %lu rows %ld KB, reading %lu rows %ld KB\n", engine, quarterRows,
           quarterKb, allRows, allKb);
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("reconnect");
    for (const char* base : kTables) benchRunSql("DROP TABLE \"" + name(base, s) + "_SRC\"");
    for (const char* t : {"CLU", "DDNTT", "DDNTF"})
        benchRunSql("DROP TABLE \"" + name(t, s) + "\"");
    (void)ul_sqldisconnect(0);
    ULNameTab::setNameTab(nullptr, nullptr, nullptr);
}

void benchSorter(long pages) {
    const std::string swap = "/tmp/CLUSTCHK_" + std::to_string(getpid()) + ".SWP";
    ULClusterSorter sorter;
    if (sorter.init(200, 1000, ul_utf8to16(swap.c_str()).c_str(), 0) < 0) benchDie("sorter init");
    std::vector<uint32_t> order(static_cast<size_t>(pages));
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    std::mt19937 random(5);
    for (size_t w = 0; w < order.size(); w += 4000)
        std::shuffle(order.begin() + w, order.begin() + std::min(order.size(), w + 4000), random);
    unsigned char content[200];
    memset(content, 'x', sizeof content);
    unsigned long complete = 0;
    std::u16string key;
    const unsigned char* data;
    size_t length;
    const double start = benchNow();
    for (uint32_t p : order) {
        int status;
        const std::u16string k = ul_format(u"KEY%08u", p / 4);
        if (sorter.addrow(k.c_str(), p % 4, p % 4 == 0 ? 4 : UL_ROWCOLLECT_UNKNOWN, content,
                          40 + p % 160, u"20260101000000", &status, 0) < 0)
            benchDie("addrow");
        if (status == UL_CLSRT_COMPLETE)
            while (sorter.getrow(&key, &data, &length, 0) == 1) ++complete;
    }
    const double seconds = benchNow() - start;
    const unsigned ext = sorter.externalFramesUsed();
    if (sorter.deinit(0) < 0) benchDie("deinit");
    printf(
        "sorter: %ld pages, %lu rows complete, %.0f pages/s, %u external frames, peak RSS %ld KB\n",
        pages, complete, pages / seconds, ext, benchPeakKb());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "--measure") == 0) return measure(argv[2], argv[3], argv[4]);
    if (argc == 3 && strcmp(argv[1], "--sorter") == 0) {
        benchSorter(atol(argv[2]));
        return 0;
    }
    const long rows = argc > 1 ? atol(argv[1]) : 1000000;
    const long pages = argc > 2 ? atol(argv[2]) : 1000000;
    const int repeats = argc > 3 ? atoi(argv[3]) : 2;
    const bool compress = argc > 4 && strcmp(argv[4], "compress") == 0;
    benchOnEngines([&](const char* engine, const std::string&) {
        benchEngine(engine, rows, repeats, compress);
    });
    fputs(rerun({"--sorter", std::to_string(pages)}).c_str(), stdout);
    return 0;
}

// countrows on both engines: every counting mode against counts taken independently in SQL, the
// estimate of logical tables from split samples, and a run killed by a signal and resumed.
#include "countrows.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "sqltestutil.h"
#include "tabrix.h"
#include "ulnametab.h"
#include "ulsqlcluster.h"
#include "ulsqlsplit.h"
#include "ulsqlwherefile.h"

namespace {

// The lines of a file.
std::vector<std::string> fileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream text(readFileBytes(path));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

// A nametab of the test's own with plain tables (PLN; CLI, client dependent; BLK, whose key ends
// in a block number), a physical cluster CLU and its logical tables LC1 and LC2.
class CountRowsTest : public SqlEngineTest {
  protected:
    void SetUp() override {
        SqlEngineTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
        ASSERT_TRUE(nametab_.open(&session_)) << u8(errorText());
        const NtField k1{u"K1", 40, 10, 0, true}, k2{u"K2", 172, 10, 0, true};
        define("PLN", u'T', u'T', "", {{u"K", 172, 10, 0, true}, {u"V", 40, 10, 0, false}});
        define("CLI", u'T', u'T', "", {{u"MANDT", 40, 3, 0, true}, {u"K", 172, 10, 0, true}});
        define("BLK", u'T', u'T', "",
               {k1,
                {u"BLOCKNR", 168, 5, 0, true},
                {u"LEN", 168, 5, 0, false},
                {u"DATA", 184, 8, 0, false}});
        define("CLU", u'T', u'C', "",
               {k1,
                k2,
                {u"PAGENO", 168, 5, 0, true},
                {u"TIMESTMP", 40, 14, 0, false},
                {u"PAGELG", 168, 5, 0, false},
                {u"VARDATA", 184, 64, 0, false}});
        define("LC1", u'C', u'T', "CLU",
               {k1, k2, {u"SEQ", 172, 10, 0, true}, {u"TXT", 40, 60, 0, false}});
        define("LC2", u'C', u'T', "CLU", {k1, k2, {u"POS", 172, 10, 0, true}});
        sql("UPDATE \"" + u8(ULNameTab::getNameTabName(0)) +
            "\" SET CLIDEP = 1, CLIPOS = 1 WHERE TABNAME IN ('" + name("CLI") + "', '" +
            name("LC1") + "')");
        for (int i = 0; i < 60; ++i) {
            sql("INSERT INTO \"" + name("PLN") + "\" VALUES (" + std::to_string(i) + ", 'v')");
            sql("INSERT INTO \"" + name("CLI") + "\" VALUES ('" + (i % 3 ? "100" : "000") + "', " +
                std::to_string(i) + ")");
            sql("INSERT INTO \"" + name("BLK") + "\" VALUES ('b" + std::to_string(i % 7) + "', " +
                std::to_string(i) + ", 0, NULL)");
        }
        // 20 cluster keys; LC1 holds 1 to 6 rows under a key, LC2 one.
        for (int k = 0; k < 20; ++k) {
            const std::string key = "'k" + std::to_string(k / 4) + "', " + std::to_string(k % 4);
            for (int r = 0; r < lc1Rows(k); ++r)
                sql("INSERT INTO \"" + name("LC1T") + "\" VALUES (" + key + ", " +
                    std::to_string(r) + ", 'a text long enough for a second page')");
            sql("INSERT INTO \"" + name("LC2T") + "\" VALUES (" + key + ", 1)");
        }
        ASSERT_EQ(writeCluster(), 0) << u8(errorText());
        if (session_.isPg()) sql("ANALYZE \"" + name("PLN") + "\"");
    }
    static int lc1Rows(int key) { return key * 7 % 6 + 1; }
    // The name session_.table(base) gives.
    static std::string name(const std::string& base) {
        return base + "_" + std::to_string(getpid());
    }
    void sql(const std::string& text) {
        ASSERT_GE(exec(w(text)), 0) << text << ": " << u8(errorText());
    }
    std::string count(const std::string& query) {
        const std::vector<std::u16string> v = select(w(query));
        return v.empty() ? "?" : u8(v[0]);
    }
    // A nametab entry and, for a transparent table, its database table; the rows of a logical
    // table wait in a table of the name + "T" until the cluster is written.
    void define(const std::string& base, char16_t type, char16_t form, const std::string& ref,
                std::vector<NtField> fields) {
        const std::u16string t = session_.table(base);
        ASSERT_TRUE(
            nametab_.define({t, type, form, ref.empty() ? u"" : w(name(ref)), std::move(fields)},
                            type == u'T' ? t : session_.table(base + "T")));
    }
    // Stores the rows of the originals of LC1 and LC2 in CLU, in pages of 64 bytes.
    int writeCluster() {
        ULSQLLogicalWriter writer;
        if (writer.open(w(name("CLU")).c_str(), 64, false) < 0) return -1;
        struct Feed : ULSQLCallBack {
            ULSQLLogicalWriter* writer;
            std::u16string table;
            int handleRow(unsigned flags, const unsigned char** raw, const char16_t**,
                          unsigned* lengths, unsigned n) override {
                return flags & UL_ROW_DATA ? writer->addRow(table.c_str(), raw, lengths, n) : 0;
            }
        } feed;
        feed.writer = &writer;
        for (const char* t : {"LC1", "LC2"}) {
            feed.table = w(name(t));
            ul_sqlfielddesc_t* descs = nullptr;
            unsigned n = 0;
            if (writer.addTable(feed.table.c_str()) < 0 ||
                ul_sqltablegetoiflags(feed.table.c_str(), nullptr, 0, &descs, &n, 0) < 0)
                return -1;
            ULSQLStmt query;
            const int rc =
                query.prepare(w("SELECT * FROM \"" + name(t + std::string("T")) + "\"").c_str(),
                              nullptr, 0, descs, n, 0) < 0
                    ? -1
                    : static_cast<int>(query.execute(&feed, nullptr, 0));
            free(descs);
            if (rc < 0) return -1;
        }
        return writer.close();
    }
    // Runs the command over an input file (and a where file); the output file's lines.
    std::vector<std::string> run(const std::string& input, const char* whereFile, int* rc) {
        (void)ul_sqldisconnect(0);
        const std::string in = dir_.write("in.txt", input), out = dir_.path("out.txt");
        unlink(out.c_str());
        const std::u16string args[] = {u"countrows", w(in), w(out), whereFile ? w(whereFile) : u""};
        const char16_t* argv[] = {args[0].c_str(), args[1].c_str(), args[2].c_str(),
                                  args[3].c_str()};
        *rc = cmd_COUNTROWS(whereFile ? 4 : 3, argv);
        EXPECT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0);
        return fileLines(out);
    }
    MemoryStream log_;
    TestNameTab nametab_;
    TempDir dir_;
};

TEST_P(CountRowsTest, ModesGiveTheCountsOfSql) {
    const std::string pln = name("PLN"), cli = name("CLI"), blk = name("BLK"), clu = name("CLU");
    const std::string total = count("SELECT COUNT(*) FROM \"" + pln + "\"");
    const std::string estimated = session_.isPg() ? " # (estimated)" : "";
    const std::string distinct =
        count("SELECT COUNT(*) FROM (SELECT DISTINCT K1 FROM \"" + blk + "\") T");
    struct Case {
        std::string input;
        std::vector<std::string> lines;
    } cases[] = {
        {"c " + pln + "\nc0 " + cli + "\ncp " + blk + "\ncpl " + clu + "\n",
         {pln + " " + total,
          cli + " " + count("SELECT COUNT(*) FROM \"" + cli + "\" WHERE MANDT = '000'") +
              " clientdep",
          blk + " " + distinct + " # (reduced keyfields)",
          clu + " " + count("SELECT COUNT(*) FROM \"" + clu + "\" WHERE PAGENO = 0") +
              " # (reduced keyfields)",
          name("LC1") + " " + count("SELECT COUNT(*) FROM \"" + name("LC1T") + "\"") + " clientdep",
          name("LC2") + " " + count("SELECT COUNT(*) FROM \"" + name("LC2T") + "\"")}},
        // Below the low count limit only 'n' keeps the database's estimate.
        {"e " + pln + "\n", {pln + " " + total}},
        {"en " + pln + "\n", {pln + " " + total + estimated}},
        // Distinct key values are counted even where the statistics would give an estimate.
        {"enp " + blk + "\n", {blk + " " + distinct + " # (reduced keyfields)"}},
    };
    for (const Case& c : cases) {
        int rc = -1;
        EXPECT_EQ(run(c.input, nullptr, &rc), c.lines) << c.input << log_.text();
        EXPECT_EQ(rc, 0) << u8(errorText());
    }
}

TEST_P(CountRowsTest, LogicalTablesEstimatedFromSplitSamples) {
    const std::string clu = name("CLU");
    // Samples at a start, at a whole key, and behind a partial key that is completed.
    const std::string where =
        dir_.write("clu.whr", "tab: " + clu + "\nWHERE K1 < 'k1'\n\ntab: " + clu +
                                  "\nWHERE ('k1' < K1 OR (K1 = 'k1' AND 2 <= K2))\n\ntab: " + clu +
                                  "\nWHERE 'k3' < K1\n\n");
    int rc = -1;
    const std::vector<std::string> lines = run("epl " + clu + "\n", where.c_str(), &rc);
    ASSERT_EQ(rc, 0) << u8(errorText()) << log_.text();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], clu + " 20 # (reduced keyfields)");
    // One LC2 row per key: exact; LC1 holds 1 to 6 rows a key, and so does every sample.
    EXPECT_EQ(lines[2], name("LC2") + " 20 # (estimated)");
    unsigned long lc1 = 0;
    ASSERT_EQ(sscanf(lines[1].c_str(), "%*s %lu", &lc1), 1) << lines[1];
    EXPECT_GE(lc1, 20u);
    EXPECT_LE(lc1, 120u);
    EXPECT_NE(lines[1].find("clientdep # (estimated)"), std::string::npos) << lines[1];
    // Samples at positions that hold no row: nothing to estimate from.
    const std::string empty = dir_.write("none.whr", "tab: " + clu + "\nWHERE K1 = 'none'\n\n");
    (void)run("el " + clu + "\n", empty.c_str(), &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(u8(errorText()), "Got no sampling row count for physical cluster '" + clu + "'");
}

// The tool is stopped by a signal after a few tables, its last line is torn, and a second run
// completes the file: every table once, with its count.
TEST(CountRowsRestartTest, KilledRunResumesExactly) {
    constexpr int kTables = 400;
    TempDir dir;
    const std::string db = dir.path("a.db"), out = dir.path("out.txt");
    std::string input, script = "BEGIN;";
    for (int i = 0; i < kTables; ++i) {
        const std::string t = "T" + std::to_string(i);
        input += "c " + t + "\n";
        script += "CREATE TABLE " + t + " (K INTEGER);";
        for (int r = 0; r < i % 7; ++r)
            script += "INSERT INTO " + t + " VALUES (" + std::to_string(r) + ");";
    }
    dir.write("make.sql", script + "COMMIT;");
    ASSERT_EQ(system(("sqlite3 " + db + " < " + dir.path("make.sql")).c_str()), 0);
    const std::string in = dir.write("in.txt", input);
    const auto lines = [&] { return fileLines(out); };
    const std::string env = "dbms_type=SQLITE dbs_sqlite_db=" + db + " ";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("dbms_type", "SQLITE", 1);
        setenv("dbs_sqlite_db", db.c_str(), 1);
        if (!freopen("/dev/null", "w", stdout)) _exit(99);
        execl(TABRIX_BINARY, TABRIX_BINARY, "countrows", in.c_str(), out.c_str(), nullptr);
        _exit(98);
    }
    while (lines().size() < 5 && waitpid(pid, nullptr, WNOHANG) == 0) usleep(200);
    kill(pid, SIGSTOP);
    const size_t written = lines().size();
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before the signal";
    ASSERT_LT(written, static_cast<size_t>(kTables));
    std::string text = readFileBytes(out);
    ASSERT_EQ(truncate(out.c_str(), static_cast<off_t>(text.size() - 2)), 0);
    ASSERT_EQ(system((env + TABRIX_BINARY " countrows " + in + " " + out + " >/dev/null").c_str()),
              0);
    std::vector<std::string> expected;
    for (int i = 0; i < kTables; ++i)
        expected.push_back("T" + std::to_string(i) + " " + std::to_string(i % 7));
    EXPECT_EQ(lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(Engines, CountRowsTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

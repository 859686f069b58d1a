// scancluster and chktable on both engines: cluster pages written by hand (so that pages can be
// missing, reordered or carry a wrong header), commands run in-process on the test's log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sqltestutil.h"
#include "tabrix.h"
#include "ulcrc.h"
#include "ulsqlcluster.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr unsigned kPageSize = 16;

void putBE(Bytes* out, unsigned value, int n) {
    for (int i = n - 1; i >= 0; --i) out->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A record: page count (or `pages` when given), format word and body length, then the body.
Bytes record(const Bytes& body, unsigned format = 0, int pages = -1) {
    Bytes out;
    const size_t total = UL_CLUSTER_HEADER + body.size();
    putBE(&out, pages >= 0 ? unsigned(pages) : unsigned((total + kPageSize - 1) / kPageSize), 2);
    putBE(&out, format, 2);
    putBE(&out, static_cast<unsigned>(body.size()), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes pattern(size_t n, unsigned seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(i * 37 + seed);
    return out;
}

// One value of a logical row: length word and raw form.
void putValue(Bytes* out, const Bytes& raw) {
    putBE(out, static_cast<unsigned>(raw.size()), 4);
    out->insert(out->end(), raw.begin(), raw.end());
}

struct LcRow {
    int seq;
    std::u16string num;
    Bytes amount;  // packed, 3 bytes
};

// The body of a record holding rows of one logical table.
Bytes section(const std::u16string& table, const std::vector<LcRow>& rows) {
    Bytes values;
    for (const LcRow& r : rows) {
        Bytes seq(4);
        for (int i = 0; i < 4; ++i) seq[i] = static_cast<unsigned char>(r.seq >> (8 * i));
        putValue(&values, seq);
        Bytes num;
        for (char16_t c : r.num) {
            num.push_back(static_cast<unsigned char>(c));
            num.push_back(static_cast<unsigned char>(c >> 8));
        }
        putValue(&values, num);
        putValue(&values, r.amount);
    }
    Bytes out;
    putBE(&out, static_cast<unsigned>(table.size()), 2);
    for (char16_t c : table) putBE(&out, c, 2);
    putBE(&out, static_cast<unsigned>(rows.size()), 4);
    putBE(&out, static_cast<unsigned>(values.size()), 4);
    out.insert(out.end(), values.begin(), values.end());
    return out;
}

struct Page {
    std::u16string key;
    unsigned pageNo;
    Bytes data;
};

std::vector<Page> pages(const std::u16string& key, const Bytes& rec) {
    std::vector<Page> out;
    for (size_t at = 0, n = 0; at < rec.size(); at += kPageSize, ++n)
        out.push_back({key, static_cast<unsigned>(n),
                       Bytes(rec.begin() + static_cast<long>(at),
                             rec.begin() + static_cast<long>(std::min(rec.size(), at + kPageSize)))});
    return out;
}

class ScanClusterTest : public SqlEngineTest {
  protected:
    void SetUp() override {
        SqlEngineTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
        ASSERT_TRUE(nametab_.open(&session_)) << u8(errorText());
        phys_ = session_.table("CLU");
        lc_ = session_.table("LC");
        const NtField k1{u"K1", 40, 10, 0, true};
        ASSERT_TRUE(nametab_.define({phys_,
                                     u'T',
                                     u'C',
                                     u"",
                                     {k1,
                                      {u"PAGENO", 168, 5, 0, true},
                                      {u"TIMESTMP", 40, 14, 0, false},
                                      {u"PAGELG", 168, 5, 0, false},
                                      {u"VARDATA", 184, kPageSize, 0, false}}},
                                    phys_));
        ASSERT_TRUE(nametab_.define({lc_,
                                     u'C',
                                     u'T',
                                     phys_,
                                     {k1,
                                      {u"SEQ", 172, 10, 0, true},
                                      {u"NUM", 176, 4, 0, false},
                                      {u"AMT", 160, 5, 2, false}}},
                                    u""));
    }
    void insert(const std::vector<Page>& list) {
        std::vector<ul_sqlfielddesc_t> d = nametab_.describe(phys_);
        ULSQLStmt stmt;
        mustPrepare(&stmt, u"INSERT INTO \"" + phys_ + u"\" VALUES (?, ?, ?, ?, ?)", d.data(),
                    static_cast<unsigned>(d.size()));
        for (const Page& p : list) {
            ASSERT_EQ(stmt.bindParamS(0, p.key.c_str()), 0);
            ASSERT_EQ(stmt.bindParamI(1, p.pageNo), 0);
            ASSERT_EQ(stmt.bindParamS(2, u"20260101000000"), 0);
            ASSERT_EQ(stmt.bindParamI(3, static_cast<long>(p.data.size())), 0);
            ASSERT_EQ(stmt.bindParamR(4, p.data.data(), p.data.size()), 0);
            ASSERT_EQ(stmt.execute(nullptr, nullptr, 0), 1) << u8(errorText());
        }
    }
    // Runs a command in-process (it connects and disconnects itself); the log it wrote.
    std::string run(int (*cmd)(unsigned, const char16_t**), std::vector<std::u16string> args,
                    int* rc) {
        (void)ul_sqldisconnect(0);
        std::vector<const char16_t*> argv;
        for (const std::u16string& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        const size_t before = log_.text().size();
        *rc = cmd(static_cast<unsigned>(args.size()), argv.data());
        if (*rc < 0) ul_msgwrite_printf399(1, u'E', u"%s", ul_errorgetmsg());
        EXPECT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0);
        return log_.text().substr(before);
    }
    MemoryStream log_;
    TestNameTab nametab_;
    std::u16string phys_, lc_;
    TempDir dir_;
};

// Rows A (3 pages), B (1 page), C (5 pages) arrive interleaved and out of page order.
struct ScanCase {
    const char* name;
    std::vector<std::u16string> options;
    unsigned formatA;
    int pagesA;     // page count in A's header, -1: the true one
    int dropPageC;  // a page of C that is not stored, -1: none
    int rc;
    std::vector<std::string> lines;   // each must occur in the log
    std::vector<std::string> absent;  // none may occur
};

const std::string kCrcB = [] {
    const Bytes b = record(pattern(4, 2));
    return "Row 'B': crc=" +
           u8(ul_format(u"%#x", ul_crccalc(UL_CRC_INIT, b.data(), b.size()))) + " len=12.";
}();

const ScanCase kScanCases[] = {
    {"complete", {u"printchksum"}, 0, -1, -1, 0,
     {"Scanned 9 rows.", "Distribution: 1:1 3:1 5:1", kCrcB, "Row 'C': crc="},
     {"incomplete", "Ignoring"}},
    {"missing_page", {}, 0, -1, 2, 0,
     {"Left over cluster entries:", "C: 4/5", "Found 1 incomplete entries"}, {}},
    {"wrong_page_count", {}, 0, 2, -1, 0,
     {"Removed 1 rows with pagenr >= 2 for key 'A'.",
      "Cluster row 'A' holds 32 bytes, its header declares 38"},
     {}},
    {"excess_allowed", {u"allow_excess_rows"}, 0, 2, -1, 0,
     {"Cluster row 'A' holds 32 bytes"}, {"Ignoring excess"}},
    {"bad_header", {}, 0xff80, -1, -1, -1, {"Unsupported cluster format 0xff80 for key 'A'"}, {}},
    {"format_fff0_accepted", {}, 0xfff0, -1, -1, 0, {"Scanned 9 rows."}, {"Unsupported"}},
    {"swap_with_small_memsize", {u"MEMSIZE=40"}, 0, -1, -1, 0,
     {"Cluster sorter statistics: 2/2 internal"}, {" 0 external", "incomplete"}},
    {"no_swap_file", {u"memsize=40", u"noswapfile"}, 0, -1, -1, -1,
     {"Internal memory exhausted and no swap file configured"}, {}},
    {"swap_file_limit", {u"memsize=40", u"maxfilesize=16"}, 0, -1, -1, -1,
     {"Maximum file size 16 reached for SWP file (maxframe=1)"}, {}},
    {"nocontent", {u"nocontent", u"memsize=24"}, 0, -1, -1, 0,
     {"Cluster sorter statistics: 3/3 internal, 3 external frames used, 0 reads total 0MB, 0 writes"},
     {"Row 'B'"}},
    {"order_by_checks_sequence", {u"use_order_by"}, 0, -1, -1, 0,
     {"Scanned 9 rows."}, {"incomplete", "Wrong page"}},
    {"printdata", {u"printdata"}, 0, -1, -1, 0,
     {"Row 'B': len=12.", "000000 00 01 00 00 00 00 00 04 02 27 4c 71"}, {}},
};

TEST_P(ScanClusterTest, ScanReportsEveryFaultOfTheCluster) {
    const std::string swap = "CLUSTCHK_" + std::to_string(getpid()) + ".SWP";
    for (const ScanCase& c : kScanCases) {
        SCOPED_TRACE(c.name);
        ASSERT_GE(exec(u"DELETE FROM \"" + phys_ + u"\""), 0);
        const auto a = pages(u"A", record(pattern(30, 1), c.formatA, c.pagesA));
        const auto b = pages(u"B", record(pattern(4, 2)));
        const auto cc = pages(u"C", record(pattern(70, 3)));
        std::vector<Page> order = {cc[4], a[1], b[0], cc[0], a[2], cc[2], a[0], cc[1], cc[3]};
        if (c.dropPageC >= 0)
            order.erase(std::find_if(order.begin(), order.end(), [&](const Page& p) {
                return p.key == u"C" && p.pageNo == unsigned(c.dropPageC);
            }));
        insert(order);
        std::vector<std::u16string> args = {u"scancluster"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(phys_);
        int rc = 0;
        const std::string log = run(cmd_SCANCLUSTER, args, &rc);
        EXPECT_EQ(rc, c.rc) << log;
        for (const std::string& line : c.lines) EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        for (const std::string& line : c.absent) EXPECT_EQ(log.find(line), std::string::npos) << line << "\n" << log;
        EXPECT_NE(access(swap.c_str(), F_OK), 0) << "swap file left behind";
    }
}

TEST_P(ScanClusterTest, SwapFileIsKeptOnlyWhenAsked) {
    const std::string swap = "CLUSTCHK_" + std::to_string(getpid()) + ".SWP";
    insert(pages(u"A", record(pattern(60, 4))));
    int rc = 0;
    const std::string log =
        run(cmd_SCANCLUSTER, {u"scancluster", u"keepswapfile", u"memsize=0", phys_}, &rc);
    EXPECT_EQ(rc, 0) << log;
    EXPECT_EQ(access(swap.c_str(), F_OK), 0) << log;
    unlink(swap.c_str());
}

TEST_P(ScanClusterTest, ChkTableFindsInvalidValuesWithinTheBounds) {
    const Bytes ok = {0x01, 0x25, 0x0C}, badNibble = {0x1A, 0x00, 0x0C},
                minusZero = {0x00, 0x00, 0x0D};
    insert(pages(u"A", record(section(lc_, {{1, u"9X", ok}, {2, u"12A4", ok}}))));
    insert(pages(u"B", record(section(lc_, {{1, u"0007", badNibble}, {2, u"0042", minusZero}}))));
    insert(pages(u"C", record(section(lc_, {{1, u"7 ", badNibble}}))));
    const std::string where = dir_.write(
        "w.txt", "tab: " + u8(lc_) +
                     "\nWHERE ('A' < \"K1\" OR (\"K1\" = 'A' AND 1 < \"SEQ\")) AND (\"K1\" < "
                     "'C')\n\n");
    int rc = 0;
    const std::string log =
        run(cmd_CHKTABLE, {u"chktable", u"table=" + lc_, u"wherefile=" + w(where)}, &rc);
    EXPECT_EQ(rc, 2) << log;
    for (const char* line :
         {"Checking table '%s' where condition #1:", "Lower boundary (excluded): 'A' '1'",
          "Upper boundary (excluded): 'C'", "Checking field   3 'NUM' type 'N' for invalid values.",
          "Checking field   4 'AMT' type 'P' for invalid values.",
          "1EETQ399 Invalid character 'A' in field 3 'NUM' '12A4' Key: 'A' '2'",
          "1EETQ399 Invalid BCD number '1A000C' in field 4 'AMT' '1A000C' Key: 'B' '1'",
          "1EETQ399 Invalid BCD number '-0.0' in field 4 'AMT' '-0.00' Key: 'B' '2'",
          "Checked 3 rows.", "1EETQ399 Found 3 errors.", "1EETQ399 Found 3 errors in total."})
        EXPECT_NE(log.find(u8(ul_format(w(line).c_str(), lc_.c_str()))), std::string::npos)
            << line << "\n" << log;
    EXPECT_EQ(log.find("9X"), std::string::npos) << log;

    const std::string full = run(cmd_CHKTABLE, {u"chktable", u"table=" + lc_}, &rc);
    EXPECT_EQ(rc, 2) << full;
    EXPECT_NE(full.find("Found 6 errors in total."), std::string::npos) << full;
}

TEST_P(ScanClusterTest, ChkPoolsFindsImpossibleLengths) {
    const std::u16string pool = session_.table("POOL"), wide = session_.table("POOL5");
    const std::vector<NtField> fields = {{u"TABNAME", 40, 30, 0, true},
                                         {u"VARKEY", 40, 20, 0, true},
                                         {u"DATALN", 168, 5, 0, false},
                                         {u"VARDATA", 184, 16, 0, false}};
    ASSERT_TRUE(nametab_.define({pool, u'T', u'P', u"", fields}, pool));
    std::vector<NtField> five = fields;
    five.push_back({u"EXTRA", 40, 4, 0, false});
    ASSERT_TRUE(nametab_.define({wide, u'T', u'P', u"", five}, wide));
    for (const char* row : {"'LP', 'A', 5", "'LP', 'B', -5", "'LP', 'C', 16"})
        ASSERT_GE(exec(u"INSERT INTO \"" + pool + u"\" (TABNAME, VARKEY, DATALN) VALUES (" +
                       w(row) + u")"),
                  0);
    ASSERT_GE(exec(u"INSERT INTO \"" + wide + u"\" (TABNAME, VARKEY, DATALN) VALUES ('LP', 'A', -5)"),
              0);
    int rc = 0;
    const std::string log = run(cmd_CHKPOOLS, {u"chkpools", pool, wide}, &rc);
    EXPECT_EQ(rc, 0) << log;
    for (const std::string& line : std::vector<std::string>{
             "Pool '" + u8(pool) + "'.", "Maximum raw length is 16, using statement: SELECT",
          "Bad row 'LP' 'B'", "1EETQ399 Found 1 bad rows!", "Pool '" + u8(wide) + "'.",
          "1WETQ399 Unexpected number of fields 5 - ignoring pool!",
          "1EETQ399 Found 1 tables with erroneous rows!"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

INSTANTIATE_TEST_SUITE_P(Engines, ScanClusterTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

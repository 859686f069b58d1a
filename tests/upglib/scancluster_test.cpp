// scancluster on both engines: cluster pages written by hand (so that pages can be missing,
// reordered or carry a wrong header), the command run in-process on the test's log. The
// messages of chktable and chkpools are checked by the CLI cases of both engines.
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
    std::u16string phys_;
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
    {"swap_file_kept", {u"keepswapfile", u"memsize=0"}, 0, -1, -1, 0, {"Scanned 9 rows."}, {}},
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
        const bool kept = !c.options.empty() && c.options[0] == u"keepswapfile";
        EXPECT_EQ(access(swap.c_str(), F_OK) == 0, kept) << "swap file kept: " << !kept;
        unlink(swap.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, ScanClusterTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

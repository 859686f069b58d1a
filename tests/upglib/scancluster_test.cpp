// scancluster on both engines, run in-process on cluster pages written by hand, for what a CLI
// case cannot see: the swap file named after the process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sqltestutil.h"
#include "tabrix.h"
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
        out.push_back(
            {key, static_cast<unsigned>(n),
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

// The swap file lives as long as the scan, on success and on failure, unless it is to be kept.
// The messages of every option are checked by the CLI cases of both engines.
TEST_P(ScanClusterTest, SwapFileLivesAsLongAsTheScan) {
    const struct {
        std::vector<std::u16string> options;
        int rc;
        bool kept;
    } cases[] = {{{u"memsize=40"}, 0, false},
                 {{u"memsize=40", u"maxfilesize=16"}, -1, false},
                 {{u"keepswapfile", u"memsize=0"}, 0, true}};
    const auto a = pages(u"A", record(pattern(30, 1)));
    const auto b = pages(u"B", record(pattern(4, 2)));
    const auto c = pages(u"C", record(pattern(70, 3)));
    insert({c[4], a[1], b[0], c[0], a[2], c[2], a[0], c[1], c[3]});
    const std::string swap = "CLUSTCHK_" + std::to_string(getpid()) + ".SWP";
    for (const auto& k : cases) {
        SCOPED_TRACE(u8(k.options.back()));
        std::vector<std::u16string> args = {u"scancluster"};
        args.insert(args.end(), k.options.begin(), k.options.end());
        args.push_back(phys_);
        int rc = 0;
        const std::string log = run(cmd_SCANCLUSTER, args, &rc);
        EXPECT_EQ(rc, k.rc) << log;
        EXPECT_EQ(access(swap.c_str(), F_OK) == 0, k.kept);
        unlink(swap.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, ScanClusterTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

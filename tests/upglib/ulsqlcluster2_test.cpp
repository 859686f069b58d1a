#include "ulsqlcluster2.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <random>

#include "tempdir.h"
#include "testutil.h"
#include "ulmsgwrite.h"
#include "ulstring.h"

namespace {

class UlClusterSorterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ul_msgwrite_reset();
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
        swap_ = ul_utf8to16(dir_.path("CLUSTCHK.SWP").c_str());
    }
    void TearDown() override { ul_msgwrite_reset(); }
    static std::string page(const std::string& key, uint32_t no, size_t size) {
        std::string s = key + "#" + std::to_string(no) + ":";
        while (s.size() < size) s += static_cast<char>('a' + s.size() % 26);
        return s.substr(0, size);
    }
    int add(ULClusterSorter* s, const std::u16string& key, uint32_t no, uint32_t total,
            const std::string& content, const char16_t* stamp = u"20260101000000") {
        int status = -1;
        if (s->addrow(key.c_str(), no, total,
                      reinterpret_cast<const unsigned char*>(content.data()),
                      static_cast<uint32_t>(content.size()), stamp, &status, 0) < 0)
            return -1;
        return status;
    }
    std::map<std::u16string, std::string> drain(ULClusterSorter* s) {
        std::map<std::u16string, std::string> out;
        std::u16string key;
        const unsigned char* data;
        size_t length;
        while (s->getrow(&key, &data, &length, 0) == 1) {
            EXPECT_EQ(out.count(key), 0u) << u8(key);
            out[key].assign(reinterpret_cast<const char*>(data), length);
        }
        return out;
    }
    TempDir dir_;
    MemoryStream log_;
    std::u16string swap_;
};

// Pages of 300 keys in random order through 3 internal frames: every complete row comes back
// exactly once with its pages in order, the swap file is used and removed at the end.
TEST_F(UlClusterSorterTest, TinyMemoryWithSwapFileReturnsEveryRowOnce) {
    ULClusterSorter s;
    ASSERT_EQ(s.init(40, 3, swap_.c_str(), 0), 0);
    std::vector<std::tuple<std::u16string, uint32_t, uint32_t, std::string>> pages;
    std::map<std::u16string, std::string> expected;
    for (int k = 0; k < 300; ++k) {
        const std::u16string key = ul_utf8to16(("K" + std::to_string(k)).c_str());
        const uint32_t n = 1 + k % 6;
        for (uint32_t p = 0; p < n; ++p) {
            pages.emplace_back(key, p, n, page(u8(key), p, 10 + (k + p) % 30));
            expected[key] += std::get<3>(pages.back());
        }
    }
    std::shuffle(pages.begin(), pages.end(), std::mt19937(3));
    std::map<std::u16string, std::string> got;
    for (const auto& [key, p, n, content] : pages) {
        const int status = add(&s, key, p, p == 0 ? n : UL_ROWCOLLECT_UNKNOWN, content);
        ASSERT_GE(status, 0) << u8(errorText());
        if (status != UL_CLSRT_COMPLETE) continue;
        for (auto& [k, v] : drain(&s)) EXPECT_TRUE(got.emplace(k, v).second) << u8(k);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(s.openCollections(), 0u);
    EXPECT_GT(s.externalFramesUsed(), 0u);
    struct stat st;
    EXPECT_EQ(stat(u8(swap_).c_str(), &st), 0);
    ASSERT_EQ(s.deinit(0), 0);
    EXPECT_NE(stat(u8(swap_).c_str(), &st), 0);
}

// The swap file is opened only when memory runs out; a path that cannot be opened fails the row
// that needed it, naming the path.
TEST_F(UlClusterSorterTest, UnopenableSwapFileFailsTheRowThatNeedsIt) {
    ULClusterSorter bad;
    ASSERT_EQ(bad.init(16, 0, u"/nonexistent-dir/X.SWP", 0), 0);
    EXPECT_EQ(add(&bad, u"A", 1, UL_ROWCOLLECT_UNKNOWN, "x"), -1);
    EXPECT_EQ(u8(errorText()).rfind("Cannot open '/nonexistent-dir/X.SWP': ", 0), 0u)
        << u8(errorText());
}

// Steps on one key "K" (page, total or 0 for unknown, content, stamp) with the status or the
// error expected, then the row getrow returns ("" for none).
struct Step {
    uint32_t page;
    uint32_t total;
    const char* content;
    const char16_t* stamp;
    int status;
    const char* error;
};
struct RuleCase {
    const char* what;
    int mode;
    std::vector<Step> steps;
    const char* row;
    const char* log;
};

TEST_F(UlClusterSorterTest, TimeStampsDuplicatesAndPageCounts) {
    const char16_t* t1 = u"20260101000000";
    const char16_t* t2 = u"20260202000000";
    // clang-format off
    const RuleCase cases[] = {
        {"older stamp ignored", 0,
         {{1, 0, "b", t2, 0, nullptr}, {0, 2, "A", t1, 2, nullptr}, {0, 2, "a", t2, 1, nullptr}},
         "ab", "Ignoring row with pageno 0 for key 'K' due to wrong time stamp!"},
        {"newer stamp restarts", 0,
         {{1, 0, "old", t1, 0, nullptr}, {1, 0, "b", t2, 0, nullptr}, {0, 2, "a", t2, 1, nullptr}},
         "ab", "Ignoring 1/-1 rows for key 'K' due to new time stamp!"},
        {"equal duplicate dropped", 0,
         {{1, 0, "b", t1, 0, nullptr}, {1, 0, "b", t1, 2, nullptr}, {0, 2, "a", t1, 1, nullptr}},
         "ab", ""},
        {"content mismatch", 0,
         {{1, 0, "b", t1, 0, nullptr},
          {1, 0, "c", t1, -1, "Content mismatch on 'K' page 1: l1=1 vs. l2=1"}}, "", ""},
        {"replace mode", UL_CLSRT_REPLACE,
         {{1, 0, "b", t1, 0, nullptr}, {1, 0, "cc", t1, 0, nullptr}, {0, 2, "a", t1, 1, nullptr}},
         "acc", ""},
        {"excess page", 0,
         {{0, 2, "a", t1, 0, nullptr}, {2, 0, "z", t1, 2, nullptr}, {1, 0, "b", t1, 1, nullptr}},
         "ab", "Ignoring excess row with pageno 2 >= 2 for key 'K'!"},
        {"incompatible total", 0,
         {{0, 2, "a", t1, 0, nullptr},
          {0, 3, "a", t1, -1, "Incompatible number of rows 3 != 2 supplied  for 'K'"}}, "", ""},
        {"ordered sequence", UL_CLSRT_ORDERED,
         {{1, 0, "b", t1, 0, nullptr},
          {0, 2, "a", t1, -1, "Wrong page number sequence 1,0 for 'K'"}}, "", ""},
    };
    // clang-format on
    for (const RuleCase& c : cases) {
        MemoryStream caseLog;
        ul_msgwrite_setfp(caseLog.get());
        ULClusterSorter s;
        ASSERT_EQ(s.init(8, 8, nullptr, c.mode), 0);
        for (const Step& st : c.steps) {
            EXPECT_EQ(add(&s, u"K", st.page, st.total ? st.total : UL_ROWCOLLECT_UNKNOWN,
                          st.content, st.stamp),
                      st.status)
                << c.what;
            if (st.error) {
                EXPECT_EQ(u8(errorText()), st.error) << c.what;
            }
        }
        const auto rows = drain(&s);
        EXPECT_EQ(rows.empty() ? "" : rows.begin()->second, c.row) << c.what;
        EXPECT_NE(caseLog.text().find(c.log), std::string::npos)
            << c.what << ": " << caseLog.text();
        ul_msgwrite_setfp(log_.get());
    }
}

}  // namespace

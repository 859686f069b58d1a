#include "ulbigsort.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "childproc.h"
#include "tempdir.h"
#include "testutil.h"
#include "tracecapture.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"

namespace {

// Bytes in lexicographic order, shorter first on a common prefix.
struct BytesCompare : ULBigSortCompare {
    int compare(const void* a, uint32_t al, const void* b, uint32_t bl) override {
        int r = std::min(al, bl) ? memcmp(a, b, std::min(al, bl)) : 0;
        return r ? r : (al > bl) - (al < bl);
    }
};

size_t filesIn(const TempDir& dir) {
    auto it = std::filesystem::directory_iterator(dir.path());
    return static_cast<size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

class BigSortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dirName_ = dir_.wpath();
        ULBigSortHandle::m_sorttempfileptr = dirName_.data();
    }
    void TearDown() override {
        ULBigSortHandle::m_maxmemory = 268435456;
        ULBigSortHandle::m_nrsequences = 32;
        ULBigSortHandle::m_sortflags = 0;
        ULBigSortHandle::m_sorttempfile = ul_bigsorttempfile;
        ULBigSortHandle::m_sorttempfileptr = nullptr;
        ul_msgwrite_reset();
    }
    // Memory for exactly n in-memory entries with T files and the given aligned slot.
    static size_t memoryFor(uint64_t n, int T, size_t slot) { return (n + T) * (slot + 16); }

    TempDir dir_;
    std::u16string dirName_;
    BytesCompare order_;
};

struct SortCase {
    const char* name;
    bool var;
    long slot;           // fixed length, or bulk slot of variable entries
    uint32_t maxLength;  // variable: lengths 0 .. maxLength; fixed: slot/2 .. slot (padded)
    int T;
    uint64_t inMemory;  // entries the memory limit allows (0: default limit)
    long expected;      // expected-entries cap of open
    int n;
    int distinct;  // entries drawn from this many values
    int flags;
    unsigned sortFlags;
    int minLevels;  // merge levels the limit must force
};

const SortCase kCases[] = {
    {"InMemory", false, 40, 40, 32, 0, 0, 5000, 5000, 0, 0, 0},
    {"InMemoryVarGroupDesc", true, 16, 300, 32, 0, 0, 3000, 200, 4 | 16, 0, 0},
    {"InMemoryRemoveDups", false, 8, 8, 32, 0, 0, 3000, 100, 2, 0, 0},
    {"ThreeFilesManyLevels", false, 40, 40, 3, 60, 0, 3000, 3000, 0, 0, 4},
    {"ThirtyTwoFiles", false, 40, 40, 32, 60, 0, 20000, 20000, 0, 0, 2},
    {"PaddedRemoveDupsTruncAlign", false, 13, 13, 3, 30, 0, 4000, 300, 2, 3, 3},
    {"SkipEqualDescending", false, 8, 8, 5, 25, 0, 3000, 100, 1 | 16, 1, 2},
    {"VarHeapBlocksRemoveDups", true, 64, 300, 3, 40, 0, 3000, 400, 2 | 16, 1, 3},
    {"VarGroupT32", true, 24, 100, 32, 40, 0, 6000, 500, 4, 0, 2},
    {"FixedGroupFiles", false, 4, 4, 4, 30, 0, 2000, 50, 4, 0, 2},
    {"ExpectedCapForcesFilesDesc", false, 6, 6, 4, 0, 50, 2000, 2000, 16, 0, 2},
};

void PrintTo(const SortCase& c, std::ostream* os) {
    *os << c.name;
}

class BigSortProperty : public BigSortTest, public ::testing::WithParamInterface<SortCase> {};

std::vector<std::string> generate(const SortCase& c, std::mt19937& rng) {
    std::vector<std::string> pool;
    uint32_t lo = c.var ? 0 : static_cast<uint32_t>(c.slot) / 2;
    for (int i = 0; i < c.distinct; ++i) {
        uint32_t length = std::uniform_int_distribution<uint32_t>(lo, c.maxLength)(rng);
        std::string s(length, '\0');
        for (char& ch : s) ch = static_cast<char>(rng() & 0xff);
        pool.push_back(s);
    }
    if (c.var) {  // the prefix sizes change at 128 and 16,384
        for (uint32_t special : {0u, 127u, 128u, 16383u, 16384u})
            pool.push_back(std::string(special, 'x'));
    }
    std::vector<std::string> in;
    for (int i = 0; i < c.n; ++i) in.push_back(pool[rng() % pool.size()]);
    if (!c.var)
        for (std::string& s : in) s.resize(static_cast<size_t>(c.slot), '\0');
    return in;
}

TEST_P(BigSortProperty, ReadsBackWhatStableSortGives) {
    const SortCase& c = GetParam();
    std::mt19937 rng(static_cast<unsigned>(c.n + c.flags));
    ULBigSortHandle::m_nrsequences = c.T;
    ULBigSortHandle::m_sortflags = c.sortFlags;
    size_t slot = c.slot + ((c.sortFlags & 2) ? (8 - c.slot % 8) % 8 : c.slot % 2);
    if (c.inMemory) ULBigSortHandle::m_maxmemory = memoryFor(c.inMemory, c.T, slot);
    std::vector<std::string> in = generate(c, rng);
    ULBigSortHandle h;
    ASSERT_EQ(h.open(c.slot, c.expected, &order_, c.flags | (c.var ? 8 : 0)), 0) << errorUtf8();
    for (const std::string& s : in) {
        // Fixed entries go in as their unpadded part, in two pieces.
        std::string_view v = s;
        if (!c.var) v = v.substr(0, v.find_last_not_of('\0') + 1);
        size_t half = v.size() / 2;
        const void* pieces[2] = {v.data(), v.data() + half};
        uint32_t lengths[2] = {static_cast<uint32_t>(half), static_cast<uint32_t>(v.size() - half)};
        ASSERT_EQ(h.put(pieces, lengths, 2), 0) << errorUtf8();
    }
    ASSERT_EQ(h.endInput(), 0) << errorUtf8();
    EXPECT_EQ(filesIn(dir_), 0u);  // files are unlinked as soon as they are opened
    EXPECT_GE(h.mergeLevels(), c.minLevels);
    EXPECT_EQ(h.state(), c.minLevels ? 2 : 1);

    bool desc = c.flags & 16;
    std::vector<std::string> sorted = in;
    std::stable_sort(
        sorted.begin(), sorted.end(),
        [desc](const std::string& a, const std::string& b) { return desc ? b < a : a < b; });
    if (c.flags & 2) sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::vector<std::pair<std::string, int>> expected, got;
    for (size_t i = 0; i < sorted.size(); ++i) {
        bool starts = i == 0 || sorted[i] != sorted[i - 1];
        if (!(c.flags & 5) || (!starts && (c.flags & 4)))
            expected.emplace_back(sorted[i], 0);
        else if (starts)
            expected.emplace_back(sorted[i], 1);
    }
    // Each entry is peeked first: the peek shows what the next read then returns.
    std::string buffer(20000, '\0'), peeked;
    for (int rc;;) {
        uint32_t length = static_cast<uint32_t>(buffer.size());
        const int peek = h.get(UL_BIGSORT_PEEK, buffer.data(), &length);
        peeked = buffer.substr(0, peek >= 0 ? length : 0);
        length = static_cast<uint32_t>(buffer.size());
        rc = h.get(UL_BIGSORT_NEXT, buffer.data(), &length);
        ASSERT_EQ(rc, peek) << errorUtf8();
        ASSERT_GE(rc, UL_BIGSORT_END) << errorUtf8();
        if (rc == UL_BIGSORT_END) break;
        ASSERT_EQ(buffer.substr(0, length), peeked);
        got.emplace_back(peeked, rc);
    }
    uint32_t length = static_cast<uint32_t>(buffer.size());
    EXPECT_EQ(h.get(UL_BIGSORT_NEXT, buffer.data(), &length), UL_BIGSORT_END);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(h.entryCount(), (c.flags & 2) ? sorted.size() : in.size());

    // Direct access and search where they are allowed, the refusals where not.
    length = static_cast<uint32_t>(buffer.size());
    if (c.flags & 5) {
        EXPECT_EQ(h.get(0, buffer.data(), &length), -1);
        EXPECT_EQ(errorUtf8(),
                  "Invalid call: No direct access with grouping or removing duplicates");
    } else if (c.var && h.state() == 2) {
        EXPECT_EQ(h.get(0, buffer.data(), &length), -1);
        EXPECT_EQ(errorUtf8(), "No direct access for variable length stream");
    } else {
        for (int k = 0; k < 30; ++k) {
            size_t i = rng() % sorted.size();
            length = static_cast<uint32_t>(buffer.size());
            ASSERT_EQ(h.get(static_cast<long>(i), buffer.data(), &length), 0) << errorUtf8();
            EXPECT_EQ(buffer.substr(0, length), sorted[i]);
            const std::string& key = in[rng() % in.size()];
            auto it = desc ? std::lower_bound(sorted.begin(), sorted.end(), key, std::greater<>())
                           : std::lower_bound(sorted.begin(), sorted.end(), key);
            EXPECT_EQ(h.find(key.data(), static_cast<uint32_t>(key.size())), it - sorted.begin());
        }
    }
    EXPECT_EQ(h.close(UL_BIGSORT_STATISTICS), 0);
    EXPECT_EQ(filesIn(dir_), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, BigSortProperty, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The on-disk form: a handle without a compare object spools entries in input order, each
// variable-length entry behind its base-128 length prefix.
TEST_F(BigSortTest, SpoolsWithLengthPrefixes) {
    static FILE* kept = nullptr;
    ULBigSortHandle::m_sorttempfile = [](void*, FILE** file, int, int) {
        return (*file = kept = tmpfile()) ? 0 : -1;
    };
    ULBigSortHandle::m_maxmemory = memoryFor(2, 3, 0);
    ULBigSortHandle::m_nrsequences = 3;
    ULBigSortHandle h;
    ASSERT_EQ(h.open(0, 0, nullptr, UL_BIGSORT_VARLENGTH), 0);
    std::string expected;
    for (uint32_t length : {5u, 0u, 127u, 128u, 16383u, 16384u, 3u}) {
        std::string entry(length, static_cast<char>('a' + length % 26));
        ASSERT_EQ(h.put(entry.data(), length), 0);
        unsigned char prefix[5];
        expected.append(reinterpret_cast<char*>(prefix), ul_bigsortencodelength(length, prefix));
        expected += entry;
    }
    ASSERT_EQ(h.endInput(), 0) << errorUtf8();
    ASSERT_TRUE(kept);
    std::string disk(expected.size() + 1, '\0');
    EXPECT_EQ(pread(fileno(kept), disk.data(), disk.size(), 0),
              static_cast<ssize_t>(expected.size()));
    EXPECT_EQ(disk.substr(0, expected.size()), expected);
    std::string buffer(16384, '\0');
    for (uint32_t want : {5u, 0u, 127u, 128u, 16383u, 16384u, 3u}) {
        uint32_t length = 16384;
        ASSERT_EQ(h.get(UL_BIGSORT_NEXT, buffer.data(), &length), 0);
        EXPECT_EQ(length, want);
    }
}

// Big-endian base 128 in as few bytes as the length needs, the high bit set on all but the last.
TEST(BigSortPrefix, Base128BigEndian) {
    for (uint64_t length : {0, 127, 128, 16383, 16384, 2097151, 2097152, 268435455, 268435456}) {
        unsigned char out[5];
        const int n = ul_bigsortencodelength(length, out);
        EXPECT_EQ(n, 1 + (length >> 7 > 0) + (length >> 14 > 0) + (length >> 21 > 0) +
                         (length >> 28 > 0));
        uint64_t back = 0;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(out[i] >= 0x80, i + 1 < n) << length;
            back = back << 7 | (out[i] & 0x7f);
        }
        EXPECT_EQ(back, length);
    }
}

void expectFailure(int rc, const std::string& message) {
    EXPECT_EQ(rc, -1);
    EXPECT_NE(errorUtf8().find(message), std::string::npos) << errorUtf8();
}

// Every failure is reported, leaves nothing behind and the handle closable.
TEST_F(BigSortTest, FailuresAreReported) {
    ULBigSortHandle h;
    expectFailure(h.open((1L << 30) + 1, 0, nullptr, 0),
                  "Entry size 1073741825 too large, limit is 1073741824");
    ULBigSortHandle::m_maxmemory = 3 * (40 + 16);
    expectFailure(h.open(40, 0, nullptr, 0), "Too little memory for sorting");
    ULBigSortHandle::m_maxmemory = 1 << 20;
    ASSERT_EQ(h.open(4, 0, &order_, 0), 0);
    ASSERT_EQ(h.put("abcd", 4), 0);
    char b[4];
    uint32_t lengths[2] = {2, 1};
    void* pieces[2] = {b, b + 2};
    expectFailure(h.get(UL_BIGSORT_NEXT, pieces, lengths, 2), "Buffer too small");
    expectFailure(h.put("abcd", 4), "Sorting stream already closed");

    // Temporary files that cannot be created, written or read back.
    static const char* device = nullptr;
    std::u16string missing = dir_.wpath("missing");
    ULBigSortHandle::m_sorttempfileptr = missing.data();
    ULBigSortHandle::m_maxmemory = memoryFor(2, 32, 4);
    struct {
        const char* device;
        std::string message;
    } cases[] = {
        {nullptr,
         concat("Cannot open temporary file '", u8(missing), "/bstp", std::to_string(getpid()))},
        {"/dev/full", "Cannot write to temporary file: No space left on device"},
        {"/dev/null", "Cannot read temporary file at position 0"},
    };
    for (const auto& c : cases) {
        if ((device = c.device))
            ULBigSortHandle::m_sorttempfile = [](void*, FILE** f, int, int) {
                return (*f = fopen(device, "w")) ? 0 : -1;
            };
        ULBigSortHandle s;
        ASSERT_EQ(s.open(4, 0, &order_, 0), 0);
        int rc = 0;
        for (int i = 100; i > 0 && rc == 0; --i) rc = s.put(&i, 4);  // descending: many runs
        expectFailure(rc ? rc : s.endInput(), c.message);
        expectFailure(s.put(&rc, 4), "Sort handle unusable after an earlier failure");
        EXPECT_EQ(s.close(), 0);
    }
    EXPECT_EQ(filesIn(dir_), 0u);
}

// Only the first statistics line without temporary files; at BIGSORT trace level 4 the files
// stay under their documented names.
TEST_F(BigSortTest, StatisticsAndKeptFiles) {
    MemoryStream log;
    ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
    ul_msgwrite_setfp(log.get());
    for (uint64_t inMemory : {uint64_t{0}, uint64_t{2}}) {
        TraceCapture trace(UL_TRC_BIGSORT, inMemory ? 4 : 0);
        ULBigSortHandle::m_maxmemory = inMemory ? memoryFor(2, 32, 4) : 1 << 20;
        ULBigSortHandle h;
        ASSERT_EQ(h.open(4, 0, &order_, 0), 0);
        for (int i = 0; i < 10; ++i) ASSERT_EQ(h.put(&i, 4), 0);
        ASSERT_EQ(h.endInput(), 0);
        std::string name =
            concat("bstp", std::to_string(getpid()), "_", h.handleNumber() < 10 ? "0" : "",
                   std::to_string(h.handleNumber()), "_00");
        EXPECT_EQ(std::filesystem::exists(dir_.path(name)), inMemory != 0) << name;
        EXPECT_EQ(h.close(UL_BIGSORT_STATISTICS), 0);
    }
    std::string text = log.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 3) << text;
    EXPECT_NE(text.find("Sort statistics: 10 entries"), std::string::npos) << text;
    EXPECT_NE(text.find("External sorter: "), std::string::npos) << text;
}

// A process killed in the middle of an external sort leaves no temporary file.
TEST_F(BigSortTest, KilledProcessLeavesNoFiles) {
    childproc::Child child([this] {
        ULBigSortHandle::m_maxmemory = memoryFor(50, 32, 8);
        ULBigSortHandle h;
        if (h.open(8, 0, &order_, 0) < 0) return std::string("open failed");
        for (long i = 0; i < 5000; ++i) h.put(&i, 8);
        if (h.tempFilesUsed() == 0) return std::string("no temporary files");
        childproc::signalReady();
        childproc::sleepUntil([] { return false; });
        return std::string("not killed");
    });
    ASSERT_TRUE(child.waitReady());
    EXPECT_EQ(filesIn(dir_), 0u);
    kill(child.pid(), SIGKILL);
    EXPECT_TRUE(child.finish().killedBy(SIGKILL));
    EXPECT_EQ(filesIn(dir_), 0u);
}

}  // namespace

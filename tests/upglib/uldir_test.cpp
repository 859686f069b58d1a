#include "uldir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "ulauxfcts.h"
#include "uldllist.h"
#include "ulerror.h"

namespace {

using Names = std::vector<std::string>;

Names names(ul_dllist_t& list) {
    Names out;
    ul_dllistiter_t it(&list);
    while (ul_dllistnode_t* node = it.next()) out.push_back(u8(node->str()));
    return out;
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : saved_(umask(mask)) {}
    ~ScopedUmask() { umask(saved_); }

  private:
    mode_t saved_;
};

class Collector : public ULDirListConsumer {
  public:
    explicit Collector(int failAt = -1) : failAt_(failAt) {}
    int handleDirEntry(const char16_t* name) override {
        if (static_cast<int>(seen.size()) == failAt_) {
            ul_errorsetmsg(0, u"consumer gave up");
            return -1;
        }
        seen.push_back(u8(name));
        return 0;
    }
    Names seen;

  private:
    int failAt_;
};

class UlDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ul_errorsetmsg(0, nullptr);
    }
    void TearDown() override {
        ul_memfailafter(-1);
        list.freeList(0);
    }
    TempDir dir;
    ul_dllist_t list;
};

// ---- listing -------------------------------------------------------------------------------

TEST_F(UlDirTest, ListsEntriesWithoutDotEntries) {
    for (const char* name : {"b", "a", "c.crc", "\xC3\xA4nderung"}) dir.write(name, "");
    ASSERT_EQ(mkdir(dir.path("d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.path("d/empty").c_str(), 0755), 0);
    ul_dllistcreateaddstrnode(&list, u"kept", -1);
    EXPECT_EQ(ul_dirlist(dir.wpath().c_str(), &list, nullptr, UL_DIRLIST_SORT), 5);
    EXPECT_EQ(names(list), (Names{"kept", "a", "b", "c.crc", "d", "\xC3\xA4nderung"}));
    Collector collector;
    EXPECT_EQ(ul_dirlist(dir.wpath().c_str(), nullptr, &collector, 0), 5);
    std::sort(collector.seen.begin(), collector.seen.end());
    EXPECT_EQ(collector.seen, (Names{"a", "b", "c.crc", "d", "\xC3\xA4nderung"}));
    EXPECT_EQ(ul_dirlist(dir.wpath("d/empty").c_str(), nullptr, &collector, 0), 0);
}

TEST_F(UlDirTest, ListingErrorsLeaveTheListAsItWas) {
    for (const char* name : {"a", "b", "c"}) dir.write(name, "");
    EXPECT_EQ(ul_dirlist(dir.wpath("missing").c_str(), &list, nullptr, 0), -1);
    EXPECT_EQ(errorUtf8(), "Cannot list directory '" + dir.path("missing") + "': " + strerror(ENOENT));
    EXPECT_EQ(ul_dirlist(dir.wpath("a").c_str(), &list, nullptr, 0), -1);
    EXPECT_EQ(errorUtf8(), "Cannot list directory '" + dir.path("a") + "': " + strerror(ENOTDIR));
    EXPECT_TRUE(list.isEmpty());
    // A failing receiver stops the listing.
    Collector collector(2);
    EXPECT_EQ(ul_dirlist(dir.wpath().c_str(), nullptr, &collector, UL_DIRLIST_SORT), -1);
    EXPECT_EQ(collector.seen, (Names{"a", "b"}));
    EXPECT_EQ(errorUtf8(), "consumer gave up");
    ul_dllistcreateaddstrnode(&list, u"kept", -1);
    ul_memfailafter(1);  // the second new node cannot be allocated
    EXPECT_EQ(ul_dirlist(dir.wpath().c_str(), &list, nullptr, UL_DIRLIST_SORT), -1);
    EXPECT_EQ(names(list), (Names{"kept"}));
}

TEST_F(UlDirTest, PatternsSelectNames) {
    for (const char* name : {"a.crc", "b.CRC", "xyz", "xyzz", "other", "crc"}) dir.write(name, "");
    const std::tuple<std::vector<const char16_t*>, int, Names> cases[] = {
        {{u"*.crc", u"x?z"}, 0, {"a.crc", "xyz"}}, {{u"*.crc"}, UL_DIRLIST_IGNORECASE, {"a.crc", "b.CRC"}},
        {{u"xyz*"}, 0, {"xyz", "xyzz"}},  // the whole name must match, not a prefix
        {{u"[a-b]*"}, 0, {"a.crc", "b.CRC"}}, {{u"nothing*"}, 0, {}}, {{}, 0, Names{}}};
    for (const auto& [patterns, flags, expected] : cases) {
        std::vector<const char16_t*> terminated = patterns;
        terminated.push_back(nullptr);
        list.freeList(0);
        EXPECT_EQ(ul_dirlistpattern(dir.wpath().c_str(), terminated.data(), &list, nullptr, flags | UL_DIRLIST_SORT),
                  static_cast<int>(expected.size()));
        EXPECT_EQ(names(list), expected) << u8(terminated[0] ? terminated[0] : u"(none)");
    }
}

// ---- creating ------------------------------------------------------------------------------

TEST_F(UlDirTest, MkdirModesAndExistingEntries) {
    ScopedUmask mask(022);
    EXPECT_EQ(ul_mkdir(dir.wpath("plain").c_str(), -1), 0);
    EXPECT_EQ(modeOf(dir.path("plain")), 0755u);  // default 0777 less the umask
    EXPECT_EQ(ul_mkdir(dir.wpath("given").c_str(), 0750), 0);
    EXPECT_EQ(ul_mkdir(dir.wpath("given").c_str(), 0700), 1);  // exists: nothing changes
    EXPECT_EQ(modeOf(dir.path("given")), 0750u);
    int saved = UL_DirDefaultMode;
    UL_DirDefaultMode = 0711;
    EXPECT_EQ(ul_mkdir(dir.wpath("default").c_str(), -1), 0);
    UL_DirDefaultMode = saved;
    EXPECT_EQ(modeOf(dir.path("default")), 0711u);
    dir.write("file", "");
    EXPECT_EQ(ul_mkdir(dir.wpath("file").c_str(), -1), -1);
    EXPECT_EQ(errorUtf8(), "Cannot create '" + dir.path("file") + "': " + strerror(EEXIST));
    EXPECT_EQ(ul_mkdir(dir.wpath("no/parent").c_str(), -1), -1);
    EXPECT_EQ(errorUtf8(), "Cannot create '" + dir.path("no/parent") + "': " + strerror(ENOENT));
}

TEST_F(UlDirTest, SecureMkdirEnforces0700) {
    ScopedUmask mask(0777);  // would leave no permission at all
    EXPECT_EQ(ul_mkdir_secure(dir.wpath("private").c_str()), 0);
    EXPECT_EQ(modeOf(dir.path("private")), 0700u);
    ASSERT_EQ(mkdir(dir.path("open").c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.path("open").c_str(), 0755), 0);
    EXPECT_EQ(ul_mkdir_secure(dir.wpath("open").c_str()), 1);
    EXPECT_EQ(modeOf(dir.path("open")), 0700u);
    ASSERT_EQ(symlink(dir.path("open").c_str(), dir.path("link").c_str()), 0);
    dir.write("file", "");
    for (const char* name : {"link", "file"}) {
        EXPECT_EQ(ul_mkdir_secure(dir.wpath(name).c_str()), -1);
        EXPECT_EQ(errorUtf8(), "Path '" + dir.path(name) + "' exists, but is not a directory");
    }
    ScopedUmask none(0);
    EXPECT_EQ(ul_dirmkhier(dir.wpath().c_str(), u"s1/s2", UL_MKHIER_SECURE, nullptr, -1), 2);
    EXPECT_EQ(modeOf(dir.path("s1")), 0700u);
    EXPECT_EQ(modeOf(dir.path("s1/s2")), 0700u);
}

class Recorder : public ULDirMkHierChecker {
  public:
    Recorder(int answer, std::string refuse = "") : answer_(answer), refuse_(std::move(refuse)) {}
    int checkCreate(const char16_t* path) override {
        asked.push_back(u8(path));
        if (!refuse_.empty() && asked.back() == refuse_) {
            ul_errorsetmsgfmt(0, u"Not allowed: '%s'", path);
            return -1;
        }
        return answer_;
    }
    Names asked;

  private:
    int answer_;
    std::string refuse_;
};

TEST_F(UlDirTest, HierarchyCreatesOnlyMissingLevels) {
    std::u16string base = dir.wpath();
    EXPECT_EQ(ul_dirmkhier(base.c_str(), u"a/b//c/", 0, nullptr, -1), 3);
    EXPECT_TRUE(isDirectory(dir.path("a/b/c")));
    Recorder recorder(0);
    EXPECT_EQ(ul_dirmkhier(base.c_str(), u"a/b/c/d", 0, &recorder, -1), 1);
    EXPECT_EQ(recorder.asked, (Names{dir.path("a/b/c/d")}));
    // Without a base the path stands for itself.
    EXPECT_EQ(ul_dirmkhier(nullptr, dir.wpath("x/y").c_str(), 0, nullptr, -1), 2);
    EXPECT_TRUE(isDirectory(dir.path("x/y")));
    EXPECT_EQ(ul_dirmkhier(base.c_str(), u"out/sub/result.txt", UL_MKHIER_LASTFILE, nullptr, -1), 2);
    EXPECT_TRUE(isDirectory(dir.path("out/sub")));
    EXPECT_FALSE(isDirectory(dir.path("out/sub/result.txt")));
    dir.write("a/f", "");
    EXPECT_EQ(ul_dirmkhier(base.c_str(), u"a/f/g", 0, nullptr, -1), -1);
    EXPECT_EQ(errorUtf8(), "Path '" + dir.path("a/f") + "' exists, but is not a directory");
}

TEST_F(UlDirTest, HierarchyAsksTheCheckerBeforeEachCreation) {
    std::u16string base = dir.wpath();
    Recorder refusing(0, dir.path("p/q")), dryRun(1);
    EXPECT_EQ(ul_dirmkhier(base.c_str(), u"p/q/r", 0, &refusing, -1), -1);
    EXPECT_EQ(errorUtf8(), "Not allowed: '" + dir.path("p/q") + "'");
    EXPECT_TRUE(isDirectory(dir.path("p")));
    EXPECT_FALSE(isDirectory(dir.path("p/q")));
    EXPECT_EQ(ul_dirmkhier(base.c_str(), u"p/q/r", 0, &dryRun, -1), 0);
    EXPECT_EQ(dryRun.asked, (Names{dir.path("p/q"), dir.path("p/q/r")}));
    EXPECT_FALSE(isDirectory(dir.path("p/q")));
}

}  // namespace

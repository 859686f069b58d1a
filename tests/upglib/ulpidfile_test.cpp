#include "ulpidfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "childproc.h"
#include "tempdir.h"
#include "testutil.h"
#include "tracecapture.h"
#include "ulauxfcts.h"
#include "ulerror.h"
#include "ulsqlaux.h"
#include "ulstring.h"

namespace {

using Texts = std::vector<std::string>;

std::string ownPid() {
    return std::to_string(ul_getownpid());
}

std::string shortHost() {
    char16_t host[256];
    return ul_gethostshortname(host, 256) < 0 ? std::string("?") : u8(host);
}

Texts strings(ul_dllist_t* list) {
    Texts result;
    ul_dllistiter_t iter(list);
    while (ul_dllistnode_t* node = iter.next()) result.push_back(u8(node->str()));
    return result;
}

// Replaces the "%s" in a message by the path.
std::string withPath(std::string message, const std::string& path) {
    return message.replace(message.find("%s"), 2, path);
}

class UlPidFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        path_ = dir_.wpath("run.pid");
        savedRate_ = UL_SQLPidCheckRate;
    }
    void TearDown() override {
        requests_.freeList(0);
        UL_SQLPidCheckRate = savedRate_;
    }

    void writeFile(const std::string& bytes) { dir_.write("run.pid", bytes); }
    std::string fileText() { return readFileBytes(dir_.path("run.pid")); }
    const char16_t* path() { return path_.c_str(); }
    std::string pathText() { return dir_.path("run.pid"); }

    TempDir dir_;
    std::u16string path_;
    ul_dllist_t requests_;
    double savedRate_ = 10.0;
};

// ---- reading ------------------------------------------------------------------------------

TEST_F(UlPidFileTest, ReadsPidRequestsStatusesAndStop) {
    writeFile(
        "4711\nREQUEST:   first request\nPHASE: import 3 of "
        "7\nstop-Execution\nREQUEST:second\nREQUEST:\n");
    ULPidFile file;
    ASSERT_EQ(file.read(path(), &requests_), UL_PIDFILE_READ) << errorUtf8();
    EXPECT_EQ(file.pid(), 4711);
    EXPECT_TRUE(file.stopRequested());
    EXPECT_EQ(strings(&requests_), (Texts{"first request", "second", ""}));
    EXPECT_EQ(strings(file.statusLines()), (Texts{"PHASE: import 3 of 7"}));
    // A second read starts afresh and appends to the caller's list; overlong lines are cut, and
    // the part of a line a dying writer left is ignored with a warning.
    TraceCapture trace(UL_TRC_PIDFILE, 1);
    writeFile("4712\nREQUEST: " + std::string(UL_PIDFILE_MAXLINE + 50, 'x') + "\nREQUEST: cut o");
    ASSERT_EQ(file.read(path(), &requests_), UL_PIDFILE_READ) << errorUtf8();
    EXPECT_NE(trace.text().find("Warning: PID file '" + pathText() +
                                "' has premature last line 'REQUEST: cut o' - ignored!\n"),
              std::string::npos)
        << trace.text();
    EXPECT_EQ(file.pid(), 4712);
    EXPECT_FALSE(file.stopRequested());
    EXPECT_TRUE(file.statusLines()->isEmpty());
    ASSERT_EQ(requests_.getCount(), 4);
    EXPECT_EQ(ul_strlen(requests_.getNode(-1)->str()), UL_PIDFILE_MAXLINE - 9);
    EXPECT_EQ(file.read(dir_.wpath("absent.pid").c_str(), nullptr), UL_PIDFILE_MISSING);
    EXPECT_EQ(file.pid(), -1);
    mkdir(dir_.path("sub").c_str(), 0700);
    EXPECT_EQ(file.read(dir_.wpath("sub").c_str(), nullptr), -1);
    EXPECT_EQ(errorUtf8(), "Cannot read '" + dir_.path("sub") + "': Is a directory");
}

// The first line holds the pid and optionally the host; a file of another host has pid 0. Every
// later line is a request, a status, the stop request or an error; no request of a refused file
// is handed out.
TEST_F(UlPidFileTest, FirstLineRules) {
    const std::string host = shortHost();
    const std::tuple<std::string, int, std::string> cases[] = {
        {"1\n", 1, ""},
        {"2147483646\n", 2147483646, ""},
        {"815 " + host + "\n", 815, ""},
        {"815 " + host + ".some.domain\n", 815, ""},
        {"815 " + ul_utf16to8(ul_string2upper(ul_utf8to16(host.c_str()).data())) + "\n", 815, ""},
        {"815 not-" + host + "\n", 0, ""},
        {"815 not-" + host + ".some.domain\n", 0, ""},
        {"0\n", -1, "Invalid pid '0' in '%s'"},
        {"2147483647\n", -1, "Invalid pid '2147483647' in '%s'"},
        {"-3\n", -1, "Invalid pid '-3' in '%s'"},
        {"12x\n", -1, "Invalid pid '12x' in '%s'"},
        {"\nREQUEST: a\n", -1, "Invalid pid '' in '%s'"},
        {"4711\nREQUEST: before\nhello\n", -1, "Illegal line 'hello' in PID file '%s'"},
        {"4711\nREQUEST: before\n\n", -1, "Illegal line '' in PID file '%s'"},
        {"4711\nREQUEST: a\nmy status: x\n", -1, "Illegal line 'my status: x' in PID file '%s'"},
        {"4711\nREQUEST: before\n:x\n", -1, "Illegal line ':x' in PID file '%s'"},
        {"4711\nREQUEST: before\nREQUEST\n", -1, "Illegal line 'REQUEST' in PID file '%s'"}};
    for (const auto& [content, pid, message] : cases) {
        SCOPED_TRACE(content);
        writeFile(content);
        ULPidFile file;
        EXPECT_EQ(file.read(path(), &requests_), pid < 0 ? -1 : UL_PIDFILE_READ);
        if (pid < 0) {
            EXPECT_EQ(errorUtf8(), withPath(message, pathText()));
        }
        if (pid >= 0) {
            EXPECT_EQ(file.pid(), pid);
        }
        EXPECT_TRUE(requests_.isEmpty());  // the readable files hold none
    }
}

// ---- verify -------------------------------------------------------------------------------

TEST_F(UlPidFileTest, VerifyResults) {
    const std::string own = ownPid(), other = std::to_string(ul_getownpid() + 1);
    const std::tuple<std::string, int, std::string> cases[] = {
        {own + "\n", 0, ""},
        {own + " " + shortHost() + "\nREQUEST: x\n", 0, ""},
        {own + "\nSTOP-EXECUTION\n", 1, ""},
        {own + "\n  Stop-Execution \n", 1, ""},
        {own + "\nSTOP-EXECUTION", 0,
         ""},  // neither a cut stop request nor a cut illegal line counts
        {own + "\ngarbage", 0, ""},
        {"-", -1, "Missing pid file '%s'"},
        {"", -1, "Empty pid file '%s'"},
        {own, -1, "Empty pid file '%s'"},  // a first line without its line feed holds no pid
        {other + "\n", -1, "Pid file '%s' contains different pid " + other + " != " + own},
        {own + " elsewhere\n", -1, "Pid file '%s' contains different pid 0 != " + own},
    };
    for (const auto& [content, rc, message] : cases) {
        SCOPED_TRACE(content);
        unlink(pathText().c_str());
        if (content != "-") writeFile(content);
        EXPECT_EQ(ULPidFile::verify(nullptr, path(), &requests_), rc);
        if (rc < 0) {
            EXPECT_EQ(errorUtf8(), withPath(message, pathText()));
        }
    }
}

// The file changes between the calls; only a call after the interval sees the change, and
// errors are reported only by a call that reads.
TEST_F(UlPidFileTest, CheckerReadsAtMostOncePerInterval) {
    UL_SQLPidCheckRate = 10.0;
    ULPidFile checker, missing;
    EXPECT_EQ(ULPidFile::verify(&missing, path(), nullptr), -1);
    EXPECT_EQ(errorUtf8(), "Missing pid file '" + pathText() + "'");
    EXPECT_EQ(ULPidFile::verify(&missing, path(), nullptr), 0);

    writeFile(ownPid() + "\nREQUEST: one\n");
    EXPECT_EQ(ULPidFile::verify(&checker, path(), &requests_), 0) << errorUtf8();
    writeFile(ownPid() + "\nSTOP-EXECUTION\nREQUEST: two\n");
    EXPECT_EQ(ULPidFile::verify(&checker, path(), &requests_), 0);
    EXPECT_EQ(requests_.getCount(), 1);
    // Without a checker every call reads.
    EXPECT_EQ(ULPidFile::verify(nullptr, path(), &requests_), 1);
    EXPECT_EQ(requests_.getCount(), 2);
    // Once the interval has passed, the checker reads again.
    UL_SQLPidCheckRate = 0.05;
    usleep(60000);
    EXPECT_EQ(ULPidFile::verify(&checker, path(), &requests_), 1);
    EXPECT_TRUE(checker.stopRequested());
    EXPECT_EQ(requests_.getCount(), 3);
    EXPECT_EQ(ULPidFile::verify(&checker, path(), &requests_), 0);
}

// ---- create and delete --------------------------------------------------------------------

TEST_F(UlPidFileTest, CreateWritesTheOwnPidWithOrWithoutHost) {
    for (const auto& [flags, content] :
         {std::pair{0, ownPid() + "\n"},
          {UL_PIDFILE_HOSTNAME, ownPid() + " " + shortHost() + "\n"}}) {
        ASSERT_EQ(ULPidFile::create(path(), u"tabrix", flags), 0) << errorUtf8();
        EXPECT_EQ(fileText(), content);
        EXPECT_EQ(ULPidFile::verify(nullptr, path(), nullptr), 0) << errorUtf8();
    }
    // A file that names this process is its own: it is rewritten, not reported as foreign.
    writeFile(ownPid() + "\nREQUEST: stale\n");
    EXPECT_EQ(ULPidFile::create(path(), nullptr, 0), 0) << errorUtf8();
    EXPECT_EQ(fileText(), ownPid() + "\n");
}

TEST_F(UlPidFileTest, LiveOwnerKeepsItsFile) {
    childproc::SleepingProcess owner;
    ASSERT_GT(owner.pid(), 0);
    const std::string pid = std::to_string(owner.pid());
    for (const std::string& content :
         {pid + "\n", pid + " " + shortHost() + "\nREQUEST: x\nSTATUS: running\n"}) {
        for (const char16_t* name :
             {static_cast<const char16_t*>(nullptr), u"", u"sleep", u"LEE"}) {
            SCOPED_TRACE(content + " / " + (name ? u8(name) : "null"));
            writeFile(content);
            EXPECT_EQ(ULPidFile::create(path(), name, 0), owner.pid()) << errorUtf8();
            EXPECT_EQ(fileText(), content);
        }
    }
}

// The file of another host, of a dead process or of a live process with another name is
// replaced.
TEST_F(UlPidFileTest, ForeignFilesAreReplaced) {
    childproc::SleepingProcess live;
    const int dead = childproc::deadPid();
    ASSERT_GT(dead, 0);
    for (const std::string& content :
         {std::to_string(live.pid()) + " not-" + shortHost() + "\n", std::to_string(dead) + "\n",
          std::to_string(dead) + " " + shortHost() + "\nREQUEST: old\n"}) {
        SCOPED_TRACE(content);
        writeFile(content);
        EXPECT_EQ(ULPidFile::create(path(), u"sleep", 0), 0) << errorUtf8();
        EXPECT_EQ(fileText(), ownPid() + "\n");
    }
    TraceCapture trace(UL_TRC_PIDFILE, 1);
    writeFile(std::to_string(live.pid()) + "\n");
    EXPECT_EQ(ULPidFile::create(path(), u"tabrix", 0), 0) << errorUtf8();
    EXPECT_EQ(fileText(), ownPid() + "\n");
    EXPECT_NE(trace.text().find("Process " + std::to_string(live.pid()) +
                                " with name 'sleep' is differs to 'tabrix, delete pidfile '" +
                                pathText() + "'.\n"),
              std::string::npos)
        << trace.text();
}

TEST_F(UlPidFileTest, CreateAndDeleteErrors) {
    writeFile("x\n");
    EXPECT_EQ(ULPidFile::create(path(), nullptr, 0), -1);
    EXPECT_EQ(errorUtf8(), "Invalid pid 'x' in '" + pathText() + "'");
    EXPECT_EQ(fileText(), "x\n");
    EXPECT_EQ(ULPidFile::create(dir_.wpath("missing/run.pid").c_str(), nullptr, 0), -1);
    EXPECT_EQ(errorUtf8(),
              "Cannot write to '" + dir_.path("missing/run.pid") + "': No such file or directory");

    EXPECT_EQ(ULPidFile::delFile(path()), 0);
    EXPECT_NE(access(pathText().c_str(), F_OK), 0);
    EXPECT_EQ(ULPidFile::delFile(path()), 0);  // its absence is fine
    ASSERT_EQ(mkdir(dir_.path("full").c_str(), 0700), 0);
    dir_.write("full/inside", "x");
    EXPECT_EQ(ULPidFile::delFile(dir_.wpath("full").c_str()), -1);
    EXPECT_EQ(errorUtf8(), "Cannot remove '" + dir_.path("full") + "': Directory not empty");
}

}  // namespace

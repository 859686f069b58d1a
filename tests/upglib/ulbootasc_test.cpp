#include "ulbootasc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "childproc.h"
#include "tempdir.h"
#include "testutil.h"
#include "ulerror.h"

namespace {

std::string envValue(const char* name) {
    const char* value = getenv(name);
    return value ? value : "<unset>";
}

// Calls ul_bootadaptenv in a child on a copy of words. When it re-executes, the child becomes
// the program of words[0]; when it returns, the child reports both variables.
childproc::Outcome adaptInChild(const std::vector<std::string>& words) {
    return childproc::runInChild([&words] {
        std::vector<std::string> copy = words;
        std::vector<char*> argv;
        for (std::string& word : copy) argv.push_back(word.data());
        argv.push_back(nullptr);
        int rc = ul_bootadaptenv(static_cast<int>(copy.size()), argv.data());
        return "returned " + std::to_string(rc) +
               ": LD_LIBRARY_PATH=" + envValue("LD_LIBRARY_PATH") +
               " DIR_LIBRARY=" + envValue("DIR_LIBRARY");
    });
}

// A shell that shows what the re-executed program got: both variables and its arguments.
const std::vector<std::string> kShowingShell = {
    "/bin/sh", "-c", "printf '%s|%s|%s %s' \"$LD_LIBRARY_PATH\" \"$DIR_LIBRARY\" \"$0\" \"$1\"",
    "zero", "one"};

class UlBootAscTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }

    void makeFile(const std::string& name, mode_t mode) {
        dir_.write(name, "#!/bin/sh\n");
        chmod(dir_.path(name).c_str(), mode);
    }

    // The start-up variables are the test program's own business otherwise.
    ScopedEnv disable_{"UL_STARTUP_DISABLE", nullptr};
    ScopedEnv trace_{"UL_STARTUP_TRACE", nullptr};
    ScopedEnv dirLibrary_{"DIR_LIBRARY", nullptr};
    TempDir dir_;
};

TEST_F(UlBootAscTest, LibraryPathGetsTheDirectoryInFrontOnce) {
    const struct {
        const char* current;
        bool changed;
        std::string adapted;
    } cases[] = {
        {nullptr, true, "/opt/vex"},
        {"", true, "/opt/vex"},
        {"/usr/lib", true, "/opt/vex:/usr/lib"},
        {"/opt/vex", false, ""},
        {"/opt/vex:/usr/lib", false, ""},
        {"/opt/vex2:/usr/lib", true, "/opt/vex:/opt/vex2:/usr/lib"},
        {"/opt/ve", true, "/opt/vex:/opt/ve"},
        {"/usr/lib:/opt/vex", true, "/opt/vex:/usr/lib:/opt/vex"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.current ? c.current : "null");
        std::string adapted = "untouched";
        EXPECT_EQ(ul_bootlibrarypath("/opt/vex", c.current, &adapted), c.changed);
        EXPECT_EQ(adapted, c.changed ? c.adapted : "untouched");
        // The adapted value is what the re-executed process finds: it must not change again.
        if (c.changed) {
            EXPECT_FALSE(ul_bootlibrarypath("/opt/vex", adapted.c_str(), &adapted));
        }
    }
}

TEST_F(UlBootAscTest, DisableAndTraceTakeDecimalNumbersOnly) {
    const struct {
        const char* value;
        bool disabled;
        int level;
    } cases[] = {
        {nullptr, false, 0}, {"", false, 0},    {"0", false, 0},  {"1", true, 1},  {"17", true, 17},
        {"-2", true, 0},     {"abc", false, 0}, {"1x", false, 0}, {" 3", true, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "unset");
        ScopedEnv disable("UL_STARTUP_DISABLE", c.value);
        ScopedEnv trace("UL_STARTUP_TRACE", c.value);
        EXPECT_EQ(ul_bootisdisabled(), c.disabled);
        EXPECT_EQ(ul_boottracelevel(), c.level);
    }
}

TEST_F(UlBootAscTest, ExecutableLocationFromAPath) {
    ScopedCwd cwd(dir_.path());
    const std::string here = dir_.path();
    const struct {
        const char* argv0;
        std::string directory;
    } cases[] = {
        {"/opt/vex/bin/tabrix", "/opt/vex/bin"},
        {"/opt//vex/./bin/tabrix", "/opt/vex/bin"},
        {"/opt/vex/lib/../bin/tabrix", "/opt/vex/bin"},
        {"/tabrix", "/"},
        {"/../tabrix", "/"},
        {"./tabrix", here},
        {"bin/tabrix", here + "/bin"},
        {"../x/tabrix", std::filesystem::path(here).parent_path().string() + "/x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argv0);
        std::string directory, executable, error;
        ASSERT_TRUE(ul_bootexecutablelocation(c.argv0, &directory, &executable, &error)) << error;
        EXPECT_EQ(directory, c.directory);
        EXPECT_EQ(executable, c.argv0);  // executed again as it was given
    }
    std::string directory, executable, error;
    EXPECT_FALSE(ul_bootexecutablelocation("", &directory, &executable, &error));
    EXPECT_EQ(error, "The program path is empty");
}

// The first executable regular file in PATH wins; an empty entry is the current directory.
TEST_F(UlBootAscTest, ExecutableLocationFromPath) {
    mkdir(dir_.path("a").c_str(), 0700);
    mkdir(dir_.path("b").c_str(), 0700);
    mkdir(dir_.path("c").c_str(), 0700);
    mkdir(dir_.path("a/prog").c_str(), 0700);  // a directory is no program
    makeFile("b/prog", 0600);                  // not executable
    makeFile("c/prog", 0700);
    makeFile("prog", 0700);
    ScopedCwd cwd(dir_.path());
    const std::string a = dir_.path("a"), b = dir_.path("b"), c = dir_.path("c");
    const struct {
        std::string path;
        std::string directory;
    } cases[] = {
        {a + ":" + b + ":" + c, c},
        {a + "::" + c, dir_.path()},
        {a + ":" + c + ":", c},
        {"c:" + a, c},  // a relative entry is made absolute
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.path);
        ScopedEnv path("PATH", test.path.c_str());
        std::string directory, executable, error;
        ASSERT_TRUE(ul_bootexecutablelocation("prog", &directory, &executable, &error)) << error;
        EXPECT_EQ(directory, test.directory);
        EXPECT_EQ(executable, test.directory + "/prog");
    }
}

// A name that PATH does not hold is this very program (as when started by exec with a bare
// name).
TEST_F(UlBootAscTest, ExecutableLocationFallsBackToTheRunningProgram) {
    ScopedEnv path("PATH", dir_.path().c_str());
    std::string directory, executable, error;
    ASSERT_TRUE(ul_bootexecutablelocation("no-such-program", &directory, &executable, &error))
        << error;
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(executable, self);
    EXPECT_EQ(directory, std::filesystem::path(self).parent_path().string());
}

TEST_F(UlBootAscTest, AdaptingReexecutesWithTheSameArgumentsAndTheNewPath) {
    ScopedEnv libraryPath("LD_LIBRARY_PATH", "/old/lib");
    childproc::Outcome outcome = adaptInChild(kShowingShell);
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ(outcome.out, "/bin:/old/lib|/bin|zero one");
    EXPECT_EQ(outcome.report, "");  // the child became the shell
    EXPECT_EQ(outcome.err, "");
}

TEST_F(UlBootAscTest, ReexecutionIsTracedOnRequest) {
    ScopedEnv libraryPath("LD_LIBRARY_PATH", nullptr);
    {
        ScopedEnv trace("UL_STARTUP_TRACE", "1");
        childproc::Outcome outcome = adaptInChild(kShowingShell);
        EXPECT_EQ(outcome.out,
                  "*** Reexecuting /bin/sh with adapted environment\n/bin|/bin|zero one");
    }
    {
        ScopedEnv trace("UL_STARTUP_TRACE", "2");
        childproc::Outcome outcome = adaptInChild(kShowingShell);
        EXPECT_EQ(outcome.out,
                  "*** Executable directory '/bin'\n*** LD_LIBRARY_PATH=/bin\n"
                  "*** DIR_LIBRARY=/bin\n*** Reexecuting /bin/sh with adapted environment\n"
                  "/bin|/bin|zero one");
    }
}

TEST_F(UlBootAscTest, BareProgramNameIsReexecutedFromPath) {
    ScopedEnv libraryPath("LD_LIBRARY_PATH", nullptr);
    ScopedEnv path("PATH", "/bin");
    ScopedEnv trace("UL_STARTUP_TRACE", "1");
    std::vector<std::string> words = kShowingShell;
    words[0] = "sh";
    childproc::Outcome outcome = adaptInChild(words);
    EXPECT_EQ(outcome.out, "*** Reexecuting /bin/sh with adapted environment\n/bin|/bin|zero one");
}

TEST_F(UlBootAscTest, PathThatAlreadyBeginsWithTheDirectoryNeedsNoReexecution) {
    ScopedEnv libraryPath("LD_LIBRARY_PATH", "/bin:/old/lib");
    ScopedEnv trace("UL_STARTUP_TRACE", "1");
    childproc::Outcome outcome = adaptInChild(kShowingShell);
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ(outcome.report, "returned 0: LD_LIBRARY_PATH=/bin:/old/lib DIR_LIBRARY=/bin");
    EXPECT_EQ(outcome.out, "");
}

TEST_F(UlBootAscTest, DisabledAdaptationChangesNothing) {
    ScopedEnv libraryPath("LD_LIBRARY_PATH", nullptr);
    ScopedEnv disable("UL_STARTUP_DISABLE", "1");
    ScopedEnv trace("UL_STARTUP_TRACE", "2");
    childproc::Outcome outcome = adaptInChild(kShowingShell);
    EXPECT_EQ(outcome.report, "returned 0: LD_LIBRARY_PATH=<unset> DIR_LIBRARY=<unset>");
    EXPECT_EQ(outcome.out, "");
}

TEST_F(UlBootAscTest, FailedReexecutionEndsWithTwenty) {
    ScopedEnv libraryPath("LD_LIBRARY_PATH", nullptr);
    childproc::Outcome outcome = adaptInChild({"/nonexistent-dir/prog", "x"});
    EXPECT_TRUE(outcome.exited(UL_BOOT_EXIT_FATAL)) << outcome.describe();
    EXPECT_EQ(outcome.err,
              "FATAL: Reexecuting /nonexistent-dir/prog failed!\n"
              "ERROR: No such file or directory\n");
    EXPECT_EQ(outcome.report, "");

    outcome = adaptInChild({});
    EXPECT_TRUE(outcome.exited(UL_BOOT_EXIT_FATAL)) << outcome.describe();
    EXPECT_EQ(outcome.err, "FATAL: No program path in the argument vector\n");
}

TEST_F(UlBootAscTest, DatabaseEnvironmentGetsTheProgramDirectory) {
    ScopedCwd cwd(dir_.path());
    const struct {
        const char16_t* program;
        std::string directory;
    } cases[] = {
        {u"/opt/vex/bin/tabrix", "/opt/vex/bin"},
        {u"/opt/vex/bin/./../bin/tabrix", "/opt/vex/bin"},
        {u"run/tabrix", dir_.path("run")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.program));
        EXPECT_EQ(ul_bootadaptdbenv(c.program), 1) << u8(ul_errorgetmsg());
        EXPECT_EQ(envValue("DIR_LIBRARY"), c.directory);
    }
    ScopedEnv disable("UL_STARTUP_DISABLE", "1");
    EXPECT_EQ(ul_bootadaptdbenv(u"/elsewhere/tabrix"), 0);
    EXPECT_EQ(envValue("DIR_LIBRARY"), dir_.path("run"));
}

}  // namespace

#include "ulbootasc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
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
    const std::pair<const char*, std::string> cases[] = {
        // current value, adapted value
        {nullptr, "/opt/vex"},
        {"", "/opt/vex"},
        {"/usr/lib", "/opt/vex:/usr/lib"},
        {"/opt/vex", ""},
        {"/opt/vex:/usr/lib", ""},
        {"/opt/vex2:/usr/lib", "/opt/vex:/opt/vex2:/usr/lib"},
        {"/opt/ve", "/opt/vex:/opt/ve"},
        {"/usr/lib:/opt/vex", "/opt/vex:/usr/lib:/opt/vex"},
    };
    for (const auto& [current, expected] : cases) {
        std::string adapted = "untouched";
        EXPECT_EQ(ul_bootlibrarypath("/opt/vex", current, &adapted), !expected.empty());
        EXPECT_EQ(adapted, expected.empty() ? "untouched" : expected);
        // The adapted value is what the re-executed process finds: it must not change again.
        EXPECT_FALSE(
            ul_bootlibrarypath("/opt/vex", expected.empty() ? current : adapted.c_str(), &adapted));
    }
}

TEST_F(UlBootAscTest, DisableAndTraceTakeDecimalNumbersOnly) {
    const std::tuple<const char*, bool, int> cases[] = {
        // value, disabled, trace level
        {nullptr, false, 0}, {"", false, 0},    {"0", false, 0},  {"1", true, 1},  {"17", true, 17},
        {"-2", true, 0},     {"abc", false, 0}, {"1x", false, 0}, {" 3", true, 3},
    };
    for (const auto& [value, disabled, level] : cases) {
        ScopedEnv disable("UL_STARTUP_DISABLE", value), trace("UL_STARTUP_TRACE", value);
        EXPECT_EQ(ul_bootisdisabled(), disabled) << (value ? value : "unset");
        EXPECT_EQ(ul_boottracelevel(), level) << (value ? value : "unset");
    }
}

// From a path: the normalised directory, the program executed again as given. From a bare name:
// the first executable regular file in PATH (an empty entry is the current directory, a
// relative one is made absolute), else this very program.
TEST_F(UlBootAscTest, ExecutableLocation) {
    for (const char* sub : {"a", "b", "c", "a/prog"}) mkdir(dir_.path(sub).c_str(), 0700);
    makeFile("b/prog", 0600);  // not executable
    makeFile("c/prog", 0700);
    makeFile("prog", 0700);
    ScopedCwd cwd(dir_.path());
    const std::string here = dir_.path(), a = dir_.path("a"), b = dir_.path("b"),
                      c = dir_.path("c");
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const struct {
        const char* argv0;
        std::string path, directory, executable;
    } cases[] = {
        {"/opt/vex/bin/tabrix", "", "/opt/vex/bin", "/opt/vex/bin/tabrix"},
        {"/opt//vex/./bin/tabrix", "", "/opt/vex/bin", "/opt//vex/./bin/tabrix"},
        {"/opt/vex/lib/../bin/tabrix", "", "/opt/vex/bin", "/opt/vex/lib/../bin/tabrix"},
        {"/tabrix", "", "/", "/tabrix"},
        {"/../tabrix", "", "/", "/../tabrix"},
        {"./tabrix", "", here, "./tabrix"},
        {"bin/tabrix", "", here + "/bin", "bin/tabrix"},
        {"../x/tabrix", "", std::filesystem::path(here).parent_path().string() + "/x",
         "../x/tabrix"},
        {"prog", a + ":" + b + ":" + c, c, c + "/prog"},
        {"prog", a + "::" + c, here, here + "/prog"},
        {"prog", a + ":" + c + ":", c, c + "/prog"},
        {"prog", "c:" + a, c, c + "/prog"},
        {"no-such-program", here, std::filesystem::path(self).parent_path().string(), self},
    };
    for (const auto& t : cases) {
        ScopedEnv path("PATH", t.path.empty() ? getenv("PATH") : t.path.c_str());
        std::string directory, executable, error;
        ASSERT_TRUE(ul_bootexecutablelocation(t.argv0, &directory, &executable, &error)) << error;
        EXPECT_EQ(directory + " " + executable, t.directory + " " + t.executable)
            << t.argv0 << " " << t.path;
    }
    std::string directory, executable, error;
    EXPECT_FALSE(ul_bootexecutablelocation("", &directory, &executable, &error));
    EXPECT_EQ(error, "The program path is empty");
}

// ul_bootadaptenv runs in a child. When it re-executes, the child becomes the shell that prints
// both variables and its arguments; when it returns, the child reports both variables. The
// start-up trace texts and the lookup of a bare name are shown by the command-line cases.
TEST_F(UlBootAscTest, AdaptingReexecutesWithTheSameArgumentsAndTheNewPath) {
    auto adapt = [](std::vector<std::string> words) {
        return childproc::runInChild([words]() mutable {
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            int rc = ul_bootadaptenv(static_cast<int>(words.size()), argv.data());
            return "returned " + std::to_string(rc) +
                   ": LD_LIBRARY_PATH=" + envValue("LD_LIBRARY_PATH") +
                   " DIR_LIBRARY=" + envValue("DIR_LIBRARY");
        });
    };
    const std::vector<std::string> shell = {
        "/bin/sh", "-c", "printf '%s|%s|%s %s' \"$LD_LIBRARY_PATH\" \"$DIR_LIBRARY\" \"$0\" \"$1\"",
        "zero", "one"};
    // LD_LIBRARY_PATH, UL_STARTUP_TRACE, UL_STARTUP_DISABLE; standard output, report.
    const std::tuple<const char*, const char*, const char*, std::string, std::string> cases[] = {
        {"/old/lib", nullptr, nullptr, "/bin:/old/lib|/bin|zero one", ""},
        {"/bin:/old/lib", "1", nullptr, "",
         "returned 0: LD_LIBRARY_PATH=/bin:/old/lib DIR_LIBRARY=/bin"},
        // Disabled, even the trace is silent.
        {nullptr, "2", "1", "", "returned 0: LD_LIBRARY_PATH=<unset> DIR_LIBRARY=<unset>"},
    };
    ScopedEnv path("PATH", "/bin");
    for (const auto& [libraryPath, traceLevel, disabled, out, report] : cases) {
        ScopedEnv variable("LD_LIBRARY_PATH", libraryPath), trace("UL_STARTUP_TRACE", traceLevel),
            disable("UL_STARTUP_DISABLE", disabled);
        childproc::Outcome outcome = adapt(shell);
        EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
        EXPECT_EQ(outcome.out + "#" + outcome.report + "#" + outcome.err, out + "#" + report + "#");
    }
    const std::pair<std::vector<std::string>, std::string> failures[] = {
        {{"/nonexistent-dir/prog", "x"},
         "Reexecuting /nonexistent-dir/prog failed!\nERROR: No such file or directory"},
        {{}, "No program path in the argument vector"}};
    for (const auto& [words, message] : failures) {
        childproc::Outcome outcome = adapt(words);
        EXPECT_TRUE(outcome.exited(UL_BOOT_EXIT_FATAL)) << outcome.describe();
        EXPECT_EQ(outcome.out + "#" + outcome.report + "#" + outcome.err,
                  "##FATAL: " + message + "\n");
    }
}

TEST_F(UlBootAscTest, DatabaseEnvironmentGetsTheProgramDirectory) {
    ScopedCwd cwd(dir_.path());
    const std::pair<const char16_t*, std::string> cases[] = {
        {u"/opt/vex/bin/tabrix", "/opt/vex/bin"},
        {u"/opt/vex/bin/./../bin/tabrix", "/opt/vex/bin"},
        {u"run/tabrix", dir_.path("run")},
    };
    for (const auto& [program, directory] : cases) {
        EXPECT_EQ(ul_bootadaptdbenv(program), 1) << u8(ul_errorgetmsg());
        EXPECT_EQ(envValue("DIR_LIBRARY"), directory);
    }
    ScopedEnv disable("UL_STARTUP_DISABLE", "1");
    EXPECT_EQ(ul_bootadaptdbenv(u"/elsewhere/tabrix"), 0);
    EXPECT_EQ(envValue("DIR_LIBRARY"), dir_.path("run"));
}

}  // namespace

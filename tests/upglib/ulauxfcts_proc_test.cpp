// Signals, process identity and liveness (the process section of ulauxfcts). Everything that
// installs handlers runs in a forked child, so the test program keeps its own handlers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "childproc.h"
#include "testutil.h"
#include "tracecapture.h"
#include "ulauxfcts.h"
#include "ulerror.h"
#include "ulstring.h"
#include "ultrace.h"

namespace {

using childproc::Child;
using childproc::Outcome;

// In a child: the handlers start from the test program's own ones, not from an install the
// child inherited, and UL_NOSIGHANDLERS does not get in the way.
void freshSignalState() {
    unsetenv("UL_NOSIGHANDLERS");
    ul_setsignalhandlers(UL_SIGNALS_RESTORE);
}

void markerHandler(int) {}
void otherHandler(int) {}

// What a signal is set to, for reports: default, ignore, marker, other or handler, and the
// flags that matter here.
std::string disposition(int signal) {
    struct sigaction action;
    sigaction(signal, nullptr, &action);
    std::string text = action.sa_handler == SIG_DFL         ? "default"
                       : action.sa_handler == SIG_IGN       ? "ignore"
                       : action.sa_handler == markerHandler ? "marker"
                       : action.sa_handler == otherHandler  ? "other"
                                                            : "handler";
    if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) return text;
    if (action.sa_flags & SA_RESTART) text += "+restart";
    if (action.sa_flags & SA_RESETHAND) text += "+resethand";
    return text;
}

void setHandler(int signal, void (*handler)(int)) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigaction(signal, &action, nullptr);
}

bool isBlocked(int signal) {
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

void blockSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

// ---- signal handlers ----------------------------------------------------------------------

// Each SIGUSR1 adds one to every level, and the additions are remembered as the dynamic
// increment, so ul_tracedynlevelinc(0) takes exactly them back.
TEST(UlAuxFctsProcTest, UserSignalOneRaisesEveryTraceLevelOncePerSignal) {
    Child child([] {
        freshSignalState();
        ul_traceresetlevels();
        ul_tracesetlevel(UL_TRC_MAIN, 2, 0);
        if (ul_setsignalhandlers(UL_SIGNALS_INSTALL) < 0) return u8(ul_errorgetmsg());
        auto levels = [] {
            return "MAIN=" + std::to_string(UL_TraceLevels[UL_TRC_MAIN]) +
                   " SQL=" + std::to_string(UL_TraceLevels[UL_TRC_SQL]) + "; ";
        };
        std::string report;
        for (unsigned expected : {3u, 4u}) {
            childproc::signalReady();
            if (!childproc::sleepUntil([&] { return UL_TraceLevels[UL_TRC_MAIN] == expected; }))
                return "MAIN stayed at " + std::to_string(UL_TraceLevels[UL_TRC_MAIN]);
            report += levels();
        }
        ul_tracedynlevelinc(0);
        return report + "undone: " + levels();
    });
    ASSERT_TRUE(child.started());
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(child.waitReady()) << "round " << round;
        kill(child.pid(), SIGUSR1);
    }
    Outcome outcome = child.finish();
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ(outcome.report, "MAIN=3 SQL=1; MAIN=4 SQL=2; undone: MAIN=2 SQL=0; ");
}

TEST(UlAuxFctsProcTest, FatalSignalsPrintOneLineAndEndTheProcessByTheSignal) {
    const std::pair<int, const char*> cases[] = {
        {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},   {SIGFPE, "SIGFPE"}, {SIGSYS, "SIGSYS"},
        {SIGABRT, "SIGABRT"}, {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"}};
    for (const auto& [signal, name] : cases) {
        SCOPED_TRACE(name);
        Outcome outcome = childproc::runInChild([signal = signal] {
            freshSignalState();
            if (ul_setsignalhandlers(UL_SIGNALS_INSTALL) < 0) return u8(ul_errorgetmsg());
            raise(signal);
            return std::string("survived the signal");
        });
        EXPECT_TRUE(outcome.killedBy(signal)) << outcome.describe();
        EXPECT_EQ(outcome.err, "\n*** FATAL: Got signal '" + std::string(name) + "' (" +
                                   std::to_string(signal) + ")! Please contact the Vex support!\n");
        EXPECT_EQ(outcome.out, "");
    }
}

// Install sets the table once and clears the signal mask; restore puts back the previous
// handlers once; an unknown mode fails.
TEST(UlAuxFctsProcTest, InstallAndRestore) {
    Outcome outcome = childproc::runInChild([] {
        freshSignalState();
        setHandler(SIGUSR2, markerHandler);
        setHandler(SIGINT, SIG_DFL);
        setHandler(SIGSEGV, markerHandler);
        blockSignals();
        std::string report;
        for (int mode : {0, 3, -1}) {
            int rc = ul_setsignalhandlers(mode);
            report += std::to_string(rc) + " " + u8(ul_errorgetmsg()) + "\n";
        }
        report += "INT=" + disposition(SIGINT) + "\n";
        if (ul_setsignalhandlers(UL_SIGNALS_INSTALL) < 0) return u8(ul_errorgetmsg());
        report += "installed: INT=" + disposition(SIGINT) + " USR1=" + disposition(SIGUSR1) +
                  " USR2=" + disposition(SIGUSR2) + " SEGV=" + disposition(SIGSEGV) +
                  " BUS=" + disposition(SIGBUS) +
                  (isBlocked(SIGTERM) || isBlocked(SIGUSR1) ? " blocked" : "") + "\n";
        setHandler(SIGUSR2, otherHandler);
        if (ul_setsignalhandlers(UL_SIGNALS_INSTALL) < 0) return u8(ul_errorgetmsg());
        report += "installed again: USR2=" + disposition(SIGUSR2) + "\n";
        if (ul_setsignalhandlers(UL_SIGNALS_RESTORE) < 0) return u8(ul_errorgetmsg());
        report += "restored: INT=" + disposition(SIGINT) + " USR2=" + disposition(SIGUSR2) +
                  " SEGV=" + disposition(SIGSEGV) + "\n";
        setHandler(SIGUSR2, otherHandler);
        if (ul_setsignalhandlers(UL_SIGNALS_RESTORE) < 0) return u8(ul_errorgetmsg());
        return report + "restored again: USR2=" + disposition(SIGUSR2) + "\n";
    });
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ(outcome.report,
              "-1 Invalid signal handler mode 0\n-1 Invalid signal handler mode 3\n-1 Invalid "
              "signal handler mode -1\n"
              "INT=default\n"
              "installed: INT=handler+restart USR1=handler+restart USR2=ignore "
              "SEGV=handler+restart+resethand BUS=handler+restart+resethand\n"
              "installed again: USR2=other\n"
              "restored: INT=default USR2=marker SEGV=marker\n"
              "restored again: USR2=other\n");
}

TEST(UlAuxFctsProcTest, NothingHappensWhenNoSigHandlersIsSet) {
    Outcome outcome = childproc::runInChild([] {
        freshSignalState();
        setenv("UL_NOSIGHANDLERS", "", 1);  // set, even empty
        setHandler(SIGINT, SIG_DFL);
        blockSignals();
        int install = ul_setsignalhandlers(UL_SIGNALS_INSTALL);
        int invalid = ul_setsignalhandlers(7);
        return "rc=" + std::to_string(install) + "," + std::to_string(invalid) +
               " INT=" + disposition(SIGINT) + " USR2=" + disposition(SIGUSR2) +
               (isBlocked(SIGTERM) ? " mask kept" : " mask cleared");
    });
    EXPECT_EQ(outcome.report, "rc=0,0 INT=default USR2=default mask kept") << outcome.describe();
}

// ---- process identity and liveness --------------------------------------------------------

TEST(UlAuxFctsProcTest, OwnPidAndParentOfAChild) {
    EXPECT_EQ(ul_getownpid(), static_cast<int>(getpid()));
    EXPECT_TRUE(ul_isparentalive());
    int parent = ul_getownpid();
    Outcome outcome = childproc::runInChild([parent] {
        int own = ul_getownpid();
        return std::string(own == static_cast<int>(getpid()) && own != parent ? "own" : "stale") +
               (ul_isparentalive() ? " alive" : " not alive");
    });
    EXPECT_EQ(outcome.report, "own alive");
}

TEST(UlAuxFctsProcTest, LivenessOfProcessIdsIsTraced) {
    childproc::SleepingProcess sleeper;
    ASSERT_GT(sleeper.pid(), 0);
    const int dead = childproc::deadPid();
    ASSERT_GT(dead, 0);
    const std::pair<int, bool> cases[] = {{ul_getownpid(), true},
                                          {sleeper.pid(), true},
                                          {1, true},
                                          {dead, false},
                                          {0, false},
                                          {-1, false},
                                          {-ul_getownpid(), false}};
    for (const auto& [pid, alive] : cases) EXPECT_EQ(ul_procisalive(pid), alive) << "pid " << pid;
    // Level 2 writes one record for each probe, whatever prefix the trace flags give it.
    const std::string records =
        concat("(.*Process ", std::to_string(ul_getownpid()), " is alive\\.\n)(.*Process ",
               std::to_string(dead), " is not alive\\.\n)");
    for (unsigned level : {1u, 2u}) {
        TraceCapture capture(UL_TRC_PROC, level);
        ul_procisalive(ul_getownpid());
        ul_procisalive(dead);
        const std::string text = capture.text();
        EXPECT_TRUE(std::regex_match(text, std::regex(level < 2 ? "" : records))) << text;
    }
}

// A zombie still exists for the probe, has no command line any more, and still has its
// kernel name.
TEST(UlAuxFctsProcTest, NamesOfProcesses) {
    childproc::SleepingProcess sleeper;
    char16_t name[64];
    ASSERT_EQ(ul_procgetname(sleeper.pid(), name, 64), 5) << errorUtf8();
    EXPECT_EQ(u8(name), "sleep");
    EXPECT_EQ(ul_procgetname(sleeper.pid(), name, 5), -1);
    EXPECT_EQ(errorUtf8(), "Name 'sleep' of process " + std::to_string(sleeper.pid()) +
                               " is longer than 4 characters");
    EXPECT_EQ(ul_procgetname(sleeper.pid(), name, 6), 5);
    ASSERT_GT(ul_procgetname(ul_getownpid(), name, 64), 0) << errorUtf8();
    EXPECT_EQ(u8(name), "upglib_tests");

    pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    ASSERT_GT(zombie, 0);
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);
    EXPECT_TRUE(ul_procisalive(static_cast<int>(zombie)));
    int length = ul_procgetname(static_cast<int>(zombie), name, 64);
    waitpid(zombie, nullptr, 0);
    ASSERT_GT(length, 0) << errorUtf8();
    EXPECT_EQ(u8(name), "upglib_tests");

    const int dead = childproc::deadPid();
    EXPECT_EQ(ul_procgetname(dead, name, 64), -1);
    EXPECT_EQ(
        errorUtf8().rfind("Cannot determine the name of process " + std::to_string(dead) + ": ", 0),
        0u)
        << errorUtf8();
}

TEST(UlAuxFctsProcTest, ShortHostNameEndsBeforeTheFirstDot) {
    char host[256];
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    const std::string expected = std::string(host).substr(0, std::string(host).find('.'));
    char16_t name[256];
    ASSERT_EQ(ul_gethostshortname(name, 256), static_cast<int>(expected.size()));
    EXPECT_EQ(u8(name), expected);
    EXPECT_EQ(ul_gethostshortname(name, expected.size() + 1), static_cast<int>(expected.size()));
    EXPECT_EQ(ul_gethostshortname(name, expected.size()), -1);
    EXPECT_EQ(errorUtf8(), "Host name '" + expected + "' is longer than " +
                               std::to_string(expected.size() - 1) + " characters");
}

}  // namespace

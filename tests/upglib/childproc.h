// Child processes for tests that need a second process (signals, liveness, PID files,
// re-execution). The body runs in a forked copy of the test program with its standard output
// and error on pipes; its result string travels back on a third pipe. The child never returns
// into the test framework: it ends with _exit (no exit handlers, no leak check), or by a
// signal, or by exec.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace childproc {

// Write end of the ready pipe inside a child (-1 in the test process).
inline int& readyDescriptor() {
    static int fd = -1;
    return fd;
}

// In the child: tells the parent (waitReady) that the child reached a point it waits for.
inline void signalReady() {
    ssize_t ignored = write(readyDescriptor(), "R", 1);
    (void)ignored;
}

// In the child: sleeps in short steps for up to the given time, so that a signal handler
// that ends the process gets its chance; returns when waitUntil says stop or time is up.
inline bool sleepUntil(const std::function<bool()>& waitUntil, int milliseconds = 20000) {
    for (int waited = 0; waited < milliseconds; waited += 5) {
        if (waitUntil()) return true;
        usleep(5000);
    }
    return waitUntil();
}

struct Outcome {
    int status = -1;     // as waitpid reports it
    std::string report;  // the body's result
    std::string out;     // standard output
    std::string err;     // standard error

    bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
    bool killedBy(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
    std::string describe() const {
        std::string how = WIFEXITED(status)     ? "exit " + std::to_string(WEXITSTATUS(status))
                          : WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                                : "status " + std::to_string(status);
        return how + "\nreport: " + report + "\nstdout: " + out + "\nstderr: " + err;
    }
};

class Child {
  public:
    explicit Child(const std::function<std::string()>& body) {
        int report[2], out[2], err[2], ready[2];
        if (pipe(report) || pipe(out) || pipe(err) || pipe(ready)) return;
        fflush(stdout);
        fflush(stderr);
        pid_ = fork();
        if (pid_ == 0) {
            close(report[0]);
            close(out[0]);
            close(err[0]);
            close(ready[0]);
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(out[1]);
            close(err[1]);
            readyDescriptor() = ready[1];
            rlimit noCore = {0, 0};  // fatal-signal cases must not leave core files
            setrlimit(RLIMIT_CORE, &noCore);
            std::string result = body();
            fflush(stdout);
            fflush(stderr);
            ssize_t ignored = write(report[1], result.data(), result.size());
            (void)ignored;
            _exit(0);
        }
        close(report[1]);
        close(out[1]);
        close(err[1]);
        close(ready[1]);
        fds_[0] = report[0];
        fds_[1] = out[0];
        fds_[2] = err[0];
        ready_ = ready[0];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : fds_)
            if (fd >= 0) close(fd);
        if (ready_ >= 0) close(ready_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Waits for one signalReady() of the child; false on time-out or when the child ended.
    bool waitReady(int milliseconds = 20000) {
        pollfd p = {ready_, POLLIN, 0};
        char byte;
        return poll(&p, 1, milliseconds) == 1 && read(ready_, &byte, 1) == 1;
    }

    // Collects the pipes until the child has closed them and reaps it; a child that is still
    // running after the time-out is killed.
    Outcome finish(int milliseconds = 30000) {
        Outcome outcome;
        std::string* targets[3] = {&outcome.report, &outcome.out, &outcome.err};
        int open = 3;
        while (open > 0) {
            pollfd p[3];
            for (int i = 0; i < 3; ++i) p[i] = {fds_[i], POLLIN, 0};
            if (poll(p, 3, milliseconds) <= 0) {
                kill(pid_, SIGKILL);
                break;
            }
            for (int i = 0; i < 3; ++i) {
                if (fds_[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char buffer[4096];
                ssize_t n = read(fds_[i], buffer, sizeof buffer);
                if (n > 0) {
                    targets[i]->append(buffer, static_cast<size_t>(n));
                } else {
                    close(fds_[i]);
                    fds_[i] = -1;
                    --open;
                }
            }
        }
        waitpid(pid_, &outcome.status, 0);
        reaped_ = true;
        return outcome;
    }

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int fds_[3] = {-1, -1, -1};
    int ready_ = -1;
};

// Runs body in a child and waits for it.
inline Outcome runInChild(const std::function<std::string()>& body) {
    Child child(body);
    if (!child.started()) return Outcome();
    return child.finish();
}

// A process that only sleeps, under the name "sleep" (exec'd), until the object dies. The
// constructor returns once the exec has happened, so the name is already "sleep".
class SleepingProcess {
  public:
    SleepingProcess() {
        int sync[2];
        if (pipe2(sync, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(sync[0]);
            execlp("sleep", "sleep", "300", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(sync[1]);
        char byte;
        while (read(sync[0], &byte, 1) > 0) {
        }
        close(sync[0]);
    }
    ~SleepingProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    SleepingProcess(const SleepingProcess&) = delete;
    SleepingProcess& operator=(const SleepingProcess&) = delete;

    int pid() const { return static_cast<int>(pid_); }

  private:
    pid_t pid_ = -1;
};

// The id of a process that existed and is gone: a child that exited and was reaped.
inline int deadPid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    if (pid > 0) waitpid(pid, nullptr, 0);
    return static_cast<int>(pid);
}

}  // namespace childproc

// Child processes for tests that need a second process (signals, liveness, PID files,
// re-execution). The body runs in a forked copy of the test program with its standard output
// and error in anonymous files; its result string travels back in a third one. The child never
// returns into the test framework: it ends with _exit (no exit handlers, no leak check), or by
// a signal, or by exec.
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
        int ready[2];
        for (FILE*& f : files_) f = tmpfile();
        if (!files_[0] || !files_[1] || !files_[2] || pipe(ready)) return;
        fflush(stdout);
        fflush(stderr);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            dup2(fileno(files_[1]), STDOUT_FILENO);
            dup2(fileno(files_[2]), STDERR_FILENO);
            readyDescriptor() = ready[1];
            rlimit noCore = {0, 0};  // fatal-signal cases must not leave core files
            setrlimit(RLIMIT_CORE, &noCore);
            std::string result = body();
            fflush(stdout);
            fflush(stderr);
            ssize_t ignored = write(fileno(files_[0]), result.data(), result.size());
            (void)ignored;
            _exit(0);
        }
        close(ready[1]);
        ready_ = ready[0];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (FILE* f : files_)
            if (f) fclose(f);
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

    // Waits for the child and collects what it wrote; a child that is still running after the
    // time-out is killed.
    Outcome finish(int milliseconds = 30000) {
        Outcome outcome;
        for (int waited = 0; waitpid(pid_, &outcome.status, WNOHANG) == 0; waited += 5) {
            if (waited >= milliseconds) kill(pid_, SIGKILL);
            usleep(5000);
        }
        reaped_ = true;
        std::string* targets[3] = {&outcome.report, &outcome.out, &outcome.err};
        for (int i = 0; i < 3; ++i) {
            char buffer[4096];
            rewind(files_[i]);
            for (size_t n; (n = fread(buffer, 1, sizeof buffer, files_[i])) > 0;) {
                targets[i]->append(buffer, n);
            }
        }
        return outcome;
    }

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    FILE* files_[3] = {nullptr, nullptr, nullptr};
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

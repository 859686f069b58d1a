// tabrix-tablecheck: checks that tables hold the same rows on two databases that one machine
// reaches, the way a migration controller checks them: `tabrix crctable` runs on each side in
// turn, each side with its own CRC file and a copy of the other side's file as its reference,
// until no side asks for another run; then `tabrix crceval` names the differing rows and fields.
//
//   tabrix-tablecheck --source SETTINGS --target SETTINGS --workdir DIR [options] TABLE...
//
// SETTINGS are the connection variables of tabrix (dbms_type, dbs_sqlite_db,
// dbs_pgsql_conninfo, ...) as NAME=VALUE[,NAME=VALUE...], or @FILE with one NAME=VALUE a line.
// Every file of the check stays in DIR; a rerun on the same DIR continues where a stopped run
// ended (crctable only appends). Exit code 0: no differences, 1: differences, 2: error.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "ulerror.h"
#include "ulsqlaux.h"
#include "ulsqlcondition.h"
#include "ulsqlcrcutil.h"
#include "ulsqlwherefile.h"
#include "ulstring.h"
#include "ultextfile.h"

extern char** environ;

namespace {

constexpr const char* kProgram = "tabrix-tablecheck";
constexpr int kExitClean = 0, kExitDiffs = 1, kExitError = 2;
// crctable's result bits: new checksums, the other side must run, differences found.
constexpr int kRunNew = 1, kRunOther = 2, kRunDiffs = 8;
constexpr size_t kMaxLine = 1 << 20;           // longest line read from a file of tabrix
constexpr size_t kLogTail = 64 * 1024;         // bytes of a log searched for the error
constexpr off_t kMaxCrcFile = off_t(4) << 30;  // largest CRC file copied as a reference
constexpr size_t kMaxDiffLines = 100000;       // differences kept per table for the report

const char kUsage[] =
    "Usage: tabrix-tablecheck --source SETTINGS --target SETTINGS --workdir DIR [options] "
    "TABLE...\n"
    "Checks that the tables hold the same rows on both databases and names the differences.\n"
    "  SETTINGS            the connection variables of tabrix for one side, as\n"
    "                      NAME=VALUE[,NAME=VALUE...] (a comma followed by NAME= starts the next\n"
    "                      one) or @FILE with one NAME=VALUE a line, e.g.\n"
    "                      dbms_type=SQLITE,dbs_sqlite_db=/data/src.db\n"
    "  --workdir DIR       keeps the CRC files and logs; a rerun continues the check there\n"
    "  -j N                runs N tabrix processes at once (default 1)\n"
    "  --split-rows N      with -j above 1, cuts tables of more than N rows into key ranges of\n"
    "                      about N rows, checked in parallel (default 200000; 0: never)\n"
    "  --max-rounds N      gives up on a table after N runs on each side (default 50)\n"
    "  -o OPTION           passes OPTION to every crctable run (maxdiffs=all, slicecount=...)\n"
    "  --tabrix PATH       the tabrix binary (default: the one beside this program)\n"
    "  -v                  prints every finished run\n"
    "Exit code 0: no differences, 1: differences found, 2: error.\n";

// ---- small helpers --------------------------------------------------------------------------

void say(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

bool parseCount(const char* text, unsigned long max, unsigned long* out) {
    if (!text || *text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno || *end || v > max) return false;
    *out = v;
    return true;
}

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool isRegularFile(const std::string& path, off_t* size = nullptr) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (size) *size = st.st_size;
    return true;
}

// A name usable in a file name: letters, digits, '_' and '-' stay, every other byte becomes
// "@XX" (hexadecimal), so that different table names never share a file.
std::string fileStem(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '_' || c == '-') {
            out += char(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "@%02X", c);
            out += buf;
        }
    }
    return out;
}

// Hands each line of a regular file, from offset on, to take; a line is at most kMaxLine bytes.
// 0, or -1 with *error set.
template <class Take>
int forEachLine(const std::string& path, off_t from, std::string* error, Take take) {
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return -1;
    }
    if (from > 0) std::fseek(f, from, SEEK_SET);
    std::string line;
    int c;
    int rc = 0;
    while ((c = std::getc(f)) != EOF) {
        if (c == '\n') {
            take(line);
            line.clear();
        } else if (line.size() >= kMaxLine) {
            *error =
                "a line of '" + path + "' is longer than " + std::to_string(kMaxLine) + " bytes";
            rc = -1;
            break;
        } else {
            line += char(c);
        }
    }
    if (rc == 0 && !line.empty()) take(line);
    std::fclose(f);
    return rc;
}

int readLines(const std::string& path, off_t from, std::vector<std::string>* lines,
              std::string* error) {
    return forEachLine(path, from, error, [&](const std::string& l) { lines->push_back(l); });
}

// Copies a regular file through a temporary name, so that the target is never half written.
int copyFile(const std::string& from, const std::string& to, std::string* error) {
    off_t size = 0;
    if (!isRegularFile(from, &size) || size > kMaxCrcFile) {
        *error = "'" + from + "' is no regular file of at most 4 GiB";
        return -1;
    }
    const std::string tmp = to + ".tmp";
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    char buf[1 << 16];
    while (ok) {
        const ssize_t n = read(in, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            ok = errno == EINTR;
            continue;
        }
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = write(out, buf + done, size_t(n - done));
            if (w > 0)
                done += w;
            else
                ok = w < 0 && errno == EINTR;
        }
    }
    if (in >= 0) close(in);
    if (out >= 0 && close(out) != 0) ok = false;
    if (ok && rename(tmp.c_str(), to.c_str()) == 0) return 0;
    *error = "cannot copy '" + from + "' to '" + to + "': " + std::strerror(errno);
    unlink(tmp.c_str());
    return -1;
}

// ---- one side's connection settings ----------------------------------------------------------

bool validName(const std::string& name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
        return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '_') return false;
    return true;
}

// The connection settings of one side: variables that replace the database variables of this
// process's environment in the environment of each tabrix run on that side.
struct Side {
    std::string label;                  // "source" / "target"
    std::vector<std::string> settings;  // NAME=VALUE
    std::vector<std::string> env;       // the whole environment of a run
    std::vector<char*> envp;

    int add(const std::string& setting, std::string* error) {
        const size_t eq = setting.find('=');
        if (eq == std::string::npos || !validName(setting.substr(0, eq))) {
            *error = "invalid " + label + " setting '" + setting + "' (expected NAME=VALUE)";
            return -1;
        }
        settings.push_back(setting);
        return 0;
    }

    // NAME=VALUE,NAME=VALUE: a comma starts the next setting only when NAME= follows it.
    int parseInline(const std::string& text, std::string* error) {
        size_t start = 0;
        for (size_t i = 0; i <= text.size(); ++i) {
            if (i < text.size() && text[i] != ',') continue;
            if (i < text.size()) {
                const size_t eq = text.find('=', i + 1);
                if (eq == std::string::npos || !validName(text.substr(i + 1, eq - i - 1))) continue;
            }
            if (add(text.substr(start, i - start), error) < 0) return -1;
            start = i + 1;
        }
        return 0;
    }

    int parseFile(const std::string& path, std::string* error) {
        std::vector<std::string> lines;
        if (!isRegularFile(path)) {
            *error = "the " + label + " settings file '" + path + "' is no regular file";
            return -1;
        }
        if (readLines(path, 0, &lines, error) < 0) return -1;
        for (std::string& line : lines) {
            const size_t first = line.find_first_not_of(" \t\r");
            if (first == std::string::npos || line[first] == '#') continue;
            line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
            if (add(line, error) < 0) return -1;
        }
        return 0;
    }

    int parse(const std::string& text, std::string* error) {
        if (!text.empty() && text[0] == '@' ? parseFile(text.substr(1), error) < 0
                                            : parseInline(text, error) < 0)
            return -1;
        if (settings.empty()) {
            *error = "no " + label + " settings given";
            return -1;
        }
        // The database variables of this process belong to no side: they are left out.
        for (char** e = environ; *e; ++e) {
            const std::string v = *e;
            if (v.rfind("dbms_", 0) == 0 || v.rfind("dbs_", 0) == 0) continue;
            env.push_back(v);
        }
        env.insert(env.end(), settings.begin(), settings.end());
        for (std::string& v : env) envp.push_back(v.data());
        envp.push_back(nullptr);
        return 0;
    }

    // The settings for messages, with passwords hidden.
    std::string describe() const {
        std::string out;
        for (const std::string& s : settings) {
            std::string shown = s;
            for (size_t p = shown.find("password="); p != std::string::npos;
                 p = shown.find("password=", p + 1)) {
                size_t end = shown.find(' ', p);
                if (end == std::string::npos) end = shown.size();
                shown.replace(p + 9, end - p - 9, "***");
            }
            out += (out.empty() ? "" : ", ") + shown;
        }
        return out;
    }
};

// ---- child processes --------------------------------------------------------------------------

// Starts argv[0] with the environment, standard input from /dev/null and both output streams
// appended to log (truncated first when truncate). The child gets SIGTERM when this process
// dies, so that no run goes on writing behind a killed check. The pid, or -1 with *error set.
pid_t spawn(const std::vector<std::string>& argv, char* const* envp, const std::string& log,
            bool truncate, std::string* error) {
    const int out =
        open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0644);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0) {
        *error = "cannot open '" + log + "': " + std::strerror(errno);
        if (out >= 0) close(out);
        if (in >= 0) close(in);
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(127);
        execve(args[0], args.data(), envp);
        static const char msg[] = "tabrix-tablecheck: cannot execute the tabrix binary\n";
        (void)!write(2, msg, sizeof msg - 1);
        _exit(127);
    }
    const int forkErrno = errno;
    close(out);
    close(in);
    if (pid < 0) *error = std::string("cannot start a process: ") + std::strerror(forkErrno);
    return pid;
}

// The error lines of the part of a tabrix log from offset on (at most its last kLogTail
// bytes): "Error message:" lines with their continuation lines, and start-up errors.
std::string logError(const std::string& log, off_t offset) {
    off_t size = 0;
    if (!isRegularFile(log, &size)) return "";
    std::vector<std::string> lines;
    std::string ignored;
    (void)readLines(log, std::max(offset, size - off_t(kLogTail)), &lines, &ignored);
    std::string text;
    bool continued = false;
    for (const std::string& l : lines) {
        continued = continued && l.rfind("1EETQ009X", 0) == 0;
        const size_t m = l.find("Error message: ");
        if (l.size() > 8 && l[1] == 'E' && m != std::string::npos) {
            if (text.find(l.substr(m + 15)) != std::string::npos) continue;  // deeper level
            text += (text.empty() ? "" : "; ") + l.substr(m + 15);
        } else if (l.rfind("1EETQ009X", 0) == 0 && !text.empty()) {
            // The first line behind the message is its next line, further ones its wrapping.
            text += (continued ? " " : "; ") + l.substr(9);
            continued = true;
            continue;
        } else if (l.rfind("FATAL ERROR", 0) == 0 || l.rfind(kProgram, 0) == 0) {
            text += (text.empty() ? "" : "; ") + l;
        }
    }
    return text;
}

std::string exitText(int status) {
    if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
    return "ended with exit code " + std::to_string(WEXITSTATUS(status));
}

// ---- the check --------------------------------------------------------------------------------

struct Options {
    std::string source, target, workdir, tabrix;
    std::vector<std::string> tables, crcOptions;
    unsigned long jobs = 1, splitRows = 200000, maxRounds = 50;
    bool verbose = false;
};

enum class UnitState { WAITING, LOOP, EVAL, DONE, FAILED };

// One CRC file pair: a whole table or one key range of it.
struct Unit {
    size_t table = 0;
    std::string name;   // for messages: TABLE or TABLE#N
    std::string stem;   // of its files
    std::string where;  // the range's condition; empty: the whole table
    UnitState state = UnitState::WAITING;
    int side = 0;  // the side that runs next: 0 source, 1 target
    unsigned long runs[2] = {0, 0};
    std::vector<std::string> diffs;
    std::string keyFields;
    std::string error;
    unsigned long moreDiffs = 0;  // differences beyond kMaxDiffLines, not kept
    bool runFoundDiffs = false;   // a crctable run ended with the differences bit
};

struct Table {
    std::string name;
    std::vector<size_t> units;
    std::string error;
};

enum class JobKind { PING, SPLIT, CRCTABLE, CRCEVAL };

struct Job {
    JobKind kind;
    size_t index;  // table (SPLIT), unit (CRCTABLE, CRCEVAL) or side (PING)
    int side;
    std::string log;
    off_t logOffset;
};

// SIGCHLD and the stop signals stay blocked and are taken by sigtimedwait in the loop, so that
// no other call is interrupted; the runs start with nothing blocked.
int g_stop = 0;
sigset_t g_signals;
void noHandler(int) {}

// Waits up to timeout for an ended run or a stop signal.
void waitSignal(double timeout) {
    timespec ts{};
    ts.tv_sec = time_t(timeout);
    ts.tv_nsec = long((timeout - double(ts.tv_sec)) * 1e9);
    const int sig = sigtimedwait(&g_signals, nullptr, &ts);
    if (sig > 0 && sig != SIGCHLD) g_stop = sig;
}

class TableCheck {
  public:
    explicit TableCheck(Options o) : opt_(std::move(o)) {
        sides_[0].label = "source";
        sides_[1].label = "target";
    }
    int run();

  private:
    // set-up
    int setup();
    int lockWorkdir();
    int ping();
    void planTable(size_t t);
    int readRanges(size_t t, const std::string& whr);
    size_t addUnit(size_t t, int range, const std::string& where);
    // scheduling
    int loop();
    int start(const Job& job);
    void finished(const Job& job, int status);
    void splitDone(const Job& job, int status);
    void runDone(const Job& job, int status);
    void evalDone(const Job& job, int status);
    void next(size_t u);
    void failUnit(size_t u, const std::string& why);
    void stopChildren();
    // files
    std::string crcFile(size_t u, int side) const {
        return opt_.workdir + "/" + sides_[side].label + "/" + units_[u].stem + ".CRC";
    }
    std::string refFile(size_t u, int side) const {
        return opt_.workdir + "/" + sides_[side].label + "/" + units_[u].stem + ".REF.CRC";
    }
    std::string logFile(const std::string& what) const {
        return opt_.workdir + "/logs/" + what + ".log";
    }
    int prepareCrcFile(size_t u, int side, std::string* error);
    int parseEval(size_t u, const std::string& log, std::string* error);
    // output
    void progress();
    void note(const std::string& text);
    int report();

    Options opt_;
    Side sides_[2];
    std::vector<Table> tables_;
    std::vector<Unit> units_;
    std::deque<Job> ready_;
    std::map<pid_t, Job> running_;
    bool pingFailed_ = false;
    bool tty_ = false;
    double started_ = 0, lastProgress_ = 0;
    unsigned long totalRuns_ = 0;
};

int TableCheck::setup() {
    std::string error;
    if (sides_[0].parse(opt_.source, &error) < 0 || sides_[1].parse(opt_.target, &error) < 0) {
        say(error);
        return -1;
    }
    for (const char* sub : {"", "/source", "/target", "/logs"}) {
        const std::string dir = opt_.workdir + sub;
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            say("cannot create the directory '" + dir + "': " + std::strerror(errno));
            return -1;
        }
    }
    if (access(opt_.tabrix.c_str(), X_OK) != 0) {
        say("cannot execute the tabrix binary '" + opt_.tabrix + "' (give it with --tabrix)");
        return -1;
    }
    // The default options of a prepared section follow the global flags the runs will see.
    if (const char* flags = getenv("TABRIX_GLOBALFLAGS")) {
        if (ul_sqlparseglobalflags(ul_utf8to16(flags).c_str()) < 0) {
            say("TABRIX_GLOBALFLAGS: " + ul_utf16to8(ul_errorgetmsg()));
            return -1;
        }
    }
    return lockWorkdir();
}

// One check at a time in a work directory. The lock file stays open in the runs (no close on
// exec), so a run left behind by a killed check still holds it until it ends.
int TableCheck::lockWorkdir() {
    const std::string path = opt_.workdir + "/lock";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) {
        say("cannot open '" + path + "': " + std::strerror(errno));
        return -1;
    }
    for (int i = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; ++i) {
        if (errno != EWOULDBLOCK || i == 100) {
            say("the work directory '" + opt_.workdir + "' is in use by another check");
            close(fd);
            return -1;
        }
        usleep(100000);  // runs of a killed check end on their SIGTERM
    }
    return 0;
}

size_t TableCheck::addUnit(size_t t, int range, const std::string& where) {
    Unit u;
    u.table = t;
    u.name = tables_[t].name + (range ? "#" + std::to_string(range) : "");
    u.stem = fileStem(tables_[t].name) + (range ? "." + std::to_string(range) : "");
    u.where = where;
    u.state = UnitState::LOOP;
    units_.push_back(u);
    tables_[t].units.push_back(units_.size() - 1);
    ready_.push_back(Job{JobKind::CRCTABLE, units_.size() - 1, 0, "", 0});
    return units_.size() - 1;
}

int TableCheck::readRanges(size_t t, const std::string& whr) {
    ULTableSplitList list;
    const std::u16string name = ul_utf8to16(tables_[t].name.c_str());
    if (ul_sqlreadwherefile(&list, ul_utf8to16(whr.c_str()).c_str(), name.c_str(), nullptr, 0) <
        0) {
        tables_[t].error = ul_utf16to8(ul_errorgetmsg());
        return -1;
    }
    const ULTableSplit* split = list.get(name.c_str(), UL_HASH_QUIET);
    int n = 0;
    if (split)
        for (const ul_tablesegment_t& s : *split) addUnit(t, ++n, ul_utf16to8(s.condition()));
    ul_sqltablesplitsfree(&list);
    if (n == 0) addUnit(t, 0, "");
    return 0;
}

// A table already begun keeps its layout: checked whole, or in the ranges written then.
// Otherwise, with parallel runs, the splitter cuts it on the source side first.
void TableCheck::planTable(size_t t) {
    const std::string stem = fileStem(tables_[t].name);
    const std::string whr = opt_.workdir + "/" + stem + ".whr";
    if (isRegularFile(opt_.workdir + "/source/" + stem + ".CRC")) {
        addUnit(t, 0, "");
    } else if (isRegularFile(whr)) {
        (void)readRanges(t, whr);
    } else if (opt_.jobs > 1 && opt_.splitRows > 0) {
        ready_.push_back(Job{JobKind::SPLIT, t, 0, "", 0});
    } else {
        addUnit(t, 0, "");
    }
}

// Each side's database must answer before any file is written.
int TableCheck::ping() {
    for (int s = 0; s < 2; ++s) ready_.push_back(Job{JobKind::PING, size_t(s), s, "", 0});
    if (loop() < 0) return -1;
    return pingFailed_ ? -1 : 0;
}

int TableCheck::start(const Job& in) {
    Job job = in;
    std::vector<std::string> argv = {opt_.tabrix};
    std::string error;
    bool truncate = false;
    switch (job.kind) {
        case JobKind::PING:
            argv.push_back("dbversion");
            job.log = logFile("connect." + sides_[job.side].label);
            truncate = true;
            break;
        case JobKind::SPLIT: {
            const std::string stem = fileStem(tables_[job.index].name);
            argv.insert(argv.end(), {"splittable", "table=" + tables_[job.index].name,
                                     "segmentsize=" + std::to_string(opt_.splitRows), "nocntlines",
                                     "wherefile=" + opt_.workdir + "/" + stem + ".whr.tmp"});
            unlink((opt_.workdir + "/" + stem + ".whr.tmp").c_str());
            job.log = logFile(stem + ".split");
            break;
        }
        case JobKind::CRCTABLE: {
            const size_t u = job.index;
            job.side = units_[u].side;
            if (prepareCrcFile(u, job.side, &error) < 0) {
                failUnit(u, error);
                return 0;
            }
            argv.push_back("crctable");
            argv.insert(argv.end(), opt_.crcOptions.begin(), opt_.crcOptions.end());
            argv.push_back(crcFile(u, job.side));
            // The other side's file as it is now is this side's reference.
            const std::string other = crcFile(u, 1 - job.side);
            if (isRegularFile(other)) {
                if (copyFile(other, refFile(u, job.side), &error) < 0) {
                    failUnit(u, error);
                    return 0;
                }
                argv.push_back(refFile(u, job.side));
            }
            job.log = logFile(units_[u].stem + "." + sides_[job.side].label);
            break;
        }
        case JobKind::CRCEVAL: {
            const size_t u = job.index;
            if (copyFile(crcFile(u, 1), refFile(u, 0), &error) < 0) {
                failUnit(u, error);
                return 0;
            }
            argv.insert(argv.end(), {"crceval", crcFile(u, 0), refFile(u, 0)});
            job.log = logFile(units_[u].stem + ".crceval");
            truncate = true;
            break;
        }
    }
    off_t size = 0;
    job.logOffset = !truncate && isRegularFile(job.log, &size) ? size : 0;
    const int side = job.kind == JobKind::CRCEVAL ? 0 : job.side;
    const pid_t pid = spawn(argv, sides_[side].envp.data(), job.log, truncate, &error);
    if (pid < 0) {
        say(error);
        return -1;
    }
    running_[pid] = job;
    return 0;
}

// The CRC file of a side: a new one gets the table's section, restricted to the range.
int TableCheck::prepareCrcFile(size_t u, int side, std::string* error) {
    const std::string path = crcFile(u, side);
    if (isRegularFile(path)) return 0;
    const std::string tmp = path + ".tmp";
    const std::u16string table = ul_utf8to16(tables_[units_[u].table].name.c_str());
    const std::u16string where = ul_utf8to16(units_[u].where.c_str());
    ULTextFileWriter out;
    if (out.open(ul_utf8to16(tmp.c_str()).c_str()) < 0 ||
        ULCheckCRCFile::prepare(&out, table.c_str(), nullptr, nullptr, nullptr, 0, nullptr, 0,
                                nullptr, 0, where.c_str(), ~0u, true) < 0 ||
        out.close() < 0) {
        *error = ul_utf16to8(ul_errorgetmsg());
        return -1;
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        *error = "cannot rename '" + tmp + "': " + std::strerror(errno);
        return -1;
    }
    return 0;
}

int TableCheck::loop() {
    while (!ready_.empty() || !running_.empty()) {
        while (!g_stop && !ready_.empty() && running_.size() < opt_.jobs) {
            const Job job = ready_.front();
            ready_.pop_front();
            if (start(job) < 0) {
                stopChildren();
                return -1;
            }
        }
        if (g_stop) {
            stopChildren();
            say(std::string("interrupted by signal ") + std::to_string(g_stop) +
                "; a rerun with the same --workdir continues the check");
            return -1;
        }
        if (running_.empty()) continue;
        progress();
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid == 0) {
            waitSignal(tty_ ? 0.25 : 3600);
            continue;
        }
        if (pid < 0) {
            say(std::string("waiting for the runs failed: ") + std::strerror(errno));
            return -1;
        }
        const auto it = running_.find(pid);
        if (it == running_.end()) continue;
        const Job job = it->second;
        running_.erase(it);
        finished(job, status);
    }
    return 0;
}

// SIGTERM lets a run end its log; one that has not ended after 10 s gets SIGKILL.
void TableCheck::stopChildren() {
    for (const auto& [pid, job] : running_) kill(pid, SIGTERM);
    const double deadline = now() + 10;
    bool killed = false;
    while (!running_.empty()) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0) break;
        if (pid > 0) {
            running_.erase(pid);
        } else if (!killed && now() > deadline) {
            for (const auto& [child, job] : running_) kill(child, SIGKILL);
            killed = true;
        } else {
            usleep(20000);
        }
    }
}

void TableCheck::finished(const Job& job, int status) {
    switch (job.kind) {
        case JobKind::PING:
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                std::string why = logError(job.log, 0);
                say("the " + sides_[job.side].label + " database (" + sides_[job.side].describe() +
                    ") cannot be reached: " +
                    (why.empty() ? "dbversion " + exitText(status) : why) + " (log: " + job.log +
                    ")");
                pingFailed_ = true;
            }
            break;
        case JobKind::SPLIT:
            splitDone(job, status);
            break;
        case JobKind::CRCTABLE:
            runDone(job, status);
            break;
        case JobKind::CRCEVAL:
            evalDone(job, status);
            break;
    }
}

void TableCheck::splitDone(const Job& job, int status) {
    const size_t t = job.index;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const std::string why = logError(job.log, job.logOffset);
        tables_[t].error = "splittable " + exitText(status) + (why.empty() ? "" : ": " + why) +
                           " (log: " + job.log + ")";
        return;
    }
    const std::string whr = opt_.workdir + "/" + fileStem(tables_[t].name) + ".whr";
    // No where file: the table is smaller than one range and is checked whole.
    if (!isRegularFile(whr + ".tmp")) {
        addUnit(t, 0, "");
        return;
    }
    if (rename((whr + ".tmp").c_str(), whr.c_str()) != 0) {
        tables_[t].error = "cannot rename '" + whr + ".tmp': " + std::strerror(errno);
        return;
    }
    (void)readRanges(t, whr);
}

void TableCheck::runDone(const Job& job, int status) {
    const size_t u = job.index;
    Unit& unit = units_[u];
    ++unit.runs[job.side];
    ++totalRuns_;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code < 0 || (code & ~(kRunNew | kRunOther | kRunDiffs))) {
        const std::string why = logError(job.log, job.logOffset);
        failUnit(u, "crctable on the " + sides_[job.side].label + " side " + exitText(status) +
                        (why.empty() ? "" : ": " + why) + " (log: " + job.log + ")");
        return;
    }
    unit.runFoundDiffs = unit.runFoundDiffs || (code & kRunDiffs);
    if (opt_.verbose)
        note(unit.name + ": " + sides_[job.side].label + " run " +
             std::to_string(unit.runs[job.side]) + " exit " + std::to_string(code));
    if (!(code & kRunOther)) {
        unit.state = UnitState::EVAL;
        ready_.push_front(Job{JobKind::CRCEVAL, u, 0, "", 0});
        return;
    }
    unit.side = 1 - job.side;
    if (unit.runs[unit.side] >= opt_.maxRounds) {
        failUnit(u, "the sides still disagree after " + std::to_string(opt_.maxRounds) +
                        " runs each (--max-rounds); a rerun continues");
        return;
    }
    ready_.push_front(Job{JobKind::CRCTABLE, u, unit.side, "", 0});
}

void TableCheck::evalDone(const Job& job, int status) {
    const size_t u = job.index;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const std::string why = logError(job.log, 0);
        failUnit(u, "crceval " + exitText(status) + (why.empty() ? "" : ": " + why) +
                        " (log: " + job.log + ")");
        return;
    }
    std::string error;
    if (parseEval(u, job.log, &error) < 0) {
        failUnit(u, error);
        return;
    }
    if (units_[u].runFoundDiffs && units_[u].diffs.empty() && !units_[u].moreDiffs) {
        failUnit(u, "crctable found differences that crceval does not list (log: " + job.log + ")");
        return;
    }
    units_[u].state = UnitState::DONE;
}

void TableCheck::failUnit(size_t u, const std::string& why) {
    units_[u].state = UnitState::FAILED;
    units_[u].error = units_[u].name + ": " + why;
}

// The differences crceval printed (messages 170 to 173), as report lines. The own file is the
// source side's: "DEL" marks rows only the source has, "INS" rows only the target has.
int TableCheck::parseEval(size_t u, const std::string& log, std::string* error) {
    Unit& unit = units_[u];
    auto tagText = [](const std::string& tag) {
        if (tag == "DEL") return std::string("only in source");
        if (tag == "INS") return std::string("only in target");
        return std::string("differs       ");
    };
    return forEachLine(log, 0, error, [&](const std::string& l) {
        if (l.size() < 9 || l.compare(2, 3, "ETQ") != 0) return;
        const std::string msg = l.substr(5, 3), text = l.substr(9);
        if (msg == "170") {
            const size_t p = text.find("key_fields:");
            if (p != std::string::npos) unit.keyFields = text.substr(p + 11);
            return;
        }
        std::string out;
        const size_t close = text.find("):");
        if (msg == "172" && text.rfind("Key (", 0) == 0 && close != std::string::npos) {
            // The last block of a table ends without a key: its row is not named.
            const size_t key = text.find_first_not_of(' ', close + 2);
            out = tagText(text.substr(5, close - 5)) + "  key " +
                  (key == std::string::npos ? "(at the end of the table, behind the last key)"
                                            : text.substr(key));
        } else if (msg == "173" && text.rfind("Key: ", 0) == 0) {
            const size_t f = text.find(" field: '"), v = text.find("values: ", f + 1);
            if (f == std::string::npos || v == std::string::npos) return;
            std::string key = text.substr(5, f - 5);
            key.erase(key.find_last_not_of(' ') + 1);
            const size_t fe = text.find('\'', f + 9);
            out = tagText("DIFF") + "  key " + key + "  field " + text.substr(f + 9, fe - f - 9) +
                  ": " + text.substr(v + 8);
        } else if (msg == "171" && text.rfind("Key range (", 0) == 0 &&
                   close != std::string::npos) {
            out = tagText(text.substr(11, close - 11)) + "  range " + text.substr(close + 3);
        } else if (msg == "171" || msg == "172" || msg == "173") {
            out = "differs         " + text;  // a form not known here is shown as it is
        } else {
            return;
        }
        // Beyond the limit only counted: the CRC files keep every difference.
        if (unit.diffs.size() < kMaxDiffLines)
            unit.diffs.push_back(out);
        else
            ++unit.moreDiffs;
    });
}

void TableCheck::note(const std::string& text) {
    if (tty_) std::fputs("\r\033[K", stdout);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// One status line, rewritten in place, when standard output is a terminal.
void TableCheck::progress() {
    if (!tty_ || now() - lastProgress_ < 0.2) return;
    lastProgress_ = now();
    size_t done = 0;
    for (const Table& t : tables_) {
        bool finished = !t.error.empty() || !t.units.empty();
        for (size_t u : t.units)
            finished = finished &&
                       (units_[u].state == UnitState::DONE || units_[u].state == UnitState::FAILED);
        done += finished;
    }
    std::string text = tables_.empty()
                           ? std::string("connecting to both databases |")
                           : std::to_string(done) + "/" + std::to_string(tables_.size()) +
                                 " tables, " + std::to_string(totalRuns_) + " runs, " +
                                 std::to_string(long(now() - started_)) + " s |";
    for (const auto& [pid, job] : running_) {
        text += text.back() == '|' ? " " : ", ";
        if (job.kind == JobKind::CRCTABLE)
            text += units_[job.index].name + " " + sides_[job.side].label + " run " +
                    std::to_string(units_[job.index].runs[job.side] + 1);
        else if (job.kind == JobKind::CRCEVAL)
            text += units_[job.index].name + " crceval";
        else if (job.kind == JobKind::SPLIT)
            text += tables_[job.index].name + " splitting";
        else
            text += sides_[job.side].label + " connecting";
    }
    if (text.size() > 150) text = text.substr(0, 147) + "...";
    std::printf("\r\033[K%s", text.c_str());
    std::fflush(stdout);
}

int TableCheck::report() {
    if (tty_) std::fputs("\r\033[K", stdout);
    unsigned long clean = 0, differing = 0, failed = 0, ndiffs = 0;
    for (const Table& t : tables_) {
        std::vector<std::string> diffs;
        unsigned long more = 0;
        std::string keys, error = t.error;
        bool complete = t.error.empty() && !t.units.empty();
        for (size_t u : t.units) {
            if (!units_[u].error.empty()) error += (error.empty() ? "" : "\n") + units_[u].error;
            diffs.insert(diffs.end(), units_[u].diffs.begin(), units_[u].diffs.end());
            more += units_[u].moreDiffs;
            if (keys.empty()) keys = units_[u].keyFields;
            complete = complete && units_[u].state == UnitState::DONE;
        }
        if (!complete) {
            ++failed;
            std::printf("%s: error\n", t.name.c_str());
            const std::string e = error.empty() ? "not finished" : error;
            for (size_t p = 0, q; p <= e.size(); p = q + 1) {
                q = e.find('\n', p);
                if (q == std::string::npos) q = e.size();
                std::printf("  %s\n", e.substr(p, q - p).c_str());
            }
        } else if (diffs.empty()) {
            ++clean;
            std::printf("%s: no differences\n", t.name.c_str());
        } else {
            ++differing;
            ndiffs += diffs.size() + more;
            std::printf("%s: %lu difference%s (key fields:%s)\n", t.name.c_str(),
                        diffs.size() + more, diffs.size() + more == 1 ? "" : "s", keys.c_str());
            for (const std::string& d : diffs) std::printf("  %s\n", d.c_str());
            if (more) std::printf("  ... %lu more (crceval on the CRC files lists them)\n", more);
        }
    }
    std::printf(
        "%zu table%s checked in %.1f s with %lu runs: %lu without differences, %lu with "
        "%lu differences, %lu failed\n",
        tables_.size(), tables_.size() == 1 ? "" : "s", now() - started_, totalRuns_, clean,
        differing, ndiffs, failed);
    std::fflush(stdout);
    return failed ? kExitError : differing ? kExitDiffs : kExitClean;
}

int TableCheck::run() {
    started_ = now();
    tty_ = isatty(1) == 1;
    if (setup() < 0 || ping() < 0) return kExitError;
    for (const std::string& name : opt_.tables) tables_.push_back(Table{name, {}, ""});
    for (size_t t = 0; t < tables_.size(); ++t) planTable(t);
    if (loop() < 0) return kExitError;
    return report();
}

// ---- command line -----------------------------------------------------------------------------

int usage(const char* error) {
    if (error) say(error);
    std::fputs(kUsage, stderr);
    return kExitError;
}

// The tabrix binary beside this program.
std::string besideMe(const char* argv0) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = n > 0 ? std::string(self, size_t(n)) : std::string(argv0);
    const size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/tabrix";
}

int parseArgs(int argc, char** argv, Options* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                *error = "option " + a + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto number = [&](unsigned long min, unsigned long max, unsigned long* out) {
            std::string v;
            if (!value(&v)) return false;
            if (!parseCount(v.c_str(), max, out) || *out < min) {
                *error = "invalid number '" + v + "' for " + a;
                return false;
            }
            return true;
        };
        bool ok = true;
        if (a == "--source")
            ok = value(&o->source);
        else if (a == "--target")
            ok = value(&o->target);
        else if (a == "--workdir")
            ok = value(&o->workdir);
        else if (a == "--tabrix")
            ok = value(&o->tabrix);
        else if (a == "-j")
            ok = number(1, 256, &o->jobs);
        else if (a == "--split-rows")
            ok = number(0, ULONG_MAX, &o->splitRows);
        else if (a == "--max-rounds")
            ok = number(1, 100000, &o->maxRounds);
        else if (a == "-o") {
            std::string v;
            ok = value(&v);
            o->crcOptions.push_back(v);
        } else if (a == "-v")
            o->verbose = true;
        else if (a.size() > 1 && a[0] == '-') {
            *error = "unknown option '" + a + "'";
            return -1;
        } else {
            // Two checks of one table would append to the same files at once.
            for (const std::string& t : o->tables)
                if (strcasecmp(t.c_str(), a.c_str()) == 0) {
                    *error = "table '" + a + "' is named twice";
                    return -1;
                }
            o->tables.push_back(a);
        }
        if (!ok) return -1;
    }
    if (o->source.empty() || o->target.empty() || o->workdir.empty() || o->tables.empty()) {
        *error = "--source, --target, --workdir and at least one table are required";
        return -1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (argc < 2) return usage(nullptr);
    if (parseArgs(argc, argv, &o, &error) < 0) return usage(error.c_str());
    if (o.tabrix.empty()) o.tabrix = besideMe(argv[0]);
    struct sigaction sa {};
    sa.sa_handler = noHandler;  // a blocked SIGCHLD with a handler always stays pending
    sigaction(SIGCHLD, &sa, nullptr);
    sigemptyset(&g_signals);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&g_signals, sig);
    sigprocmask(SIG_BLOCK, &g_signals, nullptr);
    TableCheck check(std::move(o));
    return check.run();
}

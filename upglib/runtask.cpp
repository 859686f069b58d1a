#include "runtask.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <initializer_list>
#include <string>
#include <vector>

#include "tabrix.h"
#include "ulauxfcts.h"
#include "ulerror.h"
#include "ulexpr.h"
#include "ulmsgwrite.h"
#include "ulpidfile.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultime.h"
#include "ultrace.h"

std::vector<int> ul_runtaskassign(const std::vector<unsigned long>& groupRows, int nprocs) {
    std::vector<unsigned long> load(static_cast<size_t>(std::max(nprocs, 1)), 0);
    std::vector<int> owner;
    owner.reserve(groupRows.size());
    for (unsigned long rows : groupRows) {
        // min_element keeps the first of equal loads: ties go to the lowest number.
        const auto least = std::min_element(load.begin(), load.end());
        *least += rows;
        owner.push_back(static_cast<int>(least - load.begin()) + 1);
    }
    return owner;
}

namespace {

constexpr char16_t kUsage[] =
    u"Usage: tabrix sqlruntask task=<taskid> [procnr=<procnr>] "
    u"[distribute|execute|cleanup|checkcomplete|checkempty]\n"
    u"  distribute      distribute the statement groups of the task to procnr processes\n"
    u"  execute         execute the statements of process procnr, or without procnr pick\n"
    u"                  statement groups dynamically (default)\n"
    u"  cleanup         release the statements claimed by dead processes\n"
    u"  checkcomplete   succeed only if no statement of the task is left\n"
    u"  checkempty      succeed only if the task has statements\n"
    u"Options:\n"
    u"  showonly        show the statements without executing or deleting them\n"
    u"  shadow          use the shadow statement table\n"
    u"  schema=<name>   schema of the statement table\n"
    u"  maxstmts=<n>    statements to pick per batch (default 25)\n"
    u"  maxgroups=<n>   statement groups to pick per batch (default 25)\n"
    u"  commitmax=<n>   commit after at least n statement groups (default 1)\n"
    u"  delmode=<mode>  before, after (default) or complete\n"
    u"  stoponerror     stop at the first failing statement\n";

constexpr int kResultWarning = 4;
constexpr size_t kMaxIfDepth = 16;
constexpr unsigned kNameSize = 256;

enum class Operation { Execute, Distribute, Cleanup, CheckComplete, CheckEmpty };
enum class DelMode { Before, After, Complete };

struct Options {
    std::u16string task;
    long procnr = -1;  // -1: not given
    Operation op = Operation::Execute;
    bool showonly = false;
    bool shadow = false;
    bool stoponerror = false;
    std::u16string schema;
    long maxstmts = -1;
    long maxgroups = -1;
    long commitmax = 1;
    DelMode delmode = DelMode::After;
};

int parseDelMode(const char16_t* word, DelMode* mode) {
    static const struct {
        const char16_t* word;
        DelMode mode;
    } kModes[] = {
        {u"before", DelMode::Before}, {u"after", DelMode::After}, {u"complete", DelMode::Complete}};
    for (const auto& m : kModes) {
        if (ul_stricmp(word, m.word) == 0) {
            *mode = m.mode;
            return 0;
        }
    }
    ul_errorsetmsgfmt(0, u"Unknown delmode '%s'", word);
    return UL_ERROR_RETURN(-1);
}

int parseCount(const char16_t* text, long* value) {
    return ul_stringtocount(text, value) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// Returns 0, 1 for a usage error, or -1 with the reason set.
int parseOptions(unsigned argc, const char16_t** argv, Options* o) {
    static const struct {
        const char16_t* word;
        Operation op;
    } kOperations[] = {{u"distribute", Operation::Distribute},
                       {u"execute", Operation::Execute},
                       {u"cleanup", Operation::Cleanup},
                       {u"checkcomplete", Operation::CheckComplete},
                       {u"checkempty", Operation::CheckEmpty}};
    const struct {
        const char16_t* word;
        long* value;
    } counts[] = {{u"procnr=", &o->procnr},
                  {u"maxstmts=", &o->maxstmts},
                  {u"maxgroups=", &o->maxgroups},
                  {u"commitmax=", &o->commitmax}};
    for (unsigned i = 1; i < argc; ++i) {
        const char16_t* arg = argv[i];
        const char16_t* value = nullptr;
        bool known = false;
        for (const auto& c : counts) {
            if ((value = ul_stringstarticmp(arg, c.word))) {
                if (parseCount(value, c.value) < 0) return UL_ERROR_RETURN(-1);
                known = true;
                break;
            }
        }
        for (const auto& op : kOperations) {
            if (!known && ul_stricmp(arg, op.word) == 0) {
                o->op = op.op;
                known = true;
            }
        }
        if (known) continue;
        if ((value = ul_stringstarticmp(arg, u"task="))) {
            o->task = value;
        } else if ((value = ul_stringstarticmp(arg, u"schema="))) {
            o->schema = value;
        } else if ((value = ul_stringstarticmp(arg, u"delmode="))) {
            if (parseDelMode(value, &o->delmode) < 0) return UL_ERROR_RETURN(-1);
        } else if (ul_stricmp(arg, u"showonly") == 0) {
            o->showonly = true;
        } else if (ul_stricmp(arg, u"shadow") == 0) {
            o->shadow = true;
        } else if (ul_stricmp(arg, u"stoponerror") == 0) {
            o->stoponerror = true;
        } else {
            ul_errorsetmsgfmt(0, u"Unknown option '%s'", arg);
            return UL_ERROR_RETURN(-1);
        }
    }
    if (o->procnr == 0) {
        ul_errorsetmsgfmt(0, u"Illegal process number %d", 0);
        return UL_ERROR_RETURN(-1);
    }
    if (o->task.empty() || (o->op == Operation::Distribute && o->procnr < 0)) return 1;
    if (o->maxstmts < 0 && o->maxgroups < 0) o->maxstmts = o->maxgroups = 25;
    if (o->maxstmts < 0) o->maxstmts = o->maxgroups;
    if (o->maxgroups < 0) o->maxgroups = o->maxstmts;
    if (o->commitmax < 1) o->commitmax = 1;
    return 0;
}

int message(char16_t severity, const std::u16string& text) {
    return ul_msgwrite_line399(1, severity, text) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// The error text of a failed statement as error messages, one per line.
int writeError() {
    const std::u16string text = ul_errorgetmsg();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) end = text.size();
        if (message(u'E', text.substr(start, end - start)) < 0) return UL_ERROR_RETURN(-1);
        start = end + 1;
    }
    return 0;
}

// Builds a statement from pieces: names quoted as the database wants them, the task as a
// string literal. The first failure sticks and is returned by done().
class SqlText {
  public:
    SqlText& text(const char16_t* t) {
        if (ok_) s_ += t;
        return *this;
    }
    SqlText& name(const char16_t* n) {
        if (ok_ && ul_sqlappendquotedname(&s_, n, 0) < 0) ok_ = false;
        return *this;
    }
    SqlText& names(std::initializer_list<const char16_t*> list) {
        const char16_t* separator = u"";
        for (const char16_t* n : list) {
            text(separator).name(n);
            separator = u", ";
        }
        return *this;
    }
    SqlText& number(long value) { return text(ul_format(u"%ld", value).c_str()); }
    SqlText& literal(const std::u16string& value) {
        if (ok_ &&
            ul_sqlappendliteral(&s_, value, UL_SQLTOKEN_STRING, ul_sqlcurrentliteralform()) < 0)
            ok_ = false;
        return *this;
    }
    SqlText& raw(const std::u16string& t) { return text(t.c_str()); }
    // The condition on the task column.
    SqlText& task(const std::u16string& id) { return name(u"TASK").text(u" = ").literal(id); }
    int done(std::u16string* out) {
        if (!ok_) return UL_ERROR_RETURN(-1);
        *out = s_;
        return 0;
    }

  private:
    std::u16string s_;
    bool ok_ = true;
};

// Collects the text values of a query's rows (NULL as empty) and the column names.
class AuxCollectRows : public ULSQLCallBackChar {
  public:
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override {
        std::vector<std::u16string> row;
        for (unsigned i = 0; i < ncols; ++i)
            row.emplace_back(values && values[i] ? values[i] : u"");
        if (flags & UL_ROW_HDR_NAME) {
            names = std::move(row);
        } else if (flags & UL_ROW_DATA) {
            rows.push_back(std::move(row));
        }
        return 0;
    }
    std::vector<std::u16string> names;
    std::vector<std::vector<std::u16string>> rows;
};

int toLong(const std::u16string& text, long* value) {
    if (ul_stringtolong(text.c_str(), value) < 0) {
        ul_errorsetmsgfmt(0, u"Invalid number '%s' in the statement table", text.c_str());
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

struct Statement {
    long sequence = 0;
    unsigned long lines = 0;
    std::u16string object;
    std::u16string text;
};

struct Group {
    long number = 0;
    unsigned long rows = 0;
    std::vector<Statement> statements;
};

class GroupDeletes;

// The open task: table, the process's PID value and the transaction bookkeeping.
class RunTask {
  public:
    explicit RunTask(const Options& o) : o_(o) {}
    int setUp();
    int distribute();
    int execute();
    int cleanup();
    int check();

  private:
    friend class AuxReadBatch;
    friend class GroupDeletes;
    int commit();
    int rollback();
    // Before each statement: a transaction's first statement takes the write lock on engines
    // that have no row locks.
    int lock();
    int prepared(ULSQLStmt* stmt, SqlText& sql);
    long runParams(ULSQLStmt* stmt, std::initializer_list<long> params);
    int readBatch(long start, std::vector<Group>* groups);
    int claim(const std::vector<Group>& groups);
    int prepareExecute();
    int runBatches();
    int executeGroup(const Group& g, bool* failed);
    int failStatement(bool* failed);
    int runActive(const Group& g, const Statement& s, DelMode* mode, GroupDeletes* deletes,
                  bool* failed, bool* handled);
    int finishGroup(const Group& g, DelMode mode, GroupDeletes* deletes, bool failed);
    int abandonGroup();
    int listGroup(const Group& g);
    int deleteRows(const Group& g, long from, long to, unsigned long expected);
    int runStatement(const Statement& s, DelMode* mode, bool* failed);
    int runPragma(const std::u16string& text, DelMode* mode, bool* failed);
    int runSql(const std::u16string& sql, const std::vector<long>* uncritical, bool* failed);
    int evaluateIf(const std::u16string& text, bool* value);
    int stopRequested();

    const Options& o_;
    std::u16string table_;    // quoted, with the schema
    std::u16string display_;  // as shown in messages
    long pid_ = 0;
    bool dynamic_ = false;
    bool needLock_ = true;
    long errors_ = 0;
    long executed_ = 0;
    std::vector<long> uncommittedGroups_;
    std::u16string pidPath_;
    ULPidFile pidChecker_;
    std::vector<long> pendingUncritical_;
    bool uncriticalPending_ = false;
    bool uncriticalAny_ = false;
    ULSQLStmt read_, claim_, release_, delGroup_, delOne_, delRange_;
};

int RunTask::setUp() {
    const std::u16string base =
        o_.shadow ? std::u16string(u"UPGSQL") + ul_sqlgetseparator(1) : std::u16string(u"UPGSQL");
    SqlText t;
    if (!o_.schema.empty()) t.name(o_.schema.c_str()).text(u".");
    if (t.name(base.c_str()).done(&table_) < 0) return UL_ERROR_RETURN(-1);
    display_ = o_.schema.empty() ? base : o_.schema + u"." + base;
    return 0;
}

int RunTask::commit() {
    needLock_ = true;
    uncommittedGroups_.clear();
    return ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int RunTask::rollback() {
    needLock_ = true;
    uncommittedGroups_.clear();
    return ul_sqlrollback2(UL_ROLLBACK_QUIET) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int RunTask::lock() {
    if (!needLock_) return 0;
    if (ul_sqltakewritelock(table_.c_str()) < 0) return UL_ERROR_RETURN(-1);
    needLock_ = false;
    return 0;
}

int RunTask::prepared(ULSQLStmt* stmt, SqlText& sql) {
    std::u16string text;
    if (sql.done(&text) < 0 || stmt->prepare(text.c_str(), nullptr, 0, nullptr, 0, 0) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

long RunTask::runParams(ULSQLStmt* stmt, std::initializer_list<long> params) {
    unsigned i = 0;
    for (long p : params) {
        if (stmt->bindParamI(i++, p) < 0) return UL_ERROR_RETURN(-1);
    }
    if (lock() < 0) return UL_ERROR_RETURN(-1);
    const long rows = stmt->execute(nullptr, nullptr, 0);
    return rows < 0 ? UL_ERROR_RETURN(-1) : rows;
}

// ---- distribute ---------------------------------------------------------------------------

// Counts the rows of each group, in group order.
class AuxGroupRows : public ULSQLCallBackChar {
  public:
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override {
        if (!(flags & UL_ROW_DATA) || ncols < 1) return 0;
        long group = 0;
        if (toLong(values && values[0] ? values[0] : u"", &group) < 0) return UL_ERROR_RETURN(-1);
        if (groups.empty() || groups.back() != group) {
            groups.push_back(group);
            rows.push_back(0);
        }
        ++rows.back();
        return 0;
    }
    std::vector<long> groups;
    std::vector<unsigned long> rows;
};

int RunTask::distribute() {
    SqlText select;
    select.text(u"SELECT ")
        .names({u"STMT_GROUP", u"SEQUENCE", u"LINE"})
        .text(u" FROM ")
        .raw(table_)
        .text(u" WHERE ")
        .task(o_.task)
        .text(u" ORDER BY ")
        .names({u"STMT_GROUP", u"SEQUENCE", u"LINE"});
    ULSQLStmt read;
    AuxGroupRows counted;
    if (prepared(&read, select) < 0 || lock() < 0 || read.execute(&counted, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    const std::vector<int> owner = ul_runtaskassign(counted.rows, static_cast<int>(o_.procnr));
    SqlText update;
    update.text(u"UPDATE ")
        .raw(table_)
        .text(u" SET ")
        .name(u"PID")
        .text(u" = ? WHERE ")
        .task(o_.task)
        .text(u" AND ")
        .name(u"STMT_GROUP")
        .text(u" = ?");
    ULSQLStmt assign;
    if (prepared(&assign, update) < 0) return UL_ERROR_RETURN(-1);
    int maxProc = 0;
    for (int p = 1; p <= o_.procnr; ++p) {
        unsigned long expected = 0;
        unsigned long updated = 0;
        int groups = 0;
        for (size_t i = 0; i < owner.size(); ++i) {
            if (owner[i] != p) continue;
            const long rows = runParams(&assign, {p, counted.groups[i]});
            if (rows < 0) return UL_ERROR_RETURN(-1);
            updated += static_cast<unsigned long>(rows);
            expected += counted.rows[i];
            ++groups;
        }
        if (updated != expected) {
            ul_errorsetmsgfmt(0, u"Distributing for proc %d updated %lu rows, expected %lu", p,
                              updated, expected);
            return UL_ERROR_RETURN(-1);
        }
        if (ul_msgwrite_printf399(1, u' ', u"Distributed %4d statements size %6lu for procnr=%d.",
                                  groups, expected, p) < 0)
            return UL_ERROR_RETURN(-1);
        if (groups > 0) maxProc = p;
    }
    if (commit() < 0 || ul_msgwrite_printf399(1, u' ', u"MAXPROCNR=%d", maxProc) < 0)
        return UL_ERROR_RETURN(-1);
    return maxProc > 0 ? 0 : kResultWarning;
}

// ---- execute: reading a batch ---------------------------------------------------------------

// Assembles the rows of the read query into groups of statements and stops at the first row
// of a group that would overfill the batch; a group is never split.
class AuxReadBatch : public ULSQLCallBackChar {
  public:
    AuxReadBatch(const Options& o, std::vector<Group>* groups) : o_(o), groups_(groups) {}
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override {
        if (!(flags & UL_ROW_DATA) || ncols < 5) return 0;
        long group = 0, sequence = 0, line = 0;
        if (toLong(value(values, 0), &group) < 0 || toLong(value(values, 1), &sequence) < 0 ||
            toLong(value(values, 2), &line) < 0)
            return UL_ERROR_RETURN(-1);
        if (groups_->empty() || groups_->back().number != group) {
            const long n = static_cast<long>(groups_->size());
            if (!o_.showonly && n > 0 && (n + 1 >= o_.maxgroups || statements_ >= o_.maxstmts))
                return 1;
            groups_->push_back(Group{group, 0, {}});
        }
        Group& g = groups_->back();
        ++g.rows;
        if (g.statements.empty() || g.statements.back().sequence != sequence) {
            g.statements.push_back(Statement{sequence, 0, value(values, 3), u""});
            ++statements_;
        } else if (line != lastLine_ + 1 &&
                   ul_msgwrite_printf399(1, u'W', u"Gap for group %d between line %d and %d!",
                                         static_cast<int>(group), static_cast<int>(lastLine_),
                                         static_cast<int>(line)) < 0) {
            return UL_ERROR_RETURN(-1);
        }
        lastLine_ = line;
        Statement& s = g.statements.back();
        ++s.lines;
        s.text += value(values, 4);
        return 0;
    }

  private:
    static const char16_t* value(const char16_t** values, unsigned i) {
        return values && values[i] ? values[i] : u"";
    }
    const Options& o_;
    std::vector<Group>* groups_;
    long statements_ = 0;
    long lastLine_ = 0;
};

int RunTask::readBatch(long start, std::vector<Group>* groups) {
    groups->clear();
    AuxReadBatch batch(o_, groups);
    if (read_.bindParamI(0, start) < 0 || lock() < 0 || read_.execute(&batch, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int RunTask::claim(const std::vector<Group>& groups) {
    for (const Group& g : groups) {
        const long rows = runParams(&claim_, {g.number});
        if (rows < 0) return UL_ERROR_RETURN(-1);
        if (static_cast<unsigned long>(rows) != g.rows) {
            ul_errorsetmsgfmt(0, u"Picking group %d updated %lu rows, expected %lu",
                              static_cast<int>(g.number), static_cast<unsigned long>(rows), g.rows);
            return UL_ERROR_RETURN(-1);
        }
    }
    return commit();
}

// ---- execute: one group -------------------------------------------------------------------

enum class Directive { None, If, Else, Endif, Pragma };

bool isWordChar(char16_t c) {
    return ul_isdigit(c) || c == u'_' || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// The directive a statement text is, and in *rest the text behind its keyword.
Directive classify(const std::u16string& text, std::u16string* rest) {
    size_t i = 0;
    while (i < text.size() && ul_isspace(text[i])) ++i;
    if (i >= text.size() || text[i] != u'#') return Directive::None;
    size_t end = ++i;
    while (end < text.size() && (isWordChar(text[end]))) ++end;
    const std::u16string word = text.substr(i, end - i);
    *rest = text.substr(end);
    if (ul_stricmp(word.c_str(), u"if") == 0) return Directive::If;
    if (ul_stricmp(word.c_str(), u"else") == 0) return Directive::Else;
    if (ul_stricmp(word.c_str(), u"endif") == 0) return Directive::Endif;
    *rest = text.substr(i);
    return Directive::Pragma;
}

bool blank(const std::u16string& text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return ul_isspace(c); });
}

int structureError(const char16_t* format, long group, long sequence) {
    ul_errorsetmsgfmt(0, format, static_cast<int>(group), static_cast<int>(sequence));
    return UL_ERROR_RETURN(-1);
}

// Checks the #if/#else/#endif brackets of a group.
int validateIfs(const Group& g) {
    std::vector<std::pair<long, bool>> open;  // sequence of the #if, #else seen
    for (const Statement& s : g.statements) {
        std::u16string rest;
        const Directive d = classify(s.text, &rest);
        if (d == Directive::If) {
            if (open.size() >= kMaxIfDepth)
                return structureError(u"Too deeply nested '#if' statements group %d sequence %d",
                                      g.number, s.sequence);
            open.emplace_back(s.sequence, false);
            continue;
        }
        if (d != Directive::Else && d != Directive::Endif) continue;
        if (open.empty())
            return structureError(u"'#else'/'#endif' without if in stmt group %d sequence %d",
                                  g.number, s.sequence);
        if (!blank(rest))
            return structureError(u"Trailing garbage in stmt group %d sequence %d", g.number,
                                  s.sequence);
        if (d == Directive::Endif) {
            open.pop_back();
        } else if (open.back().second) {
            return structureError(u"Duplicate '#else' in stmt group %d sequence %d", g.number,
                                  s.sequence);
        } else {
            open.back().second = true;
        }
    }
    if (!open.empty())
        return structureError(u"Unclosed '#if' statement group %d sequence %d", g.number,
                              open.back().first);
    return 0;
}

int RunTask::deleteRows(const Group& g, long from, long to, unsigned long expected) {
    const int group = static_cast<int>(g.number);
    long rows = 0;
    if (from < 0) {
        if (ul_msgwrite_printf399(1, u' ', u"Deleting statement group %d.", group) < 0)
            return UL_ERROR_RETURN(-1);
        rows = runParams(&delGroup_, {g.number});
    } else if (from == to) {
        if (ul_msgwrite_printf399(1, u' ', u"Deleting statement group %d sequence %d.", group,
                                  static_cast<int>(from)) < 0)
            return UL_ERROR_RETURN(-1);
        rows = runParams(&delOne_, {g.number, from});
    } else {
        if (ul_msgwrite_printf399(1, u' ', u"Deleting statement group %d sequences %d-%d.", group,
                                  static_cast<int>(from), static_cast<int>(to)) < 0)
            return UL_ERROR_RETURN(-1);
        rows = runParams(&delRange_, {g.number, from, to});
    }
    if (rows < 0) return UL_ERROR_RETURN(-1);
    if (static_cast<unsigned long>(rows) != expected) {
        ul_errorsetmsgfmt(0, u"Deleting group %d removed %lu rows, expected %lu", group,
                          static_cast<unsigned long>(rows), expected);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int RunTask::failStatement(bool* failed) {
    if (o_.stoponerror) return UL_ERROR_RETURN(-1);
    if (writeError() < 0) return UL_ERROR_RETURN(-1);
    ++errors_;
    *failed = true;
    return 0;
}

// The deletes of one group: handled statements that are still in the table collect into a run
// of neighbours, deleted by one range delete.
class GroupDeletes {
  public:
    GroupDeletes(RunTask* task, const Group& g) : task_(task), g_(g) {}
    // Adds statement s, whose predecessor in the group has sequence previous (-1: none).
    int add(const Statement& s, long previous) {
        if (from_ >= 0 && to_ != previous && flush() < 0) return UL_ERROR_RETURN(-1);
        if (from_ < 0) from_ = s.sequence;
        to_ = s.sequence;
        rows_ += s.lines;
        return 0;
    }
    int flush() {
        if (from_ < 0) return 0;
        if (task_->deleteRows(g_, from_, to_, rows_) < 0) return UL_ERROR_RETURN(-1);
        deleted += rows_;
        from_ = to_ = -1;
        rows_ = 0;
        return 0;
    }
    unsigned long deleted = 0;  // rows deleted so far

  private:
    RunTask* task_;
    const Group& g_;
    long from_ = -1;
    long to_ = -1;
    unsigned long rows_ = 0;
};

// The #if branches open at a statement of a group.
class Branches {
  public:
    bool active() const {
        return open_.empty() ||
               (open_.back().outerActive && open_.back().condition != open_.back().inElse);
    }
    void push(bool outerActive, bool condition) {
        open_.push_back({outerActive, condition, false});
    }
    void toElse() { open_.back().inElse = true; }
    void pop() { open_.pop_back(); }

  private:
    struct Branch {
        bool outerActive;
        bool condition;
        bool inElse;
    };
    std::vector<Branch> open_;
};

int RunTask::executeGroup(const Group& g, bool* failed) {
    *failed = false;
    const time_t started = time(nullptr);
    if (validateIfs(g) < 0) return failStatement(failed);
    DelMode mode = o_.delmode;
    GroupDeletes deletes(this, g);
    Branches branches;
    long previous = -1;
    for (size_t i = 0; i < g.statements.size(); previous = g.statements[i++].sequence) {
        const Statement& s = g.statements[i];
        std::u16string rest;
        const Directive d = classify(s.text, &rest);
        bool handled = true;  // done without running: a directive or a branch not taken
        if (d == Directive::If) {
            bool value = false;
            const bool outer = branches.active();
            if (outer && evaluateIf(rest, &value) < 0 && failStatement(failed) < 0)
                return UL_ERROR_RETURN(-1);
            branches.push(outer, value);
        } else if (d == Directive::Else) {
            branches.toElse();
        } else if (d == Directive::Endif) {
            branches.pop();
        } else if (branches.active()) {
            if (runActive(g, s, &mode, &deletes, failed, &handled) < 0) return UL_ERROR_RETURN(-1);
        }
        // A handled statement is deleted unless the group deletes it at its end.
        if (handled && mode != DelMode::Complete && deletes.add(s, previous) < 0)
            return UL_ERROR_RETURN(-1);
    }
    if (finishGroup(g, mode, &deletes, *failed) < 0) return UL_ERROR_RETURN(-1);
    char16_t elapsed[32];
    if (ul_formatelapsed(elapsed, 32, static_cast<long>(time(nullptr) - started)) < 0 ||
        ul_msgwrite_printf399(2, u' ', u"Statement group %d took %s.", static_cast<int>(g.number),
                              elapsed) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

// Runs a statement of a branch taken. *handled tells whether it is to be deleted with its
// neighbours: under after when it succeeded (the range delete is in the same transaction as
// the statements, so it takes effect exactly when they do).
int RunTask::runActive(const Group& g, const Statement& s, DelMode* mode, GroupDeletes* deletes,
                       bool* failed, bool* handled) {
    if (ul_msgwrite_printf399(1, u' ', u"Executing group %d sequence %d for '%s':",
                              static_cast<int>(g.number), static_cast<int>(s.sequence),
                              s.object.c_str()) < 0 ||
        message(u' ', s.text) < 0)
        return UL_ERROR_RETURN(-1);
    const DelMode used = *mode;
    *handled = false;
    if (used == DelMode::Before) {
        if (deletes->flush() < 0 || deleteRows(g, s.sequence, s.sequence, s.lines) < 0)
            return UL_ERROR_RETURN(-1);
        deletes->deleted += s.lines;
    }
    bool stmtFailed = false;
    if (runStatement(s, mode, &stmtFailed) < 0) return UL_ERROR_RETURN(-1);
    if (stmtFailed) {
        // The statement's rows stay (the deletes before it must not cover it); under before
        // its delete goes with the group's rollback.
        if (deletes->flush() < 0 || failStatement(failed) < 0) return UL_ERROR_RETURN(-1);
        return 0;
    }
    ++executed_;
    *handled = used == DelMode::After;
    return 0;
}

// Ends a group. Under delmode after every statement that succeeded is done together with its
// delete (a failed statement leaves no change behind), so those commit; the commit of a
// successful group waits for the commitmax counter. Other modes roll a failed group back.
int RunTask::finishGroup(const Group& g, DelMode mode, GroupDeletes* deletes, bool failed) {
    if (failed && mode == DelMode::After) {
        if (deletes->flush() < 0 || commit() < 0) return UL_ERROR_RETURN(-1);
        return 0;
    }
    if (failed) return abandonGroup();
    if (deletes->flush() < 0) return UL_ERROR_RETURN(-1);
    if (g.rows > deletes->deleted && deleteRows(g, -1, -1, g.rows - deletes->deleted) < 0)
        return UL_ERROR_RETURN(-1);
    uncommittedGroups_.push_back(g.number);
    if (static_cast<long>(uncommittedGroups_.size()) >= o_.commitmax && commit() < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

// Rolls back a failed group. The rollback also takes back the executed and deleted statements
// of the groups not committed yet; a dynamic executor hands those back to the others.
int RunTask::abandonGroup() {
    const std::vector<long> undone = uncommittedGroups_;
    if (rollback() < 0) return UL_ERROR_RETURN(-1);
    if (!dynamic_ || undone.empty()) return 0;
    for (long group : undone) {
        if (runParams(&release_, {group}) < 0) return UL_ERROR_RETURN(-1);
    }
    return commit();
}

// ---- execute: statements, pragmas, conditions -----------------------------------------------

int RunTask::runStatement(const Statement& s, DelMode* mode, bool* failed) {
    std::u16string rest;
    if (classify(s.text, &rest) == Directive::Pragma) return runPragma(s.text, mode, failed);
    size_t b = 0;
    while (b < s.text.size() && ul_isspace(s.text[b])) ++b;
    size_t e = s.text.size();
    while (e > b && (ul_isspace(s.text[e - 1]) || s.text[e - 1] == u';')) --e;
    const std::u16string sql = s.text.substr(b, e - b);
    if (ul_stricmp(sql.c_str(), u"COMMIT") == 0) return commit();
    if (ul_stringstarticmp(sql.c_str(), u"ROLLBACK")) {
        uncommittedGroups_.clear();
        return rollback();
    }
    const bool uncritical = uncriticalPending_;
    uncriticalPending_ = false;
    return runSql(sql, uncritical ? &pendingUncritical_ : nullptr, failed);
}

// Runs one SQL text. Errors whose database code is listed in uncritical (every error when the
// list is empty) are warnings; any other error sets *failed with the reason in the buffer.
int RunTask::runSql(const std::u16string& sql, const std::vector<long>* uncritical, bool* failed) {
    ULSQLStmt stmt;
    if (lock() == 0 && stmt.prepare(sql.c_str(), nullptr, 0, nullptr, 0, 0) == 0 &&
        stmt.execute(nullptr, nullptr, 0) >= 0)
        return 0;
    const dbif_commarea_t* area = ul_sqlcommarea();
    const long code = area ? area->dbCode : -1;
    if (uncritical && (uncritical->empty() || std::find(uncritical->begin(), uncritical->end(),
                                                        code) != uncritical->end())) {
        const std::u16string text = ul_errorgetmsg();
        return message(u'W', u"Uncritical error: " + text);
    }
    *failed = true;
    return 0;
}

// Splits "NAME(arg, arg) rest" into its parts; arguments lose blanks and single quotes around
// them. Returns -1 for an unclosed argument list.
int splitPragma(const std::u16string& text, std::u16string* name, std::vector<std::u16string>* args,
                std::u16string* rest) {
    size_t i = 0;
    while (i < text.size() && (isWordChar(text[i]))) ++i;
    *name = text.substr(0, i);
    size_t j = i;
    while (j < text.size() && ul_isspace(text[j])) ++j;
    if (j < text.size() && text[j] == u'(') {
        const size_t close = text.find(u')', j);
        if (close == std::u16string::npos) return -1;
        std::u16string list = text.substr(j + 1, close - j - 1);
        size_t start = 0;
        while (!blank(list) && start <= list.size()) {
            size_t comma = list.find(u',', start);
            if (comma == std::u16string::npos) comma = list.size();
            std::u16string arg = list.substr(start, comma - start);
            arg.erase(0, arg.find_first_not_of(u" \t"));
            arg.erase(arg.find_last_not_of(u" \t") + 1);
            if (arg.size() >= 2 && arg.front() == u'\'' && arg.back() == u'\'')
                arg = arg.substr(1, arg.size() - 2);
            args->push_back(arg);
            start = comma + 1;
        }
        j = close + 1;
    }
    while (j < text.size() && ul_isspace(text[j])) ++j;
    *rest = text.substr(j);
    return 0;
}

int RunTask::runPragma(const std::u16string& text, DelMode* mode, bool* failed) {
    std::u16string name, rest, call;
    std::vector<std::u16string> args;
    (void)classify(text, &call);
    const int nargs =
        splitPragma(call, &name, &args, &rest) < 0 ? -1 : static_cast<int>(args.size());
    auto is = [&](const char16_t* n) { return ul_stricmp(name.c_str(), n) == 0; };
    auto fail = [&](const char16_t* format, const std::u16string& value) {
        ul_errorsetmsgfmt(0, format, value.c_str());
        *failed = true;
        return 0;
    };
    if (is(u"ECHO") && nargs >= 0) {
        for (const std::u16string& a : args) {
            if (message(u' ', a) < 0) return UL_ERROR_RETURN(-1);
        }
        return rest.empty() ? 0 : message(u' ', rest);
    }
    if (is(u"ISO_LEVEL") && nargs == 1) {
        const int level = ul_sqlisolevelfromstring(args[0].c_str());
        if (level < 0) return fail(u"Unknown isolation level '%s'", args[0]);
        if (level != ul_sqlgetisolevel() && ul_sqlsetisolevel(level) < 0) *failed = true;
        return 0;
    }
    if (is(u"ATOMIC") && nargs == 1) {
        if (ul_stricmp(args[0].c_str(), u"BEGIN") && ul_stricmp(args[0].c_str(), u"END"))
            return fail(u"Unknown atomic type '%s'", args[0]);
        return 0;
    }
    if (is(u"DELMODE") && nargs == 1) {
        if (parseDelMode(args[0].c_str(), mode) < 0) *failed = true;
        return 0;
    }
    if (is(u"FAIL") && nargs == 0) {
        ul_errorsetmsg(0, u"Statement failed by request");
        *failed = true;
        return 0;
    }
    if (is(u"UNCRITICAL_STATEMENT") && nargs >= 0) {
        std::vector<long> codes;
        for (const std::u16string& a : args) {
            long code = 0;
            const bool sign = !a.empty() && a[0] == u'-';
            if (a.size() <= (sign ? 1u : 0u) || !ul_isdigit(a[sign ? 1 : 0]) ||
                ul_stringtolong(a.c_str(), &code) < 0)
                return fail(u"Invalid SQL error code '%s'", a);
            codes.push_back(code);
        }
        if (!rest.empty()) return runSql(rest, &codes, failed);
        // Without a text of its own the pragma covers the group's next SQL statement.
        pendingUncritical_ = codes;
        uncriticalPending_ = true;
        return 0;
    }
    ul_errorsetmsgfmt(0, u"Illegal pragma '%s' #%d in '%s'", name.c_str(), nargs, text.c_str());
    *failed = true;
    return 0;
}

// The columns of the condition query's row as the variables of an expression.
class RowProvider : public ULExprVarProvider {
  public:
    explicit RowProvider(const AuxCollectRows& rows) : rows_(rows) {}
    int getValue(ULExprValue* result, const char16_t* name, int index, const ULExprValue*, int argc,
                 ul_strpool_t* pool) override {
        if (argc >= 0) return index < 0 ? -1 : ul_exprunresolved(name, argc);
        for (size_t i = 0; i < rows_.names.size(); ++i) {
            if (ul_stricmp(rows_.names[i].c_str(), name) != 0) continue;
            if (index < 0) return 0;
            return result->setText(rows_.rows[0][i].c_str(), pool, UL_EXPR_TEXT_NUMBER);
        }
        ul_errorsetmsgfmt(0, u"Unknown selection field '%s'", name);
        return UL_ERROR_RETURN(-1);
    }

  private:
    const AuxCollectRows& rows_;
};

enum class IfForm { Value, True, False, Expression };

// Splits the condition text behind "#if" into its form, the expression and the query.
int splitCondition(const std::u16string& text, IfForm* form, std::u16string* expression,
                   std::u16string* query) {
    size_t i = text.find_first_not_of(u" \t\r\n");
    if (i == std::u16string::npos) i = text.size();
    *form = IfForm::Value;
    for (const auto& [word, f] : {std::pair{u"true", IfForm::True}, {u"false", IfForm::False}}) {
        const size_t n = std::char_traits<char16_t>::length(word);
        if (ul_strnicmp(text.c_str() + i, word, n) == 0 &&
            (i + n == text.size() || ul_isspace(text[i + n]))) {
            *form = f;
            *query = text.substr(i + n);
            return 0;
        }
    }
    if (i >= text.size() || text[i] != u'(') {
        *query = text.substr(i);
        return 0;
    }
    int level = 0;
    char16_t quote = 0;
    size_t j = i;
    for (; j < text.size(); ++j) {
        const char16_t c = text[j];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == u'\'' || c == u'"') {
            quote = c;
        } else if (c == u'(') {
            ++level;
        } else if (c == u')' && --level == 0) {
            break;
        }
    }
    if (quote) {
        ul_errorsetmsgfmt(0, u"Unclosed string in '%s'", text.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (level != 0) {
        ul_errorsetmsgfmt(0, u"Unmatched brackets level %d in '%s'", level, text.c_str());
        return UL_ERROR_RETURN(-1);
    }
    *form = IfForm::Expression;
    *expression = text.substr(i, j + 1 - i);
    *query = text.substr(j + 1);
    return 0;
}

int booleanOf(const std::u16string& text, bool* value) {
    const int b = ul_string2boolean(text.c_str(), 0);
    if (b < 0) return UL_ERROR_RETURN(-1);
    *value = b == 1;
    if (ul_msgwrite_printf399(2, u' ', u"Evaluate value '%s' as boolean %s.", text.c_str(),
                              *value ? u"true" : u"false") < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int RunTask::evaluateIf(const std::u16string& text, bool* value) {
    IfForm form = IfForm::Value;
    std::u16string expression, query;
    if (splitCondition(text, &form, &expression, &query) < 0) return UL_ERROR_RETURN(-1);
    AuxCollectRows rows;
    ULSQLStmt stmt;
    if (lock() < 0 || stmt.prepare(query.c_str(), nullptr, 0, nullptr, 0, UL_SQLMODE_SELECT) < 0 ||
        stmt.execute(&rows, nullptr, UL_SQLMODE_HDR_NAME) < 0)
        return UL_ERROR_RETURN(-1);
    *value = false;
    if (rows.rows.empty()) {
        if (message(u'W', u"Got no value from selection, treating it as 'false'!") < 0)
            return UL_ERROR_RETURN(-1);
    } else if (rows.rows.size() > 1) {
        ul_errorsetmsg(0, u"Expected only single selection result");
        return UL_ERROR_RETURN(-1);
    } else if (form == IfForm::Expression) {
        RowProvider provider(rows);
        ULExprCompiled compiled;
        ULExprValue result;
        ul_strpool_t pool;
        if (compiled.compile(expression.c_str(), &provider) < 0 ||
            compiled.evaluate(&result, &provider, &pool) < 0)
            return UL_ERROR_RETURN(-1);
        if (result.hasInteger()) {
            *value = result.intValue != 0;
        } else if (result.hasString()) {
            if (booleanOf(result.string, value) < 0) return UL_ERROR_RETURN(-1);
        } else {
            *value = result.hasDouble() && result.doubleValue != 0;
        }
    } else if (rows.rows[0].size() != 1) {
        ul_errorsetmsgfmt(0, u"Expected only single column result, got %d",
                          static_cast<int>(rows.rows[0].size()));
        return UL_ERROR_RETURN(-1);
    } else if (booleanOf(rows.rows[0][0], value) < 0) {
        return UL_ERROR_RETURN(-1);
    }
    if (form == IfForm::False) *value = !*value;
    UL_TRACE(UL_TRC_SQLRUNTASK, 1, u"Finally, condition '%s' evaluated as %s.\n", text.c_str(),
             *value ? u"true" : u"false");
    return 0;
}

// ---- execute: batches -----------------------------------------------------------------------

int RunTask::listGroup(const Group& g) {
    for (const Statement& s : g.statements) {
        if (ul_msgwrite_printf399(1, u' ', u"Statement group %d sequence %d for '%s':",
                                  static_cast<int>(g.number), static_cast<int>(s.sequence),
                                  s.object.c_str()) < 0 ||
            message(u' ', s.text) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// 1 when the PID file asks to stop, 0 otherwise.
int RunTask::stopRequested() {
    const int rc = ULPidFile::verify(&pidChecker_, pidPath_.c_str(), nullptr);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == 1 && message(u'W', u"Received stop request!") < 0) return UL_ERROR_RETURN(-1);
    return rc;
}

int RunTask::prepareExecute() {
    const long own = dynamic_ ? 0 : pid_;
    SqlText read;
    read.text(u"SELECT ")
        .names({u"STMT_GROUP", u"SEQUENCE", u"LINE", u"OBJECT", u"STMT"})
        .text(u" FROM ")
        .raw(table_);
    std::u16string hint;
    if (dynamic_ && ul_sqlappendlockhint(&hint) < 0) return UL_ERROR_RETURN(-1);
    read.raw(hint)
        .text(u" WHERE ")
        .task(o_.task)
        .text(u" AND ")
        .name(u"PID")
        .text(u" = ")
        .number(own)
        .text(u" AND ")
        .name(u"STMT_GROUP")
        .text(u" >= ? ORDER BY ")
        .names({u"STMT_GROUP", u"SEQUENCE", u"LINE"});
    std::u16string clause;
    if (dynamic_ && ul_sqlappendlockclause(&clause) < 0) return UL_ERROR_RETURN(-1);
    read.raw(clause);
    auto setPid = [&](SqlText& t, long from, long to) -> SqlText& {
        return t.text(u"UPDATE ")
            .raw(table_)
            .text(u" SET ")
            .name(u"PID")
            .text(u" = ")
            .number(to)
            .text(u" WHERE ")
            .task(o_.task)
            .text(u" AND ")
            .name(u"STMT_GROUP")
            .text(u" = ? AND ")
            .name(u"PID")
            .text(u" = ")
            .number(from);
    };
    SqlText claim, release;
    setPid(claim, 0, pid_);
    setPid(release, pid_, 0);
    auto del = [&](SqlText& t) -> SqlText& {
        return t.text(u"DELETE FROM ")
            .raw(table_)
            .text(u" WHERE ")
            .name(u"PID")
            .text(u" = ")
            .number(pid_)
            .text(u" AND ")
            .task(o_.task)
            .text(u" AND ")
            .name(u"STMT_GROUP")
            .text(u" = ?");
    };
    SqlText delGroup, delOne, delRange;
    del(delGroup);
    del(delOne).text(u" AND ").name(u"SEQUENCE").text(u" = ?");
    del(delRange)
        .text(u" AND ? <= ")
        .name(u"SEQUENCE")
        .text(u" AND ")
        .name(u"SEQUENCE")
        .text(u" <= ?");
    // The read fetches arrays of at most one batch's statements: the engine's usual arrays
    // would convert at every batch, and with row locks lock, rows far beyond the batch.
    const long bulkRows = UL_SQLMaxBulkRows;
    const long batchRows = std::max(o_.maxstmts, 1L);
    if (bulkRows != 0)
        UL_SQLMaxBulkRows =
            bulkRows > 0 ? std::min(bulkRows, batchRows) : -std::min(-bulkRows, batchRows);
    const int readPrepared = prepared(&read_, read);
    UL_SQLMaxBulkRows = bulkRows;
    if (readPrepared < 0 || prepared(&delGroup_, delGroup) < 0 || prepared(&delOne_, delOne) < 0 ||
        prepared(&delRange_, delRange) < 0)
        return UL_ERROR_RETURN(-1);
    if (dynamic_ && (prepared(&claim_, claim) < 0 || prepared(&release_, release) < 0))
        return UL_ERROR_RETURN(-1);
    return 0;
}

// Runs the batches; returns 0, the warning result after a stop request, or -1.
int RunTask::runBatches() {
    long start = 0;
    std::vector<Group> groups;
    for (;;) {
        if (commit() < 0 || readBatch(start, &groups) < 0) return UL_ERROR_RETURN(-1);
        if (dynamic_ && !o_.showonly && claim(groups) < 0) return UL_ERROR_RETURN(-1);
        if (ul_msgwrite_printf399(
                1, u' ',
                dynamic_ ? u"Selected %d statement groups." : u"Found %d statement groups.",
                static_cast<int>(groups.size())) < 0)
            return UL_ERROR_RETURN(-1);
        if (groups.empty()) return 0;
        if (o_.showonly) {
            if (commit() < 0) return UL_ERROR_RETURN(-1);
            for (const Group& g : groups) {
                if (listGroup(g) < 0) return UL_ERROR_RETURN(-1);
            }
            return 0;
        }
        const long before = executed_;
        for (const Group& g : groups) {
            bool failed = false;
            if (executeGroup(g, &failed) < 0) return UL_ERROR_RETURN(-1);
            // Dynamic picking reads again from the start, where claimed groups are gone; a
            // failed group keeps its claim and is passed.
            if (!dynamic_ || failed) start = g.number + 1;
            const int stop = stopRequested();
            if (stop != 0) return stop < 0 ? UL_ERROR_RETURN(-1) : kResultWarning;
        }
        if (commit() < 0 || ul_msgwrite_printf399(1, u' ', u"Executed %d statements in total.",
                                                  static_cast<int>(executed_ - before)) < 0)
            return UL_ERROR_RETURN(-1);
        const int stop = stopRequested();
        if (stop != 0) return stop < 0 ? UL_ERROR_RETURN(-1) : kResultWarning;
    }
}

int RunTask::execute() {
    dynamic_ = o_.procnr < 0;
    pid_ = dynamic_ ? static_cast<long>(getpid()) : o_.procnr;
    pidPath_ = ul_format(u"SQLRUN_%s_%02d.pid", o_.task.c_str(), static_cast<int>(pid_));
    const int owner = ULPidFile::create(pidPath_.c_str(), nullptr, 0);
    if (owner < 0) return UL_ERROR_RETURN(-1);
    if (owner > 0) {
        ul_errorsetmsgfmt(0, u"Pid file '%s' belongs to running process %d", pidPath_.c_str(),
                          owner);
        return UL_ERROR_RETURN(-1);
    }
    int rc = prepareExecute();
    if (rc == 0) {
        rc = o_.showonly
                 ? ul_msgwrite_printf399(1, u' ', u"Showing SQL statements from %s",
                                         display_.c_str())
                 : ul_msgwrite_printf399(1, u' ', u"Running SQL statements (PID=%d) from %s.",
                                         static_cast<int>(pid_), display_.c_str());
        rc = rc < 0 ? -1 : runBatches();
    }
    if (rc >= 0 && commit() < 0) rc = -1;
    if (ULPidFile::delFile(pidPath_.c_str()) < 0) rc = -1;
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (errors_ > 0) {
        ul_errorsetmsgfmt(0, u"%d statements returned an error", static_cast<int>(errors_));
        return UL_ERROR_RETURN(-1);
    }
    return rc;
}

// ---- cleanup and checks ---------------------------------------------------------------------

int RunTask::cleanup() {
    const char16_t* verb = o_.showonly ? u"Searching" : u"Cleaning";
    if (ul_msgwrite_printf399(1, u' ', u"%s pending statements from dead processes in %s.", verb,
                              display_.c_str()) < 0)
        return UL_ERROR_RETURN(-1);
    SqlText select, update;
    select.text(u"SELECT DISTINCT ")
        .name(u"PID")
        .text(u" FROM ")
        .raw(table_)
        .text(u" WHERE ")
        .name(u"PID")
        .text(u" <> 0 AND ")
        .task(o_.task);
    update.text(u"UPDATE ")
        .raw(table_)
        .text(u" SET ")
        .name(u"PID")
        .text(u" = 0 WHERE ")
        .task(o_.task)
        .text(u" AND ")
        .name(u"PID")
        .text(u" = ?");
    ULSQLStmt read, release;
    AuxCollectRows pids;
    if (prepared(&read, select) < 0 || prepared(&release, update) < 0 || lock() < 0 ||
        read.execute(&pids, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    int dead = 0;
    for (const auto& row : pids.rows) {
        long pid = 0;
        if (toLong(row[0], &pid) < 0) return UL_ERROR_RETURN(-1);
        if (ul_procisalive(static_cast<int>(pid))) continue;
        ++dead;
        if (ul_msgwrite_printf399(1, u' ', u"%s dead pid %d.", o_.showonly ? u"Found" : u"Cleaning",
                                  static_cast<int>(pid)) < 0)
            return UL_ERROR_RETURN(-1);
        if (!o_.showonly && runParams(&release, {pid}) < 0) return UL_ERROR_RETURN(-1);
    }
    if (commit() < 0 || ul_msgwrite_printf399(1, u' ', u"%s %d dead processes.",
                                              o_.showonly ? u"Found" : u"Cleaned", dead) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int RunTask::check() {
    SqlText select;
    select.text(u"SELECT ")
        .name(u"STMT_GROUP")
        .text(u", COUNT(*) FROM ")
        .raw(table_)
        .text(u" WHERE ")
        .task(o_.task)
        .text(u" GROUP BY ")
        .name(u"STMT_GROUP");
    ULSQLStmt read;
    AuxCollectRows groups;
    if (prepared(&read, select) < 0 || read.execute(&groups, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    for (const auto& row : groups.rows) {
        if (ul_msgwrite_printf399(1, u' ', u"Found %s pending statements for STMT_GROUP = '%s'.",
                                  row[1].c_str(), row[0].c_str()) < 0)
            return UL_ERROR_RETURN(-1);
    }
    if (o_.op == Operation::CheckComplete && !groups.rows.empty()) {
        ul_errorsetmsgfmt(0, u"Found %lu pending statement groups",
                          static_cast<unsigned long>(groups.rows.size()));
        return UL_ERROR_RETURN(-1);
    }
    if (o_.op == Operation::CheckEmpty && groups.rows.empty()) {
        ul_errorsetmsgfmt(0, u"No statement group found for task '%s'", o_.task.c_str());
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int runOperation(const Options& o) {
    RunTask task(o);
    if (task.setUp() < 0) return UL_ERROR_RETURN(-1);
    switch (o.op) {
        case Operation::Distribute:
            return task.distribute();
        case Operation::Cleanup:
            return task.cleanup();
        case Operation::CheckComplete:
        case Operation::CheckEmpty:
            return task.check();
        case Operation::Execute:
            break;
    }
    return task.execute();
}

}  // namespace

int cmd_SQLRUNTASK(unsigned int argc, const char16_t** argv) {
    Options o;
    const int parsed = parseOptions(argc, argv, &o);
    if (parsed < 0) return UL_ERROR_RETURN(-1);
    if (parsed > 0) {
        ULTextFileWriter out;
        if (out.attach(stdout, u"stdout") < 0 || out.write(kUsage) < 0 || out.flush() < 0)
            return UL_ERROR_RETURN(-1);
        return UL_EXIT_USAGE;
    }
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    const int rc = runOperation(o);
    if (rc < 0) {
        // The first failure is the one reported; the rollback only cleans up.
        const std::u16string error = ul_errorgetmsg();
        (void)ul_sqlrollback2(UL_ROLLBACK_QUIET);
        (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);
        ul_errorsetmsg(0, error.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (ul_sqldisconnect(0) < 0) return UL_ERROR_RETURN(-1);
    return rc;
}

#include "repoclean.h"

#include <cstdio>
#include <memory>

#include "tabrix.h"
#include "ulerror.h"
#include "ullistfile.h"
#include "ulmsgwrite.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultrace.h"

// ---- rename evaluation -------------------------------------------------------------------------

int ul_optrename_t::add(const std::u16string& from, const std::u16string& to) {
    return ul_guarded([&]() -> int {
        if (sources_.count(from))
            return ul_errorfail(ul_format(u"Name '%s' appears twice as source name", from.c_str()));
        if (targets_.count(to))
            return ul_errorfail(ul_format(u"Name '%s' appears twice as target name", to.c_str()));
        sources_.insert(from);
        targets_.insert(to);
        pairs_.emplace_back(from, to);
        return 0;
    });
}

void ul_optrename_t::clear() {
    pairs_.clear();
    sources_.clear();
    targets_.clear();
    steps_.clear();
    next_ = 0;
}

int ul_optrename_t::eval(const std::u16string& tempName) {
    return ul_guarded([&]() -> int {
        steps_.clear();
        next_ = 0;
        std::vector<std::pair<std::u16string, std::u16string>> work;
        std::unordered_set<std::u16string> pending;  // sources still to move away
        for (const auto& pair : pairs_) {
            if (pair.first == pair.second) continue;
            work.push_back(pair);
            pending.insert(pair.first);
        }
        bool tempHeld = false;
        while (!work.empty()) {
            bool progress = false;
            for (size_t i = 0; i < work.size();) {
                if (pending.count(work[i].second)) {
                    ++i;
                    continue;
                }
                // The target is free: this rename can go now.
                UL_TRACE(UL_TRC_REPOCLEAN, 3, u"Add '%s' -> '%s' to result.\n",
                         work[i].first.c_str(), work[i].second.c_str());
                if (work[i].first == tempName) tempHeld = false;
                pending.erase(work[i].first);
                steps_.push_back({work[i].first, work[i].second, !tempHeld});
                work.erase(work.begin() + static_cast<std::ptrdiff_t>(i));
                progress = true;
            }
            if (progress || work.empty()) continue;
            // Only loops are left: open one by moving its first source to the temporary name.
            if (tempName.empty()) return ul_errorfail(u"Loop detected, but no temporary name given.");
            if (tempHeld || pending.count(tempName) || targets_.count(tempName))
                return ul_errorfail(
                    ul_format(u"Temporary name '%s' is in use by a rename", tempName.c_str()));
            auto& [source, target] = work.front();
            UL_TRACE(UL_TRC_REPOCLEAN, 3,
                     u"tAdd '%s' -> '%s' to result and '%s' -> '%s' to work list.\n",
                     source.c_str(), tempName.c_str(), tempName.c_str(), target.c_str());
            steps_.push_back({source, tempName, false});
            pending.erase(source);
            pending.insert(tempName);
            source = tempName;
            tempHeld = true;
        }
        return static_cast<int>(steps_.size());
    });
}

bool ul_optrename_t::next(step_t* step) {
    if (next_ >= steps_.size()) return false;
    *step = steps_[next_++];
    return true;
}

int ul_repomethodsuffix(const std::u16string& index, std::u16string* suffix) {
    constexpr long kMax = 36L * 36 * 36 - 1;
    long value = 0;
    bool digits = !index.empty();
    for (char16_t c : index) digits = digits && c >= u'0' && c <= u'9';
    if (!digits || ul_stringtolong(index.c_str(), &value) < 0 || value > kMax)
        return ul_errorfail(ul_format(u"Invalid method index '%s'", index.c_str()));
    constexpr char16_t kDigits[] = u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    *suffix = u"CM";
    for (long div = 36 * 36; div > 0; div /= 36) *suffix += kDigits[(value / div) % 36];
    return 0;
}

// ---- options -----------------------------------------------------------------------------------

namespace {

struct TableOption {
    const char16_t* prefix;
    std::u16string ul_repocleanoptions_t::*table;
    bool emptyUnsets;  // an empty value clears the table; otherwise it is ignored
};
constexpr TableOption kTableOptions[] = {
    {u"tmdir=", &ul_repocleanoptions_t::tmdir, false},
    {u"reposrc=", &ul_repocleanoptions_t::reposrc, false},
    {u"reposrc_adm=", &ul_repocleanoptions_t::reposrcAdm, false},
    {u"repoload=", &ul_repocleanoptions_t::repoload, true},
    {u"tfdir=", &ul_repocleanoptions_t::tfdir, false},
    {u"tftit=", &ul_repocleanoptions_t::tftit, true},
    {u"funct=", &ul_repocleanoptions_t::funct, true},
    {u"tempname=", &ul_repocleanoptions_t::tempName, true},
};

struct FlagOption {
    const char16_t* word;
    bool ul_repocleanoptions_t::*flag;
};
constexpr FlagOption kFlagOptions[] = {
    {u"showonly", &ul_repocleanoptions_t::showOnly},
    {u"testonly", &ul_repocleanoptions_t::testOnly},
    {u"verbose", &ul_repocleanoptions_t::verbose},
    {u"extended", &ul_repocleanoptions_t::extended},
};

int duplicate(const char16_t* arg) {
    return ul_errorfail(ul_format(u"Duplicate option '%s'", arg));
}

int usage(const ul_repocleanoptions_t& d) {
    const std::u16string text = ul_format(
        u"Usage: repoclean [<options>] <classname> ...|all\n"
        u" Renumbers the methods of classes in alphabetical order and renames their sources.\n"
        u" Options:\n"
        u"  inputfile=<file>    read class names from the file (\"!<name>\" ignores a class)\n"
        u"  outputfile=<file>   write the SQL statements to the file instead of executing them\n"
        u"  tempname=<suffix>   temporary index that breaks rename loops (default '%s')\n"
        u"  tmdir=<table>       class directory (default '%s')\n"
        u"  reposrc=<table>     method sources (default '%s')\n"
        u"  reposrc_adm=<table> second table of sources, updated alike (default none)\n"
        u"  repoload=<table>    loads deleted for renamed sources (default '%s'; empty: none)\n"
        u"  tfdir=, tftit=, funct=<table> tables of the extended clean-up (default '%s', "
        u"'%s', '%s')\n"
        u"  autocommit=<n>      commit after at least n changes (default %ld; 0: at the end)\n"
        u"  showonly            only show what would change\n"
        u"  testonly            change the database and roll back\n"
        u"  verbose             show every index rename\n"
        u"  extended            remove function texts of deleted functions afterwards\n"
        u"  testrenames=<file>  evaluate the rename pairs of the file; nothing else\n"
        u"  all                 every class of the class directory\n",
        d.tempName.c_str(), d.tmdir.c_str(), d.reposrc.c_str(), d.repoload.c_str(),
        d.tfdir.c_str(), d.tftit.c_str(), d.funct.c_str(), d.autocommit);
    return ul_cmdprintusage(text.c_str());
}

bool applyTableOption(const char16_t* arg, ul_repocleanoptions_t* o) {
    for (const TableOption& t : kTableOptions) {
        const char16_t* value = ul_stringstarticmp(arg, t.prefix);
        if (!value) continue;
        if (*value || t.emptyUnsets) o->*t.table = value;
        return true;
    }
    return false;
}

bool applyFlagOption(const char16_t* arg, ul_repocleanoptions_t* o) {
    for (const FlagOption& f : kFlagOptions) {
        if (ul_stricmp(arg, f.word) != 0) continue;
        o->*f.flag = true;
        return true;
    }
    return false;
}

// A class selection option (inputfile=, testrenames=, all, a class name), with the checks of
// their combinations.
int applySelection(const char16_t* arg, ul_repocleanoptions_t* o) {
    const bool selected = o->all || !o->inputFile.empty() || !o->classes.empty();
    if (const char16_t* v = ul_stringstarticmp(arg, u"inputfile=")) {
        if (!o->inputFile.empty() || !o->testRenames.empty()) return duplicate(arg);
        o->inputFile = v;
    } else if (const char16_t* r = ul_stringstarticmp(arg, u"testrenames=")) {
        if (selected || !o->testRenames.empty()) return duplicate(arg);
        o->testRenames = r;
    } else if (ul_stricmp(arg, u"all") == 0) {
        if (o->all || !o->testRenames.empty()) return duplicate(arg);
        o->all = true;
    } else {
        if (!o->testRenames.empty()) return duplicate(arg);
        o->classes.emplace_back(arg);
    }
    return 0;
}

}  // namespace

int ul_repocleanparse(unsigned argc, const char16_t** argv, ul_repocleanoptions_t* options) {
    return ul_guarded([&]() -> int {
        for (unsigned i = 1; i < argc; ++i) {
            const char16_t* arg = argv[i];
            if (const char16_t* v = ul_stringstarticmp(arg, u"outputfile=")) {
                options->outputFile = v;
            } else if (const char16_t* n = ul_stringstarticmp(arg, u"autocommit=")) {
                if (ul_stringtocount(n, &options->autocommit) < 0) return UL_ERROR_RETURN(-1);
            } else if (!applyTableOption(arg, options) && !applyFlagOption(arg, options) &&
                       applySelection(arg, options) < 0) {
                return UL_ERROR_RETURN(-1);
            }
        }
        if (options->testRenames.empty() && !options->all && options->inputFile.empty() &&
            options->classes.empty())
            return usage(ul_repocleanoptions_t());
        return 0;
    });
}

// ---- input files -------------------------------------------------------------------------------

namespace {

int readClassFile(const std::u16string& path, std::vector<std::u16string>* classes,
                  std::unordered_set<std::u16string>* ignored) {
    ULListFileReader list;
    if (list.open(path.c_str(), u"Cannot read '%s'") < 0) return UL_ERROR_RETURN(-1);
    int rc;
    int count = 0;
    while ((rc = list.next(u"Cannot read '%s'")) > 0) {
        const char16_t* p = list.line();
        const bool ignore = *p == u'!';
        if (ignore) ++p;
        std::u16string name;
        const int got = ul_listreadname(&p, &name);
        if (got < 0) return UL_ERROR_RETURN(-1);
        if (got == 0) return list.fail(u"No class name in line '%s'");
        if (!ul_listatend(p)) return list.fail(u"Garbage in line '%s'");
        if (ignore) {
            ignored->insert(name);
        } else {
            classes->push_back(name);
            ++count;
        }
    }
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return ul_msgwrite_printf399(2, u' ', u"Read %d %s from '%s'", count, u"class names",
                                 path.c_str()) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

int readRenameFile(const std::u16string& path, ul_optrename_t* renames) {
    ULListFileReader list;
    if (list.open(path.c_str(), u"Cannot read '%s'") < 0) return UL_ERROR_RETURN(-1);
    int rc;
    while ((rc = list.next(u"Cannot read '%s'")) > 0) {
        const char16_t* p = list.line();
        std::u16string from, to;
        int got = ul_listreadname(&p, &from);
        if (got > 0) got = ul_listreadname(&p, &to);
        if (got < 0) return UL_ERROR_RETURN(-1);
        if (got == 0) return list.fail(u"Two names expected in line '%s'");
        if (!ul_listatend(p)) return list.fail(u"Garbage in line '%s'");
        if (renames->add(from, to) < 0) return list.failHere();
    }
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return ul_msgwrite_printf399(2, u' ', u"Read %d %s from '%s'",
                                 static_cast<int>(renames->size()), u"renames",
                                 path.c_str()) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

int testRenames(const ul_repocleanoptions_t& o) {
    ul_optrename_t renames;
    if (readRenameFile(o.testRenames, &renames) < 0 || renames.eval(o.tempName) < 0)
        return UL_ERROR_RETURN(-1);
    ul_optrename_t::step_t step;
    while (renames.next(&step))
        if (ul_msgwrite_printf399(4, u' ', u"Rename: %-20s %s%s", step.from.c_str(),
                                  step.to.c_str(), step.commit ? u"\tcommit" : u"") < 0)
            return UL_ERROR_RETURN(-1);
    return 0;
}

// ---- the clean-up ------------------------------------------------------------------------------

// The first column of every row.
class AuxCollectNames : public ULSQLCallBackChar {
  public:
    explicit AuxCollectNames(std::vector<std::u16string>* names, unsigned columns = 1)
        : names_(names), columns_(columns) {}
    using ULSQLCallBackChar::handleRow;
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override {
        if (!(flags & UL_ROW_DATA)) return 0;
        return ul_guarded([&]() -> int {
            for (unsigned i = 0; i < columns_; ++i)
                names_->push_back(values && i < ncols && values[i] ? ul_trimmed(values[i])
                                                                   : u"");
            return 0;
        });
    }

  private:
    std::vector<std::u16string>* names_;
    unsigned columns_;
};

struct ClassStats {
    int noMethods = 0;
    int alreadyFixed = 0;
    int renamed = 0;
    int total = 0;
};

int appendLiteral(std::u16string* sql, const std::u16string& value) {
    return ul_sqlappendliteral(sql, value, UL_SQLTOKEN_STRING, ul_sqlcurrentliteralform());
}

// A statement text in which %T stands for a quoted table and %L for the next literal value.
int buildStatement(std::u16string* sql, const char16_t* pattern, const std::u16string& table,
                   std::initializer_list<const std::u16string*> values) {
    sql->clear();
    auto value = values.begin();
    for (const char16_t* p = pattern; *p; ++p) {
        if (p[0] != u'%' || (p[1] != u'T' && p[1] != u'L')) {
            *sql += *p;
            continue;
        }
        const bool isTable = *++p == u'T';
        if (isTable ? ul_sqlappendquotedname(sql, table.c_str(), UL_QUOTE_ALWAYS) < 0
                    : (value == values.end() || appendLiteral(sql, **value++) < 0))
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

class RepoCleaner {
  public:
    explicit RepoCleaner(const ul_repocleanoptions_t& o) : o_(o) {}
    int run();

  private:
    int collectClasses(std::vector<std::u16string>* classes);
    int cleanClass(const std::u16string& cls, int n, int total);
    int findSources(const std::u16string& cls);
    int renameStep(const std::u16string& cls, const ul_optrename_t::step_t& step);
    int renameSource(const std::u16string& from, const std::u16string& to);
    int statement(const std::u16string& sql);
    int commitPoint(bool force);
    int extendedCleanup();
    int finish();

    const ul_repocleanoptions_t& o_;
    ULTextFileWriter out_;
    bool toFile_ = false;
    long changes_ = 0;
    ClassStats stats_;
    ul_optrename_t renames_;
    std::unordered_map<std::u16string, std::u16string> sources_;  // suffix -> program name
};

int RepoCleaner::statement(const std::u16string& sql) {
    ++changes_;
    if (toFile_) return out_.writeFmt(u"%s;\n", sql.c_str());
    if (o_.showOnly) return 0;
    return ULSQLStmt::run(sql.c_str(), nullptr, 0, nullptr, nullptr, 0) < 0 ? UL_ERROR_RETURN(-1)
                                                                           : 0;
}

int RepoCleaner::commitPoint(bool force) {
    if (!force && (o_.autocommit == 0 || changes_ < o_.autocommit)) return 0;
    if (changes_ == 0 && !force) return 0;
    changes_ = 0;
    if (toFile_) return out_.write(u"COMMIT;\n");
    if (o_.testOnly) return ul_sqlrollback2(UL_ROLLBACK_QUIET) < 0 ? UL_ERROR_RETURN(-1) : 0;
    if (o_.showOnly) return 0;
    return ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int RepoCleaner::collectClasses(std::vector<std::u16string>* classes) {
    std::unordered_set<std::u16string> ignored;
    if (o_.all) {
        std::u16string sql;
        AuxCollectNames names(classes);
        if (buildStatement(&sql, u"SELECT DISTINCT CLASSNAME FROM %T", o_.tmdir, {}) < 0 ||
            ULSQLStmt::run(sql.c_str(), nullptr, 0, &names, nullptr, 0) < 0 ||
            ul_msgwrite_printf399(2, u' ', u"Collected a total of %ld classes.",
                                  static_cast<long>(classes->size())) < 0)
            return UL_ERROR_RETURN(-1);
    }
    for (const std::u16string& c : o_.classes) classes->push_back(c);
    if (!o_.inputFile.empty() && readClassFile(o_.inputFile, classes, &ignored) < 0)
        return UL_ERROR_RETURN(-1);
    // Each class once, in the order first named, without the ignored ones.
    std::unordered_set<std::u16string> seen;
    std::vector<std::u16string> kept;
    int removed = 0;
    for (std::u16string& c : *classes) {
        if (ignored.count(c)) {
            ++removed;
        } else if (seen.insert(c).second) {
            kept.push_back(std::move(c));
        }
    }
    *classes = std::move(kept);
    if (!ignored.empty() &&
        ul_msgwrite_printf399(2, u' ', u"Removed %d ignored classes.", removed) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int RepoCleaner::findSources(const std::u16string& cls) {
    sources_.clear();
    std::u16string pattern;
    for (char16_t c : cls) {
        if (c == u'_' || c == u'%' || c == u'\\') pattern += u'\\';
        pattern += c;
    }
    pattern += u'%';
    std::u16string sql;
    std::vector<std::u16string> programs;
    AuxCollectNames names(&programs);
    if (buildStatement(&sql, u"SELECT PROGNAME FROM %T WHERE PROGNAME LIKE %L ESCAPE '\\'",
                       o_.reposrc, {&pattern}) < 0 ||
        ULSQLStmt::run(sql.c_str(), nullptr, 0, &names, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    for (const std::u16string& program : programs) {
        if (program.compare(0, cls.size(), cls) != 0)
            return ul_errorfail(ul_format(u"Invalid report name '%s' not starting with '%s'",
                                          program.c_str(), cls.c_str()));
        size_t start = cls.size();
        while (start < program.size() && program[start] == u'=') ++start;
        sources_[program.substr(start)] = program;
    }
    return static_cast<int>(sources_.size());
}

int RepoCleaner::renameSource(const std::u16string& from, const std::u16string& to) {
    std::u16string oldSuffix = from, newSuffix = to;
    if (from != o_.tempName && ul_repomethodsuffix(from, &oldSuffix) < 0) return UL_ERROR_RETURN(-1);
    if (to != o_.tempName && ul_repomethodsuffix(to, &newSuffix) < 0) return UL_ERROR_RETURN(-1);
    auto it = sources_.find(oldSuffix);
    if (it == sources_.end())
        return ul_errorfail(ul_format(u"No report source '%s'", oldSuffix.c_str()));
    const std::u16string oldName = it->second;
    if (oldName.size() < oldSuffix.size() ||
        oldName.compare(oldName.size() - oldSuffix.size(), oldSuffix.size(), oldSuffix) != 0)
        return ul_errorfail(ul_format(u"Source name '%s' does not end in '%s'", oldName.c_str(),
                                      oldSuffix.c_str()));
    const std::u16string newName = oldName.substr(0, oldName.size() - oldSuffix.size()) + newSuffix;
    if (o_.verbose &&
        ul_msgwrite_printf399(3, u' ', u"Rename index '%s' to '%s' (report source '%s').",
                              from.c_str(), to.c_str(), oldName.c_str()) < 0)
        return UL_ERROR_RETURN(-1);
    std::u16string sql;
    for (const std::u16string* table : {&o_.reposrc, &o_.reposrcAdm}) {
        if (table->empty()) continue;
        if (buildStatement(&sql, u"UPDATE %T SET PROGNAME = %L WHERE PROGNAME = %L", *table,
                           {&newName, &oldName}) < 0 ||
            statement(sql) < 0)
            return UL_ERROR_RETURN(-1);
    }
    if (!o_.repoload.empty() &&
        (buildStatement(&sql, u"DELETE FROM %T WHERE PROGNAME = %L", o_.repoload, {&oldName}) <
             0 ||
         statement(sql) < 0))
        return UL_ERROR_RETURN(-1);
    sources_.erase(it);
    sources_[newSuffix] = newName;
    return 0;
}

int RepoCleaner::renameStep(const std::u16string& cls, const ul_optrename_t::step_t& step) {
    std::u16string sql;
    if (buildStatement(&sql, u"UPDATE %T SET METHODINDX = %L WHERE CLASSNAME = %L AND "
                             u"METHODINDX = %L",
                       o_.tmdir, {&step.to, &cls, &step.from}) < 0 ||
        statement(sql) < 0 || renameSource(step.from, step.to) < 0)
        return UL_ERROR_RETURN(-1);
    return step.commit ? commitPoint(false) : 0;
}

int RepoCleaner::cleanClass(const std::u16string& cls, int n, int total) {
    const int nSources = findSources(cls);
    if (nSources < 0) return UL_ERROR_RETURN(-1);
    if (nSources == 0) {
        ++stats_.noMethods;
        return ul_msgwrite_printf399(2, u'W', u"No report sources found for class '%s'!",
                                     cls.c_str()) < 0
                   ? UL_ERROR_RETURN(-1)
                   : 0;
    }
    std::u16string sql;
    std::vector<std::u16string> methods;  // index, name, index, name, ...
    AuxCollectNames rows(&methods, 2);
    if (buildStatement(&sql, u"SELECT METHODINDX, METHODNAME FROM %T WHERE CLASSNAME = %L "
                             u"ORDER BY METHODNAME",
                       o_.tmdir, {&cls}) < 0 ||
        ULSQLStmt::run(sql.c_str(), nullptr, 0, &rows, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    renames_.clear();
    const int nMethods = static_cast<int>(methods.size() / 2);
    for (int i = 0; i < nMethods; ++i) {
        const std::u16string& index = methods[2 * static_cast<size_t>(i)];
        std::u16string suffix;
        if (ul_repomethodsuffix(index, &suffix) < 0) return UL_ERROR_RETURN(-1);
        const std::u16string target = ul_format(u"%0*d", static_cast<int>(index.size()), i);
        if (target != index && renames_.add(index, target) < 0) return UL_ERROR_RETURN(-1);
    }
    const int nRenamed = static_cast<int>(renames_.size());
    if (nRenamed == 0) {
        ++stats_.alreadyFixed;
        if (o_.verbose &&
            ul_msgwrite_printf399(2, u' ', u"Method indexes are already fixed for class '%s' "
                                           u"(%d/%d).",
                                  cls.c_str(), n, total) < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }
    if (renames_.eval(o_.tempName) < 0) return UL_ERROR_RETURN(-1);
    if (toFile_ && out_.writeFmt(u"# Class '%s': %d/%d renamed/total methods\n", cls.c_str(),
                                 nRenamed, nMethods) < 0)
        return UL_ERROR_RETURN(-1);
    ul_optrename_t::step_t step;
    while (renames_.next(&step))
        if (renameStep(cls, step) < 0) return UL_ERROR_RETURN(-1);
    ++stats_.renamed;
    const char16_t* verb = toFile_        ? u"Wrote fixes for"
                           : o_.showOnly ? u"Need to fix"
                           : o_.testOnly ? u"Tested fixing"
                                         : u"Fixed";
    return ul_msgwrite_printf399(2, u' ', u"%s %2d/%2d method indexes for class '%s' (%d/%d).",
                                 verb, nRenamed, nMethods, cls.c_str(), n, total) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

int RepoCleaner::extendedCleanup() {
    if (!o_.extended || o_.tfdir.empty()) return 0;
    for (const std::u16string* table : {&o_.tftit, &o_.funct}) {
        if (table->empty()) continue;
        std::u16string sql;
        if (ul_msgwrite_printf399(2, u' ', u"Cleaning up '%s' table.", table->c_str()) < 0 ||
            buildStatement(&sql, u"DELETE FROM %T WHERE FUNCNAME NOT IN (SELECT FUNCNAME FROM ",
                           *table, {}) < 0 ||
            ul_sqlappendquotedname(&sql, o_.tfdir.c_str(), UL_QUOTE_ALWAYS) < 0)
            return UL_ERROR_RETURN(-1);
        sql += u")";
        if (statement(sql) < 0) return UL_ERROR_RETURN(-1);
    }
    return commitPoint(true);
}

int RepoCleaner::finish() {
    if (commitPoint(true) < 0) return UL_ERROR_RETURN(-1);
    const ClassStats& s = stats_;
    if (ul_msgwrite_printf399(2, u' ',
                              u"Class statistics: %d/%d/%d/%d "
                              u"no_methods/already_fixed/renamed/total.",
                              s.noMethods, s.alreadyFixed, s.renamed, s.total) < 0 ||
        ul_msgwrite_timeprint(0) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int RepoCleaner::run() {
    toFile_ = !o_.outputFile.empty();
    if (toFile_ && out_.open(o_.outputFile.c_str(), UL_TEXT_FLUSHLINES) < 0)
        return UL_ERROR_RETURN(-1);
    std::vector<std::u16string> classes;
    if (collectClasses(&classes) < 0) return UL_ERROR_RETURN(-1);
    if (classes.empty()) {
        if (ul_msgwrite_printf399(1, u'W', u"No classes found!") < 0) return UL_ERROR_RETURN(-1);
        return out_.close();
    }
    stats_.total = static_cast<int>(classes.size());
    for (size_t i = 0; i < classes.size(); ++i) {
        if (cleanClass(classes[i], static_cast<int>(i + 1), stats_.total) < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Failed to rename class '%s'", classes[i].c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (commitPoint(false) < 0) return UL_ERROR_RETURN(-1);
    }
    if (finish() < 0 || extendedCleanup() < 0) return UL_ERROR_RETURN(-1);
    return out_.close();
}

}  // namespace

int ul_repocleanrun(ul_repocleanoptions_t* options) {
    if (!options->testRenames.empty()) return ul_guarded([&] { return testRenames(*options); });
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    RepoCleaner cleaner(*options);
    if (ul_guarded([&] { return cleaner.run(); }) < 0) return ul_sqldisconnectfailed();
    // A test run leaves nothing behind, not even the extended clean-up.
    return ul_sqldisconnect(options->testOnly || options->showOnly ? UL_DISCONNECT_NOCOMMIT : 0) <
                   0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

int cmd_REPOCLEAN(unsigned int argc, const char16_t** argv) {
    ul_repocleanoptions_t options;
    const int rc = ul_repocleanparse(argc, argv, &options);
    if (rc != 0) return rc;
    return ul_repocleanrun(&options);
}

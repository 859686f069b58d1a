#include "execdbstmt.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "tabrix.h"
#include "ulerror.h"
#include "ulfile.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultime.h"
#include "ultrace.h"
#include "ulxml.h"
#include "ulxmlp.h"

namespace {

// ---- environment conditions -----------------------------------------------------------------

// One part: NAME, NAME=value or NAME~value.
bool envPartHolds(const std::u16string& part) {
    const size_t op = part.find_first_of(u"=~");
    const std::u16string name = ul_trimmed(std::u16string_view(part).substr(0, op));
    const char* value = getenv(ul_utf16to8(name.c_str()).c_str());
    if (!value) return false;
    if (op == std::u16string::npos) return true;
    const std::u16string actual = ul_utf8to16(value);
    const std::u16string wanted = part.substr(op + 1);
    if (part[op] == u'=') return ul_stricmp(actual.c_str(), wanted.c_str()) == 0;
    return ul_stristr(actual.c_str(), wanted.c_str()) != nullptr;
}

}  // namespace

int ul_execdbenvcondition(const char16_t* condition) {
    return ul_guarded([&]() -> int {
        const std::u16string text = ul_trimmed(condition ? condition : u"");
        if (text.empty()) return 1;
        const bool hasAnd = text.find(u'&') != std::u16string::npos;
        const bool hasOr = text.find(u'|') != std::u16string::npos;
        if (hasAnd && hasOr)
            return ul_errorfail(ul_format(u"Illegal mixture of separators in '%s'", text.c_str()));
        const char16_t separator = hasOr ? u'|' : u'&';
        std::vector<std::u16string> parts;
        for (size_t start = 0;;) {
            const size_t end = text.find(separator, start);
            parts.push_back(ul_trimmed(std::u16string_view(text).substr(start, end - start)));
            if (parts.back().empty() || parts.back()[0] == u'=' || parts.back()[0] == u'~')
                return ul_errorfail(ul_format(u"Empty part in '%s'", text.c_str()));
            if (end == std::u16string::npos) break;
            start = end + 1;
        }
        for (const std::u16string& part : parts) {
            const bool holds = envPartHolds(part);
            if (hasOr && holds) return 1;
            if (!hasOr && !holds) return 0;
        }
        return hasOr ? 0 : 1;
    });
}

// ---- table suffix rule ----------------------------------------------------------------------

namespace {

struct SqlToken {
    enum class Kind { word, name, symbol, end } kind = Kind::end;
    std::u16string text;  // a name without its quotes
};

// Splits a statement into words, quoted names and symbols; literals and comments are passed
// over.
class SqlScanner {
  public:
    SqlScanner(const char16_t* sql, bool brackets) : p_(sql), brackets_(brackets) {}

    SqlToken next() {
        skipBlanks();
        SqlToken t;
        if (!*p_) return t;
        if (*p_ == u'"' || (brackets_ && *p_ == u'[')) {
            t.kind = SqlToken::Kind::name;
            const char16_t close = *p_ == u'"' ? u'"' : u']';
            for (++p_; *p_; ++p_) {
                if (*p_ == close && p_[1] == close) {
                    t.text += close;
                    ++p_;
                } else if (*p_ == close) {
                    ++p_;
                    break;
                } else {
                    t.text += *p_;
                }
            }
        } else if (isWordChar(*p_)) {
            t.kind = SqlToken::Kind::word;
            while (isWordChar(*p_)) t.text += *p_++;
        } else {
            t.kind = SqlToken::Kind::symbol;
            t.text = *p_++;
        }
        return t;
    }

  private:
    static bool isWordChar(char16_t c) {
        return ul_isdigit(c) || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' ||
               c == u'$' || c == u'#' || c == u'@' || c > 127;
    }
    void skipBlanks() {
        for (;;) {
            while (ul_isspace(*p_)) ++p_;
            if (p_[0] == u'-' && p_[1] == u'-') {
                while (*p_ && *p_ != u'\n') ++p_;
            } else if (p_[0] == u'/' && p_[1] == u'*') {
                p_ += 2;
                while (*p_ && !(p_[0] == u'*' && p_[1] == u'/')) ++p_;
                if (*p_) p_ += 2;
            } else if (*p_ == u'\'') {
                for (++p_; *p_; ++p_) {
                    if (*p_ == u'\'' && p_[1] == u'\'') {
                        ++p_;
                    } else if (*p_ == u'\'') {
                        ++p_;
                        break;
                    }
                }
            } else {
                return;
            }
        }
    }

    const char16_t* p_;
    bool brackets_;
};

bool isWord(const SqlToken& t, const char16_t* word) {
    return t.kind == SqlToken::Kind::word && ul_stricmp(t.text.c_str(), word) == 0;
}

bool isAnyWord(const SqlToken& t, std::initializer_list<const char16_t*> words) {
    for (const char16_t* word : words)
        if (isWord(t, word)) return true;
    return false;
}

// Finds the table names of a statement and hands each to check().
class TableNameWalker {
  public:
    TableNameWalker(const char16_t* sql, bool brackets) : scanner_(sql, brackets) {}

    // Returns the number of table names found, or -1 for an unquoted one.
    template <class Check>
    int walk(Check check) {
        SqlToken first = scanner_.next();
        const bool drop = isWord(first, u"drop");
        bool createIndex = false;
        int found = 0;
        int depth = 0;
        int listDepth = -1;  // depth of the FROM list being read, -1: none
        bool expect = false;
        std::u16string pending;  // the last part of a qualified name read so far
        bool afterDot = false;
        for (SqlToken t = first; t.kind != SqlToken::Kind::end; t = scanner_.next()) {
            if (!pending.empty() && !(t.kind == SqlToken::Kind::symbol && t.text == u".") &&
                !afterDot) {
                if (check(pending) < 0) return -1;
                ++found;
                pending.clear();
            }
            if (t.kind == SqlToken::Kind::symbol) {
                if (t.text == u".") {
                    afterDot = !pending.empty();
                    continue;
                }
                if (t.text == u"(") ++depth;
                if (t.text == u")" && --depth < listDepth) listDepth = -1;
                if (t.text == u"," && depth == listDepth) expect = true;
                if (t.text != u",") expect = false;
                continue;
            }
            if (afterDot) {
                afterDot = false;
                if (t.kind == SqlToken::Kind::name) {
                    pending = t.text;
                    continue;
                }
                return -1;
            }
            if (expect && isAnyWord(t, {u"if", u"not", u"exists", u"only", u"lateral"})) continue;
            if (expect) {
                expect = false;
                if (t.kind != SqlToken::Kind::name) return -1;
                pending = t.text;
                continue;
            }
            if (t.kind != SqlToken::Kind::word) continue;
            if (isWord(t, u"index") && isWord(first, u"create")) createIndex = true;
            if (isAnyWord(t, {u"from", u"join", u"into", u"update", u"table", u"truncate",
                              u"references"}) ||
                (drop && isAnyWord(t, {u"index", u"view"})) || (createIndex && isWord(t, u"on"))) {
                expect = true;
                listDepth = isWord(t, u"from") ? depth : listDepth;
            } else if (listDepth == depth &&
                       isAnyWord(t, {u"where", u"group", u"order", u"having", u"union", u"limit",
                                     u"on", u"using", u"set", u"values", u"select"})) {
                listDepth = -1;
            }
        }
        if (afterDot || expect) return -1;
        if (!pending.empty()) {
            if (check(pending) < 0) return -1;
            ++found;
        }
        return found;
    }

  private:
    SqlScanner scanner_;
};

}  // namespace

int ul_execdbchecksuffix(const char16_t* sql, const char16_t* suffix, bool brackets) {
    return ul_guarded([&]() -> int {
        const std::u16string wanted = suffix ? suffix : u"";
        std::u16string wrong;
        TableNameWalker walker(sql, brackets);
        const int found = walker.walk([&](const std::u16string& name) {
            const bool ok = name.size() > wanted.size() &&
                            name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0;
            if (!ok && wrong.empty()) wrong = name;
            return 0;
        });
        if (found <= 0) return ul_errorfail(ul_format(u"No quoted table name in '%s'", sql));
        if (!wrong.empty())
            return ul_errorfail(
                ul_format(u"Table '%s' does not have the required suffix '%s' in '%s'",
                          wrong.c_str(), wanted.c_str(), sql));
        return 0;
    });
}

namespace {

// ---- the script -----------------------------------------------------------------------------

enum class StmtKind { plain, select, prepared };

struct ScriptStatement {
    StmtKind kind = StmtKind::plain;
    std::u16string text;
    std::u16string id;  // empty: none
    std::u16string prompt;
    bool retry = false;
    bool ignoreMissingTable = false;
    bool isSelection = false;
    long outputValues = 1;
    std::vector<std::vector<std::u16string>> parameterRows;  // one per "pars"
};

struct Script {
    std::vector<ScriptStatement> statements;
    std::u16string outFile;
    std::u16string expectedEnv;
    std::u16string forbiddenEnv;
    std::u16string tableSuffix;
    long autocommit = -1;  // -1: not given
};

// Owns a tree read from a file.
struct TreeDeleter {
    void operator()(ul_xmlnode_t* node) const { ul_xmlfreenode(node); }
};
using TreePtr = std::unique_ptr<ul_xmlnode_t, TreeDeleter>;

// The text of an element: its content children, trimmed; a tag child is "Unknown tag name".
int elementText(const ul_xmlnode_t* node, std::u16string* text) {
    std::u16string all;
    for (const ul_xmlnode_t* child = node->children; child; child = child->next) {
        if (ul_xmlistag(child))
            return ul_errorfail(ul_format(u"Unknown tag name '%s'", child->name));
        all += child->name;
    }
    *text = ul_trimmed(all);
    return 0;
}

// An optional attribute: value stays as it is when the tag has none.
void textAttribute(const ul_xmlnode_t* node, const char16_t* name, std::u16string* value) {
    const char16_t* text = ul_xmlgetattribute_noalloc(node, name, UL_XMLATTR_QUIET);
    if (text) *value = text;
}

int numberValue(const char16_t* text, long* value, long minimum) {
    if (ul_stringtocount(text, value) < 0) return UL_ERROR_RETURN(-1);
    if (*value < minimum) return ul_errorfail(ul_format(u"Invalid number '%s'", text));
    return 0;
}

int readAttributes(const ul_xmlnode_t* node, ScriptStatement* s) {
    int retry = ul_xmlgetboolattr(node, u"retry_on_error", 0);
    int missing = retry < 0 ? -1 : ul_xmlgetboolattr(node, u"ignore_missing_table", 0);
    int selection = missing < 0 ? -1 : ul_xmlgetboolattr(node, u"isselection", 0);
    if (selection < 0) return UL_ERROR_RETURN(-1);
    s->retry = retry == 1;
    s->ignoreMissingTable = missing == 1;
    s->isSelection = selection == 1 || s->kind == StmtKind::select;
    textAttribute(node, u"stmtid", &s->id);
    s->id = ul_trimmed(s->id);  // as the status file's lines are read
    textAttribute(node, u"prompt", &s->prompt);
    if (s->kind == StmtKind::select && s->prompt.empty()) s->prompt = u"SELECTION";
    if (s->retry && s->id.empty())
        return ul_errorfail(u"Missing stmtid for feature retry_on_error.");
    const char16_t* outputs =
        ul_xmlgetattribute_noalloc(node, u"nr_output_values", UL_XMLATTR_QUIET);
    if (s->ignoreMissingTable && outputs && numberValue(outputs, &s->outputValues, 1) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int readParameterRow(const ul_xmlnode_t* pars, ScriptStatement* s) {
    std::vector<std::u16string> row;
    for (const ul_xmlnode_t* par = ul_xmlchildren(pars); par; par = ul_xmlnextnode(par)) {
        if (ul_strcmp(par->name, u"par") != 0)
            return ul_errorfail(
                ul_format(u"Unknown tag name '%s' in statement paraemter", par->name));
        std::u16string value;
        if (elementText(par, &value) < 0) return UL_ERROR_RETURN(-1);
        row.push_back(std::move(value));
    }
    s->parameterRows.push_back(std::move(row));
    return 0;
}

int readPrepared(const ul_xmlnode_t* node, ScriptStatement* s) {
    bool haveStatement = false;
    for (const ul_xmlnode_t* child = ul_xmlchildren(node); child; child = ul_xmlnextnode(child)) {
        if (ul_strcmp(child->name, u"stmt") == 0) {
            if (haveStatement)
                return ul_errorfail(
                    ul_format(u"Duplicate statement in prepared statement '%s'", s->text.c_str()));
            if (elementText(child, &s->text) < 0) return UL_ERROR_RETURN(-1);
            haveStatement = true;
        } else if (ul_strcmp(child->name, u"pars") == 0) {
            if (readParameterRow(child, s) < 0) return UL_ERROR_RETURN(-1);
        } else {
            return ul_errorfail(
                ul_format(u"Unknown tag name '%s' in prepared statement", child->name));
        }
    }
    if (!haveStatement) return ul_errorfail(u"Missing actual statement in prepared statement");
    return 0;
}

int readStatement(const ul_xmlnode_t* node, Script* script) {
    ScriptStatement s;
    if (ul_strcmp(node->name, u"stmt") == 0) {
        s.kind = StmtKind::plain;
    } else if (ul_strcmp(node->name, u"select") == 0) {
        s.kind = StmtKind::select;
    } else if (ul_strcmp(node->name, u"prpstmt") == 0) {
        s.kind = StmtKind::prepared;
    } else {
        return ul_errorfail(ul_format(u"Unknown tag name '%s'", node->name));
    }
    if (readAttributes(node, &s) < 0) return UL_ERROR_RETURN(-1);
    const int rc =
        s.kind == StmtKind::prepared ? readPrepared(node, &s) : elementText(node, &s.text);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    script->statements.push_back(std::move(s));
    return 0;
}

int readScript(const char16_t* path, Script* script) {
    int version = UL_XMLVERSION_ANY;
    TreePtr tree(ul_xmlreadcheck(path, u"sqlexec", &version, UL_XMLCHECK_CRC));
    if (!tree) return UL_ERROR_RETURN(-1);
    const ul_xmlnode_t* root = tree.get();
    textAttribute(root, u"outfile", &script->outFile);
    textAttribute(root, u"expectedenv", &script->expectedEnv);
    textAttribute(root, u"forbiddenenv", &script->forbiddenEnv);
    textAttribute(root, u"reqtablesuffix", &script->tableSuffix);
    if (script->tableSuffix.size() > UL_EXECDB_MAXSUFFIX)
        return ul_errorfail(ul_format(u"Required table suffix '%s' exceeds %d characters",
                                      script->tableSuffix.c_str(),
                                      static_cast<int>(UL_EXECDB_MAXSUFFIX)));
    if (const char16_t* text = ul_xmlgetattribute_noalloc(root, u"autocommit", UL_XMLATTR_QUIET))
        if (numberValue(text, &script->autocommit, 0) < 0) return UL_ERROR_RETURN(-1);
    for (const ul_xmlnode_t* child = root->children; child; child = child->next) {
        if (ul_xmliscontent(child) && !ul_trimmed(child->name).empty())
            return ul_errorfail(
                ul_format(u"Text outside of a statement in '%s': '%s'", path, child->name));
        if (ul_xmlistag(child) && readStatement(child, script) < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"In SQL script '%s'", path);
            return UL_ERROR_RETURN(-1);
        }
    }
    return 0;
}

// ---- options --------------------------------------------------------------------------------

struct Options {
    long autocommit = -1;  // -1: not given
    long maxRetry = UL_EXECDB_MAXRETRY;
    long waitRetry = UL_EXECDB_WAITRETRY;
    const char16_t* scriptFile = nullptr;
    const char16_t* statusFile = nullptr;
};

int parseOptions(unsigned argc, const char16_t** argv, Options* o) {
    for (unsigned i = 1; i < argc; ++i) {
        const char16_t* word = argv[i];
        const char16_t* value = nullptr;
        if ((value = ul_stringstarticmp(word, u"autocommit="))) {
            if (numberValue(value, &o->autocommit, 0) < 0) return UL_ERROR_RETURN(-1);
        } else if ((value = ul_stringstarticmp(word, u"maxretry="))) {
            if (numberValue(value, &o->maxRetry, 1) < 0) return UL_ERROR_RETURN(-1);
        } else if ((value = ul_stringstarticmp(word, u"waitretry="))) {
            if (numberValue(value, &o->waitRetry, 0) < 0) return UL_ERROR_RETURN(-1);
        } else if (ul_strchr(word, u'=')) {
            return ul_errorfail(ul_format(u"Unknown option '%s'", word));
        } else if (!o->scriptFile) {
            o->scriptFile = word;
        } else if (!o->statusFile) {
            o->statusFile = word;
        } else {
            return ul_errorfail(ul_format(u"Duplicate script file '%s' given", word));
        }
    }
    if (!o->scriptFile) return ul_errorfail(u"Missing script file");
    return 0;
}

// ---- output -----------------------------------------------------------------------------

// Prints the rows of a selection: "HDR: " and the column names, then one line per row, values
// escaped and joined by ",".
class AuxExecDbSelection : public ULSQLCallBack {
  public:
    bool takesNulInText() const override { return true; }
    int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                  unsigned* lengths, unsigned ncols) override {
        line_.assign((flags & UL_ROW_DATA) ? u"" : u"HDR: ");
        if (appendCsvValues(&line_, raw, values, lengths, ncols, false) < 0 ||
            ul_msgwrite_line399(1, u' ', line_) < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }

  private:
    std::u16string line_;
};

// The log file the script names: messages and trace go there until close().
class OutFile {
  public:
    ~OutFile() { (void)close(); }
    int open(const std::u16string& path) {
        stream_ = ul_filefopen(path.c_str(), u"w", 0);
        if (!stream_) return UL_ERROR_RETURN(-1);
        std::printf("Logging to '%s'\n", ul_utf16to8(path.c_str()).c_str());
        std::fflush(stdout);
        ul_msgwrite_setfp(stream_);
        ul_tracesetglobalfileptr(stream_);
        return 0;
    }
    bool isOpen() const { return stream_ != nullptr; }
    int close() {
        if (!stream_) return 0;
        ul_msgwrite_setfp(stdout);
        ul_tracesetglobalfileptr(stdout);
        const int rc = std::fclose(stream_);
        stream_ = nullptr;
        if (rc != 0) return ul_errorfail(u"Cannot close log output");
        return 0;
    }

  private:
    FILE* stream_ = nullptr;
};

// ---- the status file --------------------------------------------------------------------

class StatusFile {
  public:
    // Reads the completed identifiers (when the file exists) and opens it for appending.
    int open(const char16_t* path, std::unordered_set<std::u16string>* completed) {
        path_ = path;
        bool incomplete = false;
        struct stat st;
        if (stat(ul_utf16to8(path).c_str(), &st) == 0 && read(completed, &incomplete) < 0)
            return UL_ERROR_RETURN(-1);
        if (writer_.open(path, UL_TEXT_APPEND | UL_TEXT_FLUSHLINES) < 0 ||
            (incomplete && writer_.writeLine(u"") < 0)) {
            ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot write to status file '%s'", path);
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }
    int record(const std::u16string& id) {
        if (writer_.writeLine(id.c_str()) < 0) {
            ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot write to status file '%s'", path_.c_str());
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }
    int close() {
        if (!writer_.isOpen()) return 0;
        if (writer_.close() < 0) {
            ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot close status file '%s'", path_.c_str());
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }

  private:
    int read(std::unordered_set<std::u16string>* completed, bool* incomplete) {
        ULTextFileReader reader;
        if (reader.open(path_.c_str()) < 0) return UL_ERROR_RETURN(-1);
        int count = 0;
        int rc;
        while ((rc = reader.readLine()) == 1) {
            const std::u16string id = ul_trimmed(reader.line());
            *incomplete = reader.lastLineIncomplete();
            if (id.empty() || id[0] == u'#') continue;
            completed->insert(id);
            ++count;
        }
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (ul_msgwrite_printf399(1, u' ', u"Read %d completed statements from '%s'.", count,
                                  path_.c_str()) < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }

    std::u16string path_;
    ULTextFileWriter writer_;
};

// ---- running ------------------------------------------------------------------------------

enum class PassResult { done, retry };

class ScriptRunner {
  public:
    ScriptRunner(const Script& script, long autocommit, StatusFile* status)
        : script_(script), autocommit_(autocommit), status_(status) {}

    std::unordered_set<std::u16string>& completed() { return completed_; }

    // Runs the statements once; -1 ends the run.
    int pass(PassResult* result) {
        *result = PassResult::done;
        failedThisPass_.clear();
        const std::vector<ScriptStatement>& list = script_.statements;
        for (size_t i = 0; i < list.size(); ++i) {
            const ScriptStatement& s = list[i];
            if (!s.id.empty() && (completed_.count(s.id) || failedThisPass_.count(s.id))) {
                UL_TRACE(UL_TRC_SQLTOOL, 2, u"Skipping statement with ID '%s'.\n", s.id.c_str());
                continue;
            }
            int rc = runOne(s);
            if (rc < 0) return UL_ERROR_RETURN(-1);
            if (rc == 1) {
                if (reportRetry(s) < 0) return UL_ERROR_RETURN(-1);
                *result = PassResult::retry;
                continue;
            }
            // Several statements under one identifier complete with the last of them.
            const bool last = i + 1 == list.size() || list[i + 1].id != s.id;
            if (!s.id.empty() && last) {
                completed_.insert(s.id);
                pending_.push_back(s.id);
            }
        }
        return 0;
    }

    // Commits and records the identifiers of the committed statements.
    // The commit at the end of a run is quiet, as a disconnect's.
    int commit(bool quiet = false) {
        if (ul_sqlcommit2(nullptr, quiet ? UL_COMMIT_QUIET : 0) < 0) return UL_ERROR_RETURN(-1);
        sinceCommit_ = 0;
        for (const std::u16string& id : pending_)
            if (status_ && status_->record(id) < 0) return UL_ERROR_RETURN(-1);
        pending_.clear();
        return 0;
    }

    // Rolls back; the identifiers of the undone statements are forgotten.
    int rollback() {
        for (const std::u16string& id : pending_) completed_.erase(id);
        pending_.clear();
        sinceCommit_ = 0;
        return ul_sqlrollback2(0) < 0 ? UL_ERROR_RETURN(-1) : 0;
    }

  private:
    int reportRetry(const ScriptStatement& s) {
        failedThisPass_.insert(s.id);
        if (ul_msgwrite_splitlong(2, u'W', 399, 399, ul_errorgetmsg(), 70, 0) < 0 ||
            ul_msgwrite_printf399(1, u'W', u"Statement with ID '%s' failed - retry later.",
                                  s.id.c_str()) < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }

    // 0 done, 1 failed and to be retried, -1 error.
    int runOne(const ScriptStatement& s) {
        if (!s.prompt.empty() && ul_msgwrite_printf399(1, u' ', u"%s", s.prompt.c_str()) < 0)
            return UL_ERROR_RETURN(-1);
        if (ul_stricmp(s.text.c_str(), u"COMMIT") == 0) return commit();
        if (ul_stringstarticmp(s.text.c_str(), u"ROLLBACK")) return explicitRollback();
        if (!script_.tableSuffix.empty() &&
            ul_execdbchecksuffix(s.text.c_str(), script_.tableSuffix.c_str(), brackets()) < 0)
            return UL_ERROR_RETURN(-1);
        if (ul_msgwrite_timeprint(1) < 0 || ul_msgwrite_print(2, u' ', 398, 0, s.text.c_str()) < 0)
            return UL_ERROR_RETURN(-1);
        const long rc = execute(s);
        if (rc == -2) {
            return ul_msgwrite_printf399(1, u' ',
                                         u"Ignoring missing table in statement as requested.") < 0
                       ? UL_ERROR_RETURN(-1)
                       : 0;
        }
        if (rc < 0) return s.retry ? 1 : UL_ERROR_RETURN(-1);
        return 0;
    }

    static bool brackets() {
        return ul_sqlgetdbatype() == UL_DBTYPE_MSS ||
               (UL_SQLGlobalFlags & UL_SQLFLAG_SQUAREBRACKETIDENTS);
    }

    int explicitRollback() {
        if (rollback() < 0) return UL_ERROR_RETURN(-1);
        if (autocommit_ == 0) return 0;
        autocommit_ = 0;
        return ul_msgwrite_printf399(1, u'W',
                                     u"Encountered explicit rollback statement, but autocommit "
                                     u"is on - disabling it henceforth!") < 0
                   ? UL_ERROR_RETURN(-1)
                   : 0;
    }

    // Counts one execution and commits when the interval is reached.
    int executed() {
        if (autocommit_ > 0 && ++sinceCommit_ >= autocommit_) return commit();
        return 0;
    }

    // The database's result: 0, -2 for an ignored missing table, -1 on failure.
    long execute(const ScriptStatement& s) {
        int mode = s.ignoreMissingTable ? UL_SQLMODE_MISSINGTABLE : 0;
        if (s.isSelection) mode |= UL_SQLMODE_SELECT;
        ULSQLStmt stmt;
        const unsigned outputs = s.ignoreMissingTable ? static_cast<unsigned>(s.outputValues) : 0;
        if (stmt.prepare(s.text.c_str(), nullptr, 0, nullptr, outputs, mode) < 0)
            return UL_ERROR_RETURN(-1);
        if (s.kind != StmtKind::prepared) return executeOnce(&stmt, s, mode);
        for (const std::vector<std::u16string>& row : s.parameterRows) {
            const long rc = bindRow(&stmt, row);
            const long result = rc < 0 ? rc : executeOnce(&stmt, s, mode);
            if (result < 0) return result;
        }
        return 0;
    }

    long bindRow(ULSQLStmt* stmt, const std::vector<std::u16string>& row) {
        const unsigned n = stmt->getNParams();
        if (row.size() > n)
            return ul_errorfail(ul_format(u"Invalid parameter %d >= %d in prepared statement",
                                          static_cast<int>(n), static_cast<int>(n)));
        if (row.size() < n)
            return ul_errorfail(ul_format(u"Only %d of %d parameters given in prepared statement",
                                          static_cast<int>(row.size()), static_cast<int>(n)));
        std::u16string line = u"Parameters:";
        for (unsigned i = 0; i < n; ++i) {
            if (stmt->bindParam(i, row[i].c_str(), 0) < 0) return UL_ERROR_RETURN(-1);
            line += u" '" + row[i] + u"'";
        }
        return ul_msgwrite_line399(2, u' ', line) < 0 ? UL_ERROR_RETURN(-1) : 0;
    }

    long executeOnce(ULSQLStmt* stmt, const ScriptStatement& s, int mode) {
        AuxExecDbSelection selection;
        unsigned long count = 0;
        const long rc = s.isSelection
                            ? stmt->execute(&selection, &count, mode | UL_SQLMODE_HDR_NAME)
                            : stmt->execute(nullptr, &count, mode);
        if (rc < 0) return rc == -2 ? -2 : UL_ERROR_RETURN(-1);
        if (!s.isSelection && stmt->getKind() != UL_SQLKIND_SELECT &&
            ul_msgwrite_print(2, u' ', 400, 0, static_cast<int>(count)) < 0)
            return UL_ERROR_RETURN(-1);
        return executed() < 0 ? UL_ERROR_RETURN(-1) : 0;
    }

    const Script& script_;
    long autocommit_;
    StatusFile* status_;
    long sinceCommit_ = 0;
    std::unordered_set<std::u16string> completed_;
    std::unordered_set<std::u16string> failedThisPass_;
    std::vector<std::u16string> pending_;  // executed, not yet committed
};

// The passes: repeated while statements ask for a retry, at most maxRetry times.
int runPasses(ScriptRunner* runner, const Options& o) {
    for (long passNr = 1;; ++passNr) {
        PassResult result = PassResult::done;
        if (runner->pass(&result) < 0) return UL_ERROR_RETURN(-1);
        if (result == PassResult::done) return 0;
        if (passNr >= o.maxRetry) {
            ul_errorsetmsgfmt(UL_ERR_APPEND,
                              u"Statements of SQL script '%s' still fail after %d passes",
                              o.scriptFile, static_cast<int>(passNr));
            return UL_ERROR_RETURN(-1);
        }
        if (ul_msgwrite_printf399(1, u' ', u"Retry executing SQL script '%s'(%i/%i).", o.scriptFile,
                                  static_cast<int>(passNr + 1), static_cast<int>(o.maxRetry)) < 0)
            return UL_ERROR_RETURN(-1);
        ul_sleep(static_cast<double>(o.waitRetry));
    }
}

// Step 1 of a run: the script, its log file and its conditions.
int prepareScript(const Options& o, Script* script, OutFile* out) {
    if (readScript(o.scriptFile, script) < 0) return UL_ERROR_RETURN(-1);
    if (!script->outFile.empty()) {
        if (ul_msgwrite_getfp() != stdout) {
            if (ul_msgwrite_printf399(1, u' ',
                                      u"Ignore tag %s='%s' which is overwritten by command line.",
                                      u"outfile", script->outFile.c_str()) < 0)
                return UL_ERROR_RETURN(-1);
        } else if (out->open(script->outFile) < 0) {
            return UL_ERROR_RETURN(-1);
        }
    }
    int rc = ul_execdbenvcondition(script->expectedEnv.c_str());
    if (rc == 0)
        return ul_errorfail(
            ul_format(u"Missing expected environment '%s'", script->expectedEnv.c_str()));
    if (rc > 0 && !script->forbiddenEnv.empty())
        rc = ul_execdbenvcondition(script->forbiddenEnv.c_str());
    if (rc > 0 && !script->forbiddenEnv.empty())
        return ul_errorfail(
            ul_format(u"Found forbidden environment '%s'", script->forbiddenEnv.c_str()));
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// Ends a failed run: the error as message, rollback, and the log file closed, so that the
// dispatcher reports the failure where the run started.
int failRun(ScriptRunner* runner, OutFile* out) {
    const std::u16string error = ul_errorgetmsg();
    if (out->isOpen()) (void)ul_msgwrite_splitlong(1, u'E', 8, 9, error.c_str(), 70, 0);
    if (runner && ul_sqlisconnected()) {
        (void)runner->rollback();  // the first failure is the one reported
        (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);
    }
    (void)out->close();
    ul_errorsetmsg(0, error.c_str());
    return UL_ERROR_RETURN(-1);
}

int runScript(const Options& o) {
    Script script;
    OutFile out;
    if (prepareScript(o, &script, &out) < 0) return failRun(nullptr, &out);
    const long autocommit = o.autocommit >= 0        ? o.autocommit
                            : script.autocommit >= 0 ? script.autocommit
                                                     : UL_EXECDB_AUTOCOMMIT;
    StatusFile status;
    ScriptRunner runner(script, autocommit, o.statusFile ? &status : nullptr);
    if (ul_msgwrite_printf399(1, u' ', u"Executing SQL script '%s'.", o.scriptFile) < 0 ||
        (o.statusFile && status.open(o.statusFile, &runner.completed()) < 0) ||
        ul_sqlconnect2(0) < 0 || runPasses(&runner, o) < 0 || runner.commit(true) < 0 ||
        ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT) < 0 || status.close() < 0)
        return failRun(&runner, &out);
    if (out.close() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

}  // namespace

int cmd_EXECDB(unsigned int argc, const char16_t** argv) {
    return ul_guarded([&]() -> int {
        Options options;
        if (parseOptions(argc, argv, &options) < 0) return UL_ERROR_RETURN(-1);
        return runScript(options);
    });
}

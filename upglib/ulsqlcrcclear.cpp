#include "ulsqlcrcclear.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "ulerror.h"
#include "ulfile.h"
#include "ulmsgwrite.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultrace.h"

namespace {

// The removal codes of ULCRCModifier: 0 unchanged, else mode + 1.
constexpr int kUnchanged = 0;

const char16_t* decisionText(int mode) {
    switch (mode & (UL_CRCCLEAR_COMMENT | UL_CRCCLEAR_FULLY)) {
        case UL_CRCCLEAR_COMMENT | UL_CRCCLEAR_FULLY: return u"fully comment";
        case UL_CRCCLEAR_FULLY: return u"fully delete";
        case UL_CRCCLEAR_COMMENT: return u"comment";
        default: return u"delete";
    }
}

// One physical line of a CRC file: its bytes as read (line end included) and its text.
struct RawLine {
    std::string bytes;
    std::u16string text;  // without the line end
    bool continues = false;  // ends in a backslash: the next line belongs to it
};

// Reads a CRC file physical line by physical line, bounded like every text reader.
class RawLineReader {
  public:
    explicit RawLineReader(const char16_t* path) : m_path(path) {}
    [[nodiscard]] int open() {
        m_file = ULFileHandle(ul_filefopen(m_path, u"rb", UL_FILE_NOMSG));
        if (!m_file) {
            ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read '%s'", m_path);
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }
    // 1 with a line, 0 at the end, -1 on error.
    [[nodiscard]] int next(RawLine* line) {
        const int rc = ul_filereadlinebytes(m_file.get(), line->bytes, UL_FILE_MAXLINEBYTES);
        if (rc < 0 || rc == UL_LINE_TOOLONG) {
            ul_errorsetmsgfmt(rc < 0 ? unsigned(UL_ERR_SYSTEM) : 0u, u"Cannot read l.%d '%s'",
                              m_lineNumber + 1, m_path);
            return UL_ERROR_RETURN(-1);
        }
        if (rc == UL_LINE_EOF) return 0;
        ++m_lineNumber;
        size_t n = line->bytes.size();
        if (n && line->bytes[n - 1] == '\n') --n;
        if (n && line->bytes[n - 1] == '\r') --n;
        line->text = ul_utf8to16(line->bytes.data(), n);
        line->continues = n && line->bytes[n - 1] == '\\';
        return 1;
    }
    int lineNumber() const { return m_lineNumber; }

  private:
    const char16_t* m_path;
    ULFileHandle m_file;
    int m_lineNumber = 0;
};

std::u16string keywordOf(const std::u16string& text) {
    size_t i = 0;  // a byte order mark opens the first line of some files
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t' || text[i] == 0xFEFF)) ++i;
    if (i < text.size() && text[i] == u'#') return u"#";
    size_t j = i;
    while (j < text.size() && text[j] != u':' && text[j] != u' ' && text[j] != u'\t') ++j;
    if (j < text.size() && text[j] == u':') return text.substr(i, j + 1 - i);
    return i == text.size() ? std::u16string() : u"?";
}

bool isMarker(const std::u16string& text, const std::u16string& keyword) {
    return keyword == u"#" && text.find(UL_SQLCRCMarker) != std::u16string::npos;
}

// The table name of a tab: line, or -1 with "Cannot read l.%d '%s'".
int tableOf(const std::u16string& text, int lineNumber, const char16_t* file,
            std::u16string* name) {
    const size_t colon = text.find(u':');
    std::vector<std::u16string> names;
    if (ul_sqlcrcreadnames(text.c_str() + colon + 1, &names) < 0 || names.empty()) {
        ul_errorsetmsgfmt(0, u"Cannot read l.%d '%s'", lineNumber, file);
        return UL_ERROR_RETURN(-1);
    }
    *name = names[0];
    return 0;
}

// The clear decisions of the tables of one file.
class ClearPlan {
  public:
    ClearPlan(const char16_t* file, ULCRCModifier* modifier, int mode)
        : m_file(file), m_modifier(modifier), m_mode(mode) {}

    // The mode for a table (cached), or kUnchanged (0) or -1.
    int decide(const std::u16string& table) {
        auto it = m_decisions.find(ul_stringupper(table));
        if (it != m_decisions.end()) return it->second;
        int code = m_modifier ? m_modifier->modifyCRC(table.c_str()) : m_mode + 1;
        if (code < 0) return UL_ERROR_RETURN(-1);
        if (code != kUnchanged) {
            UL_TRACE(UL_TRC_SQLCRC, 1, u"Table '%s': %s (remCode=%#x)\n", table.c_str(),
                     decisionText(code - 1), static_cast<unsigned>(code - 1));
            if ((m_mode & UL_CRCCLEAR_SHOWONLY) &&
                ul_msgwrite_printf399(1, u' ', u"Table '%s': %s (remCode=%#x)", table.c_str(),
                                      decisionText(code - 1),
                                      static_cast<unsigned>(code - 1)) < 0)
                return UL_ERROR_RETURN(-1);
            m_changes = true;
        }
        m_decisions[ul_stringupper(table)] = code;
        return code;
    }
    bool changes() const { return m_changes; }

    // First pass: every tab: line of the header part is decided. Returns 0 or -1.
    int scan() {
        RawLineReader reader(m_file);
        if (reader.open() < 0) return UL_ERROR_RETURN(-1);
        RawLine line;
        bool tabs = false;
        for (;;) {
            const int rc = reader.next(&line);
            if (rc < 0) return UL_ERROR_RETURN(-1);
            if (rc == 0) break;
            const std::u16string keyword = keywordOf(line.text);
            if (isMarker(line.text, keyword)) break;
            if (keyword != u"tab:") continue;
            tabs = true;
            std::u16string table;
            if (tableOf(line.text, reader.lineNumber(), m_file, &table) < 0 || decide(table) < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (!tabs) return ul_errorfail(ul_format(u"Missing 'tab:' lines in '%s'", m_file));
        return 0;
    }

  private:
    const char16_t* m_file;
    ULCRCModifier* m_modifier;
    int m_mode;
    std::unordered_map<std::u16string, int> m_decisions;
    bool m_changes = false;
};

enum class Action { copy, comment, drop };

// Copies the file to out, line by line, by the clearing rules.
int copyCleared(const char16_t* file, FILE* out, const char16_t* tmp, ClearPlan* plan,
                bool haveModifier, int mode) {
    RawLineReader reader(file);
    if (reader.open() < 0) return UL_ERROR_RETURN(-1);
    RawLine line;
    bool header = true;      // before the end-of-prepare comment
    bool sawTab = false;
    int code = kUnchanged;   // of the current table
    Action continued = Action::copy;
    bool inContinuation = false;
    bool stop = false;
    for (;;) {
        const int rc = reader.next(&line);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) break;
        Action action = Action::copy;
        if (inContinuation) {
            action = continued;
        } else {
            const std::u16string keyword = keywordOf(line.text);
            if (keyword == u"#" || keyword.empty() || keyword == u"gloopt:" || keyword == u"str:") {
                action = Action::copy;
            } else if (keyword == u"tab:") {
                std::u16string table;
                if (tableOf(line.text, reader.lineNumber(), file, &table) < 0) return UL_ERROR_RETURN(-1);
                code = plan->decide(table);
                if (code < 0) return UL_ERROR_RETURN(-1);
                sawTab = true;
            } else if (!sawTab) {
                return ul_errorfail(u"Missing previous 'tab:' line");
            } else if (!header && (keyword == u"whr:" || keyword == u"nttab:")) {
                return ul_errorfail(
                    ul_format(u"Unexpected line '%s' after prepared section", line.text.c_str()));
            }
            if (keyword != u"#" && !keyword.empty() && keyword != u"gloopt:" &&
                keyword != u"str:" && code != kUnchanged) {
                const int m = code - 1;
                const bool keep = header && !(m & UL_CRCCLEAR_FULLY) &&
                                  (keyword == u"tab:" || keyword == u"opt:" ||
                                   keyword == u"whr:" || keyword == u"nttab:");
                if (!keep) action = (m & UL_CRCCLEAR_COMMENT) ? Action::comment : Action::drop;
            }
            if (isMarker(line.text, keyword)) {
                header = false;
                // Without a table list and without commenting, the checksum part goes whole.
                stop = !haveModifier && !(mode & UL_CRCCLEAR_COMMENT);
            }
        }
        continued = action;
        inContinuation = line.continues;
        if (action == Action::drop) continue;
        if ((action == Action::comment && fputc('#', out) == EOF) ||
            fwrite(line.bytes.data(), 1, line.bytes.size(), out) != line.bytes.size()) {
            ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write to '%s'", tmp);
            return UL_ERROR_RETURN(-1);
        }
        if (stop) return 0;
    }
    return 0;
}

}  // namespace

// ==== table list ==================================================================================

int AuxCRCClearTables::addTables(const char16_t* list) {
    return ul_guarded([&]() -> int {
        std::vector<std::u16string> names;
        if (ul_sqlcrcreadnames(list, &names) < 0) return UL_ERROR_RETURN(-1);
        for (const std::u16string& n : names) m_tables.insert(ul_stringupper(n));
        return 0;
    });
}

int AuxCRCClearTables::modifyCRC(const char16_t* table) {
    return ul_guarded([&]() -> int {
        return m_tables.count(ul_stringupper(table))
                   ? (m_mode & (UL_CRCCLEAR_COMMENT | UL_CRCCLEAR_FULLY)) + 1
                   : kUnchanged;
    });
}

// ==== clearing ====================================================================================

int ul_sqlcrcclear(const char16_t* file, ULCRCModifier* modifier, int mode) {
    return ul_guarded([&]() -> int {
        ClearPlan plan(file, modifier, mode);
        if (modifier) {
            if (plan.scan() < 0) return UL_ERROR_RETURN(-1);
            if (!plan.changes()) return 0;
        } else {
            RawLineReader probe(file);
            if (probe.open() < 0) return UL_ERROR_RETURN(-1);
        }
        if (mode & UL_CRCCLEAR_SHOWONLY) {
            if (!modifier && plan.scan() < 0) return UL_ERROR_RETURN(-1);
            return 1;
        }
        const std::u16string tmp = ul_format(u"%s.tmp", file);
        ULFileHandle out(ul_filefopen(tmp.c_str(), u"wb", 0));
        if (!out) return UL_ERROR_RETURN(-1);
        if (copyCleared(file, out.get(), tmp.c_str(), &plan, modifier != nullptr, mode) < 0)
            return UL_ERROR_RETURN(-1);
        if (out.closeChecked(tmp.c_str()) < 0) return UL_ERROR_RETURN(-1);
        if (ul_fileatomicmove(tmp.c_str(), file) < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot rename '%s' to '%s'", tmp.c_str(), file);
            return UL_ERROR_RETURN(-1);
        }
        return 1;
    });
}

// ==== differences as conditions ===================================================================

int auxcrcdiff2whr_t::writeFile(const char16_t* table, const std::u16string_view* start,
                                unsigned nstart, const std::u16string_view* end, unsigned nend) {
    ULCheckCRCTable* t = m_file->getTable(table, false);
    if (!t) return UL_ERROR_RETURN(-1);
    std::vector<const char16_t*> keys, sels;
    for (const std::u16string& k : t->own.keys) keys.push_back(k.c_str());
    for (const std::u16string& s : t->own.sels) sels.push_back(s.c_str());
    // A range that starts or ends with the table keeps the table's own whr: bound there.
    std::vector<std::u16string_view> low(start, start + nstart), high(end, end + nend);
    if (const ul_sqlrange_t* whr = t->whrRange()) {
        if (!nstart)
            for (unsigned i = 0; i < whr->low.SQBND_NValues; ++i) low.push_back(whr->low.value(i));
        if (!nend)
            for (unsigned i = 0; i < whr->high.SQBND_NValues; ++i)
                high.push_back(whr->high.value(i));
    }
    std::vector<int> classes;
    for (size_t i = 0; i < std::max({keys.size(), low.size(), high.size()}); ++i)
        classes.push_back(i < t->own.types.size() ? ul_sqlcrctokenclass(t->own.types[i])
                                                  : t->keyClasses() && i < keys.size()
                                                        ? t->keyClasses()[i]
                                                        : UL_SQLTOKEN_STRING);
    if (low.size() > keys.size() || high.size() > keys.size())
        return ul_errorfail(ul_format(u"Mismatch between %d keyfields and %d from where condition",
                                      static_cast<int>(keys.size()),
                                      static_cast<int>(std::max(low.size(), high.size()))));
    m_condition.clear();
    if ((!low.empty() || !high.empty()) &&
        ul_sqlappendwherecondition(&m_condition, nullptr, keys.data(), classes.data(), low.data(),
                                   static_cast<unsigned>(low.size()), high.data(),
                                   static_cast<unsigned>(high.size()), nullptr,
                                   low.empty() ? UL_WHERECOND_NOLOWER : 0) < 0)
        return UL_ERROR_RETURN(-1);
    ULTextFileWriter out;
    if (out.open(m_output.c_str(), 0) < 0) return UL_ERROR_RETURN(-1);
    const std::u16string& nttab = t->getOption(UL_CHKCRCOPT_NTTAB);
    if (ULCheckCRCFile::prepare(&out, t->name().c_str(), t->refName().c_str(), nttab.c_str(),
                                keys.data(), static_cast<unsigned>(keys.size()), sels.data(),
                                static_cast<unsigned>(sels.size()), nullptr, 0,
                                m_condition.c_str(), t->flags(), false) < 0 ||
        out.close() < 0) {
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot write to '%s'", m_output.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (ul_msgwrite_printf399(1, u' ', u"Prepared CRC run for table '%s' in '%s'.", t->name().c_str(),
                              m_output.c_str()) < 0)
        return UL_ERROR_RETURN(-1);
    m_output.clear();
    return 0;
}

int auxcrcdiff2whr_t::report(int type, const char16_t* table, const char16_t* const* keys,
                             unsigned nkeys, const std::u16string_view* start, unsigned nstart,
                             const char16_t* field, const std::u16string_view* end, unsigned nend,
                             ul_dbrowcount_t ownCount, ul_dbrowcount_t refCount,
                             const ul_chkcrcline_t* line) {
    const bool wanted = !m_output.empty() && (m_table.empty() || ul_stricmp(m_table.c_str(), table) == 0);
    if (wanted && ul_guarded([&]() { return writeFile(table, start, nstart, end, nend); }) < 0)
        return UL_ERROR_RETURN(-1);
    return forward(type, table, keys, nkeys, start, nstart, field, end, nend, ownCount, refCount,
                   line);
}

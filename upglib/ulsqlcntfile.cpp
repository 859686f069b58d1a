#include "ulsqlcntfile.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "ulerror.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"

namespace {

// Names are written with C escapes and every control character escaped, so that no name can
// break a line.
constexpr int kNameEscape = UL_ESCAPE_C | UL_ESCAPE_CONTROL;
// A joined input line holds a condition of up to 16,384 characters besides two names.
constexpr size_t kMaxInputLine = 16384 + 4 * UL_CNTFILE_MAXNAME;

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

const char16_t* skipBlanks(const char16_t* p) {
    while (isBlank(*p)) ++p;
    return p;
}

// Cuts trailing blanks and carriage returns off a line.
void trimRight(char16_t* line, size_t length) {
    while (length > 0 && (isBlank(line[length - 1]) || line[length - 1] == u'\r')) --length;
    line[length] = 0;
}

int syntaxError(int lineNo, const char16_t* line) {
    ul_errorsetmsgfmt(UL_ERR_APPEND, u"Syntax error in l. %d '%s'", lineNo, line);
    return UL_ERROR_RETURN(-1);
}

// Reads one escaped name at p; *end behind it. -1 when there is none or it is too long.
int readName(const char16_t* p, std::u16string* name, const char16_t** end) {
    char16_t buffer[UL_CNTFILE_MAXNAME + 1];
    const int rc = ul_stringreadescape(buffer, std::size(buffer), p, 0, end, kNameEscape);
    if (rc <= 0 || buffer[0] == 0) return UL_ERROR_RETURN(-1);
    *name = buffer;
    return 0;
}

// The condition behind a "WHERE " at p, or null when p does not start with one.
const char16_t* whereCondition(const char16_t* p) {
    return ul_stringstarticmp(p, u"WHERE ");
}

struct InputLine {
    int mode = 0;
    std::u16string table;
    std::u16string table2;
    bool hasTable2 = false;
    const char16_t* where = nullptr;  // into the line
};

int modeBit(char16_t letter) {
    switch (letter) {
        case u'p':
            return UL_CNTMODE_PACKED;
        case u'a':
            return UL_CNTMODE_ALTNT;
        case u'0':
            return UL_CNTMODE_CLIENT000;
        case u'n':
            return UL_CNTMODE_NOFALLBACK;
        case u'l':
            return UL_CNTMODE_LOGICAL;
        default:
            return 0;
    }
}

// Parses a non-empty, non-comment input line.
int parseInputLine(const char16_t* line, int lineNo, InputLine* out) {
    if (line[0] == u'e') {
        out->mode = UL_CNTMODE_ESTIMATE;
    } else if (line[0] != u'c') {
        ul_errorsetmsgfmt(0, u"Invalid action '%c' l. %d '%s'", line[0], lineNo, line);
        return UL_ERROR_RETURN(-1);
    }
    const char16_t* p = line + 1;
    for (int bit; (bit = modeBit(*p)) != 0; ++p) out->mode |= bit;
    if (*p != u' ') return syntaxError(lineNo, line);
    ul_errorsetmsg(0, nullptr);
    const char16_t* end = nullptr;
    if (readName(p, &out->table, &end) < 0) return syntaxError(lineNo, line);
    p = skipBlanks(end);
    if (*p && !whereCondition(p)) {
        if (readName(p, &out->table2, &end) < 0) return syntaxError(lineNo, line);
        out->hasTable2 = true;
        p = skipBlanks(end);
    }
    if (*p) {
        out->where = whereCondition(p);
        if (!out->where || !*skipBlanks(out->where)) return syntaxError(lineNo, line);
    }
    return 0;
}

int cannotRead(const char16_t* file) {
    ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot read '%s'", file);
    return UL_ERROR_RETURN(-1);
}

// Digits only, within 64 bits.
bool parseCount(std::u16string_view text, ul_dbrowcount_t* count) {
    if (text.empty() || text.size() > 20) return false;
    ul_dbrowcount_t n = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return false;
        const ul_dbrowcount_t digit = static_cast<ul_dbrowcount_t>(c - u'0');
        if (n > (UL_DBROWCOUNT_INVALID - digit) / 10) return false;
        n = n * 10 + digit;
    }
    *count = n;
    return n != UL_DBROWCOUNT_INVALID;
}

// Parses a non-empty, non-comment output line.
int parseOutputLine(const char16_t* line, int lineNo, std::u16string* table, ul_dbrowcount_t* count,
                    bool* clientdep) {
    ul_errorsetmsg(0, nullptr);
    const char16_t* end = nullptr;
    if (readName(line, table, &end) < 0) return syntaxError(lineNo, line);
    const char16_t* p = skipBlanks(end);
    const char16_t* e = p;
    while (*e && !isBlank(*e)) ++e;
    const std::u16string_view number(p, static_cast<size_t>(e - p));
    if (!parseCount(number, count)) {
        ul_errorsetmsgfmt(0, u"Invalid row count '%s'", std::u16string(number).c_str());
        return UL_ERROR_RETURN(-1);
    }
    p = skipBlanks(e);
    *clientdep = false;
    if (const char16_t* behind = ul_stringstartcmp(p, u"clientdep");
        behind && (!*behind || isBlank(*behind))) {
        *clientdep = true;
        p = skipBlanks(behind);
    }
    if (*p && *p != u'#') {
        ul_errorsetmsgfmt(0, u"Invalid phrase in count line '%s'", line);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int repair(const char16_t* file, long offset) {
    if (truncate(ul_utf16to8(file).c_str(), static_cast<off_t>(offset)) == 0) return 0;
    ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot repair incomplete last line of '%s'", file);
    return UL_ERROR_RETURN(-1);
}

}  // namespace

int ul_sqlcntinread(const char16_t* file, ULCountInputReader* reader) {
    return ul_guarded([&]() -> int {
        ULTextFileReader in;
        if (in.open(file, UL_TEXT_JOINLINES) < 0) return cannotRead(file);
        int handled = 0;
        for (;;) {
            const int rc = in.readLine();
            if (rc < 0) return cannotRead(file);
            if (rc == 0) return handled;
            if (in.length() > kMaxInputLine) {
                ul_errorsetmsgfmt(0, u"Line %d of '%s' is longer than %lu characters",
                                  in.lineNumber(), file, static_cast<unsigned long>(kMaxInputLine));
                return UL_ERROR_RETURN(-1);
            }
            trimRight(in.line(), in.length());
            const char16_t* line = in.line();
            if (*skipBlanks(line) == 0 || line[0] == u'#') continue;
            InputLine parsed;
            if (parseInputLine(line, in.lineNumber(), &parsed) < 0) return UL_ERROR_RETURN(-1);
            const int handledLine = reader->readCountInput(
                parsed.table.c_str(), parsed.hasTable2 ? parsed.table2.c_str() : nullptr,
                parsed.where, parsed.mode);
            if (handledLine < 0) return UL_ERROR_RETURN(-1);
            if (handledLine > 0) ++handled;
        }
    });
}

int ul_sqlcntoutread(const char16_t* file, ULCountOutputReader* reader, int mode) {
    return ul_guarded([&]() -> int {
        ULTextFileReader in;
        if (in.open(file) < 0) return cannotRead(file);
        int counts = 0;
        long cut = -1;
        for (;;) {
            const int rc = in.readLine();
            if (rc < 0) return cannotRead(file);
            if (rc == 0) break;
            if (in.lastLineIncomplete()) {  // the writer died within this line
                cut = in.lineOffset();
                break;
            }
            trimRight(in.line(), in.length());
            const char16_t* line = in.line();
            if (*skipBlanks(line) == 0 || line[0] == u'#') continue;
            std::u16string table;
            ul_dbrowcount_t count = 0;
            bool clientdep = false;
            if (parseOutputLine(line, in.lineNumber(), &table, &count, &clientdep) < 0) {
                ul_errorsetmsgfmt(UL_ERR_APPEND, u"in line %d of '%s'", in.lineNumber(), file);
                return UL_ERROR_RETURN(-1);
            }
            if (reader->readCountOutput(table.c_str(), count, clientdep) < 0)
                return UL_ERROR_RETURN(-1);
            ++counts;
        }
        in.close();
        if (cut >= 0 && (mode & UL_CNTOUT_REPAIR) && repair(file, cut) < 0)
            return UL_ERROR_RETURN(-1);
        return counts;
    });
}

int ul_sqlcntwriteoutputline(ULTextFileWriter* file, int kind, const char16_t* table,
                             ul_dbrowcount_t count, bool clientdep) {
    return ul_guarded([&]() -> int {
        std::u16string line;
        if (ul_stringgenescape(&line, table, 0, kNameEscape) < 0) return UL_ERROR_RETURN(-1);
        line += ul_format(u" %lu", static_cast<unsigned long>(count));
        if (clientdep) line += u" clientdep";
        if (kind == UL_CNTKIND_REDUCED) line += u" # (reduced keyfields)";
        if (kind == UL_CNTKIND_ESTIMATED) line += u" # (estimated)";
        line += u'\n';
        // One write call per line, flushed at once: a dying process leaves no torn line
        // behind a complete one.
        if (file->write(line.c_str(), line.size()) < 0 || file->flush() < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    });
}

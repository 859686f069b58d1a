#include "ultrace.h"

#include <execinfo.h>

#include <cstdarg>
#include <cstdlib>

#include "ulerror.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultime.h"

unsigned UL_TraceLevels[UL_TRC_COUNT];

namespace {

const char16_t* const kComponentNames[UL_TRC_COUNT] = {
    u"AUXFCTS",  u"BIGSORT",      u"DBIF",        u"DIR",        u"ERROR",       u"EXPR",
    u"FILE",     u"HASH",         u"MACRO",       u"MSG",        u"PIDFILE",     u"PREPROC",
    u"PROC",     u"REPOCLEAN",    u"SAX",         u"SCANCLUSTER", u"SELDEPENDS", u"SQLCLUSTER",
    u"SQLCRC",   u"SQLCRCUTIL",   u"SQL",         u"SQLOPTIMPORT", u"SQLRUNTASK", u"SQLSPLIT",
    u"SQLTOOL",  u"SQLUTIL",      u"TRACE",       u"VARLIST",    u"XML",         u"STRESS",
    u"DB2",      u"STAT",         u"MAIN",        u"OBJ",        u"NTT",         u"UTIL",
    u"OS",       u"STRFUNCT",     u"TIMES",       u"CONFCHK",
};

unsigned ComponentFlags[UL_TRC_COUNT];
unsigned GlobalLevel = 0;
unsigned DynamicIncrement = 0;
FILE* TraceStream = nullptr;
int TraceFlags = 0;

const char16_t* baseName(const char16_t* path) {
    const char16_t* slash = ul_strrchr(path, u'/');
    return slash ? slash + 1 : (path ? path : u"");
}

void writeRecord(ul_tracetype_e component, unsigned level, const char16_t* sourceFile,
                 unsigned line, const char16_t* text) {
    FILE* stream = TraceStream ? TraceStream : stdout;
    std::string out;
    if (TraceFlags & 1) {
        char16_t stamp[32];
        if (ul_timegetstamp(stamp, 32, -1, UL_STAMP_DIGITS_MS) < 0) stamp[0] = 0;
        std::u16string header = ul_format(u"A%dTE%s 000 (%s:%s:%d) %s", static_cast<int>(level),
                                          ul_tracecomponentname(component), stamp,
                                          baseName(sourceFile), static_cast<int>(line), u"");
        out = ul_utf16to8(header.c_str(), header.size());
    }
    ul_utf16to8append(out, text, ul_strlen(text));
    fwrite(out.data(), 1, out.size(), stream);
    fflush(stream);
}

// Applies one word of a level list: "SQL:4", "XML" (level 3) or "5" (all).
int applyLevelWord(const char16_t* word, int flags) {
    while (ul_isspace(*word)) ++word;
    std::u16string name;
    long level = 3;
    const char16_t* colon = ul_strchr(word, u':');
    if (colon) {
        name.assign(word, static_cast<size_t>(colon - word));
        std::u16string number(colon + 1);
        while (!number.empty() && ul_isspace(number.back())) number.pop_back();
        if (ul_stringtolong(number.c_str(), &level) < 0 || level < 0) return -1;
    } else if (!ul_isdigit(*word)) {
        name = word;
    } else {
        std::u16string number(word);
        while (!number.empty() && ul_isspace(number.back())) number.pop_back();
        if (ul_stringtolong(number.c_str(), &level) < 0 || level < 0) return -1;
    }
    while (!name.empty() && ul_isspace(name.back())) name.pop_back();
    if (name.empty()) {
        ul_tracesetlevel(-1, static_cast<unsigned>(level), flags);
        return 0;
    }
    int component = ul_tracefindcomponent(name.c_str());
    if (component >= 0) ul_tracesetlevel(component, static_cast<unsigned>(level), flags);
    return 0;
}

}  // namespace

const char16_t* ul_tracecomponentname(ul_tracetype_e component) {
    return component >= 0 && component < UL_TRC_COUNT ? kComponentNames[component] : u"?";
}

int ul_tracefindcomponent(const char16_t* name) {
    for (int i = 0; i < UL_TRC_COUNT; ++i)
        if (ul_strcmp(kComponentNames[i], name) == 0) return i;
    return -1;
}

void ul_tracesetlevel(int component, unsigned level, int flags) {
    bool raiseOnly = flags & UL_TRACE_RAISE_ONLY;
    if (component >= 0 && component < UL_TRC_COUNT) {
        if (raiseOnly && UL_TraceLevels[component] >= level) return;
        UL_TraceLevels[component] = level;
        ComponentFlags[component] |= UL_TRACE_EXPLICIT | static_cast<unsigned>(flags);
        return;
    }
    if (component != -1) return;
    if (raiseOnly && GlobalLevel >= level) return;
    GlobalLevel = level;
    for (int i = 0; i < UL_TRC_COUNT; ++i)
        if (!(ComponentFlags[i] & UL_TRACE_EXPLICIT)) UL_TraceLevels[i] = level;
}

int ul_tracesetlevels2(const char16_t* levels, int flags) {
    const char16_t* cursor = levels;
    char16_t word[256];
    int rc;
    while ((rc = ul_stringexpwordlist(&cursor, u',', word, 256, 0)) > 0) {
        if (applyLevelWord(word, flags) < 0) {
            ul_errorsetmsgfmt(0, u"Invalid trace level specification '%s'", word);
            return UL_ERROR_RETURN(-1);
        }
    }
    return rc;
}

void ul_tracedynlevelinc(unsigned n) {
    if (n == 0) {
        for (unsigned& level : UL_TraceLevels) level = level > DynamicIncrement ? level - DynamicIncrement : 0;
        DynamicIncrement = 0;
        return;
    }
    for (unsigned& level : UL_TraceLevels) level += n;
    DynamicIncrement += n;
}

void ul_traceresetlevels() {
    for (int i = 0; i < UL_TRC_COUNT; ++i) UL_TraceLevels[i] = ComponentFlags[i] = 0;
    GlobalLevel = DynamicIncrement = 0;
}

void ul_tracesetglobalfileptr(FILE* stream) { TraceStream = stream; }
FILE* ul_tracegetglobalfileptr() { return TraceStream; }

void ul_tracesetglobalflags(int flags) {
    if (flags > 0)
        TraceFlags |= flags;
    else
        TraceFlags &= flags;
}

void ul_trace0(ul_tracetype_e component, unsigned level, const char16_t* sourceFile,
               unsigned line, const char16_t* text) {
    writeRecord(component, level, sourceFile, line, text ? text : u"");
}

void ul_tracefmt0(ul_tracetype_e component, unsigned level, const char16_t* sourceFile,
                  unsigned line, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string text = ul_vformat(format, args);
    va_end(args);
    writeRecord(component, level, sourceFile, line, text.c_str());
}

void ul_traceprintstack0(const char16_t* sourceFile, unsigned line) {
    writeRecord(UL_TRC_TRACE, 11, sourceFile, line, u"Stack trace:\n");
    void* frames[64];
    int count = backtrace(frames, 64);
    char** symbols = backtrace_symbols(frames, count);
    if (!symbols) return;
    FILE* stream = TraceStream ? TraceStream : stdout;
    for (int i = 0; i < count; ++i) fprintf(stream, "  %s\n", symbols[i]);
    fflush(stream);
    free(symbols);
}

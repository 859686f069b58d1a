// Developer trace by component and level. Level-N statements of a component are written
// when its level is at least N; level 0 is always written.
#pragma once

#include <cstdio>

enum ul_tracetype_e : int {
    UL_TRC_AUXFCTS,
    UL_TRC_BIGSORT,
    UL_TRC_DBIF,
    UL_TRC_DIR,
    UL_TRC_ERROR,
    UL_TRC_EXPR,
    UL_TRC_FILE,
    UL_TRC_HASH,
    UL_TRC_MACRO,
    UL_TRC_MSG,
    UL_TRC_PIDFILE,
    UL_TRC_PREPROC,
    UL_TRC_PROC,
    UL_TRC_REPOCLEAN,
    UL_TRC_SAX,
    UL_TRC_SCANCLUSTER,
    UL_TRC_SELDEPENDS,
    UL_TRC_SQLCLUSTER,
    UL_TRC_SQLCRC,
    UL_TRC_SQLCRCUTIL,
    UL_TRC_SQL,
    UL_TRC_SQLOPTIMPORT,
    UL_TRC_SQLRUNTASK,
    UL_TRC_SQLSPLIT,
    UL_TRC_SQLTOOL,
    UL_TRC_SQLUTIL,
    UL_TRC_TRACE,
    UL_TRC_VARLIST,
    UL_TRC_XML,
    UL_TRC_STRESS,
    UL_TRC_DB2,
    UL_TRC_STAT,
    UL_TRC_MAIN,
    UL_TRC_OBJ,
    UL_TRC_NTT,
    UL_TRC_UTIL,
    UL_TRC_OS,
    UL_TRC_STRFUNCT,
    UL_TRC_TIMES,
    UL_TRC_CONFCHK,
    UL_TRC_COUNT  // number of components
};

extern unsigned UL_TraceLevels[UL_TRC_COUNT];

// Component name ("SQL") and lookup by exact, case-sensitive name (-1 when unknown).
const char16_t* ul_tracecomponentname(ul_tracetype_e component);
int ul_tracefindcomponent(const char16_t* name);

enum : int { UL_TRACE_RAISE_ONLY = 2 };
enum : unsigned { UL_TRACE_EXPLICIT = 0x10000 };

// Applies a level list such as "5", "SQL:4,XML" or "2,SQL:10". Unknown component names
// are accepted and change nothing. Returns 0, or -1 for a malformed level.
int ul_tracesetlevels2(const char16_t* levels, int flags);
// Sets one component, or every component when component is -1.
void ul_tracesetlevel(int component, unsigned level, int flags);
// Adds n to every level (n = 0 takes the total added so far back again).
void ul_tracedynlevelinc(unsigned n);
// Back to the start state: every level 0, nothing explicit. For tests.
void ul_traceresetlevels();

void ul_tracesetglobalfileptr(FILE* stream);
FILE* ul_tracegetglobalfileptr();
// Value 1 selects the tagged record form. A positive value is ORed in, a value below 1 ANDed.
void ul_tracesetglobalflags(int flags);

void ul_tracefmt0(ul_tracetype_e component, unsigned level, const char16_t* sourceFile,
                  unsigned line, const char16_t* format, ...);
void ul_trace0(ul_tracetype_e component, unsigned level, const char16_t* sourceFile,
               unsigned line, const char16_t* text);
void ul_traceprintstack0(const char16_t* sourceFile, unsigned line);

inline bool ul_traceactive(ul_tracetype_e component, unsigned level) {
    return level == 0 || UL_TraceLevels[component] >= level;
}

// UL_TRACE(UL_TRC_SQL, 5, u"Executing '%s'.\n", stmt): formats only when the level is on.
#define UL_TRACE(component, level, ...)                                            \
    do {                                                                           \
        if (ul_traceactive((component), (level)))                                  \
            ul_tracefmt0((component), (level), u"" __FILE__, __LINE__, __VA_ARGS__); \
    } while (0)

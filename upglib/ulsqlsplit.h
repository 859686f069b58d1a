// The key-range table splitter: cuts a table into row ranges of roughly equal size and writes
// each range as a where condition over the key fields, so that exports, copies and checksum
// runs of one table can work in parallel.
//
// Pieces: the per-database statement table (SQLDBSplitSupport) with its template expander; the
// engine (ul_sqlsplittable) with the standard method (grouped counts, key field by key field)
// and the equidistant row number method; row counting; and the range check. The conditions
// themselves live in ulsqlcondition, the files that carry them between runs in ulsqlwherefile.
//
// Every function returns -1 after setting the error text; the engine's warnings and progress
// lines go to the message output.
#pragma once

#include <cstddef>

#include "ulsqlcondition.h"

// ---- statements per database -------------------------------------------------------------------

// Statement requests of sql_getstatement2.
enum : int {
    UL_SPLITREQ_COUNTEXPR = 1,
    UL_SPLITREQ_ESTIMATE = 2,
    UL_SPLITREQ_COUNT = 3,
    UL_SPLITREQ_DISTINCT = 4,
    UL_SPLITREQ_HINT = 5,
    UL_SPLITREQ_NATIVEFIELDS = 6,
    UL_SPLITREQ_HINTCLOSE = 7,
    UL_SPLITREQ_ROWNUM = 10,
    UL_SPLITREQ_PREFIX = 11,
};

class ULTableSplit;

// A database's statement provider: answers a request before the table row does (1 with the
// statement, 0 for none, -1 on error). For native split fields (request 6) the statement is a
// list of field names and the answer may add UL_SPLITREQ_USESTANDARD.
using ul_sqlsplitprovider_t = int (*)(int request, const char16_t* table,
                                      const char16_t* const* keyfields, unsigned nkeyfields,
                                      const char16_t** statement, int flags, double segment,
                                      int mode);
constexpr int UL_SPLITREQ_USESTANDARD = 0x10000;
// Flags of a request: the statement will carry a where condition.
constexpr int UL_SPLITREQFLAG_WHERE = 0x1;
// Lists a table's partitions as conditions: 0 none, 1 partitions to be split further, 2 the
// partitions alone are the answer, -1 on error.
using ul_sqlsplitpartitions_t = int (*)(ULTableSplit* clauses, const char16_t* table,
                                        const ULTableSplit* preconditions, int mode);
// Post-processes the final conditions. 0 or -1.
using ul_sqlsplitfixer_t = int (*)(ULTableSplit* conditions, int mode);

enum : unsigned { UL_SPLITSUPPORT_WHEREOPTIONAL = 0x1 };

struct ul_sqldbsplitsupport_t {
    int dbType;
    unsigned flags;                   // UL_SPLITSUPPORT_*
    const char16_t* countExpression;  // null: none
    const char16_t* estimateStatement;
    const char16_t* countStatement;
    const char16_t* distinctStatement;
    const char16_t* rownumStatement;
    const char16_t* prefixExpression;
    ul_sqlsplitprovider_t provider;
    ul_sqlsplitpartitions_t partitions;
    ul_sqlsplitfixer_t fixer;
};

extern const ul_sqldbsplitsupport_t SQLDBSplitSupport[];
extern const size_t SQLDBSplitSupportCount;

// The row of a database type, or null with "No support for database type #%d".
const ul_sqldbsplitsupport_t* ul_sqlgetsplitsupport(int dbType);

// Answers a statement request for the connected database (or the one dbms_type selects): the
// provider first, then the table row, for requests 5 and 7 the environment variables
// TABRIX_SQLHINT and TABRIX_SQLHINTCLOSE (read once per process). Returns 1 with the statement
// (valid for the process), 0 for none, -1 on error ("Internal error: Unsupported split format
// request #%d", "No support for database type #%d").
int sql_getstatement2(int request, const char16_t* table, const char16_t* const* keyfields,
                      unsigned nkeyfields, const char16_t** statement, int flags, double segment,
                      int mode);

// Mode bits of genSQLFormat.
enum : int {
    UL_SQLFORMAT_WHEREOPTIONAL = 0x1,  // a where condition may stay unused
    UL_SQLFORMAT_KEEPCASE = 0x8,       // names keep their case
};

// Expands a statement template (%% %C %H %h %T %t %k %s %w %W) into out (size code units).
// Returns the length, or -1 with "Internal error: Unsupported format character '%c'",
// "Internal error: Where condition given, but not used for format '%s'", "Internal error:
// Format '%s' too large" or "Internal error: Array too short (%d)".
int genSQLFormat(char16_t* out, size_t size, const char16_t* format, const char16_t* table,
                 const char16_t* const* keyfields, unsigned nkeyfields, const char16_t* where,
                 ul_dbrowcount_t rowCount, int mode);

// ---- engine ----------------------------------------------------------------------------------

// Mode bits of the engine.
enum : int {
    UL_SQLTABSPLIT_FNOTEXACT = 0x2,           // the total count is estimated or given
    UL_SQLTABSPLIT_FFILTERNONASCII = 0x4,     // drop split positions with non-ASCII values
    UL_SQLTABSPLIT_FSTANDARD = 0x10,          // standard method only
    UL_SQLTABSPLIT_FPREFIX = 0x20,            // prefix method requested (not available)
    UL_SQLTABSPLIT_FPARTRESOLVED = 0x100,     // the caller resolved the partitions
    UL_SQLTABSPLIT_FNOPREBRACKETS = 0x1000,   // pre AND cond, without brackets around pre
    UL_SQLTABSPLIT_FSMALLPARTWHOLE = 0x2000,  // a too small part is used whole
};

// Result flags of the engine.
enum : int {
    UL_SPLITRESULT_TOOFEW = 0x1,
    UL_SPLITRESULT_TOOMANY = 0x2,
    UL_SPLITRESULT_NOTHING = 0x4,
    UL_SPLITRESULT_NATIVE = 0x10,
};

// Splits table into conditions appended to out (which must be empty). segment >= 1 is rows per
// segment, below 1 a fraction of totalcount (which must then be known). minsplits and
// maxsplits bound the number of conditions (UL_DBROWCOUNT_INVALID: no bound). precondition
// (may be null) restricts the rows and is joined to every condition. Connects for the call
// when not connected. Returns the result flags (no conditions unless 0 or NATIVE), or -1.
int ul_sqlsplittable(ULTableSplit* out, const char16_t* table, const char16_t* const* keyfields,
                     unsigned nkeyfields, double segment, ul_dbrowcount_t totalcount,
                     ul_dbrowcount_t minsplits, ul_dbrowcount_t maxsplits,
                     const char16_t* precondition, int mode);
// The same over a list of pre-conditions, each split separately (their counts, when known,
// decide which are small enough to be used whole).
int ul_sqlsplittablem(ULTableSplit* out, const char16_t* table, const char16_t* const* keyfields,
                      unsigned nkeyfields, double segment, ul_dbrowcount_t totalcount,
                      ul_dbrowcount_t minsplits, ul_dbrowcount_t maxsplits,
                      ULTableSplit* preconditions, int mode);
// True when a condition is a partition clause of a partition collector.
bool ul_sqlispartitionclause(const char16_t* condition);

// Lists the table's partitions through the database's partition collector. Returns 0 (none),
// 1 or 2 (see ul_sqlsplitpartitions_t), or -1.
int ul_sqlcheckpartitions(ULTableSplit* clauses, const char16_t* table,
                          const ULTableSplit* preconditions, int mode);

// Flags of the count operation.
enum : int {
    UL_COUNTSTAR_ESTIMATE = 0x1,    // the database's estimate where one is possible
    UL_COUNTSTAR_NOFALLBACK = 0x8,  // keep an estimate below lowcountlimit
};

// Counts the rows of table within where (may be null); with key fields the distinct values of
// those fields. estimate (UL_COUNTSTAR_* flags) asks for the database's estimate where one is
// possible and, unless NOFALLBACK, large enough. Returns 1 for an estimate, 0 for an exact
// count, -1 ("Error counting table '%s'").
int ul_sqltablecountstar(const char16_t* table, const char16_t* where,
                         const char16_t* const* keyfields, unsigned nkeyfields,
                         ul_dbrowcount_t* count, int estimate);
// Counts every condition of the list exactly into its entry; *total receives the sum.
int ul_sqltablecountstarm(const char16_t* table, ULTableSplit* conditions,
                          const char16_t* const* keyfields, unsigned nkeyfields,
                          ul_dbrowcount_t* total, int estimate);

// Checks that the conditions form one gap-free chain of ranges (within each pre-condition,
// when the conditions were made with preconditions): the first open below, the last open
// above, each one starting where the one before ended, in ascending order. Every violation is
// logged. Returns the number of violations, or -1 when a condition cannot be parsed.
int ul_sqlchecksplitrange(const ULTableSplit* conditions, const ULTableSplit* preconditions,
                          int mode);

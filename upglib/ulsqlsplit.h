// The key-range table splitter: cuts a table into row ranges of roughly equal size and writes
// each range as a where condition over the key fields, so that exports, copies and checksum
// runs of one table can work in parallel.
//
// Pieces: the condition lists (ULTableSplit) and key boundaries (ul_sqlboundary_t); the
// per-database statement table (SQLDBSplitSupport) with its template expander; the engine
// (ul_sqlsplittable) with the standard method (grouped counts, key field by key field) and the
// equidistant row number method; the condition generator and its parser; row counting; the
// range check; and the where files that carry conditions between runs.
//
// Every function returns -1 after setting the error text; the engine's warnings and progress
// lines go to the message output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ulauxfcts.h"
#include "uldllist.h"
#include "ulhashlist.h"

// Row counts; all bits set: unknown, not counted, or no limit.
using ul_dbrowcount_t = uint64_t;
constexpr ul_dbrowcount_t UL_DBROWCOUNT_INVALID = ~static_cast<ul_dbrowcount_t>(0);

// Most key fields one split uses.
constexpr unsigned UL_SQLMAX_KEYCOLUMNS = 20;
// Statements, conditions and messages; names and quoted names.
constexpr size_t UL_SQLSTMTSIZE = 16384;
constexpr size_t UL_SQLNAMESIZE = 256;

// ---- condition lists -------------------------------------------------------------------------

// One condition with its row count; the text lives in the same list node, behind the count.
struct ul_tablesegment_t {
    ul_dbrowcount_t rows;  // UL_DBROWCOUNT_INVALID when not counted

    char16_t* condition() { return reinterpret_cast<char16_t*>(this + 1); }
    const char16_t* condition() const { return reinterpret_cast<const char16_t*>(this + 1); }
};

enum : int { UL_SEGMENT_INVERT = 1 };  // createSegmentEntry: store "NOT( <condition> )"

// The split conditions of one table, in split order.
class ULTableSplit {
  public:
    ULTableSplit() = default;
    ~ULTableSplit() { clear(); }
    ULTableSplit(const ULTableSplit&) = delete;
    ULTableSplit& operator=(const ULTableSplit&) = delete;

    // Conditions over a database-native row address or partition clauses ("opt: native").
    bool native = false;
    ul_dllist_t entries;  // payload: ul_tablesegment_t followed by the text

    // Appends a condition. Returns 0, or -1 when out of memory.
    int createSegmentEntry(ul_dbrowcount_t rows, const char16_t* condition, int flags);
    // Keeps only the entry at the 0-based position. -1 with "Invalid position %d exceeding
    // number of conditions".
    int reduce2SingleCondition(int pos);
    // The sum of the counts, or UL_DBROWCOUNT_INVALID when one is not known.
    ul_dbrowcount_t getNumberRows() const;
    int getCount() const { return entries.getCount(); }
    bool isEmpty() const { return entries.isEmpty(); }
    // Frees every entry; the native flag stays.
    void clear() { entries.freeList(0); }
    // Moves every entry of other behind the entries of this list.
    void takeEntries(ULTableSplit* other);

    // Walks the entries: for (ul_tablesegment_t& s : split) ...
    class Iterator {
      public:
        explicit Iterator(ul_dllistnode_t* node) : node_(node) {}
        ul_tablesegment_t& operator*() const {
            return *static_cast<ul_tablesegment_t*>(node_->data());
        }
        Iterator& operator++() {
            node_ = node_->next;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return node_ != other.node_; }

      private:
        ul_dllistnode_t* node_;
    };
    Iterator begin() const { return Iterator(entries.head); }
    Iterator end() const { return Iterator(const_cast<ul_dllist_t&>(entries).endSentinel()); }
};

// The conditions of all tables, by table name.
using ULTableSplitList = ULHashList<ULTableSplit>;
void ul_sqltablesplitsfree(ULTableSplitList* list);

// ---- key boundaries ----------------------------------------------------------------------------

constexpr unsigned UL_SQLBOUNDARY_MAXVALUES = 200;

// One bound of a key range: (field, value, token class) for the leading key fields. Strings are
// not owned; boundaryAddCheckValue takes them from a string pool.
struct ul_sqlboundary_t {
    unsigned SQBND_NValues = 0;
    const char16_t* fields[UL_SQLBOUNDARY_MAXVALUES];
    const char16_t* values[UL_SQLBOUNDARY_MAXVALUES];
    int tokenClasses[UL_SQLBOUNDARY_MAXVALUES];

    void clear() { SQBND_NValues = 0; }
    void copy(const ul_sqlboundary_t& from);
    // Value by value in each value's token class; when one boundary is a prefix of the other
    // the shorter one comes first.
    int compare(const ul_sqlboundary_t& other) const;
    // The same over the first n values only (both must have them).
    int comparePrefix(const ul_sqlboundary_t& other, unsigned n) const;
    // Appends (field, value) with pooled copies. -1 when full ("Too many values for boundary
    // (%d)") or out of memory.
    int boundaryAddCheckValue(ul_strpool_t* pool, const char16_t* field, const char16_t* value,
                              int tokenClass);
};

// A key range as the condition generator writes it.
struct ul_sqlrange_t {
    ul_sqlboundary_t low;   // no values: no lower bound
    ul_sqlboundary_t high;  // no values: no upper bound
    bool lowInclusive = false;
    bool highExclusive = false;
};

// ---- condition generator -----------------------------------------------------------------------

// Writes a field name into a statement (the signature of ul_sqlquotetable). Returns the length
// or -1.
using ul_sqlfieldquoter_t = int (*)(char16_t* out, unsigned size, const char16_t* name, int flags);

// Mode bits of ul_sqlgenwherecondition.
enum : int {
    UL_WHERECOND_NOLOWER = 0x1,     // no lower bound (the low values are ignored)
    UL_WHERECOND_BRACKETS = 0x2,    // put the whole condition in brackets
    UL_WHERECOND_ASIS = 0x4,        // write values as given, no literal conversion
    UL_WHERECOND_LOWINCL = 0x100,   // the lower bound is inclusive
    UL_WHERECOND_HIGHEXCL = 0x200,  // the upper bound is exclusive
};

// Writes the condition low <= (fields) <= high, lexicographically over the fields, with the
// literal form of the connected database: equal leading values once as equalities, then the
// lower bound as alternatives value < field, the upper bound as field < value ("<=" at the last
// field of an inclusive bound); with nhigh = 0 there is no upper bound. A null quoter leaves the
// names as given; qualifier (may be null) goes in front of each name. Returns the length, or -1
// ("Where condition exceeds %zu characters", or a literal that cannot be written).
int ul_sqlgenwherecondition(char16_t* buffer, size_t size, const char16_t* qualifier,
                            const char16_t* const* fields, const int* tokenClasses,
                            const char16_t* const* low, unsigned nlow, const char16_t* const* high,
                            unsigned nhigh, ul_sqlfieldquoter_t quoter, int mode);

// Parses a condition that ul_sqlgenwherecondition wrote (a trailing "--" comment is ignored)
// back into its bounds; field names come back unquoted, without qualifier, and values and names
// are taken from the pool. -1 with "Where condition '%s' is no key range: %s".
int ul_sqlwhere2range(const char16_t* condition, ul_sqlrange_t* range, ul_strpool_t* pool);

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

// Counts the rows of table within where (may be null); with key fields the distinct values of
// those fields. estimate asks for the database's estimate where one is possible and large
// enough. Returns 1 for an estimate, 0 for an exact count, -1 ("Error counting table '%s'").
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

// ---- where files -------------------------------------------------------------------------------

enum : int {
    UL_WHEREFILE_NOCNTLINES = 0x1,  // no "cnt:" lines
    UL_WHEREFILE_SINGLEBYTE = 0x2,  // one byte per character; characters above 255 fail
};

// Writes the conditions of table as blocks "tab:", ["opt: native",] ["cnt:",] "WHERE ..." and an
// empty line. A name holding "%" is a pattern: each condition goes to its own file, every "%"
// replaced by the condition's number (from 1). A file already written by this process is
// appended to, any other one created anew; *appended (may be null) tells which happened to
// the (last) file. Returns the number of files written (pattern) or of conditions, or -1.
int ul_sqlwritewherefile(const char16_t* file, const char16_t* table,
                         const ULTableSplit* conditions, int flags, bool* appended);
// Forgets which files this process wrote.
void ul_sqlwherefilesforget();

class ULMacroProvider;

enum : int {
    UL_WHEREREAD_INVERT = 0x1,  // store each condition as NOT( condition )
    UL_WHEREREAD_SINGLE = 0x2,  // at most one condition per table
};

// Reads a where file into list (one ULTableSplit per table, added to what the list holds).
// table (may be null) keeps only that table's blocks; lines go through macro replacement when
// a provider is given. Returns the number of conditions read, or -1 with "Cannot read '%s'",
// "Syntax error in line %d '%s'", "Unknown option '%s'", "Empty where condition for '%s' in
// '%s'" or "Duplicate condition for '%s' in '%s'".
int ul_sqlreadwherefile(ULTableSplitList* list, const char16_t* file, const char16_t* table,
                        ULMacroProvider* provider, int flags);

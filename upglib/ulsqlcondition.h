// Split conditions: the condition lists of a table (ULTableSplit), the key boundaries of a
// range (ul_sqlboundary_t), the generator that writes a key range as a where condition over the
// key fields, and the parser that reads such a condition back into its bounds.
//
// Every function returns -1 after setting the error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ulauxfcts.h"
#include "uldllist.h"
#include "ulhashlist.h"

// Row counts; all bits set: unknown, not counted, or no limit.
using ul_dbrowcount_t = uint64_t;
constexpr ul_dbrowcount_t UL_DBROWCOUNT_INVALID = ~static_cast<ul_dbrowcount_t>(0);

// Reads a count as databases deliver it: optional blanks and sign, digits, an optional fraction
// of zeros (decimal columns). A negative count (an estimate that knows nothing) reads as 0.
// False when the text is no count.
bool ul_sqlparserowcount(const char16_t* text, ul_dbrowcount_t* count);

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

    // Appends a condition; inverted, it is put in "NOT( " and " )" (behind a final "--" comment
    // the bracket goes on a new line). Returns 0, or -1 when out of memory.
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

// Follows quotes ('...', "...") and comments over the lines of a condition, fed line by line
// (or as one text), to tell whether the text so far ends inside a "--" comment: whatever is put
// behind such a condition must start on a new line.
class ULSqlCommentScan {
  public:
    void reset() { *this = ULSqlCommentScan(); }
    void feed(std::u16string_view text);
    bool inLineComment() const { return lineComment_; }

  private:
    char16_t quote_ = 0;
    bool block_ = false;  // inside "/* */"
    bool lineComment_ = false;
};

// Appends a user's condition and then follow to out, so that follow stays outside the condition:
// when the condition ends inside a "--" comment, a line feed ends the comment and follow starts
// the next line without its leading blanks (the form a where file writes and reads back). Every
// statement or condition that embeds a given condition is built through here.
void ul_sqlappendembedded(std::u16string* out, std::u16string_view condition,
                          std::u16string_view follow = {});

// ---- key boundaries ----------------------------------------------------------------------------

constexpr unsigned UL_SQLBOUNDARY_MAXVALUES = 200;

// One bound of a key range: (field, value, token class) for the leading key fields. Strings are
// not owned; boundaryAddCheckValue takes them from a string pool. A value may hold NULs: its
// length is kept beside it, and value(i) gives all of it.
struct ul_sqlboundary_t {
    unsigned SQBND_NValues = 0;
    const char16_t* fields[UL_SQLBOUNDARY_MAXVALUES];
    const char16_t* values[UL_SQLBOUNDARY_MAXVALUES];
    size_t lengths[UL_SQLBOUNDARY_MAXVALUES];
    int tokenClasses[UL_SQLBOUNDARY_MAXVALUES];

    void clear() { SQBND_NValues = 0; }
    std::u16string_view value(unsigned i) const { return {values[i], lengths[i]}; }
    void copy(const ul_sqlboundary_t& from);
    // Value by value in each value's token class; when one boundary is a prefix of the other
    // the shorter one comes first.
    int compare(const ul_sqlboundary_t& other) const;
    // The same over the first n values only (both must have them).
    int comparePrefix(const ul_sqlboundary_t& other, unsigned n) const;
    // Appends (field, value) with pooled copies. -1 when full ("Too many values for boundary
    // (%d)") or out of memory.
    int boundaryAddCheckValue(ul_strpool_t* pool, const char16_t* field,
                              std::u16string_view value, int tokenClass);
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

// The same, appended to out; the condition's length is not bounded. Returns 0 or -1.
int ul_sqlappendwherecondition(std::u16string* out, const char16_t* qualifier,
                               const char16_t* const* fields, const int* tokenClasses,
                               const char16_t* const* low, unsigned nlow,
                               const char16_t* const* high, unsigned nhigh,
                               ul_sqlfieldquoter_t quoter, int mode);
// The same over values that may hold NULs (written as the literal form writes control
// characters, e.g. ('a' || char(0) || 'b') on SQLite).
int ul_sqlappendwherecondition(std::u16string* out, const char16_t* qualifier,
                               const char16_t* const* fields, const int* tokenClasses,
                               const std::u16string_view* low, unsigned nlow,
                               const std::u16string_view* high, unsigned nhigh,
                               ul_sqlfieldquoter_t quoter, int mode);

// The length of a leading WHERE keyword (any case) of a condition, 0 when there is none: the
// keyword ends where no identifier can continue it, so "WHERE(K < 5)" and "WHERE\"K\" < 5"
// start with it and "WHEREAS < 5" does not.
size_t ul_sqlwherekeyword(std::u16string_view condition);

// Most brackets ul_sqlwhere2range reads inside each other.
constexpr unsigned UL_SQLWHERE_MAXDEPTH = 200;

// Parses a condition that ul_sqlgenwherecondition wrote (a trailing "--" comment is ignored)
// back into its bounds; field names come back unquoted, without qualifier, and values and names
// are taken from the pool (a value keeps the NULs its character calls wrote, see value(i)). -1 with "Where condition '%s' is no key range: %s", where the reason
// may be "brackets nested too deep" (more than UL_SQLWHERE_MAXDEPTH levels).
int ul_sqlwhere2range(const char16_t* condition, ul_sqlrange_t* range, ul_strpool_t* pool);

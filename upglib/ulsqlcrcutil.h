// CRC files: the text files that carry row counts and checksums of key ranges ("blocks") of
// tables between the two sides of a migration, the model built when a file and the file of the
// other side (the reference file) are read together, the merge of both sides into one tree of
// checksum lines with difference flags, and the evaluation that reports the differences.
//
// A file is a sequence of table sections: "tab:" starts one, header lines ("nttab:", "key:",
// "opt:", "sel:", "typ:", "ignsel:", "whr:") describe it, checksum lines ("qcrc:", "lcrc:",
// "fcrc:") follow. A header part that ends with the end-of-prepare comment may come first, the
// checksum lines of each table then follow behind a repeated "tab:" line. Files are UTF-8; a
// line ending in a backslash goes on on the next line; every line is bounded by the text
// reader's limit. Checksum runs only ever append to a file.
//
// Every status function returns 0 (or a count or bit mask) and -1 after setting the error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ulauxfcts.h"
#include "ulsqlcondition.h"

class ULTextFileWriter;

// The comment text that closes the prepared header part of a file ("# end-of-prepare").
extern const char16_t* const UL_SQLCRCMarker;

// ---- table options ------------------------------------------------------------------------------

enum : unsigned {
    UL_TABCHK_PACKED = 0x100,
    UL_TABCHK_DECOMPRESS = 0x200,
    UL_TABCHK_POOLED = 0x400,
    UL_TABCHK_SORTDUPS = 0x800,
    UL_TABCHK_FILTERBADCHAR = 0x1000,
    UL_TABCHK_KEEPNULLBYTES = 0x2000,
    UL_TABCHK_FIELDCHECKSUMS = 0x4000,
    UL_TABCHK_QUICKRUN = 0x8000,
    UL_TABCHK_VERIFYQUICKRUN = 0x10000,
    UL_TABCHK_ALTNAMETAB = 0x80000,
    UL_TABCHK_NEUTRAL = 0x100000,
    UL_TABCHK_IGNDATETIME = 0x200000,
    UL_TABCHK_DECLUSTERED = 0x400000,
    UL_TABCHK_EMPTYKEY = 0x1000000,  // an empty key value compares as a blank
};

// Attributes of an option name.
enum : unsigned {
    UL_TABCHKATTR_GLOBAL = 0x1,   // may stand in the "gloopt:" line for every table
    UL_TABCHKATTR_WRITENO = 0x2,  // written as "no<name>" when cleared, not when set
};

struct ul_tabchkflagname_t {
    unsigned attributes;
    unsigned bit;     // set or cleared by the name in the own file
    unsigned refBit;  // the same in a reference file; 0: the word is ignored there
    const char16_t* name;
};
// Ends with a row whose name is null.
extern const ul_tabchkflagname_t TabChkFlagNames[];

// String options of a table.
enum ul_chkcrcoptions_t : int { UL_CHKCRCOPT_IGNSEL = 0, UL_CHKCRCOPT_NTTAB = 1 };

// ---- checksum lines -----------------------------------------------------------------------------

enum : unsigned {
    UL_CRCLINE_OWN = 0x1,
    UL_CRCLINE_REF = 0x2,
    UL_CRCLINE_HASPARENT = 0x4,
    UL_CRCLINE_OWNBOUNDARY = 0x40,  // count written with "<"
    UL_CRCLINE_REFBOUNDARY = 0x80,
    UL_CRCLINE_OWNSINGLE = 0x100,  // count 0 or 1
    UL_CRCLINE_REFSINGLE = 0x200,
    UL_CRCLINE_OWNFIELD = 0x400,  // checksum of one field
    UL_CRCLINE_REFFIELD = 0x800,
    UL_CRCLINE_OWNUNVERIFIED = 0x1000,  // count written with "*"
    UL_CRCLINE_REFUNVERIFIED = 0x2000,
    UL_CRCLINE_QUICK = 0x4000,
    UL_CRCLINE_COUNTDIFF = 0x10000,  // C
    UL_CRCLINE_INSERT = 0x20000,     // I: the reference side has more rows
    UL_CRCLINE_DELETE = 0x40000,     // D: this side has more rows
    UL_CRCLINE_CRCDIFF = 0x80000,    // X
    UL_CRCLINE_DELETED = 0x100000,   // field line missing on the reference side
    UL_CRCLINE_EXCLUDED = 0x2000000,
    UL_CRCLINE_DIG = 0x8000000,
    UL_CRCLINE_OWNNOCRC = 0x10000000,  // checksum written as "-"
    UL_CRCLINE_REFNOCRC = 0x20000000,
    UL_CRCLINE_TOP = 0x40000000,  // the entry that stands for the whole table
};
constexpr unsigned UL_CRCLINE_DIFFS = UL_CRCLINE_COUNTDIFF | UL_CRCLINE_CRCDIFF;

// Field number of a boundary that covers whole rows: orders after every field.
constexpr unsigned UL_CRCFIELD_WHOLEROW = ~0u;
// Field number of the start of a row's first field slice: orders before every field.
constexpr unsigned UL_CRCFIELD_ROWSTART = ~0u - 1;
constexpr unsigned UL_CRCLINE_MAXVALUES = UL_SQLBOUNDARY_MAXVALUES;

// A key boundary: the key values (owned by the file's pools; start boundaries share the array
// of the line that ends where they start) and the field number. No values: the beginning of
// the table for a start, its end for an end boundary.
struct ul_sqlcrcboundary_t {
    const std::u16string_view* values = nullptr;
    unsigned nvalues = 0;
    unsigned field = UL_CRCFIELD_WHOLEROW;

    // Key values by the token classes, then the field number (a row's start before its fields,
    // the whole row after them); a start without values is the lowest and an end without
    // values the highest boundary (isEnd tells which each is).
    int compareTo(const ul_sqlcrcboundary_t& other, const int* tokenClasses, bool isEnd,
                  bool otherIsEnd) const;
};

struct ul_chkcrcline_t {
    unsigned flags = 0;
    int ownLine = 0;  // line numbers in the own and the reference file; 0: none
    int refLine = 0;
    ul_dbrowcount_t ownCount = UL_DBROWCOUNT_INVALID;
    ul_dbrowcount_t refCount = UL_DBROWCOUNT_INVALID;
    uint32_t ownCrc = 0;
    uint32_t refCrc = 0;
    const char16_t* ownClient = nullptr;
    const char16_t* refClient = nullptr;
    // A field line covers the fields behind start.field up to end.field of the row both name.
    ul_sqlcrcboundary_t start;
    ul_sqlcrcboundary_t end;
    const char16_t* ownValue = nullptr;  // the field value of a single-field line
    const char16_t* refValue = nullptr;
    ul_chkcrcline_t* next = nullptr;  // tree links
    ul_chkcrcline_t* parent = nullptr;
    ul_chkcrcline_t* child = nullptr;

    bool isField() const { return end.field != UL_CRCFIELD_WHOLEROW; }
    // The first field of a field line, given the number of key fields (a row's slices begin
    // behind the keys).
    unsigned firstField(unsigned nkeys) const {
        return start.field == UL_CRCFIELD_ROWSTART ? nkeys : start.field + 1;
    }
    const char16_t* client() const { return ownClient ? ownClient : refClient; }
};

// ---- evaluators ---------------------------------------------------------------------------------

// Type bits of a reported difference.
enum : int {
    UL_CRCEVAL_UPDATE = 1,
    UL_CRCEVAL_INSERT = 2,
    UL_CRCEVAL_RANGE = 16,
    UL_CRCEVAL_SINGLEROW = 64,
    UL_CRCEVAL_FIELD = 128,
};

// Receives the differences of an evaluation. A chained evaluator receives every call after
// this one.
class ULCRCEvaluator {
  public:
    explicit ULCRCEvaluator(ULCRCEvaluator* chained = nullptr) : m_chained(chained) {}
    virtual ~ULCRCEvaluator() = default;
    // One reported line; line gives the field values and line numbers. Returns 0 or -1.
    [[nodiscard]] virtual int report(int type, const char16_t* table, const char16_t* const* keys,
                                     unsigned nkeys, const std::u16string_view* start,
                                     unsigned nstart, const char16_t* field,
                                     const std::u16string_view* end, unsigned nend,
                                     ul_dbrowcount_t ownCount, ul_dbrowcount_t refCount,
                                     const ul_chkcrcline_t* line) = 0;
    // Called once after the last line of a table. Returns 0 or -1.
    [[nodiscard]] virtual int endTable(const char16_t* table);
    ULCRCEvaluator* chained() const { return m_chained; }

  protected:
    // Passes a call on to the chained evaluator.
    [[nodiscard]] int forward(int type, const char16_t* table, const char16_t* const* keys,
                              unsigned nkeys, const std::u16string_view* start, unsigned nstart,
                              const char16_t* field, const std::u16string_view* end, unsigned nend,
                              ul_dbrowcount_t ownCount, ul_dbrowcount_t refCount,
                              const ul_chkcrcline_t* line);

  private:
    ULCRCEvaluator* m_chained;
};

// Prints each difference as messages 170 to 175 and counts rows to insert, update and delete.
class auxlogcrc_t : public ULCRCEvaluator {
  public:
    using ULCRCEvaluator::ULCRCEvaluator;
    int report(int type, const char16_t* table, const char16_t* const* keys, unsigned nkeys,
               const std::u16string_view* start, unsigned nstart, const char16_t* field,
               const std::u16string_view* end, unsigned nend, ul_dbrowcount_t ownCount,
               ul_dbrowcount_t refCount, const ul_chkcrcline_t* line) override;
    int endTable(const char16_t* table) override;

    unsigned long inserts = 0, updates = 0, deletes = 0;  // of the current table
    unsigned long totalInserts = 0, totalUpdates = 0, totalDeletes = 0;  // of all tables

  private:
    std::u16string m_table;
};

// Registers messages 170 to 175 of class TQ (once per process).
[[nodiscard]] int ul_sqlcrcinitmsgs();

// The tag of a type: "INS", "DEL", "DIFF", or blank for a line without difference.
const char16_t* ul_sqlcrctypetag(int type, unsigned lineFlags);

// The values of a boundary as "'v1' 'v2'" (binary values in hexadecimal).
std::u16string ul_sqlcrcvaluestext(const std::u16string_view* values, unsigned n);

// ---- tables and files ---------------------------------------------------------------------------

class ULCheckCRCFile;

// The field lists of one side of a table.
struct ul_chkcrcside_t {
    std::vector<std::u16string> keys;
    std::vector<std::u16string> sels;
    std::u16string types;  // one type character per selection field
    std::u16string whr;    // the condition behind "WHERE ", empty: none
    unsigned options = 0;  // read from "opt:" lines (reference side: their refBits)
    bool sawCRCLines = false;  // a checksum line of this side was read
    bool sawRangeLines = false;
    int nfieldValues = -1;  // key values of the field lines; -1: none read yet
};

class ULCheckCRCTable {
  public:
    ULCheckCRCTable(ULCheckCRCFile* file, std::u16string name, unsigned flags);

    const std::u16string& name() const { return m_name; }
    const std::u16string& refName() const { return m_refName; }
    void setRefName(std::u16string name) { m_refName = std::move(name); }
    unsigned flags() const { return m_flags; }
    void setFlags(unsigned flags) { m_flags = flags; }
    const std::u16string& getOption(ul_chkcrcoptions_t option) const { return m_strOptions[option]; }
    void setOption(ul_chkcrcoptions_t option, std::u16string value) {
        m_strOptions[option] = std::move(value);
    }

    ul_chkcrcside_t own, ref;
    bool refOnly = false;  // the table appears in the reference file only
    // The whr: condition's bounds (start exclusive, end inclusive), values from the file's
    // pool; null without a whr: line.
    const ul_sqlrange_t* whrRange() const { return m_range.get(); }
    // Token classes of the key fields (from the own types, else from the first values read).
    const int* keyClasses() const { return m_keyClasses.data(); }
    // Reference field number by own selection position; -1: not on the reference side.
    std::vector<int> fieldMap;

    // Lines in the order read (own lines first), then sorted by setup into the tree under top().
    std::deque<ul_chkcrcline_t> lines;
    ul_chkcrcline_t* top() { return &m_top; }
    const ul_chkcrcline_t* top() const { return &m_top; }

    // Difference counters of leaf lines: single rows, unverified quick-run lines, fields.
    unsigned long diffSingle = 0, diffUnverified = 0, diffField = 0;
    unsigned long differences() const { return diffSingle + diffUnverified + diffField; }

    // Parses the text behind a checksum keyword (flags: UL_CRCLINE_OWN or _REF, plus
    // UL_CRCLINE_QUICK for "qcrc:" or UL_CRCLINE_OWNFIELD for "fcrc:") and adds the line.
    [[nodiscard]] int addCRCLine(const char16_t* text, unsigned flags, int lineNumber);
    // Adds a line from values a checksum run computed (the own side). Returns the line or null.
    ul_chkcrcline_t* setCRCLineValues(unsigned flags, const char16_t* client,
                                      const ul_sqlcrcboundary_t& start,
                                      const ul_sqlcrcboundary_t& end, ul_dbrowcount_t count,
                                      uint32_t crc, const char16_t* value, int lineNumber);
    // Formats a line as the file holds it (keyword to the end, no line feed): quick lines as
    // "qcrc:", field lines as "fcrc:", others as "lcrc:"; own side values. Given after (the
    // end of the line written before it in the section; an empty boundary at its start), a
    // start line and a line feed go in front when the line does not start there.
    [[nodiscard]] int formatCRCLine(const ul_chkcrcline_t& line, std::u16string* out,
                                    const ul_sqlcrcboundary_t* after = nullptr) const;

    [[nodiscard]] int genCommonFields();
    [[nodiscard]] int fixFieldOrder();
    [[nodiscard]] int fixFieldNumbers();
    // Sets the difference flags of the lines both sides have (the reader matches them) and
    // orders all lines for setup.
    [[nodiscard]] int mergeLines();
    // Sorts the lines into the tree and counts the differences. Returns 1 when the table has a
    // difference, 0 when not, -1 on error.
    [[nodiscard]] int setup();
    [[nodiscard]] int check() const;
    // Writes the header lines of the section (tab:, nttab:, opt:, ignsel:, whr:).
    [[nodiscard]] int write(ULTextFileWriter* out, unsigned globalOptions) const;

    // Range order: client, start, end descending (an enclosing range first), field.
    int compareCRCRange(const ul_chkcrcline_t& a, const ul_chkcrcline_t& b) const;
    // True when inner lies within outer. Equal ranges and partial overlaps are errors.
    [[nodiscard]] int intervalEnclosed(const ul_chkcrcline_t& outer,
                                       const ul_chkcrcline_t& inner) const;

    // Reader state of the current file.
    struct ReadState {
        ul_sqlcrcboundary_t start;
        bool haveStart = false;    // a line or start line of this file set it
        bool fieldStart = false;   // it was set by a field line
    } readState;

  private:
    friend class ULCheckCRCFile;
    struct ScratchValues {
        std::vector<std::u16string> strings;
        std::vector<std::u16string_view> views;
    };
    int parseValues(const char16_t*& p, const char16_t* text, bool field, ScratchValues* buffer,
                    std::u16string* fieldValue);
    // Reconciles the field lists and orders the own lines, once, before the first reference
    // line is merged.
    int prepareRefMerge();
    // Merges a reference line into the own line of the same range, or keeps it as a line of
    // its own (1).
    int mergeRefLine(ul_chkcrcline_t* line);
    const std::u16string_view* poolBoundary(const ul_sqlcrcboundary_t& b);
    int appendValues(const ul_sqlcrcboundary_t& b, std::u16string* out) const;
    int fieldNumber(const std::u16string& name, bool refSide, unsigned* number) const;
    int noteKeyClasses(const std::vector<int>& classes, const char16_t* text);

    ULCheckCRCFile* m_file;
    std::u16string m_name;
    std::u16string m_refName;
    unsigned m_flags;
    std::u16string m_strOptions[2];
    std::unique_ptr<ul_sqlrange_t> m_range;
    std::vector<int> m_keyClasses;
    ul_chkcrcline_t m_top;
    std::vector<ul_chkcrcline_t*> m_sorted;     // by range, left by mergeLines for setup
    std::vector<ul_chkcrcline_t*> m_ownSorted;  // own lines by range while merging
    std::vector<int> m_refToOwn;                // own field number by reference field number
    bool m_refIdentity = false;                 // m_refToOwn keeps every number
    bool m_refPrepared = false;
    size_t m_mergeCursor = 0;
    // Reused by the line parser: the values of the current line and of the current start.
    ScratchValues m_scratch[2];
    std::u16string m_scratchField;
    std::vector<int> m_scratchClasses;
    // The field numbers ending the field lines read so far, by side and row key: a field line
    // starts behind the nearest of them below its own, so that the lines digging into a
    // slice of several fields nest inside it.
    std::unordered_map<std::u16string, std::vector<unsigned>> m_rowFields[2];
    unsigned fieldLineStart(bool refSide, const ul_sqlcrcboundary_t& end);
};

// Read modes.
enum : int {
    UL_CRCREAD_REFERENCE = 0x1,  // the file read is the reference file
    UL_CRCREAD_PREPARED = 0x10,  // stop at the end-of-prepare comment
};

// Evaluation flags.
enum : int {
    UL_CRCEVAL_SINGLEDIFFS = 0x1,
    UL_CRCEVAL_ALL = 0x2,
    UL_CRCEVAL_GIVEN = 0x4,  // report to the evaluator given
    UL_CRCEVAL_LOG = 0x100,  // report to the printing evaluator
};

class ULCheckCRCFile {
  public:
    explicit ULCheckCRCFile(unsigned long sliceCount = 1000);
    ~ULCheckCRCFile();
    ULCheckCRCFile(const ULCheckCRCFile&) = delete;
    ULCheckCRCFile& operator=(const ULCheckCRCFile&) = delete;

    // The default bits of a new table, from the global SQL options.
    static unsigned getDefFlags();

    // Reads the own file, then the reference file (may be null), then sets up the trees.
    // Returns 1 when a table has a difference, 0 when not, -1 on error.
    [[nodiscard]] int read(const char16_t* crcfile, const char16_t* reffile, int mode);
    // Reads one file. Returns 0 or -1 ("Syntax error line %d '%s'" after the reason).
    [[nodiscard]] int read1(const char16_t* file, int mode);
    // Merges the reference side and builds the trees. 1 when a table has a difference.
    [[nodiscard]] int setup();
    // Rewrites the header part (gloopt:, then each table's header lines; the end-of-prepare
    // comment when mode bit 0 is set).
    [[nodiscard]] int write(const char16_t* file, int mode) const;
    // Appends one header section to an open file. flags ~0u: the default flags.
    [[nodiscard]] static int prepare(ULTextFileWriter* out, const char16_t* table,
                                     const char16_t* reftable, const char16_t* nttab,
                                     const char16_t* const* keys, unsigned nkeys,
                                     const char16_t* const* sels, unsigned nsels,
                                     const char16_t* const* ignsels, unsigned nignsels,
                                     const char16_t* where, unsigned flags, bool marker);
    [[nodiscard]] int writeGlobalOptLine(ULTextFileWriter* out) const;
    [[nodiscard]] int readGlobalOptions(const char16_t* text);

    // The table by name (ignoring case); null, and with quiet false "Table '%s' not seen in
    // CRC file", when there is none.
    ULCheckCRCTable* getTable(const char16_t* name, bool quiet);
    // Creates a table at the end of the file order.
    ULCheckCRCTable* addTable(const char16_t* name);
    std::vector<std::unique_ptr<ULCheckCRCTable>>& tables() { return m_tables; }
    bool tableRead(const char16_t* name) { return getTable(name, true) != nullptr; }

    // Reports the differences (flags UL_CRCEVAL_*). Returns the number reported or -1.
    [[nodiscard]] int evaluate(ULCRCEvaluator* evaluator, int flags, const char16_t* onlyTable);

    unsigned globalOptions() const { return m_globalOptions; }
    unsigned globalMask() const { return m_globalMask; }
    const std::vector<std::u16string>& cascClients() const { return m_cascClients; }
    unsigned long nrCascClients() const { return m_nrCascClients; }
    const std::u16string& str() const { return m_str; }
    unsigned long sliceCount() const { return m_sliceCount; }

    ul_strpool_t pool;
    // Stores an array of values, with copies of their texts in pool unless the texts are
    // pooled already. Null when out of memory.
    const std::u16string_view* storeValues(const std::vector<std::u16string_view>& values,
                                           bool copyTexts = true);

  private:
    int readLine(const char16_t* line, int lineNumber, int mode, ULCheckCRCTable** current);
    int readHeader(ULCheckCRCTable* table, std::u16string_view keyword, const char16_t* value,
                   bool ref);

    unsigned m_globalOptions = 0;
    unsigned m_globalMask = 0;  // options the gloopt: line names
    std::vector<std::u16string> m_cascClients;
    unsigned long m_nrCascClients = ~0ul;
    std::u16string m_str;
    std::vector<std::unique_ptr<ULCheckCRCTable>> m_tables;
    std::unordered_map<std::u16string, ULCheckCRCTable*> m_byName;  // upper-case names
    unsigned long m_sliceCount;
    std::vector<std::unique_ptr<std::u16string_view[]>> m_valueBlocks;
    size_t m_valueFree = 0;
};

// Reads a name list ("A, B" or blank separated, names in double quotes where needed).
[[nodiscard]] int ul_sqlcrcreadnames(const char16_t* text, std::vector<std::u16string>* names);
// Appends a name, in double quotes when needed.
void ul_sqlcrcappendname(std::u16string* out, std::u16string_view name);
// The token class of a type character.
int ul_sqlcrctokenclass(char16_t type);

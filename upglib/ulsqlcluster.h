// Cluster and pool tables: the packed row buffer, the row callbacks that turn physical rows of
// cluster, block-number and pool tables back into logical rows, the statement that reads a
// logical table as if it were transparent, and the writer that stores logical rows in the
// physical tables. docs/cluster-tables.md defines the stored formats.
//
// Every callback here forwards to the next callback given at init; it does not own it. A
// failure sets the error text and returns -1 to the statement, which stops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ulq7ldobj.h"
#include "ulsqlbase.h"

// ---- packed row buffer -------------------------------------------------------------------------

// Descriptor word of an absent value (no raw value, no string).
constexpr uint32_t UL_PACKROW_NONE = 0xFFFFFFFFu;

// Stores tag and n fields (raw[i]/rawLengths[i], strings[i]; a null pointer stores "no value")
// into buffer, which must be 8-byte aligned. With a null buffer only the size is computed.
// Returns the bytes used, or -1 with "Packed row of %zu bytes exceeds buffer of %zu bytes".
[[nodiscard]] long ul_sqlpackrowstore(void* buffer, size_t size, uint32_t tag,
                                      const unsigned char* const* raw,
                                      const char16_t* const* strings, const unsigned* rawLengths,
                                      unsigned n, int mode);
// Points raw[i], strings[i] (null for no value) into buffer and sets rawLengths[i], for at
// most n fields. Returns the field count, or -1 with "Packed row holds %u fields, room for %u".
[[nodiscard]] int ul_sqlpackrowrestore(const void* buffer, uint32_t* tag, const unsigned char** raw,
                                       const char16_t** strings, unsigned* rawLengths, unsigned n,
                                       int mode);
// Compares two packed rows on their first nkeys fields, field i by keyTypes[i] (a token class
// of ulsqlutilext.h: HEXSTRING compares the raw bytes, the others the strings). A missing
// value sorts first. Negative, zero or positive.
[[nodiscard]] int ul_sqlpackrowcompare(unsigned nkeys, const int* keyTypes, const void* a,
                                       const void* b, int mode);
// The size of a packed row as stored (from its descriptors).
size_t ul_sqlpackrowsize(const void* buffer);

// A native integer column value of 1, 2, 4 or 8 bytes (1 byte unsigned, the others signed);
// false for any other length.
bool ul_sqlreadnativeint(const unsigned char* raw, unsigned length, long* value);

// ---- row callbacks -----------------------------------------------------------------------------

// Row flag: the pool length column is a big-endian number over all its bytes.
constexpr unsigned UL_ROW_BIGENDIAN = 0x10000;

// Bytes of the header in front of a cluster record or a block-number record.
constexpr unsigned UL_CLUSTER_HEADER = 8;
// Format words of the record header.
enum : unsigned { UL_CLUSTER_FMT_PLAIN = 0, UL_CLUSTER_FMT_COMPRESSED = 1 };

// Base of the callbacks that pass rows on: forwards the text lengths of values that hold NUL
// characters along with a row, and asks the next receiver which texts it wants (a callback
// that moves or consumes columns says so in its own wantsText).
class ULSQLForwardCallBack : public ULSQLCallBack {
  public:
    bool takesNulInText() const override { return next_ && next_->takesNulInText(); }
    bool wantsText(unsigned column) const override { return !next_ || next_->wantsText(column); }
    const char16_t* crossEngineTable() const override {
        return next_ ? next_->crossEngineTable() : nullptr;
    }

  protected:
    [[nodiscard]] int forward(unsigned flags, const unsigned char** raw, const char16_t** values,
                              unsigned* lengths, unsigned ncols);
    // Forwards a row whose text lengths the caller knows (textLengths: ncols entries).
    [[nodiscard]] int forward(unsigned flags, const unsigned char** raw, const char16_t** values,
                              unsigned* lengths, unsigned ncols, const size_t* textLengths);
    ULSQLCallBack* next_ = nullptr;
    std::vector<size_t> textLengths_;
};

// Joins the pages (or blocks) of each grouping key. Input: nkeys grouping key fields, the page
// number, possibly further fields, the page length (second-to-last) and the page data (last),
// ordered by key and page number. Output per key: the grouping key fields and one raw column
// holding the joined record, header included.
class ULSQLSelectPacked : public ULSQLForwardCallBack {
  public:
    // table names the physical table in messages.
    void init(unsigned nkeys, ULSQLCallBack* next, const char16_t* table);
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;
    // Hands on the open block; call once after the statement ends. Returns 0 or -1.
    [[nodiscard]] int finish();
    unsigned long blocks() const { return blocks_; }
    // The key fields keep their places; page number, length and data are read as raw bytes.
    bool wantsText(unsigned column) const override {
        return column < nkeys_ && ULSQLForwardCallBack::wantsText(column);
    }

  private:
    [[nodiscard]] int startBlock(const unsigned char** raw, const char16_t** values,
                                 const unsigned* lengths);
    [[nodiscard]] int flushBlock();
    [[nodiscard]] bool sameKey(const unsigned char** raw, const unsigned* lengths) const;
    std::u16string keyText() const;

    unsigned nkeys_ = 0;
    std::u16string table_;
    bool open_ = false;
    long lastPage_ = -1;
    size_t declared_ = 0;  // header + body length, once page 0 is in
    unsigned pages_ = 0;
    unsigned long rows_ = 0;
    unsigned long blocks_ = 0;
    std::vector<std::vector<unsigned char>> keyRaw_;
    std::vector<bool> keyNull_;
    std::vector<std::u16string> keyText_;
    std::vector<bool> keyHasText_;
    std::vector<unsigned char> block_;
};

// Cuts the data (last column) of pool rows to the length in the second-to-last column.
class ULSQLSelectPooled : public ULSQLForwardCallBack {
  public:
    void init(unsigned ncols, ULSQLCallBack* next);
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;

  private:
    std::vector<unsigned> lengths_;
};

// Expands the compressed long raw fields of a row. Needs the header rows of type letters and
// names (UL_SQLMODE_HDR_TYPE | UL_SQLMODE_HDR_NAME) before the data.
class ULSQLSelectDecompress : public ULSQLForwardCallBack {
  public:
    // Table-name modes: DYNP*, D02*: every long raw field; REPO*, D01*: UTF-16 text, DATALG in
    // characters; others: the last long raw field only, with flag 1 DATALG is left as stored.
    enum class Mode { screens, sources, other };
    void init(const char16_t* table, ULSQLCallBack* next, int flags);
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;
    Mode mode() const { return mode_; }

  private:
    [[nodiscard]] int expandField(unsigned i, const unsigned char* raw, unsigned length);

    std::u16string table_;
    Mode mode_ = Mode::other;
    int flags_ = 0;
    std::vector<unsigned> blobs_;
    int datalg_ = -1;
    bool described_ = false;
    std::vector<std::vector<unsigned char>> expanded_;
    std::vector<const unsigned char*> raw_;
    std::vector<unsigned> lengths_;
    std::vector<unsigned char> lengthValue_;
};

// Collects consecutive rows with equal keys and passes each group on sorted by all its values.
class ULSQLSelectSortDuplicates : public ULSQLForwardCallBack {
  public:
    // keyTypes: nkeys token classes (ulsqlutilext.h); copied.
    void init(unsigned nkeys, const int* keyTypes, int mode, ULSQLCallBack* next);
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;
    // Passes on the last group; call once after the statement ends.
    [[nodiscard]] int finish();
    // Keys are compared by their text (by their token class).
    bool wantsText(unsigned column) const override {
        return column < nkeys_ || ULSQLForwardCallBack::wantsText(column);
    }

  private:
    [[nodiscard]] int flush();
    unsigned nkeys_ = 0;
    std::vector<int> keyTypes_;
    int mode_ = 0;
    unsigned ncols_ = 0;
    std::vector<std::unique_ptr<uint64_t[]>> group_;
    std::vector<const unsigned char*> raw_;
    std::vector<const char16_t*> values_;
    std::vector<unsigned> lengths_;
};

// ---- logical tables ----------------------------------------------------------------------------

class ULSQLRecordDecoder;
struct ULSQLLogicalState;

// Mode bits of ULSQLStmtLogicalTable::select and execute, beside the header bits.
enum : int {
    UL_LOGREAD_LOWEXCL = 0x10000,   // the low boundary itself lies outside the range
    UL_LOGREAD_HIGHEXCL = 0x20000,  // the high boundary itself lies outside the range
    // Packed and decimal values come as stored, unchecked: the bytes of a packed value (with
    // its text only when they form a packed number), the characters of a decimal text.
    UL_LOGREAD_STORED = 0x40000,
};

// Reads a logical cluster or pool table by its name: builds the statement on the physical
// table, restores the records, keeps the logical table's rows inside the key range and hands
// them on with the logical table's own field descriptions.
class ULSQLStmtLogicalTable : public ULSQLStmtBase {
  public:
    ULSQLStmtLogicalTable();
    ~ULSQLStmtLogicalTable() override;

    // statement: "SELECT * | f1, f2, ... FROM <logical table> [WHERE K1 = ? [AND K2 = ?]...]",
    // the conditions on leading key fields in key order. Returns 0 or -1.
    [[nodiscard]] int prepare(const char16_t* statement, int flags);
    using ULSQLStmtBase::bindParam;
    [[nodiscard]] int bindParam(unsigned index, const char16_t* value, int flags) override;
    [[nodiscard]] int bindParam(unsigned index, const unsigned char* raw, unsigned long length,
                                int flags) override;
    [[nodiscard]] int bindParam(unsigned index, long value) override;
    [[nodiscard]] long execute(ULSQLCallBack* callback, unsigned long* count, int mode) override;
    unsigned getNParams() const override { return nParams_; }

    // Reads fields (all when nfields is 0) of table whose key lies within the low and high
    // boundary values (texts of the leading key fields; inclusive unless the mode bits
    // UL_LOGREAD_*EXCL exclude them; none: unbounded). descs,
    // when given, receives the nfields (or all) output descriptions, whose names point into
    // this statement. Returns the callback's stop value, 0, or -1.
    [[nodiscard]] long select(const char16_t* table, const char16_t* const* fields,
                              ul_sqlfielddesc_t* descs, unsigned nfields,
                              const char16_t* const* low, unsigned nlow,
                              const char16_t* const* high, unsigned nhigh, ULSQLCallBack* callback,
                              unsigned long* count, int mode);

  private:
    [[nodiscard]] int describe(const char16_t* table, const char16_t* const* fields,
                               unsigned nfields);
    [[nodiscard]] int preparePhysical();
    [[nodiscard]] int dbError();
    [[nodiscard]] int checkParam(unsigned index);
    [[nodiscard]] int setBoundary(const char16_t* const* values, unsigned n, bool high);
    [[nodiscard]] long run(ULSQLCallBack* callback, unsigned long* count, int mode);

    std::unique_ptr<ULSQLRecordDecoder> decoder_;
    std::unique_ptr<ULSQLLogicalState> state_;
    std::u16string table_;
    std::vector<std::u16string> selected_;
    unsigned nParams_ = 0;
    std::vector<std::u16string> params_;
    std::vector<bool> paramSet_;
};

// Stores logical rows in a physical cluster or pool table. Rows are kept until flush() (or
// close()) writes them, so the writer may be fed from a query that is still running; a caller
// that produces rows key by key flushes after each key, so memory stays flat. Writing a record
// whose key is already stored fails.
class ULSQLLogicalWriter {
  public:
    ULSQLLogicalWriter();
    ~ULSQLLogicalWriter();
    // physical names a table of form 'C' or 'P'. pageSize: page bytes of a cluster (at most
    // the length of VARDATA, at least 16). compress: store cluster records compressed.
    [[nodiscard]] int open(const char16_t* physical, unsigned pageSize, bool compress);
    // Reads the nametab entry of a logical table of the physical table. addRow does it for a
    // table it has not seen, but that runs statements, which must not happen while the query
    // feeding addRow is still open. Returns 0 or -1.
    [[nodiscard]] int addTable(const char16_t* table) { return logical(table) ? 0 : -1; }
    // Adds one row of a logical table of the physical table, in the raw forms of its fields
    // (raw[i] null: null value). Returns 0 or -1.
    [[nodiscard]] int addRow(const char16_t* table, const unsigned char* const* raw,
                             const unsigned* lengths, unsigned n);
    [[nodiscard]] int flush();
    [[nodiscard]] int close();
    unsigned long rowsWritten() const { return physicalRows_; }

  private:
    struct Logical;
    struct Record {
        std::vector<std::vector<unsigned char>> keyRaw;
        std::map<std::u16string, std::pair<unsigned long, std::vector<unsigned char>>> sections;
    };
    [[nodiscard]] Logical* logical(const char16_t* table);
    [[nodiscard]] int writeRecord(const Record& record);
    [[nodiscard]] int writePoolRow(const Logical& table, const unsigned char* const* raw,
                                   const unsigned* lengths);
    [[nodiscard]] int writePoolRows();
    struct PoolRow {
        std::u16string table;
        std::u16string varkey;
        std::vector<unsigned char> data;
    };
    std::vector<PoolRow> poolRows_;

    ULLDObject physical_;
    bool pool_ = false;
    unsigned pageSize_ = 0;
    bool compress_ = false;
    unsigned nkeys_ = 0;
    std::vector<ul_sqlfielddesc_t> physDescs_;
    std::vector<std::u16string> physNames_;
    std::unique_ptr<ULSQLStmt> insert_;
    std::map<std::u16string, std::unique_ptr<Logical>> logicals_;
    std::map<std::string, Record> records_;  // by the grouping key's values in record encoding
    std::u16string timestamp_;
    unsigned long physicalRows_ = 0;
};

// Appends one value in the record encoding (length word and raw form) to out.
void ul_sqlclusterputvalue(std::vector<unsigned char>* out, const unsigned char* raw,
                           unsigned length);

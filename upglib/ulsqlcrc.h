// The checksum scan of a table region: reads the rows of one key range in key order (or
// unordered for a quick checksum), feeds the raw bytes of every selected field into CRC
// registers and appends one checksum line per block to the CRC file, flushed line by line.
//
// The rows pass a chain of row callbacks before they are checksummed: packed-row restore,
// decompression, pool restore and duplicate sorting (ulsqlcluster), the client distribution,
// the bad-character filter and the negative-zero fix below, and last AuxCalcCRCValues. Each
// filter forwards the rows it accepts to the next callback, which it does not own.
//
// Every value is checksummed in its raw form; text is used only of the key fields (boundaries,
// the key order check, the client) and, for single-field lines, of the values shown. A quick
// scan reads raw bytes only. Memory does not grow with the table: a scan keeps one row's keys.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ulsqlcluster.h"
#include "ulsqlcrcanalyze.h"

class ULTextFileWriter;

// Registers of a quick checksum: row checksums are folded into this many buckets.
constexpr unsigned UL_CRCQUICK_BUCKETS = 251;

// One checksum computed during a scan: one per client for client-specific checksums.
struct ul_crcrecord_t {
    int index = 0;          // in the scan's records
    std::u16string client;  // empty: all rows
    bool hasClient = false;
    unsigned blockCrc = 0xFFFFFFFFu;
    unsigned totalCrc = 0xFFFFFFFFu;
    unsigned rowCrc = 0xFFFFFFFFu;
    std::vector<unsigned> buckets;    // UL_CRCQUICK_BUCKETS words in quick mode
    std::vector<unsigned> fieldCrcs;  // one register per field slice in field mode
    ul_dbrowcount_t blockRows = 0;
    ul_dbrowcount_t totalRows = 0;
    // Block state: start of the open block, key of the last row, a close at the next key.
    ul_sqlcrcboundary_t start;  // values pooled by the CRC file
    unsigned long slice = 0;    // rows per own block
    uint32_t quickCrc = 0;      // the quick checksum, once closed
    std::vector<std::u16string> lastKey;
    std::vector<std::vector<unsigned char>> lastKeyRaw;
    std::vector<bool> lastKeyNull;
    bool haveLast = false;
    bool closePending = false;
    bool sampled = false;  // sampling: the rows wanted are in
    size_t nextBoundary = 0;
    std::vector<const ul_chkcrcline_t*> boundaries;  // of this record's client
    unsigned long lines = 0;
    unsigned long duplicates = 0;
};

// Distributes rows to the checksum records of their clients (the client value in column 0):
// the records of a client list, or, with a factor, one record per client the data brings, at
// most that many. An unknown client fails the scan ("Unexpected cascaded client '%s'").
class AuxCalcCRCValues;
class AuxCascadeClients : public ULSQLForwardCallBack {
  public:
    // maxClients: 0 for a fixed list, else the most clients the data may bring.
    void init(AuxCalcCRCValues* calc, unsigned long maxClients, ULSQLCallBack* next);
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;

  private:
    AuxCalcCRCValues* calc_ = nullptr;
    unsigned long maxClients_ = 0;
};

// Drops rows whose key fields (the first nkeys columns of character type) hold a character
// below 32, logging "Filtering bad row with key:" and each key field.
class AuxFilterBadCharScan : public ULSQLForwardCallBack {
  public:
    // keyTypes: nkeys type letters (C, N, ...); copied. names: the key field names.
    void init(const std::vector<std::u16string>& names, const std::u16string& keyTypes,
              ULSQLCallBack* next);
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;
    unsigned long filtered() const { return filtered_; }

  private:
    std::vector<std::u16string> names_;
    std::u16string types_;
    unsigned long filtered_ = 0;
};

// Replaces a packed decimal negative zero (all digits 0, negative sign) by a positive zero in
// the packed columns, counting each replacement.
class AuxBCDMinusZero : public ULSQLForwardCallBack {
  public:
    // packedColumns: the column numbers of packed decimal type.
    void init(std::vector<unsigned> packedColumns, ULSQLCallBack* next);
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;
    unsigned long fixed() const { return fixed_; }

  private:
    std::vector<unsigned> columns_;
    std::vector<const unsigned char*> raw_;
    std::vector<std::vector<unsigned char>> copies_;
    unsigned long fixed_ = 0;
};

// The last callback of the chain: computes the checksums of one region of a table and writes
// its lines. One object scans one region; the file, table and writer are the caller's.
class AuxCalcCRCValues : public ULSQLCallBack {
  public:
    AuxCalcCRCValues(ULCheckCRCFile* file, ULCheckCRCTable* table, ULTextFileWriter* out,
                     unsigned runFlags);
    ~AuxCalcCRCValues() override;
    AuxCalcCRCValues(const AuxCalcCRCValues&) = delete;
    AuxCalcCRCValues& operator=(const AuxCalcCRCValues&) = delete;

    // Scans the region of the request, appends the lines to out (flushed per line) and adds
    // them to the table's model (setCRCLineValues). 0 or -1 (error text set).
    [[nodiscard]] int runCRCTable(const ul_crcscanrequest_t& request);
    unsigned long newLines() const { return newLines_; }
    // Written lines whose count or checksum differ from the reference line of the same range.
    unsigned long newDifferences() const { return newDifferences_; }
    // Rows checksummed (all records) and duplicate keys seen.
    ul_dbrowcount_t rows() const;
    unsigned long duplicates() const;

    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;
    bool takesNulInText() const override { return true; }
    // The checked table: a query warns about the columns that may not check equal on another
    // database.
    const char16_t* crossEngineTable() const override { return table_->name().c_str(); }
    // Text of the key fields when the scan uses them, and of the fields whose values lines
    // show; every other column comes as raw bytes only.
    bool wantsText(unsigned column) const override;

    // For AuxCascadeClients: makes the record of a client current; with create, a client not
    // seen yet gets a new record. -1 with "Unexpected cascaded client '%s'".
    [[nodiscard]] int selectClient(std::u16string_view client, bool create);
    size_t records() const { return records_.size(); }

  private:
    struct Plan;
    [[nodiscard]] int determineCRCRanges(const ul_crcscanrequest_t& request);
    [[nodiscard]] int setupCRCRangeValues(ul_crcrecord_t* record, std::u16string client,
                                          bool hasClient);
    [[nodiscard]] int writeCommentLine();
    [[nodiscard]] int convertNeutralKeys();
    [[nodiscard]] int runCRCStatement();
    [[nodiscard]] int genCRCStatement(std::u16string* sql);
    [[nodiscard]] int addCRCWhereCondition(std::u16string* sql);
    [[nodiscard]] int exeCRCStatement(const std::u16string& sql);
    [[nodiscard]] int exeLogicalStatement(int logicalType);
    [[nodiscard]] int announceStatement(const std::u16string& sql, int logicalType);
    [[nodiscard]] int fetchFieldDescs(int* logicalType);
    ULSQLCallBack* buildChain();
    [[nodiscard]] int finishChain();
    [[nodiscard]] int calculateCRCValues(ul_crcrecord_t* r, const unsigned char** raw,
                                         const char16_t** values, const unsigned* lengths,
                                         unsigned ncols);
    [[nodiscard]] int calculateCRCValuesQUICK(ul_crcrecord_t* r, const unsigned char** raw,
                                              const unsigned* lengths, unsigned ncols);
    void addData2Checksum(unsigned* a, unsigned* b, unsigned field, const unsigned char* p,
                          size_t n);
    // The bytes of a field that are checksummed, written to out (room for n bytes): the value,
    // or its text without NUL characters (and numeric text without leading blanks and zeros).
    size_t fieldBytes(unsigned field, const unsigned char* data, size_t n,
                      unsigned char* out) const;
    // Room for n bytes in the row buffer.
    unsigned char* rowSpace(size_t n);
    // The checksummed bytes of all fields of a row into the row buffer; returns their number.
    size_t gatherRow(const unsigned char** raw, const unsigned* lengths, unsigned ncols);
    void addBytes(unsigned* a, unsigned* b, const unsigned char* data, size_t n);
    void addQuickRow(ul_crcrecord_t* r, size_t n);
    [[nodiscard]] int checkLastKeyColumns(ul_crcrecord_t* r, const unsigned char** raw,
                                          const unsigned* lengths);
    [[nodiscard]] int keyText(unsigned i, const unsigned char** raw, const char16_t** values,
                              const unsigned* lengths, std::u16string* out) const;
    [[nodiscard]] int compareKeyWith(const ul_crcrecord_t& r,
                                     const ul_sqlcrcboundary_t& boundary) const;
    bool insideLogicalRange(const ul_crcrecord_t& r) const;
    [[nodiscard]] int checkSliceCount(ul_crcrecord_t* r);
    [[nodiscard]] int advanceNextBoundary(ul_crcrecord_t* r, bool atEnd);
    [[nodiscard]] int closeBlock(ul_crcrecord_t* r, const ul_sqlcrcboundary_t& end, bool beyond,
                                 const ul_chkcrcline_t* boundary);
    [[nodiscard]] int writeCRCLine(ul_crcrecord_t* r, unsigned flags,
                                   const ul_sqlcrcboundary_t& end, ul_dbrowcount_t count,
                                   uint32_t crc, const char16_t* value);
    [[nodiscard]] int writeStartLine(const ul_crcrecord_t& r);
    [[nodiscard]] int writeText(const std::u16string& text);
    [[nodiscard]] int addTabLine0();
    [[nodiscard]] int closeCRCStatements();
    [[nodiscard]] int closeCRCStatement(ul_crcrecord_t* r);
    [[nodiscard]] int writeFieldLines(ul_crcrecord_t* r);
    [[nodiscard]] int checkTotals();
    [[nodiscard]] int checkTotal(const ul_crcrecord_t& r, int index);
    [[nodiscard]] int compareWithLine(const ul_chkcrcline_t& line, ul_dbrowcount_t rows,
                                      uint32_t crc, int index);
    [[nodiscard]] int printCRCStatistics();
    [[nodiscard]] int lastKeyBoundary(const ul_crcrecord_t& r, ul_sqlcrcboundary_t* out);
    [[nodiscard]] int closeAtLastKey(ul_crcrecord_t* r);
    void prepareFeeds();
    bool needsText() const;
    [[nodiscard]] int keepFieldValues(const unsigned char** raw, const char16_t** values,
                                      const unsigned* lengths, unsigned ncols);
    void noteDifference(ul_chkcrcline_t* line);

    ULCheckCRCFile* file_;
    ULCheckCRCTable* table_;
    ULTextFileWriter* out_;
    unsigned runFlags_;
    std::unique_ptr<Plan> plan_;
    std::deque<ul_crcrecord_t> records_;  // stable while records are added
    ul_crcrecord_t* current_ = nullptr;
    unsigned long newLines_ = 0;
    unsigned long newDifferences_ = 0;
};

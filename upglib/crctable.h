// The crctable command: computes row counts and checksums of tables in key-ordered blocks and
// appends them to a CRC file; given the other side's file (the reference file) it reproduces
// the other side's blocks and digs into the differing ones. Each run appends; the result bits
// tell the caller whether the other side has to run again. Its handler cmd_CRCTABLE is
// declared with the command table (tabrix.h).
#pragma once

#include <memory>
#include <string>

#include "ulq7ldobjcache.h"
#include "ulsqlcrcanalyze.h"
#include "ultextfile.h"

// Result bits of a run.
enum : int {
    UL_CRCRESULT_NEWLINES = 0x1,   // checksum lines were added
    UL_CRCRESULT_OTHERSIDE = 0x2,  // the other side has to run
    UL_CRCRESULT_DIFFS = 0x8,      // differences in counts or checksums are known
};

// Field-list limits of the options that prepare a file.
constexpr size_t UL_CRCTABLE_MAXLIST = 256;  // characters of a list
constexpr size_t UL_CRCTABLE_MAXKEYS = 500;
constexpr size_t UL_CRCTABLE_MAXSELS = 1000;

// One run over every table of a CRC file: completes the field lists of the sections (from the
// structure file named by "str:" or from the nametab) and appends the header lines missing,
// then scans each table once without digging and, with UL_CRCRUN_DIGGING, once more digging
// into a difference. Connects unless connected. reffile may be null. Returns the result bits
// or -1.
[[nodiscard]] int ul_sqltablecrcrun(const char16_t* crcfile, const char16_t* reffile,
                                    unsigned runFlags);

// The state of one run: the files, the writer appending to the own file, the object cache of
// the structure file.
class AuxCRCTableRun {
  public:
    AuxCRCTableRun(const char16_t* crcfile, const char16_t* reffile, unsigned runFlags);

    // Reads the own file, completes its sections' field lists (which needs the connection;
    // the file is read again once header lines were added), reads the reference file and sets
    // the trees up. Returns 1 when a difference is known, 0 when not, -1.
    [[nodiscard]] int read();
    ULCheckCRCFile* file() { return m_file.get(); }
    // The description of a table from the structure file or the nametab, in *object (owned by
    // the cache or by holder). Returns 0 or -1.
    [[nodiscard]] int getFields(ULCheckCRCTable* table, ULLDObject** object,
                                std::unique_ptr<ULLDObject>* holder);
    // Key fields (keys) or selection fields of the object into the table's own lists.
    [[nodiscard]] int addFields(ULCheckCRCTable* table, const ULLDObject& object, bool keys);
    // The type characters of the selections.
    [[nodiscard]] int addSelTypes(ULCheckCRCTable* table, const ULLDObject& object);
    // Appends a header line: kind 1 key fields, 2 selection fields, 3 types.
    [[nodiscard]] int writeFields(int kind, ULCheckCRCTable* table);
    // Appends an "opt:" line for the bits changed from old.
    [[nodiscard]] int writeOptions(ULCheckCRCTable* table, unsigned old);
    // 1 when the table has a region left to scan (on either side), 0 when not, -1.
    [[nodiscard]] int workLeft(ULCheckCRCTable* table);
    // One table, with or without digging. Returns the result bits or -1.
    [[nodiscard]] int execRun(ULCheckCRCTable* table, unsigned runFlags);

  private:
    // The analysis settings of this run's files.
    ul_crcanalyzeargs_t analyzeArgs(unsigned runFlags, bool quiet) const;
    // Returns 1 when header lines were added, 0 when the section was complete, -1.
    [[nodiscard]] int completeTable(ULCheckCRCTable* table);
    [[nodiscard]] int ignoreFields(ULCheckCRCTable* table);
    [[nodiscard]] int setOptionsFromObject(ULCheckCRCTable* table, const ULLDObject& object,
                                           unsigned descFlags);
    [[nodiscard]] int writeTabLine(ULCheckCRCTable* table);
    [[nodiscard]] int refPartsMissing(const ULCheckCRCTable& table);

    std::unique_ptr<ULCheckCRCFile> m_file;
    std::u16string m_crcfile;
    std::u16string m_reffile;  // empty: none
    unsigned m_runFlags;
    ULTextFileWriter m_out;
    std::unique_ptr<ULLDObjectCache> m_cache;  // with a "str:" entry
    const ULCheckCRCTable* m_tabWritten = nullptr;  // the table of the last tab: line written
};

// What one checksum run has to scan in a table: the analysis of the merged line tree of a CRC
// file and its reference file picks at most one region per table and run, together with the
// slice size and the boundaries its blocks must follow. The scan (ulsqlcrc) consumes the
// request; the run (crctable) ties both together.
#pragma once

#include <cstddef>
#include <vector>

#include "ulsqlcrcutil.h"

// Run flags of a checksum run.
enum : unsigned {
    UL_CRCRUN_DIGGING = 0x1,      // dig into differing blocks (cleared by "nodigging")
    UL_CRCRUN_DECLUSTERED = 0x2,  // logical cluster tables read as transparent tables
    UL_CRCRUN_DEPOOLED = 0x4,     // logical pool tables read as transparent tables
    UL_CRCRUN_SAMPLING = 0x100,   // stop a table after UL_SQLCRCNrSamples rows
};

// Settings of the checksum runs of this process (options of crctable).
inline unsigned long UL_TabChkMaxDifferences = 49;  // stop digging beyond; ~0ul: "all"
inline unsigned long UL_SQLCRCSliceCount = 1000;    // rows per block of a whole-table scan
inline unsigned long UL_TabChkMaxSlices = 50;       // target blocks per scan; divisor when digging
inline unsigned long UL_SQLCRCMaxFieldLen = 100;    // characters kept of a single field's value
inline unsigned long UL_SQLCRCNrSamples = 1000;     // rows per table in sampling mode
constexpr unsigned long UL_TabChkMaxFldSlices = 5;  // divisor of the fields when digging into a row

enum class ul_crcscankind_t {
    NONE,       // nothing to scan in this table
    OTHERSIDE,  // the other side has to run first
    WHOLE,      // whole table, own blocks of sliceSize rows (or one quick line)
    ALONGREF,   // whole table along the reference file's top-level boundaries
    REPRODUCE,  // reference lines the own file lacks, from `from` to the end of their level
    DIG,        // a differing line without children: its range in smaller blocks
    FIELDS,     // a differing single-row line: checksums of slices of its fields; a differing
                // slice of several fields: one checksum per field; a field scan cut off
    RESUME,     // a detail scan that was begun but not finished
    VERIFYQUICK,  // a quick-checksum line marked for verification: an ordered scan
};

struct ul_crcscanrequest_t {
    ul_crcscankind_t kind = ul_crcscankind_t::NONE;
    // The line whose range is scanned: the table's top entry for a whole-table scan, the line
    // dug into or resumed, or the parent of the reference lines reproduced (the top entry at
    // the top level).
    ul_chkcrcline_t* region = nullptr;
    // The first reference line to reproduce (REPRODUCE, ALONGREF); null otherwise.
    const ul_chkcrcline_t* from = nullptr;
    // Rows with start < key <= end are read (no values: the table's beginning / end).
    ul_sqlcrcboundary_t start, end;
    // Rows per block (fields per slice for FIELDS); blocks close at the next key change.
    unsigned long sliceSize = 0;
    bool quick = false;   // quick checksum: row checksums folded into buckets, no ORDER BY
    bool lastLine = false;  // the line picked is the last of its level (for the messages)
    // End boundaries that close blocks, in key order: the reference lines from `from` on, or
    // the own lines a resumed scan had written (field lines for FIELDS). The first nExisting
    // of them are already in the own file: their blocks are recomputed and compared, not
    // written again. Behind the
    // last boundary the scan makes blocks of sliceSize rows up to `end`.
    std::vector<const ul_chkcrcline_t*> boundaries;
    size_t nExisting = 0;
    // The line whose own count and checksum the scan's total must reproduce (a detail scan
    // over the line's whole range); null: no check.
    const ul_chkcrcline_t* checkAgainst = nullptr;
};

// What the analysis of one table needs besides the table.
struct ul_crcanalyzeargs_t {
    unsigned runFlags = UL_CRCRUN_DIGGING;  // UL_CRCRUN_DIGGING: dig into differing lines
    const char16_t* ownFile = u"";          // the file names the messages show
    const char16_t* refFile = nullptr;      // null: the run has no reference file
    bool quiet = false;                     // no messages (an evaluation, not a run)
};

// Walks the merged line tree of a table (after ULCheckCRCFile::setup) and picks at most one
// region to scan, in this order: the first reference line the own file lacks (with the rest
// of its level), a detail scan that was begun but not finished, an own line the reference
// side lacks (the other side runs first), a differing line to dig into (with digging on and
// below the UL_TabChkMaxDifferences threshold). Prints what it picked unless quiet. Returns
// 0 with request filled (kind NONE when there is nothing to do), or -1 on an inconsistency
// of the two files (reason set).
[[nodiscard]] int ul_crcanalyzetable(ULCheckCRCTable* table, const ul_crcanalyzeargs_t& args,
                                     ul_crcscanrequest_t* request);

// Analysis bits of a file pair over every table, as crceval shows them: 8 this side has to
// scan, 16 the other side has to run, 32 field checksums are missing, 64 counts differ, 128
// checksums differ. refFile null: no reference file. -1 on an inconsistency.
[[nodiscard]] int ul_crcanalyzebits(ULCheckCRCFile* file, const char16_t* refFile);

// Merges the own lines a scan added (table->lines from index first on) into the reference
// lines of the same range, sets their difference flags and rebuilds the tree, so that the
// table can be analysed again in the same run. Returns the number of merged lines that
// differ, or -1.
[[nodiscard]] int ul_crcmergenewlines(ULCheckCRCTable* table, size_t first);

// Whether an own line lacks its counterpart on the reference side (not counting lines kept
// out of the comparison): the other side has lines to reproduce.
bool ul_crcownlinesmissing(const ULCheckCRCTable& table);

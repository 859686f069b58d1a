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
    FIELDS,     // a differing single-row line: checksums of slices of its fields
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
    // the own lines a resumed scan had written. The first nExisting of them are already in
    // the own file: their blocks are recomputed and compared, not written again. Behind the
    // last boundary the scan makes blocks of sliceSize rows up to `end`.
    std::vector<const ul_chkcrcline_t*> boundaries;
    size_t nExisting = 0;
    // The line whose own count and checksum the scan's total must reproduce (a detail scan
    // over the line's whole range); null: no check.
    const ul_chkcrcline_t* checkAgainst = nullptr;
};

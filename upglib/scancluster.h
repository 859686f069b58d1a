// The cluster and pool checks that run before a conversion:
//
// - scancluster reads a physical cluster table page by page (in any order), collects the pages
//   of each cluster row in the cluster sorter (memory bounded by memsize, the rest in a swap
//   file) and reports rows that are incomplete, have an unsupported format or do not add up,
//   with the distribution of page counts;
// - chktable reads a logical cluster or pool table within the key ranges of a where file and
//   reports numeric-text and packed values that are not valid (result 2 when it finds any);
// - chkpools looks for pool rows whose data length cannot be right.
//
// Findings are error lines of the log and do not stop a scan; database and file errors end the
// command with -1. The handlers cmd_SCANCLUSTER, cmd_CHKTABLE and cmd_CHKPOOLS are declared
// with the command table (tabrix.h).
#pragma once

#include <string>

#include "ulsqlcluster2.h"

// Default memory for the internal frames of scancluster, in bytes.
constexpr unsigned long long UL_SCANCLUSTER_MEMSIZE = 10485760;
// Bytes of bookkeeping counted per frame besides its content.
constexpr unsigned UL_SCANCLUSTER_FRAMEHEADER = 12;
// Page counts from this value on share the last slot of the distribution.
constexpr unsigned UL_SCANCLUSTER_MAXDIST = 99;

// The options of scancluster.
struct ul_scanclusteropts_t {
    bool nocontent = false;     // pages are tracked without their content
    bool noswapfile = false;    // internal frames only
    bool keepswapfile = false;  // the swap file stays after the scan
    bool orderBy = false;       // the statement orders by the key; pages must come in order
    bool allowDups = false;     // duplicate pages are dropped unseen
    bool checkDups = false;     // duplicate pages must have equal content (else: the last wins)
    bool allowExcess = false;   // pages beyond the page count are dropped without a warning
    bool printChksum = false;   // each complete row with its CRC
    bool printData = false;     // each complete row as a hex dump
    unsigned long long memsize = UL_SCANCLUSTER_MEMSIZE;
    unsigned long long maxfilesize = 0;  // of the swap file; 0: no limit
    const char16_t* wherefile = nullptr;
    const char16_t* table = nullptr;
};

// One pass of scancluster over pages in any order: collects them in the cluster sorter,
// checks each cluster row they complete (header, length, printed CRC or data), counts the page
// counts of the rows, and reports faults as error lines without stopping. Only an unsupported
// cluster format and the sorter's own failures (memory, swap file, conflicting pages) fail.
class ULClusterScan {
  public:
    ULClusterScan() = default;
    ~ULClusterScan();
    ULClusterScan(const ULClusterScan&) = delete;
    ULClusterScan& operator=(const ULClusterScan&) = delete;

    // frameSize: the largest page content; swap: the swap file (unless o.noswapfile).
    [[nodiscard]] int init(const ul_scanclusteropts_t& o, unsigned frameSize,
                           const char16_t* swap);
    // One fetched page: pageNo and pageLength as stored (negative: missing or unreadable),
    // data of dataLength bytes, the row's time stamp (may be null). Returns 0 or -1.
    [[nodiscard]] int page(const char16_t* key, long pageNo, long pageLength,
                           const unsigned char* data, unsigned dataLength,
                           const char16_t* stamp);
    // Reports the pages scanned, the distribution and the sorter's end report, and removes the
    // swap file (unless kept). Returns 0 or -1.
    [[nodiscard]] int finish();

    unsigned long rows() const { return rows_; }
    unsigned long completeRows() const { return complete_; }
    unsigned long findings() const { return findings_; }

  private:
    [[nodiscard]] int checkRow(const char16_t* key, const unsigned char* data, size_t length);
    [[nodiscard]] int takeComplete();
    [[nodiscard]] int finding(const std::u16string& text);

    ul_scanclusteropts_t o_;
    ULClusterSorter sorter_;
    unsigned long rows_ = 0;
    unsigned long complete_ = 0;
    unsigned long findings_ = 0;
    unsigned long distribution_[UL_SCANCLUSTER_MAXDIST + 1] = {};
    std::u16string completeKey_;
};

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

// Default memory for the internal frames of scancluster, in bytes.
constexpr unsigned long long UL_SCANCLUSTER_MEMSIZE = 10485760;
// Bytes of bookkeeping counted per frame besides its content.
constexpr unsigned UL_SCANCLUSTER_FRAMEHEADER = 12;
// Page counts from this value on share the last slot of the distribution.
constexpr unsigned UL_SCANCLUSTER_MAXDIST = 99;

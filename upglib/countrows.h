// The command countrows: counts the rows of the tables an input file lists (count files,
// ulsqlcntfile.h) and appends one count line per table to an output file. The output file is
// the command's restart log: a table found in it is never counted again, so a run that was
// stopped at any point and started again ends with every table counted exactly once.
//
// Arguments: <infile> <outfile> [<wherefile>]. The where file (the splitter's format) gives
// the sample positions for estimating the logical tables of a physical cluster.
//
// Counting modes per line: exact or estimated (the splitter's count operation, ulsqlsplit.h),
// page 0 of cluster records or distinct keys of other packed tables, client 000 only, and the
// logical tables of a physical cluster or pool, counted in full through the logical-table
// reader or estimated from samples at the split positions.
//
// The handler cmd_COUNTROWS is declared with the command table (tabrix.h).
#pragma once

// Tables counted between two commits.
constexpr int UL_COUNTROWS_COMMITEVERY = 100;

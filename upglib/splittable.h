// The command splittable: splits one table, or every table of a table list, into key ranges
// with the splitter of ulsqlsplit.h and writes the conditions to where files. Its handler
// cmd_SPLITTABLE is declared with the command table (tabrix.h).
//
// Arguments: "table=<name>" or "tablelist=<file>", then options (see the usage text). A table
// list holds one table per line, followed by options of its own; a name NAME%N asks for N parts.
// The result is 0, or 2 for the partition clauses of a partitioned table with onlypartitions.
#pragma once

#include <cstddef>

// Most options of one table (command line and table list line together).
constexpr size_t UL_SPLIT_MAXOPTIONS = 99;
// Key fields used unless maxkeyfields= says otherwise.
constexpr long UL_SPLIT_DEFAULTMAXKEYFIELDS = 6;

// The database-specific parts of the splitter: the statement providers, partition collectors and
// where-clause fixers that the rows of SQLDBSplitSupport point to, the native split fields (a
// row address or a column the database chooses instead of the key), and the conversion of split
// conditions to the key fields of another table.
//
// Catalogue statements, prepared statements and version strings are kept per connection (the
// tool makes one per process); environment variables are read once per connection. Every
// function returns -1 after setting the error text; warnings go to the message output and make
// the caller fall back to the key fields or to the standard method.
#pragma once

#include <string>
#include <vector>

#include "ulsqlcondition.h"
#include "ulsqlsplit.h"

// Answer bits of request 6 with a table, beside the number of fields.
constexpr int UL_SPLITREQ_NONATIVEFIELD = 0x20000;  // supported, but this table has none
constexpr unsigned UL_SPLIT_MAXNATIVEFIELDS = 10;

// ---- hooks of SQLDBSplitSupport -----------------------------------------------------------------

int ul_sqlsplitprovider_zmx(int request, const char16_t* table, const char16_t* const* keyfields,
                            unsigned nkeyfields, const char16_t** statement, int flags,
                            double segment, int mode);
int ul_sqlsplitprovider_zdb(int request, const char16_t* table, const char16_t* const* keyfields,
                            unsigned nkeyfields, const char16_t** statement, int flags,
                            double segment, int mode);
int ul_sqlsplitprovider_db4(int request, const char16_t* table, const char16_t* const* keyfields,
                            unsigned nkeyfields, const char16_t** statement, int flags,
                            double segment, int mode);
int ul_sqlsplitprovider_db6(int request, const char16_t* table, const char16_t* const* keyfields,
                            unsigned nkeyfields, const char16_t** statement, int flags,
                            double segment, int mode);
int ul_sqlsplitprovider_mss(int request, const char16_t* table, const char16_t* const* keyfields,
                            unsigned nkeyfields, const char16_t** statement, int flags,
                            double segment, int mode);
int ul_sqlsplitprovider_ora(int request, const char16_t* table, const char16_t* const* keyfields,
                            unsigned nkeyfields, const char16_t** statement, int flags,
                            double segment, int mode);
int ul_sqlsplitprovider_zse(int request, const char16_t* table, const char16_t* const* keyfields,
                            unsigned nkeyfields, const char16_t** statement, int flags,
                            double segment, int mode);
// SQLite: "ROWID" for tables with a rowid; PostgreSQL: "ctid".
int ul_sqlsplitprovider_sqlite(int request, const char16_t* table, const char16_t* const* keyfields,
                               unsigned nkeyfields, const char16_t** statement, int flags,
                               double segment, int mode);
int ul_sqlsplitprovider_pgsql(int request, const char16_t* table, const char16_t* const* keyfields,
                              unsigned nkeyfields, const char16_t** statement, int flags,
                              double segment, int mode);

// Partitions by partition id ("_PARTITION = %d"), by the limit keys of table-controlled
// partitioning (clauses ending in " -- PART p SPLIT 1 OF 1"), and by the declared partitions
// of PostgreSQL ("tableoid = '<partition>'::regclass"). 0 none, 1 clauses to split further.
int ul_sqlsplitpartitions_zdb(ULTableSplit* clauses, const char16_t* table,
                              const ULTableSplit* preconditions, int mode);
int ul_sqlsplitpartitions_db2(ULTableSplit* clauses, const char16_t* table,
                              const ULTableSplit* preconditions, int mode);
int ul_sqlsplitpartitions_pgsql(ULTableSplit* clauses, const char16_t* table,
                                const ULTableSplit* preconditions, int mode);
// Renumbers the partition comments so that the conditions of each partition read SPLIT 1 OF n
// to SPLIT n OF n, the comment moved to the end of its condition.
int ul_sqlsplitfixer_db2(ULTableSplit* conditions, int mode);

// Finds a partition comment "-- PART p SPLIT i OF n" in condition. 1 with the numbers and the
// comment's position and length (to its line end), 0 when there is none, -1 with "Syntax error
// in partition comment '%s'".
int ul_sqlwhereparsecomment_db2(const char16_t* condition, int* part, int* isplit, int* nsplits,
                                size_t* offset, size_t* length);

// ---- native split fields ------------------------------------------------------------------------

// 1 when the connected database (or the one dbms_type selects) can split natively, 0 when not,
// -1.
int ul_sqlsplitsupportsnative();
// The native split fields of table (at most maxFields, at most UL_SPLIT_MAXNATIVEFIELDS): their
// number, or'ed with UL_SPLITREQ_USESTANDARD when they must be split by the standard method or
// UL_SPLITREQ_NONATIVEFIELD when the table has none; 0 when the database has none; -1.
int ul_sqlsplitgetnativefields(const char16_t* table, std::vector<std::u16string>* fields,
                               unsigned maxFields, double segment, int mode);

// ---- conversion to another table's key fields
// ----------------------------------------------------

// Reads the key values of table for the bounds of condition (a key range over other fields of
// the same table, each bound naming one row): low and high receive the key fields and their
// values (no values for an open end). 0, 1 when a bound names no row or several rows (a
// message says so and the condition is ignored), -1.
int ul_sqlwhere2keyfields(ul_strpool_t* pool, ul_sqlboundary_t* low, ul_sqlboundary_t* high,
                          const char16_t* condition, const char16_t* const* keyfields,
                          unsigned nkeyfields, const char16_t* table, int mode);
// Converts the conditions of split (all over the same fields) into conditions over the key
// fields of table, appended to out: the rows that bound the source ranges become the bounds of
// the new ranges, sorted by key, the first open below and the last open above. Returns the
// number of conditions, or -1.
int ul_sqlsplit2keyfields(ULTableSplit* out, const char16_t* table, const ULTableSplit* split,
                          const char16_t* const* keyfields, unsigned nkeyfields, int mode);

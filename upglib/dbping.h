// The diagnostic commands: dbping (round-trip latency), dbversion (database and client
// versions, schemas), dumptable (table contents as separated lines), hexdump (a file in
// hexadecimal) and dbtabpos (database column positions). Their handlers are declared with the
// command table in tabrix.h.
#pragma once

#include <cstdio>

// Modes of ul_sqltabledump.
enum : int {
    UL_DUMP_HEADER = 1,      // a header line "#" with the column names before the rows
    UL_DUMP_FIELDDESCS = 2,  // select the columns of the table's field descriptions
    UL_DUMP_KEYORDER = 4,    // order by the key columns when no order is given
};

// Writes the rows of table to stream as lines of comma-separated values (ULSQLLogCSVLines),
// ordered by orderBy (column list, may be null) or, with UL_DUMP_KEYORDER, by the key columns.
// fileName (optional) names the stream in error texts. Uses the connection, connecting on
// demand. Returns 0, or -1 with the reason in the error buffer.
int ul_sqltabledump(FILE* stream, const char16_t* table, const char16_t* orderBy, int mode,
                    const char16_t* fileName = nullptr);

// Factories of the engines built into every tool binary, and what their files share.
// dbif_open() knows the built-in engines under "SQLITE", "PGSQL" and "ODBC" from its first call
// on.
// A factory returns null when this build cannot offer its engine.
#pragma once

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "dbif.h"
#include "ulerror.h"

std::unique_ptr<DbIfConnection> dbif_sqlite_create();
std::unique_ptr<DbIfConnection> dbif_pgsql_create();
std::unique_ptr<DbIfConnection> dbif_odbc_create();

// Runs one engine operation so that no exception leaves the engine: running out of memory
// becomes DBIF_RC_DB_ERROR with "Out of memory" in the comm area and the system's text in the
// error buffer.
template <class Operation>
int dbif_guard(dbif_commarea_t& area, Operation&& operation) noexcept {
    int rc = DBIF_RC_DB_ERROR;
    if (ul_guarded([&] {
            rc = operation();
            return 0;
        }) == 0)
        return rc;
    area.dbCode = -1;
    area.errorText.clear();
    ul_tryquietly([&] { area.errorText = u"Out of memory"; });
    return DBIF_RC_DB_ERROR;
}

// A name the engine reports (a result column, a column of its catalogue) in the tool's case.
// The tool writes table and column names in upper case, and on every engine they ignore the
// case of ASCII letters (docs/identifiers.md), so upper case loses nothing.
inline std::u16string dbif_toolname(std::u16string name) {
    for (char16_t& c : name)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return name;
}

// ---- catalogue queries (dbif_catalog.cpp) ----------------------------------------------------

// Receives the cells of one row; a non-zero result (a DBIF_RC_* code) stops the query.
using dbif_catrowfn_t = std::function<int(const dbif_cell_t* cells, unsigned ncols)>;

// Runs a query with text parameters on the connection's own statements and hands every row to
// onRow. Returns DBIF_RC_OK when all rows were read, onRow's stop code, or the failing call's
// code (its text in the comm area).
int dbif_catalogquery(DbIfConnection& conn, const std::u16string& sql,
                      const std::vector<std::u16string>& params, const dbif_catrowfn_t& onRow);
// The text of a text or decimal cell; empty for every other kind.
std::u16string dbif_cattext(const dbif_cell_t& cell);
// The integer a cell holds (an integer cell, or decimal digits as text); NULL is 0. False for
// anything else.
bool dbif_catnumber(const dbif_cell_t& cell, long* value);

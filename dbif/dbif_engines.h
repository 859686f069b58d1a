// Factories of the engines built into every tool binary, and what their files share.
// dbif_open() knows the built-in engines under "SQLITE" and "PGSQL" from its first call on.
// A factory returns null when this build cannot offer its engine.
#pragma once

#include <memory>
#include <new>

#include "dbif.h"
#include "ulerror.h"

std::unique_ptr<DbIfConnection> dbif_sqlite_create();
std::unique_ptr<DbIfConnection> dbif_pgsql_create();

// Runs one engine operation so that no exception leaves the engine: running out of memory
// becomes DBIF_RC_DB_ERROR with "Out of memory" in the comm area and the system's text in the
// error buffer.
template <class Operation>
int dbif_guard(dbif_commarea_t& area, Operation&& operation) noexcept {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        area.dbCode = -1;
        area.errorText.clear();
        try {
            area.errorText = u"Out of memory";
        } catch (const std::bad_alloc&) {
        }
        ul_erroroutofmemory();
        return DBIF_RC_DB_ERROR;
    }
}

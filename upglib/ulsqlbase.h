// The SQL layer's main module: the process-wide database connection and its settings.
#pragma once

// ---- isolation level ----------------------------------------------------------------------

enum : int {
    UL_ISOLEVEL_DEFAULT = 0,    // the database's default isolation
    UL_ISOLEVEL_COMMITTED = 1,  // read committed
};

// Stores the isolation level (0 or 1) that the connection uses, and logs the change. Returns
// 0, or -1 with "Invalid isolation level %d" for any other value.
int ul_sqlsetisolevel(int level);
int ul_sqlgetisolevel();

// Isolation level of a keyword "committed" (1) or "default" (0), case-insensitive; -1 for any
// other text. Sets no error text; the caller names the context.
int ul_sqlisolevelfromstring(const char16_t* keyword);

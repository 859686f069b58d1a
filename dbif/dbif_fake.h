// The in-memory engine "FAKE", for tests of the SQL layer's paths that a real database rarely
// takes. A test scripts what the engine answers for a statement text (result columns and rows,
// rows processed, or the failure of an operation), runs the code under test, and then asserts
// the operations the engine saw, with the parameter rows bound to them.
//
// The script and the record are process-wide and shared by every FAKE connection. Statement
// texts are compared after trimming white space at both ends. An unscripted query has no
// columns and no rows; an unscripted modify processes one row per parameter row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbif.h"

// A cell as tests write and compare it.
struct dbif_fakevalue_t {
    dbif_kind kind = dbif_kind::null;
    int64_t integer = 0;
    double real = 0;
    std::u16string text;  // text and decimal
    std::vector<unsigned char> bytes;
    bool operator==(const dbif_fakevalue_t&) const = default;
};
using dbif_fakerow_t = std::vector<dbif_fakevalue_t>;

dbif_fakevalue_t dbif_fakenull();
dbif_fakevalue_t dbif_fakeint(int64_t value);
dbif_fakevalue_t dbif_fakereal(double value);
dbif_fakevalue_t dbif_fakedecimal(const char16_t* text);
dbif_fakevalue_t dbif_faketext(const char16_t* text);
dbif_fakevalue_t dbif_fakebytes(std::vector<unsigned char> bytes);
// The value a cell carries (for recording what an engine got or delivered).
dbif_fakevalue_t dbif_fakefromcell(const dbif_cell_t& cell);
// Puts a value into cell col of row of a batch.
void dbif_fakeputvalue(DbIfRowBatch* batch, size_t row, unsigned col, const dbif_fakevalue_t& v);

enum class dbif_fakeop {
    connect,
    disconnect,
    commit,
    rollback,
    prepare,
    execute,
    begRead,
    describe,
    exeRead,
    endRead,
    modify,
};

struct dbif_fakefailure_t {
    int rc = DBIF_RC_DB_ERROR;
    long dbCode = -1;
    std::u16string text;
    unsigned long after = 0;  // calls that succeed first (for modify: parameter rows)
    unsigned long times = 0;  // failing calls before the operation succeeds again; 0: no end
};

// A record of one operation. params: the parameter row of a begRead; the parameter rows of a
// modify call, ending with the row that failed when rc is not DBIF_RC_OK.
struct dbif_fakecall_t {
    dbif_fakeop op;
    std::u16string sql;  // empty for connect, disconnect, commit and rollback
    std::vector<dbif_fakerow_t> params;
    int rc;  // what the operation returned
};

// Registers the engine under "FAKE" and starts with an empty script and record.
void dbif_fake_register();
// Forgets script and record.
void dbif_fake_reset();

// The result of a query.
void dbif_fake_setresult(const char16_t* sql, std::vector<dbif_coldesc_t> columns,
                         std::vector<dbif_fakerow_t> rows);
// Rows processed: per parameter row by a modify, per call by an execute (default 1 and 0).
void dbif_fake_setrowcount(const char16_t* sql, long rows);
// Makes op fail for the statement text sql; a null sql makes it fail for every statement (and
// is the only form for connect, disconnect, commit and rollback).
void dbif_fake_setfailure(dbif_fakeop op, const char16_t* sql, dbif_fakefailure_t failure);
// The answer to a control code: rc, and text for the codes that answer with text.
void dbif_fake_setcontrol(int code, int rc, const char16_t* text);
// The engine's own catalogue (dbif.h, catalogue service): the description of a table, or null
// for a table that does not exist. Without any such entry the engine has no catalogue of its
// own (DBIF_RC_NOT_SUPPORTED); with one, unscripted tables do not exist. The catalogue control
// codes are answered by the service over the scripted statements unless dbif_fake_setcontrol
// scripts them.
void dbif_fake_setcatalog(const char16_t* table, const dbif_cattable_t* description);

// Every operation since the last reset, in order (control calls are not recorded).
const std::vector<dbif_fakecall_t>& dbif_fake_calls();
// The texts of the statements executed by execute, begRead and modify calls, in order.
std::vector<std::u16string> dbif_fake_statements();
// The parameter rows that modify calls of sql processed, in order.
std::vector<dbif_fakerow_t> dbif_fake_modifiedrows(const char16_t* sql);

// The statement text the PostgreSQL engine sends for a statement of the tool, and the one rule
// for identifiers on PostgreSQL (docs/identifiers.md).
//
// The tool writes table and column names in upper case, quoted or not. PostgreSQL folds
// unquoted names to lower case and takes quoted names exactly, so the engine settles the case
// for every statement in one place: each identifier of the tool reaches the server quoted, in
// the case in which the database holds the tool's tables (dbs_pgsql_namecase), and every name
// the server reports comes back in the tool's case (upper). Lower-case words are PostgreSQL's
// own names (catalogue tables, functions, types) and pass unchanged.
#pragma once

#include <cstdint>
#include <string>

// The case of the tool's tables and columns in the database.
enum class dbif_pgnamecase : uint8_t {
    upper,  // created quoted in upper case: CREATE TABLE "SVERS" ("VERSION" ...)
    lower,  // created the PostgreSQL way: CREATE TABLE svers (version ...)
};

// The setting's value: null (not set), empty and "upper" give upper, "lower" gives lower, ignoring
// case; false for any other value.
bool dbif_pgparsenamecase(const char* value, dbif_pgnamecase* out);

// PostgreSQL's text of a statement: UTF-8; every hint phrase "#DBIF_HINT(...)" (PostgreSQL has
// no hint syntax) replaced by a blank; outside literals and comments, every quoted identifier
// in the case of `names` and every unquoted word that names a table or column quoted in that
// case; with numberMarkers, the "?" markers replaced by $1, $2, ... Returns the number of
// markers, or -1 when a hint phrase has no closing bracket.
//
// An unquoted word is taken as a name when it has an upper-case letter, and is neither the
// statement's first word, nor a literal prefix (X'..', E'..'), nor a function or type name
// (directly followed by "(", except the table of INSERT INTO T(...) and CREATE TABLE T(...)),
// nor one of the keywords the tool's statements and conditions use, nor the kind of object
// after CREATE, DROP or ALTER. A word next to a "." is always a name (a qualifier or a
// qualified column).
long dbif_pgconvertsql(const char16_t* sql, bool numberMarkers, dbif_pgnamecase names,
                       std::string* out);

// A table name in the case of the schema, for catalogue queries that take it as a value.
std::u16string dbif_pgschemaname(const std::u16string& name, dbif_pgnamecase names);

// Whether a statement can stand behind DECLARE ... CURSOR FOR; others (SHOW, EXPLAIN,
// INSERT ... RETURNING) deliver their result at once.
bool dbif_pgiscursorquery(const std::string& sql);

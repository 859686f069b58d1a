// The command execdb: runs the SQL statements of a checked XML script (top-level tag
// "sqlexec" with a valid "crcvalue") against the connected database, with periodic commits,
// selections printed to the log, and restartability: the identifier ("stmtid") of every
// finished statement goes to a status file, and a rerun skips what it lists. Statements marked
// retry_on_error may fail without ending the run; the script is then run again after a pause
// until it succeeds or the passes are spent. Its handler cmd_EXECDB is declared with the
// command table (tabrix.h).
//
//   execdb [autocommit=<n>] [maxretry=<n>] [waitretry=<seconds>] <script> [<status file>]
//
// An identifier reaches the status file only once the transaction holding its statements is
// committed, so that a run that fails or dies never records a statement whose effect was
// rolled back; the statements of an explicit ROLLBACK lose their identifiers the same way.
#pragma once

// Defaults of the options.
constexpr long UL_EXECDB_AUTOCOMMIT = 800;  // statements per automatic commit; 0: never
constexpr long UL_EXECDB_MAXRETRY = 10;     // passes over the script at most
constexpr long UL_EXECDB_WAITRETRY = 5;     // seconds of pause before a further pass
// Longest required table suffix in code units (terminator not counted).
constexpr unsigned UL_EXECDB_MAXSUFFIX = 255;

// Evaluates an environment condition: parts joined all by "&" (each must hold) or all by "|"
// (one must hold); a part is NAME (the variable is set), NAME=value (its value equals value
// ignoring case) or NAME~value (it contains value ignoring case). An empty condition holds.
// Returns 1 or 0, or -1 with "Illegal mixture of separators in '%s'" or "Empty part in '%s'".
[[nodiscard]] int ul_execdbenvcondition(const char16_t* condition);

// Checks that sql only names tables that end with suffix (and are longer than it): every name
// behind FROM, JOIN, INTO, UPDATE, TABLE, TRUNCATE and REFERENCES (behind ON in CREATE INDEX;
// the index or view of DROP INDEX and DROP VIEW) must be written in double quotes (with
// brackets also in square brackets); of a qualified name the last part counts. Literals and
// comments are passed over. Returns 0, or -1 with "No quoted table name in '%s'" (no such name
// at all, or one that is not quoted) or "Table '%s' does not have the required suffix '%s' in
// '%s'".
[[nodiscard]] int ul_execdbchecksuffix(const char16_t* sql, const char16_t* suffix, bool brackets);

// The command migtables: builds the list of objects a migration moves by running actions on one
// list (select from the database, list the tables of the export tool, read a list file, remove
// the entries of a list file, add dependent objects) and writes the result to a list file or to
// the log (ulsqlmigtables.h).
//
// Arguments: [<options>] <action> ..., options first ("outfile=", "targetdb=", "schemas=",
// "schemalist=", "ignschemas="), then the actions in the order they run. Every argument is
// checked before the database is connected, so that a bad word runs no statement.
//
// The handler cmd_MIGTABLES is declared with the command table (tabrix.h).
#pragma once

// Actions one run takes at most.
constexpr int UL_MIGTABLES_MAXACTIONS = 32;

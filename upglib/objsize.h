// objsize: the storage sizes of a list of tables, indexes and databases, one line per object,
// for planning the space and run time of table moves. The handler cmd_OBJSIZE is declared with
// the command table in tabrix.h.
#pragma once

#include <string>
#include <vector>

#include "dbif.h"

// Reads an object list: "tab: <table>", "ind: <index> <table>", "dbs: <database>" per line.
// Returns 0, or -1 with "Invalid line '%s'", "Garbage in line '%s'", "Cannot read '%s'" or
// "Read error for '%s'" (with file and line where known).
[[nodiscard]] int ul_objsizereadlist(const char16_t* path, std::vector<dbif_objsize_t>* objects);

// Fills the sizes of all objects in one call over the connection ("Cannot get object sizes for
// %d objects" and the database interface's text). Returns 0 or -1.
[[nodiscard]] int ul_objsizeget(std::vector<dbif_objsize_t>* objects);

// The output line of an object (without line end).
std::u16string ul_objsizeformat(const dbif_objsize_t& object);

// The commands crceval (compares CRC files of both sides of a table check and reports the
// differences) and crcclear (returns CRC files to their prepared state). Their handlers
// cmd_CRCEVAL and cmd_CRCCLEAR are declared with the command table (tabrix.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Most CRC files one crcclear run takes.
constexpr size_t UL_CRCCLEAR_MAXFILES = 1000;
// Characters of the first name that may follow the common prefix of a pair of CRC files.
constexpr size_t UL_CRCEVAL_MAXSUFFIX = 10;

// One unit of evaluation: a file and the file of the other side (empty: the file alone).
struct ul_crcevalpair_t {
    std::u16string own;
    std::u16string ref;
};

// Sorts the names and pairs them (see the usage of crceval); prints the warnings for names
// without partner. -1 with "Cannot find export+import CRC pair for '%s', '%s', '%s'" when a
// third name shares the prefix of a pair.
[[nodiscard]] int ul_crcevalpairfiles(std::vector<std::u16string> names,
                                      std::vector<ul_crcevalpair_t>* pairs);

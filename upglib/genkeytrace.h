// Key traces: imports write, per table, generic key patterns of the rows they touched into
// their logs. genkeytraces collects them from log files (or from the logs of the requests of an
// import buffer), merges equal patterns and their language vectors, and stores them as
// collision patterns in UPGCOLLPATTERN, tagged with the upgrade step; or only shows, counts or
// deletes them.
#pragma once

#include <string>

// One key trace as read from a log line.
struct ul_keytraceline_t {
    enum class Kind { None, Function, Trace, Odd };
    Kind kind = Kind::None;
    char16_t function = 0;  // Kind::Function: the request's function character
    std::u16string table, pattern, languages;
    long length = 0;
    bool lengthMismatch = false;  // ETW208 pattern without "*" whose length differs
    long textLength = 0;          // the pattern's own length when it mismatches
};

// Parses one log line (line number lineNo of file, for messages): lines whose second
// character is not a blank and lines without a key-trace marker give Kind::None. Returns 0, or
// -1 with the message of a malformed key-trace line.
[[nodiscard]] int ul_keytraceparseline(const char16_t* line, int lineNo, const char16_t* file,
                                       ul_keytraceline_t* out);

int cmd_GENKEYTRACES(unsigned int argc, const char16_t** argv);

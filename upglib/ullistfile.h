// The list files of the maintenance commands (object lists, table lists, class and rename
// lists): one entry per line of escaped names. Lines that are empty or blank and lines starting
// with "#" are comments. The reader streams line by line, bounds every line and reads regular
// files only, so a list of any size costs the memory of its longest line.
#pragma once

#include <cstddef>
#include <string>

#include "ultextfile.h"

// Longest name a list holds, in code units.
constexpr size_t UL_LISTNAME_MAX = 255;

class ULListFileReader {
  public:
    // Opens path; on failure the error is `failText` with the path ("Cannot read '%s'") and the
    // reason on the next line.
    [[nodiscard]] int open(const char16_t* path, const char16_t* failText);
    // The next entry line, trimmed at both ends: 1 when line() holds one, 0 at the end, -1 on a
    // read error (`readFailText` with the path, e.g. "Read error for '%s'", before the reason).
    [[nodiscard]] int next(const char16_t* readFailText);
    const char16_t* line() const { return line_.c_str(); }
    int lineNumber() const { return reader_.lineNumber(); }
    const char16_t* path() const { return reader_.path(); }
    // Fails with format, which takes the current line as its one "%s", and the file and line
    // number on the next line. Returns -1.
    int fail(const char16_t* format) const;
    // Adds the file and line number to the error text already set. Returns -1.
    int failHere() const;

  private:
    ULTextFileReader reader_;
    std::u16string line_;
};

// Reads the next name at *p (escapes of the tool's list files, double quotes group blanks) and
// moves *p behind it. Returns 1 for a name, 0 when only blanks are left or the name is empty,
// -1 when it is longer than UL_LISTNAME_MAX ("More than %d characters for word in '%s'").
[[nodiscard]] int ul_listreadname(const char16_t** p, std::u16string* name);

// True when only blanks are left at p.
bool ul_listatend(const char16_t* p);

// Count files: the input of countrows (one table a line with its counting modes) and its output
// (one count a line), which doubles as the restart log of the command.
//
// Input line: an action character ('c' count, 'e' estimate), mode letters, one blank, the table
// name (escaped, at most UL_CNTFILE_MAXNAME characters), optionally a second escaped name, and
// optionally "WHERE " with a condition; a line ending in a backslash continues on the next one.
// Empty lines and lines starting with "#" are skipped.
//
// Output line: the escaped table name, the count, the word "clientdep" for client-dependent
// tables and a "#" comment that says how the count was taken. Lines are written whole and
// handed to the system one by one, so that a process that dies leaves at most one line without
// its line end; the reader drops such a line (and cuts it off the file when it opens the file
// for update) instead of misreading it.
//
// Every function returns -1 after setting the error text.
#pragma once

#include "ulsqlcondition.h"

class ULTextFileWriter;

// Longest table name of a count file, in characters.
constexpr size_t UL_CNTFILE_MAXNAME = 256;

// Mode bits of an input line.
enum : int {
    UL_CNTMODE_PACKED = 0x1,       // 'p': cluster pages 0 only, distinct keys of packed tables
    UL_CNTMODE_ALTNT = 0x2,        // 'a': the alternative nametab
    UL_CNTMODE_CLIENT000 = 0x4,    // '0': client 000 only
    UL_CNTMODE_ESTIMATE = 0x10,    // action 'e'
    UL_CNTMODE_NOFALLBACK = 0x20,  // 'n': count operation flag 0x8
    UL_CNTMODE_LOGICAL = 0x40,     // 'l': also the logical tables of a cluster or pool
};

// Kinds of an output line.
enum : int { UL_CNTKIND_PLAIN = 0, UL_CNTKIND_REDUCED = 1, UL_CNTKIND_ESTIMATED = 2 };

class ULCountInputReader {
  public:
    virtual ~ULCountInputReader() = default;
    // One input line: table2 is null without a second name, where null without a condition.
    // Returns 1 when the line was handled, 0 when not, -1 to stop reading.
    [[nodiscard]] virtual int readCountInput(const char16_t* table, const char16_t* table2,
                                             const char16_t* where, int mode) = 0;
};

class ULCountOutputReader {
  public:
    virtual ~ULCountOutputReader() = default;
    // One finished count. Returns 0, or -1 to stop reading.
    [[nodiscard]] virtual int readCountOutput(const char16_t* table, ul_dbrowcount_t count,
                                              bool clientdep) = 0;
};

// Reads an input file line by line into reader. Returns the number of lines the reader
// handled, or -1 ("Cannot read '%s'", "Invalid action '%c' l. %d '%s'", "Syntax error in l. %d
// '%s'", or the reader's reason).
[[nodiscard]] int ul_sqlcntinread(const char16_t* file, ULCountInputReader* reader);

// Output reader modes.
enum : int { UL_CNTOUT_REPAIR = 0x1 };  // cut an incomplete last line off the file
// Reads an output file into reader. A last line without its line end was cut off by a dying
// writer: it is skipped, and with UL_CNTOUT_REPAIR removed from the file so that the next line
// appended starts on a line of its own. Returns the number of counts read, or -1 ("Cannot read
// '%s'", "Invalid row count '%s'", "Invalid phrase in count line '%s'", "Syntax error in l. %d
// '%s'", "Cannot repair incomplete last line of '%s'").
[[nodiscard]] int ul_sqlcntoutread(const char16_t* file, ULCountOutputReader* reader, int mode);

// Writes one output line (kind UL_CNTKIND_*) and hands it to the system. Returns 0 or -1
// ("Cannot write to '%s'").
[[nodiscard]] int ul_sqlcntwriteoutputline(ULTextFileWriter* file, int kind, const char16_t* table,
                                           ul_dbrowcount_t count, bool clientdep);

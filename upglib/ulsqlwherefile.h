// Where files: the split conditions of tables as text blocks that carry them from one run to the
// next ("tab:", "opt:", "cnt:" and "WHERE" lines, then an empty line).
//
// What is written reads back equal. The table name is written as it is, so names the reader
// could not take back are refused. A condition is written behind "WHERE " in one form, which is
// also what the reader returns: runs of white space and control characters outside quotes
// become one blank, quoted text ('...', "...") stays as it is, and a "--" comment ends its line,
// the condition going on on the next line (the reader joins lines with a blank, but behind a
// line that ends in a "--" comment with a line feed). This form means the same SQL; a condition
// that cannot be written in it (a line break or no end inside quotes, a line behind a comment
// that would read as where-file syntax, nothing but white space) is refused.
//
// Files are UTF-8. A single-byte file starts with a comment line that marks it, and is read
// back one byte per character; an unmarked file that is no UTF-8 (written before the mark)
// is read so as well.
//
// Each block is handed to the system as soon as it is written. A file that ends inside a line,
// or inside a block whose condition ends in a "--" comment before its empty line, may have
// lost the rest of a condition when its writer died; the reader refuses it.
//
// Every function returns -1 after setting the error text.
#pragma once

#include "ulsqlcondition.h"

// ---- where files -------------------------------------------------------------------------------

enum : int {
    UL_WHEREFILE_NOCNTLINES = 0x1,  // no "cnt:" lines
    UL_WHEREFILE_SINGLEBYTE = 0x2,  // one byte per character; characters above 255 fail
};

// Writes the conditions of table as blocks "tab:", ["opt: native",] ["cnt:",] "WHERE ..." and an
// empty line. A name holding "%" is a pattern: each condition goes to its own file, every "%"
// replaced by the condition's number (from 1). A file already written by this process is
// appended to, any other one created anew; *appended (may be null) tells which happened to
// the (last) file; it must have been written in the same encoding ("Cannot append to where
// file '%s' in another encoding"). A table name that the reader could not take back as it is
// (empty, with a control character, or with a blank at either end) is refused: "Table name
// '%s' %s and cannot be written to where file '%s'", the name with its control characters
// shown escaped; so are conditions that cannot be written ("Where condition '%s' for '%s' %s
// and cannot be written to where file '%s'", "Empty where condition for '%s' cannot be written
// to where file '%s'"). Nothing is written before every block has been checked. Returns the
// number of files written (pattern) or of conditions, or -1.
[[nodiscard]] int ul_sqlwritewherefile(const char16_t* file, const char16_t* table,
                                       const ULTableSplit* conditions, int flags, bool* appended);
// Forgets which files this process wrote.
void ul_sqlwherefilesforget();

class ULMacroProvider;

enum : int {
    UL_WHEREREAD_INVERT = 0x1,  // store each condition as NOT( condition )
    UL_WHEREREAD_SINGLE = 0x2,  // at most one condition per table
};

// Reads a where file into list (one ULTableSplit per table, added to what the list holds).
// table (may be null) keeps only that table's blocks; lines go through macro replacement when
// a provider is given. A comment block ("/*" at the start of a line) ends at its "*/"; the text
// behind it is read as a line. Returns the number of conditions read, or -1 with "Cannot read
// '%s'", "Syntax error in line %d '%s'", "Unknown option '%s'", "Empty where condition for '%s'
// in '%s'", "Duplicate condition for '%s' in '%s'", "Incomplete last line %d in '%s'" or
// "Incomplete last block for '%s' in '%s'"; the list then holds none of the file's blocks.
[[nodiscard]] int ul_sqlreadwherefile(ULTableSplitList* list, const char16_t* file,
                                      const char16_t* table, ULMacroProvider* provider, int flags);

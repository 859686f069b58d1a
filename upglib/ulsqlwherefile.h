// Where files: the split conditions of tables as text blocks that carry them from one run to the
// next ("tab:", "opt:", "cnt:" and "WHERE" lines).
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
// the (last) file. Returns the number of files written (pattern) or of conditions, or -1.
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
// a provider is given. Returns the number of conditions read, or -1 with "Cannot read '%s'",
// "Syntax error in line %d '%s'", "Unknown option '%s'", "Empty where condition for '%s' in
// '%s'" or "Duplicate condition for '%s' in '%s'".
[[nodiscard]] int ul_sqlreadwherefile(ULTableSplitList* list, const char16_t* file,
                                      const char16_t* table, ULMacroProvider* provider, int flags);

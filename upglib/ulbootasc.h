// Start-up adaptation of the process environment. The shared libraries the tool loads at run
// time lie beside its executable, so the executable's directory has to lead LD_LIBRARY_PATH.
// The dynamic loader reads that variable only when a program starts, so the tool re-executes
// itself once after changing it. This runs on the 8-bit command line before anything else
// exists (no UTF-16 arguments, no error buffer users, no message writer).
//
// Environment: UL_STARTUP_DISABLE (a non-zero number switches all of this off),
// UL_STARTUP_TRACE (start-up trace level; trace lines start with "*** " and go to standard
// output), LD_LIBRARY_PATH and DIR_LIBRARY (both set here).
#pragma once

#include <string>

// Exit code of every start-up failure.
constexpr int UL_BOOT_EXIT_FATAL = 20;

// Puts the executable's directory (from argv[0], made absolute) in front of LD_LIBRARY_PATH
// unless the variable already begins with it, sets DIR_LIBRARY to it, and, when
// LD_LIBRARY_PATH was changed, re-executes the program with the same arguments; the new
// process finds the variable adapted and goes on. Returns 0 when the process may go on. Does
// not return on failure: it prints "FATAL: ..." to standard error and exits with
// UL_BOOT_EXIT_FATAL.
int ul_bootadaptenv(int argc, char** argv);

// Sets DIR_LIBRARY to the directory of the program path (which contains a "/"), for the
// database library. Returns 1, 0 when start-up adaptation is disabled, or -1 with the system
// error in the error buffer.
int ul_bootadaptdbenv(const char16_t* programPath);

// ---- building blocks, also used by the tests --------------------------------------------

// True when UL_STARTUP_DISABLE holds a decimal number other than 0.
bool ul_bootisdisabled();

// The start-up trace level: UL_STARTUP_TRACE as a decimal number; 0 when unset or not a
// number.
int ul_boottracelevel();

// Where the executable named by argv0 (as the shell passed it in argv[0]) lives:
// - *directory: its absolute directory with ".", ".." and repeated slashes folded (symbolic
//   links are kept as written);
// - *executable: the path to execute it again by: argv0 itself when it contains a "/", else
//   the absolute path found in the directories of PATH (an empty entry is the current
//   directory), or the target of /proc/self/exe when PATH does not hold it.
// Returns false with the reason in *error.
bool ul_bootexecutablelocation(const char* argv0, std::string* directory, std::string* executable,
                               std::string* error);

// The value LD_LIBRARY_PATH needs so that it begins with directory (a whole entry, followed
// by ":" or the end): "<directory>:<current>", or the directory alone for an unset or empty
// current value. Returns false, leaving *adapted alone, when current already begins so.
bool ul_bootlibrarypath(const std::string& directory, const char* current, std::string* adapted);

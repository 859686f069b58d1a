// The message writer: numbered log lines of the form "<level><severity><language><class>
// <number><continuation><text>", e.g. 1 ETQ003 exit code: "0". The controller that starts
// the tool reads these lines, so their form is a contract.
#pragma once

#include <cstdio>
#include <string>

// One catalogue record; a catalogue ends with a record whose language is 0.
struct ul_msgproto_t {
    char16_t language;
    unsigned short reserved;
    unsigned number;
    const char16_t* text;
};

// The tool's own catalogue, class "TQ".
extern const ul_msgproto_t UL_TQMessages[];

constexpr unsigned UL_MSG_GENERIC = 399;
constexpr unsigned UL_MSG_TIME = 10;

enum : int {
    UL_MSGOUT_DIRECT = 1,     // write each line to the stream at once
    UL_MSGOUT_BUFFERED = 16,  // keep a copy of each line in the buffered lines
};
enum : int { UL_MSGFLAG_EXIT_ON_FAILURE = 1 };  // an unwritable message ends with exit code 10

int ul_msgwrite_register(const char16_t* className, const ul_msgproto_t* records);
void ul_msgwrite_setfp(FILE* stream);
FILE* ul_msgwrite_getfp();
// A non-negative value is ORed in, a negative value's complement is cleared. Returns the flags.
int ul_msgwrite_setflags(int flags);
// Selects the class used by ul_msgwrite_print (default "TQ").
int ul_msgwrite_setclass(const char16_t* className);

// Prints message number of the current class (399 or ~0u: the generic message). Returns 1
// when written, 0 when no stream is set, -1 on failure.
int ul_msgwrite_print(unsigned level, char16_t severity, unsigned number, unsigned continuation,
                      ...);
int ul_msgwrite_printf399(unsigned level, char16_t severity, const char16_t* format, ...);
// A finished text as message 399 (no format conversions): 0, or -1 on failure.
[[nodiscard]] int ul_msgwrite_line399(unsigned level, char16_t severity,
                                      const std::u16string& text);
int ul_msgwrite_splitlong(unsigned level, char16_t severity, unsigned firstNumber,
                          unsigned continuationNumber, const char16_t* text, unsigned width,
                          int flags);
// Prints "Date & Time: <stamp>" as message 10 unless the second was printed already (flag 1
// forces it; flag 2 adds milliseconds). Returns 1 when printed, 0 when not, -1 on failure.
int ul_msgwrite_timeprint(int flags);

enum : unsigned {
    UL_MSGCTL_FLUSH = 0,     // write and drop the buffered lines, then write directly again
    UL_MSGCTL_DISCARD = 1,   // drop the buffered lines, then write directly again
    UL_MSGCTL_SILENT = 5,    // write nothing at all
    UL_MSGCTL_BUFFER = 6,    // keep lines in the buffer instead of writing them
    UL_MSGCTL_FORCETIME = 20,  // time lines are printed even within the same second
};
int ul_msgwrite_outputcntrl(unsigned mode);

// Back to the start state (no stream, no classes, default flags). For tests.
void ul_msgwrite_reset();

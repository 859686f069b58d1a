// Parsing of dates and times given by users (command-line options, input files).
#pragma once

#include <ctime>

enum : int {
    UL_TIMEPARSE_UTC = 1,  // take the values as UTC instead of local time
};

// Parses a date, a time, or both, separated by white space or commas, into seconds since the
// epoch (local time unless UL_TIMEPARSE_UTC). Accepted forms:
//   date and time   YYYYMMDDhhmmss
//   date            YYYYMMDD, YYYY-MM-DD (any one character but a blank or comma in place of
//                   each "-", month and day of one or two digits), DD.MM.YYYY, or a month
//                   name with a day and a four-digit year in any order ("15 Jan 2024",
//                   "January 15, 2024")
//   time            hh:mm:ss or hh:mm
// A "T" may join a date and a time ("2024-01-15T10:30:00"). Month names are English, in full
// or abbreviated to at least three letters, in any case; an optional weekday name (same rules)
// must agree with the date. A missing date means today, a missing time midnight.
// Returns -1 on failure with "Incomprehensible time/date spec '%s' (#%d) at pos %d", where pos
// is the offset of the offending part in text and # tells what is wrong:
//   1 unknown word or number form, 2 value out of range, 3 date, time or one of their parts
//   given twice, 4 month name without day or year, 5 weekday does not match the date,
//   6 empty text, 7 not representable as a time value.
time_t ul_timeparsevalue(const char16_t* text, int flags);

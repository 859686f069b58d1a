// Time stamps and clock access, in local time of the fixed process time zone.
#pragma once

#include <cstddef>
#include <ctime>

// Puts "TZ=:/etc/localtime" into the environment when neither TZ nor KEEP_MISSING_TZ is
// set, then initialises the zone; does the work once per process.
void ul_timefixzone();

// Seconds since the epoch; with milliseconds non-null also the milliseconds of the second.
time_t ul_getfulltime(unsigned* milliseconds, int flags);

// Stamp formats.
enum : int {
    UL_STAMP_DIGITS = 1,        // YYYYMMDDhhmmss
    UL_STAMP_DIGITS_MS = 3,     // YYYYMMDDhhmmss.mmm (milliseconds only for "now")
    UL_STAMP_READABLE_MS = 4,   // YYYY/MM/DD hh:mm:ss.mmm (milliseconds only for "now")
    UL_STAMP_DATE = 5,          // YYYYMMDD
    UL_STAMP_READABLE = 0,      // YYYY/MM/DD hh:mm:ss
};

// Writes the stamp of time (-1 = now) in the given format. Returns the length, or -1 with
// "Cannot convert time value %ld".
int ul_timegetstamp(char16_t* buffer, size_t size, time_t time, int format);

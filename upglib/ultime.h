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
    UL_STAMP_DIGITS = 1,       // YYYYMMDDhhmmss
    UL_STAMP_DIGITS_MS = 3,    // YYYYMMDDhhmmss.mmm (milliseconds only for "now")
    UL_STAMP_READABLE_MS = 4,  // YYYY/MM/DD hh:mm:ss.mmm (milliseconds only for "now")
    UL_STAMP_DATE = 5,         // YYYYMMDD
    UL_STAMP_READABLE = 0,     // YYYY/MM/DD hh:mm:ss
};

// Writes the stamp of time (-1 = now) in the given format. Returns the length, or -1 with
// "Cannot convert time value %ld".
int ul_timegetstamp(char16_t* buffer, size_t size, time_t time, int format);

// Seconds since the epoch of a stamp YYYYMMDDhhmmss in local time (whether daylight saving
// applies is decided by the zone rules). Characters behind the six values are ignored.
// Returns -1 with "Cannot convert time stamp '%s', expected 6 values, got only %d" when fewer
// than six numbers can be read, or "Cannot convert time stamp '%s'" for values outside their
// range (such as a 31st of February).
time_t ul_timestamp2sec(const char16_t* stamp);

// Elapsed time as "h:mm:ss" from one hour on, else "m:ss"; a negative time gets a leading "-".
// Returns the length, or -1 when the buffer is too small.
int ul_formatelapsed(char16_t* buffer, size_t size, long seconds);

// The current offset of the local zone from UTC, as "UTC+01:00" or "UTC-05:30". Returns the
// length, or -1 when the buffer is too small.
int ul_timegetzoneoffset(char16_t* buffer, size_t size);

// Sleeps for a fractional number of seconds (nothing for zero or less); an interrupted sleep
// goes on for the rest of the time.
void ul_sleep(double seconds);

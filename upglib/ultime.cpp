#include "ultime.h"

#include <sys/time.h>

#include <cerrno>
#include <cstdlib>

#include "ulerror.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

void ul_timefixzone() {
    static bool fixed = false;
    if (fixed) return;
    fixed = true;
    if (!getenv("TZ") && !getenv("KEEP_MISSING_TZ")) setenv("TZ", ":/etc/localtime", 1);
    tzset();
}

time_t ul_getfulltime(unsigned* milliseconds, int /*flags*/) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    if (milliseconds) *milliseconds = static_cast<unsigned>(now.tv_usec / 1000);
    return now.tv_sec;
}

int ul_timegetstamp(char16_t* buffer, size_t size, time_t time, int format) {
    ul_timefixzone();
    unsigned milliseconds = 0;
    bool now = time == static_cast<time_t>(-1);
    if (now) time = ul_getfulltime(&milliseconds, 0);
    struct tm local;
    if (!localtime_r(&time, &local)) {
        ul_errorsetmsgfmt(0, u"Cannot convert time value %ld", static_cast<long>(time));
        return UL_ERROR_RETURN(-1);
    }
    int year = local.tm_year + 1900, month = local.tm_mon + 1;
    int n;
    switch (format) {
        case 1:
        case 3:
            n = ul_sprintf(buffer, size, u"%04d%02d%02d%02d%02d%02d", year, month, local.tm_mday,
                           local.tm_hour, local.tm_min, local.tm_sec);
            break;
        case 5:
            n = ul_sprintf(buffer, size, u"%04d%02d%02d", year, month, local.tm_mday);
            break;
        default:
            n = ul_sprintf(buffer, size, u"%04d/%02d/%02d %02d:%02d:%02d", year, month,
                           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
            break;
    }
    if ((format == 3 || format == 4) && now && n >= 0 && static_cast<size_t>(n) < size)
        n += ul_sprintf(buffer + n, size - static_cast<size_t>(n), u".%03d",
                        static_cast<int>(milliseconds));
    return n;
}

namespace {

int bufferTooSmall(const char16_t* what, size_t size) {
    ul_errorsetmsgfmt(0, u"Buffer of %d characters too small for %s", static_cast<int>(size), what);
    return UL_ERROR_RETURN(-1);
}

// Reads an unsigned decimal number of 1 to width digits at *p.
bool readDigits(const char16_t*& p, int width, int& value) {
    int n = 0;
    value = 0;
    while (n < width && ul_isdigit(*p)) {
        value = value * 10 + (*p++ - u'0');
        ++n;
    }
    return n > 0;
}

}  // namespace

time_t ul_timestamp2sec(const char16_t* stamp) {
    ul_timefixzone();
    static const int kWidths[6] = {4, 2, 2, 2, 2, 2};
    int values[6];
    int got = 0;
    const char16_t* p = stamp ? stamp : u"";
    while (got < 6 && readDigits(p, kWidths[got], values[got])) ++got;
    if (got < 6) {
        ul_errorsetmsgfmt(0, u"Cannot convert time stamp '%s', expected 6 values, got only %d",
                          stamp, got);
        return UL_ERROR_RETURN(static_cast<time_t>(-1));
    }
    struct tm local = {};
    local.tm_year = values[0] - 1900;
    local.tm_mon = values[1] - 1;
    local.tm_mday = values[2];
    local.tm_hour = values[3];
    local.tm_min = values[4];
    local.tm_sec = values[5];
    local.tm_isdst = -1;
    bool inRange = values[1] >= 1 && values[1] <= 12 && values[2] >= 1 && values[2] <= 31 &&
                   values[3] <= 23 && values[4] <= 59 && values[5] <= 59;
    errno = 0;
    time_t result = inRange ? mktime(&local) : static_cast<time_t>(-1);
    // mktime moves a 31st of February into March; such a stamp names no day. A result of -1
    // is a valid second (the last one of 1969) unless mktime set errno.
    if (!inRange || (result == static_cast<time_t>(-1) && errno != 0) ||
        local.tm_mday != values[2] || local.tm_mon != values[1] - 1) {
        ul_errorsetmsgfmt(0, u"Cannot convert time stamp '%s'", stamp);
        return UL_ERROR_RETURN(static_cast<time_t>(-1));
    }
    return result;
}

int ul_formatelapsed(char16_t* buffer, size_t size, long seconds) {
    const char16_t* sign = seconds < 0 ? u"-" : u"";
    unsigned long total = seconds < 0 ? 0UL - static_cast<unsigned long>(seconds)
                                      : static_cast<unsigned long>(seconds);
    int n;
    if (total >= 3600)
        n = ul_sprintf(buffer, size, u"%s%lu:%02lu:%02lu", sign, total / 3600, total / 60 % 60,
                       total % 60);
    else
        n = ul_sprintf(buffer, size, u"%s%lu:%02lu", sign, total / 60, total % 60);
    if (n < 0 || static_cast<size_t>(n) >= size) return bufferTooSmall(u"an elapsed time", size);
    return n;
}

int ul_timegetzoneoffset(char16_t* buffer, size_t size) {
    ul_timefixzone();
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local)) {
        ul_errorsetmsgfmt(0, u"Cannot convert time value %ld", static_cast<long>(now));
        return UL_ERROR_RETURN(-1);
    }
    long offset = local.tm_gmtoff;
    char16_t sign = offset < 0 ? u'-' : u'+';
    if (offset < 0) offset = -offset;
    long minutes = offset / 60;
    int n = ul_sprintf(buffer, size, u"UTC%c%0.2ld:%0.2ld", sign, minutes / 60, minutes % 60);
    if (n < 0 || static_cast<size_t>(n) >= size) return bufferTooSmall(u"a zone offset", size);
    return n;
}

void ul_sleep(double seconds) {
    UL_TRACE(UL_TRC_TIMES, 2, u"Sleeping for %g seconds.\n", seconds);
    if (!(seconds > 0)) return;
    struct timespec rest;
    rest.tv_sec = static_cast<time_t>(seconds);
    rest.tv_nsec = static_cast<long>((seconds - static_cast<double>(rest.tv_sec)) * 1e9);
    if (rest.tv_nsec > 999999999) rest.tv_nsec = 999999999;
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

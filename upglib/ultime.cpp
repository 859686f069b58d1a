#include "ultime.h"

#include <sys/time.h>

#include <cstdlib>

#include "ulerror.h"
#include "ulstring2.h"

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
        case 5: n = ul_sprintf(buffer, size, u"%04d%02d%02d", year, month, local.tm_mday); break;
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

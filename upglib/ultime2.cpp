#include "ultime2.h"

#include <cerrno>

#include "ulerror.h"
#include "ulstring.h"
#include "ultime.h"

namespace {

enum ParseError : int {
    kUnknown = 1,
    kRange = 2,
    kTwice = 3,
    kIncomplete = 4,
    kWeekday = 5,
    kEmpty = 6,
    kUnrepresentable = 7,
};

const char16_t* const kMonths[12] = {u"january",   u"february", u"march",    u"april",
                                     u"may",       u"june",     u"july",     u"august",
                                     u"september", u"october",  u"november", u"december"};
const char16_t* const kWeekdays[7] = {u"sunday",   u"monday", u"tuesday", u"wednesday",
                                      u"thursday", u"friday", u"saturday"};

bool isSeparator(char16_t c) {
    return ul_isspace(c) || c == u',';
}
bool isLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// Index of the name that word (length n) spells in full or abbreviated to three or more
// letters, or -1.
int findName(const char16_t* word, size_t n, const char16_t* const* names, int count) {
    if (n < 3) return -1;
    for (int i = 0; i < count; ++i)
        if (n <= ul_strlen(names[i]) && ul_strnicmp(word, names[i], n) == 0) return i;
    return -1;
}

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Day of the week (0 = Sunday) of a proleptic Gregorian date.
int weekdayOf(int year, int month, int day) {
    static const int kOffsets[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) --year;
    return (year + year / 4 - year / 100 + year / 400 + kOffsets[month - 1] + day) % 7;
}

class TimeParser {
  public:
    TimeParser(const char16_t* text, int flags) : text_(text ? text : u""), flags_(flags) {}

    time_t parse() {
        skipSeparators();
        if (!text_[pos_]) return fail(kEmpty, 0);
        while (text_[pos_]) {
            if (parseToken() < 0) return static_cast<time_t>(-1);
            // A token must end at a separator, the end, or a "T" between date and time.
            char16_t next = text_[pos_];
            if (next == u'T' && dateDone_ && !timeDone_ && ul_isdigit(text_[pos_ + 1])) {
                ++pos_;
                continue;
            }
            if (next && !isSeparator(next)) return fail(kUnknown, pos_);
            skipSeparators();
        }
        return finish();
    }

  private:
    const char16_t* text_;
    int flags_;
    size_t pos_ = 0;
    int year_ = -1, month_ = -1, day_ = -1;
    int hour_ = 0, minute_ = 0, second_ = 0;
    bool dateDone_ = false, timeDone_ = false;
    int weekday_ = -1;
    size_t weekdayPos_ = 0;
    // Parts of a date spelled with a month name.
    int namedMonth_ = -1, namedDay_ = -1, namedYear_ = -1;
    size_t namedMonthPos_ = 0;
    size_t loneNumberPos_ = 0;  // the first number outside the numeric layouts

    time_t fail(int code, size_t pos) {
        ul_errorsetmsgfmt(0, u"Incomprehensible time/date spec '%s' (#%d) at pos %d", text_, code,
                          static_cast<int>(pos));
        return UL_ERROR_RETURN(static_cast<time_t>(-1));
    }

    void skipSeparators() {
        while (text_[pos_] && isSeparator(text_[pos_])) ++pos_;
    }

    size_t digitsAt(size_t pos) const {
        size_t n = 0;
        while (ul_isdigit(text_[pos + n])) ++n;
        return n;
    }

    int number(size_t pos, size_t n) const {
        int value = 0;
        for (size_t i = 0; i < n; ++i) value = value * 10 + (text_[pos + i] - u'0');
        return value;
    }

    int setDate(size_t pos, int year, int month, int day) {
        if (dateDone_ || namedMonth_ >= 0) return static_cast<int>(fail(kTwice, pos));
        if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
            return static_cast<int>(fail(kRange, pos));
        year_ = year;
        month_ = month;
        day_ = day;
        dateDone_ = true;
        return 0;
    }

    int setTime(size_t pos, int hour, int minute, int second) {
        if (timeDone_) return static_cast<int>(fail(kTwice, pos));
        if (hour > 23 || minute > 59 || second > 59) return static_cast<int>(fail(kRange, pos));
        hour_ = hour;
        minute_ = minute;
        second_ = second;
        timeDone_ = true;
        return 0;
    }

    int parseToken() {
        size_t start = pos_;
        if (isLetter(text_[start])) return parseWord();
        size_t n = digitsAt(start);
        if (n == 0) return static_cast<int>(fail(kUnknown, start));
        const char16_t* p = text_ + start;
        if (n == 14) {
            pos_ += 14;
            if (setDate(start, number(start, 4), number(start + 4, 2), number(start + 6, 2)) < 0)
                return UL_ERROR_RETURN(-1);
            return setTime(start, number(start + 8, 2), number(start + 10, 2),
                           number(start + 12, 2));
        }
        if (n == 8) {
            pos_ += 8;
            return setDate(start, number(start, 4), number(start + 4, 2), number(start + 6, 2));
        }
        if (n == 4 && p[4] && !isSeparator(p[4])) {
            // YYYY?MM?DD with any single separator characters.
            size_t m = digitsAt(start + 5);
            if (m >= 1 && m <= 2 && p[5 + m] && !isSeparator(p[5 + m])) {
                size_t d = digitsAt(start + 6 + m);
                if (d >= 1 && d <= 2) {
                    pos_ = start + 6 + m + d;
                    return setDate(start, number(start, 4), number(start + 5, m),
                                   number(start + 6 + m, d));
                }
            }
            return static_cast<int>(fail(kUnknown, start));
        }
        if (n <= 2 && p[n] == u'.') {
            size_t m = digitsAt(start + n + 1);
            if (m >= 1 && m <= 2 && p[n + 1 + m] == u'.' && digitsAt(start + n + 2 + m) == 4) {
                pos_ = start + n + 2 + m + 4;
                return setDate(start, number(start + n + 2 + m, 4), number(start + n + 1, m),
                               number(start, n));
            }
            return static_cast<int>(fail(kUnknown, start));
        }
        if (n <= 2 && p[n] == u':') {
            size_t m = digitsAt(start + n + 1);
            if (m < 1 || m > 2) return static_cast<int>(fail(kUnknown, start));
            int second = 0;
            pos_ = start + n + 1 + m;
            if (text_[pos_] == u':') {
                size_t s = digitsAt(pos_ + 1);
                if (s < 1 || s > 2) return static_cast<int>(fail(kUnknown, start));
                second = number(pos_ + 1, s);
                pos_ += 1 + s;
            }
            return setTime(start, number(start, n), number(start + n + 1, m), second);
        }
        // A lone number belongs to a date spelled with a month name.
        pos_ += n;
        if (namedDay_ < 0 && namedYear_ < 0) loneNumberPos_ = start;
        if (n == 4) {
            if (namedYear_ >= 0) return static_cast<int>(fail(kTwice, start));
            namedYear_ = number(start, 4);
            return 0;
        }
        if (n <= 2) {
            if (namedDay_ >= 0) return static_cast<int>(fail(kTwice, start));
            namedDay_ = number(start, n);
            return 0;
        }
        return static_cast<int>(fail(kUnknown, start));
    }

    int parseWord() {
        size_t start = pos_;
        while (isLetter(text_[pos_])) ++pos_;
        size_t n = pos_ - start;
        int month = findName(text_ + start, n, kMonths, 12);
        if (month >= 0) {
            if (namedMonth_ >= 0 || dateDone_) return static_cast<int>(fail(kTwice, start));
            namedMonth_ = month + 1;
            namedMonthPos_ = start;
            return 0;
        }
        int weekday = findName(text_ + start, n, kWeekdays, 7);
        if (weekday >= 0) {
            if (weekday_ >= 0) return static_cast<int>(fail(kTwice, start));
            weekday_ = weekday;
            weekdayPos_ = start;
            return 0;
        }
        return static_cast<int>(fail(kUnknown, start));
    }

    time_t finish() {
        if (namedMonth_ >= 0) {
            if (namedDay_ < 0 || namedYear_ < 0) return fail(kIncomplete, namedMonthPos_);
            if (namedDay_ < 1 || namedDay_ > daysInMonth(namedYear_, namedMonth_))
                return fail(kRange, namedMonthPos_);
            year_ = namedYear_;
            month_ = namedMonth_;
            day_ = namedDay_;
            dateDone_ = true;
        } else if (namedDay_ >= 0 || namedYear_ >= 0) {
            return fail(kUnknown, loneNumberPos_);
        }
        bool utc = flags_ & UL_TIMEPARSE_UTC;
        if (!dateDone_) {
            time_t now = time(nullptr);
            struct tm today;
            if (!(utc ? gmtime_r(&now, &today) : localtime_r(&now, &today)))
                return fail(kUnrepresentable, 0);
            year_ = today.tm_year + 1900;
            month_ = today.tm_mon + 1;
            day_ = today.tm_mday;
        }
        if (weekday_ >= 0 && weekday_ != weekdayOf(year_, month_, day_))
            return fail(kWeekday, weekdayPos_);
        struct tm value = {};
        value.tm_year = year_ - 1900;
        value.tm_mon = month_ - 1;
        value.tm_mday = day_;
        value.tm_hour = hour_;
        value.tm_min = minute_;
        value.tm_sec = second_;
        value.tm_isdst = -1;
        errno = 0;
        time_t result = utc ? timegm(&value) : mktime(&value);
        if (result == static_cast<time_t>(-1) && errno != 0) return fail(kUnrepresentable, 0);
        return result;
    }
};

}  // namespace

time_t ul_timeparsevalue(const char16_t* text, int flags) {
    ul_timefixzone();
    return TimeParser(text, flags).parse();
}

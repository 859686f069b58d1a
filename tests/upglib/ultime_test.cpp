#include "ultime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <tuple>

#include "testutil.h"
#include "tracecapture.h"
#include "ulerror.h"
#include "ultime2.h"

namespace {

// The rules of Central European Time as a POSIX zone string, so that the tests do not depend
// on the zone database of the machine.
const char* const kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";

constexpr time_t k20240115_103000Z = 1705314600;  // 2024-01-15 10:30:00 UTC, a Monday
constexpr time_t k20240701_100000Z = 1719828000;  // 2024-07-01 10:00:00 UTC, summer time

// Works in UTC unless a test sets another zone; the previous zone comes back afterwards.
class UlTimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ul_timefixzone();
        setZone("UTC");
        ul_errorsetmsg(0, nullptr);
    }
    static void setZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    static std::string stamp(time_t t, int format) {
        char16_t buffer[40];
        int n = ul_timegetstamp(buffer, 40, t, format);
        EXPECT_EQ(static_cast<size_t>(n), ul_strlen(buffer));
        return n < 0 ? "ERROR" : u8(buffer);
    }
    static time_t parse(const char* text, int flags = UL_TIMEPARSE_UTC) {
        return ul_timeparsevalue(ul_utf8to16(text).c_str(), flags);
    }

  private:
    struct ZoneReload {
        ~ZoneReload() { tzset(); }
    } reload_;  // destroyed after zone_ has put TZ back
    ScopedEnv zone_{"TZ", getenv("TZ")};
};

// ---- stamps ------------------------------------------------------------------------------

TEST_F(UlTimeTest, StampFormatsOfAFixedTime) {
    const std::tuple<int, const char*, const char*> cases[] = {
        {1, "20240115103000", "20240115113000"},
        {3, "20240115103000", "20240115113000"},  // milliseconds only for "now"
        {5, "20240115", "20240115"},
        {0, "2024/01/15 10:30:00", "2024/01/15 11:30:00"},
        {4, "2024/01/15 10:30:00", "2024/01/15 11:30:00"},
        {2, "2024/01/15 10:30:00", "2024/01/15 11:30:00"},
    };
    for (const auto& [format, utc, berlin] : cases) {
        setZone("UTC");
        EXPECT_EQ(stamp(k20240115_103000Z, format), utc) << format;
        setZone(kBerlin);
        EXPECT_EQ(stamp(k20240115_103000Z, format), berlin) << format;
    }
    // Summer time is two hours ahead; the autumn hour that repeats gives equal stamps.
    EXPECT_EQ(stamp(k20240701_100000Z, 1), "20240701120000");
    EXPECT_EQ(stamp(1729989000, 1), "20241027023000");
    EXPECT_EQ(stamp(1729992600, 1), "20241027023000");
    // Stamps of now carry milliseconds in formats 3 and 4.
    EXPECT_TRUE(std::regex_match(stamp(-1, 3), std::regex("[0-9]{14}\\.[0-9]{3}")));
    EXPECT_TRUE(std::regex_match(stamp(-1, 4), std::regex("[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9:]{8}\\.[0-9]{3}")));
    EXPECT_TRUE(std::regex_match(stamp(-1, 1), std::regex("[0-9]{14}")));
}

TEST_F(UlTimeTest, StampToSecondsInverseOfStamp) {
    setZone(kBerlin);
    const std::tuple<const char*, time_t> cases[] = {
        {"20240115113000", k20240115_103000Z}, {"20240701120000", k20240701_100000Z},
        {"20240331015959", 1711846799},  // last second of winter time
        {"20240331030000", 1711846800},  // first second of summer time
        {"19700101010000", 0},           {"19700101005959", -1},  // a valid second, not an error
        {"20240115113000.123", k20240115_103000Z},                 // anything behind is ignored
    };
    for (const auto& [stamp, expected] : cases) {
        ul_errorsetmsg(0, nullptr);
        EXPECT_EQ(ul_timestamp2sec(ul_utf8to16(stamp).c_str()), expected) << stamp;
        EXPECT_EQ(errorUtf8(), "") << stamp;
    }
    // Round trip at noon of every day of a leap year.
    for (time_t t = 1704106800; t < 1704106800 + 366 * 86400; t += 86400)
        ASSERT_EQ(ul_timestamp2sec(ul_utf8to16(stamp(t, 1).c_str()).c_str()), t) << stamp(t, 1);
    // Stamps with too few numbers say how many they have (-1: all six, but no valid time).
    const std::tuple<std::string, int> errors[] = {
        {"2024011510", 4},          {"", 0},
        {"2024-01-15 10:30:00", 1}, {"20240231120000", -1},
        {"20241301000000", -1},     {"20240115246000", -1},
        {"20240100000000", -1}};
    for (const auto& [stamp, got] : errors) {
        EXPECT_EQ(ul_timestamp2sec(ul_utf8to16(stamp.c_str()).c_str()), -1) << stamp;
        EXPECT_EQ(errorUtf8(),
                  "Cannot convert time stamp '" + stamp + "'" +
                      (got < 0 ? "" : ", expected 6 values, got only " + std::to_string(got)));
    }
}

// ---- elapsed times and zone offsets --------------------------------------------------------

TEST_F(UlTimeTest, ElapsedTimeAndZoneOffset) {
    const std::pair<long, const char*> elapsed[] = {
        {0, "0:00"}, {59, "0:59"}, {60, "1:00"}, {3599, "59:59"}, {3600, "1:00:00"}, {3661, "1:01:01"},
        {86399, "23:59:59"}, {172800, "48:00:00"}, {-61, "-1:01"}, {-3600, "-1:00:00"}};
    for (const auto& [seconds, expected] : elapsed) {
        char16_t buffer[32];
        EXPECT_EQ(ul_formatelapsed(buffer, 32, seconds), static_cast<int>(strlen(expected)));
        EXPECT_EQ(u8(buffer), expected) << seconds;
    }
    char16_t small[6];
    EXPECT_EQ(ul_formatelapsed(small, 6, 3599), 5);
    EXPECT_EQ(ul_formatelapsed(small, 6, 3600), -1);
    EXPECT_EQ(errorUtf8(), "Buffer of 6 characters too small for an elapsed time");

    const std::pair<const char*, const char*> zones[] = {
        {"UTC", "UTC+00:00"}, {"<+0530>-5:30", "UTC+05:30"}, {"<-0330>3:30", "UTC-03:30"},
        {"<-10>10", "UTC-10:00"}, {"<+1245>-12:45", "UTC+12:45"}};
    for (const auto& [zone, expected] : zones) {
        setZone(zone);
        char16_t buffer[16];
        EXPECT_EQ(ul_timegetzoneoffset(buffer, 16), 9);
        EXPECT_EQ(u8(buffer), expected) << zone;
    }
    char16_t nine[9];
    EXPECT_EQ(ul_timegetzoneoffset(nine, 9), -1);
}

TEST_F(UlTimeTest, SleepWaitsAndIsTraced) {
    TraceCapture trace(UL_TRC_TIMES, 2);
    auto start = std::chrono::steady_clock::now();
    ul_sleep(0.05);
    auto elapsed = std::chrono::steady_clock::now() - start;
    ul_sleep(-1);
    ul_sleep(0);
    EXPECT_GE(elapsed, std::chrono::milliseconds(50));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_NE(trace.text().find("Sleeping for 0.05 seconds.\n"), std::string::npos) << trace.text();
}

// ---- parsing -----------------------------------------------------------------------------

TEST_F(UlTimeTest, ParsesEveryLayout) {
    const time_t t = k20240115_103000Z, midnight = t - 10 * 3600 - 30 * 60;
    const std::tuple<const char*, time_t> cases[] = {
        {"20240115103000", t},        {"20240115", midnight},          {"2024-01-15", midnight},
        {"2024/1/15", midnight},      {"2024.01.15 10:30:00", t},      {"15.01.2024", midnight},
        {"15.1.2024 10:30", t},       {"10:30:00 15.01.2024", t},      {"2024-01-15T10:30:00", t},
        {"Mon Jan 15 10:30:00 2024", t}, {"monday, 15 january 2024, 10:30", t},
        {"January 15, 2024", midnight}, {"2024 Jan 15 10:30:00", t},   {"  15 SEPT 2024  ", 1726358400},
        {"29.02.2024", 1709164800},   // leap day
        {"31.12.2024 23:59:59", 1735689599},
        {"31.12.1969 23:59:59", -1},  // the last second of 1969, not an error
    };
    for (const auto& [text, expected] : cases) {
        ul_errorsetmsg(0, nullptr);
        EXPECT_EQ(parse(text), expected) << text << ": " << errorUtf8();
        EXPECT_EQ(errorUtf8(), "");
        EXPECT_EQ(parse(text, 0), expected) << text;
    }
    // In the local zone unless asked for UTC.
    setZone(kBerlin);
    EXPECT_EQ(parse("20240115113000", 0), k20240115_103000Z);
    EXPECT_EQ(parse("01.07.2024 12:00:00", 0), k20240701_100000Z);
    EXPECT_EQ(parse("01.07.2024 12:00:00"), k20240701_100000Z + 7200);
    // A time alone means that time today (checked unless midnight passes meanwhile).
    const auto today = [] {
        const time_t now = time(nullptr);
        char text[32];
        strftime(text, sizeof text, "%d.%m.%Y 10:30:00", localtime(&now));
        return std::string(text);
    };
    const std::string before = today();
    const time_t parsed = parse("10:30:00", 0);
    if (today() == before) {  // not across midnight
        EXPECT_EQ(parsed, parse(before.c_str(), 0)) << before;
    }
}

TEST_F(UlTimeTest, ParseErrorsNameCauseAndPosition) {
    const std::tuple<const char*, int, int> cases[] = {
        {"tomorrow", 1, 0}, {"10:30 xyz", 1, 6}, {"2024-01-15x", 1, 10}, {"15 2024", 1, 0}, {"123", 1, 0},
        {"10:", 1, 0}, {"2024-13-01", 2, 0}, {"29.02.2023", 2, 0}, {"29.02.2100", 2, 0},
        {"15.01.2024 24:00", 2, 11}, {"10:60", 2, 0}, {"Feb 30 2024", 2, 0}, {"20240115 20240116", 3, 9},
        {"10:00 11:00", 3, 6}, {"Jan Feb 2024", 3, 4}, {"15.01.2024 Jan", 3, 11}, {"Jan 2024", 4, 0},
        {"1 Jan", 4, 2}, {"Tue Jan 15 2024", 5, 0}, {"", 6, 0}, {" , ", 6, 0}};
    for (const auto& [text, code, pos] : cases) {
        EXPECT_EQ(parse(text), -1) << text;
        EXPECT_EQ(errorUtf8(), "Incomprehensible time/date spec '" + std::string(text) + "' (#" +
                                   std::to_string(code) + ") at pos " + std::to_string(pos));
    }
}

}  // namespace

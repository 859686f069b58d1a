// The monitor's arithmetic and file format, and the clock check, on the in-memory database as
// the FAKE engine answers it; the clock check on the real engines is shown by the CLI cases.
#include "zdbutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbif_fake.h"
#include "sqltestutil.h"
#include "tempdir.h"
#include "testutil.h"
#include "ultime.h"

namespace {

const ul_sqldbsupport_t kRows[] = {fakeVendorRow(UL_DBTYPE_ZDB, u"ZDBFAKE")};

class ZdbFakeTest : public FakeVendorTest {
  protected:
    ZdbFakeTest() : FakeVendorTest(kRows, std::size(kRows)) {}
    // Every figure's query answers its value (a negative value: no row).
    static void figures(const std::vector<long>& values) {
        const ul_sqlmonitorstmt_t* s = kRows[0].monitorStmts;
        for (size_t i = 0; s[i].name; ++i) {
            std::vector<dbif_fakerow_t> rows;
            if (values[i] >= 0)
                rows.push_back(
                    {dbif_fakedecimal(ul_utf8to16(std::to_string(values[i]).c_str()).c_str())});
            dbif_fake_setresult(s[i].statement, {column(u"V", DBIF_TYPE_DECIMAL, 20)}, rows);
        }
    }
    static std::u16string stamp(time_t t) {
        char16_t buffer[32];
        EXPECT_GT(ul_timegetstamp(buffer, std::size(buffer), t, UL_STAMP_DIGITS), 0);
        return buffer;
    }
};

// Two samples ten seconds apart: memory figures as read, CPU counters as the share of their
// growth (ms per second / 10 = percent); the first sample has no share yet. A figure without a
// row stays all ones. The header is written for a new file only.
TEST_F(ZdbFakeTest, MonitorLinesFromCounters) {
    TempDir dir;
    const std::u16string path = dir.wpath("mon.txt");
    const time_t t0 = 1700000000;
    ULZdbMonitor monitor(kRows[0].monitorStmts);
    ASSERT_EQ(monitor.open(path.c_str(), 0), 0);
    figures({100, 200, 50, 30, 20, 1000, 4000, 5000, 1000, 0, 90000});
    ASSERT_EQ(monitor.sample(t0), 0) << errorUtf8();
    figures({110, 200, -1, 30, 20, 1000, 4000, 5500, 1100, 25, 170000});
    ASSERT_EQ(monitor.sample(t0 + 10), 0) << errorUtf8();
    // Every line is in the file as soon as it is sampled.
    EXPECT_EQ(readFileBytes(dir.path("mon.txt")),
              "#TIMESTAMP:USED_MEMORY:MAX_MEMORY:INDSRV_MEMORY:TOTAL_COL_USED:TOTAL_ROW_USED:"
              "FREE_MEMORY:PHYS_MEMORY:CPU_USER_PERC:CPU_SYSTEM_PERC:CPU_IO_PERC:CPU_IDLE_PERC\n" +
                  u8(stamp(t0)) + ";100;200;50;30;20;1000;4000;0;0;0;0\n" + u8(stamp(t0 + 10)) +
                  ";110;200;18446744073709551615;30;20;1000;4000;5.00;1.00;0.25;800.00\n");
    ASSERT_EQ(monitor.close(), 0);
    ULZdbMonitor again(kRows[0].monitorStmts);
    ASSERT_EQ(again.open(path.c_str(), UL_ZDBMON_VERBOSE), 0);
    EXPECT_EQ(again.options(), unsigned{UL_ZDBMON_VERBOSE});
    ASSERT_EQ(again.close(), 0);
}

// The clock rule: up to 1800 seconds either way pass, beyond fails with result 2.
TEST_F(ZdbFakeTest, ClockDifference) {
    const time_t now = 1700000000;
    ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << errorUtf8();
    const struct {
        long offset;
        int result;
        const char* message;
    } cases[] = {
        {0, 0, "1 ETQ399 Time difference Zentra - local = 0.000."},
        {-1800, 0, "1 ETQ399 Time difference Zentra - local = -1800.000."},
        {1801, 2,
         "1EETQ399 Zentra DB is 1801.000000 seconds in the future - this is not acceptable"},
        {-1801, 2,
         "1EETQ399 Zentra DB is -1801.000000 seconds in the future - this is not acceptable"},
    };
    for (const auto& c : cases) {
        MemoryStream log;
        ul_msgwrite_setfp(log.get());
        dbif_fake_setresult(
            kRows[0].clockStmt,
            {column(u"L", DBIF_TYPE_CHAR, 14), column(u"U", DBIF_TYPE_CHAR, 14)},
            {{dbif_faketext(stamp(now + c.offset).c_str()), dbif_faketext(u"19700101000000")}});
        EXPECT_EQ(ul_zdbchecktimediff(now), c.result) << c.offset << ": " << errorUtf8();
        EXPECT_EQ(log.text(), std::string(c.message) + "\n");
        ul_msgwrite_setfp(log_.get());
    }
    dbif_fake_setresult(kRows[0].clockStmt, {column(u"L", DBIF_TYPE_CHAR, 14)},
                        {{dbif_faketext(u"2026130")}});
    EXPECT_EQ(ul_zdbchecktimediff(now), -1);
}

}  // namespace

// The diagnostic commands where the real engines cannot go: a view-layer system (the
// in-memory database answered by FAKE) and failures in the middle of a command. The commands'
// ordinary runs are covered by tests/cli/diagnostics*.test against the real binary.
#include "dbping.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "dbif_fake.h"
#include "sqltestutil.h"
#include "tabrix.h"
#include "testutil.h"
#include "ulmsgwrite.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"

namespace {

const ul_sqldbsupport_t kRows[] = {fakeVendorRow(UL_DBTYPE_ZDB, u"ZDBFAKE"),
                                   fakeVendorRow(UL_DBTYPE_DB6, u"DB6FAKE")};

constexpr char16_t kPing[] = u"SELECT * FROM SVERS";

class DbPingTest : public FakeVendorTest {
  protected:
    DbPingTest() : FakeVendorTest(kRows, std::size(kRows)) {}
    // Runs a handler with the words; returns its status and its standard output.
    static std::pair<int, std::string> run(int (*handler)(unsigned, const char16_t**),
                                           std::vector<const char16_t*> words) {
        words.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        const int rc = handler(static_cast<unsigned>(words.size() - 1), words.data());
        return {rc, ::testing::internal::GetCapturedStdout()};
    }
};

TEST_F(DbPingTest, VersionExtOnAViewLayerSystemListsItsSchemas) {
    const struct {
        const char* side;
        const char16_t* toolsBlue;
        const char* expected;
    } cases[] = {
        {"0", u"TOOLSB",
         "DBUSER=DBUSER\nDBSCHEMA=TOOLSB\nIS_VIEWLAYER=1\nDBSCHEMA_BLUE=TOOLSB\n"
         "DBSCHEMA_GREEN=TOOLSG\nDBSCHEMA_DATA=DBUSER\n"},
        // An empty schema is left out.
        {"1", u"",
         "DBUSER=DBUSER\nDBSCHEMA=TOOLSG\nIS_VIEWLAYER=2\nDBSCHEMA_GREEN=TOOLSG\n"
         "DBSCHEMA_DATA=DBUSER\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.side);
        dbif_fake_reset();
        dbif_fake_setcontrol(DBIF_CTL_USER, DBIF_RC_OK, u"DBUSER");
        dbif_fake_setcontrol(DBIF_CTL_VIEW_LAYER, DBIF_RC_OK, nullptr);
        systemState({{u"VIEW_LAYER", u"x"},
                     {u"CURRENT_SCHEMA_TOOLS", c.toolsBlue},
                     {u"CURRENT_SCHEMA_TOOLS_GREEN", u"TOOLSG"}});
        setenv("soi_system_identifier", c.side, 1);
        auto [rc, out] = run(cmd_DBVERSION, {u"dbversionExt"});
        ASSERT_EQ(rc, 0) << u8(ul_errorgetmsg());
        EXPECT_EQ(out,
                  std::string("DBVERSION=FAKE 1.0\nCLIENTVERSION=FAKE 1.0\nDBHOST=localhost\n") +
                      c.expected);
        EXPECT_FALSE(ul_sqlisconnected());
    }
}

TEST_F(DbPingTest, VersionFailureDisconnectsAndKeepsTheReason) {
    setenv("dbms_type", "DB6FAKE", 1);
    dbif_fake_setcontrol(DBIF_CTL_HOST, DBIF_RC_DB_ERROR, u"host unknown");
    auto [rc, out] = run(cmd_DBVERSION, {u"dbversion"});
    EXPECT_TRUE(failedWith(rc, "DBIF error 99 (db code -1): Getting DB host failed\nhost unknown"));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(ul_sqlisconnected());
}

TEST_F(DbPingTest, FailingPingDisconnectsWithoutAverage) {
    setenv("dbms_type", "DB6FAKE", 1);
    dbif_fake_setresult(kPing, {textColumn(u"VERSION")}, {{dbif_faketext(u"750")}});
    // The warm-up and the first ping succeed, the second fails.
    dbif_fake_setfailure(dbif_fakeop::begRead, kPing, {DBIF_RC_DB_ERROR, 4711, u"gone", 2, 0});
    auto [rc, out] = run(cmd_DBPING, {u"dbping", u"sleep=0", u"5"});
    EXPECT_TRUE(failedWith(rc, "DBIF error 99 (db code 4711): \ngone"));
    EXPECT_FALSE(ul_sqlisconnected());
    const std::string log = log_.text();
    EXPECT_NE(log.find("2 ETQ399 Ping # 1: elapsed "), std::string::npos);
    EXPECT_EQ(log.find("Ping # 2"), std::string::npos);
    EXPECT_EQ(log.find("Average"), std::string::npos);
    // The prepared statement ran three times: warm-up, ping 1, the failing ping 2.
    size_t reads = 0;
    for (const dbif_fakecall_t& call : dbif_fake_calls())
        reads += call.op == dbif_fakeop::begRead && call.sql == kPing;
    EXPECT_EQ(reads, 3u);
}

}  // namespace

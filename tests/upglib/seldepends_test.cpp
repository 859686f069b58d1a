// View dependencies on both engines: views over views found level by level and the repair marks
// in DDXTT. The graph and the listing the same data give are shown by tests/cli/seldepends.test.
#include "seldepends.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sqltestutil.h"

namespace {

class SelDependsTest : public SqlEngineTest {
  protected:
    void SetUp() override {
        SqlEngineTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
    }
    void TearDown() override {
        for (const char16_t* t : {u"DDXTT", u"DD26S", u"DDLDEPENDENCY", u"DDCDS_FROMCLAUSE"})
            (void)exec(u"DROP TABLE " + std::u16string(t), nullptr, UL_SQLMODE_TOLERATE);
        SqlEngineTest::TearDown();
    }
    static void run(const std::vector<std::u16string>& statements) {
        for (const std::u16string& sql : statements)
            ASSERT_GE(exec(sql), 0) << u8(sql) << errorUtf8();
    }
};

// T1 and T2 are the lowest level ("1"; the blank size of B1 does not count). V1 is on T1, V2 on
// V1 and T2, V3 on V2; the core-data-services entity E1 is on V1. T9 (level 2) and V3 (no DDXTT
// row) are not repaired.
TEST_P(SelDependsTest, ViewsOverViewsAndRepair) {
    run({u"CREATE TABLE DDXTT (TABNAME VARCHAR(30), MODEFLAG CHAR(1), TABLSIZE VARCHAR(10))",
         u"CREATE TABLE DD26S (VIEWNAME VARCHAR(30), TABNAME VARCHAR(30))",
         u"CREATE TABLE DDLDEPENDENCY (DDLNAME VARCHAR(30), OBJECTNAME VARCHAR(30), STATE "
         u"CHAR(1), OBJECTTYPE VARCHAR(4))",
         u"CREATE TABLE DDCDS_FROMCLAUSE (ENTITY_NAME VARCHAR(30), BASE_OBJ_NAME VARCHAR(30), "
         u"AS4LOCAL CHAR(1), PARAMETER_NAME VARCHAR(30))",
         u"INSERT INTO DDXTT VALUES ('T1', 'V', '1'), ('T2', 'V', '1'), ('B1', 'V', ' '), "
         u"('T9', 'V', '2'), ('V1', 'X', '3'), ('V2', '', '3'), ('E1', 'X', '4')",
         u"INSERT INTO DD26S VALUES ('V1', 'T1'), ('V2', 'V1'), ('V2', 'T2'), ('V3', 'V2'), "
         u"('V9', 'T9')",
         u"INSERT INTO DDLDEPENDENCY VALUES ('D1', 'V1', 'A', 'VIEW'), ('D1', 'S1', 'A', 'STOB')",
         u"INSERT INTO DDCDS_FROMCLAUSE VALUES ('E1', 'S1', 'A', 'DIRECT_BASE_OBJECT')"});
    MemoryStream log;
    ul_msgwrite_setfp(log.get());
    ul_seldepoptions_t options;
    options.operations = UL_SELDEP_REPAIR | UL_SELDEP_CREATEGRAPH | UL_SELDEP_WRITEPMSG;
    ULSelDepends deps(options);
    ASSERT_EQ(deps.run(), 0) << errorUtf8() << log.text();
    ASSERT_EQ(ul_sqlcommit2(nullptr, UL_COMMIT_QUIET), 0);

    EXPECT_EQ(select(u"SELECT TABNAME FROM DDXTT WHERE MODEFLAG = 'A' ORDER BY TABNAME"),
              (std::vector<std::u16string>{u"E1", u"T1", u"T2", u"V1", u"V2"}));
}

INSTANTIATE_TEST_SUITE_P(Engines, SelDependsTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

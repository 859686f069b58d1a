#include "ulsqlbase.h"

#include <gtest/gtest.h>

#include <string>

#include "testutil.h"
#include "ulerror.h"
#include "ulmsgwrite.h"

namespace {

class UlSqlBaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ul_msgwrite_reset();
        ASSERT_EQ(ul_sqlsetisolevel(0), 0);
        ul_errorsetmsg(0, nullptr);
    }
    void TearDown() override {
        ul_msgwrite_reset();
        ul_sqlsetisolevel(0);
    }
};

TEST_F(UlSqlBaseTest, IsolationLevelKeywords) {
    const struct {
        const char16_t* keyword;
        int level;
    } cases[] = {
        {u"committed", 1}, {u"COMMITTED", 1},   {u"Committed", 1}, {u"default", 0}, {u"DEFAULT", 0},
        {u"commit", -1},   {u"committed ", -1}, {u"", -1},         {u"1", -1},      {nullptr, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keyword ? u8(c.keyword) : "null");
        EXPECT_EQ(ul_sqlisolevelfromstring(c.keyword), c.level);
    }
}

TEST_F(UlSqlBaseTest, SetAndGetIsolationLevel) {
    EXPECT_EQ(ul_sqlgetisolevel(), 0);
    EXPECT_EQ(ul_sqlsetisolevel(UL_ISOLEVEL_COMMITTED), 0);
    EXPECT_EQ(ul_sqlgetisolevel(), 1);
    for (int invalid : {2, -1, 10}) {
        SCOPED_TRACE(invalid);
        EXPECT_EQ(ul_sqlsetisolevel(invalid), -1);
        EXPECT_EQ(u8(ul_errorgetmsg()), "Invalid isolation level " + std::to_string(invalid));
        EXPECT_EQ(ul_sqlgetisolevel(), 1);
    }
    EXPECT_EQ(ul_sqlsetisolevel(UL_ISOLEVEL_DEFAULT), 0);
    EXPECT_EQ(ul_sqlgetisolevel(), 0);
}

TEST_F(UlSqlBaseTest, SettingTheLevelIsLogged) {
    ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
    MemoryStream out;
    ul_msgwrite_setfp(out.get());
    ASSERT_EQ(ul_sqlsetisolevel(1), 0);
    ASSERT_EQ(ul_sqlsetisolevel(0), 0);
    EXPECT_EQ(out.text(),
              "3 ETQ399 Setting isolation level to 'COMMITTED' for future.\n"
              "3 ETQ399 Setting isolation level to 'DEFAULT' for future.\n");
    ul_msgwrite_reset();
}

}  // namespace

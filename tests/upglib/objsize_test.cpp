// Object sizes from the engines' own storage figures: the same objects on both engines. The
// lines written and the messages for objects that do not exist are shown by
// tests/cli/objsize*.test.
#include "objsize.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sqltestutil.h"

namespace {

class ObjSizeTest : public SqlEngineTest {
  protected:
    void SetUp() override {
        SqlEngineTest::SetUp();
        if (IsSkipped()) return;
        table_ = session_.table("OBJSIZE");
        index_ = session_.table("OBJSIZE_I");
        ASSERT_EQ(exec(u"CREATE TABLE \"" + table_ +
                       u"\" (K INTEGER NOT NULL PRIMARY KEY, V VARCHAR(200))"),
                  0);
        ASSERT_EQ(exec(u"CREATE INDEX \"" + index_ + u"\" ON \"" + table_ + u"\" (V)"), 0);
        for (int i = 0; i < 1000; ++i)
            ASSERT_EQ(
                exec(ul_format(u"INSERT INTO \"%s\" VALUES (%d, '%0150d')", table_.c_str(), i, i)),
                1);
        ASSERT_EQ(ul_sqlcommit2(nullptr, UL_COMMIT_QUIET), 0);
    }
    std::u16string database() const {
        return session_.isPg() ? select(u"SELECT current_database()")[0] : u"main";
    }
    std::u16string table_, index_;
};

// 1000 rows of 150 characters take well over 150 KB in the table and in the index on them;
// the database holds both, so its size in MB covers their KB.
TEST_P(ObjSizeTest, FiguresArePositiveAndConsistent) {
    std::vector<dbif_objsize_t> objects = {
        {dbif_objkind::table, table_, u"", -1},
        {dbif_objkind::index, index_, table_, -1},
        {dbif_objkind::database, database(), u"", -1},
    };
    ASSERT_EQ(ul_objsizeget(&objects), 0) << errorUtf8();
    EXPECT_GE(objects[0].size, 150);
    EXPECT_GE(objects[1].size, 150);
    EXPECT_GE(objects[2].size * 1024, objects[0].size + objects[1].size);
}

INSTANTIATE_TEST_SUITE_P(Engines, ObjSizeTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

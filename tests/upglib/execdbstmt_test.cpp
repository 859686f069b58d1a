// The required table suffix of execdb scripts: which names of a statement it checks. The
// environment conditions are shown by tests/cli/execdb.test.
#include "execdbstmt.h"

#include <gtest/gtest.h>

#include <string>

#include "ulerror.h"
#include "ulstring.h"

namespace {

TEST(ExecDbStmt, RequiredTableSuffix) {
    const struct {
        const char16_t* sql;
        bool brackets;
        const char16_t* error;  // null: accepted; "" : no quoted name; else the wrong table
    } cases[] = {
        {u"DELETE FROM \"T~\" WHERE \"A\" = 'FROM x'", false, nullptr},
        {u"insert into \"S\".\"T~\" (\"A\", \"B\") values (1, 2)", false, nullptr},
        {u"UPDATE \"T~\" SET \"A\" = (SELECT MAX(\"A\") FROM \"U~\")", false, nullptr},
        {u"SELECT \"A\" FROM \"T~\" x, \"U~\" y WHERE x.\"A\" = y.\"A\"", false, nullptr},
        {u"SELECT \"A\" FROM \"T~\" x, \"U\" y", false, u"U"},
        {u"SELECT * FROM \"T~\" JOIN \"U\" ON \"T~\".\"A\" = \"U\".\"A\"", false, u"U"},
        {u"CREATE INDEX \"I\" ON \"T~\" (\"A\")", false, nullptr},
        {u"DROP INDEX \"I\"", false, u"I"},
        {u"DROP TABLE IF EXISTS \"~\"", false, u"~"},  // the suffix alone is no name
        {u"ALTER TABLE \"T~\" ADD FOREIGN KEY (\"A\") REFERENCES \"P\" (\"A\")", false, u"P"},
        {u"TRUNCATE \"T~\" /* FROM T */ -- FROM U", false, nullptr},
        {u"DELETE FROM [T~]", true, nullptr},
        {u"DELETE FROM T~", false, u""},
        {u"DELETE FROM \"S\".T~", false, u""},
        {u"SELECT 1", false, u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ul_utf16to8(c.sql));
        EXPECT_EQ(ul_execdbchecksuffix(c.sql, u"~", c.brackets), c.error ? -1 : 0);
        if (!c.error) continue;
        const std::u16string expected =
            *c.error ? u"Table '" + std::u16string(c.error) +
                           u"' does not have the required suffix '~' in '" + c.sql + u"'"
                     : u"No quoted table name in '" + std::u16string(c.sql) + u"'";
        EXPECT_EQ(std::u16string(ul_errorgetmsg()), expected);
    }
}

}  // namespace

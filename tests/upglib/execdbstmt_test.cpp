// The two rules of execdb scripts that need no database: environment conditions and the
// required table suffix. The command itself runs through tests/cli/execdb*.test.
#include "execdbstmt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ulerror.h"
#include "ulstring.h"

namespace {

TEST(ExecDbStmt, EnvironmentConditions) {
    setenv("EXDB_A", "Alpha", 1);
    setenv("EXDB_E", "", 1);
    unsetenv("EXDB_NONE");
    const struct {
        const char16_t* condition;
        int expected;
        const char16_t* error;  // the message of a -1
    } cases[] = {
        {u"", 1, nullptr},
        {u"  ", 1, nullptr},
        {u"EXDB_E", 1, nullptr},  // set, even if empty
        {u"EXDB_NONE", 0, nullptr},
        {u"EXDB_A=alpha", 1, nullptr},
        {u"EXDB_A=alp", 0, nullptr},
        {u"EXDB_A~LPH", 1, nullptr},
        {u"EXDB_NONE~", 0, nullptr},
        {u" EXDB_A & EXDB_E ", 1, nullptr},
        {u"EXDB_A&EXDB_NONE", 0, nullptr},
        {u"EXDB_NONE | EXDB_A=ALPHA", 1, nullptr},
        {u"EXDB_NONE|EXDB_A=beta", 0, nullptr},
        {u"EXDB_A&EXDB_E|EXDB_NONE", -1,
         u"Illegal mixture of separators in 'EXDB_A&EXDB_E|EXDB_NONE'"},
        {u"EXDB_A&", -1, u"Empty part in 'EXDB_A&'"},
        {u"|EXDB_A", -1, u"Empty part in '|EXDB_A'"},
        {u"=x", -1, u"Empty part in '=x'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ul_utf16to8(c.condition));
        ul_errorsetmsg(0, nullptr);
        EXPECT_EQ(ul_execdbenvcondition(c.condition), c.expected);
        if (c.error) {
            EXPECT_EQ(std::u16string(ul_errorgetmsg()), c.error);
        }
    }
    unsetenv("EXDB_A");
    unsetenv("EXDB_E");
}

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
        {u"CREATE TABLE IF NOT EXISTS \"T~\" (\"A\" INT)", false, nullptr},
        {u"CREATE INDEX \"I\" ON \"T~\" (\"A\")", false, nullptr},
        {u"DROP INDEX \"I\"", false, u"I"},
        {u"DROP VIEW \"V~\"", false, nullptr},
        {u"DROP TABLE \"~\"", false, u"~"},  // the suffix alone is no name
        {u"ALTER TABLE \"T~\" ADD FOREIGN KEY (\"A\") REFERENCES \"P\" (\"A\")", false, u"P"},
        {u"TRUNCATE \"T~\" /* FROM T */ -- FROM U", false, nullptr},
        {u"DELETE FROM [T~]", true, nullptr},
        {u"DELETE FROM [T~]", false, u""},
        {u"DELETE FROM T~", false, u""},
        {u"DELETE FROM \"S\".T~", false, u""},
        {u"SELECT 1", false, u""},
        {u"DELETE FROM \"T\"\"~\"", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ul_utf16to8(c.sql));
        const int rc = ul_execdbchecksuffix(c.sql, u"~", c.brackets);
        EXPECT_EQ(rc, c.error ? -1 : 0);
        if (!c.error) continue;
        const std::u16string expected =
            *c.error ? u"Table '" + std::u16string(c.error) +
                           u"' does not have the required suffix '~' in '" + c.sql + u"'"
                     : u"No quoted table name in '" + std::u16string(c.sql) + u"'";
        EXPECT_EQ(std::u16string(ul_errorgetmsg()), expected);
    }
}

}  // namespace

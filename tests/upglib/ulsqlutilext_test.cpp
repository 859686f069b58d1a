// Literals of values that hold NUL characters: written whole by every form and read back whole.
#include "ulsqlutilext.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "testutil.h"
#include "ulsqlbase.h"

namespace {

TEST(UlSqlUtilExtTest, NulCharactersKeepTheirPlaceInLiterals) {
    using namespace std::string_view_literals;
    const struct Case {
        std::u16string_view value;
        int tokenClass;
        int dbType;
        std::u16string_view expected;  // empty: error
    } cases[] = {
        {u"a\0b"sv, UL_SQLTOKEN_STRING, UL_DBTYPE_SQLITE, u"('a' || char(0) || 'b')"sv},
        {u"a\0"sv, UL_SQLTOKEN_STRING, UL_DBTYPE_SQLITE, u"('a' || char(0))"sv},
        {u"\0\n"sv, UL_SQLTOKEN_NUMC, UL_DBTYPE_PGSQL, u"(chr(0) || chr(10))"sv},
        {u"1\0002"sv, UL_SQLTOKEN_NUMBER, UL_DBTYPE_SQLITE, u""sv},
        {u"0A\0"sv, UL_SQLTOKEN_HEXSTRING, UL_DBTYPE_SQLITE, u""sv},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(std::u16string(c.expected)));
        std::u16string text = u"x=";
        const int rc =
            ul_sqlappendliteral(&text, c.value, c.tokenClass, ul_sqlliteralform(c.dbType));
        if (c.expected.empty()) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(text, u"x=");
            continue;
        }
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(std::u16string_view(text).substr(2), c.expected);
        std::u16string back;
        int backClass = 0;
        EXPECT_EQ(ul_sqlreadliteral(text.c_str() + 2, &back, &backClass), c.expected.size());
        EXPECT_EQ(back, c.value);
    }
}

}  // namespace

// Where files: written and read back, and the reader's rules for hand-written files.
#include "ulsqlwherefile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sqltestutil.h"
#include "tempdir.h"
#include "testutil.h"
#include "ulmacro.h"
#include "ulstring2.h"

namespace {

class UlSqlWhereFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ul_sqlwherefilesforget();
        ASSERT_TRUE(dir_.ok());
    }
    std::u16string path(const std::string& name) { return dir_.wpath(name); }
    // Writes one table's conditions to a new file and reads them back: the table's conditions,
    // or the error text (starting with "!") of the writer, which then has written nothing.
    std::vector<std::u16string> roundTrip(const std::u16string& table,
                                          const std::vector<std::u16string>& written,
                                          int flags = 0) {
        ul_sqlwherefilesforget();
        const std::u16string file = path("rt.whr");
        std::filesystem::remove(dir_.path("rt.whr"));
        ULTableSplit split;
        for (const std::u16string& c : written) split.createSegmentEntry(1, c.c_str(), 0);
        if (ul_sqlwritewherefile(file.c_str(), table.c_str(), &split, flags, nullptr) < 0) {
            EXPECT_FALSE(std::filesystem::exists(dir_.path("rt.whr")));
            return {u"!" + errorText()};
        }
        ULTableSplitList list;
        if (ul_sqlreadwherefile(&list, file.c_str(), nullptr, nullptr, 0) < 0)
            return {u"!read: " + errorText()};
        if (list.m_hash.getCount() != 1) return {u"!read: other tables"};
        const ULTableSplit* back = list.get(table.c_str(), UL_HASH_QUIET);
        return back ? conditions(*back) : std::vector<std::u16string>{u"!read: no table"};
    }
    int read(const std::string& name, const std::string& content, ULTableSplitList* list,
             const char16_t* table = nullptr, int flags = 0) {
        dir_.write(name, content);
        return ul_sqlreadwherefile(list, path(name).c_str(), table, nullptr, flags);
    }
    TempDir dir_;
};

// Every line goes through macro replacement when a provider is given, table names included.
TEST_F(UlSqlWhereFileTest, LinesGoThroughMacroReplacement) {
    const char16_t* suffix = u"_X";
    const char16_t* bound = u"'m'";
    const ul_macrodef_t defs[] = {
        {u"BOUND", UL_MACRODEF_STRING, 0, UL_MACRODEF_NOARGS, bound, nullptr, nullptr},
        {u"SFX", UL_MACRODEF_STRING, 0, UL_MACRODEF_NOARGS, suffix, nullptr, nullptr},
    };
    ULMacroDefProvider provider(defs, std::size(defs));
    dir_.write("m.whr", "tab: T$(SFX)\nWHERE K < $(BOUND)\n\ntab: T$(SFX)\nWHERE K >= $(BOUND)\n");
    ULTableSplitList list;
    ASSERT_EQ(ul_sqlreadwherefile(&list, path("m.whr").c_str(), nullptr, &provider, 0), 2)
        << u8(errorText());
    const ULTableSplit* back = list.get(u"T_X", UL_HASH_QUIET);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(conditions(*back), (std::vector<std::u16string>{u"K < 'm'", u"K >= 'm'"}));
    // Without a provider the calls stay as written.
    ul_sqlwherefilesforget();
    ULTableSplitList raw;
    ASSERT_EQ(ul_sqlreadwherefile(&raw, path("m.whr").c_str(), nullptr, nullptr, 0), 2);
    EXPECT_NE(raw.get(u"T$(SFX)", UL_HASH_QUIET), nullptr);
}

// A table name reads back as written, or is refused when the reader could not take it back.
TEST_F(UlSqlWhereFileTest, TableNamesReadBackOrAreRefused) {
    const std::u16string refused = u"!Table name '%s' %s and cannot be written to where file '%s'";
    struct Case {
        std::u16string name;
        const char16_t* why;  // null: reads back
    } cases[] = {
        {u"T", nullptr},
        {u"/BIC/A B#1$", nullptr},
        {u"tab: X", nullptr},
        {u"#T", nullptr},
        {u"/*T*/", nullptr},
        {u"\u00e9\u65e5\U0001F600", nullptr},
        {u"T\ntab: U", u"holds a control character"},
        {u"T\r", u"holds a control character"},
        {u"T\tU", u"holds a control character"},
        {u"T\x7f", u"holds a control character"},
        {u" T", u"starts or ends with a blank"},
        {u"T ", u"starts or ends with a blank"},
        {u"", u"is empty"},
    };
    for (const Case& c : cases) {
        const std::vector<std::u16string> back = roundTrip(c.name, {u"K = 1"});
        const std::u16string expected =
            c.why ? ul_format(refused.c_str(),
                              ul_stringprintable(c.name.c_str(), UL_PRINTABLE_BACKSLASH).c_str(),
                              c.why, path("rt.whr").c_str())
                  : u"K = 1";
        EXPECT_EQ(back, std::vector<std::u16string>{expected}) << u8(c.name);
    }
    EXPECT_EQ(roundTrip(u"\u0100", {u"K = 1"}, UL_WHEREFILE_SINGLEBYTE),
              std::vector<std::u16string>{u"!Invalid byte 256 found in table name '\u0100'"});
}

// A condition reads back as the writer wrote it behind "WHERE ", or the writer refuses it.
TEST_F(UlSqlWhereFileTest, ConditionsReadBackOrAreRefused) {
    const std::u16string empty =
        u"!Empty where condition for 'T' cannot be written to where file '" + path("rt.whr") + u"'";
    struct Case {
        std::u16string condition;
        std::u16string back;  // starting with "!": the writer's error
    } cases[] = {
        {u"K = 1", u"K = 1"},
        {u"\x01\x02\t\r\n ", empty},
        {u"", empty},
    };
    for (const Case& c : cases)
        EXPECT_EQ(roundTrip(u"T", {c.condition}), std::vector<std::u16string>{c.back})
            << u8(ul_stringprintable(c.condition.c_str(), 0));
}

TEST_F(UlSqlWhereFileTest, WrittenAndReadBack) {
    ULTableSplit split;
    split.native = true;
    split.createSegmentEntry(3, u"K < 'a  b'\n  AND  \"X  Y\" = 1", 0);
    split.createSegmentEntry(UL_DBROWCOUNT_INVALID, u"K >= 'a  b' -- PART 1\n AND 1 = 1", 0);
    const std::u16string file = path("t.whr");
    bool appended = true;
    ASSERT_EQ(ul_sqlwritewherefile(file.c_str(), u"T", &split, 0, &appended), 2);
    EXPECT_FALSE(appended);
    EXPECT_EQ(readFileBytes(dir_.path("t.whr")),
              "tab: T\nopt: native\ncnt: 3\nWHERE K < 'a  b' AND \"X  Y\" = 1\n\n"
              "tab: T\nopt: native\nWHERE K >= 'a  b' -- PART 1\nAND 1 = 1\n\n");
    ASSERT_EQ(ul_sqlwritewherefile(file.c_str(), u"U", &split, UL_WHEREFILE_NOCNTLINES, &appended),
              2);
    EXPECT_TRUE(appended);
    ULTableSplitList list;
    ASSERT_EQ(ul_sqlreadwherefile(&list, file.c_str(), u"T", nullptr, 0), 2) << u8(errorText());
    ASSERT_EQ(list.get(u"U", UL_HASH_QUIET), nullptr);
    const ULTableSplit* back = list.get(u"T");
    EXPECT_TRUE(back->native);
    EXPECT_EQ(conditions(*back), (std::vector<std::u16string>{u"K < 'a  b' AND \"X  Y\" = 1",
                                                              u"K >= 'a  b' -- PART 1 AND 1 = 1"}));
    EXPECT_EQ(back->begin().operator*().rows, 3u);
    // Pattern mode: one file per condition.
    const std::u16string pattern = path("T%.WHR");
    ASSERT_EQ(ul_sqlwritewherefile(pattern.c_str(), u"T", &split, 0, nullptr), 2);
    EXPECT_EQ(readFileBytes(dir_.path("T2.WHR")),
              "tab: T\nopt: native\nWHERE K >= 'a  b' -- PART 1\nAND 1 = 1\n\n");
    // Single-byte files take Latin-1 and refuse anything else.
    ULTableSplit latin;
    latin.createSegmentEntry(1, u"K = '\u00e9'", 0);
    ASSERT_EQ(
        ul_sqlwritewherefile(path("l.whr").c_str(), u"T", &latin, UL_WHEREFILE_SINGLEBYTE, nullptr),
        1);
    EXPECT_EQ(readFileBytes(dir_.path("l.whr")), "tab: T\ncnt: 1\nWHERE K = '\xe9'\n\n");
    latin.createSegmentEntry(1, u"K = '\u20ac'", 0);
    EXPECT_EQ(
        ul_sqlwritewherefile(path("m.whr").c_str(), u"T", &latin, UL_WHEREFILE_SINGLEBYTE, nullptr),
        -1);
    EXPECT_EQ(u8(errorText()), u8(u"Invalid byte 8364 found in where clause 'K = '\u20ac''"));
    EXPECT_FALSE(std::filesystem::exists(dir_.path("m.whr")));
}

TEST_F(UlSqlWhereFileTest, ReaderRules) {
    ULTableSplitList list;
    ASSERT_EQ(
        read("a.whr",
             "# comment\n/* block\n tab: X\n*/\ntab: T\ncnt: 10\nWHERE A = 1   \n  AND B = 2\n\n"
             "tab: T\nwhere C = 3\ntab: V\nopt: native\nD = 4\n",
             &list, nullptr, UL_WHEREREAD_INVERT),
        3)
        << u8(errorText());
    EXPECT_EQ(conditions(*list.get(u"T")),
              (std::vector<std::u16string>{u"NOT( A = 1 AND B = 2 )", u"NOT( C = 3 )"}));
    EXPECT_TRUE(list.get(u"V")->native);
    struct Case {
        const char* content;
        int flags;
        std::string error;
    } cases[] = {
        {"tab: T\nA = 1\ntab: T\nB = 2\n", UL_WHEREREAD_SINGLE,
         "Duplicate condition for 'T' in '%s'"},
        {"tab: T\ncnt: 5\ntab: U\nB = 2\n", 0, "Empty where condition for 'T' in '%s'"},
        {"A = 1\n", 0, "Syntax error in line 1 'A = 1'"},
        {"tab: T\ncnt: 5x\n", 0, "Syntax error in line 2 'cnt: 5x'"},
        {"tab:   \n", 0, "Syntax error in line 1 'tab:'"},
        {"tab: T\nopt: native sorted\n", 0, "Unknown option 'sorted'"},
    };
    for (const Case& c : cases) {
        ULTableSplitList other;
        EXPECT_EQ(read("b.whr", c.content, &other, nullptr, c.flags), -1) << c.content;
        EXPECT_EQ(u8(errorText()),
                  ul_utf16to8(ul_format(w(c.error).c_str(), path("b.whr").c_str()).c_str()));
    }
    EXPECT_EQ(ul_sqlreadwherefile(&list, path("missing.whr").c_str(), nullptr, nullptr, 0), -1);
    EXPECT_EQ(u8(errorText()), u8(u"Cannot read '" + path("missing.whr") + u"'"));
}

}  // namespace

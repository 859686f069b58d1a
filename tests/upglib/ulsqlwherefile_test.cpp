// Where files: written and read back, and the reader's rules for hand-written files.
#include "ulsqlwherefile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
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
            return {concat<char16_t>(u"!", errorText())};
        }
        ULTableSplitList list;
        if (ul_sqlreadwherefile(&list, file.c_str(), nullptr, nullptr, 0) < 0)
            return {concat<char16_t>(u"!read: ", errorText())};
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
        // clang-format off
        {u"T", nullptr}, {u"/BIC/A B#1$", nullptr},
        {u"tab: X", nullptr}, {u"#T", nullptr}, {u"/*T*/", nullptr},
        {u"\u00e9\u65e5\U0001F600", nullptr}, {u"T\ntab: U", u"holds a control character"},
        {u"T\r", u"holds a control character"}, {u"T\tU", u"holds a control character"},
        {u"T\x7f", u"holds a control character"},
        {u" T", u"starts or ends with a blank"},
        {u"T ", u"starts or ends with a blank"},
        {u"", u"is empty"},
        // clang-format on
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

// What a condition means to SQL: its tokens with comments taken as blanks, quoted text as it
// is. A reader that joined the lines of a condition differently would change it.
std::u16string meaning(std::u16string_view s) {
    std::u16string out;
    bool gap = false;
    for (size_t i = 0; i < s.size();) {
        const char16_t c = s[i];
        const char16_t next = i + 1 < s.size() ? s[i + 1] : 0;
        size_t end = i + 1;
        if (c <= 32) {
            gap = true;
        } else if (c == u'-' && next == u'-') {
            end = std::min(s.find(u'\n', i), s.find(u'\r', i));
            gap = true;
        } else if (c == u'/' && next == u'*') {
            end = s.find(u"*/", i + 2);
            end = end == std::u16string_view::npos ? end : end + 2;
            gap = true;
        } else {
            if (c == u'\'' || c == u'"') {
                end = s.find(c, i + 1);
                end = end == std::u16string_view::npos ? end : end + 1;
            }
            if (gap && !out.empty()) out += u' ';
            gap = false;
            out += s.substr(i, end - i);
        }
        i = std::min(end, s.size());
    }
    return out;
}

// A condition reads back as the writer wrote it behind "WHERE ", or the writer refuses it.
TEST_F(UlSqlWhereFileTest, ConditionsReadBackOrAreRefused) {
    const std::u16string file = path("rt.whr");
    const std::u16string empty =
        u"!Empty where condition for 'T' cannot be written to where file '" + file + u"'";
    const auto refused = [&](const char16_t* condition, const char16_t* why) {
        return ul_format(
            u"!Where condition '%s' for 'T' %s and cannot be written to where file "
            u"'%s'",
            ul_stringprintable(condition, UL_PRINTABLE_BACKSLASH).c_str(), why, file.c_str());
    };
    struct Case {
        std::u16string condition;
        std::u16string back;  // starting with "!": the writer's error
    };
    std::vector<Case> cases = {
        // clang-format off
        {u"K = 1", u"K = 1"}, {u"  K\t=\x01\r\n1  ", u"K = 1"},
        {u"K = 'a \t\x01  b' AND \"X  Y\" = 1", u"K = 'a \t\x01  b' AND \"X  Y\" = 1"},
        {u"K = 'it''s -- no comment'", u"K = 'it''s -- no comment'"},
        {u"K = 1 -- a\tb  \n\n  AND K = 2 -- \x01\r", u"K = 1 -- a b\nAND K = 2 --"},
        {u"-- lead\n K = 1", u"-- lead\nK = 1"},
        {u"K = 1 /* it's\n -- no */ AND K = 2", u"K = 1 /* it's -- no */ AND K = 2"},
        {u"K = 1 -- c\nWHERE = 2", u"K = 1 -- c\nWHERE = 2"},
        {u"WHERE K = 1", u"WHERE K = 1"}, {u"\x01\x02\t\r\n ", empty},
        {u"", empty}, {u"K = 'a\nb'", refused(u"K = 'a\nb'", u"holds a line break inside quotes")},
        {u"\"K\r\" = 1", refused(u"\"K\r\" = 1", u"holds a line break inside quotes")},
        {u"K = 'a", refused(u"K = 'a", u"holds a quote without its end")},
        // clang-format on
    };
    for (const char16_t* syntax : {u"#", u"/*", u"tab:", u"cnt:", u"opt:"}) {
        const std::u16string condition = u"K = 1 -- c\n" + std::u16string(syntax) + u" x";
        cases.push_back({condition, refused(condition.c_str(),
                                            u"has a line behind a \"--\" comment that reads as "
                                            u"where-file syntax")});
    }
    for (const Case& c : cases)
        EXPECT_EQ(roundTrip(u"T", {c.condition}), std::vector<std::u16string>{c.back})
            << u8(ul_stringprintable(c.condition.c_str(), 0));
    // Generated conditions from the characters that matter: each one the writer takes reads
    // back with the same meaning, and what is read back is written and read again unchanged.
    const std::u16string pieces[] = {u" ",  u"\t", u"\n", u"\r",     u"\x01",      u"'",
                                     u"\"", u"-",  u"/",  u"*",      u"#",         u"tab:",
                                     u"K",  u"=",  u"1",  u"\u00e9", u"\U0001F600"};
    std::mt19937 random(13);
    int written = 0;
    for (int i = 0; i < 400; ++i) {
        std::u16string condition = u"K";
        for (size_t n = random() % 24; n > 0; --n)
            condition += pieces[random() % std::size(pieces)];
        const std::vector<std::u16string> back = roundTrip(u"T", {condition});
        ASSERT_EQ(back.size(), 1u);
        const std::string trace = u8(ul_stringprintable(condition.c_str(), 0));
        if (back[0][0] == u'!') {
            EXPECT_NE(back[0].find(u"and cannot be written"), std::u16string::npos) << trace;
            continue;
        }
        ++written;
        EXPECT_EQ(u8(meaning(back[0])), u8(meaning(condition))) << trace;
        EXPECT_EQ(roundTrip(u"T", back), back) << trace;
    }
    EXPECT_GT(written, 100);
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
    EXPECT_EQ(conditions(*back),
              (std::vector<std::u16string>{u"K < 'a  b' AND \"X  Y\" = 1",
                                           u"K >= 'a  b' -- PART 1\nAND 1 = 1"}));
    EXPECT_EQ(back->begin().operator*().rows, 3u);
    // Single-byte files take Latin-1 and refuse anything else.
    ULTableSplit latin;
    latin.createSegmentEntry(1, u"K = '\u00e9'", 0);
    ASSERT_EQ(
        ul_sqlwritewherefile(path("l.whr").c_str(), u"T", &latin, UL_WHEREFILE_SINGLEBYTE, nullptr),
        1);
    EXPECT_EQ(readFileBytes(dir_.path("l.whr")),
              "# where file with one byte per character (ISO-8859-1)\n"
              "tab: T\ncnt: 1\nWHERE K = '\xe9'\n\n");
    EXPECT_TRUE(failedWith(
        ul_sqlwritewherefile(path("l.whr").c_str(), u"T", &latin, 0, nullptr),
        u8(u"Cannot append to where file '" + path("l.whr") + u"' in another encoding")));
    latin.createSegmentEntry(1, u"K = '\u20ac'", 0);
    EXPECT_TRUE(failedWith(
        ul_sqlwritewherefile(path("m.whr").c_str(), u"T", &latin, UL_WHEREFILE_SINGLEBYTE, nullptr),
        u8(u"Invalid byte 8364 found in where clause 'K = '\u20ac''")));
    EXPECT_FALSE(std::filesystem::exists(dir_.path("m.whr")));
}

// Single-byte files read back one byte per character: marked ones, unmarked ones that are no
// UTF-8 (written before the mark), never a UTF-8 file, even one that holds U+FFFD.
TEST_F(UlSqlWhereFileTest, SingleByteFilesReadBackByteForByte) {
    const std::u16string latin1 = u"K = '\u00e9\u00ff\u00c3\u00a9' -- \u00e0";
    EXPECT_EQ(roundTrip(u"T\u00e9", {latin1}, UL_WHEREFILE_SINGLEBYTE),
              std::vector<std::u16string>{latin1});
    struct Case {
        const char* content;
        std::u16string condition;
    } cases[] = {
        {"tab: T\nWHERE K = '\xe9\xc3\xa9'\n\n", u"K = '\u00e9\u00c3\u00a9'"},
        {"tab: T\nWHERE K = '\xc3\xa9\xef\xbf\xbd'\n\n", u"K = '\u00e9\uFFFD'"},
    };
    for (const Case& c : cases) {
        ULTableSplitList list;
        ASSERT_EQ(read("s.whr", c.content, &list), 1) << u8(errorText());
        EXPECT_EQ(conditions(*list.get(u"T")), std::vector<std::u16string>{c.condition});
    }
}

// A file cut anywhere, as by a writer that died, reads as its whole blocks or not at all.
TEST_F(UlSqlWhereFileTest, CutFileReadsWholeBlocksOrFails) {
    ULTableSplit split;
    split.createSegmentEntry(12, u"K < 5 -- PART 1\nOR K > 50", 0);
    split.createSegmentEntry(7, u"K = 7", 0);
    split.createSegmentEntry(UL_DBROWCOUNT_INVALID, u"K >= 5 -- PART 3\nAND K <= 50 -- END", 0);
    for (int flags : {0, static_cast<int>(UL_WHEREFILE_SINGLEBYTE)}) {
        ul_sqlwherefilesforget();
        ASSERT_EQ(ul_sqlwritewherefile(path("w.whr").c_str(), u"T", &split, flags, nullptr), 3);
        const std::string whole = readFileBytes(dir_.path("w.whr"));
        const std::vector<std::u16string> all = conditions(split);
        for (size_t cut = 0; cut <= whole.size(); ++cut) {
            ULTableSplitList list;
            const int n = read("cut.whr", whole.substr(0, cut), &list);
            if (n <= 0) continue;
            const std::vector<std::u16string> back = conditions(*list.get(u"T"));
            EXPECT_EQ(back, std::vector<std::u16string>(all.begin(), all.begin() + n))
                << flags << " " << cut;
        }
    }
    // Write failures close the file and say so.
    const auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = openFiles();
    for (int flags : {0, static_cast<int>(UL_WHEREFILE_SINGLEBYTE)}) {
        EXPECT_EQ(ul_sqlwritewherefile(u"/dev/full", u"T", &split, flags, nullptr), -1);
        EXPECT_EQ(u8(errorText()).rfind("Cannot write to '/dev/full'", 0), 0u) << u8(errorText());
    }
    EXPECT_EQ(openFiles(), before);
}

TEST_F(UlSqlWhereFileTest, ReaderRules) {
    ULTableSplitList list;
    ASSERT_EQ(
        read("a.whr",
             "# comment\n/* block\n tab: X\n*/\ntab: T\ncnt: 10\nWHERE A = 1   \n  AND B = 2\n"
             "/* c */ AND B < 3 -- x\n/* d\n */  OR B > 4 -- y\n\n"
             "tab: T\nwhere C = 3\ntab: V\nopt: native\nD = 4\n",
             &list, nullptr, UL_WHEREREAD_INVERT),
        3)
        << u8(errorText());
    EXPECT_EQ(conditions(*list.get(u"T")),
              (std::vector<std::u16string>{u"NOT( A = 1 AND B = 2 AND B < 3 -- x\nOR B > 4 -- y\n)",
                                           u"NOT( C = 3 )"}));
    EXPECT_TRUE(list.get(u"V")->native);
    // Control characters and NUL bytes; the other faults of hand-written files are CLI cases.
    const std::string b = dir_.path("b.whr");
    const std::pair<std::string, std::string> cases[] = {
        {"tab: T\nWHERE \x01\x1f\n", "Empty where condition for 'T' in '" + b + "'"},
        {std::string("tab: T\nWHERE K = 1\0 OR K = 2\n", 29),
         "Syntax error in line 2 'WHERE K = 1\\0 OR K = 2'"},
        // The same in a file of one byte per character.
        {"# where file with one byte per character (ISO-8859-1)\ntab: T\nWHERE K = '\xe9'" +
             std::string(1, '\0') + " OR K = 2\n",
         "Syntax error in line 3 'WHERE K = '\xc3\xa9'\\0 OR K = 2'"},
    };
    for (const auto& [content, error] : cases) {
        ULTableSplitList other;
        EXPECT_TRUE(failedWith(read("b.whr", content, &other), error)) << content;
    }
}

}  // namespace

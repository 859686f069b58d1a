#include "ultplreader.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "ulmacro.h"

namespace {

const ul_tplsectiondef_t kSections[] = {{u"tab", 1}, {u"crestm", 2}, {u"x", 3}, {u"y", 4}};

const ul_macrodef_t kMacros[] = {
    {u"A", UL_MACRODEF_STRING, 0, 0, u"1", nullptr, nullptr},
    {u"OWNER", UL_MACRODEF_STRING, 0, 0, u"SAPR3", nullptr, nullptr},
};

class UlTplReaderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }

    // Opens main.tpl with text, with the macro provider when macros is set.
    ULTPLReader& openMain(const std::string& text, bool macros = false) {
        dir.write("main.tpl", text);
        reader = std::make_unique<ULTPLReader>(kSections, std::size(kSections),
                                               macros ? &provider : nullptr);
        EXPECT_EQ(reader->addIncludePath(dir.wpath().c_str()), 0);
        EXPECT_EQ(reader->open(dir.wpath("main.tpl").c_str()), 0) << u8(errorText());
        return *reader;
    }
    // Every section to the end as "name#type{arg}=line/line/..." joined by ";", then "!" and the
    // error text on failure.
    std::string readAll(const std::string& text, int flags = 0, bool macros = false) {
        return readRest(openMain(text, macros), flags);
    }
    static std::string render(const ULTPLSection& s) {
        std::string out = u8(s.name) + "#" + std::to_string(s.type);
        if (s.hasArgument) out += concat("{", u8(s.argument), "}");
        out += "=";
        for (size_t i = 0; i < s.lines.size(); ++i) out += concat(i ? "/" : "", u8(s.lines[i]));
        return out;
    }
    static std::string readRest(ULTPLReader& r, int flags = 0) {
        std::string out;
        ULTPLSection section;
        int rc;
        while ((rc = r.getNext(&section, flags)) == 1)
            out += concat(out.empty() ? "" : ";", render(section));
        return rc < 0 ? out + "!" + u8(errorText()) : out;
    }
    std::string at(int line, const std::string& name = "main.tpl") {
        return "\nError in line " + std::to_string(line) + " of '" + dir.path(name) + "'";
    }

    TempDir dir;
    ULMacroDefProvider provider{kMacros, std::size(kMacros)};
    std::unique_ptr<ULTPLReader> reader;
};

// What readAll() gives for a template, with the macro provider: the sections, then "!" and the
// error text on failure; an error that names a line ends with the line's place.
TEST_F(UlTplReaderTest, SectionsPreprocessingAndErrors) {
    dir.write("inc.tpl", "crestm{inc}:\n  from include\n");
    const struct {
        const char* text;
        int flags;
        std::string expected;
        int line = 0;  // the line an error names
    } cases[] = {
        {"", 0, ""},
        {"tab:\n", 0, "tab#1="},
        {"\n \nTAB: T1 \nCreStm{ORA}:\n  create\n    x\n\n  y\n\n \nother{}:\n", 0,
         "TAB#1=T1;CreStm#2{ORA}=create/  x//y;other#0{}="},
        // Comments are no content: the content lines around one stay together.
        {"# head\nx:\n\ta\n# note\n\tb\n#\n", 0, "x#3=a/b"},
        // An indented "#" is content, not a comment.
        {"x:\n  # kept\n", 0, "x#3=# kept"},
        // A line less indented than the first keeps what white space it has not.
        {"x:\n    a\n  b\n      c\n", 0, "x#3=a/b/  c"},
        {"x:\n    a\n  b\n", UL_TPL_KEEPINDENT, "x#3=    a/  b"},
        {"y { 'a}b:c' , \"q\\\"}\" } : v\n", 0, "y#4{'a}b:c' , \"q\\\"}\"}=v"},
        {"x{a:b}:\n", 0, "x#3{a:b}="},
        // A trailing backslash continues a section line, never a content line.
        {"tab{a,\\\nb}: c\n  d\\\n  e\n", 0, "tab#1{a,b}=c/d\\/e"},
        {"tab:\n  a\nzz: q\n  b\ny:\n  c\n", UL_TPL_SKIPUNKNOWN, "tab#1=a;y#4=c"},
        {"tab: v\n  a\ny{w}:\n  c\n", UL_TPL_NOCONTENT, "tab#1=;y#4{w}="},
        {"#if $(A) == 1\nx:\n  one\n#else\ny:\n#endif\ntab:\n", 0, "x#3=one;tab#1="},
        {"#if 0\nx:\n#elseif 1\ny:\n#if 1\n  two\n#endif\n#endif\n", 0, "y#4=two"},
        {"tab:\n  a\n#include inc.tpl\n  b\n", 0, "tab#1=a;crestm#2{inc}=from include/b"},
        {"#include_opt none.tpl\ntab:\n", 0, "tab#1="},
        {"tab:\n#if 1\n  a\n", 0, "tab#1=a!Condition level 1 at the end of the file"},
        {"a\n", 0, "!Missing ':' in 'a'", 1},
        {"tab:\n  c\na b:\n", 0, "tab#1=c!Missing ':' in 'a b:'", 3},
        {"a{x} y:\n", 0, "!Missing ':' in 'a{x} y:'", 1},
        {"a{x}{y}:\n", 0, "!Duplicate '{' section argument in  'a{x}{y}:'", 1},
        {"a{x{y}}:\n", 0, "!Duplicate '{' section argument in  'a{x{y}}:'", 1},
        {"\na{x}}:\n", 0, "!Duplicate '}' section argument in  'a{x}}:'", 2},
        {"a}:\n", 0, "!Unmatched closing '}' in  'a}:'", 1},
        {"a{'x}:\n", 0, "!Unclosed quote or bracket in line 'a{'x}:'", 1},
        {"a{x:\n", 0, "!Unclosed quote or bracket in line 'a{x:'", 1},
        {"{x}:\n", 0, "!Missing section name in '{x}:'", 1},
        {"# c\n  x\n", 0, "!Content outside a section in '  x'", 2},
        {"tab:\nzzz{1}:\n", UL_TPL_REFUSEUNKNOWN, "tab#1=!Unknown section 'zzz'", 2},
        {"x:\n  $(NOPE)\n", 0, "!Unknown macro 'NOPE' nargs -1", 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readAll(c.text, c.flags, true), c.expected + (c.line ? at(c.line) : ""))
            << c.text;
    }

    ULTPLReader& r = openMain("tab:\n#include inc.tpl\n", true);
    ULTPLSection section;
    ASSERT_EQ(r.getNext(&section), 1);
    ASSERT_EQ(r.getNext(&section), 1);
    EXPECT_EQ(u8(section.file), dir.path("inc.tpl"));
    EXPECT_EQ(section.line, 1);
    EXPECT_EQ(section.includeLevel, 1);
    EXPECT_EQ(r.getNext(&section), 0);
}

TEST_F(UlTplReaderTest, MacrosAreReplacedOnlyWithAProvider) {
    const char* text = "crestm{$(OWNER)}:\n  create table $(OWNER).t\n";
    EXPECT_EQ(readAll(text, 0, true), "crestm#2{SAPR3}=create table SAPR3.t");
    EXPECT_EQ(readAll(text, 0, false), "crestm#2{$(OWNER)}=create table $(OWNER).t");
}

TEST_F(UlTplReaderTest, SeekReturnsToARememberedSection) {
    // The third section lies inside an #if whose #endif follows it: returning to it must
    // restore the open condition, or the #endif would fail.
    dir.write("inc.tpl", "crestm:\n  i\n");
    ULTPLReader& r =
        openMain("tab: 1\n  a\n\n#if 1\n#include inc.tpl\nx{k}:\n  b\n#endif\ny:\n  c\n");
    std::vector<ULTPLSection> sections;
    ULTPLSection section;
    while (r.getNext(&section) == 1) sections.push_back(section);
    ASSERT_EQ(sections.size(), 4u) << u8(errorText());
    const ULTPLSection& x = sections[2];
    const std::string all = "tab#1=1/a;crestm#2=i;x#3{k}=b;y#4=c";
    // From the end of the file, from inside the included file, and from the start.
    for (int skip : {-1, 2, 0}) {
        if (skip >= 0) {
            ASSERT_EQ(r.seek(0, 1), 0);
        }
        for (int i = 0; i < skip; ++i) ASSERT_EQ(r.getNext(&section), 1);
        ASSERT_EQ(r.seek(x.offset, x.line), 0) << u8(errorText());
        ASSERT_EQ(r.getNext(&section), 1);
        EXPECT_EQ(section.line, 6);
        EXPECT_EQ(section.offset, x.offset);
        EXPECT_EQ(render(section) + ";" + readRest(r), "x#3{k}=b;y#4=c");
    }
    ASSERT_EQ(r.seek(0, 1), 0);
    EXPECT_EQ(readRest(r), all);
    ASSERT_EQ(r.seek(sections[0].offset, sections[0].line), 0);
    ASSERT_EQ(r.getNext(&section), 1);
    EXPECT_EQ(render(section), "tab#1=1/a");
    EXPECT_EQ(section.line, 1);
}

TEST_F(UlTplReaderTest, UnopenedAndMissingFilesFail) {
    ULTPLReader r;
    ULTPLSection section;
    EXPECT_EQ(r.getNext(&section), -1);
    EXPECT_EQ(u8(errorText()), "No template file open");
    EXPECT_EQ(r.seek(0, 1), -1);
    EXPECT_EQ(r.open(dir.wpath("missing.tpl").c_str()), -1);
    EXPECT_EQ(r.getNext(&section), -1);
}

}  // namespace

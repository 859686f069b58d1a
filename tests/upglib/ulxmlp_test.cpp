#include "ulxmlp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tempdir.h"
#include "testutil.h"
#include "tracecapture.h"
#include "ulerror.h"
#include "ulmacro.h"
#include "ulxml.h"
#include "ulxmli.h"

namespace {

const ul_macrodef_t kMacros[] = {
    {u"X", UL_MACRODEF_STRING, 0, 0, u"5", nullptr, nullptr},
};

// One table the caller supplies: "ext" with the rows k=a and k=b.
class CallerTables : public ULXMLTableProvider {
  public:
    CallerTables() {
        for (const char16_t* value : {u"a", u"b"})
            EXPECT_EQ(m_ext.setField(m_ext.addRow(), u"k", value), 0);
    }
    ULXMLTable* findTable(const char16_t* name) override {
        return ul_strcmp(name, u"ext") == 0 ? &m_ext : nullptr;
    }

  private:
    ULXMLTable m_ext{u"ext"};
};

std::string render(const ul_xmlnode_t* node) {
    std::string out;
    for (; node; node = node->next) {
        if (ul_xmliscontent(node)) {
            out += u8(node->name);
            continue;
        }
        out += concat("<", u8(node->name));
        for (unsigned i = 0; i < node->attributeCount; ++i)
            out += concat(" ", u8(node->attributes[i].name), "=\"", u8(node->attributes[i].value),
                          "\"");
        out +=
            node->children ? concat(">", render(node->children), "</", u8(node->name), ">") : "/>";
    }
    return out;
}

struct XmlCase { const char* xml; std::string expected; };

class UlXmlpTest : public ::testing::Test {
  protected:
    // Processes the document (its top-level tag is <r>) and renders the children of <r>.
    std::string process(const std::string& xml, const std::string& file = "", int flags = 0,
                        ULXMLTreeWalker* walker = nullptr) {
        ul_xmlnode_t* tree = ul_xmlreadstring(ul_utf8to16(xml.c_str()).c_str(), 0);
        if (!tree) return concat("?", u8(ul_errorgetmsg()));
        std::u16string path = ul_utf8to16(file.c_str());
        int rc = ul_xmlprocessnode(&tree, &macros, &tables, walker,
                                   file.empty() ? nullptr : path.c_str(), 0, flags);
        std::string result = rc < 0 ? concat("!", u8(ul_errorgetmsg())) : render(tree->children);
        if (rc == 0 && ul_xmlchecknode(tree, nullptr) != 0) result += " (unmerged content)";
        ul_xmlfreelist(tree);
        return result;
    }
    // Cases write ` for the double quote.
    void check(const XmlCase* cases, size_t count) {
        for (size_t i = 0; i < count; ++i)
            EXPECT_EQ(process(quoted(std::string("<r>") + cases[i].xml + "</r>")),
                      quoted(cases[i].expected))
                << cases[i].xml;
    }
    static std::string quoted(std::string text) {
        std::replace(text.begin(), text.end(), '`', '"');
        return text;
    }

    ULMacroDefProvider macros{kMacros, std::size(kMacros)};
    CallerTables tables;
};

#define TABLE_T                                                              \
    "<define-table name=`t`><entry n=`1` v=`a`/><entry n=`2` v=`b`/><entry " \
    "n=`3`><v>c</v></entry></define-table>"

TEST_F(UlXmlpTest, ConditionsKeepOrDropChildren) {
    const XmlCase cases[] = {
        {"<if test=`1 = 1`><a/></if><if test=`0`><b/></if>", "<a/>"},
        {"x<if test=`$(X) == 5`>-$(X)-</if>y", "x-5-y"},
        {"<if test=`$$(X) = 1`/>", "!Illegal condition '$$(X) = 1'\nInvalid expression '$(X) = 1'"},
        {"<choose><when test=`0`>a</when><when test=`1`>b</when><when test=`1`>c</when>"
         "<otherwise>d</otherwise></choose>",
         "b"},
        {"<choose><when test=`0`>a</when><otherwise>d</otherwise></choose>", "d"},
        {"<choose><when test=`0`>a</when></choose>z", "z"},
        {"<choose><when test=`1`>a</when><x/></choose>", "!Illegal sub tag 'x' of 'choose' tag"},
        {"<if>x</if>", "!Attribute 'test' not found in tag 'if'"},
        {"<a><if test=`'abc'`>x</if></a>",
         "!Illegal condition ''abc''\nCannot treat 'abc' as boolean value"},
    };
    check(cases, std::size(cases));
    EXPECT_EQ(process("<if test=\"1\"><a/></if>"), "!Top level node cannot be a conditional");
}

TEST_F(UlXmlpTest, ForEachCopiesPerRowWithReferences) {
    const XmlCase cases[] = {
        {TABLE_T "<for-each table=`t` into=`r`>[$(r@n)=$(r@v)]</for-each>", "[1=a][2=b][3=c]"},
        {TABLE_T "<for-each table=`t` into=`r` reverse=`true`>[$(r@n)]</for-each>", "[3][2][1]"},
        {TABLE_T
         "<for-each table=`t` into=`r` test=`$(r@n) != 2`><i n=`$(r@n)`/></for-each>",
         "<i n=`1`/><i n=`3`/>"},
        {TABLE_T "<for-each table=`t` into=`r` intoprev=`p` intonext=`n` reverse=`yes`>"
                 "($(p@n)&lt;$(r@n)&gt;$(n@n))</for-each>",
         "(2<3>)(1<2>3)(<1>2)"},
        {TABLE_T
         "<for-each table=`t` into=`r`>$_REFERENCE(r@v)=$($_REFERENCE(r@v)),</for-each>",
         "t[0].v=a,t[1].v=b,t[2].v=c,"},
        {TABLE_T "$(t[1].v) $(t[]) $DEFINED(t[0].x)", "b 3 0"},
        {TABLE_T "$(t[3].v)", "!Index 3 for table 't' exceeds table size 3"},
        {TABLE_T "$(t[1])", "!Syntax error in reference string 't[1]'"},
        {"$(u[0].v)", "!No definition for table 'u'"},
        {"<for-each table=`ext` into=`e`>$(e@k)</for-each>", "ab"},
        // The inner loop sees the outer row.
        {TABLE_T "<define-table name=`i` start=`1` end=`2`/>"
                 "<for-each table=`t` into=`r`><for-each table=`i` into=`k`>$(r@v)$(k)"
                 "</for-each>,</for-each>",
         "a1a2,b1b2,c1c2,"},
        {"$(r@n)", "!Macro syntax 'INTO@FIELD' only allowed in 'for-each' loops for 'r@n'"},
        {"<for-each into=`r`/>", "!Missing 'table' attribute in 'for-each' tag"},
        {"<for-each table=`ext`/>", "!Missing 'into' attribute in 'for-each' tag"},
        {"<for-each table=`zz` into=`r`/>", "!Unknown table 'zz' in 'for-each' tags"},
        {TABLE_T "<for-each table=`t` into=`r`>$(r@zz)</for-each>",
         "!Unknown macro 'r@zz' nargs -1"},
    };
    check(cases, std::size(cases));
}

TEST_F(UlXmlpTest, IteratorTables) {
    const XmlCase cases[] = {
        {"<define-table name=`i` start=`1` end=`3`/>"
         "<for-each table=`i` into=`k` intoprev=`p` "
         "intonext=`n`>$(p)-$(k)-$(n),</for-each>",
         "-1-2,1-2-3,2-3-,"},
        {"<define-table name=`i` start=`0` end=`1` step=`0.25`/>"
         "<for-each table=`i` into=`k`>$(k),</for-each>$(i[])",
         "0,0.25,0.5,0.75,1,5"},
        {"<define-table name=`i` start=`3` end=`1` step=`-1`/>"
         "<for-each table=`i` into=`k`>$_REFERENCE(k)=$(k),</for-each>$(i[2])",
         "i[0]=3,i[1]=2,i[2]=1,1"},
        {"<define-table name=`i` start=`1` end=`3` step=`-1`/>",
         "!Illegal iterator table 'i' with interval [1,3] step size -1"},
        {"<define-table name=`i` start=`1` end=`3` step=`0`/>",
         "!Illegal iterator table 'i' with interval [1,3] step size 0"},
        {"<define-table name=`i` start=`1` end=`3`><entry/></define-table>",
         "!Illegal iterator table 'i' with sub nodes"},
        {"<define-table name=`i` start=`1` end=`x`/>", "!Invalid number 'x' for attribute 'end'"},
        {"<define-table name=`i` start=`1`/>", "!Attribute 'end' not found in tag 'define-table'"},
        {"<define-table name=`i` start=`1` end=`2`/><for-each table=`i` into=`k`>$(k@x)"
         "</for-each>",
         "!No field name 'x' allowed for iterator table 'i'"},
        {"<define-table name=`i` start=`1` end=`2`/>$(i[0].x)",
         "!No field name 'x' allowed for iterator table 'i'"},
    };
    check(cases, std::size(cases));
}

TEST_F(UlXmlpTest, DefinitionsAndTheirScopes) {
    const XmlCase cases[] = {
        {"<define-macro name=`m`>val</define-macro>$(m)", "val"},
        {"<define-macro name=`f` nargs=`2`>[$(2),$(1),$(3)]</define-macro>$f(a,$(X))",
         "!Unknown macro '3' nargs -1"},
        {"<define-macro name=`f` nargs=`2`>[$(2),$(1),$$(1)]</define-macro>$f(a,$(X))",
         "[5,a,$(1)]"},
        {"<define-macro name=`g`>$(X)</define-macro><define-macro name=`g` nargs=`1`>"
         "$(1)</define-macro>$(g)$g(1)",
         "51"},
        {"<define-macro name=`s`>[$(s)]</define-macro>$(s)", "[$(s)]"},
        {"<define-macro name=`m`>1</define-macro><define-macro name=`m`>2</define-macro>",
         "!Duplicate macro 'm' defined on same level"},
        {"<define-macro name=`m`>1</define-macro><a><define-macro name=`m`>2</define-macro>$(m)"
         "</a>$(m)",
         "<a>2</a>1"},
        {"<a><define-macro name=`q`>x</define-macro></a>$(q)", "!Unknown macro 'q' nargs -1"},
        {"<a><b><define-macro name=`q` scope=`global`>x</define-macro></b></a>$(q)",
         "<a><b/></a>x"},
        {"<define-macro name=`q` scope=`world`>x</define-macro>",
         "!Invalid attribute value 'world' for scope"},
        {"<define-macro name=`q` nargs=`-1`>x</define-macro>",
         "!Invalid attribute value '-1' for nargs"},
        // A definition inside a loop body belongs to its row.
        {TABLE_T "<for-each table=`t` into=`r`><define-macro name=`m`>$(r@v)</define-macro>"
                 "$(m)</for-each>",
         "abc"},
        {TABLE_T "<define-table name=`t`/>", "!Duplicate table 't' defined on same level"},
        {"<define-table name=`t`><entry a=`1`/><if test=`0`><entry a=`2`/></if>"
         "<entry a=`$(X)`/></define-table>$(t[]):$(t[1].a)",
         "2:5"},
        {"<define-table name=`t`><row/></define-table>",
         "!Invalid tag 'row' in defining table 't'"},
        {"<define-table name=`t`><entry a=`1`><a>2</a></entry></define-table>",
         "!Duplicate column 'a' in row of table 't'"},
        {"<define-node name=`n`><item v=`$(X)`/></define-node><expand-node refname=`n`/>"
         "<expand-node refname=`n`/>",
         "<item v=`5`/><item v=`5`/>"},
        {TABLE_T "<define-node name=`n`><i v=`$(r@v)`/></define-node>"
                 "<for-each table=`t` into=`r`><expand-node refname=`n`/></for-each>",
         "<i v=`a`/><i v=`b`/><i v=`c`/>"},
        {"<define-node name=`n`><a/><b/></define-node>", "!Must have single sub node in 'n'"},
        {"<define-node name=`n`/>", "!Must have single sub node in 'n'"},
        {"<define-node name=`n`>text<a/></define-node>", "!Must have no content in 'n'"},
        {"<expand-node refname=`zz`/>", "!Unknown node definition 'zz'"},
        {"<define-node name=`n`><a><expand-node refname=`n`/></a></define-node>"
         "<expand-node refname=`n`/>",
         "!XML elements too deeply nested"},
        {"<define-table name=`one`><entry/></define-table><define-node name=`n`>"
         "<for-each table=`one` into=`r`><a><expand-node refname=`n`/></a></for-each>"
         "</define-node><expand-node refname=`n`/>",
         "!Maximum nesting level 256 exceeded"},
    };
    check(cases, std::size(cases));
}

TEST_F(UlXmlpTest, IncludesAreProcessedInPlace) {
    TempDir dir;
    dir.write("inc.xml",
              "<lib><define-macro name=\"im\">in $(om)</define-macro>"
              "<b f=\"$(__FILE__)\" p=\"$(__FILEPATH__)\">$(im)</b></lib>");
    std::filesystem::create_directory(dir.path("sub"));
    dir.write("sub/mid.xml", "<m><include name=\"leaf.xml\"/></m>");
    dir.write("sub/leaf.xml", "<leaf f=\"$(__FILE__)\"/>");
    dir.write("self.xml", "<s><include name=\"self.xml\"/></s>");
    dir.write("bad.xml", "<s><a></s>");
    const std::string main = dir.path("main.xml"), inc = dir.path("inc.xml");
    const struct { std::string xml; int flags; std::string expected; } cases[] = {
        {"<define-macro name=\"om\">outer</define-macro><include name=\"inc.xml\" "
         "childsonly=\"true\"/>"
         "$(im)",
         0, "<b f=\"inc.xml\" p=\"" + inc + "\">in outer</b>in outer"},
        {"<define-macro name=\"om\">o</define-macro><include name=\"inc.xml\"/>", 0,
         "<lib><b f=\"inc.xml\" p=\"" + inc + "\">in o</b></lib>"},
        {"<include name=\"sub/mid.xml\"/>$(__FILE__)", 0, "<m><leaf f=\"leaf.xml\"/></m>main.xml"},
        {"<include name=\"none.xml\" optional=\"true\"/>z", 0, "z"},
        {"<include name=\"self.xml\"/>", 0,
         "!Recursive inclusion of file '" + dir.path("self.xml") +
             "'\nCannot process included file '" + dir.path("self.xml") + "'"},
        {"<include name=\"sub/leaf.xml\"/>", UL_XMLCHECK_CRC,
         "!Corrupted file '" + dir.path("sub/leaf.xml") + "'\nCannot process included file '" +
             dir.path("sub/leaf.xml") + "'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(process("<r>" + c.xml + "</r>", main, c.flags), c.expected) << c.xml;
    EXPECT_EQ(process("<r><include name=\"/dev/zero\"/></r>", main),
              "!Cannot read XML file '/dev/zero': not a regular file\nCannot process included "
              "file '/dev/zero'");
    for (const char* name : {"none.xml", "bad.xml"}) {
        std::string result = process(std::string("<r><include name=\"") + name + "\"/></r>", main);
        EXPECT_TRUE(result.ends_with("\nCannot process included file '" + dir.path(name) + "'"))
            << result;
    }
}

TEST_F(UlXmlpTest, RedefinitionInAnInnerScopeWarns) {
    TraceCapture trace(UL_TRC_MACRO, 1);
    EXPECT_EQ(process("<r><define-macro name=\"m\" nargs=\"1\">1</define-macro><a><define-macro "
                      "name=\"m\" nargs=\"1\">2</define-macro></a></r>"),
              "<a/>");
    EXPECT_NE(trace.text().find("Warning: Macro 'm' nargs=1 redefined!\n"), std::string::npos)
        << trace.text();
}

// Shows the caller's walker the nodes that stay, with their macros replaced.
class SeenNodes : public ULXMLTreeWalker {
  public:
    int handleNode(int depth, ul_xmlnode_t** node, ul_xmlnode_t*) override {
        seen += std::to_string(depth) + u8((*node)->name) + ";";
        return ul_strcmp((*node)->name, u"stop") == 0 ? UL_XMLWALK_NOCHILDREN : 0;
    }
    std::string seen;
};

TEST_F(UlXmlpTest, CallerWalkerSeesProcessedNodes) {
    SeenNodes walker;
    EXPECT_EQ(process("<r><if test=\"1\"><a>$(X)</a></if><stop>$(X)</stop></r>", "", 0, &walker),
              "<a>5</a><stop>$(X)</stop>");
    EXPECT_EQ(walker.seen, "1r;2a;35;2stop;");
}

}  // namespace

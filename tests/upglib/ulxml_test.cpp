#include "ulxml.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "ulauxfcts.h"
#include "ulcrc.h"
#include "ulmacro.h"
#include "ulxmli.h"
#include "ulxmlp.h"

namespace {

// Compact form of a tree: tag[attr=value,bare](children) and "text" for content.
std::string dump(const ul_xmlnode_t* node) {
    std::string out;
    for (; node; node = node->next) {
        if (!out.empty()) out += ",";
        if (ul_xmliscontent(node)) {
            out += concat("\"", u8(node->name), "\"");
            continue;
        }
        out += u8(node->name);
        for (unsigned i = 0; i < node->attributeCount; ++i) {
            out += i ? "," : "[";
            out += u8(node->attributes[i].name);
            if (node->attributes[i].value) out += concat("=", u8(node->attributes[i].value));
        }
        if (node->attributeCount) out += "]";
        if (node->children) out += concat("(", dump(node->children), ")");
    }
    return out;
}

// Owns a parsed tree (or list) for the length of a test.
struct Tree {
    explicit Tree(const char* text, int mode = 0)
        : root(ul_xmlreadstring(ul_utf8to16(text).c_str(), mode)) {}
    explicit Tree(ul_xmlnode_t* node) : root(node) {}
    ~Tree() { ul_xmlfreelist(root); }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    ul_xmlnode_t* root;
};

std::string parsed(const char* text, int mode = 0) {
    Tree tree(text, mode);
    return tree.root ? dump(tree.root) : "ERROR: " + u8(errorText());
}

std::string nested(int depth, const char* inner = "") {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<e>";
    text += inner;
    for (int i = 0; i < depth; ++i) text += "</e>";
    return text;
}

unsigned checksum(const char* text) {
    Tree tree(text);
    EXPECT_NE(tree.root, nullptr) << text << ": " << u8(errorText());
    unsigned crc = UL_CRC_INIT;
    EXPECT_EQ(ul_xmlcrccalc(tree.root, &crc, UL_XMLCRC_TRIM), 0);
    return crc;
}

TEST(UlXmlTest, ParsesDocuments) {
    const std::tuple<const char*, int, const char*> cases[] = {
        {"<?xml version=\"1.0\"?><!-- c --><a x=\"1\" flag y = \"\"/>", 0, "a[x=1,flag,y=]"},
        {"<a>x<!-- c -->y<?pi?>z</a>", 0, "a(\"xyz\")"},
        {"<a>\n  <b/>\n  <c/>text <d/></a>", 0, "a(\" \",b,\" \",c,\"text \",d)"},
        {"<a>\n  <b/>\n  <c/>text <d/></a>", UL_XMLREAD_WSAFTERCONTENT, "a(\" \",b,c,\"text \",d)"},
        {"<a>x<![CDATA[<b>&amp;]]]>y</a>", 0, "a(\"x<b>&amp;]y\")"},
        {"<a v=\"&#x41;&#65;&lt;&gt;&amp;&quot;&apos;&nbsp;\">&#x263a;&#128512;</a>", 0,
         "a[v=AA<>&\"' ](\"\u263a\ufffd\")"},
        {"<a v=\"&lt;&#65;\">&amp;</a>", UL_XMLREAD_KEEPREFS, "a[v=&lt;&#65;](\"&amp;\")"},
        {"pre<a/>post", 0, "a"},
        {"pre<a/>post", UL_XMLREAD_KEEPOUTSIDE, "\"pre\",a,\"post\""},
        {"<html><body><p>one<br></body></HTML>", UL_XMLREAD_LAZYHTML, "html(body(p(\"one\",br)))"},
        {"<ul><li>a<li>b", UL_XMLREAD_LAZYHTML, "ul(li(\"a\",li(\"b\")))"},
        {"<a v=\"x>y\"/>", 0, "a[v=x>y]"},
    };
    for (const auto& [text, mode, tree] : cases) EXPECT_EQ(parsed(text, mode), tree) << text;
}

// The messages of the default mode are shown by the checksum tool's cases; these are the
// answers that only the other modes give.
TEST(UlXmlTest, MalformedInputInTheOtherModes) {
    const std::tuple<const char*, int, const char*> cases[] = {
        {"<p><b></i></p>", UL_XMLREAD_LAZYHTML,
         "Closing tag 'i' does not match opening tag 'b'\nAt line 1, column 7"},
        {"<a b=\"x>\"/>", UL_XMLREAD_STRICT,
         "Illegal non-escaped characters '>' in XML string 'x'\nAt line 1, column 8"},
        {"<a>&apos;</a>", UL_XMLREAD_LAZYHTML,
         "Invalid escape sequence '&apos;'\nAt line 1, column 9"},
    };
    for (const auto& [text, mode, error] : cases) {
        EXPECT_EQ(ul_xmlreadstring(ul_utf8to16(text).c_str(), mode), nullptr) << text;
        EXPECT_EQ(u8(errorText()), error) << text;
    }
}

TEST(UlXmlTest, EveryTruncationFailsCleanly) {
    const std::string document =
        "<?xml version=\"1.0\"?><!-- c --><r a=\"&amp;1\" b><x>t&#65;<![CDATA[d]]></x><y/></r>";
    for (size_t n = 0; n < document.size(); ++n) {
        std::string prefix = document.substr(0, n);
        EXPECT_EQ(ul_xmlreadstring(ul_utf8to16(prefix.c_str()).c_str(), 0), nullptr) << prefix;
        EXPECT_NE(errorText().find(u"\nAt line 1, column "), std::u16string::npos) << prefix;
    }
    EXPECT_EQ(parsed(document.c_str()), "r[a=&1,b](x(\"tAd\"),y)");
}

TEST(UlXmlTest, DepthLimitIs200Levels) {
    EXPECT_EQ(parsed(nested(199, "<e/>").c_str()).substr(0, 4), "e(e(");
    EXPECT_EQ(parsed(nested(201).c_str()),
              "ERROR: XML elements too deeply nested\nAt line 1, column 601");
    EXPECT_EQ(parsed(nested(200, "<e/>").c_str()).substr(0, 37),
              "ERROR: XML elements too deeply nested");
}

TEST(UlXmlTest, OutOfMemoryAtEveryAllocationIsReported) {
    const char* document = "<r a=\"1\" b=\"2\"><x>text</x><y c=\"3\"/>tail</r>";
    int failures = 0;
    for (long n = 0;; ++n) {
        ul_memfailafter(n);
        Tree tree(document);
        ul_memfailafter(-1);
        if (tree.root) {
            EXPECT_EQ(dump(tree.root), "r[a=1,b=2](x(\"text\"),y[c=3],\"tail\")");
            break;
        }
        EXPECT_EQ(errorText().substr(0, outOfMemoryText().size()), outOfMemoryText()) << n;
        ++failures;
    }
    EXPECT_GT(failures, 10);
}

TEST(UlXmlTest, ReadsUtf8Files) {
    TempDir dir;
    std::string path =
        dir.write("doc.xml", "\xEF\xBB\xBF<a v=\"\xC3\xA9\">\xF0\x9F\x98\x80\xFF</a>");
    Tree tree(ul_xmlreadfile(ul_utf8to16(path.c_str()).c_str(), 0));
    EXPECT_EQ(dump(tree.root), "a[v=\u00e9](\"\ufffd\ufffd\")");

    // A character cut by the reader's block boundary is still decoded whole.
    std::string big = "<a>" + std::string(8192 - 4, 'x') + "\xE2\x98\xBA</a>";
    Tree bigTree(ul_xmlreadfile(ul_utf8to16(dir.write("big.xml", big).c_str()).c_str(), 0));
    ASSERT_NE(bigTree.root, nullptr);
    EXPECT_EQ(ul_xmlgetcontent0(bigTree.root)[8192 - 4], u'\u263a');
}

// The checksum covers names, attributes in any order and trimmed text; validate adds the
// "crcvalue" attribute and then finds it right.
TEST(UlXmlTest, ChecksumAndValidation) {
    // CRC-32/MPEG-2 of the UTF-8 bytes "r" "a" "1" "b" "2" "t\u00ebxt", computed independently.
    EXPECT_EQ(checksum("<r b=\"2\" a=\"1\">  t\u00ebxt\n</r>"), 0x1b6b02d2u);
    const unsigned base = checksum("<r a=\"1\" b=\"2\"><x>text</x></r>");
    EXPECT_EQ(checksum("<r b=\"2\" a=\"1\">\n  <x> text </x>\n</r>"), base);
    for (const char* changed :
         {"<r a=\"1\" b=\"3\"><x>text</x></r>", "<r a=\"1\" b=\"2\"><x>texT</x></r>",
          "<r a=\"1\" b=\"2\"><y>text</y></r>", "<r a=\"1\" c=\"2\"><x>text</x></r>",
          "<q a=\"1\" b=\"2\"><x>text</x></q>", "<r a=\"1\" b=\"2\"><x>te xt</x></r>"})
        EXPECT_NE(checksum(changed), base) << changed;
    Tree tree("<r a=\"1\"><x>text</x></r>");
    EXPECT_EQ(ul_xmlvalidate(tree.root, 0), 0);  // no attribute
    EXPECT_EQ(ul_xmlvalidate(tree.root, UL_XMLVALIDATE_UPDATE), 0);
    std::u16string value = ul_xmlgetattribute_noalloc(tree.root, u"crcvalue", 0);
    EXPECT_EQ(ul_xmlvalidate(tree.root, UL_XMLVALIDATE_UPDATE), 1);
    EXPECT_EQ(ul_xmlgetattribute_noalloc(tree.root, u"crcvalue", 0), value);
}

TEST(UlXmlTest, AttributesChangeAndQuery) {
    Tree tree("<t a=\"1\" bare e=\"\" on=\"Yes\" off=\"0\" bad=\"maybe\"/>");
    ul_xmlnode_t* t = tree.root;
    EXPECT_EQ(ul_xmladdattribute2(t, u"a", u"2", 0), 0);
    EXPECT_EQ(ul_xmladdattribute2(t, u"a", u"3", UL_XMLADDATTR_NOREPLACE), -1);
    EXPECT_EQ(errorText(), u"Duplicate attribute 'a' in tag <t>");
    EXPECT_EQ(ul_xmladdattribute2(t, u"z", nullptr, 0), 0);
    EXPECT_EQ(ul_xmldelattribute(t, u"on"), 1);
    EXPECT_EQ(ul_xmldelattribute(t, u"on"), 0);
    EXPECT_EQ(dump(t), "t[a=2,bare,e=,off=0,bad=maybe,z]");

    EXPECT_EQ(ul_xmlgetattribute_noalloc(t, u"nope", 0), nullptr);
    EXPECT_EQ(errorText(), u"Attribute 'nope' not found in tag 't'");
    EXPECT_EQ(ul_xmlgetattribute_noalloc(t, u"bare", 0), nullptr);
    EXPECT_EQ(errorText(), u"Missing attribute value 'bare'");
    ul_errorsetmsg(0, u"kept");
    EXPECT_EQ(ul_xmlgetattribute_noalloc(t, u"bare", UL_XMLATTR_QUIET), nullptr);
    EXPECT_EQ(errorText(), u"kept");
    EXPECT_EQ(std::u16string(ul_xmlgetattribute_noalloc(t, u"A", UL_XMLATTR_IGNORECASE)), u"2");
    char16_t* copy = ul_xmlgetattribute_alloc(t, u"bad", 0);
    EXPECT_EQ(std::u16string(copy), u"maybe");
    free(copy);

    // Attribute, default value, result, error text ("kept": none set).
    const std::tuple<const char16_t*, int, int, std::u16string> bools[] = {
        {u"off", -1, 0, u"kept"},
        {u"a", 0, 1, u"kept"},
        {u"missing", 1, 1, u"kept"},
        {u"missing", -1, -1, u"Attribute 'missing' not found in tag 't'"},
        {u"e", 1, -1, u"Empty attribute 'e'"},
        {u"bare", 0, -1, u"Empty attribute 'bare'"},
        {u"bad", 0, -1, u"Invalid value for attribute 'bad'"}};
    for (const auto& [name, defaultValue, result, error] : bools) {
        ul_errorsetmsg(0, u"kept");
        EXPECT_EQ(ul_xmlgetboolattr(t, name, defaultValue), result) << u8(name);
        EXPECT_EQ(errorText(), error);
    }
}

TEST(UlXmlTest, BorrowedStringsAreCopiedBeforeChanges) {
    static char16_t name[] = u"n", value[] = u"v";
    ul_xmlattr_t borrowed[] = {{name, value}};
    ul_xmlnode_t* node = ul_xmlnewnode(UL_XMLNODE_TAG | UL_XMLNODE_BORROWED_NAME, u"b");
    node->attributes = borrowed;
    node->attributeCount = 1;
    node->flags |= UL_XMLNODE_BORROWED_ATTRSTRS | UL_XMLNODE_BORROWED_ATTRARRAY;
    ul_xmlnode_t* copy = ul_xmlcopynode(node, true);
    EXPECT_EQ(ul_xmladdattribute2(node, u"n", u"w", 0), 0);
    EXPECT_EQ(dump(node) + " " + dump(copy), "b[n=w] b[n=v]");
    EXPECT_EQ(std::u16string(value), u"v");
    ul_xmlfreenode(node);  // frees only what it owns now; ASan reports any static block freed
    ul_xmlfreenode(copy);
}

TEST(UlXmlTest, TreeOperations) {
    Tree tree("<r>a<x/>b<y><z/></y>c</r>");
    ul_xmlnode_t* r = tree.root;
    EXPECT_EQ(ul_xmlcountchildren(r), 2);
    ul_xmlnode_t* x = ul_xmlchildren(r);
    ul_xmlnode_t* y = ul_xmlnextnode(x);
    EXPECT_EQ(ul_xmlnextnode(y), nullptr);
    Tree copy(ul_xmlcopynode(r, true)), shallow(ul_xmlcopynode(y, false));
    EXPECT_EQ(dump(shallow.root), "y");
    // x becomes two content nodes, y disappears: adjacent content is then merged in one pass.
    ul_xmlnode_t* list = ul_xmlnewnode(UL_XMLNODE_CONTENT, u"1");
    ul_xmladdtail(&list, ul_xmlnewnode(UL_XMLNODE_CONTENT, u"2"));
    EXPECT_EQ(ul_xmlsubstchild(r, x, list) + ul_xmlsubstchild(r, y, nullptr), 0);
    EXPECT_EQ(dump(r), "r(\"a\",\"1\",\"2\",\"b\",\"c\")");
    EXPECT_EQ(ul_xmlchecknode(r, nullptr), 1);
    EXPECT_EQ(ul_xmlmergecontent(r), 4);
    EXPECT_EQ(dump(r), "r(\"a12bc\")");
    EXPECT_EQ(ul_xmlsubstchild(r, copy.root, nullptr), -1);
    EXPECT_EQ(errorText(), u"Node 'r' is not a child of 'r'");
    EXPECT_EQ(dump(copy.root), "r(\"a\",x,\"b\",y(z),\"c\")");
    char16_t buffer[6];
    EXPECT_EQ(ul_xmlgetcontent(r, buffer, 5), -1);
    EXPECT_EQ(errorText(), u"Array too small for XML content (6)");
    EXPECT_EQ(ul_xmlgetcontent(r, buffer, 6), 5);
    EXPECT_EQ(std::u16string(buffer), u"a12bc");
    EXPECT_GT(ul_xmlnodegetsize(copy.root), ul_xmlnodegetsize(r));
}

TEST(UlXmlTest, FindsNodesByPath) {
    Tree tree("<r><a><b id=\"1\"/></a><a><c/><b id=\"2\"><c id=\"3\"/></b></a></r>");
    const std::tuple<const char16_t*, int, std::string> cases[] = {
        {u"a/b", 1, "b[id=1]"}, {u"a/b/c", 1, "c[id=3]"}, {u"/r/a/c", 1, "c"},
        {u"/r", 1, "r"},        {u"/a", 0, ""},           {u"b", 0, ""},
        {u"", -1, ""},          {u"a//b", -1, ""},        {u"/", -1, ""},
    };
    for (const auto& [path, result, expected] : cases) {
        ul_xmlnode_t* found = nullptr;
        EXPECT_EQ(ul_xmlfindnodepath(tree.root, path, &found), result) << u8(path);
        if (found) {
            ul_xmlnode_t* next = found->next;
            found->next = nullptr;
            EXPECT_EQ(dump(found).substr(0, expected.size()), expected);
            found->next = next;
        }
    }
    EXPECT_EQ(errorText(), u"Invalid XML node path '/'");
}

// Records the walk and applies a few rewrites: <drop/> is removed, <twice/> becomes two <w/>,
// <keep> is not entered, and a content "!" asks for merging.
class RecordingWalker : public ULXMLTreeWalker {
  public:
    int handleNode(int depth, ul_xmlnode_t** node, ul_xmlnode_t* parent) override {
        std::string name = u8((*node)->name);
        log += std::to_string(depth) + name + (parent ? "" : "^") + " ";
        if (name == "drop") {
            ul_xmlfreenode(ul_xmlreplacenode(node, nullptr));
            return UL_XMLWALK_REPLACED;
        }
        if (name == "twice") {
            ul_xmlnode_t* pair = ul_xmlnewnode(UL_XMLNODE_TAG, u"w");
            pair->next = ul_xmlnewnode(UL_XMLNODE_TAG, u"w");
            ul_xmlfreenode(ul_xmlreplacenode(node, pair));
            return UL_XMLWALK_SKIP;
        }
        if (name == "!") return UL_XMLWALK_MERGE;
        return name == "keep" ? UL_XMLWALK_NOCHILDREN : 0;
    }
    int leaveNode(int depth, ul_xmlnode_t* node) override {
        log += concat("/", std::to_string(depth), u8(node->name), " ");
        return 0;
    }
    std::string log;
};

TEST(UlXmlTest, WalkerVisitsReplacesAndMerges) {
    Tree tree("<r><drop/><drop/><a>x<keep><k/></keep><twice/>!</a></r>");
    RecordingWalker walker;
    EXPECT_EQ(ul_xmlwalktree(&tree.root, &walker), 0);
    EXPECT_EQ(walker.log, "1r^ 2drop 2drop 2a 3x 3keep 3twice 3w /3w 3! /2a /1r ");
    EXPECT_EQ(dump(tree.root), "r(a(\"x\",keep(k),w,w,\"!\"))");

    // Built trees can be deeper than parsed ones; the walk refuses them.
    Tree deep(ul_xmlnewnode(UL_XMLNODE_TAG, u"e"));
    ul_xmlnode_t* leaf = deep.root;
    for (int i = 1; i < UL_XML_MAXDEPTH + 1; ++i)
        leaf = leaf->children = ul_xmlnewnode(UL_XMLNODE_TAG, u"e");
    EXPECT_EQ(ul_xmlwalktree(&deep.root, &walker), -1);
    EXPECT_EQ(errorText(), u"XML elements too deeply nested");
}

class XmlFilesTest : public ::testing::Test {
  protected:
    // Writes a file; with sign, the placeholder CRC in the text becomes the right "crcvalue".
    std::u16string write(const std::string& name, const std::string& text, bool sign = true) {
        std::u16string path = dir.wpath(name);
        size_t mark = text.find("CRC");
        if (!sign || mark == std::string::npos) {
            dir.write(name, text);
            return path;
        }
        std::string unsignedText = text;
        dir.write(name, unsignedText.erase(mark, 3));
        Tree tree(ul_xmlreadfile(path.c_str(), 0));
        EXPECT_GE(ul_xmlvalidate(tree.root, UL_XMLVALIDATE_UPDATE), 0);
        std::string value = u8(ul_xmlgetattribute_noalloc(tree.root, u"crcvalue", 0));
        dir.write(name, std::string(text).replace(mark, 3, "crcvalue=\"" + value + "\""));
        return path;
    }
    TempDir dir;
};

TEST_F(XmlFilesTest, IncludePassReplacesElements) {
    write("part.xml", "<part CRC srcid=\"9\" xmlns:xsi=\"u\" keep=\"1\"><p/><q/></part>");
    write("nested.xml", "<n CRC><include name=\"part.xml\" childsonly=\"yes\"/></n>");
    Tree tree(
        "<r><include name=\"part.xml\"/><include name=\"nested.xml\" childsonly=\"1\"/>"
        "<include name=\"none.xml\" optional=\"true\"/><include/></r>");
    std::u16string base = dir.wpath();
    EXPECT_EQ(ul_xmlfileprocinclude(&tree.root, base.c_str(), nullptr, UL_XMLCHECK_CRC), 3);
    EXPECT_EQ(dump(tree.root), "r(part[keep=1](p,q),p,q,include)");

    const std::pair<const char*, std::u16string> cases[] = {
        {"<r><include name=\"none.xml\"/></r>",
         u"Cannot read XML file '" + base + u"/none.xml': No such file or directory"},
        {"<r><include name=\"loop.xml\"/></r>",
         u"Recursive inclusion of file '" + base + u"/loop.xml'"},
        {"<r><include name=\"unsigned.xml\"/></r>", u"Corrupted file '" + base + u"/unsigned.xml'"},
        {"<r><include name=\"part.xml\" optional=\"perhaps\"/></r>",
         u"Invalid value for attribute 'optional'"},
    };
    write("macro.xml", "<m v=\"$(X)\"/>");
    static const ul_macrodef_t defs[] = {{u"X", UL_MACRODEF_STRING, 0, 0, u"7", nullptr, nullptr}};
    ULMacroDefProvider provider(defs, 1);
    Tree macros("<r><include name=\"macro.xml\"/></r>");
    EXPECT_EQ(ul_xmlfileprocinclude(&macros.root, base.c_str(), &provider, UL_XMLCHECK_MACROS), 1);
    EXPECT_EQ(dump(macros.root), "r(m[v=7])");

    write("loop.xml", "<l CRC><include name=\"loop.xml\"/></l>");
    write("unsigned.xml", "<u/>", false);
    for (const auto& [text, error] : cases) {
        Tree failing(text);
        EXPECT_EQ(ul_xmlfileprocinclude(&failing.root, base.c_str(), nullptr, UL_XMLCHECK_CRC), -1);
        EXPECT_EQ(errorText(), error) << text;
    }
}

TEST_F(XmlFilesTest, ReadCheckVerifiesChecksumTagAndVersion) {
    std::u16string good =
        write("good.xml", "<stmts CRC version=\"3\"><include name=\"inc.xml\"/></stmts>");
    write("inc.xml", "<inc CRC/>");
    std::u16string bad = write("bad.xml", "<stmts crcvalue=\"1\"/>", false);
    std::u16string cond =
        write("cond.xml",
              "<stmts CRC><if test=\"1 == 2\"><a/></if><if test=\"1 == 1\"><b/></if>"
              "<include name=\"inc.xml\"/></stmts>");
    const std::string g = u8(good);
    // File, expected tag, version asked, flags, version found, tree or error.
    const std::tuple<const std::u16string&, const char16_t*, int, int, int, std::string> cases[] = {
        {good, u"stmts", 3, UL_XMLCHECK_CRC, 3, "stmts[version=3](include[name=inc.xml])"},
        {good, u"stmts", UL_XMLVERSION_ANY, UL_XMLCHECK_CRC | UL_XMLCHECK_INCLUDE, 3,
         "stmts[version=3](inc)"},
        {bad, u"stmts", UL_XMLVERSION_ANY2, 0, 0, "stmts[crcvalue=1]"},
        {cond, u"stmts", 0, UL_XMLCHECK_CRC | UL_XMLCHECK_MACROS, 0, "stmts(b,inc)"},
        {good, u"other", 3, 0, 3, "!Illegal tag 'stmts' - expected 'other'"},
        {good, u"stmts", 4, 0, 4, "!File '" + g + "' has version 3, but expected 4"},
    };
    for (const auto& [path, tag, asked, flags, found, expected] : cases) {
        int version = asked;
        Tree tree(ul_xmlreadcheck(path.c_str(), tag, &version, flags));
        EXPECT_EQ(version, found);
        EXPECT_EQ(tree.root ? dump(tree.root) : concat("!", u8(errorText())), expected);
    }
}

}  // namespace

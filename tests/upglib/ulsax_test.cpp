#include "ulsax.h"

#include <gtest/gtest.h>

#include <string>

#include "testutil.h"

namespace {

// The token stream of a text as "TYPE:text" words; attributes as [name=value@begin-end].
std::string tokens(const char16_t* text, int mode = 0) {
    static const char* const kTypes[] = {"EOF",   "TEXT", "WS", "CDATA",  "START",
                                         "EMPTY", "END",  "PI", "COMMENT"};
    ul_saxparse_t sax;
    sax.mode = mode;
    sax.stream.openString(text);
    std::string out;
    for (;;) {
        int type = sax.next();
        if (type == UL_SAXTOK_ERROR) return out + "ERROR:" + u8(errorText());
        out += std::string(kTypes[type]) + ":" + u8(sax.token);
        for (size_t i = 0; i < sax.attributeCount; ++i) {
            const ul_saxattr_t& a = sax.attributes[i];
            out += concat("[", u8(a.name));
            if (a.hasValue)
                out += concat("=", u8(a.value), "@", std::to_string(a.valueBegin), "-",
                              std::to_string(a.valueEnd));
            out += "]";
        }
        if (type == UL_SAXTOK_EOF) return out;
        out += " ";
    }
}

TEST(UlSaxTest, TokenStreams) {
    struct Case { const char16_t* text; int mode; const char* tokens; } cases[] = {
        {u"<?pi x?><!-- c -- d -->\n<a k=\"v\" b>", 0,
         "PI:pi x COMMENT: c -- d  WS:\n START:a[k=v@30-31][b] EOF:"},
        {u"<a:b-c_1/> t&lt; </x >", 0, "EMPTY:a:b-c_1 TEXT: t<  END:x EOF:"},
        {u"<![CDATA[]]><![CDATA[a]]b]]>", 0, "CDATA: CDATA:a]]b EOF:"},
        {u"&nbsp;", 0, "TEXT:  EOF:"},
        {u"<a v=\"&amp;\">", UL_SAX_KEEPREFS, "START:a[v=&amp;@6-11] EOF:"},
        {u"<a v=\"\u00e9\"/>\u263a", 0, "EMPTY:a[v=\u00e9@6-7] TEXT:\u263a EOF:"},
        {u"<a\nv\n=\n\"1\"\n/>", 0, "EMPTY:a[v=1@8-9] EOF:"},
    };
    for (const Case& c : cases) EXPECT_EQ(tokens(c.text, c.mode), c.tokens) << u8(c.text);
}

TEST(UlSaxTest, PositionsAndPushBack) {
    ul_saxparse_t sax;
    sax.stream.openString(u"<r>\n  <t a=\"1\">x\n</t>");
    EXPECT_EQ(sax.next(), UL_SAXTOK_STARTTAG);
    EXPECT_EQ(sax.nameEnd, 2u);
    EXPECT_EQ(sax.next(), UL_SAXTOK_WHITESPACE);
    EXPECT_EQ(sax.next(), UL_SAXTOK_STARTTAG);
    EXPECT_EQ(sax.tokenLine * 100 + sax.tokenColumn, 203);
    EXPECT_EQ(sax.nameEnd, 8u);
    EXPECT_EQ(sax.next(), UL_SAXTOK_CONTENT);
    EXPECT_EQ(sax.line * 100 + sax.column, 300);  // behind "x\n", the "<" given back
    EXPECT_EQ(sax.next(), UL_SAXTOK_ENDTAG);
    EXPECT_EQ(sax.tokenLine * 100 + sax.tokenColumn, 301);
    EXPECT_EQ(sax.next(), UL_SAXTOK_EOF);
    EXPECT_EQ(sax.stream.position, 21u);
}

}  // namespace

#include "ulexpr.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "testutil.h"
#include "ulauxfcts.h"
#include "ulerror.h"
#include "ulvarlist.h"

namespace {

constexpr unsigned kAll = ULExprCompiled::DEFAULTFLAGS;
constexpr unsigned kPlain = kAll & ~(ULExprCompiled::FOLD | ULExprCompiled::OPTIMIZE);

// Variables by text (read as literals are), the volatile function probe(x) that counts its
// calls and returns x, and the constant function twice(x).
class TestProvider : public ULExprVarProvider {
  public:
    int getValue(ULExprValue* result, const char16_t* name, int index, const ULExprValue* args,
                 int argc, ul_strpool_t* pool) override {
        std::u16string n = name;
        if (argc < 0) {
            auto it = vars.find(n);
            if (it == vars.end()) return index < 0 ? -1 : ul_exprunresolved(name, argc);
            return index < 0 ? 0 : result->setText(it->second.c_str(), pool, UL_EXPR_TEXT_NUMBER);
        }
        if (argc != 1 || (n != u"probe" && n != u"twice"))
            return index < 0 ? -1 : ul_exprunresolved(name, argc);
        if (index < 0) return n == u"twice" ? 1 : 0;
        ++calls[n];
        if (n == u"twice")
            result->setInteger(2 * args[0].intValue);
        else
            *result = args[0];
        return 0;
    }
    std::map<std::u16string, std::u16string> vars;
    std::map<std::u16string, int> calls;
};

struct Outcome { int rc; std::u16string text; };

Outcome run(const char16_t* text, unsigned flags = kAll, ULExprVarProvider* provider = nullptr) {
    ULExprCompiled expr;
    ul_strpool_t pool;
    char16_t buffer[256];
    ul_errorsetmsg(0, nullptr);
    int rc = expr.evaluate(buffer, 256, nullptr, nullptr, text, provider, &pool, flags);
    return {rc, rc < 0 ? errorText() : std::u16string(buffer)};
}

class UlExprTest : public ::testing::Test {
  protected:
    void SetUp() {
        provider.vars = {{u"x", u"2"},    {u"four", u"4"}, {u"NAME", u"DD03L"}, {u"one", u"1"},
                         {u"zero", u"0"}, {u"s", u"abc"},  {u"ten", u"10"}};
    }
    TestProvider provider;
};

TEST_F(UlExprTest, EvaluatesOperatorsAndFunctions) {
    const struct { const char16_t* text; const char16_t* result; } cases[] = {
        {u"7 / 2", u"3.500000"}, {u"7 % 2", u"1"}, {u"-7 % 2", u"-1"},
        {u"'abc' + 'def'", u"abcdef"}, {u"1 + 2.5", u"3.500000"}, {u"1 + 'a'", u"1a"},
        {u"(1 + 0) + 'a'", u"<NULL>"}, {u"9223372036854775807 + 1", u"9223372036854775808.000000"},
        {u"10 > 9", u"1"}, {u"2 <= 2", u"1"}, {u"(-9223372036854775807 - 1) % -1", u"0"},
        {u"'10' > '9'", u"0"}, {u"ten > 9", u"1"}, {u"4294967296 > 0", u"1"},
        {u"7 / 2 == 3.5", u"1"}, {u"1e3 = 1000", u"1"}, {u".5 * 4", u"2.000000"},
        {u"-5 + 3", u"-2"}, {u"3 - -5", u"8"}, {u"3-5", u"-2"}, {u"x in (1, 2, 3)", u"1"},
        {u"four not in (1, 2, 3)", u"1"}, {u"x in (1, x + 0, 3)", u"1"},
        {u"NAME like 'DD0%'", u"1"}, {u"NAME LIKE 'DD0_'", u"0"}, {u"NAME not like 'DD0%'", u"0"},
        {u"NAME ~= 'DD0*'", u"1"}, {u"NAME ~= 'DD0'", u"1"}, {u"NAME ~= 'DD0$'", u"0"},
        {u"one ? 'b' : 'c'", u"b"}, {u"zero ? 'b' : 'c'", u"c"}, {u"1 ? 2 : 0 ? 3 : 4", u"2"},
        {u"0 ? 2 : 0 ? 3 : 4", u"4"}, {u"0 ? 1 : 2 + 3", u"5"}, {u"1 + 2 * 3", u"7"},
        {u"(1 + 2) * 3", u"9"}, {u"10 - 4 - 3", u"3"}, {u"1 || 0 && 0", u"1"},
        {u"1 or 0 and 0", u"1"}, {u"x = 2 && s == 'abc' or zero <> 0", u"1"}, {u"!x == 0", u"1"},
        {u"not 1 = 2", u"0"}, {u"2 + 3 eq 5 and 1 lt 2", u"1"}, {u"TRUE and not False", u"1"},
        {u"\"a\\\"b\\\\c\"", u"a\"b\\c"}, {u"'it''s'", u"it's"},
        {u"substr('abcdef', 2, 3)", u"bcd"}, {u"substr('abc', 0, 10)", u"abc"},
        {u"substr('abc', 5, 1)", u""}, {u"min(3, 1, 2)", u"1"}, {u"max('a', 'c', 'b')", u"c"},
        {u"ceil(7 / 2)", u"4.000000"}, {u"ceil(7)", u"7"}, {u"sqrt(16)", u"4.000000"},
        {u"upper('abc')", u"ABC"}, {u"lower(\"AbC\")", u"abc"}, {u"int('42') + 1", u"43"},
        {u"int(3.9)", u"3"}, {u"float('2.5')", u"2.500000"}, {u"strstr('abc', 'bc')", u"1"},
        {u"strreplace('a-b-c', '-', '+-')", u"a+-b+-c"}, {u"strreplace('abc', '', 'x')", u"abc"},
        {u"twice(x) + 1", u"5"},
    };
    for (const auto& c : cases) {
        Outcome o = run(c.text, kAll, &provider);
        EXPECT_EQ(o.rc, 0) << u8(c.text) << ": " << u8(o.text);
        EXPECT_EQ(u8(o.text), u8(c.result)) << u8(c.text);
    }
}

TEST_F(UlExprTest, ReportsEveryErrorWithItsMessage) {
    const struct { const char16_t* text; unsigned flags; const char16_t* message;
    } cases[] = {
        {u"1 + )", 0, u"Missing right hand side expression"},
        {u"(1 + 2", 0, u"Incomplete expression '(1 + 2'"},
        {u"", 0, u"Incomplete expression ''"},
        {u"1 ? 2", 0, u"Incomplete expression '1 ? 2'"},
        {u"1 2", 0, u"Cannot parse expression '1 2' - trailing garbage '2'"},
        {u"1 = 2", kAll & ~ULExprCompiled::SQLSTYLE,
         u"Cannot parse expression '1 = 2' - trailing garbage '= 2'"},
        {u"1 == 2", kAll & ~ULExprCompiled::SCRIPTSTYLE, u"Invalid expression '= 2'"},
        {u"'abc", 0, u"Unterminated single quoted word in ''abc'"},
        {u"'a''b'", kAll & ~ULExprCompiled::SQLSTYLE,
         u"Cannot parse expression ''a''b'' - trailing garbage ''b''"},
        {u"\"abc\\\"", 0, u"Unterminated double quoted word in '\"abc\\\"'"},
        {u"abc", kAll & ~ULExprCompiled::PLAINIDENT, u"Plain identifier 'abc' not allowed"},
    };
    for (const auto& c : cases) {
        // Without a provider, so that a bare identifier is the plain identifier case.
        Outcome o = run(c.text, c.flags ? c.flags : kAll,
                        ul_strstr(c.text, u"abc") == c.text ? nullptr : &provider);
        EXPECT_EQ(o.rc, -1) << u8(c.text);
        EXPECT_EQ(u8(o.text), u8(c.message)) << u8(c.text);
    }
}

TEST_F(UlExprTest, NamesFailAtCompileOrEvaluation) {
    ULExprCompiled expr;
    ul_strpool_t pool;
    ULExprValue v;
    ASSERT_EQ(expr.compile(u"x + 1", &provider), 0);
    EXPECT_EQ(expr.evaluate(&v, nullptr, &pool), -1);
    EXPECT_EQ(u8(errorText()), "Identifier 'x' cannot be resolved");
    ASSERT_EQ(expr.compile(u"probe(1)", &provider), 0);
    EXPECT_EQ(expr.evaluate(&v, nullptr, &pool), -1);
    EXPECT_EQ(u8(errorText()), "Function 'probe' with 1 arguments cannot be resolved");
}

// With an end pointer the expression stops where no operator continues it.
TEST_F(UlExprTest, CompileStopsAtEndPointer) {
    const struct { const char16_t* text; const char16_t* rest; const char16_t* result; } cases[] = {
        {u"x > 1 SELECT 1", u"SELECT 1", u"1"}, {u"(x) in (2) rest", u"rest", u"1"},
        {u"1 + 2) tail", u") tail", u"3"},      {u"x ? 1 : 2 : 3", u": 3", u"1"},
        {u"f(1), 2", u"f(1), 2", nullptr},      {u"x, 2", u", 2", u"2"},
    };
    for (const auto& c : cases) {
        ULExprCompiled expr;
        const char16_t* end = nullptr;
        if (!c.result) {
            EXPECT_EQ(expr.compile(c.text, &provider, &end), -1) << u8(c.text);
            continue;
        }
        ASSERT_EQ(expr.compile(c.text, &provider, &end), 0) << u8(c.text) << u8(errorText());
        EXPECT_EQ(u8(end), u8(c.rest)) << u8(c.text);
        char16_t buffer[16];
        ASSERT_EQ(expr.evaluate(buffer, 16, nullptr, nullptr, &provider, nullptr), 0);
        EXPECT_EQ(u8(buffer), u8(c.result)) << u8(c.text);
    }
}

TEST_F(UlExprTest, OutputFormsAndBufferLimits) {
    ULExprCompiled expr;
    char16_t buffer[9];
    double d = 0;
    int64_t i = 0;
    ASSERT_EQ(expr.evaluate(buffer, 9, &d, &i, u"7 / 2", nullptr, nullptr, kAll), 0);
    EXPECT_EQ(u8(buffer), "3.500000");
    EXPECT_EQ(d, 3.5);
    EXPECT_EQ(i, 3);
    EXPECT_EQ(expr.evaluate(buffer, 7, nullptr, nullptr, u"'abcdefg'", nullptr, nullptr, kAll), -1);
    EXPECT_EQ(u8(errorText()), "Output buffer for expression evaluation too small 7 >= 7");
    EXPECT_EQ(expr.evaluate(nullptr, 0, &d, nullptr, u"1 + 2", nullptr, nullptr, kAll), -1);
    EXPECT_EQ(u8(errorText()), "Not a floating point expression '1 + 2'");
    EXPECT_EQ(expr.evaluate(nullptr, 0, nullptr, &i, u"2.5", nullptr, nullptr, kAll), -1);
    EXPECT_EQ(u8(errorText()), "Not an integer expression '2.5'");
    ASSERT_EQ(expr.compile(u"x * 2 < 5", &provider), 0);
    EXPECT_TRUE(expr.isBoolean());
    EXPECT_EQ(expr.evaluateCondition(&provider, nullptr), 1);
    ASSERT_EQ(expr.compile(u"s", &provider), 0);
    EXPECT_FALSE(expr.isBoolean());
    EXPECT_EQ(expr.evaluateCondition(&provider, nullptr), -1);
}

// Short-cuts skip the right side once the left decides; without optimisation every call runs.
TEST_F(UlExprTest, ShortCutsSkipTheRightSide) {
    const struct { const char16_t* text; const char16_t* result; int callsOptimised; } cases[] = {
        {u"zero && probe(s)", u"0", 0}, {u"one || probe(s)", u"1", 0},
        {u"one && probe(one)", u"1", 1}, {u"zero or probe(one)", u"1", 1},
        {u"one ? 5 : probe(s)", u"5", 0}, {u"zero ? probe(s) : 6", u"6", 0},
        {u"(zero and probe(one)) or (one or probe(one))", u"1", 0},
    };
    for (const auto& c : cases) {
        provider.calls.clear();
        Outcome o = run(c.text, kAll, &provider);
        EXPECT_EQ(u8(o.text), u8(c.result)) << u8(c.text);
        EXPECT_EQ(provider.calls[u"probe"], c.callsOptimised) << u8(c.text);
        provider.calls.clear();
        o = run(c.text, kPlain, &provider);
        int written = 0;
        for (const char16_t* p = c.text; (p = ul_strstr(p, u"probe")); ++p) ++written;
        EXPECT_EQ(provider.calls[u"probe"], written) << u8(c.text);
    }
}

// Every grammar-switch combination gives the same result or the same message.
TEST_F(UlExprTest, FoldingAndOptimisingKeepResults) {
    const char16_t* texts[] = {
        u"1 + 2 * 3 - 4 / 2", u"7 % 2 + 7 / 2", u"'a' + 'b' == 'ab'", u"max(1, 5, 3) * 2",
        u"1 < 2 && 3 > 2 || 0", u"0 ? 1 : 2 ? 3 : 4", u"3 in (5, 3, 9) and 4 not in (5, 3)",
        u"'b' in ('c', 'a', 'b')", u"2.5 in (1.5, 2.5)", u"5 in ('5', '6')", u"x in (4, 2, 9)",
        u"x + 1 in (x, 7, 3)", u"7.0 % 2", u"1 || s", u"0 && s", u"s ? 1 : 2", u"twice(3) * x",
        u"upper(substr('hello', 2, 3)) like 'EL_'", u"strstr(strreplace('aXb', 'X', 'c'), 'cb')",
    };
    const unsigned variants[] = {kAll, kPlain, kPlain | ULExprCompiled::FOLD,
                                 kPlain | ULExprCompiled::OPTIMIZE};
    for (const char16_t* text : texts) {
        Outcome reference = run(text, kPlain, &provider);
        for (unsigned flags : variants) {
            Outcome o = run(text, flags, &provider);
            // A short-cut may answer where the full evaluation meets an error on the right.
            if (reference.rc < 0 && o.rc == 0 && (flags & ULExprCompiled::OPTIMIZE)) continue;
            EXPECT_EQ(o.rc, reference.rc) << u8(text) << " flags " << flags;
            EXPECT_EQ(u8(o.text), u8(reference.text)) << u8(text) << " flags " << flags;
        }
    }
    ULExprCompiled expr;
    ASSERT_EQ(expr.compile(u"max(1, 5, 3) * 2 + twice(4)", &provider), 0);
    EXPECT_EQ(expr.getCode().size(), 1u);
    ASSERT_EQ(expr.compile(u"x in (9, 1, 5, 3)", &provider), 0);
    ASSERT_EQ(expr.getCode().size(), 2u);
    EXPECT_EQ(expr.getCode()[1].op, ULExprOp::OPTIMIZEDINVALUE);
    for (int x = -1; x <= 10; ++x) {
        provider.vars[u"x"] = ul_utf8to16(std::to_string(x).c_str());
        ULExprValue v;
        ASSERT_EQ(expr.evaluate(&v, &provider, nullptr), 0);
        EXPECT_EQ(v.intValue, x == 9 || x == 1 || x == 5 || x == 3) << x;
    }
}

// Cut-off and corrupted input never crashes and always answers with a message.
TEST_F(UlExprTest, MalformedInputAnswersWithMessage) {
    const std::u16string texts[] = {
        u"x in (1, 2) && NAME like 'D''D%' ? upper(\"a\\\"b\") : max(1, substr(s, 1, 2))",
        u"not (1.5e+3 <> four) or !(x ~= 'a*$') || strstr(s, 'b') and 0 ? 1 : 2"};
    const std::u16string junk = u"()'\",?:!<=>%*/-+ .e";
    for (const std::u16string& text : texts)
        for (size_t cut = 0; cut <= text.size(); ++cut)
            for (size_t j = 0; j <= junk.size(); ++j) {
                const std::u16string t = text.substr(0, cut) + junk.substr(j, 1);
                Outcome o = run(t.c_str(), kAll, &provider);
                EXPECT_TRUE(o.rc == 0 || !o.text.empty()) << u8(t);
            }
}

TEST_F(UlExprTest, UserDefinedFunctions) {
    ULExprFunctions functions(&provider);
    const char16_t* params[] = {u"v", u"lo", u"hi"};
    ASSERT_EQ(functions.add(u"between", params, 3, u"v >= lo && v <= hi"), 0);
    ASSERT_EQ(functions.add(u"scaled", params, 1, u"v * four"), 0);
    EXPECT_EQ(functions.add(u"between", params, 3, u"1"), -1);
    EXPECT_EQ(u8(errorText()), "Duplicate definition for function 'between' nargs=3");
    EXPECT_EQ(functions.add(u"bad", params, 1, u"v +"), -1);
    EXPECT_EQ(u8(errorText()), "Missing right hand side expression");
    InternalVarFunction answer{u"answer", -1,
                               [](ULExprValue* r, const ULExprValue*, int, ul_strpool_t*, void*) {
                                   r->setInteger(42);
                                   return 0;
                               },
                               nullptr, true};
    ASSERT_EQ(functions.addInternal(answer), 0);

    const struct { const char16_t* text; const char16_t* result; size_t opcodes; } cases[] = {
        {u"between(5, 1, 10)", u"1", 1}, {u"between(x, 3, 10)", u"0", 4}, {u"scaled(3)", u"12", 2},
        {u"answer + between(answer, 40, 50)", u"43", 1},
    };
    for (const auto& c : cases) {
        ULExprCompiled expr;
        ASSERT_EQ(expr.compile(c.text, &functions), 0) << u8(c.text) << ": " << u8(errorText());
        EXPECT_EQ(expr.getCode().size(), c.opcodes) << u8(c.text);
        char16_t buffer[32];
        ASSERT_EQ(expr.evaluate(buffer, 32, nullptr, nullptr, &functions, nullptr), 0);
        EXPECT_EQ(u8(buffer), u8(c.result)) << u8(c.text);
    }
    ULExprCompiled expr;
    ul_strpool_t pool;
    ULExprValue v;
    ASSERT_EQ(expr.compile(u"x", &functions), 0);
    ULExprFunctions orphan;
    EXPECT_EQ(expr.evaluate(&v, &orphan, &pool), -1);
    EXPECT_EQ(u8(errorText()), "Identifier 'x' cannot be resolved");
}

TEST_F(UlExprTest, VariableListValuesReadAsLiterals) {
    ul_varlist_t vars;
    vars.setValue(u"n", u"10");
    vars.setValue(u"t", u"10a");
    vars.setValue(u"empty", nullptr);
    ULExprVarListProvider list(&vars);
    const struct { const char16_t* text; const char16_t* result; } cases[] = {
        {u"n > 9", u"1"}, {u"t > '9'", u"0"}, {u"empty", u"<NULL>"}, {u"n + 0.5", u"10.500000"}};
    for (const auto& c : cases) {
        Outcome o = run(c.text, kAll, &list);
        EXPECT_EQ(u8(o.text), u8(c.result)) << u8(c.text);
    }
    EXPECT_EQ(u8(run(u"nosuch", kAll, &list).text), "Cannot compile variable 'nosuch'");
    vars.free();
}

}  // namespace

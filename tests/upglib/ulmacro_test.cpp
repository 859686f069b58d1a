#include "ulmacro.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "testutil.h"
#include "tracecapture.h"
#include "ulerror.h"
#include "ulstring.h"

namespace {

// Values by name; "F" joins its arguments as F[a|b], "E" fails, names ending in "!" ask for
// a rescan of their value, "S" is hidden.
class MapProvider : public ULMacroProvider {
  public:
    std::map<std::u16string, std::u16string> values = {
        {u"A", u"x"},        {u"I", u"1"},       {u"T1", u"one"},
        {u"R!", u"<$(R!)>"}, {u"P", u"$(Q)"},    {u"Q", u"$(P)"},
        {u"A2", u"$(A)"},    {u"S", u"secret"},  {u"LONG", u"xxxxxxxxxx"},
        {u"G!", u"$(LONG)"}, {u"T[1].F", u"tf"},
    };
    int expandMacro(char16_t* buffer, size_t size, const char16_t* name,
                    const char16_t* const* args, int argc) override {
        std::u16string key = name, value;
        if (key == u"E") {
            ul_errorsetmsg(0, u"boom");
            return -1;
        }
        if (key == u"F") {
            value = u"F[";
            for (int i = 0; i < argc; ++i) value += (i ? u"|" : u"") + std::u16string(args[i]);
            value += u"]";
        } else {
            auto found = values.find(key);
            if (found == values.end()) return 0;
            value = found->second;
        }
        if (ul_strlcpy(buffer, value.c_str(), size) >= size) {
            ul_errorsetmsg(0, u"Not enough space for macro expansion");
            return -1;
        }
        int rc = UL_MACRO_DEFINED;
        if (key.back() == u'!') rc |= UL_MACRO_EXPANDAGAIN;
        if (key == u"S") rc |= UL_MACRO_HIDDEN;
        return rc;
    }
};

struct ReplaceCase { const char16_t* input; int flags; const char16_t* expected; long count; };

// n times "a", separated by sep, between open and close.
std::u16string listOfA(const char16_t* open, int n, const char16_t* sep, const char16_t* close) {
    std::u16string text = open;
    for (int i = 0; i < n; ++i) text += (i ? sep : u"") + std::u16string(u"a");
    return text + close;
}

class UlMacroTest : public ::testing::Test {
  protected:
    // Replaces in a buffer of the given capacity; returns the text or the error message.
    std::u16string run(const std::u16string& input, int flags, long* count, size_t size = 1000) {
        std::vector<char16_t> buffer(size, u'#');
        ul_strlcpy(buffer.data(), input.c_str(), size);
        *count = ul_macroreplace(buffer.data(), size, &provider, flags);
        return *count < 0 ? errorText() : std::u16string(buffer.data());
    }
    MapProvider provider;
};

TEST_F(UlMacroTest, ReplacesCallsByFlags) {
    const ReplaceCase cases[] = {
        {u"v=$(A)", 0, u"v=x", 1}, {u"$$(A)", 0, u"$(A)", 1},
        {u"$$(A)", UL_MACRO_KEEPDOLLARS, u"$$(A)", 0},
        {u"cost 5$ and $ 3 $-", 0, u"cost 5$ and $ 3 $-", 0}, {u"$F(1,(2,3))", 0, u"F[1|(2,3)]", 1},
        {u"$F( a , \"b,c\" ,\" q\\\"\\\\ \")", 0, u"F[a|b,c| q\"\\ ]", 1},
        {u"$F($(A),$F(y,z))", 0, u"F[x|F[y|z]]", 3}, {u"$F()$F( )$F(,)", 0, u"F[]F[]F[|]", 3},
        {u"$(T$(I))", 0, u"one", 2}, {u"$(T[$(I)].F)", 0, u"tf", 2},
        {u"${A}$F{1,{2,3}}$(A)", UL_MACRO_CURLY, u"xF[1|{2,3}]$(A)", 2}, {u"$(A2)", 0, u"$(A)", 1},
        {u"$(A2)", UL_MACRO_RESCAN, u"x", 2},
        // A definition that calls itself, directly or through another, stops after one round.
        {u"$(R!)", 0, u"<$(R!)>", 1}, {u"$(P)", UL_MACRO_RESCAN, u"$(P)", 2},
        {u"$DEFINED(A)$DEFINED(U)$DEFINED($(I))", 0, u"100", 4},
        {u"a $(U) $U(1,2)", UL_MACRO_KEEPUNKNOWN, u"a $(U) $U(1,2)", 0},
        {u"$(U)", 0, u"Unknown macro 'U' nargs -1", -1},
        {u"$U(1, 2)", 0, u"Unknown macro 'U' nargs 2", -1},
        {u"price $A and $B/c@d.", UL_MACRO_BARENAMES, u"price $A and $B/c@d.", 0},
        {u"price $A", 0, u"Missing opening bracket ( for macro call 'A'", -1},
        {u"${A", UL_MACRO_CURLY, u"Missing closing bracket for macro 'A'", -1},
        {u"$(A", 0, u"Missing closing bracket for macro 'A'", -1},
        {u"$()", 0, u"Invalid macro call '$()'", -1},
        {u"$(A B)", 0, u"Invalid macro call '$(A B)'", -1},
        {u"$F(1,(2", 0, u"Unfinished macro call for 'F'", -1},
        {u"$F(\"1,2)", 0, u"Unfinished macro call for 'F'", -1},
        {u"$F(", 0, u"Unfinished macro call for 'F'", -1},
        {u"$F(1, \"a\"x y,2)", 0, u"Macro argument #2 to 'F' contains trailing garbage 'x y'", -1},
        {u"$(E)", 0, u"boom", -1}, {u"$F($(E))", UL_MACRO_KEEPUNKNOWN, u"boom", -1},
    };
    for (const ReplaceCase& c : cases) {
        long count = 0;
        EXPECT_EQ(u8(run(c.input, c.flags, &count)), u8(c.expected)) << u8(c.input);
        EXPECT_EQ(count, c.count) << u8(c.input);
    }
}

TEST_F(UlMacroTest, EveryTruncationFailsWithAMessageOrFits) {
    const std::u16string line =
        u"a $F(1, \"x,\\\"y\" ,$(A)) ${A} $$ $(T[$(I)].F) $DEFINED(A) $(R!) $X(";
    const char* messages[] = {"Missing closing bracket for macro '",
                              "Unfinished macro call for '", "Invalid macro call '",
                              "Missing opening bracket ( for macro call '", "Macro argument #",
                              "Not enough space for "};
    for (size_t length = 0; length <= line.size(); ++length) {
        for (int flags : {0, UL_MACRO_KEEPUNKNOWN | UL_MACRO_BARENAMES}) {
            long count = 0;
            std::u16string input = line.substr(0, length);
            std::string result = u8(run(input, flags, &count, input.size() + 8));
            if (count >= 0) continue;
            bool known = false;
            for (const char* message : messages) known = known || result.starts_with(message);
            EXPECT_TRUE(known) << length << " " << flags << ": " << result;
        }
    }
}

TEST_F(UlMacroTest, ConditionsAreEvaluatedAfterReplacement) {
    const struct { const char16_t* condition; int result; const char* error; } cases[] = {
        {u" $(I) = 1 ", 1, ""}, {u"$(I)0 > 9", 1, ""}, {u"'$(A)' = 'y'", 0, ""},
        {u" $(U) ", -1, "Illegal condition '$(U)'\nUnknown macro 'U' nargs -1"},
        {u"", -1, "Illegal condition ''\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ul_macrocondition(c.condition, &provider, 0), c.result) << u8(c.condition);
        if (c.result < 0) {
            EXPECT_TRUE(u8(ul_errorgetmsg()).starts_with(c.error)) << u8(c.condition);
        }
    }
}

// Results must fit the buffer, and a call takes at most 256 arguments.
TEST_F(UlMacroTest, ResultsAndArgumentsMustFit) {
    provider.values[u"$"] = u"USD";  // "$$" is offered to the provider first
    // LONG's value has 10 units; G!'s value "$(LONG)" is rescanned into it.
    const struct {
        std::u16string input;
        size_t size;
        std::u16string expected;
    } cases[] = {
        {u"ab$(LONG)", 13, u"abxxxxxxxxxx"},
        {u"ab$(LONG)", 12, u"Not enough space for macro expansion"},
        {u"$(G!)", 11, u"xxxxxxxxxx"},
        {u"$(G!)", 10, u"Not enough space for macro expansion"},
        {u"5 $$", 8, u"5 USD"},
        {u"5 $$", 5, u"Not enough space for '$$' expansion"},
        {listOfA(u"$F(", 256, u",", u")"), 2000, listOfA(u"F[", 256, u"|", u"]")},
        {listOfA(u"$F(", 257, u",", u")"), 2000,
         u"Not enough space for arguments in macro call (256)"},
    };
    for (const auto& c : cases) {
        long count = 0;
        EXPECT_EQ(u8(run(c.input, 0, &count, c.size)), u8(c.expected)) << c.size;
    }
}

TEST_F(UlMacroTest, WithoutProviderEveryMacroIsUnknown) {
    char16_t line[40] = u"$DEFINED(A) $(B) $$";
    EXPECT_EQ(ul_macroreplace(line, std::size(line), nullptr, UL_MACRO_KEEPUNKNOWN), 2);
    EXPECT_EQ(u8(line), "0 $(B) $");
    EXPECT_EQ(ul_macroreplace(line, std::size(line), nullptr, 0), -1);
    EXPECT_EQ(errorUtf8(), "Unknown macro 'B' nargs -1");
}

TEST_F(UlMacroTest, HiddenValuesAreNotTraced) {
    TraceCapture trace(UL_TRC_MACRO, 2);
    long count = 0;
    EXPECT_EQ(u8(run(u"$(S) $F(1,2)", 0, &count)), "secret F[1|2]");
    std::string text = trace.text();
    EXPECT_NE(text.find("Expanded 'S' to '<HIDDEN>'."), std::string::npos) << text;
    EXPECT_NE(text.find("Expanded 'F' with 2 args to 'F[1|2]'."), std::string::npos) << text;
    EXPECT_EQ(text.find("secret"), std::string::npos) << text;
}

// ---- ULMacroDefProvider -------------------------------------------------------------------

int g_number = 42;

int joinArgs(const char16_t*, char16_t* buffer, size_t size, const char16_t* const* args, int argc,
             const ul_macrodef_t*) {
    std::u16string value;
    for (int i = 0; i < argc; ++i) value += args[i];
    if (value == u"fail") {
        ul_errorsetmsg(0, u"cannot join");
        return -1;
    }
    return ul_strlcpy(buffer, value.c_str(), size) < size ? UL_MACRO_EXPANDAGAIN : -1;
}

const ul_macrodef_t kDefs[] = {
    {u"ANY", UL_MACRODEF_FUNCTION, 0, UL_MACRODEF_ANYARGS, nullptr, nullptr, joinArgs},
    {u"BAD", 9, 0, 0, nullptr, nullptr, nullptr},
    {u"NUM", UL_MACRODEF_INTEGER, 0, 0, nullptr, &g_number, nullptr},
    {u"PW", UL_MACRODEF_STRING, UL_MACRODEF_HIDDEN, 0, u"pw", nullptr, nullptr},
    {u"STR", UL_MACRODEF_STRING, 0, 0, u"text", nullptr, nullptr},
    {u"TWO", UL_MACRODEF_FUNCTION, 0, 2, nullptr, nullptr, joinArgs},
};

const ul_macrodef_t kParentDefs[] = {
    {u"ANY", UL_MACRODEF_STRING, 0, 0, u"hidden by the child", nullptr, nullptr},
    {u"UP", UL_MACRODEF_STRING, 0, 0, u"parent", nullptr, nullptr},
};

struct DefCase {
    const char16_t* name;
    std::vector<const char16_t*> args;
    int argc;
    int result;
    const char16_t* expected;  // expansion, or the error text for results -1 and 0
    size_t size = 64;          // of the buffer
};

TEST(UlMacroDefProviderTest, ExpandsByTypeAndChecksArguments) {
    ULMacroDefProvider parent(kParentDefs, std::size(kParentDefs));
    ULMacroDefProvider defs(kDefs, std::size(kDefs), &parent);
    ASSERT_EQ(defs.verify(), 0);
    const DefCase cases[] = {
        {u"STR", {}, -1, UL_MACRO_DEFINED, u"text"},
        {u"STR", {}, 0, UL_MACRO_DEFINED, u"text"},
        {u"STR", {u"a"}, 1, -1, u"No arguments expected for macro 'STR'!"},
        {u"NUM", {}, -1, UL_MACRO_DEFINED, u"42"},
        {u"PW", {}, -1, UL_MACRO_DEFINED | UL_MACRO_HIDDEN, u"pw"},
        {u"ANY", {}, -1, UL_MACRO_DEFINED | UL_MACRO_EXPANDAGAIN, u""},
        {u"ANY", {u"a", u"b", u"c"}, 3, UL_MACRO_DEFINED | UL_MACRO_EXPANDAGAIN, u"abc"},
        {u"TWO", {u"a", u"b"}, 2, UL_MACRO_DEFINED | UL_MACRO_EXPANDAGAIN, u"ab"},
        {u"TWO", {}, -1, -1, u"Missing macro arguments for 'TWO'!"},
        {u"TWO", {}, 0, -1, u"Missing macro arguments for 'TWO'!"},
        {u"TWO", {u"a"}, 1, -1, u"Wrong number of arguments for macro 'TWO'!"},
        {u"ANY", {u"fail"}, 1, -1, u"cannot join\nMacro call for 'ANY' failed!"},
        {u"BAD", {}, -1, -1, u"Unknown macro type 9"},
        {u"UP", {}, -1, UL_MACRO_DEFINED, u"parent"},
        {u"NONE", {}, -1, 0, u"Unknown macro 'NONE'"},
        {u"STR", {}, -1, -1, u"Not enough space for macro expansion", 2},
        {u"NUM", {}, -1, -1, u"Not enough space for macro expansion", 2},
    };
    for (const DefCase& c : cases) {
        std::u16string buffer(c.size, u'?');
        int rc = defs.expandMacro(buffer.data(), c.size, c.name, c.args.data(), c.argc);
        EXPECT_EQ(rc, c.result) << u8(c.name) << " " << c.argc;
        EXPECT_EQ(u8(rc > 0 ? buffer.c_str() : ul_errorgetmsg()), u8(c.expected)) << u8(c.name);
    }
}

TEST(UlMacroDefProviderTest, ReplacementUsesTheTableAndItsVariables) {
    ULMacroDefProvider defs(kDefs, std::size(kDefs));
    char16_t line[100] = u"$(STR)-$(NUM)-$ANY($$(STR),2)";
    g_number = -7;
    EXPECT_EQ(ul_macroreplace(line, std::size(line), &defs, 0), 5);
    g_number = 42;
    // ANY asks for a rescan, so "$(STR)" handed in as an argument is expanded too.
    EXPECT_EQ(u8(line), "text--7-text2");
}

TEST(UlMacroDefProviderTest, VerifyReportsEveryMisorderedPair) {
    const ul_macrodef_t unordered[] = {
        {u"B", UL_MACRODEF_STRING, 0, 0, u"", nullptr, nullptr},
        {u"A", UL_MACRODEF_STRING, 0, 0, u"", nullptr, nullptr},
        {u"C", UL_MACRODEF_STRING, 0, 0, u"", nullptr, nullptr},
        {u"C", UL_MACRODEF_STRING, 0, 0, u"", nullptr, nullptr},
    };
    TraceCapture trace(UL_TRC_MACRO, 0);
    EXPECT_EQ(ULMacroDefProvider(unordered, std::size(unordered)).verify(), -1);
    EXPECT_EQ(errorUtf8(), "Found 2 errors in macro list - maybe wrong alphabetical order?");
    std::string text = trace.text();
    EXPECT_NE(text.find("Wrong order for macro definition 'B' >= 'A'!"), std::string::npos) << text;
    EXPECT_NE(text.find("Wrong order for macro definition 'C' >= 'C'!"), std::string::npos) << text;
}

}  // namespace

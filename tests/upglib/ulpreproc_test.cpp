#include "ulpreproc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "tracecapture.h"
#include "ulerror.h"
#include "ulfile.h"
#include "ulmacro.h"

namespace {

const ul_macrodef_t kMacros[] = {
    {u"A", UL_MACRODEF_STRING, 0, 0, u"1", nullptr, nullptr},
    {u"INC", UL_MACRODEF_STRING, 0, 0, u"inc.txt", nullptr, nullptr},
};

// Records what the preprocessor reports about include lines.
class IncludeLog : public ULPreprocIncludeHandler {
  public:
    int handleInclude(const char16_t* name, const char16_t* path) override {
        entries += u8(name) + "=" + (path ? "found" : "skipped") + ";";
        return refuse ? (ul_errorsetmsg(0, u"refused"), -1) : 0;
    }
    std::string entries;
    bool refuse = false;
};

class UlPreprocTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }
    void TearDown() override { free(buffer); }

    // Reads main.txt to its end: the lines joined by "|", then "!" and the error text if a read
    // or the final deinit fails.
    // The include directories are searched in the order given.
    std::string readAll(const std::string& text, int flags,
                        std::vector<std::string> includeDirs = {""}) {
        dir.write("main.txt", text);
        ul_preprocstack_t stack;
        for (const std::string& include : includeDirs)
            stack.addIncludePath(dir.wpath(include).c_str());
        if (stack.fopen(dir.wpath("main.txt").c_str()) < 0)
            return concat("!", u8(ul_errorgetmsg()));
        std::string lines;
        int rc;
        for (int n = 0; (rc = stack.readLine(&buffer, &size, &macros, &log, flags)) == 1; ++n)
            lines += concat(n ? "|" : "", u8(buffer));
        if (rc == 0) rc = stack.deinit();
        return rc < 0 ? lines + "!" + u8(ul_errorgetmsg()) : lines;
    }
    // The location readLine appends to its errors.
    std::string at(int line, const std::string& name = "main.txt") {
        return "\nError in line " + std::to_string(line) + " of '" + dir.path(name) + "'";
    }

    TempDir dir;
    ULMacroDefProvider macros{kMacros, std::size(kMacros)};
    IncludeLog log;
    char16_t* buffer = nullptr;
    size_t size = 0;
};

struct PreprocCase {
    std::string text;
    int flags;
    std::string expected;
};

// depth nested "#if 1" around one line.
std::string nested(int depth) {
    std::string text = "in\n";
    for (int i = 0; i < depth; ++i) text = "#if 1\n" + text + "#endif\n";
    return text;
}

TEST_F(UlPreprocTest, ConditionsSelectBranches) {
    const int T = UL_PREPROC_TRIMEOL;
    const PreprocCase cases[] = {
        {"#if 1\na\n#else\nb\n#endif\n", T, "a"},
        {"#if 0\na\n#else\nb\n#endif\n", T, "b"},
        {"#if 0\na\n#elseif 2 > 1\nb\n#elseif 1\nc\n#else\nd\n#endif\n", T, "b"},
        {"#if 0\na\n#elseif 0\nb\n#else\nd\n#endif\n", T, "d"},
        {"#if 0\n#if 1\na\n#else\nb\n#endif\n#else\nc\n#endif\n", T, "c"},
        {"#if 1\n#if 0\na\n#elseif 1\nb\n#endif\nc\n#endif\nd", T, "b|c|d"},
        {"#IF $(A) == 1\nx\n#ElseIf 1\ny\n#ENDIF\n", T, "x"},
        // A condition in a skipped section is never looked at.
        {"#if 0\n#if $(UNKNOWN) +\n#endif\n#endif\nz", T, "z"},
        {"# note\n#ifdef X\n#elif 0\nline\n", T, "line"},
        {"#if 1\na\n#else\nb\n#endif\n", UL_PREPROC_TRIMEOL | UL_PREPROC_KEEPLINES, "|a|||"},
        {"a\r\n#if 0\nb\n#endif\r\nc", UL_PREPROC_KEEPLINES, "a\r\n|\n|\n|\r\n|c"},
        {"a\n \t\n\nb\n", UL_PREPROC_TRIMEOL | UL_PREPROC_SKIPBLANK, "a|b"},
        {"a\n\nb\n", UL_PREPROC_TRIMEOL | UL_PREPROC_SKIPBLANK | UL_PREPROC_KEEPLINES, "a||b"},
        {"\xEF\xBB\xBFv=$(A)\nw=$$", T | UL_PREPROC_MACROS, "v=1|w=$"},
        {"v=$(A)\n", T, "v=$(A)"},
        {"#else\n", T, "!Found '#else' outside '#if'" + at(1)},
        {"x\n#elseif 1\n", T, "x!Found '#elseif' outside '#if'" + at(2)},
        {"#if 1\n#endif\n#endif\n", T, "!Found '#endif' without previous '#if'" + at(3)},
        {"#if 1\na\n", T, "a!Condition level 1 at the end of the file"},
        {"v=$(U)\n", T | UL_PREPROC_MACROS, "!Unknown macro 'U' nargs -1" + at(1)},
        {nested(20), T, "in"},
        {nested(21), T, "!Control structures too deeply nested (>= 20)" + at(21)},
    };
    for (const PreprocCase& c : cases) EXPECT_EQ(readAll(c.text, c.flags), c.expected) << c.text;
}

TEST_F(UlPreprocTest, IllegalConditionNamesTheConditionAndTheLine) {
    for (std::string condition : {"", "1 +", "$(U)", "'abc'"}) {
        TraceCapture trace(UL_TRC_PREPROC, 0);
        std::string result = readAll("ok\n#if " + condition + " \nx\n#endif\n", UL_PREPROC_TRIMEOL);
        std::string head = "ok!Illegal condition '" + condition + "'\n";
        ASSERT_EQ(result.substr(0, head.size()), head) << condition;
        EXPECT_TRUE(result.ends_with(at(2))) << result;
        // The always-on trace shows the line and the message without its location.
        std::string message = result.substr(3, result.size() - 3 - at(2).size());
        EXPECT_NE(trace.text().find("ERROR in line '#if " + condition + " ': " + message + "\n"),
                  std::string::npos)
            << trace.text();
    }
}

TEST_F(UlPreprocTest, IncludesBySearchPathAndOptionalForms) {
    dir.write("inc.txt", "b\n#if 1\nb2\n");  // the #if opened here is closed by the includer
    dir.write("long.txt", "ok\n" + std::string(UL_FILE_MAXLINEBYTES + 1, 'x'));
    const int T = UL_PREPROC_TRIMEOL;
    const struct {
        const char* text;
        int flags;
        std::string expected;
        std::string logged;
    } cases[] = {
        {"a\n#include inc.txt\n#endif\nc", T, "a|b|b2|c", "inc.txt=found;"},
        {"#include \"inc.txt\"\n#endif", T, "b|b2", "inc.txt=found;"},
        {"#include $(INC)\n#endif", T | UL_PREPROC_MACROS, "b|b2", "inc.txt=found;"},
        {"!include inc.txt\n#endif", T, "b|b2", "inc.txt=found;"},
        {"a\n#include_opt none.txt\n!include_opt none.txt\nc", T, "a|c",
         "none.txt=skipped;none.txt=skipped;"},
        {"#include_opt inc.txt\n#endif", T, "b|b2", "inc.txt=found;"},
        {"#if 0\n#include none.txt\n#endif\nc", T, "c", ""},
        {"a\n#include none.txt\nc", T,
         "a!Include file 'none.txt' not found in 1 include directories" + at(2), ""},
        {"#include\n", T, "!Missing file name for include" + at(1), ""},
        {"#include \"\"\n", T, "!Missing file name for include" + at(1), ""},
        {"#includes are comments\n!included stays\n", T, "!included stays", ""},
        // Includes are regular files only and every line is bounded, in included files too.
        {"#include /dev/zero\n", T,
         "!Cannot open '/dev/zero' mode='rb': not a regular file" + at(1), "/dev/zero=found;"},
        {"a\n#include long.txt\n", T,
         "a|ok!Line 2 of '" + dir.path("long.txt") + "' is longer than 1048576 bytes",
         "long.txt=found;"},
    };
    for (const auto& c : cases) {
        log.entries.clear();
        EXPECT_EQ(readAll(c.text, c.flags), c.expected) << c.text;
        EXPECT_EQ(log.entries, c.logged) << c.text;
    }
    log.refuse = true;
    EXPECT_EQ(readAll("#include inc.txt\n", T), "!refused" + at(1));
    // Without include directories the name is opened as written (relative to the working
    // directory, which has no such file).
    log.refuse = false;
    std::string result = readAll("#include no-such-file.txt\n", T, {});
    EXPECT_TRUE(result.starts_with("!Cannot open 'no-such-file.txt' mode='rb'")) << result;
    EXPECT_TRUE(result.ends_with(at(1))) << result;
}

TEST_F(UlPreprocTest, IncludeDirectoriesAreSearchedInOrder) {
    for (const char* sub : {"first", "second"}) ASSERT_EQ(mkdir(dir.path(sub).c_str(), 0700), 0);
    dir.write("second/inc.txt", "second\n");
    dir.write("second/both.txt", "second both\n");
    dir.write("first/both.txt", "first both\n");
    EXPECT_EQ(
        readAll("#include inc.txt\n#include both.txt\n", UL_PREPROC_TRIMEOL, {"first", "second"}),
        "second|first both");
    ul_preprocstack_t stack;
    for (int i = 0; i < UL_PREPROC_MAXINCLUDEPATHS; ++i) EXPECT_EQ(stack.addIncludePath(u"/x"), 0);
    EXPECT_EQ(stack.addIncludePath(u"/x"), -1);
}

TEST_F(UlPreprocTest, IncludeNestingStopsAtEightLevels) {
    // f<i> includes f<i+1> up to f9: from f2 the chain is 8 includes deep, from f1 it is 9.
    for (int i = 1; i < 9; ++i)
        dir.write(concat("f", std::to_string(i), ".txt"),
                  concat("#include f", std::to_string(i + 1), ".txt\n"));
    dir.write("f9.txt", "deep\n");
    EXPECT_EQ(readAll("#include f2.txt\n", UL_PREPROC_TRIMEOL), "deep");
    EXPECT_EQ(
        readAll("#include f1.txt\n", UL_PREPROC_TRIMEOL),
        "!Too deeply nested include stack in '" + dir.path("f8.txt") + "' (9)" + at(1, "f8.txt"));
    dir.write("self.txt", "x\n#include self.txt\n");
    std::string result = readAll("#include self.txt\n", UL_PREPROC_TRIMEOL);
    EXPECT_EQ(result.substr(0, 18), "x|x|x|x|x|x|x|x!To") << result;
}

TEST_F(UlPreprocTest, FileStackHoldsTenFiles) {
    dir.write("main.txt", "x\n");
    ul_preprocstack_t stack;
    for (int i = 0; i < UL_PREPROC_MAXFILES; ++i)
        ASSERT_EQ(stack.fopen(dir.wpath("main.txt").c_str()), 0);
    EXPECT_EQ(stack.fopen(dir.wpath("main.txt").c_str()), -1);
    EXPECT_EQ(u8(ul_errorgetmsg()), "Internal error: File inclusion too deeply nested");
    int lines = 0;
    while (stack.readLine(&buffer, &size, nullptr, nullptr, 0) == 1) ++lines;
    EXPECT_EQ(lines, UL_PREPROC_MAXFILES);
    EXPECT_EQ(stack.fopen(dir.wpath("none.txt").c_str()), -1);
}

TEST_F(UlPreprocTest, SeekReturnsToARememberedLine) {
    dir.write("main.txt", "one\ntwo\nthree\n");
    ul_preprocstack_t stack;
    ASSERT_EQ(stack.fopen(dir.wpath("main.txt").c_str()), 0);
    ASSERT_EQ(stack.readLine(&buffer, &size, nullptr, nullptr, UL_PREPROC_TRIMEOL), 1);
    ASSERT_EQ(stack.readLine(&buffer, &size, nullptr, nullptr, UL_PREPROC_TRIMEOL), 1);
    long offset = stack.lineOffset();
    EXPECT_EQ(offset, 4);
    EXPECT_EQ(stack.lineNumber(), 2);
    ASSERT_EQ(stack.readLine(&buffer, &size, nullptr, nullptr, UL_PREPROC_TRIMEOL), 1);
    ASSERT_EQ(stack.fseek(offset, 0, 2), 0);
    ASSERT_EQ(stack.readLine(&buffer, &size, nullptr, nullptr, UL_PREPROC_TRIMEOL), 1);
    EXPECT_EQ(u8(buffer), "two");
    EXPECT_EQ(stack.lineNumber(), 2);
    EXPECT_EQ(stack.fseek(0, 1, 1), -1);
}

TEST_F(UlPreprocTest, TruncatedFilesEndCleanly) {
    dir.write("inc.txt", "i\n");
    const std::string text =
        "#if $(A) == 1\na $(A)\n#include inc.txt\n#elseif 1\nb\n#else\nc\n#endif\nd\n";
    for (size_t length = 0; length <= text.size(); ++length) {
        std::string result = readAll(text.substr(0, length), UL_PREPROC_MACROS);
        size_t bang = result.find('!');
        if (bang == std::string::npos) continue;
        std::string error = result.substr(bang + 1);
        EXPECT_TRUE(error.starts_with("Condition level 1 at the end of the file") ||
                    error.starts_with("Illegal condition") || error.starts_with("Include file") ||
                    error.starts_with("Missing closing bracket") ||
                    error.starts_with("Missing opening bracket") ||
                    error.starts_with("Missing file name"))
            << length << ": " << result;
    }
}

TEST_F(UlPreprocTest, LongLinesGrowTheBufferInSteps) {
    std::string longLine(5000, 'x');
    EXPECT_EQ(readAll(longLine + "\nend", UL_PREPROC_TRIMEOL), longLine + "|end");
    EXPECT_EQ(size, 3 * UL_PREPROC_LINESTEP);
}

}  // namespace

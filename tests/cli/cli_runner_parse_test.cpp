// The case runner is test infrastructure; these tests make sure that a broken runner cannot
// pass every case: malformed files fail with file and line, a wrong expectation fails the
// case, and a real process is fed, captured, timed out and signalled (/bin/sh stands in for
// the tool).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clicase.h"

namespace clicase {
namespace {

const Context kContext{"/tmp/w.1+x", "/opt/bin"};

TEST(CliCaseParse, ReadsTheDirectivesAndRejectsMalformedFiles) {
    ParseResult r = parseCases(
        "# comment\ncase first\n  args cmd \"two words\" 'it''s' \"\" \"q\\\"\"\n"
        "  env A=value with  blanks \n  unset HOME\n  exit 12\n  stdout exact\n  | a\n  ...\n"
        "\r\ncase second\nexit 0\n",
        "t.test");
    ASSERT_TRUE(r.errors.empty()) << joinLines(r.errors);
    ASSERT_EQ(r.cases.size(), 2u);
    const Case& c = r.cases[0];
    EXPECT_EQ(c.args, (std::vector<std::string>{"cmd", "two words", "its", "", "q\""}));
    ASSERT_EQ(c.env.size(), 2u);
    EXPECT_EQ(c.env[0].second, "value with  blanks ");
    EXPECT_FALSE(c.env[1].second.has_value());
    EXPECT_EQ(c.exitCode, 12);
    ASSERT_EQ(c.outputs.size(), 1u);
    EXPECT_EQ(c.outputs[0].lines.at(1).kind, LineKind::kGap);
    EXPECT_EQ(r.cases[1].line, 11);

    const struct {
        const char* text;
        const char* error;  // the start of the first error
    } bad[] = {
        {"case a\nexit 0\nfrobnicate x\n", "t.test:3: unknown directive"},
        {"args x\ncase a\nexit 0\n", "t.test:1: 'args' before the first case"},
        {"case a\nexit 0\nstdout\n| a\n\n| b\n", "t.test:6: content line '|' outside a block"},
        {"case a\nexit 0\nstdout\n...\n", "t.test:4: '...' belongs in exact blocks only"},
        {"case a\nexit 0\nstderr\n~ ab(c\n", "t.test:4: invalid regular expression"},
        {"case a\nargs 'y\nexit 0\n", "t.test:2: unterminated ' quote"},
        {"case a\nargs x\ncase b\nexit 0\n", "t.test:1: case 'a' has no exit directive"},
        {"case a\nexit 256\n", "t.test:2: exit needs a number from 0 to 255"},
        {"case a\nexit 0\ncase a\nexit 0\n", "t.test:3: second case named 'a'"},
        {"case a\nargs ${HOME}/x\nexit 0\n", "t.test:2: unknown token ${HOME}"},
        {"case a\ncreate d/../../x\nexit 0\n", "t.test:2: create needs a relative path"},
        {"case a\nsignal KILL x\nexit 0\n", "t.test:2: expected: signal"},
        {"# only a comment\n", "t.test:1: the file holds no case"},
    };
    for (const auto& c : bad) {
        std::vector<std::string> errors = parseCases(c.text, "t.test").errors;
        ASSERT_FALSE(errors.empty()) << c.text;
        EXPECT_EQ(errors[0].rfind(c.error, 0), 0u) << c.error << "\n  got: " << errors[0];
    }
}

// Each block is laid on the output; `fails` is the .test line that must report the mismatch
// (the block's directive is line 3), 0 where the output matches.
TEST(CliCaseMatch, AWrongExpectationFailsAtItsLine) {
    const struct {
        const char* block;
        const char* output;
        int fails;
    } cases[] = {
        {"stdout\n| a\n| c\n", "a\nb\nc\n", 0},
        {"stdout\n| b\n| a\n", "a\nb\n", 5},
        {"stdout\n| a\n| a\n", "a\nb\n", 5},
        {"stdout\n| Usage\n", "Usage:\n", 4},
        {"stdout\n~ This is .* release \\w+\n", "This is x release dev\n", 0},
        {"stdout\n~ release\n", "This is x release dev\n", 4},
        {"stdout\n~ dir ${WORKDIR}\n", "dir /tmp/w.1+x\n", 0},
        {"stdout\n~ dir ${WORKDIR}\n", "dir /tmp/wx1+x\n", 4},
        {"stdout\n| ${BINDIR}/tabrix\n", "/opt/bin/tabrix\n", 0},
        {"stdout\n| a\n! FATAL\n", "FATAL\na\n", 5},
        {"stdout\n!~ .*ERROR.*\n", "a\nsome ERROR here\n", 4},
        {"stdout exact\n| a\n~ b+\n", "a\nbbb\n", 0},
        {"stdout exact\n| a\n", "a\nb\n", 3},
        {"stdout exact\n| a\n| b\n", "a\n", 5},
        {"stdout exact\n", "x\n", 3},
        {"stdout exact\n...\n| z\n", "z\nb\n", 5},
        {"stdout exact\n| a\n...\n| z\n", "a\nz\n", 0},
        {"stdout exact\n...\n| b\n| c\n...\n", "a\nb\nx\nb\nc\nd\n", 0},
        {"stdout exact\n...\n| b\n| c\n...\n", "b\nx\nc\n", 6},
    };
    for (const auto& c : cases) {
        ParseResult r = parseCases(std::string("case m\nexit 0\n") + c.block, "t.test");
        ASSERT_TRUE(r.errors.empty()) << joinLines(r.errors);
        std::vector<std::string> f =
            matchLines(r.cases[0].outputs.at(0), "t.test", splitLines(c.output), kContext, "out");
        std::string expected = c.fails ? "t.test:" + std::to_string(c.fails) + ": out: " : "";
        EXPECT_EQ(f.empty() ? "" : f[0].substr(0, expected.size()), expected) << c.block << "on\n"
                                                                              << c.output;
    }
}

// Real runs of /bin/sh; `fails` as above, the case starting at line 1.
TEST(CliCaseRun, RunsTheProcessAndChecksEveryExpectation) {
    const struct {
        const char* body;
        int fails;
    } cases[] = {
        {"args -c \"echo out; echo err >&2; exit 3\"\nexit 3\nstdout exact\n| out\nstderr exact\n"
         "| err\n",
         0},
        {"args -c \"exit 3\"\nexit 4\n", 3},
        {"args -c \"kill -TERM $$\"\nexit 0\n", 3},
        {"argv0 mysh\nargs -c \"cat; pwd; echo $0 $MINE; env\"\nenv MINE=${WORKDIR} v\n"
         "stdin\n| first\nexit 0\nstdout exact\n| first\n| ${WORKDIR}\n| mysh ${WORKDIR} v\n"
         "...\nstdout\n| LANG=C.UTF-8\n! SECRET=1\n",
         0},
        {"create in/d.txt noeol\n| a\nmkdir out\nsetup sh -c \"echo b >> in/d.txt\"\n"
         "args -c \"cat in/d.txt > out/copy\"\nexit 0\nfile out/copy exact\n| ab\n"
         "exists out/copy\nabsent in/x\n",
         0},
        {"args -c \"touch x\"\nexit 0\nabsent x\n", 4},
        {"args -c true\nexit 0\nfile x.log\n", 4},
        {"setup false\nargs -c \"touch x\"\nexit 0\n", 2},
        {"args -c \"sleep 30\"\ntimeout 1\nexit 0\n", 1},
        {"args -c \"trap 'echo got; exit 3' INT; echo ready; while :; do sleep 0.1; done\"\n"
         "signal INT ready\nexit 3\nstdout\n| got\n",
         0},
    };
    for (const auto& c : cases) {
        TempDir dir("selftest");
        ASSERT_TRUE(dir.ok());
        ParseResult r = parseCases(std::string("case r\n") + c.body, "t.test");
        ASSERT_TRUE(r.errors.empty()) << joinLines(r.errors);
        Context context{dir.path(), "/bin"};
        Outcome o = runCase(r.cases[0], "/bin/sh", context, {"SECRET=1", "PATH=/usr/bin:/bin"});
        std::vector<std::string> f = checkOutcome(r.cases[0], context, o);
        std::string expected = c.fails ? "t.test:" + std::to_string(c.fails) + ": " : "";
        EXPECT_EQ(f.empty() ? "" : f[0].substr(0, expected.size()), expected)
            << c.body << joinLines(f) << describeOutcome(r.cases[0], context, o);
    }
}

}  // namespace
}  // namespace clicase

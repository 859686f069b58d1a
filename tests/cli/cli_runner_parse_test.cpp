// The command-line case format, its matcher and its process runner: malformed files must be
// rejected with file and line, mismatching output must fail the case, and the runner must
// capture, feed, isolate and time out a real process (/bin/sh stands in for the tool).

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "clicase.h"

namespace clicase {
namespace {

const Context kContext{"/tmp/w.1+x", "/opt/bin"};

ParseResult parse(const std::string& text) {
    return parseCases(text, "t.test");
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

// ---------------------------------------------------------------------------------------------

struct BadFile {
    const char* what;
    const char* text;
    const char* error;  // expected at the start of the first error
};

TEST(CliCaseParse, MalformedFilesNameFileAndLine) {
    const BadFile kCases[] = {
        {"unknown directive", "case a\nexit 0\nfrobnicate x\n",
         "t.test:3: unknown directive 'frobnicate'"},
        {"directive before any case", "# c\nargs x\ncase a\nexit 0\n",
         "t.test:2: 'args' before the first case"},
        {"content outside a block", "case a\nexit 0\n| text\n",
         "t.test:3: content line '|' outside a block"},
        {"blank line closes a block", "case a\nexit 0\nstdout\n| a\n\n| b\n",
         "t.test:6: content line '|' outside"},
        {"regex line in stdin", "case a\nexit 0\nstdin\n~ x.*\n",
         "t.test:4: only '|' lines belong in a stdin"},
        {"gap outside exact block", "case a\nexit 0\nstdout\n...\n",
         "t.test:4: '...' belongs in exact blocks only"},
        {"gap with text", "case a\nexit 0\nstdout exact\n... more\n",
         "t.test:4: '...' takes no text"},
        {"invalid regex", "case a\nexit 0\nstderr\n~ ab(c\n",
         "t.test:4: invalid regular expression"},
        {"invalid absent regex", "case a\nexit 0\nstderr\n!~ [z\n",
         "t.test:4: invalid regular expression"},
        {"unterminated double quote", "case a\nargs x \"y z\nexit 0\n",
         "t.test:2: unterminated \" quote"},
        {"unterminated single quote", "case a\nargs 'y\nexit 0\n",
         "t.test:2: unterminated ' quote"},
        {"missing exit", "case a\nargs x\ncase b\nexit 0\n",
         "t.test:1: case 'a' has no exit directive"},
        {"second exit", "case a\nexit 0\nexit 1\n", "t.test:3: second exit in case 'a'"},
        {"exit above 255", "case a\nexit 256\n",
         "t.test:2: exit needs a number from 0 to 255, not '256'"},
        {"exit not a number", "case a\nexit five\n", "t.test:2: exit needs a number"},
        {"exit with junk", "case a\nexit 5x\n", "t.test:2: exit needs a number"},
        {"timeout zero", "case a\nexit 0\ntimeout 0\n", "t.test:3: timeout needs a number from 1"},
        {"duplicate case", "case a\nexit 0\ncase a\nexit 0\n", "t.test:3: second case named 'a'"},
        {"case name with dot", "case a.b\nexit 0\n", "t.test:1: invalid case name 'a.b'"},
        {"case name leading underscore", "case _syntax\nexit 0\n", "t.test:1: invalid case name"},
        {"case without name", "case\nexit 0\n", "t.test:1: invalid case name ''"},
        {"unknown token", "case a\nargs ${HOME}/x\nexit 0\n", "t.test:2: unknown token ${HOME}"},
        {"unterminated token", "case a\nexit 0\nstdout\n| ${WORKDIR\n",
         "t.test:4: unterminated ${ token"},
        {"unknown token in env", "case a\nenv X=${TMP}\nexit 0\n",
         "t.test:2: unknown token ${TMP}"},
        {"create absolute path", "case a\ncreate /etc/x\nexit 0\n",
         "t.test:2: create needs a relative path"},
        {"create escaping path", "case a\ncreate d/../../x\nexit 0\n",
         "t.test:2: create needs a relative path"},
        {"mkdir with token", "case a\nmkdir ${WORKDIR}/d\nexit 0\n",
         "t.test:2: mkdir needs a relative path"},
        {"env without value", "case a\nenv FOO\nexit 0\n", "t.test:2: expected: env NAME=value"},
        {"env bad name", "case a\nenv 1X=2\nexit 0\n", "t.test:2: expected: env NAME=value"},
        {"unset bad name", "case a\nunset A-B\nexit 0\n", "t.test:2: invalid variable name 'A-B'"},
        {"unset nothing", "case a\nunset\nexit 0\n", "t.test:2: unset needs variable names"},
        {"second stdin", "case a\nstdin\n| x\nstdin\nexit 0\n", "t.test:4: second stdin block"},
        {"unknown block option", "case a\nexit 0\nstdout exactly\n",
         "t.test:3: expected: stdout [exact]"},
        {"file without path", "case a\nexit 0\nfile\n", "t.test:3: expected: file <word> [exact]"},
        {"stdin with path", "case a\nstdin x\nexit 0\n", "t.test:2: expected: stdin [noeol]"},
        {"marker glued to text", "case a\nexit 0\nstdout\n|text\n",
         "t.test:4: unknown directive '|text'"},
        {"exists without path", "case a\nexit 0\nexists\n", "t.test:3: exists needs paths"},
        {"setup without command", "case a\nsetup\nexit 0\n", "t.test:2: setup needs a command"},
        {"unknown signal", "case a\nsignal KILL x\nexit 0\n", "t.test:2: expected: signal INT|"},
        {"signal without regex", "case a\nsignal INT\nexit 0\n", "t.test:2: expected: signal"},
        {"signal with bad regex", "case a\nsignal INT (\nexit 0\n",
         "t.test:2: invalid regular expression"},
        {"second signal", "case a\nsignal INT a\nsignal TERM b\nexit 0\n",
         "t.test:3: second signal in case 'a'"},
        {"no case at all", "# only a comment\n\n", "t.test:2: the file holds no case"},
        {"empty file", "", "t.test:1: the file holds no case"},
    };
    for (const BadFile& c : kCases) {
        ParseResult r = parse(c.text);
        ASSERT_FALSE(r.errors.empty()) << c.what;
        EXPECT_EQ(r.errors[0].rfind(c.error, 0), 0u)
            << c.what << "\n  expected: " << c.error << "\n  got: " << r.errors[0];
    }
}

TEST(CliCaseParse, ReportsEveryErrorOfAFile) {
    ParseResult r = parse("case a\nbogus\nexit 0\nstdout\n~ (\ncase b\n");
    ASSERT_EQ(r.errors.size(), 3u) << joined(r.errors);
    EXPECT_EQ(r.errors[0].rfind("t.test:2:", 0), 0u);
    EXPECT_EQ(r.errors[1].rfind("t.test:5:", 0), 0u);
    EXPECT_EQ(r.errors[2].rfind("t.test:6: case 'b' has no exit", 0), 0u);
}

TEST(CliCaseParse, ReadsEveryDirective) {
    const char* text =
        "# leading comment\n"
        "case first\n"
        "  args cmd \"two words\" 'it''s' a\"b c\"d \"\" \"q\\\"uote\\\\\"\n"
        "  args more=${WORKDIR}/x\n"
        "  argv0 tabrix\n"
        "  env A=value with  blanks \n"
        "  env EMPTY=\n"
        "  unset HOME PATH\n"
        "  require PGHOST\n"
        "  timeout 7\n"
        "  stdin noeol\n"
        "  | line 1\n"
        "  # a comment inside a block\n"
        "  |\n"
        "  create sub/in.txt\n"
        "  | ${BINDIR}\n"
        "  mkdir out\n"
        "  exit 12\n"
        "  stdout exact\n"
        "  | a\n"
        "  ...\n"
        "  ~ b.*\n"
        "  stderr\n"
        "  ! bad\n"
        "  !~ worse.*\n"
        "  file out/x.log exact\n"
        "  exists out\n"
        "  absent y z\n"
        "\r\n"
        "case second\n"
        "exit 0\n";
    ParseResult r = parse(text);
    ASSERT_TRUE(r.errors.empty()) << joined(r.errors);
    ASSERT_EQ(r.cases.size(), 2u);
    const Case& c = r.cases[0];
    EXPECT_EQ(c.name, "first");
    EXPECT_EQ(c.line, 2);
    EXPECT_EQ(c.args, (std::vector<std::string>{"cmd", "two words", "its", "ab cd", "", "q\"uote\\",
                                                "more=${WORKDIR}/x"}));
    EXPECT_EQ(c.argv0, "tabrix");
    ASSERT_EQ(c.env.size(), 4u);
    EXPECT_EQ(c.env[0].value, "value with  blanks ");
    EXPECT_EQ(c.env[1].value, "");
    EXPECT_FALSE(c.env[2].value.has_value());
    EXPECT_EQ(c.env[3].name, "PATH");
    EXPECT_EQ(c.requiredEnv, std::vector<std::string>{"PGHOST"});
    EXPECT_EQ(c.timeoutSeconds, 7);
    ASSERT_TRUE(c.stdinData.has_value());
    EXPECT_EQ(blockText(*c.stdinData, kContext), "line 1\n");
    ASSERT_EQ(c.setup.size(), 2u);
    EXPECT_EQ(c.setup[0].path, "sub/in.txt");
    EXPECT_EQ(blockText(c.setup[0].content, kContext), "/opt/bin\n");
    EXPECT_TRUE(c.setup[1].directory);
    EXPECT_EQ(c.exitCode, 12);
    EXPECT_EQ(c.exitLine, 18);
    ASSERT_EQ(c.outputs.size(), 3u);
    EXPECT_TRUE(c.outputs[0].exact);
    ASSERT_EQ(c.outputs[0].lines.size(), 3u);
    EXPECT_EQ(c.outputs[0].lines[1].kind, LineKind::kGap);
    EXPECT_EQ(c.outputs[0].lines[2].line, 22);
    EXPECT_EQ(c.outputs[1].source, Source::kStderr);
    EXPECT_EQ(c.outputs[1].lines[0].kind, LineKind::kAbsent);
    EXPECT_EQ(c.outputs[1].lines[1].kind, LineKind::kAbsentRegex);
    EXPECT_EQ(c.outputs[2].path, "out/x.log");
    ASSERT_EQ(c.pathChecks.size(), 3u);
    EXPECT_TRUE(c.pathChecks[0].mustExist);
    EXPECT_FALSE(c.pathChecks[2].mustExist);
    EXPECT_EQ(r.cases[1].line, 30);
}

TEST(CliCaseParse, SubstitutesTokensAndEscapes) {
    EXPECT_EQ(substitute("${WORKDIR}/a ${BINDIR} $${WORKDIR} $x ${", kContext),
              "/tmp/w.1+x/a /opt/bin ${WORKDIR} $x ${");
    EXPECT_EQ(substitute("^${WORKDIR}$", kContext, true), "^\\/tmp\\/w\\.1\\+x$");
}

TEST(CliCaseParse, SplitsLinesAtLineFeeds) {
    const std::map<std::string, std::vector<std::string>> kCases = {
        {"", {}},       {"a", {"a"}},
        {"a\n", {"a"}}, {"a\n\n", {"a", ""}},
        {"\n", {""}},   {"a\r\nb", {"a\r", "b"}},
    };
    for (const auto& [text, lines] : kCases) EXPECT_EQ(splitLines(text), lines) << text;
}

TEST(CliCaseParse, BlockWithoutFinalLineFeed) {
    ParseResult r = parse("case a\nstdin noeol\n| x\n| y\ncreate f noeol\nexit 0\n");
    ASSERT_TRUE(r.errors.empty()) << joined(r.errors);
    EXPECT_EQ(blockText(*r.cases[0].stdinData, kContext), "x\ny");
    EXPECT_EQ(blockText(r.cases[0].setup[0].content, kContext), "");
}

// ---------------------------------------------------------------------------------------------

struct MatchCase {
    const char* what;
    const char* block;    // directive and content lines; the directive is line 3 of t.test
    const char* output;   // the stream's text
    const char* failure;  // nullptr: must match; else the first failure starts with this
};

std::vector<std::string> matchBlock(const char* block, const char* output) {
    ParseResult r = parse(std::string("case m\nexit 0\n") + block);
    if (!r.errors.empty()) return {"parse: " + joined(r.errors)};
    return matchLines(r.cases[0].outputs.at(0), "t.test", splitLines(output), kContext, "stdout");
}

TEST(CliCaseMatch, LinesAgainstOutput) {
    const MatchCase kCases[] = {
        {"in order with lines between", "stdout\n| a\n| c\n", "a\nb\nc\n", nullptr},
        {"lines before and after", "stdout\n| b\n", "a\nb\nc", nullptr},
        {"missing line", "stdout\n| a\n| x\n", "a\nb\n",
         "t.test:5: stdout: line not found (searched output lines 2 to 2)"},
        {"order violated", "stdout\n| b\n| a\n", "a\nb\n", "t.test:5: stdout: line not found"},
        {"same line needed twice", "stdout\n| a\n| a\n", "a\nb\n",
         "t.test:5: stdout: line not found"},
        {"whole line, not a part", "stdout\n| Usage\n", "Usage:\n",
         "t.test:4: stdout: line not found"},
        {"trailing blank counts", "stdout\n| a \n", "a\n", "t.test:4: stdout: line not found"},
        {"empty expected line", "stdout\n|\n", "a\n\nb\n", nullptr},
        {"empty line missing", "stdout\n|\n", "a\nb\n", "t.test:4: stdout: line not found"},
        {"regex matches whole line", "stdout\n~ This is .* release \\w+\n",
         "This is x release dev\n", nullptr},
        {"regex partial match fails", "stdout\n~ release\n", "This is x release dev\n",
         "t.test:4: stdout: line not found"},
        {"regex mismatch", "stdout\n~ \\d{14}\\.\\d{3}\n", "2024010112000.123\n",
         "t.test:4: stdout: line not found"},
        {"regex token escaped", "stdout\n~ dir ${WORKDIR}\n", "dir /tmp/w.1+x\n", nullptr},
        {"escaped token is literal", "stdout\n~ dir ${WORKDIR}\n", "dir /tmp/wx1+x\n",
         "t.test:4: stdout: line not found"},
        {"literal token", "stdout\n| ${BINDIR}/tabrix x\n", "/opt/bin/tabrix x\n", nullptr},
        {"absent line absent", "stdout\n! FATAL\n", "ok\n", nullptr},
        {"absent line present", "stdout\n| a\n! FATAL\n", "FATAL\na\n",
         "t.test:5: stdout: a line that must not occur is present"},
        {"absent regex present", "stdout\n!~ .*ERROR.*\n", "a\nsome ERROR here\n",
         "t.test:4: stdout: a line that must not occur is present"},
        {"empty block, any output", "stdout\n", "x\n", nullptr},
        {"exact equal", "stdout exact\n| a\n~ b+\n", "a\nbbb\n", nullptr},
        {"exact extra line", "stdout exact\n| a\n", "a\nb\n",
         "t.test:3: stdout: exactly 1 line(s) expected, but the output goes on"},
        {"exact missing line", "stdout exact\n| a\n| b\n", "a\n",
         "t.test:5: stdout: the output ends after 1 line(s)"},
        {"exact differing line", "stdout exact\n| a\n| b\n", "a\nc\n",
         "t.test:5: stdout: line differs"},
        {"exact empty stream", "stdout exact\n", "", nullptr},
        {"exact empty but output", "stdout exact\n", "x\n", "t.test:3: stdout: exactly 0 line(s)"},
        {"exact leading gap", "stdout exact\n...\n| z\n", "a\nb\nz\n", nullptr},
        {"exact leading gap, wrong end", "stdout exact\n...\n| z\n", "z\nb\n",
         "t.test:5: stdout: the last lines differ"},
        {"exact trailing gap", "stdout exact\n| a\n...\n", "a\nb\nc\n", nullptr},
        {"exact trailing gap, wrong start", "stdout exact\n| a\n...\n", "b\na\n",
         "t.test:4: stdout: the first lines differ"},
        {"exact middle gap", "stdout exact\n| a\n...\n| z\n", "a\nz\n", nullptr},
        {"exact middle gap, too short", "stdout exact\n| a\n...\n| a\n", "a\n",
         "t.test:6: stdout: the output ends too early"},
        {"exact two gaps", "stdout exact\n...\n| b\n| c\n...\n", "a\nb\nx\nb\nc\nd\n", nullptr},
        {"exact adjacent lines split", "stdout exact\n...\n| b\n| c\n...\n", "b\nx\nc\n",
         "t.test:6: stdout: 2 adjacent lines not found"},
        {"gap segments keep order", "stdout exact\n| h\n...\n| c\n...\n| b\n...\n| t\n",
         "h\nb\nc\nt\n", "t.test:8: stdout: line not found"},
    };
    for (const MatchCase& c : kCases) {
        std::vector<std::string> failures = matchBlock(c.block, c.output);
        if (!c.failure) {
            EXPECT_TRUE(failures.empty()) << c.what << "\n" << joined(failures);
            continue;
        }
        ASSERT_FALSE(failures.empty()) << c.what << ": mismatch not detected";
        EXPECT_EQ(failures[0].rfind(c.failure, 0), 0u)
            << c.what << "\n  expected: " << c.failure << "\n  got: " << failures[0];
    }
}

TEST(CliCaseMatch, ReportsShowExpectedAndActual) {
    std::vector<std::string> f = matchBlock("stdout\n| b\n| a\n", "a\nb\n");
    ASSERT_EQ(f.size(), 1u);
    EXPECT_NE(f[0].find("expected: | a"), std::string::npos) << f[0];
    EXPECT_NE(f[0].find("order: output line 1: a matches"), std::string::npos) << f[0];

    f = matchBlock("stdout exact\n| a\n| b\n", "a\nc\n");
    ASSERT_EQ(f.size(), 1u);
    EXPECT_NE(f[0].find("expected: | b\n  output line 2: c"), std::string::npos) << f[0];

    f = matchBlock("stdout exact\n...\n| b\n| c\n| d\n...\n", "b\nc\nx\n");
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].rfind("t.test:7:", 0), 0u) << f[0];
    EXPECT_NE(f[0].find("closest: 2 line(s) match from output line 1"), std::string::npos) << f[0];
}

// ---------------------------------------------------------------------------------------------

FileAccess memoryFiles(const std::map<std::string, std::string>& files) {
    return FileAccess{[files](const std::string& p) { return files.count(p) > 0; },
                      [files](const std::string& p) -> std::optional<std::string> {
                          auto it = files.find(p);
                          if (it == files.end()) return std::nullopt;
                          return it->second;
                      }};
}

Outcome exitedWith(int code, std::string out = "", std::string err = "") {
    Outcome o;
    o.exited = true;
    o.exitCode = code;
    o.out = std::move(out);
    o.err = std::move(err);
    return o;
}

const char* const kCheckedCase =
    "case c\n"
    "exit 5\n"
    "stdout\n"
    "| Usage:\n"
    "stderr exact\n"
    "file log.txt\n"
    "~ 1 ETQ003 exit code: \"\\d+\"\n"
    "exists log.txt\n"
    "absent ${WORKDIR}/pid\n";

std::vector<std::string> check(const Outcome& outcome,
                               const std::map<std::string, std::string>& files) {
    ParseResult r = parse(kCheckedCase);
    EXPECT_TRUE(r.errors.empty()) << joined(r.errors);
    return checkOutcome(r.cases.at(0), kContext, outcome, memoryFiles(files));
}

TEST(CliCaseCheck, OutcomeAgainstCase) {
    const std::map<std::string, std::string> good = {{"log.txt", "1 ETQ003 exit code: \"5\"\n"}};
    EXPECT_TRUE(check(exitedWith(5, "x\nUsage:\n"), good).empty());

    struct Row {
        const char* what;
        Outcome outcome;
        std::map<std::string, std::string> files;
        const char* failure;
    };
    Outcome killed;
    killed.signal = 11;
    Outcome timedOut;
    timedOut.timedOut = true;
    Outcome notStarted;
    notStarted.startError = "cannot execute";
    Outcome flooded = exitedWith(5, "Usage:\n");
    flooded.captureError = "more than 64 MiB";
    const Row kRows[] = {
        {"exit code differs", exitedWith(20, "Usage:\n"), good,
         "t.test:2: exit code 5 expected, got exit code 20"},
        {"killed by signal", killed, good,
         "t.test:2: exit code 5 expected, got killed by signal 11"},
        {"timed out", timedOut, good, "t.test:1: no exit within 60 s"},
        {"not started", notStarted, good, "t.test:1: the process did not start: cannot execute"},
        {"runaway output", flooded, good, "t.test:1: more than 64 MiB"},
        {"stdout line missing", exitedWith(5, "usage:\n"), good,
         "t.test:4: stdout: line not found"},
        {"stderr not empty", exitedWith(5, "Usage:\n", "oops\n"), good,
         "t.test:5: stderr: exactly 0 line(s) expected"},
        {"log file missing",
         exitedWith(5, "Usage:\n"),
         {},
         "t.test:6: file log.txt: the file is missing"},
        {"log line wrong",
         exitedWith(5, "Usage:\n"),
         {{"log.txt", "1 ETQ003 exit code: 5\n"}},
         "t.test:7: file log.txt: line not found"},
        {"file must be absent",
         exitedWith(5, "Usage:\n"),
         {{"log.txt", "1 ETQ003 exit code: \"5\"\n"}, {"/tmp/w.1+x/pid", ""}},
         "t.test:9: /tmp/w.1+x/pid: expected to be absent, but exists"},
    };
    for (const Row& row : kRows) {
        std::vector<std::string> f = check(row.outcome, row.files);
        ASSERT_FALSE(f.empty()) << row.what << ": not detected";
        EXPECT_EQ(f[0].rfind(row.failure, 0), 0u)
            << row.what << "\n  expected: " << row.failure << "\n  got: " << f[0];
    }
}

TEST(CliCaseCheck, DescribesTheActualResult) {
    ParseResult r = parse(kCheckedCase);
    std::string d =
        describeOutcome(r.cases.at(0), kContext, exitedWith(5, "a\nb", ""), memoryFiles({}));
    EXPECT_EQ(d,
              "--- exit code 5\n"
              "--- stdout: 2 line(s), no line feed after the last\n"
              "    1| a\n"
              "    2| b\n"
              "--- stderr: empty\n"
              "--- file log.txt: missing\n");
}

// ---------------------------------------------------------------------------------------------
// Real processes, with /bin/sh as the binary.

class CliCaseRun : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()) << dir_.error(); }

    // Parses a case (the file text after "case r") and runs it in the temporary directory.
    Outcome run(const std::string& body, std::vector<std::string> inherited = {}) {
        ParseResult r = parse("case r\n" + body);
        EXPECT_TRUE(r.errors.empty()) << joined(r.errors);
        case_ = r.cases.at(0);
        context_ = Context{dir_.path(), "/bin"};
        EXPECT_TRUE(createSetupFiles(case_, context_).empty());
        return runCase(case_, "/bin/sh", context_, inherited);
    }

    TempDir dir_{"selftest"};
    Case case_;
    Context context_;
};

TEST_F(CliCaseRun, CapturesStreamsAndExitCode) {
    Outcome o = run("args -c \"echo out; echo err >&2; printf 'no eol'; exit 3\"\nexit 3\n");
    EXPECT_TRUE(o.startError.empty()) << o.startError;
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_EQ(o.out, "out\nno eol");
    EXPECT_EQ(o.err, "err\n");
    EXPECT_TRUE(checkOutcome(case_, context_, o, diskFiles(dir_.path())).empty());
}

TEST_F(CliCaseRun, ReportsTheSignalThatEndedTheProcess) {
    Outcome o = run("args -c \"kill -TERM $$\"\nexit 0\n");
    EXPECT_FALSE(o.exited);
    EXPECT_EQ(o.signal, 15);
}

TEST_F(CliCaseRun, FeedsStandardInputAndSetsWorkDirAndArgv0) {
    Outcome o =
        run("argv0 mysh\n"
            "args -c \"cat; pwd; echo $0\"\n"
            "stdin\n| first\n|\n| ${WORKDIR}\n"
            "exit 0\n");
    EXPECT_EQ(o.out, "first\n\n" + dir_.path() + "\n" + dir_.path() + "\nmysh\n");
}

TEST(CliCaseEnv, MinimalEnvironmentPlusCaseSettings) {
    const std::vector<std::string> inherited = {
        "PATH=/usr/bin:/bin", "HOME=/root",      "SECRET=1",         "ASAN_OPTIONS=a=1",
        "PGHOST=db",          "dbs_pg_schema=s", "LANG=de_DE.UTF-8", "LD_LIBRARY_PATH=/x"};
    ParseResult r = parse("case e\nenv MINE=${WORKDIR} v\nenv LANG=C\nunset HOME\nexit 0\n");
    EXPECT_EQ(buildEnvironment(inherited, r.cases.at(0), kContext),
              (std::vector<std::string>{"ASAN_OPTIONS=a=1", "LANG=C", "MINE=/tmp/w.1+x v",
                                        "PATH=/usr/bin:/bin", "PGHOST=db", "dbs_pg_schema=s"}));
    // Nothing inherited: defaults, with the work directory as home.
    r = parse("case e\nexit 0\n");
    EXPECT_EQ(buildEnvironment({}, r.cases.at(0), kContext),
              (std::vector<std::string>{"HOME=/tmp/w.1+x", "LANG=C.UTF-8",
                                        "PATH=/usr/local/bin:/usr/bin:/bin"}));
}

TEST_F(CliCaseRun, PassesOnlyTheControlledEnvironment) {
    Outcome o =
        run("args -c env\nenv MINE=${WORKDIR} v\nexit 0\nstdout\n| MINE=${WORKDIR} v\n"
            "stdout\n| LANG=C.UTF-8\n! SECRET=1\n",
            {"SECRET=1", "PATH=/usr/bin:/bin"});
    std::vector<std::string> f = checkOutcome(case_, context_, o, diskFiles(dir_.path()));
    EXPECT_TRUE(f.empty()) << joined(f) << o.out;
}

TEST_F(CliCaseRun, CreatesSetupFilesAndChecksResultFiles) {
    Outcome o =
        run("create in/data.txt\n| a\n| ${BINDIR}\n"
            "create raw noeol\n| x\n"
            "mkdir out\n"
            "args -c \"cat in/data.txt raw > out/copy.txt; test -d out\"\n"
            "exit 0\n"
            "file out/copy.txt exact\n| a\n| /bin\n| x\n"
            "exists out/copy.txt ${WORKDIR}/in\n"
            "absent raw.bak\n");
    std::vector<std::string> f = checkOutcome(case_, context_, o, diskFiles(dir_.path()));
    EXPECT_TRUE(f.empty()) << joined(f) << o.err;
}

TEST_F(CliCaseRun, DrainsLargeOutputOnBothStreams) {
    // Far beyond a pipe's buffer on both streams and on standard input, all at once: reading
    // one stream at a time, or writing all input before reading, would block forever.
    std::string body =
        "args -c \"exec 3<&0; wc -c <&3 >stdin.count & "
        "head -c 3000000 /dev/zero | tr '\\\\0' e >&2; "
        "head -c 3000000 /dev/zero | tr '\\\\0' o; wait\"\nstdin\n";
    size_t inputSize = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string line = "some input line number " + std::to_string(i);
        body += "| " + line + "\n";
        inputSize += line.size() + 1;
    }
    body += "exit 0\n";
    Outcome o = run(body);
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.out.size(), 3000000u);
    EXPECT_EQ(o.err.size(), 3000000u);
    EXPECT_EQ(o.out.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(diskFiles(dir_.path()).read("stdin.count"), std::to_string(inputSize) + "\n");
}

// True once the process is gone or a zombie (its parent may not reap it at once).
bool processEnded(const std::string& pid) {
    for (int i = 0; i < 200; ++i) {
        std::optional<std::string> stat = diskFiles("/").read("/proc/" + pid + "/stat");
        size_t close = stat ? stat->rfind(')') : std::string::npos;
        if (!stat || (close != std::string::npos && stat->compare(close, 4, ") Z ") == 0)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(CliCaseRun, KillsTheProcessGroupAtTheTimeout) {
    // The background sleep keeps standard output open after the shell has gone; it must not
    // survive the case.
    auto start = std::chrono::steady_clock::now();
    Outcome o = run("args -c \"sleep 30 & echo $! >bg.pid; echo started\"\ntimeout 1\nexit 0\n");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(o.timedOut);
    EXPECT_EQ(o.out, "started\n");
    EXPECT_LT(took, std::chrono::seconds(10));
    std::vector<std::string> f = checkOutcome(case_, context_, o, diskFiles(dir_.path()));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], "t.test:1: no exit within 1 s; the process group was killed");
    std::optional<std::string> pid = diskFiles(dir_.path()).read("bg.pid");
    ASSERT_TRUE(pid.has_value());
    pid->pop_back();
    EXPECT_TRUE(processEnded(*pid)) << "background process " << *pid << " still runs";
}

TEST_F(CliCaseRun, SendsTheSignalWhenItsLineAppears) {
    // The shell waits for the signal after the line; without it the case would time out.
    Outcome o =
        run("args -c \"trap 'echo got; exit 7' USR1; echo before; echo ready ${WORKDIR}; "
            "while :; do sleep 0.05; done\"\n"
            "signal USR1 ready ${WORKDIR}\ntimeout 20\nexit 7\n");
    EXPECT_TRUE(o.signalSent);
    EXPECT_EQ(o.exitCode, 7);
    EXPECT_EQ(o.out, "before\nready " + dir_.path() + "\ngot\n");
    EXPECT_TRUE(checkOutcome(case_, context_, o, diskFiles(dir_.path())).empty());

    o = run("args -c \"echo other\"\nsignal INT ready\nexit 0\n");
    EXPECT_FALSE(o.signalSent);
    std::vector<std::string> f = checkOutcome(case_, context_, o, diskFiles(dir_.path()));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], "t.test:3: signal INT was never sent: no line of stdout matched");
}

TEST_F(CliCaseRun, RunsSetupCommandsBeforeTheCase) {
    ParseResult r = parse(
        "case r\nenv WORD=hello\nsetup sh -c \"echo $WORD > made.txt\"\n"
        "setup test -s made.txt\nexit 0\n");
    ASSERT_TRUE(r.errors.empty()) << joined(r.errors);
    Context context{dir_.path(), "/bin"};
    EXPECT_TRUE(runSetupCommands(r.cases.at(0), context, {"PATH=/usr/bin:/bin"}).empty());
    EXPECT_EQ(diskFiles(dir_.path()).read("made.txt"), "hello\n");

    r = parse("case r\nsetup sh -c \"echo why; exit 3\"\nsetup touch never.txt\nexit 0\n");
    std::vector<std::string> f = runSetupCommands(r.cases.at(0), context, {"PATH=/usr/bin:/bin"});
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].rfind("t.test:2: setup command 'sh' failed: exit code 3\n--- stdout: 1 line(s)\n"
                         "    1| why\n",
                         0),
              0u)
        << f[0];
    EXPECT_FALSE(diskFiles(dir_.path()).exists("never.txt"));
}

TEST_F(CliCaseRun, ReportsABinaryThatCannotStart) {
    ParseResult r = parse("case r\nexit 0\n");
    Outcome o = runCase(r.cases.at(0), dir_.path() + "/missing", Context{dir_.path(), "/"}, {});
    EXPECT_NE(o.startError.find("No such file or directory"), std::string::npos) << o.startError;
}

TEST(CliCaseTempDir, RemovedUnlessKept) {
    std::string removed, kept;
    {
        TempDir a("a");
        TempDir b("b");
        ASSERT_TRUE(a.ok() && b.ok());
        EXPECT_NE(a.path(), b.path());
        ASSERT_TRUE(createSetupFiles(parse("case x\nexit 0\ncreate d/e/f\n| z\n").cases[0],
                                     Context{a.path(), "/"})
                        .empty());
        removed = a.path();
        kept = b.path();
        b.keep();
    }
    EXPECT_FALSE(diskFiles("/").exists(removed));
    EXPECT_TRUE(diskFiles("/").exists(kept));
    EXPECT_EQ(::rmdir(kept.c_str()), 0);
}

}  // namespace
}  // namespace clicase

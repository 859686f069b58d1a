// Command-line test cases: the data format of tests/cli/*.test (see README.md in this folder),
// the runner that executes one case against the tool binary, and the matcher that compares a
// finished run with the case's expectations. Every failure is returned as text that names the
// .test file and line of the directive or expectation concerned; nothing here throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace clicase {

enum class LineKind {
    kLiteral,      // "| text": a line equal to text (also the data lines of stdin and create)
    kRegex,        // "~ re": a line that the ECMAScript regular expression matches as a whole
    kAbsent,       // "! text": no line of the stream equals text
    kAbsentRegex,  // "!~ re": no line of the stream matches re
    kGap,          // "...": any number of lines (exact blocks only)
};

struct ContentLine {
    LineKind kind = LineKind::kLiteral;
    std::string text;
    int line = 0;  // in the .test file
};

// A block of lines: an input (stdin, create, mkdir) or an expectation (stdout, stderr, file).
// Without `exact` an expectation's lines must occur in this order with any lines around them;
// with `exact` they make up the whole stream, "..." standing for any lines.
struct Block {
    std::string kind;  // the directive
    std::string path;  // create, mkdir and file; relative paths are taken in the work directory
    bool exact = false;
    bool noeol = false;  // stdin and create: no line feed after the last line
    int line = 0;
    std::vector<ContentLine> lines;
};

struct PathCheck {
    std::string path;
    bool mustExist = true;
    int line = 0;
};

// A command (searched in the runner's PATH) run in the work directory with the case's environment
// before the tool, e.g. a database client that creates tables; it must exit with 0.
struct Command {
    std::vector<std::string> words;
    int line = 0;
};

struct Case {
    std::string file;  // the .test file as named to the parser (used in messages)
    std::string name;
    int line = 0;
    std::optional<std::string> argv0;  // default: the binary's path
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::optional<std::string>>> env;  // nullopt: unset
    std::vector<std::string> requiredEnv;  // variables of the runner's environment it needs
    std::vector<Block> inputs;             // stdin, create and mkdir in file order
    std::vector<Block> outputs;
    std::vector<PathCheck> pathChecks;
    std::vector<Command> commands;
    int exitCode = -1;
    int exitLine = 0;
    int timeoutSeconds = 60;
    int signal = 0;  // sent once a line of standard output matches signalRegex
    std::string signalRegex;
    int signalLine = 0;
};

struct ParseResult {
    std::vector<Case> cases;
    std::vector<std::string> errors;  // "file:line: text", in file order
};

// Parses the text of one .test file; `fileName` only labels the messages.
ParseResult parseCases(std::string_view text, const std::string& fileName);
// Reads and parses one file; a file that cannot be read is one error.
ParseResult parseCaseFile(const std::string& path);

// Values of the ${WORKDIR} and ${BINDIR} tokens for one run.
struct Context {
    std::string workDir;
    std::string binDir;
};

// Replaces ${WORKDIR} and ${BINDIR}; "$${" stands for a literal "${". With `regexEscape` the
// inserted values are escaped so that they match themselves inside a regular expression.
std::string substitute(std::string_view text, const Context& context, bool regexEscape = false);

// Lines of a captured stream: split at line feeds, a final line feed ends the last line.
std::vector<std::string> splitLines(std::string_view text);
// The lines, each ended by a line feed.
std::string joinLines(const std::vector<std::string>& lines);

// Compares the lines of one stream with one expectation block; `label` names the stream.
// Returns the failures (empty: the stream matches).
std::vector<std::string> matchLines(const Block& expect, const std::string& file,
                                    const std::vector<std::string>& actual, const Context& context,
                                    const std::string& label);

struct Outcome {
    std::string error;  // non-empty: the run could not be made or captured
    int errorLine = 0;  // the .test line the error concerns (0: the case's)
    bool timedOut = false;
    bool exited = false;  // false with a signal or a timeout
    int exitCode = -1;
    int signal = 0;
    bool signalSent = false;
    std::string out;
    std::string err;
};

// The environment a case runs with: PATH and HOME from `inherited` (or defaults), LANG=C.UTF-8,
// the sanitizer options and the database variables (PG*, dbs_*) of `inherited`, then the
// case's own settings and removals in order. Sorted "NAME=value" strings.
std::vector<std::string> buildEnvironment(const std::vector<std::string>& inherited,
                                          const Case& testCase, const Context& context);

// Creates the case's files and directories in context.workDir, runs its setup commands, then
// runs `binary` there with the case's environment, arguments and standard input, both output
// streams captured. A run that exceeds the timeout is killed with its process group.
Outcome runCase(const Case& testCase, const std::string& binary, const Context& context,
                const std::vector<std::string>& inherited);

// Compares the outcome and the files left in context.workDir with every expectation of the
// case. Returns one message per failed expectation; empty when the case passed.
std::vector<std::string> checkOutcome(const Case& testCase, const Context& context,
                                      const Outcome& outcome);

// The actual result for a failure report: exit status, both streams with line numbers, and
// the files that the expectations name.
std::string describeOutcome(const Case& testCase, const Context& context, const Outcome& outcome);

// A fresh directory below $TMPDIR (or /tmp), removed with its content on destruction unless
// keep() was called.
class TempDir {
  public:
    explicit TempDir(const std::string& label);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    void keep() { keep_ = true; }

  private:
    std::string path_;
    bool keep_ = false;
};

}  // namespace clicase

// Command-line test cases: the data format of tests/cli/*.test (see README.md in this folder),
// the process runner that executes one case against the tool binary, and the matcher that
// compares a finished run with the case's expectations. Shared by the gtest runner and by its
// own unit test. Every failure is returned as text that names the .test file and line of the
// directive or expectation concerned; nothing here throws.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace clicase {

// One line of a content block; `line` is its line number in the .test file.
enum class LineKind {
    kLiteral,      // "| text": a line equal to text (data line in stdin and create blocks)
    kRegex,        // "~ re": a line that the ECMAScript regular expression matches as a whole
    kAbsent,       // "! text": no line of the stream equals text
    kAbsentRegex,  // "!~ re": no line of the stream matches re
    kGap,          // "...": any number of lines (exact blocks only)
};

struct ContentLine {
    LineKind kind = LineKind::kLiteral;
    std::string text;
    int line = 0;
};

enum class Source { kStdout, kStderr, kFile };

// Expected lines of standard output, standard error or a file left in the work directory.
// Without `exact` the literal and regex lines must occur in this order, other lines may lie
// between them; with `exact` they must make up the whole stream, "..." standing for any lines.
struct OutputExpect {
    Source source = Source::kStdout;
    std::string path;  // kFile only; relative paths are taken in the work directory
    bool exact = false;
    int line = 0;
    std::vector<ContentLine> lines;
};

// Lines of standard input or of a setup file; each ends with a line feed, the last one only
// when finalNewline is set.
struct TextBlock {
    std::vector<std::string> lines;
    bool finalNewline = true;
    int line = 0;
};

struct SetupFile {
    std::string path;  // relative to the work directory, without ".."
    bool directory = false;
    TextBlock content;
};

struct EnvEdit {
    std::string name;
    std::optional<std::string> value;  // nullopt: remove the variable
};

struct PathCheck {
    std::string path;
    bool mustExist = true;
    int line = 0;
};

// A command run in the work directory with the case's environment before the tool starts,
// e.g. a database client that creates the tables a case reads. It must exit with 0.
struct SetupCommand {
    std::vector<std::string> words;  // the program (searched in PATH) and its arguments
    int line = 0;
};

// A signal sent to the tool once a line of its standard output matches `regex` (ECMAScript,
// whole line, tokens substituted).
struct SignalPlan {
    std::string name;  // INT, TERM, HUP, QUIT, USR1 or USR2
    int number = 0;
    std::string regex;
    int line = 0;
};

struct Case {
    std::string file;  // the .test file as named to the parser (used in messages)
    std::string name;
    int line = 0;
    std::optional<std::string> argv0;  // default: the binary's path
    std::vector<std::string> args;
    std::vector<EnvEdit> env;
    std::vector<std::string> requiredEnv;  // variables of the runner's environment it needs
    std::optional<TextBlock> stdinData;
    std::vector<SetupFile> setup;
    int exitCode = -1;
    int exitLine = 0;
    int timeoutSeconds = 60;
    std::vector<OutputExpect> outputs;
    std::vector<PathCheck> pathChecks;
    std::vector<SetupCommand> commands;
    std::optional<SignalPlan> signal;
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

// The bytes of a text block, with the tokens of every line substituted.
std::string blockText(const TextBlock& block, const Context& context);

// Lines of a captured stream: split at line feeds, a final line feed ends the last line.
std::vector<std::string> splitLines(std::string_view text);

// What happened when a case ran.
struct Outcome {
    std::string startError;  // non-empty: the process could not be started
    bool timedOut = false;
    bool exited = false;  // false with a signal or a timeout
    int exitCode = -1;
    int signal = 0;
    bool signalSent = false;  // the case's signal went to the process
    std::string out;
    std::string err;
    std::string captureError;  // non-empty: the output could not be captured completely
};

// Access to the files of the work directory after the run; relative paths are taken there.
struct FileAccess {
    std::function<bool(const std::string& path)> exists;
    std::function<std::optional<std::string>(const std::string& path)> read;
};

FileAccess diskFiles(const std::string& workDir);

// Compares the outcome with every expectation of the case. Returns one message per failed
// expectation; an empty result means the case passed.
std::vector<std::string> checkOutcome(const Case& testCase, const Context& context,
                                      const Outcome& outcome, const FileAccess& files);

// Compares the lines of one stream with one output expectation; `label` names the stream in
// the messages ("stdout", "file x.log"). Returns the failures (empty: the stream matches).
std::vector<std::string> matchLines(const OutputExpect& expect, const std::string& file,
                                    const std::vector<std::string>& actual, const Context& context,
                                    const std::string& label);

// Renders the actual result of a run for a failure report: exit status, both streams with
// line numbers, and the files that the expectations name.
std::string describeOutcome(const Case& testCase, const Context& context, const Outcome& outcome,
                            const FileAccess& files);

// The environment a case runs with: PATH and HOME from `inherited` (or defaults), LANG=C.UTF-8,
// the sanitizer options and the database variables (PG*, dbs_*) of `inherited`, then the
// case's own settings and removals in order. Sorted "NAME=value" strings.
std::vector<std::string> buildEnvironment(const std::vector<std::string>& inherited,
                                          const Case& testCase, const Context& context);

// Creates the case's setup files and directories below context.workDir. Returns the errors.
std::vector<std::string> createSetupFiles(const Case& testCase, const Context& context);

// Runs the case's setup commands in order, each like runCase with no input. Returns the
// failures, each with the command's output; the first failing command ends the list.
std::vector<std::string> runSetupCommands(const Case& testCase, const Context& context,
                                          const std::vector<std::string>& inherited);

// Runs `binary` for the case with its working directory context.workDir, the environment of
// buildEnvironment, the case's standard input, and both output streams captured. The case's
// signal is sent once its line has appeared on standard output. A run that exceeds the case's
// timeout is killed together with its process group.
Outcome runCase(const Case& testCase, const std::string& binary, const Context& context,
                const std::vector<std::string>& inherited);

// A fresh directory below $TMPDIR (or /tmp) that is removed with its content on destruction
// unless keep() was called.
class TempDir {
  public:
    explicit TempDir(const std::string& label);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }
    void keep() { keep_ = true; }

  private:
    std::string path_;
    std::string error_;
    bool keep_ = false;
};

}  // namespace clicase

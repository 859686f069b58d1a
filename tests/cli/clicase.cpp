#include "clicase.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace clicase {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBlanks = " \t";
// A stream that grows beyond this is a runaway process, not a result worth keeping.
constexpr uintmax_t kMaxCapture = 64u << 20;
constexpr size_t kMaxShownLines = 200;
// The markers of content lines, in the order of LineKind.
constexpr std::string_view kMarkers[] = {"|", "~", "!", "!~", "..."};

std::string_view trim(std::string_view s) {
    size_t i = s.find_first_not_of(kBlanks);
    if (i == std::string_view::npos) return {};
    return s.substr(i, s.find_last_not_of(kBlanks) - i + 1);
}

std::string where(const std::string& file, int line) {
    return file + ":" + std::to_string(line) + ": ";
}

// A variable name; with `dash` a case name (letters, digits, "_" and "-", beginning with a
// letter or digit), which becomes a gtest name.
bool isName(std::string_view s, bool dash) {
    auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    if (s.empty() || (dash ? !alnum(s[0]) : std::isdigit(static_cast<unsigned char>(s[0])))) {
        return false;
    }
    return std::all_of(s.begin(), s.end(),
                       [&](char c) { return alnum(c) || c == '_' || (dash && c == '-'); });
}

std::optional<std::regex> compile(const std::string& re) {
    try {
        return std::regex(re, std::regex::ECMAScript);
    } catch (const std::regex_error&) {
        return std::nullopt;
    }
}

// Blanks separate words, "..." groups with \" and \\ as escapes, '...' groups literally;
// adjacent pieces join into one word. Returns an error text, empty when the line is fine.
std::string splitWords(std::string_view s, std::vector<std::string>* words) {
    size_t i = 0;
    for (;;) {
        while (i < s.size() && kBlanks.find(s[i]) != std::string_view::npos) ++i;
        if (i == s.size()) return "";
        std::string word;
        while (i < s.size() && kBlanks.find(s[i]) == std::string_view::npos) {
            const char q = s[i++];
            if (q != '"' && q != '\'') {
                word += q;
                continue;
            }
            for (; i < s.size() && s[i] != q; ++i) {
                if (q == '"' && s[i] == '\\' && i + 1 < s.size() &&
                    (s[i + 1] == '"' || s[i + 1] == '\\')) {
                    ++i;
                }
                word += s[i];
            }
            if (i++ == s.size()) return std::string("unterminated ") + q + " quote";
        }
        words->push_back(std::move(word));
    }
}

// A ${NAME} token that substitute() would not replace.
std::string tokenError(std::string_view s) {
    for (size_t i = s.find("${"); i != std::string_view::npos; i = s.find("${", i + 1)) {
        if (i > 0 && s[i - 1] == '$') continue;
        size_t close = s.find('}', i);
        if (close == std::string_view::npos) return "unterminated ${ token";
        std::string name(s.substr(i + 2, close - i - 2));
        if (name != "WORKDIR" && name != "BINDIR") return "unknown token ${" + name + "}";
    }
    return "";
}

class Parser {
  public:
    explicit Parser(std::string file) : file_(std::move(file)) {}

    ParseResult run(std::string_view text) {
        int n = 0;
        for (const std::string& raw : splitLines(text)) {
            std::string_view line = raw;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            parseLine(line, ++n);
        }
        finishCase();
        if (result_.cases.empty() && result_.errors.empty())
            error(std::max(n, 1), "the file holds no case");
        return std::move(result_);
    }

  private:
    void error(int line, const std::string& text) {
        result_.errors.push_back(where(file_, line) + text);
    }

    void parseLine(std::string_view raw, int n) {
        std::string_view line = raw.substr(std::min(raw.size(), raw.find_first_not_of(kBlanks)));
        if (line.empty()) block_ = nullptr;
        if (line.empty() || line[0] == '#') return;
        size_t end = std::min(line.size(), line.find_first_of(kBlanks));
        std::string word(line.substr(0, end));
        std::string_view rest = line.substr(end);
        const auto marker = std::find(std::begin(kMarkers), std::end(kMarkers), word);
        if (marker == std::end(kMarkers)) {
            block_ = nullptr;
            return directive(word, rest, n);
        }
        // One blank separates the marker from the text; everything after it is the text.
        ContentLine content{static_cast<LineKind>(marker - std::begin(kMarkers)),
                            std::string(rest.substr(rest.empty() ? 0 : 1)), n};
        std::string err = tokenError(content.text);
        const bool input = block_ && (block_->kind == "stdin" || block_->kind == "create");
        const bool regex =
            content.kind == LineKind::kRegex || content.kind == LineKind::kAbsentRegex;
        if (!block_)
            err = "content line '" + word + "' outside a block";
        else if (input && content.kind != LineKind::kLiteral)
            err = "only '|' lines belong in a stdin or create block";
        else if (content.kind == LineKind::kGap && !trim(rest).empty())
            err = "'...' takes no text";
        else if (content.kind == LineKind::kGap && !block_->exact)
            err = "'...' belongs in exact blocks only";
        else if (err.empty() && regex && !compile(substitute(content.text, {"/w", "/b"}, true)))
            err = "invalid regular expression";
        if (!err.empty()) return error(n, err);
        block_->lines.push_back(std::move(content));
    }

    // The words after a directive with tokens checked; false after an error.
    bool words(std::string_view rest, int n, std::vector<std::string>* out) {
        std::string err = splitWords(rest, out);
        for (const std::string& w : *out) {
            if (err.empty()) err = tokenError(w);
        }
        if (!err.empty()) error(n, err);
        return err.empty();
    }

    // "<directive> [path] [option]": the block the directive opens.
    void block(const std::string& word, std::string_view rest, int n, bool withPath,
               const std::string& option) {
        std::vector<std::string> w;
        if (!words(rest, n, &w)) return;
        size_t need = withPath ? 1 : 0;
        bool flag = w.size() == need + 1 && !option.empty() && w.back() == option;
        if (w.size() != need + (flag ? 1 : 0)) {
            return error(n, "expected: " + word + (withPath ? " <word>" : "") +
                                (option.empty() ? "" : " [" + option + "]"));
        }
        Block b{word, withPath ? w[0] : "", flag && option == "exact", flag && option == "noeol", n,
                {}};
        const bool output = word == "stdout" || word == "stderr" || word == "file";
        if (!output && withPath) {
            fs::path p(b.path);
            if (b.path.empty() || p.is_absolute() || b.path.find("${") != std::string::npos ||
                std::find(p.begin(), p.end(), "..") != p.end()) {
                return error(n, word + " needs a relative path inside the work directory");
            }
        }
        if (word == "stdin" && std::any_of(current_->inputs.begin(), current_->inputs.end(),
                                           [](const Block& i) { return i.kind == "stdin"; })) {
            return error(n, "second stdin block in case '" + current_->name + "'");
        }
        auto& list = output ? current_->outputs : current_->inputs;
        list.push_back(std::move(b));
        if (word != "mkdir") block_ = &list.back();
    }

    void number(std::string_view rest, int n, const std::string& word, int low, int high,
                int* value) {
        std::string s(trim(rest));
        char* end = nullptr;
        long v = std::strtol(s.c_str(), &end, 10);
        if (s.empty() || *end || v < low || v > high) {
            return error(n, word + " needs a number from " + std::to_string(low) + " to " +
                                std::to_string(high) + ", not '" + s + "'");
        }
        *value = static_cast<int>(v);
    }

    void directive(const std::string& word, std::string_view rest, int n) {
        static const std::set<std::string> kKnown = {
            "args",    "argv0",  "env",    "unset", "require", "stdin",  "create", "mkdir", "exit",
            "timeout", "stdout", "stderr", "file",  "exists",  "absent", "setup",  "signal"};
        if (word == "case") return startCase(std::string(trim(rest)), n);
        if (!kKnown.count(word)) return error(n, "unknown directive '" + word + "'");
        if (!current_) return error(n, "'" + word + "' before the first case");
        Case& c = *current_;
        std::vector<std::string> w;
        if (word == "stdin" || word == "create" || word == "mkdir") {
            block(word, rest, n, word != "stdin", word == "mkdir" ? "" : "noeol");
        } else if (word == "stdout" || word == "stderr" || word == "file") {
            block(word, rest, n, word == "file", "exact");
        } else if (word == "exit") {
            if (c.exitLine) return error(n, "second exit in case '" + c.name + "'");
            number(rest, n, word, 0, 255, &c.exitCode);
            c.exitLine = n;
        } else if (word == "timeout") {
            number(rest, n, word, 1, 3600, &c.timeoutSeconds);
        } else if (word == "env") {
            std::string_view text =
                trim(rest).empty() ? rest : rest.substr(rest.find_first_not_of(kBlanks));
            size_t eq = text.find('=');
            std::string name(trim(text.substr(0, eq)));
            if (eq == std::string_view::npos || !isName(name, false))
                return error(n, "expected: env NAME=value");
            std::string value(text.substr(eq + 1));
            if (std::string err = tokenError(value); !err.empty()) return error(n, err);
            c.env.emplace_back(name, value);
        } else if (word == "signal") {
            static const std::map<std::string, int> kSignals = {
                {"INT", SIGINT},   {"TERM", SIGTERM}, {"HUP", SIGHUP},
                {"QUIT", SIGQUIT}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2}};
            std::string_view text = trim(rest);
            size_t end = std::min(text.size(), text.find_first_of(kBlanks));
            auto known = kSignals.find(std::string(text.substr(0, end)));
            std::string regex(trim(text.substr(end)));
            if (known == kSignals.end() || regex.empty())
                return error(n, "expected: signal INT|TERM|HUP|QUIT|USR1|USR2 <regex>");
            if (c.signal) return error(n, "second signal in case '" + c.name + "'");
            std::string err = tokenError(regex);
            if (err.empty() && !compile(substitute(regex, {"/w", "/b"}, true)))
                err = "invalid regular expression";
            if (!err.empty()) return error(n, err);
            c.signal = known->second;
            c.signalRegex = regex;
            c.signalLine = n;
        } else if (words(rest, n, &w)) {
            if (w.empty() && word != "args") return error(n, word + " needs words");
            if (word == "args") c.args.insert(c.args.end(), w.begin(), w.end());
            if (word == "argv0") c.argv0 = w[0];
            if (word == "setup") c.commands.push_back({w, n});
            for (const std::string& item : w) {
                if ((word == "unset" || word == "require") && !isName(item, false)) {
                    error(n, "invalid variable name '" + item + "'");
                } else if (word == "unset") {
                    c.env.emplace_back(item, std::nullopt);
                } else if (word == "require") {
                    c.requiredEnv.push_back(item);
                } else if (word == "exists" || word == "absent") {
                    c.pathChecks.push_back({item, word == "exists", n});
                }
            }
        }
    }

    void startCase(const std::string& name, int n) {
        finishCase();
        if (!isName(name, true)) {
            error(n, "invalid case name '" + name +
                         "' (letters, digits, '_' and '-', beginning with a letter or digit)");
        } else if (!names_.insert(name).second) {
            error(n, "second case named '" + name + "'");
        }
        current_ = Case{};
        current_->file = file_;
        current_->name = name;
        current_->line = n;
    }

    void finishCase() {
        if (!current_) return;
        if (!current_->exitLine)
            error(current_->line, "case '" + current_->name + "' has no exit directive");
        result_.cases.push_back(std::move(*current_));
        current_.reset();
        block_ = nullptr;
    }

    std::string file_;
    ParseResult result_;
    std::optional<Case> current_;
    Block* block_ = nullptr;
    std::set<std::string> names_;
};

std::optional<std::string> readFile(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? std::optional(text.str()) : std::nullopt;
}

std::string blockText(const Block& block, const Context& context) {
    std::string out;
    for (size_t i = 0; i < block.lines.size(); ++i) {
        out += substitute(block.lines[i].text, context);
        if (i + 1 < block.lines.size() || !block.noeol) out += '\n';
    }
    return out;
}

// One expectation ready to test lines, or a gap.
struct Matcher {
    const ContentLine* source;
    std::string text;
    std::optional<std::regex> regex;

    bool gap() const { return source->kind == LineKind::kGap; }
    bool matches(const std::string& line) const {
        return regex ? std::regex_match(line, *regex) : line == text;
    }
    std::string show() const {
        return std::string(kMarkers[static_cast<int>(source->kind)]) + " " + source->text;
    }
};

// Whether items[i..] match actual[j..] to the end (a gap takes any number of lines); `deepest`
// gets the furthest expectation that failed (items.size(): none, the output goes on). Memoised on
// (i, j), so quadratic at worst.
bool matchFrom(const std::vector<Matcher>& items, const std::vector<std::string>& actual, size_t i,
               size_t j, std::vector<signed char>* memo, size_t* deepest) {
    signed char& m = (*memo)[i * (actual.size() + 1) + j];
    if (m >= 0) return m;
    bool ok;
    if (i == items.size()) {
        ok = j == actual.size();
    } else if (items[i].gap()) {
        ok = matchFrom(items, actual, i + 1, j, memo, deepest) ||
             (j < actual.size() && matchFrom(items, actual, i, j + 1, memo, deepest));
    } else {
        const bool here = j < actual.size() && items[i].matches(actual[j]);
        if (!here) *deepest = *deepest == items.size() ? i : std::max(*deepest, i);
        ok = here && matchFrom(items, actual, i + 1, j + 1, memo, deepest);
    }
    m = ok;
    return ok;
}

Outcome failed(std::string text, int line = 0) {
    Outcome o;
    o.error = std::move(text);
    o.errorLine = line;
    return o;
}

std::string exitText(const Outcome& o) {
    if (o.timedOut) return "timed out";
    return o.exited ? "exit code " + std::to_string(o.exitCode)
                    : "killed by signal " + std::to_string(o.signal);
}

void appendNumbered(std::string* out, const std::string& title, const std::string& text) {
    std::vector<std::string> lines = splitLines(text);
    *out += "--- " + title + ": " + std::to_string(lines.size()) + " line(s)" +
            (text.empty() || text.back() == '\n' ? "" : ", no line feed after the last") + "\n";
    for (size_t i = 0; i < lines.size() && i < kMaxShownLines; ++i) {
        *out += std::to_string(i + 1) + "| " + lines[i] + "\n";
    }
    if (lines.size() > kMaxShownLines)
        *out += "... " + std::to_string(lines.size() - kMaxShownLines) + " more\n";
}

// Words to argv/envp before a fork, so that the child only makes system calls.
std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> p;
    for (std::string& w : words) p.push_back(w.data());
    p.push_back(nullptr);
    return p;
}

// Runs one process in its own process group with its streams in files of `capture`.
Outcome runProcess(std::string program, std::vector<std::string> args, std::vector<std::string> env,
                   const std::string& input, const std::string& capture, const Context& context,
                   int timeoutSeconds, int signal, const std::string& signalRegex) {
    Outcome o;
    const std::string in = capture + "/stdin", out = capture + "/stdout", err = capture + "/stderr";
    std::ofstream(in, std::ios::binary) << input;
    std::ofstream{out};
    std::ofstream{err};
    std::vector<char*> argv = pointers(args), envp = pointers(env);
    std::optional<std::regex> trigger;
    if (signal) trigger = compile(substitute(signalRegex, context, true));
    pid_t pid = fork();
    if (pid < 0) return failed(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int fds[] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY),
                     open(err.c_str(), O_WRONLY)};
        for (int fd = 0; fd < 3; ++fd) dup2(fds[fd], fd);
        if (chdir(context.workDir.c_str()) == 0) execvpe(program.c_str(), argv.data(), envp.data());
        dprintf(2, "cannot execute %s: %s\n", program.c_str(), std::strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        std::error_code ec;
        if (fs::file_size(out, ec) > kMaxCapture || fs::file_size(err, ec) > kMaxCapture) {
            o.error = "more than 64 MiB of output";
        } else if (std::chrono::steady_clock::now() > deadline) {
            o.timedOut = true;
        }
        if (o.timedOut || !o.error.empty()) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        if (trigger && !o.signalSent) {
            for (const std::string& line : splitLines(readFile(out).value_or(""))) {
                if (std::regex_match(line, *trigger)) o.signalSent = kill(pid, signal) == 0;
                if (o.signalSent) break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(-pid, SIGKILL);  // what the process left behind in its group
    o.exited = !o.timedOut && WIFEXITED(status);
    o.exitCode = o.exited ? WEXITSTATUS(status) : -1;
    o.signal = !o.timedOut && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    o.out = readFile(out).value_or("");
    o.err = readFile(err).value_or("");
    return o;
}

}  // namespace

ParseResult parseCases(std::string_view text, const std::string& fileName) {
    return Parser(fileName).run(text);
}

ParseResult parseCaseFile(const std::string& path) {
    std::optional<std::string> text = readFile(path);
    if (text) return parseCases(*text, path);
    return {{}, {path + ": cannot read the file"}};
}

std::string substitute(std::string_view text, const Context& context, bool escape) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text.substr(i, 3) == "$${") {
            out += "${";
            i += 3;
            continue;
        }
        const std::string* value = text.substr(i, 10) == "${WORKDIR}" ? &context.workDir
                                   : text.substr(i, 9) == "${BINDIR}" ? &context.binDir
                                                                      : nullptr;
        if (!value) {
            out += text[i++];
            continue;
        }
        for (char c : *value) {
            if (escape && std::string_view("\\^$.|?*+()[]{}/").find(c) != std::string_view::npos)
                out += '\\';
            out += c;
        }
        i += value == &context.workDir ? 10 : 9;
    }
    return out;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t eol = std::min(text.size(), text.find('\n', pos));
        lines.emplace_back(text.substr(pos, eol - pos));
        pos = eol + 1;
    }
    return lines;
}

std::vector<std::string> matchLines(const Block& expect, const std::string& file,
                                    const std::vector<std::string>& actual, const Context& context,
                                    const std::string& label) {
    std::vector<std::string> failures;
    std::vector<Matcher> items, absent;
    ContentLine gap{LineKind::kGap, "", expect.line};
    if (!expect.exact) items.push_back({&gap, "", std::nullopt});
    for (const ContentLine& line : expect.lines) {
        const bool regex = line.kind == LineKind::kRegex || line.kind == LineKind::kAbsentRegex;
        Matcher m{&line, substitute(line.text, context, regex), std::nullopt};
        if (regex) m.regex = compile(m.text);
        const bool isAbsent = line.kind == LineKind::kAbsent || line.kind == LineKind::kAbsentRegex;
        (isAbsent ? absent : items).push_back(std::move(m));
        if (!expect.exact && !isAbsent) items.push_back({&gap, "", std::nullopt});
    }
    std::vector<signed char> memo((items.size() + 1) * (actual.size() + 1), -1);
    size_t deepest = items.size();  // none yet
    if (!matchFrom(items, actual, 0, 0, &memo, &deepest)) {
        bool ended = deepest >= items.size() || items[deepest].gap();
        std::string text = ended ? "the output goes on beyond the expected lines"
                                 : "no line matches in its place: " + items[deepest].show();
        failures.push_back(where(file, ended ? expect.line : items[deepest].source->line) + label +
                           ": " + text);
    }
    for (const Matcher& m : absent) {
        auto hit = std::find_if(actual.begin(), actual.end(),
                                [&](const std::string& l) { return m.matches(l); });
        if (hit != actual.end()) {
            failures.push_back(where(file, m.source->line) + label +
                               ": a line that must not occur is present: " + *hit);
        }
    }
    return failures;
}

std::vector<std::string> buildEnvironment(const std::vector<std::string>& inherited,
                                          const Case& testCase, const Context& context) {
    std::map<std::string, std::string> env = {
        {"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"HOME", context.workDir}, {"LANG", "C.UTF-8"}};
    for (const std::string& entry : inherited) {
        std::string name = entry.substr(0, entry.find('='));
        if (name == entry) continue;
        if (name == "PATH" || name == "HOME" || name == "ASAN_OPTIONS" || name == "UBSAN_OPTIONS" ||
            name == "LSAN_OPTIONS" || name.starts_with("PG") || name.starts_with("dbs_")) {
            env[name] = entry.substr(name.size() + 1);
        }
    }
    for (const auto& [name, value] : testCase.env) {
        if (value)
            env[name] = substitute(*value, context);
        else
            env.erase(name);
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : env) result.push_back(name + "=" + value);
    return result;
}

Outcome runCase(const Case& testCase, const std::string& binary, const Context& context,
                const std::vector<std::string>& inherited) {
    std::string input;
    for (const Block& b : testCase.inputs) {
        fs::path path = fs::path(context.workDir) / b.path;
        std::error_code ec;
        if (b.kind == "stdin")
            input = blockText(b, context);
        else
            fs::create_directories(b.kind == "mkdir" ? path : path.parent_path(), ec);
        if (b.kind == "create") std::ofstream(path, std::ios::binary) << blockText(b, context);
        if (ec) return failed("cannot create " + path.string(), b.line);
    }
    TempDir capture("capture");
    if (!capture.ok()) return failed("cannot create a capture directory");
    std::vector<std::string> env = buildEnvironment(inherited, testCase, context);
    for (const Command& command : testCase.commands) {
        std::vector<std::string> words;
        for (const std::string& w : command.words) words.push_back(substitute(w, context));
        Outcome o = runProcess(words[0], words, env, "", capture.path(), context,
                               testCase.timeoutSeconds, 0, "");
        if (!o.exited || o.exitCode != 0) {
            return failed("setup command failed with " + exitText(o) + "\n" + o.out + o.err,
                          command.line);
        }
    }
    std::vector<std::string> args = {testCase.argv0 ? substitute(*testCase.argv0, context)
                                                    : binary};
    for (const std::string& a : testCase.args) args.push_back(substitute(a, context));
    return runProcess(binary, args, env, input, capture.path(), context, testCase.timeoutSeconds,
                      testCase.signal, testCase.signalRegex);
}

std::vector<std::string> checkOutcome(const Case& testCase, const Context& context,
                                      const Outcome& outcome) {
    std::vector<std::string> failures;
    auto fail = [&](int line, const std::string& text) {
        failures.push_back(where(testCase.file, line) + text);
    };
    if (!outcome.error.empty())
        fail(outcome.errorLine ? outcome.errorLine : testCase.line, outcome.error);
    if (outcome.timedOut)
        fail(testCase.line, "no exit within " + std::to_string(testCase.timeoutSeconds) +
                                " s; the process group was killed");
    if (!failures.empty()) return failures;
    if (testCase.signal && !outcome.signalSent)
        fail(testCase.signalLine, "the signal was never sent: no line of stdout matched");
    if (!outcome.exited || outcome.exitCode != testCase.exitCode) {
        fail(testCase.exitLine, "exit code " + std::to_string(testCase.exitCode) +
                                    " expected, got " + exitText(outcome));
    }
    for (const Block& expect : testCase.outputs) {
        std::string path = substitute(expect.path, context);
        std::optional<std::string> text = expect.kind == "stdout" ? outcome.out
                                          : expect.kind == "stderr"
                                              ? outcome.err
                                              : readFile(fs::path(context.workDir) / path);
        std::string label = expect.kind == "file" ? "file " + path : expect.kind;
        if (!text) {
            fail(expect.line, label + ": the file is missing");
            continue;
        }
        std::vector<std::string> f =
            matchLines(expect, testCase.file, splitLines(*text), context, label);
        failures.insert(failures.end(), f.begin(), f.end());
    }
    for (const PathCheck& check : testCase.pathChecks) {
        std::string path = substitute(check.path, context);
        std::error_code ec;
        if (fs::exists(fs::symlink_status(fs::path(context.workDir) / path, ec)) !=
            check.mustExist) {
            fail(check.line, path + (check.mustExist ? ": expected to exist, but is missing"
                                                     : ": expected to be absent, but exists"));
        }
    }
    return failures;
}

std::string describeOutcome(const Case& testCase, const Context& context, const Outcome& outcome) {
    std::string out = "--- " + (outcome.error.empty() ? exitText(outcome) : outcome.error) + "\n";
    appendNumbered(&out, "stdout", outcome.out);
    appendNumbered(&out, "stderr", outcome.err);
    for (const Block& expect : testCase.outputs) {
        if (expect.kind != "file") continue;
        std::string path = substitute(expect.path, context);
        std::optional<std::string> text = readFile(fs::path(context.workDir) / path);
        if (text)
            appendNumbered(&out, "file " + path, *text);
        else
            out += "--- file " + path + ": missing\n";
    }
    return out;
}

TempDir::TempDir(const std::string& label) {
    const char* base = std::getenv("TMPDIR");
    std::string name = std::string(base && *base ? base : "/tmp") + "/tabrix-cli-";
    for (char c : label) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    name += "-XXXXXX";
    // The canonical path is what the process sees as its working directory.
    std::error_code ec;
    if (mkdtemp(name.data())) path_ = fs::canonical(name, ec).string();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty() && !keep_) fs::remove_all(path_, ec);
}

}  // namespace clicase

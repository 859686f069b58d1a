#include "clicase.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

namespace clicase {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBlanks = " \t";
// A stream that grows beyond this is a runaway process, not a result worth keeping.
constexpr size_t kMaxCapture = 64u << 20;
// Lines of one stream shown in a failure report.
constexpr size_t kMaxShownLines = 200;
constexpr int kMaxTimeoutSeconds = 3600;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimLeft(std::string_view s) {
    size_t i = s.find_first_not_of(kBlanks);
    return i == std::string_view::npos ? std::string_view() : s.substr(i);
}

std::string_view trim(std::string_view s) {
    s = trimLeft(s);
    size_t j = s.find_last_not_of(kBlanks);
    return j == std::string_view::npos ? std::string_view() : s.substr(0, j + 1);
}

std::string where(const std::string& file, int line) {
    return file + ":" + std::to_string(line);
}

bool isEnvName(std::string_view s) {
    if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) {
        return false;
    }
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

// Case and file names become gtest names: letters, digits, "_" and "-", not leading "_"/"-".
bool isCaseName(std::string_view s) {
    if (s.empty() || !std::isalnum(static_cast<unsigned char>(s[0]))) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
    });
}

// Splits a directive's arguments into words: blanks separate words, "..." groups with \" and
// \\ as escapes, '...' groups literally; adjacent pieces join into one word.
std::optional<std::string> splitWords(std::string_view s, std::vector<std::string>* words) {
    size_t i = 0;
    const size_t n = s.size();
    while (true) {
        while (i < n && isBlank(s[i])) ++i;
        if (i == n) return std::nullopt;
        std::string word;
        while (i < n && !isBlank(s[i])) {
            const char c = s[i];
            if (c != '"' && c != '\'') {
                word += c;
                ++i;
                continue;
            }
            ++i;
            while (i < n && s[i] != c) {
                if (c == '"' && s[i] == '\\' && i + 1 < n &&
                    (s[i + 1] == '"' || s[i + 1] == '\\')) {
                    ++i;
                }
                word += s[i++];
            }
            if (i == n) return std::string("unterminated ") + c + " quote";
            ++i;
        }
        words->push_back(std::move(word));
    }
}

// Reports a ${NAME} token that substitute() would not replace.
std::optional<std::string> tokenError(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 3, "$${") == 0) {
            i += 2;
            continue;
        }
        if (s.compare(i, 2, "${") != 0) continue;
        size_t close = s.find('}', i);
        if (close == std::string_view::npos) return "unterminated ${ token";
        std::string_view name = s.substr(i + 2, close - i - 2);
        if (name != "WORKDIR" && name != "BINDIR") {
            return "unknown token ${" + std::string(name) + "} (known: ${WORKDIR}, ${BINDIR})";
        }
        i = close;
    }
    return std::nullopt;
}

std::string regexEscape(std::string_view s) {
    static const std::string_view kSpecial = "\\^$.|?*+()[]{}/";
    std::string out;
    for (char c : s) {
        if (kSpecial.find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

// A regex line must compile whatever the tokens stand for; escaped values cannot change that,
// so any stand-in value checks it.
std::optional<std::string> regexError(const std::string& text) {
    try {
        std::regex re(substitute(text, Context{"/w", "/b"}, true), std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
        return std::string("invalid regular expression: ") + e.what();
    }
    return std::nullopt;
}

// A relative path that stays inside the work directory.
bool isInsidePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    fs::path p(path);
    return std::none_of(p.begin(), p.end(), [](const fs::path& part) { return part == ".."; });
}

class Parser {
  public:
    explicit Parser(std::string fileName) : file_(std::move(fileName)) {}

    ParseResult run(std::string_view text) {
        int lineNo = 0;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t eol = text.find('\n', pos);
            if (eol == std::string_view::npos) eol = text.size();
            std::string_view line = text.substr(pos, eol - pos);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            pos = eol + 1;
            parseLine(line, ++lineNo);
        }
        finishCase();
        if (result_.cases.empty() && result_.errors.empty()) {
            error(lineNo == 0 ? 1 : lineNo, "the file holds no case");
        }
        return std::move(result_);
    }

  private:
    enum class Block { kNone, kStdin, kCreate, kOutput };

    void error(int line, const std::string& text) {
        result_.errors.push_back(where(file_, line) + ": " + text);
    }

    void parseLine(std::string_view raw, int lineNo) {
        std::string_view line = trimLeft(raw);
        if (line.empty()) {
            block_ = Block::kNone;
            return;
        }
        if (line[0] == '#') return;
        size_t end = line.find_first_of(kBlanks);
        std::string_view word = line.substr(0, end);
        std::string_view rest =
            end == std::string_view::npos ? std::string_view() : line.substr(end);
        if (word == "|" || word == "~" || word == "!" || word == "!~" || word == "...") {
            parseContent(word, rest, lineNo);
            return;
        }
        block_ = Block::kNone;
        parseDirective(std::string(word), rest, lineNo);
    }

    void parseContent(std::string_view marker, std::string_view rest, int lineNo) {
        // One blank separates the marker from the text; everything after it is the text.
        std::string text(rest.empty() ? rest : rest.substr(1));
        if (block_ == Block::kNone || !current_) {
            error(lineNo, "content line '" + std::string(marker) +
                              "' outside a block (stdin, create, stdout, stderr or file)");
            return;
        }
        if (auto err = tokenError(text)) {
            error(lineNo, *err);
            return;
        }
        if (block_ == Block::kStdin || block_ == Block::kCreate) {
            if (marker != "|") {
                error(lineNo, "only '|' lines belong in a stdin or create block");
                return;
            }
            TextBlock& target =
                block_ == Block::kStdin ? *current_->stdinData : current_->setup.back().content;
            target.lines.push_back(std::move(text));
            return;
        }
        OutputExpect& out = current_->outputs.back();
        ContentLine content{LineKind::kLiteral, std::move(text), lineNo};
        if (marker == "...") {
            if (!trim(rest).empty()) {
                error(lineNo, "'...' takes no text");
                return;
            }
            if (!out.exact) {
                error(lineNo, "'...' belongs in exact blocks only; other blocks allow gaps");
                return;
            }
            content.kind = LineKind::kGap;
            content.text.clear();
        } else if (marker == "~" || marker == "!~") {
            content.kind = marker == "~" ? LineKind::kRegex : LineKind::kAbsentRegex;
            if (auto err = regexError(content.text)) {
                error(lineNo, *err);
                return;
            }
        } else if (marker == "!") {
            content.kind = LineKind::kAbsent;
        }
        out.lines.push_back(std::move(content));
    }

    // Words after the directive, with `options` (e.g. "exact") removed into *given.
    bool words(std::string_view rest, int lineNo, std::vector<std::string>* out) {
        if (auto err = splitWords(rest, out)) {
            error(lineNo, *err);
            return false;
        }
        for (const std::string& w : *out) {
            if (auto err = tokenError(w)) {
                error(lineNo, *err);
                return false;
            }
        }
        return true;
    }

    // Parses "<one word> [option]"; `option` is the only flag word accepted after the word.
    bool wordAndOption(const std::string& directive, std::string_view rest, int lineNo,
                       const std::string& option, std::string* word, bool* hasOption) {
        std::vector<std::string> w;
        if (!words(rest, lineNo, &w)) return false;
        size_t needed = word ? 1 : 0;
        *hasOption = w.size() == needed + 1 && !option.empty() && w.back() == option;
        if (w.size() != needed + (*hasOption ? 1 : 0)) {
            std::string form = directive + (word ? " <word>" : "");
            if (!option.empty()) form += " [" + option + "]";
            error(lineNo, "expected: " + form);
            return false;
        }
        if (word) *word = w[0];
        return true;
    }

    bool parseNumber(std::string_view rest, int lineNo, const std::string& directive, int low,
                     int high, int* value) {
        std::string s(trim(rest));
        char* end = nullptr;
        errno = 0;
        long v = s.empty() ? 0 : std::strtol(s.c_str(), &end, 10);
        if (s.empty() || *end != '\0' || errno != 0 || v < low || v > high) {
            error(lineNo, directive + " needs a number from " + std::to_string(low) + " to " +
                              std::to_string(high) + ", not '" + s + "'");
            return false;
        }
        *value = static_cast<int>(v);
        return true;
    }

    void parseDirective(const std::string& word, std::string_view rest, int lineNo) {
        if (word == "case") {
            startCase(rest, lineNo);
            return;
        }
        static const char* const kKnown[] = {
            "args",    "argv0",  "env",    "unset", "require", "stdin",  "create", "mkdir", "exit",
            "timeout", "stdout", "stderr", "file",  "exists",  "absent", "setup",  "signal"};
        if (std::find(std::begin(kKnown), std::end(kKnown), word) == std::end(kKnown)) {
            error(lineNo, "unknown directive '" + word + "'");
            return;
        }
        if (!current_) {
            error(lineNo, "'" + word + "' before the first case");
            return;
        }
        Case& c = *current_;
        std::vector<std::string> w;
        bool option = false;
        std::string one;
        if (word == "args") {
            if (words(rest, lineNo, &w)) c.args.insert(c.args.end(), w.begin(), w.end());
        } else if (word == "argv0") {
            if (wordAndOption(word, rest, lineNo, "", &one, &option)) c.argv0 = one;
        } else if (word == "env") {
            parseEnv(trimLeft(rest), lineNo);
        } else if (word == "unset" || word == "require") {
            if (!words(rest, lineNo, &w)) return;
            if (w.empty()) error(lineNo, word + " needs variable names");
            for (const std::string& name : w) {
                if (!isEnvName(name)) {
                    error(lineNo, "invalid variable name '" + name + "'");
                } else if (word == "unset") {
                    c.env.push_back(EnvEdit{name, std::nullopt});
                } else {
                    c.requiredEnv.push_back(name);
                }
            }
        } else if (word == "stdin") {
            if (!wordAndOption(word, rest, lineNo, "noeol", nullptr, &option)) return;
            if (c.stdinData) {
                error(lineNo, "second stdin block in case '" + c.name + "'");
                return;
            }
            c.stdinData = TextBlock{{}, !option, lineNo};
            block_ = Block::kStdin;
        } else if (word == "create" || word == "mkdir") {
            const bool isDir = word == "mkdir";
            if (!wordAndOption(word, rest, lineNo, isDir ? "" : "noeol", &one, &option)) return;
            if (!isInsidePath(one) || one.find("${") != std::string::npos) {
                error(lineNo,
                      word + " needs a relative path inside the work directory, not '" + one + "'");
                return;
            }
            c.setup.push_back(SetupFile{one, isDir, TextBlock{{}, !option, lineNo}});
            if (!isDir) block_ = Block::kCreate;
        } else if (word == "exit") {
            if (c.exitLine != 0) {
                error(lineNo, "second exit in case '" + c.name + "'");
                return;
            }
            if (parseNumber(rest, lineNo, word, 0, 255, &c.exitCode)) c.exitLine = lineNo;
        } else if (word == "timeout") {
            parseNumber(rest, lineNo, word, 1, kMaxTimeoutSeconds, &c.timeoutSeconds);
        } else if (word == "setup") {
            if (!words(rest, lineNo, &w)) return;
            if (w.empty()) {
                error(lineNo, "setup needs a command");
            } else {
                c.commands.push_back(SetupCommand{w, lineNo});
            }
        } else if (word == "signal") {
            parseSignal(trimLeft(rest), lineNo);
        } else if (word == "stdout" || word == "stderr" || word == "file") {
            const bool isFile = word == "file";
            if (!wordAndOption(word, rest, lineNo, "exact", isFile ? &one : nullptr, &option)) {
                return;
            }
            Source source =
                isFile ? Source::kFile : (word == "stdout" ? Source::kStdout : Source::kStderr);
            c.outputs.push_back(OutputExpect{source, one, option, lineNo, {}});
            block_ = Block::kOutput;
        } else {  // exists, absent
            if (!words(rest, lineNo, &w)) return;
            if (w.empty()) error(lineNo, word + " needs paths");
            for (const std::string& path : w) {
                c.pathChecks.push_back(PathCheck{path, word == "exists", lineNo});
            }
        }
    }

    void parseSignal(std::string_view rest, int lineNo) {
        static const std::map<std::string, int> kSignals = {{"INT", SIGINT},   {"TERM", SIGTERM},
                                                            {"HUP", SIGHUP},   {"QUIT", SIGQUIT},
                                                            {"USR1", SIGUSR1}, {"USR2", SIGUSR2}};
        size_t end = rest.find_first_of(kBlanks);
        std::string name(rest.substr(0, end));
        std::string regex(end == std::string_view::npos ? "" : trimLeft(rest.substr(end)));
        auto known = kSignals.find(name);
        if (known == kSignals.end() || regex.empty()) {
            error(lineNo, "expected: signal INT|TERM|HUP|QUIT|USR1|USR2 <regex>");
            return;
        }
        if (current_->signal) {
            error(lineNo, "second signal in case '" + current_->name + "'");
            return;
        }
        if (auto err = tokenError(regex)) {
            error(lineNo, *err);
            return;
        }
        if (auto err = regexError(regex)) {
            error(lineNo, *err);
            return;
        }
        current_->signal = SignalPlan{name, known->second, regex, lineNo};
    }

    void parseEnv(std::string_view rest, int lineNo) {
        size_t eq = rest.find('=');
        std::string name(trim(rest.substr(0, eq)));
        if (eq == std::string_view::npos || !isEnvName(name)) {
            error(lineNo, "expected: env NAME=value");
            return;
        }
        std::string value(rest.substr(eq + 1));
        if (auto err = tokenError(value)) {
            error(lineNo, *err);
            return;
        }
        current_->env.push_back(EnvEdit{name, value});
    }

    void startCase(std::string_view rest, int lineNo) {
        finishCase();
        std::string name(trim(rest));
        if (!isCaseName(name)) {
            error(lineNo, "invalid case name '" + name +
                              "' (letters, digits, '_' and '-', beginning with a letter or digit)");
        } else if (!names_.insert(name).second) {
            error(lineNo, "second case named '" + name + "'");
        }
        current_ = Case{};
        current_->file = file_;
        current_->name = name;
        current_->line = lineNo;
    }

    void finishCase() {
        if (!current_) return;
        if (current_->exitLine == 0) {
            error(current_->line, "case '" + current_->name + "' has no exit directive");
        }
        result_.cases.push_back(std::move(*current_));
        current_.reset();
        block_ = Block::kNone;
    }

    std::string file_;
    ParseResult result_;
    std::optional<Case> current_;
    Block block_ = Block::kNone;
    std::set<std::string> names_;
};

}  // namespace

ParseResult parseCases(std::string_view text, const std::string& fileName) {
    return Parser(fileName).run(text);
}

ParseResult parseCaseFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    if (!in) {
        ParseResult r;
        r.errors.push_back(path + ": cannot read the file: " + std::strerror(errno));
        return r;
    }
    return parseCases(text.str(), path);
}

std::string substitute(std::string_view text, const Context& context, bool escape) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 3, "$${") == 0) {
            out += "${";
            i += 3;
            continue;
        }
        size_t close = text.compare(i, 2, "${") == 0 ? text.find('}', i) : std::string::npos;
        std::string_view name =
            close == std::string::npos ? std::string_view() : text.substr(i + 2, close - i - 2);
        const std::string* value = name == "WORKDIR"  ? &context.workDir
                                   : name == "BINDIR" ? &context.binDir
                                                      : nullptr;
        if (!value) {
            out += text[i++];
            continue;
        }
        out += escape ? regexEscape(*value) : *value;
        i = close + 1;
    }
    return out;
}

std::string blockText(const TextBlock& block, const Context& context) {
    std::string out;
    for (size_t i = 0; i < block.lines.size(); ++i) {
        out += substitute(block.lines[i], context);
        if (i + 1 < block.lines.size() || block.finalNewline) out += '\n';
    }
    return out;
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        lines.emplace_back(text.substr(pos, eol - pos));
        pos = eol + 1;
    }
    return lines;
}

// ---------------------------------------------------------------------------------------------
// Matching

namespace {

// One literal or regex expectation, ready to test lines.
class LineMatcher {
  public:
    LineMatcher(const ContentLine& source, const Context& context) : source_(&source) {
        const bool isRegex =
            source.kind == LineKind::kRegex || source.kind == LineKind::kAbsentRegex;
        text_ = substitute(source.text, context, isRegex);
        if (!isRegex) return;
        try {
            regex_.emplace(text_, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            error_ = e.what();
        }
    }

    bool matches(const std::string& line) const {
        if (!error_.empty()) return false;
        return regex_ ? std::regex_match(line, *regex_) : line == text_;
    }

    const ContentLine& source() const { return *source_; }
    const std::string& error() const { return error_; }

    // The expectation as written, and what it became when tokens were replaced.
    std::string show() const {
        static const char* const kMarkers[] = {"|", "~", "!", "!~", "..."};
        std::string s =
            std::string(kMarkers[static_cast<int>(source_->kind)]) + " " + source_->text;
        if (text_ != source_->text && source_->kind != LineKind::kRegex &&
            source_->kind != LineKind::kAbsentRegex) {
            s += "\n      which is: " + text_;
        }
        return s;
    }

  private:
    const ContentLine* source_;
    std::string text_;
    std::optional<std::regex> regex_;
    std::string error_;
};

using Segment = std::vector<LineMatcher>;

std::string showActual(const std::vector<std::string>& actual, size_t index) {
    return "output line " + std::to_string(index + 1) + ": " + actual[index];
}

// Index within `seg` of the first expectation that fails when `seg` is laid on `actual` from
// `start`, or seg.size() when all match.
size_t firstMismatch(const Segment& seg, const std::vector<std::string>& actual, size_t start) {
    for (size_t k = 0; k < seg.size(); ++k) {
        if (start + k >= actual.size() || !seg[k].matches(actual[start + k])) return k;
    }
    return seg.size();
}

class StreamMatcher {
  public:
    StreamMatcher(const OutputExpect& expect, const std::string& file,
                  const std::vector<std::string>& actual, const std::string& label)
        : expect_(expect), file_(file), actual_(actual), label_(label) {}

    std::vector<std::string> run(const Context& context) {
        std::vector<LineMatcher> absent;
        buildSegments(context, &absent);
        for (const Segment& seg : segments_) {
            for (const LineMatcher& m : seg) checkRegex(m);
        }
        for (const LineMatcher& m : absent) checkRegex(m);
        if (!failures_.empty()) return failures_;
        matchPositive();
        for (const LineMatcher& m : absent) {
            for (size_t i = 0; i < actual_.size(); ++i) {
                if (m.matches(actual_[i])) {
                    fail(m.source().line, "a line that must not occur is present\n  expected: " +
                                              m.show() + "\n  " + showActual(actual_, i));
                    break;
                }
            }
        }
        return failures_;
    }

  private:
    void fail(int line, const std::string& text) {
        failures_.push_back(where(file_, line) + ": " + label_ + ": " + text);
    }

    void checkRegex(const LineMatcher& m) {
        if (!m.error().empty()) fail(m.source().line, "invalid regular expression: " + m.error());
    }

    // Without `exact` every expectation is a segment of its own with gaps around it.
    void buildSegments(const Context& context, std::vector<LineMatcher>* absent) {
        leadingGap_ = trailingGap_ = !expect_.exact;
        bool afterGap = !expect_.exact;
        for (const ContentLine& line : expect_.lines) {
            switch (line.kind) {
                case LineKind::kAbsent:
                case LineKind::kAbsentRegex:
                    absent->emplace_back(line, context);
                    continue;
                case LineKind::kGap:
                    if (segments_.empty()) leadingGap_ = true;
                    afterGap = true;
                    trailingGap_ = true;
                    continue;
                default:
                    if (afterGap || segments_.empty()) segments_.emplace_back();
                    segments_.back().emplace_back(line, context);
                    afterGap = !expect_.exact;
                    trailingGap_ = !expect_.exact;
            }
        }
        hasGap_ = leadingGap_ || trailingGap_ || segments_.size() > 1;
    }

    void matchPositive() {
        if (!hasGap_) {
            static const Segment kNone;
            matchWhole(segments_.empty() ? kNone : segments_[0]);
            return;
        }
        size_t pos = 0;
        size_t end = actual_.size();
        size_t first = 0;
        size_t last = segments_.size();
        if (!leadingGap_ && last > 0) {
            if (!matchAnchored(segments_[0], 0, "first")) return;
            pos = segments_[0].size();
            first = 1;
        }
        if (!trailingGap_ && last > first) {
            const Segment& tail = segments_[last - 1];
            if (actual_.size() < pos + tail.size()) {
                fail(tail[0].source().line,
                     "the output ends too early: the last " + std::to_string(tail.size()) +
                         " line(s) expected from here need more lines after output line " +
                         std::to_string(pos) + " (output has " + std::to_string(actual_.size()) +
                         " lines)");
                return;
            }
            end = actual_.size() - tail.size();
            if (!matchAnchored(tail, end, "last")) return;
            --last;
        }
        for (size_t s = first; s < last; ++s) {
            const Segment& seg = segments_[s];
            size_t found = find(seg, pos, end);
            if (found == std::string::npos) {
                reportMissing(seg, pos, end);
                return;
            }
            pos = found + seg.size();
        }
    }

    size_t find(const Segment& seg, size_t from, size_t end) const {
        for (size_t p = from; p + seg.size() <= end; ++p) {
            if (firstMismatch(seg, actual_, p) == seg.size()) return p;
        }
        return std::string::npos;
    }

    // An exact block without "...": line k of the output against expectation k.
    void matchWhole(const Segment& seg) {
        for (size_t k = 0; k < std::max(seg.size(), actual_.size()); ++k) {
            if (k >= seg.size()) {
                fail(expect_.line, "exactly " + std::to_string(seg.size()) +
                                       " line(s) expected, but the output goes on\n  " +
                                       showActual(actual_, k));
                return;
            }
            if (k >= actual_.size()) {
                fail(seg[k].source().line, "the output ends after " + std::to_string(k) +
                                               " line(s)\n  expected: " + seg[k].show());
                return;
            }
            if (!seg[k].matches(actual_[k])) {
                fail(seg[k].source().line, "line differs\n  expected: " + seg[k].show() + "\n  " +
                                               showActual(actual_, k));
                return;
            }
        }
    }

    bool matchAnchored(const Segment& seg, size_t start, const char* which) {
        size_t k = firstMismatch(seg, actual_, start);
        if (k == seg.size()) return true;
        std::string text =
            std::string("the ") + which + " lines differ\n  expected: " + seg[k].show();
        text += start + k < actual_.size()
                    ? "\n  " + showActual(actual_, start + k)
                    : "\n  the output ends after " + std::to_string(actual_.size()) + " line(s)";
        fail(seg[k].source().line, text);
        return false;
    }

    void reportMissing(const Segment& seg, size_t pos, size_t end) {
        std::string range =
            pos < end ? "output lines " + std::to_string(pos + 1) + " to " + std::to_string(end)
                      : "no output lines";
        if (seg.size() == 1) {
            std::string text =
                "line not found (searched " + range + ")\n  expected: " + seg[0].show();
            size_t anywhere = find(seg, 0, actual_.size());
            if (anywhere != std::string::npos) {
                text += "\n  order: " + showActual(actual_, anywhere) +
                        " matches, outside the searched lines (a previous expectation matched "
                        "after it)";
            }
            fail(seg[0].source().line, text);
            return;
        }
        // Several adjacent lines: point at the longest run that does match.
        size_t bestStart = pos;
        size_t bestLen = 0;
        for (size_t p = pos; p < end; ++p) {
            size_t k = firstMismatch(seg, actual_, p);
            if (k > bestLen) {
                bestLen = k;
                bestStart = p;
            }
        }
        std::string text =
            std::to_string(seg.size()) + " adjacent lines not found (searched " + range + ")";
        if (bestLen > 0) {
            text += "\n  closest: " + std::to_string(bestLen) + " line(s) match from output line " +
                    std::to_string(bestStart + 1) + ", then\n  expected: " + seg[bestLen].show();
            text += bestStart + bestLen < actual_.size()
                        ? "\n  " + showActual(actual_, bestStart + bestLen)
                        : std::string("\n  but the output ends");
            fail(seg[bestLen].source().line, text);
        } else {
            fail(seg[0].source().line, text + "\n  expected: " + seg[0].show());
        }
    }

    const OutputExpect& expect_;
    const std::string& file_;
    const std::vector<std::string>& actual_;
    const std::string& label_;
    std::vector<Segment> segments_;
    bool leadingGap_ = false;
    bool trailingGap_ = false;
    bool hasGap_ = false;
    std::vector<std::string> failures_;
};

std::string sourceLabel(const OutputExpect& expect, const Context& context) {
    switch (expect.source) {
        case Source::kStdout:
            return "stdout";
        case Source::kStderr:
            return "stderr";
        default:
            return "file " + substitute(expect.path, context);
    }
}

std::string exitText(const Outcome& outcome) {
    if (outcome.timedOut) return "timed out";
    if (!outcome.exited) return "killed by signal " + std::to_string(outcome.signal);
    return "exit code " + std::to_string(outcome.exitCode);
}

void appendNumbered(std::string* out, const std::string& title, std::string_view text) {
    std::vector<std::string> lines = splitLines(text);
    *out += "--- " + title + ": ";
    if (lines.empty()) {
        *out += "empty\n";
        return;
    }
    *out += std::to_string(lines.size()) + " line(s)";
    if (text.back() != '\n') *out += ", no line feed after the last";
    *out += "\n";
    for (size_t i = 0; i < lines.size() && i < kMaxShownLines; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%5zu| ", i + 1);
        *out += number + lines[i] + "\n";
    }
    if (lines.size() > kMaxShownLines) {
        *out += "      ... " + std::to_string(lines.size() - kMaxShownLines) + " more line(s)\n";
    }
}

}  // namespace

std::vector<std::string> matchLines(const OutputExpect& expect, const std::string& file,
                                    const std::vector<std::string>& actual, const Context& context,
                                    const std::string& label) {
    return StreamMatcher(expect, file, actual, label).run(context);
}

std::vector<std::string> checkOutcome(const Case& testCase, const Context& context,
                                      const Outcome& outcome, const FileAccess& files) {
    std::vector<std::string> failures;
    auto fail = [&](int line, const std::string& text) {
        failures.push_back(where(testCase.file, line) + ": " + text);
    };
    if (!outcome.startError.empty()) {
        fail(testCase.line, "the process did not start: " + outcome.startError);
        return failures;
    }
    if (!outcome.captureError.empty()) {
        fail(testCase.line, outcome.captureError);
        return failures;
    }
    if (outcome.timedOut) {
        fail(testCase.line, "no exit within " + std::to_string(testCase.timeoutSeconds) +
                                " s; the process group was killed");
        return failures;
    }
    if (testCase.signal && !outcome.signalSent) {
        fail(testCase.signal->line,
             "signal " + testCase.signal->name + " was never sent: no line of stdout matched");
    }
    if (!outcome.exited || outcome.exitCode != testCase.exitCode) {
        fail(testCase.exitLine, "exit code " + std::to_string(testCase.exitCode) +
                                    " expected, got " + exitText(outcome));
    }
    for (const OutputExpect& expect : testCase.outputs) {
        std::string label = sourceLabel(expect, context);
        std::optional<std::string> text;
        if (expect.source == Source::kStdout) {
            text = outcome.out;
        } else if (expect.source == Source::kStderr) {
            text = outcome.err;
        } else {
            text = files.read(substitute(expect.path, context));
        }
        if (!text) {
            fail(expect.line, label + ": the file is missing or unreadable");
            continue;
        }
        std::vector<std::string> f =
            matchLines(expect, testCase.file, splitLines(*text), context, label);
        failures.insert(failures.end(), f.begin(), f.end());
    }
    for (const PathCheck& check : testCase.pathChecks) {
        std::string path = substitute(check.path, context);
        if (files.exists(path) != check.mustExist) {
            fail(check.line, path + (check.mustExist ? ": expected to exist, but is missing"
                                                     : ": expected to be absent, but exists"));
        }
    }
    return failures;
}

std::string describeOutcome(const Case& testCase, const Context& context, const Outcome& outcome,
                            const FileAccess& files) {
    std::string out;
    if (!outcome.startError.empty()) return "--- not started: " + outcome.startError + "\n";
    out += "--- " + exitText(outcome) + "\n";
    appendNumbered(&out, "stdout", outcome.out);
    appendNumbered(&out, "stderr", outcome.err);
    std::set<std::string> shown;
    for (const OutputExpect& expect : testCase.outputs) {
        if (expect.source != Source::kFile) continue;
        std::string path = substitute(expect.path, context);
        if (!shown.insert(path).second) continue;
        std::optional<std::string> text = files.read(path);
        if (text) {
            appendNumbered(&out, "file " + path, *text);
        } else {
            out += "--- file " + path + ": missing\n";
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Environment, work directory and setup files

std::vector<std::string> buildEnvironment(const std::vector<std::string>& inherited,
                                          const Case& testCase, const Context& context) {
    std::map<std::string, std::string> env = {
        {"PATH", "/usr/local/bin:/usr/bin:/bin"},
        {"HOME", context.workDir},
        {"LANG", "C.UTF-8"},
    };
    for (const std::string& entry : inherited) {
        size_t eq = entry.find('=');
        if (eq == std::string::npos) continue;
        std::string name = entry.substr(0, eq);
        const bool passed = name == "PATH" || name == "HOME" || name == "ASAN_OPTIONS" ||
                            name == "UBSAN_OPTIONS" || name == "LSAN_OPTIONS" ||
                            name.rfind("PG", 0) == 0 || name.rfind("dbs_", 0) == 0;
        if (passed) env[name] = entry.substr(eq + 1);
    }
    for (const EnvEdit& edit : testCase.env) {
        if (edit.value) {
            env[edit.name] = substitute(*edit.value, context);
        } else {
            env.erase(edit.name);
        }
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : env) result.push_back(name + "=" + value);
    return result;
}

std::vector<std::string> createSetupFiles(const Case& testCase, const Context& context) {
    std::vector<std::string> errors;
    for (const SetupFile& setup : testCase.setup) {
        fs::path path = fs::path(context.workDir) / setup.path;
        std::error_code ec;
        fs::create_directories(setup.directory ? path : path.parent_path(), ec);
        if (ec) {
            errors.push_back(where(testCase.file, setup.content.line) + ": cannot create " +
                             path.string() + ": " + ec.message());
            continue;
        }
        if (setup.directory) continue;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << blockText(setup.content, context);
        out.close();
        if (!out) {
            errors.push_back(where(testCase.file, setup.content.line) + ": cannot write " +
                             path.string());
        }
    }
    return errors;
}

FileAccess diskFiles(const std::string& workDir) {
    auto resolve = [workDir](const std::string& path) {
        return path.starts_with("/") ? fs::path(path) : fs::path(workDir) / path;
    };
    FileAccess access;
    access.exists = [resolve](const std::string& path) {
        std::error_code ec;
        return fs::exists(fs::symlink_status(resolve(path), ec));
    };
    access.read = [resolve](const std::string& path) -> std::optional<std::string> {
        fs::path p = resolve(path);
        std::error_code ec;
        if (!fs::is_regular_file(p, ec)) return std::nullopt;
        std::ifstream in(p, std::ios::binary);
        if (!in) return std::nullopt;
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    };
    return access;
}

TempDir::TempDir(const std::string& label) {
    const char* base = std::getenv("TMPDIR");
    std::string name = std::string(base && *base ? base : "/tmp") + "/tabrix-cli-";
    for (char c : label) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    name += "-XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        error_ = "mkdtemp " + name + ": " + std::strerror(errno);
        return;
    }
    // The canonical path is what the process sees as its working directory.
    std::error_code ec;
    fs::path canonical = fs::canonical(buffer.data(), ec);
    path_ = ec ? std::string(buffer.data()) : canonical.string();
}

TempDir::~TempDir() {
    if (path_.empty() || keep_) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

// ---------------------------------------------------------------------------------------------
// Running the process

namespace {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

bool makePipe(Pipe* pipe, std::string* error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    pipe->read = UniqueFd(fds[0]);
    pipe->write = UniqueFd(fds[1]);
    return true;
}

void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A started child in its own process group. Until it has been waited for, destruction kills
// the whole group and reaps the child, so no error path leaves a process behind.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    ~ChildProcess() {
        if (reaped_) return;
        killGroup();
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void killGroup() {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
    }

    // Waits until the child ends or the deadline passes; true when it ended.
    bool waitUntil(std::chrono::steady_clock::time_point deadline, int* status) {
        while (true) {
            pid_t r = ::waitpid(pid_, status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                return true;
            }
            if (r < 0 && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

  private:
    pid_t pid_;
    bool reaped_ = false;
};

// Writing to a child that no longer reads its input must fail with EPIPE instead of ending
// the runner; the previous disposition comes back when the run is over.
class IgnoreSigpipe {
  public:
    IgnoreSigpipe() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &previous_);
    }
    ~IgnoreSigpipe() { ::sigaction(SIGPIPE, &previous_, nullptr); }
    IgnoreSigpipe(const IgnoreSigpipe&) = delete;
    IgnoreSigpipe& operator=(const IgnoreSigpipe&) = delete;

  private:
    struct sigaction previous_ {};
};

// Everything the child needs, prepared before fork so that the child only makes system calls.
struct ExecPlan {
    std::string binary;
    std::string workDir;
    std::vector<std::string> argStrings;
    std::vector<std::string> envStrings;
    std::vector<char*> argv;
    std::vector<char*> envp;

    void seal() {
        for (std::string& s : argStrings) argv.push_back(s.data());
        argv.push_back(nullptr);
        for (std::string& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
    }
};

// Moves `fd` onto `target` without the close-on-exec flag.
void moveFd(int fd, int target) {
    if (fd == target) {
        ::fcntl(fd, F_SETFD, 0);
    } else {
        ::dup2(fd, target);
    }
}

[[noreturn]] void execChild(const ExecPlan& plan, int in, int out, int err, int status) {
    ::setpgid(0, 0);
    moveFd(in, STDIN_FILENO);
    moveFd(out, STDOUT_FILENO);
    moveFd(err, STDERR_FILENO);
    // The runner ignores SIGPIPE; the tool must start with the usual dispositions and mask.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::chdir(plan.workDir.c_str()) == 0) {
        ::execve(plan.binary.c_str(), plan.argv.data(), plan.envp.data());
    }
    int e = errno;
    ssize_t ignored = ::write(status, &e, sizeof e);
    (void)ignored;
    ::_exit(127);
}

// Feeds standard input and collects both output streams until the child closes them or the
// deadline passes. Returns false on timeout.
bool pump(UniqueFd* in, const std::string& input, UniqueFd* out, UniqueFd* err,
          std::chrono::steady_clock::time_point deadline, Outcome* outcome,
          const std::function<void()>& stdoutGrew) {
    size_t written = 0;
    if (input.empty()) in->reset();
    char buffer[65536];
    while (out->valid() || err->valid()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd fds[3];
        UniqueFd* owners[3];
        std::string* sinks[3];
        nfds_t n = 0;
        for (auto [fd, sink] : {std::pair{out, &outcome->out}, std::pair{err, &outcome->err}}) {
            if (!fd->valid()) continue;
            fds[n] = pollfd{fd->get(), POLLIN, 0};
            owners[n] = fd;
            sinks[n++] = sink;
        }
        if (in->valid()) {
            fds[n] = pollfd{in->get(), POLLOUT, 0};
            owners[n] = in;
            sinks[n++] = nullptr;
        }
        int ready = ::poll(fds, n, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) {
            outcome->captureError = std::string("poll: ") + std::strerror(errno);
            return true;
        }
        for (nfds_t i = 0; ready > 0 && i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (!sinks[i]) {
                ssize_t w = ::write(in->get(), input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                // A child that ends without reading all its input is not an error of the runner.
                if (written == input.size() || (w < 0 && errno != EAGAIN && errno != EINTR)) {
                    in->reset();
                }
                continue;
            }
            ssize_t r = ::read(fds[i].fd, buffer, sizeof buffer);
            if (r > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(r));
                if (sinks[i] == &outcome->out && stdoutGrew) stdoutGrew();
                if (sinks[i]->size() > kMaxCapture) {
                    outcome->captureError = "more than " + std::to_string(kMaxCapture >> 20) +
                                            " MiB of output on one stream; the process was killed";
                    return false;
                }
            } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                owners[i]->reset();
            }
        }
    }
    return true;
}

}  // namespace

Outcome runCase(const Case& testCase, const std::string& binary, const Context& context,
                const std::vector<std::string>& inherited) {
    Outcome outcome;
    ExecPlan plan;
    plan.binary = binary;
    plan.workDir = context.workDir;
    plan.argStrings.push_back(testCase.argv0 ? substitute(*testCase.argv0, context) : binary);
    for (const std::string& arg : testCase.args)
        plan.argStrings.push_back(substitute(arg, context));
    plan.envStrings = buildEnvironment(inherited, testCase, context);
    plan.seal();
    const std::string input =
        testCase.stdinData ? blockText(*testCase.stdinData, context) : std::string();

    IgnoreSigpipe sigpipe;
    Pipe in, out, err, status;
    if (!makePipe(&in, &outcome.startError) || !makePipe(&out, &outcome.startError) ||
        !makePipe(&err, &outcome.startError) || !makePipe(&status, &outcome.startError)) {
        return outcome;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(testCase.timeoutSeconds);
    pid_t pid = ::fork();
    if (pid < 0) {
        outcome.startError = std::string("fork: ") + std::strerror(errno);
        return outcome;
    }
    if (pid == 0)
        execChild(plan, in.read.get(), out.write.get(), err.write.get(), status.write.get());
    ChildProcess child(pid);
    ::setpgid(pid, pid);  // also done by the child; whichever runs first wins the race
    in.read.reset();
    out.write.reset();
    err.write.reset();
    status.write.reset();

    // The status pipe closes on a successful exec and carries errno otherwise.
    int execErrno = 0;
    ssize_t got;
    while ((got = ::read(status.read.get(), &execErrno, sizeof execErrno)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof execErrno)) {
        outcome.startError =
            "cannot execute " + binary + " in " + context.workDir + ": " + std::strerror(execErrno);
        return outcome;
    }
    setNonBlocking(in.write.get());
    setNonBlocking(out.read.get());
    setNonBlocking(err.read.get());
    // Sends the case's signal at the first complete stdout line that matches its regex.
    std::function<void()> stdoutGrew;
    std::optional<std::regex> signalLine;
    size_t scanned = 0;
    if (testCase.signal) {
        signalLine.emplace(substitute(testCase.signal->regex, context, true),
                           std::regex::ECMAScript);
        stdoutGrew = [&]() {
            size_t eol;
            while (!outcome.signalSent &&
                   (eol = outcome.out.find('\n', scanned)) != std::string::npos) {
                std::string line = outcome.out.substr(scanned, eol - scanned);
                scanned = eol + 1;
                if (std::regex_match(line, *signalLine)) {
                    ::kill(pid, testCase.signal->number);
                    outcome.signalSent = true;
                }
            }
        };
    }
    bool inTime = pump(&in.write, input, &out.read, &err.read, deadline, &outcome, stdoutGrew);
    in.write.reset();
    int waitStatus = 0;
    if (!inTime || !child.waitUntil(deadline, &waitStatus)) {
        outcome.timedOut = outcome.captureError.empty();
        return outcome;  // the child's destructor kills the group and reaps it
    }
    if (WIFEXITED(waitStatus)) {
        outcome.exited = true;
        outcome.exitCode = WEXITSTATUS(waitStatus);
    } else if (WIFSIGNALED(waitStatus)) {
        outcome.signal = WTERMSIG(waitStatus);
    }
    return outcome;
}

std::vector<std::string> runSetupCommands(const Case& testCase, const Context& context,
                                          const std::vector<std::string>& inherited) {
    std::string path = "/usr/local/bin:/usr/bin:/bin";
    for (const std::string& entry : buildEnvironment(inherited, testCase, context)) {
        if (entry.starts_with("PATH=")) path = entry.substr(5);
    }
    for (const SetupCommand& command : testCase.commands) {
        Case setup;
        setup.file = testCase.file;
        setup.line = command.line;
        setup.env = testCase.env;
        setup.timeoutSeconds = testCase.timeoutSeconds;
        setup.argv0 = command.words[0];
        setup.args.assign(command.words.begin() + 1, command.words.end());
        std::string program = substitute(command.words[0], context);
        for (size_t start = 0; program.find('/') == std::string::npos && start <= path.size();) {
            size_t colon = std::min(path.find(':', start), path.size());
            std::string candidate = path.substr(start, colon - start) + "/" + program;
            if (::access(candidate.c_str(), X_OK) == 0) program = candidate;
            start = colon + 1;
        }
        Outcome o = runCase(setup, program, context, inherited);
        if (o.startError.empty() && o.exited && o.exitCode == 0) continue;
        std::string report =
            where(testCase.file, command.line) + ": setup command '" + command.words[0] +
            "' failed: " + (o.startError.empty() ? exitText(o) : o.startError) + "\n";
        appendNumbered(&report, "stdout", o.out);
        appendNumbered(&report, "stderr", o.err);
        return {report};
    }
    return {};
}

}  // namespace clicase

// PostgreSQL's text of the tool's statements (dbif_pgsqltext.h, docs/identifiers.md).
#include "dbif_pgsqltext.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "ulstring.h"

namespace {

bool isIdentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

bool isWordStart(char c) {
    return isIdentChar(c) && c != '$' && !(c >= '0' && c <= '9');
}

// PostgreSQL folds only ASCII letters of identifiers in UTF-8 databases; so does the rule.
char inCase(char c, dbif_pgnamecase names) {
    if (names == dbif_pgnamecase::lower && c >= 'A' && c <= 'Z') return static_cast<char>(c + 32);
    if (names == dbif_pgnamecase::upper && c >= 'a' && c <= 'z') return static_cast<char>(c - 32);
    return c;
}

// The end of the quoted text that starts at in[pos] (a quote character), behind the closing
// quote; a doubled quote stands for itself, and backslash escapes apply in E'...' literals.
size_t skipQuoted(const std::string& in, size_t pos, bool backslashEscapes) {
    char quote = in[pos];
    size_t i = pos + 1;
    while (i < in.size()) {
        if (backslashEscapes && in[i] == '\\') {
            i += 2;
        } else if (in[i] == quote) {
            if (i + 1 < in.size() && in[i + 1] == quote) {
                i += 2;
            } else {
                return i + 1;
            }
        } else {
            ++i;
        }
    }
    return in.size();
}

// The end of a dollar-quoted literal starting at in[pos] ("$tag$...$tag$"), or pos when the
// dollar sign does not open one (a $1 parameter, a dollar inside an identifier).
size_t skipDollarQuoted(const std::string& in, size_t pos) {
    if (pos > 0 && isIdentChar(in[pos - 1])) return pos;
    size_t i = pos + 1;
    if (i < in.size() && in[i] >= '0' && in[i] <= '9') return pos;
    while (i < in.size() && in[i] != '$' && isIdentChar(in[i])) ++i;
    if (i >= in.size() || in[i] != '$') return pos;
    std::string tag = in.substr(pos, i + 1 - pos);
    size_t close = in.find(tag, i + 1);
    return close == std::string::npos ? in.size() : close + tag.size();
}

// The end of a block comment starting at in[pos] ("/*"); PostgreSQL's block comments nest.
size_t skipBlockComment(const std::string& in, size_t pos) {
    int depth = 0;
    size_t i = pos;
    while (i + 1 < in.size()) {
        if (in[i] == '/' && in[i + 1] == '*') {
            ++depth;
            i += 2;
        } else if (in[i] == '*' && in[i + 1] == '/') {
            i += 2;
            if (--depth == 0) return i;
        } else {
            ++i;
        }
    }
    return in.size();
}

// The end of the hint phrase at in[pos], behind its closing bracket; npos when it has none.
constexpr char kHint[] = "#DBIF_HINT(";
size_t skipHint(const std::string& in, size_t pos) {
    int depth = 1;
    size_t j = pos + sizeof kHint - 1;  // behind the opening bracket
    while (j < in.size()) {
        if (in[j] == '\'' || in[j] == '"') {
            j = skipQuoted(in, j, false);
            continue;
        }
        if (in[j] == '(') ++depth;
        if (in[j] == ')' && --depth == 0) return j + 1;
        ++j;
    }
    return std::string::npos;
}

// The upper-case words that PostgreSQL must see unquoted: the keywords of the tool's statements
// (queries, modifications, the table definitions of its own tables) and of the conditions
// users give (preselect, orderby). Each is reserved by PostgreSQL or by standard SQL, so no
// application names a table or column like it without quoting; words that are not (VERSION,
// TEXT, KEY, VALUE, ...) are names. Any other keyword, type or function is written in lower
// case, or, for functions and types with a length, directly followed by "(". Sorted.
constexpr std::string_view kKeywords[] = {
    "ADD",     "ALL",     "AND",    "ANY",      "AS",        "ASC",       "BETWEEN",   "BIGINT",
    "BOOLEAN", "BY",      "CASE",   "CHAR",     "CHARACTER", "COLUMN",    "CREATE",    "DATE",
    "DECIMAL", "DEFAULT", "DELETE", "DESC",     "DISTINCT",  "DOUBLE",    "DROP",      "ELSE",
    "END",     "ESCAPE",  "EXCEPT", "EXISTS",   "FALSE",     "FLOAT",     "FOR",       "FROM",
    "GROUP",   "HAVING",  "IN",     "INNER",    "INSERT",    "INT",       "INTEGER",   "INTERSECT",
    "INTO",    "IS",      "JOIN",   "LEFT",     "LIKE",      "NOT",       "NULL",      "NUMERIC",
    "ON",      "OR",      "ORDER",  "OUTER",    "OVER",      "PARTITION", "PRECISION", "PRIMARY",
    "REAL",    "SELECT",  "SET",    "SMALLINT", "TABLE",     "THEN",      "TIME",      "TIMESTAMP",
    "TRUE",    "UNION",   "UNIQUE", "UPDATE",   "VALUES",    "VARCHAR",   "VARYING",   "WHEN",
    "WHERE",   "WITH",
};
static_assert(std::is_sorted(std::begin(kKeywords), std::end(kKeywords)));

// Keywords only after a certain word: PRIMARY KEY, DROP TABLE IF EXISTS, CREATE UNIQUE INDEX.
// (The first word of a statement, and the kind of object after CREATE, DROP and ALTER, are
// keywords too.)
struct ContextKeyword {
    std::string_view word;
    std::string_view after;
};
constexpr ContextKeyword kContextKeywords[] = {
    {"KEY", "PRIMARY"}, {"IF", "TABLE"}, {"IF", "INDEX"}, {"INDEX", "UNIQUE"}};

// Words after which a word directly followed by "(" is a table, not a function.
constexpr std::string_view kTableBeforeColumns[] = {"INTO", "TABLE", "EXISTS"};

bool isKeyword(std::string_view word, std::string_view previous) {
    if (std::binary_search(std::begin(kKeywords), std::end(kKeywords), word)) return true;
    if (previous == "CREATE" || previous == "DROP" || previous == "ALTER") return true;
    return std::any_of(
        std::begin(kContextKeywords), std::end(kContextKeywords),
        [&](const ContextKeyword& k) { return k.word == word && k.after == previous; });
}

class Converter {
  public:
    Converter(const std::string& in, dbif_pgnamecase names, std::string* out)
        : in_(in), names_(names), out_(out) {}

    // The word in_[pos, end): appended as it is or as a quoted name.
    void word(size_t pos, size_t end) {
        const std::string_view w(in_.data() + pos, end - pos);
        std::string upper(w);
        for (char& c : upper) c = inCase(c, dbif_pgnamecase::upper);
        const bool name = !statementStart_ && isName(w, upper, pos, end);
        statementStart_ = false;
        if (name) {
            out_->push_back('"');
            for (char c : w) out_->push_back(inCase(c, names_));
            out_->push_back('"');
            previous_.clear();
        } else {
            out_->append(w);
            previous_ = std::move(upper);
        }
    }

    // A quoted identifier in_[pos, end) in the case of the schema.
    void quotedName(size_t pos, size_t end) {
        for (size_t i = pos; i < end; ++i) out_->push_back(inCase(in_[i], names_));
        previous_.clear();
        statementStart_ = false;
    }

    // Any other character but blanks; ";" ends a statement.
    void other(char c) {
        previous_.clear();
        if (c == ';') statementStart_ = true;
    }

  private:
    char at(size_t i) const { return i < in_.size() ? in_[i] : '\0'; }

    // w as written, upper in upper case.
    bool isName(std::string_view w, const std::string& upper, size_t pos, size_t end) const {
        if (!std::any_of(w.begin(), w.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
            return false;  // PostgreSQL's own names are written in lower case
        const char next = at(end);
        if (next == '\'' ||
            (upper == "U" && next == '&' && (at(end + 1) == '\'' || at(end + 1) == '"')))
            return false;  // a literal's prefix: X'00', E'\n', U&'...'
        if (next == '.' || (pos > 0 && in_[pos - 1] == '.')) return true;
        if (next == '(') {
            return std::find(std::begin(kTableBeforeColumns), std::end(kTableBeforeColumns),
                             previous_) != std::end(kTableBeforeColumns);
        }
        return !isKeyword(upper, previous_);
    }

    const std::string& in_;
    dbif_pgnamecase names_;
    std::string* out_;
    std::string previous_;        // the previous word in upper case, when it was not a name
    bool statementStart_ = true;  // no word yet: the next one is the statement's verb
};

}  // namespace

bool dbif_pgparsenamecase(const char* value, dbif_pgnamecase* out) {
    std::string v = value && *value ? value : "upper";
    for (char& c : v) c = inCase(c, dbif_pgnamecase::lower);
    if (v != "upper" && v != "lower") return false;
    *out = v == "upper" ? dbif_pgnamecase::upper : dbif_pgnamecase::lower;
    return true;
}

long dbif_pgconvertsql(const char16_t* sql, bool numberMarkers, dbif_pgnamecase names,
                       std::string* out) {
    std::string in = ul_utf16to8(sql);
    out->clear();
    out->reserve(in.size() + in.size() / 4 + 16);
    Converter convert(in, names, out);
    long markers = 0;
    size_t i = 0;
    while (i < in.size()) {
        char c = in[i];
        char next = i + 1 < in.size() ? in[i + 1] : '\0';
        size_t end = i;
        if (c == '\'') {
            bool escapes = i > 0 && (in[i - 1] == 'E' || in[i - 1] == 'e') &&
                           (i < 2 || !isIdentChar(in[i - 2]));
            end = skipQuoted(in, i, escapes);
        } else if (c == '"') {
            end = skipQuoted(in, i, false);
            convert.quotedName(i, end);
            i = end;
            continue;
        } else if (isWordStart(c) || (c >= '0' && c <= '9')) {
            while (++end < in.size() && isIdentChar(in[end])) {
            }
            if (isWordStart(c)) {
                convert.word(i, end);
                i = end;
                continue;
            }
            convert.other(c);  // a number, copied below
        } else if (c == '-' && next == '-') {
            end = in.find('\n', i);
            if (end == std::string::npos) end = in.size();
        } else if (c == '/' && next == '*') {
            end = skipBlockComment(in, i);
        } else if (c == '$') {
            end = skipDollarQuoted(in, i);
        } else if (c == '#' && in.compare(i, sizeof kHint - 1, kHint) == 0) {
            end = skipHint(in, i);
            if (end == std::string::npos) return -1;
            out->push_back(' ');
            i = end;
            continue;
        } else if (c == '?' && numberMarkers) {
            ++markers;
            out->push_back('$');
            out->append(std::to_string(markers));
            ++i;
            convert.other(c);
            continue;
        }
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && !isIdentChar(c)) convert.other(c);
        if (end > i) {
            out->append(in, i, end - i);
            i = end;
        } else {
            out->push_back(c);
            ++i;
        }
    }
    return markers;
}

std::u16string dbif_pgschemaname(const std::u16string& name, dbif_pgnamecase names) {
    std::u16string out = name;
    for (char16_t& c : out)
        if (c < 0x80) c = static_cast<unsigned char>(inCase(static_cast<char>(c), names));
    return out;
}

bool dbif_pgiscursorquery(const std::string& sql) {
    size_t i = 0;
    while (i < sql.size()) {
        if (sql[i] == ' ' || sql[i] == '\t' || sql[i] == '\n' || sql[i] == '\r') {
            ++i;
        } else if (sql.compare(i, 2, "--") == 0) {
            i = sql.find('\n', i);
            if (i == std::string::npos) return false;
        } else if (sql.compare(i, 2, "/*") == 0) {
            i = skipBlockComment(sql, i);
        } else {
            break;
        }
    }
    if (i < sql.size() && sql[i] == '(') return true;
    size_t word = i;
    while (i < sql.size() && isIdentChar(sql[i])) ++i;
    std::string keyword = sql.substr(word, i - word);
    for (char& ch : keyword) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
    return keyword == "SELECT" || keyword == "VALUES" || keyword == "WITH" || keyword == "TABLE";
}

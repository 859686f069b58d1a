// The SQLite engine.
//
// Environment: dbs_sqlite_db names the database file; connect creates it when it is missing.
//
// Transactions: connect switches the file to write-ahead logging, so that the tool processes
// that run side by side against one file read while another one writes, and starts a deferred
// transaction; commit and rollback end it and start the next one. A lock held by another
// process is waited for up to kBusyTimeoutMs. When a write finds that another process has
// committed since this transaction began reading (SQLITE_BUSY_SNAPSHOT), and this transaction
// has written nothing yet and reads nothing at the moment, its snapshot is renewed and the
// write retried: it loses nothing, and waiting could not help.
//
// Values: cells follow the storage class of each value, except that NUMERIC and DECIMAL
// columns deliver decimal text (docs/dbif-types.md). Text is delivered as stored, trailing
// blanks of CHAR(n) included: SQLite compares them, so they belong to the value. Results are
// stepped row by row; nothing is kept beyond the batch.
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dbif.h"
#include "dbif_engines.h"
#include "dbif_sqltext.h"
#include "ulstring.h"
#include "ulstring2.h"

namespace {

constexpr const char* kEnvDatabase = "dbs_sqlite_db";
constexpr int kBusyTimeoutMs = 60000;
constexpr int kSnapshotRetries = 3;
constexpr const char* kTraceFile = "dbif_sqlite.cpp";

// ---- statement text ------------------------------------------------------------------------

// The statement as SQLite gets it: UTF-8, each "#DBIF_HINT(...)" phrase outside quoted text
// and comments replaced by a blank. An unterminated phrase stays for SQLite to reject.
std::string engineSql(const char16_t* sql) {
    std::u16string text;
    dbif_striphints(sql, &text);
    return ul_utf16to8(text.c_str(), text.size());
}

// True when only blanks, semicolons and comments follow a statement.
bool onlyTrailer(const char* tail) {
    while (tail && *tail) {
        if (*tail == ';' || isspace(static_cast<unsigned char>(*tail))) {
            ++tail;
        } else if (tail[0] == '-' && tail[1] == '-') {
            while (*tail && *tail != '\n') ++tail;
        } else if (tail[0] == '/' && tail[1] == '*') {
            const char* end = strstr(tail + 2, "*/");
            if (!end) return true;
            tail = end + 2;
        } else {
            return false;
        }
    }
    return true;
}

// ---- column types --------------------------------------------------------------------------

struct ColumnInfo {
    dbif_coldesc_t desc;
    bool declared = false;   // the declared type decides the description
    bool numeric = false;    // values go as decimal text
};

// Upper-case declared type with runs of blanks condensed, and its "(a[,b])" arguments.
struct DeclType {
    std::string name;
    int args = 0;
    unsigned arg[2] = {0, 0};
};

bool parseDeclType(const char* decl, DeclType* out) {
    const char* p = decl;
    while (*p && *p != '(') {
        char c = static_cast<char>(toupper(static_cast<unsigned char>(*p++)));
        if (isspace(static_cast<unsigned char>(c))) {
            if (!out->name.empty() && out->name.back() != ' ') out->name.push_back(' ');
        } else {
            out->name.push_back(c);
        }
    }
    while (!out->name.empty() && out->name.back() == ' ') out->name.pop_back();
    if (*p != '(') return true;
    ++p;
    while (out->args < 2) {
        while (isspace(static_cast<unsigned char>(*p))) ++p;
        char* end;
        errno = 0;
        unsigned long v = strtoul(p, &end, 10);
        if (end == p || errno || v > 0xFFFF) return false;
        out->arg[out->args++] = static_cast<unsigned>(v);
        p = end;
        while (isspace(static_cast<unsigned char>(*p))) ++p;
        if (*p == ')') return true;
        if (*p != ',') return false;
        ++p;
    }
    return false;
}

bool isOneOf(const std::string& name, std::initializer_list<const char*> names) {
    for (const char* n : names) {
        if (name == n) return true;
    }
    return false;
}

// What SQLite stores otherwise than other engines, for dbif_coldesc_t::crossEngineNote.
constexpr char16_t kNoteDigits[] =
    u"SQLite holds a number as a 64-bit integer or a binary floating point number, exact to 15 "
    u"significant digits";
constexpr char16_t kNoteNaN[] = u"SQLite stores a floating point NaN as NULL";
constexpr char16_t kNoteBlanks[] =
    u"SQLite keeps the trailing blanks of CHAR(n), which PostgreSQL drops";
constexpr char16_t kNoteDateText[] =
    u"SQLite keeps a date or time as the text it was stored with, PostgreSQL writes its ISO form";

// Maps a declared column type onto the column types of the interface. Types the table does not
// name follow SQLite's affinity rules; a type of numeric affinity that the table does not know
// (and a column without declared type) is described by the storage class of the first row.
void mapDeclType(const char* decl, ColumnInfo* info) {
    DeclType t;
    if (!decl || !parseDeclType(decl, &t) || t.name.empty()) return;
    dbif_coldesc_t& d = info->desc;
    auto set = [&](int type, unsigned length, unsigned decimals = 0) {
        d.type = type;
        d.length = length;
        d.decimals = decimals;
        info->declared = true;
    };
    unsigned n = t.args >= 1 ? t.arg[0] : 0;
    const std::string& name = t.name;
    if (isOneOf(name, {"INTEGER", "INT", "INT4", "MEDIUMINT"})) {
        set(DBIF_TYPE_INT, 4);
    } else if (isOneOf(name, {"BIGINT", "INT8", "UNSIGNED BIG INT"})) {
        set(DBIF_TYPE_INT, 8);
    } else if (isOneOf(name, {"SMALLINT", "INT2"})) {
        set(DBIF_TYPE_INT, 2);
    } else if (isOneOf(name, {"TINYINT", "BOOLEAN", "BOOL"})) {
        set(DBIF_TYPE_INT, 1);
    } else if (isOneOf(name, {"REAL", "DOUBLE", "DOUBLE PRECISION", "FLOAT", "FLOAT8"})) {
        set(DBIF_TYPE_FLOAT, 8);
        d.crossEngineNote = kNoteNaN;
    } else if (isOneOf(name, {"NUMERIC", "DECIMAL"})) {
        if (t.args >= 1) {
            set(DBIF_TYPE_PACKED, t.arg[0], t.args == 2 ? t.arg[1] : 0);
            if (t.arg[0] > 15) d.crossEngineNote = kNoteDigits;
        } else {
            set(DBIF_TYPE_DECIMAL, 0);
            d.crossEngineNote = kNoteDigits;
        }
        info->numeric = true;
    } else if (isOneOf(name, {"VARCHAR", "NVARCHAR", "VARCHAR2", "NVARCHAR2", "CHARACTER VARYING",
                              "VARYING CHARACTER", "NATIONAL VARYING CHARACTER"})) {
        set(DBIF_TYPE_CHAR, n);
    } else if (isOneOf(name, {"CHAR", "CHARACTER", "NCHAR", "NATIVE CHARACTER"})) {
        set(DBIF_TYPE_CHAR, t.args >= 1 ? n : 1);
        d.crossEngineNote = kNoteBlanks;
    } else if (isOneOf(name, {"TEXT", "CLOB", "NCLOB"})) {
        set(DBIF_TYPE_LONGCHAR, 0);
    } else if (name == "BLOB") {
        set(DBIF_TYPE_BLOB, 0);
    } else if (isOneOf(name, {"VARBINARY", "RAW", "BINARY"})) {
        set(DBIF_TYPE_RAW, n);
    } else if (name == "DATE") {
        set(DBIF_TYPE_CHAR, 10);
        d.crossEngineNote = kNoteDateText;
    } else if (isOneOf(name, {"TIMESTAMP", "DATETIME"})) {
        set(DBIF_TYPE_CHAR, 32);
        d.crossEngineNote = kNoteDateText;
    } else if (name.find("INT") != std::string::npos) {
        set(DBIF_TYPE_INT, 8);
    } else if (name.find("CHAR") != std::string::npos || name.find("CLOB") != std::string::npos ||
               name.find("TEXT") != std::string::npos) {
        if (t.args >= 1) {
            set(DBIF_TYPE_CHAR, n);
        } else {
            set(DBIF_TYPE_LONGCHAR, 0);
        }
    } else if (name.find("BLOB") != std::string::npos) {
        set(DBIF_TYPE_BLOB, 0);
    } else if (name.find("REAL") != std::string::npos || name.find("FLOA") != std::string::npos ||
               name.find("DOUB") != std::string::npos) {
        set(DBIF_TYPE_FLOAT, 8);
        d.crossEngineNote = kNoteNaN;
    }
}

void describeByStorageClass(int storageClass, dbif_coldesc_t* d) {
    d->decimals = 0;
    switch (storageClass) {
        case SQLITE_INTEGER:
            d->type = DBIF_TYPE_INT;
            d->length = 8;
            break;
        case SQLITE_FLOAT:
            d->type = DBIF_TYPE_FLOAT;
            d->length = 8;
            break;
        case SQLITE_TEXT:
            d->type = DBIF_TYPE_LONGCHAR;
            d->length = 0;
            break;
        case SQLITE_BLOB:
            d->type = DBIF_TYPE_BLOB;
            d->length = 0;
            break;
        default:
            d->type = DBIF_TYPE_CHAR;
            d->length = 0;
            break;
    }
}

// ---- decimal text --------------------------------------------------------------------------

// Writes sign, integer digits and fraction digits as canonical decimal text: no leading zeros
// (but at least one integer digit), and with scale >= 0 exactly scale fraction digits,
// rounded half away from zero; with scale < 0 the fraction keeps its digits except trailing
// zeros. Negative zero is written without sign.
void canonicalDecimal(bool negative, std::string_view intDigits, std::string_view fracDigits,
                      int scale, std::string* out) {
    std::string& s = *out;
    s.clear();
    s.push_back('0');  // room for a carry
    s.append(intDigits);
    size_t point = s.size();
    s.append(fracDigits);
    if (scale >= 0) {
        size_t keep = point + static_cast<size_t>(scale);
        if (s.size() > keep) {
            bool up = s[keep] >= '5';
            s.resize(keep);
            for (size_t i = keep; up && i-- > 0;) {
                if (s[i] == '9') {
                    s[i] = '0';
                } else {
                    ++s[i];
                    up = false;
                }
            }
        }
        s.append(keep - std::min(keep, s.size()), '0');
    } else {
        while (s.size() > point && s.back() == '0') s.pop_back();
    }
    size_t lead = 0;
    while (lead + 1 < point && s[lead] == '0') ++lead;
    s.erase(0, lead);
    point -= lead;
    if (s.size() > point) s.insert(point, 1, '.');
    if (negative && s.find_first_not_of("0.") != std::string::npos) s.insert(0, 1, '-');
}

// The shortest digits that read back as the same double (at most 17 significant digits),
// written without exponent. Returns false for infinity and NaN.
// A double whose shortest digits have at most `scale` fraction digits, written without going
// through those digits: n = value * 10^scale rounded is the candidate, and when n / 10^scale reads
// back as the same double it is the only such decimal (below 2^52 the doubles lie closer than
// 10^-scale), so the shortest digits are n's, padded to the scale. False: take the long way.
bool formatScaledDouble(double value, int scale, std::string* out) {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8,
                                         1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    if (scale < 0 || scale > 15) return false;
    const double scaled = std::nearbyint(value * kPowers[scale]);
    if (!(std::fabs(scaled) < 4503599627370496.0)) return false;  // 2^52; also NaN
    if (scaled / kPowers[scale] != value) return false;
    const int64_t n = static_cast<int64_t>(scaled);
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, n < 0 ? -n : n);
    const size_t digits = static_cast<size_t>(r.ptr - buf);
    const size_t frac = static_cast<size_t>(scale);
    std::string& s = *out;
    s.clear();
    if (n < 0) s.push_back('-');
    if (digits <= frac) {
        s.push_back('0');
        s.push_back('.');
        s.append(frac - digits, '0');
        s.append(buf, digits);
    } else {
        s.append(buf, digits - frac);
        if (frac) {
            s.push_back('.');
            s.append(buf + digits - frac, frac);
        }
    }
    return true;
}

bool formatDouble(double value, int scale, std::string* out) {
    if (!std::isfinite(value)) return false;
    if (formatScaledDouble(value, scale, out)) return true;
    char buf[40];
    // The shortest digits that read back as the same double; usually without exponent, and then
    // the digits are split at the point where they stand.
    auto plain = std::to_chars(buf, buf + sizeof(buf) - 1, value);
    if (plain.ec != std::errc()) return false;
    const std::string_view shortest(buf, static_cast<size_t>(plain.ptr - buf));
    if (shortest.find('e') == std::string_view::npos) {
        const bool negative = shortest.front() == '-';
        const std::string_view number = shortest.substr(negative ? 1 : 0);
        const size_t point = number.find('.');
        if (point == std::string_view::npos)
            canonicalDecimal(negative, number, std::string_view(), scale, out);
        else
            canonicalDecimal(negative, number.substr(0, point), number.substr(point + 1), scale,
                             out);
        return true;
    }
    // Otherwise in the form [-]d.ddddde[+-]x.
    auto result = std::to_chars(buf, buf + sizeof(buf) - 1, value, std::chars_format::scientific);
    if (result.ec != std::errc()) return false;
    *result.ptr = 0;
    const char* p = buf;
    bool negative = *p == '-';
    if (negative) ++p;
    std::string digits;
    for (; *p && *p != 'e'; ++p) {
        if (*p != '.') digits.push_back(*p);
    }
    int exponent = atoi(p + 1);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string intPart;
    std::string fracPart;
    if (exponent >= 0) {
        size_t intLength = static_cast<size_t>(exponent) + 1;
        if (digits.size() <= intLength) {
            intPart = digits + std::string(intLength - digits.size(), '0');
        } else {
            intPart = digits.substr(0, intLength);
            fracPart = digits.substr(intLength);
        }
    } else {
        intPart = "0";
        fracPart = std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
    }
    canonicalDecimal(negative, intPart, fracPart, scale, out);
    return true;
}

// Decimal text stored as text: [blanks][sign]digits[.digits][blanks] with at least one digit.
bool formatDecimalText(std::string_view text, int scale, std::string* out) {
    size_t b = text.find_first_not_of(' ');
    size_t e = text.find_last_not_of(' ');
    if (b == std::string_view::npos) return false;
    text = text.substr(b, e - b + 1);
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    size_t point = text.find('.');
    std::string_view intPart = text.substr(0, point);
    std::string_view fracPart =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    auto allDigits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (intPart.empty() && fracPart.empty()) return false;
    if (!allDigits(intPart) || !allDigits(fracPart)) return false;
    canonicalDecimal(negative, intPart, fracPart, scale, out);
    return true;
}

void formatInteger(int64_t value, int scale, std::string* out) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof(buf), value);
    bool negative = value < 0;
    std::string_view digits(buf + (negative ? 1 : 0),
                            static_cast<size_t>(r.ptr - buf) - (negative ? 1 : 0));
    canonicalDecimal(negative, digits, std::string_view(), scale, out);
}

// ---- errors --------------------------------------------------------------------------------

bool startsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

int mapError(int rc, const char* message) {
    if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY) {
        return DBIF_RC_DUPLICATE;
    }
    if ((rc & 0xFF) == SQLITE_SCHEMA) return DBIF_RC_REPREPARE;
    static const char* const kMissing[] = {"no such table", "no such column", "no such view",
                                           "no such index", "no such trigger"};
    for (const char* prefix : kMissing) {
        if (startsWith(message, prefix)) return DBIF_RC_REJECTED;
    }
    if (strstr(message, " has no column named ")) return DBIF_RC_REJECTED;
    return DBIF_RC_DB_ERROR;
}

std::u16string osUserName() {
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) return ul_utf8to16(pw->pw_name);
    for (const char* name : {"USER", "LOGNAME"}) {
        if (const char* v = getenv(name); v && *v) return ul_utf8to16(v);
    }
    return u"";
}

struct StmtCloser {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtCloser>;

class SqliteStatement;

// Storage figures from the page statistics of the dbstat table: the pages of a table's or
// index's b-tree, and the page count of a schema ("main", "temp" or an attached one).
constexpr dbif_objsizequeries_t kObjectSizeQueries = {
    u"SELECT (SELECT SUM(pgsize) FROM dbstat WHERE name = s.name) FROM sqlite_schema s "
    u"WHERE s.type = 'table' AND s.name = ?",
    u"SELECT (SELECT SUM(pgsize) FROM dbstat WHERE name = s.name) FROM sqlite_schema s "
    u"WHERE s.type = 'index' AND s.name = ? AND s.tbl_name = ?",
    u"SELECT c.page_count * z.page_size FROM pragma_database_list d, "
    u"pragma_page_count(d.name) c, pragma_page_size(d.name) z WHERE d.name = ?",
};

class SqliteConnection final : public DbIfConnection {
  public:
    ~SqliteConnection() override { disconnect(); }

    int connect() override;
    int disconnect() override;
    int commit() override;
    int rollback() override;
    int prepare(const char16_t* sql, int stmtClass,
                std::unique_ptr<DbIfStatement>* statement) override;
    int execute(const char16_t* sql) override;
    int control(int code, dbif_control_t* argument) override;
    int describeNative(const char16_t* table, dbif_cattable_t* out) override;
    int listObjects(dbif_catobjects_t* request) override;
    int listDependencies(dbif_catobjects_t* request) override;

    dbif_commarea_t& area() { return commArea_; }
    sqlite3* db() const { return db_; }

    // Starts an operation: the comm area forgets the previous one.
    void begin() {
        commArea_.dbCode = 0;
        commArea_.rowCount = 0;
        commArea_.errorText.clear();
    }
    // Records a failure of SQLite (rc, with the connection's message) and returns its code.
    int fail(int rc);
    // Records a failure of this engine (no SQLite code) and returns DBIF_RC_DB_ERROR.
    int failWith(const char16_t* format, ...);
    int notConnected() { return failWith(u"Not connected to the SQLite database"); }

    // Compiles one statement; on failure the comm area holds the reason.
    int compile(const char16_t* sql, StmtPtr* stmt);
    // Runs stmt to its end. *changed: rows SQLite changed, or the rows a query returned.
    int stepToEnd(sqlite3_stmt* stmt, unsigned long* changed);
    // Restarts the transaction after SQLite ended it on its own (some errors do) or a
    // statement ended it.
    void keepTransaction();

    void trace(int line, int level, const char16_t* format, ...);
    void forget(SqliteStatement* statement) {
        statements_.erase(std::remove(statements_.begin(), statements_.end(), statement),
                          statements_.end());
    }

  private:
    int exec(const char* sql);
    void applyTrace();
    static int traceStatement(unsigned type, void* context, void* statement, void* text);
    int connectGuarded();
    static int openAndRead(const char* path, bool immutable, sqlite3** out);
    int controlGuarded(int code, dbif_control_t* argument);
    bool otherStatementBusy(sqlite3_stmt* self) const;
    bool renewSnapshot(sqlite3_stmt* stmt);

    sqlite3* db_ = nullptr;
    std::vector<SqliteStatement*> statements_;
    long isolation_ = 0;
    long traceLevel_ = 0;
    dbif_tracefn_t traceFn_ = nullptr;
    void* traceContext_ = nullptr;
};

class SqliteStatement final : public DbIfStatement {
  public:
    SqliteStatement(SqliteConnection* connection, sqlite3_stmt* stmt);
    ~SqliteStatement() override {
        if (connection_) connection_->forget(this);
        detach();
    }

    unsigned paramCount() const override {
        return stmt_ ? static_cast<unsigned>(sqlite3_bind_parameter_count(stmt_)) : 0;
    }
    int begRead(DbIfRowBatch* params) override;
    int describe(std::vector<dbif_coldesc_t>* columns) override;
    int exeRead(DbIfRowBatch* batch, unsigned maxRows) override;
    int endRead() override;
    int modify(DbIfRowBatch* params, unsigned long* processed) override;

    // The connection ends: the statement is released and every later call fails.
    void detach() {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        connection_ = nullptr;
    }

  private:
    int bind(DbIfRowBatch* params, size_t row, bool copyBytes);
    int step();
    int fillRow(DbIfRowBatch* batch, size_t row);
    void stopReading() {
        sqlite3_reset(stmt_);
        hasRow_ = false;
    }

    SqliteConnection* connection_;
    sqlite3_stmt* stmt_;
    std::vector<ColumnInfo> columns_;
    std::vector<std::string> paramTexts_;  // UTF-8 forms of bound texts, reused
    std::string decimal_;                  // decimal text of the current cell, reused
    bool hasRow_ = false;                  // the statement stands on a row not yet delivered
    unsigned long delivered_ = 0;
};

// ---- connection ----------------------------------------------------------------------------

int SqliteConnection::fail(int rc) {
    const char* message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    commArea_.dbCode = rc;
    commArea_.errorText = ul_utf8to16(message);
    trace(__LINE__, 1, u"SQLite error %d: %hs", rc, message);
    return mapError(rc, message);
}

int SqliteConnection::failWith(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    commArea_.errorText = ul_vformat(format, args);
    va_end(args);
    commArea_.dbCode = -1;
    trace(__LINE__, 1, u"%s", commArea_.errorText.c_str());
    return DBIF_RC_DB_ERROR;
}

void SqliteConnection::trace(int line, int level, const char16_t* format, ...) {
    if (!traceFn_ || level > traceLevel_) return;
    va_list args;
    va_start(args, format);
    std::u16string text = ul_vformat(format, args);
    va_end(args);
    traceFn_(traceContext_, kTraceFile, line, level, text.c_str());
}

int SqliteConnection::traceStatement(unsigned type, void* context, void*, void* text) {
    if (type == SQLITE_TRACE_STMT) {
        static_cast<SqliteConnection*>(context)->trace(__LINE__, 2, u"Executing: %hs",
                                                       static_cast<const char*>(text));
    }
    return 0;
}

void SqliteConnection::applyTrace() {
    if (!db_) return;
    if (traceFn_ && traceLevel_ >= 2) {
        sqlite3_trace_v2(db_, SQLITE_TRACE_STMT, traceStatement, this);
    } else {
        sqlite3_trace_v2(db_, 0, nullptr, nullptr);
    }
}

int SqliteConnection::exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? DBIF_RC_OK : fail(rc);
}

void SqliteConnection::keepTransaction() {
    if (db_ && sqlite3_get_autocommit(db_)) {
        sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    }
}

int SqliteConnection::connect() {
    return dbif_guard(commArea_, [&]() -> int { return connectGuarded(); });
}

namespace {

// The file name as a URI path: the characters that URIs give a meaning are escaped.
std::string uriPath(const char* path) {
    std::string out;
    for (const char* p = path; *p; ++p) {
        if (*p == '%' || *p == '?' || *p == '#') {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(*p));
            out += escaped;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

// Opens an existing database (a mistyped name must not leave an empty database behind; a file
// the process may not write SQLite opens read-only by itself) and reads its schema once, which
// proves that the file is a database. Nothing is written, so the journal mode stays the
// database's own. immutable opens it read-only as a file that does not change. A writer of
// another process that outlasts the busy timeout is no reason to fail. *out gets the handle
// also on failure (for its message); the caller closes it.
int SqliteConnection::openAndRead(const char* path, bool immutable, sqlite3** out) {
    // A connection belongs to one thread, so SQLite's per-call locking is not needed.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    std::string name = path;
    if (immutable) {
        flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI;
        name = "file:" + uriPath(path) + "?immutable=1";
    }
    *out = nullptr;
    int rc = sqlite3_open_v2(name.c_str(), out, flags, nullptr);
    if (rc != SQLITE_OK) return rc;
    sqlite3_extended_result_codes(*out, 1);
    sqlite3_busy_timeout(*out, kBusyTimeoutMs);
    // A double-quoted name is always an identifier: read as a string literal when no such
    // column exists, a mistyped key field would silently compare a constant.
    sqlite3_db_config(*out, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(*out, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    rc = sqlite3_exec(*out, "SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr);
    return (rc & 0xFF) == SQLITE_BUSY ? SQLITE_OK : rc;
}

int SqliteConnection::connectGuarded() {
    begin();
    if (db_) return failWith(u"Already connected to the SQLite database");
    const char* path = getenv(kEnvDatabase);
    if (!path || !*path) {
        return failWith(u"Environment variable '%hs' is not set: it names the SQLite database file",
                        kEnvDatabase);
    }
    trace(__LINE__, 1, u"Opening SQLite database '%hs' (SQLite %hs)", path, sqlite3_libversion());
    sqlite3* db = nullptr;
    int rc = openAndRead(path, false, &db);
    if ((rc & 0xFF) == SQLITE_READONLY) {
        // A WAL database in a directory this process may not write: SQLite cannot create the
        // shared-memory file beside it, but can read the file as one that does not change.
        sqlite3_close_v2(db);
        trace(__LINE__, 1, u"Reading SQLite database '%hs' as unchanging (%hs)", path,
              sqlite3_errstr(rc));
        rc = openAndRead(path, true, &db);
    }
    if (rc != SQLITE_OK) {
        struct stat st;
        const bool missing = stat(path, &st) != 0 && errno == ENOENT;
        const char* message = missing ? "the file does not exist"
                              : db    ? sqlite3_errmsg(db)
                                      : sqlite3_errstr(rc);
        failWith(u"Cannot open SQLite database '%hs': %hs", path, message);
        commArea_.dbCode = rc;
        sqlite3_close_v2(db);
        return DBIF_RC_DB_ERROR;
    }
    db_ = db;
    if (int result = exec("BEGIN")) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return result;
    }
    applyTrace();
    trace(__LINE__, 1, u"Connected to SQLite database '%hs'", path);
    return DBIF_RC_OK;
}

int SqliteConnection::disconnect() {
    begin();
    if (!db_) return DBIF_RC_OK;
    for (SqliteStatement* s : statements_) s->detach();
    statements_.clear();
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    trace(__LINE__, 1, u"Disconnecting from the SQLite database");
    sqlite3_trace_v2(db_, 0, nullptr, nullptr);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return DBIF_RC_OK;
}

int SqliteConnection::commit() {
    return dbif_guard(commArea_, [&]() -> int {
        begin();
        if (!db_) return notConnected();
        trace(__LINE__, 1, u"Commit");
        if (!sqlite3_get_autocommit(db_)) {
            if (int rc = exec("COMMIT")) {
                keepTransaction();
                return rc;
            }
        }
        return exec("BEGIN");
    });
}

int SqliteConnection::rollback() {
    return dbif_guard(commArea_, [&]() -> int {
        begin();
        if (!db_) return notConnected();
        trace(__LINE__, 1, u"Rollback");
        if (!sqlite3_get_autocommit(db_)) {
            if (int rc = exec("ROLLBACK")) {
                keepTransaction();
                return rc;
            }
        }
        return exec("BEGIN");
    });
}

int SqliteConnection::compile(const char16_t* sql, StmtPtr* stmt) {
    std::string text = engineSql(sql);
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()) + 1, &raw, &tail);
    if (rc != SQLITE_OK) return fail(rc);
    stmt->reset(raw);
    if (!raw) return failWith(u"Empty SQL statement '%s'", sql);
    if (!onlyTrailer(tail)) {
        stmt->reset();
        return failWith(u"More than one SQL statement in '%s'", sql);
    }
    return DBIF_RC_OK;
}

bool SqliteConnection::otherStatementBusy(sqlite3_stmt* self) const {
    for (sqlite3_stmt* s = sqlite3_next_stmt(db_, nullptr); s; s = sqlite3_next_stmt(db_, s)) {
        if (s != self && sqlite3_stmt_busy(s)) return true;
    }
    return false;
}

// After SQLITE_BUSY_SNAPSHOT: a transaction that has not written yet and reads nothing at the
// moment gets a fresh snapshot. Returns true when stmt may be stepped again.
bool SqliteConnection::renewSnapshot(sqlite3_stmt* stmt) {
    sqlite3_reset(stmt);
    if (sqlite3_txn_state(db_, nullptr) == SQLITE_TXN_WRITE || otherStatementBusy(stmt)) {
        return false;
    }
    trace(__LINE__, 1, u"Renewing the read snapshot after another process committed");
    return sqlite3_exec(db_, "ROLLBACK; BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
}

int SqliteConnection::stepToEnd(sqlite3_stmt* stmt, unsigned long* changed) {
    int retries = 0;
    for (;;) {
        sqlite3_int64 before = sqlite3_total_changes64(db_);
        unsigned long rows = 0;
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) ++rows;
        if (rc == SQLITE_DONE) {
            // sqlite3_changes64 keeps the count of the last data change, so it counts for this
            // statement only when the total moved.
            bool wrote = sqlite3_total_changes64(db_) != before;
            *changed = wrote ? static_cast<unsigned long>(sqlite3_changes64(db_)) : rows;
            sqlite3_reset(stmt);
            return DBIF_RC_OK;
        }
        if (rc == SQLITE_BUSY_SNAPSHOT && retries++ < kSnapshotRetries && renewSnapshot(stmt)) {
            continue;
        }
        int result = fail(rc);
        sqlite3_reset(stmt);
        keepTransaction();
        return result;
    }
}

int SqliteConnection::prepare(const char16_t* sql, int, std::unique_ptr<DbIfStatement>* statement) {
    return dbif_guard(commArea_, [&]() -> int {
        begin();
        statement->reset();
        if (!db_) return notConnected();
        StmtPtr stmt;
        if (int rc = compile(sql, &stmt)) return rc;
        auto s = std::make_unique<SqliteStatement>(this, stmt.release());
        statements_.push_back(s.get());
        *statement = std::move(s);
        return DBIF_RC_OK;
    });
}

int SqliteConnection::execute(const char16_t* sql) {
    return dbif_guard(commArea_, [&]() -> int {
        begin();
        if (!db_) return notConnected();
        StmtPtr stmt;
        if (int rc = compile(sql, &stmt)) return rc;
        if (int n = sqlite3_bind_parameter_count(stmt.get())) {
            return failWith(u"Statement with %d parameters cannot be executed without them: '%s'",
                            n, sql);
        }
        unsigned long changed = 0;
        if (int rc = stepToEnd(stmt.get(), &changed)) return rc;
        commArea_.rowCount = static_cast<long>(changed);
        stmt.reset();
        keepTransaction();
        return DBIF_RC_OK;
    });
}

int SqliteConnection::control(int code, dbif_control_t* argument) {
    return dbif_guard(commArea_, [&]() -> int { return controlGuarded(code, argument); });
}

int SqliteConnection::controlGuarded(int code, dbif_control_t* argument) {
    begin();
    switch (code) {
        case DBIF_CTL_ISOLATION:
            // Every SQLite transaction is serializable; the level is only remembered.
            if (argument->intValue != 0 && argument->intValue != 2) {
                failWith(u"Isolation level %ld is not supported", argument->intValue);
                return DBIF_RC_NOT_SUPPORTED;
            }
            isolation_ = argument->intValue;
            return DBIF_RC_OK;
        case DBIF_CTL_USER:
            argument->text = osUserName();
            return DBIF_RC_OK;
        case DBIF_CTL_HOST:
            argument->text = u"localhost";
            return DBIF_RC_OK;
        case DBIF_CTL_VERSION:
        case DBIF_CTL_CLIENT_VERSION:
            argument->text = u"SQLite " + ul_utf8to16(sqlite3_libversion());
            return DBIF_RC_OK;
        case DBIF_CTL_SCHEMA:
            argument->text = u"main";
            return DBIF_RC_OK;
        case DBIF_CTL_TRACE:
            traceLevel_ = argument->intValue;
            traceFn_ = argument->intValue > 0 ? argument->trace : nullptr;
            traceContext_ = argument->traceContext;
            applyTrace();
            return DBIF_RC_OK;
        case DBIF_CTL_VIEW_LAYER:
            return DBIF_RC_NOT_SUPPORTED;
        case DBIF_CTL_CATALOG_DESCRIBE:
        case DBIF_CTL_CATALOG_FLUSH:
        case DBIF_CTL_CATALOG_OBJECTS:
        case DBIF_CTL_CATALOG_DEPENDENCIES:
            return catalogControl(code, argument);
        case DBIF_CTL_OBJECT_SIZES:
            return objectSizeControl(kObjectSizeQueries, argument);
        default:
            failWith(u"Control code %d is not supported by the SQLite engine", code);
            return DBIF_RC_NOT_SUPPORTED;
    }
}

// The table's columns from SQLite's table information, typed by their declared types as
// result columns are (a column without declared type, whose result type depends on the value,
// as CHAR without length).
int SqliteConnection::describeNative(const char16_t* table, dbif_cattable_t* out) {
    *out = dbif_cattable_t();
    auto onColumn = [&](const dbif_cell_t* c, unsigned) -> int {
        dbif_catfield_t f;
        f.name = dbif_toolname(dbif_cattext(c[0]));
        ColumnInfo info;
        mapDeclType(ul_utf16to8(dbif_cattext(c[1]).c_str()).c_str(), &info);
        f.dbType = info.desc.type;
        f.dbLength = info.desc.length;
        f.decimals = info.desc.decimals;
        long flag = 0;
        f.notNull = dbif_catnumber(c[2], &flag) && flag != 0;
        f.key = dbif_catnumber(c[3], &flag) && flag != 0;
        out->fields.push_back(std::move(f));
        return DBIF_RC_OK;
    };
    const std::vector<std::u16string> params{table};
    int rc = dbif_catalogquery(
        *this, u"SELECT name, type, \"notnull\", pk FROM pragma_table_info(?)", params, onColumn);
    if (rc) return rc;
    if (out->fields.empty()) return DBIF_RC_NOT_FOUND;
    return dbif_catalogquery(*this, u"SELECT type FROM sqlite_master WHERE name = ? COLLATE NOCASE",
                             params, [&](const dbif_cell_t* c, unsigned) -> int {
                                 if (dbif_cattext(c[0]) == u"view") out->tabForm = u'V';
                                 return DBIF_RC_OK;
                             });
}

// ---- statement -----------------------------------------------------------------------------

SqliteStatement::SqliteStatement(SqliteConnection* connection, sqlite3_stmt* stmt)
    : connection_(connection), stmt_(stmt) {
    int n = sqlite3_column_count(stmt_);
    columns_.resize(static_cast<size_t>(n));
    sqlite3* db = connection_->db();
    for (int i = 0; i < n; ++i) {
        ColumnInfo& c = columns_[static_cast<size_t>(i)];
        c.desc.name = dbif_toolname(ul_utf8to16(sqlite3_column_name(stmt_, i)));
        mapDeclType(sqlite3_column_decltype(stmt_, i), &c);
        const char* table = sqlite3_column_table_name(stmt_, i);
        const char* origin = sqlite3_column_origin_name(stmt_, i);
        int notNull = 0;
        if (table && origin &&
            sqlite3_table_column_metadata(db, sqlite3_column_database_name(stmt_, i), table, origin,
                                          nullptr, nullptr, &notNull, nullptr,
                                          nullptr) == SQLITE_OK) {
            c.desc.nullable = !notNull;
        }
    }
    paramTexts_.resize(static_cast<size_t>(sqlite3_bind_parameter_count(stmt_)));
}

int SqliteStatement::bind(DbIfRowBatch* params, size_t row, bool copyBytes) {
    unsigned n = paramCount();
    if (n == 0) return DBIF_RC_OK;
    unsigned given = params && row < params->rows() ? params->width() : 0;
    if (given < n) {
        return connection_->failWith(u"The statement has %u parameters, %u were given", n, given);
    }
    const dbif_cell_t* cells = params->row(row);
    for (unsigned i = 0; i < n; ++i) {
        const dbif_cell_t& c = cells[i];
        int pos = static_cast<int>(i) + 1;
        int rc = SQLITE_OK;
        switch (c.kind) {
            case dbif_kind::null:
                rc = sqlite3_bind_null(stmt_, pos);
                break;
            case dbif_kind::integer:
                rc = sqlite3_bind_int64(stmt_, pos, c.integer);
                break;
            case dbif_kind::real:
                rc = sqlite3_bind_double(stmt_, pos, c.real);
                break;
            case dbif_kind::decimal:
            case dbif_kind::text: {
                // The UTF-8 form lives in the statement until the parameter is bound again.
                std::string& s = paramTexts_[i];
                s.clear();
                ul_utf16to8append(s, c.text, c.length);
                rc =
                    sqlite3_bind_text64(stmt_, pos, s.data(), s.size(), SQLITE_STATIC, SQLITE_UTF8);
                break;
            }
            case dbif_kind::bytes:
                if (c.length == 0) {
                    rc = sqlite3_bind_zeroblob(stmt_, pos, 0);
                } else {
                    rc = sqlite3_bind_blob64(stmt_, pos, c.bytes, c.length,
                                             copyBytes ? SQLITE_TRANSIENT : SQLITE_STATIC);
                }
                break;
        }
        if (rc != SQLITE_OK) return connection_->fail(rc);
    }
    return DBIF_RC_OK;
}

int SqliteStatement::step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
        hasRow_ = true;
        return DBIF_RC_OK;
    }
    if (rc == SQLITE_DONE) {
        // Released at once, so that a finished read holds no lock.
        stopReading();
        return DBIF_RC_OK;
    }
    hasRow_ = false;
    int result = connection_->fail(rc);
    sqlite3_reset(stmt_);
    connection_->keepTransaction();
    return result;
}

int SqliteStatement::begRead(DbIfRowBatch* params) {
    if (!connection_) return DBIF_RC_DB_ERROR;
    return dbif_guard(connection_->area(), [&]() -> int {
        connection_->begin();
        stopReading();
        delivered_ = 0;
        if (int rc = bind(params, 0, true)) return rc;
        return step();
    });
}

int SqliteStatement::describe(std::vector<dbif_coldesc_t>* columns) {
    if (!connection_) return DBIF_RC_DB_ERROR;
    return dbif_guard(connection_->area(), [&]() -> int {
        connection_->begin();
        columns->clear();
        for (size_t i = 0; i < columns_.size(); ++i) {
            dbif_coldesc_t d = columns_[i].desc;
            if (!columns_[i].declared) {
                int storageClass =
                    hasRow_ ? sqlite3_column_type(stmt_, static_cast<int>(i)) : SQLITE_NULL;
                describeByStorageClass(storageClass, &d);
            }
            columns->push_back(std::move(d));
        }
        return DBIF_RC_OK;
    });
}

int SqliteStatement::fillRow(DbIfRowBatch* batch, size_t row) {
    for (unsigned i = 0; i < columns_.size(); ++i) {
        const ColumnInfo& info = columns_[i];
        int col = static_cast<int>(i);
        int storageClass = sqlite3_column_type(stmt_, col);
        if (storageClass == SQLITE_NULL) continue;
        if (info.numeric) {
            int scale =
                info.desc.type == DBIF_TYPE_PACKED ? static_cast<int>(info.desc.decimals) : -1;
            bool ok = true;
            if (storageClass == SQLITE_INTEGER) {
                formatInteger(sqlite3_column_int64(stmt_, col), scale, &decimal_);
            } else if (storageClass == SQLITE_FLOAT) {
                ok = formatDouble(sqlite3_column_double(stmt_, col), scale, &decimal_);
            } else {
                auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
                size_t length = static_cast<size_t>(sqlite3_column_bytes(stmt_, col));
                ok = text && formatDecimalText(std::string_view(text, length), scale, &decimal_);
            }
            if (!ok) {
                auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
                connection_->failWith(u"Value '%hs' of column '%s' is not a decimal number",
                                      text ? text : "", info.desc.name.c_str());
                return DBIF_RC_ROW_ERROR;
            }
            batch->setDecimal(row, i, decimal_.data(), decimal_.size());
            continue;
        }
        switch (storageClass) {
            case SQLITE_INTEGER:
                batch->setInteger(row, i, sqlite3_column_int64(stmt_, col));
                break;
            case SQLITE_FLOAT:
                batch->setReal(row, i, sqlite3_column_double(stmt_, col));
                break;
            case SQLITE_TEXT: {
                auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
                size_t length = static_cast<size_t>(sqlite3_column_bytes(stmt_, col));
                batch->setTextUtf8(row, i, text, length);
                break;
            }
            default: {
                auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(stmt_, col));
                size_t length = static_cast<size_t>(sqlite3_column_bytes(stmt_, col));
                batch->setBytes(row, i, bytes, length);
                break;
            }
        }
    }
    return DBIF_RC_OK;
}

int SqliteStatement::exeRead(DbIfRowBatch* batch, unsigned maxRows) {
    if (!connection_) return DBIF_RC_DB_ERROR;
    return dbif_guard(connection_->area(), [&]() -> int {
        connection_->begin();
        batch->reset(static_cast<unsigned>(columns_.size()));
        unsigned limit = std::max(maxRows, 1u);
        while (hasRow_ && batch->rows() < limit) {
            size_t row = batch->addRow();
            if (int rc = fillRow(batch, row)) {
                connection_->area().rowCount = static_cast<long>(delivered_ + row);
                return rc;
            }
            if (int rc = step()) {
                connection_->area().rowCount = static_cast<long>(delivered_ + row + 1);
                return rc;
            }
        }
        size_t rows = batch->rows();
        delivered_ += rows;
        connection_->area().rowCount = static_cast<long>(delivered_);
        if (rows == 0) return DBIF_RC_NO_MORE_ROWS;
        return rows == limit ? DBIF_RC_PARTIAL : DBIF_RC_LAST_BATCH;
    });
}

int SqliteStatement::endRead() {
    if (!connection_) return DBIF_RC_DB_ERROR;
    connection_->begin();
    stopReading();
    connection_->area().rowCount = static_cast<long>(delivered_);
    return DBIF_RC_OK;
}

int SqliteStatement::modify(DbIfRowBatch* params, unsigned long* processed) {
    if (!connection_) return DBIF_RC_DB_ERROR;
    return dbif_guard(connection_->area(), [&]() -> int {
        connection_->begin();
        stopReading();
        size_t rows = params ? params->rows() : 1;
        unsigned long done = 0;
        int result = DBIF_RC_OK;
        for (size_t r = 0; r < rows; ++r) {
            unsigned long changed = 0;
            result = params ? bind(params, r, false) : bind(nullptr, 0, false);
            if (result == DBIF_RC_OK) result = connection_->stepToEnd(stmt_, &changed);
            if (result != DBIF_RC_OK) break;
            done += changed;
        }
        // Bound bytes point into the caller's batch: no pointer outlives the call.
        sqlite3_clear_bindings(stmt_);
        connection_->area().rowCount = static_cast<long>(done);
        if (processed) *processed += done;
        connection_->keepTransaction();
        return result;
    });
}


// ---- native objects --------------------------------------------------------------------------

// One object of the schema table: its type, name, the table a trigger belongs to, and the
// statement that created it.
struct SchemaObject {
    dbif_catobject_t object;
    std::u16string table;
    std::u16string sql;
};

// The schema "MAIN" of the connection holds every object; SQLite has no sequences, functions or
// procedures in its catalogue.
int readSchemaObjects(DbIfConnection& conn, std::vector<SchemaObject>* out) {
    return dbif_catalogquery(
        conn,
        u"SELECT type, name, tbl_name, sql FROM sqlite_master WHERE type IN ('table', 'view', "
        u"'trigger') AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name",
        {}, [&](const dbif_cell_t* c, unsigned) -> int {
            SchemaObject o;
            const std::u16string type = dbif_cattext(c[0]);
            o.object.schema = u"MAIN";
            o.object.name = dbif_toolname(dbif_cattext(c[1]));
            o.object.type = type == u"view" ? u"VIEW" : type == u"trigger" ? u"TRIGGER" : u"TABLE";
            o.table = dbif_toolname(dbif_cattext(c[2]));
            o.sql = dbif_cattext(c[3]);
            out->push_back(std::move(o));
            return DBIF_RC_OK;
        });
}

bool identStart(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c >= 0x80;
}

bool identPart(char16_t c) {
    return identStart(c) || (c >= u'0' && c <= u'9') || c == u'$';
}

// The identifiers of a statement in the tool's case: bare words and names in double quotes,
// brackets or backticks; string literals and comments are skipped.
std::vector<std::u16string> statementNames(const std::u16string& sql) {
    std::vector<std::u16string> names;
    const size_t n = sql.size();
    size_t i = 0;
    auto closing = [&](char16_t open) {
        return open == u'[' ? u']' : open;
    };
    while (i < n) {
        const char16_t c = sql[i];
        if (c == u'-' && i + 1 < n && sql[i + 1] == u'-') {
            while (i < n && sql[i] != u'\n') ++i;
        } else if (c == u'/' && i + 1 < n && sql[i + 1] == u'*') {
            const size_t end = sql.find(u"*/", i + 2);
            i = end == std::u16string::npos ? n : end + 2;
        } else if (c == u'\'') {
            for (++i; i < n; ++i) {
                if (sql[i] != u'\'') continue;
                if (i + 1 < n && sql[i + 1] == u'\'') {
                    ++i;
                    continue;
                }
                break;
            }
            ++i;
        } else if (c == u'"' || c == u'[' || c == u'`') {
            std::u16string name;
            const char16_t close = closing(c);
            for (++i; i < n; ++i) {
                if (sql[i] == close) {
                    if (close != u']' && i + 1 < n && sql[i + 1] == close) {
                        name += close;
                        ++i;
                        continue;
                    }
                    break;
                }
                name += sql[i];
            }
            ++i;
            names.push_back(dbif_toolname(std::move(name)));
        } else if (identStart(c)) {
            const size_t start = i;
            while (i < n && identPart(sql[i])) ++i;
            names.push_back(dbif_toolname(sql.substr(start, i - start)));
        } else {
            ++i;
        }
    }
    return names;
}

int SqliteConnection::listObjects(dbif_catobjects_t* request) {
    begin();
    if (!db_) return notConnected();
    const bool main = request->schemas.empty() ||
                      std::find(request->schemas.begin(), request->schemas.end(), u"MAIN") !=
                          request->schemas.end();
    if (!main) return DBIF_RC_OK;
    std::vector<SchemaObject> objects;
    if (int rc = readSchemaObjects(*this, &objects)) return rc;
    for (auto& o : objects) request->objects.push_back(std::move(o.object));
    return DBIF_RC_OK;
}

// A view depends on every table and view its definition names (a column that happens to bear
// the name of another table counts too: an extra object is moved rather than one missed); a
// trigger depends on its table.
int SqliteConnection::listDependencies(dbif_catobjects_t* request) {
    begin();
    if (!db_) return notConnected();
    std::vector<SchemaObject> objects;
    if (int rc = readSchemaObjects(*this, &objects)) return rc;
    std::vector<const SchemaObject*> relations;
    for (const auto& o : objects)
        if (o.object.type != u"TRIGGER") relations.push_back(&o);
    for (const auto& o : objects) {
        if (o.object.type == u"TRIGGER") {
            for (const SchemaObject* r : relations)
                if (r->object.name == o.table) request->dependencies.push_back({r->object, o.object});
            continue;
        }
        if (o.object.type != u"VIEW") continue;
        std::vector<std::u16string> names = statementNames(o.sql);
        std::sort(names.begin(), names.end());
        for (const SchemaObject* r : relations) {
            if (r == &o || !std::binary_search(names.begin(), names.end(), r->object.name))
                continue;
            request->dependencies.push_back({r->object, o.object});
        }
    }
    return DBIF_RC_OK;
}

}  // namespace

std::unique_ptr<DbIfConnection> dbif_sqlite_create() {
    return std::make_unique<SqliteConnection>();
}

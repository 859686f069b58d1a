// The ODBC engine of the database interface, over unixODBC's driver manager: it reaches every
// database that ships an ODBC driver.
//
// Connection: the ODBC connection string in the environment variable dbs_odbc_conninfo, either
// a data source ("DSN=name;UID=...;PWD=...") or a driver with its keywords
// ("Driver=...;Server=...;Database=..."), given to SQLDriverConnect without prompting. The
// connection runs with autocommit off, so a transaction is always open; commit and rollback
// end it and the driver begins the next one.
//
// The database behind the driver (its DBMS name) decides the few things ODBC leaves open: how
// the current schema is read, how a failure's SQLSTATE and native code map onto our return
// codes, and the session settings that let the tool's statements run unchanged (on MySQL and
// MariaDB the modes ANSI_QUOTES and PIPES_AS_CONCAT, so that double quotes quote identifiers
// and "||" joins text, as in standard SQL).
//
// Reading: columns of bounded width are bound column-wise and fetched in row arrays whose
// memory is bounded by kFetchBudget; a result with a long column (LONGCHAR, BLOB, or a text or
// binary column wider than kMaxBoundUnits) is fetched row by row and every value read with
// SQLGetData, long values in pieces of kPieceUnits. A value that does not fit its bound buffer
// fails the read: nothing is truncated.
//
// Modifying: an insert binds its parameter rows as arrays of up to kMaxParamRows rows and runs
// each array in one call; other statements run once per parameter row, so that each row's
// count is known. When a row of an array fails, the rows after it do not take effect: the
// driver stops there, or the rows before it run again alone (see runInsertArray).
//
// Errors: the comm area's dbCode is the driver's native error code, errorText the driver's
// message followed by " (SQLSTATE xxxxx)".
#include <pwd.h>
#include <sql.h>
#include <unistd.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dbif.h"
#include "dbif_engines.h"
#include "dbif_sqltext.h"
#include "ulstring.h"

namespace {

constexpr const char* kEnvConnection = "dbs_odbc_conninfo";
constexpr const char* kTraceFile = "dbif_odbc.cpp";
constexpr size_t kFetchBudget = 4u << 20;  // bytes of bound column buffers per statement
constexpr unsigned kMaxFetchRows = 1000;   // rows of one row array at most
constexpr size_t kMaxBoundUnits = 4000;    // wider text or binary columns are read in pieces
constexpr size_t kPieceUnits = 32768;      // code units (bytes for binary) of one SQLGetData
constexpr size_t kMaxParamRows = 1000;     // parameter rows of one array execution
constexpr size_t kDecimalWidth = 80;       // bytes of a decimal value's text, sign and point

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use UTF-16");

const SQLWCHAR* wide(const char16_t* text) {
    return reinterpret_cast<const SQLWCHAR*>(text);
}
SQLWCHAR* wide(char16_t* text) {
    return reinterpret_cast<SQLWCHAR*>(text);
}
bool succeeded(SQLRETURN r) {
    return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO;
}

// ---- the database behind the driver -------------------------------------------------------

enum class Dialect { generic, pgsql, mysql, sqlite, oracle, mss, db2 };

Dialect dialectOf(const std::u16string& dbmsName) {
    std::u16string name = dbif_toolname(dbmsName);
    auto has = [&](const char16_t* part) { return name.find(part) != std::u16string::npos; };
    if (has(u"POSTGRES")) return Dialect::pgsql;
    if (has(u"MARIADB") || has(u"MYSQL")) return Dialect::mysql;
    if (has(u"SQLITE")) return Dialect::sqlite;
    if (has(u"ORACLE")) return Dialect::oracle;
    if (has(u"SQL SERVER")) return Dialect::mss;
    if (has(u"DB2")) return Dialect::db2;
    return Dialect::generic;
}

// The query that names the current schema, or null when the connection's catalogue name
// serves (SQLite's "main").
const char16_t* schemaQuery(Dialect d) {
    switch (d) {
        case Dialect::pgsql: return u"SELECT current_schema()";
        case Dialect::mysql: return u"SELECT DATABASE()";
        case Dialect::oracle: return u"SELECT SYS_CONTEXT('USERENV', 'CURRENT_SCHEMA') FROM DUAL";
        case Dialect::mss: return u"SELECT SCHEMA_NAME()";
        case Dialect::db2: return u"VALUES CURRENT SCHEMA";
        default: return nullptr;
    }
}

enum class SavepointStep { set, rollback, release };

// The savepoint statement of a step in the dialect, or null when the step has none there.
const char16_t* savepointSql(Dialect d, SavepointStep step) {
    switch (step) {
        case SavepointStep::set:
            if (d == Dialect::mss) return u"SAVE TRANSACTION tabrix_sp";
            if (d == Dialect::db2) return u"SAVEPOINT tabrix_sp ON ROLLBACK RETAIN CURSORS";
            return u"SAVEPOINT tabrix_sp";
        case SavepointStep::rollback:
            return d == Dialect::mss ? u"ROLLBACK TRANSACTION tabrix_sp"
                                     : u"ROLLBACK TO SAVEPOINT tabrix_sp";
        case SavepointStep::release:
            return d == Dialect::mss || d == Dialect::oracle ? nullptr
                                                             : u"RELEASE SAVEPOINT tabrix_sp";
    }
    return nullptr;
}

struct Diagnosis {
    std::u16string state;
    long native = 0;
    std::u16string message;
};

bool contains(const std::u16string& text, const char16_t* part) {
    return dbif_toolname(text).find(dbif_toolname(part)) != std::u16string::npos;
}

// Our return code for a driver's failure. Standard SQLSTATEs come first; drivers that report
// every failure under one general state are told apart by their native codes and messages.
int mapFailure(Dialect d, const Diagnosis& f) {
    const std::u16string& s = f.state;
    if (s == u"42S02" || s == u"42S22" || s == u"42P01" || s == u"42703" || s == u"42704")
        return DBIF_RC_REJECTED;
    if (s == u"23505") return DBIF_RC_DUPLICATE;
    switch (d) {
        case Dialect::mysql:
            if (f.native == 1146 || f.native == 1054) return DBIF_RC_REJECTED;
            if (f.native == 1051) return DBIF_RC_NOT_FOUND;
            if (f.native == 1062) return DBIF_RC_DUPLICATE;
            break;
        case Dialect::sqlite:
            if (contains(f.message, u"no such table") || contains(f.message, u"no such column") ||
                contains(f.message, u"has no column named"))
                return DBIF_RC_REJECTED;
            if (contains(f.message, u"UNIQUE constraint failed") ||
                contains(f.message, u"is not unique"))
                return DBIF_RC_DUPLICATE;
            break;
        case Dialect::oracle:
            if (f.native == 942 || f.native == 904) return DBIF_RC_REJECTED;
            if (f.native == 1) return DBIF_RC_DUPLICATE;
            break;
        case Dialect::mss:
            if (f.native == 208 || f.native == 207) return DBIF_RC_REJECTED;
            if (f.native == 2627 || f.native == 2601) return DBIF_RC_DUPLICATE;
            break;
        case Dialect::db2:
            if (f.native == -204 || f.native == -206) return DBIF_RC_REJECTED;
            if (f.native == -803) return DBIF_RC_DUPLICATE;
            break;
        default:
            break;
    }
    return DBIF_RC_DB_ERROR;
}

// ---- environment and session --------------------------------------------------------------

// The driver manager's environment, shared by every connection of the process.
SQLHENV environment() {
    static SQLHENV env = [] {
        SQLHENV e = SQL_NULL_HENV;
        if (!succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &e))) return SQLHENV{};
        SQLSetEnvAttr(e, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        return e;
    }();
    return env;
}

// The state a connection shares with its statements. Statements may outlive the connection
// object and a reconnect: they remember the serial of the connect that made them, and the
// session refuses their calls once that connection is gone (its handles went with it).
struct OdbcSession {
    SQLHDBC dbc = SQL_NULL_HDBC;
    unsigned long serial = 0;
    Dialect dialect = Dialect::generic;
    std::u16string dbmsName, dbmsVersion;
    SQLULEN defaultIsolation = 0;  // the driver's level at connect, for isolation 0
    long isolation = 0;
    dbif_commarea_t* area = nullptr;
    dbif_commarea_t orphanArea;
    dbif_tracefn_t traceFn = nullptr;
    void* traceContext = nullptr;
    int traceLevel = 0;

    dbif_commarea_t& commArea() { return area ? *area : orphanArea; }
    void beginCall() {
        dbif_commarea_t& a = commArea();
        a.dbCode = 0;
        a.rowCount = 0;
        a.errorText.clear();
    }
    bool connected(unsigned long of) const { return dbc != SQL_NULL_HDBC && serial == of; }

    void trace(int level, int line, const std::u16string& text) {
        if (traceFn && level <= traceLevel) traceFn(traceContext, kTraceFile, line, level, text.c_str());
    }
    int fail(int rc, long dbCode, const std::u16string& text) {
        dbif_commarea_t& a = commArea();
        a.dbCode = dbCode;
        a.errorText = text;
        trace(1, __LINE__, u"error " + ul_utf8to16(std::to_string(rc).c_str()) + u": " + text);
        return rc;
    }
    int notConnected() { return fail(DBIF_RC_DB_ERROR, -1, u"Not connected to an ODBC data source"); }

    // The first diagnostic record of a handle.
    static Diagnosis diagnose(SQLSMALLINT type, SQLHANDLE handle) {
        Diagnosis d;
        char16_t state[6] = {0};
        SQLINTEGER native = 0;
        std::u16string text(1024, u'\0');
        SQLSMALLINT length = 0;
        SQLRETURN r = SQLGetDiagRecW(type, handle, 1, wide(state), &native, wide(text.data()),
                                     static_cast<SQLSMALLINT>(text.size()), &length);
        if (!succeeded(r)) return d;
        d.state = state;
        d.native = native;
        text.resize(std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)),
                                     text.size() - 1));
        // Drivers put their names in front, "[vendor][driver]message": the message is what
        // the database said.
        size_t start = 0;
        while (start < text.size() && text[start] == u'[') {
            size_t close = text.find(u']', start);
            if (close == std::u16string::npos) break;
            start = close + 1;
        }
        d.message = text.substr(start);
        return d;
    }
    // Sets the comm area from the handle's diagnostics and returns the mapped code.
    int failFrom(SQLSMALLINT type, SQLHANDLE handle, const char16_t* what) {
        Diagnosis d = diagnose(type, handle);
        if (d.state.empty()) return fail(DBIF_RC_DB_ERROR, -1, std::u16string(what) + u" failed");
        return fail(mapFailure(dialect, d), d.native,
                    d.message + u" (SQLSTATE " + d.state + u")");
    }
    int failStmt(SQLHSTMT h, const char16_t* what) { return failFrom(SQL_HANDLE_STMT, h, what); }
    int failDbc(const char16_t* what) { return failFrom(SQL_HANDLE_DBC, dbc, what); }

    int getInfo(SQLUSMALLINT type, std::u16string* out) {
        char16_t buffer[512] = {0};
        SQLSMALLINT length = 0;
        if (!succeeded(SQLGetInfoW(dbc, type, buffer, sizeof(buffer), &length)))
            return failDbc(u"SQLGetInfo");
        *out = buffer;
        return DBIF_RC_OK;
    }
    // Whether a savepoint of ours outlives the statements after it. PostgreSQL's driver wraps
    // every statement in a savepoint of its own and releases it afterwards, which releases
    // ours as well; it undoes a failing statement by itself.
    bool hasSavepoints() const { return dialect != Dialect::generic && dialect != Dialect::pgsql; }
    // Runs a statement without parameters on a handle of its own; *rows (when given) gets the
    // rows it processed.
    int execDirect(const char16_t* sql, long* rows = nullptr) {
        if (dbc == SQL_NULL_HDBC) return notConnected();
        trace(2, __LINE__, sql);
        SQLHSTMT h = SQL_NULL_HSTMT;
        if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h)))
            return failDbc(u"Allocating a statement");
        SQLRETURN r = SQLExecDirectW(h, const_cast<SQLWCHAR*>(wide(sql)), SQL_NTS);
        int rc = DBIF_RC_OK;
        if (r != SQL_NO_DATA && !succeeded(r)) {
            rc = failStmt(h, u"Execute");
        } else if (rows) {
            SQLLEN n = 0;
            *rows = r != SQL_NO_DATA && succeeded(SQLRowCount(h, &n)) && n > 0 ? static_cast<long>(n) : 0;
        }
        SQLFreeHandle(SQL_HANDLE_STMT, h);
        return rc;
    }
    int savepoint(SavepointStep step) {
        const char16_t* sql = savepointSql(dialect, step);
        return sql ? execDirect(sql) : DBIF_RC_OK;
    }
    int endTransaction(SQLSMALLINT how) {
        if (dbc == SQL_NULL_HDBC) return notConnected();
        trace(2, __LINE__, how == SQL_COMMIT ? u"COMMIT" : u"ROLLBACK");
        if (!succeeded(SQLEndTran(SQL_HANDLE_DBC, dbc, how)))
            return failDbc(how == SQL_COMMIT ? u"Commit" : u"Rollback");
        return DBIF_RC_OK;
    }
};

// A statement handle freed with its owner, unless the connection (and with it the handle) is
// already gone.
class StatementHandle {
  public:
    StatementHandle(std::shared_ptr<OdbcSession> session) : session_(std::move(session)) {}
    ~StatementHandle() { release(); }
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;

    int allocate() {
        release();
        serial_ = session_->serial;
        if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, session_->dbc, &h_))) {
            h_ = SQL_NULL_HSTMT;
            return session_->failDbc(u"Allocating a statement");
        }
        return DBIF_RC_OK;
    }
    bool usable() const { return h_ != SQL_NULL_HSTMT && session_->connected(serial_); }
    SQLHSTMT get() const { return h_; }
    void release() {
        if (usable()) SQLFreeHandle(SQL_HANDLE_STMT, h_);
        h_ = SQL_NULL_HSTMT;
    }

  private:
    std::shared_ptr<OdbcSession> session_;
    SQLHSTMT h_ = SQL_NULL_HSTMT;
    unsigned long serial_ = 0;
};

// ---- columns --------------------------------------------------------------------------------

// How a result column's value is fetched and becomes a cell.
enum class Form : uint8_t { integer, real, decimal, text, bytes };

struct Column {
    dbif_coldesc_t desc;
    Form form = Form::text;
    bool long_ = false;      // read with SQLGetData in pieces
    SQLSMALLINT cType = SQL_C_WCHAR;
    size_t width = 0;        // bytes of one row's bound buffer
    std::vector<unsigned char> buffer;
    std::vector<SQLLEN> indicator;
};

// Our description of a column of ODBC type sqlType, size `size` (characters, bytes or digits)
// and `scale`, and how it is fetched.
void mapColumn(SQLSMALLINT sqlType, SQLULEN size, SQLSMALLINT scale, Column* c) {
    dbif_coldesc_t& d = c->desc;
    d.type = DBIF_TYPE_CHAR;
    d.length = 0;
    d.decimals = 0;
    c->form = Form::text;
    const unsigned bounded = size > 0x7FFFFFFF ? 0 : static_cast<unsigned>(size);
    switch (sqlType) {
        case SQL_BIT:
        case SQL_TINYINT:
            d.type = DBIF_TYPE_INT, d.length = 1, c->form = Form::integer;
            break;
        case SQL_SMALLINT:
            d.type = DBIF_TYPE_INT, d.length = 2, c->form = Form::integer;
            break;
        case SQL_INTEGER:
            d.type = DBIF_TYPE_INT, d.length = 4, c->form = Form::integer;
            break;
        case SQL_BIGINT:
            d.type = DBIF_TYPE_INT, d.length = 8, c->form = Form::integer;
            break;
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE:
            d.type = DBIF_TYPE_FLOAT, d.length = 8, c->form = Form::real;
            break;
        case SQL_NUMERIC:
        case SQL_DECIMAL:
            c->form = Form::decimal;
            if (bounded > 0 && bounded <= 38 && scale >= 0 && scale <= static_cast<SQLSMALLINT>(bounded)) {
                d.type = DBIF_TYPE_PACKED;
                d.length = bounded;
                d.decimals = static_cast<unsigned>(scale);
            } else {
                d.type = DBIF_TYPE_DECIMAL;
            }
            break;
        case SQL_BINARY:
        case SQL_VARBINARY:
            c->form = Form::bytes;
            d.type = bounded > 0 && bounded <= kMaxBoundUnits ? DBIF_TYPE_RAW : DBIF_TYPE_BLOB;
            d.length = d.type == DBIF_TYPE_RAW ? bounded : 0;
            break;
        case SQL_LONGVARBINARY:
            c->form = Form::bytes;
            d.type = DBIF_TYPE_BLOB;
            break;
        case SQL_LONGVARCHAR:
        case SQL_WLONGVARCHAR:
            d.type = DBIF_TYPE_LONGCHAR;
            break;
        case SQL_TYPE_DATE:
            d.length = 10;
            break;
        case SQL_TYPE_TIME:
            d.length = 8;
            break;
        case SQL_TYPE_TIMESTAMP:
            d.length = 26;
            break;
        default:  // character types and everything else as text
            if (bounded == 0 || bounded > kMaxBoundUnits) {
                d.type = DBIF_TYPE_LONGCHAR;
            } else {
                d.length = bounded;
            }
            break;
    }
    c->long_ = d.type == DBIF_TYPE_LONGCHAR || d.type == DBIF_TYPE_BLOB;
    switch (c->form) {
        case Form::integer:
            c->cType = SQL_C_SBIGINT, c->width = sizeof(SQLBIGINT);
            break;
        case Form::real:
            c->cType = SQL_C_DOUBLE, c->width = sizeof(double);
            break;
        case Form::decimal:
            c->cType = SQL_C_CHAR, c->width = kDecimalWidth;
            break;
        case Form::bytes:
            c->cType = SQL_C_BINARY, c->width = std::max<size_t>(d.length, 1);
            break;
        case Form::text:
            // A character may take two code units (drivers count code points), plus the
            // terminator; dates and times have no length of their own beyond the above.
            c->cType = SQL_C_WCHAR, c->width = (2 * std::max<size_t>(d.length, 32) + 1) * 2;
            break;
    }
}

// Some drivers (SQLite's) report a column of a declared type they do not know as text or
// floating point; the declared name then tells more. NUMERIC(p,s) and DECIMAL(p,s) are fixed
// point, BLOB is binary and TEXT and CLOB long text, whatever the driver reported.
void refineByTypeName(const std::u16string& typeName, SQLSMALLINT* type, SQLULEN* size,
                      SQLSMALLINT* scale) {
    const std::string name = ul_utf16to8(dbif_toolname(typeName).c_str());
    if (name == "BLOB") *type = SQL_LONGVARBINARY;
    if (name == "TEXT" || name == "CLOB") *type = SQL_WLONGVARCHAR;
    unsigned p = 0, sc = 0;
    char close = 0;
    for (const char* prefix : {"NUMERIC(", "DECIMAL("}) {
        if (name.rfind(prefix, 0) != 0) continue;
        const char* args = name.c_str() + strlen(prefix);
        int got = sscanf(args, "%u,%u%c", &p, &sc, &close);
        if (got < 3) got = sscanf(args, "%u%c", &p, &close) == 2 ? 3 : 0, sc = 0;
        if (got == 3 && close == ')' && p > 0 && sc <= p) {
            *type = SQL_DECIMAL;
            *size = p;
            *scale = static_cast<SQLSMALLINT>(sc);
        }
    }
}

// Decimal text as the interface carries it: a leading zero before a bare point, and exactly
// `decimals` digits after the point when the column has a fixed scale.
void putDecimal(DbIfRowBatch* batch, size_t row, unsigned col, const char* text, size_t length,
                const dbif_coldesc_t& d) {
    while (length > 0 && text[length - 1] == ' ') --length;
    const size_t sign = length > 0 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    const bool barePoint = sign < length && text[sign] == '.';
    const char* point = static_cast<const char*>(memchr(text, '.', length));
    const size_t have = point ? static_cast<size_t>(text + length - point - 1) : 0;
    const bool exponent = memchr(text, 'e', length) || memchr(text, 'E', length);
    const bool pad = d.type == DBIF_TYPE_PACKED && !exponent && have < d.decimals;
    if (!barePoint && !pad) {  // most values: as the driver gave them
        batch->setDecimal(row, col, text, length);
        return;
    }
    std::string v(text, sign);
    if (barePoint) v.push_back('0');
    v.append(text + sign, length - sign);
    if (pad) {
        if (!point && d.decimals > 0) v.push_back('.');
        v.append(d.decimals - have, '0');
    }
    batch->setDecimal(row, col, v.data(), v.size());
}

// ---- parameters -----------------------------------------------------------------------------

// Parameter rows bound column-wise: one C type per parameter, chosen from the kinds of the
// values it carries (text wins over numbers, decimal text over integers, real over integers).
class ParamArrays {
  public:
    // Binds rows [from, from + n) of params (null: no parameters) to the statement.
    int bind(OdbcSession& s, SQLHSTMT h, DbIfRowBatch* params, unsigned count, size_t from,
             size_t n) {
        columns_.resize(count);
        for (unsigned p = 0; p < count; ++p) {
            Param& c = columns_[p];
            chooseForm(params, p, from, n, &c);
            fill(params, p, from, n, &c);
            SQLRETURN r = SQLBindParameter(
                h, static_cast<SQLUSMALLINT>(p + 1), SQL_PARAM_INPUT, c.cType, c.sqlType, c.size,
                c.scale, c.buffer.data(), static_cast<SQLLEN>(c.width), c.indicator.data());
            if (!succeeded(r)) return s.failStmt(h, u"Binding a parameter");
        }
        return DBIF_RC_OK;
    }

  private:
    struct Param {
        SQLSMALLINT cType = SQL_C_WCHAR, sqlType = SQL_WVARCHAR;
        SQLULEN size = 1;
        SQLSMALLINT scale = 0;
        size_t width = 2;
        std::vector<unsigned char> buffer;
        std::vector<SQLLEN> indicator;
    };

    static void chooseForm(DbIfRowBatch* params, unsigned p, size_t from, size_t n, Param* c) {
        bool text = false, bytes = false, decimal = false, real = false, integer = false;
        size_t longest = 1;
        for (size_t r = from; r < from + n; ++r) {
            const dbif_cell_t& v = params->row(r)[p];
            text |= v.kind == dbif_kind::text;
            bytes |= v.kind == dbif_kind::bytes;
            decimal |= v.kind == dbif_kind::decimal;
            real |= v.kind == dbif_kind::real;
            integer |= v.kind == dbif_kind::integer;
            longest = std::max(longest, v.kind == dbif_kind::null ? 0 : v.length);
        }
        c->scale = 0;
        if (bytes) {
            c->cType = SQL_C_BINARY;
            c->sqlType = longest > kMaxBoundUnits ? SQL_LONGVARBINARY : SQL_VARBINARY;
            c->size = longest;
            c->width = longest;
        } else if (text || (!decimal && !real && !integer)) {
            // Numbers among text go as their text; a parameter of nulls only as text.
            longest = std::max<size_t>(longest, 24);
            c->cType = SQL_C_WCHAR;
            c->sqlType = longest > kMaxBoundUnits ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
            c->size = longest;
            c->width = (longest + 1) * 2;
        } else if (decimal && !real) {
            c->cType = SQL_C_CHAR;
            c->sqlType = SQL_DECIMAL;
            c->width = kDecimalWidth;
            c->size = 38;
            for (size_t r = from; r < from + n; ++r) {
                const dbif_cell_t& v = params->row(r)[p];
                if (v.kind != dbif_kind::decimal) continue;
                std::u16string t(v.text, v.length);
                size_t point = t.find(u'.');
                if (point != std::u16string::npos)
                    c->scale = std::max<SQLSMALLINT>(c->scale, static_cast<SQLSMALLINT>(t.size() - point - 1));
            }
        } else if (real) {
            c->cType = SQL_C_DOUBLE, c->sqlType = SQL_DOUBLE, c->size = 15, c->width = sizeof(double);
        } else {
            c->cType = SQL_C_SBIGINT, c->sqlType = SQL_BIGINT, c->size = 19;
            c->width = sizeof(SQLBIGINT);
        }
    }

    static void fill(DbIfRowBatch* params, unsigned p, size_t from, size_t n, Param* c) {
        c->buffer.assign(c->width * n, 0);
        c->indicator.assign(n, SQL_NULL_DATA);
        for (size_t i = 0; i < n; ++i) {
            const dbif_cell_t& v = params->row(from + i)[p];
            if (v.kind == dbif_kind::null) continue;
            unsigned char* out = c->buffer.data() + i * c->width;
            std::string digits;
            std::u16string text;
            switch (c->cType) {
                case SQL_C_BINARY:
                    if (v.length) std::memcpy(out, v.bytes, v.length);
                    c->indicator[i] = static_cast<SQLLEN>(v.length);
                    break;
                case SQL_C_SBIGINT: {
                    SQLBIGINT x = v.integer;
                    std::memcpy(out, &x, sizeof x);
                    c->indicator[i] = sizeof x;
                    break;
                }
                case SQL_C_DOUBLE: {
                    double x = v.kind == dbif_kind::real      ? v.real
                               : v.kind == dbif_kind::integer ? static_cast<double>(v.integer)
                                                              : strtod(ul_utf16to8(v.text, v.length).c_str(), nullptr);
                    std::memcpy(out, &x, sizeof x);
                    c->indicator[i] = sizeof x;
                    break;
                }
                case SQL_C_CHAR:
                    digits = v.kind == dbif_kind::integer ? std::to_string(v.integer)
                                                          : ul_utf16to8(v.text, v.length);
                    digits.resize(std::min(digits.size(), c->width - 1));
                    std::memcpy(out, digits.data(), digits.size());
                    c->indicator[i] = static_cast<SQLLEN>(digits.size());
                    break;
                default:
                    text = cellText(v);
                    text.resize(std::min(text.size(), c->width / 2 - 1));
                    std::memcpy(out, text.data(), text.size() * 2);
                    c->indicator[i] = static_cast<SQLLEN>(text.size() * 2);
                    break;
            }
        }
    }

    static std::u16string cellText(const dbif_cell_t& v) {
        if (v.kind == dbif_kind::text || v.kind == dbif_kind::decimal)
            return std::u16string(v.text, v.length);
        if (v.kind == dbif_kind::integer) return ul_utf8to16(std::to_string(v.integer).c_str());
        char buffer[32];
        snprintf(buffer, sizeof buffer, "%.17g", v.real);
        return ul_utf8to16(buffer);
    }

    std::vector<Param> columns_;
};

// ---- statements -----------------------------------------------------------------------------

class OdbcStatement final : public DbIfStatement {
  public:
    OdbcStatement(std::shared_ptr<OdbcSession> session, std::u16string sql, unsigned params,
                  int stmtClass)
        : session_(session), handle_(session), sql_(std::move(sql)), paramCount_(params),
          class_(stmtClass) {}

    int prepare() {
        if (int rc = handle_.allocate()) return rc;
        session_->trace(2, __LINE__, u"PREPARE " + sql_);
        SQLRETURN r = SQLPrepareW(handle_.get(), const_cast<SQLWCHAR*>(wide(sql_.c_str())), SQL_NTS);
        if (!succeeded(r)) return session_->failStmt(handle_.get(), u"Prepare");
        return DBIF_RC_OK;
    }

    unsigned paramCount() const override { return paramCount_; }
    int begRead(DbIfRowBatch* params) override {
        return call([&] { return doBegRead(params); });
    }
    int describe(std::vector<dbif_coldesc_t>* columns) override {
        return call([&] { return doDescribe(columns); });
    }
    int exeRead(DbIfRowBatch* batch, unsigned maxRows) override {
        batch->reset(static_cast<unsigned>(columns_.size()));
        return call([&] { return doExeRead(batch, maxRows); });
    }
    int endRead() override {
        return call([&] {
            closeCursor();
            session_->commArea().rowCount = static_cast<long>(delivered_);
            return DBIF_RC_OK;
        });
    }
    int modify(DbIfRowBatch* params, unsigned long* processed) override {
        return call([&] { return doModify(params, processed); });
    }

  private:
    template <class Op>
    int call(Op&& op) {
        session_->beginCall();
        return dbif_guard(session_->commArea(), [&]() -> int {
            if (!handle_.usable()) return session_->notConnected();
            return op();
        });
    }
    int checkParams(DbIfRowBatch* params, bool oneRow) {
        if (paramCount_ == 0) return DBIF_RC_OK;
        if (!params || params->width() != paramCount_ || params->rows() == 0 ||
            (oneRow && params->rows() < 1))
            return session_->fail(DBIF_RC_DB_ERROR, -1,
                                  u"The statement needs " +
                                      ul_utf8to16(std::to_string(paramCount_).c_str()) +
                                      u" parameter values per row");
        return DBIF_RC_OK;
    }
    void closeCursor() {
        if (open_) SQLFreeStmt(handle_.get(), SQL_CLOSE);
        open_ = false;
    }

    int doBegRead(DbIfRowBatch* params);
    int doDescribe(std::vector<dbif_coldesc_t>* out);
    int doExeRead(DbIfRowBatch* batch, unsigned maxRows);
    int describeResult();
    int bindColumns();
    int fetchBlock();
    int convertBoundRow(DbIfRowBatch* batch, size_t row, size_t at);
    int readRowByGetData(DbIfRowBatch* batch, size_t row);
    int getLong(const Column& c, unsigned col, DbIfRowBatch* batch, size_t row);
    int doModify(DbIfRowBatch* params, unsigned long* processed);
    int savepoint(SavepointStep step) { return session_->savepoint(step); }
    int finish(unsigned long* processed, unsigned long done, int rc) {
        if (processed) *processed += done;
        session_->commArea().rowCount = static_cast<long>(done);
        return rc;
    }
    int runArray(DbIfRowBatch* params, size_t from, size_t n, unsigned long* count);
    int execute();

    std::shared_ptr<OdbcSession> session_;
    StatementHandle handle_;
    std::u16string sql_;
    unsigned paramCount_;
    int class_;
    ParamArrays paramArrays_;
    std::vector<Column> columns_;
    bool described_ = false;
    bool open_ = false;
    bool atEnd_ = false;
    bool getData_ = false;       // the result has a long column: row by row with SQLGetData
    unsigned arrayRows_ = 1;     // rows of one fetch
    SQLULEN fetched_ = 0;        // rows in the buffers
    size_t next_ = 0;            // the next buffered row to deliver
    std::vector<SQLUSMALLINT> rowStatus_;
    size_t delivered_ = 0;
};

int OdbcStatement::execute() {
    SQLRETURN r = SQLExecute(handle_.get());
    if (r != SQL_NO_DATA && !succeeded(r)) return session_->failStmt(handle_.get(), u"Execute");
    return DBIF_RC_OK;
}

int OdbcStatement::doBegRead(DbIfRowBatch* params) {
    closeCursor();
    if (int rc = checkParams(params, true)) return rc;
    SQLFreeStmt(handle_.get(), SQL_RESET_PARAMS);
    SQLSetStmtAttr(handle_.get(), SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
    if (paramCount_) {
        if (int rc = paramArrays_.bind(*session_, handle_.get(), params, paramCount_, 0, 1))
            return rc;
    }
    delivered_ = 0;
    atEnd_ = false;
    fetched_ = 0;
    next_ = 0;
    if (int rc = execute()) return rc;
    open_ = true;
    if (!described_) {
        if (int rc = describeResult()) return rc;
        described_ = true;
    }
    return bindColumns();
}

int OdbcStatement::describeResult() {
    SQLSMALLINT n = 0;
    if (!succeeded(SQLNumResultCols(handle_.get(), &n))) return session_->failStmt(handle_.get(), u"Describe");
    columns_.assign(static_cast<size_t>(n), Column());
    getData_ = false;
    size_t rowBytes = 0;
    for (SQLSMALLINT i = 0; i < n; ++i) {
        char16_t name[256] = {0};
        SQLSMALLINT nameLength = 0, type = 0, scale = 0, nullable = SQL_NULLABLE_UNKNOWN;
        SQLULEN size = 0;
        if (!succeeded(SQLDescribeColW(handle_.get(), static_cast<SQLUSMALLINT>(i + 1), wide(name),
                                       255, &nameLength, &type, &size, &scale, &nullable)))
            return session_->failStmt(handle_.get(), u"Describe");
        Column& c = columns_[static_cast<size_t>(i)];
        c.desc.name = dbif_toolname(name);
        c.desc.nullable = nullable != SQL_NO_NULLS;
        char16_t typeName[128] = {0};
        SQLSMALLINT typeLength = 0;
        if (succeeded(SQLColAttributeW(handle_.get(), static_cast<SQLUSMALLINT>(i + 1),
                                       SQL_DESC_TYPE_NAME, typeName, sizeof(typeName) - 2,
                                       &typeLength, nullptr)))
            refineByTypeName(typeName, &type, &size, &scale);
        mapColumn(type, size, scale, &c);
        getData_ |= c.long_;
        rowBytes += c.width + sizeof(SQLLEN);
    }
    arrayRows_ = getData_ ? 1
                          : static_cast<unsigned>(std::clamp<size_t>(
                                kFetchBudget / std::max<size_t>(rowBytes, 1), 1, kMaxFetchRows));
    return DBIF_RC_OK;
}

int OdbcStatement::bindColumns() {
    SQLHSTMT h = handle_.get();
    SQLFreeStmt(h, SQL_UNBIND);
    rowStatus_.assign(arrayRows_, 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0);
    if (!succeeded(SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE,
                                  reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(arrayRows_)), 0)))
        arrayRows_ = 1;  // the driver has no row arrays: row by row
    SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, &fetched_, 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_STATUS_PTR, rowStatus_.data(), 0);
    if (getData_) return DBIF_RC_OK;
    for (size_t i = 0; i < columns_.size(); ++i) {
        Column& c = columns_[i];
        c.buffer.resize(c.width * arrayRows_);
        c.indicator.resize(arrayRows_);
        if (!succeeded(SQLBindCol(h, static_cast<SQLUSMALLINT>(i + 1), c.cType, c.buffer.data(),
                                  static_cast<SQLLEN>(c.width), c.indicator.data())))
            return session_->failStmt(h, u"Binding a result column");
    }
    return DBIF_RC_OK;
}

int OdbcStatement::doDescribe(std::vector<dbif_coldesc_t>* out) {
    if (!described_) {
        // Before the first read the driver describes the prepared statement.
        if (int rc = describeResult()) return rc;
        described_ = true;
    }
    out->clear();
    for (const Column& c : columns_) out->push_back(c.desc);
    return DBIF_RC_OK;
}

int OdbcStatement::fetchBlock() {
    fetched_ = 0;
    next_ = 0;
    SQLRETURN r = SQLFetch(handle_.get());
    if (r == SQL_NO_DATA) {
        atEnd_ = true;
        return DBIF_RC_OK;
    }
    if (!succeeded(r)) return session_->failStmt(handle_.get(), u"Fetch");
    if (arrayRows_ == 1) fetched_ = 1;
    return DBIF_RC_OK;
}

int OdbcStatement::doExeRead(DbIfRowBatch* batch, unsigned maxRows) {
    if (!open_) return session_->fail(DBIF_RC_DB_ERROR, -1, u"No read is open on the statement");
    while (batch->rows() < maxRows) {
        if (next_ >= fetched_) {
            if (atEnd_) break;
            if (int rc = fetchBlock()) {
                closeCursor();
                return rc;
            }
            continue;
        }
        size_t row = batch->addRow();
        int rc = getData_ ? readRowByGetData(batch, row) : convertBoundRow(batch, row, next_);
        ++next_;
        if (rc) {
            closeCursor();
            return rc;
        }
        ++delivered_;
    }
    session_->commArea().rowCount = static_cast<long>(delivered_);
    if (batch->rows() == maxRows && maxRows > 0) return DBIF_RC_PARTIAL;
    return batch->rows() ? DBIF_RC_LAST_BATCH : DBIF_RC_NO_MORE_ROWS;
}

int truncated(OdbcSession& s, const Column& c) {
    return s.fail(DBIF_RC_DB_ERROR, -1,
                  u"A value of column " + c.desc.name +
                      u" is longer than the column's declared length; it is not read cut");
}

int OdbcStatement::convertBoundRow(DbIfRowBatch* batch, size_t row, size_t at) {
    for (unsigned i = 0; i < columns_.size(); ++i) {
        const Column& c = columns_[i];
        SQLLEN n = c.indicator[at];
        const unsigned char* v = c.buffer.data() + at * c.width;
        if (n == SQL_NULL_DATA) continue;  // the row starts with null cells
        if (n < 0 || (c.form != Form::integer && c.form != Form::real &&
                      static_cast<size_t>(n) >= c.width - (c.form == Form::bytes ? 0 : 1) &&
                      !(c.form == Form::bytes && static_cast<size_t>(n) == c.width)))
            return truncated(*session_, c);
        switch (c.form) {
            case Form::integer: {
                SQLBIGINT x;
                std::memcpy(&x, v, sizeof x);
                batch->setInteger(row, i, x);
                break;
            }
            case Form::real: {
                double x;
                std::memcpy(&x, v, sizeof x);
                batch->setReal(row, i, x);
                break;
            }
            case Form::decimal:
                putDecimal(batch, row, i, reinterpret_cast<const char*>(v), static_cast<size_t>(n), c.desc);
                break;
            case Form::text:
                batch->setText(row, i, reinterpret_cast<const char16_t*>(v), static_cast<size_t>(n) / 2);
                break;
            case Form::bytes:
                batch->setBytes(row, i, v, static_cast<size_t>(n));
                break;
        }
    }
    return DBIF_RC_OK;
}

// A value of a long column, read in pieces until the driver has no more of it.
int OdbcStatement::getLong(const Column& c, unsigned col, DbIfRowBatch* batch, size_t row) {
    const bool text = c.form == Form::text;
    const size_t unit = text ? 2 : 1;
    std::vector<unsigned char> value, piece((kPieceUnits + 1) * unit);
    for (;;) {
        SQLLEN n = 0;
        SQLRETURN r = SQLGetData(handle_.get(), static_cast<SQLUSMALLINT>(col + 1), c.cType,
                                 piece.data(), static_cast<SQLLEN>(piece.size()), &n);
        if (r == SQL_NO_DATA) break;
        if (!succeeded(r)) return session_->failStmt(handle_.get(), u"Reading a long value");
        if (n == SQL_NULL_DATA) return DBIF_RC_OK;
        // A piece that did not fit fills the buffer less its terminator.
        size_t room = piece.size() - (text ? unit : 0);
        size_t got = n == SQL_NO_TOTAL || static_cast<size_t>(n) > room ? room : static_cast<size_t>(n);
        value.insert(value.end(), piece.begin(), piece.begin() + static_cast<long>(got));
        if (r == SQL_SUCCESS) break;
    }
    if (text)
        batch->setText(row, col, reinterpret_cast<const char16_t*>(value.data()), value.size() / 2);
    else
        batch->setBytes(row, col, value.data(), value.size());
    return DBIF_RC_OK;
}

int OdbcStatement::readRowByGetData(DbIfRowBatch* batch, size_t row) {
    for (unsigned i = 0; i < columns_.size(); ++i) {
        const Column& c = columns_[i];
        if (c.long_ || c.form == Form::text || c.form == Form::bytes) {
            if (int rc = getLong(c, i, batch, row)) return rc;
            continue;
        }
        unsigned char v[kDecimalWidth];
        SQLLEN n = 0;
        SQLRETURN r = SQLGetData(handle_.get(), static_cast<SQLUSMALLINT>(i + 1), c.cType, v,
                                 sizeof v, &n);
        if (!succeeded(r)) return session_->failStmt(handle_.get(), u"Reading a value");
        if (n == SQL_NULL_DATA) continue;
        if (c.form == Form::integer) {
            SQLBIGINT x;
            std::memcpy(&x, v, sizeof x);
            batch->setInteger(row, i, x);
        } else if (c.form == Form::real) {
            double x;
            std::memcpy(&x, v, sizeof x);
            batch->setReal(row, i, x);
        } else {
            if (r == SQL_SUCCESS_WITH_INFO || n < 0 || static_cast<size_t>(n) >= sizeof v)
                return truncated(*session_, c);
            putDecimal(batch, row, i, reinterpret_cast<const char*>(v), static_cast<size_t>(n), c.desc);
        }
    }
    return DBIF_RC_OK;
}

// Runs parameter rows [from, from + n) as one array of n rows (n == 1: a single row) and adds
// the rows the database processed to *count.
int OdbcStatement::runArray(DbIfRowBatch* params, size_t from, size_t n, unsigned long* count) {
    SQLHSTMT h = handle_.get();
    SQLFreeStmt(h, SQL_RESET_PARAMS);
    SQLSetStmtAttr(h, SQL_ATTR_PARAM_BIND_TYPE,
                   reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0);
    SQLSetStmtAttr(h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(n), 0);
    if (paramCount_) {
        if (int rc = paramArrays_.bind(*session_, h, params, paramCount_, from, n)) return rc;
    }
    SQLRETURN r = SQLExecute(h);
    if (r == SQL_NO_DATA) return DBIF_RC_OK;  // a searched update or delete changed nothing
    if (!succeeded(r)) return session_->failStmt(h, u"Execute");
    // Drivers that count each parameter row apart hand the further counts out as results.
    do {
        SQLLEN rows = 0;
        if (succeeded(SQLRowCount(h, &rows)) && rows > 0) *count += static_cast<unsigned long>(rows);
        r = n > 1 ? SQLMoreResults(h) : SQL_NO_DATA;
    } while (succeeded(r));
    if (r != SQL_NO_DATA) return session_->failStmt(h, u"Execute");
    return DBIF_RC_OK;
}

// A failing row ends the call; the rows before it stay. An insert runs its rows as arrays
// where the database has savepoints: drivers differ in what an array with a failing row leaves
// behind (some undo the whole array, some stop at the row, some go on), so a failed array is
// rolled back to the savepoint before it and its rows run again one by one up to the failing
// row, whose failure is the one reported. Everything else runs row by row.
int OdbcStatement::doModify(DbIfRowBatch* params, unsigned long* processed) {
    session_->commArea().rowCount = 0;
    if (int rc = checkParams(params, false)) return rc;
    const size_t total = params && paramCount_ ? params->rows() : 1;
    const bool arrays = class_ == DBIF_CLASS_INSERT && paramCount_ && session_->hasSavepoints();
    unsigned long done = 0;
    size_t from = 0;
    while (from < total) {
        const size_t n = arrays ? std::min(kMaxParamRows, total - from) : 1;
        if (n == 1) {
            if (int rc = runArray(params, from, 1, &done)) return finish(processed, done, rc);
            ++from;
            continue;
        }
        if (int rc = savepoint(SavepointStep::set)) return finish(processed, done, rc);
        unsigned long count = 0;
        if (runArray(params, from, n, &count) == DBIF_RC_OK) {
            done += count;
            from += n;
            if (int rc = savepoint(SavepointStep::release)) return finish(processed, done, rc);
            continue;
        }
        if (int rc = savepoint(SavepointStep::rollback)) return finish(processed, done, rc);
        for (size_t end = from + n; from < end; ++from) {
            if (int rc = runArray(params, from, 1, &done)) {
                dbif_commarea_t failure = session_->commArea();
                savepoint(SavepointStep::release);
                session_->commArea() = failure;
                return finish(processed, done, rc);
            }
        }
        // The array failed, its rows alone do not: the database changed in between.
        if (int rc = savepoint(SavepointStep::release)) return finish(processed, done, rc);
    }
    return finish(processed, done, DBIF_RC_OK);
}

// ---- connection -------------------------------------------------------------------------------

// Reads every row of a catalogue function's result with SQLGetData: the text of the columns
// asked for, in their order.
class CatalogRows {
  public:
    explicit CatalogRows(OdbcSession& s) : s_(s) {}
    ~CatalogRows() {
        if (h_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, h_);
    }
    CatalogRows(const CatalogRows&) = delete;
    CatalogRows& operator=(const CatalogRows&) = delete;

    SQLHSTMT handle() {
        if (h_ == SQL_NULL_HSTMT && !succeeded(SQLAllocHandle(SQL_HANDLE_STMT, s_.dbc, &h_)))
            h_ = SQL_NULL_HSTMT;
        return h_;
    }
    // After the catalogue function ran (r): hands each row's texts of `columns` to onRow.
    template <class OnRow>
    int read(SQLRETURN r, const char16_t* what, std::initializer_list<SQLUSMALLINT> columns,
             OnRow&& onRow) {
        if (!succeeded(r)) return s_.failStmt(h_, what);
        std::vector<std::u16string> row(columns.size());
        for (;;) {
            r = SQLFetch(h_);
            if (r == SQL_NO_DATA) break;
            if (!succeeded(r)) return s_.failStmt(h_, what);
            size_t i = 0;
            for (SQLUSMALLINT c : columns) {
                char16_t text[512] = {0};
                SQLLEN n = 0;
                r = SQLGetData(h_, c, SQL_C_WCHAR, text, sizeof(text) - 2, &n);
                if (!succeeded(r)) return s_.failStmt(h_, what);
                row[i++] = n == SQL_NULL_DATA ? u"" : std::u16string(text);
            }
            onRow(row);
        }
        SQLFreeStmt(h_, SQL_CLOSE);
        return DBIF_RC_OK;
    }

  private:
    OdbcSession& s_;
    SQLHSTMT h_ = SQL_NULL_HSTMT;
};

std::string processUser() {
    const passwd* pw = getpwuid(geteuid());
    return pw && pw->pw_name ? pw->pw_name : std::to_string(geteuid());
}

long toLong(const std::u16string& text) {
    return strtol(ul_utf16to8(text.c_str()).c_str(), nullptr, 10);
}

class OdbcConnection final : public DbIfConnection {
  public:
    OdbcConnection() : session_(newSession()) {}
    ~OdbcConnection() override {
        disconnect();
        session_->area = nullptr;
    }

    int connect() override {
        return guarded([&] { return doConnect(); });
    }
    int disconnect() override {
        return guarded([&] { return doDisconnect(); });
    }
    int commit() override {
        return guarded([&] { return session_->endTransaction(SQL_COMMIT); });
    }
    int rollback() override {
        return guarded([&] { return session_->endTransaction(SQL_ROLLBACK); });
    }
    int prepare(const char16_t* sql, int stmtClass,
                std::unique_ptr<DbIfStatement>* statement) override {
        statement->reset();
        return guarded([&] { return doPrepare(sql, stmtClass, statement); });
    }
    int execute(const char16_t* sql) override {
        return guarded([&]() -> int {
            std::u16string text;
            if (dbif_striphints(sql, &text) < 0) return hintFailure(sql);
            return session_->execDirect(text.c_str(), &commArea_.rowCount);
        });
    }
    int control(int code, dbif_control_t* argument) override {
        return guarded([&] { return doControl(code, argument); });
    }

  protected:
    int describeNative(const char16_t* table, dbif_cattable_t* out) override;

  private:
    template <class Op>
    int guarded(Op&& op) {
        session_->beginCall();
        return dbif_guard(commArea_, std::forward<Op>(op));
    }
    std::shared_ptr<OdbcSession> newSession() {
        auto s = std::make_shared<OdbcSession>();
        s->area = &commArea_;
        return s;
    }
    int hintFailure(const char16_t* sql) {
        return session_->fail(DBIF_RC_DB_ERROR, -1,
                              u"Hint phrase without closing bracket in: " + std::u16string(sql));
    }
    int doConnect();
    int doDisconnect();
    int setupSession();
    int doPrepare(const char16_t* sql, int stmtClass, std::unique_ptr<DbIfStatement>* statement);
    int doControl(int code, dbif_control_t* argument);
    int setIsolation(long value);
    int queryText(const char16_t* sql, std::u16string* out);
    int findTable(const char16_t* table, std::u16string* schema, std::u16string* name,
                  bool* view);
    int readKeys(const std::u16string& schema, const std::u16string& name,
                 std::vector<std::u16string>* keys);

    std::shared_ptr<OdbcSession> session_;
    static unsigned long serials_;
};

unsigned long OdbcConnection::serials_ = 0;

int OdbcConnection::doConnect() {
    OdbcSession& s = *session_;
    if (s.dbc != SQL_NULL_HDBC)
        return s.fail(DBIF_RC_DB_ERROR, -1, u"Already connected to an ODBC data source");
    const char* conninfo = getenv(kEnvConnection);
    if (!conninfo || !*conninfo)
        return s.fail(DBIF_RC_DB_ERROR, -1,
                      u"No ODBC connection string: set dbs_odbc_conninfo to a data source "
                      u"(DSN=...) or a driver (Driver=...)");
    SQLHENV env = environment();
    if (!env) return s.fail(DBIF_RC_DB_ERROR, -1, u"The ODBC driver manager did not start");
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env, &s.dbc))) {
        s.dbc = SQL_NULL_HDBC;
        return s.fail(DBIF_RC_DB_ERROR, -1, u"Out of memory for the ODBC connection");
    }
    // The connection string may hold a password: it goes to no trace and no message.
    s.trace(2, __LINE__, u"connect with dbs_odbc_conninfo");
    std::u16string text = ul_utf8to16(conninfo);
    SQLRETURN r = SQLDriverConnectW(s.dbc, nullptr, const_cast<SQLWCHAR*>(wide(text.c_str())),
                                    SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!succeeded(r)) {
        int rc = s.failDbc(u"Connect");
        SQLFreeHandle(SQL_HANDLE_DBC, s.dbc);
        s.dbc = SQL_NULL_HDBC;
        return rc;
    }
    s.serial = ++serials_;
    if (int rc = setupSession()) {
        dbif_commarea_t failure = commArea_;
        doDisconnect();
        commArea_ = failure;
        return rc;
    }
    return DBIF_RC_OK;
}

// Manual commit, the database's name and dialect, and the dialect's session settings.
int OdbcConnection::setupSession() {
    OdbcSession& s = *session_;
    if (!succeeded(SQLSetConnectAttr(s.dbc, SQL_ATTR_AUTOCOMMIT,
                                     reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)))
        return s.failDbc(u"Switching autocommit off");
    if (int rc = s.getInfo(SQL_DBMS_NAME, &s.dbmsName)) return rc;
    if (int rc = s.getInfo(SQL_DBMS_VER, &s.dbmsVersion)) return rc;
    s.dialect = dialectOf(s.dbmsName);
    SQLUINTEGER level = 0;
    if (succeeded(SQLGetConnectAttr(s.dbc, SQL_ATTR_TXN_ISOLATION, &level, 0, nullptr)))
        s.defaultIsolation = level;
    if (s.dialect == Dialect::mysql) {
        if (int rc = s.execDirect(
                u"SET SESSION sql_mode = CONCAT(@@sql_mode, ',ANSI_QUOTES,PIPES_AS_CONCAT')"))
            return rc;
    }
    if (s.isolation != 0) {
        if (int rc = setIsolation(s.isolation)) return rc;
    }
    s.trace(1, __LINE__, u"connected to " + s.dbmsName + u" " + s.dbmsVersion);
    return DBIF_RC_OK;
}

int OdbcConnection::doDisconnect() {
    OdbcSession& s = *session_;
    if (s.dbc == SQL_NULL_HDBC) return DBIF_RC_OK;
    s.trace(2, __LINE__, u"disconnect");
    // An open transaction ends without its changes.
    SQLEndTran(SQL_HANDLE_DBC, s.dbc, SQL_ROLLBACK);
    SQLDisconnect(s.dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, s.dbc);
    s.dbc = SQL_NULL_HDBC;
    // Statements of this connect must not reach the next one.
    auto next = newSession();
    next->isolation = s.isolation;
    next->traceFn = s.traceFn;
    next->traceContext = s.traceContext;
    next->traceLevel = s.traceLevel;
    s.area = nullptr;
    session_ = next;
    return DBIF_RC_OK;
}

int OdbcConnection::doPrepare(const char16_t* sql, int stmtClass,
                              std::unique_ptr<DbIfStatement>* statement) {
    if (session_->dbc == SQL_NULL_HDBC) return session_->notConnected();
    std::u16string text;
    long markers = dbif_striphints(sql, &text);
    if (markers < 0) return hintFailure(sql);
    auto stmt = std::make_unique<OdbcStatement>(session_, std::move(text),
                                                static_cast<unsigned>(markers), stmtClass);
    if (int rc = stmt->prepare()) return rc;
    *statement = std::move(stmt);
    return DBIF_RC_OK;
}

int OdbcConnection::queryText(const char16_t* sql, std::u16string* out) {
    std::unique_ptr<DbIfStatement> stmt;
    if (int rc = doPrepare(sql, DBIF_CLASS_READ, &stmt)) return rc;
    DbIfRowBatch batch;
    int rc = stmt->begRead(nullptr);
    if (rc == DBIF_RC_OK) rc = stmt->exeRead(&batch, 1);
    stmt->endRead();
    if (rc != DBIF_RC_OK && rc != DBIF_RC_PARTIAL && rc != DBIF_RC_LAST_BATCH &&
        rc != DBIF_RC_NO_MORE_ROWS)
        return rc;
    out->clear();
    if (batch.rows() == 1 && batch.width() >= 1) *out = dbif_cattext(batch.row(0)[0]);
    return DBIF_RC_OK;
}

// The level applies to the next transaction: the open one ends without its changes, as ODBC
// allows a change of level only between transactions.
int OdbcConnection::setIsolation(long value) {
    OdbcSession& s = *session_;
    if (value != 0 && value != 2)
        return s.fail(DBIF_RC_NOT_SUPPORTED, -1,
                      u"Isolation level " + ul_utf8to16(std::to_string(value).c_str()) +
                          u" is not supported");
    s.isolation = value;
    if (s.dbc == SQL_NULL_HDBC) return DBIF_RC_OK;
    SQLULEN level = value == 2 ? SQL_TXN_READ_COMMITTED : s.defaultIsolation;
    if (level == 0) return DBIF_RC_OK;
    SQLEndTran(SQL_HANDLE_DBC, s.dbc, SQL_ROLLBACK);
    if (!succeeded(SQLSetConnectAttr(s.dbc, SQL_ATTR_TXN_ISOLATION,
                                     reinterpret_cast<SQLPOINTER>(level), 0))) {
        // Drivers of databases with one level only (SQLite) refuse the others.
        if (value == 2 && s.dialect == Dialect::sqlite) return DBIF_RC_OK;
        return s.failDbc(u"Setting the isolation level");
    }
    return DBIF_RC_OK;
}

int OdbcConnection::doControl(int code, dbif_control_t* argument) {
    OdbcSession& s = *session_;
    if (code == DBIF_CTL_TRACE) {
        s.traceLevel = static_cast<int>(argument->intValue);
        s.traceFn = argument->trace;
        s.traceContext = argument->traceContext;
        return DBIF_RC_OK;
    }
    if (code == DBIF_CTL_ISOLATION) return setIsolation(argument->intValue);
    if (code == DBIF_CTL_CATALOG_DESCRIBE || code == DBIF_CTL_CATALOG_FLUSH)
        return catalogControl(code, argument);
    if (code == DBIF_CTL_VIEW_LAYER) return DBIF_RC_NOT_SUPPORTED;
    const bool known = code == DBIF_CTL_USER || code == DBIF_CTL_HOST ||
                       code == DBIF_CTL_VERSION || code == DBIF_CTL_CLIENT_VERSION ||
                       code == DBIF_CTL_SCHEMA;
    if (!known)
        return s.fail(DBIF_RC_NOT_SUPPORTED, -1,
                      u"Control code " + ul_utf8to16(std::to_string(code).c_str()) +
                          u" is not supported by the ODBC engine");
    if (s.dbc == SQL_NULL_HDBC) return s.notConnected();
    std::u16string a, b;
    switch (code) {
        case DBIF_CTL_USER:
            if (int rc = s.getInfo(SQL_USER_NAME, &argument->text)) return rc;
            // A database file has no user of its own: the process's user works on it.
            if (argument->text.empty()) argument->text = ul_utf8to16(processUser().c_str());
            return DBIF_RC_OK;
        case DBIF_CTL_HOST:
            if (s.dialect == Dialect::sqlite) {  // the driver names the file
                argument->text = u"localhost";
                return DBIF_RC_OK;
            }
            if (int rc = s.getInfo(SQL_SERVER_NAME, &argument->text)) return rc;
            if (argument->text.empty()) argument->text = u"localhost";
            return DBIF_RC_OK;
        case DBIF_CTL_VERSION:
            argument->text = s.dbmsName + u" " + s.dbmsVersion;
            return DBIF_RC_OK;
        case DBIF_CTL_CLIENT_VERSION:
            if (int rc = s.getInfo(SQL_DRIVER_NAME, &a)) return rc;
            if (int rc = s.getInfo(SQL_DRIVER_VER, &b)) return rc;
            argument->text = a + u" " + b;
            return DBIF_RC_OK;
        default:  // DBIF_CTL_SCHEMA
            if (const char16_t* sql = schemaQuery(s.dialect)) return queryText(sql, &argument->text);
            argument->text = u"main";
            return DBIF_RC_OK;
    }
}

// A search pattern that matches the name only: the pattern characters escaped.
std::u16string patternOf(const std::u16string& name, const std::u16string& escape) {
    if (escape.empty()) return name;
    std::u16string out;
    for (char16_t c : name) {
        if (c == u'_' || c == u'%' || c == escape[0]) out += escape;
        out.push_back(c);
    }
    return out;
}

// The table's schema and name as the database holds them (its case may differ from the tool's),
// and whether it is a view. DBIF_RC_NOT_FOUND when there is none.
int OdbcConnection::findTable(const char16_t* table, std::u16string* schema,
                              std::u16string* name, bool* view) {
    OdbcSession& s = *session_;
    std::u16string escape;
    s.getInfo(SQL_SEARCH_PATTERN_ESCAPE, &escape);
    std::u16string current;
    if (const char16_t* sql = schemaQuery(s.dialect)) queryText(sql, &current);
    const std::u16string wanted = dbif_toolname(table);
    // The pattern as written, and in lower and upper case, since a pattern's case counts.
    std::u16string lower = table;
    for (char16_t& c : lower)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    bool found = false;
    for (const std::u16string& candidate : {std::u16string(table), lower, wanted}) {
        CatalogRows rows(s);
        if (!rows.handle()) return s.failDbc(u"Allocating a statement");
        std::u16string pattern = patternOf(candidate, escape);
        SQLRETURN r = SQLTablesW(rows.handle(), nullptr, 0, nullptr, 0,
                                 const_cast<SQLWCHAR*>(wide(pattern.c_str())), SQL_NTS, nullptr, 0);
        int rc = rows.read(r, u"SQLTables", {2, 3, 4}, [&](const std::vector<std::u16string>& row) {
            if (dbif_toolname(row[1]) != wanted) return;
            // A table of the current schema wins over one of another schema.
            bool better = !found || (!current.empty() && row[0] == current && *schema != current);
            if (!better) return;
            found = true;
            *schema = row[0];
            *name = row[1];
            *view = dbif_toolname(row[2]).find(u"VIEW") != std::u16string::npos;
        });
        if (rc) return rc;
        if (found) return DBIF_RC_OK;
    }
    return DBIF_RC_NOT_FOUND;
}

// The primary key's columns in key order; without a primary key, those of the first unique
// index whose columns are all not null.
int OdbcConnection::readKeys(const std::u16string& schema, const std::u16string& name,
                             std::vector<std::u16string>* keys) {
    OdbcSession& s = *session_;
    auto schemaArg = [&] { return schema.empty() ? nullptr : const_cast<SQLWCHAR*>(wide(schema.c_str())); };
    std::vector<std::pair<long, std::u16string>> ordered;
    {
        CatalogRows rows(s);
        if (!rows.handle()) return s.failDbc(u"Allocating a statement");
        SQLRETURN r = SQLPrimaryKeysW(rows.handle(), nullptr, 0, schemaArg(), SQL_NTS,
                                      const_cast<SQLWCHAR*>(wide(name.c_str())), SQL_NTS);
        int rc = rows.read(r, u"SQLPrimaryKeys", {4, 5}, [&](const std::vector<std::u16string>& row) {
            ordered.emplace_back(toLong(row[1]), dbif_toolname(row[0]));
        });
        if (rc) return rc;
    }
    if (ordered.empty()) {
        CatalogRows rows(s);
        if (!rows.handle()) return s.failDbc(u"Allocating a statement");
        SQLRETURN r = SQLStatisticsW(rows.handle(), nullptr, 0, schemaArg(), SQL_NTS,
                                     const_cast<SQLWCHAR*>(wide(name.c_str())), SQL_NTS,
                                     SQL_INDEX_UNIQUE, SQL_QUICK);
        std::u16string first;
        int rc = rows.read(r, u"SQLStatistics", {6, 8, 9}, [&](const std::vector<std::u16string>& row) {
            if (row[0].empty() || row[2].empty()) return;  // the table's own statistics row
            if (first.empty()) first = row[0];
            if (row[0] == first) ordered.emplace_back(toLong(row[1]), dbif_toolname(row[2]));
        });
        if (rc) return rc;
    }
    std::sort(ordered.begin(), ordered.end());
    keys->clear();
    for (auto& k : ordered) keys->push_back(k.second);
    return DBIF_RC_OK;
}

// The columns of a table or view from the driver's catalogue functions, described as a result
// column of the same type would be.
int OdbcConnection::describeNative(const char16_t* table, dbif_cattable_t* out) {
    *out = dbif_cattable_t();
    OdbcSession& s = *session_;
    if (s.dbc == SQL_NULL_HDBC) return s.notConnected();
    std::u16string schema, name;
    bool view = false;
    if (int rc = findTable(table, &schema, &name, &view)) return rc;
    std::vector<std::u16string> keys;
    if (int rc = readKeys(schema, name, &keys)) return rc;
    std::vector<std::pair<long, dbif_catfield_t>> fields;
    CatalogRows rows(s);
    if (!rows.handle()) return s.failDbc(u"Allocating a statement");
    std::u16string escape;
    s.getInfo(SQL_SEARCH_PATTERN_ESCAPE, &escape);
    std::u16string pattern = patternOf(name, escape);
    SQLRETURN r = SQLColumnsW(rows.handle(), nullptr, 0,
                              schema.empty() ? nullptr : const_cast<SQLWCHAR*>(wide(schema.c_str())),
                              SQL_NTS, const_cast<SQLWCHAR*>(wide(pattern.c_str())), SQL_NTS,
                              nullptr, 0);
    int rc = rows.read(r, u"SQLColumns", {3, 4, 5, 7, 9, 11, 17, 6},
                       [&](const std::vector<std::u16string>& row) {
        if (row[0] != name) return;
        Column c;
        SQLSMALLINT type = static_cast<SQLSMALLINT>(toLong(row[2]));
        SQLULEN size = static_cast<SQLULEN>(toLong(row[3]));
        SQLSMALLINT scale = static_cast<SQLSMALLINT>(toLong(row[4]));
        refineByTypeName(row[7], &type, &size, &scale);
        mapColumn(type, size, scale, &c);
        dbif_catfield_t f;
        f.name = dbif_toolname(row[1]);
        f.dbType = c.desc.type;
        f.dbLength = c.desc.length;
        f.decimals = c.desc.decimals;
        f.notNull = toLong(row[5]) == SQL_NO_NULLS;
        f.key = std::find(keys.begin(), keys.end(), f.name) != keys.end();
        fields.emplace_back(toLong(row[6]), std::move(f));
    });
    if (rc) return rc;
    std::stable_sort(fields.begin(), fields.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& f : fields) out->fields.push_back(std::move(f.second));
    if (view) out->tabForm = u'V';
    return out->fields.empty() ? DBIF_RC_NOT_FOUND : DBIF_RC_OK;
}

}  // namespace

std::unique_ptr<DbIfConnection> dbif_odbc_create() {
    return std::make_unique<OdbcConnection>();
}

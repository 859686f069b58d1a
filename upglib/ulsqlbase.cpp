#include "ulsqlbase.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

constexpr char16_t kEnvDbmsType[] = u"dbms_type";
constexpr char16_t kHintPhrase[] = u"#DBIF_HINT(";

// ---- process-wide state -------------------------------------------------------------------

// The engine's trace: where its lines go while the connection lives.
struct EngineTrace {
    FILE* file = nullptr;  // KERNEL.trc, or stderr when that cannot be opened
    unsigned level = 0;    // level of the file trace (0: none)
    bool collecting = false;
    std::vector<std::u16string> collected;
};

struct ConnectionState {
    std::unique_ptr<DbIfConnection> db;
    const ul_sqldbsupport_t* row = nullptr;  // null when not connected
    std::vector<ULSQLStmt*> statements;      // statements holding an engine statement
    EngineTrace trace;
    const ul_sqldbsupport_t* testRows = nullptr;
    size_t testRowCount = 0;
    // "<table>\0<column>" of the cross-engine warnings given on this connection.
    std::vector<std::u16string> crossEngineWarned;
};

ConnectionState& conn() {
    static ConnectionState state;
    return state;
}

int g_isoLevel = UL_ISOLEVEL_DEFAULT;

struct IsoLevelName {
    const char16_t* keyword;
    const char16_t* logName;
};
constexpr IsoLevelName kIsoLevelNames[] = {
    {u"default", u"DEFAULT"},      // UL_ISOLEVEL_DEFAULT
    {u"committed", u"COMMITTED"},  // UL_ISOLEVEL_COMMITTED
};

// The database library's error for a failed call: "DBIF error %d (db code %ld): <what>" and
// the engine's own message on the next line.
void setDbifError(int returnCode, const dbif_commarea_t* area, const char16_t* what) {
    long dbCode = area ? area->dbCode : -1;
    ul_errorsetmsgfmt(0, u"DBIF error %d (db code %ld): %s", returnCode, dbCode, what);
    if (area && !area->errorText.empty()) ul_errorsetmsg(UL_ERR_APPEND, area->errorText.c_str());
}

std::u16string envValue(const char16_t* name) {
    const char* value = std::getenv(ul_utf16to8(name).c_str());
    return value ? ul_utf8to16(value) : std::u16string();
}

bool envIsSet(const char16_t* name) {
    return std::getenv(ul_utf16to8(name).c_str()) != nullptr;
}

const ul_sqldbsupport_t* findRowByPrefix(const std::u16string& value) {
    ConnectionState& c = conn();
    for (size_t i = 0; i < c.testRowCount; ++i)
        if (ul_stringstarticmp(value.c_str(), c.testRows[i].code)) return &c.testRows[i];
    for (size_t i = 0; i < SQLDBSupportCount; ++i)
        if (ul_stringstarticmp(value.c_str(), SQLDBSupport[i].code)) return &SQLDBSupport[i];
    return nullptr;
}

// Control code 9: 2 = read committed, 0 = the database's default.
int applyIsoLevel(DbIfConnection* db) {
    dbif_control_t argument;
    argument.intValue = g_isoLevel == UL_ISOLEVEL_COMMITTED ? 2 : 0;
    int rc = db->control(DBIF_CTL_ISOLATION, &argument);
    if (rc != DBIF_RC_OK) {
        setDbifError(rc, &db->commArea(), u"Setting isolation level failed");
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

void releaseStatements() {
    std::vector<ULSQLStmt*> statements;
    statements.swap(conn().statements);
    for (ULSQLStmt* stmt : statements) stmt->releaseHandle();
}

// ---- engine trace -------------------------------------------------------------------------

void engineTraceLine(void* /*context*/, const char* file, int line, int level,
                     const char16_t* text) {
    EngineTrace& t = conn().trace;
    const std::u16string source = ul_utf8to16(file ? file : "");
    const char16_t* body = text ? text : u"";
    if (t.file && level <= static_cast<int>(t.level)) {
        std::u16string record =
            ul_format(u"%d [%10.10s,%5d]: %s\n", level, source.c_str(), line, body);
        std::string bytes = ul_utf16to8(record.c_str(), record.size());
        fwrite(bytes.data(), 1, bytes.size(), t.file);
        fflush(t.file);
    }
    if (t.file && level <= static_cast<int>(t.level) - 2)
        ul_tracefmt0(UL_TRC_DBIF, 0, u"" __FILE__, __LINE__, u"[%10.10s,%5d]: %s\n", source.c_str(),
                     line, body);
    if (t.collecting)
        t.collected.push_back(
            ul_format(u"%d [%10.10s,%5d]: %s", level, source.c_str(), line, body));
}

// Switches the engine's trace on: at level into KERNEL.trc when toFile, else into memory only.
int startEngineTrace(DbIfConnection* db, unsigned level, bool toFile) {
    dbif_control_t argument;
    argument.intValue = static_cast<long>(level);
    argument.trace = engineTraceLine;
    int rc = db->control(DBIF_CTL_TRACE, &argument);
    if (rc != DBIF_RC_OK) {
        ul_errorsetmsg(0, u"Trace initialization failed");
        return UL_ERROR_RETURN(-1);
    }
    EngineTrace& t = conn().trace;
    if (toFile) {
        if (!t.file) t.file = fopen("KERNEL.trc", "a");
        if (!t.file) t.file = stderr;
        t.level = level;
    }
    return 0;
}

void stopEngineTrace(DbIfConnection* db) {
    dbif_control_t argument;
    argument.intValue = 0;
    db->control(DBIF_CTL_TRACE, &argument);
}

// A failed connect at SQL trace level 0: log the error, connect once more with the engine's
// trace collected in memory, and log what the engine said.
void repeatConnectWithTrace(DbIfConnection* db, int firstCode) {
    const std::u16string error = ul_errorgetmsg();
    ul_msgwrite_print(3, u'E', 8, 0, error.c_str());
    EngineTrace& t = conn().trace;
    t.collected.clear();
    if (startEngineTrace(db, 1, false) == 0) {
        t.collecting = true;
        int secondCode = db->connect();
        t.collecting = false;
        if (secondCode == DBIF_RC_OK) db->disconnect();
        stopEngineTrace(db);
        if (secondCode != firstCode)
            ul_msgwrite_printf399(3, u'E', u"Repeating DB connect returns %d != %d?!?", secondCode,
                                  firstCode);
        for (const std::u16string& line : t.collected)
            ul_msgwrite_printf399(4, u'E', u"%s", line.c_str());
    }
    t.collected.clear();
    ul_errorsetmsg(0, error.c_str());
}

// ---- support table hooks ------------------------------------------------------------------

bool isIdentChar(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || ul_isdigit(c) || c == u'_';
}

bool isHexDigit(char16_t c) {
    return ul_isdigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// End of the quoted text that starts at p (a quote character): the position behind the
// closing quote (a doubled quote stays inside), or the end of the text.
const char16_t* skipQuoted(const char16_t* p) {
    const char16_t quote = *p++;
    while (*p) {
        if (*p == quote) {
            if (p[1] != quote) return p + 1;
            p += 2;
        } else {
            ++p;
        }
    }
    return p;
}

struct LiteralRewrite {
    const char16_t* hexPrefix;  // null: hex literals X'..' stay
    const char16_t* hexSuffix;
    bool emptyToBlank;  // '' becomes ' '
};

// Rewrites the literals of a statement outside double-quoted identifiers.
int rewriteLiterals(char16_t* sql, size_t size, const LiteralRewrite& rules) {
    std::u16string out;
    const char16_t* p = sql;
    while (*p) {
        if (*p == u'"') {
            const char16_t* end = skipQuoted(p);
            out.append(p, end);
            p = end;
        } else if ((*p == u'X' || *p == u'x') && p[1] == u'\'' &&
                   (p == sql || !isIdentChar(p[-1])) && rules.hexPrefix) {
            const char16_t* q = p + 2;
            while (isHexDigit(*q)) ++q;
            if (*q != u'\'') {  // not a hex literal after all
                out.push_back(*p++);
                continue;
            }
            out += rules.hexPrefix;
            out.append(p + 2, q);
            out += rules.hexSuffix;
            p = q + 1;
        } else if (*p == u'\'') {
            const char16_t* end = skipQuoted(p);
            if (rules.emptyToBlank && end - p == 2 && end[-1] == u'\'')
                out += u"' '";
            else
                out.append(p, end);
            p = end;
        } else {
            out.push_back(*p++);
        }
    }
    if (out.size() >= size) {
        ul_errorsetmsgfmt(0, u"Rewritten statement exceeds %zu characters: '%s'", size - 1, sql);
        return UL_ERROR_RETURN(-1);
    }
    std::copy(out.begin(), out.end(), sql);
    sql[out.size()] = 0;
    return 0;
}

int rewriteZdb(char16_t* sql, size_t size) {
    return rewriteLiterals(sql, size, {nullptr, nullptr, true});
}
int rewriteMss(char16_t* sql, size_t size) {
    return rewriteLiterals(sql, size, {u"0x", u"", false});
}
int rewriteOra(char16_t* sql, size_t size) {
    return rewriteLiterals(sql, size, {u"HEXTORAW('", u"')", true});
}
int rewriteZse(char16_t* sql, size_t size) {
    return rewriteLiterals(sql, size, {nullptr, nullptr, true});
}

// Reads a text property of an engine, connected or not.
int readControlText(DbIfConnection* db, int code, const char16_t* what, std::u16string* out) {
    dbif_control_t argument;
    int rc = db->control(code, &argument);
    if (rc != DBIF_RC_OK) {
        setDbifError(rc, &db->commArea(), what);
        return UL_ERROR_RETURN(-1);
    }
    *out = argument.text;
    return 0;
}

// Hooks of the modules above this one (ul_sqladdsessionhooks).
std::vector<ul_sqlsessionhooks_t>& sessionHooks() {
    static std::vector<ul_sqlsessionhooks_t> hooks;
    return hooks;
}

void resetSessionState() {
    for (const ul_sqlsessionhooks_t& h : sessionHooks())
        if (h.reset) h.reset();
}

// The in-memory database may run a view layer; the schema choice that follows from it belongs
// to the session settings.
int initZdb(int phase) {
    if (phase == 0 || !conn().db) return 0;
    for (const ul_sqlsessionhooks_t& h : sessionHooks())
        if (h.viewLayer && h.viewLayer() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

int initSchema(int phase) {
    if (phase == 0 || !conn().db) return 0;
    std::u16string schema;
    if (readControlText(conn().db.get(), DBIF_CTL_SCHEMA, u"Getting DB schema failed", &schema) < 0)
        return UL_ERROR_RETURN(-1);
    UL_TRACE(UL_TRC_SQL, 2, u"Connected to schema '%s'.\n", schema.c_str());
    return 0;
}

int initZse(int phase) {
    if (phase == 0 || !conn().db) return 0;
    std::u16string user;
    if (readControlText(conn().db.get(), DBIF_CTL_USER, u"Getting DB user failed", &user) < 0)
        return UL_ERROR_RETURN(-1);
    UL_TRACE(UL_TRC_SQL, 2, u"Connected as user '%s'.\n", user.c_str());
    return 0;
}

int rowIdField(const char16_t* name, ul_sqlfielddesc_t* desc, const char16_t* column,
               unsigned flags, int type, unsigned length) {
    if (!name || ul_stricmp(name, column) != 0) return 0;
    desc->name = column;  // the spelling the database knows it by
    desc->flags = flags;
    desc->dbifType = type;
    desc->digitsDecimals = 0;
    desc->length = length;
    return 1;
}
int fieldZmx(const char16_t* name, ul_sqlfielddesc_t* desc) {
    return rowIdField(name, desc, u"SYSKEY", UL_SQLFLD_RAW, DBIF_TYPE_RAW, 8);
}
int fieldDb6(const char16_t* name, ul_sqlfielddesc_t* desc) {
    return rowIdField(name, desc, u"RID()", UL_SQLFLD_INT, DBIF_TYPE_INT, 8);
}
int fieldOra(const char16_t* name, ul_sqlfielddesc_t* desc) {
    return rowIdField(name, desc, u"ROWID", UL_SQLFLD_CHAR, DBIF_TYPE_CHAR, 18);
}
int fieldSqlite(const char16_t* name, ul_sqlfielddesc_t* desc) {
    return rowIdField(name, desc, u"ROWID", UL_SQLFLD_INT, DBIF_TYPE_INT, 8);
}
// The physical row address "(block,item)", compared as such in conditions written as text.
int fieldPgsql(const char16_t* name, ul_sqlfielddesc_t* desc) {
    return rowIdField(name, desc, u"ctid", UL_SQLFLD_CHAR, DBIF_TYPE_CHAR, 24);
}

}  // namespace

// ---- database support table ---------------------------------------------------------------

constexpr char16_t kQuote[] = u"\"%s\"";

// Locking reads: most engines lock the rows a query reads FOR UPDATE; DB2 locks them through
// its isolation; the two engines with table hints take an update lock held to the end of the
// transaction; SQLite locks the whole database, so a session takes its write lock before it
// reads (the busy timeout makes the others wait).
constexpr ul_sqlrowlock_t kLockForUpdate = {nullptr, u" FOR UPDATE", nullptr};
constexpr ul_sqlrowlock_t kLockImplicit = {nullptr, nullptr, nullptr};
constexpr ul_sqlrowlock_t kLockHint = {u" WITH(UPDLOCK,REPEATABLEREAD)", nullptr, nullptr};
constexpr ul_sqlrowlock_t kLockDatabase = {nullptr, nullptr, u"DELETE FROM %s WHERE 1 = 0"};

// Memory figures in MiB, CPU counters in cumulative milliseconds.
constexpr ul_sqlmonitorstmt_t kZdbMonitor[] = {
    {u"USED_MEMORY", 0,
     u"SELECT ROUND(SUM(TOTAL_MEMORY_USED_SIZE)/1024/1024) AS TOTAL_USED FROM "
     u"SYS.M_SERVICE_MEMORY"},
    {u"MAX_MEMORY", 0,
     u"SELECT ROUND(MAX(EFFECTIVE_ALLOCATION_LIMIT)/1024/1024) FROM SYS.M_SERVICE_MEMORY"},
    {u"INDSRV_MEMORY", 0,
     u"SELECT ROUND(SUM((EFFECTIVE_ALLOCATION_LIMIT - TOTAL_MEMORY_USED_SIZE)/1024/1024)) FROM "
     u"SYS.M_SERVICE_MEMORY WHERE SERVICE_NAME = 'indexserver'"},
    {u"TOTAL_COL_USED", 0,
     u"SELECT ROUND(SUM(MEMORY_SIZE_IN_TOTAL)/1024/1024) as TOTAL_COL_USED FROM SYS.M_CS_TABLES"},
    {u"TOTAL_ROW_USED", 0,
     u"SELECT ROUND(SUM(USED_FIXED_PART_SIZE + USED_VARIABLE_PART_SIZE)/1024/1024) AS "
     u"TOTAL_ROW_USED FROM SYS.M_RS_TABLES"},
    {u"FREE_MEMORY", 0,
     u"SELECT ROUND(SUM(FREE_PHYSICAL_MEMORY/1024/1024)) FROM SYS.M_HOST_RESOURCE_UTILIZATION"},
    {u"PHYS_MEMORY", 0,
     u"SELECT ROUND(SUM((USED_PHYSICAL_MEMORY + FREE_PHYSICAL_MEMORY)/1024/1024)) AS AVAIL_PHYS "
     u"FROM SYS.M_HOST_RESOURCE_UTILIZATION"},
    {u"CPU_USER", 1, u"SELECT SUM(TOTAL_CPU_USER_TIME) FROM M_HOST_RESOURCE_UTILIZATION"},
    {u"CPU_SYSTEM", 1, u"SELECT SUM(TOTAL_CPU_SYSTEM_TIME) FROM M_HOST_RESOURCE_UTILIZATION"},
    {u"CPU_IO", 1, u"SELECT SUM(TOTAL_CPU_WIO_TIME) FROM M_HOST_RESOURCE_UTILIZATION"},
    {u"CPU_IDLE", 1, u"SELECT SUM(TOTAL_CPU_IDLE_TIME) FROM M_HOST_RESOURCE_UTILIZATION"},
    {nullptr, 0, nullptr},
};

// The server's clock: local time first, then UTC. Lower-case words are the engines' own
// functions and keywords.
constexpr char16_t kZdbClock[] =
    u"SELECT TOP 1 TO_CHAR(CURRENT_TIMESTAMP, 'YYYYMMDDHH24MISS'), "
    u"TO_CHAR(CURRENT_UTCTIMESTAMP, 'YYYYMMDDHH24MISS') FROM DUMMY";
constexpr char16_t kSqliteClock[] =
    u"SELECT strftime('%Y%m%d%H%M%S', 'now', 'localtime'), strftime('%Y%m%d%H%M%S', 'now')";
constexpr char16_t kPgsqlClock[] =
    u"SELECT to_char(clock_timestamp(), 'YYYYMMDDHH24MISS'), "
    u"to_char(clock_timestamp() at time zone 'UTC', 'YYYYMMDDHH24MISS')";

const ul_sqldbsupport_t SQLDBSupport[] = {
    {UL_DBTYPE_ZMX, u"ZMX", u"zmx", u"~~^", 0, kQuote, nullptr, nullptr, nullptr, fieldZmx,
     &kLockForUpdate},
    {UL_DBTYPE_ZDB, u"ZDB", u"zdb", u"~~^", 0, kQuote, nullptr, initZdb, rewriteZdb, nullptr,
     &kLockForUpdate, kZdbMonitor, kZdbClock},
    {UL_DBTYPE_DB2, u"DB2", u"db2", u"~~^", 0, kQuote, nullptr, initSchema, nullptr, nullptr,
     &kLockImplicit},
    {UL_DBTYPE_DB4, u"DB4", u"db4", u"?+&", UL_DBSUPPORT_FLAG1, kQuote, nullptr, nullptr, nullptr,
     nullptr, &kLockForUpdate},
    {UL_DBTYPE_DB6, u"DB6", u"db6", u"~~^", 0, kQuote, nullptr, nullptr, nullptr, fieldDb6,
     &kLockForUpdate},
    {UL_DBTYPE_MSS, u"MSS", u"mss", u"~~^", 0, kQuote, nullptr, initSchema, rewriteMss, nullptr,
     &kLockHint},
    {UL_DBTYPE_ORA, u"ORA", u"ora", u"~~^", UL_DBSUPPORT_FLAG1, kQuote, nullptr, nullptr,
     rewriteOra, fieldOra, &kLockForUpdate},
    {UL_DBTYPE_ZSE, u"ZSE", u"zse", u"~~^", 0, kQuote, nullptr, initZse, rewriteZse, nullptr,
     &kLockHint},
    {UL_DBTYPE_SQLITE, u"SQLITE", u"sqlite", u"~~^", 0, kQuote, u"SQLITE", nullptr, nullptr,
     fieldSqlite, &kLockDatabase, nullptr, kSqliteClock},
    {UL_DBTYPE_PGSQL, u"PGSQL", u"pgsql", u"~~^", 0, kQuote, u"PGSQL", nullptr, nullptr,
     fieldPgsql, &kLockForUpdate, nullptr, kPgsqlClock},
    {UL_DBTYPE_ODBC, u"ODBC", u"odbc", u"~~^", 0, kQuote, u"ODBC", nullptr, nullptr, nullptr,
     &kLockForUpdate},
};
const size_t SQLDBSupportCount = std::size(SQLDBSupport);

void ul_sqlsettestdbsupport(const ul_sqldbsupport_t* rows, size_t n) {
    conn().testRows = n ? rows : nullptr;
    conn().testRowCount = rows ? n : 0;
}

const ul_sqldbsupport_t* ul_sqlselectdbsupport() {
    if (!envIsSet(kEnvDbmsType)) {
        ul_errorsetmsgfmt(0, u"Missing environment variable '%s' to determine DB type",
                          kEnvDbmsType);
        return UL_ERROR_RETURN(nullptr);
    }
    const std::u16string value = envValue(kEnvDbmsType);
    const ul_sqldbsupport_t* row = findRowByPrefix(value);
    if (!row) {
        ul_errorsetmsgfmt(0, u"Unsupported DB type '%s'", value.c_str());
        return UL_ERROR_RETURN(nullptr);
    }
    return row;
}

const ul_sqldbsupport_t* ul_sqlcurrentdbsupport() {
    if (conn().row) return conn().row;
    if (!envIsSet(kEnvDbmsType)) return nullptr;
    return findRowByPrefix(envValue(kEnvDbmsType));
}

int ul_sqlgetdbatypefromstring(const char16_t* name) {
    for (size_t i = 0; name && i < SQLDBSupportCount; ++i)
        if (ul_stricmp(name, SQLDBSupport[i].code) == 0) return SQLDBSupport[i].type;
    ul_errorsetmsgfmt(0, u"Unknown database type '%s'", name);
    return UL_ERROR_RETURN(-1);
}

const char16_t* ul_sqlgetstringfromdbatype(int type) {
    for (size_t i = 0; i < SQLDBSupportCount; ++i)
        if (SQLDBSupport[i].type == type) return SQLDBSupport[i].code;
    const std::u16string number = ul_format(u"%d", type);
    ul_errorsetmsgfmt(0, u"Unknown database type '%s'", number.c_str());
    return UL_ERROR_RETURN(nullptr);
}

// ---- connection ---------------------------------------------------------------------------

namespace {

// A new, unconnected engine of the support row, or null with the reason set. A row without an
// engine of its own (the vendor databases) connects through the ODBC engine when an ODBC
// connection string is given; it keeps its own dialect all the same.
std::unique_ptr<DbIfConnection> openEngine(const ul_sqldbsupport_t* row) {
    std::unique_ptr<DbIfConnection> db;
    if (row->engine) {
        db = dbif_open(row->engine);
    } else if (const char* conninfo = getenv("dbs_odbc_conninfo"); conninfo && *conninfo) {
        db = dbif_open(u"ODBC");
    }
    if (!db)
        ul_errorsetmsgfmt(0, u"No database interface for database type '%s' in this build",
                          row->code);
    return db;
}

}  // namespace

void ul_sqladdsessionhooks(const ul_sqlsessionhooks_t& hooks) {
    std::vector<ul_sqlsessionhooks_t>& list = sessionHooks();
    if (std::find(list.begin(), list.end(), hooks) == list.end()) list.push_back(hooks);
}

int ul_sqlconnect2(int flags) {
    ConnectionState& c = conn();
    if (c.row) {
        if (ul_msgwrite_printf399(2, u'W', u"DBIF already connected.") < 0)
            return UL_ERROR_RETURN(-1);
        if (c.row->initHook && c.row->initHook(1) < 0) return UL_ERROR_RETURN(-1);
        return 0;
    }
    const ul_sqldbsupport_t* row = ul_sqlselectdbsupport();
    if (!row) return UL_ERROR_RETURN(-1);
    if (!(flags & UL_CONNECT_QUIET) &&
        ul_msgwrite_printf399(2, u' ', u"Connecting to database '%s'.", row->code) < 0)
        return UL_ERROR_RETURN(-1);
    if (row->initHook && row->initHook(0) < 0) return UL_ERROR_RETURN(-1);
    std::unique_ptr<DbIfConnection> db = openEngine(row);
    if (!db) return UL_ERROR_RETURN(-1);

    const unsigned level = UL_TraceLevels[UL_TRC_SQL];
    if (level > 0 && !(flags & UL_CONNECT_NOTRACE) && startEngineTrace(db.get(), level, true) < 0)
        return UL_ERROR_RETURN(-1);
    c.trace.collected.clear();
    c.trace.collecting = true;
    const int rc = db->connect();
    c.trace.collecting = false;
    if (rc != DBIF_RC_OK) {
        setDbifError(rc, &db->commArea(), u"Connect failed");
        if (level == 0) repeatConnectWithTrace(db.get(), rc);
        c.trace.collected.clear();
        return UL_ERROR_RETURN(-1);
    }
    if (applyIsoLevel(db.get()) < 0) {
        db->disconnect();
        return UL_ERROR_RETURN(-1);
    }
    c.db = std::move(db);
    c.row = row;
    c.crossEngineWarned.clear();
    // Schemas belong to one connection; a failed connect may have left some behind.
    resetSessionState();
    if (row->initHook && row->initHook(1) < 0) {
        c.db->disconnect();
        c.db.reset();
        c.row = nullptr;
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ul_sqldisconnectfailed() {
    const std::u16string error = ul_errorgetmsg();
    if (ul_sqlisconnected())
        (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);  // the first failure is the one reported
    ul_errorsetmsg(0, error.c_str());
    return UL_ERROR_RETURN(-1);
}

int ul_sqldisconnect(int flags) {
    ConnectionState& c = conn();
    if (!c.row) {
        if (ul_msgwrite_printf399(2, u'W', u"DBIF already disconnected.") < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }
    int result = 0;
    if (!(flags & UL_DISCONNECT_NOCOMMIT)) {
        int rc = c.db->commit();
        if (rc != DBIF_RC_OK) {
            if (flags & UL_DISCONNECT_ALTCOMMIT)
                ul_errorsetmsgfmt(0, u"db_commit failed with %d", rc);
            else
                setDbifError(rc, &c.db->commArea(), u"Commit failed");
            result = -1;
        }
    }
    // Engine statements must not outlive their connection.
    releaseStatements();
    int rc = c.db->disconnect();
    if (rc != DBIF_RC_OK) {
        if (result < 0) {
            const std::u16string first = ul_errorgetmsg();
            setDbifError(rc, &c.db->commArea(), u"Disconnect failed");
            ul_errorsetmsg(UL_ERR_PREPEND, first.c_str());
        } else {
            setDbifError(rc, &c.db->commArea(), u"Disconnect failed");
        }
        result = -1;
    }
    c.db.reset();
    c.row = nullptr;
    resetSessionState();
    return result < 0 ? UL_ERROR_RETURN(-1) : 0;
}

bool ul_sqlisconnected() {
    return conn().row != nullptr;
}

int ul_sqlgetdbatype() {
    if (conn().row) return conn().row->type;
    const ul_sqldbsupport_t* row = ul_sqlselectdbsupport();
    return row ? row->type : UL_ERROR_RETURN(-1);
}

const dbif_commarea_t* ul_sqlcommarea() {
    return conn().db ? &conn().db->commArea() : nullptr;
}

int ul_sqldbifcontrol(int code, dbif_control_t* argument) {
    if (!conn().db) {
        ul_errorsetmsgfmt(0, u"Not connected to the database for control code %d", code);
        return UL_ERROR_RETURN(-1);
    }
    return conn().db->control(code, argument);
}

void ul_sqlsetdbiferror(int returnCode, const char16_t* what) {
    setDbifError(returnCode, ul_sqlcommarea(), what);
}

namespace {

// Commits or rolls back the open transaction and re-applies the isolation level, which the
// next transaction would otherwise lose. alternative selects the messages of the alternative
// transaction calls.
int endTransaction(ConnectionState& c, bool commit, bool alternative) {
    const char16_t* what = commit ? u"Commit" : u"Rollback";
    if (!c.db) {
        ul_errorsetmsgfmt(0, u"%s failed: not connected to the database", what);
        return UL_ERROR_RETURN(-1);
    }
    int rc = commit ? c.db->commit() : c.db->rollback();
    if (rc != DBIF_RC_OK) {
        if (alternative)
            ul_errorsetmsgfmt(0, commit ? u"db_commit failed with %d" : u"db_rollback failed with %d",
                              rc);
        else
            setDbifError(rc, &c.db->commArea(), commit ? u"Commit failed" : u"Rollback failed");
        return UL_ERROR_RETURN(-1);
    }
    return applyIsoLevel(c.db.get()) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

}  // namespace

int ul_sqlcommit2(const char16_t* note, int flags) {
    ConnectionState& c = conn();
    if (note) {
        if (ul_msgwrite_printf399(4, u' ', u"Committing. %s", note) < 0) return UL_ERROR_RETURN(-1);
    } else if (!(flags & UL_COMMIT_QUIET)) {
        if (ul_msgwrite_printf399(4, u' ', u"Committing.") < 0) return UL_ERROR_RETURN(-1);
    }
    return endTransaction(c, true, flags & UL_COMMIT_ALT);
}

int ul_sqlrollback2(int flags) {
    ConnectionState& c = conn();
    if (!(flags & UL_ROLLBACK_QUIET) && ul_msgwrite_printf399(4, u' ', u"Rollback.") < 0)
        return UL_ERROR_RETURN(-1);
    return endTransaction(c, false, flags & UL_ROLLBACK_ALT);
}

namespace {

// A version text with runs of blanks condensed and cut to 32 characters.
int readVersion(DbIfConnection* db, int code, const char16_t* what, char16_t* out, unsigned size) {
    std::u16string text;
    if (readControlText(db, code, what, &text) < 0) return UL_ERROR_RETURN(-1);
    std::vector<char16_t> buffer(text.begin(), text.end());
    buffer.push_back(0);
    ul_stringcondensespaces(buffer.data());
    ul_stringtrim(buffer.data());
    if (ul_strlen(buffer.data()) > 32) buffer[32] = 0;
    if (out && size) ul_strlcpy(out, buffer.data(), size);
    return 0;
}

}  // namespace

int ul_sqlgetdbversion(char16_t* version, unsigned size, char16_t* clientVersion,
                       unsigned clientSize) {
    const bool connectHere = !ul_sqlisconnected();
    if (connectHere && ul_sqlconnect2(UL_CONNECT_QUIET) < 0) return UL_ERROR_RETURN(-1);
    DbIfConnection* db = conn().db.get();
    int result = readVersion(db, DBIF_CTL_VERSION, u"Getting DB version failed", version, size);
    if (result == 0)
        result = readVersion(db, DBIF_CTL_CLIENT_VERSION, u"Getting DB client version failed",
                             clientVersion, clientSize);
    if (connectHere) {
        if (result == 0) return ul_sqldisconnect(0) < 0 ? UL_ERROR_RETURN(-1) : 0;
        const std::u16string error = ul_errorgetmsg();
        (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);  // the first failure is the one reported
        ul_errorsetmsg(0, error.c_str());
    }
    return result < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int ul_sqlgetclientversion(char16_t* clientVersion, unsigned clientSize) {
    const char16_t* what = u"Getting DB client version failed";
    if (conn().db)
        return readVersion(conn().db.get(), DBIF_CTL_CLIENT_VERSION, what, clientVersion,
                           clientSize) < 0
                   ? UL_ERROR_RETURN(-1)
                   : 0;
    const ul_sqldbsupport_t* row = ul_sqlselectdbsupport();
    if (!row) return UL_ERROR_RETURN(-1);
    std::unique_ptr<DbIfConnection> db = openEngine(row);
    if (!db) return UL_ERROR_RETURN(-1);
    return readVersion(db.get(), DBIF_CTL_CLIENT_VERSION, what, clientVersion, clientSize) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

// ---- isolation level ----------------------------------------------------------------------

int ul_sqlsetisolevel(int level) {
    if (level != UL_ISOLEVEL_DEFAULT && level != UL_ISOLEVEL_COMMITTED) {
        ul_errorsetmsgfmt(0, u"Invalid isolation level %d", level);
        return UL_ERROR_RETURN(-1);
    }
    g_isoLevel = level;
    // Without a connection the level only takes effect at the next connect.
    const bool connected = conn().db != nullptr;
    if (connected && applyIsoLevel(conn().db.get()) < 0) return UL_ERROR_RETURN(-1);
    if (ul_msgwrite_printf399(3, u' ', u"Setting isolation level to '%s'%s.",
                              kIsoLevelNames[level].logName, connected ? u"" : u" for future") < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int ul_sqlgetisolevel() {
    return g_isoLevel;
}

int ul_sqlisolevelfromstring(const char16_t* keyword) {
    if (!keyword) return -1;
    for (int level = 0; level < static_cast<int>(std::size(kIsoLevelNames)); ++level)
        if (ul_stricmp(keyword, kIsoLevelNames[level].keyword) == 0) return level;
    return -1;
}

// ---- row callbacks ------------------------------------------------------------------------

int ULSQLCallBackChar::handleRow(unsigned flags, const unsigned char** /*raw*/,
                                 const char16_t** values, unsigned* /*lengths*/, unsigned ncols) {
    return handleRow(flags, values, ncols);
}

namespace {

bool isLongDesc(const ul_sqlfielddesc_t& desc) {
    const int type = ul_sqlfieldtype(desc);
    return (desc.flags & UL_SQLFLD_LONG) || type == DBIF_TYPE_LONGCHAR || type == DBIF_TYPE_BLOB;
}

bool isHeaderRow(unsigned flags) {
    return !(flags & (UL_ROW_DATA | UL_ROW_PARAMS)) &&
           (flags & (UL_ROW_HDR_TYPE | UL_ROW_HDR_LENGTH | UL_ROW_HDR_NAME));
}

}  // namespace

int ULSQLLogWrapper::handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                               unsigned* /*lengths*/, unsigned ncols) {
    const bool header = isHeaderRow(flags);
    line_.clear();
    for (unsigned i = 0; i < ncols; ++i) {
        const char16_t* separator = i > 0 ? u";" : header ? u"HDR>" : u">";
        if (!header && descs_ && i < ndescs_ && isLongDesc(descs_[i]) && raw && raw[i]) {
            line_ += ul_format(u"%sBLOB(#%d)", separator, static_cast<int>(i) + 1);
            continue;
        }
        line_ += separator;
        if (values && values[i]) {
            const std::u16string_view value(values[i], textLength(i, values[i]));
            if (ul_stringgenescape(&line_, value, u';', UL_ESCAPE_C) < 0)
                return UL_ERROR_RETURN(-1);
        } else if (!header && raw && raw[i]) {
            line_ += u"<RAW>";
        } else {
            line_ += u"<NULL>";
        }
    }
    if (ncols == 0) line_ = header ? u"HDR>" : u">";
    if (ul_msgwrite_printf399(4, u' ', u"%s", line_.c_str()) < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

int ULSQLLogCSVLines::escapeFlags() {
    return UL_ESCAPE_C | UL_ESCAPE_CONTROL;
}

int ULSQLCallBack::appendCsvValues(std::u16string* line, const unsigned char** raw,
                                   const char16_t** values, const unsigned* lengths,
                                   unsigned ncols, bool quoteLeadingHash) const {
    static const char16_t kHex[] = u"0123456789abcdef";
    const size_t lineStart = line->size();
    for (unsigned i = 0; i < ncols; ++i) {
        if (i > 0) *line += u',';
        if (values && values[i]) {
            const size_t start = line->size();
            const std::u16string_view value(values[i], textLength(i, values[i]));
            if (ul_stringgenescape(line, value, u',', ULSQLLogCSVLines::escapeFlags()) < 0)
                return UL_ERROR_RETURN(-1);
            // Quotes keep a data line from reading as a header line; escapes stay valid in them.
            if (quoteLeadingHash && start == lineStart && line->size() > start &&
                (*line)[start] == u'#') {
                line->insert(line->begin() + static_cast<std::ptrdiff_t>(start), u'"');
                *line += u'"';
            }
        } else if (raw && raw[i]) {
            *line += u'"';
            const unsigned length = lengths ? lengths[i] : 0;
            for (unsigned b = 0; b < length; ++b) {
                *line += kHex[raw[i][b] >> 4];
                *line += kHex[raw[i][b] & 0xF];
            }
            *line += u'"';
        }
    }
    return 0;
}

int ULSQLLogCSVLines::handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) {
    line_.clear();
    const bool header = isHeaderRow(flags) && (flags & UL_ROW_HDR_NAME);
    if (header) line_ += u'#';
    if (appendCsvValues(&line_, raw, values, lengths, ncols, !header) < 0) {
        ul_errorsetmsg(UL_ERR_PREPEND, u"Error dumping table line");
        return UL_ERROR_RETURN(-1);
    }
    line_ += u'\n';
    utf8_.clear();
    ul_utf16to8append(utf8_, line_.data(), line_.size());
    if (!stream_ || fwrite(utf8_.data(), 1, utf8_.size(), stream_) != utf8_.size()) {
        if (fileName_.empty())
            ul_errorsetmsg(UL_ERR_SYSTEM, u"Error dumping table line");
        else
            ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write line to '%s'", fileName_.c_str());
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// ---- statements ---------------------------------------------------------------------------

int ULSQLStmtBase::bindParam(const char16_t** values) {
    const unsigned n = getNParams();
    for (unsigned i = 0; i < n; ++i)
        if (bindParam(i, values ? values[i] : nullptr, 0) < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

namespace {

const char16_t* skipSpace(const char16_t* p) {
    while (ul_isspace(*p)) ++p;
    return p;
}

// Counts the parameter markers outside quoted text and checks the hint phrases
// #DBIF_HINT('...').
int scanStatement(const char16_t* sql, unsigned* nParams, unsigned* nHints) {
    constexpr size_t kHintLength = std::size(kHintPhrase) - 1;
    *nParams = 0;
    *nHints = 0;
    const char16_t* p = sql;
    while (*p) {
        if (*p == u'\'' || *p == u'"') {
            p = skipQuoted(p);
            continue;
        }
        if (*p == u'?') {
            ++*nParams;
        } else if (*p == u'#' && ul_strncmp(p, kHintPhrase, kHintLength) == 0) {
            const char16_t* q = p + kHintLength;
            const char16_t* close = nullptr;
            bool wellFormed = false;
            if (*q == u'\'') {
                const char16_t* r = skipQuoted(q);
                if (r[-1] == u'\'' && r - q >= 2) {
                    r = skipSpace(r);
                    wellFormed = *r == u')';
                    if (wellFormed) close = r;
                }
                if (!close) close = ul_strchr(r, u')');
            } else {
                close = ul_strchr(q, u')');
            }
            if (!close) {
                ul_errorsetmsgfmt(0, u"Illegal %s'...') phrase in '%s' - missing closing bracket",
                                  kHintPhrase, sql);
                return UL_ERROR_RETURN(-1);
            }
            if (!wellFormed) {
                ul_errorsetmsgfmt(0, u"Illegal %s'...') phrase in '%s'", kHintPhrase, sql);
                return UL_ERROR_RETURN(-1);
            }
            ++*nHints;
            p = close + 1;
            continue;
        }
        ++p;
    }
    return 0;
}

bool startsWithWord(const char16_t* text, const char16_t* word) {
    return ul_stringstarticmp(text, word) != nullptr;
}

ul_sqlfielddesc_t defaultTextDesc(const char16_t* name) {
    return {name, UL_SQLFLD_CHAR, -1, 0, static_cast<unsigned>(UL_SQLDefaultColumnSpace)};
}

bool isCharDesc(const ul_sqlfielddesc_t& desc) {
    const int type = ul_sqlfieldtype(desc);
    return type == DBIF_TYPE_CHAR || type == DBIF_TYPE_LONGCHAR;
}

bool isRawDesc(const ul_sqlfielddesc_t& desc) {
    const int type = ul_sqlfieldtype(desc);
    return type == DBIF_TYPE_RAW || type == DBIF_TYPE_BLOB;
}

// The registry of statements that hold an engine statement.
void registerStatement(ULSQLStmt* stmt) {
    conn().statements.push_back(stmt);
}
void unregisterStatement(ULSQLStmt* stmt) {
    auto& list = conn().statements;
    list.erase(std::remove(list.begin(), list.end(), stmt), list.end());
}

constexpr unsigned char kEmptyBytes[1] = {0};

}  // namespace

ULSQLStmt::~ULSQLStmt() {
    freeMemory();
}

void ULSQLStmt::freeMemory() {
    if (registered_) unregisterStatement(this);
    registered_ = false;
    handle_.reset();
    sql_.clear();
    sql_.shrink_to_fit();
    kind_ = UL_SQLKIND_NONE;
    prepareMode_ = 0;
    nParams_ = 0;
    nHints_ = 0;
    prepareFailed_ = false;
    missingTable_ = false;
    insertSelect_ = false;
    in_.clear();
    out_.clear();
    names_.clear();
    bound_.clear();
    bound_.shrink_to_fit();
    bulkRows_ = 1;
    batch_ = DbIfRowBatch();
    params_ = DbIfRowBatch();
    scratch_ = DbIfRowBatch();
}

int ULSQLStmt::dbClass() const {
    switch (kind_) {
        case UL_SQLKIND_SELECT:
            return DBIF_CLASS_READ;
        case UL_SQLKIND_INSERT:
            return DBIF_CLASS_INSERT;
        case UL_SQLKIND_UPDATE:
            return DBIF_CLASS_UPDATE;
        case UL_SQLKIND_DELETE:
            return DBIF_CLASS_DELETE;
        default:
            return DBIF_CLASS_OTHER;
    }
}

void ULSQLStmt::computeBulkRows(int mode) {
    bulkRows_ = 1;
    const char16_t* reason = u"";
    const std::vector<ul_sqlfielddesc_t>& descs = kind_ == UL_SQLKIND_SELECT ? out_ : in_;
    const bool hasLong = std::any_of(descs.begin(), descs.end(), isLongDesc);
    if (kind_ == UL_SQLKIND_OTHER) {
        reason = u" (single statement)";
    } else if (mode & UL_SQLMODE_NOBULK) {
        reason = u" (bulk access switched off)";
    } else if (mode & UL_SQLMODE_IGNOREDUPS) {
        reason = u" (ignore-duplicates)";
    } else if (UL_SQLMaxBulkRows > 0) {
        bulkRows_ = static_cast<unsigned>(std::min<long>(UL_SQLMaxBulkRows, 0x7FFFFFFF));
    } else if (UL_SQLMaxBulkRows < 0) {
        if (hasLong)
            reason = u" (long values)";
        else
            bulkRows_ = static_cast<unsigned>(std::min<long>(-UL_SQLMaxBulkRows, 0x7FFFFFFF));
    }
    const char16_t* lobs = u"";
    if (hasLong && kind_ == UL_SQLKIND_SELECT)
        lobs = (mode & UL_SQLMODE_LOBONEPIECE) || (UL_SQLGlobalFlags & UL_SQLFLAG_NOLOBSPIECEWISE)
                   ? u", long values in one piece"
                   : u", long values piecewise";
    const std::u16string suffix = std::u16string(reason) + lobs;
    if (bulkRows_ > 1)
        UL_TRACE(UL_TRC_SQL, 3, u"Access method: %d bulk rows%s.\n", static_cast<int>(bulkRows_),
                 suffix.c_str());
    else
        UL_TRACE(UL_TRC_SQL, 3, u"Access method: single rows%s.\n", suffix.c_str());
}

int ULSQLStmt::prepareEngine() {
    DbIfConnection* db = conn().db.get();
    if (!db) {
        ul_errorsetmsgfmt(0, u"Not connected to the database for statement '%s'", sql_.c_str());
        return UL_ERROR_RETURN(-1);
    }
    handle_.reset();
    int rc = db->prepare(sql_.c_str(), dbClass(), &handle_);
    if (rc == DBIF_RC_OK && !handle_) rc = DBIF_RC_DB_ERROR;
    if (rc == DBIF_RC_OK && !registered_) {
        registerStatement(this);
        registered_ = true;
    }
    return rc;
}

int ULSQLStmt::prepare(const char16_t* sql, const ul_sqlfielddesc_t* in, unsigned nIn,
                       const ul_sqlfielddesc_t* out, unsigned nOut, int mode) {
    return ul_guarded([&]() -> int {
        freeMemory();
        if (!sql) {
            ul_errorsetmsg(0, u"No SQL statement to prepare");
            return UL_ERROR_RETURN(-1);
        }
        UL_TRACE(UL_TRC_SQL, 2, u"Preparing SQL(mode=%#x): %s\n", static_cast<unsigned>(mode), sql);
        if ((mode & UL_SQLMODE_IGNOREERRORS) &&
            ul_msgwrite_printf399(3, u' ', u"Ignoring database errors as requested by user.") < 0)
            return UL_ERROR_RETURN(-1);
        if (mode & UL_SQLMODE_IGNOREDUPS) {
            if (ul_msgwrite_printf399(3, u' ',
                                      u"Ignoring duplicate records as requested by user.") < 0)
                return UL_ERROR_RETURN(-1);
            if (!(mode & UL_SQLMODE_NOBULK) &&
                ul_msgwrite_printf399(3, u'W',
                                      u"Disabling BULK access due to 'ignore-duplicates'.") < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (!conn().row) {
            ul_errorsetmsgfmt(0, u"Not connected to the database for statement '%s'", sql);
            return UL_ERROR_RETURN(-1);
        }

        sql_ = sql;
        const ul_sqldbsupport_t* row = conn().row;
        if (row->rewriteHook && !(UL_SQLGlobalFlags & UL_SQLFLAG_KEEPSYNTAX)) {
            // Rewrites may lengthen the text, e.g. hex literals get a conversion around them.
            std::vector<char16_t> buffer(std::max<size_t>(16384, 2 * sql_.size() + 64));
            std::copy(sql_.begin(), sql_.end(), buffer.begin());
            if (row->rewriteHook(buffer.data(), buffer.size()) < 0) return UL_ERROR_RETURN(-1);
            sql_ = buffer.data();
        }
        if (scanStatement(sql_.c_str(), &nParams_, &nHints_) < 0) return UL_ERROR_RETURN(-1);

        const char16_t* text = skipSpace(sql_.c_str());
        insertSelect_ = startsWithWord(text, u"insert") && ul_stristr(text, u"select");
        if (insertSelect_) UL_TRACE(UL_TRC_SQL, 3, u"Recognized \"INSERT ... SELECT\"\n");
        if ((mode & UL_SQLMODE_SELECT) || startsWithWord(text, u"select") ||
            startsWithWord(text, u"values"))
            kind_ = UL_SQLKIND_SELECT;
        else if (nParams_ == 0)
            kind_ = UL_SQLKIND_OTHER;
        else if (startsWithWord(text, u"insert"))
            kind_ = UL_SQLKIND_INSERT;
        else if (startsWithWord(text, u"update") || startsWithWord(text, u"upsert") ||
                 startsWithWord(text, u"merge") || (mode & UL_SQLMODE_ANYUPDATE_RAWONLY))
            kind_ = UL_SQLKIND_UPDATE;
        else if (startsWithWord(text, u"delete"))
            kind_ = UL_SQLKIND_DELETE;
        else {
            ul_errorsetmsgfmt(0, u"Unknown SQL statement '%s' with parameters", sql_.c_str());
            kind_ = UL_SQLKIND_NONE;
            return UL_ERROR_RETURN(-1);
        }

        // Descriptions keep their own copies of the names.
        names_.reserve(nParams_ + nOut);
        in_.clear();
        for (unsigned i = 0; i < nParams_; ++i) {
            ul_sqlfielddesc_t desc = in && i < nIn ? in[i] : defaultTextDesc(nullptr);
            if (desc.name) desc.name = names_.emplace_back(desc.name).c_str();
            in_.push_back(desc);
        }
        for (unsigned i = 0; out && i < nOut; ++i) {
            ul_sqlfielddesc_t desc = out[i];
            if (desc.name) desc.name = names_.emplace_back(desc.name).c_str();
            out_.push_back(desc);
        }
        // Names were stored in a vector that does not reallocate after the reserve above.
        bound_.assign(nParams_, BoundValue());
        scratch_.reset(nParams_);
        prepareMode_ = mode;
        computeBulkRows(mode);

        const int rc = prepareEngine();
        if (rc == DBIF_RC_OK) return 0;
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if ((rc == DBIF_RC_NOT_FOUND || rc == DBIF_RC_REJECTED) &&
            (mode & UL_SQLMODE_MISSINGTABLE)) {
            UL_TRACE(UL_TRC_SQL, 3, u"Table of '%s' does not exist (return code %d).\n",
                     sql_.c_str(), rc);
            missingTable_ = true;
            return 0;
        }
        if (isCriticalStmt(rc, true, mode)) return UL_ERROR_RETURN(-1);
        prepareFailed_ = true;
        return 0;
    });
}

bool ULSQLStmt::isCriticalStmt(int returnCode, bool commit, int mode) {
    DbIfConnection* db = conn().db.get();
    // Kept apart: a commit below replaces the communication area.
    dbif_commarea_t area;
    if (db) area = db->commArea();
    mode |= prepareMode_;
    const char16_t* text = skipSpace(sql_.c_str());
    bool critical = true;
    if (!(mode & (UL_SQLMODE_TOLERATE | UL_SQLMODE_IGNOREERRORS | UL_SQLMODE_IGNOREDUPS)) &&
        !filter_) {
        critical = true;
    } else if (filter_ && filter_(filterContext_, static_cast<unsigned>(area.dbCode)) > 0) {
        critical = false;
    } else if ((returnCode == DBIF_RC_NOT_FOUND || returnCode == DBIF_RC_REJECTED) &&
               (startsWithWord(text, u"drop") || startsWithWord(text, u"revoke") ||
                (startsWithWord(text, u"alter table") && (ul_stristr(text, u"drop primary key") ||
                                                          ul_stristr(text, u"drop constraint"))))) {
        critical = false;
    } else if (returnCode == DBIF_RC_DB_ERROR &&
               (startsWithWord(text, u"drop type") || startsWithWord(text, u"drop sequence"))) {
        critical = false;
    } else if (returnCode == DBIF_RC_DUPLICATE && (mode & UL_SQLMODE_IGNOREDUPS)) {
        critical = false;
    } else if (returnCode > 98 && (mode & UL_SQLMODE_IGNOREERRORS)) {
        critical = false;
    }
    if (!critical) {
        UL_TRACE(UL_TRC_SQL, 2, u"Ignoring uncritical error %d (db code %ld) of '%s'.\n",
                 returnCode, area.dbCode, text);
        if (!commit || ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) == 0) return false;
        const std::u16string commitError = ul_errorgetmsg();
        setDbifError(returnCode, &area, u"");
        ul_errorsetmsg(UL_ERR_APPEND, commitError.c_str());
        return true;
    }
    setDbifError(returnCode, db ? &area : nullptr, u"");
    return true;
}

int ULSQLStmt::bindCheck(unsigned index) {
    if (kind_ == UL_SQLKIND_NONE) {
        ul_errorsetmsgfmt(0, u"Cannot bind parameter #%d of a statement that is not prepared",
                          static_cast<int>(index) + 1);
        return UL_ERROR_RETURN(-1);
    }
    if (index >= nParams_) {
        ul_errorsetmsgfmt(0, u"Illegal bind parameter #%d, maximum is %d",
                          static_cast<int>(index) + 1, static_cast<int>(nParams_));
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULSQLStmt::putValue(DbIfRowBatch* batch, size_t row, unsigned index, const char16_t* text,
                        const unsigned char* raw, unsigned long length, bool isRaw) {
    if (isRaw) return ul_sqlbindraw(batch, row, index, raw, length, in_[index]);
    return ul_sqlbindtext(batch, row, index, text, in_[index]);
}

// A bound value is checked at once by converting it into a scratch row, so that a bad value
// fails where it is bound; the value itself is kept and converted again per execute.
int ULSQLStmt::bindParam(unsigned index, const char16_t* value, int flags) {
    if (bindCheck(index) < 0) return UL_ERROR_RETURN(-1);
    return ul_guarded([&]() -> int {
        BoundValue& b = bound_[index];
        if (flags & 1) {
            b.kind = BoundValue::Kind::textRef;
            b.textRef = value;
            return 0;
        }
        scratch_.clear();
        scratch_.addRow();
        if (putValue(&scratch_, 0, index, value, nullptr, 0, false) < 0) return UL_ERROR_RETURN(-1);
        if (!value) {
            b.kind = BoundValue::Kind::null;
        } else {
            b.kind = BoundValue::Kind::text;
            b.text.assign(value);
        }
        return 0;
    });
}

int ULSQLStmt::bindParam(unsigned index, const unsigned char* raw, unsigned long length,
                         int flags) {
    if (bindCheck(index) < 0) return UL_ERROR_RETURN(-1);
    return ul_guarded([&]() -> int {
        BoundValue& b = bound_[index];
        if (flags & 1) {
            b.kind = BoundValue::Kind::rawRef;
            b.rawRef = raw;
            b.rawLength = length;
            return 0;
        }
        scratch_.clear();
        scratch_.addRow();
        if (putValue(&scratch_, 0, index, nullptr, raw, length, true) < 0)
            return UL_ERROR_RETURN(-1);
        if (!raw) {
            b.kind = BoundValue::Kind::null;
        } else {
            b.kind = BoundValue::Kind::raw;
            b.raw.assign(raw, raw + length);
        }
        return 0;
    });
}

int ULSQLStmt::bindParam(unsigned index, long value) {
    if (bindCheck(index) < 0) return UL_ERROR_RETURN(-1);
    scratch_.clear();
    scratch_.addRow();
    if (ul_sqlbindinteger(&scratch_, 0, index, value, in_[index]) < 0) return UL_ERROR_RETURN(-1);
    bound_[index].kind = BoundValue::Kind::integer;
    bound_[index].integer = value;
    return 0;
}

int ULSQLStmt::bindNull(unsigned index) {
    if (bindCheck(index) < 0) return UL_ERROR_RETURN(-1);
    bound_[index].kind = BoundValue::Kind::null;
    return 0;
}

int ULSQLStmt::putBound(DbIfRowBatch* batch, size_t row, unsigned index) {
    const BoundValue& b = bound_[index];
    switch (b.kind) {
        case BoundValue::Kind::none:
            ul_errorsetmsgfmt(0, u"Input parameters #%d not bound to any value",
                              static_cast<int>(index) + 1);
            return UL_ERROR_RETURN(-1);
        case BoundValue::Kind::null:
            batch->setNull(row, index);
            return 0;
        case BoundValue::Kind::text:
            return putValue(batch, row, index, b.text.c_str(), nullptr, 0, false);
        case BoundValue::Kind::textRef:
            return putValue(batch, row, index, b.textRef, nullptr, 0, false);
        case BoundValue::Kind::raw:
            return putValue(batch, row, index, nullptr, b.raw.empty() ? kEmptyBytes : b.raw.data(),
                            b.raw.size(), true);
        case BoundValue::Kind::rawRef:
            return putValue(batch, row, index, nullptr, b.rawRef, b.rawLength, true);
        case BoundValue::Kind::integer:
            return ul_sqlbindinteger(batch, row, index, b.integer, in_[index]);
    }
    return 0;
}

long ULSQLStmt::execute(ULSQLCallBack* callback, unsigned long* count, int mode) {
    return ul_guarded([&]() -> long {
        ULSQLExec exec(this, callback, mode);
        return exec.run(count);
    });
}

int ULSQLStmt::run(const char16_t* sql, const ul_sqlfielddesc_t* out, unsigned nOut,
                   ULSQLCallBack* callback, unsigned long* count, int mode) {
    const bool connectHere = !ul_sqlisconnected();
    if (connectHere && ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    long result;
    {
        ULSQLStmt stmt;
        // A missing table concerns prepare as much as execute.
        result = stmt.prepare(sql, nullptr, 0, out, out ? nOut : 0,
                              mode & (UL_SQLMODE_PREPAREBITS | UL_SQLMODE_MISSINGTABLE));
        if (result == 0) result = stmt.execute(callback, count, mode);
    }
    if (connectHere) {
        if (result == -1) {
            const std::u16string error = ul_errorgetmsg();
            // The first failure is the one reported.
            (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);
            ul_errorsetmsg(0, error.c_str());
        } else if (ul_sqldisconnect(0) < 0) {
            return UL_ERROR_RETURN(-1);
        }
    }
    return result == -1 ? UL_ERROR_RETURN(-1) : static_cast<int>(result);
}

// ---- executor -----------------------------------------------------------------------------

ULSQLExec::ULSQLExec(ULSQLStmt* stmt, ULSQLCallBack* callback, int mode)
    : stmt_(stmt), callback_(callback), mode_(mode), traceLevel_(UL_TraceLevels[UL_TRC_SQL]) {}

long ULSQLExec::run(unsigned long* count) {
    if (count) *count = 0;
    ULSQLStmt& s = *stmt_;
    if (s.kind_ == UL_SQLKIND_NONE) {
        ul_errorsetmsg(0, u"Cannot execute a statement that is not prepared");
        return UL_ERROR_RETURN(-1);
    }
    if (s.missingTable_) return -2;
    if (s.prepareFailed_) {
        UL_TRACE(UL_TRC_SQL, 2,
                 u"Ignore execution for uncritical statement '%s' with failed prepare!\n",
                 s.sql_.c_str());
        return 0;
    }
    if (!conn().db) {
        ul_errorsetmsgfmt(0, u"Not connected to the database for statement '%s'", s.sql_.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (!s.handle_) {
        // Prepared on an earlier connection.
        int rc = s.prepareEngine();
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc != DBIF_RC_OK) {
            if ((rc == DBIF_RC_NOT_FOUND || rc == DBIF_RC_REJECTED) &&
                ((mode_ | s.prepareMode_) & UL_SQLMODE_MISSINGTABLE))
                return -2;
            return s.isCriticalStmt(rc, false, mode_) ? UL_ERROR_RETURN(-1) : 0;
        }
    }
    UL_TRACE(UL_TRC_SQL, 4, u"Executing SQL(mode=%#x): %s\n", static_cast<unsigned>(mode_),
             s.sql_.c_str());
    switch (s.kind_) {
        case UL_SQLKIND_SELECT:
            return runQuery(count);
        case UL_SQLKIND_OTHER:
            return runOther(count);
        default:
            return runModify(count);
    }
}

namespace {

// Ends the read on every way out of a query.
class ReadGuard {
  public:
    explicit ReadGuard(DbIfStatement* stmt) : stmt_(stmt) {}
    ~ReadGuard() {
        if (stmt_) stmt_->endRead();
    }
    int end() {
        DbIfStatement* stmt = stmt_;
        stmt_ = nullptr;
        return stmt->endRead();
    }

  private:
    DbIfStatement* stmt_;
};

}  // namespace

long ULSQLExec::runQuery(unsigned long* count) {
    ULSQLStmt& s = *stmt_;
    DbIfRowBatch* params = nullptr;
    if (s.nParams_ > 0) {
        s.params_.reset(s.nParams_);
        s.params_.addRow();
        for (unsigned i = 0; i < s.nParams_; ++i)
            if (s.putBound(&s.params_, 0, i) < 0) return UL_ERROR_RETURN(-1);
        params = &s.params_;
    }
    int rc = s.handle_->begRead(params);
    if (rc == DBIF_RC_REPREPARE) {
        UL_TRACE(UL_TRC_SQL, 2, u"Statement invalidated, preparing '%s' again.\n", s.sql_.c_str());
        rc = s.prepareEngine();
        if (rc == DBIF_RC_OK) rc = s.handle_->begRead(params);
        if (rc < 0) return UL_ERROR_RETURN(-1);
    }
    if (rc != DBIF_RC_OK) {
        if ((rc == DBIF_RC_NOT_FOUND || rc == DBIF_RC_REJECTED) &&
            ((mode_ | s.prepareMode_) & UL_SQLMODE_MISSINGTABLE))
            return -2;
        return s.isCriticalStmt(rc, false, mode_) ? UL_ERROR_RETURN(-1) : 0;
    }
    ReadGuard guard(s.handle_.get());
    if (processRowTypes() < 0) return UL_ERROR_RETURN(-1);

    ULSQLLogWrapper logWrapper(descs_.data(), static_cast<unsigned>(descs_.size()));
    if (!callback_) callback_ = &logWrapper;
    chooseTextColumns();
    if (warnCrossEngine() < 0) return UL_ERROR_RETURN(-1);

    long stop = 0;
    if (mode_ & (UL_SQLMODE_HDR_TYPE | UL_SQLMODE_HDR_LENGTH | UL_SQLMODE_HDR_NAME)) {
        stop = headerRow();
        if (stop == -1) return UL_ERROR_RETURN(-1);
    }
    DbIfRowBatch& batch = s.batch_;
    batch.reset(static_cast<unsigned>(columns_.size()));
    bool complete = false;
    while (stop == 0) {
        rc = s.handle_->exeRead(&batch, s.bulkRows_);
        if (rc == DBIF_RC_NO_MORE_ROWS) {
            complete = true;
            break;
        }
        if (rc != DBIF_RC_OK && rc != DBIF_RC_PARTIAL && rc != DBIF_RC_LAST_BATCH) {
            setDbifError(rc, &conn().db->commArea(), u"");
            return UL_ERROR_RETURN(-1);
        }
        const size_t rows = batch.rows();
        for (size_t r = 0; r < rows && stop == 0; ++r) {
            const int result = selProcessRow(&batch, r);
            if (result == -1) return UL_ERROR_RETURN(-1);
            stop = result;
        }
        if (rc == DBIF_RC_LAST_BATCH && stop == 0) complete = true;
        if (complete) break;
    }
    const long dbCount = conn().db->commArea().rowCount;
    batch.clear();
    rc = guard.end();
    if (rc != DBIF_RC_OK) {
        setDbifError(rc, &conn().db->commArea(), u"");
        return UL_ERROR_RETURN(-1);
    }
    if (complete && conn().row->type != UL_DBTYPE_ZSE &&
        static_cast<unsigned long>(dbCount) != rowsDelivered_) {
        ul_errorsetmsgfmt(0, u"Mismatch in database count: selected %lu rows, but DBIF has %lu",
                          rowsDelivered_, static_cast<unsigned long>(dbCount));
        return UL_ERROR_RETURN(-1);
    }
    if (count) *count = static_cast<unsigned long>(dbCount < 0 ? 0 : dbCount);
    return stop;
}

int ULSQLExec::processRowTypes() {
    ULSQLStmt& s = *stmt_;
    int rc = s.handle_->describe(&columns_);
    if (rc != DBIF_RC_OK) {
        setDbifError(rc, &conn().db->commArea(), u"");
        return UL_ERROR_RETURN(-1);
    }
    const size_t ncols = columns_.size();
    if (s.out_.size() > ncols) {
        ul_errorsetmsgfmt(0, u"Statement delivers %d columns, but %d are described: '%s'",
                          static_cast<int>(ncols), static_cast<int>(s.out_.size()), s.sql_.c_str());
        return UL_ERROR_RETURN(-1);
    }
    descs_.clear();
    allRaw_ = ncols > 0;
    for (size_t i = 0; i < ncols; ++i) {
        const dbif_coldesc_t& col = columns_[i];
        const bool given = i < s.out_.size();
        ul_sqlfielddesc_t desc;
        if (given) {
            desc = s.out_[i];
            if (!desc.name) desc.name = col.name.c_str();
        } else if (col.type == DBIF_TYPE_RAW || col.type == DBIF_TYPE_BLOB) {
            // Bytes have no text form; they are delivered raw.
            desc = ul_sqlfieldfromcolumn(col);
        } else {
            desc = defaultTextDesc(col.name.c_str());
            if (col.type == DBIF_TYPE_LONGCHAR) {
                desc.flags |= UL_SQLFLD_LONG;
                desc.length = static_cast<unsigned>(UL_SQLLobColumnSpace);
            } else if (col.type == DBIF_TYPE_CHAR && col.length == 0) {
                desc.length = 0;  // the database sets no bound, so neither do we
            }
        }
        UL_TRACE(UL_TRC_SQL, 5, u"Column #%d '%s': type %d length %u decimals %u.\n",
                 static_cast<int>(i) + 1, col.name.c_str(), col.type, col.length, col.decimals);
        // Lengths are compared where both sides count the same units.
        const bool comparable = col.length > 0 && !isLongDesc(desc) &&
                                ((col.type == DBIF_TYPE_CHAR && isCharDesc(desc)) ||
                                 (col.type == DBIF_TYPE_RAW && isRawDesc(desc)));
        if (comparable && col.length > desc.length) {
            if (given) {
                ul_errorsetmsgfmt(
                    0, u"Internal error: Column #%d '%s' maxlen %d exceeds reserved %lu",
                    static_cast<int>(i) + 1, col.name.c_str(), static_cast<int>(col.length),
                    static_cast<unsigned long>(desc.length));
                return UL_ERROR_RETURN(-1);
            }
            UL_TRACE(UL_TRC_SQL, 1,
                     u"Warning: Column #%d '%s' maxlen %d exceeds reserved %lu - ignored.\n",
                     static_cast<int>(i) + 1, col.name.c_str(), static_cast<int>(col.length),
                     static_cast<unsigned long>(desc.length));
            desc.length = col.length;
        } else if (comparable && col.length < desc.length) {
            UL_TRACE(UL_TRC_SQL, 3, u"Reducing column #%d '%s' length from %lu to %d.\n",
                     static_cast<int>(i) + 1, col.name.c_str(),
                     static_cast<unsigned long>(desc.length), static_cast<int>(col.length));
            desc.length = col.length;
        }
        if (!isRawDesc(desc)) allRaw_ = false;
        descs_.push_back(desc);
    }
    raw_.assign(ncols, nullptr);
    values_.assign(ncols, nullptr);
    lengths_.assign(ncols, 0);
    textLengths_.assign(ncols, 0);
    piecewise_ = !((mode_ | s.prepareMode_) & UL_SQLMODE_LOBONEPIECE) &&
                 !(UL_SQLGlobalFlags & UL_SQLFLAG_NOLOBSPIECEWISE) &&
                 std::any_of(descs_.begin(), descs_.end(), isLongDesc);
    longFields_.assign(piecewise_ ? ncols : 0, LongField());
    return 0;
}

void ULSQLExec::chooseTextColumns() {
    const size_t ncols = descs_.size();
    const bool text = !(mode_ & UL_SQLMODE_ANYUPDATE_RAWONLY) && !allRaw_;
    withText_.assign(ncols, 0);
    anyText_ = false;
    for (size_t i = 0; i < ncols && text; ++i) {
        withText_[i] = callback_->wantsText(static_cast<unsigned>(i)) ? 1 : 0;
        anyText_ = anyText_ || withText_[i];
    }
}

int ULSQLExec::warnCrossEngine() {
    const char16_t* table = callback_->crossEngineTable();
    if (!table) return 0;
    std::vector<std::u16string>& warned = conn().crossEngineWarned;
    for (size_t i = 0; i < columns_.size(); ++i) {
        const char16_t* note = columns_[i].crossEngineNote;
        if (!note) continue;
        const char16_t* name = descs_[i].name ? descs_[i].name : u"";
        std::u16string key = std::u16string(table) + u'\0' + name;
        if (std::find(warned.begin(), warned.end(), key) != warned.end()) continue;
        if (ul_guarded([&] {
                warned.push_back(std::move(key));
                return 0;
            }) < 0 ||
            ul_msgwrite_printf399(
                2, u'W', u"Column '%s' of table '%s' may not check equal on another database: %s.",
                name, table, note) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULSQLExec::allocSingleField(unsigned i, size_t length) {
    LongField& field = longFields_[i];
    const size_t capacity = std::max(field.text.capacity(), field.bytes.capacity());
    if (capacity >= length) return 0;
    size_t wanted = std::max<size_t>(static_cast<size_t>(UL_SQLLobColumnSpace), capacity);
    while (wanted < length) wanted *= 2;
    return ul_guarded([&] {
        field.text.reserve(wanted);
        field.bytes.reserve(wanted);
        return 0;
    });
}

int ULSQLExec::readLongPieces(DbIfRowBatch* batch, size_t r, unsigned i, dbif_cell_t* cell) {
    const size_t pieceSize = static_cast<size_t>(std::max<long>(UL_SQLLobColumnSpace, 1));
    if (allocSingleField(i, cell->length) < 0) return UL_ERROR_RETURN(-1);
    LongField& field = longFields_[i];
    const bool isText = cell->kind == dbif_kind::text;
    field.text.clear();
    field.bytes.clear();
    int pieces = 0;
    for (;;) {
        dbif_cell_t piece;
        const size_t offset = isText ? field.text.size() : field.bytes.size();
        const int rc = stmt_->handle_->lobGetPiece(batch, r, i, offset, pieceSize, &piece);
        if (rc == DBIF_RC_NO_MORE_ROWS) break;
        if (rc != DBIF_RC_OK) {
            setDbifError(rc, &conn().db->commArea(), u"");
            return UL_ERROR_RETURN(-1);
        }
        if (isText)
            field.text.append(piece.text, piece.length);
        else
            field.bytes.insert(field.bytes.end(), piece.bytes, piece.bytes + piece.length);
        ++pieces;
    }
    cell->length = isText ? field.text.size() : field.bytes.size();
    if (isText)
        cell->text = field.text.data();
    else
        cell->bytes = field.bytes.data();
    UL_TRACE(UL_TRC_SQL, 5, u"Read long value of column #%d in %d pieces (%lu units).\n",
             static_cast<int>(i) + 1, pieces, static_cast<unsigned long>(cell->length));
    return 0;
}

int ULSQLExec::headerRow() {
    const size_t ncols = descs_.size();
    std::vector<std::u16string> texts(ncols);
    for (size_t i = 0; i < ncols; ++i) {
        const ul_sqlfielddesc_t& desc = descs_[i];
        std::u16string& text = texts[i];
        if (mode_ & UL_SQLMODE_HDR_TYPE) {
            const char16_t letter = ul_sqlfldflag2char(desc);
            text += letter ? std::u16string(1, letter) : ul_format(u"<#%d>", ul_sqlfieldtype(desc));
        }
        if (mode_ & UL_SQLMODE_HDR_LENGTH) {
            if (!text.empty()) text += u':';
            text += ul_format(u"%lu", static_cast<unsigned long>(desc.length));
        }
        if (mode_ & UL_SQLMODE_HDR_NAME) {
            if (!text.empty()) text += u':';
            text += desc.name ? desc.name : u"";
        }
        values_[i] = text.c_str();
    }
    const unsigned flags = static_cast<unsigned>(
        mode_ & (UL_SQLMODE_HDR_TYPE | UL_SQLMODE_HDR_LENGTH | UL_SQLMODE_HDR_NAME));
    const int result =
        callback_->handleRow(flags, nullptr, values_.data(), nullptr, static_cast<unsigned>(ncols));
    std::fill(values_.begin(), values_.end(), nullptr);
    return result;
}

int ULSQLExec::selProcessRow(DbIfRowBatch* batch, size_t r) {
    const unsigned ncols = static_cast<unsigned>(descs_.size());
    const dbif_cell_t* cells = batch->row(r);
    const bool correctLengths = UL_SQLGlobalFlags & UL_SQLFLAG_CORRLONGDATALENGTH;
    if (correctLengths || piecewise_) {
        cells_.assign(cells, cells + ncols);
        cells = cells_.data();
    }
    if (piecewise_) {
        // Values that fit the column space arrive in one piece; longer ones are read piecewise.
        const size_t space = static_cast<size_t>(std::max<long>(UL_SQLLobColumnSpace, 0));
        for (unsigned i = 0; i < ncols; ++i) {
            dbif_cell_t& cell = cells_[i];
            const bool pieceable = cell.kind == dbif_kind::text || cell.kind == dbif_kind::bytes;
            if (isLongDesc(descs_[i]) && pieceable && cell.length > space &&
                readLongPieces(batch, r, i, &cell) < 0)
                return UL_ERROR_RETURN(-1);
        }
    }
    if (correctLengths) {
        // The length field in front of a long value must state the value's length.
        for (unsigned i = 1; i < ncols; ++i) {
            dbif_cell_t& field = cells_[i - 1];
            if (!isLongDesc(descs_[i]) || cells_[i].kind == dbif_kind::null ||
                field.kind != dbif_kind::integer)
                continue;
            const int64_t actual = static_cast<int64_t>(cells_[i].length);
            if (field.integer != actual) {
                UL_TRACE(UL_TRC_SQL, 2, u"Correcting LCHR/LRAW length field from %d to %d\n",
                         static_cast<int>(field.integer), static_cast<int>(actual));
                field.integer = actual;
            }
        }
    }
    converter_.beginRow(ncols);
    for (unsigned i = 0; i < ncols; ++i)
        if (converter_.convert(i, cells[i], descs_[i], withText_[i]) < 0)
            return UL_ERROR_RETURN(-1);
    const int nul = converter_.rowArrays(raw_.data(), lengths_.data(), values_.data(),
                                         textLengths_.data(), ncols);
    if (nul >= 0 && !callback_->takesNulInText()) {
        ul_errorsetmsgfmt(0, u"Value of column #%d '%s' holds a NUL character", nul + 1,
                          descs_[nul].name);
        return UL_ERROR_RETURN(-1);
    }
    for (unsigned i = 0; traceLevel_ >= 10 && i < ncols; ++i) {
        if (!values_[i]) continue;
        const int shown = static_cast<int>(
            std::min<size_t>(ul_strlen(values_[i]), static_cast<size_t>(UL_SQLMaxTraceLen)));
        UL_TRACE(UL_TRC_SQL, 10, u"Row %lu column #%d: '%.*s'\n", rowsDelivered_ + 1,
                 static_cast<int>(i) + 1, shown, values_[i]);
    }
    ++rowsDelivered_;
    callback_->textLengths_ = textLengths_.data();
    callback_->nTextLengths_ = ncols;
    const int rc = callback_->handleRow(UL_ROW_DATA, raw_.data(),
                                        anyText_ ? values_.data() : nullptr, lengths_.data(), ncols);
    callback_->textLengths_ = nullptr;
    callback_->nTextLengths_ = 0;
    return rc;
}

int ULSQLExec::modProcessRow(DbIfRowBatch* batch, bool first) {
    ULSQLStmt& s = *stmt_;
    const unsigned n = s.nParams_;
    std::fill(raw_.begin(), raw_.end(), nullptr);
    std::fill(values_.begin(), values_.end(), nullptr);
    std::fill(lengths_.begin(), lengths_.end(), 0);
    const unsigned flags = UL_ROW_PARAMS | (first ? static_cast<unsigned>(UL_ROW_PARAMSFIRST) : 0u);
    const int result = callback_->handleRow(flags, raw_.data(), values_.data(), lengths_.data(), n);
    if (result == -1) return UL_ERROR_RETURN(-1);
    if (result & UL_PARAMS_END) return result;
    const size_t row = batch->addRow();
    for (unsigned i = 0; i < n; ++i) {
        int rc;
        if (values_[i])
            rc = s.putValue(batch, row, i, values_[i], nullptr, 0, false);
        else if (raw_[i])
            rc = s.putValue(batch, row, i, nullptr, raw_[i], lengths_[i], true);
        else
            rc = s.putBound(batch, row, i);
        if (rc < 0) return UL_ERROR_RETURN(-1);
    }
    ++rowsSupplied_;
    return result;
}

// Executes the rows of the parameter batch. A failure is judged by the critical-error rules;
// *tolerated tells that one was declared harmless.
int ULSQLExec::executeBatch(DbIfRowBatch* batch, unsigned long* processed, bool* tolerated) {
    ULSQLStmt& s = *stmt_;
    unsigned long done = 0;
    const int rc = s.handle_->modify(batch, &done);
    *processed += done;
    if (rc == DBIF_RC_OK) return 0;
    if (s.isCriticalStmt(rc, true, mode_)) return UL_ERROR_RETURN(-1);
    *tolerated = true;
    return 0;
}

long ULSQLExec::runModify(unsigned long* count) {
    ULSQLStmt& s = *stmt_;
    const int mode = mode_ | s.prepareMode_;
    if ((mode_ & UL_SQLMODE_IGNOREDUPS) && s.bulkRows_ > 1) {
        if (ul_msgwrite_printf399(3, u'W', u"Disabling BULK access due to 'ignore-duplicates'.") <
            0)
            return UL_ERROR_RETURN(-1);
        s.bulkRows_ = 1;
    }
    const unsigned n = s.nParams_;
    unsigned long processed = 0;
    bool tolerated = false;
    DbIfRowBatch& batch = s.params_;
    if (!callback_) {
        batch.reset(n);
        batch.addRow();
        for (unsigned i = 0; i < n; ++i)
            if (s.putBound(&batch, 0, i) < 0) return UL_ERROR_RETURN(-1);
        rowsSupplied_ = 1;
        if (executeBatch(&batch, &processed, &tolerated) < 0) return UL_ERROR_RETURN(-1);
    } else {
        UL_TRACE(UL_TRC_SQL, 4, u"Initializing modify sequence.\n");
        raw_.assign(n, nullptr);
        values_.assign(n, nullptr);
        lengths_.assign(n, 0);
        bool first = true;
        bool end = false;
        while (!end) {
            batch.reset(n);
            bool commit = false;
            while (batch.rows() < s.bulkRows_) {
                const int result = modProcessRow(&batch, first);
                first = false;
                if (result == -1) return UL_ERROR_RETURN(-1);
                if (result & UL_PARAMS_COMMIT) commit = true;
                if (result & UL_PARAMS_END) end = true;
                if (commit || end) break;
            }
            if (batch.rows() > 0) {
                UL_TRACE(UL_TRC_SQL, 4, u"Executing modify sequence.\n");
                if (executeBatch(&batch, &processed, &tolerated) < 0) return UL_ERROR_RETURN(-1);
            }
            if (commit) {
                UL_TRACE(UL_TRC_SQL, 3,
                         u"User function requested commit, current dbcount is %ld.\n",
                         static_cast<long>(processed));
                if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) return UL_ERROR_RETURN(-1);
            }
        }
        batch.clear();
    }
    if (s.kind_ == UL_SQLKIND_INSERT && !s.insertSelect_ && !(mode & UL_SQLMODE_IGNOREDUPS) &&
        !tolerated && processed != rowsSupplied_) {
        ul_errorsetmsgfmt(0, u"Mismatch in database count: processed %lu rows, but DBIF has %lu",
                          rowsSupplied_, processed);
        return UL_ERROR_RETURN(-1);
    }
    if (count) *count = processed;
    return static_cast<long>(processed);
}

long ULSQLExec::runOther(unsigned long* count) {
    ULSQLStmt& s = *stmt_;
    unsigned long processed = 0;
    const int rc = s.handle_->modify(nullptr, &processed);
    if (rc != DBIF_RC_OK && rc != DBIF_RC_NO_MORE_ROWS) {
        if (s.isCriticalStmt(rc, false, mode_)) return UL_ERROR_RETURN(-1);
        processed = 0;
    }
    if (processed == static_cast<unsigned long>(-1)) processed = 0;
    if (count) *count = processed;
    return static_cast<long>(processed);
}

#include "ulsqlsplitdb.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlbase.h"
#include "ulsqlbase2.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

unsigned long ul(ul_dbrowcount_t n) {
    return static_cast<unsigned long>(n);
}

// Catalogue answers are small; a statement that delivers more rows than this is no catalogue.
constexpr size_t kMaxCatalogRows = 100000;

// ---- state of one connection -------------------------------------------------------------------

struct SplitDbState {
    bool hooked = false;
    // The answers handed out, one per request number, valid until the next answer to it.
    std::u16string answers[16];
    std::optional<std::u16string> version;
    int mssMajor = -1;
    std::unique_ptr<ULSQLStmt> db6TableOrg;
    std::map<std::string, std::optional<std::u16string>> env;
};

SplitDbState& rawState() {
    static SplitDbState s;
    return s;
}

void resetState() {
    SplitDbState& s = rawState();
    const bool hooked = s.hooked;
    s = SplitDbState{};
    s.hooked = hooked;
}

SplitDbState& state() {
    SplitDbState& s = rawState();
    if (!s.hooked) {
        s.hooked = true;
        ul_sqladdsessionhooks({resetState, nullptr});
    }
    return s;
}

// An environment variable, read once per connection; null when not set.
const char16_t* envValue(const char* name) {
    auto& env = state().env;
    auto it = env.find(name);
    if (it == env.end()) {
        const char* value = getenv(name);
        it = env.emplace(name, value ? std::optional(ul_utf8to16(value)) : std::nullopt).first;
    }
    return it->second ? it->second->c_str() : nullptr;
}

// A whole decimal number of an environment variable; false with the error text when the value
// is none.
bool envNumber(const char* name, const char16_t* value, double* out) {
    const std::string text = ul_utf16to8(value);
    char* end = nullptr;
    const double v = strtod(text.c_str(), &end);
    if (text.empty() || *end != 0) {
        ul_errorsetmsgfmt(0, u"Invalid number '%s' in environment variable '%s'", value,
                          ul_utf8to16(name).c_str());
        return false;
    }
    *out = v;
    return true;
}

int answer(int request, std::u16string text, const char16_t** statement, int rc = 1) {
    std::u16string& slot = state().answers[request & 15];
    slot = std::move(text);
    *statement = slot.c_str();
    return rc;
}

int message(char16_t severity, const std::u16string& text) {
    return ul_msgwrite_line399(1, severity, text);
}

// The rows of a query as texts (NULL as empty text), at most kMaxCatalogRows.
class AuxTextRows : public ULSQLCallBackChar {
  public:
    using ULSQLCallBackChar::handleRow;
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override {
        if (!(flags & UL_ROW_DATA)) return 0;
        if (rows.size() == kMaxCatalogRows) {
            overflow = true;
            return 1;
        }
        std::vector<std::u16string> row;
        for (unsigned i = 0; i < ncols; ++i)
            row.emplace_back(values && values[i] ? values[i] : u"");
        rows.push_back(std::move(row));
        return 0;
    }
    std::vector<std::vector<std::u16string>> rows;
    bool overflow = false;
};

int executeInto(ULSQLStmt* stmt, const std::vector<const char16_t*>& params, AuxTextRows* rows) {
    for (unsigned i = 0; i < params.size(); ++i)
        if (stmt->bindParamS(i, params[i]) < 0) return UL_ERROR_RETURN(-1);
    rows->rows.clear();
    if (stmt->execute(rows, nullptr, 0) < 0) return UL_ERROR_RETURN(-1);
    if (rows->overflow) {
        ul_errorsetmsgfmt(0, u"More than %lu rows from catalogue statement '%s'",
                          static_cast<unsigned long>(kMaxCatalogRows), stmt->getText());
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// Runs a catalogue query with text parameters.
int query(const std::u16string& sql, const std::vector<const char16_t*>& params,
          AuxTextRows* rows) {
    ULSQLStmt stmt;
    if (stmt.prepare(sql.c_str(), nullptr, 0, nullptr, 0, 0) < 0) return UL_ERROR_RETURN(-1);
    return executeInto(&stmt, params, rows);
}

std::u16string stringLiteral(const char16_t* value) {
    std::u16string out;
    if (ul_sqlappendliteral(&out, value, UL_SQLTOKEN_STRING, ul_sqlcurrentliteralform()) < 0)
        out = u"''";  // a plain string literal cannot fail
    return out;
}

// The database version, read once per connection.
int dbVersion(const std::u16string** out) {
    SplitDbState& s = state();
    if (!s.version) {
        char16_t version[64];
        char16_t client[64];
        if (ul_sqlgetdbversion(version, 64, client, 64) < 0) return UL_ERROR_RETURN(-1);
        s.version = version;
    }
    *out = &*s.version;
    return 0;
}

// Compares dotted version texts part by part as numbers ("7.9.10.00" > "7.9.08.05").
int compareVersions(const char16_t* a, const char16_t* b) {
    while (*a || *b) {
        unsigned long x = 0;
        unsigned long y = 0;
        while (*a >= u'0' && *a <= u'9') x = x * 10 + static_cast<unsigned long>(*a++ - u'0');
        while (*b >= u'0' && *b <= u'9') y = y * 10 + static_cast<unsigned long>(*b++ - u'0');
        if (x != y) return x < y ? -1 : 1;
        if (*a && *a != u'.') break;
        if (*b && *b != u'.') break;
        if (*a) ++a;
        if (*b) ++b;
    }
    return 0;
}

}  // namespace

// ==== statement providers ========================================================================

// ---- ORA ----------------------------------------------------------------------------------------

namespace {

int oraNativeFields(const char16_t* table, const char16_t** statement) {
    const std::u16string sql =
        u"SELECT TABLE_NAME, INDEX_NAME FROM DBA_INDEXES WHERE TABLE_NAME = " +
        stringLiteral(table) + u" AND INDEX_TYPE = 'IOT - TOP'";
    AuxTextRows rows;
    if (query(sql, {}, &rows) < 0) return UL_ERROR_RETURN(-1);
    if (rows.rows.empty()) return answer(UL_SPLITREQ_NATIVEFIELDS, u"ROWID", statement);
    const std::u16string& index = rows.rows[0].size() > 1 ? rows.rows[0][1] : rows.rows[0][0];
    UL_TRACE(UL_TRC_SQLSPLIT, 1, u"Found index-organized table '%s' having index '%s'\n", table,
             index.c_str());
    if (message(u' ', ul_format(u"Found index-organized table '%s' which will be split by primary "
                                u"index.",
                                table)) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

}  // namespace

int ul_sqlsplitprovider_ora(int request, const char16_t* table, const char16_t* const*, unsigned,
                            const char16_t** statement, int, double, int) {
    switch (request) {
        case UL_SPLITREQ_HINT: {
            std::u16string hint = ul_format(u"/*+ PARALLEL_INDEX(\"%s\") */", table ? table : u"");
            if (hint.size() >= UL_SQLNAMESIZE) hint.resize(UL_SQLNAMESIZE - 1);
            return answer(request, std::move(hint), statement);
        }
        case UL_SPLITREQ_NATIVEFIELDS:
            if (!table) return answer(request, u"ROWID", statement);
            return oraNativeFields(table, statement);
        default:
            return 0;
    }
}

// ---- DB6 ----------------------------------------------------------------------------------------

namespace {

int db6NativeFields(const char16_t* table, const char16_t** statement) {
    SplitDbState& s = state();
    if (!s.db6TableOrg) {
        auto stmt = std::make_unique<ULSQLStmt>();
        if (stmt->prepare(u"SELECT TABLEORG FROM SYSCAT.TABLES WHERE TABNAME = ?", nullptr, 0,
                          nullptr, 0, 0) < 0)
            return UL_ERROR_RETURN(-1);
        s.db6TableOrg = std::move(stmt);
    }
    AuxTextRows rows;
    if (executeInto(s.db6TableOrg.get(), {table}, &rows) < 0) return UL_ERROR_RETURN(-1);
    const std::u16string org = rows.rows.empty() || rows.rows[0].empty() ? u"" : rows.rows[0][0];
    if (org == u"R") {
        UL_TRACE(UL_TRC_SQLSPLIT, 1,
                 u"Table '%s' has TABLEORG='%s' - using 'RID()' for splitting.\n", table,
                 org.c_str());
        return answer(UL_SPLITREQ_NATIVEFIELDS, u"RID()", statement);
    }
    if (message(u'W', ul_format(u"Table '%s' has TABLEORG='%s' - cannot use 'RID()' for splitting.",
                                table, org.c_str())) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

}  // namespace

int ul_sqlsplitprovider_db6(int request, const char16_t* table, const char16_t* const* keyfields,
                            unsigned nkeyfields, const char16_t** statement, int, double, int) {
    if (request == UL_SPLITREQ_NATIVEFIELDS) {
        if (!table) return answer(request, u"RID()", statement);
        return db6NativeFields(table, statement);
    }
    if (request == UL_SPLITREQ_ROWNUM && nkeyfields == 1 && ul_strcmp(keyfields[0], u"RID()") == 0)
        return answer(request,
                      u"SELECT RID FROM ( SELECT RID, ROWNUMBER() OVER( ORDER BY RID ) AS ROWN "
                      u"FROM ( SELECT RID() AS RID FROM %T%w)) AS Q WHERE MOD(ROWN, %s) = 0",
                      statement);
    return 0;
}

// ---- DB4 and ZSE --------------------------------------------------------------------------------

int ul_sqlsplitprovider_db4(int request, const char16_t*, const char16_t* const*, unsigned,
                            const char16_t** statement, int, double, int) {
    if (request != UL_SPLITREQ_HINTCLOSE) return 0;
    return answer(request, u" %_HINTS AS400 'SINGLE_EXECUTION'", statement);
}

int ul_sqlsplitprovider_zse(int request, const char16_t*, const char16_t* const*, unsigned,
                            const char16_t** statement, int, double, int) {
    if (request != UL_SPLITREQ_COUNT) return 0;
    return answer(request, u"SELECT %H%C FROM %T%w%h at isolation 1", statement);
}

// ---- MSS ----------------------------------------------------------------------------------------

namespace {

int mssMajorVersion(int* major) {
    SplitDbState& s = state();
    if (s.mssMajor < 0) {
        const std::u16string* version = nullptr;
        if (dbVersion(&version) < 0) return UL_ERROR_RETURN(-1);
        const char16_t* p = version->c_str();
        if (*p < u'0' || *p > u'9') {
            ul_errorsetmsgfmt(0, u"Incomprehensible DB version string '%s'", p);
            return UL_ERROR_RETURN(-1);
        }
        int n = 0;
        while (*p >= u'0' && *p <= u'9' && n < 100000) n = n * 10 + (*p++ - u'0');
        s.mssMajor = n;
    }
    *major = s.mssMajor;
    return 0;
}

}  // namespace

int ul_sqlsplitprovider_mss(int request, const char16_t*, const char16_t* const*, unsigned,
                            const char16_t** statement, int, double, int) {
    if (request != UL_SPLITREQ_COUNTEXPR && request != UL_SPLITREQ_ESTIMATE &&
        request != UL_SPLITREQ_COUNT && request != UL_SPLITREQ_DISTINCT &&
        request != UL_SPLITREQ_ROWNUM)
        return 0;
    int major = 0;
    if (mssMajorVersion(&major) < 0) return UL_ERROR_RETURN(-1);
    switch (request) {
        case UL_SPLITREQ_COUNTEXPR:
            return answer(request, major > 8 ? u"COUNT_BIG(*)" : u"COUNT(*)", statement);
        case UL_SPLITREQ_ESTIMATE:
            if (major == 9)
                return answer(request,
                              u"SELECT si.rows FROM sysobjects so, sysindexes si WHERE so.xtype = "
                              u"'U' AND so.id = OBJECT_ID(user + '.%t') AND so.id = si.id and "
                              u"si.indid <= 1",
                              statement);
            if (major > 9)
                return answer(request,
                              u"SELECT SUM(row_count) FROM sys.dm_db_partition_stats WHERE "
                              u"object_id = OBJECT_ID(user + '.%t') AND index_id in (0,1)",
                              statement);
            return 0;
        case UL_SPLITREQ_COUNT:
            return answer(request,
                          major > 9 ? u"SELECT %H%C FROM %T%w%h OPTION (MAXDOP 0)"
                                    : u"SELECT %H%C FROM %T%w%h",
                          statement);
        case UL_SPLITREQ_DISTINCT:
            return answer(request,
                          major > 9 ? u"SELECT %C FROM (SELECT %HDISTINCT %k FROM %T%w%h) AS T1 "
                                      u"OPTION (MAXDOP 0)"
                                    : u"SELECT %C FROM (SELECT %HDISTINCT %k FROM %T%w%h) AS T1",
                          statement);
        default:  // row numbers
            if (major < 9) return 0;
            return answer(request,
                          u"SELECT %k FROM ( SELECT %k, ROW_NUMBER() OVER( ORDER BY %k ) AS ROWN "
                          u"FROM %T%w) AS Q WHERE Q.ROWN %% %s = 0 ORDER BY %k",
                          statement);
    }
}

// ---- ZMX ----------------------------------------------------------------------------------------

namespace {

constexpr char16_t kZmxKeyBoundVersion[] = u"7.9.10.00";
constexpr char16_t kZmxRownum[] =
    u"SELECT /*+queryrewrite_no*/ %k FROM ( SELECT /*+keyaccess*/ %k, ROWNUM AS ROWN FROM %T%w) "
    u"WHERE MOD(ROWN, %s) = 0";
constexpr char16_t kZmxKeyBounds[] = u"SELECT /*+keybounds(%s)*/ %k FROM %T";

int zmxNativeFields(const char16_t* table, const char16_t** statement) {
    AuxTextRows rows;
    if (query(u"SELECT COUNT(*) FROM DOMAIN.COLUMNS WHERE TABLENAME = ? AND MODE = 'KEY'", {table},
              &rows) < 0)
        return UL_ERROR_RETURN(-1);
    ul_dbrowcount_t keys = 0;
    if (rows.rows.empty() || rows.rows[0].empty() ||
        !ul_sqlparserowcount(rows.rows[0][0].c_str(), &keys)) {
        ul_errorsetmsgfmt(0, u"Missing output from generic \"count(*)\"");
        return UL_ERROR_RETURN(-1);
    }
    if (keys == 0) {
        if (message(u' ', ul_format(u"Table '%s' does not have key fields, splitting via 'SYSKEY' "
                                    u"field!",
                                    table)) < 0)
            return UL_ERROR_RETURN(-1);
        return answer(UL_SPLITREQ_NATIVEFIELDS, u"SYSKEY", statement);
    }
    if (message(u'W', ul_format(u"Table '%s' does have key fields, splitting via 'SYSKEY' not "
                                u"possible.",
                                table)) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

// 1 when every split field is the clustered key column at its position.
int zmxClustered(const char16_t* table, const char16_t* const* keyfields, unsigned nkeyfields) {
    AuxTextRows rows;
    if (query(u"SELECT COLUMNNAME, KEYPOS FROM DOMAIN.COLUMNS WHERE OWNER = USER AND TABLENAME = ? "
              u"AND KEYPOS >= 1 ORDER BY KEYPOS",
              {table}, &rows) < 0)
        return UL_ERROR_RETURN(-1);
    for (unsigned i = 0; i < nkeyfields; ++i) {
        if (ul_stricmp(keyfields[i], u"SYSKEY") == 0) continue;
        if (i < rows.rows.size() && !rows.rows[i].empty() && rows.rows[i][0] == keyfields[i])
            continue;
        if (message(u'W', ul_format(u"Cannot use optimized ROWNUM method since key field #%d '%s' "
                                    u"is not clustered!",
                                    static_cast<int>(i + 1), keyfields[i])) < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }
    return 1;
}

int zmxRownum(const char16_t* table, const char16_t* const* keyfields, unsigned nkeyfields,
              const char16_t** statement, int flags) {
    const int clustered = zmxClustered(table, keyfields, nkeyfields);
    if (clustered <= 0) return clustered;
    const std::u16string* version = nullptr;
    if (dbVersion(&version) < 0) return UL_ERROR_RETURN(-1);
    const bool newer = compareVersions(version->c_str(), kZmxKeyBoundVersion) >= 0;
    const std::u16string versionLine =
        ul_format(u"Database version '%s' is higher than '%s', enabling keybounds hint.",
                  version->c_str(), kZmxKeyBoundVersion);
    if (const char16_t* env = envValue("TABRIX_ZMX_USEKEYBOUND")) {
        double value = 0;
        if (!envNumber("TABRIX_ZMX_USEKEYBOUND", env, &value)) return UL_ERROR_RETURN(-1);
        const bool on = value != 0;
        if (message(u' ', ul_format(u"%s keybounds hint via environment variable.",
                                    on ? u"Enabled" : u"Disabled")) < 0)
            return UL_ERROR_RETURN(-1);
        if (!on) return answer(UL_SPLITREQ_ROWNUM, kZmxRownum, statement);
        if (newer && message(u' ', versionLine) < 0) return UL_ERROR_RETURN(-1);
        return answer(UL_SPLITREQ_ROWNUM, kZmxKeyBounds, statement);
    }
    if (!newer) {
        if (message(u' ', u"All keyfields are clustered, so may use optimized ROWNUM method.") < 0)
            return UL_ERROR_RETURN(-1);
        return answer(UL_SPLITREQ_ROWNUM, kZmxRownum, statement);
    }
    if (flags & UL_SPLITREQFLAG_WHERE) {
        if (message(u' ', u"Disabled keybounds hint due to where condition for split.") < 0)
            return UL_ERROR_RETURN(-1);
        return answer(UL_SPLITREQ_ROWNUM, kZmxRownum, statement);
    }
    if (message(u' ', versionLine) < 0) return UL_ERROR_RETURN(-1);
    return answer(UL_SPLITREQ_ROWNUM, kZmxKeyBounds, statement);
}

}  // namespace

int ul_sqlsplitprovider_zmx(int request, const char16_t* table, const char16_t* const* keyfields,
                            unsigned nkeyfields, const char16_t** statement, int flags, double,
                            int) {
    if (request == UL_SPLITREQ_NATIVEFIELDS) {
        if (!table) return answer(request, u"SYSKEY", statement);
        return zmxNativeFields(table, statement);
    }
    if (request == UL_SPLITREQ_ROWNUM && table)
        return zmxRownum(table, keyfields, nkeyfields, statement, flags);
    return 0;
}

// ---- ZDB: split column search ----------------------------------------------------------------

namespace {

struct ZdbCandidate {
    std::u16string column;
    bool loaded = false;
    ul_dbrowcount_t distinct = UL_DBROWCOUNT_INVALID;
};

class ZdbColumnSearch {
  public:
    ZdbColumnSearch(const char16_t* table, double segment) : table_(table), segment_(segment) {}

    // The answer of request 6: 1 or 0x10001 with the column in column(), 0 for none, -1.
    int run() {
        if (readSettings() < 0 || readTable() < 0) return UL_ERROR_RETURN(-1);
        int rc = 0;
        for (int round = 1; round <= rounds_ && rc == 0; ++round) {
            rc = searchRound(round);
            if (rc < 0) break;
            if (rc == 0 &&
                message(u'W', ul_format(u"Table '%s': no suitable split columns found supporting "
                                        u"a package size of %lu%s.",
                                        table_, ul(package_),
                                        round == 1 ? u" (columns might not be in memory)" : u"")) <
                    0)
                rc = -1;
        }
        if (unloadTable() < 0) return UL_ERROR_RETURN(-1);
        return rc < 0 ? UL_ERROR_RETURN(-1) : rc;
    }
    const std::u16string& column() const { return chosen_; }

  private:
    int readSettings() {
        if (const char16_t* schema = envValue("TABRIX_ZDB_SCHEMANAME")) {
            schema_ = stringLiteral(schema);
            schemaGiven_ = schema;
            if (message(u' ', ul_format(u"Overwriting current schema by %s from environment.",
                                        schema_.c_str())) < 0)
                return UL_ERROR_RETURN(-1);
        }
        double value = 0;
        if (const char16_t* env = envValue("TABRIX_ZDB_SPLITFORCETABLELOAD")) {
            if (!envNumber("TABRIX_ZDB_SPLITFORCETABLELOAD", env, &value))
                return UL_ERROR_RETURN(-1);
            rounds_ = value == 0 ? 1 : 2;
            unload_ = value > 1;
        }
        if (const char16_t* env = envValue("TABRIX_ZDB_SPLITNUMBERFACTOR")) {
            if (!envNumber("TABRIX_ZDB_SPLITNUMBERFACTOR", env, &value)) return UL_ERROR_RETURN(-1);
            factor_ = value < 1 ? 1 : static_cast<ul_dbrowcount_t>(value);
            if (message(u' ', ul_format(u"Overwriting distinct factor with %d from environment.",
                                        static_cast<int>(factor_))) < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (const char16_t* env = envValue("TABRIX_ZDB_SPLITMETHODTHRESHOLD")) {
            if (!envNumber("TABRIX_ZDB_SPLITMETHODTHRESHOLD", env, &value))
                return UL_ERROR_RETURN(-1);
            threshold_ = value / 100.0;
            if (message(u' ', ul_format(u"Overwriting threshold for standard method to %f%% from "
                                        u"environment.",
                                        value)) < 0)
                return UL_ERROR_RETURN(-1);
        }
        return 0;
    }

    int readTable() {
        AuxTextRows rows;
        if (query(ul_format(u"SELECT RECORD_COUNT, TABLE_TYPE, IS_PARTITIONED FROM M_TABLES WHERE "
                            u"SCHEMA_NAME = %s AND TABLE_NAME = ?",
                            schema_.c_str()),
                  {table_}, &rows) < 0)
            return UL_ERROR_RETURN(-1);
        if (rows.rows.empty() || !ul_sqlparserowcount(rows.rows[0][0].c_str(), &records_)) {
            ul_errorsetmsgfmt(0, u"Table '%s' not found in M_TABLES", table_);
            return UL_ERROR_RETURN(-1);
        }
        const bool partitioned = rows.rows[0].size() > 2 && rows.rows[0][2] == u"TRUE";
        int partitions = 1;
        if (partitioned) {
            ULTableSplit clauses;
            const int rc = ul_sqlsplitpartitions_zdb(&clauses, table_, nullptr, 0);
            if (rc < 0) return UL_ERROR_RETURN(-1);
            partitions = clauses.getCount();
        }
        if (message(u' ', ul_format(u"Table '%s': Determined reccount=%lu, npartitions=%d", table_,
                                    ul(records_), partitions)) < 0)
            return UL_ERROR_RETURN(-1);
        const double n =
            segment_ >= 1.0 ? static_cast<double>(records_) / segment_ : 1.0 / segment_;
        splits_ = std::max<ul_dbrowcount_t>(1, static_cast<ul_dbrowcount_t>(n));
        package_ = records_ / splits_;
        return 0;
    }

    int searchRound(int round) {
        const bool first = round == 1;
        const std::u16string sql = ul_format(
            u"SELECT A.COLUMN_NAME, B.LOADED%s FROM TABLE_COLUMNS A, M_CS_COLUMNS B WHERE "
            u"A.SCHEMA_NAME = %s AND A.SCHEMA_NAME = B.SCHEMA_NAME AND A.TABLE_NAME = ? AND "
            u"A.TABLE_NAME = B.TABLE_NAME AND A.COLUMN_NAME = B.COLUMN_NAME AND A.DATA_TYPE_NAME "
            u"NOT IN ('BLOB', 'NCLOB', 'TIMESTAMP') AND A.LENGTH > 1%s ORDER BY A.LENGTH%s",
            first ? u", B.DISTINCT_COUNT" : u"", schema_.c_str(),
            first ? u" AND B.DISTINCT_COUNT > ?" : u"", first ? u", B.DISTINCT_COUNT" : u"");
        const std::u16string minimum = ul_format(u"%lu", ul(std::min(records_, factor_ * splits_)));
        std::vector<const char16_t*> params{table_};
        if (first) params.push_back(minimum.c_str());
        AuxTextRows rows;
        if (query(sql, params, &rows) < 0) return UL_ERROR_RETURN(-1);
        std::vector<ZdbCandidate> candidates;
        for (const std::vector<std::u16string>& row : rows.rows) {
            if (row.empty() || std::find(tried_.begin(), tried_.end(), row[0]) != tried_.end())
                continue;
            ZdbCandidate c;
            c.column = row[0];
            c.loaded = row.size() > 1 && row[1] == u"TRUE";
            if (first && row.size() > 2) (void)ul_sqlparserowcount(row[2].c_str(), &c.distinct);
            candidates.push_back(std::move(c));
        }
        if (candidates.empty()) {
            return message(u'W',
                           ul_format(u"Table '%s': no suitable split columns found%s.", table_,
                                     first ? u" (table might not be in memory)" : u""));
        }
        for (ZdbCandidate& c : candidates) {
            tried_.push_back(c.column);
            const int rc = tryCandidate(&c);
            if (rc != 0) return rc;
        }
        return 0;
    }

    int tryCandidate(ZdbCandidate* c) {
        if (!c->loaded) {
            if (loadColumn(c->column) < 0 || readDistinct(c) < 0) return UL_ERROR_RETURN(-1);
            if (c->distinct < 10 * splits_) return 0;
        }
        bool suitable = false;
        if (c->distinct != UL_DBROWCOUNT_INVALID && c->distinct <= records_ &&
            package_ > records_ - c->distinct) {
            UL_TRACE(UL_TRC_SQLSPLIT, 2,
                     u"Difference of record count %lu and distinct count %lu is smaller than "
                     u"package size %lu\n",
                     ul(records_), ul(c->distinct), ul(package_));
            suitable = true;
        } else {
            ul_dbrowcount_t same = 0;
            if (largestGroup(c->column, &same) < 0) return UL_ERROR_RETURN(-1);
            UL_TRACE(UL_TRC_SQLSPLIT, 2,
                     u"Table '%s' column '%s': maxNumberOfSameValues=%lu packageSize=%lu\n", table_,
                     c->column.c_str(), ul(same), ul(package_));
            suitable = same <= package_;
        }
        if (!suitable) return 0;
        if (c->distinct == UL_DBROWCOUNT_INVALID && readDistinct(c) < 0) return UL_ERROR_RETURN(-1);
        if (message(u' ', ul_format(u"Column '%s' is suitable for table splitting: "
                                    u"distinctcount=%lu.",
                                    c->column.c_str(), ul(c->distinct))) < 0)
            return UL_ERROR_RETURN(-1);
        chosen_ = c->column;
        const double share =
            records_ ? static_cast<double>(c->distinct) / static_cast<double>(records_) : 0.0;
        return share < threshold_ ? 1 | UL_SPLITREQ_USESTANDARD : 1;
    }

    int largestGroup(const std::u16string& column, ul_dbrowcount_t* same) {
        const std::u16string sql = ul_format(
            u"SELECT MAX(MYCOUNT) FROM (SELECT \"%s\", COUNT(*) MYCOUNT FROM \"%s\" GROUP BY "
            u"\"%s\")",
            column.c_str(), table_, column.c_str());
        AuxTextRows rows;
        if (query(sql, {}, &rows) < 0) return UL_ERROR_RETURN(-1);
        *same = 0;
        if (!rows.rows.empty() && !rows.rows[0].empty() && !rows.rows[0][0].empty() &&
            !ul_sqlparserowcount(rows.rows[0][0].c_str(), same)) {
            ul_errorsetmsgfmt(0, u"Invalid group count '%s' of column '%s'",
                              rows.rows[0][0].c_str(), column.c_str());
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }

    int readDistinct(ZdbCandidate* c) {
        AuxTextRows rows;
        if (query(ul_format(u"SELECT MAX(DISTINCT_COUNT) FROM M_CS_COLUMNS WHERE SCHEMA_NAME = %s "
                            u"AND TABLE_NAME = ? AND COLUMN_NAME = ?",
                            schema_.c_str()),
                  {table_, c->column.c_str()}, &rows) < 0)
            return UL_ERROR_RETURN(-1);
        c->distinct = 0;
        if (!rows.rows.empty() && !rows.rows[0].empty())
            (void)ul_sqlparserowcount(rows.rows[0][0].c_str(), &c->distinct);
        return 0;
    }

    // The object name in a LOAD or UNLOAD statement, in the schema given or the current one.
    std::u16string objectName() const {
        if (schemaGiven_.empty()) return ul_format(u"\"%s\"", table_);
        return ul_format(u"%s.\"%s\"", schemaGiven_.c_str(), table_);
    }

    int loadColumn(const std::u16string& column) {
        if (message(u' ', ul_format(u"Load column '%s' of column store table '%s' into memory.",
                                    column.c_str(), table_)) < 0)
            return UL_ERROR_RETURN(-1);
        loaded_ = true;
        const std::u16string sql = u"LOAD " + objectName() + ul_format(u"(\"%s\")", column.c_str());
        return ULSQLStmt::run(sql.c_str(), nullptr, 0, nullptr, nullptr, 0) < 0
                   ? UL_ERROR_RETURN(-1)
                   : 0;
    }

    int unloadTable() {
        if (!loaded_ || !unload_) return 0;
        if (message(u' ', ul_format(u"Table '%s': unloading it.", table_)) < 0)
            return UL_ERROR_RETURN(-1);
        const std::u16string sql = u"UNLOAD " + objectName();
        return ULSQLStmt::run(sql.c_str(), nullptr, 0, nullptr, nullptr, 0) < 0
                   ? UL_ERROR_RETURN(-1)
                   : 0;
    }

    const char16_t* table_;
    double segment_;
    std::u16string schema_ = u"CURRENT_SCHEMA";
    std::u16string schemaGiven_;
    int rounds_ = 2;
    bool unload_ = true;
    ul_dbrowcount_t factor_ = 10;
    double threshold_ = 0.15;
    ul_dbrowcount_t records_ = 0;
    ul_dbrowcount_t splits_ = 1;
    ul_dbrowcount_t package_ = 0;
    std::vector<std::u16string> tried_;
    bool loaded_ = false;
    std::u16string chosen_;
};

}  // namespace

int ul_sqlsplitprovider_zdb(int request, const char16_t* table, const char16_t* const*, unsigned,
                            const char16_t** statement, int, double segment, int) {
    if (request != UL_SPLITREQ_NATIVEFIELDS) return 0;
    if (!table) return answer(request, u"", statement);
    if (segment <= 0) segment = 0.05;
    ZdbColumnSearch search(table, segment);
    const int rc = search.run();
    if (rc <= 0) return rc;
    return answer(request, search.column(), statement, rc);
}

// ---- our engines --------------------------------------------------------------------------------

namespace {

int noNativeField(const std::u16string& why, const char16_t** statement) {
    if (message(u'W', why) < 0) return UL_ERROR_RETURN(-1);
    return answer(UL_SPLITREQ_NATIVEFIELDS, u"", statement, UL_SPLITREQ_NONATIVEFIELD);
}

}  // namespace

int ul_sqlsplitprovider_sqlite(int request, const char16_t* table, const char16_t* const*, unsigned,
                               const char16_t** statement, int, double, int) {
    if (request != UL_SPLITREQ_NATIVEFIELDS) return 0;
    if (!table) return answer(request, u"ROWID", statement);
    // A table WITHOUT ROWID has none; a column named like it hides it.
    AuxTextRows rows;
    if (query(u"SELECT wr FROM pragma_table_list WHERE schema = 'main' AND name = ? COLLATE NOCASE",
              {table}, &rows) < 0)
        return UL_ERROR_RETURN(-1);
    if (rows.rows.empty()) {
        ul_errorsetmsgfmt(0, u"Table '%s' not found in the database", table);
        return UL_ERROR_RETURN(-1);
    }
    if (rows.rows[0][0] != u"0")
        return noNativeField(ul_format(u"Table '%s' has no row id (WITHOUT ROWID).", table),
                             statement);
    if (query(u"SELECT COUNT(*) FROM pragma_table_info(?) WHERE upper(name) = 'ROWID'", {table},
              &rows) < 0)
        return UL_ERROR_RETURN(-1);
    if (rows.rows.empty() || rows.rows[0][0] != u"0")
        return noNativeField(ul_format(u"Table '%s' has a column named ROWID.", table), statement);
    return answer(request, u"ROWID", statement);
}

namespace {

// The catalogue entry of a table of the tool: its name folded to upper case, in the search path.
constexpr char16_t kPgFindTable[] = u"upper(c.relname) = upper(?) AND pg_table_is_visible(c.oid)";

}  // namespace

int ul_sqlsplitprovider_pgsql(int request, const char16_t* table, const char16_t* const*, unsigned,
                              const char16_t** statement, int, double, int) {
    if (request != UL_SPLITREQ_NATIVEFIELDS) return 0;
    if (!table) return answer(request, u"ctid", statement);
    AuxTextRows rows;
    if (query(std::u16string(u"SELECT c.relkind FROM pg_class c WHERE ") + kPgFindTable, {table},
              &rows) < 0)
        return UL_ERROR_RETURN(-1);
    if (rows.rows.empty()) {
        ul_errorsetmsgfmt(0, u"Table '%s' not found in the database", table);
        return UL_ERROR_RETURN(-1);
    }
    const std::u16string& kind = rows.rows[0][0];
    if (kind != u"r" && kind != u"p" && kind != u"m")
        return noNativeField(ul_format(u"Table '%s' has no row addresses (relation kind '%s').",
                                       table, kind.c_str()),
                             statement);
    return answer(request, u"ctid", statement);
}

// ==== partition collectors =======================================================================

// ---- ZDB ----------------------------------------------------------------------------------------

int ul_sqlsplitpartitions_zdb(ULTableSplit* clauses, const char16_t* table, const ULTableSplit*,
                              int) {
    return ul_guarded([&]() -> int {
        const std::u16string* version = nullptr;
        if (dbVersion(&version) < 0) return UL_ERROR_RETURN(-1);
        const char16_t* view = compareVersions(version->c_str(), u"4.00") >= 0 ? u"TABLE_PARTITIONS"
                                                                               : u"M_CS_PARTITIONS";
        const char16_t* schema = envValue("TABRIX_ZDB_SCHEMANAME");
        const std::u16string sql =
            ul_format(
                u"SELECT DISTINCT PART_ID FROM SYS.%s WHERE SCHEMA_NAME = %s AND TABLE_NAME = ",
                view, schema ? stringLiteral(schema).c_str() : u"CURRENT_SCHEMA") +
            stringLiteral(table) + u" ORDER BY PART_ID";
        AuxTextRows rows;
        if (query(sql, {}, &rows) < 0) return UL_ERROR_RETURN(-1);
        enum { open, unloaded, unpartitioned } mark = open;
        int found = 0;
        for (const std::vector<std::u16string>& row : rows.rows) {
            long id = 0;
            if (row.empty() || ul_stringtolong(row[0].c_str(), &id) < 0) {
                ul_errorsetmsgfmt(0, u"Invalid partition id '%s' of table '%s'",
                                  row.empty() ? u"" : row[0].c_str(), table);
                return UL_ERROR_RETURN(-1);
            }
            if (id < 0) {
                mark = unpartitioned;
                continue;
            }
            if (id == 0) {
                mark = unloaded;
                continue;
            }
            if (mark != open) {
                ul_errorsetmsgfmt(0,
                                  mark == unloaded
                                      ? u"Inconsistent partitioning: found part_id %d, but table "
                                        u"is unloaded"
                                      : u"Inconsistent partitioning: found part_id %d, but table "
                                        u"is not partitioned",
                                  static_cast<int>(id));
                return UL_ERROR_RETURN(-1);
            }
            const std::u16string clause = ul_format(u"_PARTITION = %d", static_cast<int>(id));
            if (clauses->createSegmentEntry(UL_DBROWCOUNT_INVALID, clause.c_str(), 0) < 0)
                return UL_ERROR_RETURN(-1);
            ++found;
        }
        if (mark == unloaded && message(u'W', ul_format(u"Table '%s' is unloaded", table)) < 0)
            return UL_ERROR_RETURN(-1);
        UL_TRACE(UL_TRC_SQLSPLIT, 1, u"Determined %d partitions for table '%s'.\n", found, table);
        return found > 0 ? 1 : 0;
    });
}

// ---- PostgreSQL ---------------------------------------------------------------------------------

// Every leaf partition of a declared partitioned table becomes the condition on the row's own
// table: rows of the parent are exactly the rows of its leaves.
int ul_sqlsplitpartitions_pgsql(ULTableSplit* clauses, const char16_t* table, const ULTableSplit*,
                                int) {
    return ul_guarded([&]() -> int {
        AuxTextRows rows;
        if (query(std::u16string(u"SELECT t.relid::regclass::text FROM pg_class c, "
                                 u"pg_partition_tree(c.oid) t WHERE c.relkind = 'p' AND ") +
                      kPgFindTable + u" AND t.isleaf ORDER BY t.relid::regclass::text",
                  {table}, &rows) < 0)
            return UL_ERROR_RETURN(-1);
        for (const std::vector<std::u16string>& row : rows.rows) {
            const std::u16string clause =
                u"tableoid = " + stringLiteral(row[0].c_str()) + u"::regclass";
            if (clauses->createSegmentEntry(UL_DBROWCOUNT_INVALID, clause.c_str(), 0) < 0)
                return UL_ERROR_RETURN(-1);
        }
        UL_TRACE(UL_TRC_SQLSPLIT, 1, u"Determined %d partitions for table '%s'.\n",
                 static_cast<int>(rows.rows.size()), table);
        return rows.rows.empty() ? 0 : 1;
    });
}

// ---- DB2 z/OS -----------------------------------------------------------------------------------

namespace {

constexpr size_t kDb2MaxColumnName = 128;

enum class LimitKind { literal, maxValue, minValue };

struct Db2Limit {
    LimitKind kind = LimitKind::literal;
    std::u16string text;
};

struct Db2Column {
    std::u16string name;
    std::u16string type;
    long length = 0;
    bool descending = false;
};

std::u16string trimmed(std::u16string_view s) {
    while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
    return std::u16string(s);
}

bool startsNoCase(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = s[i];
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        if (c != prefix[i]) return false;
    }
    return true;
}

bool isCharType(const std::u16string& t) {
    return t == u"CHAR" || t == u"VARCHAR" || t == u"LONGVAR" || t == u"GRAPHIC" || t == u"VARG" ||
           t == u"LONGVARG";
}
bool isFixedCharType(const std::u16string& t) {
    return t == u"CHAR" || t == u"GRAPHIC";
}

// The literal of the highest (or lowest) value of an integer type; null for other types.
const char16_t* typeBound(const std::u16string& type, bool highest) {
    if (type == u"SMALLINT") return highest ? u"32767" : u"-32768";
    if (type == u"INTEGER") return highest ? u"2147483647" : u"-2147483648";
    if (type == u"BIGINT") return highest ? u"9223372036854775807" : u"-9223372036854775808";
    return nullptr;
}

// The partitioning of one table: partition key columns and the limit key of every logical
// partition. A partition holds the keys above the previous limit key up to its own, in the key
// order of the columns (ascending or descending each).
class DB2Partioning {
  public:
    int addColumn(const std::vector<std::u16string>& row) {
        if (row.size() < 5) {
            ul_errorsetmsg(0, u"Internal error: Array too short (5)");
            return UL_ERROR_RETURN(-1);
        }
        Db2Column c;
        c.name = trimmed(row[0]);
        if (c.name.size() > kDb2MaxColumnName) {
            ul_errorsetmsgfmt(0, u"Columns name %s exceeds max length %d", c.name.c_str(),
                              static_cast<int>(kDb2MaxColumnName));
            return UL_ERROR_RETURN(-1);
        }
        c.type = trimmed(row[1]);
        if (!isCharType(c.type) && !typeBound(c.type, true) && c.type != u"DECIMAL") {
            ul_errorsetmsgfmt(0, u"Unsupported type '%s' of partition column %s", c.type.c_str(),
                              c.name.c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (ul_stringtolong(trimmed(row[2]).c_str(), &c.length) < 0) c.length = 0;
        c.descending = trimmed(row[4]) == u"D";
        columns_.push_back(std::move(c));
        return 0;
    }
    const std::vector<Db2Column>& columns() const { return columns_; }

    // Reads one limit key: literals separated by commas, MAXVALUE, MINVALUE.
    int addLimitKey(const std::u16string& key) {
        std::vector<Db2Limit> limits;
        std::u16string_view s(key);
        size_t i = 0;
        for (;;) {
            while (i < s.size() && s[i] == u' ') ++i;
            if (i == s.size()) break;
            const size_t start = i;
            if (startsNoCase(s.substr(i), u"UX'") || startsNoCase(s.substr(i), u"GX'")) {
                ul_errorsetmsgfmt(0, u"UX or GX character literals are not supported : %s",
                                  key.c_str());
                return UL_ERROR_RETURN(-1);
            }
            if (startsNoCase(s.substr(i), u"X'") || startsNoCase(s.substr(i), u"G'")) ++i;
            if (i < s.size() && s[i] == u'\'') {
                if (skipString(s, &i) < 0) {
                    ul_errorsetmsgfmt(0, u"Unterminated string in '%s'", key.c_str());
                    return UL_ERROR_RETURN(-1);
                }
            }
            while (i < s.size() && s[i] != u',') ++i;
            Db2Limit limit;
            limit.text = trimmed(s.substr(start, i - start));
            if (ul_stricmp(limit.text.c_str(), u"MAXVALUE") == 0) limit.kind = LimitKind::maxValue;
            if (ul_stricmp(limit.text.c_str(), u"MINVALUE") == 0) limit.kind = LimitKind::minValue;
            limits.push_back(std::move(limit));
            if (i == s.size()) break;
            ++i;  // the comma
        }
        if (limits.size() > columns_.size()) {
            ul_errorsetmsgfmt(0,
                              u"Your colcnt of this limitkey is higher than maximum colcount %d>%d",
                              static_cast<int>(limits.size()), static_cast<int>(columns_.size()));
            return UL_ERROR_RETURN(-1);
        }
        for (size_t j = 0; j < limits.size(); ++j)
            if (checkLimit(columns_[j], limits[j]) < 0) return UL_ERROR_RETURN(-1);
        limits_.push_back(std::move(limits));
        return 0;
    }
    size_t partitions() const { return limits_.size(); }

    // The clause of logical partition p (0-based).
    int clause(size_t p, std::u16string* out) {
        size_t d = 0;
        if (p > 0) {
            while (d < columns_.size() && sameValue(p - 1, p, d)) ++d;
            if (d == columns_.size() || open(p - 1, d)) {
                ul_errorsetmsgfmt(0,
                                  u"Limit key of partition %d does not lie above the one of "
                                  u"partition %d",
                                  static_cast<int>(p + 1), static_cast<int>(p));
                return UL_ERROR_RETURN(-1);
            }
        }
        std::u16string rest;
        if (p > 0) {
            for (size_t j = d + 1; j < columns_.size() && !open(p - 1, j); ++j) {
                std::u16string alt = equalities(p - 1, j);
                appendComparison(&alt, j, greater(j), limit(p - 1, j).text);
                addAlternative(&rest, alt);
            }
            UL_TRACE(UL_TRC_SQLSPLIT, 2, u"Partition: %d rest range: %s\n", static_cast<int>(p),
                     rest.c_str());
        }
        std::u16string actual;
        for (size_t j = d; j < columns_.size(); ++j) {
            std::u16string alt = equalities(p, j);
            if (p > 0 && j == d) appendComparison(&alt, j, greater(j), limit(p - 1, j).text);
            if (open(p, j)) {
                if (const char16_t* bound = typeBound(columns_[j].type, !columns_[j].descending))
                    appendComparison(&alt, j, columns_[j].descending ? u">=" : u"<=", bound);
                addAlternative(&actual, alt.empty() ? u"1 = 1" : alt);
                break;
            }
            const bool last = j + 1 == columns_.size();
            std::u16string op = columns_[j].descending ? u">" : u"<";
            if (last) op += u"=";
            appendComparison(&alt, j, op.c_str(), limit(p, j).text);
            addAlternative(&actual, alt);
        }
        UL_TRACE(UL_TRC_SQLSPLIT, 2, u"Partition: %d actual range: %s\n", static_cast<int>(p + 1),
                 actual.c_str());
        *out = u"(";
        if (!rest.empty()) *out += u"(" + rest + u") OR ";
        *out += actual + u")";
        *out += ul_format(u" -- PART %d SPLIT %d OF %d", static_cast<int>(p + 1), 1, 1);
        return 0;
    }

  private:
    static int skipString(std::u16string_view s, size_t* i) {
        ++*i;
        while (*i < s.size()) {
            if (s[*i] != u'\'') {
                ++*i;
            } else if (*i + 1 < s.size() && s[*i + 1] == u'\'') {
                *i += 2;
            } else {
                ++*i;
                return 0;
            }
        }
        return -1;
    }

    static int checkLimit(const Db2Column& c, const Db2Limit& limit) {
        if (limit.kind == LimitKind::maxValue && c.descending) {
            ul_errorsetmsgfmt(0,
                              u"MAXVALUE is not supported for the descending partition column %s",
                              c.name.c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (limit.kind == LimitKind::minValue && !c.descending) {
            ul_errorsetmsgfmt(0, u"MINVALUE is not supported for the ascending partition column %s",
                              c.name.c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (limit.kind != LimitKind::literal || !isFixedCharType(c.type) || limit.text.empty() ||
            limit.text.back() != u'\'')
            return 0;
        size_t chars = 0;
        const size_t first = limit.text.find(u'\'') + 1;
        for (size_t i = first; i + 1 < limit.text.size(); ++i) {
            if (limit.text[i] == u'\'') ++i;  // a doubled quote is one character
            ++chars;
        }
        if (static_cast<long>(chars) < c.length) {
            ul_errorsetmsgfmt(0, u"Padding is not supported. %s is too short", limit.text.c_str());
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }

    // A missing trailing value of a limit key is the open end.
    const Db2Limit& limit(size_t p, size_t j) const {
        static const Db2Limit openEnd{LimitKind::maxValue, u"MAXVALUE"};
        return j < limits_[p].size() ? limits_[p][j] : openEnd;
    }
    bool open(size_t p, size_t j) const { return limit(p, j).kind != LimitKind::literal; }
    bool sameValue(size_t a, size_t b, size_t j) const {
        if (open(a, j) || open(b, j)) return open(a, j) && open(b, j);
        return limit(a, j).text == limit(b, j).text;
    }
    const char16_t* greater(size_t j) const { return columns_[j].descending ? u"<" : u">"; }

    // The columns before j equal to the limit key of partition p.
    std::u16string equalities(size_t p, size_t j) const {
        std::u16string out;
        for (size_t i = 0; i < j; ++i) {
            if (!out.empty()) out += u" AND ";
            out += ul_format(u"\"%s\" = %s", columns_[i].name.c_str(), limit(p, i).text.c_str());
        }
        return out;
    }
    void appendComparison(std::u16string* alt, size_t j, const char16_t* op,
                          const std::u16string& value) const {
        if (!alt->empty()) *alt += u" AND ";
        *alt += ul_format(u"\"%s\" %s %s", columns_[j].name.c_str(), op, value.c_str());
    }
    static void addAlternative(std::u16string* out, const std::u16string& alt) {
        if (!out->empty()) *out += u" OR ";
        *out += u"( " + alt + u" )";
    }

    std::vector<Db2Column> columns_;
    std::vector<std::vector<Db2Limit>> limits_;
};

int db2CheckColumns(const char16_t* table, const DB2Partioning& parts, bool cluster) {
    for (const Db2Column& c : parts.columns()) {
        if (ul_stringstartcmp(table, u"DDNTF") && c.name == u"BLOCKNR" &&
            !getenv("dbs_db2_no_codepage_conversion")) {
            ul_errorsetmsgfmt(0,
                              u"You have used column %s to partition table %s. Splitting on "
                              u"this column is not allowed for Unicode conversions",
                              c.name.c_str(), table);
            return UL_ERROR_RETURN(-1);
        }
        if (cluster && c.name == u"PAGENO" && !getenv("dbs_db2_split_allow_pageno")) {
            ul_errorsetmsg(0,
                           u"You have used column PAGENO to partition a cluster table. "
                           u"Splitting on PAGENO is not allowed for Unicode conversions");
            return UL_ERROR_RETURN(-1);
        }
    }
    return 0;
}

int db2Partitions(ULTableSplit* clauses, const char16_t* table) {
    ul_sqlfielddesc_t* descs = nullptr;
    unsigned ndescs = 0;
    const int oiflags = ul_sqltablegetoiflags(table, nullptr, 0, &descs, &ndescs, 0);
    free(descs);
    if (oiflags < 0) return UL_ERROR_RETURN(-1);
    const char16_t* creator = envValue("dbs_db2_schema");
    if (!creator) {
        ul_errorsetmsg(0, u"Missing environment variable 'dbs_db2_schema'");
        return UL_ERROR_RETURN(-1);
    }
    const std::u16string owner(creator);
    AuxTextRows rows;
    if (query(u"SELECT TSNAME, DBNAME FROM SYSIBM.SYSTABLES WHERE NAME = ? AND CREATOR = " +
                  stringLiteral(owner.substr(0, kDb2MaxColumnName).c_str()) + u" ",
              {table}, &rows) < 0)
        return UL_ERROR_RETURN(-1);
    if (rows.rows.size() > 1) {
        ul_errorsetmsgfmt(0, u"Duplicate results '%s' and '%s' from database - expected only one",
                          rows.rows[0][0].c_str(), rows.rows[1][0].c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (rows.rows.empty() || rows.rows[0].size() < 2) {
        ul_errorsetmsgfmt(0, u"Table '%s' not found in SYSIBM.SYSTABLES", table);
        return UL_ERROR_RETURN(-1);
    }
    const std::u16string space = trimmed(rows.rows[0][0]);
    const std::u16string database = trimmed(rows.rows[0][1]);
    if (query(u"SELECT NAME, COLTYPE, LENGTH, SCALE, PARTKEY_ORDERING FROM SYSIBM.SYSCOLUMNS WHERE "
              u"TBNAME = ? AND TBCREATOR = " +
                  stringLiteral(owner.substr(0, 8).c_str()) +
                  u" AND PARTKEY_COLSEQ > 0 ORDER BY PARTKEY_COLSEQ",
              {table}, &rows) < 0)
        return UL_ERROR_RETURN(-1);
    if (rows.rows.empty()) {
        UL_TRACE(UL_TRC_SQLSPLIT, 1,
                 u"Warning: No column found. That means table %s is not table controlled "
                 u"partitioned.\n",
                 table);
        return message(u' ', ul_format(u"Message: table '%s' is either not partitioned or index "
                                       u"controlled partitioned which is not supported",
                                       table));
    }
    DB2Partioning parts;
    for (const std::vector<std::u16string>& row : rows.rows)
        if (parts.addColumn(row) < 0) return UL_ERROR_RETURN(-1);
    if (db2CheckColumns(table, parts, oiflags & UL_OIFLAG_CLUSTER) < 0) return UL_ERROR_RETURN(-1);
    if (query(u"SELECT LOGICAL_PART, LIMITKEY FROM SYSIBM.SYSTABLEPART WHERE DBNAME = ? AND TSNAME "
              u"= ? ORDER BY LOGICAL_PART",
              {database.c_str(), space.c_str()}, &rows) < 0)
        return UL_ERROR_RETURN(-1);
    for (const std::vector<std::u16string>& row : rows.rows)
        if (parts.addLimitKey(row.size() > 1 ? row[1] : u"") < 0) return UL_ERROR_RETURN(-1);
    std::u16string text;
    for (size_t p = 0; p < parts.partitions(); ++p) {
        if (parts.clause(p, &text) < 0 ||
            clauses->createSegmentEntry(UL_DBROWCOUNT_INVALID, text.c_str(), 0) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return parts.partitions() > 0 ? 1 : 0;
}

}  // namespace

int ul_sqlsplitpartitions_db2(ULTableSplit* clauses, const char16_t* table, const ULTableSplit*,
                              int) {
    return ul_guarded([&]() -> int { return db2Partitions(clauses, table); });
}

namespace {

// The first partition comment of s that is a comment of its own: outside quotes, block comments
// and other "--" comments. Null when there is none. With open, the whole text is read and open
// tells whether it ends inside a quote or a block comment.
const char16_t* findPartitionComment(const char16_t* s, bool* open = nullptr) {
    const char16_t* found = nullptr;
    char16_t quote = 0;
    bool block = false;
    for (const char16_t* p = s; *p; ++p) {
        if (quote) {
            if (*p == quote) quote = 0;  // a doubled quote closes and opens again
        } else if (block) {
            if (p[0] == u'*' && p[1] == u'/') {
                block = false;
                ++p;
            }
        } else if (*p == u'\'' || *p == u'"') {
            quote = *p;
        } else if (p[0] == u'/' && p[1] == u'*') {
            block = true;
            ++p;
        } else if (p[0] == u'-' && p[1] == u'-') {
            if (!found && ul_stringstartcmp(p, u"-- PART ")) {
                found = p;
                if (!open) return found;
            }
            // The rest of the line is the comment.
            while (p[1] && p[1] != u'\n' && p[1] != u'\r') ++p;
        }
    }
    if (open) *open = quote || block;
    return found;
}

}  // namespace

int ul_sqlwhereparsecomment_db2(const char16_t* condition, int* part, int* isplit, int* nsplits,
                                size_t* offset, size_t* length) {
    const char16_t* start = findPartitionComment(condition);
    if (!start) return 0;
    const char16_t* end = start;
    while (*end && *end != u'\n' && *end != u'\r') ++end;
    const std::u16string comment(start, end);
    const char16_t* p = start + 8;
    long values[3] = {0, 0, 0};
    const char16_t* const words[3] = {u"", u" SPLIT ", u" OF "};
    bool ok = true;
    for (int i = 0; i < 3 && ok; ++i) {
        const char16_t* after = ul_stringstartcmp(p, words[i]);
        ok = after && *after >= u'0' && *after <= u'9';
        if (!ok) break;
        p = after;
        while (*p >= u'0' && *p <= u'9' && values[i] < 1000000)
            values[i] = values[i] * 10 + (*p++ - u'0');
        ok = !(*p >= u'0' && *p <= u'9');
    }
    while (ok && *p == u' ') ++p;
    // A second comment would be left behind by the renumbering.
    if (!ok || p != end || findPartitionComment(end)) {
        ul_errorsetmsgfmt(0, u"Syntax error in partition comment '%s'", comment.c_str());
        return UL_ERROR_RETURN(-1);
    }
    *part = static_cast<int>(values[0]);
    *isplit = static_cast<int>(values[1]);
    *nsplits = static_cast<int>(values[2]);
    *offset = static_cast<size_t>(start - condition);
    *length = static_cast<size_t>(end - start);
    return 1;
}

namespace {

struct CommentedCondition {
    ul_dbrowcount_t rows;
    std::u16string text;  // without its comment
    std::u16string original;
    int part = 0;
};

int fixDb2Comments(ULTableSplit* conditions) {
    std::vector<CommentedCondition> list;
    std::map<int, int> totals;
    int with = 0;
    for (const ul_tablesegment_t& s : *conditions) {
        CommentedCondition c{s.rows, s.condition(), s.condition()};
        int isplit = 0;
        int nsplits = 0;
        size_t offset = 0;
        size_t length = 0;
        const int rc = ul_sqlwhereparsecomment_db2(s.condition(), &c.part, &isplit, &nsplits,
                                                   &offset, &length);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 1) {
            if (isplit < 1 || nsplits < 1 || isplit > nsplits) {
                ul_errorsetmsgfmt(0,
                                  u"Internal error: partitioning comments with isplit=%d "
                                  u"nsplits=%d",
                                  isplit, nsplits);
                return UL_ERROR_RETURN(-1);
            }
            // The comment's line end goes with it; text behind a comment of the condition's own
            // stays on the line after it.
            std::u16string head = c.text.substr(0, offset);
            while (!head.empty() && (head.back() == u' ' || head.back() == u'\t')) head.pop_back();
            std::u16string rest = c.text.substr(offset + length);
            if (rest.compare(0, 2, u"\r\n") == 0) rest.erase(0, 1);
            if (!rest.empty() && (rest[0] == u'\n' || rest[0] == u'\r')) rest.erase(0, 1);
            std::u16string joined;
            ul_sqlappendembedded(&joined, head, rest.empty() ? u"" : u" " + rest);
            c.text = std::move(joined);
            bool open = false;
            (void)findPartitionComment(c.text.c_str(), &open);
            if (open) {
                ul_errorsetmsgfmt(0, u"Unterminated quote or comment in where condition '%s'",
                                  s.condition());
                return UL_ERROR_RETURN(-1);
            }
            while (!c.text.empty() && (c.text.back() == u' ' || c.text.back() == u'\t' ||
                                       c.text.back() == u'\r' || c.text.back() == u'\n'))
                c.text.pop_back();
            ++totals[c.part];
            ++with;
        }
        list.push_back(std::move(c));
    }
    if (with == 0) return 0;
    if (with != static_cast<int>(list.size())) {
        ul_errorsetmsg(0,
                       u"Internal error: Illegal mixture of clauses with and without "
                       u"partitioning comments");
        return UL_ERROR_RETURN(-1);
    }
    std::map<int, int> seen;
    ULTableSplit fixed;
    for (CommentedCondition& c : list) {
        // Behind a comment of the condition's own, the partition comment starts a new line.
        std::u16string text;
        ul_sqlappendembedded(
            &text, c.text,
            ul_format(u" -- PART %d SPLIT %d OF %d", c.part, ++seen[c.part], totals[c.part]));
        c.text = std::move(text);
        if (c.text != c.original)
            UL_TRACE(UL_TRC_SQLSPLIT, 2, u"Changing where clause '%s' -> '%s'\n",
                     c.original.c_str(), c.text.c_str());
        if (fixed.createSegmentEntry(c.rows, c.text.c_str(), 0) < 0) return UL_ERROR_RETURN(-1);
    }
    conditions->clear();
    conditions->takeEntries(&fixed);
    return 0;
}

}  // namespace

int ul_sqlsplitfixer_db2(ULTableSplit* conditions, int) {
    return ul_guarded([&]() -> int { return fixDb2Comments(conditions); });
}

// ==== native split fields ========================================================================

int ul_sqlsplitsupportsnative() {
    const char16_t* fields = nullptr;
    const int rc =
        sql_getstatement2(UL_SPLITREQ_NATIVEFIELDS, nullptr, nullptr, 0, &fields, 0, 0, 0);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return rc > 0 ? 1 : 0;
}

int ul_sqlsplitgetnativefields(const char16_t* table, std::vector<std::u16string>* fields,
                               unsigned maxFields, double segment, int mode) {
    return ul_guarded([&]() -> int {
        fields->clear();
        const char16_t* list = nullptr;
        const int rc =
            sql_getstatement2(UL_SPLITREQ_NATIVEFIELDS, table, nullptr, 0, &list, 0, segment, mode);
        if (rc <= 0) return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
        if ((rc & UL_SPLITREQ_NONATIVEFIELD) || !list) return UL_SPLITREQ_NONATIVEFIELD;
        const unsigned most = std::min(maxFields, UL_SPLIT_MAXNATIVEFIELDS);
        std::u16string_view rest(list);
        while (!rest.empty() && fields->size() < most) {
            const size_t comma = rest.find(u',');
            std::u16string field = trimmed(rest.substr(0, comma));
            if (!field.empty()) fields->push_back(std::move(field));
            rest =
                comma == std::u16string_view::npos ? std::u16string_view() : rest.substr(comma + 1);
        }
        if (fields->empty()) return UL_SPLITREQ_NONATIVEFIELD;
        return static_cast<int>(fields->size()) | (rc & UL_SPLITREQ_USESTANDARD);
    });
}

// ==== conversion to another table's key fields ===================================================

namespace {

// Most rows that bound converted ranges: their keys go into one ordering statement.
constexpr size_t kMaxConvertPoints = 1000;

// Looks up the key values of the rows that bound the source ranges, and turns them into ranges
// over the key fields. The database orders the bounds, so that the ranges follow its key order
// whatever the fields' types.
class AuxKey2Condition : public ULSQLCallBack {
  public:
    AuxKey2Condition(const char16_t* table, const char16_t* const* keyfields, unsigned nkeyfields)
        : table_(table), keyfields_(keyfields, keyfields + nkeyfields) {
        tokenClasses_.assign(nkeyfields, UL_SQLTOKEN_STRING);
    }

    int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                  unsigned* lengths, unsigned ncols) override {
        if (!(flags & UL_ROW_DATA)) {
            for (unsigned i = 0; i < ncols && i < tokenClasses_.size() && values && values[i]; ++i)
                tokenClasses_[i] = ul_sqltokenclassfromtype(values[i][0]);
            return 0;
        }
        if (!ordering_ && ++found_ > 1) return 1;  // one more row is all it takes to know
        std::vector<std::u16string> row;
        for (unsigned i = 0; i < ncols && i < keyfields_.size(); ++i) {
            if (values && values[i]) {
                row.emplace_back(values[i]);
            } else if (raw && raw[i]) {
                std::u16string hex(static_cast<size_t>(lengths[i]) * 2 + 1, u'\0');
                if (ul_sqlrawvalue2string(hex.data(), hex.size(), raw[i], lengths[i]) < 0)
                    return UL_ERROR_RETURN(-1);
                hex.pop_back();
                row.push_back(std::move(hex));
            } else {
                ul_errorsetmsgfmt(0, u"NULL value in key field '%s' of table '%s'", keyfields_[i],
                                  table_);
                return UL_ERROR_RETURN(-1);
            }
        }
        if (ordering_)
            ordered_.push_back(std::move(row));
        else
            row_ = std::move(row);
        return 0;
    }

    // The key values of the row that bound names, into out (pooled). 0, 1 when no row or
    // several rows answer (with the message), -1.
    int lookup(const ul_sqlboundary_t& bound, const char16_t* condition, ul_strpool_t* pool,
               ul_sqlboundary_t* out) {
        out->clear();
        std::u16string sql;
        if (selectKeys(&sql) < 0) return UL_ERROR_RETURN(-1);
        for (unsigned i = 0; i < bound.SQBND_NValues; ++i) {
            sql += i ? u" AND " : u" WHERE ";
            if (ul_sqlappendquotedname(&sql, bound.fields[i], 0) < 0) return UL_ERROR_RETURN(-1);
            sql += u" = ?";
        }
        UL_TRACE(UL_TRC_SQLSPLIT, 2, u"ul_sqlsplit2keyfields: stmt='%s'\n", sql.c_str());
        std::vector<const char16_t*> params(bound.values, bound.values + bound.SQBND_NValues);
        found_ = 0;
        if (run(sql, params) < 0) return UL_ERROR_RETURN(-1);
        if (found_ != 1) {
            if (message(u'W', ul_format(found_ == 0 ? u"No entry found for condition '%s'!"
                                                    : u"More than one entry found for condition "
                                                      u"'%s' - ignored!",
                                        condition)) < 0)
                return UL_ERROR_RETURN(-1);
            return 1;
        }
        for (size_t i = 0; i < keyfields_.size() && i < row_.size(); ++i)
            if (out->boundaryAddCheckValue(pool, keyfields_[i], row_[i], tokenClasses_[i]) < 0)
                return UL_ERROR_RETURN(-1);
        return 0;
    }

    int addPoint(const ul_sqlboundary_t& b) {
        if (b.SQBND_NValues == 0) return 0;
        std::vector<std::u16string> values;
        for (unsigned i = 0; i < b.SQBND_NValues; ++i) values.emplace_back(b.value(i));
        if (std::find(points_.begin(), points_.end(), values) != points_.end()) return 0;
        if (points_.size() == kMaxConvertPoints) {
            ul_errorsetmsgfmt(0,
                              u"Too many split conditions to convert for table '%s' (at most "
                              u"%d bounds)",
                              table_, static_cast<int>(kMaxConvertPoints));
            return UL_ERROR_RETURN(-1);
        }
        points_.push_back(std::move(values));
        return 0;
    }

    // The ranges between the collected points, in key order, appended to out.
    int convert(ULTableSplit* out) {
        if (points_.empty()) return add(out, u"1 = 1");
        if (order() < 0) return UL_ERROR_RETURN(-1);
        const unsigned n = static_cast<unsigned>(keyfields_.size());
        std::vector<const char16_t*> low(n);
        std::vector<const char16_t*> high(n);
        for (size_t i = 0; i <= ordered_.size(); ++i) {
            int mode = UL_WHERECOND_LOWINCL | UL_WHERECOND_HIGHEXCL;
            if (i == 0) mode |= UL_WHERECOND_NOLOWER;
            for (unsigned j = 0; j < n; ++j) {
                low[j] = i > 0 ? ordered_[i - 1][j].c_str() : nullptr;
                high[j] = i < ordered_.size() ? ordered_[i][j].c_str() : nullptr;
            }
            std::u16string text;
            if (ul_sqlappendwherecondition(&text, nullptr, keyfields_.data(), tokenClasses_.data(),
                                           low.data(), i > 0 ? n : 0, high.data(),
                                           i < ordered_.size() ? n : 0, ul_sqlquotetable,
                                           mode) < 0 ||
                add(out, text.c_str()) < 0)
                return UL_ERROR_RETURN(-1);
        }
        return 0;
    }

  private:
    int selectKeys(std::u16string* sql) const {
        *sql = u"SELECT ";
        for (size_t i = 0; i < keyfields_.size(); ++i) {
            if (i) *sql += u", ";
            if (ul_sqlappendquotedname(sql, keyfields_[i], 0) < 0) return UL_ERROR_RETURN(-1);
        }
        *sql += u" FROM ";
        return ul_sqlappendquotedname(sql, table_, UL_QUOTE_TABSUFFIX) < 0 ? UL_ERROR_RETURN(-1)
                                                                           : 0;
    }

    int run(const std::u16string& sql, const std::vector<const char16_t*>& params) {
        ULSQLStmt stmt;
        if (stmt.prepare(sql.c_str(), nullptr, 0, nullptr, 0, 0) < 0) return UL_ERROR_RETURN(-1);
        for (unsigned i = 0; i < params.size(); ++i)
            if (stmt.bindParamS(i, params[i]) < 0) return UL_ERROR_RETURN(-1);
        return stmt.execute(this, nullptr, UL_SQLMODE_HDR_TYPE) < 0 ? UL_ERROR_RETURN(-1) : 0;
    }

    // The rows of the points once each, in the database's key order.
    int order() {
        std::u16string sql;
        std::u16string keys;
        if (selectKeys(&sql) < 0) return UL_ERROR_RETURN(-1);
        for (size_t i = 0; i < keyfields_.size(); ++i) {
            if (i) keys += u", ";
            if (ul_sqlappendquotedname(&keys, keyfields_[i], 0) < 0) return UL_ERROR_RETURN(-1);
        }
        std::vector<const char16_t*> params;
        for (size_t p = 0; p < points_.size(); ++p) {
            sql += p ? u" OR (" : u" WHERE (";
            for (size_t i = 0; i < keyfields_.size(); ++i) {
                if (i) sql += u" AND ";
                if (ul_sqlappendquotedname(&sql, keyfields_[i], 0) < 0) return UL_ERROR_RETURN(-1);
                sql += u" = ?";
                params.push_back(points_[p][i].c_str());
            }
            sql += u")";
        }
        sql += u" ORDER BY " + keys;
        ordering_ = true;
        ordered_.clear();
        const int rc = run(sql, params);
        ordering_ = false;
        return rc;
    }

    int add(ULTableSplit* out, const char16_t* text) {
        UL_TRACE(UL_TRC_SQLSPLIT, 2, u"AuxKey2Condition::convert: condition='%s'\n", text);
        return out->createSegmentEntry(UL_DBROWCOUNT_INVALID, text, 0);
    }

    const char16_t* table_;
    std::vector<const char16_t*> keyfields_;
    std::vector<int> tokenClasses_;
    std::vector<std::u16string> row_;
    unsigned long found_ = 0;
    bool ordering_ = false;
    std::vector<std::vector<std::u16string>> points_;
    std::vector<std::vector<std::u16string>> ordered_;
};

int where2keyfields(AuxKey2Condition* aux, ul_strpool_t* pool, ul_sqlboundary_t* low,
                    ul_sqlboundary_t* high, const char16_t* condition, ul_sqlrange_t* range) {
    if (ul_sqlwhere2range(condition, range, pool) < 0) return UL_ERROR_RETURN(-1);
    low->clear();
    high->clear();
    // A bound that names no single row is left out; the other one still counts.
    int result = 0;
    if (range->low.SQBND_NValues > 0) {
        const int rc = aux->lookup(range->low, condition, pool, low);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        result |= rc;
    }
    if (range->high.SQBND_NValues > 0) {
        const int rc = aux->lookup(range->high, condition, pool, high);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        result |= rc;
    }
    return result;
}

}  // namespace

int ul_sqlwhere2keyfields(ul_strpool_t* pool, ul_sqlboundary_t* low, ul_sqlboundary_t* high,
                          const char16_t* condition, const char16_t* const* keyfields,
                          unsigned nkeyfields, const char16_t* table, int) {
    return ul_guarded([&]() -> int {
        AuxKey2Condition aux(table, keyfields, nkeyfields);
        auto range = std::make_unique<ul_sqlrange_t>();
        return where2keyfields(&aux, pool, low, high, condition, range.get());
    });
}

int ul_sqlsplit2keyfields(ULTableSplit* out, const char16_t* table, const ULTableSplit* split,
                          const char16_t* const* keyfields, unsigned nkeyfields, int) {
    return ul_guarded([&]() -> int {
        if (nkeyfields == 0 || nkeyfields > UL_SQLMAX_KEYCOLUMNS) {
            ul_errorsetmsgfmt(0, u"Invalid number of key fields %d (maximum is %d)",
                              static_cast<int>(nkeyfields), static_cast<int>(UL_SQLMAX_KEYCOLUMNS));
            return UL_ERROR_RETURN(-1);
        }
        AuxKey2Condition aux(table, keyfields, nkeyfields);
        ul_strpool_t pool;
        auto low = std::make_unique<ul_sqlboundary_t>();
        auto high = std::make_unique<ul_sqlboundary_t>();
        auto range = std::make_unique<ul_sqlrange_t>();
        int fields = -1;
        for (const ul_tablesegment_t& s : *split) {
            const int rc =
                where2keyfields(&aux, &pool, low.get(), high.get(), s.condition(), range.get());
            if (rc < 0) return UL_ERROR_RETURN(-1);
            const int n =
                static_cast<int>(std::max(range->low.SQBND_NValues, range->high.SQBND_NValues));
            if (fields >= 0 && n != fields) {
                ul_errorsetmsgfmt(0, u"Inconsistent where condition, saw %d fields before, now %d",
                                  fields, n);
                return UL_ERROR_RETURN(-1);
            }
            fields = n;
            if (aux.addPoint(*low) < 0 || aux.addPoint(*high) < 0) return UL_ERROR_RETURN(-1);
        }
        const int before = out->getCount();
        if (aux.convert(out) < 0) return UL_ERROR_RETURN(-1);
        const int made = out->getCount() - before;
        if (message(u' ', ul_format(u"Converted %d split conditions to conditions for table's key "
                                    u"fields.",
                                    made)) < 0)
            return UL_ERROR_RETURN(-1);
        return made;
    });
}

#include "ulsqlsplit.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ulerror.h"
#include "ulfile.h"
#include "ulmacro.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlbase2.h"
#include "ulsqlsplitdb.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultrace.h"


namespace {

unsigned long ul(ul_dbrowcount_t n) {
    return static_cast<unsigned long>(n);
}

// A count for messages where it may be unknown.
std::u16string countText(ul_dbrowcount_t n) {
    return n == UL_DBROWCOUNT_INVALID ? std::u16string(u"unknown") : ul_format(u"%lu", ul(n));
}

}  // namespace

// ==== statements per database ===================================================================

namespace {

constexpr char16_t kCountStatement[] = u"SELECT %H%C FROM %T%w%h";
constexpr char16_t kDistinctStatement[] = u"SELECT %C FROM (SELECT %HDISTINCT %k FROM %T%w%h) T1";
constexpr char16_t kDistinctStatementDb4[] =
    u"SELECT %C FROM (SELECT %HDISTINCT %k FROM %T%w) T1%h";
constexpr char16_t kRownumStatement[] =
    u"SELECT %k FROM ( SELECT %H%k, ROW_NUMBER() OVER( ORDER BY %k ) AS ROWN FROM %T%w) AS Q "
    u"WHERE MOD(ROWN, %s) = 0 ORDER BY %k%h";
constexpr char16_t kRownumStatementDb2[] =
    u"SELECT %k FROM ( SELECT %H%k, ROWNUMBER() OVER( ORDER BY %k ) AS ROWN FROM %T%w) AS Q "
    u"WHERE MOD(ROWN, %s) = 0 ORDER BY %k%h";
constexpr char16_t kRownumStatementOra[] =
    u"SELECT %k FROM ( SELECT %H%k, ROW_NUMBER() OVER( ORDER BY %k ) AS ROWN FROM %T%w) "
    u"WHERE MOD(ROWN, %s) = 0 ORDER BY %k%h";
// SQLite has no MOD function; SQLite, PostgreSQL and the ODBC databases know the operator.
constexpr char16_t kRownumStatementLocal[] =
    u"SELECT %k FROM ( SELECT %H%k, ROW_NUMBER() OVER( ORDER BY %k ) AS ROWN FROM %T%w) AS Q "
    u"WHERE Q.ROWN %% %s = 0 ORDER BY %k%h";
// Adds up the cardinality of the table: the catalog's when its table space holds several
// tables, else the real-time statistics of the table space.
constexpr char16_t kEstimateDb2[] =
    u"SELECT SUM(CASE WHEN SPACE.NTABLES > 1 THEN CAST(TABS.CARDF AS DECIMAL(31,0)) "
    u"ELSE CAST(RTS.TOTALROWS AS DECIMAL(31,0)) END) AS ROWS_DECIMAL "
    u"FROM SYSIBM.SYSTABLES TABS, SYSIBM.SYSTABLESPACESTATS RTS, SYSIBM.SYSTABLESPACE SPACE "
    u"WHERE RTS.NAME = TABS.TSNAME AND RTS.DBNAME = TABS.DBNAME "
    u"AND SPACE.NAME = TABS.TSNAME AND SPACE.DBNAME = TABS.DBNAME "
    u"AND TABS.NAME = '%t' AND TABS.CREATOR = CURRENT SQLID";
// The planner's row estimate; -1 (never analysed) reads as a small count. The table is found
// by a name in identifier position, which the engine quotes in the schema's case (a name inside
// a literal would not be), through the oid of one of its rows; an empty table estimates 0.
constexpr char16_t kEstimatePg[] =
    u"SELECT COALESCE((SELECT CAST(reltuples AS BIGINT) FROM pg_class "
    u"WHERE oid = (SELECT tableoid FROM %T limit 1)), 0)";

}  // namespace

const ul_sqldbsplitsupport_t SQLDBSplitSupport[] = {
    {UL_DBTYPE_ZMX, UL_SPLITSUPPORT_WHEREOPTIONAL, u"COUNT(*)",
     u"SELECT /*+estimate*/ COUNT(*) FROM %T", kCountStatement, kDistinctStatement, nullptr,
     nullptr, ul_sqlsplitprovider_zmx, nullptr, nullptr},
    {UL_DBTYPE_ZDB, 0, u"COUNT(*)", nullptr, kCountStatement, kDistinctStatement, kRownumStatement,
     nullptr, ul_sqlsplitprovider_zdb, ul_sqlsplitpartitions_zdb, nullptr},
    {UL_DBTYPE_DB2, 0, u"COUNT_BIG(*)", kEstimateDb2, kCountStatement, kDistinctStatement,
     kRownumStatementDb2, nullptr, nullptr, ul_sqlsplitpartitions_db2, ul_sqlsplitfixer_db2},
    {UL_DBTYPE_DB4, 0, u"CHAR(COUNT_BIG(*))", nullptr, kCountStatement, kDistinctStatementDb4,
     kRownumStatement, nullptr, ul_sqlsplitprovider_db4, nullptr, nullptr},
    {UL_DBTYPE_DB6, 0, u"COUNT_BIG(*)", nullptr, kCountStatement, kDistinctStatement,
     kRownumStatementDb2, nullptr, ul_sqlsplitprovider_db6, nullptr, nullptr},
    {UL_DBTYPE_MSS, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     ul_sqlsplitprovider_mss, nullptr, nullptr},
    {UL_DBTYPE_ORA, 0, u"COUNT(*)", u"SELECT NUM_ROWS FROM \"USER_TABLES\" WHERE TABLE_NAME = '%t'",
     kCountStatement, kDistinctStatement, kRownumStatementOra, nullptr, ul_sqlsplitprovider_ora,
     nullptr, nullptr},
    {UL_DBTYPE_ZSE, 0, u"COUNT_BIG(*)",
     u"SELECT CAST( ROW_COUNT(DB_ID(), OBJECT_ID('%t')) as VARCHAR(40) )", kCountStatement,
     kDistinctStatement, nullptr, nullptr, ul_sqlsplitprovider_zse, nullptr, nullptr},
    {UL_DBTYPE_SQLITE, 0, u"COUNT(*)", nullptr, kCountStatement, kDistinctStatement,
     kRownumStatementLocal, nullptr, ul_sqlsplitprovider_sqlite, nullptr, nullptr},
    {UL_DBTYPE_PGSQL, 0, u"COUNT(*)", kEstimatePg, kCountStatement, kDistinctStatement,
     kRownumStatementLocal, nullptr, ul_sqlsplitprovider_pgsql, ul_sqlsplitpartitions_pgsql,
     nullptr},
    {UL_DBTYPE_ODBC, 0, u"COUNT(*)", nullptr, kCountStatement, kDistinctStatement,
     kRownumStatementLocal, nullptr, nullptr, nullptr, nullptr},
};
const size_t SQLDBSplitSupportCount = std::size(SQLDBSplitSupport);

const ul_sqldbsplitsupport_t* ul_sqlgetsplitsupport(int dbType) {
    for (const ul_sqldbsplitsupport_t& row : SQLDBSplitSupport)
        if (row.dbType == dbType) return &row;
    ul_errorsetmsgfmt(0, u"No support for database type #%d", dbType);
    return UL_ERROR_RETURN(nullptr);
}

namespace {

// The split row of the connected database, else of the one dbms_type selects.
const ul_sqldbsplitsupport_t* currentSplitSupport() {
    const ul_sqldbsupport_t* db = ul_sqlcurrentdbsupport();
    if (!db) db = ul_sqlselectdbsupport();
    if (!db) return UL_ERROR_RETURN(nullptr);
    return ul_sqlgetsplitsupport(db->type);
}

// A statement hint from the environment, read once per process; null when not set.
const char16_t* environmentHint(const char* name, std::optional<std::u16string>* cache,
                                bool* read) {
    if (!*read) {
        *read = true;
        if (const char* value = getenv(name)) *cache = ul_utf8to16(value);
    }
    return *cache ? (*cache)->c_str() : nullptr;
}

int answer(const char16_t* slot, const char16_t** statement) {
    *statement = slot;
    return slot ? 1 : 0;
}

}  // namespace

int sql_getstatement2(int request, const char16_t* table, const char16_t* const* keyfields,
                      unsigned nkeyfields, const char16_t** statement, int flags, double segment,
                      int mode) {
    *statement = nullptr;
    const ul_sqldbsplitsupport_t* row = currentSplitSupport();
    if (!row) return UL_ERROR_RETURN(-1);
    if (row->provider) {
        const int rc =
            row->provider(request, table, keyfields, nkeyfields, statement, flags, segment, mode);
        if (rc != 0) return rc < 0 ? UL_ERROR_RETURN(-1) : rc;
    }
    static std::optional<std::u16string> hint;
    static std::optional<std::u16string> hintClose;
    static bool hintRead = false;
    static bool hintCloseRead = false;
    switch (request) {
        case UL_SPLITREQ_COUNTEXPR:
            return answer(row->countExpression, statement);
        case UL_SPLITREQ_ESTIMATE:
            return answer(row->estimateStatement, statement);
        case UL_SPLITREQ_COUNT:
            return answer(row->countStatement, statement);
        case UL_SPLITREQ_DISTINCT:
            return answer(row->distinctStatement, statement);
        case UL_SPLITREQ_HINT:
            return answer(environmentHint("TABRIX_SQLHINT", &hint, &hintRead), statement);
        case UL_SPLITREQ_NATIVEFIELDS:
            return 0;
        case UL_SPLITREQ_HINTCLOSE:
            return answer(environmentHint("TABRIX_SQLHINTCLOSE", &hintClose, &hintCloseRead),
                          statement);
        case UL_SPLITREQ_ROWNUM:
            return answer(row->rownumStatement, statement);
        case UL_SPLITREQ_PREFIX:
            return answer(row->prefixExpression, statement);
        default:
            ul_errorsetmsgfmt(0, u"Internal error: Unsupported split format request #%d", request);
            return UL_ERROR_RETURN(-1);
    }
}

namespace {

// "(pre) AND ", or "pre AND " with UL_SQLTABSPLIT_FNOPREBRACKETS: the head of every condition
// split under a pre-condition, and what the range check takes off again.
std::u16string preconditionHead(const char16_t* pre, int mode) {
    const bool brackets = !(mode & UL_SQLTABSPLIT_FNOPREBRACKETS);
    std::u16string head = brackets ? u"(" : u"";
    ul_sqlappendembedded(&head, pre, brackets ? u") AND " : u" AND ");
    return head;
}

// A hint of request 5 or 7 when the global flag sqlhints allows hints.
int appendHint(std::u16string* out, int request, const char16_t* table) {
    if (!(UL_SQLGlobalFlags & UL_SQLFLAG_SQLHINTS)) return 0;
    const char16_t* hint = nullptr;
    const int rc = sql_getstatement2(request, table, nullptr, 0, &hint, 0, 0, 0);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == 0) return 0;
    if (request == UL_SPLITREQ_HINTCLOSE) out->push_back(u' ');
    *out += hint;
    if (request == UL_SPLITREQ_HINT) out->push_back(u' ');
    return 0;
}

int expandFormat(std::u16string* out, const char16_t* format, const char16_t* table,
                 const char16_t* const* keyfields, unsigned nkeyfields, const char16_t* where,
                 ul_dbrowcount_t rowCount, int mode) {
    const int nameFlags = mode & UL_SQLFORMAT_KEEPCASE;
    bool whereUsed = false;
    for (const char16_t* p = format; *p; ++p) {
        if (*p != u'%') {
            out->push_back(*p);
            continue;
        }
        const char16_t c = *++p;
        switch (c) {
            case u'%':
                out->push_back(u'%');
                break;
            case u'C': {
                const char16_t* expression = nullptr;
                const int rc = sql_getstatement2(UL_SPLITREQ_COUNTEXPR, table, keyfields,
                                                 nkeyfields, &expression, 0, 0, mode);
                if (rc < 0) return UL_ERROR_RETURN(-1);
                if (rc == 0) {
                    ul_errorsetmsgfmt(0, u"Internal error: Unsupported split format request #%d",
                                      UL_SPLITREQ_COUNTEXPR);
                    return UL_ERROR_RETURN(-1);
                }
                *out += expression;
                break;
            }
            case u'H':
            case u'h':
                if (appendHint(out, c == u'H' ? UL_SPLITREQ_HINT : UL_SPLITREQ_HINTCLOSE, table) <
                    0)
                    return UL_ERROR_RETURN(-1);
                break;
            case u'T':
                if (ul_sqlappendquotedname(out, table, UL_QUOTE_TABSUFFIX | nameFlags) < 0)
                    return UL_ERROR_RETURN(-1);
                break;
            case u't':
                *out += table;
                break;
            case u'k':
                if (nkeyfields == 0) {
                    ul_errorsetmsgfmt(0, u"Internal error: Array too short (%d)", 0);
                    return UL_ERROR_RETURN(-1);
                }
                for (unsigned i = 0; i < nkeyfields; ++i) {
                    if (i > 0) *out += u", ";
                    if (ul_sqlappendquotedname(out, keyfields[i], nameFlags) < 0)
                        return UL_ERROR_RETURN(-1);
                }
                break;
            case u's':
                *out += ul_format(u"%lu", ul(rowCount));
                break;
            case u'w':
            case u'W':
                whereUsed = true;
                if (where && *where && c == u'w') {
                    *out += u" WHERE ";
                    ul_sqlappendembedded(out, where);
                } else if (where && *where) {
                    // Joined to a condition of the template: brackets keep an OR of the
                    // where condition from binding to the template's own terms.
                    *out += u" AND (";
                    ul_sqlappendembedded(out, where, u")");
                }
                break;
            default:
                ul_errorsetmsgfmt(0, u"Internal error: Unsupported format character '%c'", c);
                return UL_ERROR_RETURN(-1);
        }
    }
    if (where && *where && !whereUsed && !(mode & UL_SQLFORMAT_WHEREOPTIONAL)) {
        ul_errorsetmsgfmt(0, u"Internal error: Where condition given, but not used for format '%s'",
                          format);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// Every expansion, the engine's own included, is framed by the same two trace lines.
int expandTraced(std::u16string* out, const char16_t* format, const char16_t* table,
                 const char16_t* const* keyfields, unsigned nkeyfields, const char16_t* where,
                 ul_dbrowcount_t rowCount, int mode) {
    UL_TRACE(UL_TRC_SQLSPLIT, 4, u"genSQLFormat(format='%s', mode=%#x)\n", format, mode);
    if (expandFormat(out, format, table, keyfields, nkeyfields, where, rowCount, mode) < 0)
        return UL_ERROR_RETURN(-1);
    UL_TRACE(UL_TRC_SQLSPLIT, 4, u"genSQLFormat result='%s'\n", out->c_str());
    return 0;
}

}  // namespace

int genSQLFormat(char16_t* out, size_t size, const char16_t* format, const char16_t* table,
                 const char16_t* const* keyfields, unsigned nkeyfields, const char16_t* where,
                 ul_dbrowcount_t rowCount, int mode) {
    return ul_guarded([&]() -> int {
        std::u16string text;
        if (expandTraced(&text, format, table, keyfields, nkeyfields, where, rowCount, mode) < 0)
            return UL_ERROR_RETURN(-1);
        if (text.size() >= size) {
            ul_errorsetmsgfmt(0, u"Internal error: Format '%s' too large", format);
            return UL_ERROR_RETURN(-1);
        }
        std::copy(text.begin(), text.end(), out);
        out[text.size()] = 0;
        return static_cast<int>(text.size());
    });
}

// ==== counting ==================================================================================

namespace {

// The first column of the first row as text.
class AuxFirstValue : public ULSQLCallBackChar {
  public:
    using ULSQLCallBackChar::handleRow;
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override {
        if (!(flags & UL_ROW_DATA) || got_) return 0;
        got_ = ncols > 0 && values && values[0];
        if (got_) text_ = values[0];
        return 0;
    }
    bool got() const { return got_; }
    const std::u16string& text() const { return text_; }

  private:
    bool got_ = false;
    std::u16string text_;
};

int runCountStatement(const char16_t* sql, ul_dbrowcount_t* count) {
    AuxFirstValue value;
    if (ULSQLStmt::run(sql, nullptr, 0, &value, nullptr, 0) < 0) return UL_ERROR_RETURN(-1);
    if (!value.got() || !ul_sqlparserowcount(value.text().c_str(), count)) {
        ul_errorsetmsg(0, u"Missing output from generic \"count(*)\"");
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int formatStatement(std::u16string* sql, int request, const char16_t* table,
                    const char16_t* const* keyfields, unsigned nkeyfields, const char16_t* where,
                    ul_dbrowcount_t rowCount) {
    const char16_t* format = nullptr;
    const int rc = sql_getstatement2(request, table, keyfields, nkeyfields, &format, 0, 0, 0);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == 0) return 0;
    const ul_sqldbsplitsupport_t* row = currentSplitSupport();
    const int mode =
        row && (row->flags & UL_SPLITSUPPORT_WHEREOPTIONAL) ? UL_SQLFORMAT_WHEREOPTIONAL : 0;
    if (expandTraced(sql, format, table, keyfields, nkeyfields, where, rowCount, mode) < 0)
        return UL_ERROR_RETURN(-1);
    return 1;
}

// 1 with the estimate, 0 when the exact count must be taken instead.
int estimateCount(const char16_t* table, const char16_t* where, ul_dbrowcount_t* count,
                  int flags) {
    if (where && *where) {
        return ul_msgwrite_line399(2, u'W',
                                   u"Cannot use count estimation if where condition is given!");
    }
    if (!(UL_SQLGlobalFlags & UL_SQLFLAG_ESTIMATECOUNT)) {
        return ul_msgwrite_line399(2, u'W', u"Count estimation disabled by user.");
    }
    std::u16string sql;
    const int rc = formatStatement(&sql, UL_SPLITREQ_ESTIMATE, table, nullptr, 0, nullptr, 0);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == 0)
        return ul_msgwrite_line399(2, u'W',
                                   u"No support for count estimation, using full 'count(*)'!");
    ul_dbrowcount_t estimate = 0;
    if (runCountStatement(sql.c_str(), &estimate) < 0) return UL_ERROR_RETURN(-1);
    if (!(flags & UL_COUNTSTAR_NOFALLBACK) && UL_SQLLowCountLimit > 0 &&
        estimate < static_cast<ul_dbrowcount_t>(UL_SQLLowCountLimit)) {
        return ul_msgwrite_line399(
            2, u'W',
            ul_format(u"Estimated count(*) of %lu for '%s' looks rather small, better "
                      u"doing a full count.",
                      ul(estimate), table));
    }
    *count = estimate;
    return 1;
}

int countTable(const char16_t* table, const char16_t* where, const char16_t* const* keyfields,
               unsigned nkeyfields, ul_dbrowcount_t* count, int estimate) {
    if (estimate & UL_COUNTSTAR_ESTIMATE) {
        const int rc = estimateCount(table, where, count, estimate);
        if (rc != 0) return rc;
    }
    std::u16string sql;
    const int request = nkeyfields > 0 ? UL_SPLITREQ_DISTINCT : UL_SPLITREQ_COUNT;
    const int rc = formatStatement(&sql, request, table, keyfields, nkeyfields, where, 0);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == 0) {
        ul_errorsetmsgfmt(0, u"Internal error: Unsupported split format request #%d", request);
        return UL_ERROR_RETURN(-1);
    }
    return runCountStatement(sql.c_str(), count) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

}  // namespace

int ul_sqltablecountstar(const char16_t* table, const char16_t* where,
                         const char16_t* const* keyfields, unsigned nkeyfields,
                         ul_dbrowcount_t* count, int estimate) {
    const int rc =
        ul_guarded([&]() { return countTable(table, where, keyfields, nkeyfields, count, estimate); });
    if (rc < 0) {
        ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Error counting table '%s'", table);
        return UL_ERROR_RETURN(-1);
    }
    return rc;
}

int ul_sqltablecountstarm(const char16_t* table, ULTableSplit* conditions,
                          const char16_t* const* keyfields, unsigned nkeyfields,
                          ul_dbrowcount_t* total, int estimate) {
    ul_dbrowcount_t sum = 0;
    int result = 0;
    for (ul_tablesegment_t& s : *conditions) {
        const int rc =
            ul_sqltablecountstar(table, s.condition(), keyfields, nkeyfields, &s.rows, estimate);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        result |= rc;
        sum += s.rows;
    }
    *total = sum;
    return result;
}

// ==== engine ====================================================================================

namespace {

// Split position flags: where the split lies relative to the position's values.
enum : int {
    UL_SPLITPOSFLAG_FAFTER = 0,       // the values end the lower range (upper bound inclusive)
    UL_SPLITPOSFLAG_FADDCOLUMNS = 1,  // one value whose group is refined on the next key field
    UL_SPLITPOSFLAG_FBEFORE = 2,      // the values start the upper range (upper bound exclusive)
    UL_SPLITPOSFLAG_FLASTENTRY = 16,  // closes the table: no upper bound
};
// Flags of the statement in progress.
enum : unsigned {
    UL_SPLITFLAG_FREFINE = 1,         // a group reached the refinement size
    UL_SPLITFLAG_FNOMORECOLUMNS = 2,  // the statement groups by the last key field
};

enum class Handler { none = 0, groups = 1, rownum = 2 };

constexpr int kStopTooMany = 2;
constexpr int kHeaderMode = UL_SQLMODE_HDR_TYPE | UL_SQLMODE_HDR_LENGTH;

// The position ends the range that lies between the previous position and itself; its row
// count is the number of rows in that range.
struct SplitPosition {
    int SPLTP_SplitFlag = UL_SPLITPOSFLAG_FAFTER;
    unsigned SPLTP_NValues = 0;
    // Pooled values with their lengths: a character key value may hold NULs.
    std::u16string_view values[UL_SQLMAX_KEYCOLUMNS] = {};
    ul_dbrowcount_t SPLTP_RowCount = 0;
};

// Holds a connection for the duration of one call when the caller has none; the error text of
// a failure survives the disconnect.
class ScopedConnection {
  public:
    ScopedConnection() = default;
    ScopedConnection(const ScopedConnection&) = delete;
    ScopedConnection& operator=(const ScopedConnection&) = delete;
    ~ScopedConnection() {
        if (!owned_) return;
        const std::u16string error = ul_errorgetmsg();
        (void)ul_sqldisconnect(0);  // the first failure is the one reported
        ul_errorsetmsg(0, error.c_str());
    }
    int open() {
        if (ul_sqlisconnected()) return 0;
        if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
        owned_ = true;
        return 0;
    }

  private:
    bool owned_ = false;
};

bool nonAscii(std::u16string_view s) {
    return std::any_of(s.begin(), s.end(), [](char16_t c) { return c > 127; });
}

// The splitting state of one table (and one pre-condition).
class AuxSplitTable : public ULSQLCallBack {
  public:
    AuxSplitTable(const char16_t* table, const char16_t* const* keyfields, unsigned nkeyfields,
                  const char16_t* precondition, int mode)
        : SPLT_Table(table),
          nKeyFields_(nkeyfields),
          preCondition_(precondition && *precondition ? precondition : nullptr),
          mode_(mode) {
        for (unsigned i = 0; i < nkeyfields && i < UL_SQLMAX_KEYCOLUMNS; ++i)
            keyFields_[i] = keyfields[i];
    }

    // Key values are taken whole, NULs included.
    bool takesNulInText() const override { return true; }

    int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                  unsigned* lengths, unsigned ncols) override {
        if (!(flags & UL_ROW_DATA)) return headerRow(values, ncols);
        switch (handlerMode_) {
            case Handler::groups:
                return groupRow(raw, values, lengths, ncols);
            case Handler::rownum:
                return rownumRow(raw, values, lengths, ncols);
            default:
                ul_errorsetmsgfmt(0, u"Internal error: Invalid split handler mode %d",
                                  static_cast<int>(handlerMode_));
                return UL_ERROR_RETURN(-1);
        }
    }

    // Returns the result flags or -1.
    int split(ULTableSplit* out, double segment, ul_dbrowcount_t total, ul_dbrowcount_t minSplits,
              ul_dbrowcount_t maxSplits) {
        totalCount_ = total;
        maxSplits_ = maxSplits;
        if (setSegmentSize(segment) < 0) return UL_ERROR_RETURN(-1);
        if (nKeyFields_ == 0 || nKeyFields_ > UL_SQLMAX_KEYCOLUMNS) {
            ul_errorsetmsgfmt(0, u"Invalid number of key fields %d (maximum is %d)",
                              static_cast<int>(nKeyFields_),
                              static_cast<int>(UL_SQLMAX_KEYCOLUMNS));
            return UL_ERROR_RETURN(-1);
        }
        ScopedConnection connection;
        if (connection.open() < 0 || readKeyFieldDescriptions() < 0) return UL_ERROR_RETURN(-1);
        const char16_t* rownum = nullptr;
        if (!(mode_ & (UL_SQLTABSPLIT_FSTANDARD | UL_SQLTABSPLIT_FPREFIX))) {
            const int rc = sql_getstatement2(UL_SPLITREQ_ROWNUM, SPLT_Table.c_str(), keyFields_,
                                             nKeyFields_, &rownum,
                                             preCondition_ ? UL_SPLITREQFLAG_WHERE : 0, segment,
                                             mode_);
            if (rc < 0) return UL_ERROR_RETURN(-1);
            if (rc == 0 &&
                ul_msgwrite_line399(
                    1, u'W', u"Equidistant row number method not supported for this DB type!") < 0)
                return UL_ERROR_RETURN(-1);
        }
        if ((rownum ? runRownum(rownum) : runStandard()) < 0) return UL_ERROR_RETURN(-1);
        if (!(result_ & (UL_SPLITRESULT_TOOMANY | UL_SPLITRESULT_NOTHING))) {
            if ((mode_ & UL_SQLTABSPLIT_FFILTERNONASCII) && filterNonAscii() < 0)
                return UL_ERROR_RETURN(-1);
            if (mergeSmallLast() < 0) return UL_ERROR_RETURN(-1);
            // A single range left is the whole table (or pre-condition): nothing to split.
            if (!(result_ & UL_SPLITRESULT_NOTHING) && SPLT_Splits.size() < 2 &&
                nothingToSplit() < 0)
                return UL_ERROR_RETURN(-1);
        }
        const ul_dbrowcount_t made = SPLT_Splits.size();
        if (result_ & UL_SPLITRESULT_TOOMANY) {
            if (ul_msgwrite_line399(1, u'E',
                                    ul_format(u"Got too many splits (%lu > %lu) - giving up!",
                                              ul(made), ul(maxSplits_))) < 0)
                return UL_ERROR_RETURN(-1);
            return result_;
        }
        if (result_ & UL_SPLITRESULT_NOTHING) return result_;
        if (minSplits != UL_DBROWCOUNT_INVALID && made < minSplits) {
            if (ul_msgwrite_line399(1, u'W',
                                    ul_format(u"Got too few splits (%lu < %lu) - giving up!",
                                              ul(made), ul(minSplits))) < 0)
                return UL_ERROR_RETURN(-1);
            return result_ | UL_SPLITRESULT_TOOFEW;
        }
        return toConditions(out) < 0 ? UL_ERROR_RETURN(-1) : result_;
    }

  private:
    int setSegmentSize(double segment) {
        if (segment < 1.0) {
            if (totalCount_ == UL_DBROWCOUNT_INVALID || segment <= 0) {
                ul_errorsetmsgfmt(0, u"Internal error: Segment fraction %g needs a total count",
                                  segment);
                return UL_ERROR_RETURN(-1);
            }
            segmentSize_ =
                static_cast<ul_dbrowcount_t>(static_cast<double>(totalCount_) * segment + 1.0);
        } else {
            segmentSize_ = static_cast<ul_dbrowcount_t>(segment);
        }
        minSplitCount_ = segmentSize_;
        return 0;
    }

    // Token classes from the nametab when it describes the table; else the statements'
    // column descriptions decide.
    int readKeyFieldDescriptions() {
        if (ul_sqlntgettype(ul_sqlntcurrentslot()) == static_cast<int>(UL_NTTYPE_OFF)) return 0;
        ul_sqlfielddesc_t* descs = nullptr;
        unsigned ndescs = 0;
        if (ul_sqltablegetoiflags(SPLT_Table.c_str(), keyFields_, nKeyFields_, &descs, &ndescs, 0) <
            0) {
            UL_TRACE(UL_TRC_SQLSPLIT, 2, u"No nametab description of '%s': %s\n",
                     SPLT_Table.c_str(), ul_errorgetmsg());
            return 0;
        }
        for (unsigned i = 0; i < ndescs && i < nKeyFields_; ++i) {
            tokenClasses_[i] = ul_sqltokenclassfromtype(ul_sqlfldflag2char(descs[i]));
            classKnown_[i] = true;
        }
        free(descs);
        return 0;
    }

    int headerRow(const char16_t** values, unsigned ncols) {
        const unsigned first = handlerMode_ == Handler::groups ? level_ : 0;
        const unsigned n = handlerMode_ == Handler::groups ? 1 : std::min(ncols, nKeyFields_);
        for (unsigned i = 0; i < n && values && values[i]; ++i) {
            const char16_t letter = values[i][0];
            typeLetters_[first + i] = letter;
            if (!classKnown_[first + i])
                tokenClasses_[first + i] = ul_sqltokenclassfromtype(letter);
        }
        return 0;
    }

    // The text of key field `field` delivered in column col, into value_.
    int keyValue(unsigned col, unsigned field, const unsigned char** raw, const char16_t** values,
                 const unsigned* lengths) {
        if (!raw || !raw[col]) {
            ul_errorsetmsgfmt(0, u"NULL value in key field '%s' of table '%s'", keyFields_[field],
                              SPLT_Table.c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (tokenClasses_[field] == UL_SQLTOKEN_HEXSTRING || !values || !values[col]) {
            value_.resize(static_cast<size_t>(lengths[col]) * 2 + 1);
            if (ul_sqlrawvalue2string(value_.data(), value_.size(), raw[col], lengths[col]) < 0)
                return UL_ERROR_RETURN(-1);
            value_.pop_back();
            return 0;
        }
        if (typeLetters_[field] == u'F' && lengths[col] == sizeof(double)) {
            // The text form rounds; a bound must be the exact value.
            double number = 0;
            std::memcpy(&number, raw[col], sizeof number);
            char digits[32];
            const auto result = std::to_chars(digits, digits + sizeof digits, number);
            value_.assign(digits, result.ptr);
            return 0;
        }
        value_.assign(values[col], textLength(col, values[col]));
        return 0;
    }

    // A new position at the current level with the current key value.
    int addPosition(int flag, ul_dbrowcount_t rows) {
        SplitPosition pos = SPLT_SplitPos;
        pos.SPLTP_SplitFlag = flag;
        pos.SPLTP_NValues = level_ + 1;
        if (!pooledValue_ || value_ != pooledText_) {
            pooledValue_ = pool_.dupString(value_);
            if (!pooledValue_) return UL_ERROR_RETURN(-1);
            pooledText_ = value_;
        }
        pos.values[level_] = {pooledValue_, value_.size()};
        pos.SPLTP_RowCount = rows;
        target_->push_back(pos);
        return checkTooMany();
    }

    int checkTooMany() {
        if (maxSplits_ == UL_DBROWCOUNT_INVALID || baseSplits_ + target_->size() <= maxSplits_)
            return 0;
        UL_TRACE(UL_TRC_SQLSPLIT, 1, u"runGroupStmt: Got too many splits - give up!\n");
        result_ |= UL_SPLITRESULT_TOOMANY;
        return kStopTooMany;
    }

    int groupRow(const unsigned char** raw, const char16_t** values, unsigned* lengths,
                 unsigned ncols) {
        ul_dbrowcount_t count = 0;
        if (keyValue(0, level_, raw, values, lengths) < 0) return UL_ERROR_RETURN(-1);
        if (ncols < 2 || !values || !values[1] || !ul_sqlparserowcount(values[1], &count) || count == 0) {
            ul_errorsetmsgfmt(0, u"Invalid group count '%s' for value '%s' of table '%s'",
                              values && ncols > 1 && values[1] ? values[1] : u"", value_.c_str(),
                              SPLT_Table.c_str());
            return UL_ERROR_RETURN(-1);
        }
        accumulated_ += count;
        ++groupsRead_;
        highestCount_ = std::max(highestCount_, count);
        if (count >= minSplitCount_ && (SPLT_Flags & UL_SPLITFLAG_FNOMORECOLUMNS)) {
            // The group stays whole, however large it is.
            if (ul_msgwrite_line399(
                    1, u'W',
                    ul_format(u"Not enough key fields to split chunk of %lu for table '%s' value "
                              u"'%s'.",
                              ul(count), SPLT_Table.c_str(), value_.c_str())) < 0)
                return UL_ERROR_RETURN(-1);
        } else if (count >= minSplitCount_) {
            SPLT_Flags |= UL_SPLITFLAG_FREFINE;
            if (rowCount_ > 0) {
                const int rc = addPosition(UL_SPLITPOSFLAG_FBEFORE, rowCount_);
                if (rc != 0) return rc;
            }
            rowCount_ = 0;
            return addPosition(UL_SPLITPOSFLAG_FADDCOLUMNS, count);
        }
        if (rowCount_ + count < segmentSize_) {
            rowCount_ += count;
            return 0;
        }
        if (rowCount_ > 0 &&
            (rowCount_ >= segmentSize_ || (segmentSize_ - rowCount_) * 2 <= count)) {
            const ul_dbrowcount_t before = rowCount_;
            rowCount_ = count;
            return addPosition(UL_SPLITPOSFLAG_FBEFORE, before);
        }
        const ul_dbrowcount_t rows = rowCount_ + count;
        rowCount_ = 0;
        return addPosition(UL_SPLITPOSFLAG_FAFTER, rows);
    }

    int rownumRow(const unsigned char** raw, const char16_t** values, unsigned* lengths,
                  unsigned ncols) {
        if (ncols < nKeyFields_) {
            ul_errorsetmsgfmt(0, u"Internal error: Array too short (%d)", static_cast<int>(ncols));
            return UL_ERROR_RETURN(-1);
        }
        rowsRead_ += segmentSize_;
        SplitPosition pos;
        bool same = !target_->empty();
        for (unsigned i = 0; i < nKeyFields_; ++i) {
            if (keyValue(i, i, raw, values, lengths) < 0) return UL_ERROR_RETURN(-1);
            same = same && value_ == target_->back().values[i];
            if (!same) {
                const char16_t* pooled = pool_.dupString(value_);
                if (!pooled) return UL_ERROR_RETURN(-1);
                pos.values[i] = {pooled, value_.size()};
            }
        }
        if (same) {
            UL_TRACE(UL_TRC_SQLSPLIT, 3, u"Removed identical split position.\n");
            target_->back().SPLTP_RowCount += segmentSize_;
            return 0;
        }
        // Values read before the first difference were not pooled yet.
        for (unsigned i = 0; i < nKeyFields_ && !pos.values[i].data(); ++i)
            pos.values[i] = target_->back().values[i];
        pos.SPLTP_SplitFlag = UL_SPLITPOSFLAG_FAFTER;
        pos.SPLTP_NValues = nKeyFields_;
        pos.SPLTP_RowCount = segmentSize_;
        target_->push_back(pos);
        return checkTooMany();
    }

    int appendField(std::u16string* out, unsigned i) {
        return ul_sqlappendquotedname(out, keyFields_[i], 0);
    }

    // SELECT field, count FROM table [WHERE (pre) AND f1 = v1 ...] GROUP BY field ORDER BY field
    int groupStatement(std::u16string* sql, const SplitPosition* parent) {
        const char16_t* countExpression = nullptr;
        if (sql_getstatement2(UL_SPLITREQ_COUNTEXPR, SPLT_Table.c_str(), keyFields_, nKeyFields_,
                              &countExpression, 0, 0, mode_) <= 0) {
            if (!countExpression)
                ul_errorsetmsgfmt(0, u"Internal error: Unsupported split format request #%d",
                                  UL_SPLITREQ_COUNTEXPR);
            return UL_ERROR_RETURN(-1);
        }
        std::u16string field;
        if (appendField(&field, level_) < 0) return UL_ERROR_RETURN(-1);
        *sql = u"SELECT " + field + u", " + countExpression + u" FROM ";
        if (ul_sqlappendquotedname(sql, SPLT_Table.c_str(), UL_QUOTE_TABSUFFIX) < 0)
            return UL_ERROR_RETURN(-1);
        const char16_t* joiner = u" WHERE ";
        if (preCondition_) {
            *sql += joiner;
            *sql += u"( ";
            ul_sqlappendembedded(sql, preCondition_, u" )");
            joiner = u" AND ";
        }
        const ul_sqlliteralform_t* form = ul_sqlcurrentliteralform();
        for (unsigned i = 0; parent && i < parent->SPLTP_NValues; ++i) {
            *sql += joiner;
            joiner = u" AND ";
            if (appendField(sql, i) < 0) return UL_ERROR_RETURN(-1);
            *sql += u" = ";
            if (ul_sqlappendliteral(sql, parent->values[i], tokenClasses_[i], form) < 0)
                return UL_ERROR_RETURN(-1);
        }
        *sql += u" GROUP BY " + field + u" ORDER BY " + field;
        return 0;
    }

    // Groups by the key field behind the parent's values (the first field without parent) and
    // appends the positions to result.
    int runGroupStmt(const SplitPosition* parent, std::vector<SplitPosition>* result) {
        level_ = parent ? parent->SPLTP_NValues : 0;
        SPLT_SplitPos = parent ? *parent : SplitPosition();
        SPLT_Flags =
            level_ + 1 >= nKeyFields_ ? static_cast<unsigned>(UL_SPLITFLAG_FNOMORECOLUMNS) : 0u;
        rowCount_ = 0;
        accumulated_ = 0;
        groupsRead_ = 0;
        target_ = result;
        baseSplits_ = parent ? SPLT_Splits.size() - 1 : 0;
        std::u16string sql;
        if (groupStatement(&sql, parent) < 0) return UL_ERROR_RETURN(-1);
        handlerMode_ = Handler::groups;
        const int rc = ULSQLStmt::run(sql.c_str(), nullptr, 0, this, nullptr, kHeaderMode);
        handlerMode_ = Handler::none;
        if (rc < 0) return UL_ERROR_RETURN(-1);
        UL_TRACE(UL_TRC_SQLSPLIT, 2, u"TOTAL: %lu highest %lu\n", ul(accumulated_),
                 ul(highestCount_));
        if (rc == kStopTooMany) return 0;
        if (parent) return closeRefinement(*parent, result);
        if (rowCount_ > 0) {
            SplitPosition last;
            last.SPLTP_SplitFlag = UL_SPLITPOSFLAG_FLASTENTRY;
            last.SPLTP_RowCount = rowCount_;
            result->push_back(last);
            if (checkTooMany() != 0) return 0;
        }
        if (result->empty()) return ul_msgwrite_line399(2, u' ', u"Got no split positions!");
        return 0;
    }

    int closeRefinement(const SplitPosition& parent, std::vector<SplitPosition>* result) {
        if (accumulated_ != parent.SPLTP_RowCount) {
            std::u16string where;
            for (unsigned i = 0; i < parent.SPLTP_NValues; ++i)
                where += ul_format(u" %s='%s'", keyFields_[i], parent.values[i].data());
            ul_errorsetmsgfmt(0,
                              u"Contradicting group scan for%s: expected %lu rows, but found %lu",
                              where.c_str(), ul(parent.SPLTP_RowCount), ul(accumulated_));
            return UL_ERROR_RETURN(-1);
        }
        if (rowCount_ == 0) return 0;
        SplitPosition rest = parent;
        rest.SPLTP_SplitFlag = UL_SPLITPOSFLAG_FAFTER;
        rest.SPLTP_RowCount = rowCount_;
        result->push_back(rest);
        checkTooMany();
        return 0;
    }

    int runStandard() {
        const char16_t* prefix = nullptr;
        if (sql_getstatement2(UL_SPLITREQ_PREFIX, SPLT_Table.c_str(), keyFields_, nKeyFields_,
                              &prefix, 0, 0, mode_) < 0)
            return UL_ERROR_RETURN(-1);
        if (!prefix && (mode_ & UL_SQLTABSPLIT_FPREFIX) &&
            ul_msgwrite_line399(1, u'W', u"Prefix method not available - disabling it!") < 0)
            return UL_ERROR_RETURN(-1);
        if (ul_msgwrite_line399(1, u' ', u"Using standard method to split table.") < 0)
            return UL_ERROR_RETURN(-1);
        if (runGroupStmt(nullptr, &SPLT_Splits) < 0) return UL_ERROR_RETURN(-1);
        for (size_t i = 0; i < SPLT_Splits.size() && !(result_ & UL_SPLITRESULT_TOOMANY);) {
            if (SPLT_Splits[i].SPLTP_SplitFlag != UL_SPLITPOSFLAG_FADDCOLUMNS) {
                ++i;
                continue;
            }
            const SplitPosition parent = SPLT_Splits[i];
            std::vector<SplitPosition> refined;
            if (runGroupStmt(&parent, &refined) < 0) return UL_ERROR_RETURN(-1);
            SPLT_Splits.erase(SPLT_Splits.begin() + static_cast<long>(i));
            SPLT_Splits.insert(SPLT_Splits.begin() + static_cast<long>(i), refined.begin(),
                               refined.end());
        }
        if (result_ & UL_SPLITRESULT_TOOMANY) return 0;
        // The last range has no upper bound, so that it ends with the table.
        if (!SPLT_Splits.empty()) SPLT_Splits.back().SPLTP_SplitFlag = UL_SPLITPOSFLAG_FLASTENTRY;
        if (SPLT_Splits.size() < 2) return nothingToSplit();
        return 0;
    }

    int nothingToSplit() {
        result_ |= UL_SPLITRESULT_NOTHING;
        return ul_msgwrite_line399(1, u'W', u"No split positions generated!");
    }

    int runRownum(const char16_t* format) {
        if (ul_msgwrite_line399(1, u' ', u"Using equidistant row number method to split table.") <
            0)
            return UL_ERROR_RETURN(-1);
        const ul_sqldbsplitsupport_t* row = currentSplitSupport();
        if (!row) return UL_ERROR_RETURN(-1);
        const int formatMode =
            (row->flags & UL_SPLITSUPPORT_WHEREOPTIONAL) ? UL_SQLFORMAT_WHEREOPTIONAL : 0;
        std::u16string sql;
        if (expandTraced(&sql, format, SPLT_Table.c_str(), keyFields_, nKeyFields_, preCondition_,
                         segmentSize_, formatMode) < 0)
            return UL_ERROR_RETURN(-1);
        target_ = &SPLT_Splits;
        baseSplits_ = 0;
        rowsRead_ = 0;
        handlerMode_ = Handler::rownum;
        const int rc = ULSQLStmt::run(sql.c_str(), nullptr, 0, this, nullptr, kHeaderMode);
        handlerMode_ = Handler::none;
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == kStopTooMany) return 0;
        if (SPLT_Splits.empty()) return nothingToSplit();
        SplitPosition last;
        last.SPLTP_SplitFlag = UL_SPLITPOSFLAG_FLASTENTRY;
        const bool exactTotal =
            totalCount_ != UL_DBROWCOUNT_INVALID && !(mode_ & UL_SQLTABSPLIT_FNOTEXACT);
        if (exactTotal) last.SPLTP_RowCount = rowsRead_ > totalCount_ ? 0 : totalCount_ - rowsRead_;
        SPLT_Splits.push_back(last);
        if (checkTooMany() != 0) return 0;
        // Without an exact total the rows behind the last boundary are counted, so that a
        // small last range can be merged and every range carries its count.
        return exactTotal ? 0 : countLastRange();
    }

    int countLastRange() {
        std::u16string condition;
        if (conditionText(SPLT_Splits.size() - 1, &condition) < 0) return UL_ERROR_RETURN(-1);
        return ul_sqltablecountstar(SPLT_Table.c_str(), condition.c_str(), nullptr, 0,
                                    &SPLT_Splits.back().SPLTP_RowCount, 0) < 0
                   ? UL_ERROR_RETURN(-1)
                   : 0;
    }

    // Drops positions with non-ASCII values; their rows fall to the following range.
    int filterNonAscii() {
        for (size_t i = 0; i + 1 < SPLT_Splits.size();) {
            const SplitPosition& pos = SPLT_Splits[i];
            unsigned bad = 0;
            while (bad < pos.SPLTP_NValues && !nonAscii(pos.values[bad])) ++bad;
            if (bad == pos.SPLTP_NValues) {
                ++i;
                continue;
            }
            if (ul_msgwrite_line399(
                    2, u'W',
                    ul_format(u"Filter split position due to non-ASCII character in field #%d: "
                              u"'%s'",
                              static_cast<int>(bad + 1), pos.values[bad].data())) < 0)
                return UL_ERROR_RETURN(-1);
            SplitPosition& next = SPLT_Splits[i + 1];
            if (next.SPLTP_RowCount != UL_DBROWCOUNT_INVALID)
                next.SPLTP_RowCount = pos.SPLTP_RowCount == UL_DBROWCOUNT_INVALID
                                          ? UL_DBROWCOUNT_INVALID
                                          : next.SPLTP_RowCount + pos.SPLTP_RowCount;
            SPLT_Splits.erase(SPLT_Splits.begin() + static_cast<long>(i));
        }
        if (SPLT_Splits.size() >= 2) return 0;
        result_ |= UL_SPLITRESULT_NOTHING;
        return ul_msgwrite_line399(
            1, u'W', u"No split positions left after filtering non-ASCII characters - giving up!");
    }

    int mergeSmallLast() {
        if (UL_SQLLowSplitSecLimit <= 0 || SPLT_Splits.size() < 2) return 0;
        SplitPosition& last = SPLT_Splits.back();
        const ul_dbrowcount_t limit =
            std::min(segmentSize_ / 4, static_cast<ul_dbrowcount_t>(UL_SQLLowSplitSecLimit));
        if (last.SPLTP_RowCount == UL_DBROWCOUNT_INVALID || last.SPLTP_RowCount >= limit) return 0;
        const SplitPosition& previous = SPLT_Splits[SPLT_Splits.size() - 2];
        if (ul_msgwrite_line399(
                2, u' ',
                ul_format(u"Merging last split position with small count %lu to previous one with "
                          u"count %s",
                          ul(last.SPLTP_RowCount), countText(previous.SPLTP_RowCount).c_str())) < 0)
            return UL_ERROR_RETURN(-1);
        last.SPLTP_RowCount = previous.SPLTP_RowCount == UL_DBROWCOUNT_INVALID
                                  ? UL_DBROWCOUNT_INVALID
                                  : last.SPLTP_RowCount + previous.SPLTP_RowCount;
        SPLT_Splits.erase(SPLT_Splits.end() - 2);
        return 0;
    }

    // The condition of the range that position i closes, behind the pre-condition.
    int conditionText(size_t i, std::u16string* text) {
        const SplitPosition& pos = SPLT_Splits[i];
        const SplitPosition* previous = i > 0 ? &SPLT_Splits[i - 1] : nullptr;
        int mode = preCondition_ ? UL_WHERECOND_BRACKETS : 0;
        if (!previous)
            mode |= UL_WHERECOND_NOLOWER;
        else if (previous->SPLTP_SplitFlag == UL_SPLITPOSFLAG_FBEFORE)
            mode |= UL_WHERECOND_LOWINCL;
        if (pos.SPLTP_SplitFlag == UL_SPLITPOSFLAG_FBEFORE) mode |= UL_WHERECOND_HIGHEXCL;
        const unsigned nhigh =
            pos.SPLTP_SplitFlag == UL_SPLITPOSFLAG_FLASTENTRY ? 0 : pos.SPLTP_NValues;
        text->clear();
        if (preCondition_) *text = preconditionHead(preCondition_, mode_);
        return ul_sqlappendwherecondition(text, nullptr, keyFields_, tokenClasses_,
                                          previous ? previous->values : nullptr,
                                          previous ? previous->SPLTP_NValues : 0, pos.values, nhigh,
                                          ul_sqlquotetable, mode) < 0
                   ? UL_ERROR_RETURN(-1)
                   : 0;
    }

    int toConditions(ULTableSplit* out) {
        std::u16string text;
        for (size_t i = 0; i < SPLT_Splits.size(); ++i) {
            if (conditionText(i, &text) < 0 ||
                out->createSegmentEntry(SPLT_Splits[i].SPLTP_RowCount, text.c_str(), 0) < 0)
                return UL_ERROR_RETURN(-1);
        }
        return 0;
    }

    std::u16string SPLT_Table;
    Handler handlerMode_ = Handler::none;
    ul_dbrowcount_t totalCount_ = UL_DBROWCOUNT_INVALID;
    ul_dbrowcount_t segmentSize_ = 0;
    ul_dbrowcount_t maxSplits_ = UL_DBROWCOUNT_INVALID;
    ul_dbrowcount_t minSplitCount_ = 0;
    ul_dbrowcount_t highestCount_ = 0;
    const char16_t* keyFields_[UL_SQLMAX_KEYCOLUMNS] = {};
    unsigned nKeyFields_;
    const char16_t* preCondition_;
    std::vector<SplitPosition> SPLT_Splits;
    ul_strpool_t pool_;
    ul_dbrowcount_t accumulated_ = 0;
    ul_dbrowcount_t groupsRead_ = 0;
    ul_dbrowcount_t rowsRead_ = 0;
    int tokenClasses_[UL_SQLMAX_KEYCOLUMNS] = {};
    bool classKnown_[UL_SQLMAX_KEYCOLUMNS] = {};
    char16_t typeLetters_[UL_SQLMAX_KEYCOLUMNS] = {};
    unsigned SPLT_Flags = 0;
    SplitPosition SPLT_SplitPos;
    ul_dbrowcount_t rowCount_ = 0;
    int mode_;
    int result_ = 0;
    // The statement in progress.
    unsigned level_ = 0;
    std::vector<SplitPosition>* target_ = nullptr;
    size_t baseSplits_ = 0;
    std::u16string value_;
    std::u16string pooledText_;
    const char16_t* pooledValue_ = nullptr;
};

int splitCore(ULTableSplit* out, const char16_t* table, const char16_t* const* keyfields,
              unsigned nkeyfields, double segment, ul_dbrowcount_t totalcount,
              ul_dbrowcount_t minsplits, ul_dbrowcount_t maxsplits, const char16_t* precondition,
              int mode) {
    AuxSplitTable aux(table, keyfields, nkeyfields, precondition, mode);
    return aux.split(out, segment, totalcount, minsplits, maxsplits);
}

ul_dbrowcount_t segmentRows(double segment, ul_dbrowcount_t total) {
    if (segment >= 1.0) return static_cast<ul_dbrowcount_t>(segment);
    if (total == UL_DBROWCOUNT_INVALID) return UL_DBROWCOUNT_INVALID;
    return static_cast<ul_dbrowcount_t>(static_cast<double>(total) * segment + 1.0);
}

int splitMulti(ULTableSplit* out, const char16_t* table, const char16_t* const* keyfields,
               unsigned nkeyfields, double segment, ul_dbrowcount_t totalcount,
               ul_dbrowcount_t minsplits, ul_dbrowcount_t maxsplits, ULTableSplit* preconditions,
               int mode) {
    const int parts = preconditions->getCount();
    if (parts == 0) {
        ul_errorsetmsg(0, u"Internal error: No pre-conditions to split");
        return UL_ERROR_RETURN(-1);
    }
    const ul_dbrowcount_t segmentSize = segmentRows(segment, totalcount);
    if (segmentSize == UL_DBROWCOUNT_INVALID) {
        ul_errorsetmsgfmt(0, u"Internal error: Segment fraction %g needs a total count", segment);
        return UL_ERROR_RETURN(-1);
    }
    const ul_dbrowcount_t partTotal =
        totalcount == UL_DBROWCOUNT_INVALID ? UL_DBROWCOUNT_INVALID : totalcount / parts;
    const ul_dbrowcount_t partMax = maxsplits == UL_DBROWCOUNT_INVALID
                                        ? UL_DBROWCOUNT_INVALID
                                        : std::max<ul_dbrowcount_t>(1, maxsplits / parts);
    const double threshold = UL_SQLSplitPartitionThreshold;
    int flags = 0;
    int i = 0;
    for (const ul_tablesegment_t& part : *preconditions) {
        ++i;
        const ul_dbrowcount_t count = part.rows != UL_DBROWCOUNT_INVALID ? part.rows : partTotal;
        if (count != UL_DBROWCOUNT_INVALID &&
            static_cast<double>(count) <= static_cast<double>(segmentSize) * (1.0 + threshold)) {
            const bool whole = mode & UL_SQLTABSPLIT_FSMALLPARTWHOLE;
            if (ul_msgwrite_line399(
                    2, u' ',
                    ul_format(u"Split part %d/%d with condition \"%s\" with count %lu smaller "
                              u"than desired segment size %.0f + %.f%%- %s.",
                              i, parts, part.condition(), ul(count),
                              static_cast<double>(segmentSize), threshold * 100.0,
                              whole ? u"used as a whole" : u"giving up")) < 0)
                return UL_ERROR_RETURN(-1);
            if (!whole) {
                out->clear();
                return flags | UL_SPLITRESULT_NOTHING;
            }
            if (out->createSegmentEntry(part.rows, part.condition(), 0) < 0)
                return UL_ERROR_RETURN(-1);
            continue;
        }
        const ul_dbrowcount_t partSegment =
            count == UL_DBROWCOUNT_INVALID ? segmentSize : std::min(count / 2 + 1, segmentSize);
        if (ul_msgwrite_line399(
                2, u' ',
                ul_format(u"Splitting part %d/%d: precondition='%s', segmentsize=%g, "
                          u"totalcount=%s",
                          i, parts, part.condition(), static_cast<double>(partSegment),
                          countText(count).c_str())) < 0)
            return UL_ERROR_RETURN(-1);
        ULTableSplit partOut;
        // A share of the total is no count of the part.
        const int partMode =
            part.rows == UL_DBROWCOUNT_INVALID ? mode | UL_SQLTABSPLIT_FNOTEXACT : mode;
        const int rc =
            splitCore(&partOut, table, keyfields, nkeyfields, static_cast<double>(partSegment),
                      count, UL_DBROWCOUNT_INVALID, partMax, part.condition(), partMode);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc & (UL_SPLITRESULT_TOOFEW | UL_SPLITRESULT_TOOMANY)) {
            out->clear();
            return flags | rc;
        }
        if (rc & UL_SPLITRESULT_NOTHING) {
            // A part without split positions stays one range, so that every row is covered.
            if (out->createSegmentEntry(part.rows, part.condition(), 0) < 0)
                return UL_ERROR_RETURN(-1);
            continue;
        }
        flags |= rc;
        out->takeEntries(&partOut);
    }
    const ul_dbrowcount_t made = static_cast<ul_dbrowcount_t>(out->getCount());
    if (minsplits != UL_DBROWCOUNT_INVALID && made < minsplits) {
        if (ul_msgwrite_line399(1, u'W',
                                ul_format(u"Got too few splits (%lu < %lu) - giving up!", ul(made),
                                          ul(minsplits))) < 0)
            return UL_ERROR_RETURN(-1);
        out->clear();
        return flags | UL_SPLITRESULT_TOOFEW;
    }
    return flags;
}

// The fixer of the database, then the log of the conditions.
int finishSplit(ULTableSplit* out, int flags, int mode) {
    const ul_sqldbsplitsupport_t* row = currentSplitSupport();
    if (!row) return UL_ERROR_RETURN(-1);
    if (row->fixer && row->fixer(out, mode) < 0) return UL_ERROR_RETURN(-1);
    if (flags & (UL_SPLITRESULT_TOOFEW | UL_SPLITRESULT_TOOMANY | UL_SPLITRESULT_NOTHING))
        return flags;
    if (ul_msgwrite_line399(1, u' ',
                            ul_format(u"Generated %d split conditions.", out->getCount())) < 0)
        return UL_ERROR_RETURN(-1);
    int i = 0;
    for (const ul_tablesegment_t& s : *out) {
        ++i;
        const std::u16string line =
            s.rows == UL_DBROWCOUNT_INVALID
                ? ul_format(u"Condition #%d: %s", i, s.condition())
                : ul_format(u"Condition #%d (%lu rows): %s", i, ul(s.rows), s.condition());
        if (ul_msgwrite_line399(2, u' ', line) < 0) return UL_ERROR_RETURN(-1);
    }
    return flags;
}

int checkEmptyOutput(const ULTableSplit* out) {
    if (out->isEmpty()) return 0;
    ul_errorsetmsg(0, u"Internal error: List of split conditions is not empty");
    return UL_ERROR_RETURN(-1);
}

}  // namespace

int ul_sqlsplittable(ULTableSplit* out, const char16_t* table, const char16_t* const* keyfields,
                     unsigned nkeyfields, double segment, ul_dbrowcount_t totalcount,
                     ul_dbrowcount_t minsplits, ul_dbrowcount_t maxsplits,
                     const char16_t* precondition, int mode) {
    return ul_guarded([&]() -> int {
        if (checkEmptyOutput(out) < 0) return UL_ERROR_RETURN(-1);
        ScopedConnection connection;
        if (connection.open() < 0) return UL_ERROR_RETURN(-1);
        int flags = -2;
        if (!(mode & UL_SQLTABSPLIT_FPARTRESOLVED) &&
            (UL_SQLGlobalFlags & UL_SQLFLAG_CHECK4TABLEPARTITIONS) &&
            !ul_sqlispartitionclause(precondition)) {
            ULTableSplit partitions;
            const int rc = ul_sqlcheckpartitions(&partitions, table, nullptr, mode);
            if (rc < 0) return UL_ERROR_RETURN(-1);
            if (rc == 2) {
                out->takeEntries(&partitions);
                flags = UL_SPLITRESULT_NATIVE;
            } else if (rc == 1) {
                ULTableSplit joined;
                for (const ul_tablesegment_t& p : partitions) {
                    std::u16string clause;
                    if (precondition && *precondition) {
                        ul_sqlappendembedded(&clause, precondition, u" AND ( ");
                        ul_sqlappendembedded(&clause, p.condition(), u" )");
                    } else {
                        clause = p.condition();
                    }
                    if (joined.createSegmentEntry(p.rows, clause.c_str(), 0) < 0)
                        return UL_ERROR_RETURN(-1);
                }
                flags =
                    splitMulti(out, table, keyfields, nkeyfields, segment, totalcount, minsplits,
                               maxsplits, &joined,
                               mode | UL_SQLTABSPLIT_FPARTRESOLVED | UL_SQLTABSPLIT_FNOPREBRACKETS |
                                   UL_SQLTABSPLIT_FSMALLPARTWHOLE);
                if (flags >= 0) flags |= UL_SPLITRESULT_NATIVE;
            }
        }
        if (flags == -2) {
            if (mode & UL_SQLTABSPLIT_FPARTRESOLVED) {
                flags = splitCore(
                    out, table, keyfields, nkeyfields, segment, totalcount, minsplits, maxsplits,
                    precondition,
                    mode | UL_SQLTABSPLIT_FNOPREBRACKETS | UL_SQLTABSPLIT_FSMALLPARTWHOLE);
                if (flags >= 0) flags |= UL_SPLITRESULT_NATIVE;
            } else {
                flags = splitCore(out, table, keyfields, nkeyfields, segment, totalcount, minsplits,
                                  maxsplits, precondition, mode);
            }
        }
        if (flags < 0) return UL_ERROR_RETURN(-1);
        return finishSplit(out, flags, mode);
    });
}

int ul_sqlsplittablem(ULTableSplit* out, const char16_t* table, const char16_t* const* keyfields,
                      unsigned nkeyfields, double segment, ul_dbrowcount_t totalcount,
                      ul_dbrowcount_t minsplits, ul_dbrowcount_t maxsplits,
                      ULTableSplit* preconditions, int mode) {
    return ul_guarded([&]() -> int {
        if (checkEmptyOutput(out) < 0) return UL_ERROR_RETURN(-1);
        ScopedConnection connection;
        if (connection.open() < 0) return UL_ERROR_RETURN(-1);
        int flags = splitMulti(out, table, keyfields, nkeyfields, segment, totalcount, minsplits,
                               maxsplits, preconditions, mode);
        if (flags < 0) return UL_ERROR_RETURN(-1);
        if (mode & UL_SQLTABSPLIT_FPARTRESOLVED) flags |= UL_SPLITRESULT_NATIVE;
        return finishSplit(out, flags, mode);
    });
}

// The clauses the partition collectors write: a partition comment, a partition number, or the
// table of the row.
bool ul_sqlispartitionclause(const char16_t* condition) {
    return condition &&
           (ul_strstr(condition, u"-- PART ") || ul_strstr(condition, u"_PARTITION = ") ||
            ul_strstr(condition, u"tableoid = '"));
}

int ul_sqlcheckpartitions(ULTableSplit* clauses, const char16_t* table,
                          const ULTableSplit* preconditions, int mode) {
    const ul_sqldbsplitsupport_t* row = currentSplitSupport();
    if (!row) return UL_ERROR_RETURN(-1);
    if (!row->partitions) return 0;
    const int rc = row->partitions(clauses, table, preconditions, mode);
    return rc < 0 ? UL_ERROR_RETURN(-1) : rc;
}

// ==== range check ===============================================================================

namespace {

bool sameValues(const ul_sqlboundary_t& a, const ul_sqlboundary_t& b) {
    if (a.SQBND_NValues != b.SQBND_NValues) return false;
    for (unsigned i = 0; i < a.SQBND_NValues; ++i)
        if (a.value(i) != b.value(i) || ul_strcmp(a.fields[i], b.fields[i]) != 0)
            return false;
    return true;
}

bool emptyRange(const ul_sqlrange_t& r) {
    const unsigned nl = r.low.SQBND_NValues;
    const unsigned nh = r.high.SQBND_NValues;
    if (nl == 0 || nh == 0) return false;
    const int c = r.low.comparePrefix(r.high, std::min(nl, nh));
    return c > 0 || (c == 0 && nl == nh && !(r.lowInclusive && !r.highExclusive));
}

// Walks the conditions in list order, group by group (one group per pre-condition).
class RangeChecker {
  public:
    explicit RangeChecker(const ULTableSplit* preconditions) {
        if (!preconditions) return;
        for (const ul_tablesegment_t& p : *preconditions) pre_.emplace_back(p.condition());
    }

    int check(const ULTableSplit* conditions, int mode) {
        int index = 0;
        for (const ul_tablesegment_t& s : *conditions) {
            ++index;
            int group = -1;
            const char16_t* rest = split(s.condition(), &group);
            if (group != group_ && closeGroup() < 0) return UL_ERROR_RETURN(-1);
            group_ = group;
            if (!rest) continue;  // a part used as a whole
            ul_sqlrange_t range;
            if (ul_sqlwhere2range(rest, &range, &pool_) < 0) {
                if (mode & UL_SPLITRESULT_NATIVE) continue;
                return UL_ERROR_RETURN(-1);
            }
            if (checkOne(range, index, s.condition()) < 0) return UL_ERROR_RETURN(-1);
        }
        return closeGroup() < 0 ? UL_ERROR_RETURN(-1) : errors_;
    }

  private:
    // The condition without its pre-condition; null when it is the pre-condition alone.
    const char16_t* split(const char16_t* condition, int* group) const {
        for (size_t j = 0; j < pre_.size(); ++j) {
            if (pre_[j] == condition) {
                *group = static_cast<int>(j);
                return nullptr;
            }
            for (int mode : {0, int{UL_SQLTABSPLIT_FNOPREBRACKETS}}) {
                const std::u16string head = preconditionHead(pre_[j].c_str(), mode);
                if (const char16_t* rest = ul_stringstartcmp(condition, head.c_str())) {
                    *group = static_cast<int>(j);
                    return rest;
                }
            }
        }
        return condition;
    }

    int report(const std::u16string& text) {
        ++errors_;
        return ul_msgwrite_line399(1, u'E', text);
    }

    int checkOne(const ul_sqlrange_t& range, int index, const char16_t* condition) {
        if (!havePrevious_) {
            if (range.low.SQBND_NValues > 0 &&
                report(ul_format(u"Range check: condition #%d starts with a lower bound: %s", index,
                                 condition)) < 0)
                return UL_ERROR_RETURN(-1);
        } else if (!sameValues(previous_.high, range.low) || previous_.high.SQBND_NValues == 0 ||
                   previous_.highExclusive != range.lowInclusive) {
            if (report(ul_format(u"Range check: condition #%d does not start where condition #%d "
                                 u"ends: %s",
                                 index, previousIndex_, condition)) < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (emptyRange(range) &&
            report(ul_format(u"Range check: condition #%d selects no key range: %s", index,
                             condition)) < 0)
            return UL_ERROR_RETURN(-1);
        previous_.low.copy(range.low);
        previous_.high.copy(range.high);
        previous_.lowInclusive = range.lowInclusive;
        previous_.highExclusive = range.highExclusive;
        previousIndex_ = index;
        previousText_ = condition;
        havePrevious_ = true;
        return 0;
    }

    int closeGroup() {
        const bool open = havePrevious_ && previous_.high.SQBND_NValues > 0;
        havePrevious_ = false;
        if (open && report(ul_format(u"Range check: condition #%d ends with an upper bound: %s",
                                     previousIndex_, previousText_.c_str())) < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }

    std::vector<std::u16string> pre_;
    ul_strpool_t pool_;
    int errors_ = 0;
    int group_ = -2;
    bool havePrevious_ = false;
    ul_sqlrange_t previous_;
    int previousIndex_ = 0;
    std::u16string previousText_;
};

}  // namespace

int ul_sqlchecksplitrange(const ULTableSplit* conditions, const ULTableSplit* preconditions,
                          int mode) {
    return ul_guarded([&]() -> int {
        RangeChecker checker(preconditions);
        return checker.check(conditions, mode);
    });
}

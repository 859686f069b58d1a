// The PostgreSQL engine of the database interface, over libpq. docs/dbif-types.md lists how its
// column types map onto the interface's types.
//
// Connection: the conninfo string in the environment variable dbs_pgsql_conninfo, or libpq's
// own environment (PGHOST, PGPORT, PGDATABASE, PGUSER, PGPASSWORD, ...) when it is not set. The
// session runs with client_encoding UTF8, DateStyle ISO, extra_float_digits 3 (floats
// round-trip), standard_conforming_strings on and bytea_output hex, and is always inside a
// transaction block: BEGIN follows the connect and every commit and rollback.
//
// Names: dbs_pgsql_namecase ("upper", the default, or "lower") tells in which case the database
// holds the tool's tables and columns. Every statement reaches the server with the tool's
// identifiers quoted in that case, catalogue lookups fold the table name the same way, and
// every name the server reports comes back in upper case (dbif_pgsqltext.h).
//
// Savepoints: PostgreSQL aborts the whole transaction at the first failing statement. So that
// a failure the tool tolerates (dropping a table that does not exist) leaves the transaction
// usable, every exchange with the server runs between SAVEPOINT and RELEASE, and a failure
// rolls back to the savepoint. The caller sees nothing of it but its cost.
//
// Round trips: the commands of one call travel in libpq's pipeline mode, so that the savepoint,
// the statement (or every parameter row of an array) and the release cost one round trip.
// Closing a finished cursor and deallocating a dropped statement wait for the next exchange.
//
// Errors: the SQLSTATE decides the return code (undefined table, column or object: 103; unique
// violation: 26; a prepared statement that became invalid: 13; everything else: 99). The comm
// area's dbCode is the SQLSTATE read as a base-36 number (digits 0-9, letters 10-35; 42P01 is
// 6,844,177), -1 for failures without one (a lost connection); errorText is the primary message
// followed by " (SQLSTATE xxxxx)".
#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dbif.h"
#include "dbif_engines.h"
#include "dbif_pgsqltext.h"
#include "ulstring.h"
#include "ulstring2.h"

namespace {

// Type OIDs of the built-in types; they are fixed in every PostgreSQL cluster.
constexpr Oid kOidBool = 16;
constexpr Oid kOidBytea = 17;
constexpr Oid kOidChar = 18;
constexpr Oid kOidName = 19;
constexpr Oid kOidInt8 = 20;
constexpr Oid kOidInt2 = 21;
constexpr Oid kOidInt4 = 23;
constexpr Oid kOidText = 25;
constexpr Oid kOidOid = 26;
constexpr Oid kOidJson = 114;
constexpr Oid kOidXml = 142;
constexpr Oid kOidFloat4 = 700;
constexpr Oid kOidFloat8 = 701;
constexpr Oid kOidBpchar = 1042;
constexpr Oid kOidVarchar = 1043;
constexpr Oid kOidDate = 1082;
constexpr Oid kOidTime = 1083;
constexpr Oid kOidTimestamp = 1114;
constexpr Oid kOidTimestamptz = 1184;
constexpr Oid kOidInterval = 1186;
constexpr Oid kOidTimetz = 1266;
constexpr Oid kOidNumeric = 1700;
constexpr Oid kOidUuid = 2950;
constexpr Oid kOidJsonb = 3802;

constexpr int kVarHdrSize = 4;  // the offset of length type modifiers
constexpr char kTraceFile[] = "dbif_pgsql.cpp";

// Rows a FETCH asks for at least, unless the result has long columns: small batches would
// otherwise cost a round trip each.
constexpr unsigned kMinFetchRows = 100;
// Rows a FETCH asks for at most. The server collects the rows of a FETCH before it sends them;
// beyond a few hundred kilobytes that costs it more than the round trips saved. Larger
// batches are filled from several FETCHes.
constexpr unsigned kMaxFetchRows = 2000;

// How a result column's text becomes a cell.
enum class PgCellForm : uint8_t { integer, boolean, float4, float8, decimal, text, bpchar, bytea };

// ---- errors ------------------------------------------------------------------------------

long sqlstateNumber(const char* state) {
    if (!state || strlen(state) != 5) return -1;
    long value = 0;
    for (const char* p = state; *p; ++p) {
        int digit;
        if (*p >= '0' && *p <= '9') {
            digit = *p - '0';
        } else if (*p >= 'A' && *p <= 'Z') {
            digit = *p - 'A' + 10;
        } else {
            return -1;
        }
        value = value * 36 + digit;
    }
    return value;
}

enum : unsigned {
    kExPrepare = 1,       // only prepares: the open transaction stays fresh
    kExPreparedExec = 2,  // executes a named prepared statement: 0A000 means it became invalid
};

int mapSqlstate(const std::string& state, unsigned flags) {
    if (state == "42P01" || state == "42703" || state == "42704") return DBIF_RC_REJECTED;
    if (state == "23505") return DBIF_RC_DUPLICATE;
    if (state == "26000") return DBIF_RC_REPREPARE;
    if (state == "0A000" && (flags & kExPreparedExec)) return DBIF_RC_REPREPARE;
    return DBIF_RC_DB_ERROR;
}

// The first failure of an exchange.
struct PgFailure {
    size_t index = SIZE_MAX;  // the failing command, SIZE_MAX: none
    std::string state;        // SQLSTATE, empty when the failure has none
    std::string message;
};

int failureCode(const PgFailure& f, unsigned flags) {
    return f.state.empty() ? DBIF_RC_DB_ERROR : mapSqlstate(f.state, flags);
}

std::string failureText(const PgFailure& f) {
    return f.state.empty() ? f.message : f.message + " (SQLSTATE " + f.state + ")";
}

std::string trimmed(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::string formatVersion(int version) {
    // 150018 is 15.18; before release 10 the number held three parts (90624 is 9.6.24).
    if (version >= 100000) {
        return std::to_string(version / 10000) + "." + std::to_string(version % 10000);
    }
    return std::to_string(version / 10000) + "." + std::to_string(version / 100 % 100) + "." +
           std::to_string(version % 100);
}

// ---- session -----------------------------------------------------------------------------

class PgSender;

// The state one connection shares with its statements. Statements may outlive the connection
// object and a reconnect: they hold the session, and a session whose conn is null (or that
// belongs to an earlier connect) refuses their calls.
struct PgSession {
    PGconn* conn = nullptr;
    bool broken = false;  // the protocol state is lost: only a new connect helps
    dbif_commarea_t* area = nullptr;
    dbif_commarea_t orphanArea;  // the comm area once the connection object is gone
    unsigned long nextStatement = 0;
    unsigned long nextCursor = 0;
    unsigned long transaction = 0;            // serial of the open transaction
    bool fresh = true;                        // nothing has run in the open transaction yet
    int isolation = 0;                        // isolation control value for the next BEGIN
    int txIsolation = 0;                      // the value the open transaction began with
    std::vector<std::string> deferredCloses;  // cursors finished in the open transaction
    std::vector<std::string> deferredDeallocates;
    dbif_tracefn_t traceFn = nullptr;
    void* traceContext = nullptr;
    int traceLevel = 0;
    dbif_pgnamecase names = dbif_pgnamecase::upper;  // from dbs_pgsql_namecase at connect

    dbif_commarea_t& commArea() { return area ? *area : orphanArea; }
    // Starts an operation: the comm area forgets the previous one.
    void beginCall() {
        dbif_commarea_t& a = commArea();
        a.dbCode = 0;
        a.rowCount = 0;
        a.errorText.clear();
    }

    void trace(int level, int line, const std::string& text) {
        if (!traceFn || level > traceLevel) return;
        std::u16string line16 = ul_utf8to16(text.c_str(), text.size());
        traceFn(traceContext, kTraceFile, line, level, line16.c_str());
    }

    // Sets the comm area for a failure and returns rc.
    int fail(int rc, long dbCode, const std::string& text) {
        dbif_commarea_t& a = commArea();
        a.dbCode = dbCode;
        a.errorText = ul_utf8to16(text.c_str(), text.size());
        trace(1, __LINE__, "error " + std::to_string(rc) + ": " + text);
        return rc;
    }
    int failFromState(const PgFailure& f, unsigned flags) {
        return fail(failureCode(f, flags), sqlstateNumber(f.state.c_str()), failureText(f));
    }
    int notConnected() {
        return fail(DBIF_RC_DB_ERROR, -1,
                    broken ? "The connection to the PostgreSQL server is lost"
                           : "Not connected to a PostgreSQL server");
    }
    bool usable() const { return conn && !broken && PQstatus(conn) == CONNECTION_OK; }

    std::string beginText() const {
        return isolation == 2 ? "BEGIN ISOLATION LEVEL READ COMMITTED" : "BEGIN";
    }

    using Receive = std::function<bool(size_t index, PGresult* result)>;
    int exchange(const std::function<bool(PgSender&)>& send, const Receive& receive, unsigned flags,
                 size_t* failedIndex = nullptr);
    int endTransaction(const char* verb);
    int restoreAfterFailure(PgFailure* failure);
    int queryText(const char* sql, std::u16string* value);

    // A FETCH sent ahead for a reading statement, so that the server produces the next rows
    // while the client converts the current ones. Before anything else is sent, its result
    // is read and handed to deliver: the rows (or null), a return code, the engine's code
    // and the error text. One FETCH at most is ahead at any time.
    using Deliver = std::function<void(PGresult* rows, int rc, long dbCode, std::string text)>;
    const void* aheadOwner = nullptr;  // the statement the FETCH ahead belongs to, or null
    std::unique_ptr<PgSender> aheadSender;
    Deliver aheadDeliver;
    void sendAhead(const void* owner, const std::string& fetch, Deliver deliver);
    void drainAhead();
    void dropAhead() {
        aheadOwner = nullptr;
        aheadSender.reset();
        aheadDeliver = nullptr;
    }
};

// Queues the commands of one pipelined exchange.
class PgSender {
  public:
    explicit PgSender(PgSession* session) : s_(session) {}

    bool query(const std::string& sql, int n = 0, const char* const* values = nullptr,
               const int* lengths = nullptr, const int* formats = nullptr) {
        s_->trace(2, __LINE__, sql);
        return counted(
            PQsendQueryParams(s_->conn, sql.c_str(), n, nullptr, values, lengths, formats, 0));
    }
    // Executions of a prepared statement are traced by the caller, once for a whole array.
    bool execPrepared(const std::string& name, int n, const char* const* values, const int* lengths,
                      const int* formats) {
        return counted(PQsendQueryPrepared(s_->conn, name.c_str(), n, values, lengths, formats, 0));
    }
    bool prepare(const std::string& name, const std::string& sql) {
        s_->trace(2, __LINE__, "PREPARE " + (name.empty() ? "<unnamed>" : name) + ": " + sql);
        return counted(PQsendPrepare(s_->conn, name.c_str(), sql.c_str(), 0, nullptr));
    }
    bool describePortal(const std::string& name) {
        return counted(PQsendDescribePortal(s_->conn, name.c_str()));
    }
    bool sync() {
        if (!PQpipelineSync(s_->conn)) return false;
        syncs_.push_back(count_);
        return true;
    }
    void trace(const std::string& text) { s_->trace(2, __LINE__, text); }
    size_t count() const { return count_; }

    // Reads the results of every command and sync sent, in order. receive(i, result) gets
    // the successful results of commands [from, to) and keeps a result by returning true.
    // Records the first failure, except failures of commands [ignoreFrom, ignoreTo), which are
    // only traced. Returns false when the protocol state is lost.
    bool collect(size_t from, size_t to, const PgSession::Receive& receive, PgFailure* failure,
                 size_t ignoreFrom = 0, size_t ignoreTo = 0) {
        size_t nextSync = 0;
        for (size_t i = 0; i <= count_; ++i) {
            while (nextSync < syncs_.size() && syncs_[nextSync] == i) {
                PGresult* r = PQgetResult(s_->conn);
                bool ok = r && PQresultStatus(r) == PGRES_PIPELINE_SYNC;
                PQclear(r);
                if (!ok) return false;
                ++nextSync;
            }
            if (i == count_) break;
            while (PGresult* r = PQgetResult(s_->conn)) {
                ExecStatusType status = PQresultStatus(r);
                bool keep = false;
                if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE ||
                    status == PGRES_NONFATAL_ERROR) {
                    if (i >= ignoreFrom && i < ignoreTo) {
                        s_->trace(1, __LINE__, trimmed(PQresultErrorMessage(r)));
                    } else if (failure->index == SIZE_MAX) {
                        record(i, r, failure);
                    }
                } else if (status != PGRES_PIPELINE_ABORTED && i >= from && i < to) {
                    keep = receive(i - from, r);
                }
                if (!keep) PQclear(r);
            }
        }
        return nextSync == syncs_.size();
    }

  private:
    bool counted(int sent) {
        if (sent) ++count_;
        return sent != 0;
    }
    void record(size_t index, const PGresult* r, PgFailure* failure) {
        failure->index = index;
        const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        const char* primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
        failure->state = state ? state : "";
        failure->message = trimmed(primary ? primary : PQresultErrorMessage(r));
    }

    PgSession* s_;
    size_t count_ = 0;
    std::vector<size_t> syncs_;  // a sync follows this many commands
};

// Leaves pipeline mode after a complete exchange; a connection whose results could not all be
// read is marked broken, since its protocol state is unknown.
bool leavePipeline(PgSession* s, bool complete) {
    if (!complete || !PQexitPipelineMode(s->conn)) {
        s->broken = true;
        return false;
    }
    return true;
}

int PgSession::exchange(const std::function<bool(PgSender&)>& send, const Receive& receive,
                        unsigned flags, size_t* failedIndex) {
    drainAhead();
    commArea().dbCode = 0;
    commArea().errorText.clear();
    if (failedIndex) *failedIndex = SIZE_MAX;
    if (!usable()) return notConnected();
    if (!(flags & kExPrepare)) fresh = false;
    // Only a statement of the caller's own can have ended the transaction block (a COMMIT
    // text); the savepoint needs one.
    bool needBegin = PQtransactionStatus(conn) == PQTRANS_IDLE;
    if (needBegin) {
        ++transaction;
        txIsolation = isolation;
        deferredCloses.clear();
    }
    // A failure of a deferred command (a cursor or statement someone else removed) must not
    // fail the caller's command: the exchange then runs once more without them.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!PQenterPipelineMode(conn)) {
            broken = true;
            return notConnected();
        }
        PgSender s(this);
        bool sent = !needBegin || s.query(beginText());
        needBegin = false;
        sent = sent && s.query("SAVEPOINT tabrix_sp");
        size_t deferredFrom = s.count();
        if (attempt == 0) {
            for (const std::string& cmd : deferredDeallocates) sent = sent && s.query(cmd);
            for (const std::string& cmd : deferredCloses) sent = sent && s.query(cmd);
            deferredDeallocates.clear();
            deferredCloses.clear();
        }
        size_t from = s.count();
        sent = sent && send(s);
        size_t to = s.count();
        sent = sent && s.query("RELEASE SAVEPOINT tabrix_sp");
        sent = s.sync() && sent;
        PgFailure failure;
        bool complete = s.collect(from, to, receive, &failure);
        if (!leavePipeline(this, complete)) {
            if (failure.index != SIZE_MAX) return failFromState(failure, flags);
            return fail(DBIF_RC_DB_ERROR, -1, trimmed(PQerrorMessage(conn)));
        }
        if (failure.index == SIZE_MAX && !sent) {
            failure.index = to;
            failure.message = trimmed(PQerrorMessage(conn));
        }
        if (failure.index == SIZE_MAX) return DBIF_RC_OK;
        int restored = restoreAfterFailure(&failure);
        if (failure.index >= deferredFrom && failure.index < from && attempt == 0 &&
            restored == 0) {
            trace(1, __LINE__, "deferred command failed: " + failure.message);
            continue;
        }
        if (failedIndex) {
            *failedIndex =
                failure.index >= from && failure.index < to ? failure.index - from : SIZE_MAX;
        }
        return failFromState(failure, flags);
    }
    return DBIF_RC_OK;
}

// After a failed exchange: back to the savepoint, so that the transaction lives on. When even
// that fails, the transaction is lost: roll it back, begin the next one and say so.
int PgSession::restoreAfterFailure(PgFailure* failure) {
    trace(2, __LINE__, "ROLLBACK TO SAVEPOINT tabrix_sp; RELEASE SAVEPOINT tabrix_sp");
    PGresult* r = PQexec(conn, "ROLLBACK TO SAVEPOINT tabrix_sp; RELEASE SAVEPOINT tabrix_sp");
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (ok) return 0;
    trace(2, __LINE__, "ROLLBACK; " + beginText());
    r = PQexec(conn, ("ROLLBACK; " + beginText()).c_str());
    ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!ok) broken = true;
    ++transaction;
    fresh = true;
    txIsolation = isolation;
    deferredCloses.clear();
    failure->message += "; the transaction was rolled back";
    return -1;
}

// COMMIT or ROLLBACK, then BEGIN of the next transaction, in one round trip.
int PgSession::endTransaction(const char* verb) {
    drainAhead();
    commArea().dbCode = 0;
    commArea().errorText.clear();
    if (!usable()) return notConnected();
    if (!PQenterPipelineMode(conn)) {
        broken = true;
        return notConnected();
    }
    PgSender s(this);
    bool sent = s.query(verb) && s.sync();
    // Cursors end with the transaction. Statements to drop are dropped between the two
    // transactions, in a segment of their own: DEALLOCATE does not depend on a transaction,
    // and its failure (a statement already gone) touches neither.
    deferredCloses.clear();
    size_t deallocateFrom = s.count();
    for (const std::string& cmd : deferredDeallocates) sent = sent && s.query(cmd);
    deferredDeallocates.clear();
    size_t deallocateTo = s.count();
    if (deallocateTo > deallocateFrom) sent = s.sync() && sent;
    sent = sent && s.query(beginText()) && s.sync();
    std::string verbStatus;
    PgFailure failure;
    bool complete = s.collect(
        0, 1,
        [&](size_t, PGresult* r) {
            verbStatus = PQcmdStatus(r);
            return false;
        },
        &failure, deallocateFrom, deallocateTo);
    ++transaction;
    fresh = true;
    txIsolation = isolation;
    if (!leavePipeline(this, complete && sent)) {
        if (failure.index != SIZE_MAX) return failFromState(failure, 0);
        return fail(DBIF_RC_DB_ERROR, -1, trimmed(PQerrorMessage(conn)));
    }
    if (failure.index != SIZE_MAX) {
        // A failed BEGIN leaves no transaction: the next exchange begins one.
        return failFromState(failure, 0);
    }
    if (strcmp(verb, "COMMIT") == 0 && verbStatus == "ROLLBACK") {
        return fail(DBIF_RC_DB_ERROR, -1,
                    "The transaction had failed and was rolled back instead of committed");
    }
    return DBIF_RC_OK;
}

void PgSession::sendAhead(const void* owner, const std::string& fetch, Deliver deliver) {
    drainAhead();
    if (!usable() || !PQenterPipelineMode(conn)) {
        deliver(nullptr, DBIF_RC_DB_ERROR, -1,
                broken ? "The connection to the PostgreSQL server is lost"
                       : "Not connected to a PostgreSQL server");
        return;
    }
    aheadOwner = owner;
    aheadDeliver = std::move(deliver);
    aheadSender = std::make_unique<PgSender>(this);
    PgSender& s = *aheadSender;
    // A command libpq refuses is not counted; collect() then finds the failure.
    (void)(s.query("SAVEPOINT tabrix_sp") && s.query(fetch) &&
           s.query("RELEASE SAVEPOINT tabrix_sp"));
    s.sync();
}

void PgSession::drainAhead() {
    if (!aheadOwner) return;
    std::unique_ptr<PgSender> s = std::move(aheadSender);
    Deliver deliver = std::move(aheadDeliver);
    dropAhead();
    PGresult* rows = nullptr;
    PgFailure failure;
    bool complete = s->collect(
        1, 2,
        [&](size_t, PGresult* r) {
            rows = r;
            return true;
        },
        &failure);
    bool left = leavePipeline(this, complete);
    if (left && failure.index == SIZE_MAX && rows) {
        deliver(rows, DBIF_RC_OK, 0, std::string());
        return;
    }
    PQclear(rows);
    if (failure.index == SIZE_MAX) {
        failure.message = trimmed(PQerrorMessage(conn));
        if (failure.message.empty()) failure.message = "The FETCH delivered no result";
    } else if (left) {
        restoreAfterFailure(&failure);
    }
    trace(1, __LINE__, "FETCH ahead failed: " + failureText(failure));
    deliver(nullptr, failureCode(failure, 0), sqlstateNumber(failure.state.c_str()),
            failureText(failure));
}

// Runs a query of one value and returns it as text (empty for NULL).
int PgSession::queryText(const char* sql, std::u16string* value) {
    value->clear();
    return exchange([&](PgSender& s) { return s.query(sql); },
                    [&](size_t, PGresult* r) {
                        if (PQntuples(r) > 0 && PQnfields(r) > 0 && !PQgetisnull(r, 0, 0)) {
                            *value = ul_utf8to16(PQgetvalue(r, 0, 0),
                                                 static_cast<size_t>(PQgetlength(r, 0, 0)));
                        }
                        return false;
                    },
                    0);
}

// ---- parameters --------------------------------------------------------------------------

// The libpq form of one parameter row. Text forms live in one buffer that keeps its capacity
// from row to row; bytes are passed in binary format straight from the cells.
class PgParams {
  public:
    void build(const dbif_cell_t* cells, unsigned n) {
        values_.assign(n, nullptr);
        lengths_.assign(n, 0);
        formats_.assign(n, 0);
        offsets_.assign(n, SIZE_MAX);
        text_.clear();
        for (unsigned i = 0; i < n; ++i) {
            const dbif_cell_t& c = cells[i];
            size_t start = text_.size();
            switch (c.kind) {
                case dbif_kind::null:
                    continue;
                case dbif_kind::integer: {
                    char buf[24];
                    auto res = std::to_chars(buf, buf + sizeof buf, c.integer);
                    text_.append(buf, res.ptr);
                    break;
                }
                case dbif_kind::real:
                    appendReal(c.real);
                    break;
                case dbif_kind::decimal:
                    for (size_t k = 0; k < c.length; ++k) {
                        text_.push_back(static_cast<char>(c.text[k]));
                    }
                    break;
                case dbif_kind::text:
                    ul_utf16to8append(text_, c.text, c.length);
                    break;
                case dbif_kind::bytes:
                    // A non-null pointer even for an empty value: null would mean SQL NULL.
                    values_[i] = c.bytes ? reinterpret_cast<const char*>(c.bytes) : "";
                    lengths_[i] = static_cast<int>(c.length);
                    formats_[i] = 1;
                    continue;
            }
            offsets_[i] = start;
            lengths_[i] = static_cast<int>(text_.size() - start);
            text_.push_back('\0');
        }
        for (unsigned i = 0; i < n; ++i) {
            if (offsets_[i] != SIZE_MAX) values_[i] = text_.data() + offsets_[i];
        }
    }
    int count() const { return static_cast<int>(values_.size()); }
    const char* const* values() const { return values_.data(); }
    const int* lengths() const { return lengths_.data(); }
    const int* formats() const { return formats_.data(); }

  private:
    // The shortest text that reads back as the same double, so that a NUMERIC target gets
    // 0.1 and not 0.1000000000000000055...
    void appendReal(double v) {
        if (std::isnan(v)) {
            text_.append("NaN");
        } else if (std::isinf(v)) {
            text_.append(v < 0 ? "-Infinity" : "Infinity");
        } else {
            char buf[32];
            auto res = std::to_chars(buf, buf + sizeof buf, v);
            text_.append(buf, res.ptr);
        }
    }

    std::vector<const char*> values_;
    std::vector<int> lengths_;
    std::vector<int> formats_;
    std::vector<size_t> offsets_;
    std::string text_;
};

// ---- result columns ----------------------------------------------------------------------

// Digits after the point of a time type with typmod precision, 0 to 6 (-1: 6).
unsigned fractionChars(int typmod) {
    int precision = typmod < 0 || typmod > 6 ? 6 : typmod;
    return precision > 0 ? static_cast<unsigned>(precision) + 1 : 0;
}

// What PostgreSQL stores otherwise than other engines, for dbif_coldesc_t::crossEngineNote.
constexpr char16_t kNoteFloat4[] =
    u"PostgreSQL REAL holds 4-byte floating point numbers, read widened exactly (0.1 reads "
    u"0.100000001490116...)";
constexpr char16_t kNoteDigits[] =
    u"PostgreSQL keeps every digit of a NUMERIC, SQLite 15 significant digits";
constexpr char16_t kNoteDecimal[] =
    u"PostgreSQL keeps every digit of a NUMERIC, and NaN and infinity, SQLite 15 significant "
    u"digits and no NaN";
constexpr char16_t kNoteBlanks[] =
    u"PostgreSQL drops the trailing blanks of CHAR(n), which SQLite keeps";
constexpr char16_t kNoteDateText[] =
    u"PostgreSQL writes a date or time in ISO form, SQLite keeps the text it was stored with";

// The interface type of a result column, and how its text becomes a cell. Lengths of the
// date and time types are those of their ISO text for the years 1 to 9999 (a date has 10
// characters, as on every engine), time zone offsets taken at their longest ("+hh:mm:ss").
void describeColumn(Oid type, int typmod, dbif_coldesc_t* d, PgCellForm* form) {
    d->decimals = 0;
    d->length = 0;
    d->type = DBIF_TYPE_CHAR;
    d->crossEngineNote = nullptr;
    *form = PgCellForm::text;
    switch (type) {
        case kOidInt2:
            d->type = DBIF_TYPE_INT;
            d->length = 2;
            *form = PgCellForm::integer;
            break;
        case kOidInt4:
            d->type = DBIF_TYPE_INT;
            d->length = 4;
            *form = PgCellForm::integer;
            break;
        case kOidInt8:
        case kOidOid:  // unsigned 32-bit: only 8 bytes hold every value
            d->type = DBIF_TYPE_INT;
            d->length = 8;
            *form = PgCellForm::integer;
            break;
        case kOidBool:
            d->type = DBIF_TYPE_INT;
            d->length = 1;
            *form = PgCellForm::boolean;
            break;
        case kOidFloat4:
            d->type = DBIF_TYPE_FLOAT;
            d->length = 8;
            *form = PgCellForm::float4;
            d->crossEngineNote = kNoteFloat4;
            break;
        case kOidFloat8:
            d->type = DBIF_TYPE_FLOAT;
            d->length = 8;
            *form = PgCellForm::float8;
            break;
        case kOidNumeric: {
            *form = PgCellForm::decimal;
            d->type = DBIF_TYPE_DECIMAL;
            d->crossEngineNote = kNoteDecimal;
            if (typmod >= kVarHdrSize) {
                int precision = ((typmod - kVarHdrSize) >> 16) & 0xFFFF;
                int scale = (((typmod - kVarHdrSize) & 0x7FF) ^ 1024) - 1024;
                // A negative scale, or one above the precision, has no packed form.
                if (scale >= 0 && scale <= precision) {
                    d->type = DBIF_TYPE_PACKED;
                    d->length = static_cast<unsigned>(precision);
                    d->decimals = static_cast<unsigned>(scale);
                    d->crossEngineNote = precision > 15 ? kNoteDigits : nullptr;
                }
            }
            break;
        }
        case kOidBpchar:
            *form = PgCellForm::bpchar;
            if (typmod >= kVarHdrSize) d->length = static_cast<unsigned>(typmod - kVarHdrSize);
            d->crossEngineNote = kNoteBlanks;
            break;
        case kOidVarchar:
            if (typmod >= kVarHdrSize) d->length = static_cast<unsigned>(typmod - kVarHdrSize);
            break;
        case kOidChar:
            d->length = 1;
            break;
        case kOidName:
            d->length = 63;
            break;
        case kOidUuid:
            d->length = 36;
            break;
        case kOidDate:
            d->length = 10;
            d->crossEngineNote = kNoteDateText;
            break;
        case kOidTime:
            d->length = 8 + fractionChars(typmod);
            d->crossEngineNote = kNoteDateText;
            break;
        case kOidTimetz:
            d->length = 8 + fractionChars(typmod) + 9;
            d->crossEngineNote = kNoteDateText;
            break;
        case kOidTimestamp:
            d->length = 19 + fractionChars(typmod);
            d->crossEngineNote = kNoteDateText;
            break;
        case kOidTimestamptz:
            d->length = 19 + fractionChars(typmod) + 9;
            d->crossEngineNote = kNoteDateText;
            break;
        case kOidInterval:
            break;
        case kOidText:
        case kOidJson:
        case kOidJsonb:
        case kOidXml:
            d->type = DBIF_TYPE_LONGCHAR;
            break;
        case kOidBytea:
            d->type = DBIF_TYPE_BLOB;
            *form = PgCellForm::bytea;
            break;
        default:  // any other type: its text output
            break;
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ---- statement ---------------------------------------------------------------------------

class PgStatement : public DbIfStatement {
  public:
    PgStatement(std::shared_ptr<PgSession> session, std::string sql, std::string name,
                unsigned paramCount)
        : session_(std::move(session)),
          sql_(std::move(sql)),
          name_(std::move(name)),
          paramCount_(paramCount),
          cursorQuery_(dbif_pgiscursorquery(sql_)) {}

    ~PgStatement() override {
        // Without memory the server keeps the statement until the session ends.
        ul_tryquietly([&] {
            closeRead();
            if (!name_.empty() && session_->usable()) {
                session_->deferredDeallocates.push_back("DEALLOCATE " + name_);
            }
        });
    }

    unsigned paramCount() const override { return paramCount_; }
    int begRead(DbIfRowBatch* params) override {
        session_->beginCall();
        return dbif_guard(session_->commArea(), [&] {
            return session_->conn ? doBegRead(params) : session_->notConnected();
        });
    }
    int describe(std::vector<dbif_coldesc_t>* columns) override {
        session_->beginCall();
        return dbif_guard(session_->commArea(), [&] {
            return session_->conn ? doDescribe(columns) : session_->notConnected();
        });
    }
    int exeRead(DbIfRowBatch* batch, unsigned maxRows) override {
        session_->beginCall();
        return dbif_guard(session_->commArea(), [&] {
            return session_->conn ? doExeRead(batch, maxRows) : session_->notConnected();
        });
    }
    int endRead() override {
        session_->beginCall();
        return dbif_guard(session_->commArea(), [&] { return doEndRead(); });
    }
    int modify(DbIfRowBatch* params, unsigned long* processed) override {
        session_->beginCall();
        return dbif_guard(session_->commArea(), [&] {
            return session_->conn ? doModify(params, processed) : session_->notConnected();
        });
    }

  private:
    int doBegRead(DbIfRowBatch* params);
    int doDescribe(std::vector<dbif_coldesc_t>* columns);
    int doExeRead(DbIfRowBatch* batch, unsigned maxRows);
    int doEndRead();
    int doModify(DbIfRowBatch* params, unsigned long* processed);
    int runRows(DbIfRowBatch* params, size_t rows, unsigned long* count, size_t* failed);
    int checkParams(DbIfRowBatch* params, bool needRow);
    void takeDescription(const PGresult* r);
    unsigned fetchSize(unsigned maxRows) const {
        return std::min(hasLongColumn_ ? maxRows : std::max(maxRows, kMinFetchRows), kMaxFetchRows);
    }
    const char* fetchBlocked() const;
    void sendAhead(unsigned rows);
    int nextChunk(unsigned rows);
    void convertRows(DbIfRowBatch* batch, unsigned rows);
    void closeRead();
    void dropResult() {
        PQclear(result_);
        result_ = nullptr;
        resultRows_ = 0;
        resultPos_ = 0;
    }

    std::shared_ptr<PgSession> session_;
    std::string sql_;   // PostgreSQL's text: $n markers, no hint phrases
    std::string name_;  // the server's prepared statement; empty for queries
    unsigned paramCount_;
    bool cursorQuery_;
    PgParams params_;

    // The open read.
    bool reading_ = false;
    std::string cursor_;  // empty: the result came at once, no cursor
    unsigned long transaction_ = 0;
    bool cursorFailed_ = false;
    bool atEnd_ = false;          // the cursor has no rows beyond result_
    PGresult* result_ = nullptr;  // fetched rows not yet delivered start at resultPos_
    int resultRows_ = 0;
    int resultPos_ = 0;
    // What the FETCH sent ahead delivered (see PgSession::sendAhead).
    bool aheadReady_ = false;
    PGresult* ahead_ = nullptr;
    int aheadRc_ = 0;
    long aheadDbCode_ = 0;
    std::string aheadText_;
    unsigned aheadRows_ = 0;  // rows it asked for
    unsigned long delivered_ = 0;
    unsigned lastFetch_ = 0;  // FETCH size of the previous read, asked for at begRead
    bool hasLongColumn_ = false;
    std::vector<dbif_coldesc_t> columns_;
    std::vector<PgCellForm> forms_;
    std::vector<unsigned char> bytes_;
};

// Every marker needs a value: a row of at least paramCount_ cells (a query needs its row 0).
int PgStatement::checkParams(DbIfRowBatch* params, bool needRow) {
    if (paramCount_ == 0) return DBIF_RC_OK;
    if (!params || params->width() < paramCount_ || (needRow && params->rows() == 0)) {
        return session_->fail(
            DBIF_RC_DB_ERROR, -1,
            "The statement has " + std::to_string(paramCount_) + " parameter markers, but " +
                std::to_string(params ? params->rows() : 0) + " parameter rows of " +
                std::to_string(params ? params->width() : 0) + " values are bound");
    }
    // Text parameters travel zero-terminated, and PostgreSQL cannot store a NUL in text: a
    // value with one would arrive shortened.
    for (size_t r = 0; r < params->rows(); ++r) {
        const dbif_cell_t* cells = params->row(r);
        for (unsigned i = 0; i < paramCount_; ++i) {
            const dbif_cell_t& c = cells[i];
            if (c.kind == dbif_kind::text &&
                std::char_traits<char16_t>::find(c.text, c.length, u'\0') != nullptr) {
                return session_->fail(DBIF_RC_DB_ERROR, -1,
                                      "Parameter " + std::to_string(i + 1) +
                                          " holds a NUL character, which PostgreSQL cannot "
                                          "store in text");
            }
        }
    }
    return DBIF_RC_OK;
}

void PgStatement::takeDescription(const PGresult* r) {
    int n = PQnfields(r);
    columns_.assign(static_cast<size_t>(n), dbif_coldesc_t());
    forms_.assign(static_cast<size_t>(n), PgCellForm::text);
    hasLongColumn_ = false;
    for (int i = 0; i < n; ++i) {
        dbif_coldesc_t& d = columns_[static_cast<size_t>(i)];
        d.name = dbif_toolname(ul_utf8to16(PQfname(r, i)));
        describeColumn(PQftype(r, i), PQfmod(r, i), &d, &forms_[static_cast<size_t>(i)]);
        if (d.type == DBIF_TYPE_LONGCHAR || d.type == DBIF_TYPE_BLOB) hasLongColumn_ = true;
    }
}

int PgStatement::doBegRead(DbIfRowBatch* params) {
    closeRead();
    int rc = checkParams(params, true);
    if (rc) return rc;
    if (paramCount_) {
        params_.build(params->row(0), paramCount_);
    } else {
        params_.build(nullptr, 0);
    }
    delivered_ = 0;
    atEnd_ = false;
    cursorFailed_ = false;
    if (!cursorQuery_) {
        rc = session_->exchange(
            [&](PgSender& s) {
                return s.query(sql_, params_.count(), params_.values(), params_.lengths(),
                               params_.formats());
            },
            [&](size_t, PGresult* r) {
                takeDescription(r);
                result_ = r;
                resultRows_ = PQntuples(r);
                return true;
            },
            0);
        if (rc) {
            dropResult();
            return rc;
        }
        reading_ = true;
        atEnd_ = true;
        return DBIF_RC_OK;
    }
    std::string cursor = "tabrix_c" + std::to_string(++session_->nextCursor);
    std::string declare = "DECLARE " + cursor + " NO SCROLL CURSOR FOR " + sql_;
    unsigned prefetch = lastFetch_;
    std::string fetchText = "FETCH FORWARD " + std::to_string(prefetch) + " FROM " + cursor;
    rc = session_->exchange(
        [&](PgSender& s) {
            return s.query(declare, params_.count(), params_.values(), params_.lengths(),
                           params_.formats()) &&
                   s.describePortal(cursor) && (prefetch == 0 || s.query(fetchText));
        },
        [&](size_t index, PGresult* r) {
            if (index == 1) takeDescription(r);
            if (index != 2) return false;
            result_ = r;
            resultRows_ = PQntuples(r);
            atEnd_ = static_cast<unsigned>(resultRows_) < prefetch;
            return true;
        },
        0);
    if (rc) {
        dropResult();
        return rc;
    }
    cursor_ = cursor;
    transaction_ = session_->transaction;
    reading_ = true;
    if (result_ && !atEnd_) sendAhead(prefetch);
    return DBIF_RC_OK;
}

int PgStatement::doDescribe(std::vector<dbif_coldesc_t>* columns) {
    if (!reading_) {
        return session_->fail(DBIF_RC_DB_ERROR, -1, "describe() needs an open read");
    }
    *columns = columns_;
    return DBIF_RC_OK;
}

// Why the cursor cannot deliver more rows, or null.
const char* PgStatement::fetchBlocked() const {
    if (cursorFailed_) return "The read failed before";
    if (transaction_ != session_->transaction) return "The read was ended by a commit or rollback";
    return nullptr;
}

void PgStatement::sendAhead(unsigned rows) {
    if (fetchBlocked()) return;
    aheadRows_ = rows;
    session_->sendAhead(this, "FETCH FORWARD " + std::to_string(rows) + " FROM " + cursor_,
                        [this](PGresult* result, int rc, long dbCode, std::string text) {
                            ahead_ = result;
                            aheadRc_ = rc;
                            aheadDbCode_ = dbCode;
                            aheadText_ = std::move(text);
                            aheadReady_ = true;
                        });
}

// Replaces the used-up result_ by the next rows of the cursor, and sends the FETCH for the
// rows after them ahead unless the cursor has ended.
int PgStatement::nextChunk(unsigned rows) {
    dropResult();
    if (!aheadReady_ && session_->aheadOwner != this) {
        if (const char* reason = fetchBlocked()) {
            return session_->fail(DBIF_RC_DB_ERROR, -1, reason);
        }
        sendAhead(rows);
    }
    if (session_->aheadOwner == this) session_->drainAhead();
    if (!aheadReady_) return session_->fail(DBIF_RC_DB_ERROR, -1, "The FETCH got lost");
    aheadReady_ = false;
    if (aheadRc_) {
        cursorFailed_ = true;
        return session_->fail(aheadRc_, aheadDbCode_, aheadText_);
    }
    result_ = ahead_;
    ahead_ = nullptr;
    resultRows_ = PQntuples(result_);
    resultPos_ = 0;
    atEnd_ = static_cast<unsigned>(resultRows_) < aheadRows_;
    if (!atEnd_) sendAhead(rows);
    return DBIF_RC_OK;
}

void PgStatement::convertRows(DbIfRowBatch* batch, unsigned rows) {
    const unsigned ncols = static_cast<unsigned>(columns_.size());
    for (unsigned k = 0; k < rows; ++k, ++resultPos_) {
        size_t row = batch->addRow();
        for (unsigned c = 0; c < ncols; ++c) {
            int col = static_cast<int>(c);
            if (PQgetisnull(result_, resultPos_, col)) continue;
            const char* v = PQgetvalue(result_, resultPos_, col);
            size_t len = static_cast<size_t>(PQgetlength(result_, resultPos_, col));
            switch (forms_[c]) {
                case PgCellForm::integer: {
                    int64_t value = 0;
                    std::from_chars(v, v + len, value);
                    batch->setInteger(row, c, value);
                    break;
                }
                case PgCellForm::boolean:
                    batch->setInteger(row, c, v[0] == 't' ? 1 : 0);
                    break;
                case PgCellForm::float4: {
                    // The float4's own value, widened exactly.
                    float value = 0;
                    std::from_chars(v, v + len, value);
                    batch->setReal(row, c, value);
                    break;
                }
                case PgCellForm::float8: {
                    double value = 0;
                    std::from_chars(v, v + len, value);
                    batch->setReal(row, c, value);
                    break;
                }
                case PgCellForm::decimal:
                    batch->setDecimal(row, c, v, len);
                    break;
                case PgCellForm::bpchar:
                    while (len > 0 && v[len - 1] == ' ') --len;
                    batch->setTextUtf8(row, c, v, len);
                    break;
                case PgCellForm::text:
                    batch->setTextUtf8(row, c, v, len);
                    break;
                case PgCellForm::bytea: {
                    // Hex form: "\x" and two digits a byte.
                    size_t n = len >= 2 ? (len - 2) / 2 : 0;
                    bytes_.resize(n);
                    for (size_t i = 0; i < n; ++i) {
                        bytes_[i] = static_cast<unsigned char>(hexValue(v[2 + 2 * i]) << 4 |
                                                               hexValue(v[3 + 2 * i]));
                    }
                    batch->setBytes(row, c, bytes_.data(), n);
                    break;
                }
            }
        }
    }
}

int PgStatement::doExeRead(DbIfRowBatch* batch, unsigned maxRows) {
    session_->commArea().dbCode = 0;
    session_->commArea().errorText.clear();
    if (!reading_) {
        return session_->fail(DBIF_RC_DB_ERROR, -1, "exeRead() needs an open read");
    }
    if (maxRows == 0) maxRows = 1;
    batch->reset(static_cast<unsigned>(columns_.size()));
    unsigned size = fetchSize(maxRows);
    lastFetch_ = size;
    while (batch->rows() < maxRows) {
        if (resultPos_ < resultRows_) {
            unsigned take = std::min(maxRows - static_cast<unsigned>(batch->rows()),
                                     static_cast<unsigned>(resultRows_ - resultPos_));
            convertRows(batch, take);
            continue;
        }
        if (atEnd_) break;
        int rc = nextChunk(size);
        if (rc) return rc;
    }
    size_t rows = batch->rows();
    delivered_ += rows;
    session_->commArea().rowCount = static_cast<long>(delivered_);
    if (rows == 0) return DBIF_RC_NO_MORE_ROWS;
    return rows == maxRows ? DBIF_RC_PARTIAL : DBIF_RC_LAST_BATCH;
}

void PgStatement::closeRead() {
    if (session_->aheadOwner == this) session_->drainAhead();
    if (aheadReady_ && aheadRc_) cursorFailed_ = true;
    PQclear(ahead_);
    ahead_ = nullptr;
    aheadReady_ = false;
    dropResult();
    // A failed cursor cannot be closed; it ends with the transaction.
    if (!cursor_.empty() && !fetchBlocked() && session_->usable()) {
        session_->deferredCloses.push_back("CLOSE " + cursor_);
    }
    cursor_.clear();
    reading_ = false;
}

int PgStatement::doEndRead() {
    closeRead();
    if (!session_->conn) return session_->notConnected();
    session_->commArea().rowCount = static_cast<long>(delivered_);
    return DBIF_RC_OK;
}

// Executes the statement for parameter rows [0, rows) in one exchange. *count gets the rows
// the database processed, *failed the failing row (SIZE_MAX: none, or not a row's failure).
int PgStatement::runRows(DbIfRowBatch* params, size_t rows, unsigned long* count, size_t* failed) {
    *count = 0;
    auto addCount = [&](size_t, PGresult* r) {
        const char* tuples = PQcmdTuples(r);
        *count += tuples && *tuples ? strtoul(tuples, nullptr, 10) : 0;
        return false;
    };
    auto bindRow = [&](size_t r) {
        params_.build(paramCount_ ? params->row(r) : nullptr, paramCount_);
    };
    if (name_.empty()) {
        // A statement prepared as a query runs from its text.
        return session_->exchange(
            [&](PgSender& s) {
                for (size_t r = 0; r < rows; ++r) {
                    bindRow(r);
                    if (!s.query(sql_, params_.count(), params_.values(), params_.lengths(),
                                 params_.formats())) {
                        return false;
                    }
                }
                return true;
            },
            addCount, 0, failed);
    }
    return session_->exchange(
        [&](PgSender& s) {
            s.trace("EXECUTE " + name_ + " (" + std::to_string(rows) + " rows): " + sql_);
            for (size_t r = 0; r < rows; ++r) {
                bindRow(r);
                if (!s.execPrepared(name_, params_.count(), params_.values(), params_.lengths(),
                                    params_.formats())) {
                    return false;
                }
            }
            return true;
        },
        addCount, kExPreparedExec, failed);
}

// A failing row ends the call and the rows before it stay. Rolling back to the savepoint of
// the exchange takes them back as well, so they run once more in a second exchange: a failure
// costs one more round trip, and success none. Should a row before fail on the second run
// (another session committed in between), that row is the failing one.
int PgStatement::doModify(DbIfRowBatch* params, unsigned long* processed) {
    session_->commArea().rowCount = 0;
    if (int rc = checkParams(params, false)) return rc;
    size_t rows = params ? params->rows() : 1;
    unsigned long done = 0;
    int result = DBIF_RC_OK;
    long dbCode = 0;
    std::u16string errorText;
    while (rows > 0) {
        unsigned long count = 0;
        size_t failed = SIZE_MAX;
        int rc = runRows(params, rows, &count, &failed);
        if (rc == DBIF_RC_OK) {
            done = count;
            break;
        }
        result = rc;
        dbCode = session_->commArea().dbCode;
        errorText = session_->commArea().errorText;
        rows = failed == SIZE_MAX ? 0 : failed;
    }
    if (result != DBIF_RC_OK) {
        session_->commArea().dbCode = dbCode;
        session_->commArea().errorText = std::move(errorText);
    }
    if (processed) *processed += done;
    session_->commArea().rowCount = static_cast<long>(done);
    return result;
}

// ---- connection --------------------------------------------------------------------------

// Notices (a DROP ... IF EXISTS that found nothing) go to the trace instead of standard error.
void traceNotice(void* session, const char* message) {
    static_cast<PgSession*>(session)->trace(2, __LINE__, trimmed(message));
}

// Storage figures of the server: a table's relation with its TOAST data but without its
// indexes, an index's relation (which must index the given table), a database's total.
constexpr dbif_objsizequeries_t kObjectSizeQueries = {
    u"SELECT pg_table_size(c.oid) FROM pg_catalog.pg_class c "
    u"WHERE c.oid = to_regclass(quote_ident(?)) AND c.relkind IN ('r', 'p', 'm')",
    u"SELECT pg_relation_size(c.oid) FROM pg_catalog.pg_class c "
    u"JOIN pg_catalog.pg_index i ON i.indexrelid = c.oid "
    u"WHERE c.oid = to_regclass(quote_ident(?)) AND i.indrelid = to_regclass(quote_ident(?))",
    u"SELECT pg_database_size(d.oid) FROM pg_catalog.pg_database d WHERE d.datname = ?",
};

class PgConnection : public DbIfConnection {
  public:
    PgConnection() : session_(newSession()) {}
    ~PgConnection() override {
        disconnect();
        session_->area = nullptr;
    }

    int connect() override {
        session_->beginCall();
        return dbif_guard(commArea_, [&] { return doConnect(); });
    }
    int disconnect() override {
        session_->beginCall();
        return dbif_guard(commArea_, [&] { return doDisconnect(); });
    }
    int commit() override {
        session_->beginCall();
        return dbif_guard(commArea_, [&] { return session_->endTransaction("COMMIT"); });
    }
    int rollback() override {
        session_->beginCall();
        return dbif_guard(commArea_, [&] { return session_->endTransaction("ROLLBACK"); });
    }
    int prepare(const char16_t* sql, int stmtClass,
                std::unique_ptr<DbIfStatement>* statement) override {
        session_->beginCall();
        return dbif_guard(commArea_, [&] { return doPrepare(sql, stmtClass, statement); });
    }
    int execute(const char16_t* sql) override {
        session_->beginCall();
        return dbif_guard(commArea_, [&] { return doExecute(sql); });
    }
    int control(int code, dbif_control_t* argument) override {
        session_->beginCall();
        return dbif_guard(commArea_, [&] { return doControl(code, argument); });
    }
    int describeNative(const char16_t* table, dbif_cattable_t* out) override;
    int listObjects(dbif_catobjects_t* request) override;
    int listDependencies(dbif_catobjects_t* request) override;
    std::u16string catalogName(const std::u16string& name) override {
        return dbif_pgschemaname(name, session_->names);
    }

  private:
    int doConnect();
    int doDisconnect();
    int doPrepare(const char16_t* sql, int stmtClass, std::unique_ptr<DbIfStatement>* statement);
    int doExecute(const char16_t* sql);
    int doControl(int code, dbif_control_t* argument);
    std::shared_ptr<PgSession> newSession() {
        auto s = std::make_shared<PgSession>();
        s->area = &commArea_;
        return s;
    }
    int setIsolation(long value);

    std::shared_ptr<PgSession> session_;
};

int PgConnection::doConnect() {
    PgSession& s = *session_;
    if (s.conn) return s.fail(DBIF_RC_DB_ERROR, -1, "Already connected to a PostgreSQL server");
    const char* nameCase = getenv("dbs_pgsql_namecase");
    if (!dbif_pgparsenamecase(nameCase, &s.names)) {
        return s.fail(DBIF_RC_DB_ERROR, -1,
                      std::string("Invalid dbs_pgsql_namecase '") + nameCase +
                          "': expected 'upper' or 'lower'");
    }
    // The conninfo string may hold a password: it goes to no trace.
    const char* conninfo = getenv("dbs_pgsql_conninfo");
    const char* keywords[] = {"dbname", "fallback_application_name", nullptr};
    const char* values[] = {conninfo ? conninfo : "", "tabrix", nullptr};
    s.trace(2, __LINE__,
            conninfo ? "connect with dbs_pgsql_conninfo" : "connect with libpq's environment");
    s.conn = PQconnectdbParams(keywords, values, 1);
    if (!s.conn) return s.fail(DBIF_RC_DB_ERROR, -1, "Out of memory for the connection");
    if (PQstatus(s.conn) != CONNECTION_OK) {
        std::string text = trimmed(PQerrorMessage(s.conn));
        PQfinish(s.conn);
        s.conn = nullptr;
        return s.fail(DBIF_RC_DB_ERROR, -1, text);
    }
    PQsetNoticeProcessor(s.conn, traceNotice, &s);
    std::string setup =
        "SET client_encoding TO 'UTF8'; SET DateStyle TO 'ISO'; SET extra_float_digits TO 3; "
        "SET standard_conforming_strings TO on; SET bytea_output TO 'hex'; " +
        s.beginText();
    s.trace(2, __LINE__, setup);
    PGresult* r = PQexec(s.conn, setup.c_str());
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    std::string text = ok ? "" : trimmed(PQresultErrorMessage(r));
    PQclear(r);
    if (!ok) {
        PQfinish(s.conn);
        s.conn = nullptr;
        return s.fail(DBIF_RC_DB_ERROR, -1, text);
    }
    s.transaction++;
    s.fresh = true;
    s.txIsolation = s.isolation;
    s.trace(1, __LINE__,
            std::string("connected to database ") + PQdb(s.conn) + " as " + PQuser(s.conn) +
                " on " + PQhost(s.conn) + ":" + PQport(s.conn) + " (server " +
                formatVersion(PQserverVersion(s.conn)) + "), names in " +
                (s.names == dbif_pgnamecase::lower ? "lower" : "upper") + " case");
    return DBIF_RC_OK;
}

int PgConnection::doDisconnect() {
    if (!session_->conn) return DBIF_RC_OK;
    session_->trace(2, __LINE__, "disconnect");
    session_->dropAhead();
    PQfinish(session_->conn);
    session_->conn = nullptr;
    // Statements of this session must not reach the next connect's server session.
    auto next = newSession();
    next->isolation = session_->isolation;
    next->traceFn = session_->traceFn;
    next->traceContext = session_->traceContext;
    next->traceLevel = session_->traceLevel;
    session_->area = nullptr;
    session_ = next;
    return DBIF_RC_OK;
}

int PgConnection::doPrepare(const char16_t* sql, int stmtClass,
                            std::unique_ptr<DbIfStatement>* statement) {
    statement->reset();
    std::string text;
    long markers = dbif_pgconvertsql(sql, true, session_->names, &text);
    if (markers < 0) {
        return session_->fail(DBIF_RC_DB_ERROR, -1,
                              "Hint phrase without closing bracket in: " + ul_utf16to8(sql));
    }
    // Queries run through cursors from their text; the unnamed statement only checks them.
    std::string name;
    if (stmtClass != DBIF_CLASS_READ) name = "tabrix_s" + std::to_string(++session_->nextStatement);
    int rc = session_->exchange([&](PgSender& s) { return s.prepare(name, text); },
                                [](size_t, PGresult*) { return false; }, kExPrepare);
    if (rc) return rc;
    *statement = std::make_unique<PgStatement>(session_, std::move(text), std::move(name),
                                               static_cast<unsigned>(markers));
    return DBIF_RC_OK;
}

int PgConnection::doExecute(const char16_t* sql) {
    std::string text;
    if (dbif_pgconvertsql(sql, false, session_->names, &text) < 0) {
        return session_->fail(DBIF_RC_DB_ERROR, -1,
                              "Hint phrase without closing bracket in: " + ul_utf16to8(sql));
    }
    long rows = 0;
    int rc = session_->exchange([&](PgSender& s) { return s.query(text); },
                                [&](size_t, PGresult* r) {
                                    const char* tuples = PQcmdTuples(r);
                                    rows = tuples && *tuples ? strtol(tuples, nullptr, 10) : 0;
                                    return false;
                                },
                                0);
    commArea_.rowCount = rows;
    return rc;
}

// The level applies from the next transaction; the open one is begun anew when nothing has
// run in it yet, which is the case right after connect, commit and rollback.
int PgConnection::setIsolation(long value) {
    if (value != 0 && value != 2) {
        return session_->fail(DBIF_RC_NOT_SUPPORTED, -1,
                              "Isolation level " + std::to_string(value) + " is not supported");
    }
    PgSession& s = *session_;
    s.isolation = static_cast<int>(value);
    if (!s.usable() || !s.fresh || s.txIsolation == s.isolation) return DBIF_RC_OK;
    return s.endTransaction("ROLLBACK");
}

int PgConnection::doControl(int code, dbif_control_t* argument) {
    PgSession& s = *session_;
    switch (code) {
        case DBIF_CTL_ISOLATION:
            return setIsolation(argument->intValue);
        case DBIF_CTL_TRACE:
            s.traceLevel = static_cast<int>(argument->intValue);
            s.traceFn = argument->trace;
            s.traceContext = argument->traceContext;
            return DBIF_RC_OK;
        case DBIF_CTL_CLIENT_VERSION:
            argument->text = ul_utf8to16(("libpq " + formatVersion(PQlibVersion())).c_str());
            return DBIF_RC_OK;
        case DBIF_CTL_USER:
            return s.queryText("SELECT current_user", &argument->text);
        case DBIF_CTL_SCHEMA:
            return s.queryText("SELECT current_schema()", &argument->text);
        case DBIF_CTL_HOST:
        case DBIF_CTL_VERSION:
            if (!s.usable()) return s.notConnected();
            if (code == DBIF_CTL_HOST) {
                argument->text = ul_utf8to16(PQhost(s.conn));
            } else {
                argument->text =
                    ul_utf8to16(("PostgreSQL " + formatVersion(PQserverVersion(s.conn))).c_str());
            }
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
            return s.fail(DBIF_RC_NOT_SUPPORTED, -1,
                          "Control code " + std::to_string(code) +
                              " is not supported by the PostgreSQL engine");
    }
}

// The columns of a table or view of the search path, named as a quoted identifier in the case
// of the schema, from the system catalogue: each column's type and type modifier give the same
// description as a result column of that type, and the primary-key index marks the key fields.
int PgConnection::describeNative(const char16_t* table, dbif_cattable_t* out) {
    static constexpr char16_t kColumns[] =
        u"SELECT a.attname, a.atttypid, a.atttypmod, a.attnotnull, "
        u"COALESCE(a.attnum = ANY (i.indkey), false), c.relkind "
        u"FROM pg_catalog.pg_class c "
        u"JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 "
        u"AND NOT a.attisdropped "
        u"LEFT JOIN pg_catalog.pg_index i ON i.indrelid = c.oid AND i.indisprimary "
        u"WHERE c.oid = to_regclass(quote_ident(?)) ORDER BY a.attnum";
    *out = dbif_cattable_t();
    auto onColumn = [&](const dbif_cell_t* c, unsigned) -> int {
        dbif_catfield_t f;
        f.name = dbif_toolname(dbif_cattext(c[0]));
        long type = 0, typmod = 0, flag = 0;
        dbif_catnumber(c[1], &type);
        dbif_catnumber(c[2], &typmod);
        dbif_coldesc_t desc;
        PgCellForm form;
        describeColumn(static_cast<Oid>(type), static_cast<int>(typmod), &desc, &form);
        f.dbType = desc.type;
        f.dbLength = desc.length;
        f.decimals = desc.decimals;
        f.notNull = dbif_catnumber(c[3], &flag) && flag != 0;
        f.key = dbif_catnumber(c[4], &flag) && flag != 0;
        const std::u16string kind = dbif_cattext(c[5]);
        if (kind == u"v" || kind == u"m") out->tabForm = u'V';
        out->fields.push_back(std::move(f));
        return DBIF_RC_OK;
    };
    int rc =
        dbif_catalogquery(*this, kColumns, {dbif_pgschemaname(table, session_->names)}, onColumn);
    if (rc) return rc;
    return out->fields.empty() ? DBIF_RC_NOT_FOUND : DBIF_RC_OK;
}


// ---- native objects --------------------------------------------------------------------------

// The schemas of PostgreSQL itself.
bool pgSystemSchema(const std::u16string& schema) {
    return schema.rfind(u"PG_", 0) == 0 || schema == u"INFORMATION_SCHEMA";
}

dbif_catobject_t pgObject(const dbif_cell_t& schema, const dbif_cell_t& name, std::u16string type) {
    dbif_catobject_t o;
    o.schema = dbif_toolname(dbif_cattext(schema));
    o.name = dbif_toolname(dbif_cattext(name));
    o.type = std::move(type);
    o.system = pgSystemSchema(o.schema);
    return o;
}

// The object type of a relation kind (pg_class.relkind; 'T' stands for a trigger).
std::u16string pgRelationType(const std::u16string& kind, const std::u16string& persistence) {
    if (kind == u"v" || kind == u"m") return u"VIEW";
    if (kind == u"S") return u"SEQUENCE";
    if (kind == u"c") return u"TABLETYPE";
    if (kind == u"T") return u"TRIGGER";
    return persistence == u"t" ? u"TEMPTABLE" : u"TABLE";
}

// Tables, views, sequences and composite types; functions and procedures that no extension
// brought; triggers that are not the server's own (constraint triggers of foreign keys). One
// schema, matched ignoring case, or the current one.
int PgConnection::listObjects(dbif_catobjects_t* request) {
    static constexpr char16_t kObjects[] =
        u"WITH s AS (SELECT oid FROM pg_catalog.pg_namespace WHERE %s) "
        u"SELECT n.nspname, c.relname, c.relkind::text, c.relpersistence::text FROM pg_catalog.pg_class c "
        u"JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        u"WHERE c.relnamespace IN (SELECT oid FROM s) AND c.relkind IN ('r', 'p', 'v', 'm', 'S', 'c') "
        u"UNION ALL SELECT n.nspname, p.proname, CASE WHEN p.prokind = 'p' THEN 'P' ELSE 'F' END, "
        u"'f' FROM pg_catalog.pg_proc p JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace "
        u"WHERE p.pronamespace IN (SELECT oid FROM s) AND p.prokind IN ('f', 'p') AND NOT EXISTS "
        u"(SELECT 1 FROM pg_catalog.pg_depend e WHERE e.classid = 'pg_catalog.pg_proc'::regclass "
        u"AND e.objid = p.oid AND e.deptype = 'e') "
        u"UNION ALL SELECT n.nspname, t.tgname, 'T', 'p' FROM pg_catalog.pg_trigger t "
        u"JOIN pg_catalog.pg_class c ON c.oid = t.tgrelid "
        u"JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        u"WHERE c.relnamespace IN (SELECT oid FROM s) AND NOT t.tgisinternal ORDER BY 1, 2";
    auto onObject = [&](const dbif_cell_t* c, unsigned) -> int {
        const std::u16string kind = dbif_cattext(c[2]);
        std::u16string type = kind == u"P"   ? u"PROCEDURE"
                              : kind == u"F" ? u"FUNCTION"
                                             : pgRelationType(kind, dbif_cattext(c[3]));
        request->objects.push_back(pgObject(c[0], c[1], std::move(type)));
        return DBIF_RC_OK;
    };
    if (request->schemas.empty())
        return dbif_catalogquery(*this, ul_format(kObjects, u"nspname = current_schema()"), {},
                                 onObject);
    const std::u16string sql = ul_format(kObjects, u"upper(nspname) = ?");
    for (const auto& schema : request->schemas) {
        if (int rc = dbif_catalogquery(*this, sql, {schema}, onObject)) return rc;
    }
    return DBIF_RC_OK;
}

// Views on the relations their rewrite rules read, and triggers on their tables.
int PgConnection::listDependencies(dbif_catobjects_t* request) {
    static constexpr char16_t kDependencies[] =
        u"SELECT DISTINCT bn.nspname, b.relname, b.relkind::text, b.relpersistence::text, dn.nspname, "
        u"d.relname, d.relkind::text, d.relpersistence::text FROM pg_catalog.pg_depend dep "
        u"JOIN pg_catalog.pg_rewrite r ON r.oid = dep.objid "
        u"JOIN pg_catalog.pg_class d ON d.oid = r.ev_class "
        u"JOIN pg_catalog.pg_class b ON b.oid = dep.refobjid "
        u"JOIN pg_catalog.pg_namespace dn ON dn.oid = d.relnamespace "
        u"JOIN pg_catalog.pg_namespace bn ON bn.oid = b.relnamespace "
        u"WHERE dep.classid = 'pg_catalog.pg_rewrite'::regclass "
        u"AND dep.refclassid = 'pg_catalog.pg_class'::regclass AND b.oid <> d.oid "
        u"UNION SELECT n.nspname, c.relname, c.relkind::text, c.relpersistence::text, n.nspname, t.tgname, "
        u"'T', 'p' FROM pg_catalog.pg_trigger t JOIN pg_catalog.pg_class c ON c.oid = t.tgrelid "
        u"JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE NOT t.tgisinternal "
        u"ORDER BY 1, 2, 5, 6";
    return dbif_catalogquery(*this, kDependencies, {}, [&](const dbif_cell_t* c, unsigned) -> int {
        dbif_catdependency_t d;
        d.base = pgObject(c[0], c[1], pgRelationType(dbif_cattext(c[2]), dbif_cattext(c[3])));
        d.dependent = pgObject(c[4], c[5], pgRelationType(dbif_cattext(c[6]), dbif_cattext(c[7])));
        request->dependencies.push_back(std::move(d));
        return DBIF_RC_OK;
    });
}

}  // namespace

std::unique_ptr<DbIfConnection> dbif_pgsql_create() {
    return std::make_unique<PgConnection>();
}

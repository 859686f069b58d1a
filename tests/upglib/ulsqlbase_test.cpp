#include "ulsqlbase.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dbif_fake.h"
#include "dbif_faulty.h"
#include "sqltestutil.h"
#include "tempdir.h"
#include "testutil.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulsqlutil.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

// ---- a FAKE wrapper with what FAKE cannot script -------------------------------------------

// "WRAPFAKE" passes every call to a FAKE connection, but emits trace lines while connecting,
// may report more rows read than it delivered, and counts (or fails) long-value pieces.
struct WrapScript {
    long extraReadRows = 0;
    size_t pieces = 0;
    int pieceResult = DBIF_RC_OK;  // anything else: every piece read fails with it
    std::vector<std::pair<int, std::u16string>> connectTrace;  // level, text
};
WrapScript g_wrap;

class WrapConnection : public DbIfConnection {
  public:
    WrapConnection() : inner_(dbif_open(u"FAKE")) {}
    int connect() override {
        for (const auto& [level, text] : g_wrap.connectTrace)
            if (trace_ && level <= level_)
                trace_(context_, "wrapfake.cpp", 100 + level, level, text.c_str());
        return sync(inner_->connect());
    }
    int disconnect() override { return sync(inner_->disconnect()); }
    int commit() override { return sync(inner_->commit()); }
    int rollback() override { return sync(inner_->rollback()); }
    int prepare(const char16_t* sql, int stmtClass,
                std::unique_ptr<DbIfStatement>* statement) override;
    int execute(const char16_t* sql) override { return sync(inner_->execute(sql)); }
    int control(int code, dbif_control_t* argument) override {
        if (code == DBIF_CTL_TRACE) {
            level_ = static_cast<int>(argument->intValue);
            trace_ = level_ > 0 ? argument->trace : nullptr;
            context_ = argument->traceContext;
        }
        return sync(inner_->control(code, argument));
    }
    int sync(int rc, long extraRows = 0) {
        commArea_ = inner_->commArea();
        commArea_.rowCount += extraRows;
        return rc;
    }

  private:
    std::unique_ptr<DbIfConnection> inner_;
    dbif_tracefn_t trace_ = nullptr;
    void* context_ = nullptr;
    int level_ = 0;
};

class WrapStatement : public DbIfStatement {
  public:
    WrapStatement(std::unique_ptr<DbIfStatement> inner, WrapConnection* connection)
        : inner_(std::move(inner)), c_(connection) {}
    unsigned paramCount() const override { return inner_->paramCount(); }
    int begRead(DbIfRowBatch* params) override { return c_->sync(inner_->begRead(params)); }
    int describe(std::vector<dbif_coldesc_t>* columns) override {
        return c_->sync(inner_->describe(columns));
    }
    int exeRead(DbIfRowBatch* batch, unsigned maxRows) override {
        return c_->sync(inner_->exeRead(batch, maxRows), g_wrap.extraReadRows);
    }
    int endRead() override { return c_->sync(inner_->endRead(), g_wrap.extraReadRows); }
    int modify(DbIfRowBatch* params, unsigned long* processed) override {
        return c_->sync(inner_->modify(params, processed));
    }
    int lobGetPiece(DbIfRowBatch* batch, size_t row, unsigned column, size_t offset,
                    size_t capacity, dbif_cell_t* piece) override {
        if (g_wrap.pieceResult != DBIF_RC_OK) return g_wrap.pieceResult;
        const int rc = inner_->lobGetPiece(batch, row, column, offset, capacity, piece);
        g_wrap.pieces += rc == DBIF_RC_OK;
        return rc;
    }

  private:
    std::unique_ptr<DbIfStatement> inner_;
    WrapConnection* c_;
};

int WrapConnection::prepare(const char16_t* sql, int stmtClass,
                            std::unique_ptr<DbIfStatement>* statement) {
    std::unique_ptr<DbIfStatement> inner;
    int rc = sync(inner_->prepare(sql, stmtClass, &inner));
    if (inner) *statement = std::make_unique<WrapStatement>(std::move(inner), this);
    return rc;
}

// ---- support rows for the test engines -----------------------------------------------------

ul_sqldbsupport_t testRow(int type, const char16_t* code, const char16_t* engine) {
    return {type, code, code, u"~~^", 0, u"\"%s\"", engine, nullptr, nullptr, nullptr, nullptr};
}

const ul_sqldbsupport_t kTestRows[] = {
    testRow(UL_DBTYPE_SQLITE, u"FAKE", u"FAKE"),
    testRow(UL_DBTYPE_SQLITE, u"WRAPFAKE", u"WRAPFAKE"),
    testRow(UL_DBTYPE_ZSE, u"WRAPZSE", u"WRAPFAKE"),
    testRow(UL_DBTYPE_SQLITE, u"FAULTY", u"FAULTY"),
    testRow(UL_DBTYPE_SQLITE, u"NOENGINE", u"NOSUCHENGINE"),
    fakeVendorRow(UL_DBTYPE_ORA, u"ORAFAKE"),
};

using Collect = CollectRows;

size_t countOps(dbif_fakeop op) {
    size_t n = 0;
    for (const dbif_fakecall_t& c : dbif_fake_calls()) n += c.op == op;
    return n;
}

// ---- fixture ---------------------------------------------------------------------------------

class UlSqlBaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ul_msgwrite_reset();
        ul_traceresetlevels();
        ul_sqlresetglobalflags();
        ASSERT_EQ(ul_sqlsetisolevel(0), 0);
        ul_errorsetmsg(0, nullptr);
        dbif_fake_register();
        dbif_register(u"WRAPFAKE",
                      [] { return std::unique_ptr<DbIfConnection>(new WrapConnection); });
        g_wrap = WrapScript();
        ul_sqlsettestdbsupport(kTestRows, std::size(kTestRows));
    }
    void TearDown() override {
        if (ul_sqlisconnected()) (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);  // cleanup only
        ul_sqlsettestdbsupport(nullptr, 0);
        dbif_fake_reset();
        ASSERT_EQ(ul_sqlsetisolevel(0), 0);
        ul_msgwrite_reset();
        ul_traceresetlevels();
        ul_tracesetglobalfileptr(nullptr);
        ul_sqlresetglobalflags();
    }
    // Log lines from here on.
    void captureLog() {
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
    }
    std::string log() { return log_.text(); }
    void connect(const char* type = "FAKE") {
        setenv("dbms_type", type, 1);
        ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << u8(ul_errorgetmsg());
    }

    MemoryStream log_;
    ScopedEnv dbmsType_{"dbms_type", "FAKE"};
};

// ---- isolation level -------------------------------------------------------------------------

TEST_F(UlSqlBaseTest, IsolationLevels) {
    const struct {
        const char16_t* keyword;
        int level;
    } words[] = {{u"committed", 1},   {u"Committed", 1}, {u"DEFAULT", 0}, {u"commit", -1},
                 {u"committed ", -1}, {u"", -1},         {u"1", -1},      {nullptr, -1}};
    for (const auto& c : words) EXPECT_EQ(ul_sqlisolevelfromstring(c.keyword), c.level);
    captureLog();
    EXPECT_EQ(ul_sqlgetisolevel(), 0);
    EXPECT_EQ(ul_sqlsetisolevel(UL_ISOLEVEL_COMMITTED), 0);
    EXPECT_EQ(ul_sqlgetisolevel(), 1);
    for (int invalid : {2, -1}) {
        EXPECT_TRUE(failedWith(ul_sqlsetisolevel(invalid),
                               concat("Invalid isolation level ", std::to_string(invalid))));
        EXPECT_EQ(ul_sqlgetisolevel(), 1);
    }
    EXPECT_EQ(ul_sqlsetisolevel(UL_ISOLEVEL_DEFAULT), 0);
    EXPECT_EQ(ul_sqlgetisolevel(), 0);
    // While connected the level applies at once.
    connect();
    ASSERT_EQ(ul_sqlsetisolevel(1), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(log(),
              "3 ETQ399 Setting isolation level to 'COMMITTED' for future.\n"
              "3 ETQ399 Setting isolation level to 'DEFAULT' for future.\n"
              "3 ETQ399 Setting isolation level to 'COMMITTED'.\n");
    // The engine refuses the level: the setting fails, and so does every commit, rollback and
    // connect, because each of them applies the level again.
    dbif_fake_setcontrol(DBIF_CTL_ISOLATION, DBIF_RC_NOT_SUPPORTED, u"no such level");
    const std::string refused =
        "DBIF error 15 (db code -1): Setting isolation level failed\nno such level";
    EXPECT_TRUE(failedWith(ul_sqlsetisolevel(0), refused));
    for (int rc : {ul_sqlcommit2(nullptr, UL_COMMIT_QUIET), ul_sqlrollback2(UL_ROLLBACK_QUIET)}) {
        EXPECT_TRUE(failedWith(rc, refused));
    }
    ASSERT_EQ(ul_sqldisconnect(0), 0);
    EXPECT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), -1);
    EXPECT_FALSE(ul_sqlisconnected());
}

// ---- database support table ------------------------------------------------------------------

// Code and type number convert both ways, ignoring case; dbms_type selects a row by prefix.
TEST_F(UlSqlBaseTest, DatabaseTypes) {
    ul_sqlsettestdbsupport(nullptr, 0);
    for (size_t i = 0; i < SQLDBSupportCount; ++i) {
        const ul_sqldbsupport_t& r = SQLDBSupport[i];
        SCOPED_TRACE(u8(r.code));
        EXPECT_EQ(r.type, static_cast<int>(i));
        EXPECT_EQ(ul_sqlgetdbatypefromstring(r.code), r.type);
        EXPECT_EQ(ul_sqlgetdbatypefromstring(r.shortCode), r.type);
        EXPECT_EQ(u8(ul_sqlgetstringfromdbatype(r.type)), u8(r.code));
        setenv("dbms_type", concat(u8(r.shortCode), "_19c").c_str(), 1);
        EXPECT_EQ(ul_sqlgetdbatype(), r.type);
        EXPECT_EQ(ul_sqlcurrentdbsupport(), &r);
    }
    for (const char16_t* name : {u"OR", u"", u"ORACLE"}) {
        EXPECT_TRUE(failedWith(ul_sqlgetdbatypefromstring(name),
                               concat("Unknown database type '", u8(name), "'")));
    }
    EXPECT_EQ(ul_sqlgetstringfromdbatype(static_cast<int>(SQLDBSupportCount)), nullptr);
    EXPECT_EQ(u8(ul_errorgetmsg()),
              concat("Unknown database type '", std::to_string(SQLDBSupportCount), "'"));
    EXPECT_EQ(ul_sqlgetstringfromdbatype(-1), nullptr);
    // The messages of a missing or unknown dbms_type are shown by the databasetype CLI cases.
    for (const char* value : {"OR", "", "XORA", static_cast<const char*>(nullptr)}) {
        if (value) setenv("dbms_type", value, 1);
        if (!value) unsetenv("dbms_type");
        EXPECT_EQ(ul_sqlgetdbatype(), -1);
        EXPECT_EQ(ul_sqlcurrentdbsupport(), nullptr);
    }
}

// The separators of each kind per database are checked where they are looked up; here the
// row in use decides.
TEST_F(UlSqlBaseTest, SeparatorsComeFromTheConnectedRow) {
    // While connected the connected row counts, whatever dbms_type says by now.
    connect();
    setenv("dbms_type", "DB4", 1);
    EXPECT_EQ(u8(ul_sqlcurrentseparators()), "~~^");
}

// A row whose engine is not registered; the vendor rows without an engine are shown by the
// databasetype CLI cases.
TEST_F(UlSqlBaseTest, RowWithoutItsEngineDoesNotConnect) {
    setenv("dbms_type", "NOENGINE", 1);
    EXPECT_TRUE(failedWith(ul_sqlconnect2(UL_CONNECT_QUIET),
                           "No database interface for database type 'NOENGINE' in this build"));
    EXPECT_FALSE(ul_sqlisconnected());
}

TEST_F(UlSqlBaseTest, RewriteHooks) {
    const ul_sqldbsupport_t& ora = SQLDBSupport[UL_DBTYPE_ORA];
    const ul_sqldbsupport_t& mss = SQLDBSupport[UL_DBTYPE_MSS];
    const ul_sqldbsupport_t& zdb = SQLDBSupport[UL_DBTYPE_ZDB];
    const struct {
        const ul_sqldbsupport_t* row;
        const char16_t* in;
        const char16_t* out;
    } cases[] = {
        {&ora, u"SELECT * FROM T WHERE F = ''", u"SELECT * FROM T WHERE F = ' '"},
        {&ora, u"UPDATE T SET R = X'0aFF' WHERE K = 'it''s'",
         u"UPDATE T SET R = HEXTORAW('0aFF') WHERE K = 'it''s'"},
        {&ora, u"SELECT \"X'00'\", 'X''00''' FROM T", u"SELECT \"X'00'\", 'X''00''' FROM T"},
        {&ora, u"SELECT MAX'' FROM T", u"SELECT MAX' ' FROM T"},
        {&ora, u"SELECT X'0G' FROM T", u"SELECT X'0G' FROM T"},
        {&mss, u"INSERT INTO T VALUES (X'00ab', '')", u"INSERT INTO T VALUES (0x00ab, '')"},
        {&mss, u"SELECT x'' FROM T", u"SELECT 0x FROM T"},
        {&zdb, u"INSERT INTO T VALUES (X'00', '', '''')",
         u"INSERT INTO T VALUES (X'00', ' ', '''')"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.in));
        char16_t buffer[256];
        ul_strlcpy(buffer, c.in, std::size(buffer));
        ASSERT_EQ(c.row->rewriteHook(buffer, std::size(buffer)), 0);
        EXPECT_EQ(u8(buffer), u8(c.out));
    }
    char16_t small[24];
    ul_strlcpy(small, u"SELECT X'00' FROM T", std::size(small));
    EXPECT_EQ(ora.rewriteHook(small, std::size(small)), -1);
    EXPECT_EQ(u8(small), "SELECT X'00' FROM T");
}

TEST_F(UlSqlBaseTest, RewriteHookRunsAtPrepareUnlessKeepSyntax) {
    connect("ORAFAKE");
    ULSQLStmt stmt;
    mustPrepare(&stmt, u"DELETE FROM T WHERE F = ''");
    EXPECT_EQ(u8(stmt.getText()), "DELETE FROM T WHERE F = ' '");
    UL_SQLGlobalFlags |= UL_SQLFLAG_KEEPSYNTAX;
    mustPrepare(&stmt, u"DELETE FROM T WHERE F = ''");
    EXPECT_EQ(u8(stmt.getText()), "DELETE FROM T WHERE F = ''");
}

TEST_F(UlSqlBaseTest, FieldFlagHooksMarkRowIdentifiers) {
    const struct {
        int type;
        const char16_t* name;
        int matched;
        unsigned flags;
        int dbifType;
        unsigned length;
    } cases[] = {{UL_DBTYPE_ZMX, u"syskey", 1, UL_SQLFLD_RAW, DBIF_TYPE_RAW, 8},
                 {UL_DBTYPE_DB6, u"RID()", 1, UL_SQLFLD_INT, DBIF_TYPE_INT, 8},
                 {UL_DBTYPE_ORA, u"ROWID", 1, UL_SQLFLD_CHAR, DBIF_TYPE_CHAR, 18},
                 {UL_DBTYPE_ORA, u"ROWIDX", 0, 0x1234, 99, 7},
                 {UL_DBTYPE_DB6, u"RID", 0, 0x1234, 99, 7}};
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.name));
        ul_sqlfielddesc_t desc{c.name, 0x1234, 99, 0, 7};
        EXPECT_EQ(SQLDBSupport[c.type].fieldFlagHook(c.name, &desc), c.matched);
        EXPECT_EQ(desc.flags, c.flags);
        EXPECT_EQ(desc.dbifType, c.dbifType);
        EXPECT_EQ(desc.length, c.length);
    }
}

// ---- connection ------------------------------------------------------------------------------

TEST_F(UlSqlBaseTest, ConnectAndDisconnectMessages) {
    captureLog();
    EXPECT_FALSE(ul_sqlisconnected());
    ASSERT_EQ(ul_sqlconnect2(0), 0) << u8(ul_errorgetmsg());
    EXPECT_TRUE(ul_sqlisconnected());
    EXPECT_EQ(ul_sqlgetdbatype(), UL_DBTYPE_SQLITE);
    ASSERT_EQ(ul_sqlconnect2(0), 0);
    ASSERT_EQ(ul_sqlcommit2(u"after step 1", 0), 0);
    ASSERT_EQ(ul_sqlcommit2(nullptr, 0), 0);
    ASSERT_EQ(ul_sqlcommit2(nullptr, UL_COMMIT_QUIET), 0);
    ASSERT_EQ(ul_sqlrollback2(0), 0);
    ASSERT_EQ(ul_sqlrollback2(UL_ROLLBACK_QUIET), 0);
    ASSERT_EQ(ul_sqldisconnect(0), 0);
    EXPECT_FALSE(ul_sqlisconnected());
    ASSERT_EQ(ul_sqldisconnect(0), 0);
    EXPECT_EQ(log(),
              "2 ETQ399 Connecting to database 'FAKE'.\n"
              "2WETQ399 DBIF already connected.\n"
              "4 ETQ399 Committing. after step 1\n"
              "4 ETQ399 Committing.\n"
              "4 ETQ399 Rollback.\n"
              "2WETQ399 DBIF already disconnected.\n");
    // connect, 3 commits, 2 rollbacks, the commit of the disconnect, disconnect
    const std::vector<dbif_fakeop> expected = {
        dbif_fakeop::connect,  dbif_fakeop::commit,   dbif_fakeop::commit, dbif_fakeop::commit,
        dbif_fakeop::rollback, dbif_fakeop::rollback, dbif_fakeop::commit, dbif_fakeop::disconnect};
    std::vector<dbif_fakeop> ops;
    for (const dbif_fakecall_t& c : dbif_fake_calls()) ops.push_back(c.op);
    EXPECT_EQ(ops, expected);
}

TEST_F(UlSqlBaseTest, TransactionFailures) {
    const struct {
        dbif_fakeop op;
        int flags;
        int (*call)(int flags);
        const char* error;
    } cases[] = {
        {dbif_fakeop::commit, UL_COMMIT_QUIET, [](int f) { return ul_sqlcommit2(nullptr, f); },
         "DBIF error 99 (db code 7): Commit failed\nlost"},
        {dbif_fakeop::commit, UL_COMMIT_QUIET | UL_COMMIT_ALT,
         [](int f) { return ul_sqlcommit2(nullptr, f); }, "db_commit failed with 99"},
        {dbif_fakeop::rollback, UL_ROLLBACK_QUIET, ul_sqlrollback2,
         "DBIF error 99 (db code 7): Rollback failed\nlost"},
        {dbif_fakeop::rollback, UL_ROLLBACK_QUIET | UL_ROLLBACK_ALT, ul_sqlrollback2,
         "db_rollback failed with 99"},
        {dbif_fakeop::commit, 0, ul_sqldisconnect,
         "DBIF error 99 (db code 7): Commit failed\nlost"},
        {dbif_fakeop::commit, UL_DISCONNECT_ALTCOMMIT, ul_sqldisconnect,
         "db_commit failed with 99"},
        {dbif_fakeop::disconnect, 0, ul_sqldisconnect,
         "DBIF error 99 (db code 7): Disconnect failed\nlost"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        dbif_fake_reset();
        connect();
        dbif_fake_setfailure(c.op, nullptr, {DBIF_RC_DB_ERROR, 7, u"lost", 0, 1});
        EXPECT_TRUE(failedWith(c.call(c.flags), c.error));
        if (ul_sqlisconnected()) {
            ASSERT_EQ(ul_sqldisconnect(0), 0);
        }
    }
    // A failing disconnect leaves no connection behind.
    EXPECT_FALSE(ul_sqlisconnected());
}

// A failed connect is repeated once with the engine's trace on, to log what the engine said.
TEST_F(UlSqlBaseTest, ConnectFailureIsLoggedWithARepeatedConnect) {
    const struct {
        unsigned failures;
        const char* log;
        size_t connects, disconnects;
    } cases[] = {
        {2,
         "3EETQ008 Error message: DBIF error 99 (db code 42): Connect failed\n3EETQ008 busy\n"
         "4EETQ399 1 [wrapfake.c,  101]: opening socket\n4EETQ399 1 [wrapfake.c,  101]: refused\n",
         2, 0},
        // The repeated connect's session is closed again.
        {1,
         "3EETQ008 Error message: DBIF error 99 (db code 42): Connect failed\n3EETQ008 busy\n"
         "3EETQ399 Repeating DB connect returns 0 != 99?!?\n"
         "4EETQ399 1 [wrapfake.c,  101]: opening socket\n4EETQ399 1 [wrapfake.c,  101]: refused\n",
         2, 1},
    };
    captureLog();
    setenv("dbms_type", "WRAPFAKE", 1);
    g_wrap.connectTrace = {{1, u"opening socket"}, {2, u"details"}, {1, u"refused"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failures);
        dbif_fake_reset();
        const size_t logged = log().size();
        dbif_fake_setfailure(dbif_fakeop::connect, nullptr,
                             {DBIF_RC_DB_ERROR, 42, u"busy", 0, c.failures});
        EXPECT_TRUE(failedWith(ul_sqlconnect2(UL_CONNECT_QUIET),
                               "DBIF error 99 (db code 42): Connect failed\nbusy"));
        EXPECT_FALSE(ul_sqlisconnected());
        EXPECT_EQ(log().substr(logged), c.log);
        EXPECT_EQ(countOps(dbif_fakeop::connect), c.connects);
        EXPECT_EQ(countOps(dbif_fakeop::disconnect), c.disconnects);
    }
}

TEST_F(UlSqlBaseTest, EngineTraceGoesToKernelTrcAndTheDbifComponent) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    ScopedCwd inside(dir.path());
    MemoryStream trace;
    ul_tracesetglobalfileptr(trace.get());
    ul_tracesetlevel(UL_TRC_SQL, 3, 0);
    captureLog();
    setenv("dbms_type", "WRAPFAKE", 1);
    g_wrap.connectTrace = {{1, u"one"}, {2, u"two"}, {3, u"three"}, {4, u"four"}};
    dbif_fake_setfailure(dbif_fakeop::connect, nullptr, {DBIF_RC_DB_ERROR, 1, u"down", 0, 1});
    EXPECT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), -1);
    EXPECT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0);
    // Levels up to 3 reach the file, at every connect; no repeated connect with a trace level.
    EXPECT_EQ(
        readFileBytes(dir.path("KERNEL.trc")),
        "1 [wrapfake.c,  101]: one\n2 [wrapfake.c,  102]: two\n3 [wrapfake.c,  103]: three\n"
        "1 [wrapfake.c,  101]: one\n2 [wrapfake.c,  102]: two\n3 [wrapfake.c,  103]: three\n");
    EXPECT_EQ(log(), "");
    EXPECT_EQ(countOps(dbif_fakeop::connect), 2u);
    // Only levels up to 3 - 2 become trace records.
    const std::string records = trace.text();
    EXPECT_NE(records.find("[wrapfake.c,  101]: one"), std::string::npos) << records;
    EXPECT_EQ(records.find("two"), std::string::npos) << records;
    // An engine that refuses the trace fails the connect, unless it is asked for without one.
    ASSERT_EQ(ul_sqldisconnect(0), 0);
    dbif_fake_setcontrol(DBIF_CTL_TRACE, DBIF_RC_NOT_SUPPORTED, u"no trace");
    EXPECT_TRUE(failedWith(ul_sqlconnect2(UL_CONNECT_QUIET), "Trace initialization failed"));
    EXPECT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET | UL_CONNECT_NOTRACE), 0);
}

TEST_F(UlSqlBaseTest, DatabaseVersions) {
    dbif_fake_setcontrol(DBIF_CTL_VERSION, 0,
                         u"  Fake   Database \t 12.3 built on a very long day");
    dbif_fake_setcontrol(DBIF_CTL_CLIENT_VERSION, 0, u"client  7");
    char16_t version[64], client[64];
    ASSERT_EQ(ul_sqlgetdbversion(version, 64, client, 64), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(u8(version), "Fake Database 12.3 built on a ve");
    EXPECT_EQ(u8(client), "client 7");
    // Connected and disconnected around the call.
    EXPECT_FALSE(ul_sqlisconnected());
    EXPECT_EQ(countOps(dbif_fakeop::connect), 1u);
    EXPECT_EQ(countOps(dbif_fakeop::disconnect), 1u);
    // A small buffer takes what fits.
    char16_t tiny[5];
    ASSERT_EQ(ul_sqlgetdbversion(tiny, 5, nullptr, 0), 0);
    EXPECT_EQ(u8(tiny), "Fake");

    connect();
    dbif_fake_setcontrol(DBIF_CTL_CLIENT_VERSION, DBIF_RC_NOT_SUPPORTED, u"none");
    EXPECT_TRUE(failedWith(ul_sqlgetdbversion(version, 64, client, 64),
                           "DBIF error 15 (db code -1): Getting DB client version failed\nnone"));
    EXPECT_TRUE(ul_sqlisconnected());
    dbif_fake_setcontrol(DBIF_CTL_VERSION, DBIF_RC_NOT_SUPPORTED, u"none");
    EXPECT_TRUE(failedWith(ul_sqlgetdbversion(version, 64, client, 64),
                           "DBIF error 15 (db code -1): Getting DB version failed\nnone"));
}

// ---- statements on FAKE --------------------------------------------------------------------

TEST_F(UlSqlBaseTest, StatementKindsAndHints) {
    connect();
    const int SEL = UL_SQLKIND_SELECT, INS = UL_SQLKIND_INSERT, UPD = UL_SQLKIND_UPDATE,
              DEL = UL_SQLKIND_DELETE, OTH = UL_SQLKIND_OTHER, RAW = UL_SQLMODE_ANYUPDATE_RAWONLY;
    const std::tuple<const char16_t*, int, int, unsigned> cases[] = {
        // clang-format off
        {u"SELECT A FROM T WHERE B = ?", 0, SEL, 1},
        {u"  \n select 1", 0, SEL, 0}, {u"VALUES (1)", 0, SEL, 0},
        {u"WITH X AS (SELECT 1) SELECT * FROM X", 0, OTH, 0},
        {u"WITH X AS (SELECT 1) SELECT * FROM X", UL_SQLMODE_SELECT, SEL, 0},
        {u"INSERT INTO T VALUES (?, ?, '?', \"?\")", 0, INS, 2},
        {u"insert into T values (1)", 0, OTH, 0},
        {u"INSERT INTO T SELECT * FROM U WHERE A = ?", 0, INS, 1},
        {u"UPDATE T SET A = ? WHERE B = ?", 0, UPD, 2},
        {u"UPSERT T VALUES (?)", 0, UPD, 1}, {u"MERGE INTO T USING U ON (T.A = ?)", 0, UPD, 1},
        {u"UPDATE T SET A = 'x?'", 0, OTH, 0}, {u"DELETE FROM T WHERE A = ?", 0, DEL, 1},
        {u"DELETE FROM T WHERE A = ?", RAW, UPD, 1},
        {u"CALL P(?)", RAW, UPD, 1}, {u"DELETE FROM T", 0, OTH, 0},
        {u"CREATE TABLE T (A INT)", 0, OTH, 0}, {u"SELECT 'it''s ?', \"a\"\"?\" FROM T", 0, SEL, 0},
        {u"SELECT #DBIF_HINT('USE ?INDEX') A FROM T WHERE B = ?", 0, SEL, 1},
        {u"SELECT #DBIF_HINT('a)b''c' ) A FROM T", 0, SEL, 0},
        {u"SELECT '#DBIF_HINT(' FROM T", 0, SEL, 0}};
    // clang-format on
    for (const auto& [sql, mode, kind, params] : cases) {
        SCOPED_TRACE(u8(sql));
        ULSQLStmt stmt;
        mustPrepare(&stmt, sql, nullptr, 0, nullptr, 0, mode);
        EXPECT_EQ(stmt.getKind(), kind);
        EXPECT_EQ(stmt.getNParams(), params);
    }
    // Refused at prepare; the messages are shown by the statementerrors CLI cases.
    for (const char16_t* sql :
         {u"CALL P(?)", u"SELECT #DBIF_HINT('X' A FROM T", u"SELECT #DBIF_HINT('X",
          u"SELECT #DBIF_HINT(X) A FROM T", u"SELECT #DBIF_HINT('X' Y) A FROM T"}) {
        ULSQLStmt stmt;
        EXPECT_EQ(stmt.prepare(sql, nullptr, 0, nullptr, 0, 0), -1) << u8(sql);
    }
}

TEST_F(UlSqlBaseTest, ModeMessagesAtPrepare) {
    connect();
    captureLog();
    ULSQLStmt stmt;
    mustPrepare(&stmt, u"DELETE FROM T", nullptr, 0, nullptr, 0, UL_SQLMODE_IGNOREERRORS);
    mustPrepare(&stmt, u"INSERT INTO T VALUES (?)", nullptr, 0, nullptr, 0, UL_SQLMODE_IGNOREDUPS);
    EXPECT_EQ(stmt.getBulkRows(), 1u);
    mustPrepare(&stmt, u"INSERT INTO T VALUES (?)", nullptr, 0, nullptr, 0,
                UL_SQLMODE_IGNOREDUPS | UL_SQLMODE_NOBULK);
    EXPECT_EQ(log(),
              "3 ETQ399 Ignoring database errors as requested by user.\n"
              "3 ETQ399 Ignoring duplicate records as requested by user.\n"
              "3WETQ399 Disabling BULK access due to 'ignore-duplicates'.\n"
              "3 ETQ399 Ignoring duplicate records as requested by user.\n");
}

TEST_F(UlSqlBaseTest, BulkRowsFromMaxBulkRows) {
    connect();
    ul_sqlfielddesc_t plain[] = {{u"A", UL_SQLFLD_CHAR, -1, 0, 10}};
    ul_sqlfielddesc_t withLong[] = {{u"A", UL_SQLFLD_CHAR, -1, 0, 10},
                                    {u"B", UL_SQLFLD_LONG, -1, 0, 0}};
    MemoryStream trace;
    ul_tracesetglobalfileptr(trace.get());
    ul_tracesetlevel(UL_TRC_SQL, 3, 0);
    const struct {
        long maxBulkRows;
        const ul_sqlfielddesc_t* out;
        unsigned nOut;
        int mode;
        unsigned expected;
        const char* trace;
    } cases[] = {
        {10000, plain, 1, 0, 10000, "Access method: 10000 bulk rows."},
        {7, withLong, 2, 0, 7, "Access method: 7 bulk rows, long values piecewise."},
        {0, plain, 1, 0, 1, "Access method: single rows."},
        {-50, plain, 1, 0, 50, "Access method: 50 bulk rows."},
        {-50, withLong, 2, 0, 1,
         "Access method: single rows (long values), long values piecewise."},
        {-50, withLong, 2, UL_SQLMODE_LOBONEPIECE, 1,
         "Access method: single rows (long values), long values in one piece."},
        {100, plain, 1, UL_SQLMODE_NOBULK, 1,
         "Access method: single rows (bulk access switched off)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        UL_SQLMaxBulkRows = c.maxBulkRows;
        ULSQLStmt stmt;
        ASSERT_EQ(stmt.prepare(u"SELECT A, B FROM T", nullptr, 0, c.out, c.nOut, c.mode), 0);
        EXPECT_EQ(stmt.getBulkRows(), c.expected);
        EXPECT_NE(trace.text().find(c.trace), std::string::npos) << trace.text();
    }
    // Parameter descriptions decide for modifying statements.
    UL_SQLMaxBulkRows = -20;
    ULSQLStmt stmt;
    mustPrepare(&stmt, u"INSERT INTO T VALUES (?, ?)", withLong, 2);
    EXPECT_EQ(stmt.getBulkRows(), 1u);
    mustPrepare(&stmt, u"INSERT INTO T VALUES (?)", plain, 1);
    EXPECT_EQ(stmt.getBulkRows(), 20u);
}

TEST_F(UlSqlBaseTest, QueryInBatchesWithHeaderAndLog) {
    connect();
    const std::u16string sql = u"SELECT ID, NAME, NOTE, DATA, BODY FROM T";
    dbif_fake_setresult(sql.c_str(),
                        {column(u"ID", DBIF_TYPE_INT, 4), column(u"NAME", DBIF_TYPE_CHAR, 10),
                         column(u"NOTE", DBIF_TYPE_CHAR, 0), column(u"DATA", DBIF_TYPE_RAW, 4),
                         column(u"BODY", DBIF_TYPE_BLOB, 0)},
                        {{dbif_fakeint(1), dbif_faketext(u"say \"hi\";\n"), dbif_fakenull(),
                          dbif_fakebytes({0xde, 0xad}), dbif_fakebytes({1})},
                         {dbif_fakeint(2), dbif_faketext(u""), dbif_faketext(u"x"), dbif_fakenull(),
                          dbif_fakenull()}});
    captureLog();
    UL_SQLMaxBulkRows = 1;
    ULSQLStmt stmt;
    mustPrepare(&stmt, sql);
    unsigned long count = 0;
    EXPECT_EQ(stmt.execute(nullptr, &count, UL_SQLMODE_HDR_TYPE | UL_SQLMODE_HDR_LENGTH), 0)
        << u8(ul_errorgetmsg());
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(log(),
              "4 ETQ399 HDR>C:512;C:10;C:0;R:4;B:0\n"
              "4 ETQ399 >1;\"say \\\"hi\\\";\\n\";<NULL>;<RAW>;BLOB(#5)\n"
              "4 ETQ399 >2;\"\";x;<NULL>;<NULL>\n");
}

TEST_F(UlSqlBaseTest, HeaderRowParts) {
    connect();
    const std::u16string sql = u"SELECT A, B, C FROM T";
    dbif_fake_setresult(sql.c_str(),
                        {column(u"A", DBIF_TYPE_INT, 4), column(u"B", DBIF_TYPE_CHAR, 30),
                         column(u"C", DBIF_TYPE_DECFLOAT16, 8)},
                        {});
    ul_sqlfielddesc_t out[] = {{nullptr, UL_SQLFLD_INT, -1, 0, 4},
                               {u"Bee", UL_SQLFLD_CHAR, -1, 0, 40},
                               {nullptr, 0, DBIF_TYPE_DECFLOAT16, 0, 8}};
    const struct {
        int mode;
        std::vector<std::u16string> values;
    } cases[] = {
        // clang-format off
        {1, {u"I", u"C", u"<#16>"}}, {2, {u"4", u"30", u"8"}},
        {4, {u"A", u"Bee", u"C"}}, {7, {u"I:4:A", u"C:30:Bee", u"<#16>:8:C"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        ULSQLStmt stmt;
        mustPrepare(&stmt, sql, nullptr, 0, out, 3);
        Collect rows;
        ASSERT_EQ(stmt.execute(&rows, nullptr, c.mode), 0) << u8(ul_errorgetmsg());
        ASSERT_EQ(rows.rows.size(), 1u);
        EXPECT_EQ(rows.rows[0].flags, static_cast<unsigned>(c.mode));
        std::vector<std::u16string> values;
        for (const auto& t : rows.rows[0].texts) values.push_back(t.value_or(u"<null>"));
        EXPECT_EQ(values, c.values);
        EXPECT_FALSE(rows.rows[0].raws[0].has_value());
    }
}

TEST_F(UlSqlBaseTest, ColumnLongerThanReserved) {
    connect();
    const std::u16string sql = u"SELECT A FROM T";
    dbif_fake_setresult(sql.c_str(), {column(u"A", DBIF_TYPE_CHAR, 30)}, {{dbif_faketext(u"x")}});
    ul_sqlfielddesc_t out[] = {{u"A", UL_SQLFLD_CHAR, -1, 0, 20}};
    ULSQLStmt stmt;
    mustPrepare(&stmt, sql, nullptr, 0, out, 1);
    Collect rows;
    EXPECT_TRUE(failedWith(stmt.execute(&rows, nullptr, 0),
                           "Internal error: Column #1 'A' maxlen 30 exceeds reserved 20"));
    // Without a description the column simply gets its length.
    UL_SQLDefaultColumnSpace = 10;
    mustPrepare(&stmt, sql);
    EXPECT_EQ(stmt.execute(&rows, nullptr, UL_SQLMODE_HDR_LENGTH), 0) << u8(ul_errorgetmsg());
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0].texts[0], u"30");
    EXPECT_EQ(rows.rows[1].texts[0], u"x");
}

TEST_F(UlSqlBaseTest, CallbackStopAndErrorEndTheFetch) {
    connect();
    const std::u16string sql = u"SELECT A FROM T";
    std::vector<dbif_fakerow_t> data;
    for (int i = 0; i < 10; ++i) data.push_back({dbif_fakeint(i)});
    dbif_fake_setresult(sql.c_str(), {column(u"A", DBIF_TYPE_INT, 4)}, data);
    UL_SQLMaxBulkRows = 4;
    ULSQLStmt stmt;
    mustPrepare(&stmt, sql);
    const struct {
        size_t stopAfter;
        int stopValue;
        long result;
    } cases[] = {{1, 5, 5}, {6, 1, 1}, {3, -1, -1}, {10, 7, 7}, {0, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stopAfter);
        Collect rows;
        rows.stopAfter = c.stopAfter;
        rows.stopValue = c.stopValue;
        ul_errorsetmsg(0, u"set by the callback");
        EXPECT_EQ(stmt.execute(&rows, nullptr, 0), c.result);
        EXPECT_EQ(rows.rows.size(), c.stopAfter ? c.stopAfter : 10u);
        if (c.result == -1) {
            EXPECT_EQ(u8(ul_errorgetmsg()), "set by the callback");
        }
    }
}

TEST_F(UlSqlBaseTest, CountMismatch) {
    connect("WRAPFAKE");
    const std::u16string sql = u"SELECT A FROM T";
    dbif_fake_setresult(sql.c_str(), {column(u"A", DBIF_TYPE_INT, 4)},
                        {{dbif_fakeint(1)}, {dbif_fakeint(2)}});
    g_wrap.extraReadRows = 1;
    ULSQLStmt stmt;
    mustPrepare(&stmt, sql);
    Collect rows;
    EXPECT_TRUE(failedWith(stmt.execute(&rows, nullptr, 0),
                           "Mismatch in database count: selected 2 rows, but DBIF has 3"));
    // A stopped fetch is not compared.
    Collect first;
    first.stopAfter = 1;
    first.stopValue = 9;
    EXPECT_EQ(stmt.execute(&first, nullptr, 0), 9);
    stmt.freeMemory();
    ASSERT_EQ(ul_sqldisconnect(0), 0);

    // Type 7 never compares.
    connect("WRAPZSE");
    mustPrepare(&stmt, sql);
    Collect all;
    unsigned long count = 0;
    EXPECT_EQ(stmt.execute(&all, &count, 0), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(all.rows.size(), 2u);
    EXPECT_EQ(count, 3u);
}

// A prepared statement is prepared again when the engine invalidated it (once) and when it runs
// on a new connection.
TEST_F(UlSqlBaseTest, StatementsArePreparedAgainWhenInvalidatedOrReconnected) {
    connect();
    const std::u16string sql = u"SELECT A FROM T";
    dbif_fake_setresult(sql.c_str(), {column(u"A", DBIF_TYPE_INT, 4)}, {{dbif_fakeint(1)}});
    dbif_fake_setfailure(dbif_fakeop::begRead, sql.c_str(), {DBIF_RC_REPREPARE, 5, u"stale", 0, 1});
    ULSQLStmt stmt;
    mustPrepare(&stmt, sql);
    Collect rows;
    EXPECT_EQ(stmt.execute(&rows, nullptr, 0), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(rows.rows.size(), 1u);
    EXPECT_EQ(countOps(dbif_fakeop::prepare), 2u);
    // Only once: an invalidation right after the new prepare is an error.
    dbif_fake_setfailure(dbif_fakeop::begRead, sql.c_str(), {DBIF_RC_REPREPARE, 5, u"stale", 0, 2});
    EXPECT_TRUE(failedWith(stmt.execute(&rows, nullptr, 0), "DBIF error 13 (db code 5): \nstale"));
    ASSERT_EQ(ul_sqldisconnect(0), 0);
    EXPECT_TRUE(failedWith(stmt.execute(&rows, nullptr, 0),
                           "Not connected to the database for statement 'SELECT A FROM T'"));
    connect();
    const size_t prepared = countOps(dbif_fakeop::prepare);
    Collect again;
    EXPECT_EQ(stmt.execute(&again, nullptr, 0), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(again.rows.size(), 1u);
    EXPECT_EQ(countOps(dbif_fakeop::prepare), prepared + 1);
}

TEST_F(UlSqlBaseTest, MissingTable) {
    connect();
    const std::u16string sql = u"SELECT A FROM MISSING";
    for (int rc : {DBIF_RC_NOT_FOUND, DBIF_RC_REJECTED}) {
        SCOPED_TRACE(rc);
        dbif_fake_reset();
        connect();
        // At prepare ...
        dbif_fake_setfailure(dbif_fakeop::prepare, sql.c_str(), {rc, 1, u"no table", 0, 1});
        ULSQLStmt stmt;
        mustPrepare(&stmt, sql, nullptr, 0, nullptr, 0, UL_SQLMODE_MISSINGTABLE);
        EXPECT_EQ(stmt.execute(nullptr, nullptr, 0), -2);
        // ... or at the read.
        dbif_fake_setfailure(dbif_fakeop::begRead, sql.c_str(), {rc, 1, u"no table", 0, 0});
        mustPrepare(&stmt, sql);
        EXPECT_EQ(stmt.execute(nullptr, nullptr, UL_SQLMODE_MISSINGTABLE), -2);
        EXPECT_TRUE(failedWith(stmt.execute(nullptr, nullptr, 0),
                               "DBIF error " + std::to_string(rc) + " (db code 1): \nno table"));
        EXPECT_EQ(
            ULSQLStmt::run(sql.c_str(), nullptr, 0, nullptr, nullptr, UL_SQLMODE_MISSINGTABLE), -2);
    }
}

TEST_F(UlSqlBaseTest, CriticalErrorRules) {
    const int T = UL_SQLMODE_TOLERATE, E = UL_SQLMODE_IGNOREERRORS, D = UL_SQLMODE_IGNOREDUPS;
    struct Case {
        const char16_t* sql;
        int rc, mode;
        bool filter;  // a filter that accepts db code 4711
        long dbCode;
        bool critical;
    };
    // The comment names the rule that decides.
    const Case cases[] = {{u"DROP TABLE T", 103, 0, false, 1, true},                     // 1
                          {u"DROP TABLE T", 103, T, false, 1, false},                    // 3
                          {u"  drop view V", 17, T, false, 1, false},                    // 3
                          {u"REVOKE ALL ON T FROM U", 17, D, false, 1, false},           // 3
                          {u"ALTER TABLE T DROP PRIMARY KEY", 103, T, false, 1, false},  // 3
                          {u"alter table T drop constraint C", 17, T, false, 1, false},  // 3
                          {u"ALTER TABLE T ADD C INT", 103, T, false, 1, true},          // 7
                          {u"CREATE TABLE T (A INT)", 103, T, false, 1, true},           // 7
                          {u"DROP TYPE Y", 99, T, false, 1, false},                      // 4
                          {u"DROP SEQUENCE S", 99, T, false, 1, false},                  // 4
                          {u"DROP TABLE T", 99, T, false, 1, true},                      // 7
                          {u"INSERT INTO T VALUES (1)", 26, D, false, 1, false},         // 5
                          {u"INSERT INTO T VALUES (1)", 26, T, false, 1, true},          // 7
                          {u"UPDATE T SET A = 1", 99, E, false, 1, false},               // 6
                          {u"UPDATE T SET A = 1", 103, E, false, 1, false},              // 6
                          {u"UPDATE T SET A = 1", 23, E, false, 1, true},                // 7
                          {u"UPDATE T SET A = 1", 99, 0, true, 4711, false},             // 2
                          {u"UPDATE T SET A = 1", 99, 0, true, 4712, true},              // 7
                          {u"DROP TABLE T", 103, 0, true, 4712, false}};  // 3 after a filter
    static unsigned accepted = 4711;
    connect();
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.sql) + " rc " + std::to_string(c.rc) + " mode " + std::to_string(c.mode));
        // At execute ...
        dbif_fake_reset();
        ASSERT_EQ(ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT), 0);
        connect();
        dbif_fake_setfailure(dbif_fakeop::modify, c.sql, {c.rc, c.dbCode, u"refused", 0, 0});
        ULSQLStmt stmt;
        if (c.filter)
            stmt.setPrepareCallback(
                [](void* context, unsigned code) {
                    return code == *static_cast<unsigned*>(context) ? 1 : 0;
                },
                &accepted);
        mustPrepare(&stmt, c.sql);
        ul_errorsetmsg(0, nullptr);
        EXPECT_EQ(stmt.execute(nullptr, nullptr, c.mode), c.critical ? -1 : 0);
        if (c.critical) {
            EXPECT_EQ(u8(ul_errorgetmsg()), "DBIF error " + std::to_string(c.rc) + " (db code " +
                                                std::to_string(c.dbCode) + "): \nrefused");
        }
        // Statements of kind other are judged without a commit.
        EXPECT_EQ(countOps(dbif_fakeop::commit), 0u);
        // ... and at prepare, where a harmless failure is committed and the execute does nothing.
        dbif_fake_setfailure(dbif_fakeop::prepare, c.sql, {c.rc, c.dbCode, u"refused", 0, 1});
        EXPECT_EQ(stmt.prepare(c.sql, nullptr, 0, nullptr, 0, c.mode), c.critical ? -1 : 0);
        if (!c.critical) {
            EXPECT_EQ(countOps(dbif_fakeop::commit), 1u);
            const size_t modifies = countOps(dbif_fakeop::modify);
            EXPECT_EQ(stmt.execute(nullptr, nullptr, c.mode), 0);
            EXPECT_EQ(countOps(dbif_fakeop::modify), modifies);
        }
    }
}

TEST_F(UlSqlBaseTest, HarmlessErrorWithFailingCommitIsCritical) {
    connect();
    const char16_t* sql = u"DROP TABLE T";
    dbif_fake_setfailure(dbif_fakeop::prepare, sql, {DBIF_RC_REJECTED, 3, u"no table", 0, 1});
    dbif_fake_setfailure(dbif_fakeop::commit, nullptr, {DBIF_RC_DB_ERROR, 8, u"lost", 0, 1});
    ULSQLStmt stmt;
    EXPECT_EQ(stmt.prepare(sql, nullptr, 0, nullptr, 0, UL_SQLMODE_TOLERATE), -1);
    EXPECT_EQ(
        u8(ul_errorgetmsg()),
        "DBIF error 103 (db code 3): \nno table\nDBIF error 99 (db code 8): Commit failed\nlost");
}

TEST_F(UlSqlBaseTest, ParameterSupplyInBatches) {
    connect();
    const char16_t* sql = u"INSERT INTO T VALUES (?, ?)";
    UL_SQLMaxBulkRows = 3;
    ULSQLStmt stmt;
    mustPrepare(&stmt, sql);
    ASSERT_EQ(stmt.getBulkRows(), 3u);
    Supply supply({{u"1", u"a"},
                   // clang-format off
                   {u"2", u"b"}, {u"3", u"c"}, {u"4", u"d"},
                   {u"5", u"e"}, {u"6", u"f"},
                   // clang-format on
                   {u"7", u"g"}});
    supply.commitAfter = {3};
    unsigned long count = 0;
    EXPECT_EQ(stmt.execute(&supply, &count, 0), 7) << u8(ul_errorgetmsg());
    EXPECT_EQ(count, 7u);
    // One call per row plus the one that ends, the first flagged as such.
    std::vector<unsigned> flags(8, UL_ROW_PARAMS);
    flags[0] |= UL_ROW_PARAMSFIRST;
    EXPECT_EQ(supply.flags(), flags);
    // Batches of 3 rows, cut short by the commit request: [1 2 3] [4] commit [5 6 7].
    std::vector<std::string> sequence;
    for (const dbif_fakecall_t& c : dbif_fake_calls()) {
        if (c.op == dbif_fakeop::commit) sequence.push_back("commit");
        if (c.op == dbif_fakeop::modify)
            for (const dbif_fakerow_t& row : c.params) sequence.push_back(u8(row[0].text));
    }
    EXPECT_EQ(sequence, (std::vector<std::string>{"1", "2", "3", "4", "commit", "5", "6", "7"}));
    EXPECT_EQ(dbif_fake_statements().size(), 3u);  // three modify calls
    const auto rows = dbif_fake_modifiedrows(sql);
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[6][1], dbif_faketext(u"g"));
}

TEST_F(UlSqlBaseTest, ParameterSupplyUsesBoundValuesForGaps) {
    connect();
    const char16_t* sql = u"UPDATE T SET A = ? WHERE B = ?";
    ULSQLStmt stmt;
    mustPrepare(&stmt, sql);
    // The callback fills only the second parameter.
    class Second : public ULSQLCallBack {
      public:
        int handleRow(unsigned, const unsigned char**, const char16_t** values, unsigned*,
                      unsigned) override {
            if (n_ == 2) return UL_PARAMS_END;
            values[1] = n_++ ? u"y" : u"x";
            return 0;
        }
        int n_ = 0;
    } second;
    EXPECT_TRUE(failedWith(stmt.execute(&second, nullptr, 0),
                           "Input parameters #1 not bound to any value"));
    ASSERT_EQ(stmt.bindParam(0, u"fixed", 0), 0);
    second.n_ = 0;
    EXPECT_EQ(stmt.execute(&second, nullptr, 0), 2) << u8(ul_errorgetmsg());
    const auto rows = dbif_fake_modifiedrows(sql);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (dbif_fakerow_t{dbif_faketext(u"fixed"), dbif_faketext(u"x")}));
    EXPECT_EQ(rows[1], (dbif_fakerow_t{dbif_faketext(u"fixed"), dbif_faketext(u"y")}));
}

TEST_F(UlSqlBaseTest, InsertCountMismatchAndDuplicates) {
    connect();
    const char16_t* sql = u"INSERT INTO T VALUES (?)";
    dbif_fake_setrowcount(sql, 0);
    ULSQLStmt stmt;
    mustPrepare(&stmt, sql);
    ASSERT_EQ(stmt.bindParam(0, u"1", 0), 0);
    EXPECT_TRUE(failedWith(stmt.execute(nullptr, nullptr, 0),
                           "Mismatch in database count: processed 1 rows, but DBIF has 0"));

    // Ignored, a duplicate among five rows is skipped.
    dbif_fake_reset();
    ASSERT_EQ(ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT), 0);
    connect();
    dbif_fake_setfailure(dbif_fakeop::modify, sql, {DBIF_RC_DUPLICATE, 23505, u"dup", 1, 1});
    Supply again({{u"1"}, {u"2"}, {u"3"}, {u"4"}, {u"5"}});
    unsigned long count = 0;
    EXPECT_EQ(stmt.execute(&again, &count, UL_SQLMODE_IGNOREDUPS), 4) << u8(ul_errorgetmsg());
    EXPECT_EQ(count, 4u);
    // Row by row, each duplicate committed away.
    EXPECT_EQ(dbif_fake_statements().size(), 5u);
    EXPECT_EQ(countOps(dbif_fakeop::commit), 1u);
}

TEST_F(UlSqlBaseTest, BindErrorsAndReferences) {
    connect();
    const char16_t* sql = u"INSERT INTO T VALUES (?, ?)";
    ul_sqlfielddesc_t in[] = {{u"N", UL_SQLFLD_INT, -1, 0, 4}, {u"S", UL_SQLFLD_CHAR, -1, 0, 3}};
    ULSQLStmt stmt;
    EXPECT_EQ(stmt.bindParam(0, u"1", 0), -1);
    mustPrepare(&stmt, sql, in, 2);
    EXPECT_TRUE(failedWith(stmt.bindParam(2, u"x", 0), "Illegal bind parameter #3, maximum is 2"));
    EXPECT_TRUE(failedWith(stmt.bindParam(5, 1L), "Illegal bind parameter #6, maximum is 2"));
    EXPECT_TRUE(failedWith(stmt.bindParam(1, u"abcd", 0), "Parameter 2 too long (4 > 3)"));
    EXPECT_EQ(stmt.bindParam(0, u"x1", 0), -1);

    // Flag 1 reads the caller's buffer at execute time.
    char16_t buffer[4] = u"abc";
    ASSERT_EQ(stmt.bindParam(0, 7L), 0);
    ASSERT_EQ(stmt.bindParam(1, buffer, 1), 0);
    buffer[0] = u'z';
    EXPECT_EQ(stmt.execute(nullptr, nullptr, 0), 1) << u8(ul_errorgetmsg());
    // A copied text does not follow the buffer.
    ASSERT_EQ(stmt.bindParam(1, buffer, 0), 0);
    buffer[0] = u'q';
    EXPECT_EQ(stmt.execute(nullptr, nullptr, 0), 1);
    // Empty text is NULL only under sqlinsertemptyasnull.
    ASSERT_EQ(stmt.bindParam(1, u"", 0), 0);
    EXPECT_EQ(stmt.execute(nullptr, nullptr, 0), 1);
    UL_SQLGlobalFlags |= UL_SQLFLAG_SQLINSERTEMPTYASNULL;
    const char16_t* values[] = {u"7", u""};  // all parameters at once
    ASSERT_EQ(stmt.bindParam(values), 0);
    EXPECT_EQ(stmt.execute(nullptr, nullptr, 0), 1);
    const auto rows = dbif_fake_modifiedrows(sql);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], (dbif_fakerow_t{dbif_fakeint(7), dbif_faketext(u"zbc")}));
    EXPECT_EQ(rows[1], (dbif_fakerow_t{dbif_fakeint(7), dbif_faketext(u"zbc")}));
    EXPECT_EQ(rows[2], (dbif_fakerow_t{dbif_fakeint(7), dbif_faketext(u"")}));
    EXPECT_EQ(rows[3], (dbif_fakerow_t{dbif_fakeint(7), dbif_fakenull()}));
    // Every parameter must be bound.
    mustPrepare(&stmt, sql, in, 2);
    ASSERT_EQ(stmt.bindParam(0, 1L), 0);
    EXPECT_TRUE(failedWith(stmt.execute(nullptr, nullptr, 0),
                           "Input parameters #2 not bound to any value"));
}

TEST_F(UlSqlBaseTest, RunConnectsOnDemand) {
    captureLog();
    const std::u16string sql = u"SELECT A FROM T";
    dbif_fake_setresult(sql.c_str(), {column(u"A", DBIF_TYPE_INT, 4)}, {{dbif_fakeint(3)}});
    Collect rows;
    unsigned long count = 0;
    EXPECT_EQ(ULSQLStmt::run(sql.c_str(), nullptr, 0, &rows, &count, 0), 0);
    EXPECT_EQ(rows.rows.size(), 1u);
    EXPECT_EQ(count, 1u);
    EXPECT_FALSE(ul_sqlisconnected());
    // Disconnected with a commit after success, without one after a failure.
    EXPECT_EQ(countOps(dbif_fakeop::commit), 1u);
    dbif_fake_setfailure(dbif_fakeop::begRead, sql.c_str(), {DBIF_RC_DB_ERROR, 2, u"bad", 0, 1});
    EXPECT_TRUE(failedWith(ULSQLStmt::run(sql.c_str(), nullptr, 0, &rows, &count, 0),
                           "DBIF error 99 (db code 2): \nbad"));
    EXPECT_FALSE(ul_sqlisconnected());
    EXPECT_EQ(countOps(dbif_fakeop::commit), 1u);
    EXPECT_EQ(countOps(dbif_fakeop::disconnect), 2u);
    // Connected already: the connection stays.
    connect();
    EXPECT_EQ(ULSQLStmt::run(sql.c_str(), nullptr, 0, &rows, &count, 0), 0);
    EXPECT_TRUE(ul_sqlisconnected());
    // A statement of kind other reports the rows the engine changed.
    dbif_fake_setrowcount(u"UPDATE T SET A = 1", 4);
    EXPECT_EQ(ULSQLStmt::run(u"UPDATE T SET A = 1", nullptr, 0, nullptr, &count, 0), 4);
    EXPECT_EQ(count, 4u);
}

TEST_F(UlSqlBaseTest, CorrectingLongLengthFields) {
    connect();
    const std::u16string sql = u"SELECT LEN, DATA FROM T";
    dbif_fake_setresult(sql.c_str(),
                        {column(u"LEN", DBIF_TYPE_INT, 2), column(u"DATA", DBIF_TYPE_BLOB, 0)},
                        {{dbif_fakeint(9), dbif_fakebytes({1, 2, 3})},
                         {dbif_fakeint(3), dbif_fakebytes({1, 2, 3})}});
    ul_sqlfielddesc_t out[] = {{u"LEN", UL_SQLFLD_INT, -1, 0, 2},
                               {u"DATA", UL_SQLFLD_RAW | UL_SQLFLD_LONG, -1, 0, 0}};
    for (bool correct : {false, true}) {
        SCOPED_TRACE(correct);
        if (correct) UL_SQLGlobalFlags |= UL_SQLFLAG_CORRLONGDATALENGTH;
        ULSQLStmt stmt;
        mustPrepare(&stmt, sql, nullptr, 0, out, 2);
        Collect rows;
        ASSERT_EQ(stmt.execute(&rows, nullptr, 0), 0) << u8(ul_errorgetmsg());
        ASSERT_EQ(rows.rows.size(), 2u);
        EXPECT_EQ(rows.rows[0].texts[0], correct ? u"3" : u"9");
        EXPECT_EQ(rows.rows[1].texts[0], u"3");
    }
}

// Long values beyond the column space go through the piece reader unless one-piece reading is
// asked for by the statement or by the global flag; the value arrives whole either way.
TEST_F(UlSqlBaseTest, LongValuesBeyondTheColumnSpaceAreReadInPieces) {
    connect("WRAPFAKE");
    const std::u16string sql = u"SELECT T, B FROM L";
    const std::u16string text = u"\u00e4bcdefgh\u20ac";  // 10 code units
    dbif_fake_setresult(sql.c_str(),
                        {column(u"T", DBIF_TYPE_LONGCHAR, 0), column(u"B", DBIF_TYPE_BLOB, 0)},
                        {{dbif_faketext(text.c_str()), dbif_fakebytes({1, 2, 3, 4, 5, 6, 7, 8, 9})},
                         {dbif_faketext(u"ab"), dbif_fakebytes({0})}});
    UL_SQLLobColumnSpace = 4;
    struct Case {
        int mode;
        bool onePieceFlag;
        size_t pieces;  // 10 units in 3 pieces, 9 bytes in 3; short values are not split
    } cases[] = {{0, false, 6}, {UL_SQLMODE_LOBONEPIECE, false, 0}, {0, true, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        if (c.onePieceFlag) UL_SQLGlobalFlags |= UL_SQLFLAG_NOLOBSPIECEWISE;
        g_wrap.pieces = 0;
        ULSQLStmt stmt;
        mustPrepare(&stmt, sql);
        Collect rows;
        ASSERT_EQ(stmt.execute(&rows, nullptr, c.mode), 0) << u8(ul_errorgetmsg());
        ASSERT_EQ(rows.rows.size(), 2u);
        EXPECT_EQ(rows.rows[0].texts[0], text);
        EXPECT_EQ(rows.rows[0].raws[1], (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
        EXPECT_EQ(rows.rows[1].texts[0], u"ab");
        EXPECT_EQ(g_wrap.pieces, c.pieces);
    }
    UL_SQLGlobalFlags &= ~UL_SQLFLAG_NOLOBSPIECEWISE;
    g_wrap.pieceResult = DBIF_RC_DB_ERROR;
    ULSQLStmt stmt;
    mustPrepare(&stmt, sql);
    Collect rows;
    EXPECT_EQ(stmt.execute(&rows, nullptr, 0), -1);
    EXPECT_NE(errorText().find(u"DBIF error 99"), std::u16string::npos) << u8(errorText());
    EXPECT_TRUE(rows.rows.empty());
}

TEST_F(UlSqlBaseTest, RawOnlyDeliversNoTexts) {
    connect();
    const std::u16string sql = u"SELECT A, B FROM T";
    dbif_fake_setresult(sql.c_str(),
                        {column(u"A", DBIF_TYPE_INT, 4), column(u"B", DBIF_TYPE_CHAR, 5)},
                        {{dbif_fakeint(258), dbif_faketext(u"ab")}});
    ULSQLStmt stmt;
    mustPrepare(&stmt, sql);
    Collect rows;
    ASSERT_EQ(stmt.execute(&rows, nullptr, UL_SQLMODE_ANYUPDATE_RAWONLY), 0);
    ASSERT_EQ(rows.rows.size(), 1u);
    EXPECT_FALSE(rows.rows[0].texts[0].has_value());
    EXPECT_FALSE(rows.rows[0].texts[1].has_value());
    // Without a description the integer is text; its raw form is that text in UTF-16.
    EXPECT_EQ(rows.rows[0].raws[0], (std::vector<unsigned char>{'2', 0, '5', 0, '8', 0}));
    EXPECT_EQ(rows.rows[0].raws[1], (std::vector<unsigned char>{'a', 0, 'b', 0}));
}

// Every database call of a connect, query, array insert, commit and disconnect fails once in
// turn: the failure always surfaces as -1 with the engine's text, and nothing leaks.
TEST_F(UlSqlBaseTest, EveryFailingCallIsHandled) {
    dbif_faulty_register(u"FAKE");
    setenv("dbms_type", "FAULTY", 1);
    const std::u16string query = u"SELECT A FROM T WHERE B = ?";
    auto path = [&]() -> int {
        if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) return -1;
        ULSQLStmt select;
        if (select.prepare(query.c_str(), nullptr, 0, nullptr, 0, 0) < 0) return -1;
        if (select.bindParam(0, u"x", 0) < 0) return -1;
        Collect rows;
        if (select.execute(&rows, nullptr, 0) < 0) return -1;
        if (rows.rows.size() != 3) return -2;
        ULSQLStmt insert;
        if (insert.prepare(u"INSERT INTO T VALUES (?)", nullptr, 0, nullptr, 0, 0) < 0) return -1;
        Supply supply({{u"1"}, {u"2"}});
        supply.commitAfter = {0};
        if (insert.execute(&supply, nullptr, 0) != 2) return -1;
        if (ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0) return -1;
        return ul_sqldisconnect(0);
    };
    auto script = [&]() {
        dbif_fake_reset();
        dbif_fake_setresult(query.c_str(), {column(u"A", DBIF_TYPE_INT, 4)},
                            {{dbif_fakeint(1)}, {dbif_fakeint(2)}, {dbif_fakeint(3)}});
    };
    UL_SQLMaxBulkRows = 2;
    script();
    dbif_faulty_set(u"FAKE", 0, DBIF_RC_DB_ERROR, u"injected");
    ASSERT_EQ(path(), 0) << u8(ul_errorgetmsg());
    const unsigned long calls = dbif_faulty_calls();
    ASSERT_GT(calls, 15u);
    for (unsigned long failAt = 1; failAt <= calls; ++failAt) {
        SCOPED_TRACE(failAt);
        script();
        dbif_faulty_set(u"FAKE", failAt, DBIF_RC_DB_ERROR, u"injected");
        ul_errorsetmsg(0, nullptr);
        EXPECT_EQ(path(), -1);
        EXPECT_NE(u8(ul_errorgetmsg()).find("injected"), std::string::npos) << u8(ul_errorgetmsg());
        if (ul_sqlisconnected()) (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);  // cleanup only
    }
}

// ---- row writers -----------------------------------------------------------------------------

TEST_F(UlSqlBaseTest, CsvLinesReadBack) {
    MemoryStream out;
    ULSQLLogCSVLines csv(out.get(), u"dump.csv");
    const std::u16string texts[] = {u"plain",
                                    u"a,b",
                                    u"",
                                    u"two words",
                                    u"quote\" and \\",
                                    u"line\nfeed\ttab",
                                    u"#hash",
                                    u"Gr\u00fc\u00dfe \u20ac",
                                    u"it's"};
    const size_t n = std::size(texts);
    std::vector<const char16_t*> values;
    for (const auto& t : texts) values.push_back(t.c_str());
    ASSERT_EQ(csv.handleRow(UL_ROW_DATA, nullptr, values.data(), nullptr, static_cast<unsigned>(n)),
              0);
    const unsigned char bytes[] = {0x00, 0xAB, 0x7f};
    const unsigned char* raw[] = {bytes, nullptr, bytes};
    const char16_t* mixed[] = {nullptr, nullptr, u"x"};
    unsigned lengths[] = {3, 0, 1};
    ASSERT_EQ(csv.handleRow(UL_ROW_DATA, raw, mixed, lengths, 3), 0);
    const char16_t* header[] = {u"A", u"B C"};
    ASSERT_EQ(csv.handleRow(UL_ROW_HDR_NAME, nullptr, header, nullptr, 2), 0);

    const std::string text = out.text();
    const size_t firstEnd = text.find('\n');
    ASSERT_NE(firstEnd, std::string::npos);
    // Every text value reads back with the escape reader.
    const std::u16string line = ul_utf8to16(text.substr(0, firstEnd).c_str());
    const char16_t* cursor = line.c_str();
    for (size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(u8(texts[i]));
        char16_t word[64];
        const char16_t* end = nullptr;
        ASSERT_EQ(ul_stringreadescape(word, std::size(word), cursor, u',', &end,
                                      ULSQLLogCSVLines::escapeFlags()),
                  1);
        EXPECT_EQ(u8(word), u8(texts[i]));
        ASSERT_EQ(*end, i + 1 < n ? u',' : u'\0');
        cursor = *end ? end + 1 : end;
    }
    EXPECT_EQ(text.substr(firstEnd + 1), "\"00ab7f\",,x\n#A,\"B C\"\n");

    // A stream that cannot be written.
    FILE* readOnly = fopen("/dev/null", "r");
    ASSERT_NE(readOnly, nullptr);
    ULSQLLogCSVLines broken(readOnly, u"/dev/null");
    setvbuf(readOnly, nullptr, _IONBF, 0);
    EXPECT_EQ(broken.handleRow(UL_ROW_DATA, nullptr, values.data(), nullptr, 1), -1);
    EXPECT_EQ(u8(ul_errorgetmsg()).rfind("Cannot write line to '/dev/null': ", 0), 0u)
        << u8(ul_errorgetmsg());
    fclose(readOnly);
}

}  // namespace

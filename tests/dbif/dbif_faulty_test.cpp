// The wrapper engine FAULTY around SQLite, natively and through the ODBC engine.
#include "dbif_faulty.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../upglib/tempdir.h"
#include "dbif.h"
#include "dbif_testutil.h"

namespace {

// One database session as a list of calls; it stops at the first call that fails and returns
// the number of that call (1-based) and its code, or 0.
struct Outcome {
    unsigned long failedCall = 0;
    int rc = DBIF_RC_OK;
    std::u16string text;
    Rows rows;  // what the reads delivered, failed ones included
};

Outcome runSession() {
    Outcome out;
    std::unique_ptr<DbIfConnection> conn = dbif_open(u"FAULTY");
    if (!conn) {
        ADD_FAILURE() << "no FAULTY connection";
        return out;
    }
    unsigned long call = 0;
    std::unique_ptr<DbIfStatement> insert;
    std::unique_ptr<DbIfStatement> select;
    DbIfRowBatch params;
    fillBatch(&params, {{I(1)}, {I(2)}, {I(3)}});
    DbIfRowBatch batch;
    std::vector<dbif_coldesc_t> columns;
    unsigned long processed = 0;
    dbif_control_t arg;
    auto step = [&](int rc) {
        ++call;
        bool fine = rc == DBIF_RC_OK || rc == DBIF_RC_PARTIAL || rc == DBIF_RC_LAST_BATCH;
        if (!fine && out.failedCall == 0) {
            out.failedCall = call;
            out.rc = rc;
            out.text = conn->commArea().errorText;
        }
        return fine;
    };
    auto read = [&] {
        bool fine = step(select->exeRead(&batch, 2));
        Rows got = batchRows(batch);
        out.rows.insert(out.rows.end(), got.begin(), got.end());
        return fine;
    };
    step(conn->connect()) && step(conn->control(DBIF_CTL_VERSION, &arg)) &&
        step(conn->execute(u"CREATE TABLE t (a INTEGER PRIMARY KEY)")) &&
        step(conn->prepare(u"INSERT INTO t VALUES (?)", DBIF_CLASS_INSERT, &insert)) &&
        step(insert->modify(&params, &processed)) && step(conn->commit()) &&
        step(conn->prepare(u"SELECT a FROM t ORDER BY a", DBIF_CLASS_READ, &select)) &&
        step(select->begRead(nullptr)) && step(select->describe(&columns)) && read() && read() &&
        step(select->endRead()) && step(conn->rollback()) && step(conn->disconnect());
    return out;
}

class DbifFaultyTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        dbif_faulty_register(inner());
    }
    void TearDown() override { unsetenv("dbs_odbc_conninfo"); }
    const char16_t* inner() const { return GetParam()[0] == 'O' ? u"ODBC" : u"SQLITE"; }
    // A fresh database for each session.
    void freshDatabase(int n) {
        const std::string file = dir_.write("faulty" + std::to_string(n) + ".db", "");
        setenv("dbs_sqlite_db", file.c_str(), 1);
        setenv("dbs_odbc_conninfo", odbcConnectionString("SQLITE", file).c_str(), 1);
    }
    TempDir dir_;
};

INSTANTIATE_TEST_SUITE_P(Inner, DbifFaultyTest, ::testing::Values("SQLITE", "ODBC_SQLITE"));

TEST_P(DbifFaultyTest, EveryCallCanBeTheFailingOne) {
    freshDatabase(0);
    dbif_faulty_set(inner(), 0, DBIF_RC_DB_ERROR, u"");
    Outcome clean = runSession();
    ASSERT_EQ(clean.failedCall, 0u) << ul_utf16to8(clean.text.c_str());
    const Rows all = {{I(1)}, {I(2)}, {I(3)}};
    EXPECT_EQ(clean.rows, all);
    unsigned long calls = dbif_faulty_calls();
    ASSERT_EQ(calls, 14u);
    for (unsigned long n = 1; n <= calls; ++n) {
        freshDatabase(static_cast<int>(n));
        dbif_faulty_set(inner(), n, DBIF_RC_DUPLICATE, u"injected failure");
        Outcome out = runSession();
        EXPECT_EQ(out.failedCall, n);
        EXPECT_EQ(out.rc, DBIF_RC_DUPLICATE) << n;
        EXPECT_EQ(out.text, u"injected failure") << n;
        EXPECT_EQ(dbif_faulty_calls(), n) << n;
        // A failing read delivers no rows; the batches before it stay delivered.
        const Rows expected = n < 11 ? Rows{} : n == 11 ? Rows{all[0], all[1]} : all;
        EXPECT_EQ(out.rows, expected) << n;
    }
}

TEST_P(DbifFaultyTest, TheInnerEnginesAnswersPassThrough) {
    freshDatabase(200);
    dbif_faulty_set(inner(), 0, DBIF_RC_DB_ERROR, u"");
    std::unique_ptr<DbIfConnection> conn = dbif_open(u"FAULTY");
    ASSERT_EQ(conn->connect(), DBIF_RC_OK);
    EXPECT_EQ(conn->execute(u"SELECT * FROM nothere"), DBIF_RC_REJECTED);
    EXPECT_EQ(conn->commArea().errorText.substr(0, 22), u"no such table: nothere");
    EXPECT_EQ(conn->commArea().dbCode, 1);
    ASSERT_EQ(conn->execute(u"CREATE TABLE t (a INTEGER)"), DBIF_RC_OK);
    EXPECT_TRUE(conn->commArea().errorText.empty());
    ASSERT_EQ(conn->execute(u"INSERT INTO t VALUES (1), (2)"), DBIF_RC_OK);
    EXPECT_EQ(conn->commArea().rowCount, 2);
    dbif_control_t arg;
    ASSERT_EQ(conn->control(DBIF_CTL_SCHEMA, &arg), DBIF_RC_OK);
    EXPECT_EQ(arg.text, u"main");
    std::unique_ptr<DbIfStatement> stmt;
    ASSERT_EQ(conn->prepare(u"SELECT a FROM t WHERE a > ?", DBIF_CLASS_READ, &stmt), DBIF_RC_OK);
    EXPECT_EQ(stmt->paramCount(), 1u);
    // A statement outliving its connection fails like the inner engine's would.
    conn.reset();
    EXPECT_EQ(stmt->begRead(nullptr), DBIF_RC_DB_ERROR);
}

TEST_P(DbifFaultyTest, AnUnknownInnerEngineOpensNothing) {
    dbif_faulty_set(u"NOSUCHENGINE", 0, DBIF_RC_DB_ERROR, u"");
    EXPECT_EQ(dbif_open(u"FAULTY"), nullptr);
}

}  // namespace

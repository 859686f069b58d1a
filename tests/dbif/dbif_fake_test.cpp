// The scripted in-memory engine FAKE.
#include "dbif_fake.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dbif.h"
#include "dbif_testutil.h"

namespace {

using DbifFakeTest = FakeConnectionTest;

dbif_coldesc_t column(const char16_t* name, int type, unsigned length) {
    dbif_coldesc_t d;
    d.name = name;
    d.type = type;
    d.length = length;
    return d;
}

std::vector<dbif_fakeop> ops() {
    std::vector<dbif_fakeop> result;
    for (const dbif_fakecall_t& c : dbif_fake_calls()) result.push_back(c.op);
    return result;
}

TEST_F(DbifFakeTest, AScriptedQueryDeliversItsRowsInBatches) {
    Rows rows;
    for (int i = 1; i <= 5; ++i) rows.push_back({I(i), T(u"r\u00E4"), i % 2 ? N() : D(u"1.50")});
    std::vector<dbif_coldesc_t> columns = {column(u"ID", DBIF_TYPE_INT, 4),
                                           column(u"NAME", DBIF_TYPE_CHAR, 10),
                                           column(u"AMOUNT", DBIF_TYPE_PACKED, 7)};
    dbif_fake_setresult(u"SELECT ID, NAME, AMOUNT FROM T", columns, rows);
    // Texts match after trimming.
    QueryResult r = runQuery(*conn_, u"  SELECT ID, NAME, AMOUNT FROM T\n", {}, 2);
    ASSERT_EQ(r.rc, DBIF_RC_OK);
    EXPECT_EQ(r.rows, rows);
    EXPECT_EQ(r.fetchCodes,
              (std::vector<int>{DBIF_RC_PARTIAL, DBIF_RC_PARTIAL, DBIF_RC_LAST_BATCH}));
    ASSERT_EQ(r.columns.size(), 3u);
    EXPECT_EQ(r.columns[2].name, u"AMOUNT");
    EXPECT_EQ(r.columns[2].type, DBIF_TYPE_PACKED);
    EXPECT_EQ(conn_->commArea().rowCount, 5);
    // Another text has no script: no columns and no rows.
    r = runQuery(*conn_, u"SELECT ID FROM T");
    EXPECT_EQ(r.rc, DBIF_RC_OK);
    EXPECT_TRUE(r.columns.empty());
    EXPECT_TRUE(r.rows.empty());
    EXPECT_EQ(r.fetchCodes, (std::vector<int>{DBIF_RC_NO_MORE_ROWS}));
}

TEST_F(DbifFakeTest, AFailureComesAfterItsCountAndForItsTimes) {
    dbif_fake_setfailure(
        dbif_fakeop::begRead, u"SELECT 1",
        {.rc = DBIF_RC_REPREPARE, .dbCode = 4711, .text = u"statement invalidated", .times = 1});
    std::unique_ptr<DbIfStatement> stmt;
    ASSERT_EQ(conn_->prepare(u"SELECT 1", DBIF_CLASS_READ, &stmt), DBIF_RC_OK);
    EXPECT_EQ(stmt->begRead(nullptr), DBIF_RC_REPREPARE);
    EXPECT_EQ(conn_->commArea().dbCode, 4711);
    EXPECT_EQ(conn_->commArea().errorText, u"statement invalidated");
    EXPECT_EQ(stmt->begRead(nullptr), DBIF_RC_OK);
    EXPECT_EQ(conn_->commArea().dbCode, 0);
    EXPECT_TRUE(conn_->commArea().errorText.empty());

    // The third exeRead of any statement fails, and every one after it.
    dbif_fake_setfailure(dbif_fakeop::exeRead, nullptr,
                         {.rc = DBIF_RC_ROW_ERROR, .text = u"conversion", .after = 2});
    Rows rows = {{I(1)}, {I(2)}, {I(3)}, {I(4)}};
    dbif_fake_setresult(u"SELECT N FROM T", {column(u"N", DBIF_TYPE_INT, 4)}, rows);
    QueryResult r = runQuery(*conn_, u"SELECT N FROM T", {}, 1);
    EXPECT_EQ(r.rc, DBIF_RC_ROW_ERROR);
    EXPECT_EQ(r.rows, (Rows{{I(1)}, {I(2)}}));
    EXPECT_EQ(r.errorText, u"conversion");
    EXPECT_EQ(runQuery(*conn_, u"SELECT N FROM T").rc, DBIF_RC_ROW_ERROR);
}

TEST_F(DbifFakeTest, AFailingModifyRowEndsTheCallAndIsRecorded) {
    const char16_t* sql = u"INSERT INTO T VALUES (?, ?)";
    dbif_fake_setfailure(
        dbif_fakeop::modify, sql,
        {.rc = DBIF_RC_DUPLICATE, .dbCode = 1, .text = u"duplicate key", .after = 3, .times = 1});
    dbif_fake_setrowcount(sql, 2);  // every row counts twice, as a trigger might
    std::unique_ptr<DbIfStatement> stmt;
    ASSERT_EQ(conn_->prepare(sql, DBIF_CLASS_INSERT, &stmt), DBIF_RC_OK);
    Rows first = {{I(1), T(u"a")}, {I(2), T(u"b")}};
    Rows second = {{I(3), T(u"c")}, {I(4), N()}, {I(5), B({0, 1})}};
    DbIfRowBatch batch;
    unsigned long processed = 0;
    fillBatch(&batch, first);
    ASSERT_EQ(stmt->modify(&batch, &processed), DBIF_RC_OK);
    EXPECT_EQ(processed, 4u);
    fillBatch(&batch, second);
    // Row 4 is the fourth parameter row the statement text sees: it fails.
    EXPECT_EQ(stmt->modify(&batch, &processed), DBIF_RC_DUPLICATE);
    EXPECT_EQ(processed, 6u);
    EXPECT_EQ(conn_->commArea().rowCount, 2);
    EXPECT_EQ(conn_->commArea().errorText, u"duplicate key");
    EXPECT_EQ(dbif_fake_modifiedrows(sql),
              (Rows{{I(1), T(u"a")}, {I(2), T(u"b")}, {I(3), T(u"c")}}));
    const dbif_fakecall_t& last = dbif_fake_calls().back();
    EXPECT_EQ(last.op, dbif_fakeop::modify);
    EXPECT_EQ(last.rc, DBIF_RC_DUPLICATE);
    EXPECT_EQ(last.params, (Rows{{I(3), T(u"c")}, {I(4), N()}}));
    // Failing once, the statement goes on.
    ASSERT_EQ(stmt->modify(&batch, &processed), DBIF_RC_OK);
    EXPECT_EQ(processed, 12u);
}

TEST_F(DbifFakeTest, TheRecordListsWhatWasExecuted) {
    dbif_fake_setrowcount(u"DELETE FROM T", 7);
    ASSERT_EQ(conn_->execute(u" DELETE FROM T "), DBIF_RC_OK);
    EXPECT_EQ(conn_->commArea().rowCount, 7);
    std::unique_ptr<DbIfStatement> stmt;
    ASSERT_EQ(conn_->prepare(u"SELECT A FROM T WHERE B = ?", DBIF_CLASS_READ, &stmt), DBIF_RC_OK);
    DbIfRowBatch params;
    fillBatch(&params, {{T(u"x")}});
    ASSERT_EQ(stmt->begRead(&params), DBIF_RC_OK);
    ASSERT_EQ(stmt->endRead(), DBIF_RC_OK);
    ASSERT_EQ(conn_->commit(), DBIF_RC_OK);
    ASSERT_EQ(conn_->disconnect(), DBIF_RC_OK);
    EXPECT_EQ(dbif_fake_statements(),
              (std::vector<std::u16string>{u"DELETE FROM T", u"SELECT A FROM T WHERE B = ?"}));
    EXPECT_EQ(ops(), (std::vector<dbif_fakeop>{dbif_fakeop::connect, dbif_fakeop::execute,
                                               dbif_fakeop::prepare, dbif_fakeop::begRead,
                                               dbif_fakeop::endRead, dbif_fakeop::commit,
                                               dbif_fakeop::disconnect}));
    EXPECT_EQ(dbif_fake_calls()[3].params, (Rows{{T(u"x")}}));
}

TEST_F(DbifFakeTest, ConnectionFailuresAndTheUnconnectedState) {
    std::unique_ptr<DbIfStatement> stmt;
    ASSERT_EQ(conn_->prepare(u"SELECT 1", DBIF_CLASS_READ, &stmt), DBIF_RC_OK);
    const dbif_fakefailure_t f = {.rc = DBIF_RC_DB_ERROR, .dbCode = 12541, .text = u"no listener"};
    dbif_fake_setfailure(dbif_fakeop::commit, nullptr, f);
    EXPECT_EQ(conn_->commit(), DBIF_RC_DB_ERROR);
    EXPECT_EQ(conn_->commArea().dbCode, 12541);
    EXPECT_EQ(conn_->commArea().errorText, u"no listener");
    ASSERT_EQ(conn_->disconnect(), DBIF_RC_OK);
    std::unique_ptr<DbIfStatement> other;
    EXPECT_EQ(conn_->prepare(u"SELECT 1", DBIF_CLASS_READ, &other), DBIF_RC_DB_ERROR);
    EXPECT_EQ(conn_->commArea().errorText, u"Not connected to the FAKE database");
    EXPECT_EQ(conn_->execute(u"SELECT 1"), DBIF_RC_DB_ERROR);
    dbif_fake_setfailure(dbif_fakeop::connect, nullptr, f);
    EXPECT_EQ(conn_->connect(), DBIF_RC_DB_ERROR);
    EXPECT_EQ(conn_->execute(u"SELECT 1"), DBIF_RC_DB_ERROR);
    // A statement outliving its connection fails.
    conn_.reset();
    DbIfRowBatch batch;
    unsigned long processed = 0;
    EXPECT_EQ(stmt->begRead(nullptr), DBIF_RC_DB_ERROR);
    EXPECT_EQ(stmt->exeRead(&batch, 1), DBIF_RC_DB_ERROR);
    EXPECT_EQ(stmt->modify(nullptr, &processed), DBIF_RC_DB_ERROR);
}

TEST_F(DbifFakeTest, ControlAnswersCanBeScripted) {
    dbif_control_t arg;
    ASSERT_EQ(conn_->control(DBIF_CTL_VERSION, &arg), DBIF_RC_OK);
    EXPECT_EQ(arg.text, u"FAKE 1.0");
    EXPECT_EQ(conn_->control(DBIF_CTL_VIEW_LAYER, &arg), DBIF_RC_NOT_SUPPORTED);
    dbif_fake_setcontrol(DBIF_CTL_VERSION, DBIF_RC_OK, u"Fake DB 12.1  beta");
    dbif_fake_setcontrol(DBIF_CTL_VIEW_LAYER, DBIF_RC_OK, nullptr);
    dbif_fake_setcontrol(DBIF_CTL_CLIENT_VERSION, DBIF_RC_DB_ERROR, u"no client");
    ASSERT_EQ(conn_->control(DBIF_CTL_VERSION, &arg), DBIF_RC_OK);
    EXPECT_EQ(arg.text, u"Fake DB 12.1  beta");
    EXPECT_EQ(conn_->control(DBIF_CTL_VIEW_LAYER, &arg), DBIF_RC_OK);
    EXPECT_EQ(conn_->control(DBIF_CTL_CLIENT_VERSION, &arg), DBIF_RC_DB_ERROR);
    EXPECT_EQ(conn_->commArea().errorText, u"no client");
}

}  // namespace

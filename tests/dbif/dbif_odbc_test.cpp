// The ODBC engine on real drivers (SQLite, PostgreSQL, MariaDB): the engine's catalogue and
// failures the databases themselves report. The engine contract and the drivers' types run in
// dbif_engine_test.cpp.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../upglib/testutil.h"
#include "dbif.h"
#include "dbif_testutil.h"

namespace {

class DbifOdbcTest : public EngineTest {
  protected:
    static std::u16string upper(std::u16string name) {
        for (char16_t& c : name)
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        return name;
    }
};

INSTANTIATE_TEST_SUITE_P(Drivers, DbifOdbcTest,
                         ::testing::Values("ODBC_SQLITE", "ODBC_PGSQL", "ODBC_MARIADB"),
                         engineName);

// Without a nametab the catalogue functions describe a table: columns in table order with the
// types a query of them gets, the primary key's fields, and nothing for a missing table.
TEST_P(DbifOdbcTest, TheCatalogueDescribesTablesWithoutANametab) {
    std::u16string t = table(u"cat",
                             u"k2 VARCHAR(10) NOT NULL, k1 INTEGER NOT NULL, "
                             u"amount NUMERIC(12,3), note VARCHAR(40), "
                             u"PRIMARY KEY (k1, k2)");
    dbif_catrequest_t request;
    request.ddntt = u"DDNTT";
    request.ddntf = u"DDNTF";
    std::u16string name = upper(t);
    request.table = name.c_str();
    request.flags = DBIF_CATREQ_ENGINE;
    dbif_control_t arg;
    arg.catalog = &request;
    ASSERT_EQ(conn_->control(DBIF_CTL_CATALOG_DESCRIBE, &arg), DBIF_RC_OK) << commText(*conn_);
    const dbif_cattable_t& d = request.result;
    const struct {
        const char16_t* name;
        int type;
        unsigned length;
        bool key, notNull;
    } expected[] = {
        {u"K2", DBIF_TYPE_CHAR, 10, true, true},
        {u"K1", DBIF_TYPE_INT, 4, true, true},
        {u"AMOUNT", DBIF_TYPE_PACKED, 12, false, false},
        {u"NOTE", DBIF_TYPE_CHAR, 40, false, false},
    };
    ASSERT_EQ(d.fields.size(), std::size(expected));
    for (size_t i = 0; i < d.fields.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(d.fields[i].name, expected[i].name);
        EXPECT_EQ(d.fields[i].dbType, expected[i].type);
        EXPECT_EQ(d.fields[i].dbLength, expected[i].length);
        EXPECT_EQ(d.fields[i].key, expected[i].key);
        EXPECT_EQ(d.fields[i].notNull, expected[i].notNull);
    }
    const std::u16string missing = upper(prefix() + u"_none");
    request.table = missing.c_str();
    EXPECT_EQ(conn_->control(DBIF_CTL_CATALOG_DESCRIBE, &arg), DBIF_RC_NOT_FOUND);
}

// Failures the database reports reach the caller with the driver's native code and message:
// a statement that does not prepare, a row that fails while it is fetched, and a commit that a
// deferred constraint refuses (PostgreSQL only: the others check at once). The transaction
// stays usable after each.
TEST_P(DbifOdbcTest, DatabaseFailuresCarryTheDriversCodeAndMessage) {
    std::u16string t = table(u"f", u"id INTEGER NOT NULL PRIMARY KEY, d INTEGER");
    ASSERT_EQ(exec(u"INSERT INTO " + t + u" VALUES (1, 1), (2, 0), (3, 1)"), DBIF_RC_OK);
    std::unique_ptr<DbIfStatement> stmt;
    int rc = conn_->prepare(u"SELEC nothing FROM nowhere", DBIF_CLASS_READ, &stmt);
    if (rc == DBIF_RC_OK) rc = stmt->begRead(nullptr);  // drivers that prepare lazily
    EXPECT_TRUE(isFailureCode(rc)) << rc;
    EXPECT_NE(conn_->commArea().errorText.find(u"SQLSTATE"), std::u16string::npos)
        << commText(*conn_);
    if (backend() == "PGSQL") {
        QueryResult r = runQuery(*conn_, u"SELECT 10 / d FROM " + t + u" ORDER BY id", {}, 1);
        EXPECT_EQ(r.rc, DBIF_RC_DB_ERROR);
        EXPECT_NE(conn_->commArea().errorText.find(u"(SQLSTATE 22012)"), std::u16string::npos);
        std::u16string u = table(u"u", u"id INTEGER UNIQUE DEFERRABLE INITIALLY DEFERRED");
        ASSERT_EQ(exec(u"INSERT INTO " + u + u" VALUES (1), (1)"), DBIF_RC_OK);
        EXPECT_EQ(conn_->commit(), DBIF_RC_DUPLICATE);
        EXPECT_NE(conn_->commArea().dbCode, 0);
    }
    EXPECT_EQ(count(t), 3);  // committed when the second table was made
}

}  // namespace

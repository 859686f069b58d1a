// The catalogue service over the scripted engine: dictionary types of engine columns, reading
// and checking nametab rows, and the cache. The real engines' catalogues are exercised through
// the nametab reader (tests/upglib/ulnametab_test.cpp).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dbif.h"
#include "dbif_fake.h"
#include "dbif_testutil.h"

namespace {

constexpr char16_t kHeaderSql[] =
    u"SELECT TABTYPE, TABFORM, REFNAME, CLIDEP, CLIPOS, FLDCNT, KEYCNT, PKEYCNT, KEYLEN, TABLEN, "
    u"SHRTYPE, TEMPFLAG, STORETYPE FROM \"DDNTT~\" WHERE TABNAME = ?";
constexpr char16_t kFieldSql[] =
    u"SELECT FIELDPOS, FIELDNAME, DDTYPE, DDLEN, DIGITS, DECIMALS, DBTYPE, DBLEN, KEYFLAG, "
    u"NOTNULLFLAG, FLDOFFS FROM \"DDNTF~\" WHERE TABNAME = ? ORDER BY FIELDPOS";

class DbifCatalogTest : public FakeConnectionTest {
  protected:
    int describe(const char16_t* table, dbif_cattable_t* out = nullptr, int flags = 0) {
        dbif_catrequest_t request;
        request.ddntt = u"DDNTT~";
        request.ddntf = u"DDNTF~";
        request.table = table;
        request.flags = flags;
        dbif_control_t argument;
        argument.catalog = &request;
        const int rc = conn_->control(DBIF_CTL_CATALOG_DESCRIBE, &argument);
        if (out) *out = request.result;
        return rc;
    }
    void flush(long scope) {
        dbif_control_t argument;
        argument.intValue = scope;
        ASSERT_EQ(conn_->control(DBIF_CTL_CATALOG_FLUSH, &argument), DBIF_RC_OK);
    }
    // A nametab entry of T: header values (TABTYPE ... STORETYPE) and field rows.
    static void scriptEntry(const dbif_fakerow_t& header, const Rows& fields) {
        dbif_fake_setresult(kHeaderSql, std::vector<dbif_coldesc_t>(13), {header});
        dbif_fake_setresult(kFieldSql, std::vector<dbif_coldesc_t>(11), fields);
    }
    static dbif_fakerow_t header(int fields, int keys) {
        return {T(u"T"), T(u"T"), T(u""), I(0), I(0), I(fields), I(keys),
                I(0),    I(0),    I(0),   I(2), I(0), T(u"C")};
    }
    static dbif_fakerow_t fieldRow(int pos, const char16_t* name, int key) {
        return {I(pos), T(name), I(40), I(10), I(0), I(0), I(DBIF_TYPE_CHAR),
                I(10),  I(key),  I(1),  N()};
    }
};

dbif_catfield_t engineColumn(const char16_t* name, int type, unsigned length, bool key = false,
                             unsigned decimals = 0) {
    dbif_catfield_t f;
    f.name = name;
    f.dbType = type;
    f.dbLength = length;
    f.decimals = decimals;
    f.key = key;
    return f;
}

TEST_F(DbifCatalogTest, EngineColumnsGetTheDictionaryTypeOfTheirDatabaseType) {
    const struct {
        dbif_catfield_t column;
        int ddicType;
        unsigned ddicLength, digits;
    } cases[] = {
        {engineColumn(u"MANDT", DBIF_TYPE_CHAR, 3, true), DBIF_DDIC_CLNT, 3, 0},
        {engineColumn(u"I1", DBIF_TYPE_INT, 1, true), DBIF_DDIC_INT1, 3, 3},
        {engineColumn(u"I8", DBIF_TYPE_INT, 8), DBIF_DDIC_INT8, 19, 19},
        {engineColumn(u"P", DBIF_TYPE_PACKED, 15, false, 2), DBIF_DDIC_DEC, 15, 15},
        {engineColumn(u"C", DBIF_TYPE_CHAR, 20), DBIF_DDIC_CHAR, 20, 0},
        {engineColumn(u"CLIENT", DBIF_TYPE_CHAR, 3), DBIF_DDIC_CHAR, 3, 0},
        {engineColumn(u"V", DBIF_TYPE_CHAR, 0), DBIF_DDIC_SSTR, 0, 0},
        {engineColumn(u"L", DBIF_TYPE_LONGCHAR, 0), DBIF_DDIC_STRG, 0, 0},
        {engineColumn(u"D16", DBIF_TYPE_DECFLOAT16, 8), DBIF_DDIC_D16N, 16, 16},
    };
    dbif_cattable_t scripted;
    for (const auto& c : cases) scripted.fields.push_back(c.column);
    dbif_fake_setcatalog(u"T", &scripted);  // and no "DDNTT~": the engine describes T

    dbif_cattable_t t;
    ASSERT_EQ(describe(u"T", &t), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(t.source, DBIF_CATSRC_ENGINE);
    EXPECT_EQ(t.nkeys, 2u);
    EXPECT_TRUE(t.clientDependent);
    EXPECT_EQ(t.clientPos, 1u);
    ASSERT_EQ(t.fields.size(), std::size(cases));
    for (size_t i = 0; i < t.fields.size(); ++i) {
        SCOPED_TRACE(ul_utf16to8(t.fields[i].name.c_str()));
        EXPECT_EQ(t.fields[i].ddicType, cases[i].ddicType);
        EXPECT_EQ(t.fields[i].ddicLength, cases[i].ddicLength);
        EXPECT_EQ(t.fields[i].digits, cases[i].digits);
        EXPECT_EQ(t.fields[i].decimals, cases[i].column.decimals);
    }
    EXPECT_EQ(describe(u"OTHER"), DBIF_RC_NOT_FOUND);
    // A client field that is no key field leaves the table client-independent.
    scripted.fields[0].key = false;
    dbif_fake_setcatalog(u"T2", &scripted);
    ASSERT_EQ(describe(u"T2", &t), DBIF_RC_OK);
    EXPECT_EQ(t.fields[0].ddicType, DBIF_DDIC_CHAR);
    EXPECT_EQ(t.clientPos, 0u);
}

// Without a catalogue of its own the engine relies on the nametab; answers are kept until
// flushed, a missing entry too.
TEST_F(DbifCatalogTest, NametabAnswersAreCachedUntilFlushed) {
    scriptEntry(header(2, 1), {fieldRow(1, u"K", 1), fieldRow(2, u"V", 0)});
    dbif_cattable_t t;
    ASSERT_EQ(describe(u"T", &t), DBIF_RC_OK) << commText(*conn_);
    EXPECT_EQ(t.source, DBIF_CATSRC_NAMETAB);
    EXPECT_EQ(t.nkeys, 1u);
    EXPECT_EQ(t.shareType, 2);
    EXPECT_EQ(t.storeType, u'C');
    ASSERT_EQ(t.fields.size(), 2u);
    EXPECT_TRUE(t.fields[0].key && t.fields[0].notNull);
    EXPECT_EQ(t.fields[1].offset, -1);
    EXPECT_EQ(dbif_fake_statements().size(), 2u);

    ASSERT_EQ(describe(u"T"), DBIF_RC_OK);
    EXPECT_EQ(dbif_fake_statements().size(), 2u);
    flush(DBIF_CATFLUSH_TABLES);
    ASSERT_EQ(describe(u"T"), DBIF_RC_OK);
    EXPECT_EQ(dbif_fake_statements().size(), 4u);

    dbif_fake_setresult(kHeaderSql, std::vector<dbif_coldesc_t>(13), {});
    EXPECT_EQ(describe(u"T"), DBIF_RC_OK);  // still the cached answer
    flush(DBIF_CATFLUSH_ALL);
    EXPECT_EQ(describe(u"T"), DBIF_RC_NOT_FOUND);
    const size_t seen = dbif_fake_statements().size();
    EXPECT_EQ(describe(u"T"), DBIF_RC_NOT_FOUND);
    EXPECT_EQ(dbif_fake_statements().size(), seen);
}

TEST_F(DbifCatalogTest, InconsistentNametabRowsFail) {
    dbif_fakerow_t badCount = header(2, 1);
    badCount[5] = T(u"two");
    dbif_fakerow_t negative = header(2, 1);
    negative[6] = T(u"-1");
    const struct {
        dbif_fakerow_t header;
        Rows fields;
        const char* error;
    } cases[] = {
        {header(3, 1),
         {fieldRow(1, u"K", 1), fieldRow(2, u"V", 0)},
         "Nametab 'DDNTT~' gives 3 fields for 'T', but DDNTF~ has 2"},
        {header(2, 1),
         {fieldRow(1, u"K", 1), fieldRow(3, u"V", 0)},
         "Field 'V' at position 3 of 'T' in DDNTF~: expected position 2"},
        {badCount, {}, "Invalid value 'two' in DDNTT~.FLDCNT for 'T'"},
        {negative, {}, "Invalid value '-1' in DDNTT~.KEYCNT for 'T'"},
    };
    for (const auto& c : cases) {
        scriptEntry(c.header, c.fields);
        flush(DBIF_CATFLUSH_TABLES);
        EXPECT_EQ(describe(u"T"), DBIF_RC_DB_ERROR);
        EXPECT_EQ(ul_utf16to8(conn_->commArea().errorText.c_str()), c.error);
    }
    dbif_fake_setresult(kHeaderSql, std::vector<dbif_coldesc_t>(13), {header(1, 1), header(1, 1)});
    flush(DBIF_CATFLUSH_TABLES);
    EXPECT_EQ(describe(u"T"), DBIF_RC_DB_ERROR);
    EXPECT_EQ(ul_utf16to8(conn_->commArea().errorText.c_str()),
              "Nametab 'DDNTT~' has 2 entries for 'T'");
    // A failing statement passes its code on and leaves nothing cached.
    scriptEntry(header(1, 1), {fieldRow(1, u"K", 1)});
    dbif_fake_setfailure(dbif_fakeop::prepare, kFieldSql,
                         {.rc = DBIF_RC_REJECTED, .text = u"no such table", .times = 1});
    EXPECT_EQ(describe(u"T"), DBIF_RC_REJECTED);
    EXPECT_EQ(describe(u"T"), DBIF_RC_OK);

    dbif_control_t argument;
    EXPECT_EQ(conn_->control(DBIF_CTL_CATALOG_DESCRIBE, &argument), DBIF_RC_NOT_SUPPORTED);
    EXPECT_EQ(ul_utf16to8(conn_->commArea().errorText.c_str()),
              "Invalid catalogue request (control code 130)");
}

}  // namespace

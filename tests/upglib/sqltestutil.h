// Row callbacks and fixtures shared by the SQL-layer tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dbif_fake.h"
#include "tempdir.h"
#include "testutil.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlcondition.h"
#include "ulsqlutil.h"
#include "ulstring2.h"
#include "ultrace.h"

// Keeps the rows a query delivers, raw and text; returns stopValue after stopAfter rows.
class CollectRows : public ULSQLCallBack {
  public:
    struct Row {
        unsigned flags;
        std::vector<std::optional<std::u16string>> texts;
        std::vector<std::optional<std::vector<unsigned char>>> raws;
    };
    int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                  unsigned* lengths, unsigned ncols) override {
        Row row{flags, {}, {}};
        for (unsigned i = 0; i < ncols; ++i) {
            row.texts.push_back(values && values[i] ? std::optional(std::u16string(values[i]))
                                                    : std::nullopt);
            row.raws.push_back(raw && raw[i] ? std::optional(std::vector<unsigned char>(
                                                   raw[i], raw[i] + lengths[i]))
                                             : std::nullopt);
        }
        rows.push_back(std::move(row));
        return rows.size() == stopAfter ? stopValue : 0;
    }
    // The first column of the data rows as text ("<null>" for NULL).
    std::vector<std::u16string> column(size_t i = 0) const {
        std::vector<std::u16string> out;
        for (const Row& r : rows)
            if (r.flags & UL_ROW_DATA) out.push_back(r.texts[i].value_or(u"<null>"));
        return out;
    }
    std::vector<Row> rows;
    size_t stopAfter = 0;
    int stopValue = 0;
};

// Supplies parameter rows as texts; asks for a commit after the rows listed in commitAfter.
class Supply : public ULSQLCallBack {
  public:
    explicit Supply(std::vector<std::vector<std::u16string>> rows) : rows_(std::move(rows)) {}
    int handleRow(unsigned flags, const unsigned char**, const char16_t** values, unsigned*,
                  unsigned ncols) override {
        flags_.push_back(flags);
        if (next_ == rows_.size()) return UL_PARAMS_END;
        for (unsigned i = 0; i < ncols && i < rows_[next_].size(); ++i)
            values[i] = rows_[next_][i].c_str();
        bool commit = false;
        for (size_t c : commitAfter) commit = commit || c == next_;
        ++next_;
        return commit ? UL_PARAMS_COMMIT : 0;
    }
    std::vector<size_t> commitAfter;
    const std::vector<unsigned>& flags() const { return flags_; }

  private:
    std::vector<std::vector<std::u16string>> rows_;
    size_t next_ = 0;
    std::vector<unsigned> flags_;
};

// ---- a vendor database answered by the FAKE engine -------------------------------------------

// An engine column description.
inline dbif_coldesc_t column(const char16_t* name, int type, unsigned length,
                             unsigned decimals = 0) {
    dbif_coldesc_t c;
    c.name = name;
    c.type = type;
    c.length = length;
    c.decimals = decimals;
    return c;
}

// The support row of a vendor database type (with its hooks) whose engine is FAKE.
inline ul_sqldbsupport_t fakeVendorRow(int type, const char16_t* code) {
    ul_sqldbsupport_t row = SQLDBSupport[type];
    row.code = code;
    row.engine = u"FAKE";
    return row;
}

// Connects to support rows of the test's choice on FAKE: dbms_type selects the first row, the
// log is captured, and the database user and its schema are "DBUSER".
class FakeVendorTest : public ::testing::Test {
  protected:
    FakeVendorTest(const ul_sqldbsupport_t* rows, size_t n) : rows_(rows), n_(n) {}
    void SetUp() override {
        ul_msgwrite_reset();
        dbif_fake_register();
        ul_sqlsettestdbsupport(rows_, n_);
        setenv("dbms_type", ul_utf16to8(rows_[0].code).c_str(), 1);
        for (const char* name : kViewLayerEnv) unsetenv(name);
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
        dbif_fake_setcontrol(DBIF_CTL_USER, DBIF_RC_OK, u"DBUSER");
        dbif_fake_setcontrol(DBIF_CTL_SCHEMA, DBIF_RC_OK, u"DBUSER");
    }
    void TearDown() override {
        if (ul_sqlisconnected()) (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);  // cleanup only
        ul_sqlsettestdbsupport(nullptr, 0);
        unsetenv("dbms_type");
        for (const char* name : kViewLayerEnv) unsetenv(name);
        dbif_fake_reset();
        ul_msgwrite_reset();
    }
    // The rows of ZMX_SYSTSTATE in the schema DBUSER (property, value).
    static void systemState(std::vector<std::pair<const char16_t*, const char16_t*>> rows) {
        std::vector<dbif_fakerow_t> data;
        for (const auto& [property, value] : rows)
            data.push_back({dbif_faketext(property), dbif_faketext(value)});
        dbif_fake_setresult(kSystemStateQuery,
                            {textColumn(u"SYS_PROPERTY"), textColumn(u"SYS_VALUE")}, data);
    }
    static dbif_coldesc_t textColumn(const char16_t* name) {
        return column(name, DBIF_TYPE_CHAR, 256);
    }

    static constexpr char16_t kSystemStateQuery[] =
        u"SELECT SYS_PROPERTY, SYS_VALUE FROM \"DBUSER\".ZMX_SYSTSTATE";
    static constexpr const char* kViewLayerEnv[] = {"soi_system_identifier", "auth_shadow_upgrade"};
    MemoryStream log_;

  private:
    const ul_sqldbsupport_t* rows_;
    size_t n_;
};

// ---- the SQL layer on a real engine ------------------------------------------------------------

// Whether the environment names a PostgreSQL server (scripts/pgtest.sh provides one).
// That a call failed: it returned -1 and left `message` as the error text.
inline ::testing::AssertionResult failedWith(long rc, std::string_view message) {
    const std::string got = u8(errorText());
    if (rc == -1 && got == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "returned " << rc << " with '" << got << "', expected -1 with '" << message << "'";
}

// Prepares sql in stmt (arguments as ULSQLStmt::prepare); a failure fails the test with the
// error text.
inline void mustPrepare(ULSQLStmt* stmt, const std::u16string& sql,
                        const ul_sqlfielddesc_t* in = nullptr, unsigned nIn = 0,
                        const ul_sqlfielddesc_t* out = nullptr, unsigned nOut = 0, int mode = 0) {
    ASSERT_EQ(stmt->prepare(sql.c_str(), in, nIn, out, nOut, mode), 0)
        << u8(sql) << ": " << u8(errorText());
}

inline bool havePostgres() {
    return getenv("PGHOST") || getenv("dbs_pgsql_conninfo");
}

// The condition texts of a split, in order.
inline std::vector<std::u16string> conditions(const ULTableSplit& split) {
    std::vector<std::u16string> out;
    for (const ul_tablesegment_t& s : split) out.emplace_back(s.condition());
    return out;
}

inline std::u16string w(const std::string& text) {
    return ul_utf8to16(text.c_str());
}

// Selects one real engine through dbms_type: SQLite in a temporary file, or the PostgreSQL server
// of the environment ("PGSQL_LOWER": with dbs_pgsql_namecase=lower, so that the tables the test
// makes are in lower case). Table names carry the process id, because parallel test processes
// share one PostgreSQL database; the tables named through table() are dropped at the end.
class EngineSession {
  public:
    // False, with the reason, when the engine is not available.
    bool open(std::string engine, std::string* why) {
        if (engine == "PGSQL_LOWER") {
            nameCase_.emplace("dbs_pgsql_namecase", "lower");
            engine = "PGSQL";
        }
        if (engine == "PGSQL" && !havePostgres()) {
            *why = "no PostgreSQL server (PGHOST or dbs_pgsql_conninfo not set)";
            return false;
        }
        if (engine == "SQLITE") {
            if (!dir_.ok()) {
                *why = "no temporary directory";
                return false;
            }
            setenv("dbs_sqlite_db", dir_.write("test.db", "").c_str(), 1);
        }
        setenv("dbms_type", engine.c_str(), 1);
        engine_ = engine;
        return true;
    }
    bool isPg() const { return engine_ == "PGSQL"; }
    ~EngineSession() {
        if (engine_.empty()) return;
        if (!tables_.empty() && (ul_sqlisconnected() || ul_sqlconnect2(UL_CONNECT_QUIET) == 0))
            for (const std::u16string& t : tables_)
                (void)ULSQLStmt::run((u"DROP TABLE \"" + t + u"\"").c_str(), nullptr, 0, nullptr,
                                     nullptr, UL_SQLMODE_TOLERATE);  // cleanup only
        if (ul_sqlisconnected()) (void)ul_sqldisconnect(0);          // cleanup only
    }
    // "<BASE>_<pid>": in upper case, as the tool writes table names.
    std::u16string table(const std::string& base) {
        std::u16string name = w(base + "_" + std::to_string(getpid()));
        for (char16_t& c : name)
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        tables_.push_back(name);
        return tables_.back();
    }

  private:
    std::string engine_;
    std::optional<ScopedEnv> nameCase_;  // the name case before, restored at the end
    TempDir dir_;
    std::vector<std::u16string> tables_;
};

// Connected to the engine the test parameter names (see EngineSession), with the global flags,
// the session settings and the log reset; skipped when the engine is not available.
class SqlEngineTest : public ::testing::TestWithParam<const char*> {
  public:
    static std::string engineName(const ::testing::TestParamInfo<const char*>& info) {
        return info.param;
    }

  protected:
    void SetUp() override {
        ul_msgwrite_reset();
        ul_traceresetlevels();
        ul_sqlresetglobalflags();
        ul_sqlresetsession();
        ul_errorsetmsg(0, nullptr);
        std::string why;
        if (!session_.open(GetParam(), &why)) GTEST_SKIP() << why;
        ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << ul_utf16to8(ul_errorgetmsg());
    }
    void TearDown() override {
        ul_sqlresetglobalflags();
        ul_sqlresetsession();
        ul_msgwrite_reset();
    }
    // Runs sql without parameters; the result of execute, or -1.
    static long exec(const std::u16string& sql, ULSQLCallBack* callback = nullptr, int mode = 0,
                     unsigned long* count = nullptr) {
        return ULSQLStmt::run(sql.c_str(), nullptr, 0, callback, count, mode);
    }
    // One column of the rows of a query, as text.
    static std::vector<std::u16string> select(const std::u16string& sql, size_t column = 0) {
        CollectRows rows;
        EXPECT_EQ(exec(sql, &rows), 0)
            << ul_utf16to8(sql.c_str()) << ": " << ul_utf16to8(ul_errorgetmsg());
        return rows.column(column);
    }
    EngineSession session_;
};

// ---- a nametab of the test's own ---------------------------------------------------------------

// A field of a nametab entry: dictionary type and length (docs/nametab-layout.md).
struct NtField {
    const char16_t* name;
    int ddtype;
    int ddlen;
    int decimals;
    bool key;
};
// A nametab entry: TABTYPE, TABFORM, REFNAME and the fields.
struct NtTable {
    std::u16string name;
    char16_t type, form;
    std::u16string ref;
    std::vector<NtField> fields;
};

// DDNTT and DDNTF tables of the session (named and dropped through it), used as the nametab
// while the object lives. define() adds an entry and creates a database table for it.
class TestNameTab {
  public:
    // False, with the error text, when the tables cannot be made.
    bool open(EngineSession* session) {
        session_ = session;
        if (ULNameTab::setNameTab(session->table("DDNTT").c_str(), nullptr, nullptr) < 0)
            return false;
        ntf_ = session->table("DDNTF");
        return run(u"CREATE TABLE \"" + std::u16string(ULNameTab::getNameTabName(0)) +
                   u"\" (TABNAME VARCHAR(130) NOT NULL PRIMARY KEY, TSTAMP VARCHAR(14), "
                   u"TABTYPE CHAR(1), TABFORM CHAR(1), REFNAME VARCHAR(130), CLIDEP SMALLINT, "
                   u"CLIPOS SMALLINT, FLDCNT SMALLINT, KEYCNT SMALLINT, PKEYCNT SMALLINT, KEYLEN "
                   u"INTEGER, TABLEN INTEGER, SHRTYPE SMALLINT, TEMPFLAG SMALLINT, STORETYPE "
                   u"CHAR(1))") &&
               run(u"CREATE TABLE \"" + ntf_ +
                   u"\" (TABNAME VARCHAR(130) NOT NULL, FIELDPOS SMALLINT NOT NULL, FIELDNAME "
                   u"VARCHAR(130), DDTYPE SMALLINT, DDLEN INTEGER, DIGITS SMALLINT, DECIMALS "
                   u"SMALLINT, DBTYPE SMALLINT, DBLEN INTEGER, KEYFLAG SMALLINT, NOTNULLFLAG "
                   u"SMALLINT, FLDOFFS INTEGER, PRIMARY KEY (TABNAME, FIELDPOS))");
    }
    ~TestNameTab() {
        if (session_) ULNameTab::setNameTab(nullptr, nullptr, nullptr);
    }
    // The nametab rows of t and a database table "db" with its columns (none when db is empty).
    bool define(const NtTable& t, const std::u16string& db) {
        int keys = 0;
        for (const NtField& f : t.fields) keys += f.key;
        if (!run(u"INSERT INTO \"" + std::u16string(ULNameTab::getNameTabName(0)) +
                 u"\" VALUES ('" + t.name + u"', '20260101000000', '" + t.type + u"', '" + t.form +
                 u"', '" + t.ref + u"', 0, 0, " + ul_format(u"%zu, %d", t.fields.size(), keys) +
                 u", 0, 0, 0, 0, 0, '')"))
            return false;
        std::u16string columns, keyList;
        for (size_t i = 0; i < t.fields.size(); ++i) {
            const NtField& f = t.fields[i];
            if (!run(u"INSERT INTO \"" + ntf_ + u"\" VALUES ('" + t.name + u"', " +
                     ul_format(u"%zu, '%s', %d, %d, %d, %d, 0, 0, %d, %d, NULL)", i + 1, f.name,
                               f.ddtype, f.ddlen, f.ddtype == 160 ? f.ddlen : 0, f.decimals, f.key,
                               f.key)))
                return false;
            columns += (i ? u", " : u"") + std::u16string(f.name) + u" " + sqlType(f);
            if (f.key) keyList += (keyList.empty() ? u"" : u", ") + std::u16string(f.name);
        }
        return db.empty() || run(u"CREATE TABLE \"" + db + u"\" (" + columns + u", PRIMARY KEY (" +
                                 keyList + u"))");
    }
    // The field descriptions of a nametab entry, names owned by this object.
    std::vector<ul_sqlfielddesc_t> describe(const std::u16string& table) {
        ULLDObject object;
        ul_sqlfielddesc_t* descs = nullptr;
        unsigned n = 0;
        if (ULNameTab(table.c_str(), 0).getTableInfo(&object) < 0 ||
            ul_sqltablegetoiflags(&object, nullptr, 0, &descs, &n, 0) < 0)
            return {};
        names_.emplace_back();
        for (unsigned i = 0; i < n; ++i) names_.back().push_back(descs[i].name);
        std::vector<ul_sqlfielddesc_t> out(descs, descs + n);
        for (unsigned i = 0; i < n; ++i) out[i].name = names_.back()[i].c_str();
        free(descs);
        return out;
    }

  private:
    std::u16string sqlType(const NtField& f) const {
        if (f.ddtype == 40) return ul_format(u"VARCHAR(%d)", f.ddlen);
        if (f.ddtype == 160) return ul_format(u"NUMERIC(%d,%d)", f.ddlen, f.decimals);
        if (f.ddtype == 168 || f.ddtype == 172) return f.ddtype == 168 ? u"SMALLINT" : u"INTEGER";
        return session_->isPg() ? u"bytea" : u"BLOB";
    }
    static bool run(const std::u16string& sql) {
        const long rc = ULSQLStmt::run(sql.c_str(), nullptr, 0, nullptr, nullptr, 0);
        EXPECT_GE(rc, 0) << ul_utf16to8(sql.c_str()) << ": " << ul_utf16to8(ul_errorgetmsg());
        return rc >= 0;
    }
    EngineSession* session_ = nullptr;
    std::u16string ntf_;
    std::vector<std::vector<std::u16string>> names_;
};

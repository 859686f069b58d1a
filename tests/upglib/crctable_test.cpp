// The table check end to end as a property: crctable runs alternately on two tables with
// planted differences (each side its own file, a copy of the other's as reference) until no side
// asks for the other; it ends within a bounded number of runs, and the evaluation names exactly
// the keys and fields that differ as SQL reads the tables back. SQLite-SQLite, PostgreSQL-
// PostgreSQL (two schemas) and SQLite-PostgreSQL.
#include "crctable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sqltestutil.h"
#include "tabrix.h"
#include "ulsqlbase.h"

namespace {

constexpr int kMaxRuns = 60;

struct Scenario {
    const char* name;
    bool primaryKey;
    int rows;
    int inserts, deletes, updates;
    bool firstAndLast;  // differences at the first and the last key
    int adjacent;       // a run of this many neighbouring rows changed, deleted or inserted
    int duplicates;     // copies of existing rows (table without primary key)
    unsigned long maxDiffs;  // 0: default
    int wide;  // further fields C01.. behind A and B; one row changed in the middle one
};

const Scenario kScenarios[] = {
    {"equal", true, 600, 0, 0, 0, false, 0, 0, 0, 0},
    {"mixed", true, 1500, 3, 3, 3, false, 0, 0, 0, 0},
    {"first_and_last", true, 700, 0, 0, 0, true, 0, 0, 0, 0},
    {"adjacent", true, 900, 0, 0, 0, false, 5, 0, 0, 0},
    {"duplicates_without_key", false, 500, 0, 1, 0, false, 0, 2, 0, 0},
    {"threshold", true, 1500, 0, 0, 8, false, 0, 0, 3, 0},
    {"wide_row", true, 400, 0, 0, 0, false, 0, 0, 0, 13},
};

struct Pair {
    const char *name, *a, *b;
};
// "MARIADB": the MariaDB server of scripts/mariadbtest.sh through the ODBC engine.
const Pair kPairs[] = {{"SQLite_SQLite", "SQLITE", "SQLITE"},
                       {"PG_PG", "PGSQL", "PGSQL"},
                       {"SQLite_PG", "SQLITE", "PGSQL"},
                       {"SQLite_MariaDB", "SQLITE", "MARIADB"},
                       {"PG_MariaDB", "PGSQL", "MARIADB"}};

// Side A's rows; a, b and the further fields are SQL literals.
struct Row {
    long k1;
    std::string k2, a, b;
    std::vector<std::string> more;
};

std::string fieldName(size_t i) {
    return i < 2 ? std::string(1, "AB"[i]) : "C" + std::to_string(100 + i - 1).substr(1);
}

// The rows of side A and of side B with the planted changes: one generator for every scenario.
void generate(const Scenario& s, std::vector<Row>* a, std::vector<Row>* b) {
    std::mt19937 rng(static_cast<unsigned>(s.rows));
    auto number = [&](unsigned n) { return std::to_string(rng() % n); };
    a->clear();
    for (int i = 0; i < s.rows; ++i)
        a->push_back({i / 7, "k" + std::to_string(i % 7),
                      i % 13 ? "'v" + number(100000) + (i % 5 ? "'" : " \xc3\xa4'") : "NULL",
                      i % 11 ? number(1000) : "NULL", {}});
    for (Row& r : *a)
        for (int f = 0; f < s.wide; ++f) r.more.push_back("'w" + number(1000) + "'");
    *b = *a;
    std::set<int> touched, gone;  // rows changed already; rows deleted
    auto fresh = [&]() {
        int i;
        do i = static_cast<int>(rng() % static_cast<unsigned>(s.rows - 2)) + 1;
        while (touched.count(i) || touched.count(i + 1));
        touched.insert(i);
        return static_cast<size_t>(i);
    };
    auto update = [&](size_t i, bool fieldA) {
        std::string& v = fieldA ? (*b)[i].a : (*b)[i].b;
        v = fieldA ? "COALESCE(" + v + ", '') || 'x'" : "COALESCE(" + v + ", 0) + 1";
    };
    auto insertAfter = [&](size_t i, const char* suffix) {
        b->push_back({(*a)[i].k1, (*a)[i].k2 + suffix, "'ins'", "1", (*a)[i].more});
    };
    for (int n = 0; n < s.updates; ++n) update(fresh(), rng() % 2);
    // 15 fields behind the keys are checked in slices of three: C06 is the middle of one.
    if (s.wide) (*b)[fresh()].more[static_cast<size_t>(s.wide / 2 - 1)] += " || 'x'";
    for (int n = 0; n < s.deletes; ++n) gone.insert(static_cast<int>(fresh()));
    for (int n = 0; n < s.inserts; ++n) insertAfter(fresh(), "i");
    for (int n = 0; n < s.duplicates; ++n) b->push_back((*a)[fresh()]);
    if (s.firstAndLast) {
        gone.insert(0);
        update(a->size() - 1, false);
        b->push_back({-1, "k0", "'before'", "1", {}});
        b->push_back({a->back().k1 + 1, "k0", "'after'", "2", {}});
    }
    for (int n = 0; n < s.adjacent; ++n) {
        const size_t at = a->size() / 2 + static_cast<size_t>(n);
        if (n % 3 == 0) gone.insert(static_cast<int>(at));
        if (n % 3 == 1) update(at, true);
        if (n % 3 == 2) insertAfter(at, "a");
    }
    std::vector<Row> out;
    for (size_t i = 0; i < b->size(); ++i)
        if (!gone.count(static_cast<int>(i))) out.push_back((*b)[i]);
    b->swap(out);
}

// A difference as the check reports it: "R key" for a row, "F key field" for a field.
using Findings = std::set<std::string>;

class CrcTableTest : public ::testing::TestWithParam<std::tuple<Pair, Scenario>> {
  protected:
    struct Side {
        std::string engine, sqlite, schema;
        bool created = false;
    };

    void SetUp() override {
        ul_msgwrite_reset();
        ul_traceresetlevels();
        ul_sqlresetglobalflags();
        ul_sqlresetsession();
        ASSERT_TRUE(dir_.ok());
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
        const Pair& p = std::get<0>(GetParam());
        if ((std::string(p.a) == "PGSQL" || std::string(p.b) == "PGSQL") && !havePostgres())
            GTEST_SKIP() << "no PostgreSQL server (PGHOST or dbs_pgsql_conninfo not set)";
        if (std::string(p.b) == "MARIADB" && !getenv("TABRIX_ODBC_MARIADB"))
            GTEST_SKIP() << "no MariaDB server (scripts/mariadbtest.sh sets TABRIX_ODBC_MARIADB)";
        const char* conninfo = getenv("dbs_pgsql_conninfo");
        baseConninfo_ = conninfo ? conninfo : "";
        const std::string pid = std::to_string(getpid());
        sides_[0] = {p.a, dir_.write("a.db", ""), "crc_a_" + pid};
        sides_[1] = {p.b, dir_.write("b.db", ""), "crc_b_" + pid};
    }
    void TearDown() override {
        for (Side& s : sides_) {
            if (!s.created || connect(s, true) < 0) continue;
            run("DROP TABLE \"CT\"");
            run("DROP SCHEMA " + s.schema);
            (void)ul_sqldisconnect(0);  // cleanup only
        }
        ul_sqlresetglobalflags();
        ul_sqlresetsession();
        ul_msgwrite_reset();
        UL_TabChkMaxDifferences = maxDiffs_;
        unsetenv("dbs_odbc_conninfo");
    }

    // Points the connection settings at a side (its schema, or the server's default one).
    void use(const Side& s, bool inSchema) {
        if (s.engine == "MARIADB") {  // a schema is a database there
            setenv("dbms_type", "ODBC", 1);
            const std::string db = inSchema ? s.schema : "tabrix_test";
            setenv("dbs_odbc_conninfo",
                   (std::string(getenv("TABRIX_ODBC_MARIADB")) + ";Database=" + db).c_str(), 1);
            return;
        }
        setenv("dbms_type", s.engine.c_str(), 1);
        setenv("dbs_sqlite_db", s.sqlite.c_str(), 1);
        const std::string schema = inSchema ? " options='-csearch_path=" + s.schema + "'" : "";
        setenv("dbs_pgsql_conninfo", (baseConninfo_ + schema).c_str(), 1);
    }
    int connect(const Side& s, bool inSchema) {
        use(s, inSchema);
        return ul_sqlconnect2(UL_CONNECT_QUIET);
    }
    static bool run(const std::string& sql, ULSQLCallBack* rows = nullptr) {
        const long rc = ULSQLStmt::run(w(sql).c_str(), nullptr, 0, rows, nullptr, 0);
        EXPECT_GE(rc, 0) << sql << ": " << errorUtf8();
        return rc >= 0;
    }
    void load(Side* s, const std::vector<Row>& rows, const Scenario& sc) {
        if (s->engine != "SQLITE") {
            ASSERT_EQ(connect(*s, false), 0) << errorUtf8();
            ASSERT_TRUE(s->created = run("CREATE SCHEMA " + s->schema));
            ASSERT_EQ(ul_sqldisconnect(0), 0);
        }
        ASSERT_EQ(connect(*s, true), 0) << errorUtf8();
        std::string more;
        for (int f = 0; f < sc.wide; ++f) more += ", \"" + fieldName(2 + f) + "\" VARCHAR(10)";
        ASSERT_TRUE(run(std::string("CREATE TABLE \"CT\" (\"K1\" INTEGER NOT NULL, \"K2\" "
                                    "VARCHAR(10) NOT NULL, \"A\" VARCHAR(40), \"B\" INTEGER") +
                        more + (sc.primaryKey ? ", PRIMARY KEY (\"K1\", \"K2\"))" : ")")));
        for (size_t i = 0; i < rows.size(); i += 200) {
            std::string sql = "INSERT INTO \"CT\" VALUES ";
            for (size_t j = i; j < rows.size() && j < i + 200; ++j) {
                sql += (j > i ? ", (" : "(") + std::to_string(rows[j].k1) + ", '" + rows[j].k2 +
                       "', " + rows[j].a + ", " + rows[j].b;
                for (const std::string& v : rows[j].more) sql += ", " + v;
                sql += ")";
            }
            ASSERT_TRUE(run(sql));
        }
        ASSERT_EQ(ul_sqldisconnect(0), 0);
    }
    // A side's table as SQL reads it back: the field texts of the rows by key "K1|K2".
    std::multimap<std::string, std::vector<std::string>> readBack(const Side& s) {
        CollectRows rows;
        EXPECT_EQ(connect(s, true), 0) << errorUtf8();
        run("SELECT * FROM \"CT\"", &rows);
        EXPECT_EQ(ul_sqldisconnect(0), 0);
        std::multimap<std::string, std::vector<std::string>> out;
        for (const CollectRows::Row& r : rows.rows) {
            std::vector<std::string> f;
            for (const auto& t : r.texts) f.push_back(t ? u8(*t) : "<null>");
            if (r.flags & UL_ROW_DATA) out.emplace(f[0] + "|" + f[1], f);
        }
        return out;
    }
    // What differs between the two tables: keys with other rows or copies on the two sides,
    // fields of the rows both sides hold once.
    Findings planted() {
        const auto a = readBack(sides_[0]), b = readBack(sides_[1]);
        Findings out;
        std::set<std::string> keys;
        for (const auto* side : {&a, &b})
            for (const auto& [k, v] : *side) keys.insert(k);
        for (const std::string& k : keys) {
            if (a.count(k) != b.count(k) || a.count(k) > 1) {
                out.insert("R " + k);
                continue;
            }
            const std::vector<std::string>&fa = a.find(k)->second, &fb = b.find(k)->second;
            for (size_t f = 2; f < fa.size(); ++f)
                if (fa[f] != fb[f]) out.insert("F " + k + " " + fieldName(f - 2));
        }
        return out;
    }
    // One crctable run on side i, with a copy of the other side's file once it exists.
    int crctable(int i, unsigned long maxDiffs) {
        const std::string own = dir_.path(i ? "B.CRC" : "A.CRC"), ref = own + ".REF";
        std::vector<std::u16string> args = {u"crctable", u"table=CT", w(own)};
        if (access(dir_.path(i ? "A.CRC" : "B.CRC").c_str(), F_OK) == 0) {
            std::filesystem::copy_file(dir_.path(i ? "A.CRC" : "B.CRC"), ref,
                                       std::filesystem::copy_options::overwrite_existing);
            args.push_back(w(ref));
        }
        if (maxDiffs) args.push_back(w("maxdiffs=" + std::to_string(maxDiffs)));
        std::vector<const char16_t*> argv;
        for (const std::u16string& a : args) argv.push_back(a.c_str());
        use(sides_[i], true);
        return cmd_CRCTABLE(static_cast<unsigned>(argv.size()), argv.data());
    }
    // What the evaluation of side A's file against side B's reports, and how many of the
    // reports are single rows or fields.
    Findings reported(int* singles) {
        struct Capture : ULCRCEvaluator {
            int report(int type, const char16_t*, const char16_t* const*, unsigned,
                       const std::u16string_view*, unsigned, const char16_t* field,
                       const std::u16string_view* end, unsigned nend, ul_dbrowcount_t,
                       ul_dbrowcount_t, const ul_chkcrcline_t*) override {
                std::string key;
                for (unsigned i = 0; i < nend; ++i) key += (i ? "|" : "") + u8(std::u16string(end[i]));
                singles += (type & (UL_CRCEVAL_SINGLEROW | UL_CRCEVAL_FIELD)) != 0;
                found.insert(type & UL_CRCEVAL_FIELD ? "F " + key + " " + u8(field) : "R " + key);
                return 0;
            }
            Findings found;
            int singles = 0;
        } capture;
        ULCheckCRCFile file;
        EXPECT_GE(file.read(dir_.wpath("A.CRC").c_str(), dir_.wpath("B.CRC").c_str(), 0), 0)
            << errorUtf8();
        EXPECT_GE(file.evaluate(&capture, UL_CRCEVAL_GIVEN, nullptr), 0) << errorUtf8();
        *singles = capture.singles;
        return capture.found;
    }
    // The connection settings the test changes, restored at its end.
    ScopedEnv keepType_{"dbms_type", getenv("dbms_type")};
    ScopedEnv keepSqlite_{"dbs_sqlite_db", getenv("dbs_sqlite_db")};
    ScopedEnv keepPg_{"dbs_pgsql_conninfo", getenv("dbs_pgsql_conninfo")};
    unsigned long maxDiffs_ = UL_TabChkMaxDifferences;
    TempDir dir_;
    MemoryStream log_;
    std::string baseConninfo_;
    Side sides_[2];
};

TEST_P(CrcTableTest, AlternatingRunsFindExactlyThePlantedDifferences) {
    const Scenario& s = std::get<1>(GetParam());
    std::vector<Row> a, b;
    generate(s, &a, &b);
    load(&sides_[0], a, s);
    load(&sides_[1], b, s);
    if (HasFatalFailure()) return;
    const Findings expected = planted();

    int runs = 0, rc = 0;
    for (int side = 0;; side ^= 1) {
        rc = crctable(side, s.maxDiffs);
        ASSERT_GE(rc, 0) << errorUtf8() << "\n" << log_.text();
        ++runs;
        if (!(rc & UL_CRCRESULT_OTHERSIDE)) break;
        ASSERT_LT(runs, kMaxRuns) << log_.text();
    }
    int singles = 0;
    const Findings found = reported(&singles);
    if (expected.empty()) {
        EXPECT_EQ(runs, 2) << log_.text();  // one round trip
        EXPECT_EQ(rc, UL_CRCRESULT_NEWLINES);
        EXPECT_TRUE(found.empty());
        return;
    }
    EXPECT_TRUE(rc & UL_CRCRESULT_DIFFS);
    if (s.maxDiffs) {
        // Digging stops once the threshold is reached: fewer rows isolated than planted, each
        // of them a planted one.
        EXPECT_GE(singles, static_cast<int>(s.maxDiffs));
        EXPECT_LT(singles, static_cast<int>(expected.size()));
        for (const std::string& f : found) EXPECT_TRUE(f[0] == 'R' || expected.count(f)) << f;
        EXPECT_NE(log_.text().find("stop further investigation due to threshold"),
                  std::string::npos);
        return;
    }
    EXPECT_EQ(found, expected) << log_.text();
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, CrcTableTest, ::testing::Combine(::testing::ValuesIn(kPairs), ::testing::ValuesIn(kScenarios)),
    [](const ::testing::TestParamInfo<std::tuple<Pair, Scenario>>& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

}  // namespace

// The table check end to end, as a property: two tables that differ in planted rows are checked
// by running crctable alternately on each side (each side its own file, the other's file as
// reference) until no side asks for the other; the run ends within a bounded number of rounds
// and the evaluation names exactly the rows (and fields) that differ, as the two tables read
// back through SQL show them. SQLite-SQLite, PostgreSQL-PostgreSQL (two schemas) and
// SQLite-PostgreSQL.
#include "crctable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
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
};

const Scenario kScenarios[] = {
    {"equal", true, 600, 0, 0, 0, false, 0, 0, 0},
    {"mixed", true, 1500, 3, 3, 3, false, 0, 0, 0},
    {"first_and_last", true, 700, 0, 0, 0, true, 0, 0, 0},
    {"adjacent", true, 900, 0, 0, 0, false, 5, 0, 0},
    {"duplicates_without_key", false, 500, 0, 1, 0, false, 0, 2, 0},
    {"threshold", true, 1500, 0, 0, 8, false, 0, 0, 3},
};

struct Pair {
    const char* name;
    const char* a;
    const char* b;
};

const Pair kPairs[] = {
    {"SQLite_SQLite", "SQLITE", "SQLITE"},
    {"PG_PG", "PGSQL", "PGSQL"},
    {"SQLite_PG", "SQLITE", "PGSQL"},
};

struct Row {
    long k1;
    std::string k2;
    std::optional<std::string> a;
    std::optional<long> b;
};

// The rows of side A and the planted changes of side B: one generator for every scenario.
void generate(const Scenario& s, unsigned seed, std::vector<Row>* a, std::vector<Row>* b) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    a->clear();
    for (int i = 0; i < s.rows; ++i) {
        std::optional<std::string> text;
        if (i % 13) text = "v" + std::to_string(rng() % 100000) + (i % 5 ? "" : " \xc3\xa4");
        a->push_back({i / 7, "k" + std::to_string(i % 7), text,
                      i % 11 ? std::optional<long>(static_cast<long>(rng() % 1000)) : std::nullopt});
    }
    *b = *a;
    std::set<int> touched;  // base rows changed already
    auto freshRow = [&]() {
        int i;
        do i = pick(s.rows - 2) + 1;
        while (touched.count(i) || touched.count(i + 1));
        touched.insert(i);
        return i;
    };
    auto update = [&](Row* r, int which) {
        if (which == 0)
            r->a = r->a ? *r->a + "x" : "new";
        else
            r->b = r->b ? *r->b + 1 : 7;
    };
    std::vector<Row> extra;
    std::set<int> gone;
    for (int n = 0; n < s.updates; ++n) update(&(*b)[static_cast<size_t>(freshRow())], pick(2));
    for (int n = 0; n < s.deletes; ++n) gone.insert(freshRow());
    for (int n = 0; n < s.inserts; ++n) {
        const Row& near = (*a)[static_cast<size_t>(freshRow())];
        extra.push_back({near.k1, near.k2 + "i", "ins", 1});
    }
    for (int n = 0; n < s.duplicates; ++n) extra.push_back((*a)[static_cast<size_t>(freshRow())]);
    if (s.firstAndLast) {
        gone.insert(0);
        extra.push_back({-1, "k0", "before", 1});
        update(&b->back(), 1);
        extra.push_back({a->back().k1 + 1, "k0", "after", 2});
    }
    if (s.adjacent) {
        const int at = s.rows / 2;
        for (int n = 0; n < s.adjacent; ++n) {
            if (n % 3 == 0) gone.insert(at + n);
            if (n % 3 == 1) update(&(*b)[static_cast<size_t>(at + n)], 0);
            if (n % 3 == 2) extra.push_back({(*a)[static_cast<size_t>(at + n)].k1,
                                             (*a)[static_cast<size_t>(at + n)].k2 + "a", "adj", 3});
        }
    }
    std::vector<Row> out;
    for (size_t i = 0; i < b->size(); ++i)
        if (!gone.count(static_cast<int>(i))) out.push_back((*b)[i]);
    out.insert(out.end(), extra.begin(), extra.end());
    b->swap(out);
}

std::string literal(const std::optional<std::string>& v) {
    if (!v) return "NULL";
    std::string out = "'";
    for (char c : *v) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// A difference as the check reports it: "R key" for a row, "F key field" for a field.
using Findings = std::set<std::string>;

class CrcTableTest : public ::testing::TestWithParam<std::tuple<Pair, Scenario>> {
  protected:
    void SetUp() override {
        ul_msgwrite_reset();
        ul_traceresetlevels();
        ul_sqlresetglobalflags();
        ul_sqlresetsession();
        ASSERT_TRUE(dir_.ok());
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
        const Pair& p = std::get<0>(GetParam());
        for (const char* engine : {p.a, p.b})
            if (std::string(engine) == "PGSQL" && !havePostgres())
                GTEST_SKIP() << "no PostgreSQL server (PGHOST or dbs_pgsql_conninfo not set)";
        const char* conninfo = getenv("dbs_pgsql_conninfo");
        baseConninfo_ = conninfo ? conninfo : "";
        const std::string pid = std::to_string(getpid());
        sides_[0] = {p.a, dir_.write("a.db", ""), "crc_a_" + pid};
        sides_[1] = {p.b, dir_.write("b.db", ""), "crc_b_" + pid};
    }
    void TearDown() override {
        for (Side& s : sides_) {
            if (!s.created || !use(s, true) || ul_sqlconnect2(UL_CONNECT_QUIET) < 0) continue;
            run("DROP TABLE \"CT\"", false);  // cleanup only
            run("DROP SCHEMA " + s.schema);
            (void)ul_sqldisconnect(0);  // cleanup only
        }
        ul_sqlresetglobalflags();
        ul_sqlresetsession();
        ul_msgwrite_reset();
        UL_TabChkMaxDifferences = 49;
        UL_SQLCRCSliceCount = 1000;
        UL_TabChkMaxSlices = 50;
        UL_SQLCRCMaxFieldLen = 100;
        UL_SQLCRCNrSamples = 1000;
    }

    struct Side {
        std::string engine, sqlite, schema;
        bool created = false;
    };

    // Points the connection settings at a side (its schema, or the server's default one).
    bool use(const Side& s, bool inSchema) {
        setenv("dbms_type", s.engine.c_str(), 1);
        setenv("dbs_sqlite_db", s.sqlite.c_str(), 1);
        const std::string info =
            baseConninfo_ + (inSchema ? " options='-csearch_path=" + s.schema + "'" : "");
        setenv("dbs_pgsql_conninfo", info.c_str(), 1);
        return true;
    }
    static bool run(const std::string& sql, bool check = true) {
        const long rc = ULSQLStmt::run(w(sql).c_str(), nullptr, 0, nullptr, nullptr, 0);
        if (check) {
            EXPECT_GE(rc, 0) << sql << ": " << errorUtf8();
        }
        return rc >= 0;
    }
    void load(Side* s, const std::vector<Row>& rows, bool primaryKey) {
        if (s->engine == "PGSQL") {
            use(*s, false);
            ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << errorUtf8();
            ASSERT_TRUE(run("CREATE SCHEMA " + s->schema));
            s->created = true;
            ASSERT_EQ(ul_sqldisconnect(0), 0);
        }
        use(*s, true);
        ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << errorUtf8();
        ASSERT_TRUE(run(std::string("CREATE TABLE \"CT\" (\"K1\" INTEGER NOT NULL, \"K2\" "
                                    "VARCHAR(10) NOT NULL, \"A\" VARCHAR(40), \"B\" INTEGER") +
                        (primaryKey ? ", PRIMARY KEY (\"K1\", \"K2\"))" : ")")));
        for (size_t i = 0; i < rows.size(); i += 200) {
            std::string sql = "INSERT INTO \"CT\" VALUES ";
            for (size_t j = i; j < rows.size() && j < i + 200; ++j) {
                const Row& r = rows[j];
                sql += (j > i ? ", (" : "(") + std::to_string(r.k1) + ", " + literal(r.k2) + ", " +
                       literal(r.a) + ", " + (r.b ? std::to_string(*r.b) : "NULL") + ")";
            }
            ASSERT_TRUE(run(sql));
        }
        ASSERT_EQ(ul_sqldisconnect(0), 0);
    }
    // The table of a side as SQL reads it back: rows by key ("K1|K2"), each with its field
    // texts.
    std::multimap<std::string, std::vector<std::string>> readBack(const Side& s) {
        use(s, true);
        EXPECT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << errorUtf8();
        CollectRows rows;
        EXPECT_EQ(ULSQLStmt::run(u"SELECT \"K1\", \"K2\", \"A\", \"B\" FROM \"CT\"", nullptr, 0,
                                 &rows, nullptr, 0),
                  0)
            << errorUtf8();
        EXPECT_EQ(ul_sqldisconnect(0), 0);
        std::multimap<std::string, std::vector<std::string>> out;
        for (const CollectRows::Row& r : rows.rows) {
            if (!(r.flags & UL_ROW_DATA)) continue;
            std::vector<std::string> f;
            for (const auto& t : r.texts) f.push_back(t ? u8(*t) : "<null>");
            out.emplace(f[0] + "|" + f[1], f);
        }
        return out;
    }
    // What differs between the two tables: rows by key (also a key with more copies on one
    // side), fields of single rows on both sides.
    Findings planted() {
        const auto a = readBack(sides_[0]), b = readBack(sides_[1]);
        static const char* const names[] = {"K1", "K2", "A", "B"};
        Findings out;
        std::set<std::string> keys;
        for (const auto& [k, v] : a) keys.insert(k);
        for (const auto& [k, v] : b) keys.insert(k);
        for (const std::string& k : keys) {
            if (a.count(k) != b.count(k) || a.count(k) > 1) {
                out.insert("R " + k);
                continue;
            }
            const auto& ra = a.find(k)->second;
            const auto& rb = b.find(k)->second;
            for (size_t f = 2; f < ra.size(); ++f)
                if (ra[f] != rb[f]) out.insert("F " + k + " " + names[f]);
        }
        return out;
    }
    // One crctable run on side i, with the other side's file as reference once it exists.
    int crctable(int i, unsigned long maxDiffs) {
        const std::string own = dir_.path(i ? "B.CRC" : "A.CRC");
        const std::string other = dir_.path(i ? "A.CRC" : "B.CRC");
        const std::string ref = dir_.path(i ? "B_ref.CRC" : "A_ref.CRC");
        std::vector<std::u16string> args = {u"crctable", u"table=CT", w(own)};
        if (access(other.c_str(), F_OK) == 0) {
            std::filesystem::copy_file(other, ref,
                                       std::filesystem::copy_options::overwrite_existing);
            args.push_back(w(ref));
        }
        if (maxDiffs) args.push_back(w("maxdiffs=" + std::to_string(maxDiffs)));
        std::vector<const char16_t*> argv;
        for (const std::u16string& a : args) argv.push_back(a.c_str());
        use(sides_[i], true);
        return cmd_CRCTABLE(static_cast<unsigned>(argv.size()), argv.data());
    }
    // The differences the evaluation of side A's file against side B's reports.
    Findings reported(int* singles) {
        class Capture : public ULCRCEvaluator {
          public:
            int report(int type, const char16_t*, const char16_t* const*, unsigned,
                       const std::u16string_view*, unsigned, const char16_t* field,
                       const std::u16string_view* end, unsigned nend, ul_dbrowcount_t,
                       ul_dbrowcount_t, const ul_chkcrcline_t*) override {
                std::string key;
                for (unsigned i = 0; i < nend; ++i) key += (i ? "|" : "") + u8(std::u16string(end[i]));
                if (type & (UL_CRCEVAL_SINGLEROW | UL_CRCEVAL_FIELD)) ++singles;
                found.insert((type & UL_CRCEVAL_FIELD) ? "F " + key + " " + u8(field)
                                                       : "R " + key);
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

    // Both CRC files, for the report of a failure.
    std::string files() const {
        std::string out;
        for (const char* name : {"A.CRC", "B.CRC"}) {
            std::ifstream in(dir_.path(name));
            out += std::string("==== ") + name + "\n" +
                   std::string(std::istreambuf_iterator<char>(in), {});
        }
        return out;
    }

    // The connection settings the test changes, restored at its end.
    ScopedEnv keepType_{"dbms_type", getenv("dbms_type")};
    ScopedEnv keepSqlite_{"dbs_sqlite_db", getenv("dbs_sqlite_db")};
    ScopedEnv keepPg_{"dbs_pgsql_conninfo", getenv("dbs_pgsql_conninfo")};
    TempDir dir_;
    MemoryStream log_;
    std::string baseConninfo_;
    Side sides_[2];
};

TEST_P(CrcTableTest, AlternatingRunsFindExactlyThePlantedDifferences) {
    const Scenario& s = std::get<1>(GetParam());
    std::vector<Row> a, b;
    generate(s, 1234u + static_cast<unsigned>(s.rows), &a, &b);
    load(&sides_[0], a, s.primaryKey);
    load(&sides_[1], b, s.primaryKey);
    if (HasFatalFailure()) return;
    const Findings expected = planted();

    int runs = 0, rc = 0;
    for (int side = 0;; side ^= 1) {
        rc = crctable(side, s.maxDiffs);
        ASSERT_GE(rc, 0) << errorUtf8() << "\n" << files();
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
        const char16_t* argv[] = {u"crceval", nullptr, nullptr};
        const std::u16string own = dir_.wpath("A.CRC"), ref = dir_.wpath("B.CRC");
        argv[1] = own.c_str();
        argv[2] = ref.c_str();
        EXPECT_EQ(cmd_CRCEVAL(3, argv), 0) << errorUtf8();
        EXPECT_NE(log_.text().find("No differences found between"), std::string::npos);
        return;
    }
    EXPECT_TRUE(rc & UL_CRCRESULT_DIFFS);
    if (s.maxDiffs) {
        // Digging stops once the threshold is reached: fewer rows isolated than planted, each
        // of them a planted one.
        EXPECT_GE(singles, static_cast<int>(s.maxDiffs));
        EXPECT_LT(singles, static_cast<int>(expected.size()));
        for (const std::string& f : found)
            if (f[0] == 'F') {
                EXPECT_TRUE(expected.count(f)) << f;
            }
        EXPECT_NE(log_.text().find("stop further investigation due to threshold"),
                  std::string::npos);
        return;
    }
    EXPECT_EQ(found, expected) << files();
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, CrcTableTest, ::testing::Combine(::testing::ValuesIn(kPairs), ::testing::ValuesIn(kScenarios)),
    [](const ::testing::TestParamInfo<std::tuple<Pair, Scenario>>& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

}  // namespace

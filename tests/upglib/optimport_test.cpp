// optimizeimport on the real engines: the marks it stores, a queue large enough for the external
// sort under every packing, and a rerun after a run that failed half-way.
#include "optimport.h"

#include <map>
#include <random>
#include <set>

#include "commandtestutil.h"

namespace {

TEST(OptimImportPacking, IntegersRoundTripInBothForms) {
    for (bool fixed : {false, true})
        for (auto [v, bytes] : {std::pair{0ul, 1u}, {127ul, 1u}, {128ul, 2u}, {16383ul, 2u},
                                {16384ul, 3u}, {4294967295ul, 5u}}) {
            unsigned char buffer[5];
            const unsigned n = ul_packuint(buffer, v, fixed);
            EXPECT_EQ(n, fixed ? 4u : bytes) << v;
            const unsigned char* p = buffer;
            unsigned long back = 0;
            ASSERT_EQ(ul_unpackuint(&p, buffer + n, fixed, &back), 0);
            EXPECT_EQ(back, v);
            EXPECT_EQ(p, buffer + n);
            p = buffer;
            EXPECT_EQ(ul_unpackuint(&p, buffer + n - 1, fixed, &back), -1) << "cut record";
        }
}

// An object entry: request, program id and type, name, function.
struct Obj {
    std::string request, type, name;
    char func = ' ';
};

class OptimImportTest : public CommandEngineTest {
  protected:
    void SetUp() override {
        open({"CREATE TABLE \"E070\" (\"TRKORR\" VARCHAR(20) NOT NULL PRIMARY KEY, \"TRFUNCTION\" "
              "CHAR(1), \"AS4USER\" VARCHAR(12))",
              "CREATE TABLE \"E071\" (\"TRKORR\" VARCHAR(20) NOT NULL, \"AS4POS\" VARCHAR(6) NOT "
              "NULL, \"PGMID\" VARCHAR(4), \"OBJECT\" VARCHAR(4), \"OBJ_NAME\" VARCHAR(120), "
              "\"OBJFUNC\" CHAR(1), \"LOCKFLAG\" CHAR(1), PRIMARY KEY (\"TRKORR\", \"AS4POS\"))"},
             {"E070", "E071"});
    }
    // The buffer file and the E071 rows (positions numbered per request).
    std::string load(const std::vector<std::string>& buffer, const std::vector<Obj>& objects) {
        std::string text, values;
        for (const std::string& line : buffer) text += line + "\n";
        std::map<std::string, int> positions;
        for (const Obj& o : objects) {
            char pos[12];
            snprintf(pos, sizeof pos, "%06d", ++positions[o.request]);
            values += (values.empty() ? "('" : ", ('") + o.request + "', '" + pos + "', '" +
                      o.type.substr(0, 4) + "', '" + o.type.substr(5) + "', '" + o.name + "', '" +
                      o.func + "', ' ')";
            if (values.size() > 50000) {
                exec("INSERT INTO \"E071\" VALUES " + values);
                values.clear();
            }
        }
        if (!values.empty()) exec("INSERT INTO \"E071\" VALUES " + values);
        (void)ul_sqldisconnect(0);
        return dir_.write("buffer", text);
    }
    int optimize(const std::string& buffer, std::vector<std::string> args, std::string* log) {
        args.insert(args.begin(), "optimizeimport");
        args.push_back(buffer);
        return run(cmd_OPTIMIZEIMPORT, args, log);
    }
    static std::vector<std::string> marked() {
        return query(
            "SELECT \"TRKORR\", \"AS4POS\", \"LOCKFLAG\" FROM \"E071\" WHERE \"LOCKFLAG\" <> ' ' "
            "ORDER BY \"TRKORR\", \"AS4POS\"");
    }
};

// The conflict rules are shown by tests/cli/optimizeimport_rules.test; here what only the
// table shows: show marks nothing, and a request listed twice is read once and marked with the
// character asked for.
TEST_P(OptimImportTest, ShowMarksNothingAndMarkCharacterIsStored) {
    const std::string file =
        load({"A", "B", "A"}, {{"A", "Q7TR PROG", "X"}, {"B", "Q7TR PROG", "X"}});
    std::string log;
    EXPECT_EQ(optimize(file, {"show"}, &log), 0) << log;
    EXPECT_NE(log.find("Obsolete entry: A                    Q7TR PROG 'X'"), std::string::npos)
        << log;
    EXPECT_EQ(marked(), std::vector<std::string>{});
    EXPECT_EQ(optimize(file, {"lockflag=X", "check"}, &log), 0) << log;
    EXPECT_NE(log.find("Read 2 transports consisting of 1 groups."), std::string::npos) << log;
    EXPECT_EQ(marked(), std::vector<std::string>{"A|000001|X"});
}

// A queue of 100 requests drawing 40 of 500 names each: every entry but the latest of each
// object is marked, whatever the packing, the sort and the way of updating.
TEST_P(OptimImportTest, LargeQueueThroughTheExternalSort) {
    std::mt19937 random(7);
    std::vector<std::string> buffer;
    std::vector<Obj> objects;
    std::map<std::string, std::string> latest;  // object -> "request|position"
    std::set<std::string> expected;
    for (int r = 0; r < 100; ++r) {
        const std::string request = "R" + std::to_string(1000 + r);
        buffer.push_back(request);
        std::set<int> names;
        while (names.size() < 40) names.insert(static_cast<int>(random() % 500));
        int pos = 0;
        for (int n : names) {
            const std::string type = n % 7 == 0 ? "R3TR TABL" : n % 2 ? "Q7SB METH" : "Q7TR CLAS";
            objects.push_back({request, type, "NAME" + std::to_string(n)});
            char p[12];
            snprintf(p, sizeof p, "%06d", ++pos);
            if (type == "R3TR TABL") continue;
            auto [it, fresh] = latest.emplace(type + objects.back().name, "");
            if (!fresh) expected.insert(it->second + "|2");
            it->second = request + "|" + p;
        }
    }
    const std::string file = load(buffer, objects);
    for (const char* features :
         {"features=fixedint", "features=memorysort", "features=stringpool,singleinsert"}) {
        SCOPED_TRACE(features);
        exec("UPDATE \"E071\" SET \"LOCKFLAG\" = ' '");
        std::string log;
        ASSERT_EQ(optimize(file, {features, "maxmemory=64K", "autocommit=500", "check"}, &log), 0)
            << log;
        const std::vector<std::string> got = marked();
        EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), expected);
        EXPECT_EQ(got.size(), expected.size());
        if (std::string(features) != "features=memorysort") {
            EXPECT_NE(log.find("External sorter: "), std::string::npos) << log;
        }
    }
}

// The first run commits its first mark and then fails on a conflict; with the conflict
// allowed, the rerun marks the rest.
TEST_P(OptimImportTest, RerunAfterAFailedRunMarksTheRest) {
    const std::string file = load({"A", "B", "SYNCMARK", "C"}, {{"A", "Q7TR CLAS", "Y"},
                                                                {"B", "Q7TR CLAS", "Y"},
                                                                {"A", "Q7TR PROG", "Z"},
                                                                {"C", "Q7TR PROG", "Z"},
                                                                {"A", "Q7TR PROG", "M"},
                                                                {"B", "Q7TR PROG", "M"}});
    std::string log;
    EXPECT_EQ(optimize(file, {"autocommit=1"}, &log), -1) << log;
    EXPECT_EQ(marked(), std::vector<std::string>{"A|000001|2"});
    const std::string ignore = dir_.write("ignore", "igndups: A C\n");
    EXPECT_EQ(optimize(file, {"autocommit=1", "ignorelist=" + ignore}, &log), 0) << log;
    EXPECT_EQ(marked(), (std::vector<std::string>{"A|000001|2", "A|000003|2"}));
}

INSTANTIATE_TEST_SUITE_P(Engines, OptimImportTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

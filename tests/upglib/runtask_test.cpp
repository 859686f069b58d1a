// sqlruntask on the real engines: the distribution rule, the edge cases of execution as a table
// of scenarios, and several executor processes working on one task at once.
#include "runtask.h"

#include <signal.h>
#include <sys/wait.h>

#include <memory>
#include <optional>

#include "childproc.h"
#include "commandtestutil.h"
#include "sqltestutil.h"
#include "tabrix.h"

namespace {

TEST(RunTaskAssign, FewestRowsFirstTiesToTheLowestNumber) {
    const struct {
        std::vector<unsigned long> rows;
        int procs;
        std::vector<int> owners;
    } cases[] = {
        {{5, 1, 1, 1}, 3, {1, 2, 3, 2}},
        {{1, 1, 1, 1, 1}, 2, {1, 2, 1, 2, 1}},
        {{2, 3, 1}, 1, {1, 1, 1}},
        {{}, 4, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(ul_runtaskassign(c.rows, c.procs), c.owners);
}

// A statement: its pieces as (LINE, text).
using Pieces = std::vector<std::pair<int, std::string>>;
using Groups = std::vector<std::vector<Pieces>>;

// The statement table and a result table R (key K) in a fresh place (see CommandEngineTest); the
// executors' PID files go to a directory of the test's own.
class RunTaskTest : public CommandEngineTest {
  protected:
    void SetUp() override {
        inside_.emplace(workDir_.path());
        task_ = "T" + std::to_string(getpid());
        open({"CREATE TABLE \"UPGSQL\" (\"TASK\" VARCHAR(20) NOT NULL, \"STMT_GROUP\" INTEGER NOT "
              "NULL, \"SEQUENCE\" INTEGER NOT NULL, \"LINE\" INTEGER NOT NULL, \"OBJECT\" "
              "VARCHAR(255), \"STMT\" VARCHAR(2000), \"PID\" INTEGER NOT NULL, PRIMARY KEY "
              "(\"TASK\", \"STMT_GROUP\", \"SEQUENCE\", \"LINE\"))",
              "CREATE TABLE \"R\" (\"K\" INTEGER NOT NULL PRIMARY KEY)"},
             {"UPGSQL", "R"});
    }
    static void commitAndDisconnect() { ASSERT_EQ(ul_sqldisconnect(0), 0); }
    // Fills the task: group numbers from 1, sequences from 1.
    void load(const Groups& groups) {
        std::string values;
        for (size_t g = 0; g < groups.size(); ++g)
            for (size_t s = 0; s < groups[g].size(); ++s)
                for (const auto& [line, text] : groups[g][s]) {
                    std::string quoted;
                    for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
                    values += std::string(values.empty() ? "" : ", ") + "('" + task_ + "', " +
                              std::to_string(g + 1) + ", " + std::to_string(s + 1) + ", " +
                              std::to_string(line) + ", 'R', '" + quoted + "', 0)";
                    if (values.size() > 100000) flush(&values);
                }
        flush(&values);
        commitAndDisconnect();
    }
    void flush(std::string* values) {
        if (!values->empty()) exec("INSERT INTO \"UPGSQL\" VALUES " + *values);
        values->clear();
    }
    // Runs the command on the test's task in this process; the log goes to log.
    int run(std::vector<std::string> words, std::string* log) {
        words.insert(words.begin(), {"sqlruntask", "task=" + task_});
        return CommandEngineTest::run(cmd_SQLRUNTASK, words, log);
    }
    // The command in a child process, whose report is its result and error text.
    std::unique_ptr<childproc::Child> spawn(std::vector<std::string> words) {
        return std::make_unique<childproc::Child>([this, words] {
            std::string log;
            const int rc = run(words, &log);
            return std::to_string(rc) + (rc < 0 ? log.substr(log.rfind("ERROR:")) : "");
        });
    }
    std::string count(const std::string& from) {
        const auto rows = query("SELECT COUNT(*) FROM " + from);
        return rows.empty() ? "" : rows[0];
    }

    TempDir workDir_;
    std::optional<ScopedCwd> inside_;
    std::string task_;
};

std::string insert(int key) {
    return "INSERT INTO \"R\" VALUES (" + std::to_string(key) + ")";
}

// n groups of one insert each, keys 1..n.
Groups inserts(int n) {
    Groups groups;
    for (int k = 1; k <= n; ++k) groups.push_back({{{0, insert(k)}}});
    return groups;
}

TEST_P(RunTaskTest, Scenarios) {
    const Pieces fails = {{0, insert(1)}};  // a second insert of key 1
    const struct {
        const char* name;
        Groups groups;
        std::vector<std::string> args;
        int result;
        std::string keys;       // rows of R, in key order
        std::string remaining;  // "group.sequence" of the rows left, "+" when claimed
        std::vector<std::string> logLines;
    } cases[] = {
        // clang-format off
        {"distribute",
         {{{{0, "a"}}, {{0, "b"}}, {{0, "c"}}, {{0, "d"}}, {{0, "e"}}}, {{{0, "f"}}}, {{{0, "g"}}},
          {{{0, "h"}}}},
         {"procnr=3", "distribute"}, 0, "", "",
         {"MAXPROCNR=3", "Distributed    1 statements size      5 for procnr=1.",
          "Distributed    2 statements size      2 for procnr=2."}},
        {"one group per batch", {{{{0, insert(1)}}}, {{{0, insert(2)}}}, {{{0, insert(3)}}}},
         {"maxgroups=2"}, 0, "1,2,3", "",
         {"Selected 1 statement groups.", "Selected 1 statement groups.",
          "Selected 1 statement groups.", "Selected 0 statement groups."}},
        {"after keeps the failed statement", {{{{0, insert(1)}}, fails, {{0, insert(3)}}}},
         {"delmode=after"}, -1, "1,3", "1.2+", {"ERROR: 1 statements returned an error"}},
        // The rollback of a failed group takes back the uncommitted group before it, whose
        // claim is handed back.
        {"rollback hands back the undone groups", {{{{0, insert(1)}}}, {fails}},
         {"commitmax=5", "delmode=complete"}, -1, "", "1.1,2.1+", {}},
        {"complete keeps the group", {{{{0, insert(1)}}, fails, {{0, insert(3)}}}},
         {"delmode=complete"}, -1, "", "1.1+,1.2+,1.3+", {}},
        {"if false without a row",
         {{{{0, "#if false SELECT \"K\" FROM \"R\" WHERE \"K\" = 7"}}, {{0, insert(5)}},
           {{0, "#else"}}, {{0, insert(6)}}, {{0, "#endif"}}}},
         {}, 0, "5", "",
         {"Got no value from selection, treating it as 'false'!",
          "Deleting statement group 1 sequences 1-5."}},
        {"pieces with a gap", {{{{0, "INSERT INTO "}, {1, "\"R\" VALUES"}, {3, " (9)"}}}},
         {}, 0, "9", "", {"Gap for group 1 between line 1 and 3!"}},
        {"expression condition",
         {{{{0, insert(4)}}},
          {{{0, "#if (N > 0 && S == 'x') SELECT COUNT(*) AS N, 'x' AS S FROM \"R\""}},
           {{0, insert(8)}}, {{0, "#endif"}}}},
         {"commitmax=5"}, 0, "4,8", "", {"Selected 2 statement groups."}},
        {"structure error", {{{{0, "#if true SELECT 1"}}, {{0, "#else x"}}, {{0, "#endif"}}}},
         {"procnr=1"}, -1, "", "1.1+,1.2+,1.3+", {"Trailing garbage in stmt group 1 sequence 2"}},
        {"pragmas",
         {{{{0, "#ECHO('hi') there"}}, {{0, "#DELMODE(complete)"}},
           {{0, "#UNCRITICAL_STATEMENT " + insert(12) + " garbage"}}, {{0, "#NOPE(1)"}}}},
         {}, -1, "", "1.1+,1.2+,1.3+,1.4+",
         {"hi", "there", "Illegal pragma 'NOPE' #1 in '#NOPE(1)'"}},
        {"checkempty", {}, {"checkempty"}, -1, "", "", {"ERROR: No statement group found"}},
        {"showonly", {{{{0, insert(1)}}}}, {"showonly"}, 0, "", "1.1",
         {"Statement group 1 sequence 1 for 'R':", "INSERT INTO \"R\" VALUES (1)"}},
        {"stoponerror", {{{{0, insert(1)}}, fails, {{0, insert(3)}}}}, {"stoponerror"}, -1, "",
         "1.1+,1.2+,1.3+", {"ERROR: "}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        exec("DELETE FROM \"R\"");
        exec("DELETE FROM \"UPGSQL\"");
        load(c.groups);
        // The structure error only counts under a fixed share; its rows carry PID 1.
        if (c.args == std::vector<std::string>{"procnr=1"})
            exec("UPDATE \"UPGSQL\" SET \"PID\" = 1");
        commitAndDisconnect();
        std::string log;
        EXPECT_EQ(run(c.args, &log), c.result) << log;
        for (const std::string& line : c.logLines)
            EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        std::string keys, remaining;
        for (const std::string& k : query("SELECT \"K\" FROM \"R\" ORDER BY \"K\""))
            keys += (keys.empty() ? "" : ",") + k;
        for (const std::string& r :
             query("SELECT DISTINCT \"STMT_GROUP\" || '.' || \"SEQUENCE\" || CASE WHEN \"PID\" "
                   "= 0 THEN '' ELSE '+' END FROM \"UPGSQL\" ORDER BY 1"))
            remaining += (remaining.empty() ? "" : ",") + r;
        EXPECT_EQ(keys, c.keys);
        if (std::string(c.name) != "distribute") {
            EXPECT_EQ(remaining, c.remaining);
        } else {
            EXPECT_EQ(query("SELECT \"PID\" FROM \"UPGSQL\" WHERE \"SEQUENCE\" = 1 ORDER BY "
                            "\"STMT_GROUP\""),
                      (std::vector<std::string>{"1", "2", "3", "2"}));
        }
        if (c.result == 0 && c.remaining.empty() && std::string(c.name) != "distribute") {
            EXPECT_EQ(run({"checkcomplete"}, &log), 0) << log;
        }
    }
}

// 5,000 groups of one uniquely keyed insert each, distributed to four processes that run their
// shares at once: every statement runs exactly once (a second run would fail on the key) and
// none is left. Executors that pick groups dynamically do the same in KilledExecutorCleanedUp.
TEST_P(RunTaskTest, ConcurrentExecutors) {
    load(inserts(5000));
    std::string log;
    ASSERT_EQ(run({"distribute", "procnr=4"}, &log), 0) << log;
    std::vector<std::unique_ptr<childproc::Child>> executors;
    for (int p = 1; p <= 4; ++p)
        executors.push_back(
            spawn({"procnr=" + std::to_string(p), "commitmax=25", "delmode=complete"}));
    for (auto& e : executors) EXPECT_EQ(e->finish(600000).report, "0");
    EXPECT_EQ(count("\"R\""), "5000");
    EXPECT_EQ(run({"checkcomplete"}, &log), 0) << log;
}

// An executor killed mid-run leaves at most its claimed groups; cleanup hands them back and a
// new executor completes the task, without running any statement twice.
TEST_P(RunTaskTest, KilledExecutorCleanedUp) {
    load(inserts(5000));
    std::vector<std::unique_ptr<childproc::Child>> executors;
    for (int p = 1; p <= 4; ++p) executors.push_back(spawn({"maxgroups=10", "delmode=complete"}));
    while (std::stoi("0" + count("\"R\"")) < 1000) usleep(20000);
    kill(executors[0]->pid(), SIGKILL);
    EXPECT_TRUE(executors[0]->finish().killedBy(SIGKILL));
    for (size_t i = 1; i < executors.size(); ++i)
        EXPECT_EQ(executors[i]->finish(600000).report, "0");
    std::string log;
    ASSERT_EQ(run({"cleanup"}, &log), 0) << log;
    EXPECT_NE(log.find("Cleaned"), std::string::npos) << log;
    EXPECT_EQ(spawn({"execute"})->finish(600000).report, "0");
    EXPECT_EQ(count("\"R\""), "5000");
    EXPECT_EQ(run({"checkcomplete"}, &log), 0) << log;
}

// A stop request in the PID file ends a fixed-share executor after its current group with the
// warning result; what it executed is gone from the task, the rest stays.
TEST_P(RunTaskTest, StopRequest) {
    load(inserts(3000));
    std::string log;
    ASSERT_EQ(run({"distribute", "procnr=1"}, &log), 0) << log;
    UL_SQLPidCheckRate = 0;  // the executor reads its PID file after every group
    const std::string pidFile = "SQLRUN_" + task_ + "_01.pid";
    auto executor = spawn({"procnr=1", "commitmax=1"});
    while (access(pidFile.c_str(), F_OK) != 0) usleep(5000);
    FILE* f = fopen(pidFile.c_str(), "a");
    ASSERT_NE(f, nullptr);
    fputs("STOP-EXECUTION\n", f);
    fclose(f);
    EXPECT_EQ(executor->finish(600000).report, "4");
    const int done = std::stoi("0" + count("\"R\""));
    EXPECT_LT(done, 3000);
    EXPECT_EQ(std::stoi("0" + count("\"UPGSQL\"")), 3000 - done);
    EXPECT_NE(access(pidFile.c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, RunTaskTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

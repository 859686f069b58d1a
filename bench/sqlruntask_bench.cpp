// sqlruntask against the engine's own client: 20,000 one-row inserts in groups of 10, run by
// 1, 2 and 4 executors with fixed shares and with dynamic picking (commitmax=25), and by the
// client in one session with a commit every 250 statements. Prints statements per second and
// the ratios to the client.
#include <fcntl.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "benchutil.h"

namespace {

constexpr int kStatements = 20000;
constexpr int kGroupSize = 10;

std::string insert(int key) {
    return "INSERT INTO \"R\" VALUES (" + std::to_string(key) + ")";
}

void connect() {
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) benchDie("connect");
}

void disconnect() {
    if (ul_sqldisconnect(0) < 0) benchDie("disconnect");
}

// Fresh tables: the task's statements in UPGSQL, the result table R empty.
void prepareTables() {
    connect();
    benchRunSql("DROP TABLE \"UPGSQL\"");
    benchRunSql("DROP TABLE \"R\"");
    benchRunSql(
        "CREATE TABLE \"UPGSQL\" (\"TASK\" VARCHAR(20) NOT NULL, \"STMT_GROUP\" INTEGER NOT NULL, "
        "\"SEQUENCE\" INTEGER NOT NULL, \"LINE\" INTEGER NOT NULL, \"OBJECT\" VARCHAR(255), "
        "\"STMT\" VARCHAR(2000), \"PID\" INTEGER NOT NULL, PRIMARY KEY (\"TASK\", \"STMT_GROUP\", "
        "\"SEQUENCE\", \"LINE\"))");
    benchRunSql("CREATE TABLE \"R\" (\"K\" INTEGER NOT NULL PRIMARY KEY)");
    std::string values;
    for (int k = 0; k < kStatements; ++k) {
        values += std::string(values.empty() ? "" : ", ") + "('B', " +
                  std::to_string(k / kGroupSize) + ", " + std::to_string(k % kGroupSize) +
                  ", 0, 'R', '" + insert(k) + "', 0)";
        if (values.size() > 200000 || k + 1 == kStatements) {
            benchRunSql("INSERT INTO \"UPGSQL\" VALUES " + values);
            values.clear();
        }
    }
    disconnect();
}

// Starts a program with its output discarded; returns its process id.
pid_t start(const std::vector<std::string>& args, const std::string& input = "") {
    const pid_t pid = fork();
    if (pid < 0) benchDie("fork");
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        if (!input.empty()) {
            const int in = open(input.c_str(), O_RDONLY);
            dup2(in, STDIN_FILENO);
        }
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void waitAll(const std::vector<pid_t>& pids, const std::string& what) {
    for (pid_t pid : pids) {
        int status = 0;
        if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "%s failed (status %d)\n", what.c_str(), status);
            exit(1);
        }
    }
}

// The client session: the same statements, committed every 250.
double clientSeconds(const char* engine, const std::string& sqlitePath) {
    const std::string script = sqlitePath + ".sql";
    FILE* f = fopen(script.c_str(), "w");
    if (!f) benchDie("write the client script");
    for (int k = 0; k < kStatements; ++k) {
        if (k % 250 == 0) fprintf(f, "BEGIN;\n");
        fprintf(f, "%s;\n", insert(k).c_str());
        if (k % 250 == 249) fprintf(f, "COMMIT;\n");
    }
    fclose(f);
    prepareTables();
    const double t0 = benchNow();
    if (std::string(engine) == "SQLITE")
        waitAll({start({"sqlite3", sqlitePath}, script)}, "sqlite3");
    else
        waitAll({start({"psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-f", script})}, "psql");
    const double seconds = benchNow() - t0;
    unlink(script.c_str());
    return seconds;
}

double runTaskSeconds(int executors, bool fixed) {
    prepareTables();
    if (fixed) {
        waitAll({start({TABRIX_BINARY, "sqlruntask", "task=B", "distribute",
                        "procnr=" + std::to_string(executors)})},
                "distribute");
    }
    const double t0 = benchNow();
    std::vector<pid_t> pids;
    for (int p = 1; p <= executors; ++p) {
        std::vector<std::string> args = {TABRIX_BINARY, "sqlruntask", "task=B", "commitmax=25"};
        if (fixed) args.push_back("procnr=" + std::to_string(p));
        pids.push_back(start(args));
    }
    waitAll(pids, "sqlruntask");
    return benchNow() - t0;
}

}  // namespace

int main() {
    benchOnEngines([](const char* engine, const std::string& sqlitePath) {
        setenv("dbms_type", engine, 1);
        const double client = clientSeconds(engine, sqlitePath);
        printf("%s: client session %.0f statements/s\n", engine, kStatements / client);
        for (const bool fixed : {true, false}) {
            for (const int executors : {1, 2, 4}) {
                const double seconds = runTaskSeconds(executors, fixed);
                printf("%s: %s %d executor(s): %.0f statements/s, %.2fx the client's time\n",
                       engine, fixed ? "fixed  " : "dynamic", executors, kStatements / seconds,
                       seconds / client);
                fflush(stdout);
            }
        }
    });
    return 0;
}

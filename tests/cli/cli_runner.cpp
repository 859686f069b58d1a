// Runs the command-line cases of tests/cli/*.test against the tool binary. Every case becomes
// one gtest test named CliCases/<file>.<case>; a file with format errors becomes the single
// failing test CliCases/<file>._syntax, so that no case is skipped silently.
//
// Options (after the gtest options): --binary=PATH (default: the tool built with this runner),
// --cases=DIR (default: this source folder), --keep-workdirs (keep passing cases' directories).

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "clicase.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct RunnerConfig {
    std::string binary = TABRIX_CLI_BINARY;
    std::string caseDir = TABRIX_CLI_CASES;
    bool keepWorkDirs = false;
};

RunnerConfig g_config;

std::vector<std::string> inherited() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    return env;
}

// One registered test: a case to run, or the errors of a file that cannot be run.
class CliTest : public ::testing::Test {
  public:
    explicit CliTest(clicase::Case testCase) : case_(std::move(testCase)) {}
    explicit CliTest(std::vector<std::string> errors) : errors_(std::move(errors)) {}

    void TestBody() override {
        if (!errors_.empty()) {
            ADD_FAILURE() << "the case file cannot be used:\n" << clicase::joinLines(errors_);
            return;
        }
        for (const std::string& name : case_.requiredEnv) {
            if (!std::getenv(name.c_str())) GTEST_SKIP() << "needs " << name << " to be set";
        }
        runCase();
    }

  private:
    void runCase() {
        const RunnerConfig& cfg = g_config;
        clicase::TempDir dir(case_.name);
        ASSERT_TRUE(dir.ok()) << "cannot create a work directory";
        clicase::Context context{dir.path(), fs::path(cfg.binary).parent_path().string()};
        clicase::Outcome outcome = clicase::runCase(case_, cfg.binary, context, inherited());
        std::vector<std::string> failures = clicase::checkOutcome(case_, context, outcome);
        if (failures.empty() && !cfg.keepWorkDirs) return;
        dir.keep();
        if (failures.empty()) {
            std::printf("work directory kept: %s\n", dir.path().c_str());
            return;
        }
        ADD_FAILURE_AT(case_.file.c_str(), case_.line)
            << "case " << case_.name << " failed\n"
            << clicase::joinLines(failures) << "=== actual result of " << cfg.binary << "\n"
            << clicase::describeOutcome(case_, context, outcome)
            << "--- work directory kept: " << dir.path();
    }

    clicase::Case case_;
    std::vector<std::string> errors_;
};

void registerCaseFiles(const std::string& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        if (entry.is_regular_file() && entry.path().extension() == ".test") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::vector<std::string> errors = {"no *.test file in " + dir +
                                           (ec ? " (" + ec.message() + ")" : std::string())};
        ::testing::RegisterTest("CliCases", "no_case_files", nullptr, nullptr, dir.c_str(), 0,
                                [errors] { return new CliTest(errors); });
        return;
    }
    for (const fs::path& path : files) {
        const std::string suite = "CliCases/" + path.stem().string();
        clicase::ParseResult parsed = clicase::parseCaseFile(path.string());
        if (!parsed.errors.empty()) {
            ::testing::RegisterTest(suite.c_str(), "_syntax", nullptr, nullptr, path.c_str(), 1,
                                    [errors = parsed.errors] { return new CliTest(errors); });
            continue;
        }
        for (clicase::Case& c : parsed.cases) {
            ::testing::RegisterTest(suite.c_str(), c.name.c_str(), nullptr, nullptr, path.c_str(),
                                    c.line, [c] { return new CliTest(c); });
        }
    }
}

// Takes the runner's own options out of argv; gtest has removed its own before.
bool parseOptions(int argc, char** argv) {
    RunnerConfig& cfg = g_config;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.starts_with("--binary=")) {
            cfg.binary = arg.substr(9);
        } else if (arg.starts_with("--cases=")) {
            cfg.caseDir = arg.substr(8);
        } else if (arg == "--keep-workdirs") {
            cfg.keepWorkDirs = true;
        } else {
            std::fprintf(stderr, "unknown option '%s'\n", arg.c_str());
            return false;
        }
    }
    std::error_code ec;
    fs::path absolute = fs::absolute(cfg.binary, ec);
    if (!ec) cfg.binary = absolute.lexically_normal().string();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!parseOptions(argc, argv)) return 2;
    registerCaseFiles(g_config.caseDir);
    return RUN_ALL_TESTS();
}

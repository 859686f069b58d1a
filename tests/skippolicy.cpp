// Linked into every test program. With TABRIX_TESTS_NO_SKIP=1 (scripts/test.sh sets it) or
// CI=true, a skipped test fails: a database server that did not start must not let the engine
// half of the suite pass unseen, as CTest counts a skipped test as passed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

bool skipsFail() {
    const char* noSkip = std::getenv("TABRIX_TESTS_NO_SKIP");
    const char* ci = std::getenv("CI");
    return (noSkip && std::strcmp(noSkip, "1") == 0) || (ci && std::strcmp(ci, "true") == 0);
}

class SkipFails : public testing::EmptyTestEventListener {
    // Runs while the test is still the current one, so the failure is the test's own.
    void OnTestEnd(const testing::TestInfo& info) override {
        if (info.result()->Skipped())
            ADD_FAILURE() << "skipped, and skips fail under TABRIX_TESTS_NO_SKIP=1 or CI=true";
    }
};

const bool registered = [] {
    if (skipsFail()) testing::UnitTest::GetInstance()->listeners().Append(new SkipFails);
    return true;
}();

}  // namespace

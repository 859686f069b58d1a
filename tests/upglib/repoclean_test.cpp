// The rename evaluation as a property over random permutations, and the clean-up on both
// engines: methods renumbered alphabetically through loops, every source kept exactly once,
// and runs that only show or test change nothing.
#include "repoclean.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sqltestutil.h"

namespace {

// Any permutation of names, applied step by step, never moves a name onto one still in use and
// ends with every name where the permutation sends it. A loop without a temporary name is shown
// by tests/cli/repoclean.test.
TEST(RepoCleanRenames, PermutationsAreAppliedSafely) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + round % 12;
        std::vector<int> target(n);
        for (int i = 0; i < n; ++i) target[i] = i;
        std::shuffle(target.begin(), target.end(), random);
        ul_optrename_t renames;
        std::map<std::u16string, int> holder;  // name -> which item holds it
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(renames.add(ul_format(u"%03d", i), ul_format(u"%03d", target[i])), 0);
            holder[ul_format(u"%03d", i)] = i;
        }
        ASSERT_GE(renames.eval(u"TMP"), 0) << errorUtf8();
        ul_optrename_t::step_t step;
        while (renames.next(&step)) {
            ASSERT_EQ(holder.count(step.to), 0u) << "round " << round << ": " << u8(step.to);
            ASSERT_EQ(holder.count(step.from), 1u);
            holder[step.to] = holder[step.from];
            holder.erase(step.from);
            if (step.commit) {
                EXPECT_EQ(holder.count(u"TMP"), 0u);
            }
        }
        for (int i = 0; i < n; ++i) EXPECT_EQ(holder[ul_format(u"%03d", target[i])], i);
        EXPECT_EQ(holder.size(), static_cast<size_t>(n));
    }
}

TEST(RepoCleanRenames, MethodSuffixes) {
    const struct {
        const char16_t* index;
        const char16_t* suffix;
    } cases[] = {{u"000", u"CM000"}, {u"35", u"CM00Z"}, {u"36", u"CM010"}, {u"46655", u"CMZZZ"}};
    for (const auto& c : cases) {
        std::u16string suffix;
        ASSERT_EQ(ul_repomethodsuffix(c.index, &suffix), 0);
        EXPECT_EQ(suffix, c.suffix);
    }
    std::u16string suffix;
    EXPECT_TRUE(failedWith(ul_repomethodsuffix(u"46656", &suffix), "Invalid method index '46656'"));
    EXPECT_TRUE(failedWith(ul_repomethodsuffix(u"1A", &suffix), "Invalid method index '1A'"));
}

class RepoCleanTest : public SqlEngineTest {
  protected:
    void SetUp() override {
        SqlEngineTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        o_.tmdir = session_.table("TMDIR");
        o_.reposrc = session_.table("REPOSRC");
        o_.repoload = session_.table("REPOLOAD");
        o_.tfdir = session_.table("TFDIR");
        o_.tftit = session_.table("TFTIT");
        o_.funct = session_.table("FUNCT");
        o_.all = true;
        o_.extended = true;
        // Methods by index, each with its source and load: CL_A holds the swap B/A and the chain
        // D->C->E; CL_B is in order. F2 is no longer a function: its texts go in the extended
        // clean-up.
        const std::u16string programs =
            u" VALUES ('CL_A=====CM000'), ('CL_A=====CM001'), "
            u"('CL_A=====CM002'), ('CL_A=====CM003'), "
            u"('CL_A=====CM004'), ('CL_B=====CM000'), ('CL_B=====CM001')";
        for (const std::u16string& sql :
             {u"CREATE TABLE \"" + o_.tmdir +
                  u"\" (CLASSNAME VARCHAR(30), METHODINDX VARCHAR(5), METHODNAME VARCHAR(61))",
              u"INSERT INTO \"" + o_.tmdir +
                  u"\" VALUES ('CL_A', '000', 'B'), ('CL_A', '001', 'A'), ('CL_A', '002', 'D'), "
                  u"('CL_A', '003', 'E'), ('CL_A', '004', 'C'), ('CL_B', '0', 'A'), ('CL_B', '1', "
                  u"'B')",
              u"CREATE TABLE \"" + o_.reposrc + u"\" (PROGNAME VARCHAR(40) PRIMARY KEY)",
              u"INSERT INTO \"" + o_.reposrc + u"\"" + programs,
              u"CREATE TABLE \"" + o_.repoload + u"\" (PROGNAME VARCHAR(40))",
              u"INSERT INTO \"" + o_.repoload + u"\"" + programs,
              u"CREATE TABLE \"" + o_.tfdir + u"\" (FUNCNAME VARCHAR(30))",
              u"CREATE TABLE \"" + o_.tftit + u"\" (FUNCNAME VARCHAR(30))",
              u"CREATE TABLE \"" + o_.funct + u"\" (FUNCNAME VARCHAR(30))",
              u"INSERT INTO \"" + o_.tfdir + u"\" VALUES ('F1')",
              u"INSERT INTO \"" + o_.tftit + u"\" VALUES ('F1'), ('F2')",
              u"INSERT INTO \"" + o_.funct + u"\" VALUES ('F2')"})
            ASSERT_GE(exec(sql), 0) << u8(sql) << ": " << errorUtf8();
        ASSERT_EQ(ul_sqlcommit2(nullptr, UL_COMMIT_QUIET), 0);
        before_ = state();
    }
    // Every method as "class index name", every source and every load, sorted.
    std::vector<std::u16string> state() {
        std::vector<std::u16string> out;
        for (const std::u16string& row : select(u"SELECT CLASSNAME || ' ' || METHODINDX || ' ' || "
                                                u"METHODNAME FROM \"" +
                                                o_.tmdir + u"\""))
            out.push_back(u"M " + row);
        for (const std::u16string& row : select(u"SELECT PROGNAME FROM \"" + o_.reposrc + u"\""))
            out.push_back(u"S " + row);
        for (const std::u16string& row : select(u"SELECT PROGNAME FROM \"" + o_.repoload + u"\""))
            out.push_back(u"L " + row);
        for (const std::u16string* t : {&o_.tftit, &o_.funct})
            for (const std::u16string& row : select(u"SELECT FUNCNAME FROM \"" + *t + u"\""))
                out.push_back(u"F " + row);
        std::sort(out.begin(), out.end());
        return out;
    }
    int clean() {
        MemoryStream log;
        ul_msgwrite_setfp(log.get());
        const int rc = ul_repocleanrun(&o_);
        if (rc == 0 && !ul_sqlisconnected()) (void)ul_sqlconnect2(UL_CONNECT_QUIET);
        return rc;
    }
    ul_repocleanoptions_t o_;
    std::vector<std::u16string> before_;
};

// After the run the methods of each class are numbered in alphabetical order, every source
// still exists exactly once under the index of its method, and the loads of renamed sources
// are gone, and so are the texts of functions that no longer exist.
TEST_P(RepoCleanTest, RenumbersAlphabetically) {
    ASSERT_EQ(clean(), 0) << errorUtf8();
    EXPECT_EQ(state(), (std::vector<std::u16string>{
                           u"F F1", u"L CL_B=====CM000", u"L CL_B=====CM001", u"M CL_A 000 A",
                           u"M CL_A 001 B", u"M CL_A 002 C", u"M CL_A 003 D", u"M CL_A 004 E",
                           u"M CL_B 0 A", u"M CL_B 1 B", u"S CL_A=====CM000", u"S CL_A=====CM001",
                           u"S CL_A=====CM002", u"S CL_A=====CM003", u"S CL_A=====CM004",
                           u"S CL_B=====CM000", u"S CL_B=====CM001"}));
}

TEST_P(RepoCleanTest, ShowOnlyAndTestOnlyChangeNothing) {
    for (bool* flag : {&o_.showOnly, &o_.testOnly}) {
        *flag = true;
        o_.autocommit = 1;
        ASSERT_EQ(clean(), 0) << errorUtf8();
        EXPECT_EQ(state(), before_);
        *flag = false;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, RepoCleanTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

// genkeytraces: the log line reader as a table of lines, and the command on the real engines: a
// long language vector stored cut, the duplicate rules of the two steps with the clean modes, and
// many patterns through the external sort. The merging rules and table settings (as the show
// mode lists them), the logs of a buffer's requests and the messages for bad lines are shown by
// tests/cli/genkeytraces.test.
#include "genkeytrace.h"

#include <iterator>
#include <sstream>

#include "commandtestutil.h"

namespace {

// The line forms; the errors are shown by tests/cli/genkeytraces.test.
TEST(KeyTraceLine, Forms) {
    using K = ul_keytraceline_t::Kind;
    const struct {
        std::u16string line;
        K kind;
        std::u16string table, pattern, languages;
        long length;
        bool mismatch;
    } cases[] = {
        {u"1 ETW000 trfunction =   K", K::Function, u"", u"", u"", 0, false},
        {u"1 ETW208 key_trace: \"T100\" \"12\" \"001ABCDEFG\" \"DEED\"", K::Trace, u"T100",
         u"001ABCDEFG*", u"DE", 12, true},
        {u"1 ETW208 key_trace: \"T100\" \"3\" \"001\" \"D\"", K::Trace, u"T100", u"001*", u"D", 3,
         false},
        {u"1 ETW209 key_trace: \"T\"\"X\" \"9\" \"A\" \"\"", K::Trace, u"T\"X", u"A*", u"", 9,
         false},
        {u"1 ETW212 key_trace0: \"T1\"", K::Trace, u"T1", u"", u"", 0, false},
        {u"12ETW208 key_trace: \"T\" \"3\" \"A\" \"D\"", K::None, u"", u"", u"", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.line));
        ul_keytraceline_t t;
        ASSERT_EQ(ul_keytraceparseline(c.line.c_str(), 7, u"f.log", &t), 0) << errorUtf8();
        EXPECT_EQ(t.kind, c.kind);
        EXPECT_EQ(u8(t.table), u8(c.table));
        EXPECT_EQ(u8(t.pattern), u8(c.pattern));
        EXPECT_EQ(u8(t.languages), u8(c.languages));
        EXPECT_EQ(t.length, c.length);
        EXPECT_EQ(t.lengthMismatch, c.mismatch);
    }
}

class KeyTraceTest : public CommandEngineTest {
  protected:
    void SetUp() override {
        open({"CREATE TABLE \"UPGCOLLPATTERN\" (\"TABLENAME\" VARCHAR(31) NOT NULL, \"KEYPATTERN\" "
              "VARCHAR(174) NOT NULL, \"LANG_VECTOR\" VARCHAR(100) NOT NULL, \"CUSTOMER\" CHAR(1), "
              "\"PATTERNLENGTH\" INTEGER, \"STEP\" CHAR(1) NOT NULL, PRIMARY KEY (\"TABLENAME\", "
              "\"KEYPATTERN\", \"LANG_VECTOR\", \"STEP\"))"},
             {"UPGCOLLPATTERN"});
    }
    // Runs genkeytraces over log files of these contents.
    int traces(const std::vector<std::string>& logs, std::vector<std::string> args,
               std::string* log) {
        args.insert(args.begin(), {"genkeytraces", "type=logs"});
        for (size_t i = 0; i < logs.size(); ++i)
            args.push_back(dir_.write("l" + std::to_string(i), logs[i]));
        return run(cmd_GENKEYTRACES, args, log);
    }
    // The rows of the table, separated by blanks.
    static std::string rows() {
        std::string out;
        for (const std::string& row :
             query("SELECT \"TABLENAME\", \"KEYPATTERN\", \"LANG_VECTOR\", \"CUSTOMER\", "
                   "\"PATTERNLENGTH\", \"STEP\" FROM \"UPGCOLLPATTERN\" ORDER BY \"STEP\", "
                   "\"TABLENAME\", \"KEYPATTERN\", \"LANG_VECTOR\""))
            out += (out.empty() ? "" : " ") + row;
        return out;
    }
};

std::string trace(const std::string& table, int length, const std::string& pattern,
                  const std::string& languages) {
    return "1 ETW208 key_trace: \"" + table + "\" \"" + std::to_string(length) + "\" \"" + pattern +
           "\" \"" + languages + "\"\n";
}

// A long language vector is stored cut into pieces of 100 keys, 2 bytes each in UTF-8.
TEST_P(KeyTraceTest, LongVectorIsStoredCut) {
    std::string many;  // 250 different language keys
    for (char16_t c = 0x100; c < 0x100 + 250; ++c) many += u8(std::u16string(1, c));
    std::string log;
    EXPECT_EQ(traces({"1 ETW000 trfunction = K\n" + trace("T1", 2, "K*", many)}, {"step=s"}, &log),
              0)
        << log;
    EXPECT_NE(log.find("KeyTrace 'T1' 'K*' cut into 3 pieces"), std::string::npos) << log;
    EXPECT_EQ(rows(), "T1|K*|" + many.substr(0, 200) + "|X|2|S T1|K*|" + many.substr(200, 200) +
                          "|X|2|S T1|K*|" + many.substr(400) + "|X|2|S");
}

TEST_P(KeyTraceTest, StepsAndCleanModes) {
    const std::vector<std::string> logs = {"1 ETW000 trfunction = K\n" + trace("T1", 2, "A*", "D") +
                                           trace("T2", 2, "B*", "D")};
    const std::string both = "T1|A*|D|X|2|S T2|B*|D|X|2|S";
    const struct {
        const char* args;
        int rc;
        std::string rows, message;  // rows "": not checked
    } steps[] = {
        {"step=S", 0, both, "2/0/2 total/merged/unique"},
        {"step=S", -1, both, "ERROR: "},
        {"step=C", 0, "T1|A*|D|X|2|C T2|B*|D|X|2|C " + both, "0/0/2 duplicates/chunked/inserted"},
        {"step=C mode=singleinsert", 0, "", "2/0/0 duplicates/chunked/inserted"},
        {"step=S mode=cleanold autocommit=1", 0, "", "0/0/2 duplicates/chunked/inserted"},
        {"step=C mode=cleanonly", 0, both, "Only cleaning up entries!"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.args);
        std::istringstream words(s.args);
        std::string log;
        EXPECT_EQ(traces(logs, {std::istream_iterator<std::string>(words), {}}, &log), s.rc) << log;
        EXPECT_NE(log.find(s.message), std::string::npos) << log;
        if (!s.rows.empty()) {
            EXPECT_EQ(rows(), s.rows);
        }
    }
}

TEST_P(KeyTraceTest, ManyPatternsThroughTheExternalSort) {
    std::string text = "1 ETW000 trfunction = K\n";
    for (int i = 0; i < 3000; ++i) {
        const int pattern = (i * 7919) % 1500;
        text += trace("T" + std::to_string(pattern % 7), 6, "P" + std::to_string(pattern) + "*",
                      std::string(1, static_cast<char>('A' + i % 26)));
    }
    for (const char* packing : {"fixedlength", "maxmemory=64K"}) {
        SCOPED_TRACE(packing);
        exec("DELETE FROM \"UPGCOLLPATTERN\"");
        std::string log;
        ASSERT_EQ(traces({text}, {"step=S", "maxmemory=64K", packing}, &log), 0) << log;
        EXPECT_NE(log.find("External sorter: "), std::string::npos) << log;
        // 1,500 patterns spread over 7 tables, 2 language keys each.
        EXPECT_EQ(query("SELECT COUNT(*), SUM(LENGTH(\"LANG_VECTOR\")) FROM \"UPGCOLLPATTERN\""),
                  std::vector<std::string>{"1500|3000"});
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, KeyTraceTest, ::testing::Values("SQLITE", "PGSQL"),
                         SqlEngineTest::engineName);

}  // namespace

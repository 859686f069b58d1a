// CRC files: written and read back, the merge of both sides into the line
// tree and what the evaluation reports.
#include "ulsqlcrcutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "ulsqlaux.h"
#include "ultextfile.h"

namespace {

class UlSqlCrcUtilTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }
    std::u16string file(const std::string& name, const std::string& content) {
        dir_.write(name, content);
        return dir_.wpath(name);
    }
    // Every checksum line of every table as the writer formats it, with its line numbers and
    // the tree depth, in tree order.
    static std::vector<std::string> dump(ULCheckCRCFile& f) {
        std::vector<std::string> out;
        for (auto& t : f.tables()) {
            out.push_back("tab " + u8(t->name()));
            dumpLines(*t, t->top()->child, 0, &out);
        }
        return out;
    }
    static void dumpLines(ULCheckCRCTable& t, const ul_chkcrcline_t* l, int depth,
                          std::vector<std::string>* out) {
        for (; l; l = l->next) {
            std::u16string text;
            EXPECT_EQ(t.formatCRCLine(*l, &text), 0) << u8(errorText());
            out->push_back(std::string(depth, '>') + u8(text));
            dumpLines(t, l->child, depth + 1, out);
        }
    }
    TempDir dir_;
};

// A capture of what the evaluation reports.
class Capture : public ULCRCEvaluator {
  public:
    int report(int type, const char16_t*, const char16_t* const*, unsigned,
               const std::u16string_view*, unsigned nstart, const char16_t*,
               const std::u16string_view* end, unsigned nend, ul_dbrowcount_t own,
               ul_dbrowcount_t ref, const ul_chkcrcline_t*) override {
        seen.push_back(std::to_string(type) + " " + std::to_string(nstart) + ">" +
                       (nend ? u8(std::u16string(end[nend - 1])) : "-") + " " +
                       std::to_string(own) + "/" + std::to_string(ref));
        return 0;
    }
    std::vector<std::string> seen;
};

// Every line type, with key values that need quoting and escaping, reads back to the same model
// when the model is written out again.
TEST_F(UlSqlCrcUtilTest, WrittenLinesReadBackToTheSameModel) {
    const std::string header =
        "gloopt: neutral cascclients=000,100 nrcascclients=2\n"
        "str: \"struct file.xml\"\n"
        "tab: T1 t1\n"
        "nttab: NT1\n"
        "key: K1, \"K 2\", K3\n"
        "opt: noquickrun fieldchecksums\n"
        "sel: K1, \"K 2\", K3, F1, F2\n"
        "typ: C I R C C\n"
        "ignsel: F9\n"
        "whr: WHERE '" +
        std::string(60, 'a') + "' < K1 AND \\\n\tK1 <= '" + std::string(60, 'z') +
        "'\n"
        "# end-of-prepare\n";
    const std::string lines =
        "tab: T1\n"
        "qcrc: <000>  100  0x0000abcd\n"
        "lcrc:   50  0x00000001 'back\\slash', 5, X'00FF'\n"
        "lcrc:   40< 0x00000002 'gr\xc3\xbc\xc3\x9f\xe2\x82\xac', 7, X'01'\n"
        "#lcrc:   1  0x00000009 'commented', 1, X'01'\n"
        "lcrc:   10*          - 'it''s', 8, X'02'\n"
        "lcrc:    0  0x00000000\n"
        "lcrc:    1  0x00000003 ('a' || char(10) || 'b'), 6, X'03'\n"
        "fcrc: F1        0x00000004 ('a' || char(10) || 'b'), 6, X'03' = 'x''y'...\n"
        "fcrc: F2        0x00000005 ('a' || char(10) || 'b'), 6, X'03' = x'0A0B'\n"
        "lcrc:    -           - 'gr\xc3\xbc\xc3\x9f\xe2\x82\xac', 7, X'01'\n"
        "lcrc:    5  0x00000007 'h', 1, X'00'\n"
        "lcrc:    5  0x00000008 'it''s', 8, X'02'\n";
    ULCheckCRCFile first;
    ASSERT_EQ(first.read(file("a.crc", header + lines).c_str(), nullptr, 0), 0) << u8(errorText());
    const std::vector<std::string> model = dump(first);
    const std::vector<std::string> expected = {
        "tab T1",
        "lcrc:   50  0x00000001 'back\\slash', 5, X'00FF'",
        ">lcrc:    1  0x00000003 ('a' || char(10) || 'b'), 6, X'03'",
        ">>fcrc: F1        0x00000004 ('a' || char(10) || 'b'), 6, X'03' = 'x''y'...",
        ">>fcrc: F2        0x00000005 ('a' || char(10) || 'b'), 6, X'03' = x'0A0B'",
        "lcrc:   40< 0x00000002 'gr\xc3\xbc\xc3\x9f\xe2\x82\xac', 7, X'01'",
        "lcrc:   10*          - 'it''s', 8, X'02'",
        ">lcrc:    5  0x00000007 'h', 1, X'00'",
        ">lcrc:    5  0x00000008 'it''s', 8, X'02'",
        "lcrc:    0  0x00000000",
        "qcrc: <000>  100  0x0000abcd",
    };
    EXPECT_EQ(model, expected);
    ULCheckCRCTable* t = first.getTable(u"t1", false);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->own.keys[1], u"K 2");
    EXPECT_EQ(t->getOption(UL_CHKCRCOPT_NTTAB), u"NT1");
    EXPECT_EQ(first.str(), u"struct file.xml");
    EXPECT_EQ(first.nrCascClients(), 2u);

    // Header part rewritten, the lines appended again: the same model.
    const std::u16string again = dir_.wpath("b.crc");
    ASSERT_EQ(first.write(again.c_str(), 1), 0) << u8(errorText());
    {
        ULTextFileWriter out;
        ASSERT_EQ(out.open(again.c_str(), UL_TEXT_APPEND), 0);
        ASSERT_EQ(
            out.write(u"tab: T1\nkey: K1, \"K 2\", K3\nsel: K1, \"K 2\", K3, F1, F2\ntyp: CIRCC\n"),
            0);
        ul_sqlcrcboundary_t after;
        for (const ul_chkcrcline_t& l : t->lines) {
            std::u16string text;
            ASSERT_EQ(t->formatCRCLine(l, &text, &after), 0);
            ASSERT_EQ(out.writeLine(text.c_str()), 0);
            if (!(l.flags & UL_CRCLINE_QUICK)) after = l.end;
        }
        ASSERT_EQ(out.close(), 0);
    }
    ULCheckCRCFile second;
    ASSERT_EQ(second.read(again.c_str(), nullptr, 0), 0) << u8(errorText());
    EXPECT_EQ(dump(second), model);
    ULCheckCRCTable* t2 = second.getTable(u"T1", false);
    EXPECT_EQ(t2->own.whr, t->own.whr);
    EXPECT_EQ(t2->flags(), t->flags());
    EXPECT_EQ(second.globalOptions(), first.globalOptions());
    EXPECT_EQ(second.cascClients(), first.cascClients());

    // Asked for the prepared part only, the reader stops at the end-of-prepare comment.
    ULCheckCRCFile prepared;
    ASSERT_EQ(prepared.read1(again.c_str(), UL_CRCREAD_PREPARED), 0) << u8(errorText());
    EXPECT_TRUE(prepared.tables()[0]->lines.empty());
}

// The header forms the writer chooses: option words against the defaults, a reference name
// only when it differs in more than case, globals of the gloopt: line left out.
TEST_F(UlSqlCrcUtilTest, HeaderFormsOfRewrittenSections) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"tab: T1\nopt: noquickrun fieldchecksums\n", "tab: T1\nopt: noquickrun\n"},
        {"tab: T1 t1\n", "tab: T1\n"},
        {"tab: T1 T2\nopt: packed nofieldchecksums\n",
         "tab: T1 T2\nopt: packed nofieldchecksums\n"},
        {"gloopt: neutral\ntab: \"a b\"\nopt: neutral sortdups\n",
         "gloopt: neutral\ntab: \"a b\"\nopt: sortdups\n"},
    };
    for (const auto& c : cases) {
        ULCheckCRCFile f;
        ASSERT_EQ(f.read1(file("in.crc", c.in).c_str(), 0), 0) << c.in << u8(errorText());
        ASSERT_EQ(f.write(dir_.wpath("out.crc").c_str(), 0), 0);
        EXPECT_EQ(readFileBytes(dir_.path("out.crc")), c.out) << c.in;
    }
}

// Own and reference lines merged: the difference flags, the tree, the counters, the types the
// evaluator receives and the printer's tallies.
TEST_F(UlSqlCrcUtilTest, MergeFlagsTreeAndEvaluation) {
    const std::string head = "tab: T\nkey: K\nsel: K, F\ntyp: IC\n";
    const struct {
        std::string own, ref;
        int setup;                       // 1 with differences, 0 without
        std::vector<std::string> diffs;  // reported without "all"
        const char* tallies;             // "INS/UPD/DEL" of the printer
    } cases[] = {
        // Count 5 against 3, equal checksums: D, deleting two rows.
        {"lcrc:    5  0x1 10\n", "lcrc:    3  0x1 10\n", 1, {"16 0>10 5/3"}, "0/0/2"},
        // Equal counts, other checksum: X, one update.
        {"lcrc:    5  0x1 10\n", "lcrc:    5  0x2 10\n", 1, {"17 0>10 5/5"}, "0/1/0"},
        // More rows on the other side: I.
        {"lcrc:    1  0x1 10\n", "lcrc:    2  0x1 10\n", 1, {"18 0>10 1/2"}, "1/0/0"},
        {"lcrc:    5  0x1 10\n", "lcrc:    5  0x1 10\n", 0, {}, "0/0/0"},
        // Three levels: only the deepest differing line is reported; single rows are typed 64,
        // field lines 128.
        {"lcrc:   10  0x1 10\nlcrc:   10  0x2\nlcrc:    -  - 10\nlcrc:    5  0x3 15\n"
         "lcrc:    5  0x4\nlcrc:    -  - 10\nlcrc:    1  0x5 11\nlcrc:    1  0x6 12\n"
         "lcrc:    -  - 11\nfcrc: F 0x7 12 = 'a'\n",
         "lcrc:   10  0x1 10\nlcrc:   10  0x9\nlcrc:    -  - 10\nlcrc:    5  0x3 15\n"
         "lcrc:    5  0x8\nlcrc:    -  - 10\nlcrc:    1  0x5 11\nlcrc:    1  0x6 12\n"
         "lcrc:    -  - 11\nfcrc: F 0x1 12 = 'b'\n",
         1,
         {"209 1>12 1/1", "17 1>- 5/5"},
         "0/2/0"},
    };
    for (const auto& c : cases) {
        ULCheckCRCFile f;
        const std::u16string own = file("own.crc", head + c.own);
        const std::u16string ref = file("ref.crc", head + c.ref);
        ASSERT_EQ(f.read(own.c_str(), ref.c_str(), 0), c.setup) << c.own << u8(errorText());
        Capture capture;
        const unsigned saved = UL_SQLGlobalCRCFlags;
        UL_SQLGlobalCRCFlags &= ~UL_SQLCRCFLAG_MERGEDIFFLOGS;
        ASSERT_GE(f.evaluate(&capture, UL_CRCEVAL_GIVEN, nullptr), 0);
        UL_SQLGlobalCRCFlags = saved;
        EXPECT_EQ(capture.seen, c.diffs) << c.own;
        auxlogcrc_t log;  // no log stream set: counts only
        ASSERT_EQ(f.evaluate(&log, UL_CRCEVAL_GIVEN, nullptr), static_cast<int>(c.diffs.size()));
        EXPECT_EQ(std::to_string(log.totalInserts) + "/" + std::to_string(log.totalUpdates) + "/" +
                      std::to_string(log.totalDeletes),
                  c.tallies)
            << c.own;
        EXPECT_EQ(f.tables()[0]->check(), 0) << u8(errorText());
    }
}

}  // namespace

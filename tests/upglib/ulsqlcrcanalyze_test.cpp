// The analysis of a CRC file pair: which region a run scans, with which slice size, and what
// it says about it, on small hand-written pairs.
#include "ulsqlcrcanalyze.h"

#include <gtest/gtest.h>

#include <string>

#include "tempdir.h"
#include "testutil.h"
#include "ulmsgwrite.h"

namespace {

using Kind = ul_crcscankind_t;
constexpr unsigned long kAll = ~0ul;
constexpr int kError = -1;

struct Case {
    const char* name;  // the test name
    const char* opt;   // the table's "opt:" words
    const char* own;   // checksum lines of the own file
    const char* ref;   // of the reference file; null: no reference file
    bool digging;
    unsigned long maxDiffs;
    int kind;            // a Kind, or kError
    const char* region;  // end key of the region line; "top": the whole table
    unsigned long slice;
    size_t boundaries;
    bool checked;         // the scan's total is checked against the region line
    const char* message;  // a line of the log, or the error text
};

// Three blocks on both sides, the second differing in its checksum.
#define TOP_OWN "lcrc:  100 0x00000001 10\nlcrc:  100 0x00000002 20\nlcrc:    5 0x00000003\n"
#define TOP_REF "lcrc:  100 0x00000001 10\nlcrc:  100 0x00000009 20\nlcrc:    5 0x00000003\n"
#define DETAIL "lcrc:    -          - 10\nlcrc:   50 0x00000005 15\nlcrc:   50 0x00000006 20\n"
#define ROW_OWN "lcrc:    5 0x00000001 10\nlcrc:    1 0x00000002 11\nlcrc:    9 0x00000003\n"

const Case kCases[] = {
    {"whole_table", "noquickrun", "", nullptr, true, 49, int(Kind::WHOLE), "top", 1000, 0, false,
     "Scanning whole table 'T' with slices of 1000."},
    {"along_the_reference", "fieldchecksums", "", TOP_REF, true, 49, int(Kind::ALONGREF), "top",
     1000, 3, false, "Scanning whole table 'T' with slices of 1000, using existing boundaries."},
    {"continue_a_reproduction", "fieldchecksums", "lcrc:  100 0x00000001 10\n", TOP_REF, false, 49,
     int(Kind::REPRODUCE), "top", 100, 2, false,
     "Continue scanning from reference line 0[7] '20' for table 'T' with slices of 100."},
    {"dig_into_a_differing_block", "fieldchecksums", TOP_OWN, TOP_REF, true, 49, int(Kind::DIG),
     "20", 2, 0, true, "Found difference -X in l.7[7] '20', digging deeper using slices of 2."},
    {"slices_of_1_below_maxslices_rows", "fieldchecksums",
     "lcrc:   30 0x00000001 10\nlcrc:    0 0x00000000\n",
     "lcrc:   31 0x00000001 10\nlcrc:    0 0x00000000\n", true, 49, int(Kind::DIG), "10", 1, 0,
     true, "Found difference C- in l.6[6] '10', digging deeper using slices of 1."},
    {"reproduce_a_detail_level", "fieldchecksums", TOP_OWN, TOP_REF DETAIL, false, 49,
     int(Kind::REPRODUCE), "20", 50, 2, true,
     "Scanning reference line 0[10] '15' for table 'T' with slices of 50."},
    {"own_lines_the_other_side_lacks", "fieldchecksums", TOP_OWN DETAIL, TOP_REF, true, 49,
     int(Kind::OTHERSIDE), "top", 0, 0, false,
     "Line 10[0] missing in 'ref.CRC', so other side needs to run first!"},
    {"resume_a_cut_off_detail_scan", "fieldchecksums",
     TOP_OWN "lcrc:    -          - 10\nlcrc:   50 0x00000005 15\n", TOP_REF, true, 49,
     int(Kind::RESUME), "20", 2, 1, true,
     "Picking up detailed scan of line 7[7], using slices of 2 entries."},
    {"field_checksums_of_an_updated_row", "fieldchecksums", ROW_OWN,
     "lcrc:    5 0x00000001 10\nlcrc:    1 0x00000004 11\nlcrc:    9 0x00000003\n", true, 49,
     int(Kind::FIELDS), "11", 1, 0, false,
     "Found difference -X in l.7[7] '11', digging deeper using slices of 1."},
    {"resume_a_cut_off_field_scan", "fieldchecksums",
     ROW_OWN "lcrc:    -          - 10\nfcrc: A 0x00000001 11 = 'a'\n",
     "lcrc:    5 0x00000001 10\nlcrc:    1 0x00000004 11\nlcrc:    9 0x00000003\n", true, 49,
     int(Kind::FIELDS), "11", 1, 1, true,
     "Picking up detailed scan of line 7[7], using slices of 1 entries."},
    {"only_the_other_side_can_split", "fieldchecksums", ROW_OWN,
     "lcrc:    5 0x00000001 10\nlcrc:    4 0x00000002 11\nlcrc:    9 0x00000003\n", true, 49,
     int(Kind::OTHERSIDE), "top", 0, 0, false,
     "Line 7[7] has count <=1, but not in 'ref.CRC', other side needs to run!"},
    {"threshold_reached", "fieldchecksums", ROW_OWN,
     "lcrc:    5 0x00000001 10\nlcrc:    0 0x00000000 11\nlcrc:    9 0x00000007\n", true, 1,
     int(Kind::NONE), "top", 0, 0, false,
     "Already detected 1 differences, stop further investigation due to threshold 1!"},
    {"maxdiffs_all", "fieldchecksums", ROW_OWN,
     "lcrc:    5 0x00000001 10\nlcrc:    0 0x00000000 11\nlcrc:    9 0x00000007\n", true, kAll,
     int(Kind::FIELDS), "11", 1, 0, false,
     "Found difference CX in l.7[7] '11', digging deeper using slices of 1."},
    {"differing_quick_checksum", "quickrun", "qcrc: 5000 0x00000001\n", "qcrc: 5000 0x00000002\n",
     true, 49, int(Kind::DIG), "", 100, 0, false,
     "Found difference -X in l.6[6] '', digging deeper using slices of 100."},
    {"detail_of_a_line_the_other_side_lacks", "fieldchecksums", TOP_OWN,
     "lcrc:  100 0x00000001 10\nlcrc:    -          - 20\nlcrc:    5 0x00000003\n"
     "lcrc:    -          - 10\nlcrc:   50 0x00000005 15\n",
     true, 49, kError, "", 0, 0, false,
     "Line 7 from 'own.CRC' appears to have been digged into, but is missing in 'ref.CRC'!"},
};

class UlSqlCrcAnalyzeTest : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        ul_msgwrite_reset();
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
    }
    void TearDown() override {
        ul_msgwrite_reset();
        UL_TabChkMaxDifferences = savedMaxDiffs_;
    }
    std::u16string file(const std::string& name, const std::string& opt, const char* lines) {
        dir_.write(name, "tab: T\nkey: K\nsel: K, A, B\ntyp: ICC\nopt: " + opt + "\n" + lines);
        return dir_.wpath(name);
    }

    TempDir dir_;
    MemoryStream log_;
    unsigned long savedMaxDiffs_ = UL_TabChkMaxDifferences;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::string regionName(const ul_chkcrcline_t* l) {
    if (!l || (l->flags & UL_CRCLINE_TOP)) return "top";
    return l->end.nvalues ? u8(std::u16string(l->end.values[l->end.nvalues - 1])) : "";
}

TEST_P(UlSqlCrcAnalyzeTest, PicksTheRegionOfTheRun) {
    const Case& c = GetParam();
    const std::u16string own = file("own.CRC", c.opt, c.own);
    const std::u16string ref = c.ref ? file("ref.CRC", c.opt, c.ref) : u"";
    ULCheckCRCFile crc(1000);
    ASSERT_GE(crc.read(own.c_str(), c.ref ? ref.c_str() : nullptr, 0), 0) << u8(errorText());
    UL_TabChkMaxDifferences = c.maxDiffs;
    ul_crcanalyzeargs_t args;
    args.runFlags = c.digging ? unsigned{UL_CRCRUN_DIGGING} : 0u;
    args.ownFile = u"own.CRC";
    args.refFile = c.ref ? u"ref.CRC" : nullptr;
    ul_crcscanrequest_t request;
    const int rc = ul_crcanalyzetable(crc.tables().front().get(), args, &request);
    SCOPED_TRACE(u8(errorText()));
    if (c.kind == kError) {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(u8(errorText()), c.message);
        return;
    }
    ASSERT_EQ(rc, 0) << u8(errorText());
    EXPECT_EQ(int(request.kind), c.kind);
    EXPECT_EQ(regionName(request.region), c.region);
    EXPECT_EQ(request.sliceSize, c.slice);
    EXPECT_EQ(request.boundaries.size(), c.boundaries);
    EXPECT_EQ(request.checkAgainst != nullptr, c.checked);
    if (request.checkAgainst) {
        EXPECT_EQ(request.checkAgainst, request.region);
    }
    EXPECT_NE(log_.text().find(std::string(c.message) + "\n"), std::string::npos) << log_.text();
}

INSTANTIATE_TEST_SUITE_P(Cases, UlSqlCrcAnalyzeTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The checksum scan on real engines: the lines it appends for each kind of region, checked
// against checksums computed here from the bytes each value must contribute, so that both
// engines are held to the same expected file.
#include "ulsqlcrc.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <fstream>
#include <functional>

#include "sqltestutil.h"
#include "ulcompress.h"
#include "ulcrc.h"
#include "ulsqlcluster.h"
#include "ulsqlutilext.h"
#include "ulstring2.h"
#include "ultextfile.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The bytes of an integer or double column value (native, little-endian).
template <class T>
Bytes bytes(T v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}
Bytes utf16(const std::u16string& s) {
    Bytes b(2 * s.size());
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
unsigned crcOf(const Bytes& b) {
    return ul_crccalc(UL_CRC_INIT, b.data(), b.size());
}
std::string hex8(unsigned v) {
    return ul_utf16to8(ul_format(u"0x%08x", v).c_str());
}
// A block line as the file holds it ("" for a line that ends at the end of the table).
std::string lcrc(unsigned long n, char marker, unsigned crc, const std::string& key) {
    char buf[64];
    snprintf(buf, sizeof buf, "lcrc: %4lu%c %s", n, marker, hex8(n ? crc : 0).c_str());
    return buf + (key.empty() ? "" : " " + key);
}
// The bytes of the rows (K, 'v' || K) of the block tables.
Bytes kvRow(int k) {
    return cat({bytes<int>(k), utf16(u"v" + ul_utf8to16(std::to_string(k).c_str()))});
}
Bytes kvRows(int from, int to) {
    Bytes out;
    for (int k = from; k <= to; ++k) out = cat({out, kvRow(k)});
    return out;
}

class UlSqlCrcTest : public SqlEngineTest {
  protected:
    void SetUp() override {
        SqlEngineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
        table_ = session_.table("CRCT");
    }
    void TearDown() override {
        UL_SQLCRCMaxFieldLen = 100;
        UL_SQLCRCNrSamples = 1000;
        SqlEngineTest::TearDown();
    }
    void run(const std::u16string& sql) {
        ASSERT_GE(exec(sql), 0) << u8(sql) << ": " << errorUtf8();
    }
    void create(const std::string& columns) {
        run(u"CREATE TABLE \"" + table_ + u"\" (" + w(columns) + u")");
    }
    void refill(const std::u16string& values) {
        run(u"DELETE FROM \"" + table_ + u"\"");
        run(u"INSERT INTO \"" + table_ + u"\" VALUES " + values);
    }
    // Rows (K, 'v' || K) for K = 1..n.
    void fill(int n) {
        run(u"INSERT INTO \"" + table_ +
            u"\" select n, 'v' || n from (with recursive c(n) as (select 1 union all select n + 1 "
            u"from c where n < " +
            w(std::to_string(n)) + u") select n from c) x");
    }
    std::string header(const std::string& rest) { return "tab: " + u8(table_) + "\n" + rest; }
    // Writes the own file (and the reference file), reads both, lets the case shape the
    // request and scans. Returns the checksum lines of the own file; rc_ and diffs_ keep the
    // outcome.
    using Shape = std::function<void(ULCheckCRCTable*, ul_crcscanrequest_t*)>;
    std::vector<std::string> scan(const std::string& own, const Shape& shape = {},
                                  unsigned long slice = 1000, const std::string& ref = "") {
        const std::u16string ownPath = dir_.wpath("own.CRC");
        dir_.write("own.CRC", own);
        if (!ref.empty()) dir_.write("ref.CRC", ref);
        ULCheckCRCFile file(slice);
        EXPECT_GE(
            file.read(ownPath.c_str(), ref.empty() ? nullptr : dir_.wpath("ref.CRC").c_str(), 0), 0)
            << errorUtf8();
        ULCheckCRCTable* t = file.getTable(table_.c_str(), false);
        if (!t) return {};
        ul_crcscanrequest_t req;
        req.kind = ul_crcscankind_t::WHOLE;
        req.region = t->top();
        req.sliceSize = slice;
        if (shape) shape(t, &req);
        ULTextFileWriter out;
        EXPECT_EQ(out.open(ownPath.c_str(), UL_TEXT_APPEND), 0);
        AuxCalcCRCValues calc(&file, t, &out, runFlags_);
        rc_ = calc.runCRCTable(req);
        error_ = rc_ < 0 ? errorUtf8() : "";
        diffs_ = calc.newDifferences();
        EXPECT_EQ(out.close(), 0);
        std::ifstream in(dir_.path("own.CRC"));
        std::vector<std::string> lines;
        size_t sums = 0;  // lines with a checksum: start lines have none
        for (std::string l; std::getline(in, l);)
            if (l.rfind("lcrc:", 0) == 0 || l.rfind("qcrc:", 0) == 0 || l.rfind("fcrc:", 0) == 0) {
                lines.push_back(l);
                sums += l.find(" 0x") != std::string::npos;
            }
        for (size_t at = 0; (at = own.find(" 0x", at)) != std::string::npos; ++at) --sums;
        EXPECT_EQ(rc_ == 0 ? calc.newLines() : sums, sums);  // lines the scan says it wrote
        return lines;
    }
    // Digs into the nth own line of the file (the last by default).
    static void digInto(ULCheckCRCTable* t, ul_crcscanrequest_t* req, ul_crcscankind_t kind,
                        size_t nth = ~size_t{0}) {
        size_t n = 0;
        for (ul_chkcrcline_t& l : t->lines)
            if ((l.flags & UL_CRCLINE_OWN) && (nth == ~size_t{0} || n++ == nth)) req->region = &l;
        req->kind = kind;
        req->start = req->region->start;
        req->end = req->region->end;
        req->checkAgainst = req->region;
    }
    // Field checksums of the last own line, in slices of per fields.
    static Shape fieldsOf(unsigned long per) {
        return [per](ULCheckCRCTable* t, ul_crcscanrequest_t* req) {
            digInto(t, req, ul_crcscankind_t::FIELDS);
            req->sliceSize = per;
        };
    }
    bool logged(const std::string& text) { return log_.text().find(text) != std::string::npos; }
    // A binary literal of the engine, from hexadecimal digits.
    static std::u16string hexLiteral(const char16_t* hex) {
        std::u16string out;
        EXPECT_EQ(ul_sqlappendliteral(&out, hex, UL_SQLTOKEN_HEXSTRING, ul_sqlcurrentliteralform()),
                  0);
        return out;
    }
    std::string fileText() { return readFileBytes(dir_.path("own.CRC")); }

    MemoryStream log_;
    TempDir dir_;
    std::u16string table_;
    unsigned runFlags_ = UL_CRCRUN_DIGGING;
    int rc_ = 0;
    std::string error_;
    unsigned long diffs_ = 0;
};

const char* const kKV = "key: K\nsel: K, A\ntyp: IC\n";

// Whole-table blocks: a block closes at the first key change after slice rows, the last one at
// the end of the table, and an empty table gives one empty line.
TEST_P(UlSqlCrcTest, WholeTableBlocks) {
    create("K INTEGER PRIMARY KEY, A VARCHAR(10)");
    struct Case {
        int rows;
        unsigned long slice;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {0, 2, {lcrc(0, ' ', 0, "")}},
        {3, 2, {lcrc(2, ' ', crcOf(kvRows(1, 2)), "2"), lcrc(1, ' ', crcOf(kvRows(3, 3)), "")}},
        {4, 2, {lcrc(2, ' ', crcOf(kvRows(1, 2)), "2"), lcrc(2, ' ', crcOf(kvRows(3, 4)), "")}},
        {5, 9, {lcrc(5, ' ', crcOf(kvRows(1, 5)), "")}},
    };
    for (const Case& c : cases) {
        run(u"DELETE FROM \"" + table_ + u"\"");
        if (c.rows) fill(c.rows);
        EXPECT_EQ(scan(header(kKV), {}, c.slice), c.lines) << c.rows;
        EXPECT_EQ(rc_, 0) << error_;
    }
}

// 120,000 rows in blocks of 1,000 with 50 slices wanted: the slice count doubles at 50,050 and
// again at 100,050 rows, and the blocks cover every row once.
TEST_P(UlSqlCrcTest, SliceCountGrowsWithTheTable) {
    create("K INTEGER PRIMARY KEY, A VARCHAR(10)");
    fill(120000);
    const std::vector<std::string> lines = scan(header(kKV), {}, 1000);
    ASSERT_EQ(rc_, 0) << error_;
    std::vector<unsigned long> counts;
    for (const std::string& l : lines) counts.push_back(std::stoul(l.substr(5, 5)));
    std::vector<unsigned long> expected(50, 1000);
    expected.insert(expected.end(), 25, 2000);
    expected.insert(expected.end(), 5, 4000);
    EXPECT_EQ(counts, expected);
    EXPECT_EQ(lines.back().size(), 22u);  // no key value: the last block ends with the table
    EXPECT_TRUE(logged("Increasing slice count from 1000 to 2000 at 50050 rows."));
    EXPECT_TRUE(logged("Increasing slice count from 2000 to 4000 at 100050 rows."));
}

// Along the reference file's boundaries: a row beyond a boundary closes its block with "<",
// empty blocks in a row included; lines that differ from the reference are counted.
TEST_P(UlSqlCrcTest, ReferenceBoundariesAndEmptyBlocks) {
    create("K INTEGER PRIMARY KEY, A VARCHAR(10)");
    run(u"INSERT INTO \"" + table_ + u"\" VALUES (1, 'v1'), (2, 'v2'), (7, 'v7'), (8, 'v8')");
    const std::string ref = header(kKV) + lcrc(2, ' ', crcOf(kvRows(1, 2)), "2") + "\n" +
                            lcrc(0, ' ', 0, "4") + "\n" + lcrc(1, ' ', 0x1234, "6") + "\n" +
                            lcrc(2, ' ', 0x5678, "") + "\n";
    const auto along = [](ULCheckCRCTable* t, ul_crcscanrequest_t* req) {
        req->kind = ul_crcscankind_t::ALONGREF;
        for (const ul_chkcrcline_t& l : t->lines)
            if (l.flags & UL_CRCLINE_REF) req->boundaries.push_back(&l);
    };
    const auto lines = scan(header(kKV), along, 1000, ref);
    ASSERT_EQ(rc_, 0) << error_;
    const Bytes upper = cat({kvRow(7), kvRow(8)});
    EXPECT_EQ(lines, (std::vector<std::string>{lcrc(2, '<', crcOf(kvRows(1, 2)), "2"),
                                               lcrc(0, '<', 0, "4"), lcrc(0, '<', 0, "6"),
                                               lcrc(2, ' ', crcOf(upper), "")}));
    EXPECT_EQ(diffs_, 2u);  // the count of (4, 6] and the checksum of the last block
    EXPECT_TRUE(logged("Found 2 new differences in count or checksum for table"));
}

// Digging into a line: smaller blocks over its range (behind a start line unless the range
// starts the table) whose total must reproduce the line; a change of the data in between is a
// discrepancy in count or checksum.
TEST_P(UlSqlCrcTest, DetailScanReproducesItsLine) {
    create("K INTEGER PRIMARY KEY, A VARCHAR(10)");
    struct Case {
        unsigned long wholeSlice, digSlice;
        size_t line;  // the own line dug into
        const char16_t* change;
        std::vector<std::string> lines;  // added by the detail scan, or the error's beginning
    };
    // clang-format off
    const Case cases[] = {
        {10, 2, 0, nullptr, {lcrc(2, ' ', crcOf(kvRows(1, 2)), "2"), lcrc(2, ' ', crcOf(kvRows(3, 4)), "4"),
                             lcrc(2, ' ', crcOf(kvRows(5, 6)), "")}},
        {2, 1, 1, nullptr, {"lcrc:    -           - 2", lcrc(1, ' ', crcOf(kvRow(3)), "3"),
                            lcrc(1, ' ', crcOf(kvRow(4)), "4")}},
        {10, 2, 0, u"DELETE FROM \"%s\" WHERE K = 3",
         {"Discrepancy during detail scan: found 5 rows, but only 6 expected (icksum=0)"}},
        {2, 1, 1, u"UPDATE \"%s\" SET A = 'x' WHERE K = 4", {"Discrepancy during detail scan: checksum is 0x"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        run(u"DELETE FROM \"" + table_ + u"\"");
        fill(6);
        const std::vector<std::string> whole = scan(header(kKV), {}, c.wholeSlice);
        const std::string own = fileText();
        if (c.change) run(ul_format(c.change, table_.c_str()));
        const auto lines = scan(own, [&c](ULCheckCRCTable* t, ul_crcscanrequest_t* req) {
            digInto(t, req, ul_crcscankind_t::DIG, c.line);
            req->sliceSize = c.digSlice;
        });
        if (!c.change) {
            EXPECT_EQ(rc_, 0) << error_;
            EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(whole.size()),
                                               lines.end()),
                      c.lines);
            // The comment names the line dug into by its number in the file.
            const std::string file = fileText();
            EXPECT_NE(file.find(": Investigating l. " + std::to_string(6 + c.line) + "[0]\n"),
                      std::string::npos)
                << file;
            continue;
        }
        EXPECT_EQ(rc_, -1);
        EXPECT_EQ(error_.rfind(c.lines[0], 0), 0u) << error_;
        EXPECT_NE(error_.find("\nReason: Either the data changed (system running?)"),
                  std::string::npos);
    }
    // The key range of the middle line, start exclusive, end inclusive, in key order.
    EXPECT_TRUE(
        logged("\"" + u8(table_) + "\" WHERE (2 < \"K\") AND (\"K\" <= 4) ORDER BY \"K\"\n"));
}

// A detail scan that was cut short goes on behind its last block: the blocks the file holds are
// recomputed and compared, not written again.
TEST_P(UlSqlCrcTest, ResumedDetailScanKeepsWrittenBlocks) {
    create("K INTEGER PRIMARY KEY, A VARCHAR(10)");
    fill(6);
    const std::string own = header(kKV) + lcrc(6, ' ', crcOf(kvRows(1, 6)), "") + "\n" +
                            lcrc(2, ' ', crcOf(kvRows(1, 2)), "2") + "\n" +
                            lcrc(2, ' ', crcOf(kvRows(3, 4)), "4") + "\n";
    const auto resume = [](ULCheckCRCTable* t, ul_crcscanrequest_t* req) {
        for (ul_chkcrcline_t& l : t->lines)
            (l.end.nvalues ? req->boundaries.push_back(&l) : (void)(req->region = &l));
        req->kind = ul_crcscankind_t::RESUME;
        req->nExisting = req->boundaries.size();
        req->checkAgainst = req->region;
        req->sliceSize = 2;
    };
    EXPECT_EQ(scan(own, resume),
              (std::vector<std::string>{
                  lcrc(6, ' ', crcOf(kvRows(1, 6)), ""), lcrc(2, ' ', crcOf(kvRows(1, 2)), "2"),
                  lcrc(2, ' ', crcOf(kvRows(3, 4)), "4"), "lcrc:    -           - 4",
                  lcrc(2, ' ', crcOf(kvRows(5, 6)), "")}));
    EXPECT_EQ(rc_, 0) << error_;
    run(u"UPDATE \"" + table_ + u"\" SET A = 'x' WHERE K = 1");
    scan(own, resume);  // the first block the file holds no longer matches
    EXPECT_NE(error_.find(", expected " + hex8(crcOf(kvRows(1, 2))) + " (icksum=0)"),
              std::string::npos)
        << error_;
}

// Keys out of order stop the scan; equal keys are duplicates, reported as an error unless the
// table expects them, in which case their order no longer matters.
TEST_P(UlSqlCrcTest, KeyOrderAndDuplicates) {
    create("K VARCHAR(4), A VARCHAR(10)");
    // Ordered as text, "10" comes before "9"; compared as numeric text it is greater, in the
    // first key field or behind an equal one.
    UL_SQLGlobalCRCFlags &= ~UL_SQLCRCFLAG_COMPNUMSTRINGPLAIN;
    const struct {
        const char16_t* values;
        const char* fields;
        const char* error;
    } unsorted[] = {
        {u"('9', 'a'), ('10', 'b')", "key: K\nsel: K, A\ntyp: NC\n", "#1 (NUMC) 'K'"},
        {u"('1', '9'), ('1', '10')", "key: K, A\nsel: K, A\ntyp: CN\n", "#2 (NUMC) 'A'"},
    };
    for (const auto& c : unsorted) {
        refill(c.values);
        scan(header(c.fields));
        EXPECT_EQ(rc_, -1);
        EXPECT_EQ(error_, std::string("Key columns not sorted during CRC scan:\nkey ") + c.error +
                              ": last='10' now='9'");
    }

    const std::string kv = "key: K\nsel: K, A\ntyp: CC\n";
    const Bytes sorted = cat({utf16(u"1a"), utf16(u"1b"), utf16(u"2c")});
    for (const char16_t* values :
         {u"('1', 'b'), ('1', 'a'), ('2', 'c')", u"('2', 'c'), ('1', 'a'), ('1', 'b')"}) {
        refill(values);
        EXPECT_EQ(scan(header(kv + "opt: sortdups\n")),
                  std::vector<std::string>{lcrc(3, ' ', crcOf(sorted), "")});
        EXPECT_TRUE(logged("1WETQ399 Detected 1 duplicate rows in table"));
    }
    const auto lines = scan(header(kv));
    EXPECT_EQ(rc_, 0) << error_;
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_TRUE(logged("1EETQ399 Detected 1 duplicate rows in table"));
}

// The quick checksum of rows: their checksums folded into 251 buckets, the buckets checksummed.
unsigned quickCrc(const std::vector<Bytes>& rows) {
    std::vector<unsigned> buckets(251, UL_CRC_INIT);
    for (const Bytes& r : rows) buckets[crcOf(r) % 251] ^= crcOf(r);
    Bytes folded;
    for (unsigned b : buckets) folded = cat({folded, bytes<int>(static_cast<int>(b))});
    return crcOf(folded);
}

// Field checksums of a single row: one line per field, the value kept and cut at maxfieldlen.
TEST_P(UlSqlCrcTest, FieldChecksumsOfOneRow) {
    create(std::string("K INTEGER PRIMARY KEY, A VARCHAR(20), B VARCHAR(20), R ") +
           (session_.isPg() ? "bytea" : "BLOB"));
    const std::u16string blob = hexLiteral(u"0A0B");
    run(u"INSERT INTO \"" + table_ + u"\" VALUES (1, 'abcdefgh', 'xy', " + blob + u")");
    UL_SQLCRCMaxFieldLen = 5;
    const std::string hdr = header("key: K\nsel: K, A, B, R\ntyp: ICCB\n");
    const std::vector<std::string> whole = scan(hdr);
    ASSERT_EQ(whole.size(), 1u);
    const std::string own = fileText();
    const std::string a = "fcrc: A         " + hex8(crcOf(utf16(u"abcdefgh"))) + " 1 = 'abcde'...";
    const std::string b = "fcrc: B         " + hex8(crcOf(utf16(u"xy"))) + " 1 = 'xy'";
    const std::string r = "fcrc: R         " + hex8(crcOf({0x0A, 0x0B})) + " 1 = x'0A0B'";
    EXPECT_EQ(scan(own, fieldsOf(1)), (std::vector<std::string>{whole[0], a, b, r}));
    EXPECT_EQ(rc_, 0) << error_;
    // Slices of two fields keep no value; digging into one checksums its fields one by one.
    const std::string ab = "fcrc: B         " + hex8(crcOf(utf16(u"abcdefghxy"))) + " 1";
    EXPECT_EQ(scan(own, fieldsOf(2)), (std::vector<std::string>{whole[0], ab, r}));
    const auto lines = scan(fileText(), [](ULCheckCRCTable* t, ul_crcscanrequest_t* req) {
        for (ul_chkcrcline_t& l : t->lines)
            if (l.isField() && l.end.field == 2) req->region = &l;
        req->kind = ul_crcscankind_t::FIELDS;
        req->start = req->end = req->region->end;
        req->start.field = 0;
        req->checkAgainst = req->region;
        req->sliceSize = 1;
    });
    EXPECT_EQ(rc_, 0) << error_;
    // The slice's lines follow a start line of their row, here the table's beginning.
    EXPECT_EQ(lines, (std::vector<std::string>{whole[0], ab, r, "lcrc:    -           -", a, b}));
}

// The same values of every kind give the same lines on every engine: the expected file is
// computed from the bytes each value contributes, whatever engine stores it; a floating point
// key is written with its exact decimals.
TEST_P(UlSqlCrcTest, ValueKindsGiveEngineIndependentLines) {
    create(std::string("K INTEGER, F DOUBLE PRECISION, P NUMERIC(10,2), C VARCHAR(20), R ") +
           (session_.isPg() ? "bytea" : "BLOB") + ", L text, PRIMARY KEY (K, F)");
    const std::u16string text(300, u'\u00e9');
    run(u"INSERT INTO \"" + table_ + u"\" VALUES (1, 0.5, 12.5, 'Gr\u00fc\u00dfe \u20ac', " +
        hexLiteral(u"00FF10") + u", '" + text +
        u"'), (2, -1e10, -0.05, NULL, NULL, NULL), (3, 1234567.8901, NULL, 'x', NULL, 'y')");
    // clang-format off
    const Bytes one = cat({bytes<int>(1), bytes<double>(0.5), {0, 0, 0, 1, 0x25, 0x0C},
                           utf16(u"Gr\u00fc\u00dfe \u20ac"), {0x00, 0xFF, 0x10}, utf16(text)});
    const Bytes two = cat({bytes<int>(2), bytes<double>(-1e10), {0, 0, 0, 0, 0x00, 0x5D}});
    const Bytes three = cat({bytes<int>(3), bytes<double>(1234567.8901), utf16(u"x"), utf16(u"y")});
    // clang-format on
    const auto lines = scan(header("key: K, F\nsel: K, F, P, C, R, L\ntyp: IFPCBL\n"), {}, 1);
    ASSERT_EQ(rc_, 0) << error_;
    EXPECT_EQ(lines, (std::vector<std::string>{lcrc(1, ' ', crcOf(one), "1, 0.5"),
                                               lcrc(1, ' ', crcOf(two), "2, -10000000000"),
                                               lcrc(1, ' ', crcOf(three), "")}));
}

// Client-specific checksums: one record per listed client, each read by its own statement, or
// one per client the data brings.
TEST_P(UlSqlCrcTest, ClientSpecificChecksums) {
    create("CL VARCHAR(3), K INTEGER, A VARCHAR(10), PRIMARY KEY (CL, K)");
    run(u"INSERT INTO \"" + table_ +
        u"\" VALUES ('1', 1, 'a'), ('1', 2, 'b'), ('2', 1, 'c'), ('3', 1, 'd')");
    const auto row = [](const char16_t* cl, int k, const char16_t* a) {
        return cat({utf16(cl), bytes<int>(k), utf16(a)});
    };
    const std::string one =
        "lcrc: <1>    2  " + hex8(crcOf(cat({row(u"1", 1, u"a"), row(u"1", 2, u"b")})));
    const std::string two = "lcrc: <2>    1  " + hex8(crcOf(row(u"2", 1, u"c")));
    const std::string three = "lcrc: <3>    1  " + hex8(crcOf(row(u"3", 1, u"d")));
    const struct {
        std::string option;
        std::vector<std::string> lines;
    } cases[] = {{"cascclients=1,2", {one, two}}, {"nrcascclients=3", {one, two, three}}};
    for (const auto& c : cases) {
        const auto lines =
            scan("gloopt: " + c.option + "\n" + header("key: CL, K\nsel: CL, K, A\ntyp: CIC\n"));
        EXPECT_EQ(rc_, 0) << c.option << ": " << error_;
        EXPECT_EQ(lines, c.lines) << c.option;
    }
    EXPECT_TRUE(logged("Calculating client specific checksums for 2 clients to handle cascading:"));
    EXPECT_TRUE(logged(" WHERE \"CL\" = '2' ORDER BY \"CL\", \"K\"\n"));
}

// Paths of the scan that options switch on, each with a fault it must not let through: the
// quick checksum does not depend on the order the rows come in (the first case stores them out
// of key order); a quick run verified by blocks recomputes the quick checksum and so sees a
// change in between; a
// sample ends its last block at its last row, not at the end of the table; with neutral, text
// checked against a number on the other side drops its leading blanks and zeros and goes in
// most significant byte first; the
// checksums of key fields are written as comments that no side has to reproduce.
TEST_P(UlSqlCrcTest, OptionalScanPaths) {
    create("K VARCHAR(4) PRIMARY KEY, A VARCHAR(10)");
    const auto row = [](const char16_t* k, const char16_t* a) { return cat({utf16(k), utf16(a)}); };
    const auto rows = [&](int from, int to) {
        Bytes out;
        for (int k = from; k <= to; ++k) out = cat({out, row(w(std::to_string(k)).c_str(), u"a")});
        return out;
    };
    const Bytes r1 = row(u"1", u"a"), r2 = row(u"2", u"a"), r3 = row(u"3", u"a");
    // With neutral, text goes in as UTF-16 units most significant byte first on every machine.
    const auto bigEndian = [](Bytes b) {
        if constexpr (std::endian::native == std::endian::little)
            for (size_t i = 0; i + 1 < b.size(); i += 2) std::swap(b[i], b[i + 1]);
        return b;
    };
    const Shape quick = [](auto*, ul_crcscanrequest_t* q) { q->quick = true; };
    const Shape analyzed = [](ULCheckCRCTable* t, ul_crcscanrequest_t* q) {
        ul_crcanalyzeargs_t args;
        args.quiet = true;
        ASSERT_EQ(ul_crcanalyzetable(t, args, q), 0) << errorUtf8();
    };
    const std::string kA = "key: K\nsel: K, A\ntyp: CC\n";
    const std::string quick3 = "qcrc:    3* " + hex8(quickCrc({r1, r2, r3}));
    struct Case {
        const char* what;
        const char16_t* values;
        unsigned global, run;
        std::string own, ref;
        Shape first;
        const char16_t* change;  // between the first and the second scan
        Shape second;
        std::vector<std::string> lines;  // or the error's beginning
    };
    // clang-format off
    const Case cases[] = {
        {"verified quick run", u"('3', 'a'), ('1', 'a'), ('2', 'a')", UL_SQLCRCFLAG_VERIFYQUICKRUN, 0,
         kA, "", quick, nullptr, analyzed,
         {quick3, lcrc(1, ' ', crcOf(r1), "'1'"), lcrc(1, ' ', crcOf(r2), "'2'"), lcrc(1, ' ', crcOf(r3), "")}},
        {"changed before verification", u"('1', 'a'), ('2', 'a'), ('3', 'a')", UL_SQLCRCFLAG_VERIFYQUICKRUN, 0,
         kA, "", quick, u"UPDATE \"%s\" SET A = 'b' WHERE K = '2'", analyzed,
         {"Discrepancy during detail scan: checksum is 0x"}},
        {"sample", u"('1', 'a'), ('2', 'a'), ('3', 'a'), ('4', 'a'), ('5', 'a'), ('6', 'a'), ('7', 'a')",
         0, UL_CRCRUN_SAMPLING, kA, "", {}, nullptr, {},
         {lcrc(2, ' ', crcOf(rows(1, 2)), "'2'"), lcrc(2, ' ', crcOf(rows(3, 4)), "'4'"),
          lcrc(1, ' ', crcOf(rows(5, 5)), "'5'")}},
        {"numeric text", u"('a', '007'), ('b', '  12'), ('c', '000')", 0, 0,
         kA + "opt: neutral\n", header("key: K\nsel: K, A\ntyp: CI\n"), {}, nullptr, {},
         {lcrc(2, ' ', crcOf(bigEndian(cat({row(u"a", u"7"), row(u"b", u"12")}))), "'b'"),
          lcrc(1, ' ', crcOf(bigEndian(row(u"c", u"0"))), "")}},
        {"key field comments", u"('1', 'a')", UL_SQLCRCFLAG_FIELDCHECKSUM4KEYS, 0, kA, "", {}, nullptr, fieldsOf(1),
         {lcrc(1, ' ', crcOf(r1), ""), "fcrc: A         " + hex8(crcOf(utf16(u"a"))) + " '1' = 'a'",
          "#fcrc: K         " + hex8(crcOf(utf16(u"1"))) + " '1' = '1'"}},
    };
    // clang-format on
    UL_SQLCRCNrSamples = 5;
    for (const Case& c : cases) {
        refill(c.values);
        UL_SQLGlobalCRCFlags |= c.global;
        runFlags_ = UL_CRCRUN_DIGGING | c.run;
        std::vector<std::string> lines = scan(header(c.own), c.first, 2, c.ref);
        if (c.change) run(ul_format(c.change, table_.c_str()));
        if (c.second) lines = scan(fileText(), c.second, 2, c.ref);
        UL_SQLGlobalCRCFlags &= ~c.global;
        if (c.lines[0].rfind("Discrepancy", 0) == 0) {
            EXPECT_EQ(error_.rfind(c.lines[0], 0), 0u) << c.what << ": " << error_;
            continue;
        }
        EXPECT_EQ(rc_, 0) << c.what << ": " << error_;
        const std::string file = fileText();
        if (c.lines.back()[0] == '#') {
            EXPECT_NE(file.find("\n" + c.lines.back() + "\n"), std::string::npos) << file;
            lines.push_back(c.lines.back());
        }
        EXPECT_EQ(lines, c.lines) << c.what << "\n" << file;
    }
}

// ---- cluster, pool and compressed tables --------------------------------------------------------

// A packed decimal of 11 digits: 6 bytes, the sign in the last nibble.
Bytes bcd(long value, bool negative) {
    Bytes b(6, 0);
    unsigned long v = static_cast<unsigned long>(value < 0 ? -value : value);
    b[5] = static_cast<unsigned char>((v % 10) << 4 | (negative ? 0x0D : 0x0C));
    v /= 10;
    for (int i = 4; i >= 0; --i, v /= 100)
        b[static_cast<size_t>(i)] = static_cast<unsigned char>((v % 10) | ((v / 10) % 10) << 4);
    return b;
}

using RawRow = std::vector<std::optional<Bytes>>;

// A nametab with a cluster and a pool: each logical table also exists as a database table of
// its own name holding the same rows (as a migration that declusters it leaves it), and a table
// with compressed long fields. The generated rows hold a control character in a key field and
// packed negative zeros, which the database tables cannot hold but the stored records can.
class UlSqlCrcStoredTest : public UlSqlCrcTest {
  protected:
    void SetUp() override {
        UlSqlCrcTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(nametab_.open(&session_)) << errorUtf8();
        clu_ = session_.table("CLU");
        pool_ = session_.table("POOL");
        lc_ = session_.table("LC");
        lp_ = session_.table("LP");
        repo_ = session_.table("REPOSRC");
        const NtField amount = {u"AMOUNT", 160, 11, 2, false};
        // clang-format off
        const NtTable tables[] = {
            {clu_, u'T', u'C', u"",
             {{u"K1", 40, 10, 0, true}, {u"K2", 172, 10, 0, true}, {u"PAGENO", 168, 5, 0, true},
              {u"TIMESTMP", 40, 14, 0, false}, {u"PAGELG", 168, 5, 0, false},
              {u"VARDATA", 184, 4000, 0, false}}},
            {lc_, u'C', u'T', clu_,
             {{u"K1", 40, 10, 0, true}, {u"K2", 172, 10, 0, true}, {u"SEQ", 172, 10, 0, true},
              {u"TXT", 40, 40, 0, false}, amount, {u"BIN", 184, 16, 0, false}}},
            {pool_, u'T', u'P', u"",
             {{u"TABNAME", 40, 30, 0, true}, {u"VARKEY", 40, 60, 0, true},
              {u"DATALN", 168, 5, 0, false}, {u"VARDATA", 184, 4000, 0, false}}},
            {lp_, u'P', u'T', pool_,
             {{u"KEY1", 40, 10, 0, true}, {u"KEY2", 40, 5, 0, true}, {u"TXT", 40, 30, 0, false},
              amount, {u"BIN", 184, 8, 0, false}}},
            {repo_, u'T', u'T', u"",
             {{u"NAME", 40, 10, 0, true}, {u"DATALG", 168, 5, 0, false},
              {u"DATA", 200, 2000, 0, false}}},
        };
        // clang-format on
        for (const NtTable& t : tables) ASSERT_TRUE(nametab_.define(t, t.name));
        for (const std::u16string* t : {&lc_, &lp_}) {
            ULSQLLogicalWriter writer;
            ASSERT_EQ(writer.open(t == &lc_ ? clu_.c_str() : pool_.c_str(), 64, false), 0)
                << errorUtf8();
            ASSERT_EQ(writer.addTable(t->c_str()), 0) << errorUtf8();
            const std::vector<RawRow> rows = generate(t == &lc_);
            insert(*t, rows);
            for (const RawRow& r : rows) {
                std::vector<const unsigned char*> raw;
                std::vector<unsigned> lengths;
                for (const auto& v : r) {
                    raw.push_back(v ? v->data() : nullptr);
                    lengths.push_back(v ? static_cast<unsigned>(v->size()) : 0);
                }
                ASSERT_EQ(writer.addRow(t->c_str(), raw.data(), lengths.data(),
                                        static_cast<unsigned>(r.size())),
                          0)
                    << errorUtf8();
            }
            ASSERT_EQ(writer.close(), 0) << errorUtf8();
        }
    }
    // Rows of the cluster's (K1, K2, SEQ, TXT, AMOUNT, BIN) or the pool's (KEY1, KEY2, TXT,
    // AMOUNT, BIN) logical table.
    static std::vector<RawRow> generate(bool cluster) {
        std::vector<RawRow> rows;
        const auto text = [](const std::string& s) { return utf16(w(s)); };
        for (int i = 0; i < 121; ++i) {
            const bool bad = i == 120;
            const std::string k1 = std::string(1, cluster ? 'K' : 'P') +
                                   (bad ? std::string("\x01") : std::to_string(i / 40));
            RawRow r = {text(k1)};
            if (cluster) {
                r.push_back(bytes<int>((i / 8) % 5));
                r.push_back(bytes<int>(i));
            } else {
                char key2[8];
                snprintf(key2, sizeof key2, "%03d", i % 40);
                r.push_back(text(key2));
            }
            r.push_back(i % 9 == 3 ? std::nullopt
                                   : std::optional(utf16(u"Zeile \u20ac" + w(std::to_string(i)))));
            const long amount = i % 10 == 5 ? 0 : i * 37 - 2000;
            r.push_back(bcd(amount, amount < 0 || i % 10 == 5));
            Bytes bin(static_cast<size_t>(i % (cluster ? 16 : 8)) + 1);
            for (size_t b = 0; b < bin.size(); ++b) bin[b] = static_cast<unsigned char>(i * 7 + b);
            r.push_back(i % 7 == 6 ? std::nullopt : std::optional(bin));
            rows.push_back(std::move(r));
        }
        return rows;
    }
    void insert(const std::u16string& table, const std::vector<RawRow>& rows) {
        const std::vector<ul_sqlfielddesc_t> d = nametab_.describe(table);
        std::u16string sql = u"INSERT INTO \"" + table + u"\" VALUES (?";
        for (size_t i = 1; i < d.size(); ++i) sql += u", ?";
        ULSQLStmt stmt;
        ASSERT_EQ(stmt.prepare((sql + u")").c_str(), d.data(), static_cast<unsigned>(d.size()),
                               nullptr, 0, 0),
                  0)
            << errorUtf8();
        for (const RawRow& r : rows) {
            for (unsigned i = 0; i < r.size(); ++i)
                ASSERT_EQ(r[i] ? stmt.bindParamR(i, r[i]->data(), r[i]->size()) : stmt.bindNull(i),
                          0)
                    << errorUtf8();
            ASSERT_EQ(stmt.execute(nullptr, nullptr, 0), 1) << errorUtf8();
        }
    }
    // The rows of a table in key order as raw values of its nametab description.
    std::vector<CollectRows::Row> rawRows(const std::u16string& table, const char16_t* order) {
        const std::vector<ul_sqlfielddesc_t> d = nametab_.describe(table);
        ULSQLStmt stmt;
        CollectRows rows;
        EXPECT_EQ(stmt.prepare((u"SELECT * FROM \"" + table + u"\" ORDER BY " + order).c_str(),
                               nullptr, 0, d.data(), static_cast<unsigned>(d.size()), 0),
                  0);
        EXPECT_EQ(stmt.execute(&rows, nullptr, 0), 0) << errorUtf8();
        return rows.rows;
    }
    // The lines of a scan of the current table: whole, or a dig into its second line.
    std::vector<std::string> scanTable(const std::string& hdr, bool quick, bool dig) {
        std::vector<std::string> lines = scan(
            header(hdr), [quick](auto*, ul_crcscanrequest_t* q) { q->quick = quick; }, 7);
        if (!dig || rc_ < 0) return lines;
        return scan(fileText(), [](ULCheckCRCTable* t, ul_crcscanrequest_t* q) {
            digInto(t, q, ul_crcscankind_t::DIG, 1);
            q->sliceSize = 2;
        });
    }

    TestNameTab nametab_;
    std::u16string clu_, pool_, lc_, lp_, repo_;
};

const char* const kLCFields = "key: K1, K2, SEQ\nsel: K1, K2, SEQ, TXT, AMOUNT, BIN\ntyp: CIICPR\n";
const char* const kLPFields = "key: KEY1, KEY2\nsel: KEY1, KEY2, TXT, AMOUNT, BIN\ntyp: CCCPR\n";

// Property: the rows of a logical table check equal whether they are read from the stored
// records or, declustered or depooled, from a database table holding the same rows: whole
// tables in blocks and quick, and a range read when digging. A control character in a key field
// drops the row on both sides; a negative zero of a record checks as the zero the database
// holds only when the scan is told to fix it.
TEST_P(UlSqlCrcStoredTest, LogicalTablesCheckEqualToTheirPlainCopies) {
    struct Case {
        bool cluster, quick, dig, fix;
        std::string whr;  // the section's range
    };
    // clang-format off
    const Case cases[] = {
        {true, false, false, true, ""},   {true, true, false, true, ""},
        {true, false, true, true, ""},    {false, false, false, true, ""},
        {false, true, false, true, ""},   {false, false, true, true, ""},
        {true, false, false, false, ""},  {false, true, false, false, ""},
        {true, false, false, true, "whr: WHERE 'K0' < K1 AND K1 <= 'K1'\n"},
        {false, false, false, true, "whr: WHERE 'P1' <= KEY1\n"}};
    // clang-format on
    for (const Case& c : cases) {
        table_ = c.cluster ? lc_ : lp_;
        const std::string fields = (c.cluster ? kLCFields : kLPFields) + c.whr;
        const std::string what = std::string(c.cluster ? "cluster" : "pool") +
                                 (c.quick ? " quick" : "") + (c.dig ? " dig" : "") +
                                 (c.fix ? "" : " -0") + c.whr;
        UL_SQLGlobalCRCFlags = (UL_SQLGlobalCRCFlags & ~UL_SQLCRCFLAG_FIXBCDMINUSZERO) |
                               UL_SQLCRCFLAG_FILTERBADCHAR |
                               (c.fix ? unsigned{UL_SQLCRCFLAG_FIXBCDMINUSZERO} : 0u);
        runFlags_ = UL_CRCRUN_DIGGING;
        const size_t before = log_.text().size();
        const std::vector<std::string> logical = scanTable(fields, c.quick, c.dig);
        ASSERT_EQ(rc_, 0) << what << ": " << error_;
        const std::string log = log_.text().substr(before);
        EXPECT_NE(log.find(c.cluster ? "rows from logical cluster" : "rows from logical pool"),
                  std::string::npos)
            << what;
        if (!c.dig && c.whr.empty()) {
            EXPECT_NE(log.find("Filtered 1 rows containing invalid characters"), std::string::npos)
                << what;
            // The dropped row is named by its key, a control character shown as '?'.
            EXPECT_NE(log.find(c.cluster ? "bad row with key: K1\"K?\" K2\"0\" SEQ\"120\"\n"
                                         : "bad row with key: KEY1\"P?\" KEY2\"000\"\n"),
                      std::string::npos)
                << log;
            EXPECT_EQ(log.find("Ignored 12 \"-0.0\" BCD values") != std::string::npos, c.fix)
                << what;
        }
        runFlags_ |= c.cluster ? UL_CRCRUN_DECLUSTERED : UL_CRCRUN_DEPOOLED;
        const size_t plainAt = log_.text().size();
        const std::vector<std::string> plain = scanTable(fields, c.quick, c.dig);
        EXPECT_EQ(plain == logical, c.fix) << what;
        EXPECT_EQ(log_.text().find("from logical", plainAt), std::string::npos) << what;
        EXPECT_EQ(plain.size(), logical.size()) << what;
        EXPECT_GT(logical.size(), c.quick ? 0u : 3u) << what;
    }
}

// The packed, pool and decompression filters: the checksum of a physical table is that of its
// rows as restored (pages joined, pool data cut to its length, long fields expanded), computed
// here from the stored rows.
TEST_P(UlSqlCrcStoredTest, RestoredRowsAreChecksummed) {
    // A pool row whose data runs beyond its length, and compressed sources whose length field
    // still holds the compressed length.
    insert(pool_, {{utf16(u"ZZ"), utf16(u"Z"), bytes<short>(3), Bytes{1, 2, 3, 4, 5}}});
    const std::u16string sources[] = {u"REPORT z.", std::u16string(500, u'\u00e4') + u"x"};
    Bytes expandedRows;
    for (int i = 0; i < 2; ++i) {
        const Bytes text = utf16(sources[i]);
        Bytes stored = {1};
        ASSERT_EQ(ul_cscompress(text.data(), text.size(), ul_csalgo::dense, &stored), UL_CS_OK);
        const Bytes name = utf16(i ? u"B" : u"A");
        insert(repo_, {{name, bytes<short>(static_cast<short>(stored.size())), stored}});
        expandedRows =
            cat({expandedRows, name, bytes<short>(static_cast<short>(sources[i].size())), text});
    }
    // Pages joined per grouping key, in page order.
    Bytes packedRows, pooledRows;
    unsigned long records = 0;
    std::vector<unsigned char> last;
    for (const CollectRows::Row& r : rawRows(clu_, u"K1, K2, PAGENO")) {
        if (!(r.flags & UL_ROW_DATA)) continue;
        const Bytes key = cat({*r.raws[0], *r.raws[1]});
        if (key != last) packedRows = cat({packedRows, key});
        records += key != last;
        last = key;
        short length;
        std::memcpy(&length, r.raws[4]->data(), 2);
        packedRows.insert(packedRows.end(), r.raws[5]->begin(), r.raws[5]->begin() + length);
    }
    unsigned long poolRows = 0;
    for (const CollectRows::Row& r : rawRows(pool_, u"TABNAME, VARKEY")) {
        short length;
        std::memcpy(&length, r.raws[2]->data(), 2);
        pooledRows = cat({pooledRows, *r.raws[0], *r.raws[1], *r.raws[2],
                          Bytes(r.raws[3]->begin(), r.raws[3]->begin() + (length & 0x7FFF))});
        ++poolRows;
    }
    struct Case {
        std::u16string table;
        std::string fields;
        unsigned long rows;
        const Bytes* restored;
    };
    const Case cases[] = {
        {clu_, "key: K1, K2, PAGENO\nsel: K1, K2, PAGENO, TIMESTMP, PAGELG, VARDATA\nopt: packed\n",
         records, &packedRows},
        {pool_, "key: TABNAME, VARKEY\nsel: TABNAME, VARKEY, DATALN, VARDATA\nopt: pooled\n",
         poolRows, &pooledRows},
        {repo_, "key: NAME\nsel: NAME, DATALG, DATA\nopt: decompress\n", 2, &expandedRows},
    };
    for (const Case& c : cases) {
        table_ = c.table;
        EXPECT_EQ(scan(header(c.fields), {}, 100000),
                  std::vector<std::string>{lcrc(c.rows, ' ', crcOf(*c.restored), "")})
            << c.fields;
        EXPECT_EQ(rc_, 0) << c.fields << error_;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, UlSqlCrcStoredTest, ::testing::Values("SQLITE", "PGSQL"),
                         [](const auto& info) { return std::string(info.param); });

INSTANTIATE_TEST_SUITE_P(Engines, UlSqlCrcTest, ::testing::Values("SQLITE", "PGSQL"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace

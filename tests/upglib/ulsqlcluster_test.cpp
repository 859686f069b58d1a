#include "ulsqlcluster.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "sqltestutil.h"
#include "tabrix.h"
#include "ulcompress.h"
#include "ulnametab.h"
#include "ulsqlaux.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring2.h"

namespace {

// ---- the packed row buffer and the callbacks on rows built in memory -------------------------

// A packed row restores what was stored, its values 8-byte aligned, and fits its size exactly.
TEST(UlSqlClusterPackTest, RoundTripAndBounds) {
    alignas(8) unsigned char buffer[256];
    const unsigned char three[3] = {1, 2, 3};
    const unsigned char* raw[] = {three, nullptr, three};
    const char16_t* strings[] = {u"abc", nullptr, u""};
    const unsigned lengths[] = {3, 0, 0};
    const long size = ul_sqlpackrowstore(nullptr, 0, 5, raw, strings, lengths, 3, 0);
    EXPECT_EQ(ul_sqlpackrowstore(buffer, size - 1, 5, raw, strings, lengths, 3, 0), -1);
    ASSERT_EQ(ul_sqlpackrowstore(buffer, size, 5, raw, strings, lengths, 3, 0), size);
    EXPECT_EQ(ul_sqlpackrowsize(buffer), static_cast<size_t>(size));
    uint32_t tag = 0;
    const unsigned char* r[3];
    const char16_t* s[3];
    unsigned l[3];
    EXPECT_EQ(ul_sqlpackrowrestore(buffer, &tag, r, s, l, 2, 0), -1);
    ASSERT_EQ(ul_sqlpackrowrestore(buffer, &tag, r, s, l, 3, 0), 3);
    EXPECT_EQ(tag, 5u);
    EXPECT_EQ(std::u16string(s[0]), u"abc");
    EXPECT_EQ(std::memcmp(r[0], three, 3), 0);
    EXPECT_EQ(r[1], nullptr);
    EXPECT_EQ(s[1], nullptr);
    EXPECT_EQ(std::u16string(s[2]), u"");
    EXPECT_EQ(l[2], 0u);
    EXPECT_EQ(l[0], 3u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r[2]) % 8, 0u);
}

// A row of byte strings: nullopt is NULL; every value also has its text.
using Row = std::vector<std::optional<std::string>>;

int feed(ULSQLCallBack* cb, unsigned flags, const Row& row) {
    std::vector<const unsigned char*> raw;
    std::vector<std::u16string> texts(row.size());
    std::vector<const char16_t*> values;
    std::vector<unsigned> lengths;
    for (size_t i = 0; i < row.size(); ++i) {
        raw.push_back(row[i] ? reinterpret_cast<const unsigned char*>(row[i]->data()) : nullptr);
        lengths.push_back(row[i] ? static_cast<unsigned>(row[i]->size()) : 0);
        texts[i] = row[i] ? w(*row[i]) : u"";
        values.push_back(row[i] ? texts[i].c_str() : nullptr);
    }
    return cb->handleRow(flags, raw.data(), values.data(), lengths.data(),
                         static_cast<unsigned>(row.size()));
}

std::string le16(int v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}
std::string header(unsigned pages, unsigned format, unsigned bodyLength) {
    const unsigned char h[8] = {
        static_cast<unsigned char>(pages >> 8),       static_cast<unsigned char>(pages),
        static_cast<unsigned char>(format >> 8),      static_cast<unsigned char>(format),
        static_cast<unsigned char>(bodyLength >> 24), static_cast<unsigned char>(bodyLength >> 16),
        static_cast<unsigned char>(bodyLength >> 8),  static_cast<unsigned char>(bodyLength)};
    return std::string(reinterpret_cast<const char*>(h), 8);
}

// Joining the pages of a packed row, and its damages, are shown by chktable's CLI cases.

TEST(UlSqlClusterPackTest, PoolLengthFromItsBytes) {
    struct Case {
        std::string length;
        unsigned flags;
        int expected;  // -1: error
    } cases[] = {
        {"\x05", 0, 5},
        {le16(7), 0, 7},
        {std::string("\x09\0\0\0", 4), 0, 9},
        {le16(0x8003), 0, 3},  // the low 15 bits
        {std::string("\0\x06", 2), UL_ROW_BIGENDIAN, 6},
        {std::string("\0\0\0\x08", 4), UL_ROW_BIGENDIAN, 8},
        {"\x01\x02\x03", 0, -1},
        {le16(11), 0, -1},  // beyond the 10 bytes of data
    };
    for (const Case& c : cases) {
        CollectRows out;
        ULSQLSelectPooled pooled;
        pooled.init(4, &out);
        const int rc = feed(&pooled, UL_ROW_DATA | c.flags, {"T", "KEY", c.length, "0123456789"});
        if (c.expected < 0) {
            EXPECT_EQ(rc, -1);
            continue;
        }
        ASSERT_EQ(rc, 0) << u8(errorText());
        EXPECT_EQ(out.rows[0].raws[3]->size(), static_cast<size_t>(c.expected));
    }
}

TEST(UlSqlClusterPackTest, DuplicatesAreSortedAndOrderChecked) {
    CollectRows out;
    ULSQLSelectSortDuplicates sorter;
    const int types[] = {UL_SQLTOKEN_STRING};
    sorter.init(1, types, 0, &out);
    for (const Row& r :
         std::vector<Row>{{"A", "2"}, {"B", "9"}, {"B", "1"}, {"B", "5"}, {"C", "0"}})
        ASSERT_EQ(feed(&sorter, UL_ROW_DATA, r), 0);
    ASSERT_EQ(sorter.finish(), 0);
    EXPECT_EQ(out.column(1), (std::vector<std::u16string>{u"2", u"1", u"5", u"9", u"0"}));
    ASSERT_EQ(feed(&sorter, UL_ROW_DATA, {"D", "1"}), 0);
    EXPECT_EQ(feed(&sorter, UL_ROW_DATA, {"C", "1"}), -1);
    EXPECT_EQ(u8(errorText()), "Key columns not sorted:\nkey #1: last='D' now='C'");
}

TEST(UlSqlClusterPackTest, DecompressionByTableMode) {
    const std::string text = "REPORT z. WRITE 'hello'. " + std::string(300, 'x');
    auto field = [](const std::string& plain, unsigned char version, unsigned char algo) {
        std::vector<unsigned char> out = {version};
        EXPECT_EQ(ul_cscompress(reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                                ul_csalgo::dense, &out),
                  UL_CS_OK);
        out[5] = algo;
        return std::string(out.begin(), out.end());
    };
    const unsigned char dense = static_cast<unsigned char>(ul_csalgo::dense);
    struct Case {
        const char16_t* table;
        std::string header;  // names of the three columns
        std::string data;
        std::string expected;  // the expanded data, or the error text
        const char* datalg;
    } cases[] = {
        {u"DYNPSOURCE", "DATALG", field(text, 0, dense), text, "325"},
        {u"ZTAB", "DATALG", field(text, 1, dense), text, "325"},
        {u"ZTAB", "DATALG", field(text, 2, dense),
         "Invalid compression version 2\nError occured with object 'OBJ' column 3", nullptr},
        {u"ZTAB", "DATALG", field(text, 1, 0x33),
         "Data is not compressed\nError occured with object 'OBJ' column 3", nullptr},
        {u"ZTAB", "LENGTH", field(text, 1, dense), "Missing field 'DATALG' in selection", nullptr},
    };
    for (const Case& c : cases) {
        CollectRows out;
        ULSQLSelectDecompress d;
        d.init(c.table, &out, 0);
        int rc = feed(&d, UL_ROW_HDR_TYPE | UL_ROW_HDR_NAME, {"C:NAME", "I:" + c.header, "B:DATA"});
        if (rc == 0)
            rc = feed(&d, UL_ROW_DATA, {"OBJ", le16(static_cast<int>(c.data.size())), c.data});
        if (!c.datalg) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(u8(errorText()), c.expected);
            continue;
        }
        ASSERT_EQ(rc, 0) << u8(errorText());
        EXPECT_EQ(out.rows[1].raws[2],
                  std::vector<unsigned char>(c.expected.begin(), c.expected.end()));
        EXPECT_EQ(u8(*out.rows[1].texts[1]), c.datalg) << u8(c.table);
    }
}

// ---- logical tables on the real engines ------------------------------------------------------

class UlSqlClusterTest : public SqlEngineTest {
  protected:
    void SetUp() override {
        SqlEngineTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
        ASSERT_TRUE(nametab_.open(&session_)) << u8(errorText());
        phys_ = session_.table("CLU");
        pool_ = session_.table("POOL");
        const NtField k1 = {u"K1", 40, 10, 0, true}, k2 = {u"K2", 172, 10, 0, true};
        // clang-format off
        tables_ = {
            {phys_, u'T', u'C', u"",
             {k1, k2, {u"PAGENO", 168, 5, 0, true}, {u"TIMESTMP", 40, 14, 0, false},
              {u"PAGELG", 168, 5, 0, false}, {u"VARDATA", 184, 4000, 0, false}}},
            {session_.table("LC1"), u'C', u'T', phys_,
             {k1, k2, {u"SEQ", 172, 10, 0, true}, {u"TXT", 40, 40, 0, false},
              {u"AMOUNT", 160, 11, 2, false}, {u"BIN", 184, 16, 0, false}}},
            {session_.table("LC2"), u'C', u'T', phys_,
             {k1, k2, {u"POS", 168, 5, 0, true}, {u"NOTE", 40, 60, 0, false}}},
            {session_.table("LC3"), u'C', u'T', phys_,
             {k1, k2, {u"LNO", 172, 10, 0, true}, {u"DLEN", 168, 5, 0, false},
              {u"DATA", 200, 2000, 0, false}}},
            {pool_, u'T', u'P', u"",
             {{u"TABNAME", 40, 30, 0, true}, {u"VARKEY", 40, 60, 0, true},
              {u"DATALN", 168, 5, 0, false}, {u"VARDATA", 184, 4000, 0, false}}},
            {session_.table("LP1"), u'P', u'T', pool_,
             {{u"KEY1", 40, 10, 0, true}, {u"KEY2", 40, 5, 0, true}, {u"VAL", 40, 30, 0, false},
              {u"NUM", 172, 10, 0, false}, {u"BIN", 184, 8, 0, false}}},
        };
        // clang-format on
        for (const NtTable& t : tables_) define(t);
        for (const NtTable& t : tables_)
            if (t.type != u'T') fill(t);
    }
    void TearDown() override {
        for (const std::u16string& t : originals_)
            (void)exec(u"DROP TABLE \"" + t + u"\"", nullptr, UL_SQLMODE_TOLERATE);  // cleanup only
        SqlEngineTest::TearDown();
    }
    // The nametab rows of t, and a database table for the physical tables and for the
    // transparent original of each logical table ("<name>T").
    void define(const NtTable& t) {
        const std::u16string db = t.type == u'T' ? t.name : t.name + u"T";
        if (t.type != u'T') originals_.push_back(db);
        ASSERT_TRUE(nametab_.define(t, db));
    }
    // Rows of a transparent original: several keys, many rows a key, nulls, non-ASCII text,
    // binary values, long values over several pages.
    void fill(const NtTable& t) {
        const unsigned n = static_cast<unsigned>(t.fields.size());
        std::u16string sql = u"INSERT INTO \"" + t.name + u"T\" VALUES (";
        for (unsigned i = 0; i < n; ++i) sql += i ? u", ?" : u"?";
        ULSQLStmt insert;
        std::vector<ul_sqlfielddesc_t> descs = nametab_.describe(t.name);
        ASSERT_EQ(insert.prepare((sql + u")").c_str(), descs.data(), n, nullptr, 0, 0), 0)
            << u8(errorText());
        const std::u16string k1s[] = {u"A", u"Käse", u"ZZ", u"日本"};
        for (int k = 0; k < 12; ++k)
            for (int r = 0; r < (t.type == u'P' ? 3 : (k * 7) % 11); ++r) {
                std::vector<unsigned char> bin(static_cast<size_t>(37 * r + k * 50 + 12));
                for (size_t b = 0; b < bin.size(); ++b)
                    bin[b] = static_cast<unsigned char>(b * 31 + k + r);
                const size_t small = 3 + r % 9;
                for (unsigned i = 0; i < n; ++i) {
                    const NtField& f = t.fields[i];
                    const std::u16string name = f.name;
                    int rc;
                    if (name == u"K1" || name == u"KEY1")
                        rc = insert.bindParamS(i, k1s[k % 4].c_str());
                    else if (name == u"K2")
                        rc = insert.bindParamI(i, k / 4);
                    else if (name == u"KEY2")
                        rc = insert.bindParamS(i, ul_format(u"%d", k / 4 * 3 + r).c_str());
                    else if (f.key || name == u"NUM")
                        rc = insert.bindParamI(i, r);
                    else if (f.ddtype == 184 || f.ddtype == 200)
                        rc = r % 5 == 4 ? insert.bindNull(i)
                                        : insert.bindParamR(i, bin.data(),
                                                            f.ddtype == 184 ? small : bin.size());
                    else if (name == u"DLEN")
                        rc = insert.bindParamI(i, r % 5 == 4 ? 0 : static_cast<long>(bin.size()));
                    else if (name == u"AMOUNT")
                        rc = insert.bindParamS(i, ul_format(u"%d.%02d", k * r - 20, r).c_str());
                    else
                        rc = r % 7 == 3
                                 ? insert.bindNull(i)
                                 : insert.bindParamS(
                                       i, (u"Zeile €" + k1s[r % 4] + ul_format(u" %d", r)).c_str());
                    ASSERT_EQ(rc, 0) << u8(errorText());
                }
                ASSERT_EQ(insert.execute(nullptr, nullptr, 0), 1) << u8(errorText());
            }
    }
    // Stores every logical table of the physical table through the writer.
    int write(const std::u16string& physical, unsigned pageSize, bool compress) {
        if (exec(u"DELETE FROM \"" + physical + u"\"") < 0) return -1;
        ULSQLLogicalWriter writer;
        if (writer.open(physical.c_str(), pageSize, compress) < 0) return -1;
        for (const NtTable& t : tables_) {
            if (t.ref != physical) continue;
            std::vector<ul_sqlfielddesc_t> d = nametab_.describe(t.name);
            ULSQLStmt query;
            struct Feed : ULSQLCallBack {
                ULSQLLogicalWriter* writer;
                const char16_t* table;
                int handleRow(unsigned flags, const unsigned char** raw, const char16_t**,
                              unsigned* lengths, unsigned n) override {
                    return flags & UL_ROW_DATA ? writer->addRow(table, raw, lengths, n) : 0;
                }
            } feed;
            feed.writer = &writer;
            feed.table = t.name.c_str();
            if (writer.addTable(t.name.c_str()) < 0 ||
                query.prepare((u"SELECT * FROM \"" + t.name + u"T\"").c_str(), nullptr, 0, d.data(),
                              static_cast<unsigned>(d.size()), 0) < 0 ||
                query.execute(&feed, nullptr, 0) < 0)
                return -1;
        }
        return writer.close();
    }
    // The rows of the transparent original in key order.
    std::vector<CollectRows::Row> transparent(const NtTable& t,
                                              const std::vector<ul_sqlfielddesc_t>& d) {
        std::u16string order;
        for (const NtField& f : t.fields)
            if (f.key) order += (order.empty() ? u"" : u", ") + std::u16string(f.name);
        CollectRows rows;
        ULSQLStmt query;
        EXPECT_EQ(query.prepare((u"SELECT * FROM \"" + t.name + u"T\" ORDER BY " + order).c_str(),
                                nullptr, 0, d.data(), static_cast<unsigned>(d.size()), 0),
                  0);
        EXPECT_EQ(query.execute(&rows, nullptr, 0), 0) << u8(errorText());
        return rows.rows;
    }

    MemoryStream log_;
    TestNameTab nametab_;
    std::u16string phys_, pool_;
    std::vector<NtTable> tables_;
    std::vector<std::u16string> originals_;
};

bool sameRow(const CollectRows::Row& a, const CollectRows::Row& b) {
    return a.texts == b.texts && a.raws == b.raws;
}

// Key ranges as (low values, high values) over (K1, K2) or (KEY1, KEY2).
const std::vector<std::pair<std::vector<std::u16string>, std::vector<std::u16string>>> kRanges = {
    {{}, {}},
    {{u"Käse"}, {}},
    {{u"A", u"1"}, {u"ZZ"}},
    {{}, {u"Käse", u"1"}},
    {{u"日本", u"3"}, {u"日本", u"9"}}};

// Whether a row lies on the inner side of a bound (side 1: low, -1: high); the second key field
// is a number in the clusters and text in the pool.
bool inRange(const CollectRows::Row& row, const std::vector<std::u16string>& bound, int side,
             bool numeric) {
    for (size_t k = 0; k < bound.size(); ++k) {
        const std::u16string v = *row.texts[k];
        const int c = k == 1 && numeric ? std::stoi(u8(v)) - std::stoi(u8(bound[k]))
                                        : ul_sqlstringcompare(v, bound[k]);
        if (c) return c * side > 0;
    }
    return true;
}

TEST_P(UlSqlClusterTest, LogicalTablesReadBackAsTheirOriginals) {
    for (const auto& [pageSize, compress] :
         std::vector<std::pair<unsigned, bool>>{{64, false}, {64, true}, {4000, true}}) {
        ASSERT_EQ(write(phys_, pageSize, compress), 0) << u8(errorText());
        ASSERT_EQ(write(pool_, 0, false), 0) << u8(errorText());
        for (const NtTable& t : tables_) {
            if (t.type == u'T') continue;
            std::vector<ul_sqlfielddesc_t> d = nametab_.describe(t.name);
            const auto expected = transparent(t, d);
            ASSERT_GT(expected.size(), 10u);
            for (const auto& [low, high] : kRanges) {
                std::vector<const char16_t*> lo, hi;
                for (const auto& v : low) lo.push_back(v.c_str());
                for (const auto& v : high) hi.push_back(v.c_str());
                ULSQLStmtLogicalTable stmt;
                CollectRows got;
                unsigned long count = 0;
                std::vector<ul_sqlfielddesc_t> descs(d.size());
                ASSERT_EQ(stmt.select(t.name.c_str(), nullptr, descs.data(), 0, lo.data(),
                                      static_cast<unsigned>(lo.size()), hi.data(),
                                      static_cast<unsigned>(hi.size()), &got, &count, 0),
                          0)
                    << u8(t.name) << ": " << u8(errorText());
                EXPECT_EQ(std::u16string(descs[2].name), std::u16string(d[2].name));
                std::vector<CollectRows::Row> want;
                for (const auto& r : expected)
                    if (inRange(r, low, 1, t.type == u'C') && inRange(r, high, -1, t.type == u'C'))
                        want.push_back(r);
                ASSERT_EQ(got.rows.size(), want.size()) << u8(t.name) << " page size " << pageSize;
                EXPECT_EQ(count, want.size());
                for (size_t i = 0; i < want.size(); ++i)
                    ASSERT_TRUE(sameRow(got.rows[i], want[i])) << u8(t.name) << " row " << i;
            }
        }
    }
}

TEST_P(UlSqlClusterTest, PreparedStatementAndItsMessages) {
    ASSERT_EQ(write(phys_, 128, true), 0) << u8(errorText());
    const std::u16string lc1 = tables_[1].name;
    ULSQLStmtLogicalTable stmt;
    ASSERT_EQ(
        stmt.prepare((u"SELECT SEQ, TXT FROM " + lc1 + u" WHERE K1 = ? AND K2 = ?").c_str(), 0), 0)
        << u8(errorText());
    ASSERT_EQ(stmt.getNParams(), 2u);
    ASSERT_EQ(stmt.bindParamS(0, u"Käse"), 0);
    ASSERT_EQ(stmt.bindParamI(1, 1), 0);
    CollectRows got;
    unsigned long count = 0;
    ASSERT_EQ(stmt.execute(&got, &count, UL_SQLMODE_HDR_NAME), 0) << u8(errorText());
    ASSERT_FALSE(got.rows.empty());
    EXPECT_EQ(*got.rows[0].texts[1], u"TXT");
    EXPECT_EQ(count, got.rows.size() - 1);
    for (size_t i = 1; i < got.rows.size(); ++i)
        EXPECT_EQ(*got.rows[i].texts[0], ul_format(u"%zu", i - 1));

    struct Case {
        std::u16string statement;
        std::vector<std::u16string> low;
        std::string error;
    } cases[] = {
        {u"DELETE FROM " + lc1, {}, "Unsupported cluster SQL statement type 12"},
        {u"SELECT NOPE FROM " + lc1, {}, "Table '" + u8(lc1) + "' has no field 'NOPE'"},
        {u"",
         {u"A", u"1", u"2", u"3"},
         "Too many key fields for table '" + u8(lc1) + "' nlow=4 nhigh=0 nkeycols=3"},
        {u"", {u"A", u"x"}, "Cannot parse boundary value <x>"},
    };
    for (const Case& c : cases) {
        ULSQLStmtLogicalTable s;
        if (!c.statement.empty()) {
            EXPECT_EQ(s.prepare(c.statement.c_str(), 0), -1);
        } else {
            std::vector<const char16_t*> lo;
            for (const auto& v : c.low) lo.push_back(v.c_str());
            EXPECT_EQ(s.select(lc1.c_str(), nullptr, nullptr, 0, lo.data(),
                               static_cast<unsigned>(lo.size()), nullptr, 0, &got, nullptr, 0),
                      -1);
        }
        EXPECT_EQ(u8(errorText()), c.error);
    }
}

// Physical rows written by hand: each damage gives an error naming the table and the key.
TEST_P(UlSqlClusterTest, DamagedRecordsFailWithTableAndKey) {
    const std::u16string lc2 = tables_[2].name;
    std::vector<unsigned char> body;
    body.push_back(0);
    body.push_back(static_cast<unsigned char>(lc2.size()));
    for (char16_t c : lc2) {
        body.push_back(0);
        body.push_back(static_cast<unsigned char>(c));
    }
    std::vector<unsigned char> rows = {0, 0, 0, 1};
    const unsigned char pos[] = {1, 0};
    ul_sqlclusterputvalue(&rows, pos, 2);
    ul_sqlclusterputvalue(&rows, reinterpret_cast<const unsigned char*>(u"x"), 2);
    std::vector<unsigned char> good = body;
    good.insert(good.end(), rows.begin(), rows.begin() + 4);
    good.insert(good.end(), {0, 0, 0, static_cast<unsigned char>(rows.size() - 4)});
    good.insert(good.end(), rows.begin() + 4, rows.end());
    std::vector<unsigned char> packed = {UL_CS_FIELD_VERSION};
    ASSERT_EQ(ul_cscompress(good.data(), good.size(), ul_csalgo::dense, &packed), UL_CS_OK);
    auto record = [](unsigned format, std::vector<unsigned char> b) {
        std::vector<unsigned char> r;
        const std::string h = header(1, format, static_cast<unsigned>(b.size()));
        r.assign(h.begin(), h.end());
        r.insert(r.end(), b.begin(), b.end());
        return r;
    };
    std::vector<unsigned char> cut(packed.begin(), packed.end() - 3), flipped = packed;
    flipped[flipped.size() / 2] ^= 0x10;
    std::vector<unsigned char> version = packed;
    version[0] = 2;
    const std::string key = " 'BAD' '7'";
    // Damage within the record is chktable's CLI cases; here the damage of compressed data.
    const std::pair<std::vector<unsigned char>, std::string> cases[] = {
        {record(0, good), ""},
        {record(1, packed), ""},
        {record(1, cut), "db_compress returned -2"},
        {record(1, flipped), "db_compress returned"},
        {record(1, version), "Invalid compression version 2"},
    };
    ULSQLStmt insert;
    const std::vector<ul_sqlfielddesc_t> d = nametab_.describe(phys_);
    ASSERT_EQ(insert.prepare((u"INSERT INTO \"" + phys_ + u"\" VALUES (?, ?, ?, ?, ?, ?)").c_str(),
                             d.data(), 6, nullptr, 0, 0),
              0);
    for (const auto& [rec, error] : cases) {
        ASSERT_GE(exec(u"DELETE FROM \"" + phys_ + u"\""), 0) << u8(errorText());
        ASSERT_EQ(insert.bindParamS(0, u"BAD"), 0);
        ASSERT_EQ(insert.bindParamI(1, 7), 0);
        ASSERT_EQ(insert.bindParamI(2, 0), 0);
        ASSERT_EQ(insert.bindParamS(3, u"20260101000000"), 0);
        ASSERT_EQ(insert.bindParamI(4, static_cast<long>(rec.size())), 0);
        ASSERT_EQ(insert.bindParamR(5, rec.data(), rec.size()), 0);
        ASSERT_EQ(insert.execute(nullptr, nullptr, 0), 1) << u8(errorText());
        ULSQLStmtLogicalTable stmt;
        CollectRows got;
        const long rc =
            stmt.select(lc2.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr, 0, &got, nullptr, 0);
        if (error.empty()) {
            ASSERT_EQ(rc, 0) << u8(errorText());
            ASSERT_EQ(got.rows.size(), 1u);
            EXPECT_EQ(*got.rows[0].texts[3], u"x");
            continue;
        }
        EXPECT_EQ(rc, -1);
        const std::string text = u8(errorText());
        EXPECT_NE(text.find(error), std::string::npos) << text;
        EXPECT_NE(text.find(key), std::string::npos) << text;
        EXPECT_NE(text.find("Reading logical table '" + u8(lc2) + "'"), std::string::npos) << text;
    }
}

// scancluster, run in-process over the written cluster: its swap file, named after the process,
// lives as long as the scan, on success and on failure, unless it is to be kept. What the command
// reports is checked by the CLI cases of both engines.
TEST_P(UlSqlClusterTest, ScanClusterSwapFileLivesAsLongAsTheScan) {
    ASSERT_EQ(write(phys_, 64, false), 0) << u8(errorText());
    const struct {
        std::vector<const char16_t*> options;
        int rc;
        bool kept;
    } cases[] = {{{u"memsize=40"}, 0, false},
                 {{u"memsize=40", u"maxfilesize=16"}, -1, false},
                 {{u"keepswapfile", u"memsize=0"}, 0, true}};
    const std::string swap = "CLUSTCHK_" + std::to_string(getpid()) + ".SWP";
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.options.back()));
        std::vector<const char16_t*> argv = {u"scancluster"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.insert(argv.end(), {phys_.c_str(), nullptr});
        ASSERT_EQ(ul_sqldisconnect(0), 0);  // the command connects and disconnects itself
        EXPECT_EQ(cmd_SCANCLUSTER(static_cast<unsigned>(argv.size() - 1), argv.data()), c.rc)
            << u8(errorText());
        ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << u8(errorText());
        EXPECT_EQ(access(swap.c_str(), F_OK) == 0, c.kept);
        unlink(swap.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, UlSqlClusterTest, ::testing::Values("SQLITE", "PGSQL"));

}  // namespace

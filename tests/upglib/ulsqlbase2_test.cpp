#include "ulsqlbase2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "testutil.h"
#include "ulsqlaux.h"

// The sanitizer runtime's allocation hooks (present only in sanitizer builds) let a test count
// heap allocations without replacing the global allocator.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void*))
    __attribute__((weak));

namespace {
std::atomic<bool> g_countAllocations{false};
std::atomic<long> g_allocations{0};

void onMalloc(const volatile void*, size_t) {
    if (g_countAllocations.load(std::memory_order_relaxed)) ++g_allocations;
}
void onFree(const volatile void*) {}

bool allocationCounting() {
    static const bool installed = __sanitizer_install_malloc_and_free_hooks &&
                                  __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
    return installed;
}
}  // namespace

namespace {

using Bytes = std::vector<unsigned char>;

// A cell together with the storage its pointers refer to.
struct Cell {
    dbif_kind kind = dbif_kind::null;
    int64_t integer = 0;
    double real = 0;
    std::u16string text;
    Bytes bytes;

    dbif_cell_t get() const {
        dbif_cell_t c;
        c.kind = kind;
        c.integer = integer;
        c.real = real;
        if (kind == dbif_kind::text || kind == dbif_kind::decimal) {
            c.text = text.data();
            c.length = text.size();
        }
        if (kind == dbif_kind::bytes) {
            c.bytes = bytes.data();
            c.length = bytes.size();
        }
        return c;
    }
};

Cell Null() {
    return Cell{};
}
Cell Int(int64_t v) {
    return Cell{dbif_kind::integer, v, 0, {}, {}};
}
Cell Real(double v) {
    return Cell{dbif_kind::real, 0, v, {}, {}};
}
// An engine's decimal text (ASCII within UTF-16), as PostgreSQL delivers NUMERIC.
Cell Dec(const char* ascii) {
    Cell c{dbif_kind::decimal, 0, 0, {}, {}};
    for (; *ascii; ++ascii) c.text += char16_t(*ascii);
    return c;
}
Cell Text(const std::u16string& t) {
    return Cell{dbif_kind::text, 0, 0, t, {}};
}
Cell Blob(const Bytes& b) {
    return Cell{dbif_kind::bytes, 0, 0, {}, b};
}

ul_sqlfielddesc_t Desc(unsigned flags, int type, unsigned length = 0, unsigned digits = 0,
                       unsigned decimals = 0) {
    return ul_sqlfielddesc_t{u"COL", flags, type, digits | (decimals << 16), length};
}
ul_sqlfielddesc_t IntDesc(unsigned size) {
    return Desc(UL_SQLFLD_INT, -1, size);
}
ul_sqlfielddesc_t FloatDesc() {
    return Desc(UL_SQLFLD_FLOAT, -1, 8);
}
ul_sqlfielddesc_t PackedDesc(unsigned digits, unsigned decimals) {
    return Desc(0, DBIF_TYPE_PACKED, digits, digits, decimals);
}
ul_sqlfielddesc_t DecimalDesc() {
    return Desc(0, DBIF_TYPE_DECIMAL);
}
ul_sqlfielddesc_t DecFloatDesc(unsigned bytes) {
    return Desc(0, bytes == 8 ? DBIF_TYPE_DECFLOAT16 : DBIF_TYPE_DECFLOAT34, bytes);
}
ul_sqlfielddesc_t CharDesc(unsigned length) {
    return Desc(UL_SQLFLD_CHAR, -1, length);
}
ul_sqlfielddesc_t LongCharDesc() {
    return Desc(UL_SQLFLD_LONG, -1);
}
ul_sqlfielddesc_t RawDesc(unsigned length) {
    return Desc(UL_SQLFLD_RAW, -1, length);
}
ul_sqlfielddesc_t BlobDesc() {
    return Desc(UL_SQLFLD_RAW | UL_SQLFLD_LONG, -1);
}

Bytes hexBytes(const char* hex) {
    Bytes out;
    for (; hex[0] && hex[1]; hex += 2) out.push_back(std::stoi(std::string(hex, 2), nullptr, 16));
    return out;
}

Bytes unitBytes(const std::u16string& s) {
    Bytes out(s.size() * 2);
    if (!out.empty()) std::memcpy(out.data(), s.data(), out.size());
    return out;
}

Bytes le64(uint64_t v) {
    Bytes out(8);
    std::memcpy(out.data(), &v, 8);
    return out;
}

std::u16string ascii16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

struct Converted {
    int rc = 0;
    bool isNull = true;
    bool rawIsNull = true;
    Bytes raw;
    bool hasText = false;
    std::u16string text;
};

Converted convertOne(const Cell& cell, const ul_sqlfielddesc_t& desc, bool withText = true) {
    ULSQLValueConverter conv;
    conv.beginRow(1);
    Converted out;
    out.rc = conv.convert(0, cell.get(), desc, withText);
    const ul_sqlvalue_t& v = conv.values()[0];
    out.isNull = v.isNull;
    out.rawIsNull = v.raw == nullptr;
    if (v.raw) out.raw.assign(v.raw, v.raw + v.rawLength);
    out.hasText = v.text != nullptr;
    if (v.text) out.text = v.text;
    return out;
}

std::string hexOf(const Bytes& b) {
    std::string s;
    char buf[4];
    for (unsigned char c : b) {
        snprintf(buf, sizeof buf, "%02X", c);
        s += buf;
    }
    return s;
}

class ULSqlBase2Test : public ::testing::Test {
  protected:
    void SetUp() override { savedFlags_ = UL_SQLGlobalFlags; }
    void TearDown() override { UL_SQLGlobalFlags = savedFlags_; }
    unsigned savedFlags_ = 0;
};

// ---- type letters and descriptions ----------------------------------------------------------

TEST_F(ULSqlBase2Test, TypeLettersFollowDatabaseTypeThenFlags) {
    struct Case {
        unsigned flags;
        int dbifType;
        char16_t letter;
        int type;
    };
    const Case cases[] = {
        // Without database type: raw, integer, floating point, character (no flag 16), M.
        {0x0, -1, u'C', DBIF_TYPE_CHAR},
        {0x1, -1, u'I', DBIF_TYPE_INT},
        {0x2, -1, u'F', DBIF_TYPE_FLOAT},
        {0x8, -1, u'R', DBIF_TYPE_RAW},
        {0x10, -1, u'M', DBIF_TYPE_DECIMAL},
        {0x100, -1, u'L', DBIF_TYPE_LONGCHAR},
        {0x108, -1, u'B', DBIF_TYPE_BLOB},
        {0x9, -1, u'R', DBIF_TYPE_RAW},
        {0x3, -1, u'I', DBIF_TYPE_INT},
        {0x11, -1, u'I', DBIF_TYPE_INT},
        {0x12, -1, u'F', DBIF_TYPE_FLOAT},
        {0x110, -1, u'M', DBIF_TYPE_DECIMAL},
        {0x18, -1, u'R', DBIF_TYPE_RAW},
        {0x20, -1, u'C', DBIF_TYPE_CHAR},  // a bit of the table-description functions
        // A database type decides alone, except that flag 16 makes a decimal an "M".
        {0x0, DBIF_TYPE_PACKED, u'P', 0},
        {0x1, DBIF_TYPE_FLOAT, u'F', 1},
        {0x0, DBIF_TYPE_RAW, u'R', 5},
        {0x0, DBIF_TYPE_DECIMAL, u'N', 6},
        {0x10, DBIF_TYPE_DECIMAL, u'M', 6},
        {0x0, DBIF_TYPE_LONGCHAR, u'L', 7},
        {0x0, DBIF_TYPE_BLOB, u'B', 8},
        {0x1, DBIF_TYPE_CHAR, u'C', 11},
        {0x0, DBIF_TYPE_INT, u'I', 22},
        {0x10, DBIF_TYPE_PACKED, u'P', 0},
        {0x0, DBIF_TYPE_DECFLOAT16, 0, 16},
        {0x0, DBIF_TYPE_DECFLOAT34, 0, 17},
        {0x0, 99, 0, 99},
    };
    for (const Case& c : cases) {
        ul_sqlfielddesc_t d{u"X", c.flags, c.dbifType, 0, 4};
        EXPECT_EQ(ul_sqlfldflag2char(d), c.letter) << "flags " << c.flags << " type " << c.dbifType;
        EXPECT_EQ(ul_sqlfieldtype(d), c.type) << "flags " << c.flags << " type " << c.dbifType;
    }
}

TEST_F(ULSqlBase2Test, FieldFromColumnKeepsEngineDescription) {
    struct Case {
        int type;
        unsigned length, decimals;
        unsigned flags;
        unsigned digitsDecimals, descLength;
        char16_t letter;
    };
    const Case cases[] = {
        {DBIF_TYPE_INT, 4, 0, UL_SQLFLD_INT, 0, 4, u'I'},
        {DBIF_TYPE_INT, 0, 0, UL_SQLFLD_INT, 0, 8, u'I'},
        {DBIF_TYPE_FLOAT, 0, 0, UL_SQLFLD_FLOAT, 0, 8, u'F'},
        {DBIF_TYPE_PACKED, 10, 2, 0, 10 | (2 << 16), 10, u'P'},
        {DBIF_TYPE_DECIMAL, 0, 0, 0, 0, 0, u'N'},
        {DBIF_TYPE_CHAR, 200, 0, UL_SQLFLD_CHAR, 0, 200, u'C'},
        {DBIF_TYPE_LONGCHAR, 0, 0, UL_SQLFLD_LONG, 0, 0, u'L'},
        {DBIF_TYPE_RAW, 16, 0, UL_SQLFLD_RAW, 0, 16, u'R'},
        {DBIF_TYPE_BLOB, 0, 0, UL_SQLFLD_RAW | UL_SQLFLD_LONG, 0, 0, u'B'},
        {DBIF_TYPE_DECFLOAT16, 0, 0, 0, 0, 8, 0},
        {DBIF_TYPE_DECFLOAT34, 0, 0, 0, 0, 16, 0},
    };
    for (const Case& c : cases) {
        dbif_coldesc_t col;
        col.name = u"AMOUNT";
        col.type = c.type;
        col.length = c.length;
        col.decimals = c.decimals;
        ul_sqlfielddesc_t d = ul_sqlfieldfromcolumn(col);
        EXPECT_EQ(d.name, col.name.c_str());
        EXPECT_EQ(d.dbifType, c.type);
        EXPECT_EQ(d.flags, c.flags) << "type " << c.type;
        EXPECT_EQ(d.digitsDecimals, c.digitsDecimals) << "type " << c.type;
        EXPECT_EQ(d.length, c.descLength) << "type " << c.type;
        EXPECT_EQ(ul_sqlfldflag2char(d), c.letter) << "type " << c.type;
        EXPECT_EQ(ul_sqlfieldtype(d), c.type);
    }
}

// ---- the same value from either engine gives the same bytes and text ------------------------

TEST_F(ULSqlBase2Test, EngineIndependentForms) {
    struct Case {
        const char* what;
        ul_sqlfielddesc_t desc;
        Bytes raw;
        const char16_t* text;  // null: no text form
        std::vector<Cell> cells;
    };
    const Case cases[] = {
        {"int4 12",
         IntDesc(4),
         hexBytes("0C000000"),
         u"12",
         {Int(12), Real(12.0), Text(u"12"), Dec("12.00"), Dec("12"), Text(u" +12 ")}},
        {"int8 -5",
         IntDesc(8),
         hexBytes("FBFFFFFFFFFFFFFF"),
         u"-5",
         {Int(-5), Real(-5.0), Dec("-5.000"), Text(u"-5e0")}},
        {"int1 200", IntDesc(1), hexBytes("C8"), u"200", {Int(200), Dec("200"), Real(200)}},
        {"int2 -300", IntDesc(2), hexBytes("D4FE"), u"-300", {Int(-300), Dec("-300.0")}},
        {"float 12.5",
         FloatDesc(),
         le64(0x4029000000000000ull),
         u"12.5",
         {Real(12.5), Dec("12.50"), Text(u"12.5"), Dec("1.25e1")}},
        {"float 12",
         FloatDesc(),
         le64(0x4028000000000000ull),
         u"12",
         {Int(12), Real(12), Dec("12.000")}},
        {"packed(5,2) 12.50",
         PackedDesc(5, 2),
         hexBytes("01250C"),
         u"12.50",
         {Real(12.5), Dec("12.50"), Dec("12.5"), Text(u"12.50"), Text(u"+012.500")}},
        {"packed(5,2) 12",
         PackedDesc(5, 2),
         hexBytes("01200C"),
         u"12.00",
         {Int(12), Real(12.0), Dec("12"), Dec("12.00"), Text(u"1.2E1")}},
        {"packed(5,2) -0.05",
         PackedDesc(5, 2),
         hexBytes("00005D"),
         u"-0.05",
         {Real(-0.05), Dec("-0.05"), Dec("-.05"), Text(u"-5e-2")}},
        {"packed(4,0) 0",
         PackedDesc(4, 0),
         hexBytes("00000C"),
         u"0",
         {Int(0), Real(0.0), Real(-0.0), Dec("0"), Dec("-0"), Text(u"0.000")}},
        {"packed(10,2) 1.005 rounds up",
         PackedDesc(10, 2),
         hexBytes("00000000101C"),
         u"1.01",
         {Real(1.005), Dec("1.005"), Text(u"1.005")}},
        {"decimal 12.5",
         DecimalDesc(),
         unitBytes(u"12.5"),
         u"12.5",
         {Real(12.5), Dec("12.50"), Text(u"12.5"), Dec("+012.500"), Dec("1.25E+1")}},
        {"decimal 12",
         DecimalDesc(),
         unitBytes(u"12"),
         u"12",
         {Int(12), Real(12.0), Dec("12.00"), Text(u"12")}},
        {"decimal zero",
         DecimalDesc(),
         unitBytes(u"0"),
         u"0",
         {Int(0), Real(-0.0), Dec("-0.00"), Dec("0"), Text(u"000")}},
        {"M 0.1",
         Desc(UL_SQLFLD_DECIMAL, -1),
         unitBytes(u"0.1"),
         u"0.1",
         {Real(0.1), Dec("0.10"), Dec(".1"), Text(u"1e-1")}},
        {"decfloat16 1.5",
         DecFloatDesc(8),
         le64(0x31A000000000000Full),
         u"1.5",
         {Real(1.5), Dec("1.50"), Dec("1.5"), Text(u"15E-1"), Dec("1.5000000000000")}},
        {"decfloat16 1",
         DecFloatDesc(8),
         le64(0x31C0000000000001ull),
         u"1",
         {Int(1), Real(1.0), Dec("1.000")}},
        {"char 12",
         CharDesc(10),
         unitBytes(u"12"),
         u"12",
         {Int(12), Real(12.0), Dec("12.00"), Text(u"12")}},
        {"char 12.5",
         CharDesc(10),
         unitBytes(u"12.5"),
         u"12.5",
         {Real(12.5), Dec("12.50"), Text(u"12.5")}},
        {"char 1e20",
         CharDesc(0),
         unitBytes(u"100000000000000000000"),
         u"100000000000000000000",
         {Real(1e20), Dec("100000000000000000000"), Dec("1E+20")}},
        {"char utf-8 bytes",
         CharDesc(10),
         unitBytes(u"€a"),
         u"€a",
         {Text(u"€a"), Blob(hexBytes("E282AC61"))}},
        {"raw", RawDesc(4), hexBytes("E282AC"), nullptr, {Blob(hexBytes("E282AC")), Text(u"€")}},
        {"blob", BlobDesc(), hexBytes("00FF00"), nullptr, {Blob(hexBytes("00FF00"))}},
    };
    for (const Case& c : cases) {
        for (size_t k = 0; k < c.cells.size(); ++k) {
            Converted got = convertOne(c.cells[k], c.desc);
            SCOPED_TRACE(std::string(c.what) + ", cell " + std::to_string(k));
            ASSERT_EQ(got.rc, 0) << u8(errorText());
            EXPECT_FALSE(got.isNull);
            EXPECT_EQ(hexOf(got.raw), hexOf(c.raw));
            EXPECT_EQ(got.hasText, c.text != nullptr);
            if (c.text) {
                EXPECT_EQ(u8(got.text), u8(c.text));
            }
        }
    }
}

TEST_F(ULSqlBase2Test, NullGivesNoRawAndNoText) {
    const ul_sqlfielddesc_t descs[] = {
        IntDesc(4),       FloatDesc(), PackedDesc(5, 2), DecimalDesc(), DecFloatDesc(8),
        DecFloatDesc(16), CharDesc(3), LongCharDesc(),   RawDesc(2),    BlobDesc()};
    for (const ul_sqlfielddesc_t& d : descs) {
        Converted got = convertOne(Null(), d);
        EXPECT_EQ(got.rc, 0);
        EXPECT_TRUE(got.isNull);
        EXPECT_TRUE(got.rawIsNull);
        EXPECT_FALSE(got.hasText);
    }
}

TEST_F(ULSqlBase2Test, WithoutTextKeepsRawOnly) {
    const std::pair<Cell, ul_sqlfielddesc_t> cases[] = {
        {Int(7), IntDesc(4)},        {Real(1.5), FloatDesc()},       {Dec("1.5"), PackedDesc(3, 1)},
        {Dec("1.5"), DecimalDesc()}, {Dec("1.5"), DecFloatDesc(16)}, {Text(u"ab"), CharDesc(2)},
    };
    for (const auto& [cell, desc] : cases) {
        Converted with = convertOne(cell, desc, true);
        Converted without = convertOne(cell, desc, false);
        ASSERT_EQ(without.rc, 0);
        EXPECT_TRUE(with.hasText);
        EXPECT_FALSE(without.hasText);
        EXPECT_EQ(without.raw, with.raw);
    }
}

// ---- integers -------------------------------------------------------------------------------

TEST_F(ULSqlBase2Test, IntegerLimitsPerSize) {
    struct Case {
        unsigned size;
        Cell cell;
        bool fits;
        const char16_t* text;
    };
    const Case cases[] = {
        {1, Int(0), true, u"0"},
        {1, Int(255), true, u"255"},
        {1, Int(256), false, nullptr},
        {1, Int(-1), false, nullptr},
        {2, Int(32767), true, u"32767"},
        {2, Int(-32768), true, u"-32768"},
        {2, Int(32768), false, nullptr},
        {2, Int(-32769), false, nullptr},
        {4, Int(INT32_MAX), true, u"2147483647"},
        {4, Int(INT32_MIN), true, u"-2147483648"},
        {4, Int(int64_t(INT32_MAX) + 1), false, nullptr},
        {4, Dec("-2147483649"), false, nullptr},
        {8, Int(INT64_MAX), true, u"9223372036854775807"},
        {8, Int(INT64_MIN), true, u"-9223372036854775808"},
        {8, Dec("9223372036854775807"), true, u"9223372036854775807"},
        {8, Dec("-9223372036854775808"), true, u"-9223372036854775808"},
        {8, Dec("9223372036854775808"), false, nullptr},
        {8, Dec("-9223372036854775809"), false, nullptr},
        {8, Dec("99999999999999999999999"), false, nullptr},
        {8, Real(9223372036854775808.0), false, nullptr},  // 2^63
        {8, Real(-9223372036854775808.0), true, u"-9223372036854775808"},
        {8, Real(12.5), false, nullptr},
        {8, Real(NAN), false, nullptr},
        {8, Real(INFINITY), false, nullptr},
        {8, Dec("12.5"), false, nullptr},
        {8, Dec("12.000"), true, u"12"},
        {8, Text(u"1e3"), true, u"1000"},
        {8, Text(u"1.5e1"), true, u"15"},
        {8, Text(u"abc"), false, nullptr},
        {8, Text(u""), false, nullptr},
        {8, Dec("NaN"), false, nullptr},
        {8, Blob(hexBytes("01")), false, nullptr},
    };
    for (const Case& c : cases) {
        Converted got = convertOne(c.cell, IntDesc(c.size));
        SCOPED_TRACE(std::to_string(c.size) + " <- " + u8(c.cell.text) +
                     std::to_string(c.cell.integer));
        if (!c.fits) {
            EXPECT_EQ(got.rc, -1);
            EXPECT_NE(errorText().find(u"does not fit type I("), std::u16string::npos)
                << u8(errorText());
            continue;
        }
        ASSERT_EQ(got.rc, 0) << u8(errorText());
        EXPECT_EQ(got.raw.size(), c.size);
        EXPECT_EQ(u8(got.text), u8(c.text));
        // The raw bytes are the native integer of that size.
        int64_t back = 0;
        switch (c.size) {
            case 1:
                back = got.raw[0];
                break;
            case 2: {
                int16_t x;
                std::memcpy(&x, got.raw.data(), 2);
                back = x;
                break;
            }
            case 4: {
                int32_t x;
                std::memcpy(&x, got.raw.data(), 4);
                back = x;
                break;
            }
            case 8:
                std::memcpy(&back, got.raw.data(), 8);
                break;
        }
        EXPECT_EQ(ascii16(std::to_string(back)), c.text);
    }
}

TEST_F(ULSqlBase2Test, IntegerErrorsNameColumnAndSize) {
    ULSQLValueConverter conv;
    conv.beginRow(3);
    ul_sqlfielddesc_t d{u"QTY", UL_SQLFLD_INT, -1, 0, 1};
    EXPECT_EQ(conv.convert(2, Int(256).get(), d, true), -1);
    EXPECT_EQ(u8(errorText()), "Value '256' of column #3 'QTY' does not fit type I(1)");
    d.length = 3;
    EXPECT_EQ(conv.convert(0, Int(1).get(), d, true), -1);
    EXPECT_EQ(u8(errorText()), "Unsupported integer size 3");
    d.length = 0;
    EXPECT_EQ(conv.convert(0, Int(1).get(), d, true), -1);
    EXPECT_EQ(u8(errorText()), "Unsupported integer size 0");
}

// ---- floating point -------------------------------------------------------------------------

TEST_F(ULSqlBase2Test, FloatTextIsPrintfG) {
    std::mt19937_64 rng(42);
    std::vector<double> values = {0.0,
                                  -0.0,
                                  1.0,
                                  0.1,
                                  1e20,
                                  1e-5,
                                  123456789.0,
                                  1e-7,
                                  123456,
                                  1234567,
                                  999999.5,
                                  5e-324,
                                  1.7976931348623157e308};
    for (int k = 0; k < 2000; ++k) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        if (std::isfinite(d)) values.push_back(d);
    }
    for (double d : values) {
        Converted got = convertOne(Real(d), FloatDesc());
        ASSERT_EQ(got.rc, 0);
        char buf[64];
        snprintf(buf, sizeof buf, "%g", d);
        EXPECT_EQ(u8(got.text), buf);
        ASSERT_EQ(got.raw.size(), 8u);
        EXPECT_EQ(std::memcmp(got.raw.data(), &d, 8), 0);
    }
}

TEST_F(ULSqlBase2Test, FloatFromTextCells) {
    struct Case {
        Cell cell;
        bool ok;
        double value;
    };
    const Case cases[] = {
        {Dec("0.1"), true, 0.1},          {Text(u" 2.5 "), true, 2.5},
        {Text(u"+3"), true, 3},           {Text(u"Infinity"), true, INFINITY},
        {Text(u"-inf"), true, -INFINITY}, {Text(u"1e400"), false, 0},
        {Text(u"abc"), false, 0},         {Text(u""), false, 0},
        {Text(u"1.5x"), false, 0},        {Text(u"１"), false, 0},
        {Blob({1, 2}), false, 0},
    };
    for (const Case& c : cases) {
        Converted got = convertOne(c.cell, FloatDesc());
        SCOPED_TRACE(u8(c.cell.text));
        if (!c.ok) {
            EXPECT_EQ(got.rc, -1);
            continue;
        }
        ASSERT_EQ(got.rc, 0);
        double back;
        std::memcpy(&back, got.raw.data(), 8);
        EXPECT_EQ(back, c.value);
    }
}

// ---- packed decimals ------------------------------------------------------------------------

// The canonical text of a packed number: "-" unless zero, integer digits without leading
// zeros (at least one), "." and exactly `decimals` digits.
std::string canonicalPacked(bool negative, const std::string& digits, unsigned decimals) {
    std::string integer = digits.substr(0, digits.size() - decimals);
    std::string fraction = digits.substr(digits.size() - decimals);
    size_t nz = integer.find_first_not_of('0');
    integer = nz == std::string::npos ? "0" : integer.substr(nz);
    bool zero = digits.find_first_not_of('0') == std::string::npos;
    return std::string(negative && !zero ? "-" : "") + integer + (decimals ? "." + fraction : "");
}

TEST_F(ULSqlBase2Test, PackedRoundTripsForAllPrecisions) {
    std::mt19937 rng(7);
    for (unsigned digits = 1; digits <= 31; ++digits) {
        for (unsigned decimals = 0; decimals <= digits; ++decimals) {
            for (int round = 0; round < 12; ++round) {
                // Random length so that short and full-width values both occur.
                std::string ds(digits, '0');
                unsigned used = 1 + rng() % digits;
                for (unsigned k = digits - used; k < digits; ++k) ds[k] = char('0' + rng() % 10);
                if (round == 0) ds.assign(digits, '9');
                bool negative = rng() & 1;
                std::string text = canonicalPacked(negative, ds, decimals);
                std::u16string text16 = ascii16(text);
                unsigned char packed[17];
                unsigned length = ul_sqlpackedlength(digits);
                ASSERT_EQ(ul_sqltexttopacked(text16.data(), text16.size(), digits, decimals, packed,
                                             sizeof packed),
                          int(length))
                    << text << " " << u8(errorText());
                // Sign nibble: D for negative non-zero values, C otherwise.
                bool zero = ds.find_first_not_of('0') == std::string::npos;
                EXPECT_EQ(packed[length - 1] & 0x0F, negative && !zero ? 0xD : 0xC) << text;
                char16_t back[64];
                ASSERT_GE(ul_sqlpackedtotext(packed, length, decimals, back, 64, true), 0);
                EXPECT_EQ(u8(back), text) << digits << "," << decimals;
                // The converter gives the same bytes and text from the engine's decimal cell.
                Converted got = convertOne(Dec(text.c_str()), PackedDesc(digits, decimals));
                ASSERT_EQ(got.rc, 0) << text;
                EXPECT_EQ(hexOf(got.raw), hexOf(Bytes(packed, packed + length)));
                EXPECT_EQ(u8(got.text), text);
            }
        }
    }
}

TEST_F(ULSqlBase2Test, PackedBoundariesAndRounding) {
    struct Case {
        unsigned digits, decimals;
        const char16_t* input;
        const char* raw;  // null: does not fit or is no number
        const char16_t* text;
    };
    const Case cases[] = {
        {1, 0, u"9", "9C", u"9"},
        {1, 0, u"-9", "9D", u"-9"},
        {1, 0, u"10", nullptr, nullptr},
        {1, 0, u"9.5", nullptr, nullptr},  // rounds to 10
        {1, 0, u"9.49", "9C", u"9"},
        {4, 0, u"9999", "09999C", u"9999"},
        {4, 0, u"10000", nullptr, nullptr},
        {31, 0, u"9999999999999999999999999999999", "9999999999999999999999999999999C",
         u"9999999999999999999999999999999"},
        {31, 0, u"10000000000000000000000000000000", nullptr, nullptr},
        {31, 31, u"0.9999999999999999999999999999999", "9999999999999999999999999999999C",
         u"0.9999999999999999999999999999999"},
        {31, 31, u"1", nullptr, nullptr},
        {5, 2, u"999.99", "99999C", u"999.99"},
        {5, 2, u"999.994", "99999C", u"999.99"},
        {5, 2, u"999.995", nullptr, nullptr},
        {5, 2, u"-999.995", nullptr, nullptr},
        {5, 2, u"1000", nullptr, nullptr},
        {5, 2, u"0.005", "00001C", u"0.01"},
        {5, 2, u"-0.005", "00001D", u"-0.01"},
        {5, 2, u"0.00499999", "00000C", u"0.00"},
        {5, 2, u"-0.004", "00000C", u"0.00"},  // rounds to zero: no negative zero
        {5, 2, u"-0", "00000C", u"0.00"},
        {5, 2, u"0.05", "00005C", u"0.05"},
        {5, 2, u"1e2", "10000C", u"100.00"},
        {5, 2, u"1E-2", "00001C", u"0.01"},
        {5, 2, u"1E-300", "00000C", u"0.00"},
        {5, 2, u"0.0000000000000000000000000000001E+31", "00100C", u"1.00"},
        {5, 2, u"1E+999999999", nullptr, nullptr},
        {5, 2, u".5", "00050C", u"0.50"},
        {5, 2, u"5.", "00500C", u"5.00"},
        {5, 2, u"  -7  ", "00700D", u"-7.00"},
        {3, 3, u"0.123", "123C", u"0.123"},
        {3, 3, u"-.1235", "124D", u"-0.124"},
        {2, 0, u"", nullptr, nullptr},
        {2, 0, u"abc", nullptr, nullptr},
        {2, 0, u"1e", nullptr, nullptr},
        {2, 0, u"--1", nullptr, nullptr},
        {2, 0, u".", nullptr, nullptr},
        {2, 0, u"1.2.3", nullptr, nullptr},
        {2, 0, u"NaN", nullptr, nullptr},
        {2, 0, u"-Infinity", nullptr, nullptr},
        {2, 0, u"1e99999999999", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.input) + " into P(" + std::to_string(c.digits) + "," +
                     std::to_string(c.decimals) + ")");
        unsigned char packed[17] = {};
        std::u16string in = c.input;
        int rc = ul_sqltexttopacked(in.data(), in.size(), c.digits, c.decimals, packed, 17);
        Converted got = convertOne(Text(in), PackedDesc(c.digits, c.decimals));
        if (!c.raw) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(got.rc, -1);
            continue;
        }
        ASSERT_EQ(rc, int(ul_sqlpackedlength(c.digits))) << u8(errorText());
        EXPECT_EQ(hexOf(Bytes(packed, packed + rc)), c.raw);
        ASSERT_EQ(got.rc, 0) << u8(errorText());
        EXPECT_EQ(hexOf(got.raw), c.raw);
        EXPECT_EQ(u8(got.text), u8(c.text));
    }
}

TEST_F(ULSqlBase2Test, PackedTextMessagesAndBufferLimits) {
    unsigned char packed[4];
    std::u16string in = u"123.456";
    EXPECT_EQ(ul_sqltexttopacked(in.data(), in.size(), 4, 2, packed, 4), -1);
    EXPECT_EQ(u8(errorText()),
              "Value '123.456' does not fit a packed number of 4 digits with 2 decimals");
    in = u"x1";
    EXPECT_EQ(ul_sqltexttopacked(in.data(), in.size(), 4, 2, packed, 4), -1);
    EXPECT_EQ(u8(errorText()), "Invalid decimal number 'x1'");
    EXPECT_EQ(ul_sqltexttopacked(in.data(), in.size(), 7, 0, packed, 3), -1);
    EXPECT_EQ(u8(errorText()), "Packed number of 7 digits needs 4 bytes, buffer has 3");
    EXPECT_EQ(ul_sqltexttopacked(in.data(), in.size(), 0, 0, packed, 4), -1);
    EXPECT_EQ(u8(errorText()), "Invalid packed number of 0 digits with 0 decimals");
    EXPECT_EQ(ul_sqltexttopacked(in.data(), in.size(), 2, 3, packed, 4), -1);

    const unsigned char value[] = {0x12, 0x34, 0x5D};
    char16_t out[8];
    EXPECT_EQ(ul_sqlpackedtotext(value, 3, 2, out, 8, false), 7);
    EXPECT_EQ(u8(out), "-123.45");
    EXPECT_EQ(ul_sqlpackedtotext(value, 3, 2, out, 7, false), -1);
    EXPECT_EQ(u8(errorText()), "Packed number text needs 8 characters, buffer has 7");
    EXPECT_EQ(ul_sqlpackedtotext(value, 0, 0, out, 8, false), -1);
}

TEST_F(ULSqlBase2Test, PackedSignNibblesStrictAndLenient) {
    struct Case {
        const char* bytes;
        unsigned decimals;
        const char* lenient;  // null: invalid
        const char* strict;
    };
    const Case cases[] = {
        {"123C", 1, "12.3", "12.3"},   {"123D", 1, "-12.3", "-12.3"},
        {"123A", 1, "12.3", nullptr},  {"123B", 1, "-12.3", nullptr},
        {"123E", 1, "12.3", nullptr},  {"123F", 1, "12.3", nullptr},
        {"1239", 1, nullptr, nullptr},  // no sign
        {"1A3C", 1, nullptr, nullptr},  // not a digit
        {"000D", 2, "-0.00", "-0.00"},  // a negative zero keeps its sign
        {"000C", 0, "0", "0"},         {"5C", 3, "0.005", "0.005"},
        {"00012C", 0, "12", "12"},     {"00012C", 5, "0.00012", "0.00012"},
    };
    for (const Case& c : cases) {
        Bytes b = hexBytes(c.bytes);
        for (bool strict : {false, true}) {
            SCOPED_TRACE(std::string(c.bytes) + (strict ? " strict" : " lenient"));
            const char* want = strict ? c.strict : c.lenient;
            char16_t out[32];
            int rc = ul_sqlpackedtotext(b.data(), unsigned(b.size()), c.decimals, out, 32, strict);
            if (!want) {
                EXPECT_EQ(rc, -1);
                EXPECT_EQ(u8(errorText()), "Invalid BCD number '" + std::string(c.bytes) + "'");
                continue;
            }
            ASSERT_EQ(rc, int(std::strlen(want)));
            EXPECT_EQ(u8(out), want);
        }
    }
}

TEST_F(ULSqlBase2Test, PackedBytesCellsFollowCheckBcdFlag) {
    const ul_sqlfielddesc_t d = PackedDesc(3, 1);
    UL_SQLGlobalFlags &= ~UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
    Converted got = convertOne(Blob(hexBytes("123F")), d);
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(hexOf(got.raw), "123F");
    EXPECT_EQ(u8(got.text), "12.3");
    UL_SQLGlobalFlags |= UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
    got = convertOne(Blob(hexBytes("123F")), d);
    EXPECT_EQ(got.rc, -1);
    EXPECT_EQ(u8(errorText()), "Invalid BCD number '123F'\nValue of column #1 'COL'");
    got = convertOne(Blob(hexBytes("12345C")), d);  // wrong length for 3 digits
    EXPECT_EQ(got.rc, -1);
}

TEST_F(ULSqlBase2Test, PackedDescriptionTakesDigitsFromLengthWhenUnset) {
    ul_sqlfielddesc_t d{u"P", 0, DBIF_TYPE_PACKED, 2u << 16, 5};
    Converted got = convertOne(Dec("-1.5"), d);
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(hexOf(got.raw), "00150D");
    EXPECT_EQ(u8(got.text), "-1.50");
    d.length = 0;
    EXPECT_EQ(convertOne(Dec("1"), d).rc, -1);
    EXPECT_EQ(u8(errorText()), "Invalid packed description of column #1 'P': 0 digits, 2 decimals");
}

// ---- decimals -------------------------------------------------------------------------------

TEST_F(ULSqlBase2Test, DecimalNormalisation) {
    struct Case {
        Cell cell;
        const char16_t* text;  // null: no number
    };
    const Case cases[] = {
        {Dec("0012.5000"), u"12.5"},
        {Dec("+1"), u"1"},
        {Dec("-0.000"), u"0"},
        {Dec("-00.0100"), u"-0.01"},
        {Dec("100"), u"100"},
        {Dec("1E+3"), u"1000"},
        {Dec("1.5e-3"), u"0.0015"},
        {Dec("123.45E1"), u"1234.5"},
        {Dec("0E+10"), u"0"},
        {Dec("NaN"), u"NaN"},
        {Dec("-Infinity"), u"-Infinity"},
        {Real(INFINITY), u"Infinity"},
        {Real(1e-7), u"0.0000001"},
        {Real(0.3), u"0.3"},
        {Int(INT64_MIN), u"-9223372036854775808"},
        {Text(u"1e999999"), nullptr},
        {Text(u"12a"), nullptr},
        {Text(u"e5"), nullptr},
        {Text(u"+"), nullptr},
        {Blob({0x31}), nullptr},
    };
    for (const Case& c : cases) {
        Converted got = convertOne(c.cell, DecimalDesc());
        SCOPED_TRACE(u8(c.cell.text));
        if (!c.text) {
            EXPECT_EQ(got.rc, -1);
            continue;
        }
        ASSERT_EQ(got.rc, 0) << u8(errorText());
        EXPECT_EQ(u8(got.text), u8(c.text));
        EXPECT_EQ(got.raw, unitBytes(c.text));
    }
    ULSQLValueConverter conv;
    conv.beginRow(1);
    ul_sqlfielddesc_t d{u"AMT", UL_SQLFLD_DECIMAL, -1, 0, 0};
    EXPECT_EQ(conv.convert(0, Text(u"12a").get(), d, true), -1);
    EXPECT_EQ(u8(errorText()), "Value '12a' of column #1 'AMT' does not fit type M(0)");
}

// ---- decimal floating point -----------------------------------------------------------------

TEST_F(ULSqlBase2Test, DecFloatEqualValuesGiveEqualBytes) {
    for (unsigned len : {8u, 16u}) {
        const char16_t* same[] = {u"1.5", u"1.50", u"15E-1", u"0.15e1", u"1.500000000000"};
        Bytes first;
        for (const char16_t* t : same) {
            unsigned char out[16];
            std::u16string s = t;
            ASSERT_EQ(ul_sqltexttodecfloat(s.data(), s.size(), len, out), int(len));
            Bytes b(out, out + len);
            if (first.empty()) first = b;
            EXPECT_EQ(hexOf(b), hexOf(first)) << u8(t) << " len " << len;
        }
    }
    // Known encodings (binary integer decimal, host byte order).
    unsigned char out[16];
    std::u16string one = u"1";
    ASSERT_EQ(ul_sqltexttodecfloat(one.data(), one.size(), 8, out), 8);
    EXPECT_EQ(hexOf(Bytes(out, out + 8)), hexOf(le64(0x31C0000000000001ull)));
    std::u16string zero = u"-0.00";
    ASSERT_EQ(ul_sqltexttodecfloat(zero.data(), zero.size(), 8, out), 8);
    EXPECT_EQ(hexOf(Bytes(out, out + 8)), hexOf(le64(0x31C0000000000000ull)));
}

TEST_F(ULSqlBase2Test, DecFloatTextForms) {
    struct Case {
        unsigned len;
        Cell cell;
        const char* text;  // null: conversion fails
    };
    const Case cases[] = {
        {8, Dec("1.50"), "1.5"},
        {8, Dec("100"), "1E+2"},
        {8, Dec("0.00"), "0"},
        {8, Dec("-0"), "0"},
        {8, Dec("-1.25"), "-1.25"},
        {8, Dec("0.000001"), "0.000001"},
        {8, Dec("0.0000001"), "1E-7"},
        {8, Dec("123456789012345678"), "1.234567890123457E+17"},
        {16, Dec("123456789012345678"), "123456789012345678"},
        {16, Dec("1234567890123456789012345678901234567"),
         "1.234567890123456789012345678901235E+36"},
        {8, Dec("NaN"), "NaN"},
        {8, Dec("-nan"), "NaN"},
        {8, Text(u"Infinity"), "Infinity"},
        {16, Text(u"-inf"), "-Infinity"},
        {8, Real(0.1), "0.1"},
        {8, Real(-INFINITY), "-Infinity"},
        {8, Real(NAN), "NaN"},
        {8, Int(INT64_MAX), "9.223372036854776E+18"},
        {16, Int(INT64_MAX), "9223372036854775807"},
        {8, Dec("9.999999999999999E+384"), "9.999999999999999E+384"},
        {8, Dec("1E+385"), nullptr},
        {16, Dec("1E+385"), "1E+385"},
        {8, Dec("1E-500"), "0"},  // underflows to zero as the format rounds
        {8, Text(u"abc"), nullptr},
        {8, Blob(hexBytes("0102")), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.cell.text) + " len " + std::to_string(c.len));
        Converted got = convertOne(c.cell, DecFloatDesc(c.len));
        if (!c.text) {
            EXPECT_EQ(got.rc, -1);
            continue;
        }
        ASSERT_EQ(got.rc, 0) << u8(errorText());
        ASSERT_EQ(got.raw.size(), c.len);
        EXPECT_EQ(u8(got.text), c.text);
        // The text of the bytes is the text of the value.
        char16_t back[64];
        ASSERT_GE(ul_sqldecfloattotext(got.raw.data(), c.len, back, 64), 0);
        EXPECT_EQ(u8(back), c.text);
    }
}

TEST_F(ULSqlBase2Test, DecFloatMessages) {
    unsigned char out[16] = {};
    char16_t text[64];
    std::u16string in = u"1";
    EXPECT_EQ(ul_sqldecfloattotext(out, 4, text, 64), -1);
    EXPECT_EQ(u8(errorText()), "Invalid dec float len 4");
    EXPECT_EQ(ul_sqltexttodecfloat(in.data(), in.size(), 12, out), -1);
    EXPECT_EQ(u8(errorText()), "Invalid dec float len 12");
    EXPECT_EQ(ul_sqldecfloatcompare(out, out, 10), -2);
    EXPECT_EQ(u8(errorText()), "Invalid dec float len 10");
    in = u"1.2.3";
    EXPECT_EQ(ul_sqltexttodecfloat(in.data(), in.size(), 8, out), -1);
    EXPECT_EQ(u8(errorText()), "Converting decfloat number failed with 1");
    in = u"1E+385";
    EXPECT_EQ(ul_sqltexttodecfloat(in.data(), in.size(), 8, out), -1);
    EXPECT_EQ(u8(errorText()), "Converting decfloat number failed with 512");
    ULSQLValueConverter conv;
    conv.beginRow(1);
    ul_sqlfielddesc_t d{u"DF", 0, DBIF_TYPE_DECFLOAT16, 0, 8};
    EXPECT_EQ(conv.convert(0, Dec("1E+385").get(), d, true), -1);
    EXPECT_EQ(u8(errorText()),
              "Value '1E+385' of column #1 'DF' does not fit type <#16>(8)\n"
              "Converting decfloat number failed with 512");
    in = u"1";
    ASSERT_EQ(ul_sqltexttodecfloat(in.data(), in.size(), 8, out), 8);
    EXPECT_EQ(ul_sqldecfloattotext(out, 8, text, 2), 1);
    EXPECT_EQ(ul_sqldecfloattotext(out, 8, text, 1), -1);
    EXPECT_EQ(u8(errorText()), "Decfloat text needs 2 characters, buffer has 1");
}

TEST_F(ULSqlBase2Test, DecFloatComparison) {
    struct Case {
        const char16_t* a;
        const char16_t* b;
        int expected;
    };
    const Case cases[] = {
        {u"1.5", u"1.50", 0},
        {u"1", u"2", -1},
        {u"-1", u"-2", 1},
        {u"0", u"-0", 0},
        {u"NaN", u"1", -2},
        {u"1", u"NaN", -2},
        {u"NaN", u"NaN", -2},
        {u"Infinity", u"1E+300", 1},
        {u"-Infinity", u"-1E+300", -1},
        {u"Infinity", u"Infinity", 0},
        {u"1E-300", u"0", 1},
        {u"0.1", u"0.10000001", -1},
    };
    for (unsigned len : {8u, 16u}) {
        for (const Case& c : cases) {
            unsigned char a[16], b[16];
            std::u16string sa = c.a, sb = c.b;
            ASSERT_EQ(ul_sqltexttodecfloat(sa.data(), sa.size(), len, a), int(len));
            ASSERT_EQ(ul_sqltexttodecfloat(sb.data(), sb.size(), len, b), int(len));
            EXPECT_EQ(ul_sqldecfloatcompare(a, b, len), c.expected) << u8(c.a) << " vs " << u8(c.b);
        }
    }
}

TEST_F(ULSqlBase2Test, DecFloatBytesCellsAreCanonicalised) {
    // 150E-2 as an engine might store it, not reduced: coefficient 150, exponent -2.
    const uint64_t unreduced = (uint64_t(398 - 2) << 53) | 150;
    Converted got = convertOne(Blob(le64(unreduced)), DecFloatDesc(8));
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(hexOf(got.raw), hexOf(le64(0x31A000000000000Full)));
    EXPECT_EQ(u8(got.text), "1.5");
    char16_t text[64];
    ASSERT_GE(ul_sqldecfloattotext(le64(unreduced).data(), 8, text, 64), 0);
    EXPECT_EQ(u8(text), "1.5");
}

// ---- character and binary -------------------------------------------------------------------

TEST_F(ULSqlBase2Test, CharacterLengthsCountCharacters) {
    struct Case {
        unsigned length;
        bool isLong;
        Cell cell;
        bool fits;
    };
    const Case cases[] = {
        {3, false, Text(u"abc"), true},
        {3, false, Text(u"abcd"), false},
        {3, false, Text(u"äöü"), true},
        {3, false, Text(u"äöüß"), false},
        {3, false, Text(u"😀😀😀"), true},  // six code units, three characters
        {3, false, Text(u"😀😀😀a"), false},
        {2, false, Text(u"\xD83D\xD83Dx"), false},  // unpaired surrogates count one each
        {3, false, Blob(hexBytes("F09F9880F09F9880")), true},
        {3, false, Int(1234), false},
        {4, false, Int(1234), true},
        {0, false, Text(std::u16string(5000, u'x')), true},
        {3, true, Text(u"abcdef"), true},
        {3, false, Text(u""), true},
    };
    for (const Case& c : cases) {
        ul_sqlfielddesc_t d = c.isLong ? Desc(UL_SQLFLD_LONG, -1, c.length) : CharDesc(c.length);
        Converted got = convertOne(c.cell, d);
        SCOPED_TRACE(u8(c.cell.text) + " into " + std::to_string(c.length));
        if (!c.fits) {
            EXPECT_EQ(got.rc, -1);
            EXPECT_EQ(u8(errorText()), "Value of column #1 'COL' is longer than " +
                                           std::to_string(c.length) + " characters");
            continue;
        }
        ASSERT_EQ(got.rc, 0) << u8(errorText());
        ASSERT_TRUE(got.hasText);
        EXPECT_FALSE(got.rawIsNull);
        EXPECT_EQ(got.raw, unitBytes(got.text));
        if (c.cell.kind == dbif_kind::text) {
            EXPECT_EQ(got.text, c.cell.text);
        }
    }
}

TEST_F(ULSqlBase2Test, CharacterFromBytesNeedsValidUtf8) {
    const char* invalid[] = {"C080", "80", "E282", "EDA080", "F4908080", "FF", "61E2"};
    for (const char* hex : invalid) {
        Converted got = convertOne(Blob(hexBytes(hex)), CharDesc(0));
        EXPECT_EQ(got.rc, -1) << hex;
        EXPECT_EQ(u8(errorText()), "Value of column #1 'COL' is not valid UTF-8");
    }
    Converted got = convertOne(Blob(hexBytes("C3A4F09F9880")), CharDesc(0));
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(u8(got.text), "ä😀");
}

TEST_F(ULSqlBase2Test, RawAndBlobValues) {
    struct Case {
        ul_sqlfielddesc_t desc;
        Cell cell;
        const char* raw;  // null: fails
    };
    const Case cases[] = {
        {RawDesc(4), Blob(hexBytes("00010203")), "00010203"},
        {RawDesc(4), Blob(hexBytes("0001020304")), nullptr},
        {RawDesc(0), Blob(hexBytes("0001020304")), "0001020304"},
        {RawDesc(4), Blob({}), ""},
        {BlobDesc(), Blob(Bytes(100000, 0xAB)), nullptr},  // checked separately below
        {RawDesc(8), Text(u"ä😀"), "C3A4F09F9880"},
        {RawDesc(8), Int(1), nullptr},
        {RawDesc(8), Real(1), nullptr},
        {RawDesc(8), Dec("1"), nullptr},
    };
    for (const Case& c : cases) {
        Converted got = convertOne(c.cell, c.desc);
        if (c.desc.flags & UL_SQLFLD_LONG) {
            ASSERT_EQ(got.rc, 0);
            EXPECT_EQ(got.raw, c.cell.bytes);
            EXPECT_FALSE(got.hasText);
            continue;
        }
        if (!c.raw) {
            EXPECT_EQ(got.rc, -1);
            continue;
        }
        ASSERT_EQ(got.rc, 0) << u8(errorText());
        EXPECT_EQ(hexOf(got.raw), c.raw);
        EXPECT_FALSE(got.rawIsNull);
        EXPECT_FALSE(got.hasText);
    }
    convertOne(Blob(hexBytes("0001020304")), RawDesc(4));
    EXPECT_EQ(u8(errorText()), "Value of column #1 'COL' is longer than 4 bytes");
    convertOne(Int(1), RawDesc(8));
    EXPECT_EQ(u8(errorText()), "Value '1' of column #1 'COL' does not fit type R(8)");
}

// ---- the converter over rows ----------------------------------------------------------------

TEST_F(ULSqlBase2Test, RowValuesStayValidAndAligned) {
    const ul_sqlfielddesc_t descs[] = {CharDesc(0),      IntDesc(2),       FloatDesc(),
                                       PackedDesc(7, 3), DecFloatDesc(16), IntDesc(8),
                                       DecimalDesc(),    RawDesc(0)};
    const unsigned n = std::size(descs);
    ULSQLValueConverter conv;
    for (int row = 0; row < 50; ++row) {
        std::u16string longText(size_t(row) * 37 + 1, char16_t(u'a' + row % 26));
        std::vector<Cell> cells = {
            Text(longText), Int(row), Real(row + 0.25), Int(-row),
            Dec("1.10"),    Null(),   Int(row * 1000),  Blob(Bytes(size_t(row), 0x5A))};
        conv.beginRow(n);
        for (unsigned i = 0; i < n; ++i)
            ASSERT_EQ(conv.convert(i, cells[i].get(), descs[i], true), 0);
        const ul_sqlvalue_t* v = conv.values();
        EXPECT_EQ(std::u16string(v[0].text), longText);
        EXPECT_EQ(v[0].rawLength, longText.size() * 2);
        EXPECT_EQ(std::u16string(v[1].text), ascii16(std::to_string(row)));
        EXPECT_EQ(std::u16string(v[3].text),
                  ascii16(concat(row ? "-" : "", std::to_string(row), ".000")));
        EXPECT_EQ(std::u16string(v[4].text), u"1.1");
        EXPECT_TRUE(v[5].isNull);
        EXPECT_EQ(v[5].raw, nullptr);
        EXPECT_EQ(v[7].rawLength, unsigned(row));
        EXPECT_EQ(v[7].text, nullptr);
        for (unsigned i = 0; i < n; ++i) {
            if (v[i].raw) {
                EXPECT_EQ(reinterpret_cast<uintptr_t>(v[i].raw) % 8, 0u) << i;
            }
        }
        int16_t small;
        std::memcpy(&small, v[1].raw, 2);
        EXPECT_EQ(small, row);
    }
    // A column left unconverted in a row is NULL, and an index beyond the row fails.
    conv.beginRow(2);
    ASSERT_EQ(conv.convert(0, Int(1).get(), IntDesc(4), true), 0);
    EXPECT_TRUE(conv.values()[1].isNull);
    EXPECT_EQ(conv.convert(2, Int(1).get(), IntDesc(4), true), -1);
    EXPECT_EQ(u8(errorText()), "Internal error: column #3 beyond a row of 2 columns");
    EXPECT_EQ(conv.convert(0, Int(1).get(), Desc(0, 99), true), -1);
    EXPECT_EQ(u8(errorText()), "Unsupported type 99 of column #1 'COL'");
}

TEST_F(ULSqlBase2Test, SteadyStateConversionDoesNotAllocate) {
    const ul_sqlfielddesc_t descs[] = {IntDesc(4),      FloatDesc(),    PackedDesc(15, 2),
                                       CharDesc(40),    DecimalDesc(),  DecFloatDesc(16),
                                       DecFloatDesc(8), LongCharDesc(), RawDesc(16)};
    const unsigned n = std::size(descs);
    std::vector<Cell> cells = {Int(123456),       Real(3.25),    Dec("-123456.78"),
                               Text(u"Müller 😀"), Dec("12.500"), Dec("1234.5000"),
                               Real(0.1),         Text(u"long"), Blob(Bytes(16, 1))};
    ULSQLValueConverter conv;
    auto runRows = [&](int rows) {
        for (int r = 0; r < rows; ++r) {
            conv.beginRow(n);
            for (unsigned i = 0; i < n; ++i)
                if (conv.convert(i, cells[i].get(), descs[i], true) != 0) return false;
            conv.values();
        }
        return true;
    };
    if (!allocationCounting()) GTEST_SKIP() << "allocations are counted in sanitizer builds only";
    ASSERT_TRUE(runRows(10));
    g_allocations = 0;
    g_countAllocations = true;
    bool ok = runRows(1000);
    g_countAllocations = false;
    ASSERT_TRUE(ok);
    EXPECT_EQ(g_allocations.load(), 0);
}

// ---- parameters -----------------------------------------------------------------------------

// The cell a bind function left in row 0, column 0 of a one-column batch.
struct Bound {
    int rc;
    dbif_kind kind = dbif_kind::null;
    int64_t integer = 0;
    double real = 0;
    std::u16string text;
    Bytes bytes;
};

template <typename Bind>
Bound bindOne(Bind&& bind) {
    DbIfRowBatch batch(1);
    batch.addRow();
    Bound out;
    out.rc = bind(&batch);
    const dbif_cell_t& c = batch.row(0)[0];
    out.kind = c.kind;
    out.integer = c.integer;
    out.real = c.real;
    if (c.kind == dbif_kind::text || c.kind == dbif_kind::decimal)
        out.text.assign(c.text, c.length);
    if (c.kind == dbif_kind::bytes) out.bytes.assign(c.bytes, c.bytes + c.length);
    return out;
}

Bound bindText(const char16_t* text, const ul_sqlfielddesc_t& d) {
    return bindOne([&](DbIfRowBatch* b) { return ul_sqlbindtext(b, 0, 0, text, d); });
}
Bound bindRaw(const Bytes& raw, const ul_sqlfielddesc_t& d) {
    return bindOne(
        [&](DbIfRowBatch* b) { return ul_sqlbindraw(b, 0, 0, raw.data(), raw.size(), d); });
}
Bound bindInteger(long value, const ul_sqlfielddesc_t& d) {
    return bindOne([&](DbIfRowBatch* b) { return ul_sqlbindinteger(b, 0, 0, value, d); });
}

TEST_F(ULSqlBase2Test, BindTextByDescription) {
    struct Case {
        ul_sqlfielddesc_t desc;
        const char16_t* text;
        dbif_kind kind;
        const char* value;  // integer, real (%g), text or hex bytes; null: fails
        const char* message;
    };
    const Case cases[] = {
        {IntDesc(4), u"42", dbif_kind::integer, "42", nullptr},
        {IntDesc(4), u" -7 ", dbif_kind::integer, "-7", nullptr},
        {IntDesc(4), u"12.0", dbif_kind::integer, "12", nullptr},
        {IntDesc(4), u"x", dbif_kind::null, nullptr, "Invalid integer parameter value 'x'"},
        {IntDesc(4), u"1.5", dbif_kind::null, nullptr, "Invalid integer parameter value '1.5'"},
        {IntDesc(4), u"2147483648", dbif_kind::null, nullptr,
         "Value '2147483648' of parameter #1 does not fit type I(4)"},
        {IntDesc(8), u"-9223372036854775808", dbif_kind::integer, "-9223372036854775808", nullptr},
        {IntDesc(8), u"9223372036854775808", dbif_kind::null, nullptr,
         "Value '9223372036854775808' of parameter #1 does not fit type I(8)"},
        {IntDesc(1), u"255", dbif_kind::integer, "255", nullptr},
        {IntDesc(1), u"-1", dbif_kind::null, nullptr,
         "Value '-1' of parameter #1 does not fit type I(1)"},
        {IntDesc(3), u"1", dbif_kind::null, nullptr, "Unsupported integer size 3"},
        {FloatDesc(), u"1.5", dbif_kind::real, "1.5", nullptr},
        {FloatDesc(), u"abc", dbif_kind::null, nullptr,
         "Invalid floating point parameter value 'abc'"},
        {PackedDesc(5, 2), u"12.5", dbif_kind::decimal, "12.50", nullptr},
        {PackedDesc(5, 2), u"-0.004", dbif_kind::decimal, "0.00", nullptr},
        {PackedDesc(5, 2), u"1000", dbif_kind::null, nullptr,
         "Value '1000' of parameter #1 does not fit type P(5)"},
        {PackedDesc(5, 2), u"1,5", dbif_kind::null, nullptr,
         "Invalid decimal parameter value '1,5'"},
        {DecimalDesc(), u"+0012.500", dbif_kind::decimal, "12.5", nullptr},
        {DecimalDesc(), u"1e3", dbif_kind::decimal, "1000", nullptr},
        {DecFloatDesc(8), u"1.50", dbif_kind::decimal, "1.5", nullptr},
        {DecFloatDesc(16), u"-Infinity", dbif_kind::decimal, "-Infinity", nullptr},
        {DecFloatDesc(8), u"1E+385", dbif_kind::null, nullptr,
         "Converting decfloat number failed with 512"},
        {CharDesc(3), u"abc", dbif_kind::text, "abc", nullptr},
        {CharDesc(3), u"😀😀😀", dbif_kind::text, "😀😀😀", nullptr},
        {CharDesc(3), u"abcd", dbif_kind::null, nullptr, "Parameter 1 too long (4 > 3)"},
        {LongCharDesc(), u"abcd", dbif_kind::text, "abcd", nullptr},
        {CharDesc(3), u"", dbif_kind::text, "", nullptr},
        {RawDesc(2), u"0aFF", dbif_kind::bytes, "0AFF", nullptr},
        {RawDesc(2), u"0g", dbif_kind::null, nullptr, "Invalid hexadecimal parameter value '0g'"},
        {RawDesc(2), u"abc", dbif_kind::null, nullptr, "Invalid hexadecimal parameter value 'abc'"},
        {RawDesc(2), u"000102", dbif_kind::null, nullptr, "Parameter 1 too long (3 > 2)"},
        {BlobDesc(), u"000102", dbif_kind::bytes, "000102", nullptr},
        {Desc(0, 99), u"1", dbif_kind::null, nullptr,
         "Parameter #1 of type <#99>(0) does not take text values"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.text) + " as " + std::string(1, char(ul_sqlfldflag2char(c.desc))));
        Bound got = bindText(c.text, c.desc);
        if (!c.value) {
            EXPECT_EQ(got.rc, -1);
            EXPECT_EQ(u8(errorText()), c.message);
            EXPECT_EQ(got.kind, dbif_kind::null);
            continue;
        }
        ASSERT_EQ(got.rc, 0) << u8(errorText());
        ASSERT_EQ(got.kind, c.kind);
        switch (c.kind) {
            case dbif_kind::integer:
                EXPECT_EQ(std::to_string(got.integer), c.value);
                break;
            case dbif_kind::real:
                EXPECT_EQ(got.real, std::strtod(c.value, nullptr));
                break;
            case dbif_kind::bytes:
                EXPECT_EQ(hexOf(got.bytes), c.value);
                break;
            default:
                EXPECT_EQ(u8(got.text), c.value);
                break;
        }
    }
}

TEST_F(ULSqlBase2Test, BindNullAndEmptyText) {
    EXPECT_EQ(bindText(nullptr, IntDesc(4)).kind, dbif_kind::null);
    // An empty raw value is an empty text, not NULL.
    static const unsigned char none = 0;
    Bound emptyRaw =
        bindOne([](DbIfRowBatch* b) { return ul_sqlbindraw(b, 0, 0, &none, 0, CharDesc(3)); });
    EXPECT_EQ(emptyRaw.kind, dbif_kind::text);
    Bound raw =
        bindOne([](DbIfRowBatch* b) { return ul_sqlbindraw(b, 0, 0, nullptr, 0, IntDesc(4)); });
    EXPECT_EQ(raw.kind, dbif_kind::null);
    UL_SQLGlobalFlags &= ~UL_SQLFLAG_SQLINSERTEMPTYASNULL;
    EXPECT_EQ(bindText(u"", CharDesc(3)).kind, dbif_kind::text);
    EXPECT_EQ(bindText(u"", IntDesc(4)).rc, -1);
    UL_SQLGlobalFlags |= UL_SQLFLAG_SQLINSERTEMPTYASNULL;
    EXPECT_EQ(bindText(u"", CharDesc(3)).kind, dbif_kind::null);
    Bound empty = bindText(u"", IntDesc(4));
    EXPECT_EQ(empty.rc, 0);
    EXPECT_EQ(empty.kind, dbif_kind::null);
}

TEST_F(ULSqlBase2Test, BindRawAndIntegerByDescription) {
    int32_t minus5 = -5;
    Bytes four(4);
    std::memcpy(four.data(), &minus5, 4);
    double half = 0.5;
    Bytes eight(8);
    std::memcpy(eight.data(), &half, 8);

    Bound b = bindRaw(four, IntDesc(4));
    ASSERT_EQ(b.rc, 0);
    EXPECT_EQ(b.kind, dbif_kind::integer);
    EXPECT_EQ(b.integer, -5);
    EXPECT_EQ(bindRaw(four, IntDesc(1)).rc, -1);  // -5 does not fit one unsigned byte
    EXPECT_EQ(u8(errorText()), "Value '-5' of parameter #1 does not fit type I(1)");
    EXPECT_EQ(bindRaw(Bytes(3), IntDesc(4)).rc, -1);
    EXPECT_EQ(u8(errorText()), "Unsupported integer size 3");
    b = bindRaw(eight, FloatDesc());
    EXPECT_EQ(b.kind, dbif_kind::real);
    EXPECT_EQ(b.real, 0.5);
    EXPECT_EQ(bindRaw(four, FloatDesc()).rc, -1);

    b = bindRaw(hexBytes("01250D"), PackedDesc(5, 2));
    EXPECT_EQ(b.kind, dbif_kind::decimal);
    EXPECT_EQ(u8(b.text), "-12.50");
    b = bindRaw(hexBytes("01250D"), PackedDesc(3, 2));  // 12.50 needs 4 digits
    EXPECT_EQ(b.rc, -1);
    UL_SQLGlobalFlags &= ~UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
    EXPECT_EQ(u8(bindRaw(hexBytes("01250B"), PackedDesc(5, 2)).text), "-12.50");
    UL_SQLGlobalFlags |= UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
    EXPECT_EQ(bindRaw(hexBytes("01250B"), PackedDesc(5, 2)).rc, -1);
    EXPECT_EQ(u8(errorText()), "Invalid BCD number '01250B'");

    b = bindRaw(unitBytes(u"012.50"), DecimalDesc());
    EXPECT_EQ(b.kind, dbif_kind::decimal);
    EXPECT_EQ(u8(b.text), "12.5");
    EXPECT_EQ(bindRaw(Bytes(3, '1'), DecimalDesc()).rc, -1);

    b = bindRaw(le64(0x31A000000000000Full), DecFloatDesc(8));
    EXPECT_EQ(u8(b.text), "1.5");
    EXPECT_EQ(bindRaw(le64(1), DecFloatDesc(16)).rc, -1);
    EXPECT_EQ(u8(errorText()), "Invalid dec float len 8");

    b = bindRaw(unitBytes(u"ä😀"), CharDesc(2));
    EXPECT_EQ(b.kind, dbif_kind::text);
    EXPECT_EQ(b.text, u"ä😀");
    EXPECT_EQ(bindRaw(unitBytes(u"abc"), CharDesc(2)).rc, -1);
    EXPECT_EQ(bindRaw(Bytes(3, 'a'), CharDesc(0)).rc, -1);
    b = bindRaw(hexBytes("00FF"), RawDesc(2));
    EXPECT_EQ(hexOf(b.bytes), "00FF");
    EXPECT_EQ(bindRaw(hexBytes("00FF00"), RawDesc(2)).rc, -1);
    EXPECT_EQ(u8(errorText()), "Parameter 1 too long (3 > 2)");
    EXPECT_EQ(bindRaw(Bytes(70000, 1), BlobDesc()).bytes.size(), 70000u);

    struct IntCase {
        ul_sqlfielddesc_t desc;
        long value;
        dbif_kind kind;
        const char* text;  // null: fails
    };
    const IntCase ints[] = {
        {IntDesc(4), 7, dbif_kind::integer, "7"},
        {IntDesc(4), 1L << 40, dbif_kind::null, nullptr},
        {IntDesc(8), 1L << 40, dbif_kind::integer, "1099511627776"},
        {FloatDesc(), 3, dbif_kind::real, "3"},
        {PackedDesc(5, 2), 12, dbif_kind::decimal, "12.00"},
        {PackedDesc(5, 2), 1000, dbif_kind::null, nullptr},
        {DecimalDesc(), -12, dbif_kind::decimal, "-12"},
        {DecFloatDesc(8), 100, dbif_kind::decimal, "1E+2"},
        {CharDesc(3), 123, dbif_kind::text, "123"},
        {CharDesc(3), -123, dbif_kind::null, nullptr},
        {RawDesc(8), 1, dbif_kind::null, nullptr},
    };
    for (const IntCase& c : ints) {
        Bound got = bindInteger(c.value, c.desc);
        SCOPED_TRACE(c.value);
        if (!c.text) {
            EXPECT_EQ(got.rc, -1);
            continue;
        }
        ASSERT_EQ(got.rc, 0) << u8(errorText());
        ASSERT_EQ(got.kind, c.kind);
        if (c.kind == dbif_kind::integer) {
            EXPECT_EQ(std::to_string(got.integer), c.text);
        }
        if (c.kind == dbif_kind::real) {
            EXPECT_EQ(got.real, double(c.value));
        }
        if (c.kind == dbif_kind::text || c.kind == dbif_kind::decimal) {
            EXPECT_EQ(u8(got.text), c.text);
        }
    }
    bindInteger(1, RawDesc(8));
    EXPECT_EQ(u8(errorText()), "Parameter #1 of type R(8) does not take integer values");
}

// Binding a fetched raw value and fetching it again gives the same bytes: parameters and rows
// share one value form per description.
TEST_F(ULSqlBase2Test, BoundRawValuesReadBackUnchanged) {
    struct Case {
        ul_sqlfielddesc_t desc;
        Cell cell;
    };
    const Case cases[] = {
        {IntDesc(1), Int(200)},
        {IntDesc(2), Int(-2)},
        {IntDesc(4), Int(-70000)},
        {IntDesc(8), Int(INT64_MIN)},
        {FloatDesc(), Real(-1.25e-300)},
        {PackedDesc(9, 4), Dec("-12345.6789")},
        {PackedDesc(2, 0), Int(0)},
        {DecimalDesc(), Dec("-0.0001")},
        {DecFloatDesc(8), Dec("-7.25")},
        {DecFloatDesc(16), Dec("NaN")},
        {CharDesc(4), Text(u"ab😀")},
        {LongCharDesc(), Text(u"")},
        {RawDesc(3), Blob(hexBytes("000102"))},
        {BlobDesc(), Blob(hexBytes("FF"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(ul_sqlfldflag2char(c.desc)));
        Converted first = convertOne(c.cell, c.desc);
        ASSERT_EQ(first.rc, 0) << u8(errorText());
        DbIfRowBatch batch(1);
        batch.addRow();
        static const unsigned char none = 0;
        const unsigned char* raw = first.raw.empty() ? &none : first.raw.data();
        ASSERT_EQ(ul_sqlbindraw(&batch, 0, 0, raw, first.raw.size(), c.desc), 0) << u8(errorText());
        ULSQLValueConverter conv;
        conv.beginRow(1);
        ASSERT_EQ(conv.convert(0, batch.row(0)[0], c.desc, true), 0) << u8(errorText());
        const ul_sqlvalue_t& again = conv.values()[0];
        EXPECT_EQ(hexOf(Bytes(again.raw, again.raw + again.rawLength)), hexOf(first.raw));
        if (first.hasText) {
            EXPECT_EQ(u8(again.text), u8(first.text));
        }
        // The text form binds to the same value as well (raw and blob texts are hexadecimal).
        if (first.hasText) {
            DbIfRowBatch batch2(1);
            batch2.addRow();
            ASSERT_EQ(ul_sqlbindtext(&batch2, 0, 0, first.text.c_str(), c.desc), 0)
                << u8(errorText());
            conv.beginRow(1);
            ASSERT_EQ(conv.convert(0, batch2.row(0)[0], c.desc, true), 0);
            const ul_sqlvalue_t& third = conv.values()[0];
            EXPECT_EQ(hexOf(Bytes(third.raw, third.raw + third.rawLength)), hexOf(first.raw));
        }
    }
}

}  // namespace

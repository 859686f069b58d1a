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
#include <tuple>
#include <vector>

#include "sqltestutil.h"
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

// clang-format off
Cell Null() { return Cell{}; }
Cell Int(int64_t v) { return Cell{dbif_kind::integer, v, 0, {}, {}}; }
Cell Real(double v) { return Cell{dbif_kind::real, 0, v, {}, {}}; }
// An engine's decimal text (ASCII within UTF-16), as PostgreSQL delivers NUMERIC.
Cell Dec(const char* ascii) {
    Cell c{dbif_kind::decimal, 0, 0, {}, {}};
    for (; *ascii; ++ascii) c.text += char16_t(*ascii);
    return c;
}
Cell Text(const std::u16string& t) { return Cell{dbif_kind::text, 0, 0, t, {}}; }
Cell Blob(const Bytes& b) { return Cell{dbif_kind::bytes, 0, 0, {}, b}; }

ul_sqlfielddesc_t Desc(unsigned flags, int type, unsigned length = 0, unsigned digits = 0,
                       unsigned decimals = 0) {
    return ul_sqlfielddesc_t{u"COL", flags, type, digits | (decimals << 16), length};
}
ul_sqlfielddesc_t IntDesc(unsigned size) { return Desc(UL_SQLFLD_INT, -1, size); }
ul_sqlfielddesc_t FloatDesc() { return Desc(UL_SQLFLD_FLOAT, -1, 8); }
ul_sqlfielddesc_t PackedDesc(unsigned digits, unsigned decimals) {
    return Desc(0, DBIF_TYPE_PACKED, digits, digits, decimals);
}
ul_sqlfielddesc_t DecimalDesc() { return Desc(0, DBIF_TYPE_DECIMAL); }
ul_sqlfielddesc_t DecFloatDesc(unsigned bytes) {
    return Desc(0, bytes == 8 ? DBIF_TYPE_DECFLOAT16 : DBIF_TYPE_DECFLOAT34, bytes);
}
ul_sqlfielddesc_t CharDesc(unsigned length) { return Desc(UL_SQLFLD_CHAR, -1, length); }
ul_sqlfielddesc_t LongCharDesc() { return Desc(UL_SQLFLD_LONG, -1); }
ul_sqlfielddesc_t RawDesc(unsigned length) { return Desc(UL_SQLFLD_RAW, -1, length); }
ul_sqlfielddesc_t BlobDesc() { return Desc(UL_SQLFLD_RAW | UL_SQLFLD_LONG, -1); }
// clang-format on

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

// A 128-bit value in host (little-endian) byte order.
Bytes le128(uint64_t high, uint64_t low) {
    Bytes out = le64(low), upper = le64(high);
    out.insert(out.end(), upper.begin(), upper.end());
    return out;
}

std::u16string ascii16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
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

// Converts and checks: a null expected text means the conversion fails.
void expectConverted(const Cell& cell, const ul_sqlfielddesc_t& desc, const char16_t* text,
                     const char* raw = nullptr) {
    Converted got = convertOne(cell, desc);
    if (!text) {
        EXPECT_EQ(got.rc, -1);
        return;
    }
    ASSERT_EQ(got.rc, 0) << u8(errorText());
    EXPECT_EQ(u8(got.text), u8(text));
    if (raw) {
        EXPECT_EQ(hexOf(got.raw), raw);
    }
}

// Binding a converted value, raw or as text, and converting it again gives the same bytes and
// text: parameters and rows share one value form per description.
void expectReadBackUnchanged(const Converted& first, const ul_sqlfielddesc_t& desc) {
    static const unsigned char none = 0;
    for (bool asText : {false, true}) {
        if (asText && !first.hasText) continue;
        SCOPED_TRACE(asText ? "bound as text" : "bound raw");
        DbIfRowBatch batch(1);
        batch.addRow();
        ASSERT_EQ(asText ? ul_sqlbindtext(&batch, 0, 0, first.text.c_str(), desc)
                         : ul_sqlbindraw(&batch, 0, 0, first.raw.empty() ? &none : first.raw.data(),
                                         first.raw.size(), desc),
                  0)
            << u8(errorText());
        ULSQLValueConverter conv;
        conv.beginRow(1);
        ASSERT_EQ(conv.convert(0, batch.row(0)[0], desc, true), 0) << u8(errorText());
        const ul_sqlvalue_t& again = conv.values()[0];
        EXPECT_EQ(hexOf(Bytes(again.raw, again.raw + again.rawLength)), hexOf(first.raw));
        if (first.hasText) {
            EXPECT_EQ(u8(again.text), u8(first.text));
        }
    }
}

class ULSqlBase2Test : public ::testing::Test {
  protected:
    void SetUp() override { savedFlags_ = UL_SQLGlobalFlags; }
    void TearDown() override { UL_SQLGlobalFlags = savedFlags_; }
    unsigned savedFlags_ = 0;
};

// ---- type letters and descriptions ----------------------------------------------------------

TEST_F(ULSqlBase2Test, TypeLettersFollowDatabaseTypeThenFlags) {
    // Without a database type: raw, integer, floating point, character (no flag 16), M.
    // A database type decides alone, except that flag 16 makes a decimal an "M".
    const int C = DBIF_TYPE_CHAR, I = DBIF_TYPE_INT, F = DBIF_TYPE_FLOAT, R = DBIF_TYPE_RAW,
              M = DBIF_TYPE_DECIMAL, L = DBIF_TYPE_LONGCHAR, B = DBIF_TYPE_BLOB,
              P = DBIF_TYPE_PACKED;
    // clang-format off
    const std::tuple<unsigned, int, char16_t, int> cases[] = {
        {0x0, -1, u'C', C}, {0x1, -1, u'I', I}, {0x2, -1, u'F', F}, {0x8, -1, u'R', R},
        {0x10, -1, u'M', M}, {0x100, -1, u'L', L}, {0x108, -1, u'B', B}, {0x9, -1, u'R', R},
        {0x3, -1, u'I', I}, {0x11, -1, u'I', I}, {0x12, -1, u'F', F}, {0x110, -1, u'M', M},
        {0x18, -1, u'R', R}, {0x20, -1, u'C', C}, {0x0, P, u'P', 0}, {0x1, F, u'F', 1},
        {0x0, R, u'R', 5}, {0x0, M, u'N', 6}, {0x10, M, u'M', 6}, {0x0, L, u'L', 7},
        {0x0, B, u'B', 8}, {0x1, C, u'C', 11}, {0x0, I, u'I', 22}, {0x10, P, u'P', 0},
        {0x0, DBIF_TYPE_DECFLOAT16, 0, 16}, {0x0, DBIF_TYPE_DECFLOAT34, 0, 17}, {0x0, 99, 0, 99}};
    // clang-format on
    for (const auto& [flags, dbifType, letter, type] : cases) {
        ul_sqlfielddesc_t d{u"X", flags, dbifType, 0, 4};
        EXPECT_EQ(ul_sqlfldflag2char(d), letter) << "flags " << flags << " type " << dbifType;
        EXPECT_EQ(ul_sqlfieldtype(d), type) << "flags " << flags << " type " << dbifType;
    }
    // A description made from an engine column keeps the engine's type and sizes.
    const std::tuple<int, unsigned, unsigned, unsigned, unsigned, unsigned> columns[] = {
        // clang-format off
        {DBIF_TYPE_INT, 4, 0, UL_SQLFLD_INT, 0, 4}, {DBIF_TYPE_INT, 0, 0, UL_SQLFLD_INT, 0, 8},
        {DBIF_TYPE_FLOAT, 0, 0, UL_SQLFLD_FLOAT, 0, 8},
        {DBIF_TYPE_PACKED, 10, 2, 0, 10 | (2 << 16), 10},
        {DBIF_TYPE_DECIMAL, 0, 0, 0, 0, 0}, {DBIF_TYPE_CHAR, 200, 0, UL_SQLFLD_CHAR, 0, 200},
        {DBIF_TYPE_LONGCHAR, 0, 0, UL_SQLFLD_LONG, 0, 0},
        {DBIF_TYPE_RAW, 16, 0, UL_SQLFLD_RAW, 0, 16},
        {DBIF_TYPE_BLOB, 0, 0, UL_SQLFLD_RAW | UL_SQLFLD_LONG, 0, 0},
        {DBIF_TYPE_DECFLOAT16, 0, 0, 0, 0, 8}, {DBIF_TYPE_DECFLOAT34, 0, 0, 0, 0, 16}};
    // clang-format on
    for (const auto& [type, length, decimals, flags, digitsDecimals, descLength] : columns) {
        SCOPED_TRACE(type);
        const dbif_coldesc_t col = column(u"AMOUNT", type, length, decimals);
        ul_sqlfielddesc_t d = ul_sqlfieldfromcolumn(col);
        EXPECT_EQ(d.name, col.name.c_str());
        EXPECT_EQ(d.dbifType, type);
        EXPECT_EQ(d.flags, flags);
        EXPECT_EQ(d.digitsDecimals, digitsDecimals);
        EXPECT_EQ(d.length, descLength);
        EXPECT_EQ(ul_sqlfieldtype(d), type);
    }
}

// ---- the same value from either engine gives the same bytes and text ------------------------

TEST_F(ULSqlBase2Test, EngineIndependentForms) {
    struct Case {
        ul_sqlfielddesc_t desc;
        Bytes raw;
        const char16_t* text;  // null: no text form
        std::vector<Cell> cells;
    };
    const auto P = PackedDesc;
    const auto U = unitBytes;
    const auto F = FloatDesc(), N = DecimalDesc(), D8 = DecFloatDesc(8), D16 = DecFloatDesc(16);
    // clang-format off
    const Case cases[] = {
        {IntDesc(4), hexBytes("0C000000"), u"12",
         {Int(12), Real(12.0), Text(u"12"), Dec("12.00"), Dec("12"), Text(u" +12 ")}},
        {IntDesc(8), hexBytes("FBFFFFFFFFFFFFFF"), u"-5",
         {Int(-5), Real(-5.0), Dec("-5.000"), Text(u"-5e0")}},
        {IntDesc(1), hexBytes("C8"), u"200", {Int(200), Dec("200"), Real(200)}},
        {IntDesc(2), hexBytes("D4FE"), u"-300", {Int(-300), Dec("-300.0")}},
        {F, le64(0x4029000000000000ull), u"12.5",
         {Real(12.5), Dec("12.50"), Text(u"12.5"), Dec("1.25e1")}},
        {F, le64(0x4028000000000000ull), u"12", {Int(12), Real(12), Dec("12.000")}},
        {F, le64(0), u"0", {Real(-0.0), Real(0.0), Int(0), Dec("-0"), Text(u"-0.0")}},
        {P(5, 2), hexBytes("01250C"), u"12.50",
         {Real(12.5), Dec("12.50"), Dec("12.5"), Text(u"12.50"), Text(u"+012.500")}},
        {P(5, 2), hexBytes("01200C"), u"12.00",
         {Int(12), Real(12.0), Dec("12"), Dec("12.00"), Text(u"1.2E1")}},
        {P(5, 2), hexBytes("00005D"), u"-0.05",
         {Real(-0.05), Dec("-0.05"), Dec("-.05"), Text(u"-5e-2")}},
        {P(4, 0), hexBytes("00000C"), u"0",
         {Int(0), Real(0.0), Real(-0.0), Dec("0"), Dec("-0"), Text(u"0.000")}},
        // 1.005 rounds up
        {P(10, 2), hexBytes("00000000101C"), u"1.01", {Real(1.005), Dec("1.005"), Text(u"1.005")}},
        {N, U(u"12.5"), u"12.5",
         {Real(12.5), Dec("12.50"), Text(u"12.5"), Dec("+012.500"), Dec("1.25E+1")}},
        {N, U(u"12"), u"12", {Int(12), Real(12.0), Dec("12.00"), Text(u"12")}},
        {N, U(u"0"), u"0", {Int(0), Real(-0.0), Dec("-0.00"), Dec("0"), Text(u"000")}},
        {Desc(UL_SQLFLD_DECIMAL, -1), U(u"0.1"), u"0.1",
         {Real(0.1), Dec("0.10"), Dec(".1"), Text(u"1e-1")}},
        // Binary integer decimal in host byte order; the blob is 150E-2 as an engine might store
        // it, not reduced.
        {D8, le64(0x31A000000000000Full), u"1.5",
         {Real(1.5), Dec("1.50"), Dec("1.5"), Text(u"15E-1"), Dec("1.5000000000000"),
          Dec("0.15e1"), Blob(le64((uint64_t(398 - 2) << 53) | 150))}},
        {D8, le64(0x31C0000000000001ull), u"1", {Int(1), Real(1.0), Dec("1.000")}},
        {D8, le64(0x31C0000000000000ull), u"0", {Int(0), Real(-0.0), Dec("-0.00"), Dec("0")}},
        {D16, le128(uint64_t(6176 - 1) << 49, 15), u"1.5",
         {Real(1.5), Dec("1.50"), Text(u"15E-1"), Dec("0.15e1"), Dec("1.500000000000")}},
        {CharDesc(10), U(u"12"), u"12", {Int(12), Real(12.0), Dec("12.00"), Text(u"12")}},
        {CharDesc(10), U(u"12.5"), u"12.5", {Real(12.5), Dec("12.50"), Text(u"12.5")}},
        {CharDesc(0), U(u"100000000000000000000"), u"100000000000000000000",
         {Real(1e20), Dec("100000000000000000000"), Dec("1E+20")}},
        {CharDesc(10), U(u"€a"), u"€a", {Text(u"€a"), Blob(hexBytes("E282AC61"))}},
        {RawDesc(4), hexBytes("E282AC"), nullptr, {Blob(hexBytes("E282AC")), Text(u"€")}},
        {BlobDesc(), hexBytes("00FF00"), nullptr, {Blob(hexBytes("00FF00"))}},
    };
    // clang-format on
    for (const Case& c : cases) {
        for (size_t k = 0; k < c.cells.size(); ++k) {
            SCOPED_TRACE(concat(hexOf(c.raw), ", cell ", std::to_string(k)));
            Converted got = convertOne(c.cells[k], c.desc);
            ASSERT_EQ(got.rc, 0) << u8(errorText());
            EXPECT_FALSE(got.isNull);
            EXPECT_EQ(hexOf(got.raw), hexOf(c.raw));
            EXPECT_EQ(got.hasText, c.text != nullptr);
            if (c.text) {
                EXPECT_EQ(u8(got.text), u8(c.text));
            }
            // Without the text the raw form stays.
            Converted rawOnly = convertOne(c.cells[k], c.desc, false);
            EXPECT_FALSE(rawOnly.hasText);
            EXPECT_EQ(rawOnly.raw, got.raw);
            expectReadBackUnchanged(got, c.desc);
        }
        Converted null = convertOne(Null(), c.desc);
        EXPECT_EQ(null.rc, 0);
        EXPECT_TRUE(null.isNull);
        EXPECT_TRUE(null.rawIsNull);
        EXPECT_FALSE(null.hasText);
    }
}

// ---- conversions ----------------------------------------------------------------------------

// One cell converted by one description: the text it gives (UTF-8; for raw and blob columns,
// which have no text, the bytes in hexadecimal), or null where the conversion fails. Whatever
// converts, its raw bytes agree with its text as the type prescribes. Character lengths count
// characters: a surrogate pair is one, an unpaired surrogate too.
TEST_F(ULSqlBase2Test, ConversionPerType) {
    const auto I = IntDesc, C = CharDesc, R = RawDesc;
    const auto F = FloatDesc(), N = DecimalDesc(), D8 = DecFloatDesc(8), D16 = DecFloatDesc(16);
    const std::string unlimited(5000, 'x');
    const std::tuple<ul_sqlfielddesc_t, Cell, const char*> cases[] = {
        // clang-format off
        {I(1), Int(0), "0"}, {I(1), Int(255), "255"}, {I(1), Int(256), nullptr},
        {I(1), Int(-1), nullptr}, {I(2), Int(32767), "32767"}, {I(2), Int(-32768), "-32768"},
        {I(2), Int(32768), nullptr}, {I(2), Int(-32769), nullptr},
        {I(4), Int(INT32_MAX), "2147483647"}, {I(4), Int(INT32_MIN), "-2147483648"},
        {I(4), Int(int64_t(INT32_MAX) + 1), nullptr}, {I(4), Dec("-2147483649"), nullptr},
        {I(8), Int(INT64_MAX), "9223372036854775807"},
        {I(8), Int(INT64_MIN), "-9223372036854775808"},
        {I(8), Dec("9223372036854775807"), "9223372036854775807"},
        {I(8), Dec("-9223372036854775808"), "-9223372036854775808"},
        {I(8), Dec("9223372036854775808"), nullptr}, {I(8), Dec("-9223372036854775809"), nullptr},
        {I(8), Real(9223372036854775808.0), nullptr},
        {I(8), Real(-9223372036854775808.0), "-9223372036854775808"}, {I(8), Real(12.5), nullptr},
        {I(8), Real(NAN), nullptr}, {I(8), Real(INFINITY), nullptr}, {I(8), Dec("12.5"), nullptr},
        {I(8), Dec("12.000"), "12"}, {I(8), Text(u"1e3"), "1000"}, {I(8), Text(u"1.5e1"), "15"},
        {I(8), Text(u"abc"), nullptr}, {I(8), Text(u""), nullptr}, {I(8), Dec("NaN"), nullptr},
        {I(8), Blob(hexBytes("01")), nullptr}, {F, Dec("0.1"), "0.1"}, {F, Text(u" 2.5 "), "2.5"},
        {F, Text(u"+3"), "3"}, {F, Text(u"Infinity"), "inf"}, {F, Text(u"-inf"), "-inf"},
        {F, Text(u"1e400"), nullptr}, {F, Text(u"abc"), nullptr}, {F, Text(u""), nullptr},
        {F, Text(u"1.5x"), nullptr}, {F, Text(u"１"), nullptr}, {F, Blob({1, 2}), nullptr},
        {N, Dec("0012.5000"), "12.5"}, {N, Dec("+1"), "1"}, {N, Dec("-0.000"), "0"},
        {N, Dec("-00.0100"), "-0.01"}, {N, Dec("100"), "100"}, {N, Dec("1E+3"), "1000"},
        {N, Dec("1.5e-3"), "0.0015"}, {N, Dec("123.45E1"), "1234.5"}, {N, Dec("0E+10"), "0"},
        {N, Dec("NaN"), "NaN"}, {N, Dec("-Infinity"), "-Infinity"}, {N, Real(INFINITY), "Infinity"},
        {N, Real(1e-7), "0.0000001"}, {N, Real(0.3), "0.3"},
        {N, Int(INT64_MIN), "-9223372036854775808"}, {N, Text(u"1e999999"), nullptr},
        {N, Text(u"12a"), nullptr}, {N, Text(u"e5"), nullptr}, {N, Text(u"+"), nullptr},
        {N, Blob({0x31}), nullptr}, {D8, Dec("1.50"), "1.5"}, {D8, Dec("100"), "1E+2"},
        {D8, Dec("0.00"), "0"}, {D8, Dec("-0"), "0"}, {D8, Dec("-1.25"), "-1.25"},
        {D8, Dec("0.000001"), "0.000001"}, {D8, Dec("0.0000001"), "1E-7"},
        {D8, Dec("123456789012345678"), "1.234567890123457E+17"},
        {D16, Dec("123456789012345678"), "123456789012345678"},
        // clang-format on
        {D16, Dec("1234567890123456789012345678901234567"),
         "1.234567890123456789012345678901235E+36"},
        // clang-format off
        {D8, Dec("NaN"), "NaN"}, {D8, Dec("-nan"), "NaN"}, {D8, Text(u"Infinity"), "Infinity"},
        {D16, Text(u"-inf"), "-Infinity"}, {D8, Real(0.1), "0.1"},
        {D8, Real(-INFINITY), "-Infinity"}, {D8, Real(NAN), "NaN"},
        {D8, Int(INT64_MAX), "9.223372036854776E+18"},
        {D16, Int(INT64_MAX), "9223372036854775807"},
        {D8, Dec("9.999999999999999E+384"), "9.999999999999999E+384"}, {D8, Dec("1E+385"), nullptr},
        {D16, Dec("1E+385"), "1E+385"}, {D8, Dec("1E-500"), "0"}, {D8, Text(u"abc"), nullptr},
        {D8, Blob(hexBytes("0102")), nullptr}, {C(3), Text(u"abc"), "abc"},
        {C(3), Text(u"abcd"), nullptr}, {C(3), Text(u"äöü"), "äöü"}, {C(3), Text(u"äöüß"), nullptr},
        {C(3), Text(u"😀😀😀"), "😀😀😀"}, {C(3), Text(u"😀😀😀a"), nullptr},
        {C(2), Text(u"\xD83D\xD83Dx"), nullptr},
        {C(3), Blob(hexBytes("F09F9880F09F9880")), "😀😀"}, {C(3), Int(1234), nullptr},
        {C(4), Int(1234), "1234"}, {C(0), Text(std::u16string(5000, u'x')), unlimited.c_str()},
        {Desc(UL_SQLFLD_LONG, -1, 3), Text(u"abcdef"), "abcdef"},
        {C(3), Text(u""), ""}, {C(0), Blob(hexBytes("C3A4F09F9880")), "ä😀"},
        {C(0), Blob(hexBytes("C080")), nullptr}, {C(0), Blob(hexBytes("80")), nullptr},
        {C(0), Blob(hexBytes("E282")), nullptr}, {C(0), Blob(hexBytes("EDA080")), nullptr},
        {C(0), Blob(hexBytes("F4908080")), nullptr}, {C(0), Blob(hexBytes("FF")), nullptr},
        {C(0), Blob(hexBytes("61E2")), nullptr},
        {R(4), Blob(hexBytes("00010203")), "00010203"},
        {R(4), Blob(hexBytes("0001020304")), nullptr},
        {R(0), Blob(hexBytes("0001020304")), "0001020304"},
        {R(4), Blob({}), ""}, {R(8), Text(u"ä😀"), "C3A4F09F9880"}, {R(8), Int(1), nullptr},
        {R(8), Real(1), nullptr}, {R(8), Dec("1"), nullptr},
        {BlobDesc(), Blob(Bytes(100000, 0xAB)), nullptr}};
    // clang-format on
    for (const auto& [desc, cell, expect] : cases) {
        const int type = ul_sqlfieldtype(desc);
        SCOPED_TRACE(concat(std::string(1, char(ul_sqlfldflag2char(desc))), std::to_string(type),
                            "(", std::to_string(desc.length), ") <- ", u8(cell.text),
                            std::to_string(cell.integer)));
        Converted got = convertOne(cell, desc);
        if (type == DBIF_TYPE_BLOB) {
            ASSERT_EQ(got.rc, 0);
            EXPECT_EQ(got.raw, cell.bytes);
            EXPECT_FALSE(got.hasText);
            expectReadBackUnchanged(got, desc);
            continue;
        }
        if (!expect) {
            EXPECT_EQ(got.rc, -1);
            continue;
        }
        ASSERT_EQ(got.rc, 0) << u8(errorText());
        EXPECT_FALSE(got.rawIsNull);
        expectReadBackUnchanged(got, desc);
        if (type == DBIF_TYPE_RAW) {
            EXPECT_FALSE(got.hasText);
            EXPECT_EQ(hexOf(got.raw), expect);
            continue;
        }
        ASSERT_TRUE(got.hasText);
        EXPECT_EQ(u8(got.text), expect);
        if (type == DBIF_TYPE_INT) {
            // The native integer of that size (size 1 is unsigned).
            const size_t size = got.raw.size();
            ASSERT_EQ(size, desc.length);
            int64_t back = 0;
            std::memcpy(&back, got.raw.data(), size);
            if (size > 1 && size < 8 && (got.raw[size - 1] & 0x80)) back -= int64_t(1) << size * 8;
            EXPECT_EQ(std::to_string(back), expect);
        } else if (type == DBIF_TYPE_DECFLOAT16 || type == DBIF_TYPE_DECFLOAT34) {
            ASSERT_EQ(got.raw.size(), desc.length);
            char16_t back[64];
            ASSERT_GE(ul_sqldecfloattotext(got.raw.data(), desc.length, back, 64), 0);
            EXPECT_EQ(u8(back), expect);
        } else if (type != DBIF_TYPE_FLOAT) {
            EXPECT_EQ(got.raw, unitBytes(got.text));
        }
    }
    // The messages name the column and the type.
    ULSQLValueConverter conv;
    conv.beginRow(3);
    // clang-format off
    const std::tuple<unsigned, unsigned, Cell, const char*> messages[] = {
        {UL_SQLFLD_INT, 1, Int(256), "Value '256' of column #3 'QTY' does not fit type I(1)"},
        {UL_SQLFLD_INT, 3, Int(1), "Unsupported integer size 3"},
        {UL_SQLFLD_INT, 0, Int(1), "Unsupported integer size 0"},
        {UL_SQLFLD_CHAR, 3, Text(u"abcd"), "Value of column #3 'QTY' is longer than 3 characters"},
        {UL_SQLFLD_DECIMAL, 0, Text(u"12a"), "Value '12a' of column #3 'QTY' does not fit type M(0)"},
        {UL_SQLFLD_CHAR, 0, Blob(hexBytes("FF")), "Value of column #3 'QTY' is not valid UTF-8"},
        {UL_SQLFLD_RAW, 4, Blob(hexBytes("0001020304")),
         "Value of column #3 'QTY' is longer than 4 bytes"},
        {UL_SQLFLD_RAW, 8, Int(1), "Value '1' of column #3 'QTY' does not fit type R(8)"}};
    // clang-format on
    for (const auto& [flags, length, cell, message] : messages) {
        EXPECT_TRUE(
            failedWith(conv.convert(2, cell.get(), {u"QTY", flags, -1, 0, length}, true), message));
    }
}

// ---- floating point -------------------------------------------------------------------------

TEST_F(ULSqlBase2Test, FloatTextIsPrintfG) {
    std::mt19937_64 rng(42);
    // clang-format off
    std::vector<double> values = {0.0,   -0.0,    1.0,      0.1,   1e20,     1e-5,   123456789,
                                  1e-7,  123456,  1234567,  999999.5, 5e-324, 1.7976931348623157e308};
    // clang-format on
    for (int k = 0; k < 2000; ++k) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        if (std::isfinite(d)) values.push_back(d);
    }
    for (double d : values) {
        Converted got = convertOne(Real(d), FloatDesc());
        ASSERT_EQ(got.rc, 0);
        if (d == 0) d = 0;  // -0.0 reads as 0.0
        char buf[64];
        snprintf(buf, sizeof buf, "%g", d);
        EXPECT_EQ(u8(got.text), buf);
        ASSERT_EQ(got.raw.size(), 8u);
        EXPECT_EQ(std::memcmp(got.raw.data(), &d, 8), 0);
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
    // digits, decimals, input, raw (null: does not fit or is no number), text
    const std::tuple<unsigned, unsigned, const char16_t*, const char*, const char16_t*> cases[] = {
        // clang-format off
        {1, 0, u"9", "9C", u"9"}, {1, 0, u"-9", "9D", u"-9"}, {1, 0, u"10", nullptr, nullptr},
        {1, 0, u"9.5", nullptr, nullptr}, {1, 0, u"9.49", "9C", u"9"},
        {4, 0, u"9999", "09999C", u"9999"}, {4, 0, u"10000", nullptr, nullptr},
        // clang-format on
        {31, 0, u"9999999999999999999999999999999", "9999999999999999999999999999999C",
         u"9999999999999999999999999999999"},
        {31, 0, u"10000000000000000000000000000000", nullptr, nullptr},
        {31, 31, u"0.9999999999999999999999999999999", "9999999999999999999999999999999C",
         u"0.9999999999999999999999999999999"},
        // clang-format off
        {31, 31, u"1", nullptr, nullptr}, {5, 2, u"999.994", "99999C", u"999.99"},
        {5, 2, u"999.995", nullptr, nullptr}, {5, 2, u"-999.995", nullptr, nullptr},
        {5, 2, u"0.005", "00001C", u"0.01"}, {5, 2, u"-0.005", "00001D", u"-0.01"},
        {5, 2, u"0.00499999", "00000C", u"0.00"}, {5, 2, u"-0.004", "00000C", u"0.00"},
        {5, 2, u"-0", "00000C", u"0.00"}, {5, 2, u"1e2", "10000C", u"100.00"},
        {5, 2, u"1E-2", "00001C", u"0.01"}, {5, 2, u"1E-300", "00000C", u"0.00"},
        {5, 2, u"0.0000000000000000000000000000001E+31", "00100C", u"1.00"},
        {5, 2, u"1E+999999999", nullptr, nullptr}, {5, 2, u".5", "00050C", u"0.50"},
        {5, 2, u"5.", "00500C", u"5.00"}, {5, 2, u"  -7  ", "00700D", u"-7.00"},
        {3, 3, u"-.1235", "124D", u"-0.124"}, {2, 0, u"", nullptr, nullptr},
        {2, 0, u"1e", nullptr, nullptr}, {2, 0, u"--1", nullptr, nullptr},
        {2, 0, u".", nullptr, nullptr}, {2, 0, u"1.2.3", nullptr, nullptr},
        {2, 0, u"NaN", nullptr, nullptr}, {2, 0, u"-Infinity", nullptr, nullptr},
        {2, 0, u"1e99999999999", nullptr, nullptr}};
    // clang-format on
    for (const auto& [digits, decimals, input, raw, text] : cases) {
        SCOPED_TRACE(concat(u8(input), " into P(", std::to_string(digits), ",",
                            std::to_string(decimals), ")"));
        unsigned char packed[17] = {};
        std::u16string in = input;
        int rc = ul_sqltexttopacked(in.data(), in.size(), digits, decimals, packed, 17);
        if (!raw) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(convertOne(Text(in), PackedDesc(digits, decimals)).rc, -1);
            continue;
        }
        ASSERT_EQ(rc, int(ul_sqlpackedlength(digits))) << u8(errorText());
        EXPECT_EQ(hexOf(Bytes(packed, packed + rc)), raw);
        expectConverted(Text(in), PackedDesc(digits, decimals), text, raw);
    }
}

TEST_F(ULSqlBase2Test, PackedTextMessagesAndBufferLimits) {
    unsigned char packed[4];
    std::u16string in = u"123.456";
    EXPECT_TRUE(
        failedWith(ul_sqltexttopacked(in.data(), in.size(), 4, 2, packed, 4),
                   "Value '123.456' does not fit a packed number of 4 digits with 2 decimals"));
    in = u"x1";
    EXPECT_TRUE(failedWith(ul_sqltexttopacked(in.data(), in.size(), 4, 2, packed, 4),
                           "Invalid decimal number 'x1'"));
    EXPECT_TRUE(failedWith(ul_sqltexttopacked(in.data(), in.size(), 7, 0, packed, 3),
                           "Packed number of 7 digits needs 4 bytes, buffer has 3"));
    EXPECT_TRUE(failedWith(ul_sqltexttopacked(in.data(), in.size(), 0, 0, packed, 4),
                           "Invalid packed number of 0 digits with 0 decimals"));
    EXPECT_EQ(ul_sqltexttopacked(in.data(), in.size(), 2, 3, packed, 4), -1);

    const unsigned char value[] = {0x12, 0x34, 0x5D};
    char16_t out[8];
    EXPECT_EQ(ul_sqlpackedtotext(value, 3, 2, out, 8, false), 7);
    EXPECT_EQ(u8(out), "-123.45");
    EXPECT_TRUE(failedWith(ul_sqlpackedtotext(value, 3, 2, out, 7, false),
                           "Packed number text needs 8 characters, buffer has 7"));
    EXPECT_EQ(ul_sqlpackedtotext(value, 0, 0, out, 8, false), -1);
}

TEST_F(ULSqlBase2Test, PackedSignNibblesStrictAndLenient) {
    // bytes, decimals, lenient text, strict text (null: invalid)
    const std::tuple<const char*, unsigned, const char*, const char*> cases[] = {
        {"123C", 1, "12.3", "12.3"},        {"123D", 1, "-12.3", "-12.3"},
        {"123A", 1, "12.3", nullptr},       {"123B", 1, "-12.3", nullptr},
        {"123E", 1, "12.3", nullptr},       {"123F", 1, "12.3", nullptr},
        {"1239", 1, nullptr, nullptr},      {"1A3C", 1, nullptr, nullptr},
        {"000D", 2, "-0.00", "-0.00"},      {"000C", 0, "0", "0"},
        {"5C", 3, "0.005", "0.005"},        {"00012C", 0, "12", "12"},
        {"00012C", 5, "0.00012", "0.00012"}};
    for (const auto& [hex, decimals, lenient, strict] : cases) {
        Bytes b = hexBytes(hex);
        for (bool isStrict : {false, true}) {
            SCOPED_TRACE(concat(hex, isStrict ? " strict" : " lenient"));
            const char* want = isStrict ? strict : lenient;
            char16_t out[32];
            int rc = ul_sqlpackedtotext(b.data(), unsigned(b.size()), decimals, out, 32, isStrict);
            if (!want) {
                EXPECT_TRUE(failedWith(rc, concat("Invalid BCD number '", hex, "'")));
                continue;
            }
            ASSERT_EQ(rc, int(std::strlen(want)));
            EXPECT_EQ(u8(out), want);
        }
    }
    // Byte cells follow the exact-check flag.
    const ul_sqlfielddesc_t d = PackedDesc(3, 1);
    UL_SQLGlobalFlags &= ~UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
    expectConverted(Blob(hexBytes("123F")), d, u"12.3", "123F");
    UL_SQLGlobalFlags |= UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
    EXPECT_TRUE(failedWith(convertOne(Blob(hexBytes("123F")), d).rc,
                           "Invalid BCD number '123F'\nValue of column #1 'COL'"));
    EXPECT_EQ(convertOne(Blob(hexBytes("12345C")), d).rc, -1);  // wrong length for 3 digits
}

TEST_F(ULSqlBase2Test, PackedDescriptionTakesDigitsFromLengthWhenUnset) {
    ul_sqlfielddesc_t d{u"P", 0, DBIF_TYPE_PACKED, 2u << 16, 5};
    expectConverted(Dec("-1.5"), d, u"-1.50", "00150D");
    d.length = 0;
    EXPECT_TRUE(failedWith(convertOne(Dec("1"), d).rc,
                           "Invalid packed description of column #1 'P': 0 digits, 2 decimals"));
}

// ---- decimal floating point -----------------------------------------------------------------

TEST_F(ULSqlBase2Test, DecFloatMessages) {
    unsigned char out[16] = {};
    char16_t text[64];
    std::u16string in = u"1";
    EXPECT_TRUE(failedWith(ul_sqldecfloattotext(out, 4, text, 64), "Invalid dec float len 4"));
    EXPECT_TRUE(failedWith(ul_sqltexttodecfloat(in.data(), in.size(), 12, out),
                           "Invalid dec float len 12"));
    EXPECT_EQ(ul_sqldecfloatcompare(out, out, 10), -2);
    EXPECT_EQ(u8(errorText()), "Invalid dec float len 10");
    in = u"1.2.3";
    EXPECT_TRUE(failedWith(ul_sqltexttodecfloat(in.data(), in.size(), 8, out),
                           "Converting decfloat number failed with 1"));
    ULSQLValueConverter conv;
    conv.beginRow(1);
    ul_sqlfielddesc_t d{u"DF", 0, DBIF_TYPE_DECFLOAT16, 0, 8};
    EXPECT_TRUE(failedWith(conv.convert(0, Dec("1E+385").get(), d, true),
                           "Value '1E+385' of column #1 'DF' does not fit type <#16>(8)\n"
                           "Converting decfloat number failed with 512"));
    in = u"1";
    ASSERT_EQ(ul_sqltexttodecfloat(in.data(), in.size(), 8, out), 8);
    EXPECT_EQ(ul_sqldecfloattotext(out, 8, text, 2), 1);
    EXPECT_TRUE(failedWith(ul_sqldecfloattotext(out, 8, text, 1),
                           "Decfloat text needs 2 characters, buffer has 1"));
}

TEST_F(ULSqlBase2Test, DecFloatComparison) {
    const std::tuple<const char16_t*, const char16_t*, int> cases[] = {
        // clang-format off
        {u"1.5", u"1.50", 0}, {u"1", u"2", -1}, {u"-1", u"-2", 1},
        {u"0", u"-0", 0}, {u"NaN", u"1", -2}, {u"1", u"NaN", -2},
        {u"NaN", u"NaN", -2}, {u"Infinity", u"1E+300", 1},
        {u"-Infinity", u"-1E+300", -1}, {u"Infinity", u"Infinity", 0},
        {u"1E-300", u"0", 1}, {u"0.1", u"0.10000001", -1}};
    // clang-format on
    for (unsigned len : {8u, 16u}) {
        for (const auto& [ta, tb, expected] : cases) {
            unsigned char a[16], b[16];
            std::u16string sa = ta, sb = tb;
            ASSERT_EQ(ul_sqltexttodecfloat(sa.data(), sa.size(), len, a), int(len));
            ASSERT_EQ(ul_sqltexttodecfloat(sb.data(), sb.size(), len, b), int(len));
            EXPECT_EQ(ul_sqldecfloatcompare(a, b, len), expected) << u8(ta) << " vs " << u8(tb);
        }
    }
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
        for (unsigned i = 0; i < n; ++i)
            if (v[i].raw) {
                EXPECT_EQ(reinterpret_cast<uintptr_t>(v[i].raw) % 8, 0u) << i;
            }
        int16_t small;
        std::memcpy(&small, v[1].raw, 2);
        EXPECT_EQ(small, row);
    }
    // A column left unconverted in a row is NULL, and an index beyond the row fails.
    conv.beginRow(2);
    ASSERT_EQ(conv.convert(0, Int(1).get(), IntDesc(4), true), 0);
    EXPECT_TRUE(conv.values()[1].isNull);
    EXPECT_TRUE(failedWith(conv.convert(2, Int(1).get(), IntDesc(4), true),
                           "Internal error: column #3 beyond a row of 2 columns"));
    EXPECT_TRUE(failedWith(conv.convert(0, Int(1).get(), Desc(0, 99), true),
                           "Unsupported type 99 of column #1 'COL'"));
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

// What a bind function leaves in row 0, column 0 of a one-column batch: a kind letter and the
// value (integer, real as %g, text, bytes in hexadecimal), "N" for NULL, or where it fails, the
// error text (behind "set: " should it leave a value).
template <typename Bind>
std::string bound(Bind&& bind) {
    DbIfRowBatch batch(1);
    batch.addRow();
    const int rc = bind(&batch);
    const dbif_cell_t& c = batch.row(0)[0];
    if (rc == -1) return (c.kind == dbif_kind::null ? "" : "set: ") + u8(errorText());
    if (rc != 0) return "rc " + std::to_string(rc);
    char real[32];
    snprintf(real, sizeof real, "%g", c.real);
    switch (c.kind) {
        case dbif_kind::null:
            return "N";
        case dbif_kind::integer:
            return "I " + std::to_string(c.integer);
        case dbif_kind::real:
            return std::string("R ") + real;
        case dbif_kind::bytes:
            return "B " + hexOf(Bytes(c.bytes, c.bytes + c.length));
        default:
            return (c.kind == dbif_kind::decimal ? "D " : "T ") +
                   u8(c.length ? std::u16string(c.text, c.length) : u"");
    }
}

std::string bindText(const char16_t* text, const ul_sqlfielddesc_t& d) {
    return bound([&](DbIfRowBatch* b) { return ul_sqlbindtext(b, 0, 0, text, d); });
}
std::string bindRaw(const Bytes& raw, const ul_sqlfielddesc_t& d) {
    return bound([&](DbIfRowBatch* b) {
        return ul_sqlbindraw(b, 0, 0, raw.empty() ? nullptr : raw.data(), raw.size(), d);
    });
}

TEST_F(ULSqlBase2Test, BindTextByDescription) {
    // clang-format off
    const std::tuple<ul_sqlfielddesc_t, const char16_t*, const char*> cases[] = {
        {IntDesc(4), u"42", "I 42"}, {IntDesc(4), u" -7 ", "I -7"}, {IntDesc(4), u"12.0", "I 12"},
        {IntDesc(4), u"x", "Invalid integer parameter value 'x'"},
        {IntDesc(4), u"1.5", "Invalid integer parameter value '1.5'"},
        {IntDesc(4), u"2147483648", "Value '2147483648' of parameter #1 does not fit type I(4)"},
        {IntDesc(8), u"-9223372036854775808", "I -9223372036854775808"},
        {IntDesc(8), u"9223372036854775808",
         "Value '9223372036854775808' of parameter #1 does not fit type I(8)"},
        {IntDesc(1), u"255", "I 255"},
        {IntDesc(1), u"-1", "Value '-1' of parameter #1 does not fit type I(1)"},
        {IntDesc(3), u"1", "Unsupported integer size 3"},
        {FloatDesc(), u"1.5", "R 1.5"},
        {FloatDesc(), u"abc", "Invalid floating point parameter value 'abc'"},
        {PackedDesc(5, 2), u"12.5", "D 12.50"}, {PackedDesc(5, 2), u"-0.004", "D 0.00"},
        {PackedDesc(5, 2), u"1000", "Value '1000' of parameter #1 does not fit type P(5)"},
        {PackedDesc(5, 2), u"1,5", "Invalid decimal parameter value '1,5'"},
        {DecimalDesc(), u"+0012.500", "D 12.5"}, {DecimalDesc(), u"1e3", "D 1000"},
        {DecFloatDesc(8), u"1.50", "D 1.5"}, {DecFloatDesc(16), u"-Infinity", "D -Infinity"},
        {DecFloatDesc(8), u"1E+385", "Converting decfloat number failed with 512"},
        {CharDesc(3), u"😀😀😀", "T 😀😀😀"}, {CharDesc(3), u"abcd", "Parameter 1 too long (4 > 3)"},
        {LongCharDesc(), u"abcd", "T abcd"}, {CharDesc(3), u"", "T "},
        {IntDesc(4), u"", "Invalid integer parameter value ''"}, {IntDesc(4), nullptr, "N"},
        {RawDesc(2), u"0aFF", "B 0AFF"},
        {RawDesc(2), u"0g", "Invalid hexadecimal parameter value '0g'"},
        {RawDesc(2), u"abc", "Invalid hexadecimal parameter value 'abc'"},
        {RawDesc(2), u"000102", "Parameter 1 too long (3 > 2)"},
        {BlobDesc(), u"000102", "B 000102"},
        {Desc(0, 99), u"1", "Parameter #1 of type <#99>(0) does not take text values"}};
    // clang-format on
    UL_SQLGlobalFlags &= ~UL_SQLFLAG_SQLINSERTEMPTYASNULL;
    for (const auto& [desc, text, expected] : cases) {
        SCOPED_TRACE(concat(text ? u8(text) : "NULL", " as ",
                            std::string(1, char(ul_sqlfldflag2char(desc)))));
        EXPECT_EQ(bindText(text, desc), expected);
    }
    // Empty values are NULL when asked for, also for numbers.
    UL_SQLGlobalFlags |= UL_SQLFLAG_SQLINSERTEMPTYASNULL;
    EXPECT_EQ(bindText(u"", CharDesc(3)), "N");
    EXPECT_EQ(bindText(u"", IntDesc(4)), "N");
}

TEST_F(ULSqlBase2Test, BindRawAndIntegerByDescription) {
    int32_t minus5 = -5;
    Bytes four(4);
    std::memcpy(four.data(), &minus5, 4);
    double half = 0.5;
    Bytes eight(8);
    std::memcpy(eight.data(), &half, 8);
    UL_SQLGlobalFlags |= UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
    // clang-format off
    const std::tuple<ul_sqlfielddesc_t, Bytes, const char*> raws[] = {
        {IntDesc(4), four, "I -5"},
        {IntDesc(1), four, "Value '-5' of parameter #1 does not fit type I(1)"},
        {IntDesc(4), Bytes(3), "Unsupported integer size 3"},
        {IntDesc(4), Bytes(), "N"},  // no bytes at all: NULL
        {FloatDesc(), eight, "R 0.5"},
        {FloatDesc(), four, "Parameter #1 of type F(8) does not take 4-byte values"},
        {PackedDesc(5, 2), hexBytes("01250D"), "D -12.50"},
        {PackedDesc(3, 2), hexBytes("01250D"),
         "Value '-12.50' of parameter #1 does not fit type P(3)"},
        {PackedDesc(5, 2), hexBytes("01250B"), "Invalid BCD number '01250B'"},
        {DecimalDesc(), unitBytes(u"012.50"), "D 12.5"},
        {DecimalDesc(), Bytes(3, '1'), "Parameter #1 of type N(0) does not take 3-byte values"},
        {DecFloatDesc(8), le64(0x31A000000000000Full), "D 1.5"},
        {DecFloatDesc(16), le64(1), "Invalid dec float len 8"},
        {CharDesc(2), unitBytes(u"ä😀"), "T ä😀"},
        {CharDesc(2), unitBytes(u"abc"), "Parameter 1 too long (3 > 2)"},
        {CharDesc(0), Bytes(3, 'a'), "Parameter #1 of type C(0) does not take 3-byte values"},
        {RawDesc(2), hexBytes("00FF"), "B 00FF"},
        {RawDesc(2), hexBytes("00FF00"), "Parameter 1 too long (3 > 2)"}};
    // clang-format on
    for (const auto& [desc, raw, expected] : raws) {
        SCOPED_TRACE(concat(hexOf(raw), " as ", std::string(1, char(ul_sqlfldflag2char(desc)))));
        EXPECT_EQ(bindRaw(raw, desc), expected);
    }
    EXPECT_EQ(bindRaw(Bytes(70000, 1), BlobDesc()), "B " + hexOf(Bytes(70000, 1)));
    // An empty raw value is an empty text, not NULL.
    static const unsigned char none = 0;
    EXPECT_EQ(bound([](DbIfRowBatch* b) { return ul_sqlbindraw(b, 0, 0, &none, 0, CharDesc(3)); }),
              "T ");
    UL_SQLGlobalFlags &= ~UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
    EXPECT_EQ(bindRaw(hexBytes("01250B"), PackedDesc(5, 2)), "D -12.50");

    // clang-format off
    const std::tuple<ul_sqlfielddesc_t, long, const char*> ints[] = {
        {IntDesc(4), 7, "I 7"}, {IntDesc(8), 1L << 40, "I 1099511627776"},
        {IntDesc(4), 1L << 40, "Value '1099511627776' of parameter #1 does not fit type I(4)"},
        {FloatDesc(), 3, "R 3"}, {PackedDesc(5, 2), 12, "D 12.00"},
        {PackedDesc(5, 2), 1000, "Value '1000' of parameter #1 does not fit type P(5)"},
        {DecimalDesc(), -12, "D -12"},
        {DecFloatDesc(8), 100, "D 1E+2"}, {CharDesc(3), 123, "T 123"},
        {CharDesc(3), -123, "Parameter 1 too long (4 > 3)"},
        {RawDesc(8), 1, "Parameter #1 of type R(8) does not take integer values"}};
    // clang-format on
    for (const auto& [desc, value, expected] : ints) {
        SCOPED_TRACE(value);
        EXPECT_EQ(bound([&](DbIfRowBatch* b) { return ul_sqlbindinteger(b, 0, 0, value, desc); }),
                  expected);
    }
}

}  // namespace

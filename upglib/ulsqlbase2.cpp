#include "ulsqlbase2.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// A decNumber carries DECNUMDIGITS coefficient digits in the structure itself; 34 digits hold
// every decimal128 value, so no decNumber here needs storage of its own.
#define DECNUMDIGITS 34
#include <decNumber.h>

#include "ulerror.h"
#include "ulsqlaux.h"
#include "ulstring.h"
#include "ulstring2.h"

// The interchange encodings of the decimal library. The platform's library encodes them as the
// compiler's native _Decimal64 and _Decimal128 do (binary integer decimal on x86-64, in host
// byte order). It installs no header for these entry points, so they are declared here.
extern "C" {
struct ul_decimal64_t {
    uint8_t bytes[8];
};
struct ul_decimal128_t {
    uint8_t bytes[16];
};
ul_decimal64_t* decimal64FromNumber(ul_decimal64_t* out, const decNumber* number, decContext* ctx);
decNumber* decimal64ToNumber(const ul_decimal64_t* value, decNumber* number);
ul_decimal128_t* decimal128FromNumber(ul_decimal128_t* out, const decNumber* number,
                                      decContext* ctx);
decNumber* decimal128ToNumber(const ul_decimal128_t* value, decNumber* number);
}

namespace {

// ---- field descriptions ---------------------------------------------------------------------

const char16_t* nameOf(const ul_sqlfielddesc_t& desc) {
    return desc.name ? desc.name : u"";
}

// Digits of a packed description: its digit field, or its length when that field is 0.
unsigned packedDigits(const ul_sqlfielddesc_t& desc) {
    unsigned digits = ul_sqlfielddigits(desc);
    return digits ? digits : desc.length;
}

// Bytes of a decimal floating-point description, 0 when the type is none.
unsigned decFloatLength(int type, const ul_sqlfielddesc_t& desc) {
    switch (type) {
        case DBIF_TYPE_DECFLOAT16:
            return 8;
        case DBIF_TYPE_DECFLOAT34:
            return 16;
        case 18:
            return desc.length;  // decimal floating point sized by the column
        default:
            return 0;
    }
}

bool isDecFloatType(int type) {
    return type >= DBIF_TYPE_DECFLOAT16 && type <= 18;
}

// "P(10)", "C(200)", "<#16>(8)": the type as messages show it.
std::u16string typeDisplay(const ul_sqlfielddesc_t& desc) {
    int type = ul_sqlfieldtype(desc);
    unsigned size = desc.length;
    if (type == DBIF_TYPE_PACKED) size = packedDigits(desc);
    if (type == DBIF_TYPE_FLOAT) size = 8;
    if (isDecFloatType(type)) size = decFloatLength(type, desc);
    char16_t letter = ul_sqlfldflag2char(desc);
    if (letter) return ul_format(u"%c(%u)", letter, size);
    return ul_format(u"<#%d>(%u)", type, size);
}

// ---- scratch storage ------------------------------------------------------------------------

// Narrow text handed to the decimal library and to engines. The tool is single-threaded; the
// buffer grows to the longest number seen and is then reused, so steady state allocates nothing.
std::string g_ascii;

// Aligned UTF-16 copies of raw parameter bytes and bytes decoded from hexadecimal text.
std::u16string g_units;
std::vector<unsigned char> g_bytes;

// ---- decimal text ---------------------------------------------------------------------------

enum class NumKind : uint8_t { finite, nan, infinity };

// A decimal number as written in a text, read in place: the coefficient is the digits before
// the point followed by those after it; `point` is the number of coefficient digits in front of
// the decimal point once the exponent is applied (it may be negative or beyond the digits).
struct DecimalView {
    NumKind kind = NumKind::finite;
    bool negative = false;
    const char16_t* intDigits = nullptr;
    int64_t intLen = 0;
    const char16_t* fracDigits = nullptr;
    int64_t fracLen = 0;
    int64_t point = 0;
    int64_t first = 0;  // index of the first non-zero coefficient digit
    int64_t last = -1;  // index of the last one; last < first: the value is zero

    bool isZero() const { return last < first; }
    // Coefficient digit k; 0 outside the coefficient, so any position can be asked for.
    unsigned digit(int64_t k) const {
        if (k < first || k > last) return 0;
        return k < intLen ? unsigned(intDigits[k] - u'0') : unsigned(fracDigits[k - intLen] - u'0');
    }
};

// Exponents beyond this are rejected; it keeps every position computation far from overflow.
constexpr int64_t kMaxExponent = 999999999;
// Longest plain decimal text produced (a larger exponent would blow a value up to megabytes).
constexpr int64_t kMaxDecimalText = 1 << 18;

bool equalsIgnoreCase(const char16_t* p, const char16_t* end, const char* word) {
    for (; *word; ++word, ++p)
        if (p == end || (*p | 0x20) != *word) return false;
    return p == end;
}

// Reads [blanks] [+|-] (digits [. [digits]] | . digits) [(e|E) [+|-] digits] [blanks], or NaN,
// Inf, Infinity in any case with an optional sign.
bool parseDecimal(const char16_t* text, size_t length, DecimalView* v) {
    *v = DecimalView();
    const char16_t* p = text;
    const char16_t* end = text + length;
    while (p < end && ul_isspace(*p)) ++p;
    while (end > p && ul_isspace(end[-1])) --end;
    if (p < end && (*p == u'-' || *p == u'+')) v->negative = *p++ == u'-';
    if (equalsIgnoreCase(p, end, "nan")) {
        v->kind = NumKind::nan;
        return true;
    }
    if (equalsIgnoreCase(p, end, "inf") || equalsIgnoreCase(p, end, "infinity")) {
        v->kind = NumKind::infinity;
        return true;
    }
    v->intDigits = p;
    while (p < end && ul_isdigit(*p)) ++p;
    v->intLen = p - v->intDigits;
    if (p < end && *p == u'.') {
        v->fracDigits = ++p;
        while (p < end && ul_isdigit(*p)) ++p;
        v->fracLen = p - v->fracDigits;
    }
    if (v->intLen + v->fracLen == 0) return false;
    int64_t exponent = 0;
    if (p < end && (*p == u'e' || *p == u'E')) {
        ++p;
        bool negativeExponent = false;
        if (p < end && (*p == u'-' || *p == u'+')) negativeExponent = *p++ == u'-';
        if (p == end || !ul_isdigit(*p)) return false;
        for (; p < end && ul_isdigit(*p); ++p) {
            exponent = exponent * 10 + (*p - u'0');
            if (exponent > kMaxExponent) return false;
        }
        if (negativeExponent) exponent = -exponent;
    }
    if (p != end) return false;
    v->point = v->intLen + exponent;
    // First and last non-zero digit; a zero keeps first > last.
    int64_t k = 0;
    while (k < v->intLen && v->intDigits[k] == u'0') ++k;
    if (k == v->intLen)
        while (k < v->intLen + v->fracLen && v->fracDigits[k - v->intLen] == u'0') ++k;
    v->first = k;
    k = v->intLen + v->fracLen - 1;
    while (k >= v->intLen && k >= v->first && v->fracDigits[k - v->intLen] == u'0') --k;
    if (k < v->intLen)
        while (k >= v->first && v->intDigits[k] == u'0') --k;
    v->last = k;
    if (v->last < v->first) {
        v->first = 0;
        v->last = -1;
    }
    return true;
}

// Length of the plain text that writeNormalised gives.
int64_t normalisedLength(const DecimalView& v) {
    if (v.kind == NumKind::nan) return 3;
    if (v.kind == NumKind::infinity) return v.negative ? 9 : 8;
    if (v.isZero()) return 1;
    int64_t sign = v.negative ? 1 : 0;
    if (v.point <= v.first) return sign + 2 + (v.last - v.point + 1);
    int64_t length = sign + (std::max(v.point, v.last + 1) - v.first);
    if (v.last >= v.point) ++length;  // the point
    return length;
}

// The plain form of a number: no "+", no exponent, no leading zeros before the point except a
// single "0", no trailing zeros after it, and zero without a sign. NaN and infinities are
// "NaN", "Infinity" and "-Infinity".
template <typename Put>
void writeNormalised(const DecimalView& v, Put&& put) {
    auto word = [&put](const char* s) {
        for (; *s; ++s) put(char16_t(*s));
    };
    if (v.kind == NumKind::nan) return word("NaN");
    if (v.kind == NumKind::infinity) return word(v.negative ? "-Infinity" : "Infinity");
    if (v.isZero()) return put(u'0');
    if (v.negative) put(u'-');
    if (v.point <= v.first) {
        word("0.");
        for (int64_t k = v.point; k <= v.last; ++k) put(char16_t(u'0' + v.digit(k)));
        return;
    }
    for (int64_t k = v.first; k < v.point; ++k) put(char16_t(u'0' + v.digit(k)));
    if (v.last < v.point) return;
    put(u'.');
    for (int64_t k = v.point; k <= v.last; ++k) put(char16_t(u'0' + v.digit(k)));
}

enum class Fit : uint8_t { ok, invalid, overflow };

// The exact integer of a view: invalid for NaN, infinities and values with a fraction.
Fit decimalToInt64(const DecimalView& v, int64_t* value) {
    if (v.kind != NumKind::finite) return Fit::invalid;
    if (v.isZero()) {
        *value = 0;
        return Fit::ok;
    }
    if (v.last >= v.point) return Fit::invalid;
    if (v.point - v.first > 19) return Fit::overflow;
    uint64_t magnitude = 0;
    for (int64_t k = v.first; k < v.point; ++k) {
        unsigned d = v.digit(k);
        if (magnitude > (UINT64_MAX - d) / 10) return Fit::overflow;
        magnitude = magnitude * 10 + d;
    }
    const uint64_t limit = uint64_t(INT64_MAX) + (v.negative ? 1 : 0);
    if (magnitude > limit) return Fit::overflow;
    *value = v.negative ? -int64_t(magnitude - 1) - 1 : int64_t(magnitude);
    return Fit::ok;
}

// ---- numbers to text ------------------------------------------------------------------------

// Decimal digits of an integer, for the text form and for parsing through a view.
size_t integerChars(int64_t value, char* buf) {
    return size_t(std::to_chars(buf, buf + 24, value).ptr - buf);
}

// The shortest text that reads back as the same double; "inf", "-inf", "nan" for specials.
size_t shortestChars(double value, char* buf) {
    return size_t(std::to_chars(buf, buf + 32, value).ptr - buf);
}

// C's "%g" (six significant digits), without the locale and the format parsing of printf.
size_t floatChars(double value, char* buf) {
    return size_t(std::to_chars(buf, buf + 32, value, std::chars_format::general, 6).ptr - buf);
}

void widen(const char* s, size_t n, char16_t* out) {
    for (size_t k = 0; k < n; ++k) out[k] = char16_t(static_cast<unsigned char>(s[k]));
}

// Parses a cell that carries a number (integer, real, decimal or text) into a view. `units`
// backs the view for integer and real cells and must outlive it. False for bytes and text that
// is no number.
bool cellToView(const dbif_cell_t& cell, char16_t (&units)[40], DecimalView* v) {
    char buf[40];
    size_t n;
    switch (cell.kind) {
        case dbif_kind::integer:
            n = integerChars(cell.integer, buf);
            break;
        case dbif_kind::real:
            n = shortestChars(cell.real, buf);
            break;
        case dbif_kind::decimal:
        case dbif_kind::text:
            return parseDecimal(cell.text, cell.length, v);
        default:
            return false;
    }
    widen(buf, n, units);
    return parseDecimal(units, n, v);
}

// Reads a double from text (surrounding blanks and a "+" allowed); false when it is no number
// or out of the double range.
bool textToDouble(const char16_t* text, size_t length, double* value) {
    const char16_t* p = text;
    const char16_t* end = text + length;
    while (p < end && ul_isspace(*p)) ++p;
    while (end > p && ul_isspace(end[-1])) --end;
    if (p < end && *p == u'+') ++p;
    g_ascii.clear();
    for (; p < end; ++p) {
        if (*p > 0x7F) return false;
        g_ascii.push_back(char(*p));
    }
    if (g_ascii.empty()) return false;
    auto result = std::from_chars(g_ascii.data(), g_ascii.data() + g_ascii.size(), *value);
    return result.ec == std::errc() && result.ptr == g_ascii.data() + g_ascii.size();
}

// ---- packed decimals ------------------------------------------------------------------------

unsigned nibble(const unsigned char* packed, unsigned j) {
    return j & 1 ? packed[j / 2] & 0x0F : packed[j / 2] >> 4;
}

void setNibble(unsigned char* packed, unsigned j, unsigned value) {
    if (j & 1)
        packed[j / 2] = static_cast<unsigned char>((packed[j / 2] & 0xF0) | value);
    else
        packed[j / 2] = static_cast<unsigned char>((packed[j / 2] & 0x0F) | (value << 4));
}

// Writes v as ul_sqlpackedlength(digits) bytes scaled to `decimals`, rounding half away from
// zero. A zero result is always positive (sign 0xC).
Fit decimalToPacked(const DecimalView& v, unsigned digits, unsigned decimals, unsigned char* out) {
    if (v.kind != NumKind::finite) return Fit::invalid;
    const unsigned length = ul_sqlpackedlength(digits);
    const unsigned nibbles = 2 * length - 1;  // digits, plus a leading zero when digits is even
    const int64_t integerDigits = int64_t(digits) - decimals;
    if (!v.isZero() && v.point - v.first > integerDigits) return Fit::overflow;
    std::memset(out, 0, length);
    bool zero = true;
    if (!v.isZero()) {
        // Coefficient digit k lands in nibble k + shift (nibble j weighs
        // 10^(nibbles-1-j-decimals)).
        const int64_t shift = int64_t(nibbles) - decimals - v.point;
        const int64_t from = std::max(v.first, -shift);
        const int64_t to = std::min(v.last, int64_t(nibbles) - 1 - shift);
        for (int64_t k = from; k <= to; ++k) {
            unsigned d = v.digit(k);
            if (d) zero = false;
            setNibble(out, unsigned(k + shift), d);
        }
    }
    if (v.digit(v.point + decimals) >= 5) {
        zero = false;
        const unsigned top = nibbles - digits;
        unsigned j = nibbles;
        for (;;) {
            if (j == top) return Fit::overflow;
            --j;
            unsigned d = nibble(out, j) + 1;
            setNibble(out, j, d == 10 ? 0 : d);
            if (d != 10) break;
        }
    }
    setNibble(out, nibbles, v.negative && !zero ? 0xD : 0xC);
    return Fit::ok;
}

// Text length of a packed number as packedToText writes it.
size_t packedTextLength(unsigned length, unsigned decimals) {
    size_t digits = 2 * size_t(length) - 1;
    size_t integerDigits = digits > decimals ? digits - decimals : 1;
    return 1 + integerDigits + (decimals ? 1 + decimals : 0);
}

// Checks digits and sign of a packed number: 0xC and 0xD, and unless strict also 0xA, 0xE, 0xF
// (positive) and 0xB (negative). Sets *negative.
bool packedValid(const unsigned char* packed, unsigned length, bool strict, bool* negative) {
    if (length == 0) return false;
    const unsigned nibbles = 2 * length - 1;
    for (unsigned j = 0; j < nibbles; ++j)
        if (nibble(packed, j) > 9) return false;
    unsigned sign = nibble(packed, nibbles);
    if (sign < 0xA || (strict && sign != 0xC && sign != 0xD)) return false;
    *negative = sign == 0xB || sign == 0xD;
    return true;
}

// The text of a valid packed number: "-" for a negative sign nibble (zero included), the
// integer digits without leading zeros (at least "0"), and "." with `decimals` digits.
template <typename Put>
void writePacked(const unsigned char* packed, unsigned length, unsigned decimals, bool negative,
                 Put&& put) {
    const unsigned nibbles = 2 * length - 1;
    if (negative) put(u'-');
    unsigned integerDigits = nibbles > decimals ? nibbles - decimals : 0;
    unsigned j = 0;
    while (j + 1 < integerDigits && nibble(packed, j) == 0) ++j;
    if (integerDigits == 0) put(u'0');
    for (; j < integerDigits; ++j) put(char16_t(u'0' + nibble(packed, j)));
    if (!decimals) return;
    put(u'.');
    for (unsigned k = nibbles - integerDigits; k < decimals; ++k) put(u'0');
    for (j = integerDigits; j < nibbles; ++j) put(char16_t(u'0' + nibble(packed, j)));
}

void setBcdError(const unsigned char* packed, unsigned length) {
    std::u16string hex;
    static const char16_t kHex[] = u"0123456789ABCDEF";
    for (unsigned k = 0; k < length; ++k) {
        hex.push_back(kHex[packed[k] >> 4]);
        hex.push_back(kHex[packed[k] & 0x0F]);
    }
    ul_errorsetmsgfmt(0, u"Invalid BCD number '%s'", hex.c_str());
}

bool packedDescValid(unsigned digits, unsigned decimals) {
    return digits >= 1 && digits <= 0xFFFF && decimals <= digits;
}

// ---- decimal floating point -----------------------------------------------------------------

decContext decFloatContext(unsigned length) {
    decContext ctx;
    decContextDefault(&ctx, length == 8 ? DEC_INIT_DECIMAL64 : DEC_INIT_DECIMAL128);
    return ctx;
}

// Conditions that make a conversion fail; rounding to the format's precision and underflow
// towards zero are accepted as the databases accept them.
constexpr uint32_t kDecFloatErrors =
    DEC_Conversion_syntax | DEC_Overflow | DEC_Insufficient_storage | DEC_Invalid_context;

void decodeDecFloat(const unsigned char* value, unsigned length, decNumber* number) {
    if (length == 8) {
        ul_decimal64_t d;
        std::memcpy(d.bytes, value, 8);
        decimal64ToNumber(&d, number);
    } else {
        ul_decimal128_t d;
        std::memcpy(d.bytes, value, 16);
        decimal128ToNumber(&d, number);
    }
}

// Encodes the canonical form of a number: NaN without sign and payload, zero without sign, and
// the coefficient without trailing zeros, so that equal values give equal bytes.
void encodeDecFloat(const decNumber& number, unsigned length, unsigned char* out) {
    decContext ctx = decFloatContext(length);
    decNumber canonical;
    if (decNumberIsNaN(&number)) {
        decNumberZero(&canonical);
        canonical.bits = DECNAN;
    } else if (decNumberIsInfinite(&number)) {
        decNumberCopy(&canonical, &number);
    } else {
        decNumberReduce(&canonical, &number, &ctx);
        if (decNumberIsZero(&canonical)) canonical.bits &= uint8_t(~DECNEG);
    }
    if (length == 8) {
        ul_decimal64_t d;
        decimal64FromNumber(&d, &canonical, &ctx);
        std::memcpy(out, d.bytes, 8);
    } else {
        ul_decimal128_t d;
        decimal128FromNumber(&d, &canonical, &ctx);
        std::memcpy(out, d.bytes, 16);
    }
}

// The scientific string of the reduced value; buf holds at least 64 characters.
size_t decFloatChars(const unsigned char* value, unsigned length, char* buf) {
    decNumber number;
    decodeDecFloat(value, length, &number);
    if (decNumberIsSpecial(&number)) {
        decNumberToString(&number, buf);
    } else {
        decContext ctx = decFloatContext(length);
        decNumber reduced;
        decNumberReduce(&reduced, &number, &ctx);
        decNumberToString(&reduced, buf);
    }
    return std::strlen(buf);
}

// Rounds a view to the format (half even) and encodes it. Returns the decimal library's status
// when it holds an error, else 0.
uint32_t viewToDecFloat(const DecimalView& v, unsigned length, unsigned char* out) {
    g_ascii.clear();
    if (v.kind == NumKind::nan) {
        g_ascii.append("NaN");
    } else if (v.kind == NumKind::infinity) {
        g_ascii.append(v.negative ? "-Inf" : "Inf");
    } else if (v.isZero()) {
        g_ascii.push_back('0');
    } else {
        if (v.negative) g_ascii.push_back('-');
        for (int64_t k = v.first; k <= v.last; ++k) g_ascii.push_back(char('0' + v.digit(k)));
        char exponent[24];
        g_ascii.push_back('E');
        g_ascii.append(exponent, integerChars(v.point - 1 - v.last, exponent));
    }
    decContext ctx = decFloatContext(length);
    decNumber number;
    decNumberFromString(&number, g_ascii.c_str(), &ctx);
    if (ctx.status & kDecFloatErrors) return ctx.status & kDecFloatErrors;
    encodeDecFloat(number, length, out);
    return 0;
}

// ---- UTF-8 and UTF-16 -----------------------------------------------------------------------

// Characters of UTF-16 text: a surrogate pair counts once.
size_t codePoints(const char16_t* text, size_t length) {
    size_t count = length;
    for (size_t k = 1; k < length; ++k)
        if (text[k] >= 0xDC00 && text[k] <= 0xDFFF && text[k - 1] >= 0xD800 &&
            text[k - 1] <= 0xDBFF)
            --count;
    return count;
}

// Strict UTF-8 decoding (no overlong forms, no surrogates, nothing above U+10FFFF).
template <typename Put>
bool decodeUtf8(const unsigned char* s, size_t length, Put&& put) {
    for (size_t k = 0; k < length;) {
        unsigned char lead = s[k];
        if (lead < 0x80) {
            put(char16_t(lead));
            ++k;
            continue;
        }
        unsigned extra;
        char32_t cp, min;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1, cp = lead & 0x1F, min = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, cp = lead & 0x0F, min = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, cp = lead & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (k + extra >= length) return false;
        for (unsigned e = 1; e <= extra; ++e) {
            if ((s[k + e] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[k + e] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(char16_t(0xD800 + (cp >> 10)));
            put(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            put(char16_t(cp));
        }
        k += extra + 1;
    }
    return true;
}

// UTF-8 of UTF-16 text; an unpaired surrogate becomes U+FFFD.
template <typename Put>
void encodeUtf8(const char16_t* text, size_t length, Put&& put) {
    for (size_t k = 0; k < length; ++k) {
        char32_t cp = text[k];
        if (cp >= 0xD800 && cp <= 0xDBFF && k + 1 < length && text[k + 1] >= 0xDC00 &&
            text[k + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++k] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            put((unsigned char)cp);
        } else if (cp < 0x800) {
            put((unsigned char)(0xC0 | (cp >> 6)));
            put((unsigned char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            put((unsigned char)(0xE0 | (cp >> 12)));
            put((unsigned char)(0x80 | ((cp >> 6) & 0x3F)));
            put((unsigned char)(0x80 | (cp & 0x3F)));
        } else {
            put((unsigned char)(0xF0 | (cp >> 18)));
            put((unsigned char)(0x80 | ((cp >> 12) & 0x3F)));
            put((unsigned char)(0x80 | ((cp >> 6) & 0x3F)));
            put((unsigned char)(0x80 | (cp & 0x3F)));
        }
    }
}

int hexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool integerFits(int64_t value, unsigned size) {
    switch (size) {
        case 1:
            return value >= 0 && value <= UINT8_MAX;
        case 2:
            return value >= INT16_MIN && value <= INT16_MAX;
        case 4:
            return value >= INT32_MIN && value <= INT32_MAX;
        default:
            return true;
    }
}

bool integerSizeValid(unsigned size) {
    return size == 1 || size == 2 || size == 4 || size == 8;
}

// ---- converter messages ---------------------------------------------------------------------

// A cell's value for a message, cut after 200 code units.
std::u16string cellForMessage(const dbif_cell_t& cell) {
    char buf[40];
    std::u16string out;
    switch (cell.kind) {
        case dbif_kind::null:
            return u"NULL";
        case dbif_kind::integer:
            for (size_t k = 0, n = integerChars(cell.integer, buf); k < n; ++k) out += buf[k];
            return out;
        case dbif_kind::real:
            for (size_t k = 0, n = shortestChars(cell.real, buf); k < n; ++k) out += buf[k];
            return out;
        case dbif_kind::decimal:
        case dbif_kind::text:
            out.assign(cell.text, std::min<size_t>(cell.length, 200));
            if (cell.length > 200) out += u"...";
            return out;
        case dbif_kind::bytes:
            out = u"0x";
            for (size_t k = 0; k < std::min<size_t>(cell.length, 100); ++k)
                out += ul_format(u"%02X", cell.bytes[k]);
            if (cell.length > 100) out += u"...";
            return out;
    }
    return out;
}

int notFit(unsigned i, const dbif_cell_t& cell, const ul_sqlfielddesc_t& desc) {
    ul_errorsetmsgfmt(0, u"Value '%s' of column #%d '%s' does not fit type %s",
                      cellForMessage(cell).c_str(), int(i + 1), nameOf(desc),
                      typeDisplay(desc).c_str());
    return UL_ERROR_RETURN(-1);
}

int tooLong(unsigned i, const ul_sqlfielddesc_t& desc, const char16_t* unit) {
    ul_errorsetmsgfmt(0, u"Value of column #%d '%s' is longer than %u %s", int(i + 1), nameOf(desc),
                      desc.length, unit);
    return UL_ERROR_RETURN(-1);
}

}  // namespace

// ---- descriptions ---------------------------------------------------------------------------

int ul_sqlfieldtype(const ul_sqlfielddesc_t& desc) {
    if (desc.dbifType >= 0) return desc.dbifType;
    const bool isLong = desc.flags & UL_SQLFLD_LONG;
    if (desc.flags & UL_SQLFLD_RAW) return isLong ? DBIF_TYPE_BLOB : DBIF_TYPE_RAW;
    if (desc.flags & UL_SQLFLD_INT) return DBIF_TYPE_INT;
    if (desc.flags & UL_SQLFLD_FLOAT) return DBIF_TYPE_FLOAT;
    if (!(desc.flags & UL_SQLFLD_DECIMAL)) return isLong ? DBIF_TYPE_LONGCHAR : DBIF_TYPE_CHAR;
    return DBIF_TYPE_DECIMAL;
}

char16_t ul_sqlfldflag2char(const ul_sqlfielddesc_t& desc) {
    switch (ul_sqlfieldtype(desc)) {
        case DBIF_TYPE_PACKED:
            return u'P';
        case DBIF_TYPE_FLOAT:
            return u'F';
        case DBIF_TYPE_INT:
            return u'I';
        case DBIF_TYPE_DECIMAL:
            return desc.flags & UL_SQLFLD_DECIMAL ? u'M' : u'N';
        case DBIF_TYPE_CHAR:
            return u'C';
        case DBIF_TYPE_LONGCHAR:
            return u'L';
        case DBIF_TYPE_BLOB:
            return u'B';
        case DBIF_TYPE_RAW:
            return u'R';
        default:
            return 0;
    }
}

ul_sqlfielddesc_t ul_sqlfieldfromcolumn(const dbif_coldesc_t& col) {
    ul_sqlfielddesc_t desc{col.name.c_str(), UL_SQLFLD_CHAR, col.type, 0, col.length};
    switch (col.type) {
        case DBIF_TYPE_INT:
            desc.flags = UL_SQLFLD_INT;
            if (!desc.length) desc.length = 8;  // an engine's integer without size is 64 bits
            break;
        case DBIF_TYPE_FLOAT:
            desc.flags = UL_SQLFLD_FLOAT;
            desc.length = 8;
            break;
        case DBIF_TYPE_RAW:
            desc.flags = UL_SQLFLD_RAW;
            break;
        case DBIF_TYPE_BLOB:
            desc.flags = UL_SQLFLD_RAW | UL_SQLFLD_LONG;
            break;
        case DBIF_TYPE_LONGCHAR:
            desc.flags = UL_SQLFLD_LONG;
            break;
        case DBIF_TYPE_PACKED:
            desc.digitsDecimals = (col.length & 0xFFFF) | (col.decimals << 16);
            break;
        case DBIF_TYPE_DECFLOAT16:
            desc.length = 8;
            break;
        case DBIF_TYPE_DECFLOAT34:
            desc.length = 16;
            break;
        default:
            break;
    }
    return desc;
}

// ---- packed decimals ------------------------------------------------------------------------

int ul_sqlpackedtotext(const unsigned char* packed, unsigned length, unsigned decimals,
                       char16_t* out, size_t size, bool strict) {
    bool negative = false;
    if (!packedValid(packed, length, strict, &negative)) {
        setBcdError(packed, length);
        return UL_ERROR_RETURN(-1);
    }
    size_t need = packedTextLength(length, decimals) + 1;
    if (need > size) {
        ul_errorsetmsgfmt(0, u"Packed number text needs %zu characters, buffer has %zu", need,
                          size);
        return UL_ERROR_RETURN(-1);
    }
    size_t n = 0;
    writePacked(packed, length, decimals, negative, [&](char16_t c) { out[n++] = c; });
    out[n] = 0;
    return int(n);
}

int ul_sqltexttopacked(const char16_t* text, size_t textLength, unsigned digits, unsigned decimals,
                       unsigned char* out, unsigned length) {
    if (!packedDescValid(digits, decimals)) {
        ul_errorsetmsgfmt(0, u"Invalid packed number of %u digits with %u decimals", digits,
                          decimals);
        return UL_ERROR_RETURN(-1);
    }
    unsigned need = ul_sqlpackedlength(digits);
    if (need > length) {
        ul_errorsetmsgfmt(0, u"Packed number of %u digits needs %u bytes, buffer has %u", digits,
                          need, length);
        return UL_ERROR_RETURN(-1);
    }
    DecimalView v;
    Fit fit = parseDecimal(text, textLength, &v) ? decimalToPacked(v, digits, decimals, out)
                                                 : Fit::invalid;
    if (fit == Fit::ok) return int(need);
    std::u16string value(text, textLength);
    if (fit == Fit::invalid)
        ul_errorsetmsgfmt(0, u"Invalid decimal number '%s'", value.c_str());
    else
        ul_errorsetmsgfmt(0,
                          u"Value '%s' does not fit a packed number of %u digits with %u decimals",
                          value.c_str(), digits, decimals);
    return UL_ERROR_RETURN(-1);
}

// ---- decimal floating point -----------------------------------------------------------------

int ul_sqldecfloatinit() {
    // decContextTestEndian returns 0 when the library's byte order matches the platform's.
    if (decContextTestEndian(1) != 0) {
        ul_errorsetmsg(0, u"Cannot initialize DEC float library");
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ul_sqldecfloattotext(const unsigned char* value, unsigned length, char16_t* out, size_t size) {
    if (length != 8 && length != 16) {
        ul_errorsetmsgfmt(0, u"Invalid dec float len %d", int(length));
        return UL_ERROR_RETURN(-1);
    }
    char buf[64];
    size_t n = decFloatChars(value, length, buf);
    if (n + 1 > size) {
        ul_errorsetmsgfmt(0, u"Decfloat text needs %zu characters, buffer has %zu", n + 1, size);
        return UL_ERROR_RETURN(-1);
    }
    widen(buf, n, out);
    out[n] = 0;
    return int(n);
}

int ul_sqltexttodecfloat(const char16_t* text, size_t textLength, unsigned length,
                         unsigned char* out) {
    if (length != 8 && length != 16) {
        ul_errorsetmsgfmt(0, u"Invalid dec float len %d", int(length));
        return UL_ERROR_RETURN(-1);
    }
    DecimalView v;
    uint32_t status = parseDecimal(text, textLength, &v) ? viewToDecFloat(v, length, out)
                                                         : uint32_t(DEC_Conversion_syntax);
    if (status) {
        ul_errorsetmsgfmt(0, u"Converting decfloat number failed with %d", int(status));
        return UL_ERROR_RETURN(-1);
    }
    return int(length);
}

int ul_sqldecfloatcompare(const unsigned char* a, const unsigned char* b, unsigned length) {
    if (length != 8 && length != 16) {
        ul_errorsetmsgfmt(0, u"Invalid dec float len %d", int(length));
        return UL_ERROR_RETURN(-2);
    }
    decNumber x, y, result;
    decodeDecFloat(a, length, &x);
    decodeDecFloat(b, length, &y);
    decContext ctx = decFloatContext(16);
    decNumberCompare(&result, &x, &y, &ctx);
    if (decNumberIsNaN(&result)) return -2;
    if (decNumberIsZero(&result)) return 0;
    return decNumberIsNegative(&result) ? -1 : 1;
}

// ---- the value converter --------------------------------------------------------------------

namespace {

// Where one value is written: raw bytes (8-byte aligned) and, when wanted, its zero-terminated
// text. Both buffers only grow; appending reuses their capacity.
class ValueSink {
  public:
    using RawBuffer = ULSQLValueConverter::RawBuffer;
    ValueSink(RawBuffer& raw, std::u16string& text) : raw_(raw), text_(text) {
        raw_.resize((raw_.size() + 7) & ~size_t(7));
        rawOffset = raw_.size();
    }
    unsigned char* rawSpace(size_t n) {
        raw_.resize(rawOffset + n);
        return raw_.data() + rawOffset;
    }
    void rawBytes(const void* data, size_t n) {
        if (n) std::memcpy(rawSpace(n), data, n);
    }
    void rawByte(unsigned char b) { raw_.push_back(b); }
    size_t rawSize() const { return raw_.size() - rawOffset; }

    void beginText() { textOffset = text_.size(); }
    // Room for at most n more units of the text; commit() then says how many were written.
    char16_t* textSpace(size_t n) {
        size_t at = text_.size();
        text_.resize(at + n);
        return text_.data() + at;
    }
    void commit(const char16_t* end) { text_.resize(size_t(end - text_.data())); }
    void putUnits(const char16_t* s, size_t n) { text_.append(s, n); }
    void putAscii(const char* s, size_t n) { widen(s, n, textSpace(n)); }
    // The units written since beginText, not terminated yet.
    const char16_t* textUnits() const { return text_.data() + textOffset; }
    size_t textLength() const { return text_.size() - textOffset; }
    void endText() { text_.push_back(0); }
    void dropText() {
        text_.resize(textOffset);
        textOffset = SIZE_MAX;
    }

    size_t rawOffset;
    size_t textOffset = SIZE_MAX;

  private:
    RawBuffer& raw_;
    std::u16string& text_;
};

int convertInteger(unsigned i, const dbif_cell_t& cell, const ul_sqlfielddesc_t& desc,
                   bool withText, ValueSink& sink) {
    const unsigned size = desc.length;
    if (!integerSizeValid(size)) {
        ul_errorsetmsgfmt(0, u"Unsupported integer size %d", int(size));
        return UL_ERROR_RETURN(-1);
    }
    int64_t value = 0;
    if (cell.kind == dbif_kind::integer) {
        value = cell.integer;
    } else if (cell.kind == dbif_kind::real) {
        // Exactly representable integral doubles only; 2^63 itself is out of range.
        double r = cell.real;
        if (!std::isfinite(r) || std::trunc(r) != r || r < -9223372036854775808.0 ||
            r >= 9223372036854775808.0)
            return notFit(i, cell, desc);
        value = int64_t(r);
    } else {
        DecimalView v;
        char16_t units[40];
        if (!cellToView(cell, units, &v) || decimalToInt64(v, &value) != Fit::ok)
            return notFit(i, cell, desc);
    }
    if (!integerFits(value, size)) return notFit(i, cell, desc);
    unsigned char* raw = sink.rawSpace(size);
    switch (size) {
        case 1:
            *raw = uint8_t(value);
            break;
        case 2: {
            int16_t x = int16_t(value);
            std::memcpy(raw, &x, 2);
            break;
        }
        case 4: {
            int32_t x = int32_t(value);
            std::memcpy(raw, &x, 4);
            break;
        }
        default:
            std::memcpy(raw, &value, 8);
            break;
    }
    if (withText) {
        char buf[24];
        sink.beginText();
        sink.putAscii(buf, integerChars(value, buf));
        sink.endText();
    }
    return 0;
}

int convertFloat(unsigned i, const dbif_cell_t& cell, const ul_sqlfielddesc_t& desc, bool withText,
                 ValueSink& sink) {
    double value;
    switch (cell.kind) {
        case dbif_kind::integer:
            value = double(cell.integer);
            break;
        case dbif_kind::real:
            value = cell.real;
            break;
        case dbif_kind::decimal:
        case dbif_kind::text:
            if (!textToDouble(cell.text, cell.length, &value)) return notFit(i, cell, desc);
            break;
        default:
            return notFit(i, cell, desc);
    }
    // Engines compare -0.0 equal to 0.0, and SQLite stores it as 0.0: one value, one form.
    if (value == 0) value = 0;
    sink.rawBytes(&value, 8);
    if (withText) {
        char buf[32];
        sink.beginText();
        sink.putAscii(buf, floatChars(value, buf));
        sink.endText();
    }
    return 0;
}

int convertPacked(unsigned i, const dbif_cell_t& cell, const ul_sqlfielddesc_t& desc, bool withText,
                  ValueSink& sink) {
    const unsigned digits = packedDigits(desc);
    const unsigned decimals = ul_sqlfielddecimals(desc);
    if (!packedDescValid(digits, decimals)) {
        ul_errorsetmsgfmt(0,
                          u"Invalid packed description of column #%d '%s': %u digits, %u decimals",
                          int(i + 1), nameOf(desc), digits, decimals);
        return UL_ERROR_RETURN(-1);
    }
    const unsigned length = ul_sqlpackedlength(digits);
    bool negative = false;
    if (cell.kind == dbif_kind::bytes) {
        // Packed bytes as an engine may deliver them: checked, then passed on as they are.
        const bool strict = UL_SQLGlobalFlags & UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
        if (cell.length != length) return notFit(i, cell, desc);
        if (!packedValid(cell.bytes, length, strict, &negative)) {
            setBcdError(cell.bytes, length);
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Value of column #%d '%s'", int(i + 1), nameOf(desc));
            return UL_ERROR_RETURN(-1);
        }
        sink.rawBytes(cell.bytes, length);
    } else {
        DecimalView v;
        char16_t units[40];
        unsigned char* raw = sink.rawSpace(length);
        if (!cellToView(cell, units, &v) || decimalToPacked(v, digits, decimals, raw) != Fit::ok)
            return notFit(i, cell, desc);
        negative = nibble(raw, 2 * length - 1) == 0xD;
    }
    if (withText) {
        const unsigned char* raw = sink.rawSpace(length);
        sink.beginText();
        char16_t* p = sink.textSpace(packedTextLength(length, decimals));
        writePacked(raw, length, decimals, negative, [&p](char16_t c) { *p++ = c; });
        sink.commit(p);
        sink.endText();
    }
    return 0;
}

int convertDecimal(unsigned i, const dbif_cell_t& cell, const ul_sqlfielddesc_t& desc,
                   bool withText, ValueSink& sink) {
    DecimalView v;
    char16_t units[40];
    if (!cellToView(cell, units, &v) || normalisedLength(v) > kMaxDecimalText)
        return notFit(i, cell, desc);
    sink.beginText();
    char16_t* p = sink.textSpace(size_t(normalisedLength(v)));
    writeNormalised(v, [&p](char16_t c) { *p++ = c; });
    sink.commit(p);
    sink.rawBytes(sink.textUnits(), sink.textLength() * sizeof(char16_t));
    if (withText)
        sink.endText();
    else
        sink.dropText();
    return 0;
}

int convertDecFloat(unsigned i, const dbif_cell_t& cell, const ul_sqlfielddesc_t& desc,
                    unsigned length, bool withText, ValueSink& sink) {
    if (length != 8 && length != 16) {
        ul_errorsetmsgfmt(0, u"Invalid dec float len %d", int(length));
        return UL_ERROR_RETURN(-1);
    }
    unsigned char* raw = sink.rawSpace(length);
    if (cell.kind == dbif_kind::bytes) {
        if (cell.length != length) return notFit(i, cell, desc);
        decNumber number;
        decodeDecFloat(cell.bytes, length, &number);
        encodeDecFloat(number, length, raw);
    } else {
        DecimalView v;
        char16_t units[40];
        if (!cellToView(cell, units, &v)) return notFit(i, cell, desc);
        uint32_t status = viewToDecFloat(v, length, raw);
        if (status) {
            notFit(i, cell, desc);
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Converting decfloat number failed with %d",
                              int(status));
            return UL_ERROR_RETURN(-1);
        }
    }
    if (withText) {
        char buf[64];
        size_t n = decFloatChars(raw, length, buf);
        sink.beginText();
        sink.putAscii(buf, n);
        sink.endText();
    }
    return 0;
}

int convertChar(unsigned i, const dbif_cell_t& cell, const ul_sqlfielddesc_t& desc, bool bounded,
                bool withText, ValueSink& sink) {
    if (cell.kind == dbif_kind::text) {
        // Taken as it is: the bytes straight from the cell, the text only when wanted.
        if (bounded && desc.length > 0 && cell.length > desc.length &&
            codePoints(cell.text, cell.length) > desc.length)
            return tooLong(i, desc, u"characters");
        sink.rawBytes(cell.text, cell.length * sizeof(char16_t));
        if (withText) {
            sink.beginText();
            sink.putUnits(cell.text, cell.length);
            sink.endText();
        }
        return 0;
    }
    sink.beginText();
    DecimalView v;
    char16_t units[40];
    char16_t* p = nullptr;
    auto put = [&p](char16_t c) { *p++ = c; };
    switch (cell.kind) {
        case dbif_kind::integer:
        case dbif_kind::real:
        case dbif_kind::decimal:
            // Numbers read as text take their plain decimal form, so that an engine's integer,
            // double or decimal of the same value gives the same text.
            if (!cellToView(cell, units, &v) || normalisedLength(v) > kMaxDecimalText) {
                sink.dropText();
                return notFit(i, cell, desc);
            }
            p = sink.textSpace(size_t(normalisedLength(v)));
            writeNormalised(v, put);
            sink.commit(p);
            break;
        case dbif_kind::bytes:
            // A UTF-8 byte never gives more than one UTF-16 unit.
            p = sink.textSpace(cell.length);
            if (!decodeUtf8(cell.bytes, cell.length, put)) {
                sink.dropText();
                ul_errorsetmsgfmt(0, u"Value of column #%d '%s' is not valid UTF-8", int(i + 1),
                                  nameOf(desc));
                return UL_ERROR_RETURN(-1);
            }
            sink.commit(p);
            break;
        case dbif_kind::text:  // taken above
        case dbif_kind::null:
            break;
    }
    const size_t units16 = sink.textLength();
    if (bounded && desc.length > 0 && units16 > desc.length &&
        codePoints(sink.textUnits(), units16) > desc.length) {
        sink.dropText();
        return tooLong(i, desc, u"characters");
    }
    sink.rawBytes(sink.textUnits(), units16 * sizeof(char16_t));
    if (withText)
        sink.endText();
    else
        sink.dropText();
    return 0;
}

int convertRaw(unsigned i, const dbif_cell_t& cell, const ul_sqlfielddesc_t& desc, bool bounded,
               ValueSink& sink) {
    if (cell.kind == dbif_kind::bytes)
        sink.rawBytes(cell.bytes, cell.length);
    else if (cell.kind == dbif_kind::text)
        encodeUtf8(cell.text, cell.length, [&sink](unsigned char b) { sink.rawByte(b); });
    else
        return notFit(i, cell, desc);
    if (bounded && desc.length > 0 && sink.rawSize() > desc.length)
        return tooLong(i, desc, u"bytes");
    return 0;
}

}  // namespace

void ULSQLValueConverter::RawBuffer::grow(size_t n) {
    const size_t capacity = std::max(n, 2 * capacity_ + 256);
    std::unique_ptr<uint64_t[]> words(new uint64_t[(capacity + 7) / 8]);
    if (size_) std::memcpy(words.get(), words_.get(), size_);
    words_ = std::move(words);
    capacity_ = capacity;
}

void ULSQLValueConverter::beginRow(unsigned ncols) {
    raw_.resize(1);  // raw pointers are never null, even for ""
    raw_.clear();
    text_.clear();
    slots_.resize(ncols);
    values_.resize(ncols);
    for (Slot& slot : slots_) slot = Slot{true, 0, 0, SIZE_MAX, 0, false};
}

int ULSQLValueConverter::convert(unsigned i, const dbif_cell_t& cell, const ul_sqlfielddesc_t& desc,
                                 bool withText) {
    if (i >= slots_.size()) {
        ul_errorsetmsgfmt(0, u"Internal error: column #%d beyond a row of %u columns", int(i + 1),
                          unsigned(slots_.size()));
        return UL_ERROR_RETURN(-1);
    }
    Slot& slot = slots_[i];
    slot = Slot{true, 0, 0, SIZE_MAX, 0, false};
    if (cell.kind == dbif_kind::null) return 0;
    ValueSink sink(raw_, text_);
    const int type = ul_sqlfieldtype(desc);
    int rc;
    switch (type) {
        case DBIF_TYPE_INT:
            rc = convertInteger(i, cell, desc, withText, sink);
            break;
        case DBIF_TYPE_FLOAT:
            rc = convertFloat(i, cell, desc, withText, sink);
            break;
        case DBIF_TYPE_PACKED:
            rc = convertPacked(i, cell, desc, withText, sink);
            break;
        case DBIF_TYPE_DECIMAL:
            rc = convertDecimal(i, cell, desc, withText, sink);
            break;
        case DBIF_TYPE_CHAR:
            rc = convertChar(i, cell, desc, true, withText, sink);
            break;
        case DBIF_TYPE_LONGCHAR:
            rc = convertChar(i, cell, desc, false, withText, sink);
            break;
        case DBIF_TYPE_RAW:
            rc = convertRaw(i, cell, desc, true, sink);
            break;
        case DBIF_TYPE_BLOB:
            rc = convertRaw(i, cell, desc, false, sink);
            break;
        default:
            if (isDecFloatType(type)) {
                rc = convertDecFloat(i, cell, desc, decFloatLength(type, desc), withText, sink);
                break;
            }
            ul_errorsetmsgfmt(0, u"Unsupported type %d of column #%d '%s'", type, int(i + 1),
                              nameOf(desc));
            return UL_ERROR_RETURN(-1);
    }
    if (rc < 0) return UL_ERROR_RETURN(-1);
    // Every conversion ends its text with the terminator.
    const size_t textLength = sink.textOffset == SIZE_MAX ? 0 : text_.size() - sink.textOffset - 1;
    const char16_t* text = text_.data() + (sink.textOffset == SIZE_MAX ? 0 : sink.textOffset);
    // Only character values can hold a NUL; numbers are written without one.
    const bool hasNul = (type == DBIF_TYPE_CHAR || type == DBIF_TYPE_LONGCHAR) &&
                        std::find(text, text + textLength, u'\0') != text + textLength;
    slot = Slot{false, sink.rawOffset, unsigned(sink.rawSize()), sink.textOffset, textLength,
                hasNul};
    return 0;
}

const ul_sqlvalue_t* ULSQLValueConverter::values() {
    for (size_t i = 0; i < slots_.size(); ++i) {
        const Slot& slot = slots_[i];
        ul_sqlvalue_t& value = values_[i];
        value.isNull = slot.isNull;
        value.raw = slot.isNull ? nullptr : raw_.data() + slot.rawOffset;
        value.rawLength = slot.isNull ? 0 : slot.rawLength;
        value.text =
            slot.isNull || slot.textOffset == SIZE_MAX ? nullptr : text_.data() + slot.textOffset;
        value.textLength = value.text ? slot.textLength : 0;
        value.textHasNul = value.text && slot.textHasNul;
    }
    return values_.data();
}

int ULSQLValueConverter::rowArrays(const unsigned char** raw, unsigned* lengths,
                                   const char16_t** texts, size_t* textLengths, unsigned n) {
    int firstNul = -1;
    unsigned char* rawBase = raw_.data();
    for (unsigned i = 0; i < n && i < slots_.size(); ++i) {
        const Slot& slot = slots_[i];
        const bool hasText = !slot.isNull && slot.textOffset != SIZE_MAX;
        raw[i] = slot.isNull ? nullptr : rawBase + slot.rawOffset;
        lengths[i] = slot.isNull ? 0 : slot.rawLength;
        texts[i] = hasText ? text_.data() + slot.textOffset : nullptr;
        textLengths[i] = hasText ? slot.textLength : 0;
        if (hasText && slot.textHasNul && firstNul < 0) firstNul = static_cast<int>(i);
    }
    return firstNul;
}

// ---- parameters -----------------------------------------------------------------------------

namespace {

int paramNotFit(unsigned col, const char16_t* text, size_t length, const ul_sqlfielddesc_t& desc) {
    ul_errorsetmsgfmt(0, u"Value '%s' of parameter #%d does not fit type %s",
                      std::u16string(text, length).c_str(), int(col + 1),
                      typeDisplay(desc).c_str());
    return UL_ERROR_RETURN(-1);
}

int paramTooLong(unsigned col, size_t length, unsigned limit) {
    ul_errorsetmsgfmt(0, u"Parameter %d too long (%lu > %lu)", int(col + 1),
                      static_cast<unsigned long>(length), static_cast<unsigned long>(limit));
    return UL_ERROR_RETURN(-1);
}

int unsupportedParam(unsigned col, const ul_sqlfielddesc_t& desc, const char16_t* form) {
    ul_errorsetmsgfmt(0, u"Parameter #%d of type %s does not take %s values", int(col + 1),
                      typeDisplay(desc).c_str(), form);
    return UL_ERROR_RETURN(-1);
}

void setAscii(DbIfRowBatch* batch, size_t row, unsigned col) {
    batch->setDecimal(row, col, g_ascii.data(), g_ascii.size());
}

// Binds a number given as text to a packed, decimal or decimal floating-point parameter: the
// engine receives the text of the value the description keeps (scaled packed text, plain
// decimal, reduced decimal floating point).
int bindNumberText(DbIfRowBatch* batch, size_t row, unsigned col, const char16_t* text,
                   size_t length, const ul_sqlfielddesc_t& desc) {
    const int type = ul_sqlfieldtype(desc);
    DecimalView v;
    if (!parseDecimal(text, length, &v)) {
        ul_errorsetmsgfmt(0, u"Invalid decimal parameter value '%s'",
                          std::u16string(text, length).c_str());
        return UL_ERROR_RETURN(-1);
    }
    g_ascii.clear();
    auto putAscii = [](char16_t c) { g_ascii.push_back(char(c)); };
    if (type == DBIF_TYPE_PACKED) {
        const unsigned digits = packedDigits(desc), decimals = ul_sqlfielddecimals(desc);
        if (!packedDescValid(digits, decimals)) {
            ul_errorsetmsgfmt(
                0, u"Invalid packed description of parameter #%d: %u digits, %u decimals",
                int(col + 1), digits, decimals);
            return UL_ERROR_RETURN(-1);
        }
        const unsigned packedLength = ul_sqlpackedlength(digits);
        g_bytes.resize(packedLength);
        if (decimalToPacked(v, digits, decimals, g_bytes.data()) != Fit::ok)
            return paramNotFit(col, text, length, desc);
        bool negative = nibble(g_bytes.data(), 2 * packedLength - 1) == 0xD;
        writePacked(g_bytes.data(), packedLength, decimals, negative, putAscii);
    } else if (type == DBIF_TYPE_DECIMAL) {
        if (normalisedLength(v) > kMaxDecimalText) return paramNotFit(col, text, length, desc);
        writeNormalised(v, putAscii);
    } else {
        const unsigned bytes = decFloatLength(type, desc);
        if (bytes != 8 && bytes != 16) {
            ul_errorsetmsgfmt(0, u"Invalid dec float len %d", int(bytes));
            return UL_ERROR_RETURN(-1);
        }
        unsigned char encoded[16];
        uint32_t status = viewToDecFloat(v, bytes, encoded);
        if (status) {
            ul_errorsetmsgfmt(0, u"Converting decfloat number failed with %d", int(status));
            return UL_ERROR_RETURN(-1);
        }
        char buf[64];
        g_ascii.assign(buf, decFloatChars(encoded, bytes, buf));
    }
    setAscii(batch, row, col);
    return 0;
}

int bindCharUnits(DbIfRowBatch* batch, size_t row, unsigned col, const char16_t* text,
                  size_t length, const ul_sqlfielddesc_t& desc, bool bounded) {
    if (bounded && desc.length > 0 && length > desc.length) {
        size_t characters = codePoints(text, length);
        if (characters > desc.length) return paramTooLong(col, characters, desc.length);
    }
    batch->setText(row, col, text, length);
    return 0;
}

// `text` is the value as the caller gave it, for the message.
int bindIntegerValue(DbIfRowBatch* batch, size_t row, unsigned col, int64_t value,
                     const char16_t* text, size_t length, const ul_sqlfielddesc_t& desc) {
    if (!integerSizeValid(desc.length)) {
        ul_errorsetmsgfmt(0, u"Unsupported integer size %d", int(desc.length));
        return UL_ERROR_RETURN(-1);
    }
    if (!integerFits(value, desc.length)) return paramNotFit(col, text, length, desc);
    batch->setInteger(row, col, value);
    return 0;
}

}  // namespace

int ul_sqlbindtext(DbIfRowBatch* batch, size_t row, unsigned col, const char16_t* text,
                   const ul_sqlfielddesc_t& desc) {
    if (!text || (!*text && (UL_SQLGlobalFlags & UL_SQLFLAG_SQLINSERTEMPTYASNULL))) {
        batch->setNull(row, col);
        return 0;
    }
    const size_t length = ul_strlen(text);
    const int type = ul_sqlfieldtype(desc);
    switch (type) {
        case DBIF_TYPE_INT: {
            DecimalView v;
            int64_t value = 0;
            Fit fit = parseDecimal(text, length, &v) ? decimalToInt64(v, &value) : Fit::invalid;
            if (fit == Fit::invalid) {
                ul_errorsetmsgfmt(0, u"Invalid integer parameter value '%s'", text);
                return UL_ERROR_RETURN(-1);
            }
            if (fit == Fit::overflow) return paramNotFit(col, text, length, desc);
            return bindIntegerValue(batch, row, col, value, text, length, desc);
        }
        case DBIF_TYPE_FLOAT: {
            double value;
            if (!textToDouble(text, length, &value)) {
                ul_errorsetmsgfmt(0, u"Invalid floating point parameter value '%s'", text);
                return UL_ERROR_RETURN(-1);
            }
            batch->setReal(row, col, value);
            return 0;
        }
        case DBIF_TYPE_PACKED:
        case DBIF_TYPE_DECIMAL:
            return bindNumberText(batch, row, col, text, length, desc);
        case DBIF_TYPE_CHAR:
            return bindCharUnits(batch, row, col, text, length, desc, true);
        case DBIF_TYPE_LONGCHAR:
            return bindCharUnits(batch, row, col, text, length, desc, false);
        case DBIF_TYPE_RAW:
        case DBIF_TYPE_BLOB: {
            // Binary parameters given as text are hexadecimal: two digits a byte.
            if (length % 2) {
                ul_errorsetmsgfmt(0, u"Invalid hexadecimal parameter value '%s'", text);
                return UL_ERROR_RETURN(-1);
            }
            g_bytes.resize(length / 2);
            for (size_t k = 0; k < length; k += 2) {
                int high = hexValue(text[k]), low = hexValue(text[k + 1]);
                if (high < 0 || low < 0) {
                    ul_errorsetmsgfmt(0, u"Invalid hexadecimal parameter value '%s'", text);
                    return UL_ERROR_RETURN(-1);
                }
                g_bytes[k / 2] = static_cast<unsigned char>(high << 4 | low);
            }
            if (type == DBIF_TYPE_RAW && desc.length > 0 && g_bytes.size() > desc.length)
                return paramTooLong(col, g_bytes.size(), desc.length);
            batch->setBytes(row, col, g_bytes.data(), g_bytes.size());
            return 0;
        }
        default:
            if (isDecFloatType(type)) return bindNumberText(batch, row, col, text, length, desc);
            return unsupportedParam(col, desc, u"text");
    }
}

int ul_sqlbindraw(DbIfRowBatch* batch, size_t row, unsigned col, const unsigned char* raw,
                  unsigned long length, const ul_sqlfielddesc_t& desc) {
    if (!raw) {
        batch->setNull(row, col);
        return 0;
    }
    const int type = ul_sqlfieldtype(desc);
    // Raw forms that carry UTF-16 text (character and decimal parameters) need whole units.
    auto units = [raw, length]() {
        g_units.resize(length / 2);
        if (length) std::memcpy(g_units.data(), raw, length & ~1ul);
    };
    switch (type) {
        case DBIF_TYPE_INT: {
            int64_t value;
            switch (length) {
                case 1:
                    value = raw[0];
                    break;
                case 2: {
                    int16_t x;
                    std::memcpy(&x, raw, 2);
                    value = x;
                    break;
                }
                case 4: {
                    int32_t x;
                    std::memcpy(&x, raw, 4);
                    value = x;
                    break;
                }
                case 8:
                    std::memcpy(&value, raw, 8);
                    break;
                default:
                    ul_errorsetmsgfmt(0, u"Unsupported integer size %d", int(length));
                    return UL_ERROR_RETURN(-1);
            }
            char buf[24];
            char16_t shown[24];
            const size_t n = integerChars(value, buf);
            widen(buf, n, shown);
            return bindIntegerValue(batch, row, col, value, shown, n, desc);
        }
        case DBIF_TYPE_FLOAT: {
            if (length != 8)
                return unsupportedParam(col, desc, ul_format(u"%lu-byte", length).c_str());
            double value;
            std::memcpy(&value, raw, 8);
            batch->setReal(row, col, value);
            return 0;
        }
        case DBIF_TYPE_PACKED: {
            const bool strict = UL_SQLGlobalFlags & UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
            bool negative = false;
            if (length > 0xFFFF || !packedValid(raw, unsigned(length), strict, &negative)) {
                setBcdError(raw, unsigned(std::min<unsigned long>(length, 64)));
                return UL_ERROR_RETURN(-1);
            }
            // Re-read through the description so that its digits bound the value.
            g_units.clear();
            writePacked(raw, unsigned(length), ul_sqlfielddecimals(desc), negative,
                        [](char16_t c) { g_units.push_back(c); });
            return bindNumberText(batch, row, col, g_units.data(), g_units.size(), desc);
        }
        case DBIF_TYPE_DECIMAL: {
            if (length % 2)
                return unsupportedParam(col, desc, ul_format(u"%lu-byte", length).c_str());
            units();
            return bindNumberText(batch, row, col, g_units.data(), g_units.size(), desc);
        }
        case DBIF_TYPE_CHAR:
        case DBIF_TYPE_LONGCHAR:
            if (length % 2)
                return unsupportedParam(col, desc, ul_format(u"%lu-byte", length).c_str());
            units();
            return bindCharUnits(batch, row, col, g_units.data(), g_units.size(), desc,
                                 type == DBIF_TYPE_CHAR);
        case DBIF_TYPE_RAW:
        case DBIF_TYPE_BLOB:
            if (type == DBIF_TYPE_RAW && desc.length > 0 && length > desc.length)
                return paramTooLong(col, length, desc.length);
            batch->setBytes(row, col, raw, length);
            return 0;
        default:
            if (isDecFloatType(type)) {
                const unsigned bytes = decFloatLength(type, desc);
                if (bytes != length) {
                    ul_errorsetmsgfmt(0, u"Invalid dec float len %d", int(length));
                    return UL_ERROR_RETURN(-1);
                }
                unsigned char canonical[16];
                decNumber number;
                decodeDecFloat(raw, bytes, &number);
                encodeDecFloat(number, bytes, canonical);
                char buf[64];
                g_ascii.assign(buf, decFloatChars(canonical, bytes, buf));
                setAscii(batch, row, col);
                return 0;
            }
            return unsupportedParam(col, desc, u"raw");
    }
}

int ul_sqlbindinteger(DbIfRowBatch* batch, size_t row, unsigned col, long value,
                      const ul_sqlfielddesc_t& desc) {
    char buf[24];
    const size_t n = integerChars(value, buf);
    char16_t text[24];
    widen(buf, n, text);
    text[n] = 0;
    const int type = ul_sqlfieldtype(desc);
    switch (type) {
        case DBIF_TYPE_INT:
            return bindIntegerValue(batch, row, col, value, text, n, desc);
        case DBIF_TYPE_FLOAT:
            batch->setReal(row, col, double(value));
            return 0;
        case DBIF_TYPE_PACKED:
        case DBIF_TYPE_DECIMAL:
            return bindNumberText(batch, row, col, text, n, desc);
        case DBIF_TYPE_CHAR:
            return bindCharUnits(batch, row, col, text, n, desc, true);
        case DBIF_TYPE_LONGCHAR:
            return bindCharUnits(batch, row, col, text, n, desc, false);
        default:
            if (isDecFloatType(type)) return bindNumberText(batch, row, col, text, n, desc);
            return unsupportedParam(col, desc, u"integer");
    }
}

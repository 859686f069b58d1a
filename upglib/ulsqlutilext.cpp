#include "ulsqlutilext.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "ulerror.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulstring.h"
#include "ulstring2.h"

namespace {

// Statements reach the rewrite hooks of the vendor databases with X'..' (which turn it into
// their own notation) and keep control characters in quotes; SQLite and PostgreSQL get forms
// they read directly. PostgreSQL's sessions run with standard_conforming_strings on, so a
// backslash inside quotes is an ordinary character.
const ul_sqlliteralform_t kForms[] = {
    {-1, u"X'", u"'", nullptr, nullptr},
    {UL_DBTYPE_SQLITE, u"X'", u"'", u"char(%d)", u" || "},
    {UL_DBTYPE_PGSQL, u"'\\x", u"'::bytea", u"chr(%d)", u" || "},
};

bool isHexDigit(char16_t c) {
    return ul_isdigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// A decimal number split into its parts: the significant digits without leading and trailing
// zeros, and the power of ten of the first of them.
struct Decimal {
    bool negative = false;
    std::u16string digits;  // empty: zero
    long exponent = 0;      // value = 0.d1d2d3... * 10^exponent
};

// Parses sign, digits with an optional point, and an optional exponent; nothing else.
bool parseNumber(const char16_t* text, Decimal* out) {
    const char16_t* p = text;
    Decimal d;
    if (*p == u'-' || *p == u'+') d.negative = *p++ == u'-';
    long pointPos = -1;
    long count = 0;  // digits read before the point and after it
    long leadingZeros = 0;
    bool any = false;
    for (;; ++p) {
        if (ul_isdigit(*p)) {
            any = true;
            if (d.digits.empty() && *p == u'0') {
                ++leadingZeros;
            } else {
                d.digits.push_back(*p);
            }
            ++count;
        } else if (*p == u'.' && pointPos < 0) {
            pointPos = count;
        } else {
            break;
        }
    }
    if (!any) return false;
    if (pointPos < 0) pointPos = count;
    long exponent = 0;
    if (*p == u'e' || *p == u'E') {
        ++p;
        bool negativeExponent = false;
        if (*p == u'-' || *p == u'+') negativeExponent = *p++ == u'-';
        if (!ul_isdigit(*p)) return false;
        for (; ul_isdigit(*p); ++p) {
            if (exponent < 100000000) exponent = exponent * 10 + (*p - u'0');
        }
        if (negativeExponent) exponent = -exponent;
    }
    if (*p) return false;
    while (!d.digits.empty() && d.digits.back() == u'0') d.digits.pop_back();
    if (d.digits.empty()) {
        d.negative = false;
        d.exponent = 0;
    } else {
        d.exponent = pointPos - leadingZeros + exponent;
    }
    *out = std::move(d);
    return true;
}

// Both sides non-zero.
int compareMagnitude(const Decimal& a, const Decimal& b) {
    if (a.exponent != b.exponent) return a.exponent < b.exponent ? -1 : 1;
    const int c = a.digits.compare(b.digits);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int compareDecimal(const Decimal& a, const Decimal& b) {
    const int signA = a.digits.empty() ? 0 : a.negative ? -1 : 1;
    const int signB = b.digits.empty() ? 0 : b.negative ? -1 : 1;
    if (signA != signB) return signA < signB ? -1 : 1;
    if (signA == 0) return 0;
    const int magnitude = compareMagnitude(a, b);
    return signA < 0 ? -magnitude : magnitude;
}

// The next code point of s (n code units) at *i (an unpaired surrogate stands for itself).
char32_t nextCodePoint(const char16_t* s, size_t n, size_t* i) {
    const char16_t c = s[(*i)++];
    if (c >= 0xD800 && c < 0xDC00 && *i < n && s[*i] >= 0xDC00 && s[*i] < 0xE000) {
        const char16_t low = s[(*i)++];
        return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (low - 0xDC00);
    }
    return c;
}

size_t lengthWithoutTrailingBlanks(std::u16string_view s) {
    size_t n = s.size();
    while (n > 0 && s[n - 1] == u' ') --n;
    return n;
}

bool isControl(char16_t c) {
    return c < 32;
}

void appendQuoted(std::u16string* out, std::u16string_view piece) {
    out->push_back(u'\'');
    for (char16_t c : piece) {
        if (c == u'\'') out->push_back(u'\'');
        out->push_back(c);
    }
    out->push_back(u'\'');
}

void appendString(std::u16string* out, std::u16string_view text, const ul_sqlliteralform_t* form) {
    const bool split = form->charFunction && std::any_of(text.begin(), text.end(), isControl);
    if (!split) {
        appendQuoted(out, text);
        return;
    }
    out->push_back(u'(');
    size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        if (!first) *out += form->concat;
        first = false;
        if (isControl(text[start])) {
            *out += ul_format(form->charFunction, static_cast<int>(text[start]));
            ++start;
            continue;
        }
        size_t end = start;
        while (end < text.size() && !isControl(text[end])) ++end;
        appendQuoted(out, text.substr(start, end - start));
        start = end;
    }
    out->push_back(u')');
}

int appendHex(std::u16string* out, std::u16string_view value, const ul_sqlliteralform_t* form) {
    const size_t n = value.size();
    if (n % 2 != 0 || !std::all_of(value.begin(), value.end(), isHexDigit)) {
        ul_errorsetmsgfmt(0, u"Invalid hexadecimal value '%s'", std::u16string(value).c_str());
        return UL_ERROR_RETURN(-1);
    }
    const bool zeroX = UL_SQLGlobalFlags & UL_SQLFLAG_HEXFORMAT0X;
    *out += zeroX ? u"0x" : form->hexPrefix;
    for (size_t i = 0; i < n; ++i) out->push_back(ul_chartoupper(value[i]));
    if (!zeroX) *out += form->hexSuffix;
    return 0;
}

// ---- reading --------------------------------------------------------------------------------

// Reads 'text' with doubled quotes at p; returns the position behind it or null.
const char16_t* readQuoted(const char16_t* p, std::u16string* value) {
    if (*p != u'\'') return nullptr;
    ++p;
    for (;;) {
        if (!*p) return nullptr;
        if (*p == u'\'') {
            if (p[1] != u'\'') return p + 1;
            ++p;
        }
        value->push_back(*p++);
    }
}

const char16_t* skipBlanks(const char16_t* p) {
    while (*p == u' ') ++p;
    return p;
}

// Reads hexadecimal digits up to the terminator character; null unless at least the
// terminator follows an even number of digits.
const char16_t* readHexDigits(const char16_t* p, char16_t terminator, std::u16string* value) {
    const char16_t* start = p;
    while (isHexDigit(*p)) value->push_back(ul_chartoupper(*p++));
    if ((p - start) % 2 != 0 || (terminator && *p != terminator)) return nullptr;
    return terminator ? p + 1 : p;
}

// chr(n) or char(n) at p.
const char16_t* readCharCall(const char16_t* p, std::u16string* value) {
    const char16_t* q = ul_stringstarticmp(p, u"chr(");
    if (!q) q = ul_stringstarticmp(p, u"char(");
    if (!q) return nullptr;
    long code = 0;
    const char16_t* digits = q;
    while (ul_isdigit(*q) && code < 0x10000) code = code * 10 + (*q++ - u'0');
    if (q == digits || *q != u')' || code >= 0x10000) return nullptr;
    value->push_back(static_cast<char16_t>(code));
    return q + 1;
}

// ( piece || piece ... ) with quoted pieces and character calls.
const char16_t* readConcatenation(const char16_t* p, std::u16string* value) {
    if (*p != u'(') return nullptr;
    p = skipBlanks(p + 1);
    for (;;) {
        const char16_t* next = *p == u'\'' ? readQuoted(p, value) : readCharCall(p, value);
        if (!next) return nullptr;
        p = skipBlanks(next);
        if (*p == u')') return p + 1;
        const char16_t* concat = ul_stringstartcmp(p, u"||");
        if (!concat) concat = ul_stringstartcmp(p, u"+");
        if (!concat) return nullptr;
        p = skipBlanks(concat);
    }
}

const char16_t* readNumber(const char16_t* p, std::u16string* value) {
    const char16_t* start = p;
    if (*p == u'-' || *p == u'+') ++p;
    const char16_t* digits = p;
    while (ul_isdigit(*p)) ++p;
    bool any = p != digits;
    if (*p == u'.') {
        digits = ++p;
        while (ul_isdigit(*p)) ++p;
        any = any || p != digits;
    }
    if (!any) return nullptr;
    if ((*p == u'e' || *p == u'E') &&
        (ul_isdigit(p[1]) || ((p[1] == u'-' || p[1] == u'+') && ul_isdigit(p[2])))) {
        p += 2;
        while (ul_isdigit(*p)) ++p;
    }
    value->assign(start, p);
    return p;
}

const char16_t* readHexLiteral(const char16_t* p, std::u16string* value) {
    if (const char16_t* q = ul_stringstarticmp(p, u"X'")) return readHexDigits(q, u'\'', value);
    if (const char16_t* q = ul_stringstarticmp(p, u"0x")) return readHexDigits(q, 0, value);
    if (const char16_t* q = ul_stringstarticmp(p, u"HEXTORAW('")) {
        q = readHexDigits(q, u'\'', value);
        return q && *q == u')' ? q + 1 : nullptr;
    }
    if (const char16_t* q = ul_stringstarticmp(p, u"decode('")) {
        q = readHexDigits(q, u'\'', value);
        return q ? ul_stringstarticmp(q, u", 'hex')") : nullptr;
    }
    if (const char16_t* q = ul_stringstartcmp(p, u"'\\x")) {
        q = readHexDigits(q, u'\'', value);
        return q ? ul_stringstarticmp(q, u"::bytea") : nullptr;
    }
    return nullptr;
}

}  // namespace

int ul_sqltokenclassfromtype(char16_t typeLetter) {
    switch (typeLetter) {
        case u'F':
        case u'I':
        case u'P':
            return UL_SQLTOKEN_NUMBER;
        case u'B':
        case u'R':
        case u'L':
            return UL_SQLTOKEN_HEXSTRING;
        case u'M':
        case u'N':
            return UL_SQLTOKEN_NUMC;
        default:
            return UL_SQLTOKEN_STRING;
    }
}

const ul_sqlliteralform_t* ul_sqlliteralform(int dbType) {
    for (const ul_sqlliteralform_t& form : kForms)
        if (form.dbType == dbType) return &form;
    return &kForms[0];
}

const ul_sqlliteralform_t* ul_sqlcurrentliteralform() {
    const ul_sqldbsupport_t* row = ul_sqlcurrentdbsupport();
    return ul_sqlliteralform(row ? row->type : -1);
}

int ul_sqlappendliteral(std::u16string* out, std::u16string_view value, int tokenClass,
                        const ul_sqlliteralform_t* form) {
    if (!form) form = ul_sqlliteralform(-1);
    switch (tokenClass) {
        case UL_SQLTOKEN_STRING:
        case UL_SQLTOKEN_NUMC:
            appendString(out, value, form);
            return 0;
        case UL_SQLTOKEN_HEXSTRING:
            return appendHex(out, value, form) < 0 ? UL_ERROR_RETURN(-1) : 0;
        case UL_SQLTOKEN_NUMBER: {
            const std::u16string text(value);
            Decimal ignored;
            if (text.find(u'\0') != std::u16string::npos || !parseNumber(text.c_str(), &ignored)) {
                ul_errorsetmsgfmt(0, u"Invalid numeric value '%s'", text.c_str());
                return UL_ERROR_RETURN(-1);
            }
            *out += value;
            return 0;
        }
        default:
            ul_errorsetmsgfmt(0, u"Invalid token class %d for value '%s'", tokenClass,
                              std::u16string(value).c_str());
            return UL_ERROR_RETURN(-1);
    }
}

int ul_sqlappendliteral(std::u16string* out, const char16_t* value, int tokenClass,
                        const ul_sqlliteralform_t* form) {
    return ul_sqlappendliteral(out, std::u16string_view(value ? value : u""), tokenClass, form);
}

int ul_sqlwriteliteral(char16_t* out, size_t size, const char16_t* value, int tokenClass,
                       const ul_sqlliteralform_t* form) {
    std::u16string text;
    if (ul_sqlappendliteral(&text, value, tokenClass, form) < 0) return UL_ERROR_RETURN(-1);
    if (text.size() >= size) {
        ul_errorsetmsgfmt(0, u"Literal of '%s' exceeds %zu characters", value, size - 1);
        return UL_ERROR_RETURN(-1);
    }
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = 0;
    return static_cast<int>(text.size());
}

size_t ul_sqlreadliteral(const char16_t* text, std::u16string* value, int* tokenClass) {
    value->clear();
    const char16_t* end = readHexLiteral(text, value);
    if (end) {
        *tokenClass = UL_SQLTOKEN_HEXSTRING;
        return static_cast<size_t>(end - text);
    }
    value->clear();
    end = *text == u'(' ? readConcatenation(text, value) : readQuoted(text, value);
    if (end) {
        *tokenClass = UL_SQLTOKEN_STRING;
        return static_cast<size_t>(end - text);
    }
    value->clear();
    end = readNumber(text, value);
    if (end) {
        *tokenClass = UL_SQLTOKEN_NUMBER;
        return static_cast<size_t>(end - text);
    }
    value->clear();
    return 0;
}

int ul_sqlrawvalue2string(char16_t* out, size_t size, const unsigned char* raw, unsigned length) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    if (size <= static_cast<size_t>(length) * 2) {
        ul_errorsetmsgfmt(0, u"Raw value of %u bytes exceeds %zu characters", length,
                          size ? size - 1 : 0);
        return UL_ERROR_RETURN(-1);
    }
    for (unsigned i = 0; i < length; ++i) {
        out[2 * i] = kDigits[raw[i] >> 4];
        out[2 * i + 1] = kDigits[raw[i] & 15];
    }
    out[2 * length] = 0;
    return static_cast<int>(2 * length);
}

int ul_sqlstringcompare(const char16_t* a, const char16_t* b) {
    if (!a || !b) return (a != nullptr) - (b != nullptr);
    return ul_sqlstringcompare(std::u16string_view(a), std::u16string_view(b));
}

int ul_sqlstringcompare(std::u16string_view a, std::u16string_view b) {
    const bool pad = UL_SQLGlobalFlags & UL_SQLFLAG_SQLSTRINGCOMPARE;
    const size_t na = pad ? lengthWithoutTrailingBlanks(a) : a.size();
    const size_t nb = pad ? lengthWithoutTrailingBlanks(b) : b.size();
    // Equal units decode alike, and below the surrogates a unit is its code point: the first
    // differing unit decides, unless it is a surrogate or beyond them.
    const size_t common = std::min(na, nb);
    size_t k = 0;
    while (k < common && a[k] == b[k]) ++k;
    if (k == common) return na == nb ? 0 : na < nb ? -1 : 1;
    if (a[k] < 0xD800 && b[k] < 0xD800) return a[k] < b[k] ? -1 : 1;
    size_t i = 0;
    size_t j = 0;
    while (i < na && j < nb) {
        const char32_t ca = nextCodePoint(a.data(), na, &i);
        const char32_t cb = nextCodePoint(b.data(), nb, &j);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (i < na) return 1;
    if (j < nb) return -1;
    return 0;
}

int ul_sqlnumbercompare(const char16_t* a, const char16_t* b) {
    Decimal da;
    Decimal db;
    const bool numberA = a && parseNumber(a, &da);
    const bool numberB = b && parseNumber(b, &db);
    if (numberA && numberB) return compareDecimal(da, db);
    if (numberA != numberB) return numberA ? -1 : 1;
    return ul_sqlstringcompare(a, b);
}

int ul_sqlnumccompare(const char16_t* a, const char16_t* b) {
    Decimal da;
    Decimal db;
    if (a && b && parseNumber(a, &da) && parseNumber(b, &db)) return compareDecimal(da, db);
    return ul_sqlstringcompare(a, b);
}

int ul_sqlvaluecompare(const char16_t* a, const char16_t* b, int tokenClass) {
    switch (tokenClass) {
        case UL_SQLTOKEN_NUMBER:
            return ul_sqlnumbercompare(a, b);
        case UL_SQLTOKEN_NUMC:
            return ul_sqlnumccompare(a, b);
        default:
            return ul_sqlstringcompare(a, b);
    }
}

int ul_sqlvaluecompare(std::u16string_view a, std::u16string_view b, int tokenClass) {
    if (tokenClass != UL_SQLTOKEN_NUMBER && tokenClass != UL_SQLTOKEN_NUMC)
        return ul_sqlstringcompare(a, b);
    // A number holds no NUL; text that does compares as text after every number.
    const bool nulA = a.find(u'\0') != a.npos;
    const bool nulB = b.find(u'\0') != b.npos;
    if (!nulA && !nulB)
        return ul_sqlvaluecompare(std::u16string(a).c_str(), std::u16string(b).c_str(), tokenClass);
    return ul_sqlstringcompare(a, b);
}

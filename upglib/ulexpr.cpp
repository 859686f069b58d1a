#include "ulexpr.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <string>

#include "ulerror.h"
#include "ulsqlbase2.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"
#include "ulvarlist.h"

unsigned ULExprCompiled::GlobalFlags = ULExprCompiled::DEFAULTFLAGS;

namespace {

// ---- operators ------------------------------------------------------------------------------

enum class OpId : uint8_t {
    DIV,
    MUL,
    MOD,
    SUB,
    ADD,
    EQ,
    NE,
    LE,
    GE,
    LT,
    GT,
    WILD,
    LIKE,
    NOTLIKE,
    IN,
    NOTIN,
    AND,
    OR,
    COLON,
    COND,
    COMMA,
    NOT
};

constexpr unsigned kBoth = 0;
constexpr unsigned kScript = ULExprCompiled::SCRIPTSTYLE;
constexpr unsigned kSql = ULExprCompiled::SQLSTYLE;
constexpr int kListArity = -1;

struct OpDef {
    const char16_t* text;  // a blank stands for any run of white space
    int arity;             // 1 prefix, 2 binary, 3 "?", kListArity "in", 0 separators
    int precedence;        // higher binds tighter
    unsigned family;       // grammar switch that enables it, kBoth for always
    OpId id;
};

// Searched in this order, the first match wins: "<=" before "<", "not like" before "not".
const OpDef kOperators[] = {
    {u"/", 2, 8, kBoth, OpId::DIV},         {u"*", 2, 8, kBoth, OpId::MUL},
    {u"%", 2, 8, kBoth, OpId::MOD},         {u"-", 2, 7, kBoth, OpId::SUB},
    {u"+", 2, 7, kBoth, OpId::ADD},         {u"==", 2, 6, kScript, OpId::EQ},
    {u"eq", 2, 6, kScript, OpId::EQ},       {u"=", 2, 6, kSql, OpId::EQ},
    {u"!=", 2, 6, kScript, OpId::NE},       {u"ne", 2, 6, kScript, OpId::NE},
    {u"<>", 2, 6, kSql, OpId::NE},          {u"<=", 2, 6, kBoth, OpId::LE},
    {u"le", 2, 6, kScript, OpId::LE},       {u">=", 2, 6, kBoth, OpId::GE},
    {u"ge", 2, 6, kScript, OpId::GE},       {u"<", 2, 6, kBoth, OpId::LT},
    {u"lt", 2, 6, kScript, OpId::LT},       {u">", 2, 6, kBoth, OpId::GT},
    {u"gt", 2, 6, kScript, OpId::GT},       {u"~=", 2, 6, kScript, OpId::WILD},
    {u"like", 2, 6, kSql, OpId::LIKE},      {u"not like", 2, 6, kSql, OpId::NOTLIKE},
    {u"in", kListArity, 6, kSql, OpId::IN}, {u"not in", kListArity, 6, kSql, OpId::NOTIN},
    {u"&&", 2, 5, kScript, OpId::AND},      {u"and", 2, 5, kSql, OpId::AND},
    {u"||", 2, 4, kScript, OpId::OR},       {u"or", 2, 4, kSql, OpId::OR},
    {u":", 0, 3, kBoth, OpId::COLON},       {u"?", 3, 2, kBoth, OpId::COND},
    {u",", 0, 1, kBoth, OpId::COMMA},       {u"!", 1, 10, kScript, OpId::NOT},
    {u"not", 1, 10, kSql, OpId::NOT},
};

const OpDef& opDef(OpId id) {
    for (const OpDef& op : kOperators)
        if (op.id == id) return op;
    return kOperators[0];
}

bool isLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}
bool isIdentStart(char16_t c) {
    return isLetter(c) || c == u'_';
}
bool isIdentChar(char16_t c) {
    return isIdentStart(c) || ul_isdigit(c);
}
char16_t asciiLower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
}

// Length of the operator text at p, or 0. Words match ignoring case and only as whole words.
size_t matchText(const char16_t* p, const char16_t* text) {
    const char16_t* q = p;
    for (const char16_t* t = text; *t; ++t) {
        if (*t == u' ') {
            if (!ul_isspace(*q)) return 0;
            while (ul_isspace(*q)) ++q;
            continue;
        }
        if (asciiLower(*q) != *t) return 0;
        ++q;
    }
    if (isLetter(text[0]) && isIdentChar(*q)) return 0;
    return size_t(q - p);
}

// The operator at p enabled by flags: a prefix one when prefix is set, else any other.
const OpDef* matchOperator(const char16_t* p, unsigned flags, bool prefix, size_t* length) {
    for (const OpDef& op : kOperators) {
        if (op.family != kBoth && !(flags & op.family)) continue;
        if ((op.arity == 1) != prefix || op.id == OpId::COMMA) continue;
        if (size_t n = matchText(p, op.text)) {
            *length = n;
            return &op;
        }
    }
    return nullptr;
}

bool isComparison(OpId id) {
    switch (id) {
        case OpId::EQ:
        case OpId::NE:
        case OpId::LE:
        case OpId::GE:
        case OpId::LT:
        case OpId::GT:
        case OpId::WILD:
        case OpId::LIKE:
        case OpId::NOTLIKE:
        case OpId::IN:
        case OpId::NOTIN:
        case OpId::AND:
        case OpId::OR:
        case OpId::NOT:
            return true;
        default:
            return false;
    }
}

// ---- values ---------------------------------------------------------------------------------

double numberOf(const ULExprValue& v) {
    return v.hasDouble() ? v.doubleValue : double(v.intValue);
}

// The integer part of d, false when it lies outside the 64-bit range (or is NaN).
bool truncToInt64(double d, int64_t* out) {
    if (!(d >= -0x1p63 && d < 0x1p63)) return false;
    *out = int64_t(d);
    return true;
}

// The text of a value for string operations and messages: its string, or its printed number,
// or nullText for the null value.
class ValueText {
  public:
    explicit ValueText(const ULExprValue& v, const char16_t* nullText = UL_EXPR_NULLTEXT) {
        if (v.hasString()) {
            text_ = v.string ? v.string : u"";
        } else if (v.isNull()) {
            text_ = nullText;
        } else {
            (void)v.print(buf_, sizeof buf_ / sizeof buf_[0]);  // a number always fits buf_
            text_ = buf_;
        }
    }
    const char16_t* get() const { return text_; }

  private:
    char16_t buf_[352];  // "%f" of the largest double takes 317 code units
    const char16_t* text_;
};

// Reads text as a number the way a numeric literal is read: it must begin (behind an optional
// sign) with a digit or a point and be accepted by the decimal floating-point reader; it gets
// an integer form too when it is a decimal integer. The error buffer is left as it was.
bool readNumber(const char16_t* text, size_t length, ULExprValue* out) {
    size_t k = length > 0 && (text[0] == u'-' || text[0] == u'+') ? 1 : 0;
    if (k >= length || !(ul_isdigit(text[k]) || text[k] == u'.')) return false;
    if (ul_isspace(text[length - 1])) return false;
    std::u16string saved = ul_errorgetmsg();
    unsigned char decimal[16];
    if (ul_sqltexttodecfloat(text, length, sizeof decimal, decimal) < 0) {
        ul_errorsetmsg(0, saved.c_str());
        return false;
    }
    // The reader accepted it, so the text is plain ASCII.
    std::string ascii(text, text + length);
    std::u16string copy(text, length);
    out->flags &= ~uint32_t(UL_EXPR_DOUBLE | UL_EXPR_INTEGER | UL_EXPR_BOOLEAN);
    out->flags |= UL_EXPR_DOUBLE;
    out->doubleValue = std::strtod(ascii.c_str(), nullptr);
    long integer;
    if (ul_stringtolong(copy.c_str(), &integer) == 0) {
        out->flags |= UL_EXPR_INTEGER;
        out->intValue = integer;
    }
    return true;
}

// A pooled string of length code units, filled by the caller.
char16_t* poolString(ul_strpool_t* pool, size_t length) {
    char16_t* s = pool->allocString(length + 1);
    if (s) s[length] = 0;
    return s;
}

int truthValue(const ULExprValue& v) {
    if (v.hasInteger()) return v.intValue != 0;
    if (v.hasDouble()) {
        UL_TRACE(UL_TRC_EXPR, 1, u"WARNING: Using double '%f' as logical value!\n", v.doubleValue);
        return v.doubleValue != 0;  // NaN is true
    }
    ul_errorsetmsgfmt(0, u"Cannot treat '%s' as boolean value", ValueText(v).get());
    return UL_ERROR_RETURN(-1);
}

// ---- arithmetic -----------------------------------------------------------------------------

int invalidOperation(OpId id, const ULExprValue& a, const ULExprValue& b) {
    const char16_t* format = id == OpId::SUB   ? u"Invalid operation '%s' - '%s'"
                             : id == OpId::DIV ? u"Invalid operation <%s> / <%s>"
                             : id == OpId::MOD ? u"Invalid operation '%s' %% '%s'"
                                               : u"Invalid operation '%s' * '%s'";
    ul_errorsetmsgfmt(0, format, ValueText(a).get(), ValueText(b).get());
    return UL_ERROR_RETURN(-1);
}

int concatenate(const ULExprValue& a, const ULExprValue& b, ul_strpool_t* pool, ULExprValue* r) {
    size_t na = ul_strlen(a.string), nb = ul_strlen(b.string);
    char16_t* s = poolString(pool, na + nb);
    if (!s) return UL_ERROR_RETURN(-1);
    std::copy(a.string, a.string + na, s);
    std::copy(b.string, b.string + nb, s + na);
    r->setString(s);
    return 0;
}

// "+", "-" and "*": integers stay integers unless the result overflows, then it is a double.
int arithmetic(OpId id, const ULExprValue& a, const ULExprValue& b, ul_strpool_t* pool,
               ULExprValue* r) {
    if (a.hasInteger() && b.hasInteger()) {
        int64_t x;
        bool overflow = id == OpId::ADD   ? __builtin_add_overflow(a.intValue, b.intValue, &x)
                        : id == OpId::SUB ? __builtin_sub_overflow(a.intValue, b.intValue, &x)
                                          : __builtin_mul_overflow(a.intValue, b.intValue, &x);
        if (!overflow) {
            r->setInteger(x);
            return 0;
        }
    }
    if (a.hasNumber() && b.hasNumber()) {
        double x = numberOf(a), y = numberOf(b);
        r->setDouble(id == OpId::ADD ? x + y : id == OpId::SUB ? x - y : x * y);
        return 0;
    }
    if (id != OpId::ADD) return invalidOperation(id, a, b);
    if (a.hasString() && b.hasString()) return concatenate(a, b, pool, r);
    r->setNull();  // a string and a number have no sum
    return 0;
}

// The double quotient together with its truncated integer; a zero divisor is invalid.
int divide(const ULExprValue& a, const ULExprValue& b, ULExprValue* r) {
    if (!a.hasNumber() || !b.hasNumber() || numberOf(b) == 0 || (b.hasInteger() && b.intValue == 0))
        return invalidOperation(OpId::DIV, a, b);
    int64_t integer;
    if (a.hasInteger() && b.hasInteger()) {
        r->setDouble(double(a.intValue) / double(b.intValue));
        if (a.intValue == INT64_MIN && b.intValue == -1) return 0;
        integer = a.intValue / b.intValue;
    } else {
        r->setDouble(numberOf(a) / numberOf(b));
        if (!truncToInt64(r->doubleValue, &integer)) return 0;
    }
    r->flags |= UL_EXPR_INTEGER;
    r->intValue = integer;
    return 0;
}

int remainder(const ULExprValue& a, const ULExprValue& b, ULExprValue* r) {
    if (!a.hasInteger() || !b.hasInteger() || b.intValue == 0)
        return invalidOperation(OpId::MOD, a, b);
    r->setInteger(b.intValue == -1 ? 0 : a.intValue % b.intValue);
    return 0;
}

bool wildMatch(const ULExprValue& object, const ULExprValue& pattern, int mode) {
    ValueText o(object, u""), p(pattern, u"");
    return ul_stringwildcmp(p.get(), o.get(), mode) > 0;
}

// Applies an operator to its n operands v.
int applyOperator(OpId id, const ULExprValue* v, int n, ul_strpool_t* pool, ULExprValue* r) {
    int t, u;
    switch (id) {
        case OpId::ADD:
        case OpId::SUB:
        case OpId::MUL:
            return arithmetic(id, v[0], v[1], pool, r);
        case OpId::DIV:
            return divide(v[0], v[1], r);
        case OpId::MOD:
            return remainder(v[0], v[1], r);
        case OpId::EQ:
            r->setBoolean(compare_value(v[0], v[1]) == 0);
            return 0;
        case OpId::NE:
            r->setBoolean(compare_value(v[0], v[1]) != 0);
            return 0;
        case OpId::LE:
            r->setBoolean(compare_value(v[0], v[1]) <= 0);
            return 0;
        case OpId::GE:
            r->setBoolean(compare_value(v[0], v[1]) >= 0);
            return 0;
        case OpId::LT:
            r->setBoolean(compare_value(v[0], v[1]) < 0);
            return 0;
        case OpId::GT:
            r->setBoolean(compare_value(v[0], v[1]) > 0);
            return 0;
        case OpId::WILD:
            r->setBoolean(wildMatch(v[0], v[1], 0));
            return 0;
        case OpId::LIKE:
        case OpId::NOTLIKE:
            r->setBoolean(wildMatch(v[0], v[1], UL_WILD_SQL | UL_WILD_FULL) == (id == OpId::LIKE));
            return 0;
        case OpId::IN:
        case OpId::NOTIN: {
            bool found = false;
            for (int k = 1; k < n && !found; ++k) found = compare_value(v[0], v[k]) == 0;
            r->setBoolean(found == (id == OpId::IN));
            return 0;
        }
        case OpId::AND:
        case OpId::OR:
            if ((t = truthValue(v[0])) < 0 || (u = truthValue(v[1])) < 0)
                return UL_ERROR_RETURN(-1);
            r->setBoolean(id == OpId::AND ? t && u : t || u);
            return 0;
        case OpId::NOT:
            if ((t = truthValue(v[0])) < 0) return UL_ERROR_RETURN(-1);
            r->setBoolean(!t);
            return 0;
        case OpId::COND:
            if ((t = truthValue(v[0])) < 0) return UL_ERROR_RETURN(-1);
            *r = t ? v[1] : v[2];
            return 0;
        default:
            break;
    }
    ul_errorsetmsgfmt(0, u"Invalid operator %d", int(id));
    return UL_ERROR_RETURN(-1);
}

// ---- built-in functions ---------------------------------------------------------------------

int invalidArgument(const ULExprValue& v, const char16_t* function) {
    ul_errorsetmsgfmt(0, u"Invalid argument '%s' for function '%s'", ValueText(v).get(), function);
    return UL_ERROR_RETURN(-1);
}

bool toInteger(const ULExprValue& v, int64_t* out) {
    if (v.hasInteger()) {
        *out = v.intValue;
        return true;
    }
    ULExprValue number;
    const ULExprValue* n = &v;
    if (!v.hasDouble()) {
        if (!v.hasString() || !readNumber(v.string, ul_strlen(v.string), &number)) return false;
        if (number.hasInteger()) {
            *out = number.intValue;
            return true;
        }
        n = &number;
    }
    return truncToInt64(n->doubleValue, out);
}

bool toDouble(const ULExprValue& v, double* out) {
    ULExprValue number;
    if (!v.hasNumber()) {
        if (!v.hasString() || !readNumber(v.string, ul_strlen(v.string), &number)) return false;
        *out = number.doubleValue;
        return true;
    }
    *out = numberOf(v);
    return true;
}

using BuiltinFn = int (*)(const char16_t* name, const ULExprValue* args, int n, ul_strpool_t* pool,
                          ULExprValue* r);

int fnMinMax(const char16_t* name, const ULExprValue* args, int n, ul_strpool_t*, ULExprValue* r) {
    const int sign = name[1] == u'i' ? -1 : 1;  // "min" or "max"
    int best = 0;
    for (int k = 1; k < n; ++k)
        if (compare_value(args[k], args[best]) * sign > 0) best = k;
    *r = args[best];
    return 0;
}

int fnCeil(const char16_t* name, const ULExprValue* args, int, ul_strpool_t*, ULExprValue* r) {
    const ULExprValue& v = args[0];
    // A value whose double is its integer (a literal such as 7) is already whole.
    if (v.hasInteger() && (!v.hasDouble() || v.doubleValue == double(v.intValue))) {
        *r = v;
        return 0;
    }
    if (!v.hasDouble()) return invalidArgument(v, name);
    r->setDouble(std::ceil(v.doubleValue));
    int64_t integer;
    if (truncToInt64(r->doubleValue, &integer)) {
        r->flags |= UL_EXPR_INTEGER;
        r->intValue = integer;
    }
    return 0;
}

int fnSqrt(const char16_t* name, const ULExprValue* args, int, ul_strpool_t*, ULExprValue* r) {
    if (!args[0].hasNumber()) return invalidArgument(args[0], name);
    r->setDouble(std::sqrt(numberOf(args[0])));
    return 0;
}

int fnCase(const char16_t* name, const ULExprValue* args, int, ul_strpool_t* pool, ULExprValue* r) {
    ValueText t(args[0], u"");
    size_t n = ul_strlen(t.get());
    char16_t* s = poolString(pool, n);
    if (!s) return UL_ERROR_RETURN(-1);
    std::copy(t.get(), t.get() + n, s);
    r->setString(name[0] == u'u' ? ul_string2upper(s) : ul_string2lower(s));
    return 0;
}

int fnInt(const char16_t* name, const ULExprValue* args, int, ul_strpool_t*, ULExprValue* r) {
    int64_t value;
    if (!toInteger(args[0], &value)) return invalidArgument(args[0], name);
    r->setInteger(value);
    return 0;
}

int fnFloat(const char16_t* name, const ULExprValue* args, int, ul_strpool_t*, ULExprValue* r) {
    double value;
    if (!toDouble(args[0], &value)) return invalidArgument(args[0], name);
    r->setDouble(value);
    return 0;
}

int fnSubstr(const char16_t* name, const ULExprValue* args, int, ul_strpool_t* pool,
             ULExprValue* r) {
    int64_t position, length;
    if (!toInteger(args[1], &position)) return invalidArgument(args[1], name);
    if (!toInteger(args[2], &length)) return invalidArgument(args[2], name);
    ValueText t(args[0], u"");
    const size_t total = ul_strlen(t.get());
    const size_t start = position <= 1 ? 0 : std::min(size_t(position - 1), total);
    const size_t n = length <= 0 ? 0 : std::min(size_t(length), total - start);
    char16_t* s = poolString(pool, n);
    if (!s || ul_stringsubstr(s, n + 1, t.get(), start, n) < 0) return UL_ERROR_RETURN(-1);
    r->setString(s);
    return 0;
}

int fnStrReplace(const char16_t*, const ULExprValue* args, int, ul_strpool_t* pool,
                 ULExprValue* r) {
    ValueText text(args[0], u""), search(args[1], u""), replacement(args[2], u"");
    const size_t nt = ul_strlen(text.get()), ns = ul_strlen(search.get());
    const size_t nr = ul_strlen(replacement.get());
    size_t count = 0;
    if (ns > 0)
        for (const char16_t* p = text.get(); (p = ul_strstr(p, search.get())); p += ns) ++count;
    const size_t size = std::max(nt, nt - count * ns + count * nr) + 1;
    char16_t* s = poolString(pool, size - 1);
    if (!s) return UL_ERROR_RETURN(-1);
    ul_strlcpy(s, text.get(), size);
    if (ns > 0 && ul_stringreplace(s, size, search.get(), replacement.get(), 0) < 0)
        return UL_ERROR_RETURN(-1);
    r->setString(s);
    return 0;
}

int fnStrStr(const char16_t*, const ULExprValue* args, int, ul_strpool_t*, ULExprValue* r) {
    ValueText text(args[0], u""), search(args[1], u"");
    r->setBoolean(ul_strstr(text.get(), search.get()) != nullptr);
    return 0;
}

struct Builtin {
    const char16_t* name;
    int minArgs;
    int maxArgs;
    BuiltinFn fn;
    bool boolean;  // the result is always a boolean
};

const Builtin KnownFunctions[] = {
    {u"min", 1, UL_EXPR_MAXARGS, fnMinMax, false},
    {u"max", 1, UL_EXPR_MAXARGS, fnMinMax, false},
    {u"ceil", 1, 1, fnCeil, false},
    {u"sqrt", 1, 1, fnSqrt, false},
    {u"upper", 1, 1, fnCase, false},
    {u"lower", 1, 1, fnCase, false},
    {u"int", 1, 1, fnInt, false},
    {u"float", 1, 1, fnFloat, false},
    {u"substr", 3, 3, fnSubstr, false},
    {u"strreplace", 3, 3, fnStrReplace, false},
    {u"strstr", 2, 2, fnStrStr, true},
};

int findBuiltin(const char16_t* name, int argc) {
    for (size_t k = 0; k < sizeof KnownFunctions / sizeof KnownFunctions[0]; ++k) {
        const Builtin& b = KnownFunctions[k];
        if (ul_strcmp(b.name, name) == 0 && argc >= b.minArgs && argc <= b.maxArgs) return int(k);
    }
    return -1;
}

// ---- sorted "in" lists ----------------------------------------------------------------------

// Which comparison compare_value uses between two values of the same kind.
enum class Kind : uint8_t { none, integer, number, string };

Kind kindOf(const ULExprValue& v) {
    if (v.hasInteger()) return Kind::integer;
    if (v.hasDouble()) return std::isnan(v.doubleValue) ? Kind::none : Kind::number;
    return v.hasString() ? Kind::string : Kind::none;
}

}  // namespace

// ==== ULExprValue ===========================================================================

void ULExprValue::setInteger(int64_t value) {
    *this = ULExprValue();
    flags = UL_EXPR_INTEGER;
    intValue = value;
}

void ULExprValue::setDouble(double value) {
    *this = ULExprValue();
    flags = UL_EXPR_DOUBLE;
    doubleValue = value;
}

void ULExprValue::setBoolean(bool value) {
    setInteger(value ? 1 : 0);
    flags |= UL_EXPR_BOOLEAN;
}

void ULExprValue::setString(const char16_t* text) {
    *this = ULExprValue();
    flags = UL_EXPR_STRING;
    string = text ? text : u"";
}

int ULExprValue::setText(const char16_t* text, ul_strpool_t* pool, int textFlags) {
    const char16_t* copy = pool->dupString(text ? text : u"");
    if (!copy) return UL_ERROR_RETURN(-1);
    setString(copy);
    if (textFlags & UL_EXPR_TEXT_NUMBER) {
        if (ul_guarded([&] {
                readNumber(copy, ul_strlen(copy), this);
                return 0;
            }) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULExprValue::print(char16_t* buffer, size_t size) const {
    int length;
    if (hasString()) {
        length = int(ul_strlcpy(buffer, string ? string : u"", size));
    } else if (hasDouble()) {
        length = ul_sprintf(buffer, size, u"%f", doubleValue);
    } else if (hasInteger()) {
        length = ul_sprintf(buffer, size, u"%ld", long(intValue));
    } else {
        length = int(ul_strlcpy(buffer, UL_EXPR_NULLTEXT, size));
    }
    if (length < 0 || size_t(length) >= size) {
        ul_errorsetmsgfmt(0, u"Output buffer for expression evaluation too small %lu >= %d",
                          (unsigned long)(length < 0 ? 0 : length), int(size));
        return UL_ERROR_RETURN(-1);
    }
    return length;
}

int compare_value(const ULExprValue& a, const ULExprValue& b) {
    if (a.hasInteger() && b.hasInteger())
        return (a.intValue > b.intValue) - (a.intValue < b.intValue);
    if (a.hasNumber() && b.hasNumber()) {
        double x = numberOf(a), y = numberOf(b);
        return (x > y) - (x < y);
    }
    int c = ul_strcmp(ValueText(a, u"").get(), ValueText(b, u"").get());
    return (c > 0) - (c < 0);
}

int ul_exprunresolved(const char16_t* name, int argc) {
    if (argc < 0)
        ul_errorsetmsgfmt(0, u"Identifier '%s' cannot be resolved", name);
    else
        ul_errorsetmsgfmt(0, u"Function '%s' with %d arguments cannot be resolved", name, argc);
    return UL_ERROR_RETURN(-1);
}

const char16_t* ul_exprcodename(ULExprOp op) {
    static const char16_t* const names[] = {
        u"PUSHCONST", u"PUSHFUNCNAME", u"FUNCTIONCALL",   u"FUNCTIONCALLVOL", u"OPERATOR",
        u"JUMP",      u"JUMPIFFALSE",  u"OPTIMIZEIFTRUE", u"OPTIMIZEIFFALSE", u"OPTIMIZEDINVALUE",
    };
    size_t k = size_t(op);
    return k < sizeof names / sizeof names[0] ? names[k] : u"?";
}

// ==== ULExprCompiled ========================================================================

struct ULExprCompiled::Impl {
    // Constants and everything folded from them; small blocks, as most expressions are short.
    ul_strpool_t constPool{1024};
    // Strings of evaluations that were given no pool.
    ul_strpool_t scratch{1024};
    std::vector<ULExprValue> consts;
    std::vector<std::vector<ULExprValue>> sets;  // sorted "in" lists
    std::u16string text;

    void reset() {
        constPool.clear();
        consts.clear();
        sets.clear();
        text.clear();
    }
    int32_t addConst(const ULExprValue& v) {
        consts.push_back(v);
        return int32_t(consts.size() - 1);
    }
    // Keeps a copy of the value's string in the constant pool.
    int32_t addConstCopy(ULExprValue v) {
        if (v.hasString()) {
            v.string = constPool.dupString(v.string ? v.string : u"");
            if (!v.string) return UL_ERROR_RETURN(-1);
        }
        return addConst(v);
    }
    int32_t addString(const char16_t* s, size_t n) {
        char16_t* copy = poolString(&constPool, n);
        if (!copy) return UL_ERROR_RETURN(-1);
        std::copy(s, s + n, copy);
        ULExprValue v;
        v.setString(copy);
        return addConst(v);
    }

    // Computes a value-producing operation code from its n operands.
    int apply(const ul_exprcode_t& c, const ULExprValue* args, int n, int pc,
              ULExprVarProvider* provider, ul_strpool_t* pool, ULExprValue* r) const {
        if (c.op == ULExprOp::OPERATOR) return applyOperator(OpId(c.a), args, n, pool, r);
        const char16_t* name = consts[c.a].string;
        if (c.c >= 0) return KnownFunctions[c.c].fn(name, args, n, pool, r);
        if (!provider) return ul_exprunresolved(name, n);
        return provider->getValue(r, name, pc, args, n, pool) < 0 ? UL_ERROR_RETURN(-1) : 0;
    }

    bool inSet(int32_t set, const ULExprValue& v) const;
    int fold(std::vector<ul_exprcode_t>& code, ULExprVarProvider* provider);
    void sortInLists(std::vector<ul_exprcode_t>& code);
};

namespace {

// One entry of the operator stack while compiling.
struct Pending {
    enum class Kind : uint8_t { op, paren, func, list, cond, condcolon };
    Kind kind;
    const OpDef* op;  // op, list, cond, condcolon
    int32_t name;     // func: constant index of the name
    int count;        // func, list: separators seen
};

// Operator-precedence translation of the text into postfix operation codes.
class Compiler {
  public:
    Compiler(ULExprCompiled::Impl& impl, std::vector<ul_exprcode_t>& code, unsigned flags,
             ULExprVarProvider* provider)
        : impl_(impl), code_(code), flags_(flags), provider_(provider) {}

    int run(const char16_t* text, const char16_t** end);

  private:
    int operand(bool* expectOperand);
    int continuation(bool* expectOperand);
    int number();
    int doubleQuoted();
    int singleQuoted();
    int identifier(bool* expectOperand);
    int variable(const char16_t* name);
    int call(int32_t name, int argc);
    int closeBracket();
    int separator(bool* expectOperand);
    int finish();
    int push(const Pending& entry);
    int findBracket(size_t* index);
    void popAbove(size_t index);
    void popWhile(int precedence);
    void emitPending(const Pending& entry);
    int pushConst(int32_t index);
    void emit(ULExprOp op, int32_t a, int32_t b, int32_t c = 0) { code_.push_back({op, a, b, c}); }
    void skipSpace() {
        while (ul_isspace(*p_)) ++p_;
    }
    int incomplete() {
        ul_errorsetmsgfmt(0, u"Incomplete expression '%s'", text_);
        return UL_ERROR_RETURN(-1);
    }
    int invalid(const char16_t* at) {
        ul_errorsetmsgfmt(0, u"Invalid expression '%s'", at);
        return UL_ERROR_RETURN(-1);
    }

    ULExprCompiled::Impl& impl_;
    std::vector<ul_exprcode_t>& code_;
    unsigned flags_;
    ULExprVarProvider* provider_;
    const char16_t* text_ = u"";
    const char16_t* p_ = u"";
    std::vector<Pending> stack_;
    bool afterOperator_ = false;  // the last token was an operator that wants a right side
};

int Compiler::run(const char16_t* text, const char16_t** end) {
    text_ = p_ = text;
    bool expectOperand = true;
    for (;;) {
        skipSpace();
        int rc = expectOperand ? operand(&expectOperand) : continuation(&expectOperand);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) break;
    }
    if (finish() < 0) return UL_ERROR_RETURN(-1);
    if (end) {
        *end = p_;
    } else if (*p_) {
        ul_errorsetmsgfmt(0, u"Cannot parse expression '%s' - trailing garbage '%s'", text_, p_);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// An operand, a prefix operator or an opening bracket. Returns 1 to go on.
int Compiler::operand(bool* expectOperand) {
    size_t length;
    if (*p_ == 0 || (afterOperator_ && (*p_ == u')' || *p_ == u',' || *p_ == u':'))) {
        if (!afterOperator_) return incomplete();
        ul_errorsetmsg(0, u"Missing right hand side expression");
        return UL_ERROR_RETURN(-1);
    }
    if (const OpDef* op = matchOperator(p_, flags_, true, &length)) {
        if (push({Pending::Kind::op, op, 0, 0}) < 0) return UL_ERROR_RETURN(-1);
        p_ += length;
        afterOperator_ = true;
        return 1;
    }
    if (*p_ == u'(') {
        if (push({Pending::Kind::paren, nullptr, 0, 0}) < 0) return UL_ERROR_RETURN(-1);
        ++p_;
        afterOperator_ = false;
        return 1;
    }
    int rc;
    const char16_t c = *p_;
    const char16_t* digits = c == u'-' || c == u'+' ? p_ + 1 : p_;
    if (ul_isdigit(*digits) || (*digits == u'.' && ul_isdigit(digits[1]))) {
        rc = number();
        *expectOperand = false;
    } else if (c == u'"') {
        rc = doubleQuoted();
        *expectOperand = false;
    } else if (c == u'\'') {
        rc = singleQuoted();
        *expectOperand = false;
    } else if (isIdentStart(c)) {
        rc = identifier(expectOperand);
    } else {
        return invalid(p_);
    }
    return rc < 0 ? -1 : 1;
}

// After an operand: an operator, a closing bracket or a separator. Returns 1 to go on, 0 when
// the expression ends here.
int Compiler::continuation(bool* expectOperand) {
    if (*p_ == 0) return 0;
    if (*p_ == u')') return closeBracket();
    if (*p_ == u',') return separator(expectOperand);
    size_t length;
    const OpDef* op = matchOperator(p_, flags_, false, &length);
    if (!op) return 0;
    if (op->id == OpId::COLON) {
        size_t k = stack_.size();
        while (k > 0 && stack_[k - 1].kind != Pending::Kind::cond) {
            Pending::Kind kind = stack_[k - 1].kind;
            if (kind != Pending::Kind::op && kind != Pending::Kind::condcolon) return 0;
            --k;
        }
        if (k == 0) return 0;  // no "?" waits for it
        popAbove(k - 1);
        stack_.back().kind = Pending::Kind::condcolon;
    } else if (op->id == OpId::COND) {
        popWhile(op->precedence + 1);  // right-associative
        if (push({Pending::Kind::cond, op, 0, 0}) < 0) return UL_ERROR_RETURN(-1);
    } else if (op->arity == kListArity) {
        popWhile(op->precedence);
        p_ += length;
        skipSpace();
        if (*p_ != u'(') return invalid(p_);
        if (push({Pending::Kind::list, op, 0, 0}) < 0) return UL_ERROR_RETURN(-1);
        ++p_;
        afterOperator_ = false;
        *expectOperand = true;
        return 1;
    } else {
        popWhile(op->precedence);
        if (push({Pending::Kind::op, op, 0, 0}) < 0) return UL_ERROR_RETURN(-1);
    }
    p_ += length;
    afterOperator_ = true;
    *expectOperand = true;
    return 1;
}

int Compiler::number() {
    const char16_t* q = p_;
    if (*q == u'-' || *q == u'+') ++q;
    while (isIdentChar(*q) || *q == u'.') {
        if ((*q == u'e' || *q == u'E') && (q[1] == u'+' || q[1] == u'-') && ul_isdigit(q[2]))
            q += 2;
        ++q;
    }
    const size_t length = size_t(q - p_);
    int32_t index = impl_.addString(p_, length);
    if (index < 0) return UL_ERROR_RETURN(-1);
    ULExprValue& v = impl_.consts[index];
    if (!readNumber(v.string, length, &v)) return invalid(p_);
    p_ = q;
    return pushConst(index);
}

// "text" with \\ and \" standing for a backslash and a double quote.
int Compiler::doubleQuoted() {
    std::u16string s;
    const char16_t* q = p_ + 1;
    for (; *q && *q != u'"'; ++q) {
        if (*q == u'\\' && (q[1] == u'\\' || q[1] == u'"')) ++q;
        s.push_back(*q);
    }
    if (!*q) {
        ul_errorsetmsgfmt(0, u"Unterminated double quoted word in '%s'", text_);
        return UL_ERROR_RETURN(-1);
    }
    p_ = q + 1;
    int32_t index = impl_.addString(s.data(), s.size());
    return index < 0 ? -1 : pushConst(index);
}

// 'text': an SQL literal ('' for a quote) with SQL style, else the text up to the next quote.
int Compiler::singleQuoted() {
    const bool sql = flags_ & ULExprCompiled::SQLSTYLE;
    std::u16string s;
    const char16_t* q = p_ + 1;
    for (;; ++q) {
        if (!*q) {
            ul_errorsetmsgfmt(0, u"Unterminated single quoted word in '%s'", text_);
            return UL_ERROR_RETURN(-1);
        }
        if (*q == u'\'') {
            if (!sql || q[1] != u'\'') break;
            ++q;
        }
        s.push_back(*q);
    }
    p_ = q + 1;
    int32_t index = impl_.addString(s.data(), s.size());
    return index < 0 ? -1 : pushConst(index);
}

int Compiler::identifier(bool* expectOperand) {
    const char16_t* start = p_;
    while (isIdentChar(*p_)) ++p_;
    int32_t name = impl_.addString(start, size_t(p_ - start));
    if (name < 0) return UL_ERROR_RETURN(-1);
    const char16_t* text = impl_.consts[name].string;
    const char16_t* q = p_;
    while (ul_isspace(*q)) ++q;
    if (*q == u'(') {
        p_ = q + 1;
        skipSpace();
        if (*p_ == u')') {
            ++p_;
            *expectOperand = false;
            return call(name, 0);
        }
        afterOperator_ = false;
        return push({Pending::Kind::func, nullptr, name, 0});
    }
    *expectOperand = false;
    if (ul_stricmp(text, u"true") == 0 || ul_stricmp(text, u"false") == 0) {
        ULExprValue v;
        v.setBoolean(asciiLower(text[0]) == u't');
        int32_t index = impl_.addConst(v);
        return pushConst(index);
    }
    return variable(text) < 0 ? -1 : 0;
}

int Compiler::variable(const char16_t* name) {
    int32_t nameIndex = int32_t(impl_.consts.size() - 1);
    if (!provider_) {
        if (!(flags_ & ULExprCompiled::PLAINIDENT)) {
            ul_errorsetmsgfmt(0, u"Plain identifier '%s' not allowed", name);
            return UL_ERROR_RETURN(-1);
        }
        return pushConst(nameIndex);
    }
    ULExprValue v;
    int rc = provider_->getValue(&v, name, -1, nullptr, -1, &impl_.constPool);
    if (rc < 0) {
        ul_errorsetmsgfmt(0, u"Cannot compile variable '%s'", name);
        return UL_ERROR_RETURN(-1);
    }
    if (rc == 0) {
        emit(ULExprOp::PUSHFUNCNAME, nameIndex, 0);
        return 0;
    }
    int32_t index = impl_.addConstCopy(v);
    return index < 0 ? -1 : pushConst(index);
}

// A call of the function whose name is constant name with argc arguments on the stack.
int Compiler::call(int32_t name, int argc) {
    const char16_t* text = impl_.consts[name].string;
    int builtin = findBuiltin(text, argc);
    if (builtin >= 0) {
        emit(ULExprOp::FUNCTIONCALL, name, argc, builtin);
        return 0;
    }
    ULExprValue unused;
    int rc =
        provider_ ? provider_->getValue(&unused, text, -1, nullptr, argc, &impl_.constPool) : -1;
    if (rc < 0) {
        if (argc > 0)
            ul_errorsetmsgfmt(0, u"Cannot compile function '%s' with %d arguments", text, argc);
        else
            ul_errorsetmsgfmt(0, u"Cannot compile function '%s' without arguments", text);
        return UL_ERROR_RETURN(-1);
    }
    emit(rc == 1 ? ULExprOp::FUNCTIONCALL : ULExprOp::FUNCTIONCALLVOL, name, argc, -1);
    return 0;
}

int Compiler::pushConst(int32_t index) {
    if (index < 0) return UL_ERROR_RETURN(-1);
    emit(ULExprOp::PUSHCONST, index, 0);
    return 0;
}

int Compiler::push(const Pending& entry) {
    if (stack_.size() >= size_t(UL_EXPR_MAXNESTING)) {
        ul_errorsetmsg(0, u"To deeply nested expression");
        return UL_ERROR_RETURN(-1);
    }
    stack_.push_back(entry);
    return 0;
}

// The innermost open bracket: 1 with its index, 0 when there is none, -1 when a "?" still
// waits for its ":" inside it.
int Compiler::findBracket(size_t* index) {
    for (size_t k = stack_.size(); k > 0; --k) {
        Pending::Kind kind = stack_[k - 1].kind;
        if (kind == Pending::Kind::cond) return incomplete();
        if (kind == Pending::Kind::paren || kind == Pending::Kind::func ||
            kind == Pending::Kind::list) {
            *index = k - 1;
            return 1;
        }
    }
    return 0;
}

void Compiler::emitPending(const Pending& entry) {
    if (entry.kind == Pending::Kind::condcolon)
        emit(ULExprOp::OPERATOR, int32_t(OpId::COND), 3);
    else
        emit(ULExprOp::OPERATOR, int32_t(entry.op->id), entry.op->arity);
}

// Emits and drops the entries above index.
void Compiler::popAbove(size_t index) {
    while (stack_.size() > index + 1) {
        emitPending(stack_.back());
        stack_.pop_back();
    }
}

// Emits the waiting operators that bind at least as tightly as precedence.
void Compiler::popWhile(int precedence) {
    while (!stack_.empty()) {
        const Pending& top = stack_.back();
        if (top.kind != Pending::Kind::op && top.kind != Pending::Kind::condcolon) break;
        int own = top.kind == Pending::Kind::op ? top.op->precedence : opDef(OpId::COND).precedence;
        if (own < precedence) break;
        emitPending(top);
        stack_.pop_back();
    }
}

int Compiler::closeBracket() {
    size_t k;
    int rc = findBracket(&k);
    if (rc <= 0) return rc;
    popAbove(k);
    Pending entry = stack_.back();
    stack_.pop_back();
    ++p_;
    if (entry.kind == Pending::Kind::func) return call(entry.name, entry.count + 1) < 0 ? -1 : 1;
    if (entry.kind == Pending::Kind::list)
        emit(ULExprOp::OPERATOR, int32_t(entry.op->id), entry.count + 2);
    return 1;
}

int Compiler::separator(bool* expectOperand) {
    size_t k;
    int rc = findBracket(&k);
    if (rc <= 0) return rc;
    Pending& entry = stack_[k];
    if (entry.kind == Pending::Kind::paren) return invalid(p_);
    if (entry.kind == Pending::Kind::func && entry.count + 1 >= UL_EXPR_MAXARGS) {
        ul_errorsetmsgfmt(0, u"Too many arguments for function '%s'",
                          impl_.consts[entry.name].string);
        return UL_ERROR_RETURN(-1);
    }
    ++entry.count;
    popAbove(k);
    ++p_;
    afterOperator_ = false;
    *expectOperand = true;
    return 1;
}

int Compiler::finish() {
    while (!stack_.empty()) {
        const Pending& top = stack_.back();
        if (top.kind != Pending::Kind::op && top.kind != Pending::Kind::condcolon)
            return incomplete();
        emitPending(top);
        stack_.pop_back();
    }
    return 0;
}

// Number of values an operation code takes from the stack.
int operandCount(const ul_exprcode_t& c) {
    switch (c.op) {
        case ULExprOp::FUNCTIONCALL:
        case ULExprOp::FUNCTIONCALLVOL:
        case ULExprOp::OPERATOR:
            return c.b;
        case ULExprOp::OPTIMIZEDINVALUE:
            return 1;
        default:
            return 0;
    }
}

bool lastAreConstants(const std::vector<ul_exprcode_t>& code, size_t n) {
    if (n > code.size()) return false;
    for (size_t k = code.size() - n; k < code.size(); ++k)
        if (code[k].op != ULExprOp::PUSHCONST) return false;
    return true;
}

}  // namespace

int ULExprCompiled::Impl::fold(std::vector<ul_exprcode_t>& code, ULExprVarProvider* provider) {
    std::vector<ul_exprcode_t> out;
    out.reserve(code.size());
    std::vector<ULExprValue> args;
    for (size_t pc = 0; pc < code.size(); ++pc) {
        const ul_exprcode_t& c = code[pc];
        const size_t n = size_t(c.b);
        if ((c.op == ULExprOp::OPERATOR || c.op == ULExprOp::FUNCTIONCALL) &&
            lastAreConstants(out, n)) {
            args.clear();
            for (size_t k = out.size() - n; k < out.size(); ++k) args.push_back(consts[out[k].a]);
            ULExprValue r;
            // A failing sub-expression stays as it is, so that evaluation reports it in turn
            // (or a short-cut skips it).
            if (apply(c, args.data(), int(n), int(pc), provider, &constPool, &r) == 0) {
                int32_t index = addConst(r);
                out.resize(out.size() - n);
                out.push_back({ULExprOp::PUSHCONST, index, 0, 0});
                continue;
            }
        }
        out.push_back(c);
    }
    int before = int(code.size());
    code.swap(out);
    if (int(code.size()) < before)
        UL_TRACE(UL_TRC_EXPR, 2, u"Simplified expression from %d to %d opcodes.\n", before,
                 int(code.size()));
    return 0;
}

// Replaces "in" lists of constants of one kind by a sorted set searched by bisection.
void ULExprCompiled::Impl::sortInLists(std::vector<ul_exprcode_t>& code) {
    std::vector<ul_exprcode_t> out;
    out.reserve(code.size());
    for (const ul_exprcode_t& c : code) {
        const OpId id = OpId(c.a);
        const size_t items = size_t(c.b - 1);
        if (c.op != ULExprOp::OPERATOR || (id != OpId::IN && id != OpId::NOTIN) ||
            !lastAreConstants(out, items)) {
            out.push_back(c);
            continue;
        }
        std::vector<ULExprValue> set;
        for (size_t k = out.size() - items; k < out.size(); ++k) set.push_back(consts[out[k].a]);
        const Kind kind = kindOf(set[0]);
        bool uniform = kind != Kind::none;
        for (const ULExprValue& v : set) uniform = uniform && kindOf(v) == kind;
        if (!uniform) {
            out.push_back(c);
            continue;
        }
        std::sort(set.begin(), set.end(), [](const ULExprValue& a, const ULExprValue& b) {
            return compare_value(a, b) < 0;
        });
        sets.push_back(std::move(set));
        out.resize(out.size() - items);
        out.push_back(
            {ULExprOp::OPTIMIZEDINVALUE, int32_t(sets.size() - 1), id == OpId::NOTIN ? 1 : 0, 0});
        UL_TRACE(UL_TRC_EXPR, 2, u"Using optimized 'in' operator with sorted values.\n");
    }
    code.swap(out);
}

bool ULExprCompiled::Impl::inSet(int32_t index, const ULExprValue& v) const {
    const std::vector<ULExprValue>& set = sets[index];
    if (kindOf(v) != kindOf(set[0])) {
        for (const ULExprValue& item : set)
            if (compare_value(v, item) == 0) return true;
        return false;
    }
    size_t lo = 0, hi = set.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        int c = compare_value(set[mid], v);
        if (c == 0) return true;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return false;
}

namespace {

// Walks postfix code as evaluation would, tracking where each pending value's code starts.
// Finds the value-stack depth, whether the result is a boolean, and, for the optimised form,
// rewrites "&&"/"||" into short-cuts and "?" into jumps.
class Analysis {
  public:
    Analysis(const std::vector<ul_exprcode_t>& code, const std::vector<ULExprValue>& consts)
        : code_(code), consts_(consts) {}

    void run() {
        marker_.assign(code_.size(), Marker{});
        std::vector<Slot> stack;
        for (size_t i = 0; i < code_.size(); ++i) {
            const ul_exprcode_t& c = code_[i];
            const size_t n = size_t(operandCount(c));
            const size_t base = stack.size() - n;
            Slot slot{n ? stack[base].start : int32_t(i), resultBoolean(c, stack, base)};
            if (c.op == ULExprOp::OPERATOR) {
                OpId id = OpId(c.a);
                if (id == OpId::AND || id == OpId::OR)
                    mark(stack[base + 1].start,
                         id == OpId::AND ? ULExprOp::OPTIMIZEIFFALSE : ULExprOp::OPTIMIZEIFTRUE, i);
                if (id == OpId::COND) {
                    mark(stack[base + 1].start, ULExprOp::JUMPIFFALSE, i);
                    mark(stack[base + 2].start, ULExprOp::JUMP, i);
                }
            }
            stack.resize(base);
            stack.push_back(slot);
            maxDepth = std::max(maxDepth, int(stack.size()));
        }
        boolean = !stack.empty() && stack.back().boolean;
    }

    // The code with the jumps in place.
    std::vector<ul_exprcode_t> withJumps() const {
        std::vector<ul_exprcode_t> out;
        std::vector<int32_t> first(code_.size(), -1), second(code_.size(), -1);
        for (size_t i = 0; i < code_.size(); ++i) {
            if (marker_[i].owner >= 0) {
                size_t o = size_t(marker_[i].owner);
                (first[o] < 0 ? first[o] : second[o]) = int32_t(out.size());
                out.push_back({marker_[i].op, -1, 0, 0});
            }
            const ul_exprcode_t& c = code_[i];
            const OpId id = OpId(c.a);
            if (c.op == ULExprOp::OPERATOR && id == OpId::COND) {
                out[first[i]].a = second[i] + 1;
                out[second[i]].a = int32_t(out.size());
                continue;
            }
            out.push_back(c);
            if (c.op == ULExprOp::OPERATOR && (id == OpId::AND || id == OpId::OR))
                out[first[i]].a = int32_t(out.size());
        }
        return out;
    }

    int maxDepth = 0;
    bool boolean = false;

  private:
    struct Slot {
        int32_t start;  // first operation code of the value
        bool boolean;
    };
    struct Marker {
        ULExprOp op = ULExprOp::JUMP;
        int32_t owner = -1;  // the operator the jump belongs to
    };

    // Each position starts the right-hand operand of at most one operator, so one marker
    // per position suffices.
    void mark(int32_t position, ULExprOp op, size_t owner) {
        marker_[position] = {op, int32_t(owner)};
    }

    bool resultBoolean(const ul_exprcode_t& c, const std::vector<Slot>& stack, size_t base) const {
        switch (c.op) {
            case ULExprOp::PUSHCONST:
                return consts_[c.a].isBoolean();
            case ULExprOp::FUNCTIONCALL:
                return c.c >= 0 && KnownFunctions[c.c].boolean;
            case ULExprOp::OPTIMIZEDINVALUE:
                return true;
            case ULExprOp::OPERATOR:
                if (OpId(c.a) == OpId::COND)
                    return stack[base + 1].boolean && stack[base + 2].boolean;
                return isComparison(OpId(c.a));
            default:
                return false;
        }
    }

    const std::vector<ul_exprcode_t>& code_;
    const std::vector<ULExprValue>& consts_;
    std::vector<Marker> marker_;
};

}  // namespace

ULExprCompiled::ULExprCompiled() : flags_(GlobalFlags), impl_(new Impl) {}

ULExprCompiled::~ULExprCompiled() = default;

const char16_t* ULExprCompiled::getText() const {
    return impl_->text.c_str();
}

int ULExprCompiled::compile(const char16_t* text, ULExprVarProvider* provider,
                            const char16_t** end) {
    code_.clear();
    maxDepth_ = 0;
    boolean_ = false;
    impl_->reset();
    if (!text) text = u"";
    const int compiled = ul_guarded([&]() -> int {
        impl_->text = text;
        std::vector<ul_exprcode_t> code;
        Compiler compiler(*impl_, code, flags_, provider);
        if (compiler.run(text, end) < 0) return UL_ERROR_RETURN(-1);
        if (flags_ & FOLD) impl_->fold(code, provider);
        if (flags_ & OPTIMIZE) impl_->sortInLists(code);
        Analysis analysis(code, impl_->consts);
        analysis.run();
        maxDepth_ = analysis.maxDepth;
        boolean_ = analysis.boolean;
        if (flags_ & OPTIMIZE)
            code_ = analysis.withJumps();
        else
            code_.swap(code);
        return 0;
    });
    if (compiled < 0) {
        code_.clear();
        return UL_ERROR_RETURN(-1);
    }
    traceCode(3);
    return 0;
}

int ULExprCompiled::evaluate(ULExprValue* result, ULExprVarProvider* provider, ul_strpool_t* pool) {
    if (code_.empty()) {
        ul_errorsetmsgfmt(0, u"Incomplete expression '%s'", impl_->text.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (!pool) {
        impl_->scratch.clear();
        pool = &impl_->scratch;
    }
    return ul_guarded([&]() -> int {
        // Most expressions need only a few slots; a local array spares the heap and keeps
        // nested evaluations (a provider evaluating expressions) apart.
        ULExprValue local[16];
        std::vector<ULExprValue> heap;
        ULExprValue* stack = local;
        if (maxDepth_ > 16) {
            heap.resize(size_t(maxDepth_));
            stack = heap.data();
        }
        int sp = 0;
        const int n = int(code_.size());
        for (int pc = 0; pc < n; ++pc) {
            const ul_exprcode_t& c = code_[pc];
            int t;
            switch (c.op) {
                case ULExprOp::PUSHCONST:
                    stack[sp++] = impl_->consts[c.a];
                    break;
                case ULExprOp::PUSHFUNCNAME: {
                    const char16_t* name = impl_->consts[c.a].string;
                    ULExprValue r;
                    if (!provider) return ul_exprunresolved(name, -1);
                    if (provider->getValue(&r, name, pc, nullptr, -1, pool) < 0)
                        return UL_ERROR_RETURN(-1);
                    stack[sp++] = r;
                    break;
                }
                case ULExprOp::FUNCTIONCALL:
                case ULExprOp::FUNCTIONCALLVOL:
                case ULExprOp::OPERATOR: {
                    ULExprValue r;
                    if (impl_->apply(c, stack + sp - c.b, c.b, pc, provider, pool, &r) < 0)
                        return UL_ERROR_RETURN(-1);
                    sp -= c.b;
                    stack[sp++] = r;
                    break;
                }
                case ULExprOp::JUMP:
                    pc = c.a - 1;
                    break;
                case ULExprOp::JUMPIFFALSE:
                    if ((t = truthValue(stack[--sp])) < 0) return UL_ERROR_RETURN(-1);
                    if (!t) pc = c.a - 1;
                    break;
                case ULExprOp::OPTIMIZEIFTRUE:
                case ULExprOp::OPTIMIZEIFFALSE:
                    if ((t = truthValue(stack[sp - 1])) < 0) return UL_ERROR_RETURN(-1);
                    if (bool(t) == (c.op == ULExprOp::OPTIMIZEIFTRUE)) {
                        stack[sp - 1].setBoolean(t);
                        pc = c.a - 1;
                    }
                    break;
                case ULExprOp::OPTIMIZEDINVALUE:
                    stack[sp - 1].setBoolean(impl_->inSet(c.a, stack[sp - 1]) != bool(c.b));
                    break;
            }
        }
        *result = stack[0];
        return 0;
    });
}

int ULExprCompiled::evaluate(char16_t* buffer, size_t size, double* dout, int64_t* iout,
                             ULExprVarProvider* provider, ul_strpool_t* pool) {
    ULExprValue r;
    if (evaluate(&r, provider, pool) < 0) return UL_ERROR_RETURN(-1);
    if (buffer && r.print(buffer, size) < 0) return UL_ERROR_RETURN(-1);
    if (dout) {
        if (!r.hasDouble()) {
            ul_errorsetmsgfmt(0, u"Not a floating point expression '%s'", impl_->text.c_str());
            return UL_ERROR_RETURN(-1);
        }
        *dout = r.doubleValue;
    }
    if (iout) {
        if (!r.hasInteger()) {
            ul_errorsetmsgfmt(0, u"Not an integer expression '%s'", impl_->text.c_str());
            return UL_ERROR_RETURN(-1);
        }
        *iout = r.intValue;
    }
    return 0;
}

int ULExprCompiled::evaluate(char16_t* buffer, size_t size, double* dout, int64_t* iout,
                             const char16_t* text, ULExprVarProvider* provider, ul_strpool_t* pool,
                             unsigned flags) {
    flags_ = flags;
    if (compile(text, provider) < 0) return UL_ERROR_RETURN(-1);
    return evaluate(buffer, size, dout, iout, provider, pool);
}

int ULExprCompiled::evaluateCondition(ULExprVarProvider* provider, ul_strpool_t* pool) {
    ULExprValue r;
    if (evaluate(&r, provider, pool) < 0) return UL_ERROR_RETURN(-1);
    return truthValue(r);
}

void ULExprCompiled::traceCode(unsigned level) const {
    if (!ul_traceactive(UL_TRC_EXPR, level)) return;
    UL_TRACE(UL_TRC_EXPR, level, u"Expression '%s': %d opcodes, stack depth %d%s.\n",
             impl_->text.c_str(), int(code_.size()), maxDepth_, boolean_ ? u", boolean" : u"");
    for (size_t pc = 0; pc < code_.size(); ++pc) {
        const ul_exprcode_t& c = code_[pc];
        const bool named = c.op == ULExprOp::PUSHCONST || c.op == ULExprOp::PUSHFUNCNAME ||
                           c.op == ULExprOp::FUNCTIONCALL || c.op == ULExprOp::FUNCTIONCALLVOL;
        ValueText constant(named ? impl_->consts[c.a] : ULExprValue(), u"");
        const char16_t* detail =
            c.op == ULExprOp::OPERATOR ? opDef(OpId(c.a)).text : constant.get();
        UL_TRACE(UL_TRC_EXPR, level, u"%4d %-16s %6d %6d '%s'\n", int(pc), ul_exprcodename(c.op),
                 int(c.a), int(c.b), detail);
    }
}

// ==== Providers =============================================================================

int ULExprVarListProvider::getValue(ULExprValue* result, const char16_t* name, int index,
                                    const ULExprValue*, int argc, ul_strpool_t* pool) {
    const int k = argc < 0 && vars_ ? vars_->find(name) : -1;
    if (k < 0) return index < 0 ? -1 : ul_exprunresolved(name, argc);
    if (index < 0) return 0;
    const char16_t* value = vars_->pairs[k].value;
    if (!value) {
        result->setNull();
        return 0;
    }
    return result->setText(value, pool, UL_EXPR_TEXT_NUMBER);
}

struct ULExprFunctions::Function {
    std::u16string name;
    int nargs = 0;
    std::vector<std::u16string> params;
    std::vector<const char16_t*> paramNames;
    ULExprCompiled body;
    InternalVarFunction internal{};  // callback null: the function is the body
    bool constant = false;
};

ULExprFunctions::ULExprFunctions(ULExprVarProvider* parent) : parent_(parent) {}

ULExprFunctions::~ULExprFunctions() = default;

ULExprFunctions::Function* ULExprFunctions::find(const char16_t* name, int argc) const {
    for (const auto& f : functions_)
        if (f->nargs == argc && ul_strcmp(f->name.c_str(), name) == 0) return f.get();
    return nullptr;
}

int ULExprFunctions::insert(std::unique_ptr<Function> function) {
    if (find(function->name.c_str(), function->nargs)) {
        ul_errorsetmsgfmt(0, u"Duplicate definition for function '%s' nargs=%d",
                          function->name.c_str(), function->nargs);
        return UL_ERROR_RETURN(-1);
    }
    functions_.push_back(std::move(function));
    return 0;
}

int ULExprFunctions::add(const char16_t* name, const char16_t* const* params, int count,
                         const char16_t* body) {
    UL_TRACE(UL_TRC_EXPR, 2, u"Defining function  '%s'\n", name);
    if (count > UL_EXPR_MAXARGS) {
        ul_errorsetmsgfmt(0, u"Too many arguments for function '%s'", name);
        return UL_ERROR_RETURN(-1);
    }
    if (count < 0) {
        ul_errorsetmsgfmt(0, u"Invalid argument count %d for function '%s'", count, name);
        return UL_ERROR_RETURN(-1);
    }
    return ul_guarded([&]() -> int {
        auto f = std::make_unique<Function>();
        f->name = name;
        f->nargs = count;
        if (find(name, count)) return insert(std::move(f));  // reports the duplicate
        for (int k = 0; k < count; ++k) f->params.emplace_back(params[k]);
        for (const std::u16string& p : f->params) f->paramNames.push_back(p.c_str());
        ExprFunctionArgProvider args(this, f->paramNames.data(), count, nullptr);
        if (f->body.compile(body, &args) < 0) return UL_ERROR_RETURN(-1);
        f->constant = !args.sawVolatile();
        return insert(std::move(f));
    });
}

int ULExprFunctions::addInternal(const InternalVarFunction& definition) {
    return ul_guarded([&]() -> int {
        auto f = std::make_unique<Function>();
        f->name = definition.name;
        f->nargs = definition.nargs;
        f->internal = definition;
        f->internal.name = nullptr;  // the copy in f->name is the one that stays valid
        f->constant = definition.constant;
        return insert(std::move(f));
    });
}

int ULExprFunctions::getValue(ULExprValue* result, const char16_t* name, int index,
                              const ULExprValue* args, int argc, ul_strpool_t* pool) {
    Function* f = find(name, argc);
    if (!f) {
        if (parent_) return parent_->getValue(result, name, index, args, argc, pool);
        return index < 0 ? -1 : ul_exprunresolved(name, argc);
    }
    if (index < 0) {
        // A constant variable is handed over now; a constant function waits for its arguments.
        if (!f->constant) return 0;
        if (argc < 0 && f->internal.callback &&
            f->internal.callback(result, nullptr, -1, pool, f->internal.context) < 0)
            return UL_ERROR_RETURN(-1);
        return 1;
    }
    if (f->internal.callback) {
        if (f->internal.callback(result, args, argc, pool, f->internal.context) < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }
    ExprFunctionArgProvider arguments(this, f->paramNames.data(), f->nargs, args);
    return f->body.evaluate(result, &arguments, pool) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int ExprFunctionArgProvider::parameter(const char16_t* name) const {
    for (int k = 0; k < count_; ++k)
        if (ul_strcmp(params_[k], name) == 0) return k;
    return -1;
}

int ExprFunctionArgProvider::getValue(ULExprValue* result, const char16_t* name, int index,
                                      const ULExprValue* args, int argc, ul_strpool_t* pool) {
    if (argc < 0) {
        const int k = parameter(name);
        if (k >= 0) {
            if (index >= 0 && args_) *result = args_[k];
            return 0;
        }
    }
    int rc = functions_->getValue(result, name, index, args, argc, pool);
    if (index < 0 && rc == 0) volatile_ = true;
    return rc;
}

#include "ulstring2.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ulerror.h"
#include "ulstring.h"

namespace {

// Collects output code units and keeps counting past the buffer's end, as snprintf does.
class Sink {
  public:
    Sink(char16_t* buffer, size_t size) : buffer_(buffer), size_(size) {}
    void put(char16_t c) {
        if (length_ + 1 < size_) buffer_[length_] = c;
        ++length_;
    }
    void put(const char16_t* s, size_t n) {
        for (size_t i = 0; i < n; ++i) put(s[i]);
    }
    void putAscii(const char* s) {
        for (; *s; ++s) put(static_cast<char16_t>(static_cast<unsigned char>(*s)));
    }
    void pad(char16_t c, long n) {
        for (; n > 0; --n) put(c);
    }
    size_t finish() {
        if (size_) buffer_[length_ < size_ ? length_ : size_ - 1] = 0;
        return length_;
    }

  private:
    char16_t* buffer_;
    size_t size_;
    size_t length_ = 0;
};

struct Spec {
    char flags[8] = {};
    int flagCount = 0;
    bool leftAlign = false;
    long width = -1;
    long precision = -1;
    char length[3] = {};
    char conversion = 0;
};

bool isFlag(char16_t c) {
    return c == u'-' || c == u'+' || c == u' ' || c == u'#' || c == u'0';
}

long readNumber(const char16_t** p) {
    long n = 0;
    while (ul_isdigit(**p)) n = n * 10 + (*(*p)++ - u'0');
    return n;
}

// Parses the conversion behind '%' (p points after it). Returns false for an unknown one.
bool parseSpec(const char16_t** p, va_list* args, Spec* conv) {
    while (isFlag(**p)) {
        char c = static_cast<char>(*(*p)++);
        if (c == '-') conv->leftAlign = true;
        if (conv->flagCount < 7 && !strchr(conv->flags, c)) conv->flags[conv->flagCount++] = c;
    }
    if (**p == u'*') {
        ++*p;
        conv->width = va_arg(*args, int);
        if (conv->width < 0) {
            conv->leftAlign = true;
            conv->width = -conv->width;
            if (!strchr(conv->flags, '-')) conv->flags[conv->flagCount++] = '-';
        }
    } else if (ul_isdigit(**p)) {
        conv->width = readNumber(p);
    }
    if (**p == u'.') {
        ++*p;
        if (**p == u'*') {
            ++*p;
            int precision = va_arg(*args, int);
            conv->precision = precision < 0 ? -1 : precision;
        } else {
            conv->precision = readNumber(p);
        }
    }
    int n = 0;
    while (n < 2 &&
           (**p == u'h' || **p == u'l' || **p == u'j' || **p == u'z' || **p == u't' || **p == u'L'))
        conv->length[n++] = static_cast<char>(*(*p)++);
    char16_t c = **p;
    if (!c || !strchr("diouxXcseEfFgGaAp%", static_cast<int>(c < 128 ? c : 1))) return false;
    conv->conversion = static_cast<char>(c);
    ++*p;
    return true;
}

// Builds the narrow format for one numeric conversion with width and precision resolved.
void narrowFormat(const Spec& conv, char* out, size_t size) {
    int n = snprintf(out, size, "%%%s", conv.flags);
    if (conv.width >= 0) n += snprintf(out + n, size - n, "%ld", conv.width);
    if (conv.precision >= 0) n += snprintf(out + n, size - n, ".%ld", conv.precision);
    snprintf(out + n, size - n, "%s%c", conv.length, conv.conversion);
}

void putPadded(Sink& sink, const Spec& conv, const char16_t* text, size_t n) {
    long padding = conv.width > static_cast<long>(n) ? conv.width - static_cast<long>(n) : 0;
    if (!conv.leftAlign) sink.pad(u' ', padding);
    sink.put(text, n);
    if (conv.leftAlign) sink.pad(u' ', padding);
}

void formatString(Sink& sink, const Spec& conv, va_list* args) {
    bool narrow = conv.length[0] == 'h';
    std::u16string converted;
    const char16_t* text;
    if (narrow) {
        const char* s = va_arg(*args, const char*);
        converted = ul_utf8to16(s ? s : "(null)");
        text = converted.c_str();
    } else {
        text = va_arg(*args, const char16_t*);
        if (!text) text = u"(null)";
    }
    size_t n = 0;
    while (text[n] && (conv.precision < 0 || n < static_cast<size_t>(conv.precision))) ++n;
    putPadded(sink, conv, text, n);
}

template <typename T>
void formatNarrow(Sink& sink, const Spec& conv, T value) {
    char format[48];
    narrowFormat(conv, format, sizeof format);
    char small[128];
    int n = snprintf(small, sizeof small, format, value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        sink.putAscii(small);
        return;
    }
    std::string large(static_cast<size_t>(n) + 1, '\0');
    snprintf(large.data(), large.size(), format, value);
    sink.putAscii(large.c_str());
}

void formatInteger(Sink& sink, const Spec& conv, va_list* args) {
    bool isSigned = conv.conversion == 'd' || conv.conversion == 'i';
    std::string length = conv.length;
    if (length == "l") {
        isSigned ? formatNarrow(sink, conv, va_arg(*args, long))
                 : formatNarrow(sink, conv, va_arg(*args, unsigned long));
    } else if (length == "ll" || length == "L") {
        isSigned ? formatNarrow(sink, conv, va_arg(*args, long long))
                 : formatNarrow(sink, conv, va_arg(*args, unsigned long long));
    } else if (length == "j") {
        isSigned ? formatNarrow(sink, conv, va_arg(*args, intmax_t))
                 : formatNarrow(sink, conv, va_arg(*args, uintmax_t));
    } else if (length == "z") {
        formatNarrow(sink, conv, va_arg(*args, size_t));
    } else if (length == "t") {
        formatNarrow(sink, conv, va_arg(*args, ptrdiff_t));
    } else {
        // int, and the promoted forms of short and char ("h", "hh"): snprintf narrows them.
        isSigned ? formatNarrow(sink, conv, va_arg(*args, int))
                 : formatNarrow(sink, conv, va_arg(*args, unsigned));
    }
}

}  // namespace

int ul_vsprintf(char16_t* buffer, size_t size, const char16_t* format, va_list args) {
    Sink sink(buffer, size);
    va_list ap;
    va_copy(ap, args);
    bool valid = format != nullptr;
    for (const char16_t* p = format; valid && *p;) {
        if (*p != u'%') {
            sink.put(*p++);
            continue;
        }
        ++p;
        Spec conv;
        if (!parseSpec(&p, &ap, &conv)) {
            valid = false;
            break;
        }
        switch (conv.conversion) {
            case '%':
                sink.put(u'%');
                break;
            case 's':
                formatString(sink, conv, &ap);
                break;
            case 'c': {
                char16_t c = static_cast<char16_t>(va_arg(ap, int));
                putPadded(sink, conv, &c, 1);
                break;
            }
            case 'p':
                formatNarrow(sink, conv, va_arg(ap, void*));
                break;
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (conv.length[0] == 'L')
                    formatNarrow(sink, conv, va_arg(ap, long double));
                else
                    formatNarrow(sink, conv, va_arg(ap, double));
                break;
            default:
                formatInteger(sink, conv, &ap);
                break;
        }
    }
    va_end(ap);
    size_t length = sink.finish();
    return valid ? static_cast<int>(length) : -1;
}

int ul_sprintf(char16_t* buffer, size_t size, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    int n = ul_vsprintf(buffer, size, format, args);
    va_end(args);
    return n;
}

std::u16string ul_vformat(const char16_t* format, va_list args) {
    char16_t small[512];
    va_list copy;
    va_copy(copy, args);
    int n = ul_vsprintf(small, sizeof small / sizeof *small, format, copy);
    va_end(copy);
    if (n < 0) return std::u16string();
    if (static_cast<size_t>(n) < sizeof small / sizeof *small) return std::u16string(small, n);
    std::u16string out(static_cast<size_t>(n) + 1, u'\0');
    ul_vsprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::u16string ul_format(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string out = ul_vformat(format, args);
    va_end(args);
    return out;
}

// ---- escapes ----------------------------------------------------------------------------

namespace {

// Decodes the escape "\c" by the table flags choose; false when the table does not list c.
bool decodeEscape(int flags, char16_t c, char16_t* decoded) {
    *decoded = c;
    if (flags & UL_ESCAPE_C) {
        if (c == u'n') *decoded = u'\n';
        if (c == u't') *decoded = u'\t';
        return c == u'\\' || c == u'"' || c == u'\'' || c == u'n' || c == u't';
    }
    if (flags & UL_ESCAPE_BRACES) return c == u'{' || c == u'}' || c == u'\\' || c == u'"';
    if (flags & UL_ESCAPE_QUOTE) return c == u'"';
    if (flags & (UL_ESCAPE_NONE | UL_ESCAPE_DOUBLEDQUOTE)) return false;
    return c == u'\\' || c == u'"';
}

// The escape sequence's second character for a word character that the table lists, else 0.
char16_t encodeEscape(int flags, char16_t c) {
    if (flags & UL_ESCAPE_C) {
        if (c == u'\n') return u'n';
        if (c == u'\t') return u't';
    }
    char16_t decoded;
    return c != u'n' && c != u't' && decodeEscape(flags, c, &decoded) ? c : 0;
}

// With UL_ESCAPE_CONTROL (on top of C): the control characters the C table does not name.
bool isHexEscaped(int flags, char16_t c) {
    return (flags & UL_ESCAPE_CONTROL) && (flags & UL_ESCAPE_C) && (c < 32 || c == 127) &&
           c != u'\n' && c != u'\t';
}

int hexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// \xHH at p as written for isHexEscaped characters; -1 when p holds none.
int readHexEscape(int flags, const char16_t* p) {
    if (!(flags & UL_ESCAPE_CONTROL) || !(flags & UL_ESCAPE_C) || p[0] != u'\\' || p[1] != u'x')
        return -1;
    const int high = hexValue(p[2]);
    const int low = high < 0 ? -1 : hexValue(p[3]);
    return low < 0 ? -1 : high * 16 + low;
}

bool endsWord(char16_t c, char16_t terminator) {
    return ul_isspace(c) || (terminator && c == terminator);
}

}  // namespace

int ul_stringreadescape(char16_t* buffer, size_t size, const char16_t* text, char16_t terminator,
                        const char16_t** end, int flags) {
    if (!text) text = u"";
    const char16_t* p = text;
    while (ul_isspace(*p)) ++p;
    if (size) buffer[0] = 0;
    if (!*p) {
        if (end) *end = p;
        return 0;
    }
    size_t n = 0;
    bool overflow = size == 0;
    auto put = [&](char16_t c) {
        if (n + 1 < size)
            buffer[n++] = c;
        else
            overflow = true;
    };
    bool quoted = false;
    while (*p) {
        char16_t c = *p;
        char16_t decoded;
        const int hex = readHexEscape(flags, p);
        if (!quoted && c == u'\\' && terminator == u'\\') {
            break;  // outside quotes a backslash terminator ends the word, escape or not
        } else if (hex >= 0) {
            put(static_cast<char16_t>(hex));
            p += 4;
        } else if (c == u'\\' && p[1] && decodeEscape(flags, p[1], &decoded)) {
            put(decoded);
            p += 2;
        } else if (c == u'"' && quoted && (flags & UL_ESCAPE_DOUBLEDQUOTE) && p[1] == u'"') {
            put(u'"');
            p += 2;
        } else if (c == u'"') {
            quoted = !quoted;
            ++p;
        } else if (!quoted && endsWord(c, terminator)) {
            break;
        } else {
            put(c);
            ++p;
        }
    }
    if (size) buffer[n] = 0;
    if (end) *end = p;
    if (overflow) {
        ul_errorsetmsgfmt(0, u"More than %d characters for word in '%s'",
                          static_cast<int>(size ? size - 1 : 0), text);
        return UL_ERROR_RETURN(-1);
    }
    return 1;
}

int ul_stringgenescape(std::u16string* out, std::u16string_view word, char16_t terminator,
                       int flags) {
    bool doubledQuote = encodeEscape(flags, u'"') == 0 && (flags & UL_ESCAPE_DOUBLEDQUOTE);
    bool quoted = word.empty();
    for (char16_t c : word) {
        if (encodeEscape(flags, c) || isHexEscaped(flags, c)) {
            // A backslash terminator would end the word at a bare escape.
            if (terminator == u'\\') quoted = true;
            continue;
        }
        if (c == u'"' && !doubledQuote) {
            ul_errorsetmsgfmt(0, u"Cannot write a double quote without escapes in '%s'",
                              std::u16string(word).c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (c == u'"' || endsWord(c, terminator)) quoted = true;
    }
    // Where a backslash is written bare but backslash-quote is an escape (UL_ESCAPE_QUOTE), one
    // in front of the closing quote would escape it, so trailing backslashes go behind the
    // closing quote; that is impossible when the backslash is the terminator.
    size_t length = word.size();
    size_t body = length;
    char16_t ignored;
    if (quoted && !encodeEscape(flags, u'\\') && decodeEscape(flags, u'"', &ignored))
        while (body && word[body - 1] == u'\\') --body;
    if (body < length && terminator == u'\\') {
        ul_errorsetmsgfmt(0, u"Cannot write a trailing backslash with terminator '\\' in '%s'",
                          std::u16string(word).c_str());
        return UL_ERROR_RETURN(-1);
    }
    const size_t start = out->size();
    if (quoted) out->push_back(u'"');
    for (size_t i = 0; i < body; ++i) {
        char16_t c = word[i];
        if (char16_t escape = encodeEscape(flags, c)) {
            out->push_back(u'\\');
            out->push_back(escape);
        } else if (isHexEscaped(flags, c)) {
            static const char16_t kHex[] = u"0123456789ABCDEF";
            *out += u"\\x";
            out->push_back(kHex[c >> 4]);
            out->push_back(kHex[c & 15]);
        } else if (c == u'"') {
            out->append(u"\"\"");
        } else {
            out->push_back(c);
        }
    }
    if (quoted) out->push_back(u'"');
    out->append(word.substr(body));
    return static_cast<int>(out->size() - start);
}

int ul_stringgenescape(char16_t* buffer, size_t size, const char16_t* word, char16_t terminator,
                       int flags) {
    if (!word) word = u"";
    std::u16string out;
    if (ul_stringgenescape(&out, word, terminator, flags) < 0) return UL_ERROR_RETURN(-1);
    if (out.size() >= size) {
        if (size) buffer[0] = 0;
        ul_errorsetmsgfmt(0, u"More than %d characters for word in '%s'",
                          static_cast<int>(size ? size - 1 : 0), word);
        return UL_ERROR_RETURN(-1);
    }
    memcpy(buffer, out.c_str(), (out.size() + 1) * sizeof(char16_t));
    return static_cast<int>(out.size());
}

// ---- values -----------------------------------------------------------------------------

int ul_string2boolean(const char16_t* text, int flags) {
    static const char16_t* const kTrue[] = {u"yes", u"true", u"on", u"ok"};
    static const char16_t* const kFalse[] = {u"no", u"false", u"off", u"bad"};
    if (text) {
        for (const char16_t* word : kTrue)
            if (ul_stricmp(text, word) == 0) return 1;
        for (const char16_t* word : kFalse)
            if (ul_stricmp(text, word) == 0) return 0;
        const char16_t* p = text;
        bool nonZero = false;
        for (; ul_isdigit(*p); ++p) nonZero |= *p != u'0';
        if (p != text && !*p) return nonZero ? 1 : 0;
    }
    if (!(flags & UL_BOOLEAN_QUIET))
        ul_errorsetmsgfmt(0, u"Illegal boolean value '%s'", text ? text : u"");
    return UL_ERROR_RETURN(-1);
}

long ul_getlongvalue(const char16_t* text, int flags) {
    if (!text) text = u"";
    const char16_t* p = text;
    while (ul_isspace(*p)) ++p;
    const char16_t* digits = p;
    long value = 0;
    for (; ul_isdigit(*p); ++p) {
        long digit = *p - u'0';
        if (value > (LONG_MAX - digit) / 10) {
            ul_errorsetmsgfmt(0, u"Invalid number '%s'", text);
            return UL_ERROR_RETURN(-1);
        }
        value = value * 10 + digit;
    }
    if (p == digits) {
        ul_errorsetmsgfmt(0, u"Invalid number '%s'", text);
        return UL_ERROR_RETURN(-1);
    }
    // The unit is whatever stands between the digits and trailing white space.
    while (ul_isspace(*p)) ++p;
    std::u16string unit(p);
    while (!unit.empty() && ul_isspace(unit.back())) unit.pop_back();
    int shift = (flags & UL_LONGVALUE_MB) ? 20 : (flags & UL_LONGVALUE_KB) ? 10 : 0;
    int unitShift;
    if (unit.empty()) {
        unitShift = (flags & UL_LONGVALUE_INUNIT) ? shift : 0;
    } else if (unit.size() == 1 && (unit[0] == u'k' || unit[0] == u'K')) {
        unitShift = 10;
    } else if (unit.size() == 1 && (unit[0] == u'm' || unit[0] == u'M')) {
        unitShift = 20;
    } else if (unit.size() == 1 && (unit[0] == u'g' || unit[0] == u'G')) {
        unitShift = 30;
    } else {
        ul_errorsetmsgfmt(0, u"Illegal unit '%s' in '%s'", unit.c_str(), text);
        return UL_ERROR_RETURN(-1);
    }
    if (unitShift >= shift) {
        int up = unitShift - shift;
        if (value > (LONG_MAX >> up)) {
            ul_errorsetmsgfmt(0, u"Invalid number '%s'", text);
            return UL_ERROR_RETURN(-1);
        }
        return value << up;
    }
    return value >> (shift - unitShift);
}

// ---- Base64 -----------------------------------------------------------------------------

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char16_t c) {
    if (c >= u'A' && c <= u'Z') return c - u'A';
    if (c >= u'a' && c <= u'z') return c - u'a' + 26;
    if (c >= u'0' && c <= u'9') return c - u'0' + 52;
    if (c == u'+') return 62;
    if (c == u'/') return 63;
    return -1;
}

// Decodes and validates text into out. Returns 0, or -1 with the message set.
int base64DecodeBytes(const char16_t* text, std::string& out) {
    if (!text) text = u"";
    size_t length = ul_strlen(text);
    if (length % 4) {
        ul_errorsetmsgfmt(0, u"Invalid Base64 length %zu of '%s'", length, text);
        return UL_ERROR_RETURN(-1);
    }
    out.clear();
    out.reserve(length / 4 * 3);
    for (size_t group = 0; group < length; group += 4) {
        bool last = group + 4 == length;
        const char16_t* g = text + group;
        int padding = last && g[3] == u'=' ? (g[2] == u'=' ? 2 : 1) : 0;
        uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) {
            int value = i < 4 - padding ? base64Value(g[i]) : 0;
            if (value < 0) {
                if (g[i] == u'=') {
                    ul_errorsetmsgfmt(0, u"Invalid Base64 padding in '%s'", text);
                } else {
                    ul_errorsetmsgfmt(0, u"Invalid Base64 character at offset %zu of '%s'",
                                      group + i, text);
                }
                return UL_ERROR_RETURN(-1);
            }
            bits = bits << 6 | static_cast<uint32_t>(value);
        }
        // The bits behind the last byte must be zero, so that every byte string has exactly
        // one accepted form.
        if ((padding == 1 && (bits & 0xFF)) || (padding == 2 && (bits & 0xFFFF))) {
            ul_errorsetmsgfmt(0, u"Invalid Base64 padding in '%s'", text);
            return UL_ERROR_RETURN(-1);
        }
        out.push_back(static_cast<char>(bits >> 16));
        if (padding < 2) out.push_back(static_cast<char>(bits >> 8 & 0xFF));
        if (padding < 1) out.push_back(static_cast<char>(bits & 0xFF));
    }
    return 0;
}

}  // namespace

long ul_base64encode(char16_t* buffer, size_t size, const void* data, size_t length) {
    size_t needed = (length + 2) / 3 * 4;
    if (needed >= size) {
        ul_errorsetmsgfmt(0, u"Base64 form needs %zu characters, buffer has %zu", needed + 1, size);
        return UL_ERROR_RETURN(-1);
    }
    auto* bytes = static_cast<const unsigned char*>(data);
    char16_t* out = buffer;
    for (size_t i = 0; i < length; i += 3) {
        size_t n = length - i < 3 ? length - i : 3;
        uint32_t bits = static_cast<uint32_t>(bytes[i]) << 16;
        if (n > 1) bits |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (n > 2) bits |= bytes[i + 2];
        *out++ = static_cast<char16_t>(kBase64Alphabet[bits >> 18]);
        *out++ = static_cast<char16_t>(kBase64Alphabet[bits >> 12 & 0x3F]);
        *out++ = n > 1 ? static_cast<char16_t>(kBase64Alphabet[bits >> 6 & 0x3F]) : u'=';
        *out++ = n > 2 ? static_cast<char16_t>(kBase64Alphabet[bits & 0x3F]) : u'=';
    }
    *out = 0;
    return static_cast<long>(needed);
}

long ul_base64encode(char16_t* buffer, size_t size, const char16_t* text) {
    std::string utf8 = ul_utf16to8(text ? text : u"");
    return ul_base64encode(buffer, size, utf8.data(), utf8.size());
}

long ul_base64decode(unsigned char* buffer, size_t size, const char16_t* text) {
    std::string bytes;
    if (base64DecodeBytes(text, bytes) < 0) return UL_ERROR_RETURN(-1);
    if (bytes.size() > size) {
        ul_errorsetmsgfmt(0, u"Decoded Base64 needs %zu units, buffer has %zu", bytes.size(), size);
        return UL_ERROR_RETURN(-1);
    }
    if (!bytes.empty()) memcpy(buffer, bytes.data(), bytes.size());
    return static_cast<long>(bytes.size());
}

long ul_base64decode(char16_t* buffer, size_t size, const char16_t* text) {
    std::string bytes;
    if (base64DecodeBytes(text, bytes) < 0) return UL_ERROR_RETURN(-1);
    if (bytes.find('\0') != std::string::npos) {
        ul_errorsetmsgfmt(0, u"Decoded Base64 holds a zero byte: '%s'", text);
        return UL_ERROR_RETURN(-1);
    }
    std::u16string decoded = ul_utf8to16(bytes.data(), bytes.size());
    if (decoded.size() >= size) {
        ul_errorsetmsgfmt(0, u"Decoded Base64 needs %zu units, buffer has %zu", decoded.size() + 1,
                          size);
        return UL_ERROR_RETURN(-1);
    }
    memcpy(buffer, decoded.c_str(), (decoded.size() + 1) * sizeof(char16_t));
    return static_cast<long>(decoded.size());
}

// ---- printable rendering ----------------------------------------------------------------

namespace {

// Appends the printable form of the character at *p and advances *p (past a surrogate pair
// as a whole).
void appendPrintable(std::u16string& out, const char16_t** p, int flags) {
    char16_t c = **p;
    ++*p;
    char16_t hex[8];
    switch (c) {
        case u'\n':
            out.append(u"\\n");
            return;
        case u'\r':
            out.append(u"\\r");
            return;
        case u'\t':
            out.append(u"\\t");
            return;
        case u'\\':
            out.append(flags & UL_PRINTABLE_BACKSLASH ? u"\\\\" : u"\\");
            return;
        default:
            break;
    }
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
        ul_sprintf(hex, 8, u"\\x%02X", static_cast<unsigned>(c));
        out.append(hex);
    } else if (c >= 0xD800 && c <= 0xDBFF && **p >= 0xDC00 && **p <= 0xDFFF) {
        out.push_back(c);
        out.push_back(*(*p)++);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
        ul_sprintf(hex, 8, u"\\u%04X", static_cast<unsigned>(c));
        out.append(hex);
    } else {
        out.push_back(c);
    }
}

}  // namespace

std::u16string ul_stringprintable(const char16_t* text, int flags) {
    std::u16string out;
    for (const char16_t* p = text ? text : u""; *p;) appendPrintable(out, &p, flags);
    return out;
}

long ul_stringprintable(char16_t* buffer, size_t size, const char16_t* text, int flags) {
    std::u16string out;
    size_t fitted = 0;  // length of the rendering up to the last character that fits
    for (const char16_t* p = text ? text : u""; *p;) {
        appendPrintable(out, &p, flags);
        if (out.size() < size) fitted = out.size();
    }
    if (size) {
        memcpy(buffer, out.data(), fitted * sizeof(char16_t));
        buffer[fitted] = 0;
    }
    if (out.size() >= size) {
        ul_errorsetmsgfmt(0, u"Printable form needs %zu characters, buffer has %zu", out.size() + 1,
                          size);
        return UL_ERROR_RETURN(-1);
    }
    return static_cast<long>(out.size());
}

#include "ulstring2.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

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

bool isFlag(char16_t c) { return c == u'-' || c == u'+' || c == u' ' || c == u'#' || c == u'0'; }

long readNumber(const char16_t** p) {
    long n = 0;
    while (ul_isdigit(**p)) n = n * 10 + (*(*p)++ - u'0');
    return n;
}

// Parses the conversion behind '%' (p points after it). Returns false for an unknown one.
bool parseSpec(const char16_t** p, va_list* args, Spec* spec) {
    while (isFlag(**p)) {
        char c = static_cast<char>(*(*p)++);
        if (c == '-') spec->leftAlign = true;
        if (spec->flagCount < 7 && !strchr(spec->flags, c)) spec->flags[spec->flagCount++] = c;
    }
    if (**p == u'*') {
        ++*p;
        spec->width = va_arg(*args, int);
        if (spec->width < 0) {
            spec->leftAlign = true;
            spec->width = -spec->width;
            if (!strchr(spec->flags, '-')) spec->flags[spec->flagCount++] = '-';
        }
    } else if (ul_isdigit(**p)) {
        spec->width = readNumber(p);
    }
    if (**p == u'.') {
        ++*p;
        if (**p == u'*') {
            ++*p;
            int precision = va_arg(*args, int);
            spec->precision = precision < 0 ? -1 : precision;
        } else {
            spec->precision = readNumber(p);
        }
    }
    int n = 0;
    while (n < 2 && (**p == u'h' || **p == u'l' || **p == u'j' || **p == u'z' || **p == u't' ||
                     **p == u'L'))
        spec->length[n++] = static_cast<char>(*(*p)++);
    char16_t c = **p;
    if (!c || !strchr("diouxXcseEfFgGaAp%", static_cast<int>(c < 128 ? c : 1))) return false;
    spec->conversion = static_cast<char>(c);
    ++*p;
    return true;
}

// Builds the narrow format for one numeric conversion with width and precision resolved.
void narrowFormat(const Spec& spec, char* out, size_t size) {
    int n = snprintf(out, size, "%%%s", spec.flags);
    if (spec.width >= 0) n += snprintf(out + n, size - n, "%ld", spec.width);
    if (spec.precision >= 0) n += snprintf(out + n, size - n, ".%ld", spec.precision);
    snprintf(out + n, size - n, "%s%c", spec.length, spec.conversion);
}

void putPadded(Sink& sink, const Spec& spec, const char16_t* text, size_t n) {
    long padding = spec.width > static_cast<long>(n) ? spec.width - static_cast<long>(n) : 0;
    if (!spec.leftAlign) sink.pad(u' ', padding);
    sink.put(text, n);
    if (spec.leftAlign) sink.pad(u' ', padding);
}

void formatString(Sink& sink, const Spec& spec, va_list* args) {
    bool narrow = spec.length[0] == 'h';
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
    while (text[n] && (spec.precision < 0 || n < static_cast<size_t>(spec.precision))) ++n;
    putPadded(sink, spec, text, n);
}

template <typename T>
void formatNarrow(Sink& sink, const Spec& spec, T value) {
    char format[48];
    narrowFormat(spec, format, sizeof format);
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

void formatInteger(Sink& sink, const Spec& spec, va_list* args) {
    bool isSigned = spec.conversion == 'd' || spec.conversion == 'i';
    std::string length = spec.length;
    if (length == "l") {
        isSigned ? formatNarrow(sink, spec, va_arg(*args, long))
                 : formatNarrow(sink, spec, va_arg(*args, unsigned long));
    } else if (length == "ll" || length == "L") {
        isSigned ? formatNarrow(sink, spec, va_arg(*args, long long))
                 : formatNarrow(sink, spec, va_arg(*args, unsigned long long));
    } else if (length == "j") {
        isSigned ? formatNarrow(sink, spec, va_arg(*args, intmax_t))
                 : formatNarrow(sink, spec, va_arg(*args, uintmax_t));
    } else if (length == "z") {
        formatNarrow(sink, spec, va_arg(*args, size_t));
    } else if (length == "t") {
        formatNarrow(sink, spec, va_arg(*args, ptrdiff_t));
    } else {
        // int, and the promoted forms of short and char ("h", "hh"): snprintf narrows them.
        isSigned ? formatNarrow(sink, spec, va_arg(*args, int))
                 : formatNarrow(sink, spec, va_arg(*args, unsigned));
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
        Spec spec;
        if (!parseSpec(&p, &ap, &spec)) {
            valid = false;
            break;
        }
        switch (spec.conversion) {
            case '%': sink.put(u'%'); break;
            case 's': formatString(sink, spec, &ap); break;
            case 'c': {
                char16_t c = static_cast<char16_t>(va_arg(ap, int));
                putPadded(sink, spec, &c, 1);
                break;
            }
            case 'p': formatNarrow(sink, spec, va_arg(ap, void*)); break;
            case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
                if (spec.length[0] == 'L')
                    formatNarrow(sink, spec, va_arg(ap, long double));
                else
                    formatNarrow(sink, spec, va_arg(ap, double));
                break;
            default: formatInteger(sink, spec, &ap); break;
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

#include "ulstring.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "ulerror.h"
#include "ulstring2.h"

size_t ul_strlen(const char16_t* s) {
    if (!s) return 0;
    const char16_t* p = s;
    while (*p) ++p;
    return static_cast<size_t>(p - s);
}

size_t ul_strlcpy(char16_t* dst, const char16_t* src, size_t size) {
    size_t len = ul_strlen(src);
    if (size == 0) return len;
    size_t n = len < size - 1 ? len : size - 1;
    if (n) memmove(dst, src, n * sizeof(char16_t));
    dst[n] = 0;
    return len;
}

size_t ul_strlcat(char16_t* dst, const char16_t* src, size_t size) {
    size_t have = 0;
    while (have < size && dst[have]) ++have;
    if (have == size) return have + ul_strlen(src);
    return have + ul_strlcpy(dst + have, src, size - have);
}

int ul_strcmp(const char16_t* a, const char16_t* b) {
    if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
    while (*a && *a == *b) ++a, ++b;
    return static_cast<int>(*a) - static_cast<int>(*b);
}

int ul_strncmp(const char16_t* a, const char16_t* b, size_t n) {
    if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
    for (; n; --n, ++a, ++b) {
        if (*a != *b) return static_cast<int>(*a) - static_cast<int>(*b);
        if (!*a) break;
    }
    return 0;
}

const char16_t* ul_strchr(const char16_t* s, char16_t c) {
    if (!s) return nullptr;
    for (;; ++s) {
        if (*s == c) return s;
        if (!*s) return nullptr;
    }
}

const char16_t* ul_strrchr(const char16_t* s, char16_t c) {
    const char16_t* found = nullptr;
    if (!s) return nullptr;
    for (;; ++s) {
        if (*s == c) found = s;
        if (!*s) return found;
    }
}

const char16_t* ul_strstr(const char16_t* haystack, const char16_t* needle) {
    if (!haystack || !needle) return nullptr;
    size_t n = ul_strlen(needle);
    if (n == 0) return haystack;
    for (; *haystack; ++haystack)
        if (*haystack == *needle && ul_strncmp(haystack, needle, n) == 0) return haystack;
    return nullptr;
}

char16_t* ul_strndup(const char16_t* s, size_t n) {
    size_t len = ul_strlen(s);
    if (len > n) len = n;
    auto* copy = static_cast<char16_t*>(malloc((len + 1) * sizeof(char16_t)));
    if (!copy) {
        ul_erroroutofmemory();
        return nullptr;
    }
    if (len) memcpy(copy, s, len * sizeof(char16_t));
    copy[len] = 0;
    return copy;
}

char16_t* ul_strdup(const char16_t* s) { return ul_strndup(s, SIZE_MAX); }

char16_t ul_chartolower(char16_t c) {
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
    return c;
}

char16_t ul_chartoupper(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
    return c;
}

int ul_strnicmp(const char16_t* a, const char16_t* b, size_t n) {
    if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
    for (; n; --n, ++a, ++b) {
        char16_t ca = ul_chartolower(*a), cb = ul_chartolower(*b);
        if (ca != cb) return static_cast<int>(ca) - static_cast<int>(cb);
        if (!ca) break;
    }
    return 0;
}

int ul_stricmp(const char16_t* a, const char16_t* b) { return ul_strnicmp(a, b, SIZE_MAX); }

const char16_t* ul_stringstartcmp(const char16_t* s, const char16_t* prefix) {
    size_t n = ul_strlen(prefix);
    return s && ul_strncmp(s, prefix, n) == 0 ? s + n : nullptr;
}

const char16_t* ul_stringstarticmp(const char16_t* s, const char16_t* prefix) {
    size_t n = ul_strlen(prefix);
    return s && ul_strnicmp(s, prefix, n) == 0 ? s + n : nullptr;
}

size_t ul_stringtrimtail(char16_t* s) {
    size_t len = ul_strlen(s);
    while (len && ul_isspace(s[len - 1])) s[--len] = 0;
    return len;
}

int ul_stringtolong(const char16_t* text, long* value) {
    if (!text) return -1;
    const char16_t* p = text;
    bool negative = *p == u'-';
    if (*p == u'-' || *p == u'+') ++p;
    if (!ul_isdigit(*p)) return -1;
    unsigned long magnitude = 0;
    const unsigned long limit = negative ? static_cast<unsigned long>(LONG_MAX) + 1 : LONG_MAX;
    for (; ul_isdigit(*p); ++p) {
        unsigned digit = static_cast<unsigned>(*p - u'0');
        if (magnitude > (limit - digit) / 10) return -1;
        magnitude = magnitude * 10 + digit;
    }
    if (*p) return -1;
    *value = negative ? static_cast<long>(0 - magnitude) : static_cast<long>(magnitude);
    return 0;
}

// ---- UTF-8 <-> UTF-16 -------------------------------------------------------------------

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at text[*pos]; returns the code point or U+FFFD for an invalid
// or truncated sequence (consuming one byte, so decoding resynchronises).
char32_t decodeUtf8(const unsigned char* text, size_t length, size_t* pos) {
    unsigned char lead = text[*pos];
    if (lead < 0x80) {
        ++*pos;
        return lead;
    }
    int extra = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 && lead < 0xF0 ? 2
              : lead >= 0xC2 && lead < 0xE0  ? 1
                                             : -1;
    if (extra < 0 || *pos + static_cast<size_t>(extra) >= length) {
        ++*pos;
        return kReplacement;
    }
    char32_t cp = lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        unsigned char c = text[*pos + i];
        if ((c & 0xC0) != 0x80) {
            ++*pos;
            return kReplacement;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++*pos;
        return kReplacement;
    }
    *pos += static_cast<size_t>(extra) + 1;
    return cp;
}

}  // namespace

std::u16string ul_utf8to16(const char* text, size_t length) {
    std::u16string out;
    if (!text) return out;
    out.reserve(length);
    auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t pos = 0;
    while (pos < length) {
        char32_t cp = decodeUtf8(bytes, length, &pos);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::u16string ul_utf8to16(const char* text) { return ul_utf8to16(text, text ? strlen(text) : 0); }

void ul_utf16to8append(std::string& out, const char16_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
}

std::string ul_utf16to8(const char16_t* text, size_t length) {
    std::string out;
    out.reserve(length);
    if (text) ul_utf16to8append(out, text, length);
    return out;
}

std::string ul_utf16to8(const char16_t* text) { return ul_utf16to8(text, ul_strlen(text)); }

// ---- word lists -------------------------------------------------------------------------

namespace {

bool isSeparator(char16_t c, char16_t separator) {
    return separator == u' ' ? ul_isspace(c) : c == separator;
}

char16_t closingBracket(char16_t c) {
    switch (c) {
        case u'(': return u')';
        case u'[': return u']';
        case u'{': return u'}';
        default: return 0;
    }
}

// Scans one word from p. Appends its characters (minus dropped quotes, with doubled
// separators folded) to word and returns the position of the separator or terminator.
const char16_t* scanWord(const char16_t* p, char16_t separator, int flags, std::u16string& word) {
    std::u16string brackets;  // expected closing brackets, innermost last
    for (; *p; ++p) {
        char16_t c = *p;
        if (brackets.empty() && isSeparator(c, separator)) {
            bool doubled = (flags & UL_WORDLIST_DOUBLED_SEPARATOR) && separator != u' ' &&
                           p[1] == separator;
            if (!doubled) break;
            word.push_back(c);
            ++p;
            continue;
        }
        if (flags & UL_WORDLIST_BRACKETS) {
            if (char16_t close = closingBracket(c)) {
                brackets.push_back(close);
            } else if (!brackets.empty() && c == brackets.back()) {
                brackets.pop_back();
            }
        }
        if (c == u'"' && (flags & UL_WORDLIST_DROP_QUOTES)) continue;
        word.push_back(c);
    }
    return p;
}

void trimWord(std::u16string& word) {
    size_t begin = 0, end = word.size();
    while (begin < end && ul_isspace(word[begin])) ++begin;
    while (end > begin && ul_isspace(word[end - 1])) --end;
    word = word.substr(begin, end - begin);
}

}  // namespace

// A text that is empty, or only white space for a blank separator, holds no word; a
// separator at the very end does not start another (empty) word.
int ul_stringexpwordlist(const char16_t** cursor, char16_t separator, char16_t* buffer,
                         size_t size, int flags) {
    for (;;) {
        const char16_t* p = *cursor;
        if (!p) return 0;
        if (separator == u' ')
            while (ul_isspace(*p)) ++p;
        if (!*p) {
            *cursor = nullptr;
            return 0;
        }
        std::u16string word;
        const char16_t* end = scanWord(p, separator, flags, word);
        *cursor = *end && end[1] ? end + 1 : nullptr;
        if (flags & UL_WORDLIST_TRIM) trimWord(word);
        if (word.empty() && (flags & UL_WORDLIST_SKIP_EMPTY)) continue;
        if (word.size() >= size) {
            ul_errorsetmsgfmt(0, u"Word length %d exceeds buffer length %d",
                              static_cast<int>(word.size()), static_cast<int>(size));
            return UL_ERROR_RETURN(-1);
        }
        ul_strlcpy(buffer, word.c_str(), size);
        return 1;
    }
}

#include "ulstring.h"

#include <unicode/uchar.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

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

char16_t* ul_strdup(const char16_t* s) {
    return ul_strndup(s, SIZE_MAX);
}

char16_t ul_chartolower(char16_t c) {
    if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    UChar32 mapped = u_tolower(c);
    return mapped <= 0xFFFF ? static_cast<char16_t>(mapped) : c;
}

char16_t ul_chartoupper(char16_t c) {
    if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    UChar32 mapped = u_toupper(c);
    return mapped <= 0xFFFF ? static_cast<char16_t>(mapped) : c;
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

int ul_stricmp(const char16_t* a, const char16_t* b) {
    return ul_strnicmp(a, b, SIZE_MAX);
}

const char16_t* ul_stristr(const char16_t* haystack, const char16_t* needle) {
    if (!haystack || !needle) return nullptr;
    size_t n = ul_strlen(needle);
    if (n == 0) return haystack;
    char16_t first = ul_chartolower(*needle);
    for (; *haystack; ++haystack)
        if (ul_chartolower(*haystack) == first && ul_strnicmp(haystack, needle, n) == 0)
            return haystack;
    return nullptr;
}

const char16_t* ul_stringstartcmp(const char16_t* s, const char16_t* prefix) {
    size_t n = ul_strlen(prefix);
    return s && ul_strncmp(s, prefix, n) == 0 ? s + n : nullptr;
}

const char16_t* ul_stringstarticmp(const char16_t* s, const char16_t* prefix) {
    size_t n = ul_strlen(prefix);
    return s && ul_strnicmp(s, prefix, n) == 0 ? s + n : nullptr;
}

bool ul_stringendswith(const char16_t* s, const char16_t* suffix) {
    size_t length = ul_strlen(s), n = ul_strlen(suffix);
    return s && n <= length && ul_strncmp(s + length - n, suffix ? suffix : u"", n) == 0;
}

bool ul_stringiendswith(const char16_t* s, const char16_t* suffix) {
    size_t length = ul_strlen(s), n = ul_strlen(suffix);
    return s && n <= length && ul_strnicmp(s + length - n, suffix ? suffix : u"", n) == 0;
}

std::u16string ul_stringupper(std::u16string_view s) {
    std::u16string u(s);
    for (char16_t& c : u) c = ul_chartoupper(c);
    return u;
}

char16_t* ul_string2upper(char16_t* s) {
    for (char16_t* p = s; p && *p; ++p) *p = ul_chartoupper(*p);
    return s;
}

char16_t* ul_string2lower(char16_t* s) {
    for (char16_t* p = s; p && *p; ++p) *p = ul_chartolower(*p);
    return s;
}

size_t ul_stringtrimtail(char16_t* s) {
    size_t len = ul_strlen(s);
    while (len && ul_isspace(s[len - 1])) s[--len] = 0;
    return len;
}

size_t ul_stringtrim(char16_t* s) {
    size_t len = ul_stringtrimtail(s);
    size_t lead = 0;
    while (lead < len && ul_isspace(s[lead])) ++lead;
    if (lead) memmove(s, s + lead, (len - lead + 1) * sizeof(char16_t));
    return len - lead;
}

std::u16string ul_trimmed(std::u16string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && ul_isspace(text[begin])) ++begin;
    while (end > begin && ul_isspace(text[end - 1])) --end;
    return std::u16string(text.substr(begin, end - begin));
}

size_t ul_stringtrimlineending(char16_t* s) {
    size_t len = ul_strlen(s);
    if (len && s[len - 1] == u'\n') s[--len] = 0;
    if (len && s[len - 1] == u'\r') s[--len] = 0;
    return len;
}

size_t ul_stringcondensespaces(char16_t* s) {
    if (!s) return 0;
    char16_t* out = s;
    for (const char16_t* p = s; *p;) {
        if (ul_isspace(*p)) {
            while (ul_isspace(*p)) ++p;
            *out++ = u' ';
        } else {
            *out++ = *p++;
        }
    }
    *out = 0;
    return static_cast<size_t>(out - s);
}

// ---- groups and versions ----------------------------------------------------------------

bool ul_stringgroupcompare(const char16_t* word, const char16_t* list, char16_t separator,
                           int flags) {
    if (!word || !list) return false;
    size_t n = ul_strlen(word);
    bool ignoreCase = flags & UL_GROUP_IGNORECASE;
    bool blank = separator == u' ';
    for (const char16_t* p = list;;) {
        if (blank)
            while (ul_isspace(*p)) ++p;
        if (!*p) return false;  // no entry left (a trailing separator starts none)
        const char16_t* entry = p;
        while (*p && (blank ? !ul_isspace(*p) : *p != separator)) ++p;
        if (static_cast<size_t>(p - entry) == n &&
            (ignoreCase ? ul_strnicmp(entry, word, n) : ul_strncmp(entry, word, n)) == 0)
            return true;
        if (*p) ++p;
    }
}

namespace {

// One version component: its significant digits (leading zeros dropped) as a range.
struct VersionPart {
    const char16_t* digits;
    size_t count;
};

// Reads the component at *p and moves *p behind its dot (or to the end).
VersionPart nextVersionPart(const char16_t** p) {
    const char16_t* s = *p;
    while (*s == u'0') ++s;
    VersionPart part{s, 0};
    while (ul_isdigit(s[part.count])) ++part.count;
    s += part.count;
    while (*s && *s != u'.') ++s;
    *p = *s ? s + 1 : s;
    return part;
}

int compareVersionParts(const VersionPart& a, const VersionPart& b) {
    if (a.count != b.count) return a.count < b.count ? -1 : 1;
    int rc = ul_strncmp(a.digits, b.digits, a.count);
    return rc < 0 ? -1 : rc > 0 ? 1 : 0;
}

size_t countVersionParts(const char16_t* v) {
    size_t count = 1;
    for (; *v; ++v)
        if (*v == u'.') ++count;
    return count;
}

}  // namespace

int ul_numversioncmp(const char16_t* a, const char16_t* b, int n) {
    if (!a || !b || !*a || !*b) {
        ul_errorsetmsgfmt(0, u"Empty version in comparing '%s' '%s'", a ? a : u"", b ? b : u"");
        return UL_ERROR_RETURN(-2);
    }
    size_t countA = countVersionParts(a), countB = countVersionParts(b);
    size_t components = n >= 0    ? static_cast<size_t>(n)
                        : n == -1 ? (countA < countB ? countA : countB)
                                  : (countA > countB ? countA : countB);
    for (size_t i = 0; i < components; ++i) {
        int rc = compareVersionParts(nextVersionPart(&a), nextVersionPart(&b));
        if (rc) return rc;
    }
    return 0;
}

// ---- wildcard matching ------------------------------------------------------------------

namespace {

class WildMatcher {
  public:
    WildMatcher(const char16_t* pattern, int mode) : pattern_(pattern), mode_(mode) {
        anySequence_ = mode & UL_WILD_SQL ? u'%' : u'*';
        anyOne_ = mode & UL_WILD_SQL ? u'_' : mode & UL_WILD_DOT ? u'.' : u'?';
        ignoreCase_ = mode & UL_WILD_IGNORECASE;
    }

    int match(const char16_t* object) const {
        bool full = mode_ & UL_WILD_FULL;
        const char16_t* p = pattern_;
        const char16_t* o = object;
        const char16_t* starPattern = nullptr;  // pattern behind the last "*"
        const char16_t* starObject = nullptr;   // object position that "*" covers up to
        for (;;) {
            if (atPatternEnd(p, &full)) {
                if (!full || !*o) return static_cast<int>(o - object) + 1;
            } else if (*p == anySequence_) {
                starPattern = ++p;
                starObject = o;
                continue;
            } else if (*o) {
                const char16_t* next;
                if (matchOne(p, *o, &next)) {
                    p = next;
                    ++o;
                    continue;
                }
            }
            // Mismatch: let the last "*" cover one more object character.
            if (!starPattern || !*starObject) return 0;
            p = starPattern;
            o = ++starObject;
        }
    }

  private:
    // True at the end of the pattern; an unescaped "$" as the last character is the end too
    // and demands a full match.
    bool atPatternEnd(const char16_t* p, bool* full) const {
        if (!*p) return true;
        if (*p == u'$' && !p[1]) {
            *full = true;
            return true;
        }
        return false;
    }

    bool equal(char16_t a, char16_t b) const {
        return a == b || (ignoreCase_ && ul_chartolower(a) == ul_chartolower(b));
    }

    bool inRange(char16_t c, char16_t low, char16_t high) const {
        if (c >= low && c <= high) return true;
        if (!ignoreCase_) return false;
        char16_t lower = ul_chartolower(c), upper = ul_chartoupper(c);
        return (lower >= low && lower <= high) || (upper >= low && upper <= high);
    }

    // Matches one object character against the pattern element at p (not "*" and not the
    // end); stores the position behind the element in *next.
    bool matchOne(const char16_t* p, char16_t c, const char16_t** next) const {
        if (*p == u'[') {
            int rc = matchClass(p, c, next);
            if (rc >= 0) return rc;
            // No closing "]": the "[" is a literal.
        }
        *next = p + 1;
        if (*p == anyOne_) return true;
        if (*p == u'\\' && p[1]) {
            *next = p + 2;
            return equal(p[1], c);
        }
        return equal(*p, c);
    }

    // 1 or 0 for a class that c matches or not, -1 when the class is not closed.
    int matchClass(const char16_t* p, char16_t c, const char16_t** next) const {
        ++p;
        bool negated = *p == u'^';
        if (negated) ++p;
        bool found = false;
        bool first = true;
        while (*p && (first || *p != u']')) {
            first = false;
            char16_t low = *p;
            if (low == u'\\' && p[1]) low = *++p;
            ++p;
            char16_t high = low;
            if (*p == u'-' && p[1] && p[1] != u']') {
                ++p;
                high = *p;
                if (high == u'\\' && p[1]) high = *++p;
                ++p;
            }
            if (inRange(c, low, high)) found = true;
        }
        if (!*p) return -1;
        *next = p + 1;
        return found != negated ? 1 : 0;
    }

    const char16_t* pattern_;
    int mode_;
    char16_t anySequence_;
    char16_t anyOne_;
    bool ignoreCase_;
};

}  // namespace

int ul_stringwildcmp(const char16_t* pattern, const char16_t* object, int mode) {
    if (!pattern || !object) return 0;
    return WildMatcher(pattern, mode).match(object);
}

// ---- substrings and replacing -----------------------------------------------------------

long ul_stringsubstr(char16_t* buffer, size_t size, const char16_t* s, size_t start,
                     size_t length) {
    size_t total = ul_strlen(s);
    size_t from = start < total ? start : total;
    size_t n = length < total - from ? length : total - from;
    if (n >= size) {
        if (size) buffer[0] = 0;
        ul_errorsetmsgfmt(0, u"Substring of %zu characters exceeds buffer length %zu", n, size);
        return UL_ERROR_RETURN(-1);
    }
    if (n) memmove(buffer, s + from, n * sizeof(char16_t));
    buffer[n] = 0;
    return static_cast<long>(n);
}

long ul_stringreplace(char16_t* buffer, size_t size, const char16_t* search,
                      const char16_t* replacement, int flags) {
    size_t n = ul_strlen(search);
    if (!buffer || n == 0) return 0;
    if (!replacement) replacement = u"";
    auto find = flags & UL_REPLACE_IGNORECASE ? ul_stristr : ul_strstr;
    std::u16string result;
    long count = 0;
    const char16_t* p = buffer;
    for (const char16_t* hit; (hit = find(p, search)) != nullptr;) {
        result.append(p, static_cast<size_t>(hit - p)).append(replacement);
        p = hit + n;
        ++count;
        if (flags & UL_REPLACE_FIRST) break;
    }
    if (count == 0) return 0;
    result.append(p);
    if (result.size() >= size) {
        ul_errorsetmsgfmt(0, u"Replacing '%s' by '%s' exceeds buffer length %zu", search,
                          replacement, size);
        return UL_ERROR_RETURN(-1);
    }
    memcpy(buffer, result.c_str(), (result.size() + 1) * sizeof(char16_t));
    return count;
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

int ul_stringtocount(const char16_t* text, long* value) {
    if (!text || !ul_isdigit(text[0]) || ul_stringtolong(text, value) < 0) {
        ul_errorsetmsgfmt(0, u"Invalid number '%s'", text ? text : u"");
        return UL_ERROR_RETURN(-1);
    }
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
    int extra = lead >= 0xF0 && lead <= 0xF4  ? 3
                : lead >= 0xE0 && lead < 0xF0 ? 2
                : lead >= 0xC2 && lead < 0xE0 ? 1
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

long ul_utf8invalidoffset(const char* text, size_t length) {
    auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t pos = 0;
    while (pos < length) {
        const size_t start = pos;
        // Only an invalid sequence yields U+FFFD from a single byte; U+FFFD itself takes three.
        if (decodeUtf8(bytes, length, &pos) == kReplacement && pos - start == 1)
            return static_cast<long>(start);
    }
    return -1;
}

void ul_utf8to16append(std::u16string& out, const char* text, size_t length) {
    if (!text) return;
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
}

std::u16string ul_utf8to16(const char* text, size_t length) {
    std::u16string out;
    out.reserve(length);
    ul_utf8to16append(out, text, length);
    return out;
}

std::u16string ul_utf8to16(const char* text) {
    return ul_utf8to16(text, text ? strlen(text) : 0);
}

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

std::string ul_utf16to8(const char16_t* text) {
    return ul_utf16to8(text, ul_strlen(text));
}

size_t ul_stringutf8len(const char16_t* s) {
    size_t bytes = 0;
    for (; s && *s; ++s) {
        char16_t c = *s;
        if (c < 0x80) {
            bytes += 1;
        } else if (c < 0x800) {
            bytes += 2;
        } else if (c >= 0xD800 && c <= 0xDBFF && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
            bytes += 4;
            ++s;
        } else {
            bytes += 3;  // the rest of the BMP, and an unpaired surrogate written as U+FFFD
        }
    }
    return bytes;
}

// ---- word lists -------------------------------------------------------------------------

namespace {

bool isSeparator(char16_t c, char16_t separator) {
    return separator == u' ' ? ul_isspace(c) : c == separator;
}

char16_t closingBracket(char16_t c) {
    switch (c) {
        case u'(':
            return u')';
        case u'[':
            return u']';
        case u'{':
            return u'}';
        default:
            return 0;
    }
}

// Scans one word from p. Appends its characters (minus dropped quotes, with doubled
// separators folded) to word and returns the position of the separator or terminator.
const char16_t* scanWord(const char16_t* p, char16_t separator, int flags, std::u16string& word) {
    std::u16string brackets;  // expected closing brackets, innermost last
    for (; *p; ++p) {
        char16_t c = *p;
        if (brackets.empty() && isSeparator(c, separator)) {
            bool doubled =
                (flags & UL_WORDLIST_DOUBLED_SEPARATOR) && separator != u' ' && p[1] == separator;
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
int ul_stringexpwordlist(const char16_t** cursor, char16_t separator, char16_t* buffer, size_t size,
                         int flags) {
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

int ul_stringcallexpwordlist(const char16_t* text, char16_t separator, ULWordListExpander* expander,
                             int flags) {
    std::u16string word(UL_WORDLIST_MAXWORD + 1, u'\0');
    int count = 0;
    int rc;
    while ((rc = ul_stringexpwordlist(&text, separator, word.data(), word.size(), flags)) > 0) {
        if (expander->handleSingleWord(word.c_str()) == -1) return UL_ERROR_RETURN(-1);
        ++count;
    }
    return rc < 0 ? UL_ERROR_RETURN(-1) : count;
}

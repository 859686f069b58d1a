#include "ulsax.h"

#include <cstring>
#include <new>

#include "ulerror.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

// ==== Character source ======================================================================

namespace {

constexpr size_t kReadBlock = 8192;
constexpr char16_t kReplacement = 0xFFFD;
constexpr char16_t kByteOrderMark = 0xFEFF;

// Number of bytes at the end of data[0, length) that begin a UTF-8 sequence the block does
// not complete; they are decoded together with the next block.
size_t incompleteTail(const unsigned char* data, size_t length) {
    for (size_t k = 1; k <= 3 && k <= length; ++k) {
        unsigned char b = data[length - k];
        if ((b & 0xC0) == 0x80) continue;
        size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        return need > k ? k : 0;
    }
    return 0;
}

// Characters beyond U+FFFF arrive as surrogate pairs; each becomes one U+FFFD.
void replaceSurrogatePairs(std::u16string& text) {
    size_t out = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            c = kReplacement;
            ++i;
        }
        text[out++] = c;
    }
    text.resize(out);
}

}  // namespace

void ul_saxstream_t::openFile(FILE* stream) {
    *this = ul_saxstream_t();
    type = UL_SAXSTREAM_FILE;
    file = stream;
}

void ul_saxstream_t::openString(const char16_t* string) {
    *this = ul_saxstream_t();
    type = UL_SAXSTREAM_STRING;
    text = string ? string : u"";
}

// Decodes the next block of the file into m_decoded; false at the end or on a read error.
bool ul_saxstream_t::fill() {
    m_decoded.clear();
    m_next = 0;
    while (m_decoded.empty()) {
        if (m_atEnd) return false;
        unsigned char bytes[kReadBlock + 4];
        memcpy(bytes, m_carry, m_carryLength);
        size_t n = fread(bytes + m_carryLength, 1, kReadBlock, file);
        if (n == 0 && ferror(file)) {
            failed = true;
            ul_errorsetmsg(UL_ERR_SYSTEM, u"Read error");
            return false;
        }
        size_t total = m_carryLength + n;
        if (n == 0) m_atEnd = true;
        m_carryLength = m_atEnd ? 0 : incompleteTail(bytes, total);
        size_t complete = total - m_carryLength;
        memcpy(m_carry, bytes + complete, m_carryLength);
        ul_utf8to16append(m_decoded, reinterpret_cast<const char*>(bytes), complete);
        replaceSurrogatePairs(m_decoded);
        if (!m_started && !m_decoded.empty()) {
            m_started = true;
            if (m_decoded[0] == kByteOrderMark) m_decoded.erase(0, 1);
        }
    }
    return true;
}

int ul_saxstream_t::getChar() {
    if (m_pushback != UL_SAXCHAR_EOF) {
        int c = m_pushback;
        m_pushback = UL_SAXCHAR_EOF;
        ++position;
        return c;
    }
    if (type == UL_SAXSTREAM_STRING) {
        if (!text || !text[position]) return UL_SAXCHAR_EOF;
        return text[position++];
    }
    if (type != UL_SAXSTREAM_FILE || failed) return failed ? UL_SAXCHAR_ERROR : UL_SAXCHAR_EOF;
    if (m_next >= m_decoded.size() && !fill()) return failed ? UL_SAXCHAR_ERROR : UL_SAXCHAR_EOF;
    ++position;
    return m_decoded[m_next++];
}

void ul_saxstream_t::ungetChar(int c) {
    if (c < 0) return;
    if (type == UL_SAXSTREAM_STRING) {
        --position;
        return;
    }
    m_pushback = c;
    --position;
}

// ==== Tokenizer =============================================================================

namespace {

// Longest reference name accepted between "&" and ";".
constexpr size_t kMaxReference = 32;

bool isLetter(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}
bool isNameChar(int c) {
    return isLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == ':';
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// The code unit of a numeric reference body ("#65", "#x41"), or -1.
long numericReference(const std::u16string& body) {
    bool hex = body.size() > 1 && (body[1] == u'x' || body[1] == u'X');
    size_t start = hex ? 2 : 1;
    if (start >= body.size()) return -1;
    long value = 0;
    for (size_t i = start; i < body.size(); ++i) {
        int digit = hex ? hexDigit(body[i]) : ul_isdigit(body[i]) ? body[i] - u'0' : -1;
        if (digit < 0) return -1;
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0x10FFFF) return -1;
    }
    if (value == 0) return -1;
    return value > 0xFFFF ? kReplacement : value;
}

struct NamedReference {
    const char16_t* name;
    char16_t value;
};
const NamedReference kNamedReferences[] = {
    {u"lt", u'<'},   {u"gt", u'>'},    {u"amp", u'&'},
    {u"quot", u'"'}, {u"apos", u'\''}, {u"nbsp", u' '},
};

// One token scan over the state of a ul_saxparse_t. Errors set the error buffer and return
// UL_SAXTOK_ERROR; the state's line and column then point at the offending character.
class Scanner {
  public:
    explicit Scanner(ul_saxparse_t& state) : s_(state) {}

    int scan() {
        s_.token.clear();
        s_.attributeCount = 0;
        s_.tokenLine = s_.line;
        s_.tokenColumn = s_.column + 1;
        int c = get();
        if (c == UL_SAXCHAR_ERROR) return UL_ERROR_RETURN(UL_SAXTOK_ERROR);
        if (c == UL_SAXCHAR_EOF) return UL_SAXTOK_EOF;
        if (c == u'<') return markup();
        unget(c);
        return content();
    }

  private:
    int get() {
        int c = s_.stream.getChar();
        if (c == u'\n') {
            ++s_.line;
            s_.previousColumn = s_.column;
            s_.column = 0;
        } else if (c >= 0) {
            ++s_.column;
        }
        return c;
    }

    void unget(int c) {
        if (c < 0) return;
        s_.stream.ungetChar(c);
        if (c == u'\n') {
            --s_.line;
            s_.column = s_.previousColumn;
        } else {
            --s_.column;
        }
    }

    int skipSpace() {
        int c;
        do c = get();
        while (c >= 0 && ul_isspace(static_cast<char16_t>(c)));
        return c;
    }

    // A character that ends markup unexpectedly: EOF or a read error.
    int truncated(int c) {
        if (c == UL_SAXCHAR_EOF) ul_errorsetmsg(0, u"Premature EOF");
        return UL_ERROR_RETURN(UL_SAXTOK_ERROR);
    }

    int fail(const char16_t* format, int c) {
        ul_errorsetmsgfmt(0, format, static_cast<char16_t>(c));
        return UL_ERROR_RETURN(UL_SAXTOK_ERROR);
    }

    int content() {
        bool onlySpace = true;
        for (;;) {
            int c = get();
            if (c == UL_SAXCHAR_EOF) break;
            if (c == UL_SAXCHAR_ERROR) return UL_ERROR_RETURN(UL_SAXTOK_ERROR);
            if (c == u'<') {
                unget(c);
                break;
            }
            if (c == u'&' && !(s_.mode & UL_SAX_KEEPREFS)) {
                onlySpace = false;
                if (reference(s_.token) < 0) return UL_ERROR_RETURN(UL_SAXTOK_ERROR);
                continue;
            }
            if (!ul_isspace(static_cast<char16_t>(c))) onlySpace = false;
            s_.token.push_back(static_cast<char16_t>(c));
        }
        return onlySpace ? UL_SAXTOK_WHITESPACE : UL_SAXTOK_CONTENT;
    }

    // Decodes the reference behind a "&" and appends its character to out.
    int reference(std::u16string& out) {
        std::u16string body;
        for (;;) {
            int c = get();
            if (c == UL_SAXCHAR_ERROR) return UL_ERROR_RETURN(-1);
            if (c == u';') break;
            if (c < 0 || c == u'<' || c == u'&' || c == u'"' ||
                ul_isspace(static_cast<char16_t>(c)) || body.size() >= kMaxReference) {
                ul_errorsetmsg(0, u"Unterminated escape sequence");
                return UL_ERROR_RETURN(-1);
            }
            body.push_back(static_cast<char16_t>(c));
        }
        long value = -1;
        if (!body.empty() && body[0] == u'#') {
            value = numericReference(body);
        } else {
            for (const NamedReference& ref : kNamedReferences) {
                if (body == ref.name && !(ref.value == u'\'' && (s_.mode & UL_SAX_LAZYHTML)))
                    value = ref.value;
            }
        }
        if (value < 0) {
            ul_errorsetmsgfmt(0, u"Invalid escape sequence '&%s;'", body.c_str());
            return UL_ERROR_RETURN(-1);
        }
        out.push_back(static_cast<char16_t>(value));
        return 0;
    }

    int markup() {
        int c = get();
        if (c < 0) return truncated(c);
        if (c == u'/') return endTag();
        if (c == u'?') return delimited(UL_SAXTOK_PI, u"?>");
        if (c == u'!') return declaration();
        unget(c);
        return startTag();
    }

    // Reads a name into out; "Invalid tag name '%s'" unless it begins with a letter.
    int name(std::u16string& out) {
        int c;
        while (isNameChar(c = get())) out.push_back(static_cast<char16_t>(c));
        if (c == UL_SAXCHAR_ERROR) return UL_ERROR_RETURN(-1);
        unget(c);
        if (out.empty() && c == UL_SAXCHAR_EOF) return truncated(c);
        if (out.empty() || !isLetter(out[0])) {
            ul_errorsetmsgfmt(0, u"Invalid tag name '%s'", out.c_str());
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }

    int startTag() {
        if (name(s_.token) < 0) return UL_ERROR_RETURN(UL_SAXTOK_ERROR);
        s_.nameEnd = s_.stream.position;
        for (;;) {
            int c = skipSpace();
            if (c < 0) return truncated(c);
            if (c == u'>') return UL_SAXTOK_STARTTAG;
            if (c == u'/') {
                c = get();
                if (c == u'>') return UL_SAXTOK_EMPTYTAG;
                if (c < 0) return truncated(c);
                ul_errorsetmsgfmt(0, u"Missing closing '>' in complete tag '%s'", s_.token.c_str());
                return UL_ERROR_RETURN(UL_SAXTOK_ERROR);
            }
            if (!isLetter(c)) return fail(u"Invalid character '%c'", c);
            unget(c);
            if (attribute() < 0) return UL_ERROR_RETURN(UL_SAXTOK_ERROR);
        }
    }

    ul_saxattr_t& newAttribute() {
        if (s_.attributeCount == s_.attributes.size()) s_.attributes.emplace_back();
        ul_saxattr_t& attr = s_.attributes[s_.attributeCount++];
        attr.name.clear();
        attr.value.clear();
        attr.hasValue = false;
        attr.valueBegin = attr.valueEnd = 0;
        return attr;
    }

    int attribute() {
        ul_saxattr_t& attr = newAttribute();
        if (name(attr.name) < 0) return UL_ERROR_RETURN(-1);
        int c = skipSpace();
        if (c < 0) return truncated(c);
        if (c != u'=') {
            if (c != u'>' && c != u'/' && !isLetter(c))
                return fail(u"Invalid attribute/value separator '%c'", c);
            unget(c);
            return 0;
        }
        c = skipSpace();
        if (c < 0) return truncated(c);
        if (c != u'"') {
            ul_errorsetmsg(0, u"Missing opening double quotes");
            return UL_ERROR_RETURN(-1);
        }
        attr.hasValue = true;
        attr.valueBegin = s_.stream.position;
        return value(attr);
    }

    int value(ul_saxattr_t& attr) {
        for (;;) {
            int c = get();
            if (c < 0) return truncated(c);
            if (c == u'"') break;
            if ((s_.mode & UL_SAX_STRICT) && (c == u'<' || c == u'>')) {
                ul_errorsetmsgfmt(0, u"Illegal non-escaped characters '%c' in XML string '%s'",
                                  static_cast<char16_t>(c), attr.value.c_str());
                return UL_ERROR_RETURN(-1);
            }
            if (c == u'<') return fail(u"Invalid character '%c'", c);
            if (c == u'&' && !(s_.mode & UL_SAX_KEEPREFS)) {
                if (reference(attr.value) < 0) return UL_ERROR_RETURN(-1);
                continue;
            }
            attr.value.push_back(static_cast<char16_t>(c));
        }
        attr.valueEnd = s_.stream.position - 1;
        return 0;
    }

    int endTag() {
        if (name(s_.token) < 0) return UL_ERROR_RETURN(UL_SAXTOK_ERROR);
        int c = skipSpace();
        if (c < 0) return truncated(c);
        if (c != u'>') return fail(u"Invalid character '%c' != '>'", c);
        return UL_SAXTOK_ENDTAG;
    }

    // Reads the text up to the terminator into the token and returns the token type.
    int delimited(int type, const std::u16string& terminator) {
        for (;;) {
            int c = get();
            if (c < 0) return truncated(c);
            s_.token.push_back(static_cast<char16_t>(c));
            if (s_.token.size() >= terminator.size() &&
                s_.token.compare(s_.token.size() - terminator.size(), terminator.size(),
                                 terminator) == 0) {
                s_.token.resize(s_.token.size() - terminator.size());
                return type;
            }
        }
    }

    // Behind "<!": a comment or a CDATA section.
    int declaration() {
        int c = get();
        if (c < 0) return truncated(c);
        if (c == u'-') {
            c = get();
            if (c < 0) return truncated(c);
            if (c != u'-') return fail(u"Invalid comment introducer '%c'", c);
            return delimited(UL_SAXTOK_COMMENT, u"-->");
        }
        if (c != u'[') return fail(u"Invalid comment introducer '%c'", c);
        for (const char16_t* expected = u"CDATA["; *expected; ++expected) {
            c = get();
            if (c < 0) return truncated(c);
            if (c != *expected) return fail(u"Illegal '<![CDATA[' section char '%c'", c);
        }
        return delimited(UL_SAXTOK_CDATA, u"]]>");
    }

    ul_saxparse_t& s_;
};

const char16_t* tokenName(int type) {
    static const char16_t* const kNames[] = {
        u"EOF", u"CONTENT", u"WHITESPACE", u"CDATA", u"START", u"EMPTY", u"END", u"PI", u"COMMENT"};
    return type >= 0 && type <= UL_SAXTOK_COMMENT ? kNames[type] : u"ERROR";
}

}  // namespace

int ul_saxparse_t::next() {
    const int type = ul_guarded([&]() -> int { return Scanner(*this).scan(); }, UL_SAXTOK_ERROR);
    UL_TRACE(UL_TRC_SAX, 4, u"Token %s '%s' at line %d column %d.\n", tokenName(type),
             type > UL_SAXTOK_EOF ? token.c_str() : u"", tokenLine, tokenColumn);
    return type;
}

// The XML tokenizer: a character source over a file or a UTF-16 string, and the state
// machine that cuts it into tokens (text, tags with their attributes, comments, processing
// instructions). The tree builder of ulxmli.h is its main user.
//
// Accepted syntax: names of letters, digits, "_", "-" and ":" that begin with a letter (any
// code unit from U+0080 counts as a letter); attribute values in double quotes only, or no
// value at all; "<?...?>" and "<!--...-->" (returned as tokens, usually ignored);
// "<![CDATA[...]]>" taken literally; the references &lt; &gt; &amp; &quot; &apos; &nbsp; (a
// blank) and &#NNN; / &#xHHHH; (one UTF-16 code unit; values beyond it become U+FFFD) in
// text and attribute values. Anything else fails with a message in the error buffer.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

enum : int {
    UL_SAXSTREAM_FILE = 1,
    UL_SAXSTREAM_STRING = 2,
};

// Results of ul_saxstream_t::getChar besides a code unit.
enum : int {
    UL_SAXCHAR_EOF = -1,
    UL_SAXCHAR_ERROR = -2,  // read error; the error buffer holds the system's reason
};

// A character source with a one-character push-back. Files are decoded from UTF-8 (invalid
// sequences and characters beyond U+FFFF become U+FFFD; a byte order mark at the start is
// skipped); a string is delivered code unit by code unit. Neither the file nor the string is
// owned; both must outlive the stream.
struct ul_saxstream_t {
    int type = 0;  // UL_SAXSTREAM_FILE or UL_SAXSTREAM_STRING
    FILE* file = nullptr;
    const char16_t* text = nullptr;
    // Code units delivered so far (and not pushed back); for a string the index of the next.
    size_t position = 0;
    bool failed = false;  // a read error happened

    void openFile(FILE* stream);
    void openString(const char16_t* string);

    // The next code unit, or UL_SAXCHAR_EOF / UL_SAXCHAR_ERROR.
    [[nodiscard]] int getChar();
    // Gives back the character last returned by getChar (one at most; EOF is ignored).
    void ungetChar(int c);

  private:
    bool fill();

    int m_pushback = UL_SAXCHAR_EOF;
    std::u16string m_decoded;  // the current decoded block of the file
    size_t m_next = 0;         // index of the next code unit in m_decoded
    unsigned char m_carry[4];  // bytes of a character cut by the block end
    size_t m_carryLength = 0;
    bool m_started = false;
    bool m_atEnd = false;
};

enum ul_saxtoken_e : int {
    UL_SAXTOK_ERROR = -1,
    UL_SAXTOK_EOF = 0,
    UL_SAXTOK_CONTENT,     // text up to the next markup, references decoded
    UL_SAXTOK_WHITESPACE,  // text of white space only (without references)
    UL_SAXTOK_CDATA,       // the text of a CDATA section
    UL_SAXTOK_STARTTAG,    // <name attributes>
    UL_SAXTOK_EMPTYTAG,    // <name attributes/>
    UL_SAXTOK_ENDTAG,      // </name>
    UL_SAXTOK_PI,          // the text between "<?" and "?>"
    UL_SAXTOK_COMMENT,     // the text between "<!--" and "-->"
};

// Tokenizer modes; the values are those of the reader modes in ulxmli.h.
enum : int {
    UL_SAX_LAZYHTML = 4,   // "&apos;" is not known
    UL_SAX_STRICT = 8,     // attribute values must not hold a raw "<" or ">"
    UL_SAX_KEEPREFS = 16,  // references stay as written
};

struct ul_saxattr_t {
    std::u16string name;
    std::u16string value;
    bool hasValue = false;  // false for an attribute written without "="
    // Stream positions of the value's first code unit and of its closing double quote.
    size_t valueBegin = 0;
    size_t valueEnd = 0;
};

// Tokenizer state. Open a stream, then call next() until it returns UL_SAXTOK_EOF or
// UL_SAXTOK_ERROR.
struct ul_saxparse_t {
    ul_saxstream_t stream;
    int mode = 0;  // UL_SAX_*
    // Text of the current token: the tag name for tags, else the text.
    std::u16string token;
    // Attributes of the current start or empty-element tag: the first attributeCount entries
    // (the vector keeps its strings between tags).
    std::vector<ul_saxattr_t> attributes;
    size_t attributeCount = 0;
    // Stream position just behind the tag name of the current start or empty-element tag.
    size_t nameEnd = 0;
    // Position of the next character (line from 1, column of the last character read) and of
    // the first character of the current token.
    int line = 1;
    int column = 0;
    int tokenLine = 1;
    int tokenColumn = 1;
    int previousColumn = 0;  // column before the last line feed, for the push-back

    // The next token (ul_saxtoken_e). On UL_SAXTOK_ERROR the error buffer holds the reason
    // (out of memory included) and line and column tell where it was found.
    [[nodiscard]] int next();
};

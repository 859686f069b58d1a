// Text in and out of UTF-16 strings: formatted output, backslash escapes and quoting of
// words, values from text (booleans, sizes), Base64, and printable rendering of control
// characters. Functions that write into a caller buffer take its capacity in code units
// (bytes for binary output), terminator included, and fail with -1 and a message in the
// error buffer when the result does not fit.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

// printf over a UTF-16 format string. Conversions and flags are C's: d i u o x X c e E f F g
// G a A p % with the flags "-+ #0", widths, precisions and "*", and the length modifiers
// hh h l ll j z t L. "%s" takes a UTF-16 string (null prints "(null)"); "%hs" takes a UTF-8
// string, so that platform texts such as strerror() can be embedded directly. "%c" takes a
// UTF-16 code unit. Width and precision of strings count code units.
// Writes at most size - 1 code units plus the terminator (nothing when size is 0) and
// returns the length the complete output has, so a result >= size means it was truncated.
// An invalid conversion returns -1.
int ul_sprintf(char16_t* buffer, size_t size, const char16_t* format, ...);
int ul_vsprintf(char16_t* buffer, size_t size, const char16_t* format, va_list args);

// The same formatting into a growing string (for texts without a fixed bound).
std::u16string ul_format(const char16_t* format, ...);
std::u16string ul_vformat(const char16_t* format, va_list args);

// ---- escapes ----------------------------------------------------------------------------

// Which backslash escapes a word may hold. A backslash before a character that the chosen
// table does not list stays in the word, and the character behind it keeps its meaning.
enum : int {
    UL_ESCAPE_DEFAULT = 0,        // \\ and \"
    UL_ESCAPE_QUOTE = 2,          // \" only
    UL_ESCAPE_BRACES = 4,         // \{ \} \\ \"
    UL_ESCAPE_C = 8,              // \\ \" \' and \n (line feed), \t (tab)
    UL_ESCAPE_NONE = 16,          // no escapes; a double quote cannot be written at all
    UL_ESCAPE_CONTROL = 32,       // added to C: every other control character (below 32, and
                                  // 127) as \xHH (two hex digits), so that no line holds one
    UL_ESCAPE_DOUBLEDQUOTE = 64,  // no escapes; "" inside double quotes is one double quote
};

// Reads one word from text into buffer. White space in front of the word is skipped; white
// space or the terminator character (0 for none) ends the word unless inside double quotes,
// which are removed (a backslash terminator ends it also where it would start an escape). Escapes are decoded by the table flags choose (the first of C, BRACES,
// QUOTE that is set; else none for NONE or DOUBLEDQUOTE; else DEFAULT). A double quote that
// is never closed quotes up to the end of the text.
// Returns 1 for a word (which may be empty: ""), 0 when only white space was left, -1 with
// "More than %d characters for word in '%s'" when the word does not fit (buffer then holds
// as much as fits). *end (if end is not null) receives the position of the character that
// ended the word (white space, the terminator, or the text's end).
int ul_stringreadescape(char16_t* buffer, size_t size, const char16_t* text, char16_t terminator,
                        const char16_t** end, int flags);

// Writes word so that ul_stringreadescape with the same terminator and flags reads it back
// unchanged: every character the escape table lists is written escaped, and the word is put
// into double quotes when it is empty or holds white space, the terminator, (with
// DOUBLEDQUOTE) a double quote, or (with a backslash terminator) anything escaped. Returns the length written, or -1 when the form does not fit
// ("More than %d characters for word in '%s'"), when NONE is asked to write a double quote
// ("Cannot write a double quote without escapes in '%s'"), or when QUOTE with the backslash as
// terminator is asked to write a word ending in a backslash (bare it would end the word, in
// quotes it would escape the closing quote: "Cannot write a trailing backslash with
// terminator '\\' in '%s'").
int ul_stringgenescape(char16_t* buffer, size_t size, const char16_t* word, char16_t terminator,
                       int flags);
// The same for a word of any length (NUL characters included), appended to out; out is
// unchanged on failure.
int ul_stringgenescape(std::u16string* out, std::u16string_view word, char16_t terminator,
                       int flags);

// ---- values -----------------------------------------------------------------------------

// 1 for "yes", "true", "on", "ok", 0 for "no", "false", "off", "bad" (ignoring case); else a
// decimal number of digits only (non-zero is 1). Anything else is -1 with "Illegal boolean
// value '%s'", unless flags has UL_BOOLEAN_QUIET.
enum : int { UL_BOOLEAN_QUIET = 1 };
int ul_string2boolean(const char16_t* text, int flags);

// A size: decimal digits with an optional unit letter k, m or g (ignoring case; powers of
// 1,024); white space around the number and before the letter is ignored. The result is in
// bytes, or in KB or MB by flags (MB wins), truncated: "2m" gives 2,097,152 / 2,048 / 2. A
// number without a letter is in bytes, unless UL_LONGVALUE_INUNIT says it is already in the
// result unit. Errors (-1): "Illegal unit '%s' in '%s'", "Invalid number '%s'" (no digits,
// or too large).
enum : int {
    UL_LONGVALUE_INUNIT = 1,
    UL_LONGVALUE_KB = 2,
    UL_LONGVALUE_MB = 4,
};
long ul_getlongvalue(const char16_t* text, int flags);

// ---- Base64 (RFC 4648, standard alphabet, with padding) ---------------------------------

// Encodes length bytes of data, or the UTF-8 form of text. Returns the number of characters
// written, or -1 with "Base64 form needs %zu characters, buffer has %zu".
long ul_base64encode(char16_t* buffer, size_t size, const void* data, size_t length);
long ul_base64encode(char16_t* buffer, size_t size, const char16_t* text);

// Decodes text into bytes, or into a string (the bytes taken as UTF-8). Only canonical input
// is accepted: a multiple of four characters of the alphabet, "=" only as padding of the
// last group, and zero bits behind the last byte. Returns the number of bytes (characters)
// written, or -1 with "Invalid Base64 length %zu of '%s'", "Invalid Base64 character at
// offset %zu of '%s'", "Invalid Base64 padding in '%s'", "Decoded Base64 holds a zero byte:
// '%s'" (string form only) or "Decoded Base64 needs %zu units, buffer has %zu".
long ul_base64decode(unsigned char* buffer, size_t size, const char16_t* text);
long ul_base64decode(char16_t* buffer, size_t size, const char16_t* text);

// ---- printable rendering ----------------------------------------------------------------

// Renders control characters visibly: line feed, carriage return and tab as \n, \r, \t,
// the other C0 and C1 controls and DEL as \xHH, an unpaired surrogate as \uHHHH. With
// UL_PRINTABLE_BACKSLASH a backslash is written doubled, which makes the form unambiguous.
// Returns the length, or -1 with "Printable form needs %zu characters, buffer has %zu"; the
// buffer then holds the rendering cut after the last complete character that fitted.
enum : int { UL_PRINTABLE_BACKSLASH = 1 };
long ul_stringprintable(char16_t* buffer, size_t size, const char16_t* text, int flags);
std::u16string ul_stringprintable(const char16_t* text, int flags);

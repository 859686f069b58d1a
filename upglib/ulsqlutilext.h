// SQL literals of key values and their order: the value token classes, the literal writer that
// puts a value into statement text so that the statement selects exactly that value, the
// reader that takes such a literal back, the text form of raw bytes, and the comparisons that
// order values of each class. Key-range conditions (ulsqlsplit), checksum files and the
// checksum dig-down all write and read key values through this module.
//
// A literal never holds a line end or another control character on the engines that offer a
// character function: such characters are written as calls of that function joined to the
// quoted pieces, so that a condition stays one line in where files, checksum files and logs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Value token classes: how a key value is written into a statement and how it is ordered.
enum : int {
    UL_SQLTOKEN_STRING = 2,     // character: a quoted string
    UL_SQLTOKEN_HEXSTRING = 3,  // raw bytes, held as hexadecimal text
    UL_SQLTOKEN_NUMBER = 4,     // integer, floating point, packed
    UL_SQLTOKEN_NUMC = 5,       // decimal numbers carried as text
};

// The token class of a field description's type letter (ul_sqlfldflag2char): F I P give
// NUMBER, B R L give HEXSTRING, M N give NUMC, anything else STRING.
[[nodiscard]] int ul_sqltokenclassfromtype(char16_t typeLetter);

// How the statements of one database type write binary values and control characters.
struct ul_sqlliteralform_t {
    int dbType;
    const char16_t* hexPrefix;     // before the hexadecimal digits
    const char16_t* hexSuffix;     // after them
    const char16_t* charFunction;  // "%d" format of one character by its code; null: none, so
                                   // control characters stay in the quoted text
    const char16_t* concat;        // joins quoted pieces and character calls
};

// The form of a database type; unknown types (and -1) get the form of the statement rewrite
// hooks' input (X'..', characters as they are).
const ul_sqlliteralform_t* ul_sqlliteralform(int dbType);
// The form of the connected database, else of the one dbms_type selects, else the default.
const ul_sqlliteralform_t* ul_sqlcurrentliteralform();

// Appends value to out as a literal of its token class in the given form:
// - STRING and NUMC: in single quotes, every single quote doubled; with a character function,
//   each control character (below 32) becomes a call of it, and a value that needs one is put
//   in brackets as pieces joined by the form's concatenation: ('a' || chr(10) || 'b').
// - HEXSTRING: the value must be an even number of hexadecimal digits; written upper-case
//   between the form's prefix and suffix, or behind "0x" under the global SQL flag
//   hexformat0x.
// - NUMBER: the value must be a plain decimal number (sign, digits, point, exponent) and is
//   written as it stands.
// Returns 0, or -1 with "Invalid hexadecimal value '%s'", "Invalid numeric value '%s'" or
// "Invalid token class %d for value '%s'"; out is then unchanged. The value is taken whole:
// a NUL character in a string is written like the other control characters (char(0) on
// SQLite; PostgreSQL refuses chr(0), as it cannot store a NUL in text at all).
[[nodiscard]] int ul_sqlappendliteral(std::u16string* out, std::u16string_view value,
                                      int tokenClass, const ul_sqlliteralform_t* form);
// The same for a zero-terminated value (null: empty).
[[nodiscard]] int ul_sqlappendliteral(std::u16string* out, const char16_t* value, int tokenClass,
                                      const ul_sqlliteralform_t* form);
// The same into a buffer of size code units (terminator included). Returns the length, or -1
// (also "Literal of '%s' exceeds %zu characters").
[[nodiscard]] int ul_sqlwriteliteral(char16_t* out, size_t size, const char16_t* value,
                                     int tokenClass, const ul_sqlliteralform_t* form);

// Reads one literal at text as any form writes it (quoted strings with their character calls
// and concatenations, X'..', '\x..'::bytea, decode('..','hex'), HEXTORAW('..'), 0x.., numbers).
// Returns the number of code units read and sets value (hexadecimal digits upper-case for
// binary values) and the token class (STRING for every quoted text). Returns 0 when text does
// not start with a literal; sets no error text.
size_t ul_sqlreadliteral(const char16_t* text, std::u16string* value, int* tokenClass);

// Writes length bytes as upper-case hexadecimal text. Returns the length, or -1 with "Raw value
// of %u bytes exceeds %zu characters".
[[nodiscard]] int ul_sqlrawvalue2string(char16_t* out, size_t size, const unsigned char* raw,
                                        unsigned length);

// Orderings, each negative, zero or positive.
// Strings by code point (the order of UTF-8 bytes); under the global SQL flag
// sqlstringcompare trailing blanks do not count.
[[nodiscard]] int ul_sqlstringcompare(const char16_t* a, const char16_t* b);
[[nodiscard]] int ul_sqlstringcompare(std::u16string_view a, std::u16string_view b);
// Decimal numbers by value, exactly for any number of digits; text that is not a number sorts
// after every number, and such texts among themselves by string order.
[[nodiscard]] int ul_sqlnumbercompare(const char16_t* a, const char16_t* b);
// Numeric text: by value when both sides are numbers, else by string order.
[[nodiscard]] int ul_sqlnumccompare(const char16_t* a, const char16_t* b);
// By the token class: NUMBER and NUMC as above, HEXSTRING and STRING by string order.
[[nodiscard]] int ul_sqlvaluecompare(const char16_t* a, const char16_t* b, int tokenClass);
// The same over values that may hold NUL characters.
[[nodiscard]] int ul_sqlvaluecompare(std::u16string_view a, std::u16string_view b, int tokenClass);

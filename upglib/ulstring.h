// Zero-terminated UTF-16 strings: the basic operations every module uses, and the
// conversions at the boundary to UTF-8 (command line, environment, files).
#pragma once

#include <cstddef>
#include <string>

// Length in code units, not counting the terminator. A null string has length 0.
size_t ul_strlen(const char16_t* s);

// Copies at most size - 1 code units and always terminates (size > 0). Returns the
// length of the source, so a result >= size means the copy was truncated.
size_t ul_strlcpy(char16_t* dst, const char16_t* src, size_t size);

// Appends src behind the text in dst within size code units; same result rule as ul_strlcpy
// (the total length that was wanted).
size_t ul_strlcat(char16_t* dst, const char16_t* src, size_t size);

// Code-unit comparisons; negative, zero or positive. Null sorts before everything.
int ul_strcmp(const char16_t* a, const char16_t* b);
int ul_strncmp(const char16_t* a, const char16_t* b, size_t n);

const char16_t* ul_strchr(const char16_t* s, char16_t c);
const char16_t* ul_strrchr(const char16_t* s, char16_t c);
const char16_t* ul_strstr(const char16_t* haystack, const char16_t* needle);

// Heap copy (malloc) of the string, or null with the out-of-memory error set.
char16_t* ul_strdup(const char16_t* s);
char16_t* ul_strndup(const char16_t* s, size_t n);

// True for blank, tab, line feed, carriage return, vertical tab and form feed.
inline bool ul_isspace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }
inline bool ul_isdigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Case mapping of one code unit (ASCII and Latin-1 here; the full Unicode mapping lives
// with the case-insensitive helpers).
char16_t ul_chartolower(char16_t c);
char16_t ul_chartoupper(char16_t c);
int ul_stricmp(const char16_t* a, const char16_t* b);
int ul_strnicmp(const char16_t* a, const char16_t* b, size_t n);

// If s begins with prefix, returns the position in s just behind it, else null.
const char16_t* ul_stringstartcmp(const char16_t* s, const char16_t* prefix);
const char16_t* ul_stringstarticmp(const char16_t* s, const char16_t* prefix);

// Removes trailing white space in place; returns the new length.
size_t ul_stringtrimtail(char16_t* s);

// Parses a decimal integer (optional sign). Returns 0 and the value, or -1 when the text
// is empty, holds anything else, or overflows.
int ul_stringtolong(const char16_t* text, long* value);

// UTF-8 <-> UTF-16. Invalid UTF-8 sequences become U+FFFD; unpaired surrogates are
// written as U+FFFD in UTF-8.
std::u16string ul_utf8to16(const char* text);
std::u16string ul_utf8to16(const char* text, size_t length);
std::string ul_utf16to8(const char16_t* text);
std::string ul_utf16to8(const char16_t* text, size_t length);

// Appends the UTF-8 form of text to out (no allocation when out has room).
void ul_utf16to8append(std::string& out, const char16_t* text, size_t length);

// Word-list splitter: copies the next word from *cursor into buffer and advances *cursor
// (null at the end). Returns 1 for a word, 0 when no word is left, -1 when a word does not
// fit into the buffer. A blank separator means any run of white space.
enum : int {
    UL_WORDLIST_DOUBLED_SEPARATOR = 1,  // a doubled separator is one literal separator
    UL_WORDLIST_TRIM = 2,               // trim white space around the word
    UL_WORDLIST_BRACKETS = 4,           // separators inside (), [] or {} do not split
    UL_WORDLIST_SKIP_EMPTY = 8,         // empty words are skipped
    UL_WORDLIST_DROP_QUOTES = 16,       // double quotes are dropped from the word
};
int ul_stringexpwordlist(const char16_t** cursor, char16_t separator, char16_t* buffer,
                         size_t size, int flags);

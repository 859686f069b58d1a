// Zero-terminated UTF-16 strings: the basic operations every module uses (copy, compare,
// search, case mapping, trimming, substrings, replacing), wildcard matching, word-list
// splitting, and the conversions at the boundary to UTF-8 (command line, environment, files).
// Functions that write into a caller buffer take its capacity in code units, terminator
// included.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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
inline bool ul_isspace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}
inline bool ul_isdigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Case mapping of one code unit by the Unicode simple (one-to-one) mapping. Every
// case-insensitive operation of the tool maps code unit by code unit, so a character whose
// full mapping has several characters (German sharp s) and a surrogate stay themselves.
char16_t ul_chartolower(char16_t c);
char16_t ul_chartoupper(char16_t c);

// Comparison ignoring case: both sides are mapped to lower case code unit by code unit and
// compared as ul_strcmp does.
int ul_stricmp(const char16_t* a, const char16_t* b);
int ul_strnicmp(const char16_t* a, const char16_t* b, size_t n);
// First occurrence of needle in haystack ignoring case; an empty needle is found at the start.
const char16_t* ul_stristr(const char16_t* haystack, const char16_t* needle);

// If s begins with prefix, returns the position in s just behind it, else null.
const char16_t* ul_stringstartcmp(const char16_t* s, const char16_t* prefix);
const char16_t* ul_stringstarticmp(const char16_t* s, const char16_t* prefix);
// True if s ends with suffix (exactly / ignoring case). Every string ends with "".
bool ul_stringendswith(const char16_t* s, const char16_t* suffix);
bool ul_stringiendswith(const char16_t* s, const char16_t* suffix);

// In-place case mapping of a whole string; returns s.
char16_t* ul_string2upper(char16_t* s);
char16_t* ul_string2lower(char16_t* s);
// An upper-case copy (keys of name lookups that ignore case).
std::u16string ul_stringupper(std::u16string_view s);

// In-place trimming; each returns the new length.
// Leading and trailing white space.
size_t ul_stringtrim(char16_t* s);
// Trailing white space.
size_t ul_stringtrimtail(char16_t* s);
// A copy without leading and trailing white space; embedded NULs are kept as text.
std::u16string ul_trimmed(std::u16string_view text);
// One trailing line end: "\r\n", "\n" or "\r".
size_t ul_stringtrimlineending(char16_t* s);
// Every run of white space becomes one blank (leading and trailing runs included).
size_t ul_stringcondensespaces(char16_t* s);

// True if word equals one of the entries of list, which are separated by separator (a blank
// separator: by runs of white space). Entries are compared as they stand, without trimming,
// and are found as ul_stringexpwordlist finds words: "a,,b" holds an empty entry, "a," and
// "" do not.
enum : int { UL_GROUP_IGNORECASE = 1 };
bool ul_stringgroupcompare(const char16_t* word, const char16_t* list, char16_t separator,
                           int flags);

// Compares dotted numeric versions ("7.40.1") component by component. Each component's value
// is its leading decimal digits (any length; characters behind them up to the next dot are
// ignored; none counts as 0); a missing component counts as 0. n > 0 compares the first n
// components, n = -1 as many as the shorter version has, any other negative n as many as
// the longer has. Returns -1, 0 or 1, or -2 with "Empty version in comparing '%s' '%s'" when
// either version is null or empty.
int ul_numversioncmp(const char16_t* a, const char16_t* b, int n);

// Wildcard match of object against pattern. Returns the number of object characters matched
// plus 1, or 0 when the pattern does not match.
//   "*" any sequence, "?" any one character; "\" makes the next pattern character literal;
//   "[...]" a class with "^" right after "[" negating it, "a-z" ranges, and "]" right after
//   "[" or "[^" as a member ("-" first or last is a member too, "\" escapes inside); a "["
//   without its "]" is a literal. An unescaped "$" ending the pattern anchors the match at
//   the end of the object.
// Without UL_WILD_FULL (and without "$") the pattern need only match a prefix of the object;
// the result is then the shortest matching prefix, because "*" grows only when the rest of
// the pattern fails (it then retries one object character further behind the last "*").
enum : int {
    UL_WILD_FULL = 1,        // the match must cover the whole object
    UL_WILD_DOT = 2,         // "." instead of "?" for any one character ("?" is literal)
    UL_WILD_IGNORECASE = 4,  // compare ignoring case, in classes and ranges too
    UL_WILD_SQL = 8,         // "%" and "_" instead of "*" and "?" (which are literal); wins
                             // over UL_WILD_DOT
};
int ul_stringwildcmp(const char16_t* pattern, const char16_t* object, int mode);

// Copies length code units of s from position start into buffer, clamped to the end of s
// (a start behind the end gives ""). Returns the number copied, or -1 with "Substring of %zu
// characters exceeds buffer length %zu" when they do not fit (buffer then holds "").
long ul_stringsubstr(char16_t* buffer, size_t size, const char16_t* s, size_t start, size_t length);

// Replaces the occurrences of search in the text held by buffer (capacity size) with
// replacement, left to right and without rescanning replaced text. Returns the number of
// replacements (0 for an empty search), or -1 with "Replacing '%s' by '%s' exceeds buffer
// length %zu" when the result would not fit; the text is then unchanged.
enum : int {
    UL_REPLACE_IGNORECASE = 1,  // find search ignoring case
    UL_REPLACE_FIRST = 2,       // replace the first occurrence only
};
long ul_stringreplace(char16_t* buffer, size_t size, const char16_t* search,
                      const char16_t* replacement, int flags);

// Parses a decimal integer (optional sign). Returns 0 and the value, or -1 when the text
// is empty, holds anything else, or overflows.
int ul_stringtolong(const char16_t* text, long* value);
// A count given as an option value: decimal digits only, no sign. Returns 0 and the value, or
// -1 with "Invalid number '%s'".
int ul_stringtocount(const char16_t* text, long* value);

// UTF-8 <-> UTF-16. Invalid UTF-8 sequences become U+FFFD; unpaired surrogates are
// written as U+FFFD in UTF-8.
std::u16string ul_utf8to16(const char* text);
std::u16string ul_utf8to16(const char* text, size_t length);
std::string ul_utf16to8(const char16_t* text);
std::string ul_utf16to8(const char16_t* text, size_t length);

// The offset of the first byte of text that does not start a valid UTF-8 sequence (a
// truncated, overlong or surrogate sequence, a byte that cannot start one), or -1 when all of
// it is valid. Names (files, tables) must not be decoded with replacements: two different
// names could become one.
long ul_utf8invalidoffset(const char* text, size_t length);

// Appends the UTF-8 form of text to out (no allocation when out has room).
void ul_utf16to8append(std::string& out, const char16_t* text, size_t length);
// Appends the UTF-16 form of length UTF-8 bytes to out (same rules as ul_utf8to16).
void ul_utf8to16append(std::u16string& out, const char* text, size_t length);

// Number of bytes of the UTF-8 form of s (without a terminator), as ul_utf16to8 writes it.
size_t ul_stringutf8len(const char16_t* s);

// Word-list splitter: copies the next word from *cursor into buffer and advances *cursor
// (null at the end). Returns 1 for a word, 0 when no word is left, -1 with "Word length %d
// exceeds buffer length %d" when a word does not fit into the buffer (the cursor has then
// moved past it). A blank separator means any run of white space, and white space in front
// of the first word is skipped. An empty text holds no word, and a separator at the very end
// does not start another word: "a," is one word, "a,," is "a" and "".
enum : int {
    UL_WORDLIST_DOUBLED_SEPARATOR = 1,  // a doubled separator is one literal separator
    UL_WORDLIST_TRIM = 2,               // trim white space around the word
    UL_WORDLIST_BRACKETS = 4,           // separators inside (), [] or {} do not split
    UL_WORDLIST_SKIP_EMPTY = 8,         // empty words are skipped
    UL_WORDLIST_DROP_QUOTES = 16,       // double quotes are dropped from the word
};
int ul_stringexpwordlist(const char16_t** cursor, char16_t separator, char16_t* buffer, size_t size,
                         int flags);

// Longest word, in code units, that ul_stringcallexpwordlist hands to an expander.
constexpr size_t UL_WORDLIST_MAXWORD = 16384;

// Receives the words of ul_stringcallexpwordlist one by one.
class ULWordListExpander {
  public:
    virtual ~ULWordListExpander() = default;
    // Returns -1 to stop with an error (after setting the error buffer), anything else to go on.
    virtual int handleSingleWord(const char16_t* word) = 0;
};

// Splits text as ul_stringexpwordlist does and hands each word to the expander. Returns the
// number of words, or -1 when a word is longer than UL_WORDLIST_MAXWORD or the expander
// returns -1.
int ul_stringcallexpwordlist(const char16_t* text, char16_t separator, ULWordListExpander* expander,
                             int flags);

// Iterates over the words of a text as ul_stringexpwordlist does. The text must outlive the
// iterator.
class ULWordListIter {
  public:
    ULWordListIter(const char16_t* text, char16_t separator, int flags = 0)
        : cursor_(text), separator_(separator), flags_(flags) {}
    // 1 with the next word in buffer, 0 at the end, -1 when the word does not fit.
    int next(char16_t* buffer, size_t size) {
        return ul_stringexpwordlist(&cursor_, separator_, buffer, size, flags_);
    }

  private:
    const char16_t* cursor_;
    char16_t separator_;
    int flags_;
};

// Name/value lists kept sorted by name (code-unit order, case-sensitive), searched by
// bisection. Names and values are heap strings owned by the list; a value may be null.
#pragma once

#include <cstdint>

struct ul_varpair_t {
    char16_t* name;
    char16_t* value;  // null: the name has no value
};

enum : int {
    UL_VAR_ADOPTNAME = 1,   // setValue: the caller's heap name becomes the stored one
    UL_VAR_ADOPTVALUE = 2,  // setValue: the caller's heap value becomes the stored one
};

enum : int { UL_VAR_QUIET = 1 };  // getValue/getPair: a miss stores no message

enum : int { UL_VAR_DOUBLESEPARATOR = 1 };  // toString: double separators inside values

// Pairs are added in steps of this many.
constexpr uint32_t UL_VARLIST_GROWTH = 50;

struct ul_varlist_t {
    ul_varpair_t* pairs = nullptr;
    uint32_t count = 0;     // pairs in use
    uint32_t capacity = 0;  // pairs allocated

    // Inserts name or replaces its value (the stored name stays, the old value is freed).
    // Strings are copied unless adopted through flags; adopted strings must be malloc'ed and
    // belong to the list from the call on, also when the call fails or an existing name is
    // kept. isNew receives 1 for a new name, else 0. Returns the pair, or null on failure
    // (the list unchanged). The pointer is valid until the next insertion.
    ul_varpair_t* setValue(const char16_t* name, const char16_t* value, int* isNew = nullptr,
                           int flags = 0);

    // Index of the name, or -1.
    int find(const char16_t* name) const;

    // The pair or the value for the name. A miss returns null and, unless flags has
    // UL_VAR_QUIET, stores "Variable '<name>' not found"; note that a name without value
    // also yields a null value.
    ul_varpair_t* getPair(const char16_t* name, int flags = 0);
    const char16_t* getValue(const char16_t* name, int flags = 0);

    // "name=value" for each pair in order ("name" alone for a null value), joined by the
    // separator. With UL_VAR_DOUBLESEPARATOR every separator inside a value is written
    // twice, so that a word-list split with doubled separators gives the pairs back.
    // Returns a malloc'ed string for the caller to free, or null on failure.
    char16_t* toString(char16_t separator, int flags = 0) const;

    // Frees all names, values and the array; the list is empty and usable afterwards.
    void free();

  private:
    bool grow();
    // Index where name is or would be inserted; *found tells which.
    uint32_t lowerBound(const char16_t* name, bool* found) const;
};

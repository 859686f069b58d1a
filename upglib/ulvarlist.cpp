#include "ulvarlist.h"

#include <cstdlib>
#include <cstring>

#include "ulerror.h"
#include "ulstring.h"
#include "ultrace.h"

namespace {

// The string the list stores for an argument: the adopted one or a copy (null stays null).
// Sets *ok to false on failure.
char16_t* storedString(const char16_t* string, bool adopt, bool* ok) {
    *ok = true;
    if (!string || adopt) return const_cast<char16_t*>(string);
    size_t bytes = (ul_strlen(string) + 1) * sizeof(char16_t);
    auto* copy = static_cast<char16_t*>(ul_malloc(bytes));
    if (!copy) {
        *ok = false;
        return nullptr;
    }
    memcpy(copy, string, bytes);
    return copy;
}

void releaseAdopted(const char16_t* string, bool adopted) {
    if (adopted) std::free(const_cast<char16_t*>(string));
}

size_t countOf(const char16_t* text, char16_t c) {
    size_t n = 0;
    for (; *text; ++text) n += *text == c;
    return n;
}

}  // namespace

uint32_t ul_varlist_t::lowerBound(const char16_t* name, bool* found) const {
    uint32_t low = 0, high = count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (ul_strcmp(pairs[middle].name, name) < 0)
            low = middle + 1;
        else
            high = middle;
    }
    *found = low < count && ul_strcmp(pairs[low].name, name) == 0;
    return low;
}

bool ul_varlist_t::grow() {
    uint32_t wanted = capacity + UL_VARLIST_GROWTH;
    auto* grown = static_cast<ul_varpair_t*>(ul_realloc(pairs, wanted * sizeof(ul_varpair_t)));
    if (!grown) return false;
    pairs = grown;
    capacity = wanted;
    return true;
}

ul_varpair_t* ul_varlist_t::setValue(const char16_t* name, const char16_t* value, int* isNew,
                                     int flags) {
    bool adoptName = flags & UL_VAR_ADOPTNAME;
    bool adoptValue = flags & UL_VAR_ADOPTVALUE;
    bool found;
    uint32_t index = lowerBound(name, &found);
    bool ok;
    char16_t* storedValue = storedString(value, adoptValue, &ok);
    if (!ok) {
        releaseAdopted(name, adoptName);
        return UL_ERROR_RETURN(nullptr);
    }
    UL_TRACE(UL_TRC_VARLIST, 3, u"Variable '%s' = '%s'.\n", name, value);
    if (found) {
        releaseAdopted(name, adoptName);
        std::free(pairs[index].value);
        pairs[index].value = storedValue;
        if (isNew) *isNew = 0;
        return &pairs[index];
    }
    char16_t* storedName = storedString(name, adoptName, &ok);
    if (!ok || (count == capacity && !grow())) {
        std::free(storedValue);
        if (ok) std::free(storedName);
        return UL_ERROR_RETURN(nullptr);
    }
    memmove(&pairs[index + 1], &pairs[index], (count - index) * sizeof(ul_varpair_t));
    pairs[index] = ul_varpair_t{storedName, storedValue};
    ++count;
    if (isNew) *isNew = 1;
    return &pairs[index];
}

int ul_varlist_t::find(const char16_t* name) const {
    bool found;
    uint32_t index = lowerBound(name, &found);
    return found ? static_cast<int>(index) : -1;
}

ul_varpair_t* ul_varlist_t::getPair(const char16_t* name, int flags) {
    int index = find(name);
    if (index >= 0) return &pairs[index];
    if (!(flags & UL_VAR_QUIET)) ul_errorsetmsgfmt(0, u"Variable '%s' not found", name);
    return nullptr;
}

const char16_t* ul_varlist_t::getValue(const char16_t* name, int flags) {
    ul_varpair_t* pair = getPair(name, flags);
    return pair ? pair->value : nullptr;
}

char16_t* ul_varlist_t::toString(char16_t separator, int flags) const {
    bool doubled = flags & UL_VAR_DOUBLESEPARATOR;
    size_t length = 0;
    for (uint32_t i = 0; i < count; ++i) {
        length += (i ? 1 : 0) + ul_strlen(pairs[i].name);
        if (pairs[i].value)
            length +=
                1 + ul_strlen(pairs[i].value) + (doubled ? countOf(pairs[i].value, separator) : 0);
    }
    auto* text = static_cast<char16_t*>(ul_malloc((length + 1) * sizeof(char16_t)));
    if (!text) return UL_ERROR_RETURN(nullptr);
    char16_t* out = text;
    for (uint32_t i = 0; i < count; ++i) {
        if (i) *out++ = separator;
        for (const char16_t* p = pairs[i].name; *p; ++p) *out++ = *p;
        if (!pairs[i].value) continue;
        *out++ = u'=';
        for (const char16_t* p = pairs[i].value; *p; ++p) {
            if (doubled && *p == separator) *out++ = separator;
            *out++ = *p;
        }
    }
    *out = 0;
    return text;
}

void ul_varlist_t::free() {
    for (uint32_t i = 0; i < count; ++i) {
        std::free(pairs[i].name);
        std::free(pairs[i].value);
    }
    std::free(pairs);
    pairs = nullptr;
    count = 0;
    capacity = 0;
}

// Where conditions: the parser takes any text; a key range it accepts, written again by the
// condition generator, parses back to the same range.
#include <string>
#include <vector>

#include "fuzzutil.h"
#include "ulsqlcondition.h"

namespace {

// Field names in double quotes, embedded quotes doubled: the parser gives names back unquoted.
int quoteName(char16_t* out, unsigned size, const char16_t* name, int) {
    std::u16string quoted = u"\"";
    for (const char16_t* p = name; *p; ++p) {
        if (*p == u'"') quoted += u'"';
        quoted += *p;
    }
    quoted += u'"';
    if (quoted.size() >= size) {
        ul_errorsetmsg(0, u"Name too long");
        return -1;
    }
    quoted.copy(out, quoted.size());
    out[quoted.size()] = 0;
    return static_cast<int>(quoted.size());
}

std::u16string describe(const ul_sqlrange_t& r) {
    std::u16string text;
    const ul_sqlboundary_t* bounds[] = {&r.low, &r.high};
    for (const ul_sqlboundary_t* b : bounds) {
        text += b == &r.low ? (r.lowInclusive ? u"low incl:" : u"low:")
                            : (r.highExclusive ? u" high excl:" : u" high:");
        for (unsigned i = 0; i < b->SQBND_NValues; ++i)
            text += u" [" + std::u16string(b->fields[i]) + u"]" +
                    ul_utf8to16(std::to_string(b->tokenClasses[i]).c_str()) + u"[" +
                    std::u16string(b->value(i)) + u"]";
    }
    return text;
}

bool sameBound(const ul_sqlboundary_t& a, const ul_sqlboundary_t& b) {
    if (a.SQBND_NValues != b.SQBND_NValues) return false;
    for (unsigned i = 0; i < a.SQBND_NValues; ++i)
        if (ul_strcmp(a.fields[i], b.fields[i]) != 0 || a.value(i) != b.value(i) ||
            a.tokenClasses[i] != b.tokenClasses[i])
            return false;
    return true;
}

bool sameRange(const ul_sqlrange_t& a, const ul_sqlrange_t& b) {
    return sameBound(a.low, b.low) && sameBound(a.high, b.high) &&
           (a.low.SQBND_NValues == 0 || a.lowInclusive == b.lowInclusive) &&
           (a.high.SQBND_NValues == 0 || a.highExclusive == b.highExclusive);
}

// The generator writes both bounds over one list of fields: the shorter bound must name the
// leading fields of the longer one, in the same token classes.
const ul_sqlboundary_t* commonFields(const ul_sqlrange_t& r) {
    const ul_sqlboundary_t& longer = r.low.SQBND_NValues >= r.high.SQBND_NValues ? r.low : r.high;
    const ul_sqlboundary_t& shorter = &longer == &r.low ? r.high : r.low;
    for (unsigned i = 0; i < shorter.SQBND_NValues; ++i)
        if (ul_strcmp(shorter.fields[i], longer.fields[i]) != 0 ||
            shorter.tokenClasses[i] != longer.tokenClasses[i])
            return nullptr;
    return &longer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string text = fuzz_text(data, size);
    ul_strpool_t pool;
    ul_sqlrange_t range;
    if (ul_sqlwhere2range(text.c_str(), &range, &pool) < 0) return 0;
    const ul_sqlboundary_t* fields = commonFields(range);
    if (!fields || fields->SQBND_NValues == 0) return 0;

    int mode = UL_WHERECOND_BRACKETS;
    if (range.low.SQBND_NValues == 0) mode |= UL_WHERECOND_NOLOWER;
    if (range.lowInclusive) mode |= UL_WHERECOND_LOWINCL;
    if (range.highExclusive) mode |= UL_WHERECOND_HIGHEXCL;
    // Values go in whole, NUL characters included.
    std::vector<std::u16string_view> low, high;
    for (unsigned i = 0; i < range.low.SQBND_NValues; ++i) low.push_back(range.low.value(i));
    for (unsigned i = 0; i < range.high.SQBND_NValues; ++i) high.push_back(range.high.value(i));
    std::u16string written;
    if (ul_sqlappendwherecondition(&written, nullptr, fields->fields, fields->tokenClasses,
                                   low.data(), range.low.SQBND_NValues, high.data(),
                                   range.high.SQBND_NValues, quoteName, mode) < 0)
        return 0;  // a value without a literal form in this class
    ul_sqlrange_t back;
    FUZZ_CHECK(ul_sqlwhere2range(written.c_str(), &back, &pool) == 0,
               describe(range) + u"\nwritten: " + written);
    FUZZ_CHECK(sameRange(range, back),
               describe(range) + u"\nwritten: " + written + u"\nback: " + describe(back));
    return 0;
}

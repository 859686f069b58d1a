#include "ulsqlutil.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "ulerror.h"
#include "ulsqlbase.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

struct NametabSlot {
    unsigned type = UL_NTTYPE_STD;
    char16_t suffix[UL_NTSUFFIXMAX + 1] = {};
    // Built on request from the suffix, so they never disagree with it.
    char16_t names[3][UL_NTNAMEMAX + 1] = {};
};

struct SessionState {
    NametabSlot slots[2];
    unsigned configured = 0;  // bit 1: standard slot, bit 2: alternate slot
    int current = UL_NTSLOT_STANDARD;
    char16_t tableSuffix[UL_TABSUFFIXMAX + 1] = {};
};

SessionState g_session;

constexpr const char16_t* kSlotNames[2] = {u"standard", u"alternative"};
constexpr const char16_t* kNameFormats[3] = {u"DDNTT%s", u"DDNTF%s", u"DDNTT_HIST%s"};

struct NametabKeyword {
    const char16_t* keyword;
    unsigned type;
};
constexpr NametabKeyword kNametabKeywords[] = {
    {u"off", UL_NTTYPE_OFF}, {u"std", UL_NTTYPE_STD},     {u"shd", UL_NTTYPE_SHD},
    {u"bri", UL_NTTYPE_BRI}, {u"swold", UL_NTTYPE_SWOLD},
};

// The tables of the nametab itself; the last one only on request.
constexpr const char16_t* kNametabTables[] = {
    u"DDNTT", u"DDNTT_CONV_UC", u"DDNTT_HIST", u"DDNTF", u"DDNTF_CONV_UC", u"DDNTF_HIST",
};
constexpr const char16_t* kRepositoryNametab = u"REPOSRC_ADM";

bool validSlot(int slot) {
    return slot == UL_NTSLOT_STANDARD || slot == UL_NTSLOT_ALTERNATE;
}

// The suffix of types 1 to 4, built from the first separator character.
int deriveSuffix(unsigned type, char16_t* out, size_t size) {
    const char16_t separator = ul_sqlgetseparator(1);
    const char16_t twice[] = {separator, separator, 0};
    switch (type) {
        case UL_NTTYPE_STD:
            ul_strlcpy(out, u"", size);
            return 0;
        case UL_NTTYPE_SHD:
            ul_strlcpy(out, twice + 1, size);
            return 0;
        case UL_NTTYPE_BRI:
            ul_strlcpy(out, twice, size);
            return 0;
        case UL_NTTYPE_SWOLD:
            ul_sprintf(out, size, u"%sOLD", twice);
            return 0;
        default:
            ul_errorsetmsgfmt(0, u"Invalid suffix type %d", static_cast<int>(type));
            return UL_ERROR_RETURN(-1);
    }
}

// Copies a suffix into a buffer of max + 1 code units, refusing longer ones.
int storeSuffix(char16_t* target, size_t max, const char16_t* suffix, const char16_t* what) {
    if (ul_strlen(suffix) > max) {
        ul_errorsetmsgfmt(0, u"%s suffix '%s' too long (at most %d characters)", what, suffix,
                          static_cast<int>(max));
        return UL_ERROR_RETURN(-1);
    }
    ul_strlcpy(target, suffix ? suffix : u"", max + 1);
    return 0;
}

// Writes head followed by tail; returns the length or -1 when out is too small.
int concat(char16_t* out, unsigned size, std::u16string_view head, const char16_t* tail) {
    const size_t tailLength = ul_strlen(tail);
    if (head.size() + tailLength >= size) {
        ul_errorsetmsgfmt(0, u"Name '%.*s%s' too long (at most %d characters)",
                          static_cast<int>(head.size()), head.data(), tail ? tail : u"",
                          static_cast<int>(size) - 1);
        return UL_ERROR_RETURN(-1);
    }
    head.copy(out, head.size());
    ul_strlcpy(out + head.size(), tail ? tail : u"", size - head.size());
    return static_cast<int>(head.size() + tailLength);
}

// The length of name without the table suffix.
size_t lengthWithoutSuffix(const char16_t* name) {
    const size_t length = ul_strlen(name);
    return ul_sqltabsuffixendswith(name) ? length - ul_strlen(g_session.tableSuffix) : length;
}

}  // namespace

// ---- nametab slots ------------------------------------------------------------------------

int ul_sqlntsettype(unsigned type, const char16_t* suffix, int flags) {
    const int index = (flags & UL_NTSET_ALTERNATE) ? UL_NTSLOT_ALTERNATE : UL_NTSLOT_STANDARD;
    NametabSlot& slot = g_session.slots[index];
    if (type == UL_NTTYPE_OFF) {
        slot.type = type;
    } else if (type == UL_NTTYPE_SUFFIX && ul_strlen(suffix) == 0) {
        slot.type = type;
        slot.suffix[0] = 0;
    } else {
        char16_t derived[UL_NTSUFFIXMAX + 1];
        if (type == UL_NTTYPE_SUFFIX) {
            if (storeSuffix(derived, UL_NTSUFFIXMAX, suffix, u"Nametab") < 0)
                return UL_ERROR_RETURN(-1);
        } else if (deriveSuffix(type, derived, sizeof derived / sizeof *derived) < 0) {
            return UL_ERROR_RETURN(-1);
        }
        slot.type = type;
        ul_strlcpy(slot.suffix, derived, UL_NTSUFFIXMAX + 1);
        g_session.configured |= 1u << index;
    }
    if (!(flags & UL_NTSET_KEEPCURRENT))
        g_session.current = ul_sqlnthavealttype() ? UL_NTSLOT_ALTERNATE : UL_NTSLOT_STANDARD;
    UL_TRACE(UL_TRC_NTT, 2, u"Nametab type of %s slot: %u, suffix '%s'; current slot %d\n",
             kSlotNames[index], type, slot.suffix, g_session.current);
    return 0;
}

int ul_sqlntgettype(int slot) {
    if (!validSlot(slot)) {
        ul_errorsetmsgfmt(0, u"Invalid nametab slot %d", slot);
        return UL_ERROR_RETURN(-1);
    }
    return static_cast<int>(g_session.slots[slot].type);
}

int ul_sqlnthavealttype() {
    return (g_session.configured & 2) ? 1 : 0;
}

int ul_sqlntcurrentslot() {
    return g_session.current;
}

const char16_t* ul_sqlntgetsuffix(int slot) {
    return validSlot(slot) ? g_session.slots[slot].suffix : nullptr;
}

const char16_t* ul_ntgetname(int which) {
    if ((which & UL_NTNAME_DDNTF) && (which & UL_NTNAME_HIST)) {
        ul_errorsetmsgfmt(0, u"Invalid nametab name selector %#x", static_cast<unsigned>(which));
        return UL_ERROR_RETURN(nullptr);
    }
    const int index = (which & UL_NTNAME_ALTERNATE) ? UL_NTSLOT_ALTERNATE : g_session.current;
    NametabSlot& slot = g_session.slots[index];
    if (g_session.slots[UL_NTSLOT_STANDARD].type == UL_NTTYPE_OFF || slot.type == UL_NTTYPE_OFF) {
        ul_errorsetmsg(0, u"Nametab access disabled");
        return UL_ERROR_RETURN(nullptr);
    }
    if (index == UL_NTSLOT_ALTERNATE && !ul_sqlnthavealttype()) {
        ul_errorsetmsgfmt(0, u"No %s nametab configured", kSlotNames[index]);
        return UL_ERROR_RETURN(nullptr);
    }
    const int kind = (which & UL_NTNAME_DDNTF) ? 1 : (which & UL_NTNAME_HIST) ? 2 : 0;
    ul_sprintf(slot.names[kind], UL_NTNAMEMAX + 1, kNameFormats[kind], slot.suffix);
    return slot.names[kind];
}

int ul_sqlntgettypefromstring(const char16_t* keyword) {
    if (!keyword) return -1;
    for (const NametabKeyword& k : kNametabKeywords)
        if (ul_stricmp(keyword, k.keyword) == 0) return static_cast<int>(k.type);
    return -1;
}

// ---- separators ---------------------------------------------------------------------------

// The connected database's support row, else the one dbms_type selects; without either the
// separators most databases use.
const char16_t* ul_sqlcurrentseparators() {
    const ul_sqldbsupport_t* row = ul_sqlcurrentdbsupport();
    return row ? row->separators : u"~~^";
}

char16_t ul_sqlgetseparator(int kind) {
    const char16_t* separators = ul_sqlcurrentseparators();
    if (kind == 1) return separators[0];
    if (kind == 3) return separators[1];
    return separators[2];
}

// ---- table suffix -------------------------------------------------------------------------

int ul_sqltablesuffixsettype(unsigned type, const char16_t* suffix) {
    if (type == UL_NTTYPE_SUFFIX) return ul_sqltabsuffixset(suffix) < 0 ? UL_ERROR_RETURN(-1) : 0;
    if (type == UL_NTTYPE_OFF) return ul_sqltabsuffixset(nullptr);
    char16_t derived[UL_TABSUFFIXMAX + 1];
    if (deriveSuffix(type, derived, sizeof derived / sizeof *derived) < 0)
        return UL_ERROR_RETURN(-1);
    return ul_sqltabsuffixset(derived);
}

int ul_sqltabsuffixset(const char16_t* suffix) {
    if (storeSuffix(g_session.tableSuffix, UL_TABSUFFIXMAX, suffix, u"Table") < 0)
        return UL_ERROR_RETURN(-1);
    UL_TRACE(UL_TRC_SQL, 2, u"Table suffix '%s'\n", g_session.tableSuffix);
    return 0;
}

const char16_t* ul_sqltabsuffixget() {
    return g_session.tableSuffix[0] ? g_session.tableSuffix : nullptr;
}

int ul_sqltabsuffixendswith(const char16_t* name) {
    const size_t suffixLength = ul_strlen(g_session.tableSuffix);
    const size_t length = ul_strlen(name);
    if (suffixLength == 0 || length <= suffixLength) return 0;
    return ul_strcmp(name + length - suffixLength, g_session.tableSuffix) == 0 ? 1 : 0;
}

int ul_sqltabsuffixcut(char16_t* name) {
    if (!ul_sqltabsuffixendswith(name)) return 0;
    name[lengthWithoutSuffix(name)] = 0;
    return 1;
}

int ul_sqltabsuffixcompare(const char16_t* a, const char16_t* b) {
    const std::u16string_view left(a ? a : u"", lengthWithoutSuffix(a));
    const std::u16string_view right(b ? b : u"", lengthWithoutSuffix(b));
    return left.compare(right);
}

int ul_sqltabsuffixadd(char16_t* out, unsigned size, const char16_t* name) {
    return ul_sqladdsuffix(out, size, name, UL_SUFFIX_TABLE);
}

int ul_sqladdsuffix(char16_t* out, unsigned size, const char16_t* name, int flags) {
    const char16_t* suffix = nullptr;
    switch (flags) {
        case UL_SUFFIX_TABLE:
            suffix = g_session.tableSuffix;
            break;
        case UL_SUFFIX_NTSTANDARD:
            suffix = g_session.slots[UL_NTSLOT_STANDARD].suffix;
            break;
        case UL_SUFFIX_NTALTERNATE:
            suffix = g_session.slots[UL_NTSLOT_ALTERNATE].suffix;
            break;
        default:
            ul_errorsetmsgfmt(0, u"Invalid suffix selector %d", flags);
            return UL_ERROR_RETURN(-1);
    }
    const int length = concat(out, size, name ? name : u"", suffix);
    return length < 0 ? UL_ERROR_RETURN(-1) : length;
}

int ul_ntrealtablename(char16_t* out, unsigned size, const char16_t* name) {
    const int length =
        concat(out, size, std::u16string_view(name ? name : u"", lengthWithoutSuffix(name)), u"");
    return length < 0 ? UL_ERROR_RETURN(-1) : length;
}

// ---- nametab tables -----------------------------------------------------------------------

int ul_sqlnametabnormalize(char16_t* out, unsigned size, const char16_t* name) {
    const std::u16string_view text(name ? name : u"");
    auto endsVariant = [](char16_t c) { return c == 0 || c == u'~' || c == u'?'; };
    const bool nametabPrefix = text.size() >= 5 && text.starts_with(u"DD") &&
                               (text[2] == u'N' || text[2] == u'X') && text[3] == u'T' &&
                               (text[4] == u'T' || text[4] == u'F');
    const char16_t* afterConv = nametabPrefix ? ul_stringstartcmp(name + 5, u"_CONV_UC") : nullptr;
    std::u16string head(text);
    const char16_t* tail = u"";
    if (nametabPrefix && endsVariant(name[5])) {
        head = std::u16string(text.substr(0, 5)) + u"_2B";
        tail = name + 5;
    } else if (afterConv && endsVariant(*afterConv)) {
        head = std::u16string(text.substr(0, 5)) + u"_1B";
        tail = afterConv;
    }
    const int length = concat(out, size, head, tail);
    return length < 0 ? UL_ERROR_RETURN(-1) : length;
}

int ul_sqltableisnametab(const char16_t* name, int flags) {
    if (!name) return 0;
    for (const char16_t* table : kNametabTables)
        if (ul_strcmp(name, table) == 0) return 1;
    return (flags & UL_NAMETABS_WITHREPO) && ul_strcmp(name, kRepositoryNametab) == 0 ? 1 : 0;
}

void ul_sqlresetsession() {
    g_session = SessionState{};
}

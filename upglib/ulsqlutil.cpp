#include "ulsqlutil.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "uldllist.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
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

constexpr char16_t kDefaultQuoteFormat[] = u"\"%s\"";
// Longest name with its suffix that ul_sqlquotetable accepts (terminator not counted).
constexpr unsigned kQuoteNameMax = 255;

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
        if (index == UL_NTSLOT_ALTERNATE)
            UL_TRACE(UL_TRC_NTT, 2, u"Setting up alternate nametabs '%s' '%s' '%s' (type %#x)\n",
                     ul_ntgetname(UL_NTNAME_ALTERNATE),
                     ul_ntgetname(UL_NTNAME_ALTERNATE | UL_NTNAME_DDNTF),
                     ul_ntgetname(UL_NTNAME_ALTERNATE | UL_NTNAME_HIST), type);
    }
    if (!(flags & UL_NTSET_KEEPCURRENT))
        g_session.current = ul_sqlnthavealttype() ? UL_NTSLOT_ALTERNATE : UL_NTSLOT_STANDARD;
    UL_TRACE(UL_TRC_NTT, 2, u"Nametab type of %s slot: %u, suffix '%s'; current slot %d\n",
             kSlotNames[index], type, slot.suffix, g_session.current);
    return 0;
}

namespace {

using NtSwitchHook = int (*)(int flags);

std::vector<NtSwitchHook>& ntSwitchHooks() {
    static std::vector<NtSwitchHook> hooks;
    return hooks;
}

}  // namespace

void ul_sqlntaddswitchhook(int (*hook)(int flags)) {
    std::vector<NtSwitchHook>& list = ntSwitchHooks();
    if (hook && std::find(list.begin(), list.end(), hook) == list.end()) list.push_back(hook);
}

int ul_sqlntswitch(unsigned slot, int flags) {
    const bool valid = validSlot(static_cast<int>(slot));
    if (g_session.slots[UL_NTSLOT_STANDARD].type == UL_NTTYPE_OFF ||
        (valid && g_session.slots[slot].type == UL_NTTYPE_OFF)) {
        ul_errorsetmsg(0, u"Nametab access disabled");
        return UL_ERROR_RETURN(-1);
    }
    if (slot == UL_NTSLOT_REPORT) return g_session.current;
    if (!valid) {
        ul_errorsetmsgfmt(0, u"Invalid nametab slot %d", static_cast<int>(slot));
        return UL_ERROR_RETURN(-1);
    }
    if (slot == UL_NTSLOT_ALTERNATE && !ul_sqlnthavealttype()) {
        ul_errorsetmsgfmt(0, u"No %s nametab configured", kSlotNames[slot]);
        return UL_ERROR_RETURN(-1);
    }
    for (NtSwitchHook hook : ntSwitchHooks()) {
        if (hook(flags) < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot switch to %s nametabs", kSlotNames[slot]);
            return UL_ERROR_RETURN(-1);
        }
    }
    g_session.current = static_cast<int>(slot);
    UL_TRACE(UL_TRC_NTT, 2, u"Switched to %s nametabs '%s'\n", kSlotNames[slot], ul_ntgetname(0));
    return static_cast<int>(slot);
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

const ul_nametabdef_t NameTabs[] = {
    {u"DDNTT", u"DDNTT_C", 1, false},
    {u"DDNTT_CONV_UC", u"DDNTT_CONV_UC_C", 1, false},
    {u"DDNTT_HIST", u"DDNTT_HIST_C", 2, false},
    {u"DDNTF", nullptr, 2, false},
    {u"DDNTF_CONV_UC", nullptr, 2, false},
    {u"DDNTF_HIST", nullptr, 3, false},
    {u"REPOSRC_ADM", u"REPOSRC_ADM_TEMPLATE", 1, true},
};
const size_t NameTabsCount = sizeof NameTabs / sizeof *NameTabs;

namespace {

bool listed(const ul_nametabdef_t& table, int flags) {
    return !table.onRequest || (flags & UL_NAMETABS_WITHREPO);
}

}  // namespace

int ul_sqltableisnametab(const char16_t* name, int flags) {
    if (!name) return 0;
    for (const ul_nametabdef_t& table : NameTabs)
        if (listed(table, flags) && ul_strcmp(name, table.name) == 0) return 1;
    return 0;
}

int ul_sqltablegetnametabs(ul_dllist_t* list, int flags) {
    int count = 0;
    for (const ul_nametabdef_t& table : NameTabs) {
        if (!listed(table, flags)) continue;
        if (!ul_dllistcreateaddstrnode(list, table.name, -1)) return UL_ERROR_RETURN(-1);
        ++count;
    }
    return count;
}

// ---- quoting ------------------------------------------------------------------------------

int ul_sqlquotetable(char16_t* out, unsigned size, const char16_t* name, int flags) {
    const char16_t* suffix = u"";
    if (flags & UL_QUOTE_TABSUFFIX)
        suffix = g_session.tableSuffix;
    else if (flags & UL_QUOTE_NTSTANDARD)
        suffix = g_session.slots[UL_NTSLOT_STANDARD].suffix;
    else if (flags & UL_QUOTE_NTALTERNATE)
        suffix = g_session.slots[UL_NTSLOT_ALTERNATE].suffix;
    char16_t full[kQuoteNameMax + 1];
    if (concat(full, kQuoteNameMax + 1, name ? name : u"", suffix) < 0) return UL_ERROR_RETURN(-1);
    const bool upper =
        !(flags & UL_QUOTE_KEEPCASE) && (UL_SQLGlobalFlags & UL_SQLFLAG_OBJNAME2UPPER);
    if (upper) ul_string2upper(full);

    const ul_sqldbsupport_t* row = ul_sqlcurrentdbsupport();
    // The database's row address pseudo column is no name of the table: it goes out unquoted,
    // spelt as the database knows it.
    ul_sqlfielddesc_t rowId{};
    if (row && row->fieldFlagHook && !(flags & UL_QUOTE_ALWAYS) &&
        row->fieldFlagHook(full, &rowId) == 1 && rowId.name) {
        const int length = concat(out, size, rowId.name, u"");
        return length < 0 ? UL_ERROR_RETURN(-1) : length;
    }
    const char16_t* format = (flags & UL_QUOTE_ALWAYS) ? kDefaultQuoteFormat
                             : row                     ? row->quoteFormat
                                                       : nullptr;
    const bool expression = ul_strchr(full, u'(') && !ul_strchr(full, u'"');
    std::u16string text;
    if (!format || (expression && !((flags & UL_QUOTE_PARENTHESES) && upper))) {
        text = full;
    } else {
        std::u16string doubled;
        for (const char16_t* p = full; *p; ++p) {
            if (*p == u'"') doubled += u'"';
            doubled += *p;
        }
        text = ul_format(format, doubled.c_str());
    }
    const int length = concat(out, size, text, u"");
    return length < 0 ? UL_ERROR_RETURN(-1) : length;
}

int ul_sqlappendquotedname(std::u16string* sql, const char16_t* name, int flags) {
    // Every double quote of the longest name doubled, the quotes around it and the NUL.
    char16_t quoted[2 * kQuoteNameMax + 3];
    if (ul_sqlquotetable(quoted, 2 * kQuoteNameMax + 3, name, flags) < 0)
        return UL_ERROR_RETURN(-1);
    return ul_guarded([&] {
        *sql += quoted;
        return 0;
    });
}

int ul_sqlquotenames(std::u16string* out, const char16_t* format,
                     std::initializer_list<std::u16string_view> values) {
    out->clear();
    auto value = values.begin();
    for (const char16_t* p = format; *p; ++p) {
        if (p[0] == u'%' && p[1] == u's') {
            if (value == values.end())
                return ul_errorfail(ul_format(u"Too few values for statement '%s'", format));
            out->append(*value++);
            ++p;
        } else if (*p == u'{') {
            const char16_t* close = ul_strchr(p, u'}');
            if (!close) return ul_errorfail(ul_format(u"Missing '}' in statement '%s'", format));
            std::u16string name(p + 1, close);
            if (name == u"%s") {
                if (value == values.end())
                    return ul_errorfail(ul_format(u"Too few values for statement '%s'", format));
                name = *value++;
            }
            if (ul_sqlappendquotedname(out, name.c_str(), 0) < 0) return UL_ERROR_RETURN(-1);
            p = close;
        } else {
            out->push_back(*p);
        }
    }
    return 0;
}

namespace {

const ul_sqlrowlock_t* currentRowLock() {
    const ul_sqldbsupport_t* row = ul_sqlcurrentdbsupport();
    return row ? row->rowLock : nullptr;
}

int appendLockText(std::u16string* sql, const char16_t* text) {
    if (!text) return 0;
    return ul_guarded([&] {
        *sql += text;
        return 0;
    });
}

}  // namespace

int ul_sqlappendlockhint(std::u16string* sql) {
    const ul_sqlrowlock_t* lock = currentRowLock();
    return appendLockText(sql, lock ? lock->tableHint : nullptr);
}

int ul_sqlappendlockclause(std::u16string* sql) {
    const ul_sqlrowlock_t* lock = currentRowLock();
    return appendLockText(sql, lock ? lock->clause : nullptr);
}

int ul_sqltakewritelock(const char16_t* quotedTable) {
    const ul_sqlrowlock_t* lock = currentRowLock();
    if (!lock || !lock->writeLockFormat) return 0;
    const std::u16string sql = ul_format(lock->writeLockFormat, quotedTable);
    unsigned long count = 0;
    if (ULSQLStmt::run(sql.c_str(), nullptr, 0, nullptr, &count, 0) < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

void ul_sqlresetsession() {
    g_session = SessionState{};
}

// ---- schemas and the view layer -----------------------------------------------------------

namespace {

// The view-layer properties of ZMX_SYSTSTATE, in the order of kPropertyNames.
enum Property { kViewLayer, kSchemaBlue, kSchemaGreen, kToolsBlue, kToolsGreen, kPropertyCount };
constexpr const char16_t* kPropertyNames[kPropertyCount] = {
    u"VIEW_LAYER",
    u"CURRENT_SCHEMA",
    u"CURRENT_SCHEMA_GREEN",
    u"CURRENT_SCHEMA_TOOLS",
    u"CURRENT_SCHEMA_TOOLS_GREEN",
};
constexpr size_t kPropertyMax = 255;
constexpr unsigned kSchemaSelectors = 5;

constexpr char16_t kEnvSystemIdentifier[] = u"soi_system_identifier";
constexpr char16_t kEnvShadowUpgrade[] = u"auth_shadow_upgrade";

struct SchemaState {
    bool determined = false;
    int viewLayer = 0;  // 0, UL_VIEWLAYER_BLUE or UL_VIEWLAYER_GREEN
    std::u16string properties[kPropertyCount];
    std::optional<std::u16string> schemas[kSchemaSelectors];
};

SchemaState g_schemas;

// Collects the known properties; other rows are ignored.
class AuxReadSystemState : public ULSQLCallBackChar {
  public:
    explicit AuxReadSystemState(std::u16string* properties) : properties_(properties) {}
    int handleRow(unsigned, const char16_t** values, unsigned ncols) override {
        if (!values || ncols < 2 || !values[0]) return 0;
        for (int p = 0; p < kPropertyCount; ++p) {
            if (ul_strcmp(values[0], kPropertyNames[p]) != 0) continue;
            if (ul_strlen(values[1]) > kPropertyMax) {
                ul_errorsetmsgfmt(0, u"Value of '%s' in ZMX_SYSTSTATE exceeds %d characters",
                                  kPropertyNames[p], static_cast<int>(kPropertyMax));
                return UL_ERROR_RETURN(-1);
            }
            properties_[p] = values[1] ? values[1] : u"";
        }
        return 0;
    }

  private:
    std::u16string* properties_;
};

// Collects the first column of every row.
class AuxCollectNames : public ULSQLCallBackChar {
  public:
    int handleRow(unsigned, const char16_t** values, unsigned ncols) override {
        if (values && ncols > 0 && values[0]) names.emplace_back(values[0]);
        return 0;
    }
    std::vector<std::u16string> names;
};

int readControlText(int code, const char16_t* what, std::u16string* out) {
    dbif_control_t argument;
    const int rc = ul_sqldbifcontrol(code, &argument);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc != DBIF_RC_OK) {
        ul_sqlsetdbiferror(rc, what);
        return UL_ERROR_RETURN(-1);
    }
    *out = argument.text;
    return 0;
}

std::optional<std::u16string> envText(const char16_t* name) {
    const char* value = std::getenv(ul_utf16to8(name).c_str());
    if (!value) return std::nullopt;
    return ul_utf8to16(value);
}

// "x" or a non-zero number.
bool sayViewLayer(const std::u16string& value) {
    if (value == u"x" || value == u"X") return true;
    long number = 0;
    return ul_stringtolong(value.c_str(), &number) == 0 && number != 0;
}

int activeSide() {
    if (std::optional<std::u16string> id = envText(kEnvSystemIdentifier)) {
        if (*id == u"0") return UL_VIEWLAYER_BLUE;
        if (*id == u"1") return UL_VIEWLAYER_GREEN;
        ul_errorsetmsgfmt(0, u"Invalid value '%s' for env variable '%s'", id->c_str(),
                          kEnvSystemIdentifier);
        return UL_ERROR_RETURN(-1);
    }
    if (envText(kEnvShadowUpgrade) == u"1") {
        ul_errorsetmsg(
            0, u"Invalid connect variable 'auth_shadow_upgrade=1' set in view layer system");
        return UL_ERROR_RETURN(-1);
    }
    return UL_VIEWLAYER_BLUE;
}

int askDbifViewLayer(bool* viewLayer) {
    dbif_control_t argument;
    const int rc = ul_sqldbifcontrol(DBIF_CTL_VIEW_LAYER, &argument);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc != DBIF_RC_OK && rc != DBIF_RC_NO_MORE_ROWS && rc != DBIF_RC_NOT_SUPPORTED) {
        ul_errorsetmsgfmt(0, u"'DBIF_CMD_IS_VIEW_LAYER' failed with %d", rc);
        const dbif_commarea_t* area = ul_sqlcommarea();
        if (area && !area->errorText.empty())
            ul_errorsetmsg(UL_ERR_APPEND, area->errorText.c_str());
        return UL_ERROR_RETURN(-1);
    }
    *viewLayer = rc == DBIF_RC_OK;
    return 0;
}

// A view-layer system must not work in the user's own schema; any other system must.
int checkSchemaSetup(SchemaState& state, const char16_t* user) {
    const std::u16string* p = state.properties;
    if (state.viewLayer) {
        if (p[kToolsBlue] != user && p[kToolsGreen] != user) return 0;
        ul_errorsetmsgfmt(0,
                          u"Unsupported view-layered system with dbuser='%s', schema_blue='%s', "
                          u"schema_green='%s', schema_tool_blue='%s', schema_tool_green='%s'",
                          user, p[kSchemaBlue].c_str(), p[kSchemaGreen].c_str(),
                          p[kToolsBlue].c_str(), p[kToolsGreen].c_str());
        return UL_ERROR_RETURN(-1);
    }
    std::u16string schema;
    if (readControlText(DBIF_CTL_SCHEMA, u"Getting DB schema failed", &schema) < 0)
        return UL_ERROR_RETURN(-1);
    if (schema == user) return 0;
    ul_errorsetmsgfmt(0, u"Unsupported non view-layered system with user != schema: '%s' != '%s'",
                      user, schema.c_str());
    return UL_ERROR_RETURN(-1);
}

// The library and the system table ZMX_SYSTSTATE of the user's schema must agree.
int determineViewLayer(SchemaState& state) {
    state = SchemaState();
    bool dbifSays = false;
    if (askDbifViewLayer(&dbifSays) < 0) return UL_ERROR_RETURN(-1);
    const char16_t* user = ul_sqlgetdbschema0(UL_SCHEMA_USERPLAIN);
    if (!user) return UL_ERROR_RETURN(-1);
    const std::u16string sql =
        ul_format(u"SELECT SYS_PROPERTY, SYS_VALUE FROM \"%s\".ZMX_SYSTSTATE", user);
    AuxReadSystemState reader(state.properties);
    if (ULSQLStmt::run(sql.c_str(), nullptr, 2, &reader, nullptr, UL_SQLMODE_MISSINGTABLE) == -1)
        return UL_ERROR_RETURN(-1);
    const bool tableSays = sayViewLayer(state.properties[kViewLayer]);
    if (tableSays) {
        state.viewLayer = activeSide();
        if (state.viewLayer < 0) return UL_ERROR_RETURN(-1);
    }
    if (tableSays != dbifSays) {
        ul_errorsetmsgfmt(0,
                          u"Internal inconsistency: Determination via 'ZMX_SYSTSTATE' has "
                          u"viewlayer=%d, but DBIF has viewlayer=%d",
                          tableSays ? 1 : 0, dbifSays ? 1 : 0);
        return UL_ERROR_RETURN(-1);
    }
    if (checkSchemaSetup(state, user) < 0) return UL_ERROR_RETURN(-1);
    state.determined = true;
    UL_TRACE(UL_TRC_SQL, 2, u"View layer system: %d.\n", state.viewLayer);
    return 0;
}

constexpr const char16_t* kSideNames[] = {u"", u"blue", u"green"};

int computeSchema(unsigned selector, std::u16string* value) {
    if (selector == UL_SCHEMA_USERPLAIN)
        return readControlText(DBIF_CTL_USER, u"Getting DB user failed", value);
    const int viewLayer = ul_sqlisviewlayer(0);
    if (viewLayer < 0) return UL_ERROR_RETURN(-1);
    const std::u16string* p = g_schemas.properties;
    switch (selector) {
        case UL_SCHEMA_USER: {
            const char16_t* user = ul_sqlgetdbschema0(UL_SCHEMA_USERPLAIN | UL_SCHEMA_ACCEPTEMPTY);
            if (!user) return UL_ERROR_RETURN(-1);
            *value = user;
            return 0;
        }
        case UL_SCHEMA_WORK:
            if (viewLayer == 0)
                return readControlText(DBIF_CTL_SCHEMA, u"Getting DB schema failed", value);
            *value = p[viewLayer == UL_VIEWLAYER_BLUE ? kToolsBlue : kToolsGreen];
            UL_TRACE(UL_TRC_SQL, 2, u"View layer system: Standard schema (%s) as '%s'.\n",
                     kSideNames[viewLayer], value->c_str());
            return 0;
        case UL_SCHEMA_TOOLSBLUE:
            *value = p[kToolsBlue];
            return 0;
        default:
            *value = p[kToolsGreen];
            return 0;
    }
}

}  // namespace

const char16_t* ul_sqlgetdbschema0(unsigned selector) {
    const unsigned which = selector & ~static_cast<unsigned>(UL_SCHEMA_ACCEPTEMPTY);
    if (which >= kSchemaSelectors) {
        ul_errorsetmsgfmt(0, u"Invalid database schema selector %u", selector);
        return UL_ERROR_RETURN(nullptr);
    }
    std::optional<std::u16string>& cached = g_schemas.schemas[which];
    if (!cached) {
        std::u16string value;
        if (computeSchema(which, &value) < 0) return UL_ERROR_RETURN(nullptr);
        cached = std::move(value);
    }
    if (cached->empty() && !(selector & UL_SCHEMA_ACCEPTEMPTY)) {
        ul_errorsetmsgfmt(0, u"Empty value for database schema #%d", static_cast<int>(which));
        return UL_ERROR_RETURN(nullptr);
    }
    return cached->c_str();
}

int ul_sqlisviewlayer(int flags) {
    const int type = ul_sqlgetdbatype();
    if (type < 0) return UL_ERROR_RETURN(-1);
    if (type != UL_DBTYPE_ZDB) return 0;
    if (!g_schemas.determined || (flags & UL_VIEWLAYER_REDETERMINE)) {
        if (determineViewLayer(g_schemas) < 0) {
            g_schemas = SchemaState();
            return UL_ERROR_RETURN(-1);
        }
    }
    return g_schemas.viewLayer;
}

int ul_sqlvlgetacttablename(char16_t* out, unsigned size, unsigned* ordinal, const char16_t* name,
                            int flags) {
    if (ordinal) *ordinal = 0;
    const int viewLayer = ul_sqlisviewlayer(0);
    if (viewLayer < 0) return UL_ERROR_RETURN(-1);
    if (viewLayer == 0)
        return concat(out, size, name ? name : u"", u"") < 0 ? UL_ERROR_RETURN(-1) : 1;

    const char16_t* user = ul_sqlgetdbschema0(UL_SCHEMA_USERPLAIN);
    if (!user) return UL_ERROR_RETURN(-1);
    const std::u16string pattern = ul_format(u"%s#%%", name);
    ULSQLStmt stmt;
    AuxCollectNames found;
    if (stmt.prepare(u"SELECT TABLE_NAME FROM SYS.TABLES WHERE SCHEMA_NAME = ? AND "
                     u"(TABLE_NAME = ? OR TABLE_NAME LIKE ?)",
                     nullptr, 0, nullptr, 0, 0) < 0 ||
        stmt.bindParamS(0, user) < 0 || stmt.bindParamS(1, name) < 0 ||
        stmt.bindParamS(2, pattern.c_str()) < 0 || stmt.execute(&found, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);

    // T is ordinal 0, T#n ordinal n; LIKE also lets through names that are not versions of T.
    struct Version {
        unsigned ordinal;
        std::u16string name;
    };
    std::vector<Version> versions;
    const size_t nameLength = ul_strlen(name);
    for (const std::u16string& table : found.names) {
        long number = 0;
        if (table == name)
            versions.push_back({0, table});
        else if (table.size() > nameLength + 1 && table.compare(0, nameLength, name) == 0 &&
                 table[nameLength] == u'#' && ul_isdigit(table[nameLength + 1]) &&
                 ul_stringtolong(table.c_str() + nameLength + 1, &number) == 0)
            versions.push_back({static_cast<unsigned>(number), table});
    }
    if (versions.empty()) return 0;
    if (versions.size() >= 3) {
        ul_errorsetmsgfmt(0, u"Invalid database setup: too many tables found: '%s', '%s', and '%s'",
                          versions[0].name.c_str(), versions[1].name.c_str(),
                          versions[2].name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    const bool highest = flags & UL_VLTABLE_HIGHEST;
    const Version* pick = &versions[0];
    if (versions.size() == 2 && (versions[1].ordinal < versions[0].ordinal) != highest)
        pick = &versions[1];
    if (concat(out, size, pick->name, u"") < 0) return UL_ERROR_RETURN(-1);
    if (ordinal) *ordinal = pick->ordinal;
    return 1;
}

int ul_sqlviewlayerconnected() {
    const int viewLayer = ul_sqlisviewlayer(0);
    if (viewLayer <= 0) return viewLayer < 0 ? UL_ERROR_RETURN(-1) : 0;
    const char16_t* schema = ul_sqlgetdbschema0(UL_SCHEMA_WORK);
    if (!schema) return UL_ERROR_RETURN(-1);
    const std::u16string sql = ul_format(u"set schema %s", schema);
    if (ULSQLStmt::run(sql.c_str(), nullptr, 0, nullptr, nullptr, 0) < 0) {
        ul_errorsetmsg(UL_ERR_APPEND, u"Cannot execute statement");
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Statement is '%s'", sql.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (ul_msgwrite_printf399(3, u' ', u"Using view layer schema '%s'.", schema) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

void ul_sqlresetschemas() {
    g_schemas = SchemaState();
}

namespace {
// The schemas and the view layer belong to one connection. Registered when this module is
// part of the program, which is exactly when something may ask for them.
[[maybe_unused]] const bool kSessionHooksAdded =
    (ul_sqladdsessionhooks({ul_sqlresetschemas, ul_sqlviewlayerconnected}), true);
}  // namespace

int ul_sqlgetdbhost(char16_t* out, unsigned size) {
    std::u16string host;
    if (readControlText(DBIF_CTL_HOST, u"Getting DB host failed", &host) < 0)
        return UL_ERROR_RETURN(-1);
    const int length = concat(out, size, host, u"");
    return length < 0 ? UL_ERROR_RETURN(-1) : length;
}

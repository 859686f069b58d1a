#include "ulsqlcrcutil.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultrace.h"

const char16_t* const UL_SQLCRCMarker = u"end-of-prepare";

const ul_tabchkflagname_t TabChkFlagNames[] = {
    {0, UL_TABCHK_PACKED, UL_TABCHK_PACKED, u"packed"},
    {0, UL_TABCHK_DECOMPRESS, UL_TABCHK_DECOMPRESS, u"decompress"},
    {0, UL_TABCHK_POOLED, UL_TABCHK_POOLED, u"pooled"},
    {0, UL_TABCHK_SORTDUPS, UL_TABCHK_SORTDUPS, u"sortdups"},
    {UL_TABCHKATTR_GLOBAL, UL_TABCHK_FILTERBADCHAR, UL_TABCHK_FILTERBADCHAR, u"filterbadchar"},
    {UL_TABCHKATTR_GLOBAL, UL_TABCHK_KEEPNULLBYTES, UL_TABCHK_KEEPNULLBYTES, u"keepnullbytes"},
    {UL_TABCHKATTR_WRITENO, UL_TABCHK_FIELDCHECKSUMS, UL_TABCHK_FIELDCHECKSUMS, u"fieldchecksums"},
    {UL_TABCHKATTR_WRITENO, UL_TABCHK_QUICKRUN, UL_TABCHK_QUICKRUN, u"quickrun"},
    {0, UL_TABCHK_ALTNAMETAB, 0, u"altnametab"},
    {UL_TABCHKATTR_GLOBAL, UL_TABCHK_NEUTRAL, UL_TABCHK_NEUTRAL, u"neutral"},
    {UL_TABCHKATTR_GLOBAL, UL_TABCHK_IGNDATETIME, UL_TABCHK_IGNDATETIME, u"igndatetime"},
    {0, UL_TABCHK_DECLUSTERED, 0, u"declustered"},
    {0, 0, 0, nullptr},
};

namespace {

constexpr size_t kMaxStr = 1024;
constexpr size_t kMaxCascClients = 256;
constexpr size_t kWhrBreak = 120;  // a whr: line is broken at the next blank behind this
constexpr size_t kValueBlock = 4096;

// Key values go to CRC files in the literal form of SQLite: X'..' for bytes and char(n) for
// control characters, so that a line never holds a line end whatever database wrote it.
const ul_sqlliteralform_t kFileForm = {-1, u"X'", u"'", u"char(%d)", u" || "};

bool sameName(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && ul_stringupper(a) == ul_stringupper(b);
}

const char16_t* skipBlanks(const char16_t* p) {
    while (*p == u' ' || *p == u'\t') ++p;
    return p;
}

bool plainNameChar(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
           c == u'_' || c == u'/' || c == u'$' || c == u'#' || c >= 0x80;
}

// Reads one name (bare, or in double quotes with "" for a quote). Returns the position behind
// it, or null when there is no name.
const char16_t* readName(const char16_t* p, std::u16string* name) {
    name->clear();
    p = skipBlanks(p);
    if (*p == u'"') {
        for (++p;; ++p) {
            if (!*p) return nullptr;
            if (*p == u'"') {
                if (p[1] != u'"') return p + 1;
                ++p;
            }
            name->push_back(*p);
        }
    }
    while (*p && *p != u',' && *p != u' ' && *p != u'\t') name->push_back(*p++);
    return name->empty() ? nullptr : p;
}

bool writableName(std::u16string_view name) {
    if (name.empty()) return false;
    for (char16_t c : name)
        if (c < 32 || c == 127) return false;
    return true;
}

const ul_tabchkflagname_t* findOption(std::u16string_view word) {
    for (const ul_tabchkflagname_t* o = TabChkFlagNames; o->name; ++o)
        if (sameName(word, o->name)) return o;
    return nullptr;
}

// Applies option words from left to right. refSide uses the reference bits.
int applyOptions(const char16_t* text, unsigned* bits, bool refSide, bool globalOnly,
                 unsigned* mask) {
    std::u16string word;
    for (const char16_t* p = skipBlanks(text); *p; p = skipBlanks(p)) {
        word.clear();
        while (*p && *p != u' ' && *p != u'\t') word.push_back(*p++);
        bool clear = false;
        const ul_tabchkflagname_t* o = findOption(word);
        if (!o && word.size() > 2 && sameName(word.substr(0, 2), u"no")) {
            o = findOption(std::u16string_view(word).substr(2));
            clear = true;
        }
        if (!o || (globalOnly && !(o->attributes & UL_TABCHKATTR_GLOBAL)))
            return ul_errorfail(ul_format(u"Unknown CRC option '%s'", word.c_str()));
        const unsigned bit = refSide ? o->refBit : o->bit;
        if (clear)
            *bits &= ~bit;
        else
            *bits |= bit;
        if (mask) *mask |= bit;
    }
    return 0;
}

// A checksum as strtoull reads it with base 0 (0x.. hexadecimal, 0.. octal, else decimal),
// the whole text, at most 32 bits.
bool parseChecksum(const char16_t* p, const char16_t* end, uint32_t* value) {
    unsigned base = 10;
    if (end - p > 2 && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X')) {
        base = 16;
        p += 2;
    } else if (end - p > 1 && p[0] == u'0') {
        base = 8;
        ++p;
    }
    if (p == end) return false;
    uint64_t v = 0;
    for (; p < end; ++p) {
        unsigned d;
        if (*p >= u'0' && *p <= u'9')
            d = *p - u'0';
        else if (*p >= u'a' && *p <= u'f')
            d = *p - u'a' + 10;
        else if (*p >= u'A' && *p <= u'F')
            d = *p - u'A' + 10;
        else
            return false;
        if (d >= base) return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// The common literals read directly: a quoted string without character calls, a plain
// number. Returns the length read, 0 when the literal needs the full reader.
size_t readSimpleLiteral(const char16_t* p, std::u16string* value, int* tokenClass) {
    const char16_t* q = p;
    value->clear();
    if (*q == u'\'') {
        for (++q;; ++q) {
            if (!*q) return 0;
            if (*q == u'\'') {
                if (q[1] != u'\'') break;
                ++q;
            }
            value->push_back(*q);
        }
        ++q;
        *tokenClass = UL_SQLTOKEN_STRING;
    } else {
        if (*q == u'-' || *q == u'+') ++q;
        if (!ul_isdigit(*q)) return 0;
        while (ul_isdigit(*q)) ++q;
        value->assign(p, q);
        *tokenClass = UL_SQLTOKEN_NUMBER;
    }
    const char16_t* after = skipBlanks(q);
    if (*after && *after != u',' && *after != u'=') return 0;  // more than a simple literal
    return static_cast<size_t>(q - p);
}

// Gives a field line the numbers its fields have in another list (map: new number by old,
// -1: gone; srcKeys, dstKeys: the key fields before the first field in either numbering).
// Its fields must stay a run of neighbours: the line then starts behind the first of them.
// -1 when the line's last field is gone or its fields are no run any more.
int renumberFieldLine(ul_chkcrcline_t* l, const std::vector<int>& map, unsigned srcKeys,
                      unsigned dstKeys) {
    const auto mapped = [&map](unsigned f) { return f < map.size() ? map[f] : -1; };
    if (mapped(l->end.field) < 0) return -1;
    const unsigned first = std::min(l->firstField(srcKeys), l->end.field);
    int low = mapped(l->end.field), high = low, n = 0;
    for (unsigned f = first; f <= l->end.field; ++f) {
        const int m = mapped(f);
        if (m < 0) continue;
        low = std::min(low, m);
        high = std::max(high, m);
        ++n;
    }
    if (high - low + 1 != n) return -1;
    l->end.field = static_cast<unsigned>(high);
    l->start.field = static_cast<unsigned>(low) <= dstKeys ? UL_CRCFIELD_ROWSTART
                                                           : static_cast<unsigned>(low - 1);
    return 0;
}

char diffLetter(unsigned flags, unsigned bit, char letter) {
    return (flags & bit) ? letter : '-';
}

}  // namespace

// ==== names ======================================================================================

int ul_sqlcrcreadnames(const char16_t* text, std::vector<std::u16string>* names) {
    return ul_guarded([&]() -> int {
        names->clear();
        std::u16string name;
        const char16_t* p = skipBlanks(text);
        while (*p) {
            const char16_t* q = readName(p, &name);
            if (!q) return ul_errorfail(ul_format(u"Syntax error in '%s'", text));
            names->push_back(name);
            p = skipBlanks(q);
            if (*p == u',') p = skipBlanks(p + 1);
        }
        return static_cast<int>(names->size());
    });
}

void ul_sqlcrcappendname(std::u16string* out, std::u16string_view name) {
    bool plain = !name.empty();
    for (char16_t c : name) plain = plain && plainNameChar(c);
    if (plain) {
        out->append(name);
        return;
    }
    out->push_back(u'"');
    for (char16_t c : name) {
        if (c == u'"') out->push_back(u'"');
        out->push_back(c);
    }
    out->push_back(u'"');
}

int ul_sqlcrctokenclass(char16_t type) {
    return ul_sqltokenclassfromtype(type);
}

// ==== boundaries =================================================================================

namespace {

// Digits only, without leading zeros (or a single 0).
bool plainInteger(std::u16string_view v) {
    if (v.empty() || (v.size() > 1 && v[0] == u'0')) return false;
    for (char16_t c : v)
        if (c < u'0' || c > u'9') return false;
    return true;
}

}  // namespace

// Equal texts are equal in every class, and plain integers order by length first: the common
// cases need no decimal or code point arithmetic.
static int compareValue(std::u16string_view a, std::u16string_view b, int cls) {
    if (a == b) return 0;
    if ((cls == UL_SQLTOKEN_NUMBER || cls == UL_SQLTOKEN_NUMC) && plainInteger(a) &&
        plainInteger(b)) {
        if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
        return a < b ? -1 : 1;
    }
    if ((cls == UL_SQLTOKEN_STRING || cls == UL_SQLTOKEN_HEXSTRING) &&
        !(UL_SQLGlobalFlags & UL_SQLFLAG_SQLSTRINGCOMPARE)) {
        // Code units below the surrogates order as their code points.
        const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
        if (ia != a.end() && ib != b.end() && *ia < 0xD800 && *ib < 0xD800)
            return *ia < *ib ? -1 : 1;
        if (ia == a.end() || ib == b.end()) return ia == a.end() ? -1 : 1;  // a prefix first
    }
    return ul_sqlvaluecompare(a, b, cls);
}

int ul_sqlcrcboundary_t::compareTo(const ul_sqlcrcboundary_t& other, const int* tokenClasses,
                                   bool isEnd, bool otherIsEnd) const {
    if (nvalues == 0 || other.nvalues == 0) {
        // Without values: the beginning (start) or the end (end) of the table.
        const int mine = nvalues ? 0 : (isEnd ? 1 : -1);
        const int theirs = other.nvalues ? 0 : (otherIsEnd ? 1 : -1);
        if (mine != theirs) return mine < theirs ? -1 : 1;
        if (mine != 0) return 0;
    }
    const unsigned n = std::min(nvalues, other.nvalues);
    if (values != other.values) {
        for (unsigned i = 0; i < n; ++i) {
            const int cls = tokenClasses ? tokenClasses[i] : UL_SQLTOKEN_STRING;
            const int c = compareValue(values[i], other.values[i], cls);
            if (c != 0) return c < 0 ? -1 : 1;
        }
    }
    if (nvalues != other.nvalues) return nvalues < other.nvalues ? -1 : 1;
    if (field != other.field) {
        // A row's start before its fields, the whole row after them.
        auto rank = [](unsigned f) {
            return f == UL_CRCFIELD_ROWSTART ? -1ll : static_cast<long long>(f);
        };
        return rank(field) < rank(other.field) ? -1 : 1;
    }
    return 0;
}

// ==== evaluators =================================================================================

int ULCRCEvaluator::endTable(const char16_t* table) {
    return m_chained ? m_chained->endTable(table) : 0;
}

int ULCRCEvaluator::forward(int type, const char16_t* table, const char16_t* const* keys,
                            unsigned nkeys, const std::u16string_view* start, unsigned nstart,
                            const char16_t* field, const std::u16string_view* end, unsigned nend,
                            ul_dbrowcount_t ownCount, ul_dbrowcount_t refCount,
                            const ul_chkcrcline_t* line) {
    if (!m_chained) return 0;
    return m_chained->report(type, table, keys, nkeys, start, nstart, field, end, nend, ownCount,
                             refCount, line);
}

int ul_sqlcrcinitmsgs() {
    static const ul_msgproto_t records[] = {
        {u'E', 0, 170, u"CRC differences for table \"%s\", key_fields:%s"},
        {u'E', 0, 171, u"Key range (%s): [%s] < key_fields <= [%s]   count: %lu <> %lu"},
        {u'E', 0, 172, u"Key (%s): %s"},
        {u'E', 0, 173, u"Key: %-60s values: '%s' <> '%s'"},
        {u'E', 0, 175, u"Bucket differences for table '%s': %lu/%lu/%lu INS/UPD/DEL"},
        {0, 0, 0, nullptr},
    };
    static bool done = false;
    if (done) return 0;
    if (ul_msgwrite_register(u"TQ", records) < 0) return UL_ERROR_RETURN(-1);
    done = true;
    return 0;
}

const char16_t* ul_sqlcrctypetag(int type, unsigned lineFlags) {
    if (!(lineFlags & UL_CRCLINE_DIFFS)) return u" ";
    if (type & UL_CRCEVAL_INSERT) return u"INS";
    if (type & UL_CRCEVAL_UPDATE) return u"DIFF";
    return u"DEL";
}

std::u16string ul_sqlcrcvaluestext(const std::u16string_view* values, unsigned n) {
    std::u16string out;
    for (unsigned i = 0; i < n; ++i) {
        if (i) out.push_back(u' ');
        out.push_back(u'\'');
        for (char16_t c : values[i]) {
            if (c < 32) {
                out += ul_format(u"\\x%02X", static_cast<unsigned>(c));
            } else {
                out.push_back(c);
            }
        }
        out.push_back(u'\'');
    }
    return out;
}

namespace {

// A field value as the report shows it: a quoted text without its quotes, binary as written.
std::u16string fieldValueText(const char16_t* value) {
    std::u16string out;
    if (!value) return out;
    if (*value != u'\'') return value;
    for (const char16_t* p = value + 1; *p; ++p) {
        if (*p == u'\'') {
            if (p[1] != u'\'') {
                out.append(p + 1);
                break;
            }
            ++p;
        }
        out.push_back(*p);
    }
    return out;
}

}  // namespace

int auxlogcrc_t::report(int type, const char16_t* table, const char16_t* const* keys,
                        unsigned nkeys, const std::u16string_view* start, unsigned nstart,
                        const char16_t* field, const std::u16string_view* end, unsigned nend,
                        ul_dbrowcount_t ownCount, ul_dbrowcount_t refCount,
                        const ul_chkcrcline_t* line) {
    const int rc = ul_guarded([&]() -> int {
        if (m_table != table) {
            m_table = table;
            std::u16string keyText;
            for (unsigned i = 0; i < nkeys; ++i) keyText += ul_format(u" \"%s\"", keys[i]);
            if (ul_msgwrite_printf399(1, u' ', u"") < 0 ||
                ul_msgwrite_print(1, u'E', 170, 0, table, keyText.c_str()) < 0)
                return UL_ERROR_RETURN(-1);
        }
        const unsigned flags = line ? line->flags : UL_CRCLINE_DIFFS;
        const char16_t* tag = ul_sqlcrctypetag(type, flags);
        const std::u16string endText = ul_sqlcrcvaluestext(end, nend);
        int printed;
        if (type & UL_CRCEVAL_FIELD) {
            const std::u16string key = endText + ul_format(u" field: '%s'", field ? field : u"");
            printed = ul_msgwrite_print(1, u'E', 173, 0, key.c_str(),
                                        fieldValueText(line ? line->ownValue : nullptr).c_str(),
                                        fieldValueText(line ? line->refValue : nullptr).c_str());
        } else if (type & UL_CRCEVAL_SINGLEROW) {
            printed = ul_msgwrite_print(1, u'E', 172, 0, tag, endText.c_str());
        } else {
            printed = ul_msgwrite_print(1, u'E', 171, 0, tag,
                                        ul_sqlcrcvaluestext(start, nstart).c_str(),
                                        endText.c_str(), static_cast<unsigned long>(ownCount),
                                        static_cast<unsigned long>(refCount));
        }
        if (printed < 0) return UL_ERROR_RETURN(-1);
        if (flags & UL_CRCLINE_DIFFS) {
            unsigned long n = 1;
            if (ownCount != UL_DBROWCOUNT_INVALID && refCount != UL_DBROWCOUNT_INVALID &&
                ownCount != refCount)
                n = static_cast<unsigned long>(ownCount > refCount ? ownCount - refCount
                                                                   : refCount - ownCount);
            if (type & UL_CRCEVAL_INSERT)
                inserts += n;
            else if (type & UL_CRCEVAL_UPDATE)
                updates += n;
            else
                deletes += n;
        }
        return 0;
    });
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return forward(type, table, keys, nkeys, start, nstart, field, end, nend, ownCount, refCount,
                   line);
}

int auxlogcrc_t::endTable(const char16_t* table) {
    if (inserts || updates || deletes) {
        if (ul_msgwrite_print(1, u'E', 175, 0, table, inserts, updates, deletes) < 0)
            return UL_ERROR_RETURN(-1);
    }
    totalInserts += inserts;
    totalUpdates += updates;
    totalDeletes += deletes;
    inserts = updates = deletes = 0;
    return ULCRCEvaluator::endTable(table);
}

namespace {

// Joins adjacent range lines of one kind into one report before passing them on.
class AuxMergeLog : public ULCRCEvaluator {
  public:
    using ULCRCEvaluator::ULCRCEvaluator;
    int report(int type, const char16_t* table, const char16_t* const* keys, unsigned nkeys,
               const std::u16string_view* start, unsigned nstart, const char16_t* field,
               const std::u16string_view* end, unsigned nend, ul_dbrowcount_t ownCount,
               ul_dbrowcount_t refCount, const ul_chkcrcline_t* line) override {
        const bool range = !(type & (UL_CRCEVAL_SINGLEROW | UL_CRCEVAL_FIELD));
        if (m_have && range && type == m_type && line && line->flags == m_flags &&
            sameValues(m_end, m_nend, start, nstart)) {
            m_end = end;
            m_nend = nend;
            m_own = add(m_own, ownCount);
            m_ref = add(m_ref, refCount);
            return 0;
        }
        if (flush() < 0) return UL_ERROR_RETURN(-1);
        if (!range || !line) return forward(type, table, keys, nkeys, start, nstart, field, end,
                                            nend, ownCount, refCount, line);
        m_have = true;
        m_type = type;
        m_flags = line->flags;
        m_table = table;
        m_keys = keys;
        m_nkeys = nkeys;
        m_start = start;
        m_nstart = nstart;
        m_end = end;
        m_nend = nend;
        m_own = ownCount;
        m_ref = refCount;
        m_line = line;
        return 0;
    }
    int endTable(const char16_t* table) override {
        if (flush() < 0) return UL_ERROR_RETURN(-1);
        return ULCRCEvaluator::endTable(table);
    }

  private:
    static ul_dbrowcount_t add(ul_dbrowcount_t a, ul_dbrowcount_t b) {
        return a == UL_DBROWCOUNT_INVALID || b == UL_DBROWCOUNT_INVALID ? UL_DBROWCOUNT_INVALID
                                                                        : a + b;
    }
    static bool sameValues(const std::u16string_view* a, unsigned na,
                           const std::u16string_view* b, unsigned nb) {
        if (na != nb || na == 0) return false;
        if (a == b) return true;
        for (unsigned i = 0; i < na; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
    int flush() {
        if (!m_have) return 0;
        m_have = false;
        return forward(m_type, m_table, m_keys, m_nkeys, m_start, m_nstart, nullptr, m_end,
                       m_nend, m_own, m_ref, m_line);
    }

    bool m_have = false;
    int m_type = 0;
    unsigned m_flags = 0;
    const char16_t* m_table = nullptr;
    const char16_t* const* m_keys = nullptr;
    unsigned m_nkeys = 0;
    const std::u16string_view* m_start = nullptr;
    unsigned m_nstart = 0;
    const std::u16string_view* m_end = nullptr;
    unsigned m_nend = 0;
    ul_dbrowcount_t m_own = 0, m_ref = 0;
    const ul_chkcrcline_t* m_line = nullptr;
};

}  // namespace

// ==== tables =====================================================================================

ULCheckCRCTable::ULCheckCRCTable(ULCheckCRCFile* file, std::u16string name, unsigned flags)
    : m_file(file), m_name(std::move(name)), m_flags(flags) {
    m_refName = m_name;
    m_top.flags = UL_CRCLINE_TOP | UL_CRCLINE_OWN | UL_CRCLINE_REF;
    m_top.ownCount = m_top.refCount = file->sliceCount();
}

int ULCheckCRCTable::noteKeyClasses(const std::vector<int>& classes, const char16_t* text) {
    // A value is written in the notation of its key's type: the literal read must be of the
    // class the key has (numeric text and characters both quoted). Keys without a type take
    // the class of their first value.
    for (size_t i = 0; i < classes.size(); ++i) {
        if (i == m_keyClasses.size()) {
            m_keyClasses.push_back(classes[i]);
            continue;
        }
        const int want = m_keyClasses[i] == UL_SQLTOKEN_NUMC ? UL_SQLTOKEN_STRING : m_keyClasses[i];
        if (classes[i] != want) return ul_errorfail(ul_format(u"Syntax error in '%s'", text));
    }
    return 0;
}

int ULCheckCRCTable::fieldNumber(const std::u16string& name, bool refSide,
                                 unsigned* number) const {
    const std::vector<std::u16string>& sels = refSide ? ref.sels : own.sels;
    for (size_t i = 0; i < sels.size(); ++i) {
        if (sameName(sels[i], name)) {
            *number = static_cast<unsigned>(i);
            return 0;
        }
    }
    return ul_errorfail(
        ul_format(u"Unknown field name '%s' for table '%s'", name.c_str(), m_name.c_str()));
}

// Reads the key values (and, for a field line, " = value") behind p.
int ULCheckCRCTable::parseValues(const char16_t*& p, const char16_t* text, bool field,
                                 ScratchValues* buffer, std::u16string* fieldValue) {
    std::vector<int>& classes = m_scratchClasses;
    classes.clear();
    size_t count = 0;
    p = skipBlanks(p);
    bool first = true;
    while (*p && *p != u'=') {
        if (count >= UL_CRCLINE_MAXVALUES)
            return ul_errorfail(ul_format(u"Too many input fields in '%s' (limit %d)", text,
                                          static_cast<int>(UL_CRCLINE_MAXVALUES)));
        if (buffer->strings.size() <= count) buffer->strings.emplace_back();
        std::u16string& value = buffer->strings[count];
        int cls = 0;
        size_t n = readSimpleLiteral(p, &value, &cls);
        if (n == 0) n = ul_sqlreadliteral(p, &value, &cls);
        if (n == 0)
            return ul_errorfail(
                ul_format(first ? u"Missing first value in '%s'" : u"Syntax error in '%s'", text));
        ++count;
        classes.push_back(cls);
        first = false;
        p = skipBlanks(p + n);
        if (*p == u',') {
            p = skipBlanks(p + 1);
            if (!*p || *p == u'=') return ul_errorfail(ul_format(u"Syntax error in '%s'", text));
        } else if (*p && *p != u'=') {
            return ul_errorfail(ul_format(u"Missing comma in '%s'", text));
        }
    }
    // The views are taken once the strings no longer move.
    buffer->views.clear();
    for (size_t i = 0; i < count; ++i) buffer->views.emplace_back(buffer->strings[i]);
    if (noteKeyClasses(classes, text) < 0) return UL_ERROR_RETURN(-1);
    if (*p != u'=') return 0;
    if (!field) return ul_errorfail(ul_format(u"Syntax error in '%s'", text));
    // " = 'text'" (quotes doubled), " = x'hex'", either with "..." when cut; kept as written.
    p = skipBlanks(p + 1);
    const char16_t* from = p;
    if ((*p == u'x' || *p == u'X') && p[1] == u'\'') ++p;
    if (*p != u'\'') return ul_errorfail(ul_format(u"Syntax error in '%s'", text));
    for (++p;; ++p) {
        if (!*p) return ul_errorfail(ul_format(u"Syntax error in '%s'", text));
        if (*p == u'\'') {
            if (p[1] != u'\'') break;
            ++p;
        }
    }
    ++p;
    if (p[0] == u'.' && p[1] == u'.' && p[2] == u'.') p += 3;
    fieldValue->assign(from, p);
    p = skipBlanks(p);
    if (*p) return ul_errorfail(ul_format(u"Garbage after field value in '%s'", text));
    return 0;
}

int ULCheckCRCTable::addCRCLine(const char16_t* text, unsigned flags, int lineNumber) {
    return ul_guarded([&]() -> int {
        const bool refSide = flags & UL_CRCLINE_REF;
        const bool field = flags & UL_CRCLINE_OWNFIELD;
        const bool quick = flags & UL_CRCLINE_QUICK;
        ul_chkcrcside_t& side = refSide ? ref : own;
        if (quick && side.sawRangeLines)
            return ul_errorfail(u"Fast checksum must be first in file");
        ul_chkcrcline_t line;
        line.flags = refSide ? UL_CRCLINE_REF : UL_CRCLINE_OWN;
        if (quick) line.flags |= UL_CRCLINE_QUICK;
        (refSide ? line.refLine : line.ownLine) = lineNumber;
        const char16_t* p = skipBlanks(text);
        const char16_t* client = nullptr;
        if (*p == u'<') {
            const char16_t* q = p + 1;
            while (*q && *q != u'>') ++q;
            if (!*q || q == p + 1) return ul_errorfail(ul_format(u"Invalid client in '%s'", text));
            client = m_file->pool.dupString(std::u16string_view(p + 1, q - p - 1));
            if (!client) return UL_ERROR_RETURN(-1);
            p = skipBlanks(q + 1);
        }
        (refSide ? line.refClient : line.ownClient) = client;
        unsigned fieldNo = UL_CRCFIELD_WHOLEROW;
        ul_dbrowcount_t count = 1;
        bool startLine = false;
        if (field) {
            std::u16string name;
            const char16_t* q = readName(p, &name);
            if (!q || *q == u',')
                return ul_errorfail(ul_format(u"Missing field name in '%s'", text));
            if (fieldNumber(name, refSide, &fieldNo) < 0) return UL_ERROR_RETURN(-1);
            p = skipBlanks(q);
            line.flags |= refSide ? UL_CRCLINE_REFFIELD | UL_CRCLINE_REFSINGLE
                                  : UL_CRCLINE_OWNFIELD | UL_CRCLINE_OWNSINGLE;
        } else if (*p == u'-') {
            startLine = true;
            p = skipBlanks(p + 1);
            if (*p != u'-')
                return ul_errorfail(ul_format(u"Invalid format in checksum line '%s'", text));
            p = skipBlanks(p + 1);
        } else {
            if (!ul_isdigit(*p))
                return ul_errorfail(ul_format(u"Invalid format in checksum line '%s'", text));
            count = 0;
            for (; ul_isdigit(*p); ++p) {
                const ul_dbrowcount_t next = count * 10 + static_cast<unsigned>(*p - u'0');
                if (next / 10 != count)
                    return ul_errorfail(ul_format(u"Invalid format in checksum line '%s'", text));
                count = next;
            }
            if (*p == u'<') {
                line.flags |= refSide ? UL_CRCLINE_REFBOUNDARY : UL_CRCLINE_OWNBOUNDARY;
                ++p;
            } else if (*p == u'*') {
                line.flags |= refSide ? UL_CRCLINE_REFUNVERIFIED : UL_CRCLINE_OWNUNVERIFIED;
                ++p;
            } else if (*p != u' ' && *p != u'\t') {
                return ul_errorfail(ul_format(u"Invalid format in checksum line '%s'", text));
            }
            p = skipBlanks(p);
            if (count <= 1 && !(line.flags & (UL_CRCLINE_OWNBOUNDARY | UL_CRCLINE_REFBOUNDARY)))
                line.flags |= refSide ? UL_CRCLINE_REFSINGLE : UL_CRCLINE_OWNSINGLE;
        }
        if (!startLine) {
            // The checksum: "-" (not computed) or a number with its base from the prefix.
            if (*p == u'-' && (p[1] == u' ' || p[1] == u'\t' || !p[1])) {
                line.flags |= refSide ? UL_CRCLINE_REFNOCRC : UL_CRCLINE_OWNNOCRC;
                ++p;
            } else {
                const char16_t* q = p;
                while (*q && *q != u' ' && *q != u'\t' && *q != u',') ++q;
                uint32_t v = 0;
                if (!parseChecksum(p, q, &v))
                    return ul_errorfail(ul_format(u"Invalid checksum '%s' in '%s'",
                                                  std::u16string(p, q).c_str(), text));
                (refSide ? line.refCrc : line.ownCrc) = v;
                p = q;
            }
        }
        // Values are parsed into the scratch buffer that the current start does not use;
        // they go to the pool only when the line is kept as a line of its own.
        ReadState& rs = readState;
        ScratchValues& buffer =
            m_scratch[rs.start.nvalues && rs.start.values == m_scratch[0].views.data() ? 1 : 0];
        std::u16string& fieldValue = m_scratchField;
        if (parseValues(p, text, field, &buffer, &fieldValue) < 0) return UL_ERROR_RETURN(-1);
        const std::vector<std::u16string_view>& values = buffer.views;
        ul_sqlcrcboundary_t end{values.empty() ? nullptr : values.data(),
                                static_cast<unsigned>(values.size()), fieldNo};
        if (!refSide && end.nvalues && !(end.values = m_file->storeValues(values)))
            return UL_ERROR_RETURN(-1);
        if (startLine) {
            rs.start = end;
            rs.haveStart = true;
            rs.fieldStart = false;
            return 0;
        }
        if (field) {
            const int n = static_cast<int>(values.size());
            if (side.nfieldValues >= 0 && side.nfieldValues != n)
                return ul_errorfail(ul_format(
                    u"Inconsistent number of keyvalues %d for field checksums, was %d before: %s",
                    n, side.nfieldValues, text));
            side.nfieldValues = n;
            const char16_t* v = m_file->pool.dupString(std::u16string_view(fieldValue));
            if (!v) return UL_ERROR_RETURN(-1);
            (refSide ? line.refValue : line.ownValue) = v;
        }
        // A line that does not go on behind the current start begins a new scan at the
        // beginning of the table (or of its whr: range). Going on behind the field lines of
        // a row, to another row, needs a start line first.
        if (!quick && rs.haveStart) {
            const int* cls = m_keyClasses.data();
            if (end.compareTo(rs.start, cls, true, false) <= 0) {
                rs.start = ul_sqlcrcboundary_t{};
            } else if (rs.fieldStart) {
                ul_sqlcrcboundary_t row = end, from = rs.start;
                row.field = from.field = UL_CRCFIELD_WHOLEROW;
                if (!field || row.compareTo(from, cls, true, true) != 0)
                    return ul_errorfail(field ? u"Missing start range before single field checksum"
                                              : u"Missing start range before range checksum");
            }
        }
        // A field line covers the fields of its row behind the nearest field line of that row
        // read before it, as a range line covers the keys behind the line before it.
        line.start = quick ? ul_sqlcrcboundary_t{} : rs.start;
        if (field) {
            line.start = end;
            line.start.field = fieldLineStart(refSide, end);
        }
        line.end = quick ? ul_sqlcrcboundary_t{} : end;
        (refSide ? line.refCount : line.ownCount) = count;
        if (!quick) side.sawRangeLines = true;
        side.sawCRCLines = true;
        if (refSide) {
            const int kept = mergeRefLine(&line);
            if (kept < 0) return UL_ERROR_RETURN(-1);
            if (kept && !quick) end = line.end;  // now pooled
        } else {
            lines.push_back(line);
        }
        if (!quick) {
            rs.start = values.empty() ? ul_sqlcrcboundary_t{} : end;
            rs.haveStart = !values.empty();
            rs.fieldStart = field && !values.empty();
        }
        return 0;
    });
}

unsigned ULCheckCRCTable::fieldLineStart(bool refSide, const ul_sqlcrcboundary_t& end) {
    std::u16string key;
    for (unsigned i = 0; i < end.nvalues; ++i) {
        key.append(end.values[i]);
        key.push_back(u'\0');
    }
    std::vector<unsigned>& ends = m_rowFields[refSide ? 1 : 0][key];
    unsigned start = UL_CRCFIELD_ROWSTART;
    for (unsigned f : ends)
        if (f < end.field && (start == UL_CRCFIELD_ROWSTART || f > start)) start = f;
    ends.push_back(end.field);
    return start;
}

const std::u16string_view* ULCheckCRCTable::poolBoundary(const ul_sqlcrcboundary_t& b) {
    for (const ScratchValues& s : m_scratch)
        if (b.nvalues && b.values == s.views.data()) return m_file->storeValues(s.views, true);
    return b.values;
}

int ULCheckCRCTable::prepareRefMerge() {
    if (m_refPrepared) return 0;
    m_refPrepared = true;
    if (genCommonFields() < 0 || fixFieldOrder() < 0 || fixFieldNumbers() < 0)
        return UL_ERROR_RETURN(-1);
    m_ownSorted.clear();
    for (ul_chkcrcline_t& l : lines)
        if ((l.flags & UL_CRCLINE_OWN) && !(l.flags & UL_CRCLINE_EXCLUDED)) m_ownSorted.push_back(&l);
    auto less = [this](const ul_chkcrcline_t* a, const ul_chkcrcline_t* b) {
        return compareCRCRange(*a, *b) < 0;
    };
    if (!std::is_sorted(m_ownSorted.begin(), m_ownSorted.end(), less))
        std::stable_sort(m_ownSorted.begin(), m_ownSorted.end(), less);
    return 0;
}

int ULCheckCRCTable::mergeRefLine(ul_chkcrcline_t* r) {
    if (prepareRefMerge() < 0) return UL_ERROR_RETURN(-1);
    const unsigned refKeys = static_cast<unsigned>(ref.keys.empty() ? own.keys.size()
                                                                    : ref.keys.size());
    if (r->isField() && !m_refIdentity &&
        renumberFieldLine(r, m_refToOwn, refKeys, static_cast<unsigned>(own.keys.size())) < 0)
        r->flags |= UL_CRCLINE_EXCLUDED;
    if (!(r->flags & UL_CRCLINE_EXCLUDED)) {
        // Both sides usually hold their lines in the same order: the line behind the last
        // match is tried first.
        auto it = m_ownSorted.begin() + static_cast<long>(std::min(m_mergeCursor, m_ownSorted.size()));
        if (it == m_ownSorted.end() || compareCRCRange(**it, *r) != 0)
            it = std::lower_bound(m_ownSorted.begin(), m_ownSorted.end(), r,
                                  [this](const ul_chkcrcline_t* a, const ul_chkcrcline_t* b) {
                                      return compareCRCRange(*a, *b) < 0;
                                  });
        m_mergeCursor = static_cast<size_t>(it - m_ownSorted.begin()) + 1;
        if (it != m_ownSorted.end() && compareCRCRange(**it, *r) == 0 &&
            !((*it)->flags & UL_CRCLINE_REF)) {
            ul_chkcrcline_t& o = **it;
            o.refLine = r->refLine;
            o.refCount = r->refCount;
            o.refCrc = r->refCrc;
            o.refClient = r->refClient;
            o.refValue = r->refValue;
            o.flags |= r->flags & ~(UL_CRCLINE_QUICK | UL_CRCLINE_EXCLUDED);
            return 0;
        }
    }
    // A line of the reference side alone: kept with its boundaries in the pool.
    const std::u16string_view* end = poolBoundary(r->end);
    const std::u16string_view* start =
        r->start.values == r->end.values ? end : poolBoundary(r->start);
    if ((r->start.nvalues && !start) || (r->end.nvalues && !end)) return UL_ERROR_RETURN(-1);
    r->start.values = start;
    r->end.values = end;
    lines.push_back(*r);
    return 1;
}

ul_chkcrcline_t* ULCheckCRCTable::setCRCLineValues(unsigned flags, const char16_t* client,
                                                   const ul_sqlcrcboundary_t& start,
                                                   const ul_sqlcrcboundary_t& end,
                                                   ul_dbrowcount_t count, uint32_t crc,
                                                   const char16_t* value, int lineNumber) {
    return ul_guarded(
        [&]() -> ul_chkcrcline_t* {
            ul_chkcrcline_t line;
            line.flags = flags | UL_CRCLINE_OWN;
            line.ownLine = lineNumber;
            line.ownClient = client ? m_file->pool.dupString(client) : nullptr;
            line.start = start;
            line.end = end;
            line.ownCount = count;
            line.ownCrc = crc;
            line.ownValue = value ? m_file->pool.dupString(value) : nullptr;
            if (count <= 1 && !(flags & UL_CRCLINE_OWNBOUNDARY)) line.flags |= UL_CRCLINE_OWNSINGLE;
            own.sawCRCLines = true;
            lines.push_back(line);
            return &lines.back();
        },
        nullptr);
}

int ULCheckCRCTable::appendValues(const ul_sqlcrcboundary_t& b, std::u16string* out) const {
    for (unsigned i = 0; i < b.nvalues; ++i) {
        out->append(i ? u", " : u" ");
        const int cls = i < m_keyClasses.size() ? m_keyClasses[i] : UL_SQLTOKEN_STRING;
        if (ul_sqlappendliteral(out, b.values[i], cls, &kFileForm) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULCheckCRCTable::formatCRCLine(const ul_chkcrcline_t& line, std::u16string* out,
                                   const ul_sqlcrcboundary_t* after) const {
    return ul_guarded([&]() -> int {
        const bool field = line.isField();
        out->clear();
        if (after && field) {
            // Field lines of another row need a start line in front (the row's range).
            ul_sqlcrcboundary_t row = line.end, from = *after;
            row.field = from.field = UL_CRCFIELD_WHOLEROW;
            if (after->field != UL_CRCFIELD_WHOLEROW && after->nvalues &&
                row.compareTo(from, m_keyClasses.data(), true, true) > 0) {
                out->append(u"lcrc:");
                if (line.ownClient) *out += ul_format(u" <%s>", line.ownClient);
                *out += ul_format(u" %4s  %10s", u"-", u"-");
                const ul_chkcrcline_t* rowLine = line.parent;
                while (rowLine && rowLine->isField()) rowLine = rowLine->parent;
                if (rowLine && appendValues(rowLine->start, out) < 0) return UL_ERROR_RETURN(-1);
                out->push_back(u'\n');
            }
        } else if (after && line.start.nvalues && !(line.flags & UL_CRCLINE_QUICK)) {
            if (line.start.compareTo(*after, m_keyClasses.data(), false, false) != 0 ||
                after->nvalues == 0) {
                *out += ul_format(u"lcrc:%s %4s  %10s", u"", u"-", u"-");
                if (line.ownClient) out->insert(5, ul_format(u" <%s>", line.ownClient));
                if (appendValues(line.start, out) < 0) return UL_ERROR_RETURN(-1);
                out->push_back(u'\n');
            }
        }
        out->append(field ? u"fcrc:" : (line.flags & UL_CRCLINE_QUICK) ? u"qcrc:" : u"lcrc:");
        if (line.ownClient) *out += ul_format(u" <%s>", line.ownClient);
        if (field) {
            std::u16string name;
            if (line.end.field < own.sels.size()) ul_sqlcrcappendname(&name, own.sels[line.end.field]);
            *out += ul_format(u" %-9s", name.c_str());
        } else if (line.ownCount == UL_DBROWCOUNT_INVALID) {
            *out += ul_format(u" %4s  %10s", u"-", u"-");
        } else {
            const char16_t marker = (line.flags & UL_CRCLINE_OWNBOUNDARY)     ? u'<'
                                    : (line.flags & UL_CRCLINE_OWNUNVERIFIED) ? u'*'
                                                                              : u' ';
            *out += ul_format(u" %4lu%c", static_cast<unsigned long>(line.ownCount), marker);
        }
        if (line.ownCount != UL_DBROWCOUNT_INVALID || field) {
            if (line.flags & UL_CRCLINE_OWNNOCRC)
                *out += ul_format(u" %10s", u"-");
            else
                *out += ul_format(u" 0x%08x", line.ownCrc);
        }
        if (appendValues(line.end, out) < 0) return UL_ERROR_RETURN(-1);
        if (field && line.ownValue) *out += ul_format(u" = %s", line.ownValue);
        return 0;
    });
}

// ---- field lists --------------------------------------------------------------------------------

int ULCheckCRCTable::genCommonFields() {
    return ul_guarded([&]() -> int {
        if (ref.sels.size() != ref.types.size() && !ref.types.empty())
            return ul_errorfail(ul_format(
                u"Invalid entry for table '%s' from reference file: %d selections != %d types",
                m_name.c_str(), static_cast<int>(ref.sels.size()),
                static_cast<int>(ref.types.size())));
        auto onRef = [](const std::vector<std::u16string>& list, const std::u16string& name) {
            for (const std::u16string& n : list)
                if (sameName(n, name)) return true;
            return false;
        };
        const unsigned ownKeys = static_cast<unsigned>(own.keys.size());
        if (!own.keys.empty() && !ref.keys.empty()) {
            std::vector<std::u16string> common;
            for (const std::u16string& k : own.keys) {
                if (onRef(ref.keys, k))
                    common.push_back(k);
                else if (ul_msgwrite_line399(
                             1, u'W',
                             ul_format(u"%s '%s' does not appear on reference side%s.",
                                       u"Key field", k.c_str(), u"")) < 0)
                    return UL_ERROR_RETURN(-1);
            }
            // The client field (type M) may be a key field of the reference side only.
            for (size_t i = 0; i < ref.keys.size(); ++i)
                if (!onRef(own.keys, ref.keys[i]) && i < ref.types.size() && ref.types[i] == u'M' &&
                    ul_msgwrite_line399(
                        1, u'W',
                        ul_format(u"Client key field '%s' only appears on reference side.",
                                  ref.keys[i].c_str())) < 0)
                    return UL_ERROR_RETURN(-1);
            if (common.empty())
                return ul_errorfail(
                    ul_format(u"No common key fields for table '%s'", m_name.c_str()));
            own.keys.swap(common);
        }
        if (!own.sels.empty() && !ref.sels.empty()) {
            std::vector<std::u16string> common;
            std::u16string types;
            for (size_t i = 0; i < own.sels.size(); ++i) {
                if (onRef(ref.sels, own.sels[i])) {
                    common.push_back(own.sels[i]);
                    if (i < own.types.size()) types.push_back(own.types[i]);
                } else if (ul_msgwrite_line399(
                               1, u'W',
                               ul_format(u"%s '%s' does not appear on reference side%s.", u"Field",
                                         own.sels[i].c_str(), u" - excluded from scan")) < 0) {
                    return UL_ERROR_RETURN(-1);
                }
            }
            if (common.empty())
                return ul_errorfail(ul_format(u"No common fields for table '%s'", m_name.c_str()));
            if (common.size() != own.sels.size()) {
                // Field lines keep their own numbering: remember the old positions.
                std::vector<int> keep;
                for (size_t i = 0, j = 0; i < own.sels.size(); ++i)
                    keep.push_back(j < common.size() && sameName(common[j], own.sels[i])
                                       ? static_cast<int>(j++)
                                       : -1);
                const unsigned keys = static_cast<unsigned>(own.keys.size());
                for (ul_chkcrcline_t& l : lines)
                    if ((l.flags & UL_CRCLINE_OWN) && l.isField() &&
                        renumberFieldLine(&l, keep, ownKeys, keys) < 0)
                        l.flags |= UL_CRCLINE_EXCLUDED;
                own.sels.swap(common);
                if (!own.types.empty()) own.types.swap(types);
            }
        }
        return 0;
    });
}

int ULCheckCRCTable::fixFieldOrder() {
    return ul_guarded([&]() -> int {
        fieldMap.assign(own.sels.size(), -1);
        for (size_t i = 0; i < own.sels.size(); ++i)
            for (size_t j = 0; j < ref.sels.size(); ++j)
                if (sameName(own.sels[i], ref.sels[j])) fieldMap[i] = static_cast<int>(j);
        return 0;
    });
}

int ULCheckCRCTable::fixFieldNumbers() {
    return ul_guarded([&]() -> int {
        m_refToOwn.assign(ref.sels.size(), -1);
        for (size_t i = 0; i < fieldMap.size(); ++i)
            if (fieldMap[i] >= 0) m_refToOwn[static_cast<size_t>(fieldMap[i])] = static_cast<int>(i);
        // The same lists on both sides: the reference side's field lines are taken as read.
        m_refIdentity = ref.keys.size() == own.keys.size() || ref.keys.empty();
        for (size_t i = 0; i < m_refToOwn.size(); ++i)
            m_refIdentity = m_refIdentity && m_refToOwn[i] == static_cast<int>(i);
        return 0;
    });
}

// ---- merge and tree -----------------------------------------------------------------------------

int ULCheckCRCTable::compareCRCRange(const ul_chkcrcline_t& a, const ul_chkcrcline_t& b) const {
    const char16_t* ca = a.client();
    const char16_t* cb = b.client();
    if (ca != cb) {
        const int c = ul_sqlstringcompare(ca ? ca : u"", cb ? cb : u"");
        if (c != 0) return c;
    }
    const int* cls = m_keyClasses.data();
    int c = a.start.compareTo(b.start, cls, false, false);
    if (c != 0) return c;
    c = b.end.compareTo(a.end, cls, true, true);  // the wider range first
    if (c != 0) return c;
    const bool qa = a.flags & UL_CRCLINE_QUICK, qb = b.flags & UL_CRCLINE_QUICK;
    return qa == qb ? 0 : qa ? -1 : 1;
}

int ULCheckCRCTable::intervalEnclosed(const ul_chkcrcline_t& outer,
                                      const ul_chkcrcline_t& inner) const {
    if (outer.flags & UL_CRCLINE_TOP) return 1;
    const char16_t* co = outer.client();
    const char16_t* ci = inner.client();
    if ((co || ci) && ul_sqlstringcompare(co ? co : u"", ci ? ci : u"") != 0) return 0;
    const int* cls = m_keyClasses.data();
    const int s = inner.start.compareTo(outer.start, cls, false, false);
    const int e = inner.end.compareTo(outer.end, cls, true, true);
    if (s == 0 && e == 0) {
        if ((outer.flags & UL_CRCLINE_QUICK) && !(inner.flags & UL_CRCLINE_QUICK)) return 1;
        return ul_errorfail(ul_format(u"Duplicate range l.%d[%d] l.%d[%d]", outer.ownLine,
                                      outer.refLine, inner.ownLine, inner.refLine));
    }
    if (s >= 0 && e <= 0) return 1;
    if (inner.start.compareTo(outer.end, cls, false, true) >= 0) return 0;
    const unsigned bcmode = m_flags & (UL_TABCHK_EMPTYKEY | UL_TABCHK_NEUTRAL);
    return ul_errorfail(ul_format(u"Boundary l.%d[%d] and l.%d[%d] overlap (bcmode=%#x)",
                                  outer.ownLine, outer.refLine, inner.ownLine, inner.refLine,
                                  bcmode));
}

int ULCheckCRCTable::mergeLines() {
    return ul_guarded([&]() -> int {
        if (prepareRefMerge() < 0) return UL_ERROR_RETURN(-1);
        std::vector<ul_chkcrcline_t*> refOnly;
        for (ul_chkcrcline_t& l : lines) {
            if (l.flags & UL_CRCLINE_EXCLUDED) continue;
            if (!(l.flags & UL_CRCLINE_OWN)) {
                refOnly.push_back(&l);
                continue;
            }
            if (!(l.flags & UL_CRCLINE_REF)) {
                if (l.isField()) {
                    l.flags |= UL_CRCLINE_DELETED;
                    UL_TRACE(UL_TRC_SQLCRCUTIL, 2,
                             u"Tagging field checksum l. %d with 'deleted' since it does not "
                             u"appear on reference side.\n",
                             l.ownLine);
                }
                continue;
            }
            if (l.ownCount != UL_DBROWCOUNT_INVALID && l.refCount != UL_DBROWCOUNT_INVALID &&
                l.ownCount != l.refCount)
                l.flags |= UL_CRCLINE_COUNTDIFF |
                           (l.refCount > l.ownCount ? UL_CRCLINE_INSERT : UL_CRCLINE_DELETE);
            if (!(l.flags & (UL_CRCLINE_OWNNOCRC | UL_CRCLINE_REFNOCRC)) && l.ownCrc != l.refCrc)
                l.flags |= UL_CRCLINE_CRCDIFF;
        }
        auto less = [this](const ul_chkcrcline_t* a, const ul_chkcrcline_t* b) {
            return compareCRCRange(*a, *b) < 0;
        };
        if (!std::is_sorted(refOnly.begin(), refOnly.end(), less))
            std::stable_sort(refOnly.begin(), refOnly.end(), less);
        // Both lists in range order: the order setup builds the tree in.
        m_sorted.clear();
        m_sorted.reserve(m_ownSorted.size() + refOnly.size());
        std::merge(m_ownSorted.begin(), m_ownSorted.end(), refOnly.begin(), refOnly.end(),
                   std::back_inserter(m_sorted), less);
        std::vector<ul_chkcrcline_t*>().swap(m_ownSorted);
        return 0;
    });
}

int ULCheckCRCTable::setup() {
    return ul_guarded([&]() -> int {
        std::vector<ul_chkcrcline_t*> sorted;
        sorted.swap(m_sorted);
        size_t live = 0;
        // Excluded lines (fields one side lacks) stay out of the tree.
        auto inTree = [](const ul_chkcrcline_t& l) {
            return l.flags && !(l.flags & UL_CRCLINE_EXCLUDED);
        };
        for (ul_chkcrcline_t& l : lines) {
            l.next = l.parent = l.child = nullptr;
            l.flags &= ~UL_CRCLINE_HASPARENT;
            live += inTree(l);
        }
        auto less = [this](const ul_chkcrcline_t* a, const ul_chkcrcline_t* b) {
            return compareCRCRange(*a, *b) < 0;
        };
        if (sorted.size() != live) {  // not merged, or lines added since
            sorted.clear();
            sorted.reserve(live);
            for (ul_chkcrcline_t& l : lines)
                if (inTree(l)) sorted.push_back(&l);
            if (!std::is_sorted(sorted.begin(), sorted.end(), less))
                std::stable_sort(sorted.begin(), sorted.end(), less);
        }
        m_top.child = m_top.next = nullptr;
        diffSingle = diffUnverified = diffField = 0;
        // Open ranges from the outermost in; each with its last child so far.
        std::vector<std::pair<ul_chkcrcline_t*, ul_chkcrcline_t*>> stack{{&m_top, nullptr}};
        for (ul_chkcrcline_t* l : sorted) {
            for (;;) {
                const int in = intervalEnclosed(*stack.back().first, *l);
                if (in < 0) return UL_ERROR_RETURN(-1);
                if (in) break;
                stack.pop_back();
            }
            auto& [parent, last] = stack.back();
            l->parent = parent;
            if (parent != &m_top) l->flags |= UL_CRCLINE_HASPARENT;
            (last ? last->next : parent->child) = l;
            last = l;
            stack.emplace_back(l, nullptr);
        }
        for (ul_chkcrcline_t* l : sorted) {
            if (l->child || !(l->flags & UL_CRCLINE_DIFFS) || (l->flags & UL_CRCLINE_EXCLUDED))
                continue;
            if (l->flags & (UL_CRCLINE_OWNFIELD | UL_CRCLINE_REFFIELD))
                ++diffField;
            else if (l->flags & (UL_CRCLINE_OWNUNVERIFIED | UL_CRCLINE_REFUNVERIFIED))
                ++diffUnverified;
            else if (l->flags & (UL_CRCLINE_OWNSINGLE | UL_CRCLINE_REFSINGLE))
                ++diffSingle;
        }
        for (const ul_chkcrcline_t* l : sorted)
            if (l->flags & UL_CRCLINE_DIFFS) return 1;
        return 0;
    });
}

int ULCheckCRCTable::check() const {
    return ul_guarded([&]() -> int {
        const size_t nk = own.keys.size(), ns = own.sels.size();
        if (ns && ns < nk)
            return ul_errorfail(ul_format(u"Only have %d selections, but %d key fields",
                                          static_cast<int>(ns), static_cast<int>(nk)));
        if (!own.types.empty() && own.types.size() != ns)
            return ul_errorfail(ul_format(u"Have %d selections, but %d types", static_cast<int>(ns),
                                          static_cast<int>(own.types.size())));
        for (size_t i = 0; ns && i < nk; ++i)
            if (!sameName(own.keys[i], own.sels[i]))
                return ul_errorfail(ul_format(
                    u"Key fields must be prefix in selection list, '%s' missing at position %d",
                    own.keys[i].c_str(), static_cast<int>(i + 1)));
        if (m_range && nk) {
            const ul_sqlrange_t& r = *m_range;
            const ul_sqlboundary_t& b =
                r.low.SQBND_NValues >= r.high.SQBND_NValues ? r.low : r.high;
            if (b.SQBND_NValues > nk)
                return ul_errorfail(
                    ul_format(u"Mismatch between %d keyfields and %d from where condition",
                              static_cast<int>(nk), static_cast<int>(b.SQBND_NValues)));
            for (unsigned i = 0; i < b.SQBND_NValues; ++i)
                if (!sameName(own.keys[i], b.fields[i]))
                    return ul_errorfail(ul_format(
                        u"Mismatch between keyfields #%d '%s' and '%s' from where condition",
                        static_cast<int>(i + 1), own.keys[i].c_str(), b.fields[i]));
        }
        for (const ul_chkcrcline_t& l : lines) {
            if (!l.flags || !l.child || !(l.flags & UL_CRCLINE_DIFFS)) continue;
            unsigned seen = 0;
            bool complete = true;
            for (const ul_chkcrcline_t* c = l.child; c; c = c->next) {
                seen |= c->flags;
                complete = complete && (c->flags & UL_CRCLINE_OWN) && (c->flags & UL_CRCLINE_REF);
            }
            if (!complete) continue;
            const bool countOk = !(l.flags & UL_CRCLINE_COUNTDIFF) || (seen & UL_CRCLINE_COUNTDIFF);
            const bool crcOk = !(l.flags & UL_CRCLINE_CRCDIFF) || (seen & UL_CRCLINE_DIFFS);
            if (!countOk || !crcOk)
                return ul_errorfail(ul_format(
                    u"Difference %c%c in l.%d[%d], but sub scan has only difference %c%c for "
                    u"table '%s'!",
                    diffLetter(l.flags, UL_CRCLINE_COUNTDIFF, 'C'),
                    diffLetter(l.flags, UL_CRCLINE_CRCDIFF, 'X'), l.ownLine, l.refLine,
                    diffLetter(seen, UL_CRCLINE_COUNTDIFF, 'C'),
                    diffLetter(seen, UL_CRCLINE_CRCDIFF, 'X'), m_name.c_str()));
        }
        return 0;
    });
}

// ---- writing ------------------------------------------------------------------------------------

namespace {

int appendNameList(std::u16string* out, const char16_t* keyword, const char16_t* const* names,
                   unsigned n) {
    out->append(keyword);
    for (unsigned i = 0; i < n; ++i) {
        if (!writableName(names[i]))
            return ul_errorfail(ul_format(u"Invalid field name '%s'", names[i]));
        out->append(i ? u", " : u" ");
        ul_sqlcrcappendname(out, names[i]);
    }
    out->push_back(u'\n');
    return 0;
}

// "opt:" words for the bits that differ from what a reader assumes; globals named in the
// gloopt: line are left out.
std::u16string optionWords(unsigned flags, unsigned globalMask) {
    std::u16string words;
    for (const ul_tabchkflagname_t* o = TabChkFlagNames; o->name; ++o) {
        if (o->bit & globalMask) continue;
        if (o->attributes & UL_TABCHKATTR_WRITENO) {
            if (!(flags & o->bit)) words += ul_format(u" no%s", o->name);
        } else if (flags & o->bit) {
            words += ul_format(u" %s", o->name);
        }
    }
    return words;
}

// "whr: WHERE <condition>", broken at blanks outside quotes into lines of about kWhrBreak.
std::u16string whrLine(std::u16string_view condition) {
    std::u16string out = u"whr: WHERE ";
    size_t lineStart = 0;
    char16_t quote = 0;
    for (char16_t c : condition) {
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == u'\'' || c == u'"') {
            quote = c;
        } else if (c == u' ' && out.size() - lineStart > kWhrBreak) {
            out.append(u" \\\n\t");
            lineStart = out.size() - 1;
            continue;
        }
        out.push_back(c);
    }
    out.push_back(u'\n');
    return out;
}

int tabLine(std::u16string* out, std::u16string_view table, std::u16string_view reftable) {
    if (!writableName(table) || (!reftable.empty() && !writableName(reftable)))
        return ul_errorfail(ul_format(u"Invalid table name '%s'", std::u16string(table).c_str()));
    out->append(u"tab: ");
    ul_sqlcrcappendname(out, table);
    if (!reftable.empty() && !sameName(table, reftable)) {
        out->push_back(u' ');
        ul_sqlcrcappendname(out, reftable);
    }
    out->push_back(u'\n');
    return 0;
}

}  // namespace

int ULCheckCRCTable::write(ULTextFileWriter* out, unsigned globalMask) const {
    return ul_guarded([&]() -> int {
        std::u16string text;
        if (tabLine(&text, m_name, m_refName) < 0) return UL_ERROR_RETURN(-1);
        if (!m_strOptions[UL_CHKCRCOPT_NTTAB].empty())
            text += ul_format(u"nttab: %s\n", m_strOptions[UL_CHKCRCOPT_NTTAB].c_str());
        const std::u16string words = optionWords(m_flags, globalMask);
        if (!words.empty()) text += u"opt:" + words + u"\n";
        if (!m_strOptions[UL_CHKCRCOPT_IGNSEL].empty())
            text += ul_format(u"ignsel: %s\n", m_strOptions[UL_CHKCRCOPT_IGNSEL].c_str());
        if (!own.whr.empty()) text += whrLine(own.whr);
        if (out->write(text.c_str(), text.size()) < 0)
            return ul_errorfail(u"Cannot write to CRCTABLE file");
        return 0;
    });
}

// ==== files ======================================================================================

ULCheckCRCFile::ULCheckCRCFile(unsigned long sliceCount) : m_sliceCount(sliceCount) {}
ULCheckCRCFile::~ULCheckCRCFile() = default;

unsigned ULCheckCRCFile::getDefFlags() {
    const unsigned g = UL_SQLGlobalCRCFlags;
    unsigned flags = 0;
    if (g & UL_SQLCRCFLAG_QUICKRUN) flags |= UL_TABCHK_QUICKRUN;
    if (g & UL_SQLCRCFLAG_VERIFYQUICKRUN) flags |= UL_TABCHK_VERIFYQUICKRUN;
    if (g & UL_SQLCRCFLAG_FIELDCHECKSUMS) flags |= UL_TABCHK_FIELDCHECKSUMS;
    if (g & UL_SQLCRCFLAG_NEUTRALFORMAT) flags |= UL_TABCHK_NEUTRAL;
    if (!(g & UL_SQLCRCFLAG_KEEPEMPTYKEY)) flags |= UL_TABCHK_EMPTYKEY;
    return flags;
}

const std::u16string_view* ULCheckCRCFile::storeValues(
    const std::vector<std::u16string_view>& values, bool copyTexts) {
    return ul_guarded(
        [&]() -> const std::u16string_view* {
            if (m_valueBlocks.empty() || m_valueFree < values.size()) {
                const size_t size = std::max(kValueBlock, values.size());
                m_valueBlocks.emplace_back(new std::u16string_view[size]);
                m_valueFree = size;
            }
            std::u16string_view* block = m_valueBlocks.back().get();
            // Blocks fill from the end so that m_valueFree is also the next position.
            std::u16string_view* at = block + (m_valueFree - values.size());
            for (size_t i = 0; i < values.size(); ++i) {
                const char16_t* text = values[i].data();
                if (copyTexts && !(text = pool.dupString(values[i]))) return nullptr;
                at[i] = std::u16string_view(text, values[i].size());
            }
            m_valueFree -= values.size();
            return at;
        },
        nullptr);
}

ULCheckCRCTable* ULCheckCRCFile::getTable(const char16_t* name, bool quiet) {
    auto it = m_byName.find(ul_stringupper(name));
    if (it != m_byName.end()) return it->second;
    if (!quiet) ul_errorsetmsgfmt(0, u"Table '%s' not seen in CRC file", name);
    return nullptr;
}

ULCheckCRCTable* ULCheckCRCFile::addTable(const char16_t* name) {
    return ul_guarded(
        [&]() -> ULCheckCRCTable* {
            m_tables.push_back(std::make_unique<ULCheckCRCTable>(this, name, getDefFlags()));
            m_byName[ul_stringupper(name)] = m_tables.back().get();
            return m_tables.back().get();
        },
        nullptr);
}

int ULCheckCRCFile::readGlobalOptions(const char16_t* text) {
    return ul_guarded([&]() -> int {
        std::u16string rest;
        for (const char16_t* p = skipBlanks(text); *p; p = skipBlanks(p)) {
            std::u16string word;
            while (*p && *p != u' ' && *p != u'\t') word.push_back(*p++);
            if (word.size() > 12 && sameName(word.substr(0, 12), u"cascclients=")) {
                std::vector<std::u16string> clients;
                size_t total = 0;
                for (size_t pos = 12; pos <= word.size();) {
                    size_t comma = word.find(u',', pos);
                    if (comma == std::u16string::npos) comma = word.size();
                    char16_t buffer[kMaxCascClients + 1];
                    const std::u16string piece = word.substr(pos, comma - pos);
                    if (ul_stringreadescape(buffer, kMaxCascClients + 1, piece.c_str(), 0, nullptr,
                                            UL_ESCAPE_DEFAULT) < 1)
                        return ul_errorfail(ul_format(u"Unknown CRC option '%s'", word.c_str()));
                    total += ul_strlen(buffer) + 1;
                    if (total > kMaxCascClients)
                        return ul_errorfail(ul_format(u"Unknown CRC option '%s'", word.c_str()));
                    clients.emplace_back(buffer);
                    pos = comma + 1;
                }
                m_cascClients.swap(clients);
            } else if (word.size() > 14 && sameName(word.substr(0, 14), u"nrcascclients=")) {
                long n = 0;
                const char16_t* digits = word.c_str() + 14;
                if (!ul_isdigit(*digits) || ul_stringtolong(digits, &n) < 0 || n < 1)
                    return ul_errorfail(
                        ul_format(u"Illegal number %d for cascading clients", static_cast<int>(n)));
                m_nrCascClients = static_cast<unsigned long>(n);
            } else {
                rest += word + u" ";
            }
        }
        return applyOptions(rest.c_str(), &m_globalOptions, false, true, &m_globalMask);
    });
}

int ULCheckCRCFile::writeGlobalOptLine(ULTextFileWriter* out) const {
    return ul_guarded([&]() -> int {
        std::u16string text;
        for (const ul_tabchkflagname_t* o = TabChkFlagNames; o->name; ++o)
            if ((o->attributes & UL_TABCHKATTR_GLOBAL) && (m_globalOptions & o->bit))
                text += ul_format(u" %s", o->name);
        for (size_t i = 0; i < m_cascClients.size(); ++i) {
            if (i == 0) text.append(u" cascclients=");
            if (i) text.push_back(u',');
            if (ul_stringgenescape(&text, m_cascClients[i], u',', UL_ESCAPE_DEFAULT) < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (m_nrCascClients != ~0ul) text += ul_format(u" nrcascclients=%lu", m_nrCascClients);
        if (text.empty()) return 0;
        if (out->writeFmt(u"gloopt:%s\n", text.c_str()) < 0)
            return ul_errorfail(u"Cannot write to CRC file");
        return 0;
    });
}

int ULCheckCRCFile::readHeader(ULCheckCRCTable* t, std::u16string_view k, const char16_t* value,
                               bool ref) {
    ul_chkcrcside_t& side = ref ? t->ref : t->own;
    if (k == u"opt:") return applyOptions(value, ref ? &side.options : &t->m_flags, ref, false, nullptr);
    if (k == u"nttab:") {
        if (!ref) t->setOption(UL_CHKCRCOPT_NTTAB, value);
        return 0;
    }
    if (k == u"key:" || k == u"sel:") {
        std::vector<std::u16string> names;
        if (ul_sqlcrcreadnames(value, &names) < 0) return UL_ERROR_RETURN(-1);
        if (names.empty())
            return ul_errorfail(k == u"key:" ? u"Missing fields in 'key:' line"
                                             : u"Missing fields in 'sel:' line");
        (k == u"key:" ? side.keys : side.sels).swap(names);
        return 0;
    }
    if (k == u"ignsel:") {
        if (!*value) return ul_errorfail(u"Missing 'ignsel:' definition");
        if (!ref) t->setOption(UL_CHKCRCOPT_IGNSEL, value);
        return 0;
    }
    if (k == u"typ:") {
        std::u16string types;
        for (const char16_t* p = value; *p; ++p) {
            if (*p == u' ' || *p == u'\t' || *p == u',') continue;
            if (std::u16string_view(u"CNMIFPRBL").find(*p) == std::u16string_view::npos)
                return ul_errorfail(ul_format(u"Syntax error in '%s'", value));
            types.push_back(*p);
        }
        side.types.swap(types);
        if (!ref) {
            // Numeric text compares as plain text unless the data are in the neutral form.
            const bool plain = (UL_SQLGlobalCRCFlags & UL_SQLCRCFLAG_COMPNUMSTRINGPLAIN) &&
                               !(t->flags() & UL_TABCHK_NEUTRAL);
            std::vector<int> classes;
            for (char16_t c : side.types) {
                const int cls = ul_sqlcrctokenclass(c);
                classes.push_back(plain && cls == UL_SQLTOKEN_NUMC ? UL_SQLTOKEN_STRING : cls);
            }
            t->m_keyClasses = classes;
        }
        return 0;
    }
    // whr:
    const size_t kw = ul_sqlwherekeyword(value);
    if (!kw) return ul_errorfail(ul_format(u"Syntax error in '%s'", value));
    // Kept with each run of blanks and tabs outside quotes as one blank, so that a condition
    // broken over lines reads back the same wherever the writer broke it.
    std::u16string normalized;
    char16_t quote = 0;
    for (const char16_t* p = skipBlanks(value + kw); *p; ++p) {
        if (quote) {
            if (*p == quote) quote = 0;
        } else if (*p == u'\'' || *p == u'"') {
            quote = *p;
        } else if ((*p == u' ' || *p == u'\t')) {
            if (!normalized.empty() && normalized.back() != u' ') normalized.push_back(u' ');
            continue;
        }
        normalized.push_back(*p);
    }
    while (!normalized.empty() && normalized.back() == u' ') normalized.pop_back();
    const char16_t* condition = normalized.c_str();
    if (!ref) {
        if (!side.whr.empty())
            return ul_errorfail(
                ul_format(u"Duplicate where condition for table '%s'", t->name().c_str()));
        t->m_range = std::make_unique<ul_sqlrange_t>();  // only a few tables have one
        if (ul_sqlwhere2range(condition, t->m_range.get(), &pool) < 0) return UL_ERROR_RETURN(-1);
        side.whr = condition;
        return 0;
    }
    ul_sqlrange_t range;
    if (ul_sqlwhere2range(condition, &range, &pool) < 0) return UL_ERROR_RETURN(-1);
    if (!t->m_range) return ul_errorfail(u"Where condition does not match with previous one");
    const ul_sqlrange_t& mine = *t->m_range;
    if ( range.low.compare(mine.low) != 0 ||
        range.high.compare(mine.high) != 0 ||
        range.low.SQBND_NValues != mine.low.SQBND_NValues ||
        range.high.SQBND_NValues != mine.high.SQBND_NValues)
        return ul_errorfail(u"Where condition does not match with previous one");
    side.whr = condition;
    return 0;
}

int ULCheckCRCFile::readLine(const char16_t* line, int lineNumber, int mode,
                             ULCheckCRCTable** current) {
    const bool ref = mode & UL_CRCREAD_REFERENCE;
    const char16_t* p = skipBlanks(line);
    if (!*p || *p == u'#') return 0;
    const char16_t* colon = p;
    while (*colon && *colon != u':' && *colon != u' ' && *colon != u'\t') ++colon;
    if (*colon != u':') return ul_errorfail(ul_format(u"Invalid line '%s'", line));
    const std::u16string_view keyword(p, colon + 1 - p);
    const char16_t* value = skipBlanks(colon + 1);
    if (keyword == u"lcrc:")  // most lines
        return *current
                   ? (*current)->addCRCLine(value, ref ? UL_CRCLINE_REF : UL_CRCLINE_OWN,
                                            lineNumber)
                   : ul_errorfail(ul_format(u"Missing preceding 'tab:' line before '%s'", line));
    if (keyword == u"gloopt:") return ref ? 0 : readGlobalOptions(value);
    if (keyword == u"str:") {
        if (ref) return 0;
        if (!m_str.empty()) return ul_errorfail(ul_format(u"Duplicate 'str:' entry '%s'", value));
        char16_t buffer[kMaxStr + 1];
        if (ul_stringreadescape(buffer, kMaxStr + 1, value, 0, nullptr,
                                UL_ESCAPE_C | UL_ESCAPE_CONTROL) < 0)
            return UL_ERROR_RETURN(-1);
        m_str = buffer;
        return 0;
    }
    if (keyword == u"tab:") {
        std::vector<std::u16string> names;
        if (ul_sqlcrcreadnames(value, &names) < 0) return UL_ERROR_RETURN(-1);
        if (names.empty() || names.size() > 2)
            return ul_errorfail(ul_format(u"Syntax error in '%s'", line));
        ULCheckCRCTable* t = getTable(names[0].c_str(), true);
        if (ref && !t) {
            if (ul_msgwrite_line399(
                    1, u'W',
                    ul_format(u"Table '%s' appears only in reference file", names[0].c_str())) < 0)
                return UL_ERROR_RETURN(-1);
            t = addTable(names[0].c_str());
            if (!t) return UL_ERROR_RETURN(-1);
            t->refOnly = true;
            t->setRefName(names.back());
        } else if (ref || (t && names.size() == 2)) {
            // A repeated section must name the same reference table.
            const std::u16string& r = names.back();
            if (!sameName(r, t->refName()) && (!ref || !sameName(names[0], t->refName())))
                return ul_errorfail(
                    ul_format(u"Non matching reference table '%s' <> '%s' for table '%s'",
                              t->refName().c_str(), r.c_str(), t->name().c_str()));
        } else if (!t) {
            t = addTable(names[0].c_str());
            if (!t) return UL_ERROR_RETURN(-1);
            t->setRefName(names.back());
        }
        t->readState = ULCheckCRCTable::ReadState{};
        *current = t;
        return 0;
    }
    ULCheckCRCTable* t = *current;
    static const std::u16string_view headers[] = {u"opt:", u"whr:", u"ignsel:", u"nttab:",
                                                  u"key:", u"sel:", u"typ:"};
    const bool header = std::find(std::begin(headers), std::end(headers), keyword) != std::end(headers);
    unsigned flags = ref ? UL_CRCLINE_REF : UL_CRCLINE_OWN;
    if (keyword == u"qcrc:")
        flags |= UL_CRCLINE_QUICK;
    else if (keyword == u"fcrc:")
        flags |= UL_CRCLINE_OWNFIELD;
    else if (keyword != u"lcrc:" && !header)
        return ul_errorfail(ul_format(u"Invalid line '%s'", line));
    if (!t) return ul_errorfail(ul_format(u"Missing preceding 'tab:' line before '%s'", line));
    ul_chkcrcside_t& side = ref ? t->ref : t->own;
    if (header) {
        if (side.sawCRCLines) return ul_errorfail(u"Found header lines after crc lines");
        return readHeader(t, keyword, value, ref);
    }
    return t->addCRCLine(value, flags, lineNumber);
}

int ULCheckCRCFile::read1(const char16_t* file, int mode) {
    return ul_guarded([&]() -> int {
        ULTextFileReader reader;
        if (reader.open(file, UL_TEXT_JOINLINES) < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot open '%s'", file);
            return UL_ERROR_RETURN(-1);
        }
        ULCheckCRCTable* current = nullptr;
        bool sawTab = false;
        for (;;) {
            const int rc = reader.readLine();
            if (rc < 0) {
                ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot read '%s'", file);
                return UL_ERROR_RETURN(-1);
            }
            if (rc == 0) break;
            const char16_t* line = reader.line();
            if ((mode & UL_CRCREAD_PREPARED) && *skipBlanks(line) == u'#' &&
                std::u16string_view(line).find(UL_SQLCRCMarker) != std::u16string_view::npos)
                break;
            // A writer that died in the middle of a line leaves a piece the next run repairs:
            // read, it might pass for a shorter line.
            if (reader.lastLineIncomplete() && (UL_SQLGlobalCRCFlags & UL_SQLCRCFLAG_REPAIRLINES)) {
                if (ul_msgwrite_line399(1, u'W',
                                        ul_format(u"Ignoring incomplete last line %d of '%s'",
                                                  reader.lineNumber(), file)) < 0)
                    return UL_ERROR_RETURN(-1);
                break;
            }
            const std::u16string_view whole(reader.line(), reader.length());
            if (std::find_if(whole.begin(), whole.end(), [](char16_t c) {
                    return c == 0 || c == 0xFFFD;  // a NUL or bytes that are no UTF-8
                }) != whole.end()) {
                ul_errorsetmsgfmt(0, u"Invalid line '%s'", line);
            } else if (readLine(line, reader.lineNumber(), mode, &current) == 0) {
                sawTab = sawTab || current;
                continue;
            }
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Syntax error line %d '%s'", reader.lineNumber(),
                              file);
            return UL_ERROR_RETURN(-1);
        }
        if (!sawTab) return ul_errorfail(ul_format(u"No 'tab:' lines in file '%s'", file));
        return 0;
    });
}

int ULCheckCRCFile::setup() {
    int result = 0;
    for (auto& t : m_tables) {
        const bool haveRef = !t->ref.keys.empty() || !t->ref.sels.empty() || t->ref.sawCRCLines;
        if (haveRef && t->mergeLines() < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Setup for '%s' failed", t->name().c_str());
            return UL_ERROR_RETURN(-1);
        }
        const int rc = t->setup();
        if (rc < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Setup for '%s' failed", t->name().c_str());
            return UL_ERROR_RETURN(-1);
        }
        result |= rc;
    }
    return result;
}

int ULCheckCRCFile::read(const char16_t* crcfile, const char16_t* reffile, int mode) {
    if (read1(crcfile, mode & ~UL_CRCREAD_REFERENCE) < 0) return UL_ERROR_RETURN(-1);
    if (reffile && read1(reffile, mode | UL_CRCREAD_REFERENCE) < 0) return UL_ERROR_RETURN(-1);
    return setup();
}

int ULCheckCRCFile::write(const char16_t* file, int mode) const {
    ULTextFileWriter out;
    if (out.open(file, 0) < 0) return UL_ERROR_RETURN(-1);
    if (writeGlobalOptLine(&out) < 0) return UL_ERROR_RETURN(-1);
    for (const auto& t : m_tables)
        if (t->write(&out, m_globalMask) < 0) return UL_ERROR_RETURN(-1);
    if ((mode & 1) && out.writeFmt(u"# %s\n", UL_SQLCRCMarker) < 0) return UL_ERROR_RETURN(-1);
    if (out.close() < 0) {
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot write to '%s'", file);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULCheckCRCFile::prepare(ULTextFileWriter* out, const char16_t* table, const char16_t* reftable,
                            const char16_t* nttab, const char16_t* const* keys, unsigned nkeys,
                            const char16_t* const* sels, unsigned nsels,
                            const char16_t* const* ignsels, unsigned nignsels,
                            const char16_t* where, unsigned flags, bool marker) {
    return ul_guarded([&]() -> int {
        std::u16string text;
        if (tabLine(&text, table, reftable ? reftable : u"") < 0) return UL_ERROR_RETURN(-1);
        if (nttab && *nttab) text += ul_format(u"nttab: %s\n", nttab);
        if (nkeys && appendNameList(&text, u"key:", keys, nkeys) < 0) return UL_ERROR_RETURN(-1);
        const std::u16string words = optionWords(flags == ~0u ? getDefFlags() : flags, 0);
        if (!words.empty()) text += u"opt:" + words + u"\n";
        if (nsels && appendNameList(&text, u"sel:", sels, nsels) < 0) return UL_ERROR_RETURN(-1);
        if (nignsels && appendNameList(&text, u"ignsel:", ignsels, nignsels) < 0)
            return UL_ERROR_RETURN(-1);
        if (where && *where) text += whrLine(where);
        if (marker) text += ul_format(u"# %s\n", UL_SQLCRCMarker);
        if (out->write(text.c_str(), text.size()) < 0 || out->flush() < 0)
            return ul_errorfail(u"Cannot write to CRCTABLE file");
        return 0;
    });
}

// ---- evaluation ---------------------------------------------------------------------------------

namespace {

int lineType(const ul_chkcrcline_t& l) {
    int type = UL_CRCEVAL_RANGE;
    if (!(l.flags & UL_CRCLINE_DELETE)) type |= (l.flags & UL_CRCLINE_INSERT) ? 2 : 1;
    if (l.isField()) type |= UL_CRCEVAL_FIELD;
    if (l.ownCount != UL_DBROWCOUNT_INVALID && l.refCount != UL_DBROWCOUNT_INVALID &&
               l.ownCount <= 1 && l.refCount <= 1) {
        type |= UL_CRCEVAL_SINGLEROW;
    }
    return type;
}

bool childDiffers(const ul_chkcrcline_t& l) {
    for (const ul_chkcrcline_t* c = l.child; c; c = c->next)
        if (c->flags & UL_CRCLINE_DIFFS) return true;
    return false;
}

}  // namespace

int ULCheckCRCFile::evaluate(ULCRCEvaluator* evaluator, int flags, const char16_t* onlyTable) {
    return ul_guarded([&]() -> int {
        if ((flags & UL_CRCEVAL_LOG) && ul_sqlcrcinitmsgs() < 0) return UL_ERROR_RETURN(-1);
        ULCRCEvaluator* given = (flags & UL_CRCEVAL_GIVEN) ? evaluator : nullptr;
        auxlogcrc_t log(given);
        ULCRCEvaluator* root = (flags & UL_CRCEVAL_LOG) ? &log : given;
        if (!root) return 0;
        AuxMergeLog merge(root);
        if (UL_SQLGlobalCRCFlags & UL_SQLCRCFLAG_MERGEDIFFLOGS) root = &merge;
        int reported = 0;
        for (auto& t : m_tables) {
            if (onlyTable && !sameName(t->name(), onlyTable)) continue;
            std::vector<const char16_t*> keys;
            for (const std::u16string& k : t->own.keys) keys.push_back(k.c_str());
            std::vector<const ul_chkcrcline_t*> stack;
            for (const ul_chkcrcline_t* c = t->top()->child; c; c = c->next) stack.push_back(c);
            std::reverse(stack.begin(), stack.end());
            while (!stack.empty()) {
                const ul_chkcrcline_t* l = stack.back();
                stack.pop_back();
                const size_t mark = stack.size();
                for (const ul_chkcrcline_t* c = l->child; c; c = c->next) stack.push_back(c);
                std::reverse(stack.begin() + static_cast<long>(mark), stack.end());
                if (l->flags & UL_CRCLINE_EXCLUDED) continue;
                const bool differs = l->flags & UL_CRCLINE_DIFFS;
                if (!(flags & UL_CRCEVAL_ALL) && (!differs || childDiffers(*l))) continue;
                const int type = lineType(*l);
                if ((flags & UL_CRCEVAL_SINGLEDIFFS) && !(type & UL_CRCEVAL_SINGLEROW)) continue;
                const char16_t* field = l->isField() && l->end.field < t->own.sels.size()
                                            ? t->own.sels[l->end.field].c_str()
                                            : nullptr;
                // A field's range is its row's: the range of the row line it details.
                const ul_chkcrcline_t* row = l;
                while (row && row->isField()) row = row->parent;
                const ul_sqlcrcboundary_t& from =
                    !l->isField() ? l->start
                    : row && !(row->flags & UL_CRCLINE_TOP) ? row->start
                                                             : ul_sqlcrcboundary_t{};
                if (root->report(type, t->name().c_str(), keys.data(),
                                 static_cast<unsigned>(keys.size()), from.values, from.nvalues,
                                 field, l->end.values, l->end.nvalues, l->ownCount, l->refCount,
                                 l) < 0)
                    return UL_ERROR_RETURN(-1);
                ++reported;
            }
            if (root->endTable(t->name().c_str()) < 0) return UL_ERROR_RETURN(-1);
        }
        return reported;
    });
}

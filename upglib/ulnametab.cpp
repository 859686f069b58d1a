#include "ulnametab.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

// Longest table name an object takes from the nametab, in code units.
constexpr size_t kTableNameMax = 149;
constexpr char kEnvConversionTable[] = "Q7LDCTL_TABLE_UMGPOCNV";
constexpr char16_t kConversionTable[] = u"UMGPOCNV";

// ---- the current nametab set ----------------------------------------------------------------

struct NameTabSet {
    std::u16string names[5];  // DDNTT, DDNTF, DDNTT_HIST, DDXTT, DDXTF
};

// Set by setNameTab; without it the session's current slot decides.
std::optional<NameTabSet> g_explicitSet;
NameTabSet g_resolved;

// A set from a DDNTT name and optional DDNTF and history names (see ULNameTab::setNameTab).
int buildSet(const char16_t* ddntt, const char16_t* ddntf, const char16_t* hist, NameTabSet* out) {
    const char16_t* given[3] = {ddntt, ddntf, hist};
    for (const char16_t* name : given) {
        if (ul_strlen(name) > UL_NTNAMEMAX) {
            ul_errorsetmsgfmt(0, u"Nametab name '%s' too long (at most %d characters)", name,
                              static_cast<int>(UL_NTNAMEMAX));
            return UL_ERROR_RETURN(-1);
        }
    }
    *out = NameTabSet();
    std::u16string tt = ddntt;
    std::u16string tf = ddntf ? ddntf : u"";
    if (tf.empty() && tt.size() >= 5) tf = tt.substr(0, 4) + u"F" + tt.substr(5);
    if (tt.starts_with(u"DDXT")) {
        out->names[3] = tt;
        out->names[4] = tf;
        tt = u"DDNT" + tt.substr(4);
        if (tf.starts_with(u"DDXT")) tf = u"DDNT" + tf.substr(4);
    }
    out->names[0] = tt;
    out->names[1] = tf;
    out->names[2] = hist ? std::u16string(hist)
                         : u"DDNTT_HIST" + (tt.size() > 5 ? tt.substr(5) : std::u16string());
    return 0;
}

bool nametabOff() {
    return ul_sqlntgettype(UL_NTSLOT_STANDARD) == UL_NTTYPE_OFF ||
           ul_sqlntgettype(ul_sqlntcurrentslot()) == UL_NTTYPE_OFF;
}

// The current set, or null with the reason ("Cannot get nametab for '%s' - nametab access
// disabled" when a table is named).
const NameTabSet* currentSet(const char16_t* table) {
    if (nametabOff()) {
        if (table)
            ul_errorsetmsgfmt(0, u"Cannot get nametab for '%s' - nametab access disabled", table);
        else
            ul_errorsetmsg(0, u"Nametab access disabled");
        return UL_ERROR_RETURN(nullptr);
    }
    if (g_explicitSet) return &*g_explicitSet;
    const char16_t* names[3] = {ul_ntgetname(0), ul_ntgetname(UL_NTNAME_DDNTF),
                                ul_ntgetname(UL_NTNAME_HIST)};
    if (!names[0] || !names[1] || !names[2]) return UL_ERROR_RETURN(nullptr);
    if (buildSet(names[0], names[1], names[2], &g_resolved) < 0) return UL_ERROR_RETURN(nullptr);
    return &g_resolved;
}

// ---- dictionary queries ---------------------------------------------------------------------

// Keeps the text values of the rows of a query.
class TextRows : public ULSQLCallBack {
  public:
    int handleRow(unsigned flags, const unsigned char**, const char16_t** values, unsigned*,
                  unsigned ncols) override {
        if (!(flags & UL_ROW_DATA)) return 0;
        std::vector<std::u16string>& row = rows.emplace_back();
        for (unsigned i = 0; i < ncols; ++i)
            row.emplace_back(values && values[i] ? values[i] : u"");
        return 0;
    }
    std::vector<std::vector<std::u16string>> rows;
};

// Runs a query on a dictionary table with text parameters. Returns 0 with the rows, -2 when
// the table does not exist, -1 on error.
int queryDictionary(const std::u16string& sql, std::initializer_list<const char16_t*> params,
                    TextRows* rows) {
    ULSQLStmt stmt;
    if (stmt.prepare(sql.c_str(), nullptr, 0, nullptr, 0, UL_SQLMODE_MISSINGTABLE) < 0)
        return UL_ERROR_RETURN(-1);
    unsigned i = 0;
    for (const char16_t* p : params)
        if (stmt.bindParamS(i++, p) < 0) return UL_ERROR_RETURN(-1);
    const long rc = stmt.execute(rows, nullptr, UL_SQLMODE_MISSINGTABLE);
    if (rc == -2) return -2;
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// Logs that a dictionary table is missing (a level-1 warning naming the table). Returns 0, or
// -1 when the log cannot be written.
int warnMissing(const char16_t* format, const char16_t* table) {
    return ul_msgwrite_printf399(1, u'W', format, table) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// A dictionary table's name as statements write it: table suffix and quoting applied.
int dictionaryName(const char16_t* table, char16_t* out, unsigned size) {
    return ul_sqlquotetable(out, size, table, UL_QUOTE_TABSUFFIX) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// ---- catalogue ------------------------------------------------------------------------------

// Asks the catalogue service. Returns the DBIF code, or -1 without a connection.
int catalogDescribe(const NameTabSet* set, const char16_t* table, int flags, dbif_cattable_t* out) {
    dbif_catrequest_t request;
    if (set) {
        request.ddntt = set->names[0].c_str();
        request.ddntf = set->names[1].c_str();
        request.ddnttHist = set->names[2].c_str();
    }
    request.table = table;
    request.flags = flags;
    dbif_control_t argument;
    argument.catalog = &request;
    const int rc = ul_sqldbifcontrol(DBIF_CTL_CATALOG_DESCRIBE, &argument);
    if (rc == DBIF_RC_OK) *out = std::move(request.result);
    return rc;
}

int catalogFlush(long scope) {
    if (!ul_sqlisconnected()) return 0;
    dbif_control_t argument;
    argument.intValue = scope;
    const int rc = ul_sqldbifcontrol(DBIF_CTL_CATALOG_FLUSH, &argument);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc != DBIF_RC_OK) {
        ul_sqlsetdbiferror(rc, u"Flushing the catalogue failed");
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// ---- tables with rules of their own -----------------------------------------------------------

constexpr const char16_t* kViewForms = u"HJRFSWV";

// Repository tables of programs and screens, and a few more that are stored with fixed
// attributes whatever DD09L says: the largest size category of the source data class.
constexpr const char16_t* kRepositoryPrefixes[] = {
    u"D010S",    u"D010T",      u"D010TAB",  u"D010TINF", u"D010SINF", u"REPOSRC",
    u"REPOTEXT", u"DYNPSOURCE", u"DYNPTEST", u"D021S",    u"D022S",    u"D023S",
};
constexpr const char16_t* kFixedAttributeTables[] = {u"DDNTF", u"PKRT_LOAD", u"E071K"};
constexpr const char16_t* kRepositoryTabart = u"SSRC";
constexpr const char16_t* kRepositoryTabkat = u"4";

bool hasFixedAttributes(const char16_t* table) {
    for (const char16_t* prefix : kRepositoryPrefixes)
        if (ul_stringstartcmp(table, prefix)) return true;
    for (const char16_t* name : kFixedAttributeTables)
        if (ul_strcmp(table, name) == 0) return true;
    return false;
}

// Dictionary tables whose key fields are stored in another order than their key sequence:
// key field k has sequence number sequence[k - 1]. Sorted by name.
struct KeyOrder {
    const char16_t* table;
    unsigned char sequence[5];
};
constexpr KeyOrder kKeyOrders[] = {
    {u"DD05S", {1, 3, 4, 2, 5}}, {u"DD08L", {1, 3, 2, 4}},    {u"DD08T", {1, 4, 2, 3, 5}},
    {u"DD12L", {1, 3, 2, 4}},    {u"DD12T", {2, 1, 4, 3, 5}}, {u"DD16S", {1, 3, 2, 4}},
    {u"DD17S", {1, 3, 4, 2, 5}}, {u"DD20T", {2, 1, 3, 4}},    {u"DD21S", {1, 3, 2, 5, 4}},
    {u"DD23L", {1, 3, 2, 4}},    {u"DD23T", {2, 1, 4, 3, 5}}, {u"DD24S", {1, 3, 2, 4, 5}},
    {u"DD25T", {2, 1, 3, 4}},    {u"DD29T", {2, 1, 3, 4}},
};

const KeyOrder* findKeyOrder(const char16_t* table) {
    auto it = std::lower_bound(
        std::begin(kKeyOrders), std::end(kKeyOrders), table,
        [](const KeyOrder& k, const char16_t* name) { return ul_strcmp(k.table, name) < 0; });
    return it != std::end(kKeyOrders) && ul_strcmp(it->table, table) == 0 ? it : nullptr;
}

bool isClientType(const dbif_catfield_t& f) {
    return f.ddicType == UL_DDIC_CLNT ||
           (ULLDObjField::isCharField(f.ddicType) && f.ddicLength == 3);
}

}  // namespace

// ---- ULNameTab ------------------------------------------------------------------------------

ULNameTab::ULNameTab(const char16_t* tableName, unsigned flags)
    : table_(tableName ? tableName : u""), flags_(flags) {}

ULNameTab::ULNameTab(const char16_t* nametabName, const char16_t* tableName, unsigned flags)
    : ULNameTab(tableName, flags) {
    nametab_ = nametabName ? nametabName : u"";
}

int ULNameTab::setNameTab(const char16_t* ddntt, const char16_t* ddntf, const char16_t* ddnttHist) {
    return ul_guarded([&] {
        if (!ddntt) {
            g_explicitSet.reset();
            return 0;
        }
        NameTabSet set;
        if (buildSet(ddntt, ddntf, ddnttHist, &set) < 0) return UL_ERROR_RETURN(-1);
        UL_TRACE(UL_TRC_NTT, 2, u"Nametab set '%s' '%s' '%s'\n", set.names[0].c_str(),
                 set.names[1].c_str(), set.names[2].c_str());
        g_explicitSet = std::move(set);
        return 0;
    });
}

const char16_t* ULNameTab::getNameTabName(int which) {
    if (which < 0 || which > 4) {
        ul_errorsetmsgfmt(0, u"Invalid nametab name selector %d", which);
        return UL_ERROR_RETURN(nullptr);
    }
    const NameTabSet* set = nullptr;
    if (ul_guarded([&] { return (set = currentSet(nullptr)) ? 0 : -1; }) < 0)
        return UL_ERROR_RETURN(nullptr);
    return set->names[which].c_str();
}

int ULNameTab::flush(unsigned char all) {
    return catalogFlush(all ? DBIF_CATFLUSH_ALL : DBIF_CATFLUSH_TABLES);
}

int ULNameTab::reset() {
    return catalogFlush(DBIF_CATFLUSH_ALL);
}

namespace {
// A nametab slot switch drops the set made current directly and, when asked, the cache.
int onSlotSwitch(int flags) {
    if (ULNameTab::setNameTab(nullptr, nullptr, nullptr) < 0) return UL_ERROR_RETURN(-1);
    if ((flags & UL_NTSWITCH_RESETCACHE) && ULNameTab::reset() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}
// Registered when this module is part of the program, which is when it may hold such state.
[[maybe_unused]] const bool kSlotSwitchHookAdded = (ul_sqlntaddswitchhook(onSlotSwitch), true);
}  // namespace

// Describes the table through the catalogue; *missing when it has no entry.
int ULNameTab::describe(dbif_cattable_t* out, bool* missing) {
    *missing = false;
    NameTabSet own;
    const NameTabSet* set = currentSet(table_.c_str());
    if (!set) return UL_ERROR_RETURN(-1);
    if (!nametab_.empty()) {
        if (buildSet(nametab_.c_str(), nullptr, nullptr, &own) < 0) return UL_ERROR_RETURN(-1);
        set = &own;
    }
    const int rc = catalogDescribe(set, table_.c_str(), 0, out);
    if (rc == DBIF_RC_OK) return 0;
    if (rc == DBIF_RC_NOT_FOUND) {
        *missing = true;
        ul_errorsetmsgfmt(0, u"Table '%s' has no entry in nametab '%s'", table_.c_str(),
                          set->names[0].c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (rc > 0) ul_sqlsetdbiferror(rc, u"Describing the table failed");
    return UL_ERROR_RETURN(-1);
}

int ULNameTab::getTableInfo(ULLDObject* object) {
    return ul_guarded([&] {
        dbif_cattable_t table;
        bool missing = false;
        if (describe(&table, &missing) < 0) {
            if (missing && (flags_ & UL_NT_MISSINGOK)) {
                UL_TRACE(UL_TRC_NTT, 2, u"No nametab entry for '%s'\n", table_.c_str());
                return 2;
            }
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot read nametab '%s'.", table_.c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (setTableInfo(object, table) < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot set info of table '%s'.", table_.c_str());
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    });
}

int ULNameTab::setTableInfo(ULLDObject* object, const dbif_cattable_t& table) {
    const std::u16string name = table_.substr(0, kTableNameMax);
    if (object->setupTableObj(name.c_str()) < 0) return UL_ERROR_RETURN(-1);
    setTableType(object, table);
    if (setTableFlags(object, table) < 0 || setTableAttributes(object, table) < 0)
        return UL_ERROR_RETURN(-1);
    setTableSharingType(object, table);
    if (getFieldsInfo(object, table) < 0) return UL_ERROR_RETURN(-1);
    setFieldMode(object);
    return 0;
}

void ULNameTab::setTableType(ULLDObject* object, const dbif_cattable_t& table) {
    const bool view =
        table.tabType == u'T' && table.tabForm && ul_strchr(kViewForms, table.tabForm);
    object->kind = view ? UL_LDOBJ_VIEW : UL_LDOBJ_TABLE;
    object->attributes.tabClass =
        table.tabForm == u'C' || table.tabForm == u'P' ? table.tabForm : u'T';
    if (table.tabType == u'C' || table.tabType == u'P') {
        object->options.logicalType =
            table.tabType == u'C' ? UL_LOGTABLE_CLUSTER : UL_LOGTABLE_POOL;
        if (!table.refName.empty()) object->references.addEntry(table.refName.c_str());
    }
    UL_TRACE(UL_TRC_NTT, 3, u"Table '%s': type %c form %c -> object type %d\n", table_.c_str(),
             table.tabType, table.tabForm ? table.tabForm : u' ', object->kind);
}

int ULNameTab::setTableFlags(ULLDObject* object, const dbif_cattable_t& table) {
    unsigned clientPos = table.clientPos;
    if (clientPos) {
        if (clientPos > table.fields.size() || !table.fields[clientPos - 1].key) {
            UL_TRACE(UL_TRC_NTT, 1, u"WARNING: client field %d is not a key field - clearing.\n",
                     static_cast<int>(clientPos));
            clientPos = 0;
        } else if (!isClientType(table.fields[clientPos - 1])) {
            UL_TRACE(UL_TRC_NTT, 1,
                     u"WARNING: client position %d has wrong field type - clearing.\n",
                     static_cast<int>(clientPos));
            clientPos = 0;
        }
    }
    object->attributes.clientPos = clientPos;
    object->options.clientDependent = table.clientDependent;

    char16_t tadir[256];
    if (dictionaryName(u"TADIR", tadir, 256) < 0) return UL_ERROR_RETURN(-1);
    TextRows rows;
    const int rc = queryDictionary(
        ul_format(u"SELECT DEVCLASS FROM %s WHERE PGMID    = 'Q7TR'   AND OBJECT   = 'TABL'   AND "
                  u"OBJ_NAME = ?",
                  tadir),
        {table_.c_str()}, &rows);
    if (rc == -1) return UL_ERROR_RETURN(-1);
    if (rc == -2)
        return warnMissing(u"Table %s does not exist, no check for basis table possible", tadir);
    if (rows.rows.empty()) {
        UL_TRACE(UL_TRC_NTT, 1, u"WARNING: No DEVCLASS entry in TADIR for '%s'!\n", table_.c_str());
        return 0;
    }
    const std::u16string& devclass = rows.rows[0][0];
    object->options.basisTable = devclass.starts_with(u"S") ? UL_BASISTABLE_YES : UL_BASISTABLE_NO;
    return 0;
}

int ULNameTab::setTableAttributes(ULLDObject* object, const dbif_cattable_t& table) {
    ULLDObjAttributes& a = object->attributes;
    const char16_t* name = table_.c_str();
    if (hasFixedAttributes(name)) {
        a.tabart = kRepositoryTabart;
        a.tabkat = kRepositoryTabkat;
        a.loadUnit = UL_LOADUNIT_PAGE;
        return 0;
    }
    char16_t dd09l[256];
    if (dictionaryName(u"DD09L", dd09l, 256) < 0) return UL_ERROR_RETURN(-1);
    char16_t suffixed[256];
    if (ul_sqltabsuffixadd(suffixed, 256, u"DD09L") < 0) return UL_ERROR_RETURN(-1);
    const int hasLoadUnit = tableFieldExists(suffixed, u"LOAD_UNIT");
    TextRows rows;
    int rc = -2;
    if (hasLoadUnit >= 0) {
        const std::u16string loadUnit =
            hasLoadUnit ? u"LOAD_UNIT" : ul_format(u"'%c' AS %s", u'-', u"LOAD_UNIT");
        rc = queryDictionary(
            ul_format(u"SELECT %s, %s, PUFFERUNG, BUFALLOW, %s  FROM %s WHERE AS4LOCAL = 'A' AND "
                      u"TABNAME = ?",
                      u"TABKAT", u"TABART", loadUnit.c_str(), dd09l),
            {name}, &rows);
        if (rc == -1) return UL_ERROR_RETURN(-1);
    } else {
        UL_TRACE(UL_TRC_NTT, 2, u"No technical settings: %s\n", ul_errorgetmsg());
    }
    if (rc == -2 || rows.rows.empty()) {
        if (table.tabType == u'P') {
            a.tabart = u"POOL";
        } else if (table.tabType == u'C') {
            a.tabart = u"CLUST";
            a.pkeyName = ul_format(u"%s~0", name);
        } else if (ul_stringstartcmp(name, u"DD")) {
            a.tabart = u"SDIC";
        } else if (name[0] == u'Y' || name[0] == u'Z') {
            a.tabart = u"USER";
        } else {
            a.tabart = u"APPL1";
        }
        return 0;
    }
    const std::vector<std::u16string>& row = rows.rows[0];
    const struct {
        const std::u16string& value;
        const char16_t* column;
        size_t max;
    } sized[] = {{row[0], u"TABKAT", 2}, {row[1], u"TABART", 5}};
    for (const auto& s : sized) {
        if (s.value.size() > s.max) {
            ul_errorsetmsgfmt(0, u"Value '%s' too large in DD09L.%s for '%s'", s.value.c_str(),
                              s.column, name);
            return UL_ERROR_RETURN(-1);
        }
    }
    a.tabkat = row[0];
    a.tabart = row[1];
    a.bufState[0] = row[2].empty() ? 0 : row[2][0];
    a.bufState[1] = row[3].empty() ? 0 : row[3][0];
    const std::u16string& unit = row[4];
    if (unit == u"-") {
        a.loadUnit = UL_LOADUNIT_NONE;
    } else if (unit.empty() || unit == u"A" || unit == u"C") {
        a.loadUnit = UL_LOADUNIT_PAGE;
    } else if (unit == u"P" || unit == u"Q") {
        a.loadUnit = UL_LOADUNIT_COLUMN;
    } else {
        ul_errorsetmsgfmt(0, u"Invalid value '%s' in DD09L.%s for '%s'", unit.c_str(), u"LOAD_UNIT",
                          name);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

void ULNameTab::setTableSharingType(ULLDObject* object, const dbif_cattable_t& table) {
    if (table.shareType >= UL_SHRTYPE_NONE && table.shareType <= UL_SHRTYPE_SWITCH) {
        object->attributes.shrType = table.shareType;
    } else {
        UL_TRACE(UL_TRC_NTT, 1, u"Unsupported sharing type #%d\n", table.shareType);
    }
    object->attributes.tempTable = table.temporary;
    object->attributes.zdbStore = table.storeType == u'C'   ? UL_ZDBSTORE_COLUMN
                                  : table.storeType == u'R' ? UL_ZDBSTORE_ROW
                                                            : UL_ZDBSTORE_NONE;
}

void ULNameTab::setFieldMode(ULLDObject* object) {
    std::vector<ULLDObjField>& fields = object->structure.fields;
    for (size_t i = 0; i < fields.size(); ++i) {
        ULLDObjField& f = fields[i];
        const ul_ldddictype_t* t = ul_ldobjtype_info(f.ddicType);
        const unsigned flags = t ? t->flags : 0;
        f.mode = (flags & UL_DDTYPE_DATETIME ? UL_LDFLDMODE_DATETIME : 0u) |
                 (flags & UL_DDTYPE_LOB ? UL_LDFLDMODE_LOB : 0u) |
                 (i + 1 == object->attributes.clientPos ? UL_LDFLDMODE_CLIENT : 0u);
    }
}

int ULNameTab::getFieldInfo(ULLDObject* object, const dbif_catfield_t& field, unsigned index) {
    bool valid = ul_ldobjtype_ddic2string(field.ddicType) != nullptr;
    if (valid && field.ddicType == UL_DDIC_RAW && field.ddicLength % 2 != 0) {
        ul_errorsetmsgfmt(0, u"The length of a RAW field must not be an odd number (%u)",
                          field.ddicLength);
        valid = false;
    }
    if (!valid) {
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot retrieve field info '%s' field #%d",
                          table_.c_str(), static_cast<int>(index) + 1);
        return UL_ERROR_RETURN(-1);
    }
    return ul_guarded([&] {
        ULLDObjField f;
        f.name = field.name;
        f.ddicType = field.ddicType;
        f.length = field.ddicLength;
        f.digits = field.digits;
        f.decimals = field.decimals;
        f.notNull = field.notNull;
        f.ntOffset[0] = field.offset;
        f.dbType = field.dbType;
        f.dbLength = field.dbLength;
        f.keyPos = field.key ? index + 1 : 0;
        object->structure.fields.push_back(std::move(f));
        return 0;
    });
}

int ULNameTab::getFieldsInfo(ULLDObject* object, const dbif_cattable_t& table) {
    ULLDObjStructure& s = object->structure;
    s.fields.clear();
    if (s.reallocNrFields(static_cast<unsigned>(table.fields.size())) < 0)
        return UL_ERROR_RETURN(-1);
    for (unsigned i = 0; i < table.fields.size(); ++i)
        if (getFieldInfo(object, table.fields[i], i) < 0) return UL_ERROR_RETURN(-1);
    if (checkKeyOrder(object, table.nkeys) < 0) return UL_ERROR_RETURN(-1);
    s.nkeys = object->options.nkeys = table.nkeys;
    s.npackedkeys = table.packedKeys;
    if (table.tableLength)
        s.ntLength[0] = object->options.tableLength[0] = static_cast<int>(table.tableLength);
    if (table.keyLength) object->options.keyLength[0] = static_cast<int>(table.keyLength);
    if (setSpatialReferences(object) < 0 || applyConversionExceptions(object) < 0)
        return UL_ERROR_RETURN(-1);
    if (ul_ldcalcfieldtypes(object) < 0 || ul_ldcalcfieldoffsets(object) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

// The first nkeys fields must be exactly the key fields; dictionary tables of the key order
// list get their key sequence from it.
int ULNameTab::checkKeyOrder(ULLDObject* object, unsigned nkeys) {
    std::vector<ULLDObjField>& fields = object->structure.fields;
    for (unsigned i = 0; i < fields.size(); ++i) {
        const bool key = fields[i].keyPos != 0;
        if (key != (i < nkeys)) {
            ul_errorsetmsgfmt(0,
                              u"Field #%d \"%s\".\"%s\" is%s a key field (nkeys=%d). Key fields "
                              u"are expected to come first in a table",
                              static_cast<int>(i) + 1, table_.c_str(), fields[i].name.c_str(),
                              key ? u"" : u" not", static_cast<int>(nkeys));
            return UL_ERROR_RETURN(-1);
        }
    }
    if (const KeyOrder* order = findKeyOrder(table_.c_str())) {
        for (unsigned i = 0; i < nkeys && i < std::size(order->sequence); ++i)
            if (order->sequence[i]) fields[i].keyPos = order->sequence[i];
    }
    return 0;
}

int ULNameTab::setSpatialReferences(ULLDObject* object) {
    char16_t dd03l[256];
    bool named = false;
    for (ULLDObjField& f : object->structure.fields) {
        const ul_ldddictype_t* t = ul_ldobjtype_info(f.ddicType);
        if (!t || !(t->flags & UL_DDTYPE_SPATIAL)) continue;
        if (!named && dictionaryName(u"DD03L", dd03l, 256) < 0) return UL_ERROR_RETURN(-1);
        named = true;
        TextRows rows;
        const int rc = queryDictionary(
            ul_format(u"SELECT SRS_ID FROM %s WHERE TABNAME = ? AND FIELDNAME = ?", dd03l),
            {table_.c_str(), f.name.c_str()}, &rows);
        if (rc == -1) return UL_ERROR_RETURN(-1);
        if (rc == -2) {
            UL_TRACE(UL_TRC_NTT, 1,
                     u"WARNING: Table %s does not exist, no spatial reference "
                     u"id for '%s'!\n",
                     dd03l, f.name.c_str());
            return 0;
        }
        long id = 0;
        if (!rows.rows.empty() && ul_stringtolong(rows.rows[0][0].c_str(), &id) == 0)
            f.srsId = static_cast<int>(id);
    }
    return 0;
}

// D342L and MCSI hold binary data in character fields; when the conversion exception table
// lists them, those fields are read as long raw so that no code page conversion touches them.
int ULNameTab::applyConversionExceptions(ULLDObject* object) {
    const char16_t* name = table_.c_str();
    if (ul_strcmp(name, u"D342L") != 0 && ul_strcmp(name, u"MCSI") != 0) return 0;
    const char* env = getenv(kEnvConversionTable);
    const std::u16string configured = env ? ul_utf8to16(env) : std::u16string(kConversionTable);
    if (configured.empty()) return 0;
    char16_t exceptions[256];
    char16_t quoted[256];
    if (ul_sqltabsuffixadd(exceptions, 256, configured.c_str()) < 0 ||
        dictionaryName(configured.c_str(), quoted, 256) < 0)
        return UL_ERROR_RETURN(-1);
    TextRows rows;
    const int rc = queryDictionary(ul_format(u"SELECT 'X' FROM %s WHERE ORGTAB = ?", quoted),
                                   {name}, &rows);
    if (rc == -1) return UL_ERROR_RETURN(-1);
    if (rc == -2)
        return warnMissing(u"Table '%s' does not exist - cannot check for variable raw!",
                           exceptions);
    if (rows.rows.empty()) return 0;
    for (ULLDObjField& f : object->structure.fields) {
        if (f.ddicType != UL_DDIC_VARC) continue;
        f.ddicType = UL_DDIC_LRAW;
        f.dbType = -1;
        if (ul_msgwrite_printf399(0, u'W',
                                  u"Type 'VARC' replaced by 'LRAW' for field '%s' table '%s' to "
                                  u"avoid unicode conversion (table from exception list).",
                                  f.name.c_str(), name) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULNameTab::tableFieldExists(const char16_t* table, const char16_t* field) {
    return ul_guarded([&] {
        const NameTabSet* set = currentSet(table);
        if (!set) return UL_ERROR_RETURN(-1);
        dbif_cattable_t description;
        const int rc = catalogDescribe(set, table, DBIF_CATREQ_ENGINE, &description);
        if (rc == DBIF_RC_NOT_FOUND) {
            ul_errorsetmsgfmt(0, u"Cannot check for %s.%s: table does not exist", table, field);
            return UL_ERROR_RETURN(-1);
        }
        if (rc != DBIF_RC_OK) {
            if (rc > 0) ul_sqlsetdbiferror(rc, u"Describing the table failed");
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot check for %s.%s", table, field);
            return UL_ERROR_RETURN(-1);
        }
        for (const dbif_catfield_t& f : description.fields)
            if (ul_stricmp(f.name.c_str(), field) == 0) return 1;
        return 0;
    });
}

int ULNameTab::get_loadtype(const char16_t* table, char16_t tableClass,
                            const char16_t* noDataClasses) {
    if (ul_strcmp(table, u"DDLOG") == 0 || ul_strcmp(table, u"DBPROPERTIES") == 0) return 2;
    if (!noDataClasses || !*noDataClasses) return 0;
    return ul_guarded([&] {
        char16_t dd02l[256];
        if (dictionaryName(u"DD02L", dd02l, 256) < 0) return UL_ERROR_RETURN(-1);
        const bool container = tableClass == u'C' || tableClass == u'P';
        const std::u16string sql =
            container
                ? ul_format(
                      u"SELECT DISTINCT CONTFLAG  FROM %s WHERE AS4LOCAL = 'A'   AND "
                      u"SQLTAB   = ?",
                      dd02l)
                : ul_format(u"SELECT CONTFLAG  FROM %s WHERE AS4LOCAL = 'A'   AND TABNAME  = ?",
                            dd02l);
        TextRows rows;
        const int rc = queryDictionary(sql, {table}, &rows);
        if (rc == -1) return UL_ERROR_RETURN(-1);
        if (rc == -2) {
            UL_TRACE(UL_TRC_NTT, 1, u"WARNING: Table %s does not exist, loading '%s'!\n", dd02l,
                     table);
            return 0;
        }
        if (rows.rows.empty()) {
            if (ul_msgwrite_printf399(1, u'W', u"No CONTFLAG entry in DD02L for '%s' (type %c).",
                                      table, tableClass ? tableClass : u' ') < 0)
                return UL_ERROR_RETURN(-1);
            return 2;
        }
        for (const std::vector<std::u16string>& row : rows.rows)
            if (!ul_stringgroupcompare(row[0].c_str(), noDataClasses, u',', 0)) return 0;
        return 2;
    });
}

// ---- field lists ----------------------------------------------------------------------------

void ul_sqltablefreefields(const char16_t** fields, unsigned nfields) {
    if (!fields) return;
    for (unsigned i = 0; i < nfields; ++i) free(const_cast<char16_t*>(fields[i]));
    free(fields);
}

int ul_sqltablegetfields(const ULLDObject* object, const char16_t*** fields, unsigned* nfields,
                         int flags) {
    *fields = nullptr;
    *nfields = 0;
    const std::vector<ULLDObjField>& all = object->structure.fields;
    unsigned count = static_cast<unsigned>(all.size());
    if (flags == 1 || flags == 2) {
        const unsigned keys = std::min<unsigned>(object->structure.nkeys, count);
        const unsigned packed = object->getPackedKeyFields();
        count = keys;
        if (packed < keys) {
            UL_TRACE(UL_TRC_NTT, 2, u"Remove last field #%d from keyfields from table '%s'\n",
                     static_cast<int>(keys), object->name.c_str());
            if (flags == 2) count = packed;
        }
    }
    const char16_t** list =
        static_cast<const char16_t**>(ul_calloc(count ? count : 1, sizeof(char16_t*)));
    if (!list) return UL_ERROR_RETURN(-1);
    for (unsigned i = 0; i < count; ++i) {
        if (all[i].name.empty()) {
            ul_errorsetmsgfmt(0, u"Table '%s' has empty field #%d", object->name.c_str(),
                              static_cast<int>(i) + 1);
        } else if (!(list[i] = ul_strdup(all[i].name.c_str()))) {
            ul_erroroutofmemory();
        }
        if (!list[i]) {
            ul_sqltablefreefields(list, i);
            return UL_ERROR_RETURN(-1);
        }
    }
    *fields = list;
    *nfields = count;
    return 0;
}

int ul_sqltablegetfields(const char16_t* table, const char16_t*** fields, unsigned* nfields,
                         int flags) {
    *fields = nullptr;
    *nfields = 0;
    ULLDObject object;
    if (ULNameTab(table, 0).getTableInfo(&object) < 0) {
        const char16_t* ddntt = ULNameTab::getNameTabName(0);
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Nametab error for table '%s'/'%s'", table,
                          ddntt ? ddntt : u"");
        return UL_ERROR_RETURN(-1);
    }
    return ul_sqltablegetfields(&object, fields, nfields, flags);
}

// ---- column descriptions --------------------------------------------------------------------

namespace {

// One block: the descriptions, then their names.
ul_sqlfielddesc_t* allocDescs(const std::vector<ul_sqlfielddesc_t>& descs) {
    size_t names = 0;
    for (const ul_sqlfielddesc_t& d : descs) names += ul_strlen(d.name) + 1;
    const size_t head = descs.size() * sizeof(ul_sqlfielddesc_t);
    auto* block = static_cast<ul_sqlfielddesc_t*>(ul_malloc(head + names * sizeof(char16_t) + 1));
    if (!block) return nullptr;
    char16_t* text = reinterpret_cast<char16_t*>(reinterpret_cast<char*>(block) + head);
    for (size_t i = 0; i < descs.size(); ++i) {
        block[i] = descs[i];
        const size_t length = ul_strlen(descs[i].name);
        std::memcpy(text, descs[i].name ? descs[i].name : u"", length * sizeof(char16_t));
        text[length] = 0;
        block[i].name = text;
        text += length + 1;
    }
    return block;
}

ul_sqlfielddesc_t fieldDesc(const ULLDObjField& f) {
    dbif_coldesc_t column;
    column.type = f.dbType;
    column.length = f.dbLength;
    column.decimals = f.decimals;
    ul_sqlfielddesc_t desc = ul_sqlfieldfromcolumn(column);
    desc.name = f.name.c_str();
    return desc;
}

void traceField(const ULLDObject& object, unsigned i, const ULLDObjField& f,
                const ul_sqlfielddesc_t& desc) {
    UL_TRACE(UL_TRC_NTT, 3,
             u"Field #%d \"%s\".%-16s: DDICTYPE %3d DBIFTYPE %3d, decimals %2d: flags "
             u"%c%c%c%c%c fldlen %3d\n",
             static_cast<int>(i) + 1, object.name.c_str(), f.name.c_str(), f.ddicType,
             ul_sqlfieldtype(desc), static_cast<int>(f.decimals), f.keyPos ? u'K' : u'-',
             f.notNull ? u'N' : u'-', f.mode & UL_LDFLDMODE_CLIENT ? u'C' : u'-',
             f.mode & UL_LDFLDMODE_LOB ? u'L' : u'-', f.mode & UL_LDFLDMODE_DATETIME ? u'D' : u'-',
             static_cast<int>(desc.length));
}

}  // namespace

int ul_sqltablegetoiflags(const ULLDObject* object, const char16_t* const* fields, unsigned nfields,
                          ul_sqlfielddesc_t** descs, unsigned* ndescs, int flags) {
    *descs = nullptr;
    *ndescs = 0;
    return ul_guarded([&] {
        std::vector<ul_sqlfielddesc_t> list;
        std::vector<std::u16string> hookNames;
        hookNames.reserve(nfields);
        bool piecewise = false;
        const std::vector<ULLDObjField>& all = object->structure.fields;
        const unsigned count = nfields ? nfields : static_cast<unsigned>(all.size());
        for (unsigned i = 0; i < count; ++i) {
            const int index = nfields ? object->findField(fields[i]) : static_cast<int>(i);
            if (index < 0) {
                const ul_sqldbsupport_t* row = ul_sqlcurrentdbsupport();
                ul_sqlfielddesc_t desc{};
                const char16_t* name = hookNames.emplace_back(fields[i]).c_str();
                if (!row || !row->fieldFlagHook || row->fieldFlagHook(name, &desc) != 1) {
                    ul_errorsetmsgfmt(0, u"Table '%s' does not have field #%d '%s'",
                                      object->name.c_str(), static_cast<int>(i) + 1, fields[i]);
                    return UL_ERROR_RETURN(-1);
                }
                desc.name = name;
                list.push_back(desc);
                continue;
            }
            const ULLDObjField& f = all[static_cast<size_t>(index)];
            ul_sqlfielddesc_t desc = fieldDesc(f);
            traceField(*object, static_cast<unsigned>(index), f, desc);
            piecewise = piecewise || (desc.flags & UL_SQLFLD_LONG);
            list.push_back(desc);
        }
        int result = object->kind << UL_OIFLAG_KINDSHIFT;
        if (object->attributes.tabClass == u'C') result |= UL_OIFLAG_CLUSTER;
        if (object->attributes.tabClass == u'P') result |= UL_OIFLAG_POOL;
        if (object->getPackedKeyFields() < object->structure.nkeys) {
            result |= UL_OIFLAG_PACKED;
            if (flags == 1 && !list.empty())
                list.back().length = std::max<unsigned>(
                    list.back().length, static_cast<unsigned>(UL_SQLLobColumnSpace));
        }
        if (piecewise && !(UL_SQLGlobalFlags & UL_SQLFLAG_NOLOBSPIECEWISE))
            result |= UL_OIFLAG_PIECEWISE;
        ul_sqlfielddesc_t* block = allocDescs(list);
        if (!block) return UL_ERROR_RETURN(-1);
        *descs = block;
        *ndescs = static_cast<unsigned>(list.size());
        return result;
    });
}

int ul_sqltablegetoiflags(const char16_t* table, const char16_t* const* fields, unsigned nfields,
                          ul_sqlfielddesc_t** descs, unsigned* ndescs, int flags) {
    *descs = nullptr;
    *ndescs = 0;
    ULLDObject object;
    const int rc = ULNameTab(table, UL_NT_MISSINGOK).getTableInfo(&object);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == 2) {
        ul_errorsetmsgfmt(0, u"No definition found for '%s'", table);
        return UL_ERROR_RETURN(-1);
    }
    return ul_sqltablegetoiflags(&object, fields, nfields, descs, ndescs, flags);
}

#include "ulq7ldobj.h"

#include <algorithm>
#include <array>
#include <new>

#include "dbif.h"
#include "ulerror.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulstring.h"

namespace {

// ---- dictionary type table ------------------------------------------------------------------

constexpr unsigned kInt = UL_DDTYPE_INT | UL_DDTYPE_FIXED;
constexpr unsigned kChar = UL_DDTYPE_CHAR;
constexpr unsigned kFixedChar = UL_DDTYPE_CHAR | UL_DDTYPE_FIXED;
constexpr unsigned kDate = UL_DDTYPE_CHAR | UL_DDTYPE_FIXED | UL_DDTYPE_DATETIME;
constexpr unsigned kRaw = UL_DDTYPE_RAW;
constexpr unsigned kNumber = UL_DDTYPE_NUMBER;
constexpr unsigned kFixedNumber = UL_DDTYPE_NUMBER | UL_DDTYPE_FIXED;
constexpr unsigned kLongChar = UL_DDTYPE_CHAR | UL_DDTYPE_LOB;
constexpr unsigned kLongRaw = UL_DDTYPE_RAW | UL_DDTYPE_LOB;
constexpr unsigned kSpatial = UL_DDTYPE_RAW | UL_DDTYPE_LOB | UL_DDTYPE_SPATIAL;

constexpr int P = DBIF_TYPE_PACKED, F = DBIF_TYPE_FLOAT, R = DBIF_TYPE_RAW, N = DBIF_TYPE_DECIMAL,
              L = DBIF_TYPE_LONGCHAR, B = DBIF_TYPE_BLOB, C = DBIF_TYPE_CHAR,
              D16 = DBIF_TYPE_DECFLOAT16, D34 = DBIF_TYPE_DECFLOAT34, I = DBIF_TYPE_INT;

// The named types in code order. Numbers keep their digits as dictionary length; decimal
// floating point stored raw or packed keeps its own digits (16 or 34, 31 packed).
constexpr ul_ldddictype_t kNamedTypes[] = {
    {4, u"NUM", N, 0, 0, kNumber},
    {8, u"PACK", P, 0, 0, kNumber},
    {12, u"BIT", R, 1, 0, kRaw},
    {16, u"BIN", R, 0, 0, kRaw},
    {20, u"CURR", P, 0, 0, kNumber},
    {24, u"DAT1", C, 8, 0, kDate},
    {28, u"DAT2", C, 8, 0, kDate},
    {32, u"TIME", C, 6, 0, kDate},
    {36, u"SLM", C, 0, 0, kChar},
    {40, u"CHAR", C, 0, 0, kChar},
    {44, u"DATE", C, 8, 0, kDate},
    {48, u"BUP1", R, 0, 0, kRaw},
    {52, u"BUP2", R, 0, 0, kRaw},
    {56, u"BUPE", R, 0, 0, kRaw},
    {60, u"HEX", R, 0, 0, kRaw},
    {64, u"CUKY", C, 5, 0, kFixedChar},
    {66, u"D16R", R, 16, 8, kFixedNumber},
    {68, u"UNIT", C, 3, 0, kFixedChar},
    {70, u"D34R", R, 34, 16, kFixedNumber},
    {72, u"QUAN", P, 0, 0, kNumber},
    {74, u"D16D", P, 16, 0, kFixedNumber},
    {76, u"SHKZ", C, 1, 0, kFixedChar},
    {78, u"D34D", P, 31, 0, kFixedNumber},
    {80, u"LANG", C, 1, 0, kFixedChar},
    {82, u"D16S", R, 16, 8, kFixedNumber},
    {84, u"CURC", C, 5, 0, kFixedChar},
    {86, u"D34S", R, 34, 16, kFixedNumber},
    {88, u"QUAC", C, 3, 0, kFixedChar},
    {90, u"BREF", R, 0, 0, kRaw},
    {92, u"RECL", R, 0, 0, kRaw},
    {94, u"NODE", C, 0, 0, kChar},
    {96, u"SGID", R, 0, 0, kRaw},
    {98, u"D16N", D16, 16, 8, kFixedNumber},
    {100, u"DAT8", C, 8, 0, kDate},
    {102, u"D34N", D34, 34, 16, kFixedNumber},
    {104, u"TEXT", L, 0, 0, kLongChar},
    {106, u"DATN", C, 10, 0, kDate},
    {108, u"BUP8", R, 0, 0, kRaw},
    {110, u"UTCL", C, 27, 0, UL_DDTYPE_CHAR | UL_DDTYPE_DATETIME},
    {112, u"BUP9", R, 0, 0, kRaw},
    {114, u"TIMN", C, 8, 0, kDate},
    {116, u"DEBI", P, 0, 0, kNumber},
    {118, u"GGM1", B, 0, 0, kSpatial},
    {120, u"CRED", P, 0, 0, kNumber},
    {122, u"GPT1", B, 0, 0, kSpatial},
    {124, u"DBCR", C, 1, 0, kFixedChar},
    {128, u"MAND", C, 3, 0, kFixedChar},
    {132, u"VARC", C, 0, 0, kChar},
    {136, u"FLTP", F, 16, 8, kFixedNumber},
    {140, u"DATI", C, 14, 0, kDate},
    {144, u"FLDL", I, 5, 2, kInt},
    {148, u"ACCP", C, 6, 0, kFixedChar},
    {152, u"CLNT", C, 3, 0, kFixedChar | UL_DDTYPE_CLIENT},
    {156, u"DATS", C, 8, 0, kDate},
    {160, u"DEC", P, 0, 0, kNumber},
    {164, u"INT1", I, 3, 1, kInt},
    {168, u"INT2", I, 5, 2, kInt},
    {172, u"INT4", I, 10, 4, kInt},
    {176, u"NUMC", C, 0, 0, kChar},
    {180, u"PREC", I, 5, 2, kInt},
    {184, u"RAW", R, 0, 0, kRaw},
    {188, u"TIMS", C, 6, 0, kDate},
    {192, u"TMST", P, 15, 0, kFixedNumber | UL_DDTYPE_DATETIME},
    {196, u"LCHR", L, 0, 0, kLongChar},
    {200, u"LRAW", B, 0, 0, kLongRaw},
    {204, u"STR1", C, 0, 0, kChar},
    {208, u"STR2", C, 0, 0, kChar},
    {212, u"TTAB", R, 0, 0, kRaw},
    {216, u"OREF", R, 0, 0, kRaw},
    {220, u"DREF", R, 0, 0, kRaw},
    {224, u"IREF", R, 0, 0, kRaw},
    {228, u"STRG", L, 0, 0, kLongChar},
    {232, u"RSTR", B, 0, 0, kLongRaw},
    {236, u"SSTR", C, 0, 0, kChar},
    {240, u"SRST", R, 0, 0, kRaw},
    {244, u"INT8", I, 19, 8, kInt},
};

constexpr int kFirstCode = 4;
constexpr size_t kExtraSlot = UL_DDICTYPE_COUNT - 1;  // GPT1 after the run of codes

constexpr std::array<ul_ldddictype_t, UL_DDICTYPE_COUNT> buildTable() {
    std::array<ul_ldddictype_t, UL_DDICTYPE_COUNT> table{};
    for (size_t i = 0; i < kExtraSlot; ++i)
        table[i] = {kFirstCode + 2 * static_cast<int>(i), nullptr, -1, 0, 0, 0};
    for (const ul_ldddictype_t& t : kNamedTypes)
        table[t.code == UL_DDIC_GPT1 ? kExtraSlot : static_cast<size_t>(t.code - kFirstCode) / 2] =
            t;
    return table;
}

constexpr std::array<ul_ldddictype_t, UL_DDICTYPE_COUNT> kTable = buildTable();

// ---- sharing types --------------------------------------------------------------------------

constexpr const char16_t* kShareTypes[] = {u"",         u"local", u"shared",
                                           u"readonly", u"clone", u"switch"};

size_t stringSize(const std::u16string& s) {
    return s.capacity() > 7 ? (s.capacity() + 1) * sizeof(char16_t) : 0;
}

size_t stringsSize(const std::vector<std::u16string>& list) {
    size_t size = list.capacity() * sizeof(std::u16string);
    for (const std::u16string& s : list) size += stringSize(s);
    return size;
}

void shrinkStrings(std::vector<std::u16string>* list) {
    for (std::u16string& s : *list) s.shrink_to_fit();
    list->shrink_to_fit();
}

const char16_t* kindName(int kind) {
    return kind == UL_LDOBJ_INDEX ? u"index" : u"table";
}

}  // namespace

// ---- dictionary types -----------------------------------------------------------------------

const ul_ldddictype_t* ul_ldobjddictypes() {
    return kTable.data();
}

const ul_ldddictype_t* ul_ldobjtype_info(int code) {
    if (code == UL_DDIC_GPT1) return &kTable[kExtraSlot];
    if (code < kFirstCode || code % 2 != 0) return nullptr;
    const size_t slot = static_cast<size_t>(code - kFirstCode) / 2;
    if (slot >= kExtraSlot || !kTable[slot].name) return nullptr;
    return &kTable[slot];
}

int ul_ldobjtype_string2ddic(const char16_t* name) {
    for (const ul_ldddictype_t& t : kNamedTypes)
        if (name && ul_stricmp(name, t.name) == 0) return t.code;
    ul_errorsetmsgfmt(0, u"Unknown type '%s'", name ? name : u"");
    return UL_ERROR_RETURN(-1);
}

const char16_t* ul_ldobjtype_ddic2string(int code) {
    const ul_ldddictype_t* t = ul_ldobjtype_info(code);
    if (t) return t->name;
    ul_errorsetmsgfmt(0, u"Unknown DDIC type #%d", code);
    return UL_ERROR_RETURN(nullptr);
}

unsigned ULLDObjField::getDefaultLength(int type) {
    const ul_ldddictype_t* t = ul_ldobjtype_info(type);
    return t ? t->defaultLength : 0;
}

bool ULLDObjField::isINTField(int type) {
    const ul_ldddictype_t* t = ul_ldobjtype_info(type);
    return t && (t->flags & UL_DDTYPE_INT);
}

bool ULLDObjField::isCharField(int type) {
    const ul_ldddictype_t* t = ul_ldobjtype_info(type);
    return t && (t->flags & UL_DDTYPE_CHAR);
}

bool ULLDObjField::isRAWField(int type) {
    const ul_ldddictype_t* t = ul_ldobjtype_info(type);
    return t && (t->flags & UL_DDTYPE_RAW);
}

bool ULLDObjField::isLOBField(int type) {
    const ul_ldddictype_t* t = ul_ldobjtype_info(type);
    return t && (t->flags & UL_DDTYPE_LOB);
}

// ---- sharing types --------------------------------------------------------------------------

int ul_ldobjshrtypecode(const char16_t* name) {
    for (size_t i = 1; name && i < std::size(kShareTypes); ++i)
        if (ul_stricmp(name, kShareTypes[i]) == 0) return static_cast<int>(i);
    ul_errorsetmsgfmt(0, u"Unknown sharing type '%s'", name ? name : u"");
    return UL_ERROR_RETURN(-1);
}

const char16_t* ul_ldobjshrtypedecode(int code) {
    if (code >= 0 && code < static_cast<int>(std::size(kShareTypes))) return kShareTypes[code];
    ul_errorsetmsgfmt(0, u"Unsupported sharing type #%d", code);
    return UL_ERROR_RETURN(nullptr);
}

// ---- lists ----------------------------------------------------------------------------------

int ULLDBaseObjList::addEntry(const char16_t* name) {
    return ul_guarded([&] {
        names_.emplace_back(name ? name : u"");
        return 0;
    });
}

int ULLDBaseObjList::copy(const ULLDBaseObjList& other) {
    return ul_guarded([&] {
        names_ = other.names_;
        return 0;
    });
}

void ULLDBaseObjList::shrink() {
    // Releasing spare capacity is an optimisation; without memory it is skipped.
    ul_tryquietly([&] { shrinkStrings(&names_); });
}

size_t ULLDBaseObjList::getSelfSize() const {
    return stringsSize(names_);
}

int ULLDDBIFist::addEntry(int dbType, bool include) {
    const int found = findEntry(dbType);
    if (found >= 0) {
        entries_[static_cast<size_t>(found)].include = include;
        return 0;
    }
    return ul_guarded([&] {
        entries_.push_back({include, dbType});
        return 0;
    });
}

int ULLDDBIFist::findEntry(int dbType) const {
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].dbType == dbType) return static_cast<int>(i);
    return -1;
}

int ULLDDBIFist::removeEntry(int dbType) {
    const int found = findEntry(dbType);
    if (found < 0) return 0;
    entries_.erase(entries_.begin() + found);
    return 1;
}

bool ULLDDBIFist::matches(int dbType) const {
    bool anyIncluded = false;
    for (const Entry& e : entries_) {
        if (e.dbType == dbType) return e.include;
        anyIncluded = anyIncluded || e.include;
    }
    return !anyIncluded;
}

bool ULLDDBIFist::matches(const ULLDDBIFist& other) const {
    for (size_t i = 0; i < SQLDBSupportCount; ++i) {
        const int type = SQLDBSupport[i].type;
        if (matches(type) && other.matches(type)) return true;
    }
    return false;
}

// ---- structure ------------------------------------------------------------------------------

int ULLDObjStructure::reallocNrFields(unsigned n) {
    return ul_guarded([&] {
        if (n > fields.size()) fields.reserve(n);
        return 0;
    });
}

int ULLDObjStructure::addField(const ULLDObjField& field) {
    return ul_guarded([&] {
        fields.push_back(field);
        return static_cast<int>(fields.size() - 1);
    });
}

unsigned ULLDObjStructure::countKeyFields() const {
    return static_cast<unsigned>(std::count_if(fields.begin(), fields.end(),
                                               [](const ULLDObjField& f) { return f.keyPos; }));
}

int ULLDObjStructure::checkFieldConsistency(int kind, const char16_t* objectName) const {
    if (fields.empty()) {
        ul_errorsetmsgfmt(0, u"Missing field description for %s \"%s\"", kindName(kind),
                          objectName);
        return UL_ERROR_RETURN(-1);
    }
    const unsigned keys = countKeyFields();
    for (unsigned i = 0; i < fields.size(); ++i) {
        const bool shouldBeKey = i < keys;
        if ((fields[i].keyPos != 0) != shouldBeKey) {
            ul_errorsetmsgfmt(0, u"Expected field #%d '%s' to %sbe a key field for '%s'",
                              static_cast<int>(i) + 1, fields[i].name.c_str(),
                              shouldBeKey ? u"" : u"not ", objectName);
            return UL_ERROR_RETURN(-1);
        }
    }
    return static_cast<int>(keys);
}

// ---- object ---------------------------------------------------------------------------------

void ULLDObject::clear() {
    *this = ULLDObject();
}

int ULLDObject::findField(const char16_t* fieldName) const {
    for (size_t i = 0; fieldName && i < structure.fields.size(); ++i)
        if (structure.fields[i].name == fieldName) return static_cast<int>(i);
    return -1;
}

int ULLDObject::setupTableObj(const char16_t* tableNameIn) {
    clear();
    return ul_guarded([&] {
        kind = UL_LDOBJ_TABLE;
        name = tableNameIn ? tableNameIn : u"";
        return 0;
    });
}

int ULLDObject::setupIndexObj(const char16_t* indexName, const char16_t* table, bool unique) {
    clear();
    return ul_guarded([&] {
        kind = UL_LDOBJ_INDEX;
        name = indexName ? indexName : u"";
        tableName = table ? table : u"";
        index.unique = unique;
        return 0;
    });
}

int ULLDObject::copy_table2indexbase(ULLDObject* target) const {
    const bool unique = target->index.unique;
    const std::u16string indexName = target->name;
    if (target->setupIndexObj(indexName.c_str(), name.c_str(), unique) < 0)
        return UL_ERROR_RETURN(-1);
    return ul_guarded([&] {
        target->attributes.tabart = attributes.tabart;
        target->attributes.tabkat = attributes.tabkat;
        target->attributes.tempTable = attributes.tempTable;
        target->databases = databases;
        return 0;
    });
}

int ULLDObject::copy_tablekeys2prkey(ULLDObject* prkey) const {
    const unsigned keys = structure.countKeyFields();
    if (keys == 0) {
        ul_errorsetmsgfmt(0, u"Table '%s' has no key fields for a primary key", name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    prkey->clear();
    return ul_guarded([&] {
        prkey->kind = UL_LDOBJ_PRKEY;
        prkey->name = attributes.pkeyName.empty() ? name + u"~0" : attributes.pkeyName;
        prkey->tableName = name;
        prkey->attributes.tabart = attributes.pkeyTabart;
        prkey->attributes.tabkat = attributes.pkeyTabkat;
        prkey->attributes.pkeyInvHash = attributes.pkeyInvHash;
        prkey->databases = databases;
        for (const ULLDObjField& f : structure.fields)
            if (f.keyPos) prkey->structure.fields.push_back(f);
        std::stable_sort(
            prkey->structure.fields.begin(), prkey->structure.fields.end(),
            [](const ULLDObjField& a, const ULLDObjField& b) { return a.keyPos < b.keyPos; });
        prkey->structure.nkeys = keys;
        prkey->options.nkeys = keys;
        return 0;
    });
}

void ULLDObject::shrink() {
    // Releasing spare capacity is an optimisation; without memory it is skipped.
    ul_tryquietly([&] {
        name.shrink_to_fit();
        tableName.shrink_to_fit();
        references.shrink();
        databases.shrink();
        for (ULLDObjField& f : structure.fields) f.name.shrink_to_fit();
        structure.fields.shrink_to_fit();
        shrinkStrings(&index.indatt);
        shrinkStrings(&createStatements);
        shrinkStrings(&dropStatements);
        query.shrink_to_fit();
        varQuery.shrink_to_fit();
    });
}

size_t ULLDObject::getSelfSize() const {
    size_t size = sizeof(*this) + stringSize(name) + stringSize(tableName) +
                  stringSize(attributes.tabart) + stringSize(attributes.tabkat) +
                  stringSize(attributes.pkeyName) + stringSize(attributes.pkeyTabart) +
                  stringSize(attributes.pkeyTabkat) + stringSize(options.infoId) +
                  references.getSelfSize() + databases.count() * sizeof(ULLDDBIFist::Entry) +
                  stringsSize(index.indatt) + stringsSize(createStatements) +
                  stringsSize(dropStatements) + stringSize(query) + stringSize(varQuery) +
                  stringSize(objTypeName);
    size += structure.fields.capacity() * sizeof(ULLDObjField);
    for (const ULLDObjField& f : structure.fields) size += stringSize(f.name);
    return size;
}

unsigned ULLDObject::getPackedKeyFields() const {
    const unsigned keys = structure.nkeys ? structure.nkeys : structure.countKeyFields();
    if (structure.npackedkeys) return std::min(structure.npackedkeys, keys);
    if (keys == 0 || keys > structure.fields.size()) return keys;
    const ULLDObjField& lastKey = structure.fields[keys - 1];
    if (attributes.tabClass == u'C' && lastKey.name == u"PAGENO") return keys - 1;
    const int lastType = structure.fields.back().ddicType;
    if (lastKey.name == u"BLOCKNR" && (lastType == UL_DDIC_RAW || lastType == UL_DDIC_LRAW))
        return keys - 1;
    return keys;
}

// ---- field layout ---------------------------------------------------------------------------

int ul_ldcalcfieldtypes(ULLDObject* object) {
    const bool keepGiven = UL_SQLGlobalFlags & UL_SQLFLAG_IGNOREDDICTYPE;
    for (ULLDObjField& f : object->structure.fields) {
        if (keepGiven && f.dbType >= 0) continue;
        const ul_ldddictype_t* t = ul_ldobjtype_info(f.ddicType);
        if (!t) {
            ul_errorsetmsgfmt(0, u"Unknown DDIC type #%d", f.ddicType);
            return UL_ERROR_RETURN(-1);
        }
        f.dbType = t->dbType;
        if (t->dbLength) {
            f.dbLength = t->dbLength;
        } else if (t->dbType == DBIF_TYPE_PACKED) {
            f.dbLength = f.digits ? f.digits : f.length;
            if (f.dbLength == 0) {
                ul_errorsetmsgfmt(0, u"Field '%s' of '%s' needs a length", f.name.c_str(),
                                  object->name.c_str());
                return UL_ERROR_RETURN(-1);
            }
        } else {
            f.dbLength = f.length;
        }
    }
    return 0;
}

namespace {

// Bytes and alignment of a field in the row buffer. Long and unbounded values are held by a
// reference of 8 bytes.
void fieldLayout(const ULLDObjField& f, unsigned* bytes, unsigned* align) {
    *align = 1;
    switch (f.dbType) {
        case DBIF_TYPE_INT:
            *bytes = *align = f.dbLength;
            return;
        case DBIF_TYPE_FLOAT:
        case DBIF_TYPE_DECFLOAT16:
        case DBIF_TYPE_DECFLOAT34:
            *bytes = f.dbType == DBIF_TYPE_DECFLOAT34 ? 16 : 8;
            *align = 8;
            return;
        case DBIF_TYPE_PACKED:
            *bytes = f.dbLength / 2 + 1;
            return;
        case DBIF_TYPE_CHAR:
            *bytes = f.dbLength * 2;
            *align = 2;
            break;
        case DBIF_TYPE_RAW:
            *bytes = f.dbLength;
            break;
        default:
            *bytes = 0;
            break;
    }
    if (*bytes == 0) *bytes = *align = 8;
}

}  // namespace

long ul_ldcalcfieldoffsets(ULLDObject* object) {
    std::vector<ULLDObjField>& fields = object->structure.fields;
    unsigned long offset = 0;
    for (ULLDObjField& f : fields) {
        unsigned align = 1;
        fieldLayout(f, &f.byteLength, &align);
        offset = (offset + align - 1) / align * align;
        f.byteOffset = static_cast<unsigned>(offset);
        offset += f.byteLength;
    }
    if (!(UL_SQLGlobalFlags & UL_SQLFLAG_CHECKOBJNTOFFSETS)) return static_cast<long>(offset);
    for (int nt = 0; nt < 2; ++nt) {
        const ULLDObjField* previous = nullptr;
        for (const ULLDObjField& f : fields) {
            if (f.ntOffset[nt] < 0) continue;
            if (previous &&
                static_cast<long>(previous->ntOffset[nt]) + previous->byteLength > f.ntOffset[nt]) {
                ul_errorsetmsgfmt(
                    0, u"Nametab #%d offset %d of field '%s' overlaps field '%s' in '%s'", nt + 1,
                    f.ntOffset[nt], f.name.c_str(), previous->name.c_str(), object->name.c_str());
                return UL_ERROR_RETURN(-1);
            }
            previous = &f;
        }
    }
    return static_cast<long>(offset);
}

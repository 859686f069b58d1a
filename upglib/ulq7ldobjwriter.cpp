#include "ulq7ldobjwriter.h"

#include <algorithm>
#include <iterator>

#include "ulcrc.h"
#include "ulerror.h"
#include "ulq7ldobjreader.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulstring.h"
#include "ulstring2.h"

namespace {

constexpr const char16_t* kVersionText[] = {
    nullptr,
    u"1 - initial format.",
    u"2 - row store flags.",
    u"3 - CDS views.",
    u"4 - global temporary table.",
    u"5 - full-text index for Zentra.",
    u"6 - primary key can be defined as inverted hash index.",
    u"7 - session variables.",
    u"8 - templates for sharing types.",
    u"9 - escaped newline etc. in SQL strings in 'crestm:'/'drpstm:'.",
    u"10 - DRUL support. -input, -template parameters.",
    u"11 - Add field offsets from both nametabs for decompose.",
    u"12 - Add nametab area sizes from both nametabs.",
    u"13 - Adapt generic index names to database name.",
    u"14 - named attributes in 'fld:' lines.",
    u"15 - named attributes in 'att:' lines.",
    u"16 - no default field length.",
    u"17 - client position.",
    u"18 - logical table types.",
};
static_assert(std::size(kVersionText) == UL_LDSTR_WRITEVERSION + 1);

// Versions that changed what the writer may put into a file.
constexpr unsigned kVerStore = 2, kVerViews = 3, kVerTemp = 4, kVerFlexIndex = 5, kVerInvHash = 6,
                   kVerSessionVars = 7, kVerSharing = 8, kVerEscaped = 9, kVerDepRules = 10,
                   kVerOffsets = 11, kVerAreaSizes = 12, kVerNamedFields = 14, kVerNamedAtt = 15,
                   kVerNoDefaultLen = 16, kVerClientPos = 17, kVerLogicalTypes = 18;

// Minimum widths of positional columns; longer values widen their column instead of being cut.
constexpr size_t kPosNameWidth = 33;
constexpr size_t kPosTabartWidth = 6;
constexpr size_t kPosTabkatWidth = 3;
constexpr size_t kPosStoreWidth = 6;
constexpr size_t kNamedFieldWidth = 10;

struct ObjectTypeVersion {
    const char16_t* name;
    unsigned minVersion;
};
constexpr ObjectTypeVersion kObjectTypes[] = {
    {u"VIEW", 0},         {u"AMDP", kVerViews},       {u"FLEXINDEX", kVerFlexIndex},
    {u"DDBF", kVerViews}, {u"SVAR", kVerSessionVars}, {u"DRUL", kVerDepRules},
    {u"DTDC", kVerViews}, {u"GENERIC", kVerViews},    {u"INVALID", kVerViews},
    {u"UNDF", kVerViews},
};

// The lowest version whose field lines can carry a dictionary type: decimal floating point came
// with the views of version 3; the types that need the time-stamp variant or the spatial
// reference id exist only with the named field attributes.
unsigned typeMinVersion(int code) {
    switch (code) {
        case 66:   // D16R
        case 70:   // D34R
        case 74:   // D16D
        case 78:   // D34D
        case 82:   // D16S
        case 86:   // D34S
        case 98:   // D16N
        case 102:  // D34N
            return kVerViews;
        case 106:  // DATN
        case 110:  // UTCL
        case 114:  // TIMN
        case 118:  // GGM1
        case UL_DDIC_GPT1:
            return kVerNamedFields;
        default:
            return 0;
    }
}

// Whether a name needs quotes or escapes; every other name is written as it is.
bool needsEscape(const std::u16string& name) {
    if (name.empty()) return true;
    for (char16_t c : name)
        if (ul_isspace(c) || c == u'"' || c == u'\'' || c == u'\\') return true;
    return false;
}

// Whether a reader of the raw statement lines of old versions would take this line (the text
// after a line feed, up to the next) for the end of the statement.
bool endsRawStatement(const char16_t* line, const char16_t* end) {
    while (line < end && ul_isspace(*line)) ++line;
    if (line == end || *line == u'#') return true;
    const char16_t* word = line;
    while (line < end && !ul_isspace(*line)) ++line;
    return ul_ldobjsectionid(word, static_cast<size_t>(line - word)) != UL_LDSEC_NONE;
}

// Feeds text into the CRC register, each code unit high byte first, and with terminate a zero
// code unit behind it, so that consecutive texts cannot run into each other.
unsigned crcText(unsigned crc, const char16_t* text, size_t length, bool terminate = true) {
    unsigned char bytes[256];
    size_t n = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length && !terminate) break;
        char16_t c = i < length ? text[i] : 0;
        bytes[n++] = static_cast<unsigned char>(c >> 8);
        bytes[n++] = static_cast<unsigned char>(c & 0xFF);
        if (n == sizeof bytes) {
            crc = ul_crccalc(crc, bytes, n);
            n = 0;
        }
    }
    return ul_crccalc(crc, bytes, n);
}

const char16_t* storeName(int store) {
    return store == UL_ZDBSTORE_COLUMN ? u"column" : store == UL_ZDBSTORE_ROW ? u"row" : nullptr;
}

}  // namespace

long ul_ldobjchecksum(const ULLDObject& object) {
    const unsigned kind = static_cast<unsigned>(object.kind);
    const unsigned char kindBytes[4] = {
        static_cast<unsigned char>(kind >> 24), static_cast<unsigned char>(kind >> 16),
        static_cast<unsigned char>(kind >> 8), static_cast<unsigned char>(kind)};
    unsigned crc = ul_crccalc(UL_CRC_INIT, kindBytes, sizeof kindBytes);
    crc = crcText(crc, object.name.data(), object.name.size());
    if (object.kind == UL_LDOBJ_INDEX || object.kind == UL_LDOBJ_PRKEY)
        crc = crcText(crc, object.tableName.data(), object.tableName.size());
    for (size_t i = 0; i < object.databases.count(); ++i) {
        const ULLDDBIFist::Entry& entry = object.databases.entry(i);
        const char16_t* code = ul_sqlgetstringfromdbatype(entry.dbType);
        if (!code) return UL_ERROR_RETURN(-1);
        if (!entry.include) crc = crcText(crc, u"!", 1, false);
        crc = crcText(crc, code, ul_strlen(code));
    }
    return static_cast<long>(crc);
}

// ---- output buffer --------------------------------------------------------------------------

void ULLDObjWriter::put(const char16_t* text) {
    m_block.append(text);
}

void ULLDObjWriter::put(const std::u16string& text) {
    m_block.append(text);
}

void ULLDObjWriter::putChar(char16_t c) {
    m_block.push_back(c);
}

void ULLDObjWriter::pad(size_t start, size_t width) {
    size_t used = m_block.size() - start;
    if (used < width) m_block.append(width - used, u' ');
}

void ULLDObjWriter::putNumber(long value, size_t width) {
    char16_t digits[24];
    size_t n = 0;
    unsigned long magnitude =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char16_t>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) digits[n++] = u'-';
    if (n < width) m_block.append(width - n, u' ');
    while (n) m_block.push_back(digits[--n]);
}

void ULLDObjWriter::putOffset(int offset, size_t width) {
    if (offset >= 0) {
        putNumber(offset, width);
        return;
    }
    if (width > 1) m_block.append(width - 1, u' ');
    putChar(u'-');
}

void ULLDObjWriter::putPhrase(const char16_t* phrase, long value) {
    m_block.append(phrase);
    putNumber(value, 0);
}

void ULLDObjWriter::putPhrase(const char16_t* phrase, const char16_t* value) {
    m_block.append(phrase);
    m_block.append(value);
}

void ULLDObjWriter::putNamedClass(const char16_t* tabartPhrase, const std::u16string& tabart,
                                  const char16_t* tabkatPhrase, const std::u16string& tabkat) {
    if (!tabart.empty()) putPhrase(tabartPhrase, tabart.c_str());
    if (!tabkat.empty()) putPhrase(tabkatPhrase, tabkat.c_str());
}

void ULLDObjWriter::putBufState(const ULLDObjAttributes& attributes) {
    putChar(attributes.bufState[0] ? attributes.bufState[0] : u'?');
    putChar(attributes.bufState[1] ? attributes.bufState[1] : u'?');
}

int ULLDObjWriter::putShareType(const char16_t* phrase, int code) {
    const char16_t* name = ul_ldobjshrtypedecode(code);
    if (!name) return UL_ERROR_RETURN(-1);
    putPhrase(phrase, name);
    return 0;
}

void ULLDObjWriter::endOptionalLine(size_t start, size_t contentStart) {
    if (m_block.size() == contentStart)
        m_block.resize(start);
    else
        putChar(u'\n');
}

int ULLDObjWriter::putName(const std::u16string& name, const ULLDObject& object) {
    if (!needsEscape(name)) {
        bool quote = m_version >= kVerEscaped && (UL_SQLGlobalFlags & UL_SQLFLAG_Q7LDFORCEQUOTING);
        if (quote) putChar(u'"');
        put(name);
        if (quote) putChar(u'"');
        return 0;
    }
    if (m_version < kVerEscaped) {
        ul_errorsetmsgfmt(0, u"Name '%s' of '%s' cannot be written with STR version %d",
                          name.c_str(), object.name.c_str(), static_cast<int>(m_version));
        return UL_ERROR_RETURN(-1);
    }
    bool force = (UL_SQLGlobalFlags & UL_SQLFLAG_Q7LDFORCEQUOTING) != 0;
    return putEscaped(name, force);
}

int ULLDObjWriter::putEscaped(const std::u16string& text, bool forceQuotes) {
    // Every character takes at most two code units, plus the quotes and the terminator.
    m_escape.resize(2 * text.size() + 3);
    int n = ul_stringgenescape(m_escape.data(), m_escape.size(), text.c_str(), 0, UL_ESCAPE_C);
    if (n < 0) return UL_ERROR_RETURN(-1);
    bool quote = forceQuotes && m_escape[0] != u'"';
    if (quote) putChar(u'"');
    m_block.append(m_escape.data(), static_cast<size_t>(n));
    if (quote) putChar(u'"');
    return 0;
}

int ULLDObjWriter::flushBlock() {
    int rc = m_file.write(m_block.data(), m_block.size());
    m_block.clear();
    return rc;
}

// ---- file -----------------------------------------------------------------------------------

int ULLDObjWriter::open(const char16_t* file, unsigned version, int flags) {
    if (checkVersion(version) < 0) return UL_ERROR_RETURN(-1);
    if (m_file.open(file) < 0) return UL_ERROR_RETURN(-1);
    return start(version, flags);
}

int ULLDObjWriter::attach(FILE* stream, const char16_t* name, unsigned version, int flags) {
    if (checkVersion(version) < 0) return UL_ERROR_RETURN(-1);
    m_file.attach(stream, name);
    return start(version, flags);
}

int ULLDObjWriter::checkVersion(unsigned version) {
    if (version <= UL_LDSTR_WRITEVERSION) return 0;
    ul_errorsetmsgfmt(0, u"STR version %d not supported by this Q7ldctl",
                      static_cast<int>(version));
    return UL_ERROR_RETURN(-1);
}

int ULLDObjWriter::start(unsigned version, int flags) {
    m_version = version;
    m_flags = flags;
    m_block.clear();
    if (version == 0) return 0;
    return ul_guarded([&] {
        put(u"# Versions:\n");
        if (version > 5) put(u"#   ...\n");
        for (unsigned v = version > 5 ? version - 4 : 1; v <= version; ++v) {
            put(u"#    ");
            put(kVersionText[v]);
            putChar(u'\n');
        }
        putPhrase(u"ver: ", static_cast<long>(version));
        putChar(u'\n');
        return flushBlock();
    });
}

int ULLDObjWriter::close() {
    m_block.clear();
    return m_file.close();
}

// ---- objects --------------------------------------------------------------------------------

int ULLDObjWriter::writeObject(const ULLDObject& object) {
    m_block.clear();
    int rc = ul_guarded([&] {
        if (writeHeader(object) < 0) return UL_ERROR_RETURN(-1);
        switch (object.kind) {
            case UL_LDOBJ_TABLE:
                return writeTable(object);
            case UL_LDOBJ_INDEX:
                return writeIndex(object);
            case UL_LDOBJ_PRKEY:
                return writePrimaryKey(object);
            case UL_LDOBJ_VIEW:
            case UL_LDOBJ_GENERIC:
                return writeView(object);
        }
        return 0;
    });
    if (rc < 0) {
        m_block.clear();  // nothing of a refused object reaches the file
        return UL_ERROR_RETURN(-1);
    }
    return flushBlock();
}

int ULLDObjWriter::writeHeader(const ULLDObject& object) {
    const char16_t* keyword = nullptr;
    switch (object.kind) {
        case UL_LDOBJ_TABLE:
            keyword = u"\ntab: ";
            break;
        case UL_LDOBJ_INDEX:
            keyword = u"\nind: ";
            break;
        case UL_LDOBJ_PRKEY:
            keyword = u"\npky: ";
            break;
        case UL_LDOBJ_VIEW:
            keyword = u"\nvie: ";
            break;
        case UL_LDOBJ_GENERIC:
            keyword = u"\nobj: ";
            break;
        default:
            ul_errorsetmsgfmt(0, u"Cannot write object '%s' of unknown kind %d",
                              object.name.c_str(), object.kind);
            return UL_ERROR_RETURN(-1);
    }
    put(keyword);
    if (putName(object.name, object) < 0) return UL_ERROR_RETURN(-1);
    putChar(u'\n');

    if (object.databases.count()) {
        put(u"dbs:");
        for (size_t i = 0; i < object.databases.count(); ++i) {
            const ULLDDBIFist::Entry& entry = object.databases.entry(i);
            const char16_t* code = ul_sqlgetstringfromdbatype(entry.dbType);
            if (!code) return UL_ERROR_RETURN(-1);
            putChar(u' ');
            if (!entry.include) putChar(u'!');
            put(code);
        }
        putChar(u'\n');
    }
    if (m_flags & UL_LDWRITE_CRC) {
        long crc = ul_ldobjchecksum(object);
        if (crc < 0) return UL_ERROR_RETURN(-1);
        char16_t line[24];
        ul_sprintf(line, std::size(line), u"crc: %0*lx\n", 8, crc);
        put(line);
    }
    return 0;
}

int ULLDObjWriter::writeReferences(const ULLDObject& object) {
    if (!object.references.count()) return 0;
    put(u"ref:");
    for (size_t i = 0; i < object.references.count(); ++i) {
        putChar(u' ');
        if (putName(object.references.entry(i), object) < 0) return UL_ERROR_RETURN(-1);
    }
    putChar(u'\n');
    return 0;
}

// Data class and size category in positional form: "NATIV" and "-" stand for none.
void ULLDObjWriter::putPositionalClass(const std::u16string& tabart, const std::u16string& tabkat,
                                       bool padTabkat) {
    putChar(u' ');
    size_t start = m_block.size();
    put(tabart.empty() ? u"NATIV" : tabart.c_str());
    pad(start, kPosTabartWidth);
    putChar(u' ');
    start = m_block.size();
    put(tabkat.empty() ? u"-" : tabkat.c_str());
    if (padTabkat) pad(start, kPosTabkatWidth);
}

int ULLDObjWriter::writeTable(const ULLDObject& object) {
    if (writeTableAttributes(object) < 0) return UL_ERROR_RETURN(-1);
    if (writeTableOptions(object) < 0) return UL_ERROR_RETURN(-1);
    if (writeReferences(object) < 0) return UL_ERROR_RETURN(-1);
    for (const ULLDObjField& field : object.structure.fields)
        if (writeField(object, field) < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

int ULLDObjWriter::writeTableAttributes(const ULLDObject& object) {
    const ULLDObjAttributes& a = object.attributes;
    put(u"att:");
    if (m_version < kVerNamedAtt) {
        putPositionalClass(a.tabart, a.tabkat, true);
        putChar(u' ');
        putBufState(a);
        putChar(u' ');
        putChar(a.tabClass ? a.tabClass : u'?');
        if (m_version >= kVerSharing && putShareType(u" S", a.shrType) < 0)
            return UL_ERROR_RETURN(-1);
        if (m_version >= kVerStore) {
            putChar(u' ');
            size_t start = m_block.size();
            const char16_t* store = storeName(a.zdbStore);
            put(store ? store : u"-");
            pad(start, kPosStoreWidth);
        }
        if (m_version >= kVerTemp && a.tempTable) put(u" _temporary");
        if (m_version >= kVerInvHash && a.pkeyInvHash) put(u" pkey_invhash");
        if (!a.pkeyName.empty()) {
            putChar(u' ');
            size_t start = m_block.size();
            if (putName(a.pkeyName, object) < 0) return UL_ERROR_RETURN(-1);
            pad(start, kPosNameWidth);
            putPositionalClass(a.pkeyTabart, a.pkeyTabkat, false);
        }
        putChar(u'\n');
        return 0;
    }
    putNamedClass(u" tabart=", a.tabart, u" tabkat=", a.tabkat);
    if (a.bufState[0] || a.bufState[1]) {
        put(u" bufstate=");
        putBufState(a);
    }
    if (a.tabClass) {
        put(u" tabclass=");
        putChar(a.tabClass);
    }
    if (const char16_t* store = storeName(a.zdbStore)) putPhrase(u" zdbstore=", store);
    if (a.tempTable) put(u" temp_table=true");
    if (a.pkeyInvHash) put(u" pkey_invhash=true");
    if (a.shrType != UL_SHRTYPE_NONE && putShareType(u" shr_type=", a.shrType) < 0)
        return UL_ERROR_RETURN(-1);
    if (a.loadUnit == UL_LOADUNIT_PAGE) put(u" loadunit=page");
    if (a.loadUnit == UL_LOADUNIT_COLUMN) put(u" loadunit=column");
    if (!a.pkeyName.empty()) {
        put(u" pkey=");
        if (putName(a.pkeyName, object) < 0) return UL_ERROR_RETURN(-1);
    }
    putNamedClass(u" pkey_tabart=", a.pkeyTabart, u" pkey_tabkat=", a.pkeyTabkat);
    if (m_version >= kVerClientPos && a.clientPos)
        putPhrase(u" clientpos=", static_cast<long>(a.clientPos));
    if (a.dbFeatures & (UL_DBFEATURE_KEYMAX | UL_DBFEATURE_KEYLEN | UL_DBFEATURE_TABLEN)) {
        put(u" dbfeature=");
        static constexpr struct {
            unsigned bit;
            const char16_t* word;
        } kFeatures[] = {{UL_DBFEATURE_KEYMAX, u"keymax"},
                         {UL_DBFEATURE_KEYLEN, u"keylen"},
                         {UL_DBFEATURE_TABLEN, u"tablen"}};
        const char16_t* separator = u"";
        for (const auto& feature : kFeatures) {
            if (!(a.dbFeatures & feature.bit)) continue;
            put(separator);
            put(feature.word);
            separator = u",";
        }
    }
    putChar(u'\n');
    return 0;
}

// " tablen=a" or " tablen=a/b": the second nametab's value exists from version 12.
void ULLDObjWriter::putLengthPair(const char16_t* phrase, const int (&value)[2]) {
    if (value[0] < 0) return;
    putPhrase(phrase, value[0]);
    if (m_version >= kVerAreaSizes && value[1] >= 0) {
        putChar(u'/');
        putNumber(value[1], 0);
    }
}

int ULLDObjWriter::writeTableOptions(const ULLDObject& object) {
    const ULLDObjOptions& o = object.options;
    size_t start = m_block.size();
    put(u"opt:");
    size_t empty = m_block.size();
    if (o.basisTable == UL_BASISTABLE_YES) put(u" basistable=true");
    if (o.basisTable == UL_BASISTABLE_NO) put(u" basistable=false");
    if (o.nkeys) putPhrase(u" nkeys=", static_cast<long>(o.nkeys));
    putLengthPair(u" tablen=", o.tableLength);
    putLengthPair(u" keylen=", o.keyLength);
    if (o.derivedLogTab) put(u" derived_logtab=true");
    if (m_version >= kVerLogicalTypes && o.logicalType == UL_LOGTABLE_CLUSTER)
        put(u" logicaltype=cluster");
    if (m_version >= kVerLogicalTypes && o.logicalType == UL_LOGTABLE_POOL)
        put(u" logicaltype=pool");
    if (!o.infoId.empty()) {
        put(u" info_id=");
        if (putName(o.infoId, object) < 0) return UL_ERROR_RETURN(-1);
    }
    if (o.snapTable) put(u" snap_table=true");
    if (o.withSchema) put(u" withschema=true");
    if (o.resilience) put(u" resilience=true");
    endOptionalLine(start, empty);
    return 0;
}

int ULLDObjWriter::writeField(const ULLDObject& object, const ULLDObjField& field) {
    const ul_ldddictype_t* type = ul_ldobjtype_info(field.ddicType);
    if (!type) {
        ul_ldobjtype_ddic2string(field.ddicType);
        return UL_ERROR_RETURN(-1);
    }
    if (m_version < typeMinVersion(field.ddicType)) {
        ul_errorsetmsgfmt(0,
                          u"Internal error: Data type '%s' for field %s.%s not supported with STR "
                          u"version %d",
                          type->name, object.name.c_str(), field.name.c_str(),
                          static_cast<int>(m_version));
        return UL_ERROR_RETURN(-1);
    }
    put(u"fld: ");
    size_t start = m_block.size();
    if (putName(field.name, object) < 0) return UL_ERROR_RETURN(-1);

    if (m_version < kVerNamedFields) {
        pad(start, kPosNameWidth);
        putChar(u' ');
        // Type names right-aligned in four columns, as "%4.4s" aligns them.
        size_t typeLength = std::min<size_t>(ul_strlen(type->name), 4);
        m_block.append(4 - typeLength, u' ');
        m_block.append(type->name, typeLength);
        putChar(u' ');
        putNumber(field.length, 5);
        putChar(u' ');
        putNumber(field.digits, 5);
        putChar(u' ');
        putNumber(field.decimals, 3);
        put(field.notNull ? u" not_null" : u"         ");
        if (m_version >= kVerOffsets) {
            for (int offset : field.ntOffset) {
                putChar(u' ');
                putOffset(offset, 5);
            }
        }
        putChar(u' ');
        putNumber(field.keyPos, 2);
        putChar(u'\n');
        return 0;
    }

    pad(start, kNamedFieldWidth);
    putPhrase(u" ddtype=", type->name);
    bool writeLength = m_version >= kVerNoDefaultLen
                           ? field.length != 0
                           : field.length != ULLDObjField::getDefaultLength(field.ddicType);
    if (writeLength) putPhrase(u" len=", static_cast<long>(field.length));
    if (field.digits) putPhrase(u" digits=", static_cast<long>(field.digits));
    if (field.decimals) putPhrase(u" decimals=", static_cast<long>(field.decimals));
    if (field.notNull) put(u" not_null");
    const int* off = field.ntOffset;
    if (off[0] >= 0 || off[1] >= 0) {
        put(u" ntoffsets=");
        putOffset(off[0], 0);
        if (off[0] != off[1]) {
            putChar(u'/');
            putOffset(off[1], 0);
        }
    }
    if (field.srsId >= 0) putPhrase(u" srs_id=", field.srsId);
    if (field.zdbTimestamp == 1) put(u" zdb_timestamp=short");
    if (field.zdbTimestamp == 2) put(u" zdb_timestamp=long");
    if (field.keyPos) putPhrase(u" keypos=", static_cast<long>(field.keyPos));
    putChar(u'\n');
    return 0;
}

int ULLDObjWriter::writeFieldNames(const ULLDObject& object) {
    for (const ULLDObjField& field : object.structure.fields) {
        put(u"fld: ");
        if (putName(field.name, object) < 0) return UL_ERROR_RETURN(-1);
        putChar(u'\n');
    }
    return 0;
}

int ULLDObjWriter::writeTableRef(const ULLDObject& object) {
    put(u"ref: ");
    if (putName(object.tableName, object) < 0) return UL_ERROR_RETURN(-1);
    putChar(u'\n');
    return 0;
}

int ULLDObjWriter::writeIndex(const ULLDObject& object) {
    const ULLDObjAttributes& a = object.attributes;
    put(u"att:");
    if (m_version < kVerNamedAtt) {
        putPositionalClass(a.tabart, a.tabkat, true);
        putChar(u' ');
        size_t start = m_block.size();
        put(object.index.unique ? u"unique" : u"not_unique");
        pad(start, 10);
        if (m_version >= kVerTemp && a.tempTable) put(u" _temporary");
        if (m_version >= kVerFlexIndex && object.index.flexIndex) put(u" flexindex");
    } else {
        putNamedClass(u" tabart=", a.tabart, u" tabkat=", a.tabkat);
        put(object.index.unique ? u" unique=true" : u" unique=false");
        if (a.tempTable) put(u" temp_table=true");
        if (object.index.flexIndex) put(u" flexindex=true");
    }
    putChar(u'\n');
    if (writeTableRef(object) < 0) return UL_ERROR_RETURN(-1);
    for (const std::u16string& text : object.index.indatt) {
        if (text.find_first_of(u"\r\n") != std::u16string::npos) {
            ul_errorsetmsgfmt(0, u"Attribute '%s' of '%s' cannot be written", text.c_str(),
                              object.name.c_str());
            return UL_ERROR_RETURN(-1);
        }
        put(text.empty() ? u"indatt:" : u"indatt: ");
        put(text);
        putChar(u'\n');
    }
    return writeFieldNames(object);
}

int ULLDObjWriter::writePrimaryKey(const ULLDObject& object) {
    const ULLDObjAttributes& a = object.attributes;
    put(u"att:");
    if (m_version < kVerNamedAtt) {
        putPositionalClass(a.tabart, a.tabkat, false);
    } else {
        putNamedClass(u" tabart=", a.tabart, u" tabkat=", a.tabkat);
    }
    putChar(u'\n');
    if (writeTableRef(object) < 0) return UL_ERROR_RETURN(-1);
    return writeFieldNames(object);
}

int ULLDObjWriter::checkObjectType(const ULLDObject& object) {
    const char16_t* typeName = object.objTypeName.c_str();
    if (object.objTypeName.empty()) {
        if (object.kind == UL_LDOBJ_VIEW) return 0;
        typeName = u"GENERIC";
    }
    for (const ObjectTypeVersion& type : kObjectTypes) {
        if (ul_strcmp(type.name, typeName) != 0) continue;
        unsigned minVersion = type.minVersion;
        if (object.kind == UL_LDOBJ_GENERIC && minVersion < kVerViews) minVersion = kVerViews;
        if (m_version >= minVersion) return 0;
        ul_errorsetmsgfmt(0, u"Object type '%s' of '%s' not supported with STR version %d",
                          typeName, object.name.c_str(), static_cast<int>(m_version));
        return UL_ERROR_RETURN(-1);
    }
    ul_errorsetmsgfmt(0, u"Invalid object type '%s' found!", typeName);
    return UL_ERROR_RETURN(-1);
}

int ULLDObjWriter::writeView(const ULLDObject& object) {
    if (checkObjectType(object) < 0) return UL_ERROR_RETURN(-1);
    size_t start = m_block.size();
    put(u"opt:");
    size_t empty = m_block.size();
    int shrType = object.attributes.shrType;
    if (m_version >= kVerSharing && shrType != UL_SHRTYPE_NONE &&
        putShareType(u" shr_type=", shrType) < 0)
        return UL_ERROR_RETURN(-1);
    if (m_version >= kVerViews && object.viewType == UL_VIEWTYPE_PROJECTION)
        put(u" view_type=projection");
    if (m_version >= kVerViews && object.viewRefsExternal) put(u" view_refs=external");
    if (object.options.resilience) put(u" resilience=true");
    endOptionalLine(start, empty);

    if (m_version >= kVerViews) {
        if (!object.objTypeName.empty()) {
            putPhrase(u"typ: ", object.objTypeName.c_str());
            putChar(u'\n');
        }
        if (object.level) {
            putPhrase(u"level: ", static_cast<long>(object.level));
            putChar(u'\n');
        }
        if (object.codePage) {
            put(u"cp: ");
            putChar(object.codePage);
            putChar(u'\n');
        }
    }
    if (writeReferences(object) < 0) return UL_ERROR_RETURN(-1);
    if (writeFieldNames(object) < 0) return UL_ERROR_RETURN(-1);
    for (const std::u16string& statement : object.createStatements)
        if (writeStatement(u"crestm:", statement, object) < 0) return UL_ERROR_RETURN(-1);
    for (const std::u16string& statement : object.dropStatements)
        if (writeStatement(u"drpstm:", statement, object) < 0) return UL_ERROR_RETURN(-1);
    if (!object.query.empty() && writeStatement(u"qry:", object.query, object) < 0)
        return UL_ERROR_RETURN(-1);
    if (!object.varQuery.empty() && writeStatement(u"varqry:", object.varQuery, object) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int ULLDObjWriter::writeStatement(const char16_t* keyword, const std::u16string& statement,
                                  const ULLDObject& object) {
    put(keyword);
    if (m_version >= kVerEscaped) {
        putChar(u' ');
        if (putEscaped(statement, true) < 0) return UL_ERROR_RETURN(-1);
        putChar(u'\n');
        return 0;
    }
    if (statement.empty()) {
        putChar(u'\n');
        return 0;
    }
    bool writable = !ul_isspace(statement[0]) && statement.find(u'\r') == std::u16string::npos;
    for (size_t lf = statement.find(u'\n'); writable && lf != std::u16string::npos;
         lf = statement.find(u'\n', lf + 1)) {
        size_t next = statement.find(u'\n', lf + 1);
        if (next == std::u16string::npos) next = statement.size();
        writable = !endsRawStatement(statement.data() + lf + 1, statement.data() + next);
    }
    if (!writable) {
        ul_errorsetmsgfmt(0, u"Statement of '%s' cannot be written with STR version %d",
                          object.name.c_str(), static_cast<int>(m_version));
        return UL_ERROR_RETURN(-1);
    }
    putChar(u' ');
    put(statement);
    putChar(u'\n');
    return 0;
}

// Load objects: the in-memory description of a table, index, primary key, view or generic
// database object, as the loader's structure files or the nametab describe it, with the
// dictionary type table that types its fields and the field layout computed from it.
//
// Ownership: an object owns all its strings, fields, lists and statements; copies are deep.
// Operations that can fail return 0 (or a count) and -1 with the reason in the error buffer;
// running out of memory is reported the same way and leaves the object valid but partly
// filled.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "ulerror.h"

// ---- dictionary types ---------------------------------------------------------------------

// Flags of a dictionary type.
enum : unsigned {
    UL_DDTYPE_INT = 0x1,        // binary integer
    UL_DDTYPE_CHAR = 0x2,       // character data
    UL_DDTYPE_RAW = 0x4,        // binary data
    UL_DDTYPE_LOB = 0x8,        // long value, read piecewise unless the global flags say not
    UL_DDTYPE_NUMBER = 0x10,    // decimal or floating-point number
    UL_DDTYPE_FIXED = 0x20,     // the length is always the default length
    UL_DDTYPE_DATETIME = 0x40,  // date, time or time stamp
    UL_DDTYPE_SPATIAL = 0x80,   // geometry with a spatial reference id
    UL_DDTYPE_CLIENT = 0x100,   // the client field
};

// One entry of the dictionary type table. Lengths are dictionary lengths: characters for
// character types, bytes for binary types, digits for numbers.
struct ul_ldddictype_t {
    int code;                // even, 4 to 244
    const char16_t* name;    // null for a code without type
    int dbType;              // DBIF_TYPE_* the type is stored as
    unsigned defaultLength;  // length when none is given (0: must be given or unbounded)
    unsigned dbLength;       // fixed length of the database type, 0: the field's length
    unsigned flags;          // UL_DDTYPE_*
};

// Codes of the dictionary types this library treats specially.
enum : int {
    UL_DDIC_CHAR = 40,
    UL_DDIC_VARC = 132,
    UL_DDIC_FLTP = 136,
    UL_DDIC_CLNT = 152,
    UL_DDIC_DEC = 160,
    UL_DDIC_NUMC = 176,
    UL_DDIC_RAW = 184,
    UL_DDIC_LCHR = 196,
    UL_DDIC_LRAW = 200,
    UL_DDIC_GPT1 = 122,
};

// The table: one entry per even code from 4 to 244 in code order, then the extra entry of the
// code 122 ("GPT1"), which the entry of 122 in the run leaves unnamed. UL_DDICTYPE_COUNT (122)
// entries.
constexpr size_t UL_DDICTYPE_COUNT = 122;
const ul_ldddictype_t* ul_ldobjddictypes();

// The entry of a code, or null for a code without type.
const ul_ldddictype_t* ul_ldobjtype_info(int code);
// The code of a type name (case-insensitive), or -1 with "Unknown type '%s'".
int ul_ldobjtype_string2ddic(const char16_t* name);
// The name of a code, or null with "Unknown DDIC type #%d".
const char16_t* ul_ldobjtype_ddic2string(int code);

// ---- sharing types ------------------------------------------------------------------------

enum : int {
    UL_SHRTYPE_NONE = 0,
    UL_SHRTYPE_LOCAL = 1,     // every system has its own table
    UL_SHRTYPE_SHARED = 2,    // one table used by the systems that share it
    UL_SHRTYPE_READONLY = 3,  // shared, and read-only for the sharing systems
    UL_SHRTYPE_CLONE = 4,     // copied for the new release, content included
    UL_SHRTYPE_SWITCH = 5,    // switched between the releases
};
// The code of a sharing type name ("local", "shared", "readonly", "clone", "switch", any case),
// or -1 with "Unknown sharing type '%s'".
int ul_ldobjshrtypecode(const char16_t* name);
// The name of a code, or null with "Unsupported sharing type #%d" (code 0 has the name "").
const char16_t* ul_ldobjshrtypedecode(int code);

// ---- object parts -------------------------------------------------------------------------

// Object kinds; the numbers are those of the nametab's object types.
enum : int {
    UL_LDOBJ_NONE = 0,
    UL_LDOBJ_TABLE = 1,    // "tab:"
    UL_LDOBJ_INDEX = 2,    // "ind:"
    UL_LDOBJ_PRKEY = 3,    // "pky:"
    UL_LDOBJ_GENERIC = 4,  // "obj:"
    UL_LDOBJ_VIEW = 5,     // "vie:"
};

// Field modes, derived from a field's type and role.
enum : unsigned {
    UL_LDFLDMODE_CLIENT = 0x1,    // the table's client field
    UL_LDFLDMODE_DATETIME = 0x2,  // a date, time or time stamp
    UL_LDFLDMODE_LOB = 0x4,       // a long value
};

struct ULLDObjField {
    std::u16string name;
    int ddicType = 0;
    unsigned length = 0;
    unsigned digits = 0;
    unsigned decimals = 0;
    bool notNull = false;
    int ntOffset[2] = {-1, -1};  // byte offsets in the two nametabs, -1: not given
    int srsId = -1;              // spatial reference id, -1: none
    int zdbTimestamp = 0;        // 0: none, 1: "short", 2: "long"
    unsigned keyPos = 0;         // position in the key, 1-based; 0: not a key field
    unsigned mode = 0;           // UL_LDFLDMODE_*
    // Derived by ul_ldcalcfieldtypes / ul_ldcalcfieldoffsets.
    int dbType = -1;        // DBIF_TYPE_*
    unsigned dbLength = 0;  // length in the units of a column description
    unsigned byteOffset = 0;
    unsigned byteLength = 0;

    static unsigned getDefaultLength(int type);
    static bool isINTField(int type);
    static bool isCharField(int type);
    static bool isRAWField(int type);
    static bool isLOBField(int type);
};

enum : int { UL_ZDBSTORE_NONE = 0, UL_ZDBSTORE_COLUMN = 1, UL_ZDBSTORE_ROW = 2 };
enum : int { UL_LOADUNIT_NONE = 0, UL_LOADUNIT_PAGE = 1, UL_LOADUNIT_COLUMN = 2 };
enum : unsigned {
    UL_DBFEATURE_KEYMAX = 0x1,
    UL_DBFEATURE_KEYLEN = 0x2,
    UL_DBFEATURE_TABLEN = 0x4,
};

struct ULLDObjAttributes {
    std::u16string tabart;          // data class, at most 5 characters
    std::u16string tabkat;          // size category, at most 2 characters
    char16_t bufState[2] = {0, 0};  // buffering state; 0: not given
    char16_t tabClass = 0;          // 'T' transparent, 'C' cluster, 'P' pool; 0: not given
    int zdbStore = UL_ZDBSTORE_NONE;
    bool tempTable = false;
    bool pkeyInvHash = false;
    int shrType = UL_SHRTYPE_NONE;
    int loadUnit = UL_LOADUNIT_NONE;
    std::u16string pkeyName;
    std::u16string pkeyTabart;
    std::u16string pkeyTabkat;
    unsigned clientPos = 0;   // 1-based position of the client field, 0: none
    unsigned dbFeatures = 0;  // UL_DBFEATURE_*
};

enum : int { UL_LOGTABLE_NONE = 0, UL_LOGTABLE_CLUSTER = 1, UL_LOGTABLE_POOL = 2 };
enum : int {
    UL_BASISTABLE_UNKNOWN = 0,
    UL_BASISTABLE_NO = 1,   // a package was found and it is not a basis package
    UL_BASISTABLE_YES = 3,  // the package begins with "S"
};

struct ULLDObjOptions {
    int basisTable = UL_BASISTABLE_UNKNOWN;
    unsigned nkeys = 0;
    int tableLength[2] = {-1, -1};  // one per nametab, -1: not given
    int keyLength[2] = {-1, -1};
    bool derivedLogTab = false;
    int logicalType = UL_LOGTABLE_NONE;
    std::u16string infoId;
    bool snapTable = false;
    bool withSchema = false;
    bool resilience = false;
    bool clientDependent = false;
};

// A list of object names.
class ULLDBaseObjList {
  public:
    int addEntry(const char16_t* name);
    int copy(const ULLDBaseObjList& other);
    void shrink();
    size_t count() const { return names_.size(); }
    const char16_t* entry(size_t i) const { return names_[i].c_str(); }
    void clear() { names_.clear(); }
    size_t getSelfSize() const;

  private:
    std::vector<std::u16string> names_;
};

// The databases an object applies to: (include flag, database type) pairs. Without entries
// an object applies everywhere; with included databases only to them; excluded databases
// never.
class ULLDDBIFist {
  public:
    struct Entry {
        bool include;
        int dbType;
    };
    // A database type already listed changes its flag. Returns 0 or -1.
    int addEntry(int dbType, bool include);
    // The index of the entry of a database type, or -1.
    int findEntry(int dbType) const;
    // Returns 1 when removed, 0 when not listed.
    int removeEntry(int dbType);
    // Whether the object applies to this database type.
    bool matches(int dbType) const;
    // Whether some database type of the support table is selected by both lists, i.e. two
    // objects with these lists would compete for the same database.
    bool matches(const ULLDDBIFist& other) const;
    size_t count() const { return entries_.size(); }
    const Entry& entry(size_t i) const { return entries_[i]; }
    void clear() { entries_.clear(); }
    void shrink() { entries_.shrink_to_fit(); }

  private:
    std::vector<Entry> entries_;
};

// The fields of an object in order, and its key.
class ULLDObjStructure {
  public:
    // Room for n fields without changing the fields present (n below the count is ignored).
    // Returns 0 or -1.
    int reallocNrFields(unsigned n);
    // Appends a field; returns its index or -1.
    int addField(const ULLDObjField& field);
    // Checks that a table or index has fields and that the key fields come first, in key
    // order ("Missing field description for table \"%s\"", "Missing field description for index
    // \"%s\"", "Expected field #%d '%s' to %sbe a key field for '%s'"). Returns the number of
    // key fields, or -1.
    int checkFieldConsistency(int kind, const char16_t* objectName) const;
    // The number of fields with a key position.
    unsigned countKeyFields() const;

    std::vector<ULLDObjField> fields;
    unsigned nkeys = 0;
    unsigned npackedkeys = 0;    // key fields of the packed key as the nametab gives it; 0: none
    int ntLength[2] = {-1, -1};  // row length in the two nametabs, -1: not given
};

// Index attributes.
struct ULLDObjIndexAttributes {
    bool unique = false;
    bool flexIndex = false;
    std::vector<std::u16string> indatt;  // "indatt:" lines as read
};

enum : int { UL_VIEWTYPE_DEFAULT = 0, UL_VIEWTYPE_PROJECTION = 1 };

class ULLDObject {
  public:
    // Back to an empty object of no kind.
    void clear();
    // A table object of this name, otherwise empty. Returns 0 or -1.
    int setupTableObj(const char16_t* name);
    // Makes this object an index of the table, otherwise empty. Returns 0 or -1.
    int setupIndexObj(const char16_t* indexName, const char16_t* tableName, bool unique);
    // Makes index an index of this table that inherits its attributes (data class, size
    // category, temporary flag) and its database list. Returns 0 or -1.
    int copy_table2indexbase(ULLDObject* index) const;
    // Makes prkey the primary key of this table: its name (the attribute pkeyName, else
    // "<table>~0"), the key fields, the primary key's data class and size category. Returns 0
    // or -1 ("Table '%s' has no key fields for a primary key").
    int copy_tablekeys2prkey(ULLDObject* prkey) const;
    // Releases spare capacity of every list.
    void shrink();
    // Bytes the object occupies, heap included.
    size_t getSelfSize() const;
    // The key fields that group the rows of a stored record: the nametab's packed key when it
    // gives one, else the key without its last field for a cluster table whose last key field
    // is "PAGENO" and for a table whose last key field is "BLOCKNR" and whose last field is
    // raw or long raw, else the key.
    unsigned getPackedKeyFields() const;
    // The index of a field by name (exact), or -1.
    int findField(const char16_t* name) const;

    int kind = UL_LDOBJ_NONE;
    std::u16string name;
    std::u16string tableName;  // the table of an index or primary key
    ULLDObjAttributes attributes;
    ULLDObjOptions options;
    ULLDBaseObjList references;
    ULLDObjStructure structure;
    ULLDDBIFist databases;
    long crc = -1;  // object checksum as a structure file's "crc:" line gives it, -1: none
    ULLDObjIndexAttributes index;
    // Statements of views and generic objects.
    std::vector<std::u16string> createStatements;
    std::vector<std::u16string> dropStatements;
    std::u16string query;
    std::u16string varQuery;
    // Views and generic objects.
    int viewType = UL_VIEWTYPE_DEFAULT;
    bool viewRefsExternal = false;
    std::u16string objTypeName;
    unsigned level = 0;
    char16_t codePage = 0;
};

// ---- field layout -------------------------------------------------------------------------

// Sets each field's database type and length from its dictionary type ("Unknown DDIC type
// #%d", "Field '%s' of '%s' needs a length"). Returns 0 or -1.
int ul_ldcalcfieldtypes(ULLDObject* object);
// Lays the fields out in a row buffer, each aligned to its type (integers to their size,
// floating point, decimal floating point and long values to 8, characters to 2): byte offset
// and length of each field; characters take two bytes. With the global flag checkobjntoffsets
// the nametab offsets given must not overlap ("Nametab #%d offset %d of field '%s' overlaps
// field '%s' in '%s'"). Returns the row length or -1. Needs ul_ldcalcfieldtypes first.
long ul_ldcalcfieldoffsets(ULLDObject* object);

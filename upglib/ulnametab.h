// Nametab access: the runtime description of a table (its nametab entry) read through the
// database library's catalogue service and turned into a load object (ulq7ldobj.h) with the
// table's class, flags, storage attributes and fields; the field lists and column
// descriptions that commands derive from it; and the dictionary tables consulted on the way
// (DD02L, DD03L, DD09L, TADIR, the conversion exception table), each of which may be missing.
//
// The nametab set read is the one made current by setNameTab, or, until that is called, the
// current slot of the session settings (ulsqlutil.h). Nametab type "off" disables every
// operation here. All reads need the process-wide connection (ulsqlbase.h).
#pragma once

#include <string>

#include "dbif.h"
#include "ulq7ldobj.h"
#include "ulsqlbase2.h"

// Reader flags.
enum : unsigned {
    UL_NT_MISSINGOK = 0x80,  // a missing nametab entry is not an error: getTableInfo returns 2
};

class ULNameTab {
  public:
    // Reads tableName from the current nametab set.
    ULNameTab(const char16_t* tableName, unsigned flags);
    // Reads tableName from the nametab set whose DDNTT table is nametabName ("DDNTT~", or a
    // runtime-object name "DDXTT~", which reads "DDNTT~"); DDNTF and DDNTT_HIST have its suffix.
    ULNameTab(const char16_t* nametabName, const char16_t* tableName, unsigned flags);

    // Makes a nametab set current. A DDNTT name beginning with "DDXT" is kept as the
    // runtime-object names, and the names read are "DDNT" followed by the rest of each name; a
    // null DDNTF name is the DDNTT name with "F" for its fifth character, a null history name
    // "DDNTT_HIST" followed by the DDNTT name's suffix. A null DDNTT name returns to the
    // session's current slot. Returns 0, or -1 for names longer than 39 code units.
    static int setNameTab(const char16_t* ddntt, const char16_t* ddntf, const char16_t* ddnttHist);
    // The names of the current set: 0 DDNTT, 1 DDNTF, 2 DDNTT_HIST, 3 DDXTT, 4 DDXTF (empty
    // when not a runtime-object set). Null with the reason when nametab access is disabled.
    static const char16_t* getNameTabName(int which);

    // The catalogue cache: flush(0) forgets the table descriptions; reset(), like flush with a
    // non-zero argument, also forgets which nametab tables exist. Without a connection there
    // is nothing to forget (the cache lives with it). Return 0 or -1.
    static int flush(unsigned char all);
    static int reset();

    // Reads the table and fills object. Returns 0; 2 when the table has no nametab entry and
    // UL_NT_MISSINGOK is given; -1 with "Cannot read nametab '%s'." or "Cannot set info of
    // table '%s'." after the reason.
    int getTableInfo(ULLDObject* object);
    // Fills object's fields from a description ("Cannot retrieve field info '%s' field #%d"
    // after the reason). Returns 0 or -1.
    int getFieldsInfo(ULLDObject* object, const dbif_cattable_t& table);
    int getFieldInfo(ULLDObject* object, const dbif_catfield_t& field, unsigned index);

    // 1 when the table exists in the database and has the field (names compared ignoring
    // case), 0 when it has not, -1 with "Cannot check for %s.%s: table does not exist".
    static int tableFieldExists(const char16_t* table, const char16_t* field);

    // Whether the data of a table is loaded: 0 yes, 2 no, -1 on error. "DDLOG" and
    // "DBPROPERTIES" never are. With a list of delivery classes without data (comma
    // separated, e.g. "L,W"; null or empty: none), a table is not loaded when it has no DD02L
    // entry or when all its classes are in the list. tableClass 'C' or 'P' names a cluster or
    // pool container, whose classes are those of its logical tables.
    static int get_loadtype(const char16_t* table, char16_t tableClass,
                            const char16_t* noDataClasses);

    const char16_t* tableName() const { return table_.c_str(); }

  private:
    int describe(dbif_cattable_t* out, bool* missing);
    int setTableInfo(ULLDObject* object, const dbif_cattable_t& table);
    void setTableType(ULLDObject* object, const dbif_cattable_t& table);
    int setTableFlags(ULLDObject* object, const dbif_cattable_t& table);
    int setTableAttributes(ULLDObject* object, const dbif_cattable_t& table);
    void setTableSharingType(ULLDObject* object, const dbif_cattable_t& table);
    void setFieldMode(ULLDObject* object);
    int checkKeyOrder(ULLDObject* object, unsigned nkeys);
    int setSpatialReferences(ULLDObject* object);
    int applyConversionExceptions(ULLDObject* object);

    std::u16string nametab_;  // the DDNTT name given to the constructor, else empty
    std::u16string table_;
    unsigned flags_;
};

// The field names of a table in table order, in a new array that ul_sqltablefreefields
// releases. flags 1: only the key fields; 2: only the fields of the packed key. Returns 0, or
// -1 ("Nametab error for table '%s'/'%s'", "Table '%s' has empty field #%d").
int ul_sqltablegetfields(const char16_t* table, const char16_t*** fields, unsigned* nfields,
                         int flags);
int ul_sqltablegetfields(const ULLDObject* object, const char16_t*** fields, unsigned* nfields,
                         int flags);
void ul_sqltablefreefields(const char16_t** fields, unsigned nfields);

// Result bits of ul_sqltablegetoiflags; the object kind stands in the top 8 bits.
enum : int {
    UL_OIFLAG_CLUSTER = 0x1,      // a physical cluster table
    UL_OIFLAG_POOL = 0x2,         // a physical pool table
    UL_OIFLAG_PACKED = 0x10,      // the packed key has fewer fields than the key
    UL_OIFLAG_PIECEWISE = 0x100,  // a selected field is read piecewise
};
constexpr int UL_OIFLAG_KINDSHIFT = 24;

// The column descriptions of the given fields of a table (all fields when nfields is 0), from
// its nametab entry: database type (the dictionary type's, unless the global flag
// ignoreddictype keeps the catalogue's), length, digits and decimals. A field the table lacks
// may be the database's row-identifier pseudo column. *descs is one block (descriptions and
// their names) to release with free(). With flags 1, the last description of a packed table
// gets at least lobcolumnspace bytes. Returns the UL_OIFLAG_* bits, or -1 ("No definition
// found for '%s'", "Table '%s' does not have field #%d '%s'").
int ul_sqltablegetoiflags(const char16_t* table, const char16_t* const* fields, unsigned nfields,
                          ul_sqlfielddesc_t** descs, unsigned* ndescs, int flags);
int ul_sqltablegetoiflags(const ULLDObject* object, const char16_t* const* fields, unsigned nfields,
                          ul_sqlfielddesc_t** descs, unsigned* ndescs, int flags);

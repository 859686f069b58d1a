// The load-object model: dictionary type names, database lists, derived objects and the field
// layout. The structure check answers through the reader, whose tests show its messages.
#include "ulq7ldobj.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "dbif.h"
#include "testutil.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"

namespace {

class UlQ7LdObjTest : public ::testing::Test {
  protected:
    void SetUp() override { ul_sqlresetglobalflags(); }
    void TearDown() override { ul_sqlresetglobalflags(); }
};

ULLDObjField field(const char16_t* name, int type, unsigned length, unsigned keyPos = 0,
                   unsigned decimals = 0) {
    ULLDObjField f;
    f.name = name;
    f.ddicType = type;
    f.length = length;
    f.digits = type == UL_DDIC_DEC ? length : 0;
    f.decimals = decimals;
    f.keyPos = keyPos;
    return f;
}

ULLDObject table(const char16_t* name, std::vector<ULLDObjField> fields) {
    ULLDObject object;
    EXPECT_EQ(object.setupTableObj(name), 0);
    object.structure.fields = std::move(fields);
    object.structure.nkeys = object.structure.countKeyFields();
    return object;
}

// Codes run over the even numbers 4..244 and GPT1 after them; every name maps to its code and
// back, whatever its case, and no two codes share a name.
TEST_F(UlQ7LdObjTest, EveryCodeMapsBackToItsName) {
    const ul_ldddictype_t* types = ul_ldobjddictypes();
    std::set<std::u16string> names;
    for (size_t i = 0; i < UL_DDICTYPE_COUNT; ++i) {
        const ul_ldddictype_t& t = types[i];
        EXPECT_EQ(t.code, i + 1 < UL_DDICTYPE_COUNT ? 4 + 2 * static_cast<int>(i) : 122);
        if (!t.name) continue;
        EXPECT_TRUE(names.insert(t.name).second) << u8(t.name);
        EXPECT_EQ(u8(ul_ldobjtype_ddic2string(t.code)), u8(t.name));
        std::u16string lower = t.name;
        ul_string2lower(lower.data());
        EXPECT_EQ(ul_ldobjtype_string2ddic(lower.c_str()), t.code);
    }
    EXPECT_EQ(names.size(), 76u);
    for (int code : {0, 2, 3, 6, 121, 123, 246}) {
        EXPECT_EQ(ul_ldobjtype_ddic2string(code), nullptr);
        EXPECT_EQ(u8(errorText()), "Unknown DDIC type #" + std::to_string(code));
    }
    EXPECT_EQ(ul_ldobjtype_string2ddic(u"CHARX"), -1);
    EXPECT_EQ(u8(errorText()), "Unknown type 'CHARX'");
    EXPECT_TRUE(ULLDObjField::isRAWField(200) && ULLDObjField::isLOBField(200));
    EXPECT_TRUE(ULLDObjField::isINTField(172) && ULLDObjField::isCharField(176));
    EXPECT_FALSE(ULLDObjField::isINTField(40) || ULLDObjField::isCharField(172));
    EXPECT_FALSE(ULLDObjField::isLOBField(184));
}

TEST_F(UlQ7LdObjTest, SharingTypes) {
    for (int code = UL_SHRTYPE_LOCAL; code <= UL_SHRTYPE_SWITCH; ++code)
        EXPECT_EQ(ul_ldobjshrtypecode(ul_ldobjshrtypedecode(code)), code);
    EXPECT_EQ(ul_ldobjshrtypecode(u"SHARED"), UL_SHRTYPE_SHARED);
    EXPECT_EQ(ul_ldobjshrtypecode(u"partly"), -1);
    EXPECT_EQ(u8(errorText()), "Unknown sharing type 'partly'");
    EXPECT_EQ(ul_ldobjshrtypedecode(6), nullptr);
    EXPECT_EQ(u8(errorText()), "Unsupported sharing type #6");
}

TEST_F(UlQ7LdObjTest, DatabaseLists) {
    ULLDDBIFist none, ora, notMss, oraNotMss, mss;
    ASSERT_EQ(ora.addEntry(UL_DBTYPE_ORA, true) + notMss.addEntry(UL_DBTYPE_MSS, false) +
                  oraNotMss.addEntry(UL_DBTYPE_ORA, true) +
                  oraNotMss.addEntry(UL_DBTYPE_MSS, false) + mss.addEntry(UL_DBTYPE_MSS, true),
              0);
    const std::tuple<const ULLDDBIFist&, int, bool> cases[] = {
        {none, UL_DBTYPE_ORA, true},      {ora, UL_DBTYPE_ORA, true},
        {ora, UL_DBTYPE_MSS, false},      {notMss, UL_DBTYPE_MSS, false},
        {notMss, UL_DBTYPE_SQLITE, true}, {oraNotMss, UL_DBTYPE_DB6, false},
        {oraNotMss, UL_DBTYPE_ORA, true}};
    for (const auto& [list, dbType, applies] : cases)
        EXPECT_EQ(list.matches(dbType), applies) << dbType;
    EXPECT_TRUE(ora.matches(none) && ora.matches(notMss));
    EXPECT_FALSE(mss.matches(notMss) || ora.matches(mss));
    // A type listed again changes its flag; removal reports whether it was listed.
    ASSERT_EQ(mss.addEntry(UL_DBTYPE_MSS, false), 0);
    EXPECT_EQ(mss.count(), 1u);
    EXPECT_FALSE(mss.matches(UL_DBTYPE_MSS));
    EXPECT_EQ(mss.findEntry(UL_DBTYPE_MSS), 0);
    EXPECT_EQ(mss.removeEntry(UL_DBTYPE_MSS), 1);
    EXPECT_EQ(mss.removeEntry(UL_DBTYPE_MSS), 0);
    EXPECT_EQ(mss.findEntry(UL_DBTYPE_MSS), -1);
}

TEST_F(UlQ7LdObjTest, PrimaryKeyAndIndexFromTable) {
    ULLDObject t =
        table(u"ORDERS", {field(u"B", 40, 3, 2), field(u"A", 40, 3, 1), field(u"C", 172, 10)});
    t.attributes.tabart = u"APPL1";
    t.attributes.pkeyTabart = u"APPL0";
    ASSERT_EQ(t.databases.addEntry(UL_DBTYPE_ORA, true), 0);
    ULLDObject pk, index;
    ASSERT_EQ(t.copy_tablekeys2prkey(&pk), 0);
    // Key order, not table order; the key's own tabart.
    EXPECT_EQ(pk.kind, UL_LDOBJ_PRKEY);
    EXPECT_EQ(u8(pk.name + u"|" + pk.tableName + u"|" + pk.attributes.tabart),
              "ORDERS~0|ORDERS|APPL0");
    ASSERT_EQ(pk.structure.fields.size(), 2u);
    EXPECT_EQ(u8(pk.structure.fields[0].name), "A");
    EXPECT_TRUE(pk.databases.matches(UL_DBTYPE_ORA) && !pk.databases.matches(UL_DBTYPE_MSS));
    index.name = u"ORDERS~X";
    ASSERT_EQ(t.copy_table2indexbase(&index), 0);
    EXPECT_EQ(index.kind, UL_LDOBJ_INDEX);
    EXPECT_EQ(u8(index.name + u"|" + index.tableName + u"|" + index.attributes.tabart),
              "ORDERS~X|ORDERS|APPL1");
    EXPECT_TRUE(index.structure.fields.empty());

    ULLDObject keyless = table(u"LOG", {field(u"A", 40, 3)});
    EXPECT_EQ(keyless.copy_tablekeys2prkey(&pk), -1);
    EXPECT_EQ(u8(errorText()), "Table 'LOG' has no key fields for a primary key");
    const size_t before = t.getSelfSize();
    t.structure.fields[0].name = std::u16string(200, u'X');
    EXPECT_GE(t.getSelfSize(), before + 400);
}

TEST_F(UlQ7LdObjTest, PackedKeyFields) {
    // Table class, name and type of the last key field, packed keys given, packed keys found.
    const std::tuple<char16_t, const char16_t*, int, unsigned, unsigned> cases[] = {
        {u'C', u"PAGENO", 40, 0, 1},   {u'T', u"PAGENO", 40, 0, 2},  {u'T', u"BLOCKNR", 200, 0, 1},
        {u'T', u"BLOCKNR", 184, 0, 1}, {u'T', u"BLOCKNR", 40, 0, 2}, {u'T', u"ID", 40, 1, 1},
    };
    for (const auto& [tabClass, lastKey, lastType, given, expected] : cases) {
        ULLDObject t = table(u"T", {field(u"K", 40, 3, 1), field(lastKey, 168, 5, 2),
                                    field(u"DATA", lastType, 100)});
        t.attributes.tabClass = tabClass;
        t.structure.npackedkeys = given;
        EXPECT_EQ(t.getPackedKeyFields(), expected) << u8(lastKey) << " " << lastType;
    }
}

TEST_F(UlQ7LdObjTest, FieldLayout) {
    ULLDObject t = table(u"T", {field(u"C", 40, 3, 1), field(u"I", 172, 10),
                                field(u"P", 160, 15, 0, 2), field(u"F", 136, 16),
                                field(u"B", 164, 3), field(u"R", 184, 4), field(u"S", 228, 0)});
    ASSERT_EQ(ul_ldcalcfieldtypes(&t), 0) << u8(errorText());
    // Database type and length, byte offset and length of each field.
    const std::vector<std::vector<unsigned>> expected = {
        {DBIF_TYPE_CHAR, 3, 0, 6},      {DBIF_TYPE_INT, 4, 8, 4},  {DBIF_TYPE_PACKED, 15, 12, 8},
        {DBIF_TYPE_FLOAT, 8, 24, 8},    {DBIF_TYPE_INT, 1, 32, 1}, {DBIF_TYPE_RAW, 4, 33, 4},
        {DBIF_TYPE_LONGCHAR, 0, 40, 8},
    };
    EXPECT_EQ(ul_ldcalcfieldoffsets(&t), 48);
    std::vector<std::vector<unsigned>> layout;
    for (const ULLDObjField& f : t.structure.fields)
        layout.push_back({unsigned(f.dbType), f.dbLength, f.byteOffset, f.byteLength});
    EXPECT_EQ(layout, expected);
    // Nametab offsets that overlap are refused while checkobjntoffsets is on.
    t.structure.fields[0].ntOffset[1] = 0;
    t.structure.fields[1].ntOffset[1] = 4;
    EXPECT_EQ(ul_ldcalcfieldoffsets(&t), -1);
    EXPECT_EQ(u8(errorText()), "Nametab #2 offset 4 of field 'I' overlaps field 'C' in 'T'");
    ASSERT_EQ(ul_sqlparseglobalflags(u"nocheckobjntoffsets"), 0);
    EXPECT_EQ(ul_ldcalcfieldoffsets(&t), 48);

    ULLDObject bad = table(u"T", {field(u"P", 160, 0)});
    EXPECT_EQ(ul_ldcalcfieldtypes(&bad), -1);
    EXPECT_EQ(u8(errorText()), "Field 'P' of 'T' needs a length");
    bad.structure.fields[0].ddicType = 6;
    EXPECT_EQ(ul_ldcalcfieldtypes(&bad), -1);
}

}  // namespace

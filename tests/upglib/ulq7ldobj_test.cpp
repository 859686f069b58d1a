// The load-object model: dictionary type table, database lists, structure checks, derived
// objects and the field layout.
#include "ulq7ldobj.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "dbif.h"
#include "testutil.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"

namespace {

class UlQ7LdObjTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ul_sqlresetglobalflags();
        ul_errorsetmsg(0, nullptr);
    }
    void TearDown() override { ul_sqlresetglobalflags(); }
};

ULLDObjField field(const char16_t* name, int type, unsigned length, unsigned keyPos = 0,
                   unsigned decimals = 0) {
    ULLDObjField f;
    f.name = name;
    f.ddicType = type;
    f.length = length;
    f.digits = ULLDObjField::isINTField(type) ? 0 : (type == UL_DDIC_DEC ? length : 0);
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

TEST_F(UlQ7LdObjTest, TypeTableSpotChecks) {
    struct Case {
        int code;
        const char16_t* name;
        unsigned defaultLength;
        int dbType;
    };
    const Case cases[] = {
        {4, u"NUM", 0, DBIF_TYPE_DECIMAL},  {40, u"CHAR", 0, DBIF_TYPE_CHAR},
        {66, u"D16R", 16, DBIF_TYPE_RAW},   {98, u"D16N", 16, DBIF_TYPE_DECFLOAT16},
        {122, u"GPT1", 0, DBIF_TYPE_BLOB},  {136, u"FLTP", 16, DBIF_TYPE_FLOAT},
        {152, u"CLNT", 3, DBIF_TYPE_CHAR},  {156, u"DATS", 8, DBIF_TYPE_CHAR},
        {160, u"DEC", 0, DBIF_TYPE_PACKED}, {164, u"INT1", 3, DBIF_TYPE_INT},
        {172, u"INT4", 10, DBIF_TYPE_INT},  {184, u"RAW", 0, DBIF_TYPE_RAW},
        {200, u"LRAW", 0, DBIF_TYPE_BLOB},  {228, u"STRG", 0, DBIF_TYPE_LONGCHAR},
        {244, u"INT8", 19, DBIF_TYPE_INT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ASSERT_NE(ul_ldobjtype_info(c.code), nullptr);
        EXPECT_EQ(u8(ul_ldobjtype_ddic2string(c.code)), u8(c.name));
        EXPECT_EQ(ul_ldobjtype_string2ddic(c.name), c.code);
        EXPECT_EQ(ULLDObjField::getDefaultLength(c.code), c.defaultLength);
        EXPECT_EQ(ul_ldobjtype_info(c.code)->dbType, c.dbType);
    }
    EXPECT_TRUE(ULLDObjField::isINTField(172));
    EXPECT_TRUE(ULLDObjField::isCharField(176));
    EXPECT_TRUE(ULLDObjField::isRAWField(200) && ULLDObjField::isLOBField(200));
    EXPECT_FALSE(ULLDObjField::isLOBField(184));
}

// The table has 122 entries: the run of even codes 4..244 and GPT1 after it; every name maps
// to its code and back, whatever its case.
TEST_F(UlQ7LdObjTest, EveryCodeMapsBackToItsName) {
    const ul_ldddictype_t* types = ul_ldobjddictypes();
    std::set<std::u16string> names;
    for (size_t i = 0; i < UL_DDICTYPE_COUNT; ++i) {
        const ul_ldddictype_t& t = types[i];
        EXPECT_EQ(t.code, i + 1 < UL_DDICTYPE_COUNT ? 4 + 2 * static_cast<int>(i) : 122);
        if (!t.name) continue;
        names.insert(t.name);
        EXPECT_EQ(ul_ldobjtype_string2ddic(t.name), t.code) << u8(t.name);
        EXPECT_EQ(u8(ul_ldobjtype_ddic2string(t.code)), u8(t.name));
        std::u16string lower = t.name;
        ul_string2lower(lower.data());
        EXPECT_EQ(ul_ldobjtype_string2ddic(lower.c_str()), t.code);
    }
    EXPECT_EQ(names.size(), 76u);
}

TEST_F(UlQ7LdObjTest, UnknownTypes) {
    for (int code : {0, 2, 3, 6, 121, 123, 246}) {
        EXPECT_EQ(ul_ldobjtype_ddic2string(code), nullptr);
        EXPECT_EQ(u8(errorText()), "Unknown DDIC type #" + std::to_string(code));
    }
    EXPECT_EQ(ul_ldobjtype_string2ddic(u"CHARX"), -1);
    EXPECT_EQ(u8(errorText()), "Unknown type 'CHARX'");
}

// The engine catalogue types columns with these codes; each must map back onto the column's own
// database type, or a field would change its type with its source.
TEST_F(UlQ7LdObjTest, EngineCatalogueCodesKeepTheirDatabaseType) {
    const struct {
        int code;
        int dbType;
        unsigned dbLength;  // 0: the field's length
    } cases[] = {
        {DBIF_DDIC_INT1, DBIF_TYPE_INT, 1},         {DBIF_DDIC_INT2, DBIF_TYPE_INT, 2},
        {DBIF_DDIC_INT4, DBIF_TYPE_INT, 4},         {DBIF_DDIC_INT8, DBIF_TYPE_INT, 8},
        {DBIF_DDIC_FLTP, DBIF_TYPE_FLOAT, 8},       {DBIF_DDIC_DEC, DBIF_TYPE_PACKED, 0},
        {DBIF_DDIC_NUM, DBIF_TYPE_DECIMAL, 0},      {DBIF_DDIC_CHAR, DBIF_TYPE_CHAR, 0},
        {DBIF_DDIC_SSTR, DBIF_TYPE_CHAR, 0},        {DBIF_DDIC_CLNT, DBIF_TYPE_CHAR, 0},
        {DBIF_DDIC_STRG, DBIF_TYPE_LONGCHAR, 0},    {DBIF_DDIC_RSTR, DBIF_TYPE_BLOB, 0},
        {DBIF_DDIC_RAW, DBIF_TYPE_RAW, 0},          {DBIF_DDIC_D16N, DBIF_TYPE_DECFLOAT16, 8},
        {DBIF_DDIC_D34N, DBIF_TYPE_DECFLOAT34, 16},
    };
    for (const auto& c : cases) {
        const ul_ldddictype_t* t = ul_ldobjtype_info(c.code);
        ASSERT_NE(t, nullptr) << c.code;
        EXPECT_EQ(t->dbType, c.dbType) << u8(t->name);
        EXPECT_EQ(t->dbLength, c.dbLength) << u8(t->name);
    }
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
    ULLDDBIFist none;
    ULLDDBIFist oraOnly, notMss, oraAndNotMss, mssOnly;
    ASSERT_EQ(oraOnly.addEntry(UL_DBTYPE_ORA, true), 0);
    ASSERT_EQ(notMss.addEntry(UL_DBTYPE_MSS, false), 0);
    ASSERT_EQ(oraAndNotMss.addEntry(UL_DBTYPE_ORA, true), 0);
    ASSERT_EQ(oraAndNotMss.addEntry(UL_DBTYPE_MSS, false), 0);
    ASSERT_EQ(mssOnly.addEntry(UL_DBTYPE_MSS, true), 0);
    const struct {
        const ULLDDBIFist& list;
        int dbType;
        bool applies;
    } cases[] = {
        {none, UL_DBTYPE_ORA, true},         {oraOnly, UL_DBTYPE_ORA, true},
        {oraOnly, UL_DBTYPE_MSS, false},     {notMss, UL_DBTYPE_MSS, false},
        {notMss, UL_DBTYPE_SQLITE, true},    {oraAndNotMss, UL_DBTYPE_DB6, false},
        {oraAndNotMss, UL_DBTYPE_ORA, true},
    };
    for (const auto& c : cases) EXPECT_EQ(c.list.matches(c.dbType), c.applies) << c.dbType;
    EXPECT_TRUE(oraOnly.matches(none));
    EXPECT_TRUE(oraOnly.matches(notMss));
    EXPECT_FALSE(mssOnly.matches(notMss));
    EXPECT_FALSE(oraOnly.matches(mssOnly));

    // A type listed again changes its flag; removal reports whether it was listed.
    ASSERT_EQ(mssOnly.addEntry(UL_DBTYPE_MSS, false), 0);
    EXPECT_EQ(mssOnly.count(), 1u);
    EXPECT_FALSE(mssOnly.matches(UL_DBTYPE_MSS));
    EXPECT_EQ(mssOnly.findEntry(UL_DBTYPE_MSS), 0);
    EXPECT_EQ(mssOnly.removeEntry(UL_DBTYPE_MSS), 1);
    EXPECT_EQ(mssOnly.removeEntry(UL_DBTYPE_MSS), 0);
    EXPECT_EQ(mssOnly.findEntry(UL_DBTYPE_MSS), -1);
}

TEST_F(UlQ7LdObjTest, FieldConsistency) {
    const struct {
        std::vector<ULLDObjField> fields;
        int kind;
        int result;
        const char* error;
    } cases[] = {
        {{}, UL_LDOBJ_TABLE, -1, "Missing field description for table \"T\""},
        {{}, UL_LDOBJ_INDEX, -1, "Missing field description for index \"T\""},
        {{field(u"A", 40, 3, 1), field(u"B", 40, 3)}, UL_LDOBJ_TABLE, 1, nullptr},
        {{field(u"A", 40, 3), field(u"B", 40, 3, 1)},
         UL_LDOBJ_TABLE,
         -1,
         "Expected field #1 'A' to be a key field for 'T'"},
        {{field(u"A", 40, 3, 1), field(u"B", 40, 3), field(u"C", 40, 3, 2)},
         UL_LDOBJ_TABLE,
         -1,
         "Expected field #2 'B' to be a key field for 'T'"},
    };
    for (const auto& c : cases) {
        ULLDObjStructure s;
        s.fields = c.fields;
        EXPECT_EQ(s.checkFieldConsistency(c.kind, u"T"), c.result);
        if (c.error) {
            EXPECT_EQ(u8(errorText()), c.error);
        }
    }
}

TEST_F(UlQ7LdObjTest, PrimaryKeyAndIndexFromTable) {
    ULLDObject t =
        table(u"ORDERS", {field(u"B", 40, 3, 2), field(u"A", 40, 3, 1), field(u"C", 172, 10)});
    t.attributes.tabart = u"APPL1";
    t.attributes.pkeyTabart = u"APPL0";
    ASSERT_EQ(t.databases.addEntry(UL_DBTYPE_ORA, true), 0);
    ULLDObject pk;
    ASSERT_EQ(t.copy_tablekeys2prkey(&pk), 0);
    EXPECT_EQ(pk.kind, UL_LDOBJ_PRKEY);
    EXPECT_EQ(u8(pk.name), "ORDERS~0");
    EXPECT_EQ(u8(pk.tableName), "ORDERS");
    ASSERT_EQ(pk.structure.fields.size(), 2u);
    EXPECT_EQ(u8(pk.structure.fields[0].name), "A");  // key order, not table order
    EXPECT_EQ(u8(pk.attributes.tabart), "APPL0");
    EXPECT_TRUE(pk.databases.matches(UL_DBTYPE_ORA) && !pk.databases.matches(UL_DBTYPE_MSS));

    ULLDObject index;
    index.name = u"ORDERS~X";
    ASSERT_EQ(t.copy_table2indexbase(&index), 0);
    EXPECT_EQ(index.kind, UL_LDOBJ_INDEX);
    EXPECT_EQ(u8(index.name), "ORDERS~X");
    EXPECT_EQ(u8(index.tableName), "ORDERS");
    EXPECT_EQ(u8(index.attributes.tabart), "APPL1");
    EXPECT_TRUE(index.structure.fields.empty());

    ULLDObject keyless = table(u"LOG", {field(u"A", 40, 3)});
    EXPECT_EQ(keyless.copy_tablekeys2prkey(&pk), -1);
    EXPECT_EQ(u8(errorText()), "Table 'LOG' has no key fields for a primary key");

    const size_t before = t.getSelfSize();
    t.structure.fields[0].name = std::u16string(200, u'X');
    EXPECT_GE(t.getSelfSize(), before + 400);
}

TEST_F(UlQ7LdObjTest, PackedKeyFields) {
    const struct {
        char16_t tabClass;
        const char16_t* lastKey;
        int lastType;
        unsigned given;
        unsigned expected;
    } cases[] = {
        {u'C', u"PAGENO", 40, 0, 1},   {u'T', u"PAGENO", 40, 0, 2},  {u'T', u"BLOCKNR", 200, 0, 1},
        {u'T', u"BLOCKNR", 184, 0, 1}, {u'T', u"BLOCKNR", 40, 0, 2}, {u'T', u"ID", 40, 1, 1},
    };
    for (const auto& c : cases) {
        ULLDObject t = table(u"T", {field(u"K", 40, 3, 1), field(c.lastKey, 168, 5, 2),
                                    field(u"DATA", c.lastType, 100)});
        t.attributes.tabClass = c.tabClass;
        t.structure.npackedkeys = c.given;
        EXPECT_EQ(t.getPackedKeyFields(), c.expected) << u8(c.lastKey) << " " << c.lastType;
    }
}

TEST_F(UlQ7LdObjTest, FieldLayout) {
    ULLDObject t = table(u"T", {field(u"C", 40, 3, 1), field(u"I", 172, 10),
                                field(u"P", 160, 15, 0, 2), field(u"F", 136, 16),
                                field(u"B", 164, 3), field(u"R", 184, 4), field(u"S", 228, 0)});
    ASSERT_EQ(ul_ldcalcfieldtypes(&t), 0) << u8(errorText());
    const struct {
        int dbType;
        unsigned dbLength, offset, bytes;
    } expected[] = {
        {DBIF_TYPE_CHAR, 3, 0, 6},      {DBIF_TYPE_INT, 4, 8, 4},  {DBIF_TYPE_PACKED, 15, 12, 8},
        {DBIF_TYPE_FLOAT, 8, 24, 8},    {DBIF_TYPE_INT, 1, 32, 1}, {DBIF_TYPE_RAW, 4, 33, 4},
        {DBIF_TYPE_LONGCHAR, 0, 40, 8},
    };
    EXPECT_EQ(ul_ldcalcfieldoffsets(&t), 48);
    for (size_t i = 0; i < std::size(expected); ++i) {
        const ULLDObjField& f = t.structure.fields[i];
        SCOPED_TRACE(u8(f.name));
        EXPECT_EQ(f.dbType, expected[i].dbType);
        EXPECT_EQ(f.dbLength, expected[i].dbLength);
        EXPECT_EQ(f.byteOffset, expected[i].offset);
        EXPECT_EQ(f.byteLength, expected[i].bytes);
    }

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
    EXPECT_EQ(u8(errorText()), "Unknown DDIC type #6");
}

}  // namespace

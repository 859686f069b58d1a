// The structure-file writer: whole blocks per object kind and version, the version header,
// names and statements in the escaped and the raw versions, and what a version refuses.
#include "ulq7ldobjwriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testutil.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"

namespace {

class UlQ7LdObjWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ul_sqlresetglobalflags();
        ul_errorsetmsg(0, nullptr);
    }
    void TearDown() override { ul_sqlresetglobalflags(); }

    // The file text the writer produces for these objects; rc receives the first failure.
    static std::string write(unsigned version, const std::vector<ULLDObject>& objects,
                             int* rc = nullptr, int flags = 0) {
        char* data = nullptr;
        size_t size = 0;
        FILE* stream = open_memstream(&data, &size);
        int result = 0;
        {
            ULLDObjWriter writer;
            result = writer.attach(stream, u"mem", version, flags);
            for (const ULLDObject& object : objects)
                if (result == 0) result = writer.writeObject(object);
            writer.close();
        }
        fclose(stream);
        std::string text(data, size);
        free(data);
        if (rc) *rc = result;
        return text;
    }
};

ULLDObjField field(const char16_t* name, int type, unsigned length, unsigned keyPos, bool notNull,
                   int off0, int off1) {
    ULLDObjField f;
    f.name = name;
    f.ddicType = type;
    f.length = length;
    f.keyPos = keyPos;
    f.notNull = notNull;
    f.ntOffset[0] = off0;
    f.ntOffset[1] = off1;
    return f;
}

ULLDObject sampleTable() {
    ULLDObject t;
    t.setupTableObj(u"ZTAB");
    ULLDObjAttributes& a = t.attributes;
    a.tabart = u"APPL0";
    a.tabkat = u"0";
    a.bufState[0] = u'X';
    a.tabClass = u'T';
    a.zdbStore = UL_ZDBSTORE_COLUMN;
    a.tempTable = true;
    a.shrType = UL_SHRTYPE_SHARED;
    a.loadUnit = UL_LOADUNIT_PAGE;
    a.pkeyName = u"ZTAB~0";
    a.clientPos = 1;
    a.dbFeatures = UL_DBFEATURE_KEYMAX | UL_DBFEATURE_TABLEN;
    t.options.nkeys = 2;
    t.options.tableLength[0] = 52;
    t.options.tableLength[1] = 56;
    t.options.keyLength[0] = 46;
    t.options.logicalType = UL_LOGTABLE_POOL;
    t.options.resilience = true;
    t.databases.addEntry(UL_DBTYPE_ORA, true);
    t.databases.addEntry(UL_DBTYPE_MSS, false);
    t.references.addEntry(u"ZREF");
    t.structure.fields = {field(u"MANDT", UL_DDIC_CLNT, 3, 1, true, 0, 0),
                          field(u"MATNR", UL_DDIC_CHAR, 40, 2, true, 6, 6),
                          field(u"PRICE", 20, 13, 0, false, 86, -1)};
    t.structure.fields[2].digits = 13;
    t.structure.fields[2].decimals = 2;
    return t;
}

ULLDObject sampleIndex() {
    ULLDObject i;
    i.setupIndexObj(u"ZTAB~Z01", u"ZTAB", true);
    i.attributes.tabart = u"APPL0";
    i.attributes.tabkat = u"0";
    i.attributes.tempTable = true;
    i.index.flexIndex = true;
    i.index.indatt = {u"PARTITION X"};
    i.structure.fields = {field(u"MATNR", UL_DDIC_CHAR, 40, 0, false, -1, -1),
                          field(u"MANDT", UL_DDIC_CLNT, 3, 0, false, -1, -1)};
    return i;
}

ULLDObject samplePrimaryKey() {
    ULLDObject p;
    p.kind = UL_LDOBJ_PRKEY;
    p.name = u"ZTAB~0";
    p.tableName = u"ZTAB";
    p.attributes.tabart = u"APPL0";
    p.structure.fields = {field(u"MANDT", UL_DDIC_CLNT, 3, 1, true, -1, -1),
                          field(u"MATNR", UL_DDIC_CHAR, 40, 2, true, -1, -1)};
    return p;
}

ULLDObject sampleView() {
    ULLDObject v;
    v.kind = UL_LDOBJ_VIEW;
    v.name = u"ZVIEW";
    v.attributes.shrType = UL_SHRTYPE_LOCAL;
    v.viewType = UL_VIEWTYPE_PROJECTION;
    v.viewRefsExternal = true;
    v.objTypeName = u"VIEW";
    v.level = 2;
    v.codePage = u'U';
    v.references.addEntry(u"ZTAB");
    v.structure.fields = {field(u"MANDT", UL_DDIC_CLNT, 3, 0, false, -1, -1)};
    v.createStatements = {u"CREATE VIEW ZVIEW AS SELECT MANDT FROM ZTAB"};
    v.dropStatements = {u"DROP VIEW ZVIEW"};
    v.query = u"SELECT MANDT FROM ZTAB";
    return v;
}

ULLDObject sampleGeneric() {
    ULLDObject g;
    g.kind = UL_LDOBJ_GENERIC;
    g.name = u"ZSVAR";
    g.objTypeName = u"SVAR";
    g.level = 1;
    g.databases.addEntry(UL_DBTYPE_ORA, true);
    g.createStatements = {u"CREATE VARIABLE ZSVAR"};
    g.dropStatements = {u"DROP VARIABLE ZSVAR"};
    return g;
}

TEST_F(UlQ7LdObjWriterTest, WholeBlocksPerKindAndVersion) {
    struct Case {
        const char* what;
        ULLDObject object;
        unsigned version;
        const char* expected;
    };
    const Case cases[] = {
        {"table positional", sampleTable(), 13,
         "\ntab: ZTAB\n"
         "dbs: ORA !MSS\n"
         "att: APPL0  0   X? T Sshared column _temporary ZTAB~0                            NATIV  "
         "-\n"
         "opt: nkeys=2 tablen=52/56 keylen=46 resilience=true\n"
         "ref: ZREF\n"
         "fld: MANDT                             CLNT     3     0   0 not_null     0     0  1\n"
         "fld: MATNR                             CHAR    40     0   0 not_null     6     6  2\n"
         "fld: PRICE                             CURR    13    13   2             86     -  0\n"},
        {"table version 1", sampleTable(), 1,
         "\ntab: ZTAB\n"
         "dbs: ORA !MSS\n"
         "att: APPL0  0   X? T ZTAB~0                            NATIV  -\n"
         "opt: nkeys=2 tablen=52 keylen=46 resilience=true\n"
         "ref: ZREF\n"
         "fld: MANDT                             CLNT     3     0   0 not_null  1\n"
         "fld: MATNR                             CHAR    40     0   0 not_null  2\n"
         "fld: PRICE                             CURR    13    13   2           0\n"},
        {"table named", sampleTable(), 18,
         "\ntab: ZTAB\n"
         "dbs: ORA !MSS\n"
         "att: tabart=APPL0 tabkat=0 bufstate=X? tabclass=T zdbstore=column temp_table=true "
         "shr_type=shared loadunit=page pkey=ZTAB~0 clientpos=1 dbfeature=keymax,tablen\n"
         "opt: nkeys=2 tablen=52/56 keylen=46 logicaltype=pool resilience=true\n"
         "ref: ZREF\n"
         "fld: MANDT      ddtype=CLNT len=3 not_null ntoffsets=0 keypos=1\n"
         "fld: MATNR      ddtype=CHAR len=40 not_null ntoffsets=6 keypos=2\n"
         "fld: PRICE      ddtype=CURR len=13 digits=13 decimals=2 ntoffsets=86/-\n"},
        {"index positional", sampleIndex(), 13,
         "\nind: ZTAB~Z01\n"
         "att: APPL0  0   unique     _temporary flexindex\n"
         "ref: ZTAB\n"
         "indatt: PARTITION X\n"
         "fld: MATNR\n"
         "fld: MANDT\n"},
        {"index named", sampleIndex(), 18,
         "\nind: ZTAB~Z01\n"
         "att: tabart=APPL0 tabkat=0 unique=true temp_table=true flexindex=true\n"
         "ref: ZTAB\n"
         "indatt: PARTITION X\n"
         "fld: MATNR\n"
         "fld: MANDT\n"},
        {"primary key positional", samplePrimaryKey(), 13,
         "\npky: ZTAB~0\natt: APPL0  -\nref: ZTAB\nfld: MANDT\nfld: MATNR\n"},
        {"primary key named", samplePrimaryKey(), 18,
         "\npky: ZTAB~0\natt: tabart=APPL0\nref: ZTAB\nfld: MANDT\nfld: MATNR\n"},
        {"view version 2", sampleView(), 2,
         "\nvie: ZVIEW\n"
         "ref: ZTAB\n"
         "fld: MANDT\n"
         "crestm: CREATE VIEW ZVIEW AS SELECT MANDT FROM ZTAB\n"
         "drpstm: DROP VIEW ZVIEW\n"
         "qry: SELECT MANDT FROM ZTAB\n"},
        {"view named", sampleView(), 18,
         "\nvie: ZVIEW\n"
         "opt: shr_type=local view_type=projection view_refs=external\n"
         "typ: VIEW\n"
         "level: 2\n"
         "cp: U\n"
         "ref: ZTAB\n"
         "fld: MANDT\n"
         "crestm: \"CREATE VIEW ZVIEW AS SELECT MANDT FROM ZTAB\"\n"
         "drpstm: \"DROP VIEW ZVIEW\"\n"
         "qry: \"SELECT MANDT FROM ZTAB\"\n"},
        {"generic raw statements", sampleGeneric(), 8,
         "\nobj: ZSVAR\n"
         "dbs: ORA\n"
         "typ: SVAR\n"
         "level: 1\n"
         "crestm: CREATE VARIABLE ZSVAR\n"
         "drpstm: DROP VARIABLE ZSVAR\n"},
        {"generic escaped statements", sampleGeneric(), 18,
         "\nobj: ZSVAR\n"
         "dbs: ORA\n"
         "typ: SVAR\n"
         "level: 1\n"
         "crestm: \"CREATE VARIABLE ZSVAR\"\n"
         "drpstm: \"DROP VARIABLE ZSVAR\"\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int rc = -1;
        std::string text = write(c.version, {c.object}, &rc);
        ASSERT_EQ(rc, 0) << u8(errorText());
        size_t body = text.find("\n\n");
        ASSERT_NE(body, std::string::npos);
        EXPECT_EQ(text.substr(body + 1), c.expected);
    }
}

TEST_F(UlQ7LdObjWriterTest, VersionHeader) {
    const struct {
        unsigned version;
        const char* expected;
    } cases[] = {
        {0, ""},
        {5,
         "# Versions:\n#    1 - initial format.\n#    2 - row store flags.\n#    3 - CDS views.\n"
         "#    4 - global temporary table.\n#    5 - full-text index for Zentra.\nver: 5\n"},
        {6,
         "# Versions:\n#   ...\n#    2 - row store flags.\n#    3 - CDS views.\n"
         "#    4 - global temporary table.\n#    5 - full-text index for Zentra.\n"
         "#    6 - primary key can be defined as inverted hash index.\nver: 6\n"},
        {18,
         "# Versions:\n#   ...\n#    14 - named attributes in 'fld:' lines.\n"
         "#    15 - named attributes in 'att:' lines.\n#    16 - no default field length.\n"
         "#    17 - client position.\n#    18 - logical table types.\nver: 18\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        EXPECT_EQ(write(c.version, {}), c.expected);
    }
    int rc = 0;
    EXPECT_EQ(write(19, {}, &rc), "");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(u8(errorText()), "STR version 19 not supported by this Q7ldctl");
}

// A refused object leaves nothing in the file; the message names what the version lacks.
TEST_F(UlQ7LdObjWriterTest, WhatAVersionCannotExpressIsRefused) {
    auto withField = [](int type) {
        ULLDObject t;
        t.setupTableObj(u"ZTAB");
        t.structure.fields = {field(u"SHAPE", type, 0, 0, false, -1, -1)};
        return t;
    };
    auto withStatement = [](const char16_t* statement) {
        ULLDObject v = sampleView();
        v.createStatements = {statement};
        return v;
    };
    ULLDObject spaced = sampleTable();
    spaced.name = u"MY TAB";
    ULLDObject noKind = sampleTable();
    noKind.kind = UL_LDOBJ_NONE;
    ULLDObject badType = sampleView();
    badType.objTypeName = u"TABLE";
    const struct {
        const char* what;
        ULLDObject object;
        unsigned version;
        const char* message;  // null: accepted
    } cases[] = {
        {"spatial below 14", withField(118), 13,
         "Internal error: Data type 'GGM1' for field ZTAB.SHAPE not supported with STR version 13"},
        {"spatial from 14", withField(118), 14, nullptr},
        {"decfloat below 3", withField(98), 2,
         "Internal error: Data type 'D16N' for field ZTAB.SHAPE not supported with STR version 2"},
        {"decfloat from 3", withField(98), 3, nullptr},
        {"unknown type code", withField(6), 18, "Unknown DDIC type #6"},
        {"session variable below 7", sampleGeneric(), 6,
         "Object type 'SVAR' of 'ZSVAR' not supported with STR version 6"},
        {"session variable from 7", sampleGeneric(), 7, nullptr},
        {"unknown object type", badType, 18, "Invalid object type 'TABLE' found!"},
        {"object of no kind", noKind, 18, "Cannot write object 'ZTAB' of unknown kind 0"},
        {"blank in a name below 9", spaced, 8,
         "Name 'MY TAB' of 'MY TAB' cannot be written with STR version 8"},
        {"raw statement: empty line", withStatement(u"SELECT *\n\nFROM T"), 8,
         "Statement of 'ZVIEW' cannot be written with STR version 8"},
        {"raw statement: trailing line feed", withStatement(u"SELECT *\n"), 8,
         "Statement of 'ZVIEW' cannot be written with STR version 8"},
        {"raw statement: keyword line", withStatement(u"SELECT *\n  fld: X"), 8,
         "Statement of 'ZVIEW' cannot be written with STR version 8"},
        {"raw statement: comment line", withStatement(u"SELECT *\n# x"), 8,
         "Statement of 'ZVIEW' cannot be written with STR version 8"},
        {"raw statement: leading blank", withStatement(u" SELECT 1"), 8,
         "Statement of 'ZVIEW' cannot be written with STR version 8"},
        {"raw statement: carriage return", withStatement(u"SELECT 1\r"), 8,
         "Statement of 'ZVIEW' cannot be written with STR version 8"},
        {"raw statement: keyword inside a line", withStatement(u"SELECT *\nFROM fld:"), 8, nullptr},
        {"escaped statement: anything", withStatement(u"SELECT *\n\n# x\r\n"), 9, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ul_errorsetmsg(0, nullptr);
        int rc = 0;
        std::string text = write(c.version, {c.object}, &rc);
        if (!c.message) {
            EXPECT_EQ(rc, 0) << u8(errorText());
            continue;
        }
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(u8(errorText()), c.message);
        EXPECT_EQ(text.find("\n\n"), std::string::npos) << text;
    }
}

TEST_F(UlQ7LdObjWriterTest, NamesAndStatementsByVersion) {
    const struct {
        const char* what;
        unsigned version;
        bool forceQuoting;
        const char16_t* name;
        const char16_t* statement;
        const char* header;
        const char* crestm;
    } cases[] = {
        {"plain", 9, false, u"MARA", u"SELECT 1", "vie: MARA", "crestm: \"SELECT 1\""},
        {"plain forced", 9, true, u"MARA", u"SELECT 1", "vie: \"MARA\"", "crestm: \"SELECT 1\""},
        {"plain forced below 9", 8, true, u"MARA", u"SELECT 1", "vie: MARA", "crestm: SELECT 1"},
        {"blanks and quotes", 9, false, u"MY \"T\" X", u"SELECT 1", "vie: \"MY \\\"T\\\" X\"",
         "crestm: \"SELECT 1\""},
        {"quotes without blanks", 9, false, u"A'B\"C", u"SELECT 1", "vie: A\\'B\\\"C",
         "crestm: \"SELECT 1\""},
        {"quotes forced", 18, true, u"A'B", u"SELECT 1", "vie: \"A\\'B\"", "crestm: \"SELECT 1\""},
        {"empty name", 9, false, u"", u"SELECT 1", "vie: \"\"", "crestm: \"SELECT 1\""},
        {"raw newline", 8, false, u"V", u"SELECT *\nFROM \"T\"", "vie: V",
         "crestm: SELECT *\nFROM \"T\""},
        {"escaped newline", 9, false, u"V", u"SELECT *\nFROM \"T\"\tX\\", "vie: V",
         "crestm: \"SELECT *\\nFROM \\\"T\\\"\\tX\\\\\""},
        {"empty raw statement", 8, false, u"V", u"", "vie: V", "crestm:"},
        {"empty escaped statement", 9, false, u"V", u"", "vie: V", "crestm: \"\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.forceQuoting)
            UL_SQLGlobalFlags |= UL_SQLFLAG_Q7LDFORCEQUOTING;
        else
            UL_SQLGlobalFlags &= ~UL_SQLFLAG_Q7LDFORCEQUOTING;
        ULLDObject v;
        v.kind = UL_LDOBJ_VIEW;
        v.name = c.name;
        v.createStatements = {c.statement};
        int rc = -1;
        std::string text = write(c.version, {v}, &rc);
        ASSERT_EQ(rc, 0) << u8(errorText());
        std::string body = text.substr(text.find("\n\n") + 2);
        EXPECT_EQ(body, std::string(c.header) + "\n" + c.crestm + "\n");
    }
}

// The checksum identifies a definition: kind, name and database list count, the fields do not.
TEST_F(UlQ7LdObjWriterTest, ChecksumIdentifiesTheDefinition) {
    auto crcLine = [](const ULLDObject& object) {
        std::string text = write(18, {object}, nullptr, UL_LDWRITE_CRC);
        size_t at = text.find("crc: ");
        return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
    };
    ULLDObject base = sampleTable();
    std::string crc = crcLine(base);
    ASSERT_EQ(crc.size(), 13u) << crc;
    EXPECT_EQ(crc.find_first_not_of("0123456789abcdef", 5), std::string::npos) << crc;
    EXPECT_EQ(write(18, {base}).find("crc:"), std::string::npos);

    ULLDObject fewerFields = base;
    fewerFields.structure.fields.pop_back();
    EXPECT_EQ(crcLine(fewerFields), crc);
    ULLDObject otherName = base;
    otherName.name = u"ZTAC";
    ULLDObject included = base;
    included.databases.addEntry(UL_DBTYPE_MSS, true);
    ULLDObject asView = base;
    asView.kind = UL_LDOBJ_VIEW;
    for (const ULLDObject* changed : {&otherName, &included, &asView})
        EXPECT_NE(crcLine(*changed), crc);
}

// The documented bytes, checksummed bit by bit: kind 2 big-endian, then each text as UTF-16
// high byte first with a zero code unit behind it, "!" glued to an excluded database's code.
TEST_F(UlQ7LdObjWriterTest, ChecksumBytes) {
    auto bitwise = [](const std::vector<unsigned char>& bytes) {
        unsigned crc = 0xFFFFFFFFu;
        for (unsigned char b : bytes) {
            crc ^= static_cast<unsigned>(b) << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        return static_cast<long>(crc);
    };
    ULLDObject index;
    index.setupIndexObj(u"I", u"T", false);
    index.databases.addEntry(UL_DBTYPE_ORA, false);
    EXPECT_EQ(ul_ldobjchecksum(index), bitwise({0, 0, 0,   2, 0,   'I', 0,   0, 0,   'T', 0,
                                                0, 0, '!', 0, 'O', 0,   'R', 0, 'A', 0,   0}));
    std::string text = write(18, {index}, nullptr, UL_LDWRITE_CRC);
    char expected[32];
    snprintf(expected, sizeof expected, "crc: %08lx\n", ul_ldobjchecksum(index));
    EXPECT_NE(text.find(expected), std::string::npos) << text;
}

// Version 16 stops filling in default lengths, so "len=" then appears for every length.
TEST_F(UlQ7LdObjWriterTest, LengthPhraseByVersion) {
    const struct {
        unsigned version;
        int type;
        unsigned length;
        const char* expected;
    } cases[] = {
        {15, UL_DDIC_CLNT, 3, "fld: F          ddtype=CLNT\n"},
        {15, UL_DDIC_CLNT, 4, "fld: F          ddtype=CLNT len=4\n"},
        {15, UL_DDIC_CHAR, 0, "fld: F          ddtype=CHAR\n"},
        {16, UL_DDIC_CLNT, 3, "fld: F          ddtype=CLNT len=3\n"},
        {16, UL_DDIC_CHAR, 0, "fld: F          ddtype=CHAR\n"},
        {16, 228, 0, "fld: F          ddtype=STRG\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        ULLDObject t;
        t.setupTableObj(u"T");
        t.structure.fields = {field(u"F", c.type, c.length, 0, false, -1, -1)};
        std::string text = write(c.version, {t});
        EXPECT_EQ(text.substr(text.rfind("\nfld:") + 1), c.expected);
    }
}

}  // namespace

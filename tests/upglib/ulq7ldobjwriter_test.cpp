// The structure-file writer: whole blocks per object kind in the positional and the named
// layout, the version header, names and statements by version, what a version refuses, and
// the checksum line.
#include "ulq7ldobjwriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "ulq7ldobjreader.h"
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
        MemoryStream out;
        int result = 0;
        {
            ULLDObjWriter writer;
            result = writer.attach(out.get(), u"mem", version, flags);
            for (const ULLDObject& object : objects)
                if (result == 0) result = writer.writeObject(object);
            writer.close();
        }
        if (rc) *rc = result;
        return out.text();
    }
    // The text behind the version header.
    static std::string body(unsigned version, const ULLDObject& object) {
        int rc = -1;
        std::string text = write(version, {object}, &rc);
        EXPECT_EQ(rc, 0) << u8(errorText());
        return text.substr(text.find("\n\n") + 1);
    }
};

ULLDObjField field(const char16_t* name, int type, unsigned length, unsigned keyPos = 0,
                   bool notNull = false, int off0 = -1, int off1 = -1) {
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

// The sample objects of every kind, as the newest version writes them; older versions write the
// same objects in their own layouts (WholeBlocksPerKindAndVersion).
const std::string kTable =
    "\ntab: ZTAB\ndbs: ORA !MSS\natt: tabart=APPL0 tabkat=0 bufstate=X? tabclass=T "
    "zdbstore=column temp_table=true shr_type=shared loadunit=page pkey=ZTAB~0 clientpos=1 "
    "dbfeature=keymax,tablen\nopt: nkeys=2 tablen=52/56 keylen=46 logicaltype=pool "
    "resilience=true\nref: ZREF\nfld: MANDT      ddtype=CLNT len=3 not_null ntoffsets=0 "
    "keypos=1\nfld: MATNR      ddtype=CHAR len=40 not_null ntoffsets=6 keypos=2\n"
    "fld: PRICE      ddtype=CURR len=13 digits=13 decimals=2 ntoffsets=86/-\n";
const std::string kIndex =
    "\nind: ZTAB~Z01\natt: tabart=APPL0 tabkat=0 unique=true temp_table=true flexindex=true\n"
    "ref: ZTAB\nindatt: PARTITION X\nfld: MATNR\nfld: MANDT\n";
const std::string kPrimaryKey =
    "\npky: ZTAB~0\natt: tabart=APPL0\nref: ZTAB\nfld: MANDT\nfld: MATNR\n";
const std::string kView =
    "\nvie: ZVIEW\nopt: shr_type=local view_type=projection view_refs=external\ntyp: VIEW\n"
    "level: 2\ncp: U\nref: ZTAB\nfld: MANDT\ncrestm: \"CREATE VIEW ZVIEW AS SELECT MANDT FROM "
    "ZTAB\"\ndrpstm: \"DROP VIEW ZVIEW\"\nqry: \"SELECT MANDT FROM ZTAB\"\n";
const std::string kGeneric =
    "\nobj: ZSVAR\ndbs: ORA\ntyp: SVAR\nlevel: 1\ncrestm: \"CREATE VARIABLE ZSVAR\"\n"
    "drpstm: \"DROP VARIABLE ZSVAR\"\n";

ULLDObject sample(const std::string& block) {
    TempDir dir;
    ULLDObjBaseReader reader;
    ULLDObject object;
    std::u16string name;
    EXPECT_EQ(reader.open(ul_utf8to16(dir.write("s.str", "ver: 18\n" + block).c_str()).c_str()), 0);
    EXPECT_GT(reader.getNextObjName(&name), 0);
    EXPECT_EQ(reader.readObject(&object, name.c_str()), 0) << u8(errorText());
    return object;
}

TEST_F(UlQ7LdObjWriterTest, WholeBlocksPerKindAndVersion) {
    const std::string fld = "fld: ", pad = "                             ";
    const std::tuple<ULLDObject, unsigned, std::string> cases[] = {
        {sample(kTable), 13,
         "\ntab: ZTAB\ndbs: ORA !MSS\natt: APPL0  0   X? T Sshared column _temporary ZTAB~0" +
             pad.substr(1) +
             "NATIV  -\nopt: nkeys=2 tablen=52/56 keylen=46 resilience=true\nref: ZREF\n" + fld +
             "MANDT" + pad + "CLNT     3     0   0 not_null     0     0  1\n" + fld + "MATNR" +
             pad + "CHAR    40     0   0 not_null     6     6  2\n" + fld + "PRICE" + pad +
             "CURR    13    13   2             86     -  0\n"},
        {sample(kTable), 18, kTable},
        {sample(kIndex), 13,
         "\nind: ZTAB~Z01\natt: APPL0  0   unique     _temporary flexindex\nref: ZTAB\n"
         "indatt: PARTITION X\nfld: MATNR\nfld: MANDT\n"},
        {sample(kIndex), 18, kIndex},
        {sample(kPrimaryKey), 13,
         "\npky: ZTAB~0\natt: APPL0  -\nref: ZTAB\nfld: MANDT\nfld: MATNR\n"},
        {sample(kPrimaryKey), 18, kPrimaryKey},
        {sample(kView), 2,
         "\nvie: ZVIEW\nref: ZTAB\nfld: MANDT\ncrestm: CREATE VIEW ZVIEW AS SELECT MANDT FROM "
         "ZTAB\ndrpstm: DROP VIEW ZVIEW\nqry: SELECT MANDT FROM ZTAB\n"},
        {sample(kView), 18, kView},
        {sample(kGeneric), 8,
         "\nobj: ZSVAR\ndbs: ORA\ntyp: SVAR\nlevel: 1\ncrestm: CREATE VARIABLE ZSVAR\n"
         "drpstm: DROP VARIABLE ZSVAR\n"},
    };
    for (const auto& [object, version, expected] : cases)
        EXPECT_EQ(body(version, object), expected) << u8(object.name) << " " << version;
}

// Property: in every version the reader reads back what the writer wrote, into objects the writer
// writes alike; the checksum read is the object's checksum. Names and statements that need
// escaping, and types that need a version, join from the versions that can write them.
TEST_F(UlQ7LdObjWriterTest, ReaderReadsBackWhatEveryVersionWrote) {
    TempDir dir;
    for (unsigned v = 0; v <= UL_LDSTR_WRITEVERSION; ++v) {
        SCOPED_TRACE("version " + std::to_string(v));
        std::vector<ULLDObject> objects = {sample(kTable), sample(kIndex), sample(kPrimaryKey),
                                           sample(kView)};
        if (v >= 3) objects.push_back(sample(kGeneric));
        if (v < 7 && v >= 3) objects[4].objTypeName = u"AMDP";
        ULLDObjAttributes& a = objects[0].attributes;
        a.pkeyInvHash = true;
        a.pkeyTabart = u"APPL1";
        a.pkeyTabkat = u"1";
        ULLDObjOptions& o = objects[0].options;
        o.basisTable = UL_BASISTABLE_NO;
        o.derivedLogTab = o.snapTable = o.withSchema = true;
        o.infoId = u"INFO";
        ULLDObject& view = objects[3];
        view.createStatements = {u"CREATE VIEW V1 AS\n  SELECT A\nFROM T", u"COMMENT ON V1"};
        if (v >= 9) {
            objects[0].name = u"Z \"T\" 'X\\";
            objects[0].references.addEntry(u"R\\2");
            objects[0].options.infoId = u"it's";
            view.createStatements[0] = u"CREATE VIEW \"V1\" AS\n\tSELECT 'a\\b'\n";
            view.varQuery = u"SELECT\n?";
        }
        if (v >= 14) {
            objects[0].structure.fields.push_back(field(u"GEO", 118, 0));
            objects[0].structure.fields.back().srsId = 4326;
            objects[0].structure.fields.push_back(
                field(u"STAMP", ul_ldobjtype_string2ddic(u"UTCL"), 27));
            objects[0].structure.fields.back().zdbTimestamp = 2;
        }
        int rc = -1;
        const std::string text = write(v, objects, &rc, UL_LDWRITE_CRC);
        ASSERT_EQ(rc, 0) << u8(errorText());
        ULLDObjBaseReader reader;
        ASSERT_EQ(reader.open(ul_utf8to16(dir.write("rt.str", text).c_str()).c_str()), 0)
            << u8(errorText());
        std::vector<ULLDObject> read;
        std::u16string name;
        for (int kind; (kind = reader.getNextObjName(&name)) > 0;) {
            read.emplace_back();
            ASSERT_EQ(reader.readObject(&read.back(), name.c_str()), 0) << u8(errorText());
            EXPECT_EQ(read.back().kind, kind);
        }
        ASSERT_EQ(read.size(), objects.size());
        EXPECT_EQ(write(v, read, nullptr, UL_LDWRITE_CRC), text);
        for (size_t i = 0; i < read.size(); ++i)
            EXPECT_EQ(read[i].crc, ul_ldobjchecksum(objects[i]));
    }
}

TEST_F(UlQ7LdObjWriterTest, VersionHeader) {
    const std::string v2to5 =
        "#    2 - row store flags.\n#    3 - CDS views.\n"
        "#    4 - global temporary table.\n#    5 - full-text index for Zentra.\n";
    const std::pair<unsigned, std::string> cases[] = {
        {0, ""},
        {5, "# Versions:\n#    1 - initial format.\n" + v2to5 + "ver: 5\n"},
        {6, "# Versions:\n#   ...\n" + v2to5 +
                "#    6 - primary key can be defined as inverted hash index.\nver: 6\n"},
        {18,
         "# Versions:\n#   ...\n#    14 - named attributes in 'fld:' lines.\n"
         "#    15 - named attributes in 'att:' lines.\n#    16 - no default field length.\n"
         "#    17 - client position.\n#    18 - logical table types.\nver: 18\n"},
    };
    for (const auto& [version, expected] : cases)
        EXPECT_EQ(write(version, {}), expected) << version;
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
        t.structure.fields = {field(u"SHAPE", type, 0)};
        return t;
    };
    auto withStatement = [](const char16_t* statement) {
        ULLDObject v = sample(kView);
        v.createStatements = {statement};
        return v;
    };
    ULLDObject spaced = sample(kTable), noKind = sample(kTable), badType = sample(kView);
    spaced.name = u"MY TAB";
    noKind.kind = UL_LDOBJ_NONE;
    badType.objTypeName = u"TABLE";
    const char* raw = "Statement of 'ZVIEW' cannot be written with STR version 8";
    const std::tuple<ULLDObject, unsigned, const char*> cases[] = {
        {withField(118), 13,
         "Internal error: Data type 'GGM1' for field ZTAB.SHAPE not supported with STR version 13"},
        {withField(118), 14, nullptr},
        {withField(98), 2,
         "Internal error: Data type 'D16N' for field ZTAB.SHAPE not supported with STR version 2"},
        {withField(98), 3, nullptr},
        {withField(6), 18, "Unknown DDIC type #6"},
        {sample(kGeneric), 6, "Object type 'SVAR' of 'ZSVAR' not supported with STR version 6"},
        {sample(kGeneric), 7, nullptr},
        {badType, 18, "Invalid object type 'TABLE' found!"},
        {noKind, 18, "Cannot write object 'ZTAB' of unknown kind 0"},
        {spaced, 8, "Name 'MY TAB' of 'MY TAB' cannot be written with STR version 8"},
        {withStatement(u"SELECT *\n\nFROM T"), 8, raw},
        {withStatement(u"SELECT *\n"), 8, raw},
        {withStatement(u"SELECT *\n  fld: X"), 8, raw},
        {withStatement(u"SELECT *\n# x"), 8, raw},
        {withStatement(u" SELECT 1"), 8, raw},
        {withStatement(u"SELECT 1\r"), 8, raw},
        {withStatement(u"SELECT *\nFROM fld:"), 8, nullptr},
        {withStatement(u"SELECT *\n\n# x\r\n"), 9, nullptr},
    };
    for (const auto& [object, version, message] : cases) {
        SCOPED_TRACE(u8(object.name) + " " + std::to_string(version));
        ul_errorsetmsg(0, nullptr);
        int rc = 0;
        std::string text = write(version, {object}, &rc);
        EXPECT_EQ(rc, message ? -1 : 0) << u8(errorText());
        if (!message) continue;
        EXPECT_EQ(u8(errorText()), message);
        EXPECT_EQ(text.find("\n\n"), std::string::npos) << text;
    }
}

TEST_F(UlQ7LdObjWriterTest, NamesAndStatementsByVersion) {
    // Version, forced quoting, name and statement of a view, the lines written.
    const std::tuple<unsigned, bool, const char16_t*, const char16_t*, std::string> cases[] = {
        {9, false, u"MARA", u"SELECT 1", "vie: MARA\ncrestm: \"SELECT 1\""},
        {9, true, u"MARA", u"SELECT 1", "vie: \"MARA\"\ncrestm: \"SELECT 1\""},
        {8, true, u"MARA", u"SELECT 1", "vie: MARA\ncrestm: SELECT 1"},
        {9, false, u"MY \"T\" X", u"SELECT 1", "vie: \"MY \\\"T\\\" X\"\ncrestm: \"SELECT 1\""},
        {9, false, u"A'B\"C", u"SELECT 1", "vie: A\\'B\\\"C\ncrestm: \"SELECT 1\""},
        {18, true, u"A'B", u"SELECT 1", "vie: \"A\\'B\"\ncrestm: \"SELECT 1\""},
        {9, false, u"", u"SELECT 1", "vie: \"\"\ncrestm: \"SELECT 1\""},
        {8, false, u"V", u"SELECT *\nFROM \"T\"", "vie: V\ncrestm: SELECT *\nFROM \"T\""},
        {9, false, u"V", u"SELECT *\nFROM \"T\"\tX\\",
         "vie: V\ncrestm: \"SELECT *\\nFROM \\\"T\\\"\\tX\\\\\""},
        {8, false, u"V", u"", "vie: V\ncrestm:"},
        {9, false, u"V", u"", "vie: V\ncrestm: \"\""},
    };
    for (const auto& [version, forceQuoting, name, statement, expected] : cases) {
        if (forceQuoting)
            UL_SQLGlobalFlags |= UL_SQLFLAG_Q7LDFORCEQUOTING;
        else
            UL_SQLGlobalFlags &= ~UL_SQLFLAG_Q7LDFORCEQUOTING;
        ULLDObject v;
        v.kind = UL_LDOBJ_VIEW;
        v.name = name;
        v.createStatements = {statement};
        EXPECT_EQ(body(version, v), "\n" + expected + "\n") << expected;
    }
}

// The checksum identifies a definition: kind, name and database list count, the fields do not.
// Its bytes: kind 2 big-endian, then each text as UTF-16 high byte first with a zero code unit
// behind it, "!" glued to an excluded database's code; checked against a bitwise CRC here.
TEST_F(UlQ7LdObjWriterTest, ChecksumIdentifiesTheDefinition) {
    auto crcLine = [](const ULLDObject& object) {
        std::string text = write(18, {object}, nullptr, UL_LDWRITE_CRC);
        size_t at = text.find("crc: ");
        return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
    };
    ULLDObject base = sample(kTable);
    std::string crc = crcLine(base);
    char expected[32];
    snprintf(expected, sizeof expected, "crc: %08lx", ul_ldobjchecksum(base));
    EXPECT_EQ(crc, expected);
    EXPECT_EQ(write(18, {base}).find("crc:"), std::string::npos);
    ULLDObject fewerFields = base, otherName = base, included = base, asView = base;
    fewerFields.structure.fields.pop_back();
    EXPECT_EQ(crcLine(fewerFields), crc);
    otherName.name = u"ZTAC";
    included.databases.addEntry(UL_DBTYPE_MSS, true);
    asView.kind = UL_LDOBJ_VIEW;
    for (const ULLDObject* changed : {&otherName, &included, &asView})
        EXPECT_NE(crcLine(*changed), crc);

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
}

// Version 16 stops filling in default lengths, so "len=" then appears for every length.
TEST_F(UlQ7LdObjWriterTest, LengthPhraseByVersion) {
    const std::tuple<unsigned, int, unsigned, std::string> cases[] = {
        {15, UL_DDIC_CLNT, 3, "CLNT"}, {15, UL_DDIC_CLNT, 4, "CLNT len=4"},
        {15, UL_DDIC_CHAR, 0, "CHAR"}, {16, UL_DDIC_CLNT, 3, "CLNT len=3"},
        {16, UL_DDIC_CHAR, 0, "CHAR"}, {16, 228, 0, "STRG"}};
    for (const auto& [version, type, length, phrase] : cases) {
        ULLDObject t;
        t.setupTableObj(u"T");
        t.structure.fields = {field(u"F", type, length)};
        std::string text = write(version, {t});
        EXPECT_EQ(text.substr(text.rfind("\nfld:") + 1), "fld: F          ddtype=" + phrase + "\n")
            << version;
    }
}

}  // namespace

#include "ulq7ldobjreader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "tracecapture.h"
#include "ulerror.h"
#include "ulq7ldobjwriter.h"
#include "ulsqlbase.h"

namespace {

// Every member a structure file can carry, one per line, so that a difference shows by name.
std::string describe(const ULLDObject& o) {
    std::ostringstream s;
    const ULLDObjAttributes& a = o.attributes;
    const ULLDObjOptions& p = o.options;
    s << "kind=" << o.kind << " name=" << u8(o.name) << " table=" << u8(o.tableName) << "\n"
      << "att=" << u8(a.tabart) << "/" << u8(a.tabkat) << " buf=" << int(a.bufState[0]) << ","
      << int(a.bufState[1]) << " class=" << int(a.tabClass) << " store=" << a.zdbStore
      << " temp=" << a.tempTable << " invhash=" << a.pkeyInvHash << " shr=" << a.shrType
      << " unit=" << a.loadUnit << " pkey=" << u8(a.pkeyName) << "/" << u8(a.pkeyTabart) << "/"
      << u8(a.pkeyTabkat) << " clientpos=" << a.clientPos << " features=" << a.dbFeatures << "\n"
      << "opt=basis" << p.basisTable << " nkeys=" << p.nkeys << " tablen=" << p.tableLength[0]
      << "/" << p.tableLength[1] << " keylen=" << p.keyLength[0] << "/" << p.keyLength[1]
      << " derived=" << p.derivedLogTab << " logical=" << p.logicalType << " info=" << u8(p.infoId)
      << " snap=" << p.snapTable << " schema=" << p.withSchema << " resilience=" << p.resilience
      << "\n";
    for (size_t i = 0; i < o.references.count(); ++i)
        s << "ref " << u8(o.references.entry(i)) << "\n";
    for (size_t i = 0; i < o.databases.count(); ++i)
        s << "dbs " << o.databases.entry(i).include << o.databases.entry(i).dbType << "\n";
    for (const ULLDObjField& f : o.structure.fields)
        s << "fld " << u8(f.name) << " " << f.ddicType << " " << f.length << " " << f.digits << " "
          << f.decimals << " " << f.notNull << " " << f.ntOffset[0] << "/" << f.ntOffset[1] << " "
          << f.srsId << " " << f.zdbTimestamp << " " << f.keyPos << "\n";
    s << "index unique=" << o.index.unique << " flex=" << o.index.flexIndex << "\n";
    for (const auto& t : o.index.indatt) s << "indatt [" << u8(t) << "]\n";
    for (const auto& t : o.createStatements) s << "crestm [" << u8(t) << "]\n";
    for (const auto& t : o.dropStatements) s << "drpstm [" << u8(t) << "]\n";
    s << "qry [" << u8(o.query) << "] varqry [" << u8(o.varQuery) << "]\n"
      << "view type=" << o.viewType << " ext=" << o.viewRefsExternal << " typ=" << u8(o.objTypeName)
      << " level=" << o.level << " cp=" << int(o.codePage);
    return s.str();
}

ULLDObjField field(const char16_t* name, const char16_t* type, unsigned length, unsigned keyPos,
                   int nt0 = -1, int nt1 = -1) {
    ULLDObjField f;
    f.name = name;
    f.ddicType = ul_ldobjtype_string2ddic(type);
    f.length = length;
    f.keyPos = keyPos;
    f.notNull = keyPos != 0;
    f.ntOffset[0] = nt0;
    f.ntOffset[1] = nt1;
    return f;
}

// The objects of the round trip: as much as version v can express, and with names and
// statements only its rules allow.
std::vector<ULLDObject> sampleObjects(unsigned v) {
    const bool escaped = v >= 9;
    std::vector<ULLDObject> objects(5);
    ULLDObject& t = objects[0];
    t.setupTableObj(escaped ? u"TAB \"1\"" : u"TAB1");
    ULLDObjAttributes& a = t.attributes;
    a.tabart = u"APPL0";
    a.tabkat = u"0";
    a.bufState[0] = u'X';
    a.tabClass = u'T';
    a.zdbStore = v >= 2 ? UL_ZDBSTORE_COLUMN : UL_ZDBSTORE_NONE;
    a.tempTable = v >= 4;
    a.pkeyInvHash = v >= 6;
    a.shrType = v >= 8 ? UL_SHRTYPE_SHARED : UL_SHRTYPE_NONE;
    a.pkeyName = u"TAB1~0";
    a.pkeyTabart = u"APPL1";
    a.pkeyTabkat = u"1";
    if (v >= 15) {
        a.loadUnit = UL_LOADUNIT_PAGE;
        a.dbFeatures = UL_DBFEATURE_KEYMAX | UL_DBFEATURE_TABLEN;
    }
    if (v >= 17) a.clientPos = 1;
    ULLDObjOptions& o = t.options;
    o.basisTable = UL_BASISTABLE_NO;
    o.nkeys = 2;
    o.tableLength[0] = 100;
    o.tableLength[1] = v >= 12 ? 120 : -1;
    o.keyLength[0] = 20;
    o.derivedLogTab = o.snapTable = o.withSchema = o.resilience = true;
    o.logicalType = v >= 18 ? UL_LOGTABLE_POOL : UL_LOGTABLE_NONE;
    o.infoId = escaped ? u"it's" : u"INFO";
    t.references.addEntry(u"REF1");
    t.references.addEntry(escaped ? u"R\\2" : u"R2");
    t.databases.addEntry(ul_sqlgetdbatypefromstring(u"ORA"), true);
    t.databases.addEntry(ul_sqlgetdbatypefromstring(u"MSS"), false);
    const bool offsets = v >= 11;
    t.structure.fields = {field(u"MANDT", u"CLNT", 3, 1, offsets ? 0 : -1, offsets ? 0 : -1),
                          field(u"MATNR", u"CHAR", 40, 2, offsets ? 6 : -1, offsets ? 8 : -1),
                          field(u"PRICE", u"CURR", 13, 0, offsets ? 86 : -1)};
    t.structure.fields[2].digits = 13;
    t.structure.fields[2].decimals = 2;
    if (v >= 14) {
        t.structure.fields.push_back(field(u"GEO", u"GGM1", 0, 0));
        t.structure.fields.back().srsId = 4326;
        t.structure.fields.push_back(field(u"STAMP", u"UTCL", 27, 0));
        t.structure.fields.back().zdbTimestamp = 2;
    }

    ULLDObject& x = objects[1];
    x.setupIndexObj(u"TAB1~IDX", t.name.c_str(), true);
    x.attributes.tabart = u"APPL0";
    x.attributes.tempTable = v >= 4;
    x.index.flexIndex = v >= 5;
    x.index.indatt = {u"PARTITION BY HASH ( A ,  B )", u""};
    x.structure.fields = {field(u"MATNR", u"CHAR", 0, 0), field(u"MANDT", u"CHAR", 0, 0)};
    for (ULLDObjField& f : x.structure.fields) f.ddicType = 0, f.notNull = false;

    t.copy_tablekeys2prkey(&objects[2]);
    objects[2].attributes.pkeyInvHash = false;  // a primary key block does not carry it
    for (ULLDObjField& f : objects[2].structure.fields) {
        f = field(f.name.c_str(), u"CHAR", 0, f.keyPos);
        f.ddicType = 0;
        f.notNull = false;
    }

    ULLDObject& view = objects[3];
    view.kind = UL_LDOBJ_VIEW;
    view.name = u"V1";
    view.references.addEntry(t.name.c_str());
    view.structure.fields = x.structure.fields;
    const char16_t* create = escaped ? u"CREATE VIEW \"V1\" AS\n\tSELECT 'a\\b'"
                                     : u"CREATE VIEW V1 AS\n  SELECT A\nFROM T";
    view.createStatements = {create, u"COMMENT ON V1"};
    view.dropStatements = {u"DROP VIEW V1"};
    view.query = u"SELECT A, B FROM T";
    view.varQuery = escaped ? u"SELECT\n?" : u"";
    view.options.resilience = true;
    view.attributes.shrType = v >= 8 ? UL_SHRTYPE_LOCAL : UL_SHRTYPE_NONE;
    if (v >= 3) {
        view.viewType = UL_VIEWTYPE_PROJECTION;
        view.viewRefsExternal = true;
        view.objTypeName = u"VIEW";
        view.level = 2;
        view.codePage = u'U';
    }

    ULLDObject& g = objects[4];
    g.kind = UL_LDOBJ_GENERIC;
    g.name = u"G1";
    g.objTypeName = u"AMDP";
    g.createStatements = {u"CREATE PROCEDURE P"};
    g.dropStatements = {u"DROP PROCEDURE P"};
    if (v < 3) objects.pop_back();
    return objects;
}

class UlQ7LdObjReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ul_errorsetmsg(0, nullptr);
        ul_ldobjsetformatflags(0);
    }
    void TearDown() override { ul_ldobjsetformatflags(0); }

    std::u16string file(const std::string& text, const std::string& name = "test.str") {
        dir.write(name, text);
        return dir.wpath(name);
    }

    // Reads every object of a file; -1 and the error text on the first failure.
    int readAll(const std::u16string& path, std::vector<ULLDObject>* objects) {
        ULLDObjBaseReader reader;
        if (reader.open(path.c_str()) < 0) return -1;
        std::u16string name;
        int kind;
        while ((kind = reader.getNextObjName(&name)) > 0) {
            objects->emplace_back();
            if (reader.readObject(&objects->back(), name.c_str()) < 0) return -1;
            if (objects->back().kind != kind) return -2;
        }
        return kind;
    }

    TempDir dir;
};

TEST_F(UlQ7LdObjReaderTest, SectionKeywords) {
    const char16_t* keywords[] = {u"ver:", u"tab:",    u"ind:",    u"vie:", u"pky:",
                                  u"obj:", u"dbs:",    u"crc:",    u"att:", u"opt:",
                                  u"ref:", u"indatt:", u"fld:",    u"typ:", u"level:",
                                  u"cp:",  u"crestm:", u"drpstm:", u"qry:", u"varqry:"};
    for (int id = 0; id < 20; ++id)
        EXPECT_EQ(ULLDObjBaseReader::getSectionID(keywords[id]), id + 1) << u8(keywords[id]);
    EXPECT_EQ(ULLDObjBaseReader::getSectionID(u"FLD:"), -1);
    EXPECT_EQ(u8(errorText()), "Unknown section 'FLD:'");
}

TEST_F(UlQ7LdObjReaderTest, VersionHeader) {
    const std::string table = "\ntab: T\natt:\nfld: A ddtype=CHAR len=1 keypos=1\n";
    struct {
        std::string text;
        int version;  // -1: fails
        std::string error;
    } cases[] = {
        {"# Versions:\n#    18 - logical table types.\nver: 18\n" + table, 18, ""},
        {"ver: 1\n\ntab: T\natt: NATIV  -   ?? ?\nfld: A CHAR 1 0 0 not_null 1\n", 1, ""},
        {"\ntab: T\natt: NATIV  -   ?? ?\nfld: A CHAR 1 0 0 not_null 1\n", 0, ""},
        {"ver: 0\n" + table, -1,
         "Unsupported format version 0, minimum required version is 1, maximum allowed is 18"},
        {"ver: 19\n" + table, -1,
         "Unsupported format version 19, minimum required version is 1, maximum allowed is 18"},
        {"ver: 1x\n" + table, -1, "Cannot interpret version number at l.1 'ver: 1x'"},
        {"# only\nver: 15\n\n# nothing\n", -1, "empty except for version information"},
        {"fld A\n", -1, "Syntax error in l.1 'fld A'"},
        {"\nwhat: x\n", -1, "Unknown section 'what:'\nSyntax error in l.2 'what: x'"},
    };
    for (const auto& c : cases) {
        ULLDObjBaseReader reader;
        const std::u16string path = file(c.text);
        const int rc = reader.open(path.c_str());
        if (c.version < 0) {
            EXPECT_EQ(rc, -1) << c.text;
            EXPECT_NE(u8(errorText()).find(c.error), std::string::npos) << u8(errorText());
            continue;
        }
        ASSERT_EQ(rc, 0) << c.text << u8(errorText());
        EXPECT_EQ(reader.version(), static_cast<unsigned>(c.version));
        std::vector<ULLDObject> objects;
        EXPECT_EQ(readAll(path, &objects), 0) << u8(errorText());
        ASSERT_EQ(objects.size(), 1u);
        EXPECT_EQ(objects[0].structure.fields[0].keyPos, 1u);
    }
}

TEST_F(UlQ7LdObjReaderTest, DifferentVersionsAcrossFilesWarn) {
    const std::string table = "\ntab: T\natt:\nfld: A ddtype=CHAR len=1 keypos=1\n";
    const std::u16string v14 = file("ver: 14\n" + table, "a.str");
    const std::u16string v15 = file("ver: 15\n" + table, "b.str");
    ULLDObjBaseReader reader;
    ASSERT_EQ(reader.open(v14.c_str()), 0);
    TraceCapture trace(UL_TRC_OBJ, 1);
    ASSERT_EQ(reader.open(v14.c_str()), 0);
    EXPECT_EQ(trace.text().find("different"), std::string::npos);
    ASSERT_EQ(reader.open(v15.c_str()), 0);
    EXPECT_NE(trace.text().find("Warning: Found different STR version 15 != 14!"),
              std::string::npos)
        << trace.text();
}

TEST_F(UlQ7LdObjReaderTest, RoundTripThroughTheWriterInEveryVersion) {
    for (unsigned v = 0; v <= UL_LDSTR_MAXVERSION; ++v) {
        SCOPED_TRACE("version " + std::to_string(v));
        const std::vector<ULLDObject> written = sampleObjects(v);
        const std::u16string path = dir.wpath("rt.str");
        ULLDObjWriter writer;
        ASSERT_EQ(writer.open(path.c_str(), v, UL_LDWRITE_CRC), 0) << u8(errorText());
        for (const ULLDObject& o : written) ASSERT_EQ(writer.writeObject(o), 0) << u8(errorText());
        ASSERT_EQ(writer.close(), 0);
        std::vector<ULLDObject> read;
        ASSERT_EQ(readAll(path, &read), 0) << u8(errorText());
        ASSERT_EQ(read.size(), written.size());
        for (size_t i = 0; i < read.size(); ++i) {
            EXPECT_EQ(describe(read[i]), describe(written[i]));
            EXPECT_GE(read[i].crc, 0);
        }
        // The same definition gives the same checksum; the index differs from its table.
        EXPECT_NE(read[0].crc, read[1].crc);
    }
}

TEST_F(UlQ7LdObjReaderTest, SeekReturnsToARecordedObject) {
    const std::u16string path = dir.wpath("seek.str");
    ULLDObjWriter writer;
    ASSERT_EQ(writer.open(path.c_str(), 8), 0);
    for (const ULLDObject& o : sampleObjects(8)) ASSERT_EQ(writer.writeObject(o), 0);
    ASSERT_EQ(writer.close(), 0);

    ULLDObjBaseReader reader;
    ASSERT_EQ(reader.open(path.c_str(), UL_LDREAD_NOVERSIONCHECK), 0);
    struct Seen {
        std::u16string name;
        long offset;
        int line;
    };
    std::vector<Seen> seen;
    std::u16string name;
    while (reader.getNextObjName(&name) > 0)
        seen.push_back({name, reader.objectOffset(), reader.objectLine()});
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(reader.version(), 8u);
    const std::vector<ULLDObject> expected = sampleObjects(8);
    for (size_t i = seen.size(); i-- > 0;) {
        ASSERT_EQ(reader.seek(seen[i].offset, seen[i].line), 0);
        ASSERT_GT(reader.getNextObjName(&name), 0);
        EXPECT_EQ(name, seen[i].name);
        EXPECT_EQ(reader.objectLine(), seen[i].line);
        ULLDObject object;
        ASSERT_EQ(reader.readObject(&object, name.c_str()), 0) << u8(errorText());
        EXPECT_EQ(describe(object), describe(expected[i]));
    }
    // A fresh reader that never read the header finds the version before seeking.
    ULLDObjBaseReader other;
    ASSERT_EQ(other.open(path.c_str(), UL_LDREAD_NOVERSIONCHECK), 0);
    ASSERT_EQ(other.seek(seen[3].offset, seen[3].line), 0);
    ASSERT_EQ(other.getNextObjName(&name), UL_LDOBJ_VIEW);
    ULLDObject view;
    ASSERT_EQ(other.readObject(&view, name.c_str()), 0) << u8(errorText());
    EXPECT_EQ(describe(view), describe(expected[3]));
}

TEST_F(UlQ7LdObjReaderTest, HandWrittenLines) {
    const std::string text =
        "ver: 14\n"
        "\ntab: T\ndbs: ORA !MSS\ncrc: 0000abCD\natt: NATIV  -   ?? ?  S column\n"
        "opt: nkeys=1 tablen=7 keylen=3/-\n"
        "fld: A ddtype=NUMC len=3 ntoffsets=4 keypos=1 null\n"
        "fld: B ddtype=INT4 ntoffsets=-/8 not_null\n"
        "fld: C ddtype=CHAR len=5 ntoffsets=2/- zdb_timestamp=short\n";
    std::vector<ULLDObject> objects;
    ASSERT_EQ(readAll(file(text), &objects), 0) << u8(errorText());
    const ULLDObject& t = objects.at(0);
    ASSERT_EQ(t.databases.count(), 2u);
    EXPECT_TRUE(t.databases.matches(ul_sqlgetdbatypefromstring(u"ORA")));
    EXPECT_FALSE(t.databases.matches(ul_sqlgetdbatypefromstring(u"MSS")));
    EXPECT_FALSE(t.databases.entry(1).include);
    EXPECT_EQ(t.crc, 0xabcd);
    EXPECT_EQ(t.options.keyLength[0], 3);
    EXPECT_EQ(t.options.keyLength[1], -1);
    const auto& f = t.structure.fields;
    EXPECT_EQ((std::vector<int>{f[0].ntOffset[0], f[0].ntOffset[1], f[1].ntOffset[0],
                                f[1].ntOffset[1], f[2].ntOffset[0], f[2].ntOffset[1]}),
              (std::vector<int>{4, 4, -1, 8, 2, -1}));
    EXPECT_FALSE(f[0].notNull);
    EXPECT_TRUE(f[1].notNull);
    EXPECT_EQ(f[1].length, 10u);  // the type's default below version 16
    EXPECT_EQ(f[2].zdbTimestamp, 1);
    EXPECT_EQ(t.attributes.shrType, UL_SHRTYPE_NONE);
}

TEST_F(UlQ7LdObjReaderTest, ErrorsNameTheLine) {
    struct {
        std::string text;
        std::string error;
    } cases[] = {
        {"ver: 13\n\ntab: T\nfld: A CHAR 1 0 0 not_null - - 1 x\n",
         "Trailing garbage in line for field 'A': x\nSyntax error in l.4 'fld: A CHAR 1 0 0 "
         "not_null - - 1 x'"},
        {"ver: 13\n\ntab: T\nfld: A CHAR x 0 0 - - 1\n",
         "Invalid value 'x' for field 'A'\nSyntax error in l.4 'fld: A CHAR x 0 0 - - 1'"},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR keypos=1\nfld: B ddtype=CHAR keypos=2\n"
         "fld: C ddtype=CHAR keypos=1\n",
         "Expected field #3 'C' to be a key field for 'T'\nSyntax error in l.3 'tab: T'"},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR\nfld: B ddtype=CHAR keypos=1\n",
         "Expected field #1 'A' to be a key field for 'T'\nSyntax error in l.3 'tab: T'"},
        {"ver: 14\n\ntab: T\nopt: nkeys=1\n",
         "Missing field description for table \"T\"\nSyntax error in l.3 'tab: T'"},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR keypos=0\n",
         "Illegal value for key position for field 'A'\nSyntax error in l.4 'fld: A ddtype=CHAR "
         "keypos=0'"},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR null=maybe\n",
         "Illegal value for attribute \"null\": maybe\nSyntax error in l.4 'fld: A ddtype=CHAR "
         "null=maybe'"},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR size=1\n",
         "Unknown field phrase 'size=1'\nSyntax error in l.4 'fld: A ddtype=CHAR size=1'"},
        {"ver: 14\n\ntab: T\nfld: A ddtype=UTCL zdb_timestamp=mid\n",
         "Unknown attribute 'mid' for zdb_timestamp\nSyntax error in l.4 'fld: A ddtype=UTCL "
         "zdb_timestamp=mid'"},
        {"ver: 14\n\ntab: T\nopt: nkeys=1 fast=true\n",
         "Illegal phrase 'fast=true'\nSyntax error in l.4 'opt: nkeys=1 fast=true'"},
        {"ver: 14\n\ntab: T\nopt: snap_table=yes\n",
         "Illegal phrase 'snap_table=yes'\nSyntax error in l.4 'opt: snap_table=yes'"},
        {"ver: 18\n\ntab: T\nopt: logicaltype=tree\n",
         "Unknown logical table type 'tree'\nSyntax error in l.4 'opt: logicaltype=tree'"},
        {"ver: 14\n\nvie: V\nopt: view_type=wide\n",
         "Unknown view type 'wide'\nSyntax error in l.4 'opt: view_type=wide'"},
        {"ver: 14\n\nvie: V\nopt: view_refs=inner\n",
         "Unknown view refs 'inner'\nSyntax error in l.4 'opt: view_refs=inner'"},
        {"ver: 14\n\ntab: \"T\n",
         "Unterminated double quoted string in line 'tab: \"T'\nSyntax error in l.3 'tab: \"T'"},
        {"ver: 14\n\ntab: T\nref: 'R\n",
         "Unterminated single quoted string in line 'ref: 'R'\nSyntax error in l.4 'ref: 'R'"},
        {"ver: 14\n\ntab: T\nref: A\\qB\n",
         "Unknown escape sequence '\\q' in line 'ref: A\\qB' at position 7\n"
         "Syntax error in l.4 'ref: A\\qB'"},
        {"ver: 14\n\ntab: T x\n", "Syntax error in l.3 'tab: T x'"},
        {"ver: 14\n\ntab: T\ntyp: VIEW\n",
         "Unexpected keyword \"typ:\"\nSyntax error in l.4 'typ: VIEW'"},
        {"ver: 14\n\ntab: T\ndbs: ORA XYZ\n",
         "Unknown database type 'XYZ'\nSyntax error in l.4 'dbs: ORA XYZ'"},
        {"ver: 14\n\nind: I\nfld: A\n",
         "Invalid number 0 for references\nSyntax error in l.3 'ind: I'"},
        {"ver: 14\n\nind: I\nref: T\n",
         "Missing field description for index \"I\"\nSyntax error in l.3 'ind: I'"},
        {"ver: 14\n\nind: I\nref: T\nfld: A B\n",
         "Trailing garbage in line for field 'A': B\nSyntax error in l.5 'fld: A B'"},
        {"ver: 14\n\nvie: V\ncrestm: \"C\"\nqry: \"Q\"\n",
         "Expected keyword \"drpstm:\"\nSyntax error in l.5 'qry: \"Q\"'"},
        {"ver: 14\n\nvie: V\ncrestm: \"C\"\ndrpstm: \"D\"\n",
         "Missing query statement for view \"V\"\nSyntax error in l.3 'vie: V'"},
        {"ver: 14\n\nvie: V\nqry: \"Q\"\n",
         "Invalid view definition\nSyntax error in l.3 'vie: V'"},
        {"ver: 14\n\nvie: V\ndrpstm: \"D\"\n",
         "Expected keyword 'crestm:'\nSyntax error in l.4 'drpstm: \"D\"'"},
        {"ver: 14\n\nvie: V\nfld: A\ntyp: VIEW\n",
         "Unexpected keyword \"typ:\"\nSyntax error in l.5 'typ: VIEW'"},
        {"ver: 14\n\nobj: G\ntyp: TABLE\n",
         "Invalid object type 'TABLE' found!\nSyntax error in l.4 'typ: TABLE'"},
        {"ver: 14\n\nobj: G\nlevel: -2\n",
         "Invalid object level -2 for object 'G'\nSyntax error in l.4 'level: -2'"},
        {"ver: 14\n\nobj: G\ncp: xy\n",
         "Invalid code page 'xy' for object 'G'\nSyntax error in l.4 'cp: xy'"},
    };
    for (const auto& c : cases) {
        std::vector<ULLDObject> objects;
        EXPECT_EQ(readAll(file(c.text), &objects), -1) << c.text;
        EXPECT_EQ(u8(errorText()), c.error);
    }
}

TEST_F(UlQ7LdObjReaderTest, NamedFieldAttributesNeedVersion14) {
    const std::string block = "\ntab: T\nfld: A ddtype=CHAR len=1 keypos=1\n";
    std::vector<ULLDObject> objects;
    EXPECT_EQ(readAll(file("ver: 13\n" + block), &objects), -1);
    EXPECT_EQ(u8(errorText()),
              "Named attributes in 'fld:' lines are supported with STR format 14\n"
              "Syntax error in l.4 'fld: A ddtype=CHAR len=1 keypos=1'");
    objects.clear();
    ASSERT_EQ(readAll(file("ver: 14\n" + block), &objects), 0) << u8(errorText());
    EXPECT_NE(describe(objects.at(0)).find("fld A 40 1 0 0 0 -1/-1 -1 0 1"), std::string::npos)
        << describe(objects.at(0));
}

TEST_F(UlQ7LdObjReaderTest, FieldLengthsAgainstFixedTypes) {
    const std::u16string path =
        file("ver: 16\n\ntab: T\nfld: A ddtype=CLNT len=4 keypos=1\nfld: B ddtype=INT4\n");
    {
        TraceCapture trace(UL_TRC_OBJ, 1);
        std::vector<ULLDObject> objects;
        ASSERT_EQ(readAll(path, &objects), 0) << u8(errorText());
        EXPECT_NE(trace.text().find("WARNING: Unexpected length 4 for field 'A' - should be 3!"),
                  std::string::npos);
        EXPECT_EQ(objects[0].structure.fields[1].length, 0u);  // no default from version 16
    }
    ul_ldobjsetformatflags(UL_LDFMT_STRICTLENGTH);
    std::vector<ULLDObject> objects;
    EXPECT_EQ(readAll(path, &objects), -1);
    EXPECT_EQ(u8(errorText()),
              "Illegal field length 4 for 'A' - expected 3\n"
              "Syntax error in l.4 'fld: A ddtype=CLNT len=4 keypos=1'");
}

TEST_F(UlQ7LdObjReaderTest, NkeysFollowsTheKeyFields) {
    TraceCapture trace(UL_TRC_OBJ, 1);
    const std::string fields =
        "fld: A ddtype=CHAR len=1 keypos=1\nfld: B ddtype=CHAR len=1 keypos=2\nfld: C ddtype=CHAR "
        "len=1\n";
    std::vector<ULLDObject> objects;
    ASSERT_EQ(readAll(file("ver: 14\n\ntab: T\nopt: nkeys=3\n" + fields +
                           "\ntab: DDNTF\nopt: nkeys=1\n" + fields),
                      &objects),
              0)
        << u8(errorText());
    EXPECT_EQ(objects[0].options.nkeys, 2u);
    EXPECT_NE(trace.text().find("Correcting 'nkeys' from 3 to 2 for 'T' in line 4 'opt: nkeys=3'"),
              std::string::npos);
    EXPECT_EQ(objects[1].options.nkeys, 1u);
    EXPECT_EQ(objects[1].structure.nkeys, 2u);
    EXPECT_EQ(objects[1].getPackedKeyFields(), 1u);
}

TEST_F(UlQ7LdObjReaderTest, RawStatementsBelowVersionNine) {
    const std::string text =
        "ver: 8\n\nvie: V\ncrestm: CREATE VIEW V AS\n  SELECT *\nFROM T\ndrpstm: DROP VIEW V\n"
        "qry: SELECT\n  1\n\n# done\n\ntab: T\natt: NATIV - ?? ? S -\nfld: A CHAR 1 0 0 1\n";
    std::vector<ULLDObject> objects;
    ASSERT_EQ(readAll(file(text), &objects), 0) << u8(errorText());
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(u8(objects[0].createStatements.at(0)), "CREATE VIEW V AS\n  SELECT *\nFROM T");
    EXPECT_EQ(u8(objects[0].query), "SELECT\n  1");
    EXPECT_EQ(u8(objects[1].name), "T");
}

TEST_F(UlQ7LdObjReaderTest, ReadSingleObject) {
    const std::u16string path = file(
        "ver: 14\n\ntab: A\nfld: X ddtype=CHAR len=1 keypos=1\n"
        "\ntab: B\nfld: Y ddtype=CHAR len=2 keypos=1\n");
    ULLDObjBaseReader reader;
    ULLDObject object;
    for (const char16_t* name : {u"B", u"tab:B", u"tab: B"}) {
        ASSERT_EQ(reader.readSingleObject(&object, path.c_str(), name), 0) << u8(errorText());
        EXPECT_EQ(object.structure.fields.at(0).name, u"Y");
    }
    EXPECT_EQ(reader.readSingleObject(&object, path.c_str(), u"C"), -1);
    EXPECT_EQ(errorText(), u"Errors in '" + path + u"':\nObject 'C' not found in STR files");
    EXPECT_EQ(reader.readSingleObject(&object, path.c_str(), u"vie:A"), -1);
    EXPECT_EQ(errorText(), u"Errors in '" + path + u"':\nInvalid entry 'tab:' 'A' found");
}

}  // namespace

#include "ulq7ldobjreader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "tracecapture.h"
#include "ulerror.h"
#include "ulq7ldobjwriter.h"
#include "ulsqlbase.h"

namespace {

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
    // Reads every object of a file; -1 on the first failure, -2 on a kind that changed.
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

// Positions recorded while walking the objects lead back to them, in any order, also for a
// reader that never read the header.
TEST_F(UlQ7LdObjReaderTest, SeekReturnsToARecordedObject) {
    const std::u16string path = file(
        "ver: 8\n\ntab: A\natt: NATIV - ?? ? S -\nfld: X CHAR 1 0 0 1\n\nvie: V\n"
        "crestm: CREATE VIEW V AS\n  SELECT *\nFROM A\ndrpstm: DROP VIEW V\nqry: SELECT\n  1\n"
        "\n# done\n\ntab: B\natt: NATIV - ?? ? S -\nfld: X CHAR 1 0 0 1\nfld: Y CHAR 2 0 0 0\n");
    ULLDObjBaseReader reader;
    ASSERT_EQ(reader.open(path.c_str(), UL_LDREAD_NOVERSIONCHECK), 0);
    std::vector<std::pair<long, int>> seen;
    std::u16string name;
    while (reader.getNextObjName(&name) > 0)
        seen.push_back({reader.objectOffset(), reader.objectLine()});
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(reader.version(), 8u);
    EXPECT_EQ(seen[2].second, 17);
    const std::string expected[] = {"A1||", "V0|CREATE VIEW V AS\n  SELECT *\nFROM A|SELECT\n  1",
                                    "B2||"};
    for (int fresh : {0, 1}) {
        for (size_t i = seen.size(); i-- > 0;) {
            ULLDObjBaseReader other;
            ULLDObjBaseReader& r = fresh ? other : reader;
            ASSERT_EQ(fresh ? other.open(path.c_str(), UL_LDREAD_NOVERSIONCHECK) : 0, 0);
            ASSERT_EQ(r.seek(seen[i].first, seen[i].second), 0);
            ASSERT_GT(r.getNextObjName(&name), 0);
            EXPECT_EQ(r.objectLine(), seen[i].second);
            ULLDObject object;
            ASSERT_EQ(r.readObject(&object, name.c_str()), 0) << u8(errorText());
            EXPECT_EQ(concat(u8(object.name), std::to_string(object.structure.fields.size()), "|",
                             object.createStatements.empty() ? "" : u8(object.createStatements[0]),
                             "|", u8(object.query)),
                      expected[i]);
        }
    }
}

TEST_F(UlQ7LdObjReaderTest, VersionHeader) {
    const std::string table = "\ntab: T\natt:\nfld: A ddtype=CHAR len=1 keypos=1\n";
    const std::string range = ", minimum required version is 1, maximum allowed is 18";
    const struct { std::string text; int version; std::string error; } cases[] = {
        {"# Versions:\n#    18 - logical table types.\nver: 18\n" + table, 18, ""},
        {"ver: 1\n\ntab: T\natt: NATIV  -   ?? ?\nfld: A CHAR 1 0 0 not_null 1\n", 1, ""},
        {"\ntab: T\natt: NATIV  -   ?? ?\nfld: A CHAR 1 0 0 not_null 1\n", 0, ""},
        {"ver: 0\n" + table, -1, "Unsupported format version 0" + range},
        {"ver: 19\n" + table, -1, "Unsupported format version 19" + range},
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
    EXPECT_EQ(ULLDObjBaseReader::getSectionID(u"ta"), -1);  // a keyword's prefix is none
    EXPECT_EQ(u8(errorText()), "Unknown section 'ta'");
}

TEST_F(UlQ7LdObjReaderTest, HandWrittenLines) {
    const std::string text =
        "ver: 14\n\ntab: T\ndbs: ORA !MSS\ncrc: 0000abCD\natt: NATIV  -   ?? ?  S column\n"
        "opt: nkeys=1 tablen=7 keylen=3/-\nfld: A ddtype=NUMC len=3 ntoffsets=4 keypos=1 null\n"
        "fld: B ddtype=INT4 ntoffsets=-/8 not_null\n"
        "fld: C ddtype=CHAR len=5 ntoffsets=2/- zdb_timestamp=short\n";
    std::vector<ULLDObject> objects;
    ASSERT_EQ(readAll(file(text), &objects), 0) << u8(errorText());
    const ULLDObject& t = objects.at(0);
    ASSERT_EQ(t.databases.count(), 2u);
    EXPECT_TRUE(t.databases.matches(ul_sqlgetdbatypefromstring(u"ORA")));
    EXPECT_FALSE(t.databases.matches(ul_sqlgetdbatypefromstring(u"MSS")));
    EXPECT_EQ(t.crc, 0xabcd);
    EXPECT_EQ(t.options.keyLength[1], -1);
    EXPECT_EQ(t.options.keyLength[0], 3);
    const auto& f = t.structure.fields;
    EXPECT_EQ((std::vector<int>{f[0].ntOffset[0], f[0].ntOffset[1], f[1].ntOffset[0],
                                f[1].ntOffset[1], f[2].ntOffset[0], f[2].ntOffset[1]}),
              (std::vector<int>{4, 4, -1, 8, 2, -1}));
    EXPECT_TRUE(!f[0].notNull && f[1].notNull);
    EXPECT_EQ(f[1].length, 10u);  // the type's default below version 16
    EXPECT_EQ(f[2].zdbTimestamp, 1);
    EXPECT_EQ(t.attributes.shrType, UL_SHRTYPE_NONE);
}

// Each error names its cause and then the line: "Syntax error in l.N '<line N>'".
TEST_F(UlQ7LdObjReaderTest, ErrorsNameTheLine) {
    const struct { std::string text; std::string error; int line;
    } cases[] = {
        {"ver: 13\n\ntab: T\nfld: A CHAR 1 0 0 not_null - - 1 x\n",
         "Trailing garbage in line for field 'A': x", 4},
        {"ver: 13\n\ntab: T\nfld: A CHAR x 0 0 - - 1\n", "Invalid value 'x' for field 'A'", 4},
        {"ver: 13\n\ntab: T\nfld: A ddtype=CHAR len=1 keypos=1\n",
         "Named attributes in 'fld:' lines are supported with STR format 14", 4},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR keypos=1\nfld: B ddtype=CHAR keypos=2\n"
         "fld: C ddtype=CHAR keypos=1\n",
         "Expected field #3 'C' to be a key field for 'T'", 3},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR\nfld: B ddtype=CHAR keypos=1\n",
         "Expected field #1 'A' to be a key field for 'T'", 3},
        {"ver: 14\n\ntab: T\nopt: nkeys=1\n", "Missing field description for table \"T\"", 3},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR len=-3 keypos=1\n", "Unknown field phrase 'len=-3'",
         4},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR keypos=0\n",
         "Illegal value for key position for field 'A'", 4},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR null=maybe\n",
         "Illegal value for attribute \"null\": maybe", 4},
        {"ver: 14\n\ntab: T\nfld: A ddtype=CHAR size=1\n", "Unknown field phrase 'size=1'", 4},
        {"ver: 14\n\ntab: T\nfld: A ddtype=UTCL zdb_timestamp=mid\n",
         "Unknown attribute 'mid' for zdb_timestamp", 4},
        {"ver: 14\n\ntab: T\nopt: nkeys=1 fast=true\n", "Illegal phrase 'fast=true'", 4},
        {"ver: 14\n\ntab: T\nopt: snap_table=yes\n", "Illegal phrase 'snap_table=yes'", 4},
        {"ver: 18\n\ntab: T\nopt: logicaltype=tree\n", "Unknown logical table type 'tree'", 4},
        {"ver: 14\n\nvie: V\nopt: view_type=wide\n", "Unknown view type 'wide'", 4},
        {"ver: 14\n\nvie: V\nopt: view_refs=inner\n", "Unknown view refs 'inner'", 4},
        {"ver: 14\n\ntab: \"T\n", "Unterminated double quoted string in line 'tab: \"T'", 3},
        {"ver: 14\n\ntab: T\nref: 'R\n", "Unterminated single quoted string in line 'ref: 'R'", 4},
        {"ver: 14\n\ntab: T\nref: A\\qB\n",
         "Unknown escape sequence '\\q' in line 'ref: A\\qB' at position 7", 4},
        {"ver: 14\n\ntab: T x\n", "", 3},
        {"ver: 14\n\ntab: T\ntyp: VIEW\n", "Unexpected keyword \"typ:\"", 4},
        {"ver: 14\n\ntab: T\ndbs: ORA XYZ\n", "Unknown database type 'XYZ'", 4},
        {"ver: 14\n\nind: I\nfld: A\n", "Invalid number 0 for references", 3},
        {"ver: 14\n\nind: I\nref: T\n", "Missing field description for index \"I\"", 3},
        {"ver: 14\n\nind: I\nref: T\nfld: A B\n", "Trailing garbage in line for field 'A': B", 5},
        {"ver: 14\n\nvie: V\ncrestm: \"C\"\nqry: \"Q\"\n", "Expected keyword \"drpstm:\"", 5},
        {"ver: 14\n\nvie: V\ncrestm: \"C\"\ndrpstm: \"D\"\n",
         "Missing query statement for view \"V\"", 3},
        {"ver: 14\n\nvie: V\nqry: \"Q\"\n", "Invalid view definition", 3},
        {"ver: 14\n\nvie: V\ndrpstm: \"D\"\n", "Expected keyword 'crestm:'", 4},
        {"ver: 14\n\nvie: V\nfld: A\ntyp: VIEW\n", "Unexpected keyword \"typ:\"", 5},
        {"ver: 14\n\nobj: G\ntyp: TABLE\n", "Invalid object type 'TABLE' found!", 4},
        {"ver: 14\n\nobj: G\nlevel: -2\n", "Invalid object level -2 for object 'G'", 4},
        {"ver: 14\n\nobj: G\ncp: xy\n", "Invalid code page 'xy' for object 'G'", 4},
    };
    for (const auto& c : cases) {
        size_t begin = 0;
        for (int n = 1; n < c.line; ++n) begin = c.text.find('\n', begin) + 1;
        const std::string line = c.text.substr(begin, c.text.find('\n', begin) - begin);
        std::vector<ULLDObject> objects;
        EXPECT_EQ(readAll(file(c.text), &objects), -1) << c.text;
        EXPECT_EQ(u8(errorText()), (c.error.empty() ? "" : c.error + "\n") + "Syntax error in l." +
                                       std::to_string(c.line) + " '" + line + "'");
    }
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
    EXPECT_EQ(u8(errorText()), "Illegal field length 4 for 'A' - expected 3\n"
                               "Syntax error in l.4 'fld: A ddtype=CLNT len=4 keypos=1'");
}

TEST_F(UlQ7LdObjReaderTest, NkeysFollowsTheKeyFields) {
    TraceCapture trace(UL_TRC_OBJ, 1);
    const std::string fields =
        "fld: A ddtype=CHAR len=1 keypos=1\nfld: B ddtype=CHAR len=1 keypos=2\n"
        "fld: C ddtype=CHAR len=1\n";
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

TEST_F(UlQ7LdObjReaderTest, ReadSingleObject) {
    const std::u16string path = file("ver: 14\n\ntab: A\nfld: X ddtype=CHAR len=1 keypos=1\n"
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

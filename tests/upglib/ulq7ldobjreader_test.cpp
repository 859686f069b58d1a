#include "ulq7ldobjreader.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
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

// The version header and the history comments before it are accepted in every supported version,
// also without a header. The refusals are shown by crctable's structure-file cases.
TEST_F(UlQ7LdObjReaderTest, VersionHeader) {
    const std::tuple<std::string, unsigned> cases[] = {
        {"# Versions:\n#    18 - logical table types.\nver: 18\n\ntab: T\natt:\nfld: A ddtype=CHAR "
         "len=1 keypos=1\n",
         18},
        {"ver: 1\n\ntab: T\natt: NATIV  -   ?? ?\nfld: A CHAR 1 0 0 not_null 1\n", 1},
        {"\ntab: T\natt: NATIV  -   ?? ?\nfld: A CHAR 1 0 0 not_null 1\n", 0},
    };
    for (const auto& [text, version] : cases) {
        ULLDObjBaseReader reader;
        const std::u16string path = file(text);
        ASSERT_EQ(reader.open(path.c_str()), 0) << text << u8(errorText());
        EXPECT_EQ(reader.version(), version);
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

// Each error names its cause and then the line: "Syntax error in l.N '<line N>'". The errors of
// tables, which crctable meets, are shown by its structure-file cases; these are the other kinds.
TEST_F(UlQ7LdObjReaderTest, ErrorsNameTheLine) {
    const std::tuple<std::string, std::string, int> cases[] = {
        {"ver: 14\n\nvie: V\nopt: view_type=wide\n", "Unknown view type 'wide'", 4},
        {"ver: 14\n\nvie: V\nopt: view_refs=inner\n", "Unknown view refs 'inner'", 4},
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
    for (const auto& [text, error, line] : cases) {
        size_t begin = 0;
        for (int n = 1; n < line; ++n) begin = text.find('\n', begin) + 1;
        std::vector<ULLDObject> objects;
        EXPECT_EQ(readAll(file(text), &objects), -1) << text;
        EXPECT_EQ(u8(errorText()), error + "\nSyntax error in l." + std::to_string(line) + " '" +
                                       text.substr(begin, text.find('\n', begin) - begin) + "'");
    }
}

TEST_F(UlQ7LdObjReaderTest, FieldLengthsAgainstFixedTypes) {
    const std::u16string path =
        file("ver: 16\n\ntab: T\nfld: A ddtype=CLNT len=4 keypos=1\nfld: B ddtype=INT4\n");
    std::vector<ULLDObject> objects;
    ASSERT_EQ(readAll(path, &objects), 0) << u8(errorText());  // the warning: a crctable case
    EXPECT_EQ(objects[0].structure.fields[1].length, 0u);      // no default from version 16
    ul_ldobjsetformatflags(UL_LDFMT_STRICTLENGTH);
    objects.clear();
    EXPECT_EQ(readAll(path, &objects), -1);
    EXPECT_EQ(u8(errorText()),
              "Illegal field length 4 for 'A' - expected 3\n"
              "Syntax error in l.4 'fld: A ddtype=CLNT len=4 keypos=1'");
}

// The trace line of the correction is shown by a crctable case.
TEST_F(UlQ7LdObjReaderTest, NkeysFollowsTheKeyFields) {
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
    EXPECT_EQ(objects[1].options.nkeys, 1u);
    EXPECT_EQ(objects[1].structure.nkeys, 2u);
    EXPECT_EQ(objects[1].getPackedKeyFields(), 1u);
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

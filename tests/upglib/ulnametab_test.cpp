// The nametab reader on the real engines: the same cases on SQLite (a temporary file) and on
// PostgreSQL (when PGHOST or dbs_pgsql_conninfo names a server; scripts/pgtest.sh starts one).
// Nametab and dictionary tables carry a suffix of the process id, because the PostgreSQL tests
// of parallel test processes share one database.
#include "ulnametab.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sqltestutil.h"
#include "testutil.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

struct Field {
    const char16_t* name;
    int ddtype;
    int ddlen;
    int digits;
    int decimals;
    int dbtype;
    int dblen;
    int key;
};

struct Entry {
    std::u16string table;
    std::vector<Field> fields;
    int keycnt = 0;
    char16_t tabType = u'T';
    char16_t tabForm = u'T';
    int clipos = 0;
};

std::u16string num(long v) {
    return ul_format(u"%ld", v);
}

class UlNameTabTest : public SqlEngineTest {
  protected:
    void SetUp() override {
        SqlEngineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        pg_ = session_.isPg();
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
        ul_msgwrite_setfp(log_.get());
        suffix_ = concat<char16_t>(u"_", num(getpid()));
        ASSERT_EQ(ul_sqltabsuffixset(suffix_.c_str()), 0);
        useNametab(u"DDNTT");
    }
    void TearDown() override {
        if (ul_sqlisconnected()) {
            for (const std::u16string& t : tables_)
                (void)ULSQLStmt::run((u"DROP TABLE \"" + t + u"\"").c_str(), nullptr, 0, nullptr,
                                     nullptr, UL_SQLMODE_TOLERATE);  // cleanup only
            (void)ul_sqldisconnect(0);                               // cleanup only
        }
        ULNameTab::setNameTab(nullptr, nullptr, nullptr);
        unsetenv("Q7LDCTL_TABLE_UMGPOCNV");
        SqlEngineTest::TearDown();
    }

    std::u16string name(const char16_t* base) const { return base + suffix_; }
    // The nametab set "<base>_<pid>"; a base other than DDNTT names a set without tables.
    void useNametab(const char16_t* base) {
        ASSERT_EQ(ULNameTab::setNameTab(name(base).c_str(), nullptr, nullptr), 0);
    }
    void exec(const std::u16string& sql) {
        ASSERT_GE(ULSQLStmt::run(sql.c_str(), nullptr, 0, nullptr, nullptr, 0), 0)
            << u8(sql) << ": " << u8(errorText());
    }
    std::u16string create(const std::u16string& table, const std::u16string& columns) {
        tables_.push_back(table);
        exec(u"CREATE TABLE \"" + table + u"\" (" + columns + u")");
        return table;
    }
    void insert(const std::u16string& table, const std::u16string& values) {
        exec(u"INSERT INTO \"" + table + u"\" VALUES (" + values + u")");
    }
    void createNametab() {
        create(name(u"DDNTT"),
               u"TABNAME VARCHAR(130) NOT NULL PRIMARY KEY, TSTAMP VARCHAR(14), TABTYPE CHAR(1), "
               u"TABFORM CHAR(1), REFNAME VARCHAR(130), CLIDEP SMALLINT, CLIPOS SMALLINT, "
               u"FLDCNT SMALLINT, KEYCNT SMALLINT, PKEYCNT SMALLINT, KEYLEN INTEGER, "
               u"TABLEN INTEGER, SHRTYPE SMALLINT, TEMPFLAG SMALLINT, STORETYPE CHAR(1)");
        create(name(u"DDNTF"),
               u"TABNAME VARCHAR(130) NOT NULL, FIELDPOS SMALLINT NOT NULL, FIELDNAME "
               u"VARCHAR(130), DDTYPE SMALLINT, DDLEN INTEGER, DIGITS SMALLINT, DECIMALS "
               u"SMALLINT, DBTYPE SMALLINT, DBLEN INTEGER, KEYFLAG SMALLINT, NOTNULLFLAG SMALLINT, "
               u"FLDOFFS INTEGER, PRIMARY KEY (TABNAME, FIELDPOS)");
    }
    void addEntry(const Entry& e, int fieldCount = -1) {
        insert(name(u"DDNTT"),
               u"'" + e.table + u"', '20240229120000', '" + e.tabType + u"', '" + e.tabForm +
                   u"', '', " + num(e.clipos ? 1 : 0) + u", " + num(e.clipos) + u", " +
                   num(fieldCount < 0 ? static_cast<long>(e.fields.size()) : fieldCount) + u", " +
                   num(e.keycnt) + u", 0, 0, 0, 0, 0, ''");
        for (size_t i = 0; i < e.fields.size(); ++i) {
            const Field& f = e.fields[i];
            insert(name(u"DDNTF"),
                   u"'" + e.table + u"', " + num(static_cast<long>(i) + 1) + u", '" + f.name +
                       u"', " + num(f.ddtype) + u", " + num(f.ddlen) + u", " + num(f.digits) +
                       u", " + num(f.decimals) + u", " + num(f.dbtype) + u", " + num(f.dblen) +
                       u", " + num(f.key) + u", " + num(f.key) + u", NULL");
        }
    }
    int read(const std::u16string& table, ULLDObject* object, unsigned flags = 0) {
        return ULNameTab(table.c_str(), flags).getTableInfo(object);
    }
    std::vector<std::u16string> fieldNames(const ULLDObject& object, int flags) {
        const char16_t** fields = nullptr;
        unsigned n = 0;
        EXPECT_EQ(ul_sqltablegetfields(&object, &fields, &n, flags), 0) << u8(errorText());
        std::vector<std::u16string> names(fields, fields + n);
        ul_sqltablefreefields(fields, n);
        return names;
    }
    // Whether the log holds this line.
    bool logged(const std::u16string& line) {
        return log_.text().find(u8(line) + "\n") != std::string::npos;
    }
    // The flags of ul_sqltablegetoiflags; each field description as (name, type, flag, length,
    // digits and decimals).
    using Desc = std::tuple<std::string, int, char16_t, unsigned, unsigned>;
    template <class Source>
    int describe(Source source, std::vector<Desc>* out, int flags = 0,
                 const char16_t* const* names = nullptr, unsigned count = 0) {
        ul_sqlfielddesc_t* descs = nullptr;
        unsigned n = 0;
        const int rc = ul_sqltablegetoiflags(source, names, count, &descs, &n, flags);
        for (unsigned i = 0; out && i < n; ++i)
            out->emplace_back(u8(descs[i].name), ul_sqlfieldtype(descs[i]),
                              ul_sqlfldflag2char(descs[i]), descs[i].length,
                              descs[i].digitsDecimals);
        free(descs);
        return rc;
    }

    bool pg_ = false;
    std::u16string suffix_;
    std::vector<std::u16string> tables_;
    MemoryStream log_;
};

// Nametab rows (type, dictionary length, digits, decimals, database type and length, key).
const Field kChar10{u"K", 40, 10, 0, 0, 11, 10, 1};

std::vector<Field> withKey(std::vector<Field> more) {
    more.insert(more.begin(), kChar10);
    return more;
}

TEST_P(UlNameTabTest, NametabAndEngineCatalogueAgree) {
    const std::u16string t = create(
        name(u"NTT_CMP"), std::u16string(u"\"MANDT\" CHAR(3) NOT NULL, \"ID\" INTEGER NOT NULL, "
                                         u"\"NAME\" VARCHAR(20), \"AMOUNT\" NUMERIC(15,2), "
                                         u"\"QTY\" SMALLINT, \"DATA\" ") +
                              (pg_ ? u"bytea" : u"BLOB") +
                              u", \"NOTE\" text, PRIMARY KEY (\"MANDT\", \"ID\")");
    useNametab(u"DDNTTX");  // no such nametab: the engine describes the table
    ULLDObject engine;
    ASSERT_EQ(read(t, &engine), 0) << u8(errorText());

    createNametab();
    addEntry({t,
              {{u"MANDT", 152, 3, 0, 0, 11, 3, 1},
               // clang-format off
               {u"ID", 172, 10, 10, 0, 22, 4, 1}, {u"NAME", 40, 20, 0, 0, 11, 20, 0},
               {u"AMOUNT", 160, 15, 15, 2, 0, 15, 0}, {u"QTY", 168, 5, 5, 0, 22, 2, 0},
               {u"DATA", 232, 0, 0, 0, 8, 0, 0}, {u"NOTE", 228, 0, 0, 0, 7, 0, 0}},
              // clang-format on
              2,
              u'T',
              u'T',
              1});
    useNametab(u"DDNTT");
    ULLDObject nametab;
    ASSERT_EQ(read(t, &nametab), 0) << u8(errorText());

    // Name, dictionary type, database type and length, decimals, key position.
    const std::vector<std::string> fields = {
        "MANDT 152 11 3 0 1", "ID 172 22 4 0 2",  "NAME 40 11 20 0 0", "AMOUNT 160 0 15 2 0",
        "QTY 168 22 2 0 0",   "DATA 232 8 0 0 0", "NOTE 228 7 0 0 0"};
    for (const ULLDObject* object : {&engine, &nametab}) {
        EXPECT_EQ(object->kind, UL_LDOBJ_TABLE);
        EXPECT_EQ(object->structure.nkeys, 2u);
        EXPECT_EQ(object->attributes.clientPos, 1u);
        EXPECT_EQ(fieldNames(*object, 1), (std::vector<std::u16string>{u"MANDT", u"ID"}));
        std::vector<std::string> got;
        for (const ULLDObjField& f : object->structure.fields)
            got.push_back(concat(u8(f.name), " ", std::to_string(f.ddicType), " ",
                                 std::to_string(f.dbType), " ", std::to_string(f.dbLength), " ",
                                 std::to_string(f.decimals), " ", std::to_string(f.keyPos)));
        EXPECT_EQ(got, fields);
    }
    std::vector<Desc> fromEngine, fromNametab;
    const int flags = describe(&engine, &fromEngine);
    EXPECT_EQ(flags, (UL_LDOBJ_TABLE << UL_OIFLAG_KINDSHIFT) | UL_OIFLAG_PIECEWISE);
    EXPECT_EQ(describe(&nametab, &fromNametab), flags);
    ASSERT_EQ(fromNametab.size(), 7u);
    EXPECT_EQ(fromEngine, fromNametab);
    EXPECT_EQ(std::get<2>(fromNametab[3]), u'P');
    EXPECT_EQ(std::get<4>(fromNametab[3]), 15u | (2u << 16));

    const char16_t* some[] = {u"ID", u"NOPE"};
    EXPECT_TRUE(failedWith(describe(t.c_str(), nullptr, 0, some, 2),
                           u8(u"Table '" + t + u"' does not have field #2 'NOPE'")));
    std::vector<Desc> picked;
    EXPECT_GE(describe(t.c_str(), &picked, 0, some, 1), 0);
    ASSERT_EQ(picked.size(), 1u);
    EXPECT_EQ(std::get<1>(picked[0]), DBIF_TYPE_INT);
}

TEST_P(UlNameTabTest, MissingEntry) {
    createNametab();
    ULLDObject object;
    EXPECT_EQ(read(u"NTT_NONE", &object, UL_NT_MISSINGOK), 2);
    EXPECT_EQ(read(u"NTT_NONE", &object), -1);
    EXPECT_TRUE(failedWith(describe(u"NTT_NONE", nullptr), "No definition found for 'NTT_NONE'"));
    const char16_t** fields = nullptr;
    unsigned n = 0;
    EXPECT_EQ(ul_sqltablegetfields(u"NTT_NONE", &fields, &n, 0), -1);
    EXPECT_TRUE(
        u8(errorText())
            .ends_with(u8(u"\nNametab error for table 'NTT_NONE'/'" + name(u"DDNTT") + u"'")));

    // The answer is kept until the cache is flushed.
    addEntry({u"NTT_NONE", {kChar10}, 1});
    EXPECT_EQ(read(u"NTT_NONE", &object, UL_NT_MISSINGOK), 2);
    ASSERT_EQ(ULNameTab::flush(0), 0);
    EXPECT_EQ(read(u"NTT_NONE", &object, UL_NT_MISSINGOK), 0) << u8(errorText());

    // Without nametab tables, a table the database lacks is missing as well; a reader given
    // its own nametab set reads that one.
    useNametab(u"DDNTTX");
    EXPECT_EQ(read(u"NTT_NONE", &object, UL_NT_MISSINGOK), 2);
    EXPECT_EQ(ULNameTab(name(u"DDNTT").c_str(), u"NTT_NONE", 0).getTableInfo(&object), 0);
}

// The refusals of nametab entries are shown by crctable's nametab cases. The engine's catalogue
// is held to the same key rule; a RAW field of even length passes.
TEST_P(UlNameTabTest, FieldsAreChecked) {
    createNametab();
    addEntry({u"T_RAW4", withKey({{u"R", 184, 4, 0, 0, 5, 4, 0}}), 1});
    ULLDObject object;
    EXPECT_EQ(read(u"T_RAW4", &object), 0) << u8(errorText());
    const std::u16string t =
        create(name(u"NTT_PK2"), u"\"A\" INTEGER, \"B\" INTEGER NOT NULL, PRIMARY KEY (\"B\")");
    useNametab(u"DDNTTX");
    EXPECT_TRUE(failedWith(read(t, &object),
                           u8(u"Field #1 \"" + t +
                              u"\".\"A\" is not a key field (nkeys=1). Key "
                              u"fields are expected to come first in a table\nCannot set info "
                              u"of table '" +
                              t + u"'.")));
}

TEST_P(UlNameTabTest, MissingDictionaryTablesAreTolerated) {
    createNametab();
    const Field varc{u"CLUSTD", 132, 100, 0, 0, 11, 100, 0};
    const Field shape{u"SHAPE", 118, 0, 0, 0, 8, 0, 0};
    const struct {
        Entry entry;
        const char* tabart;
    } cases[] = {
        {{u"ZTAB", {kChar10}, 1}, "USER"},          {{u"DDXYZ", {kChar10}, 1}, "SDIC"},
        {{u"MYTAB", withKey({shape}), 1}, "APPL1"}, {{u"PTAB", {kChar10}, 1, u'P'}, "POOL"},
        {{u"CTAB", {kChar10}, 1, u'C'}, "CLUST"},   {{u"REPOSRC", {kChar10}, 1}, "SSRC"},
        {{u"D342L", withKey({varc}), 1}, "APPL1"},
    };
    for (const auto& c : cases) addEntry(c.entry);
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.entry.table));
        ULLDObject object;
        ASSERT_EQ(read(c.entry.table, &object), 0) << u8(errorText());
        EXPECT_EQ(u8(object.attributes.tabart), c.tabart);
        EXPECT_EQ(object.options.basisTable, UL_BASISTABLE_UNKNOWN);
        if (c.entry.tabType == u'C') {
            EXPECT_EQ(u8(object.attributes.pkeyName), "CTAB~0");
        }
        if (c.entry.table == u"D342L") {
            EXPECT_EQ(object.structure.fields[1].ddicType, 132);
        }
        if (c.entry.table == u"MYTAB") {
            EXPECT_EQ(object.structure.fields[1].srsId, -1);
        }
    }
    EXPECT_EQ(ULNameTab::get_loadtype(u"MYTAB", u'T', u"L"), 0);
    EXPECT_EQ(ULNameTab::get_loadtype(u"DDLOG", u'T', nullptr), 2);
    EXPECT_EQ(ULNameTab::get_loadtype(u"DBPROPERTIES", u'T', u""), 2);
}

TEST_P(UlNameTabTest, DictionaryTables) {
    createNametab();
    create(name(u"TADIR"),
           u"PGMID VARCHAR(4), OBJECT VARCHAR(4), OBJ_NAME VARCHAR(40), "
           u"DEVCLASS VARCHAR(30)");
    insert(name(u"TADIR"), u"'Q7TR', 'TABL', 'MYTAB', 'SBAS'");
    insert(name(u"TADIR"), u"'Q7TR', 'TABL', 'ZTAB', 'ZDEV'");
    const std::u16string dd09lColumns =
        u"TABNAME VARCHAR(30), AS4LOCAL CHAR(1), TABKAT VARCHAR(4), TABART VARCHAR(8), "
        u"PUFFERUNG CHAR(1), BUFALLOW CHAR(1)";
    create(name(u"DD09L"), dd09lColumns + u", LOAD_UNIT CHAR(1)");
    insert(name(u"DD09L"), u"'MYTAB', 'A', '1', 'APPL0', 'X', 'G', 'P'");
    create(name(u"DD03L"), u"TABNAME VARCHAR(30), FIELDNAME VARCHAR(30), SRS_ID INTEGER");
    insert(name(u"DD03L"), u"'GEOTAB', 'SHAPE', 4326");
    create(name(u"UMGPOCNV"), u"ORGTAB VARCHAR(30)");
    insert(name(u"UMGPOCNV"), u"'D342L'");
    create(name(u"DD02L"),
           u"TABNAME VARCHAR(30), AS4LOCAL CHAR(1), SQLTAB VARCHAR(30), "
           u"CONTFLAG CHAR(1)");
    for (const char16_t* row : {u"'MYTAB', 'A', '', 'A'", u"'TL', 'A', '', 'L'",
                                u"'LOG1', 'A', 'CONT', 'L'", u"'LOG2', 'A', 'CONT', 'W'"})
        insert(name(u"DD02L"), row);
    const Field varc{u"CLUSTD", 132, 100, 0, 0, 11, 100, 0};
    for (const char16_t* t : {u"MYTAB", u"ZTAB"}) addEntry({t, {kChar10}, 1});
    addEntry({u"GEOTAB", withKey({{u"SHAPE", 118, 0, 0, 0, 8, 0, 0}}), 1});
    addEntry({u"D342L", withKey({varc}), 1});
    addEntry({u"MCSI", withKey({varc}), 1});

    ULLDObject object;
    ASSERT_EQ(read(u"MYTAB", &object), 0) << u8(errorText());
    EXPECT_EQ(u8(object.attributes.tabkat), "1");
    EXPECT_EQ(u8(object.attributes.tabart), "APPL0");
    EXPECT_EQ(object.attributes.bufState[0], u'X');
    EXPECT_EQ(object.attributes.bufState[1], u'G');
    EXPECT_EQ(object.attributes.loadUnit, UL_LOADUNIT_COLUMN);
    EXPECT_EQ(object.options.basisTable, UL_BASISTABLE_YES);
    ASSERT_EQ(read(u"ZTAB", &object), 0);
    EXPECT_EQ(u8(object.attributes.tabart), "USER");
    EXPECT_EQ(object.options.basisTable, UL_BASISTABLE_NO);
    ASSERT_EQ(read(u"GEOTAB", &object), 0);
    EXPECT_EQ(object.structure.fields[1].srsId, 4326);

    ASSERT_EQ(read(u"D342L", &object), 0);
    EXPECT_EQ(object.structure.fields[1].ddicType, UL_DDIC_LRAW);
    EXPECT_EQ(object.structure.fields[1].dbType, DBIF_TYPE_BLOB);
    ASSERT_EQ(read(u"MCSI", &object), 0);
    EXPECT_EQ(object.structure.fields[1].ddicType, UL_DDIC_VARC);
    setenv("Q7LDCTL_TABLE_UMGPOCNV", "", 1);  // the check is off
    ASSERT_EQ(read(u"D342L", &object), 0);
    EXPECT_EQ(object.structure.fields[1].ddicType, UL_DDIC_VARC);

    // Table, table class, the no-data classes, the load type.
    const std::tuple<const char16_t*, char16_t, const char16_t*, int> loads[] = {
        {u"MYTAB", u'T', u"L,W", 0}, {u"TL", u'T', u"L,W", 2}, {u"CONT", u'P', u"L,W", 2},
        {u"CONT", u'C', u"L", 0},    {u"NOPE", u'T', u"L", 2}, {u"TL", u'T', nullptr, 0},
    };
    for (const auto& [table, tableClass, noData, loadType] : loads)
        EXPECT_EQ(ULNameTab::get_loadtype(table, tableClass, noData), loadType) << u8(table);
    EXPECT_TRUE(logged(u"1WETQ399 No CONTFLAG entry in DD02L for 'NOPE' (type T)."));

    // Technical settings without a load unit column.
    ASSERT_EQ(ul_sqltabsuffixset((suffix_ + u"B").c_str()), 0);
    create(name(u"DD09L") + u"B", dd09lColumns);
    insert(name(u"DD09L") + u"B", u"'MYTAB', 'A', '2', 'APPL2', '', ''");
    ASSERT_EQ(read(u"MYTAB", &object), 0) << u8(errorText());
    EXPECT_EQ(u8(object.attributes.tabart), "APPL2");
    EXPECT_EQ(object.attributes.loadUnit, UL_LOADUNIT_NONE);
}

TEST_P(UlNameTabTest, ClassesKeysAndPackedKeys) {
    createNametab();
    std::vector<Field> five;
    for (const char16_t* k : {u"A", u"B", u"C", u"D", u"E"})
        five.push_back({k, 40, 10, 0, 0, 11, 10, 1});
    addEntry({u"DD05S", five, 5});
    const Field blocknr{u"BLOCKNR", 168, 5, 5, 0, 22, 2, 1};
    const Field lraw{u"DATA", 200, 0, 0, 0, 8, 0, 0};
    addEntry({u"T_BLOCKS", withKey({blocknr, lraw}), 2});
    addEntry({u"T_CLUSTER", withKey({{u"PAGENO", 168, 5, 5, 0, 22, 2, 1}, lraw}), 2, u'T', u'C'});
    addEntry({u"T_POOL", {kChar10}, 1, u'T', u'P'});
    addEntry({u"T_VIEW", {kChar10}, 1, u'T', u'V'});

    ULLDObject object;
    ASSERT_EQ(read(u"DD05S", &object), 0) << u8(errorText());
    std::vector<unsigned> sequence;
    for (const ULLDObjField& f : object.structure.fields) sequence.push_back(f.keyPos);
    EXPECT_EQ(sequence, (std::vector<unsigned>{1, 3, 4, 2, 5}));

    ASSERT_EQ(read(u"T_BLOCKS", &object), 0);
    EXPECT_EQ(fieldNames(object, 1), (std::vector<std::u16string>{u"K", u"BLOCKNR"}));
    EXPECT_EQ(fieldNames(object, 2), (std::vector<std::u16string>{u"K"}));
    EXPECT_EQ(fieldNames(object, 0).size(), 3u);

    const std::pair<const char16_t*, int> cases[] = {
        {u"T_BLOCKS", (1 << UL_OIFLAG_KINDSHIFT) | UL_OIFLAG_PACKED | UL_OIFLAG_PIECEWISE},
        {u"T_CLUSTER",
         (1 << UL_OIFLAG_KINDSHIFT) | UL_OIFLAG_CLUSTER | UL_OIFLAG_PACKED | UL_OIFLAG_PIECEWISE},
        {u"T_POOL", (1 << UL_OIFLAG_KINDSHIFT) | UL_OIFLAG_POOL},
        {u"T_VIEW", UL_LDOBJ_VIEW << UL_OIFLAG_KINDSHIFT},
    };
    for (const auto& [table, flags] : cases) {
        std::vector<Desc> descs;
        EXPECT_EQ(describe(table, &descs, 1), flags) << u8(table);
        if (flags & UL_OIFLAG_PACKED) {
            EXPECT_GE(std::get<3>(descs.back()), static_cast<unsigned>(UL_SQLLobColumnSpace));
        }
    }
    ASSERT_EQ(ul_sqlparseglobalflags(u"nolobspiecewise"), 0);
    EXPECT_EQ(describe(u"T_BLOCKS", nullptr) & UL_OIFLAG_PIECEWISE, 0);
}

TEST_P(UlNameTabTest, FieldExistsAndNametabOff) {
    const std::u16string t = create(name(u"NTT_FLD"), u"\"ID\" INTEGER NOT NULL PRIMARY KEY");
    EXPECT_EQ(ULNameTab::tableFieldExists(t.c_str(), u"ID"), 1);
    EXPECT_EQ(ULNameTab::tableFieldExists(t.c_str(), u"id"), 1);
    EXPECT_EQ(ULNameTab::tableFieldExists(t.c_str(), u"NAME"), 0);
    EXPECT_TRUE(failedWith(ULNameTab::tableFieldExists(u"NTT_NOTABLE", u"X"),
                           "Cannot check for NTT_NOTABLE.X: table does not exist"));

    ASSERT_EQ(ul_sqlntsettype(UL_NTTYPE_OFF, nullptr, 0), 0);
    ULLDObject object;
    EXPECT_EQ(read(t, &object), -1);
    EXPECT_EQ(ULNameTab::tableFieldExists(t.c_str(), u"ID"), -1);
}

TEST(UlNameTabSetTest, NamesOfANametabSet) {
    // The names given, and the five names of the set: DDNTT, DDNTF, DDNTT_HIST, DDXTT, DDXTF.
    const std::tuple<const char16_t*, const char16_t*, const char16_t*, std::string> cases[] = {
        {u"DDNTT~", nullptr, nullptr, "DDNTT~ DDNTF~ DDNTT_HIST~  "},
        {u"DDXTT~~", nullptr, nullptr, "DDNTT~~ DDNTF~~ DDNTT_HIST~~ DDXTT~~ DDXTF~~"},
        {u"DDNTT", u"MYNTF", u"MYHIST", "DDNTT MYNTF MYHIST  "},
    };
    for (const auto& [ddntt, ddntf, hist, names] : cases) {
        ASSERT_EQ(ULNameTab::setNameTab(ddntt, ddntf, hist), 0);
        std::string got;
        for (int i = 0; i < 5; ++i) got += (i ? " " : "") + u8(ULNameTab::getNameTabName(i));
        EXPECT_EQ(got, names);
    }
    const std::u16string tooLong = u"DDNTT" + std::u16string(35, u'X');
    EXPECT_TRUE(
        failedWith(ULNameTab::setNameTab(tooLong.c_str(), nullptr, nullptr),
                   u8(u"Nametab name '" + tooLong + u"' too long (at most 39 characters)")));
    // Without a set of its own the reader follows the session's current slot.
    ASSERT_EQ(ULNameTab::setNameTab(nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(ul_sqlntsettype(UL_NTTYPE_SUFFIX, u"_S", 0), 0);
    EXPECT_EQ(u8(ULNameTab::getNameTabName(1)), "DDNTF_S");
    ASSERT_EQ(ul_sqlntsettype(UL_NTTYPE_OFF, nullptr, 0), 0);
    EXPECT_EQ(ULNameTab::getNameTabName(0), nullptr);
    EXPECT_EQ(u8(errorText()), "Nametab access disabled");
    ul_sqlresetsession();
}

INSTANTIATE_TEST_SUITE_P(Engines, UlNameTabTest,
                         ::testing::Values("SQLITE", "PGSQL", "PGSQL_LOWER"),
                         SqlEngineTest::engineName);

}  // namespace

#include "ulq7ldobjcache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "tracecapture.h"
#include "ulq7ldobjwriter.h"
#include "ulsqlbase.h"
#include "ulstring2.h"

namespace {

// A table with nfields CHAR(10) fields, the first one the key, for the databases of dbs
// ("ORA", "!MSS", ...).
ULLDObject table(const char16_t* name, unsigned nfields = 2,
                 std::initializer_list<const char16_t*> dbs = {}) {
    ULLDObject t;
    t.setupTableObj(name);
    for (unsigned i = 0; i < nfields; ++i) {
        ULLDObjField f;
        f.name = ul_format(u"F%u", i);
        f.ddicType = UL_DDIC_CHAR;
        f.length = 10;
        f.keyPos = i == 0 ? 1 : 0;
        t.structure.addField(f);
    }
    t.structure.nkeys = t.options.nkeys = 1;
    for (const char16_t* db : dbs) {
        const bool include = db[0] != u'!';
        t.databases.addEntry(ul_sqlgetdbatypefromstring(include ? db : db + 1), include);
    }
    return t;
}

class ULLDObjectCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        ULLDObjectCache::m_totalobjects = ULLDObjectCache::m_countduplicates =
            ULLDObjectCache::m_countdiscarded = 0;
    }
    void TearDown() override {
        ULLDObjectCache::m_maxcachesize = saved_.maxSize;
        ULLDObjectCache::m_maxcachedobjects = saved_.maxObjects;
        ULLDObjectCache::m_limitcachedobjects = saved_.limit;
        ULLDObjectCache::m_mincachedobjects = saved_.min;
        ULLDObjectCache::m_altstrdirectory.clear();
    }

    // Writes a structure file; returns its UTF-16 path.
    std::u16string write(const std::string& name, const std::vector<ULLDObject>& objects) {
        const std::u16string path = dir_.wpath(name);
        ULLDObjWriter writer;
        EXPECT_EQ(writer.open(path.c_str(), UL_LDSTR_WRITEVERSION), 0) << u8(errorText());
        for (const ULLDObject& o : objects) EXPECT_EQ(writer.writeObject(o), 0) << u8(errorText());
        EXPECT_EQ(writer.close(), 0);
        return path;
    }
    // The line numbers of the line in a file written before.
    std::vector<int> linesOf(const std::string& name, const std::string& line) {
        std::istringstream in(readFileBytes(dir_.path(name)));
        std::vector<int> numbers;
        std::string text;
        for (int n = 1; std::getline(in, text); ++n)
            if (text == line) numbers.push_back(n);
        return numbers;
    }
    ULLDObject* get(ULLDObjectCache& cache, const char16_t* name, int db = -1, int flags = 0) {
        ULLDObject* object = nullptr;
        cache.getObject(&object, UL_LDTASK_IMPORT, name, db, UL_LDCP_ANY, flags);
        return object;
    }

    TempDir dir_;
    struct {
        size_t maxSize = ULLDObjectCache::m_maxcachesize;
        int maxObjects = ULLDObjectCache::m_maxcachedobjects;
        int limit = ULLDObjectCache::m_limitcachedobjects;
        int min = ULLDObjectCache::m_mincachedobjects;
    } saved_;
};

// A view defined for code page U is found by a request for any code page.
TEST_F(ULLDObjectCacheTest, SameNameTwiceIsOneObjectUsedTwice) {
    ULLDObject view;
    view.kind = UL_LDOBJ_VIEW;
    view.name = u"V";
    view.codePage = u'U';
    view.createStatements = {u"CREATE VIEW V"};
    view.dropStatements = {u"DROP VIEW V"};
    view.query = u"SELECT 1";
    ULLDObjectCache cache;
    cache.addFilePath(write("a.STR", {table(u"A", 3), view, table(u"B")}).c_str());
    ULLDObject* first = get(cache, u"A");
    ASSERT_NE(first, nullptr) << u8(errorText());
    EXPECT_EQ(get(cache, u"A"), first);
    EXPECT_EQ(first->structure.fields.size(), 3u);
    EXPECT_EQ(first->structure.fields[1].byteOffset, 20u);  // initialised: offsets computed
    EXPECT_EQ(cache.findEntry(u"A")->usageCount(0), 2);
    EXPECT_EQ(cache.findEntry(u"A")->definition(0).object, first);
    EXPECT_EQ(cache.readCount(), 1);
    EXPECT_EQ(cache.releaseObject(first, 0) + cache.releaseObject(first, 0), 0);
    EXPECT_EQ(cache.releaseObject(first, 0), -1);
    EXPECT_EQ(errorText(), u"Internal error: Object 'A' released more often than requested");
    ULLDObject* found = get(cache, u"V");
    ASSERT_NE(found, nullptr) << u8(errorText());
    EXPECT_EQ(found->codePage, u'U');
}

// With room for two objects the one released longest ago goes first, unless it was released
// with "keep"; an evicted object is read again from its recorded position.
TEST_F(ULLDObjectCacheTest, EvictsLeastRecentlyReleasedAndRereadsFromPosition) {
    ULLDObjectCache::m_maxcachedobjects = 2;
    for (int keepA : {0, 1}) {
        ULLDObjectCache cache;
        cache.addFilePath(
            write("a.STR", {table(u"A", 4), table(u"B"), table(u"C"), table(u"D")}).c_str());
        for (const char16_t* name : {u"A", u"B", u"C"}) {
            ULLDObject* o = get(cache, name);
            ASSERT_NE(o, nullptr) << u8(errorText());
            cache.releaseObject(o, name[0] == u'A' ? keepA : 0);
        }
        EXPECT_EQ(cache.cachedObjects(), 2);
        std::string cached;
        for (const char16_t* name : {u"A", u"B", u"C"})
            cached += std::to_string(cache.findEntry(name)->objectCount());
        EXPECT_EQ(cached, keepA ? "101" : "011");
        EXPECT_EQ((cache.findEntry(u"A")->flags() & UL_LDCENTRY_KEEP) != 0, keepA == 1);
        if (keepA) continue;
        ULLDObject* again = get(cache, u"A");
        ASSERT_NE(again, nullptr) << u8(errorText());
        EXPECT_EQ(again->structure.fields.size(), 4u);
        EXPECT_EQ(cache.readCount(), 4);
        EXPECT_EQ(cache.scanCount(0), 1);
        EXPECT_EQ(cache.scannedObjects(0), 4);
        EXPECT_EQ(cache.findEntry(u"B")->objectCount(), 0);
    }
}

TEST_F(ULLDObjectCacheTest, HardLimitWithEverythingInUseFails) {
    ULLDObjectCache::m_limitcachedobjects = 2;
    ULLDObjectCache cache;
    cache.addFilePath(write("a.STR", {table(u"A"), table(u"B"), table(u"C")}).c_str());
    ULLDObject* a = get(cache, u"A");
    ASSERT_TRUE(a && get(cache, u"B"));
    EXPECT_EQ(get(cache, u"C"), nullptr);
    EXPECT_EQ(errorText(),
              u"Internal error: Limit 2 for number of objects reached, but nothing can be stolen");
    cache.releaseObject(a, 0);
    EXPECT_NE(get(cache, u"C"), nullptr) << u8(errorText());
}

// Two definitions of T (3 and 4 fields) in one file, selected by database.
TEST_F(ULLDObjectCacheTest, DefinitionsSelectedByDatabase) {
    const char* twice = "Object 'T' found in '%s' line %d and line %d";
    const struct {
        std::initializer_list<const char16_t*> dbs1, dbs2;
        const char16_t* request;  // null: any database
        int flags;
        size_t fields;      // of the object returned, 0: fails
        const char* error;  // %s %d %d: the file and the two lines of T
    } cases[] = {
        {{u"ORA"}, {u"MSS"}, u"ORA", 0, 3, ""}, {{u"ORA"}, {u"MSS"}, u"MSS", 0, 4, ""},
        {{u"!ORA"}, {u"ORA"}, u"ORA", 0, 4, ""},
        {{u"ORA"}, {u"MSS"}, u"DB6", 0, 0,
         "No object definitions for 'T' codepage=any database=DB6 found"},
        {{u"ORA"}, {u"MSS"}, nullptr, 0, 0, "Found duplicate matching object 'T'"},
        {{u"ORA"}, {u"ORA", u"MSS"}, u"MSS", 0, 0, twice}, {{}, {u"!ORA"}, u"ORA", 0, 0, twice},
        {{u"ORA"}, {u"ORA"}, u"ORA", UL_LDCACHE_IGNOREDUPS, 3, ""},
    };
    for (const auto& c : cases) {
        const std::u16string path =
            write("t.STR", {table(u"T", 3, c.dbs1), table(u"U"), table(u"T", 4, c.dbs2)});
        const std::vector<int> lines = linesOf("t.STR", "tab: T");
        ASSERT_EQ(lines.size(), 2u);
        ULLDObjectCache cache;
        cache.addFilePath(path.c_str());
        ULLDObject* o =
            get(cache, u"T", c.request ? ul_sqlgetdbatypefromstring(c.request) : -1, c.flags);
        SCOPED_TRACE(c.error);
        EXPECT_EQ(o ? o->structure.fields.size() : 0u, c.fields) << u8(errorText());
        const std::u16string error =
            ul_format(ul_utf8to16(c.error).c_str(), path.c_str(), lines[0], lines[1]);
        EXPECT_EQ(c.fields ? u"" : errorText(), c.fields ? u"" : error);
        EXPECT_EQ(ULLDObjectCache::m_countduplicates, c.flags ? 1 : 0);
        ULLDObjectCache::m_countduplicates = 0;
    }
}

TEST_F(ULLDObjectCacheTest, SeveralFilesScannedOnceAndDuplicatesAcross) {
    ULLDObjectCache cache;
    ASSERT_EQ(cache.addFilePaths((write("1.STR", {table(u"A"), table(u"B")}) + u", " +
                                  write("2.STR", {table(u"C")}) + u"," +
                                  write("3.STR", {table(u"D"), table(u"B")})).c_str()), 3);
    ASSERT_NE(get(cache, u"C"), nullptr) << u8(errorText());
    EXPECT_EQ(cache.scanCount(2), 0);  // the third file is not needed yet
    ASSERT_NE(get(cache, u"A"), nullptr);
    EXPECT_EQ(get(cache, u"NOPE"), nullptr);
    EXPECT_EQ(errorText(), u"Object 'NOPE' was not found (scanned 3 files)");
    EXPECT_EQ(get(cache, u"NOPE"), nullptr);
    EXPECT_EQ(errorText(), u"Object 'NOPE' not found in STR files");
    ASSERT_NE(get(cache, u"D"), nullptr);
    EXPECT_EQ(get(cache, u"B"), nullptr);
    EXPECT_EQ(u8(errorText()), "Object 'B' found in '" + dir_.path("1.STR") + "' line " +
                                   std::to_string(linesOf("1.STR", "tab: B")[0]) + " and '" +
                                   dir_.path("3.STR") + "' line " +
                                   std::to_string(linesOf("3.STR", "tab: B")[0]));
    for (int f = 0; f < 3; ++f) EXPECT_EQ(cache.scanCount(f), 1);
    EXPECT_EQ(ULLDObjectCache::m_totalobjects, 5);
}

TEST_F(ULLDObjectCacheTest, PrimaryKeysAndSeparateIndexes) {
    ULLDObject t = table(u"T"), pkey, index;
    ASSERT_EQ(t.copy_tablekeys2prkey(&pkey), 0);
    ASSERT_EQ(index.setupIndexObj(u"TI", u"T", false), 0);
    index.structure.addField(t.structure.fields[1]);
    const std::u16string tables = write("t.STR", {t, pkey, table(u"U"), pkey});
    const std::vector<int> lines = linesOf("t.STR", "pky: T~0");
    ASSERT_EQ(lines.size(), 2u);
    write("i.STR", {index});
    const struct { const char16_t* name; int flags; const char* error; } cases[] = {
        {u"T~0", 0, "Primary key 'T~0' previously found in '%s' line %d and now '%s' line %d"},
        {u"TI", UL_LDCACHE_NOSEPINDEX, "Separate index definition 'TI' for table 'T' encountered!"},
        {u"TI", 0, ""},
    };
    for (const auto& c : cases) {
        ULLDObjectCache cache;
        cache.addFilePaths((tables + u" " + dir_.wpath("i.STR")).c_str(), u' ');
        ASSERT_NE(get(cache, u"T"), nullptr) << u8(errorText());
        ULLDObject* o = nullptr;
        const int rc = cache.getObject(&o, UL_LDTASK_IMPORT, c.name, -1, UL_LDCP_ANY, c.flags);
        EXPECT_EQ(rc, *c.error ? -1 : 0);
        if (*c.error) {
            EXPECT_EQ(u8(errorText()), u8(ul_format(ul_utf8to16(c.error).c_str(), tables.c_str(),
                                                    lines[0], tables.c_str(), lines[1])));
            continue;
        }
        ASSERT_EQ(cache.findEntry(u"T")->depObjects().count(), 1u);
        EXPECT_EQ(std::u16string(cache.findEntry(u"T")->depObjects().entry(0)), u"TI");
    }
}

// A cluster table's logical tables come from "<name>_<task>.STR.logical" beside the structure
// file or in the alternative directory.
TEST_F(ULLDObjectCacheTest, LogicalTableDescriptions) {
    ULLDObject cluster = table(u"KOCLU");
    cluster.options.logicalType = UL_LOGTABLE_CLUSTER;
    const struct {
        const char* logicalFile;
        bool alternative;
        unsigned reqtask;
        bool found;
    } cases[] = {
        {"VEXKOCLU_IMP.STR.logical", false, UL_LDTASK_IMPORT, true},
        {"VEXKOCLU_EXP.STR.logical", true, UL_LDTASK_EXPORT, true},
        {"VEXKOCLU_EXP.STR.logical", false, UL_LDTASK_IMPORT, false},
    };
    for (const auto& c : cases) {
        TempDir altDir;
        std::filesystem::remove(dir_.path("VEXKOCLU_IMP.STR.logical"));
        std::filesystem::remove(dir_.path("VEXKOCLU_EXP.STR.logical"));
        ULLDObjectCache::m_altstrdirectory.clear();
        const std::u16string path = write(c.logicalFile, {table(u"BSEG", 3), table(u"BSET")});
        if (c.alternative) {
            std::filesystem::rename(ul_utf16to8(path.c_str()), altDir.path(c.logicalFile));
            ULLDObjectCache::m_altstrdirectory = altDir.wpath();
        }
        ULLDObjectCache cache;
        cache.addFilePath(write("k.STR", {cluster}).c_str());
        ULLDObject* o = nullptr;
        const int rc = cache.getObject(&o, c.reqtask, u"KOCLU", -1, UL_LDCP_ANY, 0);
        EXPECT_EQ(rc, c.found ? 0 : -1);
        if (!c.found) {
            EXPECT_EQ(errorText(), u"Missing logical tables for 'KOCLU'");
            continue;
        }
        const ULLDBaseObjList& logical = cache.findEntry(u"KOCLU")->logTables();
        ASSERT_EQ(logical.count(), 2u);
        EXPECT_EQ(std::u16string(logical.entry(0)) + u"," + logical.entry(1), u"BSEG,BSET");
        ULLDObject* bseg = nullptr;
        ASSERT_EQ(cache.getObject(&bseg, c.reqtask, u"BSEG", -1, UL_LDCP_ANY, 0), 0);
        EXPECT_EQ(bseg->structure.fields.size(), 3u);
    }
}

TEST_F(ULLDObjectCacheTest, TaskTypeSelectsObjectKinds) {
    const unsigned I = UL_LDTASK_IMPORT;
    const struct { int kind; const char16_t* typeName; unsigned reqtask; bool matches;
    } cases[] = {
        {UL_LDOBJ_TABLE, u"", UL_LDTASK_EXPORT, true},
        {UL_LDOBJ_INDEX, u"", UL_LDTASK_EXPORT, false}, {UL_LDOBJ_INDEX, u"", I, true},
        {UL_LDOBJ_INDEX, u"", I | UL_LDTASK_TABLE, false},
        {UL_LDOBJ_GENERIC, u"DDBF", I | UL_LDTASK_DBFUNC, true},
        {UL_LDOBJ_GENERIC, u"AMDP", I | UL_LDTASK_DBFUNC, false},
        {UL_LDOBJ_GENERIC, u"XYZ", I | UL_LDTASK_GENERIC, true},
        {UL_LDOBJ_VIEW, u"", I | UL_LDTASK_VIEW, true},
    };
    for (const auto& c : cases) {
        ULLDObject o;
        o.kind = c.kind;
        o.objTypeName = c.typeName;
        EXPECT_EQ(object_matchtype(&o, c.reqtask), c.matches) << c.kind << " " << u8(c.typeName);
    }
}

// A RAW field in a pool table is rounded up to whole code units; the statistics line at the
// end counts what was read.
TEST_F(ULLDObjectCacheTest, PoolRawFieldAndStatistics) {
    ULLDObject pool = table(u"ATAB", 2);
    pool.attributes.tabClass = u'P';
    pool.structure.fields[1].ddicType = UL_DDIC_RAW;
    pool.structure.fields[1].length = 7;
    TraceCapture trace(UL_TRC_OBJ, 1);
    size_t sizes[2] = {0, 0};
    {
        ULLDObjectCache cache;
        cache.addFilePath(write("p.STR", {pool, table(u"B", 9), table(u"C")}).c_str());
        ULLDObject* o = get(cache, u"ATAB");
        ASSERT_NE(o, nullptr) << u8(errorText());
        EXPECT_EQ(o->structure.fields[1].byteLength, 8u);
        sizes[0] = o->getSelfSize();
        sizes[1] = get(cache, u"B")->getSelfSize();
    }
    EXPECT_NE(trace.text().find("RAW field in pool. tabclass='P' length=7 --> 8\n"),
              std::string::npos);
    EXPECT_NE(trace.text().find(u8(ul_format(
                  u"Object cache statistics: total=3, read=2, discarded=0, highcachedobjs=2, "
                  u"highcachesize=%lu, avgobjsize=%d, maxobjsize=%d\n",
                  static_cast<unsigned long>(sizes[0] + sizes[1]),
                  static_cast<int>((sizes[0] + sizes[1]) / 2),
                  static_cast<int>(std::max(sizes[0], sizes[1]))))),
              std::string::npos)
        << trace.text();
}

}  // namespace

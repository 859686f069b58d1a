// The database-specific splitters' vendor hooks answered by FAKE. Native splits, declared
// partitions and the conversion to another key run on our engines in ulsqlsplit_test.cpp.
#include "ulsqlsplitdb.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sqltestutil.h"
#include "testutil.h"
#include "ulsqlaux.h"
#include "ulsqlsplit.h"

namespace {

// ---- the vendor hooks on FAKE -------------------------------------------------------------------

const ul_sqldbsupport_t kVendors[] = {
    fakeVendorRow(UL_DBTYPE_ORA, u"ORAFAKE"), fakeVendorRow(UL_DBTYPE_DB6, u"DB6FAKE"),
    fakeVendorRow(UL_DBTYPE_MSS, u"MSSFAKE"), fakeVendorRow(UL_DBTYPE_ZMX, u"ZMXFAKE"),
    fakeVendorRow(UL_DBTYPE_ZDB, u"ZDBFAKE"), fakeVendorRow(UL_DBTYPE_DB2, u"DB2FAKE")};

// A scripted answer: the statement and its rows, all columns text.
struct Answer {
    const char16_t* sql;
    std::vector<std::vector<const char16_t*>> rows;
};

enum class Call { request, partitions, fixer };

struct VendorCase {
    const char* name;
    const char* db;  // dbms_type
    const char16_t* version;
    std::vector<Answer> answers;
    Call call;
    int request;                          // Call::request
    std::vector<const char16_t*> fields;  // key fields, or the conditions of Call::fixer
    int rc;
    const char16_t* expected;  // statement, conditions joined by "|", or the error text
    const char* logLine;       // a line the log must hold (null: none)
    std::vector<std::pair<const char*, const char*>> env = {};
    int flags = 0;
    double segment = 0.25;
};

constexpr char16_t kIot[] =
    u"SELECT TABLE_NAME, INDEX_NAME FROM DBA_INDEXES WHERE TABLE_NAME = 'T' AND INDEX_TYPE = "
    u"'IOT - TOP'";
constexpr char16_t kTableOrg[] = u"SELECT TABLEORG FROM SYSCAT.TABLES WHERE TABNAME = ?";
constexpr char16_t kZmxKeys[] =
    u"SELECT COUNT(*) FROM DOMAIN.COLUMNS WHERE TABLENAME = ? AND MODE = 'KEY'";
constexpr char16_t kZmxClustered[] =
    u"SELECT COLUMNNAME, KEYPOS FROM DOMAIN.COLUMNS WHERE OWNER = USER AND TABLENAME = ? AND "
    u"KEYPOS >= 1 ORDER BY KEYPOS";
constexpr char16_t kZmxRownum[] =
    u"SELECT /*+queryrewrite_no*/ %k FROM ( SELECT /*+keyaccess*/ %k, ROWNUM AS ROWN FROM %T%w) "
    u"WHERE MOD(ROWN, %s) = 0";
constexpr char16_t kZmxKeyBounds[] = u"SELECT /*+keybounds(%s)*/ %k FROM %T";
const std::vector<Answer> kZmxAB = {{kZmxClustered, {{u"A", u"1"}, {u"B", u"2"}}}};
constexpr char16_t kZdbTable[] =
    u"SELECT RECORD_COUNT, TABLE_TYPE, IS_PARTITIONED FROM M_TABLES WHERE SCHEMA_NAME = "
    u"CURRENT_SCHEMA AND TABLE_NAME = ?";
constexpr char16_t kZdbRound1[] =
    u"SELECT A.COLUMN_NAME, B.LOADED, B.DISTINCT_COUNT FROM TABLE_COLUMNS A, M_CS_COLUMNS B WHERE "
    u"A.SCHEMA_NAME = CURRENT_SCHEMA AND A.SCHEMA_NAME = B.SCHEMA_NAME AND A.TABLE_NAME = ? AND "
    u"A.TABLE_NAME = B.TABLE_NAME AND A.COLUMN_NAME = B.COLUMN_NAME AND A.DATA_TYPE_NAME NOT IN "
    u"('BLOB', 'NCLOB', 'TIMESTAMP') AND A.LENGTH > 1 AND B.DISTINCT_COUNT > ? ORDER BY A.LENGTH, "
    u"B.DISTINCT_COUNT";
constexpr char16_t kZdbGroup[] =
    u"SELECT MAX(MYCOUNT) FROM (SELECT \"A\", COUNT(*) MYCOUNT FROM \"T\" GROUP BY \"A\")";
constexpr char16_t kDb2Space[] =
    u"SELECT TSNAME, DBNAME FROM SYSIBM.SYSTABLES WHERE NAME = ? AND CREATOR = 'SAPR3'";
constexpr char16_t kDb2Columns[] =
    u"SELECT NAME, COLTYPE, LENGTH, SCALE, PARTKEY_ORDERING FROM SYSIBM.SYSCOLUMNS WHERE TBNAME = "
    u"? AND TBCREATOR = 'SAPR3' AND PARTKEY_COLSEQ > 0 ORDER BY PARTKEY_COLSEQ";
constexpr char16_t kDb2Limits[] =
    u"SELECT LOGICAL_PART, LIMITKEY FROM SYSIBM.SYSTABLEPART WHERE DBNAME = ? AND TSNAME = ? "
    u"ORDER BY LOGICAL_PART";
// T in the nametab: a transparent table with one key field A.
const std::vector<Answer> kNameTabT = {
    {u"SELECT TABTYPE, TABFORM, REFNAME, CLIDEP, CLIPOS, FLDCNT, KEYCNT, PKEYCNT, KEYLEN, TABLEN, "
     u"SHRTYPE, TEMPFLAG, STORETYPE FROM \"DDNTT\" WHERE TABNAME = ?",
     {{u"T", u"T", u"", u"0", u"0", u"1", u"1", u"0", u"4", u"4", u"0", u"0", u""}}},
    {u"SELECT FIELDPOS, FIELDNAME, DDTYPE, DDLEN, DIGITS, DECIMALS, DBTYPE, DBLEN, KEYFLAG, "
     u"NOTNULLFLAG, FLDOFFS FROM \"DDNTF\" WHERE TABNAME = ? ORDER BY FIELDPOS",
     {{u"1", u"A", u"172", u"4", u"0", u"0", u"0", u"0", u"1", u"1", u"0"}}}};
const std::vector<Answer> kDb2Base = {
    kNameTabT[0],
    kNameTabT[1],
    {kDb2Space, {{u"TS1", u"DB1"}}},
    {kDb2Columns, {{u"A", u"INTEGER", u"4", u"0", u"A"}, {u"B", u"VARCHAR", u"10", u"0", u"D"}}}};
std::vector<Answer> db2With(std::vector<std::vector<const char16_t*>> limits) {
    std::vector<Answer> a = kDb2Base;
    a.push_back({kDb2Limits, std::move(limits)});
    return a;
}

std::vector<VendorCase> vendorCases() {
    const Call R = Call::request;
    // clang-format off
    return {
        {"index-organized table keeps its key", "ORAFAKE", nullptr, {{kIot, {{u"T", u"T~0"}}}}, R,
         UL_SPLITREQ_NATIVEFIELDS, {}, 0, nullptr,
         "1 ETQ399 Found index-organized table 'T' which will be split by primary index."},
        {"heap table splits by ROWID", "ORAFAKE", nullptr, {}, R, UL_SPLITREQ_NATIVEFIELDS, {}, 1,
         u"ROWID", nullptr},
        {"Oracle hint", "ORAFAKE", nullptr, {}, R, UL_SPLITREQ_HINT, {}, 1,
         u"/*+ PARALLEL_INDEX(\"T\") */", nullptr},
        {"TABLEORG R", "DB6FAKE", nullptr, {{kTableOrg, {{u"R"}}}}, R, UL_SPLITREQ_NATIVEFIELDS, {},
         1, u"RID()", nullptr},
        {"TABLEORG C", "DB6FAKE", nullptr, {{kTableOrg, {{u"C"}}}}, R, UL_SPLITREQ_NATIVEFIELDS, {},
         0, nullptr,
         "1WETQ399 Table 'T' has TABLEORG='C' - cannot use 'RID()' for splitting."},
        {"RID() row numbers", "DB6FAKE", nullptr, {}, R, UL_SPLITREQ_ROWNUM, {u"RID()"}, 1,
         u"SELECT RID FROM ( SELECT RID, ROWNUMBER() OVER( ORDER BY RID ) AS ROWN FROM ( SELECT "
         u"RID() AS RID FROM %T%w)) AS Q WHERE MOD(ROWN, %s) = 0",
         nullptr},
        {"MSS 8 has no estimate", "MSSFAKE", u"8.00.2039", {}, R, UL_SPLITREQ_ESTIMATE, {}, 0,
         nullptr, nullptr},
        {"MSS 8 has no row numbers", "MSSFAKE", u"8.00.2039", {}, R, UL_SPLITREQ_ROWNUM, {u"K"}, 0,
         nullptr, nullptr},
        {"MSS 8 counts", "MSSFAKE", u"8.00.2039", {}, R, UL_SPLITREQ_COUNTEXPR, {}, 1, u"COUNT(*)",
         nullptr},
        {"MSS 9 counts big", "MSSFAKE", u"9.00.1399", {}, R, UL_SPLITREQ_COUNTEXPR, {}, 1,
         u"COUNT_BIG(*)", nullptr},
        {"MSS 9 estimates by sysindexes", "MSSFAKE", u"9.00.1399", {}, R, UL_SPLITREQ_ESTIMATE, {},
         1,
         u"SELECT si.rows FROM sysobjects so, sysindexes si WHERE so.xtype = 'U' AND so.id = "
         u"OBJECT_ID(user + '.%t') AND so.id = si.id and si.indid <= 1",
         nullptr},
        {"MSS 10 counts in parallel", "MSSFAKE", u"10.50", {}, R, UL_SPLITREQ_COUNT, {}, 1,
         u"SELECT %H%C FROM %T%w%h OPTION (MAXDOP 0)", nullptr},
        {"MSS version without a number", "MSSFAKE", u"X1", {}, R, UL_SPLITREQ_COUNTEXPR, {}, -1,
         u"Incomprehensible DB version string 'X1'", nullptr},
        {"ZMX without key splits by SYSKEY", "ZMXFAKE", nullptr, {{kZmxKeys, {{u"0"}}}}, R,
         UL_SPLITREQ_NATIVEFIELDS, {}, 1, u"SYSKEY", nullptr},
        {"ZMX with key", "ZMXFAKE", nullptr, {{kZmxKeys, {{u"2"}}}}, R, UL_SPLITREQ_NATIVEFIELDS,
         {}, 0, nullptr,
         "1WETQ399 Table 'T' does have key fields, splitting via 'SYSKEY' not possible."},
        {"ZMX second key field not clustered", "ZMXFAKE", u"7.9.08.00",
         {{kZmxClustered, {{u"A", u"1"}, {u"C", u"2"}}}}, R, UL_SPLITREQ_ROWNUM, {u"A", u"B"}, 0,
         nullptr,
         "1WETQ399 Cannot use optimized ROWNUM method since key field #2 'B' is not clustered!"},
        {"ZMX older version", "ZMXFAKE", u"7.9.08.00", kZmxAB, R, UL_SPLITREQ_ROWNUM, {u"A", u"B"},
         1, kZmxRownum,
         "1 ETQ399 All keyfields are clustered, so may use optimized ROWNUM method."},
        {"ZMX keybounds", "ZMXFAKE", u"7.9.10.02", kZmxAB, R, UL_SPLITREQ_ROWNUM, {u"A", u"B"}, 1,
         kZmxKeyBounds,
         "1 ETQ399 Database version '7.9.10.02' is higher than '7.9.10.00', enabling keybounds "
         "hint."},
        {"ZMX keybounds and a where condition", "ZMXFAKE", u"7.9.10.02", kZmxAB, R,
         UL_SPLITREQ_ROWNUM, {u"A", u"B"}, 1, kZmxRownum,
         "1 ETQ399 Disabled keybounds hint due to where condition for split.", {},
         UL_SPLITREQFLAG_WHERE},
        {"ZMX keybounds switched off", "ZMXFAKE", u"7.9.10.02", kZmxAB, R, UL_SPLITREQ_ROWNUM,
         {u"A", u"SYSKEY"}, 1, kZmxRownum,
         "1 ETQ399 Disabled keybounds hint via environment variable.",
         {{"TABRIX_ZMX_USEKEYBOUND", "0"}}},
        {"ZDB column with too many equal values", "ZDBFAKE", nullptr,
         {{kZdbTable, {{u"1000", u"COLUMN", u"FALSE"}}},
          {kZdbRound1, {{u"A", u"TRUE", u"50"}}},
          {kZdbGroup, {{u"300"}}}},
         R, UL_SPLITREQ_NATIVEFIELDS, {}, 0, nullptr,
         "1WETQ399 Table 'T': no suitable split columns found supporting a package size of 250 "
         "(columns might not be in memory).",
         {{"TABRIX_ZDB_SPLITFORCETABLELOAD", "0"}}},
        {"ZDB column of nearly distinct values", "ZDBFAKE", nullptr,
         {{kZdbTable, {{u"1000", u"COLUMN", u"FALSE"}}}, {kZdbRound1, {{u"A", u"TRUE", u"990"}}}},
         R, UL_SPLITREQ_NATIVEFIELDS, {}, 1, u"A",
         "1 ETQ399 Column 'A' is suitable for table splitting: distinctcount=990."},
        {"ZDB partitions", "ZDBFAKE", u"4.00.000",
         {{u"SELECT DISTINCT PART_ID FROM SYS.TABLE_PARTITIONS WHERE SCHEMA_NAME = CURRENT_SCHEMA "
           u"AND TABLE_NAME = 'T' ORDER BY PART_ID",
           {{u"1"}, {u"2"}}}},
         Call::partitions, 0, {}, 1, u"_PARTITION = 1|_PARTITION = 2", nullptr},
        {"DB2 partitions by limit keys", "DB2FAKE", nullptr,
         db2With({{u"1", u"100, 'M'"}, {u"2", u"100, 'A'"}, {u"3", u"MAXVALUE, MINVALUE"}}),
         Call::partitions, 0, {}, 1,
         u"(( \"A\" < 100 ) OR ( \"A\" = 100 AND \"B\" >= 'M' )) -- PART 1 SPLIT 1 OF 1|"
         u"(( \"A\" = 100 AND \"B\" < 'M' AND \"B\" >= 'A' )) -- PART 2 SPLIT 1 OF 1|"
         u"((( \"A\" = 100 AND \"B\" < 'A' )) OR ( \"A\" > 100 AND \"A\" <= 2147483647 )) "
         u"-- PART 3 SPLIT 1 OF 1",
         nullptr, {{"dbs_db2_schema", "SAPR3"}}},
        {"DB2 graphic hex literal", "DB2FAKE", nullptr, db2With({{u"1", u"1, UX'0041'"}}),
         Call::partitions, 0, {}, -1, u"UX or GX character literals are not supported : 1, UX'0041'",
         nullptr, {{"dbs_db2_schema", "SAPR3"}}},
        {"DB2 MAXVALUE of a descending column", "DB2FAKE", nullptr,
         db2With({{u"1", u"1, MAXVALUE"}}), Call::partitions, 0, {}, -1,
         u"MAXVALUE is not supported for the descending partition column B", nullptr,
         {{"dbs_db2_schema", "SAPR3"}}},
        {"DB2 partitions without schema", "DB2FAKE", nullptr, kNameTabT, Call::partitions, 0, {}, -1,
         u"Missing environment variable 'dbs_db2_schema'", nullptr},
        {"DB2 comments renumbered", "DB2FAKE", nullptr, {}, Call::fixer, 0,
         {u"(A < 1) -- PART 1 SPLIT 1 OF 1\nAND K < 5", u"(A < 1) -- PART 1 SPLIT 1 OF 1\nAND 5 <= K",
          u"(A = 1) -- PART 2 SPLIT 1 OF 1", u"P3 -- PART 3 SPLIT 1 OF 1\nAND K < 1",
          u"P3 -- PART 3 SPLIT 1 OF 1\nAND K < 2", u"P3 -- PART 3 SPLIT 1 OF 1\nAND K < 3",
          u"P3 -- PART 3 SPLIT 1 OF 1\nAND 3 <= K -- last"},
         0,
         u"(A < 1) AND K < 5 -- PART 1 SPLIT 1 OF 2|(A < 1) AND 5 <= K -- PART 1 SPLIT 2 OF 2|"
         u"(A = 1) -- PART 2 SPLIT 1 OF 1|P3 AND K < 1 -- PART 3 SPLIT 1 OF 4|"
         u"P3 AND K < 2 -- PART 3 SPLIT 2 OF 4|P3 AND K < 3 -- PART 3 SPLIT 3 OF 4|"
         u"P3 AND 3 <= K -- last\n-- PART 3 SPLIT 4 OF 4",
         nullptr},
        {"DB2 comments mixed", "DB2FAKE", nullptr, {}, Call::fixer, 0,
         {u"A < 1 -- PART 1 SPLIT 1 OF 1", u"1 <= A"}, -1,
         u"Internal error: Illegal mixture of clauses with and without partitioning comments",
         nullptr},
        {"DB2 comment malformed", "DB2FAKE", nullptr, {}, Call::fixer, 0,
         {u"A < 1 -- PART 1 SPLIT 1"}, -1,
         u"Syntax error in partition comment '-- PART 1 SPLIT 1'", nullptr},
    };
    // clang-format on
}

std::u16string joined(const ULTableSplit& split) {
    std::u16string out;
    for (const ul_tablesegment_t& s : split)
        out += (out.empty() ? u"" : u"|") + std::u16string(s.condition());
    return out;
}

class UlSqlSplitDbVendorTest : public FakeVendorTest {
  protected:
    UlSqlSplitDbVendorTest() : FakeVendorTest(kVendors, std::size(kVendors)) {}

    // The answer of the case's call: its return code and text.
    static std::pair<int, std::u16string> call(const VendorCase& c) {
        if (c.call == Call::request) {
            const char16_t* statement = nullptr;
            const int rc = sql_getstatement2(c.request, u"T", c.fields.data(),
                                             static_cast<unsigned>(c.fields.size()), &statement,
                                             c.flags, c.segment, 0);
            return {rc, rc < 0 ? errorText() : rc > 0 && statement ? statement : u""};
        }
        ULTableSplit split;
        int rc = 0;
        if (c.call == Call::partitions) {
            rc = ul_sqlcheckpartitions(&split, u"T", nullptr, 0);
        } else {
            for (const char16_t* f : c.fields)
                split.createSegmentEntry(UL_DBROWCOUNT_INVALID, f, 0);
            rc = ul_sqlsplitfixer_db2(&split, 0);
        }
        return {rc, rc < 0 ? errorText() : joined(split)};
    }
};

TEST_F(UlSqlSplitDbVendorTest, HooksAnswerByDatabase) {
    for (const VendorCase& c : vendorCases()) {
        SCOPED_TRACE(c.name);
        dbif_fake_reset();
        dbif_fake_setcontrol(DBIF_CTL_USER, DBIF_RC_OK, u"DBUSER");
        dbif_fake_setcontrol(DBIF_CTL_SCHEMA, DBIF_RC_OK, u"DBUSER");
        if (c.version) dbif_fake_setcontrol(DBIF_CTL_VERSION, DBIF_RC_OK, c.version);
        for (const Answer& a : c.answers) {
            std::vector<dbif_coldesc_t> columns;
            for (size_t i = 0; i < (a.rows.empty() ? 1 : a.rows[0].size()); ++i)
                columns.push_back(textColumn(u"C"));
            std::vector<dbif_fakerow_t> rows;
            for (const auto& r : a.rows) {
                rows.emplace_back();
                for (const char16_t* v : r) rows.back().push_back(dbif_faketext(v));
            }
            dbif_fake_setresult(a.sql, columns, rows);
        }
        for (const auto& [name, value] : c.env) setenv(name, value, 1);
        setenv("dbms_type", c.db, 1);
        ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << u8(errorText());
        const long before = static_cast<long>(log_.text().size());
        const auto [rc, text] = call(c);
        for (const auto& [name, value] : c.env) unsetenv(name);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(u8(text), c.expected ? u8(c.expected) : "");
        if (c.logLine) {
            EXPECT_NE(log_.text().find(std::string(c.logLine) + "\n", before), std::string::npos)
                << log_.text().substr(before);
        }
        ASSERT_EQ(ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT), 0);
    }
}

}  // namespace

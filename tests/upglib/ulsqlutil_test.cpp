#include "ulsqlutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "dbif_fake.h"
#include "sqltestutil.h"
#include "testutil.h"
#include "uldllist.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"

namespace {

class UlSqlUtilTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("dbms_type");
        ul_sqlresetsession();
        ul_errorsetmsg(0, nullptr);
    }
    void TearDown() override {
        unsetenv("dbms_type");
        ul_sqlresetsession();
    }
    static void setDatabase(const char* type) {
        if (type)
            setenv("dbms_type", type, 1);
        else
            unsetenv("dbms_type");
    }
    static std::string error() { return u8(ul_errorgetmsg()); }
    static std::string name(int which) {
        const char16_t* n = ul_ntgetname(which);
        return n ? u8(n) : "(null: " + error() + ")";
    }
};

TEST_F(UlSqlUtilTest, NametabKeywords) {
    const struct {
        const char16_t* keyword;
        int type;
    } cases[] = {{u"off", 0}, {u"Std", 1}, {u"SHD", 2},     {u"bRi", 3}, {u"SwOld", 4},
                 {u"", -1},   {u"st", -1}, {u"swold ", -1}, {u"10", -1}, {nullptr, -1}};
    for (const auto& c : cases) EXPECT_EQ(ul_sqlntgettypefromstring(c.keyword), c.type);
}

// Table and suffix names per nametab type, database and slot, from the start state on.
TEST_F(UlSqlUtilTest, NametabNamesPerTypeAndDatabase) {
    const struct {
        const char* database;
        unsigned type;
        const char16_t* suffix;
        unsigned setFlags;
        int rc;
        const char* ddntt;  // name(0); null: no name, error text in ddntf
        const char* ddntf;
        const char* hist;
    } cases[] = {
        {nullptr, 1, nullptr, 0, 0, "DDNTT", "DDNTF", "DDNTT_HIST"},
        {"db4", 2, nullptr, 0, 0, "DDNTT?", "DDNTF?", "DDNTT_HIST?"},
        {"DB4", 3, nullptr, 0, 0, "DDNTT??", "DDNTF??", "DDNTT_HIST??"},
        {"DB4", 4, nullptr, 0, 0, "DDNTT??OLD", "DDNTF??OLD", "DDNTT_HIST??OLD"},
        // dbms_type selects the database whose code it begins with.
        {"DB4X", 2, nullptr, 0, 0, "DDNTT?", "DDNTF?", "DDNTT_HIST?"},
        {"XDB4", 2, nullptr, 0, 0, "DDNTT~", "DDNTF~", "DDNTT_HIST~"},
        {nullptr, 10, u"ABC", 0, 0, "DDNTTABC", "DDNTFABC", "DDNTT_HISTABC"},
        {nullptr, 10, u"SSSSSSSSSSSSSSSSSSSS", 0, 0, "DDNTTSSSSSSSSSSSSSSSSSSSS", nullptr, nullptr},
        {nullptr, 10, u"", 0, 0, "DDNTT", "DDNTF", "DDNTT_HIST"},
        {nullptr, 10, u"SSSSSSSSSSSSSSSSSSSST", 0, -1, "DDNTT", "DDNTF", "DDNTT_HIST"},
        {nullptr, 5, u"X", 1, -1, "DDNTT", "DDNTF", "DDNTT_HIST"},
        {nullptr, 9, nullptr, 0, -1, "DDNTT", "DDNTF", "DDNTT_HIST"},
        {nullptr, 11, nullptr, 0, -1, "DDNTT", "DDNTF", "DDNTT_HIST"},
        {nullptr, 0xFFFFFFFFu, nullptr, 0, -1, "DDNTT", "DDNTF", "DDNTT_HIST"},
        // Type 10 without a suffix in the alternate slot configures nothing.
        {nullptr, 10, nullptr, 3, 0, "DDNTT", "DDNTF", "DDNTT_HIST"},
        {nullptr, 0, nullptr, 0, 0, nullptr, "Nametab access disabled", nullptr},
    };
    for (int round = 0; round < 2; ++round)
        for (const auto& c : cases) {
            SCOPED_TRACE(concat(c.database ? c.database : "none", " type ", std::to_string(c.type),
                                " round ", std::to_string(round)));
            // Set up twice: the reset must bring back the start state.
            ul_sqlresetsession();
            setDatabase(c.database);
            EXPECT_EQ(ul_sqltabsuffixget(), nullptr);
            EXPECT_EQ(ul_sqlnthavealttype(), 0);
            EXPECT_EQ(ul_sqlntcurrentslot(), 0);
            if (round == 1) {
                ASSERT_EQ(ul_sqlntsettype(2, u"S", 1), 0);
                ASSERT_EQ(ul_sqltabsuffixset(u"_S"), 0);
                ul_sqlresetsession();
                EXPECT_EQ(ul_sqltabsuffixget(), nullptr);
                EXPECT_EQ(ul_sqlntcurrentslot(), 0);
            }
            EXPECT_EQ(ul_sqlntsettype(c.type, c.suffix, c.setFlags), c.rc);
            if (c.rc < 0) {
                // The suffix too long is a CLI case.
                if (c.type != 10) {
                    EXPECT_EQ(error(), concat("Invalid suffix type ",
                                              std::to_string(static_cast<int>(c.type))));
                }
                EXPECT_EQ(ul_sqlntgettype(0), 1);
            } else {
                EXPECT_EQ(ul_sqlntgettype(c.setFlags & 1), static_cast<int>(c.type));
            }
            EXPECT_EQ(ul_sqlnthavealttype(), 0);
            if (!c.ddntt) {
                EXPECT_EQ(ul_ntgetname(0), nullptr);
                EXPECT_EQ(error(), c.ddntf);
                EXPECT_EQ(ul_ntgetname(UL_NTNAME_DDNTF), nullptr);
                continue;
            }
            EXPECT_EQ(name(0), c.ddntt);
            if (c.ddntf) {
                EXPECT_EQ(name(UL_NTNAME_DDNTF), c.ddntf);
            }
            if (c.hist) {
                EXPECT_EQ(name(UL_NTNAME_HIST), c.hist);
            }
        }
    ASSERT_EQ(ul_sqlntsettype(10, u"", 0), 0);
    EXPECT_EQ(u8(ul_sqlntgetsuffix(0)), "");
}

TEST_F(UlSqlUtilTest, SlotsAndSwitching) {
    ASSERT_EQ(ul_sqlntsettype(10, u"_X", 0), 0);
    EXPECT_EQ(ul_sqlntcurrentslot(), 0);
    EXPECT_EQ(ul_ntgetname(UL_NTNAME_ALTERNATE), nullptr);
    EXPECT_EQ(error(), "No alternative nametab configured");
    EXPECT_EQ(ul_sqlntswitch(1), -1);
    EXPECT_EQ(error(), "No alternative nametab configured");
    EXPECT_EQ(ul_sqlntswitch(UL_NTSLOT_REPORT), 0);
    EXPECT_EQ(ul_ntgetname(UL_NTNAME_DDNTF | UL_NTNAME_HIST), nullptr);
    for (int slot : {2, -1}) {
        EXPECT_EQ(ul_sqlntgettype(slot), -1);
        EXPECT_EQ(error(), concat("Invalid nametab slot ", std::to_string(slot)));
        EXPECT_EQ(ul_sqlntgetsuffix(slot), nullptr);
    }
    EXPECT_EQ(ul_sqlntswitch(2), -1);
    EXPECT_EQ(error(), "Invalid nametab slot 2");

    // An alternate slot switches to itself unless asked to keep the current one.
    ul_sqlresetsession();
    ASSERT_EQ(ul_sqlntsettype(3, nullptr, UL_NTSET_ALTERNATE), 0);
    EXPECT_EQ(ul_sqlntcurrentslot(), 1);
    ul_sqlresetsession();
    ASSERT_EQ(ul_sqlntsettype(3, nullptr, UL_NTSET_ALTERNATE | UL_NTSET_KEEPCURRENT), 0);
    EXPECT_EQ(ul_sqlnthavealttype(), 1);
    EXPECT_EQ(ul_sqlntcurrentslot(), 0);
    ASSERT_EQ(ul_sqlntsettype(4, nullptr, UL_NTSET_KEEPCURRENT), 0);
    EXPECT_EQ(ul_sqlntcurrentslot(), 0);
    EXPECT_EQ(name(0), "DDNTT~~OLD");
    EXPECT_EQ(name(UL_NTNAME_ALTERNATE | UL_NTNAME_DDNTF), "DDNTF~~");
    EXPECT_EQ(u8(ul_sqlntgetsuffix(1)), "~~");
    EXPECT_EQ(ul_sqlntswitch(1), 1);
    EXPECT_EQ(ul_sqlntswitch(UL_NTSLOT_REPORT), 1);
    EXPECT_EQ(name(UL_NTNAME_DDNTF), "DDNTF~~");
    EXPECT_EQ(ul_sqlntswitch(0, UL_NTSWITCH_RESETCACHE), 0);  // no connection: nothing to reset
    EXPECT_EQ(name(UL_NTNAME_DDNTF), "DDNTF~~OLD");
    ASSERT_EQ(ul_sqlntsettype(0, nullptr, UL_NTSET_KEEPCURRENT), 0);
    for (unsigned slot : {0u, 1u, UL_NTSLOT_REPORT}) {
        EXPECT_EQ(ul_sqlntswitch(slot), -1);
        EXPECT_EQ(error(), "Nametab access disabled");
    }
}

TEST_F(UlSqlUtilTest, TableSuffixTypes) {
    const struct {
        const char* database;
        unsigned type;
        const char16_t* suffix;
        const char* expected;  // null: none set
    } cases[] = {{nullptr, 10, u"_NEW", "_NEW"}, {nullptr, 10, nullptr, nullptr},
                 {nullptr, 10, u"", nullptr},    {nullptr, 0, u"_NEW", nullptr},
                 {nullptr, 1, nullptr, nullptr}, {nullptr, 2, nullptr, "~"},
                 {"DB4", 3, nullptr, "??"},      {nullptr, 4, nullptr, "~~OLD"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        ul_sqlresetsession();
        setDatabase(c.database);
        ASSERT_EQ(ul_sqltabsuffixset(u"_OLDVALUE"), 0);
        ASSERT_EQ(ul_sqltablesuffixsettype(c.type, c.suffix), 0) << error();
        const char16_t* suffix = ul_sqltabsuffixget();
        EXPECT_EQ(suffix ? u8(suffix) : "(null)", c.expected ? c.expected : "(null)");
    }
    ASSERT_EQ(ul_sqltabsuffixset(u"_KEEP"), 0);
    EXPECT_EQ(ul_sqltablesuffixsettype(7, nullptr), -1);
    EXPECT_EQ(error(), "Invalid suffix type 7");
    EXPECT_EQ(ul_sqltablesuffixsettype(10, std::u16string(21, u'x').c_str()), -1);
    EXPECT_EQ(u8(ul_sqltabsuffixget()), "_KEEP");
}

TEST_F(UlSqlUtilTest, SuffixEndsWithCutCompareAndRealName) {
    char16_t out[32];
    // Without a table suffix nothing is cut.
    EXPECT_EQ(ul_sqltabsuffixendswith(u"MARA~"), 0);
    EXPECT_EQ(ul_ntrealtablename(out, 16, u"MARA~"), 5);
    ASSERT_EQ(ul_sqltabsuffixset(u"~X"), 0);
    const struct {
        const char16_t* name;
        int endsWith;
        const char* real;
    } cases[] = {
        {u"MARA~X", 1, "MARA"},   {u"A~X", 1, "A"},           {u"~X", 0, "~X"}, {u"X", 0, "X"},
        {u"MARA~x", 0, "MARA~x"}, {u"MARA~X~X", 1, "MARA~X"}, {u"", 0, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.name));
        EXPECT_EQ(ul_sqltabsuffixendswith(c.name), c.endsWith);
        EXPECT_EQ(ul_ntrealtablename(out, 32, c.name), static_cast<int>(strlen(c.real)));
        EXPECT_EQ(u8(out), c.real);
        std::u16string inPlace = c.name;
        EXPECT_EQ(ul_sqltabsuffixcut(inPlace.data()), c.endsWith);
        EXPECT_EQ(u8(inPlace.c_str()), c.real);
    }
    EXPECT_EQ(ul_sqltabsuffixendswith(nullptr), 0);
    EXPECT_EQ(ul_ntrealtablename(out, 4, u"ABCD~X"), -1);
    ASSERT_EQ(ul_sqltabsuffixset(u"#1"), 0);
    EXPECT_EQ(ul_sqltabsuffixcompare(u"T100#1", u"T100"), 0);
    EXPECT_EQ(ul_sqltabsuffixcompare(u"T100", u"T100#1"), 0);
    EXPECT_EQ(ul_sqltabsuffixcompare(u"T100#1", u"T100#1"), 0);
    EXPECT_LT(ul_sqltabsuffixcompare(u"T100#1", u"T1000"), 0);
    EXPECT_GT(ul_sqltabsuffixcompare(u"T101", u"T100#1"), 0);
    EXPECT_LT(ul_sqltabsuffixcompare(u"T10#1", u"T100"), 0);
    EXPECT_NE(ul_sqltabsuffixcompare(u"T100#2", u"T100"), 0);
}

TEST_F(UlSqlUtilTest, AddSuffix) {
    ASSERT_EQ(ul_sqltabsuffixset(u"_T"), 0);
    ASSERT_EQ(ul_sqlntsettype(2, nullptr, 0), 0);
    ASSERT_EQ(ul_sqlntsettype(10, u"_ALT", 3), 0);
    const char* expected[] = {"MARA_T", "MARA~", "MARA_ALT"};
    char16_t out[16];
    for (int flags = 0; flags < 3; ++flags) {
        EXPECT_EQ(ul_sqladdsuffix(out, 16, u"MARA", flags),
                  static_cast<int>(strlen(expected[flags])));
        EXPECT_EQ(u8(out), expected[flags]);
    }
    EXPECT_EQ(ul_sqladdsuffix(out, 16, u"MARA", 3), -1);
    EXPECT_EQ(error(), "Invalid suffix selector 3");
    // Exactly filling the buffer works, one more code unit does not.
    EXPECT_EQ(ul_sqltabsuffixadd(out, 7, u"ABCD"), 6);
    EXPECT_EQ(u8(out), "ABCD_T");
    EXPECT_EQ(ul_sqltabsuffixadd(out, 6, u"ABCD"), -1);
    EXPECT_NE(error().find("too long"), std::string::npos) << error();
}

TEST_F(UlSqlUtilTest, NametabNormalize) {
    const struct {
        const char16_t* name;
        const char* expected;
    } cases[] = {{u"DDNTT", "DDNTT_2B"},
                 // clang-format off
                 {u"DDNTF~", "DDNTF_2B~"}, {u"DDNTT_CONV_UC", "DDNTT_1B"},
                 {u"DDXTF?", "DDXTF_2B?"}, {u"DDNTTX", "DDNTTX"},
                 {u"DDNTT~~OLD", "DDNTT_2B~~OLD"}, {u"DDNTF_CONV_UC?", "DDNTF_1B?"},
                 {u"DDXTT_CONV_UC~", "DDXTT_1B~"}, {u"DDNTT_CONV_UCX", "DDNTT_CONV_UCX"},
                 {u"DDNTT_CONV_U", "DDNTT_CONV_U"}, {u"DDNTT_HIST", "DDNTT_HIST"},
                 {u"DDATT", "DDATT"}, {u"DDNXT", "DDNXT"},
                 {u"DDNTX", "DDNTX"}, {u"ddntt", "ddntt"},
                 {u"DDNT", "DDNT"}, {u"", ""}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.name));
        char16_t out[32];
        EXPECT_EQ(ul_sqlnametabnormalize(out, 32, c.name), static_cast<int>(strlen(c.expected)));
        EXPECT_EQ(u8(out), c.expected);
    }
    char16_t out[9];
    EXPECT_EQ(ul_sqlnametabnormalize(out, 9, u"DDNTT"), 8);
    EXPECT_EQ(ul_sqlnametabnormalize(out, 8, u"DDNTT"), -1);
    EXPECT_EQ(ul_sqlnametabnormalize(out, 5, u"DDNTT"), -1);
}

// Every table the list names is recognised as a nametab table, and nothing else is.
TEST_F(UlSqlUtilTest, NametabTablesListAndRecognition) {
    for (int flags : {0, static_cast<int>(UL_NAMETABS_WITHREPO)}) {
        ul_dllist_t list;
        const int n = ul_sqltablegetnametabs(&list, flags);
        std::vector<std::u16string> names;
        ul_dllistiter_t it(&list);
        while (ul_dllistnode_t* node = it.next()) names.emplace_back(node->str());
        list.freeList(0);
        ASSERT_EQ(names.size(), static_cast<size_t>(n));
        EXPECT_EQ(n, flags ? 7 : 6);
        for (const std::u16string& t : names) {
            SCOPED_TRACE(u8(t));
            EXPECT_EQ(ul_sqltableisnametab(t.c_str(), flags), 1);
            const bool repository = t == u"REPOSRC_ADM";
            EXPECT_EQ(ul_sqltableisnametab(t.c_str(), 0), repository ? 0 : 1);
            // A companion table of the definitions is no nametab table.
            for (size_t i = 0; i < NameTabsCount; ++i)
                if (NameTabs[i].name == t && NameTabs[i].companion) {
                    EXPECT_EQ(ul_sqltableisnametab(NameTabs[i].companion, flags), 0);
                }
        }
    }
    for (const char16_t* other :
         {u"DDNTT~", u"ddntt", u"DDNTT_C", u"DDXTT", u"", (const char16_t*)nullptr})
        EXPECT_EQ(ul_sqltableisnametab(other, UL_NAMETABS_WITHREPO), 0);
}

TEST_F(UlSqlUtilTest, QuoteTable) {
    setDatabase("ORA");
    ASSERT_EQ(ul_sqltabsuffixset(u"_s"), 0);
    ASSERT_EQ(ul_sqlntsettype(2, nullptr, 0), 0);
    ASSERT_EQ(ul_sqlntsettype(3, nullptr, 3), 0);
    const int S = UL_QUOTE_TABSUFFIX, K = UL_QUOTE_KEEPCASE, N = UL_QUOTE_NTSTANDARD,
              A = UL_QUOTE_NTALTERNATE, P = UL_QUOTE_PARENTHESES;
    const struct {
        const char16_t* name;
        int flags;
        const char* expected;
    } cases[] = {
        {u"mara", 0, "\"MARA\""},
        {u"mara", K, "\"mara\""},
        // The suffix is appended before upper-casing.
        // clang-format off
        {u"mara", S, "\"MARA_S\""}, {u"mara", S | K, "\"mara_s\""}, {u"mara", N, "\"MARA~\""},
        {u"mara", A, "\"MARA~~\""}, {u"mara", S | N, "\"MARA_S\""}, {u"mara", N | A, "\"MARA~\""},
        {u"my\"tab", 0, "\"MY\"\"TAB\""}, {u"\"", UL_QUOTE_ALWAYS, "\"\"\"\""},
        // clang-format on
        // Expressions stay as they are, unless flag 4 meets upper-casing.
        // clang-format off
        {u"count(*)", 0, "COUNT(*)"}, {u"count(*)", UL_QUOTE_ALWAYS, "COUNT(*)"},
        {u"count(*)", P, "\"COUNT(*)\""}, {u"count(*)", P | K, "count(*)"},
        {u"f(\"x\")", 0, "\"F(\"\"X\"\")\""}, {u"", 0, "\"\""},
        // clang-format on
    };
    char16_t out[64];
    for (const auto& c : cases) {
        SCOPED_TRACE(concat(u8(c.name), " flags ", std::to_string(c.flags)));
        EXPECT_EQ(ul_sqlquotetable(out, 64, c.name, c.flags), static_cast<int>(strlen(c.expected)));
        EXPECT_EQ(u8(out), c.expected);
    }
    // The quoted form must fit into out, terminator included.
    EXPECT_EQ(ul_sqlquotetable(out, 7, u"MARA", 0), 6);
    EXPECT_EQ(ul_sqlquotetable(out, 6, u"MARA", 0), -1);
    // A name may have 255 characters with the suffix.
    std::vector<char16_t> wide(300);
    const std::u16string fits(253, u'A');
    ASSERT_EQ(ul_sqltabsuffixset(u"_S"), 0);
    EXPECT_EQ(ul_sqlquotetable(wide.data(), 300, fits.c_str(), S), 257);
    EXPECT_EQ(ul_sqlquotetable(wide.data(), 300, (fits + u"A").c_str(), S), -1);
    EXPECT_EQ(ul_sqlquotetable(wide.data(), 300, (fits + u"A").c_str(), 0), 256);

    setDatabase(nullptr);
    ASSERT_EQ(ul_sqlparseglobalflags(u"noobjname2upper"), 0);
    EXPECT_EQ(ul_sqlquotetable(out, 32, u"a(b)", P), 4);
    EXPECT_EQ(u8(out), "a(b)");
    EXPECT_EQ(ul_sqlquotetable(out, 32, u"Mara", 0), 4);  // no database: no quoting
    EXPECT_EQ(u8(out), "Mara");
    EXPECT_EQ(ul_sqlquotetable(out, 32, u"Mara", UL_QUOTE_ALWAYS), 6);
    EXPECT_EQ(u8(out), "\"Mara\"");
    ul_sqlresetglobalflags();
}

// ---- schemas and the view layer, with the in-memory database answered by FAKE ------------

const ul_sqldbsupport_t kZdbRow[] = {fakeVendorRow(UL_DBTYPE_ZDB, u"ZDBFAKE")};

constexpr char16_t kCatalogQuery[] =
    u"SELECT TABLE_NAME FROM SYS.TABLES WHERE SCHEMA_NAME = ? AND (TABLE_NAME = ? OR "
    u"TABLE_NAME LIKE ?)";

class UlSqlViewLayerTest : public FakeVendorTest {
  protected:
    UlSqlViewLayerTest() : FakeVendorTest(kZdbRow, 1) {}
    void SetUp() override {
        ul_sqlresetsession();
        FakeVendorTest::SetUp();
    }
    static void viewLayerSystem(const char16_t* flag = u"x",
                                const char16_t* toolsGreen = u"TOOLSG") {
        dbif_fake_setcontrol(DBIF_CTL_VIEW_LAYER, DBIF_RC_OK, nullptr);
        systemState({{u"VIEW_LAYER", flag},
                     // clang-format off
                     {u"CURRENT_SCHEMA", u"BLUE"}, {u"CURRENT_SCHEMA_GREEN", u"GREEN"},
                     {u"CURRENT_SCHEMA_TOOLS", u"TOOLSB"},
                     {u"CURRENT_SCHEMA_TOOLS_GREEN", toolsGreen},
                     // clang-format on
                     {u"OTHER", u"ignored"}});
    }
    static std::string schema(unsigned selector) {
        const char16_t* s = ul_sqlgetdbschema0(selector);
        return s ? u8(s) : "(null: " + u8(ul_errorgetmsg()) + ")";
    }
};

TEST_F(UlSqlViewLayerTest, DeterminationCases) {
    struct Case {
        const char* name;
        int dbifRc;                     // answer to the view-layer control code
        const char16_t* viewLayerFlag;  // VIEW_LAYER row, null: table missing
        const char* soi;                // soi_system_identifier, null: unset
        const char* shadow;             // auth_shadow_upgrade, null: unset
        const char16_t* schema;         // answer to the schema control code
        int expected;
        const char* error;
        const char16_t* toolsGreen = u"TOOLSG";
        bool switchFails = false;  // the switch to the tools schema fails
    } cases[] = {
        {"not supported, no table", DBIF_RC_NOT_SUPPORTED, nullptr, nullptr, nullptr, u"DBUSER", 0,
         nullptr},
        {"library says no, table says 0", DBIF_RC_NO_MORE_ROWS, u"0", nullptr, nullptr, u"DBUSER",
         0, nullptr},
        {"user differs from schema", DBIF_RC_NOT_SUPPORTED, nullptr, nullptr, nullptr, u"OTHER", -1,
         "Unsupported non view-layered system with user != schema: 'DBUSER' != 'OTHER'"},
        {"blue by default", DBIF_RC_OK, u"x", nullptr, nullptr, u"DBUSER", 1, nullptr},
        {"numeric flag, blue", DBIF_RC_OK, u"1", "0", "1", u"DBUSER", 1, nullptr},
        {"green", DBIF_RC_OK, u"X", "1", nullptr, u"DBUSER", 2, nullptr},
        {"invalid side", DBIF_RC_OK, u"x", "2", nullptr, u"DBUSER", -1,
         "Invalid value '2' for env variable 'soi_system_identifier'"},
        {"empty side", DBIF_RC_OK, u"x", "", nullptr, u"DBUSER", -1,
         "Invalid value '' for env variable 'soi_system_identifier'"},
        {"shadow upgrade", DBIF_RC_OK, u"x", nullptr, "1", u"DBUSER", -1,
         "Invalid connect variable 'auth_shadow_upgrade=1' set in view layer system"},
        {"shadow upgrade 0 is blue", DBIF_RC_OK, u"x", nullptr, "0", u"DBUSER", 1, nullptr},
        {"table says yes, library no", DBIF_RC_NO_MORE_ROWS, u"x", nullptr, nullptr, u"DBUSER", -1,
         "Internal inconsistency: Determination via 'ZMX_SYSTSTATE' has viewlayer=1, but DBIF "
         "has viewlayer=0"},
        {"library says yes, table missing", DBIF_RC_OK, nullptr, nullptr, nullptr, u"DBUSER", -1,
         "Internal inconsistency: Determination via 'ZMX_SYSTSTATE' has viewlayer=0, but DBIF "
         "has viewlayer=1"},
        {"library fails", DBIF_RC_DB_ERROR, nullptr, nullptr, nullptr, u"DBUSER", -1,
         "'DBIF_CMD_IS_VIEW_LAYER' failed with 99\nno view today"},
        {"tools schema is the user", DBIF_RC_OK, u"1", nullptr, nullptr, u"DBUSER", -1,
         "Unsupported view-layered system with dbuser='DBUSER', schema_blue='BLUE', "
         "schema_green='GREEN', schema_tool_blue='TOOLSB', schema_tool_green='DBUSER'",
         u"DBUSER"},
        {"schema switch fails", DBIF_RC_OK, u"x", nullptr, nullptr, u"DBUSER", -1,
         "DBIF error 99 (db code 7): \nschema gone\nCannot execute statement\n"
         "Statement is 'set schema TOOLSB'",
         u"TOOLSG", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dbif_fake_reset();
        dbif_fake_setcontrol(DBIF_CTL_USER, DBIF_RC_OK, u"DBUSER");
        dbif_fake_setcontrol(DBIF_CTL_SCHEMA, DBIF_RC_OK, c.schema);
        if (c.viewLayerFlag)
            viewLayerSystem(c.viewLayerFlag, c.toolsGreen);
        else
            dbif_fake_setfailure(dbif_fakeop::prepare, kSystemStateQuery,
                                 {DBIF_RC_NOT_FOUND, 942, u"no such table", 0, 0});
        dbif_fake_setcontrol(DBIF_CTL_VIEW_LAYER, c.dbifRc,
                             c.dbifRc == DBIF_RC_DB_ERROR ? u"no view today" : nullptr);
        if (c.switchFails)
            dbif_fake_setfailure(dbif_fakeop::prepare, u"set schema TOOLSB",
                                 {DBIF_RC_DB_ERROR, 7, u"schema gone", 0, 0});
        c.soi ? setenv("soi_system_identifier", c.soi, 1) : unsetenv("soi_system_identifier");
        c.shadow ? setenv("auth_shadow_upgrade", c.shadow, 1) : unsetenv("auth_shadow_upgrade");

        // The initialisation hook determines the view layer; a failure fails the connect.
        const int connected = ul_sqlconnect2(UL_CONNECT_QUIET);
        if (c.expected < 0) {
            EXPECT_TRUE(failedWith(connected, c.error));
            EXPECT_FALSE(ul_sqlisconnected());
            continue;
        }
        ASSERT_EQ(connected, 0) << u8(ul_errorgetmsg());
        EXPECT_EQ(ul_sqlisviewlayer(0), c.expected);
        const std::vector<std::u16string> statements = dbif_fake_statements();
        const std::u16string setSchema =
            c.expected == 2 ? u"set schema TOOLSG" : u"set schema TOOLSB";
        EXPECT_EQ(std::count(statements.begin(), statements.end(), setSchema),
                  c.expected > 0 ? 1 : 0);
        EXPECT_EQ(ul_sqldisconnect(0), 0);
    }
}

TEST_F(UlSqlViewLayerTest, SchemasOfAViewLayerSystemAndTheSchemaSwitch) {
    viewLayerSystem();
    setenv("soi_system_identifier", "1", 1);
    ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(log_.text(), "3 ETQ399 Using view layer schema 'TOOLSG'.\n");
    // The tools and work schemas of both sides are dbversionExt's (dbping_test.cpp).
    EXPECT_EQ(schema(UL_SCHEMA_USER), "DBUSER");
    EXPECT_EQ(schema(UL_SCHEMA_USERPLAIN), "DBUSER");
    EXPECT_EQ(schema(5), "(null: Invalid database schema selector 5)");
    // Results are kept until disconnect.
    dbif_fake_setcontrol(DBIF_CTL_USER, DBIF_RC_OK, u"CHANGED");
    EXPECT_EQ(schema(UL_SCHEMA_USER), "DBUSER");
    ASSERT_EQ(ul_sqldisconnect(0), 0);
    unsetenv("soi_system_identifier");
    dbif_fake_reset();
    dbif_fake_setcontrol(DBIF_CTL_USER, DBIF_RC_OK, u"CHANGED");
    dbif_fake_setcontrol(DBIF_CTL_SCHEMA, DBIF_RC_OK, u"CHANGED");
    ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(schema(UL_SCHEMA_USER), "CHANGED");
    EXPECT_EQ(schema(UL_SCHEMA_WORK), "CHANGED");
}

TEST_F(UlSqlViewLayerTest, EmptySchemasAndOtherDatabases) {
    ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << u8(ul_errorgetmsg());
    EXPECT_EQ(ul_sqlisviewlayer(0), 0);
    EXPECT_EQ(schema(UL_SCHEMA_WORK), "DBUSER");
    EXPECT_EQ(schema(UL_SCHEMA_TOOLSBLUE), "(null: Empty value for database schema #2)");
    EXPECT_EQ(schema(UL_SCHEMA_TOOLSGREEN | UL_SCHEMA_ACCEPTEMPTY), "");
    ASSERT_EQ(ul_sqldisconnect(0), 0);

    // Another database is never a view-layer system and is not asked.
    setenv("dbms_type", "ORA", 1);
    EXPECT_EQ(ul_sqlisviewlayer(0), 0);
    char16_t out[32];
    unsigned ordinal = 9;
    EXPECT_EQ(ul_sqlvlgetacttablename(out, 32, &ordinal, u"MARA", 0), 1);
    EXPECT_EQ(u8(out), "MARA");
    EXPECT_EQ(ordinal, 0u);
}

TEST_F(UlSqlViewLayerTest, ActiveTableName) {
    viewLayerSystem();
    ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << u8(ul_errorgetmsg());
    struct Case {
        std::vector<const char16_t*> found;
        int flags;
        int result;
        const char* name;
        unsigned ordinal;
    } cases[] = {
        // clang-format off
        {{u"T1"}, 0, 1, "T1", 0}, {{u"T1#1", u"T1"}, 0, 1, "T1", 0},
        {{u"T1", u"T1#1"}, UL_VLTABLE_HIGHEST, 1, "T1#1", 1},
        {{u"T1#2"}, UL_VLTABLE_HIGHEST, 1, "T1#2", 2},
        {{u"T1#3", u"T1#12"}, 0, 1, "T1#3", 3},
        // clang-format on
        // LIKE lets through names that are no versions of T1.
        {{u"T1#X", u"T1#", u"T1#2"}, 0, 1, "T1#2", 2},
        {{}, 0, 0, "", 0},
        {{u"T1", u"T1#1", u"T1#2"},
         0,
         -1,
         "Invalid database setup: too many tables found: 'T1', 'T1#1', and 'T1#2'",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<dbif_fakerow_t> rows;
        for (const char16_t* table : c.found) rows.push_back({dbif_faketext(table)});
        dbif_fake_setresult(kCatalogQuery, {textColumn(u"TABLE_NAME")}, rows);
        char16_t out[32] = u"";
        unsigned ordinal = 99;
        EXPECT_EQ(ul_sqlvlgetacttablename(out, 32, &ordinal, u"T1", c.flags), c.result);
        if (c.result < 0) {
            EXPECT_EQ(u8(ul_errorgetmsg()), c.name);
            continue;
        }
        if (c.result == 1) {
            EXPECT_EQ(u8(out), c.name);
        }
        EXPECT_EQ(ordinal, c.ordinal);
    }
    // The catalogue is asked for the user's schema, the name and the pattern of its versions.
    std::vector<dbif_fakerow_t> bound;
    for (const dbif_fakecall_t& call : dbif_fake_calls())
        if (call.op == dbif_fakeop::begRead && call.sql == kCatalogQuery)
            bound.insert(bound.end(), call.params.begin(), call.params.end());
    ASSERT_EQ(bound.size(), std::size(cases));
    EXPECT_EQ(bound.back(), (dbif_fakerow_t{dbif_faketext(u"DBUSER"), dbif_faketext(u"T1"),
                                            dbif_faketext(u"T1#%")}));
}

}  // namespace

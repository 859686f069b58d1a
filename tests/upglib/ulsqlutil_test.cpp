#include "ulsqlutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
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
    } cases[] = {
        {u"off", 0},       {u"std", 1},     {u"shd", 2}, {u"bri", 3},   {u"swold", 4}, {u"OFF", 0},
        {u"Std", 1},       {u"SHD", 2},     {u"bRi", 3}, {u"SwOld", 4}, {u"", -1},     {u"st", -1},
        {u"standard", -1}, {u"swold ", -1}, {u"10", -1}, {nullptr, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keyword ? u8(c.keyword) : "null");
        EXPECT_EQ(ul_sqlntgettypefromstring(c.keyword), c.type);
    }
}

// The state at the start, and again after a reset.
TEST_F(UlSqlUtilTest, StartStateAndReset) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(ul_sqlntgettype(0), 1);
        EXPECT_EQ(ul_sqlntgettype(1), 1);
        EXPECT_EQ(ul_sqlnthavealttype(), 0);
        EXPECT_EQ(ul_sqlntcurrentslot(), 0);
        EXPECT_EQ(name(0), "DDNTT");
        EXPECT_EQ(name(UL_NTNAME_DDNTF), "DDNTF");
        EXPECT_EQ(name(UL_NTNAME_HIST), "DDNTT_HIST");
        EXPECT_EQ(ul_sqltabsuffixget(), nullptr);
        ASSERT_EQ(ul_sqlntsettype(2, nullptr, 1), 0);
        ASSERT_EQ(ul_sqlntsettype(0, nullptr, 0), 0);
        ASSERT_EQ(ul_sqltabsuffixset(u"_S"), 0);
        ul_sqlresetsession();
    }
}

TEST_F(UlSqlUtilTest, DerivedNamesPerTypeAndDatabase) {
    const struct {
        const char* database;
        unsigned type;
        const char* ddntt;
        const char* ddntf;
        const char* hist;
    } cases[] = {
        {nullptr, 1, "DDNTT", "DDNTF", "DDNTT_HIST"},
        {"ORA", 2, "DDNTT~", "DDNTF~", "DDNTT_HIST~"},
        {"DB4", 2, "DDNTT?", "DDNTF?", "DDNTT_HIST?"},
        {"db4", 2, "DDNTT?", "DDNTF?", "DDNTT_HIST?"},
        {"DB6", 3, "DDNTT~~", "DDNTF~~", "DDNTT_HIST~~"},
        {"DB4", 3, "DDNTT??", "DDNTF??", "DDNTT_HIST??"},
        {"MSS", 4, "DDNTT~~OLD", "DDNTF~~OLD", "DDNTT_HIST~~OLD"},
        {"DB4", 4, "DDNTT??OLD", "DDNTF??OLD", "DDNTT_HIST??OLD"},
        // dbms_type selects the database whose code it begins with.
        {"DB4X", 2, "DDNTT?", "DDNTF?", "DDNTT_HIST?"},
        {"XDB4", 2, "DDNTT~", "DDNTF~", "DDNTT_HIST~"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.database ? c.database : "none") + " type " +
                     std::to_string(c.type));
        ul_sqlresetsession();
        setDatabase(c.database);
        ASSERT_EQ(ul_sqlntsettype(c.type, nullptr, 0), 0) << error();
        EXPECT_EQ(ul_sqlntgettype(0), static_cast<int>(c.type));
        EXPECT_EQ(name(0), c.ddntt);
        EXPECT_EQ(name(UL_NTNAME_DDNTF), c.ddntf);
        EXPECT_EQ(name(UL_NTNAME_HIST), c.hist);
        EXPECT_EQ(ul_sqlnthavealttype(), 0);
    }
}

TEST_F(UlSqlUtilTest, ExplicitSuffix) {
    ASSERT_EQ(ul_sqlntsettype(10, u"ABC", 0), 0);
    EXPECT_EQ(ul_sqlntgettype(0), 10);
    EXPECT_EQ(name(0), "DDNTTABC");
    EXPECT_EQ(name(UL_NTNAME_HIST), "DDNTT_HISTABC");

    const std::u16string longest(20, u'S');
    ASSERT_EQ(ul_sqlntsettype(10, longest.c_str(), 0), 0) << error();
    EXPECT_EQ(name(UL_NTNAME_HIST), "DDNTT_HIST" + std::string(20, 'S'));

    EXPECT_EQ(ul_sqlntsettype(10, (longest + u"T").c_str(), 0), -1);
    EXPECT_EQ(error(),
              "Nametab suffix '" + std::string(20, 'S') + "T' too long (at most 20 characters)");
    EXPECT_EQ(name(0), "DDNTT" + std::string(20, 'S'));  // unchanged
}

TEST_F(UlSqlUtilTest, InvalidTypeChangesNothing) {
    ASSERT_EQ(ul_sqlntsettype(2, nullptr, 0), 0);
    for (unsigned type : {5u, 9u, 11u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(ul_sqlntsettype(type, u"X", 1), -1);
        EXPECT_EQ(error(), "Invalid suffix type " + std::to_string(static_cast<int>(type)));
        EXPECT_EQ(ul_sqlntgettype(1), 1);
        EXPECT_EQ(ul_sqlnthavealttype(), 0);
        EXPECT_EQ(name(0), "DDNTT~");
    }
}

TEST_F(UlSqlUtilTest, TypeZeroDisablesNametabAccess) {
    ASSERT_EQ(ul_sqlntsettype(0, nullptr, 0), 0);
    EXPECT_EQ(ul_sqlntgettype(0), 0);
    EXPECT_EQ(ul_ntgetname(0), nullptr);
    EXPECT_EQ(error(), "Nametab access disabled");
    EXPECT_EQ(ul_ntgetname(UL_NTNAME_DDNTF), nullptr);
    // Switching it back on works.
    ASSERT_EQ(ul_sqlntsettype(1, nullptr, 0), 0);
    EXPECT_EQ(name(0), "DDNTT");
}

TEST_F(UlSqlUtilTest, TypeTenWithoutSuffixClearsSuffixButDoesNotConfigure) {
    ASSERT_EQ(ul_sqlntsettype(10, nullptr, 3), 0);
    EXPECT_EQ(ul_sqlntgettype(1), 10);
    EXPECT_EQ(ul_sqlnthavealttype(), 0);

    ASSERT_EQ(ul_sqlntsettype(2, nullptr, 0), 0);
    ASSERT_EQ(name(0), "DDNTT~");
    ASSERT_EQ(ul_sqlntsettype(10, u"", 0), 0);
    EXPECT_EQ(ul_sqlntgettype(0), 10);
    EXPECT_EQ(u8(ul_sqlntgetsuffix(0)), "");
    EXPECT_EQ(name(0), "DDNTT");
}

TEST_F(UlSqlUtilTest, DispatcherOrderMakesConfiguredAlternateCurrent) {
    // The alternate slot first, without switching; then the standard slot, which switches.
    ASSERT_EQ(ul_sqlntsettype(2, nullptr, 3), 0);
    EXPECT_EQ(ul_sqlnthavealttype(), 1);
    EXPECT_EQ(ul_sqlntcurrentslot(), 0);
    EXPECT_EQ(name(0), "DDNTT");

    ASSERT_EQ(ul_sqlntsettype(1, nullptr, 0), 0);
    EXPECT_EQ(ul_sqlntcurrentslot(), 1);
    EXPECT_EQ(name(0), "DDNTT~");
    EXPECT_EQ(name(UL_NTNAME_DDNTF), "DDNTF~");
    EXPECT_EQ(name(UL_NTNAME_ALTERNATE), "DDNTT~");
    EXPECT_EQ(ul_sqlntgettype(0), 1);
    EXPECT_EQ(u8(ul_sqlntgetsuffix(0)), "");
    EXPECT_EQ(u8(ul_sqlntgetsuffix(1)), "~");
}

TEST_F(UlSqlUtilTest, StandardWithoutAlternateStaysCurrent) {
    ASSERT_EQ(ul_sqlntsettype(10, u"_X", 0), 0);
    EXPECT_EQ(ul_sqlntcurrentslot(), 0);
    EXPECT_EQ(name(UL_NTNAME_DDNTF), "DDNTF_X");
    EXPECT_EQ(ul_ntgetname(UL_NTNAME_ALTERNATE), nullptr);
    EXPECT_EQ(error(), "No alternative nametab configured");
}

TEST_F(UlSqlUtilTest, KeepCurrentFlag) {
    ASSERT_EQ(ul_sqlntsettype(3, nullptr, 1), 0);  // alternate, switches
    EXPECT_EQ(ul_sqlntcurrentslot(), 1);
    ul_sqlresetsession();
    ASSERT_EQ(ul_sqlntsettype(3, nullptr, 1 | 2), 0);
    EXPECT_EQ(ul_sqlntcurrentslot(), 0);
    ASSERT_EQ(ul_sqlntsettype(4, nullptr, 2), 0);  // standard, keeps slot 0
    EXPECT_EQ(ul_sqlntcurrentslot(), 0);
    EXPECT_EQ(name(0), "DDNTT~~OLD");
    EXPECT_EQ(name(UL_NTNAME_ALTERNATE | UL_NTNAME_DDNTF), "DDNTF~~");
}

TEST_F(UlSqlUtilTest, InvalidSelectorsAndSlots) {
    EXPECT_EQ(ul_ntgetname(UL_NTNAME_DDNTF | UL_NTNAME_HIST), nullptr);
    EXPECT_EQ(ul_sqlntgettype(2), -1);
    EXPECT_EQ(error(), "Invalid nametab slot 2");
    EXPECT_EQ(ul_sqlntgettype(-1), -1);
    EXPECT_EQ(ul_sqlntgetsuffix(2), nullptr);
}

TEST_F(UlSqlUtilTest, Separators) {
    const struct {
        const char* database;
        int kind;
        char16_t expected;
    } cases[] = {
        {nullptr, 1, u'~'}, {nullptr, 3, u'~'}, {nullptr, 2, u'^'}, {nullptr, 0, u'^'},
        {"ORA", 1, u'~'},   {"DB4", 1, u'?'},   {"DB4", 3, u'+'},   {"DB4", 2, u'&'},
        {"Db4", 7, u'&'},   {"", 1, u'~'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.database ? c.database : "none") + " kind " +
                     std::to_string(c.kind));
        setDatabase(c.database);
        EXPECT_EQ(ul_sqlgetseparator(c.kind), c.expected);
    }
}

TEST_F(UlSqlUtilTest, TableSuffixTypes) {
    const struct {
        const char* database;
        unsigned type;
        const char16_t* suffix;
        const char* expected;  // null: none set
    } cases[] = {
        {nullptr, 10, u"_NEW", "_NEW"}, {nullptr, 10, nullptr, nullptr},
        {nullptr, 10, u"", nullptr},    {nullptr, 0, u"_NEW", nullptr},
        {nullptr, 1, nullptr, nullptr}, {nullptr, 2, nullptr, "~"},
        {"DB4", 3, nullptr, "??"},      {nullptr, 4, nullptr, "~~OLD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        ul_sqlresetsession();
        setDatabase(c.database);
        ASSERT_EQ(ul_sqltabsuffixset(u"_OLDVALUE"), 0);
        ASSERT_EQ(ul_sqltablesuffixsettype(c.type, c.suffix), 0) << error();
        const char16_t* suffix = ul_sqltabsuffixget();
        if (c.expected)
            EXPECT_EQ(suffix ? u8(suffix) : "(null)", c.expected);
        else
            EXPECT_EQ(suffix, nullptr);
    }
    ASSERT_EQ(ul_sqltabsuffixset(u"_KEEP"), 0);
    EXPECT_EQ(ul_sqltablesuffixsettype(7, nullptr), -1);
    EXPECT_EQ(error(), "Invalid suffix type 7");
    EXPECT_EQ(ul_sqltablesuffixsettype(10, std::u16string(21, u'x').c_str()), -1);
    EXPECT_EQ(error(),
              "Table suffix '" + std::string(21, 'x') + "' too long (at most 20 characters)");
    EXPECT_EQ(u8(ul_sqltabsuffixget()), "_KEEP");
}

TEST_F(UlSqlUtilTest, SuffixEndsWithCutAndRealName) {
    // Without a table suffix nothing is cut.
    EXPECT_EQ(ul_sqltabsuffixendswith(u"MARA~"), 0);
    char16_t plain[16];
    EXPECT_EQ(ul_ntrealtablename(plain, 16, u"MARA~"), 5);
    EXPECT_EQ(u8(plain), "MARA~");
    ASSERT_EQ(ul_sqltabsuffixset(u"~X"), 0);
    const struct {
        const char16_t* name;
        int endsWith;
        const char* real;
    } cases[] = {
        {u"MARA~X", 1, "MARA"},     {u"A~X", 1, "A"},
        {u"~X", 0, "~X"},           {u"X", 0, "X"},
        {u"MARA", 0, "MARA"},       {u"MARA~x", 0, "MARA~x"},
        {u"MARA~X~X", 1, "MARA~X"}, {u"", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.name));
        EXPECT_EQ(ul_sqltabsuffixendswith(c.name), c.endsWith);
        char16_t out[32];
        EXPECT_EQ(ul_ntrealtablename(out, 32, c.name),
                  static_cast<int>(std::string(c.real).size()));
        EXPECT_EQ(u8(out), c.real);
        std::u16string inPlace = c.name;
        EXPECT_EQ(ul_sqltabsuffixcut(inPlace.data()), c.endsWith);
        EXPECT_EQ(u8(inPlace.c_str()), c.real);
    }
    EXPECT_EQ(ul_sqltabsuffixendswith(nullptr), 0);
}

TEST_F(UlSqlUtilTest, SuffixCompare) {
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
    const struct {
        int flags;
        const char* expected;
    } cases[] = {{0, "MARA_T"}, {1, "MARA~"}, {2, "MARA_ALT"}};
    char16_t out[16];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(ul_sqladdsuffix(out, 16, u"MARA", c.flags),
                  static_cast<int>(std::string(c.expected).size()));
        EXPECT_EQ(u8(out), c.expected);
    }
    EXPECT_EQ(ul_sqltabsuffixadd(out, 16, u"T000"), 6);
    EXPECT_EQ(u8(out), "T000_T");
    EXPECT_EQ(ul_sqladdsuffix(out, 16, u"MARA", 3), -1);
    EXPECT_EQ(error(), "Invalid suffix selector 3");

    // Exactly filling the buffer works, one more code unit does not.
    EXPECT_EQ(ul_sqltabsuffixadd(out, 7, u"ABCD"), 6);
    EXPECT_EQ(u8(out), "ABCD_T");
    EXPECT_EQ(ul_sqltabsuffixadd(out, 6, u"ABCD"), -1);
    EXPECT_NE(error().find("too long"), std::string::npos) << error();
    EXPECT_EQ(ul_ntrealtablename(out, 4, u"ABCD_T"), -1);
}

TEST_F(UlSqlUtilTest, NametabNormalize) {
    const struct {
        const char16_t* name;
        const char* expected;
    } cases[] = {
        {u"DDNTT", "DDNTT_2B"},
        {u"DDNTF~", "DDNTF_2B~"},
        {u"DDNTT_CONV_UC", "DDNTT_1B"},
        {u"DDXTF?", "DDXTF_2B?"},
        {u"DDNTTX", "DDNTTX"},
        {u"DDXTT", "DDXTT_2B"},
        {u"DDNTT~~OLD", "DDNTT_2B~~OLD"},
        {u"DDNTF_CONV_UC?", "DDNTF_1B?"},
        {u"DDXTT_CONV_UC~", "DDXTT_1B~"},
        {u"DDNTT_CONV_UCX", "DDNTT_CONV_UCX"},
        {u"DDNTT_CONV_U", "DDNTT_CONV_U"},
        {u"DDNTT_HIST", "DDNTT_HIST"},
        {u"DDATT", "DDATT"},
        {u"DDNXT", "DDNXT"},
        {u"DDNTX", "DDNTX"},
        {u"ddntt", "ddntt"},
        {u"DDNT", "DDNT"},
        {u"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.name));
        char16_t out[32];
        EXPECT_EQ(ul_sqlnametabnormalize(out, 32, c.name),
                  static_cast<int>(std::string(c.expected).size()));
        EXPECT_EQ(u8(out), c.expected);
    }
    char16_t out[9];
    EXPECT_EQ(ul_sqlnametabnormalize(out, 9, u"DDNTT"), 8);
    EXPECT_EQ(u8(out), "DDNTT_2B");
    EXPECT_EQ(ul_sqlnametabnormalize(out, 8, u"DDNTT"), -1);
    EXPECT_EQ(ul_sqlnametabnormalize(out, 5, u"DDNTT"), -1);
}

TEST_F(UlSqlUtilTest, TableIsNametab) {
    const struct {
        const char16_t* name;
        int plain;
        int withRepository;
    } cases[] = {
        {u"DDNTT", 1, 1},       {u"DDNTT_CONV_UC", 1, 1}, {u"DDNTT_HIST", 1, 1},
        {u"DDNTF", 1, 1},       {u"DDNTF_CONV_UC", 1, 1}, {u"DDNTF_HIST", 1, 1},
        {u"REPOSRC_ADM", 0, 1}, {u"DDNTT~", 0, 0},        {u"ddntt", 0, 0},
        {u"DDNTT_C", 0, 0},     {u"DDXTT", 0, 0},         {u"", 0, 0},
        {nullptr, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name ? u8(c.name) : "null");
        EXPECT_EQ(ul_sqltableisnametab(c.name, 0), c.plain);
        EXPECT_EQ(ul_sqltableisnametab(c.name, UL_NAMETABS_WITHREPO), c.withRepository);
    }
}

TEST_F(UlSqlUtilTest, SwitchingSlots) {
    EXPECT_EQ(ul_sqlntswitch(UL_NTSLOT_REPORT), 0);
    EXPECT_EQ(ul_sqlntswitch(1), -1);
    EXPECT_EQ(error(), "No alternative nametab configured");
    EXPECT_EQ(ul_sqlntswitch(2), -1);
    EXPECT_EQ(error(), "Invalid nametab slot 2");

    ASSERT_EQ(ul_sqlntsettype(3, nullptr, UL_NTSET_ALTERNATE | UL_NTSET_KEEPCURRENT), 0);
    EXPECT_EQ(ul_sqlntswitch(1), 1);
    EXPECT_EQ(ul_sqlntswitch(UL_NTSLOT_REPORT), 1);
    EXPECT_EQ(name(UL_NTNAME_DDNTF), "DDNTF~~");
    EXPECT_EQ(ul_sqlntswitch(0, UL_NTSWITCH_RESETCACHE), 0);  // no connection: nothing to reset
    EXPECT_EQ(name(UL_NTNAME_DDNTF), "DDNTF");

    ASSERT_EQ(ul_sqlntsettype(0, nullptr, UL_NTSET_KEEPCURRENT), 0);
    for (unsigned slot : {0u, 1u, UL_NTSLOT_REPORT}) {
        EXPECT_EQ(ul_sqlntswitch(slot), -1);
        EXPECT_EQ(error(), "Nametab access disabled");
    }
}

TEST_F(UlSqlUtilTest, NametabTableList) {
    ul_dllist_t list;
    ASSERT_EQ(ul_sqltablegetnametabs(&list, 0), 6);
    ASSERT_EQ(ul_sqltablegetnametabs(&list, UL_NAMETABS_WITHREPO), 7);
    std::vector<std::string> names;
    ul_dllistiter_t it(&list);
    while (ul_dllistnode_t* node = it.next()) names.push_back(u8(node->str()));
    list.freeList(0);
    EXPECT_EQ(names, (std::vector<std::string>{"DDNTT", "DDNTT_CONV_UC", "DDNTT_HIST", "DDNTF",
                                               "DDNTF_CONV_UC", "DDNTF_HIST", "DDNTT",
                                               "DDNTT_CONV_UC", "DDNTT_HIST", "DDNTF",
                                               "DDNTF_CONV_UC", "DDNTF_HIST", "REPOSRC_ADM"}));
    const struct {
        const char* name;
        const char* companion;
        unsigned nkeys;
    } expected[] = {{"DDNTT", "DDNTT_C", 1},
                    {"DDNTT_HIST", "DDNTT_HIST_C", 2},
                    {"DDNTF", nullptr, 2},
                    {"DDNTF_HIST", nullptr, 3},
                    {"DDNTT_CONV_UC", "DDNTT_CONV_UC_C", 1},
                    {"REPOSRC_ADM", "REPOSRC_ADM_TEMPLATE", 1}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name);
        const ul_nametabdef_t* def = nullptr;
        for (size_t i = 0; i < NameTabsCount; ++i)
            if (u8(NameTabs[i].name) == e.name) def = &NameTabs[i];
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->companion ? u8(def->companion) : "(none)",
                  e.companion ? e.companion : "(none)");
        EXPECT_EQ(def->nkeys, e.nkeys);
    }
}

TEST_F(UlSqlUtilTest, QuoteTableWithEveryFlag) {
    setDatabase("ORA");
    ASSERT_EQ(ul_sqltabsuffixset(u"_s"), 0);
    ASSERT_EQ(ul_sqlntsettype(2, nullptr, 0), 0);
    ASSERT_EQ(ul_sqlntsettype(3, nullptr, 3), 0);
    const struct {
        const char16_t* name;
        int flags;
        const char* expected;
    } cases[] = {
        {u"mara", 0, "\"MARA\""},
        {u"mara", UL_QUOTE_KEEPCASE, "\"mara\""},
        // The suffix is appended before upper-casing.
        {u"mara", UL_QUOTE_TABSUFFIX, "\"MARA_S\""},
        {u"mara", UL_QUOTE_TABSUFFIX | UL_QUOTE_KEEPCASE, "\"mara_s\""},
        {u"mara", UL_QUOTE_NTSTANDARD, "\"MARA~\""},
        {u"mara", UL_QUOTE_NTALTERNATE, "\"MARA~~\""},
        {u"mara", UL_QUOTE_TABSUFFIX | UL_QUOTE_NTSTANDARD, "\"MARA_S\""},
        {u"mara", UL_QUOTE_NTSTANDARD | UL_QUOTE_NTALTERNATE, "\"MARA~\""},
        {u"my\"tab", 0, "\"MY\"\"TAB\""},
        {u"\"", UL_QUOTE_ALWAYS, "\"\"\"\""},
        // Expressions stay as they are, unless flag 4 meets upper-casing.
        {u"count(*)", 0, "COUNT(*)"},
        {u"count(*)", UL_QUOTE_ALWAYS, "COUNT(*)"},
        {u"count(*)", UL_QUOTE_PARENTHESES, "\"COUNT(*)\""},
        {u"count(*)", UL_QUOTE_PARENTHESES | UL_QUOTE_KEEPCASE, "count(*)"},
        {u"f(\"x\")", 0, "\"F(\"\"X\"\")\""},
        {u"", 0, "\"\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.name) + " flags " + std::to_string(c.flags));
        char16_t out[64];
        const int length = ul_sqlquotetable(out, 64, c.name, c.flags);
        EXPECT_EQ(length, static_cast<int>(std::string(c.expected).size())) << error();
        EXPECT_EQ(u8(out), c.expected);
    }
}

TEST_F(UlSqlUtilTest, QuoteTableWithoutUpperCasingOrDatabase) {
    ASSERT_EQ(ul_sqlparseglobalflags(u"noobjname2upper"), 0);
    char16_t out[32];
    EXPECT_EQ(ul_sqlquotetable(out, 32, u"a(b)", UL_QUOTE_PARENTHESES), 4);
    EXPECT_EQ(u8(out), "a(b)");
    EXPECT_EQ(ul_sqlquotetable(out, 32, u"Mara", 0), 4);  // no database: no quoting
    EXPECT_EQ(u8(out), "Mara");
    EXPECT_EQ(ul_sqlquotetable(out, 32, u"Mara", UL_QUOTE_ALWAYS), 6);
    EXPECT_EQ(u8(out), "\"Mara\"");
    ul_sqlresetglobalflags();
}

TEST_F(UlSqlUtilTest, QuoteTableLengthLimits) {
    setDatabase("DB6");
    ASSERT_EQ(ul_sqltabsuffixset(u"_S"), 0);
    std::vector<char16_t> out(300);
    const std::u16string fits(253, u'A');  // 255 with the suffix
    EXPECT_EQ(ul_sqlquotetable(out.data(), 300, fits.c_str(), UL_QUOTE_TABSUFFIX), 257);
    EXPECT_EQ(ul_sqlquotetable(out.data(), 300, (fits + u"A").c_str(), UL_QUOTE_TABSUFFIX), -1);
    EXPECT_EQ(ul_sqlquotetable(out.data(), 300, (fits + u"A").c_str(), 0), 256);
    // The quoted form must fit into out, terminator included.
    EXPECT_EQ(ul_sqlquotetable(out.data(), 7, u"MARA", 0), 6);
    EXPECT_EQ(ul_sqlquotetable(out.data(), 6, u"MARA", 0), -1);
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
    static void viewLayerSystem(const char16_t* flag = u"x") {
        dbif_fake_setcontrol(DBIF_CTL_VIEW_LAYER, DBIF_RC_OK, nullptr);
        systemState({{u"VIEW_LAYER", flag},
                     {u"CURRENT_SCHEMA", u"BLUE"},
                     {u"CURRENT_SCHEMA_GREEN", u"GREEN"},
                     {u"CURRENT_SCHEMA_TOOLS", u"TOOLSB"},
                     {u"CURRENT_SCHEMA_TOOLS_GREEN", u"TOOLSG"},
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dbif_fake_reset();
        dbif_fake_setcontrol(DBIF_CTL_USER, DBIF_RC_OK, u"DBUSER");
        dbif_fake_setcontrol(DBIF_CTL_SCHEMA, DBIF_RC_OK, c.schema);
        dbif_fake_setcontrol(DBIF_CTL_VIEW_LAYER, c.dbifRc,
                             c.dbifRc == DBIF_RC_DB_ERROR ? u"no view today" : nullptr);
        if (c.viewLayerFlag)
            systemState({{u"VIEW_LAYER", c.viewLayerFlag},
                         {u"CURRENT_SCHEMA_TOOLS", u"TOOLSB"},
                         {u"CURRENT_SCHEMA_TOOLS_GREEN", u"TOOLSG"}});
        else
            dbif_fake_setfailure(dbif_fakeop::prepare, kSystemStateQuery,
                                 {DBIF_RC_NOT_FOUND, 942, u"no such table", 0, 0});
        c.soi ? setenv("soi_system_identifier", c.soi, 1) : unsetenv("soi_system_identifier");
        c.shadow ? setenv("auth_shadow_upgrade", c.shadow, 1) : unsetenv("auth_shadow_upgrade");

        // The initialisation hook determines the view layer; a failure fails the connect.
        const int connected = ul_sqlconnect2(UL_CONNECT_QUIET);
        if (c.expected < 0) {
            EXPECT_EQ(connected, -1);
            EXPECT_EQ(u8(ul_errorgetmsg()), c.error);
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
    EXPECT_EQ(schema(UL_SCHEMA_USER), "DBUSER");
    EXPECT_EQ(schema(UL_SCHEMA_WORK), "TOOLSG");
    EXPECT_EQ(schema(UL_SCHEMA_TOOLSBLUE), "TOOLSB");
    EXPECT_EQ(schema(UL_SCHEMA_TOOLSGREEN), "TOOLSG");
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

TEST_F(UlSqlViewLayerTest, ToolsSchemaEqualToTheUserIsRefused) {
    dbif_fake_setcontrol(DBIF_CTL_VIEW_LAYER, DBIF_RC_OK, nullptr);
    systemState({{u"VIEW_LAYER", u"1"},
                 {u"CURRENT_SCHEMA", u"BLUE"},
                 {u"CURRENT_SCHEMA_GREEN", u"GREEN"},
                 {u"CURRENT_SCHEMA_TOOLS", u"TOOLSB"},
                 {u"CURRENT_SCHEMA_TOOLS_GREEN", u"DBUSER"}});
    EXPECT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), -1);
    EXPECT_EQ(u8(ul_errorgetmsg()),
              "Unsupported view-layered system with dbuser='DBUSER', schema_blue='BLUE', "
              "schema_green='GREEN', schema_tool_blue='TOOLSB', schema_tool_green='DBUSER'");
}

TEST_F(UlSqlViewLayerTest, FailingSchemaSwitchFailsTheConnect) {
    viewLayerSystem();
    dbif_fake_setfailure(dbif_fakeop::prepare, u"set schema TOOLSB",
                         {DBIF_RC_DB_ERROR, 7, u"schema gone", 0, 0});
    EXPECT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), -1);
    EXPECT_EQ(u8(ul_errorgetmsg()),
              "DBIF error 99 (db code 7): \nschema gone\nCannot execute statement\n"
              "Statement is 'set schema TOOLSB'");
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
        {{u"T1"}, 0, 1, "T1", 0},
        {{u"T1#1", u"T1"}, 0, 1, "T1", 0},
        {{u"T1", u"T1#1"}, UL_VLTABLE_HIGHEST, 1, "T1#1", 1},
        {{u"T1#2"}, UL_VLTABLE_HIGHEST, 1, "T1#2", 2},
        {{u"T1#3", u"T1#12"}, 0, 1, "T1#3", 3},
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

#include "ulsqlutil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "testutil.h"
#include "ulerror.h"

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

TEST_F(UlSqlUtilTest, StartState) {
    EXPECT_EQ(ul_sqlntgettype(0), 1);
    EXPECT_EQ(ul_sqlntgettype(1), 1);
    EXPECT_EQ(ul_sqlnthavealttype(), 0);
    EXPECT_EQ(ul_sqlntcurrentslot(), 0);
    EXPECT_EQ(name(0), "DDNTT");
    EXPECT_EQ(name(UL_NTNAME_DDNTF), "DDNTF");
    EXPECT_EQ(name(UL_NTNAME_HIST), "DDNTT_HIST");
    EXPECT_EQ(ul_sqltabsuffixget(), nullptr);
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

TEST_F(UlSqlUtilTest, WithoutTableSuffixNothingIsCut) {
    EXPECT_EQ(ul_sqltabsuffixendswith(u"MARA~"), 0);
    char16_t out[16];
    EXPECT_EQ(ul_ntrealtablename(out, 16, u"MARA~"), 5);
    EXPECT_EQ(u8(out), "MARA~");
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

TEST_F(UlSqlUtilTest, ResetRestoresStartState) {
    ASSERT_EQ(ul_sqlntsettype(2, nullptr, 1), 0);
    ASSERT_EQ(ul_sqlntsettype(0, nullptr, 0), 0);
    ASSERT_EQ(ul_sqltabsuffixset(u"_S"), 0);
    ul_sqlresetsession();
    EXPECT_EQ(ul_sqlntgettype(0), 1);
    EXPECT_EQ(ul_sqlntgettype(1), 1);
    EXPECT_EQ(ul_sqlnthavealttype(), 0);
    EXPECT_EQ(ul_sqlntcurrentslot(), 0);
    EXPECT_EQ(ul_sqltabsuffixget(), nullptr);
    EXPECT_EQ(name(0), "DDNTT");
}

}  // namespace

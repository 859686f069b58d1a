// Row batches and the engine registry.
#include "dbif.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../upglib/testutil.h"
#include "dbif_testutil.h"

namespace {

// A value for every cell of a row, of every kind in turn, sized so that buffers must grow.
dbif_fakevalue_t sampleValue(size_t row, unsigned col) {
    std::u16string text(row % 37 + col, static_cast<char16_t>(u'a' + (row + col) % 26));
    switch ((row + col) % 7) {
        case 0:
            return N();
        case 1:
            return I(static_cast<int64_t>(row) * 1000003 - 7);
        case 2:
            return R(static_cast<double>(row) / 8);
        case 3:
            return D(concat<char16_t>(
                         u"-", std::u16string(1, static_cast<char16_t>(u'0' + row % 10)), u".5")
                         .c_str());
        case 4:
            return T(text + u"\U0001F600");
        case 5: {
            std::vector<unsigned char> bytes(row % 53 + col);
            for (size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<unsigned char>(i * 7 + row);
            return B(bytes);
        }
        default:
            return T(u"");
    }
}

Rows sampleRows(size_t rows, unsigned width) {
    Rows result;
    for (size_t r = 0; r < rows; ++r) {
        dbif_fakerow_t values;
        for (unsigned c = 0; c < width; ++c) values.push_back(sampleValue(r, c));
        result.push_back(values);
    }
    return result;
}

// Rows read while the batch is still being filled resolve pointers into buffers that later
// grow; the next row() answers with pointers into the grown buffers, and every pointer handed
// out after the fill stays valid while later rows are read. Clearing keeps the storage: the
// same content filled again lands in the same places, nothing is allocated anew.
TEST(DbifRowBatchTest, EveryKindRoundTripsWhileTheBuffersGrowAndClearKeepsThem) {
    Rows rows = sampleRows(5000, 5);
    DbIfRowBatch batch(5);
    for (size_t r = 0; r < rows.size(); ++r) {
        size_t index = batch.addRow();
        for (unsigned c = 0; c < 5; ++c) dbif_fakeputvalue(&batch, index, c, rows[r][c]);
        if (r % 7 == 0) batch.row(r / 2);
    }
    ASSERT_EQ(batch.rows(), rows.size());
    std::vector<const dbif_cell_t*> first;
    std::vector<const char16_t*> texts;
    for (size_t r = 0; r < batch.rows(); ++r) first.push_back(batch.row(r));
    EXPECT_EQ(batchRows(batch), rows);
    for (size_t r = 0; r < rows.size(); ++r) {
        for (unsigned c = 0; c < 5; ++c) {
            ASSERT_EQ(dbif_fakefromcell(first[r][c]), rows[r][c]) << r;
            if (first[r][c].kind == dbif_kind::text) texts.push_back(first[r][c].text);
        }
    }
    for (int round = 0; round < 3; ++round) {
        batch.clear();
        EXPECT_EQ(batch.rows(), 0u);
        fillBatch(&batch, rows);
        ASSERT_EQ(batchRows(batch), rows);
        std::vector<const char16_t*> again;
        for (size_t r = 0; r < rows.size(); ++r) {
            ASSERT_EQ(batch.row(r), first[r]) << r;
            for (unsigned c = 0; c < 5; ++c) {
                if (first[r][c].kind == dbif_kind::text) again.push_back(first[r][c].text);
            }
        }
        EXPECT_EQ(again, texts);
    }
}

// The last value of a cell wins, whatever it replaces; empty values are not null; reset
// changes the width and empties.
TEST(DbifRowBatchTest, CellsTakeTheirLastValue) {
    const std::vector<dbif_fakevalue_t> cases[] = {{T(u"first value"), T(u"xy")},
                                                   {T(u"abc"), I(42)},
                                                   {B({1, 2, 3}), N()},
                                                   {T(u"abc"), T(u"")},
                                                   {B({9, 9}), T(u"t")},
                                                   {D(u"1.5"), B({0, 0})},
                                                   {B({1}), B({})}};
    DbIfRowBatch batch(3);
    for (const auto& sets : cases) {
        batch.reset(2);
        batch.addRow();
        batch.setInteger(0, 1, 7);
        for (const dbif_fakevalue_t& v : sets) dbif_fakeputvalue(&batch, 0, 0, v);
        EXPECT_EQ(batchRows(batch), (Rows{{sets.back(), I(7)}}));
        const dbif_cell_t& cell = batch.row(0)[0];
        EXPECT_TRUE(cell.kind != dbif_kind::text || cell.text);
        EXPECT_TRUE(cell.kind != dbif_kind::bytes || cell.bytes);
    }
    batch.reset(5);
    EXPECT_EQ(batch.width(), 5u);
    EXPECT_EQ(batch.rows(), 0u);
    EXPECT_EQ(batch.addRow(), 0u);
    EXPECT_EQ(batch.row(0)[4].kind, dbif_kind::null);
}

TEST(DbifRowBatchTest, Utf8TextBecomesUtf16) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    // clang-format off
    const Case cases[] = {
        {"plain", u"plain"}, {"Gr\xC3\xBC\xC3\x9F" "e", u"Grüße"},
        {"\xE6\x97\xA5\xE6\x9C\xAC", u"日本"}, {"\xF0\x9F\x98\x80!", u"\U0001F600!"},
        {"a\xFF" "b", u"a\uFFFDb"},                             // not UTF-8
        {"\xC3", u"\uFFFD"},                                    // cut sequence
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},  // zero inside the value
    };
    // clang-format on
    DbIfRowBatch batch(1);
    for (const Case& c : cases) {
        batch.clear();
        batch.addRow();
        batch.setTextUtf8(0, 0, c.utf8.data(), c.utf8.size());
        const dbif_cell_t& cell = batch.row(0)[0];
        ASSERT_EQ(cell.kind, dbif_kind::text);
        EXPECT_EQ(std::u16string(cell.text, cell.length), c.utf16) << c.utf8;
    }
}

// ---- registry ------------------------------------------------------------------------------

int g_created = 0;

// Engine codes ignore case; registering a code again replaces its factory, registering none
// removes it.
TEST(DbifRegistryTest, EnginesAreFoundInAnyCaseAndReplacedByRegisteringAgain) {
    EXPECT_NE(dbif_open(u"SQLITE"), nullptr);
    EXPECT_NE(dbif_open(u"sqlite"), nullptr);
    EXPECT_EQ(dbif_open(u"SQLITE3"), nullptr);
    EXPECT_EQ(dbif_open(u""), nullptr);
    EXPECT_EQ(dbif_open(nullptr), nullptr);
    dbif_fake_register();
    g_created = 0;
    dbif_register(u"TESTREG", [] {
        ++g_created;
        return dbif_open(u"FAKE");
    });
    EXPECT_NE(dbif_open(u"TESTREG"), nullptr);
    dbif_register(u"testreg", [] {
        ++g_created;
        return std::unique_ptr<DbIfConnection>();
    });
    EXPECT_EQ(dbif_open(u"TestReg"), nullptr);
    EXPECT_EQ(g_created, 2);
    dbif_register(u"TESTREG", nullptr);
    EXPECT_EQ(dbif_open(u"TESTREG"), nullptr);
    EXPECT_EQ(g_created, 2);
}

}  // namespace

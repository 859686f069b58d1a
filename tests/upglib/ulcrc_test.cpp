#include "ulcrc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

// Bit-at-a-time reference: the definition of a non-reflected CRC, independent of any table.
unsigned crcBitwise(unsigned crc, const unsigned char* data, size_t n, unsigned polynomial) {
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<unsigned>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ polynomial : crc << 1;
    }
    return crc;
}

std::vector<unsigned char> randomBytes(size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<unsigned char> data(n);
    for (auto& b : data) b = static_cast<unsigned char>(generator());
    return data;
}

TEST(UlCrcTest, PublishedCheckValuesAndTable) {
    const auto* check = reinterpret_cast<const unsigned char*>("123456789");
    // CRC-32/MPEG-2: preset all ones, no final inversion; CRC-32/BZIP2 is the same with a
    // final inversion, CRC-32/CKSUM with preset 0 and one.
    EXPECT_EQ(ul_crccalc(UL_CRC_INIT, check, 9), 0x0376E6E7u);
    EXPECT_EQ(~ul_crccalc(UL_CRC_INIT, check, 9), 0xFC891918u);
    EXPECT_EQ(~ul_crccalc(0, check, 9), 0x765E7680u);
    EXPECT_EQ(ul_crccalc(UL_CRC_INIT, nullptr, 0), UL_CRC_INIT);
    // Table entries are the register after one byte.
    EXPECT_EQ(UL_CrcTable[128], 0x690CE0EEu);
    for (unsigned i = 0; i < 256; ++i) {
        unsigned char b = static_cast<unsigned char>(i);
        ASSERT_EQ(UL_CrcTable[i], crcBitwise(0, &b, 1, UL_CRC_POLYNOMIAL)) << i;
    }
    unsigned generated[256];
    ul_crcgentab(UL_CRC_POLYNOMIAL, generated);
    EXPECT_EQ(memcmp(generated, UL_CrcTable, sizeof generated), 0);
}

// Property: the table-driven CRC equals the bitwise definition for every length and alignment,
// and feeding in pieces equals feeding at once.
TEST(UlCrcTest, AgreesWithBitwiseDefinitionInAnyPieces) {
    std::vector<unsigned char> data = randomBytes(300, 1);
    for (size_t offset = 0; offset < 8; ++offset)
        for (size_t n = 0; offset + n <= data.size(); n += 1 + n / 16)
            ASSERT_EQ(ul_crccalc(UL_CRC_INIT, data.data() + offset, n),
                      crcBitwise(UL_CRC_INIT, data.data() + offset, n, UL_CRC_POLYNOMIAL))
                << "offset " << offset << " length " << n;
    data = randomBytes(10000, 2);
    unsigned whole = ul_crccalc(UL_CRC_INIT, data.data(), data.size());
    for (size_t piece : {1u, 3u, 7u, 8u, 9u, 4096u}) {
        unsigned crc = UL_CRC_INIT;
        for (size_t pos = 0; pos < data.size(); pos += piece)
            crc = ul_crccalc(crc, data.data() + pos, std::min(piece, data.size() - pos));
        EXPECT_EQ(crc, whole) << "pieces of " << piece;
    }
    // Two registers at once are two single calls.
    unsigned a = UL_CRC_INIT, b = 0x12345678u;
    ul_crcdupcalc(&a, &b, data.data(), 777);
    EXPECT_EQ(a, ul_crccalc(UL_CRC_INIT, data.data(), 777));
    EXPECT_EQ(b, ul_crccalc(0x12345678u, data.data(), 777));
}

TEST(UlCrcTest, OtherPolynomialThroughGeneratedTable) {
    const unsigned castagnoli = 0x1EDC6F41u;
    unsigned table[256];
    ul_crcgentab(castagnoli, table);
    std::vector<unsigned char> data = randomBytes(1000, 3);
    EXPECT_EQ(ul_crccalc(UL_CRC_INIT, data.data(), data.size(), table),
              crcBitwise(UL_CRC_INIT, data.data(), data.size(), castagnoli));
}

}  // namespace

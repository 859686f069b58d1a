#include "ulcrc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

// Bit-at-a-time: the definition of a non-reflected CRC, independent of any table.
unsigned crcBitwise(unsigned crc, const unsigned char* data, size_t n, unsigned polynomial) {
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<unsigned>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ polynomial : crc << 1;
    }
    return crc;
}

std::vector<unsigned char> randomBytes(size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<unsigned char> data(n);
    for (auto& b : data) b = static_cast<unsigned char>(generator());
    return data;
}

// Every fast method; CARRYLESS is SLICED on a CPU without the instruction, AUTO is ul_crccalc's.
constexpr ul_crcmethod_t kFastMethods[] = {ul_crcmethod_t::SLICED, ul_crcmethod_t::CARRYLESS,
                                           ul_crcmethod_t::AUTO};

TEST(UlCrcTest, PublishedCheckValuesAndTable) {
    const struct {
        const char* text;
        unsigned crc;
    } cases[] = {{"123456789", 0x0376E6E7u}, {"abc", 0x9B73448Cu}, {"", UL_CRC_INIT}};
    for (const auto& c : cases) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.text);
        EXPECT_EQ(ul_crccalcref(UL_CRC_INIT, bytes, strlen(c.text)), c.crc) << c.text;
        EXPECT_EQ(ul_crccalc(UL_CRC_INIT, bytes, strlen(c.text)), c.crc) << c.text;
        for (ul_crcmethod_t m : kFastMethods)
            EXPECT_EQ(ul_crccalcby(m, UL_CRC_INIT, bytes, strlen(c.text)), c.crc) << int(m);
    }
    unsigned generated[256];
    ul_crcgentab(UL_CRC_POLYNOMIAL, generated);
    EXPECT_EQ(memcmp(generated, UL_CrcTable, sizeof generated), 0);
}

// Property: for random bytes of every length 0..300 at every start alignment, random start
// registers and every split into two calls, each fast form gives the reference's registers.
TEST(UlCrcTest, FastFormsEqualReferenceInAnyTwoPieces) {
    const std::vector<unsigned char> buffer = randomBytes(300 + 16, 1);
    std::mt19937 generator(2);
    for (size_t n = 0; n <= 300; ++n) {
        const unsigned char* data = buffer.data() + n % 16;
        const unsigned start1 = generator(), start2 = generator();
        const unsigned want1 = ul_crccalcref(start1, data, n),
                       want2 = ul_crccalcref(start2, data, n);
        ASSERT_EQ(want1, crcBitwise(start1, data, n, UL_CRC_POLYNOMIAL)) << n;
        for (ul_crcmethod_t m : kFastMethods)
            for (size_t split = 0; split <= n; ++split) {
                ASSERT_EQ(
                    ul_crccalcby(m, ul_crccalcby(m, start1, data, split), data + split, n - split),
                    want1)
                    << int(m) << " length " << n << " split " << split;
                unsigned a = start1, b = start2;
                ul_crcdupcalcby(m, &a, &b, data, split);
                ul_crcdupcalcby(m, &a, &b, data + split, n - split);
                ASSERT_TRUE(a == want1 && b == want2)
                    << int(m) << " dup length " << n << " split " << split;
            }
    }
    // Long inputs: many folding rounds and register moves over long runs of zeros.
    const std::vector<unsigned char> big = randomBytes(100003, 3);
    const unsigned want1 = ul_crccalcref(UL_CRC_INIT, big.data() + 1, big.size() - 1);
    const unsigned want2 = ul_crccalcref(0, big.data() + 1, big.size() - 1);
    for (ul_crcmethod_t m : kFastMethods)
        for (size_t split : {0u, 1u, 65536u, 99999u}) {
            unsigned a = UL_CRC_INIT, b = 0;
            ul_crcdupcalcby(m, &a, &b, big.data() + 1, split);
            ul_crcdupcalcby(m, &a, &b, big.data() + 1 + split, big.size() - 1 - split);
            EXPECT_TRUE(a == want1 && b == want2) << int(m) << " split " << split;
            EXPECT_EQ(ul_crccalcby(m, ul_crccalcby(m, UL_CRC_INIT, big.data() + 1, split),
                                   big.data() + 1 + split, big.size() - 1 - split),
                      want1);
        }
}

TEST(UlCrcTest, OtherPolynomialThroughGeneratedTable) {
    const unsigned castagnoli = 0x1EDC6F41u;
    unsigned table[256];
    ul_crcgentab(castagnoli, table);
    std::vector<unsigned char> data = randomBytes(1000, 3);
    const unsigned want = crcBitwise(UL_CRC_INIT, data.data(), data.size(), castagnoli);
    EXPECT_EQ(ul_crccalc(UL_CRC_INIT, data.data(), data.size(), table), want);
    unsigned a = UL_CRC_INIT, b = UL_CRC_INIT;
    ul_crcdupcalc(&a, &b, data.data(), data.size(), table);
    EXPECT_TRUE(a == want && b == want);
}

}  // namespace

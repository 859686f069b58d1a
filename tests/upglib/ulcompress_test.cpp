#include "ulcompress.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Text-like data that compresses, random data that does not, and the empty value.
std::vector<std::vector<unsigned char>> samples() {
    std::vector<std::vector<unsigned char>> out(3);
    for (int i = 0; i < 2000; ++i) {
        const std::string line = "MATNR " + std::to_string(i * 37 % 1000) + " Beschreibung\n";
        out[0].insert(out[0].end(), line.begin(), line.end());
    }
    std::mt19937 generator(7);
    out[1].resize(3000);
    for (auto& b : out[1]) b = static_cast<unsigned char>(generator());
    return out;
}

TEST(UlCompressTest, BothVariantsRoundTrip) {
    for (ul_csalgo algo : {ul_csalgo::fast, ul_csalgo::dense})
        for (const auto& data : samples()) {
            std::vector<unsigned char> packed, back;
            ASSERT_EQ(ul_cscompress(data.data(), data.size(), algo, &packed), UL_CS_OK);
            EXPECT_EQ(packed[4], static_cast<unsigned char>(algo));
            ASSERT_EQ(ul_csdecompress(packed.data(), packed.size(), data.size(), &back), UL_CS_OK);
            EXPECT_EQ(back, data);
            // The declared length bounds the expansion.
            if (!data.empty()) {
                EXPECT_EQ(ul_csdecompress(packed.data(), packed.size(), data.size() - 1, &back),
                          UL_CS_E_LENGTH);
            }
        }
}

// Every truncation fails; every single-bit flip either fails or gives back the original bytes,
// never other content (the frame carries a checksum).
TEST(UlCompressTest, DamagedStreamsNeverExpandToOtherData) {
    const std::vector<unsigned char> data = samples()[0];
    std::vector<unsigned char> packed, back;
    ASSERT_EQ(ul_cscompress(data.data(), data.size(), ul_csalgo::fast, &packed), UL_CS_OK);
    for (size_t n = 0; n < packed.size(); ++n) {
        const std::vector<unsigned char> cut(packed.begin(), packed.begin() + n);
        EXPECT_LT(ul_csdecompress(cut.data(), cut.size(), 1 << 20, &back), 0) << n;
        EXPECT_TRUE(back.empty());
    }
    for (size_t i = 0; i < packed.size(); ++i)
        for (int bit : {0, 3, 7}) {
            std::vector<unsigned char> bad = packed;
            bad[i] ^= static_cast<unsigned char>(1 << bit);
            const int rc = ul_csdecompress(bad.data(), bad.size(), 1 << 20, &back);
            if (rc == UL_CS_OK) {
                EXPECT_EQ(back, data) << i << "/" << bit;
            }
            if (i == 4) {
                EXPECT_EQ(rc, UL_CS_NOT_COMPRESSED);
            }
        }
}

}  // namespace

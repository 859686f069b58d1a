#include "ulcrc.h"

#include <array>
#include <cstdint>

namespace {

using CrcTable = std::array<unsigned, 256>;

constexpr CrcTable makeTable(unsigned polynomial) {
    CrcTable table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ polynomial : crc << 1;
        table[i] = crc;
    }
    return table;
}

constexpr CrcTable kTable = makeTable(UL_CRC_POLYNOMIAL);

// Slicing-by-8 for the standard table: Slices[k][i] is the register after byte i followed by
// k zero bytes, so eight bytes can be folded with eight independent lookups.
struct SliceTables {
    unsigned t[8][256];
};

constexpr SliceTables makeSlices() {
    SliceTables s{};
    for (unsigned i = 0; i < 256; ++i) s.t[0][i] = kTable[i];
    for (int k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i) {
            unsigned prev = s.t[k - 1][i];
            s.t[k][i] = (prev << 8) ^ kTable[prev >> 24];
        }
    return s;
}

constexpr SliceTables kSlices = makeSlices();

inline unsigned loadBigEndian(const unsigned char* p) {
    return (unsigned{p[0]} << 24) | (unsigned{p[1]} << 16) | (unsigned{p[2]} << 8) | p[3];
}

unsigned crcBytewise(unsigned crc, const unsigned char* data, size_t n, const unsigned* table) {
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[(crc >> 24) ^ data[i]];
    return crc;
}

unsigned crcSliced(unsigned crc, const unsigned char* data, size_t n) {
    const auto& t = kSlices.t;
    while (n >= 8) {
        unsigned hi = crc ^ loadBigEndian(data);
        unsigned lo = loadBigEndian(data + 4);
        crc = t[7][hi >> 24] ^ t[6][(hi >> 16) & 0xFF] ^ t[5][(hi >> 8) & 0xFF] ^ t[4][hi & 0xFF] ^
              t[3][lo >> 24] ^ t[2][(lo >> 16) & 0xFF] ^ t[1][(lo >> 8) & 0xFF] ^ t[0][lo & 0xFF];
        data += 8;
        n -= 8;
    }
    return crcBytewise(crc, data, n, t[0]);
}

}  // namespace

// The first slice is the plain table; binding to it keeps one copy and constant initialisation.
constinit const unsigned (&UL_CrcTable)[256] = kSlices.t[0];

void ul_crcgentab(unsigned polynomial, unsigned table[256]) {
    CrcTable generated = makeTable(polynomial);
    for (unsigned i = 0; i < 256; ++i) table[i] = generated[i];
}

unsigned ul_crccalc(unsigned crc, const unsigned char* data, size_t n, const unsigned* table) {
    if (table == UL_CrcTable) return crcSliced(crc, data, n);
    return crcBytewise(crc, data, n, table);
}

void ul_crcdupcalc(unsigned* crc1, unsigned* crc2, const unsigned char* data, size_t n,
                   const unsigned* table) {
    unsigned a = *crc1, b = *crc2;
    for (size_t i = 0; i < n; ++i) {
        a = (a << 8) ^ table[(a >> 24) ^ data[i]];
        b = (b << 8) ^ table[(b >> 24) ^ data[i]];
    }
    *crc1 = a;
    *crc2 = b;
}

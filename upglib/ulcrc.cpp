#include "ulcrc.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define UL_CRC_HAVE_CLMUL 1
// Only these functions use the instructions; the rest of the program runs on any x86-64 CPU,
// and they are called only after the CPU was asked whether it has them.
#define UL_CRC_CLMUL_TARGET __attribute__((target("pclmul,ssse3")))
#else
#define UL_CRC_HAVE_CLMUL 0
#endif

namespace {

// Slicing tables: t[k][i] is the register after byte i followed by k zero bytes, shifted into
// an empty register, i.e. i * x^(32 + 8k) mod P. Sixteen bytes are then folded with sixteen
// independent lookups; t[0] is the table of the byte-at-a-time form.
constexpr int kSlices = 16;
struct SliceTables {
    unsigned t[kSlices][256];
};

constexpr SliceTables makeSlices(unsigned polynomial) {
    SliceTables s{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ polynomial : crc << 1;
        s.t[0][i] = crc;
    }
    for (int k = 1; k < kSlices; ++k)
        for (unsigned i = 0; i < 256; ++i) {
            unsigned prev = s.t[k - 1][i];
            s.t[k][i] = (prev << 8) ^ s.t[0][prev >> 24];
        }
    return s;
}

constexpr SliceTables kTables = makeSlices(UL_CRC_POLYNOMIAL);

inline uint64_t load64BigEndian(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

inline unsigned load32BigEndian(const unsigned char* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    return v;
}

// The four bytes of w (most significant first) followed by k zero bytes: w * x^(32 + 8k) mod P.
inline unsigned lookup4(int k, unsigned w) {
    const auto& t = kTables.t;
    return t[k + 3][w >> 24] ^ t[k + 2][(w >> 16) & 0xFF] ^ t[k + 1][(w >> 8) & 0xFF] ^
           t[k][w & 0xFF];
}

unsigned crcBytewise(unsigned crc, const unsigned char* data, size_t n, const unsigned* table) {
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[(crc >> 24) ^ data[i]];
    return crc;
}

unsigned crcSliced(unsigned crc, const unsigned char* p, size_t n) {
    for (; n >= 16; p += 16, n -= 16) {
        const uint64_t hi = load64BigEndian(p), lo = load64BigEndian(p + 8);
        crc = lookup4(12, crc ^ static_cast<unsigned>(hi >> 32)) ^
              lookup4(8, static_cast<unsigned>(hi)) ^ lookup4(4, static_cast<unsigned>(lo >> 32)) ^
              lookup4(0, static_cast<unsigned>(lo));
    }
    if (n >= 8) {
        const uint64_t w = load64BigEndian(p);
        crc =
            lookup4(4, crc ^ static_cast<unsigned>(w >> 32)) ^ lookup4(0, static_cast<unsigned>(w));
        p += 8;
        n -= 8;
    }
    if (n >= 4) {
        crc = lookup4(0, crc ^ load32BigEndian(p));
        p += 4;
        n -= 4;
    }
    return crcBytewise(crc, p, n, kTables.t[0]);
}

// Both registers take the same bytes; only the first four bytes of each step meet a register,
// the lookups of the other bytes are shared.
void crcDupSliced(unsigned* crc1, unsigned* crc2, const unsigned char* p, size_t n) {
    unsigned a = *crc1, b = *crc2;
    for (; n >= 16; p += 16, n -= 16) {
        const uint64_t hi = load64BigEndian(p), lo = load64BigEndian(p + 8);
        const unsigned first = static_cast<unsigned>(hi >> 32);
        const unsigned rest = lookup4(8, static_cast<unsigned>(hi)) ^
                              lookup4(4, static_cast<unsigned>(lo >> 32)) ^
                              lookup4(0, static_cast<unsigned>(lo));
        a = lookup4(12, a ^ first) ^ rest;
        b = lookup4(12, b ^ first) ^ rest;
    }
    if (n >= 8) {
        const uint64_t w = load64BigEndian(p);
        const unsigned first = static_cast<unsigned>(w >> 32);
        const unsigned rest = lookup4(0, static_cast<unsigned>(w));
        a = lookup4(4, a ^ first) ^ rest;
        b = lookup4(4, b ^ first) ^ rest;
        p += 8;
        n -= 8;
    }
    if (n >= 4) {
        const unsigned w = load32BigEndian(p);
        a = lookup4(0, a ^ w);
        b = lookup4(0, b ^ w);
        p += 4;
        n -= 4;
    }
    const auto& t0 = kTables.t[0];
    for (size_t i = 0; i < n; ++i) {
        a = (a << 8) ^ t0[(a >> 24) ^ p[i]];
        b = (b << 8) ^ t0[(b >> 24) ^ p[i]];
    }
    *crc1 = a;
    *crc2 = b;
}

#if UL_CRC_HAVE_CLMUL

// Polynomial arithmetic modulo the generator: a register value is a polynomial of degree
// below 32, bit i the coefficient of x^i, the generator's x^32 term implied.

// x * a mod P.
constexpr unsigned mulX(unsigned a) {
    return (a & 0x80000000u) ? (a << 1) ^ UL_CRC_POLYNOMIAL : a << 1;
}

// a * b mod P, bit by bit (Horner over the bits of b).
constexpr unsigned mulMod(unsigned a, unsigned b) {
    unsigned r = 0;
    for (int i = 31; i >= 0; --i) {
        r = mulX(r);
        if ((b >> i) & 1u) r ^= a;
    }
    return r;
}

// x^e mod P.
constexpr unsigned xPowMod(unsigned e) {
    unsigned r = 1;
    for (unsigned i = 0; i < e; ++i) r = mulX(r);
    return r;
}

// Below this length the slicing tables beat the folding's fixed cost (measured with
// bench/crc_bench).
constexpr size_t kCarrylessMin = 64;

// Folding constants: a 128-bit remainder X = H * x^64 + L moved forward by D bits is
// X * x^D = H * (x^(D+64) mod P) + L * (x^D mod P) (mod P), two 64 x 32-bit products that fit
// in 128 bits. The high quadword holds the factor of H.
struct FoldConstant {
    uint64_t low, high;
};
constexpr FoldConstant foldBy(unsigned bits) {
    return {xPowMod(bits), xPowMod(bits + 64)};
}
constexpr FoldConstant kFold128 = foldBy(128);
constexpr FoldConstant kFold512 = foldBy(512);
constexpr unsigned kPow64 = xPowMod(64), kPow96 = xPowMod(96), kPow128 = xPowMod(128);

// x^(8 * 2^k) mod P: multiplying by these moves a register over 2^k zero bytes.
struct ZeroPowers {
    unsigned p[64];
};
constexpr ZeroPowers makeZeroPowers() {
    ZeroPowers z{};
    z.p[0] = xPowMod(8);
    for (int k = 1; k < 64; ++k) z.p[k] = mulMod(z.p[k - 1], z.p[k - 1]);
    return z;
}
constexpr ZeroPowers kZeroPowers = makeZeroPowers();

UL_CRC_CLMUL_TARGET inline __m128i constantOf(FoldConstant k) {
    return _mm_set_epi64x(static_cast<long long>(k.high), static_cast<long long>(k.low));
}

// Sixteen bytes as a polynomial: the first byte's most significant bit is the highest
// coefficient (bit 127).
UL_CRC_CLMUL_TARGET inline __m128i loadBlock(const unsigned char* p) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i_u*>(p)), reverse);
}

UL_CRC_CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), next);
}

UL_CRC_CLMUL_TARGET inline uint64_t clmul32(unsigned a, unsigned b) {
    return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(
        _mm_cvtsi32_si128(static_cast<int>(a)), _mm_cvtsi32_si128(static_cast<int>(b)), 0x00)));
}

// A value of degree below 64 reduced to a register: its high word h stands for h * x^32, the
// register of h's four bytes from an empty register.
inline unsigned reduce64(uint64_t v) {
    return static_cast<unsigned>(v) ^ lookup4(0, static_cast<unsigned>(v >> 32));
}

// The register X * x^32 mod P of a 128-bit remainder X = A x^96 + B x^64 + C x^32 + D:
// A x^128 + B x^96 + C x^64 + D x^32, the first three reduced by their powers' remainders.
UL_CRC_CLMUL_TARGET inline unsigned registerOf(__m128i x) {
    alignas(16) uint32_t w[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(w), x);
    return reduce64(clmul32(w[3], kPow128) ^ clmul32(w[2], kPow96) ^ clmul32(w[1], kPow64) ^
                    (uint64_t{w[0]} << 32));
}

// n >= 16. The register enters as the top 32 bits of the first block (the same as feeding it
// into the first four bytes); the message is folded into one 128-bit remainder X congruent to
// it, whose register X * x^32 mod P takes the remaining bytes.
UL_CRC_CLMUL_TARGET unsigned crcCarryless(unsigned crc, const unsigned char* p, size_t n) {
    const __m128i reg = _mm_set_epi32(static_cast<int>(crc), 0, 0, 0);
    const __m128i k128 = constantOf(kFold128);
    __m128i x;
    if (n >= 64) {
        // Four independent remainders over interleaved blocks keep the multiplier busy.
        __m128i x0 = _mm_xor_si128(loadBlock(p), reg), x1 = loadBlock(p + 16),
                x2 = loadBlock(p + 32), x3 = loadBlock(p + 48);
        const __m128i k512 = constantOf(kFold512);
        for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
            x0 = fold(x0, k512, loadBlock(p));
            x1 = fold(x1, k512, loadBlock(p + 16));
            x2 = fold(x2, k512, loadBlock(p + 32));
            x3 = fold(x3, k512, loadBlock(p + 48));
        }
        x = fold(fold(fold(x0, k128, x1), k128, x2), k128, x3);
    } else {
        x = _mm_xor_si128(loadBlock(p), reg);
        p += 16;
        n -= 16;
    }
    for (; n >= 16; p += 16, n -= 16) x = fold(x, k128, loadBlock(p));
    return crcSliced(registerOf(x), p, n);
}

// a * b mod P.
UL_CRC_CLMUL_TARGET inline unsigned mulModCarryless(unsigned a, unsigned b) {
    return reduce64(clmul32(a, b));
}

// The register d moved over n zero bytes: d * x^(8n) mod P.
UL_CRC_CLMUL_TARGET unsigned shiftOverZeros(unsigned d, size_t n) {
    for (int k = 0; n != 0 && d != 0; ++k, n >>= 1)
        if (n & 1u) d = mulModCarryless(d, kZeroPowers.p[k]);
    return d;
}

bool detectCarryless() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

bool carrylessFor(ul_crcmethod_t method, size_t n) {
    if (method == ul_crcmethod_t::CARRYLESS && n >= 16) return ul_crchascarryless();
    if (method == ul_crcmethod_t::AUTO && n >= kCarrylessMin) return ul_crchascarryless();
    return false;
}

#endif

}  // namespace

// The first slice is the plain table; binding to it keeps one copy and constant initialisation.
constinit const unsigned (&UL_CrcTable)[256] = kTables.t[0];

void ul_crcgentab(unsigned polynomial, unsigned table[256]) {
    const SliceTables generated = makeSlices(polynomial);
    memcpy(table, generated.t[0], sizeof generated.t[0]);
}

bool ul_crchascarryless() {
#if UL_CRC_HAVE_CLMUL
    static const bool has = detectCarryless();
    return has;
#else
    return false;
#endif
}

unsigned ul_crccalcref(unsigned crc, const unsigned char* data, size_t n, const unsigned* table) {
    return crcBytewise(crc, data, n, table);
}

unsigned ul_crccalcby(ul_crcmethod_t method, unsigned crc, const unsigned char* data, size_t n) {
    if (method == ul_crcmethod_t::BYTEWISE) return crcBytewise(crc, data, n, UL_CrcTable);
#if UL_CRC_HAVE_CLMUL
    if (carrylessFor(method, n)) return crcCarryless(crc, data, n);
#endif
    return crcSliced(crc, data, n);
}

void ul_crcdupcalcby(ul_crcmethod_t method, unsigned* crc1, unsigned* crc2,
                     const unsigned char* data, size_t n) {
    if (method == ul_crcmethod_t::BYTEWISE) {
        *crc1 = crcBytewise(*crc1, data, n, UL_CrcTable);
        *crc2 = crcBytewise(*crc2, data, n, UL_CrcTable);
        return;
    }
#if UL_CRC_HAVE_CLMUL
    // The register is linear in its start value: feeding from crc2 gives the result from crc1
    // plus their difference moved over n zero bytes.
    if (carrylessFor(method, n)) {
        const unsigned from1 = crcCarryless(*crc1, data, n);
        *crc2 = from1 ^ shiftOverZeros(*crc1 ^ *crc2, n);
        *crc1 = from1;
        return;
    }
#endif
    crcDupSliced(crc1, crc2, data, n);
}

unsigned ul_crccalc(unsigned crc, const unsigned char* data, size_t n, const unsigned* table) {
    if (table != UL_CrcTable) return crcBytewise(crc, data, n, table);
    return ul_crccalcby(ul_crcmethod_t::AUTO, crc, data, n);
}

void ul_crcdupcalc(unsigned* crc1, unsigned* crc2, const unsigned char* data, size_t n,
                   const unsigned* table) {
    if (table != UL_CrcTable) {
        unsigned a = *crc1, b = *crc2;
        for (size_t i = 0; i < n; ++i) {
            a = (a << 8) ^ table[(a >> 24) ^ data[i]];
            b = (b << 8) ^ table[(b >> 24) ^ data[i]];
        }
        *crc1 = a;
        *crc2 = b;
        return;
    }
    ul_crcdupcalcby(ul_crcmethod_t::AUTO, crc1, crc2, data, n);
}

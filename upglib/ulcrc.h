// CRC-32 with generator polynomial 0x04C11DB7, processed most significant bit first
// (non-reflected). With the register preset to UL_CRC_INIT and no final inversion this is
// the parameter set published as CRC-32/MPEG-2; checksums of table rows, CRC files and XML
// trees all use it, so its results must never change.
//
// ul_crccalcref is the byte-at-a-time definition. ul_crccalc and ul_crcdupcalc compute the
// same registers faster for the standard table: sixteen bytes per step through sixteen
// derived tables, and for long inputs, where the CPU multiplies without carries, by folding
// sixteen-byte blocks with that multiplication (chosen at run time).
#pragma once

#include <cstddef>

static_assert(sizeof(unsigned) == 4, "the CRC register is a 32-bit unsigned");

constexpr unsigned UL_CRC_POLYNOMIAL = 0x04C11DB7u;
constexpr unsigned UL_CRC_INIT = 0xFFFFFFFFu;

// Entry i is the register after shifting byte i into an empty register (for UL_CRC_POLYNOMIAL).
extern const unsigned (&UL_CrcTable)[256];

// Builds such a table for any polynomial (most significant bit first).
void ul_crcgentab(unsigned polynomial, unsigned table[256]);

// Feeds n bytes into the register crc and returns the new register: for each byte b,
// crc = (crc << 8) ^ table[(crc >> 24) ^ b]. Feeding data in pieces gives the same result as
// feeding it at once. data may be null when n is 0.
unsigned ul_crccalc(unsigned crc, const unsigned char* data, size_t n,
                    const unsigned* table = UL_CrcTable);

// Feeds the same bytes into two registers in one pass: the same result as two ul_crccalc calls.
void ul_crcdupcalc(unsigned* crc1, unsigned* crc2, const unsigned char* data, size_t n,
                   const unsigned* table = UL_CrcTable);

// The byte-at-a-time form, one table lookup per byte: the reference the faster forms are
// checked and measured against.
unsigned ul_crccalcref(unsigned crc, const unsigned char* data, size_t n,
                       const unsigned* table = UL_CrcTable);

// The ways of computing the standard CRC. AUTO is what ul_crccalc does; CARRYLESS folds inputs
// of at least 16 bytes by carry-less multiplication and takes SLICED for shorter ones and on a
// CPU without that instruction.
enum class ul_crcmethod_t { BYTEWISE, SLICED, CARRYLESS, AUTO };

// True when this CPU has carry-less multiplication (and the byte shuffle it needs).
bool ul_crchascarryless();

// ul_crccalc and ul_crcdupcalc (standard table) through one given method.
unsigned ul_crccalcby(ul_crcmethod_t method, unsigned crc, const unsigned char* data, size_t n);
void ul_crcdupcalcby(ul_crcmethod_t method, unsigned* crc1, unsigned* crc2,
                     const unsigned char* data, size_t n);

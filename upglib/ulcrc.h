// CRC-32 with generator polynomial 0x04C11DB7, processed most significant bit first
// (non-reflected). With the register preset to UL_CRC_INIT and no final inversion this is
// the parameter set published as CRC-32/MPEG-2; checksums of table rows, CRC files and XML
// trees all use it, so its results must never change.
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
// feeding it at once.
unsigned ul_crccalc(unsigned crc, const unsigned char* data, size_t n,
                    const unsigned* table = UL_CrcTable);

// Feeds the same bytes into two registers in one pass.
void ul_crcdupcalc(unsigned* crc1, unsigned* crc2, const unsigned char* data, size_t n,
                   const unsigned* table = UL_CrcTable);

// Compression of long field values and cluster records: compressed bytes in, expanded bytes
// out, built on zstd (docs/cluster-tables.md gives the stream layout and why zstd). Two
// variants fill the two algorithm slots: a fast one and a dense one; the stream says which one
// wrote it, so the expander needs no hint.
//
// Nothing here touches the error buffer: results are codes, and the caller words the message
// with its context (table, key, column).
#pragma once

#include <cstddef>
#include <vector>

// Results of ul_csdecompress and ul_cscompress.
enum : int {
    UL_CS_OK = 0,
    UL_CS_NOT_COMPRESSED = 1,  // the stream header does not mark compressed data
    UL_CS_E_INIT = -1,         // no (de)compression context could be set up
    UL_CS_E_TRUNCATED = -2,    // shorter than its header or its frame
    UL_CS_E_LENGTH = -3,       // declared length disagrees with the frame or exceeds the limit
    UL_CS_E_DATA = -4,         // the frame is corrupt (bad block, checksum mismatch)
    UL_CS_E_MEMORY = -5,
};

enum class ul_csalgo : unsigned char { fast = 0x12, dense = 0x1F };

// The version byte in front of a compressed field; versions at or above the limit are refused.
constexpr unsigned char UL_CS_FIELD_VERSION = 1;
constexpr unsigned char UL_CS_VERSION_LIMIT = 2;
// Bytes of the stream header (expanded length, algorithm byte).
constexpr size_t UL_CS_HEADER = 5;

// Appends the compressed stream of in[0..length) to out. Returns UL_CS_OK or an error result.
[[nodiscard]] int ul_cscompress(const unsigned char* in, size_t length, ul_csalgo algo,
                                std::vector<unsigned char>* out);
// Replaces out with the expansion of the stream in[0..length). maxLength bounds the declared
// expanded length, so a corrupt header cannot make it allocate without limit. Returns UL_CS_OK,
// UL_CS_NOT_COMPRESSED or an error result; out is empty unless UL_CS_OK.
[[nodiscard]] int ul_csdecompress(const unsigned char* in, size_t length, size_t maxLength,
                                  std::vector<unsigned char>* out);

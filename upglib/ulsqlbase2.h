// Column and parameter descriptions and the value forms of the SQL layer: how a value that an
// engine delivered becomes the raw bytes and the text a row callback sees, and how bound
// parameter values become cells for the engine. The raw form depends only on the field
// description, never on the engine, so checksums over raw bytes agree across engines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbif.h"

// Field description flags.
enum : unsigned {
    UL_SQLFLD_CHAR = 0x0,
    UL_SQLFLD_INT = 0x1,
    UL_SQLFLD_FLOAT = 0x2,
    UL_SQLFLD_RAW = 0x8,
    UL_SQLFLD_DECIMAL = 0x10,  // decimal number, type letter "M"
    UL_SQLFLD_LONG = 0x100,    // character or binary large object
};

struct ul_sqlfielddesc_t {
    const char16_t* name;
    unsigned flags;
    int dbifType;          // a DBIF_TYPE_* number, or -1: derived from flags
    unsigned digitsDecimals;  // digits in the lower, decimals in the upper 16 bits
    unsigned length;       // 4 for an integer, characters of a text, bytes of a raw column
};

inline unsigned ul_sqlfielddigits(const ul_sqlfielddesc_t& d) { return d.digitsDecimals & 0xFFFF; }
inline unsigned ul_sqlfielddecimals(const ul_sqlfielddesc_t& d) { return d.digitsDecimals >> 16; }

// The type letter of a description: C I F R M P N L B, or 0 when none fits.
char16_t ul_sqlfldflag2char(const ul_sqlfielddesc_t& desc);

// The effective DBIF_TYPE_* of a description (its dbifType, or derived from its flags).
[[nodiscard]] int ul_sqlfieldtype(const ul_sqlfielddesc_t& desc);

// The description of a result column as the engine described it. The name points into col.
ul_sqlfielddesc_t ul_sqlfieldfromcolumn(const dbif_coldesc_t& col);

// One converted value. `raw`/`rawLength` and `text` point into the converter's buffers and stay
// valid until the converter is reset or the next row is converted.
struct ul_sqlvalue_t {
    bool isNull = true;
    const unsigned char* raw = nullptr;
    unsigned rawLength = 0;
    const char16_t* text = nullptr;  // null: the column has no text form (raw, blob) or is NULL
    size_t textLength = 0;           // code units of text: a character value may hold NULs
    bool textHasNul = false;         // text holds a NUL, so its terminator is not its end
};

// Converts rows cell by cell without allocating per value: the buffers are reused row after
// row and only grow to the largest row seen.
class ULSQLValueConverter {
public:
    // Starts a row of n columns; values of earlier rows become invalid.
    void beginRow(unsigned ncols);
    // Converts column i of the row. withText = false skips the text form. Returns 0, or -1 with
    // the reason in the error buffer (a value that does not fit its description, e.g.
    // "Value '%s' of column #%d '%s' does not fit type %c(%u)").
    [[nodiscard]] int convert(unsigned i, const dbif_cell_t& cell, const ul_sqlfielddesc_t& desc,
                              bool withText);
    // The converted values of the row; pointers are stable once the row is complete.
    const ul_sqlvalue_t* values();
    // The same as the arrays a row callback gets, for the n columns of the complete row:
    // raw[i]/lengths[i] (null and 0 for NULL), texts[i] (null for NULL and without text) and
    // textLengths[i]. Returns the first column whose text holds a NUL character, or -1.
    int rowArrays(const unsigned char** raw, unsigned* lengths, const char16_t** texts,
                  size_t* textLengths, unsigned n);

    // The row's raw bytes (the conversions write into it), 8-byte aligned; it grows without
    // zero-filling and keeps its capacity.
    class RawBuffer {
      public:
        unsigned char* data() { return reinterpret_cast<unsigned char*>(words_.get()); }
        size_t size() const { return size_; }
        void clear() { size_ = 0; }
        // Sets the size, keeping the bytes below it; new bytes are undefined.
        void resize(size_t n) {
            if (n > capacity_) grow(n);
            size_ = n;
        }
        void push_back(unsigned char b) {
            resize(size_ + 1);
            data()[size_ - 1] = b;
        }

      private:
        void grow(size_t n);
        std::unique_ptr<uint64_t[]> words_;
        size_t size_ = 0;
        size_t capacity_ = 0;  // bytes
    };

private:
    struct Slot {
        bool isNull;
        size_t rawOffset;
        unsigned rawLength;
        size_t textOffset;  // SIZE_MAX: no text
        size_t textLength;
        bool textHasNul;
    };
    std::vector<Slot> slots_;
    std::vector<ul_sqlvalue_t> values_;
    RawBuffer raw_;
    std::u16string text_;
};

// Parameter values: the text, raw and integer forms that statements bind, put into cell col of
// row of a parameter batch according to the parameter's description. Returns 0 or -1.
[[nodiscard]] int ul_sqlbindtext(DbIfRowBatch* batch, size_t row, unsigned col,
                                 const char16_t* text, const ul_sqlfielddesc_t& desc);
[[nodiscard]] int ul_sqlbindraw(DbIfRowBatch* batch, size_t row, unsigned col,
                                const unsigned char* raw, unsigned long length,
                                const ul_sqlfielddesc_t& desc);
[[nodiscard]] int ul_sqlbindinteger(DbIfRowBatch* batch, size_t row, unsigned col, long value,
                                    const ul_sqlfielddesc_t& desc);

// Packed decimals (BCD, two digits a byte, sign in the last nibble: 0xC or 0xF positive,
// 0xD negative; 0xA, 0xB, 0xE, 0xF also accepted unless strict).
// Text form: optional "-", digits, and "." with `decimals` digits when decimals > 0.
[[nodiscard]] int ul_sqlpackedtotext(const unsigned char* packed, unsigned length,
                                     unsigned decimals, char16_t* out, size_t size, bool strict);
[[nodiscard]] int ul_sqltexttopacked(const char16_t* text, size_t textLength, unsigned digits,
                                     unsigned decimals, unsigned char* out, unsigned length);
inline unsigned ul_sqlpackedlength(unsigned digits) { return digits / 2 + 1; }

// Decimal floating point through decNumber: 8 bytes decimal64, 16 bytes decimal128.
// ul_sqldecfloatinit checks that the library was built for this platform's byte order; -1 with
// "Cannot initialize DEC float library" otherwise.
[[nodiscard]] int ul_sqldecfloatinit();
[[nodiscard]] int ul_sqldecfloattotext(const unsigned char* value, unsigned length, char16_t* out,
                                       size_t size);
[[nodiscard]] int ul_sqltexttodecfloat(const char16_t* text, size_t textLength, unsigned length,
                                       unsigned char* out);
// Compares two decimal floating-point values of the same length: -1, 0, 1 (-2 for NaN).
[[nodiscard]] int ul_sqldecfloatcompare(const unsigned char* a, const unsigned char* b,
                                        unsigned length);

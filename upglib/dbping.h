// The diagnostic commands: dbping (round-trip latency), dbversion (database and client
// versions, schemas), dumptable (table contents as separated lines), hexdump (a file in
// hexadecimal) and dbtabpos (database column positions). Their handlers are declared with the
// command table in tabrix.h.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>

// Modes of ul_sqltabledump.
enum : int {
    UL_DUMP_HEADER = 1,      // a header line "#" with the column names before the rows
    UL_DUMP_FIELDDESCS = 2,  // select the columns of the table's field descriptions
    UL_DUMP_KEYORDER = 4,    // order by the key columns when no order is given
};

// Writes the rows of table to stream as lines of comma-separated values (ULSQLLogCSVLines),
// ordered by orderBy (column list, may be null) or, with UL_DUMP_KEYORDER, by the key columns.
// fileName (optional) names the stream in error texts. Uses the connection, connecting on
// demand. Returns 0, or -1 with the reason in the error buffer.
int ul_sqltabledump(FILE* stream, const char16_t* table, const char16_t* orderBy, int mode,
                    const char16_t* fileName = nullptr);


// Modes of ULHexLines.
enum : long {
    UL_HEX_NOCHARACTERS = 1,   // no character column
    UL_HEX_NOCOMPRESSION = 2,  // zero lines are shown like any other
};

// Formats bytes as hex dump lines: the offset as six hex digits, 16 bytes as " %02x", and the
// bytes as characters (printable 7-bit ones, else "."). Runs of zero lines become one line
// "*<skip %#lx zeroes>" in front of the next data line, or "*<skip %#lx trailing zeroes>" at
// the end. Each line goes to the sink without a line end; a failing sink (-1) stops the dump.
class ULHexLines {
  public:
    using Sink = std::function<int(const std::u16string& line)>;
    ULHexLines(Sink sink, long mode, long offset)
        : sink_(std::move(sink)), mode_(mode), offset_(offset) {}
    [[nodiscard]] int add(const unsigned char* bytes, size_t n);
    // Writes the last, shorter line and a trailing skip line. Returns 0 or -1.
    [[nodiscard]] int finish();

  private:
    static constexpr size_t kBytesPerLine = 16;
    [[nodiscard]] int emitLine();
    Sink sink_;
    long mode_;
    long offset_;
    unsigned char line_[kBytesPerLine] = {};
    size_t fill_ = 0;
    long skipped_ = 0;
    std::u16string text_;
};

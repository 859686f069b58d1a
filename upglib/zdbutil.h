// zdbmonitor (memory and CPU figures of the database sampled into a semicolon-separated monitor
// file) and zdbutil (a check of the database server's clock against the local clock). The
// handlers cmd_ZDBMONITOR and cmd_ZDBUTIL are declared with the command table in tabrix.h.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "ulsqlbase.h"
#include "ultextfile.h"

// Option bits of the monitor.
enum : unsigned {
    UL_ZDBMON_VERBOSE = 0x1,
    UL_ZDBMON_KEEPRUNNING = 0x2,
    UL_ZDBMON_HEADER = 0x100,
};

// A figure no row delivered.
constexpr uint64_t UL_ZDBMON_NOVALUE = ~uint64_t{0};

// Clock difference (seconds) above which the database's clock is not acceptable.
constexpr double UL_ZDB_MAXTIMEDIFF = 1800;

// Row callback: the first column of a row, an unsigned decimal number, into *slot; NULL leaves
// the slot alone. Any other text fails with "Invalid value '%s' for figure '%s'".
class AuxCollectMemInfo : public ULSQLCallBackChar {
  public:
    AuxCollectMemInfo(uint64_t* slot, const char16_t* figure) : slot_(slot), figure_(figure) {}
    using ULSQLCallBackChar::handleRow;
    [[nodiscard]] int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override;

  private:
    uint64_t* slot_;
    const char16_t* figure_;
};

// Row callback: every column, a time stamp YYYYMMDDhhmmss in local time, as seconds since the
// epoch into consecutive slots (at most `n`).
class AuxReadZDBTime : public ULSQLCallBackChar {
  public:
    AuxReadZDBTime(time_t* slots, unsigned n) : slots_(slots), n_(n) {}
    using ULSQLCallBackChar::handleRow;
    [[nodiscard]] int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override;

  private:
    time_t* slots_;
    unsigned n_;
};

// The state of one monitor run over the statements of a support row. Owns its output.
class ULZdbMonitor {
  public:
    // stmts: the support row's monitor figures (ending with a null name).
    explicit ULZdbMonitor(const ul_sqlmonitorstmt_t* stmts);
    // Appends to outFile (null: standard output); writes the header when the file is new or
    // the output is standard output. Returns 0, or -1 with "Cannot write to '%s'".
    [[nodiscard]] int open(const char16_t* outFile, unsigned options);
    // Takes one sample: connects, runs every figure's query, disconnects, and writes the line
    // for the sample time `now`. Returns 0 or -1.
    [[nodiscard]] int sample(time_t now);
    // The line of the current figures at `now` (without its line end); CPU counters as their
    // share since the previous sample. Returns 0, or -1 when now has no time stamp.
    [[nodiscard]] int sampleLine(time_t now, std::u16string* line) const;
    [[nodiscard]] int close() { return out_.close(); }
    unsigned options() const { return options_; }

  private:
    [[nodiscard]] int collect();
    const ul_sqlmonitorstmt_t* stmts_;
    size_t n_ = 0;
    unsigned options_ = 0;
    ULTextFileWriter out_;
    std::vector<uint64_t> current_;
    std::vector<uint64_t> previous_;
    time_t previousTime_ = -1;
};

// The clock check: d = database local time - now (-1: the current time). Writes message 399
// and returns 0 when |d| <= UL_ZDB_MAXTIMEDIFF, else 2; -1 on failure. Uses the connection,
// connecting on demand. "... is not supported by this database interface" for a database
// without a clock query.
[[nodiscard]] int ul_zdbchecktimediff(time_t now);

#include "zdbutil.h"

#include <cmath>
#include <cstdio>

#include "tabrix.h"
#include "ulauxfcts.h"
#include "ulerror.h"
#include "ulfile.h"
#include "ulmsgwrite.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultime.h"
#include "ultrace.h"

namespace {

constexpr ul_sqlfielddesc_t kCharColumn = {u"VALUE", UL_SQLFLD_CHAR, -1, 0, 64};
constexpr ul_sqlfielddesc_t kClockColumns[] = {
    {u"LOCALTIME", UL_SQLFLD_CHAR, -1, 0, 32},
    {u"UTCTIME", UL_SQLFLD_CHAR, -1, 0, 32},
};

// An unsigned decimal number; a fraction (a rounded figure may come as "12.0") is cut off.
bool parseUnsigned(const char16_t* text, uint64_t* value) {
    uint64_t v = 0;
    const char16_t* p = text;
    while (*p == u' ') ++p;
    const char16_t* digits = p;
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        const uint64_t digit = static_cast<uint64_t>(*p - u'0');
        if (v > (UL_ZDBMON_NOVALUE - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (p == digits) return false;
    if (*p == u'.')
        for (++p; *p >= u'0' && *p <= u'9'; ++p) {
        }
    while (*p == u' ') ++p;
    if (*p) return false;
    *value = v;
    return true;
}

int notSupported(const char16_t* what, const ul_sqldbsupport_t* row) {
    return ul_errorfail(ul_format(u"%s is not supported by this database interface (database "
                                  u"type '%s')",
                                  what, row->code));
}

}  // namespace

int AuxCollectMemInfo::handleRow(unsigned flags, const char16_t** values, unsigned ncols) {
    if (!(flags & UL_ROW_DATA) || ncols == 0 || !values || !values[0]) return 0;
    if (!parseUnsigned(values[0], slot_))
        return ul_errorfail(ul_format(u"Invalid value '%s' for figure '%s'", values[0], figure_));
    return 0;
}

int AuxReadZDBTime::handleRow(unsigned flags, const char16_t** values, unsigned ncols) {
    if (!(flags & UL_ROW_DATA)) return 0;
    for (unsigned i = 0; i < ncols && i < n_; ++i) {
        const char16_t* text = values && values[i] ? values[i] : u"";
        UL_TRACE(UL_TRC_SQLTOOL, 1, u"Time value #%d '%s'\n", static_cast<int>(i), text);
        const time_t seconds = ul_timestamp2sec(text);
        if (seconds == static_cast<time_t>(-1)) return UL_ERROR_RETURN(-1);
        slots_[i] = seconds;
    }
    return 0;
}

// ---- monitor ---------------------------------------------------------------------------------

ULZdbMonitor::ULZdbMonitor(const ul_sqlmonitorstmt_t* stmts) : stmts_(stmts) {
    while (stmts_[n_].name) ++n_;
    current_.assign(n_, UL_ZDBMON_NOVALUE);
    previous_.assign(n_, UL_ZDBMON_NOVALUE);
}

int ULZdbMonitor::open(const char16_t* outFile, unsigned options) {
    options_ = options & ~UL_ZDBMON_HEADER;
    int rc;
    if (outFile) {
        if (!ul_fileexists(outFile)) options_ |= UL_ZDBMON_HEADER;
        rc = out_.open(outFile, UL_TEXT_APPEND);
    } else {
        options_ |= UL_ZDBMON_HEADER;
        rc = out_.attach(stdout, u"stdout");
    }
    if (rc < 0) {
        ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot write to '%s'", outFile);
        return UL_ERROR_RETURN(-1);
    }
    if (!(options_ & UL_ZDBMON_HEADER)) return 0;
    std::u16string header = u"#TIMESTAMP";
    for (size_t i = 0; i < n_; ++i)
        header += u":" + std::u16string(stmts_[i].name) + (stmts_[i].cpuCounter ? u"_PERC" : u"");
    previous_.assign(n_, UL_ZDBMON_NOVALUE);
    if (out_.writeLine(header.c_str()) < 0 || out_.flush() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

int ULZdbMonitor::collect() {
    for (size_t i = 0; i < n_; ++i) {
        previous_[i] = current_[i];
        current_[i] = UL_ZDBMON_NOVALUE;
        AuxCollectMemInfo collect(&current_[i], stmts_[i].name);
        if (ULSQLStmt::run(stmts_[i].statement, &kCharColumn, 1, &collect, nullptr, 0) < 0)
            return UL_ERROR_RETURN(-1);
        if ((options_ & UL_ZDBMON_VERBOSE) &&
            printf("\t%-20s %10lu\n", ul_utf16to8(stmts_[i].name).c_str(),
                   static_cast<unsigned long>(current_[i])) < 0)
            return ul_errorfail(u"Cannot write to 'stdout'");
    }
    return 0;
}

int ULZdbMonitor::sampleLine(time_t now, std::u16string* out) const {
    char16_t stamp[32];
    if (ul_timegetstamp(stamp, std::size(stamp), now, UL_STAMP_DIGITS) < 0)
        return UL_ERROR_RETURN(-1);
    std::u16string& line = *out;
    line = stamp;
    const double seconds = previousTime_ >= 0 ? difftime(now, previousTime_) : 0;
    for (size_t i = 0; i < n_; ++i) {
        if (!stmts_[i].cpuCounter) {
            line += ul_format(u";%lu", static_cast<unsigned long>(current_[i]));
        } else if (previousTime_ < 0 || seconds <= 0) {
            line += u";0";
        } else {
            // Milliseconds of CPU time per second of wall time, in percent of one CPU.
            const uint64_t used = current_[i] - previous_[i];
            line += ul_format(u";%.2f", static_cast<double>(used) * 0.1 / seconds);
        }
    }
    return 0;
}

int ULZdbMonitor::sample(time_t now) {
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) return UL_ERROR_RETURN(-1);
    if (collect() < 0) return ul_sqldisconnectfailed();
    if (ul_sqldisconnect(0) < 0) return UL_ERROR_RETURN(-1);
    std::u16string line;
    if (sampleLine(now, &line) < 0 || out_.writeLine(line.c_str()) < 0 || out_.flush() < 0)
        return UL_ERROR_RETURN(-1);
    previousTime_ = now;
    return 0;
}

namespace {

int parseMonitorOptions(unsigned argc, const char16_t** argv, const char16_t** outFile,
                        long* sleepSeconds, unsigned* options) {
    for (unsigned i = 1; i < argc; ++i) {
        if (const char16_t* v = ul_stringstarticmp(argv[i], u"outfile=")) {
            *outFile = v;
        } else if (const char16_t* s = ul_stringstarticmp(argv[i], u"sleep=")) {
            if (ul_stringtocount(s, sleepSeconds) < 0) return UL_ERROR_RETURN(-1);
        } else if (ul_stricmp(argv[i], u"verbose") == 0) {
            *options |= UL_ZDBMON_VERBOSE;
        } else if (ul_stricmp(argv[i], u"keeprunning") == 0) {
            *options |= UL_ZDBMON_KEEPRUNNING;
        } else {
            return ul_errorfail(ul_format(u"Unknown option '%s'", argv[i]));
        }
    }
    return 0;
}

int monitorLoop(ULZdbMonitor* monitor, long sleepSeconds) {
    for (;;) {
        if (monitor->sample(time(nullptr)) < 0) return UL_ERROR_RETURN(-1);
        if (sleepSeconds < 0) return 0;
        ul_sleep(static_cast<double>(sleepSeconds));
        if (!(monitor->options() & UL_ZDBMON_KEEPRUNNING) && !ul_isparentalive()) {
            printf("** Parent died - exiting.\n");
            fflush(stdout);
            return 0;
        }
    }
}

}  // namespace

int cmd_ZDBMONITOR(unsigned int argc, const char16_t** argv) {
    const char16_t* outFile = nullptr;
    long sleepSeconds = -1;
    unsigned options = 0;
    if (parseMonitorOptions(argc, argv, &outFile, &sleepSeconds, &options) < 0)
        return UL_ERROR_RETURN(-1);
    const ul_sqldbsupport_t* row = ul_sqlselectdbsupport();
    if (!row) return UL_ERROR_RETURN(-1);
    if (!row->monitorStmts) return notSupported(u"Monitoring memory and CPU", row);
    ULZdbMonitor monitor(row->monitorStmts);
    if (monitor.open(outFile, options) < 0) return UL_ERROR_RETURN(-1);
    if (monitorLoop(&monitor, sleepSeconds) < 0) {
        (void)monitor.close();  // the sampling failure is the one to report
        return UL_ERROR_RETURN(-1);
    }
    return monitor.close() < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// ---- clock check -----------------------------------------------------------------------------

int ul_zdbchecktimediff(time_t now) {
    const ul_sqldbsupport_t* row = ul_sqlcurrentdbsupport();
    if (!row) row = ul_sqlselectdbsupport();
    if (!row) return UL_ERROR_RETURN(-1);
    if (!row->clockStmt) return notSupported(u"Reading the database clock", row);
    time_t clock[2] = {-1, -1};
    AuxReadZDBTime readTime(clock, 2);
    if (ULSQLStmt::run(row->clockStmt, kClockColumns, 2, &readTime, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    if (clock[0] == static_cast<time_t>(-1))
        return ul_errorfail(u"The database returned no time");
    const double d = difftime(clock[0], now == static_cast<time_t>(-1) ? time(nullptr) : now);
    if (std::fabs(d) > UL_ZDB_MAXTIMEDIFF) {
        if (ul_msgwrite_printf399(1, u'E',
                                  u"Zentra DB is %f seconds in the future - this is not "
                                  u"acceptable",
                                  d) < 0)
            return UL_ERROR_RETURN(-1);
        return 2;
    }
    if (ul_msgwrite_printf399(1, u' ', u"Time difference Zentra - local = %.3f.", d) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int cmd_ZDBUTIL(unsigned int argc, const char16_t** argv) {
    const char16_t* mode = argc > 1 ? argv[1] : nullptr;
    if (!mode || ul_strcmp(mode, u"checktimediff") != 0)
        return ul_errorfail(ul_format(u"Unknown mode '%s'", mode ? mode : u"NULL"));
    return ul_zdbchecktimediff(-1);
}

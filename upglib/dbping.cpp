#include "dbping.h"

#include <sys/time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tabrix.h"
#include "ulerror.h"
#include "ulfile.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultime.h"
#include "ultrace.h"

namespace {

constexpr size_t kNameSize = 256;
constexpr unsigned kVersionSize = 33;  // 32 characters and the terminator

// Standard output as the commands' result stream.
class StdoutWriter : public ULTextFileWriter {
  public:
    StdoutWriter() { attach(stdout, u"stdout"); }
};

// ---- dbping -------------------------------------------------------------------------------

constexpr char16_t kPingUsage[] = u"Usage: tabrix dbping [sleep=<sleeptime>] [<nrofpings>]\n";
constexpr char16_t kPingStatement[] = u"SELECT * FROM SVERS";

// One row answers a ping; fetching the rest would measure the table, not the round trip.
class AuxPingFirstRow : public ULSQLCallBack {
  public:
    int handleRow(unsigned, const unsigned char**, const char16_t**, unsigned*, unsigned) override {
        return 1;
    }
};


double nowMilliseconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1000 + static_cast<double>(t.tv_usec) * 0.001;
}

// Elapsed milliseconds of one execute of the prepared statement.
int timedPing(ULSQLStmt* stmt, double* elapsed) {
    AuxPingFirstRow firstRow;
    timeval before{};
    timeval after{};
    gettimeofday(&before, nullptr);
    const long rc = stmt->execute(&firstRow, nullptr, 0);
    gettimeofday(&after, nullptr);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    *elapsed = nowMilliseconds(after) - nowMilliseconds(before);
    return 0;
}

int runPings(long pings, double sleepTime, double* total, double* squares) {
    ULSQLStmt stmt;
    AuxPingFirstRow firstRow;
    // The first execute pays for opening the table; it is not counted.
    if (stmt.prepare(kPingStatement, nullptr, 0, nullptr, 0, 0) < 0 ||
        stmt.execute(&firstRow, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    for (long i = 1; i <= pings; ++i) {
        double elapsed = 0;
        if (timedPing(&stmt, &elapsed) < 0) return UL_ERROR_RETURN(-1);
        if (ul_msgwrite_printf399(2, u' ', u"Ping #%2d: elapsed %.1f ms", static_cast<int>(i),
                                  elapsed) < 0)
            return UL_ERROR_RETURN(-1);
        *total += elapsed;
        *squares += elapsed * elapsed;
        if (i < pings) ul_sleep(sleepTime);
    }
    return 0;
}

}  // namespace

int cmd_DBPING(unsigned int argc, const char16_t** argv) {
    double sleepTime = 1.0;
    long pings = 30;
    for (unsigned i = 1; i < argc; ++i) {
        if (const char16_t* value = ul_stringstarticmp(argv[i], u"sleep=")) {
            if (ul_sqlparsenumber(value, &sleepTime) < 0) return ul_cmdprintusage(kPingUsage);
        } else if (!ul_isdigit(argv[i][0]) || ul_stringtolong(argv[i], &pings) < 0) {
            return ul_cmdprintusage(kPingUsage);
        }
    }
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    char16_t host[kNameSize];
    if (ul_sqlgetdbhost(host, kNameSize) < 0 ||
        ul_msgwrite_printf399(1, u' ', u"Pinging database host '%s' %d times.", host,
                              static_cast<int>(pings)) < 0)
        return ul_sqldisconnectfailed();
    double total = 0;
    double squares = 0;
    if (pings > 0 && runPings(pings, sleepTime, &total, &squares) < 0)
        return ul_sqldisconnectfailed();
    if (ul_sqldisconnect(0) < 0) return UL_ERROR_RETURN(-1);
    if (pings > 0) {
        const double n = static_cast<double>(pings);
        const double mean = total / n;
        // Rounding may leave a tiny negative variance for equal times.
        const double deviation = std::sqrt(std::fmax(0.0, squares / n - mean * mean));
        if (ul_msgwrite_print(1, u' ', 550, 0, mean, deviation) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// ---- dbversion ----------------------------------------------------------------------------

namespace {

enum class VersionKind { Plain, Client, Extended };

// The schema lines of dbversionext. The blue, green and data schemas only exist on
// view-layer systems and are listed only when set.
int writeSchemaLines(ULTextFileWriter* out) {
    const char16_t* user = ul_sqlgetdbschema0(UL_SCHEMA_USER);
    if (!user || out->writeFmt(u"DBUSER=%s\n", user) < 0) return UL_ERROR_RETURN(-1);
    const char16_t* schema = ul_sqlgetdbschema0(UL_SCHEMA_WORK);
    if (!schema || out->writeFmt(u"DBSCHEMA=%s\n", schema) < 0) return UL_ERROR_RETURN(-1);
    const int viewLayer = ul_sqlisviewlayer(0);
    if (viewLayer < 0 || out->writeFmt(u"IS_VIEWLAYER=%d\n", viewLayer) < 0)
        return UL_ERROR_RETURN(-1);
    if (viewLayer == 0) return 0;
    const struct {
        const char16_t* format;
        unsigned selector;
    } lines[] = {
        {u"DBSCHEMA_BLUE=%s\n", UL_SCHEMA_TOOLSBLUE},
        {u"DBSCHEMA_GREEN=%s\n", UL_SCHEMA_TOOLSGREEN},
        {u"DBSCHEMA_DATA=%s\n", UL_SCHEMA_USER},
    };
    for (const auto& line : lines) {
        const char16_t* value = ul_sqlgetdbschema0(line.selector | UL_SCHEMA_ACCEPTEMPTY);
        if (!value) return UL_ERROR_RETURN(-1);
        if (*value && out->writeFmt(line.format, value) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int writeVersionLines(VersionKind kind) {
    StdoutWriter out;
    char16_t version[kVersionSize];
    char16_t client[kVersionSize];
    char16_t host[kNameSize];
    if (ul_sqlgetdbversion(version, kVersionSize, client, kVersionSize) < 0 ||
        ul_sqlgetdbhost(host, kNameSize) < 0)
        return UL_ERROR_RETURN(-1);
    if (out.writeFmt(u"DBVERSION=%s\n", version) < 0 ||
        out.writeFmt(u"CLIENTVERSION=%s\n", client) < 0 || out.writeFmt(u"DBHOST=%s\n", host) < 0)
        return UL_ERROR_RETURN(-1);
    if (kind == VersionKind::Extended && writeSchemaLines(&out) < 0) return UL_ERROR_RETURN(-1);
    return out.flush() < 0 ? UL_ERROR_RETURN(-1) : 0;
}

}  // namespace

int cmd_DBVERSION(unsigned int, const char16_t** argv) {
    VersionKind kind;
    if (ul_stricmp(argv[0], u"dbversion") == 0) {
        kind = VersionKind::Plain;
    } else if (ul_stricmp(argv[0], u"dbversionclient") == 0) {
        kind = VersionKind::Client;
    } else if (ul_stricmp(argv[0], u"dbversionext") == 0) {
        kind = VersionKind::Extended;
    } else {
        ul_errorsetmsgfmt(0, u"Illegal command '%s'", argv[0]);
        return UL_ERROR_RETURN(-1);
    }
    if (kind == VersionKind::Client) {
        char16_t client[kVersionSize];
        StdoutWriter out;
        if (ul_sqlgetclientversion(client, kVersionSize) < 0 ||
            out.writeFmt(u"CLIENTVERSION=%s\n", client) < 0 || out.flush() < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) return UL_ERROR_RETURN(-1);
    if (writeVersionLines(kind) < 0) return ul_sqldisconnectfailed();
    return ul_sqldisconnect(0) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int ULHexLines::add(const unsigned char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        line_[fill_++] = bytes[i];
        if (fill_ == kBytesPerLine && emitLine() < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULHexLines::finish() {
    if (fill_ > 0 && emitLine() < 0) return UL_ERROR_RETURN(-1);
    if (skipped_ > 0 && sink_(ul_format(u"*<skip %#lx trailing zeroes>", skipped_)) < 0)
        return UL_ERROR_RETURN(-1);
    skipped_ = 0;
    return 0;
}

int ULHexLines::emitLine() {
    const size_t n = fill_;
    fill_ = 0;
    bool zero = true;
    for (size_t i = 0; i < n; ++i) zero = zero && line_[i] == 0;
    if (zero && !(mode_ & UL_HEX_NOCOMPRESSION)) {
        skipped_ += static_cast<long>(n);
        offset_ += static_cast<long>(n);
        return 0;
    }
    if (skipped_ > 0 && sink_(ul_format(u"*<skip %#lx zeroes>", skipped_)) < 0)
        return UL_ERROR_RETURN(-1);
    skipped_ = 0;
    text_ = ul_format(u"%0*lx", 6, offset_);
    for (size_t i = 0; i < n; ++i) text_ += ul_format(u" %02x", line_[i]);
    if (!(mode_ & UL_HEX_NOCHARACTERS)) {
        text_.append(3 * (kBytesPerLine - n), u' ');
        text_ += u' ';
        for (size_t i = 0; i < n; ++i)
            text_ += line_[i] >= 0x20 && line_[i] < 0x7f ? char16_t(line_[i]) : u'.';
    }
    offset_ += static_cast<long>(n);
    return sink_(text_);
}

// ---- hexdump ------------------------------------------------------------------------------

namespace {

constexpr char16_t kHexUsage[] = u"Usage: hexdump <filename> [<offset> [<length>]]\n";
constexpr size_t kReadPiece = 4096;

int dumpHex(const char16_t* path, long mode, long offset, long length) {
    ULFileHandle owner(fopen(ul_utf16to8(path).c_str(), "rb"));
    FILE* file = owner.get();
    if (!file) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    if (fseek(file, offset, SEEK_SET) != 0) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot seek to offset %d in '%s'",
                          static_cast<int>(offset), path);
        return UL_ERROR_RETURN(-1);
    }
    StdoutWriter out;
    ULHexLines lines(
        [&out](const std::u16string& line) { return out.writeLine(line.c_str()); }, mode,
        offset);
    unsigned char piece[kReadPiece];
    long left = length;
    while (left != 0) {
        const size_t want = left < 0 || left > static_cast<long>(kReadPiece)
                                ? kReadPiece
                                : static_cast<size_t>(left);
        const size_t got = fread(piece, 1, want, file);
        if (got == 0) {
            if (ferror(file)) {
                ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read '%s'", path);
                return UL_ERROR_RETURN(-1);
            }
            break;
        }
        if (lines.add(piece, got) < 0) return UL_ERROR_RETURN(-1);
        if (left > 0) left -= static_cast<long>(got);
    }
    if (lines.finish() < 0 || out.flush() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

}  // namespace

int cmd_HEXDUMP(unsigned int argc, const char16_t** argv) {
    // The digits directly behind the command word.
    long mode = 0;
    for (const char16_t* p = ul_stringstartcmp(argv[0], u"hexdump"); p && ul_isdigit(*p); ++p)
        mode = mode * 10 + (*p - u'0');
    long offset = 0;
    long length = -1;  // to the end of the file
    if (argc < 2 || argc > 4 || (argc > 2 && ul_stringtolong(argv[2], &offset) < 0) ||
        (argc > 3 && (ul_stringtolong(argv[3], &length) < 0 || length < 0))) {
        return ul_cmdprintusage(kHexUsage);
    }
    return dumpHex(argv[1], mode, offset, length) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// ---- dbtabpos -----------------------------------------------------------------------------

int cmd_DBTABPOS(unsigned int argc, const char16_t** argv) {
    const char16_t* files[2] = {nullptr, nullptr};
    unsigned nfiles = 0;
    for (unsigned i = 1; i < argc; ++i) {
        // -f, -i and -d choose what to report; no database interface of this system reports
        // positions, so they change nothing yet.
        if (ul_strcmp(argv[i], u"-f") == 0 || ul_strcmp(argv[i], u"-i") == 0 ||
            ul_strcmp(argv[i], u"-d") == 0)
            continue;
        if (nfiles == 2) {
            ul_errorsetmsgfmt(0, u"Too many arguments '%s'", argv[i]);
            return UL_ERROR_RETURN(-1);
        }
        files[nfiles++] = argv[i];
    }
    if (nfiles == 0) {
        ul_errorsetmsg(0, u"Missing argument");
        return UL_ERROR_RETURN(-1);
    }
    ULTextFileReader in;
    ULTextFileWriter out;
    if (in.open(files[0]) < 0 ||
        (files[1] ? out.open(files[1]) : out.attach(stdout, u"stdout")) < 0)
        return UL_ERROR_RETURN(-1);
    int rc;
    while ((rc = in.readLine()) > 0) {
        ul_stringtrim(in.line());
        if (!*in.line() || *in.line() == u'#') continue;
        UL_TRACE(UL_TRC_SQLTOOL, 2, u"Column positions of '%s' requested\n", in.line());
        ul_errorsetmsg(0, u"DbTabPos not supported by this database interface");
        return UL_ERROR_RETURN(-1);
    }
    if (rc < 0 || out.close() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

// ---- dumptable ----------------------------------------------------------------------------

namespace {

struct DumpOptions {
    const char16_t* outFile = nullptr;
    const char16_t* comment = nullptr;
    const char16_t* orderBy = nullptr;
    bool sort = false;
    std::vector<const char16_t*> tables;
};

void parseDumpOptions(unsigned argc, const char16_t** argv, DumpOptions* options) {
    for (unsigned i = 1; i < argc; ++i) {
        const char16_t* value;
        if ((value = ul_stringstarticmp(argv[i], u"outfile=")))
            options->outFile = value;
        else if ((value = ul_stringstarticmp(argv[i], u"comment=")))
            options->comment = value;
        else if ((value = ul_stringstarticmp(argv[i], u"orderby=")))
            options->orderBy = value;
        else if (ul_stricmp(argv[i], u"sort") == 0)
            options->sort = true;
        else
            options->tables.push_back(argv[i]);
    }
}

int writeText(FILE* stream, const std::u16string& text, const char16_t* fileName) {
    const std::string bytes = ul_utf16to8(text.c_str(), text.size());
    if (fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size()) return 0;
    ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write line to '%s'", fileName);
    return UL_ERROR_RETURN(-1);
}

int dumpTables(FILE* stream, const DumpOptions& options, const char16_t* fileName) {
    const int mode = UL_DUMP_HEADER | UL_DUMP_FIELDDESCS | (options.sort ? UL_DUMP_KEYORDER : 0);
    for (const char16_t* table : options.tables) {
        const std::u16string title = options.comment ? ul_format(u"# %s\n", options.comment)
                                                     : ul_format(u"# Table: %s\n", table);
        if (writeText(stream, title, fileName) < 0 ||
            ul_sqltabledump(stream, table, options.orderBy, mode, fileName) < 0)
            return UL_ERROR_RETURN(-1);
    }
    if (fflush(stream) != 0) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write to '%s'", fileName);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

}  // namespace

int cmd_DUMPTABLE(unsigned int argc, const char16_t** argv) {
    DumpOptions options;
    parseDumpOptions(argc, argv, &options);
    if (options.tables.empty()) return 0;
    const char16_t* fileName = options.outFile ? options.outFile : u"stdout";
    FILE* stream = stdout;
    ULFileHandle owner;
    if (options.outFile) {
        owner = ULFileHandle(fopen(ul_utf16to8(options.outFile).c_str(), "w"));
        stream = owner.get();
        if (!stream) {
            ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot open '%s' for writing", options.outFile);
            return UL_ERROR_RETURN(-1);
        }
    }
    int rc = ul_sqlconnect2(0);
    if (rc == 0) rc = dumpTables(stream, options, fileName);
    if (rc == 0) rc = ul_sqldisconnect(0);
    if (rc < 0) ul_sqldisconnectfailed();
    if (rc == 0 && owner.closeChecked(options.outFile) < 0) rc = -1;
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// ---- table dump ---------------------------------------------------------------------------

namespace {

// Owns the description block of ul_sqltablegetoiflags.
struct DescsBlock {
    ul_sqlfielddesc_t* descs = nullptr;
    unsigned n = 0;
    ~DescsBlock() { free(descs); }
};

// Owns the field array of ul_sqltablegetfields.
struct FieldArray {
    const char16_t** fields = nullptr;
    unsigned n = 0;
    ~FieldArray() {
        if (fields) ul_sqltablefreefields(fields, n);
    }
};

// The select list of the described columns, each as its quoted name with its name as alias, so
// that the header shows the names as the nametab has them.
int appendColumns(std::u16string* sql, const DescsBlock& columns) {
    for (unsigned i = 0; i < columns.n; ++i) {
        if (i > 0) *sql += u", ";
        if (ul_sqlappendquotedname(sql, columns.descs[i].name, 0) < 0) return UL_ERROR_RETURN(-1);
        *sql += u" \"";
        for (const char16_t* p = columns.descs[i].name; *p; ++p) {
            if (*p == u'"') *sql += u'"';  // an embedded quote is doubled in the alias too
            *sql += *p;
        }
        *sql += u'"';
    }
    return 0;
}

int appendKeyOrder(std::u16string* sql, const ULLDObject& object) {
    FieldArray keys;
    if (ul_sqltablegetfields(&object, &keys.fields, &keys.n, 1) < 0) return UL_ERROR_RETURN(-1);
    for (unsigned i = 0; i < keys.n; ++i) {
        *sql += i == 0 ? u" ORDER BY " : u", ";
        if (ul_sqlappendquotedname(sql, keys.fields[i], 0) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

}  // namespace

int ul_sqltabledump(FILE* stream, const char16_t* table, const char16_t* orderBy, int mode,
                    const char16_t* fileName) {
    const bool ordered = orderBy && *orderBy;
    const bool byKey = (mode & UL_DUMP_KEYORDER) && !ordered;
    ULLDObject object;
    if ((mode & UL_DUMP_FIELDDESCS) || byKey) {
        ULNameTab nametab(table, 0);
        if (nametab.getTableInfo(&object) < 0) return UL_ERROR_RETURN(-1);
        // Their rows have to be restored from the physical cluster or pool table first.
        if (object.options.logicalType != UL_LOGTABLE_NONE) {
            ul_errorsetmsgfmt(0,
                              u"Cannot dump '%s': logical cluster and pool tables cannot be "
                              u"dumped yet",
                              table);
            return UL_ERROR_RETURN(-1);
        }
    }
    DescsBlock columns;
    std::u16string sql = u"SELECT ";
    if (mode & UL_DUMP_FIELDDESCS) {
        if (ul_sqltablegetoiflags(&object, nullptr, 0, &columns.descs, &columns.n, 0) < 0 ||
            appendColumns(&sql, columns) < 0)
            return UL_ERROR_RETURN(-1);
    } else {
        sql += u"*";
    }
    sql += u" FROM ";
    if (ul_sqlappendquotedname(&sql, table, UL_QUOTE_TABSUFFIX) < 0) return UL_ERROR_RETURN(-1);
    if (ordered) sql += ul_format(u" ORDER BY %s", orderBy);
    if (byKey && appendKeyOrder(&sql, object) < 0) return UL_ERROR_RETURN(-1);

    ULSQLLogCSVLines lines(stream, fileName);
    const int execMode = (mode & UL_DUMP_HEADER) ? UL_SQLMODE_HDR_NAME : 0;
    return ULSQLStmt::run(sql.c_str(), columns.descs, columns.n, &lines, nullptr, execMode) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

// tabrix-fillcluster: fills a physical cluster or pool table from transparent tables of the
// same layouts as its logical tables, in the stored format of docs/cluster-tables.md. For test
// and demo data: the rows of the physical table are held in memory until they are written.
//
//   tabrix-fillcluster <physical table> [pagesize=<bytes>] [compress] [suffix=<text>]
//
// Each logical table L (the nametab rows whose REFNAME is the physical table) is read from the
// transparent table "L<suffix>" (suffix "_SRC" unless given). The physical table is expected
// empty. Exit code 0, 5 for usage, 20 on error (the reason on standard error).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ulerror.h"
#include "ulnametab.h"
#include "ulsqlbase.h"
#include "ulsqlcluster.h"
#include "ulsqlutil.h"
#include "ulstring.h"

namespace {

constexpr const char* kProgram = "tabrix-fillcluster";

struct Options {
    std::u16string physical;
    unsigned pageSize = 3800;
    bool compress = false;
    std::u16string suffix = u"_SRC";
};

int usage() {
    std::fprintf(stderr,
                 "Usage: %s <physical table> [pagesize=<bytes>] [compress] [suffix=<text>]\n",
                 kProgram);
    return 5;
}

int fail() {
    std::fprintf(stderr, "%s: %s\n", kProgram, ul_utf16to8(ul_errorgetmsg()).c_str());
    return 20;
}

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("pagesize=", 0) == 0) {
            char* end = nullptr;
            const unsigned long v = std::strtoul(a.c_str() + 9, &end, 10);
            if (!*(a.c_str() + 9) || *end || v < 16 || v > 0x7FFFFFFF) return false;
            o->pageSize = static_cast<unsigned>(v);
        } else if (a == "compress") {
            o->compress = true;
        } else if (a.rfind("suffix=", 0) == 0) {
            o->suffix = ul_utf8to16(a.c_str() + 7);
        } else if (o->physical.empty() && !a.empty() && a.find('=') == std::string::npos) {
            o->physical = ul_utf8to16(a.c_str());
        } else {
            return false;
        }
    }
    return !o->physical.empty();
}

// Collects the first column of the rows.
class Names : public ULSQLCallBack {
  public:
    int handleRow(unsigned flags, const unsigned char**, const char16_t** values, unsigned*,
                  unsigned) override {
        if ((flags & UL_ROW_DATA) && values && values[0]) names.emplace_back(values[0]);
        return 0;
    }
    std::vector<std::u16string> names;
};

// Hands the rows of a transparent table to the writer as rows of a logical table.
class Feed : public ULSQLCallBack {
  public:
    Feed(ULSQLLogicalWriter* writer, const char16_t* table) : writer_(writer), table_(table) {}
    bool takesNulInText() const override { return true; }
    int handleRow(unsigned flags, const unsigned char** raw, const char16_t**, unsigned* lengths,
                  unsigned ncols) override {
        if (!(flags & UL_ROW_DATA)) return 0;
        ++rows;
        return writer_->addRow(table_, raw, lengths, ncols);
    }
    unsigned long rows = 0;

  private:
    ULSQLLogicalWriter* writer_;
    const char16_t* table_;
};

int logicalTables(const Options& o, std::vector<std::u16string>* out) {
    const char16_t* ddntt = ULNameTab::getNameTabName(0);
    if (!ddntt) return -1;
    ULSQLStmt query;
    std::u16string sql = u"SELECT TABNAME FROM ";
    if (ul_sqlappendquotedname(&sql, ddntt, 0) < 0) return -1;
    sql += u" WHERE REFNAME = ? ORDER BY TABNAME";
    Names names;
    if (query.prepare(sql.c_str(), nullptr, 0, nullptr, 0, 0) < 0 ||
        query.bindParamS(0, o.physical.c_str()) < 0 || query.execute(&names, nullptr, 0) < 0)
        return -1;
    if (names.names.empty()) {
        ul_errorsetmsgfmt(0, u"No logical tables of '%s' in '%s'", o.physical.c_str(), ddntt);
        return -1;
    }
    *out = names.names;
    return 0;
}

int fillTable(ULSQLLogicalWriter* writer, const std::u16string& table, const Options& o) {
    ul_sqlfielddesc_t* descs = nullptr;
    unsigned n = 0;
    if (writer->addTable(table.c_str()) < 0 ||
        ul_sqltablegetoiflags(table.c_str(), nullptr, 0, &descs, &n, 0) < 0)
        return -1;
    const std::u16string source = table + o.suffix;
    ULSQLStmt query;
    Feed feed(writer, table.c_str());
    std::u16string sql = u"SELECT * FROM ";
    const int rc = ul_sqlappendquotedname(&sql, source.c_str(), 0) < 0 ||
                           query.prepare(sql.c_str(), nullptr, 0, descs, n, 0) < 0 ||
                           query.execute(&feed, nullptr, 0) < 0
                       ? -1
                       : 0;
    free(descs);
    if (rc < 0) {
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot copy '%s' into logical table '%s'",
                          source.c_str(), table.c_str());
        return -1;
    }
    std::printf("%s: %lu rows\n", ul_utf16to8(table.c_str()).c_str(), feed.rows);
    return 0;
}

int run(const Options& o) {
    std::vector<std::u16string> tables;
    ULSQLLogicalWriter writer;
    if (logicalTables(o, &tables) < 0 ||
        writer.open(o.physical.c_str(), o.pageSize, o.compress) < 0)
        return -1;
    for (const std::u16string& t : tables)
        if (fillTable(&writer, t, o) < 0) return -1;
    if (writer.close() < 0) return -1;
    std::printf("Wrote %lu rows of '%s'.\n", writer.rowsWritten(),
                ul_utf16to8(o.physical.c_str()).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) return usage();
    if (ul_sqlconnect2(UL_CONNECT_QUIET) < 0) return fail();
    if (run(o) < 0) {
        (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);  // the error text is what matters
        return fail();
    }
    return ul_sqldisconnect(0) < 0 ? fail() : 0;
}

#include "scancluster.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbping.h"
#include "tabrix.h"
#include "ulcrc.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulq7ldobj.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlbase2.h"
#include "ulsqlcluster.h"
#include "ulsqlcluster2.h"
#include "ulsqlcondition.h"
#include "ulsqlmigtables.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulsqlwherefile.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

int message(char16_t severity, const std::u16string& text) {
    return ul_msgwrite_line399(1, severity, text);
}

// The value behind "keyword=" (any case), or null when word is not that option.
const char16_t* optionValue(const char16_t* word, const char16_t* keyword) {
    return ul_stringstarticmp(word, keyword);
}

unsigned bigEndian(const unsigned char* p, unsigned n) {
    unsigned v = 0;
    for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

// Reads the nametab entry of a table with its column descriptions (owned by names/descs).
struct TableInfo {
    ULLDObject object;
    std::vector<ul_sqlfielddesc_t> descs;
    std::vector<std::u16string> names;
    int oiflags = 0;

    int read(const char16_t* table) {
        ULNameTab nametab(table, 0);
        if (nametab.getTableInfo(&object) < 0) return UL_ERROR_RETURN(-1);
        ul_sqlfielddesc_t* block = nullptr;
        unsigned n = 0;
        oiflags = ul_sqltablegetoiflags(&object, nullptr, 0, &block, &n, 0);
        if (oiflags < 0) return UL_ERROR_RETURN(-1);
        const int rc = ul_guarded([&] {
            names.assign(n, {});
            descs.assign(block, block + n);
            for (unsigned i = 0; i < n; ++i) {
                names[i] = block[i].name ? block[i].name : u"";
                descs[i].name = names[i].c_str();
            }
            return 0;
        });
        free(block);
        return rc;
    }
};

// The conditions of table in a where file; fails when the file has none for it.
int readConditions(const char16_t* file, const char16_t* table, ULTableSplitList* list,
                   ULTableSplit** split) {
    if (message(u' ', ul_format(u"Reading where conditions from '%s'.", file)) < 0 ||
        ul_sqlreadwherefile(list, file, table, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    *split = list->get(table, UL_HASH_QUIET);
    if (!*split || (*split)->isEmpty())
        return ul_errorfail(ul_format(u"No where conditions for '%s' in '%s'", table, file));
    return 0;
}

// ---- scancluster ---------------------------------------------------------------------------

constexpr char16_t kScanUsage[] =
    u"Usage: tabrix scancluster "
    u"[nocontent|noswapfile|memsize=<size>|maxfilesize=<size>|wherefile=<wherefile>] "
    u"<physical_cluster_name>\n";
constexpr size_t kDistributionLine = 71;
constexpr unsigned kStatementWidth = 70;

struct FlagOption {
    const char16_t* name;
    bool ul_scanclusteropts_t::*member;
};

constexpr FlagOption kFlagOptions[] = {
    {u"nocontent", &ul_scanclusteropts_t::nocontent},
    {u"noswapfile", &ul_scanclusteropts_t::noswapfile},
    {u"keepswapfile", &ul_scanclusteropts_t::keepswapfile},
    {u"use_order_by", &ul_scanclusteropts_t::orderBy},
    {u"allow_dup_rows", &ul_scanclusteropts_t::allowDups},
    {u"check_dup_rows", &ul_scanclusteropts_t::checkDups},
    {u"allow_excess_rows", &ul_scanclusteropts_t::allowExcess},
    {u"printchksum", &ul_scanclusteropts_t::printChksum},
    {u"printdata", &ul_scanclusteropts_t::printData},
};

int parseSize(const char16_t* text, unsigned long long* out) {
    const long value = ul_getlongvalue(text, 0);
    if (value < 0) return UL_ERROR_RETURN(-1);
    *out = static_cast<unsigned long long>(value);
    return 0;
}

int parseul_scanclusteropts_t(unsigned argc, const char16_t** argv, ul_scanclusteropts_t* o) {
    for (unsigned i = 1; i < argc; ++i) {
        const char16_t* word = argv[i];
        const FlagOption* flag = std::find_if(
            std::begin(kFlagOptions), std::end(kFlagOptions),
            [word](const FlagOption& f) { return ul_stricmp(word, f.name) == 0; });
        if (flag != std::end(kFlagOptions)) {
            o->*(flag->member) = true;
        } else if (const char16_t* v = optionValue(word, u"memsize=")) {
            if (parseSize(v, &o->memsize) < 0) return UL_ERROR_RETURN(-1);
        } else if (const char16_t* v = optionValue(word, u"maxfilesize=")) {
            if (parseSize(v, &o->maxfilesize) < 0) return UL_ERROR_RETURN(-1);
        } else if (const char16_t* v = optionValue(word, u"wherefile=")) {
            o->wherefile = v;
        } else if (!o->table) {
            o->table = word;
        } else {
            return ul_errorfail(ul_format(u"Unknown option '%s'", word));
        }
    }
    return 0;
}

// The physical table as the scan reads it.
struct ClusterLayout {
    TableInfo info;
    unsigned nkeys = 0;   // grouping key fields; the page number follows them
    int stampColumn = -1;  // TIMESTMP among the fields, -1: none
    unsigned frameSize = 0;

    int read(const char16_t* table) {
        if (info.read(table) < 0) return UL_ERROR_RETURN(-1);
        const unsigned n = static_cast<unsigned>(info.descs.size());
        nkeys = info.object.getPackedKeyFields();
        if (!(info.oiflags & UL_OIFLAG_CLUSTER) || nkeys + 3 > n)
            return ul_errorfail(ul_format(u"'%s' is not a cluster", table));
        for (unsigned i = nkeys + 1; i + 2 < n; ++i)
            if (ul_stricmp(info.descs[i].name, u"TIMESTMP") == 0) stampColumn = static_cast<int>(i);
        frameSize = info.descs[n - 1].length;
        if (frameSize == 0)
            return ul_errorfail(ul_format(u"Page data field '%s' of '%s' has no length",
                                          info.descs[n - 1].name, table));
        return 0;
    }
};

// Builds the scan statement: all fields, the condition, the key order on request.
int scanStatement(const ClusterLayout& layout, const char16_t* table, const char16_t* condition,
                  bool orderBy, std::u16string* sql) {
    *sql = u"SELECT ";
    const auto& descs = layout.info.descs;
    for (size_t i = 0; i < descs.size(); ++i) {
        if (i) *sql += u", ";
        if (ul_sqlappendquotedname(sql, descs[i].name, 0) < 0) return UL_ERROR_RETURN(-1);
    }
    *sql += u" FROM ";
    if (ul_sqlappendquotedname(sql, table, UL_QUOTE_TABSUFFIX) < 0) return UL_ERROR_RETURN(-1);
    std::u16string order;
    if (orderBy) {
        order = u" ORDER BY";
        for (unsigned k = 0; k < layout.info.object.structure.nkeys; ++k) {
            order += k ? u"," : u" ";
            if (ul_sqlappendquotedname(&order, descs[k].name, 0) < 0) return UL_ERROR_RETURN(-1);
        }
    }
    if (condition) {
        *sql += u" WHERE ";
        ul_sqlappendembedded(sql, condition, order);
    } else {
        *sql += order;
    }
    return 0;
}

// Turns the fetched pages into ULClusterScan::page calls.
class AuxScanCluster : public ULSQLCallBack {
  public:
    AuxScanCluster(ULClusterScan* scan, const ClusterLayout& layout)
        : scan_(scan), layout_(layout) {}
    bool takesNulInText() const override { return true; }
    bool wantsText(unsigned column) const override {
        return column < layout_.nkeys || static_cast<int>(column) == layout_.stampColumn;
    }
    int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                  unsigned* lengths, unsigned ncols) override;

  private:
    ULClusterScan* scan_;
    const ClusterLayout& layout_;
    std::u16string key_;
};

int AuxScanCluster::handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                              unsigned* lengths, unsigned ncols) {
    if (!(flags & UL_ROW_DATA)) return 0;
    const unsigned nkeys = layout_.nkeys;
    key_.clear();
    for (unsigned k = 0; k < nkeys; ++k) {
        if (k) key_ += u'|';
        if (values && values[k]) key_.append(values[k], textLength(k, values[k]));
    }
    long pageNo = -1;
    long pageLength = -1;
    if (!raw[nkeys] || !ul_sqlreadnativeint(raw[nkeys], lengths[nkeys], &pageNo)) pageNo = -1;
    if (!raw[ncols - 2] || !ul_sqlreadnativeint(raw[ncols - 2], lengths[ncols - 2], &pageLength))
        pageLength = -1;
    const char16_t* stamp =
        layout_.stampColumn >= 0 && values ? values[layout_.stampColumn] : nullptr;
    return scan_->page(key_.c_str(), pageNo, pageLength, raw[ncols - 1],
                       raw[ncols - 1] ? lengths[ncols - 1] : 0, stamp) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

// One pass over the table (or over one condition of it).
int scanOnce(const ul_scanclusteropts_t& o, const ClusterLayout& layout,
             const char16_t* condition) {
    ULClusterScan scan;
    const std::u16string swap =
        o.noswapfile ? u"" : ul_format(u"CLUSTCHK_%d.SWP", static_cast<int>(getpid()));
    if (scan.init(o, layout.frameSize, swap.c_str()) < 0) return UL_ERROR_RETURN(-1);
    std::u16string sql;
    if (scanStatement(layout, o.table, condition, o.orderBy, &sql) < 0 ||
        message(u' ', u"Executing statement:") < 0 ||
        ul_msgwrite_splitlong(1, u' ', UL_MSG_GENERIC, UL_MSG_GENERIC, sql.c_str(),
                              kStatementWidth, 0) < 0)
        return UL_ERROR_RETURN(-1);
    ULSQLStmt stmt;
    AuxScanCluster rows(&scan, layout);
    const auto& descs = layout.info.descs;
    if (stmt.prepare(sql.c_str(), nullptr, 0, descs.data(), static_cast<unsigned>(descs.size()),
                     0) < 0 ||
        stmt.execute(&rows, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);  // the scan's destructor removes the swap file
    return scan.finish();
}

int scanCluster(const ul_scanclusteropts_t& o) {
    ClusterLayout layout;
    if (layout.read(o.table) < 0) return UL_ERROR_RETURN(-1);
    if (o.nocontent && (o.printChksum || o.printData) &&
        message(u'W', u"Without content no checksums or data of rows can be printed.") < 0)
        return UL_ERROR_RETURN(-1);
    if (!o.wherefile) return scanOnce(o, layout, nullptr);
    ULTableSplitList list;
    ULTableSplit* split = nullptr;
    int rc = readConditions(o.wherefile, o.table, &list, &split);
    int number = 0;
    if (rc == 0)
        for (const ul_tablesegment_t& s : *split) {
            rc = message(u' ', ul_format(u"Scanning cluster '%s' with where condition #%d:",
                                         o.table, ++number));
            if (rc == 0) rc = scanOnce(o, layout, s.condition());
            if (rc < 0) break;
        }
    ul_sqltablesplitsfree(&list);
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// ---- chktable ------------------------------------------------------------------------------

constexpr char16_t kChkUsage[] =
    u"Usage: chktable table=<tablename> [wherefile=<wherefile>]\n"
    u"  Check logical cluster tables content.\n";

// A field whose values are checked, with the letter it is reported with.
struct CheckedField {
    unsigned column;
    char16_t type;  // 'N', 'M' numeric text, 'P' packed
    bool decimal;   // a decimal number as text, not numeric characters
};

// The first character that a numeric text must not hold: digits only for numeric characters;
// a decimal number may also have a leading minus sign and one decimal point. 0 when valid.
char16_t invalidNumericChar(std::u16string_view text, bool decimal) {
    bool point = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= u'0' && c <= u'9') continue;
        if (decimal && c == u'-' && i == 0) continue;
        if (decimal && c == u'.' && !point) {
            point = true;
            continue;
        }
        return c ? c : u'?';
    }
    return 0;
}

// Checks the rows of one logical-table read.
class AuxCheckTable : public ULSQLCallBack {
  public:
    AuxCheckTable(const TableInfo& info, std::vector<CheckedField> fields)
        : info_(info), fields_(std::move(fields)) {}
    bool takesNulInText() const override { return true; }
    int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                  unsigned* lengths, unsigned ncols) override;
    unsigned long rows = 0;
    unsigned long errors = 0;

  private:
    int describe();
    int checkValue(const CheckedField& f, const unsigned char* raw, const char16_t* text,
                   unsigned length, std::u16string* error);
    int reportError(const CheckedField& f, const std::u16string& error,
                    const std::u16string& value, const char16_t** values);

    const TableInfo& info_;
    std::vector<CheckedField> fields_;
};

int AuxCheckTable::describe() {
    for (const CheckedField& f : fields_)
        if (message(u' ', ul_format(u"Checking field %3d '%s' type '%c' for invalid values.",
                                    static_cast<int>(f.column) + 1,
                                    info_.descs[f.column].name, f.type)) < 0)
            return UL_ERROR_RETURN(-1);
    return 0;
}

int AuxCheckTable::handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                             unsigned* lengths, unsigned ncols) {
    if (flags & UL_ROW_HDR_NAME) return describe();
    if (!(flags & UL_ROW_DATA)) return 0;
    ++rows;
    std::u16string error;
    for (const CheckedField& f : fields_) {
        if (f.column >= ncols || !raw[f.column]) continue;
        error.clear();
        if (checkValue(f, raw[f.column], values[f.column], lengths[f.column], &error) < 0)
            return UL_ERROR_RETURN(-1);
        if (error.empty()) continue;
        std::u16string shown;
        if (values[f.column]) {
            shown.assign(values[f.column], textLength(f.column, values[f.column]));
        } else {  // a packed value without text: its bytes
            shown.resize(2 * size_t(lengths[f.column]) + 1);
            if (ul_sqlrawvalue2string(shown.data(), shown.size(), raw[f.column],
                                      lengths[f.column]) < 0)
                return UL_ERROR_RETURN(-1);
            shown.resize(2 * size_t(lengths[f.column]));
        }
        if (reportError(f, error, shown, values) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int AuxCheckTable::checkValue(const CheckedField& f, const unsigned char* raw,
                              const char16_t* text, unsigned length, std::u16string* error) {
    if (f.type != u'P') {
        const std::u16string_view value(text ? text : u"", text ? textLength(f.column, text) : 0);
        const char16_t bad = invalidNumericChar(value, f.decimal);
        if (bad) *error = ul_format(u"Invalid character '%c'", bad);
        return 0;
    }
    char16_t out[80];
    const bool strict = UL_SQLGlobalFlags & UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY;
    const unsigned decimals = ul_sqlfielddecimals(info_.descs[f.column]);
    if (length == 0 || length > 32) {
        *error = ul_format(u"Invalid BCD number of %u bytes", length);
        return 0;
    }
    if (ul_sqlpackedtotext(raw, length, decimals, out, 80, strict) < 0) {
        *error = ul_errorgetmsg();
        ul_errorsetmsg(0, nullptr);
        return 0;
    }
    bool zero = true;
    for (const char16_t* p = out; *p; ++p) zero = zero && (*p == u'-' || *p == u'0' || *p == u'.');
    if (zero && out[0] == u'-') *error = u"Invalid BCD number '-0.0'";
    return 0;
}

int AuxCheckTable::reportError(const CheckedField& f, const std::u16string& error,
                               const std::u16string& value, const char16_t** values) {
    ++errors;
    std::u16string line = ul_format(u"%s in field %d '%s' '%s' Key:", error.c_str(),
                                    static_cast<int>(f.column) + 1, info_.descs[f.column].name,
                                    value.c_str());
    for (unsigned k = 0; k < info_.object.structure.nkeys && k < info_.descs.size(); ++k)
        line += ul_format(u" '%s'", values[k] ? values[k] : u"<NULL>");
    return message(u'E', line);
}

// The fields of a logical table whose values are checked.
std::vector<CheckedField> checkedFields(const TableInfo& info) {
    std::vector<CheckedField> out;
    const auto& fields = info.object.structure.fields;
    for (unsigned i = 0; i < info.descs.size(); ++i) {
        const char16_t letter = ul_sqlfldflag2char(info.descs[i]);
        if (i < fields.size() && fields[i].ddicType == UL_DDIC_NUMC)
            out.push_back({i, u'N', false});
        else if (letter == u'P')
            out.push_back({i, u'P', false});
        else if (letter == u'M' || letter == u'N')  // decimal numbers stored as text
            out.push_back({i, letter, true});
    }
    return out;
}

std::u16string boundaryText(const ul_sqlboundary_t& b) {
    std::u16string out;
    for (unsigned i = 0; i < b.SQBND_NValues; ++i)
        out += u" '" + std::u16string(b.value(i)) + u"'";
    return out;
}

// One check of the logical table within a range (range null: the whole table).
int checkRange(const char16_t* table, const TableInfo& info, const ul_sqlrange_t* range,
               unsigned long* errors) {
    std::vector<std::u16string> low, high;
    int mode = static_cast<int>(UL_SQLMODE_HDR_NAME) | UL_LOGREAD_STORED;
    if (range) {
        const bool lowIn = range->lowInclusive || range->low.SQBND_NValues == 0;
        const bool highIn = !range->highExclusive || range->high.SQBND_NValues == 0;
        if (message(u' ', (lowIn ? u"Lower boundary:" : u"Lower boundary (excluded):") +
                              boundaryText(range->low)) < 0 ||
            message(u' ', (highIn ? u"Upper boundary:" : u"Upper boundary (excluded):") +
                              boundaryText(range->high)) < 0)
            return UL_ERROR_RETURN(-1);
        for (unsigned i = 0; i < range->low.SQBND_NValues; ++i)
            low.emplace_back(range->low.value(i));
        for (unsigned i = 0; i < range->high.SQBND_NValues; ++i)
            high.emplace_back(range->high.value(i));
        if (!lowIn) mode |= UL_LOGREAD_LOWEXCL;
        if (!highIn) mode |= UL_LOGREAD_HIGHEXCL;
    }
    std::vector<const char16_t*> lo, hi;
    for (const auto& v : low) lo.push_back(v.c_str());
    for (const auto& v : high) hi.push_back(v.c_str());
    AuxCheckTable check(info, checkedFields(info));
    ULSQLStmtLogicalTable stmt;
    if (stmt.select(table, nullptr, nullptr, 0, lo.data(), static_cast<unsigned>(lo.size()),
                    hi.data(), static_cast<unsigned>(hi.size()), &check, nullptr, mode) < 0)
        return UL_ERROR_RETURN(-1);
    if (message(u' ', ul_format(u"Checked %ld rows.", static_cast<long>(check.rows))) < 0 ||
        (check.errors &&
         message(u'E', ul_format(u"Found %ld errors.", static_cast<long>(check.errors))) < 0))
        return UL_ERROR_RETURN(-1);
    *errors += check.errors;
    return 0;
}

int checkTable(const char16_t* table, const char16_t* wherefile, unsigned long* errors) {
    TableInfo info;
    if (info.read(table) < 0) return UL_ERROR_RETURN(-1);
    if (!wherefile) {
        if (message(u' ', ul_format(u"Checking full table '%s'.", table)) < 0)
            return UL_ERROR_RETURN(-1);
        return checkRange(table, info, nullptr, errors);
    }
    ULTableSplitList list;
    ULTableSplit* split = nullptr;
    int rc = readConditions(wherefile, table, &list, &split);
    int number = 0;
    if (rc == 0)
        for (const ul_tablesegment_t& s : *split) {
            ul_strpool_t pool;
            auto range = std::make_unique<ul_sqlrange_t>();
            rc = message(u' ', ul_format(u"Checking table '%s' where condition #%d:", table,
                                         ++number));
            if (rc == 0) rc = ul_sqlwhere2range(s.condition(), range.get(), &pool);
            if (rc == 0) rc = checkRange(table, info, range.get(), errors);
            if (rc < 0) break;
        }
    ul_sqltablesplitsfree(&list);
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// ---- chkpools ------------------------------------------------------------------------------

// Counts the rows of the bad-length statement and lists them.
class AuxBadPoolRows : public ULSQLCallBack {
  public:
    bool takesNulInText() const override { return true; }
    int handleRow(unsigned flags, const unsigned char**, const char16_t** values, unsigned*,
                  unsigned ncols) override {
        if (!(flags & UL_ROW_DATA)) return 0;
        ++rows;
        return ul_msgwrite_line399(
            2, u'E',
            ul_format(u"Bad row '%s' '%s'", ncols > 0 && values[0] ? values[0] : u"<NULL>",
                      ncols > 1 && values[1] ? values[1] : u"<NULL>"));
    }
    unsigned long rows = 0;
};

// Checks one pool; *bad is set when it holds rows with impossible lengths.
int checkPool(const char16_t* pool, bool* bad) {
    *bad = false;
    if (message(u' ', ul_format(u"Pool '%s'.", pool)) < 0) return UL_ERROR_RETURN(-1);
    TableInfo info;
    if (info.read(pool) < 0) return UL_ERROR_RETURN(-1);
    if (info.descs.size() != 4)
        return message(u'W', ul_format(u"Unexpected number of fields %d - ignoring pool!",
                                       static_cast<int>(info.descs.size())));
    const int maxLength = static_cast<int>(info.descs[3].length);
    std::u16string name[4];
    for (int i = 0; i < 4; ++i)
        if (ul_sqlappendquotedname(&name[i], info.descs[i].name, 0) < 0)
            return UL_ERROR_RETURN(-1);
    std::u16string table;
    if (ul_sqlappendquotedname(&table, pool, UL_QUOTE_TABSUFFIX) < 0) return UL_ERROR_RETURN(-1);
    const std::u16string sql =
        u"SELECT " + name[0] + u", " + name[1] + u" FROM " + table + u" WHERE (" +
        ul_format(u"%d", maxLength - 32768) + u" < " + name[2] + u" AND " + name[2] +
        u" < 0) OR " + ul_format(u"%d", maxLength + 32768) + u" < " + name[2];
    if (message(u' ', ul_format(u"Maximum raw length is %d, using statement: %s", maxLength,
                                sql.c_str())) < 0)
        return UL_ERROR_RETURN(-1);
    AuxBadPoolRows rows;
    if (ULSQLStmt::run(sql.c_str(), nullptr, 0, &rows, nullptr, 0) < 0) return UL_ERROR_RETURN(-1);
    if (rows.rows == 0) return 0;
    *bad = true;
    return message(u'E', ul_format(u"Found %lu bad rows!", rows.rows));
}

// The physical pool tables of the system, from the migration selection.
int listPools(std::vector<std::u16string>* pools) {
    ULMigTableList list;
    if (ul_sqllistmigrationtables(&list, {}, {}, nullptr, UL_MIGSEL_POOL) < 0)
        return UL_ERROR_RETURN(-1);
    for (const ULMigTableEntry& e : list)
        if (e.kind & UL_MIGKIND_POOL) pools->push_back(e.name);
    return 0;
}

int checkPools(std::vector<std::u16string> pools) {
    if (pools.empty() && listPools(&pools) < 0) return UL_ERROR_RETURN(-1);
    int erroneous = 0;
    for (const std::u16string& pool : pools) {
        bool bad = false;
        if (checkPool(pool.c_str(), &bad) < 0) return UL_ERROR_RETURN(-1);
        erroneous += bad;
    }
    if (erroneous &&
        message(u'E', ul_format(u"Found %d tables with erroneous rows!", erroneous)) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

}  // namespace

// ---- the scan of one pass --------------------------------------------------------------------

ULClusterScan::~ULClusterScan() = default;

int ULClusterScan::init(const ul_scanclusteropts_t& o, unsigned frameSize, const char16_t* swap) {
    o_ = o;
    const unsigned long long frame = o.nocontent ? 0 : frameSize;
    const unsigned long long frames = std::min<unsigned long long>(
        o.memsize / (frame + UL_SCANCLUSTER_FRAMEHEADER) + 1, UINT_MAX);
    int mode = o.allowDups ? UL_CLSRT_ALLOWDUPS : o.checkDups ? 0 : UL_CLSRT_REPLACE;
    if (o.allowExcess) mode |= UL_CLSRT_ALLOWEXCESS;
    if (o.orderBy) mode |= UL_CLSRT_ORDERED;
    if (o.keepswapfile) mode |= UL_CLSRT_KEEPSWAP;
    if (sorter_.init(static_cast<unsigned>(frame), static_cast<unsigned>(frames),
                     o.noswapfile ? nullptr : swap, mode) < 0)
        return UL_ERROR_RETURN(-1);
    sorter_.setMaxFileSize(o.maxfilesize);
    return 0;
}

int ULClusterScan::finding(const std::u16string& text) {
    ++findings_;
    return message(u'E', text);
}

int ULClusterScan::page(const char16_t* key, long pageNo, long pageLength,
                        const unsigned char* data, unsigned dataLength, const char16_t* stamp) {
    ++rows_;
    if (pageNo < 0 || pageNo > static_cast<long>(UINT32_MAX - 1))
        return finding(ul_format(u"Invalid page number for key '%s'", key));
    if (pageLength < 0 || pageLength > static_cast<long>(dataLength))
        return finding(ul_format(u"Invalid page length for key '%s' page %ld: %ld of %u bytes",
                                 key, pageNo, pageLength, dataLength));
    const unsigned length = static_cast<unsigned>(pageLength);
    uint32_t total = UL_ROWCOLLECT_UNKNOWN;
    if (pageNo == 0) {
        if (length < 4)
            return finding(ul_format(
                u"Page 0 of key '%s' holds %u bytes, too few for the cluster header", key, length));
        total = bigEndian(data, 2);
        const unsigned format = bigEndian(data + 2, 2);
        if (format > 65400 && format != 65520)
            return ul_errorfail(
                ul_format(u"Unsupported cluster format %#x for key '%s'", format, key));
        ++distribution_[std::min(total, UL_SCANCLUSTER_MAXDIST)];
        if (total < 2) {
            UL_TRACE(UL_TRC_SQLCLUSTER, 3, u"Page %d/%d key='%s'\n", 0, static_cast<int>(total),
                     key);
            return checkRow(key, data, length);
        }
    }
    int status = 0;
    if (sorter_.addrow(key, static_cast<uint32_t>(pageNo), total, data, length, stamp, &status,
                       0) < 0)
        return UL_ERROR_RETURN(-1);
    return status == UL_CLSRT_COMPLETE ? takeComplete() : 0;
}

int ULClusterScan::takeComplete() {
    const unsigned char* content = nullptr;
    size_t length = 0;
    int rc;
    while ((rc = sorter_.getrow(&completeKey_, &content, &length, 0)) == 1)
        if (checkRow(completeKey_.c_str(), content, length) < 0) return UL_ERROR_RETURN(-1);
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int ULClusterScan::checkRow(const char16_t* key, const unsigned char* data, size_t length) {
    ++complete_;
    if (o_.nocontent) return 0;  // only the presence of the pages is known
    if (length >= UL_CLUSTER_HEADER) {
        const size_t declared = UL_CLUSTER_HEADER + size_t(bigEndian(data + 4, 4));
        if (declared != length &&
            finding(ul_format(u"Cluster row '%s' holds %zu bytes, its header declares %zu", key,
                              length, declared)) < 0)
            return UL_ERROR_RETURN(-1);
    }
    if (o_.printChksum &&
        message(u' ', ul_format(u"Row '%s': crc=%#x len=%d.", key,
                                ul_crccalc(UL_CRC_INIT, data, length),
                                static_cast<int>(length))) < 0)
        return UL_ERROR_RETURN(-1);
    if (!o_.printData) return 0;
    if (message(u' ', ul_format(u"Row '%s': len=%d.", key, static_cast<int>(length))) < 0)
        return UL_ERROR_RETURN(-1);
    ULHexLines hex([](const std::u16string& line) { return message(u' ', line); }, 0, 0);
    return hex.add(data, length) < 0 || hex.finish() < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int ULClusterScan::finish() {
    if (message(u' ', ul_format(u"Scanned %lu rows.", rows_)) < 0) return UL_ERROR_RETURN(-1);
    std::u16string line = u"Distribution:";
    for (unsigned n = 0; n <= UL_SCANCLUSTER_MAXDIST; ++n) {
        if (!distribution_[n]) continue;
        line += ul_format(u" %s%d:%d", n == UL_SCANCLUSTER_MAXDIST ? u">" : u"",
                          static_cast<int>(n), static_cast<int>(distribution_[n]));
        if (line.size() >= kDistributionLine) {
            if (message(u' ', line) < 0) return UL_ERROR_RETURN(-1);
            line.clear();
        }
    }
    if (!line.empty() && message(u' ', line) < 0) return UL_ERROR_RETURN(-1);
    if (findings_ && message(u'E', ul_format(u"Found %lu faulty pages or rows.", findings_)) < 0)
        return UL_ERROR_RETURN(-1);
    return sorter_.deinit(o_.keepswapfile ? UL_CLSRT_KEEPSWAP : 0);
}

int cmd_SCANCLUSTER(unsigned int argc, const char16_t** argv) {
    ul_scanclusteropts_t o;
    if (parseul_scanclusteropts_t(argc, argv, &o) < 0) return UL_ERROR_RETURN(-1);
    if (!o.table) return ul_cmdprintusage(kScanUsage, UL_EXIT_USAGE);
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    if (scanCluster(o) < 0) return ul_sqldisconnectfailed();
    return ul_sqldisconnect(0) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int cmd_CHKTABLE(unsigned int argc, const char16_t** argv) {
    const char16_t* table = nullptr;
    const char16_t* wherefile = nullptr;
    for (unsigned i = 1; i < argc; ++i) {
        if (const char16_t* v = optionValue(argv[i], u"table="))
            table = v;
        else if (const char16_t* v = optionValue(argv[i], u"wherefile="))
            wherefile = v;
        else
            return ul_errorfail(ul_format(u"Unknown option '%s'", argv[i]));
    }
    if (!table || !*table) return ul_cmdprintusage(kChkUsage, 0);
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    unsigned long errors = 0;
    if (checkTable(table, wherefile, &errors) < 0) return ul_sqldisconnectfailed();
    if (message(errors ? u'E' : u' ',
                ul_format(u"Found %d errors in total.", static_cast<int>(errors))) < 0)
        return ul_sqldisconnectfailed();
    if (ul_sqldisconnect(0) < 0) return UL_ERROR_RETURN(-1);
    return errors ? 2 : 0;
}

int cmd_CHKPOOLS(unsigned int argc, const char16_t** argv) {
    std::vector<std::u16string> pools;
    for (unsigned i = 1; i < argc; ++i) pools.emplace_back(argv[i]);
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    if (checkPools(pools) < 0) return ul_sqldisconnectfailed();
    return ul_sqldisconnect(0) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

#include "countrows.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tabrix.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlbase.h"
#include "ulsqlbase2.h"
#include "ulsqlcluster.h"
#include "ulsqlcntfile.h"
#include "ulsqlsplit.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulsqlwherefile.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"

namespace {

unsigned long ul(ul_dbrowcount_t n) {
    return static_cast<unsigned long>(n);
}

int message(char16_t severity, const std::u16string& text) {
    return ul_msgwrite_line399(1, severity, text);
}

std::u16string quoted(const char16_t* name) {
    std::u16string out;
    if (ul_sqlappendquotedname(&out, name, 0) < 0) return {};
    return out;
}

// ---- row callbacks -----------------------------------------------------------------------------

// Collects the names of a table directory query.
class AuxCollectLogTables : public ULSQLCallBackChar {
  public:
    using ULSQLCallBackChar::handleRow;
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override {
        if ((flags & UL_ROW_DATA) && ncols > 0 && values[0]) names.emplace_back(values[0]);
        return 0;
    }
    std::vector<std::u16string> names;
};

// Takes the value of a MIN query; a missing value (no row in range) stays unset.
class AuxMissingKeyValue : public ULSQLCallBackChar {
  public:
    using ULSQLCallBackChar::handleRow;
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override {
        if ((flags & UL_ROW_DATA) && ncols > 0 && values[0]) {
            value = values[0];
            found = true;
        }
        return 0;
    }
    std::u16string value;
    bool found = false;
};

// Counts the rows a logical-table read delivers.
class AuxCountSelection : public ULSQLCallBack {
  public:
    bool takesNulInText() const override { return true; }
    bool wantsText(unsigned) const override { return false; }
    int handleRow(unsigned flags, const unsigned char**, const char16_t**, unsigned*,
                  unsigned) override {
        if (flags & UL_ROW_DATA) ++rows;
        return 0;
    }
    ul_dbrowcount_t rows = 0;
};

// Makes a nametab slot current for one input line and goes back to the one before.
class NameTabSlot {
  public:
    NameTabSlot() = default;
    NameTabSlot(const NameTabSlot&) = delete;
    NameTabSlot& operator=(const NameTabSlot&) = delete;
    ~NameTabSlot() {
        if (before_ >= 0) (void)ul_sqlntswitch(static_cast<unsigned>(before_));  // restore only
    }
    int use(int slot) {
        const int current = ul_sqlntcurrentslot();
        if (current == slot) return 0;
        if (ul_sqlntswitch(static_cast<unsigned>(slot)) < 0) return UL_ERROR_RETURN(-1);
        before_ = current;
        return 0;
    }

  private:
    int before_ = -1;
};

// The nametab entry of a table: 1 read, 0 the table has none, -1 error.
int readNameTab(const char16_t* table, ULLDObject* object) {
    const int rc = ULNameTab(table, UL_NT_MISSINGOK).getTableInfo(object);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return rc == 0 ? 1 : 0;
}

// A query "SELECT <column> FROM <table directory> WHERE <key> = ?" on the current nametab's
// table directory, prepared once per directory. A missing directory gives no rows.
class DirectoryQuery {
  public:
    DirectoryQuery(const char16_t* column, const char16_t* key) : column_(column), key_(key) {}
    int run(const char16_t* value, ULSQLCallBack* callback) {
        const char16_t* directory = ULNameTab::getNameTabName(0);
        if (!directory) return UL_ERROR_RETURN(-1);
        std::unique_ptr<ULSQLStmt>& stmt = prepared_[directory];
        if (!stmt) {
            std::u16string sql = u"SELECT ";
            sql += column_;
            sql += u" FROM ";
            if (ul_sqlappendquotedname(&sql, directory, 0) < 0) return UL_ERROR_RETURN(-1);
            sql += u" WHERE ";
            sql += key_;
            sql += u" = ?";
            auto fresh = std::make_unique<ULSQLStmt>();
            if (fresh->prepare(sql.c_str(), nullptr, 0, nullptr, 0, UL_SQLMODE_MISSINGTABLE) < 0)
                return UL_ERROR_RETURN(-1);
            stmt = std::move(fresh);
        }
        if (missing_.count(directory)) return 0;
        if (stmt->bindParamS(0, value) < 0) return UL_ERROR_RETURN(-1);
        const long rc = stmt->execute(callback, nullptr, 0);
        if (rc == -2) missing_.insert(directory);  // asked once, not for every table
        return rc == -1 ? UL_ERROR_RETURN(-1) : 0;
    }

  private:
    const char16_t* column_;
    const char16_t* key_;
    std::unordered_map<std::u16string, std::unique_ptr<ULSQLStmt>> prepared_;
    std::unordered_set<std::u16string> missing_;
};

// The key values of one sample position of a physical cluster.
struct SamplePosition {
    std::vector<std::u16string> values;
};

// ---- the counting state ------------------------------------------------------------------------

class AuxCountRows : public ULCountInputReader, public ULCountOutputReader {
  public:
    ~AuxCountRows() override { ul_sqltablesplitsfree(&where_); }

    // Reads the finished counts of an existing output file and opens it for appending.
    int open(const char16_t* file) {
        outName_ = file;
        struct stat st {};
        if (stat(ul_utf16to8(file).c_str(), &st) == 0) {
            if (message(u' ', ul_format(u"Scanning existing '%s' for finished counts.", file)) <
                    0 ||
                ul_sqlcntoutread(file, this, UL_CNTOUT_REPAIR) < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (out_.open(file, UL_TEXT_APPEND | UL_TEXT_FLUSHLINES) < 0) {
            ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot append to '%s'", file);
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }
    int readWhereFile(const char16_t* file) {
        if (message(u' ', ul_format(u"Reading where conditions from '%s'.", file)) < 0 ||
            ul_sqlreadwherefile(&where_, file, nullptr, nullptr, 0) < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }
    int close() {
        if (out_.close() < 0) {
            ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot write to '%s'", outName_.c_str());
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }
    int counted() const { return counted_; }

    int readCountOutput(const char16_t* table, ul_dbrowcount_t count, bool) override {
        finished_[table] = count;
        return 0;
    }

    int readCountInput(const char16_t* table, const char16_t*, const char16_t* where,
                       int mode) override {
        const bool alternative = (mode & UL_CNTMODE_ALTNT) != 0;
        const bool nametab =
            alternative ? ul_sqlnthavealttype() == 1 && ul_sqlntgettype(UL_NTSLOT_ALTERNATE) > 0
                        : ul_sqlntgettype(UL_NTSLOT_STANDARD) > 0;
        if (!nametab) {
            const char16_t* what = (mode & UL_CNTMODE_PACKED)      ? u"distinct"
                                   : (mode & UL_CNTMODE_CLIENT000) ? u"client 000"
                                   : (mode & UL_CNTMODE_LOGICAL)   ? u"logical tables"
                                                                   : nullptr;
            if (what)
                return ul_errorfail(
                    ul_format(u"Internal error: NT access disabled, cannot check for %s", what));
        }
        NameTabSlot slot;
        if (nametab && slot.use(alternative ? UL_NTSLOT_ALTERNATE : UL_NTSLOT_STANDARD) < 0)
            return UL_ERROR_RETURN(-1);
        ul_dbrowcount_t count = 0;
        if (const auto done = finished_.find(table); done != finished_.end())
            count = done->second;
        else if (countPhysicalTable(table, where, mode, nametab, &count) < 0)
            return UL_ERROR_RETURN(-1);
        if ((mode & UL_CNTMODE_LOGICAL) && detRowCountOfLogicalTables(table, count, mode) < 0)
            return UL_ERROR_RETURN(-1);
        return 1;
    }

  private:
    int countPhysicalTable(const char16_t* table, const char16_t* where, int mode, bool nametab,
                           ul_dbrowcount_t* count);
    int detRowCountOfLogicalTables(const char16_t* physical, ul_dbrowcount_t count, int mode);
    int logicalTables(const char16_t* physical, std::vector<std::u16string>* names);
    int clientDependent(const char16_t* table, bool* clientdep);
    int countLogicalTables(const std::vector<std::u16string>& tables,
                           std::vector<ul_dbrowcount_t>* counts);
    int estimateCountStarLogCluster(const char16_t* physical, ul_dbrowcount_t count, int mode,
                                    const std::vector<std::u16string>& tables,
                                    std::vector<ul_dbrowcount_t>* counts);
    int samplePosition(const char16_t* physical, const char16_t* condition,
                       const std::vector<const char16_t*>& keys, const std::vector<int>& classes,
                       SamplePosition* out, bool* found);
    int writeCount(const char16_t* table, ul_dbrowcount_t count, int kind, bool clientdep);

    std::u16string outName_;
    ULTextFileWriter out_;
    std::unordered_map<std::u16string, ul_dbrowcount_t> finished_;
    ULTableSplitList where_;
    DirectoryQuery logicalLookup_{u"TABNAME", u"REFNAME"};
    DirectoryQuery clientLookup_{u"CLIDEP", u"TABNAME"};
    int counted_ = 0;
};

int AuxCountRows::writeCount(const char16_t* table, ul_dbrowcount_t count, int kind,
                             bool clientdep) {
    if (ul_sqlcntwriteoutputline(&out_, kind, table, count, clientdep) < 0)
        return UL_ERROR_RETURN(-1);
    finished_[table] = count;
    if (++counted_ % UL_COUNTROWS_COMMITEVERY == 0 && ul_sqlcommit2(nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int AuxCountRows::countPhysicalTable(const char16_t* table, const char16_t* where, int mode,
                                     bool nametab, ul_dbrowcount_t* count) {
    ULLDObject object;
    int known = 0;
    const bool reduce = (mode & (UL_CNTMODE_PACKED | UL_CNTMODE_CLIENT000)) != 0;
    if (reduce && nametab && (known = readNameTab(table, &object)) < 0) return UL_ERROR_RETURN(-1);
    if (reduce && !nametab)
        return ul_errorfail(u"Nametab access disabled, cannot check distinct/client000");
    if (reduce && !known &&
        message(u'W', ul_format(u"Table '%s' has no nametab - not checking for packing or "
                                u"cluster!",
                                table)) < 0)
        return UL_ERROR_RETURN(-1);
    std::u16string condition;
    if (where) {
        condition = u"( ";
        ul_sqlappendembedded(&condition, where, u" )");
    }
    const auto require = [&](const char16_t* field, const char16_t* value) {
        condition += condition.empty() ? u"" : u" AND ";
        condition += quoted(field) + u" = " + value;
    };
    int kind = UL_CNTKIND_PLAIN;
    std::vector<const char16_t*> distinct;
    const auto& fields = object.structure.fields;
    if (known && (mode & UL_CNTMODE_PACKED)) {
        const unsigned packed = object.getPackedKeyFields();
        if (object.attributes.tabClass == u'C' && packed < fields.size()) {
            const char16_t* page = fields[packed].name.c_str();
            if (message(u' ', ul_format(u"Only counting %s = 0 for cluster '%s'.", page, table)) <
                0)
                return UL_ERROR_RETURN(-1);
            require(page, u"0");
            kind = UL_CNTKIND_REDUCED;
        } else if (packed < object.structure.nkeys) {
            for (unsigned k = 0; k < packed; ++k) distinct.push_back(fields[k].name.c_str());
            if (message(u' ',
                        ul_format(u"Only counting distinct key values for table '%s'.", table)) < 0)
                return UL_ERROR_RETURN(-1);
            kind = UL_CNTKIND_REDUCED;
        }
    }
    bool clientdep = known && object.options.clientDependent;
    if (!known && nametab && clientDependent(table, &clientdep) < 0) return UL_ERROR_RETURN(-1);
    if (clientdep && (mode & UL_CNTMODE_CLIENT000) && !fields.empty()) {
        const char16_t* client = fields[0].name.c_str();
        if (message(u' ', ul_format(u"Only counting %s = '000' for table '%s'.", client, table)) <
            0)
            return UL_ERROR_RETURN(-1);
        require(client, u"'000'");
    }
    // Distinct values cannot be estimated from the table's statistics.
    const int flags =
        ((mode & UL_CNTMODE_ESTIMATE) && distinct.empty() ? UL_COUNTSTAR_ESTIMATE : 0) |
        (mode & UL_CNTMODE_NOFALLBACK ? UL_COUNTSTAR_NOFALLBACK : 0);
    const int rc =
        ul_sqltablecountstar(table, condition.empty() ? nullptr : condition.c_str(),
                             distinct.data(), static_cast<unsigned>(distinct.size()), count, flags);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return writeCount(table, *count, rc == 1 ? UL_CNTKIND_ESTIMATED : kind, clientdep);
}

int AuxCountRows::logicalTables(const char16_t* physical, std::vector<std::u16string>* names) {
    AuxCollectLogTables collect;
    if (logicalLookup_.run(physical, &collect) < 0) return UL_ERROR_RETURN(-1);
    std::sort(collect.names.begin(), collect.names.end());
    *names = std::move(collect.names);
    return 0;
}

// Whether the nametab marks a table client-dependent; false without an entry.
int AuxCountRows::clientDependent(const char16_t* table, bool* clientdep) {
    AuxCollectLogTables values;
    if (clientLookup_.run(table, &values) < 0) return UL_ERROR_RETURN(-1);
    *clientdep = !values.names.empty() && ul_strcmp(values.names[0].c_str(), u"0") != 0 &&
                 !values.names[0].empty();
    return 0;
}

int AuxCountRows::countLogicalTables(const std::vector<std::u16string>& tables,
                                     std::vector<ul_dbrowcount_t>* counts) {
    if (message(u'W', u"Doing expensive full count(*) for logical cluster tables!") < 0)
        return UL_ERROR_RETURN(-1);
    for (const std::u16string& table : tables) {
        ULSQLStmtLogicalTable reader;
        AuxCountSelection rows;
        if (reader.select(table.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr, 0, &rows,
                          nullptr, 0) < 0)
            return UL_ERROR_RETURN(-1);
        counts->push_back(rows.rows);
        if (message(u' ', ul_format(u"Row count of logical table '%s' is %lu", table.c_str(),
                                    ul(rows.rows))) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int AuxCountRows::detRowCountOfLogicalTables(const char16_t* physical, ul_dbrowcount_t count,
                                             int mode) {
    std::vector<std::u16string> all;
    if (logicalTables(physical, &all) < 0) return UL_ERROR_RETURN(-1);
    if (all.empty())
        return message(count > 0 ? u'W' : u' ',
                       ul_format(u"Cluster '%s' with %lu rows does not have logical tables.",
                                 physical, ul(count)));
    std::vector<std::u16string> tables;
    for (std::u16string& t : all)
        if (finished_.find(t) == finished_.end()) tables.push_back(std::move(t));
    if (tables.empty()) return 0;
    std::vector<ul_dbrowcount_t> counts;
    bool estimated = false;
    if (count == 0) {
        counts.assign(tables.size(), 0);
    } else if (mode & UL_CNTMODE_ESTIMATE) {
        if (estimateCountStarLogCluster(physical, count, mode, tables, &counts) < 0)
            return UL_ERROR_RETURN(-1);
        estimated = true;
    } else if (countLogicalTables(tables, &counts) < 0) {
        return UL_ERROR_RETURN(-1);
    }
    for (size_t i = 0; i < tables.size(); ++i) {
        bool clientdep = false;
        if (clientDependent(tables[i].c_str(), &clientdep) < 0 ||
            writeCount(tables[i].c_str(), counts[i],
                       estimated ? UL_CNTKIND_ESTIMATED : UL_CNTKIND_PLAIN, clientdep) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// An equality condition on the key fields for one key.
int keyCondition(std::u16string* out, const std::vector<const char16_t*>& keys,
                 const std::vector<int>& classes, const std::vector<std::u16string>& values) {
    std::vector<std::u16string_view> v(values.begin(), values.end());
    const unsigned n = static_cast<unsigned>(values.size());
    return ul_sqlappendwherecondition(out, nullptr, keys.data(), classes.data(), v.data(), n,
                                      v.data(), n, ul_sqlquotetable, UL_WHERECOND_LOWINCL) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

// The key of one split position: the start boundary of the condition, completed with the
// smallest values of the range where it names fewer fields than the key. *found is false when
// the range holds no row to complete it from.
int AuxCountRows::samplePosition(const char16_t* physical, const char16_t* condition,
                                 const std::vector<const char16_t*>& keys,
                                 const std::vector<int>& classes, SamplePosition* out,
                                 bool* found) {
    ul_strpool_t pool;
    auto range = std::make_unique<ul_sqlrange_t>();
    if (ul_sqlwhere2range(condition, range.get(), &pool) < 0) return UL_ERROR_RETURN(-1);
    const ul_sqlboundary_t& low = range->low;
    const unsigned nkeys = static_cast<unsigned>(keys.size());
    const unsigned given = std::min(low.SQBND_NValues, nkeys);
    for (unsigned i = 0; i < given; ++i) {
        if (ul_stricmp(low.fields[i], keys[i]) != 0)
            return ul_errorfail(
                ul_format(u"Where condition field #%d '%s' does not match key "
                          u"field '%s'",
                          static_cast<int>(i) + 1, low.fields[i], keys[i]));
        out->values.emplace_back(low.value(i));
    }
    *found = true;
    if (given == nkeys) return 0;
    // An exclusive start names a key before the range: the range's first key is read instead.
    if (!range->lowInclusive) out->values.clear();
    const unsigned start = static_cast<unsigned>(out->values.size());
    if (message(u' ', ul_format(u"Add %d values to complete key fields %d in where condition.",
                                static_cast<int>(nkeys - start), static_cast<int>(nkeys))) < 0)
        return UL_ERROR_RETURN(-1);
    for (unsigned k = start; k < nkeys; ++k) {
        std::u16string where = u"( ";
        ul_sqlappendembedded(&where, condition, u" )");
        if (k > 0) {
            where += u" AND ";
            const std::vector<const char16_t*> head(keys.begin(), keys.begin() + k);
            if (keyCondition(&where, head, classes, out->values) < 0) return UL_ERROR_RETURN(-1);
        }
        std::u16string sql = u"SELECT MIN(" + quoted(keys[k]) + u") FROM ";
        if (ul_sqlappendquotedname(&sql, physical, UL_QUOTE_TABSUFFIX) < 0)
            return UL_ERROR_RETURN(-1);
        sql += u" WHERE ";
        sql += where;
        AuxMissingKeyValue minimum;
        if (ULSQLStmt::run(sql.c_str(), nullptr, 0, &minimum, nullptr, 0) < 0)
            return UL_ERROR_RETURN(-1);
        if (!minimum.found) {
            *found = false;
            return 0;
        }
        out->values.push_back(minimum.value);
    }
    if (out->values.size() != nkeys)
        return ul_errorfail(ul_format(u"Expected %d key values but got %d", static_cast<int>(nkeys),
                                      static_cast<int>(out->values.size())));
    return 0;
}

int AuxCountRows::estimateCountStarLogCluster(const char16_t* physical, ul_dbrowcount_t count,
                                              int mode, const std::vector<std::u16string>& tables,
                                              std::vector<ul_dbrowcount_t>* counts) {
    ULTableSplit* split = where_.get(physical, UL_HASH_QUIET);
    if (!split || split->isEmpty())
        return ul_errorfail(
            ul_format(u"No where conditions supplied for '%s' to do estimation", physical));
    if (split->native)
        return ul_errorfail(
            ul_format(u"Native split conditions of '%s' cannot be used for "
                      u"estimation",
                      physical));
    ULLDObject object;
    const int known = readNameTab(physical, &object);
    if (known < 0) return UL_ERROR_RETURN(-1);
    if (!known || object.attributes.tabClass != u'C')
        return ul_errorfail(
            ul_format(u"Cannot estimate logical tables of '%s', which is no "
                      u"physical cluster",
                      physical));
    const unsigned nkeys = object.getPackedKeyFields();
    std::vector<const char16_t*> keys;
    for (unsigned k = 0; k < nkeys; ++k) keys.push_back(object.structure.fields[k].name.c_str());
    ul_sqlfielddesc_t* descs = nullptr;
    unsigned ndescs = 0;
    if (ul_sqltablegetoiflags(&object, keys.data(), nkeys, &descs, &ndescs, 0) < 0)
        return UL_ERROR_RETURN(-1);
    std::vector<int> classes;
    for (unsigned k = 0; k < ndescs; ++k)
        classes.push_back(ul_sqltokenclassfromtype(ul_sqlfldflag2char(descs[k])));
    free(descs);
    std::vector<ul_dbrowcount_t> samples(tables.size(), 0);
    ul_dbrowcount_t total = 0;
    for (const ul_tablesegment_t& s : *split) {
        SamplePosition position;
        bool found = false;
        if (samplePosition(physical, s.condition(), keys, classes, &position, &found) < 0)
            return UL_ERROR_RETURN(-1);
        if (!found) continue;
        std::u16string condition;
        if (keyCondition(&condition, keys, classes, position.values) < 0)
            return UL_ERROR_RETURN(-1);
        if (mode & UL_CNTMODE_PACKED)
            condition += u" AND " + quoted(object.structure.fields[nkeys].name.c_str()) + u" = 0";
        ul_dbrowcount_t rows = 0;
        if (ul_sqltablecountstar(physical, condition.c_str(), nullptr, 0, &rows, 0) < 0)
            return UL_ERROR_RETURN(-1);
        total += rows;
        std::vector<const char16_t*> values;
        for (const std::u16string& v : position.values) values.push_back(v.c_str());
        for (size_t i = 0; i < tables.size(); ++i) {
            ULSQLStmtLogicalTable reader;
            AuxCountSelection selected;
            if (reader.select(tables[i].c_str(), nullptr, nullptr, 0, values.data(), nkeys,
                              values.data(), nkeys, &selected, nullptr, 0) < 0)
                return UL_ERROR_RETURN(-1);
            samples[i] += selected.rows;
        }
    }
    if (total == 0)
        return ul_errorfail(
            ul_format(u"Got no sampling row count for physical cluster '%s'", physical));
    const double factor = static_cast<double>(count) / static_cast<double>(total);
    if (message(u' ', ul_format(u"Calculated estimation factor %g for cluster '%s' from %lu "
                                u"sample rows.",
                                factor, physical, ul(total))) < 0)
        return UL_ERROR_RETURN(-1);
    for (size_t i = 0; i < tables.size(); ++i) {
        counts->push_back(static_cast<ul_dbrowcount_t>(static_cast<double>(samples[i]) * factor));
        if (message(u' ', ul_format(u"Estimated row count of logical table '%s' is %lu.",
                                    tables[i].c_str(), ul(counts->back()))) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// ---- command -----------------------------------------------------------------------------------

int usage() {
    ULTextFileWriter out;
    if (out.attach(stdout, u"stdout") < 0 ||
        out.write(u"Usage: tabrix countrows <infile> <outfile> [<wherefile>]\n") < 0 ||
        out.flush() < 0)
        return UL_ERROR_RETURN(-1);
    return UL_EXIT_USAGE;
}

// Same name, or two names of one existing file.
bool sameFile(const char16_t* a, const char16_t* b) {
    if (ul_strcmp(a, b) == 0) return true;
    struct stat sa {};
    struct stat sb {};
    return stat(ul_utf16to8(a).c_str(), &sa) == 0 && stat(ul_utf16to8(b).c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int count(const char16_t* in, const char16_t* out, const char16_t* where) {
    AuxCountRows aux;
    if (aux.open(out) < 0) return UL_ERROR_RETURN(-1);
    if (where && aux.readWhereFile(where) < 0) return UL_ERROR_RETURN(-1);
    const int handled = ul_sqlcntinread(in, &aux);
    if (handled < 0) return UL_ERROR_RETURN(-1);
    if (message(u' ', ul_format(u"Counted %d tables out of %d, written to '%s'.", aux.counted(),
                                handled, out)) < 0)
        return UL_ERROR_RETURN(-1);
    return aux.close();
}

}  // namespace

int cmd_COUNTROWS(unsigned int argc, const char16_t** argv) {
    if (argc > 4) return ul_errorfail(ul_format(u"Unknown option '%s'", argv[4]));
    if (argc < 3) return usage();
    if (sameFile(argv[1], argv[2]))
        return ul_errorfail(
            ul_format(u"Input and output file '%s' must not be identical", argv[1]));
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    if (count(argv[1], argv[2], argc > 3 ? argv[3] : nullptr) < 0) return ul_sqldisconnectfailed();
    return ul_sqldisconnect(0) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

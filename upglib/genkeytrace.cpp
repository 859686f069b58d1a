#include "genkeytrace.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "optimport.h"
#include "tabrix.h"
#include "ulauxfcts.h"
#include "ulbigsort.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"

namespace {

constexpr size_t kMaxTable = 31;
constexpr size_t kMaxPattern = 173;
constexpr size_t kMaxLanguages = 1001;
constexpr size_t kPieceLength = 100;
constexpr unsigned kFixedRecord = 432;
constexpr unsigned kAverageRecord = 66;
constexpr long kDefaultAutocommit = 10000;
constexpr long kDefaultShowInterval = 50000;
constexpr char16_t kCollTable[] = u"UPGCOLLPATTERN";

bool startsWith(const char16_t* text, const char16_t* prefix) {
    const size_t n = ul_strlen(prefix);
    return ul_strncmp(text, prefix, n) == 0;
}

// Adds the languages of add that lang does not hold yet. The set is kept in ascending order,
// so that the stored vector does not depend on the order in which equal entries meet.
void unionLanguages(std::u16string* lang, const std::u16string& add) {
    for (char16_t c : add) {
        const auto at = std::lower_bound(lang->begin(), lang->end(), c);
        if (at == lang->end() || *at != c) lang->insert(at, c);
    }
}

// Reads field number `field` (1-based) at *p: blanks, then a double-quoted value in which ""
// stands for one double quote.
int readField(const char16_t** p, int field, size_t max, int lineNo, const char16_t* file,
              std::u16string* out) {
    const char16_t* s = *p;
    while (*s == u' ' || *s == u'\t') ++s;
    if (*s != u'"')
        return ul_errorfail(ul_format(u"Syntax error in l.%d '%s' field %d", lineNo, file, field));
    ++s;
    out->clear();
    for (;; ++s) {
        if (*s == 0)
            return ul_errorfail(
                ul_format(u"Syntax error in l.%d '%s' field %d", lineNo, file, field));
        if (*s == u'"') {
            if (s[1] != u'"') break;
            ++s;
        }
        out->push_back(*s);
    }
    if (s[1] != 0 && s[1] != u' ' && s[1] != u'\t')
        return ul_errorfail(ul_format(u"Syntax error in l.%d '%s' field %d", lineNo, file, field));
    if (out->size() > max)
        return ul_errorfail(ul_format(u"Buffer overflow in l.%d '%s' field %d len %lu max %d",
                                      lineNo, file, field,
                                      static_cast<unsigned long>(out->size()),
                                      static_cast<int>(max)));
    *p = s + 1;
    return 0;
}

}  // namespace

int ul_keytraceparseline(const char16_t* line, int lineNo, const char16_t* file,
                         ul_keytraceline_t* out) {
    *out = ul_keytraceline_t{};
    if (!line[0] || line[1] != u' ') return 0;
    const char16_t* text = line + 2;
    if (startsWith(text, u"ETW000 trfunction =")) {
        const char16_t* p = text + ul_strlen(u"ETW000 trfunction =");
        while (*p == u' ' || *p == u'\t') ++p;
        out->kind = ul_keytraceline_t::Kind::Function;
        out->function = *p ? *p : u' ';
        return 0;
    }
    const bool t208 = startsWith(text, u"ETW208 key_trace:");
    const bool t209 = startsWith(text, u"ETW209 key_trace:");
    if (startsWith(text, u"ETW212 key_trace0:")) {
        const char16_t* p = text + ul_strlen(u"ETW212 key_trace0:");
        if (readField(&p, 1, kMaxTable, lineNo, file, &out->table) < 0) return UL_ERROR_RETURN(-1);
        out->kind = ul_keytraceline_t::Kind::Trace;
        return 0;
    }
    if (!t208 && !t209) {
        if (!ul_strstr(text, u"key_trace:")) return 0;
        return ul_errorfail(ul_format(u"Odd line in l.%d '%s': '%s'", lineNo, file, line));
    }
    const char16_t* p = text + ul_strlen(u"ETW208 key_trace:");
    std::u16string length, languages;
    if (readField(&p, 1, kMaxTable, lineNo, file, &out->table) < 0 ||
        readField(&p, 2, 20, lineNo, file, &length) < 0 ||
        readField(&p, 3, kMaxPattern, lineNo, file, &out->pattern) < 0 ||
        readField(&p, 4, kMaxLanguages, lineNo, file, &languages) < 0)
        return UL_ERROR_RETURN(-1);
    if (ul_stringtolong(length.c_str(), &out->length) < 0 || out->length < 0)
        return ul_errorfail(
            ul_format(u"Invalid patternlength '%s' in l.%d '%s'", length.c_str(), lineNo, file));
    unionLanguages(&out->languages, languages);
    const bool star = !out->pattern.empty() && out->pattern.back() == u'*';
    if (!star) {
        if (t208 && static_cast<long>(out->pattern.size()) != out->length) {
            out->lengthMismatch = true;
            out->textLength = static_cast<long>(out->pattern.size());
        }
        out->pattern.push_back(u'*');
    }
    out->kind = ul_keytraceline_t::Kind::Trace;
    return 0;
}

namespace {

enum class Mode { Insert, Show, ShowTables, ShowTotal, CleanOnly, CleanOld, SingleInsert };

struct Options {
    char16_t step = 0;
    bool logs = false;
    Mode mode = Mode::Insert;
    long autocommit = kDefaultAutocommit;
    long showinterval = kDefaultShowInterval;
    std::u16string tabcontrol;
    std::u16string sid;
    bool fixedlength = false;
    unsigned long maxmemory = UL_SORT_DEFAULTMEMORY;
    int exchange = 0;  // 0 none, 1 ignore, 2 generic
    bool shadowImport = false;
    std::vector<std::u16string> files;
};

struct patternentry_t {
    std::u16string table, pattern, languages;
    long length = 0;
    char16_t customer = u' ';
};

struct TableSetting {
    bool ignore = true;
    std::u16string pattern;  // force key
};

int say(char16_t severity, const std::u16string& text) {
    return ul_msgwrite_line399(1, severity, text) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

void putUnits(std::vector<unsigned char>* out, const std::u16string& s, size_t padTo) {
    out->push_back(static_cast<unsigned char>(s.size()));
    for (char16_t c : s) {
        out->push_back(static_cast<unsigned char>(c >> 8));
        out->push_back(static_cast<unsigned char>(c));
    }
    if (padTo) out->insert(out->end(), 2 * (padTo - s.size()), 0);
}

// A string at *p as putUnits wrote it; -1 when the record ends within it.
int getUnits(const unsigned char** p, const unsigned char* end, size_t padTo, size_t max,
             const unsigned char** units, size_t* n) {
    if (*p == end) return -1;
    *n = *(*p)++;
    const size_t bytes = 2 * (padTo ? padTo : *n);
    if (*n > max || static_cast<size_t>(end - *p) < bytes) return -1;
    *units = *p;
    *p += bytes;
    return 0;
}

std::u16string unitsToString(const unsigned char* units, size_t n) {
    std::u16string s(n, u'\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char16_t>((units[2 * i] << 8) | units[2 * i + 1]);
    return s;
}

int compareUnits(const unsigned char* a, size_t an, const unsigned char* b, size_t bn) {
    const int c = std::memcmp(a, b, 2 * std::min(an, bn));
    if (c) return c;
    return an < bn ? -1 : an > bn;
}

class AuxReadKeyTrace : public ULSQLCallBackChar, public ULBigSortCompare {
  public:
    explicit AuxReadKeyTrace(const Options& o) : o_(o) {}
    int run();

    int compare(const void* a, uint32_t alen, const void* b, uint32_t blen) override {
        return compareKeyTraceEntryExt(static_cast<const unsigned char*>(a), alen,
                                       static_cast<const unsigned char*>(b), blen);
    }
    using ULSQLCallBackChar::handleRow;
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override;

  private:
    int initialize();
    int readExchangeTables();
    int readTableControl();
    int readKeyTraceFile(const char16_t* file, int index, int count);
    int readKeyTracesFromBuffer(const char16_t* buffer, const std::u16string& sid);
    int addKeyEntry(patternentry_t entry);
    int flushPending();
    int packPattEntry(const patternentry_t& e);
    int unpackPattEntry(const unsigned char* rec, unsigned length, patternentry_t* e) const;
    int compareKeyTraceEntryExt(const unsigned char* a, unsigned alen, const unsigned char* b,
                                unsigned blen) const;
    int getNextPatternEntry(patternentry_t* e);
    int initInsertKeyTraces();
    int groupKeyTraces();
    int store();
    int singleInsertKeyTrace(const patternentry_t& e);
    int insertPieces(const patternentry_t& e);
    int showInsertProgress();
    int nextParamRow(const char16_t** values);
    size_t pieces(const patternentry_t& e) const {
        return e.languages.size() <= kPieceLength
                   ? 1
                   : (e.languages.size() + kPieceLength - 1) / kPieceLength;
    }
    int announceCut(const patternentry_t& e);
    std::u16string piece(const patternentry_t& e, size_t i) const {
        return e.languages.substr(i * kPieceLength, kPieceLength);
    }
    bool showOnly() const {
        return o_.mode == Mode::Show || o_.mode == Mode::ShowTables ||
               o_.mode == Mode::ShowTotal;
    }
    int commitIfDue() {
        if (++sinceCommit_ < o_.autocommit) return 0;
        sinceCommit_ = 0;
        return ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0 ? UL_ERROR_RETURN(-1) : 0;
    }

    const Options& o_;
    std::unordered_map<std::u16string, TableSetting> settings_;
    ULRecordSorter sorter_;
    ul_strpool_t pool_;  // language vectors of fixed records
    std::vector<unsigned char> record_;
    bool havePending_ = false;
    patternentry_t pending_;
    bool haveLookahead_ = false;
    patternentry_t lookahead_;
    ULSQLStmt delete_, insert_;
    std::u16string stepText_;
    // Counters.
    long found_ = 0, ignored_ = 0, toSorter_ = 0;
    long sortedRead_ = 0, unique_ = 0;
    long duplicates_ = 0, chunked_ = 0, inserted_ = 0, supplied_ = 0;
    long sinceCommit_ = 0;
    // The array insert's current entry and piece.
    bool paramActive_ = false;
    patternentry_t param_;
    size_t paramPiece_ = 0;
    std::u16string paramPieceText_, paramLength_, paramCustomer_;
};

int AuxReadKeyTrace::initialize() {
    if (o_.maxmemory) {
        if (say(u' ', ul_format(u"Using external sorter with maxmemory=%lu MB and %s entries of "
                                u"size %d.",
                                o_.maxmemory >> 20, o_.fixedlength ? u"fixed" : u"variable",
                                static_cast<int>(o_.fixedlength ? kFixedRecord
                                                                : kAverageRecord))) < 0)
            return UL_ERROR_RETURN(-1);
    } else if (say(u' ', u"Sorting in memory.") < 0) {
        return UL_ERROR_RETURN(-1);
    }
    return sorter_.open(o_.maxmemory, o_.fixedlength ? kFixedRecord : kAverageRecord,
                        !o_.fixedlength, this);
}

int AuxReadKeyTrace::run() {
    stepText_ = std::u16string(1, o_.step);
    if (initialize() < 0) return UL_ERROR_RETURN(-1);
    const bool connect = !showOnly() || o_.exchange;
    if (connect && ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    int rc = 0;
    if ((o_.exchange && readExchangeTables() < 0) || readTableControl() < 0) rc = -1;
    if (rc == 0) {
        if (o_.logs) {
            for (size_t i = 0; rc == 0 && i < o_.files.size(); ++i)
                rc = readKeyTraceFile(o_.files[i].c_str(), static_cast<int>(i) + 1,
                                      static_cast<int>(o_.files.size()));
        } else {
            rc = readKeyTracesFromBuffer(o_.files[0].c_str(), o_.sid);
        }
    }
    if (rc == 0 && (flushPending() < 0 || (!showOnly() && initInsertKeyTraces() < 0) ||
                    groupKeyTraces() < 0 || store() < 0))
        rc = -1;
    if (rc < 0) {
        sorter_.close(false);
        return ul_sqlisconnected() ? ul_sqldisconnectfailed() : UL_ERROR_RETURN(-1);
    }
    if (say(u' ', ul_format(u"Summary: %d/%d/%d total/merged/unique entries in files, %d/%d/%d "
                            u"duplicates/chunked/inserted in database.",
                            static_cast<int>(found_), static_cast<int>(found_ - unique_),
                            static_cast<int>(unique_), static_cast<int>(duplicates_),
                            static_cast<int>(chunked_), static_cast<int>(inserted_))) < 0 ||
        (ignored_ && say(u' ', ul_format(u"Ignored %d key entries.", static_cast<int>(ignored_))) <
                         0))
        return ul_sqlisconnected() ? ul_sqldisconnectfailed() : UL_ERROR_RETURN(-1);
    if (ul_sqlisconnected() && ul_sqldisconnect(0) < 0) return UL_ERROR_RETURN(-1);
    sorter_.close(true);
    return ul_msgwrite_timeprint(1) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int AuxReadKeyTrace::readExchangeTables() {
    std::u16string sql;
    if (ul_sqlquotenames(&sql,
                         o_.shadowImport ? u"SELECT {TABNAME} FROM {PUTTB_SHD} WHERE {WCONTENT} = "
                                           u"'D' OR {WCONTENT} = 'Q'"
                                         : u"SELECT {TABNAME} FROM {PUTTB_SHD} WHERE {WCONTENT} = "
                                           u"'D'",
                         {}) < 0)
        return UL_ERROR_RETURN(-1);
    const size_t before = settings_.size();
    if (ULSQLStmt::run(sql.c_str(), nullptr, 0, this, nullptr, UL_SQLMODE_SELECT) < 0)
        return UL_ERROR_RETURN(-1);
    return say(u' ', ul_format(u"Read %d exchange/shadow import tables.",
                               static_cast<int>(settings_.size() - before)));
}

// Rows of the exchange table list.
int AuxReadKeyTrace::handleRow(unsigned flags, const char16_t** values, unsigned ncols) {
    if (flags & UL_ROW_PARAMS) return nextParamRow(values);
    if (!(flags & UL_ROW_DATA) || ncols < 1 || !values[0]) return 0;
    std::u16string name = values[0];
    while (!name.empty() && name.back() == u' ') name.pop_back();
    TableSetting s;
    s.ignore = o_.exchange == 1;
    if (!s.ignore) s.pattern = u"*";
    settings_[name] = s;
    return 0;
}

int AuxReadKeyTrace::readTableControl() {
    if (o_.tabcontrol.empty()) return 0;
    const char16_t* file = o_.tabcontrol.c_str();
    ULTextFileReader in;
    if (in.open(file) < 0)
        return ul_errorfail(ul_format(u"Cannot read '%s'", file));
    std::unordered_map<std::u16string, bool> fromFile;
    int count = 0;
    for (;;) {
        const int rc = in.readLine();
        if (rc < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot read '%s'", file);
            return UL_ERROR_RETURN(-1);
        }
        if (rc == 0) break;
        const char16_t* line = in.line();
        const char16_t* p = line;
        while (*p == u' ' || *p == u'\t') ++p;
        if (*p == 0 || *p == u'#') continue;
        const int lineNo = in.lineNumber();
        char16_t name[kMaxTable + 1];
        const char16_t* end = nullptr;
        if (ul_stringreadescape(name, std::size(name), p, 0, &end, UL_ESCAPE_DEFAULT) != 1 ||
            !name[0])
            return ul_errorfail(ul_format(u"Syntax error in l.%d '%s': '%s'", lineNo, file, line));
        TableSetting s;
        while (*end == u' ' || *end == u'\t') ++end;
        if (*end) {
            const char16_t* key = ul_stringstarticmp(end, u"forcekey=");
            char16_t pattern[kMaxPattern + 2];
            const char16_t* after = nullptr;
            if (!key ||
                ul_stringreadescape(pattern, std::size(pattern), key, 0, &after,
                                    UL_ESCAPE_DEFAULT) != 1 ||
                !pattern[0])
                return ul_errorfail(
                    ul_format(u"Syntax error in l.%d '%s': '%s'", lineNo, file, line));
            while (*after == u' ' || *after == u'\t') ++after;
            if (*after)
                return ul_errorfail(
                    ul_format(u"Syntax error in l.%d '%s': '%s'", lineNo, file, line));
            s.ignore = false;
            s.pattern = pattern;
        }
        if (fromFile.count(name))
            return ul_errorfail(
                ul_format(u"Duplicate table '%s' in l.%d '%s'", name, lineNo, file));
        fromFile[name] = true;
        settings_[name] = s;
        ++count;
    }
    return say(u' ', ul_format(u"Read %d table settings from '%s'", count, file));
}

int AuxReadKeyTrace::readKeyTraceFile(const char16_t* file, int index, int count) {
    if (say(u' ', ul_format(u"Scanning '%s' for key traces (%d/%d).", file, index, count)) < 0)
        return UL_ERROR_RETURN(-1);
    ULTextFileReader in;
    if (in.open(file) < 0) return UL_ERROR_RETURN(-1);
    const long foundBefore = found_, sortedBefore = toSorter_;
    bool haveFunction = false;
    char16_t customer = u'X';
    ul_keytraceline_t t;
    for (;;) {
        const int rc = in.readLine();
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) break;
        if (ul_keytraceparseline(in.line(), in.lineNumber(), file, &t) < 0)
            return UL_ERROR_RETURN(-1);
        if (t.kind == ul_keytraceline_t::Kind::Function) {
            haveFunction = true;
            customer = t.function == u'D' || t.function == u'P' ? u' ' : u'X';
            continue;
        }
        if (t.kind != ul_keytraceline_t::Kind::Trace || !haveFunction) continue;
        if (t.lengthMismatch &&
            say(u'W', ul_format(u"Key length %d doesn't match string length %d in l.%d '%s'",
                                static_cast<int>(t.length), static_cast<int>(t.textLength),
                                in.lineNumber(), file)) < 0)
            return UL_ERROR_RETURN(-1);
        patternentry_t e;
        e.table = std::move(t.table);
        e.pattern = std::move(t.pattern);
        e.languages = std::move(t.languages);
        e.length = t.length;
        e.customer = customer;
        if (addKeyEntry(std::move(e)) < 0) return UL_ERROR_RETURN(-1);
    }
    if (flushPending() < 0) return UL_ERROR_RETURN(-1);
    return say(u' ', ul_format(u"Entries: %d/%d/%d found/unique/total_unique",
                               static_cast<int>(found_ - foundBefore),
                               static_cast<int>(toSorter_ - sortedBefore),
                               static_cast<int>(toSorter_)));
}

// The parent directory of path ("." when it has none).
std::u16string parentOf(const std::u16string& path) {
    const size_t slash = path.find_last_of(u'/');
    if (slash == std::u16string::npos) return u".";
    if (slash == 0) return u"/";
    return path.substr(0, slash);
}

int AuxReadKeyTrace::readKeyTracesFromBuffer(const char16_t* buffer, const std::u16string& sid) {
    if (say(u' ', ul_format(u"Reading 'P' logs from transports in buffer '%s'.", buffer)) < 0)
        return UL_ERROR_RETURN(-1);
    std::vector<std::u16string> names;
    if (ul_buffergettransports(&names, buffer, UL_BUFFER_PLAINNAMES) < 0)
        return UL_ERROR_RETURN(-1);
    std::u16string dir = parentOf(parentOf(buffer));
    const std::u16string logDir = ul_format(u"%s%clog", dir == u"/" ? u"" : dir.c_str(), u'/');
    for (size_t i = 0; i < names.size(); ++i) {
        const std::u16string& name = names[i];
        const std::u16string log =
            logDir + u"/" +
            ul_format(u"%.3s%c%s.%s", name.c_str(), u'P',
                      name.size() > 4 ? name.c_str() + 4 : u"", sid.c_str());
        // A request that was not imported yet has no log; its traces come with a later run.
        if (access(ul_utf16to8(log.c_str()).c_str(), F_OK) != 0) {
            if (say(u'W', ul_format(u"No log '%s' for transport '%s'.", log.c_str(),
                                    name.c_str())) < 0)
                return UL_ERROR_RETURN(-1);
            continue;
        }
        if (readKeyTraceFile(log.c_str(), static_cast<int>(i) + 1,
                             static_cast<int>(names.size())) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// Applies the table's setting and merges the entry into the previous one when both are equal
// in table, pattern and customer flag; otherwise the previous one goes to the sorter.
int AuxReadKeyTrace::addKeyEntry(patternentry_t e) {
    auto it = settings_.find(e.table);
    if (it != settings_.end()) {
        if (it->second.ignore) {
            ++ignored_;
            return 0;
        }
        e.pattern = it->second.pattern;
        e.length = static_cast<long>(e.pattern.size());
    }
    ++found_;
    if (havePending_ && pending_.table == e.table && pending_.pattern == e.pattern &&
        pending_.customer == e.customer) {
        if (pending_.length != e.length)
            return ul_errorfail(ul_format(u"Incompatible pattern length %d != %d for '%s' '%s'",
                                          static_cast<int>(pending_.length),
                                          static_cast<int>(e.length), e.table.c_str(),
                                          e.pattern.c_str()));
        unionLanguages(&pending_.languages, e.languages);
        return 0;
    }
    if (flushPending() < 0) return UL_ERROR_RETURN(-1);
    pending_ = std::move(e);
    havePending_ = true;
    return 0;
}

int AuxReadKeyTrace::flushPending() {
    if (!havePending_) return 0;
    havePending_ = false;
    ++toSorter_;
    return packPattEntry(pending_);
}

// Variable records: table, pattern (each a length byte and big-endian UTF-16), pattern length,
// customer flag, languages (packed length and UTF-16). Fixed records of 432 bytes: table and
// pattern padded to their maximum, 4-byte length, flag, and the address of the languages in
// the string pool.
int AuxReadKeyTrace::packPattEntry(const patternentry_t& e) {
    record_.clear();
    const bool fixed = o_.fixedlength;
    putUnits(&record_, e.table, fixed ? kMaxTable : 0);
    putUnits(&record_, e.pattern, fixed ? kMaxPattern + 1 : 0);
    unsigned char n[5];
    record_.insert(record_.end(), n, n + ul_packuint(n, static_cast<unsigned long>(e.length), fixed));
    record_.push_back(static_cast<unsigned char>(e.customer));
    if (fixed) {
        const char16_t* pooled = pool_.dupString(e.languages.c_str(), UL_STRPOOL_DEDUP);
        if (!pooled) return UL_ERROR_RETURN(-1);
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&pooled);
        record_.insert(record_.end(), bytes, bytes + sizeof pooled);
        record_.resize(kFixedRecord, 0);
    } else {
        record_.insert(record_.end(), n, n + ul_packuint(n, e.languages.size(), false));
        for (char16_t c : e.languages) {
            record_.push_back(static_cast<unsigned char>(c >> 8));
            record_.push_back(static_cast<unsigned char>(c));
        }
    }
    return sorter_.put(record_.data(), static_cast<unsigned>(record_.size())) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

int AuxReadKeyTrace::compareKeyTraceEntryExt(const unsigned char* a, unsigned alen,
                                             const unsigned char* b, unsigned blen) const {
    const size_t tpad = o_.fixedlength ? kMaxTable : 0;
    const size_t ppad = o_.fixedlength ? kMaxPattern + 1 : 0;
    const unsigned char *pa = a, *pb = b, *ua, *ub;
    size_t na, nb;
    if (getUnits(&pa, a + alen, tpad, kMaxTable, &ua, &na) < 0 ||
        getUnits(&pb, b + blen, tpad, kMaxTable, &ub, &nb) < 0)
        return 0;  // cannot happen: every record was packed by packPattEntry
    int c = compareUnits(ua, na, ub, nb);
    if (c) return c;
    if (getUnits(&pa, a + alen, ppad, kMaxPattern + 1, &ua, &na) < 0 ||
        getUnits(&pb, b + blen, ppad, kMaxPattern + 1, &ub, &nb) < 0)
        return 0;
    return compareUnits(ua, na, ub, nb);
}

int AuxReadKeyTrace::unpackPattEntry(const unsigned char* rec, unsigned length,
                                     patternentry_t* e) const {
    const bool fixed = o_.fixedlength;
    const unsigned char* p = rec;
    const unsigned char* end = rec + length;
    const unsigned char* units;
    size_t n;
    unsigned long value = 0;
    if (getUnits(&p, end, fixed ? kMaxTable : 0, kMaxTable, &units, &n) < 0)
        return ul_errorfail(u"Corrupt key trace record read back from the sorter");
    e->table = unitsToString(units, n);
    if (getUnits(&p, end, fixed ? kMaxPattern + 1 : 0, kMaxPattern + 1, &units, &n) < 0 ||
        ul_unpackuint(&p, end, fixed, &value) < 0 || p == end)
        return ul_errorfail(u"Corrupt key trace record read back from the sorter");
    e->pattern = unitsToString(units, n);
    e->length = static_cast<long>(value);
    e->customer = *p++;
    if (fixed) {
        const char16_t* pooled = nullptr;
        if (static_cast<size_t>(end - p) < sizeof pooled)
            return ul_errorfail(u"Corrupt key trace record read back from the sorter");
        std::memcpy(&pooled, p, sizeof pooled);
        e->languages = pooled;
        return 0;
    }
    if (ul_unpackuint(&p, end, false, &value) < 0 ||
        static_cast<unsigned long>(end - p) < 2 * value)
        return ul_errorfail(u"Corrupt key trace record read back from the sorter");
    e->languages = unitsToString(p, value);
    return 0;
}

// The next entry after the sort with all sorted entries of equal table and pattern merged:
// languages united, customer flag X winning. 1 with e set, 0 at the end, -1.
int AuxReadKeyTrace::getNextPatternEntry(patternentry_t* e) {
    if (!haveLookahead_) {
        const unsigned char* rec;
        unsigned length;
        const int rc = sorter_.next(&rec, &length);
        if (rc <= 0) return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
        if (unpackPattEntry(rec, length, &lookahead_) < 0) return UL_ERROR_RETURN(-1);
        ++sortedRead_;
    }
    *e = std::move(lookahead_);
    haveLookahead_ = false;
    for (;;) {
        const unsigned char* rec;
        unsigned length;
        const int rc = sorter_.next(&rec, &length);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) break;
        if (unpackPattEntry(rec, length, &lookahead_) < 0) return UL_ERROR_RETURN(-1);
        ++sortedRead_;
        if (lookahead_.table != e->table || lookahead_.pattern != e->pattern) {
            haveLookahead_ = true;
            break;
        }
        if (lookahead_.length != e->length)
            return ul_errorfail(ul_format(u"Incompatible pattern length %d != %d for '%s' '%s'",
                                          static_cast<int>(e->length),
                                          static_cast<int>(lookahead_.length), e->table.c_str(),
                                          e->pattern.c_str()));
        unionLanguages(&e->languages, lookahead_.languages);
        if (lookahead_.customer == u'X') e->customer = u'X';
    }
    ++unique_;
    return 1;
}

int AuxReadKeyTrace::initInsertKeyTraces() {
    std::u16string del, ins;
    if (ul_sqlquotenames(&del,
                         u"DELETE FROM {%s} WHERE {TABLENAME} = ? AND {KEYPATTERN} = ? AND {STEP} = ?",
                         {kCollTable}) < 0 ||
        ul_sqlquotenames(&ins, u"INSERT INTO {%s} VALUES(?, ?, ?, ?, ?, ?)", {kCollTable}) < 0)
        return UL_ERROR_RETURN(-1);
    if (delete_.prepare(del.c_str(), nullptr, 0, nullptr, 0, 0) < 0 ||
        insert_.prepare(ins.c_str(), nullptr, 0, nullptr, 0,
                        o_.step == u'C' ? UL_SQLMODE_IGNOREDUPS : 0) < 0)
        return UL_ERROR_RETURN(-1);
    if (o_.mode == Mode::CleanOld && say(u' ', u"Cleaning up old entries before insert.") < 0)
        return UL_ERROR_RETURN(-1);
    if (o_.mode == Mode::CleanOnly && say(u' ', u"Only cleaning up entries!") < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int AuxReadKeyTrace::groupKeyTraces() {
    if (say(u' ', u"Sorting found key traces.") < 0 || sorter_.finish() < 0 ||
        say(u' ', u"Removing duplicates and merging language vector.") < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int AuxReadKeyTrace::announceCut(const patternentry_t& e) {
    const size_t n = pieces(e);
    if (n < 2) return 0;
    ++chunked_;
    return say(u' ', ul_format(u"KeyTrace '%s' '%s' cut into %d pieces", e.table.c_str(),
                               e.pattern.c_str(), static_cast<int>(n)));
}

int AuxReadKeyTrace::showInsertProgress() {
    if (o_.showinterval <= 0 || unique_ % o_.showinterval != 0) return 0;
    return say(u' ', ul_format(u"Completed %d/%d/%d total/merged/inserted entries",
                               static_cast<int>(sortedRead_), static_cast<int>(unique_),
                               static_cast<int>(o_.mode == Mode::Insert ? supplied_ : inserted_)));
}

int AuxReadKeyTrace::store() {
    if (o_.mode == Mode::Insert) {
        if (say(u' ', u"Using bulk insert.") < 0) return UL_ERROR_RETURN(-1);
        const long processed = insert_.execute(this, nullptr, 0);
        if (processed < 0) return UL_ERROR_RETURN(-1);
        inserted_ = processed;
        duplicates_ = supplied_ - processed;
        return ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0 ? UL_ERROR_RETURN(-1) : 0;
    }
    if (o_.mode == Mode::SingleInsert && say(u' ', u"Using single inserts.") < 0)
        return UL_ERROR_RETURN(-1);
    std::u16string table;
    long perTable = 0;
    patternentry_t e;
    for (;;) {
        const int rc = getNextPatternEntry(&e);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (o_.mode == Mode::ShowTables && perTable && (rc == 0 || e.table != table)) {
            if (say(u' ', ul_format(u"Table %-30s %8d", table.c_str(), static_cast<int>(perTable))) <
                0)
                return UL_ERROR_RETURN(-1);
            perTable = 0;
        }
        if (rc == 0) break;
        table = e.table;
        ++perTable;
        if (singleInsertKeyTrace(e) < 0 || showInsertProgress() < 0) return UL_ERROR_RETURN(-1);
    }
    return ul_sqlisconnected() && ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0 ? UL_ERROR_RETURN(-1)
                                                                               : 0;
}

int AuxReadKeyTrace::singleInsertKeyTrace(const patternentry_t& e) {
    switch (o_.mode) {
        case Mode::Show:
            if (announceCut(e) < 0) return UL_ERROR_RETURN(-1);
            for (size_t i = 0; i < pieces(e); ++i)
                if (say(u' ', ul_format(u"KeyTrace '%s' '%s' '%s' '%c' %d '%s'", e.table.c_str(),
                                        e.pattern.c_str(), piece(e, i).c_str(), e.customer,
                                        static_cast<int>(e.length), stepText_.c_str())) < 0)
                    return UL_ERROR_RETURN(-1);
            return 0;
        case Mode::ShowTables:
        case Mode::ShowTotal:
            return 0;
        case Mode::CleanOnly:
        case Mode::CleanOld:
            if (delete_.bindParamS(0, e.table.c_str()) < 0 ||
                delete_.bindParamS(1, e.pattern.c_str()) < 0 ||
                delete_.bindParamS(2, stepText_.c_str()) < 0 ||
                delete_.execute(nullptr, nullptr, 0) < 0)
                return UL_ERROR_RETURN(-1);
            if (o_.mode == Mode::CleanOnly) return commitIfDue();
            return insertPieces(e);
        default:
            return insertPieces(e);
    }
}

int AuxReadKeyTrace::insertPieces(const patternentry_t& e) {
    if (announceCut(e) < 0) return UL_ERROR_RETURN(-1);
    const std::u16string customer(1, e.customer);
    const std::u16string length = ul_format(u"%ld", e.length);
    for (size_t i = 0; i < pieces(e); ++i) {
        const std::u16string languages = piece(e, i);
        long rc = -1;
        if (insert_.bindParamS(0, e.table.c_str()) == 0 &&
            insert_.bindParamS(1, e.pattern.c_str()) == 0 &&
            insert_.bindParamS(2, languages.c_str()) == 0 &&
            insert_.bindParamS(3, customer.c_str()) == 0 &&
            insert_.bindParamS(4, length.c_str()) == 0 &&
            insert_.bindParamS(5, stepText_.c_str()) == 0)
            rc = insert_.execute(nullptr, nullptr, 0);
        if (rc < 0) {
            ul_errorsetmsgfmt(UL_ERR_PREPEND,
                              u"Insert KeyTrace failed for TABLENAME='%s' KEYPATTERN='%s' "
                              u"LANG_VECTOR='%s' CUSTOMER='%s' PATTERNLENGTH=%d STEP='%s'",
                              e.table.c_str(), e.pattern.c_str(), languages.c_str(),
                              customer.c_str(), static_cast<int>(e.length), stepText_.c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (rc == 0)
            ++duplicates_;
        else
            inserted_ += rc;
        if (commitIfDue() < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// Supplies the rows of the array insert: every piece of every merged entry.
int AuxReadKeyTrace::nextParamRow(const char16_t** values) {
    if (!paramActive_ || paramPiece_ >= pieces(param_)) {
        const int rc = getNextPatternEntry(&param_);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) return UL_PARAMS_END;
        if (announceCut(param_) < 0 || showInsertProgress() < 0) return UL_ERROR_RETURN(-1);
        paramActive_ = true;
        paramPiece_ = 0;
        paramLength_ = ul_format(u"%ld", param_.length);
        paramCustomer_ = std::u16string(1, param_.customer);
    }
    paramPieceText_ = piece(param_, paramPiece_++);
    values[0] = param_.table.c_str();
    values[1] = param_.pattern.c_str();
    values[2] = paramPieceText_.c_str();
    values[3] = paramCustomer_.c_str();
    values[4] = paramLength_.c_str();
    values[5] = stepText_.c_str();
    ++supplied_;
    if (++sinceCommit_ < o_.autocommit) return 0;
    sinceCommit_ = 0;
    return UL_PARAMS_COMMIT;
}

// ---- options -------------------------------------------------------------------------------

int usage() {
    ULTextFileWriter out;
    const std::u16string text =
        u"Usage: genkeytraces step=[S|C] [<options>] <bufferfile>\nor:    genkeytraces "
        u"step=[S|C] type=logs [<options>] <logfile> ...\n  Available options:\n"
        u"    step=S|C           Upgrade step stored with the patterns.\n"
        u"    type=logs          The arguments are log files instead of an import buffer.\n"
        u"    mode=<mode>        show, showtables, showtotal, cleanonly, cleanold or "
        u"singleinsert\n                       (default: bulk insert).\n" +
        ul_format(u"    autocommit=<n>     Commit every <n> rows (default is %d).\n"
                  u"    showinterval=<n>   Progress message every <n> entries (default is %d).\n",
                  static_cast<int>(kDefaultAutocommit), static_cast<int>(kDefaultShowInterval)) +
        u"    tabcontrol=<path>  Table settings: '<table>' ignores, '<table> forcekey=<pattern>'"
        u" forces a key.\n"
        u"    sid=<sid>          System id naming the logs (default: $VEXSYSTEMNAME).\n" +
        ul_format(u"    fixedlength        Sort fixed-length entries of %d bytes instead of "
                  u"variable ones\n                       (about %d bytes on average).\n",
                  static_cast<int>(kFixedRecord), static_cast<int>(kAverageRecord)) +
        u"    exchgtabcontrol=ignore|generic   Setting for the exchange tables.\n"
        u"    shdimptabcontrol=ignore|generic  Setting for exchange and shadow import tables.\n" +
        ul_maxmemoryusage(UL_SORT_DEFAULTMEMORY);
    if (out.attach(stdout, u"stdout") < 0 || out.write(text.c_str()) < 0 || out.flush() < 0)
        return UL_ERROR_RETURN(-1);
    return UL_EXIT_USAGE;
}

int parseMode(const char16_t* value, Mode* mode) {
    static const struct {
        const char16_t* word;
        Mode mode;
    } kModes[] = {{u"insert", Mode::Insert},         {u"show", Mode::Show},
                  {u"showtables", Mode::ShowTables}, {u"showtotal", Mode::ShowTotal},
                  {u"cleanonly", Mode::CleanOnly},   {u"cleanold", Mode::CleanOld},
                  {u"singleinsert", Mode::SingleInsert}};
    for (const auto& m : kModes) {
        if (ul_stricmp(value, m.word) == 0) {
            *mode = m.mode;
            return 0;
        }
    }
    return ul_errorfail(ul_format(u"Invalid mode '%s'", value));
}

int parseExchange(const char16_t* value, int* setting) {
    if (ul_stricmp(value, u"ignore") == 0)
        *setting = 1;
    else if (ul_stricmp(value, u"generic") == 0)
        *setting = 2;
    else
        return ul_errorfail(ul_format(u"Unknown 'exchgcontrol' setting '%s'", value));
    return 0;
}

// Returns 0, 1 when the usage is to be shown, or -1.
int parseOptions(unsigned argc, const char16_t** argv, Options* o) {
    bool haveSid = false;
    for (unsigned i = 1; i < argc; ++i) {
        const char16_t* arg = argv[i];
        const char16_t* v;
        if ((v = ul_stringstarticmp(arg, u"step="))) {
            const char16_t c = v[0] >= u'a' && v[0] <= u'z' ? static_cast<char16_t>(v[0] - 32)
                                                           : v[0];
            if (c != u'S' && c != u'C') return ul_errorfail(ul_format(u"Invalid step '%s'", v));
            o->step = c;
        } else if ((v = ul_stringstarticmp(arg, u"type="))) {
            if (ul_stricmp(v, u"logs") == 0)
                o->logs = true;
            else if (ul_stricmp(v, u"buffer") == 0)
                o->logs = false;
            else
                return ul_errorfail(ul_format(u"Invalid type '%s'", v));
        } else if ((v = ul_stringstarticmp(arg, u"mode="))) {
            if (parseMode(v, &o->mode) < 0) return UL_ERROR_RETURN(-1);
        } else if ((v = ul_stringstarticmp(arg, u"autocommit="))) {
            if (ul_stringtocount(v, &o->autocommit) < 0) return UL_ERROR_RETURN(-1);
            if (o->autocommit < 1) o->autocommit = 1;
        } else if ((v = ul_stringstarticmp(arg, u"showinterval="))) {
            if (ul_stringtocount(v, &o->showinterval) < 0) return UL_ERROR_RETURN(-1);
        } else if ((v = ul_stringstarticmp(arg, u"tabcontrol="))) {
            o->tabcontrol = v;
        } else if ((v = ul_stringstarticmp(arg, u"sid="))) {
            o->sid = v;
            haveSid = true;
        } else if (ul_stricmp(arg, u"fixedlength") == 0) {
            o->fixedlength = true;
        } else if ((v = ul_stringstarticmp(arg, u"maxmemory="))) {
            if (ul_parsemaxmemory(v, &o->maxmemory) < 0) return UL_ERROR_RETURN(-1);
        } else if ((v = ul_stringstarticmp(arg, u"exchgtabcontrol="))) {
            if (parseExchange(v, &o->exchange) < 0) return UL_ERROR_RETURN(-1);
            o->shadowImport = false;
        } else if ((v = ul_stringstarticmp(arg, u"shdimptabcontrol="))) {
            if (parseExchange(v, &o->exchange) < 0) return UL_ERROR_RETURN(-1);
            o->shadowImport = true;
        } else if (!ul_strchr(arg, u'=')) {
            o->files.emplace_back(arg);
        } else {
            return ul_errorfail(ul_format(u"Unknown option '%s'", arg));
        }
    }
    if (o->files.empty() || !o->step) return 1;
    if (!o->logs) {
        if (o->files.size() > 1)
            return ul_errorfail(ul_format(u"Unknown option '%s'", o->files[1].c_str()));
        if (!haveSid) {
            const char* env = getenv("VEXSYSTEMNAME");
            if (!env)
                return ul_errorfail(
                    u"Parameter 'sid' not given and environment 'VEXSYSTEMNAME' not found");
            o->sid = ul_utf8to16(env);
        }
    }
    return 0;
}

}  // namespace

int cmd_GENKEYTRACES(unsigned int argc, const char16_t** argv) {
    Options o;
    const int rc = parseOptions(argc, argv, &o);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc > 0) return usage();
    AuxReadKeyTrace aux(o);
    return aux.run() < 0 ? UL_ERROR_RETURN(-1) : 0;
}

#include "splittable.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tabrix.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlsplit.h"
#include "ulsqlsplitdb.h"
#include "ulsqlutil.h"
#include "ulsqlwherefile.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"

namespace {

constexpr double kDefaultSegment = 0.05;
constexpr size_t kMaxKeyFieldText = 256;

unsigned long ul(ul_dbrowcount_t n) {
    return static_cast<unsigned long>(n);
}

// ---- options ------------------------------------------------------------------------------------

enum class CountMode { exact, estimate, check, show };

struct SplitOptions {
    double segment = 0;  // 0: not given
    bool nrSplits = false;
    ul_dbrowcount_t totalCount = UL_DBROWCOUNT_INVALID;
    bool minGiven = false;
    bool maxGiven = false;
    ul_dbrowcount_t minSplits = UL_DBROWCOUNT_INVALID;
    ul_dbrowcount_t maxSplits = UL_DBROWCOUNT_INVALID;
    int methodMode = 0;
    std::u16string keyFields;  // the user's list
    bool native = false;
    bool forceNative = false;
    long maxKeyFields = UL_SPLIT_DEFAULTMAXKEYFIELDS;
    CountMode count = CountMode::exact;
    bool checkBounds = false;
    bool onlyPartitions = false;
    bool filterNonAscii = false;
    std::u16string preselectFile;
    long preselectPos = 0;  // 0: all
    bool preselectInverted = false;
    bool preselectMulti = false;
    std::u16string whereFile;
    bool noCntLines = false;
};

int invalidNumber(const char16_t* value) {
    return ul_errorfail(ul_format(u"Invalid number '%s'", value));
}

// A decimal count: digits only.
int readCount(const char16_t* value, ul_dbrowcount_t* out) {
    long number = 0;
    if (ul_stringtocount(value, &number) < 0) return UL_ERROR_RETURN(-1);
    *out = static_cast<ul_dbrowcount_t>(number);
    return 0;
}

// A limit: 0 means none.
int readLimit(const char16_t* value, ul_dbrowcount_t* out) {
    if (readCount(value, out) < 0) return UL_ERROR_RETURN(-1);
    if (*out == 0) *out = UL_DBROWCOUNT_INVALID;
    return 0;
}

int optSegmentSize(SplitOptions* o, const char16_t* value) {
    double number = 0;
    if (ul_sqlparsenumber(value, &number) < 0 || !(number > 0) || !std::isfinite(number))
        return invalidNumber(value);
    o->segment = number;
    return 0;
}
int optNrSplits(SplitOptions* o, const char16_t* value) {
    ul_dbrowcount_t n = 0;
    if (readCount(value, &n) < 0) return UL_ERROR_RETURN(-1);
    if (n == 0) return invalidNumber(value);
    if (n == 1) return ul_errorfail(u"Splitting into '1' part does not make any sense");
    o->segment = 1.0 / static_cast<double>(n);
    o->nrSplits = true;
    return 0;
}
int optTotalCount(SplitOptions* o, const char16_t* value) {
    return readLimit(value, &o->totalCount);
}
int optMinSplits(SplitOptions* o, const char16_t* value) {
    o->minGiven = true;
    return readLimit(value, &o->minSplits);
}
int optMaxSplits(SplitOptions* o, const char16_t* value) {
    o->maxGiven = true;
    return readLimit(value, &o->maxSplits);
}
int optMethod(SplitOptions* o, const char16_t* value) {
    if (ul_stricmp(value, u"standard") == 0)
        o->methodMode = UL_SQLTABSPLIT_FSTANDARD;
    else if (ul_stricmp(value, u"rownum") == 0)
        o->methodMode = 0;
    else if (ul_stricmp(value, u"substr") == 0)
        o->methodMode = UL_SQLTABSPLIT_FPREFIX;
    else
        return ul_errorfail(ul_format(u"Unknown method '%s'", value));
    return 0;
}
int optKeyFields(SplitOptions* o, const char16_t* value) {
    if (ul_stricmp(value, u"native") == 0) {
        o->native = true;
    } else if (ul_stricmp(value, u"forcenative") == 0) {
        o->native = o->forceNative = true;
    } else {
        if (ul_strlen(value) >= kMaxKeyFieldText)
            return ul_errorfail(ul_format(u"Key field list '%s' exceeds %d characters", value,
                                          static_cast<int>(kMaxKeyFieldText - 1)));
        o->keyFields = value;
    }
    return 0;
}
int optMaxKeyFields(SplitOptions* o, const char16_t* value) {
    ul_dbrowcount_t n = 0;
    if (readCount(value, &n) < 0) return UL_ERROR_RETURN(-1);
    o->maxKeyFields = static_cast<long>(n);
    return 0;
}
int optCount(SplitOptions* o, const char16_t* value) {
    if (ul_stricmp(value, u"estimate") == 0)
        o->count = CountMode::estimate;
    else if (ul_stricmp(value, u"check") == 0)
        o->count = CountMode::check;
    else if (ul_stricmp(value, u"show") == 0)
        o->count = CountMode::show;
    else
        return ul_errorfail(ul_format(u"Unknown 'count=' option '%s'", value));
    return 0;
}
int optPreselectFile(SplitOptions* o, const char16_t* value) {
    o->preselectFile = value;
    return 0;
}
int optPreselectPos(SplitOptions* o, const char16_t* value) {
    long pos = 0;
    if (!ul_isdigit(value[0]) || ul_stringtolong(value, &pos) < 0 || pos <= 0)
        return ul_errorfail(ul_format(u"Invalid preselect position '%s'", value));
    o->preselectPos = pos;
    return 0;
}
int optWhereFile(SplitOptions* o, const char16_t* value) {
    o->whereFile = value;
    return 0;
}

struct ValueOption {
    const char16_t* prefix;  // with "="
    int (*apply)(SplitOptions*, const char16_t* value);
};
const ValueOption kValueOptions[] = {
    {u"segmentsize=", optSegmentSize},
    {u"nrsplits=", optNrSplits},
    {u"totalcount=", optTotalCount},
    {u"minsplits=", optMinSplits},
    {u"maxsplits=", optMaxSplits},
    {u"method=", optMethod},
    {u"keyfields=", optKeyFields},
    {u"maxkeyfields=", optMaxKeyFields},
    {u"count=", optCount},
    {u"preselectfile=", optPreselectFile},
    {u"preselectpos=", optPreselectPos},
    {u"wherefile=", optWhereFile},
};

struct FlagOption {
    const char16_t* name;
    bool SplitOptions::*flag;
};
const FlagOption kFlagOptions[] = {
    {u"checkbounds", &SplitOptions::checkBounds},
    {u"onlypartitions", &SplitOptions::onlyPartitions},
    {u"filternonascii", &SplitOptions::filterNonAscii},
    {u"preselectinverted", &SplitOptions::preselectInverted},
    {u"preselectmulti", &SplitOptions::preselectMulti},
    {u"nocntlines", &SplitOptions::noCntLines},
};

int applyOption(SplitOptions* o, const char16_t* word, bool* segmentGiven) {
    for (const ValueOption& option : kValueOptions) {
        if (const char16_t* value = ul_stringstarticmp(word, option.prefix)) {
            if (option.apply == optSegmentSize) *segmentGiven = true;
            return option.apply(o, value);
        }
    }
    for (const FlagOption& option : kFlagOptions) {
        if (ul_stricmp(word, option.name) == 0) {
            o->*option.flag = true;
            return 0;
        }
    }
    return ul_errorfail(ul_format(u"Unknown option '%s'", word));
}

int parseOptions(const std::vector<const char16_t*>& words, SplitOptions* o) {
    bool segmentGiven = false;
    for (const char16_t* word : words)
        if (applyOption(o, word, &segmentGiven) < 0) return UL_ERROR_RETURN(-1);
    if (segmentGiven && o->nrSplits)
        return ul_errorfail(u"Cannot have 'nrsplits=' and 'segmentsize=' option");
    if (o->segment == 0) o->segment = kDefaultSegment;
    if (o->segment < 1.0 && o->maxSplits != UL_DBROWCOUNT_INVALID &&
        static_cast<double>(o->maxSplits) * o->segment < 1.0)
        return ul_errorfail(u"Limit 'maxsplits=' cannot be lower than number of requested splits");
    return 0;
}

// ---- one table ----------------------------------------------------------------------------------

// A field list that owns its names.
struct FieldList {
    std::vector<std::u16string> names;
    std::vector<const char16_t*> pointers;

    void set(std::vector<std::u16string> list) {
        names = std::move(list);
        pointers.clear();
        for (const std::u16string& n : names) pointers.push_back(n.c_str());
    }
    unsigned size() const { return static_cast<unsigned>(pointers.size()); }
    const char16_t* const* data() const { return pointers.data(); }
};

std::vector<std::u16string> splitFieldList(const char16_t* text) {
    std::vector<std::u16string> fields;
    ULWordListIter words(text, u',', UL_WORDLIST_TRIM | UL_WORDLIST_SKIP_EMPTY);
    char16_t word[kMaxKeyFieldText];
    while (words.next(word, kMaxKeyFieldText) > 0) fields.emplace_back(word);
    return fields;
}

class TableSplitter {
  public:
    TableSplitter(const char16_t* table, const SplitOptions& options)
        : table_(table), o_(options) {}

    // Returns the split result (0, or 2 for partition clauses only) or -1.
    int run() {
        mode_ = o_.methodMode | (o_.filterNonAscii ? UL_SQLTABSPLIT_FFILTERNONASCII : 0);
        if (readPreselections() < 0 || chooseKeyFields() < 0) return UL_ERROR_RETURN(-1);
        const int partitions = checkPartitions();
        if (partitions < 0) return UL_ERROR_RETURN(-1);
        if (partitions == 2) {
            native_ = true;
            if (output() < 0) return UL_ERROR_RETURN(-1);
            return 2;
        }
        if (keys_.size() == 0) return 0;
        const int rc = splitWithRetry();
        if (rc <= 0) return rc;  // -1, or nothing to write
        return output() < 0 ? UL_ERROR_RETURN(-1) : 0;
    }

  private:
    int readPreselections() {
        if (o_.preselectFile.empty()) return 0;
        int flags = o_.preselectInverted ? UL_WHEREREAD_INVERT : 0;
        if (!o_.preselectMulti && o_.preselectPos == 0) flags |= UL_WHEREREAD_SINGLE;
        if (ul_sqlreadwherefile(&preselections_, o_.preselectFile.c_str(), table_, nullptr, flags) <
            0)
            return UL_ERROR_RETURN(-1);
        pre_ = preselections_.get(table_, UL_HASH_QUIET);
        if (!pre_) return ul_errorfail(ul_format(u"No selections for table '%s'", table_));
        const int count = pre_->getCount();
        if (o_.preselectPos > 0) {
            if (pre_->reduce2SingleCondition(static_cast<int>(o_.preselectPos - 1)) < 0)
                return UL_ERROR_RETURN(-1);
            return ul_msgwrite_line399(
                1, u' ',
                ul_format(u"Using preselection %d/%d from '%s'.", static_cast<int>(o_.preselectPos),
                          count, o_.preselectFile.c_str()));
        }
        return ul_msgwrite_line399(
            1, u' ',
            ul_format(u"Using %d preselections from '%s'.", count, o_.preselectFile.c_str()));
    }

    // 1 with native fields in keys_, 0 to fall back to the key fields.
    int nativeFields() {
        const int supported = ul_sqlsplitsupportsnative();
        if (supported < 0) return UL_ERROR_RETURN(-1);
        if (supported == 0)
            return ul_msgwrite_line399(1, u'W',
                                       u"Native splits are not supported for this DB platform!");
        ul_sqlfielddesc_t* descs = nullptr;
        unsigned ndescs = 0;
        const int oiflags = ul_sqltablegetoiflags(table_, nullptr, 0, &descs, &ndescs, 0);
        free(descs);
        if (oiflags < 0) return UL_ERROR_RETURN(-1);
        if (oiflags & (UL_OIFLAG_CLUSTER | UL_OIFLAG_POOL | UL_OIFLAG_PACKED)) {
            if (!o_.forceNative)
                return ul_msgwrite_line399(1, u'W',
                                           u"Table is packed, must not use native split fields!");
            if (ul_msgwrite_line399(1, u'W', u"User forced native split for packed table!") < 0)
                return UL_ERROR_RETURN(-1);
        }
        std::vector<std::u16string> fields;
        const int rc = ul_sqlsplitgetnativefields(table_, &fields, UL_SPLIT_MAXNATIVEFIELDS,
                                                  o_.segment, mode_);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if ((rc & 0xFFFF) == 0)
            return ul_msgwrite_line399(1, u'W', u"No support for native split fields!");
        if ((rc & UL_SPLITREQ_USESTANDARD) != 0) {
            mode_ |= UL_SQLTABSPLIT_FSTANDARD;
            if (ul_msgwrite_line399(1, u' ', u"Using standard split method for native fields.") < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (!o_.keyFields.empty() &&
            ul_msgwrite_line399(1, u'W', u"Ignoring user supplied key fields for native method.") <
                0)
            return UL_ERROR_RETURN(-1);
        keys_.set(std::move(fields));
        native_ = true;
        return 1;
    }

    int chooseKeyFields() {
        if (o_.native) {
            const int rc = nativeFields();
            if (rc != 0) return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
        }
        if (!o_.keyFields.empty() && !o_.native) {
            keys_.set(splitFieldList(o_.keyFields.c_str()));
            if (checkUserKeyFields() < 0) return UL_ERROR_RETURN(-1);
        } else if (ul_sqlntgettype(ul_sqlntcurrentslot()) == static_cast<int>(UL_NTTYPE_OFF)) {
            return ul_msgwrite_line399(1, u'W', u"Cannot do splitting without nametab access!");
        } else {
            const char16_t** fields = nullptr;
            unsigned n = 0;
            if (ul_sqltablegetfields(table_, &fields, &n, 1) < 0) return UL_ERROR_RETURN(-1);
            std::vector<std::u16string> names(fields, fields + n);
            ul_sqltablefreefields(fields, n);
            keys_.set(std::move(names));
        }
        std::u16string line =
            ul_format(u"Using %d key fields for \"%s\":", static_cast<int>(keys_.size()), table_);
        for (const std::u16string& f : keys_.names) line += ul_format(u" \"%s\"", f.c_str());
        if (ul_msgwrite_line399(1, u' ', line) < 0) return UL_ERROR_RETURN(-1);
        if (o_.maxKeyFields >= 0 && keys_.size() > static_cast<unsigned long>(o_.maxKeyFields)) {
            std::vector<std::u16string> names = keys_.names;
            names.resize(static_cast<size_t>(o_.maxKeyFields));
            keys_.set(std::move(names));
            return ul_msgwrite_line399(
                1, u' ',
                ul_format(u"Only using %d key fields!", static_cast<int>(o_.maxKeyFields)));
        }
        return 0;
    }

    // The user's key fields must be columns of the table, each named once: a name that the
    // database does not know could be read as something else than a column.
    int checkUserKeyFields() {
        const std::vector<std::u16string>& names = keys_.names;
        for (size_t i = 0; i < names.size(); ++i) {
            for (size_t j = 0; j < i; ++j)
                if (ul_stricmp(names[i].c_str(), names[j].c_str()) == 0)
                    return ul_errorfail(ul_format(u"Duplicate key field '%s'", names[i].c_str()));
        }
        // Without nametab access there is no description; the database rejects unknown names.
        if (ul_sqlntgettype(ul_sqlntcurrentslot()) == static_cast<int>(UL_NTTYPE_OFF)) return 0;
        for (const std::u16string& name : names) {
            const int rc = ULNameTab::tableFieldExists(table_, name.c_str());
            if (rc < 0) return UL_ERROR_RETURN(-1);
            if (rc == 0)
                return ul_errorfail(ul_format(u"Key field '%s' does not exist in table '%s'",
                                              name.c_str(), table_));
        }
        return 0;
    }

    // 0 none (or already in the pre-conditions), 1 split the partitions, 2 they are the result.
    int checkPartitions() {
        bool detected = false;
        for (const ul_tablesegment_t& s : pre_ ? *pre_ : empty_)
            detected = detected || ul_sqlispartitionclause(s.condition());
        if (detected) {
            mode_ |= UL_SQLTABSPLIT_FPARTRESOLVED;
            return ul_msgwrite_line399(1, u' ', u"Detected partitions in supplied pre-conditions.");
        }
        if (!(UL_SQLGlobalFlags & UL_SQLFLAG_CHECK4TABLEPARTITIONS) && !o_.onlyPartitions) return 0;
        const int rc = ul_sqlcheckpartitions(&partitions_, table_, pre_, mode_);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) {
            if (o_.onlyPartitions) return ul_msgwrite_line399(1, u'W', u"Table has no partitions.");
            return 0;
        }
        mode_ |= UL_SQLTABSPLIT_FPARTRESOLVED;
        if (ul_msgwrite_line399(1, u' ',
                                ul_format(u"Detected %ld partitions.",
                                          static_cast<long>(partitions_.getCount()))) < 0)
            return UL_ERROR_RETURN(-1);
        if (rc == 2 || o_.onlyPartitions) {
            if (ul_msgwrite_line399(1, u' ', u"Returning partitions only!") < 0)
                return UL_ERROR_RETURN(-1);
            result_.takeEntries(&partitions_);
            return 2;
        }
        pre_ = &partitions_;
        return 1;
    }

    // Counts the table (or its pre-conditions) and sets the limits. Returns 0 or -1.
    int countAndLimits(bool exact) {
        segment_ = o_.segment;
        total_ = UL_DBROWCOUNT_INVALID;
        estimated_ = false;
        given_ = false;
        minSplits_ = o_.minSplits;
        maxSplits_ = o_.maxSplits;
        if (segment_ >= 1.0) {
            segment_ = std::fmax(segment_, 2.0);
            return ul_msgwrite_line399(
                1, u' ', ul_format(u"%s: Using segment size of %f", table_, segment_));
        }
        if (o_.totalCount != UL_DBROWCOUNT_INVALID && !exact) {
            total_ = o_.totalCount;
            given_ = true;
        } else {
            const int estimate = o_.count == CountMode::estimate && !exact;
            const int rc =
                pre_ ? ul_sqltablecountstarm(table_, pre_, nullptr, 0, &total_, estimate)
                     : ul_sqltablecountstar(table_, nullptr, nullptr, 0, &total_, estimate);
            if (rc < 0) return UL_ERROR_RETURN(-1);
            estimated_ = rc == 1;
        }
        std::u16string line = ul_format(u"%s: %s%lu entries. Using segment size of %g", table_,
                                        estimated_ ? u"estimated " : u"", ul(total_), segment_);
        if (!o_.minGiven) {
            minSplits_ = static_cast<ul_dbrowcount_t>(0.25 / segment_ + 0.5);
            line += ul_format(u", %s splits limited to %lu", u"minimum", ul(minSplits_));
        }
        if (!o_.maxGiven) {
            maxSplits_ =
                std::max<ul_dbrowcount_t>(10, static_cast<ul_dbrowcount_t>(4.0 / segment_ + 0.5));
            line += ul_format(u", %s splits limited to %lu", u"maximum", ul(maxSplits_));
        }
        return ul_msgwrite_line399(1, u' ', line);
    }

    // 1 with conditions to write, 0 when there is nothing to write, -1.
    int splitWithRetry() {
        bool exact = false;
        for (;;) {
            if (countAndLimits(exact) < 0) return UL_ERROR_RETURN(-1);
            const int mode = mode_ | ((estimated_ || given_) ? UL_SQLTABSPLIT_FNOTEXACT : 0);
            result_.clear();
            const int flags =
                pre_ ? ul_sqlsplittablem(&result_, table_, keys_.data(), keys_.size(), segment_,
                                         total_, minSplits_, maxSplits_, pre_, mode)
                     : ul_sqlsplittable(&result_, table_, keys_.data(), keys_.size(), segment_,
                                        total_, minSplits_, maxSplits_, nullptr, mode);
            if (flags < 0) return UL_ERROR_RETURN(-1);
            // A given count is no more exact than an estimate: a segment size taken from it
            // decides nothing, however many splits it gave.
            const bool inexact = estimated_ || given_;
            if ((flags & UL_SPLITRESULT_NOTHING) && !inexact) return 0;
            if (flags & (UL_SPLITRESULT_TOOFEW | UL_SPLITRESULT_TOOMANY | UL_SPLITRESULT_NOTHING)) {
                if (inexact) {
                    if (ul_msgwrite_line399(1, u' ', u"Trying again with exact row count!") < 0)
                        return UL_ERROR_RETURN(-1);
                    exact = true;
                    continue;
                }
                if (flags & UL_SPLITRESULT_TOOMANY) {
                    if (segment_ >= 1.0)
                        return ul_errorfail(
                            ul_format(u"Number of split conditions exceeded %lu with exact "
                                      u"given segmentsize %f",
                                      ul(maxSplits_), segment_));
                    return ul_errorfail(ul_format(
                        u"Too many split conditions even with exact count(*) = %lu", ul(total_)));
                }
                return 0;
            }
            if (flags & UL_SPLITRESULT_NATIVE) native_ = true;
            return result_.isEmpty() ? 0 : 1;
        }
    }

    int output() {
        if (native_) result_.native = true;
        if (!o_.whereFile.empty() && writeWhereFile() < 0) return UL_ERROR_RETURN(-1);
        if (o_.checkBounds) {
            const int errors =
                ul_sqlchecksplitrange(&result_, pre_, native_ ? UL_SPLITRESULT_NATIVE : 0);
            if (errors < 0) return UL_ERROR_RETURN(-1);
            if (errors > 0)
                return ul_errorfail(ul_format(u"Found %d errors during range check", errors));
        }
        if (o_.count == CountMode::check || o_.count == CountMode::show) return checkCounts();
        return 0;
    }

    int writeWhereFile() {
        bool appended = false;
        const int flags = o_.noCntLines ? UL_WHEREFILE_NOCNTLINES : 0;
        const int n =
            ul_sqlwritewherefile(o_.whereFile.c_str(), table_, &result_, flags, &appended);
        if (n < 0) return UL_ERROR_RETURN(-1);
        if (ul_strchr(o_.whereFile.c_str(), u'%'))
            return ul_msgwrite_line399(
                1, u' ',
                ul_format(u"Generated %d where files with pattern '%s'.", n, o_.whereFile.c_str()));
        return ul_msgwrite_line399(
            1, u' ',
            ul_format(u"%s to where file '%s' %d condition clauses.",
                      appended ? u"Appended" : u"Wrote", o_.whereFile.c_str(), n));
    }

    // Counts every condition exactly. A condition that does not yield its stored count, or
    // conditions that do not add up to an exact total, fail the command: they miss or double
    // rows.
    int checkCounts() {
        const bool show = o_.count == CountMode::show;
        ul_dbrowcount_t sum = 0;
        int discrepancies = 0;
        for (const ul_tablesegment_t& s : result_) {
            ul_dbrowcount_t actual = 0;
            if (ul_sqltablecountstar(table_, s.condition(), nullptr, 0, &actual, 0) < 0)
                return UL_ERROR_RETURN(-1);
            sum += actual;
            if (s.rows != UL_DBROWCOUNT_INVALID && s.rows != actual) {
                ++discrepancies;
                if (ul_msgwrite_line399(1, u'E',
                                        ul_format(u"Where condition \"%s\" yields %lu != %lu!",
                                                  s.condition(), ul(actual), ul(s.rows))) < 0)
                    return UL_ERROR_RETURN(-1);
            } else if (show) {
                if (ul_msgwrite_line399(
                        1, u' ',
                        ul_format(u"Where condition \"%s\" yields %lu%s.", s.condition(),
                                  ul(actual),
                                  s.rows != UL_DBROWCOUNT_INVALID ? u" as expected" : u"")) < 0)
                    return UL_ERROR_RETURN(-1);
            }
        }
        ul_dbrowcount_t total = total_;
        bool estimated = estimated_ || given_;
        if (total == UL_DBROWCOUNT_INVALID) {
            const int rc = pre_ ? ul_sqltablecountstarm(table_, pre_, nullptr, 0, &total, 0)
                                : ul_sqltablecountstar(table_, nullptr, nullptr, 0, &total, 0);
            if (rc < 0) return UL_ERROR_RETURN(-1);
            estimated = false;
        }
        if (sum != total) {
            if (ul_msgwrite_line399(1, estimated ? u'W' : u'E',
                                    ul_format(u"Discrepancy of %lu != %lu!", ul(sum), ul(total))) <
                0)
                return UL_ERROR_RETURN(-1);
            if (!estimated) ++discrepancies;
        }
        if (discrepancies == 0) return 0;
        return ul_errorfail(
            ul_format(u"Count check of table '%s' found %d discrepancies", table_, discrepancies));
    }

    const char16_t* table_;
    const SplitOptions& o_;
    int mode_ = 0;
    ULTableSplitList preselections_;
    ULTableSplit* pre_ = nullptr;
    ULTableSplit partitions_;
    ULTableSplit empty_;
    FieldList keys_;
    ULTableSplit result_;
    bool native_ = false;
    double segment_ = 0;
    ul_dbrowcount_t total_ = UL_DBROWCOUNT_INVALID;
    bool estimated_ = false;
    bool given_ = false;
    ul_dbrowcount_t minSplits_ = UL_DBROWCOUNT_INVALID;
    ul_dbrowcount_t maxSplits_ = UL_DBROWCOUNT_INVALID;
};

int splitTable(const char16_t* table, const std::vector<const char16_t*>& words) {
    SplitOptions options;
    if (parseOptions(words, &options) < 0) return UL_ERROR_RETURN(-1);
    TableSplitter splitter(table, options);
    return splitter.run();
}

// ---- table list ---------------------------------------------------------------------------------

// The reader's reason (not a regular file, a line too long) follows on the next line.
int cannotRead(const char16_t* file) {
    ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot read '%s'", file);
    return UL_ERROR_RETURN(-1);
}

int splitTableList(const char16_t* file, const std::vector<const char16_t*>& commandOptions) {
    ULTextFileReader reader;
    if (reader.open(file) < 0) return cannotRead(file);
    for (;;) {
        const int rc = reader.readLine();
        if (rc < 0) return cannotRead(file);
        if (rc == 0) return 0;
        ul_stringtrimtail(reader.line());
        const std::u16string line = reader.line();
        const size_t start = line.find_first_not_of(u" \t");
        if (start == std::u16string::npos || line[start] == u'#') continue;
        std::vector<std::u16string> words;
        ULWordListIter iter(line.c_str(), u' ');
        std::vector<char16_t> word(line.size() + 1);
        while (iter.next(word.data(), word.size()) > 0) words.emplace_back(word.data());
        std::u16string table = words[0];
        std::vector<std::u16string> extra(words.begin() + 1, words.end());
        const size_t percent = table.rfind(u'%');
        if (percent != std::u16string::npos) {
            extra.push_back(u"nrsplits=" + table.substr(percent + 1));
            table.resize(percent);
        }
        std::vector<const char16_t*> options = commandOptions;
        for (const std::u16string& e : extra) options.push_back(e.c_str());
        if (options.size() > UL_SPLIT_MAXOPTIONS)
            return ul_errorfail(ul_format(u"Too many arguments in line %d '%s'",
                                          reader.lineNumber(), line.c_str()));
        if (ul_msgwrite_line399(1, u' ', u"") < 0 ||
            ul_msgwrite_line399(1, u' ',
                                ul_format(u"Splitting table '%s' (line %d):", table.c_str(),
                                          reader.lineNumber())) < 0)
            return UL_ERROR_RETURN(-1);
        const int result = splitTable(table.c_str(), options);
        if (result < 0) return UL_ERROR_RETURN(-1);
        if (result != 0) return 0;
    }
}

// ---- command ------------------------------------------------------------------------------------

int usage() {
    const std::u16string text = ul_format(
        u"Usage: splittable <options> ...\n"
        u"Splits a table using the key fields. If they are not given, they\n"
        u"are retrieved from the nametab.\n"
        u"Options:\n"
        u"  table=<name>               the table to split (or tablelist=<file>)\n"
        u"  keyfields=<field>,...      the key fields to split on; 'native' and\n"
        u"                             'forcenative' split on the database's row address\n"
        u"  segmentsize=<number>       rows per part, or below 1 a fraction of the table\n"
        u"  nrsplits=<number>          the number of parts\n"
        u"  totalcount=<number>        the table's row count (instead of counting)\n"
        u"  count=(estimate|check|show)\n"
        u"                             estimate the row count; check or show the count\n"
        u"                             of every condition\n"
        u"  checkbounds                check that the ranges are adjacent\n"
        u"  minsplits=<number>         fewer parts fail\n"
        u"  maxsplits=<number>         more parts fail\n"
        u"  maxkeyfields=<number>      use at most this many key fields (default is %d)\n"
        u"  method=(standard|rownum|substr)\n"
        u"  onlypartitions             return only partition clauses and exit with 2\n"
        u"  filternonascii             no split positions with non-ASCII characters\n"
        u"  preselectfile=<filename>   split only these selections.\n"
        u"                             Format is that of a '*.WHR' file.\n"
        u"  preselectpos=<pos>         only the selection at this position\n"
        u"  preselectinverted          the inverted selections\n"
        u"  wherefile=<filename>       the output file; a '%%' in the name gives numbered files\n"
        u"  nocntlines                 Do not write 'cnt:' lines to generated where file.\n"
        u"                             (for older loader versions)\n",
        static_cast<int>(UL_SPLIT_DEFAULTMAXKEYFIELDS));
    ULTextFileWriter out;
    if (out.attach(stdout, u"stdout") < 0 || out.write(text.c_str()) < 0 || out.flush() < 0)
        return UL_ERROR_RETURN(-1);
    return UL_EXIT_USAGE;
}

}  // namespace

int cmd_SPLITTABLE(unsigned int argc, const char16_t** argv) {
    if (argc <= 1) return usage();
    const char16_t* table = nullptr;
    const char16_t* tableList = nullptr;
    std::vector<const char16_t*> options;
    for (unsigned i = 1; i < argc; ++i) {
        if (const char16_t* value = ul_stringstarticmp(argv[i], u"table="))
            table = value;
        else if (const char16_t* list = ul_stringstarticmp(argv[i], u"tablelist="))
            tableList = list;
        else
            options.push_back(argv[i]);
    }
    if (options.size() > UL_SPLIT_MAXOPTIONS) return ul_errorfail(u"Too many arguments");
    if (!table && !tableList) return ul_errorfail(u"Missing table name or table list file");
    // The command line's options are checked before anything else happens.
    SplitOptions checked;
    if (parseOptions(options, &checked) < 0) return UL_ERROR_RETURN(-1);
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    int result = 0;
    if (table) {
        TableSplitter splitter(table, checked);
        result = splitter.run();
    } else {
        result = splitTableList(tableList, options);
    }
    if (result < 0) return ul_sqldisconnectfailed();
    if (ul_sqldisconnect(0) < 0) return UL_ERROR_RETURN(-1);
    return result;
}

#include "ulsqlcrc.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

#include "ulcrc.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlaux.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultime.h"

namespace {

int msg(char16_t severity, const std::u16string& text) {
    return ul_msgwrite_line399(1, severity, text);
}

bool isCharType(char16_t type) {
    return type == u'C' || type == u'N' || type == u'L' || type == u'M';
}

bool isNumericType(char16_t type) {
    return type == u'P' || type == u'I' || type == u'F' || type == u'M' || type == u'N';
}

const char16_t* tokenName(int cls) {
    switch (cls) {
        case UL_SQLTOKEN_STRING:
            return u"STRING";
        case UL_SQLTOKEN_HEXSTRING:
            return u"HEXSTRING";
        case UL_SQLTOKEN_NUMBER:
            return u"NUMBER";
        case UL_SQLTOKEN_NUMC:
            return u"NUMC";
        default:
            return u"UNKNOWN";
    }
}

// Numeric text without its leading zeros (at least one character stays).
std::u16string_view stripZeros(std::u16string_view v) {
    while (v.size() > 1 && v.front() == u'0') v.remove_prefix(1);
    return v;
}

std::u16string timeStamp() {
    char16_t stamp[32];
    if (ul_timegetstamp(stamp, 32, -1, UL_STAMP_READABLE) < 0) return u"?";
    return stamp;
}

// The first name of a "tab:" line's value.
std::u16string tabLineName(const char16_t* value) {
    std::vector<std::u16string> names;
    if (ul_sqlcrcreadnames(value, &names) < 0 || names.empty()) return {};
    return names[0];
}

// How the bytes of a column go into the registers.
enum class Feed : unsigned char {
    plain,    // as delivered
    chars,    // UTF-16 text: NUL characters left out
    numtext,  // UTF-16 text checked against a number: leading blanks and zeros left out
    number,   // a binary number (integer, floating point, decimal floating point)
    units,    // UTF-16 text kept whole, NUL characters included
};

// With the table option neutral, values are checksummed in one byte order on every machine
// (most significant byte first), so that two sides of different byte order agree: binary
// numbers are reversed as a whole and UTF-16 text unit by unit on a little-endian machine.
constexpr bool UL_CRC_HOST_LITTLE = std::endian::native == std::endian::little;

void toNeutralOrder(Feed f, unsigned char* bytes, size_t n) {
    if (f == Feed::number) {
        std::reverse(bytes, bytes + n);
    } else if (f != Feed::plain) {
        for (size_t i = 0; i + 1 < n; i += 2) std::swap(bytes[i], bytes[i + 1]);
    }
}

// The sum of n bytes, eight at a time: byte pairs into four 16-bit lanes, the lanes added by
// one multiplication into the top lane (at most 8 * 255, so no lane overflows).
uint64_t byteSum(const unsigned char* p, size_t n) {
    constexpr uint64_t kLow = 0x00FF00FF00FF00FFull, kLanes = 0x0001000100010001ull;
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        sum += (((w & kLow) + ((w >> 8) & kLow)) * kLanes) >> 48;
    }
    for (; i < n; ++i) sum += p[i];
    return sum;
}

// Whether n bytes of UTF-16 units (n even) hold a zero unit, four units at a time.
bool hasNulUnit(const unsigned char* p, size_t n) {
    constexpr uint64_t kOnes = 0x0001000100010001ull, kHigh = 0x8000800080008000ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if ((w - kOnes) & ~w & kHigh) return true;
    }
    for (; i + 2 <= n; i += 2)
        if (p[i] == 0 && p[i + 1] == 0) return true;
    return false;
}

}  // namespace

// Everything a scan derives from its request before the first row arrives.
struct AuxCalcCRCValues::Plan {
    ul_crcscanrequest_t request;
    bool quick = false;   // row checksums folded into buckets
    bool ordered = true;  // key order, blocks, lines with key values
    bool fields = false;  // single-field checksums of the rows of the region
    bool neutral = false;
    bool keepNul = false;
    bool sortDups = false;
    bool sampling = false;
    bool logical = false;
    bool commentKeyFields = false;
    unsigned nkeys = 0;
    std::vector<int> keyClasses;
    std::vector<std::u16string> keyNames;
    std::vector<const char16_t*> keyNamePtrs;
    std::vector<const char16_t*> selPtrs;
    // Output descriptions of the selected columns (names owned by descNames).
    std::vector<ul_sqlfielddesc_t> descs;
    std::vector<std::u16string> descNames;
    std::u16string types;  // type letter per column
    std::vector<Feed> feeds;
    // Field mode: the columns of each slice; a slice is named by its last column.
    std::vector<std::vector<unsigned>> slices;
    std::vector<bool> sliceIsKey;
    std::vector<int> sliceOf;               // slice of each column, -1: none
    bool fieldSlice = false;                // a slice of fields of one row is dug into
    unsigned fieldFirst = 0, fieldEnd = 0;  // the columns the total runs over
    ul_sqlcrcboundary_t fieldStart;         // the start of the field line written next
    // The values of single-field slices of the last row, as lines show them.
    std::vector<std::u16string> fieldValues;
    std::vector<bool> haveValue;
    // The region, neutral numeric text converted (views into the file's pool).
    std::vector<std::u16string_view> startValues, endValues;
    ul_sqlcrcboundary_t start, end;
    // A logical table's "whr:" range, checked on its rows: the statement reads whole records.
    ul_sqlcrcboundary_t whrLow, whrHigh;
    bool whrLowIncl = false, whrHighExcl = false;
    unsigned ngroup = 0;  // packed tables: key fields of a stored record
    int logicalType = UL_LOGTABLE_NONE;
    // The row callbacks in front of the scan.
    ULSQLSelectPacked packed;
    ULSQLSelectDecompress decompress;
    ULSQLSelectPooled pooled;
    ULSQLSelectSortDuplicates sortdups;
    AuxCascadeClients cascade;
    AuxFilterBadCharScan badchar;
    AuxBCDMinusZero bcd;
    bool usePacked = false, useDecompress = false, usePooled = false, useBadChar = false,
         useBCD = false, useCascade = false;
    // Reference lines by range, to count new differences.
    std::vector<const ul_chkcrcline_t*> refLines;
    // Scratch of the current row.
    std::vector<std::u16string> key;
    std::u16string hex;
    std::vector<unsigned char> rowBytes;  // the bytes of a row that are checksummed
    // File state.
    bool tabChecked = false;
    int lineNo = 0;  // line number of the next line written
    // Counters.
    uint64_t bytes = 0, byteSum = 0;
    time_t started = 0;
    unsigned long maxClients = 0;
    ul_crcrecord_t* scanRecord = nullptr;  // the record a client statement fills
};

// ---- row filters ------------------------------------------------------------------------------

void AuxCascadeClients::init(AuxCalcCRCValues* calc, unsigned long maxClients,
                             ULSQLCallBack* next) {
    calc_ = calc;
    maxClients_ = maxClients;
    next_ = next;
}

int AuxCascadeClients::handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                 unsigned* lengths, unsigned ncols) {
    if ((flags & UL_ROW_DATA) && ncols > 0) {
        std::u16string_view client;
        if (values && values[0]) client = std::u16string_view(values[0], textLength(0, values[0]));
        const bool create = maxClients_ == 0 || calc_->records() < maxClients_;
        if (calc_->selectClient(client, create && maxClients_ != 0) < 0) return UL_ERROR_RETURN(-1);
    }
    return forward(flags, raw, values, lengths, ncols);
}

void AuxFilterBadCharScan::init(const std::vector<std::u16string>& names,
                                const std::u16string& keyTypes, ULSQLCallBack* next) {
    names_ = names;
    types_ = keyTypes;
    next_ = next;
}

int AuxFilterBadCharScan::handleRow(unsigned flags, const unsigned char** raw,
                                    const char16_t** values, unsigned* lengths, unsigned ncols) {
    if (!(flags & UL_ROW_DATA)) return forward(flags, raw, values, lengths, ncols);
    const unsigned n = std::min<unsigned>(ncols, static_cast<unsigned>(names_.size()));
    bool bad = false;
    for (unsigned i = 0; i < n && !bad; ++i) {
        if (i >= types_.size() || !isCharType(types_[i]) || !raw[i]) continue;
        for (unsigned b = 0; b + 1 < lengths[i] && !bad; b += 2) {
            char16_t c;
            std::memcpy(&c, raw[i] + b, 2);
            bad = c < 32;
        }
    }
    if (!bad) return forward(flags, raw, values, lengths, ncols);
    ++filtered_;
    return ul_guarded([&]() -> int {
        std::u16string text = u"Filtering bad row with key:";
        for (unsigned i = 0; i < n; ++i) {
            std::u16string v;
            if (values && values[i]) v.assign(values[i], textLength(i, values[i]));
            for (char16_t& c : v)
                if (c < 32) c = u'?';
            text += ul_format(u" %s\"%s\"", names_[i].c_str(), v.c_str());
        }
        return msg(u'W', text) < 0 ? UL_ERROR_RETURN(-1) : 0;
    });
}

void AuxBCDMinusZero::init(std::vector<unsigned> packedColumns, ULSQLCallBack* next) {
    columns_ = std::move(packedColumns);
    next_ = next;
}

int AuxBCDMinusZero::handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                               unsigned* lengths, unsigned ncols) {
    if (!(flags & UL_ROW_DATA)) return forward(flags, raw, values, lengths, ncols);
    return ul_guarded([&]() -> int {
        const unsigned char** row = raw;
        for (unsigned c : columns_) {
            if (c >= ncols || !raw[c] || lengths[c] == 0) continue;
            const unsigned char* p = raw[c];
            const unsigned n = lengths[c];
            const unsigned sign = p[n - 1] & 0x0F;
            bool zero = (p[n - 1] & 0xF0) == 0;
            for (unsigned b = 0; b + 1 < n && zero; ++b) zero = p[b] == 0;
            if (!zero || (sign != 0x0D && sign != 0x0B)) continue;
            if (row == raw) {
                raw_.assign(raw, raw + ncols);
                row = raw_.data();
            }
            if (copies_.size() <= c) copies_.resize(c + 1);
            copies_[c].assign(p, p + n);
            copies_[c][n - 1] = static_cast<unsigned char>((copies_[c][n - 1] & 0xF0) | 0x0C);
            raw_[c] = copies_[c].data();
            ++fixed_;
        }
        return forward(flags, row, values, lengths, ncols);
    });
}

// ---- the scan ---------------------------------------------------------------------------------

AuxCalcCRCValues::AuxCalcCRCValues(ULCheckCRCFile* file, ULCheckCRCTable* table,
                                   ULTextFileWriter* out, unsigned runFlags)
    : file_(file), table_(table), out_(out), runFlags_(runFlags) {}

AuxCalcCRCValues::~AuxCalcCRCValues() = default;

ul_dbrowcount_t AuxCalcCRCValues::rows() const {
    ul_dbrowcount_t n = 0;
    for (const ul_crcrecord_t& r : records_) n += r.totalRows;
    return n;
}

unsigned long AuxCalcCRCValues::duplicates() const {
    unsigned long n = 0;
    for (const ul_crcrecord_t& r : records_) n += r.duplicates;
    return n;
}

int AuxCalcCRCValues::runCRCTable(const ul_crcscanrequest_t& request) {
    return ul_guarded([&]() -> int {
        plan_ = std::make_unique<Plan>();
        records_.clear();
        current_ = nullptr;
        newLines_ = newDifferences_ = 0;
        plan_->started = time(nullptr);
        if (determineCRCRanges(request) < 0 || writeCommentLine() < 0 || convertNeutralKeys() < 0 ||
            runCRCStatement() < 0 || closeCRCStatements() < 0 || checkTotals() < 0 ||
            printCRCStatistics() < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    });
}

int AuxCalcCRCValues::setupCRCRangeValues(ul_crcrecord_t* r, std::u16string client,
                                          bool hasClient) {
    Plan& p = *plan_;
    r->index = static_cast<int>(records_.size()) - 1;
    r->client = std::move(client);
    r->hasClient = hasClient;
    r->start = p.start;
    r->slice = std::max<unsigned long>(p.request.sliceSize, 1);
    if (p.quick) r->buckets.assign(UL_CRCQUICK_BUCKETS, 0xFFFFFFFFu);
    if (p.fields) r->fieldCrcs.assign(p.slices.size(), 0xFFFFFFFFu);
    // Field lines written already are found by writeFieldLines, not followed as boundaries.
    for (const ul_chkcrcline_t* b : p.request.boundaries) {
        if (p.fields) break;
        const char16_t* c = b->client();
        if (!hasClient || (c && r->client == c)) r->boundaries.push_back(b);
    }
    return 0;
}

int AuxCalcCRCValues::selectClient(std::u16string_view client, bool create) {
    if (current_ && current_->client == client) return 0;
    for (ul_crcrecord_t& r : records_)
        if (r.client == client) {
            current_ = &r;
            return 0;
        }
    if (!create)
        return ul_errorfail(
            ul_format(u"Unexpected cascaded client '%s'", std::u16string(client).c_str()));
    records_.emplace_back();
    if (setupCRCRangeValues(&records_.back(), std::u16string(client), true) < 0)
        return UL_ERROR_RETURN(-1);
    current_ = &records_.back();
    return 0;
}

int AuxCalcCRCValues::determineCRCRanges(const ul_crcscanrequest_t& request) {
    Plan& p = *plan_;
    if (request.kind == ul_crcscankind_t::NONE || request.kind == ul_crcscankind_t::OTHERSIDE ||
        !request.region)
        return ul_errorfail(
            ul_format(u"Internal error: no region to scan in table '%s'", table_->name().c_str()));
    p.request = request;
    const unsigned tflags = table_->flags();
    const unsigned gflags = UL_SQLGlobalCRCFlags;
    p.quick = request.quick || request.kind == ul_crcscankind_t::VERIFYQUICK;
    p.ordered = !request.quick;
    p.fields = request.kind == ul_crcscankind_t::FIELDS;
    p.neutral = tflags & UL_TABCHK_NEUTRAL;
    p.keepNul =
        (tflags & UL_TABCHK_KEEPNULLBYTES) || (UL_SQLGlobalFlags & UL_SQLFLAG_SQLCHARKEEPNULLBYTES);
    p.sortDups = (tflags & UL_TABCHK_SORTDUPS) || (gflags & UL_SQLCRCFLAG_SORTDUPALWAYS);
    p.sampling = runFlags_ & UL_CRCRUN_SAMPLING;
    p.commentKeyFields = gflags & UL_SQLCRCFLAG_FIELDCHECKSUM4KEYS;
    p.start = request.start;
    p.end = request.end;
    p.keyNames = table_->own.keys;
    for (const std::u16string& k : p.keyNames) p.keyNamePtrs.push_back(k.c_str());
    for (const std::u16string& s : table_->own.sels) p.selPtrs.push_back(s.c_str());
    p.nkeys = static_cast<unsigned>(p.keyNames.size());
    if (p.nkeys == 0)
        return ul_errorfail(ul_format(u"No key fields for table '%s'", table_->name().c_str()));

    if (fetchFieldDescs(&p.logicalType) < 0) return UL_ERROR_RETURN(-1);
    prepareFeeds();
    if (p.usePacked) p.nkeys = std::min(p.nkeys, p.ngroup);

    // Token classes of the keys: the file's types, else the column descriptions.
    const std::u16string& ftypes = table_->own.types;
    const bool plain = (gflags & UL_SQLCRCFLAG_COMPNUMSTRINGPLAIN) && !p.neutral;
    for (unsigned k = 0; k < p.nkeys; ++k) {
        const char16_t t = k < ftypes.size() ? ftypes[k] : k < p.types.size() ? p.types[k] : u'C';
        int cls = ul_sqlcrctokenclass(t);
        if (plain && cls == UL_SQLTOKEN_NUMC) cls = UL_SQLTOKEN_STRING;
        p.keyClasses.push_back(cls);
    }
    for (unsigned k = 0; k < p.nkeys && k < p.descs.size(); ++k)
        if (p.descs[k].flags & UL_SQLFLD_LONG)
            return ul_errorfail(ul_format(u"Internal error: Key field #%d '%s' is a LOB",
                                          static_cast<int>(k) + 1, p.keyNames[k].c_str()));

    // Field slices: every non-key field in slices of sliceSize fields; key fields one each,
    // written as comments, when asked for.
    if (p.fields) {
        // The fields of a row line, or those behind the start's field up to the end's field
        // when a slice of fields is dug into.
        const unsigned ncols = static_cast<unsigned>(p.descs.size());
        const unsigned per = std::max<unsigned long>(request.sliceSize, 1);
        p.fieldSlice = request.start.field != UL_CRCFIELD_WHOLEROW;
        ul_chkcrcline_t region;
        region.start = request.start;
        const unsigned first = p.fieldSlice ? region.firstField(p.nkeys) : p.nkeys;
        const unsigned last = request.end.field != UL_CRCFIELD_WHOLEROW
                                  ? std::min(request.end.field + 1, ncols)
                                  : ncols;
        p.fieldFirst = p.fieldSlice ? first : 0;
        p.fieldEnd = last;
        if (p.commentKeyFields && !p.fieldSlice)
            for (unsigned k = 0; k < p.nkeys && k < ncols; ++k) {
                p.slices.push_back({k});
                p.sliceIsKey.push_back(true);
            }
        for (unsigned c = first; c < last; c += per) {
            std::vector<unsigned> slice;
            for (unsigned f = c; f < last && f < c + per; ++f) slice.push_back(f);
            p.slices.push_back(std::move(slice));
            p.sliceIsKey.push_back(false);
        }
        for (size_t sl = 0; sl < p.slices.size(); ++sl)
            for (unsigned c : p.slices[sl]) {
                if (p.sliceOf.size() <= c) p.sliceOf.resize(c + 1, -1);
                p.sliceOf[c] = static_cast<int>(sl);
            }
        if (msg(u' ', u"Calculating field checksums.") < 0) return UL_ERROR_RETURN(-1);
    }
    if (p.quick && msg(u' ', u"Calculating quick checksum.") < 0) return UL_ERROR_RETURN(-1);

    // Checksum records: one, one per listed client, or one per client of the data.
    const std::vector<std::u16string>& clients = file_->cascClients();
    const unsigned long factor = file_->nrCascClients();
    if (!clients.empty() && factor != ~0ul)
        return ul_errorfail(
            u"Cannot have 'nrcascclients=' and 'cascclients=' have set simultaenously");
    if (!clients.empty()) {
        if (msg(u' ', ul_format(u"Calculating client specific checksums for %d clients to "
                                u"handle cascading:",
                                static_cast<int>(clients.size()))) < 0)
            return UL_ERROR_RETURN(-1);
        for (size_t i = 0; i < clients.size(); ++i) {
            for (size_t j = 0; j < i; ++j)
                if (clients[j] == clients[i])
                    return ul_errorfail(
                        ul_format(u"Duplicate cascaded client '%s'", clients[i].c_str()));
            if (msg(u' ', u"  " + clients[i]) < 0) return UL_ERROR_RETURN(-1);
        }
        for (const std::u16string& c : clients) {
            records_.emplace_back();
            if (setupCRCRangeValues(&records_.back(), c, true) < 0) return UL_ERROR_RETURN(-1);
        }
    } else if (factor != ~0ul) {
        if (msg(u' ', ul_format(u"Cascading checksums with factor %d for table '%s'.",
                                static_cast<int>(factor), table_->name().c_str())) < 0)
            return UL_ERROR_RETURN(-1);
        p.useCascade = true;
        p.maxClients = factor;
    } else {
        records_.emplace_back();
        if (setupCRCRangeValues(&records_.back(), {}, false) < 0) return UL_ERROR_RETURN(-1);
    }

    // Reference lines, to tell which written lines differ from the other side.
    for (const ul_chkcrcline_t& l : table_->lines)
        if ((l.flags & UL_CRCLINE_REF) && l.refCount != UL_DBROWCOUNT_INVALID)
            p.refLines.push_back(&l);
    std::sort(p.refLines.begin(), p.refLines.end(),
              [this](const ul_chkcrcline_t* a, const ul_chkcrcline_t* b) {
                  return table_->compareCRCRange(*a, *b) < 0;
              });
    return 0;
}

int AuxCalcCRCValues::fetchFieldDescs(int* logicalType) {
    Plan& p = *plan_;
    ULLDObject object;
    ULNameTab nametab(table_->name().c_str(), 0);
    if (nametab.getTableInfo(&object) < 0) return UL_ERROR_RETURN(-1);
    const int lt = object.options.logicalType;
    const bool transparent =
        (lt == UL_LOGTABLE_CLUSTER &&
         ((runFlags_ & UL_CRCRUN_DECLUSTERED) || (table_->flags() & UL_TABCHK_DECLUSTERED))) ||
        (lt == UL_LOGTABLE_POOL && (runFlags_ & UL_CRCRUN_DEPOOLED));
    *logicalType = transparent ? UL_LOGTABLE_NONE : lt;
    p.logical = *logicalType != UL_LOGTABLE_NONE;
    const unsigned tflags = table_->flags();
    p.usePacked = !p.logical && (tflags & UL_TABCHK_PACKED);
    p.useDecompress = !p.logical && (tflags & UL_TABCHK_DECOMPRESS);
    p.usePooled = !p.logical && (tflags & UL_TABCHK_POOLED);
    if (p.usePacked) p.ngroup = object.getPackedKeyFields();
    // A logical table's fields are described by its own nametab entry, as the logical
    // statement delivers them: the column types are known before the first row, so that the
    // filters in front of the scan know which columns they work on.
    ul_sqlfielddesc_t* descs = nullptr;
    unsigned n = 0;
    if (ul_sqltablegetoiflags(&object, p.selPtrs.data(), static_cast<unsigned>(p.selPtrs.size()),
                              &descs, &n, p.usePacked ? 1 : 0) < 0)
        return UL_ERROR_RETURN(-1);
    const int rc = ul_guarded([&] {
        p.descNames.assign(n, {});
        p.descs.assign(descs, descs + n);
        for (unsigned i = 0; i < n; ++i) {
            p.descNames[i] = descs[i].name ? descs[i].name : u"";
            p.descs[i].name = p.descNames[i].c_str();
        }
        return 0;
    });
    free(descs);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    // A decimal without fixed scale carries the digits its database keeps: one database keeps
    // "1.10" as written, another as "1.1", so its checksum may differ between database types.
    for (const ul_sqlfielddesc_t& d : p.descs)
        if (ul_sqlfieldtype(d) == DBIF_TYPE_DECIMAL &&
            msg(u'W', ul_format(u"Field '%s' of table '%s' is a decimal without fixed scale: its "
                                u"checksum depends on the digits the database keeps and may differ "
                                u"on another database type.",
                                d.name, table_->name().c_str())) < 0)
            return UL_ERROR_RETURN(-1);
    return 0;
}

int AuxCalcCRCValues::writeCommentLine() {
    if (!(UL_SQLGlobalCRCFlags & UL_SQLCRCFLAG_COMMENTLINES)) return 0;
    const ul_crcscanrequest_t& q = plan_->request;
    if (addTabLine0() < 0) return UL_ERROR_RETURN(-1);
    std::u16string text;
    if (!q.region || (q.region->flags & UL_CRCLINE_TOP)) {
        text = ul_format(u"# %s: Scanning whole region.\n", timeStamp().c_str());
    } else {
        const ul_chkcrcline_t* l = q.from ? q.from : q.region;
        const bool cont =
            q.kind == ul_crcscankind_t::RESUME ||
            (q.kind == ul_crcscankind_t::REPRODUCE && !(l->flags & UL_CRCLINE_HASPARENT));
        text =
            ul_format(u"# %s: %s l. %d[%d]\n", timeStamp().c_str(),
                      cont ? u"Continue investigating" : u"Investigating", l->ownLine, l->refLine);
    }
    return writeText(text);
}

int AuxCalcCRCValues::convertNeutralKeys() {
    Plan& p = *plan_;
    bool converted = false;
    auto convert = [&](const ul_sqlcrcboundary_t& b, std::vector<std::u16string_view>* out,
                       ul_sqlcrcboundary_t* result) -> int {
        out->assign(b.values, b.values + b.nvalues);
        bool changed = false;
        for (unsigned i = 0; i < b.nvalues && i < p.nkeys; ++i) {
            if (!p.neutral || p.keyClasses[i] != UL_SQLTOKEN_NUMC) continue;
            const std::u16string_view v = stripZeros((*out)[i]);
            if (v.size() == (*out)[i].size()) continue;
            if (msg(u' ', ul_format(u"Converted NUMC field #%d from '%s' to '%s'",
                                    static_cast<int>(i) + 1, std::u16string((*out)[i]).c_str(),
                                    std::u16string(v).c_str())) < 0)
                return UL_ERROR_RETURN(-1);
            (*out)[i] = v;
            changed = converted = true;
        }
        if (changed) {
            const std::u16string_view* pooled = file_->storeValues(*out);
            if (!pooled) return UL_ERROR_RETURN(-1);
            result->values = pooled;
        }
        return 0;
    };
    if (convert(p.start, &p.startValues, &p.start) < 0 || convert(p.end, &p.endValues, &p.end) < 0)
        return UL_ERROR_RETURN(-1);
    for (ul_crcrecord_t& r : records_) r.start = p.start;
    if (converted &&
        msg(u' ', u"Handled conversion of key fields in start and end conditions.") < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

// ---- the statement ----------------------------------------------------------------------------

int AuxCalcCRCValues::addCRCWhereCondition(std::u16string* sql) {
    Plan& p = *plan_;
    const ul_sqlrange_t* whr = table_->whrRange();
    std::vector<std::u16string_view> low(p.start.values, p.start.values + p.start.nvalues);
    std::vector<std::u16string_view> high(p.end.values, p.end.values + p.end.nvalues);
    int mode = 0;
    if (whr && low.empty() && whr->low.SQBND_NValues) {
        for (unsigned i = 0; i < whr->low.SQBND_NValues; ++i) low.push_back(whr->low.value(i));
        if (whr->lowInclusive) mode |= UL_WHERECOND_LOWINCL;
    }
    if (whr && high.empty() && whr->high.SQBND_NValues) {
        for (unsigned i = 0; i < whr->high.SQBND_NValues; ++i) high.push_back(whr->high.value(i));
        if (whr->highExclusive) mode |= UL_WHERECOND_HIGHEXCL;
    }
    if (low.size() > p.nkeys || high.size() > p.nkeys)
        return ul_errorfail(ul_format(u"Boundary of table '%s' has more values than key fields",
                                      table_->name().c_str()));
    if (p.fieldSlice) mode |= UL_WHERECOND_LOWINCL;  // the start is the row itself
    if (low.empty() && high.empty()) return 0;
    // Numeric text written without its leading zeros is padded back to its column's width, as
    // this database holds it, so that the condition compares like with like.
    std::vector<std::u16string> padded;
    padded.reserve(low.size() + high.size());  // the views below point into it
    for (std::vector<std::u16string_view>* values : {&low, &high})
        for (size_t i = 0; i < values->size(); ++i) {
            std::u16string_view& v = (*values)[i];
            const unsigned width = i < p.descs.size() ? p.descs[i].length : 0;
            if (!p.neutral || p.keyClasses[i] != UL_SQLTOKEN_NUMC || i >= p.types.size() ||
                !isCharType(p.types[i]) || v.size() >= width)
                continue;
            padded.push_back(std::u16string(width - v.size(), u'0').append(v));
            v = padded.back();
        }
    if (low.empty()) mode |= UL_WHERECOND_NOLOWER;
    return ul_sqlappendwherecondition(sql, nullptr, p.keyNamePtrs.data(), p.keyClasses.data(),
                                      low.data(), static_cast<unsigned>(low.size()), high.data(),
                                      static_cast<unsigned>(high.size()), ul_sqlquotetable, mode);
}

int AuxCalcCRCValues::genCRCStatement(std::u16string* sql) {
    Plan& p = *plan_;
    *sql = u"SELECT ";
    if (p.selPtrs.empty()) {
        sql->push_back(u'*');
    } else {
        for (size_t i = 0; i < p.selPtrs.size(); ++i) {
            if (i) sql->append(u", ");
            if (ul_sqlappendquotedname(sql, p.selPtrs[i], 0) < 0) return UL_ERROR_RETURN(-1);
        }
    }
    sql->append(u" FROM ");
    if (ul_sqlappendquotedname(sql, table_->name().c_str(), UL_QUOTE_TABSUFFIX) < 0)
        return UL_ERROR_RETURN(-1);
    std::u16string where;
    const ul_crcrecord_t* r = p.scanRecord;
    if (r && r->hasClient) {
        if (ul_sqlappendquotedname(&where, p.keyNamePtrs[0], 0) < 0) return UL_ERROR_RETURN(-1);
        where.append(u" = ");
        if (ul_sqlappendliteral(&where, r->client, p.keyClasses[0], ul_sqlcurrentliteralform()) < 0)
            return UL_ERROR_RETURN(-1);
    }
    std::u16string range;
    if (addCRCWhereCondition(&range) < 0) return UL_ERROR_RETURN(-1);
    if (!where.empty() && !range.empty()) where.append(u" AND ");
    where += range;
    if (!where.empty()) sql->append(u" WHERE ").append(where);
    if (p.quick && !p.ordered && !p.usePacked &&
        !(UL_SQLGlobalCRCFlags & UL_SQLCRCFLAG_FORCEORDERBY))
        return 0;
    // The pages of a packed table are joined in page order: its page number, a key field
    // behind the grouping key, orders them.
    sql->append(u" ORDER BY ");
    const size_t norder = p.usePacked ? p.keyNamePtrs.size() : p.nkeys;
    for (size_t k = 0; k < norder; ++k) {
        if (k) sql->append(u", ");
        if (ul_sqlappendquotedname(sql, p.keyNamePtrs[k], 0) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int AuxCalcCRCValues::announceStatement(const std::u16string& sql, int logicalType) {
    Plan& p = *plan_;
    bool haveRaw = false;
    for (char16_t t : p.types) haveRaw = haveRaw || t == u'R' || t == u'B';
    std::u16string text = ul_format(u"Reading table rows%s%s%s%s:",
                                    logicalType == UL_LOGTABLE_CLUSTER ? u" from logical cluster"
                                    : logicalType == UL_LOGTABLE_POOL  ? u" from logical pool"
                                                                       : u"",
                                    p.neutral ? u" in neutral format" : u"",
                                    p.neutral && haveRaw ? u", but keeping RAW fields" : u"",
                                    sql.empty() ? u"" : u" with SQL statement");
    if (p.scanRecord && p.scanRecord->hasClient)
        text += ul_format(u" client=%s", p.scanRecord->client.c_str());
    if (p.ordered && !p.fields)
        text += ul_format(u" slicecount=%lu", std::max<unsigned long>(p.request.sliceSize, 1));
    if (msg(u' ', text) < 0) return UL_ERROR_RETURN(-1);
    return sql.empty() ? 0 : msg(u' ', sql);
}

ULSQLCallBack* AuxCalcCRCValues::buildChain() {
    Plan& p = *plan_;
    ULSQLCallBack* next = this;
    if (p.useBCD) {
        std::vector<unsigned> cols;
        for (unsigned i = 0; i < p.types.size(); ++i)
            if (p.types[i] == u'P') cols.push_back(i);
        p.bcd.init(cols, next);
        next = &p.bcd;
    }
    if (p.useBadChar) {
        p.badchar.init(p.keyNames, p.types.substr(0, p.nkeys), next);
        next = &p.badchar;
    }
    if (p.useCascade) {
        p.cascade.init(this, p.maxClients, next);
        next = &p.cascade;
    }
    if (p.sortDups && p.ordered) {  // row order does not matter to a quick checksum
        p.sortdups.init(p.nkeys, p.keyClasses.data(), 0, next);
        next = &p.sortdups;
    }
    if (p.usePooled) {
        p.pooled.init(static_cast<unsigned>(p.descs.size()), next);
        next = &p.pooled;
    }
    if (p.useDecompress) {
        p.decompress.init(table_->name().c_str(), next, 0);
        next = &p.decompress;
    }
    if (p.usePacked) {
        p.packed.init(p.ngroup, next, table_->name().c_str());
        next = &p.packed;
    }
    return next;
}

int AuxCalcCRCValues::finishChain() {
    Plan& p = *plan_;
    if (p.usePacked && p.packed.finish() < 0) return UL_ERROR_RETURN(-1);
    if (p.sortDups && p.ordered && p.sortdups.finish() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

int AuxCalcCRCValues::runCRCStatement() {
    Plan& p = *plan_;
    p.useBadChar = (table_->flags() & UL_TABCHK_FILTERBADCHAR) ||
                   (UL_SQLGlobalCRCFlags & UL_SQLCRCFLAG_FILTERBADCHAR);
    p.useBCD = (UL_SQLGlobalCRCFlags & UL_SQLCRCFLAG_FIXBCDMINUSZERO) &&
               p.types.find(u'P') != std::u16string::npos;
    if (p.logical) return exeLogicalStatement(p.logicalType);
    // One statement per listed client, else one for all rows.
    const bool perClient = !records_.empty() && records_[0].hasClient;
    const size_t n = perClient ? records_.size() : 1;
    for (size_t i = 0; i < n; ++i) {
        p.scanRecord = perClient ? &records_[i] : nullptr;
        current_ = p.useCascade ? nullptr : &records_[i];
        std::u16string sql;
        if (genCRCStatement(&sql) < 0 || announceStatement(sql, UL_LOGTABLE_NONE) < 0 ||
            exeCRCStatement(sql) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int AuxCalcCRCValues::exeCRCStatement(const std::u16string& sql) {
    Plan& p = *plan_;
    ULSQLStmt stmt;
    if (stmt.prepare(sql.c_str(), nullptr, 0, p.descs.data(), static_cast<unsigned>(p.descs.size()),
                     0) < 0)
        return UL_ERROR_RETURN(-1);
    int mode = p.useDecompress ? UL_SQLMODE_HDR_TYPE | UL_SQLMODE_HDR_NAME : 0;
    if (!needsText()) mode |= UL_SQLMODE_ANYUPDATE_RAWONLY;
    unsigned long count = 0;
    const long rc = stmt.execute(buildChain(), &count, mode);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return finishChain();
}

int AuxCalcCRCValues::exeLogicalStatement(int logicalType) {
    Plan& p = *plan_;
    const ul_sqlrange_t* whr = table_->whrRange();
    auto whrBound = [&](const ul_sqlboundary_t& b, ul_sqlcrcboundary_t* out) -> int {
        std::vector<std::u16string_view> values;
        for (unsigned i = 0; i < b.SQBND_NValues; ++i) values.push_back(b.value(i));
        if (values.empty()) return 0;
        out->values = file_->storeValues(values);
        out->nvalues = static_cast<unsigned>(values.size());
        return out->values ? 0 : UL_ERROR_RETURN(-1);
    };
    if (whr && !p.start.nvalues) {
        if (whrBound(whr->low, &p.whrLow) < 0) return UL_ERROR_RETURN(-1);
        p.whrLowIncl = whr->lowInclusive;
    }
    if (whr && !p.end.nvalues) {
        if (whrBound(whr->high, &p.whrHigh) < 0) return UL_ERROR_RETURN(-1);
        p.whrHighExcl = whr->highExclusive;
    }
    const ul_sqlcrcboundary_t& from = p.start.nvalues ? p.start : p.whrLow;
    const ul_sqlcrcboundary_t& to = p.end.nvalues ? p.end : p.whrHigh;
    std::vector<std::u16string> low, high;
    std::vector<const char16_t*> lowPtrs, highPtrs;
    for (unsigned i = 0; i < from.nvalues; ++i) low.emplace_back(from.values[i]);
    for (unsigned i = 0; i < to.nvalues; ++i) high.emplace_back(to.values[i]);
    for (const std::u16string& s : low) lowPtrs.push_back(s.c_str());
    for (const std::u16string& s : high) highPtrs.push_back(s.c_str());
    current_ = p.useCascade ? nullptr : &records_[0];
    ULSQLStmtLogicalTable stmt;
    const unsigned nsel = static_cast<unsigned>(p.selPtrs.size());
    if (announceStatement({}, logicalType) < 0) return UL_ERROR_RETURN(-1);
    // The fields are described by the logical table's nametab entry (fetchFieldDescs), which
    // is where the statement takes its descriptions from.
    unsigned long count = 0;
    const long rc = stmt.select(table_->name().c_str(), nsel ? p.selPtrs.data() : nullptr,
                                nullptr, nsel, lowPtrs.data(),
                                static_cast<unsigned>(lowPtrs.size()), highPtrs.data(),
                                static_cast<unsigned>(highPtrs.size()), buildChain(), &count, 0);
    if (rc < 0 || finishChain() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

// ---- rows -------------------------------------------------------------------------------------

// Text is wanted of the key fields only (boundaries, key order, the client), and of every field
// when single fields are reported with their values; all checksums run over the raw bytes.
bool AuxCalcCRCValues::needsText() const {
    const Plan& p = *plan_;
    return p.ordered || p.logical || p.fields || p.useCascade || p.useBadChar || p.useDecompress;
}

bool AuxCalcCRCValues::wantsText(unsigned column) const {
    if (!plan_) return true;
    const Plan& p = *plan_;
    if (p.logical) return true;
    if (column < p.nkeys) return needsText();
    // Field lines show the value of every field that is a slice of its own.
    if (!p.fields || column >= p.sliceOf.size() || p.sliceOf[column] < 0) return false;
    return p.slices[static_cast<size_t>(p.sliceOf[column])].size() == 1;
}

void AuxCalcCRCValues::prepareFeeds() {
    Plan& p = *plan_;
    p.types.clear();
    p.feeds.clear();
    const std::u16string& ref = table_->ref.types;
    // A packed table's rows arrive as the grouping key fields and one raw record.
    const size_t n = p.usePacked ? std::min<size_t>(p.ngroup + 1, p.descs.size()) : p.descs.size();
    for (unsigned i = 0; i < n; ++i) {
        const bool record = p.usePacked && i == p.ngroup;
        const char16_t t = record ? u'R' : ul_sqlfldflag2char(p.descs[i]);
        p.types.push_back(t ? t : u'C');
        Feed f = Feed::plain;
        if (!record && isCharType(t) && t != u'M' && !p.keepNul) f = Feed::chars;
        if (!record && (t == u'I' || t == u'F' || ul_sqlfieldtype(p.descs[i]) == DBIF_TYPE_DECFLOAT16 ||
                        ul_sqlfieldtype(p.descs[i]) == DBIF_TYPE_DECFLOAT34))
            f = Feed::number;
        // Text kept with its NUL characters still turns its units into the neutral order.
        if (!record && isCharType(t) && f == Feed::plain && p.neutral) f = Feed::units;
        const int refField = i < table_->fieldMap.size() ? table_->fieldMap[i] : -1;
        if (!record && p.neutral && t == u'C' && refField >= 0 &&
            static_cast<size_t>(refField) < ref.size() && isNumericType(ref[refField]))
            f = Feed::numtext;
        p.feeds.push_back(f);
    }
}

int AuxCalcCRCValues::keepFieldValues(const unsigned char** raw, const char16_t** values,
                                      const unsigned* lengths, unsigned ncols) {
    Plan& p = *plan_;
    p.fieldValues.resize(ncols);
    p.haveValue.assign(ncols, false);
    const size_t maxLen = UL_SQLCRCMaxFieldLen;
    for (size_t sl = 0; sl < p.slices.size(); ++sl) {
        if (p.slices[sl].size() != 1) continue;
        const unsigned c = p.slices[sl][0];
        if (c >= ncols || !raw[c]) continue;
        std::u16string& out = p.fieldValues[c];
        const bool text = values && values[c];
        std::u16string v;
        if (text) {
            v.assign(values[c], textLength(c, values[c]));
        } else if (keyText(c, raw, nullptr, lengths, &v) < 0) {
            return UL_ERROR_RETURN(-1);
        }
        const bool cut = v.size() > maxLen;
        if (cut) v.resize(maxLen);
        out = text ? u"'" : u"x'";
        for (char16_t ch : v) {
            if (ch == u'\'') out.push_back(ch);
            out.push_back(ch < 32 ? u'?' : ch);  // a line holds no control character
        }
        out.push_back(u'\'');
        if (cut) out.append(u"...");
        p.haveValue[c] = true;
    }
    return 0;
}

int AuxCalcCRCValues::keyText(unsigned i, const unsigned char** raw, const char16_t** values,
                              const unsigned* lengths, std::u16string* out) const {
    // A floating point key is written exactly (its shortest round-trip decimals), so that a
    // boundary selects the very row it was taken from.
    double d;
    if (i < plan_->types.size() && plan_->types[i] == u'F' && raw[i] && lengths[i] == sizeof d) {
        std::memcpy(&d, raw[i], sizeof d);
        char digits[400];
        const auto [end, ec] =
            std::to_chars(digits, digits + sizeof digits, d, std::chars_format::fixed);
        if (ec == std::errc() && std::isfinite(d)) {
            out->assign(digits, end);
            return 0;
        }
    }
    if (values && values[i]) {
        out->assign(values[i], textLength(i, values[i]));
        return 0;
    }
    if (!raw[i]) {
        out->clear();
        return 0;
    }
    out->resize(2 * static_cast<size_t>(lengths[i]) + 1);
    const int n = ul_sqlrawvalue2string(out->data(), out->size(), raw[i], lengths[i]);
    if (n < 0) return UL_ERROR_RETURN(-1);
    out->resize(static_cast<size_t>(n));
    return 0;
}

int AuxCalcCRCValues::compareKeyWith(const ul_crcrecord_t&, const ul_sqlcrcboundary_t& b) const {
    const Plan& p = *plan_;
    const unsigned n = std::min(b.nvalues, p.nkeys);
    for (unsigned i = 0; i < n; ++i) {
        std::u16string_view k = p.key[i];
        if (p.neutral && p.keyClasses[i] == UL_SQLTOKEN_NUMC) k = stripZeros(k);
        const int c = ul_sqlvaluecompare(k, b.values[i], p.keyClasses[i]);
        if (c) return c;
    }
    return 0;
}

// The logical statement reads its bounds inclusively and compares only the leading key fields
// they have: the scan's start is exclusive, and the "whr:" range is as its condition says.
bool AuxCalcCRCValues::insideLogicalRange(const ul_crcrecord_t& r) const {
    const Plan& p = *plan_;
    if (p.start.nvalues && compareKeyWith(r, p.start) <= 0) return false;
    if (p.whrLow.nvalues) {
        const int c = compareKeyWith(r, p.whrLow);
        if (c < 0 || (c == 0 && !p.whrLowIncl)) return false;
    }
    if (p.whrHigh.nvalues) {
        const int c = compareKeyWith(r, p.whrHigh);
        if (c > 0 || (c == 0 && p.whrHighExcl)) return false;
    }
    return true;
}

int AuxCalcCRCValues::checkLastKeyColumns(ul_crcrecord_t* r, const unsigned char** raw,
                                          const unsigned* lengths) {
    Plan& p = *plan_;
    if (!r->haveLast) return 1;
    // Equal bytes are equal keys; otherwise the key order decides.
    bool same = true;
    for (unsigned i = 0; i < p.nkeys && same; ++i) {
        if (!raw[i] || r->lastKeyNull[i]) {
            same = !raw[i] && r->lastKeyNull[i];
            continue;
        }
        same = r->lastKeyRaw[i].size() == lengths[i] &&
               std::memcmp(r->lastKeyRaw[i].data(), raw[i], lengths[i]) == 0;
    }
    if (same) return 0;
    for (unsigned i = 0; i < p.nkeys; ++i) {
        const int c = ul_sqlvaluecompare(p.key[i], r->lastKey[i], p.keyClasses[i]);
        if (c > 0) return 1;
        if (c < 0) {
            ul_errorsetmsg(0, u"Key columns not sorted during CRC scan:");
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"key #%d (%s) '%s': last='%s' now='%s'",
                              static_cast<int>(i) + 1, tokenName(p.keyClasses[i]),
                              p.keyNames[i].c_str(), r->lastKey[i].c_str(), p.key[i].c_str());
            return UL_ERROR_RETURN(-1);
        }
    }
    return 0;
}

int AuxCalcCRCValues::handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) {
    if (!(flags & UL_ROW_DATA)) return 0;
    Plan& p = *plan_;
    if (p.feeds.size() != ncols && p.descs.size() == ncols && !p.usePacked) prepareFeeds();
    if (p.feeds.size() != ncols) {
        // Columns without description: text is checksummed as text, the rest as bytes.
        while (p.feeds.size() < ncols) {
            const unsigned i = static_cast<unsigned>(p.feeds.size());
            p.feeds.push_back(values && values[i] && !p.keepNul ? Feed::chars : Feed::plain);
            p.types.push_back(values && values[i] ? u'C' : u'R');
        }
        p.feeds.resize(ncols);
    }
    if (!current_) return ul_errorfail(u"Internal error: no checksum record for the row");
    ul_crcrecord_t* r = current_;
    if (r->sampled) return records_.size() == 1 ? 1 : 0;
    if (ncols < p.nkeys)
        return ul_errorfail(
            ul_format(u"Row of %u columns has fewer than %u key fields", ncols, p.nkeys));
    const bool keysNeeded = p.ordered || p.logical;
    if (keysNeeded) {
        if (p.key.size() != p.nkeys) p.key.resize(p.nkeys);
        for (unsigned i = 0; i < p.nkeys; ++i)
            if (keyText(i, raw, values, lengths, &p.key[i]) < 0) return UL_ERROR_RETURN(-1);
        if (p.logical && !p.fieldSlice && !insideLogicalRange(*r)) return 0;
    }
    if (!p.ordered) {
        if (calculateCRCValuesQUICK(r, raw, lengths, ncols) < 0) return UL_ERROR_RETURN(-1);
        ++r->totalRows;
        ++r->blockRows;
        if (p.sampling && r->totalRows >= UL_SQLCRCNrSamples) r->sampled = true;
        return 0;
    }
    const int order = checkLastKeyColumns(r, raw, lengths);
    if (order < 0) return UL_ERROR_RETURN(-1);
    if (order == 0) {
        ++r->duplicates;
    } else {
        if (r->nextBoundary < r->boundaries.size()) {
            if (advanceNextBoundary(r, false) < 0) return UL_ERROR_RETURN(-1);
        }
        if (r->closePending) {
            r->closePending = false;
            if (closeAtLastKey(r) < 0) return UL_ERROR_RETURN(-1);
        }
        if (r->lastKeyRaw.size() != p.nkeys) {
            r->lastKey.resize(p.nkeys);
            r->lastKeyRaw.resize(p.nkeys);
            r->lastKeyNull.resize(p.nkeys);
        }
        // The row's key texts become the last key; the scratch keeps the storage of the old
        // ones for the next row, so that no row allocates.
        r->lastKey.swap(p.key);
        for (unsigned i = 0; i < p.nkeys; ++i) {
            r->lastKeyNull[i] = !raw[i];
            if (raw[i])
                r->lastKeyRaw[i].assign(raw[i], raw[i] + lengths[i]);
            else
                r->lastKeyRaw[i].clear();
        }
        r->haveLast = true;
    }
    if (calculateCRCValues(r, raw, values, lengths, ncols) < 0) return UL_ERROR_RETURN(-1);
    ++r->blockRows;
    ++r->totalRows;
    const bool ownBlock = !p.fields && r->nextBoundary >= r->boundaries.size();
    if (ownBlock) {
        if (r->blockRows >= r->slice) r->closePending = true;
        if (checkSliceCount(r) < 0) return UL_ERROR_RETURN(-1);
    }
    if (p.sampling && r->totalRows >= UL_SQLCRCNrSamples) r->sampled = true;
    return 0;
}

namespace {

// The bytes a value of feed f contributes (before any change of byte order).
size_t valueBytes(Feed f, const unsigned char* data, size_t n, unsigned char* out) {
    if (f == Feed::plain || f == Feed::number || f == Feed::units) {
        if (n) std::memcpy(out, data, n);
        return n;
    }
    n &= ~static_cast<size_t>(1);
    auto unit = [&](size_t at) {
        char16_t c;
        std::memcpy(&c, data + at, 2);
        return c;
    };
    size_t from = 0;
    if (f == Feed::numtext)
        while (from + 2 < n && (unit(from) == u' ' || unit(from) == u'0')) from += 2;
    // Most text holds no NUL, and then the value goes in whole.
    if (!hasNulUnit(data + from, n - from)) {
        std::memcpy(out, data + from, n - from);
        return n - from;
    }
    size_t written = 0;
    for (size_t at = from; at < n; at += 2) {
        if (unit(at) == 0) continue;
        std::memcpy(out + written, data + at, 2);
        written += 2;
    }
    return written;
}

}  // namespace

size_t AuxCalcCRCValues::fieldBytes(unsigned field, const unsigned char* data, size_t n,
                                    unsigned char* out) const {
    const Plan& p = *plan_;
    const Feed f = field < p.feeds.size() ? p.feeds[field] : Feed::plain;
    const size_t written = valueBytes(f, data, n, out);
    if (p.neutral && UL_CRC_HOST_LITTLE) toNeutralOrder(f, out, written);
    return written;
}

unsigned char* AuxCalcCRCValues::rowSpace(size_t n) {
    std::vector<unsigned char>& buffer = plan_->rowBytes;
    if (buffer.size() < n || buffer.empty())
        buffer.resize(std::max({n, 2 * buffer.size(), size_t{256}}));
    return buffer.data();
}

void AuxCalcCRCValues::addBytes(unsigned* a, unsigned* b, const unsigned char* data, size_t n) {
    if (!n) return;
    if (b)
        ul_crcdupcalc(a, b, data, n);
    else
        *a = ul_crccalc(*a, data, n);
    plan_->bytes += n;
    plan_->byteSum += byteSum(data, n);
}

void AuxCalcCRCValues::addData2Checksum(unsigned* a, unsigned* b, unsigned field,
                                        const unsigned char* data, size_t n) {
    unsigned char* out = rowSpace(n);
    addBytes(a, b, out, fieldBytes(field, data, n, out));
}

size_t AuxCalcCRCValues::gatherRow(const unsigned char** raw, const unsigned* lengths,
                                   unsigned ncols) {
    size_t total = 0;
    for (unsigned c = 0; c < ncols; ++c)
        if (raw[c]) total += lengths[c];
    unsigned char* out = rowSpace(total);
    size_t n = 0;
    for (unsigned c = 0; c < ncols; ++c)
        if (raw[c]) n += fieldBytes(c, raw[c], lengths[c], out + n);
    return n;
}

int AuxCalcCRCValues::calculateCRCValues(ul_crcrecord_t* r, const unsigned char** raw,
                                         const char16_t** values, const unsigned* lengths,
                                         unsigned ncols) {
    Plan& p = *plan_;
    if (p.fields) {
        // Each field goes into the total and into the register of its slice, in one pass; the
        // total runs over the whole row, or over the fields of the slice dug into.
        for (unsigned c = p.fieldFirst; c < ncols && c < p.fieldEnd; ++c) {
            if (!raw[c]) continue;
            const int s = c < p.sliceOf.size() ? p.sliceOf[c] : -1;
            if (s >= 0)
                addData2Checksum(&r->fieldCrcs[static_cast<size_t>(s)], &r->totalCrc, c, raw[c],
                                 lengths[c]);
            else
                addData2Checksum(&r->totalCrc, nullptr, c, raw[c], lengths[c]);
        }
        return keepFieldValues(raw, values, lengths, ncols);
    }
    // The registers take a stream of bytes: the row's fields one after the other go in with
    // one call, as they would field by field.
    const size_t n = gatherRow(raw, lengths, ncols);
    addBytes(&r->blockCrc, &r->totalCrc, p.rowBytes.data(), n);
    if (p.quick) addQuickRow(r, n);
    return 0;
}

void AuxCalcCRCValues::addQuickRow(ul_crcrecord_t* r, size_t n) {
    r->rowCrc = n ? ul_crccalc(0xFFFFFFFFu, plan_->rowBytes.data(), n) : 0xFFFFFFFFu;
    r->buckets[r->rowCrc % UL_CRCQUICK_BUCKETS] ^= r->rowCrc;
}

int AuxCalcCRCValues::calculateCRCValuesQUICK(ul_crcrecord_t* r, const unsigned char** raw,
                                              const unsigned* lengths, unsigned ncols) {
    const size_t n = gatherRow(raw, lengths, ncols);
    plan_->bytes += n;
    plan_->byteSum += byteSum(plan_->rowBytes.data(), n);
    addQuickRow(r, n);
    return 0;
}

int AuxCalcCRCValues::checkSliceCount(ul_crcrecord_t* record) {
    ul_crcrecord_t& r = *record;
    const unsigned long maxSlices = std::max<unsigned long>(UL_TabChkMaxSlices, 1);
    const unsigned long perSlice = static_cast<unsigned long>(r.totalRows / maxSlices);
    if (perSlice <= r.slice) return 0;
    const unsigned long grown = (perSlice / r.slice + 1) * r.slice;
    if (msg(u' ', ul_format(u"Increasing slice count from %lu to %lu at %lu rows.", r.slice, grown,
                            static_cast<unsigned long>(r.totalRows))) < 0)
        return UL_ERROR_RETURN(-1);
    r.slice = grown;
    return 0;
}

int AuxCalcCRCValues::advanceNextBoundary(ul_crcrecord_t* r, bool atEnd) {
    while (r->nextBoundary < r->boundaries.size()) {
        const ul_chkcrcline_t* b = r->boundaries[r->nextBoundary];
        // A row beyond the boundary closes the block there, possibly several in a row.
        if (!atEnd && (b->end.nvalues == 0 || compareKeyWith(*r, b->end) <= 0)) return 0;
        ++r->nextBoundary;
        if (closeBlock(r, b->end, !atEnd, b) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int AuxCalcCRCValues::lastKeyBoundary(const ul_crcrecord_t& r, ul_sqlcrcboundary_t* out) {
    const Plan& p = *plan_;
    std::vector<std::u16string_view> views;
    for (unsigned i = 0; i < r.lastKey.size(); ++i) {
        std::u16string_view v = r.lastKey[i];
        if (p.neutral && p.keyClasses[i] == UL_SQLTOKEN_NUMC) v = stripZeros(v);
        views.push_back(v);
    }
    *out = ul_sqlcrcboundary_t{};
    if (views.empty()) return 0;
    out->values = file_->storeValues(views);
    if (!out->values) return UL_ERROR_RETURN(-1);
    out->nvalues = static_cast<unsigned>(views.size());
    return 0;
}

int AuxCalcCRCValues::closeAtLastKey(ul_crcrecord_t* r) {
    ul_sqlcrcboundary_t end;
    if (lastKeyBoundary(*r, &end) < 0) return UL_ERROR_RETURN(-1);
    return closeBlock(r, end, false, nullptr);
}

int AuxCalcCRCValues::closeBlock(ul_crcrecord_t* r, const ul_sqlcrcboundary_t& end, bool beyond,
                                 const ul_chkcrcline_t* boundary) {
    const ul_crcscanrequest_t& q = plan_->request;
    const size_t index = r->nextBoundary;  // boundaries taken so far
    const bool existing = boundary && index <= q.nExisting;
    const uint32_t crc = r->blockRows ? r->blockCrc : 0;
    int rc = 0;
    if (existing) {
        // A block the own file holds already: recomputed, compared, not written again.
        rc = compareWithLine(*boundary, r->blockRows, crc, r->index);
        r->start = end;
    } else {
        rc = writeCRCLine(r, beyond ? unsigned{UL_CRCLINE_OWNBOUNDARY} : 0u, end, r->blockRows, crc,
                          nullptr);
    }
    r->blockRows = 0;
    r->blockCrc = 0xFFFFFFFFu;
    return rc;
}

// ---- lines ------------------------------------------------------------------------------------

int AuxCalcCRCValues::writeText(const std::u16string& text) {
    if (out_->write(text.c_str(), text.size()) < 0 || out_->flush() < 0) {
        ul_errorsetmsg(UL_ERR_APPEND, u"Cannot write '*crc:' line");
        return UL_ERROR_RETURN(-1);
    }
    for (char16_t c : text)
        if (c == u'\n') ++plan_->lineNo;
    return 0;
}

int AuxCalcCRCValues::addTabLine0() {
    Plan& p = *plan_;
    if (p.tabChecked) return 0;
    p.tabChecked = true;
    // The file's last section and its number of lines decide the tab: line and the numbers
    // of the lines written.
    if (out_->flush() < 0) return UL_ERROR_RETURN(-1);
    std::u16string last;
    int lines = 0;
    ULTextFileReader in;
    if (in.open(out_->path()) == 0) {
        int rc;
        while ((rc = in.readLine()) > 0) {
            ++lines;
            const char16_t* s = in.line();
            while (*s == u' ' || *s == u'\t') ++s;
            if (std::u16string_view(s).starts_with(u"tab:")) last = tabLineName(s + 4);
        }
        if (rc < 0) return UL_ERROR_RETURN(-1);
    }
    p.lineNo = lines + 1;
    if (!last.empty() && ul_stringupper(last) == ul_stringupper(table_->name())) return 0;
    std::u16string text = u"tab: ";
    ul_sqlcrcappendname(&text, table_->name());
    const std::u16string& ref = table_->refName();
    if (!ref.empty() && ul_stringupper(ref) != ul_stringupper(table_->name())) {
        text.push_back(u' ');
        ul_sqlcrcappendname(&text, ref);
    }
    text.push_back(u'\n');
    return writeText(text);
}

int AuxCalcCRCValues::writeStartLine(const ul_crcrecord_t& r) {
    // The lines of a slice of fields follow the start of their row, so that they may come
    // behind the lines of any other row.
    const ul_chkcrcline_t* row = plan_->request.region;
    while (plan_->fieldSlice && row && row->isField()) row = row->parent;
    const bool rowStart = plan_->fieldSlice && row && !(row->flags & UL_CRCLINE_TOP);
    if (r.start.nvalues == 0 && !rowStart) return 0;
    ul_chkcrcline_t line;
    line.ownClient = r.hasClient ? r.client.c_str() : nullptr;
    line.end = rowStart ? row->start : r.start;
    std::u16string text;
    if (table_->formatCRCLine(line, &text) < 0) return UL_ERROR_RETURN(-1);
    text.push_back(u'\n');
    return writeText(text);
}

void AuxCalcCRCValues::noteDifference(ul_chkcrcline_t* line) {
    const std::vector<const ul_chkcrcline_t*>& refs = plan_->refLines;
    auto less = [this](const ul_chkcrcline_t* a, const ul_chkcrcline_t* b) {
        return table_->compareCRCRange(*a, *b) < 0;
    };
    auto it = std::lower_bound(refs.begin(), refs.end(), line, less);
    if (it == refs.end() || table_->compareCRCRange(**it, *line) != 0) return;
    const ul_chkcrcline_t& ref = **it;
    line->refLine = ref.refLine;
    line->refCount = ref.refCount;
    line->refCrc = ref.refCrc;
    line->flags |= ref.flags & (UL_CRCLINE_REF | UL_CRCLINE_REFBOUNDARY | UL_CRCLINE_REFSINGLE |
                                UL_CRCLINE_REFFIELD | UL_CRCLINE_REFNOCRC);
    if (ref.refCount != line->ownCount)
        line->flags |= UL_CRCLINE_COUNTDIFF |
                       (ref.refCount > line->ownCount ? UL_CRCLINE_INSERT : UL_CRCLINE_DELETE);
    if (!(ref.flags & UL_CRCLINE_REFNOCRC) && ref.refCrc != line->ownCrc)
        line->flags |= UL_CRCLINE_CRCDIFF;
    if (line->flags & UL_CRCLINE_DIFFS) ++newDifferences_;
}

int AuxCalcCRCValues::writeCRCLine(ul_crcrecord_t* r, unsigned flags,
                                   const ul_sqlcrcboundary_t& end, ul_dbrowcount_t count,
                                   uint32_t crc, const char16_t* value) {
    Plan& p = *plan_;
    if (addTabLine0() < 0) return UL_ERROR_RETURN(-1);
    const bool field = flags & UL_CRCLINE_OWNFIELD;
    const bool quick = flags & UL_CRCLINE_QUICK;
    const bool comment = flags & UL_CRCLINE_EXCLUDED;  // a key field's checksum
    flags &= ~UL_CRCLINE_EXCLUDED;
    if (r->lines == 0 && !quick && writeStartLine(*r) < 0) return UL_ERROR_RETURN(-1);
    ul_chkcrcline_t line;
    line.flags = flags | UL_CRCLINE_OWN;
    line.ownLine = p.lineNo;
    line.ownClient = r->hasClient ? r->client.c_str() : nullptr;
    line.start = quick ? ul_sqlcrcboundary_t{} : field ? p.fieldStart : r->start;
    line.end = quick ? ul_sqlcrcboundary_t{} : end;
    line.ownCount = field ? 1 : count;
    line.ownCrc = crc;
    line.ownValue = value;
    std::u16string text;
    if (table_->formatCRCLine(line, &text) < 0) return UL_ERROR_RETURN(-1);
    if (comment) text.insert(0, u"#");
    text.push_back(u'\n');
    if (writeText(text) < 0) return UL_ERROR_RETURN(-1);
    ++r->lines;
    if (!field && !quick) r->start = end;
    if (comment) return 0;
    ++newLines_;
    ul_chkcrcline_t* added = table_->setCRCLineValues(
        line.flags, line.ownClient, line.start, line.end, line.ownCount, crc, value, line.ownLine);
    if (!added) return UL_ERROR_RETURN(-1);
    noteDifference(added);
    return 0;
}

int AuxCalcCRCValues::writeFieldLines(ul_crcrecord_t* r) {
    Plan& p = *plan_;
    if (!r->haveLast) return 0;  // no row: nothing to name
    const ul_crcscanrequest_t& q = p.request;
    // Each slice starts behind the one before it: the first behind the slice dug into's start,
    // or at the row's start.
    unsigned from = p.fieldSlice ? q.start.field : UL_CRCFIELD_ROWSTART;
    for (size_t s = 0; s < p.slices.size(); ++s) {
        const std::vector<unsigned>& slice = p.slices[s];
        ul_sqlcrcboundary_t end;
        if (lastKeyBoundary(*r, &end) < 0) return UL_ERROR_RETURN(-1);
        end.field = slice.back();
        p.fieldStart = end;
        p.fieldStart.field = from;
        if (!p.sliceIsKey[s]) from = slice.back();
        // A slice a cut-off scan wrote already is compared, not written again.
        const ul_chkcrcline_t* existing = nullptr;
        ul_chkcrcline_t probe;
        probe.ownClient = r->hasClient ? r->client.c_str() : nullptr;
        probe.start = p.fieldStart;
        probe.end = end;
        for (size_t i = 0; i < q.nExisting && i < q.boundaries.size() && !p.sliceIsKey[s]; ++i)
            if (table_->compareCRCRange(*q.boundaries[i], probe) == 0) existing = q.boundaries[i];
        if (existing) {
            if (compareWithLine(*existing, 1, r->fieldCrcs[s], r->index) < 0)
                return UL_ERROR_RETURN(-1);
            continue;
        }
        const char16_t* value = nullptr;
        if (slice.size() == 1 && slice[0] < p.haveValue.size() && p.haveValue[slice[0]])
            value = p.fieldValues[slice[0]].c_str();
        const unsigned flags =
            UL_CRCLINE_OWNFIELD | (p.sliceIsKey[s] ? unsigned{UL_CRCLINE_EXCLUDED} : 0u);
        if (writeCRCLine(r, flags, end, 1, r->fieldCrcs[s], value) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int AuxCalcCRCValues::closeCRCStatement(ul_crcrecord_t* r) {
    Plan& p = *plan_;
    if (p.quick) {
        unsigned char bytes[UL_CRCQUICK_BUCKETS * 4];
        for (unsigned i = 0; i < UL_CRCQUICK_BUCKETS; ++i) {
            const unsigned v = r->buckets[i];
            for (unsigned b = 0; b < 4; ++b)
                bytes[4 * i + b] =
                    static_cast<unsigned char>(v >> (p.neutral ? 24 - 8 * b : 8 * b));
        }
        r->quickCrc = r->totalRows ? ul_crccalc(0xFFFFFFFFu, bytes, sizeof bytes) : 0;
        if (!p.ordered) {
            const bool unverified = table_->flags() & UL_TABCHK_VERIFYQUICKRUN;
            return writeCRCLine(
                r, UL_CRCLINE_QUICK | (unverified ? unsigned{UL_CRCLINE_OWNUNVERIFIED} : 0u), {},
                r->totalRows, r->quickCrc, nullptr);
        }
    }
    if (p.fields) return writeFieldLines(r);
    // A sample ends at its last row.
    if (r->sampled && r->haveLast) return closeAtLastKey(r);
    if (advanceNextBoundary(r, true) < 0) return UL_ERROR_RETURN(-1);
    const bool followed = !r->boundaries.empty();
    const ul_sqlcrcboundary_t& lastEnd = followed ? r->boundaries.back()->end : p.end;
    const bool covered =
        followed &&
        (lastEnd.nvalues == 0 ||
         (p.end.nvalues && lastEnd.compareTo(p.end, p.keyClasses.data(), true, true) >= 0));
    if (covered && r->blockRows == 0) return 0;
    return closeBlock(r, p.end, false, nullptr);
}

int AuxCalcCRCValues::closeCRCStatements() {
    for (ul_crcrecord_t& r : records_)
        if (closeCRCStatement(&r) < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

// The count and checksum a scan found for the range of a line the own file holds must be the
// line's: otherwise the data changed under the scan, or the database does not deliver the same
// rows twice.
int AuxCalcCRCValues::compareWithLine(const ul_chkcrcline_t& line, ul_dbrowcount_t rows,
                                      uint32_t crc, int index) {
    if (rows != line.ownCount) {
        ul_errorsetmsgfmt(0,
                          u"Discrepancy during detail scan: found %lu rows, but only %lu expected "
                          u"(icksum=%d)",
                          static_cast<unsigned long>(rows),
                          static_cast<unsigned long>(line.ownCount), index);
    } else if (!(line.flags & UL_CRCLINE_OWNNOCRC) && crc != line.ownCrc) {
        ul_errorsetmsgfmt(0,
                          u"Discrepancy during detail scan: checksum is %#010x, expected %#010x "
                          u"(icksum=%d)",
                          crc, line.ownCrc, index);
    } else {
        return 0;
    }
    ul_errorsetmsg(UL_ERR_APPEND,
                   u"Reason: Either the data changed (system running?) or the database and/or "
                   u"client does not return reproducible data");
    return UL_ERROR_RETURN(-1);
}

int AuxCalcCRCValues::checkTotal(const ul_crcrecord_t& r, int index) {
    const ul_chkcrcline_t* line = plan_->request.checkAgainst;
    const bool quickLine = line->flags & UL_CRCLINE_QUICK;
    const uint32_t crc = quickLine ? r.quickCrc : r.totalRows ? r.totalCrc : 0;
    return compareWithLine(*line, r.totalRows, crc, index);
}

int AuxCalcCRCValues::checkTotals() {
    const ul_chkcrcline_t* line = plan_->request.checkAgainst;
    if (!line || line->ownCount == UL_DBROWCOUNT_INVALID) return 0;
    const bool clients = !records_.empty() && records_[0].hasClient;
    if (clients && !line->ownClient)
        return ul_errorfail(
            ul_format(u"CRC line %d has no client, though calculating client specific checksums",
                      line->ownLine));
    for (size_t i = 0; i < records_.size(); ++i) {
        const ul_crcrecord_t& r = records_[i];
        if (clients && r.client != line->ownClient) continue;
        if (checkTotal(r, static_cast<int>(i)) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int AuxCalcCRCValues::printCRCStatistics() {
    Plan& p = *plan_;
    const char16_t* table = table_->name().c_str();
    const bool again = p.request.checkAgainst != nullptr;
    for (const ul_crcrecord_t& r : records_) {
        std::u16string text = ul_format(u"Scanned%s %lu rows", again ? u" again" : u"",
                                        static_cast<unsigned long>(r.totalRows));
        if (r.hasClient) text += ul_format(u" for client '%s'", r.client.c_str());
        if (r.lines == 0) text += u" (skipped in output)";
        if (msg(u' ', text) < 0) return UL_ERROR_RETURN(-1);
    }
    char16_t elapsed[32];
    if (ul_formatelapsed(elapsed, 32, static_cast<long>(time(nullptr) - p.started)) < 0)
        elapsed[0] = 0;
    if (msg(u' ',
            ul_format(u"Total bytes %lu with sum %lu in %s.", static_cast<unsigned long>(p.bytes),
                      static_cast<unsigned long>(p.byteSum), elapsed)) < 0 ||
        msg(u' ', ul_format(u"Added %d new crc lines for table '%s'.", static_cast<int>(newLines_),
                            table)) < 0)
        return UL_ERROR_RETURN(-1);
    if (p.useBadChar && p.badchar.filtered() &&
        msg(u'W', ul_format(u"Filtered %lu rows containing invalid characters in key fields from "
                            u"table '%s'.",
                            p.badchar.filtered(), table)) < 0)
        return UL_ERROR_RETURN(-1);
    if (p.useBCD && p.bcd.fixed() &&
        msg(u'W',
            ul_format(u"Ignored %lu \"-0.0\" BCD values in table '%s'.", p.bcd.fixed(), table)) < 0)
        return UL_ERROR_RETURN(-1);
    if (duplicates() &&
        msg(p.sortDups ? u'W' : u'E',
            ul_format(u"Detected %lu duplicate rows in table '%s'!", duplicates(), table)) < 0)
        return UL_ERROR_RETURN(-1);
    if (newDifferences_ &&
        msg(u' ', ul_format(u"Found %d new differences in count or checksum for table '%s'.",
                            static_cast<int>(newDifferences_), table)) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

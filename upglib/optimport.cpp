#include "optimport.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tabrix.h"
#include "ulauxfcts.h"
#include "ulbigsort.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlbase.h"
#include "ulsqlsplit.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultrace.h"

// ---- import buffer -------------------------------------------------------------------------

namespace {

// The characters [start, start + n) of line, trailing blanks removed.
std::u16string field(const std::u16string& line, size_t start, size_t n) {
    if (start >= line.size()) return {};
    std::u16string out = line.substr(start, n);
    while (!out.empty() && (out.back() == u' ' || out.back() == u'\t')) out.pop_back();
    return out;
}

}  // namespace

int ul_buffergettransports(std::vector<std::u16string>* list, const char16_t* file, int mode) {
    ULTextFileReader in;
    if (in.open(file) < 0) return UL_ERROR_RETURN(-1);
    int added = 0;
    for (;;) {
        const int rc = in.readLine();
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) break;
        const std::u16string line(in.line(), in.length());
        if (line.empty() || line[0] == u'#') continue;
        std::u16string name, client;
        if (line[0] == u'/') {
            if (line.size() < 3 || (line[1] != u'0' && line[1] != u'1') || line[2] != u'/')
                return ul_errorfail(ul_format(u"Incomprehensible buffer line '%s'", line.c_str()));
            name = field(line, 3, 20);
            client = field(line, 23, 3);
        } else {
            name = field(line, 0, 10);
        }
        if (name.empty() || name == u"STOPMARK") continue;
        if (name == UL_BUFFER_SYNCMARK) {
            if (!(mode & UL_BUFFER_SYNCMARKS)) continue;
            client.clear();
        }
        if (!(mode & UL_BUFFER_PLAINNAMES) && !client.empty())
            name = ul_format(u"%s%s%s", name.c_str(), u", client ", client.c_str());
        list->push_back(std::move(name));
        ++added;
    }
    return added;
}

// ---- packing -------------------------------------------------------------------------------

unsigned ul_packuint(unsigned char* out, unsigned long value, bool fixed) {
    if (fixed) {
        for (int i = 3; i >= 0; --i) *out++ = static_cast<unsigned char>(value >> (8 * i));
        return 4;
    }
    unsigned char groups[10];
    unsigned n = 0;
    do {
        groups[n++] = static_cast<unsigned char>(value & 0x7F);
        value >>= 7;
    } while (value);
    for (unsigned i = 0; i < n; ++i)
        out[i] = static_cast<unsigned char>(groups[n - 1 - i] | (i + 1 < n ? 0x80 : 0));
    return n;
}

int ul_unpackuint(const unsigned char** in, const unsigned char* end, bool fixed,
                  unsigned long* value) {
    const unsigned char* p = *in;
    unsigned long v = 0;
    if (fixed) {
        if (end - p < 4) return -1;
        for (int i = 0; i < 4; ++i) v = (v << 8) | *p++;
    } else {
        for (unsigned n = 0;; ++n) {
            if (p == end || n == 10) return -1;
            const unsigned char b = *p++;
            v = (v << 7) | (b & 0x7F);
            if (!(b & 0x80)) break;
        }
    }
    *in = p;
    *value = v;
    return 0;
}

// ---- record sorter -------------------------------------------------------------------------

ULRecordSorter::~ULRecordSorter() {
    close(false);
}

int ULRecordSorter::open(unsigned long maxmemory, unsigned slot, bool variable,
                         ULBigSortCompare* compare) {
    close(false);
    compare_ = compare;
    variable_ = variable;
    external_ = maxmemory > 0;
    count_ = 0;
    readIndex_ = 0;
    offsets_.assign(1, 0);
    if (!external_) return 0;
    handle_ = std::make_unique<ULBigSortHandle>();
    savedMaxMemory_ = ULBigSortHandle::m_maxmemory;
    ULBigSortHandle::m_maxmemory = maxmemory;
    if (handle_->open(static_cast<long>(slot), 0, compare, variable ? UL_BIGSORT_VARLENGTH : 0) <
        0) {
        handle_.reset();
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULRecordSorter::put(const unsigned char* record, unsigned length) {
    ++count_;
    if (external_) {
        return handle_->put(record, length) < 0 ? UL_ERROR_RETURN(-1) : 0;
    }
    arena_.insert(arena_.end(), record, record + length);
    offsets_.push_back(arena_.size());
    return 0;
}

int ULRecordSorter::finish() {
    if (external_) return handle_->endInput() < 0 ? UL_ERROR_RETURN(-1) : 0;
    // Sorted as an index into the record starts; offsets_ keeps the ends through the lengths.
    std::vector<size_t> order(offsets_.size() - 1);
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    const unsigned char* base = arena_.data();
    const std::vector<size_t>& off = offsets_;
    ULBigSortCompare* cmp = compare_;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return cmp->compare(base + off[a], static_cast<unsigned>(off[a + 1] - off[a]),
                            base + off[b], static_cast<unsigned>(off[b + 1] - off[b])) < 0;
    });
    // Rewritten in sorted order, so that reading walks the arena forwards.
    std::vector<unsigned char> sorted;
    sorted.reserve(arena_.size());
    std::vector<size_t> ends(1, 0);
    ends.reserve(off.size());
    for (size_t i : order) {
        sorted.insert(sorted.end(), base + off[i], base + off[i + 1]);
        ends.push_back(sorted.size());
    }
    arena_.swap(sorted);
    offsets_.swap(ends);
    return 0;
}

int ULRecordSorter::next(const unsigned char** record, unsigned* length) {
    if (!external_) {
        if (readIndex_ + 1 >= offsets_.size()) return 0;
        *record = arena_.data() + offsets_[readIndex_];
        *length = static_cast<unsigned>(offsets_[readIndex_ + 1] - offsets_[readIndex_]);
        ++readIndex_;
        return 1;
    }
    uint32_t n = 0;
    const int peek = handle_->get(UL_BIGSORT_PEEK, nullptr, &n, 1);
    if (peek == UL_BIGSORT_END) return 0;
    if (peek < 0) return UL_ERROR_RETURN(-1);
    if (buffer_.size() < n + 1) buffer_.resize(n + 1);
    uint32_t got = static_cast<uint32_t>(buffer_.size());
    const int rc = handle_->get(UL_BIGSORT_NEXT, buffer_.data(), &got);
    if (rc == UL_BIGSORT_END) return 0;
    if (rc < 0) return UL_ERROR_RETURN(-1);
    *record = buffer_.data();
    *length = got;
    return 1;
}

void ULRecordSorter::close(bool statistics) {
    if (handle_) {
        (void)handle_->close(statistics ? UL_BIGSORT_STATISTICS : 0);  // releasing never loses data
        handle_.reset();
        ULBigSortHandle::m_maxmemory = savedMaxMemory_;
    }
    arena_.clear();
    arena_.shrink_to_fit();
    offsets_.clear();
    offsets_.shrink_to_fit();
}

int ul_parsemaxmemory(const char16_t* text, unsigned long* bytes) {
    if (ul_stricmp(text, u"unlimited") == 0) {
        *bytes = 0;
        return 0;
    }
    const long value = ul_getlongvalue(text, 0);
    if (value < 0) return UL_ERROR_RETURN(-1);
    if (value == 0) return ul_errorfail(ul_format(u"Invalid number '%s'", text));
    *bytes = static_cast<unsigned long>(value);
    return 0;
}

std::u16string ul_maxmemoryusage(unsigned long defaultBytes) {
    std::u16string out =
        u"    maxmemory=<size> Limit memory usage to given size (may have extension 'K', 'M', "
        u"'G') and\n       use external sorting. If set to 'unlimited', in memory sort is used.";
    if (defaultBytes)
        out += ul_format(u" Default is %.fMB\n", static_cast<double>(defaultBytes) / 1048576.0);
    else
        out += u" Default is 'unlimited'.\n";
    return out;
}

// ---- the optimiser -------------------------------------------------------------------------

namespace {

constexpr long kDefaultAutocommit = 800;
constexpr size_t kMaxObjectName = 120;
constexpr size_t kMaxDupTransports = 250;
constexpr size_t kMaxRequestName = 256;

// The optimisable object types; the index is the type number that orders the sort.
struct ul_e071objecttype_t {
    const char16_t* pgmid;
    const char16_t* object;
};
constexpr ul_e071objecttype_t E071ObjectTypes[] = {
    {u"Q7TR", u"PROG"}, {u"Q7SB", u"REPO"}, {u"Q7SB", u"REPS"}, {u"Q7SB", u"REPT"},
    {u"Q7SB", u"FUNC"}, {u"Q7SB", u"FUGT"}, {u"Q7TR", u"INTF"}, {u"Q7TR", u"CLAS"},
    {u"Q7SB", u"METH"}, {u"Q7SB", u"CINC"}, {u"Q7SB", u"CLSD"}, {u"Q7SB", u"CPRI"},
    {u"Q7SB", u"CPRO"}, {u"Q7SB", u"CPUB"},
};
constexpr int kTypeCount = static_cast<int>(std::size(E071ObjectTypes));

int objectType(const char16_t* pgmid, const char16_t* object) {
    if (!pgmid || !object) return -1;
    for (int i = 0; i < kTypeCount; ++i)
        if (ul_strcmp(pgmid, E071ObjectTypes[i].pgmid) == 0 &&
            ul_strcmp(object, E071ObjectTypes[i].object) == 0)
            return i;
    return -1;
}

enum : unsigned {
    kTransIgnored = 1,  // not optimised (ignore list)
    kTransUserKT = 2,   // type K or T request of a user other than VEX
    kTransTypeL = 4,    // type L request
};
enum : unsigned { kObjDeleted = 1 };

struct Transport {
    unsigned flags = 0;
    std::u16string name;
    int group = 0;
    long nread = 0;
    long noptimizable = 0;
    long nobsolete = 0;
    std::vector<int> dupLines;  // the "igndups:" lines that list the request
};

struct Options {
    bool shadow = false;
    bool show = false;
    bool check = false;
    long autocommit = kDefaultAutocommit;
    std::u16string ignoreList;
    unsigned long maxmemory = UL_SORT_DEFAULTMEMORY;
    bool fixedint = false;
    bool singleinsert = false;
    bool stringpool = false;
    char16_t lockflag = u'2';
    std::u16string buffer;
};

// An object entry as unpacked from its sort record.
struct optimimpobj_t {
    unsigned flags = 0;
    unsigned type = 0;
    unsigned long request = 0;
    unsigned long pos = 0;
    std::u16string name;
};

int say(char16_t severity, const std::u16string& text) {
    return ul_msgwrite_line399(1, severity, text) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// A string literal of value as the connected database reads it.
int literal(const std::u16string& value, std::u16string* out) {
    out->clear();
    return ul_sqlappendliteral(out, value, UL_SQLTOKEN_STRING, ul_sqlcurrentliteralform()) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

class AuxOptimizeImport : public ULSQLCallBackChar, public ULBigSortCompare {
  public:
    explicit AuxOptimizeImport(const Options& o) : o_(o), mark_(o.show ? u' ' : o.lockflag) {}

    int run();
    int compare(const void* a, uint32_t alen, const void* b, uint32_t blen) override;
    using ULSQLCallBackChar::handleRow;
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override;

  private:
    enum class State { Header, Object, Params };

    int initStatements();
    int readTransportGroups();
    int initIgnoreList();
    int readIgnTransports(const char16_t* rest, int lineNo);
    int readDupTransports(const char16_t* rest, int lineNo);
    int readObjectLists();
    int readTransportObjects(size_t request);
    int handleHeader(const char16_t** values, unsigned ncols);
    int handleObject(const char16_t** values, unsigned ncols);
    int handleParams(const char16_t** values);
    int packObject(const optimimpobj_t& obj, unsigned* length);
    int unpackObject(const unsigned char* rec, unsigned length, optimimpobj_t* obj) const;
    int getNextObsoleteObject(optimimpobj_t* obj);
    int conflict(const optimimpobj_t& later, const optimimpobj_t& earlier);
    int findObsoleteObjects();
    int markSingle(const optimimpobj_t& obj);
    int printStat();
    int checkMarks();
    std::u16string position(unsigned long pos) const {
        return ul_format(u"%0*lu", as4posDigits_, pos);
    }
    bool listedTogether(const Transport& a, const Transport& b) const;
    // Counts one update; true when a commit is due after it.
    bool commitDue() {
        if (++sinceCommit_ < o_.autocommit) return false;
        sinceCommit_ = 0;
        return true;
    }
    std::u16string shadowName(const char16_t* base) const {
        std::u16string name = base;
        if (o_.shadow) name += ul_sqlgetseparator(1);
        return name;
    }

    const Options& o_;
    const char16_t mark_;
    bool variable_ = true;
    State state_ = State::Header;
    ULSQLStmt selHeader_, selObjects_, update_;
    std::u16string e071_;
    std::vector<Transport> transports_;
    std::unordered_map<std::u16string, size_t> byName_;
    int groups_ = 1;
    size_t current_ = 0;  // request whose rows are being read
    int as4posDigits_ = -1;
    long totalRead_ = 0, totalOptimizable_ = 0;
    int transportsRead_ = 0;
    ul_strpool_t pool_;
    ULRecordSorter sorter_;
    std::vector<unsigned char> record_;
    std::vector<std::vector<size_t>> dupLines_;  // requests of each "igndups:" line
    // The walk over the sorted entries.
    bool walkStarted_ = false;
    bool haveLast_ = false;
    optimimpobj_t keeper_, last_, entry_;
    long obsolete_ = 0;
    long sinceCommit_ = 0;
    std::u16string paramName_, paramPos_;
};

int AuxOptimizeImport::run() {
    variable_ = !(o_.fixedint && !o_.stringpool);
    if (o_.maxmemory) {
        if (say(u' ', ul_format(u"Using external sorter with maxmemory=%lu MB%s.",
                                o_.maxmemory >> 20,
                                variable_ ? u" and variable length items" : u"")) < 0)
            return UL_ERROR_RETURN(-1);
    } else if (say(u' ', u"Sorting in memory.") < 0) {
        return UL_ERROR_RETURN(-1);
    }
    if (o_.stringpool && say(u' ', u"Using string pool for object names.") < 0)
        return UL_ERROR_RETURN(-1);
    if (say(u' ', ul_format(u"Using %s length integers for packing objects.",
                            o_.fixedint ? u"fixed" : u"variable")) < 0)
        return UL_ERROR_RETURN(-1);
    // Fixed records: type, flags, request, position and the name padded to its maximum.
    const unsigned slot = variable_ ? 48 : 2 + 4 + 4 + 1 + 2 * kMaxObjectName;
    if (sorter_.open(o_.maxmemory, slot, variable_, this) < 0) return UL_ERROR_RETURN(-1);
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    if (initStatements() < 0 || readTransportGroups() < 0 || initIgnoreList() < 0 ||
        readObjectLists() < 0 || findObsoleteObjects() < 0 || printStat() < 0 ||
        (o_.check && !o_.show && checkMarks() < 0)) {
        sorter_.close(false);
        return ul_sqldisconnectfailed();
    }
    sorter_.close(true);
    if (say(u' ', ul_format(u"Memory used by string pool: %ld kB.",
                            o_.stringpool ? pool_.getSize() / 1024 : 0L)) < 0 ||
        ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0)
        return ul_sqldisconnectfailed();
    if (ul_sqldisconnect(0) < 0) return UL_ERROR_RETURN(-1);
    return ul_msgwrite_timeprint(1) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int AuxOptimizeImport::initStatements() {
    const std::u16string e070 = shadowName(u"E070");
    e071_ = shadowName(u"E071");
    std::u16string header, objects, update;
    std::u16string mark;
    if (literal(std::u16string(1, mark_), &mark) < 0) return UL_ERROR_RETURN(-1);
    if (ul_sqlquotenames(&header, u"SELECT {TRFUNCTION}, {AS4USER} FROM {%s} WHERE {TRKORR} = ?",
                         {e070}) < 0 ||
        ul_sqlquotenames(&objects,
                         u"SELECT {AS4POS}, {PGMID}, {OBJECT}, {OBJ_NAME}, {OBJFUNC}, {LOCKFLAG} "
                         u"FROM {%s} WHERE {TRKORR} = ?",
                         {e071_}) < 0 ||
        ul_sqlquotenames(&update,
                         u"UPDATE {%s} SET {LOCKFLAG} = %s WHERE {TRKORR} = ? AND {AS4POS} = ?",
                         {e071_, mark}) < 0)
        return UL_ERROR_RETURN(-1);
    if (selHeader_.prepare(header.c_str(), nullptr, 0, nullptr, 0, UL_SQLMODE_SELECT) < 0 ||
        selObjects_.prepare(objects.c_str(), nullptr, 0, nullptr, 0, UL_SQLMODE_SELECT) < 0)
        return UL_ERROR_RETURN(-1);
    if (!o_.show && update_.prepare(update.c_str(), nullptr, 0, nullptr, 0,
                                    o_.singleinsert ? UL_SQLMODE_NOBULK : 0) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int AuxOptimizeImport::readTransportGroups() {
    if (say(u' ', ul_format(u"Reading transports from buffer '%s'.", o_.buffer.c_str())) < 0)
        return UL_ERROR_RETURN(-1);
    std::vector<std::u16string> names;
    if (ul_buffergettransports(&names, o_.buffer.c_str(),
                               UL_BUFFER_SYNCMARKS | UL_BUFFER_PLAINNAMES) < 0 ||
        say(u' ', u"Retrieving transport objects from DB.") < 0)
        return UL_ERROR_RETURN(-1);
    int group = 0;
    state_ = State::Header;
    for (std::u16string& name : names) {
        if (name == UL_BUFFER_SYNCMARK) {
            ++group;
            continue;
        }
        if (name.size() > kMaxRequestName)
            return ul_errorfail(ul_format(u"Transport name '%s' longer than %d characters",
                                          name.c_str(), static_cast<int>(kMaxRequestName)));
        if (byName_.count(name)) continue;  // a request seen again keeps its first place
        byName_.emplace(name, transports_.size());
        transports_.push_back(Transport{});
        Transport& t = transports_.back();
        t.name = std::move(name);
        t.group = group;
        current_ = transports_.size() - 1;
        if (selHeader_.bindParamS(0, t.name.c_str()) < 0 || selHeader_.execute(this, nullptr, 0) < 0)
            return UL_ERROR_RETURN(-1);
    }
    groups_ = group + 1;
    return say(u' ', ul_format(u"Read %d transports consisting of %d groups.",
                               static_cast<int>(transports_.size()), groups_));
}

int AuxOptimizeImport::handleRow(unsigned flags, const char16_t** values, unsigned ncols) {
    if (state_ == State::Params) return handleParams(values);
    if (!(flags & UL_ROW_DATA)) return 0;
    return state_ == State::Header ? handleHeader(values, ncols) : handleObject(values, ncols);
}

int AuxOptimizeImport::handleHeader(const char16_t** values, unsigned ncols) {
    if (ncols < 2) return ul_errorfail(u"Transport header query returned too few columns");
    Transport& t = transports_[current_];
    const char16_t* function = values[0] ? values[0] : u"";
    const char16_t* user = values[1] ? values[1] : u"";
    std::u16string trimmedUser = user;
    while (!trimmedUser.empty() && trimmedUser.back() == u' ') trimmedUser.pop_back();
    if ((function[0] == u'K' || function[0] == u'T') && trimmedUser != u"VEX")
        t.flags |= kTransUserKT;
    if (function[0] == u'L') t.flags |= kTransTypeL;
    return 0;
}

int AuxOptimizeImport::initIgnoreList() {
    if (o_.ignoreList.empty()) return 0;
    ULTextFileReader in;
    if (in.open(o_.ignoreList.c_str()) < 0) return UL_ERROR_RETURN(-1);
    for (;;) {
        const int rc = in.readLine();
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) return 0;
        const char16_t* line = in.line();
        const char16_t* p = line;
        while (*p == u' ' || *p == u'\t') ++p;
        if (*p == 0 || *p == u'#') continue;
        const char16_t* rest;
        if ((rest = ul_stringstarticmp(p, u"igntrans:"))) {
            if (readIgnTransports(rest, in.lineNumber()) < 0) return UL_ERROR_RETURN(-1);
        } else if ((rest = ul_stringstarticmp(p, u"igndups:"))) {
            if (readDupTransports(rest, in.lineNumber()) < 0) return UL_ERROR_RETURN(-1);
        } else {
            return ul_errorfail(ul_format(u"Unknown line '%s' l.%d '%s'", line, in.lineNumber(),
                                          o_.ignoreList.c_str()));
        }
    }
}

// Reads the escaped words of an ignore list line; a word that does not fit is a syntax error.
int readWords(const char16_t* rest, int lineNo, const std::u16string& file,
              std::vector<std::u16string>* words) {
    char16_t word[kMaxRequestName + 1];
    for (;;) {
        const char16_t* end = nullptr;
        const int rc = ul_stringreadescape(word, std::size(word), rest, 0, &end, UL_ESCAPE_DEFAULT);
        if (rc < 0)
            return ul_errorfail(ul_format(u"Syntax error in l.%d '%s'", lineNo, file.c_str()));
        if (rc == 0) break;
        words->emplace_back(word);
        rest = end;
    }
    if (words->empty())
        return ul_errorfail(ul_format(u"Syntax error in l.%d '%s'", lineNo, file.c_str()));
    return 0;
}

int AuxOptimizeImport::readIgnTransports(const char16_t* rest, int lineNo) {
    std::vector<std::u16string> patterns;
    if (readWords(rest, lineNo, o_.ignoreList, &patterns) < 0) return UL_ERROR_RETURN(-1);
    for (const std::u16string& pattern : patterns) {
        bool matched = false;
        for (Transport& t : transports_) {
            if (ul_stringwildcmp(pattern.c_str(), t.name.c_str(), UL_WILD_FULL) == 0) continue;
            matched = true;
            if (t.flags & kTransIgnored) continue;
            t.flags |= kTransIgnored;
            if (say(u' ', ul_format(u"Ignore transport '%s' for optimization.", t.name.c_str())) <
                0)
                return UL_ERROR_RETURN(-1);
        }
        if (!matched &&
            say(u'W', ul_format(u"Ignore pattern '%s' for transports did not match any of them.",
                                pattern.c_str())) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int AuxOptimizeImport::readDupTransports(const char16_t* rest, int lineNo) {
    std::vector<std::u16string> names;
    if (readWords(rest, lineNo, o_.ignoreList, &names) < 0) return UL_ERROR_RETURN(-1);
    if (names.size() > kMaxDupTransports)
        return ul_errorfail(
            ul_format(u"Too many transports, limit %d", static_cast<int>(kMaxDupTransports)));
    const int line = static_cast<int>(dupLines_.size());
    dupLines_.emplace_back();
    for (const std::u16string& name : names) {
        auto it = byName_.find(name);
        if (it == byName_.end()) continue;
        transports_[it->second].dupLines.push_back(line);
        dupLines_.back().push_back(it->second);
    }
    return 0;
}

// Whether an "igndups:" line lists both requests; for one request, a line that lists it alone.
bool AuxOptimizeImport::listedTogether(const Transport& a, const Transport& b) const {
    for (int line : a.dupLines) {
        const std::vector<size_t>& members = dupLines_[static_cast<size_t>(line)];
        if (&a == &b) {
            if (members.size() == 1) return true;
            continue;
        }
        for (size_t m : members)
            if (&transports_[m] == &b) return true;
    }
    return false;
}

int AuxOptimizeImport::readObjectLists() {
    if (say(u' ', u"Read object lists from DB.") < 0) return UL_ERROR_RETURN(-1);
    state_ = State::Object;
    for (size_t i = 0; i < transports_.size(); ++i) {
        if (transports_[i].flags & kTransIgnored) continue;
        if (readTransportObjects(i) < 0) return UL_ERROR_RETURN(-1);
    }
    return say(u' ', ul_format(u"Read in total %ld/%ld transport objects from %d/%d transports.",
                               totalOptimizable_, totalRead_, transportsRead_,
                               static_cast<int>(transports_.size())));
}

int AuxOptimizeImport::readTransportObjects(size_t request) {
    current_ = request;
    Transport& t = transports_[request];
    if (selObjects_.bindParamS(0, t.name.c_str()) < 0 || selObjects_.execute(this, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    ++transportsRead_;
    totalRead_ += t.nread;
    totalOptimizable_ += t.noptimizable;
    return say(u' ', ul_format(u"Found %6d/%6d optimizable objects in transport \"%s\".",
                               static_cast<int>(t.noptimizable), static_cast<int>(t.nread),
                               t.name.c_str()));
}

int AuxOptimizeImport::handleObject(const char16_t** values, unsigned ncols) {
    if (ncols < 6) return ul_errorfail(u"Object list query returned too few columns");
    Transport& t = transports_[current_];
    ++t.nread;
    const char16_t* pos = values[0] ? values[0] : u"";
    const int digits = static_cast<int>(ul_strlen(pos));
    if (as4posDigits_ < 0) as4posDigits_ = digits;
    if (digits != as4posDigits_)
        return ul_errorfail(ul_format(u"Incompatible length for AS4POS: have %d != %lu",
                                      as4posDigits_, static_cast<unsigned long>(digits)));
    const int type = objectType(values[1], values[2]);
    if (type < 0) return 0;
    long position = 0;
    if (ul_stringtolong(pos, &position) < 0 || position < 0 || position > 0xFFFFFFFFL)
        return ul_errorfail(ul_format(u"Invalid AS4POS '%s' in transport '%s'", pos,
                                      t.name.c_str()));
    optimimpobj_t obj;
    obj.type = static_cast<unsigned>(type);
    obj.request = current_;
    obj.pos = static_cast<unsigned long>(position);
    obj.name = values[3] ? values[3] : u"";
    while (!obj.name.empty() && obj.name.back() == u' ') obj.name.pop_back();
    if (obj.name.size() > kMaxObjectName)
        return ul_errorfail(ul_format(u"Object name '%s' in transport '%s' longer than %d characters",
                                      obj.name.c_str(), t.name.c_str(),
                                      static_cast<int>(kMaxObjectName)));
    if (values[4] && values[4][0] == u'D') obj.flags |= kObjDeleted;
    unsigned length = 0;
    if (packObject(obj, &length) < 0 || sorter_.put(record_.data(), length) < 0)
        return UL_ERROR_RETURN(-1);
    ++t.noptimizable;
    return 0;
}

// Record: type (1 byte), name (inline: its length and big-endian UTF-16 code units, padded to
// the maximum in fixed records; or the address of its string pool copy), request number,
// position, flags (1 byte).
int AuxOptimizeImport::packObject(const optimimpobj_t& obj, unsigned* length) {
    record_.resize(2 + 3 * 5 + sizeof(void*) + 2 * kMaxObjectName);
    unsigned char* out = record_.data();
    unsigned char* p = out;
    *p++ = static_cast<unsigned char>(obj.type);
    if (o_.stringpool) {
        const char16_t* pooled = pool_.dupString(obj.name.c_str(), UL_STRPOOL_DEDUP);
        if (!pooled) return UL_ERROR_RETURN(-1);
        std::memcpy(p, &pooled, sizeof pooled);
        p += sizeof pooled;
    } else {
        *p++ = static_cast<unsigned char>(obj.name.size());
        for (char16_t c : obj.name) {
            *p++ = static_cast<unsigned char>(c >> 8);
            *p++ = static_cast<unsigned char>(c);
        }
        if (!variable_) {
            const size_t pad = 2 * (kMaxObjectName - obj.name.size());
            std::memset(p, 0, pad);
            p += pad;
        }
    }
    p += ul_packuint(p, obj.request, o_.fixedint);
    p += ul_packuint(p, obj.pos, o_.fixedint);
    *p++ = static_cast<unsigned char>(obj.flags);
    *length = static_cast<unsigned>(p - out);
    return 0;
}

// The parts of a packed record that the order looks at.
struct PackedKey {
    unsigned type;
    const unsigned char* nameBytes;  // inline name, big-endian UTF-16
    size_t nameUnits;
    const char16_t* pooled;  // pooled name instead
    unsigned long request;
    const unsigned char* rest;  // behind the request number
};

int parseKey(const unsigned char* rec, unsigned length, bool pool, bool variable, bool fixedint,
             PackedKey* key) {
    const unsigned char* p = rec;
    const unsigned char* end = rec + length;
    if (p == end) return -1;
    key->type = *p++;
    key->pooled = nullptr;
    key->nameBytes = nullptr;
    key->nameUnits = 0;
    if (pool) {
        if (end - p < static_cast<long>(sizeof(char16_t*))) return -1;
        std::memcpy(&key->pooled, p, sizeof(char16_t*));
        p += sizeof(char16_t*);
    } else {
        if (p == end) return -1;
        key->nameUnits = *p++;
        const size_t bytes = variable ? 2 * key->nameUnits : 2 * kMaxObjectName;
        if (key->nameUnits > kMaxObjectName || static_cast<size_t>(end - p) < bytes) return -1;
        key->nameBytes = p;
        p += bytes;
    }
    if (ul_unpackuint(&p, end, fixedint, &key->request) < 0) return -1;
    key->rest = p;
    return 0;
}

int compareNames(const PackedKey& a, const PackedKey& b) {
    if (a.pooled) return a.pooled == b.pooled ? 0 : ul_strcmp(a.pooled, b.pooled);
    const int c = std::memcmp(a.nameBytes, b.nameBytes, 2 * std::min(a.nameUnits, b.nameUnits));
    if (c) return c;
    return a.nameUnits < b.nameUnits ? -1 : a.nameUnits > b.nameUnits;
}

// Type descending, name descending, request descending: the latest request of an object first.
int AuxOptimizeImport::compare(const void* a, uint32_t alen, const void* b, uint32_t blen) {
    PackedKey ka, kb;
    if (parseKey(static_cast<const unsigned char*>(a), alen, o_.stringpool, variable_, o_.fixedint,
                 &ka) < 0 ||
        parseKey(static_cast<const unsigned char*>(b), blen, o_.stringpool, variable_, o_.fixedint,
                 &kb) < 0)
        return 0;  // cannot happen: every record was packed by packObject
    if (ka.type != kb.type) return ka.type < kb.type ? 1 : -1;
    const int names = compareNames(ka, kb);
    if (names) return -names;
    if (ka.request != kb.request) return ka.request < kb.request ? 1 : -1;
    return 0;
}

int AuxOptimizeImport::unpackObject(const unsigned char* rec, unsigned length,
                                    optimimpobj_t* obj) const {
    PackedKey key;
    const unsigned char* end = rec + length;
    if (parseKey(rec, length, o_.stringpool, variable_, o_.fixedint, &key) < 0 ||
        key.type >= static_cast<unsigned>(kTypeCount))
        return ul_errorfail(u"Corrupt object record read back from the sorter");
    obj->type = key.type;
    obj->request = key.request;
    if (key.pooled) {
        obj->name = key.pooled;
    } else {
        obj->name.resize(key.nameUnits);
        for (size_t i = 0; i < key.nameUnits; ++i)
            obj->name[i] = static_cast<char16_t>((key.nameBytes[2 * i] << 8) |
                                                 key.nameBytes[2 * i + 1]);
    }
    const unsigned char* p = key.rest;
    if (ul_unpackuint(&p, end, o_.fixedint, &obj->pos) < 0 || p == end ||
        obj->request >= transports_.size())
        return ul_errorfail(u"Corrupt object record read back from the sorter");
    obj->flags = *p;
    return 0;
}

// The next obsolete entry of the sorted stream: 1 with obj set, 0 at the end, -1 on a conflict
// that fails the run or an error.
int AuxOptimizeImport::getNextObsoleteObject(optimimpobj_t* obj) {
    if (!walkStarted_) {
        walkStarted_ = true;
        if (sorter_.finish() < 0) return UL_ERROR_RETURN(-1);
    }
    for (;;) {
        const unsigned char* rec = nullptr;
        unsigned length = 0;
        const int rc = sorter_.next(&rec, &length);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) return 0;
        if (unpackObject(rec, length, &entry_) < 0) return UL_ERROR_RETURN(-1);
        const bool same = haveLast_ && entry_.type == keeper_.type && entry_.name == keeper_.name;
        const unsigned long previous = last_.request;
        last_ = entry_;
        haveLast_ = true;
        if (!same) {
            UL_TRACE(UL_TRC_SQLOPTIMPORT, 3, u"Start object in transport '%s' kept.\n",
                     transports_[entry_.request].name.c_str());
            keeper_ = entry_;
            continue;
        }
        // The keeper is the latest entry of the object within the group being walked.
        const Transport& later = transports_[keeper_.request];
        const Transport& earlier = transports_[entry_.request];
        if (entry_.request == previous) {
            if (conflict(entry_, entry_) < 0) return UL_ERROR_RETURN(-1);
            continue;
        }
        if (later.group != earlier.group) {
            if (conflict(keeper_, entry_) < 0) return UL_ERROR_RETURN(-1);
            keeper_ = entry_;
            continue;
        }
        if (listedTogether(later, earlier)) continue;
        *obj = entry_;
        return 1;
    }
}

// Reports two entries of one object that must not be optimised against each other; -1 when
// the conflict fails the run.
int AuxOptimizeImport::conflict(const optimimpobj_t& later, const optimimpobj_t& earlier) {
    const Transport& tl = transports_[later.request];
    const Transport& te = transports_[earlier.request];
    const ul_e071objecttype_t& type = E071ObjectTypes[later.type];
    std::u16string text;
    bool warning;
    if (later.request == earlier.request) {
        text = ul_format(u"Duplicate object %s %s '%s' in transport '%s'.", type.pgmid, type.object,
                         later.name.c_str(), tl.name.c_str());
        warning = (tl.flags & kTransUserKT) || listedTogether(tl, tl);
    } else {
        const bool deletedL = later.flags & kObjDeleted, deletedE = earlier.flags & kObjDeleted;
        if (deletedL == deletedE)
            text = ul_format(u"Object %s %s '%s' appears in transports '%s' and '%s' between "
                             u"syncmarks.",
                             type.pgmid, type.object, later.name.c_str(), te.name.c_str(),
                             tl.name.c_str());
        else
            text = ul_format(u"Object %s %s '%s' in transports '%s' and '%s' between syncmarks "
                             u"%s and %s.",
                             type.pgmid, type.object, later.name.c_str(), te.name.c_str(),
                             tl.name.c_str(), deletedE ? u"deleted" : u"created",
                             deletedL ? u"deleted" : u"created");
        warning = ((tl.flags & kTransTypeL) && (te.flags & kTransTypeL)) ||
                  listedTogether(tl, te);
    }
    if (!warning) return ul_errorfail(text);
    return say(u'W', text);
}

int AuxOptimizeImport::findObsoleteObjects() {
    if (say(u' ', o_.maxmemory ? u"Sorting transports externally to identify identical objects."
                               : u"Sorting transports in memory to identify identical objects.") <
            0 ||
        say(u' ', ul_format(u"%s obsolete objects (LOCKFLAG '%c').",
                            mark_ == u' ' ? u"Showing" : u"Marking", mark_)) < 0)
        return UL_ERROR_RETURN(-1);
    if (o_.show || o_.singleinsert) {
        optimimpobj_t obj;
        for (;;) {
            const int rc = getNextObsoleteObject(&obj);
            if (rc < 0) return UL_ERROR_RETURN(-1);
            if (rc == 0) break;
            ++obsolete_;
            ++transports_[obj.request].nobsolete;
            if (o_.show) {
                const ul_e071objecttype_t& type = E071ObjectTypes[obj.type];
                if (say(u' ', ul_format(u"Obsolete entry: %-20s %s %s '%s'",
                                        transports_[obj.request].name.c_str(), type.pgmid,
                                        type.object, obj.name.c_str())) < 0)
                    return UL_ERROR_RETURN(-1);
            } else if (markSingle(obj) < 0) {
                return UL_ERROR_RETURN(-1);
            }
        }
    } else {
        state_ = State::Params;
        if (update_.execute(this, nullptr, 0) < 0) return UL_ERROR_RETURN(-1);
    }
    if (obsolete_ == 0 && say(u' ', u"Nothing to optimize found!") < 0) return UL_ERROR_RETURN(-1);
    return ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// Supplies the parameter rows of the array update, one obsolete entry each.
int AuxOptimizeImport::handleParams(const char16_t** values) {
    optimimpobj_t obj;
    const int rc = getNextObsoleteObject(&obj);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == 0) return UL_PARAMS_END;
    ++obsolete_;
    ++transports_[obj.request].nobsolete;
    paramName_ = transports_[obj.request].name;
    paramPos_ = position(obj.pos);
    values[0] = paramName_.c_str();
    values[1] = paramPos_.c_str();
    return commitDue() ? UL_PARAMS_COMMIT : 0;
}

int AuxOptimizeImport::markSingle(const optimimpobj_t& obj) {
    const std::u16string pos = position(obj.pos);
    if (update_.bindParamS(0, transports_[obj.request].name.c_str()) < 0 ||
        update_.bindParamS(1, pos.c_str()) < 0 || update_.execute(nullptr, nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    if (!commitDue()) return 0;
    return ul_sqlcommit2(nullptr, UL_COMMIT_QUIET) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int AuxOptimizeImport::printStat() {
    for (const Transport& t : transports_) {
        if (t.flags & kTransIgnored) continue;
        if (say(u' ', ul_format(u"%s in %-20s %6d/%6d obsolete transport objects.",
                                o_.show ? u"Found" : u"Marked", t.name.c_str(),
                                static_cast<int>(t.nobsolete), static_cast<int>(t.noptimizable))) <
            0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int AuxOptimizeImport::checkMarks() {
    for (const Transport& t : transports_) {
        if (t.nobsolete == 0) continue;
        std::u16string name, mark, where;
        if (literal(t.name, &name) < 0 || literal(std::u16string(1, mark_), &mark) < 0 ||
            ul_sqlquotenames(&where, u"{TRKORR} = %s AND {LOCKFLAG} = %s", {name, mark}) < 0)
            return UL_ERROR_RETURN(-1);
        ul_dbrowcount_t count = 0;
        if (ul_sqltablecountstar(e071_.c_str(), where.c_str(), nullptr, 0, &count, 0) < 0)
            return UL_ERROR_RETURN(-1);
        if (count < static_cast<ul_dbrowcount_t>(t.nobsolete))
            return ul_errorfail(ul_format(
                u"Found only %d entries for transport '%s' with lockflag = '%c', expected at "
                u"least %d",
                static_cast<int>(count), t.name.c_str(), mark_, static_cast<int>(t.nobsolete)));
    }
    return 0;
}

int usage() {
    ULTextFileWriter out;
    const std::u16string text =
        ul_format(u"Usage: optimizeimport [<options>] <bufferfile>\n  Available options:\n    "
                  u"shadow:            Read shadow tables.\n    show:              Only show "
                  u"actions.\n    check:             Verify at the end that modifications "
                  u"worked\n    autocommit=<n>:    Commit every <n> entries (default is %d).\n"
                  u"    ignorelist=<path>  File with ignore list for duplicate objects.\n",
                  static_cast<int>(kDefaultAutocommit)) +
        ul_maxmemoryusage(UL_SORT_DEFAULTMEMORY) +
        u"    features=<list>    Comma-separated: fixedint, singleinsert, stringpool, "
        u"memorysort.\n    lockflag=<c>       Mark character (default is '2').\n";
    if (out.attach(stdout, u"stdout") < 0 || out.write(text.c_str()) < 0 || out.flush() < 0)
        return UL_ERROR_RETURN(-1);
    return UL_EXIT_USAGE;
}

int parseFeatures(const char16_t* list, Options* o) {
    std::u16string words = list;
    size_t start = 0;
    while (start <= words.size()) {
        size_t end = words.find(u',', start);
        if (end == std::u16string::npos) end = words.size();
        const std::u16string word = words.substr(start, end - start);
        if (ul_stricmp(word.c_str(), u"fixedint") == 0)
            o->fixedint = true;
        else if (ul_stricmp(word.c_str(), u"singleinsert") == 0)
            o->singleinsert = true;
        else if (ul_stricmp(word.c_str(), u"stringpool") == 0)
            o->stringpool = true;
        else if (ul_stricmp(word.c_str(), u"memorysort") == 0)
            o->maxmemory = 0;
        else
            return ul_errorfail(ul_format(u"Unknown feature '%s'", word.c_str()));
        start = end + 1;
    }
    return 0;
}

// Returns 0, 1 when the usage is to be shown, or -1.
int parseOptions(unsigned argc, const char16_t** argv, Options* o) {
    bool memorysort = false;
    for (unsigned i = 1; i < argc; ++i) {
        const char16_t* arg = argv[i];
        const char16_t* value;
        if (ul_stricmp(arg, u"shadow") == 0) {
            o->shadow = true;
        } else if (ul_stricmp(arg, u"show") == 0) {
            o->show = true;
        } else if (ul_stricmp(arg, u"check") == 0) {
            o->check = true;
        } else if ((value = ul_stringstarticmp(arg, u"autocommit="))) {
            if (ul_stringtocount(value, &o->autocommit) < 0) return UL_ERROR_RETURN(-1);
            if (o->autocommit < 1) o->autocommit = 1;
        } else if ((value = ul_stringstarticmp(arg, u"ignorelist="))) {
            o->ignoreList = value;
        } else if ((value = ul_stringstarticmp(arg, u"maxmemory="))) {
            if (ul_parsemaxmemory(value, &o->maxmemory) < 0) return UL_ERROR_RETURN(-1);
        } else if ((value = ul_stringstarticmp(arg, u"features="))) {
            if (parseFeatures(value, o) < 0) return UL_ERROR_RETURN(-1);
            memorysort = memorysort || o->maxmemory == 0;
        } else if ((value = ul_stringstarticmp(arg, u"lockflag="))) {
            if (!value[0]) return ul_errorfail(u"Invalid lockflag ''");
            o->lockflag = value[0];
        } else if (o->buffer.empty() && !ul_strchr(arg, u'=')) {
            o->buffer = arg;
        } else {
            return ul_errorfail(ul_format(u"Unknown option '%s'", arg));
        }
    }
    if (memorysort) o->maxmemory = 0;
    return o->buffer.empty() ? 1 : 0;
}

}  // namespace

int cmd_OPTIMIZEIMPORT(unsigned int argc, const char16_t** argv) {
    Options o;
    const int rc = parseOptions(argc, argv, &o);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc > 0) return usage();
    AuxOptimizeImport aux(o);
    return aux.run() < 0 ? UL_ERROR_RETURN(-1) : 0;
}

#include "ulmsgwrite.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "ulerror.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultime.h"
#include "ultrace.h"

const ul_msgproto_t UL_TQMessages[] = {
    {u'E', 0, 0, u"=================================================="},
    {u'E', 0, 3, u"exit code: \"%d\""},
    {u'E', 0, 8, u"Error message: %s"},
    {u'E', 0, 9, u"%s"},
    {u'E', 0, 10, u"%s %s %s %s"},
    {u'E', 0, 387, u"ECHO %s"},
    {u'E', 0, 393, u"START %s"},
    {u'E', 0, 394, u"%s"},
    {u'E', 0, 395, u"END %s"},
    {u'E', 0, 397, u"PRAGMA: %s"},
    {u'E', 0, 398, u"SQL: %s"},
    {u'E', 0, 399, u"%s"},
    {u'E', 0, 400, u"Rows affected: %d"},
    {u'E', 0, 402, u"Statement group %d executed in %s"},
    {u'E', 0, 550, u"Average latency: %.1f +/- %.1f ms"},
    {u'E', 0, 740, u"View %s could not be created in the database"},
    {0, 0, 0, nullptr},
};

namespace {

constexpr size_t kMaxClassName = 20;
constexpr size_t kMaxMessage = 65531;
constexpr size_t kMaxPrintf = 16384;

struct MessageClass {
    std::u16string name;
    std::vector<ul_msgproto_t> records;  // sorted by number
};

struct WriterState {
    std::vector<MessageClass> classes;
    int outputFlags = UL_MSGOUT_DIRECT;
    int messageFlags = 0;
    FILE* stream = nullptr;
    std::vector<std::string> bufferedLines;  // UTF-8, each with its line feed
    char16_t language = u'E';
    std::u16string className = u"TQ";
    time_t lastPrintedSecond = -1;
    bool forceTime = false;
};

WriterState& state() {
    static WriterState writer;
    return writer;
}

MessageClass* findClass(const std::u16string& name) {
    for (MessageClass& c : state().classes)
        if (c.name == name) return &c;
    return nullptr;
}

const ul_msgproto_t* findRecord(const MessageClass& c, unsigned number, char16_t language) {
    auto first = std::lower_bound(
        c.records.begin(), c.records.end(), number,
        [](const ul_msgproto_t& r, unsigned n) { return r.number < n; });
    for (auto it = first; it != c.records.end() && it->number == number; ++it)
        if (it->language == language) return &*it;
    return nullptr;
}

int writeLine(const std::string& line) {
    WriterState& w = state();
    if (w.outputFlags & UL_MSGOUT_DIRECT) {
        if (fwrite(line.data(), 1, line.size(), w.stream) != line.size() || fflush(w.stream) != 0) {
            ul_errorsetmsg(0, u"Error writing log line");
            return UL_ERROR_RETURN(-1);
        }
    }
    if (w.outputFlags & UL_MSGOUT_BUFFERED) w.bufferedLines.push_back(line);
    return 0;
}

// A message that cannot be written either ends the process (the dispatcher asks for that,
// so that the controller never reads a log with a silently missing line) or is traced.
int failMessage(unsigned number) {
    if (state().messageFlags & UL_MSGFLAG_EXIT_ON_FAILURE) {
        fprintf(stderr, "Cannot write message #%u: %s - exiting!\n", number,
                ul_utf16to8(ul_errorgetmsg()).c_str());
        fflush(stderr);
        exit(10);
    }
    ul_tracefmt0(UL_TRC_MSG, 0, u"" __FILE__, __LINE__, u"Warning: Cannot print message #%d: %s!\n",
                 static_cast<int>(number), ul_errorgetmsg());
    return UL_ERROR_RETURN(-1);
}

// Writes text (already formatted) as message lines, one per line-feed-separated piece.
int writeMessageText(unsigned level, char16_t severity, unsigned number, unsigned continuation,
                     std::u16string text) {
    WriterState& w = state();
    while (!text.empty() && ul_isspace(text.back())) text.pop_back();
    char16_t prefix[64];
    ul_sprintf(prefix, 64, u"%d%c%c%s%3.3d%c", static_cast<int>(level), severity, w.language,
               w.className.c_str(), static_cast<int>(number), continuation ? u'X' : u' ');
    size_t start = 0;
    for (;;) {
        size_t end = text.find(u'\n', start);
        size_t pieceEnd = end == std::u16string::npos ? text.size() : end;
        std::string line = ul_utf16to8(prefix);
        ul_utf16to8append(line, text.data() + start, pieceEnd - start);
        line.push_back('\n');
        if (writeLine(line) < 0) return failMessage(number);
        if (end == std::u16string::npos) return 1;
        start = end + 1;
    }
}

int vprintMessage(unsigned level, char16_t severity, unsigned number, unsigned continuation,
                  va_list args) {
    WriterState& w = state();
    if (!w.stream) return 0;
    if (number == ~0u) number = UL_MSG_GENERIC;
    const MessageClass* c = findClass(w.className);
    const ul_msgproto_t* record = c ? findRecord(*c, number, w.language) : nullptr;
    if (!record) {
        ul_errorsetmsgfmt(0, u"No message class '%s' id %d", w.className.c_str(),
                          static_cast<int>(number));
        return failMessage(number);
    }
    std::u16string text = ul_vformat(record->text, args);
    if (text.size() > kMaxMessage) text.resize(kMaxMessage);
    return writeMessageText(level, severity, number, continuation, std::move(text));
}

int printMessage(unsigned level, char16_t severity, unsigned number, unsigned continuation, ...) {
    va_list args;
    va_start(args, continuation);
    int rc = vprintMessage(level, severity, number, continuation, args);
    va_end(args);
    return rc;
}

int flushBuffered() {
    WriterState& w = state();
    std::vector<std::string> lines;
    lines.swap(w.bufferedLines);
    if (!w.stream) return 0;
    for (const std::string& line : lines) {
        if (fwrite(line.data(), 1, line.size(), w.stream) != line.size()) {
            ul_errorsetmsg(0, u"Error writing log line");
            return UL_ERROR_RETURN(-1);
        }
    }
    if (fflush(w.stream) != 0) {
        ul_errorsetmsg(0, u"Error writing log line");
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

}  // namespace

int ul_msgwrite_register(const char16_t* className, const ul_msgproto_t* records) {
    if (!records || !records[0].language) return 0;
    return ul_guarded([&]() -> int {
        WriterState& w = state();
        std::u16string name(className ? className : u"");
        MessageClass* c = findClass(name);
        if (!c) {
            if (w.classes.size() == w.classes.capacity()) w.classes.reserve(w.classes.size() + 10);
            w.classes.push_back(MessageClass{name, {}});
            c = &w.classes.back();
        }
        std::vector<ul_msgproto_t> merged = c->records;
        for (const ul_msgproto_t* r = records; r->language; ++r) merged.push_back(*r);
        std::stable_sort(merged.begin(), merged.end(),
                         [](const ul_msgproto_t& a, const ul_msgproto_t& b) {
                             return a.number < b.number;
                         });
        for (size_t i = 1; i < merged.size(); ++i) {
            if (merged[i].number == merged[i - 1].number &&
                merged[i].language == merged[i - 1].language) {
                ul_errorsetmsgfmt(0, u"Duplicate id %d in message class '%s'",
                                  static_cast<int>(merged[i].number), name.c_str());
                return UL_ERROR_RETURN(-1);
            }
        }
        c->records.swap(merged);
        return 0;
    });
}

void ul_msgwrite_setfp(FILE* stream) { state().stream = stream; }
FILE* ul_msgwrite_getfp() { return state().stream; }

int ul_msgwrite_setflags(int flags) {
    WriterState& w = state();
    if (flags >= 0)
        w.messageFlags |= flags;
    else
        w.messageFlags &= flags;  // a negative value is the complement of the bits to clear
    return w.messageFlags;
}

int ul_msgwrite_setclass(const char16_t* className) {
    if (ul_strlen(className) > kMaxClassName) {
        ul_errorsetmsgfmt(0, u"Message class name '%s' too long", className);
        return UL_ERROR_RETURN(-1);
    }
    state().className = className;
    return 0;
}

int ul_msgwrite_print(unsigned level, char16_t severity, unsigned number, unsigned continuation,
                      ...) {
    va_list args;
    va_start(args, continuation);
    int rc = vprintMessage(level, severity, number, continuation, args);
    va_end(args);
    return rc;
}

int ul_msgwrite_line399(unsigned level, char16_t severity, const std::u16string& text) {
    return ul_msgwrite_printf399(level, severity, u"%s", text.c_str()) < 0 ? UL_ERROR_RETURN(-1)
                                                                           : 0;
}

int ul_msgwrite_printf399(unsigned level, char16_t severity, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string text = ul_vformat(format, args);
    va_end(args);
    if (text.size() > kMaxPrintf) text.resize(kMaxPrintf);
    size_t start = 0;
    for (;;) {
        size_t end = text.find(u'\n', start);
        std::u16string piece = text.substr(start, end == std::u16string::npos ? end : end - start);
        if (printMessage(level, severity, UL_MSG_GENERIC, 0, piece.c_str()) < 0)
            return UL_ERROR_RETURN(-1);
        if (end == std::u16string::npos) return 0;
        start = end + 1;
    }
}

namespace {

// Finds the end of the piece that starts at text[start]. Returns the end index and sets
// *next to where the following piece starts (a break character is dropped).
size_t nextPieceEnd(const std::u16string& text, size_t start, unsigned width, bool breakInQuotes,
                    bool* inSingle, bool* inDouble, size_t* next) {
    size_t candidate = std::u16string::npos;
    bool candSingle = false, candDouble = false;
    size_t scanned = 0;
    for (size_t pos = start; pos < text.size(); ++pos) {
        char16_t c = text[pos];
        if (c == u'\'' && !*inDouble) *inSingle = !*inSingle;
        if (c == u'"' && !*inSingle) *inDouble = !*inDouble;
        if (ul_isspace(c) && (breakInQuotes || (!*inSingle && !*inDouble))) {
            candidate = pos;
            candSingle = *inSingle;
            candDouble = *inDouble;
        }
        if (c == u'\n' && candidate == std::u16string::npos) {
            candidate = pos;
            candSingle = *inSingle;
            candDouble = *inDouble;
        }
        ++scanned;
        bool full = candidate != std::u16string::npos ? scanned >= width : scanned >= 2 * width;
        if (c == u'\n' || full) {
            if (candidate == std::u16string::npos) {  // cut inside a word
                *next = pos + 1;
                return pos + 1;
            }
            *inSingle = candSingle;
            *inDouble = candDouble;
            *next = candidate + 1;
            return candidate;
        }
    }
    *next = text.size();
    return text.size();
}

}  // namespace

int ul_msgwrite_splitlong(unsigned level, char16_t severity, unsigned firstNumber,
                          unsigned continuationNumber, const char16_t* text, unsigned width,
                          int flags) {
    std::u16string all(text ? text : u"");
    if (width == 0) width = 1;
    bool inSingle = false, inDouble = false;
    bool first = true;
    size_t start = 0;
    while (start < all.size()) {
        size_t next;
        size_t end = nextPieceEnd(all, start, width, flags & 1, &inSingle, &inDouble, &next);
        std::u16string piece = all.substr(start, end - start);
        int rc = first ? printMessage(level, severity, firstNumber, 0, piece.c_str())
                       : printMessage(level, severity, continuationNumber, 1, piece.c_str());
        if (rc < 0) return UL_ERROR_RETURN(-1);
        first = false;
        start = next;
    }
    return 0;
}

int ul_msgwrite_timeprint(int flags) {
    WriterState& w = state();
    unsigned milliseconds = 0;
    time_t now = ul_getfulltime(&milliseconds, 0);
    if (!(flags & 1) && !w.forceTime && now == w.lastPrintedSecond) return 0;
    char16_t stamp[40];
    if (ul_timegetstamp(stamp, 40, now, UL_STAMP_DIGITS) < 0) return UL_ERROR_RETURN(-1);
    if (flags & 2) {
        size_t n = ul_strlen(stamp);
        ul_sprintf(stamp + n, 40 - n, u".%03d", static_cast<int>(milliseconds));
    }
    w.lastPrintedSecond = now;
    if (printMessage(4, u' ', UL_MSG_TIME, 0, u"Date & Time:", stamp, u"", u"") < 0)
        return UL_ERROR_RETURN(-1);
    return 1;
}

int ul_msgwrite_outputcntrl(unsigned mode) {
    WriterState& w = state();
    switch (mode) {
        case UL_MSGCTL_FLUSH:
            w.outputFlags = UL_MSGOUT_DIRECT;
            return flushBuffered();
        case UL_MSGCTL_DISCARD:
            w.bufferedLines.clear();
            w.outputFlags = UL_MSGOUT_DIRECT;
            return 0;
        case UL_MSGCTL_SILENT: w.outputFlags = 0; return 0;
        case UL_MSGCTL_BUFFER: w.outputFlags = UL_MSGOUT_BUFFERED; return 0;
        case UL_MSGCTL_FORCETIME: w.forceTime = true; return 0;
        default: return 0;
    }
}

void ul_msgwrite_reset() { state() = WriterState(); }

#include "ulauxfcts.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "ulerror.h"
#include "ulstring.h"
#include "ultrace.h"

// ==== String pool ===========================================================================

namespace {

bool inRange(const void* p, const char16_t* begin, const char16_t* end) {
    auto address = reinterpret_cast<uintptr_t>(p);
    return address >= reinterpret_cast<uintptr_t>(begin) &&
           address < reinterpret_cast<uintptr_t>(end);
}

}  // namespace

char16_t* ul_strpool_t::allocString(size_t n) {
    for (ul_strpoolblock_t* block = blocks; block; block = block->next) {
        if (n <= block->capacity - block->used) {
            char16_t* text = block->text() + block->used;
            block->used += static_cast<uint32_t>(n);
            return text;
        }
    }
    size_t capacity = n > blockSize ? n : blockSize;
    if (capacity > UINT32_MAX) {
        ul_erroroutofmemory();
        return UL_ERROR_RETURN(nullptr);
    }
    auto* block = static_cast<ul_strpoolblock_t*>(
        ul_malloc(sizeof(ul_strpoolblock_t) + capacity * sizeof(char16_t)));
    if (!block) return UL_ERROR_RETURN(nullptr);
    block->next = blocks;
    block->used = static_cast<uint32_t>(n);
    block->capacity = static_cast<uint32_t>(capacity);
    blocks = block;
    return block->text();
}

char16_t* ul_strpool_t::dupString(const char16_t* string, int flags) {
    if (!string) return nullptr;
    size_t units = ul_strlen(string) + 1;
    if (!(flags & UL_STRPOOL_DEDUP)) {
        char16_t* copy = allocString(units);
        if (!copy) return UL_ERROR_RETURN(nullptr);
        memcpy(copy, string, units * sizeof(char16_t));
        return copy;
    }
    int isNew = 0;
    auto** slot = static_cast<char16_t**>(hash.set(string, nullptr, sizeof(char16_t*), &isNew));
    if (!slot) return UL_ERROR_RETURN(nullptr);
    if (!isNew) return *slot;
    char16_t* copy = allocString(units);
    if (!copy) {
        hash.del(string);
        return UL_ERROR_RETURN(nullptr);
    }
    memcpy(copy, string, units * sizeof(char16_t));
    *slot = copy;
    return copy;
}

char16_t* ul_strpool_t::dupString(std::u16string_view text) {
    char16_t* copy = allocString(text.size() + 1);
    if (!copy) return UL_ERROR_RETURN(nullptr);
    std::copy(text.begin(), text.end(), copy);
    copy[text.size()] = 0;
    return copy;
}

void ul_strpool_t::clear() {
    for (ul_strpoolblock_t* block = blocks; block; block = block->next) block->used = 0;
    hash.clearHash();
}

long ul_strpool_t::getSize() const {
    long size = hash.getSize();
    for (const ul_strpoolblock_t* block = blocks; block; block = block->next)
        size += 2 * static_cast<long>(block->capacity) + 22;
    return size;
}

ul_strpoolpos_t ul_strpool_t::savePosition() const {
    return ul_strpoolpos_t{blocks, blocks ? blocks->used : 0};
}

void ul_strpool_t::forgetStringsAfter(const ul_strpoolpos_t& position) {
    ul_hashlistiter_t iterator(&hash);
    const char16_t* key;
    void* value;
    while (ul_hashlistiternext(&iterator, &key, &value)) {
        const char16_t* copy = *static_cast<char16_t**>(value);
        bool recycled = false;
        for (ul_strpoolblock_t* block = blocks; block && !recycled; block = block->next) {
            uint32_t from = block == position.block ? position.used : 0;
            recycled = inRange(copy, block->text() + from, block->text() + block->capacity);
            if (block == position.block) break;
        }
        if (recycled) hash.del(key);
    }
}

void ul_strpool_t::restorePosition(const ul_strpoolpos_t& position) {
    if (!hash.isEmpty()) forgetStringsAfter(position);
    for (ul_strpoolblock_t* block = blocks; block; block = block->next) {
        if (block == position.block) {
            block->used = position.used;
            break;
        }
        block->used = 0;
    }
}

void ul_strpool_t::destroy() {
    while (blocks) {
        ul_strpoolblock_t* next = blocks->next;
        free(blocks);
        blocks = next;
    }
    hash.freeHash();
    hash.initHash();
}

// ==== Process: signals, identity and liveness ===============================================

namespace {

enum class SignalAction { Interrupt, RaiseTrace, Ignore, Fatal };

struct SignalEntry {
    int number;
    const char* name;
    SignalAction action;
};

constexpr SignalEntry kSignalTable[] = {
    {SIGINT, "SIGINT", SignalAction::Interrupt}, {SIGUSR1, "SIGUSR1", SignalAction::RaiseTrace},
    {SIGUSR2, "SIGUSR2", SignalAction::Ignore},  {SIGQUIT, "SIGQUIT", SignalAction::Fatal},
    {SIGILL, "SIGILL", SignalAction::Fatal},     {SIGFPE, "SIGFPE", SignalAction::Fatal},
    {SIGSYS, "SIGSYS", SignalAction::Fatal},     {SIGABRT, "SIGABRT", SignalAction::Fatal},
    {SIGSEGV, "SIGSEGV", SignalAction::Fatal},   {SIGBUS, "SIGBUS", SignalAction::Fatal},
};
constexpr size_t kSignalCount = sizeof kSignalTable / sizeof *kSignalTable;

struct sigaction g_previousActions[kSignalCount];
bool g_signalsInstalled = false;

void onInterrupt(int) {
    _exit(UL_EXIT_INTERRUPTED);
}

// Only adds to the integers of the level table: no allocation, no locks, no stdio.
void onRaiseTrace(int) {
    ul_tracedynlevelinc(1);
}

// Async-signal-safe: the line is assembled on the stack and written with write(2).
void appendText(char* buffer, size_t size, size_t* length, const char* text) {
    while (*text && *length + 1 < size) buffer[(*length)++] = *text++;
}

void onFatalSignal(int number) {
    const char* name = "?";
    for (const SignalEntry& entry : kSignalTable)
        if (entry.number == number) name = entry.name;
    char digits[16];
    size_t count = 0;
    unsigned value = static_cast<unsigned>(number);
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value && count < sizeof digits);
    char reversed[sizeof digits + 1];
    for (size_t i = 0; i < count; ++i) reversed[i] = digits[count - 1 - i];
    reversed[count] = 0;

    char line[192];
    size_t length = 0;
    appendText(line, sizeof line, &length, "\n*** FATAL: Got signal '");
    appendText(line, sizeof line, &length, name);
    appendText(line, sizeof line, &length, "' (");
    appendText(line, sizeof line, &length, reversed);
    appendText(line, sizeof line, &length, ")! Please contact the Vex support!\n");
    ssize_t written = write(STDERR_FILENO, line, length);
    (void)written;
    // The disposition is back at the default by now (SA_RESETHAND). The signal stays blocked
    // until this handler returns and is then delivered again, so a raised or sent signal ends
    // the process just as a fault does when its instruction runs again.
    raise(number);
}

struct sigaction actionFor(SignalAction action) {
    struct sigaction result;
    memset(&result, 0, sizeof result);
    sigemptyset(&result.sa_mask);
    result.sa_flags = SA_RESTART;
    switch (action) {
        case SignalAction::Interrupt:
            result.sa_handler = onInterrupt;
            break;
        case SignalAction::RaiseTrace:
            result.sa_handler = onRaiseTrace;
            break;
        case SignalAction::Ignore:
            result.sa_handler = SIG_IGN;
            break;
        case SignalAction::Fatal:
            result.sa_handler = onFatalSignal;
            result.sa_flags |= SA_RESETHAND;
            break;
    }
    return result;
}

// Puts back the handlers saved for the first count table entries.
int restoreActions(size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (sigaction(kSignalTable[i].number, &g_previousActions[i], nullptr) != 0) {
            ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"sigaction failed for signal #%d",
                              kSignalTable[i].number);
            return UL_ERROR_RETURN(-1);
        }
    }
    return 0;
}

int installSignalHandlers() {
    if (g_signalsInstalled) return 0;
    for (size_t i = 0; i < kSignalCount; ++i) {
        struct sigaction action = actionFor(kSignalTable[i].action);
        if (sigaction(kSignalTable[i].number, &action, &g_previousActions[i]) != 0) {
            int saved = errno;
            restoreActions(i);
            errno = saved;
            ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"sigaction failed for signal #%d",
                              kSignalTable[i].number);
            return UL_ERROR_RETURN(-1);
        }
    }
    g_signalsInstalled = true;
    sigset_t empty;
    sigemptyset(&empty);
    if (sigprocmask(SIG_SETMASK, &empty, nullptr) != 0) {
        ul_errorsetmsg(UL_ERR_SYSTEM, u"Failed sigprocmask(SIG_SETMASK, {0}, NULL)");
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int restoreSignalHandlers() {
    if (!g_signalsInstalled) return 0;
    if (restoreActions(kSignalCount) < 0) return UL_ERROR_RETURN(-1);
    g_signalsInstalled = false;
    return 0;
}

// The whole content of a small file under /proc; false when it cannot be read.
bool readProcFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int ul_setsignalhandlers(int mode) {
    if (getenv("UL_NOSIGHANDLERS")) return 0;
    switch (mode) {
        case UL_SIGNALS_INSTALL:
            return installSignalHandlers();
        case UL_SIGNALS_RESTORE:
            return restoreSignalHandlers();
        default:
            ul_errorsetmsgfmt(0, u"Invalid signal handler mode %d", mode);
            return UL_ERROR_RETURN(-1);
    }
}

int ul_getownpid() {
    return static_cast<int>(getpid());
}

bool ul_isparentalive() {
    return getppid() != 1;
}

bool ul_procisalive(int pid) {
    bool alive = pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
    UL_TRACE(UL_TRC_PROC, 2, u"Process %d is %salive.\n", pid, alive ? u"" : u"not ");
    return alive;
}

int ul_procgetname(int pid, char16_t* buffer, size_t size) {
    std::string base = "/proc/" + std::to_string(pid);
    std::string content, name;
    // argv[0] ends at its zero byte; the kernel name in comm is cut to 15 bytes, so it is
    // only the fallback for processes without a command line (zombies, kernel threads).
    if (readProcFile(base + "/cmdline", &content) && !content.empty() && content[0]) {
        name = content.c_str();
        size_t slash = name.rfind('/');
        if (slash != std::string::npos && slash + 1 < name.size()) name.erase(0, slash + 1);
    } else if (readProcFile(base + "/comm", &content) && !content.empty()) {
        name = content.substr(0, content.find('\n'));
    } else {
        if (errno == 0) errno = ESRCH;
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot determine the name of process %d", pid);
        return UL_ERROR_RETURN(-1);
    }
    std::u16string wide = ul_utf8to16(name.c_str());
    if (wide.size() >= size) {
        ul_errorsetmsgfmt(0, u"Name '%s' of process %d is longer than %d characters", wide.c_str(),
                          pid, static_cast<int>(size) - 1);
        return UL_ERROR_RETURN(-1);
    }
    ul_strlcpy(buffer, wide.c_str(), size);
    return static_cast<int>(wide.size());
}

int ul_gethostshortname(char16_t* buffer, size_t size) {
    char host[256];
    if (gethostname(host, sizeof host) != 0) {
        ul_errorsetmsg(UL_ERR_SYSTEM, u"Cannot retrieve qualified hostname");
        return UL_ERROR_RETURN(-1);
    }
    host[sizeof host - 1] = 0;
    if (char* dot = strchr(host, '.')) *dot = 0;
    std::u16string wide = ul_utf8to16(host);
    if (wide.size() >= size) {
        ul_errorsetmsgfmt(0, u"Host name '%s' is longer than %d characters", wide.c_str(),
                          static_cast<int>(size) - 1);
        return UL_ERROR_RETURN(-1);
    }
    ul_strlcpy(buffer, wide.c_str(), size);
    return static_cast<int>(wide.size());
}

// Auxiliary functions: the string pool and process services. Heap allocation for the
// containers lives in ulerror.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ulhashlist.h"

// ==== String pool ===========================================================================
//
// An arena for strings that die together. Strings are carved from large blocks, newest block
// first; clear() and restorePosition() recycle the space without returning the blocks, and
// the destructor frees everything. Pointers handed out stay valid until the space they live
// in is recycled.

// Default capacity of a pool block in code units.
constexpr uint32_t UL_STRPOOL_BLOCKSIZE = 65536;

struct ul_strpoolblock_t {
    ul_strpoolblock_t* next;  // next older block
    uint32_t used;            // code units handed out
    uint32_t capacity;        // code units behind the header

    char16_t* text() { return reinterpret_cast<char16_t*>(this + 1); }
};

// A pool's fill state, to return to with restorePosition().
struct ul_strpoolpos_t {
    ul_strpoolblock_t* block;  // newest block at the time, or null for an empty pool
    uint32_t used;             // its used count then
};

enum : int { UL_STRPOOL_DEDUP = 1 };

struct ul_strpool_t {
    ul_strpoolblock_t* blocks = nullptr;  // newest first
    uint32_t blockSize;                   // capacity of new blocks in code units
    ul_hashlist_t hash;                   // string contents -> pooled copy, for de-duplication

    explicit ul_strpool_t(uint32_t size = UL_STRPOOL_BLOCKSIZE) : blockSize(size) {}
    ul_strpool_t(const ul_strpool_t&) = delete;
    ul_strpool_t& operator=(const ul_strpool_t&) = delete;
    ~ul_strpool_t() { destroy(); }

    // Space for n code units (the caller writes the terminator inside them), or null with
    // the error buffer set.
    char16_t* allocString(size_t n);

    // A pooled copy of the string with its terminator (null for a null string). With
    // UL_STRPOOL_DEDUP an equal string duplicated the same way before is returned instead,
    // and new copies are remembered. Null with the error buffer set on failure.
    char16_t* dupString(const char16_t* string, int flags = 0);
    // A pooled copy of all of text (which may hold NULs) with a terminator behind it.
    char16_t* dupString(std::u16string_view text);

    // Recycles all space and forgets all remembered strings; the blocks stay allocated.
    void clear();

    // Memory estimate: the hash list's size plus 2 * capacity + 22 bytes per block.
    long getSize() const;

    // Returns to a saved fill state: space handed out since then in the block that was
    // newest and in all newer blocks is recycled, and remembered strings living there are
    // forgotten. Space taken from older blocks since then stays in use until clear().
    // The pool must not have been cleared in between.
    ul_strpoolpos_t savePosition() const;
    void restorePosition(const ul_strpoolpos_t& position);

    // Frees all blocks and the hash list; the pool can be used again afterwards.
    void destroy();

  private:
    void forgetStringsAfter(const ul_strpoolpos_t& position);
};

// ==== Process: signals, identity and liveness ===============================================
//
// The tool runs single-threaded; a controlling process stops it with SIGINT and raises its
// trace with SIGUSR1 while it runs. Fatal signals leave one line on standard error before the
// process dies by them.

enum : int {
    UL_SIGNALS_INSTALL = 1,  // install the tool's handlers and clear the signal mask
    UL_SIGNALS_RESTORE = 2,  // put back the handlers that were active before the install
};

// Exit code of a process ended by SIGINT.
constexpr int UL_EXIT_INTERRUPTED = 5;

// Handlers (all with SA_RESTART): SIGINT ends the process with UL_EXIT_INTERRUPTED; SIGUSR1
// raises every trace level by 1; SIGUSR2 is ignored; SIGQUIT, SIGILL, SIGFPE, SIGSYS, SIGABRT,
// SIGSEGV and SIGBUS print "\n*** FATAL: Got signal '<name>' (<number>)! Please contact the
// Vex support!" to standard error and are one-shot: the default action takes over and ends
// the process by the same signal.
// Mode UL_SIGNALS_INSTALL does nothing while the handlers are installed; UL_SIGNALS_RESTORE
// does nothing while they are not. Nothing at all happens when the environment variable
// UL_NOSIGHANDLERS is set. Returns 0, or -1 ("sigaction failed for signal #%d",
// "Failed sigprocmask(SIG_SETMASK, {0}, NULL)", both with the system error; "Invalid signal
// handler mode %d"). A failing install leaves the previous handlers in place.
int ul_setsignalhandlers(int mode);

int ul_getownpid();

// False once the process has been handed to init (parent process id 1).
bool ul_isparentalive();

// Signal-0 probe: true when a process with this id exists, also one that belongs to another
// user. Ids below 1 name no single process and are never alive. Traced on component PROC,
// level 2: "Process %d is %salive.\n".
bool ul_procisalive(int pid);

// The program name of a live process: the last path component of its argv[0], or, for a
// process without a command line, its kernel name. Returns the length, or -1 ("Cannot
// determine the name of process %d" with the system error; "Name '%s' of process %d is
// longer than %d characters").
int ul_procgetname(int pid, char16_t* buffer, size_t size);

// This host's name up to its first ".". Returns the length, or -1 ("Cannot retrieve
// qualified hostname" with the system error; "Host name '%s' is longer than %d characters").
int ul_gethostshortname(char16_t* buffer, size_t size);

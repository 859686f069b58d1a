// Auxiliary functions: heap allocation for the library's containers and the string pool.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ulhashlist.h"

// ==== Heap allocation =======================================================================
//
// The containers allocate through these so that a failure is always reported the same way
// (the out-of-memory error in the error buffer, result null) and so that tests can make a
// chosen allocation fail. Blocks are released with free().

void* ul_malloc(size_t size);
void* ul_calloc(size_t count, size_t size);
// On failure the old block is left as it was.
void* ul_realloc(void* block, size_t size);

// Fault injection for tests: the next n allocations through the functions above succeed and
// the one after fails, once. A negative n switches the injection off.
void ul_memfailafter(long n);

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

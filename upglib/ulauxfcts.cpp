#include "ulauxfcts.h"

#include <cstdlib>
#include <cstring>

#include "ulerror.h"
#include "ulstring.h"

// ==== Heap allocation =======================================================================

namespace {

// Allocations left before the injected failure; negative: no injection.
long g_allocationsBeforeFailure = -1;

bool injectFailure() {
    if (g_allocationsBeforeFailure < 0) return false;
    return g_allocationsBeforeFailure-- == 0;
}

void* checked(void* block) {
    if (!block) ul_erroroutofmemory();
    return block;
}

}  // namespace

void ul_memfailafter(long n) {
    g_allocationsBeforeFailure = n;
}

// Zero-byte requests get a real block so that null always means failure.
void* ul_malloc(size_t size) {
    return checked(injectFailure() ? nullptr : malloc(size ? size : 1));
}

void* ul_calloc(size_t count, size_t size) {
    if (count == 0 || size == 0) count = size = 1;
    return checked(injectFailure() ? nullptr : calloc(count, size));
}

void* ul_realloc(void* block, size_t size) {
    return checked(injectFailure() ? nullptr : realloc(block, size ? size : 1));
}

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

#include "ulhashlist.h"

#include <cstdlib>
#include <cstring>

#include "uldllist.h"
#include "ulerror.h"
#include "ulstring.h"
#include "ultrace.h"

namespace {

// Prime bucket counts of the size classes; class 0 is the default class 4.
constexpr uint32_t BUCKET_CLASSES[16] = {
    2039,  61,    251,    1021,   2039,   4093,    8191,    16381,
    32749, 65521, 131071, 262139, 524287, 1048573, 2097143, 4194301,
};

// Longest word that ul_string2hashlist accepts, terminator included.
constexpr size_t MAX_WORD = 16384;

constexpr size_t ENTRY_HEADER = sizeof(ul_hashentry_t);

// A new unlinked entry with value space for size bytes; key not yet set.
ul_hashentry_t* newEntry(uint32_t size, const void* data) {
    auto* entry = static_cast<ul_hashentry_t*>(ul_malloc(ENTRY_HEADER + size));
    if (!entry) return nullptr;
    entry->next = nullptr;
    entry->size = size;
    entry->key = nullptr;
    if (data) memcpy(entry->value(), data, size);
    return entry;
}

// The key an entry stores: the caller's adopted string, or a copy. Null on failure.
char16_t* storedKey(const char16_t* key, int flags) {
    if (flags & UL_HASH_ADOPTKEY) return const_cast<char16_t*>(key);
    size_t bytes = (ul_strlen(key) + 1) * sizeof(char16_t);
    auto* copy = static_cast<char16_t*>(ul_malloc(bytes));
    if (copy) memcpy(copy, key, bytes);
    return copy;
}

void releaseAdopted(const char16_t* key, int flags) {
    if (flags & UL_HASH_ADOPTKEY) free(const_cast<char16_t*>(key));
}

void destroyEntry(ul_hashentry_t* entry) {
    free(entry->key);
    free(entry);
}

long chainLength(const ul_hashentry_t* entry) {
    long length = 0;
    for (; entry; entry = entry->next) ++length;
    return length;
}

// Removes every entry of every chain, reporting each to function first.
void clearChains(ul_hashlist_t* hash, void (*function)(void*, const char16_t*)) {
    if (!hash->chains) return;
    for (uint32_t i = 0; i < hash->buckets; ++i) {
        ul_hashentry_t* entry = hash->chains[i];
        hash->chains[i] = nullptr;
        while (entry) {
            ul_hashentry_t* next = entry->next;
            if (function) function(entry->value(), entry->key);
            destroyEntry(entry);
            entry = next;
        }
    }
}

int compareStrings(void*, const void* a, const void* b) {
    return ul_strcmp(static_cast<const char16_t*>(a), static_cast<const char16_t*>(b));
}

}  // namespace

uint32_t ul_hashstring2val(const char16_t* key, uint32_t buckets) {
    uint64_t h = 0;
    for (; key && *key; ++key) h = ((h << 16) + *key) % buckets;
    return static_cast<uint32_t>(h);
}

uint32_t ul_hashlistbuckets(int flags) {
    return BUCKET_CLASSES[flags & 15];
}

// ---- ul_hashlist_t ------------------------------------------------------------------------

void ul_hashlist_t::initHash(int flags) {
    buckets = ul_hashlistbuckets(flags);
    chains = nullptr;
}

ul_hashentry_t** ul_hashlist_t::findLink(const char16_t* key) {
    ul_hashentry_t** link = &chains[ul_hashstring2val(key, buckets)];
    while (*link && ul_strcmp((*link)->key, key) != 0) link = &(*link)->next;
    return link;
}

void ul_hashlist_t::reportMiss(const char16_t* key, int flags) {
    if (!(flags & UL_HASH_QUIET)) ul_errorsetmsgfmt(0, u"No entry with key '%s'", key);
}

void* ul_hashlist_t::set(const char16_t* key, const void* data, uint32_t size, int* isNew,
                         const char16_t** keyOut, int flags) {
    if (buckets == 0) {
        releaseAdopted(key, flags);
        ul_errorsetmsg(0, u"Internal error 'ul_hashlist_t::set': hash list not initialised");
        return UL_ERROR_RETURN(nullptr);
    }
    if (!chains) {
        chains = static_cast<ul_hashentry_t**>(ul_calloc(buckets, sizeof(ul_hashentry_t*)));
        if (!chains) {
            releaseAdopted(key, flags);
            return UL_ERROR_RETURN(nullptr);
        }
    }
    ul_hashentry_t** link = findLink(key);
    ul_hashentry_t* old = *link;
    if (old && old->size >= size) {
        if (data) memcpy(old->value(), data, size);
        releaseAdopted(key, flags);
        if (isNew) *isNew = 0;
        if (keyOut) *keyOut = old->key;
        return old->value();
    }
    ul_hashentry_t* entry = newEntry(size, data);
    char16_t* copy = entry ? storedKey(key, flags) : nullptr;
    if (!copy) {
        free(entry);
        releaseAdopted(key, flags);
        return UL_ERROR_RETURN(nullptr);
    }
    entry->key = copy;
    if (old) {
        entry->next = old->next;
        destroyEntry(old);
    }
    *link = entry;
    if (isNew) *isNew = old ? 0 : 1;
    if (keyOut) *keyOut = entry->key;
    return entry->value();
}

void* ul_hashlist_t::get(const char16_t* key, int flags) {
    ul_hashentry_t* entry = chains ? *findLink(key) : nullptr;
    if (entry) return entry->value();
    reportMiss(key, flags);
    return nullptr;
}

const char16_t* ul_hashlist_t::getKey(const char16_t* key, int flags) {
    ul_hashentry_t* entry = chains ? *findLink(key) : nullptr;
    if (entry) return entry->key;
    reportMiss(key, flags);
    return nullptr;
}

int ul_hashlist_t::del(const char16_t* key) {
    if (!chains) return 0;
    ul_hashentry_t** link = findLink(key);
    ul_hashentry_t* entry = *link;
    if (!entry) return 0;
    *link = entry->next;
    destroyEntry(entry);
    return 1;
}

bool ul_hashlist_t::isEmpty() const {
    if (!chains) return true;
    for (uint32_t i = 0; i < buckets; ++i)
        if (chains[i]) return false;
    return true;
}

long ul_hashlist_t::getCount() const {
    long count = 0;
    if (chains)
        for (uint32_t i = 0; i < buckets; ++i) count += chainLength(chains[i]);
    return count;
}

long ul_hashlist_t::getSize() const {
    long size = 16 + 8 * static_cast<long>(buckets);
    if (!chains) return size;
    for (uint32_t i = 0; i < buckets; ++i)
        for (const ul_hashentry_t* entry = chains[i]; entry; entry = entry->next)
            size += 26 + 2 * static_cast<long>(ul_strlen(entry->key)) + entry->size;
    return size;
}

void ul_hashlist_t::clearHash(void (*function)(void* value, const char16_t* key)) {
    clearChains(this, function);
}

void ul_hashlist_t::freeHash(void (*function)(void* value, const char16_t* key)) {
    if (ul_traceactive(UL_TRC_HASH, 1)) {
        ul_hashliststat_t stat;
        ul_hashliststat(this, &stat);
        UL_TRACE(UL_TRC_HASH, 1, u"%ld slots filled, longest chain is %ld, size used %ldkB.\n",
                 stat.filledBuckets, stat.longestChain, getSize() / 1024);
    }
    clearChains(this, function);
    free(chains);
    chains = nullptr;
    buckets = 0;
}

// ---- Free functions -----------------------------------------------------------------------

int ul_hashlistset0(ul_hashlist_t* hash, const char16_t* key) {
    int isNew = 0;
    if (!hash->set(key, nullptr, 0, &isNew)) return UL_ERROR_RETURN(-1);
    return isNew;
}

void* ul_hashlistsetstring(ul_hashlist_t* hash, const char16_t* key, const char16_t* value,
                           int* isNew, int flags) {
    uint32_t size = value ? static_cast<uint32_t>((ul_strlen(value) + 1) * sizeof(char16_t)) : 0;
    void* stored = hash->set(key, value, size, isNew, nullptr, flags);
    if (!stored) return UL_ERROR_RETURN(nullptr);
    return stored;
}

void ul_hashliststat(const ul_hashlist_t* hash, ul_hashliststat_t* result) {
    result->filledBuckets = 0;
    result->longestChain = 0;
    if (!hash->chains) return;
    for (uint32_t i = 0; i < hash->buckets; ++i) {
        long length = chainLength(hash->chains[i]);
        if (length) ++result->filledBuckets;
        if (length > result->longestChain) result->longestChain = length;
    }
}

void* ul_hashlistiter_t::next(const char16_t** keyOut) {
    while (!nextEntry) {
        if (!hash->chains || bucket >= hash->buckets) {
            if (keyOut) *keyOut = nullptr;
            return nullptr;
        }
        nextEntry = hash->chains[bucket++];
    }
    ul_hashentry_t* entry = nextEntry;
    nextEntry = entry->next;
    if (keyOut) *keyOut = entry->key;
    return entry->value();
}

int ul_hashlistiternext(ul_hashlistiter_t* iterator, const char16_t** keyOut, void** valueOut) {
    const char16_t* key = nullptr;
    void* value = iterator->next(&key);
    if (keyOut) *keyOut = key;
    if (valueOut) *valueOut = value;
    return key ? 1 : 0;
}

int ul_hashlist2dll(ul_hashlist_t* hash, ul_dllist_t* list, int flags) {
    ul_dllist_t added;
    int count = 0;
    ul_hashlistiter_t iterator(hash);
    const char16_t* key;
    void* value;
    while (ul_hashlistiternext(&iterator, &key, &value)) {
        const char16_t* text = key;
        if (flags & UL_HASH2DLL_VALUES) {
            // An empty value (size 0) has no terminator to read.
            auto* entry = reinterpret_cast<ul_hashentry_t*>(value) - 1;
            text = entry->size ? static_cast<const char16_t*>(value) : u"";
        }
        if (!ul_dllistcreateaddstrnode(&added, text, -1)) {
            added.freeList(0);
            return UL_ERROR_RETURN(-1);
        }
        ++count;
    }
    // Splice the new nodes behind the existing ones.
    while (!added.isEmpty()) {
        ul_dllistnode_t* node = added.head;
        ul_dllist_t::unlinkNode(node);
        list->addNode(node, -1);
    }
    if (flags & UL_HASH2DLL_SORT) list->sort(compareStrings, nullptr);
    return count;
}

int ul_string2hashlist(ul_hashlist_t* hash, const char16_t* text, char16_t separator) {
    auto* word = static_cast<char16_t*>(ul_malloc(MAX_WORD * sizeof(char16_t)));
    if (!word) return UL_ERROR_RETURN(-1);
    int count = 0;
    int rc;
    while ((rc = ul_stringexpwordlist(&text, separator, word, MAX_WORD, 0)) == 1) {
        ul_stringtrimtail(word);
        if (ul_hashlistset0(hash, word) < 0) {
            rc = -1;
            break;
        }
        ++count;
    }
    free(word);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return count;
}

// ---- ULHashListBase -----------------------------------------------------------------------

ULHashListBase::ULHashListBase(int hashFlags, bool ownsValues) : m_ownsValues(ownsValues ? 1 : 0) {
    m_hash.initHash(hashFlags);
}

ULHashListBase::~ULHashListBase() {
    m_hash.freeHash();
}

void ULHashListBase::clearHash() {
    ul_hashlistiter_t iterator(&m_hash);
    const char16_t* key;
    void* value;
    if (m_ownsValues)
        while (ul_hashlistiternext(&iterator, &key, &value)) freeEntry(*static_cast<void**>(value));
    m_hash.clearHash();
}

void ULHashListBase::freeHash() {
    clearHash();
    m_hash.freeHash();
}

int ULHashListBase::del(const char16_t* key) {
    auto** slot = static_cast<void**>(m_hash.get(key, UL_HASH_QUIET));
    if (!slot) return 0;
    if (m_ownsValues) freeEntry(*slot);
    return m_hash.del(key);
}

// Chained hash tables keyed by UTF-16 strings (exact, case-sensitive), and the object form
// ULHashList<T> whose values are pointers to owned objects.
//
// The bucket count is fixed when the table is initialised; owners pick a size class that
// suits the number of keys they expect. Keys must not be null. Chains keep insertion order.
// Entries are single heap blocks holding the link, the value size, the key pointer and then
// the value bytes.
#pragma once

#include <cstddef>
#include <cstdint>

struct ul_dllist_t;

struct ul_hashentry_t {
    ul_hashentry_t* next;
    uint32_t size;  // bytes of value space behind the header
    char16_t* key;  // heap string owned by the entry

    void* value() { return this + 1; }
};

enum : int {
    UL_HASH_QUIET = 1,     // get/getKey: a miss stores no message
    UL_HASH_ADOPTKEY = 2,  // set: the caller's heap key becomes the stored key
};

// Bucket index of a key: h = (h * 65536 + c) mod buckets over the code units, in 64-bit
// arithmetic. The empty key gives 0.
uint32_t ul_hashstring2val(const char16_t* key, uint32_t buckets);

// Bucket count of an initHash size class (flags & 15).
uint32_t ul_hashlistbuckets(int flags);

struct ul_hashlist_t {
    uint32_t buckets = 2039;            // fixed by initHash; 0 after freeHash
    ul_hashentry_t** chains = nullptr;  // allocated zero-filled on the first insertion

    // Sets the bucket count from the size class in flags & 15 (0 is the default class).
    // Must only be called on an empty table with no bucket array.
    void initHash(int flags = 0);

    // Inserts or replaces the entry for key and returns its value space, or null on failure
    // (then nothing changed). data, if given, supplies size bytes; else the caller fills the
    // value. An existing entry with at least size bytes is reused in place (its size stays);
    // a smaller one is replaced by a new entry at the same chain position, with a fresh key.
    // isNew receives 1 for a new key, else 0; keyOut the stored key. With UL_HASH_ADOPTKEY
    // the key must be a malloc'ed string, which the table owns from the call on, also when
    // the call fails or an existing key is kept.
    void* set(const char16_t* key, const void* data, uint32_t size, int* isNew = nullptr,
              const char16_t** keyOut = nullptr, int flags = 0);

    // The value space (get) or the stored key (getKey) for key, or null. Unless flags has
    // UL_HASH_QUIET, a miss stores "No entry with key '<key>'".
    void* get(const char16_t* key, int flags = 0);
    const char16_t* getKey(const char16_t* key, int flags = 0);

    // Removes the entry: 1 if it existed, else 0.
    int del(const char16_t* key);

    bool isEmpty() const;
    long getCount() const;
    // Memory estimate: 16 + 8 per bucket + per entry 26 + 2 * key length + value size.
    long getSize() const;

    // Removes every entry, calling function(value, key) for each first if given. The bucket
    // array stays.
    void clearHash(void (*function)(void* value, const char16_t* key) = nullptr);
    // As clearHash, then frees the bucket array; initHash is needed before the next use.
    void freeHash(void (*function)(void* value, const char16_t* key) = nullptr);

  private:
    ul_hashentry_t** findLink(const char16_t* key);
    void reportMiss(const char16_t* key, int flags);
};

// Inserts a key with an empty value: 1 if new, 0 if present, -1 on failure.
int ul_hashlistset0(ul_hashlist_t* hash, const char16_t* key);

// The value is the string with its terminator; a null value stores an empty value (size 0).
// Returns the stored value, or null on failure.
void* ul_hashlistsetstring(ul_hashlist_t* hash, const char16_t* key, const char16_t* value,
                           int* isNew = nullptr, int flags = 0);

struct ul_hashliststat_t {
    long filledBuckets;
    long longestChain;
};
void ul_hashliststat(const ul_hashlist_t* hash, ul_hashliststat_t* result);

// Walks all entries in bucket order, chain order within a bucket. The entry just returned
// may be deleted before the next call; other changes to the table end the walk's validity.
struct ul_hashlistiter_t {
    ul_hashlist_t* hash;
    uint32_t bucket;            // next bucket to look at
    ul_hashentry_t* nextEntry;  // next entry to return, if already known

    explicit ul_hashlistiter_t(ul_hashlist_t* h) : hash(h), bucket(0), nextEntry(nullptr) {}
    // The next value space, or null at the end (keyOut then receives null).
    void* next(const char16_t** keyOut = nullptr);
};

// 1 with key and value of the next entry, 0 at the end.
int ul_hashlistiternext(ul_hashlistiter_t* iterator, const char16_t** keyOut, void** valueOut);

enum : int {
    UL_HASH2DLL_SORT = 1,    // sort the list by code units afterwards
    UL_HASH2DLL_VALUES = 2,  // take the string values instead of the keys
};
// Appends one string node per entry; returns the number appended, or -1 with the list
// unchanged.
int ul_hashlist2dll(ul_hashlist_t* hash, ul_dllist_t* list, int flags);

// Splits text at the separator (a blank: any run of white space), trims trailing white space
// from each word and inserts it as a key without value. Returns the number of words, or -1;
// keys inserted before a failure stay.
int ul_string2hashlist(ul_hashlist_t* hash, const char16_t* text, char16_t separator);

// ---- Object form ------------------------------------------------------------------------

// A hash table whose values are pointers to objects. If it owns them, every removal deletes
// the object through freeEntry.
class ULHashListBase {
  public:
    ul_hashlist_t m_hash;
    int m_ownsValues;

    explicit ULHashListBase(int hashFlags = 0, bool ownsValues = true);
    ULHashListBase(const ULHashListBase&) = delete;
    ULHashListBase& operator=(const ULHashListBase&) = delete;
    // Frees only the table: the value type is gone by now, so the derived class releases
    // the values in its own destructor.
    virtual ~ULHashListBase();

    virtual void freeEntry(void* value) = 0;

    void clearHash();
    void freeHash();
    int del(const char16_t* key);
};

template <class T>
class ULHashList : public ULHashListBase {
  public:
    explicit ULHashList(int hashFlags = 0, bool ownsValues = true)
        : ULHashListBase(hashFlags, ownsValues) {}
    ~ULHashList() override { clearHash(); }

    void freeEntry(void* value) override { delete static_cast<T*>(value); }

    // Stores value under key; an owned object previously stored there is deleted. Returns
    // 0, or -1 on failure (the caller keeps value).
    int set(const char16_t* key, T* value, int* isNew = nullptr) {
        int added = 0;
        auto** slot = static_cast<T**>(m_hash.set(key, nullptr, sizeof(T*), &added));
        if (!slot) return -1;
        if (!added && m_ownsValues && *slot != value) freeEntry(*slot);
        *slot = value;
        if (isNew) *isNew = added;
        return 0;
    }
    // The object stored under key, or null (a miss stores a message unless flags has
    // UL_HASH_QUIET).
    T* get(const char16_t* key, int flags = 0) {
        auto** slot = static_cast<T**>(m_hash.get(key, flags));
        return slot ? *slot : nullptr;
    }
};

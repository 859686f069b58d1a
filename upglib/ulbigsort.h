// External sort of byte-string entries under a memory limit.
//
// Entries are put one by one. While they fit, they stay in one bulk block (16-byte
// descriptors followed by fixed slots) and are sorted there at the end of the input. When the
// memory limit or the array capacity is reached, the handle switches to external sorting:
// replacement selection writes sorted runs to temporary files, and a polyphase merge with
// dummy runs reduces them to one sorted file, which is then read back in order.
//
// Temporary files are named "<dir>/bstp<pid>_<handle>_<sequence>" and unlinked right after
// opening, so nothing stays behind after close, a failure or a crash (at BIGSORT trace level 4
// and above they are kept for inspection).
//
// Every function returns 0 (or a count/index) on success and -1 with the reason in the error
// buffer. After a failure the handle is unusable except for close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// The order of entries. compare returns negative, zero or positive as a sorts before, equal to
// or after b. It must be a strict weak order over the bytes it looks at.
class ULBigSortCompare {
  public:
    virtual ~ULBigSortCompare() = default;
    virtual int compare(const void* a, uint32_t aLength, const void* b, uint32_t bLength) = 0;
};

// One entry in memory. maxLength < 0: data is a slot of -maxLength bytes in the handle's bulk
// area; maxLength > 0: data is a heap block of that many bytes owned by the handle.
struct ULBigSortEntry {
    unsigned char* data;
    uint32_t length;
    int32_t maxLength;
};
static_assert(sizeof(ULBigSortEntry) == 16, "descriptors are 16 bytes");

// Flags of open.
enum : int {
    UL_BIGSORT_SKIPEQUAL = 1,    // get skips entries equal to the previous one
    UL_BIGSORT_REMOVEDUPS = 2,   // keep only the first of equal entries while sorting
    UL_BIGSORT_GROUP = 4,        // get reports 1 for an entry that starts a group of equal ones
    UL_BIGSORT_VARLENGTH = 8,    // entries of any length; the slot size is the bulk slot
    UL_BIGSORT_DESCENDING = 16,  // every comparison result is negated
};

// Index arguments and results of get.
enum : long {
    UL_BIGSORT_NEXT = -1,  // the next entry
    UL_BIGSORT_PEEK = -2,  // the next entry without advancing
};
enum : int {
    UL_BIGSORT_NEWGROUP = 1,  // entry delivered; it starts a new group
    UL_BIGSORT_END = -2,      // no more entries
};

// Flags of close.
enum : int { UL_BIGSORT_STATISTICS = 1 };

// Bits of ULBigSortHandle::m_sortflags (also taken from the global sort flags).
enum : unsigned {
    UL_BIGSORT_TRUNCATE = 0x1,      // truncate temporary files as soon as they are read
    UL_BIGSORT_MAXALIGNENTRY = 0x2,  // align entry slots to 8 bytes instead of 2
};

// Largest slot size open accepts.
constexpr long UL_BIGSORT_MAXSLOT = 1L << 30;

// Opens temporary file number `sequence` of handle number `handle` and stores it in *file.
// context is ULBigSortHandle::m_sorttempfileptr. Returns 0, or -1 with the reason set.
using ul_bigsorttempfile_f = int (*)(void* context, FILE** file, int handle, int sequence);

// The default opener: context is the directory (a UTF-16 string; null means "."). The file is
// created with mode "wb+" and unlinked at once unless BIGSORT tracing is at level 4 or above.
int ul_bigsorttempfile(void* context, FILE** file, int handle, int sequence);

// The 1- to 5-byte big-endian base-128 length prefix of a variable-length entry in a temporary
// file: every byte but the last has bit 7 set. Writes into out (at least 5 bytes) and returns
// the number of bytes.
int ul_bigsortencodelength(uint64_t length, unsigned char* out);

class ULBigSortHandle {
  public:
    // Process-wide settings; commands set them before open.
    static size_t m_maxmemory;             // memory limit per handle (bytes)
    static int m_nrsequences;              // temporary files T; below 3 counts as 3
    static unsigned m_sortflags;           // UL_BIGSORT_TRUNCATE, UL_BIGSORT_MAXALIGNENTRY
    static ul_bigsorttempfile_f m_sorttempfile;  // opener of temporary files
    static void* m_sorttempfileptr;        // its context (the directory for the default)

    ULBigSortHandle();
    ~ULBigSortHandle();  // closes without statistics
    ULBigSortHandle(const ULBigSortHandle&) = delete;
    ULBigSortHandle& operator=(const ULBigSortHandle&) = delete;

    // slotSize: the exact length of fixed-length entries, or the bulk slot of variable-length
    // ones (longer entries get a heap block of their own); at most UL_BIGSORT_MAXSLOT.
    // expectedEntries > 0 caps the entries held in memory. compare null: the handle only
    // spools, entries come back in input order (then flags 1, 2, 4 and 16 are refused).
    // The compare object must outlive the handle's use.
    int open(long slotSize, long expectedEntries, ULBigSortCompare* compare, int flags);

    // Adds one entry made of count pieces concatenated. A fixed-length entry shorter than the
    // slot size is padded with zero bytes; a longer one is refused. put(nullptr, nullptr, 0)
    // ends the input and performs the final sort or merge. After that: "Sorting stream
    // already closed".
    int put(const void* const* pieces, const uint32_t* lengths, int count);
    int put(const void* data, uint32_t length) { return put(&data, &length, 1); }
    int endInput() { return put(nullptr, nullptr, 0); }

    // Delivers entry `index` (UL_BIGSORT_NEXT, UL_BIGSORT_PEEK or a direct index) split into
    // the caller's pieces: lengths[i] holds the capacity of piece i on entry and the bytes
    // delivered on return; every piece but the last takes min(capacity, remaining), the last
    // takes the rest and must hold it ("Buffer too small"). pieces null: only the lengths are
    // filled in (the last gets the rest). A handle still accepting input ends it first.
    // Returns 0, UL_BIGSORT_NEWGROUP (only with flags 1 or 4), UL_BIGSORT_END or -1.
    int get(long index, void* const* pieces, uint32_t* lengths, int count);
    int get(long index, void* buffer, uint32_t* length) {
        return get(index, buffer ? &buffer : nullptr, length, 1);
    }

    // Bisection for the first entry not less than key (in the handle's order; compare null
    // uses the handle's compare object, which then gets the key as its first argument).
    // Returns that index (the entry count when every entry is less) and positions the read
    // index there, so that get(UL_BIGSORT_NEXT) continues from it and starts a new group.
    // Ends the input first if needed. Needs direct access (fixed-length entries in a file).
    long find(const void* key, uint32_t keyLength, ULBigSortCompare* compare = nullptr);

    // flags & UL_BIGSORT_STATISTICS writes the statistics messages first. Releases memory and
    // closes all temporary files; the handle is idle again (open may follow). Returns 0, or -1
    // when a temporary file could not be closed (everything is released anyway).
    int close(int flags = 0);

    // State: 0 accepting entries, 1 sorted in memory, 2 sorted into a file; -1 idle or failed.
    int state() const;
    bool isVariableLength() const { return (m_flags & UL_BIGSORT_VARLENGTH) != 0; }
    bool isDescending() const { return (m_flags & UL_BIGSORT_DESCENDING) != 0; }
    long slotSize() const { return m_slotSize; }
    int handleNumber() const { return m_handleNumber; }
    uint64_t entryCount() const { return m_count; }      // available for reading
    uint64_t readIndex() const { return m_readIndex; }
    uint64_t entriesPut() const { return m_putCount; }
    size_t memoryInUse() const { return m_memInUse; }
    size_t memoryPeak() const { return m_memPeak; }
    uint64_t entriesAllocated() const { return m_allocatedPeak; }
    int tempFilesUsed() const { return m_filesUsed; }
    int sequenceCount() const { return m_nSeq; }
    int mergeLevels() const { return m_mergeLevels; }
    uint64_t runCount() const { return m_initialRuns; }
    uint64_t bytesWritten() const { return m_bytesWritten; }
    uint64_t bytesRead() const { return m_bytesRead; }
    uint64_t maxTempFileSize() const { return m_maxFileSize; }

    struct Sequence;  // one temporary file of the merge

  private:
    enum class State { Idle, Accepting, InMemory, InFile, Failed };
    struct Pieces {
        const void* const* pieces;
        const uint32_t* lengths;
        int count;
        uint32_t total;  // stored length (fixed-length entries: the slot size)
    };

    int fail();
    int usable();
    int planMemory(long slotSize, long expectedEntries);
    void addMemory(size_t bytes);
    int growBlock();
    int storeEntry(ULBigSortEntry& entry, const Pieces& in);
    const unsigned char* contiguous(const Pieces& in);
    int putInMemory(const Pieces& in);
    int putExternal(const Pieces& in);
    int cmp(const void* a, uint32_t aLength, const void* b, uint32_t bLength) const;
    int cmpEntries(const ULBigSortEntry& a, const ULBigSortEntry& b) const;
    void siftDown(uint64_t from, uint64_t size);
    void heapify(uint64_t size);
    int startExternal();
    void chooseSequence();
    int endRun();
    int openSequence(Sequence& seq);
    int writeEntry(Sequence& seq, const unsigned char* data, uint32_t length);
    int writeTop();
    int spoolMemory();
    int drainHeap();
    int finishInput();
    int sortInMemory();
    uint64_t removeDuplicates();
    void shrinkBlock(uint64_t kept);
    int rewindForReading(Sequence& seq);
    int rewindForWriting(Sequence& seq);
    int checkWritten(Sequence& seq);
    int truncateSequence(Sequence& seq);
    int readEntry(Sequence& seq, std::vector<unsigned char>& buffer, uint32_t* length);
    int mergeStep(std::vector<int>& active, Sequence& out);
    int mergePhase();
    int mergeAll();
    int compactFinal();
    int writeFailed();
    int seekFailed();
    int readFailed(uint64_t position);
    int consistencyFailed(const char16_t* what);
    int readyForReading();
    int fetch(uint64_t index, const unsigned char** data, uint32_t* length);
    int nextDeliverable(const unsigned char** data, uint32_t* length, int* result);
    int deliver(const unsigned char* data, uint32_t length, void* const* pieces,
                uint32_t* lengths, int count);
    void consume(const unsigned char* data, uint32_t length);
    int closeFiles();
    void releaseMemory();
    void writeStatistics();

    State m_state = State::Idle;
    int m_flags = 0;
    unsigned m_sortFlagsInUse = 0;
    ULBigSortCompare* m_compare = nullptr;
    long m_slotSize = 0;  // as given to open
    size_t m_slot = 0;    // aligned bulk slot
    int m_handleNumber = -1;

    // Bulk block: m_capacity descriptors followed by the slots.
    unsigned char* m_block = nullptr;
    ULBigSortEntry* m_entries = nullptr;
    unsigned char* m_bulk = nullptr;
    uint64_t m_capacity = 0;       // descriptors allocated now
    uint64_t m_allocatedPeak = 0;  // most descriptors allocated at once
    uint64_t m_maxEntries = 0;     // the plan's limit (cut when memory runs out)
    uint64_t m_held = 0;           // entries in the array
    uint64_t m_used = 0;           // descriptors that own storage (freed at release)
    uint64_t m_heapSize = 0;       // replacement selection: the heap part of the array
    size_t m_memInUse = 0;
    size_t m_memPeak = 0;
    std::vector<unsigned char> m_scratch;

    // Totals.
    uint64_t m_putCount = 0;
    uint64_t m_putBytes = 0;
    uint32_t m_maxLength = 0;  // longest entry put (bounds what is read back)
    uint64_t m_count = 0;      // entries available for reading
    uint64_t m_readIndex = 0;

    // External sorting.
    bool m_external = false;
    int m_nSeq = 0;
    std::vector<Sequence*> m_seqs;
    size_t m_bufferSize = 0;  // stream buffer per temporary file
    int m_curSeq = 0;         // sequence receiving the current run
    uint64_t m_runLength = 0;
    uint64_t m_initialRuns = 0;
    int m_level = 0;
    int m_mergeLevels = 0;
    int m_filesUsed = 0;
    int m_finalSeq = -1;
    uint64_t m_dataSize = 0;
    uint64_t m_bytesWritten = 0;
    uint64_t m_bytesRead = 0;
    uint64_t m_maxFileSize = 0;

    // Reading back from the final file.
    bool m_filePosValid = false;
    uint64_t m_fileIndex = 0;  // index of the entry the stream stands on
    std::vector<unsigned char> m_current;
    uint32_t m_currentLength = 0;
    uint64_t m_currentIndex = 0;
    bool m_haveCurrent = false;
    // The entry delivered last (grouping).
    std::vector<unsigned char> m_previous;
    const unsigned char* m_prevData = nullptr;
    uint32_t m_prevLength = 0;
    bool m_havePrevious = false;
};

// External sort: bulk block in memory, replacement selection into runs, polyphase merge with
// dummy runs distributed horizontally (Knuth, TAOCP vol. 3, 5.4.2, Algorithm D).
#include "ulbigsort.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

size_t ULBigSortHandle::m_maxmemory = 268435456;
int ULBigSortHandle::m_nrsequences = 32;
unsigned ULBigSortHandle::m_sortflags = 0;
ul_bigsorttempfile_f ULBigSortHandle::m_sorttempfile = ul_bigsorttempfile;
void* ULBigSortHandle::m_sorttempfileptr = nullptr;

namespace {

constexpr size_t kDescriptor = sizeof(ULBigSortEntry);
constexpr uint64_t kFirstBlockEntries = 1024;
constexpr uint32_t kMaxEntryLength = INT32_MAX;
constexpr int kMaxPrefix = 5;

// Handles are numbered in the order they are opened; the number is part of file names.
int nextHandleNumber = 0;

unsigned long mb(uint64_t bytes) { return static_cast<unsigned long>(bytes >> 20); }

// Sets a message with the system error text for an errno saved by the caller.
void systemError(int savedErrno, const char16_t* text) {
    errno = savedErrno;
    ul_errorsetmsg(UL_ERR_SYSTEM, text);
}

}  // namespace

// One temporary file of the merge. A sequence keeps its number (and file name) while the
// merge rotates the sequences' roles.
struct ULBigSortHandle::Sequence {
    int number = 0;
    FILE* file = nullptr;
    std::unique_ptr<char[]> buffer;
    uint64_t perfect = 0;        // A: runs of the perfect distribution at this level
    uint64_t dummies = 0;        // D: dummy runs not yet consumed
    std::deque<uint64_t> runs;   // entry counts of the real runs, first to be read first
    uint64_t writePos = 0;       // bytes written since the file was last rewound for writing
    uint64_t readPos = 0;        // bytes read since the file was last rewound for reading
    // Merge head: the next entry of the run being merged.
    std::vector<unsigned char> head;
    uint32_t headLength = 0;
    uint64_t left = 0;           // entries of the current run not yet taken
};

// ==== temporary files ==========================================================================

int ul_bigsorttempfile(void* context, FILE** file, int handle, int sequence) {
    const char16_t* dir = context ? static_cast<const char16_t*>(context) : u".";
    std::u16string name = ul_format(u"%s%cbstp%d_%02d_%02d", dir, u'/', static_cast<int>(getpid()),
                                    handle, sequence);
    std::string path = ul_utf16to8(name.c_str());
    FILE* stream = fopen(path.c_str(), "wb+");
    if (!stream) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot open temporary file '%s'", name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (ul_traceactive(UL_TRC_BIGSORT, 4)) {
        UL_TRACE(UL_TRC_BIGSORT, 4, u"TEMPFILE '%s'\n", name.c_str());
    } else if (unlink(path.c_str()) != 0) {
        int saved = errno;
        fclose(stream);
        errno = saved;
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot delete temporary file '%s'", name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    *file = stream;
    return 0;
}

int ul_bigsortencodelength(uint64_t length, unsigned char* out) {
    int n = length < (1u << 7) ? 1 : length < (1u << 14) ? 2 : length < (1u << 21) ? 3
            : length < (1u << 28) ? 4 : 5;
    for (int i = 0; i < n; ++i) {
        unsigned char group = static_cast<unsigned char>((length >> (7 * (n - 1 - i))) & 0x7f);
        out[i] = i < n - 1 ? static_cast<unsigned char>(group | 0x80) : group;
    }
    return n;
}

// ==== life cycle ===============================================================================

ULBigSortHandle::ULBigSortHandle() = default;

ULBigSortHandle::~ULBigSortHandle() { (void)close(0); }

int ULBigSortHandle::state() const {
    switch (m_state) {
        case State::Accepting: return 0;
        case State::InMemory: return 1;
        case State::InFile: return 2;
        default: return -1;
    }
}

int ULBigSortHandle::fail() {
    m_state = State::Failed;
    return UL_ERROR_RETURN(-1);
}

int ULBigSortHandle::usable() {
    if (m_state == State::Idle) return ul_errorfail(u"Sort handle is not open");
    if (m_state == State::Failed)
        return ul_errorfail(u"Sort handle unusable after an earlier failure");
    return 0;
}

int ULBigSortHandle::open(long slotSize, long expectedEntries, ULBigSortCompare* compare,
                          int flags) {
    if (m_state != State::Idle) (void)close(0);
    if (slotSize > UL_BIGSORT_MAXSLOT) {
        ul_errorsetmsgfmt(0, u"Entry size %d too large, limit is %d", static_cast<int>(
                              std::min<long>(slotSize, INT_MAX)), static_cast<int>(UL_BIGSORT_MAXSLOT));
        return UL_ERROR_RETURN(-1);
    }
    bool varLength = (flags & UL_BIGSORT_VARLENGTH) != 0;
    if (slotSize < (varLength ? 0 : 1)) {
        ul_errorsetmsgfmt(0, u"Invalid entry size %ld", slotSize);
        return UL_ERROR_RETURN(-1);
    }
    int ordered = UL_BIGSORT_SKIPEQUAL | UL_BIGSORT_REMOVEDUPS | UL_BIGSORT_GROUP |
                  UL_BIGSORT_DESCENDING;
    if (!compare && (flags & ordered)) {
        ul_errorsetmsgfmt(0, u"Sort flags %d need a compare object", flags & ordered);
        return UL_ERROR_RETURN(-1);
    }
    m_flags = flags;
    m_compare = compare;
    m_slotSize = slotSize;
    m_sortFlagsInUse = m_sortflags | UL_BigSortGlobalFlags;
    if (planMemory(slotSize, expectedEntries) < 0) return UL_ERROR_RETURN(-1);
    m_handleNumber = nextHandleNumber++;
    m_state = State::Accepting;
    return 0;
}

// Fixes the slot, the number of temporary files and the entries held in memory. The block
// grows towards that number as entries arrive, so a small sort takes little memory.
int ULBigSortHandle::planMemory(long slotSize, long expectedEntries) {
    size_t align = (m_sortFlagsInUse & UL_BIGSORT_MAXALIGNENTRY) ? 8 : 2;
    m_slot = (static_cast<size_t>(slotSize) + align - 1) / align * align;
    size_t footprint = m_slot + kDescriptor;
    size_t limit = m_maxmemory;
    size_t sequences = static_cast<size_t>(m_nrsequences);
    bool enough;
    if (m_nrsequences > 2 && sequences * footprint <= limit) {
        enough = sequences * footprint < limit;
    } else {
        sequences = 3;
        enough = 3 * footprint < limit;
    }
    uint64_t entries = enough ? (limit - sequences * footprint) / footprint : 0;
    if (entries < 2) return ul_errorfail(u"Too little memory for sorting");
    if (expectedEntries > 0 && static_cast<uint64_t>(expectedEntries) < entries)
        entries = static_cast<uint64_t>(expectedEntries);
    m_nSeq = static_cast<int>(sequences);
    m_maxEntries = entries;
    UL_TRACE(UL_TRC_BIGSORT, 1, u"ul_bigsortopen: using %d temporary files and %lu memory entries.\n",
             m_nSeq, static_cast<unsigned long>(entries));
    UL_TRACE(UL_TRC_BIGSORT, 1, u"Allocating for maxEntries %lu: arrSize=%lu, bulkSize=%lu\n",
             static_cast<unsigned long>(entries), static_cast<unsigned long>(entries * kDescriptor),
             static_cast<unsigned long>(entries * m_slot));
    return 0;
}

int ULBigSortHandle::close(int flags) {
    if (m_state == State::Idle) return 0;
    if (flags & UL_BIGSORT_STATISTICS) writeStatistics();
    int rc = closeFiles();
    releaseMemory();
    m_state = State::Idle;
    m_flags = 0;
    m_compare = nullptr;
    m_putCount = m_putBytes = m_count = m_readIndex = 0;
    m_maxLength = 0;
    m_initialRuns = m_bytesWritten = m_bytesRead = m_maxFileSize = m_dataSize = 0;
    m_mergeLevels = m_filesUsed = 0;
    m_level = 0;
    m_finalSeq = -1;
    m_external = false;
    m_memPeak = 0;
    m_allocatedPeak = 0;
    m_runLength = 0;
    m_haveCurrent = m_filePosValid = m_havePrevious = false;
    m_current.clear();
    m_previous.clear();
    m_current.shrink_to_fit();
    m_previous.shrink_to_fit();
    return rc;
}

int ULBigSortHandle::closeFiles() {
    int rc = 0;
    for (size_t i = 0; i < m_seqs.size(); ++i) {
        Sequence* seq = m_seqs[i];
        if (seq->file && fclose(seq->file) != 0) {
            int saved = errno;
            UL_TRACE(UL_TRC_BIGSORT, 2, u"Failed to close temp file fp=%p: %hs\n",
                     static_cast<void*>(seq->file), strerror(saved));
            UL_TRACE(UL_TRC_BIGSORT, 2, u"Failed to clean up temp file #%d, fp=%p: %hs\n",
                     seq->number, static_cast<void*>(seq->file), strerror(saved));
            ul_errorsetmsgfmt(rc < 0 ? unsigned{UL_ERR_APPEND} : 0u, u"Cannot close sequence file #%d",
                              seq->number);
            rc = -1;
        }
        delete seq;
    }
    m_seqs.clear();
    if (rc < 0) ul_errorsetmsg(UL_ERR_APPEND, u"Cannot close temporary files");
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// Frees the heap blocks of the live descriptors and the bulk block.
void ULBigSortHandle::releaseMemory() {
    for (uint64_t i = 0; i < m_used; ++i)
        if (m_entries[i].maxLength > 0) free(m_entries[i].data);
    free(m_block);
    m_block = nullptr;
    m_entries = nullptr;
    m_bulk = nullptr;
    m_capacity = m_held = m_used = m_heapSize = 0;
    m_memInUse = 0;
    m_scratch.clear();
    m_scratch.shrink_to_fit();
}

void ULBigSortHandle::addMemory(size_t bytes) {
    m_memInUse += bytes;
    m_memPeak = std::max(m_memPeak, m_memInUse);
}

void ULBigSortHandle::writeStatistics() {
    double average = m_putCount ? static_cast<double>(m_putBytes) / m_putCount : 0.0;
    ul_msgwrite_printf399(1, u' ',
                          u"Sort statistics: %lu entries, %d MB memory allocated for %lu entries, "
                          u"%.1f B average size.",
                          static_cast<unsigned long>(m_putCount), static_cast<int>(mb(m_memPeak)),
                          static_cast<unsigned long>(m_allocatedPeak), average);
    if (m_filesUsed == 0) return;
    ul_msgwrite_printf399(1, u' ', u"External sorter: %d temp files, %lu MB data size.",
                          m_filesUsed, mb(m_dataSize));
    double runLength = m_initialRuns ? static_cast<double>(m_putCount) / m_initialRuns : 0.0;
    ul_msgwrite_printf399(1, u' ',
                          u"%d iterations, %lu/%lu MB written/read, %lu MB max temp file size, "
                          u"%.0f average run length.",
                          m_mergeLevels, mb(m_bytesWritten), mb(m_bytesRead), mb(m_maxFileSize),
                          runLength);
}

// ==== comparison and heap ======================================================================

int ULBigSortHandle::cmp(const void* a, uint32_t aLength, const void* b, uint32_t bLength) const {
    int r = m_compare->compare(a, aLength, b, bLength);
    if (!(m_flags & UL_BIGSORT_DESCENDING)) return r;
    return (r < 0) - (r > 0);
}

int ULBigSortHandle::cmpEntries(const ULBigSortEntry& a, const ULBigSortEntry& b) const {
    return cmp(a.data, a.length, b.data, b.length);
}

// Restores the heap order below `from` after its element changed: the hole goes down along
// the smaller children to a leaf and the element rises from there, which needs about one
// comparison per level instead of two.
void ULBigSortHandle::siftDown(uint64_t from, uint64_t size) {
    ULBigSortEntry* e = m_entries;
    ULBigSortEntry x = e[from];
    uint64_t i = from;
    for (uint64_t c = 2 * i + 1; c < size; c = 2 * i + 1) {
        // A large heap lives outside the caches: fetch ahead the entries of the next level
        // and the descriptors of the one after, whichever child the comparison picks. (Going
        // further ahead costs more memory traffic than it saves in waiting.)
        uint64_t g = 2 * c + 1;
        if (g + 3 < size) {
            for (uint64_t k = g; k < g + 4; ++k) __builtin_prefetch(e[k].data);
            if (2 * g + 8 < size) {
                __builtin_prefetch(&e[2 * g + 1]);
                __builtin_prefetch(&e[2 * g + 5]);
            }
        }
        if (c + 1 < size && cmpEntries(e[c + 1], e[c]) < 0) ++c;
        e[i] = e[c];
        i = c;
    }
    while (i > from) {
        uint64_t p = (i - 1) / 2;
        if (cmpEntries(x, e[p]) >= 0) break;
        e[i] = e[p];
        i = p;
    }
    e[i] = x;
}

void ULBigSortHandle::heapify(uint64_t size) {
    for (uint64_t i = size / 2; i-- > 0;) siftDown(i, size);
}

// ==== putting ==================================================================================

int ULBigSortHandle::put(const void* const* pieces, const uint32_t* lengths, int count) {
    if (usable() < 0) return UL_ERROR_RETURN(-1);
    if (m_state != State::Accepting) return ul_errorfail(u"Sorting stream already closed");
    if (count == 0 && !pieces) return finishInput();
    if (count < 1 || !pieces || !lengths) return ul_errorfail(u"Invalid entry for sorting");
    uint64_t total = 0;
    for (int i = 0; i < count; ++i) total += lengths[i];
    uint64_t limit = isVariableLength() ? kMaxEntryLength : static_cast<uint64_t>(m_slotSize);
    if (total > limit) {
        ul_errorsetmsgfmt(0, u"Entry length %lu too large, limit is %lu",
                          static_cast<unsigned long>(total), static_cast<unsigned long>(limit));
        return UL_ERROR_RETURN(-1);
    }
    Pieces in{pieces, lengths, count, static_cast<uint32_t>(total)};
    if (!isVariableLength()) in.total = static_cast<uint32_t>(m_slotSize);
    int rc = m_external ? putExternal(in) : putInMemory(in);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    ++m_putCount;
    m_putBytes += in.total;
    m_maxLength = std::max(m_maxLength, in.total);
    return 0;
}

// Copies the pieces into the entry's storage, moving it to a heap block of exactly the
// entry's length when the storage is too small. Fixed-length entries are padded with zeros.
int ULBigSortHandle::storeEntry(ULBigSortEntry& entry, const Pieces& in) {
    uint32_t room = entry.maxLength < 0 ? static_cast<uint32_t>(-entry.maxLength)
                                        : static_cast<uint32_t>(entry.maxLength);
    if (in.total > room) {
        void* block = entry.maxLength > 0 ? ul_realloc(entry.data, in.total) : ul_malloc(in.total);
        if (!block) return fail();
        addMemory(in.total);
        if (entry.maxLength > 0) m_memInUse -= static_cast<size_t>(entry.maxLength);
        entry.data = static_cast<unsigned char*>(block);
        entry.maxLength = static_cast<int32_t>(in.total);
    }
    uint32_t offset = 0;
    for (int i = 0; i < in.count; ++i) {
        if (in.lengths[i]) memcpy(entry.data + offset, in.pieces[i], in.lengths[i]);
        offset += in.lengths[i];
    }
    if (offset < in.total) memset(entry.data + offset, 0, in.total - offset);
    entry.length = in.total;
    return 0;
}

int ULBigSortHandle::growBlock() {
    uint64_t grown = std::min(std::max(m_capacity * 2, kFirstBlockEntries), m_maxEntries);
    size_t footprint = m_slot + kDescriptor;
    void* moved = ul_realloc(m_block, grown * footprint);
    if (!moved) return fail();
    unsigned char* block = static_cast<unsigned char*>(moved);
    // The slots follow the descriptors: move them behind the larger descriptor array. Before
    // sorting, entry i always lives in slot i.
    unsigned char* bulk = block + grown * kDescriptor;
    memmove(bulk, block + m_capacity * kDescriptor, m_held * m_slot);
    m_block = block;
    m_entries = reinterpret_cast<ULBigSortEntry*>(block);
    m_bulk = bulk;
    for (uint64_t i = 0; i < m_held; ++i)
        if (m_entries[i].maxLength <= 0) m_entries[i].data = bulk + i * m_slot;
    addMemory((grown - m_capacity) * footprint);
    m_capacity = grown;
    m_allocatedPeak = std::max(m_allocatedPeak, m_capacity);
    return 0;
}

int ULBigSortHandle::putInMemory(const Pieces& in) {
    if (m_held >= 2 && m_held < m_maxEntries && m_memInUse >= m_maxmemory) {
        ul_msgwrite_printf399(1, u' ',
                              u"Moving to external sorting at %lu/%lu entries to limit memory usage.",
                              static_cast<unsigned long>(m_held),
                              static_cast<unsigned long>(m_maxEntries));
        m_maxEntries = m_held;
    }
    if (m_held == m_maxEntries) {
        if (startExternal() < 0) return UL_ERROR_RETURN(-1);
        return putExternal(in);
    }
    if (m_held == m_capacity && growBlock() < 0) return UL_ERROR_RETURN(-1);
    ULBigSortEntry& entry = m_entries[m_held];
    entry.data = m_bulk + m_held * m_slot;
    entry.length = 0;
    entry.maxLength = -static_cast<int32_t>(m_slot);
    ++m_held;
    m_used = m_held;
    return storeEntry(entry, in);
}

// The caller's entry as one contiguous block (for comparing before it is stored).
const unsigned char* ULBigSortHandle::contiguous(const Pieces& in) {
    if (in.count == 1 && in.lengths[0] == in.total)
        return static_cast<const unsigned char*>(in.pieces[0]);
    m_scratch.assign(in.total, 0);
    uint32_t offset = 0;
    for (int i = 0; i < in.count; ++i) {
        if (in.lengths[i]) memcpy(m_scratch.data() + offset, in.pieces[i], in.lengths[i]);
        offset += in.lengths[i];
    }
    return m_scratch.data();
}

// ==== replacement selection and distribution ===================================================

int ULBigSortHandle::startExternal() {
    m_external = true;
    m_seqs.reserve(static_cast<size_t>(m_nSeq));
    size_t bufferSize = std::clamp<size_t>(m_maxmemory / 16 / static_cast<size_t>(m_nSeq),
                                           4096, 65536);
    for (int i = 0; i < m_nSeq; ++i) {
        Sequence* seq = new (std::nothrow) Sequence;
        if (!seq) {
            ul_erroroutofmemory();
            return fail();
        }
        m_seqs.push_back(seq);
        seq->number = i;
        seq->buffer.reset(new (std::nothrow) char[bufferSize]);
        if (!seq->buffer) {
            ul_erroroutofmemory();
            return fail();
        }
        m_bufferSize = bufferSize;
        bool last = i == m_nSeq - 1;
        seq->perfect = seq->dummies = last ? 0 : 1;
    }
    m_level = 1;
    m_curSeq = 0;
    m_seqs[0]->dummies--;
    m_runLength = 0;
    if (!m_compare) return spoolMemory();
    m_heapSize = m_held;
    heapify(m_heapSize);
    return 0;
}

// Picks the sequence for the next run: the horizontal distribution of dummy runs.
void ULBigSortHandle::chooseSequence() {
    std::vector<Sequence*>& s = m_seqs;
    int j = m_curSeq;
    if (s[j]->dummies < s[j + 1]->dummies) {
        ++j;
    } else {
        if (s[j]->dummies == 0) {
            ++m_level;
            uint64_t a = s[0]->perfect;
            for (int k = 0; k < m_nSeq - 1; ++k) {
                s[k]->dummies = a + s[k + 1]->perfect - s[k]->perfect;
                s[k]->perfect = a + s[k + 1]->perfect;
            }
        }
        j = 0;
    }
    s[j]->dummies--;
    m_curSeq = j;
}

int ULBigSortHandle::endRun() {
    if (m_runLength == 0) return 0;
    m_seqs[m_curSeq]->runs.push_back(m_runLength);
    ++m_initialRuns;
    m_runLength = 0;
    return 0;
}

int ULBigSortHandle::openSequence(Sequence& seq) {
    if (seq.file) return 0;
    FILE* file = nullptr;
    if (m_sorttempfile(m_sorttempfileptr, &file, m_handleNumber, seq.number) < 0 || !file) {
        if (file) fclose(file);
        return fail();
    }
    seq.file = file;
    setvbuf(file, seq.buffer.get(), _IOFBF, m_bufferSize);
    ++m_filesUsed;
    return 0;
}

int ULBigSortHandle::writeEntry(Sequence& seq, const unsigned char* data, uint32_t length) {
    if (!seq.file && openSequence(seq) < 0) return UL_ERROR_RETURN(-1);
    size_t bytes = length;
    if (isVariableLength()) {
        unsigned char prefix[kMaxPrefix];
        int n = ul_bigsortencodelength(length, prefix);
        if (fwrite_unlocked(prefix, 1, static_cast<size_t>(n), seq.file) != static_cast<size_t>(n))
            return writeFailed();
        bytes += static_cast<size_t>(n);
    }
    if (length && fwrite_unlocked(data, 1, length, seq.file) != length) return writeFailed();
    seq.writePos += bytes;
    m_bytesWritten += bytes;
    m_maxFileSize = std::max(m_maxFileSize, seq.writePos);
    return 0;
}

int ULBigSortHandle::writeFailed() {
    systemError(errno, u"Cannot write to temporary file");
    return fail();
}

// Writes the heap's smallest entry to the current run.
int ULBigSortHandle::writeTop() {
    const ULBigSortEntry& top = m_entries[0];
    if (writeEntry(*m_seqs[m_curSeq], top.data, top.length) < 0) return UL_ERROR_RETURN(-1);
    m_dataSize = m_bytesWritten;
    ++m_runLength;
    return 0;
}

int ULBigSortHandle::putExternal(const Pieces& in) {
    if (!m_compare) {
        const unsigned char* data = contiguous(in);
        if (writeEntry(*m_seqs[0], data, in.total) < 0) return UL_ERROR_RETURN(-1);
        m_dataSize = m_bytesWritten;
        ++m_runLength;
        return 0;
    }
    if (writeTop() < 0) return UL_ERROR_RETURN(-1);
    const unsigned char* data = contiguous(in);
    // An entry smaller than the one just written cannot extend this run: it is parked behind
    // the heap for the next run.
    bool park = cmp(data, in.total, m_entries[0].data, m_entries[0].length) < 0;
    Pieces whole{reinterpret_cast<const void* const*>(&data), &in.total, 1, in.total};
    if (storeEntry(m_entries[0], whole) < 0) return UL_ERROR_RETURN(-1);
    if (park) {
        std::swap(m_entries[0], m_entries[m_heapSize - 1]);
        --m_heapSize;
    }
    if (m_heapSize > 0) {
        siftDown(0, m_heapSize);
        return 0;
    }
    endRun();
    chooseSequence();
    m_heapSize = m_held;
    heapify(m_heapSize);
    return 0;
}

// Without a compare object the entries go to sequence 0 in input order.
int ULBigSortHandle::spoolMemory() {
    for (uint64_t i = 0; i < m_held; ++i) {
        if (writeEntry(*m_seqs[0], m_entries[i].data, m_entries[i].length) < 0)
            return UL_ERROR_RETURN(-1);
        ++m_runLength;
    }
    m_dataSize = m_bytesWritten;
    releaseMemory();
    return 0;
}

// End of input during replacement selection: the heap becomes the rest of the current run,
// then the parked entries form the next run, until nothing is left.
int ULBigSortHandle::drainHeap() {
    while (m_held > 0) {
        uint64_t heapStart = m_heapSize;
        while (m_heapSize > 0) {
            if (writeTop() < 0) return UL_ERROR_RETURN(-1);
            std::swap(m_entries[0], m_entries[m_heapSize - 1]);
            if (--m_heapSize > 0) siftDown(0, m_heapSize);
        }
        endRun();
        uint64_t parked = m_held - heapStart;
        for (uint64_t k = 0; k < parked; ++k) std::swap(m_entries[k], m_entries[heapStart + k]);
        m_held = m_heapSize = parked;
        if (parked == 0) break;
        chooseSequence();
        heapify(m_heapSize);
    }
    return 0;
}

// ==== end of input =============================================================================

int ULBigSortHandle::finishInput() {
    if (!m_external) return sortInMemory();
    if (m_compare) {
        if (drainHeap() < 0) return UL_ERROR_RETURN(-1);
    } else {
        endRun();
    }
    releaseMemory();
    if (mergeAll() < 0) return UL_ERROR_RETURN(-1);
    if ((m_flags & UL_BIGSORT_REMOVEDUPS) && compactFinal() < 0) return UL_ERROR_RETURN(-1);
    if (rewindForReading(*m_seqs[m_finalSeq]) < 0) return UL_ERROR_RETURN(-1);
    m_filePosValid = true;
    m_fileIndex = 0;
    m_state = State::InFile;
    return 0;
}

int ULBigSortHandle::sortInMemory() {
    uint64_t kept = m_held;
    if (m_compare) {
        std::sort(m_entries, m_entries + m_held, [this](const ULBigSortEntry& a,
                                                        const ULBigSortEntry& b) {
            return cmpEntries(a, b) < 0;
        });
        if (m_flags & UL_BIGSORT_REMOVEDUPS) kept = removeDuplicates();
    }
    shrinkBlock(kept);
    m_count = kept;
    m_state = State::InMemory;
    return 0;
}

// Drops adjacent equal entries of the sorted array, keeping the first of each.
uint64_t ULBigSortHandle::removeDuplicates() {
    if (m_held == 0) return 0;
    uint64_t w = 1;
    for (uint64_t r = 1; r < m_held; ++r) {
        ULBigSortEntry& e = m_entries[r];
        if (cmpEntries(m_entries[w - 1], e) != 0) {
            m_entries[w++] = e;
        } else if (e.maxLength > 0) {
            free(e.data);
            m_memInUse -= static_cast<size_t>(e.maxLength);
        }
    }
    m_used = w;
    return w;
}

// Gives back the descriptors behind the kept entries and the slots no entry ever used: the
// slots move down behind the kept descriptors and the block shrinks.
void ULBigSortHandle::shrinkBlock(uint64_t kept) {
    if (!m_block || kept == m_capacity) return;
    if (kept == 0) {
        releaseMemory();
        return;
    }
    unsigned char* bulk = m_block + kept * kDescriptor;
    memmove(bulk, m_bulk, m_held * m_slot);
    for (uint64_t i = 0; i < kept; ++i)
        if (m_entries[i].maxLength <= 0) m_entries[i].data -= m_bulk - bulk;
    size_t before = m_capacity * (m_slot + kDescriptor);
    size_t after = kept * kDescriptor + m_held * m_slot;
    auto* smaller = static_cast<unsigned char*>(realloc(m_block, after));
    if (smaller) {
        // The block may have moved: entries in slots move with it.
        uintptr_t from = reinterpret_cast<uintptr_t>(m_block);
        m_block = smaller;
        m_entries = reinterpret_cast<ULBigSortEntry*>(smaller);
        for (uint64_t i = 0; i < kept; ++i)
            if (m_entries[i].maxLength <= 0)
                m_entries[i].data = smaller + (reinterpret_cast<uintptr_t>(m_entries[i].data) - from);
        m_memInUse -= before - after;
    }
    m_bulk = m_block + kept * kDescriptor;
    m_capacity = kept;
}

// ==== merging ==================================================================================

int ULBigSortHandle::rewindForReading(Sequence& seq) {
    seq.readPos = 0;
    if (!seq.file) return 0;
    if (fflush(seq.file) != 0) return writeFailed();
    if (fseek(seq.file, 0, SEEK_SET) != 0) return seekFailed();
    return 0;
}

int ULBigSortHandle::rewindForWriting(Sequence& seq) {
    seq.writePos = 0;
    if (!seq.file) return 0;
    if (fseek(seq.file, 0, SEEK_SET) != 0) return seekFailed();
    return 0;
}

// After a merge level the output must hold every byte written to it: a write that the stream
// lost (a full disk noticed late) must not pass unseen.
int ULBigSortHandle::checkWritten(Sequence& seq) {
    if (!seq.file) return 0;
    if (fflush(seq.file) != 0) return writeFailed();
    off_t end = ftello(seq.file);
    if (end < 0) {
        systemError(errno, u"Cannot get position in temporary file");
        return fail();
    }
    if (static_cast<uint64_t>(end) != seq.writePos) {
        errno = EIO;
        return writeFailed();
    }
    return 0;
}

int ULBigSortHandle::seekFailed() {
    systemError(errno, u"Cannot seek in temporary file");
    return fail();
}

// Empties a file whose content has been read to the end (with the truncate sort flag).
int ULBigSortHandle::truncateSequence(Sequence& seq) {
    if (!seq.file || !(m_sortFlagsInUse & UL_BIGSORT_TRUNCATE)) return 0;
    if (fflush(seq.file) != 0) return writeFailed();
    if (ftruncate(fileno(seq.file), 0) != 0) {
        systemError(errno, u"Cannot truncate temporary file");
        return fail();
    }
    return 0;
}

// Reads the next entry of a sequence into buffer. The length prefix of a variable-length
// entry is bounded by the longest entry put, so a damaged file cannot make it allocate.
int ULBigSortHandle::readEntry(Sequence& seq, std::vector<unsigned char>& buffer,
                               uint32_t* length) {
    uint64_t at = seq.readPos;
    uint64_t n = static_cast<uint64_t>(m_slotSize);
    int prefix = 0;
    if (isVariableLength()) {
        n = 0;
        int c;
        do {
            c = getc_unlocked(seq.file);
            if (c == EOF || ++prefix > kMaxPrefix) return readFailed(at);
            n = (n << 7) | static_cast<unsigned>(c & 0x7f);
        } while (c & 0x80);
        if (n > m_maxLength) return readFailed(at);
    }
    if (buffer.size() < n) buffer.resize(n);
    if (n && fread_unlocked(buffer.data(), 1, n, seq.file) != n) return readFailed(at);
    seq.readPos += static_cast<uint64_t>(prefix) + n;
    m_bytesRead += static_cast<uint64_t>(prefix) + n;
    *length = static_cast<uint32_t>(n);
    return 0;
}

int ULBigSortHandle::readFailed(uint64_t position) {
    ul_errorsetmsgfmt(0, u"Cannot read temporary file at position %lu",
                      static_cast<unsigned long>(position));
    return fail();
}

// Merges one run from every input without dummy runs onto the output, through a heap of
// input indexes ordered by their head entries.
int ULBigSortHandle::mergeStep(std::vector<int>& active, Sequence& out) {
    auto less = [this](int a, int b) {
        const Sequence& x = *m_seqs[a];
        const Sequence& y = *m_seqs[b];
        return cmp(x.head.data(), x.headLength, y.head.data(), y.headLength) < 0;
    };
    auto sift = [&](size_t i) {
        size_t n = active.size();
        for (size_t c = 2 * i + 1; c < n; i = c, c = 2 * i + 1) {
            if (c + 1 < n && less(active[c + 1], active[c])) ++c;
            if (!less(active[c], active[i])) break;
            std::swap(active[i], active[c]);
        }
    };
    uint64_t total = 0;
    for (int index : active) {
        Sequence& seq = *m_seqs[index];
        seq.left = seq.runs.front();
        seq.runs.pop_front();
        total += seq.left;
        if (readEntry(seq, seq.head, &seq.headLength) < 0) return UL_ERROR_RETURN(-1);
    }
    for (size_t i = active.size() / 2; i-- > 0;) sift(i);
    while (!active.empty()) {
        Sequence& seq = *m_seqs[active[0]];
        if (writeEntry(out, seq.head.data(), seq.headLength) < 0) return UL_ERROR_RETURN(-1);
        if (--seq.left > 0) {
            if (readEntry(seq, seq.head, &seq.headLength) < 0) return UL_ERROR_RETURN(-1);
        } else {
            active[0] = active.back();
            active.pop_back();
        }
        sift(0);
    }
    out.runs.push_back(total);
    return 0;
}

// One level of the polyphase merge: inputs 0 .. T-2 onto T-1 until input T-2 is used up.
int ULBigSortHandle::mergePhase() {
    int last = m_nSeq - 1;
    Sequence& out = *m_seqs[last];
    if (rewindForWriting(out) < 0) return UL_ERROR_RETURN(-1);
    std::vector<int> active;
    while (!m_seqs[last - 1]->runs.empty() || m_seqs[last - 1]->dummies > 0) {
        bool allDummy = true;
        for (int j = 0; j < last; ++j) allDummy = allDummy && m_seqs[j]->dummies > 0;
        active.clear();
        for (int j = 0; j < last; ++j) {
            Sequence& in = *m_seqs[j];
            if (in.dummies > 0) {
                in.dummies--;
            } else if (in.runs.empty()) {
                return consistencyFailed(u"an input of the merge has no run left");
            } else {
                active.push_back(j);
            }
        }
        if (allDummy) {
            out.dummies++;
            continue;
        }
        if (mergeStep(active, out) < 0) return UL_ERROR_RETURN(-1);
    }
    // The used-up input becomes the next output, the output the first input.
    for (int j = 0; j < last; ++j) {
        Sequence& in = *m_seqs[j];
        if (in.runs.empty() && in.dummies == 0 && truncateSequence(in) < 0)
            return UL_ERROR_RETURN(-1);
    }
    if (checkWritten(out) < 0 || rewindForReading(out) < 0) return UL_ERROR_RETURN(-1);
    std::rotate(m_seqs.begin(), m_seqs.end() - 1, m_seqs.end());
    ++m_mergeLevels;
    return 0;
}

int ULBigSortHandle::mergeAll() {
    for (Sequence* seq : m_seqs)
        if (rewindForReading(*seq) < 0) return UL_ERROR_RETURN(-1);
    // A single run is already the sorted file.
    if (m_initialRuns > 1) {
        for (; m_level > 0; --m_level)
            if (mergePhase() < 0) return UL_ERROR_RETURN(-1);
    }
    m_finalSeq = -1;
    for (int j = 0; j < m_nSeq; ++j) {
        const Sequence& seq = *m_seqs[j];
        if (seq.runs.empty()) continue;
        if (m_finalSeq >= 0 || seq.runs.size() != 1)
            return consistencyFailed(u"more than one run is left after the merge");
        m_finalSeq = j;
    }
    uint64_t entries = m_finalSeq < 0 ? 0 : m_seqs[m_finalSeq]->runs.front();
    if (entries != m_putCount) return consistencyFailed(u"the merge lost or added entries");
    if (m_finalSeq < 0) m_finalSeq = 0;
    m_count = entries;
    return 0;
}

int ULBigSortHandle::consistencyFailed(const char16_t* what) {
    ul_errorsetmsgfmt(0, u"External sort inconsistent: %s (%lu entries put, %lu runs)", what,
                      static_cast<unsigned long>(m_putCount),
                      static_cast<unsigned long>(m_initialRuns));
    return fail();
}

// Removes equal neighbours from the final file in place: entries are read from the start and
// the kept ones written back at the write position, which never passes the read position.
int ULBigSortHandle::compactFinal() {
    Sequence& seq = *m_seqs[m_finalSeq];
    if (!seq.file || m_count == 0) return 0;
    if (rewindForReading(seq) < 0) return UL_ERROR_RETURN(-1);
    int fd = fileno(seq.file);
    std::vector<unsigned char> out;
    std::vector<unsigned char> kept, next;
    uint32_t keptLength = 0, nextLength = 0;
    uint64_t writeAt = 0, keptCount = 0;
    auto flush = [&]() {
        size_t done = 0;
        while (done < out.size()) {
            ssize_t n = pwrite(fd, out.data() + done, out.size() - done,
                               static_cast<off_t>(writeAt + done));
            if (n <= 0) return -1;
            done += static_cast<size_t>(n);
        }
        m_bytesWritten += out.size();
        writeAt += out.size();
        out.clear();
        return 0;
    };
    auto append = [&](const unsigned char* data, uint32_t length) {
        if (isVariableLength()) {
            unsigned char prefix[kMaxPrefix];
            int n = ul_bigsortencodelength(length, prefix);
            out.insert(out.end(), prefix, prefix + n);
        }
        out.insert(out.end(), data, data + length);
        ++keptCount;
    };
    size_t flushAt = std::max<size_t>(m_bufferSize, 1u << 16);
    for (uint64_t i = 0; i < m_count; ++i) {
        if (readEntry(seq, next, &nextLength) < 0) return UL_ERROR_RETURN(-1);
        if (i > 0 && cmp(kept.data(), keptLength, next.data(), nextLength) == 0) continue;
        append(next.data(), nextLength);
        std::swap(kept, next);
        keptLength = nextLength;
        if (out.size() >= flushAt && flush() < 0) return writeFailed();
    }
    if (flush() < 0) return writeFailed();
    if ((m_sortFlagsInUse & UL_BIGSORT_TRUNCATE) && ftruncate(fd, static_cast<off_t>(writeAt)) != 0) {
        systemError(errno, u"Cannot truncate temporary file");
        return fail();
    }
    m_count = keptCount;
    return 0;
}

// ==== reading back =============================================================================

int ULBigSortHandle::readyForReading() {
    if (usable() < 0) return UL_ERROR_RETURN(-1);
    if (m_state == State::Accepting && finishInput() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

// The entry at index: a pointer into the array, or the entry read from the final file.
int ULBigSortHandle::fetch(uint64_t index, const unsigned char** data, uint32_t* length) {
    if (m_state == State::InMemory) {
        *data = m_entries[index].data;
        *length = m_entries[index].length;
        return 0;
    }
    if (!(m_haveCurrent && m_currentIndex == index)) {
        Sequence& seq = *m_seqs[m_finalSeq];
        if (!m_filePosValid || m_fileIndex != index) {
            if (isVariableLength())
                return ul_errorfail(u"No direct access for variable length stream");
            uint64_t at = index * static_cast<uint64_t>(m_slotSize);
            if (fseeko(seq.file, static_cast<off_t>(at), SEEK_SET) != 0) return seekFailed();
            seq.readPos = at;
        }
        m_filePosValid = false;
        if (readEntry(seq, m_current, &m_currentLength) < 0) return UL_ERROR_RETURN(-1);
        m_filePosValid = true;
        m_fileIndex = index + 1;
        m_currentIndex = index;
        m_haveCurrent = true;
    }
    *data = m_current.data();
    *length = m_currentLength;
    return 0;
}

// Positions on the next entry to deliver and tells whether it starts a group; with flag 1
// alone, entries equal to the previous one are passed over.
int ULBigSortHandle::nextDeliverable(const unsigned char** data, uint32_t* length, int* result) {
    bool grouped = (m_flags & (UL_BIGSORT_SKIPEQUAL | UL_BIGSORT_GROUP)) != 0;
    for (;;) {
        if (m_readIndex >= m_count) return UL_BIGSORT_END;
        if (fetch(m_readIndex, data, length) < 0) return UL_ERROR_RETURN(-1);
        *result = 0;
        if (!grouped) return 0;
        if (!m_havePrevious || cmp(m_prevData, m_prevLength, *data, *length) != 0) {
            *result = UL_BIGSORT_NEWGROUP;
            return 0;
        }
        if (m_flags & UL_BIGSORT_GROUP) return 0;
        ++m_readIndex;
    }
}

int ULBigSortHandle::deliver(const unsigned char* data, uint32_t length, void* const* pieces,
                             uint32_t* lengths, int count) {
    if (count < 1 || !lengths) return ul_errorfail(u"Invalid buffer for sorted entry");
    uint32_t remaining = length;
    uint32_t offset = 0;
    for (int i = 0; i < count - 1; ++i) {
        uint32_t n = std::min(lengths[i], remaining);
        if (pieces && n) memcpy(pieces[i], data + offset, n);
        lengths[i] = n;
        offset += n;
        remaining -= n;
    }
    if (pieces) {
        if (remaining > lengths[count - 1]) return ul_errorfail(u"Buffer too small");
        if (remaining) memcpy(pieces[count - 1], data + offset, remaining);
    }
    lengths[count - 1] = remaining;
    return 0;
}

// Remembers the delivered entry as the previous one for grouping.
void ULBigSortHandle::consume(const unsigned char* data, uint32_t length) {
    if (m_state == State::InFile && m_haveCurrent) {
        std::swap(m_current, m_previous);
        m_haveCurrent = false;
        data = m_previous.data();
    }
    m_prevData = data;
    m_prevLength = length;
    m_havePrevious = true;
}

int ULBigSortHandle::get(long index, void* const* pieces, uint32_t* lengths, int count) {
    if (readyForReading() < 0) return UL_ERROR_RETURN(-1);
    const unsigned char* data = nullptr;
    uint32_t length = 0;
    int result = 0;
    if (index == UL_BIGSORT_NEXT || index == UL_BIGSORT_PEEK) {
        int rc = nextDeliverable(&data, &length, &result);
        if (rc != 0) return rc;
        if (deliver(data, length, pieces, lengths, count) < 0) return UL_ERROR_RETURN(-1);
        if (index == UL_BIGSORT_NEXT) {
            consume(data, length);
            ++m_readIndex;
        }
        return result;
    }
    if (index < 0) {
        ul_errorsetmsgfmt(0, u"Invalid entry index %ld", index);
        return UL_ERROR_RETURN(-1);
    }
    if (m_flags & (UL_BIGSORT_SKIPEQUAL | UL_BIGSORT_GROUP))
        return ul_errorfail(u"Invalid call: No direct access with grouping or removing duplicates");
    if (m_state == State::InFile && isVariableLength())
        return ul_errorfail(u"No direct access for variable length stream");
    if (static_cast<uint64_t>(index) >= m_count) return UL_BIGSORT_END;
    if (fetch(static_cast<uint64_t>(index), &data, &length) < 0) return UL_ERROR_RETURN(-1);
    if (deliver(data, length, pieces, lengths, count) < 0) return UL_ERROR_RETURN(-1);
    m_readIndex = static_cast<uint64_t>(index) + 1;
    return 0;
}

long ULBigSortHandle::find(const void* key, uint32_t keyLength, ULBigSortCompare* compare) {
    if (readyForReading() < 0) return UL_ERROR_RETURN(-1);
    ULBigSortCompare* order = compare ? compare : m_compare;
    if (!order) return ul_errorfail(u"No compare object for searching");
    if (m_state == State::InFile && isVariableLength())
        return ul_errorfail(u"No direct access for variable length stream");
    uint64_t lo = 0, hi = m_count;
    while (lo < hi) {
        uint64_t mid = lo + (hi - lo) / 2;
        const unsigned char* data = nullptr;
        uint32_t length = 0;
        if (fetch(mid, &data, &length) < 0) return UL_ERROR_RETURN(-1);
        int r = order->compare(key, keyLength, data, length);
        if (isDescending() ? r < 0 : r > 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    m_readIndex = lo;
    m_havePrevious = false;
    return static_cast<long>(lo);
}

// The import optimiser: reads the request queue of an import buffer, the object lists of its
// requests from E070/E071 (or their shadow tables), sorts the source-code-like object entries
// so that all entries of one object meet, and marks the entries that a later request of the
// same group imports again (LOCKFLAG), so that the importer skips them.
//
// Also home of what the key-trace generator shares with it: the import buffer reader, the
// packing of small integers into sort records and the record sorter (in memory or external).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ulbigsort.h"

// ---- import buffer -------------------------------------------------------------------------

enum : int {
    UL_BUFFER_SYNCMARKS = 1,   // keep the "SYNCMARK" lines as separators
    UL_BUFFER_PLAINNAMES = 2,  // request names only, without ", client <client>"
};
constexpr char16_t UL_BUFFER_SYNCMARK[] = u"SYNCMARK";

// Appends the request names of the import buffer `file` to list in file order: "#" lines,
// empty names and "STOPMARK" are skipped, "SYNCMARK" is kept only with UL_BUFFER_SYNCMARKS.
// Without UL_BUFFER_PLAINNAMES a request that names a client is listed as
// "<name>, client <client>". Returns the number of names appended, or -1 ("Incomprehensible
// buffer line '%s'", or the reader's error with file and line).
[[nodiscard]] int ul_buffergettransports(std::vector<std::u16string>* list, const char16_t* file,
                                         int mode);

// ---- packing -------------------------------------------------------------------------------

// Unsigned integers in sort records: variable length (7 bits a byte, the high bit set on every
// byte but the last, most significant group first) or fixed length (4 bytes, big-endian).
// Both return the bytes written at out (which must hold 5).
unsigned ul_packuint(unsigned char* out, unsigned long value, bool fixed);
// Reads one integer packed as above at *in (not beyond end), advancing *in. -1 when the record
// ends within it.
[[nodiscard]] int ul_unpackuint(const unsigned char** in, const unsigned char* end, bool fixed,
                                unsigned long* value);

// ---- record sorter -------------------------------------------------------------------------

// Sorts byte records in the order of a ULBigSortCompare: in memory (all records in one arena,
// std::sort over their offsets) or through ULBigSortHandle under a memory limit, spilling to
// temporary files. Used as open, put..., finish, next..., close.
class ULRecordSorter {
  public:
    ULRecordSorter() = default;
    ~ULRecordSorter();
    ULRecordSorter(const ULRecordSorter&) = delete;
    ULRecordSorter& operator=(const ULRecordSorter&) = delete;

    // maxmemory 0: in memory without limit; else the external sorter's process-wide limit
    // until close. slot: the length of every record when not variable, else the expected
    // average length. Returns 0 or -1.
    [[nodiscard]] int open(unsigned long maxmemory, unsigned slot, bool variable,
                           ULBigSortCompare* compare);
    [[nodiscard]] int put(const unsigned char* record, unsigned length);
    // Ends the input and sorts. Returns 0 or -1.
    [[nodiscard]] int finish();
    // The next record in order: 1 (record/length valid until the next call), 0 at the end, -1.
    [[nodiscard]] int next(const unsigned char** record, unsigned* length);
    // Releases everything; with statistics the external sorter reports its figures first.
    void close(bool statistics);
    unsigned long count() const { return count_; }

  private:
    ULBigSortCompare* compare_ = nullptr;
    bool external_ = false;
    bool variable_ = false;
    std::unique_ptr<ULBigSortHandle> handle_;
    size_t savedMaxMemory_ = 0;  // the process-wide limit before open, back at close
    std::vector<unsigned char> arena_;
    std::vector<size_t> offsets_;  // record i: arena_[offsets_[i] .. offsets_[i + 1])
    std::vector<unsigned char> buffer_;
    size_t readIndex_ = 0;
    unsigned long count_ = 0;
};

// "maxmemory=" of the sorting commands: a size with K, M or G, or "unlimited" (0). Returns 0
// and the bytes, or -1 with the reason.
[[nodiscard]] int ul_parsemaxmemory(const char16_t* text, unsigned long* bytes);
// The usage lines of "maxmemory=" and the default.
std::u16string ul_maxmemoryusage(unsigned long defaultBytes);

constexpr unsigned long UL_SORT_DEFAULTMEMORY = 256ul << 20;

int cmd_OPTIMIZEIMPORT(unsigned int argc, const char16_t** argv);

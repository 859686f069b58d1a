// File helpers: opening, copying and moving, sizes and dates, path normalisation, locating
// executables, single lines, comparison and checksums. Paths are UTF-16 and reach the system
// as UTF-8. Failures return -1 (or null) with the reason in the error buffer; system errors
// carry the platform's text, and errno still holds the system error code afterwards.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

enum : int {
    // Failure without a message in the error buffer, for callers that decide by errno
    // (for example "a missing file is no error").
    UL_FILE_NOMSG = 1,
};

// Most symbolic links followed while normalising one path; more is taken for a loop.
constexpr int UL_FILE_MAXSYMLINKS = 40;

// Owns an open stream and closes it when the scope ends, on every path. The file helpers and
// the commands hold their files in it instead of closing by hand.
class ULFileHandle {
  public:
    ULFileHandle() = default;
    explicit ULFileHandle(FILE* stream) : stream_(stream) {}
    ~ULFileHandle() { (void)close(); }  // a failure here has no one left to tell
    ULFileHandle(ULFileHandle&& other) noexcept : stream_(other.release()) {}
    ULFileHandle& operator=(ULFileHandle&& other) noexcept;
    ULFileHandle(const ULFileHandle&) = delete;
    ULFileHandle& operator=(const ULFileHandle&) = delete;

    FILE* get() const { return stream_; }
    explicit operator bool() const { return stream_ != nullptr; }
    // Gives up ownership without closing.
    FILE* release();
    // Closes now; 0 without a stream. Returns fclose's result (errno set on failure), for
    // callers that word the message themselves.
    [[nodiscard]] int close();
    // Closes now and reports output that could not be written: -1 with "Cannot write to '%s'"
    // and the system error, else 0.
    [[nodiscard]] int closeChecked(const char16_t* path);

  private:
    FILE* stream_ = nullptr;
};

// fopen with the C mode string ("r", "wb", "a", ...). Null with "Cannot open '%s' mode='%s'"
// unless flags holds UL_FILE_NOMSG. A mode that only reads ("r", "rb") opens regular files
// only: a FIFO or a device fails at once (never blocks, never reads without end) with errno
// EINVAL and "Cannot open '%s' mode='%s': not a regular file", a directory with EISDIR.
FILE* ul_filefopen(const char16_t* path, const char16_t* mode, int flags);

// Copies source to destination so that the destination is replaced in one step: the bytes go
// to "<destination>.tmp" (created anew, never through an existing link), are synced to disk,
// get the source's permission bits, and the temporary file is renamed over the destination.
// A failure removes the temporary file and leaves the destination as it was. A directory
// source is refused. No flags are defined yet; pass 0. Returns 0 or -1.
[[nodiscard]] int ul_filecopy(const char16_t* source, const char16_t* destination, int flags);

// One rename; atomic, so both names must lie on the same file system. Returns 0 or -1.
[[nodiscard]] int ul_fileatomicmove(const char16_t* from, const char16_t* to);

// Whether anything exists under path (a file, directory or link, also a dangling one).
[[nodiscard]] bool ul_fileexists(const char16_t* path);

// Size in bytes, or -1. Directories are refused. flags: UL_FILE_NOMSG.
[[nodiscard]] long ul_filesize(const char16_t* path, int flags);
// The same for an open stream; output still buffered in the stream is written first, so it
// counts.
[[nodiscard]] long ul_filesize1(FILE* stream, int flags);

// The modification time of path as a time stamp in the format of ul_timegetstamp (ultime.h).
// Returns the length of the stamp, or -1 with "Cannot stat '%s'".
[[nodiscard]] int ul_filegetdate(const char16_t* path, char16_t* buffer, size_t size, int format);

// Rewrites path in place as an absolute path: a relative path is taken from the current
// directory, symbolic links are resolved component by component (a relative link target
// counts from the link's directory), and ".", ".." and repeated slashes are folded. Components
// that do not exist are kept as written, so a file still to be created can be normalised.
// Returns the new length, or -1 ("Cannot read symbolic link '%s'", "Too many indirections when
// resolving symlink '%s'" after UL_FILE_MAXSYMLINKS links, or the result does not fit into
// size code units).
[[nodiscard]] int ul_filenormalize(char16_t* path, size_t size);

// The absolute path of an executable: a name containing "/" is checked where it points to,
// any other name is searched in the directories of PATH. Returns the length or -1.
[[nodiscard]] int ul_filefindexecutable(const char16_t* name, char16_t* buffer, size_t size);
// Searches name in the colon-separated directories of the environment variable (null means
// "PATH"; an empty entry means the current directory) and writes the absolute path of the first
// executable regular file found. Returns the length, or -1 ("Environment variable '%s' does not
// exist, cannot locate executables", "Cannot locate '%s' in path '%s'").
[[nodiscard]] int ul_filelocateexebypath(const char16_t* name, const char16_t* variable,
                                         char16_t* buffer, size_t size);

// Results of the single-line readers.
enum : int {
    UL_LINE_EOF = 0,         // nothing left; the buffer holds an empty string
    UL_LINE_COMPLETE = 1,    // a line ended by a line feed
    UL_LINE_INCOMPLETE = 2,  // the last line of the file, without a final line feed
    UL_LINE_TOOLONG = 3,     // more than the limit arrived without a line feed
};

// The longest line, its line feed not counted, that the text readers (ULTextFileReader and
// the preprocessor behind templates, where files, table lists, structure files) take: 1 MiB,
// far above the longest line the tool writes (a condition of 16,384 code units is at most
// 48 KiB of UTF-8).
constexpr size_t UL_FILE_MAXLINEBYTES = size_t(1) << 20;

// Reads the bytes of one line up to and including its line feed into bytes, giving up once
// more than limit bytes have arrived (bytes then holds them). Returns UL_LINE_*, or -1 for a
// read error (errno set, no message).
int ul_filereadlinebytes(FILE* stream, std::string& bytes, size_t limit);

// Reads one UTF-8 line into buffer as UTF-16, without its line end (LF or CRLF). Returns one
// of UL_LINE_*, or -1 for a read error ("Cannot read '%s'") or a line that does not fit
// ("Line longer than %d characters in '%s'"). For lines of any length see ULTextFileReader.
[[nodiscard]] int ul_filereadline(FILE* stream, char16_t* buffer, size_t size);

// Raw lines map bytes to code units one to one (no decoding), so only code units below 256 can
// be written. The reader removes only the line feed. Results as ul_filereadline.
[[nodiscard]] int ul_filerawlineread(FILE* stream, char16_t* buffer, size_t size);
// Writes line followed by a line feed. Nothing is written when a code unit is 256 or above
// ("Invalid byte %d found in string '%s' at offset %d"). Returns 0, or -1 (also
// "Cannot write to '%s'").
[[nodiscard]] int ul_filerawlinewrite(FILE* stream, const char16_t* line);

// Compares two files byte by byte: 0 when equal, 1 when they differ, -1 when one cannot be
// read ("Cannot read '%s'"). No flags are defined yet; pass 0.
[[nodiscard]] int ul_filecompare(const char16_t* a, const char16_t* b, int flags);

// The CRC (ulcrc.h, register preset UL_CRC_INIT) over all bytes of the file. Returns 0 or -1.
[[nodiscard]] int ul_filechecksum(const char16_t* path, unsigned* result);

// Line-oriented UTF-8 text files seen as UTF-16 lines: the reader and writer that the tool's
// own files (CRC files, where files, count files, statement files, progress files) go through.
// Both stream line by line, so memory grows with the longest line, never with the file.
// Failures return -1 with the reason in the error buffer; the destructors close quietly.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

enum : int {
    // Reader: a line ending in a backslash continues on the next line; the backslash and the
    // line end are dropped, the next line is appended as it is.
    UL_TEXT_JOINLINES = 1,
    // Writer: append to an existing file instead of replacing it.
    UL_TEXT_APPEND = 2,
    // Writer: every write call is flushed to the system at once, so that a process that dies
    // loses nothing it wrote before (progress files that a rerun continues from).
    UL_TEXT_FLUSHLINES = 4,
};

class ULTextFileReader {
  public:
    ULTextFileReader() = default;
    ~ULTextFileReader();
    ULTextFileReader(const ULTextFileReader&) = delete;
    ULTextFileReader& operator=(const ULTextFileReader&) = delete;

    // Opens path for reading ("Cannot open '%s' mode='%s'", also for anything but a regular
    // file); closes a file opened before.
    [[nodiscard]] int open(const char16_t* path, int flags = 0);
    // Reads from a stream the caller keeps owning (standard input, for example); name is used
    // in messages.
    int attach(FILE* stream, const char16_t* name, int flags = 0);
    // Closes the file (an attached stream is only released). Returns 0.
    int close();
    bool isOpen() const { return m_stream != nullptr; }

    // Reads the next line: 1 when line() holds one, 0 at the end of the file, -1 on a read
    // error ("Cannot read '%s'") or a physical line longer than UL_FILE_MAXLINEBYTES ("Line %d
    // of '%s' is longer than %lu bytes"). The line end (LF or CRLF) is removed, a UTF-8 byte order mark
    // at the start of the file is skipped, and invalid UTF-8 becomes U+FFFD.
    [[nodiscard]] int readLine();

    // The current line, zero-terminated; callers may change it in place within length().
    char16_t* line() { return m_line.data(); }
    const char16_t* line() const { return m_line.c_str(); }
    size_t length() const { return m_line.size(); }

    // True when the current line was ended by the end of the file rather than by a line end:
    // the last line lacks its final line feed (or, when joining, its continuation), as when a
    // writer died in the middle of a line. The caller repairs or ignores such a line.
    bool lastLineIncomplete() const { return m_incomplete; }

    // Number of the (first physical) line of the current line, counted from 1, for messages
    // such as "'%s' line %d: ...".
    [[nodiscard]] int lineNumber() const { return m_lineNumber; }
    const char16_t* path() const { return m_path.c_str(); }

    // Byte offset in the file of the start of the current line (with UL_TEXT_JOINLINES: of its
    // first physical line); before the first read, of the next line. Counted from where the
    // stream stood when opened or attached.
    [[nodiscard]] long lineOffset() const { return m_lineOffset; }
    // Positions the reader on the start of a line recorded by lineOffset() together with its
    // lineNumber(): the next readLine() returns that line with that number. Returns 0, or -1
    // ("Cannot seek to offset %ld in '%s'").
    [[nodiscard]] int seek(long offset, int lineNumber);

  private:
    FILE* m_stream = nullptr;
    bool m_owned = false;
    int m_flags = 0;
    std::u16string m_path;
    std::u16string m_line;
    std::string m_raw;  // the bytes of a physical line, grows to the longest one
    int m_physicalLines = 0;
    int m_lineNumber = 0;
    bool m_incomplete = false;
    long m_lineOffset = 0;  // start of the current line
    long m_nextOffset = 0;  // start of the next physical line
    long m_baseOffset = 0;  // stream position at attach; offsets are relative to it
};

class ULTextFileWriter {
  public:
    ULTextFileWriter() = default;
    ~ULTextFileWriter();
    ULTextFileWriter(const ULTextFileWriter&) = delete;
    ULTextFileWriter& operator=(const ULTextFileWriter&) = delete;

    // Creates or replaces path, or appends with UL_TEXT_APPEND ("Cannot open '%s' mode='%s'").
    // Closes a file opened before.
    [[nodiscard]] int open(const char16_t* path, int flags = 0);
    // Writes to a stream the caller keeps owning; name is used in messages.
    int attach(FILE* stream, const char16_t* name, int flags = 0);
    // Flushes and closes (an attached stream is flushed only). Returns 0, or -1 when buffered
    // output cannot be written ("Cannot write to '%s'").
    [[nodiscard]] int close();
    bool isOpen() const { return m_stream != nullptr; }

    // Write the text as UTF-8; each call must hold whole characters (a surrogate pair split
    // over two calls is written as two U+FFFD). Return 0, or -1 with "Cannot write to '%s'".
    [[nodiscard]] int write(const char16_t* text, size_t length);
    [[nodiscard]] int write(const char16_t* text);
    // The text followed by a line feed.
    [[nodiscard]] int writeLine(const char16_t* text);
    // Formatted as ul_sprintf; the format carries its own line ends.
    [[nodiscard]] int writeFmt(const char16_t* format, ...);
    // Hands buffered output to the system.
    [[nodiscard]] int flush();

    const char16_t* path() const { return m_path.c_str(); }

  private:
    [[nodiscard]] int writeBytes();
    [[nodiscard]] int writeFailed();

    FILE* m_stream = nullptr;
    bool m_owned = false;
    int m_flags = 0;
    std::u16string m_path;
    std::string m_bytes;  // UTF-8 of the current call, reused
};

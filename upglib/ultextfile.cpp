#include "ultextfile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "ulerror.h"
#include "ulfile.h"
#include "ulstring.h"
#include "ulstring2.h"


// ---- reader -----------------------------------------------------------------------------

ULTextFileReader::~ULTextFileReader() {
    close();
}

int ULTextFileReader::open(const char16_t* path, int flags) {
    close();
    m_path = path;
    FILE* stream = ul_filefopen(path, u"r", 0);
    if (!stream) return UL_ERROR_RETURN(-1);
    attach(stream, path, flags);
    m_owned = true;
    return 0;
}

int ULTextFileReader::attach(FILE* stream, const char16_t* name, int flags) {
    close();
    m_stream = stream;
    m_owned = false;
    m_flags = flags;
    m_path = name ? name : u"";
    m_line.clear();
    m_physicalLines = 0;
    m_lineNumber = 0;
    m_incomplete = false;
    long start = stream ? ftell(stream) : -1;
    m_baseOffset = start < 0 ? 0 : start;
    m_lineOffset = 0;
    m_nextOffset = 0;
    return 0;
}

int ULTextFileReader::seek(long offset, int lineNumber) {
    if (offset < 0 || lineNumber < 1) errno = EINVAL;
    if (!m_stream || offset < 0 || lineNumber < 1 ||
        fseek(m_stream, m_baseOffset + offset, SEEK_SET) != 0) {
        const unsigned flags = m_stream ? static_cast<unsigned>(UL_ERR_SYSTEM) : 0u;
        ul_errorsetmsgfmt(flags, u"Cannot seek to offset %ld in '%s'", offset, m_path.c_str());
        return UL_ERROR_RETURN(-1);
    }
    m_line.clear();
    m_incomplete = false;
    m_physicalLines = lineNumber - 1;
    m_lineNumber = lineNumber - 1;
    m_lineOffset = offset;
    m_nextOffset = offset;
    return 0;
}

int ULTextFileReader::close() {
    if (m_stream && m_owned) fclose(m_stream);
    m_stream = nullptr;
    m_owned = false;
    return 0;
}

int ULTextFileReader::readLine() {
    m_line.clear();
    m_incomplete = false;
    if (!m_stream) return 0;
    bool first = true;
    for (;;) {
        const int status = ul_filereadlinebytes(m_stream, m_raw, UL_FILE_MAXLINEBYTES);
        if (status < 0) {
            ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read '%s'", m_path.c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (status == UL_LINE_TOOLONG) {
            ul_errorsetmsgfmt(0, u"Line %d of '%s' is longer than %lu bytes", m_physicalLines + 1,
                              m_path.c_str(), static_cast<unsigned long>(UL_FILE_MAXLINEBYTES));
            return UL_ERROR_RETURN(-1);
        }
        const size_t n = m_raw.size();
        if (status == UL_LINE_EOF) {
            if (first) return 0;
            m_incomplete = true;  // a continuation was announced, but the file ended
            return 1;
        }
        ++m_physicalLines;
        if (first) {
            m_lineNumber = m_physicalLines;
            m_lineOffset = m_nextOffset;
        }
        m_nextOffset += static_cast<long>(n);
        auto* bytes = reinterpret_cast<const unsigned char*>(m_raw.data());
        size_t length = n;
        bool complete = bytes[length - 1] == '\n';
        if (complete) {
            --length;
            if (length > 0 && bytes[length - 1] == '\r') --length;
        }
        if (m_physicalLines == 1 && length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB &&
            bytes[2] == 0xBF) {
            bytes += 3;
            length -= 3;
        }
        ul_utf8to16append(m_line, reinterpret_cast<const char*>(bytes), length);
        if (!complete) m_incomplete = true;
        if ((m_flags & UL_TEXT_JOINLINES) && !m_line.empty() && m_line.back() == u'\\') {
            m_line.pop_back();
            if (complete) {
                first = false;
                continue;
            }
        }
        return 1;
    }
}

// ---- writer -----------------------------------------------------------------------------

ULTextFileWriter::~ULTextFileWriter() {
    (void)close();  // no caller is left to tell; writers that care close() first
}

int ULTextFileWriter::open(const char16_t* path, int flags) {
    (void)close();  // a file written before is its caller's to close and check
    m_path = path;  // later calls on a file that failed to open still name it
    FILE* stream = ul_filefopen(path, (flags & UL_TEXT_APPEND) ? u"a" : u"w", 0);
    if (!stream) return UL_ERROR_RETURN(-1);
    attach(stream, path, flags);
    m_owned = true;
    return 0;
}

int ULTextFileWriter::attach(FILE* stream, const char16_t* name, int flags) {
    (void)close();  // a file written before is its caller's to close and check
    m_stream = stream;
    m_owned = false;
    m_flags = flags;
    m_path = name ? name : u"";
    return 0;
}

int ULTextFileWriter::close() {
    if (!m_stream) return 0;
    FILE* stream = m_stream;
    bool owned = m_owned;
    m_stream = nullptr;
    m_owned = false;
    int rc = owned ? fclose(stream) : fflush(stream);
    if (rc != 0) return writeFailed();
    return 0;
}

int ULTextFileWriter::writeFailed() {
    ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write to '%s'", m_path.c_str());
    return UL_ERROR_RETURN(-1);
}

int ULTextFileWriter::writeBytes() {
    if (!m_stream) {
        errno = EBADF;
        return writeFailed();
    }
    if (!m_bytes.empty() && fwrite(m_bytes.data(), 1, m_bytes.size(), m_stream) != m_bytes.size())
        return writeFailed();
    if ((m_flags & UL_TEXT_FLUSHLINES) && fflush(m_stream) != 0) return writeFailed();
    return 0;
}

int ULTextFileWriter::write(const char16_t* text, size_t length) {
    m_bytes.clear();
    ul_utf16to8append(m_bytes, text, length);
    return writeBytes();
}

int ULTextFileWriter::write(const char16_t* text) {
    return write(text, ul_strlen(text));
}

int ULTextFileWriter::writeLine(const char16_t* text) {
    m_bytes.clear();
    ul_utf16to8append(m_bytes, text, ul_strlen(text));
    m_bytes.push_back('\n');
    return writeBytes();
}

int ULTextFileWriter::writeFmt(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string text = ul_vformat(format, args);
    va_end(args);
    return write(text.c_str(), text.size());
}

int ULTextFileWriter::flush() {
    if (m_stream && fflush(m_stream) != 0) return writeFailed();
    return 0;
}

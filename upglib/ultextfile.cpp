#include "ultextfile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "ulerror.h"
#include "ulfile.h"
#include "ulstring.h"
#include "ulstring2.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Appends the UTF-16 form of n UTF-8 bytes to out. Decoding rules are those of ul_utf8to16:
// an invalid or truncated sequence yields U+FFFD for its first byte and decoding resumes at
// the next byte; characters above U+FFFF become surrogate pairs.
void appendUtf8(std::u16string& out, const unsigned char* text, size_t n) {
    size_t pos = 0;
    while (pos < n) {
        unsigned char lead = text[pos];
        if (lead < 0x80) {
            out.push_back(lead);
            ++pos;
            continue;
        }
        int extra = lead >= 0xF0 && lead <= 0xF4  ? 3
                    : lead >= 0xE0 && lead < 0xF0 ? 2
                    : lead >= 0xC2 && lead < 0xE0 ? 1
                                                  : -1;
        char32_t cp = 0;
        bool valid = extra > 0 && pos + static_cast<size_t>(extra) < n;
        if (valid) {
            cp = lead & (0x3F >> extra);
            for (int i = 1; i <= extra && valid; ++i) {
                unsigned char c = text[pos + static_cast<size_t>(i)];
                valid = (c & 0xC0) == 0x80;
                cp = (cp << 6) | (c & 0x3F);
            }
            static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
            valid =
                valid && cp >= kMinimum[extra] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        }
        if (!valid) {
            out.push_back(kReplacement);
            ++pos;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        pos += static_cast<size_t>(extra) + 1;
    }
}

}  // namespace

// ---- reader -----------------------------------------------------------------------------

ULTextFileReader::~ULTextFileReader() {
    close();
    free(m_raw);
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
        ssize_t n = getline(&m_raw, &m_rawCapacity, m_stream);
        if (n < 0) {
            if (ferror(m_stream)) {
                ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read '%s'", m_path.c_str());
                return UL_ERROR_RETURN(-1);
            }
            if (first) return 0;
            m_incomplete = true;  // a continuation was announced, but the file ended
            return 1;
        }
        ++m_physicalLines;
        if (first) m_lineNumber = m_physicalLines;
        auto* bytes = reinterpret_cast<const unsigned char*>(m_raw);
        size_t length = static_cast<size_t>(n);
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
        appendUtf8(m_line, bytes, length);
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
    close();
}

int ULTextFileWriter::open(const char16_t* path, int flags) {
    close();
    m_path = path;  // later calls on a file that failed to open still name it
    FILE* stream = ul_filefopen(path, (flags & UL_TEXT_APPEND) ? u"a" : u"w", 0);
    if (!stream) return UL_ERROR_RETURN(-1);
    attach(stream, path, flags);
    m_owned = true;
    return 0;
}

int ULTextFileWriter::attach(FILE* stream, const char16_t* name, int flags) {
    close();
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

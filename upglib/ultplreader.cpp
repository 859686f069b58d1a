#include "ultplreader.h"

#include <cstdlib>
#include <new>

#include "ulerror.h"
#include "ulstring.h"
#include "ultrace.h"

namespace {

bool isBlank(const char16_t* text) {
    for (; *text; ++text)
        if (!ul_isspace(*text)) return false;
    return true;
}

size_t indentation(const char16_t* text) {
    size_t n = 0;
    while (text[n] && ul_isspace(text[n])) ++n;
    return n;
}

}  // namespace

void ULTPLSection::clear() {
    name.clear();
    type = 0;
    hasArgument = false;
    argument.clear();
    lines.clear();
    file.clear();
    line = 0;
    offset = -1;
    includeLevel = 0;
}

ULTPLReader::~ULTPLReader() {
    std::free(m_buffer);
}

int ULTPLReader::addIncludePath(const char16_t* directory) {
    if (m_stack.addIncludePath(directory) < 0) return UL_ERROR_RETURN(-1);
    m_includePaths.emplace_back(directory);
    return 0;
}

int ULTPLReader::reopen(int flags) {
    // deinit forgets the include directories along with the files.
    m_stack.deinit(UL_PREPROC_NOCHECK);
    if (m_stack.fopen(m_fileName.c_str(), flags) < 0) return UL_ERROR_RETURN(-1);
    for (const std::u16string& path : m_includePaths)
        if (m_stack.addIncludePath(path.c_str()) < 0) return UL_ERROR_RETURN(-1);
    m_next = HeaderLine();
    m_eof = false;
    return 0;
}

int ULTPLReader::open(const char16_t* file, int flags) {
    close();
    const int opened = ul_guarded([&] {
        m_fileName = file;
        UL_TRACE(UL_TRC_OBJ, 1, u"Reading template file '%s'\n", file);
        return reopen(flags);
    });
    if (opened < 0) {
        close();
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

void ULTPLReader::close() {
    m_stack.deinit(UL_PREPROC_NOCHECK);
    m_fileName.clear();
    m_next = HeaderLine();
    m_eof = false;
    m_levelsAt.clear();
}

int ULTPLReader::sectionType(const char16_t* name) const {
    for (size_t i = 0; i < m_sectionCount; ++i)
        if (ul_stricmp(m_sections[i].name, name) == 0) return m_sections[i].type;
    return 0;
}

int ULTPLReader::lineError(const std::u16string& file, int line) {
    ul_errorsetmsgfmt(UL_ERR_APPEND, u"Error in line %d of '%s'", line, file.c_str());
    return UL_ERROR_RETURN(-1);
}

// Next line into m_buffer; *eof tells the end of the template file.
int ULTPLReader::readLine(bool* eof) {
    int flags = UL_PREPROC_TRIMEOL | (m_provider ? UL_PREPROC_MACROS : 0);
    int rc = m_stack.readLine(&m_buffer, &m_bufferSize, m_provider, nullptr, flags);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    *eof = rc == 0;
    return 0;
}

// At the end of the file no #if may be open.
int ULTPLReader::atEnd() {
    if (m_stack.levelCount > 0 && m_stack.deinit() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

void ULTPLReader::rememberLevels(long offset) {
    m_levelsAt[offset].assign(m_stack.levels, m_stack.levels + m_stack.levelCount);
}

// Takes the line in m_buffer as a section line and joins the lines it continues on.
int ULTPLReader::continueHeader(HeaderLine* header) {
    header->valid = true;
    header->text = m_buffer;
    header->file = m_stack.fileName();
    header->line = m_stack.lineNumber();
    header->offset = m_stack.lineOffset();
    header->includeLevel = m_stack.fileCount - 1;
    if (header->includeLevel == 0 && m_stack.levelCount > 0) rememberLevels(header->offset);
    while (!header->text.empty() && header->text.back() == u'\\') {
        header->text.pop_back();
        bool eof = false;
        if (readLine(&eof) < 0) return UL_ERROR_RETURN(-1);
        if (eof) break;
        header->text += m_buffer;
    }
    return 0;
}

// Reads up to the first section line; only blank lines may come before it.
int ULTPLReader::readHeader(HeaderLine* header, bool* eof) {
    for (;;) {
        if (readLine(eof) < 0) return UL_ERROR_RETURN(-1);
        if (*eof) return 0;
        if (isBlank(m_buffer)) continue;
        if (ul_isspace(m_buffer[0])) {
            ul_errorsetmsgfmt(0, u"Content outside a section in '%s'", m_buffer);
            return lineError(m_stack.fileName(), m_stack.lineNumber());
        }
        return continueHeader(header);
    }
}

int ULTPLReader::parseHeader(const HeaderLine& header, ULTPLSection* section, int flags) {
    const std::u16string& text = header.text;
    const size_t n = text.size();
    section->file = header.file;
    section->line = header.line;
    section->offset = header.offset;
    section->includeLevel = header.includeLevel;

    size_t pos = 0;
    while (pos < n && !ul_isspace(text[pos]) && text[pos] != u'{' && text[pos] != u'}' &&
           text[pos] != u':')
        ++pos;
    section->name = text.substr(0, pos);

    enum class State { Before, Inside, After } state = State::Before;
    const char16_t* problem = nullptr;
    char16_t quote = 0;
    size_t argStart = 0;
    for (; pos < n && !problem; ++pos) {
        char16_t c = text[pos];
        if (state == State::Inside) {
            if (quote) {
                if (c == u'\\' && pos + 1 < n)
                    ++pos;
                else if (c == quote)
                    quote = 0;
            } else if (c == u'\'' || c == u'"') {
                quote = c;
            } else if (c == u'{') {
                problem = u"Duplicate '{' section argument in  '%s'";
            } else if (c == u'}') {
                section->argument =
                    ul_trimmed(std::u16string_view(text).substr(argStart, pos - argStart));
                state = State::After;
            }
            continue;
        }
        if (ul_isspace(c)) continue;
        if (c == u':') break;
        if (c == u'{' && state == State::Before) {
            state = State::Inside;
            section->hasArgument = true;
            argStart = pos + 1;
        } else if (c == u'{') {
            problem = u"Duplicate '{' section argument in  '%s'";
        } else if (c == u'}') {
            problem = state == State::After ? u"Duplicate '}' section argument in  '%s'"
                                            : u"Unmatched closing '}' in  '%s'";
        } else {
            problem = u"Missing ':' in '%s'";
        }
    }
    if (!problem && state == State::Inside) problem = u"Unclosed quote or bracket in line '%s'";
    if (!problem && pos >= n) problem = u"Missing ':' in '%s'";
    if (!problem && section->name.empty()) problem = u"Missing section name in '%s'";
    if (problem) {
        ul_errorsetmsgfmt(0, problem, text.c_str());
        return lineError(header.file, header.line);
    }

    section->type = sectionType(section->name.c_str());
    if (section->type == 0 && (flags & UL_TPL_REFUSEUNKNOWN)) {
        ul_errorsetmsgfmt(0, u"Unknown section '%s'", section->name.c_str());
        return lineError(header.file, header.line);
    }
    std::u16string rest = ul_trimmed(std::u16string_view(text).substr(pos + 1, n - (pos + 1)));
    if (!rest.empty() && !(flags & UL_TPL_NOCONTENT)) section->lines.push_back(std::move(rest));
    return 0;
}

// Collects the content lines up to the next section line, which goes to m_next.
int ULTPLReader::readContent(ULTPLSection* section, int flags, bool* eof) {
    size_t indent = std::u16string::npos;
    size_t blanks = 0;
    for (;;) {
        if (readLine(eof) < 0) return UL_ERROR_RETURN(-1);
        if (*eof) return 0;
        if (isBlank(m_buffer)) {
            ++blanks;
            continue;
        }
        if (!ul_isspace(m_buffer[0])) return continueHeader(&m_next);
        if (flags & UL_TPL_NOCONTENT) continue;
        section->lines.resize(section->lines.size() + blanks);
        blanks = 0;
        size_t skip = 0;
        if (!(flags & UL_TPL_KEEPINDENT)) {
            if (indent == std::u16string::npos) indent = indentation(m_buffer);
            while (skip < indent && ul_isspace(m_buffer[skip])) ++skip;
        }
        section->lines.emplace_back(m_buffer + skip);
    }
}

int ULTPLReader::getNext(ULTPLSection* section, int flags) {
    section->clear();
    if (m_fileName.empty()) {
        ul_errorsetmsg(0, u"No template file open");
        return UL_ERROR_RETURN(-1);
    }
    return ul_guarded([&]() -> int {
        for (;;) {
            // The end is reported by the call after the last section, so that the last
            // section is returned even when the file ends inside an #if.
            if (m_eof) return atEnd() < 0 ? UL_ERROR_RETURN(-1) : 0;
            if (!m_next.valid) {
                if (readHeader(&m_next, &m_eof) < 0) return UL_ERROR_RETURN(-1);
                if (m_eof) continue;
            }
            HeaderLine header = std::move(m_next);
            m_next = HeaderLine();
            if (parseHeader(header, section, flags) < 0) return UL_ERROR_RETURN(-1);
            bool skip = section->type == 0 && (flags & UL_TPL_SKIPUNKNOWN);
            if (readContent(section, skip ? flags | UL_TPL_NOCONTENT : flags, &m_eof) < 0)
                return UL_ERROR_RETURN(-1);
            if (skip) {
                section->clear();
                continue;
            }
            UL_TRACE(UL_TRC_OBJ, 2,
                     u"Read section '%s' type=%d arg='%s' in l. %d '%s' off=%lu: %s\n",
                     section->name.c_str(), section->type, section->argument.c_str(), section->line,
                     section->file.c_str(), static_cast<unsigned long>(section->offset),
                     header.text.c_str());
            return 1;
        }
    });
}

int ULTPLReader::seek(long offset, int line) {
    if (m_fileName.empty()) {
        ul_errorsetmsg(0, u"No template file open");
        return UL_ERROR_RETURN(-1);
    }
    return ul_guarded([&] {
        // At the end of the file the preprocessor has closed it.
        if (m_stack.fileCount == 0 && reopen(0) < 0) return UL_ERROR_RETURN(-1);
        if (m_stack.fseek(offset, 0, line) < 0) return UL_ERROR_RETURN(-1);
        m_next = HeaderLine();
        m_eof = false;
        auto found = m_levelsAt.find(offset);
        m_stack.levelCount = 0;
        if (found != m_levelsAt.end()) {
            for (const ul_preproclevel_t& level : found->second)
                m_stack.levels[m_stack.levelCount++] = level;
        }
        return 0;
    });
}

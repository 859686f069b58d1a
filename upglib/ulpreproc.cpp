#include "ulpreproc.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ulerror.h"
#include "ulfile.h"
#include "ulmacro.h"
#include "ulstring.h"
#include "ultrace.h"

namespace {

bool isWordChar(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || ul_isdigit(c) || c == u'_';
}

size_t lineEndLength(const std::u16string& line) {
    size_t n = line.size();
    if (n >= 2 && line[n - 2] == u'\r' && line[n - 1] == u'\n') return 2;
    return n >= 1 && line[n - 1] == u'\n' ? 1 : 0;
}

bool isBlank(const char16_t* text) {
    for (; *text; ++text)
        if (!ul_isspace(*text)) return false;
    return true;
}

bool readable(const std::u16string& path) {
    return access(ul_utf16to8(path.c_str()).c_str(), R_OK) == 0;
}

// Makes *buffer hold at least wanted code units, growing in steps of UL_PREPROC_LINESTEP.
int reserve(char16_t** buffer, size_t* size, size_t wanted) {
    if (*buffer && *size >= wanted) return 0;
    size_t grown = (wanted + UL_PREPROC_LINESTEP - 1) / UL_PREPROC_LINESTEP * UL_PREPROC_LINESTEP;
    auto* block = static_cast<char16_t*>(ul_realloc(*buffer, grown * sizeof(char16_t)));
    if (!block) return UL_ERROR_RETURN(-1);
    *buffer = block;
    *size = grown;
    return 0;
}

}  // namespace

int ul_preprocstack_t::fopen(const char16_t* name, int flags) {
    if (fileCount >= UL_PREPROC_MAXFILES) {
        ul_errorsetmsg(0, u"Internal error: File inclusion too deeply nested");
        return UL_ERROR_RETURN(-1);
    }
    FILE* stream = ul_filefopen(name, u"rb", flags);
    if (!stream) return UL_ERROR_RETURN(-1);
    ul_preprocfile_t& file = files[fileCount++];
    file.stream = stream;
    file.name = name;
    file.line = 0;
    file.offset = 0;
    UL_TRACE(UL_TRC_PREPROC, 2, u"Opened '%s' at include level %d.\n", name, fileCount - 1);
    return 0;
}

int ul_preprocstack_t::addIncludePath(const char16_t* directory) {
    if (includePathCount >= UL_PREPROC_MAXINCLUDEPATHS) {
        ul_errorsetmsgfmt(0, u"Too many include directories (%d)", UL_PREPROC_MAXINCLUDEPATHS);
        return UL_ERROR_RETURN(-1);
    }
    includePaths[includePathCount++] = directory;
    return 0;
}

void ul_preprocstack_t::closeTop() {
    ul_preprocfile_t& file = files[--fileCount];
    UL_TRACE(UL_TRC_PREPROC, 2, u"Closing '%s' after %d lines.\n", file.name.c_str(), file.line);
    if (file.stream) fclose(file.stream);
    file.stream = nullptr;
    file.name.clear();
}

int ul_preprocstack_t::deinit(int flags) {
    while (fileCount > 0) closeTop();
    includePathCount = 0;
    int open = levelCount;
    levelCount = 0;
    m_raw = std::string();
    if (open > 0 && !(flags & UL_PREPROC_NOCHECK)) {
        ul_errorsetmsgfmt(0, u"Condition level %d at the end of the file", open);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ul_preprocstack_t::fseek(long position, int file, int line) {
    if (file < 0 || file >= fileCount || position < 0) {
        ul_errorsetmsgfmt(0, u"Cannot seek to offset %ld of file #%d (%d open)", position, file,
                          fileCount);
        return UL_ERROR_RETURN(-1);
    }
    while (fileCount > file + 1) closeTop();
    ul_preprocfile_t& top = files[file];
    if (::fseek(top.stream, position, SEEK_SET) != 0) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot seek to offset %ld in '%s'", position,
                          top.name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    top.line = line - 1;
    top.offset = position;
    return 0;
}

// 1 with the physical line (line end included) in *line, 0 at the end of the file, -1.
int ul_preprocstack_t::readPhysical(ul_preprocfile_t* file, std::u16string* line) {
    long offset = ftell(file->stream);
    const int status = ul_filereadlinebytes(file->stream, m_raw, UL_FILE_MAXLINEBYTES);
    if (status < 0) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read '%s'", file->name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (status == UL_LINE_TOOLONG) {
        ul_errorsetmsgfmt(0, u"Line %d of '%s' is longer than %lu bytes", file->line + 1,
                          file->name.c_str(), static_cast<unsigned long>(UL_FILE_MAXLINEBYTES));
        return UL_ERROR_RETURN(-1);
    }
    if (status == UL_LINE_EOF) return 0;
    const char* text = m_raw.data();
    size_t length = m_raw.size();
    if (offset == 0 && length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        text += 3;
        length -= 3;
    }
    line->clear();
    ul_utf8to16append(*line, text, static_cast<size_t>(length));
    ++file->line;
    file->offset = offset;
    return 1;
}

int ul_preprocstack_t::evaluateCondition(const std::u16string& line, const char16_t* condition,
                                         ULMacroProvider* provider) {
    int result = ul_macrocondition(condition, provider, macroFlags);
    if (result < 0)
        UL_TRACE(UL_TRC_PREPROC, 0, u"ERROR in line '%.*s': %s\n", static_cast<int>(line.size()),
                 line.c_str(), ul_errorgetmsg());
    return result;
}

ul_preprocstack_t::Step ul_preprocstack_t::handleCondition(const std::u16string& line,
                                                           const std::u16string& word,
                                                           const char16_t* rest,
                                                           ULMacroProvider* provider) {
    ul_preproclevel_t* level = levelCount ? &levels[levelCount - 1] : nullptr;
    if (word == u"if") {
        if (levelCount >= UL_PREPROC_MAXLEVELS) {
            ul_errorsetmsgfmt(0, u"Control structures too deeply nested (>= %d)",
                              UL_PREPROC_MAXLEVELS);
            return Step::Failed;
        }
        // Inside a section that is skipped no branch may become active, and the condition is
        // not looked at.
        ul_preproclevel_t added = {false, true};
        if (active()) {
            int result = evaluateCondition(line, rest, provider);
            if (result < 0) return Step::Failed;
            added = {result == 1, result == 1};
        }
        levels[levelCount++] = added;
    } else if (word == u"elseif") {
        if (!level) {
            ul_errorsetmsg(0, u"Found '#elseif' outside '#if'");
            return Step::Failed;
        }
        level->active = false;
        if (!level->taken) {
            int result = evaluateCondition(line, rest, provider);
            if (result < 0) return Step::Failed;
            level->active = level->taken = result == 1;
        }
    } else if (word == u"else") {
        if (!level) {
            ul_errorsetmsg(0, u"Found '#else' outside '#if'");
            return Step::Failed;
        }
        level->active = !level->taken;
        level->taken = true;
    } else {
        if (!level) {
            ul_errorsetmsg(0, u"Found '#endif' without previous '#if'");
            return Step::Failed;
        }
        --levelCount;
    }
    return Step::Consumed;
}

ul_preprocstack_t::Step ul_preprocstack_t::handleInclude(const char16_t* rest, bool optional,
                                                         ULMacroProvider* provider,
                                                         ULPreprocIncludeHandler* handler,
                                                         int flags) {
    std::u16string name = rest;
    size_t length = ul_stringtrim(name.data());
    name.resize(length);
    if (name.size() >= 2 && name.front() == u'"' && name.back() == u'"')
        name = name.substr(1, name.size() - 2);
    if ((flags & UL_PREPROC_MACROS) && ul_macroreplacestring(&name, provider, macroFlags) < 0)
        return Step::Failed;
    if (name.empty()) {
        ul_errorsetmsg(0, u"Missing file name for include");
        return Step::Failed;
    }
    const ul_preprocfile_t& including = files[fileCount - 1];
    if (fileCount > UL_PREPROC_MAXINCLUDEDEPTH) {
        ul_errorsetmsgfmt(0, u"Too deeply nested include stack in '%s' (%d)",
                          including.name.c_str(), fileCount);
        return Step::Failed;
    }
    std::u16string path = name;
    bool found = includePathCount == 0 || name[0] == u'/';
    for (int i = 0; !found && i < includePathCount; ++i) {
        path = includePaths[i] + u"/" + name;
        found = readable(path);
    }
    if (optional && !(found && readable(path))) {
        UL_TRACE(UL_TRC_PREPROC, 1, u"Skipping optional include file'%s'.\n", name.c_str());
        if (handler && handler->handleInclude(name.c_str(), nullptr) < 0) return Step::Failed;
        return Step::Consumed;
    }
    if (!found) {
        ul_errorsetmsgfmt(0, u"Include file '%s' not found in %d include directories", name.c_str(),
                          includePathCount);
        return Step::Failed;
    }
    if (handler && handler->handleInclude(name.c_str(), path.c_str()) < 0) return Step::Failed;
    return fopen(path.c_str()) < 0 ? Step::Failed : Step::Consumed;
}

ul_preprocstack_t::Step ul_preprocstack_t::handleDirective(const std::u16string& line,
                                                           ULMacroProvider* provider,
                                                           ULPreprocIncludeHandler* handler,
                                                           int flags) {
    if (line.empty() || (line[0] != u'#' && line[0] != u'!'))
        return active() ? Step::Deliver : Step::Consumed;
    size_t end = 1;
    while (end < line.size() && isWordChar(line[end])) ++end;
    std::u16string word = line.substr(1, end - 1);
    ul_string2lower(word.data());
    bool separated = end == line.size() || ul_isspace(line[end]);
    const char16_t* rest = line.c_str() + end;
    if ((word == u"include" || word == u"include_opt") && separated) {
        if (!active()) return Step::Consumed;
        if (line[0] == u'!')
            UL_TRACE(UL_TRC_PREPROC, 1, u"WARNING: Encountered deprecated syntax '%.*s'!\n",
                     static_cast<int>(end), line.c_str());
        return handleInclude(rest, word == u"include_opt", provider, handler, flags);
    }
    if (line[0] == u'!') return active() ? Step::Deliver : Step::Consumed;
    if ((word == u"if" || word == u"elseif" || word == u"else" || word == u"endif") &&
        (end == line.size() || !isWordChar(line[end])))
        return handleCondition(line, word, rest, provider);
    return Step::Consumed;
}

int ul_preprocstack_t::readLine(char16_t** buffer, size_t* size, ULMacroProvider* provider,
                                ULPreprocIncludeHandler* handler, int flags) {
    return ul_guarded([&]() -> int { return nextLine(buffer, size, provider, handler, flags); });
}

int ul_preprocstack_t::nextLine(char16_t** buffer, size_t* size, ULMacroProvider* provider,
                                ULPreprocIncludeHandler* handler, int flags) {
    std::u16string line;
    for (;;) {
        if (fileCount == 0) return 0;
        ul_preprocfile_t* file = &files[fileCount - 1];
        int got = readPhysical(file, &line);
        if (got < 0) return UL_ERROR_RETURN(-1);
        if (got == 0) {
            closeTop();
            continue;
        }
        // An include pushes a file above this one; *file stays as it is for the messages.
        size_t eol = lineEndLength(line);
        std::u16string body = line.substr(0, line.size() - eol);
        Step step = handleDirective(body, provider, handler, flags);
        if (step == Step::Failed) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Error in line %d of '%s'", file->line,
                              file->name.c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (step == Step::Consumed) {
            if (!(flags & UL_PREPROC_KEEPLINES)) continue;
            line.erase(0, line.size() - eol);
        } else if ((flags & UL_PREPROC_MACROS) &&
                   ul_macroreplacestring(&line, provider, macroFlags) < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Error in line %d of '%s'", file->line,
                              file->name.c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (reserve(buffer, size, line.size() + 1) < 0) return UL_ERROR_RETURN(-1);
        line.copy(*buffer, line.size());
        (*buffer)[line.size()] = u'\0';
        if (flags & UL_PREPROC_TRIMEOL) ul_stringtrimlineending(*buffer);
        if ((flags & UL_PREPROC_SKIPBLANK) && !(flags & UL_PREPROC_KEEPLINES) && isBlank(*buffer))
            continue;
        return 1;
    }
}

#include "ulerror.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

int UL_ErrorGotoFlag = 0;
FILE* UL_ErrorGotoFile = nullptr;

namespace {

char16_t ErrorText[UL_ERRORBUFSIZE];
char16_t FormatBuffer[UL_ERRORBUFSIZE];
char16_t SysErrorText[1024];

// Writes text at pos, never past the buffer; returns the new end position.
size_t writeAt(size_t pos, const char16_t* text) {
    if (pos >= UL_ERRORBUFSIZE) return pos;
    size_t n = ul_strlcpy(ErrorText + pos, text ? text : u"", UL_ERRORBUFSIZE - pos);
    return pos + n < UL_ERRORBUFSIZE ? pos + n : UL_ERRORBUFSIZE - 1;
}

void prepend(const char16_t* text, size_t length) {
    size_t n = ul_strlen(text);
    if (length + 1 + n > UL_ERRORBUFSIZE - 1) return;
    memmove(ErrorText + n + 1, ErrorText, (length + 1) * sizeof(char16_t));
    memcpy(ErrorText, text, n * sizeof(char16_t));
    ErrorText[n] = u'\n';
}

}  // namespace

int ul_errorfail(const std::u16string& text) {
    ul_errorsetmsg(0, text.c_str());
    return UL_ERROR_RETURN(-1);
}

void ul_errorsetmsg(unsigned flags, const char16_t* text) {
    if ((!text || !*text) && (flags & (UL_ERR_APPEND | UL_ERR_PREPEND))) return;
    size_t length = ul_strlen(ErrorText);
    if (length > 0 && (flags & UL_ERR_PREPEND)) {
        prepend(text, length);
    } else {
        size_t pos = length > 0 && (flags & UL_ERR_APPEND) ? writeAt(length, u"\n") : 0;
        if (flags & UL_ERR_SYSTEM) {
            const char16_t* system = ul_osdepsyserror();
            pos = writeAt(pos, text ? text : u"System error");
            pos = writeAt(pos, u": ");
            writeAt(pos, system);
        } else {
            writeAt(pos, text);
        }
    }
    if ((flags & UL_ERR_STACK) || UL_TraceLevels[UL_TRC_TRACE] > 10)
        ul_traceprintstack0(u"" __FILE__, __LINE__);
}

void ul_errorsetmsgfmt(unsigned flags, const char16_t* format, ...) {
    if (!format) {
        ul_errorsetmsg(flags, nullptr);
        return;
    }
    va_list args;
    va_start(args, format);
    ul_vsprintf(FormatBuffer, UL_ERRORBUFSIZE, format, args);
    va_end(args);
    ul_errorsetmsg(flags, FormatBuffer);
}

const char16_t* ul_errorgetmsg() { return ErrorText; }

const char16_t* ul_osdepsyserror() {
    int saved = errno;
    char narrow[512];
    const char* text = strerror_r(saved, narrow, sizeof narrow);
    std::u16string wide = ul_utf8to16(text);
    ul_strlcpy(SysErrorText, wide.c_str(), sizeof SysErrorText / sizeof *SysErrorText);
    errno = saved;
    return SysErrorText;
}

void ul_erroroutofmemory() {
    errno = ENOMEM;
    ul_errorsetmsg(UL_ERR_SYSTEM, nullptr);
}

void ul_errorgotoreport(const char16_t* sourceFile, unsigned line) {
    if ((UL_ErrorGotoFlag & 1) && UL_TraceLevels[UL_TRC_ERROR] >= 5)
        ul_tracefmt0(UL_TRC_ERROR, 5, sourceFile, line, u"ERROR '%s' l.%d\n", sourceFile, line);
    if ((UL_ErrorGotoFlag & 2) && UL_ErrorGotoFile) {
        fprintf(UL_ErrorGotoFile, "ERROR '%s' l.%u\n", ul_utf16to8(sourceFile).c_str(), line);
        fflush(UL_ErrorGotoFile);
    }
}

// ==== Heap allocation =======================================================================

namespace {

// Allocations left before the injected failure; negative: no injection.
long g_allocationsBeforeFailure = -1;

bool injectFailure() {
    if (g_allocationsBeforeFailure < 0) return false;
    return g_allocationsBeforeFailure-- == 0;
}

void* checked(void* block) {
    if (!block) ul_erroroutofmemory();
    return block;
}

}  // namespace

void ul_memfailafter(long n) {
    g_allocationsBeforeFailure = n;
}

// Zero-byte requests get a real block so that null always means failure.
void* ul_malloc(size_t size) {
    return checked(injectFailure() ? nullptr : malloc(size ? size : 1));
}

void* ul_calloc(size_t count, size_t size) {
    if (count == 0 || size == 0) count = size = 1;
    return checked(injectFailure() ? nullptr : calloc(count, size));
}

void* ul_realloc(void* block, size_t size) {
    return checked(injectFailure() ? nullptr : realloc(block, size ? size : 1));
}

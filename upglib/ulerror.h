// The process-wide error buffer. A failing function stores its reason here and returns -1;
// callers extend the text or pass the -1 on, and the dispatcher finally prints it.
#pragma once

#include <cstdio>
#include <new>
#include <string>
#include <type_traits>

enum : unsigned {
    UL_ERR_SYSTEM = 1,   // store "<text>: <system error text>" ("System error" for a null text)
    UL_ERR_APPEND = 2,   // keep the existing text and add the new one after a line feed
    UL_ERR_STACK = 4,    // also write a stack trace record
    UL_ERR_PREPEND = 8,  // put the new text and a line feed before the existing text
};

// Capacity of the error buffer in code units, terminator included.
constexpr size_t UL_ERRORBUFSIZE = 0x20000;

void ul_errorsetmsg(unsigned flags, const char16_t* text);
void ul_errorsetmsgfmt(unsigned flags, const char16_t* format, ...);
// Stores text as the error and returns -1: the last step of a function that fails.
[[nodiscard]] int ul_errorfail(const std::u16string& text);
const char16_t* ul_errorgetmsg();

// The platform's text for the current errno.
const char16_t* ul_osdepsyserror();

// Out of memory: the system error for ENOMEM without a text of its own.
void ul_erroroutofmemory();

// Error-exit reporting: value 1 traces every error return (component ERROR, level 5),
// value 2 prints it to UL_ErrorGotoFile.
extern int UL_ErrorGotoFlag;
extern FILE* UL_ErrorGotoFile;
void ul_errorgotoreport(const char16_t* sourceFile, unsigned line);

// Every error return of the tool's own code goes through this, so that error-exit reporting
// can show where a failure started and how it travelled:  return UL_ERROR_RETURN(-1);
#define UL_ERROR_RETURN(value) \
    ((UL_ErrorGotoFlag ? ul_errorgotoreport(u"" __FILE__, __LINE__) : (void)0), (value))

// The one guard against an exhausted heap: runs a body that may allocate through the standard
// containers; std::bad_alloc becomes the tool's out-of-memory error and the result `failed`
// (-1 unless given; a body returning a pointer passes nullptr) instead of an exception
// leaving the module.
template <class Body, class Result = std::invoke_result_t<Body&>>
Result ul_guarded(Body&& body, std::type_identity_t<Result> failed = static_cast<Result>(-1)) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        ul_erroroutofmemory();
        return UL_ERROR_RETURN(failed);
    }
}

// For work that is harmless to skip without memory (releasing spare capacity, keeping a
// block for reuse): an exhausted heap ends the body and leaves the error buffer as it was.
// Returns false when the body did not complete.
template <class Body>
bool ul_tryquietly(Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// ==== Heap allocation =======================================================================
//
// The containers allocate through these so that a failure is always reported the same way
// (the out-of-memory error in the error buffer, result null) and so that tests can make a
// chosen allocation fail. Blocks are released with free().

void* ul_malloc(size_t size);
void* ul_calloc(size_t count, size_t size);
// On failure the old block is left as it was.
void* ul_realloc(void* block, size_t size);

// Fault injection for tests: the next n allocations through the functions above succeed and
// the one after fails, once. A negative n switches the injection off.
void ul_memfailafter(long n);

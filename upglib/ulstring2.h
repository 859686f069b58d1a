// Formatted output into UTF-16 buffers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// printf over a UTF-16 format string. Conversions and flags are C's: d i u o x X c e E f F g
// G a A p % with the flags "-+ #0", widths, precisions and "*", and the length modifiers
// hh h l ll j z t L. "%s" takes a UTF-16 string (null prints "(null)"); "%hs" takes a UTF-8
// string, so that platform texts such as strerror() can be embedded directly. "%c" takes a
// UTF-16 code unit. Width and precision of strings count code units.
// Writes at most size - 1 code units plus the terminator (nothing when size is 0) and
// returns the length the complete output has, so a result >= size means it was truncated.
// An invalid conversion returns -1.
int ul_sprintf(char16_t* buffer, size_t size, const char16_t* format, ...);
int ul_vsprintf(char16_t* buffer, size_t size, const char16_t* format, va_list args);

// The same formatting into a growing string (for texts without a fixed bound).
std::u16string ul_format(const char16_t* format, ...);
std::u16string ul_vformat(const char16_t* format, va_list args);

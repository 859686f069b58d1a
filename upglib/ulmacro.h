// Macro calls in text lines: the replacement engine (ul_macroreplace), the provider interface
// that supplies expansions, and a provider over a static, sorted definition table.
//
// Call syntax (with the default brackets "(" and ")"):
//   $(NAME)               a macro without arguments; the text between the brackets is the name
//                         after its own macro calls are replaced, so $(T[$(I)].F) works
//   $NAME(a1,a2,...)      a macro with arguments; arguments are split at commas on bracket
//                         depth 0, trimmed, may be double-quoted (backslash escapes \\ and \"),
//                         and are themselves macro-replaced before the call; $NAME() passes
//                         no argument
//   $$                    a literal "$" (the provider is offered the name "$" first)
//   $DEFINED(NAME)        "1" if the provider knows NAME (also when it fails on it, for example
//                         over the argument count), else "0"
// Names after "$" consist of letters, digits, "_", "/" and "@".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Size of the scratch buffers: expansions when the caller's capacity is unknown, and the
// arguments of one call together.
constexpr size_t UL_MACRO_BUFSIZE = 16384;
// Capacity value for a caller buffer whose size is not known; it is then taken to be a
// standard text buffer of UL_MACRO_BUFSIZE code units.
constexpr size_t UL_MACRO_SIZEUNKNOWN = static_cast<size_t>(-1);
// Most arguments in one call.
constexpr int UL_MACRO_MAXARGS = 256;

// Result bits of ULMacroProvider::expandMacro besides "defined" (any positive value).
enum : int {
    UL_MACRO_DEFINED = 1,
    UL_MACRO_EXPANDAGAIN = 2,  // replace macro calls in the expansion again
    UL_MACRO_HIDDEN = 4,       // the value is secret: traces show "<HIDDEN>"
};

// Supplies the expansions of macro calls.
class ULMacroProvider {
  public:
    virtual ~ULMacroProvider() = default;
    // Writes the expansion of name into buffer (capacity size code units, terminator included).
    // argc is -1 for the bracketed form $(NAME), else the number of arguments in args.
    // Returns 0 when the name is unknown, -1 on error (error buffer set; an expansion that does
    // not fit is an error, never cut), else a positive value of UL_MACRO_* bits.
    virtual int expandMacro(char16_t* buffer, size_t size, const char16_t* name,
                            const char16_t* const* args, int argc) = 0;
};

// Flags of ul_macroreplace.
enum : int {
    UL_MACRO_KEEPUNKNOWN = 1,      // leave calls of unknown macros as they are (else an error)
    UL_MACRO_RESCAN = 4,           // replace macro calls in every expansion again
    UL_MACRO_BARENAMES = 64,       // "$NAME" without bracket stays as it is (else an error)
    UL_MACRO_CURLY = 0x100,        // the brackets are "{" and "}"
    UL_MACRO_KEEPDOLLARS = 0x200,  // "$$" stays as it is
};

// Replaces every macro call in buffer in place; size is the buffer's capacity in code units
// (or UL_MACRO_SIZEUNKNOWN). Expansions are not scanned again unless the provider or the flags
// ask for it; a macro is never expanded inside its own expansion (such a call stays as it is).
// Returns the number of calls replaced, or -1 with the reason in the error buffer and the buffer
// unchanged. A result that does not fit is an error, never cut.
long ul_macroreplace(char16_t* buffer, size_t size, ULMacroProvider* provider, int flags);

// Replaces the macro calls of a text that may grow by up to UL_MACRO_BUFSIZE code units (the
// text is unchanged without a provider). Returns 0 or -1 as ul_macroreplace.
int ul_macroreplacestring(std::u16string* text, ULMacroProvider* provider, int flags);

// Evaluates a condition: its macro calls are replaced (provider may be null), then the text,
// without white space around it, is an expression of ulexpr.h whose truth value is the result:
// 1 or 0, or -1 with "Illegal condition '%s'" put in front of the reason.
int ul_macrocondition(const char16_t* condition, ULMacroProvider* provider, int flags);

// ---- Definition tables ------------------------------------------------------------------

struct ul_macrodef_t;

// Computes a function macro's expansion. Returns -1 on failure (error buffer set), else 0 or
// a positive value of UL_MACRO_* bits.
using ul_macrofunc_t = int (*)(const char16_t* name, char16_t* buffer, size_t size,
                               const char16_t* const* args, int argc, const ul_macrodef_t* def);

enum : uint8_t {
    UL_MACRODEF_STRING = 1,    // the text stringValue points to
    UL_MACRODEF_INTEGER = 2,   // the number intValue points to, as "%d"
    UL_MACRODEF_FUNCTION = 3,  // the result of function
};
enum : uint8_t { UL_MACRODEF_HIDDEN = 1 };

// Argument counts of a definition besides an exact number.
enum : int32_t {
    UL_MACRODEF_NOARGS = 0,
    UL_MACRODEF_ANYARGS = -1,
};

struct ul_macrodef_t {
    const char16_t* name;
    uint8_t type;   // UL_MACRODEF_STRING, _INTEGER or _FUNCTION
    uint8_t flags;  // UL_MACRODEF_HIDDEN
    int32_t nargs;  // UL_MACRODEF_NOARGS, UL_MACRODEF_ANYARGS or exactly that many
    // The values are read at each expansion, so they may point at variables that change.
    const char16_t* stringValue;
    const int* intValue;
    ul_macrofunc_t function;
};

// A provider over a table of definitions sorted ascending by name (code-unit order); the table
// is not copied and must outlive the provider. Names not in the table go to the parent
// provider; without a parent they are unknown (result 0, "Unknown macro '%s'" left in the
// error buffer for callers that report it).
class ULMacroDefProvider : public ULMacroProvider {
  public:
    ULMacroDefProvider(const ul_macrodef_t* defs, size_t count, ULMacroProvider* parent = nullptr)
        : m_defs(defs), m_count(count), m_parent(parent) {}

    int expandMacro(char16_t* buffer, size_t size, const char16_t* name,
                    const char16_t* const* args, int argc) override;

    // Checks the table's order; every violation is traced, and any makes the result -1.
    int verify() const;

    // The definition of name, or null.
    const ul_macrodef_t* find(const char16_t* name) const;

  private:
    const ul_macrodef_t* m_defs;
    size_t m_count;
    ULMacroProvider* m_parent;
};

#include "ulmacro.h"

#include <new>
#include <string>
#include <vector>

#include "ulerror.h"
#include "ulexpr.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

// The macros whose expansions are being scanned, innermost first. A call of one of them inside
// its own expansion is left alone, which is what stops self-referencing definitions.
struct ActiveMacro {
    const std::u16string& name;
    const ActiveMacro* outer;

    bool holds(const std::u16string& candidate) const {
        for (const ActiveMacro* m = this; m; m = m->outer)
            if (m->name == candidate) return true;
        return false;
    }
};

bool isNameChar(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || ul_isdigit(c) || c == u'_' ||
           c == u'/' || c == u'@';
}

int noSpace() {
    ul_errorsetmsg(0, u"Not enough space for macro expansion");
    return UL_ERROR_RETURN(-1);
}

// One parsed call: the text from "$" up to end, the macro's name and its arguments
// (argc -1 for the bracketed form).
struct MacroCall {
    size_t end = 0;
    std::u16string name;
    std::vector<std::u16string> args;
    int argc = -1;
};

class MacroReplacer {
  public:
    MacroReplacer(ULMacroProvider* provider, int flags)
        : m_provider(provider),
          m_flags(flags),
          m_open(flags & UL_MACRO_CURLY ? u'{' : u'('),
          m_close(flags & UL_MACRO_CURLY ? u'}' : u')') {}

    // Replaces the calls in text, whose result must stay below capacity code units (terminator
    // included). Returns 0 or -1.
    int replace(std::u16string& text, size_t capacity, const ActiveMacro* active);

    long count() const { return m_count; }

  private:
    // Returns 1 for a call to expand, 0 when the text at dollar stays as it is (call.end then
    // says how far), -1 on error.
    int parseCall(const std::u16string& text, size_t dollar, MacroCall* call,
                  const ActiveMacro* active);
    int parseBracketedName(const std::u16string& text, size_t dollar, MacroCall* call,
                           const ActiveMacro* active);
    int parseArguments(const std::u16string& text, size_t pos, MacroCall* call,
                       const ActiveMacro* active);
    // The position of the closing bracket matching an open one before pos, or npos.
    size_t matchingClose(const std::u16string& text, size_t pos) const;
    // Asks the provider; returns its result, with the expansion in *expansion.
    int ask(const MacroCall& call, long room, std::u16string* expansion);
    int expandDollars(long room, std::u16string* out);
    // The provider's output buffer: size code units, reused by every call (an expansion is
    // copied out before the next call).
    char16_t* scratch(size_t size);

    ULMacroProvider* m_provider;
    int m_flags;
    char16_t m_open;
    char16_t m_close;
    long m_count = 0;
    std::u16string m_scratch;
};

size_t MacroReplacer::matchingClose(const std::u16string& text, size_t pos) const {
    int depth = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] == m_open) {
            ++depth;
        } else if (text[pos] == m_close) {
            if (depth == 0) return pos;
            --depth;
        }
    }
    return std::u16string::npos;
}

int MacroReplacer::parseBracketedName(const std::u16string& text, size_t dollar, MacroCall* call,
                                      const ActiveMacro* active) {
    size_t close = matchingClose(text, dollar + 2);
    if (close == std::u16string::npos) {
        ul_errorsetmsgfmt(0, u"Missing closing bracket for macro '%s'", text.c_str() + dollar + 2);
        return UL_ERROR_RETURN(-1);
    }
    call->end = close + 1;
    call->name = text.substr(dollar + 2, close - dollar - 2);
    if (call->name.find(u'$') != std::u16string::npos &&
        replace(call->name, UL_MACRO_BUFSIZE, active) < 0)
        return UL_ERROR_RETURN(-1);
    bool valid = !call->name.empty();
    for (char16_t c : call->name) valid = valid && !ul_isspace(c) && c != u',';
    if (!valid) {
        ul_errorsetmsgfmt(0, u"Invalid macro call '%s'",
                          text.substr(dollar, call->end - dollar).c_str());
        return UL_ERROR_RETURN(-1);
    }
    return 1;
}

int MacroReplacer::parseArguments(const std::u16string& text, size_t pos, MacroCall* call,
                                  const ActiveMacro* active) {
    auto unfinished = [&] {
        ul_errorsetmsgfmt(0, u"Unfinished macro call for '%s'", call->name.c_str());
        return UL_ERROR_RETURN(-1);
    };
    auto tooMany = [](int limit) {
        ul_errorsetmsgfmt(0, u"Not enough space for arguments in macro call (%d)", limit);
        return UL_ERROR_RETURN(-1);
    };
    const size_t n = text.size();
    while (pos < n && ul_isspace(text[pos])) ++pos;
    if (pos < n && text[pos] == m_close) {
        call->end = pos + 1;
        call->argc = 0;
        return 1;
    }
    for (;;) {
        while (pos < n && ul_isspace(text[pos])) ++pos;
        if (pos >= n) return unfinished();
        std::u16string arg;
        if (text[pos] == u'"') {
            for (++pos; pos < n && text[pos] != u'"'; ++pos) {
                if (text[pos] == u'\\' && pos + 1 < n &&
                    (text[pos + 1] == u'\\' || text[pos + 1] == u'"'))
                    ++pos;
                arg += text[pos];
            }
            if (pos >= n) return unfinished();
            for (++pos; pos < n && ul_isspace(text[pos]); ++pos) {
            }
            if (pos >= n) return unfinished();
            if (text[pos] != u',' && text[pos] != m_close) {
                size_t garbageEnd = pos;
                while (garbageEnd < n && text[garbageEnd] != u',' && text[garbageEnd] != m_close)
                    ++garbageEnd;
                ul_errorsetmsgfmt(0, u"Macro argument #%d to '%s' contains trailing garbage '%s'",
                                  static_cast<int>(call->args.size()) + 1, call->name.c_str(),
                                  text.substr(pos, garbageEnd - pos).c_str());
                return UL_ERROR_RETURN(-1);
            }
        } else {
            size_t start = pos;
            for (int depth = 0; pos < n; ++pos) {
                char16_t c = text[pos];
                if (c == m_open) {
                    ++depth;
                } else if (c == m_close) {
                    if (depth == 0) break;
                    --depth;
                } else if (c == u',' && depth == 0) {
                    break;
                }
            }
            if (pos >= n) return unfinished();
            arg = ul_trimmed(std::u16string_view(text).substr(start, pos - start));
        }
        if (call->args.size() >= static_cast<size_t>(UL_MACRO_MAXARGS))
            return tooMany(UL_MACRO_MAXARGS);
        call->args.push_back(std::move(arg));
        if (text[pos++] == m_close) break;
    }
    call->end = pos;
    call->argc = static_cast<int>(call->args.size());
    // Every argument is replaced in the caller's context before the call.
    size_t total = 0;
    for (std::u16string& arg : call->args) {
        if (arg.find(u'$') != std::u16string::npos && replace(arg, UL_MACRO_BUFSIZE, active) < 0)
            return UL_ERROR_RETURN(-1);
        total += arg.size() + 1;
    }
    if (total > UL_MACRO_BUFSIZE) return tooMany(static_cast<int>(UL_MACRO_BUFSIZE));
    return 1;
}

int MacroReplacer::parseCall(const std::u16string& text, size_t dollar, MacroCall* call,
                             const ActiveMacro* active) {
    size_t pos = dollar + 1;
    if (pos < text.size() && text[pos] == m_open)
        return parseBracketedName(text, dollar, call, active);
    while (pos < text.size() && isNameChar(text[pos])) ++pos;
    call->name = text.substr(dollar + 1, pos - dollar - 1);
    if (call->name.empty()) {
        call->end = dollar + 1;
        return 0;
    }
    if (pos >= text.size() || text[pos] != m_open) {
        call->end = pos;
        if (m_flags & UL_MACRO_BARENAMES) return 0;
        ul_errorsetmsgfmt(0, u"Missing opening bracket %c for macro call '%s'", m_open,
                          call->name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    return parseArguments(text, pos + 1, call, active);
}

char16_t* MacroReplacer::scratch(size_t size) {
    if (m_scratch.size() <= size) m_scratch.resize(size + 1);
    m_scratch[0] = m_scratch[size] = u'\0';
    return m_scratch.data();
}

int MacroReplacer::ask(const MacroCall& call, long room, std::u16string* expansion) {
    if (call.argc == 1 && call.name == u"DEFINED") {
        // A provider that fails on the name (for example over the argument count) knows it.
        int known = m_provider
                        ? m_provider->expandMacro(scratch(UL_MACRO_BUFSIZE), UL_MACRO_BUFSIZE,
                                                  call.args[0].c_str(), nullptr, -1)
                        : 0;
        if (room < 2) return noSpace();
        *expansion = known ? u"1" : u"0";
        return UL_MACRO_DEFINED;
    }
    if (!m_provider) return 0;
    std::vector<const char16_t*> argv;
    for (const std::u16string& arg : call.args) argv.push_back(arg.c_str());
    size_t size = static_cast<size_t>(room);
    int rc =
        m_provider->expandMacro(scratch(size), size, call.name.c_str(), argv.data(), call.argc);
    if (rc > 0) expansion->assign(m_scratch.c_str());
    return rc;
}

int MacroReplacer::expandDollars(long room, std::u16string* out) {
    // The provider may write a full buffer, so that a long expansion is reported as a "$$"
    // expansion that does not fit.
    int rc = m_provider ? m_provider->expandMacro(scratch(UL_MACRO_BUFSIZE), UL_MACRO_BUFSIZE, u"$",
                                                  nullptr, -1)
                        : 0;
    if (rc < 0) return UL_ERROR_RETURN(-1);
    std::u16string expansion = rc > 0 ? m_scratch.c_str() : u"$";
    if (static_cast<long>(expansion.size()) >= room) {
        ul_errorsetmsg(0, u"Not enough space for '$$' expansion");
        return UL_ERROR_RETURN(-1);
    }
    *out += expansion;
    ++m_count;
    return 0;
}

int MacroReplacer::replace(std::u16string& text, size_t capacity, const ActiveMacro* active) {
    std::u16string out;
    size_t pos = 0;
    // Room for an expansion ending at end: what the result may still grow by.
    auto roomFor = [&](size_t end) {
        return static_cast<long>(capacity) - static_cast<long>(out.size()) -
               static_cast<long>(text.size() - end);
    };
    while (pos < text.size()) {
        size_t dollar = text.find(u'$', pos);
        if (dollar == std::u16string::npos) {
            out.append(text, pos, std::u16string::npos);
            break;
        }
        out.append(text, pos, dollar - pos);
        if (dollar + 1 < text.size() && text[dollar + 1] == u'$') {
            pos = dollar + 2;
            if (m_flags & UL_MACRO_KEEPDOLLARS)
                out += u"$$";
            else if (expandDollars(roomFor(pos), &out) < 0)
                return UL_ERROR_RETURN(-1);
            continue;
        }
        MacroCall call;
        // Calls inside the arguments or the name count only if this call is replaced.
        long countBefore = m_count;
        int parsed = parseCall(text, dollar, &call, active);
        if (parsed < 0) return UL_ERROR_RETURN(-1);
        std::u16string original = text.substr(dollar, call.end - dollar);
        pos = call.end;
        if (parsed == 0) {
            out += original;
            continue;
        }
        if (active && active->holds(call.name)) {
            UL_TRACE(UL_TRC_MACRO, 2, u"Macro '%s' not expanded inside its own expansion.\n",
                     call.name.c_str());
            m_count = countBefore;
            out += original;
            continue;
        }
        long room = roomFor(pos);
        if (room < 1) return noSpace();
        std::u16string expansion;
        int rc = ask(call, room, &expansion);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) {
            if (!(m_flags & UL_MACRO_KEEPUNKNOWN)) {
                ul_errorsetmsgfmt(0, u"Unknown macro '%s' nargs %d", call.name.c_str(), call.argc);
                return UL_ERROR_RETURN(-1);
            }
            m_count = countBefore;
            out += original;
            continue;
        }
        if ((rc & UL_MACRO_EXPANDAGAIN) || (m_flags & UL_MACRO_RESCAN)) {
            ActiveMacro self{call.name, active};
            if (replace(expansion, static_cast<size_t>(room), &self) < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (static_cast<long>(expansion.size()) >= room) return noSpace();
        const char16_t* shown = rc & UL_MACRO_HIDDEN ? u"<HIDDEN>" : expansion.c_str();
        if (call.argc < 0)
            UL_TRACE(UL_TRC_MACRO, 2, u"Expanded '%s' to '%s'.\n", call.name.c_str(), shown);
        else
            UL_TRACE(UL_TRC_MACRO, 2, u"Expanded '%s' with %d args to '%s'.\n", call.name.c_str(),
                     call.argc, shown);
        out += expansion;
        ++m_count;
    }
    if (out.size() >= capacity) return noSpace();
    text.swap(out);
    return 0;
}

}  // namespace

long ul_macroreplace(char16_t* buffer, size_t size, ULMacroProvider* provider, int flags) {
    if (size == 0 || !buffer) return 0;
    size_t length = size == UL_MACRO_SIZEUNKNOWN ? ul_strlen(buffer) : 0;
    size_t capacity = size;
    if (size == UL_MACRO_SIZEUNKNOWN) {
        capacity = length < UL_MACRO_BUFSIZE ? UL_MACRO_BUFSIZE : length + 1;
    } else {
        while (length < size && buffer[length]) ++length;
        if (length >= size) {
            ul_errorsetmsg(0, u"Not enough space for macro expansion");
            return UL_ERROR_RETURN(-1);
        }
    }
    if (!ul_strchr(buffer, u'$')) return 0;
    return ul_guarded([&]() -> long {
        std::u16string text(buffer, length);
        MacroReplacer replacer(provider, flags);
        if (replacer.replace(text, capacity, nullptr) < 0) return UL_ERROR_RETURN(-1);
        text.copy(buffer, text.size());
        buffer[text.size()] = u'\0';
        return replacer.count();
    });
}

int ul_macroreplacestring(std::u16string* text, ULMacroProvider* provider, int flags) {
    if (!provider || text->find(u'$') == std::u16string::npos) return 0;
    return ul_guarded([&]() -> int {
        std::u16string buffer(*text);
        buffer.resize(text->size() + UL_MACRO_BUFSIZE, u'\0');
        if (ul_macroreplace(buffer.data(), buffer.size(), provider, flags) < 0)
            return UL_ERROR_RETURN(-1);
        text->assign(buffer.c_str());
        return 0;
    });
}

int ul_macrocondition(const char16_t* condition, ULMacroProvider* provider, int flags) {
    const int result = ul_guarded([&] {
        int value = -1;
        std::u16string text = condition;
        text.resize(ul_stringtrim(text.data()));
        ULExprCompiled expression;
        if (ul_macroreplacestring(&text, provider, flags) == 0 &&
            expression.compile(text.c_str()) == 0)
            value = expression.evaluateCondition(nullptr, nullptr);
        UL_TRACE(UL_TRC_MACRO, 3, u"Condition '%s' is %d.\n", text.c_str(), value);
        return value;
    });
    if (result >= 0) return result;
    std::u16string written = condition;
    written.resize(ul_stringtrim(written.data()));
    ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Illegal condition '%s'", written.c_str());
    return UL_ERROR_RETURN(-1);
}

// ---- ULMacroDefProvider -------------------------------------------------------------------

const ul_macrodef_t* ULMacroDefProvider::find(const char16_t* name) const {
    size_t low = 0, high = m_count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        int cmp = ul_strcmp(m_defs[middle].name, name);
        if (cmp == 0) return &m_defs[middle];
        if (cmp < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return nullptr;
}

namespace {

int argumentCountError(const char16_t* format, const char16_t* name) {
    ul_errorsetmsgfmt(0, format, name);
    return UL_ERROR_RETURN(-1);
}

int checkArgumentCount(const ul_macrodef_t* def, const char16_t* name, int argc) {
    if (def->nargs == UL_MACRODEF_ANYARGS) return 0;
    if (def->nargs == UL_MACRODEF_NOARGS) {
        if (argc > 0) return argumentCountError(u"No arguments expected for macro '%s'!", name);
        return 0;
    }
    if (argc <= 0) return argumentCountError(u"Missing macro arguments for '%s'!", name);
    if (argc != def->nargs)
        return argumentCountError(u"Wrong number of arguments for macro '%s'!", name);
    return 0;
}

}  // namespace

int ULMacroDefProvider::expandMacro(char16_t* buffer, size_t size, const char16_t* name,
                                    const char16_t* const* args, int argc) {
    const ul_macrodef_t* def = find(name);
    if (!def) {
        if (m_parent) return m_parent->expandMacro(buffer, size, name, args, argc);
        ul_errorsetmsgfmt(0, u"Unknown macro '%s'", name);
        return 0;
    }
    if (checkArgumentCount(def, name, argc) < 0) return UL_ERROR_RETURN(-1);
    int hidden = def->flags & UL_MACRODEF_HIDDEN ? UL_MACRO_HIDDEN : 0;
    switch (def->type) {
        case UL_MACRODEF_STRING: {
            const char16_t* value = def->stringValue ? def->stringValue : u"";
            if (size == 0 || ul_strlcpy(buffer, value, size) >= size) return noSpace();
            return UL_MACRO_DEFINED | hidden;
        }
        case UL_MACRODEF_INTEGER: {
            int written = ul_sprintf(buffer, size, u"%d", def->intValue ? *def->intValue : 0);
            if (written < 0 || static_cast<size_t>(written) >= size) return noSpace();
            return UL_MACRO_DEFINED | hidden;
        }
        case UL_MACRODEF_FUNCTION: {
            int rc = def->function ? def->function(name, buffer, size, args, argc, def) : -1;
            if (rc < 0) {
                ul_errorsetmsgfmt(def->function ? UL_ERR_APPEND : 0u,
                                  u"Macro call for '%s' failed!", name);
                return UL_ERROR_RETURN(-1);
            }
            return UL_MACRO_DEFINED | (rc & (UL_MACRO_EXPANDAGAIN | UL_MACRO_HIDDEN)) | hidden;
        }
        default:
            ul_errorsetmsgfmt(0, u"Unknown macro type %d", static_cast<int>(def->type));
            return UL_ERROR_RETURN(-1);
    }
}

int ULMacroDefProvider::verify() const {
    int errors = 0;
    for (size_t i = 1; i < m_count; ++i) {
        if (ul_strcmp(m_defs[i - 1].name, m_defs[i].name) >= 0) {
            UL_TRACE(UL_TRC_MACRO, 0, u"Wrong order for macro definition '%s' >= '%s'!\n",
                     m_defs[i - 1].name, m_defs[i].name);
            ++errors;
        }
    }
    if (errors == 0) return 0;
    ul_errorsetmsgfmt(0, u"Found %d errors in macro list - maybe wrong alphabetical order?",
                      errors);
    return UL_ERROR_RETURN(-1);
}

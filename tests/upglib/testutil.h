// Helpers shared by the unit tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "ulerror.h"
#include "ulstring.h"

// UTF-8 view of a UTF-16 string, so that failures print readably.
inline std::string u8(const char16_t* text) {
    return ul_utf16to8(text);
}
inline std::string u8(const std::u16string& text) {
    return ul_utf16to8(text.c_str(), text.size());
}

// The pieces appended in turn to one string: concat("n", std::to_string(i)) or
// concat<char16_t>(u"!", errorText()). Used instead of `"literal" + temporary`, which
// GCC 12 at -O2 reports as a false -Wrestrict inside libstdc++'s insert.
template <class Char = char, class... Pieces>
std::basic_string<Char> concat(const Pieces&... pieces) {
    std::basic_string<Char> out;
    ((out += pieces), ...);
    return out;
}

// The error buffer's current text.
inline std::u16string errorText() {
    return ul_errorgetmsg();
}

// The error buffer's current text in UTF-8, for comparing with narrow literals.
inline std::string errorUtf8() {
    return ul_utf16to8(ul_errorgetmsg());
}

// The text an out-of-memory failure stores; the error buffer is left as it was.
inline std::u16string outOfMemoryText() {
    std::u16string saved = ul_errorgetmsg();
    ul_erroroutofmemory();
    std::u16string text = ul_errorgetmsg();
    ul_errorsetmsg(0, saved.c_str());
    return text;
}

// A FILE* whose content can be read back as a string (open_memstream).
class MemoryStream {
  public:
    MemoryStream() : stream_(open_memstream(&data_, &size_)) {}
    ~MemoryStream() {
        if (stream_) fclose(stream_);
        free(data_);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    FILE* get() { return stream_; }
    std::string text() {
        fflush(stream_);
        return std::string(data_, size_);
    }

  private:
    char* data_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
};

// Sets (or, with nullptr, removes) an environment variable until the end of the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// What the libFuzzer targets of this folder share: the input as UTF-16 text, one scratch
// directory per process for targets that read files, a few macros for the readers that replace
// them, and the check that turns a broken property into a crash the fuzzer reports.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ulerror.h"
#include "ulmacro.h"
#include "ulstring.h"

// The input as text: UTF-8 decoded as the tool decodes files (invalid bytes become U+FFFD).
inline std::u16string fuzz_text(const uint8_t* data, size_t size) {
    return ul_utf8to16(reinterpret_cast<const char*>(data), size);
}

// Stops the process with the property that failed, so that libFuzzer keeps the input.
[[noreturn]] inline void fuzz_fail(const char* property, const std::u16string& detail) {
    fprintf(stderr, "PROPERTY FAILED: %s\n%s\nlast error text: %s\n", property,
            ul_utf16to8(detail.c_str(), detail.size()).c_str(),
            ul_utf16to8(ul_errorgetmsg()).c_str());
    abort();
}
#define FUZZ_CHECK(condition, detail) ((condition) ? (void)0 : fuzz_fail(#condition, (detail)))

// A directory of this process, removed with its files when the process ends normally. Files
// are rewritten in place for every input, so a run of millions of inputs uses the same few
// paths.
class FuzzDir {
  public:
    static FuzzDir& get() {
        static FuzzDir dir;
        return dir;
    }
    // The path of a file in the directory, in UTF-8 and in UTF-16.
    std::string path(const char* name) const { return path_ + "/" + name; }
    std::u16string wpath(const char* name = nullptr) const {
        return ul_utf8to16(name ? path(name).c_str() : path_.c_str());
    }
    // Replaces the file with these bytes and returns its UTF-16 path.
    std::u16string write(const char* name, const void* data, size_t size) const {
        std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        if (!out) {
            fprintf(stderr, "cannot write %s\n", path(name).c_str());
            abort();
        }
        return wpath(name);
    }
    std::u16string write(const char* name, const std::string& text) const {
        return write(name, text.data(), text.size());
    }

  private:
    FuzzDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tabrix-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            perror("mkdtemp");
            abort();
        }
        path_ = pattern;
    }
    ~FuzzDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string path_;
};

// Macros for the readers that replace them: a value, an empty value, a value that is itself a
// call, and a function that joins its arguments.
inline int fuzz_joinmacro(const char16_t*, char16_t* buffer, size_t size,
                          const char16_t* const* args, int argc, const ul_macrodef_t*) {
    std::u16string joined;
    for (int i = 0; i < argc; ++i) joined += (i ? u"," : u"") + std::u16string(args[i]);
    if (joined.size() >= size) {
        ul_errorsetmsg(0, u"Not enough space for macro expansion");
        return -1;
    }
    joined.copy(buffer, joined.size());
    buffer[joined.size()] = 0;
    return UL_MACRO_DEFINED;
}
inline ULMacroProvider* fuzz_macros() {
    static const int number = 42;
    static const ul_macrodef_t defs[] = {
        {u"A", UL_MACRODEF_STRING, 0, UL_MACRODEF_NOARGS, u"1", nullptr, nullptr},
        {u"AGAIN", UL_MACRODEF_STRING, 0, UL_MACRODEF_NOARGS, u"$(A)$(AGAIN)", nullptr, nullptr},
        {u"EMPTY", UL_MACRODEF_STRING, 0, UL_MACRODEF_NOARGS, u"", nullptr, nullptr},
        {u"JOIN", UL_MACRODEF_FUNCTION, 0, UL_MACRODEF_ANYARGS, nullptr, nullptr, fuzz_joinmacro},
        {u"N", UL_MACRODEF_INTEGER, 0, UL_MACRODEF_NOARGS, nullptr, &number, nullptr},
        {u"PAIR", UL_MACRODEF_FUNCTION, 0, 2, nullptr, nullptr, fuzz_joinmacro},
        {u"SECRET", UL_MACRODEF_STRING, UL_MACRODEF_HIDDEN, UL_MACRODEF_NOARGS, u"x", nullptr,
         nullptr},
    };
    static ULMacroDefProvider provider(defs, std::size(defs));
    return &provider;
}

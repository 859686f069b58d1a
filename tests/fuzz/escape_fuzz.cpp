// Backslash escapes: the first byte chooses the escape table, the second the terminator, the
// rest is the text. Reading words from the text always advances; any word written by
// ul_stringgenescape reads back unchanged and entirely; a word it refuses is one it documents.
#include <string>

#include "fuzzutil.h"
#include "ulstring2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int tables[] = {UL_ESCAPE_DEFAULT, UL_ESCAPE_QUOTE, UL_ESCAPE_BRACES,
                          UL_ESCAPE_C,       UL_ESCAPE_NONE,  UL_ESCAPE_DOUBLEDQUOTE};
    const char16_t terminators[] = {0, u',', u';', u'=', u'\\', u'"', u'}', u'\''};
    const int flags = tables[data[0] % std::size(tables)];
    const char16_t terminator = terminators[data[1] % std::size(terminators)];
    std::u16string text = fuzz_text(data + 2, size - 2);
    text = text.substr(0, text.find(u'\0'));
    const std::u16string detail = u"flags " + ul_utf8to16(std::to_string(flags).c_str()) +
                                  u" terminator [" + std::u16string(1, terminator) + u"] text [" +
                                  text + u"]";

    std::u16string word(text.size() + 1, u'\0');
    const char16_t* p = text.c_str();
    for (;;) {
        const char16_t* end = nullptr;
        const int rc = ul_stringreadescape(word.data(), word.size(), p, terminator, &end, flags);
        if (rc <= 0) break;
        FUZZ_CHECK(end > p || *end, detail);  // a word read at the end must consume something
        p = *end ? end + 1 : end;
    }

    // Two words cannot be written: a double quote where no escape writes it, and a trailing
    // backslash with a backslash terminator where backslash-quote is an escape. Such a refusal
    // returns -1 with an error text, and then there is nothing to read back.
    std::u16string written;
    ul_errorsetmsg(0, u"");
    const int n = ul_stringgenescape(&written, text, terminator, flags);
    if (n < 0) {
        const bool refusable = text.find(u'"') != std::u16string::npos ||
                               (terminator == u'\\' && text.ends_with(u'\\'));
        FUZZ_CHECK(n == -1 && refusable && *ul_errorgetmsg(), detail);
        return 0;
    }
    FUZZ_CHECK(static_cast<size_t>(n) == written.size(), detail);
    const char16_t* end = nullptr;
    FUZZ_CHECK(ul_stringreadescape(word.data(), word.size(), written.c_str(), terminator, &end,
                                   flags) == 1,
               detail + u" written [" + written.c_str() + u"]");
    FUZZ_CHECK(word.c_str() == text && end == written.c_str() + n,
               detail + u" written [" + written.c_str() + u"] read [" + word.c_str() + u"]");
    return 0;
}

// Statement texts and environment conditions of execdb scripts. The first byte chooses what the
// rest is. A statement accepted under a suffix names a quoted table (it holds a quote or, with
// brackets, a bracket), and a refused one says why; a condition holds, fails or names its error.
#include <string>

#include "execdbstmt.h"
#include "fuzzutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::u16string text = fuzz_text(data + 1, size - 1);
    text = text.substr(0, text.find(u'\0'));
    ul_errorsetmsg(0, u"");
    if (data[0] & 1) {
        const int rc = ul_execdbenvcondition(text.c_str());
        FUZZ_CHECK(rc == 1 || rc == 0 || (rc == -1 && *ul_errorgetmsg()), text);
        return 0;
    }
    const bool brackets = data[0] & 2;
    const int rc = ul_execdbchecksuffix(text.c_str(), u"~", brackets);
    FUZZ_CHECK(rc == 0 || (rc == -1 && *ul_errorgetmsg()), text);
    const bool quoted = text.find(u'"') != std::u16string::npos ||
                        (brackets && text.find(u'[') != std::u16string::npos);
    FUZZ_CHECK(rc == -1 || (quoted && text.find(u'~') != std::u16string::npos), text);
    return 0;
}

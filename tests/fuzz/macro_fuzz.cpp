// Macro calls: the first byte chooses the replacement flags, the rest is the line. Replacement
// either fails and leaves the line as it was, or fits the buffer; the line also goes through
// the condition evaluator.
#include <string>
#include <vector>

#include "fuzzutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int flags = data[0] & (UL_MACRO_KEEPUNKNOWN | UL_MACRO_RESCAN | UL_MACRO_BARENAMES |
                                 UL_MACRO_CURLY | UL_MACRO_KEEPDOLLARS);
    std::u16string line = fuzz_text(data + 1, size - 1);
    line = line.substr(0, line.find(u'\0'));
    // Room for some growth, so that both fitting and overflowing expansions occur.
    std::vector<char16_t> buffer(line.size() + 64, u'\0');
    line.copy(buffer.data(), line.size());
    const long rc = ul_macroreplace(buffer.data(), buffer.size(), fuzz_macros(), flags);
    const std::u16string result(buffer.data());
    if (rc < 0)
        FUZZ_CHECK(result == line, u"changed on failure: [" + line + u"] -> [" + result + u"]");
    FUZZ_CHECK(result.size() < buffer.size(), line);
    ul_macrocondition(line.c_str(), fuzz_macros(), flags);
    return 0;
}

// Statement text as the engines without hint syntax pass it on: hint phrases are cut out
// outside quotes and comments, everything else is kept. Properties: the result is never longer
// than the text plus one blank per phrase; the markers counted are "?" of the text; without an
// unterminated phrase a second pass changes nothing and counts the same markers.
#include <algorithm>
#include <string>

#include "dbif_sqltext.h"
#include "fuzzutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text = fuzz_text(data, size);
    text = text.substr(0, text.find(u'\0'));
    std::u16string out;
    const long markers = dbif_striphints(text.c_str(), &out);
    const long questions = static_cast<long>(std::count(text.begin(), text.end(), u'?'));
    FUZZ_CHECK(out.size() <= text.size(), text);
    FUZZ_CHECK(markers <= questions, text);
    FUZZ_CHECK(markers >= -1, text);
    if (markers < 0) return 0;
    std::u16string again;
    FUZZ_CHECK(dbif_striphints(out.c_str(), &again) == markers, text);
    FUZZ_CHECK(again == out, text);
    return 0;
}

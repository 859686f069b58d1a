// Key-trace log lines: the line reader takes any line and either fails with a message or
// delivers fields within their limits; a trace's pattern always ends with "*" unless empty,
// and its language vector holds no character twice.
#include <string>

#include "fuzzutil.h"
#include "genkeytrace.h"
#include "ulerror.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string line = fuzz_text(data, size);
    if (line.find(u'\0') != std::u16string::npos) return 0;
    ul_keytraceline_t t;
    if (ul_keytraceparseline(line.c_str(), 1, u"fuzz.log", &t) < 0) {
        FUZZ_CHECK(*ul_errorgetmsg() != 0, line);
        return 0;
    }
    if (t.kind != ul_keytraceline_t::Kind::Trace) return 0;
    FUZZ_CHECK(t.table.size() <= 31 && t.pattern.size() <= 174 && t.languages.size() <= 1001,
               line);
    FUZZ_CHECK(t.pattern.empty() ? t.length == 0 : t.pattern.back() == u'*', line);
    for (size_t i = 0; i < t.languages.size(); ++i)
        FUZZ_CHECK(t.languages.find(t.languages[i], i + 1) == std::u16string::npos, line);
    return 0;
}

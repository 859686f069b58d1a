// CRC files: the reader takes any file and either refuses it with a reason or builds a line
// tree. A file read as its own reference file matches line for line: no difference is found
// and nothing is reported, provided its sections are consistent; every line it holds can be
// formatted again.
#include <string>

#include "fuzzutil.h"
#include "ulsqlcrcanalyze.h"
#include "ulsqlcrcutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzDir& dir = FuzzDir::get();
    const std::u16string input = dir.write("in.crc", data, size);
    ULCheckCRCFile own;
    if (own.read(input.c_str(), nullptr, 0) < 0) {
        FUZZ_CHECK(*ul_errorgetmsg() != 0, u"a refusal without a reason");
        return 0;
    }
    for (auto& t : own.tables()) {
        // A section whose lists disagree is refused as a reference: only consistent ones
        // must match themselves.
        if (t->check() < 0) return 0;
        for (const ul_chkcrcline_t& l : t->lines) {
            std::u16string text;
            FUZZ_CHECK(t->formatCRCLine(l, &text, &l.start) == 0, t->name());
        }
    }
    ULCheckCRCFile both;
    const int rc = both.read(input.c_str(), input.c_str(), 0);
    FUZZ_CHECK(rc == 0, fuzz_text(data, size));
    auxlogcrc_t log;  // no log stream: counts only
    FUZZ_CHECK(both.evaluate(&log, UL_CRCEVAL_GIVEN, nullptr) == 0, fuzz_text(data, size));
    // Only a section without lines is left to scan; nothing differs, nothing is missing.
    FUZZ_CHECK((ul_crcanalyzebits(&both, input.c_str()) & ~8) == 0, fuzz_text(data, size));
    return 0;
}

// Count files: the input reader takes any file and hands on only lines of the documented form;
// the output reader takes any file, and the counts it read, written again, read back equal.
#include <map>
#include <string>
#include <vector>

#include "fuzzutil.h"
#include "ulsqlcntfile.h"
#include "ultextfile.h"

namespace {

struct Inputs : ULCountInputReader {
    int readCountInput(const char16_t* table, const char16_t*, const char16_t* where,
                       int mode) override {
        FUZZ_CHECK(*table != 0, u"empty table name");
        FUZZ_CHECK(!where || *where, u"empty condition");
        FUZZ_CHECK((mode & ~0x77) == 0, u"unknown mode bits");
        return 1;
    }
};

struct Counts : ULCountOutputReader {
    int readCountOutput(const char16_t* table, ul_dbrowcount_t count, bool clientdep) override {
        order.push_back(table);
        counts[table] = {count, clientdep};
        return 0;
    }
    std::vector<std::u16string> order;
    std::map<std::u16string, std::pair<ul_dbrowcount_t, bool>> counts;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzDir& dir = FuzzDir::get();
    const std::u16string file = dir.write("in.cnt", data, size);
    Inputs inputs;
    (void)ul_sqlcntinread(file.c_str(), &inputs);
    Counts first;
    if (ul_sqlcntoutread(file.c_str(), &first, UL_CNTOUT_REPAIR) < 0) return 0;
    const std::u16string copy = dir.wpath("copy.cnt");
    {
        ULTextFileWriter out;
        FUZZ_CHECK(out.open(copy.c_str()) == 0, u"cannot write");
        for (const std::u16string& t : first.order) {
            const auto& [count, clientdep] = first.counts[t];
            FUZZ_CHECK(ul_sqlcntwriteoutputline(&out, count % 3, t.c_str(), count, clientdep) == 0,
                       t);
        }
        FUZZ_CHECK(out.close() == 0, u"cannot close");
    }
    Counts second;
    FUZZ_CHECK(ul_sqlcntoutread(copy.c_str(), &second, 0) >= 0, u"written file unreadable");
    FUZZ_CHECK(second.counts == first.counts, u"counts differ after writing");
    return 0;
}

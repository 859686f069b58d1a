// Partition comments of split conditions: every line of the input is a condition. When the
// fixer accepts the list, each condition ends in a comment that reads back, the conditions of
// each partition are numbered 1..n in order with n their number, and fixing again changes
// nothing; when it refuses, it says why.
#include <map>
#include <vector>

#include "fuzzutil.h"
#include "ulsqlsplitdb.h"

namespace {

std::vector<std::u16string> texts(const ULTableSplit& split) {
    std::vector<std::u16string> out;
    for (const ul_tablesegment_t& s : split) out.emplace_back(s.condition());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string input = fuzz_text(data, size);
    ULTableSplit split;
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find(u'\n', start);
        if (end == std::u16string::npos) end = input.size();
        // A condition keeps a line end inside when the input escapes it as "\n".
        std::u16string line = input.substr(start, end - start);
        for (size_t p = line.find(u"\\n"); p != std::u16string::npos; p = line.find(u"\\n", p + 1))
            line.replace(p, 2, u"\n");
        if (!line.empty() && line.find(u'\0') == std::u16string::npos)
            split.createSegmentEntry(UL_DBROWCOUNT_INVALID, line.c_str(), 0);
        start = end + 1;
    }
    ul_errorsetmsg(0, nullptr);
    if (ul_sqlsplitfixer_db2(&split, 0) < 0) {
        FUZZ_CHECK(*ul_errorgetmsg() != 0, input);
        return 0;
    }
    const std::vector<std::u16string> fixed = texts(split);
    std::map<int, int> seen, totals;
    std::vector<std::pair<int, int>> numbers;
    bool commented = false;
    for (const std::u16string& c : fixed) {
        int part = 0, isplit = 0, nsplits = 0;
        size_t offset = 0, length = 0;
        const int rc =
            ul_sqlwhereparsecomment_db2(c.c_str(), &part, &isplit, &nsplits, &offset, &length);
        FUZZ_CHECK(rc >= 0, c);
        if (rc == 0) continue;
        commented = true;
        FUZZ_CHECK(offset + length == c.size(), c);
        FUZZ_CHECK(isplit == ++seen[part], c);
        numbers.emplace_back(part, nsplits);
        ++totals[part];
    }
    for (const auto& [part, n] : numbers) FUZZ_CHECK(totals[part] == n, input);
    if (commented) FUZZ_CHECK(numbers.size() == fixed.size(), input);
    FUZZ_CHECK(ul_sqlsplitfixer_db2(&split, 0) == 0, input);
    FUZZ_CHECK(texts(split) == fixed, input);
    return 0;
}

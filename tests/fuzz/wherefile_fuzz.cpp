// Where files: the reader takes any file; what it read, written again by the writer, reads back
// as the same tables with the same conditions, counts and native flags.
#include <map>
#include <utility>
#include <vector>

#include "fuzzutil.h"
#include "ulhashlist.h"
#include "ulsqlsplit.h"

namespace {

struct TableConditions {
    bool native = false;
    std::vector<std::pair<ul_dbrowcount_t, std::u16string>> conditions;
    bool operator==(const TableConditions&) const = default;
};
using Tables = std::map<std::u16string, TableConditions>;

Tables collect(ULTableSplitList& list) {
    Tables tables;
    ul_hashlistiter_t it(&list.m_hash);
    const char16_t* name = nullptr;
    while (void* slot = it.next(&name)) {
        const ULTableSplit* split = *static_cast<ULTableSplit**>(slot);
        TableConditions& table = tables[name];
        table.native = split->native;
        for (const ul_tablesegment_t& s : *split)
            table.conditions.emplace_back(s.rows, s.condition());
    }
    return tables;
}

std::u16string describe(const Tables& tables) {
    std::u16string text;
    for (const auto& [name, table] : tables) {
        text += u"tab [" + name + u"]" + (table.native ? u" native\n" : u"\n");
        for (const auto& [rows, condition] : table.conditions)
            text += ul_utf8to16(std::to_string(rows).c_str()) + u" [" + condition + u"]\n";
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzDir& dir = FuzzDir::get();
    const std::u16string input = dir.write("in.whr", data, size);
    const std::u16string output = dir.wpath("out.whr");
    ULTableSplitList first;
    if (ul_sqlreadwherefile(&first, input.c_str(), nullptr, fuzz_macros(), 0) < 0) return 0;
    const Tables read = collect(first);

    // The file is created by the first table written and appended to by the others.
    ul_sqlwherefilesforget();
    ul_hashlistiter_t it(&first.m_hash);
    const char16_t* name = nullptr;
    while (void* slot = it.next(&name)) {
        const ULTableSplit* split = *static_cast<ULTableSplit**>(slot);
        FUZZ_CHECK(
            ul_sqlwritewherefile(output.c_str(), name, split, 0, nullptr) == split->getCount(),
            describe(read));
    }
    if (read.empty()) return 0;
    // Read without macros: the written conditions hold the replaced text.
    ULTableSplitList second;
    FUZZ_CHECK(ul_sqlreadwherefile(&second, output.c_str(), nullptr, nullptr, 0) >= 0,
               describe(read));
    const Tables back = collect(second);
    FUZZ_CHECK(back == read, u"read:\n" + describe(read) + u"read back:\n" + describe(back));
    return 0;
}

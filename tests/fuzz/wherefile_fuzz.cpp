// Where files: the reader takes any file. What it read, unless the writer refuses it, is written
// and reads back as the same tables, counts and native flags; the conditions then are in the
// written form, and written once more they read back exactly.
#include <map>
#include <utility>
#include <vector>

#include "fuzzutil.h"
#include "ulhashlist.h"
#include "ulsqlwherefile.h"

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

// Writes every table of the list to a new file. False when the writer refuses one.
bool writeAll(ULTableSplitList& list, const std::u16string& file) {
    ul_sqlwherefilesforget();  // the first table creates the file, the others append
    ul_hashlistiter_t it(&list.m_hash);
    const char16_t* name = nullptr;
    while (void* slot = it.next(&name)) {
        const ULTableSplit* split = *static_cast<ULTableSplit**>(slot);
        if (ul_sqlwritewherefile(file.c_str(), name, split, 0, nullptr) != split->getCount())
            return false;
    }
    return true;
}

// The same tables, flags, counts and number of conditions: the texts may differ, since a
// condition is written in one form (blank runs and control characters outside quotes become
// one blank).
bool sameBlocks(const Tables& a, const Tables& b) {
    if (a.size() != b.size()) return false;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
        if (ia->first != ib->first || ia->second.native != ib->second.native ||
            ia->second.conditions.size() != ib->second.conditions.size())
            return false;
        for (size_t i = 0; i < ia->second.conditions.size(); ++i)
            if (ia->second.conditions[i].first != ib->second.conditions[i].first) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzDir& dir = FuzzDir::get();
    const std::u16string input = dir.write("in.whr", data, size);
    const std::u16string once = dir.wpath("once.whr"), twice = dir.wpath("twice.whr");
    ULTableSplitList first;
    if (ul_sqlreadwherefile(&first, input.c_str(), nullptr, fuzz_macros(), 0) <= 0) return 0;
    const Tables read = collect(first);
    // The writer refuses names and conditions that would not read back as they are written.
    if (!writeAll(first, once)) return 0;

    // Read without macros: the written conditions hold the replaced text.
    ULTableSplitList second;
    FUZZ_CHECK(ul_sqlreadwherefile(&second, once.c_str(), nullptr, nullptr, 0) >= 0,
               describe(read));
    const Tables written = collect(second);
    FUZZ_CHECK(sameBlocks(read, written),
               u"read:\n" + describe(read) + u"read back:\n" + describe(written));
    // What was written and read back is in the written form: it reads back exactly.
    FUZZ_CHECK(writeAll(second, twice), describe(written));
    ULTableSplitList third;
    FUZZ_CHECK(ul_sqlreadwherefile(&third, twice.c_str(), nullptr, nullptr, 0) >= 0,
               describe(written));
    const Tables back = collect(third);
    FUZZ_CHECK(back == written,
               u"written:\n" + describe(written) + u"read back:\n" + describe(back));
    return 0;
}

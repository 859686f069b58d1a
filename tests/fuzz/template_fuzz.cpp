// Templates through the preprocessor: the reader takes any file, with includes from its own
// directory and macros; a section of the file itself read again after seek() is the same.
#include <string>
#include <vector>

#include "fuzzutil.h"
#include "ultplreader.h"

namespace {

const ul_tplsectiondef_t kSections[] = {{u"tab", 1}, {u"crestm", 2}, {u"drpstm", 3}, {u"x", 4}};

// Read by "#include inc.tpl"; the input itself is "main.tpl" and may include itself.
const char kInclude[] =
    "inc{arg}: included\n"
    "#if $(A) == 1\n"
    "  yes\n"
    "#else\n"
    "  no\n"
    "#endif\n";

std::u16string describe(const ULTPLSection& s) {
    std::u16string text = s.name + u"{" + s.argument + u"}";
    for (const std::u16string& line : s.lines) text += u"\n  [" + line + u"]";
    return text;
}

bool same(const ULTPLSection& a, const ULTPLSection& b) {
    return a.name == b.name && a.type == b.type && a.hasArgument == b.hasArgument &&
           a.argument == b.argument && a.lines == b.lines && a.line == b.line &&
           a.offset == b.offset;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzDir& dir = FuzzDir::get();
    static const std::u16string include = dir.write("inc.tpl", kInclude);
    const std::u16string main = dir.write("main.tpl", data, size);
    ULTPLReader reader(kSections, std::size(kSections), fuzz_macros());
    if (reader.addIncludePath(dir.wpath().c_str()) < 0 || reader.open(main.c_str()) < 0) return 0;
    ULTPLSection section;
    std::vector<ULTPLSection> own;  // sections of main.tpl itself
    int rc;
    while ((rc = reader.getNext(&section)) == 1)
        if (section.includeLevel == 0) own.push_back(section);
    if (rc < 0 || own.empty()) return 0;
    const ULTPLSection& remembered = own[own.size() / 2];
    FUZZ_CHECK(reader.seek(remembered.offset, remembered.line) == 0, describe(remembered));
    FUZZ_CHECK(reader.getNext(&section) == 1, describe(remembered));
    FUZZ_CHECK(same(section, remembered),
               u"first:\n" + describe(remembered) + u"\nafter seek:\n" + describe(section));
    return 0;
}

// Object and name lists: the object list reader takes any file and yields only entries with
// names (an index also with its table); written again with escaped names, the list reads back
// equal. The plain name list reader (table and class lists) yields one non-empty name per line.
#include <string>
#include <vector>

#include "fuzzutil.h"
#include "objsize.h"
#include "ullistfile.h"
#include "ulstring2.h"
#include "ultextfile.h"

namespace {

const char16_t* prefix(dbif_objkind kind) {
    return kind == dbif_objkind::table ? u"tab: " : kind == dbif_objkind::index ? u"ind: " : u"dbs: ";
}

std::u16string escaped(const std::u16string& name) {
    std::u16string out;
    FUZZ_CHECK(ul_stringgenescape(&out, name, 0, UL_ESCAPE_C | UL_ESCAPE_CONTROL) >= 0, name);
    return out;
}

void readNames(const std::u16string& file) {
    ULListFileReader list;
    if (list.open(file.c_str(), u"Cannot read '%s'") < 0) return;
    while (list.next(u"Cannot read '%s'") > 0) {
        const char16_t* p = list.line();
        std::u16string name;
        const int rc = ul_listreadname(&p, &name);
        FUZZ_CHECK(rc <= 0 || (!name.empty() && name.size() <= UL_LISTNAME_MAX), name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzDir& dir = FuzzDir::get();
    const std::u16string file = dir.write("in.lst", data, size);
    readNames(file);
    std::vector<dbif_objsize_t> first;
    if (ul_objsizereadlist(file.c_str(), &first) < 0) return 0;
    const std::u16string copy = dir.wpath("copy.lst");
    {
        ULTextFileWriter out;
        FUZZ_CHECK(out.open(copy.c_str()) == 0, u"cannot write");
        for (const dbif_objsize_t& o : first) {
            FUZZ_CHECK(!o.name.empty(), u"empty name");
            FUZZ_CHECK((o.kind == dbif_objkind::index) == !o.table.empty(), o.name);
            std::u16string line = prefix(o.kind) + escaped(o.name);
            if (o.kind == dbif_objkind::index) line += u" " + escaped(o.table);
            FUZZ_CHECK(out.writeLine(line.c_str()) == 0, line);
        }
        FUZZ_CHECK(out.close() == 0, u"cannot close");
    }
    std::vector<dbif_objsize_t> second;
    FUZZ_CHECK(ul_objsizereadlist(copy.c_str(), &second) == 0, u"written list unreadable");
    FUZZ_CHECK(second.size() == first.size(), u"entries differ in number");
    for (size_t i = 0; i < first.size(); ++i)
        FUZZ_CHECK(second[i].kind == first[i].kind && second[i].name == first[i].name &&
                       second[i].table == first[i].table,
                   first[i].name);
    return 0;
}

// XML: the first byte chooses the reader's mode, the rest is the document, read from a string
// and from a file. A tree read is checksummed (a stored checksum verifies) and processed with
// macros, conditions, loops and includes from the file's directory.
#include <string>

#include "fuzzutil.h"
#include "ulxmli.h"
#include "ulxmlp.h"

namespace {

// Read by <include name="inc.xml"/>; the input itself is "main.xml" and may include itself.
const char kInclude[] =
    "<inc a=\"$(A)\"><define-macro name=\"M\">m</define-macro><if test=\"1\">$(M)</if></inc>";

ul_xmlnode_t* firstTag(ul_xmlnode_t* list) {
    while (list && !ul_xmlistag(list)) list = list->next;
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const FuzzDir& dir = FuzzDir::get();
    static const std::u16string include = dir.write("inc.xml", kInclude);
    const int mode = data[0] & (UL_XMLREAD_WSAFTERCONTENT | UL_XMLREAD_KEEPOUTSIDE |
                                UL_XMLREAD_LAZYHTML | UL_XMLREAD_STRICT | UL_XMLREAD_KEEPREFS);
    ul_xmlfreelist(ul_xmlreadstring(fuzz_text(data + 1, size - 1).c_str(), mode));

    const std::u16string path = dir.write("main.xml", data + 1, size - 1);
    ul_xmlnode_t* tree = ul_xmlreadfile(path.c_str(), mode);
    if (!tree) return 0;
    if (ul_xmlnode_t* top = firstTag(tree)) {
        FUZZ_CHECK(ul_xmlvalidate(top, UL_XMLVALIDATE_UPDATE) >= 0, top->name);
        FUZZ_CHECK(ul_xmlvalidate(top, 0) == 1, top->name);
    }
    ul_xmlprocessnode(&tree, fuzz_macros(), nullptr, nullptr, path.c_str(), 0, 0);
    ul_xmlfreelist(tree);
    return 0;
}

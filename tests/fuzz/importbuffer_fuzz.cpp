// Import buffers: the reader takes any file; every name it lists is non-empty, never a
// STOPMARK, at most 20 characters (plus the client), and SYNCMARK lines appear only when asked.
#include <string>
#include <vector>

#include "fuzzutil.h"
#include "optimport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string file = FuzzDir::get().write("buffer", data, size);
    std::vector<std::u16string> plain, full;
    const int n = ul_buffergettransports(&plain, file.c_str(), UL_BUFFER_PLAINNAMES);
    const int m = ul_buffergettransports(&full, file.c_str(), UL_BUFFER_SYNCMARKS);
    FUZZ_CHECK((n < 0) == (m < 0), u"the modes disagree about the file");
    if (n < 0) return 0;
    FUZZ_CHECK(static_cast<size_t>(n) == plain.size() && static_cast<size_t>(m) == full.size(),
               u"count differs from the names listed");
    size_t syncmarks = 0;
    for (const std::u16string& name : full) syncmarks += name == UL_BUFFER_SYNCMARK;
    FUZZ_CHECK(full.size() - syncmarks == plain.size(), u"names lost between the modes");
    for (const std::u16string& name : plain) {
        FUZZ_CHECK(!name.empty() && name.size() <= 20, name);
        FUZZ_CHECK(name != u"STOPMARK" && name != UL_BUFFER_SYNCMARK, name);
    }
    return 0;
}

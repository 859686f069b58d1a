// Pages of cluster rows as a scan fetches them, in any order and with any header: the input is
// a sequence of pages, each one byte of key (4 keys), one byte of page number (0xFF: a missing
// number), one byte of page length and up to 16 bytes of page data. The scan runs with two
// internal frames and a swap file of at most 64 frames, with the mode bits taken from the first
// byte. A failure always leaves an error text; no row is checked more often than pages were
// given; the swap file is gone after the scan.
#include <unistd.h>

#include <string>

#include "fuzzutil.h"
#include "scancluster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string swap = FuzzDir::get().path("scan.swp");
    const std::u16string swap16 = ul_utf8to16(swap.c_str());
    ul_scanclusteropts_t o;
    o.memsize = 2 * (16 + UL_SCANCLUSTER_FRAMEHEADER);
    o.maxfilesize = 64 * 16;
    o.nocontent = data[0] & 1;
    o.allowDups = data[0] & 2;
    o.checkDups = data[0] & 4;
    o.allowExcess = data[0] & 8;
    o.orderBy = data[0] & 16;
    o.printChksum = data[0] & 32;
    o.printData = data[0] & 64;
    int rc;
    unsigned long pages = 0;
    {
        ULClusterScan scan;
        rc = scan.init(o, 16, swap16.c_str());
        size_t at = 1;
        while (rc == 0 && at + 3 <= size) {
            const char16_t key[] = {static_cast<char16_t>(u'A' + data[at] % 4), 0};
            const long pageNo = data[at + 1] == 0xFF ? -1 : data[at + 1] % 24;
            const long length = data[at + 2] % 20;
            at += 3;
            const size_t have = std::min<size_t>(16, size - at);
            ul_errorsetmsg(0, u"");
            rc = scan.page(key, pageNo, length, data + at, static_cast<unsigned>(have), nullptr);
            at += have;
            ++pages;
        }
        if (rc == 0) rc = scan.finish();
        FUZZ_CHECK(scan.completeRows() <= pages, std::u16string(u"more rows than pages"));
    }
    FUZZ_CHECK(rc == 0 || *ul_errorgetmsg(), std::u16string(u"failure without an error text"));
    FUZZ_CHECK(access(swap.c_str(), F_OK) != 0, std::u16string(u"swap file left behind"));
    return 0;
}

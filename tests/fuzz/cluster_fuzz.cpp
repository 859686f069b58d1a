// Cluster pages and compressed records: the input is a sequence of pages, each one byte of page
// number, one byte of page length and up to that many bytes of page data, all of key "K". The
// pages are joined and the joined record's body is expanded when its header says compressed.
// Joining either fails with an error text or hands on exactly the declared number of bytes;
// expanding either fails or gives exactly the declared length.
#include <string>
#include <vector>

#include "fuzzutil.h"
#include "ulcompress.h"
#include "ulsqlcluster.h"

namespace {

class Sink : public ULSQLCallBack {
  public:
    int handleRow(unsigned, const unsigned char** raw, const char16_t**, unsigned* lengths,
                  unsigned ncols) override {
        const unsigned char* r = raw[ncols - 1];
        const size_t n = lengths[ncols - 1];
        const size_t declared = UL_CLUSTER_HEADER + ((size_t(r[4]) << 24) | (size_t(r[5]) << 16) |
                                                     (size_t(r[6]) << 8) | r[7]);
        FUZZ_CHECK(n == declared, std::u16string(u"joined length differs from the header"));
        if (((r[2] << 8) | r[3]) == UL_CLUSTER_FMT_COMPRESSED && n > UL_CLUSTER_HEADER + 1) {
            std::vector<unsigned char> out;
            const unsigned char* s = r + UL_CLUSTER_HEADER + 1;
            const size_t sn = n - UL_CLUSTER_HEADER - 1;
            if (ul_csdecompress(s, sn, 1 << 20, &out) == UL_CS_OK) {
                const size_t want =
                    (size_t(s[0]) << 24) | (size_t(s[1]) << 16) | (size_t(s[2]) << 8) | s[3];
                FUZZ_CHECK(out.size() == want, std::u16string(u"expanded length differs"));
            }
        }
        return 0;
    }
};

std::string le16(unsigned v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Sink sink;
    ULSQLSelectPacked packed;
    packed.init(1, &sink, u"FUZZ");
    size_t at = 0;
    int rc = 0;
    while (rc == 0 && at + 2 <= size) {
        const unsigned page = data[at], length = data[at + 1];
        at += 2;
        const size_t have = std::min<size_t>(length, size - at);
        const std::string content(reinterpret_cast<const char*>(data + at), have);
        at += have;
        const std::string pageNo = le16(page), pageLength = le16(length);
        const unsigned char* raw[] = {reinterpret_cast<const unsigned char*>("K"),
                                      reinterpret_cast<const unsigned char*>(pageNo.data()),
                                      reinterpret_cast<const unsigned char*>(pageLength.data()),
                                      reinterpret_cast<const unsigned char*>(content.data())};
        const char16_t* values[] = {u"K", nullptr, nullptr, nullptr};
        unsigned lengths[] = {1, 2, 2, static_cast<unsigned>(have)};
        ul_errorsetmsg(0, u"");
        rc = packed.handleRow(UL_ROW_DATA, raw, values, lengths, 4);
    }
    if (rc == 0) rc = packed.finish();
    FUZZ_CHECK(rc == 0 || *ul_errorgetmsg(), std::u16string(u"failure without an error text"));
    return 0;
}

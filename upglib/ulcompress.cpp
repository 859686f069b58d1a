#include "ulcompress.h"

#include <zstd.h>

#include <memory>
#include <new>

namespace {

constexpr int kLevel[2] = {1, 9};  // fast, dense

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* c) const { ZSTD_freeDCtx(c); }
};

// One context of each kind for the process (the tool is single-threaded): creating a context
// costs more than expanding a small record.
ZSTD_CCtx* compressContext() {
    static std::unique_ptr<ZSTD_CCtx, CCtxFree> ctx(ZSTD_createCCtx());
    return ctx.get();
}
ZSTD_DCtx* decompressContext() {
    static std::unique_ptr<ZSTD_DCtx, DCtxFree> ctx(ZSTD_createDCtx());
    return ctx.get();
}

bool isAlgo(unsigned char b) {
    return b == static_cast<unsigned char>(ul_csalgo::fast) ||
           b == static_cast<unsigned char>(ul_csalgo::dense);
}

}  // namespace

int ul_cscompress(const unsigned char* in, size_t length, ul_csalgo algo,
                  std::vector<unsigned char>* out) {
    if (length > 0xFFFFFFFFu) return UL_CS_E_LENGTH;
    ZSTD_CCtx* ctx = compressContext();
    if (!ctx) return UL_CS_E_INIT;
    const int level = kLevel[algo == ul_csalgo::dense ? 1 : 0];
    if (ZSTD_isError(ZSTD_CCtx_reset(ctx, ZSTD_reset_session_and_parameters)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(ctx, ZSTD_c_compressionLevel, level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(ctx, ZSTD_c_checksumFlag, 1)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(ctx, ZSTD_c_contentSizeFlag, 1)))
        return UL_CS_E_INIT;
    try {
        const size_t start = out->size();
        const size_t bound = ZSTD_compressBound(length);
        out->resize(start + UL_CS_HEADER + bound);
        unsigned char* h = out->data() + start;
        for (int i = 0; i < 4; ++i) h[i] = static_cast<unsigned char>(length >> (24 - 8 * i));
        h[4] = static_cast<unsigned char>(algo);
        const size_t n = ZSTD_compress2(ctx, h + UL_CS_HEADER, bound, in, length);
        if (ZSTD_isError(n)) {
            out->resize(start);
            return UL_CS_E_DATA;
        }
        out->resize(start + UL_CS_HEADER + n);
    } catch (const std::bad_alloc&) {
        return UL_CS_E_MEMORY;
    }
    return UL_CS_OK;
}

int ul_csdecompress(const unsigned char* in, size_t length, size_t maxLength,
                    std::vector<unsigned char>* out) {
    out->clear();
    if (length < UL_CS_HEADER) return UL_CS_E_TRUNCATED;
    if (!isAlgo(in[4])) return UL_CS_NOT_COMPRESSED;
    const size_t declared =
        (size_t(in[0]) << 24) | (size_t(in[1]) << 16) | (size_t(in[2]) << 8) | size_t(in[3]);
    if (declared > maxLength) return UL_CS_E_LENGTH;
    const unsigned char* frame = in + UL_CS_HEADER;
    const size_t frameLength = length - UL_CS_HEADER;
    const unsigned long long content = ZSTD_getFrameContentSize(frame, frameLength);
    if (content == ZSTD_CONTENTSIZE_ERROR)
        return frameLength < 18 ? UL_CS_E_TRUNCATED : UL_CS_E_DATA;
    if (content == ZSTD_CONTENTSIZE_UNKNOWN || content != declared) return UL_CS_E_LENGTH;
    // The whole input must be exactly one frame: trailing or missing bytes are damage.
    const size_t frameSize = ZSTD_findFrameCompressedSize(frame, frameLength);
    if (ZSTD_isError(frameSize)) return UL_CS_E_TRUNCATED;
    if (frameSize != frameLength) return UL_CS_E_DATA;
    ZSTD_DCtx* ctx = decompressContext();
    if (!ctx) return UL_CS_E_INIT;
    try {
        out->resize(declared);
    } catch (const std::bad_alloc&) {
        return UL_CS_E_MEMORY;
    }
    const size_t n = ZSTD_decompressDCtx(ctx, out->data(), declared, frame, frameLength);
    if (ZSTD_isError(n) || n != declared) {
        out->clear();
        return UL_CS_E_DATA;
    }
    return UL_CS_OK;
}

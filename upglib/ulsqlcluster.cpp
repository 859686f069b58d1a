#include "ulsqlcluster.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>

#include "ulcompress.h"
#include "ulerror.h"
#include "ulnametab.h"
#include "ulsqlaux.h"
#include "ulsqlbase2.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultime.h"
#include "ultrace.h"

namespace {

// Column names, quoted as statements use them, separated by ", ".
int appendNameList(std::u16string* sql, const char16_t* const* names, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (i) *sql += u", ";
        if (ul_sqlappendquotedname(sql, names[i], 0) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

size_t pad8(size_t n) {
    return (n + 7) & ~size_t(7);
}

uint32_t getBE(const unsigned char* p, unsigned n) {
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

void putBE(std::vector<unsigned char>* out, uint32_t v, unsigned n) {
    for (unsigned i = n; i-- > 0;) out->push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// " 'v1' 'v2'": the key values of a message, "<NULL>" for a null value, hexadecimal digits for
// a value without text.
std::u16string keyList(unsigned n, const unsigned char* const* raw, const char16_t* const* text,
                       const unsigned* lengths) {
    std::u16string out;
    for (unsigned i = 0; i < n; ++i) {
        out += u" '";
        if (text && text[i]) {
            out += text[i];
        } else if (raw && raw[i]) {
            char16_t hex[2 * 64 + 1];
            const unsigned shown = std::min(lengths[i], 64u);
            if (ul_sqlrawvalue2string(hex, sizeof hex / 2, raw[i], shown) >= 0) out += hex;
        } else {
            out += u"<NULL>";
        }
        out += u"'";
    }
    return out;
}

}  // namespace

bool ul_sqlreadnativeint(const unsigned char* raw, unsigned length, long* value) {
    switch (length) {
        case 1:
            *value = raw[0];
            return true;
        case 2: {
            int16_t x;
            std::memcpy(&x, raw, 2);
            *value = x;
            return true;
        }
        case 4: {
            int32_t x;
            std::memcpy(&x, raw, 4);
            *value = x;
            return true;
        }
        case 8: {
            int64_t x;
            std::memcpy(&x, raw, 8);
            *value = static_cast<long>(x);
            return true;
        }
        default:
            return false;
    }
}

// ---- packed row buffer -------------------------------------------------------------------------

long ul_sqlpackrowstore(void* buffer, size_t size, uint32_t tag, const unsigned char* const* raw,
                        const char16_t* const* strings, const unsigned* rawLengths, unsigned n,
                        int /*mode*/) {
    size_t need = 8 + 8 * size_t(n);
    for (unsigned i = 0; i < n; ++i) {
        if (strings && strings[i])
            need += pad8((std::char_traits<char16_t>::length(strings[i]) + 1) * 2);
        if (raw && raw[i]) need += pad8(rawLengths[i]);
    }
    if (!buffer) return static_cast<long>(need);
    if (need > size) {
        ul_errorsetmsgfmt(0, u"Packed row of %zu bytes exceeds buffer of %zu bytes", need, size);
        return UL_ERROR_RETURN(-1);
    }
    auto* words = static_cast<uint32_t*>(buffer);
    words[0] = tag;
    words[1] = n;
    auto* p = static_cast<unsigned char*>(buffer) + 8 + 8 * size_t(n);
    for (unsigned i = 0; i < n; ++i) {
        const bool hasRaw = raw && raw[i];
        const bool hasString = strings && strings[i];
        const size_t sbytes =
            hasString ? (std::char_traits<char16_t>::length(strings[i]) + 1) * 2 : 0;
        words[2 + 2 * i] = hasRaw ? rawLengths[i] : UL_PACKROW_NONE;
        words[3 + 2 * i] = hasString ? static_cast<uint32_t>(sbytes) : UL_PACKROW_NONE;
        if (hasString) {
            std::memcpy(p, strings[i], sbytes);
            std::memset(p + sbytes, 0, pad8(sbytes) - sbytes);
            p += pad8(sbytes);
        }
        if (hasRaw) {
            if (rawLengths[i]) std::memcpy(p, raw[i], rawLengths[i]);
            std::memset(p + rawLengths[i], 0, pad8(rawLengths[i]) - rawLengths[i]);
            p += pad8(rawLengths[i]);
        }
    }
    return static_cast<long>(need);
}

int ul_sqlpackrowrestore(const void* buffer, uint32_t* tag, const unsigned char** raw,
                         const char16_t** strings, unsigned* rawLengths, unsigned n, int /*mode*/) {
    const auto* words = static_cast<const uint32_t*>(buffer);
    const unsigned count = words[1];
    if (count > n) {
        ul_errorsetmsgfmt(0, u"Packed row holds %u fields, room for %u", count, n);
        return UL_ERROR_RETURN(-1);
    }
    if (tag) *tag = words[0];
    const auto* p = static_cast<const unsigned char*>(buffer) + 8 + 8 * size_t(count);
    for (unsigned i = 0; i < count; ++i) {
        const uint32_t rlen = words[2 + 2 * i];
        const uint32_t slen = words[3 + 2 * i];
        const char16_t* s = nullptr;
        if (slen != UL_PACKROW_NONE) {
            s = reinterpret_cast<const char16_t*>(p);
            p += pad8(slen);
        }
        if (strings) strings[i] = s;
        if (rlen != UL_PACKROW_NONE) {
            if (raw) raw[i] = p;
            if (rawLengths) rawLengths[i] = rlen;
            p += pad8(rlen);
        } else {
            if (raw) raw[i] = nullptr;
            if (rawLengths) rawLengths[i] = 0;
        }
    }
    return static_cast<int>(count);
}

size_t ul_sqlpackrowsize(const void* buffer) {
    const auto* words = static_cast<const uint32_t*>(buffer);
    size_t size = 8 + 8 * size_t(words[1]);
    for (unsigned i = 0; i < words[1]; ++i) {
        if (words[2 + 2 * i] != UL_PACKROW_NONE) size += pad8(words[2 + 2 * i]);
        if (words[3 + 2 * i] != UL_PACKROW_NONE) size += pad8(words[3 + 2 * i]);
    }
    return size;
}

int ul_sqlpackrowcompare(unsigned nkeys, const int* keyTypes, const void* a, const void* b,
                         int mode) {
    // Rows with fewer fields than keys compare on the fields they have.
    const auto* wa = static_cast<const uint32_t*>(a);
    const auto* wb = static_cast<const uint32_t*>(b);
    std::vector<const unsigned char*> fa(wa[1]), fb(wb[1]);
    std::vector<const char16_t*> ta(wa[1]), tb(wb[1]);
    std::vector<unsigned> na(wa[1]), nb(wb[1]);
    (void)ul_sqlpackrowrestore(a, nullptr, fa.data(), ta.data(), na.data(), wa[1], mode);
    (void)ul_sqlpackrowrestore(b, nullptr, fb.data(), tb.data(), nb.data(), wb[1], mode);
    const unsigned n = std::min({nkeys, unsigned(wa[1]), unsigned(wb[1])});
    for (unsigned i = 0; i < n; ++i) {
        int c;
        if (keyTypes[i] == UL_SQLTOKEN_HEXSTRING) {
            if (!fa[i] || !fb[i]) {
                c = (fa[i] != nullptr) - (fb[i] != nullptr);
            } else {
                c = std::memcmp(fa[i], fb[i], std::min(na[i], nb[i]));
                if (c == 0) c = (na[i] > nb[i]) - (na[i] < nb[i]);
            }
        } else if (!ta[i] || !tb[i]) {
            c = (ta[i] != nullptr) - (tb[i] != nullptr);
        } else {
            c = ul_sqlvaluecompare(ta[i], tb[i], keyTypes[i]);
        }
        if (c) return c;
    }
    return 0;
}

// ---- forwarding --------------------------------------------------------------------------------

int ULSQLForwardCallBack::forward(unsigned flags, const unsigned char** raw,
                                  const char16_t** values, unsigned* lengths, unsigned ncols) {
    if (const size_t* known = rowTextLengths(ncols))
        return forward(flags, raw, values, lengths, ncols, known);
    textLengths_.resize(ncols);
    for (unsigned i = 0; i < ncols; ++i)
        textLengths_[i] = values && values[i] ? textLength(i, values[i]) : 0;
    return forward(flags, raw, values, lengths, ncols, textLengths_.data());
}

int ULSQLForwardCallBack::forward(unsigned flags, const unsigned char** raw,
                                  const char16_t** values, unsigned* lengths, unsigned ncols,
                                  const size_t* textLengths) {
    ul_sqlsettextlengths(next_, textLengths, ncols);
    const int rc = next_->handleRow(flags, raw, values, lengths, ncols);
    ul_sqlsettextlengths(next_, nullptr, 0);
    return rc;
}

// ---- joining pages -----------------------------------------------------------------------------

void ULSQLSelectPacked::init(unsigned nkeys, ULSQLCallBack* next, const char16_t* table) {
    nkeys_ = nkeys;
    next_ = next;
    table_ = table ? table : u"";
    open_ = false;
    rows_ = blocks_ = 0;
    keyRaw_.assign(nkeys, {});
    keyNull_.assign(nkeys, true);
    keyText_.assign(nkeys, {});
    keyHasText_.assign(nkeys, false);
}

std::u16string ULSQLSelectPacked::keyText() const {
    std::vector<const unsigned char*> raw(nkeys_);
    std::vector<const char16_t*> text(nkeys_);
    std::vector<unsigned> lengths(nkeys_);
    for (unsigned i = 0; i < nkeys_; ++i) {
        raw[i] = keyNull_[i] ? nullptr : keyRaw_[i].data();
        text[i] = keyHasText_[i] ? keyText_[i].c_str() : nullptr;
        lengths[i] = static_cast<unsigned>(keyRaw_[i].size());
    }
    return keyList(nkeys_, raw.data(), text.data(), lengths.data());
}

bool ULSQLSelectPacked::sameKey(const unsigned char** raw, const unsigned* lengths) const {
    for (unsigned i = 0; i < nkeys_; ++i) {
        if (!raw[i] != keyNull_[i]) return false;
        if (raw[i] && (lengths[i] != keyRaw_[i].size() ||
                       (lengths[i] && std::memcmp(raw[i], keyRaw_[i].data(), lengths[i]) != 0)))
            return false;
    }
    return true;
}

int ULSQLSelectPacked::startBlock(const unsigned char** raw, const char16_t** values,
                                  const unsigned* lengths) {
    return ul_guarded([&]() -> int {
        for (unsigned i = 0; i < nkeys_; ++i) {
            keyNull_[i] = raw[i] == nullptr;
            keyRaw_[i].assign(raw[i], raw[i] ? raw[i] + lengths[i] : raw[i]);
            keyHasText_[i] = values && values[i];
            keyText_[i] = keyHasText_[i] ? std::u16string(values[i], textLength(i, values[i]))
                                         : std::u16string();
        }
        block_.clear();
        open_ = true;
        lastPage_ = -1;
        declared_ = 0;
        pages_ = 0;
        return 0;
    });
}

int ULSQLSelectPacked::flushBlock() {
    if (!open_) return 0;
    open_ = false;
    const size_t have = block_.size();
    const size_t want = declared_ ? declared_ : UL_CLUSTER_HEADER;
    if (have < want) {
        ul_errorsetmsgfmt(0, u"Incomplete block blocknr #%d: %d bytes missing, key%s",
                          static_cast<int>(lastPage_),
                          static_cast<int>(std::min<size_t>(want - have, INT_MAX)),
                          keyText().c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (have > want) {
        ul_errorsetmsgfmt(0, u"Block of %zu bytes exceeds its declared length %zu, key%s", have,
                          want, keyText().c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (pages_ > 1) UL_TRACE(UL_TRC_SQLCLUSTER, 4, u"ul_sqlselpackscan: chunked block\n");
    std::vector<const unsigned char*> raw(nkeys_ + 1);
    std::vector<const char16_t*> text(nkeys_ + 1, nullptr);
    std::vector<unsigned> lengths(nkeys_ + 1);
    std::vector<size_t> textLengths(nkeys_ + 1, 0);
    for (unsigned i = 0; i < nkeys_; ++i) {
        raw[i] = keyNull_[i] ? nullptr : keyRaw_[i].data();
        text[i] = keyHasText_[i] ? keyText_[i].c_str() : nullptr;
        lengths[i] = static_cast<unsigned>(keyRaw_[i].size());
        textLengths[i] = keyText_[i].size();
    }
    raw[nkeys_] = block_.data();
    lengths[nkeys_] = static_cast<unsigned>(block_.size());
    ++blocks_;
    const int rc = forward(UL_ROW_DATA, raw.data(), text.data(), lengths.data(), nkeys_ + 1,
                           textLengths.data());
    return rc == -1 ? UL_ERROR_RETURN(-1) : rc;
}

int ULSQLSelectPacked::handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                 unsigned* lengths, unsigned ncols) {
    if (!(flags & UL_ROW_DATA)) return forward(flags, raw, values, lengths, ncols);
    if (ncols < nkeys_ + 3) {
        ul_errorsetmsgfmt(0,
                          u"Table '%s': %u columns cannot hold %u key fields, page number, "
                          u"length and data",
                          table_.c_str(), ncols, nkeys_);
        return UL_ERROR_RETURN(-1);
    }
    ++rows_;
    long page = 0;
    const unsigned char* data = raw[ncols - 1];
    long pageLength = 0;
    if (!raw[nkeys_] || !ul_sqlreadnativeint(raw[nkeys_], lengths[nkeys_], &page) || !raw[ncols - 2] ||
        !ul_sqlreadnativeint(raw[ncols - 2], lengths[ncols - 2], &pageLength)) {
        ul_errorsetmsgfmt(0,
                          u"Table '%s': page number or page length of row %lu is not an "
                          u"integer",
                          table_.c_str(), rows_);
        return UL_ERROR_RETURN(-1);
    }
    const unsigned dataLength = data ? lengths[ncols - 1] : 0;
    if (open_ && !sameKey(raw, lengths)) {
        UL_TRACE(UL_TRC_SQLCLUSTER, 5, u"ul_sqlselpackscan: key changed in %d/%d, remlen=%d\n",
                 static_cast<int>(rows_), static_cast<int>(lastPage_),
                 static_cast<int>(declared_ > block_.size() ? declared_ - block_.size() : 0));
        const int rc = flushBlock();
        if (rc != 0) return rc;
    }
    if (!open_) {
        if (startBlock(raw, values, lengths) < 0) return UL_ERROR_RETURN(-1);
        UL_TRACE(UL_TRC_SQLCLUSTER, 5, u"ul_sqlselpackscan: start packed block nr=%d, len=%d\n",
                 static_cast<int>(page), static_cast<int>(pageLength));
    }
    if (page != lastPage_ + 1) {
        ul_errorsetmsgfmt(0, u"Gap between block #%d and %d for key%s", static_cast<int>(lastPage_),
                          static_cast<int>(page), keyText().c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (pageLength < 0 || static_cast<unsigned long>(pageLength) > dataLength) {
        ul_errorsetmsgfmt(0, u"Page length %ld beyond page data of %u bytes in block #%ld, key%s",
                          pageLength, dataLength, page, keyText().c_str());
        return UL_ERROR_RETURN(-1);
    }
    lastPage_ = page;
    ++pages_;
    if (ul_guarded([&] {
            block_.insert(block_.end(), data, data + pageLength);
            return 0;
        }) < 0)
        return UL_ERROR_RETURN(-1);
    if (declared_ == 0 && block_.size() >= UL_CLUSTER_HEADER)
        declared_ = size_t(UL_CLUSTER_HEADER) + getBE(block_.data() + 4, 4);
    return 0;
}

int ULSQLSelectPacked::finish() {
    return flushBlock();
}

// ---- pool rows ---------------------------------------------------------------------------------

void ULSQLSelectPooled::init(unsigned ncols, ULSQLCallBack* next) {
    next_ = next;
    lengths_.assign(ncols, 0);
}

int ULSQLSelectPooled::handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                 unsigned* lengths, unsigned ncols) {
    if (!(flags & UL_ROW_DATA)) return forward(flags, raw, values, lengths, ncols);
    if (ncols < 2 || ncols > lengths_.size()) {
        ul_errorsetmsgfmt(0, u"Pool row of %u columns, expected %zu", ncols, lengths_.size());
        return UL_ERROR_RETURN(-1);
    }
    std::copy(lengths, lengths + ncols, lengths_.begin());
    const unsigned char* field = raw[ncols - 2];
    const unsigned fieldLength = lengths[ncols - 2];
    long value = 0;
    if (field && (flags & UL_ROW_BIGENDIAN) && fieldLength >= 1 && fieldLength <= 4) {
        value = static_cast<long>(getBE(field, fieldLength));
    } else if (!field || fieldLength == 8 || !ul_sqlreadnativeint(field, fieldLength, &value)) {
        ul_errorsetmsgfmt(0, u"Pool data length field of %u bytes: expected 1, 2 or 4",
                          field ? fieldLength : 0);
        return UL_ERROR_RETURN(-1);
    }
    const unsigned length = static_cast<unsigned>(value & 0x7FFF);
    const unsigned have = raw[ncols - 1] ? lengths[ncols - 1] : 0;
    if (length > have) {
        ul_errorsetmsgfmt(0, u"Pool data length %u beyond data of %u bytes, key%s", length, have,
                          keyList(ncols - 2, raw, values, lengths).c_str());
        return UL_ERROR_RETURN(-1);
    }
    lengths_[ncols - 1] = length;
    return forward(flags, raw, values, lengths_.data(), ncols);
}

// ---- decompression -----------------------------------------------------------------------------

namespace {

constexpr size_t kMaxExpanded = size_t(1) << 30;
constexpr char16_t kLengthField[] = u"DATALG";

bool hasPrefix(const std::u16string& s, const char16_t* prefix) {
    return s.compare(0, std::char_traits<char16_t>::length(prefix), prefix) == 0;
}

// Sets the text of an expansion failure (result rc of ul_csdecompress).
void setExpandError(int rc) {
    if (rc == UL_CS_NOT_COMPRESSED)
        ul_errorsetmsg(0, u"Data is not compressed");
    else if (rc == UL_CS_E_INIT)
        ul_errorsetmsgfmt(0, u"CsInitDecompr returned %d", rc);
    else
        ul_errorsetmsgfmt(0, u"db_compress returned %d", rc);
}

// Expands a compressed field (version byte and stream) into out. Returns 0 or -1.
int expandCompressedField(const unsigned char* raw, size_t length,
                          std::vector<unsigned char>* out) {
    if (length < 1) {
        setExpandError(UL_CS_E_TRUNCATED);
        return UL_ERROR_RETURN(-1);
    }
    if (raw[0] >= UL_CS_VERSION_LIMIT) {
        ul_errorsetmsgfmt(0, u"Invalid compression version %d", raw[0]);
        return UL_ERROR_RETURN(-1);
    }
    const int rc = ul_csdecompress(raw + 1, length - 1, kMaxExpanded, out);
    if (rc != UL_CS_OK) {
        setExpandError(rc);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

}  // namespace

void ULSQLSelectDecompress::init(const char16_t* table, ULSQLCallBack* next, int flags) {
    table_ = table ? table : u"";
    next_ = next;
    flags_ = flags;
    if (hasPrefix(table_, u"DYNP") || hasPrefix(table_, u"D02"))
        mode_ = Mode::screens;
    else if (hasPrefix(table_, u"REPO") || hasPrefix(table_, u"D01"))
        mode_ = Mode::sources;
    else
        mode_ = Mode::other;
    blobs_.clear();
    datalg_ = -1;
    described_ = false;
}

int ULSQLSelectDecompress::expandField(unsigned i, const unsigned char* raw, unsigned length) {
    if (expandCompressedField(raw, length, &expanded_[i]) < 0) return UL_ERROR_RETURN(-1);
    UL_TRACE(UL_TRC_SQLCLUSTER, 4, u"Decompressed BLOB field #%d from length %d to %d\n",
             static_cast<int>(i), static_cast<int>(length), static_cast<int>(expanded_[i].size()));
    if (mode_ == Mode::sources && expanded_[i].size() % 2) {
        ul_errorsetmsgfmt(0, u"Line length changed from %d to %d",
                          static_cast<int>(expanded_[i].size()),
                          static_cast<int>(expanded_[i].size() & ~size_t(1)));
        return UL_ERROR_RETURN(-1);
    }
    raw_[i] = expanded_[i].data();
    lengths_[i] = static_cast<unsigned>(expanded_[i].size());
    return 0;
}

int ULSQLSelectDecompress::handleRow(unsigned flags, const unsigned char** raw,
                                     const char16_t** values, unsigned* lengths, unsigned ncols) {
    if (!(flags & UL_ROW_DATA)) {
        if ((flags & UL_ROW_HDR_TYPE) && values) {
            blobs_.clear();
            datalg_ = -1;
            for (unsigned i = 0; i < ncols; ++i) {
                if (!values[i]) continue;
                const std::u16string text(values[i]);
                const size_t colon = text.rfind(u':');
                if (text[0] == u'B') {
                    UL_TRACE(UL_TRC_SQLCLUSTER, 4, u"Recognize BLOB field %d with type '%s'\n",
                             static_cast<int>(i), text.substr(0, 1).c_str());
                    blobs_.push_back(i);
                }
                if ((flags & UL_ROW_HDR_NAME) && colon != std::u16string::npos &&
                    text.compare(colon + 1, std::u16string::npos, kLengthField) == 0)
                    datalg_ = static_cast<int>(i);
            }
            described_ = true;
            if (datalg_ < 0 && !blobs_.empty()) {
                ul_errorsetmsgfmt(0, u"Missing field '%s' in selection", kLengthField);
                return UL_ERROR_RETURN(-1);
            }
        }
        return forward(flags, raw, values, lengths, ncols);
    }
    if (!described_) {
        ul_errorsetmsgfmt(0, u"Missing field '%s' in selection", kLengthField);
        return UL_ERROR_RETURN(-1);
    }
    raw_.assign(raw, raw + ncols);
    lengths_.assign(lengths, lengths + ncols);
    expanded_.resize(ncols);
    std::vector<const char16_t*> texts(values ? values : nullptr,
                                       values ? values + ncols : nullptr);
    std::u16string lengthText;
    size_t first = mode_ == Mode::other && !blobs_.empty() ? blobs_.size() - 1 : 0;
    long last = -1;
    for (size_t b = first; b < blobs_.size(); ++b) {
        const unsigned i = blobs_[b];
        if (!raw[i] || lengths[i] == 0) continue;
        if (expandField(i, raw[i], lengths[i]) < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Error occured with object '%s' column %d",
                              values && values[0] ? values[0] : table_.c_str(),
                              static_cast<int>(i) + 1);
            return UL_ERROR_RETURN(-1);
        }
        last = static_cast<long>(lengths_[i]) / (mode_ == Mode::sources ? 2 : 1);
    }
    if (last >= 0 && datalg_ >= 0 && raw[datalg_]) {
        long stored = 0;
        const unsigned size = lengths[datalg_];
        if (!ul_sqlreadnativeint(raw[datalg_], size, &stored)) {
            ul_errorsetmsgfmt(0, u"Field '%s' of %u bytes is no integer", kLengthField, size);
            return UL_ERROR_RETURN(-1);
        }
        if (mode_ == Mode::other && (flags_ & 1)) {
            if (stored != last)
                UL_TRACE(UL_TRC_SQLCLUSTER, 1, u"Line length changed from %d to %d",
                         static_cast<int>(stored), static_cast<int>(last));
        } else if (stored != last) {
            UL_TRACE(UL_TRC_SQLCLUSTER, 4, u"Correcting %s field #%d to %d\n", kLengthField,
                     datalg_, static_cast<int>(last));
            lengthValue_.assign(size, 0);
            const int64_t v = last;
            std::memcpy(lengthValue_.data(), &v, std::min<size_t>(size, 8));  // little-endian
            raw_[datalg_] = lengthValue_.data();
            lengthText = ul_format(u"%ld", last);
            if (values) texts[datalg_] = lengthText.c_str();
        }
    }
    return forward(flags, raw_.data(), values ? texts.data() : nullptr, lengths_.data(), ncols);
}

// ---- duplicates --------------------------------------------------------------------------------

void ULSQLSelectSortDuplicates::init(unsigned nkeys, const int* keyTypes, int mode,
                                     ULSQLCallBack* next) {
    nkeys_ = nkeys;
    keyTypes_.assign(keyTypes, keyTypes + nkeys);
    mode_ = mode;
    next_ = next;
    group_.clear();
}

int ULSQLSelectSortDuplicates::flush() {
    if (group_.empty()) return 0;
    // All values of two rows of one group, raw bytes first, then the text.
    auto less = [this](const std::unique_ptr<uint64_t[]>& a, const std::unique_ptr<uint64_t[]>& b) {
        std::vector<const unsigned char*> ra(ncols_), rb(ncols_);
        std::vector<const char16_t*> sa(ncols_), sb(ncols_);
        std::vector<unsigned> la(ncols_), lb(ncols_);
        (void)ul_sqlpackrowrestore(a.get(), nullptr, ra.data(), sa.data(), la.data(), ncols_, 0);
        (void)ul_sqlpackrowrestore(b.get(), nullptr, rb.data(), sb.data(), lb.data(), ncols_, 0);
        for (unsigned i = 0; i < ncols_; ++i) {
            if (!ra[i] != !rb[i]) return ra[i] == nullptr;
            if (ra[i]) {
                const int c = std::memcmp(ra[i], rb[i], std::min(la[i], lb[i]));
                if (c) return c < 0;
                if (la[i] != lb[i]) return la[i] < lb[i];
            }
            if (!sa[i] != !sb[i]) return sa[i] == nullptr;
            if (sa[i]) {
                const int c = ul_sqlvaluecompare(sa[i], sb[i], UL_SQLTOKEN_STRING);
                if (c) return c < 0;
            }
        }
        return false;
    };
    if (group_.size() > 1) {
        std::stable_sort(group_.begin(), group_.end(), less);
        UL_TRACE(UL_TRC_SQLCLUSTER, 4, u"Flushed %d duplicate rows.\n",
                 static_cast<int>(group_.size()));
    }
    raw_.resize(ncols_);
    values_.resize(ncols_);
    lengths_.resize(ncols_);
    std::vector<size_t> textLengths(ncols_);
    for (const auto& row : group_) {
        (void)ul_sqlpackrowrestore(row.get(), nullptr, raw_.data(), values_.data(), lengths_.data(),
                                   ncols_, 0);
        // The texts are the stored row's, not those of the row being fetched now.
        for (unsigned i = 0; i < ncols_; ++i)
            textLengths[i] = values_[i] ? std::char_traits<char16_t>::length(values_[i]) : 0;
        const int rc = forward(UL_ROW_DATA, raw_.data(), values_.data(), lengths_.data(), ncols_,
                               textLengths.data());
        if (rc != 0) {
            group_.clear();
            return rc == -1 ? UL_ERROR_RETURN(-1) : rc;
        }
    }
    group_.clear();
    return 0;
}

int ULSQLSelectSortDuplicates::handleRow(unsigned flags, const unsigned char** raw,
                                         const char16_t** values, unsigned* lengths,
                                         unsigned ncols) {
    if (!(flags & UL_ROW_DATA)) return forward(flags, raw, values, lengths, ncols);
    if (ncols < nkeys_) {
        ul_errorsetmsgfmt(0, u"Row of %u columns has no %u key fields", ncols, nkeys_);
        return UL_ERROR_RETURN(-1);
    }
    const long size = ul_sqlpackrowstore(nullptr, 0, 0, raw, values, lengths, ncols, mode_);
    std::unique_ptr<uint64_t[]> row(new (std::nothrow) uint64_t[size / 8]);
    if (!row) {
        ul_erroroutofmemory();
        return UL_ERROR_RETURN(-1);
    }
    if (ul_sqlpackrowstore(row.get(), size, 0, raw, values, lengths, ncols, mode_) < 0)
        return UL_ERROR_RETURN(-1);
    if (!group_.empty()) {
        const int c =
            ul_sqlpackrowcompare(nkeys_, keyTypes_.data(), group_.front().get(), row.get(), mode_);
        if (c > 0) {
            std::vector<const char16_t*> last(ncols);
            (void)ul_sqlpackrowrestore(group_.front().get(), nullptr, nullptr, last.data(), nullptr,
                                       ncols_, 0);
            ul_errorsetmsg(0, u"Key columns not sorted:");
            for (unsigned i = 0; i < nkeys_; ++i) {
                const char16_t* a = last[i] ? last[i] : u"<NULL>";
                const char16_t* b = values && values[i] ? values[i] : u"<NULL>";
                if (std::u16string_view(a) != std::u16string_view(b)) {
                    ul_errorsetmsgfmt(UL_ERR_APPEND, u"key #%d: last='%s' now='%s'",
                                      static_cast<int>(i) + 1, a, b);
                    break;
                }
            }
            return UL_ERROR_RETURN(-1);
        }
        if (c < 0) {
            const int rc = flush();
            if (rc != 0) return rc;
        }
    }
    ncols_ = ncols;
    return ul_guarded([&] {
        group_.push_back(std::move(row));
        return 0;
    });
}

int ULSQLSelectSortDuplicates::finish() {
    return flush();
}

// ---- record decoding ---------------------------------------------------------------------------

void ul_sqlclusterputvalue(std::vector<unsigned char>* out, const unsigned char* raw,
                           unsigned length) {
    if (!raw) {
        putBE(out, UL_PACKROW_NONE, 4);
        return;
    }
    putBE(out, length, 4);
    out->insert(out->end(), raw, raw + length);
}

namespace {

// Raw form to the values a fetch of the same description gives (raw and text): the raw form
// becomes a parameter cell and goes through the converter of fetched values.
class RawConverter {
  public:
    void begin(unsigned n) {
        batch_.reset(n);
        (void)batch_.addRow();
        n_ = n;
    }
    [[nodiscard]] int put(unsigned i, const unsigned char* raw, unsigned length,
                          const ul_sqlfielddesc_t& desc) {
        return ul_sqlbindraw(&batch_, 0, i, raw, length, desc);
    }
    [[nodiscard]] const ul_sqlvalue_t* convert(const ul_sqlfielddesc_t* descs) {
        const dbif_cell_t* cells = batch_.row(0);
        converter_.beginRow(n_);
        for (unsigned i = 0; i < n_; ++i)
            if (converter_.convert(i, cells[i], descs[i], true) < 0) return nullptr;
        return converter_.values();
    }

  private:
    DbIfRowBatch batch_;
    ULSQLValueConverter converter_;
    unsigned n_ = 0;
};

// The text a key value is compared by: its text, hexadecimal digits for raw values.
std::u16string compareText(const ul_sqlvalue_t& v) {
    if (v.text) return std::u16string(v.text, v.textLength);
    std::u16string hex(2 * size_t(v.rawLength) + 1, u'\0');
    if (ul_sqlrawvalue2string(hex.data(), hex.size(), v.raw, v.rawLength) < 0) return {};
    hex.resize(2 * size_t(v.rawLength));
    return hex;
}

}  // namespace

// Turns restored records (cluster: grouping key fields and the joined record; pool: the pool
// row with its data cut to length) into the rows of one logical table.
class ULSQLRecordDecoder : public ULSQLForwardCallBack {
  public:
    bool pool = false;
    unsigned ngroup = 0;
    std::u16string logical;
    std::u16string physical;
    ULLDObject object;
    std::vector<ul_sqlfielddesc_t> descs;  // every field of the logical table
    std::vector<std::u16string> names;
    std::vector<unsigned> selected;
    std::vector<int> tokenClass;  // of the key fields
    std::vector<std::u16string> low, high;
    bool lowExcluded = false, highExcluded = false;
    bool stored = false;  // packed and decimal values as stored (UL_LOGREAD_STORED)
    unsigned long delivered = 0;
    bool failed = false;  // a callback of the chain failed (not the database)

    void setNext(ULSQLCallBack* next) { next_ = next; }
    // Physical columns are no logical ones: the key texts name records in messages.
    bool wantsText(unsigned) const override { return true; }
    [[nodiscard]] int sendHeader(int mode);
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;

  private:
    [[nodiscard]] int decodeRecord(const unsigned char* rec, size_t size);
    [[nodiscard]] int decodeValues(const unsigned char* p, size_t size, size_t* pos, unsigned from);
    struct Slot {
        bool isNull = true;
        bool direct = false;
        size_t rawOffset = 0;  // in 8-byte words of rawArena_
        unsigned rawLength = 0;
        size_t textOffset = SIZE_MAX;  // in textArena_; SIZE_MAX: no text
        size_t textLength = 0;
        bool hasNul = false;
    };
    [[nodiscard]] int direct(unsigned i, int type, Slot* slot);
    [[nodiscard]] int storedPacked(const ul_sqlfielddesc_t& d, const unsigned char* raw,
                                   unsigned length, Slot* slot);
    [[nodiscard]] int emit();
    [[nodiscard]] int pastEnd(size_t pos, size_t size);
    [[nodiscard]] bool inRange(const ul_sqlvalue_t* v) const;
    [[nodiscard]] int correctLengths(const ul_sqlvalue_t* v);

    std::u16string key_;  // of the record being decoded, for messages
    std::vector<const unsigned char*> raw_;
    std::vector<unsigned> lengths_;
    std::vector<unsigned char> expanded_;
    RawConverter converter_;
    std::vector<Slot> slots_;
    std::vector<uint64_t> rawArena_;
    std::u16string textArena_;
    std::vector<ul_sqlvalue_t> values_;
    std::vector<const unsigned char*> outRaw_;
    std::vector<const char16_t*> outText_;
    std::vector<unsigned> outLengths_;
    std::vector<size_t> outTextLengths_;
    std::vector<std::vector<unsigned char>> fixRaw_;
    std::vector<std::u16string> fixText_;
};

int ULSQLRecordDecoder::sendHeader(int mode) {
    const int bits = mode & (UL_SQLMODE_HDR_TYPE | UL_SQLMODE_HDR_LENGTH | UL_SQLMODE_HDR_NAME);
    if (!bits) return 0;
    std::vector<std::u16string> texts(selected.size());
    std::vector<const char16_t*> values(selected.size());
    for (size_t k = 0; k < selected.size(); ++k) {
        const ul_sqlfielddesc_t& d = descs[selected[k]];
        std::u16string& t = texts[k];
        if (bits & UL_SQLMODE_HDR_TYPE) {
            const char16_t letter = ul_sqlfldflag2char(d);
            t += letter ? std::u16string(1, letter) : ul_format(u"<#%d>", ul_sqlfieldtype(d));
        }
        if (bits & UL_SQLMODE_HDR_LENGTH)
            t += (t.empty() ? u"" : u":") + ul_format(u"%u", d.length);
        if (bits & UL_SQLMODE_HDR_NAME) t += (t.empty() ? u"" : u":") + std::u16string(d.name);
        values[k] = t.c_str();
    }
    return next_->handleRow(static_cast<unsigned>(bits), nullptr, values.data(), nullptr,
                            static_cast<unsigned>(values.size()));
}

int ULSQLRecordDecoder::pastEnd(size_t pos, size_t size) {
    ul_errorsetmsgfmt(0, u"Record of table '%s' decodes past its end at byte %zu of %zu, key%s",
                      logical.c_str(), pos, size, key_.c_str());
    return UL_ERROR_RETURN(-1);
}

int ULSQLRecordDecoder::decodeValues(const unsigned char* p, size_t size, size_t* pos,
                                     unsigned from) {
    for (unsigned i = from; i < descs.size(); ++i) {
        if (size - *pos < 4) return pastEnd(size, size);
        const uint32_t length = getBE(p + *pos, 4);
        *pos += 4;
        if (length == UL_PACKROW_NONE) {
            raw_[i] = nullptr;
            lengths_[i] = 0;
            continue;
        }
        if (length > size - *pos) return pastEnd(*pos + length, size);
        raw_[i] = p + *pos;
        lengths_[i] = length;
        *pos += length;
    }
    return 0;
}

bool ULSQLRecordDecoder::inRange(const ul_sqlvalue_t* v) const {
    auto side = [&](const std::vector<std::u16string>& bound) {
        for (size_t k = 0; k < bound.size(); ++k) {
            if (v[k].isNull) return -1;
            const int c = ul_sqlvaluecompare(compareText(v[k]), bound[k], tokenClass[k]);
            if (c) return c;
        }
        return 0;
    };
    if (!low.empty()) {
        const int c = side(low);
        if (c < 0 || (c == 0 && lowExcluded)) return false;
    }
    if (high.empty()) return true;
    const int c = side(high);
    return c < 0 || (c == 0 && !highExcluded);
}

// A long character or long raw field whose preceding field is an integer has that field as its
// length; it is set to the value's actual length.
int ULSQLRecordDecoder::correctLengths(const ul_sqlvalue_t* v) {
    const auto& fields = object.structure.fields;
    for (unsigned i = 1; i < descs.size() && i < fields.size(); ++i) {
        const int type = fields[i].ddicType;
        if ((type != UL_DDIC_LCHR && type != UL_DDIC_LRAW) || v[i].isNull || v[i - 1].isNull ||
            ul_sqlfieldtype(descs[i - 1]) != DBIF_TYPE_INT)
            continue;
        const long actual =
            static_cast<long>(type == UL_DDIC_LCHR ? v[i].textLength : v[i].rawLength);
        long stored = 0;
        if (!ul_sqlreadnativeint(v[i - 1].raw, v[i - 1].rawLength, &stored) || stored == actual) continue;
        UL_TRACE(UL_TRC_SQLCLUSTER, 3, u"Correcting LCHR/LRAW length field from %d to %d\n",
                 static_cast<int>(stored), static_cast<int>(actual));
        fixRaw_[i - 1].assign(v[i - 1].rawLength, 0);
        const int64_t x = actual;
        std::memcpy(fixRaw_[i - 1].data(), &x, std::min<size_t>(v[i - 1].rawLength, 8));
        fixText_[i - 1] = ul_format(u"%ld", actual);
    }
    return 0;
}

// A packed value as stored: its bytes, and its text only when they form a packed number.
int ULSQLRecordDecoder::storedPacked(const ul_sqlfielddesc_t& d, const unsigned char* raw,
                                     unsigned length, Slot* slot) {
    char16_t text[80];
    if (length == 0 || length > 32 ||
        ul_sqlpackedtotext(raw, length, ul_sqlfielddecimals(d), text, 80, false) < 0) {
        ul_errorsetmsg(0, nullptr);  // an invalid value is handed on for the receiver to judge
        return 0;
    }
    slot->textOffset = textArena_.size();
    textArena_ += text;
    slot->textLength = textArena_.size() - slot->textOffset;
    textArena_.push_back(u'\0');
    return 0;
}

// Integers, character and binary values go from their raw form straight to what a fetch
// gives (an aligned copy of the raw bytes, the text); the other types through the converter.
int ULSQLRecordDecoder::direct(unsigned i, int type, Slot* slot) {
    const ul_sqlfielddesc_t& d = descs[i];
    const unsigned char* raw = raw_[i];
    const unsigned length = lengths_[i];
    auto tooLong = [&](const char16_t* unit) {
        ul_errorsetmsgfmt(0, u"Value of column #%d '%s' is longer than %u %s",
                          static_cast<int>(i) + 1, d.name, d.length, unit);
        return UL_ERROR_RETURN(-1);
    };
    slot->rawOffset = rawArena_.size();
    slot->rawLength = length;
    rawArena_.resize(rawArena_.size() + (length + 7) / 8 + 1);
    if (length) std::memcpy(rawArena_.data() + slot->rawOffset, raw, length);
    slot->textOffset = SIZE_MAX;
    slot->textLength = 0;
    slot->hasNul = false;
    if (type == DBIF_TYPE_RAW && d.length && length > d.length) return tooLong(u"bytes");
    if (type == DBIF_TYPE_RAW || type == DBIF_TYPE_BLOB) return 0;
    if (type == DBIF_TYPE_PACKED) return storedPacked(d, raw, length, slot);
    slot->textOffset = textArena_.size();
    if (type == DBIF_TYPE_INT) {
        long value = 0;
        if (!ul_sqlreadnativeint(raw, length, &value) || (d.length && length != d.length)) {
            ul_errorsetmsgfmt(0, u"Integer of %u bytes in column #%d '%s' of %u bytes", length,
                              static_cast<int>(i) + 1, d.name, d.length);
            return UL_ERROR_RETURN(-1);
        }
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        textArena_.append(digits, end);
        slot->textLength = static_cast<size_t>(end - digits);
    } else {
        if (length % 2) {
            ul_errorsetmsgfmt(0, u"Character value of column #%d '%s' has an odd %u bytes",
                              static_cast<int>(i) + 1, d.name, length);
            return UL_ERROR_RETURN(-1);
        }
        const size_t units = length / 2;
        textArena_.resize(slot->textOffset + units);
        if (units) std::memcpy(textArena_.data() + slot->textOffset, raw, length);
        const char16_t* t = textArena_.data() + slot->textOffset;
        size_t chars = 0;
        for (size_t k = 0; k < units; ++k) {
            slot->hasNul = slot->hasNul || t[k] == 0;
            if (!(t[k] >= 0xDC00 && t[k] <= 0xDFFF && k && t[k - 1] >= 0xD800 &&
                  t[k - 1] <= 0xDBFF))
                ++chars;
        }
        slot->textLength = units;
        if (type == DBIF_TYPE_CHAR && d.length && chars > d.length) return tooLong(u"characters");
    }
    textArena_.push_back(u'\0');
    return 0;
}

int ULSQLRecordDecoder::emit() {
    const unsigned n = static_cast<unsigned>(descs.size());
    converter_.begin(n);
    slots_.resize(n);
    rawArena_.clear();
    textArena_.clear();
    bool converted = false;
    for (unsigned i = 0; i < n; ++i) {
        const int type = ul_sqlfieldtype(descs[i]);
        Slot& slot = slots_[i];
        slot.isNull = raw_[i] == nullptr;
        slot.direct = type == DBIF_TYPE_INT || type == DBIF_TYPE_CHAR ||
                      type == DBIF_TYPE_LONGCHAR || type == DBIF_TYPE_RAW ||
                      type == DBIF_TYPE_BLOB ||
                      (stored && (type == DBIF_TYPE_PACKED || type == DBIF_TYPE_DECIMAL));
        if (slot.isNull) continue;
        const int rc = slot.direct ? direct(i, type, &slot)
                                   : converter_.put(i, raw_[i], lengths_[i], descs[i]);
        converted = converted || !slot.direct;
        if (rc < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Field '%s' of table '%s', key%s", descs[i].name,
                              logical.c_str(), key_.c_str());
            return UL_ERROR_RETURN(-1);
        }
    }
    const ul_sqlvalue_t* cv = converted ? converter_.convert(descs.data()) : nullptr;
    if (converted && !cv) {
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Table '%s', key%s", logical.c_str(), key_.c_str());
        return UL_ERROR_RETURN(-1);
    }
    values_.assign(n, ul_sqlvalue_t());
    static const uint64_t kNothing = 0;
    for (unsigned i = 0; i < n; ++i) {
        const Slot& slot = slots_[i];
        if (slot.isNull) continue;
        if (!slot.direct) {
            values_[i] = cv[i];
            // A packed number keeps the bytes it was stored with (a negative zero included),
            // as a read of the stored table delivers them; its text is the converter's.
            if (ul_sqlfieldtype(descs[i]) == DBIF_TYPE_PACKED && cv[i].rawLength == lengths_[i])
                values_[i].raw = raw_[i];
            continue;
        }
        ul_sqlvalue_t& v = values_[i];
        v.isNull = false;
        v.raw = slot.rawLength
                    ? reinterpret_cast<const unsigned char*>(rawArena_.data() + slot.rawOffset)
                    : reinterpret_cast<const unsigned char*>(&kNothing);
        v.rawLength = slot.rawLength;
        v.text = slot.textOffset == SIZE_MAX ? nullptr : textArena_.data() + slot.textOffset;
        v.textLength = slot.textLength;
        v.textHasNul = slot.hasNul;
    }
    const ul_sqlvalue_t* v = values_.data();
    if (!inRange(v)) return 0;
    fixRaw_.assign(n, {});
    fixText_.assign(n, {});
    if (correctLengths(v) < 0) return UL_ERROR_RETURN(-1);
    const size_t m = selected.size();
    outRaw_.resize(m);
    outText_.resize(m);
    outLengths_.resize(m);
    outTextLengths_.resize(m);
    for (size_t k = 0; k < m; ++k) {
        const unsigned i = selected[k];
        const bool fixed = !fixRaw_[i].empty();
        outRaw_[k] = fixed ? fixRaw_[i].data() : v[i].raw;
        outLengths_[k] = v[i].rawLength;
        outText_[k] = fixed ? fixText_[i].c_str() : v[i].text;
        outTextLengths_[k] = fixed ? fixText_[i].size() : v[i].textLength;
        if (v[i].textHasNul && !next_->takesNulInText()) {
            ul_errorsetmsgfmt(0, u"Value of column #%d '%s' holds a NUL character",
                              static_cast<int>(k) + 1, descs[i].name);
            return UL_ERROR_RETURN(-1);
        }
    }
    ++delivered;
    const int rc = forward(UL_ROW_DATA, outRaw_.data(), outText_.data(), outLengths_.data(),
                           static_cast<unsigned>(m), outTextLengths_.data());
    return rc == -1 ? UL_ERROR_RETURN(-1) : rc;
}

int ULSQLRecordDecoder::decodeRecord(const unsigned char* rec, size_t size) {
    const unsigned format = getBE(rec + 2, 2);
    const unsigned char* body = rec + UL_CLUSTER_HEADER;
    size_t bodySize = size - UL_CLUSTER_HEADER;
    if (format == UL_CLUSTER_FMT_COMPRESSED) {
        if (expandCompressedField(body, bodySize, &expanded_) < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Error occured with object '%s' key%s",
                              logical.c_str(), key_.c_str());
            return UL_ERROR_RETURN(-1);
        }
        body = expanded_.data();
        bodySize = expanded_.size();
    } else if (format != UL_CLUSTER_FMT_PLAIN) {
        ul_errorsetmsgfmt(0, u"Unsupported cluster format %#x for key%s", format, key_.c_str());
        return UL_ERROR_RETURN(-1);
    }
    size_t pos = 0;
    while (pos < bodySize) {
        if (bodySize - pos < 2) return pastEnd(bodySize, bodySize);
        const size_t nameLength = getBE(body + pos, 2);
        pos += 2;
        if (bodySize - pos < 2 * nameLength + 4) return pastEnd(pos + 2 * nameLength + 4, bodySize);
        std::u16string name(nameLength, u'\0');
        for (size_t i = 0; i < nameLength; ++i)
            name[i] = static_cast<char16_t>(getBE(body + pos + 2 * i, 2));
        pos += 2 * nameLength;
        const uint32_t rows = getBE(body + pos, 4);
        pos += 4;
        if (bodySize - pos < 4) return pastEnd(pos + 4, bodySize);
        const size_t sectionSize = getBE(body + pos, 4);
        pos += 4;
        if (sectionSize > bodySize - pos) return pastEnd(pos + sectionSize, bodySize);
        const size_t end = pos + sectionSize;
        if (name != logical) {  // the rows of another logical table of the cluster
            pos = end;
            continue;
        }
        for (uint32_t r = 0; r < rows; ++r) {
            if (decodeValues(body, end, &pos, ngroup) < 0) return UL_ERROR_RETURN(-1);
            const int rc = emit();
            if (rc != 0) return rc;
        }
        if (pos != end) {
            ul_errorsetmsgfmt(0,
                              u"Record of table '%s' has %zu bytes left after its last row, "
                              u"key%s",
                              logical.c_str(), end - pos, key_.c_str());
            return UL_ERROR_RETURN(-1);
        }
    }
    return 0;
}

int ULSQLRecordDecoder::handleRow(unsigned flags, const unsigned char** raw,
                                  const char16_t** values, unsigned* lengths, unsigned ncols) {
    if (!(flags & UL_ROW_DATA)) return 0;  // our own header rows describe the logical table
    raw_.assign(descs.size(), nullptr);
    lengths_.assign(descs.size(), 0);
    int rc;
    if (pool) {
        key_ = keyList(2, raw, values, lengths);
        const unsigned char* data = raw[ncols - 1];
        const size_t size = data ? lengths[ncols - 1] : 0;
        size_t pos = 0;
        rc = decodeValues(data, size, &pos, 0);
        if (rc == 0 && pos != size) {
            ul_errorsetmsgfmt(0,
                              u"Record of table '%s' has %zu bytes left after its last field, "
                              u"key%s",
                              logical.c_str(), size - pos, key_.c_str());
            rc = UL_ERROR_RETURN(-1);
        }
        if (rc == 0) rc = emit();
    } else {
        key_ = keyList(ngroup, raw, values, lengths);
        for (unsigned i = 0; i < ngroup; ++i) {
            raw_[i] = raw[i];
            lengths_[i] = lengths[i];
        }
        rc = decodeRecord(raw[ncols - 1], lengths[ncols - 1]);
    }
    if (rc == -1) failed = true;
    return rc;
}

// ---- logical-table statement -------------------------------------------------------------------

namespace {

// The head of the callback chain: remembers that the chain, not the database, failed.
class ChainHead : public ULSQLForwardCallBack {
  public:
    explicit ChainHead(ULSQLCallBack* next) { next_ = next; }
    bool takesNulInText() const override { return true; }
    int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                  unsigned* lengths, unsigned ncols) override {
        const int rc = forward(flags, raw, values, lengths, ncols);
        if (rc == -1) failed = true;
        return rc;
    }
    bool failed = false;
};

// Copies descriptions whose names live in a block to free(), with the names owned by names.
void keepDescs(const ul_sqlfielddesc_t* in, unsigned n, std::vector<ul_sqlfielddesc_t>* out,
               std::vector<std::u16string>* names) {
    names->assign(n, {});
    out->assign(in, in + n);
    for (unsigned i = 0; i < n; ++i) (*names)[i] = in[i].name ? in[i].name : u"";
    for (unsigned i = 0; i < n; ++i) (*out)[i].name = (*names)[i].c_str();
}

// The descriptions of fields of object (all when nfields is 0), owned by the vectors.
int objectDescs(const ULLDObject& object, const char16_t* const* fields, unsigned nfields,
                int flags, std::vector<ul_sqlfielddesc_t>* out,
                std::vector<std::u16string>* names) {
    ul_sqlfielddesc_t* descs = nullptr;
    unsigned n = 0;
    if (ul_sqltablegetoiflags(&object, fields, nfields, &descs, &n, flags) < 0)
        return UL_ERROR_RETURN(-1);
    const int rc = ul_guarded([&] {
        keepDescs(descs, n, out, names);
        return 0;
    });
    free(descs);
    return rc;
}

int readObject(const char16_t* table, ULLDObject* object) {
    ULNameTab nametab(table, 0);
    return nametab.getTableInfo(object) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

}  // namespace

struct ULSQLLogicalState {
    ULSQLStmt stmt;
    ULSQLSelectPacked packed;
    ULSQLSelectPooled pooled;
    std::vector<ul_sqlfielddesc_t> physDescs;
    std::vector<std::u16string> physNames;
};

ULSQLStmtLogicalTable::ULSQLStmtLogicalTable() = default;
ULSQLStmtLogicalTable::~ULSQLStmtLogicalTable() = default;

int ULSQLStmtLogicalTable::describe(const char16_t* table, const char16_t* const* fields,
                                    unsigned nfields) {
    return ul_guarded([&]() -> int {
        decoder_ = std::make_unique<ULSQLRecordDecoder>();
        ULSQLRecordDecoder& d = *decoder_;
        d.logical = table;
        table_ = table;
        if (readObject(table, &d.object) < 0) return UL_ERROR_RETURN(-1);
        if (d.object.options.logicalType == UL_LOGTABLE_NONE || d.object.references.count() == 0) {
            ul_errorsetmsgfmt(0, u"Table '%s' is no logical cluster or pool table", table);
            return UL_ERROR_RETURN(-1);
        }
        d.pool = d.object.options.logicalType == UL_LOGTABLE_POOL;
        d.physical = d.object.references.entry(0);
        if (objectDescs(d.object, nullptr, 0, 0, &d.descs, &d.names) < 0)
            return UL_ERROR_RETURN(-1);
        d.selected.clear();
        for (unsigned i = 0; i < nfields; ++i) {
            const int at = d.object.findField(fields[i]);
            if (at < 0) {
                ul_errorsetmsgfmt(0, u"Table '%s' has no field '%s'", table, fields[i]);
                return UL_ERROR_RETURN(-1);
            }
            d.selected.push_back(static_cast<unsigned>(at));
        }
        if (nfields == 0)
            for (unsigned i = 0; i < d.descs.size(); ++i) d.selected.push_back(i);
        d.tokenClass.clear();
        for (unsigned k = 0; k < d.object.structure.nkeys && k < d.descs.size(); ++k)
            d.tokenClass.push_back(ul_sqltokenclassfromtype(ul_sqlfldflag2char(d.descs[k])));
        return preparePhysical();
    });
}

int ULSQLStmtLogicalTable::preparePhysical() {
    ULSQLRecordDecoder& d = *decoder_;
    ULLDObject phys;
    if (readObject(d.physical.c_str(), &phys) < 0) return UL_ERROR_RETURN(-1);
    const auto& pf = phys.structure.fields;
    const unsigned nf = static_cast<unsigned>(pf.size());
    std::vector<const char16_t*> names;
    if (d.pool) {
        if (phys.attributes.tabClass != u'P' || nf != 4) {
            ul_errorsetmsgfmt(0, u"'%s' is no pool table of 4 fields", d.physical.c_str());
            return UL_ERROR_RETURN(-1);
        }
        for (const auto& f : pf) names.push_back(f.name.c_str());
    } else {
        d.ngroup = phys.getPackedKeyFields();
        if (d.ngroup + 3 > nf || d.ngroup > d.object.structure.nkeys) {
            ul_errorsetmsgfmt(0, u"'%s' is no cluster of the key of '%s'", d.physical.c_str(),
                              table_.c_str());
            return UL_ERROR_RETURN(-1);
        }
        for (unsigned i = 0; i <= d.ngroup; ++i) names.push_back(pf[i].name.c_str());
        names.push_back(pf[nf - 2].name.c_str());
        names.push_back(pf[nf - 1].name.c_str());
    }
    state_ = std::make_unique<ULSQLLogicalState>();
    if (objectDescs(phys, names.data(), static_cast<unsigned>(names.size()), 1, &state_->physDescs,
                    &state_->physNames) < 0)
        return UL_ERROR_RETURN(-1);
    std::u16string sql = u"SELECT ";
    if (appendNameList(&sql, names.data(), names.size()) < 0) return UL_ERROR_RETURN(-1);
    sql += u" FROM ";
    if (ul_sqlappendquotedname(&sql, d.physical.c_str(), UL_QUOTE_TABSUFFIX) < 0)
        return UL_ERROR_RETURN(-1);
    if (d.pool) {  // WHERE TABNAME = ? ORDER BY VARKEY
        sql += u" WHERE ";
        if (appendNameList(&sql, &names[0], 1) < 0) return UL_ERROR_RETURN(-1);
        sql += u" = ? ORDER BY ";
        if (appendNameList(&sql, &names[1], 1) < 0) return UL_ERROR_RETURN(-1);
    } else {
        sql += u" ORDER BY ";
        if (appendNameList(&sql, names.data(), d.ngroup + 1) < 0) return UL_ERROR_RETURN(-1);
    }
    const ul_sqlfielddesc_t in{names[0], UL_SQLFLD_CHAR, -1, 0, 130};
    if (state_->stmt.prepare(sql.c_str(), &in, d.pool ? 1 : 0, state_->physDescs.data(),
                             static_cast<unsigned>(state_->physDescs.size()), 0) < 0)
        return dbError();
    return 0;
}

int ULSQLStmtLogicalTable::dbError() {
    const dbif_commarea_t* area = ul_sqlcommarea();
    ul_errorsetmsgfmt(UL_ERR_PREPEND, u"DB error code %d for table '%s': Code %ld: %s", -1,
                      table_.c_str(), area ? area->dbCode : 0L,
                      area ? area->errorText.c_str() : u"");
    return UL_ERROR_RETURN(-1);
}

int ULSQLStmtLogicalTable::setBoundary(const char16_t* const* values, unsigned n, bool high) {
    ULSQLRecordDecoder& d = *decoder_;
    std::vector<std::u16string>& out = high ? d.high : d.low;
    out.clear();
    return ul_guarded([&]() -> int {
        RawConverter conv;
        for (unsigned k = 0; k < n; ++k) {
            const ul_sqlfielddesc_t& desc = d.descs[k];
            std::u16string text = values[k] ? values[k] : u"";
            if (d.tokenClass[k] == UL_SQLTOKEN_HEXSTRING &&
                ul_sqlfieldtype(desc) != DBIF_TYPE_LONGCHAR &&
                ul_sqlfieldtype(desc) != DBIF_TYPE_CHAR) {
                bool ok = text.size() % 2 == 0;
                for (char16_t& c : text) {
                    if (c >= u'a' && c <= u'f') c = static_cast<char16_t>(c - 32);
                    ok = ok && ((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'));
                }
                if (!ok) {
                    ul_errorsetmsgfmt(0, u"Cannot parse boundary value <%s>", values[k]);
                    return UL_ERROR_RETURN(-1);
                }
                out.push_back(text);
                continue;
            }
            DbIfRowBatch batch(1);
            (void)batch.addRow();
            ULSQLValueConverter converter;
            converter.beginRow(1);
            if (ul_sqlbindtext(&batch, 0, 0, text.c_str(), desc) < 0 ||
                converter.convert(0, batch.row(0)[0], desc, true) < 0) {
                ul_errorsetmsgfmt(0, u"Cannot parse boundary value <%s>", values[k]);
                return UL_ERROR_RETURN(-1);
            }
            out.push_back(compareText(converter.values()[0]));
        }
        return 0;
    });
}

long ULSQLStmtLogicalTable::run(ULSQLCallBack* callback, unsigned long* count, int mode) {
    ULSQLRecordDecoder& d = *decoder_;
    ULSQLLogicalState& s = *state_;
    d.delivered = 0;
    d.failed = false;
    if (!callback) {
        ul_errorsetmsgfmt(0, u"No receiver for the rows of table '%s'", table_.c_str());
        return UL_ERROR_RETURN(-1);
    }
    d.setNext(callback);
    d.lowExcluded = mode & UL_LOGREAD_LOWEXCL;
    d.highExcluded = mode & UL_LOGREAD_HIGHEXCL;
    d.stored = mode & UL_LOGREAD_STORED;
    if (count) *count = 0;
    const int hdr = d.sendHeader(mode);
    if (hdr != 0) return hdr == -1 ? UL_ERROR_RETURN(-1) : hdr;
    ULSQLForwardCallBack* first;
    if (d.pool) {
        s.pooled.init(4, &d);
        first = &s.pooled;
        if (s.stmt.bindParamS(0, table_.c_str()) < 0) return UL_ERROR_RETURN(-1);
    } else {
        s.packed.init(d.ngroup, &d, d.physical.c_str());
        first = &s.packed;
    }
    ChainHead head(first);
    unsigned long physical = 0;
    long rc = s.stmt.execute(&head, &physical, 0);
    if (rc == 0 && !d.pool) {
        rc = s.packed.finish();
        if (rc == -1) head.failed = true;
    }
    if (count) *count = d.delivered;
    if (rc == -1) {
        if (!head.failed) return dbError();
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Reading logical table '%s' from '%s' failed",
                          table_.c_str(), d.physical.c_str());
        return UL_ERROR_RETURN(-1);
    }
    return rc;
}

long ULSQLStmtLogicalTable::select(const char16_t* table, const char16_t* const* fields,
                                   ul_sqlfielddesc_t* descs, unsigned nfields,
                                   const char16_t* const* low, unsigned nlow,
                                   const char16_t* const* high, unsigned nhigh,
                                   ULSQLCallBack* callback, unsigned long* count, int mode) {
    if (describe(table, fields, nfields) < 0) return UL_ERROR_RETURN(-1);
    ULSQLRecordDecoder& d = *decoder_;
    const unsigned nkeys = d.object.structure.nkeys;
    if (nlow > nkeys || nhigh > nkeys) {
        ul_errorsetmsgfmt(0, u"Too many key fields for table '%s' nlow=%d nhigh=%d nkeycols=%d",
                          table, static_cast<int>(nlow), static_cast<int>(nhigh),
                          static_cast<int>(nkeys));
        return UL_ERROR_RETURN(-1);
    }
    if (setBoundary(low, nlow, false) < 0 || setBoundary(high, nhigh, true) < 0)
        return UL_ERROR_RETURN(-1);
    if (descs)
        for (size_t k = 0; k < d.selected.size(); ++k) descs[k] = d.descs[d.selected[k]];
    return run(callback, count, mode);
}

// ---- prepared form -----------------------------------------------------------------------------

namespace {

// Words of a statement: names, quoted names (without their quotes) and the single characters
// , * = ? ( ).
std::vector<std::u16string> words(const char16_t* text) {
    std::vector<std::u16string> out;
    for (const char16_t* p = text; *p;) {
        if (*p == u' ' || *p == u'\t' || *p == u'\n' || *p == u'\r') {
            ++p;
        } else if (*p == u'"') {
            const char16_t* e = p + 1;
            while (*e && *e != u'"') ++e;
            out.emplace_back(p + 1, e);
            p = *e ? e + 1 : e;
        } else if (std::u16string_view(u",*=?()").find(*p) != std::u16string_view::npos) {
            out.emplace_back(1, *p++);
        } else {
            const char16_t* e = p;
            while (*e &&
                   std::u16string_view(u" \t\n\r,*=?()\"").find(*e) == std::u16string_view::npos)
                ++e;
            out.emplace_back(p, e);
            p = e;
        }
    }
    return out;
}

bool isWord(const std::u16string& w, const char16_t* keyword) {
    return ul_stricmp(w.c_str(), keyword) == 0;
}

int statementKind(const std::u16string& first) {
    if (isWord(first, u"SELECT")) return UL_SQLKIND_SELECT;
    if (isWord(first, u"INSERT")) return UL_SQLKIND_INSERT;
    if (isWord(first, u"UPDATE")) return UL_SQLKIND_UPDATE;
    if (isWord(first, u"DELETE")) return UL_SQLKIND_DELETE;
    return UL_SQLKIND_OTHER;
}

}  // namespace

int ULSQLStmtLogicalTable::prepare(const char16_t* statement, int /*flags*/) {
    return ul_guarded([&]() -> int {
        const std::vector<std::u16string> w = words(statement ? statement : u"");
        const int kind = w.empty() ? UL_SQLKIND_NONE : statementKind(w[0]);
        if (kind != UL_SQLKIND_SELECT) {
            ul_errorsetmsgfmt(0, u"Unsupported cluster SQL statement type %d", kind);
            return UL_ERROR_RETURN(-1);
        }
        size_t i = 1;
        selected_.clear();
        while (i < w.size() && !isWord(w[i], u"FROM")) {
            if (w[i] != u"," && w[i] != u"*") selected_.push_back(w[i]);
            ++i;
        }
        if (i + 1 >= w.size()) {
            ul_errorsetmsgfmt(0, u"Missing table in statement '%s'", statement);
            return UL_ERROR_RETURN(-1);
        }
        const std::u16string table = w[i + 1];
        std::vector<const char16_t*> fields;
        for (const auto& f : selected_) fields.push_back(f.c_str());
        if (describe(table.c_str(), fields.data(), static_cast<unsigned>(fields.size())) < 0)
            return UL_ERROR_RETURN(-1);
        nParams_ = 0;
        i += 2;
        if (i < w.size() && isWord(w[i], u"WHERE")) ++i;
        const auto& f = decoder_->object.structure.fields;
        for (; i < w.size(); i += 4) {
            // "K = ?" on the next key field, joined by AND.
            if (i + 2 >= w.size() || w[i + 1] != u"=" || w[i + 2] != u"?" ||
                nParams_ >= decoder_->object.structure.nkeys || f[nParams_].name != w[i] ||
                (i + 3 < w.size() && !isWord(w[i + 3], u"AND"))) {
                ul_errorsetmsgfmt(0,
                                  u"Unsupported condition in statement '%s': only K = ? on "
                                  u"the leading key fields of '%s' joined by AND",
                                  statement, table.c_str());
                return UL_ERROR_RETURN(-1);
            }
            ++nParams_;
        }
        params_.assign(nParams_, {});
        paramSet_.assign(nParams_, false);
        return 0;
    });
}

int ULSQLStmtLogicalTable::checkParam(unsigned index) {
    if (!decoder_ || index >= nParams_) {
        ul_errorsetmsgfmt(0, u"Parameter index %u out of range (%u parameters)", index, nParams_);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULSQLStmtLogicalTable::bindParam(unsigned index, const char16_t* value, int /*flags*/) {
    if (checkParam(index) < 0) return UL_ERROR_RETURN(-1);
    return ul_guarded([&] {
        params_[index] = value ? value : u"";
        paramSet_[index] = true;
        return 0;
    });
}

int ULSQLStmtLogicalTable::bindParam(unsigned index, long value) {
    return bindParam(index, ul_format(u"%ld", value).c_str(), 0);
}

int ULSQLStmtLogicalTable::bindParam(unsigned index, const unsigned char* raw, unsigned long length,
                                     int /*flags*/) {
    if (checkParam(index) < 0) return UL_ERROR_RETURN(-1);
    if (!raw) {
        ul_errorsetmsgfmt(0, u"Parameter %u of a logical table cannot be NULL", index + 1);
        return UL_ERROR_RETURN(-1);
    }
    RawConverter conv;
    const ul_sqlfielddesc_t& desc = decoder_->descs[index];
    conv.begin(1);
    if (conv.put(0, raw, static_cast<unsigned>(length), desc) < 0) return UL_ERROR_RETURN(-1);
    const ul_sqlvalue_t* v = conv.convert(&desc);
    if (!v) return UL_ERROR_RETURN(-1);
    return bindParam(index, compareText(*v).c_str(), 0);
}

long ULSQLStmtLogicalTable::execute(ULSQLCallBack* callback, unsigned long* count, int mode) {
    if (!decoder_) {
        ul_errorsetmsg(0, u"Logical-table statement executed before prepare");
        return UL_ERROR_RETURN(-1);
    }
    std::vector<const char16_t*> values;
    for (unsigned k = 0; k < nParams_; ++k) {
        if (!paramSet_[k]) {
            ul_errorsetmsgfmt(0, u"Parameter %u of table '%s' is not bound", k + 1, table_.c_str());
            return UL_ERROR_RETURN(-1);
        }
        values.push_back(params_[k].c_str());
    }
    if (setBoundary(values.data(), nParams_, false) < 0 ||
        setBoundary(values.data(), nParams_, true) < 0)
        return UL_ERROR_RETURN(-1);
    return run(callback, count, mode);
}

// ---- writer ------------------------------------------------------------------------------------

struct ULSQLLogicalWriter::Logical {
    std::u16string name;
    ULLDObject object;
    std::vector<ul_sqlfielddesc_t> descs;
    std::vector<std::u16string> names;
};

namespace {

const unsigned char kEmpty[1] = {0};

// One physical row to insert: raw values for the raw columns, texts for the others.
struct PhysRow {
    std::vector<const unsigned char*> raw;
    std::vector<unsigned> lengths;
    std::vector<std::u16string> texts;  // empty string and textSet false: raw column
    std::vector<bool> textSet;
};

// Supplies the rows of one flush to the insert statement.
class RowSupplier : public ULSQLCallBack {
  public:
    explicit RowSupplier(const std::vector<PhysRow>& rows) : rows_(rows) {}
    int handleRow(unsigned, const unsigned char** raw, const char16_t** values, unsigned* lengths,
                  unsigned ncols) override {
        if (next_ == rows_.size()) return UL_PARAMS_END;
        const PhysRow& r = rows_[next_++];
        for (unsigned i = 0; i < ncols && i < r.raw.size(); ++i) {
            if (r.textSet[i]) {
                values[i] = r.texts[i].c_str();
            } else {
                raw[i] = r.raw[i] ? r.raw[i] : kEmpty;
                lengths[i] = r.lengths[i];
            }
        }
        return 0;
    }

  private:
    const std::vector<PhysRow>& rows_;
    size_t next_ = 0;
};

}  // namespace

ULSQLLogicalWriter::ULSQLLogicalWriter() = default;
ULSQLLogicalWriter::~ULSQLLogicalWriter() = default;

int ULSQLLogicalWriter::open(const char16_t* physical, unsigned pageSize, bool compress) {
    return ul_guarded([&]() -> int {
        if (readObject(physical, &physical_) < 0) return UL_ERROR_RETURN(-1);
        const char16_t form = physical_.attributes.tabClass;
        if (form != u'C' && form != u'P') {
            ul_errorsetmsgfmt(0, u"'%s' is no physical cluster or pool table", physical);
            return UL_ERROR_RETURN(-1);
        }
        pool_ = form == u'P';
        if (objectDescs(physical_, nullptr, 0, 0, &physDescs_, &physNames_) < 0)
            return UL_ERROR_RETURN(-1);
        const unsigned nf = static_cast<unsigned>(physDescs_.size());
        nkeys_ = pool_ ? 2 : physical_.getPackedKeyFields();
        const unsigned dataLength = nf ? physDescs_[nf - 1].length : 0;
        if (nf != nkeys_ + (pool_ ? 2 : 4)) {
            ul_errorsetmsgfmt(0, u"'%s' has %u fields, expected %u", physical, nf,
                              nkeys_ + (pool_ ? 2 : 4));
            return UL_ERROR_RETURN(-1);
        }
        pageSize_ = pool_ ? std::min(dataLength ? dataLength : 0x7FFFu, 0x7FFFu) : pageSize;
        if (!pool_ && (pageSize < 16 || (dataLength && pageSize > dataLength))) {
            ul_errorsetmsgfmt(0, u"Page size %u of '%s' outside 16 to %u", pageSize, physical,
                              dataLength);
            return UL_ERROR_RETURN(-1);
        }
        compress_ = compress;
        std::u16string sql = u"INSERT INTO ";
        if (ul_sqlappendquotedname(&sql, physical, UL_QUOTE_TABSUFFIX) < 0)
            return UL_ERROR_RETURN(-1);
        sql += u" (";
        std::vector<const char16_t*> columns;
        for (const std::u16string& name : physNames_) columns.push_back(name.c_str());
        if (appendNameList(&sql, columns.data(), nf) < 0) return UL_ERROR_RETURN(-1);
        sql += u") VALUES (";
        for (unsigned i = 0; i < nf; ++i) sql += i ? u", ?" : u"?";
        sql += u")";
        insert_ = std::make_unique<ULSQLStmt>();
        if (insert_->prepare(sql.c_str(), physDescs_.data(), nf, nullptr, 0, 0) < 0)
            return UL_ERROR_RETURN(-1);
        char16_t stamp[32];
        if (ul_timegetstamp(stamp, 32, -1, UL_STAMP_DIGITS) < 0) return UL_ERROR_RETURN(-1);
        timestamp_ = stamp;
        records_.clear();
        logicals_.clear();
        physicalRows_ = 0;
        return 0;
    });
}

ULSQLLogicalWriter::Logical* ULSQLLogicalWriter::logical(const char16_t* table) {
    auto it = logicals_.find(table);
    if (it != logicals_.end()) return it->second.get();
    auto l = std::make_unique<Logical>();
    l->name = table;
    if (readObject(table, &l->object) < 0) return nullptr;
    const int want = pool_ ? UL_LOGTABLE_POOL : UL_LOGTABLE_CLUSTER;
    if (l->object.options.logicalType != want || l->object.references.count() == 0 ||
        l->object.references.entry(0) != physical_.name) {
        ul_errorsetmsgfmt(0, u"Table '%s' is no logical table of '%s'", table,
                          physical_.name.c_str());
        return nullptr;
    }
    if (l->object.structure.nkeys < (pool_ ? 1 : nkeys_)) {
        ul_errorsetmsgfmt(0, u"Table '%s' lacks the key of '%s'", table, physical_.name.c_str());
        return nullptr;
    }
    if (objectDescs(l->object, nullptr, 0, 0, &l->descs, &l->names) < 0) return nullptr;
    Logical* out = l.get();
    logicals_[table] = std::move(l);
    return out;
}

int ULSQLLogicalWriter::addRow(const char16_t* table, const unsigned char* const* raw,
                               const unsigned* lengths, unsigned n) {
    return ul_guarded([&]() -> int {
        Logical* l = logical(table);
        if (!l) return UL_ERROR_RETURN(-1);
        if (n != l->descs.size()) {
            ul_errorsetmsgfmt(0, u"Row of %u values for table '%s' of %zu fields", n, table,
                              l->descs.size());
            return UL_ERROR_RETURN(-1);
        }
        if (pool_) return writePoolRow(*l, raw, lengths);
        std::vector<unsigned char> key;
        for (unsigned i = 0; i < nkeys_; ++i) {
            if (!raw[i]) {
                ul_errorsetmsgfmt(0, u"Key field '%s' of table '%s' is null", l->descs[i].name,
                                  table);
                return UL_ERROR_RETURN(-1);
            }
            ul_sqlclusterputvalue(&key, raw[i], lengths[i]);
        }
        Record& record = records_[std::string(key.begin(), key.end())];
        if (record.keyRaw.empty())
            for (unsigned i = 0; i < nkeys_; ++i)
                record.keyRaw.emplace_back(raw[i], raw[i] + lengths[i]);
        auto& section = record.sections[table];
        ++section.first;
        for (unsigned i = nkeys_; i < n; ++i)
            ul_sqlclusterputvalue(&section.second, raw[i], lengths[i]);
        return 0;
    });
}

int ULSQLLogicalWriter::writePoolRow(const Logical& l, const unsigned char* const* raw,
                                     const unsigned* lengths) {
    std::vector<unsigned char> data;
    for (unsigned i = 0; i < l.descs.size(); ++i) ul_sqlclusterputvalue(&data, raw[i], lengths[i]);
    if (data.size() > pageSize_) {
        ul_errorsetmsgfmt(0, u"Row of %zu bytes exceeds pool data of %u bytes for table '%s'",
                          data.size(), pageSize_, l.name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    // The key's text forms, each padded to its field's length.
    RawConverter conv;
    const unsigned nk = l.object.structure.nkeys;
    conv.begin(nk);
    for (unsigned i = 0; i < nk; ++i)
        if (conv.put(i, raw[i], lengths[i], l.descs[i]) < 0) return UL_ERROR_RETURN(-1);
    const ul_sqlvalue_t* v = conv.convert(l.descs.data());
    if (!v) return UL_ERROR_RETURN(-1);
    std::u16string varkey;
    for (unsigned i = 0; i < nk; ++i) {
        const std::u16string t = compareText(v[i]);
        varkey += t;
        if (t.size() < l.descs[i].length) varkey.append(l.descs[i].length - t.size(), u' ');
    }
    if (physDescs_[1].length && varkey.size() > physDescs_[1].length) {
        ul_errorsetmsgfmt(0, u"Key of %zu characters exceeds VARKEY of %u for table '%s'",
                          varkey.size(), physDescs_[1].length, l.name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    poolRows_.push_back({l.name, varkey, std::move(data)});
    return 0;
}

int ULSQLLogicalWriter::writePoolRows() {
    std::vector<PhysRow> rows(poolRows_.size());
    for (size_t p = 0; p < rows.size(); ++p) {
        const PoolRow& pr = poolRows_[p];
        PhysRow& r = rows[p];
        r.raw.assign(4, nullptr);
        r.lengths.assign(4, 0);
        r.texts = {pr.table, pr.varkey, ul_format(u"%zu", pr.data.size()), {}};
        r.textSet = {true, true, true, false};
        r.raw[3] = pr.data.data();
        r.lengths[3] = static_cast<unsigned>(pr.data.size());
    }
    RowSupplier supplier(rows);
    unsigned long done = 0;
    const long rc = rows.empty() ? 0 : insert_->execute(&supplier, &done, 0);
    poolRows_.clear();
    if (rc < 0) return UL_ERROR_RETURN(-1);
    physicalRows_ += done;
    return 0;
}

int ULSQLLogicalWriter::writeRecord(const Record& record) {
    std::vector<unsigned char> body;
    for (const auto& [name, section] : record.sections) {
        putBE(&body, static_cast<uint32_t>(name.size()), 2);
        for (char16_t c : name) putBE(&body, c, 2);
        putBE(&body, static_cast<uint32_t>(section.first), 4);
        putBE(&body, static_cast<uint32_t>(section.second.size()), 4);
        body.insert(body.end(), section.second.begin(), section.second.end());
    }
    std::vector<unsigned char> rec(UL_CLUSTER_HEADER, 0);
    unsigned format = UL_CLUSTER_FMT_PLAIN;
    if (compress_) {
        rec.push_back(UL_CS_FIELD_VERSION);
        const int rc = ul_cscompress(body.data(), body.size(), ul_csalgo::fast, &rec);
        if (rc != UL_CS_OK) {
            ul_errorsetmsgfmt(0, u"db_compress returned %d", rc);
            return UL_ERROR_RETURN(-1);
        }
        format = UL_CLUSTER_FMT_COMPRESSED;
    } else {
        rec.resize(UL_CLUSTER_HEADER + body.size());
        if (!body.empty()) std::memcpy(rec.data() + UL_CLUSTER_HEADER, body.data(), body.size());
    }
    const size_t pages = (rec.size() + pageSize_ - 1) / pageSize_;
    if (pages > 0xFFFF || rec.size() - UL_CLUSTER_HEADER > 0xFFFFFFFFu) {
        ul_errorsetmsgfmt(0, u"Record of %zu bytes needs more than 65535 pages of %u bytes",
                          rec.size(), pageSize_);
        return UL_ERROR_RETURN(-1);
    }
    std::vector<unsigned char> header;
    putBE(&header, static_cast<uint32_t>(pages), 2);
    putBE(&header, format, 2);
    putBE(&header, static_cast<uint32_t>(rec.size() - UL_CLUSTER_HEADER), 4);
    std::copy(header.begin(), header.end(), rec.begin());
    const unsigned nf = static_cast<unsigned>(physDescs_.size());
    std::vector<PhysRow> rows(pages);
    for (size_t p = 0; p < pages; ++p) {
        PhysRow& r = rows[p];
        r.raw.assign(nf, nullptr);
        r.lengths.assign(nf, 0);
        r.texts.assign(nf, {});
        r.textSet.assign(nf, false);
        for (unsigned i = 0; i < nkeys_; ++i) {
            r.raw[i] = record.keyRaw[i].data();
            r.lengths[i] = static_cast<unsigned>(record.keyRaw[i].size());
        }
        const size_t offset = p * pageSize_;
        const size_t length = std::min<size_t>(pageSize_, rec.size() - offset);
        r.texts[nkeys_] = ul_format(u"%zu", p);
        r.texts[nkeys_ + 1] = timestamp_;
        r.texts[nkeys_ + 2] = ul_format(u"%zu", length);
        r.textSet[nkeys_] = r.textSet[nkeys_ + 1] = r.textSet[nkeys_ + 2] = true;
        r.raw[nf - 1] = rec.data() + offset;
        r.lengths[nf - 1] = static_cast<unsigned>(length);
    }
    RowSupplier supplier(rows);
    unsigned long done = 0;
    if (insert_->execute(&supplier, &done, 0) < 0) return UL_ERROR_RETURN(-1);
    physicalRows_ += done;
    return 0;
}

int ULSQLLogicalWriter::flush() {
    if (!insert_) {
        ul_errorsetmsg(0, u"Writer of logical rows is not open");
        return UL_ERROR_RETURN(-1);
    }
    int rc = ul_guarded([&] { return writePoolRows(); });
    for (const auto& entry : records_)
        if (rc == 0) rc = ul_guarded([&] { return writeRecord(entry.second); });
    records_.clear();
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int ULSQLLogicalWriter::close() {
    const int rc = insert_ ? flush() : 0;
    insert_.reset();
    return rc;
}

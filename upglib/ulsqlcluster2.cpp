#include "ulsqlcluster2.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "ulerror.h"
#include "ulfile.h"
#include "ulmsgwrite.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

unsigned long mb(unsigned long long bytes) {
    return static_cast<unsigned long>(bytes >> 20);
}

}  // namespace

ULClusterSorter::~ULClusterSorter() {
    // Without deinit: no report, but the swap file goes unless it is to be kept.
    if (!swap_) return;
    fclose(swap_);
    if (!(mode_ & UL_CLSRT_KEEPSWAP)) (void)unlink(ul_utf16to8(CLSRT_SwapFilePath.c_str()).c_str());
}

int ULClusterSorter::init(unsigned frameSize, unsigned internalFrames, const char16_t* swapFile,
                          int mode) {
    return ul_guarded([&]() -> int {
        CLSRT_FrameSize = frameSize;
        internalFrames_ = internalFrames;
        mode_ = mode;
        CLSRT_SwapFilePath = swapFile ? swapFile : u"";
        CLSRT_MaxExtFrames = CLSRT_SwapFilePath.empty() ? 0 : 0xFFFFFFFFull;
        memory_.assign(size_t(frameSize) * internalFrames, 0);
        freeInternal_.resize(internalFrames);
        for (uint32_t i = 0; i < internalFrames; ++i) freeInternal_[i] = internalFrames - 1 - i;
        freeExternal_.clear();
        nextExternal_ = 0;
        collections_.clear();
        complete_.clear();
        intUsed_ = intUsedMax_ = extUsed_ = extUsedMax_ = 0;
        reads_ = writes_ = 0;
        readBytes_ = writeBytes_ = 0;
        return 0;
    });
}

void ULClusterSorter::setMaxFileSize(unsigned long long bytes) {
    if (CLSRT_SwapFilePath.empty()) return;
    CLSRT_MaxExtFrames = bytes && CLSRT_FrameSize ? bytes / CLSRT_FrameSize : 0xFFFFFFFFull;
}

void ULClusterSorter::warn(const std::u16string& text) {
    (void)ul_msgwrite_printf399(1, u'W', u"%s", text.c_str());  // a lost warning stops nothing
}

void ULClusterSorter::freePage(ul_rowframeheader_t* page) {
    if (page->frame == UL_ROWCOLLECT_ILLEGALROW) return;
    if (page->external) {
        freeExternal_.push_back(page->frame);
        --extUsed_;
    } else {
        freeInternal_.push_back(page->frame);
        --intUsed_;
    }
    page->frame = UL_ROWCOLLECT_ILLEGALROW;
}

void ULClusterSorter::freeAll(ul_rowcollection_t* c) {
    for (ul_rowframeheader_t& p : c->pages) freePage(&p);
    c->pages.clear();
    c->RCOLL_IRows = 0;
}

int ULClusterSorter::writeFrame(uint32_t frame, const unsigned char* content, uint32_t length) {
    if (frame >= CLSRT_MaxExtFrames) {
        ul_errorsetmsgfmt(0, u"Internal error: Illegal external frame number %d >= %d",
                          static_cast<int>(frame), static_cast<int>(CLSRT_MaxExtFrames));
        return UL_ERROR_RETURN(-1);
    }
    if (!swap_) {
        swap_ = ul_filefopen(CLSRT_SwapFilePath.c_str(), u"wb+", UL_FILE_NOMSG);
        if (!swap_) {
            ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot open '%s'", CLSRT_SwapFilePath.c_str());
            return UL_ERROR_RETURN(-1);
        }
    }
    const unsigned long offset = static_cast<unsigned long>(frame) * CLSRT_FrameSize;
    // One positioned write per page: the slots are reused in any order, so buffering them in
    // the stream would only add a flush and a seek to every access.
    if (pwrite(fileno(swap_), content, length, static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(length)) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write to '%s' at offset %lu",
                          CLSRT_SwapFilePath.c_str(), offset);
        return UL_ERROR_RETURN(-1);
    }
    ++writes_;
    writeBytes_ += length;
    return 0;
}

int ULClusterSorter::readFrame(const ul_rowframeheader_t& page, unsigned char* out) {
    const uint32_t length = page.FRHDR_RowLength;
    if (length == 0) return 0;  // a page tracked without content was never written
    if (!page.external) {
        if (length) std::memcpy(out, memory_.data() + size_t(page.frame) * CLSRT_FrameSize, length);
        return 0;
    }
    if (page.frame >= nextExternal_ || length > CLSRT_FrameSize) {
        ul_errorsetmsgfmt(0, u"Internal error: Illegal external frame %d with size %d > %d",
                          static_cast<int>(page.frame), static_cast<int>(length),
                          static_cast<int>(CLSRT_FrameSize));
        return UL_ERROR_RETURN(-1);
    }
    const unsigned long offset = static_cast<unsigned long>(page.frame) * CLSRT_FrameSize;
    if (pread(fileno(swap_), out, length, static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(length)) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read '%s' at offset %lu",
                          CLSRT_SwapFilePath.c_str(), offset);
        return UL_ERROR_RETURN(-1);
    }
    ++reads_;
    readBytes_ += length;
    return 0;
}

// Puts the content of a page into a free internal frame, else into an external one.
int ULClusterSorter::store(ul_rowcollection_t* c, uint32_t pageNo, const unsigned char* content,
                           uint32_t length) {
    if (length > CLSRT_FrameSize && CLSRT_FrameSize) {
        ul_errorsetmsgfmt(0, u"Page %u of '%s' has %u bytes, more than the frame size %u", pageNo,
                          c->key.c_str(), length, CLSRT_FrameSize);
        return UL_ERROR_RETURN(-1);
    }
    if (c->pages.size() <= pageNo) c->pages.resize(size_t(pageNo) + 1);
    ul_rowframeheader_t& page = c->pages[pageNo];
    page.pageNo = pageNo;
    page.FRHDR_RowLength = CLSRT_FrameSize ? length : 0;
    if (!freeInternal_.empty()) {
        page.frame = freeInternal_.back();
        freeInternal_.pop_back();
        page.external = false;
        if (page.FRHDR_RowLength)
            std::memcpy(memory_.data() + size_t(page.frame) * CLSRT_FrameSize, content, length);
        intUsedMax_ = std::max(intUsedMax_, ++intUsed_);
        return 0;
    }
    if (CLSRT_MaxExtFrames == 0) {
        ul_errorsetmsg(0, u"Internal memory exhausted and no swap file configured");
        return UL_ERROR_RETURN(-1);
    }
    uint32_t frame;
    const bool reuse = !freeExternal_.empty();
    if (reuse) {
        frame = freeExternal_.back();
    } else if (nextExternal_ < CLSRT_MaxExtFrames) {
        frame = nextExternal_;
    } else {
        ul_errorsetmsgfmt(0, u"Maximum file size %lu reached for SWP file (maxframe=%u)",
                          static_cast<unsigned long>(CLSRT_MaxExtFrames * CLSRT_FrameSize),
                          static_cast<unsigned>(CLSRT_MaxExtFrames));
        return UL_ERROR_RETURN(-1);
    }
    if (page.FRHDR_RowLength && writeFrame(frame, content, length) < 0) return UL_ERROR_RETURN(-1);
    if (reuse)
        freeExternal_.pop_back();
    else
        ++nextExternal_;
    page.frame = frame;
    page.external = true;
    extUsedMax_ = std::max(extUsedMax_, ++extUsed_);
    return 0;
}

int ULClusterSorter::sameContent(const ul_rowframeheader_t& page, const unsigned char* content,
                                 uint32_t length, bool* same) {
    if (!CLSRT_FrameSize) {
        *same = true;  // without content only the page's presence is known
        return 0;
    }
    if (page.FRHDR_RowLength != length) {
        *same = false;
        return 0;
    }
    scratch_.resize(length);
    if (readFrame(page, scratch_.data()) < 0) return UL_ERROR_RETURN(-1);
    *same = length == 0 || std::memcmp(scratch_.data(), content, length) == 0;
    return 0;
}

int ULClusterSorter::addrow(const char16_t* key, uint32_t pageNo, uint32_t totalPages,
                            const unsigned char* content, uint32_t length,
                            const char16_t* timestamp, int* status, int /*mode*/) {
    return ul_guarded([&]() -> int {
        *status = UL_CLSRT_STORED;
        auto it = collections_.find(key);
        if (it == collections_.end()) {
            UL_TRACE(UL_TRC_SQLCLUSTER, 5, u"Creating new row collection\n");
            it = collections_.emplace(key, ul_rowcollection_t()).first;
            it->second.key = key;
            it->second.timestamp = timestamp ? timestamp : u"";
        }
        ul_rowcollection_t& c = it->second;
        const std::u16string stamp = timestamp ? timestamp : u"";
        if (stamp != c.timestamp) {
            UL_TRACE(UL_TRC_SQLCLUSTER, 3, u"Timestamp field changed for row key '%s' page %d\n",
                     key, static_cast<int>(pageNo));
            if (stamp < c.timestamp) {
                warn(ul_format(u"Ignoring row with pageno %d for key '%s' due to wrong time stamp!",
                               static_cast<int>(pageNo), key));
                *status = UL_CLSRT_IGNORED;
                return 0;
            }
            warn(ul_format(u"Ignoring %d/%d rows for key '%s' due to new time stamp!",
                           static_cast<int>(c.RCOLL_IRows), static_cast<int>(c.RCOLL_NRows), key));
            freeAll(&c);
            c.RCOLL_NRows = UL_ROWCOLLECT_UNKNOWN;
            c.timestamp = stamp;
            c.lastPage = -1;
        }
        if ((mode_ & UL_CLSRT_ORDERED) && static_cast<long>(pageNo) <= c.lastPage) {
            ul_errorsetmsgfmt(0, u"Wrong page number sequence %d,%d for '%s'",
                              static_cast<int>(c.lastPage), static_cast<int>(pageNo), key);
            return UL_ERROR_RETURN(-1);
        }
        c.lastPage = pageNo;
        if (totalPages != UL_ROWCOLLECT_UNKNOWN) {
            if (c.RCOLL_NRows != UL_ROWCOLLECT_UNKNOWN && c.RCOLL_NRows != totalPages) {
                ul_errorsetmsgfmt(0, u"Incompatible number of rows %d != %d supplied  for '%s'",
                                  static_cast<int>(totalPages), static_cast<int>(c.RCOLL_NRows),
                                  key);
                return UL_ERROR_RETURN(-1);
            }
            c.RCOLL_NRows = totalPages;
            unsigned removed = 0;
            for (size_t p = totalPages; p < c.pages.size(); ++p)
                if (c.pages[p].frame != UL_ROWCOLLECT_ILLEGALROW) {
                    freePage(&c.pages[p]);
                    ++removed;
                }
            if (c.pages.size() > totalPages) c.pages.resize(totalPages);
            if (removed) {
                c.RCOLL_IRows -= removed;
                warn(ul_format(u"Removed %d rows with pagenr >= %d for key '%s'.",
                               static_cast<int>(removed), static_cast<int>(totalPages), key));
            }
        }
        if (c.RCOLL_NRows != UL_ROWCOLLECT_UNKNOWN && pageNo >= c.RCOLL_NRows) {
            if (!(mode_ & UL_CLSRT_ALLOWEXCESS))
                warn(ul_format(u"Ignoring excess row with pageno %d >= %d for key '%s'!",
                               static_cast<int>(pageNo), static_cast<int>(c.RCOLL_NRows), key));
            *status = UL_CLSRT_IGNORED;
            return 0;
        }
        if (pageNo < c.pages.size() && c.pages[pageNo].frame != UL_ROWCOLLECT_ILLEGALROW) {
            *status = UL_CLSRT_IGNORED;
            if (mode_ & UL_CLSRT_ALLOWDUPS) return 0;
            UL_TRACE(UL_TRC_SQLCLUSTER, 2, u"Duplicate row '%s' page %d found\n", key,
                     static_cast<int>(pageNo));
            bool same = false;
            if (sameContent(c.pages[pageNo], content, length, &same) < 0)
                return UL_ERROR_RETURN(-1);
            if (same) return 0;
            if (!(mode_ & UL_CLSRT_REPLACE)) {
                ul_errorsetmsgfmt(0, u"Content mismatch on '%s' page %d: l1=%d vs. l2=%d", key,
                                  static_cast<int>(pageNo),
                                  static_cast<int>(c.pages[pageNo].FRHDR_RowLength),
                                  static_cast<int>(length));
                return UL_ERROR_RETURN(-1);
            }
            UL_TRACE(UL_TRC_SQLCLUSTER, 3, u"Substituting old content for page %d (len=%d->%d)\n",
                     static_cast<int>(pageNo), static_cast<int>(c.pages[pageNo].FRHDR_RowLength),
                     static_cast<int>(length));
            freePage(&c.pages[pageNo]);
            --c.RCOLL_IRows;
            *status = UL_CLSRT_STORED;
        }
        if (store(&c, pageNo, content, length) < 0) return UL_ERROR_RETURN(-1);
        ++c.RCOLL_IRows;
        if (c.RCOLL_NRows != UL_ROWCOLLECT_UNKNOWN && c.RCOLL_IRows > c.RCOLL_NRows) {
            ul_errorsetmsgfmt(0, u"Too many rows for '%s': %d > %d", key,
                              static_cast<int>(c.RCOLL_IRows), static_cast<int>(c.RCOLL_NRows));
            return UL_ERROR_RETURN(-1);
        }
        if (c.RCOLL_IRows == c.RCOLL_NRows) {
            complete_.push_back(c.key);
            *status = UL_CLSRT_COMPLETE;
        }
        return 0;
    });
}

int ULClusterSorter::getrow(std::u16string* key, const unsigned char** content, size_t* length,
                            int /*mode*/) {
    while (!complete_.empty()) {
        auto it = collections_.find(complete_.front());
        complete_.pop_front();
        if (it == collections_.end()) continue;  // deleted since it completed
        ul_rowcollection_t& c = it->second;
        size_t total = 0;
        for (const ul_rowframeheader_t& p : c.pages) total += p.FRHDR_RowLength;
        if (ul_guarded([&] {
                row_.resize(total);
                *key = c.key;
                return 0;
            }) < 0)
            return UL_ERROR_RETURN(-1);
        size_t at = 0;
        for (const ul_rowframeheader_t& p : c.pages) {
            if (readFrame(p, row_.data() + at) < 0) return UL_ERROR_RETURN(-1);
            at += p.FRHDR_RowLength;
        }
        UL_TRACE(UL_TRC_SQLCLUSTER, 4, u"Return row %d/%d with key '%s'.\n",
                 static_cast<int>(c.RCOLL_IRows), static_cast<int>(c.RCOLL_NRows), c.key.c_str());
        freeAll(&c);
        collections_.erase(it);
        *content = row_.data();
        *length = total;
        return 1;
    }
    return 0;
}

int ULClusterSorter::delrow(const char16_t* key) {
    auto it = collections_.find(key);
    if (it == collections_.end()) return 0;
    freeAll(&it->second);
    collections_.erase(it);
    return 1;
}

int ULClusterSorter::list(const std::function<int(const char16_t*, uint32_t, uint32_t)>& callback,
                          int /*mode*/) {
    for (const auto& [key, c] : collections_) {
        UL_TRACE(UL_TRC_SQLCLUSTER, 5,
                 u"ULClusterSorter::list: scanning rowkey='%s': irow=%d nrows=%d\n", key.c_str(),
                 static_cast<int>(c.RCOLL_IRows), static_cast<int>(c.RCOLL_NRows));
        if (c.RCOLL_NRows == UL_ROWCOLLECT_UNKNOWN) continue;
        const int rc = callback(key.c_str(), c.RCOLL_IRows, c.RCOLL_NRows);
        if (rc != 0) return rc;
    }
    return 0;
}

int ULClusterSorter::deinit(int mode) {
    if (!collections_.empty()) {
        (void)ul_msgwrite_printf399(1, u' ', u"Left over cluster entries:");  // report only
        std::vector<const ul_rowcollection_t*> left;
        for (const auto& entry : collections_) left.push_back(&entry.second);
        std::sort(left.begin(), left.end(), [](auto* a, auto* b) { return a->key < b->key; });
        for (const ul_rowcollection_t* c : left)
            (void)ul_msgwrite_printf399(
                1, u' ', u"%s: %d/%d", c->key.c_str(), static_cast<int>(c->RCOLL_IRows),
                c->RCOLL_NRows == UL_ROWCOLLECT_UNKNOWN ? -1 : static_cast<int>(c->RCOLL_NRows));
        (void)ul_msgwrite_printf399(1, u'E', u"Found %lu incomplete entries",
                                    static_cast<unsigned long>(collections_.size()));
    }
    (void)ul_msgwrite_printf399(
        1, u' ',
        u"Cluster sorter statistics: %d/%d internal, %d external frames used, %d reads total "
        u"%luMB, %d writes total %luMB",
        static_cast<int>(intUsedMax_), static_cast<int>(internalFrames_),
        static_cast<int>(extUsedMax_), static_cast<int>(reads_), mb(readBytes_),
        static_cast<int>(writes_), mb(writeBytes_));
    collections_.clear();
    complete_.clear();
    std::vector<unsigned char>().swap(memory_);
    freeInternal_.clear();
    freeExternal_.clear();
    int rc = 0;
    if (swap_) {
        fclose(swap_);
        swap_ = nullptr;
        if (!(mode & UL_CLSRT_KEEPSWAP) &&
            unlink(ul_utf16to8(CLSRT_SwapFilePath.c_str()).c_str()) != 0) {
            ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot delete '%s'", CLSRT_SwapFilePath.c_str());
            rc = UL_ERROR_RETURN(-1);
        }
    }
    return rc;
}

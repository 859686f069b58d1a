// The cluster sorter: collects the pages of cluster rows that a scan delivers in any order and
// hands out each cluster row once all its pages are present. Page contents live in a fixed
// number of frames in memory; when those are taken, further pages go to a swap file in slots of
// the frame size (slot n at offset n × frame size), so memory stays bounded for tables far
// larger than memory.
//
// Ownership: the sorter owns its frames, collections and swap file; deinit (or the destructor)
// deletes the swap file unless asked to keep it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

// Mode bits of init.
enum : int {
    UL_CLSRT_REPLACE = 0x1,      // a duplicate page with other content replaces the old one
    UL_CLSRT_ALLOWDUPS = 0x2,    // duplicate pages are dropped without comparing them
    UL_CLSRT_ALLOWEXCESS = 0x4,  // pages beyond the page count are dropped without a warning
    UL_CLSRT_ORDERED = 0x8,      // pages of one key arrive in page order (statement ordered)
    UL_CLSRT_KEEPSWAP = 0x10,    // deinit keeps the swap file
};

// addrow results (*status).
enum : int {
    UL_CLSRT_STORED = 0,    // the page is kept; the row is not complete yet
    UL_CLSRT_COMPLETE = 1,  // the row of the key is complete: getrow returns it
    UL_CLSRT_IGNORED = 2,   // the page was dropped (time stamp, excess, duplicate)
};

constexpr uint32_t UL_ROWCOLLECT_ILLEGALROW = 0xFFFFFFFFu;
constexpr uint32_t UL_ROWCOLLECT_UNKNOWN = 0xFFFFFFFFu;

// Header of one stored page.
struct ul_rowframeheader_t {
    uint32_t frame = UL_ROWCOLLECT_ILLEGALROW;  // internal or external frame number
    bool external = false;
    uint32_t FRHDR_RowLength = 0;
    uint32_t pageNo = 0;
};

// The pages collected for one key.
struct ul_rowcollection_t {
    std::u16string key;
    uint32_t RCOLL_NRows = UL_ROWCOLLECT_UNKNOWN;  // expected pages, unknown until page 0
    uint32_t RCOLL_IRows = 0;                      // pages present
    std::vector<ul_rowframeheader_t> pages;        // by page number
    std::u16string timestamp;
    long lastPage = -1;
};

class ULClusterSorter {
  public:
    ULClusterSorter() = default;
    ~ULClusterSorter();
    ULClusterSorter(const ULClusterSorter&) = delete;
    ULClusterSorter& operator=(const ULClusterSorter&) = delete;

    // frameSize: the largest page content (0: pages are tracked without content);
    // internalFrames: frames kept in memory; swapFile: null or empty for none. Returns 0 or -1.
    [[nodiscard]] int init(unsigned frameSize, unsigned internalFrames, const char16_t* swapFile,
                           int mode);
    // The largest swap file; 0 (the default) sets no limit beyond 2^32 frames.
    void setMaxFileSize(unsigned long long bytes);
    // Adds page pageNo of key; totalPages is the page count when this page carries it (page 0),
    // else UL_ROWCOLLECT_UNKNOWN. timestamp orders writes (YYYYMMDDhhmmss; null: none).
    // Returns 0 with *status a UL_CLSRT_* result, or -1.
    [[nodiscard]] int addrow(const char16_t* key, uint32_t pageNo, uint32_t totalPages,
                             const unsigned char* content, uint32_t length,
                             const char16_t* timestamp, int* status, int mode);
    // Takes a complete row: its key and its pages joined in page order (valid until the next
    // call). Returns 1 with a row, 0 when none is complete, -1 on error.
    [[nodiscard]] int getrow(std::u16string* key, const unsigned char** content, size_t* length,
                             int mode);
    // Drops the collection of a key and frees its frames. Returns 1 when there was one, else 0.
    int delrow(const char16_t* key);
    // Calls callback(key, pages present, page count) for each collection whose page count is
    // known; a non-zero callback result stops the walk and is returned.
    [[nodiscard]] int list(const std::function<int(const char16_t*, uint32_t, uint32_t)>& callback,
                           int mode);
    // Reports the collections left and the statistics to the log, deletes the swap file (unless
    // UL_CLSRT_KEEPSWAP) and releases everything. Returns 0 or -1 ("Cannot delete '%s'").
    [[nodiscard]] int deinit(int mode);

    size_t openCollections() const { return collections_.size(); }
    unsigned externalFramesUsed() const { return extUsedMax_; }

  private:
    [[nodiscard]] int store(ul_rowcollection_t* c, uint32_t pageNo, const unsigned char* content,
                            uint32_t length);
    [[nodiscard]] int readFrame(const ul_rowframeheader_t& page, unsigned char* out);
    [[nodiscard]] int writeFrame(uint32_t frame, const unsigned char* content, uint32_t length);
    [[nodiscard]] int sameContent(const ul_rowframeheader_t& page, const unsigned char* content,
                                  uint32_t length, bool* same);
    void freePage(ul_rowframeheader_t* page);
    void freeAll(ul_rowcollection_t* c);
    void warn(const std::u16string& text);

    uint32_t CLSRT_FrameSize = 0;
    uint32_t internalFrames_ = 0;
    uint64_t CLSRT_MaxExtFrames = 0;
    std::u16string CLSRT_SwapFilePath;
    FILE* swap_ = nullptr;
    int mode_ = 0;
    std::vector<unsigned char> memory_;
    std::vector<uint32_t> freeInternal_;
    std::vector<uint32_t> freeExternal_;
    uint32_t nextExternal_ = 0;
    std::unordered_map<std::u16string, ul_rowcollection_t> collections_;
    std::deque<std::u16string> complete_;
    std::vector<unsigned char> row_;
    std::vector<unsigned char> scratch_;
    // Statistics.
    uint32_t intUsed_ = 0, intUsedMax_ = 0, extUsed_ = 0, extUsedMax_ = 0;
    unsigned long reads_ = 0, writes_ = 0;
    unsigned long long readBytes_ = 0, writeBytes_ = 0;
};

// The object cache: reads load objects on demand from a list of structure files, keeps them in
// memory with usage counts and evicts the least recently used ones when the cache grows too
// large. Every object passed while scanning is recorded with its file position, so that a file
// is scanned at most once and an evicted object is read again directly from where it starts.
//
// Ownership: the cache owns every entry and every object; an object returned by getObject or
// getObjects stays valid until it is released (eviction never touches an entry in use).
// Errors set the error buffer and return -1 (or null).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ulq7ldobj.h"
#include "ulq7ldobjreader.h"

// Task type of a request: the object kinds wanted (none of them: every kind) and the
// direction. An export task reads table contents, so it matches tables only; an import task
// matches every kind it asks for.
enum : unsigned {
    UL_LDTASK_TABLE = 0x1,
    UL_LDTASK_INDEX = 0x2,
    UL_LDTASK_PRKEY = 0x4,  // primary index
    UL_LDTASK_VIEW = 0x8,
    UL_LDTASK_CDSVIEW =
        0x10,  // a view whose references lie outside the database ("view_refs=external")
    UL_LDTASK_DBFUNC = 0x20,   // generic object of type "DDBF"
    UL_LDTASK_TABFUNC = 0x40,  // generic object of type "AMDP"
    UL_LDTASK_GENERIC = 0x80,  // any other generic object
    UL_LDTASK_DRUL = 0x100,    // dependency rule
    UL_LDTASK_SVAR = 0x200,    // session variable
    UL_LDTASK_FLEXINDEX = 0x400,
    UL_LDTASK_KINDS = 0x7ff,
    UL_LDTASK_EXPORT = 0x1000,
    UL_LDTASK_IMPORT = 0x2000,
};

// The task kind bit (UL_LDTASK_*) of an object.
unsigned ul_ldobjtaskkind(const ULLDObject* object);
// Whether the object is of a kind the task asks for.
bool object_matchtype(const ULLDObject* object, unsigned reqtask);

// Flags of getObject / getObjects.
enum : int {
    // A name defined twice for the same database keeps its first definition, with a warning,
    // instead of failing.
    UL_LDCACHE_IGNOREDUPS = 0x1,
    // An index found in another file than its table fails instead of giving a warning.
    UL_LDCACHE_NOSEPINDEX = 0x2,
};

// Entry flags.
enum : unsigned {
    UL_LDCENTRY_INLRU = 0x1,      // objects in memory; linked into the LRU list
    UL_LDCENTRY_STEALABLE = 0x2,  // released: its objects may be evicted once unused
    UL_LDCENTRY_KEEP = 0x4,       // released with keep mode: evicted only after all others
};

// Code page argument that accepts any code page.
constexpr char16_t UL_LDCP_ANY = 0;

class ULLDObjectCache;

// All definitions found under one object name.
class ULLDObjCacheEntry {
  public:
    // One definition: where its keyword line is and, while in memory, the object. What
    // matching needs is kept after the first read, so that an evicted definition is matched
    // without reading it again.
    struct Definition {
        int fileNr = 0;
        long offset = 0;
        int line = 0;
        int kind = UL_LDOBJ_NONE;
        ULLDObject* object = nullptr;  // null: not in memory
        size_t size = 0;               // getSelfSize when read last
        bool known = false;            // read at least once; the members below are valid
        bool ignored = false;          // a duplicate kept out by UL_LDCACHE_IGNOREDUPS
        unsigned taskKind = 0;         // ul_ldobjtaskkind
        char16_t codePage = 0;
        ULLDDBIFist databases;
    };

    explicit ULLDObjCacheEntry(const char16_t* name) : m_name(name) {}
    ULLDObjCacheEntry(const ULLDObjCacheEntry&) = delete;
    ULLDObjCacheEntry& operator=(const ULLDObjCacheEntry&) = delete;

    // Attaches an object read for definition def (its size in bytes). Returns 0, or -1 when
    // def is out of range or already holds an object.
    int addObject(ULLDObject* object, size_t size, size_t def);
    // Detaches the object; returns 1 when it was attached, else 0. The caller owns it.
    int delObject(ULLDObject* object);
    // The index of another known definition (not def itself, not ignored) that competes with
    // object: same kind, same code page, and a database both apply to; -1 when none.
    int hasMatchingObject(const ULLDObject& object, size_t def) const;

    const char16_t* name() const { return m_name.c_str(); }
    size_t definitionCount() const { return m_defs.size(); }
    const Definition& definition(size_t i) const { return m_defs[i]; }
    // Usage by getObject (0) and by getObjects (1).
    int usageCount(int which) const { return m_usage[which]; }
    bool inUse() const { return m_usage[0] + m_usage[1] + m_pins > 0; }
    unsigned flags() const { return m_flags; }
    int objectCount() const { return m_objects; }
    size_t size() const { return m_size; }
    // Logical tables of a physical cluster or pool table, and objects that depend on a table
    // (its indexes and primary key), as far as read.
    const ULLDBaseObjList& logTables() const { return m_logTables; }
    const ULLDBaseObjList& depObjects() const { return m_depObjects; }

  private:
    friend class ULLDObjectCache;

    std::u16string m_name;
    std::vector<Definition> m_defs;
    int m_usage[2] = {0, 0};
    int m_pins = 0;  // held by the cache itself during a request
    unsigned m_flags = 0;
    int m_objects = 0;
    size_t m_size = 0;
    ULLDObjCacheEntry* m_prev = nullptr;  // LRU list, front = most recently used
    ULLDObjCacheEntry* m_next = nullptr;
    bool m_logChecked = false;
    ULLDBaseObjList m_logTables;
    ULLDBaseObjList m_depObjects;
};

class ULLDObjectCache : public ULLDObjBaseReader {
  public:
    // Process-wide limits.
    static size_t m_maxcachesize;     // above this total size objects are evicted
    static int m_maxcachedobjects;    // above this number objects are evicted
    static int m_limitcachedobjects;  // hard limit on objects in memory
    static int m_mincachedobjects;    // up to this number no object is evicted to make room
    // Logical-table description files "VEX<table><suffix>.STR.logical": the suffix (empty:
    // "_EXP" for export tasks, "_IMP" otherwise) and a second directory searched after the
    // structure file's own one (empty: none).
    static std::u16string m_logfilesuffix;
    static std::u16string m_altstrdirectory;
    static bool m_readlogfiles;    // look for logical-table description files at all
    static bool m_reportlogfiles;  // trace the files found at level 0 instead of 1
    // Process-wide statistics: objects recorded while scanning, duplicates kept out, objects
    // read for matching but not matching.
    static int m_totalobjects;
    static int m_countduplicates;
    static int m_countdiscarded;

    ULLDObjectCache() = default;
    // Writes the statistics trace line and frees every object.
    ~ULLDObjectCache() override;

    // Appends a structure file to the list; returns its file number, or -1.
    int addFilePath(const char16_t* path);
    // Appends every file of a list separated by separator (blank: white space). Returns the
    // number of files added, or -1.
    int addFilePaths(const char16_t* list, char16_t separator = u',');

    // The one definition of name that matches the task, the database type (-1: any) and the
    // code page (UL_LDCP_ANY: any), with its usage count raised; scans the files not yet
    // scanned when the name is not known. Returns 0, or -1 with *object null.
    int getObject(ULLDObject** object, unsigned reqtask, const char16_t* name, int dbType,
                  char16_t codePage, int flags);
    // The same for the current database (any database when none is selected) and any code
    // page; null on failure.
    ULLDObject* getObject(unsigned reqtask, const char16_t* name, int flags);
    // Every definition of name that matches the task, in memory, with the entry's second usage
    // count raised; release it with releaseObject(entry, ...). Null on failure.
    ULLDObjCacheEntry* getObjects(unsigned reqtask, const char16_t* name, int flags);

    // Lowers the usage count. Keep mode 1 moves the entry to the front of the LRU list and
    // marks it kept: it is evicted only when no other entry can be. Otherwise the entry, unless
    // kept, becomes stealable and moves to the front as well, so that the entries released
    // longest ago are evicted first. Returns 0 or -1.
    int releaseObject(ULLDObject* object, int keepMode);
    int releaseObject(ULLDObjCacheEntry* entry, int keepMode);

    // One trace line per entry and per entry of the LRU list (component OBJ, level 1).
    void traceCache();

    // Reopens structure file fileNr (when not open) and, for an offset >= 0, seeks to a
    // recorded object. Returns 0 or -1.
    int openFile(int fileNr, long offset, int line);
    // Walks the current scan file to its next object and records it. Returns the object kind,
    // 0 at the end of the file, -1 on error; name receives the object name.
    int scan4NextObject(std::u16string* name);
    // Records a definition of name at a position (a position already recorded is ignored).
    ULLDObjCacheEntry* addCacheEntry(const char16_t* name, int fileNr, long offset, int line,
                                     int kind);
    int addLogTable(ULLDObjCacheEntry* table, const char16_t* name);
    int addDepObject0(const char16_t* tableName, const char16_t* name);

    // Memory for an object to read; sizeHint (0: unknown) selects the free list tried first.
    ULLDObject* newObject(size_t sizeHint);
    // Evicts the least recently used unused entry and returns one of its objects, emptied, for
    // reuse. Unless forced, only while the cache holds more than m_maxcachedobjects objects or
    // m_maxcachesize bytes; null when nothing is evicted.
    ULLDObject* stealObject(bool force);
    ULLDObject* stealObjectEntry(ULLDObjCacheEntry* entry);
    // Reads definition def of entry into memory, with duplicate and separate-index checks on
    // its first read. Returns 1 when read, 0 when kept out as an ignored duplicate, -1.
    int readObjectSingle(ULLDObjCacheEntry* entry, size_t def, unsigned reqtask, int flags);

    const ULLDObjCacheEntry* findEntry(const char16_t* name) const;
    int fileCount() const { return static_cast<int>(m_files.size()); }
    // How often a file was scanned from its start (at most 1), and objects recorded in it.
    int scanCount(int fileNr) const { return m_files[static_cast<size_t>(fileNr)].scans; }
    int scannedObjects(int fileNr) const { return m_files[static_cast<size_t>(fileNr)].objects; }
    int cachedObjects() const { return m_objcount; }
    size_t cacheSize() const { return m_cachesize; }
    int readCount() const { return m_countread; }

  private:
    struct FileInfo {
        std::u16string path;
        long lastOffset = -1;  // keyword line of the last object recorded, -1: none yet
        int lastLine = 0;
        bool complete = false;
        int scans = 0;
        int objects = 0;
    };
    static constexpr int kFreeLists = 5;

    ULLDObjCacheEntry* lookup(const char16_t* name) const;
    int scanFor(const char16_t* name, int* scannedNow);
    int scanFileToEnd(int fileNr, const char16_t* name, bool* found);
    int startScan(int fileNr);
    ULLDObjCacheEntry* findOrScan(const char16_t* name, bool all);
    int getObjectImpl(ULLDObject** object, unsigned reqtask, const char16_t* name, int dbType,
                      char16_t codePage, int flags);
    int getObjectsImpl(unsigned reqtask, const char16_t* name, int flags);
    void afterRequest(ULLDObjCacheEntry* entry);
    int loadEntry(ULLDObjCacheEntry* entry, unsigned reqtask, int dbType, char16_t codePage,
                  int flags);
    int selectMatching(ULLDObjCacheEntry* entry, unsigned reqtask, int dbType, char16_t codePage,
                       size_t* def);
    int initObject(ULLDObject* object);
    int checkSeparateIndex(const ULLDObject& index, const ULLDObjCacheEntry::Definition& def,
                           int flags);
    int duplicateError(const ULLDObjCacheEntry& entry, size_t first, size_t second, int flags);
    int readLogicalTables(ULLDObjCacheEntry* entry, const ULLDObject& table, size_t def,
                          unsigned reqtask);
    int scanLogicalFile(ULLDObjCacheEntry* entry, const std::u16string& path);
    void attach(ULLDObjCacheEntry* entry, size_t def, ULLDObject* object);
    // Takes the object of def out of the entry and the cache size; the caller owns it.
    ULLDObject* detach(ULLDObjCacheEntry* entry, ULLDObjCacheEntry::Definition& def);
    void detachAll(ULLDObjCacheEntry* entry, ULLDObject** keep);
    void freeObject(ULLDObject* object);
    void lruUnlink(ULLDObjCacheEntry* entry);
    void lruPushFront(ULLDObjCacheEntry* entry);
    bool tooLarge() const;
    ULLDObjCacheEntry* findVictim() const;
    // Evicts unused entries, least recently used first, while the cache is too large.
    void shrinkCache();
    int release(ULLDObjCacheEntry* entry, int which, int keepMode);

    std::vector<FileInfo> m_files;
    int m_curfile = -1;      // file the reader has open
    int m_scannedfiles = 0;  // files scanned completely
    std::unordered_map<std::u16string, std::unique_ptr<ULLDObjCacheEntry>> m_entries;
    ULLDObjCacheEntry* m_lruFirst = nullptr;
    ULLDObjCacheEntry* m_lruLast = nullptr;
    std::vector<ULLDObject*> m_free[kFreeLists];
    int m_freecount = 0;
    int m_objcount = 0;      // objects handed out by newObject and not freed
    size_t m_cachesize = 0;  // getSelfSize over the objects attached to entries
    int m_countread = 0;
    int m_highobjcount = 0;
    size_t m_highcachesize = 0;
    size_t m_totalreadsize = 0;
    size_t m_maxobjsize = 0;
};

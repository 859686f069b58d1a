#include "ulq7ldobjcache.h"

#include <algorithm>
#include <new>
#include <utility>

#include "ulerror.h"
#include "ulfile.h"
#include "ulmsgwrite.h"
#include "ulsqlbase.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

size_t ULLDObjectCache::m_maxcachesize = 157286400;
int ULLDObjectCache::m_maxcachedobjects = 50000;
int ULLDObjectCache::m_limitcachedobjects = 100000;
int ULLDObjectCache::m_mincachedobjects = 2;
std::u16string ULLDObjectCache::m_logfilesuffix;
std::u16string ULLDObjectCache::m_altstrdirectory;
bool ULLDObjectCache::m_readlogfiles = true;
bool ULLDObjectCache::m_reportlogfiles = false;
int ULLDObjectCache::m_totalobjects = 0;
int ULLDObjectCache::m_countduplicates = 0;
int ULLDObjectCache::m_countdiscarded = 0;

namespace {

using Definition = ULLDObjCacheEntry::Definition;

struct GenericKind {
    const char16_t* typeName;
    unsigned taskKind;
};
constexpr GenericKind kGenericKinds[] = {
    {u"VIEW", UL_LDTASK_VIEW}, {u"DDBF", UL_LDTASK_DBFUNC}, {u"AMDP", UL_LDTASK_TABFUNC},
    {u"DRUL", UL_LDTASK_DRUL}, {u"SVAR", UL_LDTASK_SVAR},   {u"FLEXINDEX", UL_LDTASK_FLEXINDEX},
};

bool taskKindMatches(unsigned taskKind, unsigned reqtask) {
    if ((reqtask & UL_LDTASK_EXPORT) && taskKind != UL_LDTASK_TABLE) return false;
    return !(reqtask & UL_LDTASK_KINDS) || (reqtask & taskKind);
}

// Two code pages compete unless both are given and differ.
bool codePagesCompete(char16_t a, char16_t b) {
    return a == b || a == 0 || b == 0;
}

bool definitionMatches(const Definition& d, unsigned reqtask, int dbType, char16_t codePage) {
    return d.known && !d.ignored && taskKindMatches(d.taskKind, reqtask) &&
           (dbType < 0 || d.databases.matches(dbType)) && codePagesCompete(d.codePage, codePage);
}

// Only for the text of an error about to be set, which replaces the lookup's own message.
std::u16string databaseName(int dbType) {
    if (dbType < 0) return u"any";
    const char16_t* code = ul_sqlgetstringfromdbatype(dbType);
    return code ? std::u16string(code) : ul_format(u"#%d", dbType);
}

std::u16string codePageName(char16_t codePage) {
    return codePage == UL_LDCP_ANY ? std::u16string(u"any") : std::u16string(1, codePage);
}

// Free-list size classes by the size an object had: up to 2 KB, 8 KB, 32 KB, 128 KB, larger.
int sizeClass(size_t size) {
    int cls = 0;
    for (size_t limit = 2048; cls < 4 && size > limit; limit *= 4) ++cls;
    return cls;
}

std::u16string directoryOf(const std::u16string& path) {
    const size_t slash = path.rfind(u'/');
    if (slash == std::u16string::npos) return u".";
    return slash == 0 ? std::u16string(u"/") : path.substr(0, slash);
}

template <class... Args>
int logMessage(const char16_t* format, Args... args) {
    return ul_msgwrite_printf399(3, u' ', format, args...) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

}  // namespace

// ---- matching -------------------------------------------------------------------------------

unsigned ul_ldobjtaskkind(const ULLDObject* object) {
    switch (object->kind) {
        case UL_LDOBJ_TABLE:
            return UL_LDTASK_TABLE;
        case UL_LDOBJ_PRKEY:
            return UL_LDTASK_PRKEY;
        case UL_LDOBJ_INDEX:
            return object->index.flexIndex ? UL_LDTASK_FLEXINDEX : UL_LDTASK_INDEX;
        case UL_LDOBJ_VIEW:
            return object->viewRefsExternal ? UL_LDTASK_CDSVIEW : UL_LDTASK_VIEW;
        case UL_LDOBJ_GENERIC:
            for (const GenericKind& g : kGenericKinds)
                if (object->objTypeName == g.typeName) return g.taskKind;
            return UL_LDTASK_GENERIC;
        default:
            return 0;
    }
}

bool object_matchtype(const ULLDObject* object, unsigned reqtask) {
    return taskKindMatches(ul_ldobjtaskkind(object), reqtask);
}

// ---- entry ----------------------------------------------------------------------------------

int ULLDObjCacheEntry::addObject(ULLDObject* object, size_t size, size_t def) {
    if (def >= m_defs.size() || m_defs[def].object) {
        ul_errorsetmsgfmt(0, u"Internal error: Cannot add object to definition #%d of '%s'",
                          static_cast<int>(def), m_name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    m_defs[def].object = object;
    m_defs[def].size = size;
    ++m_objects;
    m_size += size;
    return 0;
}

int ULLDObjCacheEntry::delObject(ULLDObject* object) {
    for (Definition& d : m_defs) {
        if (d.object != object || !object) continue;
        d.object = nullptr;
        --m_objects;
        m_size -= d.size;
        return 1;
    }
    return 0;
}

int ULLDObjCacheEntry::hasMatchingObject(const ULLDObject& object, size_t def) const {
    for (size_t i = 0; i < m_defs.size(); ++i) {
        const Definition& d = m_defs[i];
        if (i == def || !d.known || d.ignored || d.kind != object.kind) continue;
        if (codePagesCompete(d.codePage, object.codePage) && d.databases.matches(object.databases))
            return static_cast<int>(i);
    }
    return -1;
}

// ---- cache: files ---------------------------------------------------------------------------

namespace {

// Holds an entry for the duration of a request so that reading other objects cannot evict
// it; an entry left unused afterwards may be evicted.
class EntryPin {
  public:
    explicit EntryPin(int* pins) : pins_(pins) { ++*pins_; }
    ~EntryPin() { --*pins_; }
    EntryPin(const EntryPin&) = delete;
    EntryPin& operator=(const EntryPin&) = delete;

  private:
    int* pins_;
};

}  // namespace

ULLDObjectCache::~ULLDObjectCache() {
    UL_TRACE(UL_TRC_OBJ, 1,
             u"Object cache statistics: total=%d, read=%d, discarded=%d, highcachedobjs=%d, "
             u"highcachesize=%lu, avgobjsize=%d, maxobjsize=%d\n",
             m_totalobjects, m_countread, m_countdiscarded, m_highobjcount,
             static_cast<unsigned long>(m_highcachesize),
             m_countread ? static_cast<int>(m_totalreadsize / static_cast<size_t>(m_countread)) : 0,
             static_cast<int>(m_maxobjsize));
    for (auto& [name, entry] : m_entries)
        for (Definition& d : entry->m_defs) delete d.object;
    for (std::vector<ULLDObject*>& list : m_free)
        for (ULLDObject* object : list) delete object;
}

int ULLDObjectCache::addFilePath(const char16_t* path) {
    return ul_guarded([&] {
        FileInfo file;
        file.path = path;
        m_files.push_back(std::move(file));
        return static_cast<int>(m_files.size() - 1);
    });
}

int ULLDObjectCache::addFilePaths(const char16_t* list, char16_t separator) {
    ULWordListIter words(list, separator, UL_WORDLIST_TRIM | UL_WORDLIST_SKIP_EMPTY);
    std::u16string word(UL_WORDLIST_MAXWORD, u'\0');
    int added = 0;
    for (;;) {
        const int rc = words.next(word.data(), word.size());
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) return added;
        if (addFilePath(word.c_str()) < 0) return UL_ERROR_RETURN(-1);
        ++added;
    }
}

int ULLDObjectCache::openFile(int fileNr, long offset, int line) {
    const FileInfo& file = m_files[static_cast<size_t>(fileNr)];
    if (offset < 0 || fileNr != m_curfile || !isOpen()) {
        m_curfile = -1;
        if (open(file.path.c_str()) < 0) return UL_ERROR_RETURN(-1);
        m_curfile = fileNr;
    }
    if (offset < 0) return 0;
    if (seek(offset, line) < 0) return UL_ERROR_RETURN(-1);
    UL_TRACE(UL_TRC_OBJ, 3, u"openFile(%d): seeked to file='%s', offset=%lu, line=%d\n", fileNr,
             file.path.c_str(), static_cast<unsigned long>(offset), line);
    return 0;
}

ULLDObjCacheEntry* ULLDObjectCache::lookup(const char16_t* name) const {
    const auto it = m_entries.find(name);
    return it == m_entries.end() ? nullptr : it->second.get();
}

const ULLDObjCacheEntry* ULLDObjectCache::findEntry(const char16_t* name) const {
    return lookup(name);
}

ULLDObjCacheEntry* ULLDObjectCache::addCacheEntry(const char16_t* name, int fileNr, long offset,
                                                  int line, int kind) {
    ULLDObjCacheEntry* entry = nullptr;
    const int rc = ul_guarded([&] {
        entry = lookup(name);
        if (!entry) {
            auto created = std::make_unique<ULLDObjCacheEntry>(name);
            entry = created.get();
            m_entries.emplace(created->m_name, std::move(created));
        }
        for (const Definition& d : entry->m_defs)
            if (d.fileNr == fileNr && d.offset == offset) return 0;
        Definition def;
        def.fileNr = fileNr;
        def.offset = offset;
        def.line = line;
        def.kind = kind;
        entry->m_defs.push_back(std::move(def));
        ++m_totalobjects;
        ++m_files[static_cast<size_t>(fileNr)].objects;
        return 0;
    });
    return rc < 0 ? UL_ERROR_RETURN(nullptr) : entry;
}

int ULLDObjectCache::scan4NextObject(std::u16string* name) {
    const int kind = getNextObjName(name);
    if (kind <= 0) return kind < 0 ? UL_ERROR_RETURN(-1) : 0;
    if (!addCacheEntry(name->c_str(), m_curfile, objectOffset(), objectLine(), kind))
        return UL_ERROR_RETURN(-1);
    FileInfo& file = m_files[static_cast<size_t>(m_curfile)];
    file.lastOffset = objectOffset();
    file.lastLine = objectLine();
    return kind;
}

// Positions the reader where the scan of a file goes on: at its start, or behind the last
// object recorded.
int ULLDObjectCache::startScan(int fileNr) {
    FileInfo& file = m_files[static_cast<size_t>(fileNr)];
    if (file.lastOffset < 0) {
        if (openFile(fileNr, -1, 0) < 0) return UL_ERROR_RETURN(-1);
        ++file.scans;
        return logMessage(u"Currently scanning file '%s'", file.path.c_str());
    }
    if (openFile(fileNr, file.lastOffset, file.lastLine) < 0) return UL_ERROR_RETURN(-1);
    std::u16string recorded;
    if (getNextObjName(&recorded) <= 0) {
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot continue scanning '%s' at line %d",
                          file.path.c_str(), file.lastLine);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULLDObjectCache::scanFileToEnd(int fileNr, const char16_t* name, bool* found) {
    if (startScan(fileNr) < 0) return UL_ERROR_RETURN(-1);
    std::u16string objectName;
    for (;;) {
        const int kind = scan4NextObject(&objectName);
        if (kind < 0) return UL_ERROR_RETURN(-1);
        if (kind == 0) break;
        if (name && objectName == name) *found = true;
    }
    m_files[static_cast<size_t>(fileNr)].complete = true;
    if (++m_scannedfiles == fileCount())
        return logMessage(u"Scanned %d files in total", m_scannedfiles);
    return 0;
}

// Scans the files not yet scanned until one holds name (that file is scanned to its end, so
// that every definition in it is known); name null scans all. Returns 1 when found, 0, -1.
int ULLDObjectCache::scanFor(const char16_t* name, int* scannedNow) {
    bool found = false;
    for (int i = 0; i < fileCount() && !(found && name); ++i) {
        if (m_files[static_cast<size_t>(i)].complete) continue;
        ++*scannedNow;
        if (scanFileToEnd(i, name, &found) < 0) return UL_ERROR_RETURN(-1);
    }
    return found ? 1 : 0;
}

// ---- cache: memory --------------------------------------------------------------------------

bool ULLDObjectCache::tooLarge() const {
    return m_objcount > m_maxcachedobjects || m_cachesize > m_maxcachesize;
}

void ULLDObjectCache::lruUnlink(ULLDObjCacheEntry* entry) {
    if (!(entry->m_flags & UL_LDCENTRY_INLRU)) return;
    (entry->m_prev ? entry->m_prev->m_next : m_lruFirst) = entry->m_next;
    (entry->m_next ? entry->m_next->m_prev : m_lruLast) = entry->m_prev;
    entry->m_prev = entry->m_next = nullptr;
    entry->m_flags &= ~UL_LDCENTRY_INLRU;
}

void ULLDObjectCache::lruPushFront(ULLDObjCacheEntry* entry) {
    if (entry->m_objects == 0) return;
    lruUnlink(entry);
    entry->m_next = m_lruFirst;
    (m_lruFirst ? m_lruFirst->m_prev : m_lruLast) = entry;
    m_lruFirst = entry;
    entry->m_flags |= UL_LDCENTRY_INLRU;
}

void ULLDObjectCache::attach(ULLDObjCacheEntry* entry, size_t def, ULLDObject* object) {
    const size_t size = object->getSelfSize();
    entry->addObject(object, size, def);
    m_cachesize += size;
    m_highobjcount = std::max(m_highobjcount, m_objcount);
    m_highcachesize = std::max(m_highcachesize, m_cachesize);
    if (!(entry->m_flags & UL_LDCENTRY_INLRU)) lruPushFront(entry);
}

ULLDObject* ULLDObjectCache::detach(ULLDObjCacheEntry* entry, Definition& def) {
    ULLDObject* object = def.object;
    m_cachesize -= def.size;
    entry->delObject(object);
    return object;
}

// Detaches every object of the entry and frees it; with keep, the first one is handed back
// emptied instead. The entry leaves the LRU list; its positions stay recorded.
void ULLDObjectCache::detachAll(ULLDObjCacheEntry* entry, ULLDObject** keep) {
    for (Definition& d : entry->m_defs) {
        if (!d.object) continue;
        ULLDObject* object = detach(entry, d);
        if (keep && !*keep) {
            --m_objcount;
            object->clear();
            *keep = object;
        } else {
            freeObject(object);
        }
    }
    lruUnlink(entry);
    entry->m_flags &= ~(UL_LDCENTRY_STEALABLE | UL_LDCENTRY_KEEP);
}

// Emptied objects go to the free list of the size class they had, up to the hard limit of
// objects in memory; beyond it they are deleted.
void ULLDObjectCache::freeObject(ULLDObject* object) {
    --m_objcount;
    const int cls = sizeClass(object->getSelfSize());
    object->clear();
    if (m_objcount + m_freecount < m_limitcachedobjects) {
        // Without room in the free list the object is simply deleted.
        if (ul_tryquietly([&] { m_free[cls].push_back(object); })) {
            ++m_freecount;
            return;
        }
    }
    delete object;
}

ULLDObject* ULLDObjectCache::newObject(size_t sizeHint) {
    ULLDObject* object = nullptr;
    if (m_objcount < m_limitcachedobjects) {
        const int first = sizeClass(sizeHint);
        for (int step = 0; step < kFreeLists && !object; ++step) {
            const int cls = (first + step) % kFreeLists;
            if (m_free[cls].empty()) continue;
            object = m_free[cls].back();
            m_free[cls].pop_back();
            --m_freecount;
            UL_TRACE(UL_TRC_OBJ, 3, u"newObject: obj=%p (freelist #%d)\n",
                     static_cast<void*>(object), cls);
        }
        if (!object && m_objcount > m_mincachedobjects && (object = stealObject(false)))
            UL_TRACE(UL_TRC_OBJ, 3, u"newObject: obj=%p (stolen)\n", static_cast<void*>(object));
        if (!object) {
            object = new (std::nothrow) ULLDObject;
            if (!object) {
                ul_erroroutofmemory();
                return UL_ERROR_RETURN(nullptr);
            }
            UL_TRACE(UL_TRC_OBJ, 3, u"newObject: obj=%p (allocated)\n", static_cast<void*>(object));
        }
    } else {
        object = stealObject(true);
        if (!object) {
            ul_errorsetmsgfmt(0,
                              u"Internal error: Limit %d for number of objects reached, but "
                              u"nothing can be stolen",
                              m_limitcachedobjects);
            return UL_ERROR_RETURN(nullptr);
        }
        UL_TRACE(UL_TRC_OBJ, 3, u"newObject: obj=%p (stolen to shrink cache!)\n",
                 static_cast<void*>(object));
    }
    ++m_objcount;
    return object;
}

// The entry to evict: walking from the back of the LRU list, the first unused entry released
// without keep mode, else the first unused kept entry.
ULLDObjCacheEntry* ULLDObjectCache::findVictim() const {
    for (int pass = 0; pass < 2; ++pass) {
        for (ULLDObjCacheEntry* e = m_lruLast; e; e = e->m_prev) {
            if (e->inUse() || !(e->m_flags & UL_LDCENTRY_STEALABLE)) continue;
            if (pass == 1 || !(e->m_flags & UL_LDCENTRY_KEEP)) return e;
        }
    }
    return nullptr;
}

ULLDObject* ULLDObjectCache::stealObject(bool force) {
    UL_TRACE(UL_TRC_OBJ, 3, u"stealObject(force=%d): count=%d cachesize=%lu\n", force ? 1 : 0,
             m_objcount, static_cast<unsigned long>(m_cachesize));
    if (!force && !tooLarge()) return nullptr;
    ULLDObjCacheEntry* victim = findVictim();
    return victim ? stealObjectEntry(victim) : nullptr;
}

ULLDObject* ULLDObjectCache::stealObjectEntry(ULLDObjCacheEntry* entry) {
    UL_TRACE(UL_TRC_OBJ, 2, u"stealObjectEntry: Stealing name='%s' %d/%d\n", entry->name(),
             entry->m_objects, m_objcount);
    ULLDObject* object = nullptr;
    detachAll(entry, &object);
    shrinkCache();
    return object;
}

void ULLDObjectCache::shrinkCache() {
    while (tooLarge()) {
        ULLDObjCacheEntry* victim = findVictim();
        if (!victim) return;
        UL_TRACE(UL_TRC_OBJ, 2,
                 u"stealObjectEntry: delete object '%s' to further shrink cache (count=%d, "
                 u"size=%lu)\n",
                 victim->name(), m_objcount, static_cast<unsigned long>(m_cachesize));
        detachAll(victim, nullptr);
    }
}

// ---- cache: reading -------------------------------------------------------------------------

int ULLDObjectCache::initObject(ULLDObject* object) {
    UL_TRACE(UL_TRC_OBJ, 2, u"Initializing object '%s'\n", object->name.c_str());
    // A pool stores the rows of its logical tables as UTF-16 text in its raw field, so that
    // field holds whole code units: an odd length is rounded up.
    const char16_t tabClass = object->attributes.tabClass;
    if (tabClass == u'P' || object->options.logicalType == UL_LOGTABLE_POOL) {
        for (ULLDObjField& f : object->structure.fields) {
            if (f.ddicType != UL_DDIC_RAW || f.length % 2 == 0) continue;
            UL_TRACE(UL_TRC_OBJ, 1, u"RAW field in pool. tabclass='%c' length=%d --> %d\n",
                     tabClass ? tabClass : u' ', static_cast<int>(f.length),
                     static_cast<int>(f.length + 1));
            ++f.length;
        }
    }
    if (ul_ldcalcfieldtypes(object) < 0 || ul_ldcalcfieldoffsets(object) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int ULLDObjectCache::duplicateError(const ULLDObjCacheEntry& entry, size_t first, size_t second,
                                    int flags) {
    const Definition& a = entry.m_defs[first];
    const Definition& b = entry.m_defs[second];
    const char16_t* fileA = m_files[static_cast<size_t>(a.fileNr)].path.c_str();
    const char16_t* fileB = m_files[static_cast<size_t>(b.fileNr)].path.c_str();
    if (flags & UL_LDCACHE_IGNOREDUPS) {
        UL_TRACE(UL_TRC_OBJ, 1,
                 u"WARNING: readObjectSingle: name='%s' ignored in '%s' line %d since already "
                 u"found in '%s' line %d!\n",
                 entry.name(), fileB, b.line, fileA, a.line);
        return 0;
    }
    if (b.kind == UL_LDOBJ_PRKEY)
        ul_errorsetmsgfmt(0,
                          u"Primary key '%s' previously found in '%s' line %d and now '%s' line %d",
                          entry.name(), fileA, a.line, fileB, b.line);
    else if (a.fileNr == b.fileNr)
        ul_errorsetmsgfmt(0, u"Object '%s' found in '%s' line %d and line %d", entry.name(), fileA,
                          a.line, b.line);
    else
        ul_errorsetmsgfmt(0, u"Object '%s' found in '%s' line %d and '%s' line %d", entry.name(),
                          fileA, a.line, fileB, b.line);
    return UL_ERROR_RETURN(-1);
}

int ULLDObjectCache::checkSeparateIndex(const ULLDObject& index, const Definition& def, int flags) {
    const ULLDObjCacheEntry* table = lookup(index.tableName.c_str());
    if (!table) return 0;
    bool anyTable = false;
    for (const Definition& d : table->m_defs) {
        if (d.kind != UL_LDOBJ_TABLE) continue;
        if (d.fileNr == def.fileNr) return 0;
        anyTable = true;
    }
    if (!anyTable) return 0;
    if (flags & UL_LDCACHE_NOSEPINDEX) {
        ul_errorsetmsgfmt(0, u"Separate index definition '%s' for table '%s' encountered!",
                          index.name.c_str(), index.tableName.c_str());
        return UL_ERROR_RETURN(-1);
    }
    UL_TRACE(UL_TRC_OBJ, 1,
             u"Warning: Separate index definition '%s' for table '%s' found (nrobj=%d)!\n",
             index.name.c_str(), index.tableName.c_str(),
             static_cast<int>(table->definitionCount()));
    return 0;
}

int ULLDObjectCache::readObjectSingle(ULLDObjCacheEntry* entry, size_t def, unsigned reqtask,
                                      int flags) {
    const Definition& d = entry->m_defs[def];
    UL_TRACE(UL_TRC_OBJ, 2,
             u"getObjectFromFile: name='%s', reqtask=%#x, filenr=%d, offset=%lu, linenr=%d\n",
             entry->name(), reqtask, d.fileNr, static_cast<unsigned long>(d.offset), d.line);
    ULLDObject* object = newObject(d.size);
    if (!object) return UL_ERROR_RETURN(-1);
    const int rc = ul_guarded([&] {
        std::u16string found;
        if (openFile(d.fileNr, d.offset, d.line) < 0) return UL_ERROR_RETURN(-1);
        const int kind = getNextObjName(&found);
        if (kind < 0) return UL_ERROR_RETURN(-1);
        if (kind != d.kind || found != entry->m_name) {
            ul_errorsetmsgfmt(0, u"Internal error: Expected object '%s' in '%s' line %d",
                              entry->name(), m_files[static_cast<size_t>(d.fileNr)].path.c_str(),
                              d.line);
            return UL_ERROR_RETURN(-1);
        }
        if (readObject(object, found.c_str()) < 0) return UL_ERROR_RETURN(-1);
        if (kind == UL_LDOBJ_TABLE && initObject(object) < 0) return UL_ERROR_RETURN(-1);
        ++m_countread;
        if (d.known) return 1;
        const int other = entry->hasMatchingObject(*object, def);
        if (other >= 0) {
            if (duplicateError(*entry, static_cast<size_t>(other), def, flags) < 0)
                return UL_ERROR_RETURN(-1);
            ++m_countduplicates;
            entry->m_defs[def].ignored = true;
            return 0;
        }
        if (kind == UL_LDOBJ_INDEX && checkSeparateIndex(*object, d, flags) < 0)
            return UL_ERROR_RETURN(-1);
        if ((kind == UL_LDOBJ_INDEX || kind == UL_LDOBJ_PRKEY) &&
            addDepObject0(object->tableName.c_str(), object->name.c_str()) < 0)
            return UL_ERROR_RETURN(-1);
        Definition& known = entry->m_defs[def];
        known.databases = object->databases;
        known.taskKind = ul_ldobjtaskkind(object);
        known.codePage = object->codePage;
        known.known = true;
        return 1;
    });
    if (rc <= 0) {
        freeObject(object);
        return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
    }
    attach(entry, def, object);
    m_totalreadsize += entry->m_defs[def].size;
    m_maxobjsize = std::max(m_maxobjsize, entry->m_defs[def].size);
    return 1;
}

// Reads every definition of the entry not read before; those that do not match the request
// are discarded again at once.
int ULLDObjectCache::loadEntry(ULLDObjCacheEntry* entry, unsigned reqtask, int dbType,
                               char16_t codePage, int flags) {
    for (size_t i = 0; i < entry->m_defs.size(); ++i) {
        if (entry->m_defs[i].known || entry->m_defs[i].ignored) continue;
        const int rc = readObjectSingle(entry, i, reqtask, flags);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        Definition& d = entry->m_defs[i];
        if (rc == 0 || definitionMatches(d, reqtask, dbType, codePage) || entry->m_usage[1])
            continue;
        freeObject(detach(entry, d));
        if (entry->m_objects == 0) lruUnlink(entry);
        ++m_countdiscarded;
    }
    return 0;
}

int ULLDObjectCache::selectMatching(ULLDObjCacheEntry* entry, unsigned reqtask, int dbType,
                                    char16_t codePage, size_t* def) {
    int count = 0;
    for (size_t i = 0; i < entry->m_defs.size(); ++i) {
        if (!definitionMatches(entry->m_defs[i], reqtask, dbType, codePage)) continue;
        if (count++ == 0) *def = i;
    }
    if (count <= 1) return count;
    if (dbType < 0 || codePage == UL_LDCP_ANY)
        ul_errorsetmsgfmt(0, u"Found duplicate matching object '%s'", entry->name());
    else
        ul_errorsetmsgfmt(0, u"Internal error: Multiple object definitions for '%s' known (%d)",
                          entry->name(), count);
    return UL_ERROR_RETURN(-1);
}

// The entry of name, scanning for it when it has no definitions yet.
ULLDObjCacheEntry* ULLDObjectCache::findOrScan(const char16_t* name, bool all) {
    ULLDObjCacheEntry* entry = lookup(name);
    int scanned = 0;
    if (!entry || entry->m_defs.empty() || all) {
        if (scanFor(all ? nullptr : name, &scanned) < 0) return UL_ERROR_RETURN(nullptr);
        entry = lookup(name);
    }
    if (entry && !entry->m_defs.empty()) return entry;
    if (scanned)
        ul_errorsetmsgfmt(0, u"Object '%s' was not found (scanned %d files)", name, m_scannedfiles);
    else
        ul_errorsetmsgfmt(0, u"Object '%s' not found in STR files", name);
    return UL_ERROR_RETURN(nullptr);
}

int ULLDObjectCache::getObjectImpl(ULLDObject** object, unsigned reqtask, const char16_t* name,
                                   int dbType, char16_t codePage, int flags) {
    ULLDObjCacheEntry* entry = findOrScan(name, false);
    if (!entry) return UL_ERROR_RETURN(-1);
    EntryPin pin(&entry->m_pins);
    size_t def = 0;
    for (;;) {
        if (loadEntry(entry, reqtask, dbType, codePage, flags) < 0) return UL_ERROR_RETURN(-1);
        const int rc = selectMatching(entry, reqtask, dbType, codePage, &def);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc > 0) break;
        // Definitions for other databases or code pages only: look further in the files not
        // yet scanned.
        const size_t before = entry->m_defs.size();
        int scanned = 0;
        if (scanFor(name, &scanned) < 0) return UL_ERROR_RETURN(-1);
        if (entry->m_defs.size() == before) {
            ul_errorsetmsgfmt(0, u"No object definitions for '%s' codepage=%s database=%s found",
                              name, codePageName(codePage).c_str(), databaseName(dbType).c_str());
            return UL_ERROR_RETURN(-1);
        }
    }
    if (entry->m_defs[def].object) {
        UL_TRACE(UL_TRC_OBJ, 3, u"getObjectFromCache: '%s' found as %p\n", name,
                 static_cast<void*>(entry->m_defs[def].object));
    } else if (readObjectSingle(entry, def, reqtask, flags) <= 0) {
        return UL_ERROR_RETURN(-1);
    }
    ULLDObject* found = entry->m_defs[def].object;
    if (found->kind == UL_LDOBJ_TABLE && readLogicalTables(entry, *found, def, reqtask) < 0)
        return UL_ERROR_RETURN(-1);
    ++entry->m_usage[0];
    lruPushFront(entry);
    *object = found;
    return 0;
}

int ULLDObjectCache::getObject(ULLDObject** object, unsigned reqtask, const char16_t* name,
                               int dbType, char16_t codePage, int flags) {
    *object = nullptr;
    const int rc =
        ul_guarded([&] { return getObjectImpl(object, reqtask, name, dbType, codePage, flags); });
    afterRequest(lookup(name));
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

ULLDObject* ULLDObjectCache::getObject(unsigned reqtask, const char16_t* name, int flags) {
    const ul_sqldbsupport_t* database = ul_sqlcurrentdbsupport();
    ULLDObject* object = nullptr;
    if (getObject(&object, reqtask, name, database ? database->type : -1, UL_LDCP_ANY, flags) < 0)
        return UL_ERROR_RETURN(nullptr);
    return object;
}

int ULLDObjectCache::getObjectsImpl(unsigned reqtask, const char16_t* name, int flags) {
    ULLDObjCacheEntry* entry = findOrScan(name, true);
    if (!entry) return UL_ERROR_RETURN(-1);
    EntryPin pin(&entry->m_pins);
    if (loadEntry(entry, reqtask, -1, UL_LDCP_ANY, flags) < 0) return UL_ERROR_RETURN(-1);
    int count = 0;
    for (size_t i = 0; i < entry->m_defs.size(); ++i) {
        if (!definitionMatches(entry->m_defs[i], reqtask, -1, UL_LDCP_ANY)) continue;
        if (!entry->m_defs[i].object && readObjectSingle(entry, i, reqtask, flags) <= 0)
            return UL_ERROR_RETURN(-1);
        ++count;
    }
    if (count == 0) {
        ul_errorsetmsgfmt(0, u"No object definitions for '%s' codepage=%s database=%s found", name,
                          codePageName(UL_LDCP_ANY).c_str(), databaseName(-1).c_str());
        return UL_ERROR_RETURN(-1);
    }
    ++entry->m_usage[1];
    lruPushFront(entry);
    return 0;
}

ULLDObjCacheEntry* ULLDObjectCache::getObjects(unsigned reqtask, const char16_t* name, int flags) {
    const int rc = ul_guarded([&] { return getObjectsImpl(reqtask, name, flags); });
    ULLDObjCacheEntry* entry = lookup(name);
    afterRequest(entry);
    return rc < 0 ? UL_ERROR_RETURN(nullptr) : entry;
}

// An entry that a request leaves unused may be evicted; then the limits are enforced.
void ULLDObjectCache::afterRequest(ULLDObjCacheEntry* entry) {
    if (entry && !entry->inUse() && !(entry->m_flags & UL_LDCENTRY_KEEP))
        entry->m_flags |= UL_LDCENTRY_STEALABLE;
    shrinkCache();
}

// ---- releasing ------------------------------------------------------------------------------

int ULLDObjectCache::release(ULLDObjCacheEntry* entry, int which, int keepMode) {
    if (entry->m_usage[which] <= 0) {
        ul_errorsetmsgfmt(0, u"Internal error: Object '%s' released more often than requested",
                          entry->name());
        return UL_ERROR_RETURN(-1);
    }
    --entry->m_usage[which];
    if (keepMode & 1)
        entry->m_flags |= UL_LDCENTRY_KEEP | UL_LDCENTRY_STEALABLE;
    else if (!(entry->m_flags & UL_LDCENTRY_KEEP))
        entry->m_flags |= UL_LDCENTRY_STEALABLE;
    if ((keepMode & 1) || !(entry->m_flags & UL_LDCENTRY_KEEP)) lruPushFront(entry);
    UL_TRACE(UL_TRC_OBJ, 3, u"Released object '%s': now usagecount=%d+%d keepMode=%#x\n",
             entry->name(), entry->m_usage[0], entry->m_usage[1], static_cast<unsigned>(keepMode));
    shrinkCache();
    return 0;
}

int ULLDObjectCache::releaseObject(ULLDObject* object, int keepMode) {
    ULLDObjCacheEntry* entry = object ? lookup(object->name.c_str()) : nullptr;
    const bool attached =
        entry && std::any_of(entry->m_defs.begin(), entry->m_defs.end(),
                             [object](const Definition& d) { return d.object == object; });
    if (!attached) {
        ul_errorsetmsgfmt(0, u"Internal error: Object %p '%s' is not in the cache",
                          static_cast<void*>(object), object ? object->name.c_str() : u"");
        return UL_ERROR_RETURN(-1);
    }
    return release(entry, 0, keepMode) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int ULLDObjectCache::releaseObject(ULLDObjCacheEntry* entry, int keepMode) {
    return release(entry, 1, keepMode) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// ---- logical tables and dependent objects ---------------------------------------------------

int ULLDObjectCache::addLogTable(ULLDObjCacheEntry* table, const char16_t* name) {
    return table->m_logTables.addEntry(name) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int ULLDObjectCache::addDepObject0(const char16_t* tableName, const char16_t* name) {
    ULLDObjCacheEntry* table = lookup(tableName);
    if (!table) return 0;
    const ULLDBaseObjList& list = table->m_depObjects;
    for (size_t i = 0; i < list.count(); ++i)
        if (ul_strcmp(list.entry(i), name) == 0) return 0;
    return table->m_depObjects.addEntry(name) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// Makes sure the logical file is scanned completely and adds its tables, in file order, to the
// entry of the physical table.
int ULLDObjectCache::scanLogicalFile(ULLDObjCacheEntry* entry, const std::u16string& path) {
    int fileNr = -1;
    for (int i = 0; i < fileCount() && fileNr < 0; ++i)
        if (m_files[static_cast<size_t>(i)].path == path) fileNr = i;
    if (fileNr < 0 && (fileNr = addFilePath(path.c_str())) < 0) return UL_ERROR_RETURN(-1);
    bool unused = false;
    if (!m_files[static_cast<size_t>(fileNr)].complete &&
        scanFileToEnd(fileNr, nullptr, &unused) < 0)
        return UL_ERROR_RETURN(-1);
    std::vector<std::pair<long, const char16_t*>> tables;
    for (const auto& [name, e] : m_entries)
        for (const Definition& d : e->m_defs)
            if (d.fileNr == fileNr && d.kind == UL_LDOBJ_TABLE)
                tables.emplace_back(d.offset, e->name());
    std::sort(tables.begin(), tables.end());
    for (const auto& table : tables)
        if (addLogTable(entry, table.second) < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

int ULLDObjectCache::readLogicalTables(ULLDObjCacheEntry* entry, const ULLDObject& table,
                                       size_t def, unsigned reqtask) {
    if (entry->m_logChecked || table.options.logicalType == UL_LOGTABLE_NONE) return 0;
    if (!m_readlogfiles) {
        UL_TRACE(UL_TRC_OBJ, 1, u"Reading logical files disabled, not checking for '%s'!\n",
                 entry->name());
        entry->m_logChecked = true;
        return 0;
    }
    const char16_t* suffix = !m_logfilesuffix.empty()       ? m_logfilesuffix.c_str()
                             : (reqtask & UL_LDTASK_EXPORT) ? u"_EXP"
                                                            : u"_IMP";
    const std::u16string fileName = ul_format(u"VEX%s%s.STR.logical", entry->name(), suffix);
    std::u16string directories[2] = {
        directoryOf(m_files[static_cast<size_t>(entry->m_defs[def].fileNr)].path),
        m_altstrdirectory};
    bool found = false;
    for (const std::u16string& directory : directories) {
        if (directory.empty()) continue;
        const std::u16string path = directory + u"/" + fileName;
        if (ul_filesize(path.c_str(), UL_FILE_NOMSG) < 0) continue;
        if (found) {
            if (ul_msgwrite_printf399(
                    2, u'W',
                    u"Already found %d logical tables for '%s', but '%s' exists as well - ignored!",
                    static_cast<int>(entry->m_logTables.count()), entry->name(), path.c_str()) < 0)
                return UL_ERROR_RETURN(-1);
            continue;
        }
        found = true;
        if (scanLogicalFile(entry, path) < 0) return UL_ERROR_RETURN(-1);
        UL_TRACE(UL_TRC_OBJ, m_reportlogfiles ? 0 : 1,
                 u"Found logical %s description for %s in %s\n",
                 table.options.logicalType == UL_LOGTABLE_POOL ? u"pool" : u"cluster",
                 entry->name(), path.c_str());
    }
    if (!found) UL_TRACE(UL_TRC_OBJ, 1, u"No logical file found for '%s'\n", entry->name());
    if (entry->m_logTables.count() == 0) {
        ul_errorsetmsgfmt(0, u"Missing logical tables for '%s'", entry->name());
        return UL_ERROR_RETURN(-1);
    }
    entry->m_logChecked = true;
    return 0;
}

// ---- trace ----------------------------------------------------------------------------------

void ULLDObjectCache::traceCache() {
    if (!ul_traceactive(UL_TRC_OBJ, 1)) return;
    for (const auto& [name, e] : m_entries)
        UL_TRACE(UL_TRC_OBJ, 1,
                 u"Cache entry '%s': definitions=%d objects=%d size=%lu usagecount=%d+%d "
                 u"flags=%#x\n",
                 e->name(), static_cast<int>(e->m_defs.size()), e->m_objects,
                 static_cast<unsigned long>(e->m_size), e->m_usage[0], e->m_usage[1], e->m_flags);
    int position = 0;
    for (const ULLDObjCacheEntry* e = m_lruFirst; e; e = e->m_next)
        UL_TRACE(UL_TRC_OBJ, 1, u"LRU #%d: '%s' objects=%d usagecount=%d+%d flags=%#x\n",
                 position++, e->name(), e->m_objects, e->m_usage[0], e->m_usage[1], e->m_flags);
}

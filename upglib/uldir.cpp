#include "uldir.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "uldllist.h"
#include "ulerror.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

int UL_DirDefaultMode = 0777;

namespace {

void systemError(int saved, const char16_t* format, const char16_t* name) {
    errno = saved;
    ul_errorsetmsgfmt(UL_ERR_SYSTEM, format, name);
    errno = saved;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

bool matchesAny(const char16_t* name, const char16_t* const* patterns, int flags) {
    int mode = UL_WILD_FULL | ((flags & UL_DIRLIST_IGNORECASE) ? UL_WILD_IGNORECASE : 0);
    for (; *patterns; ++patterns)
        if (ul_stringwildcmp(*patterns, name, mode) > 0) return true;
    return false;
}

// Hands one name to its receiver; on failure the caller undoes the list nodes it added.
int deliver(const char16_t* name, ul_dllist_t* list, ULDirListConsumer* consumer) {
    if (list) return ul_dllistcreateaddstrnode(list, name, -1) ? 0 : -1;
    return consumer->handleDirEntry(name) < 0 ? -1 : 0;
}

int listDirectory(const char16_t* directory, const char16_t* const* patterns, ul_dllist_t* list,
                  ULDirListConsumer* consumer, int flags) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(ul_utf16to8(directory).c_str()));
    if (!dir) {
        systemError(errno, u"Cannot list directory '%s'", directory);
        return UL_ERROR_RETURN(-1);
    }
    bool sorted = flags & UL_DIRLIST_SORT;
    std::vector<std::u16string> names;  // only when sorting
    int count = 0;
    auto undo = [&]() {
        if (list)
            for (int i = 0; i < count; ++i) list->deleteNode(-1, 0);
        return UL_ERROR_RETURN(-1);
    };
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir.get());
        if (!entry) {
            if (errno == 0) break;
            systemError(errno, u"Cannot read directory '%s'", directory);
            return undo();
        }
        if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
        std::u16string name = ul_utf8to16(entry->d_name);
        if (patterns && !matchesAny(name.c_str(), patterns, flags)) continue;
        if (sorted) {
            names.push_back(std::move(name));
            continue;
        }
        if (deliver(name.c_str(), list, consumer) < 0) return undo();
        ++count;
    }
    if (sorted) {
        std::sort(names.begin(), names.end());
        for (const std::u16string& name : names) {
            if (deliver(name.c_str(), list, consumer) < 0) return undo();
            ++count;
        }
    }
    UL_TRACE(UL_TRC_DIR, 3, u"Listed %d entries of directory '%s'.\n", count, directory);
    return count;
}

// Type of an existing entry: 1 directory, 0 something else, -1 nothing there (errno set).
int entryKind(const std::string& path, bool followLinks) {
    struct stat st;
    int rc = followLinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
    if (rc != 0) return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int notADirectory(const char16_t* path) {
    ul_errorsetmsgfmt(0, u"Path '%s' exists, but is not a directory", path);
    return UL_ERROR_RETURN(-1);
}

}  // namespace

int ul_dirlist(const char16_t* directory, ul_dllist_t* list, ULDirListConsumer* consumer,
               int flags) {
    return listDirectory(directory, nullptr, list, consumer, flags);
}

int ul_dirlistpattern(const char16_t* directory, const char16_t* const* patterns, ul_dllist_t* list,
                      ULDirListConsumer* consumer, int flags) {
    static const char16_t* const kNone[] = {nullptr};
    return listDirectory(directory, patterns ? patterns : kNone, list, consumer, flags);
}

int ul_mkdir(const char16_t* path, int mode) {
    std::string name = ul_utf16to8(path);
    if (mode < 0) mode = UL_DirDefaultMode;
    if (mkdir(name.c_str(), static_cast<mode_t>(mode)) == 0) {
        UL_TRACE(UL_TRC_DIR, 2, u"Created directory '%s' with mode %o.\n", path, mode);
        return 0;
    }
    int saved = errno;
    if (saved == EEXIST && entryKind(name, true) == 1) return 1;
    systemError(saved, u"Cannot create '%s'", path);
    return UL_ERROR_RETURN(-1);
}

int ul_mkdir_secure(const char16_t* path) {
    std::string name = ul_utf16to8(path);
    int created = 0;
    if (mkdir(name.c_str(), 0700) != 0) {
        int saved = errno;
        if (saved != EEXIST) {
            systemError(saved, u"Cannot create '%s'", path);
            return UL_ERROR_RETURN(-1);
        }
        // An existing link could point anywhere; only a real directory is taken over.
        if (entryKind(name, false) != 1) return notADirectory(path);
        created = 1;
    }
    if (chmod(name.c_str(), 0700) != 0) {
        systemError(errno, u"Cannot create '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    return created;
}

int ul_dirmkhier(const char16_t* base, const char16_t* path, int flags, ULDirMkHierChecker* checker,
                 int mode) {
    std::u16string current = base ? base : u"";
    std::vector<std::u16string> components;
    for (const char16_t* p = path; *p;) {
        const char16_t* slash = ul_strchr(p, u'/');
        size_t length = slash ? static_cast<size_t>(slash - p) : ul_strlen(p);
        if (length > 0) components.emplace_back(p, length);
        p += length;
        if (*p) ++p;
    }
    if (!current.empty() || path[0] == u'/') {
        if (current.empty() || current.back() != u'/') current.push_back(u'/');
    }
    if ((flags & UL_MKHIER_LASTFILE) && !components.empty()) components.pop_back();

    int created = 0;
    bool dryRun = false;  // a checker declined creation: nothing below exists either
    for (size_t i = 0; i < components.size(); ++i) {
        if (i > 0) current.push_back(u'/');
        current += components[i];
        if (!dryRun) {
            int kind = entryKind(ul_utf16to8(current.c_str()), true);
            if (kind == 1) continue;
            if (kind == 0) return notADirectory(current.c_str());
        }
        if (checker) {
            int answer = checker->checkCreate(current.c_str());
            if (answer < 0) return UL_ERROR_RETURN(-1);
            if (answer > 0) {
                dryRun = true;
                continue;
            }
        }
        if (dryRun) continue;
        int rc = (flags & UL_MKHIER_SECURE) ? ul_mkdir_secure(current.c_str())
                                            : ul_mkdir(current.c_str(), mode);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) ++created;
    }
    return created;
}

// Directory helpers: listing entries (all, or those matching wildcard patterns) and creating
// directories singly or as a hierarchy. Failures return -1 with the reason in the error buffer.
#pragma once

#include <cstddef>

struct ul_dllist_t;

// Receives the entries of a listing one by one.
class ULDirListConsumer {
  public:
    virtual ~ULDirListConsumer() = default;
    // Called with the entry's name (no directory part). A negative result stops the listing,
    // which then fails with -1; the consumer leaves its reason in the error buffer.
    virtual int handleDirEntry(const char16_t* name) = 0;
};

enum : int {
    UL_DIRLIST_SORT = 1,        // hand out the names in ascending code-unit order
    UL_DIRLIST_IGNORECASE = 2,  // patterns match ignoring case
};

// Lists the entries of directory except "." and "..": appended to list as string nodes, or
// handed to consumer when list is null. Without UL_DIRLIST_SORT the order is the directory's.
// Returns the number of entries, or -1 ("Cannot list directory '%s'", "Cannot read directory
// '%s'"); on failure the list holds no node of this call.
int ul_dirlist(const char16_t* directory, ul_dllist_t* list, ULDirListConsumer* consumer,
               int flags);

// The same, keeping only names that match one of the wildcard patterns (ul_stringwildcmp,
// matching the whole name) of the null-terminated array.
int ul_dirlistpattern(const char16_t* directory, const char16_t* const* patterns, ul_dllist_t* list,
                      ULDirListConsumer* consumer, int flags);

// Permission bits for directories created without an explicit mode (the umask applies).
extern int UL_DirDefaultMode;

// Creates the directory with mode (-1: UL_DirDefaultMode; the umask applies). Returns 0 when
// it was created, 1 when a directory of that name exists already (so concurrent processes
// creating the same directory all succeed), or -1 with "Cannot create '%s'".
int ul_mkdir(const char16_t* path, int mode);

// Creates the directory, or takes an existing one that is not a symbolic link, and sets its
// permissions to 0700 regardless of the umask. Returns 0 or 1 as ul_mkdir, or -1 ("Cannot
// create '%s'", "Path '%s' exists, but is not a directory").
int ul_mkdir_secure(const char16_t* path);

// Asked by ul_dirmkhier before it creates a directory.
class ULDirMkHierChecker {
  public:
    virtual ~ULDirMkHierChecker() = default;
    // path is the directory about to be created. Returns 0 to create it, 1 to go on as if it
    // had been created (a dry run), or -1 to stop with failure (the checker leaves its reason
    // in the error buffer).
    virtual int checkCreate(const char16_t* path) = 0;
};

enum : int {
    UL_MKHIER_SECURE = 1,    // create with ul_mkdir_secure instead of ul_mkdir
    UL_MKHIER_LASTFILE = 2,  // the last component of path names a file and is not created
};

// Creates every missing directory of path below base (null or empty base: path as given),
// top down. base itself must exist. An existing entry that is not a directory fails with "Path
// '%s' exists, but is not a directory". mode as for ul_mkdir. Returns the number of
// directories created, or -1.
int ul_dirmkhier(const char16_t* base, const char16_t* path, int flags, ULDirMkHierChecker* checker,
                 int mode);

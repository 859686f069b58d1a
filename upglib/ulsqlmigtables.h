// Migration table selection: the list of database objects a migration moves (plain tables,
// physical cluster and pool tables with or without logical tables, logical tables, views,
// database functions and other native objects), built by selecting from the dictionary or the
// database's catalogue, read from and written to list files, reduced by the entries of another
// list, widened by the objects that depend on the listed ones, and listed for the export tool.
//
// List file: one entry per line (ULMigTableEntry::toString), the file starting with the comment
// line "#  Migration tables"; empty lines and lines starting with "#" are skipped when reading.
//
// Every function returns a count (or 0) on success and -1 with the reason in the error buffer.
// The selection and dependency functions need the process-wide connection (ulsqlbase.h).
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

// ---- selection bits -------------------------------------------------------------------------

enum : unsigned {
    UL_MIGSEL_NAMETABS = 0x1,               // the nametab tables
    UL_MIGSEL_NOLOBTABLES = 0x10,           // transparent tables without long fields
    UL_MIGSEL_LOBTABLES = 0x20,             // transparent tables with a long field
    UL_MIGSEL_TRANSPARENT = 0x30,           // transparent tables
    UL_MIGSEL_NONEMPTYCLUSTER = 0x40,       // physical cluster tables holding logical tables
    UL_MIGSEL_EMPTYCLUSTER = 0x80,          // physical cluster tables without logical tables
    UL_MIGSEL_CLUSTER = 0xC0,
    UL_MIGSEL_NONEMPTYPOOL = 0x100,         // physical pool tables holding logical tables
    UL_MIGSEL_EMPTYPOOL = 0x200,            // physical pool tables without logical tables
    UL_MIGSEL_POOL = 0x300,
    UL_MIGSEL_LOGICALCLUSTER = 0x400,       // logical cluster tables
    UL_MIGSEL_LOGICALPOOL = 0x800,          // logical pool tables
    UL_MIGSEL_LOGICAL = 0xC00,
    UL_MIGSEL_TABLES = 0xFF1,               // every table kind above
    UL_MIGSEL_DBFUNCTIONS = 0x1000,         // database functions and session variables
    UL_MIGSEL_AMDPS = 0x2000,               // AMDP objects
    UL_MIGSEL_DRULS = 0x4000,               // rule objects
    UL_MIGSEL_DTDCS = 0x8000,               // DTDC objects
    UL_MIGSEL_DBVIEWS = 0x100000,           // database views
    UL_MIGSEL_CDSVIEWS = 0x200000,          // CDS views
    UL_MIGSEL_VIEWS = 0x300000,
    UL_MIGSEL_ALL = 0x30FFF1,
    UL_MIGSEL_NODBDIFF = 0x1000000,         // keep objects listed as database differences
    UL_MIGSEL_FORCRC = 0x2000000,           // for checksums: leave out tables without content
    UL_MIGSEL_TABLES4CRC = 0x2000FF1,
    UL_MIGSEL_NATIVE = 0x10000000,          // objects from the database's own catalogue
    UL_MIGSEL_ADDDEPENDENCIES = 0x20000000, // add the objects depending on the selected ones
    UL_MIGSEL_NOIGNSYSSCHEMAS = 0x40000000, // keep objects of system schemas (native mode)
};

// Maps a selection of keywords joined by "+" ("tables+views", matched ignoring case) to its
// bits. A selection without any bit besides nodbdiff and native stands for "all". Returns 0,
// or -1 with "Unknown selection '%s'".
[[nodiscard]] int ul_sqlmapmigtablename(const char16_t* selection, unsigned* bits);

// ---- list entries ---------------------------------------------------------------------------

// Kind flags of an entry.
enum : unsigned {
    UL_MIGKIND_NAMETAB = 0x1,   // a table of the nametab itself
    UL_MIGKIND_CLUSTER = 0x2,   // a physical cluster table
    UL_MIGKIND_POOL = 0x4,      // a physical pool table
    UL_MIGKIND_LOGICAL = 0x8,   // a logical cluster or pool table (refTable: its container)
};

// What an entry is. Tables are the default; the other types have a word of their own in the
// list file.
enum class ULMigObjType : unsigned char {
    table,
    view,
    cdsview,
    dbfunction,
    procedure,
    amdp,
    drul,
    dtdc,
    trigger,
    sequence,
    synonym,
    graphworkspace,
    temptable,
    tabletype,
};

enum class ULMigSharing : unsigned char { none, readonly, readwrite, tadir, reposrc };

struct ULMigTableEntry {
    std::u16string name;
    std::u16string destTable;  // the name on the target when it differs, else empty
    std::u16string refTable;   // the container of a logical table, else empty
    std::u16string ntName;     // the nametab name of the table when it differs, else empty
    std::u16string schema;     // the schema of a native object when known, else empty
    unsigned kind = 0;         // UL_MIGKIND_*
    ULMigObjType type = ULMigObjType::table;
    ULMigSharing sharing = ULMigSharing::none;
    bool noContent = false;     // cloned without rows
    bool noPrimaryKey = false;  // the table has no primary key
    bool native = false;        // a database object outside the dictionary

    bool operator==(const ULMigTableEntry&) const = default;

    // Appends the list-file line of the entry (without line end) to out: the escaped name,
    // " desttable=", the kind word, " reftable=", " ntname=", " schema=", " nocontent",
    // " sharingtype=", " noprimarykey", " native" as they apply. Names are put in double
    // quotes when the global SQL flag q7ldforcequoting is set. Returns 0 or -1.
    [[nodiscard]] int toString(std::u16string* out) const;
    // Replaces the entry by the one a list-file line describes. Returns 0, or -1 with "Unknown
    // migration phrase '%s' value '%s'", "Unknown migration phrase '%s'", "Unknown sharing type
    // '%s'" or an error of the name escapes.
    [[nodiscard]] int parseString(const char16_t* line);
};

// The word of an object type in list files ("" for a table), and the type of a word (false
// when the word names none).
const char16_t* ul_migobjtypeword(ULMigObjType type);
bool ul_migobjtypefromword(const char16_t* word, ULMigObjType* type);

// The objects of one migration list, in the order they were added, each name (with its schema)
// at most once.
class ULMigTableList {
  public:
    // Adds entry unless an entry of the same name and schema is listed. Returns 1 when added,
    // 0 when listed already.
    int add(ULMigTableEntry entry);
    const ULMigTableEntry* find(const std::u16string& name,
                                const std::u16string& schema = std::u16string()) const;
    ULMigTableEntry* find(const std::u16string& name,
                          const std::u16string& schema = std::u16string());
    // Removes the entries whose name and schema other lists. Returns the number removed.
    size_t removeAll(const ULMigTableList& other);
    void clear();
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const std::vector<ULMigTableEntry>& entries() const { return entries_; }
    std::vector<ULMigTableEntry>::iterator begin() { return entries_.begin(); }
    std::vector<ULMigTableEntry>::iterator end() { return entries_.end(); }
    std::vector<ULMigTableEntry>::const_iterator begin() const { return entries_.begin(); }
    std::vector<ULMigTableEntry>::const_iterator end() const { return entries_.end(); }

  private:
    static std::u16string key(const std::u16string& name, const std::u16string& schema);
    void reindex();
    std::vector<ULMigTableEntry> entries_;
    std::unordered_map<std::u16string, size_t> index_;
};

// ---- list files -----------------------------------------------------------------------------

// Lines longer than this are refused when reading a list file.
constexpr size_t UL_MIGLIST_MAXLINE = 4096;

// Adds the entries of a list file to list (entries listed already stay as they are). Returns
// the number of entries the file holds, or -1 with the reason and "'%s' line %d" for a bad
// line, or "Cannot read '%s'".
[[nodiscard]] int ul_sqlmigtablesread(ULMigTableList* list, const char16_t* file);
// Writes the list to file, or with a null file to the message output after "Result list:".
// Returns the number of entries written, or -1 ("Cannot open '%s' for write", "Cannot write
// to '%s'").
[[nodiscard]] int ul_sqlmigtableswrite(const ULMigTableList& list, const char16_t* file);
// Removes from list the entries (by name) of a list file or of another list. Returns the
// number removed, or -1 when the file cannot be read.
[[nodiscard]] int ul_sqlmigtablesremove(ULMigTableList* list, const char16_t* file);
[[nodiscard]] int ul_sqlmigtablesremove(ULMigTableList* list, const ULMigTableList& remove);

// ---- selection from the database ------------------------------------------------------------

// Adds the objects of a selection (UL_MIGSEL_* bits) to list: through the dictionary (the
// nametab interface under the global SQL flag migtablesnametab or when long fields decide,
// else statements on DD02L and its companions), or with UL_MIGSEL_NATIVE from the database's
// catalogue in the schemas given (the current schema when none), leaving out the objects of
// ignoreSchemas. targetDb (null or empty: none) names the target database whose exclusion list
// marks tables cloned without content and whose database objects are selected. Errors of
// single entries are logged and counted and fail the call at the end ("Found %d errors, see
// log for details"). With UL_MIGSEL_ADDDEPENDENCIES the dependent objects are added too.
// Returns the number of objects added, or -1.
[[nodiscard]] int ul_sqllistmigrationtables(ULMigTableList* list,
                                            const std::vector<std::u16string>& includeSchemas,
                                            const std::vector<std::u16string>& ignoreSchemas,
                                            const char16_t* targetDb, unsigned selection);

// ---- dependencies ---------------------------------------------------------------------------

enum : int {
    UL_MIGDEPS_REVERSED = 1,         // add the objects the listed ones depend on
    UL_MIGDEPS_NATIVE = 2,           // flag the added objects native
    UL_MIGDEPS_NOIGNSYSSCHEMAS = 4,  // follow dependencies into system schemas
};

// Adds the objects that depend on the listed ones (with UL_MIGDEPS_REVERSED: that the listed
// ones depend on), level by level until no new object appears, from the database's dependency
// catalogue of the given schemas (the current one when none). Returns the number added, or -1
// ("Adding dependencies is not supported for this database type").
[[nodiscard]] int ul_sqlmigadddependencies(ULMigTableList* list,
                                           const std::vector<std::u16string>& schemas, int flags);

// ---- export-tool listing --------------------------------------------------------------------

struct ul_migexpoptions_t {
    std::u16string emptyTables;  // file of further tables to be cloned empty, or empty
    bool condenseEmpty = false;  // rewrite that file condensed as "<file>.new"
    std::u16string release;      // the release instead of the one in SVERS, or empty
};

// Adds the tables the export tool moves (the shadow import's table list) to list, those to
// be cloned empty marked nocontent. Returns the number added, or -1 (errors of single lines
// are counted: "Found %d errors during export list generation").
[[nodiscard]] int ul_sqlmigexptables(ULMigTableList* list, const ul_migexpoptions_t& options);

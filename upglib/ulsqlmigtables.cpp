#include "ulsqlmigtables.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dbif.h"
#include "ulerror.h"
#include "ulfile.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulq7ldobj.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlutil.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultrace.h"

namespace {

// ---- messages and small helpers -----------------------------------------------------------

int message(const std::u16string& text) {
    return ul_msgwrite_line399(1, u' ', text) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int warning(const std::u16string& text) {
    return ul_msgwrite_line399(1, u'W', text) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// An error of a single entry: logged, counted by the caller, the run goes on.
int entryError(const std::u16string& text, int* errors) {
    ++*errors;
    return ul_msgwrite_line399(1, u'E', text) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

std::u16string upper(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return text;
}

// Names are written with C escapes and every control character escaped, so that no name can
// break a line of a list file.
constexpr int kNameEscape = UL_ESCAPE_C | UL_ESCAPE_CONTROL;
constexpr size_t kMaxWord = 1024;

int appendName(std::u16string* out, const std::u16string& name) {
    std::u16string escaped;
    if (ul_stringgenescape(&escaped, name, 0, kNameEscape) < 0) return UL_ERROR_RETURN(-1);
    const bool quote =
        (UL_SQLGlobalFlags & UL_SQLFLAG_Q7LDFORCEQUOTING) && escaped.front() != u'"';
    if (quote) *out += u'"';
    *out += escaped;
    if (quote) *out += u'"';
    return 0;
}

// A dictionary table as statements name it: table suffix (or with flags 0 none) and quoting
// applied.
std::u16string dictTable(const char16_t* table, int flags = UL_QUOTE_TABSUFFIX) {
    std::u16string out;
    if (ul_sqlappendquotedname(&out, table, flags) < 0) return {};
    return out;
}

// Hands the text values of every row of a query to a function.
class AuxMigRows : public ULSQLCallBackChar {
  public:
    using Row = std::function<int(const char16_t** values, unsigned ncols)>;
    explicit AuxMigRows(Row row) : row_(std::move(row)) {}
    using ULSQLCallBackChar::handleRow;
    int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override {
        if (!(flags & UL_ROW_DATA)) return 0;
        return row_(values, ncols);
    }

  private:
    Row row_;
};

const char16_t* value(const char16_t** values, unsigned ncols, unsigned i) {
    return values && i < ncols && values[i] ? values[i] : u"";
}

// Runs a query; 0 with every row handed to row, -2 when a table of it does not exist, -1 on
// error.
int query(const std::u16string& sql, const AuxMigRows::Row& row) {
    ULSQLStmt stmt;
    if (stmt.prepare(sql.c_str(), nullptr, 0, nullptr, 0, UL_SQLMODE_MISSINGTABLE) < 0)
        return UL_ERROR_RETURN(-1);
    AuxMigRows aux(row);
    const long rc = stmt.execute(&aux, nullptr, UL_SQLMODE_MISSINGTABLE);
    if (rc == -2) return -2;
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// The first column of every row of a query (-2: a table is missing).
int queryNames(const std::u16string& sql, std::vector<std::u16string>* names) {
    return query(sql, [names](const char16_t** values, unsigned ncols) {
        names->emplace_back(value(values, ncols, 0));
        return 0;
    });
}

// 1 when the table exists in the database, 0 when not, -1 on error.
int tableExists(const char16_t* table, int quoteFlags = UL_QUOTE_TABSUFFIX) {
    const std::u16string name = dictTable(table, quoteFlags);
    if (name.empty()) return UL_ERROR_RETURN(-1);
    const int rc = query(u"SELECT 1 FROM " + name + u" WHERE 1 = 0", [](const char16_t**, unsigned) {
        return 0;
    });
    return rc == -2 ? 0 : rc < 0 ? UL_ERROR_RETURN(-1) : 1;
}

// A text value as an SQL literal.
std::u16string literal(const std::u16string& text) {
    std::u16string out = u"'";
    for (char16_t c : text) {
        if (c == u'\'') out += u'\'';
        out += c;
    }
    return out + u"'";
}

// ---- selection keywords -------------------------------------------------------------------

struct SelectionWord {
    const char16_t* word;
    unsigned bits;
};

constexpr SelectionWord kSelectionWords[] = {
    {u"nametabs", UL_MIGSEL_NAMETABS},
    {u"nolobtables", UL_MIGSEL_NOLOBTABLES},
    {u"lobtables", UL_MIGSEL_LOBTABLES},
    {u"transparenttables", UL_MIGSEL_TRANSPARENT},
    {u"nonemptyclustertables", UL_MIGSEL_NONEMPTYCLUSTER},
    {u"emptyclustertables", UL_MIGSEL_EMPTYCLUSTER},
    {u"clustertables", UL_MIGSEL_CLUSTER},
    {u"nonemptypooltables", UL_MIGSEL_NONEMPTYPOOL},
    {u"emptypooltables", UL_MIGSEL_EMPTYPOOL},
    {u"pooltables", UL_MIGSEL_POOL},
    {u"logicalcluster", UL_MIGSEL_LOGICALCLUSTER},
    {u"logicalpools", UL_MIGSEL_LOGICALPOOL},
    {u"logicaltables", UL_MIGSEL_LOGICAL},
    {u"tables", UL_MIGSEL_TABLES},
    {u"tables4crc", UL_MIGSEL_TABLES4CRC},
    {u"dbfunctions", UL_MIGSEL_DBFUNCTIONS},
    {u"amdps", UL_MIGSEL_AMDPS},
    {u"druls", UL_MIGSEL_DRULS},
    {u"dtdcs", UL_MIGSEL_DTDCS},
    {u"dbviews", UL_MIGSEL_DBVIEWS},
    {u"cdsviews", UL_MIGSEL_CDSVIEWS},
    {u"views", UL_MIGSEL_VIEWS},
    {u"all", UL_MIGSEL_ALL},
    {u"nodbdiff", UL_MIGSEL_NODBDIFF},
    {u"native", UL_MIGSEL_NATIVE},
    {u"adddependencies", UL_MIGSEL_ADDDEPENDENCIES},
    {u"noignsystemschemas", UL_MIGSEL_NOIGNSYSSCHEMAS},
};

// ---- object types and sharing types -------------------------------------------------------

constexpr const char16_t* kTypeWords[] = {
    u"",          u"view",     u"cdsview",  u"dbfunction", u"procedure",
    u"amdp",      u"drul",     u"dtdc",     u"trigger",    u"sequence",
    u"synonym",   u"graphworkspace", u"temptable", u"tabletype",
};
static_assert(std::size(kTypeWords) == static_cast<size_t>(ULMigObjType::tabletype) + 1);

constexpr const char16_t* kSharingWords[] = {u"", u"readonly", u"readwrite", u"tadir",
                                             u"reposrc"};

struct KindWord {
    const char16_t* word;
    unsigned kind;
};
constexpr KindWord kKindWords[] = {
    {u"nametab", UL_MIGKIND_NAMETAB},
    {u"cluster", UL_MIGKIND_CLUSTER},
    {u"pool", UL_MIGKIND_POOL},
    {u"logical", UL_MIGKIND_LOGICAL},
};

// The object type of a native kind of the database catalogue ("TABLE", "VIEW", ...).
ULMigObjType nativeType(const std::u16string& kind) {
    static constexpr std::pair<const char16_t*, ULMigObjType> kNative[] = {
        {u"VIEW", ULMigObjType::view},
        {u"FUNCTION", ULMigObjType::dbfunction},
        {u"PROCEDURE", ULMigObjType::procedure},
        {u"TRIGGER", ULMigObjType::trigger},
        {u"SEQUENCE", ULMigObjType::sequence},
        {u"SYNONYM", ULMigObjType::synonym},
        {u"GRAPH WORKSPACE", ULMigObjType::graphworkspace},
        {u"TEMPTABLE", ULMigObjType::temptable},
        {u"TABLETYPE", ULMigObjType::tabletype},
    };
    for (const auto& [word, type] : kNative)
        if (kind == word) return type;
    return ULMigObjType::table;
}

// Whether a selection asks for objects of this type.
bool typeSelected(ULMigObjType type, unsigned selection) {
    switch (type) {
        case ULMigObjType::table:
        case ULMigObjType::temptable:
        case ULMigObjType::tabletype:
            return selection & UL_MIGSEL_TABLES;
        case ULMigObjType::view:
        case ULMigObjType::cdsview:
            return selection & UL_MIGSEL_VIEWS;
        case ULMigObjType::amdp:
            return selection & UL_MIGSEL_AMDPS;
        case ULMigObjType::drul:
            return selection & UL_MIGSEL_DRULS;
        case ULMigObjType::dtdc:
            return selection & UL_MIGSEL_DTDCS;
        default:  // functions, procedures and the other code objects of the database
            return selection & (UL_MIGSEL_DBFUNCTIONS | UL_MIGSEL_AMDPS);
    }
}

}  // namespace

// ---- selection keywords -------------------------------------------------------------------

int ul_sqlmapmigtablename(const char16_t* selection, unsigned* bits) {
    unsigned result = 0;
    std::u16string_view rest = selection ? selection : u"";
    while (true) {
        const size_t plus = rest.find(u'+');
        const std::u16string word = ul_trimmed(rest.substr(0, plus));
        const SelectionWord* found = nullptr;
        for (const auto& w : kSelectionWords)
            if (ul_stricmp(word.c_str(), w.word) == 0) found = &w;
        if (!found) return ul_errorfail(ul_format(u"Unknown selection '%s'", word.c_str()));
        result |= found->bits;
        if (plus == std::u16string_view::npos) break;
        rest.remove_prefix(plus + 1);
    }
    if ((result & ~(UL_MIGSEL_NODBDIFF | UL_MIGSEL_NATIVE)) == 0) result = UL_MIGSEL_ALL;
    *bits = result;
    return 0;
}

// ---- list entries -------------------------------------------------------------------------

const char16_t* ul_migobjtypeword(ULMigObjType type) {
    return kTypeWords[static_cast<size_t>(type)];
}

bool ul_migobjtypefromword(const char16_t* word, ULMigObjType* type) {
    for (size_t i = 1; i < std::size(kTypeWords); ++i) {
        if (ul_strcmp(word, kTypeWords[i]) == 0) {
            *type = static_cast<ULMigObjType>(i);
            return true;
        }
    }
    return false;
}

int ULMigTableEntry::toString(std::u16string* out) const {
    if (appendName(out, name) < 0) return UL_ERROR_RETURN(-1);
    auto phrase = [out](const char16_t* word, const std::u16string& text) {
        if (text.empty()) return 0;
        *out += u' ';
        *out += word;
        *out += u'=';
        return appendName(out, text);
    };
    if (phrase(u"desttable", destTable) < 0) return UL_ERROR_RETURN(-1);
    for (const auto& k : kKindWords)
        if (kind & k.kind) *out += std::u16string(u" ") + k.word;
    if (type != ULMigObjType::table) *out += std::u16string(u" ") + ul_migobjtypeword(type);
    if (phrase(u"reftable", refTable) < 0 || phrase(u"ntname", ntName) < 0 ||
        phrase(u"schema", schema) < 0)
        return UL_ERROR_RETURN(-1);
    if (noContent) *out += u" nocontent";
    if (sharing != ULMigSharing::none)
        *out += ul_format(u" sharingtype=%s", kSharingWords[static_cast<size_t>(sharing)]);
    if (noPrimaryKey) *out += u" noprimarykey";
    if (native) *out += u" native";
    return 0;
}

namespace {

// Reads one escaped word at p into word; *end behind it. 0 at the end of the line.
int readWord(const char16_t* p, std::u16string* word, const char16_t** end) {
    char16_t buffer[kMaxWord];
    const int rc = ul_stringreadescape(buffer, std::size(buffer), p, 0, end, kNameEscape);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    *word = buffer;
    return rc;
}

int setValuePhrase(ULMigTableEntry* e, const std::u16string& key, const std::u16string& text) {
    if (key == u"desttable") {
        e->destTable = text;
    } else if (key == u"reftable") {
        e->refTable = text;
    } else if (key == u"ntname") {
        e->ntName = text;
    } else if (key == u"schema") {
        e->schema = text;
    } else if (key == u"sharingtype") {
        for (size_t i = 1; i < std::size(kSharingWords); ++i) {
            if (text == kSharingWords[i]) {
                e->sharing = static_cast<ULMigSharing>(i);
                return 0;
            }
        }
        return ul_errorfail(ul_format(u"Unknown sharing type '%s'", text.c_str()));
    } else {
        return ul_errorfail(
            ul_format(u"Unknown migration phrase '%s' value '%s'", key.c_str(), text.c_str()));
    }
    return 0;
}

int setWordPhrase(ULMigTableEntry* e, const std::u16string& word) {
    for (const auto& k : kKindWords) {
        if (word == k.word) {
            e->kind |= k.kind;
            return 0;
        }
    }
    if (word == u"nocontent") {
        e->noContent = true;
    } else if (word == u"noprimarykey") {
        e->noPrimaryKey = true;
    } else if (word == u"native") {
        e->native = true;
    } else if (!ul_migobjtypefromword(word.c_str(), &e->type)) {
        return ul_errorfail(ul_format(u"Unknown migration phrase '%s'", word.c_str()));
    }
    return 0;
}

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

}  // namespace

int ULMigTableEntry::parseString(const char16_t* line) {
    ULMigTableEntry e;
    const char16_t* p = line;
    int rc = readWord(p, &e.name, &p);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == 0 || e.name.empty()) return ul_errorfail(u"Missing object name");
    while (true) {
        while (isBlank(*p)) ++p;
        if (!*p) break;
        // A phrase is a lower-case word, followed by "=" and an escaped value for the phrases
        // that take one.
        const char16_t* start = p;
        while (*p && !isBlank(*p) && *p != u'=') ++p;
        const std::u16string key(start, static_cast<size_t>(p - start));
        if (*p == u'=') {
            std::u16string text;
            const char16_t* valueStart = p + 1;
            if (isBlank(*valueStart) || !*valueStart) {
                text.clear();
                p = valueStart;
            } else if (readWord(valueStart, &text, &p) < 0) {
                return UL_ERROR_RETURN(-1);
            }
            if (setValuePhrase(&e, key, text) < 0) return UL_ERROR_RETURN(-1);
        } else if (setWordPhrase(&e, key) < 0) {
            return UL_ERROR_RETURN(-1);
        }
    }
    *this = std::move(e);
    return 0;
}

// ---- the list -----------------------------------------------------------------------------

std::u16string ULMigTableList::key(const std::u16string& name, const std::u16string& schema) {
    return schema + u'\0' + name;
}

int ULMigTableList::add(ULMigTableEntry entry) {
    auto [it, added] = index_.emplace(key(entry.name, entry.schema), entries_.size());
    if (!added) return 0;
    entries_.push_back(std::move(entry));
    return 1;
}

const ULMigTableEntry* ULMigTableList::find(const std::u16string& name,
                                            const std::u16string& schema) const {
    auto it = index_.find(key(name, schema));
    return it == index_.end() ? nullptr : &entries_[it->second];
}

ULMigTableEntry* ULMigTableList::find(const std::u16string& name, const std::u16string& schema) {
    auto it = index_.find(key(name, schema));
    return it == index_.end() ? nullptr : &entries_[it->second];
}

size_t ULMigTableList::removeAll(const ULMigTableList& other) {
    const size_t before = entries_.size();
    std::erase_if(entries_, [&other](const ULMigTableEntry& e) {
        return other.find(e.name, e.schema) != nullptr;
    });
    if (entries_.size() != before) reindex();
    return before - entries_.size();
}

void ULMigTableList::clear() {
    entries_.clear();
    index_.clear();
}

void ULMigTableList::reindex() {
    index_.clear();
    for (size_t i = 0; i < entries_.size(); ++i)
        index_.emplace(key(entries_[i].name, entries_[i].schema), i);
}

// ---- list files ---------------------------------------------------------------------------

namespace {

constexpr char16_t kListHeader[] = u"#  Migration tables";

// Reads a list file into list. Returns the number of entries in the file, or -1.
int readListFile(ULMigTableList* list, const char16_t* file) {
    ULTextFileReader in;
    if (in.open(file) < 0) {
        ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot read '%s'", file);
        return UL_ERROR_RETURN(-1);
    }
    int entries = 0;
    int rc;
    while ((rc = in.readLine()) > 0) {
        if (in.length() > UL_MIGLIST_MAXLINE) {
            return ul_errorfail(ul_format(u"Line %d of '%s' is longer than %lu characters",
                                          in.lineNumber(), file,
                                          static_cast<unsigned long>(UL_MIGLIST_MAXLINE)));
        }
        char16_t* line = in.line();
        ul_stringtrim(line);
        if (!*line || *line == u'#') continue;
        ULMigTableEntry entry;
        if (entry.parseString(line) < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"in '%s' line %d", file, in.lineNumber());
            return UL_ERROR_RETURN(-1);
        }
        list->add(std::move(entry));
        ++entries;
    }
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return entries;
}

}  // namespace

int ul_sqlmigtablesread(ULMigTableList* list, const char16_t* file) {
    return ul_guarded([&] { return readListFile(list, file); });
}

int ul_sqlmigtableswrite(const ULMigTableList& list, const char16_t* file) {
    return ul_guarded([&]() -> int {
        std::u16string line;
        if (!file) {
            if (message(u"Result list:") < 0) return UL_ERROR_RETURN(-1);
            for (const auto& e : list) {
                line.clear();
                if (e.toString(&line) < 0 || message(line) < 0) return UL_ERROR_RETURN(-1);
            }
            return static_cast<int>(list.size());
        }
        // The list goes to a file beside the target first, so that a reader never finds half a
        // list under the name; a failure removes it again.
        const std::u16string temporary = std::u16string(file) + u".tmp";
        ULTextFileWriter out;
        if (out.open(temporary.c_str()) < 0)
            return ul_errorfail(ul_format(u"Cannot open '%s' for write", file));
        bool ok = out.writeLine(kListHeader) == 0;
        for (auto it = list.begin(); ok && it != list.end(); ++it) {
            line.clear();
            ok = it->toString(&line) == 0 && out.writeLine(line.c_str()) == 0;
        }
        ok = out.close() == 0 && ok;
        if (ok && ul_fileatomicmove(temporary.c_str(), file) == 0)
            return static_cast<int>(list.size());
        unlink(ul_utf16to8(temporary.c_str()).c_str());
        ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot write to '%s'", file);
        return UL_ERROR_RETURN(-1);
    });
}

int ul_sqlmigtablesremove(ULMigTableList* list, const ULMigTableList& remove) {
    return static_cast<int>(list->removeAll(remove));
}

int ul_sqlmigtablesremove(ULMigTableList* list, const char16_t* file) {
    ULMigTableList remove;
    if (ul_sqlmigtablesread(&remove, file) < 0) return UL_ERROR_RETURN(-1);
    return ul_sqlmigtablesremove(list, remove);
}

// ---- selection through the dictionary ----------------------------------------------------------

namespace {

// What a dictionary row is, by its table type and form.
enum class RowClass { transparent, physicalCluster, physicalPool, logicalCluster, logicalPool,
                      other };

RowClass rowClass(const std::u16string& type, const std::u16string& form) {
    if (type == u"T") {
        if (form == u"T") return RowClass::transparent;
        if (form == u"C") return RowClass::physicalCluster;
        if (form == u"P") return RowClass::physicalPool;
    } else if (form == u"T") {
        if (type == u"C") return RowClass::logicalCluster;
        if (type == u"P") return RowClass::logicalPool;
    }
    return RowClass::other;
}

// One row of the dictionary statement.
struct DictRow {
    std::u16string name;
    std::u16string type;
    std::u16string form;
    std::u16string refName;
};

class MigSelector {
  public:
    MigSelector(unsigned selection, const char16_t* targetDb)
        : selection_(selection), targetDb_(targetDb ? targetDb : u"") {}

    int selectDictionary();
    int selectNative(const std::vector<std::u16string>& schemas,
                     const std::vector<std::u16string>& ignore);
    int markNoContent();
    // Moves the selected objects into list; returns the number added.
    int mergeInto(ULMigTableList* list);
    int errors() const { return errors_; }

  private:
    int selectNametabs();
    int selectTables(bool viaNametab);
    int selectViews();
    int selectDbObjects();
    int readDictionary(const std::u16string& condition, std::vector<DictRow>* rows);
    int exclusions(std::u16string* sql);
    int referencedContainers(std::set<std::u16string>* refs);
    int addTableRow(const DictRow& row, const std::set<std::u16string>& refs, bool viaNametab);
    int describe(ULMigTableEntry* entry, bool* hasLob);
    int addObjects(const std::u16string& sql, const char16_t* table, ULMigObjType type);
    int markFromQuery(const std::u16string& sql, int* marked);

    unsigned selection_;
    std::u16string targetDb_;
    ULMigTableList found_;
    int errors_ = 0;
};

// Classes of tables the selection names besides the transparent ones' long-field split.
bool wants(unsigned selection, unsigned bits) {
    return (selection & bits) != 0;
}

int MigSelector::selectDictionary() {
    const bool lobSplit = wants(selection_, UL_MIGSEL_NOLOBTABLES) !=
                          wants(selection_, UL_MIGSEL_LOBTABLES);
    const bool viaNametab = (UL_SQLGlobalFlags & UL_SQLFLAG_MIGTABLESNAMETAB) || lobSplit;
    if (wants(selection_, UL_MIGSEL_TABLES & ~UL_MIGSEL_NAMETABS) ||
        wants(selection_, UL_MIGSEL_VIEWS)) {
        if (message(viaNametab ? u"Using nametab interface." : u"Selecting nametab directly.") < 0)
            return UL_ERROR_RETURN(-1);
    }
    if (wants(selection_, UL_MIGSEL_NAMETABS) && selectNametabs() < 0) return UL_ERROR_RETURN(-1);
    if (wants(selection_, UL_MIGSEL_TABLES & ~UL_MIGSEL_NAMETABS) && selectTables(viaNametab) < 0)
        return UL_ERROR_RETURN(-1);
    if (wants(selection_, UL_MIGSEL_VIEWS) && selectViews() < 0) return UL_ERROR_RETURN(-1);
    return selectDbObjects();
}

// The tables of the current nametab set that exist in the database.
int MigSelector::selectNametabs() {
    const char16_t* suffix = ul_sqlntgetsuffix(ul_sqlntcurrentslot());
    for (size_t i = 0; i < NameTabsCount; ++i) {
        if (NameTabs[i].onRequest) continue;
        ULMigTableEntry e;
        e.name = std::u16string(NameTabs[i].name) + (suffix ? suffix : u"");
        e.kind = UL_MIGKIND_NAMETAB;
        if (e.name != NameTabs[i].name) e.ntName = NameTabs[i].name;
        const int exists = tableExists(e.name.c_str(), 0);
        if (exists < 0) return UL_ERROR_RETURN(-1);
        if (exists) found_.add(std::move(e));
    }
    return 0;
}

// The conditions that leave out database differences and tables whose content the shadow
// import brings; a companion table that does not exist leaves its condition out.
int MigSelector::exclusions(std::u16string* sql) {
    if (!wants(selection_, UL_MIGSEL_NODBDIFF)) {
        const int exists = tableExists(u"DBDIFF");
        if (exists < 0) return UL_ERROR_RETURN(-1);
        if (exists) {
            const std::u16string dbdiff = dictTable(u"DBDIFF");
            *sql += ul_format(u" AND TABNAME NOT IN (SELECT OBJNAME FROM %s WHERE DIFFKIND = '02')",
                              dbdiff.c_str());
            if (wants(selection_, UL_MIGSEL_LOGICAL)) {
                *sql += ul_format(
                    u" AND (REFNAME NOT IN (SELECT OBJNAME FROM %s WHERE DIFFKIND = '02'))",
                    dbdiff.c_str());
            }
        }
    }
    const int shadow = tableExists(u"PUTTB_SHD");
    if (shadow < 0) return UL_ERROR_RETURN(-1);
    if (shadow) {
        *sql += ul_format(
            u" AND TABNAME NOT IN (SELECT D.TABNAME FROM %s D, %s P WHERE D.TABNAME = "
            u"P.TABNAME AND D.CONTFLAG = 'L' AND P.WCONTENT = 'P')",
            dictTable(u"DD02L").c_str(), dictTable(u"PUTTB_SHD").c_str());
    }
    return 0;
}

int MigSelector::readDictionary(const std::u16string& condition, std::vector<DictRow>* rows) {
    const std::u16string dd02l = dictTable(u"DD02L");
    std::u16string sql =
        ul_format(u"SELECT TABNAME%s FROM %s WHERE TABNAME NOT LIKE '%%%c'",
                  u", VERSION, TABTYPE, TABFORM, REFNAME, HFLAG, COMPCNT", dd02l.c_str(),
                  ul_sqlgetseparator(1));
    if (exclusions(&sql) < 0) return UL_ERROR_RETURN(-1);
    sql += u" AND ( " + condition + u")";
    const int rc = query(sql, [rows](const char16_t** v, unsigned n) {
        rows->push_back({ul_trimmed(value(v, n, 0)), ul_trimmed(value(v, n, 2)), ul_trimmed(value(v, n, 3)),
                         ul_trimmed(value(v, n, 4))});
        return 0;
    });
    if (rc == -2) return ul_errorfail(ul_format(u"Table '%s' does not exist", u"DD02L"));
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// The physical tables that logical tables refer to.
int MigSelector::referencedContainers(std::set<std::u16string>* refs) {
    std::vector<std::u16string> names;
    const int rc = queryNames(
        ul_format(u"SELECT DISTINCT REFNAME FROM %s WHERE TABTYPE IN ('C', 'P') AND TABFORM = 'T'",
                  dictTable(u"DD02L").c_str()),
        &names);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    for (auto& n : names) refs->insert(ul_trimmed(n));
    return 0;
}

int MigSelector::selectTables(bool viaNametab) {
    std::vector<std::u16string> parts;
    if (wants(selection_, UL_MIGSEL_TRANSPARENT))
        parts.emplace_back(u"(TABTYPE IN ('T','P') AND TABFORM = 'T')");
    if (wants(selection_, UL_MIGSEL_LOGICALCLUSTER))
        parts.emplace_back(u"(TABTYPE = 'C' AND TABFORM = 'T')");
    if (wants(selection_, UL_MIGSEL_LOGICALPOOL))
        parts.emplace_back(u"(TABTYPE = 'P' AND TABFORM = 'T')");
    const bool cluster = wants(selection_, UL_MIGSEL_CLUSTER);
    const bool pool = wants(selection_, UL_MIGSEL_POOL);
    if (cluster || pool) {
        parts.push_back(ul_format(u"(TABTYPE = 'T' AND %s%s)",
                                  cluster && pool ? u"TABFORM IN ('C', 'P')"
                                  : cluster       ? u"TABFORM = 'C'"
                                                  : u"TABFORM = 'P'",
                                  u""));
    }
    std::u16string condition;
    for (size_t i = 0; i < parts.size(); ++i) condition += (i ? u" OR " : u"") + parts[i];
    std::vector<DictRow> rows;
    if (readDictionary(condition, &rows) < 0) return UL_ERROR_RETURN(-1);
    std::set<std::u16string> refs;
    const bool split = (selection_ & UL_MIGSEL_CLUSTER) != UL_MIGSEL_CLUSTER ||
                       (selection_ & UL_MIGSEL_POOL) != UL_MIGSEL_POOL;
    if ((cluster || pool) && split && referencedContainers(&refs) < 0) return UL_ERROR_RETURN(-1);
    for (const auto& row : rows)
        if (addTableRow(row, refs, viaNametab) < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

// Fills the entry's attributes from the nametab and tells whether a field is a long value.
// Returns 0, 1 when the table has no nametab entry (logged and counted), -1.
int MigSelector::describe(ULMigTableEntry* entry, bool* hasLob) {
    ULNameTab nametab(entry->name.c_str(), UL_NT_MISSINGOK);
    ULLDObject object;
    const int rc = nametab.getTableInfo(&object);
    if (rc < 0 || rc == 2) {
        const std::u16string reason = rc < 0 ? std::u16string(ul_errorgetmsg()) : u"";
        if (entryError(ul_format(u"No nametab entry for table '%s'%s%s", entry->name.c_str(),
                                 reason.empty() ? u"" : u": ", reason.c_str()),
                       &errors_) < 0)
            return UL_ERROR_RETURN(-1);
        return 1;
    }
    *hasLob = std::any_of(object.structure.fields.begin(), object.structure.fields.end(),
                          [](const ULLDObjField& f) { return (f.mode & UL_LDFLDMODE_LOB) != 0; });
    entry->noPrimaryKey = object.structure.nkeys == 0;
    if (object.attributes.shrType == UL_SHRTYPE_READONLY) entry->sharing = ULMigSharing::readonly;
    if (object.attributes.shrType == UL_SHRTYPE_SHARED) entry->sharing = ULMigSharing::readwrite;
    return 0;
}

int MigSelector::addTableRow(const DictRow& row, const std::set<std::u16string>& refs,
                             bool viaNametab) {
    ULMigTableEntry e;
    e.name = row.name;
    unsigned bits = 0;
    switch (rowClass(row.type, row.form)) {
        case RowClass::transparent:
            bits = UL_MIGSEL_TRANSPARENT;
            break;
        case RowClass::physicalCluster:
            e.kind = UL_MIGKIND_CLUSTER;
            bits = refs.count(row.name) ? UL_MIGSEL_NONEMPTYCLUSTER : UL_MIGSEL_EMPTYCLUSTER;
            if ((selection_ & UL_MIGSEL_CLUSTER) == UL_MIGSEL_CLUSTER) bits = UL_MIGSEL_CLUSTER;
            break;
        case RowClass::physicalPool:
            e.kind = UL_MIGKIND_POOL;
            bits = refs.count(row.name) ? UL_MIGSEL_NONEMPTYPOOL : UL_MIGSEL_EMPTYPOOL;
            if ((selection_ & UL_MIGSEL_POOL) == UL_MIGSEL_POOL) bits = UL_MIGSEL_POOL;
            break;
        case RowClass::logicalCluster:
        case RowClass::logicalPool:
            e.kind = UL_MIGKIND_LOGICAL;
            bits = rowClass(row.type, row.form) == RowClass::logicalCluster
                       ? UL_MIGSEL_LOGICALCLUSTER
                       : UL_MIGSEL_LOGICALPOOL;
            if (row.refName.find(u' ') != std::u16string::npos) {
                return entryError(ul_format(u"Illegal REFNAME='%s' containing spaces for table '%s'",
                                            row.refName.c_str(), row.name.c_str()),
                                  &errors_);
            }
            e.refTable = row.refName;
            break;
        case RowClass::other:
            return 0;
    }
    if (!wants(selection_, bits)) return 0;
    if (viaNametab) {
        bool hasLob = false;
        const int rc = describe(&e, &hasLob);
        if (rc != 0) return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
        if (bits == UL_MIGSEL_TRANSPARENT &&
            !wants(selection_, hasLob ? UL_MIGSEL_LOBTABLES : UL_MIGSEL_NOLOBTABLES))
            return 0;
    }
    found_.add(std::move(e));
    return 0;
}

int MigSelector::selectViews() {
    for (const auto& t : {u"DD25L", u"DDLDEPENDENCY"}) {
        const int exists = tableExists(t);
        if (exists < 0) return UL_ERROR_RETURN(-1);
        if (!exists) {
            return warning(ul_format(u"Table '%s' does not exist, no views selected.", t)) < 0
                       ? UL_ERROR_RETURN(-1)
                       : 0;
        }
    }
    const std::u16string dd25l = dictTable(u"DD25L");
    const std::u16string ddl = dictTable(u"DDLDEPENDENCY");
    auto viewCondition = [&](bool cds) {
        return ul_format(
            u" ( %s AND TABFORM = 'T' AND TABNAME IN (SELECT VIEWNAME FROM %s WHERE AGGTYPE = 'V' "
            u"AND VIEWCLASS = 'D') %s )",
            cds ? u"( TABTYPE = 'J' OR TABTYPE = 'H' OR TABTYPE = 'R')" : u"TABTYPE = 'J'",
            dd25l.c_str(),
            ul_format(u" AND TABNAME %sIN (SELECT OBJECTNAME FROM %s WHERE OBJECTTYPE = 'VIEW')",
                      cds ? u"" : u"NOT ", ddl.c_str())
                .c_str());
    };
    for (bool cds : {false, true}) {
        if (!wants(selection_, cds ? UL_MIGSEL_CDSVIEWS : UL_MIGSEL_DBVIEWS)) continue;
        std::u16string condition = viewCondition(cds);
        if (!cds) condition += u" OR ( TABTYPE IN ('W', 'S') AND TABFORM = 'T' )";
        std::vector<DictRow> rows;
        if (readDictionary(condition, &rows) < 0) return UL_ERROR_RETURN(-1);
        for (const auto& row : rows) {
            ULMigTableEntry e;
            e.name = row.name;
            e.type = cds ? ULMigObjType::cdsview : ULMigObjType::view;
            found_.add(std::move(e));
        }
    }
    return 0;
}

// Adds the names a query gives as objects of a type; a missing table is a warning.
int MigSelector::addObjects(const std::u16string& sql, const char16_t* table, ULMigObjType type) {
    return ul_guarded([&]() -> int {
        std::vector<std::u16string> names;
        const int rc = queryNames(sql, &names);
        if (rc == -2) {
            return warning(ul_format(u"Table '%s' does not exist, no objects selected from it.",
                                     table));
        }
        if (rc < 0) return UL_ERROR_RETURN(-1);
        for (auto& n : names) {
            ULMigTableEntry e;
            e.name = std::move(n);
            e.type = type;
            found_.add(std::move(e));
        }
        return 0;
    });
}

int MigSelector::selectDbObjects() {
    const bool functions = wants(selection_, UL_MIGSEL_DBFUNCTIONS);
    const bool amdps = wants(selection_, UL_MIGSEL_AMDPS);
    const std::u16string dbsys =
        targetDb_.empty() ? u"" : ul_format(u" AND DBSYS = %s", literal(targetDb_).c_str());
    const std::u16string header = dictTable(u"DDDBSTMTHD");
    if (functions) {
        if (addObjects(ul_format(u"SELECT DISTINCT NAME FROM %s WHERE OBJTYPE IN (%s)%s",
                                 header.c_str(), u"'DDBF', 'SVAR'", dbsys.c_str()),
                       u"DDDBSTMTHD", ULMigObjType::dbfunction) < 0)
            return UL_ERROR_RETURN(-1);
    }
    if (amdps) {
        if (addObjects(ul_format(u"SELECT DISTINCT NAME FROM %s WHERE OBJTYPE IN (%s)%s",
                                 header.c_str(), u"'AMDP'", dbsys.c_str()),
                       u"DDDBSTMTHD", ULMigObjType::amdp) < 0)
            return UL_ERROR_RETURN(-1);
    }
    if (wants(selection_, UL_MIGSEL_DRULS) &&
        addObjects(ul_format(u"SELECT DISTINCT DRUL_NAME FROM %s WHERE AS4LOCAL = 'A'",
                             dictTable(u"DDDRUL_HEADER").c_str()),
                   u"DDDRUL_HEADER", ULMigObjType::drul) < 0)
        return UL_ERROR_RETURN(-1);
    if (wants(selection_, UL_MIGSEL_DTDCS) &&
        addObjects(ul_format(u"SELECT DISTINCT DTDC_NAME FROM %s",
                             dictTable(u"DDDTDC_SOURCE").c_str()),
                   u"DDDTDC_SOURCE", ULMigObjType::dtdc) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

// Marks the listed objects a query names as cloned without content; *marked counts the names.
int MigSelector::markFromQuery(const std::u16string& sql, int* marked) {
    *marked = 0;
    return query(sql, [this, marked](const char16_t** v, unsigned n) {
        ++*marked;
        if (ULMigTableEntry* e = found_.find(ul_trimmed(value(v, n, 0)))) e->noContent = true;
        return 0;
    });
}

int MigSelector::markNoContent() {
    if (!targetDb_.empty()) {
        const std::u16string table = dictTable(u"DBEXCLLIST");
        int marked = 0;
        const int rc = markFromQuery(
            ul_format(u"SELECT TABNAME FROM %s WHERE DBSYSABBR = %s AND PARNAME = 'DATA_EXPORT' "
                      u"AND TEXT = 'NO'",
                      table.c_str(), literal(targetDb_).c_str()),
            &marked);
        if (rc == -2) {
            if (warning(ul_format(u"Table '%s' does not exist, so no exclusion list.",
                                  u"DBEXCLLIST")) < 0)
                return UL_ERROR_RETURN(-1);
        } else if (rc < 0) {
            return UL_ERROR_RETURN(-1);
        } else if (message(ul_format(u"Selected %d entries from '%s' to be cloned without content.",
                                     marked, u"DBEXCLLIST")) < 0) {
            return UL_ERROR_RETURN(-1);
        }
    }
    if (ul_sqlgetdbatype() == UL_DBTYPE_ZDB) {
        int marked = 0;
        const int rc = markFromQuery(
            ul_format(u"SELECT V.VIEW_NAME FROM VIEWS V, %s D WHERE V.VIEW_NAME = D.TABNAME AND "
                      u"V.VIEW_TYPE = 'CALC' AND D.TABCLASS = 'TRANSP' AND ( V.VIEW_NAME LIKE "
                      u"'/BIC/B%%' OR V.VIEW_NAME LIKE '/BI0/B%%' ) AND LENGTH(V.VIEW_NAME) = 16",
                      dictTable(u"DD02L").c_str()),
            &marked);
        if (rc == -1) return UL_ERROR_RETURN(-1);
        if (rc == 0 &&
            message(ul_format(u"Selected %d calculation views to be cloned without content.",
                              marked)) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int MigSelector::mergeInto(ULMigTableList* list) {
    int added = 0;
    for (const auto& e : found_) {
        if ((selection_ & UL_MIGSEL_FORCRC) && e.noContent) continue;
        added += list->add(e);
    }
    return added;
}

}  // namespace

// ---- native objects ----------------------------------------------------------------------------

namespace {

constexpr char16_t kNoNative[] = u"Native objects are not supported for this database type";
constexpr char16_t kNoDependencies[] =
    u"Adding dependencies is not supported for this database type";

// The schema the connection works in, in the tool's case.
int currentSchema(std::u16string* schema) {
    const char16_t* s = ul_sqlgetdbschema0(UL_SCHEMA_WORK | UL_SCHEMA_ACCEPTEMPTY);
    if (!s) return UL_ERROR_RETURN(-1);
    *schema = upper(s);
    return 0;
}

// Asks the engine's catalogue (dbif.h) for objects or dependencies. Returns 0, 1 when the
// engine has no such catalogue, -1.
int catalogObjects(int code, dbif_catobjects_t* request) {
    dbif_control_t argument;
    argument.objects = request;
    const int rc = ul_sqldbifcontrol(code, &argument);
    if (rc == DBIF_RC_OK) return 0;
    if (rc == DBIF_RC_NOT_SUPPORTED) return 1;
    if (rc > 0) ul_sqlsetdbiferror(rc, u"Reading the database catalogue failed");
    return UL_ERROR_RETURN(-1);
}

// The native objects of the schemas (the current one when none): on the in-memory database from
// its object views, on the others from the engine's catalogue.
int nativeObjects(const std::vector<std::u16string>& schemas, unsigned selection,
                  std::vector<dbif_catobject_t>* out) {
    const int dbType = ul_sqlgetdbatype();
    if (dbType == UL_DBTYPE_ZDB) {
        std::u16string in = u"= CURRENT_SCHEMA";
        if (!schemas.empty()) {
            in = u"IN (";
            for (size_t i = 0; i < schemas.size(); ++i)
                in += (i ? u", " : u"") + literal(schemas[i]);
            in += u")";
        }
        const std::u16string sql = ul_format(
            u"SELECT SCHEMA_NAME, OBJECT_NAME, OBJECT_TYPE FROM SYS.OBJECTS WHERE SCHEMA_NAME %s "
            u"AND OBJECT_TYPE IN %s UNION SELECT SCHEMA_NAME, TABLE_NAME, 'TABLE' FROM SYS.TABLES "
            u"WHERE SCHEMA_NAME %s AND IS_USER_DEFINED_TYPE = 'FALSE' AND IS_TEMPORARY = 'FALSE'",
            in.c_str(),
            u"('FUNCTION', 'PROCEDURE', 'SYNONYM', 'SEQUENCE', 'TRIGGER', 'GRAPH WORKSPACE', "
            u"'VIEW')",
            in.c_str());
        return query(sql, [out](const char16_t** v, unsigned n) {
                   dbif_catobject_t o{value(v, n, 0), value(v, n, 1), value(v, n, 2), false};
                   o.system = o.schema == u"PUBLIC";
                   out->push_back(std::move(o));
                   return 0;
               }) == 0
                   ? 0
                   : UL_ERROR_RETURN(-1);
    }
    if (dbType == UL_DBTYPE_ZMX) {
        if (selection & UL_MIGSEL_ALL & ~UL_MIGSEL_TABLES)
            return ul_errorfail(u"Only tables are supported");
        return query(u"SELECT TABLENAME FROM DOMAIN.TABLES WHERE SCHEMANAME = CURRENT_SCHEMA",
                     [out](const char16_t** v, unsigned n) {
                         out->push_back({u"", value(v, n, 0), u"TABLE", false});
                         return 0;
                     }) == 0
                   ? 0
                   : UL_ERROR_RETURN(-1);
    }
    dbif_catobjects_t request;
    request.schemas = schemas;
    const int rc = catalogObjects(DBIF_CTL_CATALOG_OBJECTS, &request);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc > 0) return ul_errorfail(kNoNative);
    *out = std::move(request.objects);
    return 0;
}

std::vector<std::u16string> upperAll(const std::vector<std::u16string>& names) {
    std::vector<std::u16string> out;
    for (const auto& n : names) out.push_back(upper(n));
    return out;
}

bool contains(const std::vector<std::u16string>& names, const std::u16string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

int MigSelector::selectNative(const std::vector<std::u16string>& schemas,
                              const std::vector<std::u16string>& ignore) {
    const std::vector<std::u16string> wanted = upperAll(schemas);
    const std::vector<std::u16string> ignored = upperAll(ignore);
    std::vector<dbif_catobject_t> objects;
    if (nativeObjects(wanted, selection_, &objects) < 0) return UL_ERROR_RETURN(-1);
    for (auto& o : objects) {
        if (contains(ignored, upper(o.schema))) continue;
        if (o.system && !wants(selection_, UL_MIGSEL_NOIGNSYSSCHEMAS)) continue;
        ULMigTableEntry e;
        e.type = nativeType(o.type);
        if (!typeSelected(e.type, selection_)) continue;
        e.name = std::move(o.name);
        if (!wanted.empty()) e.schema = std::move(o.schema);
        e.native = true;
        found_.add(std::move(e));
    }
    return 0;
}

int ul_sqllistmigrationtables(ULMigTableList* list, const std::vector<std::u16string>& includeSchemas,
                              const std::vector<std::u16string>& ignoreSchemas,
                              const char16_t* targetDb, unsigned selection) {
    return ul_guarded([&]() -> int {
        MigSelector selector(selection, targetDb);
        if (selection & UL_MIGSEL_NATIVE) {
            if (selector.selectNative(includeSchemas, ignoreSchemas) < 0)
                return UL_ERROR_RETURN(-1);
        } else if (selector.selectDictionary() < 0) {
            return UL_ERROR_RETURN(-1);
        }
        if (selector.markNoContent() < 0) return UL_ERROR_RETURN(-1);
        if (selector.errors() > 0)
            return ul_errorfail(ul_format(u"Found %d errors, see log for details", selector.errors()));
        int added = selector.mergeInto(list);
        if (selection & UL_MIGSEL_ADDDEPENDENCIES) {
            int flags = (selection & UL_MIGSEL_NATIVE) ? UL_MIGDEPS_NATIVE : 0;
            if (selection & UL_MIGSEL_NOIGNSYSSCHEMAS) flags |= UL_MIGDEPS_NOIGNSYSSCHEMAS;
            const int more = ul_sqlmigadddependencies(list, includeSchemas, flags);
            if (more < 0) return UL_ERROR_RETURN(-1);
            added += more;
        }
        return added;
    });
}

// ---- dependencies ------------------------------------------------------------------------------

namespace {

int readDependencies(std::vector<dbif_catdependency_t>* out) {
    if (ul_sqlgetdbatype() != UL_DBTYPE_ZDB) {
        dbif_catobjects_t request;
        const int rc = catalogObjects(DBIF_CTL_CATALOG_DEPENDENCIES, &request);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc > 0) return ul_errorfail(kNoDependencies);
        *out = std::move(request.dependencies);
        return 0;
    }
    unsigned long bytes = 0;
    const int rc = query(
        u"SELECT BASE_SCHEMA_NAME, BASE_OBJECT_NAME, BASE_OBJECT_TYPE, DEPENDENT_SCHEMA_NAME, "
        u"DEPENDENT_OBJECT_NAME, DEPENDENT_OBJECT_TYPE FROM SYS.OBJECT_DEPENDENCIES WHERE "
        u"DEPENDENCY_TYPE = 1",
        [out, &bytes](const char16_t** v, unsigned n) {
            dbif_catdependency_t d;
            d.base = {value(v, n, 0), value(v, n, 1), value(v, n, 2), false};
            d.dependent = {value(v, n, 3), value(v, n, 4), value(v, n, 5), false};
            d.base.system = d.base.schema == u"PUBLIC";
            d.dependent.system = d.dependent.schema == u"PUBLIC";
            for (const auto* o : {&d.base, &d.dependent})
                bytes += 2 * (o->schema.size() + o->name.size() + o->type.size());
            out->push_back(std::move(d));
            return 0;
        });
    if (rc < 0) return UL_ERROR_RETURN(-1);
    UL_TRACE(UL_TRC_SQLTOOL, 1, u"Size of object dependencies: %luMB\n", bytes >> 20);
    return 0;
}

std::u16string nodeKey(const std::u16string& schema, const std::u16string& name) {
    return schema + u'\0' + name;
}

}  // namespace

int ul_sqlmigadddependencies(ULMigTableList* list, const std::vector<std::u16string>& schemas,
                             int flags) {
    return ul_guarded([&]() -> int {
        const bool reversed = flags & UL_MIGDEPS_REVERSED;
        std::u16string current;
        if (currentSchema(&current) < 0) return UL_ERROR_RETURN(-1);
        UL_TRACE(UL_TRC_SQLTOOL, 1, u"Current schema is '%s'\n", current.c_str());
        if (message(ul_format(u"Collecting object dependencies from database%s.",
                              reversed ? u" (reversed)" : u"")) < 0)
            return UL_ERROR_RETURN(-1);
        std::vector<dbif_catdependency_t> dependencies;
        if (readDependencies(&dependencies) < 0) return UL_ERROR_RETURN(-1);
        // Edges from an object to the objects to add when it is listed.
        using Edge = std::pair<const dbif_catobject_t*, const dbif_catobject_t*>;
        std::unordered_map<std::u16string, std::vector<Edge>> edges;
        for (const auto& d : dependencies) {
            const dbif_catobject_t& from = reversed ? d.dependent : d.base;
            const dbif_catobject_t& to = reversed ? d.base : d.dependent;
            edges[nodeKey(upper(from.schema), upper(from.name))].emplace_back(&from, &to);
        }
        std::unordered_set<std::u16string> seen;
        std::vector<std::u16string> frontier;
        for (const auto& e : *list) {
            const std::u16string key =
                nodeKey(e.schema.empty() ? current : upper(e.schema), upper(e.name));
            if (seen.insert(key).second) frontier.push_back(key);
        }
        if (message(u"Adding dependant objects:") < 0) return UL_ERROR_RETURN(-1);
        int added = 0;
        int levels = 0;
        while (!frontier.empty()) {
            std::vector<std::u16string> next;
            for (const auto& key : frontier) {
                auto it = edges.find(key);
                if (it == edges.end()) continue;
                for (const auto& [from, o] : it->second) {
                    if (o->system && !(flags & UL_MIGDEPS_NOIGNSYSSCHEMAS)) continue;
                    const std::u16string target = nodeKey(upper(o->schema), upper(o->name));
                    if (!seen.insert(target).second) continue;
                    ULMigTableEntry e;
                    e.name = o->name;
                    if (!(schemas.empty() && upper(o->schema) == current)) e.schema = o->schema;
                    e.type = nativeType(o->type);
                    e.native = (flags & UL_MIGDEPS_NATIVE) != 0;
                    UL_TRACE(UL_TRC_SQLTOOL, 2, u"Creating dependency '%s' (%s) -> '%s' (%s)\n",
                             from->name.c_str(), from->type.c_str(), o->name.c_str(),
                             o->type.c_str());
                    added += list->add(std::move(e));
                    next.push_back(target);
                }
            }
            if (next.empty()) break;
            ++levels;
            UL_TRACE(UL_TRC_SQLTOOL, 1, u"collectDependencies: level %d has %d objects.\n", levels,
                     static_cast<int>(next.size()));
            frontier = std::move(next);
        }
        if (message(ul_format(u"Added %d dependent objects on %d levels.", added, levels)) < 0)
            return UL_ERROR_RETURN(-1);
        return added;
    });
}

// ---- export-tool listing -----------------------------------------------------------------------

namespace {

struct EmptyTables {
    std::unordered_set<std::u16string> fromDictionary;  // DD02L.CONTFLAG = 'L'
    std::vector<std::u16string> fromFile;               // the file's further tables, in order
    std::unordered_set<std::u16string> all;
};

int readRelease(const ul_migexpoptions_t& options) {
    if (!options.release.empty()) return 0;
    std::vector<std::u16string> versions;
    const int rc = queryNames(u"SELECT VERSION FROM " + dictTable(u"SVERS"), &versions);
    if (rc == -2) return ul_errorfail(u"Table 'SVERS' does not exist");
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (versions.empty()) return ul_errorfail(u"Missing entry in 'SVERS'");
    return message(ul_format(u"Read VEX release '%s' from 'SVERS'.",
                             ul_trimmed(versions.front()).c_str()));
}

int readDictionaryEmpty(EmptyTables* empty) {
    std::vector<std::u16string> names;
    const int rc = queryNames(
        ul_format(u"SELECT TABNAME FROM %s WHERE CONTFLAG = 'L'", dictTable(u"DD02L").c_str()),
        &names);
    if (rc == -2) return ul_errorfail(u"Table 'DD02L' does not exist");
    if (rc < 0) return UL_ERROR_RETURN(-1);
    for (auto& n : names) {
        const std::u16string name = ul_trimmed(n);
        empty->fromDictionary.insert(name);
        empty->all.insert(name);
    }
    return message(ul_format(u"Read %d tables with DD02L.CONTFLAG = 'L' to be cloned empty.",
                             static_cast<int>(empty->fromDictionary.size())));
}

// One table per line (escaped name); "#" lines and empty lines are skipped. Bad lines are logged
// and counted in *errors.
int readEmptyFile(const std::u16string& file, EmptyTables* empty, int* errors) {
    ULTextFileReader in;
    if (in.open(file.c_str()) < 0) {
        ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot read '%s'", file.c_str());
        return UL_ERROR_RETURN(-1);
    }
    int read = 0;
    int rc;
    while ((rc = in.readLine()) > 0) {
        char16_t* line = in.line();
        ul_stringtrim(line);
        if (!*line || *line == u'#') continue;
        std::u16string name;
        const char16_t* end = line;
        ul_errorsetmsg(0, nullptr);
        const int words = in.length() > UL_MIGLIST_MAXLINE ? -1 : readWord(line, &name, &end);
        const std::u16string rest = words < 0 ? std::u16string(ul_errorgetmsg()) : ul_trimmed(end);
        if (words <= 0 || name.empty() || !rest.empty()) {
            if (entryError(ul_format(u"Syntax error in l.%d '%s': '%s'", in.lineNumber(),
                                     file.c_str(), line),
                           errors) < 0)
                return UL_ERROR_RETURN(-1);
            continue;
        }
        const char16_t* problem = empty->fromDictionary.count(name)
                                      ? u"already has DD02L.CONTFLAG = 'L'"
                                  : empty->all.count(name) ? u"appears twice"
                                                           : nullptr;
        if (problem) {
            if (entryError(ul_format(u"Table '%s' from '%s' %s!", name.c_str(), file.c_str(),
                                     problem),
                           errors) < 0)
                return UL_ERROR_RETURN(-1);
            continue;
        }
        empty->all.insert(name);
        empty->fromFile.push_back(name);
        ++read;
    }
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return message(
        ul_format(u"Read %d tables to be cloned empty from '%s'", read, file.c_str()));
}

// The file's tables without repetitions and without those the dictionary marks already.
int writeCondensed(const std::u16string& file, const EmptyTables& empty) {
    const std::u16string target = file + u".new";
    ULTextFileWriter out;
    bool ok = out.open(target.c_str()) == 0;
    std::u16string line;
    for (auto it = empty.fromFile.begin(); ok && it != empty.fromFile.end(); ++it) {
        line.clear();
        ok = appendName(&line, *it) == 0 && out.writeLine(line.c_str()) == 0;
    }
    if (!(out.close() == 0 && ok)) {
        ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot write '%s'", target.c_str());
        return UL_ERROR_RETURN(-1);
    }
    return message(ul_format(u"Wrote %d tables to '%s'.", static_cast<int>(empty.fromFile.size()),
                             target.c_str()));
}

int listExportTables(ULMigTableList* list, const EmptyTables& empty, int* errors, int* added) {
    std::vector<std::vector<std::u16string>> rows;
    const int rc = query(
        ul_format(u"SELECT TABNAME, DSTTYPE, DSTFORM, SRCREFNAME, CLONE, PACKETNR FROM %s WHERE "
                  u"WCONTENT IN ('D', 'Q') AND PACKETNR NOT IN ('99') AND BUILDCONV <> '007' "
                  u"ORDER BY TABNAME",
                  dictTable(u"PUTTB_SHD").c_str()),
        [&rows](const char16_t** v, unsigned n) {
            rows.push_back({ul_trimmed(value(v, n, 0)), ul_trimmed(value(v, n, 1)),
                            ul_trimmed(value(v, n, 2)), ul_trimmed(value(v, n, 3))});
            return 0;
        });
    if (rc == -2) return ul_errorfail(u"Table 'PUTTB_SHD' does not exist");
    if (rc < 0) return UL_ERROR_RETURN(-1);
    for (auto& row : rows) {
        ULMigTableEntry e;
        e.name = row[0];
        switch (rowClass(row[1], row[2])) {
            case RowClass::physicalCluster:
                e.kind = UL_MIGKIND_CLUSTER;
                break;
            case RowClass::physicalPool:
                e.kind = UL_MIGKIND_POOL;
                break;
            case RowClass::logicalCluster:
            case RowClass::logicalPool:
                if (row[3].find(u' ') != std::u16string::npos) {
                    if (entryError(ul_format(u"Illegal REFNAME='%s' containing spaces for table "
                                             u"'%s'",
                                             row[3].c_str(), row[0].c_str()),
                                   errors) < 0)
                        return UL_ERROR_RETURN(-1);
                    continue;
                }
                e.kind = UL_MIGKIND_LOGICAL;
                e.refTable = row[3];
                break;
            default:
                break;
        }
        e.noContent = empty.all.count(e.name) != 0;
        *added += list->add(std::move(e));
    }
    return 0;
}

}  // namespace

int ul_sqlmigexptables(ULMigTableList* list, const ul_migexpoptions_t& options) {
    return ul_guarded([&]() -> int {
        if (readRelease(options) < 0) return UL_ERROR_RETURN(-1);
        EmptyTables empty;
        int errors = 0;
        if (readDictionaryEmpty(&empty) < 0) return UL_ERROR_RETURN(-1);
        if (!options.emptyTables.empty()) {
            if (readEmptyFile(options.emptyTables, &empty, &errors) < 0) return UL_ERROR_RETURN(-1);
            if (options.condenseEmpty && writeCondensed(options.emptyTables, empty) < 0)
                return UL_ERROR_RETURN(-1);
        }
        int added = 0;
        if (listExportTables(list, empty, &errors, &added) < 0) return UL_ERROR_RETURN(-1);
        if (errors > 0) {
            return ul_errorfail(
                ul_format(u"Found %d errors during export list generation", errors));
        }
        return added;
    });
}

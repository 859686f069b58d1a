#include "ulxmlp.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "ulerror.h"
#include "ulmacro.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"
#include "ulxmli.h"

// ==== Tables ================================================================================

ULXMLTable::~ULXMLTable() {
    for (ul_varlist_t& row : m_rows) row.free();
}

int ULXMLTable::rowCount() const {
    return m_iterator ? static_cast<int>(m_count) : static_cast<int>(m_rows.size());
}

int ULXMLTable::addRow() {
    m_rows.emplace_back();
    return static_cast<int>(m_rows.size()) - 1;
}

int ULXMLTable::setField(int row, const char16_t* field, const char16_t* value) {
    ul_varlist_t& columns = m_rows[static_cast<size_t>(row)];
    if (columns.find(field) >= 0) {
        ul_errorsetmsgfmt(0, u"Duplicate column '%s' in row of table '%s'", field, m_name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    return columns.setValue(field, value ? value : u"") ? 0 : UL_ERROR_RETURN(-1);
}

const char16_t* ULXMLTable::getField(int row, const char16_t* field) const {
    if (m_iterator || row < 0 || row >= rowCount()) return nullptr;
    const ul_varlist_t& columns = m_rows[static_cast<size_t>(row)];
    int index = columns.find(field);
    return index < 0 ? nullptr : columns.pairs[index].value;
}

int ULXMLTable::setIterator(double start, double end, double step) {
    double steps = (end - start) / step;
    if (!(step != 0 && steps >= 0 && steps < static_cast<double>(UL_XMLP_MAXITERATIONS))) {
        ul_errorsetmsgfmt(0, u"Illegal iterator table '%s' with interval [%g,%g] step size %g",
                          m_name.c_str(), start, end, step);
        return UL_ERROR_RETURN(-1);
    }
    m_iterator = true;
    m_start = start;
    m_step = step;
    // The tolerance keeps an end that decimal steps reach only approximately (0 to 1 by 0.1).
    m_count = static_cast<long>(std::floor(steps + 1e-9)) + 1;
    return 0;
}

std::u16string ULXMLTable::number(int index) const {
    double value = m_start + index * m_step;
    return ul_format(m_step == std::floor(m_step) ? u"%.0f" : u"%g", value);
}

// ==== Table references ======================================================================

namespace {

int copyValue(char16_t* buffer, size_t size, const char16_t* value) {
    if (size == 0 || ul_strlcpy(buffer, value, size) >= size) {
        ul_errorsetmsg(0, u"Not enough space for macro expansion");
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// The parts of "T[i].FIELD", "T[]" or "T[i]"; index -1 for "[]".
struct TableReference {
    std::u16string table;
    long index = -1;
    std::u16string field;
    bool hasField = false;
};

bool parseReference(const char16_t* reference, TableReference* out) {
    const char16_t* open = ul_strchr(reference, u'[');
    const char16_t* close = open ? ul_strchr(open, u']') : nullptr;
    if (!open || !close || open == reference) return false;
    out->table.assign(reference, static_cast<size_t>(open - reference));
    std::u16string index(open + 1, static_cast<size_t>(close - open - 1));
    if (!index.empty()) {
        for (char16_t c : index)
            if (!ul_isdigit(c)) return false;
        if (ul_stringtolong(index.c_str(), &out->index) < 0 || out->index > INT32_MAX) return false;
    }
    const char16_t* rest = close + 1;
    if (*rest == u'.') {
        out->hasField = true;
        out->field = rest + 1;
        if (out->field.empty() || index.empty()) return false;
    } else if (*rest) {
        return false;
    }
    return true;
}

}  // namespace

int ul_xmlcallreftable(const char16_t* reference, char16_t* buffer, size_t size,
                       ULXMLTableProvider* tables) {
    return ul_guarded([&]() -> int {
        TableReference ref;
        if (!parseReference(reference, &ref)) {
            ul_errorsetmsgfmt(0, u"Syntax error in reference string '%s'", reference);
            return UL_ERROR_RETURN(-1);
        }
        ULXMLTable* table = tables ? tables->findTable(ref.table.c_str()) : nullptr;
        if (!table) {
            ul_errorsetmsgfmt(0, u"No definition for table '%s'", ref.table.c_str());
            return UL_ERROR_RETURN(-1);
        }
        if (ref.index < 0)
            return copyValue(buffer, size, ul_format(u"%d", table->rowCount()).c_str()) < 0
                       ? UL_ERROR_RETURN(-1)
                       : 1;
        int index = static_cast<int>(ref.index);
        if (index >= table->rowCount()) {
            ul_errorsetmsgfmt(0, u"Index %d for table '%s' exceeds table size %d", index,
                              table->name(), table->rowCount());
            return UL_ERROR_RETURN(-1);
        }
        if (table->isIterator() && ref.hasField) {
            ul_errorsetmsgfmt(0, u"No field name '%s' allowed for iterator table '%s'",
                              ref.field.c_str(), table->name());
            return UL_ERROR_RETURN(-1);
        }
        if (!table->isIterator() && !ref.hasField) {
            ul_errorsetmsgfmt(0, u"Syntax error in reference string '%s'", reference);
            return UL_ERROR_RETURN(-1);
        }
        const char16_t* value =
            table->isIterator() ? nullptr : table->getField(index, ref.field.c_str());
        std::u16string number = table->isIterator() ? table->number(index) : u"";
        if (!table->isIterator() && !value) {
            ul_errorsetmsgfmt(0, u"Unknown column '%s' in row %d of table '%s'", ref.field.c_str(),
                              index, table->name());
            return 0;
        }
        return copyValue(buffer, size, value ? value : number.c_str()) < 0 ? UL_ERROR_RETURN(-1)
                                                                           : 1;
    });
}

// ==== Processing ============================================================================

namespace {

enum class Element {
    None,
    If,
    Choose,
    ForEach,
    DefineMacro,
    DefineTable,
    DefineNode,
    ExpandNode,
    Include
};

Element elementOf(const ul_xmlnode_t* node) {
    static const struct {
        const char16_t* tag;
        Element element;
    } kElements[] = {
        {u"if", Element::If},
        {u"choose", Element::Choose},
        {u"for-each", Element::ForEach},
        {u"define-macro", Element::DefineMacro},
        {u"define-table", Element::DefineTable},
        {u"define-node", Element::DefineNode},
        {u"expand-node", Element::ExpandNode},
        {u"include", Element::Include},
    };
    if (!ul_xmlistag(node)) return Element::None;
    for (const auto& e : kElements) {
        if (ul_strcmp(node->name, e.tag) != 0) continue;
        // An include element without a file name is an ordinary element.
        if (e.element == Element::Include &&
            !ul_xmlgetattribute_noalloc(node, u"name", UL_XMLATTR_QUIET))
            return Element::None;
        return e.element;
    }
    return Element::None;
}

struct FreeList {
    void operator()(ul_xmlnode_t* node) const { ul_xmlfreelist(node); }
};
using NodeList = std::unique_ptr<ul_xmlnode_t, FreeList>;

// The concatenated texts of the content children.
std::u16string contentOf(const ul_xmlnode_t* node) {
    std::u16string text;
    for (const ul_xmlnode_t* child = node->children; child; child = child->next)
        if (ul_xmliscontent(child)) text += child->name;
    return text;
}

bool isBlank(const char16_t* text) {
    for (; *text; ++text)
        if (!ul_isspace(*text)) return false;
    return true;
}

size_t countSiblings(const ul_xmlnode_t* node) {
    size_t n = 0;
    for (; node; node = node->next) ++n;
    return n;
}

// Takes the children away from node.
ul_xmlnode_t* detachChildren(ul_xmlnode_t* node) {
    ul_xmlnode_t* children = node->children;
    node->children = nullptr;
    return children;
}

// Reads a number attribute ("Invalid number '%s' for attribute '%s'"); a missing one gives
// fallback, or the attribute-not-found error when there is none.
int numberAttribute(const ul_xmlnode_t* node, const char16_t* name, const double* fallback,
                    double* value) {
    const char16_t* text = ul_xmlgetattribute_noalloc(node, name, fallback ? UL_XMLATTR_QUIET : 0);
    if (!text) {
        if (!fallback) return UL_ERROR_RETURN(-1);
        *value = *fallback;
        return 0;
    }
    std::string utf8 = ul_utf16to8(text);
    char* end = nullptr;
    *value = strtod(utf8.c_str(), &end);
    if (utf8.empty() || *end || std::isnan(*value)) {
        ul_errorsetmsgfmt(0, u"Invalid number '%s' for attribute '%s'", text, name);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// Where a definition goes: 0 for scope="global", else the current level.
int scopeOf(const ul_xmlnode_t* node, int level) {
    const char16_t* scope = ul_xmlgetattribute_noalloc(node, u"scope", UL_XMLATTR_QUIET);
    if (!scope || ul_strcmp(scope, u"local") == 0) return level;
    if (ul_strcmp(scope, u"global") == 0) return 0;
    ul_errorsetmsgfmt(0, u"Invalid attribute value '%s' for scope", scope);
    return UL_ERROR_RETURN(-1);
}

// Puts $(1) ... $(n) of a macro body in place; other calls stay for the rescan.
std::u16string substituteArguments(const std::u16string& body, const char16_t* const* args,
                                   int argc, char16_t open, char16_t close) {
    std::u16string out;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] != u'$' || i + 1 >= body.size()) {
            out += body[i];
            continue;
        }
        if (body[i + 1] == u'$') {
            out += u"$$";
            ++i;
            continue;
        }
        size_t end = i + 2;
        while (end < body.size() && ul_isdigit(body[end])) ++end;
        long index = 0;
        if (body[i + 1] == open && end > i + 2 && end < body.size() && body[end] == close &&
            ul_stringtolong(body.substr(i + 2, end - i - 2).c_str(), &index) == 0 && index >= 1 &&
            index <= argc) {
            out += args[index - 1];
            i = end;
            continue;
        }
        out += body[i];
    }
    return out;
}

struct XmlMacro {
    std::u16string name;
    int nargs;
    std::u16string body;
};

struct NodeDefinition {
    std::u16string name;
    NodeList node;
};

// The row a for-each copy is processed for.
struct RowBinding {
    ULXMLTable* table = nullptr;  // null: no binding
    int row = 0;
    std::u16string into, prev, next;
};

struct Scope {
    std::vector<XmlMacro> macros;
    std::vector<std::unique_ptr<ULXMLTable>> tables;
    std::vector<NodeDefinition> nodes;
    RowBinding binding;
};

// The processing state: the walker over the tree and, at the same time, the provider of the
// macros and tables the tree defines. m_scopes[level] holds what was defined among the nodes
// of that nesting level (level 0: scope="global"); it is emptied whenever the walk moves to
// another parent.
class AuxProcessCondition : public ULXMLTreeWalker,
                            public ULMacroProvider,
                            public ULXMLTableProvider {
  public:
    AuxProcessCondition(ULMacroProvider* macros, ULXMLTableProvider* tables,
                        ULXMLTreeWalker* walker, int macroFlags, int flags)
        : m_macros(macros),
          m_tables(tables),
          m_walker(walker),
          m_macroFlags(macroFlags),
          m_flags(flags),
          m_open(macroFlags & UL_MACRO_CURLY ? u'{' : u'('),
          m_close(macroFlags & UL_MACRO_CURLY ? u'}' : u')') {}

    // Processes the list *list as the children of a node at level base.
    int walkList(ul_xmlnode_t** list, int base);
    void pushFile(const char16_t* path) { m_files.emplace_back(path); }

    int handleNode(int depth, ul_xmlnode_t** link, ul_xmlnode_t* parent) override;
    int expandMacro(char16_t* buffer, size_t size, const char16_t* name,
                    const char16_t* const* args, int argc) override;
    ULXMLTable* findTable(const char16_t* name) override;

  private:
    int enterLevel(int level);
    int replaceText(std::u16string* text) {
        return ul_macroreplacestring(text, this, m_macroFlags);
    }
    int replaceContent(ul_xmlnode_t* node);
    int replaceAttributes(ul_xmlnode_t* node, const char16_t* keep);
    int condition(const char16_t* test);
    // Puts list in place of the element at *link; processed nodes are passed over by the walk.
    int splice(ul_xmlnode_t** link, ul_xmlnode_t* list, bool processed);
    int callWalker(int level, ul_xmlnode_t** link, ul_xmlnode_t* parent);

    int doIf(ul_xmlnode_t** link);
    int doChoose(ul_xmlnode_t** link);
    int doForEach(ul_xmlnode_t** link, int level);
    int doDefineMacro(ul_xmlnode_t** link, int level);
    int doDefineTable(ul_xmlnode_t** link, int level);
    int doDefineNode(ul_xmlnode_t** link, int level);
    int doExpandNode(ul_xmlnode_t** link);
    int doInclude(ul_xmlnode_t** link, int level);
    int processForEachRow(const ul_xmlnode_t* body, const RowBinding& binding, const char16_t* test,
                          int level, NodeList* result);

    const RowBinding* findBinding(const std::u16string& name, int* offset) const;
    bool inLoop() const;
    const XmlMacro* findMacro(const std::u16string& name, int nargs, size_t* scope) const;
    int rowValue(const RowBinding& binding, int offset, const std::u16string* field,
                 char16_t* buffer, size_t size);
    int reference(const char16_t* argument, char16_t* buffer, size_t size);

    ULMacroProvider* m_macros;
    ULXMLTableProvider* m_tables;
    ULXMLTreeWalker* m_walker;
    int m_macroFlags;
    int m_flags;
    char16_t m_open, m_close;
    std::vector<Scope> m_scopes = std::vector<Scope>(1);
    std::vector<std::u16string> m_files;  // being processed, innermost last
    int m_base = 0;
    size_t m_skip = 0;  // processed nodes just spliced in that the walk is to pass over
};

int AuxProcessCondition::walkList(ul_xmlnode_t** list, int base) {
    int saved = m_base;
    m_base = base;
    int rc = ul_xmlwalktree(list, this);
    m_base = saved;
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int AuxProcessCondition::enterLevel(int level) {
    if (level >= UL_XMLP_MAXLEVELS) {
        ul_errorsetmsgfmt(0, u"Maximum nesting level %d exceeded", UL_XMLP_MAXLEVELS);
        return UL_ERROR_RETURN(-1);
    }
    m_scopes.resize(static_cast<size_t>(level) + 1);
    return 0;
}

int AuxProcessCondition::replaceContent(ul_xmlnode_t* node) {
    std::u16string text = node->name;
    if (text.find(u'$') == std::u16string::npos) return 0;
    if (replaceText(&text) < 0) return UL_ERROR_RETURN(-1);
    char16_t* copy = ul_strdup(text.c_str());
    if (!copy) return UL_ERROR_RETURN(-1);
    if (!(node->flags & UL_XMLNODE_BORROWED_NAME)) free(node->name);
    node->name = copy;
    node->flags &= ~UL_XMLNODE_BORROWED_NAME;
    return 0;
}

int AuxProcessCondition::replaceAttributes(ul_xmlnode_t* node, const char16_t* keep) {
    for (unsigned i = 0; i < node->attributeCount; ++i) {
        const ul_xmlattr_t& attribute = node->attributes[i];
        if (!attribute.value || !ul_strchr(attribute.value, u'$')) continue;
        if (keep && ul_strcmp(attribute.name, keep) == 0) continue;
        std::u16string name = attribute.name, value = attribute.value;
        if (replaceText(&value) < 0 ||
            ul_xmladdattribute2(node, name.c_str(), value.c_str(), 0) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int AuxProcessCondition::condition(const char16_t* test) {
    return ul_macrocondition(test, this, m_macroFlags);
}

int AuxProcessCondition::splice(ul_xmlnode_t** link, ul_xmlnode_t* list, bool processed) {
    if (processed) m_skip = countSiblings(list);
    ul_xmlfreenode(ul_xmlreplacenode(link, list));
    return UL_XMLWALK_REPLACED | UL_XMLWALK_MERGE;
}

int AuxProcessCondition::callWalker(int level, ul_xmlnode_t** link, ul_xmlnode_t* parent) {
    if (!m_walker) return 0;
    int rc = m_walker->handleNode(level, link, parent);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return rc & (UL_XMLWALK_NOCHILDREN | UL_XMLWALK_SKIP) ? UL_XMLWALK_NOCHILDREN : 0;
}

int AuxProcessCondition::handleNode(int depth, ul_xmlnode_t** link, ul_xmlnode_t* parent) {
    if (m_skip > 0) {
        --m_skip;
        return UL_XMLWALK_SKIP;
    }
    int level = m_base + depth;
    if (enterLevel(level) < 0) return UL_ERROR_RETURN(-1);
    ul_xmlnode_t* node = *link;
    if (ul_xmliscontent(node))
        return replaceContent(node) < 0 ? UL_ERROR_RETURN(-1) : callWalker(level, link, parent);
    if (!ul_xmlistag(node)) return 0;
    Element element = elementOf(node);
    if (element != Element::None && level == 1) {
        ul_errorsetmsg(0, u"Top level node cannot be a conditional");
        return UL_ERROR_RETURN(-1);
    }
    // A test is replaced where it is evaluated (a loop's for each row), never twice.
    bool keepTest = element == Element::If || element == Element::ForEach;
    if (replaceAttributes(node, keepTest ? u"test" : nullptr) < 0) return UL_ERROR_RETURN(-1);
    switch (element) {
        case Element::If:
            return doIf(link);
        case Element::Choose:
            return doChoose(link);
        case Element::ForEach:
            return doForEach(link, level);
        case Element::DefineMacro:
            return doDefineMacro(link, level);
        case Element::DefineTable:
            return doDefineTable(link, level);
        case Element::DefineNode:
            return doDefineNode(link, level);
        case Element::ExpandNode:
            return doExpandNode(link);
        case Element::Include:
            return doInclude(link, level);
        case Element::None:
            break;
    }
    return callWalker(level, link, parent);
}

int AuxProcessCondition::doIf(ul_xmlnode_t** link) {
    const char16_t* test = ul_xmlgetattribute_noalloc(*link, u"test", 0);
    int result = test ? condition(test) : -1;
    if (result < 0) return UL_ERROR_RETURN(-1);
    return splice(link, result ? detachChildren(*link) : nullptr, false);
}

int AuxProcessCondition::doChoose(ul_xmlnode_t** link) {
    ul_xmlnode_t* chosen = nullptr;
    for (ul_xmlnode_t* child = ul_xmlchildren(*link); child; child = ul_xmlnextnode(child)) {
        bool when = ul_strcmp(child->name, u"when") == 0;
        if (!when && ul_strcmp(child->name, u"otherwise") != 0) {
            ul_errorsetmsgfmt(0, u"Illegal sub tag '%s' of 'choose' tag", child->name);
            return UL_ERROR_RETURN(-1);
        }
        if (chosen) continue;
        if (!when) {
            chosen = child;
            continue;
        }
        const char16_t* test = ul_xmlgetattribute_noalloc(child, u"test", 0);
        int result = test ? condition(test) : -1;
        if (result < 0) return UL_ERROR_RETURN(-1);
        if (result) chosen = child;
    }
    return splice(link, chosen ? detachChildren(chosen) : nullptr, false);
}

int AuxProcessCondition::processForEachRow(const ul_xmlnode_t* body, const RowBinding& binding,
                                           const char16_t* test, int level, NodeList* result) {
    // Every row gets a fresh scope one level down, holding its binding.
    m_scopes.resize(static_cast<size_t>(level) + 1);
    m_scopes.emplace_back().binding = binding;
    int pass = test ? condition(test) : 1;
    NodeList copies;
    for (const ul_xmlnode_t* child = body; pass > 0 && child; child = child->next) {
        ul_xmlnode_t* copy = ul_xmlcopynode(child, true);
        if (!copy) pass = -1;
        ul_xmlnode_t* list = copies.release();
        ul_xmladdtail(&list, copy);
        copies.reset(list);
    }
    ul_xmlnode_t* list = copies.release();
    if (pass > 0 && walkList(&list, level) < 0) pass = -1;
    copies.reset(list);
    m_scopes.resize(static_cast<size_t>(level) + 1);
    if (pass <= 0) return pass;
    list = result->release();
    ul_xmladdtail(&list, copies.release());
    result->reset(list);
    return 1;
}

int AuxProcessCondition::doForEach(ul_xmlnode_t** link, int level) {
    ul_xmlnode_t* node = *link;
    const char16_t* tableName = ul_xmlgetattribute_noalloc(node, u"table", UL_XMLATTR_QUIET);
    const char16_t* into = ul_xmlgetattribute_noalloc(node, u"into", UL_XMLATTR_QUIET);
    if (!tableName || !into) {
        ul_errorsetmsg(0, tableName ? u"Missing 'into' attribute in 'for-each' tag"
                                    : u"Missing 'table' attribute in 'for-each' tag");
        return UL_ERROR_RETURN(-1);
    }
    ULXMLTable* table = findTable(tableName);
    if (!table) {
        ul_errorsetmsgfmt(0, u"Unknown table '%s' in 'for-each' tags", tableName);
        return UL_ERROR_RETURN(-1);
    }
    int reverse = ul_xmlgetboolattr(node, u"reverse", 0);
    if (reverse < 0) return UL_ERROR_RETURN(-1);
    const char16_t* test = ul_xmlgetattribute_noalloc(node, u"test", UL_XMLATTR_QUIET);
    const char16_t* prev = ul_xmlgetattribute_noalloc(node, u"intoprev", UL_XMLATTR_QUIET);
    const char16_t* next = ul_xmlgetattribute_noalloc(node, u"intonext", UL_XMLATTR_QUIET);
    RowBinding binding{table, 0, into, prev ? prev : u"", next ? next : u""};
    NodeList result;
    int rows = table->rowCount();
    UL_TRACE(UL_TRC_MACRO, 2, u"Loop over %d rows of '%s' into '%s'.\n", rows, tableName, into);
    for (int i = 0; i < rows; ++i) {
        binding.row = reverse ? rows - 1 - i : i;
        if (processForEachRow(node->children, binding, test, level, &result) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return splice(link, result.release(), true);
}

int AuxProcessCondition::doDefineMacro(ul_xmlnode_t** link, int level) {
    ul_xmlnode_t* node = *link;
    const char16_t* name = ul_xmlgetattribute_noalloc(node, u"name", 0);
    if (!name) return UL_ERROR_RETURN(-1);
    long nargs = 0;
    const char16_t* nargsText = ul_xmlgetattribute_noalloc(node, u"nargs", UL_XMLATTR_QUIET);
    if (nargsText &&
        (ul_stringtolong(nargsText, &nargs) < 0 || nargs < 0 || nargs > UL_MACRO_MAXARGS)) {
        ul_errorsetmsgfmt(0, u"Invalid attribute value '%s' for nargs", nargsText);
        return UL_ERROR_RETURN(-1);
    }
    int target = scopeOf(node, level);
    if (target < 0) return UL_ERROR_RETURN(-1);
    size_t found = 0;
    if (findMacro(name, static_cast<int>(nargs), &found)) {
        if (found == static_cast<size_t>(target)) {
            ul_errorsetmsgfmt(0, u"Duplicate macro '%s' defined on same level", name);
            return UL_ERROR_RETURN(-1);
        }
        UL_TRACE(UL_TRC_MACRO, 1, u"Warning: Macro '%s' nargs=%d redefined!\n", name,
                 static_cast<int>(nargs));
    }
    m_scopes[static_cast<size_t>(target)].macros.push_back(
        {name, static_cast<int>(nargs), contentOf(node)});
    return splice(link, nullptr, false);
}

int AuxProcessCondition::doDefineTable(ul_xmlnode_t** link, int level) {
    ul_xmlnode_t* node = *link;
    const char16_t* name = ul_xmlgetattribute_noalloc(node, u"name", 0);
    if (!name) return UL_ERROR_RETURN(-1);
    int target = scopeOf(node, level);
    if (target < 0) return UL_ERROR_RETURN(-1);
    for (const auto& table : m_scopes[static_cast<size_t>(target)].tables) {
        if (ul_strcmp(table->name(), name) == 0) {
            ul_errorsetmsgfmt(0, u"Duplicate table '%s' defined on same level", name);
            return UL_ERROR_RETURN(-1);
        }
    }
    auto table = std::make_unique<ULXMLTable>(name);
    bool iterator = false;
    for (const char16_t* attribute : {u"start", u"end", u"step"})
        iterator = iterator || ul_xmlgetattribute_noalloc(node, attribute, UL_XMLATTR_QUIET);
    if (iterator) {
        if (ul_xmlchildren(node)) {
            ul_errorsetmsgfmt(0, u"Illegal iterator table '%s' with sub nodes", name);
            return UL_ERROR_RETURN(-1);
        }
        const double one = 1;
        double start, end, step;
        if (numberAttribute(node, u"start", nullptr, &start) < 0 ||
            numberAttribute(node, u"end", nullptr, &end) < 0 ||
            numberAttribute(node, u"step", &one, &step) < 0 ||
            table->setIterator(start, end, step) < 0)
            return UL_ERROR_RETURN(-1);
    } else {
        // The entries may come from processing elements, so the children are processed first.
        if (walkList(&node->children, level) < 0) return UL_ERROR_RETURN(-1);
        for (ul_xmlnode_t* entry = ul_xmlchildren(node); entry; entry = ul_xmlnextnode(entry)) {
            if (ul_strcmp(entry->name, u"entry") != 0) {
                ul_errorsetmsgfmt(0, u"Invalid tag '%s' in defining table '%s'", entry->name, name);
                return UL_ERROR_RETURN(-1);
            }
            int row = table->addRow();
            for (unsigned i = 0; i < entry->attributeCount; ++i)
                if (table->setField(row, entry->attributes[i].name, entry->attributes[i].value) < 0)
                    return UL_ERROR_RETURN(-1);
            for (ul_xmlnode_t* column = ul_xmlchildren(entry); column;
                 column = ul_xmlnextnode(column))
                if (table->setField(row, column->name, contentOf(column).c_str()) < 0)
                    return UL_ERROR_RETURN(-1);
        }
    }
    UL_TRACE(UL_TRC_MACRO, 2, u"Defined table '%s' with %d rows.\n", name, table->rowCount());
    m_scopes[static_cast<size_t>(target)].tables.push_back(std::move(table));
    return splice(link, nullptr, false);
}

int AuxProcessCondition::doDefineNode(ul_xmlnode_t** link, int level) {
    ul_xmlnode_t* node = *link;
    const char16_t* name = ul_xmlgetattribute_noalloc(node, u"name", 0);
    if (!name) return UL_ERROR_RETURN(-1);
    for (const ul_xmlnode_t* child = node->children; child; child = child->next) {
        if (ul_xmliscontent(child) && !isBlank(child->name)) {
            ul_errorsetmsgfmt(0, u"Must have no content in '%s'", name);
            return UL_ERROR_RETURN(-1);
        }
    }
    ul_xmlnode_t* element = ul_xmlchildren(node);
    if (!element || ul_xmlnextnode(element)) {
        ul_errorsetmsgfmt(0, u"Must have single sub node in '%s'", name);
        return UL_ERROR_RETURN(-1);
    }
    std::vector<NodeDefinition>& nodes = m_scopes[static_cast<size_t>(level)].nodes;
    for (const NodeDefinition& definition : nodes) {
        if (definition.name == name) {
            ul_errorsetmsgfmt(0, u"Duplicate node definition '%s' on same level", name);
            return UL_ERROR_RETURN(-1);
        }
    }
    // Kept as written: macros in it are replaced where it is expanded.
    NodeList copy(ul_xmlcopynode(element, true));
    if (!copy) return UL_ERROR_RETURN(-1);
    nodes.push_back({name, std::move(copy)});
    return splice(link, nullptr, false);
}

int AuxProcessCondition::doExpandNode(ul_xmlnode_t** link) {
    const char16_t* name = ul_xmlgetattribute_noalloc(*link, u"refname", 0);
    if (!name) return UL_ERROR_RETURN(-1);
    for (size_t scope = m_scopes.size(); scope-- > 0;) {
        for (const NodeDefinition& definition : m_scopes[scope].nodes) {
            if (definition.name != name) continue;
            ul_xmlnode_t* copy = ul_xmlcopynode(definition.node.get(), true);
            return copy ? splice(link, copy, false) : UL_ERROR_RETURN(-1);
        }
    }
    ul_errorsetmsgfmt(0, u"Unknown node definition '%s'", name);
    return UL_ERROR_RETURN(-1);
}

int AuxProcessCondition::doInclude(ul_xmlnode_t** link, int level) {
    ul_xmlnode_t* node = *link;
    const char16_t* name = ul_xmlgetattribute_noalloc(node, u"name", 0);
    int optional = ul_xmlgetboolattr(node, u"optional", 0);
    int childsOnly = ul_xmlgetboolattr(node, u"childsonly", 0);
    int excludeTop = ul_xmlgetboolattr(node, u"exclude_toplevel_tag", 0);
    if (!name || optional < 0 || childsOnly < 0 || excludeTop < 0) return UL_ERROR_RETURN(-1);
    std::u16string path = name;
    if (!m_files.empty() && name[0] != u'/') {
        const std::u16string& current = m_files.back();
        size_t slash = current.rfind(u'/');
        if (slash != std::u16string::npos) path = current.substr(0, slash + 1) + name;
    }
    if (optional && access(ul_utf16to8(path.c_str()).c_str(), R_OK) != 0) {
        UL_TRACE(UL_TRC_MACRO, 2, u"Skipping optional include file '%s'.\n", path.c_str());
        return splice(link, nullptr, false);
    }
    for (const std::u16string& open : m_files) {
        if (open == path) {
            ul_errorsetmsgfmt(0, u"Recursive inclusion of file '%s'", path.c_str());
            return UL_ERROR_RETURN(-1);
        }
    }
    NodeList tree(ul_xmlreadfile(path.c_str(), 0));
    bool ok = tree != nullptr;
    if (ok && (m_flags & UL_XMLCHECK_CRC) && ul_xmlvalidate(tree.get(), 0) != 1) {
        ul_errorsetmsgfmt(0, u"Corrupted file '%s'", path.c_str());
        ok = false;
    }
    for (const char16_t* attribute : {u"srcid", u"xmlns:xsi", u"xsi:noNamespaceSchemaLocation"})
        ok = ok && ul_xmldelattribute(tree.get(), attribute) >= 0;
    ul_xmlnode_t* list = nullptr;
    if (ok) {
        list = childsOnly || excludeTop ? detachChildren(tree.get()) : tree.release();
        m_files.push_back(path);
        // The included nodes take the include element's place, so they are on its level.
        ok = walkList(&list, level - 1) == 0;
        m_files.pop_back();
    }
    if (!ok) {
        ul_xmlfreelist(list);
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot process included file '%s'", path.c_str());
        return UL_ERROR_RETURN(-1);
    }
    return splice(link, list, true);
}

bool AuxProcessCondition::inLoop() const {
    for (const Scope& scope : m_scopes)
        if (scope.binding.table) return true;
    return false;
}

const RowBinding* AuxProcessCondition::findBinding(const std::u16string& name, int* offset) const {
    for (size_t scope = m_scopes.size(); scope-- > 0;) {
        const RowBinding& binding = m_scopes[scope].binding;
        if (!binding.table) continue;
        *offset = name == binding.into   ? 0
                  : name == binding.prev ? -1
                  : name == binding.next ? 1
                                         : 2;
        if (*offset != 2 && !name.empty()) return &binding;
    }
    return nullptr;
}

const XmlMacro* AuxProcessCondition::findMacro(const std::u16string& name, int nargs,
                                               size_t* scope) const {
    for (size_t i = m_scopes.size(); i-- > 0;) {
        for (const XmlMacro& macro : m_scopes[i].macros) {
            if (macro.nargs == nargs && macro.name == name) {
                *scope = i;
                return &macro;
            }
        }
    }
    return nullptr;
}

ULXMLTable* AuxProcessCondition::findTable(const char16_t* name) {
    for (size_t scope = m_scopes.size(); scope-- > 0;)
        for (const auto& table : m_scopes[scope].tables)
            if (ul_strcmp(table->name(), name) == 0) return table.get();
    return m_tables ? m_tables->findTable(name) : nullptr;
}

// The column (or, for an iterator table without field, the number) of the bound row moved
// by offset; empty beyond the ends. Returns provider results.
int AuxProcessCondition::rowValue(const RowBinding& binding, int offset,
                                  const std::u16string* field, char16_t* buffer, size_t size) {
    const ULXMLTable& table = *binding.table;
    if (table.isIterator() && field) {
        ul_errorsetmsgfmt(0, u"No field name '%s' allowed for iterator table '%s'", field->c_str(),
                          table.name());
        return UL_ERROR_RETURN(-1);
    }
    int row = binding.row + offset;
    if (!table.isIterator() && !field) return 0;
    if (row < 0 || row >= table.rowCount())
        return copyValue(buffer, size, u"") < 0 ? UL_ERROR_RETURN(-1) : UL_MACRO_DEFINED;
    if (table.isIterator())
        return copyValue(buffer, size, table.number(row).c_str()) < 0 ? UL_ERROR_RETURN(-1)
                                                                      : UL_MACRO_DEFINED;
    const char16_t* value = table.getField(row, field->c_str());
    if (!value) return 0;
    return copyValue(buffer, size, value) < 0 ? UL_ERROR_RETURN(-1) : UL_MACRO_DEFINED;
}

int AuxProcessCondition::reference(const char16_t* argument, char16_t* buffer, size_t size) {
    std::u16string text = argument;
    size_t at = text.find(u'@');
    if (!inLoop()) {
        ul_errorsetmsgfmt(0, u"Macro syntax 'INTO@FIELD' only allowed in 'for-each' loops for '%s'",
                          argument);
        return UL_ERROR_RETURN(-1);
    }
    int offset = 0;
    const RowBinding* binding = findBinding(text.substr(0, at), &offset);
    if (!binding) return 0;
    int row = binding->row + offset;
    std::u16string value;
    if (binding->table->isIterator() && at != std::u16string::npos) {
        ul_errorsetmsgfmt(0, u"No field name '%s' allowed for iterator table '%s'",
                          text.c_str() + at + 1, binding->table->name());
        return UL_ERROR_RETURN(-1);
    }
    if (row >= 0 && row < binding->table->rowCount())
        value = at == std::u16string::npos
                    ? ul_format(u"%s[%d]", binding->table->name(), row)
                    : ul_format(u"%s[%d].%s", binding->table->name(), row, text.c_str() + at + 1);
    return copyValue(buffer, size, value.c_str()) < 0 ? UL_ERROR_RETURN(-1) : UL_MACRO_DEFINED;
}

int AuxProcessCondition::expandMacro(char16_t* buffer, size_t size, const char16_t* name,
                                     const char16_t* const* args, int argc) {
    std::u16string key = name;
    if ((key == u"__FILE__" || key == u"__FILEPATH__") && argc <= 0 && !m_files.empty()) {
        const std::u16string& path = m_files.back();
        size_t slash = path.rfind(u'/');
        std::u16string value =
            key == u"__FILEPATH__" || slash == std::u16string::npos ? path : path.substr(slash + 1);
        return copyValue(buffer, size, value.c_str()) < 0 ? UL_ERROR_RETURN(-1) : UL_MACRO_DEFINED;
    }
    if (key == u"_REFERENCE" && argc == 1) return reference(args[0], buffer, size);
    if (key.find(u'[') != std::u16string::npos) {
        int rc = ul_xmlcallreftable(name, buffer, size, this);
        return rc > 0 ? UL_MACRO_DEFINED : rc;
    }
    int offset = 0;
    size_t at = key.find(u'@');
    if (at != std::u16string::npos) {
        if (!inLoop()) {
            ul_errorsetmsgfmt(
                0, u"Macro syntax 'INTO@FIELD' only allowed in 'for-each' loops for '%s'", name);
            return UL_ERROR_RETURN(-1);
        }
        std::u16string field = key.substr(at + 1);
        if (const RowBinding* binding = findBinding(key.substr(0, at), &offset))
            return rowValue(*binding, offset, &field, buffer, size);
    } else if (const RowBinding* binding = findBinding(key, &offset);
               binding && binding->table->isIterator() && argc <= 0) {
        return rowValue(*binding, offset, nullptr, buffer, size);
    }
    size_t scope = 0;
    if (const XmlMacro* macro = findMacro(key, argc < 0 ? 0 : argc, &scope)) {
        std::u16string value = substituteArguments(macro->body, args, argc, m_open, m_close);
        return copyValue(buffer, size, value.c_str()) < 0 ? UL_ERROR_RETURN(-1)
                                                          : UL_MACRO_DEFINED | UL_MACRO_EXPANDAGAIN;
    }
    return m_macros ? m_macros->expandMacro(buffer, size, name, args, argc) : 0;
}

}  // namespace

int ul_xmlprocessnode(ul_xmlnode_t** tree, ULMacroProvider* macros, ULXMLTableProvider* tables,
                      ULXMLTreeWalker* walker, const char16_t* fileName, int macroFlags,
                      int flags) {
    return ul_guarded([&]() -> int {
        AuxProcessCondition processor(macros, tables, walker, macroFlags, flags);
        if (fileName) processor.pushFile(fileName);
        return processor.walkList(tree, 0) < 0 ? UL_ERROR_RETURN(-1) : 0;
    });
}

// ==== Checked files and includes ============================================================

namespace {

// The macro and condition processing of a tree read from the file path; its includes are
// found relative to the file's directory.
int processMacros(ul_xmlnode_t** tree, ULMacroProvider* provider, const char16_t* path, int flags) {
    return ul_xmlprocessnode(tree, provider, nullptr, nullptr, path, 0, flags & UL_XMLCHECK_CRC);
}

// Attributes of an included top-level tag that describe the included file only.
const char16_t* const kIncludeDroppedAttributes[] = {u"srcid", u"xmlns:xsi",
                                                     u"xsi:noNamespaceSchemaLocation"};

// Replaces include elements by the trees of the files they name. Files being included form a
// chain, so that a file including itself (directly or not) is refused instead of looping.
class IncludeWalker : public ULXMLTreeWalker {
  public:
    IncludeWalker(const char16_t* baseDir, ULMacroProvider* provider, int flags)
        : m_baseDir(baseDir), m_provider(provider), m_flags(flags) {}

    int handleNode(int depth, ul_xmlnode_t** node, ul_xmlnode_t* parent) override {
        (void)depth;
        (void)parent;
        if (!ul_xmlistag(*node) || ul_strcmp((*node)->name, u"include") != 0) return 0;
        const char16_t* name = ul_xmlgetattribute_noalloc(*node, u"name", UL_XMLATTR_QUIET);
        if (!name) return 0;
        std::u16string path = name;
        if (m_baseDir && *m_baseDir && name[0] != u'/')
            path = std::u16string(m_baseDir) + u"/" + name;
        int optional = ul_xmlgetboolattr(*node, u"optional", 0);
        int childsOnly = ul_xmlgetboolattr(*node, u"childsonly", 0);
        if (optional < 0 || childsOnly < 0) return UL_ERROR_RETURN(-1);
        if (optional && access(ul_utf16to8(path.c_str()).c_str(), R_OK) != 0) {
            UL_TRACE(UL_TRC_XML, 2, u"Skipping optional include file '%s'.\n", path.c_str());
            ul_xmlfreenode(ul_xmlreplacenode(node, nullptr));
            return UL_XMLWALK_REPLACED;
        }
        ul_xmlnode_t* included = readIncluded(path);
        if (!included) return UL_ERROR_RETURN(-1);
        if (childsOnly) {
            ul_xmlnode_t* children = included->children;
            included->children = nullptr;
            ul_xmlfreenode(included);
            included = children;
        }
        ul_xmlfreenode(ul_xmlreplacenode(node, included));
        ++m_count;
        return UL_XMLWALK_REPLACED;
    }

    int count() const { return m_count; }

  private:
    // Reads, verifies and expands one included file.
    ul_xmlnode_t* readIncluded(const std::u16string& path) {
        for (const std::u16string& open : m_chain) {
            if (open == path) {
                ul_errorsetmsgfmt(0, u"Recursive inclusion of file '%s'", path.c_str());
                return UL_ERROR_RETURN(nullptr);
            }
        }
        UL_TRACE(UL_TRC_XML, 2, u"Including file '%s'.\n", path.c_str());
        ul_xmlnode_t* tree = ul_xmlreadfile(path.c_str(), 0);
        if (!tree) return UL_ERROR_RETURN(nullptr);
        if ((m_flags & UL_XMLCHECK_CRC) && ul_xmlvalidate(tree, 0) != 1) {
            ul_errorsetmsgfmt(0, u"Corrupted file '%s'", path.c_str());
            ul_xmlfreenode(tree);
            return UL_ERROR_RETURN(nullptr);
        }
        for (const char16_t* attr : kIncludeDroppedAttributes) {
            if (ul_xmldelattribute(tree, attr) < 0) {
                ul_xmlfreenode(tree);
                return UL_ERROR_RETURN(nullptr);
            }
        }
        // The macro processing expands the includes itself, after the macros they may use.
        int result;
        if (m_flags & UL_XMLCHECK_MACROS) {
            result = processMacros(&tree, m_provider, path.c_str(), m_flags);
        } else {
            m_chain.push_back(path);
            result = ul_xmlwalktree(&tree, this);
            m_chain.pop_back();
        }
        if (result < 0) {
            ul_xmlfreelist(tree);
            return UL_ERROR_RETURN(nullptr);
        }
        return tree;
    }

    const char16_t* m_baseDir;
    ULMacroProvider* m_provider;
    int m_flags;
    int m_count = 0;
    std::vector<std::u16string> m_chain;
};

// Verification of a file read by ul_xmlreadcheck: checksum, top-level tag and version.
int checkFile(ul_xmlnode_t* tree, const char16_t* path, const char16_t* tag, int* version,
              int flags) {
    if ((flags & UL_XMLCHECK_CRC) && ul_xmlvalidate(tree, 0) != 1) {
        ul_errorsetmsgfmt(0, u"Corrupted file '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    if (tag && ul_strcmp(tree->name, tag) != 0) {
        ul_errorsetmsgfmt(0, u"Illegal tag '%s' - expected '%s'", tree->name, tag);
        return UL_ERROR_RETURN(-1);
    }
    long found = 0;
    const char16_t* text = ul_xmlgetattribute_noalloc(tree, u"version", UL_XMLATTR_QUIET);
    if (text && (ul_stringtolong(text, &found) < 0 || found < INT_MIN || found > INT_MAX)) {
        ul_errorsetmsgfmt(0, u"Invalid version '%s' in file '%s'", text, path);
        return UL_ERROR_RETURN(-1);
    }
    if (!version) return 0;
    if (*version != UL_XMLVERSION_ANY && *version != UL_XMLVERSION_ANY2 && found != *version) {
        ul_errorsetmsgfmt(0, u"File '%s' has version %d, but expected %d", path,
                          static_cast<int>(found), *version);
        return UL_ERROR_RETURN(-1);
    }
    *version = static_cast<int>(found);
    return 0;
}

// Include and macro processing of a file read by ul_xmlreadcheck, relative to its directory.
int expandFile(ul_xmlnode_t** tree, const char16_t* path, int flags) {
    if (flags & UL_XMLCHECK_MACROS) return processMacros(tree, nullptr, path, flags);
    if (!(flags & UL_XMLCHECK_INCLUDE)) return 0;
    const char16_t* slash = ul_strrchr(path, u'/');
    std::u16string dir = slash == path ? std::u16string(u"/")
                         : slash       ? std::u16string(path, static_cast<size_t>(slash - path))
                                       : std::u16string();
    return ul_xmlfileprocinclude(tree, dir.c_str(), nullptr, flags & UL_XMLCHECK_CRC) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

}  // namespace

int ul_xmlfileprocinclude(ul_xmlnode_t** tree, const char16_t* baseDir, ULMacroProvider* provider,
                          int flags) {
    return ul_guarded([&]() -> int {
        IncludeWalker walker(baseDir, provider, flags);
        if (ul_xmlwalktree(tree, &walker) < 0) return UL_ERROR_RETURN(-1);
        return walker.count();
    });
}

ul_xmlnode_t* ul_xmlreadcheck(const char16_t* path, const char16_t* tag, int* version, int flags) {
    ul_xmlnode_t* tree = ul_xmlreadfile(path, 0);
    if (!tree) return UL_ERROR_RETURN(nullptr);
    const int result = ul_guarded([&] {
        return checkFile(tree, path, tag, version, flags) < 0 ? -1 : expandFile(&tree, path, flags);
    });
    if (result < 0) {
        ul_xmlfreelist(tree);
        return UL_ERROR_RETURN(nullptr);
    }
    return tree;
}

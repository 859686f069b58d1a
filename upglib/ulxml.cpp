#include "ulxml.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "ulcrc.h"
#include "ulerror.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

// ==== Creating and freeing ==================================================================

namespace {

char16_t* dupString(const char16_t* s, size_t length) {
    auto* copy = static_cast<char16_t*>(ul_malloc((length + 1) * sizeof(char16_t)));
    if (!copy) return nullptr;
    if (length) memcpy(copy, s, length * sizeof(char16_t));
    copy[length] = 0;
    return copy;
}

char16_t* dupString(const char16_t* s) {
    return s ? dupString(s, ul_strlen(s)) : nullptr;
}

// Frees what the node owns besides its children and the node block itself.
void releaseNode(ul_xmlnode_t* node) {
    if (!(node->flags & UL_XMLNODE_BORROWED_NAME)) free(node->name);
    if (!(node->flags & UL_XMLNODE_BORROWED_ATTRSTRS)) {
        for (unsigned i = 0; i < node->attributeCount; ++i) {
            free(node->attributes[i].name);
            free(node->attributes[i].value);
        }
    }
    if (!(node->flags & UL_XMLNODE_BORROWED_ATTRARRAY)) free(node->attributes);
    free(node);
}

ul_xmlnode_t* lastSibling(ul_xmlnode_t* node) {
    while (node && node->next) node = node->next;
    return node;
}

// Makes the node the owner of its attribute array and strings.
int ownAttributes(ul_xmlnode_t* node) {
    const unsigned borrowed = UL_XMLNODE_BORROWED_ATTRSTRS | UL_XMLNODE_BORROWED_ATTRARRAY;
    if (!(node->flags & borrowed)) return 0;
    unsigned count = node->attributeCount;
    auto* array = static_cast<ul_xmlattr_t*>(ul_calloc(count ? count : 1, sizeof(ul_xmlattr_t)));
    if (!array) return UL_ERROR_RETURN(-1);
    for (unsigned i = 0; i < count; ++i) array[i] = node->attributes[i];
    if (node->flags & UL_XMLNODE_BORROWED_ATTRSTRS) {
        for (unsigned i = 0; i < count; ++i) {
            array[i].name = dupString(node->attributes[i].name);
            array[i].value = dupString(node->attributes[i].value);
            if (!array[i].name || (node->attributes[i].value && !array[i].value)) {
                for (unsigned j = 0; j <= i; ++j) {
                    free(array[j].name);
                    free(array[j].value);
                }
                free(array);
                return UL_ERROR_RETURN(-1);
            }
        }
    }
    if (!(node->flags & UL_XMLNODE_BORROWED_ATTRARRAY)) free(node->attributes);
    node->attributes = array;
    node->flags &= ~borrowed;
    return 0;
}

ul_xmlattr_t* findAttribute(const ul_xmlnode_t* node, const char16_t* name, int flags) {
    if (!node) return nullptr;
    for (unsigned i = 0; i < node->attributeCount; ++i) {
        const char16_t* attrName = node->attributes[i].name;
        if ((flags & UL_XMLATTR_IGNORECASE) ? ul_stricmp(attrName, name) == 0
                                            : ul_strcmp(attrName, name) == 0)
            return &node->attributes[i];
    }
    return nullptr;
}

}  // namespace

ul_xmlnode_t* ul_xmlnewnode(unsigned flags, const char16_t* name) {
    auto* node = static_cast<ul_xmlnode_t*>(ul_calloc(1, sizeof(ul_xmlnode_t)));
    if (!node) return UL_ERROR_RETURN(nullptr);
    node->flags = flags & (UL_XMLNODE_TYPEMASK | UL_XMLNODE_BORROWED_NAME | UL_XMLNODE_RAW);
    if (flags & UL_XMLNODE_BORROWED_NAME) {
        node->name = const_cast<char16_t*>(name ? name : u"");
    } else if (!(node->name = dupString(name ? name : u""))) {
        free(node);
        return UL_ERROR_RETURN(nullptr);
    }
    return node;
}

// Frees iteratively, so that no tree is too deep to free: the children of the node at the
// front of the work list are moved in front of its siblings before it is released.
void ul_xmlfreelist(ul_xmlnode_t* node) {
    while (node) {
        if (node->children) {
            lastSibling(node->children)->next = node->next;
            node->next = node->children;
            node->children = nullptr;
        }
        ul_xmlnode_t* next = node->next;
        releaseNode(node);
        node = next;
    }
}

void ul_xmlfreenode(ul_xmlnode_t* node) {
    if (!node) return;
    node->next = nullptr;
    ul_xmlfreelist(node);
}

ul_xmlnode_t* ul_xmlcopynode(const ul_xmlnode_t* node, bool deep) {
    if (!node) return nullptr;
    ul_xmlnode_t* copy =
        ul_xmlnewnode(node->flags & (UL_XMLNODE_TYPEMASK | UL_XMLNODE_RAW), node->name);
    if (!copy) return UL_ERROR_RETURN(nullptr);
    if (node->attributeCount) {
        copy->attributes = node->attributes;
        copy->attributeCount = node->attributeCount;
        copy->flags |= UL_XMLNODE_BORROWED_ATTRSTRS | UL_XMLNODE_BORROWED_ATTRARRAY;
        if (ownAttributes(copy) < 0) {
            copy->attributes = nullptr;
            copy->attributeCount = 0;
            ul_xmlfreenode(copy);
            return UL_ERROR_RETURN(nullptr);
        }
    }
    if (!deep) return copy;
    ul_xmlnode_t** tail = &copy->children;
    for (const ul_xmlnode_t* child = node->children; child; child = child->next) {
        if (!(*tail = ul_xmlcopynode(child, true))) {
            ul_xmlfreenode(copy);
            return UL_ERROR_RETURN(nullptr);
        }
        tail = &(*tail)->next;
    }
    return copy;
}

// ==== Changing trees ========================================================================

int ul_xmladdattribute2(ul_xmlnode_t* node, const char16_t* name, const char16_t* value,
                        int flags) {
    ul_xmlattr_t* existing = findAttribute(node, name, 0);
    if (existing && (flags & UL_XMLADDATTR_NOREPLACE)) {
        ul_errorsetmsgfmt(0, u"Duplicate attribute '%s' in tag <%s>", name, node->name);
        return UL_ERROR_RETURN(-1);
    }
    if (ownAttributes(node) < 0) return UL_ERROR_RETURN(-1);
    char16_t* valueCopy = nullptr;
    if (value && !(valueCopy = dupString(value))) return UL_ERROR_RETURN(-1);
    if (existing) {
        existing = findAttribute(node, name, 0);  // the array may have been copied
        free(existing->value);
        existing->value = valueCopy;
        return 0;
    }
    char16_t* nameCopy = dupString(name);
    auto* array = nameCopy
                      ? static_cast<ul_xmlattr_t*>(ul_realloc(
                            node->attributes, (node->attributeCount + 1) * sizeof(ul_xmlattr_t)))
                      : nullptr;
    if (!array) {
        free(nameCopy);
        free(valueCopy);
        return UL_ERROR_RETURN(-1);
    }
    array[node->attributeCount] = {nameCopy, valueCopy};
    node->attributes = array;
    ++node->attributeCount;
    return 0;
}

int ul_xmldelattribute(ul_xmlnode_t* node, const char16_t* name) {
    if (!findAttribute(node, name, 0)) return 0;
    if (ownAttributes(node) < 0) return UL_ERROR_RETURN(-1);
    ul_xmlattr_t* attr = findAttribute(node, name, 0);
    free(attr->name);
    free(attr->value);
    ul_xmlattr_t* end = node->attributes + node->attributeCount;
    memmove(attr, attr + 1, static_cast<size_t>(end - attr - 1) * sizeof(ul_xmlattr_t));
    --node->attributeCount;
    return 1;
}

void ul_xmladdtail(ul_xmlnode_t** list, ul_xmlnode_t* nodes) {
    while (*list) list = &(*list)->next;
    *list = nodes;
}

ul_xmlnode_t* ul_xmlreplacenode(ul_xmlnode_t** link, ul_xmlnode_t* nodes) {
    ul_xmlnode_t* old = *link;
    if (!old) {
        *link = nodes;
        return nullptr;
    }
    if (nodes) {
        lastSibling(nodes)->next = old->next;
        *link = nodes;
    } else {
        *link = old->next;
    }
    old->next = nullptr;
    return old;
}

int ul_xmlsubstchild(ul_xmlnode_t* parent, ul_xmlnode_t* old, ul_xmlnode_t* nodes) {
    ul_xmlnode_t** link = &parent->children;
    while (*link && *link != old) link = &(*link)->next;
    if (!*link || !old) {
        ul_errorsetmsgfmt(0, u"Node '%s' is not a child of '%s'", old ? old->name : u"(null)",
                          parent->name);
        return UL_ERROR_RETURN(-1);
    }
    ul_xmlfreenode(ul_xmlreplacenode(link, nodes));
    return 0;
}

namespace {

bool mergeable(const ul_xmlnode_t* a, const ul_xmlnode_t* b) {
    return ul_xmliscontent(a) && ul_xmliscontent(b) &&
           (a->flags & UL_XMLNODE_RAW) == (b->flags & UL_XMLNODE_RAW);
}

}  // namespace

int ul_xmlmergecontent(ul_xmlnode_t* parent) {
    int removed = 0;
    for (ul_xmlnode_t* node = parent ? parent->children : nullptr; node; node = node->next) {
        if (!mergeable(node, node->next)) continue;
        size_t length = 0;
        ul_xmlnode_t* end = node;  // last node of the run
        for (ul_xmlnode_t* n = node; n && (n == node || mergeable(node, n)); n = n->next) {
            length += ul_strlen(n->name);
            end = n;
        }
        auto* text = static_cast<char16_t*>(ul_malloc((length + 1) * sizeof(char16_t)));
        if (!text) return UL_ERROR_RETURN(-1);
        size_t pos = 0;
        for (ul_xmlnode_t* n = node;; n = n->next) {
            size_t len = ul_strlen(n->name);
            memcpy(text + pos, n->name, len * sizeof(char16_t));
            pos += len;
            if (n == end) break;
        }
        text[pos] = 0;
        if (!(node->flags & UL_XMLNODE_BORROWED_NAME)) free(node->name);
        node->name = text;
        node->flags &= ~UL_XMLNODE_BORROWED_NAME;
        ul_xmlnode_t* const stop = end->next;
        while (node->next != stop) {
            ul_xmlnode_t* gone = node->next;
            node->next = gone->next;
            gone->next = nullptr;
            ul_xmlfreenode(gone);
            ++removed;
        }
    }
    return removed;
}

// ==== Querying ==============================================================================

ul_xmlnode_t* ul_xmlnextnode(const ul_xmlnode_t* node) {
    for (node = node ? node->next : nullptr; node; node = node->next) {
        if (!ul_xmliscontent(node)) return const_cast<ul_xmlnode_t*>(node);
    }
    return nullptr;
}

ul_xmlnode_t* ul_xmlchildren(const ul_xmlnode_t* node) {
    ul_xmlnode_t* child = node ? node->children : nullptr;
    return child && ul_xmliscontent(child) ? ul_xmlnextnode(child) : child;
}

int ul_xmlcountchildren(const ul_xmlnode_t* node) {
    int count = 0;
    for (ul_xmlnode_t* child = ul_xmlchildren(node); child; child = ul_xmlnextnode(child)) ++count;
    return count;
}

const char16_t* ul_xmlgetattribute_noalloc(const ul_xmlnode_t* node, const char16_t* name,
                                           int flags) {
    const ul_xmlattr_t* attr = findAttribute(node, name, flags);
    if (!attr) {
        if (!(flags & UL_XMLATTR_QUIET))
            ul_errorsetmsgfmt(0, u"Attribute '%s' not found in tag '%s'", name,
                              node ? node->name : u"");
        return UL_ERROR_RETURN(nullptr);
    }
    if (!attr->value) {
        if (!(flags & UL_XMLATTR_QUIET))
            ul_errorsetmsgfmt(0, u"Missing attribute value '%s'", name);
        return UL_ERROR_RETURN(nullptr);
    }
    return attr->value;
}

char16_t* ul_xmlgetattribute_alloc(const ul_xmlnode_t* node, const char16_t* name, int flags) {
    const char16_t* value = ul_xmlgetattribute_noalloc(node, name, flags);
    return value ? dupString(value) : nullptr;
}

int ul_xmlgetboolattr(const ul_xmlnode_t* node, const char16_t* name, int defaultValue) {
    const ul_xmlattr_t* attr = findAttribute(node, name, 0);
    if (!attr) {
        if (defaultValue != -1) return defaultValue;
        ul_errorsetmsgfmt(0, u"Attribute '%s' not found in tag '%s'", name,
                          node ? node->name : u"");
        return UL_ERROR_RETURN(-1);
    }
    if (!attr->value || !*attr->value) {
        ul_errorsetmsgfmt(0, u"Empty attribute '%s'", name);
        return UL_ERROR_RETURN(-1);
    }
    int value = ul_string2boolean(attr->value, UL_BOOLEAN_QUIET);
    if (value < 0) {
        ul_errorsetmsgfmt(0, u"Invalid value for attribute '%s'", name);
        return UL_ERROR_RETURN(-1);
    }
    return value;
}

int ul_xmlgetcontent(const ul_xmlnode_t* node, char16_t* buffer, size_t size) {
    size_t length = 0;
    for (const ul_xmlnode_t* c = node ? node->children : nullptr; c; c = c->next) {
        if (ul_xmliscontent(c)) length += ul_strlen(c->name);
    }
    if (length + 1 > size) {
        if (size) buffer[0] = 0;
        ul_errorsetmsgfmt(0, u"Array too small for XML content (%d)", static_cast<int>(length + 1));
        return UL_ERROR_RETURN(-1);
    }
    buffer[0] = 0;
    for (const ul_xmlnode_t* c = node ? node->children : nullptr; c; c = c->next) {
        if (ul_xmliscontent(c)) ul_strlcat(buffer, c->name, size);
    }
    return static_cast<int>(length);
}

const char16_t* ul_xmlgetcontent0(const ul_xmlnode_t* node) {
    for (const ul_xmlnode_t* c = node ? node->children : nullptr; c; c = c->next) {
        if (ul_xmliscontent(c)) return c->name;
    }
    return nullptr;
}

namespace {

// One component of a node path: a name that is not zero-terminated.
struct PathPart {
    const char16_t* name;
    size_t length;

    bool matches(const ul_xmlnode_t* node) const {
        return ul_xmlistag(node) && ul_strncmp(node->name, name, length) == 0 &&
               node->name[length] == 0;
    }
};

// The first tag in the sibling list that matches the path components from index on.
const ul_xmlnode_t* findPath(const ul_xmlnode_t* list, const PathPart* parts, size_t count,
                             size_t index) {
    for (const ul_xmlnode_t* node = list; node; node = node->next) {
        if (!parts[index].matches(node)) continue;
        if (index + 1 == count) return node;
        if (const ul_xmlnode_t* found = findPath(node->children, parts, count, index + 1))
            return found;
    }
    return nullptr;
}

}  // namespace

int ul_xmlfindnodepath(const ul_xmlnode_t* tree, const char16_t* path, ul_xmlnode_t** result) {
    *result = nullptr;
    bool fromTree = path && *path == u'/';
    PathPart parts[UL_XML_MAXDEPTH + 1];
    size_t count = 0;
    bool valid = path && *path;
    for (const char16_t* p = fromTree ? path + 1 : path; valid && p;) {
        const char16_t* slash = ul_strchr(p, u'/');
        size_t length = slash ? static_cast<size_t>(slash - p) : ul_strlen(p);
        valid = length > 0 && count <= UL_XML_MAXDEPTH;
        if (valid) parts[count++] = {p, length};
        p = slash ? slash + 1 : nullptr;
    }
    if (!valid) {
        ul_errorsetmsgfmt(0, u"Invalid XML node path '%s'", path ? path : u"");
        return UL_ERROR_RETURN(-1);
    }
    const ul_xmlnode_t* found = nullptr;
    if (!fromTree) {
        found = tree ? findPath(tree->children, parts, count, 0) : nullptr;
    } else if (parts[0].matches(tree)) {
        // Only the tree itself may match the first component, not its siblings.
        found = count == 1 ? tree : findPath(tree->children, parts, count, 1);
    }
    *result = const_cast<ul_xmlnode_t*>(found);
    return found ? 1 : 0;
}

long ul_xmlnodegetsize(const ul_xmlnode_t* node) {
    if (!node) return 0;
    long size = sizeof(ul_xmlnode_t) + 2 * (static_cast<long>(ul_strlen(node->name)) + 1);
    size += static_cast<long>(node->attributeCount * sizeof(ul_xmlattr_t));
    for (unsigned i = 0; i < node->attributeCount; ++i) {
        size += 2 * (static_cast<long>(ul_strlen(node->attributes[i].name)) + 1);
        if (node->attributes[i].value)
            size += 2 * (static_cast<long>(ul_strlen(node->attributes[i].value)) + 1);
    }
    for (const ul_xmlnode_t* child = node->children; child; child = child->next)
        size += ul_xmlnodegetsize(child);
    return size;
}

int ul_xmlchecknode(const ul_xmlnode_t* node, FILE* file) {
    int runs = 0;
    for (const ul_xmlnode_t* child = node ? node->children : nullptr; child; child = child->next) {
        if (ul_xmliscontent(child) && ul_xmliscontent(child->next)) {
            ++runs;
            if (file) fputs("Adjacent content nodes found:\n", file);
            for (; ul_xmliscontent(child->next); child = child->next) {
                if (file) fprintf(file, "'%s'\n", ul_utf16to8(child->name).c_str());
            }
            if (file) fprintf(file, "'%s'\n", ul_utf16to8(child->name).c_str());
        }
        if (ul_xmlistag(child)) runs += ul_xmlchecknode(child, file);
    }
    return runs;
}

// ==== Walking ===============================================================================

namespace {

int walkList(ul_xmlnode_t** link, ul_xmlnode_t* parent, int depth, ULXMLTreeWalker* walker) {
    if (*link && depth > UL_XML_MAXDEPTH) {
        ul_errorsetmsg(0, u"XML elements too deeply nested");
        return UL_ERROR_RETURN(-1);
    }
    bool merge = false;
    while (*link) {
        int result = walker->handleNode(depth, link, parent);
        if (result < 0) return UL_ERROR_RETURN(-1);
        if (result & UL_XMLWALK_MERGE) merge = true;
        if (result & UL_XMLWALK_REPLACED) continue;
        ul_xmlnode_t* node = *link;
        if (!node) break;
        if (!(result & (UL_XMLWALK_SKIP | UL_XMLWALK_NOCHILDREN)) && ul_xmlistag(node)) {
            if (walkList(&node->children, node, depth + 1, walker) < 0 ||
                walker->leaveNode(depth, node) < 0)
                return UL_ERROR_RETURN(-1);
        }
        link = &node->next;
    }
    if (merge && parent && ul_xmlmergecontent(parent) < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

}  // namespace

int ul_xmlwalktree(ul_xmlnode_t** tree, ULXMLTreeWalker* walker) {
    return walkList(tree, nullptr, 1, walker) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// ==== Checksum ==============================================================================

namespace {

void crcString(unsigned* crc, const char16_t* text, size_t length, std::string& scratch) {
    if (!text || !length) return;
    scratch.clear();
    ul_utf16to8append(scratch, text, length);
    *crc = ul_crccalc(*crc, reinterpret_cast<const unsigned char*>(scratch.data()), scratch.size());
}

void crcNode(const ul_xmlnode_t* node, unsigned* crc, int flags, std::string& scratch) {
    const char16_t* text = node->name ? node->name : u"";
    if (ul_xmliscontent(node)) {
        size_t length = ul_strlen(text);
        if (flags & UL_XMLCRC_TRIM) {
            while (length && ul_isspace(text[length - 1])) --length;
            while (length && ul_isspace(*text)) ++text, --length;
        }
        crcString(crc, text, length, scratch);
        return;
    }
    crcString(crc, text, ul_strlen(text), scratch);
    // The attributes in ascending order of name, by repeatedly taking the smallest name
    // above the previous one; attribute names within a tag are unique.
    const ul_xmlattr_t* previous = nullptr;
    for (unsigned taken = 0; taken < node->attributeCount; ++taken) {
        const ul_xmlattr_t* next = nullptr;
        for (unsigned i = 0; i < node->attributeCount; ++i) {
            const ul_xmlattr_t* a = &node->attributes[i];
            if (previous && ul_strcmp(a->name, previous->name) <= 0) continue;
            if (!next || ul_strcmp(a->name, next->name) < 0) next = a;
        }
        if (!next) break;
        crcString(crc, next->name, ul_strlen(next->name), scratch);
        crcString(crc, next->value, ul_strlen(next->value), scratch);
        previous = next;
    }
    for (const ul_xmlnode_t* child = node->children; child; child = child->next)
        crcNode(child, crc, flags, scratch);
}

constexpr const char16_t* kCrcAttribute = u"crcvalue";

// The stored checksum: 1 to 8 hexadecimal digits.
bool parseHex(const char16_t* text, unsigned* value) {
    size_t length = ul_strlen(text);
    if (length == 0 || length > 8) return false;
    unsigned v = 0;
    for (size_t i = 0; i < length; ++i) {
        char16_t c = text[i];
        int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                    : c >= u'a' && c <= u'f' ? c - u'a' + 10
                    : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                             : -1;
        if (digit < 0) return false;
        v = v << 4 | static_cast<unsigned>(digit);
    }
    *value = v;
    return true;
}

}  // namespace

int ul_xmlcrccalc(const ul_xmlnode_t* node, unsigned* crc, int flags) {
    if (!node) return 0;
    return ul_guarded([&] {
        std::string scratch;
        crcNode(node, crc, flags, scratch);
        return 0;
    });
}

int ul_xmlvalidate(ul_xmlnode_t* node, int flags) {
    if (!ul_xmlistag(node)) return 0;
    const char16_t* storedText = ul_xmlgetattribute_noalloc(node, kCrcAttribute, UL_XMLATTR_QUIET);
    const bool hadAttribute = storedText != nullptr;
    unsigned stored = 0;
    bool present = storedText && parseHex(storedText, &stored);
    if (ul_xmldelattribute(node, kCrcAttribute) < 0) return UL_ERROR_RETURN(-1);
    unsigned crc = UL_CRC_INIT;
    if (ul_xmlcrccalc(node, &crc, UL_XMLCRC_TRIM) < 0) return UL_ERROR_RETURN(-1);
    UL_TRACE(UL_TRC_XML, 3, u"Checksum of <%s> is %x, stored %x.\n", node->name, crc, stored);
    int valid = present && stored == crc ? 1 : 0;
    if (flags & UL_XMLVALIDATE_UPDATE) {
        char16_t hex[16];
        ul_sprintf(hex, 16, u"%x", crc);
        if (ul_xmladdattribute2(node, kCrcAttribute, hex, 0) < 0) return UL_ERROR_RETURN(-1);
        if (!hadAttribute) valid = crc == 0 ? 1 : 0;
    }
    return valid;
}

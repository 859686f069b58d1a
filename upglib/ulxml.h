// XML trees: the node type that the reader (ulxmli.h) builds, the operations that change and
// query trees, the tree walker, and the checksum that guards the tool's own XML files against
// editing. Reading checked files and expanding their include elements needs the reader and the
// processor, so it lives above both, in ulxmlp.h.
//
// A tree is a top-level tag node whose children form a singly linked list through `next`;
// tag and content children are mixed in document order. Every node is one heap block. A node
// owns its name or text, its attribute array with the attribute strings, and its children,
// unless its flags mark them as borrowed. Nothing here throws; failures return -1 or null
// with the reason in the error buffer.
#pragma once

#include <cstddef>
#include <cstdio>

// Nodes deeper than this (the top-level tag counts as level 1) are refused by the reader and
// the walker: "XML elements too deeply nested".
constexpr int UL_XML_MAXDEPTH = 200;

// Bits of ul_xmlnode_t::flags.
enum : unsigned {
    UL_XMLNODE_TYPEMASK = 7,
    UL_XMLNODE_TAG = 1,                  // an element: name is the tag name
    UL_XMLNODE_CONTENT = 2,              // text: name is the text
    UL_XMLNODE_BORROWED_NAME = 8,        // name is not freed with the node
    UL_XMLNODE_BORROWED_ATTRSTRS = 16,   // the attribute strings are not freed with the node
    UL_XMLNODE_BORROWED_ATTRARRAY = 32,  // the attribute array is not freed with the node
    UL_XMLNODE_RAW = 64,                 // content that is markup already (not to be escaped)
};

// One attribute; value is null for an attribute written without "=".
struct ul_xmlattr_t {
    char16_t* name;
    char16_t* value;
};

struct ul_xmlnode_t {
    ul_xmlnode_t* next;        // next sibling
    unsigned flags;            // UL_XMLNODE_*
    char16_t* name;            // tag name, or the text of a content node
    ul_xmlattr_t* attributes;  // attributeCount pairs in document order
    unsigned attributeCount;
    ul_xmlnode_t* children;  // first child
};

inline bool ul_xmlistag(const ul_xmlnode_t* node) {
    return node && (node->flags & UL_XMLNODE_TYPEMASK) == UL_XMLNODE_TAG;
}
inline bool ul_xmliscontent(const ul_xmlnode_t* node) {
    return node && (node->flags & UL_XMLNODE_TYPEMASK) == UL_XMLNODE_CONTENT;
}

// ---- creating and freeing ---------------------------------------------------------------

// A new node without siblings, children or attributes. flags holds the type (UL_XMLNODE_TAG
// or UL_XMLNODE_CONTENT) and optionally UL_XMLNODE_BORROWED_NAME (name is then stored as
// given, else copied) and UL_XMLNODE_RAW. Null on out of memory.
ul_xmlnode_t* ul_xmlnewnode(unsigned flags, const char16_t* name);

// Frees the node with its attributes and children, not its siblings (node->next is ignored).
// A null node is accepted.
void ul_xmlfreenode(ul_xmlnode_t* node);
// Frees the node and all its following siblings.
void ul_xmlfreelist(ul_xmlnode_t* node);

// A copy of the node (without its siblings); with deep also of its subtree. The copy owns all
// its strings, whatever the original borrowed. Null on out of memory.
ul_xmlnode_t* ul_xmlcopynode(const ul_xmlnode_t* node, bool deep);

// ---- changing trees ---------------------------------------------------------------------

enum : int {
    // ul_xmladdattribute2: fail with "Duplicate attribute '%s' in tag <%s>" when the node
    // has the attribute already, instead of replacing its value.
    UL_XMLADDATTR_NOREPLACE = 1,
};

// Gives the node an attribute: replaces the value of an existing attribute of that name or
// appends one. name and value are copied; value may be null (an attribute without value).
// Borrowed attributes are copied first, so that the node owns all of them afterwards.
// Returns 0 or -1.
[[nodiscard]] int ul_xmladdattribute2(ul_xmlnode_t* node, const char16_t* name,
                                      const char16_t* value, int flags);

// Removes the attribute of that name. Returns 1 when it was there, 0 when not, -1 on out of
// memory (borrowed attributes are copied first).
[[nodiscard]] int ul_xmldelattribute(ul_xmlnode_t* node, const char16_t* name);

// Appends the sibling list nodes to the end of the sibling list *list (which may be empty).
void ul_xmladdtail(ul_xmlnode_t** list, ul_xmlnode_t* nodes);
// Appends the sibling list nodes to the children of parent.
inline void ul_xmladdchild(ul_xmlnode_t* parent, ul_xmlnode_t* nodes) {
    ul_xmladdtail(&parent->children, nodes);
}

// Puts the sibling list nodes (null: nothing) in place of the node that *link points to;
// link is the address of a parent's children field, of a node's next field, or of a root
// pointer. Returns the node that was there, unlinked (next is null), for the caller to free
// or reuse; *link then points to the first new node or, when nodes is null, to the old
// node's next sibling.
ul_xmlnode_t* ul_xmlreplacenode(ul_xmlnode_t** link, ul_xmlnode_t* nodes);

// Replaces the child old of parent by the sibling list nodes (null: removes old) and frees
// old with its subtree (detach the children first to keep them). Returns 0, or -1 with
// "Node '%s' is not a child of '%s'".
[[nodiscard]] int ul_xmlsubstchild(ul_xmlnode_t* parent, ul_xmlnode_t* old, ul_xmlnode_t* nodes);

// Merges every run of adjacent content children of parent into one node (runs of raw and of
// plain content are merged separately). Returns the number of nodes removed, or -1.
[[nodiscard]] int ul_xmlmergecontent(ul_xmlnode_t* parent);

// ---- querying ---------------------------------------------------------------------------

// The first tag child of node, and the next tag sibling of node; null when there is none.
// Content nodes are passed over.
ul_xmlnode_t* ul_xmlchildren(const ul_xmlnode_t* node);
ul_xmlnode_t* ul_xmlnextnode(const ul_xmlnode_t* node);
// Number of tag children.
[[nodiscard]] int ul_xmlcountchildren(const ul_xmlnode_t* node);

enum : int {
    UL_XMLATTR_IGNORECASE = 1,  // compare attribute names ignoring case
    UL_XMLATTR_QUIET = 2,       // no message for a missing attribute or value
};

// The value of the attribute name, or null: "Attribute '%s' not found in tag '%s'" when the
// tag has no such attribute, "Missing attribute value '%s'" when it has one without value.
const char16_t* ul_xmlgetattribute_noalloc(const ul_xmlnode_t* node, const char16_t* name,
                                           int flags);
// The same as a heap copy (free() it), or null (also on out of memory).
char16_t* ul_xmlgetattribute_alloc(const ul_xmlnode_t* node, const char16_t* name, int flags);

// The attribute as a boolean (yes/true/on/ok, no/false/off/bad, or a number; ulstring2.h):
// 1 or 0. A missing attribute gives defaultValue, or fails when defaultValue is -1 ("Attribute
// '%s' not found in tag '%s'"); other failures: "Empty attribute '%s'" (no or empty value),
// "Invalid value for attribute '%s'". Returns -1 on failure.
[[nodiscard]] int ul_xmlgetboolattr(const ul_xmlnode_t* node, const char16_t* name,
                                    int defaultValue);

// Concatenates the texts of the content children of node into buffer (capacity size code
// units). Returns the length, or -1 with "Array too small for XML content (%d)" (the capacity
// needed); buffer then holds "".
[[nodiscard]] int ul_xmlgetcontent(const ul_xmlnode_t* node, char16_t* buffer, size_t size);
// The text of the first content child, or null.
const char16_t* ul_xmlgetcontent0(const ul_xmlnode_t* node);

// Finds the first tag, in document order, reached from tree by a slash-separated path of tag
// names: "a/b" is a child b of a child a of tree; a leading "/" names tree itself first
// ("/top/a"). Returns 1 with *result set, 0 when no node matches (*result null), or -1 with
// "Invalid XML node path '%s'" for an empty path or component.
[[nodiscard]] int ul_xmlfindnodepath(const ul_xmlnode_t* tree, const char16_t* path,
                                     ul_xmlnode_t** result);

// Estimated memory in bytes of the node with its attributes and subtree (not its siblings).
[[nodiscard]] long ul_xmlnodegetsize(const ul_xmlnode_t* node);

// Reports every run of adjacent content children in the subtree of node to file (which may
// be null: count only): "Adjacent content nodes found:\n" and then each text of the run on a
// line of its own. Returns the number of runs found.
[[nodiscard]] int ul_xmlchecknode(const ul_xmlnode_t* node, FILE* file);

// ---- walking ----------------------------------------------------------------------------

// Result bits of ULXMLTreeWalker::handleNode; -1 stops the walk with an error.
enum : int {
    // The handler put other nodes (or none) in place of *node: handleNode is called again
    // for the node now at this place.
    UL_XMLWALK_REPLACED = 1,
    // The handler has dealt with the node now at this place: it is neither handled nor
    // descended into, and the walk goes on with its next sibling.
    UL_XMLWALK_SKIP = 2,
    // Do not descend into the node's children.
    UL_XMLWALK_NOCHILDREN = 4,
    // Merge adjacent content children of parent when the walk leaves it.
    UL_XMLWALK_MERGE = 16,
};

class ULXMLTreeWalker {
  public:
    virtual ~ULXMLTreeWalker() = default;
    // Called for every node, depth first, in document order. depth is 1 for the nodes of the
    // list the walk starts with; node is the link that holds the node (the parent's children
    // field, the previous sibling's next field, or the caller's root pointer), so a handler
    // replaces the node by writing through it (ul_xmlreplacenode). parent is null at depth 1.
    // Returns UL_XMLWALK_* bits, or -1 (error buffer set).
    [[nodiscard]] virtual int handleNode(int depth, ul_xmlnode_t** node, ul_xmlnode_t* parent) = 0;
    // Called after the children of node were walked (only for nodes the walk descended into).
    // Returns 0, or -1 to stop with an error.
    [[nodiscard]] virtual int leaveNode(int depth, ul_xmlnode_t* node) {
        (void)depth;
        (void)node;
        return 0;
    }
};

// Walks the sibling list *tree and everything below it. Nodes deeper than UL_XML_MAXDEPTH
// stop the walk with "XML elements too deeply nested". Returns 0 or -1.
[[nodiscard]] int ul_xmlwalktree(ul_xmlnode_t** tree, ULXMLTreeWalker* walker);

// ---- checksum ---------------------------------------------------------------------------

enum : int {
    UL_XMLCRC_TRIM = 2,  // leave out leading and trailing white space of content texts
};

// Feeds the node and its subtree (not its siblings) into the CRC register *crc (ulcrc.h): a
// content node's text; a tag's name, then its attributes in ascending code-unit order of
// name, each name then value, then its children in order. Strings are fed as UTF-8; a missing
// value adds nothing. Returns 0, or -1 on out of memory.
[[nodiscard]] int ul_xmlcrccalc(const ul_xmlnode_t* node, unsigned* crc, int flags);

enum : int {
    UL_XMLVALIDATE_UPDATE = 1,  // store the checksum computed in the "crcvalue" attribute
};

// Checks the top-level attribute "crcvalue" (hexadecimal) against the checksum of the tree
// without it (register preset UL_CRC_INIT, UL_XMLCRC_TRIM). The attribute is removed first;
// with UL_XMLVALIDATE_UPDATE it is then set to the computed value ("%x"). Returns 1 when the
// stored value was present and right, 0 when not, -1 on out of memory.
[[nodiscard]] int ul_xmlvalidate(ul_xmlnode_t* node, int flags);

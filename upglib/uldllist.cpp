#include "uldllist.h"

#include <cstdlib>
#include <cstring>

#include "ulerror.h"
#include "ulstring.h"

namespace {

// Payload limit of ul_getset_simple_string when no context gives one.
constexpr int DEFAULT_STRING_LIMIT = 256;
// Longest word that ul_string2dlllist accepts, terminator included.
constexpr size_t MAX_WORD = 16384;

void insertAfter(ul_dllistnode_t* before, ul_dllistnode_t* node) {
    node->next = before->next;
    node->prev = before;
    before->next->prev = node;
    before->next = node;
}

// Merges two null-terminated chains; on ties the element of a comes first.
ul_dllistnode_t* mergeRuns(ul_dllistnode_t* a, ul_dllistnode_t* b, ULDLListCompare* compare) {
    ul_dllistnode_t* first = nullptr;
    ul_dllistnode_t** link = &first;
    while (a && b) {
        ul_dllistnode_t** take = compare->compare(a, b) <= 0 ? &a : &b;
        *link = *take;
        link = &(*take)->next;
        *take = (*take)->next;
    }
    *link = a ? a : b;
    return first;
}

// Cuts the maximal non-descending run at the front of *chain off and returns it.
ul_dllistnode_t* takeRun(ul_dllistnode_t** chain, ULDLListCompare* compare) {
    ul_dllistnode_t* run = *chain;
    ul_dllistnode_t* last = run;
    while (last->next && compare->compare(last, last->next) <= 0) last = last->next;
    *chain = last->next;
    last->next = nullptr;
    return run;
}

// Removes the nodes behind `last` (the start sentinel for all) from the list again.
void dropNodesAfter(ul_dllist_t* list, ul_dllistnode_t* last) {
    while (list->tailpred != last) {
        ul_dllistnode_t* node = list->tailpred;
        ul_dllist_t::unlinkNode(node);
        ul_dllistfreenode2(nullptr, node);
    }
}

int getsetString(void* context, ul_dllistnode_t* node, char16_t* buffer, int length,
                 const char16_t* functionName) {
    int limit = context ? *static_cast<const int*>(context) : DEFAULT_STRING_LIMIT;
    if (!buffer) return node ? 0 : (limit + 1) * static_cast<int>(sizeof(char16_t));
    if (length < 0) {
        size_t actual = ul_strlen(buffer);
        if (actual >= static_cast<size_t>(limit)) {
            ul_errorsetmsgfmt(0, u"Internal error '%s': String too long %d > %d", functionName,
                              static_cast<int>(actual), limit - 1);
            return UL_ERROR_RETURN(-1);
        }
        memcpy(node->str(), buffer, (actual + 1) * sizeof(char16_t));
        return 0;
    }
    if (length > 0) ul_strlcpy(buffer, node->str(), static_cast<size_t>(length));
    return static_cast<int>(ul_strlen(node->str()));
}

}  // namespace

// ---- ul_dllist_t ------------------------------------------------------------------------

void ul_dllist_t::initList(ul_dllistgetset_f getsetFunction, void* context) {
    head = endSentinel();
    tail = nullptr;
    tailpred = startSentinel();
    getset = getsetFunction;
    getsetContext = context;
}

void ul_dllist_t::unlinkNode(ul_dllistnode_t* node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = nullptr;
    node->prev = nullptr;
}

void ul_dllist_t::addNode(ul_dllistnode_t* node, int position) {
    if (position >= 0) {
        ul_dllistnode_t* before = startSentinel();
        for (; position > 0 && before->next->next; --position) before = before->next;
        insertAfter(before, node);
        return;
    }
    ul_dllistnode_t* after = endSentinel();
    for (; position < -1 && after->prev->prev; ++position) after = after->prev;
    insertAfter(after->prev, node);
}

ul_dllistnode_t* ul_dllist_t::getNode(int index) {
    ul_dllistnode_t* node;
    if (index >= 0) {
        for (node = startSentinel()->next; node->next && index > 0; --index) node = node->next;
        return node->next ? node : nullptr;
    }
    for (node = endSentinel()->prev; node->prev && index < -1; ++index) node = node->prev;
    return node->prev ? node : nullptr;
}

void ul_dllist_t::deleteNode(int index, int flags) {
    ul_dllistnode_t* node = getNode(index);
    if (!node) return;
    unlinkNode(node);
    ul_dllistfreenode2((flags & 1) ? this : nullptr, node);
}

void ul_dllist_t::freeList(int flags) {
    ul_dllistnode_t* node = startSentinel()->next;
    while (node->next) {
        ul_dllistnode_t* next = node->next;
        ul_dllistfreenode2((flags & 1) ? this : nullptr, node);
        node = next;
    }
    initList(getset, getsetContext);
}

int ul_dllist_t::getCount() const {
    int count = 0;
    for (const ul_dllistnode_t* node = head; node->next; node = node->next) ++count;
    return count;
}

void ul_dllist_t::sort(ULDLListCompare* compare) {
    if (isEmpty()) return;
    struct Run {
        ul_dllistnode_t* chain;
        int level;
    };
    // Levels strictly decrease from bottom to top and a run of level L holds at least 2^L
    // nodes, so 64 entries cover any list that fits into memory.
    Run stack[64];
    int top = 0;
    ul_dllistnode_t* rest = head;
    tailpred->next = nullptr;
    while (rest) {
        Run run{takeRun(&rest, compare), 0};
        for (; top > 0 && stack[top - 1].level == run.level; --top, ++run.level)
            run.chain = mergeRuns(stack[top - 1].chain, run.chain, compare);
        stack[top++] = run;
    }
    ul_dllistnode_t* chain = stack[--top].chain;
    while (top > 0) chain = mergeRuns(stack[--top].chain, chain, compare);

    ul_dllistnode_t* before = startSentinel();
    for (ul_dllistnode_t* node = chain; node; before = node, node = node->next) {
        node->prev = before;
        before->next = node;
    }
    before->next = endSentinel();
    tailpred = before;
}

void ul_dllist_t::sort(int (*function)(void* context, const void* a, const void* b),
                       void* context) {
    ULDLListGenCompare compare(function, context);
    sort(&compare);
}

void ul_dllist_t::moveHead() {
    // In an empty list head and tailpred point at adjacent words of the old header; nodes are
    // separate heap blocks, so no non-empty list can look like that.
    bool wasEmpty = reinterpret_cast<char*>(head) ==
                    reinterpret_cast<char*>(tailpred) + sizeof(ul_dllistnode_t*);
    if (wasEmpty) {
        initList(getset, getsetContext);
        return;
    }
    tail = nullptr;
    head->prev = startSentinel();
    tailpred->next = endSentinel();
}

// ---- ul_dllistiter_t --------------------------------------------------------------------

ul_dllistnode_t* ul_dllistiter_t::next() {
    ul_dllistnode_t* node = current ? current->next : list->head;
    if (!node) return nullptr;
    current = node;
    return node->next ? node : nullptr;
}

ul_dllistnode_t* ul_dllistiter_t::prev() {
    ul_dllistnode_t* node = current ? current->prev : list->tailpred;
    if (!node) return nullptr;
    current = node;
    return node->prev ? node : nullptr;
}

// ---- Nodes ------------------------------------------------------------------------------

ul_dllistnode_t* ul_dllistcreatenode(const void* data, size_t size) {
    if (size > SIZE_MAX - sizeof(ul_dllistnode_t)) {
        ul_erroroutofmemory();
        return UL_ERROR_RETURN(nullptr);
    }
    auto* node = static_cast<ul_dllistnode_t*>(ul_malloc(sizeof(ul_dllistnode_t) + size));
    if (!node) return UL_ERROR_RETURN(nullptr);
    node->next = nullptr;
    node->prev = nullptr;
    if (data)
        memcpy(node->data(), data, size);
    else
        memset(node->data(), 0, size);
    return node;
}

ul_dllistnode_t* ul_dllistresizenode(ul_dllistnode_t* node, size_t size) {
    if (size > SIZE_MAX - sizeof(ul_dllistnode_t)) {
        ul_erroroutofmemory();
        return UL_ERROR_RETURN(nullptr);
    }
    auto* moved = static_cast<ul_dllistnode_t*>(ul_realloc(node, sizeof(ul_dllistnode_t) + size));
    if (!moved) return UL_ERROR_RETURN(nullptr);
    // Only the neighbours still point at the old address; the pointers themselves are not
    // read through, so this is safe even though the old block is gone.
    if (moved->next) {
        moved->next->prev = moved;
        moved->prev->next = moved;
    }
    return moved;
}

ul_dllistnode_t* ul_dllistcreatestrnode(const char16_t* string) {
    size_t length = ul_strlen(string);
    ul_dllistnode_t* node = ul_dllistcreatenode(nullptr, (length + 1) * sizeof(char16_t));
    if (!node) return UL_ERROR_RETURN(nullptr);
    if (length) memcpy(node->str(), string, length * sizeof(char16_t));
    return node;
}

ul_dllistnode_t* ul_dllistcreateaddstrnode(ul_dllist_t* list, const char16_t* string,
                                           int position) {
    ul_dllistnode_t* node = ul_dllistcreatestrnode(string);
    if (!node) return UL_ERROR_RETURN(nullptr);
    list->addNode(node, position);
    return node;
}

ul_dllistnode_t* ul_dllistcreateaddstrnoden(ul_dllist_t* list, const char16_t* string, size_t n,
                                            int position) {
    if (n >= SIZE_MAX / sizeof(char16_t)) {
        ul_erroroutofmemory();
        return UL_ERROR_RETURN(nullptr);
    }
    ul_dllistnode_t* node = ul_dllistcreatenode(nullptr, (n + 1) * sizeof(char16_t));
    if (!node) return UL_ERROR_RETURN(nullptr);
    char16_t* payload = node->str();
    for (size_t i = 0; i < n && string && string[i]; ++i) payload[i] = string[i];
    list->addNode(node, position);
    return node;
}

void ul_dllistfreenode2(ul_dllist_t* list, ul_dllistnode_t* node) {
    if (list && list->getset) list->getset(list->getsetContext, node, nullptr, -1, nullptr);
    free(node);
}

long ul_dllistgetstrlistsize(ul_dllist_t* list) {
    long size = 0;
    for (ul_dllistnode_t* node = list->head; node->next; node = node->next)
        size += 2 * static_cast<long>(ul_strlen(node->str())) + 18;
    return size;
}

int ul_dllistcopystrnodes(ul_dllist_t* destination, ul_dllist_t* source) {
    ul_dllistnode_t* lastBefore = destination->tailpred;
    int count = 0;
    for (ul_dllistnode_t* node = source->head; node->next; node = node->next, ++count) {
        if (!ul_dllistcreateaddstrnode(destination, node->str(), -1)) {
            dropNodesAfter(destination, lastBefore);
            return UL_ERROR_RETURN(-1);
        }
    }
    return count;
}

int ul_string2dlllist(ul_dllist_t* list, const char16_t* text, char16_t separator) {
    auto* word = static_cast<char16_t*>(ul_malloc(MAX_WORD * sizeof(char16_t)));
    if (!word) return UL_ERROR_RETURN(-1);
    ul_dllistnode_t* lastBefore = list->tailpred;
    int count = 0;
    int rc;
    while ((rc = ul_stringexpwordlist(&text, separator, word, MAX_WORD, 0)) == 1) {
        ul_stringtrimtail(word);
        if (!ul_dllistcreateaddstrnode(list, word, -1)) {
            rc = -1;
            break;
        }
        ++count;
    }
    free(word);
    if (rc < 0) {
        dropNodesAfter(list, lastBefore);
        return UL_ERROR_RETURN(-1);
    }
    return count;
}

// ---- Payload accessors --------------------------------------------------------------------

int ul_getset_simple_string(void* context, ul_dllistnode_t* node, char16_t* buffer, int length,
                            const char16_t* fieldName) {
    if (fieldName) {
        ul_errorsetmsgfmt(0, u"Illegal field name '%s'", fieldName);
        return UL_ERROR_RETURN(-1);
    }
    return getsetString(context, node, buffer, length, u"ul_getset_simple_string");
}

int ul_getset_extended_string(void* context, ul_dllistnode_t* node, char16_t* buffer, int length,
                              const char16_t*) {
    return getsetString(context, node, buffer, length, u"ul_getset_extended_string");
}

int ULDLListNode::setField(void*, const char16_t* name, const char16_t*) {
    ul_errorsetmsgfmt(0, u"Illegal field name '%s'", name);
    return UL_ERROR_RETURN(-1);
}

int ULDLListNode::getField(void*, const char16_t* name, char16_t*, int) {
    ul_errorsetmsgfmt(0, u"Illegal field name '%s'", name);
    return UL_ERROR_RETURN(-1);
}

int ul_getset_generic(void* context, ul_dllistnode_t* node, char16_t* buffer, int length,
                      const char16_t* fieldName) {
    if (!node) return 0;
    auto* object = static_cast<ULDLListNode*>(node->data());
    if (!buffer && !fieldName) {
        if (length == -1) object->~ULDLListNode();
        return 0;
    }
    if (length < 0) return object->setField(context, fieldName, buffer);
    return object->getField(context, fieldName, buffer, length);
}

// ---- ULDLListBase -----------------------------------------------------------------------

ul_dllistnode_t* ULDLListBase::createNode(int position) {
    ul_dllistnode_t* node = allocateNode();
    if (!node) return UL_ERROR_RETURN(nullptr);
    m_list.addNode(node, position);
    return node;
}

void ULDLListBase::deleteNode(int index) {
    ul_dllistnode_t* node = m_list.getNode(index);
    if (!node) return;
    ul_dllist_t::unlinkNode(node);
    freeNode(node);
}

void ULDLListBase::freeList() {
    while (!m_list.isEmpty()) {
        ul_dllistnode_t* node = m_list.head;
        ul_dllist_t::unlinkNode(node);
        if (m_ownsNodes) freeNode(node);
    }
}

// Doubly linked lists with a sentinel header, their sort, and the object form ULDLList<T>.
//
// The header doubles as two sentinel nodes: (head, tail) is the start sentinel and
// (tail, tailpred) the end sentinel, because tail is always null. Linking and unlinking
// therefore never test for the list ends, and a node alone tells where it stands: a null next
// marks the end sentinel, a null prev the start sentinel. Nodes are single heap blocks
// (malloc) holding the two links and then the payload. Nothing here throws; failures return
// -1 or null with the reason in the error buffer.
#pragma once

#include <cstddef>
#include <new>

// The header words are read and written both as list fields and as sentinel node links, so
// the compiler must not assume that the two struct types never share storage.
#define UL_DLLIST_ALIASED __attribute__((__may_alias__))

// A list node; the payload follows the two links directly.
struct UL_DLLIST_ALIASED ul_dllistnode_t {
    ul_dllistnode_t* next;
    ul_dllistnode_t* prev;

    void* data() { return this + 1; }
    const void* data() const { return this + 1; }
    // The payload of a string node.
    char16_t* str() { return static_cast<char16_t*>(data()); }
    const char16_t* str() const { return static_cast<const char16_t*>(data()); }
};

// Field accessor for node payloads: (context, node, buffer, length, field name).
// - buffer and field name null: returns the payload size to allocate (null node) or 0
//   (non-null node); with a node and length -1 this is the release notice sent before the
//   node is freed, so the payload can release what it holds.
// - length < 0: sets the payload (or the named field) from the buffer.
// - length >= 0: copies the payload (or the named field) into the buffer of that many
//   code units.
// Returns -1 with the error buffer set on failure.
using ul_dllistgetset_f = int (*)(void* context, ul_dllistnode_t* node, char16_t* buffer,
                                  int length, const char16_t* fieldName);

class ULDLListCompare;

struct UL_DLLIST_ALIASED ul_dllist_t {
    ul_dllistnode_t* head;      // first node, or the end sentinel (&tail) when empty
    ul_dllistnode_t* tail;      // always null
    ul_dllistnode_t* tailpred;  // last node, or the start sentinel (this) when empty
    ul_dllistgetset_f getset;   // optional payload accessor, also notified before frees
    void* getsetContext;        // handed to getset unchanged

    ul_dllist_t() { initList(); }

    // Makes the list empty without freeing anything; sets the payload accessor.
    void initList(ul_dllistgetset_f getsetFunction = nullptr, void* context = nullptr);

    bool isEmpty() const { return tailpred == startSentinel(); }
    ul_dllistnode_t* startSentinel() { return reinterpret_cast<ul_dllistnode_t*>(&head); }
    const ul_dllistnode_t* startSentinel() const {
        return reinterpret_cast<const ul_dllistnode_t*>(&head);
    }
    ul_dllistnode_t* endSentinel() { return reinterpret_cast<ul_dllistnode_t*>(&tail); }

    // Links an unlinked node so that it ends up at the position: 0 first, 1 second, ...;
    // -1 last, -2 second to last, ... Positions beyond either end clamp to that end.
    void addNode(ul_dllistnode_t* node, int position);

    // The node at the index (numbered as in addNode), or null when out of range.
    ul_dllistnode_t* getNode(int index);

    // Unlinks and frees the node at the index; flags bit 0 sends the release notice first.
    // An index out of range does nothing.
    void deleteNode(int index, int flags);

    // Frees every node (flags bit 0: release notices first) and leaves the list empty; the
    // payload accessor stays set.
    void freeList(int flags);

    // Number of nodes, by walking the list.
    int getCount() const;

    // Stable natural merge sort by compare->compare(node, node).
    void sort(ULDLListCompare* compare);
    // The same with a payload comparison function.
    void sort(int (*function)(void* context, const void* a, const void* b), void* context);

    // Repairs the links into the header after the header was copied (memcpy, realloc,
    // assignment) to a new address; the old header need not exist any more.
    void moveHead();

    // Unlinks a linked node from whatever list holds it; its links become null.
    static void unlinkNode(ul_dllistnode_t* node);
};

// Walks a list in either direction. Starting from the constructed (or reset) state, next()
// returns the first node, prev() the last; both return null behind the respective end and
// keep doing so. Nodes already returned may be unlinked only when the walk does not come
// back to them; the current node must stay linked.
struct ul_dllistiter_t {
    ul_dllistnode_t* current;
    ul_dllist_t* list;

    explicit ul_dllistiter_t(ul_dllist_t* l) : current(nullptr), list(l) {}
    void reset() { current = nullptr; }
    ul_dllistnode_t* next();
    ul_dllistnode_t* prev();
};

// A new unlinked node with size payload bytes copied from data (zero-filled for null data).
ul_dllistnode_t* ul_dllistcreatenode(const void* data, size_t size);

// Reallocates the payload to size bytes (new bytes are uninitialised). If the block moved
// and the node is linked, its neighbours are repaired. Returns the node's new address, or
// null (the node unchanged) on failure.
ul_dllistnode_t* ul_dllistresizenode(ul_dllistnode_t* node, size_t size);

// String nodes: the payload is a copy of the string with its terminator (null counts as
// the empty string).
ul_dllistnode_t* ul_dllistcreatestrnode(const char16_t* string);
ul_dllistnode_t* ul_dllistcreateaddstrnode(ul_dllist_t* list, const char16_t* string, int position);
// Payload of n + 1 zero-filled code units holding at most n code units of the string.
ul_dllistnode_t* ul_dllistcreateaddstrnoden(ul_dllist_t* list, const char16_t* string, size_t n,
                                            int position);

// Frees an unlinked node, sending the release notice through the list's accessor if a list
// with one is given.
void ul_dllistfreenode2(ul_dllist_t* list, ul_dllistnode_t* node);

// Memory estimate of a string list: 2 * length + 18 bytes per node.
long ul_dllistgetstrlistsize(ul_dllist_t* list);

// Appends a copy of every string node of source to destination. Returns the number copied,
// or -1 with destination unchanged.
int ul_dllistcopystrnodes(ul_dllist_t* destination, ul_dllist_t* source);

// Splits text at the separator (a blank: any run of white space), trims trailing white
// space from each word and appends the words as string nodes. Returns the number of words,
// or -1 with the list unchanged.
int ul_string2dlllist(ul_dllist_t* list, const char16_t* text, char16_t separator);

// ---- Payload accessors --------------------------------------------------------------

// Payload is one string; the context, if given, points at an int32 maximum length in code
// units (terminator included), else 256. Field names are refused.
int ul_getset_simple_string(void* context, ul_dllistnode_t* node, char16_t* buffer, int length,
                            const char16_t* fieldName);
// As ul_getset_simple_string, but field names are accepted and ignored.
int ul_getset_extended_string(void* context, ul_dllistnode_t* node, char16_t* buffer, int length,
                              const char16_t* fieldName);

// Base of payload objects handled by ul_getset_generic.
class ULDLListNode {
  public:
    virtual ~ULDLListNode() = default;
    // Sets the named field from the text; -1 with the error buffer set for unknown names or
    // bad values. The default knows no fields.
    virtual int setField(void* context, const char16_t* name, const char16_t* value);
    // Copies the named field into buffer (size code units); -1 as setField.
    virtual int getField(void* context, const char16_t* name, char16_t* buffer, int size);
    // Size of the complete object in bytes.
    virtual int getSelfSize() const = 0;
};

// Payload is an object derived from ULDLListNode: sets and gets go to setField/getField,
// the release notice runs its destructor, and a size query without a node returns 0
// (such payloads are constructed by their owner, see ULDLList<T>).
int ul_getset_generic(void* context, ul_dllistnode_t* node, char16_t* buffer, int length,
                      const char16_t* fieldName);

// ---- Comparisons ----------------------------------------------------------------------

// Ordering for sort: negative, zero or positive.
class ULDLListCompare {
  public:
    virtual ~ULDLListCompare() = default;
    virtual int compare(const ul_dllistnode_t* a, const ul_dllistnode_t* b) = 0;
    virtual int compare(const void* a, const void* b) = 0;
};

// Orders nodes by their payloads; derived classes supply the payload comparison.
class ULDLListCompareOldNode : public ULDLListCompare {
  public:
    using ULDLListCompare::compare;
    int compare(const ul_dllistnode_t* a, const ul_dllistnode_t* b) override {
        return compare(a->data(), b->data());
    }
};

// Payload comparison by a plain function and its context.
class ULDLListGenCompare : public ULDLListCompareOldNode {
  public:
    using Function = int (*)(void* context, const void* a, const void* b);
    ULDLListGenCompare(Function function, void* context)
        : m_function(function), m_context(context) {}
    using ULDLListCompareOldNode::compare;
    int compare(const void* a, const void* b) override { return m_function(m_context, a, b); }

  private:
    Function m_function;
    void* m_context;
};

// ---- Object form ------------------------------------------------------------------------

// A list whose nodes carry constructed objects. The header must not move (copying is
// deleted), so it can be embedded anywhere.
class ULDLListBase {
  public:
    ul_dllist_t m_list;
    int m_ownsNodes;  // 1: freeList() frees the nodes, 0: it only unlinks them

    explicit ULDLListBase(bool ownsNodes = true) : m_ownsNodes(ownsNodes ? 1 : 0) {}
    ULDLListBase(const ULDLListBase&) = delete;
    ULDLListBase& operator=(const ULDLListBase&) = delete;
    // Leaves the nodes alone: the payload type is gone by now, so the derived class frees
    // them in its own destructor.
    virtual ~ULDLListBase() = default;

    // A new unlinked node with a constructed payload, or null with the error buffer set.
    virtual ul_dllistnode_t* allocateNode() = 0;
    // Destroys the payload of an unlinked node and frees it.
    virtual void freeNode(ul_dllistnode_t* node) = 0;

    // allocateNode() and addNode at the position; null on failure.
    ul_dllistnode_t* createNode(int position);
    // Unlinks the node at the index and frees it (whether or not the list owns its nodes).
    void deleteNode(int index);
    // Unlinks every node, freeing it if the list owns its nodes.
    void freeList();

    int getCount() const { return m_list.getCount(); }
    bool isEmpty() const { return m_list.isEmpty(); }
};

template <class T>
class ULDLList : public ULDLListBase {
  public:
    explicit ULDLList(bool ownsNodes = true) : ULDLListBase(ownsNodes) {}
    ~ULDLList() override { freeList(); }

    ul_dllistnode_t* allocateNode() override {
        ul_dllistnode_t* node = ul_dllistcreatenode(nullptr, sizeof(T));
        if (node) new (node->data()) T();
        return node;
    }
    void freeNode(ul_dllistnode_t* node) override {
        payload(node)->~T();
        ul_dllistfreenode2(nullptr, node);
    }

    static T* payload(ul_dllistnode_t* node) { return static_cast<T*>(node->data()); }
    // The payload of a new node at the position, or null on failure.
    T* create(int position = -1) {
        ul_dllistnode_t* node = createNode(position);
        return node ? payload(node) : nullptr;
    }
    // The payload at the index, or null when out of range.
    T* get(int index) {
        ul_dllistnode_t* node = m_list.getNode(index);
        return node ? payload(node) : nullptr;
    }
};

// Reading XML documents into trees (ulxml.h): the parser over the tokens of ulsax.h.
//
// The top-level tag becomes the returned node; start tags open nodes, content inside a tag
// becomes content children (adjacent ones merged), comments and processing instructions are
// dropped. White space between elements becomes a content child holding a single blank (see
// UL_XMLREAD_WSAFTERCONTENT); text inside elements arrives unchanged.
//
// Failures return null with the reason in the error buffer: the message of the tokenizer or
// parser, then "At line %d, column %d" (where it was found), then for a named file "Cannot parse
// XML file '%s'"; a file that cannot be read ends with "Cannot read XML file '%s'" instead. A
// failed parse frees the partial tree.
#pragma once

#include <cstdio>

#include "ulxml.h"

// Modes of the readers. The values from 4 on are also tokenizer modes (ulsax.h).
enum : int {
    // White space between elements becomes a blank content child only where the preceding
    // child is not an element (at the start of a tag's content or behind text).
    UL_XMLREAD_WSAFTERCONTENT = 1,
    // Content outside the top-level tag is kept as content nodes: the result is then the list
    // of those nodes and the top-level tag in document order (it may start with content).
    // Without it such content is dropped.
    UL_XMLREAD_KEEPOUTSIDE = 2,
    // Lazy HTML: an end tag closes open tags up to the matching one (tag names compared
    // ignoring case), the end of input closes all open tags, and "&apos;" is not known.
    UL_XMLREAD_LAZYHTML = 4,
    // Attribute values must not hold a raw "<" or ">".
    UL_XMLREAD_STRICT = 8,
    // Entity and character references stay as written.
    UL_XMLREAD_KEEPREFS = 16,
};

// Reads a file (UTF-8; a byte order mark is skipped): "Cannot read XML file '%s'" when it
// cannot be opened or read.
ul_xmlnode_t* ul_xmlreadfile(const char16_t* path, int mode);
// Reads from an open stream to its end; the caller closes it. name (may be null) labels the
// messages.
ul_xmlnode_t* ul_xmlreadfileptr(FILE* file, int mode, const char16_t* name = nullptr);
// Reads a document held in a string.
ul_xmlnode_t* ul_xmlreadstring(const char16_t* text, int mode);

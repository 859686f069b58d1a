#include "ulxmli.h"

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "ulerror.h"
#include "ulfile.h"
#include "ulsax.h"
#include "ulstring.h"
#include "ultrace.h"

namespace {

// Builds a tree from the tokens of one document. The parser owns every node until the
// document is complete; a failure frees them all.
class Parser {
  public:
    explicit Parser(int mode) : m_mode(mode) { m_sax.mode = mode; }
    ~Parser() { ul_xmlfreelist(m_result); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    ul_saxstream_t& stream() { return m_sax.stream; }

    // The document, or null with the error buffer set.
    ul_xmlnode_t* run() {
        const int result = ul_guarded([&] { return parse(); });
        if (result < 0) return UL_ERROR_RETURN(nullptr);
        ul_xmlnode_t* document = m_result;
        m_result = nullptr;
        return document;
    }

    bool readFailed() const { return m_sax.stream.failed; }
    // Where the failure was found: the offending character for a token that could not be
    // read, the start of the token for a token that does not fit the tree.
    int line() const { return m_atToken ? m_sax.tokenLine : m_sax.line; }
    int column() const { return m_atToken ? m_sax.tokenColumn : m_sax.column; }

  private:
    struct Open {
        ul_xmlnode_t* node;
        ul_xmlnode_t** tail;  // link where the next child goes
        bool lastIsTag;       // the last child appended is an element
    };

    int parse() {
        m_stack.reserve(16);
        for (;;) {
            m_atToken = false;
            int type = m_sax.next();
            if (type == UL_SAXTOK_ERROR) return UL_ERROR_RETURN(-1);
            m_atToken = true;
            switch (type) {
                case UL_SAXTOK_EOF:
                    return finish();
                case UL_SAXTOK_CONTENT:
                case UL_SAXTOK_CDATA:
                    if (content(m_sax.token) < 0) return UL_ERROR_RETURN(-1);
                    break;
                case UL_SAXTOK_WHITESPACE:
                    if (whiteSpace() < 0) return UL_ERROR_RETURN(-1);
                    break;
                case UL_SAXTOK_STARTTAG:
                case UL_SAXTOK_EMPTYTAG:
                    if (startTag(type == UL_SAXTOK_STARTTAG) < 0) return UL_ERROR_RETURN(-1);
                    break;
                case UL_SAXTOK_ENDTAG:
                    if (endTag() < 0) return UL_ERROR_RETURN(-1);
                    break;
                default:  // comments and processing instructions
                    break;
            }
        }
    }

    // Appends a node to the innermost open tag, or outside the top-level tag to the result.
    void append(ul_xmlnode_t* node) {
        if (m_stack.empty()) {
            *m_resultTail = node;
            m_resultTail = &node->next;
            return;
        }
        Open& open = m_stack.back();
        *open.tail = node;
        open.tail = &node->next;
        open.lastIsTag = ul_xmlistag(node);
    }

    // Text goes into m_text first, so that adjacent pieces (text, CDATA sections, the text
    // around a comment) become one node when the next tag or the end of the parent comes.
    int content(const std::u16string& text) {
        if (m_stack.empty() && !(m_mode & UL_XMLREAD_KEEPOUTSIDE)) {
            UL_TRACE(UL_TRC_XML, 2, u"Illegal content '%s' outside top level tag!\n", text.c_str());
            return 0;
        }
        m_text += text;
        return 0;
    }

    int whiteSpace() {
        if (m_stack.empty()) return 0;
        if ((m_mode & UL_XMLREAD_WSAFTERCONTENT) && m_text.empty() && m_stack.back().lastIsTag)
            return 0;
        m_text += u' ';
        return 0;
    }

    int flushText() {
        if (m_text.empty()) return 0;
        ul_xmlnode_t* node = ul_xmlnewnode(UL_XMLNODE_CONTENT, m_text.c_str());
        if (!node) return UL_ERROR_RETURN(-1);
        append(node);
        m_text.clear();
        return 0;
    }

    int startTag(bool open) {
        if (flushText() < 0) return UL_ERROR_RETURN(-1);
        if (m_stack.size() >= static_cast<size_t>(UL_XML_MAXDEPTH)) {
            ul_errorsetmsg(0, u"XML elements too deeply nested");
            return UL_ERROR_RETURN(-1);
        }
        if (m_stack.empty()) {
            if (m_haveTop) {
                ul_errorsetmsg(0, u"More than one top level tag");
                return UL_ERROR_RETURN(-1);
            }
            m_haveTop = true;
        }
        ul_xmlnode_t* node = ul_xmlnewnode(UL_XMLNODE_TAG, m_sax.token.c_str());
        if (!node) return UL_ERROR_RETURN(-1);
        append(node);
        for (size_t i = 0; i < m_sax.attributeCount; ++i) {
            const ul_saxattr_t& attr = m_sax.attributes[i];
            if (ul_xmladdattribute2(node, attr.name.c_str(),
                                    attr.hasValue ? attr.value.c_str() : nullptr,
                                    UL_XMLADDATTR_NOREPLACE) < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (open) m_stack.push_back({node, &node->children, false});
        return 0;
    }

    bool sameName(const ul_xmlnode_t* node, const std::u16string& name) const {
        return (m_mode & UL_XMLREAD_LAZYHTML) ? ul_stricmp(node->name, name.c_str()) == 0
                                              : name == node->name;
    }

    int close() {
        if (flushText() < 0) return UL_ERROR_RETURN(-1);
        m_stack.pop_back();
        if (!m_stack.empty()) m_stack.back().lastIsTag = true;
        return 0;
    }

    void warnImplicitClose(const ul_xmlnode_t* node) {
        UL_TRACE(UL_TRC_XML, 1, u"WARNING: Inserting closing tag '%s' in lazy HTML style!\n",
                 node->name);
    }

    int endTag() {
        const std::u16string& name = m_sax.token;
        if (m_stack.empty()) {
            ul_errorsetmsgfmt(0, u"Closing tag '%s' without opening", name.c_str());
            return UL_ERROR_RETURN(-1);
        }
        size_t match = m_stack.size();
        if (m_mode & UL_XMLREAD_LAZYHTML) {
            while (match > 0 && !sameName(m_stack[match - 1].node, name)) --match;
        } else if (!sameName(m_stack.back().node, name)) {
            match = 0;
        }
        if (match == 0) {
            ul_errorsetmsgfmt(0, u"Closing tag '%s' does not match opening tag '%s'", name.c_str(),
                              m_stack.back().node->name);
            return UL_ERROR_RETURN(-1);
        }
        while (m_stack.size() > match) {
            warnImplicitClose(m_stack.back().node);
            if (close() < 0) return UL_ERROR_RETURN(-1);
        }
        return close();
    }

    int finish() {
        if (!m_stack.empty()) {
            if (!(m_mode & UL_XMLREAD_LAZYHTML)) {
                ul_errorsetmsg(0, u"XML File not properly ended");
                return UL_ERROR_RETURN(-1);
            }
            while (!m_stack.empty()) {
                warnImplicitClose(m_stack.back().node);
                if (close() < 0) return UL_ERROR_RETURN(-1);
            }
        }
        if (flushText() < 0) return UL_ERROR_RETURN(-1);
        if (!m_haveTop) {
            ul_errorsetmsg(0, u"Empty XML file");
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }

    int m_mode;
    ul_saxparse_t m_sax;
    std::vector<Open> m_stack;
    std::u16string m_text;
    ul_xmlnode_t* m_result = nullptr;
    ul_xmlnode_t** m_resultTail = &m_result;
    bool m_haveTop = false;
    bool m_atToken = false;
};

// Runs the parser and, on failure, adds the position and (with a name) the file to the
// parser's message.
ul_xmlnode_t* runParser(Parser& parser, const char16_t* name) {
    ul_xmlnode_t* tree = parser.run();
    if (tree) return tree;
    if (parser.readFailed() && name) {
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot read XML file '%s'", name);
        return UL_ERROR_RETURN(nullptr);
    }
    ul_errorsetmsgfmt(UL_ERR_APPEND, u"At line %d, column %d", parser.line(), parser.column());
    if (name) ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot parse XML file '%s'", name);
    return UL_ERROR_RETURN(nullptr);
}

}  // namespace

ul_xmlnode_t* ul_xmlreadfileptr(FILE* file, int mode, const char16_t* name) {
    Parser parser(mode);
    parser.stream().openFile(file);
    return runParser(parser, name);
}

ul_xmlnode_t* ul_xmlreadfile(const char16_t* path, int mode) {
    FILE* file = ul_filefopen(path, u"rb", UL_FILE_NOMSG);
    if (!file && errno == EINVAL) {
        ul_errorsetmsgfmt(0, u"Cannot read XML file '%s': not a regular file", path);
        return UL_ERROR_RETURN(nullptr);
    }
    if (!file) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read XML file '%s'", path);
        return UL_ERROR_RETURN(nullptr);
    }
    UL_TRACE(UL_TRC_XML, 2, u"Reading XML file '%s'.\n", path);
    ul_xmlnode_t* tree = ul_xmlreadfileptr(file, mode, path);
    fclose(file);
    return tree;
}

ul_xmlnode_t* ul_xmlreadstring(const char16_t* text, int mode) {
    Parser parser(mode);
    parser.stream().openString(text);
    return runParser(parser, nullptr);
}

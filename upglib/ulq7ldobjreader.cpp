#include "ulq7ldobjreader.h"

#include <cstdarg>

#include "ulerror.h"
#include "ulsqlbase.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

unsigned g_formatFlags = 0;
// Version of the structure file read before, to warn when a run mixes versions.
bool g_versionSeen = false;
unsigned g_lastVersion = 0;

struct SectionKeyword {
    const char16_t* keyword;
    int id;
};

constexpr SectionKeyword kSections[] = {
    {u"ver:", UL_LDSEC_VER}, {u"tab:", UL_LDSEC_TAB},       {u"ind:", UL_LDSEC_IND},
    {u"vie:", UL_LDSEC_VIE}, {u"pky:", UL_LDSEC_PKY},       {u"obj:", UL_LDSEC_OBJ},
    {u"dbs:", UL_LDSEC_DBS}, {u"crc:", UL_LDSEC_CRC},       {u"att:", UL_LDSEC_ATT},
    {u"opt:", UL_LDSEC_OPT}, {u"ref:", UL_LDSEC_REF},       {u"indatt:", UL_LDSEC_INDATT},
    {u"fld:", UL_LDSEC_FLD}, {u"typ:", UL_LDSEC_TYP},       {u"level:", UL_LDSEC_LEVEL},
    {u"cp:", UL_LDSEC_CP},   {u"crestm:", UL_LDSEC_CRESTM}, {u"drpstm:", UL_LDSEC_DRPSTM},
    {u"qry:", UL_LDSEC_QRY}, {u"varqry:", UL_LDSEC_VARQRY},
};

const char16_t* sectionKeyword(int id) {
    for (const SectionKeyword& s : kSections)
        if (s.id == id) return s.keyword;
    return u"";
}

constexpr unsigned bit(int section) {
    return 1u << section;
}

// The object kind a section keyword starts, or UL_LDOBJ_NONE.
int objectKindOf(int section) {
    switch (section) {
        case UL_LDSEC_TAB:
            return UL_LDOBJ_TABLE;
        case UL_LDSEC_IND:
            return UL_LDOBJ_INDEX;
        case UL_LDSEC_VIE:
            return UL_LDOBJ_VIEW;
        case UL_LDSEC_PKY:
            return UL_LDOBJ_PRKEY;
        case UL_LDSEC_OBJ:
            return UL_LDOBJ_GENERIC;
        default:
            return UL_LDOBJ_NONE;
    }
}

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

const char16_t* skipBlanks(const char16_t* p) {
    while (isBlank(*p)) ++p;
    return p;
}

// Length of the section keyword a line starts with (colon included), 0 when its first word
// holds no colon.
size_t keywordLength(const char16_t* line) {
    for (size_t i = 0; line[i] && !isBlank(line[i]); ++i)
        if (line[i] == u':') return i + 1;
    return 0;
}

// The object keyword a line starts with (UL_LDSEC_TAB..UL_LDSEC_OBJ), else 0. All of them are
// three letters and a colon, which keeps the scan over object bodies to a few comparisons.
int objectSectionOf(const char16_t* line) {
    if (!line[0] || !line[1] || !line[2] || line[3] != u':') return 0;
    if (line[4] && !isBlank(line[4])) return 0;
    for (int id = UL_LDSEC_TAB; id <= UL_LDSEC_OBJ; ++id)
        if (ul_strncmp(line, kSections[id - 1].keyword, 3) == 0) return id;
    return 0;
}

bool parseNumber(const std::u16string& text, long* value) {
    return ul_stringtolong(text.c_str(), value) == 0;
}

bool parseUnsigned(const std::u16string& text, unsigned* value) {
    long number = 0;
    if (!parseNumber(text, &number) || number < 0 || number > 0x7fffffff) return false;
    *value = static_cast<unsigned>(number);
    return true;
}

// "true" or "false".
bool parseBoolean(const std::u16string& text, bool* value) {
    if (text == u"true" || text == u"false") {
        *value = text == u"true";
        return true;
    }
    return false;
}

// A number, or "-" for one not given (-1).
bool parseOptional(const std::u16string& text, int* value) {
    unsigned number = 0;
    if (text == u"-") {
        *value = -1;
    } else if (parseUnsigned(text, &number)) {
        *value = static_cast<int>(number);
    } else {
        return false;
    }
    return true;
}

// Two values, one per nametab: "a/b", "a/-" or "-/b" ("-": not given), or a single "a" that
// is the value of both (offsets) or of the first only (lengths).
bool parsePair(const std::u16string& text, int pair[2], bool singleForBoth) {
    const size_t slash = text.find(u'/');
    const bool single = slash == std::u16string::npos;
    const std::u16string parts[2] = {text.substr(0, slash), single ? u"-" : text.substr(slash + 1)};
    for (int i = 0; i < 2; ++i)
        if (!parseOptional(parts[i], &pair[i])) return false;
    if (single && pair[0] < 0) return false;
    if (single && singleForBoth) pair[1] = pair[0];
    return true;
}

// A phrase as written, for its error text; format holds one %s.
int badPhrase(const char16_t* format, const std::u16string& name, const std::u16string& value,
              bool hasValue) {
    const std::u16string phrase = hasValue ? name + u"=" + value : name;
    ul_errorsetmsgfmt(0, format, phrase.c_str());
    return UL_ERROR_RETURN(-1);
}

int illegalPhrase(const std::u16string& name, const std::u16string& value, bool hasValue) {
    return badPhrase(u"Illegal phrase '%s'", name, value, hasValue);
}

// The values and phrases of one line. Values are bare words, ended by a blank (or a stop
// character), or strings in single or double quotes; both may hold backslash escapes. Errors
// quote the whole line.
class LineScanner {
  public:
    // text is the end of line that is to be read (a copy will do); raw: words are taken as
    // they are, without quotes or escapes (names below version 9).
    LineScanner(const char16_t* line, const char16_t* text, bool raw = false)
        : line_(line), text_(text), p_(text), raw_(raw) {}

    bool atEnd() {
        p_ = skipBlanks(p_);
        return *p_ == 0;
    }
    const char16_t* rest() {
        p_ = skipBlanks(p_);
        return p_;
    }

    // Reads one value into out: 1, 0 when only blanks were left, -1 on a malformed value.
    int value(std::u16string* out, char16_t stop = 0) {
        out->clear();
        p_ = skipBlanks(p_);
        if (!*p_) return 0;
        if (!raw_ && (*p_ == u'"' || *p_ == u'\'')) return quoted(out);
        while (*p_ && !isBlank(*p_) && *p_ != stop) {
            if (*p_ == u'\\' && !raw_) {
                if (escape(out) < 0) return UL_ERROR_RETURN(-1);
                continue;
            }
            out->push_back(*p_++);
        }
        return 1;
    }

    // Reads "name=value" or a bare "name": *hasValue tells which. 1, 0 at the end, -1.
    int phrase(std::u16string* name, std::u16string* val, bool* hasValue) {
        int rc = value(name, u'=');
        if (rc <= 0) return rc;
        *hasValue = *p_ == u'=';
        val->clear();
        if (!*hasValue) return 1;
        ++p_;
        if (!*p_ || isBlank(*p_)) return 1;
        return value(val) < 0 ? -1 : 1;
    }

  private:
    int quoted(std::u16string* out) {
        const char16_t quote = *p_++;
        while (*p_ != quote) {
            if (!*p_) {
                ul_errorsetmsgfmt(0, u"Unterminated %s in line '%.500s'",
                                  quote == u'"' ? u"double quoted string" : u"single quoted string",
                                  line_);
                return UL_ERROR_RETURN(-1);
            }
            if (*p_ == u'\\') {
                if (escape(out) < 0) return UL_ERROR_RETURN(-1);
                continue;
            }
            out->push_back(*p_++);
        }
        ++p_;
        return 1;
    }

    int escape(std::u16string* out) {
        const char16_t c = p_[1];
        switch (c) {
            case u'\\':
            case u'"':
            case u'\'':
                out->push_back(c);
                break;
            case u'n':
                out->push_back(u'\n');
                break;
            case u'r':
                out->push_back(u'\r');
                break;
            case u't':
                out->push_back(u'\t');
                break;
            default:
                // text_ is the end of line_ (or a copy of it): its position counts from there
                ul_errorsetmsgfmt(
                    0, u"Unknown escape sequence '\\%c' in line '%.500s' at position %d",
                    c ? c : u' ', line_,
                    static_cast<int>(ul_strlen(line_) - ul_strlen(text_) + (p_ - text_)) + 1);
                return UL_ERROR_RETURN(-1);
        }
        p_ += 2;
        return 1;
    }

    const char16_t* line_;
    const char16_t* text_;
    const char16_t* p_;
    bool raw_;
};

// Object type names of "typ:" in the order of their numbers.
constexpr const char16_t* kObjectTypes[] = {u"INVALID", u"VIEW", u"AMDP", u"FLEXINDEX", u"DDBF",
                                            u"SVAR",    u"DRUL", u"DTDC", u"GENERIC",   u"UNDF"};

}  // namespace

int ul_ldobjsectionid(const char16_t* word, size_t length) {
    for (const SectionKeyword& k : kSections)
        if (ul_strncmp(word, k.keyword, length) == 0 && k.keyword[length] == 0) return k.id;
    return UL_LDSEC_NONE;
}

unsigned ul_ldobjsetformatflags(unsigned flags) {
    const unsigned previous = g_formatFlags;
    g_formatFlags = flags;
    return previous;
}

unsigned ul_ldobjgetformatflags() {
    return g_formatFlags;
}

// ---- file and sections ----------------------------------------------------------------------

int ULLDObjBaseReader::open(const char16_t* file, int flags) {
    close();
    if (m_file.open(file) < 0) return UL_ERROR_RETURN(-1);
    if (flags & UL_LDREAD_NOVERSIONCHECK) return 0;
    if (validateVersion() < 0) {
        close();
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULLDObjBaseReader::close() {
    m_file.close();
    m_version = 0;
    m_versionKnown = false;
    m_section = UL_LDSEC_NONE;
    m_content.clear();
    m_pushedBack = false;
    m_objectPending = false;
    m_objectOffset = -1;
    m_objectLine = 0;
    return 0;
}

bool ULLDObjBaseReader::isOpen() const {
    return m_file.isOpen();
}

const char16_t* ULLDObjBaseReader::fileName() const {
    return m_file.path();
}

int ULLDObjBaseReader::lineNumber() const {
    return m_file.lineNumber();
}

const char16_t* ULLDObjBaseReader::sectionContent() const {
    return m_content.c_str();
}

int ULLDObjBaseReader::getSectionID(const char16_t* keyword) {
    const int id = ul_ldobjsectionid(keyword, ul_strlen(keyword));
    if (id > 0) return id;
    ul_errorsetmsgfmt(0, u"Unknown section '%s'", keyword);
    return UL_ERROR_RETURN(-1);
}

int ULLDObjBaseReader::failAtLine() {
    ul_errorsetmsgfmt(UL_ERR_APPEND, u"Syntax error in l.%d '%s'", m_file.lineNumber(),
                      m_file.line());
    return UL_ERROR_RETURN(-1);
}

int ULLDObjBaseReader::lineError(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::u16string text = ul_vformat(format, args);
    va_end(args);
    ul_errorsetmsg(0, text.c_str());
    return failAtLine();
}

int ULLDObjBaseReader::getNextSection() {
    return ul_guarded([&] { return getNextSectionImpl(); });
}

int ULLDObjBaseReader::getNextSectionImpl() {
    if (m_pushedBack) {
        m_pushedBack = false;
        return m_section;
    }
    for (;;) {
        const int rc = m_file.readLine();
        if (rc <= 0) {
            m_section = UL_LDSEC_NONE;
            m_content.clear();
            return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
        }
        if (!isContentLine(m_file.line())) continue;
        return parseSectionLine();
    }
}

bool ULLDObjBaseReader::isContentLine(const char16_t* line) {
    const char16_t* p = skipBlanks(line);
    return *p != 0 && *p != u'#';
}

int ULLDObjBaseReader::parseSectionLine() {
    const char16_t* line = m_file.line();
    const size_t length = keywordLength(line);
    if (length == 0) {
        m_section = UL_LDSEC_NONE;
        ul_errorsetmsgfmt(0, u"Syntax error in l.%d '%s'", m_file.lineNumber(), line);
        return UL_ERROR_RETURN(-1);
    }
    m_section = ul_ldobjsectionid(line, length);
    if (m_section == UL_LDSEC_NONE) {
        getSectionID(std::u16string(line, length).c_str());  // for its error text
        return failAtLine();
    }
    m_content = skipBlanks(line + length);
    return m_section;
}

// ---- version --------------------------------------------------------------------------------

int ULLDObjBaseReader::validateVersion() {
    return ul_guarded([&] { return validateVersionImpl(); });
}

int ULLDObjBaseReader::validateVersionImpl() {
    m_version = 0;
    int rc = getNextSection();
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == UL_LDSEC_VER) {
        std::u16string token = m_content;
        while (!token.empty() && isBlank(token.back())) token.pop_back();
        long version = 0;
        if (!parseNumber(token, &version)) {
            ul_errorsetmsgfmt(0, u"Cannot interpret version number at l.%d '%s'",
                              m_file.lineNumber(), m_file.line());
            return UL_ERROR_RETURN(-1);
        }
        if (version < static_cast<long>(UL_LDSTR_MINVERSION) ||
            version > static_cast<long>(UL_LDSTR_MAXVERSION)) {
            ul_errorsetmsgfmt(0,
                              u"Unsupported format version %d, minimum required version is %d, "
                              u"maximum allowed is %d",
                              static_cast<int>(version), static_cast<int>(UL_LDSTR_MINVERSION),
                              static_cast<int>(UL_LDSTR_MAXVERSION));
            return UL_ERROR_RETURN(-1);
        }
        m_version = static_cast<unsigned>(version);
        rc = getNextSection();
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) {
            ul_errorsetmsgfmt(0, u"File '%s' empty except for version information", m_file.path());
            return UL_ERROR_RETURN(-1);
        }
    } else {
        UL_TRACE(UL_TRC_OBJ, 2, u"%s: Missing 'ver:' line, assuming version %d\n", m_file.path(),
                 0);
    }
    m_pushedBack = rc > 0;
    m_versionKnown = true;
    if (g_versionSeen && g_lastVersion != m_version)
        UL_TRACE(UL_TRC_OBJ, 1, u"Warning: Found different STR version %d != %d!\n",
                 static_cast<int>(m_version), static_cast<int>(g_lastVersion));
    g_versionSeen = true;
    g_lastVersion = m_version;
    return 0;
}

int ULLDObjBaseReader::ensureVersion() {
    if (m_versionKnown) return 0;
    if (m_file.seek(0, 1) < 0 || validateVersion() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

// ---- walking the objects ------------------------------------------------------------------

int ULLDObjBaseReader::getNextObjName(std::u16string* name) {
    return ul_guarded([&] { return getNextObjNameImpl(name); });
}

int ULLDObjBaseReader::getNextObjNameImpl(std::u16string* name) {
    if (!m_file.isOpen()) {
        ul_errorsetmsg(0, u"No structure file open");
        return UL_ERROR_RETURN(-1);
    }
    if (ensureVersion() < 0) return UL_ERROR_RETURN(-1);
    m_objectPending = false;
    if (!m_pushedBack || objectKindOf(m_section) == UL_LDOBJ_NONE) {
        // The body of an object passed without readObject is skipped unchecked.
        for (;;) {
            const int rc = m_file.readLine();
            if (rc <= 0) {
                m_pushedBack = false;
                m_section = UL_LDSEC_NONE;
                m_content.clear();
                return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
            }
            const int section = objectSectionOf(m_file.line());
            if (section) {
                m_section = section;
                m_content = skipBlanks(m_file.line() + 4);
                break;
            }
        }
    }
    m_pushedBack = false;
    m_objectOffset = m_file.lineOffset();
    m_objectLine = m_file.lineNumber();
    LineScanner scanner(m_file.line(), m_content.c_str(), m_version < 9);
    const int rc = scanner.value(name);
    if (rc < 0) return failAtLine();
    if (rc == 0 || !scanner.atEnd()) {
        ul_errorsetmsgfmt(0, u"Syntax error in l.%d '%s'", m_file.lineNumber(), m_file.line());
        return UL_ERROR_RETURN(-1);
    }
    m_objectSection = m_section;
    m_objectName = *name;
    m_objectPending = true;
    return objectKindOf(m_section);
}

int ULLDObjBaseReader::seek(long offset, int line) {
    if (!m_file.isOpen()) {
        ul_errorsetmsg(0, u"No structure file open");
        return UL_ERROR_RETURN(-1);
    }
    if (ensureVersion() < 0 || m_file.seek(offset, line) < 0) return UL_ERROR_RETURN(-1);
    m_pushedBack = false;
    m_objectPending = false;
    m_section = UL_LDSEC_NONE;
    m_content.clear();
    return 0;
}

int ULLDObjBaseReader::readObject(ULLDObject* object, const char16_t* name) {
    if (!m_objectPending) {
        ul_errorsetmsgfmt(0, u"No object to read in '%s' at l.%d", m_file.path(),
                          m_file.lineNumber());
        return UL_ERROR_RETURN(-1);
    }
    m_objectPending = false;
    const int rc = ul_guarded([&] {
        switch (m_objectSection) {
            case UL_LDSEC_TAB:
                if (readTablePart1(object, name) < 0) return UL_ERROR_RETURN(-1);
                return readTablePart2(object);
            case UL_LDSEC_IND:
                return readIndex(object, name);
            case UL_LDSEC_PKY:
                return readKeyObject(object, name, UL_LDOBJ_PRKEY);
            case UL_LDSEC_VIE:
                return readView(object, name);
            default:
                return readGeneric(object, name);
        }
    });
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

template <class Handler>
int ULLDObjBaseReader::readSections(unsigned allowed, Handler&& handler) {
    for (;;) {
        const int section = getNextSection();
        if (section <= 0) return section;
        if (objectKindOf(section) != UL_LDOBJ_NONE) {
            m_pushedBack = true;
            return 0;
        }
        if (!(allowed & bit(section))) {
            return lineError(u"Unexpected keyword \"%s\"", sectionKeyword(section));
        }
        const int rc = handler(section, m_content.c_str());
        if (rc < 0) return failAtLine();
        if (rc > 0) {
            m_pushedBack = true;
            return 0;
        }
    }
}

// ---- object parts ---------------------------------------------------------------------------

int ULLDObjBaseReader::readObjectHeader(ULLDObject* object, int kind) {
    object->clear();
    object->kind = kind;
    bool seenDbs = false;
    bool seenCrc = false;
    for (;;) {
        const int section = getNextSection();
        if (section <= 0) return section;
        if (section == UL_LDSEC_DBS && !seenDbs) {
            seenDbs = true;
            if (readDatabases(object, m_content.c_str()) < 0) return failAtLine();
        } else if (section == UL_LDSEC_CRC && !seenCrc) {
            seenCrc = true;
            std::u16string value;
            LineScanner scanner(m_file.line(), m_content.c_str());
            unsigned long crc = 0;
            if (scanner.value(&value) <= 0 || !scanner.atEnd() || value.size() > 8)
                return lineError(u"Invalid checksum '%s'", m_content.c_str());
            for (char16_t c : value) {
                const int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                                  : c >= u'a' && c <= u'f' ? c - u'a' + 10
                                  : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                           : -1;
                if (digit < 0) return lineError(u"Invalid checksum '%s'", m_content.c_str());
                crc = crc * 16 + static_cast<unsigned long>(digit);
            }
            object->crc = static_cast<long>(crc);
        } else {
            m_pushedBack = true;
            return 0;
        }
    }
}

int ULLDObjBaseReader::readDatabases(ULLDObject* object, const char16_t* text) {
    LineScanner scanner(m_file.line(), text);
    std::u16string word;
    for (;;) {
        const int rc = scanner.value(&word);
        if (rc <= 0) return rc;
        const bool exclude = !word.empty() && word[0] == u'!';
        const int type = ul_sqlgetdbatypefromstring(word.c_str() + (exclude ? 1 : 0));
        if (type < 0 || object->databases.addEntry(type, !exclude) < 0) return UL_ERROR_RETURN(-1);
    }
}

int ULLDObjBaseReader::readReferences(ULLDObject* object, const char16_t* text) {
    LineScanner scanner(m_file.line(), text, m_version < 9);
    std::u16string word;
    for (;;) {
        const int rc = scanner.value(&word);
        if (rc <= 0) return rc;
        if (object->references.addEntry(word.c_str()) < 0) return UL_ERROR_RETURN(-1);
    }
}

int ULLDObjBaseReader::readOptions(ULLDObject* object, const char16_t* text) {
    LineScanner scanner(m_file.line(), text, m_version < 9);
    ULLDObjOptions& o = object->options;
    std::u16string name;
    std::u16string value;
    for (;;) {
        bool hasValue = false;
        const int rc = scanner.phrase(&name, &value, &hasValue);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) return 0;
        bool flag = false;
        bool ok = true;
        if (!hasValue) {
            ok = false;
        } else if (name == u"shr_type" || name == u"SharingType") {
            const int code = ul_ldobjshrtypecode(value.c_str());
            if (code < 0) return UL_ERROR_RETURN(-1);
            object->attributes.shrType = code;
        } else if (name == u"logicaltype") {
            if (value == u"cluster") {
                o.logicalType = UL_LOGTABLE_CLUSTER;
            } else if (value == u"pool") {
                o.logicalType = UL_LOGTABLE_POOL;
            } else {
                ul_errorsetmsgfmt(0, u"Unknown logical table type '%s'", value.c_str());
                return UL_ERROR_RETURN(-1);
            }
        } else if (name == u"view_type") {
            if (value != u"projection") {
                ul_errorsetmsgfmt(0, u"Unknown view type '%s'", value.c_str());
                return UL_ERROR_RETURN(-1);
            }
            object->viewType = UL_VIEWTYPE_PROJECTION;
        } else if (name == u"view_refs") {
            if (value != u"external") {
                ul_errorsetmsgfmt(0, u"Unknown view refs '%s'", value.c_str());
                return UL_ERROR_RETURN(-1);
            }
            object->viewRefsExternal = true;
        } else if (name == u"info_id") {
            o.infoId = value;
        } else if (name == u"nkeys") {
            ok = parseUnsigned(value, &o.nkeys);
        } else if (name == u"keylen") {
            ok = parsePair(value, o.keyLength, false);
        } else if (name == u"tablen") {
            ok = parsePair(value, o.tableLength, false);
        } else if (name == u"basistable") {
            ok = parseBoolean(value, &flag);
            o.basisTable = flag ? UL_BASISTABLE_YES : UL_BASISTABLE_NO;
        } else if ((ok = parseBoolean(value, &flag))) {
            if (name == u"derived_logtab") {
                o.derivedLogTab = flag;
            } else if (name == u"snap_table") {
                o.snapTable = flag;
            } else if (name == u"withschema") {
                o.withSchema = flag;
            } else if (name == u"resilience") {
                o.resilience = flag;
            } else {
                ok = false;
            }
        }
        if (!ok) return illegalPhrase(name, value, hasValue);
    }
}

namespace {

// Upper bound of fields per object: the nametab's field count is a 16-bit number.
constexpr size_t kMaxFields = 32767;

// The one- or two-character attributes: '?' or nothing for a character not given.
char16_t attributeChar(const std::u16string& value, size_t i) {
    return i < value.size() && value[i] != u'?' ? value[i] : 0;
}

}  // namespace

int ULLDObjBaseReader::readNamedField(ULLDObjField* field, const char16_t* text) {
    LineScanner scanner(m_file.line(), text);
    std::u16string name;
    std::u16string value;
    bool lengthGiven = false;
    for (;;) {
        bool hasValue = false;
        const int rc = scanner.phrase(&name, &value, &hasValue);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) break;
        bool ok = true;
        if (name == u"not_null" || name == u"null") {
            bool flag = true;
            if (hasValue && !parseBoolean(value, &flag)) {
                ul_errorsetmsgfmt(0, u"Illegal value for attribute \"null\": %s", value.c_str());
                return UL_ERROR_RETURN(-1);
            }
            field->notNull = name == u"null" ? !flag : flag;
        } else if (!hasValue) {
            ok = false;
        } else if (name == u"ddtype") {
            field->ddicType = ul_ldobjtype_string2ddic(value.c_str());
            if (field->ddicType < 0) return UL_ERROR_RETURN(-1);
        } else if (name == u"len") {
            ok = parseUnsigned(value, &field->length);
            lengthGiven = true;
        } else if (name == u"digits") {
            ok = parseUnsigned(value, &field->digits);
        } else if (name == u"decimals") {
            ok = parseUnsigned(value, &field->decimals);
        } else if (name == u"ntoffsets") {
            ok = parsePair(value, field->ntOffset, true);
        } else if (name == u"srs_id") {
            unsigned id = 0;
            ok = parseUnsigned(value, &id);
            field->srsId = static_cast<int>(id);
        } else if (name == u"zdb_timestamp") {
            if (value != u"short" && value != u"long") {
                ul_errorsetmsgfmt(0, u"Unknown attribute '%s' for zdb_timestamp", value.c_str());
                return UL_ERROR_RETURN(-1);
            }
            field->zdbTimestamp = value == u"short" ? 1 : 2;
        } else if (name == u"keypos") {
            if (!parseUnsigned(value, &field->keyPos) || field->keyPos == 0) {
                ul_errorsetmsgfmt(0, u"Illegal value for key position for field '%s'",
                                  field->name.c_str());
                return UL_ERROR_RETURN(-1);
            }
        } else {
            ok = false;
        }
        if (!ok) return badPhrase(u"Unknown field phrase '%s'", name, value, hasValue);
    }
    if (field->ddicType == 0) {
        ul_errorsetmsgfmt(0, u"Missing data type for field '%s'", field->name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (!lengthGiven)
        field->length = m_version >= 16 ? 0 : ULLDObjField::getDefaultLength(field->ddicType);
    return 0;
}

namespace {

int trailingGarbage(const ULLDObjField& field, const char16_t* rest) {
    ul_errorsetmsgfmt(0, u"Trailing garbage in line for field '%s': %s", field.name.c_str(), rest);
    return UL_ERROR_RETURN(-1);
}

// Whether the field text after the name is in the named form: its first word is a phrase.
bool isNamedFieldForm(const char16_t* rest) {
    size_t n = 0;
    for (; rest[n] && !isBlank(rest[n]); ++n)
        if (rest[n] == u'=') return true;
    return (n == 4 && ul_strncmp(rest, u"null", 4) == 0) ||
           (n == 8 && ul_strncmp(rest, u"not_null", 8) == 0);
}

}  // namespace

int ULLDObjBaseReader::readFieldDefinition(ULLDObject* object, const char16_t* text) {
    if (object->structure.fields.size() >= kMaxFields) {
        ul_errorsetmsg(0, u"Too many field definitions");
        return UL_ERROR_RETURN(-1);
    }
    ULLDObjField field;
    LineScanner scanner(m_file.line(), text, m_version < 9);
    const int rc = scanner.value(&field.name);
    if (rc <= 0) {
        if (rc == 0) ul_errorsetmsg(0, u"Missing field name");
        return UL_ERROR_RETURN(-1);
    }
    const char16_t* rest = scanner.rest();
    if (object->kind == UL_LDOBJ_TABLE) {
        const bool named = isNamedFieldForm(rest);
        if (named && m_version < 14) {
            ul_errorsetmsgfmt(
                0, u"Named attributes in 'fld:' lines are supported with STR format %d", 14);
            return UL_ERROR_RETURN(-1);
        }
        if ((named ? readNamedField(&field, rest) : readPositionalField(&field, rest)) < 0)
            return UL_ERROR_RETURN(-1);
        const ul_ldddictype_t* type = ul_ldobjtype_info(field.ddicType);
        const unsigned typeFlags = type ? type->flags : 0;
        if ((typeFlags & UL_DDTYPE_FIXED) && type->defaultLength && field.length &&
            field.length != type->defaultLength) {
            if (g_formatFlags & UL_LDFMT_STRICTLENGTH) {
                ul_errorsetmsgfmt(0, u"Illegal field length %d for '%s' - expected %d",
                                  static_cast<int>(field.length), field.name.c_str(),
                                  static_cast<int>(type->defaultLength));
                return UL_ERROR_RETURN(-1);
            }
            UL_TRACE(UL_TRC_OBJ, 1,
                     u"WARNING: Unexpected length %d for field '%s' - should be %d!\n",
                     static_cast<int>(field.length), field.name.c_str(),
                     static_cast<int>(type->defaultLength));
        }
        if (typeFlags & UL_DDTYPE_DATETIME) field.mode |= UL_LDFLDMODE_DATETIME;
        if (typeFlags & UL_DDTYPE_LOB) field.mode |= UL_LDFLDMODE_LOB;
        if (typeFlags & UL_DDTYPE_CLIENT) field.mode |= UL_LDFLDMODE_CLIENT;
    } else if (*rest) {
        return trailingGarbage(field, rest);
    }
    return object->structure.addField(field) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int ULLDObjBaseReader::readFieldDefinitions(ULLDObject* object) {
    return readSections(bit(UL_LDSEC_FLD), [&](int, const char16_t* text) {
        return readFieldDefinition(object, text);
    });
}

int ULLDObjBaseReader::objectError() {
    ul_errorsetmsgfmt(UL_ERR_APPEND, u"Syntax error in l.%d '%s %s'", m_objectLine,
                      sectionKeyword(m_objectSection), m_objectName.c_str());
    return UL_ERROR_RETURN(-1);
}

// ---- tables ---------------------------------------------------------------------------------

int ULLDObjBaseReader::readTablePart1(ULLDObject* object, const char16_t* name) {
    if (readObjectHeader(object, UL_LDOBJ_TABLE) < 0) return UL_ERROR_RETURN(-1);
    object->name = name;
    return 0;
}

int ULLDObjBaseReader::readTablePart2(ULLDObject* object) {
    bool seenAtt = false;
    m_optLine = 0;
    const unsigned allowed =
        bit(UL_LDSEC_ATT) | bit(UL_LDSEC_OPT) | bit(UL_LDSEC_REF) | bit(UL_LDSEC_FLD);
    const int rc = readSections(allowed, [&](int section, const char16_t* text) {
        switch (section) {
            case UL_LDSEC_ATT:
                if (seenAtt) {
                    ul_errorsetmsgfmt(0, u"Unexpected keyword \"%s\"", u"att:");
                    return UL_ERROR_RETURN(-1);
                }
                seenAtt = true;
                return readAttributes(object, text);
            case UL_LDSEC_OPT:
                m_optLine = m_file.lineNumber();
                m_optText = m_file.line();
                return readOptions(object, text);
            case UL_LDSEC_REF:
                return readReferences(object, text);
            default:
                return readFieldDefinition(object, text);
        }
    });
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return checkTable(object);
}

int ULLDObjBaseReader::checkTable(ULLDObject* object) {
    ULLDObjStructure& s = object->structure;
    const int keys = s.checkFieldConsistency(UL_LDOBJ_TABLE, object->name.c_str());
    if (keys < 0) return objectError();
    for (int i = 0; i < keys; ++i) {
        if (s.fields[static_cast<size_t>(i)].keyPos != static_cast<unsigned>(i) + 1) {
            ul_errorsetmsgfmt(0, u"Expected field #%d '%s' to %sbe a key field for '%s'", i + 1,
                              s.fields[static_cast<size_t>(i)].name.c_str(), u"",
                              object->name.c_str());
            return objectError();
        }
    }
    const unsigned nkeys = static_cast<unsigned>(keys);
    ULLDObjOptions& o = object->options;
    // The nametab tables of the field rows keep their rows under a shorter key than the key
    // fields list: the "nkeys" of the file is that key and stays.
    const bool shortKey = object->name == u"DDNTF" || object->name == u"DDNTF_HIST";
    if (shortKey && o.nkeys > 0 && o.nkeys < nkeys) {
        s.npackedkeys = o.nkeys;
    } else if (o.nkeys > 0 && o.nkeys != nkeys) {
        UL_TRACE(UL_TRC_OBJ, 1, u"Correcting 'nkeys' from %d to %d for '%s' in line %d '%s'\n",
                 static_cast<int>(o.nkeys), keys, object->name.c_str(), m_optLine,
                 m_optText.c_str());
        o.nkeys = nkeys;
    } else {
        o.nkeys = nkeys;
    }
    s.nkeys = nkeys;
    if (object->attributes.clientPos > s.fields.size()) {
        ul_errorsetmsgfmt(0, u"Invalid client position %d for '%s'",
                          static_cast<int>(object->attributes.clientPos), object->name.c_str());
        return objectError();
    }
    return 0;
}

// ---- attributes -----------------------------------------------------------------------------

namespace {

// Positional data class and size category: "NATIV" and "-" stand for an empty value.
std::u16string positionalValue(const std::u16string& token, const char16_t* empty) {
    return token == empty ? std::u16string() : token;
}

int storeCode(const std::u16string& value) {
    if (value == u"column") return UL_ZDBSTORE_COLUMN;
    if (value == u"row") return UL_ZDBSTORE_ROW;
    return value == u"-" ? UL_ZDBSTORE_NONE : -1;
}

bool parseFeatures(const std::u16string& value, unsigned* features) {
    static constexpr struct {
        const char16_t* word;
        unsigned flag;
    } kFeatures[] = {{u"keymax", UL_DBFEATURE_KEYMAX},
                     {u"keylen", UL_DBFEATURE_KEYLEN},
                     {u"tablen", UL_DBFEATURE_TABLEN}};
    *features = 0;
    size_t start = 0;
    while (start <= value.size()) {
        const size_t comma = std::min(value.find(u',', start), value.size());
        const std::u16string word = value.substr(start, comma - start);
        bool known = false;
        for (const auto& f : kFeatures) {
            if (word == f.word) {
                *features |= f.flag;
                known = true;
            }
        }
        if (!known) return false;
        start = comma + 1;
    }
    return true;
}

int badAttributes() {
    ul_errorsetmsg(0, u"Invalid attributes");
    return UL_ERROR_RETURN(-1);
}

// Tokens 3 on of a positional table "att:" line.
int readPositionalTableAttributes(ULLDObjAttributes& a, LineScanner* scanner, unsigned version) {
    std::u16string token;
    if (scanner->value(&token) <= 0 || token.size() != 2) return badAttributes();
    a.bufState[0] = attributeChar(token, 0);
    a.bufState[1] = attributeChar(token, 1);
    if (scanner->value(&token) <= 0 || token.size() != 1) return badAttributes();
    a.tabClass = attributeChar(token, 0);
    if (version >= 8) {
        if (scanner->value(&token) <= 0 || token.empty() || token[0] != u'S')
            return badAttributes();
        if (token.size() > 1) {
            a.shrType = ul_ldobjshrtypecode(token.c_str() + 1);
            if (a.shrType < 0) return UL_ERROR_RETURN(-1);
        }
    }
    if (version >= 2) {
        if (scanner->value(&token) <= 0 || storeCode(token) < 0) return badAttributes();
        a.zdbStore = storeCode(token);
    }
    int rc = scanner->value(&token);
    if (rc > 0 && token == u"_temporary") {
        a.tempTable = true;
        rc = scanner->value(&token);
    }
    if (rc > 0 && token == u"pkey_invhash") {
        a.pkeyInvHash = true;
        rc = scanner->value(&token);
    }
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == 0) return 0;
    a.pkeyName = token;
    std::u16string tabart;
    std::u16string tabkat;
    if (scanner->value(&tabart) <= 0 || scanner->value(&tabkat) <= 0) return badAttributes();
    a.pkeyTabart = positionalValue(tabart, u"NATIV");
    a.pkeyTabkat = positionalValue(tabkat, u"-");
    return 0;
}

// Tokens 3 on of a positional index "att:" line.
int readPositionalIndexAttributes(ULLDObject* object, LineScanner* scanner) {
    std::u16string token;
    if (scanner->value(&token) <= 0 || (token != u"unique" && token != u"not_unique"))
        return badAttributes();
    object->index.unique = token == u"unique";
    int rc = scanner->value(&token);
    if (rc > 0 && token == u"_temporary") {
        object->attributes.tempTable = true;
        rc = scanner->value(&token);
    }
    if (rc > 0 && token == u"flexindex") {
        object->index.flexIndex = true;
        rc = scanner->value(&token);
    }
    if (rc > 0) return illegalPhrase(token, token, false);
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

}  // namespace

int ULLDObjBaseReader::readAttributes(ULLDObject* object, const char16_t* text) {
    ULLDObjAttributes& a = object->attributes;
    ULLDObjIndexAttributes& x = object->index;
    LineScanner scanner(m_file.line(), text, m_version < 9);
    std::u16string name;
    std::u16string value;
    if (m_version < 15) {
        // data class, size category, then for tables the positional rest
        if (scanner.value(&name) < 0 || scanner.value(&value) < 0) return UL_ERROR_RETURN(-1);
        a.tabart = positionalValue(name, u"NATIV");
        a.tabkat = positionalValue(value, u"-");
        if (object->kind == UL_LDOBJ_TABLE &&
            readPositionalTableAttributes(a, &scanner, m_version) < 0)
            return UL_ERROR_RETURN(-1);
        if (object->kind == UL_LDOBJ_INDEX && readPositionalIndexAttributes(object, &scanner) < 0)
            return UL_ERROR_RETURN(-1);
        if (!scanner.atEnd()) {
            ul_errorsetmsgfmt(0, u"Illegal phrase '%s'", scanner.rest());
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }
    for (;;) {
        bool hasValue = false;
        const int rc = scanner.phrase(&name, &value, &hasValue);
        if (rc <= 0) return rc;
        bool ok = true;
        if (!hasValue) {
            ok = false;
        } else if (name == u"tabart") {
            a.tabart = value;
        } else if (name == u"tabkat") {
            a.tabkat = value;
        } else if (name == u"temp_table" && object->kind != UL_LDOBJ_PRKEY) {
            ok = parseBoolean(value, &a.tempTable);
        } else if (object->kind == UL_LDOBJ_INDEX) {
            ok = (name == u"unique" && parseBoolean(value, &x.unique)) ||
                 (name == u"flexindex" && parseBoolean(value, &x.flexIndex));
        } else if (object->kind != UL_LDOBJ_TABLE) {
            ok = false;
        } else if (name == u"bufstate") {
            ok = value.size() == 2;
            a.bufState[0] = attributeChar(value, 0);
            a.bufState[1] = attributeChar(value, 1);
        } else if (name == u"tabclass") {
            ok = value.size() == 1;
            a.tabClass = attributeChar(value, 0);
        } else if (name == u"zdbstore") {
            a.zdbStore = storeCode(value);
            ok = a.zdbStore > 0;
        } else if (name == u"pkey_invhash") {
            ok = parseBoolean(value, &a.pkeyInvHash);
        } else if (name == u"shr_type") {
            a.shrType = ul_ldobjshrtypecode(value.c_str());
            if (a.shrType < 0) return UL_ERROR_RETURN(-1);
        } else if (name == u"loadunit") {
            a.loadUnit = value == u"page"     ? UL_LOADUNIT_PAGE
                         : value == u"column" ? UL_LOADUNIT_COLUMN
                                              : UL_LOADUNIT_NONE;
            ok = a.loadUnit != UL_LOADUNIT_NONE;
        } else if (name == u"data") {
            // carried by older writers; the model has no member for it
        } else if (name == u"pkey") {
            a.pkeyName = value;
        } else if (name == u"pkey_tabart") {
            a.pkeyTabart = value;
        } else if (name == u"pkey_tabkat") {
            a.pkeyTabkat = value;
        } else if (name == u"clientpos" && m_version >= 17) {
            ok = parseUnsigned(value, &a.clientPos) && a.clientPos > 0;
        } else if (name == u"dbfeature") {
            ok = parseFeatures(value, &a.dbFeatures);
        } else {
            ok = false;
        }
        if (!ok) return illegalPhrase(name, value, hasValue);
    }
}

int ULLDObjBaseReader::readPositionalField(ULLDObjField* field, const char16_t* text) {
    LineScanner scanner(m_file.line(), text);
    std::u16string token;
    if (scanner.value(&token) <= 0) return badField(field, nullptr);
    field->ddicType = ul_ldobjtype_string2ddic(token.c_str());
    if (field->ddicType < 0) return UL_ERROR_RETURN(-1);
    unsigned* numbers[] = {&field->length, &field->digits, &field->decimals};
    for (unsigned* number : numbers)
        if (scanner.value(&token) <= 0 || !parseUnsigned(token, number))
            return badField(field, token.c_str());
    if (scanner.value(&token) <= 0) return badField(field, nullptr);
    if (token == u"not_null") {
        field->notNull = true;
        if (scanner.value(&token) <= 0) return badField(field, nullptr);
    }
    if (m_version >= 11) {
        for (int i = 0; i < 2; ++i) {
            if (!parseOptional(token, &field->ntOffset[i])) return badField(field, token.c_str());
            if (scanner.value(&token) <= 0) return badField(field, nullptr);
        }
    }
    if (!parseUnsigned(token, &field->keyPos)) {
        ul_errorsetmsgfmt(0, u"Illegal value for key position for field '%s'", field->name.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (!scanner.atEnd()) return trailingGarbage(*field, scanner.rest());
    return 0;
}

int ULLDObjBaseReader::badField(const ULLDObjField* field, const char16_t* token) {
    if (token)
        ul_errorsetmsgfmt(0, u"Invalid value '%s' for field '%s'", token, field->name.c_str());
    else
        ul_errorsetmsgfmt(0, u"Incomplete definition of field '%s'", field->name.c_str());
    return UL_ERROR_RETURN(-1);
}

// ---- indexes and primary keys ---------------------------------------------------------------

int ULLDObjBaseReader::readIndex(ULLDObject* object, const char16_t* name) {
    return readKeyObject(object, name, UL_LDOBJ_INDEX);
}

int ULLDObjBaseReader::readKeyObject(ULLDObject* object, const char16_t* name, int kind) {
    if (readObjectHeader(object, kind) < 0) return UL_ERROR_RETURN(-1);
    object->name = name;
    unsigned allowed = bit(UL_LDSEC_ATT) | bit(UL_LDSEC_REF) | bit(UL_LDSEC_FLD);
    if (kind == UL_LDOBJ_INDEX) allowed |= bit(UL_LDSEC_INDATT);
    const int rc = readSections(allowed, [&](int section, const char16_t* text) {
        switch (section) {
            case UL_LDSEC_ATT:
                return readAttributes(object, text);
            case UL_LDSEC_REF:
                return readReferences(object, text);
            case UL_LDSEC_INDATT: {
                // kept as written: only the one blank after the keyword is dropped
                const char16_t* raw = m_file.line() + 7;
                object->index.indatt.emplace_back(isBlank(*raw) ? raw + 1 : raw);
                return 0;
            }
            default:
                return readFieldDefinition(object, text);
        }
    });
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return finishKeyObject(object);
}

// An index or primary key names its table in its one reference and lists its fields.
int ULLDObjBaseReader::finishKeyObject(ULLDObject* object) {
    if (object->references.count() != 1) {
        ul_errorsetmsgfmt(0, u"Invalid number %d for references",
                          static_cast<int>(object->references.count()));
        return objectError();
    }
    object->tableName = object->references.entry(0);
    object->references.clear();
    if (object->structure.checkFieldConsistency(UL_LDOBJ_INDEX, object->name.c_str()) < 0)
        return objectError();
    if (object->kind == UL_LDOBJ_PRKEY) {
        // a primary key is its table's key: its fields are the key fields in order
        unsigned position = 0;
        for (ULLDObjField& f : object->structure.fields) f.keyPos = ++position;
        object->structure.nkeys = position;
        object->options.nkeys = position;
    }
    return 0;
}

// ---- views and generic objects ----------------------------------------------------------------

namespace {

constexpr int kCreateRank = 7;
constexpr int kDropRank = 8;

// Rank of a keyword in the order of a view or generic block; keywords of one rank may repeat
// when repeatable.
int viewRank(int section, bool* repeatable) {
    *repeatable = false;
    switch (section) {
        case UL_LDSEC_OPT:
            return 1;
        case UL_LDSEC_TYP:
            return 2;
        case UL_LDSEC_LEVEL:
            return 3;
        case UL_LDSEC_CP:
            return 4;
        case UL_LDSEC_REF:
            *repeatable = true;
            return 5;
        case UL_LDSEC_FLD:
            *repeatable = true;
            return 6;
        case UL_LDSEC_CRESTM:
            *repeatable = true;
            return kCreateRank;
        case UL_LDSEC_DRPSTM:
            *repeatable = true;
            return kDropRank;
        case UL_LDSEC_QRY:
            return 9;
        default:
            return 10;
    }
}

bool isStatementSection(int section) {
    return section >= UL_LDSEC_CRESTM && section <= UL_LDSEC_VARQRY;
}

bool isCodePageChar(const std::u16string& text) {
    if (text.size() != 1) return false;
    const char16_t c = text[0];
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
}

}  // namespace

int ULLDObjBaseReader::readViewPart1(ULLDObject* object, const char16_t* name) {
    const int kind = m_objectSection == UL_LDSEC_OBJ ? UL_LDOBJ_GENERIC : UL_LDOBJ_VIEW;
    if (readObjectHeader(object, kind) < 0) return UL_ERROR_RETURN(-1);
    object->name = name;
    int lastRank = 0;
    const unsigned allowed = bit(UL_LDSEC_OPT) | bit(UL_LDSEC_TYP) | bit(UL_LDSEC_LEVEL) |
                             bit(UL_LDSEC_CP) | bit(UL_LDSEC_REF) | bit(UL_LDSEC_FLD) |
                             bit(UL_LDSEC_CRESTM) | bit(UL_LDSEC_DRPSTM) | bit(UL_LDSEC_QRY) |
                             bit(UL_LDSEC_VARQRY);
    const int rc = readSections(allowed, [&](int section, const char16_t* text) {
        if (isStatementSection(section)) return 1;
        bool repeatable = false;
        const int rank = viewRank(section, &repeatable);
        if (rank < lastRank || (rank == lastRank && !repeatable)) {
            ul_errorsetmsgfmt(0, u"Unexpected keyword \"%s\"", sectionKeyword(section));
            return UL_ERROR_RETURN(-1);
        }
        lastRank = rank;
        std::u16string value;
        LineScanner scanner(m_file.line(), text);
        switch (section) {
            case UL_LDSEC_OPT:
                return readOptions(object, text);
            case UL_LDSEC_REF:
                return readReferences(object, text);
            case UL_LDSEC_FLD:
                return readFieldDefinition(object, text);
            case UL_LDSEC_TYP: {
                if (scanner.value(&value) <= 0 || !scanner.atEnd()) {
                    ul_errorsetmsgfmt(0, u"Invalid object type '%s' found!", text);
                    return UL_ERROR_RETURN(-1);
                }
                for (const char16_t* type : kObjectTypes) {
                    if (value == type) {
                        object->objTypeName = value;
                        return 0;
                    }
                }
                ul_errorsetmsgfmt(0, u"Invalid object type '%s' found!", value.c_str());
                return UL_ERROR_RETURN(-1);
            }
            case UL_LDSEC_LEVEL: {
                long level = -1;
                if (scanner.value(&value) <= 0 || !scanner.atEnd() || !parseNumber(value, &level) ||
                    level < 0 || level > 0x7fffffff) {
                    ul_errorsetmsgfmt(0, u"Invalid object level %d for object '%s'",
                                      static_cast<int>(level), object->name.c_str());
                    return UL_ERROR_RETURN(-1);
                }
                object->level = static_cast<unsigned>(level);
                return 0;
            }
            default:
                if (!isCodePageChar(text)) {
                    ul_errorsetmsgfmt(0, u"Invalid code page '%s' for object '%s'", text,
                                      object->name.c_str());
                    return UL_ERROR_RETURN(-1);
                }
                object->codePage = text[0];
                return 0;
        }
    });
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int ULLDObjBaseReader::readStatements(ULLDObject* object, bool view) {
    int lastRank = 0;
    const unsigned allowed =
        bit(UL_LDSEC_CRESTM) | bit(UL_LDSEC_DRPSTM) | bit(UL_LDSEC_QRY) | bit(UL_LDSEC_VARQRY);
    const int rc = readSections(allowed, [&](int section, const char16_t*) {
        bool repeatable = false;
        const int rank = viewRank(section, &repeatable);
        if (section == UL_LDSEC_DRPSTM && view && object->createStatements.empty()) {
            ul_errorsetmsgfmt(0, u"Expected keyword '%s'", u"crestm:");
            return UL_ERROR_RETURN(-1);
        }
        if (lastRank == kCreateRank && rank > kDropRank) {
            ul_errorsetmsg(0, u"Expected keyword \"drpstm:\"");
            return UL_ERROR_RETURN(-1);
        }
        if (rank < lastRank || (rank == lastRank && !repeatable)) {
            ul_errorsetmsgfmt(0, u"Unexpected keyword \"%s\"", sectionKeyword(section));
            return UL_ERROR_RETURN(-1);
        }
        lastRank = rank;
        std::u16string statement;
        if (getSQLStatement(&statement) < 0) return UL_ERROR_RETURN(-1);
        switch (section) {
            case UL_LDSEC_CRESTM:
                object->createStatements.push_back(std::move(statement));
                break;
            case UL_LDSEC_DRPSTM:
                object->dropStatements.push_back(std::move(statement));
                break;
            case UL_LDSEC_QRY:
                object->query = std::move(statement);
                break;
            default:
                object->varQuery = std::move(statement);
                break;
        }
        return 0;
    });
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (lastRank == kCreateRank) {
        ul_errorsetmsg(0, u"Expected keyword \"drpstm:\"");
        return objectError();
    }
    if (!view) return 0;
    if (object->createStatements.empty()) {
        ul_errorsetmsg(0, u"Invalid view definition");
        return objectError();
    }
    if (object->query.empty()) {
        ul_errorsetmsgfmt(0, u"Missing query statement for view \"%s\"", object->name.c_str());
        return objectError();
    }
    return 0;
}

int ULLDObjBaseReader::readView(ULLDObject* object, const char16_t* name) {
    if (readViewPart1(object, name) < 0) return UL_ERROR_RETURN(-1);
    return readStatements(object, true);
}

int ULLDObjBaseReader::readGeneric(ULLDObject* object, const char16_t* name) {
    if (readViewPart1(object, name) < 0) return UL_ERROR_RETURN(-1);
    return readStatements(object, false);
}

int ULLDObjBaseReader::getSQLStatement(std::u16string* statement) {
    if (m_version >= 9) {
        LineScanner scanner(m_file.line(), m_content.c_str());
        if (scanner.value(statement) < 0) return UL_ERROR_RETURN(-1);
        if (!scanner.atEnd()) {
            ul_errorsetmsgfmt(0, u"Syntax error in l.%d '%s'", m_file.lineNumber(), m_file.line());
            return UL_ERROR_RETURN(-1);
        }
        return 0;
    }
    // Raw lines up to an empty line, a comment or a keyword line.
    *statement = m_content;
    for (;;) {
        const int rc = m_file.readLine();
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) {
            m_section = UL_LDSEC_NONE;
            m_content.clear();
            return 0;
        }
        const char16_t* line = m_file.line();
        if (!isContentLine(line)) break;
        const char16_t* word = skipBlanks(line);
        const size_t length = keywordLength(word);
        const bool wholeWord = word[length] == 0 || isBlank(word[length]);
        if (length > 0 && wholeWord && ul_ldobjsectionid(word, length) != UL_LDSEC_NONE) {
            if (parseSectionLine() < 0) return UL_ERROR_RETURN(-1);
            m_pushedBack = true;
            break;
        }
        statement->push_back(u'\n');
        statement->append(line);
    }
    return 0;
}

// ---- single objects ---------------------------------------------------------------------------

int ULLDObjBaseReader::readSingleObject(ULLDObject* object, const char16_t* file,
                                        const char16_t* name) {
    // "tab:NAME" asks for an object of that kind, a bare name for any kind.
    int wantedKind = UL_LDOBJ_NONE;
    for (int id = UL_LDSEC_TAB; id <= UL_LDSEC_OBJ; ++id) {
        if (ul_strncmp(name, sectionKeyword(id), 4) == 0) {
            wantedKind = objectKindOf(id);
            name = skipBlanks(name + 4);
        }
    }
    int rc = open(file);
    std::u16string found;
    while (rc >= 0) {
        rc = getNextObjName(&found);
        if (rc <= 0) break;
        if (found != name) continue;
        if (wantedKind != UL_LDOBJ_NONE && rc != wantedKind) {
            ul_errorsetmsgfmt(0, u"Invalid entry '%s' '%s' found", sectionKeyword(m_section),
                              found.c_str());
            rc = -1;
            break;
        }
        rc = readObject(object, found.c_str());
        if (rc == 0) {
            close();
            return 0;
        }
    }
    if (rc == 0) ul_errorsetmsgfmt(0, u"Object '%s' not found in STR files", name);
    ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Errors in '%s':", file);
    close();
    return UL_ERROR_RETURN(-1);
}

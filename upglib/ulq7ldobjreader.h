// The structure-file reader: walks the sections of a structure file, finds the objects in it
// and reads each into a ULLDObject. The object cache derives from it, so that it can record the
// position of every object it passes and later return to it.
//
// A structure file is a text file of lines: the version header ("ver:"), then one block per
// object, each opened by an object keyword ("tab:", "ind:", "vie:", "pky:", "obj:") and ended by
// the next one. Layout of every line and version: docs/structure-file.md.
//
// Errors set the error buffer (with the line number where known) and return -1; an object
// being read when an error occurs is partly filled and must not be used.
#pragma once

#include <string>

#include "ulq7ldobj.h"
#include "ultextfile.h"

// Highest and lowest format version the reader accepts (0: a file without "ver:").
constexpr unsigned UL_LDSTR_MINVERSION = 1;
constexpr unsigned UL_LDSTR_MAXVERSION = 18;

// Section ids, in the order of the keywords' table.
enum : int {
    UL_LDSEC_NONE = 0,
    UL_LDSEC_VER,     // "ver:"
    UL_LDSEC_TAB,     // "tab:"
    UL_LDSEC_IND,     // "ind:"
    UL_LDSEC_VIE,     // "vie:"
    UL_LDSEC_PKY,     // "pky:"
    UL_LDSEC_OBJ,     // "obj:"
    UL_LDSEC_DBS,     // "dbs:"
    UL_LDSEC_CRC,     // "crc:"
    UL_LDSEC_ATT,     // "att:"
    UL_LDSEC_OPT,     // "opt:"
    UL_LDSEC_REF,     // "ref:"
    UL_LDSEC_INDATT,  // "indatt:"
    UL_LDSEC_FLD,     // "fld:"
    UL_LDSEC_TYP,     // "typ:"
    UL_LDSEC_LEVEL,   // "level:"
    UL_LDSEC_CP,      // "cp:"
    UL_LDSEC_CRESTM,  // "crestm:"
    UL_LDSEC_DRPSTM,  // "drpstm:"
    UL_LDSEC_QRY,     // "qry:"
    UL_LDSEC_VARQRY,  // "varqry:"
};

// The section id of the keyword (colon included) that is the first length characters of word,
// or UL_LDSEC_NONE; sets no error text.
int ul_ldobjsectionid(const char16_t* word, size_t length);

// Flags of ULLDObjBaseReader::open.
enum : int {
    UL_LDREAD_NOVERSIONCHECK = 0x1,  // open without reading the version header
};

// Process-wide format flags (ul_ldobjsetformatflags).
enum : unsigned {
    // A field length that contradicts its type's fixed length is an error instead of a warning.
    UL_LDFMT_STRICTLENGTH = 0x1,
};
// Sets the process-wide format flags; returns the previous ones.
unsigned ul_ldobjsetformatflags(unsigned flags);
unsigned ul_ldobjgetformatflags();

class ULLDObjBaseReader {
  public:
    ULLDObjBaseReader() = default;
    virtual ~ULLDObjBaseReader() = default;
    ULLDObjBaseReader(const ULLDObjBaseReader&) = delete;
    ULLDObjBaseReader& operator=(const ULLDObjBaseReader&) = delete;

    // Opens a structure file and (unless UL_LDREAD_NOVERSIONCHECK) validates its version.
    // With UL_LDREAD_NOVERSIONCHECK the version header is read when getNextObjName or seek
    // first needs it, so that a reopened file can be positioned directly. Returns 0 or -1.
    int open(const char16_t* file, int flags = 0);
    int close();
    bool isOpen() const;

    // Reads the version header up to the first object: the version of "ver:", or 0 for a file
    // without it. Fails outside UL_LDSTR_MINVERSION..UL_LDSTR_MAXVERSION, for a version token
    // that is not a number, and for a file that holds nothing but the version. Returns 0 or -1.
    int validateVersion();
    unsigned version() const { return m_version; }

    // Reads the next section line, skipping comments and empty lines: returns its section id
    // (UL_LDSEC_*), 0 at the end of the file, -1 for an unknown keyword or a read error.
    // sectionContent() then holds the text after the keyword, leading blanks removed.
    int getNextSection();
    // The id of a keyword with its colon ("fld:"), or -1 with "Unknown section '%s'".
    static int getSectionID(const char16_t* keyword);
    const char16_t* sectionContent() const;

    // Walks to the next object keyword and returns the object's kind (UL_LDOBJ_*), 0 at the end
    // of the file, -1 on error; name receives the unescaped object name. objectOffset() and
    // objectLine() then give the position of the keyword's line, for seek().
    int getNextObjName(std::u16string* name);
    long objectOffset() const { return m_objectOffset; }
    int objectLine() const { return m_objectLine; }

    // Positions the reader on a line recorded by objectOffset()/objectLine() of the same file:
    // the next getNextObjName returns the object that starts there. Returns 0 or -1.
    int seek(long offset, int line);

    // Reads the object whose keyword getNextObjName returned last, up to the next object
    // keyword (which the next getNextObjName returns). Returns 0 or -1.
    int readObject(ULLDObject* object, const char16_t* name);

    // Opens file, finds the object name (with or without its name prefix) and reads it.
    // Returns 0, or -1 ("Errors in '%s':" ...).
    int readSingleObject(ULLDObject* object, const char16_t* file, const char16_t* name);

    const char16_t* fileName() const;
    // Number of the line read last.
    int lineNumber() const;

  protected:
    int readTablePart1(ULLDObject* object, const char16_t* name);
    int readTablePart2(ULLDObject* object);
    int readIndex(ULLDObject* object, const char16_t* name);
    int readView(ULLDObject* object, const char16_t* name);
    int readViewPart1(ULLDObject* object, const char16_t* name);
    int readGeneric(ULLDObject* object, const char16_t* name);
    int readFieldDefinitions(ULLDObject* object);
    int readOptions(ULLDObject* object, const char16_t* text);
    int readFieldDefinition(ULLDObject* object, const char16_t* text);
    // Reads the statement of a "crestm:", "drpstm:", "qry:" or "varqry:" section.
    int getSQLStatement(std::u16string* statement);

    // Reads the lines of an object after its keyword up to the next object keyword (left for
    // getNextObjName) or the end of the file, handing each section to handler(id, content);
    // keywords not in allowed (a bit per UL_LDSEC_* id) fail with "Unexpected keyword \"%s\"".
    // A handler returns 0 to go on, 1 to leave its line for the next reader, -1 on error (the
    // line's number and text are then appended to the error text).
    template <class Handler>
    int readSections(unsigned allowed, Handler&& handler);
    // Sets the error text of a line that cannot be read and appends where it is.
    int lineError(const char16_t* format, ...);
    // Appends the line number and text of the current line to the error text.
    int failAtLine();

    ULTextFileReader m_file;
    unsigned m_version = 0;
    long m_objectOffset = -1;
    int m_objectLine = 0;

  private:
    // The public readers of the same name, which run these so that running out of memory
    // becomes an error return.
    int getNextSectionImpl();
    int validateVersionImpl();
    int getNextObjNameImpl(std::u16string* name);
    // Parses the current line as a section line into m_section and m_content.
    int parseSectionLine();
    // Whether a line is neither empty (blanks only) nor a comment.
    static bool isContentLine(const char16_t* line);
    // Reads the version header first when open() skipped it.
    int ensureVersion();
    // An index or primary key block.
    int readKeyObject(ULLDObject* object, const char16_t* name, int kind);
    int readDatabases(ULLDObject* object, const char16_t* text);
    int readAttributes(ULLDObject* object, const char16_t* text);
    int readReferences(ULLDObject* object, const char16_t* text);
    int readNamedField(ULLDObjField* field, const char16_t* text);
    int readPositionalField(ULLDObjField* field, const char16_t* text);
    // A missing (token null) or malformed positional field value.
    static int badField(const ULLDObjField* field, const char16_t* token);
    int checkTable(ULLDObject* object);
    int finishKeyObject(ULLDObject* object);
    int readObjectHeader(ULLDObject* object, int kind);
    int readStatements(ULLDObject* object, bool view);
    // Appends the keyword line of the object being read to the error text.
    int objectError();

    bool m_versionKnown = false;
    int m_section = UL_LDSEC_NONE;        // id of the line read last
    std::u16string m_content;             // its text after the keyword
    bool m_pushedBack = false;            // getNextSection returns the line read last again
    int m_objectSection = UL_LDSEC_NONE;  // keyword of the object getNextObjName returned
    bool m_objectPending = false;         // ... and readObject has not read it yet
    std::u16string m_objectName;
    int m_optLine = 0;  // the "opt:" line of the table being read, for the nkeys notice
    std::u16string m_optText;
};

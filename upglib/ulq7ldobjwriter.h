// The structure-file writer: writes load objects in any format version from 0 to 18, the
// version header first. Layout of every line and version: docs/structure-file.md.
// Errors set the error buffer and return -1.
#pragma once

#include <string>

#include "ulq7ldobj.h"
#include "ultextfile.h"

// Highest format version the writer can produce.
constexpr unsigned UL_LDSTR_WRITEVERSION = 18;

// Flags of ULLDObjWriter::open.
enum : int {
    UL_LDWRITE_CRC = 0x1,  // write the "crc:" line of every object
};

// The checksum of the "crc:" line: CRC-32 over the object kind (big-endian, 32 bits), the name,
// the table name of an index or primary key and the database list; it identifies a
// definition, not its content. Returns it (0 to 0xFFFFFFFF), or -1 for a database type without
// code ("Unknown database type ...").
long ul_ldobjchecksum(const ULLDObject& object);

class ULLDObjWriter {
  public:
    ULLDObjWriter() = default;
    ULLDObjWriter(const ULLDObjWriter&) = delete;
    ULLDObjWriter& operator=(const ULLDObjWriter&) = delete;

    // Creates file and writes the version header. A version above UL_LDSTR_WRITEVERSION fails
    // with "STR version %d not supported by this Q7ldctl". Returns 0 or -1.
    int open(const char16_t* file, unsigned version, int flags = 0);
    // The same on a stream the caller keeps owning.
    int attach(FILE* stream, const char16_t* name, unsigned version, int flags = 0);
    // Writes one object block. Returns 0 or -1.
    int writeObject(const ULLDObject& object);
    int close();

    unsigned version() const { return m_version; }

  private:
    int checkVersion(unsigned version);
    int start(unsigned version, int flags);

    int writeHeader(const ULLDObject& object);
    int writeTable(const ULLDObject& object);
    int writeTableAttributes(const ULLDObject& object);
    int writeTableOptions(const ULLDObject& object);
    int writeField(const ULLDObject& object, const ULLDObjField& field);
    int writeFieldNames(const ULLDObject& object);
    int writeTableRef(const ULLDObject& object);
    int writeReferences(const ULLDObject& object);
    int writeIndex(const ULLDObject& object);
    int writePrimaryKey(const ULLDObject& object);
    int checkObjectType(const ULLDObject& object);
    int writeView(const ULLDObject& object);
    int writeStatement(const char16_t* keyword, const std::u16string& statement,
                       const ULLDObject& object);

    // Appending to the block of the object being written; writeObject hands the whole block to
    // the file at once, so that a refused object leaves nothing behind.
    void put(const char16_t* text);
    void put(const std::u16string& text);
    void putChar(char16_t c);
    // Blanks up to width code units counted from start.
    void pad(size_t start, size_t width);
    // Decimal, right-aligned in width columns.
    void putNumber(long value, size_t width);
    // A nametab offset like putNumber; a missing one (negative) as "-", right-aligned likewise.
    void putOffset(int offset, size_t width);
    void putPhrase(const char16_t* phrase, long value);
    void putPhrase(const char16_t* phrase, const char16_t* value);
    void putPositionalClass(const std::u16string& tabart, const std::u16string& tabkat,
                            bool padTabkat);
    // Data class and size category as named phrases, each only when not empty.
    void putNamedClass(const char16_t* tabartPhrase, const std::u16string& tabart,
                       const char16_t* tabkatPhrase, const std::u16string& tabkat);
    // The two buffering characters, "?" for a missing one.
    void putBufState(const ULLDObjAttributes& attributes);
    int putShareType(const char16_t* phrase, int code);
    // Ends a line begun at start whose phrases begin at contentStart, or removes it when it
    // got none.
    void endOptionalLine(size_t start, size_t contentStart);
    void putLengthPair(const char16_t* phrase, const int (&value)[2]);
    // A name as the version writes names (raw below 9, escaped from 9); -1 for a name the
    // version cannot write.
    int putName(const std::u16string& name, const ULLDObject& object);
    int putEscaped(const std::u16string& text, bool forceQuotes);
    int flushBlock();

    ULTextFileWriter m_file;
    unsigned m_version = 0;
    int m_flags = 0;
    std::u16string m_block;   // reused: grows to the largest object, never shrinks
    std::u16string m_escape;  // reused buffer of the escaper
};

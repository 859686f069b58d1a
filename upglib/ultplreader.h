// The template reader: a template file is a sequence of named sections, each with an optional
// argument and lines of content. It is read through the command-file line preprocessor
// (ulpreproc.h), so #if/#elseif/#else/#endif, #include and #include_opt work in it and macro
// calls are replaced in every line when a macro provider is given. The file is streamed one
// line at a time; only the section being returned is held in memory.
//
// Layout:
//   # text                  a comment: any line with "#" in column 1 that is no directive
//   NAME{ARGUMENT}: TEXT    a section line: it starts in column 1 with anything but white space
//                           and "#"
//       content             content lines: every line that starts with white space, up to the
//       ...                 next section line
//
// Section lines:
// - NAME runs up to the first white space, "{", "}" or ":"; it may not be empty.
// - The argument is optional. It follows the name (white space may stand between them) and is
//   returned as the text between the braces without white space around it; quotes are kept.
//   Inside the braces, text in single or double quotes may hold braces and colons, and a
//   backslash inside quotes takes the next character as it is. Only one argument is allowed
//   ("Duplicate '{' section argument in  '%s'", "Duplicate '}' section argument in  '%s'"); a
//   "}" before any "{" is "Unmatched closing '}' in  '%s'"; a line that ends inside the braces
//   or a quote is "Unclosed quote or bracket in line '%s'".
// - ":" must follow the name or the argument ("Missing ':' in '%s'"). Text after it, without
//   white space around it, is the section's first content line when it is not empty.
// - A section line that ends with a backslash continues on the next line: the backslash is
//   removed and the next line is appended as it is. Content lines never continue.
//
// Content lines:
// - Their line ends are removed. The indentation of the first content line of a section is
//   removed from every content line of it, as far as that line begins with white space, so
//   that relative indentation stays (UL_TPL_KEEPINDENT keeps the lines as they are).
// - Empty or blank lines between content lines are kept as empty lines; those at the end of
//   a section are dropped. A content line before the first section line is an error
//   ("Content outside a section in '%s'").
//
// Section types come from a table of known names that the caller passes (names compared
// ignoring case). A name that is not in it has type 0, or is skipped or refused as the flags
// of getNext ask.
//
// Errors return -1 with the reason in the error buffer; errors in a line are followed by
// "Error in line %d of '%s'" naming the line and its file.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "ulpreproc.h"

class ULMacroProvider;

// A known section name and its type (a positive number the caller chooses).
struct ul_tplsectiondef_t {
    const char16_t* name;
    int type;
};

// Flags of ULTPLReader::getNext.
enum : int {
    UL_TPL_REFUSEUNKNOWN = 1,  // a name not in the table fails with "Unknown section '%s'"
    UL_TPL_SKIPUNKNOWN = 2,    // sections with names not in the table are passed over
    UL_TPL_NOCONTENT = 4,      // content lines are read over, not collected (for indexing)
    UL_TPL_KEEPINDENT = 8,     // content lines keep their indentation
};

// One section as getNext returns it.
struct ULTPLSection {
    std::u16string name;
    int type = 0;  // from the table of known names, 0 for an unknown name
    bool hasArgument = false;
    std::u16string argument;
    std::vector<std::u16string> lines;  // content lines
    // Where the section line is: its file (the template or an included file), line number
    // and byte offset there, and its include depth (0: the template file itself).
    std::u16string file;
    int line = 0;
    long offset = -1;
    int includeLevel = 0;

    void clear();
};

class ULTPLReader {
  public:
    // sections: count known section names; the table is not copied and must outlive the
    // reader. provider (may be null) replaces macro calls in every line and in #if conditions.
    ULTPLReader(const ul_tplsectiondef_t* sections = nullptr, size_t count = 0,
                ULMacroProvider* provider = nullptr)
        : m_sections(sections), m_sectionCount(count), m_provider(provider) {}
    ~ULTPLReader();
    ULTPLReader(const ULTPLReader&) = delete;
    ULTPLReader& operator=(const ULTPLReader&) = delete;

    // Include directories (ulpreproc.h) and ul_macroreplace flags for the lines; both hold
    // for every later open.
    int addIncludePath(const char16_t* directory);
    void setMacroFlags(int flags) { m_stack.macroFlags = flags; }

    // Opens a template file (closing one that is open) and positions on its first line.
    // flags: UL_FILE_NOMSG (ulfile.h). Returns 0 or -1.
    int open(const char16_t* file, int flags = 0);
    // Closes the file; the reader can be opened again.
    void close();

    // Reads the next section into *section. Returns 1 for a section, 0 after the last one
    // (failing with "Condition level %d at the end of the file" when an #if is still open),
    // -1 on error. flags: UL_TPL_*.
    int getNext(ULTPLSection* section, int flags = 0);

    // Returns to the start of a section read before, given by its offset and line: the next
    // getNext returns that section again. Only sections of the template file itself
    // (includeLevel 0) can be returned to; offset 0 with line 1 is the start of the file.
    // The #if state of a remembered section is restored; any other position is taken to lie
    // outside every #if. Returns 0 or -1.
    int seek(long offset, int line);

    // The type of a section name from the table, 0 when it is unknown.
    int sectionType(const char16_t* name) const;
    const char16_t* fileName() const { return m_fileName.c_str(); }

  private:
    // A section line read ahead: it ends the section before it.
    struct HeaderLine {
        bool valid = false;
        std::u16string text;
        std::u16string file;
        int line = 0;
        long offset = 0;
        int includeLevel = 0;
    };

    int reopen(int flags);
    int readLine(bool* eof);
    int readHeader(HeaderLine* header, bool* eof);
    int continueHeader(HeaderLine* header);
    int parseHeader(const HeaderLine& header, ULTPLSection* section, int flags);
    int readContent(ULTPLSection* section, int flags, bool* eof);
    int atEnd();
    int lineError(const std::u16string& file, int line);
    void rememberLevels(long offset);

    const ul_tplsectiondef_t* m_sections;
    size_t m_sectionCount;
    ULMacroProvider* m_provider;

    ul_preprocstack_t m_stack;
    std::vector<std::u16string> m_includePaths;
    std::u16string m_fileName;
    char16_t* m_buffer = nullptr;  // readLine buffer of the preprocessor
    size_t m_bufferSize = 0;
    HeaderLine m_next;   // the section line that ends the section returned last
    bool m_eof = false;  // the end of the file was reached
    // #if state (ul_preprocstack_t::levels) at the section lines of the template file that
    // lie inside an #if, by byte offset: seek() restores it.
    std::unordered_map<long, std::vector<ul_preproclevel_t>> m_levelsAt;
};

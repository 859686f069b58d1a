// The line preprocessor of command files: reads UTF-8 text files line by line as UTF-16 and
// applies the directives
//     #if COND / #elseif COND / #else / #endif     conditional sections (COND: an expression
//                                                 after macro replacement, see ulexpr.h)
//     #include NAME / #include_opt NAME           the lines of another file (the optional
//     !include NAME / !include_opt NAME           form skips a missing one; "!" is outdated)
// Every other line that starts with "#" is a comment. Directive words are matched ignoring
// case; a name may be written in double quotes.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

class ULMacroProvider;

constexpr int UL_PREPROC_MAXFILES = 10;         // open files, the outermost one included
constexpr int UL_PREPROC_MAXINCLUDEDEPTH = 8;   // nested include lines
constexpr int UL_PREPROC_MAXINCLUDEPATHS = 10;  // include directories
constexpr int UL_PREPROC_MAXLEVELS = 20;        // nested #if
constexpr size_t UL_PREPROC_LINESTEP = 2048;    // the line buffer grows in steps of this many

// Flags of readLine.
enum : int {
    UL_PREPROC_MACROS = 1,     // replace macro calls in every line handed out (needs a provider)
    UL_PREPROC_TRIMEOL = 2,    // remove the line end ("\n" or "\r\n")
    UL_PREPROC_SKIPBLANK = 4,  // skip lines that hold nothing but white space
    // Lines that are consumed (directives, comments, skipped sections) come back as empty
    // lines, so that the caller's line count matches the file's. Wins over UL_PREPROC_SKIPBLANK.
    UL_PREPROC_KEEPLINES = 8,
};

// Flags of deinit.
enum : int {
    UL_PREPROC_NOCHECK = 1,  // do not complain about open #if sections
};

// Is told about every include line that is acted on.
class ULPreprocIncludeHandler {
  public:
    virtual ~ULPreprocIncludeHandler() = default;
    // name as written; path is the file opened, or null when an optional file is missing and
    // skipped. Returns -1 (error buffer set) to make readLine fail.
    virtual int handleInclude(const char16_t* name, const char16_t* path) = 0;
};

struct ul_preprocfile_t {
    FILE* stream = nullptr;
    std::u16string name;
    int line = 0;     // number of the line read last (0 before the first)
    long offset = 0;  // byte offset where that line starts
};

struct ul_preproclevel_t {
    bool active;  // lines of the current branch are handed out
    bool taken;   // a branch of this level was active already (or the enclosing one is not)
};

// The file stack, include directories and #if levels of one preprocessed read. Failures
// return -1 with the reason in the error buffer; readLine adds "Error in line %d of '%s'"
// naming the line that failed.
struct ul_preprocstack_t {
    ul_preprocfile_t files[UL_PREPROC_MAXFILES];
    int fileCount = 0;
    std::u16string includePaths[UL_PREPROC_MAXINCLUDEPATHS];
    int includePathCount = 0;
    ul_preproclevel_t levels[UL_PREPROC_MAXLEVELS];
    int levelCount = 0;
    // Flags for ul_macroreplace on lines, conditions and include names.
    int macroFlags = 0;

    ul_preprocstack_t() = default;
    ul_preprocstack_t(const ul_preprocstack_t&) = delete;
    ul_preprocstack_t& operator=(const ul_preprocstack_t&) = delete;
    ~ul_preprocstack_t() { deinit(UL_PREPROC_NOCHECK); }

    // Opens a file on top of the stack; its lines come next. flags: UL_FILE_NOMSG (ulfile.h).
    int fopen(const char16_t* name, int flags = 0);

    // Include names are looked up as directory + "/" + name in the order the directories were
    // added; without directories (or for an absolute name) the name is used as written.
    int addIncludePath(const char16_t* directory);

    // Reads the next line into *buffer, a malloc'ed buffer of *size code units that grows as
    // needed (both may start as null / 0; the caller frees it). Returns 1 for a line, 0 when
    // the outermost file is done, -1 on error. provider and handler may be null.
    int readLine(char16_t** buffer, size_t* size, ULMacroProvider* provider,
                 ULPreprocIncludeHandler* handler, int flags);

    // Continues reading file number file (0 is the outermost) at byte offset position, a
    // line start that has line number line; the files above it are closed. #if levels are
    // left as they are, so a position must lie at the same conditional level.
    int fseek(long position, int file, int line);

    // Closes all files and forgets directories and levels; -1 with "Condition level %d at
    // the end of the file" when #if sections are still open (unless UL_PREPROC_NOCHECK).
    int deinit(int flags = 0);

    // The innermost open file, the number and byte offset of the line read from it last
    // (null / 0 when no file is open).
    const char16_t* fileName() const {
        return fileCount ? files[fileCount - 1].name.c_str() : nullptr;
    }
    int lineNumber() const { return fileCount ? files[fileCount - 1].line : 0; }
    long lineOffset() const { return fileCount ? files[fileCount - 1].offset : 0; }

  private:
    enum class Step { Deliver, Consumed, Failed };
    int nextLine(char16_t** buffer, size_t* size, ULMacroProvider* provider,
                 ULPreprocIncludeHandler* handler, int flags);
    int readPhysical(ul_preprocfile_t* file, std::u16string* line);
    Step handleDirective(const std::u16string& line, ULMacroProvider* provider,
                         ULPreprocIncludeHandler* handler, int flags);
    Step handleCondition(const std::u16string& line, const std::u16string& word,
                         const char16_t* rest, ULMacroProvider* provider);
    Step handleInclude(const char16_t* rest, bool optional, ULMacroProvider* provider,
                       ULPreprocIncludeHandler* handler, int flags);
    int evaluateCondition(const std::u16string& line, const char16_t* condition,
                          ULMacroProvider* provider);
    bool active() const { return levelCount == 0 || levels[levelCount - 1].active; }
    void closeTop();

    std::string m_raw;  // the bytes of a physical line
};

#include "ulsqlwherefile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ulerror.h"
#include "ulfile.h"
#include "ulmacro.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlbase2.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultrace.h"


namespace {

unsigned long ul(ul_dbrowcount_t n) {
    return static_cast<unsigned long>(n);
}

}  // namespace

// ==== where files ===============================================================================

namespace {

// Files written by this process, each with its single-byte flag; later blocks are appended.
std::map<std::u16string, bool>& writtenFiles() {
    static std::map<std::u16string, bool> files;
    return files;
}

// The first line of a file written one byte per character. It is a comment to every reader
// of where files; this one reads the rest of the file byte by byte when it finds it.
constexpr char16_t kSingleByteMark[] = u"# where file with one byte per character (ISO-8859-1)";

// Where-file syntax rather than condition text, when a line starts (behind blanks) with it.
bool isFileSyntax(std::u16string_view text) {
    for (const char16_t* prefix : {u"#", u"/*", u"tab:", u"cnt:", u"opt:"})
        if (text.substr(0, std::char_traits<char16_t>::length(prefix)) == prefix) return true;
    return false;
}

// White space and every control character: written as a blank outside quotes.
bool isBlank(char16_t c) {
    return c != 0 && c <= 32;
}

// The condition as it is written behind "WHERE ", and read back: runs of white space and
// control characters outside quotes ('...', "...") become one blank, quoted text is kept as it
// is, and a "--" comment ends its line, so the rest follows on a line of its own. A condition
// that would not read back as this text is refused (why says the reason): a line break or no
// end inside quotes, or a line behind a comment that reads as where-file syntax.
bool writtenCondition(const char16_t* condition, std::u16string* out, const char16_t** why) {
    bool blank = false;
    bool comment = false;  // inside "/* */": quotes and "--" are no syntax there
    for (const char16_t* p = condition; *p;) {
        const char16_t c = *p;
        if (isBlank(c)) {
            blank = !out->empty() && out->back() != u'\n';
            ++p;
            continue;
        }
        if (blank) out->push_back(u' ');
        blank = false;
        if (comment) {
            comment = !(c == u'*' && p[1] == u'/');
            out->push_back(*p++);
            if (!comment) out->push_back(*p++);
        } else if (c == u'/' && p[1] == u'*') {
            comment = true;
            out->append(p, 2);
            p += 2;
        } else if (c == u'\'' || c == u'"') {
            const char16_t* end = p + 1;
            while (*end && *end != c) {
                if (*end == u'\n' || *end == u'\r') {
                    *why = u"holds a line break inside quotes";
                    return false;
                }
                ++end;
            }
            if (!*end) {
                *why = u"holds a quote without its end";
                return false;
            }
            out->append(p, ++end);
            p = end;
        } else if (c == u'-' && p[1] == u'-') {
            for (; *p && *p != u'\n' && *p != u'\r'; ++p) out->push_back(isBlank(*p) ? u' ' : *p);
            while (out->back() == u' ') out->pop_back();
            while (isBlank(*p)) ++p;
            if (!*p) break;
            if (isFileSyntax(p)) {
                *why = u"has a line behind a \"--\" comment that reads as where-file syntax";
                return false;
            }
            out->push_back(u'\n');
        } else {
            out->push_back(c);
            ++p;
        }
    }
    return true;
}

// One block of the file; -1 when the condition cannot be written so that it reads back.
int whereBlock(const char16_t* table, const ul_tablesegment_t& segment, bool native, int flags,
               const char16_t* file, std::u16string* block) {
    std::u16string condition;
    const char16_t* why = nullptr;
    if (!writtenCondition(segment.condition(), &condition, &why)) {
        ul_errorsetmsgfmt(
            0, u"Where condition '%s' for '%s' %s and cannot be written to where file '%s'",
            ul_stringprintable(segment.condition(), UL_PRINTABLE_BACKSLASH).c_str(), table, why,
            file);
        return UL_ERROR_RETURN(-1);
    }
    // "WHERE" alone reads as no condition at all.
    if (condition.empty()) {
        ul_errorsetmsgfmt(0, u"Empty where condition for '%s' cannot be written to where file '%s'",
                          table, file);
        return UL_ERROR_RETURN(-1);
    }
    *block = ul_format(u"tab: %s\n", table);
    if (native) *block += u"opt: native\n";
    if (segment.rows != UL_DBROWCOUNT_INVALID && !(flags & UL_WHEREFILE_NOCNTLINES))
        *block += ul_format(u"cnt: %lu\n", ul(segment.rows));
    *block += u"WHERE " + condition + u"\n\n";
    return 0;
}

// The reader takes the name of a "tab:" line up to the line end, without the blanks around it,
// so a name with a control character (a line feed would start a block of its own) or with a
// blank at either end cannot be written: such a name is refused rather than changed.
int checkTableName(const char16_t* table, const char16_t* file, int flags) {
    const char16_t* why = nullptr;
    const size_t n = ul_strlen(table);
    if (n == 0) {
        why = u"is empty";
    } else if (table[0] == u' ' || table[n - 1] == u' ') {
        why = u"starts or ends with a blank";
    } else {
        for (size_t i = 0; i < n && !why; ++i) {
            if (table[i] < 32 || table[i] == 127) why = u"holds a control character";
            if (table[i] > 255 && (flags & UL_WHEREFILE_SINGLEBYTE)) {
                ul_errorsetmsgfmt(0, u"Invalid byte %d found in table name '%s'",
                                  static_cast<int>(table[i]), table);
                return UL_ERROR_RETURN(-1);
            }
        }
    }
    if (!why) return 0;
    ul_errorsetmsgfmt(0, u"Table name '%s' %s and cannot be written to where file '%s'",
                      ul_stringprintable(table, UL_PRINTABLE_BACKSLASH).c_str(), why, file);
    return UL_ERROR_RETURN(-1);
}

int singleByteCheck(const char16_t* condition) {
    for (const char16_t* p = condition; *p; ++p) {
        if (*p > 255) {
            ul_errorsetmsgfmt(0, u"Invalid byte %d found in where clause '%s'",
                              static_cast<int>(*p), condition);
            return UL_ERROR_RETURN(-1);
        }
    }
    return 0;
}

// Writes one block, one byte per character, and hands it to the system.
int writeSingleByte(FILE* stream, const std::u16string& text, const std::u16string& file) {
    std::string bytes(text.begin(), text.end());  // checked: every character is below 256
    if (fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size() || fflush(stream) != 0) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write to '%s'", file.c_str());
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// Writes blocks to one file, created or appended to. Where files tell a controller how far a
// run got, so every block goes to the system as soon as it is written: a run that dies leaves
// whole blocks behind, and at most a last block cut short, which the reader refuses.
int writeBlocks(const std::u16string& file, const std::u16string* blocks, size_t n, int flags,
                bool* appended) {
    const bool singleByte = flags & UL_WHEREFILE_SINGLEBYTE;
    const auto written = writtenFiles().find(file);
    const bool append = written != writtenFiles().end();
    // A file holds one encoding, so that its reader can know it from the first line.
    if (append && written->second != singleByte) {
        ul_errorsetmsgfmt(0, u"Cannot append to where file '%s' in another encoding", file.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (singleByte) {
        ULFileHandle stream(ul_filefopen(file.c_str(), append ? u"a" : u"w", 0));
        if (!stream) return UL_ERROR_RETURN(-1);
        if (!append &&
            writeSingleByte(stream.get(), std::u16string(kSingleByteMark) + u"\n", file) < 0)
            return UL_ERROR_RETURN(-1);
        for (size_t i = 0; i < n; ++i)
            if (writeSingleByte(stream.get(), blocks[i], file) < 0) return UL_ERROR_RETURN(-1);
        if (stream.closeChecked(file.c_str()) < 0) return UL_ERROR_RETURN(-1);
    } else {
        ULTextFileWriter writer;
        if (writer.open(file.c_str(), UL_TEXT_FLUSHLINES | (append ? UL_TEXT_APPEND : 0)) < 0)
            return UL_ERROR_RETURN(-1);
        for (size_t i = 0; i < n; ++i)
            if (writer.write(blocks[i].c_str(), blocks[i].size()) < 0) return UL_ERROR_RETURN(-1);
        if (writer.close() < 0) return UL_ERROR_RETURN(-1);
    }
    writtenFiles()[file] = singleByte;
    if (appended) *appended = append;
    return 0;
}

}  // namespace

int ul_sqlwritewherefile(const char16_t* file, const char16_t* table,
                         const ULTableSplit* conditions, int flags, bool* appended) {
    return ul_guarded([&]() -> int {
        if (checkTableName(table, file, flags) < 0) return UL_ERROR_RETURN(-1);
        // Every block is checked before the first byte is written.
        std::vector<std::u16string> blocks;
        for (const ul_tablesegment_t& s : *conditions) {
            if ((flags & UL_WHEREFILE_SINGLEBYTE) && singleByteCheck(s.condition()) < 0)
                return UL_ERROR_RETURN(-1);
            blocks.emplace_back();
            if (whereBlock(table, s, conditions->native, flags, file, &blocks.back()) < 0)
                return UL_ERROR_RETURN(-1);
        }
        const int n = static_cast<int>(blocks.size());
        if (!ul_strchr(file, u'%'))
            return writeBlocks(file, blocks.data(), blocks.size(), flags, appended) < 0
                       ? UL_ERROR_RETURN(-1)
                       : n;
        for (int i = 0; i < n; ++i) {
            std::u16string name = file;
            const std::u16string number = ul_format(u"%d", i + 1);
            for (size_t pos = name.find(u'%'); pos != std::u16string::npos;
                 pos = name.find(u'%', pos + number.size()))
                name.replace(pos, 1, number);
            if (writeBlocks(name, &blocks[i], 1, flags, appended) < 0) return UL_ERROR_RETURN(-1);
        }
        return n;
    });
}

void ul_sqlwherefilesforget() {
    writtenFiles().clear();
}

namespace {

// One line of a stream read one byte per character, without its line feed, every byte kept
// (a NUL included, so that the caller can refuse it rather than read a shortened line); lines
// are bounded as the text reader bounds them. UL_LINE_* or -1.
int readSingleByteLine(FILE* stream, const char16_t* file, int lineNumber, std::string* bytes,
                       std::u16string* line) {
    const int rc = ul_filereadlinebytes(stream, *bytes, UL_FILE_MAXLINEBYTES);
    if (rc < 0) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read '%s'", file);
        return UL_ERROR_RETURN(-1);
    }
    if (rc == UL_LINE_TOOLONG) {
        ul_errorsetmsgfmt(0, u"Line %d of '%s' is longer than %lu bytes", lineNumber, file,
                          static_cast<unsigned long>(UL_FILE_MAXLINEBYTES));
        return UL_ERROR_RETURN(-1);
    }
    if (rc == UL_LINE_COMPLETE) bytes->pop_back();
    line->clear();
    for (const unsigned char byte : *bytes) line->push_back(byte);
    return rc;
}

// 1 when the file's bytes are UTF-8 throughout, 0 when not (a file written one byte per
// character before such files were marked), -1 when it cannot be read.
int isUtf8File(const char16_t* file) {
    ULFileHandle stream(ul_filefopen(file, u"rb", 0));
    if (!stream) return UL_ERROR_RETURN(-1);
    std::string bytes;
    std::u16string line;
    for (int number = 1;; ++number) {
        const int rc = readSingleByteLine(stream.get(), file, number, &bytes, &line);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == UL_LINE_EOF) return 1;
        if (ul_utf8invalidoffset(bytes.data(), bytes.size()) >= 0) return 0;
    }
}

// The lines of a where file, decoded from UTF-8 or taken one byte per character.
class WhereLines {
  public:
    int open(const char16_t* file, bool singleByte) {
        singleByte_ = singleByte;
        file_ = file;
        number_ = 0;
        if (!singleByte) return text_.open(file);
        raw_ = ULFileHandle(ul_filefopen(file, u"rb", 0));
        return raw_ ? 0 : UL_ERROR_RETURN(-1);
    }
    // 1 with the next line (trailing white space removed), 0 at the end, -1 on error.
    int next() {
        if (!singleByte_) {
            const int rc = text_.readLine();
            if (rc <= 0) return rc;
            line_.assign(text_.line(), text_.length());
            number_ = text_.lineNumber();
            incomplete_ = text_.lastLineIncomplete();
        } else {
            const int rc = readSingleByteLine(raw_.get(), file_, number_ + 1, &bytes_, &line_);
            if (rc <= 0) return rc;
            ++number_;
            incomplete_ = rc == UL_LINE_INCOMPLETE;
        }
        // Cutting the line at a NUL character would silently change its condition or name.
        if (line_.find(u'\0') != std::u16string::npos) {
            std::u16string shown;
            for (char16_t c : line_) {
                if (c)
                    shown.push_back(c);
                else
                    shown += u"\\0";
            }
            ul_errorsetmsgfmt(0, u"Syntax error in line %d '%s'", number_, shown.c_str());
            return UL_ERROR_RETURN(-1);
        }
        line_.resize(ul_stringtrimtail(line_.data()));
        return 1;
    }
    std::u16string& line() { return line_; }
    int lineNumber() const { return number_; }
    // The line was ended by the end of the file, not by a line feed.
    bool incomplete() const { return incomplete_; }

  private:
    bool singleByte_ = false;
    ULTextFileReader text_;
    ULFileHandle raw_;
    const char16_t* file_ = nullptr;  // the caller's, for messages
    std::string bytes_;
    std::u16string line_;
    int number_ = 0;
    bool incomplete_ = false;
};

// Reads where files block by block.
class WhereFileReader {
  public:
    WhereFileReader(ULTableSplitList* list, const char16_t* file, const char16_t* table,
                    ULMacroProvider* provider, int flags)
        : list_(list), file_(file), filter_(table), provider_(provider), flags_(flags) {}

    // The blocks are collected first and reach the list only when the whole file has been
    // read, so that a file found to be single-byte can be read again from the start.
    int read() {
        int rc = parse(false);
        if (rc == kSingleByte) {
            *this = WhereFileReader(list_, file_, filter_, provider_, flags_);
            rc = parse(true);
        }
        if (rc < 0) return UL_ERROR_RETURN(-1);
        return store();
    }

  private:
    static constexpr int kSingleByte = 1;

    // A file is UTF-8 unless it starts with the single-byte mark, or (written before the
    // mark) its bytes are no UTF-8. Returns kSingleByte when the file must be read so.
    int detectSingleByte(WhereLines& lines) {
        const std::u16string& line = lines.line();
        if (lines.lineNumber() == 1 && line == kSingleByteMark) return kSingleByte;
        if (utf8Checked_ || line.find(u'\uFFFD') == std::u16string::npos) return 0;
        utf8Checked_ = true;
        const int utf8 = isUtf8File(file_);
        if (utf8 < 0) return cannotRead();
        return utf8 ? 0 : kSingleByte;
    }

    int parse(bool singleByte) {
        WhereLines lines;
        if (lines.open(file_, singleByte) < 0) return cannotRead();
        bool inComment = false;
        for (;;) {
            const int rc = lines.next();
            if (rc < 0) return UL_ERROR_RETURN(-1);  // the reader's message names file and line
            if (rc == 0) break;
            if (!singleByte) {
                const int detected = detectSingleByte(lines);
                if (detected != 0) return detected;
            }
            std::u16string line = lines.line();
            if (line.find_first_not_of(u" \t") == std::u16string::npos) {
                closed_ = inBlock_;
                continue;
            }
            // A writer that died in the middle of a line left it cut short.
            if (lines.incomplete()) {
                ul_errorsetmsgfmt(0, u"Incomplete last line %d in '%s'", lines.lineNumber(), file_);
                return UL_ERROR_RETURN(-1);
            }
            if (inComment && line.find(u"*/") == std::u16string::npos) continue;
            if (replaceMacros(&line) < 0) return UL_ERROR_RETURN(-1);
            // A comment block ends at its "*/"; what follows on that line is read as a line.
            std::u16string_view text = line;
            for (;;) {
                if (inComment) {
                    const size_t end = text.find(u"*/");
                    if (end == std::u16string_view::npos) break;
                    text.remove_prefix(end + 2);
                    inComment = false;
                }
                const size_t start = text.find_first_not_of(u" \t");
                if (start == std::u16string_view::npos) break;
                text.remove_prefix(start);
                if (text[0] == u'#') break;
                if (text.substr(0, 2) != u"/*") {
                    if (handleLine(text, lines.lineNumber(), line) < 0) return UL_ERROR_RETURN(-1);
                    break;
                }
                inComment = true;
                text.remove_prefix(2);
            }
        }
        // The writer ends each block with an empty line. A condition whose last line is a "--"
        // comment may have lost lines that followed, when that empty line is missing.
        if (inBlock_ && !closed_ && scan_.inLineComment()) {
            ul_errorsetmsgfmt(0, u"Incomplete last block for '%s' in '%s'", table_.c_str(), file_);
            return UL_ERROR_RETURN(-1);
        }
        return finishBlock();
    }

  private:
    int cannotRead() {
        ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot read '%s'", file_);
        return UL_ERROR_RETURN(-1);
    }
    int syntaxError(int lineNumber, const std::u16string& line) {
        ul_errorsetmsgfmt(0, u"Syntax error in line %d '%s'", lineNumber, line.c_str());
        return UL_ERROR_RETURN(-1);
    }

    // The one place where lines meet macro replacement.
    int replaceMacros(std::u16string* line) {
        return provider_ ? ul_macroreplacestring(line, provider_, 0) : 0;
    }

    static std::u16string trimmed(std::u16string_view text) {
        const size_t start = text.find_first_not_of(u" \t");
        return start == std::u16string_view::npos ? std::u16string()
                                                  : std::u16string(text.substr(start));
    }

    int handleLine(std::u16string_view text, int lineNumber, const std::u16string& line) {
        if (text.substr(0, 4) == u"tab:") {
            if (finishBlock() < 0) return UL_ERROR_RETURN(-1);
            table_ = trimmed(text.substr(4));
            if (table_.empty()) return syntaxError(lineNumber, line);
            inBlock_ = true;
            closed_ = false;
            return 0;
        }
        if (!inBlock_) return syntaxError(lineNumber, line);
        if (text.substr(0, 4) == u"cnt:") {
            const std::u16string value = trimmed(text.substr(4));
            if (!condition_.empty() || !ul_sqlparserowcount(value.c_str(), &rows_) || value[0] == u'-')
                return syntaxError(lineNumber, line);
            return 0;
        }
        if (text.substr(0, 4) == u"opt:") {
            const std::u16string options(text.substr(4));
            ULWordListIter words(options.c_str(), u' ');
            char16_t word[UL_SQLNAMESIZE];
            int rc;
            while ((rc = words.next(word, UL_SQLNAMESIZE)) > 0) {
                if (ul_strcmp(word, u"native") != 0) {
                    ul_errorsetmsgfmt(0, u"Unknown option '%s'", word);
                    return UL_ERROR_RETURN(-1);
                }
                native_ = true;
            }
            return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
        }
        std::u16string_view condition = text;
        if (condition_.empty()) {
            condition = condition.substr(ul_sqlwherekeyword(text));
            condition_ = trimmed(condition);
            scan_.feed(condition_);
        } else {
            // Behind a "--" comment the condition goes on on a new line, as it was written.
            condition_ += scan_.inLineComment() ? u'\n' : u' ';
            condition_ += condition;
            scan_.feed(condition);
        }
        closed_ = false;
        return 0;
    }

    int finishBlock() {
        if (!inBlock_) return 0;
        inBlock_ = false;
        const std::u16string condition = std::move(condition_);
        const ul_dbrowcount_t rows = rows_;
        const bool native = native_;
        condition_.clear();
        scan_.reset();
        rows_ = UL_DBROWCOUNT_INVALID;
        native_ = false;
        if (filter_ && table_ != filter_) return 0;
        // Control characters alone are no condition: the writer would write them as nothing.
        if (std::all_of(condition.begin(), condition.end(), isBlank)) {
            ul_errorsetmsgfmt(0, u"Empty where condition for '%s' in '%s'", table_.c_str(), file_);
            return UL_ERROR_RETURN(-1);
        }
        blocks_.push_back(Block{table_, condition, rows, native});
        return 0;
    }

    // Hands the blocks read to the list.
    int store() {
        for (const Block& block : blocks_) {
            const char16_t* table = block.table.c_str();
            ULTableSplit* split = list_->get(table, UL_HASH_QUIET);
            if (!split) {
                split = new (std::nothrow) ULTableSplit();
                if (!split) {
                    ul_erroroutofmemory();
                    return UL_ERROR_RETURN(-1);
                }
                if (list_->set(table, split) < 0) {
                    delete split;
                    return UL_ERROR_RETURN(-1);
                }
            }
            if ((flags_ & UL_WHEREREAD_SINGLE) && !split->isEmpty()) {
                ul_errorsetmsgfmt(0, u"Duplicate condition for '%s' in '%s'", table, file_);
                return UL_ERROR_RETURN(-1);
            }
            const int segmentFlags = (flags_ & UL_WHEREREAD_INVERT) ? UL_SEGMENT_INVERT : 0;
            if (split->createSegmentEntry(block.rows, block.condition.c_str(), segmentFlags) < 0)
                return UL_ERROR_RETURN(-1);
            if (block.native) split->native = true;
        }
        return static_cast<int>(blocks_.size());
    }

    struct Block {
        std::u16string table;
        std::u16string condition;
        ul_dbrowcount_t rows;
        bool native;
    };

    ULTableSplitList* list_;
    const char16_t* file_;
    const char16_t* filter_;
    ULMacroProvider* provider_;
    int flags_;
    bool inBlock_ = false;
    std::u16string table_;
    std::u16string condition_;
    ULSqlCommentScan scan_;
    ul_dbrowcount_t rows_ = UL_DBROWCOUNT_INVALID;
    bool native_ = false;
    std::vector<Block> blocks_;
    bool closed_ = false;  // an empty line followed the block's last line
    bool utf8Checked_ = false;
};

}  // namespace

int ul_sqlreadwherefile(ULTableSplitList* list, const char16_t* file, const char16_t* table,
                        ULMacroProvider* provider, int flags) {
    return ul_guarded([&]() -> int {
        WhereFileReader reader(list, file, table, provider, flags);
        return reader.read();
    });
}

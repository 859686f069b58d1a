#include "ulsqlwherefile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <set>
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

// Files written by this process; later blocks for them are appended.
std::set<std::u16string>& writtenFiles() {
    static std::set<std::u16string> files;
    return files;
}

// The condition on one line: runs of white space (and control characters) outside quoted text
// become one blank; quoted text is kept as it is; a "--" comment keeps its text and ends its line.
std::u16string normalizeCondition(const char16_t* condition) {
    std::u16string out;
    bool blank = false;
    for (const char16_t* p = condition; *p;) {
        const char16_t c = *p;
        if (c < 32 || ul_isspace(c)) {
            blank = !out.empty() && out.back() != u'\n';
            ++p;
            continue;
        }
        if (blank) out.push_back(u' ');
        blank = false;
        if (c == u'\'' || c == u'"') {
            const char16_t* end = p + 1;
            while (*end && *end != c) ++end;
            if (*end) ++end;
            out.append(p, end);
            p = end;
        } else if (c == u'-' && p[1] == u'-') {
            const char16_t* end = p;
            while (*end && *end != u'\n' && *end != u'\r') ++end;
            out.append(p, end);
            p = end;
            while (*p && ul_isspace(*p)) ++p;
            if (*p) out.push_back(u'\n');
        } else {
            out.push_back(c);
            ++p;
        }
    }
    return out;
}

std::u16string whereBlock(const char16_t* table, const ul_tablesegment_t& segment, bool native,
                          int flags) {
    std::u16string block = ul_format(u"tab: %s\n", table);
    if (native) block += u"opt: native\n";
    if (segment.rows != UL_DBROWCOUNT_INVALID && !(flags & UL_WHEREFILE_NOCNTLINES))
        block += ul_format(u"cnt: %lu\n", ul(segment.rows));
    block += u"WHERE " + normalizeCondition(segment.condition()) + u"\n\n";
    return block;
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

// Writes blocks to one file, created or appended to.
int writeBlocks(const std::u16string& file, const std::u16string& text, int flags, bool* appended) {
    const bool append = writtenFiles().count(file) > 0;
    if (flags & UL_WHEREFILE_SINGLEBYTE) {
        ULFileHandle stream(ul_filefopen(file.c_str(), append ? u"a" : u"w", 0));
        if (!stream) return UL_ERROR_RETURN(-1);
        size_t start = 0;
        int rc = 0;
        while (rc == 0 && start < text.size()) {
            const size_t end = text.find(u'\n', start);
            const std::u16string line = text.substr(start, end - start);
            rc = ul_filerawlinewrite(stream.get(), line.c_str());
            start = end + 1;
        }
        if (rc == 0 && stream.closeChecked(file.c_str()) < 0) rc = -1;
        if (rc < 0) return UL_ERROR_RETURN(-1);
    } else {
        ULTextFileWriter writer;
        if (writer.open(file.c_str(), append ? UL_TEXT_APPEND : 0) < 0 ||
            writer.write(text.c_str(), text.size()) < 0 || writer.close() < 0)
            return UL_ERROR_RETURN(-1);
    }
    writtenFiles().insert(file);
    if (appended) *appended = append;
    return 0;
}

}  // namespace

int ul_sqlwritewherefile(const char16_t* file, const char16_t* table,
                         const ULTableSplit* conditions, int flags, bool* appended) {
    return ul_guarded([&]() -> int {
        const bool pattern = ul_strchr(file, u'%') != nullptr;
        std::u16string all;
        int n = 0;
        for (const ul_tablesegment_t& s : *conditions) {
            ++n;
            if ((flags & UL_WHEREFILE_SINGLEBYTE) && singleByteCheck(s.condition()) < 0)
                return UL_ERROR_RETURN(-1);
            const std::u16string block = whereBlock(table, s, conditions->native, flags);
            if (!pattern) {
                all += block;
                continue;
            }
            std::u16string name = file;
            const std::u16string number = ul_format(u"%d", n);
            for (size_t pos = name.find(u'%'); pos != std::u16string::npos;
                 pos = name.find(u'%', pos + number.size()))
                name.replace(pos, 1, number);
            if (writeBlocks(name, block, flags, appended) < 0) return UL_ERROR_RETURN(-1);
        }
        if (!pattern && writeBlocks(file, all, flags, appended) < 0) return UL_ERROR_RETURN(-1);
        return n;
    });
}

void ul_sqlwherefilesforget() {
    writtenFiles().clear();
}

namespace {

// Reads where files block by block.
class WhereFileReader {
  public:
    WhereFileReader(ULTableSplitList* list, const char16_t* file, const char16_t* table,
                    ULMacroProvider* provider, int flags)
        : list_(list), file_(file), filter_(table), provider_(provider), flags_(flags) {}

    int read() {
        ULTextFileReader reader;
        if (reader.open(file_) < 0) return cannotRead();
        bool inComment = false;
        for (;;) {
            const int rc = reader.readLine();
            if (rc < 0) return cannotRead();
            if (rc == 0) break;
            ul_stringtrimtail(reader.line());
            std::u16string line = reader.line();
            if (inComment) {
                inComment = line.find(u"*/") == std::u16string::npos;
                continue;
            }
            if (replaceMacros(&line) < 0) return UL_ERROR_RETURN(-1);
            const size_t start = line.find_first_not_of(u" \t");
            if (start == std::u16string::npos) continue;
            const std::u16string_view text(line.c_str() + start, line.size() - start);
            if (text[0] == u'#') continue;
            if (text.substr(0, 2) == u"/*") {
                inComment = text.find(u"*/", 2) == std::u16string_view::npos;
                continue;
            }
            if (handleLine(text, reader.lineNumber(), line) < 0) return UL_ERROR_RETURN(-1);
        }
        if (finishBlock() < 0) return UL_ERROR_RETURN(-1);
        return conditions_;
    }

  private:
    int cannotRead() {
        ul_errorsetmsgfmt(0, u"Cannot read '%s'", file_);
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
            const bool where = condition.size() >= 5 &&
                               ul_strnicmp(condition.data(), u"WHERE", 5) == 0 &&
                               (condition.size() == 5 || ul_isspace(condition[5]));
            if (where) condition = condition.substr(5);
            condition_ = trimmed(condition);
        } else {
            condition_ += u' ';
            condition_ += condition;
        }
        return 0;
    }

    int finishBlock() {
        if (!inBlock_) return 0;
        inBlock_ = false;
        const std::u16string condition = std::move(condition_);
        const ul_dbrowcount_t rows = rows_;
        const bool native = native_;
        condition_.clear();
        rows_ = UL_DBROWCOUNT_INVALID;
        native_ = false;
        if (filter_ && table_ != filter_) return 0;
        if (condition.empty()) {
            ul_errorsetmsgfmt(0, u"Empty where condition for '%s' in '%s'", table_.c_str(), file_);
            return UL_ERROR_RETURN(-1);
        }
        ULTableSplit* split = list_->get(table_.c_str(), UL_HASH_QUIET);
        if (!split) {
            split = new (std::nothrow) ULTableSplit();
            if (!split) {
                ul_erroroutofmemory();
                return UL_ERROR_RETURN(-1);
            }
            if (list_->set(table_.c_str(), split) < 0) {
                delete split;
                return UL_ERROR_RETURN(-1);
            }
        }
        if ((flags_ & UL_WHEREREAD_SINGLE) && !split->isEmpty()) {
            ul_errorsetmsgfmt(0, u"Duplicate condition for '%s' in '%s'", table_.c_str(), file_);
            return UL_ERROR_RETURN(-1);
        }
        const int segmentFlags = (flags_ & UL_WHEREREAD_INVERT) ? UL_SEGMENT_INVERT : 0;
        if (split->createSegmentEntry(rows, condition.c_str(), segmentFlags) < 0)
            return UL_ERROR_RETURN(-1);
        if (native) split->native = true;
        ++conditions_;
        return 0;
    }

    ULTableSplitList* list_;
    const char16_t* file_;
    const char16_t* filter_;
    ULMacroProvider* provider_;
    int flags_;
    bool inBlock_ = false;
    std::u16string table_;
    std::u16string condition_;
    ul_dbrowcount_t rows_ = UL_DBROWCOUNT_INVALID;
    bool native_ = false;
    int conditions_ = 0;
};

}  // namespace

int ul_sqlreadwherefile(ULTableSplitList* list, const char16_t* file, const char16_t* table,
                        ULMacroProvider* provider, int flags) {
    return ul_guarded([&]() -> int {
        WhereFileReader reader(list, file, table, provider, flags);
        return reader.read();
    });
}

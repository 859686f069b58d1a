#include "crceval.h"

#include <algorithm>
#include <memory>

#include "tabrix.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlcrcanalyze.h"
#include "ulsqlcrcclear.h"
#include "ulsqlcrcutil.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"

namespace {

size_t commonPrefix(const std::u16string& a, const std::u16string& b) {
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
    return n;
}

bool crcName(const char16_t* arg) {
    const size_t n = ul_strlen(arg);
    return n >= 4 && ul_stricmp(arg + n - 4, u".CRC") == 0;
}

int usageCrcEval() {
    ULTextFileWriter out;
    if (out.attach(stdout, u"stdout") < 0 ||
        out.write(u"Usage: crceval <crcfile> <reffile>\n"
                  u"  Available options:\n"
                  u"    checktable=<tablename>\n"
                  u"    check       Only check file for consistency.\n"
                  u"    singlediffs Only show differences with count <= 1.\n"
                  u"    all         Print all lines.\n"
                  u"\n") < 0 ||
        out.flush() < 0)
        return UL_ERROR_RETURN(-1);
    return UL_EXIT_USAGE;
}

struct EvalOptions {
    const char16_t* checkTable = nullptr;
    const char16_t* genCheckCRC = nullptr;
    bool checkOnly = false;
    int flags = UL_CRCEVAL_LOG;
};

char analysisLetter(int bits, int bit, char16_t letter) {
    return (bits & bit) ? static_cast<char>(letter) : '-';
}

int evaluatePair(const ul_crcevalpair_t& pair, const EvalOptions& options) {
    ULCheckCRCFile file;
    const char16_t* ref = pair.ref.empty() ? nullptr : pair.ref.c_str();
    if (file.read(pair.own.c_str(), ref, 0) < 0) return UL_ERROR_RETURN(-1);
    if (options.checkTable && !file.getTable(options.checkTable, false)) return UL_ERROR_RETURN(-1);
    for (auto& t : file.tables()) {
        if (options.checkTable && ul_stricmp(t->name().c_str(), options.checkTable) != 0) continue;
        if (t->check() < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Setup for '%s' failed", t->name().c_str());
            return UL_ERROR_RETURN(-1);
        }
    }
    if (options.checkOnly) return 0;
    if (ref) {
        const int bits = ul_crcanalyzebits(&file, ref);
        if (bits < 0) return UL_ERROR_RETURN(-1);
        const std::u16string text =
            bits == 0 ? ul_format(u"No differences found between '%s' and '%s'.", pair.own.c_str(),
                                  ref)
                      : ul_format(u"CRCAnalyze: %c %c%c %c%c", analysisLetter(bits, 16, u'R'),
                                  analysisLetter(bits, 8, u'S'), analysisLetter(bits, 32, u'F'),
                                  analysisLetter(bits, 64, u'C'), analysisLetter(bits, 128, u'E'));
        if (ul_msgwrite_line399(1, u' ', text) < 0) return UL_ERROR_RETURN(-1);
    }
    std::unique_ptr<auxcrcdiff2whr_t> whr;
    int flags = options.flags;
    if (options.genCheckCRC) {
        whr = std::make_unique<auxcrcdiff2whr_t>(&file, options.genCheckCRC, options.checkTable);
        flags |= UL_CRCEVAL_GIVEN;
    }
    return file.evaluate(whr.get(), flags, options.checkTable) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

}  // namespace

int ul_crcevalpairfiles(std::vector<std::u16string> names, std::vector<ul_crcevalpair_t>* pairs) {
    return ul_guarded([&]() -> int {
        std::sort(names.begin(), names.end());
        pairs->clear();
        size_t i = 0;
        while (i < names.size()) {
            if (i + 1 == names.size()) {
                if (ul_msgwrite_line399(1, u'W',
                                        ul_format(u"Single CRC file '%s'!", names[i].c_str())) < 0)
                    return UL_ERROR_RETURN(-1);
                pairs->push_back({names[i], u""});
                break;
            }
            const size_t prefix = commonPrefix(names[i], names[i + 1]);
            if (names[i].size() - prefix > UL_CRCEVAL_MAXSUFFIX) {
                if (ul_msgwrite_line399(
                        1, u'W',
                        ul_format(u"CRC file '%s' and REF file '%s' have no suitable "
                                  u"matching prefix.",
                                  names[i].c_str(), names[i + 1].c_str())) < 0)
                    return UL_ERROR_RETURN(-1);
                ++i;
                continue;
            }
            if (i + 2 < names.size() && commonPrefix(names[i + 1], names[i + 2]) >= prefix)
                return ul_errorfail(
                    ul_format(u"Cannot find export+import CRC pair for '%s', '%s', '%s'",
                              names[i].c_str(), names[i + 1].c_str(), names[i + 2].c_str()));
            pairs->push_back({names[i], names[i + 1]});
            i += 2;
        }
        return 0;
    });
}

int cmd_CRCEVAL(unsigned int argc, const char16_t** argv) {
    return ul_guarded([&]() -> int {
        EvalOptions options;
        std::vector<std::u16string> files;
        for (unsigned i = 1; i < argc; ++i) {
            const char16_t* arg = argv[i];
            if (const char16_t* v = ul_stringstarticmp(arg, u"checktable=")) {
                options.checkTable = v;
            } else if (const char16_t* g = ul_stringstarticmp(arg, u"gencheckcrc=")) {
                options.genCheckCRC = g;
            } else if (ul_stricmp(arg, u"check") == 0) {
                options.checkOnly = true;
            } else if (ul_stricmp(arg, u"singlediffs") == 0) {
                options.flags |= UL_CRCEVAL_SINGLEDIFFS;
            } else if (ul_stricmp(arg, u"all") == 0) {
                options.flags |= UL_CRCEVAL_ALL;
            } else if (crcName(arg)) {
                files.emplace_back(arg);
            } else {
                return ul_errorfail(ul_format(u"Unknown argument '%s'", arg));
            }
        }
        if (files.empty()) return usageCrcEval();
        std::vector<ul_crcevalpair_t> pairs;
        if (ul_crcevalpairfiles(files, &pairs) < 0) return UL_ERROR_RETURN(-1);
        for (const ul_crcevalpair_t& pair : pairs)
            if (evaluatePair(pair, options) < 0) return UL_ERROR_RETURN(-1);
        return 0;
    });
}

int cmd_CRCCLEAR(unsigned int argc, const char16_t** argv) {
    return ul_guarded([&]() -> int {
        int mode = 0;
        std::vector<const char16_t*> files;
        std::vector<const char16_t*> lists;
        for (unsigned i = 1; i < argc; ++i) {
            const char16_t* arg = argv[i];
            if (const char16_t* status = ul_stringstarticmp(arg, u"status=")) {
                mode &= ~(UL_CRCCLEAR_COMMENT | UL_CRCCLEAR_FULLY);
                if (ul_stricmp(status, u"ign") == 0)
                    mode |= UL_CRCCLEAR_COMMENT | UL_CRCCLEAR_FULLY;
                else if (ul_stricmp(status, u"ok") == 0)
                    mode |= UL_CRCCLEAR_FULLY;
                else if (ul_stricmp(status, u"err") == 0)
                    mode |= UL_CRCCLEAR_COMMENT;
                else if (ul_stricmp(status, u"xeq") != 0)
                    return ul_errorfail(ul_format(u"Invalid status '%s'", status));
            } else if (ul_stricmp(arg, u"showonly") == 0) {
                mode |= UL_CRCCLEAR_SHOWONLY;
            } else if (const char16_t* list = ul_stringstarticmp(arg, u"tables=")) {
                lists.push_back(list);
            } else {
                if (files.size() >= UL_CRCCLEAR_MAXFILES)
                    return ul_errorfail(
                        ul_format(u"Too many file names (maximum is %lu",
                                  static_cast<unsigned long>(UL_CRCCLEAR_MAXFILES)));
                files.push_back(arg);
            }
        }
        AuxCRCClearTables tables(mode);
        for (const char16_t* list : lists)
            if (tables.addTables(list) < 0) return UL_ERROR_RETURN(-1);
        ULCRCModifier* modifier = lists.empty() ? nullptr : &tables;
        for (const char16_t* file : files) {
            const int rc = ul_sqlcrcclear(file, modifier, mode);
            if (rc < 0) return UL_ERROR_RETURN(-1);
            const char16_t* what = rc == 0                          ? u"left unchanged"
                                   : (mode & UL_CRCCLEAR_SHOWONLY) ? u"would be rewritten"
                                                                   : u"rewritten";
            if (ul_msgwrite_line399(1, u' ', ul_format(u"CRC file '%s' %s.", file, what)) < 0)
                return UL_ERROR_RETURN(-1);
        }
        return 0;
    });
}

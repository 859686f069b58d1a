// tabrix-xmlcrc: writes or checks the "crcvalue" checksum attribute of the tool's XML files
// (statement files of execdb and the other checked files are refused without a right one).
//
//   tabrix-xmlcrc FILE...          computes each file's checksum and stores it in the file
//   tabrix-xmlcrc --check FILE...  verifies each file's checksum
//
// Writing changes only the attribute in the top-level start tag: the rest of the file (layout,
// comments, line ends) stays as it is. The new file is checked before it replaces the old one.
// Exit code 0 when every file succeeded, 1 when one failed, 2 for a usage error.

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ulerror.h"
#include "ulfile.h"
#include "ulsax.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ulxml.h"
#include "ulxmli.h"

namespace {

constexpr const char* kProgram = "tabrix-xmlcrc";
constexpr const char16_t* kCrcAttribute = u"crcvalue";

void printError(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

// The error buffer, one line of standard error per line of text.
void printErrorBuffer() {
    std::string text = ul_utf16to8(ul_errorgetmsg());
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        printError(text.substr(start, end - start));
        start = end + 1;
    }
}

// The stored and the computed checksum of a file as the reader sees it.
struct Checksum {
    bool stored = false;  // the file has a "crcvalue" attribute
    std::u16string storedText;
    std::u16string computed;
    bool valid = false;
};

int computeChecksum(const char16_t* path, Checksum* result) {
    ul_xmlnode_t* tree = ul_xmlreadfile(path, 0);
    if (!tree) return -1;
    const char16_t* stored = ul_xmlgetattribute_noalloc(tree, kCrcAttribute, UL_XMLATTR_QUIET);
    result->stored = stored != nullptr;
    if (stored) result->storedText = stored;
    int valid = ul_xmlvalidate(tree, UL_XMLVALIDATE_UPDATE);
    const char16_t* computed = ul_xmlgetattribute_noalloc(tree, kCrcAttribute, UL_XMLATTR_QUIET);
    if (valid >= 0 && computed) result->computed = computed;
    ul_xmlfreenode(tree);
    if (valid < 0) return -1;
    result->valid = valid == 1 && result->stored;
    return 0;
}

// Sets the attribute in the text of the document: the value of an existing "crcvalue" of the
// top-level start tag is replaced, else the attribute is added behind the tag name.
int patchText(std::u16string& text, const std::u16string& value, const char16_t* path) {
    ul_saxparse_t sax;
    sax.stream.openString(text.c_str());
    for (;;) {
        int type = sax.next();
        if (type == UL_SAXTOK_ERROR) return -1;
        if (type == UL_SAXTOK_EOF) {
            ul_errorsetmsgfmt(0, u"Empty XML file '%s'", path);
            return -1;
        }
        if (type == UL_SAXTOK_STARTTAG || type == UL_SAXTOK_EMPTYTAG) break;
    }
    for (size_t i = 0; i < sax.attributeCount; ++i) {
        const ul_saxattr_t& attr = sax.attributes[i];
        if (attr.name != kCrcAttribute) continue;
        if (!attr.hasValue) {
            ul_errorsetmsgfmt(0, u"Attribute '%s' without value in '%s'", kCrcAttribute, path);
            return -1;
        }
        text.replace(attr.valueBegin, attr.valueEnd - attr.valueBegin, value);
        return 0;
    }
    text.insert(sax.nameEnd, u" " + std::u16string(kCrcAttribute) + u"=\"" + value + u"\"");
    return 0;
}

int writeBytes(const std::u16string& path, const std::string& bytes, mode_t mode) {
    FILE* file = ul_filefopen(path.c_str(), u"wb", 0);
    if (!file) return -1;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write to '%s'", path.c_str());
        return -1;
    }
    if (chmod(ul_utf16to8(path.c_str()).c_str(), mode) != 0) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot change permissions of '%s'", path.c_str());
        return -1;
    }
    return 0;
}

// Stores the checksum in the file: the patched text goes to "<file>.tmp", is read back and
// verified, and then replaces the file.
int writeChecksum(const char16_t* path) {
    Checksum sum;
    if (computeChecksum(path, &sum) < 0) return -1;
    std::string name = ul_utf16to8(path);
    struct stat st;
    FILE* file = ul_filefopen(path, u"rb", 0);
    if (!file) return -1;
    std::string bytes;
    char block[8192];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, n);
    bool readFailed = std::ferror(file) != 0 || fstat(fileno(file), &st) != 0;
    std::fclose(file);
    if (readFailed) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read '%s'", path);
        return -1;
    }
    std::u16string text = ul_utf8to16(bytes.data(), bytes.size());
    if (patchText(text, sum.computed, path) < 0) return -1;
    std::u16string temporary = std::u16string(path) + u".tmp";
    Checksum check;
    if (writeBytes(temporary, ul_utf16to8(text.c_str(), text.size()), st.st_mode & 07777) < 0 ||
        computeChecksum(temporary.c_str(), &check) < 0 || !check.valid) {
        if (check.computed.size() && !check.valid)
            ul_errorsetmsgfmt(0, u"Checksum of the rewritten file '%s' does not verify", path);
        remove(ul_utf16to8(temporary.c_str()).c_str());
        return -1;
    }
    if (ul_fileatomicmove(temporary.c_str(), path) < 0) {
        remove(ul_utf16to8(temporary.c_str()).c_str());
        return -1;
    }
    std::printf("%s: crcvalue=\"%s\"\n", name.c_str(), ul_utf16to8(sum.computed.c_str()).c_str());
    return 0;
}

int checkChecksum(const char16_t* path) {
    Checksum sum;
    if (computeChecksum(path, &sum) < 0) return -1;
    std::string name = ul_utf16to8(path);
    if (sum.valid) {
        std::printf("%s: checksum ok\n", name.c_str());
        return 0;
    }
    if (!sum.stored) {
        printError(name + ": checksum missing");
    } else {
        printError(name + ": checksum wrong (stored " + ul_utf16to8(sum.storedText.c_str()) +
                   ", computed " + ul_utf16to8(sum.computed.c_str()) + ")");
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool check = false;
    std::vector<std::u16string> files;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        if (!optionsEnded && std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (!optionsEnded && std::strcmp(argv[i], "--") == 0) {
            optionsEnded = true;
        } else if (!optionsEnded && argv[i][0] == '-' && argv[i][1]) {
            printError(std::string("unknown option '") + argv[i] + "'");
            files.clear();
            break;
        } else {
            files.push_back(ul_utf8to16(argv[i]));
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s [--check] FILE...\n", kProgram);
        return 2;
    }
    int status = 0;
    for (const std::u16string& file : files) {
        int result = check ? checkChecksum(file.c_str()) : writeChecksum(file.c_str());
        if (result < 0) printErrorBuffer();
        if (result != 0) status = 1;
    }
    return status;
}

#include "ulfile.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ulcrc.h"
#include "ulerror.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultime.h"
#include "ultrace.h"

namespace {

constexpr size_t kCopyBlock = 8192;

std::u16string wide(const std::string& text) {
    return ul_utf8to16(text.c_str(), text.size());
}

// Sets a message with the system error text for the errno saved by the caller.
#define UL_SYSERR(savedErrno, ...)                     \
    do {                                               \
        errno = (savedErrno);                          \
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, __VA_ARGS__); \
        errno = (savedErrno);                          \
    } while (0)

// A readable name for an open stream, for messages: the path the descriptor refers to.
std::u16string streamName(FILE* stream) {
    int fd = stream ? fileno(stream) : -1;
    if (fd < 0) return u"<stream>";
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    int saved = errno;
    ssize_t n = readlink(link, target, sizeof target - 1);
    errno = saved;
    if (n <= 0) return ul_format(u"<descriptor %d>", fd);
    return wide(std::string(target, static_cast<size_t>(n)));
}

// Copies text into the caller's buffer; a result that does not fit is an error.
int copyOut(char16_t* buffer, size_t size, const std::u16string& text) {
    if (text.size() >= size) {
        ul_errorsetmsgfmt(0, u"Path '%s' too long (at most %d characters)", text.c_str(),
                          static_cast<int>(size > 0 ? size - 1 : 0));
        return UL_ERROR_RETURN(-1);
    }
    ul_strlcpy(buffer, text.c_str(), size);
    return static_cast<int>(text.size());
}

int currentDirectory(std::string& out) {
    std::vector<char> buffer(1024);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) {
            UL_SYSERR(errno, u"Cannot determine the current directory");
            return UL_ERROR_RETURN(-1);
        }
        buffer.resize(buffer.size() * 2);
    }
    out = buffer.data();
    return 0;
}

int makeAbsolute(std::string& path) {
    if (!path.empty() && path[0] == '/') return 0;
    std::string cwd;
    if (currentDirectory(cwd) < 0) return UL_ERROR_RETURN(-1);
    path = cwd + (cwd.size() > 1 ? "/" : "") + path;
    return 0;
}

bool isExecutableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Opens path for reading only if it is a regular file. O_NONBLOCK keeps the open of a FIFO
// without writer from blocking; it is cleared again for the reads of the regular file.
FILE* openRegular(const std::string& path, const char* mode) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    const int status = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || status < 0 ||
        fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        const int saved = S_ISREG(st.st_mode) ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = saved;
        return nullptr;
    }
    FILE* stream = fdopen(fd, mode);
    if (!stream) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

}  // namespace

int ul_filereadlinebytes(FILE* stream, std::string& bytes, size_t limit) {
    bytes.clear();
    flockfile(stream);
    int c;
    while ((c = getc_unlocked(stream)) != EOF) {
        bytes.push_back(static_cast<char>(c));
        if (c == '\n') break;
        if (bytes.size() > limit) break;
    }
    bool failed = c == EOF && ferror(stream);
    funlockfile(stream);
    if (failed) return -1;
    if (!bytes.empty() && bytes.back() == '\n') return UL_LINE_COMPLETE;
    if (bytes.size() > limit) return UL_LINE_TOOLONG;
    return bytes.empty() ? UL_LINE_EOF : UL_LINE_INCOMPLETE;
}

namespace {

int lineTooLong(FILE* stream, size_t size) {
    ul_errorsetmsgfmt(0, u"Line longer than %d characters in '%s'",
                      static_cast<int>(size > 0 ? size - 1 : 0), streamName(stream).c_str());
    return UL_ERROR_RETURN(-1);
}

int readFailed(FILE* stream) {
    UL_SYSERR(errno, u"Cannot read '%s'", streamName(stream).c_str());
    return UL_ERROR_RETURN(-1);
}

}  // namespace

ULFileHandle& ULFileHandle::operator=(ULFileHandle&& other) noexcept {
    if (this != &other) {
        (void)close();  // the stream replaced is given up; its owner moved a new one in
        stream_ = other.release();
    }
    return *this;
}

FILE* ULFileHandle::release() {
    FILE* stream = stream_;
    stream_ = nullptr;
    return stream;
}

int ULFileHandle::close() {
    FILE* stream = release();
    return stream ? fclose(stream) : 0;
}

int ULFileHandle::closeChecked(const char16_t* path) {
    if (close() == 0) return 0;
    ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write to '%s'", path);
    return UL_ERROR_RETURN(-1);
}

FILE* ul_filefopen(const char16_t* path, const char16_t* mode, int flags) {
    const std::string modeBytes = ul_utf16to8(mode);
    const bool readOnly = modeBytes == "r" || modeBytes == "rb";
    FILE* stream = readOnly ? openRegular(ul_utf16to8(path), modeBytes.c_str())
                            : fopen(ul_utf16to8(path).c_str(), modeBytes.c_str());
    if (!stream && !(flags & UL_FILE_NOMSG)) {
        if (readOnly && errno == EINVAL) {
            ul_errorsetmsgfmt(0, u"Cannot open '%s' mode='%s': not a regular file", path, mode);
        } else {
            UL_SYSERR(errno, u"Cannot open '%s' mode='%s'", path, mode);
        }
        return UL_ERROR_RETURN(nullptr);
    }
    return stream;
}

int ul_filecopy(const char16_t* source, const char16_t* destination, int /*flags*/) {
    std::string from = ul_utf16to8(source), to = ul_utf16to8(destination);
    std::u16string tmpName = ul_format(u"%s.tmp", destination);
    std::string tmp = ul_utf16to8(tmpName.c_str());

    // Reports the failure, adds which copy failed, and removes the partial temporary file.
    bool tmpCreated = false;
    auto fail = [&](int saved, const char16_t* format, const char16_t* name) {
        if (tmpCreated) unlink(tmp.c_str());
        if (saved) {
            UL_SYSERR(saved, format, name);
        } else {
            ul_errorsetmsgfmt(0, format, name);
        }
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot copy '%s' to '%s'", source, destination);
        return UL_ERROR_RETURN(-1);
    };

    struct stat st;
    if (stat(from.c_str(), &st) != 0) return fail(errno, u"Cannot read '%s'", source);
    if (S_ISDIR(st.st_mode)) {
        ul_errorsetmsgfmt(0, u"Source file '%s' is a directory", source);
        return UL_ERROR_RETURN(-1);
    }
    ULFileHandle in(fopen(from.c_str(), "rb"));
    if (!in.get()) return fail(errno, u"Cannot read '%s'", source);

    // A stale temporary file (or a link planted under its name) is removed first, so that the
    // exclusive creation below never writes through someone else's file.
    if (unlink(tmp.c_str()) != 0 && errno != ENOENT)
        return fail(errno, u"Cannot write to '%s'", tmpName.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return fail(errno, u"Cannot write to '%s'", tmpName.c_str());
    tmpCreated = true;
    ULFileHandle out(fdopen(fd, "wb"));
    if (!out.get()) {
        int saved = errno;
        close(fd);
        return fail(saved, u"Cannot write to '%s'", tmpName.c_str());
    }

    std::vector<unsigned char> block(kCopyBlock);
    for (;;) {
        size_t n = fread(block.data(), 1, block.size(), in.get());
        if (n > 0 && fwrite(block.data(), 1, n, out.get()) != n)
            return fail(errno, u"Cannot write to '%s'", tmpName.c_str());
        if (n < block.size()) {
            if (ferror(in.get())) return fail(errno, u"Cannot read '%s'", source);
            break;
        }
    }
    if (fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0)
        return fail(errno, u"Cannot write to '%s'", tmpName.c_str());
    if (fchmod(fileno(out.get()), st.st_mode & 07777) != 0)
        return fail(errno, u"Cannot change permissions of '%s'", tmpName.c_str());
    if (out.close() != 0) return fail(errno, u"Cannot write to '%s'", tmpName.c_str());
    if (rename(tmp.c_str(), to.c_str()) != 0) {
        int saved = errno;
        unlink(tmp.c_str());
        UL_SYSERR(saved, u"Cannot rename '%s' to '%s'", tmpName.c_str(), destination);
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot copy '%s' to '%s'", source, destination);
        return UL_ERROR_RETURN(-1);
    }
    UL_TRACE(UL_TRC_FILE, 2, u"Copied '%s' to '%s'.\n", source, destination);
    return 0;
}

int ul_fileatomicmove(const char16_t* from, const char16_t* to) {
    if (rename(ul_utf16to8(from).c_str(), ul_utf16to8(to).c_str()) != 0) {
        UL_SYSERR(errno, u"Cannot rename '%s' to '%s'", from, to);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

namespace {

long sizeFromStat(const struct stat& st, const char16_t* name, int flags) {
    if (S_ISDIR(st.st_mode)) {
        if (!(flags & UL_FILE_NOMSG))
            ul_errorsetmsgfmt(0, u"ul_filesize() not allowed for directory '%s'", name);
        errno = EISDIR;
        return UL_ERROR_RETURN(-1);
    }
    return static_cast<long>(st.st_size);
}

}  // namespace

bool ul_fileexists(const char16_t* path) {
    struct stat st;
    return lstat(ul_utf16to8(path).c_str(), &st) == 0;
}

long ul_filesize(const char16_t* path, int flags) {
    struct stat st;
    if (stat(ul_utf16to8(path).c_str(), &st) != 0) {
        if (!(flags & UL_FILE_NOMSG)) UL_SYSERR(errno, u"Cannot stat '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    return sizeFromStat(st, path, flags);
}

long ul_filesize1(FILE* stream, int flags) {
    if (__fwritable(stream)) fflush(stream);
    struct stat st;
    if (fstat(fileno(stream), &st) != 0) {
        if (!(flags & UL_FILE_NOMSG))
            UL_SYSERR(errno, u"Cannot stat '%s'", streamName(stream).c_str());
        return UL_ERROR_RETURN(-1);
    }
    return sizeFromStat(st, streamName(stream).c_str(), flags);
}

int ul_filegetdate(const char16_t* path, char16_t* buffer, size_t size, int format) {
    struct stat st;
    if (stat(ul_utf16to8(path).c_str(), &st) != 0) {
        UL_SYSERR(errno, u"Cannot stat '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    int n = ul_timegetstamp(buffer, size, st.st_mtime, format);
    return n < 0 ? UL_ERROR_RETURN(-1) : n;
}

int ul_filenormalize(char16_t* path, size_t size) {
    std::string pending = ul_utf16to8(path);
    if (makeAbsolute(pending) < 0) return UL_ERROR_RETURN(-1);

    // result holds the resolved prefix (no links left in it, empty for "/"); pending the
    // components still to do. A link's target is put in front of the pending components.
    std::string result;
    bool resolving = true;  // false once a component is missing: nothing below can be a link
    int links = 0;
    size_t pos = 0;
    while (pos < pending.size()) {
        size_t end = pending.find('/', pos);
        if (end == std::string::npos) end = pending.size();
        std::string component = pending.substr(pos, end - pos);
        pos = end + 1;
        if (component.empty() || component == ".") continue;
        if (component == "..") {
            size_t slash = result.rfind('/');
            result.erase(slash == std::string::npos ? 0 : slash);
            continue;
        }
        std::string candidate = result + "/" + component;
        struct stat st;
        if (resolving && lstat(candidate.c_str(), &st) != 0) resolving = false;
        if (!resolving || !S_ISLNK(st.st_mode)) {
            result = std::move(candidate);
            continue;
        }
        if (++links > UL_FILE_MAXSYMLINKS) {
            ul_errorsetmsgfmt(0, u"Too many indirections when resolving symlink '%s'", path);
            return UL_ERROR_RETURN(-1);
        }
        std::vector<char> target(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096);
        ssize_t n;
        while ((n = readlink(candidate.c_str(), target.data(), target.size())) >= 0 &&
               static_cast<size_t>(n) >= target.size())
            target.resize(target.size() * 2);  // the link changed since lstat
        if (n < 0) {
            UL_SYSERR(errno, u"Cannot read symbolic link '%s'", wide(candidate).c_str());
            return UL_ERROR_RETURN(-1);
        }
        std::string rest = pos < pending.size() ? pending.substr(pos) : std::string();
        if (target[0] == '/') result.clear();
        pending = std::string(target.data(), static_cast<size_t>(n)) + "/" + rest;
        pos = 0;
    }
    if (result.empty()) result.push_back('/');
    return copyOut(path, size, wide(result));
}

int ul_filefindexecutable(const char16_t* name, char16_t* buffer, size_t size) {
    if (!ul_strchr(name, u'/')) return ul_filelocateexebypath(name, nullptr, buffer, size);
    std::string path = ul_utf16to8(name);
    if (!isExecutableFile(path)) {
        const char16_t* slash = ul_strrchr(name, u'/');
        std::u16string directory(name, static_cast<size_t>(slash - name));
        ul_errorsetmsgfmt(0, u"Cannot locate '%s' in path '%s'", slash + 1,
                          directory.empty() ? u"/" : directory.c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (makeAbsolute(path) < 0) return UL_ERROR_RETURN(-1);
    return copyOut(buffer, size, wide(path));
}

int ul_filelocateexebypath(const char16_t* name, const char16_t* variable, char16_t* buffer,
                           size_t size) {
    if (!variable) variable = u"PATH";
    const char* value = getenv(ul_utf16to8(variable).c_str());
    if (!value) {
        ul_errorsetmsgfmt(0, u"Environment variable '%s' does not exist, cannot locate executables",
                          variable);
        return UL_ERROR_RETURN(-1);
    }
    std::string directories = value, file = ul_utf16to8(name);
    size_t pos = 0;
    for (;;) {
        size_t end = directories.find(':', pos);
        if (end == std::string::npos) end = directories.size();
        std::string directory = directories.substr(pos, end - pos);
        if (directory.empty()) directory.push_back('.');
        std::string candidate = directory + "/" + file;
        if (isExecutableFile(candidate)) {
            if (makeAbsolute(candidate) < 0) return UL_ERROR_RETURN(-1);
            return copyOut(buffer, size, wide(candidate));
        }
        if (end == directories.size()) break;
        pos = end + 1;
    }
    ul_errorsetmsgfmt(0, u"Cannot locate '%s' in path '%s'", name, wide(directories).c_str());
    return UL_ERROR_RETURN(-1);
}

int ul_filereadline(FILE* stream, char16_t* buffer, size_t size) {
    if (size == 0) return lineTooLong(stream, size);
    buffer[0] = 0;
    // Every code unit takes at least one and at most three bytes of UTF-8 (a surrogate pair
    // takes four), so more than 3 * (size - 1) bytes can never fit.
    std::string bytes;
    int status = ul_filereadlinebytes(stream, bytes, 3 * (size - 1) + 2);
    if (status < 0) return readFailed(stream);
    if (status == UL_LINE_TOOLONG) return lineTooLong(stream, size);
    if (status == UL_LINE_COMPLETE) {
        bytes.pop_back();
        if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    }
    std::u16string line = ul_utf8to16(bytes.c_str(), bytes.size());
    if (line.size() >= size) return lineTooLong(stream, size);
    std::copy(line.begin(), line.end(), buffer);
    buffer[line.size()] = 0;
    return status;
}

int ul_filerawlineread(FILE* stream, char16_t* buffer, size_t size) {
    if (size == 0) return lineTooLong(stream, size);
    buffer[0] = 0;
    std::string bytes;
    int status = ul_filereadlinebytes(stream, bytes, size);
    if (status < 0) return readFailed(stream);
    if (status == UL_LINE_COMPLETE) bytes.pop_back();
    if (status == UL_LINE_TOOLONG || bytes.size() >= size) return lineTooLong(stream, size);
    for (size_t i = 0; i < bytes.size(); ++i)
        buffer[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
    buffer[bytes.size()] = 0;
    return status;
}

int ul_filerawlinewrite(FILE* stream, const char16_t* line) {
    size_t n = ul_strlen(line);
    std::string bytes(n + 1, '\n');
    for (size_t i = 0; i < n; ++i) {
        if (line[i] > 0xFF) {
            ul_errorsetmsgfmt(0, u"Invalid byte %d found in string '%s' at offset %d",
                              static_cast<int>(line[i]), line, static_cast<int>(i));
            return UL_ERROR_RETURN(-1);
        }
        bytes[i] = static_cast<char>(line[i]);
    }
    if (fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size()) {
        UL_SYSERR(errno, u"Cannot write to '%s'", streamName(stream).c_str());
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ul_filecompare(const char16_t* a, const char16_t* b, int /*flags*/) {
    ULFileHandle first(fopen(ul_utf16to8(a).c_str(), "rb"));
    if (!first.get()) {
        UL_SYSERR(errno, u"Cannot read '%s'", a);
        return UL_ERROR_RETURN(-1);
    }
    ULFileHandle second(fopen(ul_utf16to8(b).c_str(), "rb"));
    if (!second.get()) {
        UL_SYSERR(errno, u"Cannot read '%s'", b);
        return UL_ERROR_RETURN(-1);
    }
    struct stat sa, sb;
    if (fstat(fileno(first.get()), &sa) == 0 && fstat(fileno(second.get()), &sb) == 0 &&
        S_ISREG(sa.st_mode) && S_ISREG(sb.st_mode) && sa.st_size != sb.st_size)
        return 1;
    std::vector<unsigned char> blockA(kCopyBlock), blockB(kCopyBlock);
    for (;;) {
        size_t na = fread(blockA.data(), 1, blockA.size(), first.get());
        if (na < blockA.size() && ferror(first.get())) {
            UL_SYSERR(errno, u"Cannot read '%s'", a);
            return UL_ERROR_RETURN(-1);
        }
        size_t nb = fread(blockB.data(), 1, blockB.size(), second.get());
        if (nb < blockB.size() && ferror(second.get())) {
            UL_SYSERR(errno, u"Cannot read '%s'", b);
            return UL_ERROR_RETURN(-1);
        }
        if (na != nb || memcmp(blockA.data(), blockB.data(), na) != 0) return 1;
        if (na < blockA.size()) return 0;
    }
}

int ul_filechecksum(const char16_t* path, unsigned* result) {
    ULFileHandle in(fopen(ul_utf16to8(path).c_str(), "rb"));
    if (!in.get()) {
        UL_SYSERR(errno, u"Cannot read '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    std::vector<unsigned char> block(kCopyBlock);
    unsigned crc = UL_CRC_INIT;
    for (;;) {
        size_t n = fread(block.data(), 1, block.size(), in.get());
        crc = ul_crccalc(crc, block.data(), n);
        if (n < block.size()) {
            if (ferror(in.get())) {
                UL_SYSERR(errno, u"Cannot read '%s'", path);
                return UL_ERROR_RETURN(-1);
            }
            break;
        }
    }
    *result = crc;
    return 0;
}

#include "ulpidfile.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "ulauxfcts.h"
#include "ulerror.h"
#include "ulfile.h"
#include "ulsqlaux.h"
#include "ulstring.h"
#include "ultextfile.h"
#include "ultrace.h"

namespace {

constexpr long kMaxPid = 2147483646;
constexpr size_t kNameSize = 256;

double monotonicSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A host name compared by its part before the first ".", ignoring case.
bool sameHost(const char16_t* fileHost, const char16_t* ownHost) {
    std::u16string shortName = fileHost;
    size_t dot = shortName.find(u'.');
    if (dot != std::u16string::npos) shortName.resize(dot);
    return ul_stricmp(shortName.c_str(), ownHost) == 0;
}

// Moves every node of from to the end of to.
void appendNodes(ul_dllist_t* to, ul_dllist_t* from) {
    while (!from->isEmpty()) {
        ul_dllistnode_t* node = from->head;
        ul_dllist_t::unlinkNode(node);
        to->addNode(node, -1);
    }
}

int removeFile(const char16_t* path) {
    if (remove(ul_utf16to8(path).c_str()) != 0 && errno != ENOENT) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot remove '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// Writes the own PID line to a private temporary file and renames it into place, so that a
// reader or a process appending a request never meets a file without its PID line (an append
// to a file still being written would otherwise be overwritten by the PID line).
int writePidLine(const char16_t* path, int flags) {
    char16_t host[kNameSize];
    if ((flags & UL_PIDFILE_HOSTNAME) && ul_gethostshortname(host, kNameSize) < 0)
        return UL_ERROR_RETURN(-1);
    const std::u16string temporary =
        std::u16string(path) + u"." + ul_utf8to16(std::to_string(ul_getownpid()).c_str()) + u".tmp";
    ULFileHandle stream(ul_filefopen(temporary.c_str(), u"w", UL_FILE_NOMSG));
    if (!stream) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write to '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    ULTextFileWriter writer;
    writer.attach(stream.get(), path);
    int rc = (flags & UL_PIDFILE_HOSTNAME) ? writer.writeFmt(u"%d %s\n", ul_getownpid(), host)
                                           : writer.writeFmt(u"%d\n", ul_getownpid());
    if (writer.close() < 0) rc = -1;
    if (rc == 0 && stream.closeChecked(path) < 0) rc = -1;
    if (rc == 0 && ul_fileatomicmove(temporary.c_str(), path) < 0) rc = -1;
    if (rc < 0) remove(ul_utf16to8(temporary.c_str()).c_str());
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// Whether a live process that owns the file by its id keeps it: yes without a name to check,
// when its name contains processName, or when its name cannot be told.
bool ownerKeepsFile(int pid, const char16_t* processName, const char16_t* path) {
    if (!processName || !*processName) return true;
    char16_t name[kNameSize];
    if (ul_procgetname(pid, name, kNameSize) < 0) return true;
    if (ul_stristr(name, processName)) return true;
    UL_TRACE(UL_TRC_PIDFILE, 1,
             u"Process %d with name '%s' is differs to '%s, delete pidfile '%s'.\n", pid, name,
             processName, path);
    return false;
}

}  // namespace

ULPidFile::ULPidFile() = default;

ULPidFile::~ULPidFile() {
    m_statusLines.freeList(0);
}

void ULPidFile::reset() {
    m_pid = -1;
    m_stopRequested = false;
    m_statusLines.freeList(0);
}

int ULPidFile::parsePidLine(const char16_t* line, const char16_t* path) {
    std::u16string text = ul_trimmed(line);
    size_t blank = text.find_first_of(u" \t");
    std::u16string number = text.substr(0, blank);
    std::u16string host = blank == std::u16string::npos ? u"" : ul_trimmed(text.c_str() + blank);
    long pid = 0;
    if (ul_stringtolong(number.c_str(), &pid) < 0 || pid < 1 || pid > kMaxPid) {
        ul_errorsetmsgfmt(0, u"Invalid pid '%s' in '%s'", number.c_str(), path);
        return UL_ERROR_RETURN(-1);
    }
    m_pid = static_cast<int>(pid);
    if (host.empty()) return 0;
    char16_t ownHost[kNameSize];
    if (ul_gethostshortname(ownHost, kNameSize) < 0) return UL_ERROR_RETURN(-1);
    if (!sameHost(host.c_str(), ownHost)) {
        UL_TRACE(UL_TRC_PIDFILE, 2, u"Pid file '%s' names host '%s', not '%s'.\n", path,
                 host.c_str(), ownHost);
        m_pid = 0;
    }
    return 0;
}

int ULPidFile::parseLaterLine(const char16_t* line, const char16_t* path, ul_dllist_t* requests) {
    if (ul_stricmp(ul_trimmed(line).c_str(), u"STOP-EXECUTION") == 0) {
        m_stopRequested = true;
        return 0;
    }
    if (const char16_t* request = ul_stringstartcmp(line, u"REQUEST:")) {
        while (*request == u' ') ++request;
        return ul_dllistcreateaddstrnode(requests, request, -1) ? 0 : UL_ERROR_RETURN(-1);
    }
    const char16_t* colon = ul_strchr(line, u':');
    bool statusLine = colon && colon > line;
    for (const char16_t* c = line; statusLine && c < colon; ++c)
        if (ul_isspace(*c)) statusLine = false;
    if (statusLine)
        return ul_dllistcreateaddstrnode(&m_statusLines, line, -1) ? 0 : UL_ERROR_RETURN(-1);
    ul_errorsetmsgfmt(0, u"Illegal line '%s' in PID file '%s'", line, path);
    return UL_ERROR_RETURN(-1);
}

int ULPidFile::read(const char16_t* path, ul_dllist_t* requests) {
    reset();
    ULFileHandle stream(ul_filefopen(path, u"r", UL_FILE_NOMSG));
    if (!stream) {
        if (errno == ENOENT) return UL_PIDFILE_MISSING;
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot read '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    ULTextFileReader reader;
    reader.attach(stream.get(), path);
    ul_dllist_t found;
    int rc;
    while ((rc = reader.readLine()) > 0) {
        if (reader.lastLineIncomplete()) {
            UL_TRACE(UL_TRC_PIDFILE, 1,
                     u"Warning: PID file '%s' has premature last line '%s' - ignored!\n", path,
                     reader.line());
            break;
        }
        if (reader.length() > UL_PIDFILE_MAXLINE) reader.line()[UL_PIDFILE_MAXLINE] = 0;
        rc = reader.lineNumber() == 1 ? parsePidLine(reader.line(), path)
                                      : parseLaterLine(reader.line(), path, &found);
        if (rc < 0) break;
    }
    if (rc < 0) {
        found.freeList(0);
        m_statusLines.freeList(0);
        return UL_ERROR_RETURN(-1);
    }
    if (requests) appendNodes(requests, &found);
    found.freeList(0);
    UL_TRACE(UL_TRC_PIDFILE, 3, u"Read pid file '%s': pid %d%s.\n", path, m_pid,
             m_stopRequested ? u", stop requested" : u"");
    return UL_PIDFILE_READ;
}

bool ULPidFile::withinCheckInterval() {
    double now = monotonicSeconds();
    if (m_lastCheck >= 0 && now - m_lastCheck < UL_SQLPidCheckRate) return true;
    m_lastCheck = now;
    return false;
}

int ULPidFile::create(const char16_t* path, const char16_t* processName, int flags) {
    ULPidFile existing;
    int rc = existing.read(path, nullptr);
    if (rc < 0 && rc != UL_PIDFILE_MISSING) return UL_ERROR_RETURN(-1);
    int owner = existing.pid();
    if (owner > 0 && owner != ul_getownpid() && ul_procisalive(owner)) {
        if (ownerKeepsFile(owner, processName, path)) return owner;
        if (removeFile(path) < 0) return UL_ERROR_RETURN(-1);
    }
    if (writePidLine(path, flags) < 0) return UL_ERROR_RETURN(-1);
    UL_TRACE(UL_TRC_PIDFILE, 2, u"Created pid file '%s' for process %d.\n", path, ul_getownpid());
    return 0;
}

int ULPidFile::verify(ULPidFile* checker, const char16_t* path, ul_dllist_t* requests) {
    if (checker && checker->withinCheckInterval()) return 0;
    ULPidFile local;
    ULPidFile* file = checker ? checker : &local;
    int rc = file->read(path, requests);
    if (rc == UL_PIDFILE_MISSING) {
        ul_errorsetmsgfmt(0, u"Missing pid file '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (file->pid() < 0) {
        ul_errorsetmsgfmt(0, u"Empty pid file '%s'", path);
        return UL_ERROR_RETURN(-1);
    }
    if (file->pid() != ul_getownpid()) {
        ul_errorsetmsgfmt(0, u"Pid file '%s' contains different pid %d != %d", path, file->pid(),
                          ul_getownpid());
        return UL_ERROR_RETURN(-1);
    }
    return file->stopRequested() ? 1 : 0;
}

int ULPidFile::delFile(const char16_t* path) {
    return removeFile(path) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// PID files: how a controlling process finds a running tool process and asks it to stop.
//
// The file is text, one record per line, each ended by a line feed. Line 1 is the owner's
// process id, optionally followed by a blank and the owner's short host name. The controller
// appends further lines: "STOP-EXECUTION" (any case) asks the owner to stop, "REQUEST: <text>"
// passes a request, "<prefix>:<text>" is a status line. The tool writes only line 1 and reads
// the rest.
#pragma once

#include "uldllist.h"

enum : int {
    UL_PIDFILE_HOSTNAME = 1,  // create(): write the short host name behind the process id
};

// Results of ULPidFile::read().
enum : int {
    UL_PIDFILE_READ = 0,
    UL_PIDFILE_MISSING = -2,
};

// Longest line taken from a PID file, in code units; the rest of a longer line is dropped.
constexpr size_t UL_PIDFILE_MAXLINE = 16383;

class ULPidFile {
  public:
    ULPidFile();
    ~ULPidFile();
    ULPidFile(const ULPidFile&) = delete;
    ULPidFile& operator=(const ULPidFile&) = delete;

    // Writes this process's PID file, replacing the file unless a live process owns it.
    // An existing file that names a live process (other than this one) is kept, and that
    // process's id is returned, when processName is null or empty, when the live process's
    // name contains processName (ignoring case), or when its name cannot be determined.
    // Otherwise the stale file is removed and replaced. A file naming another host never
    // names a live process. Flags: UL_PIDFILE_HOSTNAME. Returns 0 when the file was written,
    // the owner's id, or -1 (reading errors as read(), "Cannot remove '%s'", "Cannot write to
    // '%s'").
    static int create(const char16_t* path, const char16_t* processName, int flags);

    // Checks that path still names this process and appends its request texts to requests
    // (may be null). With a checker the file is read at most once per UL_SQLPidCheckRate
    // seconds (ulsqlaux.h); calls in between return 0 without reading, and the checker keeps
    // what the last read found. Returns 1 when a stop request is present, 0 otherwise, or -1
    // ("Missing pid file '%s'", "Empty pid file '%s'", "Pid file '%s' contains different pid
    // %d != %d" with the file's and the own id, or a reading error).
    static int verify(ULPidFile* checker, const char16_t* path, ul_dllist_t* requests);

    // Removes the file; a missing file is no error. Returns 0 or -1 ("Cannot remove '%s'").
    static int delFile(const char16_t* path);

    // Reads the file into this object and appends its request texts (blanks after "REQUEST:"
    // skipped) to requests (may be null). A last line without its line feed is still being
    // written: it is ignored with a trace warning. Returns UL_PIDFILE_READ, UL_PIDFILE_MISSING
    // (pid() is -1 then), or -1 ("Cannot read '%s'", "Invalid pid '%s' in '%s'", "Cannot
    // retrieve qualified hostname", "Illegal line '%s' in PID file '%s'"); on -1 nothing is
    // appended to requests.
    int read(const char16_t* path, ul_dllist_t* requests);

    // After read(): the process id of line 1 (1 to 2147483646), 0 when the line names another
    // host, -1 when the file is missing or has no complete first line.
    int pid() const { return m_pid; }
    bool stopRequested() const { return m_stopRequested; }
    // The status lines as they stand in the file, in file order.
    ul_dllist_t* statusLines() { return &m_statusLines; }

  private:
    void reset();
    int parsePidLine(const char16_t* line, const char16_t* path);
    int parseLaterLine(const char16_t* line, const char16_t* path, ul_dllist_t* requests);
    // True when the checker's interval since its last read has not passed; else it notes now.
    bool withinCheckInterval();

    int m_pid = -1;
    bool m_stopRequested = false;
    ul_dllist_t m_statusLines;
    double m_lastCheck = -1.0;  // monotonic seconds of verify()'s last read; negative: none yet
};

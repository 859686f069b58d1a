#include "ulbootasc.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ulerror.h"
#include "ulstring.h"

namespace {

// A decimal number that fills the whole value (leading blanks and a sign allowed, as strtol
// reads them); anything else is no number.
bool parseNumber(const char* text, long* value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    long number = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != 0) return false;
    *value = number;
    return true;
}

void bootTrace(int level, const char* format, const char* argument) {
    if (ul_boottracelevel() < level) return;
    fprintf(stdout, format, argument);
    fflush(stdout);
}

[[noreturn]] void bootFatal(const std::string& reason) {
    fflush(stdout);
    fprintf(stderr, "FATAL: %s\n", reason.c_str());
    fflush(stderr);
    exit(UL_BOOT_EXIT_FATAL);
}

// Folds ".", ".." and repeated slashes of an absolute path without looking at the file
// system; ".." above the root stays at the root.
std::string foldPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        std::string part = path.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        pos = slash + 1;
    }
    std::string folded;
    for (const std::string& part : parts) folded += "/" + part;
    return folded.empty() ? "/" : folded;
}

bool currentDirectory(std::string* directory, std::string* error) {
    std::vector<char> buffer(PATH_MAX);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) {
            *error = std::string("Cannot get the current directory: ") + strerror(errno);
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
    *directory = buffer.data();
    return true;
}

bool makeAbsolute(const std::string& path, std::string* absolute, std::string* error) {
    if (!path.empty() && path[0] == '/') {
        *absolute = path;
        return true;
    }
    std::string cwd;
    if (!currentDirectory(&cwd, error)) return false;
    size_t start = 0;
    while (path.compare(start, 2, "./") == 0) start += 2;
    *absolute = cwd + (cwd == "/" ? "" : "/") + path.substr(start);
    return true;
}

bool isExecutableFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// The first executable file called name in the directories of PATH, or "".
std::string searchPath(const char* name) {
    const char* path = getenv("PATH");
    if (!path) return "";
    std::string entries = path;
    size_t pos = 0;
    while (pos <= entries.size()) {
        size_t colon = entries.find(':', pos);
        if (colon == std::string::npos) colon = entries.size();
        std::string directory = entries.substr(pos, colon - pos);
        std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        if (isExecutableFile(candidate)) return candidate;
        pos = colon + 1;
    }
    return "";
}

bool ownExecutable(std::string* path, std::string* error) {
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) {
        *error = std::string("Cannot read /proc/self/exe: ") + strerror(errno);
        return false;
    }
    path->assign(buffer.data(), static_cast<size_t>(n));
    return true;
}

// DIR_LIBRARY as handed to putenv(), which keeps the pointer: the current entry stays
// allocated until a newer one has replaced it in the environment.
char* g_dirLibraryEntry = nullptr;

int putDirLibrary(const std::string& directory) {
    std::string entry(directory.size() + sizeof "DIR_LIBRARY=", '\0');
    snprintf(entry.data(), entry.size(), "%s=%s", "DIR_LIBRARY", directory.c_str());
    char* text = strdup(entry.c_str());
    if (!text) return -1;
    if (putenv(text) != 0) {
        int saved = errno;
        free(text);
        errno = saved;
        return -1;
    }
    free(g_dirLibraryEntry);
    g_dirLibraryEntry = text;
    return 0;
}

[[noreturn]] void reexecute(const std::string& executable, char** argv) {
    bootTrace(1, "*** Reexecuting %s with adapted environment\n", executable.c_str());
    fflush(stdout);
    fflush(stderr);
    execv(executable.c_str(), argv);
    int saved = errno;
    fprintf(stderr, "FATAL: Reexecuting %s failed!\n", executable.c_str());
    fprintf(stderr, "ERROR: %s\n", strerror(saved));
    fflush(stderr);
    exit(UL_BOOT_EXIT_FATAL);
}

}  // namespace

bool ul_bootisdisabled() {
    long value = 0;
    return parseNumber(getenv("UL_STARTUP_DISABLE"), &value) && value != 0;
}

int ul_boottracelevel() {
    long value = 0;
    if (!parseNumber(getenv("UL_STARTUP_TRACE"), &value)) return 0;
    return value > INT_MAX ? INT_MAX : value < 0 ? 0 : static_cast<int>(value);
}

bool ul_bootexecutablelocation(const char* argv0, std::string* directory, std::string* executable,
                               std::string* error) {
    if (!argv0 || !*argv0) {
        *error = "The program path is empty";
        return false;
    }
    std::string found;
    if (strchr(argv0, '/')) {
        found = argv0;
    } else {
        found = searchPath(argv0);
        if (found.empty() && !ownExecutable(&found, error)) return false;
    }
    std::string absolute;
    if (!makeAbsolute(found, &absolute, error)) return false;
    std::string folded = foldPath(absolute);
    size_t slash = folded.rfind('/');
    *directory = slash == 0 ? "/" : folded.substr(0, slash);
    *executable = strchr(argv0, '/') ? std::string(argv0) : absolute;
    return true;
}

bool ul_bootlibrarypath(const std::string& directory, const char* current, std::string* adapted) {
    if (!current || !*current) {
        *adapted = directory;
        return true;
    }
    size_t n = directory.size();
    if (strncmp(current, directory.c_str(), n) == 0 && (current[n] == 0 || current[n] == ':'))
        return false;
    *adapted = directory + ":" + current;
    return true;
}

int ul_bootadaptenv(int argc, char** argv) {
    if (ul_bootisdisabled()) return 0;
    if (argc < 1 || !argv || !argv[0]) bootFatal("No program path in the argument vector");
    std::string directory, executable, error;
    if (!ul_bootexecutablelocation(argv[0], &directory, &executable, &error)) bootFatal(error);
    bootTrace(2, "*** Executable directory '%s'\n", directory.c_str());

    std::string libraryPath;
    bool changed = ul_bootlibrarypath(directory, getenv("LD_LIBRARY_PATH"), &libraryPath);
    if (changed) {
        if (setenv("LD_LIBRARY_PATH", libraryPath.c_str(), 1) != 0)
            bootFatal(std::string("Cannot set LD_LIBRARY_PATH: ") + strerror(errno));
        bootTrace(2, "*** LD_LIBRARY_PATH=%s\n", libraryPath.c_str());
    }
    if (putDirLibrary(directory) != 0)
        bootFatal(std::string("Cannot set DIR_LIBRARY: ") + strerror(errno));
    bootTrace(2, "*** DIR_LIBRARY=%s\n", directory.c_str());
    if (changed) reexecute(executable, argv);
    return 0;
}

int ul_bootadaptdbenv(const char16_t* programPath) {
    if (ul_bootisdisabled()) return 0;
    std::string directory, executable, error;
    std::string path = ul_utf16to8(programPath ? programPath : u"");
    if (!ul_bootexecutablelocation(path.c_str(), &directory, &executable, &error)) {
        ul_errorsetmsg(0, ul_utf8to16(error.c_str()).c_str());
        return UL_ERROR_RETURN(-1);
    }
    if (putDirLibrary(directory) != 0) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot put DIR_LIBRARY=%hs into the environment",
                          directory.c_str());
        return UL_ERROR_RETURN(-1);
    }
    return 1;
}

#include "tabrix.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ulauxfcts.h"
#include "ulbootasc.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlbase2.h"
#include "ulsqlutil.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

const ul_cmddefinition_t CmdDefinitions[] = {
    {0, u"splittable", cmd_SPLITTABLE},
    {0, u"crctable", cmd_CRCTABLE},
    {0, u"crceval", cmd_CRCEVAL},
    {0, u"crcclear", cmd_CRCCLEAR},
    {0, u"chktable", cmd_CHKTABLE},
    {0, u"chkpools", cmd_CHKPOOLS},
    {0, u"scancluster", cmd_SCANCLUSTER},
    {UL_CMD_PREFIX_MATCH | UL_CMD_NO_STATUS_MESSAGE, u"dbversion", cmd_DBVERSION},
    {0, u"countrows", cmd_COUNTROWS},
    {0, u"objsize", cmd_OBJSIZE},
    {UL_CMD_NO_STATUS_MESSAGE, u"execdb", cmd_EXECDB},
    {0, u"migtables", cmd_MIGTABLES},
    {0, u"dbtabpos", cmd_DBTABPOS},
    {0, u"genkeytraces", cmd_GENKEYTRACES},
    {0, u"optimizeimport", cmd_OPTIMIZEIMPORT},
    {0, u"repoclean", cmd_REPOCLEAN},
    {0, u"seldepends", cmd_SELDEPENDS},
    {0, u"zdbmonitor", cmd_ZDBMONITOR},
    {0, u"zdbutil", cmd_ZDBUTIL},
    {UL_CMD_NO_STATUS_MESSAGE, u"sqlruntask", cmd_SQLRUNTASK},
    {UL_CMD_NO_STATUS_MESSAGE, u"dumptable", cmd_DUMPTABLE},
    {UL_CMD_PREFIX_MATCH | UL_CMD_NO_STATUS_MESSAGE, u"hexdump", cmd_HEXDUMP},
    {0, u"dbping", cmd_DBPING},
    {0, nullptr, nullptr},
};

namespace {

constexpr unsigned kUnset = UL_OPTION_UNSET;
constexpr size_t kOptionSize = 256;
constexpr unsigned kSplitWidth = 70;

int fatal() {
    fprintf(stderr, "\nFATAL ERROR: %s\n", ul_utf16to8(ul_errorgetmsg()).c_str());
    fflush(stderr);
    return UL_EXIT_FATAL;
}

// Bytes for a message: valid UTF-8 as it is, every byte of an invalid sequence as \xNN.
std::u16string showBytes(const char* text, size_t length) {
    std::u16string out;
    size_t pos = 0;
    while (pos < length) {
        const long bad = ul_utf8invalidoffset(text + pos, length - pos);
        const size_t good = bad < 0 ? length - pos : static_cast<size_t>(bad);
        ul_utf8to16append(out, text + pos, good);
        pos += good;
        if (pos < length) out += ul_format(u"\\x%02x", static_cast<unsigned char>(text[pos++]));
    }
    return out;
}

// A release name ending in "_REL" or "_COR" is shown without that suffix.
std::string releaseName() {
    std::string name = TABRIX_RELEASE;
    for (const char* suffix : {"_REL", "_COR"})
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, suffix) == 0)
            return name.substr(0, name.size() - 4);
    return name;
}

bool isDevelopmentBuild() {
    std::string name = TABRIX_RELEASE;
    return name == "dev" || name == "qual";
}

int setSuffix(std::u16string* target, const char16_t* value) {
    if (ul_strlen(value) > kOptionSize - 1) {
        ul_errorsetmsgfmt(0, u"Suffix '%s' is longer than %d characters", value,
                          static_cast<int>(kOptionSize - 1));
        return UL_ERROR_RETURN(-1);
    }
    *target = value;
    return 0;
}

int parseNametabType(const char16_t* keyword, unsigned* type) {
    int value = ul_sqlntgettypefromstring(keyword);
    if (value < 0) {
        ul_errorsetmsgfmt(0, u"Invalid nametab type '%s'", keyword);
        return UL_ERROR_RETURN(-1);
    }
    *type = static_cast<unsigned>(value);
    return 0;
}

// Applies one argument if it is a global option: 1 = consumed, 0 = not an option, -1 = error.
// The options are tried in this order and the first matching prefix decides.
int applyGlobalOption(const char16_t* arg, ul_globaloptions_t* options) {
    const char16_t* value;
    if ((value = ul_stringstartcmp(arg, u"logfile="))) {
        options->logFile = value;
    } else if ((value = ul_stringstartcmp(arg, u"nametab="))) {
        if (parseNametabType(value, &options->nametabType) < 0) return UL_ERROR_RETURN(-1);
        options->ntSuffix.clear();
    } else if ((value = ul_stringstartcmp(arg, u"altnametab="))) {
        if (parseNametabType(value, &options->altNametabType) < 0) return UL_ERROR_RETURN(-1);
        if (options->altNametabType == 0) options->altNametabType = kUnset;
        options->altNtSuffix.clear();
    } else if ((value = ul_stringstartcmp(arg, u"isolevel="))) {
        int level = ul_sqlisolevelfromstring(value);
        if (level < 0) {
            ul_errorsetmsgfmt(0, u"Unknown isolation level '%s'", value);
            return UL_ERROR_RETURN(-1);
        }
        options->isoLevel = static_cast<unsigned>(level);
    } else if ((value = ul_stringstartcmp(arg, u"nt_suffix="))) {
        if (setSuffix(&options->ntSuffix, value) < 0) return UL_ERROR_RETURN(-1);
        options->nametabType = 10;
    } else if ((value = ul_stringstartcmp(arg, u"altnt_suffix="))) {
        if (setSuffix(&options->altNtSuffix, value) < 0) return UL_ERROR_RETURN(-1);
        options->altNametabType = 10;
    } else if ((value = ul_stringstartcmp(arg, u"table_suffix="))) {
        if (setSuffix(&options->tableSuffix, value) < 0) return UL_ERROR_RETURN(-1);
    } else if ((value = ul_stringstartcmp(arg, u"sqloptions="))) {
        if (ul_sqlparseglobalflags(value) < 0) return UL_ERROR_RETURN(-1);
    } else if ((value = ul_stringstartcmp(arg, u"tracelevel="))) {
        if (ul_tracesetlevels2(value, 0) < 0) return UL_ERROR_RETURN(-1);
    } else {
        return 0;
    }
    return 1;
}

// Hands the collected nametab, suffix and isolation settings to the session. The alternate
// slot goes first without switching, so that a configured alternate nametab ends up current.
int applySessionSettings(const ul_globaloptions_t& options) {
    if (options.altNametabType != kUnset &&
        ul_sqlntsettype(options.altNametabType,
                        options.altNametabType == 10 ? options.altNtSuffix.c_str() : nullptr,
                        3) < 0)
        return UL_ERROR_RETURN(-1);
    if (options.nametabType != kUnset &&
        ul_sqlntsettype(options.nametabType,
                        options.nametabType == 10 ? options.ntSuffix.c_str() : nullptr, 0) < 0)
        return UL_ERROR_RETURN(-1);
    if (!options.tableSuffix.empty() &&
        ul_sqltablesuffixsettype(10, options.tableSuffix.c_str()) < 0)
        return UL_ERROR_RETURN(-1);
    if (options.isoLevel != kUnset && ul_sqlsetisolevel(static_cast<int>(options.isoLevel)) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int applyTraceEnvironment() {
    if (const char* levelText = getenv("TABRIX_TRACELEVEL")) {
        std::u16string levels = ul_utf8to16(levelText);
        if (levels.size() > 255) {
            ul_errorsetmsg(0, u"Environment variable TABRIX_TRACELEVEL is longer than 255 characters");
            return UL_ERROR_RETURN(-1);
        }
        if (ul_tracesetlevels2(levels.c_str(), 0) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// A developer who needs the platform's own signal behaviour (core dumps, debugger stops)
// asks for it with OS trace level 10, which only the environment can set this early.
int installSignalHandlers() {
    if (ul_setsignalhandlers(UL_SIGNALS_INSTALL) < 0) return UL_ERROR_RETURN(-1);
    if (UL_TraceLevels[UL_TRC_OS] >= 10) {
        UL_TRACE(UL_TRC_OS, 10, u"Resetting signal handlers to default\n");
        if (ul_setsignalhandlers(UL_SIGNALS_RESTORE) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int applyGlobalFlagsEnvironment() {
    if (const char* flags = getenv("TABRIX_GLOBALFLAGS")) {
        if (ul_sqlparseglobalflags(ul_utf8to16(flags).c_str()) < 0) return UL_ERROR_RETURN(-1);
    }
    return 0;
}

// Start-up before the command line is read: trace output, signal handlers, environment
// settings.
int prepareProcess() {
    ul_tracesetglobalfileptr(stdout);
    ul_tracesetglobalflags(1);
    if (ul_sqldecfloatinit() < 0) return UL_ERROR_RETURN(-1);
    if (applyTraceEnvironment() < 0) return UL_ERROR_RETURN(-1);
    if (installSignalHandlers() < 0) return UL_ERROR_RETURN(-1);
    if (applyGlobalFlagsEnvironment() < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

// The database library finds its files through DIR_LIBRARY; a program started by name
// alone (searched in PATH) has no directory to offer here.
int adaptDatabaseEnvironment(const char16_t* program) {
    if (!ul_strchr(program, u'/')) return 0;
    return ul_bootadaptdbenv(program) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int openLog(const ul_globaloptions_t& options, FILE** log) {
    *log = nullptr;
    if (options.logFile) {
        *log = fopen(ul_utf16to8(options.logFile).c_str(), "a");
        if (!*log) {
            ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot open '%s' for writing", options.logFile);
            return UL_ERROR_RETURN(-1);
        }
    }
    FILE* stream = *log ? *log : stdout;
    ul_msgwrite_setfp(stream);
    ul_tracesetglobalfileptr(stream);
    return 0;
}

int reportFailure() {
    ul_msgwrite_splitlong(1, u'E', 8, 9, ul_errorgetmsg(), kSplitWidth, 0);
    ul_msgwrite_print(1, u'E', 3, 0, UL_EXIT_FATAL);
    return UL_EXIT_FATAL;
}

int closeLog(const ul_globaloptions_t& options, FILE* log) {
    if (!log) return 0;
    ul_msgwrite_setfp(stdout);
    ul_tracesetglobalfileptr(stdout);
    if (fclose(log) != 0) {
        ul_errorsetmsgfmt(UL_ERR_SYSTEM, u"Cannot write to '%s'", options.logFile);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

bool rowMatches(const ul_cmddefinition_t& row, const char16_t* word) {
    if (row.flags & UL_CMD_PREFIX_MATCH) return ul_stringstartcmp(word, row.name) != nullptr;
    return ul_stricmp(word, row.name) == 0;
}

void traceCall(const ul_cmddefinition_t* row, unsigned argc, const char16_t** argv) {
    if (!ul_traceactive(UL_TRC_MAIN, 1)) return;
    std::u16string words;
    for (unsigned i = 1; i < argc; ++i) words += u" '" + std::u16string(argv[i]) + u"'";
    UL_TRACE(UL_TRC_MAIN, 1, u"Calling command '%s' as '%s' with %d argument(s):%s\n", row->name,
             argv[0], static_cast<int>(argc - 1), words.c_str());
}

}  // namespace

const ul_cmddefinition_t* ul_cmdfind(const ul_cmddefinition_t* table, const char16_t* word) {
    for (const ul_cmddefinition_t* row = table; row->name; ++row)
        if (rowMatches(*row, word)) return row;
    return nullptr;
}

void ul_cmdusage(const ul_cmddefinition_t* table, const char16_t* programPath, FILE* stream) {
    std::string program = ul_utf16to8(programPath);
    fprintf(stream, "This is %s release %s", program.c_str(), releaseName().c_str());
    if (*TABRIX_BRANCH) fprintf(stream, " (%s)", TABRIX_BRANCH);
    fprintf(stream, ", build %s", TABRIX_VERSION);
    if (*TABRIX_SOURCE_DATE) fprintf(stream, " source date %s", TABRIX_SOURCE_DATE);
    fprintf(stream, " compile time %s %s\n", TABRIX_COMPILE_TIME, TABRIX_COMPILE_DATE);
    fprintf(stream, "Usage:\n");
    for (const ul_cmddefinition_t* row = table; row->name; ++row)
        fprintf(stream, "  %s %s ...\n", program.c_str(), ul_utf16to8(row->name).c_str());
    fprintf(stream,
            "Global options:\n  logfile=<filename>\n  tracelevel=<specification>\n"
            "  [alt]nametab=[off|std|shd|bri]\n  isolevel=[committed|default]\n"
            "  [alt]nt_suffix=[<ntsuffix>\n  table_suffix=<suffix>\n  sqloptions=<options>\n");
    fflush(stream);
}

int ul_cmdprintusage(const char16_t* text, int result) {
    const std::string bytes = ul_utf16to8(text);
    if (fputs(bytes.c_str(), stdout) >= 0) fflush(stdout);
    return result;
}

int ul_cmdcollectoptions(unsigned int argc, const char16_t** argv, ul_globaloptions_t* options,
                         std::vector<const char16_t*>* kept) {
    for (unsigned i = 1; i < argc; ++i) {
        int rc = applyGlobalOption(argv[i], options);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        if (rc == 0) kept->push_back(argv[i]);
    }
    return 0;
}

int ul_cmddispatch(unsigned int argc, const char16_t** argv, const ul_cmddefinition_t* table) {
    if (prepareProcess() < 0) return fatal();

    ul_globaloptions_t options;
    std::vector<const char16_t*> kept;
    kept.reserve(argc + 1);
    kept.push_back(argc > 0 ? argv[0] : u"tabrix");
    if (ul_cmdcollectoptions(argc, argv, &options, &kept) < 0) return fatal();
    const char16_t* program = kept[0];
    const ul_cmddefinition_t* row = kept.size() > 1 ? ul_cmdfind(table, kept[1]) : nullptr;
    if (!row) {
        ul_cmdusage(table, program, stdout);
        return UL_EXIT_USAGE;
    }
    if (isDevelopmentBuild() || UL_TraceLevels[UL_TRC_SQLTOOL] > 10) {
        UL_ErrorGotoFlag = 3;
        UL_ErrorGotoFile = stderr;
    }
    if (adaptDatabaseEnvironment(program) < 0) return fatal();

    ul_msgwrite_setflags(UL_MSGFLAG_EXIT_ON_FAILURE);
    if (ul_msgwrite_register(u"TQ", UL_TQMessages) < 0) return fatal();
    FILE* log = nullptr;
    if (openLog(options, &log) < 0) return fatal();

    unsigned commandArgc = static_cast<unsigned>(kept.size() - 1);
    kept.push_back(nullptr);
    traceCall(row, commandArgc, kept.data() + 1);
    int status = applySessionSettings(options);
    if (status == 0) status = row->handler(commandArgc, kept.data() + 1);
    if (status == -1) {
        status = reportFailure();
    } else if (!(row->flags & UL_CMD_NO_STATUS_MESSAGE) && commandArgc > 1) {
        ul_msgwrite_print(1, u' ', 3, 0, status);
    }
    if (closeLog(options, log) < 0) return fatal();
    return status;
}

int nlsui_main(unsigned int argc, const char16_t** argv) {
    return ul_cmddispatch(argc, argv, CmdDefinitions);
}

int ul_cmdmainutf8(int argc, char** argv) {
    std::vector<std::u16string> words;
    words.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        const size_t length = strlen(argv[i]);
        const long bad = ul_utf8invalidoffset(argv[i], length);
        if (bad >= 0) {
            ul_errorsetmsgfmt(0,
                              u"Command-line argument #%d '%s' is not valid UTF-8 (byte %#x at "
                              u"offset %ld)",
                              i, showBytes(argv[i], length).c_str(),
                              static_cast<unsigned char>(argv[i][bad]), bad);
            return fatal();
        }
        words.push_back(ul_utf8to16(argv[i], length));
    }
    std::vector<const char16_t*> argv16;
    for (const std::u16string& word : words) argv16.push_back(word.c_str());
    argv16.push_back(nullptr);
    return nlsui_main(static_cast<unsigned>(argc), argv16.data());
}

// The entry module: the command table, the dispatcher and the usage text.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// A command handler gets the command word as typed in argv[0], its own arguments (global
// options removed) in argv[1..argc-1] and a null argv[argc]. It returns its status, which
// becomes the exit code, or -1 with the reason in the error buffer.
using ul_cmdhandler_t = int (*)(unsigned int argc, const char16_t** argv);

enum : unsigned {
    UL_CMD_NO_STATUS_MESSAGE = 0x01,  // no final "exit code" message after the handler
    UL_CMD_PREFIX_MATCH = 0x10,       // the word only has to begin with the name (case-sensitive)
};

struct ul_cmddefinition_t {
    unsigned flags;
    const char16_t* name;
    ul_cmdhandler_t handler;
};

// In search and usage order; ends with a row whose name is null.
extern const ul_cmddefinition_t CmdDefinitions[];

// Exit codes of the dispatcher itself.
enum : int {
    UL_EXIT_USAGE = 5,
    UL_EXIT_MESSAGE_FAILED = 10,
    UL_EXIT_FATAL = 20,
};

int nlsui_main(unsigned int argc, const char16_t** argv);

// The process entry behind the library path adaption: converts the UTF-8 argument vector and
// runs nlsui_main. An argument that is not valid UTF-8 is a fatal start-up error (a decoded
// file name would name another file than the one given).
int ul_cmdmainutf8(int argc, char** argv);

// Runs one command from the given table (nlsui_main passes CmdDefinitions).
int ul_cmddispatch(unsigned int argc, const char16_t** argv, const ul_cmddefinition_t* table);

// The global options collected from the command line until the command starts. Unset is all
// ones, distinct from nametab type 0 ("off"), which is a valid type.
constexpr unsigned UL_OPTION_UNSET = ~0u;
struct ul_globaloptions_t {
    const char16_t* logFile = nullptr;
    unsigned nametabType = UL_OPTION_UNSET;
    unsigned altNametabType = UL_OPTION_UNSET;
    std::u16string ntSuffix;
    std::u16string altNtSuffix;
    std::u16string tableSuffix;
    unsigned isoLevel = UL_OPTION_UNSET;
};

// Walks argv[1..argc-1] once: applies the global options (trace levels and SQL options at
// once, the rest into options) and appends every other word to kept, in order. Returns 0, or
// -1 for a bad option value.
int ul_cmdcollectoptions(unsigned int argc, const char16_t** argv, ul_globaloptions_t* options,
                         std::vector<const char16_t*>* kept);

// The row of table for a command word (first match in table order), or null.
const ul_cmddefinition_t* ul_cmdfind(const ul_cmddefinition_t* table, const char16_t* word);

// Writes the usage text of table for the program path to the stream.
void ul_cmdusage(const ul_cmddefinition_t* table, const char16_t* programPath, FILE* stream);

// A command's usage text on standard output; returns result (UL_EXIT_USAGE unless the command
// gives another), which reports the usage error whether or not the text could be written.
int ul_cmdprintusage(const char16_t* text, int result = UL_EXIT_USAGE);


int cmd_SPLITTABLE(unsigned int argc, const char16_t** argv);
int cmd_CRCTABLE(unsigned int argc, const char16_t** argv);
int cmd_CRCEVAL(unsigned int argc, const char16_t** argv);
int cmd_CRCCLEAR(unsigned int argc, const char16_t** argv);
int cmd_CHKTABLE(unsigned int argc, const char16_t** argv);
int cmd_CHKPOOLS(unsigned int argc, const char16_t** argv);
int cmd_SCANCLUSTER(unsigned int argc, const char16_t** argv);
int cmd_DBVERSION(unsigned int argc, const char16_t** argv);
int cmd_COUNTROWS(unsigned int argc, const char16_t** argv);
int cmd_OBJSIZE(unsigned int argc, const char16_t** argv);
int cmd_EXECDB(unsigned int argc, const char16_t** argv);
int cmd_MIGTABLES(unsigned int argc, const char16_t** argv);
int cmd_DBTABPOS(unsigned int argc, const char16_t** argv);
int cmd_GENKEYTRACES(unsigned int argc, const char16_t** argv);
int cmd_OPTIMIZEIMPORT(unsigned int argc, const char16_t** argv);
int cmd_REPOCLEAN(unsigned int argc, const char16_t** argv);
int cmd_SELDEPENDS(unsigned int argc, const char16_t** argv);
int cmd_ZDBMONITOR(unsigned int argc, const char16_t** argv);
int cmd_ZDBUTIL(unsigned int argc, const char16_t** argv);
int cmd_SQLRUNTASK(unsigned int argc, const char16_t** argv);
int cmd_DUMPTABLE(unsigned int argc, const char16_t** argv);
int cmd_HEXDUMP(unsigned int argc, const char16_t** argv);
int cmd_DBPING(unsigned int argc, const char16_t** argv);

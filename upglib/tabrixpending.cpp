// Handlers of the commands whose modules are not part of this build yet. Each one leaves
// when its command module arrives.
#include "tabrix.h"

#define UL_PENDING_COMMAND(name) \
    int name(unsigned int, const char16_t** argv) { return ul_cmdnotbuilt(argv[0]); }

UL_PENDING_COMMAND(cmd_CHKTABLE)
UL_PENDING_COMMAND(cmd_CHKPOOLS)
UL_PENDING_COMMAND(cmd_SCANCLUSTER)
UL_PENDING_COMMAND(cmd_MIGTABLES)
UL_PENDING_COMMAND(cmd_GENKEYTRACES)
UL_PENDING_COMMAND(cmd_OPTIMIZEIMPORT)

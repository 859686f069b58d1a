// Process entry: adapts the library search path (which may re-execute the program), then
// converts the UTF-8 argument vector to UTF-16 and runs the dispatcher.
#include "tabrix.h"
#include "ulbootasc.h"

int main(int argc, char** argv) {
    ul_bootadaptenv(argc, argv);
    return ul_cmdmainutf8(argc, argv);
}

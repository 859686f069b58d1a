// Process entry: adapts the library search path (which may re-execute the program), converts
// the UTF-8 argument vector to UTF-16 and runs the dispatcher.
#include <string>
#include <vector>

#include "tabrix.h"
#include "ulbootasc.h"
#include "ulstring.h"

int main(int argc, char** argv) {
    ul_bootadaptenv(argc, argv);
    std::vector<std::u16string> words;
    words.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) words.push_back(ul_utf8to16(argv[i]));
    std::vector<const char16_t*> argv16;
    for (const std::u16string& word : words) argv16.push_back(word.c_str());
    argv16.push_back(nullptr);
    return nlsui_main(static_cast<unsigned>(argc), argv16.data());
}

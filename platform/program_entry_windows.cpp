#include "program_entry.h"
#include "windows_text.h"

#include <string>
#include <vector>

// A narrow main would receive its arguments through the ANSI code page's best-fit mapping, which
// turns look-alike letters (full-width "ｒｅｄ") into ASCII ones. wmain receives them as typed.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int index = 0; index < argc; ++index) {
        arguments.push_back(platform::to_utf8(argv[index]));
    }
    std::vector<char*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        pointers.push_back(&argument[0]);
    }
    pointers.push_back(nullptr);
    return program_main(argc, pointers.data());
}

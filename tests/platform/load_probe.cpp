// A library that loads other libraries through the real platform layer, so a test can place it in
// one folder and the current directory in another. Why a load failed comes back as plain bytes:
// the test program has its own C++ runtime.
#include "platform.h"

#include <cstddef>
#include <cstdio>
#include <string>

extern "C" TEST_EXPORT void* probe_load(const char* file_name, char* why_not, std::size_t size) {
    std::string reason;
    void* library = platform::load_library(file_name, &reason);
    std::snprintf(why_not, size, "%s", reason.c_str());
    return library;
}

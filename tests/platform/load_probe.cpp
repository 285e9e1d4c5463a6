// A library that loads other libraries through the real platform layer, so a test can place it in
// one folder and the current directory in another.
#include "platform.h"

extern "C" __attribute__((visibility("default"))) void* probe_load(const char* file_name) {
    return platform::load_library(file_name);
}

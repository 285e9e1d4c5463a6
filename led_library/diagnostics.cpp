#include "diagnostics.h"

#include <cstdio>

namespace led {

void write_diagnostic(const char* line) {
    std::fputs(line, stderr);
}

}  // namespace led

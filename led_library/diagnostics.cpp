#include "diagnostics.h"

#include <cstdio>

namespace led {

void write_diagnostic(const char* line) {
    // When standard error cannot take a line there is no one else to tell.
    static_cast<void>(std::fputs(line, stderr));
}

}  // namespace led

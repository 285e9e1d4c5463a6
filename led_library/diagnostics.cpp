#include "diagnostics.h"

#include "platform.h"

#include <cstdio>

namespace led {

void write_diagnostic(const char* line) {
    // When standard error cannot take a line there is no one else to tell.
    static_cast<void>(std::fputs(line, stderr));
    // A program without a console (a service, a GUI application) can still be watched.
    platform::write_to_debugger(line);
}

}  // namespace led

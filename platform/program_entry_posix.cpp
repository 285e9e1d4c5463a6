#include "program_entry.h"

#include <signal.h>

// If whoever reads standard output or error goes away, writing there must fail rather than kill
// the program before it has done its work; so must a write past a file size limit, which a full or
// limited disk looks like. Only a program may decide this: a library leaves its host's signals alone.
int main(int argc, char** argv) {
    static_cast<void>(signal(SIGPIPE, SIG_IGN));  // cannot fail for a valid signal
    static_cast<void>(signal(SIGXFSZ, SIG_IGN));
    return program_main(argc, argv);
}

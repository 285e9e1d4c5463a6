#include "system_support.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace system_support {

const char* const kLibrarySearchVariable = "LD_LIBRARY_PATH";

void* open_library_at(const std::filesystem::path& path) {
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

int run_program(const std::filesystem::path& program, const std::string& argument,
                const std::filesystem::path& working_folder, const char* variable, const std::string& value) {
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(working_folder.c_str()) == 0 && setenv(variable, value.c_str(), 1) == 0) {
            execl(program.c_str(), program.c_str(), argument.c_str(), static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::function<void()> hold_lock_elsewhere(const std::string& name) {
    // Another open of the file is another holder, as another process's would be.
    const int fd = open(("/tmp/" + name + ".lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    flock(fd, LOCK_EX);
    return [fd] { close(fd); };
}

std::string this_process() {
    return std::to_string(getpid());
}

}  // namespace system_support

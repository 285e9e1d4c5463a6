#include "sim_system.h"

#include <dlfcn.h>
#include <link.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {
namespace {

bool fill_if_needed(int fd, const void* initial, std::size_t size) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return false;
    }
    if (static_cast<std::size_t>(status.st_size) == size) {
        return true;
    }
    return ftruncate(fd, 0) == 0 && pwrite(fd, initial, size, 0) == static_cast<ssize_t>(size);
}

}  // namespace

// The main program has no name in the loader's records (dladdr then reports argv[0], perhaps bare
// from a PATH search), so its folder comes from /proc/self/exe.
std::string own_folder() {
    Dl_info info{};
    link_map* module = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&own_folder), &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) == 0 ||
        module == nullptr) {
        return std::string();
    }
    const bool main_program = module->l_name == nullptr || module->l_name[0] == '\0';
    char* resolved = realpath(main_program ? "/proc/self/exe" : module->l_name, nullptr);
    if (resolved == nullptr) {
        return std::string();
    }
    std::string path(resolved);
    free(resolved);
    return path.substr(0, path.rfind('/'));
}

SharedFileMapping::SharedFileMapping(const std::string& path, const void* initial, std::size_t size) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    const bool filled = flock(fd, LOCK_EX) == 0 && fill_if_needed(fd, initial, size);
    flock(fd, LOCK_UN);
    if (filled) {
        void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (data != MAP_FAILED) {
            data_ = data;
            size_ = size;
        }
    }
    close(fd);  // the mapping outlives the descriptor
}

SharedFileMapping::~SharedFileMapping() {
    if (data_ != nullptr) {
        munmap(data_, size_);
    }
}

bool stdout_is_colour_terminal() {
    return isatty(STDOUT_FILENO) != 0;
}

}  // namespace sim

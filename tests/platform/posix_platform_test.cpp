// The POSIX platform layer against the real system: where libraries are looked for, and the
// machine-wide lock against what another local user may put at its path.
#include "platform.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

namespace {

using ProbeLoad = void* (*)(const char*);

class PosixLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("loader_test_" + std::to_string(getpid()));
        fs::create_directories(root_ / "library_folder");
        fs::create_directories(root_ / "working_folder");
        fs::copy_file(LOAD_PROBE_PATH, root_ / "library_folder" / "load_probe.so");
        fs::copy_file(LOAD_TARGET_PATH, root_ / "library_folder" / "beside_the_library.dll");
        fs::copy_file(LOAD_TARGET_PATH, root_ / "working_folder" / "only_in_working_folder.dll");
        original_directory_ = fs::current_path();
        fs::current_path(root_ / "working_folder");
        probe_load_ = open_probe((root_ / "library_folder" / "load_probe.so").string());
    }

    void TearDown() override {
        for (void* module : probe_modules_) {
            dlclose(module);
        }
        fs::current_path(original_directory_);
        fs::remove_all(root_);
    }

    ProbeLoad open_probe(const std::string& path) {
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(module, nullptr) << dlerror();
        if (module == nullptr) {
            return nullptr;
        }
        probe_modules_.push_back(module);
        return reinterpret_cast<ProbeLoad>(dlsym(module, "probe_load"));
    }

    static fs::path folder_of_loaded(void* library) {
        Dl_info info{};
        const platform::EntryPoint marker = platform::find_entry(library, "load_target_marker");
        if (marker == nullptr || dladdr(reinterpret_cast<void*>(marker), &info) == 0) {
            return fs::path();
        }
        return fs::path(info.dli_fname).parent_path();
    }

    fs::path root_;
    fs::path original_directory_;
    std::vector<void*> probe_modules_;
    ProbeLoad probe_load_ = nullptr;
};

TEST_F(PosixLoaderTest, FindsALibraryBesideTheLoadingLibrary) {
    ASSERT_NE(probe_load_, nullptr);
    void* library = probe_load_("beside_the_library.dll");
    ASSERT_NE(library, nullptr);
    const platform::EntryPoint marker = platform::find_entry(library, "load_target_marker");
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(reinterpret_cast<int (*)()>(marker)(), 42);
    EXPECT_EQ(platform::find_entry(library, "no_such_entry"), nullptr);
    EXPECT_TRUE(platform::unload_library(library));
}

TEST_F(PosixLoaderTest, NeverLooksInTheCurrentDirectory) {
    ASSERT_NE(probe_load_, nullptr);
    EXPECT_EQ(probe_load_("only_in_working_folder.dll"), nullptr);
    EXPECT_EQ(probe_load_("./only_in_working_folder.dll"), nullptr);
}

// A host that opens the library by a relative path and then changes directory: the relative path
// now names a planted copy in the new working folder, beside a planted library.
TEST_F(PosixLoaderTest, ALibraryOpenedByARelativePathKeepsItsFolderAfterAChangeOfDirectory) {
    const fs::path opened_from = root_ / "opened_by_relative_path";
    fs::create_directories(opened_from);
    fs::copy_file(LOAD_PROBE_PATH, opened_from / "load_probe.so");
    fs::copy_file(LOAD_TARGET_PATH, opened_from / "beside_the_library.dll");
    fs::copy_file(LOAD_PROBE_PATH, root_ / "working_folder" / "load_probe.so");
    fs::copy_file(LOAD_TARGET_PATH, root_ / "working_folder" / "beside_the_library.dll");

    fs::current_path(opened_from);
    const ProbeLoad probe_load = open_probe("./load_probe.so");
    fs::current_path(root_ / "working_folder");
    ASSERT_NE(probe_load, nullptr);
    void* library = probe_load("beside_the_library.dll");
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(folder_of_loaded(library), opened_from);
    platform::unload_library(library);
}

// Started through PATH, a program knows its own name only as typed; a file of that name in the
// current directory must not make the current directory its folder. LD_LIBRARY_PATH must not
// bring the current directory back either.
TEST_F(PosixLoaderTest, AProgramLooksInItsOwnFolderNeverTheWorkingOne) {
    fs::create_directories(root_ / "program_folder");
    fs::copy_file(LOAD_PROBE_PROGRAM_PATH, root_ / "program_folder" / "load_probe_program");
    fs::copy_file(LOAD_TARGET_PATH, root_ / "program_folder" / "beside_the_program.dll");
    fs::copy_file(LOAD_PROBE_PROGRAM_PATH, root_ / "working_folder" / "load_probe_program");

    struct Case {
        const char* environment;
        const char* library;
        int exit_status;
    };
    const Case cases[] = {
        {"", "beside_the_program.dll", 0},
        {"", "only_in_working_folder.dll", 1},
        {"LD_LIBRARY_PATH=.", "only_in_working_folder.dll", 1},
        {"LD_LIBRARY_PATH=:", "only_in_working_folder.dll", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.environment) + " " + c.library);
        const std::string command = std::string("env ") + c.environment + " PATH='" +
                                    (root_ / "program_folder").string() + "' load_probe_program " + c.library;
        const int status = std::system(command.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.exit_status);
    }
}

TEST_F(PosixLoaderTest, NullHandlesAreRefusedWithoutCallingTheLoader) {
    EXPECT_FALSE(platform::unload_library(nullptr));
    EXPECT_EQ(platform::find_entry(nullptr, "load_target_marker"), nullptr);
}

class PosixNamedLockTest : public ::testing::Test {
protected:
    void SetUp() override { fs::remove_all(path_); }
    void TearDown() override { fs::remove_all(path_); }

    const std::string name_ = "kav_morv_led_platform_test_" + std::to_string(getpid());
    const std::string path_ = "/tmp/" + name_ + ".lock";
};

// Anything at the path is reported at once, never waited on (a FIFO once hung every caller), and
// the lock is tried again on the next call.
TEST_F(PosixNamedLockTest, WhatIsNotARegularFileIsUnusableAtOnceAndTriedAgainLater) {
    struct Case {
        const char* planted;
        std::function<void(const std::string&)> plant;
        const char* why_unusable;
    };
    const Case cases[] = {
        {"a FIFO", [](const std::string& path) { mkfifo(path.c_str(), 0644); }, "its file is not a regular file"},
        {"a directory", [](const std::string& path) { fs::create_directory(path); }, "its file is not a regular file"},
        {"a symbolic link", [](const std::string& path) { fs::create_symlink("/etc/hostname", path); },
         "its file is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.planted);
        fs::remove_all(path_);
        c.plant(path_);
        const platform::LockAttempt refused = platform::acquire_named_lock(name_.c_str(), 60000);
        EXPECT_EQ(refused.outcome, platform::LockOutcome::unusable);
        EXPECT_STREQ(refused.why_unusable, c.why_unusable);

        fs::remove_all(path_);
        EXPECT_EQ(platform::acquire_named_lock(name_.c_str(), 0).outcome, platform::LockOutcome::taken);
        platform::release_named_lock();
    }
}

// Once the file is unlinked, newcomers lock a new file at the path; the old one serialises nothing.
TEST_F(PosixNamedLockTest, AFileUnlinkedSinceItWasOpenedGivesWayToTheOneNowAtThePath) {
    ASSERT_EQ(platform::acquire_named_lock(name_.c_str(), 0).outcome, platform::LockOutcome::taken);
    platform::release_named_lock();
    fs::remove(path_);
    const int newcomer = open(path_.c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_EQ(flock(newcomer, LOCK_EX), 0);

    EXPECT_EQ(platform::acquire_named_lock(name_.c_str(), 0).outcome, platform::LockOutcome::timed_out);
    close(newcomer);
}

TEST_F(PosixNamedLockTest, ANewLockFileIsReadableByAllWhateverTheUmask) {
    const mode_t previous = umask(077);
    const platform::LockAttempt attempt = platform::acquire_named_lock(name_.c_str(), 0);
    umask(previous);
    ASSERT_EQ(attempt.outcome, platform::LockOutcome::taken);
    platform::release_named_lock();
    struct stat status {};
    ASSERT_EQ(stat(path_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
}

}  // namespace

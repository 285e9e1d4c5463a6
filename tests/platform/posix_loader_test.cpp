// The POSIX platform layer against the real loader: where libraries are looked for.
#include "platform.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <filesystem>

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

        probe_module_ = dlopen((root_ / "library_folder" / "load_probe.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(probe_module_, nullptr) << dlerror();
        probe_load_ = reinterpret_cast<ProbeLoad>(dlsym(probe_module_, "probe_load"));
        ASSERT_NE(probe_load_, nullptr);
    }

    void TearDown() override {
        if (probe_module_ != nullptr) {
            dlclose(probe_module_);
        }
        fs::current_path(original_directory_);
        fs::remove_all(root_);
    }

    fs::path root_;
    fs::path original_directory_;
    void* probe_module_ = nullptr;
    ProbeLoad probe_load_ = nullptr;
};

TEST_F(PosixLoaderTest, FindsALibraryBesideTheLoadingLibrary) {
    void* library = probe_load_("beside_the_library.dll");
    ASSERT_NE(library, nullptr);
    const platform::EntryPoint marker = platform::find_entry(library, "load_target_marker");
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(reinterpret_cast<int (*)()>(marker)(), 42);
    EXPECT_EQ(platform::find_entry(library, "no_such_entry"), nullptr);
    EXPECT_TRUE(platform::unload_library(library));
}

TEST_F(PosixLoaderTest, NeverLooksInTheCurrentDirectory) {
    EXPECT_EQ(probe_load_("only_in_working_folder.dll"), nullptr);
    EXPECT_EQ(probe_load_("./only_in_working_folder.dll"), nullptr);
}

// Started through PATH, a program knows its own name only as typed; a file of that name in the
// current directory must not make the current directory its folder.
TEST_F(PosixLoaderTest, AProgramStartedThroughPathLooksInItsOwnFolderNotTheWorkingOne) {
    fs::create_directories(root_ / "program_folder");
    fs::copy_file(LOAD_PROBE_PROGRAM_PATH, root_ / "program_folder" / "load_probe_program");
    fs::copy_file(LOAD_TARGET_PATH, root_ / "program_folder" / "beside_the_program.dll");
    fs::copy_file(LOAD_PROBE_PROGRAM_PATH, root_ / "working_folder" / "load_probe_program");

    const auto exit_status = [this](const std::string& library) {
        const std::string command = "PATH='" + (root_ / "program_folder").string() + "' load_probe_program " + library;
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(exit_status("beside_the_program.dll"), 0);
    EXPECT_EQ(exit_status("only_in_working_folder.dll"), 1);
}

TEST_F(PosixLoaderTest, NullHandlesAreRefusedWithoutCallingTheLoader) {
    EXPECT_FALSE(platform::unload_library(nullptr));
    EXPECT_EQ(platform::find_entry(nullptr, "load_target_marker"), nullptr);
}

}  // namespace

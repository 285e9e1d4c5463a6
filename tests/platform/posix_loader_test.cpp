// The POSIX platform layer against the real loader: where libraries are looked for.
#include "platform.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

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

TEST_F(PosixLoaderTest, NullHandlesAreRefusedWithoutCallingTheLoader) {
    EXPECT_FALSE(platform::unload_library(nullptr));
    EXPECT_EQ(platform::find_entry(nullptr, "load_target_marker"), nullptr);
}

}  // namespace

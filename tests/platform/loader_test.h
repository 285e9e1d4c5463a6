// The fixture of the loader tests: a probe library, which loads through the real platform layer,
// placed in one folder, and the working directory set to another.
#pragma once

#include "platform.h"
#include "system_support.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// Unique to the running test, so that tests run side by side do not meet.
// A name of the running test's own, apart from the same test in another run at the same time.
inline std::string per_test_name(const std::string& prefix) {
    return prefix + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
           system_support::this_process();
}

// The test programs and libraries are built beside this program.
inline std::filesystem::path built(const char* file_name) {
    return std::filesystem::path(platform::own_module_folder()) / file_name;
}

class LoaderTest : public ::testing::Test {
protected:
    using ProbeLoad = void* (*)(const char*, char*, std::size_t);

    void SetUp() override {
        namespace fs = std::filesystem;
        root_ = fs::temp_directory_path() / per_test_name("loader_test_");
        fs::remove_all(root_);
        fs::create_directories(root_ / "library_folder");
        fs::create_directories(root_ / "working_folder");
        fs::copy_file(built(LOAD_PROBE_FILE), root_ / "library_folder" / LOAD_PROBE_FILE);
        fs::copy_file(built(LOAD_TARGET_FILE), root_ / "library_folder" / "beside_the_library.dll");
        fs::copy_file(built(LOAD_TARGET_FILE), root_ / "working_folder" / "only_in_working_folder.dll");
        original_directory_ = fs::current_path();
        fs::current_path(root_ / "working_folder");
        probe_load_ = open_probe(root_ / "library_folder" / LOAD_PROBE_FILE);
        ASSERT_NE(probe_load_, nullptr);
    }

    void TearDown() override {
        for (void* probe : probes_) {
            platform::unload_library(probe);
        }
        std::filesystem::current_path(original_directory_);
        std::filesystem::remove_all(root_);
    }

    ProbeLoad open_probe(const std::filesystem::path& path) {
        void* probe = system_support::open_library_at(path);
        if (probe == nullptr) {
            return nullptr;
        }
        probes_.push_back(probe);
        return reinterpret_cast<ProbeLoad>(platform::find_entry(probe, "probe_load"));
    }

    // Loads through a probe; `why_not` receives the reason for a failure.
    static void* load_through(ProbeLoad probe_load, const char* file_name, std::string& why_not) {
        char reason[4096] = {};
        void* library = probe_load(file_name, reason, sizeof reason);
        why_not = reason;
        return library;
    }
    void* probe_load(const char* file_name, std::string& why_not) {
        return load_through(probe_load_, file_name, why_not);
    }

    std::filesystem::path root_;
    std::filesystem::path original_directory_;
    std::vector<void*> probes_;
    ProbeLoad probe_load_ = nullptr;
};

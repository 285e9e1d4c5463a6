// The platform layer against the real system, the same cases on every system: where libraries are
// looked for and what a failed load says, and the machine-wide lock taken, waited for and let go.
#include "platform.h"
#include "loader_test.h"
#include "system_support.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

TEST_F(LoaderTest, FindsALibraryBesideTheLoadingLibraryAndItsEntries) {
    std::string why_not;
    void* library = probe_load("beside_the_library.dll", why_not);
    ASSERT_NE(library, nullptr) << why_not;
    const platform::EntryPoint marker = platform::find_entry(library, "load_target_marker");
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(reinterpret_cast<int (*)()>(marker)(), 42);
    EXPECT_EQ(platform::find_entry(library, "no_such_entry"), nullptr);
    EXPECT_TRUE(platform::unload_library(library));
}

// A library planted in the working folder must never be picked up; a failed load names the file
// and the folder it was looked for in, with what the system said.
TEST_F(LoaderTest, NeverLooksInTheCurrentDirectoryAndSaysWhereItLooked) {
    struct Case {
        const char* name;
        std::vector<std::string> said;  // parts of the reason
    };
    const Case cases[] = {
        {"only_in_working_folder.dll",
         {"looked for beside this library as ", (root_ / "library_folder").string(), "only_in_working_folder.dll ("}},
        {"./only_in_working_folder.dll", {"its name holds a path separator"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why_not;
        EXPECT_EQ(probe_load(c.name, why_not), nullptr);
        for (const std::string& part : c.said) {
            EXPECT_NE(why_not.find(part), std::string::npos) << "'" << part << "' not in: " << why_not;
        }
    }
}

// A program looks beside itself, but not in its working folder, nor in a folder that the system's
// library search variable names.
TEST_F(LoaderTest, AProgramLooksInItsOwnFolderNeverTheWorkingOneNorTheSearchPath) {
    const fs::path program_folder = root_ / "program_folder";
    fs::create_directories(program_folder);
    const fs::path program = program_folder / LOAD_PROBE_PROGRAM_FILE;
    fs::copy_file(built(LOAD_PROBE_PROGRAM_FILE), program);
    fs::copy_file(built(LOAD_TARGET_FILE), program_folder / "beside_the_program.dll");
    const std::string working = (root_ / "working_folder").string();

    struct Case {
        const char* library;
        std::string search_path;
        int exit_status;
    };
    const Case cases[] = {
        {"beside_the_program.dll", "", 0},
        {"only_in_working_folder.dll", "", 1},
        {"only_in_working_folder.dll", ".", 1},
        {"only_in_working_folder.dll", ":", 1},  // an empty entry stands for the current directory on POSIX
        {"only_in_working_folder.dll", working, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.library) + " with " + system_support::kLibrarySearchVariable + "=" + c.search_path);
        EXPECT_EQ(system_support::run_program(program, c.library, root_ / "working_folder",
                                              system_support::kLibrarySearchVariable, c.search_path),
                  c.exit_status);
    }
}

TEST(LoaderNullHandleTest, NullHandlesAreRefusedWithoutCallingTheLoader) {
    std::string why_not;
    EXPECT_FALSE(platform::unload_library(nullptr, &why_not));
    EXPECT_EQ(why_not, "it is not loaded");
    EXPECT_EQ(platform::find_entry(nullptr, "load_target_marker"), nullptr);
}

TEST(NamedLockTest, TakenThenWaitedForWhileHeldElsewhereThenTakenAgain) {
    const std::string name = per_test_name("kav_morv_led_platform_test_");
    ASSERT_EQ(platform::acquire_named_lock(name.c_str(), 0).outcome, platform::LockOutcome::taken);
    platform::release_named_lock();

    const auto let_go = system_support::hold_lock_elsewhere(name);
    const platform::LockAttempt waited = platform::acquire_named_lock(name.c_str(), 50);
    EXPECT_EQ(waited.outcome, platform::LockOutcome::timed_out);
    let_go();

    EXPECT_EQ(platform::acquire_named_lock(name.c_str(), 0).outcome, platform::LockOutcome::taken);
    platform::release_named_lock();
    platform::close_named_lock();
}

TEST(NamedLockTest, ANameTooLongForTheSystemIsUnusable) {
    const std::string name(300, 'x');
    const platform::LockAttempt attempt = platform::acquire_named_lock(name.c_str(), 0);
    EXPECT_EQ(attempt.outcome, platform::LockOutcome::unusable);
    EXPECT_STREQ(attempt.why_unusable, "its name is too long");
}

}  // namespace

// The platform layer against the real system, the same cases on every system: where libraries are
// looked for and what a failed load says, the machine-wide lock taken, waited for and let go, and
// how long a wait lasts.
#include "platform.h"
#include "loader_test.h"
#include "system_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Beside the loading library first, then beside the program: this test's, in another folder, where
// a library of this run's own name is put.
TEST_F(LoaderTest, FindsALibraryBesideTheLoadingLibraryOrTheProgramAndItsEntries) {
    const std::string beside_the_program = per_test_name("beside_the_program_") + ".dll";
    fs::copy_file(built(LOAD_TARGET_FILE), built(beside_the_program.c_str()));
    for (const std::string& name : {std::string("beside_the_library.dll"), beside_the_program}) {
        SCOPED_TRACE(name);
        std::string why_not;
        void* library = probe_load(name.c_str(), why_not);
        EXPECT_NE(library, nullptr) << why_not;
        const platform::EntryPoint marker = platform::find_entry(library, "load_target_marker");
        EXPECT_NE(marker, nullptr);
        EXPECT_EQ(marker != nullptr ? reinterpret_cast<int (*)()>(marker)() : 0, 42);
        EXPECT_EQ(platform::find_entry(library, "no_such_entry"), nullptr);
        EXPECT_TRUE(platform::unload_library(library));
    }
    fs::remove(built(beside_the_program.c_str()));
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
    // malloc: what every process has, which a search of all its libraries would find.
    for (const char* entry : {"load_target_marker", "malloc"}) {
        EXPECT_EQ(platform::find_entry(nullptr, entry), nullptr) << entry;
    }
}

// A wait longer than a second, so that its whole seconds and its milliseconds both count.
TEST(SleepTest, BlocksForAtLeastTheWholeWait) {
    const auto started = std::chrono::steady_clock::now();
    platform::sleep_ms(1100);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1100));
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

// The POSIX platform layer against what only POSIX has: libraries opened by a relative path, and
// what another local user may do to the lock's file.
#include "loader_test.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace fs = std::filesystem;

namespace {

fs::path folder_of_loaded(void* library) {
    Dl_info info{};
    const platform::EntryPoint marker = platform::find_entry(library, "load_target_marker");
    if (marker == nullptr || dladdr(reinterpret_cast<void*>(marker), &info) == 0) {
        return fs::path();
    }
    return fs::path(info.dli_fname).parent_path();
}

// A host that opens the library by a relative path and then changes directory: the relative path
// now names a planted copy in the new working folder, beside a planted library.
TEST_F(LoaderTest, ALibraryOpenedByARelativePathKeepsItsFolderAfterAChangeOfDirectory) {
    const fs::path opened_from = root_ / "opened_by_relative_path";
    fs::create_directories(opened_from);
    fs::copy_file(built(LOAD_PROBE_FILE), opened_from / LOAD_PROBE_FILE);
    fs::copy_file(built(LOAD_TARGET_FILE), opened_from / "beside_the_library.dll");
    fs::copy_file(built(LOAD_PROBE_FILE), root_ / "working_folder" / LOAD_PROBE_FILE);
    fs::copy_file(built(LOAD_TARGET_FILE), root_ / "working_folder" / "beside_the_library.dll");

    fs::current_path(opened_from);
    const ProbeLoad probe_load = open_probe(fs::path(".") / LOAD_PROBE_FILE);
    fs::current_path(root_ / "working_folder");
    ASSERT_NE(probe_load, nullptr);
    std::string why_not;
    void* library = load_through(probe_load, "beside_the_library.dll", why_not);
    ASSERT_NE(library, nullptr) << why_not;
    EXPECT_EQ(folder_of_loaded(library), opened_from);
    platform::unload_library(library);
}

class PosixNamedLockTest : public ::testing::Test {
protected:
    void SetUp() override { fs::remove_all(path_); }
    void TearDown() override {
        platform::close_named_lock();
        fs::remove_all(path_);
        fs::remove_all(path_ + ".elsewhere");
    }

    // The outcome of one attempt made by a forked child, as `user` when given: "taken",
    // "timed out", or why it was unusable.
    std::string attempt_in_child(const passwd* user = nullptr) const {
        int pipe_ends[2];
        if (pipe(pipe_ends) != 0) {
            return "no pipe";
        }
        const pid_t child = fork();
        if (child == 0) {
            close(pipe_ends[0]);
            std::string outcome = "could not become the other user";
            if (user == nullptr || (setgid(user->pw_gid) == 0 && setuid(user->pw_uid) == 0)) {
                const platform::LockAttempt attempt = platform::acquire_named_lock(name_.c_str(), 0);
                outcome = attempt.outcome == platform::LockOutcome::taken       ? "taken"
                          : attempt.outcome == platform::LockOutcome::timed_out ? "timed out"
                                                                                : attempt.why_unusable;
            }
            static_cast<void>(write(pipe_ends[1], outcome.data(), outcome.size()));
            _exit(0);
        }
        close(pipe_ends[1]);
        std::string outcome;
        char buffer[256];
        for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
            outcome.append(buffer, static_cast<std::size_t>(got));
        }
        close(pipe_ends[0]);
        waitpid(child, nullptr, 0);
        return outcome;
    }

    const std::string name_ = per_test_name("kav_morv_led_platform_test_");
    const std::string path_ = "/tmp/" + name_ + ".lock";
};

// Anything at the path is reported at once, never waited on (a FIFO once hung every caller), and
// the lock is tried again on the next call.
TEST_F(PosixNamedLockTest, WhatCannotBeLockedIsUnusableAtOnceAndTriedAgainLater) {
    struct Case {
        const char* planted;
        std::function<void(const std::string&)> plant;
        const char* why_unusable;
        bool as_another_user;  // root opens any file, so the denial is seen by another user
    };
    const Case cases[] = {
        {"a FIFO", [](const std::string& path) { mkfifo(path.c_str(), 0644); }, "its file is not a regular file",
         false},
        {"a directory", [](const std::string& path) { fs::create_directory(path); }, "its file is not a regular file",
         false},
        {"a symbolic link", [](const std::string& path) { fs::create_symlink("/etc/hostname", path); },
         "its file is a symbolic link", false},
        {"a file only its owner may read", [](const std::string& path) { close(open(path.c_str(), O_CREAT, 0600)); },
         "access to its file is denied", true},
    };
    const passwd* nobody = getpwnam("nobody");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.planted);
        if (c.as_another_user && (getuid() != 0 || nobody == nullptr)) {
            std::printf("not checked: %s, which needs root to become nobody\n", c.planted);
            continue;
        }
        fs::remove_all(path_);
        c.plant(path_);
        if (c.as_another_user) {
            EXPECT_EQ(attempt_in_child(nobody), c.why_unusable);
        } else {
            const platform::LockAttempt refused = platform::acquire_named_lock(name_.c_str(), 60000);
            EXPECT_EQ(refused.outcome, platform::LockOutcome::unusable);
            EXPECT_STREQ(refused.why_unusable, c.why_unusable);
        }

        fs::remove_all(path_);
        EXPECT_EQ(platform::acquire_named_lock(name_.c_str(), 0).outcome, platform::LockOutcome::taken);
        platform::release_named_lock();
    }
}

// Once the file at the path is another one, newcomers lock that one; the old one serialises
// nothing, however it was moved aside.
TEST_F(PosixNamedLockTest, AFileNoLongerAtThePathGivesWayToTheOneNowThere) {
    struct Case {
        const char* done;
        std::function<void(const std::string&)> move_aside;
    };
    const Case cases[] = {
        {"removed", [](const std::string& path) { fs::remove(path); }},
        {"renamed", [](const std::string& path) { fs::rename(path, path + ".elsewhere"); }},
        {"linked elsewhere, then replaced",
         [](const std::string& path) {
             fs::create_hard_link(path, path + ".elsewhere");
             close(open((path + ".new").c_str(), O_CREAT, 0644));
             fs::rename(path + ".new", path);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.done);
        fs::remove_all(path_ + ".elsewhere");
        ASSERT_EQ(platform::acquire_named_lock(name_.c_str(), 0).outcome, platform::LockOutcome::taken);
        platform::release_named_lock();
        c.move_aside(path_);
        const int newcomer = open(path_.c_str(), O_RDONLY | O_CREAT, 0644);
        ASSERT_EQ(flock(newcomer, LOCK_EX), 0);

        EXPECT_EQ(platform::acquire_named_lock(name_.c_str(), 0).outcome, platform::LockOutcome::timed_out);
        close(newcomer);
    }
}

// flock belongs to the open file, which fork shares: a child must not count as its parent.
TEST_F(PosixNamedLockTest, AForkedChildDoesNotShareItsParentsLock) {
    ASSERT_EQ(platform::acquire_named_lock(name_.c_str(), 0).outcome, platform::LockOutcome::taken);
    EXPECT_EQ(attempt_in_child(), "timed out");
    platform::release_named_lock();
    EXPECT_EQ(attempt_in_child(), "taken");
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

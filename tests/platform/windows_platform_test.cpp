// The Windows platform layer against what only Windows has: what another program may have done
// with the lock's name.
#include "loader_test.h"
#include "platform.h"
#include "windows_service.h"
#include "windows_text.h"

#include <gtest/gtest.h>

#include <windows.h>
// These need windows.h first.
#include <sddl.h>

#include <string>

namespace {

class WindowsNamedLockTest : public ::testing::Test {
protected:
    void TearDown() override { platform::close_named_lock(); }

    const std::string name_ = per_test_name("kav_morv_led_platform_test_");
    const std::wstring global_name_ = L"Global\\" + platform::to_wide(name_);
};

TEST_F(WindowsNamedLockTest, ANameTakenByAnotherKindOfObjectIsUnusable) {
    const HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, global_name_.c_str());
    ASSERT_NE(squatter, nullptr);
    const platform::LockAttempt attempt = platform::acquire_named_lock(name_.c_str(), 60000);
    EXPECT_EQ(attempt.outcome, platform::LockOutcome::unusable);
    EXPECT_STREQ(attempt.why_unusable, "its name is taken by an object that is not a mutex");
    CloseHandle(squatter);
}

TEST_F(WindowsNamedLockTest, AMutexThatGrantsNoAccessIsUnusable) {
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof security;
    // A DACL with no entry grants nothing to anyone.
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1,
                                                                     &security.lpSecurityDescriptor, nullptr));
    const HANDLE squatter = CreateMutexW(&security, FALSE, global_name_.c_str());
    LocalFree(security.lpSecurityDescriptor);
    ASSERT_NE(squatter, nullptr);
    const platform::LockAttempt attempt = platform::acquire_named_lock(name_.c_str(), 60000);
    EXPECT_EQ(attempt.outcome, platform::LockOutcome::unusable);
    EXPECT_STREQ(attempt.why_unusable, "access to it is denied");
    CloseHandle(squatter);
}

// Its holder died in the middle; each register still holds a whole word, so the lock is taken.
TEST_F(WindowsNamedLockTest, AMutexAbandonedByItsHolderIsTaken) {
    const HANDLE holder = CreateThread(
        nullptr, 0,
        [](void* name) -> DWORD {
            const HANDLE mutex = CreateMutexW(nullptr, TRUE, static_cast<const wchar_t*>(name));
            static_cast<void>(mutex);  // ends without releasing it
            return 0;
        },
        const_cast<wchar_t*>(global_name_.c_str()), 0, nullptr);
    WaitForSingleObject(holder, INFINITE);
    CloseHandle(holder);
    EXPECT_EQ(platform::acquire_named_lock(name_.c_str(), 0).outcome, platform::LockOutcome::taken);
    platform::release_named_lock();
}

// A service's own account (NT SERVICE\NAME) has the SID the system derives from the service's name,
// whatever its case: TrustedInstaller's is well known.
TEST(ServiceAccountSidTest, IsDerivedFromTheServicesNameInAnyCase) {
    const std::string trusted_installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    for (const char* name : {"TrustedInstaller", "trustedinstaller", "TRUSTEDINSTALLER"}) {
        EXPECT_EQ(platform::service_account_sid(name), trusted_installer) << name;
    }
}

}  // namespace

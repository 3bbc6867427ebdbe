// What the installer lock of every application adapter does, checked the
// same way on Linux and, under Wine, on Windows: a lock one application
// object holds is seen by another (as by another process of the user), per
// title, until it is let go or its holder goes; a waiter sees it taken. Include
// it in one test file per test program and instantiate InstallerLockContract
// with a factory of hosts.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "support/Application.h"

namespace rl::contract {

// Makes application objects; whatever they need (a files port, a private
// folder) lives as long.
class LockHost {
public:
    virtual ~LockHost() = default;
    virtual std::unique_ptr<IApplication> NewApplication() = 0;
};
using LockHostFactory = std::function<std::unique_ptr<LockHost>()>;

// A title no installer of the machine uses.
inline constexpr char kLockTestTitle[] = "RestLevel Lock Test";

class InstallerLockContract : public ::testing::TestWithParam<LockHostFactory> {
protected:
    void SetUp() override {
        SetApplicationTitle(kLockTestTitle);
        host_ = GetParam()();
    }
    void TearDown() override {
        host_.reset();
        SetApplicationTitle("RestLevel");
    }
    std::unique_ptr<IApplication> App() { return host_->NewApplication(); }

    std::unique_ptr<LockHost> host_;
};

TEST_P(InstallerLockContract, AHeldLockIsSeenUntilItIsLetGoOrItsHolderGoes) {
    auto installer = App();
    auto start = App();
    EXPECT_FALSE(start->InstallerRunning());
    ASSERT_TRUE(installer->HoldInstallerLock());
    EXPECT_TRUE(installer->HoldInstallerLock()) << "taken twice";
    EXPECT_TRUE(start->InstallerRunning());
    EXPECT_TRUE(start->InstallerRunning()) << "a look takes nothing away";
    installer->ReleaseInstallerLock();
    EXPECT_FALSE(start->InstallerRunning());
    installer->ReleaseInstallerLock();

    ASSERT_TRUE(installer->HoldInstallerLock());
    installer.reset();
    EXPECT_FALSE(start->InstallerRunning()) << "outlives its holder";
}

TEST_P(InstallerLockContract, EachTitleHasItsOwn) {
    auto installer = App();
    auto start = App();
    ASSERT_TRUE(installer->HoldInstallerLock());
    SetApplicationTitle("RestLevel Lock Test\\Other");
    EXPECT_FALSE(start->InstallerRunning());
    SetApplicationTitle(kLockTestTitle);
    EXPECT_TRUE(start->InstallerRunning());
}

TEST_P(InstallerLockContract, AWaiterSeesTheLockTakenOrGivesUpAtItsBound) {
    auto waiter = App();
    EXPECT_FALSE(waiter->WaitForInstaller(100)) << "no installer";

    auto installer = App();
    std::atomic<bool> done{false};
    std::thread later([&] {
        // Taken once the waiter waits, most likely.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        installer->HoldInstallerLock();
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    EXPECT_TRUE(waiter->WaitForInstaller(10000));
    done = true;
    later.join();
    EXPECT_TRUE(waiter->WaitForInstaller(0)) << "held already";
}

}  // namespace rl::contract

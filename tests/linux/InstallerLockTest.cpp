// The Linux application adapter's installer lock: the shared contract, and
// the lock file's own checks (private, no link followed).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/Files.h"
#include "platform/linux/LinuxApplication.h"
#include "support/KzFileLib.h"
#include "tests/contract/InstallerLockContract.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using contract::InstallerLockContract;

// The lock lives in the user's private temporary folder: a cache folder of
// the test's own, and the files port that finds it.
class LinuxLockHost : public contract::LockHost {
public:
    LinuxLockHost() : cache_("XDG_CACHE_HOME", (folder_.Path() + "/cache").c_str()) { SetFileSystemPort(files_.get()); }
    ~LinuxLockHost() override { SetFileSystemPort(nullptr); }
    std::unique_ptr<IApplication> NewApplication() override {
        return std::make_unique<linuxapp::Application>(1, argv_);
    }
    std::string LockFile() const { return folder_.Path() + "/cache/restlevel/tmp/RestLevel Lock Test Installer.lock"; }

private:
    linuxtest::TempDir folder_;
    linuxtest::ScopedEnv cache_;
    std::unique_ptr<IFileSystem> files_ = CreateFileSystem();
    char name_[16] = "restlevel";
    char* argv_[2] = {name_, nullptr};
};

INSTANTIATE_TEST_SUITE_P(Linux, InstallerLockContract,
                         ::testing::Values(contract::LockHostFactory([] { return std::make_unique<LinuxLockHost>(); })));

class LinuxInstallerLockTest : public ::testing::Test {
protected:
    void SetUp() override { SetApplicationTitle(contract::kLockTestTitle); }
    void TearDown() override { SetApplicationTitle("RestLevel"); }
    LinuxLockHost host_;
};

TEST_F(LinuxInstallerLockTest, TheLockFileIsPrivateAndNoLinkIsFollowed) {
    {
        auto installer = host_.NewApplication();
        ASSERT_TRUE(installer->HoldInstallerLock());
        struct stat st {};
        ASSERT_EQ(lstat(host_.LockFile().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    // A link planted at its name: nothing is locked or made through it.
    ASSERT_EQ(unlink(host_.LockFile().c_str()), 0);
    const std::string target = host_.LockFile() + ".target";
    ASSERT_EQ(symlink(target.c_str(), host_.LockFile().c_str()), 0);
    auto installer = host_.NewApplication();
    EXPECT_FALSE(installer->HoldInstallerLock());
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "the link was followed";
    EXPECT_FALSE(host_.NewApplication()->InstallerRunning());
}

}  // namespace
}  // namespace rl

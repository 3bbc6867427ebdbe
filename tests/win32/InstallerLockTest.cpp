// The Windows application adapter's installer lock: the shared contract.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "platform/win32/Win32Application.h"
#include "tests/contract/InstallerLockContract.h"

namespace rl {
namespace {

using contract::InstallerLockContract;

class Win32LockHost : public contract::LockHost {
public:
    std::unique_ptr<IApplication> NewApplication() override { return std::make_unique<win32::Application>(); }
};

INSTANTIATE_TEST_SUITE_P(Win32, InstallerLockContract,
                         ::testing::Values(contract::LockHostFactory([] { return std::make_unique<Win32LockHost>(); })));

}  // namespace
}  // namespace rl

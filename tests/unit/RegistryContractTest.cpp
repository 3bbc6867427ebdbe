// The in-memory registry keeps the same contract as the real ones, so that
// what the unit tests show holds on both platforms.
#include "tests/contract/RegistryContract.h"
#include "tests/fakes/FakeRegistry.h"

namespace rl::contract {
namespace {

class FakeStore : public Store {
public:
    IRegistry& Registry() override { return registry_; }

private:
    fake::Registry registry_;
};

INSTANTIATE_TEST_SUITE_P(Fake, RegistryContract,
                         ::testing::Values(StoreFactory([] { return std::make_unique<FakeStore>(); })));

}  // namespace
}  // namespace rl::contract

#include "tests/fakes/FakeApplication.h"

namespace rl::fake {

void Application::ProcessMessages() {
    ++processed;
    if (onProcessMessages) onProcessMessages();
}

}  // namespace rl::fake

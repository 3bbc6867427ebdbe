#include "support/Application.h"

namespace rl {

namespace {
IApplication* gApplication = nullptr;
std::string& Title() {
    static std::string title = "RestLevel";
    return title;
}
}  // namespace

void SetApplicationPort(IApplication* port) { gApplication = port; }
IApplication* ApplicationPort() { return gApplication; }

const std::string& ApplicationTitle() { return Title(); }
void SetApplicationTitle(const std::string& title) { Title() = title; }

}  // namespace rl

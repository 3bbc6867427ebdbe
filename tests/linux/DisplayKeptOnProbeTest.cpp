// The display-kept-on probe against stand-ins for the desktops' services, on
// session buses of the test's own (the real desktops cannot run here).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::Child;
using linuxtest::TestBus;

struct Service {
    const char* name;
    const char* path;
    const char* interface;
    const char* method;
    const char* answer;
    int delayMs = 0;
};

const Service kGnome{"org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
                     "IsInhibited", "true"};
const Service kPlasma{"org.kde.Solid.PowerManagement.PolicyAgent", "/org/kde/Solid/PowerManagement/PolicyAgent",
                      "org.kde.Solid.PowerManagement.PolicyAgent", "HasInhibition", "true"};
const Service kXfce{"org.xfce.ScreenSaver", "/org/xfce/ScreenSaver", "org.xfce.ScreenSaver", "GetInhibitors",
                    "as:firefox"};

Service Answering(Service service, const char* answer) {
    service.answer = answer;
    return service;
}

// The stand-in program serving one service on the bus; it ends with the
// object.
std::unique_ptr<Child> Serve(const TestBus& bus, const Service& s) {
    auto child = std::make_unique<Child>(
        std::vector<std::string>{RL_DBUS_STAND_IN, "--name", s.name, "--path", s.path, "--interface", s.interface,
                                 "--method", s.method, "--answer", s.answer, "--delay-ms", std::to_string(s.delayMs)},
        std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", bus.Address()}});
    EXPECT_EQ(child->ReadLine(10s), "ready") << s.name;
    return child;
}

struct Case {
    const char* desc;
    std::vector<Service> services;
    bool holds;
    // What the first service was asked, or null when it must not be asked.
    const char* firstCall;
};

const Case kCases[] = {
    {"no desktop service", {}, false, nullptr},
    {"GNOME inhibits idle", {kGnome}, true, "call org.gnome.SessionManager.IsInhibited 8"},
    {"GNOME does not", {Answering(kGnome, "false")}, false, "call org.gnome.SessionManager.IsInhibited 8"},
    // MATE's older session manager takes the GNOME name with an interface of
    // its own: the GNOME question gets UnknownMethod first.
    {"MATE inhibits idle",
     {{"org.gnome.SessionManager", "/org/gnome/SessionManager", "org.mate.SessionManager", "IsInhibited", "true"}},
     true,
     "call org.mate.SessionManager.IsInhibited 8"},
    {"Plasma has a screen inhibition", {kPlasma}, true, "call org.kde.Solid.PowerManagement.PolicyAgent.HasInhibition 4"},
    {"Plasma under PowerDevil's main name",
     {{"org.kde.Solid.PowerManagement", "/org/kde/Solid/PowerManagement/PolicyAgent",
       "org.kde.Solid.PowerManagement.PolicyAgent", "HasInhibition", "true"}},
     true,
     "call org.kde.Solid.PowerManagement.PolicyAgent.HasInhibition 4"},
    {"Plasma has none", {Answering(kPlasma, "false")}, false, nullptr},
    {"one desktop of several", {Answering(kGnome, "false"), kPlasma}, true, "call org.gnome.SessionManager.IsInhibited 8"},
    {"Xfce's screen saver lists an inhibitor", {kXfce}, true, "call org.xfce.ScreenSaver.GetInhibitors"},
    {"Xfce's screen saver lists none", {Answering(kXfce, "as:")}, false, nullptr},
    // Hostile or odd answers never hold.
    {"GNOME answers a string", {Answering(kGnome, "s:true")}, false, nullptr},
    {"Plasma answers a list", {Answering(kPlasma, "as:true")}, false, nullptr},
    {"a path without the object",
     {{"org.gnome.SessionManager", "/elsewhere", "org.gnome.SessionManager", "IsInhibited", "true"}},
     false,
     nullptr},
    // Sleep inhibition is not the screen's: players take it for sound alone.
    {"only power management inhibits sleep",
     {{"org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
       "org.freedesktop.PowerManagement.Inhibit", "HasInhibit", "true"}},
     false,
     nullptr},
};

// One probe for all rows: each row's bus has a new address, so the probe
// must leave the last bus and find the new one.
TEST(DisplayKeptOnProbe, ReadsEachDesktopsInhibition) {
    const auto probe = CreateDisplayKeptOnProbe();
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.desc);
        TestBus bus;
        ASSERT_FALSE(bus.Address().empty());
        std::vector<std::unique_ptr<Child>> services;
        for (const Service& s : c.services) services.push_back(Serve(bus, s));
        const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());

        EXPECT_EQ(probe->Holds(), c.holds);
        if (c.firstCall != nullptr) {
            EXPECT_EQ(services.front()->ReadLine(5s), std::string(c.firstCall));
        }
    }
}

// A service that hangs: the probe gives up rather than hold or wait.
TEST(DisplayKeptOnProbe, HungServiceDoesNotHold) {
    TestBus bus;
    ASSERT_FALSE(bus.Address().empty());
    Service slow = kGnome;
    slow.delayMs = 30000;
    const auto service = Serve(bus, slow);
    const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());

    const auto probe = CreateDisplayKeptOnProbe();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(probe->Holds());
    // Only that it did not wait for the answer; how fast is not asserted.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(service->ReadLine(5s), "call org.gnome.SessionManager.IsInhibited 8");
}

// A name nobody owns is never started: the bus could start it from its
// service folder, and the probe would then wait for a program to start.
TEST(DisplayKeptOnProbe, StartsNoService) {
    TestBus bus;
    ASSERT_FALSE(bus.Address().empty());
    const std::string marker = bus.Startable("org.gnome.SessionManager");
    const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());

    EXPECT_FALSE(CreateDisplayKeptOnProbe()->Holds());
    EXPECT_EQ(linuxtest::ModifiedSeconds(marker), 0) << "the bus started the service";
}

// No session bus: an address where nothing listens, or no address and no
// bus socket in the runtime folder (never a bus started for the probe).
TEST(DisplayKeptOnProbe, NoSessionBusDoesNotHold) {
    linuxtest::TempDir folder;
    const auto probe = CreateDisplayKeptOnProbe();
    {
        const std::string nowhere = "unix:path=" + folder.Path() + "/no-bus";
        const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", nowhere.c_str());
        EXPECT_FALSE(probe->Holds());
    }
    {
        const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", nullptr);
        const linuxtest::ScopedEnv runtime("XDG_RUNTIME_DIR", folder.Path().c_str());
        EXPECT_FALSE(probe->Holds());
    }
}

// The bus in the runtime folder, as systemd places it, when the variable is
// missing; the probe finds it again after the bus it used went away.
TEST(DisplayKeptOnProbe, FindsTheRuntimeBusAndOutlivesABus) {
    const auto probe = CreateDisplayKeptOnProbe();
    {
        TestBus bus;
        ASSERT_FALSE(bus.Address().empty());
        const auto service = Serve(bus, kGnome);
        const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());
        EXPECT_TRUE(probe->Holds());
    }
    linuxtest::TempDir runtime;
    const std::string socket = runtime.Path() + "/bus";
    TestBus daemon(socket);
    ASSERT_TRUE(daemon.Started());
    const std::string address = "unix:path=" + socket;
    Child service({RL_DBUS_STAND_IN, "--name", kPlasma.name, "--path", kPlasma.path, "--interface", kPlasma.interface,
                   "--method", kPlasma.method, "--answer", "true"},
                  {{"DBUS_SESSION_BUS_ADDRESS", address}});
    ASSERT_EQ(service.ReadLine(10s), "ready");
    const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", nullptr);
    const linuxtest::ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime.Path().c_str());
    EXPECT_TRUE(probe->Holds());
}

}  // namespace
}  // namespace rl

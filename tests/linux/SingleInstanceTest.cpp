// The running instance's socket: what a later start sends, and what the
// running one makes of it (the activation token a Wayland launcher gave).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <vector>

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "platform/linux/SingleInstance.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(instance_.Listen([this](const std::string& token) { shown_.push_back(token); }));
    }

    // Sends the bytes as a later start would, and waits until the running
    // instance has answered or hung up.
    void SendRaw(const std::string& bytes) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.c_str(), path_.size());
        ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        // A request without its newline is only ever complete at the end.
        if (bytes.find('\n') == std::string::npos) shutdown(fd, SHUT_WR);
        EXPECT_TRUE(linuxtest::WaitFor([fd] {
            pollfd p{fd, POLLIN, 0};
            return poll(&p, 1, 0) > 0;
        }, 5s)) << "no answer to " << bytes;
        close(fd);
    }
    // Waits until a show request has arrived; the token it carried.
    std::optional<std::string> Shown() {
        linuxtest::WaitFor([this] { return !shown_.empty(); }, 5s);
        if (shown_.empty()) return std::nullopt;
        const std::string token = shown_.front();
        shown_.erase(shown_.begin());
        return token;
    }

    linuxtest::TempDir dir_;
    std::string path_ = dir_.Path() + "/instance";
    SingleInstance instance_{path_};
    std::vector<std::string> shown_;
};

TEST_F(SingleInstanceTest, ALaterStartHandsOverItsActivationTokenWhenItIsOneLineOfPlainText) {
    const std::string longest(505, 'k');
    struct Case {
        std::string token;     // the later start's XDG_ACTIVATION_TOKEN
        std::string expected;  // what the running instance gets
    };
    const Case cases[] = {
        {"", ""},
        {"44f1324c684f95bed6b96e1cdea82058", "44f1324c684f95bed6b96e1cdea82058"},
        // Other compositors' forms: names, colons, slashes.
        {"gnome-shell/RestLevel/1234-5-host_TIME2000", "gnome-shell/RestLevel/1234-5-host_TIME2000"},
        {"kwin-3:{9c1d}", "kwin-3:{9c1d}"},
        {longest, longest},
        // What would break the line or not fit in it: shown without a token.
        {"two words", ""},
        {"line\nbreak", ""},
        {"tab\there", ""},
        {longest + "k", ""},
        {"caf\xc3\xa9", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.token);
        SingleInstance later(path_);
        // The answer cannot come while this thread is the one to give it.
        EXPECT_TRUE(later.AskRunningInstance(10, c.token));
        EXPECT_EQ(Shown().value_or("(not shown)"), c.expected);
    }
}

TEST_F(SingleInstanceTest, OnlyAWholeShowLineShowsTheWindow) {
    struct Case {
        std::string request;
        std::optional<std::string> token;  // nullopt: not shown
    };
    const Case cases[] = {
        {"show\n", ""},
        {"show abc\n", "abc"},
        {"show", std::nullopt},
        {"show \n", std::nullopt},
        {"show a b\n", std::nullopt},
        {"shows\n", std::nullopt},
        {"SHOW\n", std::nullopt},
        {"show\nshow\n", std::nullopt},
        {"show abc\nmore", std::nullopt},
        {std::string(600, 'x') + "\n", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        SendRaw(c.request);
        if (c.token) {
            EXPECT_EQ(Shown().value_or("(not shown)"), *c.token);
        } else {
            // Whatever came is handled by the time the answer (or the hang-up) is here.
            QCoreApplication::processEvents();
            EXPECT_TRUE(shown_.empty()) << "shown with \"" << shown_.front() << "\"";
            shown_.clear();
        }
    }
}

}  // namespace
}  // namespace rl

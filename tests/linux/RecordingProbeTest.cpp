// The recording probe against a PulseAudio server of the test's own, with a
// null sink and a null source: record streams made by parecord and by this
// process, the server killed, hung and started again. The shared test server
// never sees these streams (programs of other tests fade on it).
#include <pulse/context.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::ScopedEnv;
using linuxtest::WaitFor;

constexpr const char* kSink = "rl_rec_sink";
constexpr const char* kSource = "rl_rec_source";
constexpr const char* kMonitor = "rl_rec_sink.monitor";

// A PulseAudio daemon on a socket in a temporary folder; it ends with the
// object, also when it was stopped.
class TestSoundServer {
public:
    TestSoundServer() : socket_(dir_.Path() + "/pulse.sock") {}
    ~TestSoundServer() { Continue(); }

    bool Start() {
        daemon_ = std::make_unique<linuxtest::Child>(
            std::vector<std::string>{
                "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                "--use-pid-file=no", "-F", "/dev/null",
                "--load=module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1",
                std::string("--load=module-null-sink sink_name=") + kSink,
                std::string("--load=module-null-source source_name=") + kSource},
            std::map<std::string, std::string>{{"HOME", dir_.Path()}, {"XDG_RUNTIME_DIR", dir_.Path()}}, true);
        return WaitFor([&] { return linuxtest::Run(Pactl("info") + " >/dev/null 2>&1").status == 0; }, 20s);
    }
    void Kill() { daemon_->Kill(SIGKILL); }
    // A hung server: it keeps its socket but answers nothing.
    void Stop() { kill(daemon_->Pid(), SIGSTOP); }
    void Continue() {
        if (daemon_ && daemon_->Started()) kill(daemon_->Pid(), SIGCONT);
    }

    std::string Address() const { return "unix:" + socket_; }
    std::string Pactl(const std::string& args) const { return "PULSE_SERVER=" + Address() + " pactl " + args; }
    // The record streams the server has; -1 when it does not answer.
    int RecordStreams() const {
        const auto r = linuxtest::Run(Pactl("list short source-outputs 2>/dev/null"));
        if (r.status != 0) return -1;
        int lines = 0;
        for (const char c : r.output) lines += c == '\n';
        return lines;
    }

private:
    linuxtest::TempDir dir_;
    std::string socket_;
    std::unique_ptr<linuxtest::Child> daemon_;
};

// parecord on a source of the test server, writing nowhere.
std::shared_ptr<void> Parecord(const TestSoundServer& server, const std::string& source) {
    return std::make_shared<linuxtest::Child>(
        std::vector<std::string>{"parecord", "--raw", "--device=" + source, "/dev/null"},
        std::map<std::string, std::string>{{"PULSE_SERVER", server.Address()}}, true);
}

// A module of the test server, unloaded with the object.
std::shared_ptr<void> Module(const TestSoundServer& server, const std::string& args) {
    const auto loaded = linuxtest::Run(server.Pactl("load-module " + args));
    EXPECT_EQ(loaded.status, 0) << args;
    const std::string index = loaded.output.substr(0, loaded.output.find('\n'));
    return std::shared_ptr<void>(nullptr, [&server, index](void*) {
        linuxtest::Run(server.Pactl("unload-module " + index) + " >/dev/null 2>&1");
    });
}

// A record stream of this process on a connection of its own, drained on
// libpulse's thread. Client properties stand for what another program's
// library would say of it.
class TestStream {
public:
    struct Options {
        std::map<std::string, std::string> client;  // replaces what libpulse would say
        std::map<std::string, std::string> stream;
        bool corked = false;
        bool peakDetect = false;
        bool binaryPid = false;  // the process id property as bytes, not a string

        Options& Client(const std::string& key, const std::string& value) {
            client[key] = value;
            return *this;
        }
        Options& Stream(const std::string& key, const std::string& value) {
            stream[key] = value;
            return *this;
        }
        Options& Corked() {
            corked = true;
            return *this;
        }
        Options& PeakDetect() {
            peakDetect = true;
            return *this;
        }
        Options& BinaryPid() {
            binaryPid = true;
            return *this;
        }
    };

    TestStream(const std::string& server, const std::string& source, const Options& options) {
        loop_ = pa_threaded_mainloop_new();
        pa_proplist* client = pa_proplist_new();
        for (const auto& [key, value] : options.client) pa_proplist_sets(client, key.c_str(), value.c_str());
        if (options.binaryPid) {
            const unsigned char bytes[] = {0x31, 0x32, 0xff};  // no terminating zero
            pa_proplist_set(client, PA_PROP_APPLICATION_PROCESS_ID, bytes, sizeof bytes);
        }
        pa_threaded_mainloop_lock(loop_);
        context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "recording probe test", client);
        pa_proplist_free(client);
        pa_context_connect(context_, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr);
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_start(loop_);
        if (!WaitFor([&] { return Locked([&] { return pa_context_get_state(context_) == PA_CONTEXT_READY; }); }, 10s)) {
            ADD_FAILURE() << "the test stream's connection did not come up";
            return;
        }

        pa_sample_spec sampleFormat{};
        sampleFormat.format = options.peakDetect ? PA_SAMPLE_FLOAT32LE : PA_SAMPLE_S16LE;
        sampleFormat.channels = options.peakDetect ? 1 : 2;
        sampleFormat.rate = options.peakDetect ? 25 : 44100;
        pa_proplist* props = pa_proplist_new();
        for (const auto& [key, value] : options.stream) pa_proplist_sets(props, key.c_str(), value.c_str());
        unsigned flags = PA_STREAM_ADJUST_LATENCY;
        if (options.corked) flags |= PA_STREAM_START_CORKED;
        if (options.peakDetect) flags |= PA_STREAM_PEAK_DETECT | PA_STREAM_DONT_MOVE;
        Locked([&] {
            stream_ = pa_stream_new_with_proplist(context_, "recording probe test", &sampleFormat, nullptr, props);
            pa_stream_set_read_callback(stream_, &Drain, nullptr);
            pa_stream_connect_record(stream_, source.c_str(), nullptr, static_cast<pa_stream_flags_t>(flags));
            return true;
        });
        pa_proplist_free(props);
        if (!WaitFor([&] { return Locked([&] { return pa_stream_get_state(stream_) == PA_STREAM_READY; }); }, 10s))
            ADD_FAILURE() << "the test stream did not become ready";
    }

    ~TestStream() {
        pa_threaded_mainloop_stop(loop_);
        if (stream_ != nullptr) {
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        pa_threaded_mainloop_free(loop_);
    }
    TestStream(const TestStream&) = delete;
    TestStream& operator=(const TestStream&) = delete;

    // Corks or uncorks and waits until the server has done it.
    bool Cork(bool cork) {
        pa_operation* op = nullptr;
        Locked([&] { return (op = pa_stream_cork(stream_, cork ? 1 : 0, nullptr, nullptr)) != nullptr; });
        if (op == nullptr) return false;
        const bool done = WaitFor(
            [&] { return Locked([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }); }, 10s);
        Locked([&] {
            pa_operation_unref(op);
            return true;
        });
        return done;
    }

private:
    static void Drain(pa_stream* s, size_t, void*) {
        const void* data = nullptr;
        size_t size = 0;
        while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &size) == 0 && size > 0) pa_stream_drop(s);
    }

    bool Locked(const std::function<bool()>& f) {
        pa_threaded_mainloop_lock(loop_);
        const bool r = f();
        pa_threaded_mainloop_unlock(loop_);
        return r;
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
};

std::shared_ptr<void> Stream(const TestSoundServer& server, const std::string& source,
                             const TestStream::Options& options = {}) {
    return std::make_shared<TestStream>(server.Address(), source, options);
}

class RecordingProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        env = std::make_unique<ScopedEnv>("PULSE_SERVER", server.Address().c_str());
        probe = CreateRecordingProbe();
        ASSERT_NE(probe, nullptr);
    }

    // Waits until the probe answers so; false when it never did in time.
    bool Answers(bool holds, std::chrono::milliseconds timeout = 10s) {
        return WaitFor([&] { return probe->Holds() == holds; }, timeout);
    }
    // Waits until the server has exactly that many record streams.
    bool StreamsAre(int n) {
        return WaitFor([&] { return server.RecordStreams() == n; }, 10s);
    }

    TestSoundServer server;
    std::unique_ptr<ScopedEnv> env;
    std::unique_ptr<IAutoExceptionProbe> probe;
};

TEST_F(RecordingProbeTest, OnlyARunningRecordingOfAnotherProgramFromARealSourceHolds) {
    const std::string ownPid = std::to_string(getpid());
    using Opts = TestStream::Options;
    // A stream that says it is of another process.
    auto other = [] { return Opts().Client(PA_PROP_APPLICATION_PROCESS_ID, "1"); };
    struct Case {
        const char* what;
        std::function<std::vector<std::shared_ptr<void>>()> make;
        int streams;  // the record streams the server then has
        bool holds;
    };
    const Case cases[] = {
        {"nothing recording", [] { return std::vector<std::shared_ptr<void>>{}; }, 0, false},
        {"parecord on the null source", [&] { return std::vector{Parecord(server, kSource)}; }, 1, true},
        {"parecord on the sink's monitor", [&] { return std::vector{Parecord(server, kMonitor)}; }, 1, false},
        {"parecord on the monitor and on the source",
         [&] { return std::vector{Parecord(server, kMonitor), Parecord(server, kSource)}; }, 2, true},
        {"a stream of this process", [&] { return std::vector{Stream(server, kSource)}; }, 1, false},
        {"this process's stream on the source and parecord on the monitor",
         [&] { return std::vector{Stream(server, kSource), Parecord(server, kMonitor)}; }, 2, false},
        {"another process id", [&] { return std::vector{Stream(server, kSource, other())}; }, 1, true},
        // A process of another machine (a network server) may have our id.
        {"our process id on another machine",
         [&] {
             return std::vector{Stream(server, kSource,
                                       Opts()
                                           .Client(PA_PROP_APPLICATION_PROCESS_ID, ownPid)
                                           .Client(PA_PROP_APPLICATION_PROCESS_MACHINE_ID, "0badc0de"))};
         },
         1, true},
        // Whose stream cannot be told: it counts as another program's.
        {"a process id that is not a number",
         [&] { return std::vector{Stream(server, kSource, Opts().Client(PA_PROP_APPLICATION_PROCESS_ID, "x1"))}; },
         1, true},
        {"a process id that is no string", [&] { return std::vector{Stream(server, kSource, Opts().BinaryPid())}; },
         1, true},
        {"a module's stream, without process id",
         [&] {
             return std::vector{Module(server, std::string("module-loopback source=") + kSource + " sink=" + kSink)};
         },
         1, true},
        // Level meters of volume controls read peaks only.
        {"a level meter on the source", [&] { return std::vector{Stream(server, kSource, other().PeakDetect())}; },
         1, false},
        {"a stream marked as peaks by PipeWire",
         [&] { return std::vector{Stream(server, kSource, other().Stream("resample.peaks", "true"))}; }, 1,
         false},
        {"a PipeWire capture of a sink",
         [&] { return std::vector{Stream(server, kSource, other().Stream("stream.capture.sink", "true"))}; }, 1,
         false},
        {"pavucontrol",
         [&] {
             return std::vector{
                 Stream(server, kSource, other().Client(PA_PROP_APPLICATION_ID, "org.PulseAudio.pavucontrol"))};
         },
         1, false},
        {"a level meter beside a recording",
         [&] {
             return std::vector{Stream(server, kSource, other().PeakDetect()), Parecord(server, kSource)};
         },
         2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            const auto held = c.make();
            ASSERT_TRUE(StreamsAre(c.streams)) << server.RecordStreams() << " record streams";
            if (c.holds) {
                EXPECT_TRUE(Answers(true));
            } else {
                // The streams are there as they will stay: the answer is final.
                EXPECT_FALSE(probe->Holds());
                EXPECT_FALSE(probe->Holds());
            }
        }
        ASSERT_TRUE(StreamsAre(0)) << "a row left a record stream behind";
        EXPECT_TRUE(Answers(false)) << "once the streams are gone";
    }
}

TEST_F(RecordingProbeTest, ACorkedStreamHoldsOnlyWhileUncorked) {
    TestStream stream(server.Address(), kSource, TestStream::Options().Client(PA_PROP_APPLICATION_PROCESS_ID, "1").Corked());
    ASSERT_TRUE(StreamsAre(1));
    EXPECT_FALSE(probe->Holds()) << "started corked";
    ASSERT_TRUE(stream.Cork(false));
    EXPECT_TRUE(Answers(true)) << "uncorked";
    ASSERT_TRUE(stream.Cork(true));
    EXPECT_TRUE(Answers(false)) << "corked again";
}

TEST_F(RecordingProbeTest, ALostServerAnswersFalseAndANewOneIsFound) {
    {
        const auto recording = Parecord(server, kSource);
        ASSERT_TRUE(Answers(true));

        server.Kill();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(probe->Holds());
        EXPECT_FALSE(probe->Holds());
        // Bounded, not measured: a refused connection is not waited out.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }

    ASSERT_TRUE(server.Start());
    {
        const auto recording = Parecord(server, kSource);
        ASSERT_TRUE(StreamsAre(1));
        EXPECT_TRUE(Answers(true)) << "the probe connects to the new server";
    }

    // The server goes and comes back between two questions: the connection
    // kept from the last answer is dead, and the first answer is right anyway.
    server.Kill();
    ASSERT_TRUE(server.Start());
    const auto recording = Parecord(server, kSource);
    ASSERT_TRUE(StreamsAre(1));
    EXPECT_TRUE(probe->Holds());
}

TEST_F(RecordingProbeTest, AHungServerAnswersFalseWithinTheBound) {
    const auto recording = Parecord(server, kSource);
    ASSERT_TRUE(Answers(true));

    server.Stop();
    // Once on the connection kept from before, then on fresh ones that
    // the stopped server accepts but never greets. Bounded, not measured.
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(probe->Holds());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    }
    server.Continue();
    EXPECT_TRUE(Answers(true)) << "the server answers again";
}

TEST(RecordingProbeWithoutServerTest, NoServerAnswersFalse) {
    linuxtest::TempDir dir;
    const std::string missing = "unix:" + dir.Path() + "/no-such-socket";
    ScopedEnv env("PULSE_SERVER", missing.c_str());
    auto probe = CreateRecordingProbe();
    EXPECT_FALSE(probe->Holds());
    EXPECT_FALSE(probe->Holds());
}

}  // namespace
}  // namespace rl

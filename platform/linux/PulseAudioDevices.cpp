// The master volume of the PulseAudio (or PipeWire-Pulse) server's default
// sink. Each endpoint owns a private blocking main loop: the user-interface
// thread calls it synchronously, and every wait is bounded so that a hung or
// vanished server makes a call fail instead of blocking the program.
#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/volume.h>

#include <cmath>
#include <ctime>

#include "platform/Platform.h"

namespace rl {

namespace {

constexpr std::int64_t kConnectTimeoutMs = 3000;
constexpr std::int64_t kCallTimeoutMs = 1000;
// After a lost connection, calls fail at once until this much time passed,
// so that a fade against a missing server does not retry on every step.
constexpr std::int64_t kReconnectPauseMs = 1000;
// The server resolves this name to its current default sink on each call.
constexpr const char* kDefaultSink = "@DEFAULT_SINK@";

std::int64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class PulseConnection {
public:
    PulseConnection() = default;
    ~PulseConnection() { Disconnect(); }
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    bool Connect() {
        Disconnect();
        lastAttemptMs_ = MonotonicMs();
        loop_ = pa_mainloop_new();
        if (loop_ == nullptr) return false;
        context_ = pa_context_new(pa_mainloop_get_api(loop_), "RestLevel");
        if (context_ == nullptr) return Fail();
        // The server comes from PULSE_SERVER or the client configuration; we
        // never start one of our own.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return Fail();
        const std::int64_t deadline = MonotonicMs() + kConnectTimeoutMs;
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(context_);
            if (state == PA_CONTEXT_READY) return true;
            if (!PA_CONTEXT_IS_GOOD(state)) return Fail();
            if (!Iterate(deadline)) return Fail();
        }
    }

    // Connected, reconnecting after a loss when the pause has run out.
    bool Ensure() {
        if (context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY) return true;
        if (MonotonicMs() - lastAttemptMs_ < kReconnectPauseMs) return false;
        return Connect();
    }

    // The default sink's index and channel volumes.
    bool ReadDefaultSink(std::uint32_t& index, pa_cvolume& volume) {
        struct Result {
            bool found = false;
            std::uint32_t index = 0;
            pa_cvolume volume{};
        } result;
        auto callback = [](pa_context*, const pa_sink_info* info, int eol, void* user) {
            auto* r = static_cast<Result*>(user);
            if (eol == 0 && info != nullptr && !r->found) {
                r->found = true;
                r->index = info->index;
                r->volume = info->volume;
            }
        };
        if (!Run(pa_context_get_sink_info_by_name(context_, kDefaultSink, callback, &result))) return false;
        if (!result.found || !pa_cvolume_valid(&result.volume)) return false;
        index = result.index;
        volume = result.volume;
        return true;
    }

    bool WriteSinkVolume(std::uint32_t index, const pa_cvolume& volume) {
        struct Result {
            bool ok = false;
        } result;
        auto callback = [](pa_context*, int success, void* user) { static_cast<Result*>(user)->ok = success != 0; };
        return Run(pa_context_set_sink_volume_by_index(context_, index, &volume, callback, &result)) && result.ok;
    }

private:
    bool Fail() {
        Disconnect();
        return false;
    }

    void Disconnect() {
        if (context_ != nullptr) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        if (loop_ != nullptr) {
            pa_mainloop_free(loop_);
            loop_ = nullptr;
        }
    }

    // One bounded pass of the main loop; false once the deadline has passed
    // or the loop failed.
    bool Iterate(std::int64_t deadline) {
        const std::int64_t left = deadline - MonotonicMs();
        if (left <= 0) return false;
        if (pa_mainloop_prepare(loop_, static_cast<int>(left * 1000)) < 0) return false;
        if (pa_mainloop_poll(loop_) < 0) return false;
        return pa_mainloop_dispatch(loop_) >= 0;
    }

    // Waits for an operation to finish; a connection that breaks or a
    // server that does not answer in time ends the wait with a failure.
    bool Run(pa_operation* op) {
        if (op == nullptr) {
            DropIfBroken();
            return false;
        }
        const std::int64_t deadline = MonotonicMs() + kCallTimeoutMs;
        bool done = true;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) || !Iterate(deadline)) {
                pa_operation_cancel(op);
                done = false;
                break;
            }
        }
        if (done && pa_operation_get_state(op) != PA_OPERATION_DONE) done = false;
        pa_operation_unref(op);
        if (!done) {
            // A server that stopped answering is treated like a lost one.
            Disconnect();
            lastAttemptMs_ = MonotonicMs();
        }
        return done;
    }

    void DropIfBroken() {
        if (context_ != nullptr && pa_context_get_state(context_) != PA_CONTEXT_READY) {
            Disconnect();
            lastAttemptMs_ = MonotonicMs();
        }
    }

    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::int64_t lastAttemptMs_ = 0;
};

class PulseEndpointVolume : public IEndpointVolume {
public:
    explicit PulseEndpointVolume(std::unique_ptr<PulseConnection> connection) : pulse_(std::move(connection)) {}

    HResult GetMasterVolumeLevelScalar(float* level) override {
        if (level == nullptr) return kE_FAIL;
        std::uint32_t index = 0;
        pa_cvolume volume{};
        if (!pulse_->Ensure() || !pulse_->ReadDefaultSink(index, volume)) return kE_FAIL;
        // The loudest channel stands for the master level; above 100 % reads as full scale.
        const double scalar = static_cast<double>(pa_cvolume_max(&volume)) / PA_VOLUME_NORM;
        *level = static_cast<float>(std::fmin(scalar, 1.0));
        return kS_OK;
    }

    HResult SetMasterVolumeLevelScalar(float level) override {
        if (!(level >= 0.0f && level <= 1.0f)) return kE_FAIL;
        std::uint32_t index = 0;
        pa_cvolume volume{};
        if (!pulse_->Ensure() || !pulse_->ReadDefaultSink(index, volume)) return kE_FAIL;
        // Scaling keeps the ratio between the channels, i.e. the balance.
        const auto target = static_cast<pa_volume_t>(std::lround(static_cast<double>(level) * PA_VOLUME_NORM));
        pa_cvolume_scale(&volume, target);
        return pulse_->WriteSinkVolume(index, volume) ? kS_OK : kE_FAIL;
    }

private:
    std::unique_ptr<PulseConnection> pulse_;
};

class PulseAudioDevices : public IAudioDevices {
public:
    std::unique_ptr<IEndpointVolume> ActivateDefaultEndpointVolume() override {
        auto connection = std::make_unique<PulseConnection>();
        if (!connection->Connect()) return nullptr;
        // Without a default sink there is no playback device to control.
        std::uint32_t index = 0;
        pa_cvolume volume{};
        if (!connection->ReadDefaultSink(index, volume)) return nullptr;
        return std::make_unique<PulseEndpointVolume>(std::move(connection));
    }
};

}  // namespace

std::unique_ptr<IAudioDevices> CreateAudioDevices() { return std::make_unique<PulseAudioDevices>(); }

}  // namespace rl

// The master volume of a PulseAudio (or PipeWire-Pulse) server's sink: the
// default one when the endpoint is made, by name from then on. Each endpoint
// owns a private blocking main loop: the user-interface thread calls it
// synchronously, and every wait is bounded so that a hung or vanished server
// makes a call fail instead of blocking the program. Changes of the default
// sink are watched on a libpulse thread and reported as Qt events.
#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>
#include <pulse/volume.h>

#include <QMetaObject>
#include <QObject>
#include <atomic>
#include <cmath>
#include <ctime>
#include <functional>
#include <string>

#include "platform/Platform.h"

namespace rl {

namespace {

constexpr std::int64_t kConnectTimeoutMs = 3000;
constexpr std::int64_t kCallTimeoutMs = 1000;
// After a lost connection, calls fail at once until this much time passed,
// so that a fade against a missing server does not retry on every step.
constexpr std::int64_t kReconnectPauseMs = 1000;
// The server resolves this name to its current default sink.
constexpr const char* kDefaultSink = "@DEFAULT_SINK@";
// A watcher that lost its server tries again this often.
constexpr pa_usec_t kWatchRetryUs = 1000 * 1000;

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

    // A sink's index and channel volumes, and its own name (the default
    // sink's name is resolved here).
    bool ReadSink(const std::string& name, std::uint32_t& index, pa_cvolume& volume, std::string* ownName = nullptr) {
        struct Result {
            bool found = false;
            std::uint32_t index = 0;
            pa_cvolume volume{};
            std::string name;
        } result;
        auto callback = [](pa_context*, const pa_sink_info* info, int eol, void* user) {
            auto* r = static_cast<Result*>(user);
            if (eol == 0 && info != nullptr && !r->found) {
                r->found = true;
                r->index = info->index;
                r->volume = info->volume;
                if (info->name != nullptr) r->name = info->name;
            }
        };
        if (!Run(pa_context_get_sink_info_by_name(context_, name.c_str(), callback, &result))) return false;
        if (!result.found || !pa_cvolume_valid(&result.volume)) return false;
        index = result.index;
        volume = result.volume;
        if (ownName != nullptr) *ownName = result.name;
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

// Bound to one sink by its name, which stays when the sink goes and comes
// back (a headset unplugged and plugged in again).
class PulseEndpointVolume : public IEndpointVolume {
public:
    PulseEndpointVolume(std::unique_ptr<PulseConnection> connection, std::string sink)
        : pulse_(std::move(connection)), sink_(std::move(sink)) {}

    HResult GetMasterVolumeLevelScalar(float* level) override {
        if (level == nullptr) return kE_FAIL;
        std::uint32_t index = 0;
        pa_cvolume volume{};
        if (!pulse_->Ensure() || !pulse_->ReadSink(sink_, index, volume)) return kE_FAIL;
        // The loudest channel stands for the master level; above 100 % reads as full scale.
        const double scalar = static_cast<double>(pa_cvolume_max(&volume)) / PA_VOLUME_NORM;
        *level = static_cast<float>(std::fmin(scalar, 1.0));
        return kS_OK;
    }

    HResult SetMasterVolumeLevelScalar(float level) override {
        if (!(level >= 0.0f && level <= 1.0f)) return kE_FAIL;
        std::uint32_t index = 0;
        pa_cvolume volume{};
        if (!pulse_->Ensure() || !pulse_->ReadSink(sink_, index, volume)) return kE_FAIL;
        // Scaling keeps the ratio between the channels, i.e. the balance.
        const auto target = static_cast<pa_volume_t>(std::lround(static_cast<double>(level) * PA_VOLUME_NORM));
        pa_cvolume_scale(&volume, target);
        return pulse_->WriteSinkVolume(index, volume) ? kS_OK : kE_FAIL;
    }

    std::string DeviceId() const override { return sink_; }

private:
    std::unique_ptr<PulseConnection> pulse_;
    std::string sink_;
};

// Subscribes to the server's changes (the default sink is the server's)
// and to sinks that come or go, and reconnects after losing the server.
// Everything but the constructor, the destructor and the queued call runs
// on libpulse's thread.
class PulseWatcher {
public:
    explicit PulseWatcher(std::function<void()> handler) : handler_(std::move(handler)) {
        loop_ = pa_threaded_mainloop_new();
        if (loop_ == nullptr) return;
        Connect();
        if (pa_threaded_mainloop_start(loop_) < 0) {
            Drop();
            pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
        }
    }

    ~PulseWatcher() {
        if (loop_ == nullptr) return;
        pa_threaded_mainloop_stop(loop_);
        Drop();
        pa_threaded_mainloop_free(loop_);
    }

    PulseWatcher(const PulseWatcher&) = delete;
    PulseWatcher& operator=(const PulseWatcher&) = delete;

private:
    pa_mainloop_api* Api() { return pa_threaded_mainloop_get_api(loop_); }

    void Connect() {
        context_ = pa_context_new(Api(), "RestLevel device watcher");
        if (context_ == nullptr) return RetryLater();
        pa_context_set_state_callback(context_, &StateChanged, this);
        pa_context_set_subscribe_callback(context_, &ServerEvent, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) RetryLater();
    }

    void Drop() {
        if (retry_ != nullptr) Api()->time_free(retry_);
        retry_ = nullptr;
        if (context_ != nullptr) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        context_ = nullptr;
    }

    void RetryLater() {
        if (retry_ != nullptr) return;
        timeval when{};
        pa_timeval_add(pa_gettimeofday(&when), kWatchRetryUs);
        retry_ = Api()->time_new(Api(), &when, &Retry, this);
    }

    static void Retry(pa_mainloop_api*, pa_time_event*, const timeval*, void* user) {
        auto* self = static_cast<PulseWatcher*>(user);
        self->Drop();
        self->Connect();
    }

    static void StateChanged(pa_context* context, void* user) {
        auto* self = static_cast<PulseWatcher*>(user);
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) {
            const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK);
            if (pa_operation* op = pa_context_subscribe(context, mask, nullptr, nullptr)) pa_operation_unref(op);
            // Anything may have changed while we were away.
            self->connected_ = true;
            self->Notify();
        } else if (!PA_CONTEXT_IS_GOOD(state)) {
            // The server went: no device until it is back.
            if (self->connected_) self->Notify();
            self->connected_ = false;
            self->RetryLater();
        }
    }

    static void ServerEvent(pa_context*, pa_subscription_event_type_t event, std::uint32_t, void* user) {
        const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        // A sink's own changes (its volume, as we set it) tell nothing.
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER || type != PA_SUBSCRIPTION_EVENT_CHANGE)
            static_cast<PulseWatcher*>(user)->Notify();
    }

    // One queued call at a time: a burst of events gives one.
    void Notify() {
        if (queued_.exchange(true)) return;
        QMetaObject::invokeMethod(
            &receiver_,
            [this] {
                queued_ = false;
                handler_();
            },
            Qt::QueuedConnection);
    }

    std::function<void()> handler_;
    QObject receiver_;  // of the user-interface thread, where the handler runs
    std::atomic<bool> queued_{false};
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_time_event* retry_ = nullptr;
    bool connected_ = false;
};

class PulseAudioDevices : public IAudioDevices {
public:
    std::unique_ptr<IEndpointVolume> ActivateDefaultEndpointVolume() override {
        // Without a default sink there is no playback device to control.
        return Activate(kDefaultSink);
    }

    std::unique_ptr<IEndpointVolume> ActivateEndpointVolume(const std::string& deviceId) override {
        if (deviceId.empty()) return nullptr;
        return Activate(deviceId);
    }

    void SetOnDevicesChanged(std::function<void()> handler) override {
        watcher_.reset();
        if (handler) watcher_ = std::make_unique<PulseWatcher>(std::move(handler));
    }

private:
    static std::unique_ptr<IEndpointVolume> Activate(const std::string& sink) {
        auto connection = std::make_unique<PulseConnection>();
        if (!connection->Connect()) return nullptr;
        std::uint32_t index = 0;
        pa_cvolume volume{};
        std::string name;
        if (!connection->ReadSink(sink, index, volume, &name) || name.empty()) return nullptr;
        return std::make_unique<PulseEndpointVolume>(std::move(connection), name);
    }

    std::unique_ptr<PulseWatcher> watcher_;
};

}  // namespace

std::unique_ptr<IAudioDevices> CreateAudioDevices() { return std::make_unique<PulseAudioDevices>(); }

}  // namespace rl

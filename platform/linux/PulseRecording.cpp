// Whether sound is being recorded, as the PulseAudio (or PipeWire-Pulse)
// server sees it: a record stream of another program, running, on a source
// that is not a sink's monitor. The probe has a connection of its own with a
// private blocking main loop, made on the first question and made again
// after a loss; one answer waits at most kAnswerMs in all.
#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/Platform.h"

namespace rl {

namespace {

// The probe is asked on the user-interface thread: a hung server must not
// freeze it for longer than this.
constexpr std::int64_t kAnswerMs = 500;

std::int64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string Property(const pa_proplist* list, const char* key) {
    // Missing, or not a string (gets answers null for both).
    const char* value = list != nullptr ? pa_proplist_gets(list, key) : nullptr;
    return value != nullptr ? value : std::string();
}

bool IsTrue(const std::string& value) { return value == "true" || value == "1"; }

// What one record stream tells, copied while libpulse lends its info.
struct RecordStream {
    std::uint32_t source = PA_INVALID_INDEX;
    bool running = false;
    bool meterOrMonitor = false;
    std::string pid;      // empty when the stream does not say
    std::string machine;  // likewise
};

// A level meter (a volume control's peak display) only reads levels: the
// stream asked for peak detection, which PulseAudio reports as its resample
// method and PipeWire's pulse server as a property. pavucontrol makes
// nothing else; a stream that captures a sink's output is a monitor.
bool IsMeterOrSinkCapture(const pa_source_output_info& info) {
    if (info.resample_method != nullptr && std::string(info.resample_method) == "peaks") return true;
    if (IsTrue(Property(info.proplist, "resample.peaks"))) return true;
    if (IsTrue(Property(info.proplist, "stream.capture.sink"))) return true;
    return Property(info.proplist, PA_PROP_APPLICATION_ID) == "org.PulseAudio.pavucontrol";
}

struct Snapshot {
    std::set<std::uint32_t> recordableSources;  // sources that are no sink's monitor
    std::vector<RecordStream> streams;
    std::string ownMachine;  // as libpulse told the server of this process
};

class PulseRecordingProbe : public IAutoExceptionProbe {
public:
    PulseRecordingProbe() = default;
    ~PulseRecordingProbe() override { Disconnect(); }
    PulseRecordingProbe(const PulseRecordingProbe&) = delete;
    PulseRecordingProbe& operator=(const PulseRecordingProbe&) = delete;

    bool Holds() override {
        const std::int64_t deadline = MonotonicMs() + kAnswerMs;
        Snapshot snapshot;
        // A connection kept from an earlier answer may have lost a server
        // that has since come back: one fresh connection is tried then.
        const bool kept = Ready();
        if (!kept && !Connect(deadline)) return false;
        if (!Read(deadline, snapshot)) {
            const bool lost = broken_;
            Disconnect();
            if (!kept || !lost || !Connect(deadline) || !Read(deadline, snapshot)) {
                Disconnect();
                return false;
            }
        }
        return AnyRecording(snapshot);
    }

private:
    static bool AnyRecording(const Snapshot& snapshot) {
        const std::string ownPid = std::to_string(getpid());
        for (const RecordStream& s : snapshot.streams) {
            if (!s.running || s.meterOrMonitor) continue;
            if (snapshot.recordableSources.count(s.source) == 0) continue;  // a monitor, or gone meanwhile
            // A stream that does not say whose it is counts as another
            // program's; a process of another machine may share our id.
            const bool ours = !s.pid.empty() && s.pid == ownPid &&
                              (s.machine.empty() || snapshot.ownMachine.empty() || s.machine == snapshot.ownMachine);
            if (!ours) return true;
        }
        return false;
    }

    bool Ready() const { return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY; }

    bool Connect(std::int64_t deadline) {
        Disconnect();
        loop_ = pa_mainloop_new();
        if (loop_ == nullptr) return false;
        context_ = pa_context_new(pa_mainloop_get_api(loop_), "RestLevel recording probe");
        if (context_ == nullptr) return Fail();
        // The server of PULSE_SERVER or the client configuration; never one of our own.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return Fail();
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(context_);
            if (state == PA_CONTEXT_READY) return true;
            if (!PA_CONTEXT_IS_GOOD(state) || !Iterate(deadline)) return Fail();
        }
    }

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
        broken_ = false;
    }

    bool Iterate(std::int64_t deadline) {
        const std::int64_t left = deadline - MonotonicMs();
        if (left <= 0) return false;
        if (pa_mainloop_prepare(loop_, static_cast<int>(left * 1000)) < 0) return false;
        if (pa_mainloop_poll(loop_) < 0) return false;
        return pa_mainloop_dispatch(loop_) >= 0;
    }

    // The three questions go out together and are answered in order. False
    // when one fails or the deadline passes; broken_ then says whether the
    // connection itself was lost.
    bool Read(std::int64_t deadline, Snapshot& snapshot) {
        snapshot = Snapshot();
        auto onSource = [](pa_context*, const pa_source_info* info, int eol, void* user) {
            if (eol != 0 || info == nullptr) return;
            if (info->monitor_of_sink == PA_INVALID_INDEX)
                static_cast<Snapshot*>(user)->recordableSources.insert(info->index);
        };
        auto onStream = [](pa_context*, const pa_source_output_info* info, int eol, void* user) {
            if (eol != 0 || info == nullptr) return;
            RecordStream s;
            s.source = info->source;
            s.running = info->corked == 0;
            s.meterOrMonitor = IsMeterOrSinkCapture(*info);
            s.pid = Property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
            s.machine = Property(info->proplist, PA_PROP_APPLICATION_PROCESS_MACHINE_ID);
            static_cast<Snapshot*>(user)->streams.push_back(std::move(s));
        };
        auto onClient = [](pa_context*, const pa_client_info* info, int eol, void* user) {
            if (eol != 0 || info == nullptr) return;
            static_cast<Snapshot*>(user)->ownMachine = Property(info->proplist, PA_PROP_APPLICATION_PROCESS_MACHINE_ID);
        };
        pa_operation* ops[] = {
            pa_context_get_source_info_list(context_, onSource, &snapshot),
            pa_context_get_source_output_info_list(context_, onStream, &snapshot),
            pa_context_get_client_info(context_, pa_context_get_index(context_), onClient, &snapshot),
        };
        bool ok = true;
        for (pa_operation* op : ops) {
            if (op == nullptr) ok = false;
            while (ok && pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
                if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) || !Iterate(deadline)) ok = false;
            }
            if (ok && pa_operation_get_state(op) != PA_OPERATION_DONE) ok = false;
        }
        for (pa_operation* op : ops) {
            if (op == nullptr) continue;
            // The callbacks must not run into a snapshot that is gone.
            if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
            pa_operation_unref(op);
        }
        broken_ = !ok && pa_context_get_state(context_) != PA_CONTEXT_READY;
        return ok;
    }

    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool broken_ = false;
};

}  // namespace

std::unique_ptr<IAutoExceptionProbe> CreateRecordingProbe() { return std::make_unique<PulseRecordingProbe>(); }

}  // namespace rl

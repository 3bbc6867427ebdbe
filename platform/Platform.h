// The real adapters of the operating system this build targets. main() and
// the integration tests wire these to the portable core; unit tests use fakes.
#pragma once

#include <memory>

#include "platform/AudioEndpoint.h"
#include "platform/AutoExceptions.h"
#include "platform/ClockInput.h"
#include "platform/Snapshots.h"
#include "platform/Timer.h"

namespace rl {

std::unique_ptr<IClockInput> CreateClockInput();
std::unique_ptr<IAudioDevices> CreateAudioDevices();
std::unique_ptr<ISnapshotPort> CreateSnapshotPort();

// The probes of the automatic exceptions: a window that fills a monitor, a
// program that keeps the display on, sound recorded by another program.
std::unique_ptr<IAutoExceptionProbe> CreateFullScreenProbe();
std::unique_ptr<IAutoExceptionProbe> CreateDisplayKeptOnProbe();
std::unique_ptr<IAutoExceptionProbe> CreateRecordingProbe();
inline std::unique_ptr<IAutoExceptions> CreateAutoExceptions() {
    return std::make_unique<TAutoExceptionProbes>(CreateFullScreenProbe(), CreateDisplayKeptOnProbe(),
                                                  CreateRecordingProbe());
}

// Timers and the pump belong to the user-interface thread. On Linux they need
// a Qt application object to exist first.
std::unique_ptr<ITimer> CreateTimer();
IMessagePump& MessagePump();

}  // namespace rl

// The master volume of the default playback device as an integer level
// 0..65535, and fades between levels.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/AudioEndpoint.h"
#include "platform/ClockInput.h"
#include "platform/Timer.h"

namespace rl {

constexpr std::int32_t kMaxLevel = 65535;

// Reading truncates the full-precision product; writing rounds to single
// precision. Not an exact round trip: level 1 reads back as 0.
std::int32_t ScalarToLevel(float scalar);
float LevelToScalar(std::int32_t level);

class TMasterVolume {
public:
    // tmrCheck is switched off for the length of every fade, so that the idle
    // monitor never runs inside one.
    TMasterVolume(IAudioDevices& devices, IClockInput& clock, ITimer& tmrCheck, IMessagePump& pump);

    // Connects to the default playback device's volume control.
    bool ConnectEndpoint();
    bool Connected() const { return EndpointVolume != nullptr; }
    // Releases the volume control; the last step of shutting down.
    void ReleaseEndpoint();
    // The connected device; empty when there is none.
    const std::string& DeviceId() const { return deviceId_; }

    // Connects to the default playback device as it is now. True when that
    // is another device than the connected one (or none, or one after none);
    // the same device gets a fresh control and gives false.
    bool FollowDefaultDevice();

    // A device left away from its own level gets it back: now when it can be
    // reached, otherwise at a later RetryRestores that reaches it.
    void RestoreLevelOf(const std::string& deviceId, std::int32_t level);
    void RetryRestores();

    // The current level. When the device cannot be read, the last level read
    // or set is returned (0 before any), so that fades stay well defined;
    // ok, when given, tells whether this read succeeded.
    std::int32_t GetVolumeLevel(bool* ok = nullptr);
    void SetVolumeLevel(std::int32_t level);

    // Moves the level from its current value to target over duration ms,
    // pumping messages between steps. False when StopFade ended it: the
    // target was then not written.
    bool FadeVolume(std::int32_t target, std::uint32_t duration);
    bool Fading() const { return fading_; }
    // Ends the running fade after its current step (a handler that runs
    // inside it calls this), so that it sets nothing more.
    void StopFade() { stopFade_ = true; }

private:
    IAudioDevices& devices_;
    IClockInput& clock_;
    ITimer& tmrCheck_;
    IMessagePump& pump_;
    std::unique_ptr<IEndpointVolume> EndpointVolume;
    std::string deviceId_;
    std::int32_t lastLevel_ = 0;
    bool fading_ = false;
    bool stopFade_ = false;
    std::map<std::string, std::int32_t> owedLevels_;  // by device id
};

}  // namespace rl

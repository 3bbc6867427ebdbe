// Audio endpoint: the master volume of the default playback device as a
// scalar 0.0..1.0. Result codes follow COM: 0 is success, negative is failure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace rl {

using HResult = std::int32_t;

constexpr HResult kS_OK = 0;
constexpr HResult kE_FAIL = static_cast<HResult>(0x80004005u);
constexpr HResult kE_NOTIMPL = static_cast<HResult>(0x80004001u);

// Stands for IAudioEndpointVolume; released when the object is destroyed.
class IEndpointVolume {
public:
    virtual ~IEndpointVolume() = default;
    virtual HResult GetMasterVolumeLevelScalar(float* level) = 0;
    virtual HResult SetMasterVolumeLevelScalar(float level) = 0;
    // The device this control belongs to, for its whole life (it does not
    // follow the default); the id is the system's own and stays the same
    // when the device goes and comes back.
    virtual std::string DeviceId() const = 0;
};

// Stands for the enumerator -> default render endpoint -> activation chain.
class IAudioDevices {
public:
    virtual ~IAudioDevices() = default;
    // The volume control of the default playback device (render, console
    // role), or null when any step fails. May throw; callers contain it.
    virtual std::unique_ptr<IEndpointVolume> ActivateDefaultEndpointVolume() = 0;
    // The volume control of the playback device with this id while it is
    // present, or null. May throw; callers contain it.
    virtual std::unique_ptr<IEndpointVolume> ActivateEndpointVolume(const std::string& deviceId) = 0;
    // The handler runs as a message of the user-interface thread (so also
    // inside a fade's message processing) when the default playback device
    // may have changed (to another, to none or back) or a device may have
    // come back. It is told nothing more and asks again; a burst of changes
    // may give one call. Null stops the calls.
    virtual void SetOnDevicesChanged(std::function<void()> handler) = 0;
};

}  // namespace rl

// Audio endpoint: the master volume of the default playback device as a
// scalar 0.0..1.0. Result codes follow COM: 0 is success, negative is failure.
#pragma once

#include <cstdint>
#include <memory>

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
};

// Stands for the enumerator -> default render endpoint -> activation chain.
class IAudioDevices {
public:
    virtual ~IAudioDevices() = default;
    // The volume control of the default playback device (render, console
    // role), or null when any step fails. May throw; callers contain it.
    virtual std::unique_ptr<IEndpointVolume> ActivateDefaultEndpointVolume() = 0;
};

}  // namespace rl

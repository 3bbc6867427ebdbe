#include "app/MasterVolume.h"

#include <cmath>
#include <iterator>

namespace rl {

std::int32_t ScalarToLevel(float scalar) {
    // The product is formed in double precision so that e.g. 0.3f reads as 19660.
    const double product = static_cast<double>(scalar) * kMaxLevel;
    return static_cast<std::int32_t>(std::trunc(product));
}

float LevelToScalar(std::int32_t level) {
    return static_cast<float>(static_cast<double>(level) / kMaxLevel);
}

TMasterVolume::TMasterVolume(IAudioDevices& devices, IClockInput& clock, ITimer& tmrCheck, IMessagePump& pump)
    : devices_(devices), clock_(clock), tmrCheck_(tmrCheck), pump_(pump) {}

namespace {

std::string IdOf(const std::unique_ptr<IEndpointVolume>& endpoint) {
    if (!endpoint) return {};
    try {
        return endpoint->DeviceId();
    } catch (...) {
        return {};
    }
}

}  // namespace

bool TMasterVolume::ConnectEndpoint() {
    try {
        EndpointVolume = devices_.ActivateDefaultEndpointVolume();
    } catch (...) {
        EndpointVolume.reset();
    }
    deviceId_ = IdOf(EndpointVolume);
    return EndpointVolume != nullptr;
}

void TMasterVolume::ReleaseEndpoint() {
    EndpointVolume.reset();
    deviceId_.clear();
}

bool TMasterVolume::FollowDefaultDevice() {
    const std::string previous = deviceId_;
    ConnectEndpoint();
    return deviceId_ != previous;
}

void TMasterVolume::RestoreLevelOf(const std::string& deviceId, std::int32_t level) {
    owedLevels_[deviceId] = level;
    RetryRestores();
}

void TMasterVolume::RetryRestores() {
    for (auto owed = owedLevels_.begin(); owed != owedLevels_.end();) {
        bool written = false;
        try {
            const std::unique_ptr<IEndpointVolume> device = devices_.ActivateEndpointVolume(owed->first);
            written = device && device->SetMasterVolumeLevelScalar(LevelToScalar(owed->second)) >= 0;
        } catch (...) {
            written = false;
        }
        owed = written ? owedLevels_.erase(owed) : std::next(owed);
    }
}

std::int32_t TMasterVolume::GetVolumeLevel(bool* ok) {
    float scalar = 0.0f;
    bool read = false;
    if (EndpointVolume) {
        try {
            read = EndpointVolume->GetMasterVolumeLevelScalar(&scalar) >= 0;
        } catch (...) {
            read = false;
        }
    }
    if (ok != nullptr) *ok = read;
    if (!read) return lastLevel_;
    lastLevel_ = ScalarToLevel(scalar);
    return lastLevel_;
}

void TMasterVolume::SetVolumeLevel(std::int32_t level) {
    lastLevel_ = level;
    if (!EndpointVolume) return;
    try {
        EndpointVolume->SetMasterVolumeLevelScalar(LevelToScalar(level));
    } catch (...) {
        // Result codes and failures of the level call are not reported.
    }
}

bool TMasterVolume::FadeVolume(std::int32_t target, std::uint32_t duration) {
    tmrCheck_.SetEnabled(false);
    fading_ = true;
    stopFade_ = false;
    try {
        const std::int32_t origin = GetVolumeLevel();
        const std::uint32_t start = clock_.GetTickCount();
        const std::uint32_t end = start + duration;
        std::uint32_t now = 0;
        do {
            now = clock_.GetTickCount();
            double fraction = static_cast<double>(now - start) / static_cast<double>(end - start);
            // duration 0 divides 0 by 0; that step has run out, like any other.
            if (std::isnan(fraction) || fraction > 1.0) fraction = 1.0;
            if (fraction < 0.0) fraction = 0.0;
            const std::int32_t diff = target - origin;
            const auto level = static_cast<std::int32_t>(std::trunc(diff * fraction + origin));
            SetVolumeLevel(level);
            pump_.ProcessMessages();
        } while (!stopFade_ && now <= end && now >= start);
    } catch (...) {
        // An error ends the fade; the target is still written below.
    }
    fading_ = false;
    const bool finished = !stopFade_;
    // A stopped fade's target belonged to the device it started on.
    if (finished) SetVolumeLevel(target);
    tmrCheck_.SetEnabled(true);
    return finished;
}

}  // namespace rl

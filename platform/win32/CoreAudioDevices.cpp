// The master volume of the default playback device through Core Audio.
// COM is initialised by the user-interface thread before this is used.
#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <endpointvolume.h>

#include "platform/Platform.h"

namespace rl {

namespace {

// Published identifiers, declared here so that no import library has to carry them.
constexpr GUID kClsidMMDeviceEnumerator = {0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr GUID kIidIMMDeviceEnumerator = {0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
constexpr GUID kIidIAudioEndpointVolume = {0x5CDF2C82, 0x841E, 0x4546, {0x97, 0x22, 0x0C, 0xF7, 0x40, 0x78, 0x22, 0x9A}};

// Releases a COM reference when the scope ends.
template <typename T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() {
        if (p_ != nullptr) p_->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    T** Out() { return &p_; }
    void** OutVoid() { return reinterpret_cast<void**>(&p_); }
    T* operator->() const { return p_; }
    T* Get() const { return p_; }
    T* Detach() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    T* p_ = nullptr;
};

class CoreAudioEndpointVolume : public IEndpointVolume {
public:
    explicit CoreAudioEndpointVolume(IAudioEndpointVolume* volume) : volume_(volume) {}
    ~CoreAudioEndpointVolume() override { volume_->Release(); }
    CoreAudioEndpointVolume(const CoreAudioEndpointVolume&) = delete;
    CoreAudioEndpointVolume& operator=(const CoreAudioEndpointVolume&) = delete;

    HResult GetMasterVolumeLevelScalar(float* level) override {
        return volume_->GetMasterVolumeLevelScalar(level);
    }
    HResult SetMasterVolumeLevelScalar(float level) override {
        return volume_->SetMasterVolumeLevelScalar(level, nullptr);
    }

private:
    IAudioEndpointVolume* volume_;
};

class CoreAudioDevices : public IAudioDevices {
public:
    std::unique_ptr<IEndpointVolume> ActivateDefaultEndpointVolume() override {
        ComRef<IMMDeviceEnumerator> enumerator;
        HRESULT hr = CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER,
                                      kIidIMMDeviceEnumerator, enumerator.OutVoid());
        if (FAILED(hr) || enumerator.Get() == nullptr) return nullptr;

        ComRef<IMMDevice> device;
        hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.Out());
        if (FAILED(hr) || device.Get() == nullptr) return nullptr;

        ComRef<IAudioEndpointVolume> volume;
        hr = device->Activate(kIidIAudioEndpointVolume, CLSCTX_INPROC_SERVER, nullptr, volume.OutVoid());
        if (FAILED(hr) || volume.Get() == nullptr) return nullptr;

        // The enumerator and the device are released here; only the volume control is kept.
        auto kept = std::make_unique<CoreAudioEndpointVolume>(volume.Get());
        volume.Detach();
        return kept;
    }
};

}  // namespace

std::unique_ptr<IAudioDevices> CreateAudioDevices() { return std::make_unique<CoreAudioDevices>(); }

}  // namespace rl

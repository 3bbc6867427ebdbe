// The master volume of the default playback device through Core Audio, and
// notice of a change of that device. COM is initialised by the
// user-interface thread before this is used.
#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <endpointvolume.h>

#include <atomic>
#include <functional>
#include <string>

#include "platform/Platform.h"
#include "platform/win32/ComRef.h"

namespace rl {

using win32::ComRef;

namespace {

// Published identifiers, declared here so that no import library has to carry them.
constexpr GUID kClsidMMDeviceEnumerator = {0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr GUID kIidIMMDeviceEnumerator = {0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
constexpr GUID kIidIAudioEndpointVolume = {0x5CDF2C82, 0x841E, 0x4546, {0x97, 0x22, 0x0C, 0xF7, 0x40, 0x78, 0x22, 0x9A}};
constexpr GUID kIidIMMNotificationClient = {0x7991EEC9, 0x7E89, 0x4D85, {0x83, 0x90, 0x6C, 0x70, 0x3C, 0xEC, 0x60, 0xC0}};

// Sent to our own message-only window, so any application message will do.
constexpr UINT kDevicesChangedMessage = WM_APP + 1;
constexpr char kNotifyWindowClass[] = "RestLevelAudioDevices";

std::string Utf8(LPCWSTR text) {
    if (text == nullptr) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size - 1));
    return out;
}

std::wstring Wide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 1) return {};
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), size);
    out.resize(static_cast<std::size_t>(size - 1));
    return out;
}

class CoreAudioEndpointVolume : public IEndpointVolume {
public:
    CoreAudioEndpointVolume(IAudioEndpointVolume* volume, std::string id) : volume_(volume), id_(std::move(id)) {}
    ~CoreAudioEndpointVolume() override { volume_->Release(); }
    CoreAudioEndpointVolume(const CoreAudioEndpointVolume&) = delete;
    CoreAudioEndpointVolume& operator=(const CoreAudioEndpointVolume&) = delete;

    HResult GetMasterVolumeLevelScalar(float* level) override {
        return volume_->GetMasterVolumeLevelScalar(level);
    }
    HResult SetMasterVolumeLevelScalar(float level) override {
        return volume_->SetMasterVolumeLevelScalar(level, nullptr);
    }
    std::string DeviceId() const override { return id_; }

private:
    IAudioEndpointVolume* volume_;
    std::string id_;
};

// Core Audio calls the client on a thread of its own, where nothing of ours
// may be touched: it only posts a message to a window of the user-interface
// thread, one at a time.
class DeviceNotifications final : public IMMNotificationClient {
public:
    explicit DeviceNotifications(HWND target) : target_(target) {}
    DeviceNotifications(const DeviceNotifications&) = delete;
    DeviceNotifications& operator=(const DeviceNotifications&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, kIidIMMNotificationClient)) {
            *object = static_cast<IMMNotificationClient*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
        if (flow == eRender && role == eConsole) Post();
        return S_OK;
    }
    // A device that comes back may be owed its level.
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override {
        Post();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD state) override {
        if (state == DEVICE_STATE_ACTIVE) Post();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

    // On the user-interface thread, as the message arrives.
    void Delivered() { posted_ = false; }

private:
    ~DeviceNotifications() = default;
    void Post() {
        if (!posted_.exchange(true)) PostMessageA(target_, kDevicesChangedMessage, 0, 0);
    }

    std::atomic<ULONG> refs_{1};
    std::atomic<bool> posted_{false};
    HWND target_;
};

class CoreAudioDevices : public IAudioDevices {
public:
    CoreAudioDevices() = default;
    ~CoreAudioDevices() override { StopListening(); }
    CoreAudioDevices(const CoreAudioDevices&) = delete;
    CoreAudioDevices& operator=(const CoreAudioDevices&) = delete;

    std::unique_ptr<IEndpointVolume> ActivateDefaultEndpointVolume() override {
        ComRef<IMMDeviceEnumerator> enumerator;
        if (!CreateEnumerator(enumerator)) return nullptr;

        ComRef<IMMDevice> device;
        const HRESULT hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.Out());
        if (FAILED(hr) || device.Get() == nullptr) return nullptr;
        // The enumerator and the device are released here; only the volume control is kept.
        return Activate(device.Get());
    }

    std::unique_ptr<IEndpointVolume> ActivateEndpointVolume(const std::string& deviceId) override {
        const std::wstring id = Wide(deviceId);
        ComRef<IMMDeviceEnumerator> enumerator;
        if (id.empty() || !CreateEnumerator(enumerator)) return nullptr;
        ComRef<IMMDevice> device;
        if (FAILED(enumerator->GetDevice(id.c_str(), device.Out())) || device.Get() == nullptr) return nullptr;
        // An unplugged or disabled device keeps its id but cannot be reached.
        DWORD state = 0;
        if (FAILED(device->GetState(&state)) || state != DEVICE_STATE_ACTIVE) return nullptr;
        return Activate(device.Get());
    }

    void SetOnDevicesChanged(std::function<void()> handler) override {
        StopListening();
        if (!handler) return;
        window_ = CreateWindowExA(0, NotifyWindowClass(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
        if (window_ == nullptr) return;
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        handler_ = std::move(handler);
        client_ = new DeviceNotifications(window_);
        if (!CreateEnumerator(listening_) || FAILED(listening_->RegisterEndpointNotificationCallback(client_)))
            StopListening();
    }

private:
    static bool CreateEnumerator(ComRef<IMMDeviceEnumerator>& enumerator) {
        const HRESULT hr = CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER,
                                            kIidIMMDeviceEnumerator, enumerator.OutVoid());
        return SUCCEEDED(hr) && enumerator.Get() != nullptr;
    }

    static std::unique_ptr<IEndpointVolume> Activate(IMMDevice* device) {
        LPWSTR id = nullptr;
        if (FAILED(device->GetId(&id)) || id == nullptr) return nullptr;
        std::string deviceId = Utf8(id);
        CoTaskMemFree(id);

        ComRef<IAudioEndpointVolume> volume;
        const HRESULT hr = device->Activate(kIidIAudioEndpointVolume, CLSCTX_INPROC_SERVER, nullptr, volume.OutVoid());
        if (FAILED(hr) || volume.Get() == nullptr) return nullptr;
        auto kept = std::make_unique<CoreAudioEndpointVolume>(volume.Get(), std::move(deviceId));
        volume.Detach();
        return kept;
    }

    void StopListening() {
        // Unregistered first: no callback may run once the client is released.
        if (listening_.Get() != nullptr && client_ != nullptr) listening_->UnregisterEndpointNotificationCallback(client_);
        if (listening_.Get() != nullptr) listening_.Detach()->Release();
        if (client_ != nullptr) client_->Release();
        client_ = nullptr;
        if (window_ != nullptr) DestroyWindow(window_);
        window_ = nullptr;
        handler_ = nullptr;
    }

    static LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message != kDevicesChangedMessage) return DefWindowProcA(window, message, wParam, lParam);
        auto* self = reinterpret_cast<CoreAudioDevices*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self == nullptr || self->client_ == nullptr) return 0;
        self->client_->Delivered();
        // A copy: the handler may replace itself.
        const std::function<void()> handler = self->handler_;
        if (handler) handler();
        return 0;
    }

    static const char* NotifyWindowClass() {
        static const bool registered = [] {
            WNDCLASSA windowClass{};
            windowClass.lpfnWndProc = &NotifyWindowProc;
            windowClass.hInstance = GetModuleHandleA(nullptr);
            windowClass.lpszClassName = kNotifyWindowClass;
            return RegisterClassA(&windowClass) != 0;
        }();
        static_cast<void>(registered);
        return kNotifyWindowClass;
    }

    std::function<void()> handler_;
    HWND window_ = nullptr;
    DeviceNotifications* client_ = nullptr;
    ComRef<IMMDeviceEnumerator> listening_;
};

}  // namespace

std::unique_ptr<IAudioDevices> CreateAudioDevices() { return std::make_unique<CoreAudioDevices>(); }

}  // namespace rl

// A COM reference released when its scope ends, for the Core Audio users.
#pragma once

namespace rl::win32 {

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

}  // namespace rl::win32

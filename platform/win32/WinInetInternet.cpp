// The internet port over WinInet's ANSI functions, each passed straight
// through; WinInet leaves its own error code as the thread's last error.
#include <windows.h>
#include <wininet.h>

#include <vector>

#include "platform/Http.h"

namespace rl {
namespace {

HINTERNET ToHandle(InetHandle handle) { return reinterpret_cast<HINTERNET>(handle); }
InetHandle FromHandle(HINTERNET handle) { return reinterpret_cast<InetHandle>(handle); }

class WinInetInternet : public IInternet {
public:
    InetHandle Open(const std::string& agent, std::uint32_t accessType, std::uint32_t flags) override {
        return FromHandle(InternetOpenA(agent.c_str(), accessType, nullptr, nullptr, flags));
    }

    bool SetOption(InetHandle handle, std::uint32_t option, std::uint32_t value) override {
        DWORD data = value;
        return InternetSetOptionA(ToHandle(handle), option, &data, sizeof(data)) != FALSE;
    }

    InetHandle Connect(InetHandle internet, const std::string& host, std::uint16_t port, const char* userName,
                       const char* password, std::uint32_t service, std::uint32_t flags,
                       std::uintptr_t context) override {
        return FromHandle(InternetConnectA(ToHandle(internet), host.c_str(), port, userName, password, service, flags,
                                           context));
    }

    InetHandle OpenRequest(InetHandle connection, const std::string& verb, const std::string& objectName,
                           const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                           std::uintptr_t context) override {
        // WinInet takes the accept types as a list ending in a null entry.
        std::vector<const char*> types;
        types.reserve(acceptTypes.size() + 1);
        for (const auto& type : acceptTypes) types.push_back(type.c_str());
        types.push_back(nullptr);
        return FromHandle(HttpOpenRequestA(ToHandle(connection), verb.c_str(), objectName.c_str(), nullptr, nullptr,
                                           types.data(), flags, context));
    }

    bool SendRequest(InetHandle request, const std::string& headers, const void* optional,
                     std::uint32_t optionalLength) override {
        // No headers is a null pointer: WinInet would otherwise look at an
        // empty text for a header block.
        return HttpSendRequestA(ToHandle(request), headers.empty() ? nullptr : headers.c_str(),
                                static_cast<DWORD>(headers.size()), const_cast<void*>(optional),
                                optionalLength) != FALSE;
    }

    bool QueryInfo(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length) override {
        DWORD size = *length;
        const BOOL ok = HttpQueryInfoA(ToHandle(request), level, buffer, &size, nullptr);
        *length = size;
        return ok != FALSE;
    }

    bool ReadFile(InetHandle request, void* buffer, std::uint32_t count, std::uint32_t& read) override {
        DWORD got = 0;
        const BOOL ok = InternetReadFile(ToHandle(request), buffer, count, &got);
        read = got;
        return ok != FALSE;
    }

    bool LastResponseInfo(std::uint32_t& error, std::string& text, std::uint32_t bufferSize) override {
        std::vector<char> buffer(bufferSize + 1, '\0');
        DWORD code = 0;
        DWORD length = bufferSize;
        const BOOL ok = InternetGetLastResponseInfoA(&code, buffer.data(), &length);
        error = code;
        text = ok ? std::string(buffer.data(), length < bufferSize ? length : bufferSize) : std::string();
        return ok != FALSE;
    }

    bool CloseHandle(InetHandle handle) override { return InternetCloseHandle(ToHandle(handle)) != FALSE; }
};

}  // namespace

std::unique_ptr<IInternet> CreateInternet() { return std::make_unique<WinInetInternet>(); }

}  // namespace rl

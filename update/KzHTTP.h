// Single HTTP(S) requests for the update component: HTTPGet returns the whole
// body, HTTPHead the status and headers. Each call opens, uses and closes its
// own handles through the internet port; nothing survives a call. Neither
// routine raises; failures come back as false with an error text.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Http.h"
#include "platform/UpdateUi.h"

namespace rl {

// An absent credential; passed to the platform as a null pointer.
inline constexpr char NullStringValue[] = "<NuLlStRVAl1>";

// The routines reach the network through this port; without one every
// request fails as if the internet handle could not be opened.
void SetInternetPort(IInternet* port);
IInternet* InternetPort();

bool HTTPGet(const std::string& url, std::string& body, std::uint32_t& statusCode, std::uint32_t& contentLength,
             double& lastModified, std::string& errorText, IProgressBar* progress, std::uint32_t connectTimeout,
             std::uint32_t receiveTimeout, const std::string& userName, const std::string& password, bool reload,
             bool noRedirect, std::string* location = nullptr, std::string* rawHeaders = nullptr,
             const std::string& extraHeaders = std::string());

bool HTTPHead(const std::string& url, const std::string& extraHeaders, const std::string& requestData,
              std::uint32_t& statusCode, std::uint64_t& contentLength, double& lastModified, std::string& errorText,
              IProgressBar* reveal, std::uint32_t connectTimeout, std::uint32_t receiveTimeout,
              const std::string& userName, const std::string& password, bool reload, bool noRedirect,
              std::string* location = nullptr, std::string* rawHeaders = nullptr, std::string* body = nullptr);

}  // namespace rl

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

// Header queries on an open request, each giving the fallback when the query
// fails: the level as a 32-bit number, as a date-time (from the system-time
// form, no zone conversion), and as text of at most 1023 bytes (a longer
// header gives the fallback).
std::uint32_t QueryHeaderNumber(InetHandle request, std::uint32_t level, std::uint32_t fallback);
double QueryHeaderDate(InetHandle request, std::uint32_t level, double fallback);
std::string QueryHeaderText(InetHandle request, std::uint32_t level, const std::string& fallback);

// The thread's last error as text (when there is one), a blank and the
// server's last response text, trimmed.
std::string ExtendedErrorText();
// The server's last response text alone; empty when there is none.
std::string ResponseInfoText();

// GET: the whole body, whatever the status. True for a 2xx status when every
// read succeeded and the body is not shorter than its announced length.
// Pending window messages are processed before each read; the progress bar,
// when given, is revealed after the send and advanced to 1000 as the body
// arrives.
bool HTTPGet(const std::string& url, std::string& body, std::uint32_t& statusCode, std::uint32_t& contentLength,
             double& lastModified, std::string& errorText, IProgressBar* progress, std::uint32_t connectTimeout,
             std::uint32_t receiveTimeout, const std::string& userName, const std::string& password, bool reload,
             bool noRedirect, std::string* location = nullptr, std::string* rawHeaders = nullptr,
             const std::string& extraHeaders = std::string());

// HEAD (the request data sent as its optional data): true for a 2xx status.
// The body is read only when asked for.
bool HTTPHead(const std::string& url, const std::string& extraHeaders, const std::string& requestData,
              std::uint32_t& statusCode, std::uint64_t& contentLength, double& lastModified, std::string& errorText,
              IProgressBar* reveal, std::uint32_t connectTimeout, std::uint32_t receiveTimeout,
              const std::string& userName, const std::string& password, bool reload, bool noRedirect,
              std::string* location = nullptr, std::string* rawHeaders = nullptr, std::string* body = nullptr);

}  // namespace rl

// A fake of the internet port: a scripted server behind the WinInet calls.
//
// Calls. Every call adds one line to `log`, in order:
//   "InternetOpenA <agent>", "InternetSetOptionA <option> <value>",
//   "InternetConnectA <host>:<port>", "HttpOpenRequestA <verb> <object>",
//   "HttpSendRequestA", "HttpQueryInfoA 0x<level with flags, 8 hex digits>",
//   "InternetQueryDataAvailable", "InternetReadFile <count>", "InternetGetLastResponseInfoA",
//   "InternetCloseHandle <internet|connection|request|unknown>".
// Other fakes and tests may append lines of their own to `log` (a pump, a
// progress bar's journal) to see their calls among these. The arguments of
// each call are kept in the records below; credentials as nullopt (a null
// pointer), "" or their text.
//
// Responses. A request's response is chosen when it is opened: the entry of
// `responses` for its object name ("/path/file?query"), else `response`.
// Headers that are absent fail their query with ERROR_HTTP_HEADER_NOT_FOUND;
// numbers come in 4 bytes, Last-Modified in the 16-byte system-time form,
// text with a terminating zero (a text that does not fit fails with
// ERROR_INSUFFICIENT_BUFFER and the size it needs). The body comes one
// chunk per read (a chunk larger than the count asked for takes several);
// the data available is what is left of the current chunk (0 at the end and
// before a read made to fail).
//
// Failures. A call made to fail returns its failure value and leaves its
// error as the thread's last error: in `lastError`, and in the fake text
// system's `lastError` when `textSystem` is set (there LastErrorText reads
// it). Successful calls leave the last error alone, as WinInet's do.
//
// Handles. Each handle has a kind and its parent; closing an internet
// handle releases its connections (not their requests). Options go on an
// internet handle or a request. Calls on a handle that is unknown, closed or
// of the wrong kind fail with
// ERROR_INVALID_HANDLE and are listed in `misuse`.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Http.h"
#include "platform/TextSystem.h"
#include "tests/fakes/FakeTextSystem.h"

namespace rl::fake {

constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;

struct Response {
    std::optional<std::uint32_t> status = 200;
    std::optional<std::uint64_t> contentLength;  // the number form gives its low 32 bits
    std::optional<SystemTime> lastModified;
    std::optional<std::string> location;
    // The raw headers; when unset, made from the status line and the headers
    // above, CR LF separated and ending in an empty line.
    std::optional<std::string> rawHeaders;

    std::vector<std::string> chunks;
    // The read that would begin chunk readFailsAt fails instead, and so does
    // every read after it; chunks.size() makes the read at the end fail.
    std::optional<std::size_t> readFailsAt;
    std::uint32_t readError = kErrorInternetConnectionReset;
    // HttpSendRequestA of this request fails with this error.
    std::optional<std::uint32_t> sendError;

    // The body in chunks of chunkSize bytes (0: one chunk); with
    // announceLength the Content-Length header gives its size.
    Response& Body(const std::string& body, std::size_t chunkSize = 0, bool announceLength = true);
    // The raw headers as they are served.
    std::string RawHeaderText() const;
};

class Internet : public IInternet {
public:
    // The scripted server.
    Response response;
    std::map<std::string, Response> responses;  // by object name

    // Calls made to fail, with the error each leaves.
    std::optional<std::uint32_t> openError;
    std::optional<std::uint32_t> setOptionError;
    std::optional<std::uint32_t> connectError;
    std::optional<std::uint32_t> openRequestError;
    std::optional<std::uint32_t> sendError;

    // InternetGetLastResponseInfoA: the server's last response text (a text
    // that does not fit the buffer fails), or a failure.
    std::string responseInfo;
    std::uint32_t responseInfoError = 0;
    bool responseInfoFails = false;

    // Where a failing call leaves its error.
    std::uint32_t lastError = 0;
    TextSystem* textSystem = nullptr;

    // Called before every read is served, with the read's index within its
    // request (from 0).
    std::function<void(std::size_t)> onRead;

    // Records.
    std::vector<std::string> log;
    struct OpenCall {
        std::string agent;
        std::uint32_t accessType = 0;
        std::uint32_t flags = 0;
    };
    std::vector<OpenCall> opens;
    struct OptionCall {
        InetHandle handle = 0;
        std::uint32_t option = 0;
        std::uint32_t value = 0;
    };
    std::vector<OptionCall> options;
    struct ConnectCall {
        InetHandle internet = 0;
        std::string host;
        std::uint16_t port = 0;
        std::optional<std::string> userName;
        std::optional<std::string> password;
        std::uint32_t service = 0;
        std::uint32_t flags = 0;
        std::uintptr_t context = 0;
    };
    std::vector<ConnectCall> connects;
    struct QueryCall {
        std::uint32_t level = 0;  // with its flags
        std::uint32_t bufferSize = 0;
        bool succeeded = false;
    };
    // One per HttpOpenRequestA (the failing ones too), with the connection
    // it was made on and everything done with it afterwards.
    struct RequestCall {
        InetHandle handle = 0;  // 0 when the call failed
        ConnectCall connection;
        std::string verb;
        std::string objectName;
        std::vector<std::string> acceptTypes;
        std::uint32_t flags = 0;
        std::uintptr_t context = 0;
        int sends = 0;
        std::string headers;
        std::optional<std::string> optional;  // nullopt: a null pointer
        std::uint32_t optionalLength = 0;
        std::vector<QueryCall> queries;
        std::vector<std::uint32_t> reads;  // the counts asked for
        bool closed = false;
    };
    std::vector<RequestCall> requests;
    std::vector<std::uint32_t> responseInfoBufferSizes;
    std::vector<std::string> misuse;

    // Handles opened so far, and those not closed (nor released).
    int HandlesOpened() const { return static_cast<int>(handles_.size()); }
    int OpenHandles() const;

    InetHandle Open(const std::string& agent, std::uint32_t accessType, std::uint32_t flags) override;
    bool SetOption(InetHandle handle, std::uint32_t option, std::uint32_t value) override;
    InetHandle Connect(InetHandle internet, const std::string& host, std::uint16_t port, const char* userName,
                       const char* password, std::uint32_t service, std::uint32_t flags,
                       std::uintptr_t context) override;
    InetHandle OpenRequest(InetHandle connection, const std::string& verb, const std::string& objectName,
                           const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                           std::uintptr_t context) override;
    bool SendRequest(InetHandle request, const std::string& headers, const void* optional,
                     std::uint32_t optionalLength) override;
    bool QueryInfo(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length) override;
    bool QueryDataAvailable(InetHandle request, std::uint32_t& available) override;
    bool ReadFile(InetHandle request, void* buffer, std::uint32_t count, std::uint32_t& read) override;
    bool LastResponseInfo(std::uint32_t& error, std::string& text, std::uint32_t bufferSize) override;
    bool CloseHandle(InetHandle handle) override;

private:
    enum class Kind { Internet, Connection, Request };
    struct Handle {
        Kind kind = Kind::Internet;
        InetHandle parent = 0;
        bool open = true;
        std::size_t record = 0;  // index into connects or requests
        Response response;       // requests: what they serve
        std::size_t chunk = 0;
        std::size_t offset = 0;
        std::size_t readIndex = 0;
    };
    bool Fail(std::uint32_t error);
    Handle* Find(InetHandle handle, Kind kind, const char* call);
    InetHandle Add(Handle handle);

    std::map<InetHandle, Handle> handles_;
    InetHandle next_ = 0x100;
};

}  // namespace rl::fake

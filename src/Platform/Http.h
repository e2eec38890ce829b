#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Clock.h"

namespace sorvel::platform {

// Where a request may go, and whether an answer may send it elsewhere.
enum class HttpUrlPolicy {
    // The maker's API: https, or plain http only to a host the app mapped
    // (host::mapHttpHost); a redirect is never followed, so an answer can send
    // neither the request nor its signed body to another host or scheme.
    MAKER_API,
    // A resource a payload names, such as a notification's or a campaign's
    // image: http or https to any host, following up to
    // HttpSession::MAX_REDIRECTS redirects that stay on http or https.
    PUBLIC_RESOURCE,
};

// One request of the shared URL session.
struct HttpRequest {
    std::string method = "GET";  // "GET", "POST" or "DELETE"
    std::string url;
    // Sent in this order, exactly as given.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    Millis timeout = Millis(60000);
    HttpUrlPolicy policy = HttpUrlPolicy::MAKER_API;
};

struct HttpResponse {
    // 0 when no complete HTTP answer arrived: refused, reset, time-out, TLS
    // failure, a body cut off at the size cap, a refused URL.
    int status = 0;
    std::string body;
    // Why status is 0 (empty otherwise).
    std::string error;
    // False when the transfer had to open a new connection.
    bool reusedConnection = false;
};

// Where the bytes of a response body go. A data task collects them in memory;
// a download task writes them to a file.
class IHttpBodySink {
  public:
    virtual ~IHttpBodySink() = default;
    // False stops the transfer; the task then reports status 0.
    virtual bool write(std::string_view chunk) = 0;
};

// The shared URL session: blocking transfers over libcurl with TLS
// verification on. Easy handles are pooled, so a connection to a host stays
// open and is reused by the next request that takes the same handle; DNS
// answers and TLS sessions are shared by all handles. A host may send the
// maker's hosts to a loopback server (host::mapHttpHost) and cap time-outs
// (host::setHttpTimeout).
class HttpSession {
  public:
    static constexpr std::size_t MAX_RESPONSE_BYTES = 16u * 1024u * 1024u;
    static constexpr Millis DEFAULT_TIMEOUT = Millis(60000);
    // The most redirects a PUBLIC_RESOURCE request follows; one more fails it.
    static constexpr long MAX_REDIRECTS = 5;

    static HttpSession& shared();

    // Sends the request and waits for the whole answer (body in memory, at most
    // MAX_RESPONSE_BYTES; a longer one is cut off, logged and reported as
    // status 0).
    HttpResponse dataTask(const HttpRequest& request);
    // Sends the request and streams the body into the sink; the response's
    // body stays empty. The size cap is the caller's (the sink's) business.
    HttpResponse perform(const HttpRequest& request, IHttpBodySink& sink);

    struct Stats {
        std::uint64_t transfers = 0;
        std::uint64_t connectionsOpened = 0;
    };
    Stats stats() const;

    // A session of its own (its own handle pool); the SDK uses shared().
    HttpSession();
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The URL a request to `url` goes to once the host's mappings
// (host::mapHttpHost) are applied; `url` itself when none applies or it is not
// an absolute http(s) URL.
std::string effectiveHttpUrl(const std::string& url);

}  // namespace sorvel::platform

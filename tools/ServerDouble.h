#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HistoryDouble.h"

namespace sorvel::tools {

// The maker's endpoints the double plays.
enum class Endpoint {
    EVENT_BULK,             // POST /api/v6/event/bulk/{appkey}            Base64
    DEFERRED_DEEPLINK,      // POST /api/v6/deferred-deeplink/{appkey}     Base64
    DRWORKS,                // POST /api/v6/drworks/{appkey}               Base64
    GDPR,                   // POST /api/opengdpr_requests                 JSON
    CONFIG,                 // GET  /{prod|dev}/sdk.config/{appkey}/config.json (unsigned)
    IAM_CAMPAIGNS,          // POST /api/v1/inappmessage/campaigns/get     JSON
    HISTORY_LIST,           // POST /api/v6/actionhistory/List             JSON
    HISTORY_DELETE_DEVICE,  // DELETE /api/v6/actionhistory/{appkey}/device/{id}[/{history}/{ts}]
                            // JSON
    HISTORY_DELETE_USER,  // DELETE /api/v6/actionhistory/{appkey}/user/{id}[/{history}/{ts}]   JSON
    UNKNOWN,
};
const char* endpointName(Endpoint e);

// One answer of the script. A dropped connection closes the socket without a
// byte of answer; the delay comes first either way.
struct ScriptedAnswer {
    int status = 200;
    std::string body = "{}";
    std::chrono::milliseconds delay{0};
    bool dropConnection = false;
    std::string contentType = "application/json";
    // Sent as the Location header when not empty (a redirect).
    std::string location = {};
};

// Statuses the double answers when a request fails a check, before the script
// is consulted (so a rejected request never consumes a scripted answer).
struct Rejection {
    static constexpr int UNKNOWN_ENDPOINT = 404;
    static constexpr int WRONG_METHOD = 405;
    static constexpr int BAD_SIGNATURE = 401;  // missing or wrong signing headers, bad User-Agent
    static constexpr int BAD_ENCODING =
        415;                              // wrong Content-Type, or a Base64 body that is not Base64
    static constexpr int BAD_JSON = 422;  // the (decoded) body is not a JSON object
};

struct RecordedRequest {
    std::uint64_t sequence = 0;
    Endpoint endpoint = Endpoint::UNKNOWN;
    std::string method;
    std::string path;    // percent-decoded
    std::string target;  // the path as sent, percent-encoded, without the query
    std::string appKey;  // from the path, when the endpoint carries one
    // Names in lower case; the lines beyond Options::keptBytesEach are not kept.
    std::map<std::string, std::string> headers;
    // The head of the body as it came and decoded (the JSON text, Base64-
    // decoded for the Base64 endpoints): at most Options::keptBytesEach of
    // each; the byte counts are those of the whole bodies.
    std::string rawBody;
    std::string decodedBody;
    std::size_t rawBodyBytes = 0;
    std::size_t decodedBodyBytes = 0;
    // "valid", "invalid", "unchecked" (no secret key given) or "none" (unsigned).
    std::string signature = "none";
    int status = 0;              // what the double answered (0: connection dropped)
    std::string verdict = "ok";  // why a request was rejected
    int remotePort = 0;          // the client's port: one per connection

    // Whether a body was longer than what was kept of it.
    bool bodyCut() const {
        return rawBody.size() < rawBodyBytes || decodedBody.size() < decodedBodyBytes;
    }
    bool hasHeader(const std::string& lowerName) const { return headers.count(lowerName) != 0; }
    std::string header(const std::string& lowerName) const;
    // One line of JSON (the standalone program prints these).
    std::string toJsonLine() const;
};

// The signature a request with this time and JSON text must carry, computed on
// its own from the secret key (not with the SDK's signer).
std::string expectedAuthCs(std::string_view secretKey, std::string_view authTime,
                           std::string_view jsonText);

// A real HTTP server on loopback playing the maker's servers. It checks what a
// real server would (signing headers, User-Agent, body encoding per endpoint,
// JSON well-formedness), records every request and answers from a script.
//
// Every connection is served on a thread of its own (up to MAX_CONNECTION_THREADS
// at once) and kept alive KEEP_ALIVE_SECONDS while idle, so clients that pool
// idle connections (the SDK's transport keeps up to 16) never hold up a new
// client. The listen backlog is the system's (SOMAXCONN).
class ServerDouble {
  public:
    static constexpr std::size_t MAX_CONNECTION_THREADS = 256;
    static constexpr int KEEP_ALIVE_SECONDS = 30;

    struct Options {
        std::string host = "127.0.0.1";
        int port = 0;           // 0: any free port
        std::string secretKey;  // empty: signatures are recorded but not checked
        // What is kept of the requests; each is still checked and answered in
        // full, and counted (requestCount) when no longer kept.
        std::size_t keptBytesEach = 64 * 1024;     // of each body (raw, decoded) and the headers
        std::size_t keptRequests = 10000;          // the most recent ones, as long as
        std::size_t keptBytes = 32 * 1024 * 1024;  // their bodies and headers fit in this
    };

    ServerDouble();
    explicit ServerDouble(Options options);
    ~ServerDouble();
    ServerDouble(const ServerDouble&) = delete;
    ServerDouble& operator=(const ServerDouble&) = delete;

    // Binds and serves on a thread of its own; false when it cannot bind.
    bool start();
    // Stops serving: ends the connections it accepted (idle or not) and waits
    // for their handlers. Idempotent.
    void stop();
    int port() const;
    std::string baseUrl() const;

    void setSecretKey(std::string key);
    // Queued answers, used one per accepted request of that endpoint, in order.
    void script(Endpoint endpoint, ScriptedAnswer answer);
    // The answer once the endpoint's queue is empty.
    void setDefaultAnswer(Endpoint endpoint, ScriptedAnswer answer);
    // The message-history server state; inactive (script and defaults answer)
    // until it is given an entry. A scripted answer still goes first.
    HistoryDouble& history();
    // Shorthand: the configuration file's text (a 200 answer).
    void setConfigText(std::string text);
    // Answers the endpoint's accepted requests once its script queue is empty,
    // in place of the default answer (called on a server thread).
    using Responder = std::function<ScriptedAnswer(const RecordedRequest&)>;
    void setResponder(Endpoint endpoint, Responder responder);
    // Serves GET requests whose path starts with the prefix (files such as
    // images, outside the maker's endpoints: neither checked nor recorded).
    // Nothing from `files` answers 404.
    using FileServer = std::function<std::optional<ScriptedAnswer>(const std::string& path)>;
    void serveFiles(std::string pathPrefix, FileServer files);

    // The requests kept (see Options), oldest first.
    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requests(Endpoint endpoint) const;
    // Requests recorded since the start or clearRequests, kept or not.
    std::size_t requestCount() const;
    // Waits until requestCount() is at least count.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds deadline) const;
    void clearRequests();
    // Called on a server thread for every recorded request, before its answer
    // is written.
    void setRequestObserver(std::function<void(const RecordedRequest&)> observer);
    // Called on a server thread once the answer of a request has been written
    // (or the connection dropped).
    void setAnswerObserver(std::function<void(const RecordedRequest&)> observer);

    // The default answers before any script (docs/wire-format.md lists them).
    static ScriptedAnswer defaultAnswer(Endpoint endpoint);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sorvel::tools

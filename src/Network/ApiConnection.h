#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include "Base/Status.h"
#include "Network/ApiConnectionError.h"
#include "Network/ApiModel.h"
#include "Platform/Clock.h"
#include "Platform/Http.h"
#include "Platform/Mutex.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

enum class HttpMethod { GET, POST, DELETE };

// One request to the maker's servers. The caller sets it up; sending happens
// only through ApiConnectionManager. The request is formed and signed once, on
// its first sending: the model's body, taken as compact JSON text when the
// request is set, travels as is (DELETE and the GDPR, in-app campaign and
// message-history list endpoints) or as its Base64 (every other POST). A retry
// resends the same bytes and headers.
class ApiConnection {
  public:
    static constexpr platform::Millis TIMEOUT = platform::Millis(60000);

    explicit ApiConnection(std::shared_ptr<DataRegistry> registry);
    ApiConnection(const ApiConnection&) = delete;
    ApiConnection& operator=(const ApiConnection&) = delete;

    // POST of the model's dictionary to the model's URL. Cannot fail.
    ApiConnection& setPostRequest(const IApiModel& model);
    // POST of a body already written, to the URL text. Cannot fail.
    ApiConnection& setPostRequest(std::shared_ptr<const ApiBody> body, std::string urlText);
    // DELETE of the model's dictionary to the model's URL. Cannot fail.
    ApiConnection& setDeleteRequest(const IApiModel& model);
    ApiConnection& setGetRequest(const std::optional<std::string>& urlText);
    // Replaces the caller's headers; a header without a value is not sent.
    ApiConnection& setHeaders(std::map<std::string, std::optional<std::string>> headers);

    // The status of the last answer (0 before any, and when none arrived).
    int responseCode() const;

    // The request as it goes on the wire, formed and signed on first use, or
    // why it cannot be. Shared, not copied: the body is the whole upload.
    StatusOr<std::shared_ptr<const platform::HttpRequest>, ApiConnectionError> preparedRequest();

    // What an attempt that was sent brought back.
    struct Answer {
        int status = 0;  // 0: no answer arrived
        std::optional<std::string> responseText;
    };
    // One attempt: the answer, or the error when the request cannot be
    // formed or signed (nothing sent; the error's description is logged).
    using Outcome = StatusOr<Answer, ApiConnectionError>;
    Outcome send();

    // "Ovinthal/<sdk> (iOS <os version>; U; <device model> Build)".
    static std::string userAgent();
    // Whether a body for this method and URL travels as JSON text.
    static bool sendsJsonText(HttpMethod method, const std::string& url);

  private:
    // What the request is made of, taken under the lock and formed outside it
    // (forming reads the registry, which waits on the registry's queue).
    struct Parts {
        std::optional<HttpMethod> method;
        std::optional<std::string> urlText;
        std::shared_ptr<const ApiBody> body;
        std::map<std::string, std::optional<std::string>> headers;
    };
    StatusOr<platform::HttpRequest, ApiConnectionError> form(Parts parts) const;
    Outcome outcomeOf(const platform::HttpRequest& request, platform::HttpResponse response);
    // A setter changed the request: what was formed before no longer holds.
    void invalidate() EXCLUSIVE_LOCKS_REQUIRED(mu_);

    const std::shared_ptr<DataRegistry> registry_;
    mutable platform::Mutex mu_;
    std::optional<HttpMethod> method_ GUARDED_BY(mu_);
    std::optional<std::string> urlText_ GUARDED_BY(mu_);
    // Shared with the parts a send forms, never copied.
    std::shared_ptr<const ApiBody> body_ GUARDED_BY(mu_);
    std::map<std::string, std::optional<std::string>> headers_ GUARDED_BY(mu_);
    std::shared_ptr<const platform::HttpRequest> prepared_ GUARDED_BY(mu_);
    std::uint64_t generation_ GUARDED_BY(mu_) = 0;
    int responseCode_ GUARDED_BY(mu_) = 0;
};

}  // namespace sorvel

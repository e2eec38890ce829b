#include "Network/ApiConnection.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "Base/TextUnits.h"
#include "Base/Url.h"
#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DatesAndIds.h"
#include "Common/SvlLog.h"
#include "Network/RequestSigner.h"
#include "Platform/Device.h"

namespace sorvel {
namespace {

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool sameHeaderName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool isOwnHeader(std::string_view name) {
    for (const char* own : {"Content-Type", "User-Agent", "svl-auth-time", "svl-auth-cs"}) {
        if (sameHeaderName(name, own)) {
            return true;
        }
    }
    return false;
}

// Whether a body to this path (its query cut off) travels as JSON text.
bool jsonTextPath(HttpMethod method, std::string_view pathAndQuery) {
    if (method == HttpMethod::DELETE) {
        return true;
    }
    const std::string_view path = pathAndQuery.substr(0, pathAndQuery.find('?'));
    return endsWith(path, Constants::GDPR_PATH) || endsWith(path, Constants::IAM_CAMPAIGNS_PATH) ||
           endsWith(path, Constants::ACTION_HISTORY_LIST_PATH);
}

// The request time the signature vouches for: the common block's, or, for a
// body that has no common block (the deferred deeplink), the current time in
// the same format (written into `now`). Absent when a common block carries no
// usable time.
std::optional<std::string_view> signingTime(const ApiBody& body, std::string& now) {
    if (!body.hasCommon) {
        now = FvnUtil::getCurrentDatetimeString();
        return now;
    }
    if (!body.requestDatetime) {
        return std::nullopt;
    }
    return *body.requestDatetime;
}

// Whether the URL text is an absolute http(s) URL, and then whether a POST
// to it travels as JSON text. A thread forms its requests to the same few
// URLs over and over: the answer for the last text is kept.
std::optional<bool> checkUrl(const std::string& url) {
    struct Last {
        std::string url;
        bool postsJsonText = false;
        bool valid = false;
    };
    thread_local Last last;
    if (!last.valid || last.url != url) {
        auto parts = text::parseHttpUrl(url);
        if (!parts) {
            return std::nullopt;
        }
        last.valid = false;
        last.url = url;
        last.postsJsonText = jsonTextPath(HttpMethod::POST, parts->pathAndQuery);
        last.valid = true;
    }
    return last.postsJsonText;
}

// The registry's secret key. Every signed request reads it: the text read
// last on this thread is kept for as long as the key's version says it holds,
// and only for the registry it was read from. The view lasts until the
// thread's next call.
std::optional<std::string_view> secretKeyOf(const std::shared_ptr<DataRegistry>& registry) {
    struct Last {
        std::weak_ptr<DataRegistry> registry;
        std::uint64_t version = 0;
        std::optional<std::string> key;
    };
    thread_local Last last;
    if (!registry) {
        return std::nullopt;
    }
    const DataRegistry& reg = *registry;
    constexpr DataRegistryKey kKey = DataRegistryKey::STRING_SECRETKEY;
    const std::uint64_t version = reg.version(kKey);
    if (version != last.version || last.registry.lock() != registry) {
        std::array<std::uint64_t, 1> versions{};
        auto value = reg.getValues(std::array{kKey}, versions)[0];
        std::string* text = value ? value->getString() : nullptr;
        last.key = text ? std::optional<std::string>(std::move(*text)) : std::nullopt;
        last.version = versions[0];
        last.registry = registry;
    }
    if (!last.key) {
        return std::nullopt;
    }
    return *last.key;
}

}  // namespace

ApiConnection::ApiConnection(std::shared_ptr<DataRegistry> registry)
    : registry_(std::move(registry)) {}

ApiConnection& ApiConnection::setPostRequest(const IApiModel& model) {
    return setPostRequest(std::make_shared<const ApiBody>(model.toApiBody()), model.getUrl());
}

ApiConnection& ApiConnection::setPostRequest(std::shared_ptr<const ApiBody> body,
                                             std::string urlText) {
    platform::MutexLock lock(mu_);
    body_ = std::move(body);
    urlText_ = std::move(urlText);
    method_ = HttpMethod::POST;
    invalidate();
    return *this;
}

ApiConnection& ApiConnection::setDeleteRequest(const IApiModel& model) {
    auto body = std::make_shared<const ApiBody>(model.toApiBody());
    auto url = model.getUrl();
    platform::MutexLock lock(mu_);
    body_ = std::move(body);
    urlText_ = std::move(url);
    method_ = HttpMethod::DELETE;
    invalidate();
    return *this;
}

ApiConnection& ApiConnection::setGetRequest(const std::optional<std::string>& urlText) {
    platform::MutexLock lock(mu_);
    urlText_ = urlText;
    method_ = HttpMethod::GET;
    invalidate();
    return *this;
}

ApiConnection& ApiConnection::setHeaders(
    std::map<std::string, std::optional<std::string>> headers) {
    platform::MutexLock lock(mu_);
    headers_ = std::move(headers);
    invalidate();
    return *this;
}

void ApiConnection::invalidate() {
    prepared_.reset();
    ++generation_;
}

int ApiConnection::responseCode() const {
    platform::MutexLock lock(mu_);
    return responseCode_;
}

std::string ApiConnection::userAgent() {
    const std::string osVersion = platform::Device::osVersion();
    const std::string model = platform::Device::model();
    constexpr std::string_view kHead = "Ovinthal/";
    const std::string_view version = SdkVersion::SDK_VERSION;
    // Every request carries it: written in one piece.
    std::string text;
    text.reserve(kHead.size() + version.size() + osVersion.size() + model.size() + 20);
    text.append(kHead).append(version).append(" (iOS ").append(osVersion);
    text.append("; U; ").append(model).append(" Build)");
    return text;
}

bool ApiConnection::sendsJsonText(HttpMethod method, const std::string& url) {
    auto parts = text::parseHttpUrl(url);
    return jsonTextPath(method, parts ? std::string_view(parts->pathAndQuery) : url);
}

StatusOr<platform::HttpRequest, ApiConnectionError> ApiConnection::form(Parts parts) const {
    const std::optional<bool> postsJsonText =
        parts.urlText ? checkUrl(*parts.urlText) : std::nullopt;
    if (!parts.method || !postsJsonText) {
        return ApiConnectionError::InvalidRequestError;
    }
    platform::HttpRequest request;
    request.url = std::move(*parts.urlText);
    request.timeout = TIMEOUT;
    // The caller's, then ours: four of them.
    request.headers.reserve(parts.headers.size() + 4);
    for (auto& [name, value] : parts.headers) {
        if (value) {
            request.headers.emplace_back(name, std::move(*value));
        }
    }
    if (*parts.method == HttpMethod::GET) {
        request.method = "GET";
        return request;
    }
    if (!parts.body) {
        return ApiConnectionError::InvalidRequestError;
    }
    request.method = *parts.method == HttpMethod::POST ? "POST" : "DELETE";

    auto secretKey = secretKeyOf(registry_);
    if (!secretKey || secretKey->empty()) {
        return ApiConnectionError::NoSecretKeyError;
    }
    std::string now;
    auto time = signingTime(*parts.body, now);
    if (!time) {
        return ApiConnectionError::AuthKeyError;
    }
    // Every DELETE body travels as JSON text.
    const bool jsonText = *parts.method == HttpMethod::DELETE || *postsJsonText;
    auto signedBody =
        signRequestBody(parts.body->json, jsonText ? BodyEncoding::JSON_TEXT : BodyEncoding::BASE64,
                        *secretKey, *time);
    if (!signedBody) {
        return ApiConnectionError::AuthKeyError;
    }
    // Ours win over a caller's header of the same name.
    std::erase_if(request.headers, [](const auto& h) { return isOwnHeader(h.first); });
    request.headers.emplace_back("Content-Type", std::move(signedBody->contentType));
    request.headers.emplace_back("User-Agent", userAgent());
    request.headers.emplace_back("svl-auth-time", std::move(signedBody->authTime));
    request.headers.emplace_back("svl-auth-cs", std::move(signedBody->authCs));
    request.body = std::move(signedBody->body);
    return request;
}

StatusOr<std::shared_ptr<const platform::HttpRequest>, ApiConnectionError>
ApiConnection::preparedRequest() {
    Parts parts;
    std::uint64_t generation = 0;
    {
        platform::MutexLock lock(mu_);
        if (prepared_) {
            return prepared_;
        }
        parts = Parts{method_, urlText_, body_, headers_};
        generation = generation_;
    }
    auto formed = form(std::move(parts));
    if (!formed) {
        return formed.error();
    }
    auto request = std::make_shared<const platform::HttpRequest>(std::move(formed).value());
    platform::MutexLock lock(mu_);
    if (generation == generation_ && !prepared_) {
        // Whoever formed it first fixes the bytes every later send repeats.
        prepared_ = std::move(request);
    }
    if (generation == generation_) {
        return prepared_;
    }
    return request;
}

ApiConnection::Outcome ApiConnection::send() {
    auto prepared = preparedRequest();
    if (!prepared) {
        SvlLog::error(describe(prepared.error()), false);
        return prepared.error();
    }
    const platform::HttpRequest& request = *prepared.value();
    return outcomeOf(request, platform::HttpSession::shared().dataTask(request));
}

ApiConnection::Outcome ApiConnection::outcomeOf(const platform::HttpRequest& request,
                                                platform::HttpResponse response) {
    Answer answer;
    {
        platform::MutexLock lock(mu_);
        responseCode_ = response.status;
    }
    answer.status = response.status;
    if (response.status == 0) {
        SvlLog::debug("ApiConnection :: no answer from " + request.url + " : " + response.error,
                      true);
    }
    if (!response.body.empty() && text::isValidUtf8(response.body)) {
        answer.responseText = std::move(response.body);
    }
    return answer;
}

}  // namespace sorvel

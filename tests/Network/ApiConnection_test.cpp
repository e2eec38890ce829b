#include "Network/ApiConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "Base/Base64.h"
#include "Base/Hex.h"
#include "Common/Constants.h"
#include "Network/ApiConnectionManager.h"
#include "Network/RequestSigner.h"
#include "NetworkFixture.h"
#include "Platform/Crypto.h"
#include "Platform/Device.h"
#include "Platform/Host.h"
#include "support/CommonSupport.h"

namespace sorvel::nettest {
namespace {

using tools::Endpoint;

// The signing rule written out again from the primitives, so the SDK's signer
// and the double's check are both held against a third computation: a key
// from the secret and the hour of the request, then the HMAC of the MD5 of
// the Base64 body.
std::string referenceAuthCs(const std::string& secret, const std::string& time,
                            const std::string& json) {
    namespace crypto = platform::crypto;
    const auto key = crypto::hmacSha256(secret, time.substr(0, 13));
    const std::string md5 =
        text::toHex(crypto::md5(text::base64Encode(json)), text::HexCase::Upper);
    const auto cs = crypto::hmacSha256(
        std::string_view(reinterpret_cast<const char*>(key.data()), key.size()), md5);
    return text::toHex(cs);
}

Result sendOnce(const std::shared_ptr<ApiConnection>& connection, bool retry = false) {
    std::optional<Result> got;
    int calls = 0;
    ApiConnectionManager().request(connection, retry, [&](const Result& r) {
        ++calls;
        got = r;
    });
    EXPECT_EQ(calls, 1);
    return got.value_or(Result::failure(-1));
}

class ApiConnectionTest : public NetworkFixture {
  protected:
    std::shared_ptr<ApiConnection> post(const std::string& url,
                                        const Value::Map& body = timedBody()) {
        auto connection = std::make_shared<ApiConnection>(registry);
        connection->setPostRequest(FixedModel(url, body));
        return connection;
    }
    const std::string bulk = Constants::fill(Constants::EVENT_BULK_URL(), {kAppKey});
};

TEST_F(ApiConnectionTest, SignsTheBase64BodyOfAKnownRequest) {
    const std::string time = "2024-03-05T07:08:09.123Z";
    Value::Map body{
        {"common", Value(Value::Map{{"request_datetime", Value(time)}})},
        {"evts", Value(Value::Array{Value(Value::Map{{"n", Value(1)}, {"s", Value("é")}})})}};
    // Compact, keys sorted, UTF-8 as is.
    const std::string json =
        R"({"common":{"request_datetime":"2024-03-05T07:08:09.123Z"},"evts":[{"n":1,"s":"é"}]})";

    EXPECT_TRUE(sendOnce(post(bulk, body)).isSuccess());

    auto recorded = server.requests(Endpoint::EVENT_BULK);
    ASSERT_EQ(recorded.size(), 1u);
    const auto& r = recorded[0];
    EXPECT_EQ(r.appKey, kAppKey);
    EXPECT_EQ(r.header("content-type"), "application/octet-stream");
    EXPECT_EQ(r.rawBody, text::base64Encode(json));
    EXPECT_EQ(r.decodedBody, json);
    EXPECT_EQ(r.header("svl-auth-time"), time);
    EXPECT_EQ(r.header("svl-auth-cs"), referenceAuthCs(kSecretKey, time, json));
    EXPECT_EQ(r.signature, "valid");
    // A different hour derives a different key.
    EXPECT_NE(referenceAuthCs(kSecretKey, "2024-03-05T08:08:09.123Z", json),
              r.header("svl-auth-cs"));
    // The signer reuses the key of the hour: another secret in the same hour,
    // another hour, and back to the first, each signs with its own key.
    for (const auto& [secret, at] : std::vector<std::pair<std::string, std::string>>{
             {kSecretKey, time},
             {"otherSecret", time},
             {"otherSecret", "2024-03-05T08:00:00.000Z"},
             {kSecretKey, "2024-03-05T08:59:59.999Z"},
             {kSecretKey, time}}) {
        auto signedBody = signRequestBody(json, BodyEncoding::BASE64, secret, at);
        ASSERT_TRUE(signedBody.has_value());
        EXPECT_EQ(signedBody->authCs, referenceAuthCs(secret, at, json)) << secret << " " << at;
    }
}

TEST_F(ApiConnectionTest, BodyEncodingAndContentTypeFollowTheEndpoint) {
    Value::Map body = timedBody();
    body["k"] = Value("v");
    const std::string json =
        R"({"common":{"request_datetime":"2024-01-01T00:00:00.000Z"},"k":"v"})";
    struct Case {
        std::string url;
        bool isDelete;
        Endpoint endpoint;
        bool jsonText;
    };
    const std::string web = Constants::WEB_API_BASE_URL();
    const std::vector<Case> cases{
        {bulk, false, Endpoint::EVENT_BULK, false},
        {Constants::fill(Constants::DRWORKS_URL(), {kAppKey}), false, Endpoint::DRWORKS, false},
        {Constants::fill(Constants::DEFERRED_DEEPLINK_URL(), {kAppKey}), false,
         Endpoint::DEFERRED_DEEPLINK, false},
        {Constants::GDPR_URL(), false, Endpoint::GDPR, true},
        {Constants::IAM_CAMPAIGNS_URL(), false, Endpoint::IAM_CAMPAIGNS, true},
        {web + Constants::ACTION_HISTORY_LIST_PATH, false, Endpoint::HISTORY_LIST, true},
        {web + Constants::fill(Constants::ACTION_HISTORY_DEVICE_PATH, {kAppKey, "dev-1"}), true,
         Endpoint::HISTORY_DELETE_DEVICE, true},
        {web + Constants::fill(Constants::ACTION_HISTORY_USER_PATH, {kAppKey, "user-1"}) + "/h1/17",
         true, Endpoint::HISTORY_DELETE_USER, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto connection = std::make_shared<ApiConnection>(registry);
        FixedModel model(c.url, body);
        if (c.isDelete) {
            connection->setDeleteRequest(model);
        } else {
            connection->setPostRequest(model);
        }
        Result result = sendOnce(connection);
        EXPECT_TRUE(result.isSuccess()) << result.statusCode();
        auto recorded = server.requests(c.endpoint);
        ASSERT_EQ(recorded.size(), 1u);
        EXPECT_EQ(recorded[0].method, c.isDelete ? "DELETE" : "POST");
        EXPECT_EQ(recorded[0].header("content-type"),
                  c.jsonText ? "application/json" : "application/octet-stream");
        EXPECT_EQ(recorded[0].rawBody, c.jsonText ? json : text::base64Encode(json));
        EXPECT_EQ(recorded[0].signature, "valid");
    }
}

TEST_F(ApiConnectionTest, UserAgentCallerHeadersAndTheUnsignedGet) {
    platform::host::setDeviceModel("iPhone14,2");
    platform::host::setOsVersion("17.1");
    auto gdprPost = post(Constants::GDPR_URL());
    gdprPost->setHeaders(
        {{"Authorization", "token-1"}, {"X-Absent", std::nullopt}, {"User-Agent", "spoof"}});
    ASSERT_TRUE(sendOnce(gdprPost).isSuccess());
    auto gdpr = server.requests(Endpoint::GDPR);
    ASSERT_EQ(gdpr.size(), 1u);
    EXPECT_EQ(gdpr[0].header("user-agent"), "Ovinthal/2.1.0.1 (iOS 17.1; U; iPhone14,2 Build)");
    EXPECT_EQ(gdpr[0].header("authorization"), "token-1");
    EXPECT_FALSE(gdpr[0].hasHeader("x-absent"));

    auto get = std::make_shared<ApiConnection>(registry);
    get->setGetRequest(Constants::fill(Constants::CONFIG_URL(), {kAppKey}))
        .setHeaders({{"X-Trace", "t"}, {"X-Absent", std::nullopt}});
    Result result = sendOnce(get);
    ASSERT_TRUE(result.isSuccess());
    EXPECT_EQ(result.response(), tools::ServerDouble::defaultAnswer(Endpoint::CONFIG).body);
    auto config = server.requests(Endpoint::CONFIG);
    ASSERT_EQ(config.size(), 1u);
    EXPECT_EQ(config[0].appKey, kAppKey);
    EXPECT_EQ(config[0].header("x-trace"), "t");
    for (const char* absent :
         {"svl-auth-time", "svl-auth-cs", "user-agent", "content-type", "x-absent"}) {
        EXPECT_FALSE(config[0].hasHeader(absent)) << absent;
    }
}

// A thread keeps the secret key and the URL check it used last: each request
// is still signed with its own registry's key as it is now, and encoded and
// checked by its own URL.
TEST_F(ApiConnectionTest, EachRequestFollowsItsRegistrysKeyAndItsUrl) {
    auto signature = [&](const std::shared_ptr<DataRegistry>& reg) {
        auto connection = std::make_shared<ApiConnection>(reg);
        connection->setPostRequest(FixedModel(bulk, timedBody()));
        const Result r = sendOnce(connection);
        if (r.statusCode() == 0) {
            return std::string("not sent");
        }
        return server.requests(Endpoint::EVENT_BULK).back().signature;
    };
    EXPECT_EQ(signature(registry), "valid");
    registry->putString(std::string("ANOTHER-SECRET"), DataRegistryKey::STRING_SECRETKEY);
    EXPECT_EQ(signature(registry), "invalid");
    registry->putString(std::string(kSecretKey), DataRegistryKey::STRING_SECRETKEY);
    EXPECT_EQ(signature(registry), "valid");
    registry->putString(std::nullopt, DataRegistryKey::STRING_SECRETKEY);
    EXPECT_EQ(signature(registry), "not sent");
    registry->putString(std::string(kSecretKey), DataRegistryKey::STRING_SECRETKEY);

    // Registries taking turns on one thread, then one that replaces a gone one.
    auto other = std::make_shared<DataRegistry>(std::make_shared<testing::MemoryContext>());
    other->putString(std::string("ANOTHER-SECRET"), DataRegistryKey::STRING_SECRETKEY);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(signature(other), "invalid");
        EXPECT_EQ(signature(registry), "valid");
    }
    other.reset();
    auto next = std::make_shared<DataRegistry>(std::make_shared<testing::MemoryContext>());
    next->putString(std::string("ANOTHER-SECRET"), DataRegistryKey::STRING_SECRETKEY);
    EXPECT_EQ(signature(next), "invalid");

    // URLs taking turns: each is encoded by its own path, a bad one refused.
    for (int i = 0; i < 2; ++i) {
        for (const std::string& url : {bulk, Constants::GDPR_URL(), std::string("not a url")}) {
            SCOPED_TRACE(url);
            const std::size_t before = server.requestCount();
            const Result r = sendOnce(post(url));
            if (url == "not a url") {
                EXPECT_EQ(r.statusCode(), 0);
                EXPECT_EQ(server.requestCount(), before);
                continue;
            }
            EXPECT_TRUE(r.isSuccess()) << r.statusCode();
            auto recorded = server.requests(url == bulk ? Endpoint::EVENT_BULK : Endpoint::GDPR);
            ASSERT_FALSE(recorded.empty());
            EXPECT_EQ(recorded.back().header("content-type"),
                      url == bulk ? "application/octet-stream" : "application/json");
        }
    }
}

TEST_F(ApiConnectionTest, UnsendableRequestsAreAnsweredOnceWithCodeZero) {
    testing::LogCapture log;
    auto noMethod = std::make_shared<ApiConnection>(registry);
    auto badUrl = post("not a url");
    // Characters a request line cannot carry, and an authority without a host.
    auto rawChars = post(bulk + "/\xC3\xA9\"<x>");
    auto noHost = post("https:///x");
    auto noTime = post(bulk, {{"common", Value(Value::Map{})}});
    auto shortTime =
        post(bulk, {{"common", Value(Value::Map{{"request_datetime", Value("2024-01-01")}})}});
    for (const auto& c : {noMethod, badUrl, rawChars, noHost, noTime, shortTime}) {
        Result r = sendOnce(c, true);
        EXPECT_FALSE(r.isSuccess());
        EXPECT_EQ(r.statusCode(), 0);
    }
    // Without a stored secret key nothing can be signed; the sync road answers too.
    registry->putString(std::nullopt, DataRegistryKey::STRING_SECRETKEY);
    auto noKey = post(bulk);
    EXPECT_EQ(sendOnce(noKey).statusCode(), 0);
    EXPECT_EQ(ApiConnectionManager().requestSync(noKey).statusCode(), 0);

    EXPECT_TRUE(log.contains("ApiConnectionError :: Request can not be formed"));
    EXPECT_TRUE(log.contains("ApiConnectionError :: Can not make auth key"));
    EXPECT_TRUE(log.contains("ApiConnectionError :: No secretKey in dataRegistry"));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ApiConnectionTest, OneAttemptCarriesWhyNothingWentOutOrTheAnswer) {
    // Each cause keeps its own error value, not just "failed".
    auto noMethod = std::make_shared<ApiConnection>(registry);
    ApiConnection::Outcome unformed = noMethod->send();
    ASSERT_FALSE(unformed.isOk());
    EXPECT_EQ(unformed.error(), ApiConnectionError::InvalidRequestError);
    auto noTime = post(bulk, {{"common", Value(Value::Map{})}});
    ASSERT_FALSE(noTime->preparedRequest().isOk());
    EXPECT_EQ(noTime->preparedRequest().error(), ApiConnectionError::AuthKeyError);

    server.script(Endpoint::EVENT_BULK, tools::ScriptedAnswer{202, "{\"ok\":1}"});
    auto good = post(bulk);
    ApiConnection::Outcome answered = good->send();
    ASSERT_TRUE(answered.isOk()) << describe(answered.error());
    EXPECT_EQ(answered.value().status, 202);
    EXPECT_EQ(answered.value().responseText, std::optional<std::string>("{\"ok\":1}"));
    EXPECT_EQ(good->responseCode(), 202);

    // An unsendable request says why and sends nothing.
    registry->putString(std::nullopt, DataRegistryKey::STRING_SECRETKEY);
    ApiConnection::Outcome notSigned = post(bulk)->send();
    ASSERT_FALSE(notSigned.isOk());
    EXPECT_EQ(notSigned.error(), ApiConnectionError::NoSecretKeyError);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(ApiConnectionTest, DroppedConnectionAndTimeOutGiveCodeZero) {
    tools::ScriptedAnswer drop;
    drop.dropConnection = true;
    server.script(Endpoint::EVENT_BULK, drop);
    auto dropped = post(bulk);
    EXPECT_EQ(sendOnce(dropped).statusCode(), 0);
    EXPECT_EQ(dropped->responseCode(), 0);

    platform::host::setHttpTimeout(platform::Millis(300));
    tools::ScriptedAnswer slow;
    slow.delay = std::chrono::seconds(5);
    server.script(Endpoint::EVENT_BULK, slow);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(sendOnce(post(bulk)).statusCode(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
}

}  // namespace
}  // namespace sorvel::nettest

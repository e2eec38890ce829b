#include "Network/ApiConnection.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <regex>
#include <thread>

#include "Common/Constants.h"
#include "Common/SvlLog.h"
#include "Network/ApiConnectionManager.h"
#include "NetworkFixture.h"
#include "Platform/Device.h"
#include "Platform/Host.h"

namespace sorvel::nettest {
namespace {

using tools::Endpoint;

struct FixedModel : IApiModel {
    std::string url;
    Value::Map body;
    FixedModel(std::string u, Value::Map b) : url(std::move(u)), body(std::move(b)) {}
    std::string getUrl() const override { return url; }
    Value::Map toDictionary() const override { return body; }
};

// The signing rule written out again with OpenSSL alone, so the SDK's signer
// and the double's check are both held against a third computation.
std::string hexOf(const unsigned char* p, unsigned n, const char* digits) {
    std::string s;
    for (unsigned i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string referenceAuthCs(const std::string& secret, const std::string& time,
                            const std::string& json) {
    unsigned char key[32];
    unsigned keyLen = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(time.data()), 13, key, &keyLen);
    std::string b64(4 * ((json.size() + 2) / 3) + 1, '\0');
    b64.resize(static_cast<size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(b64.data()),
        reinterpret_cast<const unsigned char*>(json.data()), static_cast<int>(json.size()))));
    unsigned char md[16];
    unsigned mdLen = 0;
    EVP_Digest(b64.data(), b64.size(), md, &mdLen, EVP_md5(), nullptr);
    std::string md5 = hexOf(md, mdLen, "0123456789ABCDEF");
    unsigned char cs[32];
    unsigned csLen = 0;
    HMAC(EVP_sha256(), key, static_cast<int>(keyLen),
         reinterpret_cast<const unsigned char*>(md5.data()), md5.size(), cs, &csLen);
    return hexOf(cs, csLen, "0123456789abcdef");
}

std::string base64Of(const std::string& s) {
    std::string out(4 * ((s.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                   reinterpret_cast<const unsigned char*>(s.data()),
                                                   static_cast<int>(s.size()))));
    return out;
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

class ApiConnectionTest : public NetworkFixture {};

TEST_F(ApiConnectionTest, SignsTheBase64BodyOfAKnownRequest) {
    const std::string time = "2024-03-05T07:08:09.123Z";
    Value::Map body{
        {"common", Value(Value::Map{{"request_datetime", Value(time)}})},
        {"evts", Value(Value::Array{Value(Value::Map{{"n", Value(1)}, {"s", Value("é")}})})}};
    // Compact, keys sorted, UTF-8 as is.
    const std::string json =
        R"({"common":{"request_datetime":"2024-03-05T07:08:09.123Z"},"evts":[{"n":1,"s":"é"}]})";

    auto connection = std::make_shared<ApiConnection>(registry);
    connection->setPostRequest(
        FixedModel(Constants::fill(Constants::EVENT_BULK_URL(), {kAppKey}), body));
    EXPECT_TRUE(sendOnce(connection).isSuccess());

    auto recorded = server.requests(Endpoint::EVENT_BULK);
    ASSERT_EQ(recorded.size(), 1u);
    const auto& r = recorded[0];
    EXPECT_EQ(r.appKey, kAppKey);
    EXPECT_EQ(r.header("content-type"), "application/octet-stream");
    EXPECT_EQ(r.rawBody, base64Of(json));
    EXPECT_EQ(r.decodedBody, json);
    EXPECT_EQ(r.header("svl-auth-time"), time);
    EXPECT_EQ(r.header("svl-auth-cs"), referenceAuthCs(kSecretKey, time, json));
    EXPECT_EQ(r.signature, "valid");
    // A different hour derives a different key.
    EXPECT_NE(referenceAuthCs(kSecretKey, "2024-03-05T08:08:09.123Z", json),
              r.header("svl-auth-cs"));
}

TEST_F(ApiConnectionTest, BodyEncodingAndContentTypeFollowTheEndpoint) {
    Value::Map body{
        {"common", Value(Value::Map{{"request_datetime", Value("2024-01-01T00:00:00.000Z")}})},
        {"k", Value("v")}};
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
        {Constants::fill(Constants::EVENT_BULK_URL(), {kAppKey}), false, Endpoint::EVENT_BULK,
         false},
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
        EXPECT_EQ(recorded[0].rawBody, c.jsonText ? json : base64Of(json));
        EXPECT_EQ(recorded[0].signature, "valid");
    }
}

TEST_F(ApiConnectionTest, UserAgentCallerHeadersAndTheUnsignedGet) {
    platform::host::setDeviceModel("iPhone14,2");
    platform::host::setOsVersion("17.1");
    Value::Map body{
        {"common", Value(Value::Map{{"request_datetime", Value("2024-01-01T00:00:00.000Z")}})}};

    auto post = std::make_shared<ApiConnection>(registry);
    post->setPostRequest(FixedModel(Constants::GDPR_URL(), body))
        .setHeaders(
            {{"Authorization", "token-1"}, {"X-Absent", std::nullopt}, {"User-Agent", "spoof"}});
    ASSERT_TRUE(sendOnce(post).isSuccess());
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

TEST_F(ApiConnectionTest, TheDeferredDeeplinkBodyIsSignedWithTheTimeOfSending) {
    struct DeeplinkModel : IApiModel {
        std::string getUrl() const override {
            return Constants::fill(Constants::DEFERRED_DEEPLINK_URL(), {kAppKey});
        }
        Value::Map toDictionary() const override {
            return {{"platform", Value("ios")}, {"device_id", Value("D-1")}};
        }
    };
    auto connection = std::make_shared<ApiConnection>(registry);
    connection->setPostRequest(DeeplinkModel());
    ASSERT_TRUE(sendOnce(connection).isSuccess());
    auto r = server.requests(Endpoint::DEFERRED_DEEPLINK);
    ASSERT_EQ(r.size(), 1u);
    const std::string time = r[0].header("svl-auth-time");
    EXPECT_TRUE(std::regex_match(time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << time;
    EXPECT_EQ(r[0].header("svl-auth-cs"), referenceAuthCs(kSecretKey, time, r[0].decodedBody));
    EXPECT_EQ(r[0].signature, "valid");
}

TEST_F(ApiConnectionTest, UnsendableRequestsAreAnsweredOnceWithCodeZero) {
    testing::LogCapture log;
    Value::Map signedBody{
        {"common", Value(Value::Map{{"request_datetime", Value("2024-01-01T00:00:00.000Z")}})}};
    const std::string bulk = Constants::fill(Constants::EVENT_BULK_URL(), {kAppKey});

    auto noMethod = std::make_shared<ApiConnection>(registry);
    auto badUrl = std::make_shared<ApiConnection>(registry);
    badUrl->setPostRequest(FixedModel("not a url", signedBody));
    // Characters a request line cannot carry, and an authority without a host.
    auto rawChars = std::make_shared<ApiConnection>(registry);
    rawChars->setPostRequest(FixedModel(bulk + "/\xC3\xA9\"<x>", signedBody));
    auto noHost = std::make_shared<ApiConnection>(registry);
    noHost->setPostRequest(FixedModel("https:///x", signedBody));
    auto noTime = std::make_shared<ApiConnection>(registry);
    noTime->setPostRequest(FixedModel(bulk, {{"common", Value(Value::Map{})}}));
    auto shortTime = std::make_shared<ApiConnection>(registry);
    shortTime->setPostRequest(FixedModel(
        bulk, {{"common", Value(Value::Map{{"request_datetime", Value("2024-01-01")}})}}));

    for (const auto& c : {noMethod, badUrl, rawChars, noHost, noTime, shortTime}) {
        Result r = sendOnce(c, true);
        EXPECT_FALSE(r.isSuccess());
        EXPECT_EQ(r.statusCode(), 0);
    }
    // Without a stored secret key nothing can be signed; the sync road answers too.
    registry->putString(std::nullopt, DataRegistryKey::STRING_SECRETKEY);
    auto noKey = std::make_shared<ApiConnection>(registry);
    noKey->setPostRequest(FixedModel(bulk, signedBody));
    EXPECT_EQ(sendOnce(noKey).statusCode(), 0);
    EXPECT_EQ(ApiConnectionManager().requestSync(noKey).statusCode(), 0);

    SvlLog::flush();
    EXPECT_TRUE(log.contains("ApiConnectionError :: Request can not be formed"));
    EXPECT_TRUE(log.contains("ApiConnectionError :: Can not make auth key"));
    EXPECT_TRUE(log.contains("ApiConnectionError :: No secretKey in dataRegistry"));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ApiConnectionTest, DroppedConnectionAndTimeOutGiveCodeZero) {
    const std::string bulk = Constants::fill(Constants::EVENT_BULK_URL(), {kAppKey});
    Value::Map body{
        {"common", Value(Value::Map{{"request_datetime", Value("2024-01-01T00:00:00.000Z")}})}};

    tools::ScriptedAnswer drop;
    drop.dropConnection = true;
    server.script(Endpoint::EVENT_BULK, drop);
    auto dropped = std::make_shared<ApiConnection>(registry);
    dropped->setPostRequest(FixedModel(bulk, body));
    EXPECT_EQ(sendOnce(dropped).statusCode(), 0);
    EXPECT_EQ(dropped->responseCode(), 0);

    platform::host::setHttpTimeout(platform::Millis(300));
    tools::ScriptedAnswer slow;
    slow.delay = std::chrono::seconds(5);
    server.script(Endpoint::EVENT_BULK, slow);
    auto late = std::make_shared<ApiConnection>(registry);
    late->setPostRequest(FixedModel(bulk, body));
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(sendOnce(late).statusCode(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
}

}  // namespace
}  // namespace sorvel::nettest

#include "ServerDouble.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "Network/RequestSigner.h"
#include "Platform/Crypto.h"
#include "Platform/Host.h"
#include "Platform/Http.h"
#include "support/TestSupport.h"

extern char** environ;

namespace sorvel::tools {
namespace {

constexpr const char* kSecret = "SECRETKEY0123456789abc";
constexpr const char* kTime = "2024-05-06T07:08:09.000Z";
constexpr const char* kUserAgent = "Ovinthal/2.1.0.1 (iOS 17.1; U; iPhone14,2 Build)";

// A signed request put together by hand from the SDK's signer, so the double
// is held against the client's implementation of the same rule.
platform::HttpRequest signedPost(const std::string& url, const std::string& json,
                                 BodyEncoding encoding, const std::string& secret = kSecret) {
    auto body = signRequestBody(json, encoding, secret, kTime);
    platform::HttpRequest r;
    r.method = "POST";
    r.url = url;
    r.body = body->body;
    r.headers = {{"Content-Type", body->contentType},
                 {"User-Agent", kUserAgent},
                 {"svl-auth-time", body->authTime},
                 {"svl-auth-cs", body->authCs}};
    return r;
}

class ServerDoubleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        platform::host::mapHttpHost("*", server.baseUrl());
    }
    platform::HttpResponse send(const platform::HttpRequest& r) {
        return platform::HttpSession::shared().dataTask(r);
    }
    testing::FreshSdk sdk;
    ServerDouble server{ServerDouble::Options{"127.0.0.1", 0, kSecret}};
};

const std::string kBulk = "https://event.maker.example/api/v6/event/bulk/APP";
const std::string kGdpr = "https://gdpr.maker.example/api/opengdpr_requests";
const std::string kJson = R"({"common":{"request_datetime":"2024-05-06T07:08:09.000Z"},"evts":[]})";

TEST_F(ServerDoubleTest, ChecksSignatureEncodingAndJsonLikeARealServer) {
    EXPECT_EQ(send(signedPost(kBulk, kJson, BodyEncoding::BASE64)).status, 200);
    EXPECT_EQ(send(signedPost(kGdpr, kJson, BodyEncoding::JSON_TEXT)).status, 200);

    struct Bad {
        platform::HttpRequest request;
        int status;
        std::string verdict;
    };
    auto wrongEncoding = signedPost(kBulk, kJson, BodyEncoding::JSON_TEXT);
    auto wrongKey = signedPost(kBulk, kJson, BodyEncoding::BASE64, "another-secret-key-000");
    auto tampered = signedPost(kGdpr, kJson, BodyEncoding::JSON_TEXT);
    tampered.body.replace(tampered.body.find("[]"), 2, "[1]");
    auto noSignature = signedPost(kGdpr, kJson, BodyEncoding::JSON_TEXT);
    noSignature.headers.pop_back();
    auto badAgent = signedPost(kGdpr, kJson, BodyEncoding::JSON_TEXT);
    badAgent.headers[1].second = "curl/8";
    auto notJson = signedPost(kGdpr, "{\"a\":", BodyEncoding::JSON_TEXT);
    auto otherTime =
        signedPost(kGdpr, R"({"common":{"request_datetime":"2024-05-06T07:59:59.000Z"}})",
                   BodyEncoding::JSON_TEXT);
    auto notBase64 = signedPost(kBulk, kJson, BodyEncoding::BASE64);
    notBase64.body = "%%%%";
    platform::HttpRequest getOnPost = signedPost(kBulk, kJson, BodyEncoding::BASE64);
    getOnPost.method = "GET";
    platform::HttpRequest unknown;
    unknown.url = "https://event.maker.example/api/v9/nothing";

    const std::vector<Bad> bad{
        {wrongEncoding, Rejection::BAD_ENCODING, "Content-Type must be application/octet-stream"},
        {wrongKey, Rejection::BAD_SIGNATURE, "svl-auth-cs does not match"},
        {tampered, Rejection::BAD_SIGNATURE, "svl-auth-cs does not match"},
        {noSignature, Rejection::BAD_SIGNATURE, "svl-auth-time or svl-auth-cs missing"},
        {badAgent, Rejection::BAD_SIGNATURE, "User-Agent"},
        {notJson, Rejection::BAD_JSON, "body is not a JSON object"},
        {otherTime, Rejection::BAD_SIGNATURE, "svl-auth-time is not common.request_datetime"},
        {notBase64, Rejection::BAD_ENCODING, "body is not Base64"},
        {getOnPost, Rejection::WRONG_METHOD, "endpoint takes POST"},
        {unknown, Rejection::UNKNOWN_ENDPOINT, "no such endpoint"},
    };
    for (const auto& b : bad) {
        auto response = send(b.request);
        EXPECT_EQ(response.status, b.status) << b.verdict;
        auto reason = nlohmann::json::parse(response.body, nullptr, false);
        ASSERT_TRUE(reason.is_object()) << response.body;
        EXPECT_NE(reason.value("error", "").find(b.verdict), std::string::npos) << response.body;
    }
    auto recorded = server.requests();
    ASSERT_EQ(recorded.size(), 2 + bad.size());
    EXPECT_EQ(recorded[0].signature, "valid");
    EXPECT_EQ(recorded[0].decodedBody, kJson);
    EXPECT_EQ(recorded[0].appKey, "APP");
    EXPECT_EQ(recorded[1].endpoint, Endpoint::GDPR);
    for (size_t i = 2; i < recorded.size(); ++i) {
        EXPECT_EQ(recorded[i].status, bad[i - 2].status);
        EXPECT_NE(recorded[i].verdict.find(bad[i - 2].verdict), std::string::npos);
    }
}

TEST_F(ServerDoubleTest, LongPathsAndHeadersAreRejectedNotFatal) {
    // Close to the server's 8 KiB limits for the request line and a header.
    const std::string deep(8000, 'a');
    platform::HttpRequest longPath;
    longPath.url = "https://event.maker.example/" + deep + "/api/v6/event/bulk/APP";
    EXPECT_EQ(send(longPath).status, Rejection::WRONG_METHOD);
    longPath.url = "https://event.maker.example/" + deep + std::string(100, '/');
    EXPECT_EQ(send(longPath).status, Rejection::UNKNOWN_ENDPOINT);

    auto longAgent = signedPost(kBulk, kJson, BodyEncoding::BASE64);
    longAgent.headers[1].second = "Ovinthal/2.1.0.1 (iOS " + deep + "; U; x Build)";
    EXPECT_EQ(send(longAgent).status, 200);
    longAgent.headers[1].second = "Ovinthal/2.1.0.1 (iOS " + deep + "; U; x; Build)";
    EXPECT_EQ(send(longAgent).status, Rejection::BAD_SIGNATURE);

    // Below a base path, and with the optional segments of a deletion.
    platform::HttpRequest del =
        signedPost("https://web.maker.example/base/api/v6/actionhistory/APP/user/u1/h1/17", kJson,
                   BodyEncoding::JSON_TEXT);
    del.method = "DELETE";
    EXPECT_EQ(send(del).status, 200);
    del.url = "https://web.maker.example/api/v6/actionhistory/APP/user/u1/h1";
    EXPECT_EQ(send(del).status, Rejection::UNKNOWN_ENDPOINT);
    auto byUser = server.requests(Endpoint::HISTORY_DELETE_USER);
    ASSERT_EQ(byUser.size(), 1u);
    EXPECT_EQ(byUser[0].appKey, "APP");
}

TEST_F(ServerDoubleTest, AnswersFromTheScriptInOrderThenTheDefault) {
    ScriptedAnswer first;
    first.status = 503;
    first.body = "busy";
    ScriptedAnswer second;
    second.status = 200;
    second.body = R"({"deeplink":"app://a"})";
    server.script(Endpoint::EVENT_BULK, first);
    server.script(Endpoint::EVENT_BULK, second);

    // A rejected request does not use up the script.
    EXPECT_EQ(send(signedPost(kBulk, kJson, BodyEncoding::JSON_TEXT)).status,
              Rejection::BAD_ENCODING);
    auto a = send(signedPost(kBulk, kJson, BodyEncoding::BASE64));
    auto b = send(signedPost(kBulk, kJson, BodyEncoding::BASE64));
    auto c = send(signedPost(kBulk, kJson, BodyEncoding::BASE64));
    EXPECT_EQ(a.status, 503);
    EXPECT_EQ(a.body, "busy");
    EXPECT_EQ(b.status, 200);
    EXPECT_EQ(b.body, second.body);
    EXPECT_EQ(c.status, 200);
    EXPECT_EQ(c.body, ServerDouble::defaultAnswer(Endpoint::EVENT_BULK).body);

    server.setConfigText(R"({"pause":true})");
    platform::HttpRequest get;
    get.url = "https://config.maker.example/dev/sdk.config/APP/config.json";
    auto config = send(get);
    EXPECT_EQ(config.status, 200);
    EXPECT_EQ(config.body, R"({"pause":true})");
    EXPECT_EQ(server.requests(Endpoint::CONFIG).at(0).signature, "none");
}

TEST(ServerDoubleProgramTest, PrintsEachSignedRequestAsOneJsonLine) {
    testing::FreshSdk sdk;
    testing::TempDir dir;
    const std::string portFile = dir.path() + "/port";
    const std::string outFile = dir.path() + "/out.jsonl";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args{SORVEL_SERVER_DOUBLE_EXE,
                                  "--port",
                                  "0",
                                  "--secret-key",
                                  kSecret,
                                  "--port-file",
                                  portFile,
                                  "--max-requests",
                                  "1",
                                  "--lifetime-seconds",
                                  "60"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    std::string port;
    ASSERT_TRUE(testing::waitUntil([&] {
        std::ifstream in(portFile);
        return static_cast<bool>(in >> port);
    }));
    platform::host::mapHttpHost("*", "http://127.0.0.1:" + port);
    auto response =
        platform::HttpSession::shared().dataTask(signedPost(kBulk, kJson, BodyEncoding::BASE64));
    EXPECT_EQ(response.status, 200);

    // One request was all it was asked to serve: it prints it and ends.
    int status = -1;
    bool exited = testing::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                                     std::chrono::seconds(20));
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(exited);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::ifstream out(outFile);
    std::string line;
    ASSERT_TRUE(static_cast<bool>(std::getline(out, line)));
    auto j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(j.is_object()) << line;
    EXPECT_EQ(j["endpoint"], "event_bulk");
    EXPECT_EQ(j["path"], "/api/v6/event/bulk/APP");
    EXPECT_EQ(j["signature"], "valid");
    EXPECT_EQ(j["status"], 200);
    EXPECT_EQ(j["body"], nlohmann::json::parse(kJson));
    EXPECT_EQ(j["headers"]["svl-auth-time"], kTime);
    EXPECT_FALSE(static_cast<bool>(std::getline(out, line)));
}

}  // namespace
}  // namespace sorvel::tools

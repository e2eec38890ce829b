#include "ServerDouble.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "Network/RequestSigner.h"
#include "Platform/Crypto.h"
#include "Platform/Host.h"
#include "Platform/Http.h"
#include "support/TestSupport.h"

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
    ScriptedAnswer busy;
    busy.status = 503;
    busy.body = "busy";
    server.script(Endpoint::EVENT_BULK, busy);
    // A rejected request does not use up the script.
    EXPECT_EQ(send(signedPost(kBulk, kJson, BodyEncoding::JSON_TEXT)).status,
              Rejection::BAD_ENCODING);
    auto scripted = send(signedPost(kBulk, kJson, BodyEncoding::BASE64));
    EXPECT_EQ(std::tie(scripted.status, scripted.body), std::make_tuple(503, std::string("busy")));
    auto after = send(signedPost(kBulk, kJson, BodyEncoding::BASE64));
    EXPECT_EQ(after.status, 200);
    EXPECT_EQ(after.body, ServerDouble::defaultAnswer(Endpoint::EVENT_BULK).body);

    // The configuration is served unsigned.
    platform::HttpRequest get;
    get.url = "https://config.maker.example/dev/sdk.config/APP/config.json";
    EXPECT_EQ(send(get).status, 200);
    EXPECT_EQ(server.requests(Endpoint::CONFIG).at(0).signature, "none");
}

constexpr auto kDeadline = std::chrono::seconds(20);

// One keep-alive exchange on a raw connection; the configuration answer the
// test set ends with `"end"}`.
bool getConfig(int fd) {
    std::string answer;
    return testing::sendAll(fd,
                            "GET /prod/sdk.config/K/config.json HTTP/1.1\r\n"
                            "Host: 127.0.0.1\r\n\r\n",
                            kDeadline) &&
           testing::readUntil(fd, "\"end\"}", kDeadline, answer);
}

// Whether the peer has closed the connection (waiting for that until the deadline).
bool closedByPeer(int fd) {
    std::string rest;
    testing::readUntil(fd, "never sent", kDeadline, rest);
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

TEST_F(ServerDoubleTest, IdleKeepAliveConnectionsBeyondTheSdkPoolDoNotStarveANewClient) {
    server.setConfigText(R"({"config":"end"})");
    // More idle keep-alive connections than the SDK's transport keeps (16).
    std::vector<testing::Fd> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(testing::connectLoopback(server.port(), kDeadline));
        ASSERT_TRUE(idle.back().valid()) << i;
        ASSERT_TRUE(getConfig(idle.back().get())) << "connection " << i << " got no answer";
    }
    // A new client is answered while they all stay open and idle.
    testing::Fd fresh = testing::connectLoopback(server.port(), kDeadline);
    ASSERT_TRUE(fresh.valid());
    EXPECT_TRUE(getConfig(fresh.get())) << "a new client was not answered before the deadline";
    // And the idle ones are still served.
    EXPECT_TRUE(getConfig(idle.front().get()));
    EXPECT_EQ(server.requestCount(), 22u);
}

TEST_F(ServerDoubleTest, ReadsHttpAsClientsWriteIt) {
    server.setConfigText(R"({"config":"end"})");
    // Two requests in one write are answered in order on the one connection.
    testing::Fd piped = testing::connectLoopback(server.port(), kDeadline);
    ASSERT_TRUE(piped.valid());
    const std::string get =
        "GET /prod/sdk.config/K%20Y/config.json?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_TRUE(testing::sendAll(piped.get(), get + get, kDeadline));
    std::string answers;
    ASSERT_TRUE(testing::readUntil(piped.get(), "\"end\"}", kDeadline, answers));
    if (answers.find("\"end\"}") == answers.rfind("\"end\"}")) {
        std::string more;
        ASSERT_TRUE(testing::readUntil(piped.get(), "\"end\"}", kDeadline, more));
    }
    auto configs = server.requests(Endpoint::CONFIG);
    ASSERT_EQ(configs.size(), 2u);
    EXPECT_EQ(configs[0].path, "/prod/sdk.config/K Y/config.json");  // decoded, no query
    EXPECT_EQ(configs[0].appKey, "K Y");
    EXPECT_EQ(configs[0].remotePort, configs[1].remotePort);

    // A chunked body sent after the interim answer that Expect asks for.
    testing::Fd chunked = testing::connectLoopback(server.port(), kDeadline);
    ASSERT_TRUE(testing::sendAll(chunked.get(),
                                 "POST /nothing HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\n"
                                 "Transfer-Encoding: chunked\r\n\r\n",
                                 kDeadline));
    std::string interim;
    ASSERT_TRUE(testing::readUntil(chunked.get(), "100 Continue\r\n\r\n", kDeadline, interim));
    ASSERT_TRUE(
        testing::sendAll(chunked.get(), "6;ext=1\r\nhello \r\n5\r\nworld\r\n0\r\n\r\n", kDeadline));
    std::string answer;
    ASSERT_TRUE(testing::readUntil(chunked.get(), "no such endpoint", kDeadline, answer));
    EXPECT_EQ(answer.rfind("HTTP/1.1 404 ", 0), 0u) << answer;
    EXPECT_EQ(server.requests().back().rawBody, "hello world");

    // What is not HTTP is refused and the connection closed; so is an
    // HTTP/1.0 exchange once answered.
    testing::Fd garbage = testing::connectLoopback(server.port(), kDeadline);
    ASSERT_TRUE(testing::sendAll(garbage.get(), "NONSENSE\r\n\r\n", kDeadline));
    answer.clear();
    ASSERT_TRUE(testing::readUntil(garbage.get(), "malformed request line", kDeadline, answer));
    EXPECT_EQ(answer.rfind("HTTP/1.1 400 ", 0), 0u) << answer;
    EXPECT_TRUE(closedByPeer(garbage.get()));
    testing::Fd old = testing::connectLoopback(server.port(), kDeadline);
    ASSERT_TRUE(testing::sendAll(old.get(), "GET /prod/sdk.config/K/config.json HTTP/1.0\r\n\r\n",
                                 kDeadline));
    answer.clear();
    ASSERT_TRUE(testing::readUntil(old.get(), "\"end\"}", kDeadline, answer));
    EXPECT_TRUE(closedByPeer(old.get()));
    EXPECT_EQ(server.requestCount(), 4u);  // the refused line is not a request
}

// The backlog the kernel gives the TCP listener on 127.0.0.1:port, asked
// through sock_diag (for a listener it reports the backlog as its send
// queue), or -1 when none is found.
long kernelBacklogOf(int port) {
    testing::Fd diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_LISTEN;
    if (!diag.valid() || ::send(diag.get(), &message, sizeof(message), 0) < 0) {
        return -1;
    }
    alignas(nlmsghdr) char buf[32768];
    for (;;) {
        pollfd ready{diag.get(), POLLIN, 0};
        if (::poll(&ready, 1, 10000) != 1) {
            return -1;
        }
        long len = ::recv(diag.get(), buf, sizeof(buf), 0);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                return -1;
            }
            const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (ntohs(m->id.idiag_sport) == port && m->id.idiag_src[0] == htonl(INADDR_LOOPBACK)) {
                return m->idiag_wqueue;
            }
        }
        if (len < 0) {
            return -1;
        }
    }
}

TEST_F(ServerDoubleTest, ListensWithTheSystemBacklog) {
    long somaxconn = 0;
    std::ifstream("/proc/sys/net/core/somaxconn") >> somaxconn;
    ASSERT_GT(somaxconn, 0);
    // The kernel caps a listener's backlog at net.core.somaxconn.
    EXPECT_EQ(kernelBacklogOf(server.port()), std::min<long>(SOMAXCONN, somaxconn));
}

TEST_F(ServerDoubleTest, StopEndsItsOwnConnectionsAndNoOtherSocket) {
    server.setConfigText(R"({"config":"end"})");
    testing::Fd own = testing::connectLoopback(server.port(), kDeadline);
    ASSERT_TRUE(getConfig(own.get()));

    // A connection of another server in this process with the same local
    // port (on another loopback address) is none of the double's business.
    testing::LoopbackListener other("127.0.0.2", server.port());
    ASSERT_TRUE(other.listening());
    testing::Fd client = testing::connectLoopback(server.port(), kDeadline, "127.0.0.2");
    ASSERT_TRUE(client.valid());
    testing::Fd accepted = other.accept(kDeadline);
    ASSERT_TRUE(accepted.valid());

    server.stop();
    EXPECT_TRUE(closedByPeer(own.get())) << "an idle connection outlived stop()";
    std::string got;
    ASSERT_TRUE(testing::sendAll(client.get(), "ping", kDeadline));
    EXPECT_TRUE(testing::readUntil(accepted.get(), "ping", kDeadline, got)) << got;
    ASSERT_TRUE(testing::sendAll(accepted.get(), "pong", kDeadline));
    got.clear();
    EXPECT_TRUE(testing::readUntil(client.get(), "pong", kDeadline, got)) << got;
}

TEST(ServerDoubleLifecycleTest, StopRightAfterStartReturns) {
    testing::FreshSdk sdk;
    // Shared with the thread, which a failure leaves behind.
    auto done = std::make_shared<std::atomic<int>>(0);
    std::thread cycles([done] {
        for (int i = 0; i < 50; ++i) {
            ServerDouble server;
            if (!server.start()) {
                done->store(-1);
                testing::notifyWaiters();
                return;
            }
            server.stop();
        }
        done->store(1);
        testing::notifyWaiters();
    });
    if (!testing::waitUntil([&] { return done->load() != 0; }, std::chrono::seconds(60))) {
        cycles.detach();
        FAIL() << "stop() right after start() did not return";
    }
    cycles.join();
    EXPECT_EQ(done->load(), 1) << "the double could not start";
}

TEST_F(ServerDoubleTest, KeepsTheHeadOfLargeBodiesAndTheMostRecentRequests) {
    const std::string big = R"({"common":{"request_datetime":"2024-05-06T07:08:09.000Z"},"pad":")" +
                            std::string(1 << 20, 'a') + "\"}";
    const std::size_t kept = ServerDouble::Options{}.keptBytesEach;
    ASSERT_EQ(send(signedPost(kBulk, big, BodyEncoding::BASE64)).status, 200);
    ASSERT_EQ(send(signedPost(kBulk, kJson, BodyEncoding::BASE64)).status, 200);
    auto recorded = server.requests();
    ASSERT_EQ(recorded.size(), 2u);
    // Checked in full, kept in part, counted in full.
    EXPECT_EQ(recorded[0].signature, "valid");
    EXPECT_EQ(recorded[0].decodedBodyBytes, big.size());
    EXPECT_TRUE(recorded[0].decodedBody == big.substr(0, kept)) << recorded[0].decodedBody.size();
    EXPECT_EQ(recorded[0].rawBodyBytes, (big.size() + 2) / 3 * 4);
    EXPECT_EQ(recorded[0].rawBody.size(), kept);
    EXPECT_TRUE(recorded[0].bodyCut());
    auto line = nlohmann::json::parse(recorded[0].toJsonLine());
    EXPECT_EQ(line["body_bytes"], big.size());
    EXPECT_EQ(line["body_cut"], true);
    EXPECT_TRUE(line["body"] == big.substr(0, kept));
    EXPECT_EQ(recorded[1].decodedBody, kJson);
    EXPECT_FALSE(recorded[1].bodyCut());
    EXPECT_EQ(nlohmann::json::parse(recorded[1].toJsonLine())["body"],
              nlohmann::json::parse(kJson));

    // In all, the most recent requests, by count and by bytes.
    ServerDouble::Options options{"127.0.0.1", 0, kSecret};
    options.keptRequests = 3;
    options.keptBytes = 3 * kept;
    ServerDouble small(options);
    ASSERT_TRUE(small.start());
    platform::host::mapHttpHost("*", small.baseUrl());
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(send(signedPost(kBulk, kJson, BodyEncoding::BASE64)).status, 200);
    }
    EXPECT_EQ(small.requestCount(), 5u);
    recorded = small.requests();
    ASSERT_EQ(recorded.size(), 3u);
    EXPECT_EQ(recorded.front().sequence, 3u);
    EXPECT_EQ(recorded.back().sequence, 5u);

    small.clearRequests();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(send(signedPost(kBulk, big, BodyEncoding::BASE64)).status, 200);
    }
    EXPECT_EQ(small.requestCount(), 3u);
    recorded = small.requests();
    ASSERT_EQ(recorded.size(), 1u);  // each keeps two heads and its headers
    EXPECT_EQ(recorded[0].sequence, 8u);
    EXPECT_TRUE(small.waitForRequests(3, std::chrono::milliseconds(0)));
}

TEST(ServerDoubleProgramTest, RefusesBadArgumentsWithAMessage) {
    const std::vector<std::vector<std::string>> bad{
        {"--port", "99999"},
        {"--port", "abc"},
        {"--port", ""},
        {"--port", "80x"},
        {"--port", "-1"},
        {"--port", " 80"},
        {"--port"},
        {"--max-requests", "-2"},
        {"--max-requests", "1e3"},
        {"--lifetime-seconds", "soon"},
        {"--host", ""},
        {"--what"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv{SORVEL_SERVER_DOUBLE_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        // Refused before it binds, so it never gets to the time limit.
        argv.insert(argv.end(), {"--lifetime-seconds", "5"});
        if (args.size() == 1 && args[0] == "--port") {
            argv.resize(2);  // the value is missing altogether
        }
        const std::string shown = ::testing::PrintToString(args);
        auto run = testing::runProgram(argv, std::chrono::seconds(25));
        ASSERT_TRUE(run.ended) << shown << " was not refused: " << run.output;
        EXPECT_NE(run.exitCode, 0) << shown;
        EXPECT_EQ(run.output.find("listening"), std::string::npos) << shown << run.output;
        EXPECT_NE(run.output.find(args[0]), std::string::npos) << shown << run.output;
        if (args.size() > 1 && !args[1].empty()) {
            EXPECT_NE(run.output.find(args[1]), std::string::npos) << shown << run.output;
        }
    }
    auto help = testing::runProgram({SORVEL_SERVER_DOUBLE_EXE, "--help"}, std::chrono::seconds(25));
    EXPECT_TRUE(help.ended);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("--port"), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("64 KiB"), std::string::npos) << help.output;
}

TEST(ServerDoubleProgramTest, PrintsEachSignedRequestAsOneJsonLine) {
    testing::FreshSdk sdk;
    testing::TempDir dir;
    const std::string portFile = dir.path() + "/port";
    // One request is all it is asked to serve: it prints it and ends.
    auto run = std::async(std::launch::async, [&] {
        return testing::runProgram(
            {SORVEL_SERVER_DOUBLE_EXE, "--port", "0", "--secret-key", kSecret, "--port-file",
             portFile, "--max-requests", "1", "--lifetime-seconds", "20"},
            std::chrono::seconds(25));
    });
    std::string port;
    ASSERT_TRUE(
        testing::pollUntil([&] { return static_cast<bool>(std::ifstream(portFile) >> port); }));
    platform::host::mapHttpHost("*", "http://127.0.0.1:" + port);
    EXPECT_EQ(platform::HttpSession::shared()
                  .dataTask(signedPost(kBulk, kJson, BodyEncoding::BASE64))
                  .status,
              200);
    const testing::ProgramRun ran = run.get();
    ASSERT_TRUE(ran.ended) << ran.output;
    EXPECT_EQ(ran.exitCode, 0) << ran.output;

    // Its standard output holds one JSON line, its standard error other text.
    std::vector<std::string> jsonLines;
    std::istringstream lines(ran.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("{")) {
            jsonLines.push_back(line);
        }
    }
    ASSERT_EQ(jsonLines.size(), 1u) << ran.output;
    auto j = nlohmann::json::parse(jsonLines[0], nullptr, false);
    ASSERT_TRUE(j.is_object()) << ran.output;
    EXPECT_EQ(j["endpoint"], "event_bulk");
    EXPECT_EQ(j["path"], "/api/v6/event/bulk/APP");
    EXPECT_EQ(j["signature"], "valid");
    EXPECT_EQ(j["status"], 200);
    EXPECT_EQ(j["body"], nlohmann::json::parse(kJson));
    EXPECT_EQ(j["headers"]["svl-auth-time"], kTime);
}

}  // namespace
}  // namespace sorvel::tools

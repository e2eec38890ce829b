#include "Platform/Http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/Host.h"
#include "ServerDouble.h"
#include "support/TestSupport.h"
#include "support/Uploads.h"

namespace sorvel::platform {
namespace {

using tools::Endpoint;

HttpRequest get(const std::string& url) {
    HttpRequest r;
    r.url = url;
    return r;
}

// The path of an absolute URL as it goes out, without the query.
std::string pathOf(const std::string& url) {
    const auto start = url.find('/', url.find("://") + 3);
    return url.substr(start, url.find('?') - start);
}

constexpr const char* kConfigUrl = "https://config.maker.example/prod/sdk.config/K/config.json";

class HttpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        host::mapHttpHost("*", server.baseUrl());
    }
    testing::FreshSdk sdk;
    testing::LogCapture log;
    tools::ServerDouble server;
    HttpSession session;
};

TEST_F(HttpTest, MappedHostsReuseOneConnection) {
    for (int i = 0; i < 5; ++i) {
        HttpResponse r = session.dataTask(get(kConfigUrl));
        EXPECT_EQ(r.status, 200) << r.error;
        EXPECT_EQ(r.body, tools::ServerDouble::defaultAnswer(Endpoint::CONFIG).body);
        EXPECT_EQ(r.reusedConnection, i > 0);
    }
    EXPECT_EQ(session.stats().transfers, 5u);
    EXPECT_EQ(session.stats().connectionsOpened, 1u);
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 5u);
    for (const auto& r : seen) {
        EXPECT_EQ(r.remotePort, seen[0].remotePort);  // one client socket
        EXPECT_EQ(r.path, "/prod/sdk.config/K/config.json");
    }
}

TEST_F(HttpTest, PlainHttpOnlyThroughAMappingAndBasePathsAreKept) {
    host::clearHttpHostMappings();
    HttpResponse direct =
        session.dataTask(get(server.baseUrl() + "/prod/sdk.config/K/config.json"));
    EXPECT_EQ(direct.status, 0);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(log.contains("Http :: refused"));
    EXPECT_EQ(session.dataTask(get("no url at all")).status, 0);

    host::mapHttpHost("*", server.baseUrl() + "/front/");
    HttpResponse mapped = session.dataTask(get(kConfigUrl + std::string("?v=1")));
    EXPECT_EQ(mapped.status, 200);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].path, "/front/prod/sdk.config/K/config.json");
    EXPECT_EQ(server.requests()[0].endpoint, Endpoint::CONFIG);

    // Once the mapping is gone, plain http to the double is refused again.
    host::clearHttpHostMappings();
    EXPECT_EQ(session.dataTask(get(server.baseUrl() + "/prod/sdk.config/K/config.json")).status, 0);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(HttpTest, HeadersGoOutAsGivenOrTheRequestIsRefused) {
    // A header whose value is empty is still sent (the double's HTTP parser
    // skips such lines, so the raw request is read here).
    testing::LoopbackListener raw;
    host::mapHttpHost("*", "http://127.0.0.1:" + std::to_string(raw.port()));
    auto head = std::async(std::launch::async, [&raw] {
        constexpr auto kDeadline = std::chrono::seconds(30);
        std::string got;
        testing::Fd c = raw.accept(kDeadline);
        if (c.valid() && raw.readUntil(c.get(), "\r\n\r\n", kDeadline, got)) {
            testing::sendAll(c.get(), "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n",
                             kDeadline);
        }
        return got;
    });
    HttpRequest empty = get(kConfigUrl + std::string("?v=1&q=a%20b"));
    empty.headers = {{"Authorization", ""}, {"X-Trace", "t"}};
    EXPECT_EQ(session.dataTask(empty).status, 204);
    raw.cancel();
    const std::string sent = head.get();
    // The request line carries the path and query byte for byte.
    EXPECT_EQ(sent.rfind("GET /prod/sdk.config/K/config.json?v=1&q=a%20b HTTP/1.1\r\n", 0), 0u)
        << sent;
    EXPECT_NE(sent.find("\r\nAuthorization:\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("\r\nX-Trace: t\r\n"), std::string::npos) << sent;
    host::mapHttpHost("*", server.baseUrl());

    // Nothing a caller passes may add a header line (or end the headers).
    const std::vector<std::pair<std::string, std::string>> bad{
        {"Authorization", "token\r\nX-Injected: 1"},
        {"Authorization", "token\nX-Injected: 1"},
        {"Authorization", std::string("tok\0en", 6)},
        {"X-Injected: 1\r\nAuthorization", "token"},
        {"Authorization:", "token"},
        {"", "token"},
    };
    for (const auto& header : bad) {
        HttpRequest r = get(kConfigUrl);
        r.headers = {header};
        HttpResponse response = session.dataTask(r);
        EXPECT_EQ(response.status, 0) << header.first;
        EXPECT_NE(response.error.find("malformed header"), std::string::npos) << response.error;
    }
    // A URL that a C string would cut short is no URL.
    EXPECT_EQ(session.dataTask(get(std::string(kConfigUrl) + std::string("\0/x", 3))).status, 0);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(log.contains("Http :: refused"));
}

TEST_F(HttpTest, AReusedHandleCarriesNothingOfItsLastRequestIntoTheNext) {
    // One handle, one connection, for requests of every method in turn: each
    // goes out with its own method, body, headers and Content-Type only.
    const std::string deleteUrl = "https://history.maker.example/api/v6/actionhistory/K/device/D1";
    const std::string postUrl = "https://api.maker.example/api/v1/inappmessage/campaigns/get";
    auto request = [](std::string method, std::string url, std::string body,
                      std::vector<std::pair<std::string, std::string>> headers) {
        HttpRequest r;
        r.method = std::move(method);
        r.url = std::move(url);
        r.body = std::move(body);
        r.headers = std::move(headers);
        return r;
    };
    const std::vector<HttpRequest> sent{
        request("POST", postUrl, R"({"a":1})", {{"Content-Type", "application/json"}}),
        request("GET", kConfigUrl, "", {{"X-Trace", "get"}}),
        request("DELETE", deleteUrl, R"({"d":2})", {{"X-Trace", "delete"}}),
        request("POST", postUrl, R"({"b":22})", {}),
        request("GET", kConfigUrl, "", {}),
    };
    for (const auto& r : sent) {
        HttpResponse answer = session.dataTask(r);
        EXPECT_NE(answer.status, 0) << r.method << " " << answer.error;
    }
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].method, sent[i].method);
        // The handle's parsed URL follows the request's.
        EXPECT_EQ(seen[i].target, pathOf(sent[i].url));
        EXPECT_EQ(seen[i].rawBody, sent[i].body);
        EXPECT_EQ(seen[i].rawBodyBytes, sent[i].body.size());
        EXPECT_EQ(seen[i].remotePort, seen[0].remotePort);
        const bool traced = !sent[i].headers.empty() && sent[i].headers[0].first == "X-Trace";
        EXPECT_EQ(seen[i].header("x-trace"), traced ? sent[i].headers[0].second : "");
        EXPECT_EQ(seen[i].header("content-type"), i == 0 ? "application/json" : "");
    }
    EXPECT_EQ(seen[2].endpoint, Endpoint::HISTORY_DELETE_DEVICE);
    EXPECT_EQ(session.stats().connectionsOpened, 1u);
}

TEST_F(HttpTest, ARequestUrlGoesWhereTheMappingsOfTheMomentSendIt) {
    // The same URLs sent over and over while the mappings change under them:
    // each send follows the mappings as they are when it starts, on the
    // blocking path and on the transfer thread alike. Nothing is sent
    // unmapped: plain http to the double is refused without a mapping.
    tools::ServerDouble other;
    ASSERT_TRUE(other.start());
    const std::string direct = server.baseUrl() + "/prod/sdk.config/K/config.json";
    std::mutex mu;
    std::optional<HttpResponse> answer;
    auto started = [&](const std::string& url) {
        {
            std::lock_guard<std::mutex> lock(mu);
            answer.reset();
        }
        session.startDataTask(std::make_shared<const HttpRequest>(get(url)), [&](HttpResponse r) {
            std::lock_guard<std::mutex> lock(mu);
            answer = std::move(r);
            testing::notifyWaiters();
        });
        EXPECT_TRUE(testing::waitUntil([&] {
            std::lock_guard<std::mutex> lock(mu);
            return answer.has_value();
        }));
        std::lock_guard<std::mutex> lock(mu);
        return answer.value_or(HttpResponse{}).status;
    };
    auto sent = [&](const std::string& url) { return session.dataTask(get(url)).status; };
    using Counts = std::pair<std::size_t, std::size_t>;
    auto counts = [&] { return Counts(server.requestCount(), other.requestCount()); };

    EXPECT_EQ(sent(kConfigUrl), 200);
    EXPECT_EQ(started(kConfigUrl), 200);
    EXPECT_EQ(sent(direct), 200);
    EXPECT_EQ(counts(), Counts(3, 0));

    host::mapHttpHost("*", other.baseUrl() + "/other");
    EXPECT_EQ(sent(kConfigUrl), 200);
    EXPECT_EQ(started(kConfigUrl), 200);
    EXPECT_EQ(sent(direct), 200);
    EXPECT_EQ(counts(), Counts(3, 3));
    EXPECT_EQ(other.requests().back().target, "/other/prod/sdk.config/K/config.json");

    // A mapping for the host itself wins over "*".
    host::mapHttpHost("CONFIG.maker.example", server.baseUrl());
    EXPECT_EQ(sent(kConfigUrl), 200);
    EXPECT_EQ(started(kConfigUrl), 200);
    EXPECT_EQ(counts(), Counts(5, 3));

    // A mapping curl cannot parse fails the send; the handles that held the
    // last good URL send the next one where it belongs.
    host::mapHttpHost("CONFIG.maker.example", "http://bad host:1");
    EXPECT_EQ(sent(kConfigUrl), 0);
    EXPECT_EQ(started(kConfigUrl), 0);
    host::mapHttpHost("CONFIG.maker.example", server.baseUrl() + "/again");
    EXPECT_EQ(sent(kConfigUrl), 200);
    EXPECT_EQ(started(kConfigUrl), 200);
    EXPECT_EQ(counts(), Counts(7, 3));
    EXPECT_EQ(server.requests().back().target, "/again/prod/sdk.config/K/config.json");

    // Without a mapping, plain http is refused again, every time.
    log.clear();
    host::clearHttpHostMappings();
    EXPECT_EQ(sent(direct), 0);
    EXPECT_EQ(started(direct), 0);
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const auto& l) { return l.find("Http :: refused") == 0; }),
              2);

    // A fresh state of the simulated OS forgets the mappings too.
    host::mapHttpHost("*", server.baseUrl());
    EXPECT_EQ(sent(direct), 200);
    testing::restartProcessState();
    EXPECT_EQ(sent(direct), 0);
    EXPECT_EQ(counts(), Counts(8, 3));
}

// Files of the double under "/img/": a picture, redirects to it (one, a chain
// of n hops, off to other schemes), each hit counted.
class RedirectingFiles {
  public:
    explicit RedirectingFiles(tools::ServerDouble& server) : base_(server.baseUrl()) {
        server.serveFiles("/img/", [this](const std::string& path) {
            hits_.fetch_add(1);
            std::optional<tools::ScriptedAnswer> a = tools::ScriptedAnswer{};
            a->contentType = "image/png";
            if (path == "/img/a.png") {
                a->body = kPicture;
            } else if (path == "/img/moved") {
                a->status = 301;
                a->location = url("/img/a.png");
            } else if (path == "/img/relative") {
                a->status = 302;
                a->location = "a.png";
            } else if (path.rfind("/img/chain/", 0) == 0) {
                const int left = std::stoi(path.substr(11));
                a->status = 302;
                a->location =
                    left == 0 ? url("/img/a.png") : url("/img/chain/") + std::to_string(left - 1);
            } else if (path == "/img/to-file") {
                a->status = 302;
                a->location = "file:///etc/hostname";
            } else if (path == "/img/to-gopher") {
                a->status = 307;
                a->location = "gopher://127.0.0.1:" + base_.substr(base_.rfind(':') + 1) + "/1";
            } else {
                return std::optional<tools::ScriptedAnswer>();
            }
            return a;
        });
    }
    std::string url(const std::string& path) const { return base_ + path; }
    int hits() const { return hits_.load(); }
    static constexpr const char* kPicture = "\x89PNG picture";

  private:
    std::string base_;
    std::atomic<int> hits_{0};
};

HttpRequest image(const std::string& url) {
    HttpRequest r = get(url);
    r.policy = HttpUrlPolicy::PUBLIC_RESOURCE;
    return r;
}

TEST_F(HttpTest, ResourcesTakeAnyHostAndFollowRedirectsThatStayOnHttp) {
    RedirectingFiles files(server);
    // No mapping at all, as in a shipped app.
    host::clearHttpHostMappings();

    struct Case {
        const char* path;
        int status;
        int hits;
    };
    const Case cases[] = {
        {"/img/a.png", 200, 1},
        {"/img/moved", 200, 2},
        {"/img/relative", 200, 2},
        // Five redirects are followed; a sixth fails the request.
        {"/img/chain/4", 200, 6},
        {"/img/chain/5", 0, 6},
        // A redirect never leaves http and https: no file is read, no other
        // protocol spoken.
        {"/img/to-file", 0, 1},
        {"/img/to-gopher", 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const int before = files.hits();
        HttpResponse r = session.dataTask(image(files.url(c.path)));
        EXPECT_EQ(r.status, c.status) << r.error;
        EXPECT_EQ(r.body, c.status == 200 ? RedirectingFiles::kPicture : "");
        EXPECT_EQ(files.hits() - before, c.hits);
    }

    // The maker's API keeps its rule on the same URLs: plain http to a host
    // nobody mapped is refused before anything is sent.
    const int before = files.hits();
    for (const char* path : {"/img/a.png", "/img/moved"}) {
        HttpResponse r = session.dataTask(get(files.url(path)));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.error, "plain http is only allowed for a mapped host");
    }
    EXPECT_EQ(files.hits(), before);
}

TEST_F(HttpTest, TheMakersApiNeverFollowsARedirect) {
    RedirectingFiles files(server);
    // The config host answers with a redirect to plain http on a host no
    // mapping names; following it would send the request where the API's
    // rule refuses to.
    tools::ScriptedAnswer moved;
    moved.status = 302;
    moved.location = files.url("/img/a.png");
    server.setDefaultAnswer(Endpoint::CONFIG, moved);

    HttpResponse first = session.dataTask(get(kConfigUrl));
    EXPECT_EQ(first.status, 302);
    EXPECT_EQ(files.hits(), 0);
    // The same pooled handle, after a resource request that did follow one,
    // goes back to following none, and to the API request's own URL.
    HttpResponse picture = session.dataTask(image(files.url("/img/moved")));
    EXPECT_EQ(picture.status, 200);
    EXPECT_EQ(files.hits(), 2);
    HttpResponse again = session.dataTask(get(kConfigUrl));
    EXPECT_EQ(again.status, 302);
    EXPECT_EQ(files.hits(), 2);
    EXPECT_EQ(server.requestCount(), 2u);
    for (const auto& r : server.requests()) {
        EXPECT_EQ(r.path, "/prod/sdk.config/K/config.json");
    }
    EXPECT_EQ(session.stats().connectionsOpened, 1u);
}

TEST_F(HttpTest, ResponsesOverSixteenMebibytesAreCutOffAndFail) {
    tools::ScriptedAnswer full;
    full.body.assign(HttpSession::MAX_RESPONSE_BYTES, 'a');
    server.script(Endpoint::CONFIG, full);
    tools::ScriptedAnswer over = full;
    over.body.push_back('b');
    server.script(Endpoint::CONFIG, over);

    HttpResponse atLimit = HttpSession::shared().dataTask(get(kConfigUrl));
    EXPECT_EQ(atLimit.status, 200);
    EXPECT_EQ(atLimit.body.size(), HttpSession::MAX_RESPONSE_BYTES);

    HttpResponse tooBig = HttpSession::shared().dataTask(get(kConfigUrl));
    EXPECT_EQ(tooBig.status, 0);
    EXPECT_TRUE(tooBig.body.empty());
    EXPECT_TRUE(log.contains("bytes; cut off and failed"));

    // The session still works afterwards.
    EXPECT_EQ(HttpSession::shared().dataTask(get(kConfigUrl)).status, 200);

    // On the transfer thread too; the record that took the cut-off answer
    // gives the next one none of its bytes.
    server.script(Endpoint::CONFIG, over);
    std::mutex mu;
    std::vector<HttpResponse> answers;
    for (int i = 0; i < 2; ++i) {
        session.startDataTask(std::make_shared<const HttpRequest>(get(kConfigUrl)),
                              [&](HttpResponse r) {
                                  std::lock_guard<std::mutex> lock(mu);
                                  answers.push_back(std::move(r));
                                  testing::notifyWaiters();
                              });
        ASSERT_TRUE(testing::waitUntil([&] {
            std::lock_guard<std::mutex> lock(mu);
            return answers.size() == static_cast<std::size_t>(i + 1);
        }));
    }
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(answers[0].status, 0);
    EXPECT_TRUE(answers[0].body.empty());
    EXPECT_EQ(answers[1].status, 200) << answers[1].error;
    EXPECT_EQ(answers[1].body, tools::ServerDouble::defaultAnswer(Endpoint::CONFIG).body);
}

TEST_F(HttpTest, StartedTransfersRunSideBySideOnKeptConnections) {
    testing::HeldAnswers gate;
    server.setResponder(Endpoint::CONFIG, gate.responder([](const auto&) { return 200; }));
    std::mutex mu;
    std::vector<HttpResponse> answers;
    auto start = [&] {
        session.startDataTask(std::make_shared<const HttpRequest>(get(kConfigUrl)),
                              [&](HttpResponse r) {
                                  std::lock_guard<std::mutex> lock(mu);
                                  answers.push_back(std::move(r));
                                  testing::notifyWaiters();
                              });
    };
    auto answered = [&] {
        std::lock_guard<std::mutex> lock(mu);
        return answers.size();
    };
    for (int i = 0; i < 3; ++i) {
        start();
    }
    // All three are at the server at once, none answered yet.
    const bool together = testing::waitUntil([&] { return gate.held() == 3; });
    gate.open();
    ASSERT_TRUE(together);
    ASSERT_TRUE(testing::waitUntil([&] { return answered() == 3; }));
    EXPECT_EQ(session.stats().mostConcurrent, 3u);
    EXPECT_EQ(session.stats().connectionsOpened, 3u);
    // The next ones reuse the connections the first ones opened.
    start();
    start();
    ASSERT_TRUE(testing::waitUntil([&] { return answered() == 5; }));
    {
        std::lock_guard<std::mutex> lock(mu);
        for (const auto& r : answers) {
            EXPECT_EQ(r.status, 200) << r.error;
        }
        EXPECT_TRUE(answers[3].reusedConnection && answers[4].reusedConnection);
    }
    EXPECT_EQ(session.stats().connectionsOpened, 3u);
    EXPECT_EQ(session.stats().transfers, 5u);
    // Blocking requests among them open one connection of their own and
    // keep reusing it, whatever ran on the transfer thread in between.
    EXPECT_EQ(session.dataTask(get(kConfigUrl)).status, 200);
    EXPECT_TRUE(session.dataTask(get(kConfigUrl)).reusedConnection);
    start();
    ASSERT_TRUE(testing::waitUntil([&] { return answered() == 6; }));
    EXPECT_TRUE(session.dataTask(get(kConfigUrl)).reusedConnection);
    EXPECT_EQ(session.stats().connectionsOpened, 4u);

    // The transfer thread ends once idle, and the next transfer starts one.
    ASSERT_TRUE(testing::pollUntil([] { return testing::threadsNamed("sorvel-http") == 0; }));
    start();
    ASSERT_TRUE(testing::waitUntil([&] { return answered() == 7; }));
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(answers[6].status, 200) << answers[6].error;

    // A request that cannot go out is answered at once, on the caller's thread.
    HttpRequest bad = get("no url at all");
    std::optional<HttpResponse> refused;
    session.startDataTask(std::make_shared<const HttpRequest>(bad),
                          [&](HttpResponse r) { refused = std::move(r); });
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->status, 0);
    EXPECT_FALSE(refused->error.empty());
}

}  // namespace
}  // namespace sorvel::platform

#include "Platform/Http.h"

#include <gtest/gtest.h>

#include "ServerDouble.h"
#include "support/TestSupport.h"

namespace sorvel::platform {
namespace {

using tools::Endpoint;

HttpRequest get(const std::string& url) {
    HttpRequest r;
    r.url = url;
    return r;
}

constexpr const char* kConfigUrl = "https://config.maker.example/prod/sdk.config/K/config.json";

TEST(HttpTest, MappedHostsReuseOneConnection) {
    testing::FreshSdk sdk;
    tools::ServerDouble server;
    ASSERT_TRUE(server.start());
    host::mapHttpHost("config.maker.example", server.baseUrl());

    HttpSession session;
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

TEST(HttpTest, PlainHttpOnlyThroughAMappingAndBasePathsAreKept) {
    testing::FreshSdk sdk;
    testing::LogCapture log;
    tools::ServerDouble server;
    ASSERT_TRUE(server.start());
    HttpSession session;

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

TEST(HttpTest, ResponsesOverSixteenMebibytesAreCutOffAndFail) {
    testing::FreshSdk sdk;
    testing::LogCapture log;
    tools::ServerDouble server;
    ASSERT_TRUE(server.start());
    host::mapHttpHost("*", server.baseUrl());

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
}

}  // namespace
}  // namespace sorvel::platform

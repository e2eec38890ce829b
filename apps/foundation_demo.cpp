// The smallest program that shows the SDK's foundation at work: a durable
// settings registry with a change listener, the logger, the queues, and a
// signed request to a loopback double of the maker's servers.
// Run it twice: the launch counter survives the restart.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Data/ModelProvider/GDPRModelProvider.h"
#include "Network/ApiConnection.h"
#include "Network/ApiConnectionManager.h"
#include "Platform/Dispatch.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"
#include "Platform/Http.h"
#include "Platform/RunLoop.h"
#include "Platform/UserDefaults.h"
#include "ServerDouble.h"

using namespace sorvel;

int main(int argc, char** argv) {
    // The app's data goes to the per-user default unless a folder is given.
    if (argc > 1) {
        platform::host::setHomeFolder(argv[1]);
    }
    std::printf("app home: %s\n", platform::homeFolder().c_str());

    auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    registry->addListener(
        DataRegistryKey::STRING_APPKEY,
        std::make_shared<DataUnitEventListener>([](const std::optional<Value>& v) {
            std::printf("listener: app key changed to %s\n", v ? v->render().c_str() : "(absent)");
        }));

    // The demo's own launch counter, in a settings suite of its own.
    auto demoSuite = platform::UserDefaults::suite("svlDemo");
    auto previous = demoSuite->get("launchCount");
    auto launch = (previous ? previous->toUInt64().value_or(0) : 0) + 1;
    (void)demoSuite->set("launchCount", Value(launch));
    std::printf("launch number %llu (kept across runs)\n", static_cast<unsigned long long>(launch));
    registry->putString("demoAppKey000000000001", DataRegistryKey::STRING_APPKEY);

    SvlLog::info("foundation_demo :: registry holds app key " +
                 registry->getString(DataRegistryKey::STRING_APPKEY, "?"));

    // A block on a labelled serial queue hands its result to the main run loop.
    auto queue = platform::DispatchQueue::makeSerial("demoQueue");
    bool done = false;
    queue->async([&] {
        std::string label = platform::DispatchQueue::currentLabel();
        platform::DispatchQueue::main().async([&, label] {
            std::printf("main run loop got a result computed on '%s'\n", label.c_str());
            done = true;
        });
    });
    platform::RunLoop::main().runUntil([&] { return done; }, std::chrono::seconds(5));

    // A signed privacy request, sent to the server double standing in for the
    // maker's servers; the double checks the signature with the secret key.
    const std::string secretKey = "demoSecretKey000000001";
    tools::ServerDouble server(tools::ServerDouble::Options{"127.0.0.1", 0, secretKey});
    if (!server.start()) {
        std::printf("could not start the server double\n");
        return 1;
    }
    platform::host::mapHttpHost("*", server.baseUrl());
    registry->putString(secretKey, DataRegistryKey::STRING_SECRETKEY);
    registry->putString(std::string("DEMO-DEVICE-ID"), DataRegistryKey::STRING_ADID);
    auto connection = std::make_shared<ApiConnection>(registry);
    connection->setPostRequest(*GDPRModelProvider(registry).getApiModel());
    Result result = ApiConnectionManager().requestSync(connection);
    auto recorded = server.requests();
    std::printf("GDPR request answered %d; the server saw %zu request(s), signature %s\n",
                result.statusCode(), recorded.size(),
                recorded.empty() ? "-" : recorded.front().signature.c_str());
    if (!recorded.empty()) {
        std::printf("request as the server recorded it: %s\n",
                    recorded.front().toJsonLine().c_str());
    }
    server.stop();
    done = done && result.isSuccess() && !recorded.empty() && recorded.front().signature == "valid";

    if (Status saved = registry->waitForPendingWrites(); !saved) {
        std::printf("settings not saved: %s\n", saved.message().c_str());
        done = false;
    }
    SvlLog::flush();
    std::printf(done ? "ok\n" : "FAILED\n");
    return done ? 0 : 1;
}

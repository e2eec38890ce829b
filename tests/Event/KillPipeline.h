#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/KeyChain.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Event/DefaultEventSender.h"
#include "Event/EventBuffer.h"
#include "Event/EventCounters.h"
#include "Event/EventModelProvider.h"
#include "Event/EventPackageContainer.h"
#include "Event/NoWaitEventNameProvider.h"
#include "Event/UserPropertyManager.h"
#include "Platform/Host.h"
#include "ServerDouble.h"
#include "support/TestSupport.h"

namespace sorvel::killtest {

// The keys every kill test's child signs with and its server double checks.
inline constexpr const char* kSecretKey = "SECRETKEY0123456789abc";
inline constexpr const char* kAppKey = "APPKEY0123456789abcdef";

// A kill test's fresh app home and server double. killChild starts the child
// that `env` names, passing it "<home>|<server base URL>", and kills it once
// it said it is ready.
struct KilledLaunch {
    KilledLaunch() : server(tools::ServerDouble::Options{"127.0.0.1", 0, kSecretKey}) {}
    bool killChild(const char* env, std::string& said) {
        return server.start() &&
               testing::killWhenReady(std::string(env) + "=" + sdk.home() + "|" + server.baseUrl(),
                                      said);
    }

    testing::FreshSdk sdk;
    tools::ServerDouble server;
};

// The child's half: when `env` is set, points the host at the home and the
// server it names and answers the home; nothing when this is not the child.
inline std::optional<std::string> killedChildHome(const char* env) {
    const char* value = std::getenv(env);
    if (value == nullptr) {
        return std::nullopt;
    }
    const std::string arg(value);
    const std::string home = arg.substr(0, arg.find('|'));
    platform::host::setHomeFolder(home);
    platform::host::setKeychainFolder(home + "/keychain");
    platform::host::setReachability(std::string("wifi"));
    platform::host::mapHttpHost("*", arg.substr(arg.find('|') + 1));
    return home;
}

// The event pipeline of one launch over the app home the host names, as a
// child process that is killed, or the launch after it, builds it.
struct Pipeline {
    std::shared_ptr<DataRegistry> registry =
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    std::shared_ptr<EventPackageContainer> container = std::make_shared<EventPackageContainer>(
        std::make_shared<DefaultEventSender>(registry, std::make_shared<DeviceRealtimeDataProvider>(
                                                           registry, Util_keychain::shared())),
        registry);
    std::shared_ptr<EventBuffer> buffer =
        EventBuffer::create(container, std::make_shared<DefaultNowaitEventNameProvider>());
    std::shared_ptr<UserPropertyManager> properties =
        std::make_shared<UserPropertyManager>(registry, [] { return 100; });

    // The keys requests are signed with, on disk when it returns true: a
    // child killed with them still queued would leave the next launch
    // unable to sign.
    [[nodiscard]] bool storeKeys() {
        registry->putString(std::string(kSecretKey), DataRegistryKey::STRING_SECRETKEY);
        registry->putString(std::string(kAppKey), DataRegistryKey::STRING_APPKEY);
        return static_cast<bool>(registry->waitForPendingWrites());
    }

    // One "custom:tap" event with this log id, numbered and chained as the
    // repository does.
    void log(const std::string& id) {
        auto p = LogEventParameter::initWithEventName("custom", "tap", {});
        p.eventId = id;
        buffer->addEvent(
            EventModelProvider(properties, registry, buffer->eventCounters(), p).buildEventModel());
        buffer->eventCounters()->setPrevId(id);
    }
};

}  // namespace sorvel::killtest

#pragma once

#include <memory>
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
#include "ServerDouble.h"
#include "support/TestSupport.h"

namespace sorvel::killtest {

// A kill test's fresh app home and server double. killChild starts the child
// that `env` names, passing it "<home>|<server base URL>", and kills it once
// it said it is ready.
struct KilledLaunch {
    explicit KilledLaunch(const char* secretKey)
        : server(tools::ServerDouble::Options{"127.0.0.1", 0, secretKey}) {}
    bool killChild(const char* env, std::string& said) {
        return server.start() &&
               testing::killWhenReady(std::string(env) + "=" + sdk.home() + "|" + server.baseUrl(),
                                      said);
    }

    testing::FreshSdk sdk;
    tools::ServerDouble server;
};

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

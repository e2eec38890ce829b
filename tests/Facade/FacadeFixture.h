#pragma once

// End-to-end tests drive the SDK the way an app does: the public facade
// (sorvel/SorvelKV.h) and the public host calls (sorvel/SorvelHost.h) only,
// against the loopback server double. The test support gives each test a fresh
// app home and forgets the SDK between tests (and between two "launches").

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Core/DefaultSVLContextController.h"
#include "Core/DiContainer.h"
#include "Event/EventBuffer.h"
#include "ServerDouble.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/SorvelKV.h"
#include "support/TestSupport.h"
#include "support/Uploads.h"

namespace sorvel::facadetest {

using tools::Endpoint;

inline constexpr const char* kAppKey = "FacadeAppKey0123456789";
inline constexpr const char* kSecretKey = "FacadeSecret0123456789";

inline SorvelKvAttrModel attrs(std::initializer_list<std::pair<std::string, Value>> entries) {
    SorvelKvAttrModel model;
    model.attrData = Value::Map(entries.begin(), entries.end());
    return model;
}

inline std::vector<SorvelKvCommerceProductModel> products(int n) {
    std::vector<SorvelKvCommerceProductModel> list;
    for (int i = 0; i < n; ++i) {
        list.push_back(SorvelKV::getInstance().createCommerceProductDataWithAttr(
            "p" + std::to_string(i), "product", 10.0, 1, 0.0, std::nullopt, std::nullopt,
            std::nullopt));
    }
    return list;
}

class FacadeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tools::ServerDouble::Options options = serverOptions();
        options.secretKey = kSecretKey;
        server_ = std::make_unique<tools::ServerDouble>(options);
        ASSERT_TRUE(server_->start());
        // Every answer wakes the waits below.
        server_->setAnswerObserver([](const tools::RecordedRequest&) { testing::notifyWaiters(); });
        hostSetUp();
    }
    void TearDown() override { server_->setAnswerObserver(nullptr); }
    // What the server double keeps of the requests.
    virtual tools::ServerDouble::Options serverOptions() const { return {}; }

    // What a host tells the SDK at every launch.
    virtual void hostSetUp() {
        SorvelHost::setServerBaseUrl(server_->baseUrl());
        SorvelHost::setNetworkAvailable(true);
        if (qaMode_) {
            SorvelHost::setInfoValue("SorvelQaMode", Value(true));
        }
    }
    // The next launch of the app on the same data, once the SDK's queue has
    // run everything the app asked for (a process that ends mid-way is the
    // kill tests' business).
    void relaunch() {
        SorvelHost::applicationWillResignActive();
        EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
        sdk_.relaunch();
        hostSetUp();
    }
    void start(const std::string& appKey = kAppKey, const std::string& secretKey = kSecretKey) {
        kv().initSorvel(appKey, secretKey);
        SorvelHost::applicationDidBecomeActive();
    }
    // The next launch, online, on this test's home after a child process
    // used it: true once a marker event it sent arrived.
    bool nextLaunchOnline() {
        SorvelHost::setDataFolder(sdk_.home());
        hostSetUp();
        start();
        return sendAndWait("next_launch");
    }

    static SorvelKV& kv() { return SorvelKV::getInstance(); }

    // Every event the server acknowledged, in the order they were recorded.
    std::vector<Value::Map> events() const {
        std::vector<Value::Map> out;
        for (const auto& r : testing::inRecordedOrder(server_->requests(Endpoint::EVENT_BULK))) {
            auto body = Value::fromJson(r.decodedBody);
            const Value::Map* map = body ? body->getMap() : nullptr;
            if (map == nullptr || !map->count("evts")) {
                continue;
            }
            for (const auto& e : *map->at("evts").getArray()) {
                out.push_back(*e.getMap());
            }
        }
        return out;
    }
    std::vector<Value::Map> events(const std::string& name) const {
        std::vector<Value::Map> out;
        for (auto& e : events()) {
            if (*e.at("event_name").getString() == name) {
                out.push_back(e);
            }
        }
        return out;
    }
    // Waits until the server acknowledged `count` events of the name.
    bool waitForEvents(const std::string& name, std::size_t count = 1) {
        return testing::waitUntil([&] { return events(name).size() >= count; });
    }
    // The app resigns, which sends what it recorded; waits for the marker event.
    bool sendAndWait(const std::string& marker) {
        kv().event(marker);
        SorvelHost::applicationWillResignActive();
        bool arrived = waitForEvents(marker);
        // The packages recorded before the marker may still be on their way
        // beside it: the upload round ends with the last of them.
        EXPECT_TRUE(DiContainer::shared().drain());
        SorvelHost::applicationDidBecomeActive();
        return arrived;
    }
    bool waitForLine(const std::string& text) {
        return testing::waitUntil([&] { return logs_.contains(text); });
    }

    bool qaMode_ = true;
    testing::FreshSdk sdk_;
    testing::LogCapture logs_;
    std::unique_ptr<tools::ServerDouble> server_;
};

inline const Value::Map& paramOf(const Value::Map& event) {
    return *event.at("param").getMap();
}

// The parameters the call gave, without the order numbers the pipeline adds.
inline Value::Map callParams(const Value::Map& event) {
    Value::Map params = paramOf(event);
    params.erase("svl:event_order_no");
    params.erase("svl:session_order_no");
    return params;
}

}  // namespace sorvel::facadetest

#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Common/Constants.h"
#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/Observable.h"
#include "Core/CoreFakes.h"
#include "Event/AutoEvent.h"
#include "Platform/Clock.h"
#include "Platform/Host.h"
#include "ServerDouble.h"
#include "support/TestSupport.h"

namespace sorvel::autotest {

inline constexpr const char* kSecretKey = "SECRETKEY0123456789abc";
inline constexpr const char* kAppKey = "APPKEY0123456789abcdef";
inline constexpr const char* kAdid = "11111111-2222-3333-4444-555555555555";

using namespace std::chrono_literals;

// The events the generators hand to their log-event action, from any thread.
class EventRecorder {
  public:
    LogEventAction action() {
        return [this](const LogEventParameter& p) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                events_.push_back(p);
            }
            testing::notifyWaiters();
        };
    }
    std::vector<LogEventParameter> events() const {
        std::lock_guard<std::mutex> lock(mu_);
        return events_;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : events()) {
            out.push_back(e.eventName);
        }
        return out;
    }
    std::size_t count() const {
        std::lock_guard<std::mutex> lock(mu_);
        return events_.size();
    }
    bool waitForCount(std::size_t n, std::chrono::milliseconds deadline = 10s) const {
        return testing::waitUntil([&] { return count() >= n; }, deadline);
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mu_);
        events_.clear();
    }

  private:
    mutable std::mutex mu_;
    std::vector<LogEventParameter> events_;
};

// A repository that counts the calls the generators make; every other
// operation does nothing.
class CountingRepository : public ::testing::NiceMock<coretest::MockRepository> {
  public:
    CountingRepository() {
        using ::testing::Invoke;
        ON_CALL(*this, syncApplicationConfigure()).WillByDefault(Invoke([this] {
            ++configSyncs;
            testing::notifyWaiters();
            if (onConfigSync) {
                onConfigSync();
            }
        }));
        ON_CALL(*this, fetchInAppMessages()).WillByDefault(Invoke([this] {
            ++inAppFetches;
            testing::notifyWaiters();
        }));
        ON_CALL(*this, resetInAppMessageSessionFrequency()).WillByDefault(Invoke([this] {
            ++frequencyResets;
            testing::notifyWaiters();
        }));
    }
    std::atomic<int> configSyncs{0};
    std::atomic<int> inAppFetches{0};
    std::atomic<int> frequencyResets{0};
    // Runs inside syncApplicationConfigure (set before the generator runs).
    std::function<void()> onConfigSync;
};

// Records the strings an observable posts.
class StringSink : public IObserver<std::string> {
  public:
    void update(const std::string& value) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            values_.push_back(value);
        }
        testing::notifyWaiters();
    }
    std::vector<std::string> values() const {
        std::lock_guard<std::mutex> lock(mu_);
        return values_;
    }
    std::size_t count() const { return values().size(); }

  private:
    mutable std::mutex mu_;
    std::vector<std::string> values_;
};

inline std::optional<std::string> stringParam(const LogEventParameter& e, const std::string& key) {
    auto it = e.eventParam.find(key);
    if (it == e.eventParam.end() || !it->second.getString()) {
        return std::nullopt;
    }
    return *it->second.getString();
}

// Drops the test's hold on a generator whose ticks run on the global queue and
// waits until no tick holds it any more. A tick publishes its end to no one:
// polled. The generator expires as the last holder starts to destroy it,
// which may be a tick, on its own thread: what the generator holds, it lets
// go a moment later (see waitUntilHeldAlone).
template <class T>
void releaseAndWait(std::shared_ptr<T>& generator) {
    std::weak_ptr<T> weak = generator;
    generator.reset();
    EXPECT_TRUE(testing::pollUntil([&] { return weak.expired(); }))
        << "a tick still holds the generator";
}

// Waits until the test's pointer is the only one left to what a released
// generator held, so nothing outlives the test: a mock still held when the
// program ends is reported as leaked.
template <class T>
void waitUntilHeldAlone(const std::shared_ptr<T>& held) {
    EXPECT_TRUE(testing::pollUntil([&] { return held.use_count() == 1; }))
        << held.use_count() - 1 << " other holders left";
}

// A fresh app on a manual clock: a real registry over its own settings
// store, the network up, every host of the maker on a server double.
class AutoEventTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setLocalZone(0);
        // Quality-assurance mode: the SDK's QA-only lines reach the system log.
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(nullptr);
        ASSERT_TRUE(server.start());
        server.setAnswerObserver([](const tools::RecordedRequest&) { testing::notifyWaiters(); });
        platform::host::mapHttpHost("*", server.baseUrl());
        registry = makeRegistry();
        registry->putString(std::string(kSecretKey), DataRegistryKey::STRING_SECRETKEY);
        registry->putString(std::string(kAppKey), DataRegistryKey::STRING_APPKEY);
        setNetwork(true);
    }
    void TearDown() override {
        setNetwork(std::nullopt);
        setLocalZone(std::nullopt);
    }

    // A registry over the same settings suite, as a new launch would open it.
    std::shared_ptr<DataRegistry> makeRegistry() {
        if (registry) {
            EXPECT_TRUE(registry->waitForPendingWrites().isOk());
        }
        return std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    }
    void setNetwork(std::optional<bool> up) {
        platform::host::setReachability(up ? std::optional<std::string>(*up ? "wifi" : "unknown")
                                           : std::nullopt);
    }
    // The device's zone, hours east of UTC; absent restores the machine's.
    void setLocalZone(std::optional<int> hoursEast) {
        platform::host::setTimeZone(
            hoursEast ? std::make_shared<platform::FixedTimeZone>(std::chrono::hours(*hoursEast))
                      : nullptr);
    }
    platform::ManualClock& clock() { return *sdk.clock(); }
    std::int64_t nowMs() { return autoevent::nowMillis(); }
    // Sets the wall clock to a UTC time of day on 2030-05-17 (a Friday).
    void setWallUtc(int hour, int minute, int second) {
        using namespace std::chrono;
        const sys_days day = year(2030) / May / 17;
        clock().setWall(platform::WallTime(day + hours(hour) + minutes(minute) + seconds(second)));
    }

    testing::FreshSdk sdk{true};
    tools::ServerDouble server{tools::ServerDouble::Options{"127.0.0.1", 0, kSecretKey}};
    std::shared_ptr<DataRegistry> registry;
};

}  // namespace sorvel::autotest

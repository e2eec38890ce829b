#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "AutoEventFixture.h"
#include "Data/ModelProvider/CommonModelProvider.h"
#include "Event/DeeplinkPostingObservable.h"
#include "Event/PushOpenMonitor.h"
#include "Platform/Device.h"
#include "Platform/Dispatch.h"
#include "Push/OsPushEnableObservable.h"

namespace sorvel::autotest {
namespace {

class BoolSink : public IObserver<bool> {
  public:
    void update(const bool& value) override {
        std::lock_guard<std::mutex> lock(mu_);
        values_.push_back(value);
    }
    std::vector<bool> values() const {
        std::lock_guard<std::mutex> lock(mu_);
        return values_;
    }

  private:
    mutable std::mutex mu_;
    std::vector<bool> values_;
};

// Adds another observer while it is being told a value.
class AddingObserver : public IObserver<std::string> {
  public:
    explicit AddingObserver(std::shared_ptr<IObserver<std::string>> next)
        : next_(std::move(next)) {}
    void update(const std::string& value) override {
        seen.push_back(value);
        if (next_) {
            DeeplinkPostingObservable::shared().addObserver(std::move(next_));
        }
    }
    std::vector<std::string> seen;

  private:
    std::shared_ptr<IObserver<std::string>> next_;
};

using ObservablesTest = AutoEventTest;

TEST_F(ObservablesTest, DeeplinksReachObserversInOrderAndLateObserversFromTheNextValue) {
    auto late = std::make_shared<StringSink>();
    auto first = std::make_shared<AddingObserver>(late);
    auto second = std::make_shared<StringSink>();
    auto& observable = DeeplinkPostingObservable::shared();
    observable.notifyObservers("nobody listens");
    observable.addObserver(first);
    observable.addObserver(second);
    observable.addObserver(second);  // no duplicate check: told twice
    observable.notifyObservers("app://one");
    observable.notifyObservers("app://two");
    EXPECT_EQ(first->seen, (std::vector<std::string>{"app://one", "app://two"}));
    EXPECT_EQ(second->values(),
              (std::vector<std::string>{"app://one", "app://one", "app://two", "app://two"}));
    EXPECT_EQ(late->values(), std::vector<std::string>{"app://two"});
}

TEST_F(ObservablesTest, OnlyAStringDeeplinkOfAJsonObjectIsPosted) {
    testing::LogCapture logs;
    auto sink = std::make_shared<StringSink>();
    auto& observable = DeferredDeeplinkPostingObservable::shared();
    observable.addObserver(sink);
    observable.postDeferredDeeplink(R"({"deeplink":"app://promo?x=1","other":2})");
    observable.postDeferredDeeplink(R"({"deeplink":""})");
    for (const char* bad : {R"({"deeplink":5})", R"({"deeplink":null})", R"({})", R"(["deeplink"])",
                            "not json", "", "{\"deeplink\":\"a\"", "{\"deeplink\":\"\xff\"}"}) {
        observable.postDeferredDeeplink(bad);
    }
    EXPECT_EQ(sink->values(), (std::vector<std::string>{"app://promo?x=1", ""}));
    EXPECT_TRUE(logs.contains("no deeplink information in deferredDeeplink response"));
    EXPECT_TRUE(logs.contains("jsonString2JsonDic"));
}

TEST_F(ObservablesTest, PermissionReadsOfTheRequestBlockReachEveryRegistration) {
    auto sink = std::make_shared<BoolSink>();
    auto& observable = OsPushEnableObservable::shared();
    observable.notifyObservers(false);  // no observers: nothing happens
    observable.addObserver(sink);
    observable.addObserver(sink);  // a second initialisation registers again

    platform::host::setNotificationAuthorizationStatus(
        platform::NotificationAuthorizationStatus::authorized);
    CommonModelProvider provider(registry, nullptr);
    // Read off the main thread, as a request does.
    platform::DispatchQueue::global().sync([&] { provider.getOsPushEnable(); });
    platform::host::setNotificationAuthorizationStatus(
        platform::NotificationAuthorizationStatus::denied);
    platform::DispatchQueue::global().sync([&] { provider.getOsPushEnable(); });
    EXPECT_EQ(sink->values(), (std::vector<bool>{true, true, false, false}));
}

TEST_F(ObservablesTest, PushOpenMarkIsTakenWholeAndOnce) {
    auto& monitor = PushOpenMonitor::shared();
    EXPECT_FALSE(monitor.isOpendByPush());
    EXPECT_FALSE(monitor.pushOpenEventParam());
    EXPECT_FALSE(monitor.take());
    monitor.reset();
    EXPECT_FALSE(monitor.isOpendByPush());

    monitor.mark({{"svl:gf:campaign_id", Value("c1")}});
    monitor.mark({{"svl:gf:campaign_id", Value("c2")}});
    EXPECT_TRUE(monitor.isOpendByPush());
    auto taken = monitor.take();
    ASSERT_TRUE(taken);
    EXPECT_EQ(*taken, (Value::Map{{"svl:gf:campaign_id", Value("c2")}}));
    EXPECT_FALSE(monitor.isOpendByPush());
    EXPECT_FALSE(monitor.pushOpenEventParam());
    EXPECT_FALSE(monitor.take());

    // The flag set alone (parameters never written) gives empty parameters.
    monitor.setIsOpendByPush(true);
    EXPECT_EQ(monitor.take(), Value::Map{});

    // A reader racing the writer gets each mark with its own parameters,
    // never the flag of one open without parameters.
    std::atomic<bool> done{false};
    std::atomic<int> takenCount{0};
    std::atomic<int> withoutParams{0};
    std::thread reader([&] {
        while (!done.load()) {
            if (auto p = monitor.take()) {
                ++takenCount;
                withoutParams += p->empty() ? 1 : 0;
            }
        }
    });
    for (int i = 0; i < 20000; ++i) {
        monitor.mark({{"svl:gf:step_id", Value(std::int64_t{i})}});
    }
    done = true;
    reader.join();
    EXPECT_GT(takenCount.load() + (monitor.take() ? 1 : 0), 0);
    EXPECT_EQ(withoutParams.load(), 0);
}

}  // namespace
}  // namespace sorvel::autotest

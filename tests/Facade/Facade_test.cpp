#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Event/EventBuffer.h"
#include "Event/EventPackageContainer.h"
#include "Event/EventUploadIntervalManager.h"
#include "FacadeFixture.h"
#include "Platform/Host.h"
#include "Push/OsPushEnableObservable.h"
#include "support/Uploads.h"

namespace sorvel::facadetest {
namespace {

TEST_F(FacadeTest, ValidKeysActivateAndEventsArriveTypedInTheirSession) {
    start();
    kv().eventWithAttr("level_started", attrs({{"level", Value(3)},
                                               {"mode", Value("hard")},
                                               {"ratio", Value(1.5)},
                                               {"boosted", Value(true)}}));
    SorvelHost::applicationWillResignActive();
    ASSERT_TRUE(waitForEvents("level_started"));

    // The configuration was fetched for the app key; every upload is signed.
    EXPECT_EQ(server_->requests(Endpoint::CONFIG).size(), 1u);
    for (const auto& r : server_->requests(Endpoint::EVENT_BULK)) {
        EXPECT_EQ(r.appKey, kAppKey);
        EXPECT_EQ(r.signature, "valid");
    }
    auto starts = events("start_session");
    ASSERT_EQ(starts.size(), 1u);
    const auto event = events("level_started").at(0);
    EXPECT_EQ(*event.at("group").getString(), "custom");
    EXPECT_EQ(callParams(event), (Value::Map{{"level", Value("long:3")},
                                             {"mode", Value("string:hard")},
                                             {"ratio", Value("double:1.5")},
                                             {"boosted", Value("boolean:true")}}));
    // The event belongs to the session the start opened, and follows it.
    EXPECT_EQ(paramOf(event).at("svl:session_order_no"), Value("long:2"));
    EXPECT_EQ(paramOf(starts[0]).at("svl:session_order_no"), Value("long:1"));
    ASSERT_TRUE(event.at("session_id").isString());
    EXPECT_EQ(event.at("session_id"), starts[0].at("session_id"));
    EXPECT_EQ(paramOf(starts[0]).at("svl:open_type"), Value("string:first_open"));
    EXPECT_EQ(event.at("prev_id"), starts[0].at("log_id"));
}

// One call drains the road: what the app recorded before it, on any thread,
// has passed the controller and the buffer when it returns.
TEST_F(FacadeTest, OneCallDrainsTheControllerAndTheBuffer) {
    start();
    SorvelHost::setNetworkAvailable(false);
    auto& container = DiContainer::shared();
    ASSERT_TRUE(container.drain());
    const std::size_t buffered = container.eventBuffer()->bufferedEventCount();
    const std::size_t packages = container.eventPackageContainer()->packageCount();
    std::vector<std::thread> apps;
    for (int t = 0; t < 5; ++t) {
        apps.emplace_back([t] {
            for (int i = 0; i < 5; ++i) {
                kv().eventWithAttr("drained", attrs({{"n", Value(t * 5 + i)}}));
            }
        });
    }
    for (auto& a : apps) {
        a.join();
    }
    ASSERT_TRUE(container.drain());
    EXPECT_EQ(container.eventBuffer()->bufferedEventCount(), (buffered + 25) % 10);
    EXPECT_EQ(container.eventPackageContainer()->packageCount(), packages + (buffered + 25) / 10);
}

// The durable wait does not wait for the network: with the upload held by the
// server, what the app recorded is on disk for the next launch when it
// returns. The drain waits for the upload too.
TEST_F(FacadeTest, TheDurableWaitStoresWithoutTheUploadAndTheDrainWaitsForIt) {
    testing::HeldAnswers gate;
    server_->setResponder(Endpoint::EVENT_BULK, gate.responder([](const auto&) { return 200; }));
    start();
    kv().event("kept");
    SorvelHost::applicationWillResignActive();
    ASSERT_TRUE(testing::waitUntil([&] { return gate.held() > 0; }));

    std::optional<Status> stored;
    EXPECT_TRUE(testing::endsWithin(
        std::chrono::seconds(10), [&] { stored = DiContainer::shared().waitForDurableWrites(); },
        [&] { gate.open(); }))
        << "the durable wait waited for the held upload";
    ASSERT_TRUE(stored && *stored) << (stored ? stored->message() : "");
    // Another reader of the settings store (the next launch) finds the event.
    {
        DataRegistry reader(std::make_shared<DefaultDataContext>());
        const auto list = reader.getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
        ASSERT_TRUE(list);
        EXPECT_NE(std::string(list->begin(), list->end()).find("kept"), std::string::npos);
    }
    EXPECT_TRUE(events("kept").empty());

    gate.open();
    ASSERT_TRUE(DiContainer::shared().drain());
    EXPECT_EQ(events("kept").size(), 1u) << "the drain returned before the upload ended";
}

TEST_F(FacadeTest, KeysOfAnotherLengthDisableWithTheExactLines) {
    start("FacadeAppKey012345678", kSecretKey);  // 21 characters
    ASSERT_TRUE(waitForLine("AppKey가 길이 22의 문자열이 아닙니다."));
    ASSERT_TRUE(waitForLine("SVL SDK가 Disabled 되었습니다. 이유는 = Invalid AppKey"));
    // The held activation met the disabled state.
    ASSERT_TRUE(waitForLine("Disabled된 SVL SDK의 Method가 호출되었습니다."));
    kv().event("refused");

    relaunch();
    start(kAppKey, "FacadeSecret01234567890");  // 23 characters
    ASSERT_TRUE(waitForLine("SecretKey가 길이 22의 문자열이 아닙니다."));
    ASSERT_TRUE(waitForLine("이유는 = Invalid SecretKey"));
    SorvelHost::applicationWillResignActive();
    EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    // Nothing reached a server: no configuration, no event.
    EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(FacadeTest, APausedConfigurationDisables) {
    server_->setConfigText(R"({"pause":true})");
    start();
    ASSERT_TRUE(waitForLine("이유는 = Sorvel Pause"));
    logs_.clear();
    kv().event("refused");
    EXPECT_TRUE(waitForLine("Sorvel Disabled : true"));
    // The guard answers the delete request at once.
    std::optional<Completion> outcome;
    kv().deleteUserDataAndStopSDK("u", [&](Completion c) { outcome = c; });
    EXPECT_EQ(outcome, Completion::FAILURE);
    EXPECT_TRUE(events().empty());
}

TEST_F(FacadeTest, AllStopStaysDisabledOnTheNextLaunch) {
    server_->setConfigText(R"({"allStop":true})");
    start();
    ASSERT_TRUE(waitForLine("이유는 = Sorvel All Stop"));

    // The next launch does not fetch the configuration again and does not
    // start: the stored flag fails the initialisation.
    server_->setConfigText(R"({"allStop":false})");
    relaunch();
    logs_.clear();
    start();
    ASSERT_TRUE(waitForLine("이유는 = Initializing Failed"));
    kv().event("refused");
    SorvelHost::applicationWillResignActive();
    EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    EXPECT_EQ(server_->requests(Endpoint::CONFIG).size(), 1u);
    EXPECT_TRUE(events().empty());
}

TEST_F(FacadeTest, A400AnswerDisablesOnEveryLaunch) {
    server_->setDefaultAnswer(Endpoint::CONFIG, tools::ScriptedAnswer{400, "{}"});
    for (int launch = 1; launch <= 2; ++launch) {
        SCOPED_TRACE(launch);
        if (launch == 2) {
            relaunch();
            logs_.clear();
        }
        start();
        ASSERT_TRUE(waitForLine("이유는 = SorvelAllStop"));
        kv().event("refused");
        SorvelHost::applicationWillResignActive();
        EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    }
    EXPECT_EQ(server_->requests(Endpoint::CONFIG).size(), 2u);
    EXPECT_TRUE(events().empty());
}

TEST_F(FacadeTest, DeleteThenRestartStartsTheSdkAgain) {
    start();
    kv().login("user-1");
    ASSERT_TRUE(sendAndWait("before_delete"));

    std::atomic<int> deleted{-1};
    kv().deleteUserDataAndStopSDK("user-1", [&](Completion c) {
        deleted = static_cast<int>(c);
        testing::notifyWaiters();
    });
    ASSERT_TRUE(testing::waitUntil([&] { return deleted.load() >= 0; }));
    EXPECT_EQ(deleted.load(), static_cast<int>(Completion::SUCCESS));
    EXPECT_EQ(server_->requests(Endpoint::DRWORKS).size(), 1u);
    kv().event("while_stopped");

    std::atomic<int> restarted{-1};
    kv().restartSDK("user-1", [&](Completion c) {
        restarted = static_cast<int>(c);
        testing::notifyWaiters();
    });
    ASSERT_TRUE(testing::waitUntil([&] { return restarted.load() >= 0; }));
    EXPECT_EQ(restarted.load(), static_cast<int>(Completion::SUCCESS));
    EXPECT_EQ(server_->requests(Endpoint::DRWORKS).size(), 2u);

    ASSERT_TRUE(sendAndWait("after_restart"));
    EXPECT_TRUE(events("while_stopped").empty());
    // Initialised again: the configuration was fetched a second time.
    EXPECT_EQ(server_->requests(Endpoint::CONFIG).size(), 2u);
}

TEST_F(FacadeTest, CommonFamilyPurchasePagesItsProducts) {
    start();
    kv().commonPurchaseWithAttr("order-250", products(250), 2500.0, 10.0, 2.5,
                                SorvelKvPaymentMethod::BANK_TRANSFER,
                                attrs({{"coupon", Value("spring")}}));
    kv().commonPurchase("order-0", {}, 0.0, 0.0, 0.0, SorvelKvPaymentMethod::ETC);
    kv().commonSignUp(static_cast<SorvelKvSignUpChannel>(99));  // undeclared: refused
    kv().commonSignUp(SorvelKvSignUpChannel::APPLE_ID);
    ASSERT_TRUE(sendAndWait("marker"));

    auto purchases = events("purchase");
    ASSERT_EQ(purchases.size(), 4u);
    std::vector<std::size_t> sizes;
    for (int page = 0; page < 3; ++page) {
        const auto& p = paramOf(purchases[page]);
        EXPECT_EQ(p.at("svl:page"), Value("long:" + std::to_string(page + 1)));
        EXPECT_EQ(p.at("svl:order_id"), Value("string:order-250"));
        EXPECT_EQ(p.at("svl:payment_method"), Value("string:BankTransfer"));
        EXPECT_EQ(p.at("svl:order_sales"), Value("double:2500.0"));
        EXPECT_EQ(p.at("svl:delivery_charge"), Value("double:2.5"));
        EXPECT_EQ(p.at("coupon"), Value("string:spring"));
        sizes.push_back(p.at("svl:items").getArray()->size());
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{100, 100, 50}));
    // The last product of the last page, typed.
    const auto& last = *paramOf(purchases[2]).at("svl:items").getArray()->back().getMap();
    EXPECT_EQ(last.at("svl:product_id"), Value("string:p249"));
    EXPECT_EQ(last.at("svl:price"), Value("double:10.0"));
    const auto& empty = paramOf(purchases[3]);
    EXPECT_EQ(empty.at("svl:page"), Value("long:1"));
    EXPECT_FALSE(empty.count("svl:items"));

    auto signUps = events("sign_up");
    ASSERT_EQ(signUps.size(), 1u);
    EXPECT_EQ(paramOf(signUps[0]).at("svl:sign_channel"), Value("string:AppleId"));
    EXPECT_TRUE(waitForLine("sign_up :: SorvelKvSignUpChannel value 99 is not declared"));
}

TEST_F(FacadeTest, CommerceFamilyCapsCategoriesAndCarriesOneProduct) {
    start();
    SorvelKvCommerceProductCategoryModel seven;
    seven.setModel({"c1", "c2", "c3", "c4", "c5", "c6", "c7"});
    kv().commerceCategoryView(seven, products(1));
    kv().commerceCategoryView(SorvelKvCommerceProductCategoryModel{}, products(1));  // refused
    kv().commerceProductViewWithAttr(products(1)[0], attrs({{"shelf", Value(4)}}));
    kv().commerceShare(static_cast<SorvelKvSharingChannel>(0), products(1)[0]);  // refused
    ASSERT_TRUE(sendAndWait("marker"));

    auto views = events("category_view");
    ASSERT_EQ(views.size(), 1u);
    const auto& view = paramOf(views[0]);
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(view.at("svl:category" + std::to_string(i)),
                  Value("string:c" + std::to_string(i)));
    }
    EXPECT_FALSE(view.count("svl:category6"));
    EXPECT_EQ(view.at("svl:items").getArray()->size(), 1u);

    auto productViews = events("product_view");
    ASSERT_EQ(productViews.size(), 1u);
    const auto& pv = paramOf(productViews[0]);
    EXPECT_EQ(pv.at("shelf"), Value("long:4"));
    ASSERT_EQ(pv.at("svl:items").getArray()->size(), 1u);
    EXPECT_FALSE(pv.count("svl:page"));
    EXPECT_TRUE(events("share").empty());
    // Log lines reach the sink on the logging queue, after the call returned.
    EXPECT_TRUE(waitForLine("categoryView: categoryModel is null or Empty"));
}

TEST_F(FacadeTest, GameFamilyAndUserIdentity) {
    start();
    kv().gameLevelAchievedWithAttr(-3, attrs({{"world", Value("w1")}}));
    kv().gameTutorialCompleted(false);
    kv().login("user-7");
    kv().setUserPropertiesWithAttr(attrs({{"plan", Value("gold")}}));
    ASSERT_TRUE(sendAndWait("marker"));

    auto levels = events("level_achieved");
    ASSERT_EQ(levels.size(), 1u);
    EXPECT_EQ(callParams(levels[0]),
              (Value::Map{{"world", Value("string:w1")}, {"svl:level", Value("long:-3")}}));
    EXPECT_EQ(paramOf(events("tutorial_completed").at(0)).at("svl:is_skip"),
              Value("boolean:false"));
    // The login and the property change, and the user's properties on the
    // events after them.
    ASSERT_EQ(events("login").size(), 1u);
    EXPECT_GE(events("user_property_changed").size(), 1u);
    const auto marker = events("marker").at(0);
    const auto& properties = *marker.at("user_properties").getMap();
    EXPECT_EQ(properties.at("svl:user_id"), Value("string:user-7"));
    EXPECT_EQ(properties.at("c:plan"), Value("string:gold"));
}

TEST_F(FacadeTest, ASecondInitSorvelRegistersNothingTwice) {
    start();
    kv().initSorvel(kAppKey, kSecretKey);
    ASSERT_TRUE(waitForLine("현재상태 : Active 에서는 initialize 명령을 수행할 수 없습니다."));
    // One activation notification, one start of a session.
    ASSERT_TRUE(sendAndWait("marker"));
    EXPECT_EQ(events("start_session").size(), 1u);
}

// The log delegate and the other slots, set from eight threads while the
// logger hands lines to whichever log delegate is set: every line reaches
// exactly one delegate, none is lost or doubled.
class DelegateRaceTest : public FacadeTest {
  protected:
    DelegateRaceTest() { qaMode_ = false; }
};

class CountingLog : public SorvelKVLogDelegate {
  public:
    void didPrintLog(SorvelLogLevel, const std::string& log) override {
        if (log.rfind("SDK STOPPED STATE", 0) == 0) {
            lines.fetch_add(1);
            testing::notifyWaiters();
        }
    }
    std::atomic<int> lines{0};
};

TEST_F(DelegateRaceTest, SettersRacedByEightThreadsWhileTheLoggerCallsThem) {
    std::vector<std::shared_ptr<CountingLog>> delegates;
    for (int i = 0; i < 8; ++i) {
        delegates.push_back(std::make_shared<CountingLog>());
    }
    kv().setLogDelegate(delegates[0]);
    std::atomic<bool> stop{false};
    std::vector<std::thread> setters;
    for (int t = 0; t < 8; ++t) {
        setters.emplace_back([&, t] {
            auto deeplink = makeDeeplinkDelegate([](const std::string&) {});
            for (int i = 0; !stop.load(); ++i) {
                kv().setLogDelegate(delegates[(t + i) % delegates.size()]);
                kv().setDeeplinkDelegate(i % 2 ? deeplink : nullptr);
                (void)kv().getDeeplinkDelegate();
                (void)kv().getLogDelegate();
            }
        });
    }
    constexpr int kLines = 2000;
    for (int i = 0; i < kLines; ++i) {
        kv().printSdkState();
    }
    ASSERT_TRUE(testing::waitUntil([&] {
        int total = 0;
        for (auto& d : delegates) {
            total += d->lines.load();
        }
        return total == kLines;
    }));
    stop = true;
    for (auto& t : setters) {
        t.join();
    }
    int total = 0;
    for (auto& d : delegates) {
        total += d->lines.load();
    }
    EXPECT_EQ(total, kLines);
}

}  // namespace
}  // namespace sorvel::facadetest

namespace sorvel::facadetest {
namespace {

TEST_F(FacadeTest, DeeplinkOpensCountOnlyAfterTheFirstOpenAndInASession) {
    const auto link = [] {
        return "app://promo?svl_tid=" +
               std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count()) +
               ":t&svl_tracker_id=tr";
    };
    // Before the first open was recorded the link is ignored, not even kept.
    kv().deepLinkOpen(link());
    start();
    ASSERT_TRUE(sendAndWait("first"));
    EXPECT_EQ(paramOf(events("start_session").at(0)).at("svl:open_type"),
              Value("string:first_open"));

    // In the running session: the deeplink-open event, and the app's delegate.
    std::atomic<int> delegated{0};
    kv().setDeeplinkDelegate(makeDeeplinkDelegate([&](const std::string&) {
        delegated.fetch_add(1);
        testing::notifyWaiters();
    }));
    kv().deepLinkOpen(link());
    ASSERT_TRUE(sendAndWait("second"));
    ASSERT_EQ(events("deeplink_open").size(), 1u);
    EXPECT_EQ(paramOf(events("deeplink_open")[0]).at("svl:deeplink_adkey").getString()->back(),
              't');
    EXPECT_TRUE(testing::waitUntil([&] { return delegated.load() == 1; }));

    kv().deepLinkOpen("");  // not a URL
    EXPECT_TRUE(waitForLine("Deeplink :: urlString cannot be casted to URL Type. urlString : "));
}

TEST_F(FacadeTest, UploadIntervalsTakeAnyPositiveCountAndDeclaredTimesOnly) {
    start();
    kv().setEventUploadTimeInterval(SorvelEventUploadTimeInterval::SECONDS_30);
    // A plain integer, as a caller without the enum passes it, arrives as it is.
    kv().setEventUploadCountInterval(static_cast<SorvelEventUploadCountInterval>(45));
    kv().setEventUploadTimeInterval(static_cast<SorvelEventUploadTimeInterval>(0));
    EXPECT_TRUE(waitForLine("set EventUploadTimeInterval : 30"));
    EXPECT_TRUE(waitForLine("set EventUploadCountInterval : 45"));
    EXPECT_EQ(EventUploadIntervalManager::shared().countInterval(), 45);
    kv().setEventUploadCountInterval(static_cast<SorvelEventUploadCountInterval>(0));
    EXPECT_TRUE(waitForLine("setEventUploadCountInterval :: 0 is not a positive count"));
    EXPECT_EQ(EventUploadIntervalManager::shared().countInterval(), 45);
    EXPECT_TRUE(waitForLine("setEventUploadTimeInterval :: 0 is not a declared"));
    EXPECT_EQ(kv().convertTimeInterval(119), SorvelEventUploadTimeInterval::SECONDS_60);
    kv().printSdkState();
    EXPECT_TRUE(waitForLine("SDK STOPPED STATE :: SDK normal state!"));
}

TEST_F(FacadeTest, ForgetMeErasesDisablesAndIsAnsweredOnce) {
    start();
    EXPECT_FALSE(kv().isGdprForgetMe());
    kv().gdprForgetMe();
    ASSERT_TRUE(waitForLine("이유는 = GDPR FORGET ME"));
    ASSERT_TRUE(testing::waitUntil([&] { return server_->requests(Endpoint::GDPR).size() == 1; }));
    EXPECT_TRUE(kv().isGdprForgetMe());
    kv().event("refused");
    // Once the confirmation is stored (nothing tells the test), a further
    // request only logs.
    ASSERT_TRUE(testing::pollUntil([] {
        return DiContainer::shared().dataRegistry()->getBool(
            DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC, false);
    }));
    kv().gdprForgetMe();
    EXPECT_TRUE(waitForLine("GDPR is already set to 'true'"));
    EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    EXPECT_EQ(server_->requests(Endpoint::GDPR).size(), 1u);
    EXPECT_TRUE(events("refused").empty());
}

TEST_F(FacadeTest, AnOsPermissionChangeIsStoredAndSentOnce) {
    // The OS allows notifications; every request the SDK builds reads that.
    platform::host::setNotificationAuthorizationStatus(
        platform::NotificationAuthorizationStatus::authorized);
    start();
    ASSERT_TRUE(sendAndWait("first"));
    // The same report again, as the platform gives it with each request.
    OsPushEnableObservable::shared().notifyObservers(true);
    ASSERT_TRUE(sendAndWait("second"));
    EXPECT_EQ(events("set_push").size(), 1u);
    EXPECT_TRUE(DiContainer::shared().dataRegistry()->getBool(
        DataRegistryKey::BOOL_IS_PUSH_ENABLE_OS, false));
}

}  // namespace
}  // namespace sorvel::facadetest

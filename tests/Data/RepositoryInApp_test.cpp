#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CampaignListServer.h"
#include "Common/SVLBooleanState.h"
#include "Data/InAppMessageFixture.h"
#include "Data/Repository/InAppMessageDisplay.h"
#include "Data/RepositoryFixture.h"
#include "InAppMessage/InAppMessageDAO.h"
#include "Platform/Host.h"
#include "Platform/RunLoop.h"
#include "Platform/UI/View.h"

namespace sorvel::repotest {
namespace {

constexpr const char* kOtherProcessEnv = "SORVEL_IAM_OTHER_PROCESS";

// Another process of the app on the same data folder: it stores a list whose
// second campaign is triggered by "custom:sell", then ends.
int runAsOtherProcessIfAsked() {
    const char* home = std::getenv(kOtherProcessEnv);
    if (home == nullptr) {
        return 0;
    }
    platform::host::setHomeFolder(home);
    platform::host::setKeychainFolder(std::string(home) + "/keychain");
    platform::host::setReachability(std::string("unknown"));
    auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    auto dao = InAppMessageDAO::create(registry);
    if (!dao) {
        std::printf("failed\n");
        std::fflush(stdout);
        std::_Exit(1);
    }
    Value::Map sell = iamtest::campaign("sell");
    sell["triggers"] = Value(Value::Array{Value(Value::Map{
        {"evt", Value("custom:sell")}, {"type", Value("inappevent")}, {"priority", Value(1)}})});
    dao->insertApiResponse2Table(
        iamtest::answer({Value(iamtest::campaign("c1")), Value(sell)}, "sum-other"));
    const bool stored = dao->store().getAllCampaignId().size() == 2;
    std::printf(stored ? "done\n" : "failed\n");
    std::fflush(stdout);
    std::_Exit(0);
}
const int kOtherProcessDone = runAsOtherProcessIfAsked();

// Records what the trigger road hands to the screen, and logs an impression
// through the sink as a view would.
class RecordingDisplay final : public IInAppMessageDisplay {
  public:
    // While held, the in-app queue's lookup waits here.
    bool isPortrait() override {
        portraitAsks.fetch_add(1);
        testing::notifyWaiters();
        EXPECT_TRUE(testing::waitUntil([&] { return !held.load(); }));
        return portrait.load();
    }
    void release() {
        held.store(false);
        testing::notifyWaiters();
    }
    void display(std::shared_ptr<const InAppMessage> message, InAppLogEvent logEvent) override {
        onMain.store(platform::isMainThread());
        logEvent(LogEventParameter::initWithEventName(
            "svl", "in_app_message_action", {{"svl:gf:event_type", Value("impression")}}));
        {
            std::lock_guard<std::mutex> lock(mu);
            shown.push_back(std::move(message));
        }
        testing::notifyWaiters();
    }
    std::vector<std::shared_ptr<const InAppMessage>> messages() {
        std::lock_guard<std::mutex> lock(mu);
        return shown;
    }

    std::atomic<bool> portrait{true};
    std::atomic<bool> onMain{false};
    std::atomic<bool> held{false};
    std::atomic<int> portraitAsks{0};

  private:
    std::mutex mu;
    std::vector<std::shared_ptr<const InAppMessage>> shown;
};

class RepositoryInAppTest : public RepositoryFixture {
  protected:
    void SetUp() override {
        RepositoryFixture::SetUp();
        SVLBooleanState::isInAppMessageShowing().set(false);
        dao = InAppMessageDAO::create(registry);
        ASSERT_TRUE(dao);
        display = std::make_shared<RecordingDisplay>();
        repository = std::make_shared<Repository>(
            userProperties, registry, buffer, EventSamplingFilter::create(registry), realtime,
            std::make_shared<DeviceStaticDataProvider>(registry), nullptr, dao, display);
        registry->putBool(true, DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE);
    }
    void TearDown() override {
        SVLBooleanState::isInAppMessageShowing().set(false);
        dao->waitForImageQueue();
    }

    // Runs the download to its end: the request, then the ingest it queued,
    // then the image downloads the ingest queued.
    void fetchAndSettle() {
        repository->fetchInAppMessages();
        repository->waitForInAppQueue();
        repository->waitForInAppQueue();
        dao->waitForImageQueue();
    }
    // Triggers, then runs on the main loop what the in-app queue handed it;
    // the number of messages displayed so far.
    std::size_t trigger(const std::string& event) {
        repository->getInAppMessage(event);
        repository->waitForInAppQueue();
        platform::RunLoop::main().runUntilIdle();
        return display->messages().size();
    }
    std::vector<std::string> counters(const std::string& id) {
        int rc = 0;
        auto db = platform::sqlite::Connection::open(
            platform::documentsFolder() + "/SvlInAppMessage.sqlite", SQLITE_OPEN_READONLY, rc);
        if (!db) {
            return {};
        }
        auto st = db->prepare(
            "SELECT CurrentFrequencyCapPerSession, CurrentFrequencyCapPerUser FROM "
            "CurrentFrequency WHERE CampaignId = " +
            platform::sqlite::quote(id));
        if (!st || st.step() != SQLITE_ROW) {
            return {};
        }
        return {st.columnText(0), st.columnText(1)};
    }

    std::shared_ptr<InAppMessageDAO> dao;
    std::shared_ptr<RecordingDisplay> display;
    tools::CampaignListServer campaigns{server};
};

TEST_F(RepositoryInAppTest, DownloadTriggerBuildWithImageAndCountOnce) {
    campaigns.addImage("p.png", testing::pngOf(testing::solidImage(5, 4, 10, 20, 30)));
    Value::Map c = iamtest::withImages(iamtest::campaign("c1"), campaigns.imageUrl("p.png"),
                                       campaigns.imageUrl("missing.png"));
    c["frequency_cap"] = Value(Value::Map{{"per_session", Value(1)}});
    campaigns.setCampaigns(Value(Value::Array{Value(c)}).toJson(), "sum-1", 30);

    fetchAndSettle();
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, ""), "sum-1");
    EXPECT_EQ(registry->getInt(DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY, 0), 30);
    auto sent = server.requests(tools::Endpoint::IAM_CAMPAIGNS);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].signature, "valid");
    auto body = Value::fromJson(sent[0].decodedBody);
    ASSERT_TRUE(body && body->isMap());
    EXPECT_EQ(body->getMap()->at("in_app_message"), Value(Value::Map{{"checksum", Value("")}}));
    EXPECT_TRUE(body->getMap()->at("common").isMap());
    EXPECT_TRUE(logged("inAppMessageApiConnection start ::: "));
    // The line names the server the request went to, not the region's host.
    EXPECT_TRUE(logged("inAppMessageRequest Url: " + server.baseUrl() +
                       "/api/v1/inappmessage/campaigns/get"));
    EXPECT_TRUE(logged("inAppMessageApiConnection connectSuccess !! response:  {"));

    ASSERT_EQ(trigger("custom:buy"), 1u);
    auto m = display->messages()[0];
    EXPECT_TRUE(display->onMain.load());
    EXPECT_EQ(m->campaignId, "c1");
    ASSERT_TRUE(m->portraitImage);
    EXPECT_EQ(*m->portraitImage, testing::solidImage(5, 4, 10, 20, 30));
    EXPECT_TRUE(m->isPortraitImageDownloaded);  // fetched in the background, first shown now
    EXPECT_FALSE(m->landscapeImage);
    EXPECT_EQ(m->imageClickAction.actionType, "deeplink");
    EXPECT_EQ(counters("c1"), (std::vector<std::string>{"1", "1"}));
    // The view's impression took the event road.
    bool impression = false;
    for (const auto& e : storedEvents()) {
        impression = impression || text(e, "event_name") == "in_app_message_action";
    }
    for (const auto& r : server.requests(tools::Endpoint::EVENT_BULK)) {
        impression =
            impression || r.decodedBody.find("\"in_app_message_action\"") != std::string::npos;
    }
    EXPECT_TRUE(impression);

    // A message on screen refuses the next trigger without asking the store.
    SVLBooleanState::isInAppMessageShowing().set(true);
    EXPECT_EQ(trigger("custom:buy"), 1u);
    EXPECT_TRUE(logged("InAppMessage already shown"));
    EXPECT_EQ(counters("c1"), (std::vector<std::string>{"1", "1"}));
    SVLBooleanState::isInAppMessageShowing().set(false);
    // The session cap holds until the next session.
    EXPECT_EQ(trigger("custom:buy"), 1u);
    EXPECT_TRUE(
        logged("getInAppMessageByCampaignId Fail, No Valid InAppMessage, eventName : "
               "custom:buy"));
    repository->resetInAppMessageSessionFrequency();
    EXPECT_EQ(trigger("custom:buy"), 2u);
    EXPECT_EQ(counters("c1"), (std::vector<std::string>{"1", "2"}));
    // An event no campaign names is answered at once, with the same line.
    EXPECT_EQ(trigger("custom:browse"), 2u);
    EXPECT_TRUE(
        logged("getInAppMessageByCampaignId Fail, No Valid InAppMessage, eventName : "
               "custom:browse"));

    // The next download carries the checksum and is answered "unchanged".
    fetchAndSettle();
    EXPECT_EQ(campaigns.unchangedAnswers(), 1u);
    sent = server.requests(tools::Endpoint::IAM_CAMPAIGNS);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_NE(sent[1].decodedBody.find(R"("checksum":"sum-1")"), std::string::npos);
    EXPECT_EQ(campaigns.imageRequests("p.png"), 1u);
}

// A lookup still under way on the in-app queue changes no trigger name: an
// event no campaign names is answered at once behind it, and the lookup ends
// as it would have.
TEST_F(RepositoryInAppTest, AnEventNoCampaignNamesIsAnsweredAtOnceBehindALookup) {
    campaigns.setCampaigns(Value(Value::Array{Value(iamtest::campaign("c1"))}).toJson(), "sum-1",
                           30);
    fetchAndSettle();
    display->held.store(true);
    repository->getInAppMessage("custom:buy");
    ASSERT_TRUE(testing::waitUntil([&] { return display->portraitAsks.load() == 1; }));
    for (const char* other : {"custom:browse", "custom:browse_a_while_longer"}) {
        repository->getInAppMessage(other);
        EXPECT_TRUE(logged(
            std::string("getInAppMessageByCampaignId Fail, No Valid InAppMessage, eventName : ") +
            other))
            << other;
    }
    EXPECT_EQ(display->portraitAsks.load(), 1) << "the others never reached the queue";
    display->release();
    repository->waitForInAppQueue();
    platform::RunLoop::main().runUntilIdle();
    ASSERT_EQ(display->messages().size(), 1u);
    EXPECT_EQ(display->messages()[0]->campaignId, "c1");
    // A campaign's event still takes the queue after it.
    EXPECT_EQ(trigger("custom:buy"), 2u);
    EXPECT_EQ(display->portraitAsks.load(), 2);
}

TEST_F(RepositoryInAppTest, SwitchOffOfflineAndServerFailures) {
    campaigns.setCampaigns(Value(Value::Array{Value(iamtest::campaign("c1"))}).toJson(), "s");
    registry->putBool(false, DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE);
    repository->fetchInAppMessages();
    repository->getInAppMessage("custom:buy");
    repository->resetInAppMessageSessionFrequency();
    repository->waitForInAppQueue();
    EXPECT_EQ(server.requests(tools::Endpoint::IAM_CAMPAIGNS).size(), 0u);
    EXPECT_FALSE(logged("inAppMessageApiConnection start"));
    EXPECT_FALSE(logged("getInAppMessageByCampaignId"));

    registry->putBool(true, DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE);
    platform::host::setReachability(std::string("unknown"));
    repository->fetchInAppMessages();
    EXPECT_TRUE(logged("InAppMessageApiConnection Fail. You are not connected to Internet"));
    platform::host::setReachability(std::string("wifi"));

    tools::ScriptedAnswer failure;
    failure.status = 500;
    server.script(tools::Endpoint::IAM_CAMPAIGNS, failure);
    fetchAndSettle();
    EXPECT_TRUE(logged("inAppMessageApiConnection connectFail!!, responseCode : 500 "));
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, "<none>"),
              "<none>");

    // Landscape only for a portrait screen: nothing shown, nothing counted.
    Value::Map land = iamtest::campaign("land");
    land["page_orientation"] = Value(Value::Array{Value("landscape")});
    campaigns.setCampaigns(Value(Value::Array{Value(land)}).toJson(), "s2");
    fetchAndSettle();
    EXPECT_EQ(trigger("custom:buy"), 0u);
    EXPECT_EQ(counters("land"), (std::vector<std::string>{"0", "0"}));
    display->portrait = false;
    EXPECT_EQ(trigger("custom:buy"), 1u);

    // No campaign active: the stored ones stay.
    campaigns.setCampaigns("[]", "");
    fetchAndSettle();
    EXPECT_EQ(campaigns.noCampaignAnswers(), 1u);
    EXPECT_TRUE(logged("isCampaignChanged: No Active Campaign"));
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, ""),
              "__no_active_campaign__");
    EXPECT_EQ(dao->store().getAllCampaignId(), (std::vector<std::string>{"land"}));
}

TEST_F(RepositoryInAppTest, TheDefaultDisplayLaysTheViewOnTheWindow) {
    auto plain = std::make_shared<Repository>(
        userProperties, registry, buffer, EventSamplingFilter::create(registry), realtime,
        std::make_shared<DeviceStaticDataProvider>(registry), nullptr, dao);
    auto window = platform::host::addWindow(platform::mainScreenBounds(),
                                            platform::kWindowLevelNormal, {}, true);
    Value::Map noLayout = iamtest::campaign("no-layout");
    noLayout["type"] = Value("full_screen");
    noLayout["triggers"] = Value(Value::Array{Value(Value::Map{
        {"evt", Value("custom:other")}, {"type", Value("inappevent")}, {"priority", Value(1)}})});
    campaigns.setCampaigns(
        Value(Value::Array{Value(iamtest::campaign("c1")), Value(noLayout)}).toJson(), "s");
    plain->fetchInAppMessages();
    plain->waitForInAppQueue();
    plain->waitForInAppQueue();

    // A type and layout without a view: its line, and nothing on screen.
    plain->getInAppMessage("custom:other");
    plain->waitForInAppQueue();
    platform::RunLoop::main().runUntilIdle();
    EXPECT_TRUE(logged("Unknown InAppMessage Type or Layout, Type = full_screen, Layout = text"));
    EXPECT_TRUE(window->subviews().empty());

    plain->getInAppMessage("custom:buy");
    plain->waitForInAppQueue();
    EXPECT_TRUE(platform::RunLoop::main().runUntil(
        [&] { return SVLBooleanState::isInAppMessageShowing().get(); }, std::chrono::seconds(10)));
    EXPECT_EQ(window->subviews().size(), 1u);
    platform::host::removeAllWindows();
}

// Events that no campaign names are answered on the caller's thread, but
// only from trigger names read after the last commit to the store: a list
// that another process of the app stored on the same data folder is looked
// up at the next event, though nothing of this process touched the store.
TEST_F(RepositoryInAppTest, AListAnotherProcessStoredIsSeenByTheNextEvent) {
    campaigns.setCampaigns(Value(Value::Array{Value(iamtest::campaign("c1"))}).toJson(), "sum-1",
                           30);
    fetchAndSettle();
    // The names are current: an event no campaign names never reaches the queue.
    repository->getInAppMessage("custom:sell");
    repository->waitForInAppQueue();
    ASSERT_EQ(trigger("custom:sell"), 0u);
    const int asksBefore = display->portraitAsks.load();
    repository->getInAppMessage("custom:sell");
    EXPECT_EQ(display->portraitAsks.load(), asksBefore);

    const std::string said =
        testing::runSelf({std::string(kOtherProcessEnv) + "=" + platform::homeFolder()}, "done");
    ASSERT_NE(said.find("done"), std::string::npos) << said;

    ASSERT_EQ(trigger("custom:sell"), 1u);
    EXPECT_EQ(display->messages()[0]->campaignId, "sell");
    EXPECT_EQ(counters("sell"), (std::vector<std::string>{"1", "1"}));
    // Once the names were read again, other events are answered at once again.
    const int asksAfter = display->portraitAsks.load();
    repository->getInAppMessage("custom:browse");
    EXPECT_EQ(display->portraitAsks.load(), asksAfter);
    EXPECT_TRUE(logged(
        "getInAppMessageByCampaignId Fail, No Valid InAppMessage, eventName : custom:browse"));
}

}  // namespace
}  // namespace sorvel::repotest

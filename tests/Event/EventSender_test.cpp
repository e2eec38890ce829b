#include <gtest/gtest.h>

#include <regex>

#include "Common/Constants.h"
#include "Common/SVLBooleanState.h"
#include "Event/EventBundleModel.h"
#include "Event/EventBundleModelProvider.h"
#include "EventFixture.h"

namespace sorvel::eventtest {
namespace {

using tools::Endpoint;
using tools::ScriptedAnswer;

class EventSenderTest : public EventFixture {
  protected:
    // Sends one package and returns what the completion received.
    std::vector<IEventSendActionResult> send(const std::shared_ptr<const EventPackage>& p) {
        std::vector<IEventSendActionResult> results;
        sender()->sendEventPackage(p,
                                   [&](const IEventSendActionResult& r) { results.push_back(r); });
        return results;
    }
    std::shared_ptr<const EventPackage> package(int events) {
        std::vector<EventModel> list;
        for (int i = 0; i < events; ++i) {
            list.push_back(event("e" + std::to_string(i)));
        }
        return std::make_shared<const EventPackage>(std::move(list));
    }
};

TEST_F(EventSenderTest, PackagesHaveFreshIdsAndReadBackSkippingBadEvents) {
    auto p = package(3);
    EXPECT_TRUE(std::regex_match(
        p->packageId(),
        std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
    EXPECT_NE(EventPackage(p->eventModels()).packageId(), p->packageId());
    EXPECT_EQ(EventPackage({}).toDictionary().at("eventModels"), Value(Value::Array{}));

    Value::Map d = p->toDictionary();
    EXPECT_EQ(d.at("package_id"), Value(p->packageId()));
    auto back = EventPackage::initFromDictionary(d);
    ASSERT_TRUE(back);
    EXPECT_NE(back->packageId(), p->packageId());
    EXPECT_EQ(back->toDictionary().at("eventModels"), d.at("eventModels"));

    // One unreadable event and one element that is no object are skipped.
    d.at("eventModels").getArray()->at(1) = Value(Value::Map{{"group", Value("svl")}});
    d.at("eventModels").getArray()->push_back(Value("not an event"));
    back = EventPackage::initFromDictionary(d);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->eventModels().size(), 2u);
    EXPECT_EQ(back->eventModels()[0].event_name, "e0");
    EXPECT_EQ(back->eventModels()[1].event_name, "e2");

    EXPECT_FALSE(EventPackage::initFromDictionary({}));
    EXPECT_FALSE(EventPackage::initFromDictionary({{"eventModels", Value("x")}}));
}

TEST_F(EventSenderTest, TheBundleCarriesCommonAndEventsWithTheAppKeyInTheUrl) {
    auto p = package(2);
    CommonModel common;
    common.appkey = "KEY";
    common.requestDatetime = "t";
    auto bundle = EventBundleModelProvider(common, p).getApiModel();
    Value::Map body = bundle->toDictionary();
    EXPECT_EQ(body.size(), 2u);
    EXPECT_EQ(body.at("common"), Value(common.toDictionary()));
    EXPECT_EQ(body.at("evts").getArray()->size(), 2u);
    EXPECT_EQ(bundle->getUrl(), Constants::fill(Constants::EVENT_BULK_URL(), {"KEY"}));

    common.appkey.reset();
    auto noKey = EventBundleModelProvider(common, p).getApiModel();
    EXPECT_TRUE(noKey->getUrl().ends_with("/api/v6/event/bulk/"));
}

TEST_F(EventSenderTest, OutcomesOfOneUploadWithoutRetries) {
    auto p = package(10);
    auto ok = send(p);
    ASSERT_EQ(ok.size(), 1u);
    EXPECT_EQ(ok[0].kind, IEventSendActionResult::Kind::onSuccess);
    EXPECT_EQ(ok[0].package, p);
    auto requests = server.requests(Endpoint::EVENT_BULK);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].signature, "valid");
    EXPECT_EQ(requests[0].appKey, kAppKey);
    EXPECT_EQ(uploadedLogIds().size(), 10u);

    for (int status : {400, 404, 500, 503}) {
        ScriptedAnswer a;
        a.status = status;
        server.script(Endpoint::EVENT_BULK, a);
        auto failed = send(p);
        ASSERT_EQ(failed.size(), 1u) << status;
        EXPECT_EQ(failed[0].kind, IEventSendActionResult::Kind::onFail) << status;
    }
    // Four answers, four requests: no retry was scheduled for any of them.
    sdk.clock()->advance(std::chrono::minutes(1));
    EXPECT_EQ(server.requests(Endpoint::EVENT_BULK).size(), 5u);
    SVLBooleanState::isWrongAppKey().set(false);
}

TEST_F(EventSenderTest, EachRequestCarriesTheDeviceDataOfItsMoment) {
    // One sender, as the pipeline keeps it: its device data provider holds
    // what it read of the OS between requests.
    auto s = std::make_shared<DefaultEventSender>(
        registry, std::make_shared<DeviceRealtimeDataProvider>(registry, Util_keychain::shared()));
    auto p = package(1);
    auto common = [&](const char* block, const char* key) -> Value {
        auto requests = server.requests(Endpoint::EVENT_BULK);
        if (requests.empty()) {
            ADD_FAILURE() << "no request";
            return Value();
        }
        auto body = Value::fromJson(requests.back().decodedBody);
        const Value* c = field(body ? &*body : nullptr, "common");
        const Value* b = block != nullptr ? field(c, block) : c;
        const Value* v = field(b, key);
        return v != nullptr ? *v : Value("<missing>");
    };
    auto sendOnce = [&] {
        int calls = 0;
        s->sendEventPackage(p, [&](const IEventSendActionResult& r) {
            ++calls;
            EXPECT_EQ(r.kind, IEventSendActionResult::Kind::onSuccess);
        });
        EXPECT_EQ(calls, 1);
    };
    registry->putString(std::string("token-1"), DataRegistryKey::STRING_REGISTRATION_ID);
    sendOnce();
    EXPECT_EQ(common("device", "network_type"), Value("wifi"));
    EXPECT_EQ(common("identity", "registration_id"), Value("token-1"));
    const Value firstId = common("identity", "adid");
    ASSERT_TRUE(firstId.isString());

    // Values kept in the registry reach the next request at once, and one
    // removed from the registry meanwhile is stored again.
    registry->putString(std::string("token-2"), DataRegistryKey::STRING_REGISTRATION_ID);
    registry->putString(std::nullopt, DataRegistryKey::STRING_ADID);
    ASSERT_TRUE(Util_keychain::shared()->saveAdid("KEYCHAIN-2").isOk());
    sendOnce();
    EXPECT_EQ(common("identity", "registration_id"), Value("token-2"));
    // The keychain is read again only after a while...
    EXPECT_EQ(common("identity", "adid"), firstId);
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_ADID, ""), *firstId.getString());
    sdk.clock()->advance(DeviceRealtimeDataProvider::REREAD_INTERVAL);
    sendOnce();
    EXPECT_EQ(common("identity", "adid"), Value("KEYCHAIN-2"));

    // ...or at once after the network changed.
    ASSERT_TRUE(Util_keychain::shared()->saveAdid("KEYCHAIN-3").isOk());
    platform::host::setReachability(std::string("mobile"));
    sendOnce();
    EXPECT_EQ(common("device", "network_type"), Value("mobile"));
    EXPECT_EQ(common("identity", "adid"), Value("KEYCHAIN-3"));
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_NETWORK_TYPE, ""), "mobile");
}

TEST_F(EventSenderTest, PackagesThatCannotGoOutFailAndStayWithTheCaller) {
    auto p = package(1);
    registry->putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
    registry->putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
    auto gdpr = send(p);
    ASSERT_EQ(gdpr.size(), 1u);
    EXPECT_EQ(gdpr[0].kind, IEventSendActionResult::Kind::onFail);

    // The network check comes first.
    platform::host::setReachability(std::string("unknown"));
    auto offline = send(p);
    ASSERT_EQ(offline.size(), 1u);
    EXPECT_EQ(offline[0].kind, IEventSendActionResult::Kind::onFail);

    // Not even sendable: no secret key.
    platform::host::setReachability(std::string("wifi"));
    registry->putBool(false, DataRegistryKey::BOOL_GDPR_FORGET_ME);
    registry->putString(std::nullopt, DataRegistryKey::STRING_SECRETKEY);
    auto unsigned_ = send(p);
    ASSERT_EQ(unsigned_.size(), 1u);
    EXPECT_EQ(unsigned_[0].kind, IEventSendActionResult::Kind::onFail);
    EXPECT_EQ(server.requestCount(), 0u);
}

}  // namespace
}  // namespace sorvel::eventtest

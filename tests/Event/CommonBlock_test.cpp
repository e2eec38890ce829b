#include <gtest/gtest.h>

#include <atomic>

#include "Data/ModelProvider/CommonModelProvider.h"
#include "Event/EventBundleModel.h"
#include "EventFixture.h"

namespace sorvel::eventtest {
namespace {

using tools::Endpoint;

class CommonBlockTest : public EventFixture {
  protected:
    void SetUp() override {
        EventFixture::SetUp();
        realtime = std::make_shared<DeviceRealtimeDataProvider>(registry, Util_keychain::shared());
        cache = std::make_shared<CommonBlockCache>(registry);
    }

    std::shared_ptr<DeviceRealtimeDataProvider> realtime;
    std::shared_ptr<CommonBlockCache> cache;

    CommonBlock block() { return CommonModelProvider(registry, realtime, cache).getCommonBlock(); }
    // The block's bytes, which must be those of its dictionary written whole.
    static void expectSameBytes(const CommonBlock& b) {
        std::string text;
        b.appendJson(text);
        EXPECT_EQ(text, Value(b.model().toDictionary()).toJson());
    }
};

TEST_F(CommonBlockTest, TheTextIsWrittenAgainOnlyWhenAValueInItChanges) {
    registry->putString(std::string("token-\"1\"\n\xC3\xA9"),
                        DataRegistryKey::STRING_REGISTRATION_ID);
    const CommonBlock first = block();
    const CommonBlock second = block();
    EXPECT_EQ(first.text, second.text);
    EXPECT_EQ(cache->rebuilds(), 1u);
    expectSameBytes(first);

    // Values it does not hold, or the same value again, change nothing.
    registry->putString(std::string("token-\"1\"\n\xC3\xA9"),
                        DataRegistryKey::STRING_REGISTRATION_ID);
    registry->putInt(7, DataRegistryKey::INT_ATT_STATUS);  // read again per request, same 0 stored
    registry->putString(std::string("elsewhere"), DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM);
    EXPECT_EQ(block().text, first.text);
    EXPECT_EQ(cache->rebuilds(), 1u);

    // A stored value it holds: the next request carries the new one.
    registry->putString(std::string("device-2"), DataRegistryKey::STRING_DEVICE_ID);
    const CommonBlock third = block();
    EXPECT_NE(third.text, first.text);
    EXPECT_EQ(third.model().identity.deviceId, "device-2");
    expectSameBytes(third);

    // A value read for every request: the network changed.
    platform::host::setReachability(std::string("mobile"));
    const CommonBlock fourth = block();
    EXPECT_EQ(fourth.model().device.networkType, "mobile");
    EXPECT_EQ(cache->rebuilds(), 3u);

    // The wipe of a delete tells no listener; the app key put back after it does.
    registry->removeAll();
    registry->putString(std::string(kAppKey), DataRegistryKey::STRING_APPKEY);
    const CommonBlock fifth = block();
    EXPECT_EQ(fifth.model().identity.registrationId, std::nullopt);
    EXPECT_EQ(fifth.model().identity.deviceId, std::nullopt);
    expectSameBytes(fifth);
}

TEST_F(CommonBlockTest, UploadBodiesAreTheBytesOfTheBundleDictionary) {
    registry->putString(std::string("push\ttoken"), DataRegistryKey::STRING_REGISTRATION_ID);
    registry->putString(std::string("1.2 \"beta\""), DataRegistryKey::STRING_APP_VERSION);
    auto s = sender();
    for (int round = 0; round < 2; ++round) {
        auto p = std::make_shared<const EventPackage>(
            std::vector<EventModel>{event("a", "custom", {{"k", Value("v\x01")}}),
                                    event("b", "custom", {{"n", Value(2)}})});
        int answered = 0;
        s->sendEventPackage(p, [&](const IEventSendActionResult& r) {
            EXPECT_EQ(r.kind, IEventSendActionResult::Kind::onSuccess);
            ++answered;
        });
        ASSERT_EQ(answered, 1);
        auto requests = server.requests(Endpoint::EVENT_BULK);
        ASSERT_EQ(requests.size(), static_cast<std::size_t>(round + 1));
        EXPECT_EQ(requests.back().signature, "valid");
        // Written whole, from the dictionary, at the same request time.
        auto body = Value::fromJson(requests.back().decodedBody);
        const Value* time = field(field(body ? &*body : nullptr, "common"), "request_datetime");
        ASSERT_TRUE(time && time->isString());
        CommonModel common = CommonModelProvider(registry, realtime).getDataModel();
        common.requestDatetime = *time->getString();
        EXPECT_EQ(requests.back().decodedBody,
                  Value(EventBundleModel(common, p, kAppKey).toDictionary()).toJson());
    }
}

}  // namespace
}  // namespace sorvel::eventtest

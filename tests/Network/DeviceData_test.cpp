#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "Common/Constants.h"
#include "Common/KeyChain.h"
#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Data/DataProviders/DeviceStaticDataProvider.h"
#include "Data/ModelProvider/CommonModelProvider.h"
#include "Data/ModelProvider/DeferredDeeplinkModelProvider.h"
#include "Data/ModelProvider/GDPRModelProvider.h"
#include "Network/ApiConnectionManager.h"
#include "NetworkFixture.h"
#include "Platform/Bundle.h"
#include "Platform/Device.h"
#include "Platform/Dispatch.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"

namespace sorvel::nettest {
namespace {

namespace fs = std::filesystem;
using tools::Endpoint;

const std::regex kRequestTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
const std::regex kUuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

class DeviceDataTest : public NetworkFixture {
  protected:
    std::string storedAdid() { return registry->getString(DataRegistryKey::STRING_ADID, ""); }
    std::shared_ptr<DeviceRealtimeDataProvider> realtime() {
        return std::make_shared<DeviceRealtimeDataProvider>(registry, Util_keychain::shared());
    }
};

TEST_F(DeviceDataTest, DeviceIdComesFromQaKeyThenKeychainThenANewSavedUuid) {
    auto provider = realtime();
    provider->refreshData();
    const std::string fresh = storedAdid();
    EXPECT_TRUE(std::regex_match(fresh, kUuid)) << fresh;
    auto saved = Util_keychain::shared()->getAdid();
    ASSERT_TRUE(saved.isOk());
    EXPECT_EQ(saved.value(), fresh);
    provider->refreshData();
    EXPECT_EQ(storedAdid(), fresh);

    ASSERT_TRUE(Util_keychain::shared()->saveAdid("FROM-KEYCHAIN").isOk());
    provider->refreshData();
    EXPECT_EQ(storedAdid(), "FROM-KEYCHAIN");

    // The QA key counts only in quality-assurance mode.
    platform::host::setInfo(DeviceRealtimeDataProvider::QA_ADID_INFO_KEY, Value("QA-ADID"));
    provider->refreshData();
    EXPECT_EQ(storedAdid(), "FROM-KEYCHAIN");
    platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
    SvlLog::initQaMode(registry.get());
    ASSERT_TRUE(SvlLog::isQaMode());
    provider->refreshData();
    EXPECT_EQ(storedAdid(), "QA-ADID");
    // A QA key of another type is ignored.
    platform::host::setInfo(DeviceRealtimeDataProvider::QA_ADID_INFO_KEY, Value(5));
    provider->refreshData();
    EXPECT_EQ(storedAdid(), "FROM-KEYCHAIN");
}

TEST_F(DeviceDataTest, AKeychainThatCannotBeReadNeverReplacesTheDeviceId) {
    auto provider = realtime();
    provider->refreshData();
    const std::string id = storedAdid();
    ASSERT_TRUE(std::regex_match(id, kUuid)) << id;
    std::vector<fs::path> items;
    for (const auto& entry : fs::directory_iterator(platform::keychainFolder())) {
        items.push_back(entry.path());
    }
    ASSERT_EQ(items.size(), 1u);
    const fs::path item = items[0];

    // The item is reached through a folder that can go away for a while, as a
    // keychain on a mount would: open then fails with an error other than
    // "not found" (here ENOTDIR), like running out of file descriptors.
    const fs::path gate = fs::path(sdk.home()) / "gate";
    const fs::path gateAside = fs::path(sdk.home()) / "gate-aside";
    fs::create_directory(gate);
    fs::rename(item, gate / "item");
    fs::create_symlink(gate / "item", item);
    ASSERT_EQ(provider->resolveDeviceId().value(), id);
    fs::rename(gate, gateAside);
    std::ofstream(gate) << "not a folder";
    ASSERT_EQ(Util_keychain::shared()->getAdid().error().status,
              platform::KeychainStatus::IO_ERROR);

    // This launch keeps the id it already has.
    auto same = provider->resolveDeviceId();
    ASSERT_TRUE(same.isOk()) << same.status().message();
    EXPECT_EQ(same.value(), id);
    // A new launch has none yet: it says so and leaves the stored one alone.
    testing::LogCapture log;
    auto relaunch = realtime();
    EXPECT_FALSE(relaunch->resolveDeviceId().isOk());
    relaunch->refreshData();
    EXPECT_EQ(storedAdid(), id);
    EXPECT_TRUE(log.contains("no device id for now"));
    EXPECT_TRUE(fs::is_symlink(item)) << "the keychain item was written over";

    // Once the folder is back, the stored id is read again.
    fs::remove(gate);
    fs::rename(gateAside, gate);
    registry->putString(std::nullopt, DataRegistryKey::STRING_ADID);
    relaunch->refreshData();
    EXPECT_EQ(storedAdid(), id);

    // An item that cannot be decoded or has gone is no id: a launch that knows
    // its id writes it back, a new launch makes a new one.
    fs::remove(item);
    std::ofstream(item) << "junk";
    relaunch->refreshData();
    EXPECT_EQ(storedAdid(), id);
    EXPECT_EQ(Util_keychain::shared()->getAdid().value(), id);
    fs::remove(item);
    std::ofstream(item) << "junk";
    realtime()->refreshData();
    const std::string renewed = storedAdid();
    EXPECT_TRUE(std::regex_match(renewed, kUuid)) << renewed;
    EXPECT_NE(renewed, id);
    EXPECT_EQ(Util_keychain::shared()->getAdid().value(), renewed);
}

// A request leaves out only the writes of what the registry provably holds:
// whatever changed a stored value since (a removal, another value, a wipe,
// a new OS value) is written back or carried by the next request.
TEST_F(DeviceDataTest, ARequestWritesAgainWhateverChangedInTheRegistry) {
    platform::host::setReachability(std::string("wifi"));
    platform::host::setCarrier(platform::CarrierInfo{"Carrier", "450", "05", "kr"});
    auto provider = realtime();
    auto versions = [&] {
        return std::vector<std::uint64_t>{registry->version(DataRegistryKey::STRING_ADID),
                                          registry->version(DataRegistryKey::STRING_IDFA),
                                          registry->version(DataRegistryKey::INT_ATT_STATUS),
                                          registry->version(DataRegistryKey::STRING_NETWORK_TYPE),
                                          registry->version(DataRegistryKey::STRING_CARRIER_NAME),
                                          registry->version(DataRegistryKey::STRING_RADIO_TYPE),
                                          registry->version(DataRegistryKey::STRING_IP_ADDRESS),
                                          registry->version(DataRegistryKey::STRING_LANGUAGE)};
    };
    auto first = provider->refreshDataForRequest();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, RealtimeData::readFrom(*registry));
    EXPECT_TRUE(std::regex_match(first->adid.value_or(""), kUuid));
    EXPECT_EQ(first->networkType, "wifi");
    EXPECT_EQ(first->carrier, "Carrier");
    const auto before = versions();
    EXPECT_EQ(provider->refreshDataForRequest(), first);
    EXPECT_EQ(versions(), before) << "a value the registry holds was written again";

    registry->putString(std::nullopt, DataRegistryKey::STRING_ADID);
    registry->putString(std::string("mobile"), DataRegistryKey::STRING_NETWORK_TYPE);
    registry->putString(std::string("XX"), DataRegistryKey::STRING_LANGUAGE);
    auto second = provider->refreshDataForRequest();
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, *first);
    EXPECT_EQ(RealtimeData::readFrom(*registry), *first);

    platform::host::setCarrier(std::nullopt);
    platform::host::setRadioAccessTechnology(std::string("LTE"));
    auto third = provider->refreshDataForRequest();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->carrier, std::nullopt);
    EXPECT_EQ(third->radio, "LTE");
    EXPECT_EQ(RealtimeData::readFrom(*registry), *third);

    registry->removeAll();
    EXPECT_EQ(*provider->refreshDataForRequest(), *third);
    EXPECT_EQ(RealtimeData::readFrom(*registry), *third);

    // Another writer changing a value while requests run: once it stops, the
    // next request restores the value and answers what the registry holds.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) {
            registry->putString(std::string(i % 2 ? "A" : "B"), DataRegistryKey::STRING_LANGUAGE);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        RealtimeData answered = *provider->refreshDataForRequest();
        answered.language = third->language;
        ASSERT_EQ(answered, *third);
    }
    stop = true;
    writer.join();
    auto last = provider->refreshDataForRequest();
    ASSERT_TRUE(last);
    EXPECT_EQ(*last, *third);
    EXPECT_EQ(RealtimeData::readFrom(*registry), *third);
}

TEST_F(DeviceDataTest, CommonBlockCarriesStoredAndDeviceValues) {
    platform::host::setDeviceModel("iPhone14,2");
    platform::host::setOsVersion("17.1");
    platform::host::setAdvertisingIdentifier("AD-1");
    platform::host::setTrackingAuthorizationStatus(
        platform::TrackingAuthorizationStatus::authorized);
    platform::host::setCarrier(platform::CarrierInfo{"Carrier", "450", "05", "kr"});
    platform::host::setNotificationAuthorizationStatus(
        platform::NotificationAuthorizationStatus::authorized);
    registry->putString(std::string("token-1"), DataRegistryKey::STRING_REGISTRATION_ID);
    registry->putBool(true, DataRegistryKey::BOOL_IS_PUSH_ENABLE);
    DeviceStaticDataProvider(registry).refreshData();

    // Off the main thread, where the permission can be read from the OS.
    // Shared with the block, which may outlive a test that gave up on it.
    struct Outcome {
        std::optional<Value::Map> common;
        std::optional<bool> heardPermission;
        platform::DispatchSemaphore done;
    };
    auto outcome = std::make_shared<Outcome>();
    CommonModelProvider::setOsPushEnableListener(
        [outcome](bool v) { outcome->heardPermission = v; });
    platform::DispatchQueue::global().async([outcome, registry = registry, provider = realtime()] {
        outcome->common = CommonModelProvider(registry, provider).getDataModel().toDictionary();
        outcome->done.signal();
    });
    ASSERT_TRUE(outcome->done.waitFor(std::chrono::seconds(10)))
        << "the common block was never built";
    ASSERT_TRUE(outcome->common.has_value());
    EXPECT_EQ(outcome->heardPermission, true);
    const Value::Map& c = *outcome->common;
    EXPECT_TRUE(std::regex_match(*c.at("request_datetime").getString(), kRequestTime));
    EXPECT_EQ(c.at("app_key"), Value(kAppKey));
    EXPECT_EQ(c.at("sdk_version"), Value("2.1.0.1"));
    EXPECT_EQ(c.at("api_version"), Value("6.0.0"));
    EXPECT_EQ(c.at("package_name"), Value("com.sorvel.sample"));
    // The advertising id is read only once the app allows it.
    EXPECT_EQ(c.at("identity"),
              Value(Value::Map{{"adid", Value(storedAdid())},
                               {"registration_id", Value("token-1")},
                               {"is_push_enable", Value(true)},
                               {"is_push_enable_os", Value(true)},
                               {"device_id", Value(nullptr)},
                               {"idfa", Value(platform::Device::ZERO_ADVERTISING_ID)},
                               {"att_status", Value(3)}}));
    const auto& device = *c.at("device").getMap();
    EXPECT_EQ(device.at("model"), Value("iPhone14,2"));
    EXPECT_EQ(device.at("os_version"), Value("17.1"));
    EXPECT_EQ(device.at("carrier"), Value("Carrier"));
    EXPECT_EQ(device.at("platform"), Value("ios"));

    SVLBooleanState::isStopGettingIDFA().set(false);
    auto model = CommonModelProvider(registry, realtime()).getDataModel();
    EXPECT_EQ(model.identity.idfa, "AD-1");
}

TEST_F(DeviceDataTest, PrivacyAndDeferredDeeplinkRequestsReachTheirEndpoints) {
    registry->putString(std::string("ADID-1"), DataRegistryKey::STRING_ADID);
    auto gdpr = GDPRModelProvider(registry).getApiModel();
    EXPECT_EQ(gdpr->getUrl(), Constants::GDPR_URL());
    auto deeplink = DeferredDeeplinkModelProvider(registry).getDeferredDeeplinkModel();
    EXPECT_EQ(deeplink->toDictionary(),
              (Value::Map{{"platform", Value("ios")}, {"device_id", Value("ADID-1")}}));

    for (const auto& model : {gdpr, std::shared_ptr<IApiModel>(deeplink)}) {
        auto connection = std::make_shared<ApiConnection>(registry);
        connection->setPostRequest(*model);
        EXPECT_TRUE(ApiConnectionManager().requestSync(connection).isSuccess());
    }
    auto g = server.requests(Endpoint::GDPR);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].signature, "valid");
    auto body = Value::fromJson(g[0].decodedBody);
    ASSERT_TRUE(body && body->isMap());
    EXPECT_EQ(body->getMap()->at("app_key"), Value(kAppKey));
    EXPECT_EQ(body->getMap()->at("subject_request_type"), Value("erasure"));
    // The deeplink body carries no time: it is signed with the time of sending.
    auto d = server.requests(Endpoint::DEFERRED_DEEPLINK);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].appKey, kAppKey);
    EXPECT_EQ(d[0].decodedBody, R"({"device_id":"ADID-1","platform":"ios"})");
    EXPECT_TRUE(std::regex_match(d[0].header("svl-auth-time"), kRequestTime));
    EXPECT_EQ(d[0].signature, "valid");
}

}  // namespace
}  // namespace sorvel::nettest

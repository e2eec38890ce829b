#include "Event/UserPropertyManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Event/EventInputGuard.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

class UserPropertyManagerTest : public ::testing::Test {
  protected:
    std::shared_ptr<DataRegistry> openRegistry() {
        return std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    }
    std::optional<std::string> snapshotId() {
        return registry->getStringOrNil(DataRegistryKey::STRING_USER_SNAPSHOT_ID, std::nullopt);
    }
    static Value::Map numbered(const std::string& prefix, int n) {
        Value::Map m;
        for (int i = 0; i < n; ++i) {
            m[prefix + std::to_string(100 + i)] = Value(i);
        }
        return m;
    }

    testing::FreshSdk sdk;
    // The manager's limit lines are debug lines: quality-assurance mode puts
    // them on the captured system log.
    const bool qaMode = [] {
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(nullptr);
        return true;
    }();
    testing::LogCapture log;
    std::shared_ptr<DataRegistry> registry = openRegistry();
    std::int64_t limit = 100;
    UserPropertyManager manager{registry, [this] { return limit; }};
};

TEST_F(UserPropertyManagerTest, TheLimitCountsBothMapsAndRefusesEvenUpdatesAtIt) {
    EXPECT_FALSE(snapshotId());
    ASSERT_TRUE(manager.saveUserProperty(numbered("u", 99)));
    const auto firstSnapshot = snapshotId();
    ASSERT_TRUE(firstSnapshot);

    // 99 + 2 new keys: the first in key order is merged, then the limit stops it.
    EXPECT_TRUE(manager.saveCiProperty({{"a", Value(1)}, {"b", Value(2)}}));
    EXPECT_EQ(manager.ciPropertyDic(), (Value::Map{{"a", Value(1)}}));
    EXPECT_EQ(manager.totalPropertyCount(), 100);
    EXPECT_NE(snapshotId(), firstSnapshot);
    EXPECT_TRUE(log.contains("ciProperty count over property max size : 100"));

    // At the limit even a new value for an existing key is refused.
    const auto atLimit = snapshotId();
    EXPECT_FALSE(manager.saveUserProperty({{"u100", Value("changed")}}));
    EXPECT_FALSE(manager.saveCiProperty({{"a", Value(5)}}));
    EXPECT_EQ(manager.userPropertyDic().at("u100"), Value(0));
    EXPECT_EQ(snapshotId(), atLimit);

    limit = 0;
    manager.clearUserProperty();
    EXPECT_FALSE(manager.saveUserProperty({{"x", Value(1)}}));
    EXPECT_EQ(manager.totalPropertyCount(), 0);
}

TEST_F(UserPropertyManagerTest, ChangeTestUsesRenderingsAndClearAlwaysRenewsTheSnapshot) {
    ASSERT_TRUE(manager.saveUserProperty({{"n", Value(5)}, {"t", Value("5")}}));
    const auto snap = snapshotId();
    // The same number in another integer type is no change; text for number is.
    EXPECT_FALSE(manager.saveUserProperty({{"n", Value(std::uint64_t{5})}}));
    EXPECT_FALSE(manager.saveUserProperty({}));
    EXPECT_EQ(snapshotId(), snap);
    EXPECT_TRUE(manager.saveUserProperty({{"n", Value("5")}}));
    EXPECT_NE(snapshotId(), snap);

    manager.clearUserProperty();
    const auto cleared = snapshotId();
    manager.clearUserProperty();
    EXPECT_NE(snapshotId(), cleared);
    EXPECT_TRUE(manager.userPropertyDic().empty());
    EXPECT_EQ(
        registry->getDictionary(DataRegistryKey::DICTIONARY_USER_PROPERTIES, {{"x", Value(1)}}),
        Value::Map{});
}

TEST_F(UserPropertyManagerTest, MapsComeBackAfterARestartAndBadValuesAreDropped) {
    Value deep = Value("leaf");
    for (int i = 0; i < 300; ++i) {
        deep = Value(Value::Map{{"d", deep}});
    }
    EXPECT_TRUE(EventInputGuard::nestsDeeperThan(deep, EventInputGuard::MAX_VALUE_DEPTH));
    ASSERT_TRUE(manager.saveUserProperty(
        {{"age", Value(30)}, {"deep", deep}, {"vip", Value(true)}, {"w", Value(1.5)}}));
    ASSERT_TRUE(manager.saveCiProperty({{"c", Value("x")}}));
    EXPECT_EQ(manager.userPropertyDic().count("deep"), 0u);
    EXPECT_TRUE(log.contains("userProperty deep dropped"));

    ASSERT_TRUE(registry->waitForPendingWrites());
    auto reopened = openRegistry();
    UserPropertyManager again(reopened, [] { return 100; });
    EXPECT_EQ(again.userPropertyDic(),
              (Value::Map{{"age", Value(30)}, {"vip", Value(true)}, {"w", Value(1.5)}}));
    EXPECT_EQ(again.ciPropertyDic(), (Value::Map{{"c", Value("x")}}));
    EXPECT_EQ(again.getUserSnapshotId(), manager.getUserSnapshotId());
}

TEST_F(UserPropertyManagerTest, ReadersOnOtherThreadsSeeWholeMaps) {
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            // Saves always write "a" and "b" together with the same value.
            auto m = manager.userPropertyDic();
            if (m.count("a") != 0 && !(m.at("a") == m.at("b"))) {
                ++torn;
            }
        }
    });
    for (int i = 0; i < 300; ++i) {
        manager.saveUserProperty({{"a", Value(i)}, {"b", Value(i)}});
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace sorvel

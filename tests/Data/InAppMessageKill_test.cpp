// A process killed at any moment while it stores campaign lists leaves a
// campaign store that opens again, and the next download puts the whole list
// in it. SORVEL_IAM_KILLS sets the number of kills (100 by default; the README
// runs 1,000).
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "Data/InAppMessageFixture.h"

namespace sorvel::iamtest {
namespace {

constexpr const char* kEnv = "SORVEL_IAM_KILL_CHILD";

// List n: campaigns n .. n+k, some with images and time windows, so that
// consecutive lists differ in ids, rows and sizes.
Value::Array listNumber(int n) {
    Value::Array list;
    const int size = 40 + (n * 37) % 80;
    for (int i = 0; i < size; ++i) {
        Value::Map c = campaign("k" + std::to_string(n + i));
        if (i % 3 == 0) {
            c = withImages(std::move(c), "https://img.test/" + std::to_string(i) + ".png", "");
        }
        if (i % 4 == 0) {
            c["available_time"] = Value(Value::Array{
                Value(Value::Map{{"days", Value(Value::Array{Value("Mon"), Value("Fri")})},
                                 {"start_min", Value(60)},
                                 {"end_min", Value(120)}})});
        }
        list.push_back(Value(std::move(c)));
    }
    return list;
}

// The child: stores list after list until it is killed; it says "go" after
// a pause its seed picks, so the kill lands anywhere in a rewrite.
int runAsKilledChildIfAsked() {
    const char* env = std::getenv(kEnv);
    if (env == nullptr) {
        return 0;
    }
    const std::string arg(env);
    const std::string home = arg.substr(0, arg.find('|'));
    const unsigned seed = static_cast<unsigned>(std::stoul(arg.substr(arg.find('|') + 1)));
    platform::host::setHomeFolder(home);
    platform::host::setKeychainFolder(home + "/keychain");
    // Image downloads fail at once: the ingest's own writes are what is killed.
    platform::host::setReachability(std::string("unknown"));
    auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    auto dao = InAppMessageDAO::create(registry);
    if (!dao) {
        std::printf("failed\n");
        std::fflush(stdout);
        std::_Exit(1);
    }
    std::thread([dao, seed] {
        for (int n = static_cast<int>(seed % 50);; n += 7) {
            dao->insertApiResponse2Table(answer(listNumber(n), "list-" + std::to_string(n)));
        }
    }).detach();
    std::mt19937 random(seed);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
    std::printf("go\n");
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}
const int kKilledChildDone = runAsKilledChildIfAsked();

TEST(InAppMessageKill, TheStoreReopensAndTheNextDownloadRestoresTheList) {
    testing::FreshSdk sdk;
    const char* wanted = std::getenv("SORVEL_IAM_KILLS");
    const int kills = wanted ? std::atoi(wanted) : 100;
    const unsigned base = static_cast<unsigned>(std::random_device{}());
    std::printf("seed base %u\n", base);
    for (int k = 0; k < kills; ++k) {
        SCOPED_TRACE("kill " + std::to_string(k) + " seed " + std::to_string(base + k));
        const std::string said = testing::runSelf(
            {std::string(kEnv) + "=" + sdk.home() + "|" + std::to_string(base + k)}, "go",
            std::chrono::seconds(20));
        ASSERT_NE(said.find("go"), std::string::npos) << said;

        // The next launch of the app on the same data.
        sdk.relaunch();
        platform::host::setReachability(std::string("unknown"));
        testing::DelegateLog log;
        auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        auto dao = InAppMessageDAO::create(registry);
        ASSERT_TRUE(dao);
        for (const auto& entry : std::filesystem::directory_iterator(platform::documentsFolder())) {
            ASSERT_EQ(entry.path().filename().string().find("corrupt"), std::string::npos)
                << entry.path();
        }
        // Whatever the stored checksum, a list the device never held comes in full.
        const Value::Array list = listNumber(1000 + k);
        dao->insertApiResponse2Table(answer(list, "final-" + std::to_string(k)));
        EXPECT_EQ(registry->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, ""),
                  "final-" + std::to_string(k));
        std::vector<std::string> expected;
        for (const auto& c : list) {
            expected.push_back(*c.getMap()->at("campaign_id").getString());
        }
        auto stored = dao->store().getAllCampaignId();
        std::sort(expected.begin(), expected.end());
        std::sort(stored.begin(), stored.end());
        ASSERT_EQ(stored, expected);
        for (const auto& id : expected) {
            ASSERT_TRUE(dao->store().isCurrentFrequencyExist(id)) << id;
        }
        EXPECT_EQ(dao->store().campaignIdsForEvent("custom:buy").size(), expected.size());
        EXPECT_EQ(dao->store().writeFailures(), 0u);
        dao->waitForImageQueue();
    }
}

}  // namespace
}  // namespace sorvel::iamtest

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "Common/GdprForgetMe.h"
#include "Common/RegistryStates.h"
#include "Data/ModelProvider/GDPRModelProvider.h"
#include "Network/ApiConnectionManager.h"
#include "NetworkFixture.h"

namespace sorvel::nettest {
namespace {

using tools::Endpoint;

// The forget-me use case as the core wires it: the erasure request through the
// connection manager with retries, its outcome stored in the registry, and the
// guard's `done` called from the manager's one completion.
class GdprResendTest : public NetworkFixture {
  protected:
    void SetUp() override {
        NetworkFixture::SetUp();
        registry->putString(std::string("ADID-1"), DataRegistryKey::STRING_ADID);
        GdprForgetMe::shared().setGdprForgetMeHook([this](GdprForgetMe::Done done) {
            auto connection = std::make_shared<ApiConnection>(registry);
            connection->setPostRequest(*GDPRModelProvider(registry).getApiModel());
            ApiConnectionManager manager;
            {
                std::lock_guard<std::mutex> lock(mu_);
                managers_.push_back(manager);  // a copy shares the retry count
            }
            manager.request(connection, true,
                            [registry = registry, done = std::move(done)](const Result& r) {
                                registry->putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
                                registry->putBool(r.isSuccess(),
                                                  DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
                                done();
                            });
        });
    }
    void TearDown() override { GdprForgetMe::shared().setGdprForgetMeHook(nullptr); }

    // Every public call passes the guard; an app logging events during an
    // outage passes it many times.
    void guardedCalls(int count) {
        for (int i = 0; i < count; ++i) {
            EXPECT_TRUE(FvnUtil::isSorvelDisabled(*registry));
        }
    }
    std::size_t requestsStarted() {
        std::lock_guard<std::mutex> lock(mu_);
        return managers_.size();
    }
    int retriesScheduledByFirst() {
        std::lock_guard<std::mutex> lock(mu_);
        return managers_.empty() ? -1 : managers_.front().attemptCount();
    }
    std::size_t erasures() { return server.requests(Endpoint::GDPR).size(); }

    std::mutex mu_;
    std::vector<ApiConnectionManager> managers_;
};

TEST_F(GdprResendTest, OneErasureRequestStaysInFlightUntilItsLastRetry) {
    server.setDefaultAnswer(Endpoint::GDPR, answer(503));
    registry->putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
    registry->putBool(false, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);

    guardedCalls(10);
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    for (int retry = 1; retry <= ApiConnectionManager::MAX_RETRY; ++retry) {
        SCOPED_TRACE(retry);
        // The first answer is in and the retry waits on the clock: the request
        // is still in flight, so no check may start another.
        ASSERT_TRUE(testing::pollUntil([&] { return retriesScheduledByFirst() == retry; }))
            << "retries scheduled: " << retriesScheduledByFirst()
            << ", requests started: " << requestsStarted();
        guardedCalls(10);
        sdk.clock()->advance(ApiConnectionManager::RETRY_INTERVAL);
        ASSERT_TRUE(
            server.waitForRequests(static_cast<std::size_t>(retry) + 1, std::chrono::seconds(10)));
    }
    // The last retry failed: the request is finished for good.
    ASSERT_TRUE(GdprForgetMe::shared().waitForResendIdle(std::chrono::seconds(10)));
    EXPECT_EQ(requestsStarted(), 1u);
    EXPECT_EQ(erasures(), 4u);
    EXPECT_FALSE(registry->getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC, true));
    sdk.clock()->advance(ApiConnectionManager::RETRY_INTERVAL * 3);
    EXPECT_TRUE(GdprForgetMe::shared().waitForResendIdle(std::chrono::seconds(10)));
    EXPECT_EQ(erasures(), 4u);

    // Unconfirmed still, so the next check sends again; this time the server
    // accepts, and once that is stored no check sends any more.
    server.setDefaultAnswer(Endpoint::GDPR, answer(200));
    guardedCalls(10);
    ASSERT_TRUE(server.waitForRequests(5, std::chrono::seconds(10)));
    ASSERT_TRUE(GdprForgetMe::shared().waitForResendIdle(std::chrono::seconds(10)));
    EXPECT_TRUE(registry->getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC, false));
    guardedCalls(10);
    EXPECT_TRUE(GdprForgetMe::shared().waitForResendIdle(std::chrono::seconds(10)));
    EXPECT_EQ(requestsStarted(), 2u);
    EXPECT_EQ(erasures(), 5u);
    for (const auto& r : server.requests(Endpoint::GDPR)) {
        EXPECT_EQ(r.signature, "valid");
    }
}

}  // namespace
}  // namespace sorvel::nettest

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "EventFixture.h"
#include "Platform/Dispatch.h"
#include "Platform/Host.h"
#include "Platform/Http.h"
#include "support/Uploads.h"

namespace sorvel::eventtest {
namespace {

using tools::Endpoint;
using tools::RecordedRequest;

// Upload rounds over real HTTP: several packages in flight, what comes back.
class UploadRoundTest : public EventFixture {
  protected:
    void TearDown() override {
        gate.open();
        if (round.joinable()) {
            round.join();
        }
        EventFixture::TearDown();
    }

    // Queues `count` packages of two events each, named by their index.
    std::vector<std::shared_ptr<const EventPackage>> queue(EventPackageContainer& container,
                                                           int count) {
        std::vector<std::shared_ptr<const EventPackage>> out;
        for (int i = 0; i < count; ++i) {
            const std::string name = "p" + std::to_string(i);
            out.push_back(std::make_shared<const EventPackage>(
                std::vector<EventModel>{event(name), event(name)}));
            container.addEventPackage(out.back());
        }
        return out;
    }
    // The index of the package a request carries, from its first event's name.
    static int indexOf(const RecordedRequest& request) {
        auto body = Value::fromJson(request.decodedBody);
        const Value* evts = field(body ? &*body : nullptr, "evts");
        const Value::Array* list = evts ? evts->getArray() : nullptr;
        const Value* name = list && !list->empty() ? field(&list->front(), "event_name") : nullptr;
        return name && name->isString() ? std::stoi(name->getString()->substr(1)) : -1;
    }
    void startRound(const std::shared_ptr<EventPackageContainer>& container) {
        round = std::thread([container] { container->sendAllEventPackages(); });
    }

    testing::HeldAnswers gate;
    std::thread round;
};

// Rounds that start with this many packages keep several uploads in flight.
constexpr int kBacklog = static_cast<int>(EventPackageContainer::BACKLOG_FOR_PARALLEL_UPLOADS);

TEST_F(UploadRoundTest, ARoundKeepsFourUploadsInFlightAndEndsWithTheLast) {
    auto container = makeContainer();
    queue(*container, kBacklog + 5);
    server.setResponder(Endpoint::EVENT_BULK, gate.responder([](const auto&) { return 200; }));
    startRound(container);
    // Four uploads reach the server side by side; the fifth waits for one of them.
    ASSERT_TRUE(testing::waitUntil([&] { return gate.held() == 4; }));
    EXPECT_EQ(container->packageCount(), static_cast<std::size_t>(kBacklog + 1));
    gate.open();
    round.join();
    EXPECT_EQ(gate.most(), 4);
    EXPECT_GE(platform::HttpSession::shared().stats().mostConcurrent, 4u);
    EXPECT_EQ(server.requestCount(), static_cast<std::size_t>(kBacklog + 5));
    EXPECT_EQ(container->packageCount(), 0u);
    auto ids = uploadedLogIds();
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(2 * (kBacklog + 5)));
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end()) << "a package went out twice";

    // Without a backlog a round sends one package at a time: a kill then
    // loses one answer at most.
    gate.reset();
    queue(*container, kBacklog - 1);
    startRound(container);
    ASSERT_TRUE(testing::waitUntil([&] { return gate.held() == 1; }));
    EXPECT_EQ(container->packageCount(), static_cast<std::size_t>(kBacklog - 2));
    gate.open();
    round.join();
    EXPECT_EQ(gate.most(), 1);
    EXPECT_EQ(server.requestCount(), static_cast<std::size_t>(2 * kBacklog + 4));
}

TEST_F(UploadRoundTest, FailuresComeBackOldestFirstAheadOfPackagesQueuedMeanwhile) {
    auto container = makeContainer();
    auto p = queue(*container, kBacklog);
    // p1 and p5 answer 500 late, p2 and p6 answer 500 at once: the failures
    // come back out of order and must still be queued in send order.
    server.setResponder(Endpoint::EVENT_BULK, [](const RecordedRequest& r) {
        tools::ScriptedAnswer a;
        const int i = indexOf(r);
        a.status = (i == 1 || i == 2 || i == 5 || i == 6) ? 500 : 200;
        a.delay = std::chrono::milliseconds(i == 1 || i == 5 ? 150 : 0);
        return a;
    });
    startRound(container);
    ASSERT_TRUE(testing::pollUntil([&] { return server.requestCount() >= 1; }));
    auto late = std::make_shared<const EventPackage>(std::vector<EventModel>{event("late")});
    container->addEventPackage(late);
    round.join();
    EXPECT_EQ(server.requestCount(), static_cast<std::size_t>(kBacklog));
    EXPECT_EQ(container->snapshot(),
              (EventPackageContainer::Packages{p[1], p[2], p[5], p[6], late}));
    // The stored list holds them in the same order.
    container->updateUnsentEventPackagesInDataRegistry();
    container->waitForStoreWrites();
    std::vector<std::string> expected;
    for (const auto& q : {p[1], p[2], p[5], p[6], late}) {
        for (const auto& e : q->eventModels()) {
            expected.push_back(e.log_id.value_or(""));
        }
    }
    EXPECT_EQ(storedLogIds(), expected);
}

TEST_F(UploadRoundTest, AnOfflineRoundTriesALongBacklogOnceAndKeepsItsOrder) {
    platform::host::setReachability(std::string("unknown"));
    auto container = makeContainer();
    constexpr int kPackages = 3000;
    auto p = queue(*container, kPackages);
    startRound(container);
    // Packages formed while the round fails the backlog one by one join
    // behind it; the queue never looks shorter than what waits, less the
    // one package being tried.
    std::vector<std::shared_ptr<const EventPackage>> added;
    for (int i = 0; i < 20; ++i) {
        added.push_back(std::make_shared<const EventPackage>(
            std::vector<EventModel>{event("n" + std::to_string(i))}));
        container->addEventPackage(added.back());
        EXPECT_GE(container->packageCount(), static_cast<std::size_t>(kPackages + i));
    }
    round.join();
    EXPECT_EQ(server.requestCount(), 0u);
    auto expected = p;
    expected.insert(expected.end(), added.begin(), added.end());
    EXPECT_EQ(container->snapshot(), expected);
    // The next round tries them all again, in the same order.
    container->sendAllEventPackages();
    EXPECT_EQ(container->snapshot(), expected);
}

TEST_F(UploadRoundTest, PackagesWithdrawnMidFlightAreDroppedAndTheRestNeverSent) {
    auto container = makeContainer();
    queue(*container, kBacklog);
    server.setResponder(Endpoint::EVENT_BULK, gate.responder([](const auto&) { return 500; }));
    startRound(container);
    ASSERT_TRUE(testing::waitUntil([&] { return gate.held() == 4; }));
    // A delete of the user's data: every package built so far is withdrawn.
    container->cutGeneration();
    gate.open();
    round.join();
    // The four in flight failed and were dropped, not requeued; the rest
    // that waited were never sent under the next identity.
    EXPECT_EQ(server.requestCount(), 4u);
    EXPECT_EQ(container->packageCount(), 0u);
    container->updateUnsentEventPackagesInDataRegistry();
    container->waitForStoreWrites();
    EXPECT_TRUE(storedLogIds().empty());
}

// Notes the thread of each blocking send ("" for a started one) and answers
// it with success, or, while `silent`, not at all.
class RecordingSender final : public IEventSender {
  public:
    void sendEventPackage(std::shared_ptr<const EventPackage> p, Completion done) override {
        note(testing::currentThreadName());
        if (!silent) {
            done(IEventSendActionResult::onSuccess(std::move(p)));
        }
    }
    void sendEventPackageAsync(std::shared_ptr<const EventPackage> p, Completion done) override {
        note("");
        done(IEventSendActionResult::onSuccess(std::move(p)));
    }
    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> lock(mu_);
        return calls_;
    }
    std::atomic<bool> silent{false};

  private:
    void note(std::string thread) {
        std::lock_guard<std::mutex> lock(mu_);
        calls_.push_back(std::move(thread));
    }
    mutable std::mutex mu_;
    std::vector<std::string> calls_;
};

// A round without a backlog sends each package with the blocking send on the
// round's own thread, so no other thread wakes for it; a package the sender
// leaves without an answer waits for the next round instead of stalling this
// one. A backlog goes out side by side.
TEST_F(UploadRoundTest, ARoundWithoutABacklogSendsOnItsOwnThread) {
    testing::LogCapture log;
    auto sender = std::make_shared<RecordingSender>();
    auto container = std::make_shared<EventPackageContainer>(sender, registry);
    containers.push_back(container);
    queue(*container, 3);
    platform::DispatchQueue::makeSerial("roundQueue")->sync([&] {
        container->sendAllEventPackages();
    });
    EXPECT_EQ(sender->calls(), std::vector<std::string>(3, "roundQueue"));
    EXPECT_EQ(container->packageCount(), 0u);

    sender->silent = true;
    auto quiet = queue(*container, 1);
    container->sendAllEventPackages();
    EXPECT_TRUE(testing::waitUntil([&] {
        return log.contains("sendEventPackage :: no outcome for package " + quiet[0]->packageId());
    }));
    EXPECT_EQ(container->snapshot(), quiet);

    queue(*container, kBacklog - 1);
    container->sendAllEventPackages();
    const auto calls = sender->calls();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(4 + kBacklog));
    EXPECT_EQ(std::count(calls.begin(), calls.end(), ""), kBacklog);
    EXPECT_EQ(container->packageCount(), 0u);
}

TEST_F(UploadRoundTest, CountChecksWakeTheUploadQueueOnlyAfterAPackageFormed) {
    server.setDefaultAnswer(Endpoint::EVENT_BULK, nettest::answer(500));
    auto container = makeContainer();
    auto buffer = makeBuffer(container);
    for (int i = 0; i < 30; ++i) {
        buffer->addEvent(event("e"));
    }
    buffer->flushAtIntervals();
    buffer->waitUntilIdle();
    // Three packages reach the count rule: one round, three failed uploads.
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(container->packageCount(), 3u);
    for (int i = 0; i < 5; ++i) {
        buffer->flushAtIntervals();
        buffer->waitUntilIdle();
    }
    EXPECT_EQ(server.requestCount(), 3u) << "a count check without a new package sent again";
    for (int i = 0; i < 10; ++i) {
        buffer->addEvent(event("f"));
    }
    buffer->flushAtIntervals();
    buffer->waitUntilIdle();
    EXPECT_EQ(server.requestCount(), 7u);

    // Packages formed one by one below the rule send nothing; the one that
    // reaches it sends all of them.
    server.setDefaultAnswer(Endpoint::EVENT_BULK, nettest::answer(200));
    buffer->flushAllNow();
    buffer->waitUntilIdle();
    ASSERT_EQ(container->packageCount(), 0u);
    const std::size_t before = server.requestCount();
    for (int package = 1; package <= 3; ++package) {
        for (int i = 0; i < 10; ++i) {
            buffer->addEvent(event("g"));
        }
        buffer->flushAtIntervals();
        buffer->waitUntilIdle();
        EXPECT_EQ(server.requestCount() - before, package < 3 ? 0u : 3u) << package;
        EXPECT_EQ(container->packageCount(), package < 3 ? std::size_t(package) : 0u);
    }
}

}  // namespace
}  // namespace sorvel::eventtest

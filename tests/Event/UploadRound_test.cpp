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

// Upload rounds over real HTTP: one package at a time, in order, and what
// comes back.
class UploadRoundTest : public EventFixture {
  protected:
    void TearDown() override {
        gate.open();
        if (round.joinable()) {
            round.join();
        }
        EventFixture::TearDown();
    }

    // Queues `count` packages of two events each, named by their index from
    // `first` on. The events are numbered and chained (each names the one
    // before it as its previous id) as the repository records them.
    std::vector<std::shared_ptr<const EventPackage>> queue(EventPackageContainer& container,
                                                           int count, int first = 0) {
        std::vector<std::shared_ptr<const EventPackage>> out;
        for (int i = first; i < first + count; ++i) {
            const std::string name = "p" + std::to_string(i);
            std::vector<EventModel> events;
            for (int e = 0; e < 2; ++e) {
                events.push_back(event(name));
                counters()->setPrevId(events.back().log_id);
            }
            out.push_back(std::make_shared<const EventPackage>(std::move(events)));
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

    // What the server sees of one event: its order number, log id and the
    // previous id it names.
    struct Seen {
        std::int64_t orderNo = -1;
        std::string logId;
        std::string prevId;
    };
    // The events of the given uploads, in the order the server received them.
    static std::vector<Seen> eventsIn(const std::vector<RecordedRequest>& requests) {
        auto text = [](const Value* v) {
            return v && v->isString() ? *v->getString() : std::string("<none>");
        };
        std::vector<Seen> out;
        for (const auto& r : requests) {
            auto body = Value::fromJson(r.decodedBody);
            const Value* evts = field(body ? &*body : nullptr, "evts");
            for (const auto& e : evts && evts->getArray() ? *evts->getArray() : Value::Array{}) {
                const Value::Map* map = e.getMap();
                out.push_back(Seen{map ? testing::recordedPlace(*map).first : -1,
                                   text(field(&e, "log_id")), text(field(&e, "prev_id"))});
            }
        }
        return out;
    }
    // Where the events stop following one another: each index i whose event
    // does not come right after event i-1 (a lower or equal order number, or
    // a previous id that is not event i-1's log id).
    static std::vector<std::size_t> breaks(const std::vector<Seen>& events) {
        std::vector<std::size_t> out;
        for (std::size_t i = 1; i < events.size(); ++i) {
            if (events[i].orderNo <= events[i - 1].orderNo ||
                events[i].prevId != events[i - 1].logId) {
                out.push_back(i);
            }
        }
        return out;
    }

    testing::HeldAnswers gate;
    std::thread round;
};

// A backlog as the stored list holds it at most: a hundred packages.
constexpr int kBacklog = 100;

TEST_F(UploadRoundTest, ABacklogReachesTheServerInOrderOneAtATimeOverOneConnection) {
    auto container = makeContainer();
    constexpr int kPackages = 300;
    auto p = queue(*container, kPackages);
    // The server answers slowly, and every seventh package much later than the
    // rest: an upload sent beside it would overtake it.
    server.setResponder(Endpoint::EVENT_BULK, [](const RecordedRequest& r) {
        tools::ScriptedAnswer a;
        a.delay = std::chrono::milliseconds(indexOf(r) % 7 == 0 ? 15 : 1);
        return a;
    });
    const auto opened = platform::HttpSession::shared().stats().connectionsOpened;
    container->sendAllEventPackages();

    auto requests = server.requests(Endpoint::EVENT_BULK);
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(kPackages));
    for (int i = 0; i < kPackages; ++i) {
        EXPECT_EQ(indexOf(requests[static_cast<std::size_t>(i)]), i);
    }
    const auto events = eventsIn(requests);
    EXPECT_EQ(events.size(), static_cast<std::size_t>(2 * kPackages));
    // Order numbers strictly increasing and the previous-id chain unbroken,
    // within each upload and from one upload to the next.
    EXPECT_EQ(breaks(events), std::vector<std::size_t>{});
    // Each package went, once the one before it was answered, over the
    // connection that one used: one client socket, opened once.
    for (const auto& r : requests) {
        EXPECT_EQ(r.remotePort, requests[0].remotePort);
    }
    EXPECT_EQ(platform::HttpSession::shared().stats().connectionsOpened - opened, 1u);
    EXPECT_EQ(container->packageCount(), 0u);
}

// A package that fails goes back to wait for the next round, as the uploads
// behind it go on; the next round sends it first, before the packages
// queued meanwhile. So the server gets every event once, and the only place
// where the order steps back is the failed package's late arrival, whose
// events still follow on from the package before it.
TEST_F(UploadRoundTest, AFailedPackageIsSentAgainFirstInTheNextRound) {
    auto container = makeContainer();
    constexpr int kPackages = 300;
    constexpr int kFailing = 150;
    auto p = queue(*container, kPackages);
    std::atomic<int> failures{0};
    server.setResponder(Endpoint::EVENT_BULK, [&](const RecordedRequest& r) {
        tools::ScriptedAnswer a;
        const int i = indexOf(r);
        if (i == kFailing && failures.fetch_add(1) == 0) {
            a.status = 500;
        }
        a.delay = std::chrono::milliseconds(i % 7 == 0 ? 5 : 0);
        return a;
    });
    const auto opened = platform::HttpSession::shared().stats().connectionsOpened;
    startRound(container);
    // A package formed while the round runs waits behind the failed one.
    ASSERT_TRUE(server.waitForRequests(10, std::chrono::seconds(20)));
    auto later = queue(*container, 1, kPackages);
    round.join();
    EXPECT_EQ(server.requestCount(), static_cast<std::size_t>(kPackages));
    EXPECT_EQ(container->snapshot(), (EventPackageContainer::Packages{p[kFailing], later[0]}));

    container->sendAllEventPackages();
    EXPECT_EQ(container->packageCount(), 0u);
    auto requests = server.requests(Endpoint::EVENT_BULK);
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(kPackages + 2));
    // What the server took, in the order it took it.
    std::erase_if(requests, [](const RecordedRequest& r) { return r.status != 200; });
    std::vector<int> taken;
    for (const auto& r : requests) {
        taken.push_back(indexOf(r));
    }
    std::vector<int> expected;
    for (int i = 0; i < kPackages; ++i) {
        if (i != kFailing) {
            expected.push_back(i);
        }
    }
    expected.push_back(kFailing);
    expected.push_back(kPackages);
    EXPECT_EQ(taken, expected);

    auto events = eventsIn(requests);
    ASSERT_EQ(events.size(), static_cast<std::size_t>(2 * (kPackages + 1)));
    // The order steps back once: the failed package arrives after the last
    // one of its round, and the one queued meanwhile follows on from that.
    const std::size_t late = 2 * (kPackages - 1);
    EXPECT_EQ(breaks(events), (std::vector<std::size_t>{2 * kFailing, late, late + 2}));
    // Put back in its place, every event follows on from the one before.
    std::stable_sort(events.begin(), events.end(),
                     [](const Seen& a, const Seen& b) { return a.orderNo < b.orderNo; });
    EXPECT_EQ(breaks(events), std::vector<std::size_t>{});
    EXPECT_EQ(platform::HttpSession::shared().stats().connectionsOpened - opened, 1u);
}

TEST_F(UploadRoundTest, FailuresComeBackOldestFirstAheadOfPackagesQueuedMeanwhile) {
    auto container = makeContainer();
    auto p = queue(*container, kBacklog);
    // p1 and p5 answer 500 late, p2 and p6 answer 500 at once: the failures
    // are queued in send order, ahead of a package formed meanwhile.
    server.setResponder(Endpoint::EVENT_BULK, [](const RecordedRequest& r) {
        tools::ScriptedAnswer a;
        const int i = indexOf(r);
        a.status = (i == 1 || i == 2 || i == 5 || i == 6) ? 500 : 200;
        a.delay = std::chrono::milliseconds(i == 1 || i == 5 ? 20 : 0);
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

// Hands each package on to the standard sender, counting them.
class CountingSender final : public IEventSender {
  public:
    explicit CountingSender(std::shared_ptr<IEventSender> inner) : inner_(std::move(inner)) {}
    void sendEventPackage(std::shared_ptr<const EventPackage> p, Completion done) override {
        ++attempts_;
        inner_->sendEventPackage(std::move(p), std::move(done));
    }
    int attempts() const { return attempts_.load(); }

  private:
    std::shared_ptr<IEventSender> inner_;
    std::atomic<int> attempts_{0};
};

TEST_F(UploadRoundTest, AnOfflineRoundTriesALongBacklogOnceAndKeepsItsOrder) {
    platform::host::setReachability(std::string("unknown"));
    auto counting = std::make_shared<CountingSender>(sender());
    containers.push_back(std::make_shared<EventPackageContainer>(counting, registry));
    auto container = containers.back();
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
    // Each package that waited when the round began was tried once (the
    // round may have begun after some of the new ones came); none twice.
    const int first = counting->attempts();
    EXPECT_GE(first, kPackages);
    EXPECT_LE(first, kPackages + 20);
    EXPECT_EQ(server.requestCount(), 0u);
    auto expected = p;
    expected.insert(expected.end(), added.begin(), added.end());
    EXPECT_EQ(container->snapshot(), expected);
    // The next round tries them all again, in the same order.
    container->sendAllEventPackages();
    EXPECT_EQ(counting->attempts(), first + kPackages + 20);
    EXPECT_EQ(container->snapshot(), expected);
}

TEST_F(UploadRoundTest, PackagesWithdrawnMidFlightAreDroppedAndTheRestNeverSent) {
    auto container = makeContainer();
    queue(*container, kBacklog);
    server.setResponder(Endpoint::EVENT_BULK, gate.responder([](const auto&) { return 500; }));
    startRound(container);
    ASSERT_TRUE(testing::waitUntil([&] { return gate.held() == 1; }));
    // A delete of the user's data: every package built so far is withdrawn.
    container->cutGeneration();
    gate.open();
    round.join();
    // The one in flight failed and was dropped, not requeued; the rest that
    // waited were never sent under the next identity.
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(gate.most(), 1);
    EXPECT_EQ(container->packageCount(), 0u);
    container->updateUnsentEventPackagesInDataRegistry();
    container->waitForStoreWrites();
    EXPECT_TRUE(storedLogIds().empty());
}

// Notes the thread of each send and answers it with success, or, while
// `silent`, not at all.
class RecordingSender final : public IEventSender {
  public:
    void sendEventPackage(std::shared_ptr<const EventPackage> p, Completion done) override {
        note(testing::currentThreadName());
        if (!silent) {
            done(IEventSendActionResult::onSuccess(std::move(p)));
        }
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

// A round sends each package with the blocking send on the round's own
// thread, a backlog too, so no other thread wakes for it; a package the
// sender leaves without an answer waits for the next round instead of
// stalling this one.
TEST_F(UploadRoundTest, ARoundSendsOnItsOwnThread) {
    testing::LogCapture log;
    auto sender = std::make_shared<RecordingSender>();
    auto container = std::make_shared<EventPackageContainer>(sender, registry);
    containers.push_back(container);
    queue(*container, 3);
    auto roundQueue = platform::DispatchQueue::makeSerial("roundQueue");
    roundQueue->sync([&] { container->sendAllEventPackages(); });
    EXPECT_EQ(sender->calls(), std::vector<std::string>(3, "roundQueue"));
    EXPECT_EQ(container->packageCount(), 0u);

    sender->silent = true;
    auto quiet = queue(*container, 1);
    container->sendAllEventPackages();
    EXPECT_TRUE(testing::waitUntil([&] {
        return log.contains("sendEventPackage :: no outcome for package " + quiet[0]->packageId());
    }));
    EXPECT_EQ(container->snapshot(), quiet);

    sender->silent = false;
    queue(*container, kBacklog - 1);
    roundQueue->sync([&] { container->sendAllEventPackages(); });
    const auto calls = sender->calls();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(4 + kBacklog));
    EXPECT_EQ(std::count(calls.begin() + 4, calls.end(), "roundQueue"), kBacklog);
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

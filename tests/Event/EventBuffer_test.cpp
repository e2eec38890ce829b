#include "Event/EventBuffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>

#include "Common/SvlLog.h"
#include "Event/EventJournal.h"
#include "EventFixture.h"
#include "Platform/FileSystem.h"
#include "Platform/RunLoop.h"
#include "support/CommonSupport.h"

namespace sorvel::eventtest {
namespace {

using tools::Endpoint;
using tools::ScriptedAnswer;

class EventBufferTest : public EventFixture {
  protected:
    void SetUp() override {
        EventFixture::SetUp();
        container = makeContainer();
        buffer = makeBuffer(container);
    }
    void add(int n, const std::string& name = "tap") {
        for (int i = 0; i < n; ++i) {
            buffer->addEvent(event(name));
        }
    }
    void setNetwork(bool up) {
        platform::host::setReachability(std::string(up ? "wifi" : "unknown"));
    }
    std::vector<std::string> ids(int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i <= to; ++i) {
            out.push_back("id-" + std::to_string(i));
        }
        return out;
    }

    // A buffer on a queue of its own and the controller's queue, both run on
    // one pipeline thread, as the SDK wires them.
    struct SharedPipeline {
        std::shared_ptr<EventPackageContainer> container;
        std::shared_ptr<EventBuffer> buffer;
        std::shared_ptr<platform::DispatchQueue> controllerQueue;
    };
    SharedPipeline sharedPipeline() {
        auto pipeline = platform::DispatchQueue::makeSerial("test-pipeline");
        SharedPipeline made;
        made.container = makeContainer();
        buffers.push_back(EventBuffer::create(made.container,
                                              std::make_shared<DefaultNowaitEventNameProvider>(),
                                              EventUploadIntervalManager::shared(), pipeline));
        made.buffer = buffers.back();
        made.controllerQueue =
            platform::DispatchQueue::makeSerial("DefaultSVLControllerDispatchQueue", pipeline);
        return made;
    }

    // The log ids of the open buffer as the journals in the folder leave it:
    // what a start would take into its buffer.
    static std::vector<std::string> journaledOpenIds() {
        std::vector<std::string> open;
        for (const std::string& path :
             EventJournal::filesInReplayOrder(platform::preferencesFolder())) {
            std::ifstream in(path, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
            for (const auto& record : EventJournal::parse(bytes).records) {
                if (record.kind == EventJournal::Kind::BUFFER ||
                    record.kind == EventJournal::Kind::BUFFER_PACKAGE) {
                    open.clear();
                }
                if (record.kind == EventJournal::Kind::BUFFER ||
                    record.kind == EventJournal::Kind::EVENTS) {
                    auto events = EventJournal::readOpenEvents(record.data);
                    auto list = events ? Value::fromJson(events->eventsJson) : std::nullopt;
                    EXPECT_TRUE(list && list->isArray()) << "an open-buffer record is not a list";
                    appendLogIds(list ? &*list : nullptr, open);
                }
            }
        }
        return open;
    }

    std::shared_ptr<EventPackageContainer> container;
    std::shared_ptr<EventBuffer> buffer;
};

TEST_F(EventBufferTest, TheOpenBufferIsJournaledAsItFillsAndComesBackAfterTheProcessEnds) {
    setNetwork(false);
    // A package's worth is packed; the three after it wait in the buffer,
    // and the journal holds them once the drain has run.
    add(13);
    buffer->waitUntilStored();
    EXPECT_EQ(journaledOpenIds(), ids(11, 13));
    // A checkpoint deletes the files before its mark: the buffer's events
    // open the new one.
    container->updateUnsentEventPackagesInDataRegistry();
    container->waitForStoreWrites();
    EXPECT_EQ(journaledOpenIds(), ids(11, 13));
    // The package a no-wait event makes of them supersedes their records.
    add(1, "login");
    buffer->waitUntilStored();
    EXPECT_EQ(journaledOpenIds(), std::vector<std::string>{});
    add(2);
    buffer->waitUntilStored();
    EXPECT_EQ(journaledOpenIds(), ids(15, 16));
    // Emptied on purpose: nothing comes back.
    buffer->clearBuffer();
    buffer->waitUntilStored();
    EXPECT_EQ(journaledOpenIds(), std::vector<std::string>{});
    add(4);
    buffer->waitUntilStored();
    EXPECT_EQ(journaledOpenIds(), ids(17, 20));

    // The process ends without packing them; the next one's buffer starts
    // with them, ahead of its own events, in one package once ten are there.
    EventUploadIntervalManager::shared().removeObserver(buffer);
    buffer.reset();
    container.reset();
    buffers.clear();
    containers.clear();
    auto next = makeContainer();
    auto nextBuffer = makeBuffer(next);
    EXPECT_EQ(nextBuffer->bufferedEventCount(), 4u);
    for (int i = 0; i < 6; ++i) {
        nextBuffer->addEvent(event("tap"));
    }
    nextBuffer->waitUntilIdle();
    ASSERT_FALSE(next->snapshot().empty());
    std::vector<std::string> packed;
    for (const auto& model : next->snapshot().back()->eventModels()) {
        packed.push_back(model.log_id.value_or(""));
    }
    EXPECT_EQ(packed, ids(17, 26));
    EXPECT_EQ(nextBuffer->bufferedEventCount(), 0u);
}

TEST_F(EventBufferTest, TenEventsMakeAPackageAndNoWaitNamesSendAtOnce) {
    add(9);
    buffer->waitUntilIdle();
    EXPECT_EQ(buffer->bufferedEventCount(), 9u);
    EXPECT_EQ(container->packageCount(), 0u);
    add(1);
    buffer->waitUntilIdle();
    EXPECT_EQ(buffer->bufferedEventCount(), 0u);
    ASSERT_EQ(container->packageCount(), 1u);
    EXPECT_EQ(container->snapshot()[0]->eventModels().size(), 10u);
    EXPECT_EQ(server.requestCount(), 0u);

    // Three events and a login: one package of four, and everything goes out.
    add(3);
    buffer->addEvent(event("login", "svl"));
    buffer->waitUntilIdle();
    auto requests = server.requests(Endpoint::EVENT_BULK);
    ASSERT_EQ(requests.size(), 2u);
    // Both packages went out; which one first is not what this checks.
    std::vector<std::size_t> sizes{logIdsIn(requests[0]).size(), logIdsIn(requests[1]).size()};
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 10}));
    auto uploaded = uploadedLogIds();
    auto expected = ids(1, 14);
    std::sort(uploaded.begin(), uploaded.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(uploaded, expected);

    // The bare name decides, whatever the group; only exact names count.
    buffer->addEvent(event("purchase", "custom"));
    buffer->waitUntilIdle();
    EXPECT_EQ(server.requestCount(), 3u);
    buffer->addEvent(event("Login"));
    buffer->addEvent(event("svl:login"));
    buffer->waitUntilIdle();
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(buffer->bufferedEventCount(), 2u);

    DefaultNowaitEventNameProvider names;
    for (const char* name : DefaultNowaitEventNameProvider::noWaitEventName) {
        EXPECT_TRUE(names.isNoWaitEvent(name)) << name;
    }
    EXPECT_FALSE(names.isNoWaitEvent("tap"));
}

TEST_F(EventBufferTest, FlushSaveAndClearOnAnEmptyBuffer) {
    setNetwork(false);
    add(10);
    buffer->flushAllNow();
    buffer->waitUntilIdle();
    EXPECT_EQ(container->packageCount(), 1u);

    setNetwork(true);
    buffer->flushAllNow();
    buffer->waitUntilIdle();
    EXPECT_EQ(uploadedLogIds(), ids(1, 10));
    buffer->saveUnsentEvents();
    buffer->waitUntilIdle();
    container->waitForStoreWrites();
    EXPECT_EQ(storedPackages(), Value::Array{});

    // Save packs the buffer and keeps the package queued as well.
    add(2);
    buffer->saveUnsentEvents();
    buffer->waitUntilIdle();
    container->waitForStoreWrites();
    EXPECT_EQ(storedLogIds(), ids(11, 12));
    EXPECT_EQ(container->packageCount(), 1u);

    // Clear empties buffer and queue; the stored list waits for a relaunch.
    add(3);
    buffer->clearBuffer();
    buffer->waitUntilIdle();
    EXPECT_EQ(buffer->bufferedEventCount() + container->packageCount(), 0u);
    container->waitForStoreWrites();
    EXPECT_EQ(storedLogIds(), ids(11, 12));
}

TEST_F(EventBufferTest, ATimerTickOnTheManualClockFlushesOnce) {
    add(4);
    buffer->flushAtIntervals();
    buffer->waitUntilIdle();
    ASSERT_TRUE(EventUploadIntervalManager::shared().isTimerRunning());
    EXPECT_EQ(server.requestCount(), 0u);

    sdk.clock()->advance(std::chrono::seconds(60));
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return server.requestCount() == 1; },
                                                   std::chrono::seconds(10)))
        << "the timer's flush did not reach the server";
    buffer->waitUntilIdle();
    EXPECT_EQ(uploadedLogIds(), ids(1, 4));

    // A new period replaces the timer: nothing at the old one, a flush at the new.
    EventUploadIntervalManager::shared().setTimeInterval(120.0);
    add(1);
    buffer->waitUntilIdle();
    sdk.clock()->advance(std::chrono::seconds(60));
    platform::RunLoop::main().runUntilIdle();
    buffer->waitUntilIdle();
    EXPECT_EQ(server.requestCount(), 1u);
    sdk.clock()->advance(std::chrono::seconds(60));
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return server.requestCount() == 2; },
                                                   std::chrono::seconds(10)));
}

TEST_F(EventBufferTest, EventsBehindABusyQueueKeepTheirPlaceAmongOtherOperations) {
    // A slow upload holds the queue while events, count checks and a clear
    // pile up behind it.
    ScriptedAnswer slow;
    slow.delay = std::chrono::milliseconds(300);
    server.script(Endpoint::EVENT_BULK, slow);
    buffer->addEvent(event("login", "svl"));
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    add(12);
    buffer->clearBuffer();
    // Each event asks for a count check, as the core does after every message.
    for (int i = 0; i < 35; ++i) {
        add(1);
        buffer->flushAtIntervals();
    }
    buffer->waitUntilIdle();
    // The twelve before the clear are gone; the 35 after it are three
    // packages (the count rule's threshold) and a buffer of five, and the
    // checks after them sent the packages.
    EXPECT_EQ(buffer->bufferedEventCount(), 5u);
    EXPECT_EQ(container->packageCount(), 0u);
    std::vector<std::string> expected = ids(1, 1);
    const auto after = ids(14, 43);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(uploadedLogIds(), expected);
}

// The pipeline as the SDK wires it: the controller queue and the buffer's
// queue on one thread. Events handed over in held (batched) blocks keep their
// place among the clear, discard and flush handed over without a wait, and
// the controller may wait for the buffer from its own block.
TEST_F(EventBufferTest, OnOneSharedThreadEventsKeepTheirPlaceAmongClearDiscardAndFlush) {
    const SharedPipeline made = sharedPipeline();
    const auto shared = made.container;
    const auto onPipeline = made.buffer;
    const auto controllerQueue = made.controllerQueue;
    auto handOver = [&](int n) {
        for (int i = 0; i < n; ++i) {
            auto e = std::make_shared<EventModel>(event("tap"));
            controllerQueue->asyncCoalesced(
                [onPipeline, e] { onPipeline->addEvent(std::move(*e)); },
                std::chrono::milliseconds(20));
        }
    };
    std::size_t bufferedAfterTwelve = 0;
    std::size_t queuedAfterTwelve = 0;
    handOver(12);  // ids 1..12: a package and two buffered, then cleared
    controllerQueue->async([&] {
        onPipeline->waitUntilIdle();
        bufferedAfterTwelve = onPipeline->bufferedEventCount();
        queuedAfterTwelve = shared->packageCount();
        onPipeline->clearBuffer();
    });
    handOver(5);  // 13..17, sent before the next events reach the buffer
    controllerQueue->async([&] {
        onPipeline->flushAllNow();
        onPipeline->waitUntilIdle();
    });
    handOver(10);  // 18..27: one package, dropped
    controllerQueue->async([&] { onPipeline->discardUnsentEvents(); });
    handOver(3);  // 28..30, sent
    controllerQueue->async([&] { onPipeline->flushAllNow(); });
    controllerQueue->sync([] {});
    onPipeline->waitUntilIdle();
    EXPECT_EQ(bufferedAfterTwelve, 2u);
    EXPECT_EQ(queuedAfterTwelve, 1u);
    std::vector<std::string> expected = ids(13, 17);
    const auto last = ids(28, 30);
    expected.insert(expected.end(), last.begin(), last.end());
    EXPECT_EQ(uploadedLogIds(), expected);
    EXPECT_EQ(shared->packageCount(), 0u);
}

TEST_F(EventBufferTest, ABurstHandedOverInOneBlockOnTheSharedThreadIsPackedAsItComes) {
    setNetwork(false);
    const SharedPipeline made = sharedPipeline();
    const auto shared = made.container;
    const auto onPipeline = made.buffer;
    const auto controllerQueue = made.controllerQueue;
    const std::size_t burst = 3 * EventBuffer::INBOX_DRAINED_AT + 5;
    std::vector<EventModel> events;
    for (std::size_t i = 0; i < burst; ++i) {
        events.push_back(event("tap"));
    }
    std::size_t queuedWithinTheBlock = 0;
    // As the controller hands over a burst: every event from one block.
    controllerQueue->sync([&] {
        for (auto& e : events) {
            onPipeline->addEvent(std::move(e));
        }
        queuedWithinTheBlock = shared->packageCount();
    });
    onPipeline->waitUntilIdle();
    // The inbox never held more than its limit: most of the burst was packed
    // before the block ended, not after.
    EXPECT_GE(queuedWithinTheBlock, 3 * EventBuffer::INBOX_DRAINED_AT / 10);
    EXPECT_EQ(shared->packageCount(), burst / 10);
    EXPECT_EQ(onPipeline->bufferedEventCount(), burst % 10);
    std::vector<std::string> inOrder;
    for (const auto& p : shared->snapshot()) {
        for (const auto& e : p->eventModels()) {
            inOrder.push_back(e.log_id.value_or(""));
        }
    }
    EXPECT_EQ(inOrder, ids(1, static_cast<int>(burst / 10 * 10)));
}

// A caller far ahead of the buffer's thread: the events of one drain exceed
// what a drain's vector keeps between runs, another block splits them from
// the next drain's, and a drain after those fills a recycled vector. Every
// event is packed once, in order.
TEST_F(EventBufferTest, DrainsFarBehindTheirCallerKeepEveryEventInOrder) {
    setNetwork(false);
    const SharedPipeline made = sharedPipeline();
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
    made.controllerQueue->async([&] {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return open; });
    });
    const int far = static_cast<int>(2 * EventBuffer::DRAIN_KEPT + 3);
    for (int i = 0; i < far; ++i) {
        made.buffer->addEvent(event("tap"));
    }
    made.buffer->saveUnsentEvents();  // packs the three left over
    for (int i = 0; i < 25; ++i) {
        made.buffer->addEvent(event("tap"));
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        open = true;
    }
    cv.notify_all();
    made.buffer->waitUntilIdle();
    EXPECT_EQ(made.buffer->bufferedEventCount(), 5u);
    for (int i = 0; i < 5; ++i) {
        made.buffer->addEvent(event("tap"));
    }
    made.buffer->waitUntilIdle();
    EXPECT_EQ(made.buffer->bufferedEventCount(), 0u);
    std::vector<std::string> inOrder;
    std::vector<std::size_t> sizes;
    for (const auto& p : made.container->snapshot()) {
        sizes.push_back(p->eventModels().size());
        for (const auto& e : p->eventModels()) {
            inOrder.push_back(e.log_id.value_or(""));
        }
    }
    EXPECT_EQ(inOrder, ids(1, far + 30));
    ASSERT_EQ(sizes.size(), static_cast<std::size_t>(far / 10 + 4));
    EXPECT_EQ(sizes[static_cast<std::size_t>(far / 10)], 3u);
}

TEST_F(EventBufferTest, BadEventsAreDroppedAloneAndNothingStoredIsLost) {
    // Bad input is the app's to see while it is tested: QA-only lines.
    testing::DelegateLog log;
    setNetwork(false);
    add(10);
    buffer->waitUntilIdle();

    Value deep = Value("string:leaf");
    for (int i = 0; i < 300; ++i) {
        deep = Value(Value::Map{{"d", deep}});
    }
    Value::Map huge;
    for (int i = 0; i < 40000; ++i) {
        huge["key" + std::to_string(i)] = Value("string:" + std::string(20, 'v'));
    }
    buffer->addEvent(event("deep", "custom", {{"p", deep}}));
    buffer->addEvent(event("huge", "custom", huge));
    buffer->addEvent(event("bad\xff name", "custom",
                           {{"k\xc3", Value("string:\xe0\x80")},
                            {"nan", Value(std::nan(""))},
                            {"inf", Value(HUGE_VAL)}}));
    add(9);
    buffer->saveUnsentEvents();
    buffer->waitUntilIdle();
    container->waitForStoreWrites();

    EXPECT_TRUE(log.contains("EventBuffer :: event deep dropped"));
    EXPECT_TRUE(log.contains("EventBuffer :: event huge dropped"));
    EXPECT_TRUE(log.contains("ill-formed UTF-8"));
    // Ten, then the repaired one and nine more: nothing else was lost.
    auto stored = storedLogIds();
    ASSERT_EQ(stored.size(), 20u);
    auto restored = makeContainer()->snapshot();
    ASSERT_EQ(restored.size(), 2u);
    const EventModel repaired = restored[1]->eventModels()[0];
    EXPECT_EQ(repaired.event_name, "bad\xEF\xBF\xBD name");
    EXPECT_EQ(repaired.param->count("k\xEF\xBF\xBD"), 1u);

    setNetwork(true);
    buffer->flushAllNow();
    buffer->waitUntilIdle();
    EXPECT_EQ(uploadedLogIds().size(), 20u);
    for (const auto& r : server.requests(Endpoint::EVENT_BULK)) {
        EXPECT_EQ(r.status, 200) << r.verdict;
    }
}

TEST_F(EventBufferTest, ADeliberateRemovalWinsOverRewritesStillPending) {
    // The stored list removed by someone else: the events queued before are
    // dropped, those logged after are kept.
    setNetwork(false);
    add(10);
    buffer->waitUntilIdle();
    container->waitForStoreWrites();
    ASSERT_EQ(storedLogIds(), ids(1, 10));
    registry->putData(std::nullopt, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    add(10);
    buffer->waitUntilIdle();
    container->waitForStoreWrites();
    EXPECT_EQ(storedLogIds(), ids(11, 20));
    EXPECT_EQ(container->packageCount(), 1u);
    buffer->discardUnsentEvents();
    setNetwork(true);

    // Uploads fail slowly, so the flush is still sending when the store is removed.
    ScriptedAnswer slowFailure;
    slowFailure.status = 503;
    slowFailure.delay = std::chrono::milliseconds(200);
    server.setDefaultAnswer(Endpoint::EVENT_BULK, slowFailure);
    add(25);
    buffer->flushAllNow();
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    // What the remote pause does: the stored list is removed under the flush.
    registry->putData(std::nullopt, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    buffer->waitUntilIdle();
    container->waitForStoreWrites();
    EXPECT_EQ(storedPackages(), Value::Array{});
    EXPECT_EQ(container->packageCount(), 0u);

    // The registry wipe of a delete and the reset that follows it: events
    // logged afterwards are kept again.
    server.setDefaultAnswer(Endpoint::EVENT_BULK,
                            tools::ServerDouble::defaultAnswer(Endpoint::EVENT_BULK));
    setNetwork(false);
    add(10);
    buffer->waitUntilIdle();
    registry->removeAll();
    buffer->clearBuffer();
    add(10);
    buffer->waitUntilIdle();
    container->waitForStoreWrites();
    EXPECT_EQ(storedLogIds(), ids(56, 65));

    // The explicit drop, as the core asks for after a wipe.
    registry->removeAll();
    add(10);
    buffer->discardUnsentEvents();
    buffer->waitUntilIdle();
    container->waitForStoreWrites();
    EXPECT_EQ(storedPackages(), Value::Array{});
    EXPECT_EQ(makeContainer()->packageCount(), 0u);
}

TEST_F(EventBufferTest, EventsRecordedWhileAnUploadHangsAreStoredAtOnceAndKeepTheirOrder) {
    // A server that takes the request and does not answer.
    testing::LoopbackListener hanging;
    ASSERT_TRUE(hanging.listening());
    platform::host::mapHttpHost("*", "http://127.0.0.1:" + std::to_string(hanging.port()));
    add(10);
    buffer->flushAllNow();
    testing::Fd upload = hanging.accept(std::chrono::seconds(10));
    ASSERT_TRUE(upload.valid());

    // Recorded while the upload waits for its answer: packed and stored, not
    // held in memory until the server answers (a kill would lose them).
    add(20);
    ASSERT_TRUE(testing::pollUntil([&] { return container->packageCount() == 2; }))
        << "packages queued while the upload hangs: " << container->packageCount();
    container->waitForStoreWrites();
    EXPECT_EQ(storedLogIds(), ids(1, 30));

    // The upload fails: its package goes back before the newer ones.
    upload = testing::Fd();
    buffer->waitUntilIdle();
    container->waitForStoreWrites();
    EXPECT_EQ(container->packageCount(), 3u);
    EXPECT_EQ(storedLogIds(), ids(1, 30));
    platform::host::mapHttpHost("*", server.baseUrl());
    buffer->flushAllNow();
    buffer->waitUntilIdle();
    // Each package keeps the order of its events, and none is lost or sent
    // twice.
    std::vector<std::vector<std::string>> arrived;
    for (const auto& r : server.requests(tools::Endpoint::EVENT_BULK)) {
        arrived.push_back(logIdsIn(r));
    }
    auto first = [](const std::vector<std::string>& p) {
        return p.empty() ? 0 : std::stoi(p.front().substr(3));
    };
    std::sort(arrived.begin(), arrived.end(),
              [&](const auto& a, const auto& b) { return first(a) < first(b); });
    std::vector<std::string> all;
    for (const auto& p : arrived) {
        all.insert(all.end(), p.begin(), p.end());
    }
    EXPECT_EQ(all, ids(1, 30));
}

}  // namespace
}  // namespace sorvel::eventtest

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "InAppViewFixture.h"

namespace sorvel::testing {
namespace {

using platform::Millis;
using platform::Point;
using platform::Rect;

class CountDownTest : public InAppViewTest {};

struct Counts {
    std::atomic<int> ticks{0};
    std::atomic<int> finishes{0};
    std::atomic<bool> tickedOnMain{false};
};

std::shared_ptr<CountDownTimer> makeTimer(const std::shared_ptr<Counts>& c, int count) {
    return CountDownTimer::make(
        count,
        [c] {
            c->tickedOnMain = c->tickedOnMain || platform::isMainThread();
            ++c->ticks;
            notifyWaiters();
        },
        [c] {
            ++c->finishes;
            notifyWaiters();
        },
        Millis(3000));
}

TEST_F(CountDownTest, TimelineOnAManualClock) {
    auto c = std::make_shared<Counts>();
    auto timer = makeTimer(c, 3);
    timer->fire();
    ASSERT_TRUE(waitUntil([&] { return c->ticks == 1; }));
    ASSERT_TRUE(pollUntil([&] { return timer->isScheduled(); }));
    sdk_.clock()->advance(Millis(3000));
    ASSERT_TRUE(waitUntil([&] { return c->ticks == 2; }));
    sdk_.clock()->advance(Millis(3000));
    ASSERT_TRUE(waitUntil([&] { return c->ticks == 3; }));
    EXPECT_EQ(c->finishes, 0);
    sdk_.clock()->advance(Millis(3000));
    ASSERT_TRUE(waitUntil([&] { return c->finishes == 1; }));
    EXPECT_TRUE(pollUntil([&] { return timer->isStopped() && !timer->isScheduled(); }));
    sdk_.clock()->advance(Millis(9000));
    EXPECT_EQ(c->ticks, 3);
    EXPECT_EQ(c->finishes, 1);
    // The tick fire() asked for ran on the worker too.
    EXPECT_FALSE(c->tickedOnMain);
}

TEST_F(CountDownTest, ZeroCountStopAndEarlyStop) {
    auto zero = std::make_shared<Counts>();
    auto t0 = makeTimer(zero, 0);
    t0->fire();
    ASSERT_TRUE(waitUntil([&] { return zero->finishes == 1; }));
    EXPECT_EQ(zero->ticks, 0);
    EXPECT_TRUE(pollUntil([&] { return t0->isStopped(); }));

    // A stop while running: no further tick, no finish.
    auto running = std::make_shared<Counts>();
    auto t1 = makeTimer(running, 3);
    t1->fire();
    ASSERT_TRUE(waitUntil([&] { return running->ticks == 1; }));
    ASSERT_TRUE(pollUntil([&] { return t1->isScheduled(); }));
    t1->stop();
    t1->stop();
    sdk_.clock()->advance(Millis(12000));

    // A stop before the worker scheduled anything is remembered.
    auto early = std::make_shared<Counts>();
    auto t2 = makeTimer(early, 3);
    t2->stop();
    t2->fire();
    sdk_.clock()->advance(Millis(12000));

    // Dropping a running timer from the main thread returns at once.
    auto dropped = std::make_shared<Counts>();
    auto t3 = makeTimer(dropped, 3);
    t3->fire();
    ASSERT_TRUE(waitUntil([&] { return dropped->ticks == 1; }));
    t3->stop();
    t3.reset();

    // A last timer whose ticks prove the clock moved past all of the above.
    auto marker = std::make_shared<Counts>();
    auto t4 = makeTimer(marker, 1);
    ASSERT_TRUE(pollUntil([&] { return t4->isScheduled(); }));
    sdk_.clock()->advance(Millis(3000));
    ASSERT_TRUE(waitUntil([&] { return marker->ticks == 1; }));
    EXPECT_EQ(running->ticks, 1);
    EXPECT_EQ(running->finishes, 0);
    EXPECT_EQ(early->ticks, 0);
    EXPECT_EQ(early->finishes, 0);
    EXPECT_FALSE(t2->isScheduled());
}

class ImageLoadingTest : public InAppViewTest {
  protected:
    void SetUp() override {
        InAppViewTest::SetUp();
        InAppViewHooks::setStoreProvider(
            [this]() -> std::shared_ptr<IInAppViewStore> { return withStore_ ? store_ : nullptr; });
    }

    // Moves to the next poll and waits until its update reached the view.
    void nextPoll(int lookups) {
        ASSERT_TRUE(pollUntil(
            [&] { return view_->countDownTimer && view_->countDownTimer->isScheduled(); }));
        sdk_.clock()->advance(Millis(3000));
        ASSERT_TRUE(waitUntil([&] { return store_->lookups() == lookups; }));
    }
    void pump() {
        // The main-queue update of the poll just made.
        bool ran = false;
        platform::DispatchQueue::main().async([&] { ran = true; });
        ASSERT_TRUE(pumpUntil([&] { return ran; }));
    }

    std::shared_ptr<FullScreenImage> open() {
        window_ = screen(true);
        view_ = show<FullScreenImage>(window_, messageFields("full_screen", "image"));
        return view_;
    }

    std::shared_ptr<FakeViewStore> store_ = std::make_shared<FakeViewStore>();
    bool withStore_ = true;
    std::shared_ptr<platform::Window> window_;
    std::shared_ptr<FullScreenImage> view_;
};

TEST_F(ImageLoadingTest, ImagePresentAtBuildNeverPolls) {
    auto f = messageFields("full_screen", "image");
    f.portraitImage = solidImage(8, 8);
    auto view = show<FullScreenImage>(screen(true), f);
    EXPECT_EQ(view->imageLoader().state(), ImageAreaState::SHOWN);
    EXPECT_EQ(view->countDownTimer, nullptr);
    EXPECT_EQ(store_->lookups(), 0);
}

TEST_F(ImageLoadingTest, ImageArrivingOnTheSecondPollEndsTheSpinner) {
    store_->answer(nullptr);
    store_->answer(solidImage(8, 8));
    open();
    EXPECT_EQ(view_->imageLoader().state(), ImageAreaState::LOADING);
    ASSERT_TRUE(waitUntil([&] { return store_->lookups() == 1; }));
    pump();
    EXPECT_EQ(view_->imageLoader().state(), ImageAreaState::LOADING);
    nextPoll(2);
    ASSERT_TRUE(pumpUntil([&] { return view_->imageLoader().hasImage(); }));
    EXPECT_EQ(view_->imageLoader().state(), ImageAreaState::SHOWN);
    EXPECT_TRUE(view_->countDownTimer->isStopped());
    sdk_.clock()->advance(Millis(9000));
    pump();
    EXPECT_EQ(store_->lookups(), 2);
    EXPECT_TRUE(store_->lastPortrait());
    EXPECT_FALSE(store_->lookedUpOnMain());
    // The impression is not repeated.
    EXPECT_EQ(events_.size(), 1u);
}

TEST_F(ImageLoadingTest, ThreeEmptyPollsShowTheRetryViewAndItsIconRetries) {
    open();
    ASSERT_TRUE(waitUntil([&] { return store_->lookups() == 1; }));
    nextPoll(2);
    nextPoll(3);
    sdk_.clock()->advance(Millis(3000));  // the finish
    ASSERT_TRUE(pumpUntil([&] { return view_->imageLoader().state() == ImageAreaState::FAILED; }));
    const auto& retry = view_->imageLoader().defaultView();
    window_->layoutIfNeeded();
    EXPECT_EQ(retry->frame(), Rect(0, 47, 390, 763));
    EXPECT_EQ(retry->icon()->frame().size, (platform::Size{52, 52}));
    EXPECT_DOUBLE_EQ(retry->label()->frame().minY() - retry->icon()->frame().maxY(), 20);
    EXPECT_DOUBLE_EQ(retry->label()->frame().midY(), 763 / 2.0 + 10);
    // The close button and the buttons stay above it.
    const auto& subs = view_->subviews();
    auto index = [&](const platform::View* v) {
        return std::find_if(subs.begin(), subs.end(), [&](auto& s) { return s.get() == v; }) -
               subs.begin();
    };
    EXPECT_LT(index(retry.get()), index(view_->defaultCloseButton().get()));

    // The dim overlay beside the icon does nothing.
    EXPECT_FALSE(window_->tap(Point{20, 100}));
    EXPECT_EQ(view_->imageLoader().state(), ImageAreaState::FAILED);
    // The icon starts three more polls.
    const Point icon = retry->icon()->convertTo(Point{26, 26}, nullptr);
    EXPECT_TRUE(window_->tap(icon));
    EXPECT_EQ(view_->imageLoader().state(), ImageAreaState::LOADING);
    ASSERT_TRUE(waitUntil([&] { return store_->lookups() == 4; }));
    EXPECT_EQ(events_.size(), 1u);
}

TEST_F(ImageLoadingTest, NoStoreEndsInTheRetryView) {
    withStore_ = false;
    open();
    auto timer = view_->countDownTimer;
    ASSERT_TRUE(timer);
    for (int i = 1; i <= 3; ++i) {
        // Nothing signals a tick without a store: watch the count.
        ASSERT_TRUE(pollUntil([&] { return timer->isScheduled() && timer->currentCount() == i; }));
        sdk_.clock()->advance(Millis(3000));
    }
    ASSERT_TRUE(pumpUntil([&] { return view_->imageLoader().state() == ImageAreaState::FAILED; }));
    EXPECT_EQ(store_->lookups(), 0);
}

TEST_F(ImageLoadingTest, CloseWhileLoadingStopsThePoll) {
    open();
    ASSERT_TRUE(waitUntil([&] { return store_->lookups() == 1; }));
    auto timer = view_->countDownTimer;
    view_->close();
    EXPECT_EQ(view_->countDownTimer, nullptr);
    EXPECT_TRUE(timer->isStopped());
    sdk_.clock()->advance(Millis(12000));
    pump();
    EXPECT_EQ(store_->lookups(), 1);
    EXPECT_NE(view_->imageLoader().state(), ImageAreaState::FAILED);
    // Nothing holds the closed view but the test.
    std::weak_ptr<FullScreenImage> weak = view_;
    view_.reset();
    timer.reset();
    EXPECT_TRUE(weak.expired());
}

TEST_F(ImageLoadingTest, ALateEmptyPollKeepsTheImageShown) {
    // The image comes with the first poll, and later polls find nothing
    // before the main thread has applied the first. The third lookup starts
    // only once the second poll's update is queued.
    auto image = solidImage(8, 8);
    store_->answer(image);
    store_->answer(nullptr);
    store_->answer(nullptr);
    open();
    ASSERT_TRUE(waitUntil([&] { return store_->lookups() == 1; }));
    nextPoll(2);
    nextPoll(3);
    bool drained = false;
    platform::DispatchQueue::main().async([&] { drained = true; });
    ASSERT_TRUE(pumpUntil([&] { return drained; }));
    EXPECT_EQ(view_->imageLoader().imageView()->image, image);
    EXPECT_EQ(view_->imageLoader().state(), ImageAreaState::SHOWN);
    EXPECT_TRUE(view_->countDownTimer->isStopped());
}

TEST_F(ImageLoadingTest, TapsOnTheSpinnerDoNotReachTheImage) {
    auto f = messageFields("full_screen", "image");
    f.imageClickAction = ClickAction{"img", "close", std::nullopt};
    window_ = screen(true);
    view_ = show<FullScreenImage>(window_, f);
    EXPECT_FALSE(window_->tap(Point{195, 400}));
    EXPECT_FALSE(view_->isClosed());
    view_->close();
}

}  // namespace
}  // namespace sorvel::testing

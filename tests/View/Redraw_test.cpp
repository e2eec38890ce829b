#include <gtest/gtest.h>

#include "InAppViewFixture.h"
#include "Platform/Dispatch.h"
#include "View/InAppMessage/InAppDisplay.h"

namespace sorvel::testing {
namespace {

using platform::Millis;

// What a node tree shows of the image area.
struct Picture {
    bool image = false;
    bool spinner = false;
    double phase = 0;
};

void look(const InAppViewNode& n, Picture& p) {
    p.image = p.image || (n.kind == InAppNodeKind::IMAGE && n.image && n.image->width == 8);
    if (n.kind == InAppNodeKind::ACTIVITY_INDICATOR && n.animating) {
        p.spinner = true;
        p.phase = n.animationPhase;
    }
    for (const InAppViewNode& c : n.children) {
        look(c, p);
    }
}

// Draws (looks at) the message whenever it is told to, as a host would.
class RedrawingPresenter final : public InAppMessagePresenter {
  public:
    void present(const std::shared_ptr<InAppMessageScreen>& s) override { shown.push_back(s); }
    void dismissed(const std::shared_ptr<InAppMessageScreen>&) override { ++gone; }
    void needsDisplay(const std::shared_ptr<InAppMessageScreen>& s) override {
        EXPECT_TRUE(platform::isMainThread());
        times.push_back(platform::clock().monoNow());
        Picture p;
        look(s->snapshot(), p);
        pictures.push_back(p);
        notifyWaiters();
    }
    std::vector<std::shared_ptr<InAppMessageScreen>> shown;
    int gone = 0;
    std::vector<platform::MonoTime> times;
    std::vector<Picture> pictures;
};

class RedrawTest : public InAppViewTest {
  protected:
    void SetUp() override {
        InAppViewTest::SetUp();
        InAppViewHooks::setStoreProvider([this] { return store_; });
        InAppViewHooks::setPresenter(presenter_);
    }
    void TearDown() override {
        InAppViewHooks::setPresenter(nullptr);
        InAppViewTest::TearDown();
    }
    // Runs what the main queue holds now (the blocks a clock step made due).
    void drain() {
        bool ran = false;
        platform::DispatchQueue::main().async([&] { ran = true; });
        ASSERT_TRUE(pumpUntil([&] { return ran; }));
    }
    void step(Millis by, int times) {
        for (int i = 0; i < times; ++i) {
            sdk_.clock()->advance(by);
            drain();
        }
    }

    std::shared_ptr<FakeViewStore> store_ = std::make_shared<FakeViewStore>();
    std::shared_ptr<RedrawingPresenter> presenter_ = std::make_shared<RedrawingPresenter>();
};

TEST_F(RedrawTest, ALateImageAndTheSpinnersFramesAreToldPaced) {
    store_->answer(nullptr);
    store_->answer(solidImage(8, 8));
    screen(true);
    auto view = std::static_pointer_cast<FullScreenImage>(
        displayInAppMessage(InAppMessage::make(messageFields("full_screen", "image")), sink()));
    ASSERT_TRUE(view);
    ASSERT_EQ(presenter_->shown.size(), 1u);
    ASSERT_TRUE(waitUntil([&] { return store_->lookups() == 1; }));
    ASSERT_TRUE(pollUntil([&] { return view->countDownTimer->isScheduled(); }));
    drain();

    // A second of spinning, the clock moved 10 ms at a time: about twelve
    // frames, each a turn on from the last and never closer than 34 ms.
    step(Millis(10), 100);
    const std::size_t frames = presenter_->times.size();
    EXPECT_GE(frames, 11u);
    EXPECT_LE(frames, 13u);
    for (std::size_t i = 1; i < frames; ++i) {
        EXPECT_GE(presenter_->times[i] - presenter_->times[i - 1], Millis(34));
        EXPECT_TRUE(presenter_->pictures[i].spinner);
        EXPECT_NE(presenter_->pictures[i].phase, presenter_->pictures[i - 1].phase);
    }

    // The image arrives with the second poll: the presenter is told, and what
    // it draws then shows the image and no spinner.
    sdk_.clock()->advance(Millis(2000));
    ASSERT_TRUE(waitUntil([&] { return store_->lookups() == 2; }));
    ASSERT_TRUE(pumpUntil([&] { return view->imageLoader().hasImage(); }));
    step(Millis(40), 1);
    ASSERT_TRUE(pumpUntil([&] { return presenter_->pictures.back().image; }));
    EXPECT_FALSE(presenter_->pictures.back().spinner);
    EXPECT_FALSE(view->imageLoader().spinnerView()->indicator()->isAnimating());

    // Nothing turns any more: no more calls.
    const std::size_t told = presenter_->times.size();
    step(Millis(50), 20);
    EXPECT_EQ(presenter_->times.size(), told);

    // A burst of changes is told once.
    for (int i = 0; i < 10; ++i) {
        view->setNeedsDisplay();
    }
    step(Millis(40), 2);
    EXPECT_EQ(presenter_->times.size(), told + 1);

    // Closed, the message is told nothing more.
    view->setNeedsDisplay();
    view->close();
    step(Millis(40), 3);
    EXPECT_EQ(presenter_->gone, 1);
    EXPECT_EQ(presenter_->times.size(), told + 1);
}

TEST_F(RedrawTest, TheRetryViewAndScrollingAreTold) {
    screen(true);
    auto f = messageFields("modal", "image_and_text");
    std::string body;
    for (int i = 0; i < 100; ++i) {
        body += "A long body line that wraps. ";
    }
    f.bodyText = body;
    auto view = std::static_pointer_cast<ModalImageAndText>(
        displayInAppMessage(InAppMessage::make(f), sink()));
    ASSERT_TRUE(view);
    ASSERT_TRUE(waitUntil([&] { return store_->lookups() == 1; }));
    for (int poll = 2; poll <= 3; ++poll) {
        ASSERT_TRUE(pollUntil([&] { return view->countDownTimer->isScheduled(); }));
        sdk_.clock()->advance(Millis(3000));
        ASSERT_TRUE(waitUntil([&] { return store_->lookups() == poll; }));
    }
    sdk_.clock()->advance(Millis(3000));  // the finish
    ASSERT_TRUE(pumpUntil([&] { return view->imageLoader().state() == ImageAreaState::FAILED; }));
    step(Millis(40), 1);
    ASSERT_FALSE(presenter_->pictures.empty());
    EXPECT_FALSE(presenter_->pictures.back().spinner);

    const std::size_t told = presenter_->times.size();
    auto& screenObject = presenter_->shown.at(0);
    const platform::Rect box = view->textScrollView()->frame();
    const platform::Point mid =
        view->container()->convertTo(platform::Point{box.midX(), box.midY()}, nullptr);
    EXPECT_TRUE(screenObject->scroll(mid.x, mid.y, 0, 60));
    step(Millis(40), 1);
    EXPECT_EQ(presenter_->times.size(), told + 1);
}

}  // namespace
}  // namespace sorvel::testing

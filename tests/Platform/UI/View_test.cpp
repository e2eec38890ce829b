#include "Platform/UI/View.h"

#include <gtest/gtest.h>

#include <cmath>

#include "Platform/Host.h"
#include "Platform/NotificationCenter.h"
#include "Platform/ProcessState.h"

namespace sorvel::platform {
namespace {

class ViewTest : public ::testing::Test {
  protected:
    void SetUp() override { runResetHooks(); }
    void TearDown() override { runResetHooks(); }
};

TEST_F(ViewTest, TreeOrderAndConversion) {
    auto root = View::make();
    root->setFrame(Rect(0, 0, 100, 100));
    auto a = View::make();
    auto b = View::make();
    auto c = View::make();
    root->addSubview(a);
    root->addSubview(b);
    root->insertSubviewAbove(c, a.get());
    ASSERT_EQ(root->subviews().size(), 3u);
    EXPECT_EQ(root->subviews()[1], c);
    root->bringSubviewToFront(a.get());
    EXPECT_EQ(root->subviews().back(), a);
    EXPECT_EQ(a->superview(), root);

    // Moving a view to another parent takes it from the first.
    b->addSubview(c);
    EXPECT_EQ(root->subviews().size(), 2u);
    EXPECT_EQ(c->superview(), b);
    // A view cannot become its own ancestor's child.
    c->addSubview(root);
    EXPECT_EQ(root->superview(), nullptr);

    b->setFrame(Rect(10, 20, 50, 50));
    c->setFrame(Rect(5, 5, 10, 10));
    EXPECT_EQ(c->convertTo(Point{1, 1}, root.get()), (Point{16, 26}));
    EXPECT_EQ(root->convertTo(Point{16, 26}, c.get()), (Point{1, 1}));
    c->removeFromSuperview();
    c->removeFromSuperview();  // no superview: nothing happens
    EXPECT_TRUE(b->subviews().empty());
}

TEST_F(ViewTest, HitChainDeliversToNearestRecogniserAndHoldsViews) {
    auto window =
        host::addWindow(Rect(0, 0, 390, 844), kWindowLevelNormal, EdgeInsets{47, 0, 34, 0}, true);
    auto outer = View::make();
    outer->setFrame(Rect(0, 0, 200, 200));
    int outerTaps = 0;
    outer->addGestureRecognizer(
        std::make_shared<TapGestureRecognizer>([&](GestureRecognizer&) { ++outerTaps; }));
    auto label = Label::make();  // takes no touches: the tap passes to outer
    label->setFrame(Rect(10, 10, 50, 20));
    outer->addSubview(label);
    auto button = Button::make();
    button->setFrame(Rect(100, 100, 50, 50));
    bool buttonAlive = false;
    std::weak_ptr<Button> weakButton = button;
    button->addTouchUpInside([&] {
        // The handler removes its own view; the chain keeps it alive until
        // the handler returns.
        std::shared_ptr<Button> self = weakButton.lock();
        self->removeFromSuperview();
        self.reset();
        buttonAlive = !weakButton.expired();
    });
    outer->addSubview(button);
    window->addSubview(outer);
    button.reset();

    EXPECT_TRUE(window->tap(Point{20, 15}));
    EXPECT_EQ(outerTaps, 1);
    EXPECT_TRUE(window->tap(Point{120, 120}));
    EXPECT_TRUE(buttonAlive);
    EXPECT_TRUE(weakButton.expired());
    EXPECT_EQ(outerTaps, 1);
    // Outside every view but the window: nothing takes it.
    EXPECT_FALSE(window->tap(Point{300, 700}));
    EXPECT_FALSE(window->tap(Point{-5, 900}));
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_EQ(Application::shared().keyWindow(), window);
}

TEST_F(ViewTest, SafeAreaOfAViewFollowsItsPlaceInTheWindow) {
    auto window =
        host::addWindow(Rect(0, 0, 844, 390), kWindowLevelNormal, EdgeInsets{0, 47, 21, 47}, false);
    auto strip = View::make();
    strip->setFrame(Rect(0, 0, 844, 98));
    window->addSubview(strip);
    EXPECT_EQ(strip->safeAreaInsets(), (EdgeInsets{0, 47, 0, 47}));
    auto full = View::make();
    full->setFrame(window->bounds());
    window->addSubview(full);
    EXPECT_EQ(full->safeAreaFrame(), Rect(47, 0, 750, 369));
    EXPECT_EQ(View::make()->safeAreaInsets(), EdgeInsets{});
}

TEST_F(ViewTest, StackViewsShareWidthAndStackHeights) {
    auto stack = StackView::make();
    stack->axis = StackAxis::HORIZONTAL;
    stack->alignment = StackAlignment::CENTER;
    stack->distribution = StackDistribution::FILL_EQUALLY;
    stack->spacing = 10;
    for (int i = 0; i < 3; ++i) {
        auto b = Button::make();
        b->heightConstraint = 52;
        stack->addArrangedSubview(b);
    }
    EXPECT_EQ(stack->intrinsicContentSize().height, 52);
    stack->setFrame(Rect(0, 0, 320, 52));
    stack->layoutIfNeeded();
    EXPECT_EQ(stack->arrangedSubviews()[0]->frame(), Rect(0, 0, 100, 52));
    EXPECT_EQ(stack->arrangedSubviews()[2]->frame(), Rect(220, 0, 100, 52));

    auto column = StackView::make();
    column->axis = StackAxis::VERTICAL;
    column->spacing = 5;
    auto title = Label::make();
    title->font = Font{20, true};
    title->numberOfLines = 0;
    auto body = Label::make();
    body->font = Font{10, false};
    body->numberOfLines = 0;
    body->text = "aaaa aaaa aaaa";  // 45 points for two words: two lines in 50
    column->addArrangedSubview(title);
    column->addArrangedSubview(body);
    EXPECT_EQ(column->sizeThatFits(Size{50, 0}).height, 0 + 5 + 2 * 12);
    EXPECT_EQ(StackView::make()->intrinsicContentSize(), (Size{0, 0}));
}

TEST_F(ViewTest, RotationMovesScreenWindowsAndPostsOnce) {
    auto window =
        host::addWindow(mainScreenBounds(), kWindowLevelNormal, EdgeInsets{47, 0, 34, 0}, true);
    int posts = 0;
    auto token = NotificationCenter::shared().addObserver(
        kDeviceOrientationDidChangeNotification,
        [&](const std::string&, const std::optional<Value>&) { ++posts; });
    host::rotateDevice(DeviceOrientation::LANDSCAPE_LEFT, EdgeInsets{0, 47, 21, 47});
    EXPECT_EQ(Application::shared().statusBarOrientation(), InterfaceOrientation::LANDSCAPE_RIGHT);
    EXPECT_EQ(mainScreenBounds(), Rect(0, 0, 844, 390));
    EXPECT_EQ(window->frame(), Rect(0, 0, 844, 390));
    host::rotateDevice(DeviceOrientation::FACE_UP);
    EXPECT_EQ(Application::shared().statusBarOrientation(), InterfaceOrientation::LANDSCAPE_RIGHT);
    EXPECT_EQ(posts, 2);
    NotificationCenter::shared().removeObserver(token);

    std::string opened;
    EXPECT_FALSE(Application::shared().openURL("https://example.com"));
    host::setOpenUrlHandler([&](const std::string& url) { opened = url; });
    EXPECT_TRUE(Application::shared().openURL("app://x"));
    EXPECT_EQ(opened, "app://x");
}

TEST_F(ViewTest, PanGoesToNearestPanRecogniser) {
    auto window = host::addWindow(Rect(0, 0, 390, 844), kWindowLevelNormal, EdgeInsets{}, true);
    auto banner = View::make();
    banner->setFrame(Rect(0, 100, 390, 98));
    std::vector<std::pair<GestureState, Point>> seen;
    banner->addGestureRecognizer(std::make_shared<PanGestureRecognizer>(
        [&](GestureRecognizer& r) { seen.emplace_back(r.state(), r.locationIn(r.view().get())); }));
    auto inner = View::make();
    inner->setFrame(Rect(10, 10, 50, 50));
    banner->addSubview(inner);
    window->addSubview(banner);
    Drag d = window->beginDrag(Point{20, 120});
    ASSERT_TRUE(d.recognizer());
    d.moveTo(Point{60, 130});
    d.cancel(Point{70, 130});
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].first, GestureState::BEGAN);
    EXPECT_EQ(seen[0].second, (Point{20, 20}));
    EXPECT_EQ(seen[1].first, GestureState::CHANGED);
    EXPECT_EQ(seen[2].first, GestureState::CANCELLED);
    EXPECT_FALSE(window->beginDrag(Point{200, 600}).recognizer());
}

// A view that counts the display requests that reach it from below.
class Listening final : public View {
  public:
    void setNeedsDisplay() override { ++requests; }
    int requests = 0;
};

TEST_F(ViewTest, ScrollViewClipsAndScrollsByDragAndWheel) {
    auto window = host::addWindow(Rect(0, 0, 390, 844), kWindowLevelNormal, EdgeInsets{}, true);
    auto root = std::make_shared<Listening>();
    root->setFrame(Rect(0, 0, 390, 844));
    // An outer pan (as a banner's) under the scroll view.
    int outerPans = 0;
    root->addGestureRecognizer(
        std::make_shared<PanGestureRecognizer>([&](GestureRecognizer&) { ++outerPans; }));
    window->addSubview(root);
    auto scroll = ScrollView::make();
    EXPECT_TRUE(scroll->clipsToBounds);
    scroll->setFrame(Rect(20, 100, 300, 200));
    auto content = View::make();
    scroll->addSubview(content);
    root->addSubview(scroll);
    root->requests = 0;

    // Nothing to scroll: the drag goes to the pan further up, the wheel to none.
    scroll->contentSize = Size{300, 200};
    EXPECT_FALSE(window->scroll(Point{100, 150}, 0, 40));
    Drag idle = window->beginDrag(Point{100, 150});
    idle.end(Point{100, 100});
    EXPECT_EQ(outerPans, 2);
    EXPECT_EQ(root->requests, 0);

    content->setFrame(Rect(0, 0, 300, 1000));
    scroll->contentSize = Size{300, 1000};
    // A drag upwards moves the content up with the finger, within its bounds.
    Drag drag = window->beginDrag(Point{100, 250});
    drag.moveTo(Point{100, 150});
    EXPECT_EQ(scroll->contentOffset(), (Point{0, 100}));
    drag.moveTo(Point{100, -2000});
    EXPECT_EQ(scroll->contentOffset(), (Point{0, 800}));
    drag.end(Point{100, 260});
    EXPECT_EQ(scroll->contentOffset(), (Point{0, 0}));
    EXPECT_EQ(outerPans, 2);
    EXPECT_GE(root->requests, 3);

    // The wheel: towards the end, clamped, and no farther at the end.
    root->requests = 0;
    EXPECT_TRUE(window->scroll(Point{100, 150}, 0, 120));
    EXPECT_EQ(scroll->contentOffset(), (Point{0, 120}));
    EXPECT_EQ(root->requests, 1);
    EXPECT_TRUE(window->scroll(Point{100, 150}, 0, 5000));
    EXPECT_FALSE(window->scroll(Point{100, 150}, 0, 10));
    EXPECT_FALSE(window->scroll(Point{100, 150}, 0, std::nan("")));
    EXPECT_EQ(scroll->contentOffset(), (Point{0, 800}));
    // Content never scrolls sideways when it is as wide as the area.
    EXPECT_FALSE(window->scroll(Point{100, 150}, 50, 0));
    // Outside the area the wheel finds nothing to scroll.
    EXPECT_FALSE(window->scroll(Point{360, 150}, 0, -10));
    // The scrolled content is hit where it shows.
    EXPECT_EQ(window->hitTest(Point{100, 150}), content);
    EXPECT_EQ(content->convertFrom(Point{100, 150}, nullptr), (Point{80, 850}));
}

TEST_F(ViewTest, DisplayRequestsRiseFromTreeChangesAndSpinners) {
    auto root = std::make_shared<Listening>();
    auto mid = View::make();
    root->addSubview(mid);
    EXPECT_EQ(root->requests, 1);
    auto leaf = ActivityIndicatorView::make();
    mid->addSubview(leaf);
    EXPECT_EQ(root->requests, 2);
    leaf->startAnimating();
    leaf->startAnimating();
    EXPECT_EQ(root->requests, 3);
    EXPECT_TRUE(leaf->isAnimating());
    leaf->stopAnimating();
    EXPECT_FALSE(leaf->isAnimating());
    EXPECT_EQ(root->requests, 4);
    leaf->removeFromSuperview();
    EXPECT_EQ(root->requests, 5);
    // Off the tree, nothing is told.
    leaf->startAnimating();
    EXPECT_EQ(root->requests, 5);
    const double phase = ActivityIndicatorView::animationPhase();
    EXPECT_GE(phase, 0);
    EXPECT_LT(phase, 1);
    EXPECT_DOUBLE_EQ(phase * ActivityIndicatorView::kFrames,
                     std::round(phase * ActivityIndicatorView::kFrames));
}

}  // namespace
}  // namespace sorvel::platform

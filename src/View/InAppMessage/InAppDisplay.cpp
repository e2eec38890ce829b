#include "View/InAppMessage/InAppDisplay.h"

#include <cmath>
#include <cstdint>
#include <optional>

#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Platform/Dispatch.h"
#include "Platform/UI/View.h"
#include "View/InAppMessage/InAppScreen.h"
#include "View/InAppMessage/InAppViewHooks.h"
#include "View/InAppMessage/Layouts.h"

namespace sorvel {

namespace {

bool hasTurningSpinner(const platform::View& v) {
    if (v.hidden) {
        return false;
    }
    if (v.kind() == platform::ViewKind::ACTIVITY_INDICATOR &&
        static_cast<const platform::ActivityIndicatorView&>(v).isAnimating()) {
        return true;
    }
    for (const auto& child : v.subviews()) {
        if (hasTurningSpinner(*child)) {
            return true;
        }
    }
    return false;
}

}  // namespace

// Tells the presenter that a shown message's picture changed: changes that
// come closer together than kMinInterval are told once, at the end of it,
// and while a spinner turns each of its frames is told. Main thread only.
class DisplayPacer final : public std::enable_shared_from_this<DisplayPacer> {
  public:
    static constexpr platform::Millis kMinInterval{34};  // at most about 30 a second

    DisplayPacer(std::shared_ptr<InAppMessagePresenter> presenter,
                 std::weak_ptr<InAppMessageScreen> screen, std::weak_ptr<IAMView> view)
        : presenter_(std::move(presenter)), screen_(std::move(screen)), view_(std::move(view)) {}

    // The message was just presented: drawn as it is now.
    void presented() {
        last_ = platform::clock().monoNow();
        keepSpinning();
    }

    void request() { schedule(platform::Millis(0)); }

  private:
    // Runs fire no sooner than `after` from now and kMinInterval after the
    // last call. One run is pending at a time: a request for an earlier time
    // replaces it.
    void schedule(platform::Millis after) {
        const platform::MonoTime now = platform::clock().monoNow();
        platform::MonoTime at = now + after;
        if (last_ && *last_ + kMinInterval > at) {
            at = *last_ + kMinInterval;
        }
        if (pendingAt_ && *pendingAt_ <= at) {
            return;
        }
        pendingAt_ = at;
        const std::uint64_t generation = ++generation_;
        std::weak_ptr<DisplayPacer> weak = weak_from_this();
        auto run = [weak, generation] {
            auto self = weak.lock();
            if (self && self->generation_ == generation) {
                self->fire();
            }
        };
        const auto delay = std::chrono::ceil<platform::Millis>(at - now);
        if (delay.count() <= 0) {
            platform::DispatchQueue::main().async(std::move(run));
        } else {
            platform::DispatchQueue::main().asyncAfter(delay, std::move(run));
        }
    }

    void fire() {
        pendingAt_.reset();
        std::shared_ptr<IAMView> view = view_.lock();
        std::shared_ptr<InAppMessageScreen> screen = screen_.lock();
        if (!view || view->isClosed() || !screen) {
            return;
        }
        last_ = platform::clock().monoNow();
        presenter_->needsDisplay(screen);
        keepSpinning();
    }

    // While a spinner turns, the next of its frames is told when it is due.
    void keepSpinning() {
        std::shared_ptr<IAMView> view = view_.lock();
        if (!view || view->isClosed() || !hasTurningSpinner(*view)) {
            return;
        }
        constexpr double kFrames = platform::ActivityIndicatorView::kFrames;
        const double t = platform::mediaTime();
        const double next = (std::floor(t * kFrames) + 1) / kFrames;
        schedule(std::chrono::ceil<platform::Millis>(std::chrono::duration<double>(next - t)));
    }

    std::shared_ptr<InAppMessagePresenter> presenter_;
    std::weak_ptr<InAppMessageScreen> screen_;
    std::weak_ptr<IAMView> view_;
    std::optional<platform::MonoTime> pendingAt_;
    std::uint64_t generation_ = 0;
    std::optional<platform::MonoTime> last_;
};

std::shared_ptr<IAMView> displayInAppMessage(const std::shared_ptr<const InAppMessage>& message,
                                             InAppLogEvent logEvent) {
    if (!message) {
        return nullptr;
    }
    auto unknown = [&] {
        SvlLog::error("Unknown InAppMessage Type or Layout, Type = " + message->type +
                          ", Layout = " + message->layout,
                      true);
    };
    // A type and layout without a view is told whatever the screen holds.
    if (!hasInAppView(*message)) {
        unknown();
        return nullptr;
    }
    std::shared_ptr<platform::Window> target;
    const std::vector<std::shared_ptr<platform::Window>> windows =
        platform::Application::shared().windows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        if ((*it)->windowLevel == platform::kWindowLevelNormal) {
            target = *it;
            break;
        }
    }
    if (!target) {
        SvlLog::debug("InAppMessage not shown: no window of normal level, campaignId : " +
                          message->campaignId,
                      true);
        return nullptr;
    }
    std::shared_ptr<IAMView> view = message->makeView(std::move(logEvent));
    if (!view) {
        unknown();
        return nullptr;
    }
    target->addSubview(view);
    target->bringSubviewToFront(view.get());
    SVLBooleanState::isInAppMessageShowing().set(true);
    if (std::shared_ptr<InAppMessagePresenter> presenter = InAppViewHooks::presenter()) {
        target->layoutIfNeeded();
        auto screen = std::make_shared<WindowMessageScreen>(view, target);
        std::weak_ptr<InAppMessageScreen> weakScreen = screen;
        view->onClosed = [presenter, weakScreen] {
            if (auto s = weakScreen.lock()) {
                presenter->dismissed(s);
            }
        };
        auto pacer = std::make_shared<DisplayPacer>(presenter, weakScreen, view);
        view->onNeedsDisplay = [pacer] { pacer->request(); };
        presenter->present(screen);
        pacer->presented();
    }
    return view;
}

}  // namespace sorvel

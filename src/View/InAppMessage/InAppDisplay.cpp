#include "View/InAppMessage/InAppDisplay.h"

#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Platform/UI/View.h"
#include "View/InAppMessage/InAppScreen.h"
#include "View/InAppMessage/InAppViewHooks.h"
#include "View/InAppMessage/Layouts.h"

namespace sorvel {

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
        presenter->present(screen);
    }
    return view;
}

}  // namespace sorvel

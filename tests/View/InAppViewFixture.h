#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/SvlLog.h"
#include "InAppMessage/InAppMessage.h"
#include "Event/LogEventParameter.h"
#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/RunLoop.h"
#include "View/InAppMessage/InAppViewHooks.h"
#include "View/InAppMessage/Layouts.h"
#include "support/TestSupport.h"

namespace sorvel::testing {

// A store whose image lookups answer from a script (null: no image) and
// count themselves; one-day closes are recorded.
class FakeViewStore final : public IInAppViewStore {
  public:
    std::optional<ImageInfo> getAndSaveImageInfo(const std::string& campaignId, bool isPortrait,
                                                 bool isFirstShow) override {
        platform::ImagePtr image;
        {
            platform::MutexLock lock(mu_);
            ++lookups_;
            lastCampaign_ = campaignId;
            lastPortrait_ = isPortrait;
            lastFirstShow_ = isFirstShow;
            onMain_ = onMain_ || platform::isMainThread();
            if (!answers_.empty()) {
                image = answers_.front();
                answers_.pop_front();
            }
        }
        notifyWaiters();
        if (!image) {
            return std::nullopt;
        }
        return ImageInfo{image, "https://img.example/p.png", true, "{}"};
    }
    void closeForOneDay(const std::string& campaignId, const std::string& day,
                        std::int64_t time) override {
        platform::MutexLock lock(mu_);
        closes_.push_back(campaignId + "|" + day + "|" + std::to_string(time));
    }

    void answer(platform::ImagePtr image) {
        platform::MutexLock lock(mu_);
        answers_.push_back(std::move(image));
    }
    int lookups() const {
        platform::MutexLock lock(mu_);
        return lookups_;
    }
    bool lookedUpOnMain() const {
        platform::MutexLock lock(mu_);
        return onMain_;
    }
    bool lastPortrait() const {
        platform::MutexLock lock(mu_);
        return lastPortrait_;
    }
    std::vector<std::string> closes() const {
        platform::MutexLock lock(mu_);
        return closes_;
    }

  private:
    mutable platform::Mutex mu_;
    std::deque<platform::ImagePtr> answers_ GUARDED_BY(mu_);
    int lookups_ GUARDED_BY(mu_) = 0;
    std::string lastCampaign_ GUARDED_BY(mu_);
    bool lastPortrait_ GUARDED_BY(mu_) = false;
    bool lastFirstShow_ GUARDED_BY(mu_) = false;
    bool onMain_ GUARDED_BY(mu_) = false;
    std::vector<std::string> closes_ GUARDED_BY(mu_);
};

class RecordingClickDelegate final : public SorvelKVInAppMessageClickDelegate {
  public:
    struct Call {
        std::string actionId, actionType, actionArg;
        bool isClosed;
    };
    void onReceiveInAppMessageClick(const std::string& actionId, const std::string& actionType,
                                    const std::string& actionArg, bool isClosed) override {
        calls.push_back(Call{actionId, actionType, actionArg, isClosed});
    }
    std::vector<Call> calls;
};

inline platform::ImagePtr solidImage(std::uint32_t w, std::uint32_t h) {
    auto img = std::make_shared<platform::Image>();
    img->width = w;
    img->height = h;
    img->rgba.assign(static_cast<std::size_t>(w) * h * 4, 200);
    return img;
}

inline IAMButtonInfo button(const std::string& id, const std::string& type,
                            std::optional<std::string> arg = std::nullopt) {
    IAMButtonInfo b;
    b.buttonId = id;
    b.text = "Button " + id;
    b.clickAction = ClickAction{id, type, std::move(arg)};
    return b;
}

inline InAppMessageFields messageFields(const std::string& type, const std::string& layout) {
    InAppMessageFields f;
    f.campaignId = "cmp-1";
    f.type = type;
    f.layout = layout;
    f.bgColor = "#FFFFFF";
    f.overlayColor = "#80000000";
    f.titleText = "Title";
    f.bodyText = "Body";
    f.defaultCloseButtonColor = "#000000";
    f.defaultCloseButtonBgColor = "#FFFFFF";
    f.buttonArray = {button("b1", "close"), button("b2", "weblink", "https://example.com/x")};
    f.numberOfButtons = 2;
    f.imageClickAction = ClickAction{"img", "close", std::nullopt};
    return f;
}

// Reference screens: portrait 390 x 844 (insets top 47, bottom 34) and
// landscape 844 x 390 (left 47, right 47, bottom 21).
inline const platform::EdgeInsets kPortraitInsets{47, 0, 34, 0};
inline const platform::EdgeInsets kLandscapeInsets{0, 47, 21, 47};

class InAppViewTest : public ::testing::Test {
  protected:
    explicit InAppViewTest(bool manualClock = true) : sdk_(manualClock) {}

    void SetUp() override {
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(nullptr);
        platform::host::setOpenUrlHandler(
            [this](const std::string& url) { opened_.push_back(url); });
    }
    void TearDown() override { platform::host::removeAllWindows(); }

    std::shared_ptr<platform::Window> screen(bool portrait, bool key = true) {
        platform::host::setInterfaceOrientation(
            portrait ? platform::InterfaceOrientation::PORTRAIT
                     : platform::InterfaceOrientation::LANDSCAPE_RIGHT);
        return platform::host::addWindow(platform::mainScreenBounds(), platform::kWindowLevelNormal,
                                         portrait ? kPortraitInsets : kLandscapeInsets, key);
    }

    InAppLogEvent sink() {
        return [this](const LogEventParameter& p) {
            events_.push_back(p);
            notifyWaiters();
        };
    }

    template <typename Layout>
    std::shared_ptr<Layout> show(const std::shared_ptr<platform::Window>& window,
                                 InAppMessageFields fields) {
        auto view = IAMView::make<Layout>(InAppMessage::make(std::move(fields)), sink());
        window->addSubview(view);
        window->layoutIfNeeded();
        return view;
    }

    std::vector<std::string> eventTypes() const {
        std::vector<std::string> out;
        for (const auto& e : events_) {
            auto it = e.eventParam.find("svl:gf:event_type");
            out.push_back(it == e.eventParam.end() || !it->second.getString()
                              ? "?"
                              : *it->second.getString());
        }
        return out;
    }

    bool pumpUntil(const std::function<bool()>& pred) {
        return platform::RunLoop::main().runUntil(pred, platform::Millis(10000));
    }

    FreshSdk sdk_;
    LogCapture log_;
    std::vector<LogEventParameter> events_;
    std::vector<std::string> opened_;
};

}  // namespace sorvel::testing

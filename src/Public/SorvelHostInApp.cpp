#include <cmath>
#include <exception>

#include "Common/SdkState.h"
#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/SystemLog.h"
#include "View/InAppMessage/InAppViewHooks.h"
#include "sorvel/SorvelHost.h"

// The host calls through which a Linux app gives in-app messages a screen,
// shows them itself and measures their text.
namespace sorvel {
namespace {

void warn(const std::string& line) {
    platform::SystemLog::write("svlkv [warning]: SorvelHost::" + line);
}

template <typename F>
void inAppHostCall(const char* name, F&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        warn(std::string(name) + " failed: " + e.what());
    } catch (...) {
        warn(std::string(name) + " failed");
    }
}

// The host's safe-area insets and window for the in-app views, kept for one
// SDK lifetime.
struct ScreenState : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::hostScreen;

    platform::Mutex mu;
    platform::EdgeInsets portrait GUARDED_BY(mu);
    platform::EdgeInsets landscape GUARDED_BY(mu);
    std::weak_ptr<platform::Window> window GUARDED_BY(mu);
};

ScreenState& screenState() {
    return SdkState::shared().part<ScreenState>();
}

platform::EdgeInsets toInsets(const InAppInsets& i) {
    auto ok = [](double v) { return std::isfinite(v) && v >= 0 ? v : 0.0; };
    return platform::EdgeInsets{ok(i.top), ok(i.left), ok(i.bottom), ok(i.right)};
}

// The app's metrics as the view layer's measurer.
class AppTextMeasurer final : public platform::ITextMeasurer {
  public:
    explicit AppTextMeasurer(std::shared_ptr<const InAppTextMetrics> metrics)
        : metrics_(std::move(metrics)) {}
    double lineWidth(std::string_view utf8, const platform::Font& font) const override {
        const double w = metrics_->lineWidth(utf8, font.size, font.bold);
        return std::isfinite(w) && w > 0 ? w : 0;
    }
    double lineHeight(const platform::Font& font) const override {
        const double h = metrics_->lineHeight(font.size, font.bold);
        return std::isfinite(h) && h > 0 ? h : 1.2 * font.size;
    }
    std::vector<double> pieceWidths(std::string_view utf8, const std::vector<std::size_t>& ends,
                                    const platform::Font& font) const override {
        std::vector<double> w = metrics_->pieceWidths(utf8, ends, font.size, font.bold);
        // An answer of the wrong length counts as nothing measured.
        w.resize(ends.size(), 0.0);
        return w;
    }

  private:
    std::shared_ptr<const InAppTextMetrics> metrics_;
};

}  // namespace

void SorvelHost::setScreen(double width, double height, const InAppInsets& portraitInsets,
                           const InAppInsets& landscapeInsets) noexcept {
    inAppHostCall("setScreen", [&] {
        if (!std::isfinite(width) || !std::isfinite(height) || width <= 0 || height <= 0) {
            warn("setScreen :: the size is not positive and finite; ignored");
            return;
        }
        platform::host::setScreenSize(platform::Size{width, height});
        ScreenState& s = screenState();
        std::shared_ptr<platform::Window> window;
        platform::EdgeInsets insets;
        {
            platform::MutexLock lock(s.mu);
            s.portrait = toInsets(portraitInsets);
            s.landscape = toInsets(landscapeInsets);
            window = s.window.lock();
            insets = platform::isPortrait(platform::Application::shared().statusBarOrientation())
                         ? s.portrait
                         : s.landscape;
        }
        if (!window) {
            window = platform::host::addWindow(platform::mainScreenBounds(),
                                               platform::kWindowLevelNormal, insets, true);
            platform::MutexLock lock(s.mu);
            s.window = window;
        }
        window->setFrame(platform::mainScreenBounds());
        window->insets = insets;
    });
}

void SorvelHost::rotateScreen(bool portrait) noexcept {
    inAppHostCall("rotateScreen", [&] {
        platform::EdgeInsets insets;
        {
            ScreenState& s = screenState();
            platform::MutexLock lock(s.mu);
            insets = portrait ? s.portrait : s.landscape;
        }
        platform::host::rotateDevice(portrait ? platform::DeviceOrientation::PORTRAIT
                                              : platform::DeviceOrientation::LANDSCAPE_LEFT,
                                     insets);
    });
}

void SorvelHost::setInAppMessagePresenter(
    std::shared_ptr<InAppMessagePresenter> presenter) noexcept {
    inAppHostCall("setInAppMessagePresenter",
                  [&] { InAppViewHooks::setPresenter(std::move(presenter)); });
}

void SorvelHost::setInAppTextMetrics(std::shared_ptr<const InAppTextMetrics> metrics) noexcept {
    inAppHostCall("setInAppTextMetrics", [&] {
        platform::host::setTextMeasurer(
            metrics ? std::make_shared<AppTextMeasurer>(std::move(metrics)) : nullptr);
    });
}

}  // namespace sorvel

#include "View/InAppMessage/CommonView.h"

#include <algorithm>
#include <cmath>

#include "Base/Url.h"
#include "Common/Constants.h"
#include "Common/DatesAndIds.h"
#include "Common/Extensions.h"
#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Event/LogEventParameter.h"
#include "Event/TypedValueDictionary.h"
#include "Platform/ProcessState.h"
#include "View/InAppMessage/InAppViewHooks.h"

namespace sorvel {

using platform::Color;
using platform::Point;
using platform::Rect;
using platform::Size;

// ---- IAMView -----------------------------------------------------------------

IAMView::IAMView(std::shared_ptr<const InAppMessage> message, InAppLogEvent logEvent)
    : inAppMessage_(std::move(message)), logEvent_(std::move(logEvent)) {
    isPortrait_ = platform::isPortrait(platform::Application::shared().statusBarOrientation());
    setFrame(Rect(0, 0, 0, 0));
}

IAMView::~IAMView() {
    if (observer_) {
        platform::NotificationCenter::shared().removeObserver(*observer_);
    }
    if (countDownTimer) {
        countDownTimer->stop();
    }
}

void IAMView::start() {
    std::weak_ptr<View> weak = weak_from_this();
    observer_ = platform::NotificationCenter::shared().addObserver(
        platform::kDeviceOrientationDidChangeNotification,
        [weak](const std::string&, const std::optional<Value>&) {
            if (auto v = std::static_pointer_cast<IAMView>(weak.lock())) {
                v->rotateClose();
            }
        });
    logImpression();
}

namespace {
void logInAppEvent(const InAppLogEvent& sink, Value::Map params) {
    if (!sink) {
        return;
    }
    sink(LogEventParameter::initWithEventName(Constants::EVENT_GROUP_STANDARD,
                                              Constants::EVENT_NAME_IN_APP_MESSAGE_ACTION,
                                              FvnUtil::toTypedValueDictionary(params)));
}
}  // namespace

void IAMView::logImpression() {
    const InAppMessage& m = *inAppMessage_;
    Value::Map params;
    params[Constants::PARAM_KEY_GF_EVENT_TYPE] =
        Value(std::string(rawValue(EventType::IMPRESSION)));
    params[Constants::PUSH_KEY_GF_CAMPAIGN_ID] = Value(m.campaignId);
    const InAppImage& image = isPortrait_ ? m.portraitImage : m.landscapeImage;
    if (image) {
        const std::optional<std::string>& url =
            isPortrait_ ? m.portraitImageURL : m.landscapeImageURL;
        if (url) {
            params[Constants::PARAM_KEY_GF_IMAGE_URL] = Value(*url);
        }
        params[Constants::PARAM_KEY_GF_IS_IMAGE_DOWNLOADED] =
            Value(isPortrait_ ? m.isPortraitImageDownloaded : m.isLandscapeImageDownloaded);
        params[Constants::PARAM_KEY_GF_IMAGE_SIZE] =
            Value(static_cast<std::int64_t>(image->bytesPerRow()) *
                  static_cast<std::int64_t>(image->height));
    }
    logInAppEvent(logEvent_, std::move(params));
}

void IAMView::logClick(const std::string& actionId) {
    Value::Map params;
    params[Constants::PARAM_KEY_GF_EVENT_TYPE] = Value(std::string(rawValue(EventType::CLICK)));
    params[Constants::PUSH_KEY_GF_CAMPAIGN_ID] = Value(inAppMessage_->campaignId);
    params[Constants::PARAM_KEY_GF_ACTION_ID] = Value(actionId);
    logInAppEvent(logEvent_, std::move(params));
}

void IAMView::close() {
    // Held so that removing the view from its window does not end it mid-call.
    std::shared_ptr<View> keep = shared_from_this();
    if (countDownTimer) {
        countDownTimer->stop();
    }
    countDownTimer.reset();
    if (observer_) {
        platform::NotificationCenter::shared().removeObserver(*observer_);
        observer_.reset();
    }
    const bool wasClosed = closed_;
    closed_ = true;
    onNeedsDisplay = nullptr;
    removeFromSuperview();
    // A view closed before cannot clear the flag of a newer message.
    if (!wasClosed) {
        SVLBooleanState::isInAppMessageShowing().set(false);
        if (std::function<void()> closed = std::move(onClosed)) {
            onClosed = nullptr;
            closed();
        }
    }
}

void IAMView::setNeedsDisplay() {
    if (!closed_ && onNeedsDisplay) {
        // The handler may replace itself.
        std::function<void()> handler = onNeedsDisplay;
        handler();
    }
}

void IAMView::rotateClose() {
    const bool portrait =
        platform::isPortrait(platform::Application::shared().statusBarOrientation());
    if (portrait != isPortrait_) {
        close();
    }
}

CloseAction IAMView::closeAction() {
    std::weak_ptr<View> weak = weak_from_this();
    return [weak] {
        if (auto v = std::static_pointer_cast<IAMView>(weak.lock())) {
            v->close();
        }
    };
}

ClickLogAction IAMView::clickLogAction() {
    std::weak_ptr<View> weak = weak_from_this();
    return [weak](const std::string& actionId) {
        if (auto v = std::static_pointer_cast<IAMView>(weak.lock())) {
            v->logClick(actionId);
        }
    };
}

// ---- onClick -----------------------------------------------------------------

namespace {

// The text inside the quotes escaped as a string literal would be, so that a
// value holding a quote, a backslash or a line break cannot end the quotes
// early or forge a log line of its own.
std::string describeOptional(const std::optional<std::string>& text) {
    if (!text) {
        return "nil";
    }
    std::string out = "Optional(\"";
    for (char c : *text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    static constexpr char kHex[] = "0123456789abcdef";
                    const auto u = static_cast<unsigned char>(c);
                    out += "\\u{";
                    if (u >= 0x10) {
                        out += kHex[u >> 4];
                    }
                    out += kHex[u & 15];
                    out += '}';
                } else {
                    out += c;
                }
        }
    }
    return out + "\")";
}

// Only an absolute address (a scheme, then nothing outside the URL character
// set) is handed to the system to open.
bool openUrl(const std::optional<std::string>& actionArg) {
    std::optional<text::UrlParts> url;
    if (actionArg) {
        url = text::parseUrl(*actionArg);
    }
    if (!url || url->scheme.empty()) {
        SvlLog::error(
            "onClick :: can not get url from actionArg, actionArg : " + describeOptional(actionArg),
            true);
        return false;
    }
    platform::Application::shared().openURL(*actionArg);
    return true;
}

bool closeForOneDay(const std::string& campaignId) {
    std::shared_ptr<IInAppViewStore> store = InAppViewHooks::store();
    const platform::WallTime now = platform::clock().wallNow();
    std::optional<std::string> weekday = FvnUtil::getDayOfWeek(now);
    if (!store || !weekday) {
        SvlLog::error("onClick :: inAppMessageDAO or weekday is nil", true);
        return false;
    }
    store->closeForOneDay(campaignId, *weekday, ext::toMillis(now));
    return true;
}

}  // namespace

void onClick(const std::string& campaignId, const ClickAction& action,
             const CloseAction& closeAction, const ClickLogAction& clickAction) {
    const std::string actionId = action.actionId.value_or("");
    const std::optional<std::string>& type = action.actionType;
    auto is = [&](ClickActionType t) { return type && *type == rawValue(t); };
    const bool closes = is(ClickActionType::CLOSE) || is(ClickActionType::DEEPLINK_AND_CLOSE) ||
                        is(ClickActionType::WEBLINK_AND_CLOSE) ||
                        is(ClickActionType::ONE_DAY_CLOSE);
    if (auto delegate = InAppViewHooks::clickDelegate()) {
        delegate->onReceiveInAppMessageClick(actionId, type.value_or(""),
                                             action.actionArg.value_or(""), closes);
    }
    auto close = [&] {
        if (closeAction) {
            closeAction();
        }
    };
    auto click = [&] {
        if (clickAction) {
            clickAction(actionId);
        }
    };
    if (is(ClickActionType::CLOSE)) {
        close();
        click();
    } else if (is(ClickActionType::DEEPLINK) || is(ClickActionType::WEBLINK)) {
        if (openUrl(action.actionArg)) {
            click();
        }
    } else if (is(ClickActionType::DEEPLINK_AND_CLOSE) || is(ClickActionType::WEBLINK_AND_CLOSE)) {
        if (openUrl(action.actionArg)) {
            click();
            close();
        }
    } else if (is(ClickActionType::ONE_DAY_CLOSE)) {
        if (closeForOneDay(campaignId)) {
            click();
            close();
        }
    } else {
        SvlLog::debug(
            "onClick :: unknown clickActionType, clickActionType : " + describeOptional(type),
            true);
    }
}

// ---- Controls ----------------------------------------------------------------

std::shared_ptr<IAMButton> IAMButton::make(IAMButtonInfo info, std::string campaignId,
                                           CloseAction closeAction, ClickLogAction clickAction) {
    auto b = std::make_shared<IAMButton>();
    b->addSubview(b->titleLabel());
    b->info_ = std::move(info);
    b->campaignId_ = std::move(campaignId);
    b->closeAction_ = std::move(closeAction);
    b->clickAction_ = std::move(clickAction);
    b->backgroundColor = ext::initHex(b->info_.bgColor, Color::white());
    b->setTitle(b->info_.text.value_or(""));
    b->titleLabel()->font = platform::Font{18, false};
    b->setTitleColor(ext::initHex(b->info_.textColor, Color::systemBlue()));
    b->heightConstraint = 52;
    b->borderColor = ext::initHex(b->info_.borderColor, Color::systemBlue());
    b->borderWidth = 1.5;
    std::weak_ptr<View> weak = b->weak_from_this();
    b->addTouchUpInside([weak] {
        if (auto self = std::static_pointer_cast<IAMButton>(weak.lock())) {
            self->buttonClicked();
        }
    });
    return b;
}

void IAMButton::buttonClicked() {
    onClick(campaignId_, info_.clickAction, closeAction_, clickAction_);
}

std::shared_ptr<IAMButtonStack> IAMButtonStack::make(const std::vector<IAMButtonInfo>& buttons,
                                                     const std::string& campaignId,
                                                     const CloseAction& closeAction,
                                                     const ClickLogAction& clickAction) {
    auto s = std::make_shared<IAMButtonStack>();
    s->axis = platform::StackAxis::HORIZONTAL;
    s->alignment = platform::StackAlignment::CENTER;
    s->distribution = platform::StackDistribution::FILL_EQUALLY;
    s->spacing = 10;
    for (const IAMButtonInfo& info : buttons) {
        s->addArrangedSubview(IAMButton::make(info, campaignId, closeAction, clickAction));
    }
    return s;
}

std::shared_ptr<IAMDefaultCloseButton> IAMDefaultCloseButton::make(
    const std::optional<std::string>& textColor, const std::optional<std::string>& bgColor,
    CloseAction closeAction) {
    auto b = std::make_shared<IAMDefaultCloseButton>();
    b->addSubview(b->titleLabel());
    b->closeAction_ = std::move(closeAction);
    b->setTitle("X");
    b->titleLabel()->font = platform::Font{20, false};
    b->setTitleColor(ext::initHex(textColor, Color::systemBlue()));
    b->backgroundColor = ext::initHex(bgColor, Color::white());
    b->widthConstraint = 30;
    b->heightConstraint = 30;
    b->clipsToBounds = true;
    b->cornerRadius = 15;
    std::weak_ptr<View> weak = b->weak_from_this();
    b->addTouchUpInside([weak] {
        if (auto self = std::static_pointer_cast<IAMDefaultCloseButton>(weak.lock())) {
            self->buttonClicked();
        }
    });
    return b;
}

void IAMDefaultCloseButton::buttonClicked() {
    if (closeAction_) {
        closeAction_();
    }
}

std::shared_ptr<IAMImageView> IAMImageView::make(ClickAction clickActionInfo,
                                                 std::string campaignId, CloseAction closeAction,
                                                 ClickLogAction clickAction) {
    auto v = std::make_shared<IAMImageView>();
    v->clickActionInfo_ = std::move(clickActionInfo);
    v->campaignId_ = std::move(campaignId);
    v->closeAction_ = std::move(closeAction);
    v->clickAction_ = std::move(clickAction);
    std::weak_ptr<View> weak = v->weak_from_this();
    v->userInteractionEnabled = true;
    v->addGestureRecognizer(
        std::make_shared<platform::TapGestureRecognizer>([weak](platform::GestureRecognizer&) {
            if (auto self = std::static_pointer_cast<IAMImageView>(weak.lock())) {
                self->clicked();
            }
        }));
    return v;
}

void IAMImageView::clicked() {
    onClick(campaignId_, clickActionInfo_, closeAction_, clickAction_);
}

// ---- Labels, text area, card, spinner ------------------------------------------

namespace {
std::shared_ptr<platform::Label> makeLabel(const std::optional<std::string>& textColor,
                                           const std::optional<std::string>& text,
                                           const std::optional<std::string>& textAlign,
                                           platform::Font font) {
    auto l = platform::Label::make();
    // A label sets no more than its laid-out part (a campaign's text may run
    // to megabytes): only that part is copied.
    l->text = text ? std::string(platform::laidOutPart(*text)) : std::string();
    l->font = font;
    l->numberOfLines = 0;
    l->textColor = ext::initHex(textColor, Color::black());
    l->textAlignment = ext::toTextAlignment(textAlign);
    return l;
}
}  // namespace

std::shared_ptr<platform::Label> makeTitleLabel(const std::optional<std::string>& textColor,
                                                const std::optional<std::string>& text,
                                                const std::optional<std::string>& textAlign) {
    return makeLabel(textColor, text, textAlign, platform::Font{20, true});
}

std::shared_ptr<platform::Label> makeBodyLabel(const std::optional<std::string>& textColor,
                                               const std::optional<std::string>& text,
                                               const std::optional<std::string>& textAlign) {
    auto l = makeLabel(textColor, text, textAlign, platform::Font{14, false});
    l->sizeToFit();
    return l;
}

std::shared_ptr<TextScrollView> TextScrollView::make(std::shared_ptr<platform::Label> titleLabel,
                                                     std::shared_ptr<platform::Label> bodyLabel,
                                                     bool centerVertically) {
    auto s = std::make_shared<TextScrollView>();
    s->centerVertically_ = centerVertically;
    s->contentView_ = platform::View::make();
    s->addSubview(s->contentView_);
    s->stack_ = platform::StackView::make();
    s->stack_->axis = platform::StackAxis::VERTICAL;
    s->stack_->alignment = platform::StackAlignment::FILL;
    s->stack_->distribution = platform::StackDistribution::FILL;
    s->stack_->spacing = 5;
    s->contentView_->addSubview(s->stack_);
    s->stack_->addArrangedSubview(std::move(titleLabel));
    s->stack_->addArrangedSubview(std::move(bodyLabel));
    s->enableScrolling();
    return s;
}

double TextScrollView::contentHeightFor(double width) const {
    return stack_->sizeThatFits(Size{width, 0}).height;
}

void TextScrollView::layoutSubviews() {
    const double w = frame().width();
    const double h = frame().height();
    const double stackH = contentHeightFor(w);
    // The content is as tall as the area (a weak wish) unless the text needs more.
    const double contentH = std::max(h, stackH);
    contentView_->setFrame(Rect(0, 0, w, contentH));
    contentSize = Size{w, contentH};
    if (centerVertically_) {
        stack_->setFrame(Rect(0, (contentH - stackH) / 2, w, stackH));
    } else {
        stack_->setFrame(Rect(0, 0, w, contentH));
    }
    setContentOffset(contentOffset());
    // A pinned stack taller than its text gives the rest to the last view.
    stack_->layoutSubviews();
    const auto& arranged = stack_->arrangedSubviews();
    if (!centerVertically_ && !arranged.empty() && contentH > stackH) {
        const auto& last = arranged.back();
        Rect f = last->frame();
        last->setFrame(Rect(f.minX(), f.minY(), f.width(), f.height() + contentH - stackH));
    }
}

std::shared_ptr<ModalContainer> ModalContainer::make(std::shared_ptr<View> defaultCloseButton) {
    auto c = std::make_shared<ModalContainer>();
    c->defaultCloseButton_ = std::move(defaultCloseButton);
    return c;
}

std::shared_ptr<platform::View> ModalContainer::hitTest(Point point) {
    if (defaultCloseButton_ && !hidden && userInteractionEnabled && alpha >= 0.01) {
        const Point p = convertTo(point, defaultCloseButton_.get());
        if (defaultCloseButton_->isDescendantOf(this) &&
            defaultCloseButton_->bounds().contains(p)) {
            return defaultCloseButton_->hitTest(p);
        }
    }
    return View::hitTest(point);
}

std::shared_ptr<SpinnerView> SpinnerView::make() {
    auto s = std::make_shared<SpinnerView>();
    s->indicator_ = platform::ActivityIndicatorView::make();
    s->indicator_->color = Color::darkGray();
    s->indicator_->widthConstraint = 40;
    s->indicator_->heightConstraint = 40;
    s->addSubview(s->indicator_);
    s->indicator_->startAnimating();
    return s;
}

void SpinnerView::layoutSubviews() {
    indicator_->setFrame(Rect(frame().width() / 2 - 20, frame().height() / 2 - 20, 40, 40));
}

platform::ImagePtr refreshIcon() {
    static const platform::NoDestructor<platform::ImagePtr> icon([] {
        // A white ring, open at the top right, with an arrow head at its end.
        constexpr int kSide = 52;
        auto img = std::make_shared<platform::Image>();
        img->width = kSide;
        img->height = kSide;
        img->rgba.assign(static_cast<std::size_t>(kSide * kSide * 4), 0);
        const double c = kSide / 2.0;
        const double pi = std::acos(-1.0);
        auto put = [&](int x, int y) {
            if (x < 0 || y < 0 || x >= kSide || y >= kSide) {
                return;
            }
            const std::size_t i = static_cast<std::size_t>((y * kSide + x) * 4);
            img->rgba[i] = img->rgba[i + 1] = img->rgba[i + 2] = img->rgba[i + 3] = 255;
        };
        for (int y = 0; y < kSide; ++y) {
            for (int x = 0; x < kSide; ++x) {
                const double dx = x + 0.5 - c;
                const double dy = y + 0.5 - c;
                const double r = std::sqrt(dx * dx + dy * dy);
                double a = std::atan2(-dy, dx);  // 0 at the right, counter-clockwise
                if (a < 0) {
                    a += 2 * pi;
                }
                if (r >= 14 && r <= 19 && !(a > 0.15 * pi && a < 0.45 * pi)) {
                    put(x, y);
                }
            }
        }
        // The arrow head at the ring's upper end, pointing back along it.
        const double ax = c + 16.5 * std::cos(0.45 * pi);
        const double ay = c - 16.5 * std::sin(0.45 * pi);
        for (int i = 0; i <= 8; ++i) {
            for (int j = -i; j <= i; ++j) {
                put(static_cast<int>(ax + 8 - i), static_cast<int>(ay + j));
            }
        }
        return platform::ImagePtr(std::move(img));
    }());
    return const_cast<platform::NoDestructor<platform::ImagePtr>&>(icon).get();
}

}  // namespace sorvel

#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "InAppMessage/InAppMessage.h"
#include "Platform/NotificationCenter.h"
#include "Platform/UI/View.h"
#include "View/InAppMessage/CountDownTimer.h"

// The in-app message kit: the base view of every layout, the click executor
// and the controls, labels and containers the layouts are built from. Main
// thread only, like every view.
namespace sorvel {

// The close closure (closes the view) and the click closure (logs a click with
// an action id) that every layout hands to its controls.
using CloseAction = std::function<void()>;
using ClickLogAction = std::function<void(const std::string& actionId)>;

// The base view of the six layouts. It keeps the message and the event sink,
// records the orientation it was built in, logs the impression while it is
// built, logs clicks, closes itself, and closes when the interface turns
// between portrait and landscape.
//
// Built in two phases (make<Layout>): the constructor stores the fields, then,
// once the view is owned by a shared_ptr, the orientation observer (holding
// the view weakly) is registered, the impression is logged and the layout
// builds its subviews. Closures handed to controls hold the view weakly.
class IAMView : public platform::View {
  public:
    IAMView(std::shared_ptr<const InAppMessage> message, InAppLogEvent logEvent);
    ~IAMView() override;

    template <typename Layout>
    static std::shared_ptr<Layout> make(std::shared_ptr<const InAppMessage> message,
                                        InAppLogEvent logEvent) {
        auto view = std::make_shared<Layout>(std::move(message), std::move(logEvent));
        IAMView& base = *view;
        base.start();
        base.build();
        return view;
    }

    const std::shared_ptr<const InAppMessage>& inAppMessage() const { return inAppMessage_; }
    bool isPortrait() const { return isPortrait_; }
    // The running image poll of an image layout, or null.
    std::shared_ptr<CountDownTimer> countDownTimer;

    // "in_app_message_action" with "svl:gf:event_type" "impression", the
    // campaign id and, when the image of the view's orientation is present,
    // its address, downloaded flag and byte size (width x 4 x height).
    void logImpression();
    // The click event with the action id ("" when the action had none).
    void logClick(const std::string& actionId);
    // Stops the poll, leaves the window, clears the showing flag and stops
    // watching the orientation.
    void close();
    // Closes when the interface turned between portrait and landscape.
    void rotateClose();
    bool isClosed() const { return closed_; }

    // Runs once, after the first close (the display step tells the host's
    // presenter).
    std::function<void()> onClosed;
    // Runs whenever what the view shows changed while it is open (the
    // display step has the host's presenter draw it again).
    std::function<void()> onNeedsDisplay;
    void setNeedsDisplay() override;

    // Closures for the controls; each holds the view weakly.
    CloseAction closeAction();
    ClickLogAction clickLogAction();

  protected:
    // The layout's own steps, run after the impression.
    virtual void build() = 0;

  private:
    void start();

    std::shared_ptr<const InAppMessage> inAppMessage_;
    InAppLogEvent logEvent_;
    bool isPortrait_ = true;
    bool closed_ = false;
    std::optional<platform::NotificationCenter::Token> observer_;
};

// Runs a tapped element's click action: tells the app's click delegate, then
// closes, opens a link, or hides the campaign for today, and logs the click
// through clickAction. Main thread.
void onClick(const std::string& campaignId, const ClickAction& action,
             const CloseAction& closeAction, const ClickLogAction& clickAction);

// ---- Controls ------------------------------------------------------------

// One campaign button: 52 points high, square corners, a 1.5-point border.
class IAMButton final : public platform::Button {
  public:
    static std::shared_ptr<IAMButton> make(IAMButtonInfo info, std::string campaignId,
                                           CloseAction closeAction, ClickLogAction clickAction);
    void buttonClicked();
    const IAMButtonInfo& info() const { return info_; }

  private:
    IAMButtonInfo info_;
    std::string campaignId_;
    CloseAction closeAction_;
    ClickLogAction clickAction_;
};

// The row of campaign buttons: equal widths, 10 points apart, in array order.
class IAMButtonStack final : public platform::StackView {
  public:
    static std::shared_ptr<IAMButtonStack> make(const std::vector<IAMButtonInfo>& buttons,
                                                const std::string& campaignId,
                                                const CloseAction& closeAction,
                                                const ClickLogAction& clickAction);
};

// The round 30 x 30 "X" button; a tap only closes.
class IAMDefaultCloseButton final : public platform::Button {
  public:
    static std::shared_ptr<IAMDefaultCloseButton> make(const std::optional<std::string>& textColor,
                                                       const std::optional<std::string>& bgColor,
                                                       CloseAction closeAction);
    void buttonClicked();

  private:
    CloseAction closeAction_;
};

// The message image; a tap runs its click action.
class IAMImageView final : public platform::ImageView {
  public:
    static std::shared_ptr<IAMImageView> make(ClickAction clickActionInfo, std::string campaignId,
                                              CloseAction closeAction, ClickLogAction clickAction);
    void clicked();
    const ClickAction& clickActionInfo() const { return clickActionInfo_; }

  private:
    ClickAction clickActionInfo_;
    std::string campaignId_;
    CloseAction closeAction_;
    ClickLogAction clickAction_;
};

// ---- Labels, the text area, the card and the spinner -----------------------

// Bold 20, any number of lines; black and centred by default.
std::shared_ptr<platform::Label> makeTitleLabel(const std::optional<std::string>& textColor,
                                                const std::optional<std::string>& text,
                                                const std::optional<std::string>& textAlign);
// Regular 14, any number of lines, sized to its text.
std::shared_ptr<platform::Label> makeBodyLabel(const std::optional<std::string>& textColor,
                                               const std::optional<std::string>& text,
                                               const std::optional<std::string>& textAlign);

// A vertical scroll area holding the title above the body, 5 points apart,
// exactly as wide as itself. Its content is at least as tall as the area;
// taller text scrolls. With centerVertically a short block sits in the
// middle, else it is pinned to the top.
class TextScrollView final : public platform::ScrollView {
  public:
    static std::shared_ptr<TextScrollView> make(std::shared_ptr<platform::Label> titleLabel,
                                                std::shared_ptr<platform::Label> bodyLabel,
                                                bool centerVertically = false);
    // The content's height for a width (what the area would need).
    double contentHeightFor(double width) const;
    void layoutSubviews() override;
    const std::shared_ptr<platform::View>& contentView() const { return contentView_; }
    const std::shared_ptr<platform::StackView>& stack() const { return stack_; }

  private:
    std::shared_ptr<platform::View> contentView_;
    std::shared_ptr<platform::StackView> stack_;
    bool centerVertically_ = false;
};

// The card of a modal layout. Touches on the layout's close button reach it
// also where the button sticks out beyond the card.
class ModalContainer final : public platform::View {
  public:
    static std::shared_ptr<ModalContainer> make(std::shared_ptr<platform::View> defaultCloseButton);
    std::shared_ptr<platform::View> hitTest(platform::Point point) override;

  private:
    std::shared_ptr<platform::View> defaultCloseButton_;
};

// A dark grey 40 x 40 activity indicator, centred and animating.
class SpinnerView final : public platform::View {
  public:
    static std::shared_ptr<SpinnerView> make();
    void layoutSubviews() override;
    const std::shared_ptr<platform::ActivityIndicatorView>& indicator() const { return indicator_; }

  private:
    std::shared_ptr<platform::ActivityIndicatorView> indicator_;
};

// The retry icon of the SDK's own resources ("refresh"): a circular arrow.
platform::ImagePtr refreshIcon();

}  // namespace sorvel

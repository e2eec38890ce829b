#pragma once

#include <memory>

#include "View/InAppMessage/CommonView.h"
#include "View/InAppMessage/ImageLoading.h"

// The six in-app message layouts. Each builds its subviews once, after the
// base view has logged the impression, and places them in its layout pass
// (layoutSubviews) from its own rules: the full-screen ones against the safe
// area, the modal ones as a card centred on a dimming overlay, the banner as
// a strip at the top or bottom of the screen.
namespace sorvel {

class FullScreenImage final : public IAMView {
  public:
    using IAMView::IAMView;
    void layoutSubviews() override;

    ImageLoader& imageLoader() { return *loader_; }
    const std::shared_ptr<platform::View>& background() const { return background_; }
    const std::shared_ptr<IAMDefaultCloseButton>& defaultCloseButton() const {
        return defaultCloseButton_;
    }
    const std::shared_ptr<IAMButtonStack>& buttonStack() const { return buttonStack_; }

  protected:
    void build() override;

  private:
    std::unique_ptr<ImageLoader> loader_;
    std::shared_ptr<platform::View> background_;
    std::shared_ptr<IAMDefaultCloseButton> defaultCloseButton_;
    std::shared_ptr<IAMButtonStack> buttonStack_;
};

class FullScreenImageAndText final : public IAMView {
  public:
    using IAMView::IAMView;
    void layoutSubviews() override;

    ImageLoader& imageLoader() { return *loader_; }
    const std::shared_ptr<platform::View>& background() const { return background_; }
    const std::shared_ptr<IAMDefaultCloseButton>& defaultCloseButton() const {
        return defaultCloseButton_;
    }
    const std::shared_ptr<IAMButtonStack>& buttonStack() const { return buttonStack_; }
    const std::shared_ptr<TextScrollView>& textScrollView() const { return textScrollView_; }

  protected:
    void build() override;

  private:
    std::unique_ptr<ImageLoader> loader_;
    std::shared_ptr<platform::View> background_;
    std::shared_ptr<IAMDefaultCloseButton> defaultCloseButton_;
    std::shared_ptr<IAMButtonStack> buttonStack_;
    std::shared_ptr<platform::Label> titleLabel_;
    std::shared_ptr<platform::Label> bodyLabel_;
    std::shared_ptr<TextScrollView> textScrollView_;
};

// The parts every modal layout shares: the overlay colour, the card with its
// background and the close button sticking out of its top-right corner.
class ModalLayoutBase : public IAMView {
  public:
    using IAMView::IAMView;
    const std::shared_ptr<ModalContainer>& container() const { return container_; }
    const std::shared_ptr<platform::View>& background() const { return background_; }
    const std::shared_ptr<IAMDefaultCloseButton>& defaultCloseButton() const {
        return defaultCloseButton_;
    }
    const std::shared_ptr<IAMButtonStack>& buttonStack() const { return buttonStack_; }

  protected:
    // Frame, overlay, card (with its background) added to the view.
    void buildCard();
    // The close button and the button row, added to the card.
    void addCloseButtonAndStack();
    // Places the card (its size given), its background, the close button and
    // the row; returns the row's top in card coordinates.
    double placeCard(platform::Size cardSize);

    std::shared_ptr<ModalContainer> container_;
    std::shared_ptr<platform::View> background_;
    std::shared_ptr<IAMDefaultCloseButton> defaultCloseButton_;
    std::shared_ptr<IAMButtonStack> buttonStack_;
};

class ModalImage final : public ModalLayoutBase {
  public:
    using ModalLayoutBase::ModalLayoutBase;
    void layoutSubviews() override;
    ImageLoader& imageLoader() { return *loader_; }

  protected:
    void build() override;

  private:
    std::unique_ptr<ImageLoader> loader_;
};

class ModalImageAndText final : public ModalLayoutBase {
  public:
    using ModalLayoutBase::ModalLayoutBase;
    void layoutSubviews() override;
    ImageLoader& imageLoader() { return *loader_; }
    const std::shared_ptr<platform::ScrollView>& textScrollView() const { return textScrollView_; }
    const std::shared_ptr<platform::View>& scrollContentView() const { return scrollContentView_; }
    const std::shared_ptr<platform::Label>& titleLabel() const { return titleLabel_; }
    const std::shared_ptr<platform::Label>& bodyLabel() const { return bodyLabel_; }

  protected:
    void build() override;

  private:
    std::unique_ptr<ImageLoader> loader_;
    std::shared_ptr<platform::Label> titleLabel_;
    std::shared_ptr<platform::Label> bodyLabel_;
    std::shared_ptr<platform::View> scrollContentView_;
    std::shared_ptr<platform::ScrollView> textScrollView_;
};

class ModalText final : public ModalLayoutBase {
  public:
    using ModalLayoutBase::ModalLayoutBase;
    void layoutSubviews() override;
    const std::shared_ptr<TextScrollView>& textScrollView() const { return textScrollView_; }
    // Characters at or above which a portrait card is 0.8 of the screen high.
    static constexpr std::size_t kLongTextGraphemes = 200;

  protected:
    void build() override;

  private:
    std::shared_ptr<platform::Label> titleLabel_;
    std::shared_ptr<platform::Label> bodyLabel_;
    std::shared_ptr<TextScrollView> textScrollView_;
    double heightRatio_ = 0.5;
};

class StickyBanner final : public IAMView {
  public:
    using IAMView::IAMView;
    static constexpr const char* BOTTOM = "bottom";
    static constexpr double kHeight = 98;

    void layoutSubviews() override;
    void touched(platform::GestureRecognizer& recognizer);
    void clicked();

    ImageLoader& imageLoader() { return *loader_; }
    const std::shared_ptr<platform::View>& container() const { return container_; }
    const std::shared_ptr<platform::Label>& bodyLabel() const { return bodyLabel_; }

  protected:
    void build() override;

  private:
    ClickAction bannerAction() const;

    platform::Point beginningPosition_;
    platform::Point prevTouchedPosition_;
    platform::Point firstTouchPositionInWindow_;
    double prevTouchTimeInMillis_ = 0;
    bool pinnedToSafeArea_ = false;

    std::unique_ptr<ImageLoader> loader_;
    std::shared_ptr<platform::Label> bodyLabel_;
    std::shared_ptr<platform::View> background_;
    std::shared_ptr<platform::View> container_;
};

// Whether a layout exists for the message's type and layout.
bool hasInAppView(const InAppMessage& message);

// The view that shows a message, by its type and layout; null when none fits.
std::shared_ptr<IAMView> makeInAppView(const std::shared_ptr<const InAppMessage>& message,
                                       InAppLogEvent logEvent);

}  // namespace sorvel

#pragma once

#include <memory>

#include "Platform/UI/View.h"
#include "View/InAppMessage/CommonView.h"

namespace sorvel {

// How a retry view arranges its icon and label.
enum class RetryArrangement {
    // Label 10 points below the middle, a 52-point icon 20 points above it.
    LABEL_BELOW_MIDDLE,
    // A 52-point icon 10 points above the middle, the label 20 points below it.
    ICON_ABOVE_MIDDLE,
    // One row: a 17-point icon 32 points in, the label 20 points after it.
    ROW,
    // A 17-point icon in the middle, no label.
    ICON_ONLY,
};

// The retry view shown when an image did not come: a dim overlay with the
// "refresh" icon (its only tappable part) and, but for ICON_ONLY, a two-line
// white label.
class RetryView final : public platform::View {
  public:
    static std::shared_ptr<RetryView> make(RetryArrangement arrangement,
                                           std::function<void()> onRetry);
    void layoutSubviews() override;
    const std::shared_ptr<platform::ImageView>& icon() const { return icon_; }
    const std::shared_ptr<platform::Label>& label() const { return label_; }

  private:
    RetryArrangement arrangement_ = RetryArrangement::LABEL_BELOW_MIDDLE;
    std::shared_ptr<platform::ImageView> icon_;
    std::shared_ptr<platform::Label> label_;
};

enum class ImageAreaState { SHOWN, LOADING, FAILED };

// The image of an image layout, the spinner while the store is polled for it
// and the retry view when it did not come: one controller for the five image
// layouts, which differ in where the image area lies (place) and how the
// retry view is arranged.
class ImageLoader {
  public:
    // The owner keeps the loader; the loader holds it weakly in every closure.
    ImageLoader(IAMView& owner, ClickAction clickAction, RetryArrangement arrangement);

    const std::shared_ptr<IAMImageView>& imageView() const { return imageView_; }
    // Built on first use.
    const std::shared_ptr<SpinnerView>& spinnerView();
    const std::shared_ptr<RetryView>& defaultView();

    // Puts the image view into parent directly above `below`.
    void addImageView(platform::View& parent, const platform::View* below);
    // The spinner over the image, then three polls 3 seconds apart on a
    // count-down timer's worker; the first poll is at once.
    void loadImage();
    void showDefaultView();
    void defaultViewOnClick();
    // Gives the image, spinner and retry view the area (parent coordinates).
    void place(const platform::Rect& area);

    ImageAreaState state() const;
    bool hasImage() const { return imageView_->image != nullptr; }

    static constexpr int kPolls = 3;
    static constexpr platform::Millis kPollInterval{3000};

  private:
    void applyPolledImage(const platform::ImagePtr& image);
    void removeSpinner();
    void finishPolling();

    IAMView& owner_;
    std::weak_ptr<platform::View> weakOwner_;
    RetryArrangement arrangement_;
    std::shared_ptr<IAMImageView> imageView_;
    std::shared_ptr<SpinnerView> spinnerView_;
    std::shared_ptr<RetryView> defaultView_;
    platform::Rect area_;
};

}  // namespace sorvel

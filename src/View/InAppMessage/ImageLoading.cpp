#include "View/InAppMessage/ImageLoading.h"

#include "Common/Extensions.h"
#include "Platform/Dispatch.h"
#include "View/InAppMessage/InAppViewHooks.h"

namespace sorvel {

using platform::Color;
using platform::Rect;

// ---- RetryView -------------------------------------------------------------------

std::shared_ptr<RetryView> RetryView::make(RetryArrangement arrangement,
                                           std::function<void()> onRetry) {
    auto v = std::make_shared<RetryView>();
    v->arrangement_ = arrangement;
    v->backgroundColor = ext::initHex("#88000000", Color::gray());
    v->icon_ = platform::ImageView::make();
    v->icon_->image = refreshIcon();
    v->icon_->contentMode = platform::ContentMode::SCALE_ASPECT_FIT;
    v->icon_->clipsToBounds = true;
    const double side =
        arrangement == RetryArrangement::ROW || arrangement == RetryArrangement::ICON_ONLY ? 17
                                                                                           : 52;
    v->icon_->widthConstraint = side;
    v->icon_->heightConstraint = side;
    if (arrangement != RetryArrangement::ICON_ONLY) {
        v->label_ = platform::Label::make();
        v->label_->text = "The image could not be loaded\nTap to try again";
        v->label_->numberOfLines = 0;
        v->label_->textAlignment = arrangement == RetryArrangement::ROW
                                       ? platform::TextAlignment::LEFT
                                       : platform::TextAlignment::CENTER;
        v->label_->textColor = Color::white();
        v->label_->font = platform::Font{14, false};
    }
    if (arrangement == RetryArrangement::LABEL_BELOW_MIDDLE && v->label_) {
        v->addSubview(v->label_);
        v->addSubview(v->icon_);
    } else {
        v->addSubview(v->icon_);
        if (v->label_) {
            v->addSubview(v->label_);
        }
    }
    v->icon_->userInteractionEnabled = true;
    v->icon_->addGestureRecognizer(std::make_shared<platform::TapGestureRecognizer>(
        [onRetry = std::move(onRetry)](platform::GestureRecognizer&) {
            if (onRetry) {
                onRetry();
            }
        }));
    return v;
}

void RetryView::layoutSubviews() {
    const double w = frame().width();
    const double h = frame().height();
    const double side = *icon_->widthConstraint;
    const platform::Size ls = label_ ? label_->intrinsicContentSize() : platform::Size{};
    switch (arrangement_) {
        case RetryArrangement::LABEL_BELOW_MIDDLE: {
            const double labelTop = h / 2 + 10 - ls.height / 2;
            label_->setFrame(Rect((w - ls.width) / 2, labelTop, ls.width, ls.height));
            icon_->setFrame(Rect((w - side) / 2, labelTop - 20 - side, side, side));
            break;
        }
        case RetryArrangement::ICON_ABOVE_MIDDLE: {
            const double iconTop = h / 2 - 10 - side / 2;
            icon_->setFrame(Rect((w - side) / 2, iconTop, side, side));
            label_->setFrame(Rect((w - ls.width) / 2, iconTop + side + 20, ls.width, ls.height));
            break;
        }
        case RetryArrangement::ROW:
            icon_->setFrame(Rect(32, h / 2 - side / 2, side, side));
            label_->setFrame(Rect(32 + side + 20, h / 2 - ls.height / 2, ls.width, ls.height));
            break;
        case RetryArrangement::ICON_ONLY:
            icon_->setFrame(Rect((w - side) / 2, (h - side) / 2, side, side));
            break;
    }
}

// ---- ImageLoader -------------------------------------------------------------------

ImageLoader::ImageLoader(IAMView& owner, ClickAction clickAction, RetryArrangement arrangement)
    : owner_(owner), weakOwner_(owner.weak_from_this()), arrangement_(arrangement) {
    const InAppMessage& m = *owner.inAppMessage();
    imageView_ = IAMImageView::make(std::move(clickAction), m.campaignId, owner.closeAction(),
                                    owner.clickLogAction());
    imageView_->image = owner.isPortrait() ? m.portraitImage : m.landscapeImage;
    imageView_->backgroundColor = Color::white();
    imageView_->contentMode = platform::ContentMode::SCALE_ASPECT_FILL;
    imageView_->clipsToBounds = true;
}

const std::shared_ptr<SpinnerView>& ImageLoader::spinnerView() {
    if (!spinnerView_) {
        spinnerView_ = SpinnerView::make();
    }
    return spinnerView_;
}

const std::shared_ptr<RetryView>& ImageLoader::defaultView() {
    if (!defaultView_) {
        std::weak_ptr<platform::View> weak = weakOwner_;
        ImageLoader* self = this;
        // The loader lives as long as its owner: reach it only through a
        // living owner.
        defaultView_ = RetryView::make(arrangement_, [weak, self] {
            if (auto owner = weak.lock()) {
                self->defaultViewOnClick();
            }
        });
    }
    return defaultView_;
}

void ImageLoader::addImageView(platform::View& parent, const platform::View* below) {
    parent.insertSubviewAbove(imageView_, below);
}

void ImageLoader::loadImage() {
    if (std::shared_ptr<platform::View> parent = imageView_->superview()) {
        parent->insertSubviewAbove(spinnerView(), imageView_.get());
        spinnerView_->setFrame(area_);
        spinnerView_->indicator()->startAnimating();
    }
    const std::string campaignId = owner_.inAppMessage()->campaignId;
    const bool portrait = owner_.isPortrait();
    std::weak_ptr<platform::View> weak = weakOwner_;
    ImageLoader* self = this;
    auto tick = [weak, self, campaignId, portrait] {
        std::shared_ptr<IInAppViewStore> store = InAppViewHooks::store();
        std::optional<ImageInfo> info;
        if (store) {
            info = store->getAndSaveImageInfo(campaignId, portrait, true);
        }
        platform::ImagePtr image = info ? info->image : nullptr;
        platform::DispatchQueue::main().async([weak, self, image] {
            auto owner = std::static_pointer_cast<IAMView>(weak.lock());
            if (owner && !owner->isClosed()) {
                self->applyPolledImage(image);
            }
        });
    };
    auto finish = [weak, self] {
        platform::DispatchQueue::main().async([weak, self] {
            auto owner = std::static_pointer_cast<IAMView>(weak.lock());
            if (owner && !owner->isClosed()) {
                self->finishPolling();
            }
        });
    };
    if (owner_.countDownTimer) {
        owner_.countDownTimer->stop();
    }
    owner_.countDownTimer = CountDownTimer::make(kPolls, tick, finish, kPollInterval);
    owner_.countDownTimer->fire();
}

void ImageLoader::applyPolledImage(const platform::ImagePtr& image) {
    // A late poll that found nothing leaves a shown image alone.
    if (image) {
        imageView_->image = image;
        imageView_->setNeedsDisplay();
    }
    if (imageView_->image) {
        removeSpinner();
        if (owner_.countDownTimer) {
            owner_.countDownTimer->stop();
        }
    }
}

void ImageLoader::removeSpinner() {
    if (spinnerView_) {
        // A spinner off the screen turns no more frames.
        spinnerView_->indicator()->stopAnimating();
        spinnerView_->removeFromSuperview();
    }
}

void ImageLoader::finishPolling() {
    removeSpinner();
    if (!imageView_->image) {
        showDefaultView();
    }
}

void ImageLoader::showDefaultView() {
    if (std::shared_ptr<platform::View> parent = imageView_->superview()) {
        parent->insertSubviewAbove(defaultView(), imageView_.get());
        defaultView_->setFrame(area_);
    }
}

void ImageLoader::defaultViewOnClick() {
    if (defaultView_) {
        defaultView_->removeFromSuperview();
    }
    loadImage();
}

void ImageLoader::place(const Rect& area) {
    area_ = area;
    imageView_->setFrame(area);
    if (spinnerView_ && spinnerView_->superview()) {
        spinnerView_->setFrame(area);
    }
    if (defaultView_ && defaultView_->superview()) {
        defaultView_->setFrame(area);
    }
}

ImageAreaState ImageLoader::state() const {
    if (defaultView_ && defaultView_->superview()) {
        return ImageAreaState::FAILED;
    }
    if (spinnerView_ && spinnerView_->superview()) {
        return ImageAreaState::LOADING;
    }
    return ImageAreaState::SHOWN;
}

}  // namespace sorvel

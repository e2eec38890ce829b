#include "InAppMessage/InAppMessage.h"
#include "View/InAppMessage/Layouts.h"

namespace sorvel {

bool hasInAppView(const InAppMessage& message) {
    const std::string& type = message.type;
    const std::string& layout = message.layout;
    if (type == rawValue(IAMType::FULL_SCREEN)) {
        return layout == rawValue(LayoutType::IMAGE) ||
               layout == rawValue(LayoutType::IMAGE_AND_TEXT);
    }
    if (type == rawValue(IAMType::MODAL)) {
        return layout == rawValue(LayoutType::IMAGE) ||
               layout == rawValue(LayoutType::IMAGE_AND_TEXT) ||
               layout == rawValue(LayoutType::TEXT);
    }
    return type == rawValue(IAMType::STICKY_BANNER);
}

std::shared_ptr<IAMView> makeInAppView(const std::shared_ptr<const InAppMessage>& message,
                                       InAppLogEvent logEvent) {
    if (!message) {
        return nullptr;
    }
    const std::string& type = message->type;
    const std::string& layout = message->layout;
    if (type == rawValue(IAMType::FULL_SCREEN)) {
        if (layout == rawValue(LayoutType::IMAGE)) {
            return IAMView::make<FullScreenImage>(message, std::move(logEvent));
        }
        if (layout == rawValue(LayoutType::IMAGE_AND_TEXT)) {
            return IAMView::make<FullScreenImageAndText>(message, std::move(logEvent));
        }
        return nullptr;
    }
    if (type == rawValue(IAMType::MODAL)) {
        if (layout == rawValue(LayoutType::IMAGE)) {
            return IAMView::make<ModalImage>(message, std::move(logEvent));
        }
        if (layout == rawValue(LayoutType::IMAGE_AND_TEXT)) {
            return IAMView::make<ModalImageAndText>(message, std::move(logEvent));
        }
        if (layout == rawValue(LayoutType::TEXT)) {
            return IAMView::make<ModalText>(message, std::move(logEvent));
        }
        return nullptr;
    }
    if (type == rawValue(IAMType::STICKY_BANNER)) {
        return IAMView::make<StickyBanner>(message, std::move(logEvent));
    }
    return nullptr;
}

std::shared_ptr<IAMView> InAppMessage::makeView(InAppLogEvent logEvent) const {
    return makeInAppView(shared_from_this(), std::move(logEvent));
}

}  // namespace sorvel

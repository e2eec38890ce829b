#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Event/LogEventParameter.h"
#include "Platform/Image.h"
#include "sorvel/Value.h"

namespace sorvel {

// A decoded campaign image, shared between the message that carries it and
// the view that draws it; null stands for "no image".
using InAppImage = std::shared_ptr<const platform::Image>;

// ---- Vocabulary -------------------------------------------------------------
// Each enum has a text per case; building one from a text matches those texts
// exactly (case-sensitive) and gives nothing for any other text. The model
// itself keeps types, layouts and action types as plain texts.

enum class IAMType { FULL_SCREEN, MODAL, STICKY_BANNER };
enum class LayoutType { IMAGE, IMAGE_AND_TEXT, TEXT };
enum class ClickActionType {
    CLOSE,
    WEBLINK,
    DEEPLINK,
    WEBLINK_AND_CLOSE,
    DEEPLINK_AND_CLOSE,
    ONE_DAY_CLOSE
};
// The kinds of the in-app message events.
enum class EventType { IMPRESSION, CLICK };

std::string_view rawValue(IAMType value) noexcept;
std::string_view rawValue(LayoutType value) noexcept;
std::string_view rawValue(ClickActionType value) noexcept;
std::string_view rawValue(EventType value) noexcept;

std::optional<IAMType> iamTypeFromRaw(std::string_view text) noexcept;
std::optional<LayoutType> layoutTypeFromRaw(std::string_view text) noexcept;
std::optional<ClickActionType> clickActionTypeFromRaw(std::string_view text) noexcept;
std::optional<EventType> eventTypeFromRaw(std::string_view text) noexcept;

// ---- Value types --------------------------------------------------------------
// JSON forms: keys are the field names. An optional text is absent when its
// key is missing or null and left out when written while absent; a nested
// clickAction is required (missing or null fails) and always written. A
// present value of the wrong JSON type fails; unknown keys are ignored.

// What a tap does.
struct ClickAction {
    std::optional<std::string> actionId;
    std::optional<std::string> actionType;  // a ClickActionType text
    std::optional<std::string> actionArg;   // the address of a link action

    static std::optional<ClickAction> fromValue(const Value& json);
    static std::optional<ClickAction> fromJson(std::string_view text);
    Value toValue() const;
    std::string toJson() const { return toValue().toJson(); }
    friend bool operator==(const ClickAction&, const ClickAction&) = default;
};

// One campaign button.
struct IAMButtonInfo {
    std::optional<std::string> buttonId;
    std::optional<std::string> text;
    ClickAction clickAction;
    std::optional<std::string> textColor;
    std::optional<std::string> bgColor;
    std::optional<std::string> borderColor;

    static std::optional<IAMButtonInfo> fromValue(const Value& json);
    static std::optional<IAMButtonInfo> fromJson(std::string_view text);
    Value toValue() const;
    std::string toJson() const { return toValue().toJson(); }
    friend bool operator==(const IAMButtonInfo&, const IAMButtonInfo&) = default;
};

// The options of a sticky banner.
struct StickyBannerOption {
    std::optional<std::string> align;  // "bottom" puts the banner at the bottom, else the top
    ClickAction clickAction;

    static std::optional<StickyBannerOption> fromValue(const Value& json);
    static std::optional<StickyBannerOption> fromJson(std::string_view text);
    Value toValue() const;
    std::string toJson() const { return toValue().toJson(); }
    friend bool operator==(const StickyBannerOption&, const StickyBannerOption&) = default;
};

// One campaign image of one orientation, as the store's image lookups hand it on.
struct ImageInfo {
    InAppImage image;
    std::string imageUrl;
    // Downloaded during the lookup, or saved by a background download and not
    // handed to a showing caller before.
    bool isDownloaded = false;
    // The JSON text of the image's click action, as stored.
    std::string clickAction;
};

// One candidate campaign for an event.
struct SortableCampaignId {
    std::string campaignId;
    std::int32_t priority = 0;
    std::int64_t lastUpdateTime = 0;  // milliseconds since 1970
    friend bool operator==(const SortableCampaignId&, const SortableCampaignId&) = default;
};

// The order candidates are tried in: higher priority first, then the more
// recently updated; candidates equal in both keep their listed order.
bool goesBefore(const SortableCampaignId& a, const SortableCampaignId& b) noexcept;
// Sorts stably in that order.
void sortCandidates(std::vector<SortableCampaignId>& candidates);

// ---- The message ----------------------------------------------------------------

// The fields of a message, in their order. Colours are hex texts.
struct InAppMessageFields {
    std::string campaignId;
    std::string type;    // an IAMType text
    std::string layout;  // a LayoutType text
    std::string bgColor;
    std::string overlayColor;
    std::optional<std::string> titleText;
    std::optional<std::string> titleTextColor;
    std::optional<std::string> bodyText;
    std::optional<std::string> bodyTextColor;
    std::optional<std::string> textAlign;
    std::string defaultCloseButtonColor;
    std::string defaultCloseButtonBgColor;
    std::optional<StickyBannerOption> stickyBannerOption;
    std::int32_t numberOfButtons = 0;
    std::vector<IAMButtonInfo> buttonArray;
    InAppImage portraitImage;
    InAppImage landscapeImage;
    std::optional<std::string> portraitImageURL;
    std::optional<std::string> landscapeImageURL;
    bool isPortraitImageDownloaded = false;
    bool isLandscapeImageDownloaded = false;
    ClickAction imageClickAction;
};

class IAMView;  // the in-app views' base view

// Where a view logs its in-app events.
using InAppLogEvent = std::function<void(const LogEventParameter&)>;

// One campaign ready to be shown. Built once by the store and never changed:
// it is handed around as shared_ptr<const InAppMessage>, so the thread that
// built it and the main thread that shows it read it without a lock.
class InAppMessage final : public InAppMessageFields,
                           public std::enable_shared_from_this<InAppMessage> {
  public:
    explicit InAppMessage(InAppMessageFields fields) : InAppMessageFields(std::move(fields)) {}

    static std::shared_ptr<const InAppMessage> make(InAppMessageFields fields) {
        return std::make_shared<const InAppMessage>(std::move(fields));
    }

    // The view that shows the message, chosen by its type and layout, or null
    // when no view fits. Main thread only. The view keeps the message and the
    // sink. The message must be held by a shared_ptr.
    std::shared_ptr<IAMView> makeView(InAppLogEvent logEvent) const;
};

}  // namespace sorvel

#include "InAppMessage/InAppMessageRules.h"

#include <limits>
#include <utility>
#include <vector>

#include "Common/DatesAndIds.h"
#include "Common/Extensions.h"
#include "InAppMessage/InAppMessageSqliteStore.h"

namespace sorvel::inapp {
namespace {

// The store names the keys of the JSON texts its rows hold.
using Store = InAppMessageSqliteStore;

constexpr std::int64_t kMinutesPerDay = 1440;
// Beyond about a century either way the shifted instant would leave the range
// of the platform's time points; no time zone is that far off.
constexpr std::int64_t kMaxOffsetHours = 1'000'000;

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t out = 0;
    if (__builtin_add_overflow(a, b, &out)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return out;
}

std::int32_t plusOne(std::int32_t count) {
    return count == std::numeric_limits<std::int32_t>::max() ? count : count + 1;
}

std::optional<std::string> stringAt(const Value::Map* map, const char* key) {
    if (!map) {
        return std::nullopt;
    }
    auto it = map->find(key);
    if (it == map->end() || !it->second.isString()) {
        return std::nullopt;
    }
    return *it->second.getString();
}

const Value* objectAt(const Value::Map* map, const char* key) {
    if (!map) {
        return nullptr;
    }
    auto it = map->find(key);
    return it != map->end() && it->second.isMap() ? &it->second : nullptr;
}

IAMButtonInfo buttonOf(const Value& element) {
    const Value::Map* map = element.getMap();
    return IAMButtonInfo{
        stringAt(map, Store::RESPONSE_IAM_CONTENTS_BUTTONS_BUTTON_ID),
        stringAt(map, Store::RESPONSE_IAM_CONTENTS_BUTTONS_TEXT),
        clickActionOf(objectAt(map, Store::RESPONSE_IAM_CONTENTS_BUTTONS_CLICK_ACTION)),
        stringAt(map, Store::RESPONSE_IAM_CONTENTS_BUTTONS_TEXT_COLOR),
        stringAt(map, Store::RESPONSE_IAM_CONTENTS_BUTTONS_BG_COLOR),
        stringAt(map, Store::RESPONSE_IAM_CONTENTS_BUTTONS_BORDER_COLOR)};
}

}  // namespace

std::optional<std::string> weekdayName(platform::WallTime date) {
    return FvnUtil::getDayOfWeek(date);
}

StatusOr<CampaignClock, CampaignClockFailure> campaignClock(std::string_view timezoneType,
                                                            std::int64_t offsetHours,
                                                            platform::WallTime now) {
    const platform::CivilTime local = platform::localCivilTime(now);
    CampaignClock out;
    out.nowMs = ext::toMillis(now);
    if (timezoneType == TIMEZONE_GLOBAL) {
        if (offsetHours > kMaxOffsetHours || offsetHours < -kMaxOffsetHours) {
            return CampaignClockFailure::NoDay;
        }
        auto day = FvnUtil::getDayOfWeek(now + std::chrono::hours(offsetHours));
        if (!day) {
            return CampaignClockFailure::NoDay;
        }
        out.day = std::move(*day);
        std::int64_t shifted = ((local.hour + offsetHours) * 60) % kMinutesPerDay;
        if (shifted < 0) {
            shifted += kMinutesPerDay;
        }
        out.minute = local.minute + shifted;
        return out;
    }
    if (timezoneType == TIMEZONE_LOCAL) {
        auto day = weekdayName(now);
        if (!day) {
            return CampaignClockFailure::NoDay;
        }
        out.day = std::move(*day);
        out.minute = local.hour * 60 + local.minute;
        return out;
    }
    return CampaignClockFailure::InvalidType;
}

bool isClosedForToday(const std::string& closeDay, std::int64_t closeTimeMs,
                      platform::WallTime now) {
    return FvnUtil::getDayOfWeek(now) == closeDay &&
           ext::toMillis(now) < saturatingAdd(closeTimeMs, ONE_DAY_CLOSE_SPAN_MS);
}

FrequencyDecision decideFrequency(const FrequencyCounters& counters, const FrequencyCaps& caps,
                                  std::int64_t nowMs) {
    FrequencyDecision out;
    if (caps.perUser != 0 && counters.perUser >= caps.perUser) {
        out.verdict = FrequencyVerdict::PerUserOver;
        out.next = counters;
        return out;
    }
    out.next.perSession = plusOne(counters.perSession);
    out.next.perUser = plusOne(counters.perUser);
    if (caps.perPeriod == 0) {
        out.next.groupStartMs = nowMs;
        out.next.groupCount = plusOne(counters.groupCount);
        return out;
    }
    const std::int64_t windowMs = static_cast<std::int64_t>(caps.periodInMinutes) * 60 * 1000;
    const std::int64_t windowEnd = saturatingAdd(counters.groupStartMs, windowMs);
    if (windowEnd >= nowMs) {
        if (counters.groupCount >= caps.perPeriod) {
            out.verdict = FrequencyVerdict::PeriodOver;
            out.next = counters;
            return out;
        }
        out.next.groupStartMs = counters.groupStartMs;
        out.next.groupCount = plusOne(counters.groupCount);
        return out;
    }
    out.next.groupStartMs = nowMs;
    out.next.groupCount = 1;
    return out;
}

ClickAction clickActionOf(const Value* object) {
    const Value::Map* map = object ? object->getMap() : nullptr;
    // The image's, the buttons' and the sticky banner's click actions share
    // their keys.
    return ClickAction{stringAt(map, Store::RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION_ACTION_ID),
                       stringAt(map, Store::RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION_ACTION_TYPE),
                       stringAt(map, Store::RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION_ACTION_ARG)};
}

std::shared_ptr<const InAppMessage> buildMessage(const std::string& campaignId,
                                                 const CampaignRowTexts& row,
                                                 const std::optional<ImageInfo>& portrait,
                                                 const std::optional<ImageInfo>& landscape,
                                                 bool isPortrait) {
    const auto text = ext::toDictionary(row.contentsText);
    if (!text) {
        return nullptr;
    }
    const auto sticky = ext::toDictionary(row.stickyBannerOption);
    const Value::Map* stickyMap = sticky ? &*sticky : nullptr;

    std::vector<IAMButtonInfo> buttons;
    if (auto array = ext::toArray(row.contentsButtons)) {
        buttons.reserve(array->size());
        for (const auto& element : *array) {
            buttons.push_back(buttonOf(element));
        }
    }

    const auto& current = isPortrait ? portrait : landscape;
    std::optional<Value::Map> imageAction;
    if (current) {
        imageAction = ext::toDictionary(current->clickAction);
    }
    const Value imageActionValue = imageAction ? Value(std::move(*imageAction)) : Value();

    InAppMessageFields f;
    f.campaignId = campaignId;
    f.type = row.type;
    f.layout = row.layout;
    f.bgColor = row.bgColor;
    f.overlayColor = row.overlayColor;
    f.titleText = stringAt(&*text, Store::RESPONSE_IAM_CONTENTS_TEXT_TITLE);
    f.titleTextColor = stringAt(&*text, Store::RESPONSE_IAM_CONTENTS_TEXT_TITLE_COLOR);
    f.bodyText = stringAt(&*text, Store::RESPONSE_IAM_CONTENTS_TEXT_BODY);
    f.bodyTextColor = stringAt(&*text, Store::RESPONSE_IAM_CONTENTS_TEXT_BODY_COLOR);
    f.textAlign = stringAt(&*text, Store::RESPONSE_IAM_CONTENTS_TEXT_ALIGN);
    f.defaultCloseButtonColor = row.defaultCloseButtonColor;
    f.defaultCloseButtonBgColor = row.defaultCloseButtonBgColor;
    f.stickyBannerOption = StickyBannerOption{
        stringAt(stickyMap, Store::RESPONSE_IAM_CONTENTS_STICKY_BANNER_OPTION_ALIGN),
        clickActionOf(
            objectAt(stickyMap, Store::RESPONSE_IAM_CONTENTS_STICKY_BANNER_OPTION_CLICK_ACTION))};
    f.numberOfButtons = static_cast<std::int32_t>(
        std::min<std::size_t>(buttons.size(), std::numeric_limits<std::int32_t>::max()));
    f.buttonArray = std::move(buttons);
    if (portrait) {
        f.portraitImage = portrait->image;
        f.portraitImageURL = portrait->imageUrl;
        f.isPortraitImageDownloaded = portrait->isDownloaded;
    }
    if (landscape) {
        f.landscapeImage = landscape->image;
        f.landscapeImageURL = landscape->imageUrl;
        f.isLandscapeImageDownloaded = landscape->isDownloaded;
    }
    f.imageClickAction = clickActionOf(&imageActionValue);
    return InAppMessage::make(std::move(f));
}

}  // namespace sorvel::inapp

#include "InAppMessage/InAppMessage.h"

#include <algorithm>
#include <array>
#include <utility>

namespace sorvel {
namespace {

template <class E, std::size_t N>
std::optional<E> fromRaw(const std::array<std::string_view, N>& texts, std::string_view text) {
    for (std::size_t i = 0; i < N; ++i) {
        if (texts[i] == text) {
            return static_cast<E>(i);
        }
    }
    return std::nullopt;
}

constexpr std::array<std::string_view, 3> kIAMTypes{"full_screen", "modal", "sticky_banner"};
constexpr std::array<std::string_view, 3> kLayoutTypes{"image", "image_and_text", "text"};
constexpr std::array<std::string_view, 6> kClickActionTypes{"close",
                                                            "weblink",
                                                            "deeplink",
                                                            "weblink_and_close",
                                                            "deeplink_and_close",
                                                            "dont_show_me_today_and_close"};
constexpr std::array<std::string_view, 2> kEventTypes{"impression", "click"};

// Reads an optional text member: absent or null gives nothing; any other
// non-text value fails the whole decoding.
bool readText(const Value::Map& map, const char* key, std::optional<std::string>& out) {
    auto it = map.find(key);
    if (it == map.end() || it->second.isNull()) {
        out.reset();
        return true;
    }
    if (!it->second.isString()) {
        return false;
    }
    out = *it->second.getString();
    return true;
}

bool readClickAction(const Value::Map& map, ClickAction& out) {
    auto it = map.find("clickAction");
    if (it == map.end()) {
        return false;
    }
    auto action = ClickAction::fromValue(it->second);
    if (!action) {
        return false;
    }
    out = std::move(*action);
    return true;
}

void writeText(Value::Map& map, const char* key, const std::optional<std::string>& text) {
    if (text) {
        map.emplace(key, *text);
    }
}

template <class T>
std::optional<T> parse(std::string_view text) {
    auto json = Value::fromJson(text);
    if (!json) {
        return std::nullopt;
    }
    return T::fromValue(*json);
}

}  // namespace

std::string_view rawValue(IAMType value) noexcept {
    return kIAMTypes[static_cast<int>(value)];
}
std::string_view rawValue(LayoutType value) noexcept {
    return kLayoutTypes[static_cast<int>(value)];
}
std::string_view rawValue(ClickActionType value) noexcept {
    return kClickActionTypes[static_cast<int>(value)];
}
std::string_view rawValue(EventType value) noexcept {
    return kEventTypes[static_cast<int>(value)];
}

std::optional<IAMType> iamTypeFromRaw(std::string_view text) noexcept {
    return fromRaw<IAMType>(kIAMTypes, text);
}
std::optional<LayoutType> layoutTypeFromRaw(std::string_view text) noexcept {
    return fromRaw<LayoutType>(kLayoutTypes, text);
}
std::optional<ClickActionType> clickActionTypeFromRaw(std::string_view text) noexcept {
    return fromRaw<ClickActionType>(kClickActionTypes, text);
}
std::optional<EventType> eventTypeFromRaw(std::string_view text) noexcept {
    return fromRaw<EventType>(kEventTypes, text);
}

std::optional<ClickAction> ClickAction::fromValue(const Value& json) {
    const Value::Map* map = json.getMap();
    ClickAction action;
    if (!map || !readText(*map, "actionId", action.actionId) ||
        !readText(*map, "actionType", action.actionType) ||
        !readText(*map, "actionArg", action.actionArg)) {
        return std::nullopt;
    }
    return action;
}
std::optional<ClickAction> ClickAction::fromJson(std::string_view text) {
    return parse<ClickAction>(text);
}
Value ClickAction::toValue() const {
    Value::Map map;
    writeText(map, "actionId", actionId);
    writeText(map, "actionType", actionType);
    writeText(map, "actionArg", actionArg);
    return Value(std::move(map));
}

std::optional<IAMButtonInfo> IAMButtonInfo::fromValue(const Value& json) {
    const Value::Map* map = json.getMap();
    IAMButtonInfo button;
    if (!map || !readText(*map, "buttonId", button.buttonId) ||
        !readText(*map, "text", button.text) || !readClickAction(*map, button.clickAction) ||
        !readText(*map, "textColor", button.textColor) ||
        !readText(*map, "bgColor", button.bgColor) ||
        !readText(*map, "borderColor", button.borderColor)) {
        return std::nullopt;
    }
    return button;
}
std::optional<IAMButtonInfo> IAMButtonInfo::fromJson(std::string_view text) {
    return parse<IAMButtonInfo>(text);
}
Value IAMButtonInfo::toValue() const {
    Value::Map map;
    writeText(map, "buttonId", buttonId);
    writeText(map, "text", text);
    map.emplace("clickAction", clickAction.toValue());
    writeText(map, "textColor", textColor);
    writeText(map, "bgColor", bgColor);
    writeText(map, "borderColor", borderColor);
    return Value(std::move(map));
}

std::optional<StickyBannerOption> StickyBannerOption::fromValue(const Value& json) {
    const Value::Map* map = json.getMap();
    StickyBannerOption option;
    if (!map || !readText(*map, "align", option.align) ||
        !readClickAction(*map, option.clickAction)) {
        return std::nullopt;
    }
    return option;
}
std::optional<StickyBannerOption> StickyBannerOption::fromJson(std::string_view text) {
    return parse<StickyBannerOption>(text);
}
Value StickyBannerOption::toValue() const {
    Value::Map map;
    writeText(map, "align", align);
    map.emplace("clickAction", clickAction.toValue());
    return Value(std::move(map));
}

bool goesBefore(const SortableCampaignId& a, const SortableCampaignId& b) noexcept {
    if (a.priority != b.priority) {
        return a.priority > b.priority;
    }
    return a.lastUpdateTime > b.lastUpdateTime;
}

void sortCandidates(std::vector<SortableCampaignId>& candidates) {
    std::stable_sort(candidates.begin(), candidates.end(), goesBefore);
}

}  // namespace sorvel

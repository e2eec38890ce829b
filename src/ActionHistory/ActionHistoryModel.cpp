#include "sorvel/ActionHistoryModel.h"

#include <utility>

#include "Common/Constants.h"
#include "Common/Extensions.h"
#include "Common/SvlLog.h"
#include "Push/RemotePushKeys.h"
#include "sorvel/ActionHistoryResult.h"

namespace sorvel {
namespace {

using push::integerAt;
using push::mapAt;
using push::stringAt;

std::optional<std::string> optText(const Value::Map& map, const char* key) {
    const std::string* s = stringAt(map, key);
    return s ? std::optional<std::string>(*s) : std::nullopt;
}

void putText(Value::Map& map, const char* key, const std::optional<std::string>& value) {
    if (value) {
        map[key] = Value(*value);
    }
}

// A map whose every value is a string; nothing for any other value.
std::optional<std::map<std::string, std::string>> stringMap(const Value::Map& map) {
    std::map<std::string, std::string> out;
    for (const auto& [key, value] : map) {
        const std::string* s = value.getString();
        if (s == nullptr) {
            return std::nullopt;
        }
        out.emplace(key, *s);
    }
    return out;
}

// "deep_link_json": an object of strings, or (as contents stored by earlier
// writers carry it) the JSON text of one.
std::optional<std::map<std::string, std::string>> readDeeplinkJson(const Value::Map& content) {
    auto it = content.find("deep_link_json");
    if (it == content.end()) {
        return std::nullopt;
    }
    if (const auto* map = it->second.getMap()) {
        return stringMap(*map);
    }
    if (const auto* text = it->second.getString()) {
        if (auto map = ext::toDictionary(*text)) {
            return stringMap(*map);
        }
    }
    return std::nullopt;
}

// "buttons": an array of button texts. An array holding anything but strings
// gives no buttons; a button text that is not a JSON object fails the read.
bool readButtons(const Value::Map& content, std::optional<std::vector<KakaoButton>>& out) {
    auto it = content.find("buttons");
    if (it == content.end() || !it->second.isArray()) {
        return true;
    }
    const auto& array = *it->second.getArray();
    for (const auto& element : array) {
        if (!element.isString()) {
            return true;
        }
    }
    std::vector<KakaoButton> buttons;
    buttons.reserve(array.size());
    for (const auto& element : array) {
        auto button = KakaoButton::fromJsonString(*element.getString());
        if (!button) {
            return false;
        }
        buttons.push_back(std::move(*button));
    }
    out = std::move(buttons);
    return true;
}

}  // namespace

// ---- KakaoButton -----------------------------------------------------------------

KakaoButton::KakaoButton(std::optional<std::string> name, std::optional<std::string> type,
                         std::optional<std::string> urlPc, std::optional<std::string> urlMobile,
                         std::optional<std::string> scheme, std::optional<std::string> chatExtra,
                         std::optional<std::string> chatEvent)
    : name(std::move(name)),
      type(std::move(type)),
      urlPc(std::move(urlPc)),
      urlMobile(std::move(urlMobile)),
      scheme(std::move(scheme)),
      chatExtra(std::move(chatExtra)),
      chatEvent(std::move(chatEvent)) {}

std::optional<KakaoButton> KakaoButton::fromJsonString(const std::string& text) noexcept {
    try {
        auto map = ext::toDictionary(text);
        if (!map) {
            return std::nullopt;
        }
        return KakaoButton(optText(*map, "name"), optText(*map, "type"), optText(*map, "url_pc"),
                           optText(*map, "url_mobile"), optText(*map, "scheme_ios"),
                           optText(*map, "chat_extra"), optText(*map, "chat_event"));
    } catch (...) {
        return std::nullopt;
    }
}

std::string KakaoButton::toJsonString() const noexcept {
    try {
        Value::Map map;
        putText(map, "name", name);
        putText(map, "type", type);
        putText(map, "url_pc", urlPc);
        putText(map, "url_mobile", urlMobile);
        putText(map, "scheme_ios", scheme);
        putText(map, "chat_extra", chatExtra);
        putText(map, "chat_event", chatEvent);
        return ext::toJsonFormat(map);
    } catch (...) {
        return ext::TO_JSON_FORMAT_EXCEPTION;
    }
}

// ---- ActionContent ---------------------------------------------------------------

ActionContent::ActionContent(
    std::optional<std::string> notificationId, std::optional<std::string> title,
    std::optional<std::string> subtitle, std::optional<std::string> body,
    std::optional<std::string> bigTextTitle, std::optional<std::string> bigTextBody,
    std::optional<std::string> summaryText, std::optional<std::string> largeIconUrl,
    std::optional<std::string> imgUrl,
    std::optional<std::map<std::string, std::string>> deeplinkJson,
    std::optional<std::string> deeplinkUrl, std::optional<bool> isWideImage,
    std::optional<std::string> imageClickLink, std::optional<std::vector<KakaoButton>> kakaoButtons)
    : notificationId(std::move(notificationId)),
      title(std::move(title)),
      subtitle(std::move(subtitle)),
      body(std::move(body)),
      bigTextTitle(std::move(bigTextTitle)),
      bigTextBody(std::move(bigTextBody)),
      summaryText(std::move(summaryText)),
      imgUrl(std::move(imgUrl)),
      largeIconUrl(std::move(largeIconUrl)),
      deeplinkJson(std::move(deeplinkJson)),
      deeplinkUrl(std::move(deeplinkUrl)),
      isWideImage(isWideImage),
      imageClickLink(std::move(imageClickLink)),
      kakaoButtons(std::move(kakaoButtons)) {}

std::optional<ActionContent> ActionContent::fromJsonString(const std::string& text) noexcept {
    try {
        auto map = ext::toDictionary(text);
        if (!map) {
            return std::nullopt;
        }
        std::optional<bool> wide;
        if (auto it = map->find("is_wide_img"); it != map->end() && it->second.isBool()) {
            wide = *it->second.getBool();
        }
        std::optional<std::vector<KakaoButton>> buttons;
        if (!readButtons(*map, buttons)) {
            return std::nullopt;
        }
        return ActionContent(
            optText(*map, "notification_id"), optText(*map, "title"), optText(*map, "subtitle"),
            optText(*map, "body"), optText(*map, "big_text_title"), optText(*map, "big_text_body"),
            optText(*map, "summary_text"), optText(*map, "large_icon"), optText(*map, "img"),
            readDeeplinkJson(*map), optText(*map, "deep_link_url"), wide, optText(*map, "img_link"),
            std::move(buttons));
    } catch (...) {
        return std::nullopt;
    }
}

std::string ActionContent::toJsonString() const noexcept {
    try {
        Value::Map map;
        putText(map, "notification_id", notificationId);
        putText(map, "title", title);
        putText(map, "subtitle", subtitle);
        putText(map, "body", body);
        putText(map, "big_text_title", bigTextTitle);
        putText(map, "big_text_body", bigTextBody);
        putText(map, "summary_text", summaryText);
        putText(map, "img", imgUrl);
        putText(map, "large_icon", largeIconUrl);
        putText(map, "deep_link_url", deeplinkUrl);
        putText(map, "img_link", imageClickLink);
        if (isWideImage) {
            map["is_wide_img"] = Value(*isWideImage);
        }
        // The reader's own forms, so that a stored content reads back whole.
        if (deeplinkJson) {
            Value::Map links;
            for (const auto& [key, value] : *deeplinkJson) {
                links.emplace(key, Value(value));
            }
            map["deep_link_json"] = Value(std::move(links));
        }
        if (kakaoButtons) {
            Value::Array buttons;
            buttons.reserve(kakaoButtons->size());
            for (const auto& button : *kakaoButtons) {
                buttons.emplace_back(button.toJsonString());
            }
            map["buttons"] = Value(std::move(buttons));
        }
        return ext::toJsonFormat(map);
    } catch (...) {
        return ext::TO_JSON_FORMAT_EXCEPTION;
    }
}

// ---- ActionHistory ---------------------------------------------------------------

ActionHistory::ActionHistory(std::string historyId, std::string actionType, std::int64_t timeStamp,
                             ActionContent content, bool isRead, std::string group,
                             bool isServerSynced)
    : historyId(std::move(historyId)),
      actionType(std::move(actionType)),
      timeStamp(timeStamp),
      content(std::move(content)),
      isRead(isRead),
      group(std::move(group)),
      isServerSynced(isServerSynced) {}

std::optional<ActionHistory> ActionHistory::fromDictionary(const Value::Map& historyJsonDic,
                                                           bool isServerSynced) noexcept {
    try {
        const std::string* id = stringAt(historyJsonDic, Constants::HISTORY_KEY_ID);
        const std::string* type =
            id ? stringAt(historyJsonDic, Constants::HISTORY_KEY_TYPE) : nullptr;
        const Value::Map* contents =
            type ? mapAt(historyJsonDic, Constants::HISTORY_KEY_CONTENTS) : nullptr;
        std::optional<std::string> contentText =
            contents ? ext::toJsonString(*contents) : std::nullopt;
        std::optional<std::int64_t> timeStamp =
            contentText ? integerAt(historyJsonDic, Constants::HISTORY_KEY_TIMESTAMP)
                        : std::nullopt;
        if (!timeStamp) {
            SvlLog::error(
                "fromDictionary(historyJsonDic:isServerSynced:) : some value in historyJson is "
                "nil, historyJson : " +
                    ext::toJsonFormat(historyJsonDic),
                true);
            return std::nullopt;
        }
        const std::string* group = stringAt(historyJsonDic, Constants::HISTORY_KEY_ACTION_GROUP);
        auto content = ActionContent::fromJsonString(*contentText);
        if (!content) {
            SvlLog::error(std::string("fromDictionary(historyJsonDic:isServerSynced:) :: ") +
                              describe(ActionHistoryError::ContentParsingError),
                          true);
            return std::nullopt;
        }
        return ActionHistory(*id, *type, *timeStamp, std::move(*content), false,
                             group ? *group : std::string(), isServerSynced);
    } catch (...) {
        return std::nullopt;
    }
}

std::string ActionHistory::toJsonString() const noexcept {
    try {
        Value::Map map{
            {"id", Value(historyId)},
            {"action_type", Value(actionType)},
            {"timestamp", Value(timeStamp)},
            {"content", Value(content.toJsonString())},
            {"is_read", Value(isRead)},
            {"group", Value(group)},
            {"is_server_synced", Value(isServerSynced)},
        };
        return ext::toJsonFormat(map);
    } catch (...) {
        return ext::TO_JSON_FORMAT_EXCEPTION;
    }
}

}  // namespace sorvel

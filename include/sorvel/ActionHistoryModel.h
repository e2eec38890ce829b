#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sorvel/Export.h"
#include "sorvel/Value.h"

namespace sorvel {

/// One button of a KakaoTalk message in the message history. Immutable once
/// built; safe to share between threads. Each field is absent when the stored
/// or received form did not carry it as a string.
class SORVEL_API KakaoButton {
  public:
    /// Builds a button from its seven optional texts (SDK-internal; an app only
    /// reads buttons).
    KakaoButton(std::optional<std::string> name, std::optional<std::string> type,
                std::optional<std::string> urlPc, std::optional<std::string> urlMobile,
                std::optional<std::string> scheme, std::optional<std::string> chatExtra,
                std::optional<std::string> chatEvent);

    /// Reads a button from its JSON object text ("name", "type", "url_pc",
    /// "url_mobile", "scheme_ios", "chat_extra", "chat_event"). Runs on the
    /// calling thread; never logs. Nothing (a ContentParsingError) when the
    /// text is not a JSON object.
    static std::optional<KakaoButton> fromJsonString(const std::string& text) noexcept;
    /// The JSON object text of the present fields. Never fails.
    std::string toJsonString() const noexcept;

    /// "name": the button's label.
    const std::optional<std::string> name;
    /// "type": what the button does.
    const std::optional<std::string> type;
    /// "url_pc": the link opened on a desktop.
    const std::optional<std::string> urlPc;
    /// "url_mobile": the link opened on a phone.
    const std::optional<std::string> urlMobile;
    /// "scheme_ios": the app link opened on this platform.
    const std::optional<std::string> scheme;
    /// "chat_extra": extra data of a chat button.
    const std::optional<std::string> chatExtra;
    /// "chat_event": the event of a chat button.
    const std::optional<std::string> chatEvent;
};

/// What one message-history entry shows: texts, images, deeplink and buttons.
/// Every field is optional; isWideImage has three states (absent, false, true).
class SORVEL_API ActionContent {
  public:
    /// Builds a content (SDK-internal). Note the order: largeIconUrl comes
    /// before imgUrl.
    ActionContent(std::optional<std::string> notificationId, std::optional<std::string> title,
                  std::optional<std::string> subtitle, std::optional<std::string> body,
                  std::optional<std::string> bigTextTitle, std::optional<std::string> bigTextBody,
                  std::optional<std::string> summaryText, std::optional<std::string> largeIconUrl,
                  std::optional<std::string> imgUrl,
                  std::optional<std::map<std::string, std::string>> deeplinkJson,
                  std::optional<std::string> deeplinkUrl, std::optional<bool> isWideImage,
                  std::optional<std::string> imageClickLink,
                  std::optional<std::vector<KakaoButton>> kakaoButtons);

    /// Reads a content from its JSON object text. Runs on the calling thread;
    /// never logs. "deep_link_json" is taken from an object of strings or from
    /// the text of one; "buttons" from an array of button texts. Nothing (a
    /// ContentParsingError) when the text, or one button text, is not a JSON
    /// object.
    static std::optional<ActionContent> fromJsonString(const std::string& text) noexcept;
    /// The JSON object text of the present fields, "deep_link_json" as an
    /// object and "buttons" as an array of button texts. Never fails.
    std::string toJsonString() const noexcept;

    /// "notification_id": the push's notification id, in decimal.
    const std::optional<std::string> notificationId;
    /// "title".
    const std::optional<std::string> title;
    /// "subtitle".
    const std::optional<std::string> subtitle;
    /// "body".
    const std::optional<std::string> body;
    /// "big_text_title": the title of the expanded view.
    const std::optional<std::string> bigTextTitle;
    /// "big_text_body": the text of the expanded view.
    const std::optional<std::string> bigTextBody;
    /// "summary_text".
    const std::optional<std::string> summaryText;
    /// "img": the image's URL.
    const std::optional<std::string> imgUrl;
    /// "large_icon": the large icon's URL.
    const std::optional<std::string> largeIconUrl;
    /// "deep_link_json": the deeplink's parameters.
    const std::optional<std::map<std::string, std::string>> deeplinkJson;
    /// "deep_link_url".
    const std::optional<std::string> deeplinkUrl;
    /// "is_wide_img": absent, false or true.
    const std::optional<bool> isWideImage;
    /// "img_link": the link opened by a tap on the image.
    const std::optional<std::string> imageClickLink;
    /// "buttons": the message's buttons, in order.
    const std::optional<std::vector<KakaoButton>> kakaoButtons;
};

/// One message-history entry: a push this device received or a message the
/// server keeps for the user. Immutable once built; safe to share between
/// threads.
class SORVEL_API ActionHistory {
  public:
    /// Builds an entry (SDK-internal).
    ActionHistory(std::string historyId, std::string actionType, std::int64_t timeStamp,
                  ActionContent content, bool isRead, std::string group, bool isServerSynced);

    /// Reads one entry of the server's history list ("id", "type", "contents"
    /// as an object, "timestamp" as an integer, "action_group" optional).
    /// Runs on the calling thread. Returns nothing, with an error line
    /// ("fromDictionary(historyJsonDic:isServerSynced:) : some value in
    /// historyJson is nil, historyJson : " and the entry, or the content
    /// parsing line), when a required value is missing, mistyped or unreadable.
    static std::optional<ActionHistory> fromDictionary(const Value::Map& historyJsonDic,
                                                       bool isServerSynced) noexcept;
    /// The entry as JSON text: "id", "action_type", "timestamp", "content" (the
    /// content's JSON text as a string), "is_read", "group", "is_server_synced".
    std::string toJsonString() const noexcept;

    /// The entry's unique id: the server's "id", or "PUSH_IOS::<notification id>" for a push.
    const std::string historyId;
    /// The kind: "PUSH_ANDROID", "PUSH_IOS", "KAKAOTALK", "TEXT_MESSAGE" or what the server sent.
    const std::string actionType;
    /// Milliseconds since 1970-01-01 UTC: the server's time, or when the push was stored.
    const std::int64_t timeStamp;
    /// What the message shows.
    const ActionContent content;
    /// Whether it was read; always false in this version.
    const bool isRead;
    /// The server's "action_group"; empty when none, and for pushes.
    const std::string group;
    /// True for a stored server entry, false for a push stored on the device.
    const bool isServerSynced;
};

}  // namespace sorvel

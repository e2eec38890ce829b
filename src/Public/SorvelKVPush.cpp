#include <utility>

#include "Base/Hex.h"
#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/Extensions.h"
#include "Common/RegistryStates.h"
#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Core/DefaultSVLContextController.h"
#include "Core/DiContainer.h"
#include "Event/LogEventParameter.h"
#include "Event/PushOpenMonitor.h"
#include "Event/TypedValueDictionary.h"
#include "Platform/Clock.h"
#include "Platform/Crypto.h"
#include "Platform/Dispatch.h"
#include "Platform/UserNotificationCenter.h"
#include "Public/FacadeInternal.h"
#include "Push/PushImage.h"
#include "Push/RemotePushKeys.h"
#include "sorvel/SorvelKV.h"
#include "sorvel/SorvelPushService.h"

// The facade's push calls: the token and the push switch, local
// notifications, and what a tapped notification or a parsed payload reports.

namespace sorvel {
namespace {

constexpr std::size_t kMaxTokenBytes = 4096;
constexpr std::size_t kMaxTokenText = 2 * kMaxTokenBytes;
constexpr const char* kPushUnavailable =
    "Push service is not available : due to SDK status (pause / stop / gdpr)";
constexpr const char* kLocalPushImageName = "sorvelLocalPushImage.jpg";

std::shared_ptr<DataRegistry> registry() {
    return DiContainer::shared().dataRegistry();
}

bool pushSwitchesOn() {
    auto r = registry();
    return FvnUtil::getPushEnable(*r) && FvnUtil::getOsPushEnable(*r);
}

// The disabled guard of the push calls, with its own line.
bool refusedAsDisabled(const std::string& line) {
    if (!facade::isSorvelDisabled()) {
        return false;
    }
    SvlLog::debug(line, true);
    return true;
}

void saveRegistrationId(const std::string& token) {
    if (facade::isSorvelDisabled()) {
        return;
    }
    auto r = registry();
    const std::optional<std::string> stored =
        r->getStringOrNil(DataRegistryKey::STRING_REGISTRATION_ID, std::nullopt);
    if (stored && *stored == token) {
        return;
    }
    r->putString(token, DataRegistryKey::STRING_REGISTRATION_ID);
    facade::logSvlEvent(Constants::EVENT_NAME_SET_PUSH, {});
}

SorvelKvApplicationState currentApplicationState() {
    switch (platform::applicationState()) {
        case platform::ApplicationState::active:
            return SorvelKvApplicationState::ACTIVE;
        case platform::ApplicationState::inactive:
            return SorvelKvApplicationState::INACTIVE;
        case platform::ApplicationState::background:
            return SorvelKvApplicationState::BACKGROUND;
    }
    return SorvelKvApplicationState::INACTIVE;
}

void refuseLocalPush(const LocalPushCompletionHandler& completion, SvlRemotePushError error,
                     const std::string& identifier) {
    if (completion) {
        completion(false, LocalPushError{error, localizedDescription(error)}, identifier);
    }
}

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

struct LocalPushParams {
    std::string identifier;
    NotificationDateComponents components;
    std::string title;
    std::optional<std::string> subtitle;
    std::string body;
    std::optional<NotificationSound> sound;
    std::optional<std::string> categoryId;
    std::optional<std::string> threadId;
    std::optional<std::int64_t> badgeNumber;
    std::optional<std::string> image;
    std::optional<Value::Map> attrDic;
    LocalPushCompletionHandler completion;
};

// Runs on the global queue: the content, the request, the add.
void buildLocalPushContent(LocalPushParams p) {
    NotificationContent content;
    content.title = p.title;
    content.body = p.body;
    if (p.sound) {
        SvlLog::debug("Local Push :: set sound", false);
        content.sound = *p.sound;
    } else {
        SvlLog::debug("Local Push :: push sound is nil, set to default sound", false);
        content.sound = NotificationSound::defaultSound();
    }
    if (p.subtitle) {
        SvlLog::debug("Local Push :: set subtitle " + quoted(*p.subtitle), false);
        content.subtitle = *p.subtitle;
    } else {
        SvlLog::debug("Local Push :: subtitle is nil", false);
    }
    if (p.threadId) {
        SvlLog::debug("Local Push :: set threadId : " + quoted(*p.threadId), false);
        content.threadIdentifier = *p.threadId;
    } else {
        SvlLog::debug("Local Push :: threadId is nil", false);
    }
    if (p.categoryId) {
        SvlLog::debug("Local Push :: set categoryId : " + quoted(*p.categoryId), false);
        content.categoryIdentifier = *p.categoryId;
    } else {
        SvlLog::debug("Local Push :: categoryId is nil", false);
    }
    if (p.badgeNumber) {
        SvlLog::debug("Local Push :: set badgeNumber : " + quoted(std::to_string(*p.badgeNumber)),
                      false);
        content.badge = *p.badgeNumber;
    } else {
        SvlLog::debug("Local Push :: badgeNumber is nil", false);
    }
    if (p.image) {
        StatusOr<std::string> data = push::fetchImage(*p.image, push::LOCAL_IMAGE_TIMEOUT, true);
        if (data.isOk()) {
            if (auto a = push::createAttachment(kLocalPushImageName, kLocalPushImageName,
                                                data.value())) {
                content.attachments = {*a};
            } else {
                SvlLog::debug("Local Push :: can not save push image Data as jpg", false);
            }
        } else {
            SvlLog::debug("Local Push :: image Data is nil, url is " + quoted(*p.image), false);
        }
    } else {
        SvlLog::debug("Local Push :: imageUrl is nil", false);
    }
    content.userInfo[Constants::PUSH_KEY_PUSH_ID] = p.identifier;
    if (p.attrDic) {
        content.userInfo[Constants::PUSH_KEY_PUSH_INFO] = *p.attrDic;
    }
    NotificationRequest request;
    request.identifier = p.identifier;
    request.content = std::move(content);
    request.trigger = CalendarNotificationTrigger{p.components, false};
    platform::UserNotificationCenter::current().add(
        std::move(request), [completion = std::move(p.completion),
                             id = p.identifier](const std::optional<std::string>& error) {
            if (error) {
                if (completion)
                    completion(false, LocalPushError{std::nullopt, *error}, id);
                SvlLog::warning(*error, true);
            } else {
                if (completion)
                    completion(true, std::nullopt, id);
                SvlLog::debug("register local push success", false);
            }
        });
}

void scheduleLocalPushNotification(LocalPushParams p) {
    if (refusedAsDisabled(kPushUnavailable)) {
        refuseLocalPush(p.completion, SvlRemotePushError::SorvelDisabled, p.identifier);
        return;
    }
    if (!pushSwitchesOn()) {
        SvlLog::warning("Cannot Use Local Notification (push enable option is OFF)", false);
        refuseLocalPush(p.completion, SvlRemotePushError::PushDisable, p.identifier);
        return;
    }
    platform::DispatchQueue::global().async(
        [p = std::move(p)]() mutable { buildLocalPushContent(std::move(p)); });
}

NotificationDateComponents componentsOf(std::chrono::system_clock::time_point date) {
    // The fraction of a second is dropped (floored, also before 1970); the
    // zone's offset is added in seconds, so no date the clock can name
    // overflows on the way.
    const auto second = std::chrono::floor<std::chrono::seconds>(date);
    const std::int64_t offset = platform::localTimeZone()->utcOffset(second).count();
    const platform::CivilTime c =
        platform::utcCivilTime(second.time_since_epoch().count() + offset);
    return NotificationDateComponents{c.year, c.month, c.day, c.hour, c.minute, c.second};
}

void registerLocal(LocalPushParams p, std::chrono::system_clock::time_point date) {
    if (refusedAsDisabled(kPushUnavailable)) {
        refuseLocalPush(p.completion, SvlRemotePushError::SorvelDisabled, p.identifier);
        return;
    }
    p.components = componentsOf(date);
    scheduleLocalPushNotification(std::move(p));
}

void pushEventTracking(const Value::Map& params) {
    if (refusedAsDisabled(
            "pushEventTracking :: Push service is not available : due to SDK status (pause / stop "
            "/ gdpr)")) {
        return;
    }
    const std::int64_t lastEnd =
        registry()->getInt64(DataRegistryKey::INT64_LAST_SESSION_END_TIME, 0);
    if (SVLBooleanState::isSessionStarted().get()) {
        const std::int64_t elapsed = platform::wallMillis() - lastEnd;
        const std::int64_t window = 1000LL * Constants::SESSION_TIMEOUT_SECONDS;
        if (elapsed < window || lastEnd == 0) {
            facade::logSvlEvent(Constants::EVENT_NAME_OPEN_PUSH,
                                FvnUtil::toTypedValueDictionary(params));
            return;
        }
    }
    PushOpenMonitor::shared().mark(params);
}

void remotePushOpenTracking(const Value::Map& aps) {
    if (refusedAsDisabled("remotePushOpenTracking :: Push service is not available : due to SDK "
                          "status (pause / stop / gdpr)")) {
        return;
    }
    SvlLog::debug("Start open-push tracking", true);
    if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_DEBUG, true)) {
        SvlLog::debug("open_push received :::: " + ext::toJsonFormat(aps), true);
    }
    Value::Map data;
    for (auto key : {push::KEY_DEEP_LINK_URL, push::KEY_DEEP_LINK_JSON}) {
        if (const Value* v = push::entryAt(aps, key)) {
            data[std::string(key)] = *v;
        }
    }
    if (auto delegate = SorvelKV::getInstance().getSorvelKvPushRemoteDelegate()) {
        delegate->pushRemoteCallback(data, currentApplicationState());
    }
    Value::Map params;
    if (const std::string* s = push::stringAt(aps, push::KEY_GF_CAMPAIGN_ID)) {
        params[std::string(push::KEY_GF_CAMPAIGN_ID)] = *s;
    }
    if (const std::string* s = push::stringAt(aps, push::KEY_GF_STEP_ID)) {
        params[std::string(push::KEY_GF_STEP_ID)] = *s;
    }
    if (auto n = push::integerAt(aps, push::KEY_GF_CAMPAIGN_REVISION_NO)) {
        params[std::string(push::KEY_GF_CAMPAIGN_REVISION_NO)] = *n;
    }
    if (const std::string* s = push::stringAt(aps, push::KEY_GF_CYCLE_TIME)) {
        params[std::string(push::KEY_GF_CYCLE_TIME)] = *s;
    }
    pushEventTracking(params);
}

void localPushOpenTracking(const Value& pushId, const Value::Map& userInfo) {
    if (refusedAsDisabled("localPushOpenTracking :: Push service is not available : due to SDK "
                          "status (pause / stop / gdpr)")) {
        return;
    }
    Value::Map data{{Constants::PUSH_KEY_PUSH_ID, pushId}};
    if (const Value::Map* info = push::mapAt(userInfo, push::KEY_PUSH_INFO)) {
        for (const auto& [k, v] : *info) {
            data[k] = v;
        }
    }
    if (auto delegate = SorvelKV::getInstance().getSorvelKvPushLocalDelegate()) {
        delegate->pushLocalCallback(data, currentApplicationState());
    }
}

}  // namespace

// ---- Token and switch ------------------------------------------------------------

void SorvelKV::setRegistrationId(const std::vector<std::uint8_t>& deviceToken) noexcept {
    facade::boundary("setRegistrationId", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        if (deviceToken.size() > kMaxTokenBytes) {
            SvlLog::warning("setRegistrationId :: the token has " +
                                std::to_string(deviceToken.size()) + " bytes, more than " +
                                std::to_string(kMaxTokenBytes) + "; ignored",
                            true);
            return;
        }
        saveRegistrationId(text::toHex(deviceToken));
    });
}

void SorvelKV::setRegistrationIdForUnity(const std::string& deviceToken) noexcept {
    facade::boundary("setRegistrationIdForUnity", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        if (deviceToken.size() > kMaxTokenText) {
            SvlLog::warning("setRegistrationIdForUnity :: the token has " +
                                std::to_string(deviceToken.size()) + " bytes, more than " +
                                std::to_string(kMaxTokenText) + "; ignored",
                            true);
            return;
        }
        saveRegistrationId(deviceToken);
    });
}

void SorvelKV::setPushEnable(bool toPushEnable) noexcept {
    facade::boundary("setPushEnable", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        auto r = registry();
        if (r->getBool(DataRegistryKey::BOOL_IS_PUSH_ENABLE, false) == toPushEnable) {
            return;
        }
        r->putBool(toPushEnable, DataRegistryKey::BOOL_IS_PUSH_ENABLE);
        facade::logSvlEvent(Constants::EVENT_NAME_SET_PUSH, {});
    });
}

// ---- Local notifications -------------------------------------------------------------

void SorvelKV::registerLocalPushNotification(
    std::chrono::system_clock::time_point date, const std::string& title,
    const std::optional<std::string>& subtitle, const std::string& body,
    const std::optional<NotificationSound>& sound, const std::optional<std::string>& categoryId,
    const std::optional<std::string>& threadId, const std::optional<std::int64_t>& badgeNumber,
    const std::optional<std::string>& image, const std::optional<Value::Map>& attrDic,
    LocalPushCompletionHandler completionHandler) noexcept {
    facade::boundary("registerLocalPushNotification", [&] {
        registerLocal(LocalPushParams{platform::crypto::uuidString(),
                                      {},
                                      title,
                                      subtitle,
                                      body,
                                      sound,
                                      categoryId,
                                      threadId,
                                      badgeNumber,
                                      image,
                                      attrDic,
                                      std::move(completionHandler)},
                      date);
    });
}

void SorvelKV::registerLocalPushNotification(
    const std::string& id, std::chrono::system_clock::time_point date, const std::string& title,
    const std::optional<std::string>& subtitle, const std::string& body,
    const std::optional<NotificationSound>& sound, const std::optional<std::string>& categoryId,
    const std::optional<std::string>& threadId, const std::optional<std::int64_t>& badgeNumber,
    const std::optional<std::string>& image, const std::optional<Value::Map>& attrDic,
    LocalPushCompletionHandler completionHandler) noexcept {
    facade::boundary("registerLocalPushNotification", [&] {
        registerLocal(LocalPushParams{id,
                                      {},
                                      title,
                                      subtitle,
                                      body,
                                      sound,
                                      categoryId,
                                      threadId,
                                      badgeNumber,
                                      image,
                                      attrDic,
                                      std::move(completionHandler)},
                      date);
    });
}

void SorvelKV::getRegisteredLocalPushNotification(
    std::function<void(const std::vector<std::string>& ids)> completeHandler) noexcept {
    facade::boundary("getRegisteredLocalPushNotification", [&] {
        if (refusedAsDisabled(kPushUnavailable)) {
            return;
        }
        platform::UserNotificationCenter::current().getPendingNotificationRequests(
            [handler = std::move(completeHandler)](std::vector<NotificationRequest> requests) {
                std::vector<std::string> ids;
                ids.reserve(requests.size());
                for (const auto& r : requests) {
                    ids.push_back(r.identifier);
                }
                if (handler)
                    handler(ids);
            });
    });
}

void SorvelKV::cancelLocalPushNotification(const std::vector<std::string>& ids) noexcept {
    facade::boundary("cancelLocalPushNotification", [&] {
        if (refusedAsDisabled(kPushUnavailable)) {
            return;
        }
        std::vector<std::string> copy = ids;
        if (!copy.empty()) {
            platform::UserNotificationCenter::current().removePendingNotificationRequests(copy);
        }
    });
}

void SorvelKV::cancelLocalPushNotificationAll() noexcept {
    facade::boundary("cancelLocalPushNotificationAll", [&] {
        if (refusedAsDisabled(kPushUnavailable)) {
            return;
        }
        platform::UserNotificationCenter::current().removeAllPendingNotificationRequests();
    });
}

// ---- Opens and payloads ------------------------------------------------------------------

void SorvelKV::userNotificationCenter(const NotificationResponse& response) noexcept {
    facade::boundary("userNotificationCenter", [&] {
        const Value::Map& userInfo = response.request.content.userInfo;
        if (refusedAsDisabled(kPushUnavailable)) {
            return;
        }
        SvlLog::debug("Push Msg ACTION :: " + response.actionIdentifier, true);
        if (response.actionIdentifier == NotificationResponse::DISMISS_ACTION_IDENTIFIER) {
            SvlLog::debug("Push Msg Closed", true);
            return;
        }
        if (response.actionIdentifier != NotificationResponse::DEFAULT_ACTION_IDENTIFIER) {
            SvlLog::warning("Push Msg response unknown", false);
            return;
        }
        if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_DEBUG, true)) {
            SvlLog::debug("Clicked push notification :: " + ext::toJsonFormat(userInfo), true);
        }
        if (const Value* pushId = push::entryAt(userInfo, push::KEY_PUSH_ID)) {
            localPushOpenTracking(*pushId, userInfo);
        } else if (const Value::Map* aps = push::apsOf(userInfo)) {
            remotePushOpenTracking(*aps);
        }
    });
}

std::optional<SvlRemotePushModel> SorvelKV::parsePushData(const Value::Map& userInfo,
                                                          SvlRemotePushError& error) noexcept {
    return facade::boundary("parsePushData", std::optional<SvlRemotePushModel>(), [&] {
        if (facade::isSorvelDisabled()) {
            error = SvlRemotePushError::SorvelDisabled;
            return std::optional<SvlRemotePushModel>();
        }
        if (!pushSwitchesOn()) {
            error = SvlRemotePushError::PushDisable;
            return std::optional<SvlRemotePushModel>();
        }
        return SvlRemotePushModel::fromUserInfo(userInfo, &error);
    });
}

std::optional<SvlRemotePushModel> SorvelKV::parsePushData(const Value::Map& userInfo) noexcept {
    SvlRemotePushError ignored{};
    return parsePushData(userInfo, ignored);
}

void SorvelKV::openPush(const SvlRemotePushModel& model) noexcept {
    facade::boundary("openPush", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        remotePushOpenTracking(model.toOpenPushEventParamDict());
    });
}

void SorvelKV::didReceiveSvlPush(const NotificationRequest& request,
                                 NotificationContentHandler contentHandler) noexcept {
    SorvelMultiPushProviderController::getInstance().didReceiveSvlPush(request,
                                                                       std::move(contentHandler));
}

void SorvelKV::svlPushServiceExtensionTimeWillExpire() noexcept {
    SorvelMultiPushProviderController::getInstance().svlPushServiceExtensionTimeWillExpire();
}

}  // namespace sorvel

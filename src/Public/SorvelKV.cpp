#include "sorvel/SorvelKV.h"

#include <cmath>
#include <utility>

#include "Base/Url.h"
#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/GdprForgetMe.h"
#include "Common/RegistryStates.h"
#include "Common/SVLBooleanState.h"
#include "Common/SdkState.h"
#include "Common/SvlLog.h"
#include "Core/DefaultSVLContextController.h"
#include "Core/DiContainer.h"
#include "Core/DisabledGuard.h"
#include "Core/ExitHook.h"
#include "Event/DeeplinkPostingObservable.h"
#include "Event/EventInputGuard.h"
#include "Event/EventUploadIntervalManager.h"
#include "Event/LogEventParameter.h"
#include "Event/TypedValueDictionary.h"
#include "Event/UserPropertyManager.h"
#include "Event/UserPropertyRules.h"
#include "Platform/Bundle.h"
#include "Platform/Clock.h"
#include "Platform/Crypto.h"
#include "Platform/Mutex.h"
#include "Platform/NotificationCenter.h"
#include "Public/FacadeInternal.h"
#include "Public/FacadeObservers.h"
#include "Push/OsPushEnableObservable.h"
#include "View/InAppMessage/InAppViewHooks.h"

namespace sorvel {

// The facade's own state: the delegate slots (the log delegate's lives with
// the logger) and what initSorvel registered. Slots are read as a snapshot
// under the lock and called outside it, so an app may set a delegate from any
// thread while the SDK calls the previous one.
struct SorvelKV::Impl {
    mutable platform::Mutex mu;
    std::shared_ptr<SorvelKVDeferredDeeplinkDelegate> deferredDeeplink GUARDED_BY(mu);
    std::shared_ptr<SorvelKVDeeplinkDelegate> deeplink GUARDED_BY(mu);
    std::shared_ptr<SorvelKvPushLocalDelegate> localPush GUARDED_BY(mu);
    std::shared_ptr<SorvelKvPushRemoteDelegate> remotePush GUARDED_BY(mu);
    std::shared_ptr<SorvelKVInAppMessageClickDelegate> inAppMessageClick GUARDED_BY(mu);
    // The application-state observers; registered by the first initSorvel only.
    std::vector<platform::NotificationCenter::Token> notificationTokens GUARDED_BY(mu);
    bool observersRegistered GUARDED_BY(mu) = false;

    template <typename T>
    void set(std::shared_ptr<T> Impl::*slot, std::shared_ptr<T> value) {
        std::shared_ptr<T> previous;
        {
            platform::MutexLock lock(mu);
            previous = std::exchange(this->*slot, std::move(value));
        }
        // previous goes here, outside the lock: the app's object may do anything.
    }
    template <typename T>
    std::shared_ptr<T> get(std::shared_ptr<T> Impl::*slot) const {
        platform::MutexLock lock(mu);
        return this->*slot;
    }

    // Back to a fresh process (test support): no delegates, nothing registered.
    void forget() {
        std::vector<platform::NotificationCenter::Token> tokens;
        std::shared_ptr<void> gone[5];
        {
            platform::MutexLock lock(mu);
            tokens.swap(notificationTokens);
            observersRegistered = false;
            gone[0] = std::move(deferredDeeplink);
            gone[1] = std::move(deeplink);
            gone[2] = std::move(localPush);
            gone[3] = std::move(remotePush);
            gone[4] = std::move(inAppMessageClick);
        }
        for (auto token : tokens) {
            platform::NotificationCenter::shared().removeObserver(token);
        }
    }
};

namespace {

std::shared_ptr<DataRegistry> registry() {
    return DiContainer::shared().dataRegistry();
}

std::shared_ptr<DefaultSVLContextController> controller() {
    return DiContainer::shared().defaultSVLContextController();
}

// The app's values stay as they are, and get their type prefixes only when the
// event is written into its package. They travel as one flat list: the copy
// the call must take of the app's map is one allocation, not one per entry,
// and the pipeline frees one block of the caller's instead of a node each.
void logCustomEvent(const std::string& eventName, ParamList attributes) {
    std::string name = eventName;
    if (!facade::admitEvent(name, Constants::EVENT_GROUP_CUSTOM, attributes)) {
        return;
    }
    auto c = controller();
    auto parameter =
        LogEventParameter::initWithEventName(Constants::EVENT_GROUP_CUSTOM, std::move(name), {});
    parameter.paramForm = ParamForm::native;
    parameter.nativeParam = std::move(attributes);
    c->logEvent(std::move(parameter));
    c->triggerInAppMessage(eventName, Constants::EVENT_GROUP_CUSTOM);
}

// The user properties of an attribute model: each entry under "c:<key>"; with
// withUserId, a string "user_id" becomes "svl:user_id" and any other type
// refuses the whole model (nothing).
std::optional<Value::Map> propertiesOf(const SorvelKvAttrModel& model, bool withUserId) {
    Value::Map result;
    for (const auto& [key, value] : model.getAttrData()) {
        if (withUserId && key == "user_id") {
            if (!value.isString()) {
                SvlLog::error(
                    "user_id is not string value! skip setUserPropertiesWithAttr(attrModel:)",
                    true);
                return std::nullopt;
            }
            result[Constants::PARAM_KEY_USER_ID] = value;
            continue;
        }
        result["c:" + key] = value;
    }
    return result;
}

}  // namespace

// ---- Internal operations shared by the facade's files ---------------------------

namespace facade {

bool isSorvelDisabled() {
    return DiContainer::shared().disabledGuard()->isSorvelDisabled();
}

namespace {

std::size_t propertiesBytes() {
    return DiContainer::shared().userPropertyManager()->typedPropertiesBytes();
}

bool logAdmission(const std::string& eventName, const Status& admitted) {
    if (!admitted) {
        SvlLog::error("EventBuffer :: event " + EventInputGuard::nameForLog(eventName) +
                          " dropped : " + admitted.message(),
                      true);
    }
    return admitted.isOk();
}

}  // namespace

bool admitEvent(std::string& eventName, const std::string& group, Value::Map& eventParam,
                ParamForm form) {
    return logAdmission(eventName, EventInputGuard::admitInput(eventName, group, eventParam, form,
                                                               propertiesBytes()));
}

bool admitEvent(std::string& eventName, const std::string& group, ParamList& attributes) {
    return logAdmission(
        eventName, EventInputGuard::admitInput(eventName, group, attributes, propertiesBytes()));
}

void logSvlEvent(const std::string& eventName, Value::Map eventParam) {
    if (isSorvelDisabled()) {
        return;
    }
    std::string name = eventName;
    if (!admitEvent(name, Constants::EVENT_GROUP_STANDARD, eventParam)) {
        return;
    }
    auto c = controller();
    auto parameter = LogEventParameter::initWithEventName(Constants::EVENT_GROUP_STANDARD,
                                                          std::move(name), std::move(eventParam));
    c->triggerInAppMessage(eventName, Constants::EVENT_GROUP_STANDARD);
    c->logEvent(std::move(parameter));
}

void logSvlEventWithPaging(std::vector<SorvelKvCommerceProductModel> products,
                           const std::string& eventName, Value::Map eventParam) {
    if (isSorvelDisabled()) {
        return;
    }
    auto c = controller();
    c->triggerInAppMessage(eventName, Constants::EVENT_GROUP_STANDARD);
    c->logSameEventWithPaging(std::move(products), eventName, std::move(eventParam));
}

}  // namespace facade

// ---- Construction -------------------------------------------------------------

// The facade as a part of the SDK's state, never destroyed: SDK threads and
// the app's callbacks may still reach it while the process exits. A retired
// one follows no notification and holds no delegate.
struct SorvelKVPart : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::facade;

    template <typename Key>
    explicit SorvelKVPart(Key key) : facade(key) {}
    void retire() override { facade.impl_->forget(); }

    SorvelKV facade;
};

SorvelKV& SorvelKV::getInstance() noexcept {
    return SdkState::shared()
        .part<SorvelKVPart>([] { return std::make_unique<SorvelKVPart>(PassKey{}); })
        .facade;
}

SorvelKV& SorvelKV::sharedInstance() noexcept {
    return getInstance();
}

SorvelKV::SorvelKV(PassKey) : impl_(std::make_unique<Impl>()) {
    SvlLog::initQaMode(nullptr);
}

SorvelKV::~SorvelKV() = default;

// ---- Start-up and life cycle -------------------------------------------------------

void SorvelKV::initSorvel(const std::string& appKey, const std::string& secretKey) noexcept {
    facade::boundary("initSorvel", [&] {
        // Once per process, before any line is logged: the Info keys are read
        // by now.
        SvlLog::initQaMode(nullptr);
        std::int64_t serverMode = 0;
        if (auto mode = platform::Bundle::info("SorvelServerMode"); mode && mode->isInt64()) {
            serverMode = *mode->getInt64();
        }
        std::string region = "ap2";
        if (auto info = platform::Bundle::info("FvnRegion"); info && info->isString()) {
            region = *info->getString();
        }
        Constants::configureEndpoints(serverMode, region);

        auto c = controller();
        bool registerNow = false;
        {
            platform::MutexLock lock(impl_->mu);
            registerNow = !std::exchange(impl_->observersRegistered, true);
        }
        // A second call would add every observer again and have each
        // notification handled twice; it only submits INITIALIZE again.
        if (registerNow) {
            DeferredDeeplinkPostingObservable::shared().addObserver(
                std::make_shared<DeferredDeeplinkObserver>());
            DeeplinkPostingObservable::shared().addObserver(std::make_shared<DeeplinkObserver>());
            OsPushEnableObservable::shared().addObserver(
                std::make_shared<OsPushEnableObserver>(registry(), c));
            auto& center = platform::NotificationCenter::shared();
            std::vector<platform::NotificationCenter::Token> tokens{
                center.addObserver(
                    platform::NotificationCenter::kApplicationDidBecomeActiveNotification,
                    [](const std::string&, const std::optional<Value>&) {
                        SorvelKV::getInstance().didBecomeActive();
                    }),
                center.addObserver(
                    platform::NotificationCenter::kApplicationWillResignActiveNotification,
                    [](const std::string&, const std::optional<Value>&) {
                        SorvelKV::getInstance().willResignActive();
                    })};
            platform::MutexLock lock(impl_->mu);
            impl_->notificationTokens = std::move(tokens);
        }
        c->initialize(appKey, secretKey);
        // An app that returns from main without applicationWillTerminate
        // still leaves what it recorded stored.
        installExitHook();
    });
}

void SorvelKV::didBecomeActive() noexcept {
    facade::boundary("didBecomeActive", [] {
        controller()->didBecomeActive();
        SvlLog::debug("become active", true);
    });
}

void SorvelKV::willResignActive() noexcept {
    facade::boundary("willResignActive", [] {
        controller()->willResignActive();
        SvlLog::debug("will resign Active", true);
    });
}

// ---- Settings and diagnostics -------------------------------------------------------

void SorvelKV::stopGettingIDFA() noexcept {
    facade::boundary("stopGettingIDFA", [] {
        if (!facade::isSorvelDisabled()) {
            SVLBooleanState::isStopGettingIDFA().set(true);
        }
    });
}

void SorvelKV::startGettingIDFA() noexcept {
    facade::boundary("startGettingIDFA", [] {
        if (!facade::isSorvelDisabled()) {
            SVLBooleanState::isStopGettingIDFA().set(false);
        }
    });
}

void SorvelKV::setDeviceId(const std::string& deviceId) noexcept {
    facade::boundary("setDeviceId",
                     [&] { registry()->putString(deviceId, DataRegistryKey::STRING_DEVICE_ID); });
}

void SorvelKV::printSdkState() noexcept {
    facade::boundary("printSdkState", [] {
        DRStateResult result = FvnUtil::getDRState(*registry());
        if (!result) {
            SvlLog::error(describe(result.error()), true);
            return;
        }
        const char* line = "";
        switch (result.value()) {
            case DRState::NORMAL:
                line = "SDK STOPPED STATE :: SDK normal state!";
                break;
            case DRState::INIT_RESTART_SYNCED:
                line = "SDK STOPPED STATE :: SDK restarted by user, also  synced!";
                break;
            case DRState::INIT_RESTART_NOT_SYNCED:
                line = "SDK STOPPED STATE :: SDK restarted by user, but not synced!";
                break;
            case DRState::DELETE_NOT_SYNCED:
                line = "SDK STOPPED STATE :: Deleting user data requested, but not synced!";
                break;
            case DRState::DELETE_SYNCED:
                line = "SDK STOPPED STATE :: Deleting user data requested, also synced!";
                break;
        }
        SvlLog::debug(line, true);
    });
}

// ---- Delegates ------------------------------------------------------------------------

void SorvelKV::setLogDelegate(std::shared_ptr<SorvelKVLogDelegate> delegate) noexcept {
    SvlLog::setLogDelegate(std::move(delegate));
}

std::shared_ptr<SorvelKVLogDelegate> SorvelKV::getLogDelegate() const noexcept {
    return SvlLog::logDelegate();
}

void SorvelKV::setDeeplinkDelegate(std::shared_ptr<SorvelKVDeeplinkDelegate> delegate) noexcept {
    impl_->set(&Impl::deeplink, std::move(delegate));
}

std::shared_ptr<SorvelKVDeeplinkDelegate> SorvelKV::getDeeplinkDelegate() const noexcept {
    return impl_->get(&Impl::deeplink);
}

void SorvelKV::setDeferredDeeplinkDelegate(
    std::shared_ptr<SorvelKVDeferredDeeplinkDelegate> delegate) noexcept {
    impl_->set(&Impl::deferredDeeplink, std::move(delegate));
}

std::shared_ptr<SorvelKVDeferredDeeplinkDelegate> SorvelKV::getDeferredDeeplinkDelegate()
    const noexcept {
    return impl_->get(&Impl::deferredDeeplink);
}

void SorvelKV::setInAppMessageClickDelegate(
    std::shared_ptr<SorvelKVInAppMessageClickDelegate> delegate) noexcept {
    impl_->set(&Impl::inAppMessageClick, std::move(delegate));
    // The in-app views read the delegate through their hook at each click.
    InAppViewHooks::setClickDelegateProvider(
        [impl = impl_.get()] { return impl->get(&Impl::inAppMessageClick); });
}

std::shared_ptr<SorvelKVInAppMessageClickDelegate> SorvelKV::getInAppMessageClickDelegate()
    const noexcept {
    return impl_->get(&Impl::inAppMessageClick);
}

void SorvelKV::setSorvelKvPushLocalDelegate(
    std::shared_ptr<SorvelKvPushLocalDelegate> delegate) noexcept {
    impl_->set(&Impl::localPush, std::move(delegate));
}

std::shared_ptr<SorvelKvPushLocalDelegate> SorvelKV::getSorvelKvPushLocalDelegate() const noexcept {
    return impl_->get(&Impl::localPush);
}

void SorvelKV::setSorvelKvPushRemoteDelegate(
    std::shared_ptr<SorvelKvPushRemoteDelegate> delegate) noexcept {
    impl_->set(&Impl::remotePush, std::move(delegate));
}

std::shared_ptr<SorvelKvPushRemoteDelegate> SorvelKV::getSorvelKvPushRemoteDelegate()
    const noexcept {
    return impl_->get(&Impl::remotePush);
}

// ---- Custom events ---------------------------------------------------------------------

void SorvelKV::event(const std::string& eventName) noexcept {
    facade::boundary("event", [&] {
        if (!facade::isSorvelDisabled()) {
            logCustomEvent(eventName, {});
        }
    });
}

void SorvelKV::eventWithAttr(const std::string& eventName,
                             const SorvelKvAttrModel& value) noexcept {
    facade::boundary("eventWithAttr", [&] {
        if (!facade::isSorvelDisabled()) {
            logCustomEvent(eventName, value.attrData ? toParamList(*value.attrData) : ParamList{});
        }
    });
}

void SorvelKV::eventForUnityWithAttr(const std::string& eventName,
                                     const SorvelKvAttrModel& value) noexcept {
    eventWithAttr(eventName, value);
}

// ---- User identity and properties ------------------------------------------------------

void SorvelKV::login(const std::string& userId) noexcept {
    facade::boundary("login", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        // Compared with the properties as they stand now, before this save
        // (and any still queued) runs.
        const bool sameUser = FvnUtil::isSameUserId(
            userId, DiContainer::shared().userPropertyManager()->userPropertyDic());
        controller()->saveUserPropertyWithoutEvent({{Constants::PARAM_KEY_USER_ID, userId}}, false);
        facade::logSvlEvent(Constants::EVENT_NAME_LOGIN, {});
        if (!sameUser) {
            facade::logSvlEvent(Constants::EVENT_NAME_USER_PROPERTY_CHANGED, {});
        }
    });
}

void SorvelKV::logout() noexcept {
    facade::boundary("logout", [] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        auto c = controller();
        c->clearUserProperty();
        c->clearAllActionHistoryInLocalDB();
        facade::logSvlEvent(Constants::EVENT_NAME_LOGOUT, {});
    });
}

void SorvelKV::setAge(std::int64_t age) noexcept {
    facade::boundary("setAge", [&] {
        if (!facade::isSorvelDisabled()) {
            controller()->saveUserProperty({{Constants::PARAM_KEY_AGE, age}}, false);
        }
    });
}

void SorvelKV::setGender(SorvelGenderType gender) noexcept {
    facade::boundary("setGender", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        const auto raw = static_cast<std::int64_t>(gender);
        if (::sorvel::convertGender(raw) != gender) {
            SvlLog::warning("setGender :: " + std::to_string(raw) +
                                " is not a declared SorvelGenderType; ignored",
                            true);
            return;
        }
        controller()->saveUserProperty({{Constants::PARAM_KEY_GENDER, raw}}, false);
    });
}

void SorvelKV::setUserPropertiesWithAttr(const SorvelKvAttrModel& attrModel) noexcept {
    facade::boundary("setUserPropertiesWithAttr", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        if (auto properties = propertiesOf(attrModel, true)) {
            controller()->saveUserProperty(*properties, false);
        }
    });
}

void SorvelKV::clearUserProperties() noexcept {
    facade::boundary("clearUserProperties", [] {
        if (!facade::isSorvelDisabled()) {
            controller()->clearUserProperty();
        }
    });
}

void SorvelKV::setKakaoId(const std::string& kakaoId) noexcept {
    facade::boundary("setKakaoId", [&] {
        if (!facade::isSorvelDisabled()) {
            controller()->saveUserProperty({{Constants::PARAM_KEY_KAKAO_ID, kakaoId}}, true);
        }
    });
}

void SorvelKV::setUserCiWithAttr(const SorvelKvAttrModel& attrModel) noexcept {
    facade::boundary("setUserCiWithAttr", [&] {
        if (!facade::isSorvelDisabled()) {
            controller()->saveUserProperty(*propertiesOf(attrModel, false), true);
        }
    });
}

void SorvelKV::setLocation(double latitude, double longitude) noexcept {
    facade::boundary("setLocation", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        // JSON has no such numbers; the stored location stays as it was.
        if (!std::isfinite(latitude) || !std::isfinite(longitude)) {
            SvlLog::warning("setLocation :: latitude " + Value(latitude).render() + ", longitude " +
                                Value(longitude).render() + " is not a finite coordinate; ignored",
                            true);
            return;
        }
        auto r = registry();
        r->putString(platform::crypto::uuidString(), DataRegistryKey::STRING_LOCATION_LWID);
        r->putDouble(latitude, DataRegistryKey::DOUBLE_LOCATION_LAT);
        r->putDouble(longitude, DataRegistryKey::DOUBLE_LOCATION_LNG);
    });
}

// ---- Privacy, restart, deeplinks, upload intervals -------------------------------------

namespace {

bool isGdprForgetMeNow(const DataRegistry& r) {
    return FvnUtil::isGdprForgetMe(
        [](GdprForgetMe::Done done) { FvnUtil::executeGdprForgetMe(std::move(done)); }, r);
}

// The delete and restart refusal: the remote pause or forget-me (not the
// delete state, so a restart can follow a delete).
bool refuseDeleteOrRestart(const char* line, const SorvelCompletionHandler& completion) {
    auto r = registry();
    if (!FvnUtil::isPause(*r) && !isGdprForgetMeNow(*r)) {
        return false;
    }
    SvlLog::debug(line, true);
    if (completion) {
        completion(Completion::FAILURE);
    }
    return true;
}

}  // namespace

void SorvelKV::gdprForgetMe() noexcept {
    facade::boundary("gdprForgetMe", [] {
        auto r = registry();
        if (isGdprForgetMeNow(*r)) {
            SvlLog::info("GDPR Sync :: true", true);
            if (FvnUtil::isGdprForgetMeServerResponse(*r)) {
                SvlLog::info("GDPR is already set to 'true'", true);
                return;
            }
        }
        controller()->gdprForgetMe();
    });
}

bool SorvelKV::isGdprForgetMe() noexcept {
    return facade::boundary("isGdprForgetMe", false, [] { return isGdprForgetMeNow(*registry()); });
}

void SorvelKV::deleteUserDataAndStopSDK(const std::string& userId,
                                        SorvelCompletionHandler completion) noexcept {
    facade::boundary("deleteUserDataAndStopSDK", [&] {
        if (refuseDeleteOrRestart(
                "deleteUserDataAndStopSDK is failed due to (gdpr || pause || stop)", completion)) {
            return;
        }
        controller()->deleteUserDataAndStopSDK(userId, std::move(completion));
    });
}

void SorvelKV::restartSDK(const std::string& userId, SorvelCompletionHandler completion) noexcept {
    facade::boundary("restartSDK", [&] {
        if (refuseDeleteOrRestart("restartSDK is failed due to (gdpr || pause || stop)",
                                  completion)) {
            return;
        }
        controller()->restartSDK(userId, std::move(completion));
    });
}

void SorvelKV::deepLinkOpen(const std::string& urlStr) noexcept {
    facade::boundary("deepLinkOpen", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        auto r = registry();
        if (FvnUtil::isBeforeFirstOpen(*r)) {
            return;
        }
        if (!text::parseUrl(urlStr)) {
            SvlLog::error(
                "Deeplink :: urlString cannot be casted to URL Type. urlString : " + urlStr, true);
            return;
        }
        r->putString(urlStr, DataRegistryKey::STRING_DEEPLINK_URL);
        const std::int64_t lastEnd = r->getInt64(DataRegistryKey::INT64_LAST_SESSION_END_TIME, 0);
        if (!SVLBooleanState::isSessionStarted().get()) {
            // The next session start finds the stored URL.
            return;
        }
        const std::int64_t now = platform::wallMillis();
        if (lastEnd == 0 || now - lastEnd < Constants::SESSION_TIMEOUT_SECONDS * 1000) {
            controller()->deeplink(urlStr);
        }
    });
}

void SorvelKV::setEventUploadCountInterval(SorvelEventUploadCountInterval interval) noexcept {
    facade::boundary("setEventUploadCountInterval", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        // Any positive count is taken as it comes, declared or not: a caller
        // passing a plain integer (45) means that many events.
        const auto raw = static_cast<std::int64_t>(interval);
        if (raw <= 0) {
            SvlLog::warning("setEventUploadCountInterval :: " + std::to_string(raw) +
                                " is not a positive count; ignored",
                            true);
            return;
        }
        EventUploadIntervalManager::shared().setCountInterval(raw);
        SvlLog::info("set EventUploadCountInterval : " + std::to_string(raw), true);
    });
}

void SorvelKV::setEventUploadTimeInterval(SorvelEventUploadTimeInterval interval) noexcept {
    facade::boundary("setEventUploadTimeInterval", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        const auto raw = static_cast<std::int64_t>(interval);
        if (::sorvel::convertTimeInterval(raw) != interval) {
            SvlLog::warning("setEventUploadTimeInterval :: " + std::to_string(raw) +
                                " is not a declared SorvelEventUploadTimeInterval; ignored",
                            true);
            return;
        }
        EventUploadIntervalManager::shared().setTimeInterval(static_cast<double>(raw));
        SvlLog::info("set EventUploadTimeInterval : " + std::to_string(raw), true);
    });
}

}  // namespace sorvel

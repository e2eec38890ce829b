#include "sorvel/SvlRemotePushModel.h"

#include <utility>

#include "Common/Extensions.h"
#include "Platform/LocalizedString.h"
#include "Push/RemotePushKeys.h"

namespace sorvel {

namespace {

const char* descriptionText(SvlRemotePushError error) {
    switch (error) {
        case SvlRemotePushError::NoSvlPushData:
            return "Sorvel push data don't exist!";
        case SvlRemotePushError::NoSvlTrackingParam:
            return "Sorvel push tracking parameters don't exist!";
        case SvlRemotePushError::PushDisable:
            return "is_push_enable or is_push_enable_os is false!";
        case SvlRemotePushError::SorvelDisabled:
            return "Sorvel is Disabled because of (Gdprforgetme || Pause || Stop || Delete) ";
    }
    return "";
}

void report(SvlRemotePushError* out, SvlRemotePushError error) {
    if (out != nullptr) {
        *out = error;
    }
}

}  // namespace

std::string localizedDescription(SvlRemotePushError error) noexcept {
    try {
        return platform::localizedString(descriptionText(error));
    } catch (...) {
        return descriptionText(error);
    }
}

std::optional<SvlRemotePushModel> SvlRemotePushModel::fromUserInfo(
    const Value::Map& userInfo, SvlRemotePushError* error) noexcept {
    try {
        const Value::Map* aps = push::apsOf(userInfo);
        if (aps == nullptr) {
            report(error, SvlRemotePushError::NoSvlPushData);
            return std::nullopt;
        }
        auto alert = push::stringMapAt(*aps, push::KEY_ALERT);
        if (!alert) {
            report(error, SvlRemotePushError::NoSvlPushData);
            return std::nullopt;
        }
        SvlRemotePushModel m;
        auto text = [&](std::string_view key) {
            auto it = alert->find(std::string(key));
            return it == alert->end() ? std::string() : it->second;
        };
        m.title_ = text(push::KEY_TITLE);
        m.subtitle_ = text(push::KEY_SUBTITLE);
        m.body_ = text(push::KEY_BODY);
        m.imageUrl_ = text(push::KEY_IMG);
        auto stringOr = [&](std::string_view key, const char* fallback) {
            const std::string* s = push::stringAt(*aps, key);
            return s ? *s : std::string(fallback);
        };
        m.genVibe_ = stringOr(push::KEY_GEN_VIBE, "0");
        m.genSound_ = stringOr(push::KEY_GEN_SOUND, "0");
        m.deeplinkUrl_ = stringOr(push::KEY_DEEP_LINK_URL, "");
        if (const Value::Map* json = push::mapAt(*aps, push::KEY_DEEP_LINK_JSON)) {
            m.deeplinkJson_ = *json;
        }
        m.notificationId_ = push::integerAt(*aps, push::KEY_NOTIFICATION_ID).value_or(0);

        const std::string* campaignId = push::stringAt(*aps, push::KEY_GF_CAMPAIGN_ID);
        const auto revision =
            campaignId ? push::integerAt(*aps, push::KEY_GF_CAMPAIGN_REVISION_NO) : std::nullopt;
        const std::string* stepId = revision ? push::stringAt(*aps, push::KEY_GF_STEP_ID) : nullptr;
        const std::string* cycleTime =
            stepId ? push::stringAt(*aps, push::KEY_GF_CYCLE_TIME) : nullptr;
        if (cycleTime == nullptr) {
            report(error, SvlRemotePushError::NoSvlTrackingParam);
            return std::nullopt;
        }
        m.campaignId_ = *campaignId;
        m.campaignRevisionNo_ = *revision;
        m.stepId_ = *stepId;
        m.cycleTime_ = *cycleTime;
        return m;
    } catch (...) {
        // Only an allocation can fail here; the payload then counts as unreadable.
        report(error, SvlRemotePushError::NoSvlPushData);
        return std::nullopt;
    }
}

std::optional<SvlRemotePushModel> SvlRemotePushModel::fromTrackingValues(
    const std::string& campaignId, std::int64_t campaignRevisionNo, const std::string& stepId,
    const std::string& cycleTime, SvlRemotePushError* error) noexcept {
    if (campaignId.empty() || stepId.empty() || cycleTime.empty()) {
        report(error, SvlRemotePushError::NoSvlTrackingParam);
        return std::nullopt;
    }
    try {
        SvlRemotePushModel m;
        m.campaignId_ = campaignId;
        m.campaignRevisionNo_ = campaignRevisionNo;
        m.stepId_ = stepId;
        m.cycleTime_ = cycleTime;
        return m;
    } catch (...) {
        report(error, SvlRemotePushError::NoSvlTrackingParam);
        return std::nullopt;
    }
}

std::string SvlRemotePushModel::toString() const noexcept {
    try {
        std::string s = "SvlRemotePushModel {\n    title='";
        s += title_;
        s += "',\n    subtitle='" + subtitle_;
        s += "',\n    body='" + body_;
        s += "',\n    imageUrl='" + imageUrl_;
        s += "',\n    genVibe='" + genVibe_;
        s += "',\n    genSound='" + genSound_;
        s += "',\n    deeplinkUrl='" + deeplinkUrl_;
        s += "',\n    deeplinkJson='" + ext::toJsonFormat(deeplinkJson_);
        s += "',\n    campaignId='" + campaignId_;
        s += "',\n    campaignRevisionNo=" + std::to_string(campaignRevisionNo_);
        s += ",\n    stepId='" + stepId_;
        s += "',\n    cycleTime='" + cycleTime_;
        s += "',\n    notificationId=" + std::to_string(notificationId_);
        s += "\n}";
        return s;
    } catch (...) {
        return "SvlRemotePushModel {}";
    }
}

Value::Map SvlRemotePushModel::toOpenPushEventParamDict() const noexcept {
    try {
        return Value::Map{
            {std::string(push::KEY_GF_CAMPAIGN_ID), Value(campaignId_)},
            {std::string(push::KEY_GF_CAMPAIGN_REVISION_NO), Value(campaignRevisionNo_)},
            {std::string(push::KEY_GF_STEP_ID), Value(stepId_)},
            {std::string(push::KEY_GF_CYCLE_TIME), Value(cycleTime_)},
        };
    } catch (...) {
        return {};
    }
}

}  // namespace sorvel

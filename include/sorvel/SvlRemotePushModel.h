#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sorvel/Export.h"
#include "sorvel/Value.h"

namespace sorvel {

/// Why a remote push payload could not be read, or why the SDK refused to
/// read it. The integer value is the error's code.
enum class SvlRemotePushError : std::int64_t {
    /// No "aps" map, or no "alert" map of strings inside it.
    NoSvlPushData = 0,
    /// One of the four campaign tracking values is missing or of another type.
    NoSvlTrackingParam = 1,
    /// The app's push switch or the OS notification permission is off.
    PushDisable = 2,
    /// The SDK is disabled (forget-me, pause, stop or delete).
    SorvelDisabled = 3,
};

/// The error's description, translated through the app's localized-string
/// provider (SorvelHost::setLocalizedStringProvider) with the English text as
/// the key; the English text when there is no translation. Any thread.
SORVEL_API std::string localizedDescription(SvlRemotePushError error) noexcept;

/// One remote push of the SDK's campaigns, parsed. Immutable once made; safe
/// to copy and read on any thread. Parsing never logs: a failure is reported
/// through the error argument only.
class SORVEL_API SvlRemotePushModel {
  public:
    /// Reads a notification's user info (its whole payload). Absent on
    /// failure, with the reason in *error when error is not null:
    /// NoSvlPushData without an "aps" map holding an "alert" map of strings,
    /// else NoSvlTrackingParam without the four tracking values inside "aps"
    /// (campaign id, step id and cycle time as strings, the revision number as
    /// an integer). A value of the wrong type counts as missing; an optional
    /// one then takes its default.
    static std::optional<SvlRemotePushModel> fromUserInfo(const Value::Map& userInfo,
                                                          SvlRemotePushError* error) noexcept;
    /// A model holding only the tracking values (every text field empty,
    /// notificationId 0). Absent, with NoSvlTrackingParam in *error when error
    /// is not null, when the campaign id, step id or cycle time is empty.
    static std::optional<SvlRemotePushModel> fromTrackingValues(const std::string& campaignId,
                                                                std::int64_t campaignRevisionNo,
                                                                const std::string& stepId,
                                                                const std::string& cycleTime,
                                                                SvlRemotePushError* error) noexcept;

    /// The multi-line text form, "SvlRemotePushModel {" ... "}".
    std::string toString() const noexcept;
    /// The four tracking values under their payload keys, as the "open_push"
    /// event carries them.
    Value::Map toOpenPushEventParamDict() const noexcept;

    /// The alert's "title" ("" when absent).
    const std::string& title() const noexcept { return title_; }
    /// The alert's "subtitle" ("" when absent).
    const std::string& subtitle() const noexcept { return subtitle_; }
    /// The alert's "body" ("" when absent).
    const std::string& body() const noexcept { return body_; }
    /// The alert's "img" ("" when absent).
    const std::string& imageUrl() const noexcept { return imageUrl_; }
    /// "gen_vibe" of "aps" ("0" when absent; "" in a tracking-values model).
    const std::string& genVibe() const noexcept { return genVibe_; }
    /// "gen_sound" of "aps"; "1" asks for the default sound ("0" when absent).
    const std::string& genSound() const noexcept { return genSound_; }
    /// "deep_link_url" of "aps" ("" when absent); the SDK never opens it.
    const std::string& deeplinkUrl() const noexcept { return deeplinkUrl_; }
    /// "deep_link_json" of "aps" (empty when absent or not a map).
    const Value::Map& deeplinkJson() const noexcept { return deeplinkJson_; }
    /// The campaign id of the tracking values.
    const std::string& campaignId() const noexcept { return campaignId_; }
    /// The campaign revision number of the tracking values.
    std::int64_t campaignRevisionNo() const noexcept { return campaignRevisionNo_; }
    /// The step id of the tracking values.
    const std::string& stepId() const noexcept { return stepId_; }
    /// The cycle time of the tracking values.
    const std::string& cycleTime() const noexcept { return cycleTime_; }
    /// "notification_id" of "aps" (0 when absent or not an integer).
    std::int64_t notificationId() const noexcept { return notificationId_; }

  private:
    SvlRemotePushModel() = default;

    std::string title_;
    std::string subtitle_;
    std::string body_;
    std::string imageUrl_;
    std::string genVibe_;
    std::string genSound_;
    std::string deeplinkUrl_;
    Value::Map deeplinkJson_;
    std::string campaignId_;
    std::int64_t campaignRevisionNo_ = 0;
    std::string stepId_;
    std::string cycleTime_;
    std::int64_t notificationId_ = 0;
};

}  // namespace sorvel

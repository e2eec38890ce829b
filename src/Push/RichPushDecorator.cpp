#include "Push/RichPushDecorator.h"

#include <utility>

#include "Common/Language.h"
#include "Common/SvlLog.h"
#include "Platform/Dispatch.h"
#include "Push/PushImage.h"
#include "Push/RemotePushKeys.h"

namespace sorvel::push {

namespace {

constexpr const char* kPushImageFileName = "sorvelPushImage.jpg";

void noImage(const std::string& url, const std::string& why) {
    SvlLog::debug("Rich push :: image not attached (" + why + "), url is \"" + url + "\"", true);
}

}  // namespace

RichPushRequest::RichPushRequest(NotificationContent content, NotificationContentHandler handler)
    : content_(std::move(content)), handler_(std::move(handler)) {}

void RichPushRequest::update(const std::function<void(NotificationContent&)>& change) {
    platform::MutexLock lock(mu_);
    if (!delivered_) {
        change(content_);
    }
}

bool RichPushRequest::deliver() {
    NotificationContentHandler handler;
    NotificationContent content;
    {
        platform::MutexLock lock(mu_);
        if (delivered_.exchange(true)) {
            return false;
        }
        handler = std::move(handler_);
        content = content_;
    }
    if (handler) {
        handler(std::move(content));
    }
    return true;
}

std::shared_ptr<RichPushRequest> RichPushDecorator::begin(const NotificationRequest& request,
                                                          NotificationContentHandler handler) {
    auto state = std::make_shared<RichPushRequest>(request.content, std::move(handler));
    platform::MutexLock lock(mu_);
    latest_ = state;
    return state;
}

void RichPushDecorator::timeWillExpire() {
    std::shared_ptr<RichPushRequest> latest;
    {
        platform::MutexLock lock(mu_);
        latest = latest_;
    }
    if (latest) {
        latest->cancelled = true;
        latest->deliver();
    }
}

void RichPushDecorator::decorate(const std::shared_ptr<RichPushRequest>& request,
                                 const Value::Map& userInfo) {
    if (style_ == RichPushStyle::downloadTask) {
        decorateDownloadTask(request, userInfo);
    } else {
        decorateSynchronous(request, userInfo);
    }
}

const Value::Map* RichPushDecorator::chooseEntry(const Value::Map& customAlert,
                                                 const std::string& language) const {
    if (language.empty()) {
        return nullptr;
    }
    if (style_ == RichPushStyle::downloadTask) {
        const Value::Map* entry = mapAt(customAlert, language);
        return entry;
    }
    const Value::Map* chosen = nullptr;
    for (const auto& [key, value] : customAlert) {
        const Value::Map* entry = value.getMap();
        if (entry == nullptr) {
            continue;
        }
        if (key == language && stringAt(*entry, KEY_TITLE) != nullptr) {
            return entry;
        }
        if (key.size() >= 2 && language.size() >= 2 && key.compare(0, 2, language, 0, 2) == 0) {
            chosen = entry;
        }
    }
    return chosen;
}

void RichPushDecorator::decorateDownloadTask(const std::shared_ptr<RichPushRequest>& request,
                                             const Value::Map& userInfo) {
    request->update([](NotificationContent& c) { c.sound.reset(); });
    const Value::Map* aps = apsOf(userInfo);
    if (aps == nullptr) {
        request->deliver();
        return;
    }
    const std::string* genSound = stringAt(*aps, KEY_GEN_SOUND);
    if (genSound != nullptr && *genSound == "1") {
        request->update(
            [](NotificationContent& c) { c.sound = NotificationSound::defaultSound(); });
    }
    std::optional<std::string> image;
    if (const std::string* img = stringAt(*aps, KEY_IMG)) {
        image = *img;
    }
    if (const Value::Map* customAlert = mapAt(*aps, KEY_CUSTOM_ALERT)) {
        if (const Value::Map* entry = chooseEntry(*customAlert, FvnUtil::getLanguage())) {
            request->update([&](NotificationContent& c) {
                auto apply = [&](std::string_view key, std::string& field) {
                    const std::string* s = stringAt(*entry, key);
                    if (s != nullptr && !s->empty())
                        field = *s;
                };
                apply(KEY_TITLE, c.title);
                apply(KEY_SUBTITLE, c.subtitle);
                apply(KEY_BODY, c.body);
            });
            if (const std::string* img = stringAt(*entry, KEY_IMG); img && !img->empty()) {
                image = *img;
            }
        }
    }
    if (!image) {
        request->deliver();
        return;
    }
    if (!isImageUrl(*image)) {
        noImage(*image, "not an http or https URL");
        request->deliver();
        return;
    }
    // The fetch runs off the system's thread; a time-out delivers meanwhile
    // and cancels it.
    platform::DispatchQueue::global().async([request, url = *image] {
        StatusOr<std::string> data =
            fetchImage(url, REMOTE_IMAGE_TIMEOUT, false, &request->cancelled);
        if (!data.isOk()) {
            noImage(url, data.status().message());
        } else if (!request->delivered()) {
            if (auto attachment = createAttachment("", lastPathComponent(url), data.value())) {
                request->update([&](NotificationContent& c) { c.attachments = {*attachment}; });
            }
        }
        request->deliver();
    });
}

void RichPushDecorator::decorateSynchronous(const std::shared_ptr<RichPushRequest>& request,
                                            const Value::Map& userInfo) {
    const Value::Map* aps = apsOf(userInfo);
    if (aps == nullptr) {
        request->deliver();
        return;
    }
    const std::string* genSound = stringAt(*aps, KEY_GEN_SOUND);
    request->update([&](NotificationContent& c) {
        if (genSound != nullptr && *genSound == "1") {
            c.sound = NotificationSound::defaultSound();
        } else {
            c.sound.reset();
        }
    });
    const Value::Map* customAlert = mapAt(*aps, KEY_CUSTOM_ALERT);
    if (customAlert == nullptr) {
        request->deliver();
        return;
    }
    std::optional<std::string> image;
    if (const std::string* img = stringAt(*aps, KEY_IMG)) {
        image = *img;
    }
    if (const Value::Map* entry = chooseEntry(*customAlert, FvnUtil::getLanguage())) {
        request->update([&](NotificationContent& c) {
            auto apply = [&](std::string_view key, std::string& field) {
                if (const std::string* s = stringAt(*entry, key))
                    field = *s;
            };
            apply(KEY_TITLE, c.title);
            apply(KEY_SUBTITLE, c.subtitle);
            apply(KEY_BODY, c.body);
        });
        if (const std::string* img = stringAt(*entry, KEY_IMG)) {
            image = *img;
        }
    }
    if (image) {
        if (!isImageUrl(*image)) {
            noImage(*image, "not an http or https URL");
        } else {
            StatusOr<std::string> data =
                fetchImage(*image, REMOTE_IMAGE_TIMEOUT, false, &request->cancelled);
            if (!data.isOk()) {
                noImage(*image, data.status().message());
            } else if (auto attachment =
                           createAttachment(kPushImageFileName, kPushImageFileName, data.value())) {
                request->update([&](NotificationContent& c) { c.attachments = {*attachment}; });
            }
        }
    }
    request->deliver();
}

}  // namespace sorvel::push

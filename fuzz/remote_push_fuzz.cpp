// Remote push payloads: the model's parser and the rich-push decorators of
// both styles. Any text is either a model whose parameters hold the four
// tracking keys, or one of the two parse errors; every decoration delivers
// exactly once and never fetches anything but an http(s) image.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "FuzzSupport.h"
#include "Platform/Host.h"
#include "Push/RichPushDecorator.h"
#include "sorvel/SvlRemotePushModel.h"

using namespace sorvel;
namespace fz = sorvel::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUpProcess();
    platform::host::setPreferredLanguages(std::vector<std::string>{"ko-KR"});
    // Image URLs in the input go nowhere: every host maps to a closed port.
    platform::host::mapHttpHost("*", "http://127.0.0.1:9");
    platform::host::setHttpTimeout(platform::Millis(50));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<Value> parsed = Value::fromJson(text);
    if (!parsed || !parsed->isMap()) {
        return 0;
    }
    const Value::Map& userInfo = *parsed->getMap();
    SvlRemotePushError error{};
    if (auto model = SvlRemotePushModel::fromUserInfo(userInfo, &error)) {
        if (model->toOpenPushEventParamDict().size() != 4) {
            fz::fail("open-push parameters without four entries", text);
        }
        (void)model->toString();
    } else if (error != SvlRemotePushError::NoSvlPushData &&
               error != SvlRemotePushError::NoSvlTrackingParam) {
        fz::fail("parse error outside the parser's two", text);
    }
    for (auto style : {push::RichPushStyle::synchronous, push::RichPushStyle::downloadTask}) {
        push::RichPushDecorator core(style);
        NotificationRequest request;
        request.content.userInfo = userInfo;
        // The handler may still be running on the fetching thread when the
        // time-out returns; it owns its counter, so a late call is safe.
        auto delivered = std::make_shared<std::atomic<int>>(0);
        auto state =
            core.begin(request, [delivered](NotificationContent) { delivered->fetch_add(1); });
        core.decorate(state, userInfo);
        // A fetch still in flight is cut short; then exactly one delivery.
        core.timeWillExpire();
        core.timeWillExpire();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (delivered->load() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (delivered->load() != 1) {
            fz::fail("a decoration delivered other than once", text);
        }
    }
    return 0;
}

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "Platform/Host.h"
#include "PushTestSupport.h"
#include "sorvel/SorvelPushService.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using pushtest::Deliveries;
using pushtest::ImageServer;

std::string payload(const std::string& apsExtra) {
    return R"({"aps":{"alert":{"title":"own title","subtitle":"own sub","body":"own body"})" +
           apsExtra + "}}";
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the extension on the payload and waits for its one delivery.
NotificationContent decorate(const std::shared_ptr<NotificationServiceExtension>& ext,
                             const std::string& json) {
    Deliveries d;
    EXPECT_TRUE(platform::host::runNotificationServiceExtension(ext, json, d.done()));
    EXPECT_TRUE(d.waitFor(1)) << json;
    auto all = d.all();
    return all.empty() ? NotificationContent{} : all.front();
}

class RichPushTest : public ::testing::Test {
  protected:
    testing::FreshSdk sdk_{true};
    std::shared_ptr<NotificationServiceExtension> objc_ = std::make_shared<SorvelPushServiceObjC>();
    std::shared_ptr<NotificationServiceExtension> swift_ = std::make_shared<SorvelPushService>();
};

TEST_F(RichPushTest, SoundAndLanguageTable) {
    platform::host::setPreferredLanguages(std::vector<std::string>{"ko-KR"});
    for (auto& ext : {objc_, swift_}) {
        const bool objc = ext == objc_;
        SCOPED_TRACE(objc ? "download-task face" : "synchronous face");
        // gen_sound "1" only: a number 1 or another string is silence.
        EXPECT_EQ(decorate(ext, payload(R"(,"gen_sound":"1","custom_alert":{})")).sound,
                  NotificationSound::defaultSound());
        EXPECT_FALSE(decorate(ext, payload(R"(,"gen_sound":1,"custom_alert":{})")).sound);
        EXPECT_FALSE(decorate(ext, payload(R"(,"gen_sound":"0","custom_alert":{})")).sound);
        // Exact key with a title: all faces.
        auto ko = decorate(ext, payload(R"(,"custom_alert":{"KO":{"title":"안녕","body":"b"}})"));
        EXPECT_EQ(ko.title, "안녕");
        EXPECT_EQ(ko.body, "b");
        EXPECT_EQ(ko.subtitle, "own sub");
        // Empty custom text: kept by one face, applied by the other.
        auto empty = decorate(ext, payload(R"(,"custom_alert":{"KO":{"title":""}})"));
        EXPECT_EQ(empty.title, objc ? "own title" : "");
        // A one-character key never matches, and does no harm.
        EXPECT_EQ(decorate(ext, payload(R"(,"custom_alert":{"K":{"title":"x"}})")).title,
                  "own title");
        // Entries that are not maps are skipped.
        EXPECT_EQ(decorate(ext, payload(R"(,"custom_alert":{"KO":"x"})")).title, "own title");
    }
    platform::host::setPreferredLanguages(std::vector<std::string>{"zh-Hans-CN"});  // "ZH-HANS"
    const std::string zh = payload(R"(,"custom_alert":{"ZH":{"title":"zh title"}})");
    EXPECT_EQ(decorate(objc_, zh).title, "own title");
    EXPECT_EQ(decorate(swift_, zh).title, "zh title");
    // An exact key without a title is still taken by its first two characters.
    EXPECT_EQ(decorate(swift_, payload(R"(,"custom_alert":{"ZH-HANS":{"body":"only body"}})")).body,
              "only body");
}

TEST_F(RichPushTest, ImagesAndTheirFailures) {
    ImageServer server;
    platform::host::setPreferredLanguages(std::vector<std::string>{"en-US"});
    const std::string img = ImageServer::url("/img.png");
    // "img" of "aps" without custom_alert: only the download-task face attaches it.
    const std::string plain = payload(R"(,"img":")" + img + R"(")");
    auto objc = decorate(objc_, plain);
    ASSERT_EQ(objc.attachments.size(), 1u);
    EXPECT_EQ(objc.attachments[0].identifier, "");
    EXPECT_NE(objc.attachments[0].path.find("/img.png"), std::string::npos);
    EXPECT_EQ(testing::modeOf(objc.attachments[0].path), 0600);
    EXPECT_TRUE(decorate(swift_, plain).attachments.empty());
    // With custom_alert, the entry's image wins and the synchronous face names it its way.
    auto swift = decorate(
        swift_,
        payload(R"(,"img":"http://img.test/missing","custom_alert":{"EN":{"title":"t","img":")" +
                img + R"("}})"));
    ASSERT_EQ(swift.attachments.size(), 1u);
    EXPECT_NE(swift.attachments[0].path.find("sorvelPushImage.jpg"), std::string::npos);
    // Unreadable, not an image, too large, a redirect, another scheme: delivered without image.
    for (const std::string bad : {"/missing", "/text", "/huge", "/redirect"}) {
        for (auto& ext : {objc_, swift_}) {
            auto c = decorate(ext, payload(R"(,"img":")" + ImageServer::url(bad) +
                                           R"(","custom_alert":{"EN":{"title":"t"}})"));
            EXPECT_TRUE(c.attachments.empty()) << bad;
            EXPECT_EQ(c.title, "t");
        }
    }
    for (auto& ext : {objc_, swift_}) {
        EXPECT_TRUE(decorate(ext, payload(R"(,"img":"file:///etc/passwd","custom_alert":{})"))
                        .attachments.empty());
        EXPECT_TRUE(
            decorate(ext, payload(R"(,"img":"not a url","custom_alert":{})")).attachments.empty());
    }
}

TEST_F(RichPushTest, ImagesOverPlainHttpOrBehindARedirectNeedNoMapping) {
    ImageServer server;
    // A shipped app maps no host: the image is named by an address of its own.
    platform::host::clearHttpHostMappings();
    platform::host::setPreferredLanguages(std::vector<std::string>{"en-US"});
    for (const char* path : {"/img.png", "/moved"}) {
        const std::string img = server.direct(path);
        SCOPED_TRACE(img);
        auto objc = decorate(objc_, payload(R"(,"img":")" + img + R"(")"));
        ASSERT_EQ(objc.attachments.size(), 1u);
        // The download-task face names the file after the URL it was given.
        EXPECT_NE(objc.attachments[0].path.find(path), std::string::npos);
        auto swift = decorate(
            swift_, payload(R"(,"custom_alert":{"EN":{"title":"t","img":")" + img + R"("}})"));
        ASSERT_EQ(swift.attachments.size(), 1u);
        EXPECT_EQ(fileBytes(swift.attachments[0].path), pushtest::pngBytes());
    }
    // A redirect to a picture on the disk is refused by both faces.
    for (auto& ext : {objc_, swift_}) {
        auto c = decorate(ext, payload(R"(,"img":")" + server.direct("/to-file") +
                                       R"(","custom_alert":{"EN":{"title":"t"}})"));
        EXPECT_TRUE(c.attachments.empty());
        EXPECT_EQ(c.title, "t");
    }
}

TEST_F(RichPushTest, DeliversOnceWhenTheTimeRunsOutDuringASlowImage) {
    ImageServer server;
    const std::string slow = payload(R"(,"img":")" + ImageServer::url("/slow.png") + R"(")");
    Deliveries first;
    ASSERT_TRUE(platform::host::runNotificationServiceExtension(objc_, slow, first.done()));
    // A second notification arrives while the first still waits for its image.
    Deliveries second;
    ASSERT_TRUE(platform::host::runNotificationServiceExtension(
        objc_, R"({"aps":{"alert":{"title":"second"}}})", second.done()));
    ASSERT_TRUE(second.waitFor(1));
    EXPECT_EQ(second.all()[0].title, "second");
    // The system's time is up for the first: it gets its own content, once.
    sdk_.clock()->advance(std::chrono::seconds(30));
    ASSERT_TRUE(first.waitFor(1));
    server.release();
    // The image arriving late changes nothing.
    EXPECT_FALSE(
        testing::waitUntil([&] { return first.count() > 1; }, std::chrono::milliseconds(300)));
    ASSERT_EQ(first.count(), 1u);
    EXPECT_EQ(first.all()[0].title, "own title");
    EXPECT_TRUE(first.all()[0].attachments.empty());
    EXPECT_EQ(second.count(), 1u);
}

TEST_F(RichPushTest, TimeWillExpireWithoutARequestDoesNothing) {
    swift_->serviceExtensionTimeWillExpire();
    objc_->serviceExtensionTimeWillExpire();
    // And a payload without "aps" comes back at once, sound cleared by one face only.
    auto c = decorate(objc_, R"({"other":1})");
    EXPECT_FALSE(c.sound);
    EXPECT_EQ(c.title, "");
}

}  // namespace
}  // namespace sorvel

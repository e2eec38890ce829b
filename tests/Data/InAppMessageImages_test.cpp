#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CampaignListServer.h"
#include "Data/InAppMessageFixture.h"

namespace sorvel::iamtest {
namespace {

using InAppMessageImages = InAppMessageFixture;
using Rows = std::vector<std::vector<std::string>>;

constexpr const char* kUrl = "https://img.test/p.png";

class ImageRowTest : public InAppMessageFixture {
  protected:
    // A campaign with a portrait image row still waiting for its file.
    void SetUp() override {
        InAppMessageFixture::SetUp();
        dao->store().insertImageTable("c1", "portrait", kUrl, "no_image", R"({"action_id":"img"})",
                                      false);
        images.setImage(kUrl, testing::jpegOf(testing::solidImage(6, 3, 255, 0, 0)));
    }
    Rows imageRow() { return rows("SELECT ImagePathString, IsFirstShow FROM Image"); }
    std::string savedName() { return imageRow().at(0).at(0); }
};

TEST_F(ImageRowTest, AViewAskingFirstDownloadsThenLoads) {
    auto first = dao->getAndSaveImageInfo("c1", true, true);
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->image);
    EXPECT_EQ(first->image->width, 6u);
    EXPECT_TRUE(first->isDownloaded);
    EXPECT_EQ(first->imageUrl, kUrl);
    EXPECT_EQ(first->clickAction, R"({"action_id":"img"})");
    EXPECT_EQ(imageRow().at(0).at(1), "0");
    const std::string name = savedName();
    EXPECT_NE(name, "no_image");
    // A JPEG was downloaded; the file is its PNG.
    std::string head(8, '\0');
    FILE* f = std::fopen((platform::documentsFolder() + "/" + name + ".png").c_str(), "rb");
    ASSERT_TRUE(f);
    EXPECT_EQ(std::fread(head.data(), 1, 8, f), 8u);
    std::fclose(f);
    EXPECT_EQ(head, std::string("\x89PNG\r\n\x1a\n", 8));

    auto second = dao->getAndSaveImageInfo("c1", true, true);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->isDownloaded);
    EXPECT_EQ(*second->image, *first->image);
    EXPECT_EQ(images.count(kUrl), 1);
    EXPECT_FALSE(dao->getAndSaveImageInfo("c1", false, true));  // no landscape row
    EXPECT_EQ(log.count("getAndSaveImageInfo :: No image with campaignId = c1 orientation =  "
                        "landscape"),
              1);
}

TEST_F(ImageRowTest, ABackgroundDownloadIsReportedOnceToTheFirstShowing) {
    ASSERT_TRUE(dao->store().getAndSaveImageInfo("c1", "portrait", false));
    EXPECT_EQ(imageRow().at(0).at(1), "1");
    // A second background request changes nothing.
    ASSERT_TRUE(dao->store().getAndSaveImageInfo("c1", "portrait", false));
    EXPECT_EQ(imageRow().at(0).at(1), "1");
    EXPECT_EQ(images.count(kUrl), 1);

    // Building the message reads it without downloading and resets the mark.
    auto info = dao->store().getImageInfo("c1", "portrait", true);
    ASSERT_TRUE(info && info->image);
    EXPECT_TRUE(info->isDownloaded);
    EXPECT_EQ(imageRow().at(0).at(1), "0");
    auto again = dao->getAndSaveImageInfo("c1", true, true);
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->isDownloaded);

    // The file gone behind the store's back: nothing, and no new download.
    ASSERT_EQ(::unlink((platform::documentsFolder() + "/" + savedName() + ".png").c_str()), 0);
    EXPECT_FALSE(dao->getAndSaveImageInfo("c1", true, true));
    EXPECT_EQ(log.count("getAndSaveImageInfo :: cannot retrieve image info, campaignId = c1 "
                        "orientation =  portrait"),
              1);
    auto withoutImage = dao->store().getImageInfo("c1", "portrait", true);
    ASSERT_TRUE(withoutImage);
    EXPECT_FALSE(withoutImage->image);
    EXPECT_EQ(images.count(kUrl), 1);
}

TEST_F(ImageRowTest, FailedDownloadsKeepTheRowWaiting) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        const char* line;
    };
    platform::HttpResponse page;
    page.status = 404;
    page.body = "<html>not found</html>";
    platform::HttpResponse refused;
    refused.error = "Connection refused";
    const Case cases[] = {
        {"offline", [] { platform::host::setReachability(std::string("unknown")); },
         "Fail to downloadImage. You are not connected to the network. url : "
         "https://img.test/p.png "},
        {"error page", [&] { images.set(kUrl, page); },
         "downloadImage :: downloaded file is not image"},
        {"transport", [&] { images.set(kUrl, refused); },
         "downloadImage :: cannot get image, Connection refused"},
        {"huge",
         [&] {
             platform::HttpResponse r;
             r.status = 200;
             r.body = testing::pngWithoutPixels(30000, 30000);
             images.set(kUrl, r);
         },
         "downloadImage :: downloaded file is not image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::host::setReachability(std::string("wifi"));
        c.arrange();
        const int before = log.count(c.line);
        EXPECT_FALSE(dao->getAndSaveImageInfo("c1", true, true));
        EXPECT_EQ(log.count(c.line), before + 1);
        EXPECT_EQ(imageRow(), (Rows{{"no_image", "0"}}));
    }
    EXPECT_EQ(log.count("InAppMessageDAO getAndSaveImageInfo: downloadedImage is null"), 4);

    dao->store().updateImageTable("c1", "portrait", "not a url", "no_image", "{}", false);
    EXPECT_FALSE(dao->getAndSaveImageInfo("c1", true, true));
    EXPECT_EQ(log.count("getAndSaveImageInfo :: can not get imageUrl from imageUrlString, not a "
                        "url"),
              1);
    // The call that finally succeeds names the file.
    dao->store().updateImageTable("c1", "portrait", kUrl, "no_image", "{}", false);
    images.setImage(kUrl, testing::pngOf(testing::solidImage(1, 1, 0, 0, 0)));
    EXPECT_TRUE(dao->getAndSaveImageInfo("c1", true, true));
    EXPECT_NE(savedName(), "no_image");
}

TEST_F(ImageRowTest, ADownloadOvertakenByANewListLeavesTheNewRow) {
    // The fetch holds until the row has been replaced by a newer list.
    std::mutex mu;
    std::condition_variable cv;
    bool asked = false;
    bool replaced = false;
    dao->store().setImageFetcher([&](const std::string&) {
        std::unique_lock<std::mutex> lock(mu);
        asked = true;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return replaced; });
        platform::HttpResponse r;
        r.status = 200;
        r.body = testing::pngOf(testing::solidImage(2, 2, 0, 0, 0));
        return r;
    });
    std::thread background(
        [&] { (void)dao->store().getAndSaveImageInfo("c1", "portrait", false); });
    {
        std::unique_lock<std::mutex> lock(mu);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return asked; }));
    }
    dao->store().deleteImageRow("c1", "portrait");
    dao->store().insertImageTable("c1", "portrait", "https://img.test/new.png", "no_image", "{}",
                                  false);
    {
        std::lock_guard<std::mutex> lock(mu);
        replaced = true;
        cv.notify_all();
    }
    background.join();
    EXPECT_EQ(rows("SELECT Url, ImagePathString FROM Image"),
              (Rows{{"https://img.test/new.png", "no_image"}}));
    // The file saved for the old row went with it.
    int pngFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(platform::documentsFolder())) {
        pngFiles += entry.path().extension() == ".png" ? 1 : 0;
    }
    EXPECT_EQ(pngFiles, 0);
    EXPECT_EQ(log.count("Delete Image in InternalStorage Successs"), 1);
}

TEST_F(InAppMessageImages, RealDownloadsOverLoopback) {
    tools::ServerDouble server;
    ASSERT_TRUE(server.start());
    tools::CampaignListServer campaigns(server);
    platform::host::mapHttpHost("*", server.baseUrl());
    platform::host::setHttpTimeout(std::chrono::milliseconds(1500));
    dao->store().setImageFetcher(nullptr);  // the shared URL session

    campaigns.addImage("a.png", testing::pngOf(testing::solidImage(3, 2, 1, 2, 3)));
    campaigns.addImage("slow.png", testing::pngOf(testing::solidImage(1, 1, 0, 0, 0)), "image/png",
                       std::chrono::seconds(5));
    // The maker's image host, mapped to the double like every host.
    const std::string base = "https://images.example.test";
    dao->store().insertImageTable("c1", "portrait", base + "/iam-images/a.png", "no_image", "{}",
                                  false);
    dao->store().insertImageTable("c1", "landscape", base + "/iam-images/slow.png", "no_image",
                                  "{}", false);
    dao->store().insertImageTable("c2", "portrait", base + "/iam-images/missing.png", "no_image",
                                  "{}", false);
    dao->store().insertImageTable("c3", "portrait", "ftp://images.example.test/a.png", "no_image",
                                  "{}", false);

    auto info = dao->getAndSaveImageInfo("c1", true, true);
    ASSERT_TRUE(info && info->image);
    EXPECT_EQ(*info->image, testing::solidImage(3, 2, 1, 2, 3));
    EXPECT_EQ(campaigns.imageRequests("a.png"), 1u);

    EXPECT_FALSE(dao->getAndSaveImageInfo("c1", false, true));  // timed out
    EXPECT_FALSE(dao->getAndSaveImageInfo("c2", true, true));   // 404, empty body
    EXPECT_FALSE(dao->getAndSaveImageInfo("c3", true, true));   // another scheme
    EXPECT_EQ(log.count("downloadImage :: cannot get image, "), 2);
    EXPECT_EQ(log.count("downloadImage :: downloaded file is not image"), 1);
    EXPECT_EQ(count("Image", "ImagePathString = 'no_image'"), 3u);
    platform::host::setHttpTimeout(std::nullopt);
    server.stop();
}

TEST_F(InAppMessageImages, PlainHttpAndRedirectedImagesNeedNoMapping) {
    // A shipped app maps no host: the campaign names its images by the
    // double's own address, over plain http, one of them behind a redirect.
    tools::ServerDouble server;
    ASSERT_TRUE(server.start());
    tools::CampaignListServer campaigns(server);
    dao->store().setImageFetcher(nullptr);  // the shared URL session
    testing::TempDir disk;
    const std::string onDisk = disk.path() + "/d.png";
    std::ofstream(onDisk, std::ios::binary) << testing::pngOf(testing::solidImage(1, 1, 9, 9, 9));
    server.serveFiles("/moved/", [&](const std::string& path) {
        tools::ScriptedAnswer a;
        a.status = path == "/moved/d.png" ? 302 : 301;
        a.location =
            path == "/moved/d.png" ? "file://" + onDisk : campaigns.imageUrl(path.substr(7));
        return std::optional<tools::ScriptedAnswer>(a);
    });
    campaigns.addImage("a.png", testing::pngOf(testing::solidImage(3, 2, 1, 2, 3)));
    campaigns.addImage("b.png", testing::pngOf(testing::solidImage(2, 2, 4, 5, 6)));
    dao->store().insertImageTable("c1", "portrait", campaigns.imageUrl("a.png"), "no_image", "{}",
                                  false);
    dao->store().insertImageTable("c1", "landscape", server.baseUrl() + "/moved/b.png", "no_image",
                                  "{}", false);
    dao->store().insertImageTable("c2", "portrait", server.baseUrl() + "/moved/d.png", "no_image",
                                  "{}", false);

    auto plain = dao->getAndSaveImageInfo("c1", true, true);
    ASSERT_TRUE(plain && plain->image);
    EXPECT_EQ(*plain->image, testing::solidImage(3, 2, 1, 2, 3));
    auto moved = dao->getAndSaveImageInfo("c1", false, true);
    ASSERT_TRUE(moved && moved->image);
    EXPECT_EQ(*moved->image, testing::solidImage(2, 2, 4, 5, 6));
    // The row keeps the URL the campaign gave, not where it led.
    EXPECT_EQ(moved->imageUrl, server.baseUrl() + "/moved/b.png");
    EXPECT_EQ(campaigns.imageRequests("b.png"), 1u);
    // A redirect off http and https is not followed: the file is not read.
    EXPECT_FALSE(dao->getAndSaveImageInfo("c2", true, true));
    EXPECT_EQ(count("Image", "ImagePathString = 'no_image'"), 1u);
    server.stop();
}

}  // namespace
}  // namespace sorvel::iamtest

#include "CampaignListServer.h"
#include "Common/SVLBooleanState.h"
#include "InAppMessage/InAppMessageDAO.h"
#include "Data/Repository/Repository.h"
#include "Facade/FacadeFixture.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"
#include "Platform/RunLoop.h"
#include "Platform/Sqlite.h"
#include "Platform/UI/View.h"
#include "support/ImageSupport.h"

namespace sorvel::facadetest {
namespace {

class FacadeInAppTest : public FacadeTest {
  protected:
    std::vector<std::string> row(const std::string& sql) {
        int rc = 0;
        auto db = platform::sqlite::Connection::open(
            platform::documentsFolder() + "/SvlInAppMessage.sqlite", SQLITE_OPEN_READONLY, rc);
        if (!db) {
            return {};
        }
        auto s = db->prepare(sql);
        std::vector<std::string> out;
        if (s && s.step() == SQLITE_ROW) {
            for (int i = 0; i < s.columnCount(); ++i) {
                out.push_back(s.columnText(i));
            }
        }
        return out;
    }
};

TEST_F(FacadeInAppTest, SessionStartDownloadsAndAnEventBuildsTheMessageOnce) {
    tools::CampaignListServer campaigns(*server_);
    campaigns.addImage("c1.png", testing::pngOf(testing::solidImage(4, 4, 200, 100, 0)));
    const std::string c1 = R"({"campaign_id":"c1","type":"modal","layout":"text",)"
                           R"("contents":{"text":{"title":"Hi"},)"
                           R"("image":{"url":{"portrait":")" +
                           campaigns.imageUrl("c1.png") +
                           R"("},"click_action":{"action_type":"close"}}},)"
                           R"("frequency_cap":{"per_session":1},)"
                           R"("triggers":[{"evt":"custom:buy","type":"inappevent","priority":1}],)"
                           R"("available_time":[],"start_datetime":"2024-01-01T00:00:00",)"
                           R"("end_datetime":"null",)"
                           R"("last_updated_datetime":"2024-01-01T00:00:00.0000000Z",)"
                           R"("page_orientation":["portrait"],"timezone_type":"Local"})";
    campaigns.setCampaigns("[" + c1 + "]", "sum-1");

    start();
    // The session start asked for the list; its image follows in the background.
    ASSERT_TRUE(waitForLine("Insert to ImageTable Success, campaignId : c1"));
    auto dao = DiContainer::shared().inAppMessageDAO();
    ASSERT_TRUE(dao);
    DiContainer::shared().repository()->waitForInAppQueue();
    dao->waitForImageQueue();
    EXPECT_EQ(campaigns.fullAnswers(), 1u);
    EXPECT_EQ(row("SELECT IsFirstShow FROM Image"), (std::vector<std::string>{"1"}));

    auto window = platform::host::addWindow(platform::mainScreenBounds(),
                                            platform::kWindowLevelNormal, {}, true);
    kv().event("buy");
    kv().event("buy");
    // The message is built with its image and laid on the app's window.
    EXPECT_TRUE(platform::RunLoop::main().runUntil(
        [&] { return SVLBooleanState::isInAppMessageShowing().get(); }, std::chrono::seconds(10)));
    DiContainer::shared().repository()->waitForInAppQueue();
    platform::RunLoop::main().runUntilIdle();
    EXPECT_EQ(window->subviews().size(), 1u);
    EXPECT_TRUE(waitForLine("getInAppMessageByCampaignId Success, campaignId = c1"));
    // The second event found the message on screen, or the session's cap used.
    EXPECT_TRUE(testing::waitUntil([&] {
        return logs_.contains("InAppMessage already shown") ||
               logs_.contains(
                   "getInAppMessageByCampaignId Fail, No Valid InAppMessage, "
                   "eventName : custom:buy");
    }));
    // Counted once; the image was read for the message (its first-show mark went).
    EXPECT_EQ(row("SELECT CurrentFrequencyCapPerSession, CurrentFrequencyCapPerUser FROM "
                  "CurrentFrequency"),
              (std::vector<std::string>{"1", "1"}));
    EXPECT_EQ(row("SELECT IsFirstShow FROM Image"), (std::vector<std::string>{"0"}));
    EXPECT_EQ(campaigns.imageRequests("c1.png"), 1u);
    platform::host::removeAllWindows();
    SVLBooleanState::isInAppMessageShowing().set(false);
}

}  // namespace
}  // namespace sorvel::facadetest

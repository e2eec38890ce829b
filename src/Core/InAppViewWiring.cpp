#include "Core/InAppViewWiring.h"

#include "Core/DiContainer.h"
#include "InAppMessage/InAppMessageDAO.h"
#include "View/InAppMessage/InAppViewHooks.h"

namespace sorvel {
namespace {

class DaoViewStore final : public IInAppViewStore {
  public:
    explicit DaoViewStore(std::shared_ptr<InAppMessageDAO> dao) : dao_(std::move(dao)) {}
    std::optional<ImageInfo> getAndSaveImageInfo(const std::string& campaignId, bool isPortrait,
                                                 bool isFirstShow) override {
        return dao_->getAndSaveImageInfo(campaignId, isPortrait, isFirstShow);
    }
    void closeForOneDay(const std::string& campaignId, const std::string& day,
                        std::int64_t time) override {
        dao_->closeForOneDay(campaignId, day, time);
    }

  private:
    std::shared_ptr<InAppMessageDAO> dao_;
};

}  // namespace

void wireInAppViews() {
    // Resolved at each call: the object is built on first use, and absent for
    // good when the campaign database cannot be opened.
    InAppViewHooks::setStoreProvider([]() -> std::shared_ptr<IInAppViewStore> {
        std::shared_ptr<InAppMessageDAO> dao = DiContainer::shared().inAppMessageDAO();
        return dao ? std::make_shared<DaoViewStore>(std::move(dao)) : nullptr;
    });
}

}  // namespace sorvel

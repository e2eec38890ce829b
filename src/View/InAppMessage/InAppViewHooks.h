#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "InAppMessage/InAppMessage.h"
#include "sorvel/InAppPresentation.h"
#include "sorvel/SorvelKVDelegates.h"

namespace sorvel {

// What the in-app views use of the campaign store: the image lookup that a
// poll makes (it may download, and blocks its caller meanwhile) and the
// one-day close of a click action.
class IInAppViewStore {
  public:
    virtual ~IInAppViewStore() = default;
    // Any thread but the main one; waits for the store's image queue.
    virtual std::optional<ImageInfo> getAndSaveImageInfo(const std::string& campaignId,
                                                         bool isPortrait, bool isFirstShow) = 0;
    virtual void closeForOneDay(const std::string& campaignId, const std::string& day,
                                std::int64_t time) = 0;
};

// The two ways up from the views into the core and the facade (listed in
// Common/CoreHooks.h). The container sets them; until then, and after a
// reset, there is no store and no click delegate. Safe from any thread.
class InAppViewHooks {
  public:
    using StoreProvider = std::function<std::shared_ptr<IInAppViewStore>()>;
    using DelegateProvider = std::function<std::shared_ptr<SorvelKVInAppMessageClickDelegate>()>;

    static void setStoreProvider(StoreProvider provider);
    static void setClickDelegateProvider(DelegateProvider provider);

    // The container's data access object, or null when it has none.
    static std::shared_ptr<IInAppViewStore> store();
    // The facade's in-app click delegate, or null.
    static std::shared_ptr<SorvelKVInAppMessageClickDelegate> clickDelegate();

    // The host's presenter of shown messages (SorvelHost), or null.
    static void setPresenter(std::shared_ptr<InAppMessagePresenter> presenter);
    static std::shared_ptr<InAppMessagePresenter> presenter();
};

}  // namespace sorvel

#include "Event/FirstOpenAutoEventGenerator.h"

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/Extensions.h"
#include "Common/RegistryStates.h"
#include "Common/SvlLog.h"
#include "Data/ModelProvider/DeferredDeeplinkModelProvider.h"
#include "Event/AutoEvent.h"
#include "Event/DeeplinkPostingObservable.h"
#include "Network/ApiConnection.h"
#include "Network/ApiConnectionManager.h"

namespace sorvel {

struct FirstOpenAutoEventGenerator::State {
    mutable platform::Mutex mu;
    std::string searchToken GUARDED_BY(mu);
    Value::Map searchAdsResponseData GUARDED_BY(mu);
};

FirstOpenAutoEventGenerator::FirstOpenAutoEventGenerator(
    std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<IAttributionProvider> attribution)
    : dataRegistry_(std::move(dataRegistry)),
      attribution_(attribution ? std::move(attribution)
                               : std::make_shared<DefaultAttributionProvider>()),
      state_(std::make_shared<State>()) {}

std::string FirstOpenAutoEventGenerator::searchToken() const {
    platform::MutexLock lock(state_->mu);
    return state_->searchToken;
}

Value::Map FirstOpenAutoEventGenerator::searchAdsResponseData() const {
    platform::MutexLock lock(state_->mu);
    return state_->searchAdsResponseData;
}

void FirstOpenAutoEventGenerator::getFirstOpenParameter(const FirstOpenCompletion& completion) {
    if (!FvnUtil::isNetworkConnected()) {
        SvlLog::debug("getFirstOpenParameter :  network is not connected", true);
        return;
    }
    if (searchToken().empty()) {
        SvlLog::debug("SearchToken Call", true);
        auto token = attribution_->attributionToken();
        if (const std::string* value = std::get_if<std::string>(&token)) {
            platform::MutexLock lock(state_->mu);
            state_->searchToken = *value;
        } else {
            SvlLog::debug("Cannot get attributionToken : " +
                              std::get<IAttributionProvider::Error>(token).description,
                          true);
        }
    }
    if (searchAdsResponseData().empty()) {
        if (attribution_->canRequestAttributionDetails()) {
            // The answer comes after this first open has been sent; it serves
            // a later call in the same process.
            attribution_->requestAttributionDetails(
                [weak = std::weak_ptr<State>(state_)](
                    std::optional<Value::Map> details,
                    std::optional<IAttributionProvider::Error> error) {
                    onAttributionDetails(weak, std::move(details), std::move(error));
                });
        } else {
            SvlLog::debug("SorvelKv SearchAds :: requestAttributionDetails is unavailable", true);
        }
    }

    Value::Map parameters;
    {
        platform::MutexLock lock(state_->mu);
        parameters[Constants::PARAM_KEY_SEARCHADS_RESPONSE] =
            state_->searchAdsResponseData.empty() ? Value(std::string())
                                                  : Value(state_->searchAdsResponseData);
        parameters[Constants::PARAM_KEY_APPLE_SEARCHADS_ATTR_TOKEN] = Value(state_->searchToken);
    }
    // One reading of the clock for all four install times.
    const Value nowSeconds(static_cast<std::int64_t>(autoevent::nowMillis() / 1000));
    for (const char* key :
         {Constants::PARAM_KEY_MARKET_INSTALL_BTN_CLICKED, Constants::PARAM_KEY_APP_INSTALL_START,
          Constants::PARAM_KEY_APP_INSTALL_COMPLETED, Constants::PARAM_KEY_APP_FIRST_OPEN}) {
        parameters[key] = nowSeconds;
    }
    completion(parameters);
}

void FirstOpenAutoEventGenerator::onAttributionDetails(
    const std::weak_ptr<State>& weak, std::optional<Value::Map> details,
    std::optional<IAttributionProvider::Error> error) {
    if (error) {
        SvlLog::debug("Failed to get SearchAds data, Error = " + error->description, true);
        return;
    }
    if (!details) {
        return;
    }
    if (details->empty()) {
        SvlLog::debug("Failed to get SearchAds data, responseData keys count = 0", true);
        return;
    }
    auto state = weak.lock();
    if (!state) {
        return;
    }
    for (const auto& [key, value] : *details) {
        if (const Value::Map* row = value.getMap()) {
            SvlLog::debug("SearchAds Response Data row :: " + ext::toJsonFormat(*row), true);
            platform::MutexLock lock(state->mu);
            state->searchAdsResponseData = *row;
        }
    }
}

void FirstOpenAutoEventGenerator::runDeferredDeeplinkProcess() {
    SvlLog::debug("runDeferredDeeplinkProcess start", true);
    if (!dataRegistry_->getStringOrNil(DataRegistryKey::STRING_ADID, std::nullopt)) {
        SvlLog::error("runDeferredDeeplinkProcess Error :: no adid in dataRegistry", true);
        return;
    }
    auto connection = std::make_shared<ApiConnection>(dataRegistry_);
    connection->setPostRequest(
        *DeferredDeeplinkModelProvider(dataRegistry_).getDeferredDeeplinkModel());
    // The completion may run on a retry's global-queue thread long after this
    // call returned: it reaches nothing of the generator.
    ApiConnectionManager().request(connection, true, [](const Result& result) {
        if (!result.isSuccess()) {
            SvlLog::debug("Terminated FirstOpen", true);
            SvlLog::info("API getDeferredDeeplink connectFail !!", true);
            SvlLog::debug("DeferredDeeplink responseCode : " + std::to_string(result.statusCode()),
                          true);
            return;
        }
        const std::optional<std::string> body = result.response();
        if (!body) {
            SvlLog::error(describe(ApiConnectionError::NilResponseError), true);
            return;
        }
        SvlLog::debug("Terminated FirstOpen", true);
        SvlLog::info("API getDeferredDeeplink connectSuccess !! " + *body + ")", true);
        DeferredDeeplinkPostingObservable::shared().postDeferredDeeplink(*body);
    });
}

}  // namespace sorvel

#pragma once

#include "Common/DRState.h"

namespace sorvel {

class DataRegistry;

// The SDK's state as the registry and the device tell it: what the facade's
// guard, the pipeline and the push requests ask before they act.
namespace FvnUtil {

// False exactly when the network status is "unknown".
bool isNetworkConnected();
// The guard of every facade call: GDPR forget-me, remote pause or a
// delete state, tested in that order. Logs "Sorvel Disabled : true".
bool isSorvelDisabled(const DataRegistry& registry);
bool isGdprForgetMeServerResponse(const DataRegistry& registry);
bool isAllStop(const DataRegistry& registry);
bool isPause(const DataRegistry& registry);
DRStateResult getDRState(const DataRegistry& registry);
bool isBeforeFirstOpen(const DataRegistry& registry);
bool getPushEnable(const DataRegistry& registry);
bool getOsPushEnable(const DataRegistry& registry);

}  // namespace FvnUtil

}  // namespace sorvel

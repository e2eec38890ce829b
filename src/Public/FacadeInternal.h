#pragma once

#include <exception>
#include <string>
#include <vector>

#include "Common/SvlLog.h"
#include "Event/TypedValueDictionary.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"

namespace sorvel::facade {

// The boundary of every public call: nothing thrown inside reaches the app.
// An exception (an allocation failure, a fault of ours) is logged with the
// call's name and the call returns its fallback.
template <typename F>
void boundary(const char* name, F&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        SvlLog::error(std::string(name) + " :: failed: " + e.what(), false);
    } catch (...) {
        SvlLog::error(std::string(name) + " :: failed", false);
    }
}

template <typename R, typename F>
R boundary(const char* name, R fallback, F&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        SvlLog::error(std::string(name) + " :: failed: " + e.what(), false);
    } catch (...) {
        SvlLog::error(std::string(name) + " :: failed", false);
    }
    return fallback;
}

// A host or facade call that refuses its input: the one error line
// "<name> :: <why>" every refusal of a SorvelHost call shares, so the app
// sees it where it sees the SDK's errors.
inline void refuseCall(const char* name, const std::string& why) noexcept {
    SvlLog::error(std::string(name) + " :: " + why, false);
}

// The SDK-disabled guard on the container's registry: forget-me, the remote
// pause or a delete state (logs "Sorvel Disabled : true").
bool isSorvelDisabled();

// Checks an event the app hands in, on the caller's thread, before it takes an
// order number or becomes the previous id of the next: its name and
// parameters repaired where their UTF-8 is ill-formed (logged), and refused
// when nested too deeply or too large for its package (logged as the buffer
// logs a refused event). False: the call is dropped.
bool admitEvent(std::string& eventName, const std::string& group, Value::Map& eventParam,
                ParamForm form = ParamForm::prefixed);
// The same for an app's own parameters, as one list.
bool admitEvent(std::string& eventName, const std::string& group, ParamList& attributes);

// The SDK's own events, group "svl": the in-app trigger runs first, then the
// event is queued. The parameters are already in typed form.
void logSvlEvent(const std::string& eventName, Value::Map eventParam);
// The same for an event carrying a product list, which the core splits into
// pages of 100.
void logSvlEventWithPaging(std::vector<SorvelKvCommerceProductModel> products,
                           const std::string& eventName, Value::Map eventParam);

}  // namespace sorvel::facade

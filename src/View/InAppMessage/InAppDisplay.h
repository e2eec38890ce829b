#pragma once

#include <memory>

#include "InAppMessage/InAppMessage.h"

namespace sorvel {

class IAMView;

// The display step of the trigger road, on the main thread. A message no
// layout fits logs "Unknown InAppMessage Type or Layout, Type = <type>, Layout
// = <layout>" at error level. Otherwise the last window of normal level is
// looked up first (with none, no view is built, so no impression is logged
// for a message nobody would see); then the message's view is built with
// logEvent as its event sink, added to that window, brought to the front, and
// the showing flag set. Returns the view shown, or null.
std::shared_ptr<IAMView> displayInAppMessage(const std::shared_ptr<const InAppMessage>& message,
                                             InAppLogEvent logEvent);

}  // namespace sorvel

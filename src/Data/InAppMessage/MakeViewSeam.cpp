#include "Data/InAppMessage/InAppMessage.h"

namespace sorvel {

// No layout is built yet: every message gets no view, and the caller logs it
// as an unknown type or layout.
std::shared_ptr<IAMView> InAppMessage::makeView(InAppLogEvent /*logEvent*/) const {
    return nullptr;
}

}  // namespace sorvel

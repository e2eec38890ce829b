#include "Event/StartSessionType.h"

namespace sorvel {

const char* rawValue(StartSessionType type) noexcept {
    switch (type) {
        case StartSessionType::FIRST_OPEN:
            return "first_open";
        case StartSessionType::DEEPLINK_OPEN:
            return "deeplink_open";
        case StartSessionType::PUSH_OPEN:
            return "push_open";
        case StartSessionType::BASIC_OPEN:
            return "basic_open";
    }
    return "basic_open";
}

std::optional<StartSessionType> startSessionTypeFromRawValue(std::string_view raw) noexcept {
    for (StartSessionType type : {StartSessionType::FIRST_OPEN, StartSessionType::DEEPLINK_OPEN,
                                  StartSessionType::PUSH_OPEN, StartSessionType::BASIC_OPEN}) {
        if (raw == rawValue(type)) {
            return type;
        }
    }
    return std::nullopt;
}

}  // namespace sorvel

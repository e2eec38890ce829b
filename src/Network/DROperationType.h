#pragma once

namespace sorvel {

// The operation of a delete/restart synchronisation request.
enum class DROperationType { DELETE, INITIALIZE, RESTART };

constexpr const char* rawValue(DROperationType type) noexcept {
    switch (type) {
        case DROperationType::DELETE:
            return "delete";
        case DROperationType::INITIALIZE:
            return "initialize";
        case DROperationType::RESTART:
            return "restart";
    }
    return "";
}

}  // namespace sorvel

#include "Common/DRState.h"

namespace sorvel {

DRStateResult makeDRState(std::int64_t code) noexcept {
    switch (code) {
        case 0:
            return DRState::INIT_RESTART_SYNCED;
        case 1:
            return DRState::INIT_RESTART_NOT_SYNCED;
        case 2:
            return DRState::DELETE_NOT_SYNCED;
        case 3:
            return DRState::DELETE_SYNCED;
        default:
            return DRStateError::UnKnownDRStateError;
    }
}

const char* drStateName(DRState state) noexcept {
    switch (state) {
        case DRState::NORMAL:
            return "NORMAL";
        case DRState::INIT_RESTART_SYNCED:
            return "INIT_RESTART_SYNCED";
        case DRState::INIT_RESTART_NOT_SYNCED:
            return "INIT_RESTART_NOT_SYNCED";
        case DRState::DELETE_NOT_SYNCED:
            return "DELETE_NOT_SYNCED";
        case DRState::DELETE_SYNCED:
            return "DELETE_SYNCED";
    }
    return "UNKNOWN";
}

const char* describe(DRStateError error) noexcept {
    switch (error) {
        case DRStateError::UnKnownDRStateError:
            return "DRStateError :: UnKnownDRStateError";
    }
    return "DRStateError";
}

}  // namespace sorvel

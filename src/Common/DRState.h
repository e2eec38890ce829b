#pragma once

#include <cstdint>

#include "Base/Status.h"

namespace sorvel {

// Where the delete-user-data / restart synchronisation with the server stands.
enum class DRState {
    NORMAL,
    INIT_RESTART_SYNCED,
    INIT_RESTART_NOT_SYNCED,
    DELETE_NOT_SYNCED,
    DELETE_SYNCED,
};

enum class DRStateError {
    UnKnownDRStateError,
};

// A state, or the error of a code it cannot be made from.
using DRStateResult = StatusOr<DRState, DRStateError>;

// Codes 0..3 are INIT_RESTART_SYNCED, INIT_RESTART_NOT_SYNCED, DELETE_NOT_SYNCED
// and DELETE_SYNCED; anything else is UnKnownDRStateError.
DRStateResult makeDRState(std::int64_t code) noexcept;

const char* drStateName(DRState state) noexcept;
// The text logged when reading the state failed.
const char* describe(DRStateError error) noexcept;

// Whether the state was read and is `state`.
inline bool isDRState(const DRStateResult& result, DRState state) noexcept {
    return result.isOk() && result.value() == state;
}

inline bool isDeleteState(DRState state) noexcept {
    return state == DRState::DELETE_NOT_SYNCED || state == DRState::DELETE_SYNCED;
}

}  // namespace sorvel

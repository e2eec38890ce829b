#include "Event/PushOpenMonitor.h"

#include "Common/SdkState.h"

namespace sorvel {

PushOpenMonitor& PushOpenMonitor::shared() {
    // A mark lives in memory only: a fresh SDK (tests) starts clear, as a new
    // process would, and a retired one's mark is cleared (reset).
    return SdkState::shared().part<SdkValuePart<PushOpenMonitor, SdkSlot::pushOpenMonitor>>().value;
}

bool PushOpenMonitor::isOpendByPush() const {
    platform::MutexLock lock(mu_);
    return isOpendByPush_;
}

void PushOpenMonitor::setIsOpendByPush(bool value) {
    platform::MutexLock lock(mu_);
    isOpendByPush_ = value;
}

std::optional<Value::Map> PushOpenMonitor::pushOpenEventParam() const {
    platform::MutexLock lock(mu_);
    return pushOpenEventParam_;
}

void PushOpenMonitor::setPushOpenEventParam(std::optional<Value::Map> parameters) {
    platform::MutexLock lock(mu_);
    pushOpenEventParam_ = std::move(parameters);
}

void PushOpenMonitor::mark(Value::Map parameters) {
    platform::MutexLock lock(mu_);
    isOpendByPush_ = true;
    pushOpenEventParam_ = std::move(parameters);
}

std::optional<Value::Map> PushOpenMonitor::take() {
    platform::MutexLock lock(mu_);
    if (!isOpendByPush_) {
        return std::nullopt;
    }
    Value::Map parameters = pushOpenEventParam_.value_or(Value::Map{});
    isOpendByPush_ = false;
    pushOpenEventParam_.reset();
    return parameters;
}

void PushOpenMonitor::reset() {
    platform::MutexLock lock(mu_);
    isOpendByPush_ = false;
    pushOpenEventParam_.reset();
}

}  // namespace sorvel

#include "Event/EventCounters.h"

#include <algorithm>
#include <array>

#include "Common/DataRegistry.h"

namespace sorvel {

namespace {

std::uint64_t storedNumber(const std::optional<Value>& v) {
    if (!v) {
        return 0;
    }
    if (const auto* u = v->getUInt64()) {
        return *u;
    }
    if (const auto* i = v->getInt64()) {
        return *i > 0 ? static_cast<std::uint64_t>(*i) : 0;
    }
    return 0;
}

}  // namespace

EventCounters::EventCounters(std::shared_ptr<DataRegistry> dataRegistry)
    : dataRegistry_(std::move(dataRegistry)) {
    const Values stored = readRegistry();
    platform::MutexLock w(writeMu_);
    platform::MutexLock lock(mu_);
    lastPut_ = stored;
    values_ = stored;
    target_ = stored;
}

EventCounters::Values EventCounters::readRegistry() const {
    auto stored = dataRegistry_->getValues(std::array{DataRegistryKey::UINT64_SESSION_ORDER_NO,
                                                      DataRegistryKey::UINT64_EVENT_ORDER_NO,
                                                      DataRegistryKey::STRING_PREV_ID});
    Values v;
    v.sessionOrderNo = storedNumber(stored[0]);
    v.eventOrderNo = storedNumber(stored[1]);
    if (stored[2] && stored[2]->getString() != nullptr) {
        v.prevId = *stored[2]->getString();
    }
    return v;
}

bool EventCounters::reserveLocked() {
    // Renewed halfway through a block: the write then has the rest of the
    // block's events to reach the disk before a number past it is used.
    const std::uint64_t renewAt = block_ / 2;
    const bool session = values_.sessionOrderNo + renewAt > target_.sessionOrderNo;
    const bool event = values_.eventOrderNo + renewAt > target_.eventOrderNo;
    if (!session && !event) {
        return false;
    }
    // The clock is read once per block, not per event.
    const platform::MonoTime now = platform::clockPtr()->monoNow();
    if (lastRenewal_ && *lastRenewal_ <= now) {
        const auto since = now - *lastRenewal_;
        if (since < FAST_RENEWAL && block_ < MAX_RESERVED_AHEAD) {
            block_ *= 2;
        } else if (since > SLOW_RENEWAL && block_ > RESERVED_AHEAD) {
            block_ /= 2;
        }
    }
    lastRenewal_ = now;
    if (session) {
        target_.sessionOrderNo = values_.sessionOrderNo + block_ - 1;
    }
    if (event) {
        target_.eventOrderNo = values_.eventOrderNo + block_ - 1;
    }
    target_.prevId = values_.prevId;
    return true;
}

std::pair<std::uint64_t, std::uint64_t> EventCounters::advance(bool session, bool event) {
    std::pair<std::uint64_t, std::uint64_t> out;
    bool reserve = false;
    {
        platform::MutexLock lock(mu_);
        out = {session ? ++values_.sessionOrderNo : values_.sessionOrderNo,
               event ? ++values_.eventOrderNo : values_.eventOrderNo};
        reserve = reserveLocked();
    }
    if (reserve) {
        publish();
    }
    return out;
}

std::pair<std::uint64_t, std::uint64_t> EventCounters::next() {
    return advance(true, true);
}

std::uint64_t EventCounters::nextSessionOrderNo() {
    return advance(true, false).first;
}

std::uint64_t EventCounters::nextEventOrderNo() {
    return advance(false, true).second;
}

std::optional<std::string> EventCounters::prevId() const {
    platform::MutexLock lock(mu_);
    return values_.prevId;
}

void EventCounters::prevIdInto(std::optional<InlineText>& out) const {
    platform::MutexLock lock(mu_);
    if (!values_.prevId) {
        out.reset();
    } else if (out) {
        out->assign(*values_.prevId);
    } else {
        out.emplace(*values_.prevId);
    }
}

void EventCounters::setPrevId(const std::optional<InlineText>& id) {
    platform::MutexLock lock(mu_);
    if (!id) {
        values_.prevId.reset();
    } else if (values_.prevId) {
        values_.prevId->assign(id->view());
    } else {
        values_.prevId.emplace(id->view());
    }
}

EventCounters::Values EventCounters::current() const {
    platform::MutexLock lock(mu_);
    return values_;
}

bool EventCounters::checkpoint() {
    {
        platform::MutexLock lock(mu_);
        target_ = values_;
    }
    return publish();
}

void EventCounters::resetSession() {
    {
        platform::MutexLock lock(mu_);
        values_.sessionOrderNo = 0;
        target_.sessionOrderNo = 0;
    }
    publish();
}

void EventCounters::restore(const Values& replayed) {
    {
        platform::MutexLock lock(mu_);
        if (replayed.eventOrderNo > values_.eventOrderNo) {
            values_.eventOrderNo = replayed.eventOrderNo;
            values_.prevId = replayed.prevId;
        }
        values_.sessionOrderNo = std::max(values_.sessionOrderNo, replayed.sessionOrderNo);
        // The numbers stay at least what the registry held (a block reserved
        // ahead): only what the journal adds is raised.
        target_.sessionOrderNo = std::max(target_.sessionOrderNo, values_.sessionOrderNo);
        target_.eventOrderNo = std::max(target_.eventOrderNo, values_.eventOrderNo);
        target_.prevId = values_.prevId;
    }
    publish();
}

void EventCounters::resetAfterWipe() {
    platform::MutexLock w(writeMu_);
    // A reservation put between the wipe and now would have brought numbers
    // back: what the registry holds now is what publish() compares with.
    lastPut_ = readRegistry();
    {
        platform::MutexLock lock(mu_);
        values_ = Values{};
        target_ = Values{};
    }
    if (lastPut_ != Values{}) {
        dataRegistry_->putUInt64(0, DataRegistryKey::UINT64_SESSION_ORDER_NO);
        dataRegistry_->putUInt64(0, DataRegistryKey::UINT64_EVENT_ORDER_NO);
        dataRegistry_->putString(std::nullopt, DataRegistryKey::STRING_PREV_ID);
        lastPut_ = Values{};
    }
}

bool EventCounters::publish() {
    platform::MutexLock w(writeMu_);
    Values target;
    {
        platform::MutexLock lock(mu_);
        target = target_;
    }
    if (target == lastPut_) {
        return false;
    }
    // Every write of these keys passes here, under writeMu_, with the state
    // read under it: the last one to land carries the newest state.
    dataRegistry_->putUInt64(target.sessionOrderNo, DataRegistryKey::UINT64_SESSION_ORDER_NO);
    dataRegistry_->putUInt64(target.eventOrderNo, DataRegistryKey::UINT64_EVENT_ORDER_NO);
    dataRegistry_->putString(target.prevId, DataRegistryKey::STRING_PREV_ID);
    lastPut_ = std::move(target);
    return true;
}

}  // namespace sorvel

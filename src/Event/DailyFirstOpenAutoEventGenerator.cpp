#include "Event/DailyFirstOpenAutoEventGenerator.h"

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DatesAndIds.h"
#include "Common/RegistryStates.h"
#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Event/IAutoEventRepository.h"
#include "Platform/Dispatch.h"
#include "Platform/RunLoop.h"

namespace sorvel {

std::shared_ptr<DailyFirstOpenAutoEventGenerator> DailyFirstOpenAutoEventGenerator::create(
    std::shared_ptr<DataRegistry> dataRegistry, LogEventAction logEventAction,
    std::shared_ptr<IAutoEventRepository> repository) {
    auto generator = std::make_shared<DailyFirstOpenAutoEventGenerator>(
        PassKey{}, std::move(dataRegistry), std::move(logEventAction), std::move(repository));
    TimerManager::shared().addTimerManager(generator);
    return generator;
}

DailyFirstOpenAutoEventGenerator::DailyFirstOpenAutoEventGenerator(
    PassKey, std::shared_ptr<DataRegistry> dataRegistry, LogEventAction logEventAction,
    std::shared_ptr<IAutoEventRepository> repository)
    : dataRegistry_(std::move(dataRegistry)),
      logEventAction_(std::move(logEventAction)),
      repository_(std::move(repository)) {}

DailyFirstOpenAutoEventGenerator::~DailyFirstOpenAutoEventGenerator() {
    // A timer stays scheduled until invalidated; its fires would find no
    // generator, but they should not keep coming.
    stopTimer();
}

void DailyFirstOpenAutoEventGenerator::startTimer() {
    platform::DispatchQueue::main().async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        platform::MutexLock lock(self->mu_);
        if (self->timer_) {
            return;
        }
        self->timer_ =
            platform::Timer::scheduleRepeating(platform::RunLoop::main(), TICK_INTERVAL, [weak] {
                if (auto generator = weak.lock()) {
                    generator->doTask();
                }
            });
    });
}

void DailyFirstOpenAutoEventGenerator::doTask() {
    std::uint64_t generation = 0;
    {
        platform::MutexLock lock(mu_);
        generation = generation_;
    }
    platform::DispatchQueue::global().async([weak = weak_from_this(), generation] {
        if (auto self = weak.lock()) {
            self->tick(generation);
        }
    });
}

void DailyFirstOpenAutoEventGenerator::stopTimer() {
    std::shared_ptr<platform::Timer> timer;
    {
        platform::MutexLock lock(mu_);
        ++generation_;
        timer.swap(timer_);
    }
    if (timer) {
        timer->invalidate();
    }
}

bool DailyFirstOpenAutoEventGenerator::isStopped(std::uint64_t generation) const {
    platform::MutexLock lock(mu_);
    return generation != generation_;
}

bool DailyFirstOpenAutoEventGenerator::isTimerRunning() const {
    platform::MutexLock lock(mu_);
    return timer_ != nullptr;
}

void DailyFirstOpenAutoEventGenerator::resetNotificationId() {
    dataRegistry_->putString(std::string(), DataRegistryKey::STRING_SVL_NOTIFICATION_ID);
}

void DailyFirstOpenAutoEventGenerator::tick(std::uint64_t generation) {
    DataRegistry& registry = *dataRegistry_;
    if (isStopped(generation)) {
        return;
    }
    if (FvnUtil::isAllStop(registry) || SVLBooleanState::isWrongAppKey().get()) {
        SvlLog::debug("Daily First Open :: skipped, the SDK is stopped or its app key is wrong",
                      true);
        return;
    }
    const auto key = DataRegistryKey::STRING_DAILY_FIRST_OPEN_PREV_DATE;
    std::string storedDay;
    std::string today;
    bool newDay = false;
    {
        // Read, compare and claim in one step; the registry is written after
        // the lock is released (a write runs the key's listeners).
        platform::MutexLock lock(mu_);
        storedDay = registry.getString(key, "");
        today = FvnUtil::getTodayDateString();
        if (!storedDay.empty() && today != storedDay && today != claimedDay_ &&
            SVLBooleanState::isAppActive().get() && !FvnUtil::isPause(registry)) {
            claimedDay_ = today;
            newDay = true;
        }
    }
    if (storedDay.empty()) {
        // The first day of an installation raises nothing.
        registry.putString(today, key);
        return;
    }
    SvlLog::info("Daily First Open... NowDate : " + today + ", PrevDate : " + storedDay, true);
    if (newDay) {
        resetNotificationId();
        registry.putString(today, key);
        repository_->syncApplicationConfigure();
        LogEventParameter event =
            autoevent::makeAutoEvent(Constants::EVENT_NAME_DAILY_FIRST_OPEN, {}, 0, 0);
        if (isStopped(generation)) {
            SvlLog::debug("Daily First Open :: the timer was stopped, the event is dropped", true);
        } else if (logEventAction_) {
            logEventAction_(event);
        }
    }
    if (autoevent::isInAppMessageListExpired(registry, autoevent::nowMillis())) {
        repository_->fetchInAppMessages();
    }
}

}  // namespace sorvel

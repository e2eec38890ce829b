#include "Common/SvlLog.h"

#include <atomic>
#include <utility>

#include "Base/TextUnits.h"
#include "Common/SdkState.h"
#include "Platform/Bundle.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"
#include "Platform/SystemLog.h"
#include "sorvel/SorvelEnums.h"

namespace sorvel {
namespace {

void routePlatformLine(platform::LogLevel level, std::string_view text);

struct LoggerState : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::logger;

    platform::Mutex mu;
    bool qaDecided GUARDED_BY(mu) = false;
    bool qaMode GUARDED_BY(mu) = false;
    // The app's log delegate: the facade's setLogDelegate forwards here.
    std::shared_ptr<SorvelKVLogDelegate> delegate GUARDED_BY(mu);
    std::shared_ptr<platform::DispatchQueue> queue =
        platform::DispatchQueue::makeSerial("loggingQueue");

    LoggerState() { platform::SystemLog::setRouter(&routePlatformLine); }

    void retire() override {
        // Lines queued before the reset are handled with the state they
        // were logged under, not handed to the next app's delegate.
        if (!queue->isCurrent()) {
            queue->sync([] {});
        }
        std::shared_ptr<SorvelKVLogDelegate> gone;
        {
            platform::MutexLock lock(mu);
            qaDecided = false;
            qaMode = false;
            gone = std::move(delegate);
        }
    }
};

LoggerState& loggerState() {
    return SdkState::shared().part<LoggerState>();
}

// Whether the system log shows a line: in quality-assurance mode all of them,
// otherwise the warnings and errors that are not meant for quality assurance.
bool systemLogShows(bool qaMode, SorvelLogLevel level, bool qaOnly) {
    return qaMode || (!qaOnly && level >= SorvelLogLevel::LEVEL_WARNING);
}

// Routes one line by the rule in SvlLog.h.
void handle(LoggerState& s, SorvelLogLevel level, std::string message, bool qaOnly) {
    message.resize(text::codePointOffset(message, SvlLog::MAX_MESSAGE_CHARS));
    bool qa = false;
    std::shared_ptr<SorvelKVLogDelegate> delegate;
    {
        platform::MutexLock lock(s.mu);
        qa = s.qaMode;
        delegate = s.delegate;
    }
    if (!qa && delegate) {
        // The delegate, a snapshot taken under the lock, runs without any lock
        // of ours held, so it may log, set another delegate or call into the
        // SDK again; one replaced meanwhile finishes this line.
        try {
            delegate->didPrintLog(level, message);
        } catch (...) {
            // The app's delegate is broken; the line still goes on below
            // wherever it goes without one.
            platform::SystemLog::write("svlkv [error]: SvlLog :: log delegate threw");
        }
    }
    if (!systemLogShows(qa, level, qaOnly)) {
        return;
    }
    std::string prefix = std::string("svlkv [") + SvlLog::levelName(level) + "]: ";
    std::string_view rest(message);
    do {
        std::size_t n = text::codePointOffset(rest, SvlLog::MAX_PIECE_CHARS);
        platform::SystemLog::write(prefix + std::string(rest.substr(0, n)));
        rest.remove_prefix(n);
    } while (!rest.empty());
}

// The platform layer's lines take the same road as the SDK's own. None is
// meant for quality assurance only: they tell of what the system denied the
// SDK (a file, a folder, a thread, a request) or of a host's misuse.
void routePlatformLine(platform::LogLevel level, std::string_view text) {
    SvlLog::log(static_cast<SorvelLogLevel>(static_cast<int>(level)), std::string(text), false);
}

}  // namespace

const char* SvlLog::levelName(SorvelLogLevel level) noexcept {
    return sorvelLogLevelName(level);
}

void SvlLog::log(SorvelLogLevel level, std::string message, bool qaOnly) noexcept {
    if (!wouldDeliver(level, qaOnly)) {
        // Nobody takes the line as things stand now, when it is logged: it is
        // not handed to the logging queue only to be dropped there.
        return;
    }
    try {
        // The line is handled under the logger it was logged to, even when a
        // fresh SDK has replaced it by then.
        auto& s = loggerState();
        s.queue->async([&s, level, message = std::move(message), qaOnly]() mutable {
            handle(s, level, std::move(message), qaOnly);
        });
    } catch (...) {
        // Logging must never fail its caller; an allocation failure drops the line.
    }
}

void SvlLog::debug(std::string message, bool qaOnly) noexcept {
    log(SorvelLogLevel::LEVEL_DEBUG, std::move(message), qaOnly);
}

void SvlLog::info(std::string message, bool qaOnly) noexcept {
    log(SorvelLogLevel::LEVEL_INFO, std::move(message), qaOnly);
}

void SvlLog::warning(std::string message, bool qaOnly) noexcept {
    log(SorvelLogLevel::LEVEL_WARNING, std::move(message), qaOnly);
}

void SvlLog::error(std::string message, bool qaOnly) noexcept {
    log(SorvelLogLevel::LEVEL_ERROR, std::move(message), qaOnly);
}

bool SvlLog::wouldDeliver(SorvelLogLevel level, bool qaOnly) noexcept {
    auto& s = loggerState();
    platform::MutexLock lock(s.mu);
    return s.delegate || systemLogShows(s.qaMode, level, qaOnly);
}

void SvlLog::initQaMode(const DataRegistry* /*registry*/) noexcept {
    auto& s = loggerState();
    platform::MutexLock lock(s.mu);
    if (s.qaDecided) {
        return;
    }
    s.qaDecided = true;
    auto v = platform::Bundle::info(QA_MODE_INFO_KEY);
    s.qaMode = v && v->getBool() != nullptr && *v->getBool();
}

bool SvlLog::isQaMode() noexcept {
    auto& s = loggerState();
    platform::MutexLock lock(s.mu);
    return s.qaMode;
}

void SvlLog::setLogDelegate(std::shared_ptr<SorvelKVLogDelegate> delegate) noexcept {
    auto& s = loggerState();
    std::shared_ptr<SorvelKVLogDelegate> previous;
    {
        platform::MutexLock lock(s.mu);
        previous = std::exchange(s.delegate, std::move(delegate));
    }
    // previous goes here, outside the lock: the app's object may do anything.
}

std::shared_ptr<SorvelKVLogDelegate> SvlLog::logDelegate() noexcept {
    auto& s = loggerState();
    platform::MutexLock lock(s.mu);
    return s.delegate;
}

void SvlLog::flush() noexcept {
    // A logger not built yet has queued nothing. Building it here would also
    // route the platform's own lines through it from now on.
    auto* s = SdkState::shared().builtPart<LoggerState>();
    if (s == nullptr || s->queue->isCurrent()) {
        return;
    }
    s->queue->sync([] {});
}

}  // namespace sorvel

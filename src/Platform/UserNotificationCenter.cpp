#include "Platform/UserNotificationCenter.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "Platform/Dispatch.h"
#include "Platform/FileSystem.h"
#include "Platform/ProcessState.h"
#include "Platform/Scheduler.h"

namespace sorvel::platform {

// ---- Recording presenter -------------------------------------------------------

void RecordingNotificationPresenter::present(const NotificationRequest& request) {
    std::function<void(const NotificationRequest&)> observer;
    {
        MutexLock lock(mu_);
        presented_.push_back(request);
        while (presented_.size() > MAX_RECORDED) {
            presented_.pop_front();
        }
        observer = observer_;
    }
    if (observer) {
        observer(request);
    }
}

std::vector<NotificationRequest> RecordingNotificationPresenter::presented() const {
    MutexLock lock(mu_);
    return {presented_.begin(), presented_.end()};
}

void RecordingNotificationPresenter::setObserver(
    std::function<void(const NotificationRequest&)> observer) {
    MutexLock lock(mu_);
    observer_ = std::move(observer);
}

// ---- The centre ----------------------------------------------------------------

struct UserNotificationCenter::State {
    struct Pending {
        NotificationRequest request;
        std::uint64_t generation = 0;
        std::uint64_t schedulerId = 0;
    };

    std::shared_ptr<DispatchQueue> queue = DispatchQueue::makeSerial(QUEUE_LABEL);
    mutable Mutex mu;
    // By generation, which grows with each add: the order of the adds.
    std::map<std::uint64_t, Pending> pending GUARDED_BY(mu);
    // Identifier to its pending generation.
    std::map<std::string, std::uint64_t> pendingIds GUARDED_BY(mu);
    std::deque<NotificationRequest> delivered GUARDED_BY(mu);
    std::shared_ptr<INotificationPresenter> presenter GUARDED_BY(mu);
    ResponseHandler handler GUARDED_BY(mu);
    std::uint64_t nextGeneration GUARDED_BY(mu) = 1;

    // Takes the pending entry out; null when none has the identifier (or,
    // with a generation, when the pending one is another).
    std::optional<Pending> takePending(const std::string& id,
                                       std::optional<std::uint64_t> generation = std::nullopt)
        EXCLUSIVE_LOCKS_REQUIRED(mu) {
        auto byId = pendingIds.find(id);
        if (byId == pendingIds.end() || (generation && byId->second != *generation)) {
            return std::nullopt;
        }
        auto it = pending.find(byId->second);
        pendingIds.erase(byId);
        if (it == pending.end()) {
            return std::nullopt;
        }
        Pending out = std::move(it->second);
        pending.erase(it);
        return out;
    }
};

UserNotificationCenter& UserNotificationCenter::current() {
    static NoDestructor<UserNotificationCenter> center;
    return center.get();
}

UserNotificationCenter::UserNotificationCenter() : state_(std::make_shared<State>()) {
    {
        MutexLock lock(state_->mu);
        state_->presenter = std::make_shared<RecordingNotificationPresenter>();
    }
    registerResetHook([this] { reset(); });
}

void UserNotificationCenter::reset() {
    std::vector<std::uint64_t> timers;
    std::shared_ptr<INotificationPresenter> old;
    {
        MutexLock lock(state_->mu);
        for (const auto& [generation, p] : state_->pending) {
            timers.push_back(p.schedulerId);
        }
        state_->pending.clear();
        state_->pendingIds.clear();
        state_->delivered.clear();
        state_->handler = nullptr;
        old = std::exchange(state_->presenter, std::make_shared<RecordingNotificationPresenter>());
    }
    for (auto id : timers) {
        detail::Scheduler::instance().cancel(id);
    }
    if (old) {
        old->setResponseSink(nullptr);
    }
    flush();
}

StatusOr<std::int64_t> UserNotificationCenter::fireSecond(
    const CalendarNotificationTrigger& trigger) {
    const auto& c = trigger.dateComponents;
    if (c.year < 1 || c.year > 9999) {
        return Status::error("the trigger's year is outside 1...9999");
    }
    CivilTime civil;
    civil.year = c.year;
    civil.month = c.month;
    civil.day = c.day;
    civil.hour = c.hour;
    civil.minute = c.minute;
    civil.second = c.second;
    const std::optional<std::int64_t> local = epochSecondsOfUtc(civil);
    if (!local) {
        return Status::error("the trigger's date components name no date");
    }
    // The offset at the instant itself: first guess with the offset at the
    // local reading, then correct once (enough across a daylight-saving step).
    // Offsets are asked for instants the clock can name.
    auto zone = localTimeZone();
    auto offsetAt = [&](std::int64_t second) {
        const std::int64_t limit = 9'000'000'000;  // about 285 years either side of 1970
        const std::int64_t clamped = std::clamp(second, -limit, limit);
        return static_cast<std::int64_t>(
            zone->utcOffset(WallTime(std::chrono::seconds(clamped))).count());
    };
    std::int64_t at = *local - offsetAt(*local);
    at = *local - offsetAt(at);
    return at;
}

StatusOr<WallTime> UserNotificationCenter::fireDate(const CalendarNotificationTrigger& trigger) {
    StatusOr<std::int64_t> second = fireSecond(trigger);
    if (!second.isOk()) {
        return second.status();
    }
    if (second.value() < -9'000'000'000 || second.value() > 9'000'000'000) {
        return Status::error("the trigger's date is beyond the clock's range");
    }
    return WallTime(std::chrono::seconds(second.value()));
}

void UserNotificationCenter::add(NotificationRequest request, AddCompletion completion) {
    auto state = state_;
    state->queue->async([this, state, request = std::move(request),
                         completion = std::move(completion)]() mutable {
        Millis delay{0};
        if (request.trigger) {
            if (request.trigger->repeats) {
                if (completion)
                    completion(std::string("repeating triggers are not supported"));
                return;
            }
            StatusOr<std::int64_t> at = fireSecond(*request.trigger);
            if (!at.isOk()) {
                if (completion)
                    completion(at.status().message());
                return;
            }
            // In whole milliseconds since the epoch: years 1...9999 fit, where
            // a nanosecond clock reading would not.
            const std::int64_t leftMs = at.value() * 1000 - wallMillis();
            if (leftMs < -1000) {
                if (completion)
                    completion(std::string("the trigger's date has passed"));
                return;
            }
            delay = detail::clampDelay(Millis(std::max<std::int64_t>(leftMs, 0)));
        }
        std::uint64_t oldTimer = 0;
        std::uint64_t generation = 0;
        {
            MutexLock lock(state->mu);
            if (auto old = state->takePending(request.identifier)) {
                oldTimer = old->schedulerId;
            }
            generation = state->nextGeneration++;
        }
        if (oldTimer != 0) {
            detail::Scheduler::instance().cancel(oldTimer);
        }
        const std::string id = request.identifier;
        {
            MutexLock lock(state->mu);
            state->pendingIds[request.identifier] = generation;
            state->pending.emplace(generation, State::Pending{std::move(request), generation, 0});
        }
        // The scheduler only posts the fire back onto the queue; the entry is
        // in the list first, so a fire due at once finds it.
        std::weak_ptr<State> weak = state;
        const auto timer = detail::Scheduler::instance().after(delay, [this, weak, id, generation] {
            if (auto s = weak.lock()) {
                s->queue->async([this, id, generation] { fire(id, generation); });
            }
        });
        {
            MutexLock lock(state->mu);
            if (auto it = state->pending.find(generation); it != state->pending.end()) {
                it->second.schedulerId = timer;
            }
        }
        if (completion)
            completion(std::nullopt);
    });
}

void UserNotificationCenter::fire(const std::string& identifier, std::uint64_t generation) {
    std::optional<State::Pending> due;
    {
        MutexLock lock(state_->mu);
        due = state_->takePending(identifier, generation);
    }
    if (due) {  // else removed or replaced meanwhile
        present(due->request);
    }
}

void UserNotificationCenter::present(const NotificationRequest& request) {
    std::shared_ptr<INotificationPresenter> presenter;
    {
        MutexLock lock(state_->mu);
        state_->delivered.push_back(request);
        while (state_->delivered.size() > MAX_DELIVERED) {
            state_->delivered.pop_front();
        }
        presenter = state_->presenter;
    }
    if (presenter) {
        presenter->present(request);
    }
}

void UserNotificationCenter::getPendingNotificationRequests(PendingCompletion completion) {
    auto state = state_;
    state->queue->async([state, completion = std::move(completion)] {
        std::vector<NotificationRequest> out;
        {
            MutexLock lock(state->mu);
            out.reserve(state->pending.size());
            for (const auto& [generation, p] : state->pending) {
                out.push_back(p.request);
            }
        }
        if (completion)
            completion(std::move(out));
    });
}

void UserNotificationCenter::removePendingNotificationRequests(
    const std::vector<std::string>& identifiers) {
    auto state = state_;
    state->queue->async([state, identifiers] {
        std::vector<std::uint64_t> timers;
        {
            MutexLock lock(state->mu);
            for (const auto& id : identifiers) {
                if (auto p = state->takePending(id)) {
                    timers.push_back(p->schedulerId);
                }
            }
        }
        for (auto t : timers) {
            detail::Scheduler::instance().cancel(t);
        }
    });
}

void UserNotificationCenter::removeAllPendingNotificationRequests() {
    auto state = state_;
    state->queue->async([state] {
        std::map<std::uint64_t, State::Pending> gone;
        {
            MutexLock lock(state->mu);
            gone.swap(state->pending);
            state->pendingIds.clear();
        }
        for (const auto& [generation, p] : gone) {
            detail::Scheduler::instance().cancel(p.schedulerId);
        }
    });
}

void UserNotificationCenter::deliver(NotificationRequest request) {
    state_->queue->async([this, request = std::move(request)] { present(request); });
}

bool UserNotificationCenter::respond(const std::string& identifier,
                                     const std::string& actionIdentifier) {
    ResponseHandler handler;
    NotificationResponse response;
    {
        MutexLock lock(state_->mu);
        auto& d = state_->delivered;
        // The newest delivery of that identifier.
        auto it = std::find_if(d.rbegin(), d.rend(), [&](const NotificationRequest& r) {
            return r.identifier == identifier;
        });
        if (it == d.rend()) {
            return false;
        }
        response.request = *it;
        response.actionIdentifier = actionIdentifier;
        // An answered notification leaves the desktop.
        d.erase(std::next(it).base());
        handler = state_->handler;
    }
    if (handler) {
        handler(response);
    }
    return true;
}

void UserNotificationCenter::setResponseHandler(ResponseHandler handler) {
    ResponseHandler old;
    {
        MutexLock lock(state_->mu);
        old = std::exchange(state_->handler, std::move(handler));
    }
}

void UserNotificationCenter::setPresenter(std::shared_ptr<INotificationPresenter> presenter) {
    if (!presenter) {
        presenter = std::make_shared<RecordingNotificationPresenter>();
    }
    presenter->setResponseSink(
        [this](const std::string& id, const std::string& action) { respond(id, action); });
    std::shared_ptr<INotificationPresenter> old;
    {
        MutexLock lock(state_->mu);
        old = std::exchange(state_->presenter, std::move(presenter));
    }
    if (old) {
        old->setResponseSink(nullptr);
    }
}

std::shared_ptr<INotificationPresenter> UserNotificationCenter::presenter() const {
    MutexLock lock(state_->mu);
    return state_->presenter;
}

std::vector<NotificationRequest> UserNotificationCenter::delivered() const {
    MutexLock lock(state_->mu);
    return {state_->delivered.begin(), state_->delivered.end()};
}

void UserNotificationCenter::flush() {
    if (state_->queue->isCurrent()) {
        return;
    }
    state_->queue->sync([] {});
}

// ---- Application state -------------------------------------------------------------

namespace {
std::atomic<int>& appState() {
    static std::atomic<int> state{static_cast<int>(ApplicationState::inactive)};
    static const bool registered = [] {
        registerResetHook([] { appState() = static_cast<int>(ApplicationState::inactive); });
        return true;
    }();
    (void)registered;
    return state;
}
}  // namespace

ApplicationState applicationState() {
    return static_cast<ApplicationState>(appState().load());
}

void setApplicationState(ApplicationState state) {
    appState() = static_cast<int>(state);
}

// ---- Attachments -----------------------------------------------------------------

namespace {

bool looksLikeImage(std::string_view d) {
    auto starts = [&](std::string_view magic) { return d.substr(0, magic.size()) == magic; };
    return starts("\x89PNG\r\n\x1a\n") || starts("\xff\xd8\xff") || starts("GIF87a") ||
           starts("GIF89a") || (starts("RIFF") && d.size() >= 12 && d.substr(8, 4) == "WEBP") ||
           starts("BM");
}

}  // namespace

StatusOr<NotificationAttachment> makeNotificationAttachment(std::string identifier,
                                                            std::string_view fileName,
                                                            std::string_view data) {
    if (!looksLikeImage(data)) {
        return Status::error("the attachment's data is not an image of a known type");
    }
    std::string name;
    for (char c : fileName) {
        if (c != '/' && c != '\0') {
            name += c;
        }
    }
    if (name.empty() || name == "." || name == "..") {
        name = "attachment";
    }
    const std::string base = tempFolder();
    if (Status s = makePrivateFolder(base); !s.isOk()) {
        return s;
    }
    std::string folder = base + "/attachment-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        return Status::error("cannot make a folder for the attachment: " +
                             std::string(std::strerror(errno)));
    }
    const std::string path = folder + "/" + name;
    StatusOr<int> fd = openPrivateFile(path, O_WRONLY | O_TRUNC);
    if (!fd.isOk()) {
        return fd.status();
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd.value(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const std::string why = std::strerror(errno);
            ::close(fd.value());
            return Status::error("cannot write the attachment: " + why);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd.value()) != 0) {
        return Status::error("cannot write the attachment: " + std::string(std::strerror(errno)));
    }
    return NotificationAttachment{std::move(identifier), path};
}

}  // namespace sorvel::platform

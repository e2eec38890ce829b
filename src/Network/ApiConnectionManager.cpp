#include "Network/ApiConnectionManager.h"

#include "Common/SVLBooleanState.h"
#include "Common/SdkState.h"
#include "Common/SvlLog.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"

namespace sorvel {
namespace {

constexpr const char* kDeeplinkNull = R"({"deeplink":null})";

struct HookState : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::disableHook;

    platform::Mutex mu;
    ApiConnectionManager::DisableSdkHook hook GUARDED_BY(mu);

    // A retry of the last SDK still waiting on the network disables nothing.
    void retire() override {
        ApiConnectionManager::DisableSdkHook gone;
        platform::MutexLock lock(mu);
        gone.swap(hook);
    }
};

HookState& hookState() {
    return SdkState::shared().part<HookState>();
}

void disableSdk(const std::string& reason) {
    ApiConnectionManager::DisableSdkHook hook;
    {
        auto& s = hookState();
        platform::MutexLock lock(s.mu);
        hook = s.hook;
    }
    if (hook) {
        hook(reason);
    } else {
        SvlLog::warning("ApiConnectionManager :: disableSDK(" + reason +
                            ") requested before the controller is there",
                        false);
    }
}

enum class Verdict { SUCCESS, RETRY, FAILURE };

// Classifies one answer: 2xx succeeds, except that a retry answered "null"
// tries again; 404 and 501-599 raise the wrong-app-key flag and fail (a retry
// tries again); 400 disables the SDK; anything else fails. Failures are logged.
Verdict classify(const ApiConnection::Answer& answer, bool isRetry) {
    const int code = answer.status;
    if (code >= 200 && code < 300) {
        if (isRetry && answer.responseText && *answer.responseText == kDeeplinkNull) {
            return Verdict::RETRY;
        }
        return Verdict::SUCCESS;
    }
    if (code == 404 || (code >= 501 && code <= 599)) {
        SvlLog::warning("Warning!! :: wrong appkey : responseCode " + std::to_string(code), false);
        SVLBooleanState::isWrongAppKey().set(true);
        return isRetry ? Verdict::RETRY : Verdict::FAILURE;
    }
    if (code == 400) {
        SvlLog::warning("Warning!! :: Appkey is not valid : " + answer.responseText.value_or(""),
                        false);
        disableSdk(ApiConnectionManager::DISABLE_REASON_ALL_STOP);
        return Verdict::FAILURE;
    }
    // Quality-assurance only: with the network gone every upload attempt ends
    // here, and an app's own log would fill with the same line.
    SvlLog::error("ApiConnectionManager :: request failed, responseCode : " + std::to_string(code),
                  true);
    return Verdict::FAILURE;
}

}  // namespace

struct ApiConnectionManager::Attempt {
    std::shared_ptr<ApiConnection> connection;
    Completion completion;
    // Whatever the completion needs alive; let go once it has run.
    std::shared_ptr<const void> owner;
    // The manager's count, published for observers.
    std::shared_ptr<std::atomic<int>> attempts;
    // Retries this request has scheduled. Only the attempt in flight touches
    // it, so the decision to retry never depends on when an observer's view
    // of the shared count catches up.
    int retries = 0;
    bool isRetry = false;

    void finish(const Result& result) {
        if (completion) {
            auto done = std::move(completion);
            completion = nullptr;
            auto kept = std::move(owner);
            done(result);
        }
    }
};

ApiConnectionManager::ApiConnectionManager()
    : attemptCount_(std::make_shared<std::atomic<int>>(0)) {}

int ApiConnectionManager::attemptCount() const {
    return attemptCount_->load();
}

void ApiConnectionManager::setDisableSdkHook(DisableSdkHook hook) {
    auto& s = hookState();
    platform::MutexLock lock(s.mu);
    s.hook = std::move(hook);
}

std::shared_ptr<ApiConnectionManager::Attempt> ApiConnectionManager::start(
    std::shared_ptr<ApiConnection> connection, bool isRetry, Completion completion,
    std::shared_ptr<const void> owner) {
    auto attempt = std::make_shared<Attempt>();
    attempt->connection = std::move(connection);
    attempt->completion = std::move(completion);
    attempt->owner = std::move(owner);
    attempt->attempts = attemptCount_;
    attempt->retries = attemptCount_->load();
    attempt->isRetry = isRetry;
    if (!attempt->connection) {
        SvlLog::error(describe(ApiConnectionError::InvalidRequestError), false);
        attempt->finish(Result::failure(0));
        return nullptr;
    }
    return attempt;
}

void ApiConnectionManager::request(std::shared_ptr<ApiConnection> connection, bool isRetry,
                                   Completion completion, std::shared_ptr<const void> owner) {
    if (auto attempt =
            start(std::move(connection), isRetry, std::move(completion), std::move(owner))) {
        run(attempt);
    }
}

void ApiConnectionManager::run(const std::shared_ptr<Attempt>& attempt) {
    settle(attempt, attempt->connection->send());
}

void ApiConnectionManager::settle(const std::shared_ptr<Attempt>& attempt,
                                  ApiConnection::Outcome outcome) {
    if (!outcome) {
        // Nothing was sent; the caller still gets its one answer.
        attempt->finish(Result::failure(0));
        return;
    }
    ApiConnection::Answer& answer = outcome.value();
    switch (classify(answer, attempt->isRetry)) {
        case Verdict::SUCCESS:
            attempt->finish(Result::success(std::move(answer.responseText), answer.status));
            return;
        case Verdict::FAILURE:
            attempt->finish(Result::failure(answer.status));
            return;
        case Verdict::RETRY:
            break;
    }
    if (attempt->retries >= MAX_RETRY) {
        SvlLog::warning("ApiConnectionManager retry failed. Skip retry uploading events.", true);
        attempt->finish(Result::failure(answer.status));
        return;
    }
    attempt->isRetry = true;
    const int retries = ++attempt->retries;
    auto attempts = attempt->attempts;
    platform::DispatchQueue::global().asyncAfter(RETRY_INTERVAL, [attempt] { run(attempt); });
    // Published once scheduled, so whoever sees the count can rely on the
    // retry being due RETRY_INTERVAL from now. The retry itself may already
    // have published a higher count: never move it back.
    int seen = attempts->load();
    while (seen < retries && !attempts->compare_exchange_weak(seen, retries)) {
    }
}

Result ApiConnectionManager::requestSync(const std::shared_ptr<ApiConnection>& connection) {
    if (!connection) {
        SvlLog::error(describe(ApiConnectionError::InvalidRequestError), false);
        return Result::failure(0);
    }
    ApiConnection::Outcome outcome = connection->send();
    if (!outcome) {
        return Result::failure(0);
    }
    ApiConnection::Answer& answer = outcome.value();
    if (classify(answer, false) == Verdict::SUCCESS) {
        return Result::success(std::move(answer.responseText), answer.status);
    }
    return Result::failure(answer.status);
}

}  // namespace sorvel

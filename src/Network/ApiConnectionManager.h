#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "Network/ApiConnection.h"
#include "Network/Result.h"
#include "Platform/Clock.h"

namespace sorvel {

// Sends a connection and classifies the answer:
//  - 2xx: success; with retries allowed, the text {"deeplink":null} is retried;
//  - 404 and 501..599: "Warning!! :: wrong appkey : ", the process-wide
//    wrong-app-key flag is raised, and with retries allowed the request is
//    retried;
//  - 400: "Warning!! :: Appkey is not valid : " and the SDK is disabled with
//    the reason "SorvelAllStop";
//  - anything else (500 and 0 included): failure.
// A retry resends the same connection MAX_RETRY times at most, each
// RETRY_INTERVAL later from the global queue. The completion runs exactly once,
// on the thread that sent the attempt deciding the outcome, right after the
// answer is classified; a request that cannot be formed or signed is answered
// at once with a failure of code 0 after its error line.
class ApiConnectionManager {
  public:
    static constexpr int MAX_RETRY = 3;
    static constexpr platform::Millis RETRY_INTERVAL = platform::Millis(10000);
    static constexpr const char* DISABLE_REASON_ALL_STOP = "SorvelAllStop";

    using Completion = std::function<void(const Result&)>;
    using DisableSdkHook = std::function<void(const std::string& reason)>;

    ApiConnectionManager();

    // Sends from the calling thread and waits for the first answer; returns
    // after the completion ran unless a retry was scheduled. `owner` is kept
    // until the completion has run (a completion that holds no state of its
    // own keeps it there).
    void request(std::shared_ptr<ApiConnection> connection, bool isRetry, Completion completion,
                 std::shared_ptr<const void> owner = nullptr);
    // One attempt, never retried; a 400 answer disables the SDK here too.
    Result requestSync(const std::shared_ptr<ApiConnection>& connection);

    // Retries run so far for the last request().
    int attemptCount() const;

    // The controller's disableSDK; until the core sets it, the request is only
    // logged. An empty function restores that default. (Common/CoreHooks.h)
    static void setDisableSdkHook(DisableSdkHook hook);

  private:
    struct Attempt;
    std::shared_ptr<Attempt> start(std::shared_ptr<ApiConnection> connection, bool isRetry,
                                   Completion completion, std::shared_ptr<const void> owner);
    static void run(const std::shared_ptr<Attempt>& attempt);
    static void settle(const std::shared_ptr<Attempt>& attempt, ApiConnection::Outcome outcome);

    std::shared_ptr<std::atomic<int>> attemptCount_;
};

}  // namespace sorvel

// 32 threads call every public call at random (all but gdprForgetMe, which
// disables the SDK for good) while the server double answers, fails, drops
// and delays at random and the served configuration pauses and un-pauses the
// SDK from one launch to the next. The sanitizer builds check the races; a
// watchdog fails a stall with every thread's stack; every event recorded is
// accounted for at the end.
//
// SORVEL_STRESS_SECONDS (default 3) sets how long the threads call,
// SORVEL_STRESS_SEED the random seed (printed), SORVEL_STRESS_STALL_SECONDS
// the watchdog's limit (default 30).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Common/DRState.h"
#include "Common/DataRegistry.h"
#include "Common/RegistryStates.h"
#include "Common/SvlLog.h"
#include "Core/DiContainer.h"
#include "Core/DisabledGuard.h"
#include "Event/EventBuffer.h"
#include "FacadeFixture.h"
#include "support/StallWatchdog.h"

namespace sorvel::facadetest {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr int kThreads = 32;
constexpr int kCallsPerSecond = 150;  // per thread

long envNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end != nullptr && *end == '\0' && value > 0) ? value : fallback;
}

// What the test knows of an event when it was recorded.
enum class Fate : std::uint8_t {
    PENDING,            // the SDK took it: it must arrive, unless the SDK was disabled later
    REFUSED_DISABLED,   // the SDK was disabled before and after the call
    STATE_CHANGED,      // taken or refused: the SDK was disabled or enabled during the call
    REFUSED_BAD_INPUT,  // an undeclared enum value, refused at the call
};

struct Recorded {
    int launch = 0;
    Fate fate = Fate::PENDING;
    int copies = 1;  // events the call sends: one per page of 100 products
};

// Every tracked event, by the id it carries in its attribute "sid", and every
// one the server acknowledged.
class Ledger {
  public:
    std::int64_t newId() { return next_.fetch_add(1, std::memory_order_relaxed); }
    void record(std::int64_t id, Recorded r) {
        std::lock_guard<std::mutex> lock(mu_);
        recorded_[id] = r;
    }
    void delivered(std::int64_t id) {
        std::lock_guard<std::mutex> lock(mu_);
        ++delivered_[id];
    }
    void deliveredUntracked() {
        std::lock_guard<std::mutex> lock(mu_);
        ++untracked_;
    }
    std::map<std::int64_t, Recorded> recorded() const {
        std::lock_guard<std::mutex> lock(mu_);
        return recorded_;
    }
    std::unordered_map<std::int64_t, int> deliveredCounts() const {
        std::lock_guard<std::mutex> lock(mu_);
        return delivered_;
    }
    std::int64_t untracked() const {
        std::lock_guard<std::mutex> lock(mu_);
        return untracked_;
    }

  private:
    std::atomic<std::int64_t> next_{1};
    mutable std::mutex mu_;
    std::map<std::int64_t, Recorded> recorded_;
    std::unordered_map<std::int64_t, int> delivered_;
    std::int64_t untracked_ = 0;
};

// The id of an acknowledged event ("sid" travels as "long:<id>").
std::optional<std::int64_t> sidOf(const Value& event) {
    const Value::Map* map = event.getMap();
    if (map == nullptr || !map->count("param")) {
        return std::nullopt;
    }
    const Value::Map* param = map->at("param").getMap();
    if (param == nullptr || !param->count("sid") || !param->at("sid").isString()) {
        return std::nullopt;
    }
    const std::string& text = *param->at("sid").getString();
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    return std::strtoll(text.c_str() + colon + 1, nullptr, 10);
}

class StressTest : public FacadeTest {
  protected:
    // Upload bodies are parsed whole as they are answered; few are kept.
    tools::ServerDouble::Options serverOptions() const override {
        tools::ServerDouble::Options options;
        options.keptBytesEach = 64 * 1024 * 1024;
        options.keptRequests = 16;
        options.keptBytes = 512 * 1024 * 1024;
        return options;
    }
};

// The answers of the endpoints the SDK uploads to, changed at random every few
// milliseconds: mostly 200, some at once, some late; a share of 500s and of
// connections dropped mid-answer.
class Chaos {
  public:
    Chaos(tools::ServerDouble& server, std::uint64_t seed) : server_(server), rng_(seed) {}
    ~Chaos() { stop(); }
    void start() {
        std::lock_guard<std::mutex> lock(mu_);
        if (thread_.joinable()) {
            return;
        }
        stop_ = false;
        thread_ = std::thread([this] { run(); });
    }
    // Stops changing; every endpoint answers 200 at once from now on.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
        for (auto endpoint : {Endpoint::EVENT_BULK, Endpoint::DRWORKS}) {
            server_.setDefaultAnswer(endpoint, tools::ServerDouble::defaultAnswer(endpoint));
        }
    }
    std::uint64_t changes() const { return changes_.load(); }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mu_);
        while (!stop_) {
            for (auto endpoint : {Endpoint::EVENT_BULK, Endpoint::DRWORKS}) {
                server_.setDefaultAnswer(endpoint, randomAnswer(endpoint));
            }
            ++changes_;
            const auto pace = std::chrono::milliseconds(5 + rng_() % 35);
            wake_.wait_for(lock, pace, [this] { return stop_; });
        }
    }
    tools::ScriptedAnswer randomAnswer(Endpoint endpoint) {
        tools::ScriptedAnswer answer = tools::ServerDouble::defaultAnswer(endpoint);
        const unsigned roll = rng_() % 100;
        if (roll < 15) {
            answer.status = 500;
            answer.body = "{}";
        } else if (roll < 25) {
            answer.dropConnection = true;
        }
        if (rng_() % 100 < 20) {
            answer.delay = std::chrono::milliseconds(rng_() % 200);
        }
        return answer;
    }

    tools::ServerDouble& server_;
    std::mt19937_64 rng_;
    std::mutex mu_;
    std::condition_variable wake_;
    bool stop_ = true;
    std::thread thread_;
    std::atomic<std::uint64_t> changes_{0};
};

// The delete and restart completions still to come, and those called twice.
struct CompletionCount {
    std::atomic<int> open{0};
    std::atomic<int> bad{0};
};

// One thread of the app: every public call, at random.
class Caller {
  public:
    Caller(Ledger& ledger, testing::StallWatchdog& watchdog, std::uint64_t seed, int launch,
           bool mayDelete, std::shared_ptr<CompletionCount> completions)
        : ledger_(ledger),
          watchdog_(watchdog),
          rng_(seed),
          launch_(launch),
          mayDelete_(mayDelete),
          completions_(std::move(completions)),
          guard_(DiContainer::shared().disabledGuard()) {}

    // Calls until `end`, at most kCallsPerSecond on average: a thread that
    // is ahead pauses, then catches up in a burst. Unpaced, 32 threads record
    // far more events in a few seconds than the pipeline sends in a minute.
    void runUntil(SteadyClock::time_point end) {
        const auto begin = SteadyClock::now();
        for (auto now = begin; now < end; now = SteadyClock::now()) {
            const auto due = begin + calls_ * std::chrono::microseconds(1000000 / kCallsPerSecond);
            if (due > now + 20ms) {
                std::this_thread::sleep_until(std::min(due, end));
                continue;
            }
            callOne();
            ++calls_;
            watchdog_.progress();
        }
    }
    std::int64_t calls() const { return calls_; }

  private:
    SorvelKV& kv() { return SorvelKV::getInstance(); }
    unsigned roll(unsigned n) { return static_cast<unsigned>(rng_() % n); }

    std::string someText() {
        static const char* const texts[] = {"plain",   "it's", "\"quoted\"", "한글 텍스트",
                                            "emoji 🎮", "",     "a,b;c",      "back\\slash"};
        return texts[roll(sizeof texts / sizeof texts[0])];
    }
    Value someValue() {
        switch (roll(4)) {
            case 0:
                return Value(static_cast<std::int64_t>(rng_() % 100000));
            case 1:
                return Value(static_cast<double>(roll(1000)) / 8.0);
            case 2:
                return Value(roll(2) == 0);
            default:
                return Value(someText());
        }
    }
    SorvelKvAttrModel someAttrs(std::optional<std::int64_t> sid = std::nullopt) {
        Value::Map map;
        const unsigned n = roll(4);
        for (unsigned i = 0; i < n; ++i) {
            map["k" + std::to_string(roll(6))] = someValue();
        }
        if (sid) {
            map["sid"] = Value(*sid);
        }
        SorvelKvAttrModel model;
        model.attrData = std::move(map);
        return model;
    }
    std::vector<SorvelKvCommerceProductModel> someProducts() {
        // Now and then more than one page of 100.
        return products(roll(20) == 0 ? 101 + static_cast<int>(roll(50))
                                      : static_cast<int>(roll(4)));
    }
    static int pagesOf(const std::vector<SorvelKvCommerceProductModel>& list) {
        return std::max<int>(1, static_cast<int>((list.size() + 99) / 100));
    }
    SorvelKvCommerceProductModel oneProduct() {
        return kv().createCommerceProductDataWithAttr(
            "p" + std::to_string(roll(100)), someText(), 9.5, 2, 0.5, std::string("KRW"),
            kv().createCommerceProductCategoryData("c1", "", "c3", "", ""), someAttrs());
    }

    // An event call with an id: the SDK's disabled state read just before
    // and just after tells whether the call was refused for it.
    template <typename Call>
    void tracked(Call&& call, int copies = 1, bool badInput = false) {
        const std::int64_t id = ledger_.newId();
        const bool disabledBefore = guard_->isSorvelDisabled();
        call(someAttrs(id));
        const bool disabledAfter = guard_->isSorvelDisabled();
        Recorded r;
        r.launch = launch_;
        r.copies = copies;
        r.fate = badInput ? Fate::REFUSED_BAD_INPUT
                          : (disabledBefore != disabledAfter
                                 ? Fate::STATE_CHANGED
                                 : (disabledBefore ? Fate::REFUSED_DISABLED : Fate::PENDING));
        ledger_.record(id, r);
    }

    SorvelCompletionHandler completion() {
        ++completions_->open;
        auto calls = std::make_shared<std::atomic<int>>(0);
        // Holds what it counts on: it may come after this caller is gone.
        return [count = completions_, calls](Completion) {
            if (calls->fetch_add(1) == 0) {
                --count->open;
            } else {
                ++count->bad;
            }
            testing::notifyWaiters();
        };
    }

    void callOne() {
        const std::string user = "user" + std::to_string(roll(4));
        switch (roll(46)) {
            // Custom events.
            case 0:
            case 1:
            case 2:
            case 3:
                tracked([&](const SorvelKvAttrModel& a) { kv().eventWithAttr("stress_event", a); });
                break;
            case 4:
                tracked([&](const SorvelKvAttrModel& a) {
                    kv().eventForUnityWithAttr("unity_event", a);
                });
                break;
            case 5:
                kv().event("plain_event");
                break;
            // Predefined events, with attributes (tracked) and without.
            case 6:
                tracked([&](const SorvelKvAttrModel& a) {
                    kv().commonSignUpWithAttr(SorvelKvSignUpChannel::GOOGLE, a);
                });
                break;
            case 7:
                tracked([&](const SorvelKvAttrModel& a) {
                    kv().commonAppUpdateWithAttr("1.0", someText(), a);
                });
                break;
            case 8:
                tracked([&](const SorvelKvAttrModel& a) {
                    kv().commonInviteWithAttr(SorvelKvInviteChannel::LINE, a);
                });
                break;
            case 9:
                tracked([&](const SorvelKvAttrModel& a) { kv().commonUseCreditWithAttr(a); });
                break;
            case 10: {
                auto list = someProducts();
                const int pages = pagesOf(list);
                tracked(
                    [&](const SorvelKvAttrModel& a) {
                        kv().commonPurchaseWithAttr("o1", std::move(list), 10.0, 1.0, 2.0,
                                                    SorvelKvPaymentMethod::CREDIT_CARD, a);
                    },
                    pages);
                break;
            }
            case 11:
                tracked([&](const SorvelKvAttrModel& a) { kv().commerceViewHomeWithAttr(a); });
                break;
            case 12: {
                auto list = someProducts();
                const int pages = pagesOf(list);
                tracked(
                    [&](const SorvelKvAttrModel& a) {
                        kv().commerceCategoryViewWithAttr(
                            kv().createCommerceProductCategoryData("a", "b", "", "", ""),
                            std::move(list), a);
                    },
                    pages);
                break;
            }
            case 13:
                tracked([&](const SorvelKvAttrModel& a) {
                    kv().commerceProductViewWithAttr(oneProduct(), a);
                });
                break;
            case 14: {
                auto list = someProducts();
                const int pages = pagesOf(list);
                tracked(
                    [&](const SorvelKvAttrModel& a) {
                        kv().commerceAddToCartWithAttr(std::move(list), a);
                    },
                    pages);
                break;
            }
            case 15:
                tracked([&](const SorvelKvAttrModel& a) {
                    kv().commerceAddToWishListWithAttr(oneProduct(), a);
                });
                break;
            case 16: {
                auto list = someProducts();
                const int pages = pagesOf(list);
                tracked(
                    [&](const SorvelKvAttrModel& a) {
                        kv().commerceReviewOrderWithAttr("o2", std::move(list), 1.0, 2.0, a);
                    },
                    pages);
                break;
            }
            case 17: {
                auto list = someProducts();
                const int pages = pagesOf(list);
                tracked(
                    [&](const SorvelKvAttrModel& a) {
                        kv().commerceRefundWithAttr("o3", std::move(list), 3.0, a);
                    },
                    pages);
                break;
            }
            case 18: {
                auto list = someProducts();
                const int pages = pagesOf(list);
                tracked(
                    [&](const SorvelKvAttrModel& a) {
                        kv().commerceSearchWithAttr(std::move(list), someText(), a);
                    },
                    pages);
                break;
            }
            case 19:
                tracked([&](const SorvelKvAttrModel& a) {
                    kv().commerceShareWithAttr(SorvelKvSharingChannel::SMS, oneProduct(), a);
                });
                break;
            case 20: {
                auto list = someProducts();
                const int pages = pagesOf(list);
                tracked(
                    [&](const SorvelKvAttrModel& a) {
                        if (roll(2) == 0) {
                            kv().commerceListViewWithAttr(std::move(list), a);
                        } else {
                            kv().commerceCartViewWithAttr(std::move(list), a);
                        }
                    },
                    pages);
                break;
            }
            case 21:
                tracked(
                    [&](const SorvelKvAttrModel& a) { kv().commercePaymentInfoAddedWithAttr(a); });
                break;
            case 22:
                tracked([&](const SorvelKvAttrModel& a) {
                    switch (roll(4)) {
                        case 0:
                            kv().gameTutorialCompletedWithAttr(roll(2) == 0, a);
                            break;
                        case 1:
                            kv().gameCharacterCreatedWithAttr(a);
                            break;
                        case 2:
                            kv().gameStageClearedWithAttr(someText(), a);
                            break;
                        default:
                            kv().gameLevelAchievedWithAttr(roll(99), a);
                            break;
                    }
                });
                break;
            case 23:
                // Undeclared enum values: refused at the call.
                tracked(
                    [&](const SorvelKvAttrModel& a) {
                        switch (roll(3)) {
                            case 0:
                                kv().commonSignUpWithAttr(static_cast<SorvelKvSignUpChannel>(977),
                                                          a);
                                break;
                            case 1:
                                kv().commonInviteWithAttr(static_cast<SorvelKvInviteChannel>(-4),
                                                          a);
                                break;
                            default:
                                kv().commerceShareWithAttr(static_cast<SorvelKvSharingChannel>(0),
                                                           oneProduct(), a);
                                break;
                        }
                    },
                    1, true);
                break;
            case 24:
                switch (roll(6)) {
                    case 0:
                        kv().commonSignUp(SorvelKvSignUpChannel::KAKAO);
                        break;
                    case 1:
                        kv().commerceViewHome();
                        break;
                    case 2:
                        kv().commercePaymentInfoAdded();
                        break;
                    case 3:
                        kv().gameCharacterCreated();
                        break;
                    case 4:
                        kv().commerceAddToCart(products(2));
                        break;
                    default:
                        kv().gameLevelAchieved(7);
                        break;
                }
                break;
            // Identity and properties.
            case 25:
                kv().login(user);
                break;
            case 26:
                kv().logout();
                break;
            case 27:
                kv().setAge(static_cast<std::int64_t>(roll(90)));
                kv().setGender(kv().convertGender(roll(4)));
                break;
            case 28:
                kv().setUserPropertiesWithAttr(roll(8) == 0 ? attrs({{"user_id", Value(3)}})
                                                            : someAttrs());
                break;
            case 29:
                kv().clearUserProperties();
                break;
            case 30:
                kv().setKakaoId(someText());
                kv().setUserCiWithAttr(someAttrs());
                break;
            case 31:
                kv().setLocation(37.5 + roll(100) / 100.0, 127.0);
                break;
            // Deeplinks, intervals, life cycle.
            case 32:
                kv().deepLinkOpen(roll(3) == 0 ? std::string("not a url")
                                               : "myapp://open?svl_campaign=c" +
                                                     std::to_string(roll(5)) + "&x=1");
                break;
            case 33:
                kv().setEventUploadCountInterval(kv().convertCountInterval(roll(2) == 0 ? 10 : 60));
                kv().setEventUploadTimeInterval(kv().convertTimeInterval(roll(2) == 0 ? 30 : 120));
                break;
            case 34:
                if (roll(2) == 0) {
                    kv().willResignActive();
                    kv().didBecomeActive();
                } else {
                    SorvelHost::applicationWillResignActive();
                    SorvelHost::applicationDidBecomeActive();
                }
                break;
            // Delegates: set, cleared and read while the SDK may call them.
            case 35:
                kv().setDeeplinkDelegate(
                    roll(3) == 0 ? nullptr : makeDeeplinkDelegate([](const std::string&) {
                        SorvelKV::getInstance().getDeeplinkDelegate();
                        SorvelKV::getInstance().isGdprForgetMe();
                    }));
                kv().setDeferredDeeplinkDelegate(
                    makeDeferredDeeplinkDelegate([](const std::string&) {
                        SorvelKV::getInstance().getDeferredDeeplinkDelegate();
                    }));
                break;
            case 36:
                kv().setLogDelegate(roll(2) == 0
                                        ? nullptr
                                        : makeLogDelegate([](SorvelLogLevel, const std::string&) {
                                              SorvelKV::getInstance().getLogDelegate();
                                          }));
                kv().setInAppMessageClickDelegate(makeInAppMessageClickDelegate(
                    [](const std::string&, const std::string&, const std::string&, bool) {}));
                break;
            case 37:
                kv().setSorvelKvPushLocalDelegate(
                    makePushLocalDelegate([](const Value::Map&, SorvelKvApplicationState) {}));
                kv().setSorvelKvPushRemoteDelegate(
                    roll(2) == 0 ? nullptr
                                 : makePushRemoteDelegate(
                                       [](const Value::Map&, SorvelKvApplicationState) {}));
                break;
            case 38:
                kv().getLogDelegate();
                kv().getDeeplinkDelegate();
                kv().getDeferredDeeplinkDelegate();
                kv().getInAppMessageClickDelegate();
                kv().getSorvelKvPushLocalDelegate();
                kv().getSorvelKvPushRemoteDelegate();
                break;
            // Settings, diagnostics, the pure calls.
            case 39:
                kv().setDeviceId("device-" + std::to_string(roll(3)));
                kv().printSdkState();
                break;
            case 40:
                if (roll(2) == 0) {
                    kv().stopGettingIDFA();
                } else {
                    kv().startGettingIDFA();
                }
                kv().isGdprForgetMe();
                break;
            case 41: {
                const auto v = static_cast<std::int64_t>(roll(16));
                kv().getSignUpChannel(v);
                kv().getInviteChannel(v);
                kv().getPaymentMethod(v);
                kv().getSharingChannel(v);
                kv().getCurrencyString(v);
                kv().getSignUpChannelBySorvelKvSignUpChannel(kv().convertSignUpChannel(v));
                kv().getInviteChannelBySorvelKvSignUpChannel(kv().convertInviteChannel(v));
                kv().getPaymentMethodBySorvelKvPaymentMethod(kv().convertPayment(v));
                kv().getSharingChannelBySorvelKvSharingChannel(kv().convertChannel(v));
                kv().getCurrencyStringBySorvelCurrencyType(SorvelKvCurrencyType::USD);
                break;
            }
            case 42:
                // A second start is refused with a warning.
                kv().initSorvel(kAppKey, kSecretKey);
                break;
            case 43:
                kv().commonAppUpdate("1", "2");
                kv().gameStageCleared("s");
                break;
            // Deleting the user's data stops the SDK until a restart.
            case 44:
                if (mayDelete_ && roll(8) == 0) {
                    kv().deleteUserDataAndStopSDK(user, completion());
                }
                break;
            default:
                if (mayDelete_ && roll(8) == 0) {
                    kv().restartSDK(user, completion());
                }
                break;
        }
    }

    Ledger& ledger_;
    testing::StallWatchdog& watchdog_;
    std::mt19937_64 rng_;
    const int launch_;
    const bool mayDelete_;
    const std::shared_ptr<CompletionCount> completions_;
    const std::shared_ptr<SorvelDisabledGuard> guard_;
    std::int64_t calls_ = 0;
};

std::string configText(bool pause) {
    return std::string("{\"pause\": ") + (pause ? "true" : "false") + "}";
}

TEST_F(StressTest, ThirtyTwoThreadsCallEverythingWhileTheServerMisbehavesAndNothingIsLost) {
    const long seconds = envNumber("SORVEL_STRESS_SECONDS", 3);
    const auto seed = static_cast<std::uint64_t>(
        envNumber("SORVEL_STRESS_SEED", static_cast<long>(std::random_device{}() & 0x7fffffff)));
    std::printf("stress: %ld s, seed %llu (SORVEL_STRESS_SEED repeats it)\n", seconds,
                static_cast<unsigned long long>(seed));
    std::mt19937_64 rng(seed);
    testing::StallWatchdog watchdog(
        "the stress test", std::chrono::seconds(envNumber("SORVEL_STRESS_STALL_SECONDS", 30)));

    // Launches of the app: the first may delete the user's data; the second
    // is served a pause, which stops it mid-way; the third starts paused (the
    // stored flag) and is served the pause's end; a middle one is served a
    // pause one time in four (a pause drops what earlier launches left
    // unsent, so fewer pauses leave more events owed); the last two are served no pause, so the
    // last one runs undisturbed and every event it takes must arrive.
    const int launches = std::max<int>(4, static_cast<int>(seconds * 4 / 3));
    std::vector<bool> pausePlan(static_cast<std::size_t>(launches), false);
    pausePlan[1] = true;
    for (int i = 3; i < launches - 2; ++i) {
        pausePlan[static_cast<std::size_t>(i)] = rng() % 4 == 0;
    }
    const auto launchTime =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::seconds(seconds)) /
        launches;

    Ledger ledger;
    server_->setAnswerObserver([&](const tools::RecordedRequest& r) {
        watchdog.progress();
        if (r.endpoint == Endpoint::EVENT_BULK && r.status == 200 && !r.bodyCut()) {
            auto body = Value::fromJson(r.decodedBody);
            const Value::Map* map = body ? body->getMap() : nullptr;
            if (map != nullptr && map->count("evts") && map->at("evts").getArray() != nullptr) {
                for (const auto& e : *map->at("evts").getArray()) {
                    if (auto sid = sidOf(e)) {
                        ledger.delivered(*sid);
                    } else {
                        ledger.deliveredUntracked();
                    }
                }
            }
        }
        testing::notifyWaiters();
    });
    Chaos chaos(*server_, rng());
    // The server's threads call the observer above until the server stops:
    // it stops before the ledger and the watchdog go, however the test ends.
    struct StopFirst {
        tools::ServerDouble& server;
        ~StopFirst() { server.stop(); }
    } stopFirst{*server_};
    auto completions = std::make_shared<CompletionCount>();
    std::int64_t calls = 0;
    // Why the SDK disabled itself, per launch (empty: it never did), and how
    // often it refused a call as disabled.
    std::vector<std::vector<std::string>> disabledReasons;
    std::vector<int> refusalLines;
    // The stored list keeps at most the cap of unsent events. When the
    // server's outages pile more up, the checkpoint an ending launch writes
    // names in a warning how many it leaves out, and a start names those its
    // replay drops: up to that many owed events may go missing; more is a
    // loss.
    std::int64_t cappedOut = 0;
    auto overCapCount = [&](const std::string& line, std::string_view tail) -> std::int64_t {
        const auto at = line.find(" events over the cap of ");
        if (at == std::string::npos || line.find(tail) == std::string::npos) {
            return -1;
        }
        const auto from = line.rfind(" :: ", at);
        return from == std::string::npos ? -1 : std::atoll(line.c_str() + from + 4);
    };
    // A start drops what it finds over the cap, and names what the launch
    // before it left out of its last list for the cap.
    auto countStartDrops = [&] {
        for (const auto& line : logs_.lines()) {
            cappedOut += std::max<std::int64_t>(0, overCapCount(line, "unsent events dropped"));
            cappedOut += std::max<std::int64_t>(
                0, overCapCount(line, "unsent events were lost with the process that held them"));
        }
    };
    // Right after a relaunch the log holds only what the old launch wrote on
    // its way out; what it left out for the cap the next start names.
    auto countLeftAtRelaunch = [&] { logs_.clear(); };

    // Every fetch of the configuration since the last clear of the log was
    // answered and applied (or its failure logged).
    auto countLines = [&](const char* text) {
        const auto lines = logs_.lines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    auto configSettled = [&] {
        EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
        SvlLog::flush();
        const auto asked = countLines("requestAppConfig API called!");
        return asked > 0 && testing::waitUntil(
                                [&] {
                                    return countLines("App-Config : connectSuccess") +
                                               countLines("AppSyncConfig Failed") >=
                                           asked;
                                },
                                30s);
    };
    // Every delete and restart completion is called, except those the SDK
    // says it ignores: a repeat while one is in flight, or one that meets
    // the SDK while it starts.
    int ignoredEarlier = 0;
    auto ignoredCompletions = [&] {
        int n = 0;
        for (const auto& line : logs_.lines()) {
            for (const char* text :
                 {"Delete API is already processing!", "InitRestart API is already processing!",
                  "초기화전에 deleteUserData 함수가", "초기화전에 restartSDK 함수가"}) {
                n += line.find(text) != std::string::npos;
            }
        }
        return n;
    };
    auto awaitCompletions = [&](int launch) {
        EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
        SvlLog::flush();
        const int expected = ignoredEarlier + ignoredCompletions();
        EXPECT_TRUE(testing::waitUntil([&] { return completions->open.load() == expected; }, 60s))
            << completions->open.load() << " completions open in launch " << launch << ", "
            << expected << " ignored with their line";
        EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    };
    // Everything the launch started has ended: the completions called, the
    // configuration applied, the app resigned and its uploads done; then the
    // reasons the SDK gave for disabling itself.
    auto settle = [&](int launch) {
        awaitCompletions(launch);
        EXPECT_TRUE(configSettled()) << "launch " << launch << " never applied its configuration";
        SorvelHost::applicationWillResignActive();
        EXPECT_TRUE(DiContainer::shared().drain());
        SvlLog::flush();
        watchdog.progress();
        // The SDK drops what it holds when it disables itself, and the
        // events that meet it while it starts again. A call the facade
        // refuses while the stored pause holds drops nothing taken before.
        std::vector<std::string> reasons;
        const std::string because = "SVL SDK가 Disabled 되었습니다. 이유는 = ";
        refusalLines.push_back(0);
        for (const auto& line : logs_.lines()) {
            if (const auto at = line.find(because); at != std::string::npos) {
                reasons.push_back(line.substr(at + because.size()));
            } else if (line.find("초기화전에 logEvent 함수가") != std::string::npos ||
                       line.find("초기화전에 logSameEventWithPaging 함수가") != std::string::npos) {
                reasons.push_back("an event met the SDK while it started again");
            } else if (line.find("Sorvel Disabled : true") != std::string::npos) {
                ++refusalLines.back();
            }
        }
        disabledReasons.push_back(std::move(reasons));
        ignoredEarlier += ignoredCompletions();
        countStartDrops();
        logs_.clear();
    };

    chaos.start();
    for (int launch = 0; launch < launches; ++launch) {
        const bool pause = pausePlan[static_cast<std::size_t>(launch)];
        tools::ScriptedAnswer config;
        config.body = configText(pause);
        // The configuration lands at a random moment of the launch.
        config.delay = std::chrono::milliseconds(rng() % (launchTime.count() / 2 + 1));
        server_->setDefaultAnswer(Endpoint::CONFIG, config);
        if (launch > 0) {
            sdk_.relaunch();
            countLeftAtRelaunch();
            hostSetUp();
        }
        start();
        std::vector<std::unique_ptr<Caller>> callers;
        for (int t = 0; t < kThreads; ++t) {
            callers.push_back(std::make_unique<Caller>(ledger, watchdog, rng(), launch, launch == 0,
                                                       completions));
        }
        const auto end = SteadyClock::now() + launchTime;
        std::vector<std::thread> threads;
        for (auto& caller : callers) {
            threads.emplace_back([&caller, end] { caller->runUntil(end); });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        for (auto& caller : callers) {
            calls += caller->calls();
        }
        if (launch == 0) {
            // A deletion left standing, or a restart the server never
            // confirmed, is settled by a restart the server answers: the
            // first disables the launches that follow, the second holds
            // every upload back.
            awaitCompletions(launch);
            const auto registry = DiContainer::shared().dataRegistry();
            const DRStateResult result = FvnUtil::getDRState(*registry);
            if (result && (isDeleteState(result.value()) ||
                           result.value() == DRState::INIT_RESTART_NOT_SYNCED)) {
                chaos.stop();
                auto restarted = std::make_shared<std::atomic<bool>>(false);
                kv().restartSDK("user0", [restarted](Completion c) {
                    *restarted = c == Completion::SUCCESS;
                    testing::notifyWaiters();
                });
                ASSERT_TRUE(testing::waitUntil([&] { return restarted->load(); }, 30s))
                    << "the restart after a deletion did not succeed";
                chaos.start();
            }
        }
        const auto settling = SteadyClock::now();
        settle(launch);
        std::string reasons;
        for (const auto& reason : disabledReasons.back()) {
            if (reasons.find(reason) == std::string::npos) {
                reasons += (reasons.empty() ? "" : "; ") + reason;
            }
        }
        std::printf(
            "stress: launch %d served pause %d, %s, %d calls refused as disabled; settled in %lld "
            "ms\n",
            launch, pause ? 1 : 0,
            reasons.empty() ? "never disabled itself" : ("disabled: " + reasons).c_str(),
            refusalLines.back(),
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - settling)
                    .count()));
    }

    // The end: the server answers 200 at once and serves no pause; the app is
    // launched once more and resigns until every event it owes has arrived.
    chaos.stop();
    server_->setConfigText(configText(false));
    sdk_.relaunch();
    countLeftAtRelaunch();
    hostSetUp();
    start();
    ASSERT_TRUE(configSettled());
    ASSERT_TRUE(testing::pollUntil(
        [] {
            return DiContainer::shared()
                       .defaultSVLContextController()
                       ->currentContext()
                       ->contextState() == SVLContextState::ACTIVE;
        },
        30s))
        << "the last launch did not become active";

    const auto recorded = ledger.recorded();
    // A launch in which the SDK disabled itself may have dropped what it held,
    // and what earlier launches left unsent: an event it took is owed unless
    // its launch or a later one disabled itself.
    std::vector<bool> excused(static_cast<std::size_t>(launches) + 1, false);
    for (int i = launches - 1; i >= 0; --i) {
        const auto at = static_cast<std::size_t>(i);
        excused[at] = excused[at + 1] || !disabledReasons[at].empty();
    }
    int undisturbed = 0;
    for (int i = 0; i < launches; ++i) {
        undisturbed += !excused[static_cast<std::size_t>(i)];
    }
    auto owed = [&](const Recorded& r) {
        return r.fate == Fate::PENDING && !excused[static_cast<std::size_t>(r.launch)];
    };
    auto missing = [&] {
        const auto delivered = ledger.deliveredCounts();
        std::int64_t n = 0;
        for (const auto& [id, r] : recorded) {
            const auto it = delivered.find(id);
            if (owed(r) && (it == delivered.end() || it->second < r.copies)) {
                ++n;
            }
        }
        return n;
    };
    const auto draining = SteadyClock::now();
    const auto deadline = draining + 60s;
    // What the last start dropped over the cap is not waited for.
    countStartDrops();
    while (missing() > cappedOut && SteadyClock::now() < deadline) {
        SorvelHost::applicationWillResignActive();
        testing::waitUntil([&] { return missing() <= cappedOut; }, 2s);
        SorvelHost::applicationDidBecomeActive();
        watchdog.progress();
    }
    SorvelHost::applicationWillResignActive();
    EXPECT_TRUE(DiContainer::shared().drain());
    std::printf("stress: the owed events arrived in %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           SteadyClock::now() - draining)
                                           .count()));
    EXPECT_FALSE(logs_.contains("SVL SDK가 Disabled")) << "the last launch disabled itself";

    // The accounts.
    const auto delivered = ledger.deliveredCounts();
    std::int64_t pending = 0, refusedDisabled = 0, refusedBadInput = 0, arrived = 0,
                 droppedWhileDisabled = 0, lost = 0, duplicates = 0, strict = 0,
                 refusedButArrived = 0, changed = 0, changedArrived = 0;
    std::vector<std::string> lostSamples;
    for (const auto& [id, r] : recorded) {
        const auto it = delivered.find(id);
        const int copies = it == delivered.end() ? 0 : it->second;
        if (copies > r.copies) {
            duplicates += copies - r.copies;
        }
        switch (r.fate) {
            case Fate::REFUSED_DISABLED:
                ++refusedDisabled;
                refusedButArrived += copies > 0;
                continue;
            case Fate::REFUSED_BAD_INPUT:
                ++refusedBadInput;
                refusedButArrived += copies > 0;
                continue;
            case Fate::STATE_CHANGED:
                ++changed;
                changedArrived += copies >= r.copies;
                continue;
            case Fate::PENDING:
                ++pending;
                break;
        }
        strict += owed(r);
        if (copies >= r.copies) {
            ++arrived;
        } else if (owed(r)) {
            ++lost;
            if (lostSamples.size() < 10) {
                lostSamples.push_back("event sid " + std::to_string(id) + " of launch " +
                                      std::to_string(r.launch) + " never arrived (" +
                                      std::to_string(copies) + " of " + std::to_string(r.copies) +
                                      " pages)");
            }
        } else {
            ++droppedWhileDisabled;
        }
    }
    std::printf(
        "stress: %d threads, %d launches, %lld calls, %llu server answer changes\n"
        "stress: events recorded %zu: taken %lld (arrived %lld, dropped as the SDK disabled "
        "itself then or later %lld, lost %lld), refused as disabled %lld, refused as bad input "
        "%lld, recorded while the SDK changed state %lld (%lld arrived); duplicates %lld; "
        "untracked SDK events arrived %lld; %lld taken in the %d launches not followed by a "
        "disable were owed; %lld left out over the cap of unsent events\n",
        kThreads, launches, static_cast<long long>(calls),
        static_cast<unsigned long long>(chaos.changes()), recorded.size(),
        static_cast<long long>(pending), static_cast<long long>(arrived),
        static_cast<long long>(droppedWhileDisabled), static_cast<long long>(lost),
        static_cast<long long>(refusedDisabled), static_cast<long long>(refusedBadInput),
        static_cast<long long>(changed), static_cast<long long>(changedArrived),
        static_cast<long long>(duplicates), static_cast<long long>(ledger.untracked()),
        static_cast<long long>(strict), undisturbed, static_cast<long long>(cappedOut));

    EXPECT_LE(lost, cappedOut) << "events the SDK took and never sent, beyond those it left out "
                                  "over the cap with a warning";
    if (lost > cappedOut) {
        for (const auto& sample : lostSamples) {
            ADD_FAILURE() << sample;
        }
    }
    EXPECT_EQ(refusedButArrived, 0) << "events refused at the call arrived all the same";
    EXPECT_EQ(duplicates, 0) << "events the server acknowledged were sent again";
    EXPECT_EQ(completions->bad.load(), 0) << "completions called more than once";
    // The plan makes the pause flip both ways and leaves the last launch
    // undisturbed, so every kind of account is exercised.
    EXPECT_FALSE(disabledReasons[1].empty()) << "the served pause never stopped the SDK";
    EXPECT_GT(undisturbed, 0) << "no launch ran undisturbed";
    EXPECT_GT(strict, 0) << "no event was owed: the check proved nothing";
    EXPECT_GT(refusedDisabled, 0);
    EXPECT_GT(refusedBadInput, 0);
}

}  // namespace
}  // namespace sorvel::facadetest

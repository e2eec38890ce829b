#include "Common/FvnUtil.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>

#include "Base/Hex.h"
#include "Base/TextUnits.h"
#include "Base/Url.h"
#include "Base/ValueText.h"
#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/Extensions.h"
#include "Common/SvlLog.h"
#include "Platform/Crypto.h"
#include "Platform/Dispatch.h"
#include "Platform/Locale.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"
#include "Platform/Reachability.h"

namespace sorvel {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// The erasure re-send of the forget-me check, and the hook to the use case.
struct GdprState {
    platform::Mutex mu;
    platform::CondVar idle{&mu};
    FvnUtil::GdprAction hook GUARDED_BY(mu);
    bool inFlight GUARDED_BY(mu) = false;
    // Which re-send inFlight belongs to: a ticket of an earlier one (or of an
    // SDK instance a test already replaced) must not end the current one.
    std::uint64_t generation GUARDED_BY(mu) = 0;
    // Counts the re-sends that ended, so a check can tell that one ended
    // between its read of the confirmation and its start of another.
    std::uint64_t ended GUARDED_BY(mu) = 0;
    std::shared_ptr<platform::DispatchQueue> queue GUARDED_BY(mu);

    GdprState() {
        // The hook points into one SDK instance; a fresh one starts without,
        // and without a re-send of the old one counting as in flight.
        platform::registerResetHook([this] {
            platform::MutexLock lock(mu);
            hook = nullptr;
            inFlight = false;
            ++generation;
            idle.signalAll();
        });
    }
};

// Never torn down: a re-send may be waiting on the network when the process
// exits, and exit must neither join its thread (minutes of retries) nor pull
// the state from under it.
GdprState& gdprState() {
    static platform::NoDestructor<GdprState> s;
    return s.get();
}

// Keeps one re-send in flight for as long as anything holds it: the action's
// `done` carries it to the connection manager's completion, which lives until
// the last retry has been answered. Released by that call, or when the last
// holder drops it without calling.
class ResendTicket {
  public:
    explicit ResendTicket(std::uint64_t generation) : generation_(generation) {}
    ~ResendTicket() { release(); }
    ResendTicket(const ResendTicket&) = delete;
    ResendTicket& operator=(const ResendTicket&) = delete;

    void release() {
        if (released_.exchange(true)) {
            return;
        }
        auto& s = gdprState();
        platform::MutexLock lock(s.mu);
        if (s.generation == generation_) {
            s.inFlight = false;
            ++s.ended;
            s.idle.signalAll();
        }
    }

  private:
    const std::uint64_t generation_;
    std::atomic<bool> released_{false};
};

// Floor division, so times before 1970 keep a non-negative remainder.
std::pair<std::int64_t, std::int64_t> splitNanos(platform::WallTime t) {
    const std::int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    std::int64_t secs = ns / kNanosPerSecond;
    std::int64_t rest = ns % kNanosPerSecond;
    if (rest < 0) {
        rest += kNanosPerSecond;
        --secs;
    }
    return {secs, rest};
}

// "yyyy-MM-dd'T'HH:mm:ss" of the UTC second.
std::string utcSecondText(std::int64_t secs) {
    const platform::CivilTime c = platform::utcCivilTime(secs);
    if (c.year >= 0 && c.year <= 9999) {
        // Every event and request is stamped: written digit by digit, not
        // through snprintf's format parsing.
        std::string out = "0000-00-00T00:00:00";
        auto put = [&out](std::size_t at, std::int64_t value, int digits) {
            for (int i = digits - 1; i >= 0; --i, value /= 10) {
                out[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
            }
        };
        put(0, c.year, 4);
        put(5, c.month, 2);
        put(8, c.day, 2);
        put(11, c.hour, 2);
        put(14, c.minute, 2);
        put(17, c.second, 2);
        return out;
    }
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%04lld-%02d-%02dT%02d:%02d:%02d",
                  static_cast<long long>(c.year), c.month, c.day, c.hour, c.minute, c.second);
    return buf;
}

bool readDigits(std::string_view text, std::size_t& pos, std::size_t count, int& out) {
    if (pos + count > text.size()) {
        return false;
    }
    int v = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    pos += count;
    out = v;
    return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

void appendTyped(Value::Map& out, const std::string& key, const Value& v);

Value typed(const Value& v) {
    if (const std::string* s = v.getString()) {
        return Value("string:" + *s);
    }
    if (const bool* b = v.getBool()) {
        return Value(std::string(*b ? "boolean:true" : "boolean:false"));
    }
    if (const std::int64_t* i = v.getInt64()) {
        return Value("long:" + std::to_string(*i));
    }
    if (const std::uint64_t* u = v.getUInt64()) {
        return Value("long:" + std::to_string(*u));
    }
    if (const double* d = v.getDouble()) {
        detail::DoubleText buf;
        return Value("double:" + std::string(detail::formatDouble(*d, buf)));
    }
    if (const Value::Map* m = v.getMap()) {
        Value::Map nested;
        for (const auto& [k, e] : *m) {
            appendTyped(nested, k, e);
        }
        return Value(std::move(nested));
    }
    // Other kinds are sent as a text describing them.
    if (v.isNull()) {
        return Value(std::string("string:<null>"));
    }
    if (const Value::Bytes* bytes = v.getBytes()) {
        return Value("string:" + std::to_string(bytes->size()) + " bytes");
    }
    return Value("string:" + v.render());
}

void appendTyped(Value::Map& out, const std::string& key, const Value& v) {
    out.emplace_hint(out.end(), key, typed(v));
}

}  // namespace

const char* describe(JsonError error) noexcept {
    switch (error) {
        case JsonError::dictionaryConvertingError:
            return "Util.jsonString2JsonDic:: can not convert jsonObject to dictionary";
        case JsonError::invalidJsonError:
            return "Util.jsonString2JsonDic:: text is not valid JSON";
    }
    return "Util.jsonString2JsonDic:: unknown error";
}

// ---- FixedDateFormatter ---------------------------------------------------

std::string FixedDateFormatter::string(platform::WallTime date) const {
    auto [secs, nanos] = splitNanos(date);
    std::string out = utcSecondText(secs);
    if (fractionDigits_ > 0) {
        // Digits of the nanoseconds, most significant first, cut after the
        // pattern's count.
        out.push_back('.');
        std::int64_t unit = kNanosPerSecond;
        for (int i = 0; i < fractionDigits_ && i < 9; ++i) {
            unit /= 10;
            out.push_back(static_cast<char>('0' + (nanos / unit) % 10));
        }
    }
    if (zulu_) {
        out.push_back('Z');
    }
    return out;
}

std::optional<platform::WallTime> FixedDateFormatter::date(std::string_view text) const {
    std::size_t pos = 0;
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') ||
        !readDigits(text, pos, 2, month) || !expect(text, pos, '-') ||
        !readDigits(text, pos, 2, day) || !expect(text, pos, 'T') ||
        !readDigits(text, pos, 2, hour) || !expect(text, pos, ':') ||
        !readDigits(text, pos, 2, minute) || !expect(text, pos, ':') ||
        !readDigits(text, pos, 2, second)) {
        return std::nullopt;
    }
    std::int64_t nanos = 0;
    if (fractionDigits_ > 0) {
        if (!expect(text, pos, '.')) {
            return std::nullopt;
        }
        std::int64_t unit = kNanosPerSecond;
        for (int i = 0; i < fractionDigits_; ++i) {
            int digit = 0;
            if (!readDigits(text, pos, 1, digit)) {
                return std::nullopt;
            }
            unit /= 10;
            nanos += digit * unit;
        }
    }
    if (zulu_ && !expect(text, pos, 'Z')) {
        return std::nullopt;
    }
    if (pos != text.size()) {
        return std::nullopt;
    }
    platform::CivilTime civil;
    civil.year = year;
    civil.month = month;
    civil.day = day;
    civil.hour = hour;
    civil.minute = minute;
    civil.second = second;
    // Nothing for a text that names no real time (February 30, hour 24).
    const auto t = platform::epochSecondsOfUtc(civil);
    if (!t) {
        return std::nullopt;
    }
    // Beyond about ±292 years the nanosecond clock cannot hold the time.
    constexpr std::int64_t kLimit = 9'000'000'000LL;
    if (*t > kLimit || *t < -kLimit) {
        return std::nullopt;
    }
    return platform::WallTime(std::chrono::duration_cast<platform::WallTime::duration>(
        std::chrono::seconds(*t) + std::chrono::nanoseconds(nanos)));
}

// ---- Time and ids -----------------------------------------------------------

std::string FvnUtil::getCurrentDatetimeString() {
    static constexpr FixedDateFormatter kFormat(3, true);
    return kFormat.string(platform::clock().wallNow());
}

std::string FvnUtil::createEventId() {
    const std::int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                platform::clock().wallNow().time_since_epoch())
                                .count();
    std::string id = std::to_string(ms);
    id.push_back(':');
    id += platform::crypto::uuidString();
    return id;
}

std::optional<std::string> FvnUtil::getEventDatetimeFromEventId(
    const std::optional<std::string>& eventId) {
    if (!eventId) {
        return std::nullopt;
    }
    std::string_view first = *eventId;
    first = first.substr(0, first.find(':'));
    if (first.empty()) {
        return std::nullopt;
    }
    std::string_view digits = first;
    if (digits.front() == '+') {
        digits.remove_prefix(1);
        if (digits.empty() || digits.front() == '-') {
            return std::nullopt;
        }
    }
    std::int64_t ms = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) {
        return std::nullopt;
    }
    // Truncated toward zero to whole seconds: the milliseconds are dropped.
    return utcSecondText(ms / 1000) + ".000Z";
}

std::string FvnUtil::getTodayDateString() {
    const platform::CivilTime today = platform::localCivilTime(platform::clock().wallNow());
    char buf[48];
    std::snprintf(buf, sizeof(buf), "%04lld%02d%02d", static_cast<long long>(today.year),
                  today.month, today.day);
    return buf;
}

const FixedDateFormatter& FvnUtil::DATE_FORMATTER_UTC_MILLIS() {
    static constexpr FixedDateFormatter kFormat(3, false);
    return kFormat;
}

const FixedDateFormatter& FvnUtil::DATE_FORMATTER_UTC_SECONDS() {
    static constexpr FixedDateFormatter kFormat(0, false);
    return kFormat;
}

const FixedDateFormatter& FvnUtil::DATE_FORMATTER_UTC_7_FRACTION_Z() {
    static constexpr FixedDateFormatter kFormat(7, true);
    return kFormat;
}

std::optional<std::string> FvnUtil::getDayOfWeek(platform::WallTime date) {
    static constexpr std::array<const char*, 7> kNames{"Sun",  "Mon", "Tue", "Wed",
                                                       "Thur", "Fri", "Sat"};
    return kNames[static_cast<std::size_t>(platform::localCivilTime(date).weekday)];
}

// ---- Typed values and hashing ------------------------------------------------

Value::Map FvnUtil::toTypedValueDictionary(const std::optional<Value::Map>& dictionary) {
    Value::Map out;
    if (!dictionary) {
        return out;
    }
    for (const auto& [key, value] : *dictionary) {
        appendTyped(out, key, value);
    }
    return out;
}

Value::Map FvnUtil::makeItemsParam(
    const std::optional<std::vector<SorvelKvCommerceProductModel>>& products,
    const std::optional<Value::Map>& parameters) {
    Value::Map out = parameters.value_or(Value::Map{});
    Value::Array items;
    if (products) {
        items.reserve(products->size());
        for (const auto& product : *products) {
            items.emplace_back(toTypedValueDictionary(product.getProductDicForPurchase()));
        }
    }
    out[Constants::PARAM_KEY_ITEMS] = Value(std::move(items));
    return out;
}

std::optional<std::uint32_t> FvnUtil::getSHA256HashToUInt32(std::string_view text,
                                                            std::int64_t digits) {
    if (text.empty() || digits < 1) {
        return 0;
    }
    const platform::crypto::Bytes digest = platform::crypto::sha256(text);
    if (digest.size() < 4) {
        SvlLog::error(
            "getSHA256HashToUInt32 :: '" + text::toHex(digest) + " can not be' casted to UInt32",
            true);
        return std::nullopt;
    }
    const std::uint32_t number = static_cast<std::uint32_t>(digest[0]) |
                                 (static_cast<std::uint32_t>(digest[1]) << 8) |
                                 (static_cast<std::uint32_t>(digest[2]) << 16) |
                                 (static_cast<std::uint32_t>(digest[3]) << 24);
    // 10^10 already exceeds every 32-bit number, so from 10 digits on the
    // modulo leaves it whole; the power is built in 64 bits and never wraps.
    if (digits >= 10) {
        return number;
    }
    std::uint64_t power = 1;
    for (std::int64_t i = 0; i < digits; ++i) {
        power *= 10;
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(number) % power);
}

// ---- State checks ------------------------------------------------------------

bool FvnUtil::isNetworkConnected() {
    return platform::Reachability::shared().currentStatus() != platform::Reachability::UNKNOWN;
}

bool FvnUtil::isSorvelDisabled(const DataRegistry& registry) {
    bool disabled =
        isGdprForgetMe([](GdprDone done) { executeGdprForgetMe(std::move(done)); }, registry) ||
        isPause(registry);
    if (!disabled) {
        DRStateResult state = getDRState(registry);
        disabled = state && isDeleteState(state.value());
    }
    if (disabled) {
        SvlLog::debug("Sorvel Disabled : true", true);
    }
    return disabled;
}

bool FvnUtil::isGdprForgetMe(const GdprAction& action, const DataRegistry& registry) {
    if (!registry.getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME, false)) {
        return false;
    }
    auto& state = gdprState();
    std::uint64_t endedBefore = 0;
    {
        platform::MutexLock lock(state.mu);
        if (state.inFlight) {
            return true;
        }
        endedBefore = state.ended;
    }
    if (registry.getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC, false) || !action) {
        return true;
    }
    // The re-send waits on the network (up to four 60 s attempts, 10 s
    // apart); the caller is usually the app's main thread on its way into a
    // public call, so it goes to a background queue, and one request at a time
    // is enough: it stays in flight until its last retry is over.
    std::shared_ptr<platform::DispatchQueue> queue;
    std::uint64_t generation = 0;
    {
        auto& s = state;
        platform::MutexLock lock(s.mu);
        // A re-send that ended after the confirmation was read may have
        // stored it: starting another now would send the erasure twice. The
        // next check reads the confirmation anew.
        if (s.inFlight || s.ended != endedBefore) {
            return true;
        }
        if (!s.queue) {
            s.queue = platform::DispatchQueue::makeSerial("FvnGdprForgetMeResendQueue");
        }
        s.inFlight = true;
        generation = ++s.generation;
        queue = s.queue;
    }
    // Queued outside the lock: the ticket's release takes it, and the block
    // (or, should queueing fail, the dropped block) may release at any time.
    queue->async([action, ticket = std::make_shared<ResendTicket>(generation)]() mutable {
        FvnUtil::GdprDone done = [held = std::move(ticket)] { held->release(); };
        try {
            action(std::move(done));
        } catch (...) {
            SvlLog::error("isGdprForgetMe :: the GDPR forget-me re-send failed", true);
        }
    });
    return true;
}

void FvnUtil::executeGdprForgetMe(GdprDone done) {
    GdprAction hook;
    {
        auto& s = gdprState();
        platform::MutexLock lock(s.mu);
        hook = s.hook;
    }
    if (!hook) {
        SvlLog::debug("executeGdprForgetMe :: no GDPR forget-me use case is installed", true);
        return;
    }
    hook(std::move(done));
}

void FvnUtil::setGdprForgetMeHook(GdprAction hook) {
    auto& s = gdprState();
    platform::MutexLock lock(s.mu);
    s.hook = std::move(hook);
}

bool FvnUtil::waitForGdprResendIdle(platform::Millis deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    auto& s = gdprState();
    platform::MutexLock lock(s.mu);
    while (s.inFlight && std::chrono::steady_clock::now() < until) {
        s.idle.waitUntil(until);
    }
    return !s.inFlight;
}

bool FvnUtil::isGdprForgetMeServerResponse(const DataRegistry& registry) {
    return registry.getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC, false);
}

bool FvnUtil::isAllStop(const DataRegistry& registry) {
    return registry.getBool(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP, false);
}

bool FvnUtil::isPause(const DataRegistry& registry) {
    return registry.getBool(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE, false);
}

DRStateResult FvnUtil::getDRState(const DataRegistry& registry) {
    const std::optional<Value> stopped = registry.getValue(DataRegistryKey::BOOL_IS_SDK_STOPPED);
    if (!stopped || !stopped->isBool()) {
        return DRState::NORMAL;
    }
    const bool synced = registry.getBool(DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC, false);
    return makeDRState((*stopped->getBool() ? 2 : 0) + (synced ? 1 : 0));
}

bool FvnUtil::isBeforeFirstOpen(const DataRegistry& registry) {
    return !registry.getStringOrNil(DataRegistryKey::STRING_LAST_FIRSTOPEN_ID, std::nullopt);
}

bool FvnUtil::getPushEnable(const DataRegistry& registry) {
    return registry.getBool(DataRegistryKey::BOOL_IS_PUSH_ENABLE, false);
}

bool FvnUtil::getOsPushEnable(const DataRegistry& registry) {
    return registry.getBool(DataRegistryKey::BOOL_IS_PUSH_ENABLE_OS, false);
}

bool FvnUtil::isSameUserId(const std::string& userId, const Value::Map& userProperties) {
    auto it = userProperties.find(Constants::PARAM_KEY_USER_ID);
    if (it == userProperties.end()) {
        return false;
    }
    const std::string* stored = it->second.getString();
    return stored != nullptr && *stored == userId;
}

// ---- Deeplinks and JSON ---------------------------------------------------------

std::optional<std::string> FvnUtil::popStoredDeeplinkUrl(DataRegistry& registry) {
    const auto key = DataRegistryKey::STRING_DEEPLINK_URL;
    std::optional<std::string> url = registry.getStringOrNil(key, std::nullopt);
    if (url) {
        registry.putString(std::nullopt, key);
    }
    return url;
}

Value::Map FvnUtil::getDeeplinkParameters(const std::string& url) {
    Value::Map out;
    const auto parts = text::parseUrl(url);
    if (!parts) {
        SvlLog::error("ERROR :: Uri is null or parameter doesn't exist in " + url, true);
        return out;
    }
    out[Constants::PARAM_KEY_DEEPLINK_PAYLOAD] = Value(url);
    // The first occurrence of a name counts, as a query-item lookup finds it;
    // when that one has no "=", the entry stays out even if a later one has.
    bool seenTid = false;
    bool seenTracker = false;
    for (const auto& item : ext::queryItems(*parts)) {
        const char* entry = nullptr;
        if (item.name == Constants::DEEPLINK_QUERY_TID && !seenTid) {
            seenTid = true;
            entry = Constants::PARAM_KEY_DEEPLINK_ADKEY;
        } else if (item.name == Constants::DEEPLINK_QUERY_TRACKER_ID && !seenTracker) {
            seenTracker = true;
            entry = Constants::PARAM_KEY_TRACKER_ID;
        }
        if (entry != nullptr && item.value) {
            out.emplace(entry, Value(*item.value));
        }
    }
    return out;
}

bool FvnUtil::isSorvelDeeplink(const Value::Map& parameters, const std::string& url,
                               const DataRegistry&) {
    // No tracking-link URL form for the stored app key is defined, so only the
    // two parameters prove a tracking link.
    SvlLog::debug("isSorvelDeeplink :: tracking-link URL form check is not applied, url = " + url,
                  true);
    const bool found = parameters.count(Constants::PARAM_KEY_DEEPLINK_ADKEY) > 0 ||
                       parameters.count(Constants::PARAM_KEY_TRACKER_ID) > 0;
    if (!found) {
        SvlLog::debug("isSorvelDeeplink :: no sorvel deeplink parameter in " + url, true);
    }
    return found;
}

JsonDicResult FvnUtil::jsonString2JsonDic(std::string_view text) {
    std::optional<Value> v = Value::fromJson(text);
    if (!v) {
        return JsonError::invalidJsonError;
    }
    if (Value::Map* m = v->getMap()) {
        return std::move(*m);
    }
    return JsonError::dictionaryConvertingError;
}

// ---- Language and user-property keys ------------------------------------------------

std::string FvnUtil::getLanguage() {
    const std::vector<std::string> languages = platform::Locale::preferredLanguages();
    if (languages.empty()) {
        return "";
    }
    std::string tag = languages.front();
    if (auto last = tag.rfind('-'); last != std::string::npos) {
        tag.erase(last);
    }
    // ASCII only: std::toupper follows the C locale the app may have set
    // (in a Turkish 8-bit locale "i" would become a non-ASCII byte).
    for (char& c : tag) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return tag;
}

std::pair<bool, std::string> FvnUtil::checkUserPropertyKey(const std::string& key) {
    // The common key passes every rule below untouched: check it in one pass.
    if (!key.empty() &&
        key.size() <= static_cast<std::size_t>(Constants::MAX_USER_PROPERTY_KEY_LENGTH) &&
        std::all_of(key.begin(), key.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        })) {
        return {true, key};
    }
    if (key.empty()) {
        SvlLog::debug(
            "UserProperty Key 에는 빈값을 사용할 수 없습니다. 호출은 무시됩니다. Input key : " +
                key,
            true);
        return {false, key};
    }
    std::string usable = key;
    if (usable.find('-') != std::string::npos) {
        for (char& c : usable) {
            if (c == '-') {
                c = '_';
            }
        }
        SvlLog::debug(
            "UserProperty Key 에는 '-' 를 사용할 수 없어 '_' 로 바꿔 사용합니다. Input key : " +
                key,
            true);
    }
    if (text::codePointCount(usable) >
        static_cast<std::size_t>(Constants::MAX_USER_PROPERTY_KEY_LENGTH)) {
        SvlLog::debug(
            "UserProperty Key 는 50자를 넘을 수 없습니다. 호출은 무시됩니다. Input key : " + key,
            true);
        return {false, usable};
    }
    for (char c : usable) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) {
            SvlLog::debug(
                "UserProperty Key는 소문자 알파벳, 숫자, 언더바만 사용할 수 있습니다. 호출은 "
                "무시됩니다. Input key : " +
                    key,
                true);
            return {false, usable};
        }
    }
    return {true, usable};
}

}  // namespace sorvel

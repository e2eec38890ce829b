#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ServerDouble.h"
#include "sorvel/Value.h"
#include "support/TestSupport.h"

namespace sorvel::testing {

// A responder for the server double that holds each request it answers until
// the test opens the gate (or a deadline passes, so nothing hangs), counting
// how many it holds at once.
class HeldAnswers {
  public:
    // Answers with the status chosen for the request once the gate is open.
    tools::ServerDouble::Responder responder(
        std::function<int(const tools::RecordedRequest&)> status) {
        return [this, status = std::move(status)](const tools::RecordedRequest& request) {
            {
                std::unique_lock<std::mutex> lock(mu_);
                most_ = std::max(most_, ++held_);
                notifyWaiters();
                cv_.wait_for(lock, std::chrono::seconds(20), [&] { return open_; });
                --held_;
            }
            tools::ScriptedAnswer a;
            a.status = status(request);
            return a;
        };
    }
    void open() {
        std::lock_guard<std::mutex> lock(mu_);
        open_ = true;
        cv_.notify_all();
    }
    // Closes the gate again and forgets the most held, for the next round.
    void reset() {
        std::lock_guard<std::mutex> lock(mu_);
        open_ = false;
        most_ = held_;
    }
    int held() const {
        std::lock_guard<std::mutex> lock(mu_);
        return held_;
    }
    int most() const {
        std::lock_guard<std::mutex> lock(mu_);
        return most_;
    }

  private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    int held_ = 0;
    int most_ = 0;
    bool open_ = false;
};

// Where the event stands in the order of recording: its "svl:event_order_no"
// ("long:N", -1 without one), then its "svl:page" (the pages of one paged
// event share its number). A package that failed once reaches the server
// after the ones that followed it; these numbers say how they were recorded.
inline std::pair<std::int64_t, std::int64_t> recordedPlace(const Value::Map& event) {
    auto param = event.find("param");
    const Value::Map* map = param != event.end() ? param->second.getMap() : nullptr;
    auto number = [&](const char* key) -> std::int64_t {
        auto it = map ? map->find(key) : Value::Map::const_iterator{};
        const std::string* text = map && it != map->end() ? it->second.getString() : nullptr;
        return text && text->rfind("long:", 0) == 0 ? std::stoll(text->substr(5)) : -1;
    };
    return {number("svl:event_order_no"), number("svl:page")};
}

// The event uploads in the order their first events were recorded: a round's
// packages arrive in any order, each keeping its own events' order.
inline std::vector<tools::RecordedRequest> inRecordedOrder(
    std::vector<tools::RecordedRequest> requests) {
    auto placeOf = [](const tools::RecordedRequest& r) {
        auto body = Value::fromJson(r.decodedBody);
        const Value::Map* map = body ? body->getMap() : nullptr;
        auto evts = map ? map->find("evts") : Value::Map::const_iterator{};
        const Value::Array* list = map && evts != map->end() ? evts->second.getArray() : nullptr;
        const Value::Map* first = list && !list->empty() ? list->front().getMap() : nullptr;
        return first ? recordedPlace(*first) : std::pair<std::int64_t, std::int64_t>{-1, -1};
    };
    std::vector<std::pair<std::pair<std::int64_t, std::int64_t>, tools::RecordedRequest>> keyed;
    for (auto& r : requests) {
        auto place = placeOf(r);
        keyed.emplace_back(place, std::move(r));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<tools::RecordedRequest> out;
    for (auto& [place, r] : keyed) {
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace sorvel::testing

#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Common/Extensions.h"
#include "Platform/Dispatch.h"
#include "sorvel/ActionHistoryModel.h"
#include "sorvel/ActionHistoryResult.h"
#include "support/TestSupport.h"

namespace sorvel::testing {

// Every result message-history completions received, with the queue label and
// thread each ran on; every answer wakes waitUntil.
struct HistoryAnswers {
    std::mutex mu;
    std::vector<ActionHistoryResult> results;
    std::vector<std::string> labels;
    std::vector<std::thread::id> threads;

    ActionHistoryCompletion completion() {
        return [this](const ActionHistoryResult& r) {
            {
                std::lock_guard lock(mu);
                results.push_back(r);
                labels.push_back(platform::DispatchQueue::currentLabel());
                threads.push_back(std::this_thread::get_id());
            }
            notifyWaiters();
        };
    }
    std::size_t count() {
        std::lock_guard lock(mu);
        return results.size();
    }
    // Waits for the n-th result (1-based) and returns it; a large answer's
    // work may be given longer than the default deadline.
    ActionHistoryResult await(std::size_t n = 1,
                              std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        EXPECT_TRUE(waitUntil([&] { return count() >= n; }, deadline));
        std::lock_guard lock(mu);
        return n <= results.size() ? results[n - 1]
                                   : ActionHistoryResult::failure(ActionHistoryError::NoValueError);
    }
};

// The history ids of a result's entries, sorted.
inline std::vector<std::string> historyIds(const ActionHistoryResult& r) {
    std::vector<std::string> out;
    for (const auto& e : r.getData().value_or(ActionHistoryResult::Entries{})) {
        out.push_back(e->historyId);
    }
    std::sort(out.begin(), out.end());
    return out;
}

inline Value::Map parseMap(const std::string& text) {
    auto map = ext::toDictionary(text);
    EXPECT_TRUE(map) << text;
    return map.value_or(Value::Map{});
}

}  // namespace sorvel::testing

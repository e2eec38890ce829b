#include "Common/Atomic.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sorvel {
namespace {

TEST(AtomicTest, QueueDequeuesEveryItemExactlyOnceUnderContention) {
    AtomicQueue<int> q;
    q.enqueue(1);
    q.enqueue(2);
    EXPECT_EQ(q.dequeue(), 1) << "first in, first out";
    EXPECT_EQ(q.dequeue(), 2);
    constexpr int kProducers = 4;
    constexpr int kEach = 2000;
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                q.enqueue(p * kEach + i);
            }
        });
    }
    std::mutex mu;
    std::vector<int> taken;
    std::atomic<int> remaining{kProducers * kEach};
    for (int c = 0; c < 4; ++c) {
        threads.emplace_back([&] {
            std::vector<int> mine;
            while (remaining.load() > 0) {
                if (auto v = q.dequeue()) {
                    mine.push_back(*v);
                    --remaining;
                }
            }
            std::lock_guard<std::mutex> lock(mu);
            taken.insert(taken.end(), mine.begin(), mine.end());
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::set<int> unique(taken.begin(), taken.end());
    EXPECT_EQ(taken.size(), static_cast<size_t>(kProducers * kEach));
    EXPECT_EQ(unique.size(), taken.size());
    EXPECT_TRUE(q.isEmpty());
    EXPECT_FALSE(q.dequeue().has_value());
}

}  // namespace
}  // namespace sorvel

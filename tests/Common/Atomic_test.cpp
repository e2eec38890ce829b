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

TEST(AtomicTest, QueueAndArrayKeepOrder) {
    AtomicQueue<std::string> q;
    q.enqueue("a");
    q.enqueue("b");
    q.replaceAll({"x", "y", "z"});
    EXPECT_EQ(q.snapshot(), (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(*q.dequeue(), "x");
    EXPECT_EQ(q.count(), 2u);

    AtomicArray<int> a;
    for (int i = 0; i < 6; ++i) {
        a.append(i);
    }
    EXPECT_EQ(a.filter([](int v) { return v % 2 == 1; }), (std::vector<int>{1, 3, 5}));
    a.removeAll();
    EXPECT_EQ(a.count(), 0u);
}

}  // namespace
}  // namespace sorvel

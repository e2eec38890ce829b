#include "Common/SdkState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sorvel {
namespace {

// What the parts of one test did, in order.
struct Journal {
    std::mutex mu;
    std::vector<std::string> steps;
    void add(std::string step) {
        std::lock_guard<std::mutex> lock(mu);
        steps.push_back(std::move(step));
    }
};

// A part that notes its build and its retirement; a test state of its own
// uses the slots freely.
template <SdkSlot S>
struct Noted : SdkStatePart {
    static constexpr SdkSlot kSlot = S;
    Noted(Journal& j, std::string n) : journal(j), name(std::move(n)) {
        journal.add("build " + name);
    }
    void retire() override {
        journal.add("retire " + name);
        if (onRetire) {
            onRetire();
        }
    }
    Journal& journal;
    std::string name;
    std::function<void()> onRetire;
};

using A = Noted<SdkSlot::logger>;
using B = Noted<SdkSlot::endpoints>;
using C = Noted<SdkSlot::flags>;
using D = Noted<SdkSlot::keychain>;

struct Counted : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::container;
    explicit Counted(std::atomic<int>& builds) { ++builds; }
};

struct Held : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::requestSigner;
    std::atomic<bool> retired{false};
    void retire() override { retired = true; }
};

TEST(SdkStateTest, PartsAreBuiltOnDemandAfterTheirSourcesAndRetiredTheLastBuiltFirst) {
    SdkState state;
    Journal journal;
    auto a = [&] { return std::make_unique<A>(journal, "a"); };
    auto d = [&] { return std::make_unique<D>(journal, "d"); };
    // b reads a while it is built: a is built (and adopted) first.
    B& b = state.part<B>([&] {
        state.part<A>(a);
        return std::make_unique<B>(journal, "b");
    });
    C& c = state.part<C>([&] { return std::make_unique<C>(journal, "c"); });
    // c reads d, not built yet, while it retires: d is retired too.
    c.onRetire = [&] { state.part<D>(d); };
    EXPECT_EQ(&state.part<B>([&] { return std::make_unique<B>(journal, "again"); }), &b);

    state.retireParts();
    EXPECT_EQ(journal.steps,
              (std::vector<std::string>{"build a", "build b", "build c", "retire c", "build d",
                                        "retire b", "retire a", "retire d"}));
    // Retired parts stay where they were, still usable by whoever holds them.
    EXPECT_EQ(&state.part<B>([&] { return std::make_unique<B>(journal, "never"); }), &b);
    EXPECT_EQ(b.name, "b");
}

TEST(SdkStateTest, RacingFirstReadsBuildOnePart) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 20; ++round) {
        SdkState state;
        std::atomic<int> builds{0};
        std::latch start(kThreads);
        std::vector<Counted*> seen(kThreads);
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                seen[t] = &state.part<Counted>([&] { return std::make_unique<Counted>(builds); });
            });
        }
        threads.clear();
        EXPECT_EQ(builds.load(), 1);
        for (auto* p : seen) {
            EXPECT_EQ(p, seen[0]);
        }
    }
}

TEST(SdkStateTest, AReplacedStateIsRetiredAndKeptWhileAFreshOneServes) {
    // The process's door, with a slot no test of this program reads through
    // it; the state is replaced again at the end, so nothing else finds Held.
    SdkState::replaceForTesting();
    SdkState& before = SdkState::shared();
    EXPECT_EQ(&SdkState::shared(), &before);
    Held& old = before.part<Held>();
    SdkState::replaceForTesting();
    SdkState& after = SdkState::shared();
    ASSERT_NE(&after, &before);
    EXPECT_TRUE(old.retired.load());
    Held& fresh = after.part<Held>();
    EXPECT_NE(&fresh, &old);
    EXPECT_FALSE(fresh.retired.load());
    // The old state lives on: its part is still there for a late reader.
    EXPECT_EQ(&before.part<Held>(), &old);
    SdkState::replaceForTesting();
    EXPECT_TRUE(fresh.retired.load());
}

}  // namespace
}  // namespace sorvel

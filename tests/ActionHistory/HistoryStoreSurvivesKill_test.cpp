// A process inserting into the history store is killed at random moments: every
// reopen succeeds, every insert that finished before the kill is there, and a
// batch of server entries that fits in one chunk is stored whole or not at all.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <set>
#include <sstream>

#include "ActionHistory/ActionHistoryDAO.h"
#include "ActionHistory/HistoryChildSupport.h"
#include "Common/SvlLog.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

constexpr const char* kEnv = "SORVEL_HISTORY_KILL_CHILD";
constexpr std::size_t kBatch = 20;
const std::vector<std::string> kAllTypes{"PUSH_IOS", "KAKAOTALK"};

using historytest::pushPayload;
using historytest::say;

Value serverEntry(const std::string& id) {
    return historytest::serverEntry(id, 1, {{"title", Value("s")}});
}

// The child: "<home>|<first id>". Inserts pushes one by one, and now and then
// a batch of server entries, saying each once it has returned, until killed.
int runAsKilledChildIfAsked() {
    const char* env = std::getenv(kEnv);
    if (env == nullptr) {
        return 0;
    }
    const std::string arg(env);
    platform::host::setHomeFolder(arg.substr(0, arg.find('|')));
    std::int64_t id = std::stoll(arg.substr(arg.find('|') + 1));
    auto dao = ActionHistoryDAO::open(nullptr);
    if (!dao) {
        say("failed");
        _exit(1);
    }
    say("open");
    for (;; ++id) {
        if (id % 7 == 0) {
            Value::Array batch;
            for (std::size_t i = 0; i < kBatch; ++i) {
                batch.push_back(serverEntry("b" + std::to_string(id) + "-" + std::to_string(i)));
            }
            dao.value()->insertActionHistory2Table(batch);
            say("batch " + std::to_string(id));
        }
        dao.value()->insertPushData(pushPayload(id));
        say("done " + std::to_string(id));
    }
}
const int kKilledChildDone = runAsKilledChildIfAsked();

// Each round reads every row kept so far: a sanitizer build, several times
// slower, does fewer rounds, each still killed at a random insert.
int rounds() {
    const char* n = std::getenv("SORVEL_HISTORY_KILL_ROUNDS");
    return n ? std::max(1, std::atoi(n)) : 100 / testing::kSlowdown;
}

TEST(HistoryStoreSurvivesKill, EveryFinishedInsertIsThereAfterEachKill) {
    (void)kKilledChildDone;
    testing::FreshSdk sdk;
    std::mt19937 random(std::random_device{}());
    std::set<std::string> promised;
    std::int64_t next = 1;
    const int total = rounds();
    for (int round = 0; round < total; ++round) {
        // Killed right after it said this many pushes were in, while it goes on.
        const int upTo = std::uniform_int_distribution<int>(0, 40)(random);
        const std::string word = upTo == 0 ? "open" : "done " + std::to_string(next + upTo - 1);
        const std::string said = testing::runSelf(
            {std::string(kEnv) + "=" + sdk.home() + "|" + std::to_string(next)}, word);
        ASSERT_NE(said.find(word), std::string::npos) << "round " << round << ": " << said;
        // Complete lines only: the last read may have cut the line the child
        // was saying when the word came ("done 1043" read as "done 10").
        std::istringstream lines(said.substr(0, said.rfind('\n') + 1));
        std::string kind;
        std::int64_t last = next;
        while (lines >> kind) {
            if (kind == "done" || kind == "batch") {
                std::int64_t id = 0;
                lines >> id;
                last = std::max(last, id);
                if (kind == "done") {
                    promised.insert("PUSH_IOS::" + std::to_string(id));
                } else {
                    for (std::size_t i = 0; i < kBatch; ++i) {
                        promised.insert("b" + std::to_string(id) + "-" + std::to_string(i));
                    }
                }
            }
        }
        next = last + 100;  // past whatever it did after its last line

        // The next launch opens the store and finds every promised row.
        auto dao = ActionHistoryDAO::open(nullptr);
        ASSERT_TRUE(dao) << "round " << round;
        auto read = dao.value()->getAllActionHistory(kAllTypes);
        ASSERT_TRUE(read) << "round " << round;
        std::set<std::string> stored;
        std::map<std::string, std::size_t> batches;
        for (const auto& e : read.value()) {
            stored.insert(e->historyId);
            if (e->historyId[0] == 'b') {
                ++batches[e->historyId.substr(0, e->historyId.find('-'))];
            }
        }
        for (const auto& id : promised) {
            ASSERT_TRUE(stored.count(id)) << "round " << round << " lost " << id;
        }
        for (const auto& [batch, count] : batches) {
            ASSERT_EQ(count, kBatch) << "round " << round << ": " << batch << " stored in part";
        }
    }
    EXPECT_GT(promised.size(), static_cast<std::size_t>(total));
}

}  // namespace
}  // namespace sorvel

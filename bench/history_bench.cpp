// The message-history store: storing received pushes one by one (the history
// queue's work, and what the caller's thread pays), reading a page and the
// whole inbox of 10,000 rows, merging a server list of 1,000 entries, on a
// real SQLite file in a temp home; and what a fetch of the largest list the
// HTTP size cap admits adds to the process's peak resident memory.
//
// Each peak figure is only sound in a process of its own (memory freed by an
// earlier benchmark stays resident and hides a later peak):
//   build/gcc/bench/history_bench --benchmark_filter=FetchLargest
//   build/gcc/bench/history_bench --benchmark_filter=StoreLargest
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "ActionHistory/ActionHistoryDAO.h"
#include "ActionHistory/ActionHistoryListAnswer.h"
#include "BenchSupport.h"
#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/KeyChain.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Data/DataProviders/DeviceStaticDataProvider.h"
#include "Data/Repository/Repository.h"
#include "Event/DefaultEventSender.h"
#include "Event/EventBuffer.h"
#include "Event/EventPackageContainer.h"
#include "Event/EventSamplingFilter.h"
#include "Event/NoWaitEventNameProvider.h"
#include "Event/UserPropertyManager.h"
#include "Platform/Host.h"
#include "Platform/Http.h"

namespace {

using namespace sorvel;

const std::vector<std::string> kTypes{"PUSH_ANDROID", "PUSH_IOS", "KAKAOTALK", "TEXT_MESSAGE"};

std::shared_ptr<ActionHistoryDAO> openDao(std::shared_ptr<DataRegistry> registry = nullptr) {
    auto dao = ActionHistoryDAO::open(std::move(registry));
    return dao ? std::move(dao).value() : nullptr;
}

// A repository over a real registry holding both keys and a device id, with
// the message-history store in the temp home.
std::shared_ptr<Repository> historyRepository() {
    auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    registry->putString(std::string("SECRETKEY0123456789abc"), DataRegistryKey::STRING_SECRETKEY);
    registry->putString(std::string("APPKEY0123456789abcdef"), DataRegistryKey::STRING_APPKEY);
    registry->putString(std::string("ADID-0001"), DataRegistryKey::STRING_ADID);
    auto realtime = std::make_shared<DeviceRealtimeDataProvider>(registry, Util_keychain::shared());
    auto container = std::make_shared<EventPackageContainer>(
        std::make_shared<DefaultEventSender>(registry, realtime), registry);
    auto buffer =
        EventBuffer::create(container, std::make_shared<DefaultNowaitEventNameProvider>());
    return std::make_shared<Repository>(std::make_shared<UserPropertyManager>(registry), registry,
                                        buffer, EventSamplingFilter::create(registry), realtime,
                                        std::make_shared<DeviceStaticDataProvider>(registry),
                                        openDao(registry));
}

Value::Map pushPayload(std::int64_t id) {
    Value::Map alert{{"title", Value("Spring sale " + std::to_string(id))},
                     {"body", Value("Everything in the shop is 20% off until Sunday.")},
                     {"img", Value("https://img.example/banner.png")},
                     {"deep_link_json", Value(R"({"screen":"sale","id":"42"})")},
                     {"deep_link_url", Value("app://sale")}};
    Value::Map aps{{"custom_alert", Value(Value::Map{})},
                   {"alert", Value(alert)},
                   {"notification_id", Value(id)},
                   {"svl:gf:campaign_id", Value("C-1")},
                   {"svl:gf:campaign_revision_no", Value(3)},
                   {"svl:gf:step_id", Value("S-1")},
                   {"svl:gf:cycle_time", Value("20240101")}};
    return {{"aps", Value(aps)}};
}

Value::Array serverList(std::size_t n, std::int64_t base) {
    Value::Array list;
    for (std::size_t i = 0; i < n; ++i) {
        list.emplace_back(Value::Map{
            {"id", Value("srv-" + std::to_string(i))},
            {"type", Value("KAKAOTALK")},
            {"timestamp", Value(base + static_cast<std::int64_t>(i))},
            {"contents", Value(Value::Map{{"title", Value("Order shipped")},
                                          {"body", Value("Your order is on its way.")}})},
            {"campaign_id", Value("C")},
            {"campaign_revision_no", Value(1)},
            {"step_id", Value("S")},
            {"cycle_time", Value("Y")},
            {"action_group", Value("G")}});
    }
    return list;
}

void BM_InsertPushOnHistoryQueue(benchmark::State& state) {
    bench::TempHome home;
    auto dao = openDao();
    std::int64_t id = 0;
    for (auto _ : state) {
        dao->insertPushData(pushPayload(++id));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertPushOnHistoryQueue)->Iterations(10000)->Unit(benchmark::kMicrosecond);

void BM_InsertPushCallerThread(benchmark::State& state) {
    bench::TempHome home;
    auto repository = historyRepository();
    std::vector<Value::Map> payloads;
    for (std::int64_t i = 1; i <= state.max_iterations; ++i) {
        payloads.push_back(pushPayload(i));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        repository->insertPushData(payloads[i++]);
    }
    // Drained outside the timing, which ended with the loop.
    std::promise<void> drained;
    repository->getActionHistory(0, 1, kTypes,
                                 [&](const ActionHistoryResult&) { drained.set_value(); });
    drained.get_future().wait();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertPushCallerThread)->Iterations(10000)->Unit(benchmark::kMicrosecond);

// 10,000 rows: half pushes, half server entries.
struct FullStore {
    bench::TempHome home;
    std::shared_ptr<ActionHistoryDAO> dao = openDao();
    FullStore() {
        dao->insertActionHistory2Table(serverList(5000, 1));
        for (std::int64_t i = 1; i <= 5000; ++i) {
            dao->insertPushData(pushPayload(i));
        }
    }
};

void BM_ReadPageOf50From10000(benchmark::State& state) {
    FullStore store;
    std::int64_t skip = 0;
    for (auto _ : state) {
        auto page = store.dao->getActionHistory(skip, 50, kTypes).value();
        benchmark::DoNotOptimize(page);
        skip = (skip + 50) % 9950;
    }
}
BENCHMARK(BM_ReadPageOf50From10000)->Unit(benchmark::kMillisecond);

void BM_ReadAll10000(benchmark::State& state) {
    FullStore store;
    for (auto _ : state) {
        auto all = store.dao->getAllActionHistory(kTypes).value();
        if (all.size() != 10000) {
            state.SkipWithError("not 10,000 rows");
        }
        benchmark::DoNotOptimize(all);
    }
}
BENCHMARK(BM_ReadAll10000)->Unit(benchmark::kMillisecond);

void BM_MergeServerList1000(benchmark::State& state) {
    bench::TempHome home;
    auto dao = openDao();
    const Value::Array list = serverList(1000, 1);
    for (auto _ : state) {
        dao->insertActionHistory2Table(list);
    }
}
BENCHMARK(BM_MergeServerList1000)->Unit(benchmark::kMillisecond);

// A kilobyte count of /proc/self/status ("VmRSS:", "VmHWM:").
long statusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, n, key) == 0) {
            return std::atol(line.c_str() + n);
        }
    }
    return -1;
}

// Makes the peak resident memory the current one, and gives that.
long resetPeakKb() {
    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";
    }
    return statusKb("VmRSS:");
}

// Serves one prepared HTTP answer to every request from a child process, so
// that the answer's bytes are not this process's memory. The child only reads
// and writes through system calls (it is forked from a process with threads).
class ForkedAnswer {
  public:
    explicit ForkedAnswer(const std::string& body) {
        response_ =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(listener_, 16) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            return;
        }
        port_ = ntohs(addr.sin_port);
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            serve();
        }
        response_.clear();
        response_.shrink_to_fit();
    }
    ~ForkedAnswer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (listener_ >= 0) {
            close(listener_);
        }
    }
    ForkedAnswer(const ForkedAnswer&) = delete;
    ForkedAnswer& operator=(const ForkedAnswer&) = delete;
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
    bool serving() const { return pid_ > 0; }

  private:
    [[noreturn]] void serve() {
        static char request[1 << 16];
        for (;;) {
            const int c = accept(listener_, nullptr, nullptr);
            if (c < 0) {
                continue;
            }
            // The whole request: its head, then as many bytes as it announces.
            std::size_t got = 0;
            long want = -1;
            while (got < sizeof request - 1) {
                const ssize_t n = read(c, request + got, sizeof request - 1 - got);
                if (n <= 0) {
                    break;
                }
                got += static_cast<std::size_t>(n);
                request[got] = 0;
                const char* end = std::strstr(request, "\r\n\r\n");
                if (end != nullptr && want < 0) {
                    const char* length = strcasestr(request, "\r\ncontent-length:");
                    want = (end - request) + 4 + (length ? std::atol(length + 17) : 0);
                }
                if (want >= 0 && got >= static_cast<std::size_t>(want)) {
                    break;
                }
            }
            std::size_t sent = 0;
            while (sent < response_.size()) {
                const ssize_t n = write(c, response_.data() + sent, response_.size() - sent);
                if (n <= 0) {
                    break;
                }
                sent += static_cast<std::size_t>(n);
            }
            close(c);
        }
    }

    std::string response_;
    int listener_ = -1;
    int port_ = 0;
    pid_t pid_ = -1;
};

// The list answer with as many entries as fit under the HTTP size cap, each
// a short complete inbox entry of about 165 bytes of JSON (100,000 of them
// fill 16 MB).
std::string largestListAnswer(std::size_t& entries) {
    std::string body = R"({"minutes_to_refresh":15,"histories":[)";
    const std::size_t room = platform::HttpSession::MAX_RESPONSE_BYTES - 64;
    entries = 0;
    for (;;) {
        const std::string n = std::to_string(100000 + entries);
        const std::string entry = std::string(entries ? "," : "") + R"({"id":"h)" + n +
                                  R"(","type":"KAKAOTALK","timestamp":1700000)" + n +
                                  R"(,"contents":{"title":"Order )" + n +
                                  R"("},"campaign_id":"C7","campaign_revision_no":3,)"
                                  R"("step_id":"S1","cycle_time":"Y"})";
        if (body.size() + entry.size() + 2 > room) {
            break;
        }
        body += entry;
        ++entries;
    }
    body += "]}";
    return body;
}

// One fetch of the largest list through the repository: the request, the
// answer read, parsed and stored, and the app's result, measured as what it
// adds to the peak resident memory (VmHWM, reset just before).
void BM_FetchLargestList(benchmark::State& state) {
    bench::TempHome home;
    std::size_t entries = 0;
    ForkedAnswer server(largestListAnswer(entries));
    if (!server.serving()) {
        state.SkipWithError("no server");
        return;
    }
    platform::host::mapHttpHost("*", server.baseUrl());
    platform::host::setReachability(std::string("wifi"));
    auto repository = historyRepository();
    long addedKb = 0;
    std::size_t delivered = 0;
    for (auto _ : state) {
        const long before = resetPeakKb();
        std::promise<std::size_t> done;
        repository->fetchActionHistoryFromServer(
            std::nullopt, ActionHistoryIdType::ADID, kTypes, [&](const ActionHistoryResult& r) {
                done.set_value(r.isSucceeded() && r.getData() ? r.getData()->size() : 0);
            });
        delivered = done.get_future().get();
        addedKb = statusKb("VmHWM:") - before;
    }
    if (delivered != entries) {
        state.SkipWithError("the app did not get every entry");
    }
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["peak_rss_added_MB"] = static_cast<double>(addedKb) / 1024.0;
}
BENCHMARK(BM_FetchLargestList)->Iterations(1)->Unit(benchmark::kMillisecond);


// The answer's reading and storing alone, the way the repository does them:
// the text already in memory, as the HTTP layer hands it over, checked, then
// read entry by entry into the store. The app's list of entries is left out.
void BM_StoreLargestAnswer(benchmark::State& state) {
    bench::TempHome home;
    auto dao = openDao();
    std::size_t entries = 0;
    const std::string text = largestListAnswer(entries);
    long addedKb = 0;
    std::size_t read = 0;
    for (auto _ : state) {
        const long before = resetPeakKb();
        const auto answer = HistoryListAnswer::check(text);
        read = answer ? answer->entries : 0;
        auto writer = dao->serverListWriter();
        HistoryListAnswer::forEachEntry(text, [&](const Value::Map& e) { writer.add(e); });
        writer.finish();
        addedKb = statusKb("VmHWM:") - before;
    }
    auto stored = dao->getAllActionHistory({"KAKAOTALK"});
    if (read != entries || !stored || stored.value().size() != entries) {
        state.SkipWithError("not every entry stored");
    }
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["peak_rss_added_MB"] = static_cast<double>(addedKb) / 1024.0;
}
BENCHMARK(BM_StoreLargestAnswer)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

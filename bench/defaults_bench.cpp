// UserDefaults on a warm store: the cost an SDK call pays to save a short
// setting (written through to SQLite) and to read one (served from the cache).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Platform/Host.h"
#include "Platform/UserDefaults.h"

namespace {

using sorvel::Value;
using sorvel::platform::UserDefaults;

// A throw-away home folder for the whole run.
class BenchHome {
  public:
    BenchHome() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "sorvel-bench-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) {
            std::abort();
        }
        path_ = tmpl;
        sorvel::platform::host::setHomeFolder(path_);
    }
    ~BenchHome() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }

  private:
    std::string path_;
};

std::shared_ptr<UserDefaults> warmStore() {
    static BenchHome home;
    auto defaults = UserDefaults::suite("bench");
    (void)defaults->set("other", Value("x"));
    (void)defaults->set("key", Value("value-0"));
    return defaults;
}

void BM_DefaultsSetGet(benchmark::State& state) {
    auto defaults = warmStore();
    const Value values[] = {Value("session-a"), Value("session-b")};
    std::size_t i = 0;
    for (auto _ : state) {
        (void)defaults->set("key", values[i++ & 1]);
        benchmark::DoNotOptimize(defaults->get("key"));
    }
}
BENCHMARK(BM_DefaultsSetGet);

void BM_DefaultsGet(benchmark::State& state) {
    auto defaults = warmStore();
    for (auto _ : state) {
        benchmark::DoNotOptimize(defaults->get("key"));
    }
}
BENCHMARK(BM_DefaultsGet);

}  // namespace

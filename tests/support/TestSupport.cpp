#include "support/TestSupport.h"

#include <condition_variable>
#include <filesystem>
#include <random>
#include <thread>

#include "Platform/Bundle.h"
#include "Platform/Host.h"

namespace sorvel::testing {

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    // Back off from spinning to short yields; the work we wait for runs on
    // other threads and signals nothing we could block on here.
    int spins = 0;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) {
            return pred();
        }
        if (++spins < 100) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    return true;
}

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("sorvel-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

LogCapture::LogCapture() {
    platform::SystemLog::setSink(std::shared_ptr<ILogSink>(this, [](ILogSink*) {}));
}

LogCapture::~LogCapture() {
    platform::SystemLog::setSink(nullptr);
}

void LogCapture::write(std::string_view line) {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.emplace_back(line);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
}

bool LogCapture::contains(std::string_view needle) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& l : lines_) {
        if (l.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
}

namespace {
void resetProcessState() {
    platform::detail::runResetHooks();
    platform::Bundle::clearInfo();
    platform::Bundle::setBundleId("com.sorvel.sample");
    platform::Bundle::setVersions("1.0", "1");
}
}  // namespace

FreshSdk::FreshSdk(bool manualClock) {
    resetProcessState();
    platform::host::setHomeFolder(home_.path());
    platform::host::setKeychainFolder(keychain_.path());
    if (manualClock) {
        clock_ = std::make_shared<platform::ManualClock>();
        platform::setClock(clock_);
    } else {
        platform::setClock(nullptr);
    }
}

FreshSdk::~FreshSdk() {
    resetProcessState();
    platform::setClock(nullptr);
}

}  // namespace sorvel::testing

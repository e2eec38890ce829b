#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "sorvel/SorvelKVLogDelegate.h"
#include "support/TestSupport.h"

namespace sorvel::testing {

// A registry store in memory. While `failing` is set its writes last in
// memory only and report that they did not reach the disk.
class MemoryContext final : public IDataContext {
  public:
    std::atomic<bool> failing{false};
    Status set(const std::string& key, const std::optional<Value>& value) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (value) {
            values_[key] = *value;
        } else {
            values_.erase(key);
        }
        return answer();
    }
    std::optional<Value> get(const std::string& key) const override {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = values_.find(key);
        return it == values_.end() ? std::nullopt : std::optional<Value>(it->second);
    }
    Status removeAll() override {
        std::lock_guard<std::mutex> lock(mu_);
        values_.clear();
        return answer();
    }

  private:
    Status answer() const { return failing ? Status::error("the disk is failing") : Status::ok(); }
    mutable std::mutex mu_;
    std::map<std::string, Value> values_;
};

// While alive, the app's log delegate: records every line the logger hands it.
class DelegateLog {
  public:
    using Line = std::pair<SorvelLogLevel, std::string>;
    DelegateLog() {
        SvlLog::flush();  // lines queued before are not ours
        SvlLog::setLogDelegate(lines_);
    }
    ~DelegateLog() { SvlLog::setLogDelegate(nullptr); }
    DelegateLog(const DelegateLog&) = delete;
    DelegateLog& operator=(const DelegateLog&) = delete;

    // What arrived, once the logger has handled every line queued before.
    std::vector<Line> lines() {
        SvlLog::flush();
        std::lock_guard<std::mutex> lock(lines_->mu);
        return lines_->lines;
    }
    bool contains(std::string_view needle) { return count(needle) > 0; }
    int count(std::string_view needle) {
        int n = 0;
        for (const auto& [level, line] : lines()) {
            n += line.find(needle) != std::string::npos ? 1 : 0;
        }
        return n;
    }

  private:
    // Shared with the provider: a logging thread may still hold it.
    struct Lines : SorvelKVLogDelegate {
        void didPrintLog(SorvelLogLevel level, const std::string& line) override {
            std::lock_guard<std::mutex> lock(mu);
            lines.emplace_back(level, line);
        }
        std::mutex mu;
        std::vector<Line> lines;
    };
    std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
};

// A fresh SDK on a manual clock and a registry in memory, for the tests of
// what reads and writes the registry.
class RegistryTest : public ::testing::Test {
  protected:
    FreshSdk sdk{true};
    DataRegistry registry{std::make_shared<MemoryContext>()};
};

}  // namespace sorvel::testing

#pragma once

// What every fuzz target shares: a private app home in a temp folder, the
// SDK's log lines dropped (a fuzzer feeds millions of bad inputs, each logged),
// an in-memory registry, and a reader that takes typed pieces from the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "sorvel/Value.h"

namespace sorvel::fuzz {

// Sets a fresh temp folder as the app's home and keychain folder (removed at
// exit) and drops every system-log line. Call once, from LLVMFuzzerInitialize.
void setUpProcess();

// Stops the program with a message when a property of the code under test
// does not hold; libFuzzer keeps the input as a crash.
[[noreturn]] void fail(std::string_view what, std::string_view detail = {});
inline void check(bool holds, std::string_view what, std::string_view detail = {}) {
    if (!holds) {
        fail(what, detail);
    }
}

// A registry store in memory: no disk, so each input starts from nothing.
class MemoryContext final : public IDataContext {
  public:
    Status set(const std::string& key, const std::optional<Value>& value) override;
    std::optional<Value> get(const std::string& key) const override;
    Status removeAll() override;

  private:
    mutable std::mutex mu_;
    std::map<std::string, Value> values_;
};

inline std::shared_ptr<DataRegistry> memoryRegistry() {
    return std::make_shared<DataRegistry>(std::make_shared<MemoryContext>());
}

// Takes typed pieces from the front of the input; past its end every piece
// is zero or empty.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint64_t u64();
    double f64();
    // A text of up to maxLength bytes, its length taken from the input.
    std::string text(std::size_t maxLength = 64);
    std::string rest();

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace sorvel::fuzz

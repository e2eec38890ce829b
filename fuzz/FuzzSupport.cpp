#include "FuzzSupport.h"

#include <cstring>
#include <filesystem>
#include <iostream>

#include "Platform/Crypto.h"
#include "Platform/Host.h"
#include "Platform/SystemLog.h"

namespace sorvel::fuzz {
namespace {

class DropSink final : public platform::ILogSink {
  public:
    void write(std::string_view) override {}
};

std::string& tempRoot() {
    static std::string root;
    return root;
}

void removeTempRoot() {
    std::error_code ec;
    if (!tempRoot().empty()) {
        std::filesystem::remove_all(tempRoot(), ec);
    }
}

}  // namespace

void setUpProcess() {
    platform::crypto::startLibrary();
    std::string pattern = (std::filesystem::temp_directory_path() / "sorvel-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("cannot create a temp folder", std::strerror(errno));
    }
    tempRoot() = pattern;
    std::atexit(removeTempRoot);
    platform::host::setHomeFolder(pattern + "/home");
    platform::host::setKeychainFolder(pattern + "/keychain");
    platform::host::setSystemLogSink(std::make_shared<DropSink>());
}

void fail(std::string_view what, std::string_view detail) {
    std::cerr << "fuzz check failed: " << what << '\n';
    if (!detail.empty()) {
        std::cerr << detail.substr(0, 4096) << '\n';
    }
    std::abort();
}

Status MemoryContext::set(const std::string& key, const std::optional<Value>& value) {
    std::lock_guard<std::mutex> lock(mu_);
    if (value) {
        values_[key] = *value;
    } else {
        values_.erase(key);
    }
    return Status::ok();
}

std::optional<Value> MemoryContext::get(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = values_.find(key);
    return it == values_.end() ? std::nullopt : std::optional<Value>(it->second);
}

Status MemoryContext::removeAll() {
    std::lock_guard<std::mutex> lock(mu_);
    values_.clear();
    return Status::ok();
}

std::uint64_t Input::u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        v = (v << 8) | byte();
    }
    return v;
}

double Input::f64() {
    const std::uint64_t bits = u64();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::string Input::text(std::size_t maxLength) {
    const std::size_t length = std::min<std::size_t>(byte() % (maxLength + 1), remaining());
    std::string out(reinterpret_cast<const char*>(data_ + pos_), length);
    pos_ += length;
    return out;
}

std::string Input::rest() {
    std::string out(reinterpret_cast<const char*>(data_ + pos_), remaining());
    pos_ = size_;
    return out;
}

}  // namespace sorvel::fuzz

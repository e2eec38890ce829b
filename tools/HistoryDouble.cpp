#include "HistoryDouble.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace sorvel::tools {
namespace {

using platform::MutexLock;

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::vector<std::string> segments(const std::string& path) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from <= path.size()) {
        const std::size_t slash = path.find('/', from);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        out.push_back(percentDecoded(path.substr(from, end - from)));
        if (slash == std::string::npos) {
            break;
        }
        from = slash + 1;
    }
    return out;
}

}  // namespace

void HistoryDouble::addEntry(const std::string& id, const std::string& entryJson) {
    MutexLock lock(mu_);
    active_ = true;
    entries_[id].push_back(entryJson);
}

std::vector<std::string> HistoryDouble::entries(const std::string& id) const {
    MutexLock lock(mu_);
    auto it = entries_.find(id);
    return it == entries_.end() ? std::vector<std::string>{} : it->second;
}

void HistoryDouble::setMinutesToRefresh(std::int64_t minutes) {
    MutexLock lock(mu_);
    minutesToRefresh_ = minutes;
}

std::optional<HistoryDouble::Answer> HistoryDouble::answer(const std::string& method,
                                                           const std::string& path,
                                                           const std::string& body) {
    MutexLock lock(mu_);
    if (!active_) {
        return std::nullopt;
    }
    const auto segs = segments(path);
    auto at = std::find(segs.begin(), segs.end(), "actionhistory");
    if (at == segs.end()) {
        return std::nullopt;
    }
    const std::vector<std::string> rest(at + 1, segs.end());
    if (method == "POST" && rest.size() == 1 && rest[0] == "List") {
        const auto request = nlohmann::json::parse(body, nullptr, false);
        const auto condition =
            request.is_object() ? request.value("condition", nlohmann::json()) : nlohmann::json();
        std::string id;
        std::vector<std::string> types;
        if (condition.is_object()) {
            if (condition.contains("user_id") && condition["user_id"].is_string()) {
                id = condition["user_id"].get<std::string>();
            }
            if (condition.contains("action_type") && condition["action_type"].is_array()) {
                for (const auto& t : condition["action_type"]) {
                    if (t.is_string()) {
                        types.push_back(t.get<std::string>());
                    }
                }
            }
        }
        auto list = nlohmann::json::array();
        for (const auto& text : entries_[id]) {
            auto entry = nlohmann::json::parse(text, nullptr, false);
            const bool typed =
                entry.is_object() && entry.contains("type") && entry["type"].is_string() &&
                std::find(types.begin(), types.end(), entry["type"].get<std::string>()) !=
                    types.end();
            if (typed) {
                list.push_back(std::move(entry));
            }
        }
        nlohmann::json out = {{"histories", list}, {"minutes_to_refresh", minutesToRefresh_}};
        return Answer{200, out.dump()};
    }
    // {appkey}/{user|device}/{id}[/{historyId}/{timestamp}]
    if (method == "DELETE" && (rest.size() == 3 || rest.size() == 5)) {
        auto& kept = entries_[rest[2]];
        if (rest.size() == 3) {
            kept.clear();
        } else {
            std::erase_if(kept, [&](const std::string& text) {
                auto entry = nlohmann::json::parse(text, nullptr, false);
                return entry.is_object() && entry.value("id", std::string()) == rest[3] &&
                       entry.contains("timestamp") && entry["timestamp"].is_number_integer() &&
                       std::to_string(entry["timestamp"].get<std::int64_t>()) == rest[4];
            });
        }
        return Answer{200, "{}"};
    }
    return std::nullopt;
}

}  // namespace sorvel::tools

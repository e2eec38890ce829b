#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Mutex.h"

namespace sorvel::tools {

// The message-history server the double plays once it holds entries: the list
// query answers the entries of the condition's "user_id" whose "type" is among
// its "action_type"s, newest last, with "minutes_to_refresh"; a deletion by
// user or device removes that id's entries, or the one whose "id" and
// "timestamp" match the path's last two segments. Until the first entry is
// added, the double answers from its script and defaults as before.
class HistoryDouble {
  public:
    // One server entry (a JSON object text, as the list carries it) kept for an id.
    void addEntry(const std::string& id, const std::string& entryJson);
    // The entries kept for an id, as JSON object texts.
    std::vector<std::string> entries(const std::string& id) const;
    void setMinutesToRefresh(std::int64_t minutes);

    // The answer's status and body for a history request, or nothing when the
    // double holds no history (or the request is not one). `path` is the raw
    // (percent-encoded) path.
    struct Answer {
        int status = 200;
        std::string body;
    };
    std::optional<Answer> answer(const std::string& method, const std::string& path,
                                 const std::string& body);

  private:
    mutable platform::Mutex mu_;
    bool active_ GUARDED_BY(mu_) = false;
    std::int64_t minutesToRefresh_ GUARDED_BY(mu_) = 60;
    std::map<std::string, std::vector<std::string>> entries_ GUARDED_BY(mu_);
};

}  // namespace sorvel::tools

#pragma once

// What the history tests that start child processes share: the push and the
// server entry the children store, and a line said on standard output at once.

#include <unistd.h>

#include <cstdint>
#include <string>

#include "sorvel/Value.h"

namespace sorvel::historytest {

// A push with the given notification id, its texts in aps "alert".
inline Value::Map pushPayload(std::int64_t id) {
    Value::Map aps{{"custom_alert", Value(Value::Map{})},
                   {"alert", Value(Value::Map{{"title", Value("t" + std::to_string(id))}})},
                   {"notification_id", Value(id)},
                   {"svl:gf:campaign_id", Value("C")},
                   {"svl:gf:campaign_revision_no", Value(1)},
                   {"svl:gf:step_id", Value("S")},
                   {"svl:gf:cycle_time", Value("Y")}};
    return {{"aps", Value(aps)}};
}

// A complete server entry with the given id, time and content.
inline Value serverEntry(const std::string& id, std::int64_t timeStamp, Value::Map contents) {
    return Value(Value::Map{{"id", Value(id)},
                            {"type", Value("KAKAOTALK")},
                            {"timestamp", Value(timeStamp)},
                            {"contents", Value(std::move(contents))},
                            {"campaign_id", Value("C")},
                            {"campaign_revision_no", Value(1)},
                            {"step_id", Value("S")},
                            {"cycle_time", Value("Y")}});
}

// Written straight to the pipe, so that a kill right after loses nothing said.
inline void say(const std::string& line) {
    const std::string text = line + "\n";
    (void)!write(STDOUT_FILENO, text.data(), text.size());
}

}  // namespace sorvel::historytest

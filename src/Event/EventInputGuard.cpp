#include "Event/EventInputGuard.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "Base/TextUnits.h"
#include "Common/SvlLog.h"
#include "Event/EventModel.h"
#include "Event/TypedValueDictionary.h"

namespace sorvel {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// True when every byte belongs to a well-formed UTF-8 sequence. The decoder
// turns each ill-formed byte into U+FFFD, so a U+FFFD that was not spelled
// out in the text marks one.
bool isWellFormed(std::string_view s) {
    std::size_t pos = 0;
    while (pos < s.size()) {
        // ASCII, the common case, 8 bytes at a time.
        std::uint64_t word = 0;
        if (pos + 8 <= s.size() &&
            (std::memcpy(&word, s.data() + pos, 8), (word & 0x8080808080808080ULL) == 0)) {
            pos += 8;
            continue;
        }
        if (static_cast<unsigned char>(s[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const std::size_t start = pos;
        if (text::decodeNext(s, pos) == 0xFFFD && s.substr(start, pos - start) != kReplacement) {
            return false;
        }
    }
    return true;
}

std::string wellFormed(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    while (pos < s.size()) {
        const std::size_t start = pos;
        const char32_t c = text::decodeNext(s, pos);
        if (c == 0xFFFD && s.substr(start, pos - start) != kReplacement) {
            out += kReplacement;
        } else {
            out.append(s.substr(start, pos - start));
        }
    }
    return out;
}

// Repairs in place; true when anything changed.
bool repair(std::string& s) {
    if (isWellFormed(s)) {
        return false;
    }
    s = wellFormed(s);
    return true;
}

bool repair(std::optional<std::string>& s) {
    return s && repair(*s);
}

bool repair(InlineText& s) {
    if (isWellFormed(s.view())) {
        return false;
    }
    s = wellFormed(s.view());
    return true;
}

bool repair(std::optional<InlineText>& s) {
    return s && repair(*s);
}

bool repair(Value& v, bool native);

// A map, or the flat list of one (see ParamList). `native`: the values are
// written with their type prefixes (ParamForm).
template <typename Entries>
bool repair(Entries& m, bool native) {
    bool changed = false;
    bool badKey = false;
    for (auto& [key, value] : m) {
        badKey = badKey || !isWellFormed(key);
        changed = repair(value, native) || changed;
    }
    if (badKey) {
        // Two keys may repair to the same text; the first in order stays,
        // and the entries take their repaired keys' order.
        Value::Map fixed;
        for (auto& [key, value] : m) {
            fixed.emplace(wellFormed(key), std::move(value));
        }
        if constexpr (std::is_same_v<Entries, ParamList>) {
            m = toParamList(std::move(fixed));
        } else {
            m = std::move(fixed);
        }
    }
    return changed || badKey;
}

bool repair(Value& v, bool native) {
    if (const std::string* s = v.getString()) {
        if (isWellFormed(*s)) {
            return false;
        }
        v = Value(wellFormed(*s));
        return true;
    }
    if (Value::Map* m = v.getMap()) {
        return repair(*m, native);
    }
    if (native && v.isArray()) {
        // A list is written as "string:" and its rendering: the rendering is
        // what gets repaired, as a text, which then stands for the list.
        const std::string rendered = v.render();
        if (isWellFormed(rendered)) {
            return false;
        }
        v = Value(wellFormed(rendered));
        return true;
    }
    if (Value::Array* a = v.getArray()) {
        bool changed = false;
        for (auto& e : *a) {
            changed = repair(e, native) || changed;
        }
        return changed;
    }
    return false;
}

bool deeper(const Value& v, int remaining) {
    if (const Value::Map* m = v.getMap()) {
        if (remaining == 0) {
            return true;
        }
        for (const auto& [key, e] : *m) {
            if (deeper(e, remaining - 1)) {
                return true;
            }
        }
    } else if (const Value::Array* a = v.getArray()) {
        if (remaining == 0) {
            return true;
        }
        for (const auto& e : *a) {
            if (deeper(e, remaining - 1)) {
                return true;
            }
        }
    }
    return false;
}

// About the bytes the value takes as JSON; only called once the depth is known
// to be bounded.
std::size_t approximateBytes(const Value& v) {
    if (const std::string* s = v.getString()) {
        return s->size() + 3;
    }
    std::size_t n = 8;
    if (const Value::Map* m = v.getMap()) {
        for (const auto& [key, e] : *m) {
            n += key.size() + 4 + approximateBytes(e);
        }
    } else if (const Value::Array* a = v.getArray()) {
        for (const auto& e : *a) {
            n += 1 + approximateBytes(e);
        }
    } else if (const Value::Bytes* b = v.getBytes()) {
        n += b->size() * 4 / 3;
    }
    return n;
}

// What one walk of a map finds: whether it nests too deeply (the walk stops
// there), whether a key or text in it is ill-formed, and about the bytes it
// takes as JSON (as mapBytes() counts them).
struct Scan {
    bool tooDeep = false;
    bool illFormed = false;
    std::size_t bytes = 0;
};

// The prefix "string:" that a native text gets.
constexpr std::size_t kStringPrefix = 7;

// Adds what approximateBytes(v) counts, of the value in typed-value form when
// `native` (see ParamForm): a map stays a map, anything else becomes a text;
// `remaining` as deeper() counts it.
void scanValue(const Value& v, int remaining, Scan& out, bool native) {
    if (const std::string* s = v.getString()) {
        out.illFormed = out.illFormed || !isWellFormed(*s);
        out.bytes += s->size() + 3 + (native ? kStringPrefix : 0);
        return;
    }
    if (native && !v.isMap()) {
        if (v.isArray()) {
            const std::string rendered = v.render();
            out.illFormed = out.illFormed || !isWellFormed(rendered);
            out.bytes += kStringPrefix + rendered.size() + 3;
        } else {
            out.bytes += typedtext::textSize(v) + 3;
        }
        return;
    }
    out.bytes += 8;
    if (const Value::Map* m = v.getMap()) {
        if (remaining == 0) {
            out.tooDeep = true;
            return;
        }
        for (const auto& [key, e] : *m) {
            out.illFormed = out.illFormed || !isWellFormed(key);
            out.bytes += key.size() + 4;
            scanValue(e, remaining - 1, out, native);
            if (out.tooDeep) {
                return;
            }
        }
    } else if (const Value::Array* a = v.getArray()) {
        if (remaining == 0) {
            out.tooDeep = true;
            return;
        }
        for (const auto& e : *a) {
            out.bytes += 1;
            scanValue(e, remaining - 1, out, native);
            if (out.tooDeep) {
                return;
            }
        }
    } else if (const Value::Bytes* b = v.getBytes()) {
        out.bytes += b->size() * 4 / 3;
    }
}

template <typename Entries>
Scan scanMap(const Entries& m, int maxDepth, bool native) {
    Scan out;
    out.bytes = 2;
    for (const auto& [key, e] : m) {
        out.illFormed = out.illFormed || !isWellFormed(key);
        out.bytes += key.size() + 4;
        scanValue(e, maxDepth < 0 ? 0 : maxDepth, out, native);
        if (out.tooDeep) {
            break;
        }
    }
    return out;
}

std::size_t mapBytes(const Value::Map& m) {
    std::size_t n = 2;
    for (const auto& [key, e] : m) {
        n += key.size() + 4 + approximateBytes(e);
    }
    return n;
}

}  // namespace

std::string EventInputGuard::nameForLog(const std::string& name) {
    const std::size_t cut = text::codePointOffset(name, MAX_NAME_CHARS_IN_LOG);
    if (cut >= name.size()) {
        return name;
    }
    return name.substr(0, cut) + "... (" + std::to_string(name.size()) + " bytes)";
}

std::size_t EventInputGuard::entryBytes(const std::string& key, const Value& value) {
    return key.size() + 4 + approximateBytes(value);
}

bool EventInputGuard::nestsDeeperThan(const Value& value, int maxDepth) {
    return deeper(value, maxDepth < 0 ? 0 : maxDepth);
}

namespace {

// One of an event's maps, or its list of native parameters; both null when
// the event has none. `replaced`: entries the SDK writes over when it adds
// its own (not counted). `edit` gives the map a repair writes to, asked for
// only then: a map of an event's shared context is copied for that event
// alone.
struct EventMap {
    const Value::Map* map;
    bool native;
    const EventModel* replaced = nullptr;
    ParamList* list = nullptr;
    std::function<Value::Map*()> edit = nullptr;

    bool present() const { return map != nullptr || list != nullptr; }
    // Of `current`, the map as it stands (see edit), or else of the list.
    Scan scan(const Value::Map* current) const {
        return current != nullptr ? scanMap(*current, EventInputGuard::MAX_VALUE_DEPTH, native)
                                  : scanMap(*list, EventInputGuard::MAX_VALUE_DEPTH, native);
    }
};

// The bytes of the entries that the event's added order numbers write over.
template <typename Entries>
std::size_t replacedBytes(const Entries& map, const EventModel& event) {
    std::size_t bytes = 0;
    for (const auto& [key, value] : map) {
        for (const auto& added : event.addedOrderNumbers()) {
            if (key == added.key) {
                Scan entry;
                scanValue(value, EventInputGuard::MAX_VALUE_DEPTH, entry, true);
                bytes += key.size() + 4 + entry.bytes;
            }
        }
    }
    return bytes;
}

// Repairs and measures the event's maps (null entries skipped); `bytes`
// starts with what the rest of the event takes. Logs a repair.
Status admitMaps(const std::string& eventName, bool repaired, std::size_t bytes,
                 std::initializer_list<EventMap> maps) {
    // One walk of each map finds all three things; a map is walked again only
    // to repair it, and then measured again.
    Scan scans[3];
    std::size_t i = 0;
    for (const EventMap& map : maps) {
        if (map.present()) {
            scans[i] = map.scan(map.map);
            if (scans[i].tooDeep) {
                return Status::error("values nested deeper than " +
                                     std::to_string(EventInputGuard::MAX_VALUE_DEPTH) + " levels");
            }
        }
        ++i;
    }
    i = 0;
    for (const EventMap& map : maps) {
        const Value::Map* current = map.map;
        if (map.present() && scans[i].illFormed) {
            bool changed = false;
            if (current != nullptr) {
                Value::Map* own = map.edit();
                current = own;
                changed = repair(*own, map.native);
            } else {
                changed = repair(*map.list, map.native);
            }
            if (changed) {
                repaired = true;
                scans[i].bytes = map.scan(current).bytes;
            }
        }
        if (map.present() && map.replaced != nullptr) {
            scans[i].bytes -= current != nullptr ? replacedBytes(*current, *map.replaced)
                                                 : replacedBytes(*map.list, *map.replaced);
        }
        bytes += map.present() ? scans[i].bytes : 0;
        ++i;
    }
    if (repaired) {
        SvlLog::warning("EventInputGuard :: ill-formed UTF-8 in event " +
                            EventInputGuard::nameForLog(eventName) + " replaced by U+FFFD",
                        true);
    }
    if (bytes > EventInputGuard::MAX_EVENT_BYTES) {
        return Status::error("about " + std::to_string(bytes) + " bytes, more than " +
                             std::to_string(EventInputGuard::MAX_EVENT_BYTES));
    }
    return Status::ok();
}

}  // namespace

Status EventInputGuard::admit(EventModel& event) {
    bool repaired = false;
    for (auto* s : {&event.prev_id, &event.log_id}) {
        repaired = repair(*s) || repaired;
    }
    repaired = repair(event.event_datetime) || repaired;
    for (auto* s : {&event.group, &event.event_name}) {
        repaired = repair(*s) || repaired;
    }
    // The shared context is only read, unless a text in it needs repair.
    auto contextTexts = [](auto& c) {
        return std::array{&c.last_firstopen_id, &c.last_deeplink_id, &c.last_open_id,
                          &c.session_id,        &c.user_snapshot_id, &c.location.lwid};
    };
    for (const auto* s : contextTexts(event.context())) {
        if (*s && !isWellFormed(**s)) {
            for (auto* own : contextTexts(event.editContext())) {
                repaired = repair(*own) || repaired;
            }
            break;
        }
    }
    std::size_t bytes = kFixedEventBytes + event.event_name.size() + event.group.size();
    // The list, when it holds entries, is what gets written as "param".
    const bool listed = event.paramForm == ParamForm::native && !event.nativeParam.empty();
    const bool numbersAdded = (event.param || listed) && event.hasAddedOrderNumbers();
    if (numbersAdded) {
        // Counted as the entries they are written as.
        for (const auto& [key, value] : event.addedOrderNumbers()) {
            bytes += key.size() + 4 + typedtext::textSize(Value(value)) + 3;
        }
    }
    const EventContext& context = event.context();
    return admitMaps(
        event.event_name, repaired, bytes,
        {{event.param && !listed ? &*event.param : nullptr, event.paramForm == ParamForm::native,
          numbersAdded ? &event : nullptr, listed ? &event.nativeParam : nullptr,
          [&event] { return &*event.param; }},
         {&context.user_properties, false, nullptr, nullptr,
          [&event] { return &event.editContext().user_properties; }},
         {&context.ci, false, nullptr, nullptr, [&event] { return &event.editContext().ci; }}});
}

Status EventInputGuard::admitInput(std::string& eventName, const std::string& group,
                                   Value::Map& params, ParamForm form,
                                   std::size_t propertiesBytes) {
    const bool repaired = repair(eventName);
    return admitMaps(
        eventName, repaired, kFixedEventBytes + eventName.size() + group.size() + propertiesBytes,
        {{&params, form == ParamForm::native, nullptr, nullptr, [&params] { return &params; }}});
}

Status EventInputGuard::admitInput(std::string& eventName, const std::string& group,
                                   ParamList& params, std::size_t propertiesBytes) {
    const bool repaired = repair(eventName);
    return admitMaps(eventName, repaired,
                     kFixedEventBytes + eventName.size() + group.size() + propertiesBytes,
                     {{nullptr, true, nullptr, &params}});
}

std::size_t EventInputGuard::mapBytes(const Value::Map& map) {
    return ::sorvel::mapBytes(map);
}

}  // namespace sorvel

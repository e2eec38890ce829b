#include "Event/EventPackage.h"

#include <zlib.h>

#include <limits>

#include "Base/JsonText.h"
#include "Common/SvlLog.h"
#include "Platform/Crypto.h"

namespace sorvel {
namespace {

// Raw deflate with a small window: the events of a package repeat their keys
// and most values within a few hundred bytes, and a small window keeps the
// compressor's state small.
constexpr int kWindowBits = 12;
constexpr int kMemLevel = 5;

// The most room a thread keeps for writing package texts: several packages
// of ordinary events.
constexpr std::size_t kRoomKept = 64 * 1024;

// One compressor per thread, reset between packages: setting one up costs
// more than packing a package.
class Deflater {
  public:
    Deflater() {
        ready_ = deflateInit2(&stream_, Z_BEST_SPEED, Z_DEFLATED, -kWindowBits, kMemLevel,
                              Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (ready_) {
            deflateEnd(&stream_);
        }
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    bool run(const std::string& in, std::string& out) {
        if (!ready_ || deflateReset(&stream_) != Z_OK) {
            return false;
        }
        out.resize(deflateBound(&stream_, static_cast<uLong>(in.size())));
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        stream_.avail_in = static_cast<uInt>(in.size());
        stream_.next_out = reinterpret_cast<Bytef*>(out.data());
        stream_.avail_out = static_cast<uInt>(out.size());
        if (deflate(&stream_, Z_FINISH) != Z_STREAM_END) {
            return false;
        }
        out.resize(stream_.total_out);
        // It waits in memory: exactly its bytes.
        out.shrink_to_fit();
        return true;
    }

  private:
    z_stream stream_{};
    bool ready_ = false;
};

bool deflateText(const std::string& in, std::string& out) {
    if (in.size() > std::numeric_limits<uInt>::max() / 2) {
        return false;
    }
    thread_local Deflater deflater;
    return deflater.run(in, out);
}

// Appends the inflated text, which must be exactly `size` bytes.
bool inflateInto(const std::string& in, std::size_t size, std::string& out) {
    z_stream stream{};
    if (inflateInit2(&stream, -kWindowBits) != Z_OK) {
        return false;
    }
    const std::size_t at = out.size();
    out.resize(at + size);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + at);
    stream.avail_out = static_cast<uInt>(size);
    const int result = inflate(&stream, Z_FINISH);
    const bool whole = result == Z_STREAM_END && stream.total_out == size;
    inflateEnd(&stream);
    return whole;
}

}  // namespace

const char* describe(EventPackageError) noexcept {
    return "Error occur while making EventPackage from Dictionary";
}

EventPackage::EventPackage(std::vector<EventModel> eventModels)
    : eventCount_(eventModels.size()), packageId_(platform::crypto::uuidString()) {
    // Written in room the thread keeps, then copied once at its exact size:
    // a package can wait in memory a long time (offline, or behind a failing
    // server), so it keeps no unused reserve, and the text's growth costs no
    // allocations of its own.
    thread_local std::string room;
    std::string text = std::move(room);
    text.clear();
    text += '[';
    for (std::size_t i = 0; i < eventModels.size(); ++i) {
        if (i > 0) {
            text += ',';
        }
        eventModels[i].appendJson(text);
    }
    text += ']';
    text_.assign(text);
    textSize_ = text_.size();
    // An unusually large package's room is not kept for good.
    if (text.capacity() <= kRoomKept) {
        room = std::move(text);
    }
}

EventPackage::EventPackage(std::size_t eventCount, std::string packageId, std::string deflated,
                           std::size_t textSize)
    : eventCount_(eventCount),
      packageId_(std::move(packageId)),
      text_(std::move(deflated)),
      textSize_(textSize),
      packed_(true) {}

EventPackage::EventPackage(const EventPackage& other)
    : eventCount_(other.eventCount_),
      packageId_(other.packageId_),
      text_(other.text_),
      textSize_(other.textSize_),
      packed_(other.packed_),
      withdrawn_(other.withdrawn()) {}

EventPackage::EventPackage(EventPackage&& other) noexcept
    : eventCount_(other.eventCount_),
      packageId_(std::move(other.packageId_)),
      text_(std::move(other.text_)),
      textSize_(other.textSize_),
      packed_(other.packed_),
      withdrawn_(other.withdrawn()) {}

EventPackage& EventPackage::operator=(const EventPackage& other) {
    if (this != &other) {
        eventCount_ = other.eventCount_;
        packageId_ = other.packageId_;
        text_ = other.text_;
        textSize_ = other.textSize_;
        packed_ = other.packed_;
        withdrawn_.store(other.withdrawn());
    }
    return *this;
}

EventPackage& EventPackage::operator=(EventPackage&& other) noexcept {
    eventCount_ = other.eventCount_;
    packageId_ = std::move(other.packageId_);
    text_ = std::move(other.text_);
    textSize_ = other.textSize_;
    packed_ = other.packed_;
    withdrawn_.store(other.withdrawn());
    return *this;
}

std::string EventPackage::eventsJson() const {
    if (!packed_) {
        return text_;
    }
    std::string out;
    appendEventsJson(out);
    return out;
}

bool EventPackage::hasEventsJson(std::string_view text) const {
    if (text.size() != textSize_) {
        return false;
    }
    return packed_ ? eventsJson() == text : text_ == text;
}

void EventPackage::appendEventsJson(std::string& out) const {
    if (!packed_) {
        out += text_;
        return;
    }
    const std::size_t at = out.size();
    if (!inflateInto(text_, textSize_, out)) {
        // Our own deflate stream, kept in memory only: this cannot happen
        // short of memory corruption. An empty list keeps the text readable.
        out.resize(at);
        out += "[]";
        SvlLog::error(
            "EventPackage :: the kept events of package " + packageId_ + " can not be read back",
            false);
    }
}

std::shared_ptr<const EventPackage> EventPackage::packedCopy() const {
    if (packed_) {
        return nullptr;
    }
    std::string deflated;
    if (!deflateText(text_, deflated) || deflated.size() >= text_.size()) {
        return nullptr;
    }
    auto copy = std::shared_ptr<EventPackage>(
        new EventPackage(eventCount_, packageId_, std::move(deflated), textSize_));
    copy->withdrawn_.store(withdrawn());
    return copy;
}

std::vector<EventModel> EventPackage::eventModels() const {
    std::vector<EventModel> events;
    events.reserve(eventCount_);
    const std::optional<Value> parsed = Value::fromJson(eventsJson());
    const Value::Array* list = parsed ? parsed->getArray() : nullptr;
    for (const Value& element : list != nullptr ? *list : Value::Array{}) {
        const Value::Map* map = element.getMap();
        if (auto event = map != nullptr ? EventModel::initFromDictionary(*map)
                                        : StatusOr<EventModel>(Status::error("not an object"))) {
            events.push_back(std::move(event).value());
        }
    }
    return events;
}

void EventPackage::appendJson(std::string& out) const {
    json::ObjectWriter o(out);
    appendEventsJson(o.key("eventModels"));
    o.text("package_id", packageId_);
}

Value::Map EventPackage::toDictionary() const {
    // The dictionaries as the text holds them (an event's unreadable parts
    // stay as written, where reading it back as a model would drop them).
    std::optional<Value> events = Value::fromJson(eventsJson());
    if (!events || !events->isArray()) {
        events = Value(Value::Array{});
    }
    return Value::Map{{"eventModels", std::move(*events)}, {"package_id", Value(packageId_)}};
}

StatusOr<EventPackage> EventPackage::initFromDictionary(const Value::Map& dictionary) {
    auto it = dictionary.find("eventModels");
    const Value::Array* list = it != dictionary.end() ? it->second.getArray() : nullptr;
    if (list == nullptr) {
        return Status::error(describe(EventPackageError::FromDictionaryParseError));
    }
    std::vector<EventModel> events;
    events.reserve(list->size());
    for (const Value& element : *list) {
        const Value::Map* map = element.getMap();
        auto event = map != nullptr ? EventModel::initFromDictionary(*map)
                                    : StatusOr<EventModel>(Status::error("not an object"));
        if (!event) {
            SvlLog::error("EventPackage From Dictionary Error", true);
            continue;
        }
        events.push_back(std::move(event).value());
    }
    return EventPackage(std::move(events));
}

}  // namespace sorvel

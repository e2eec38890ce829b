// The message-history readers on any text: a stored or received content, one
// server entry, and a whole list answer. Nothing crashes; what reads as a
// content writes back to a text that reads as the same content, and what
// reads as an entry writes an output form that is a JSON object.

#include <cstddef>
#include <cstdint>
#include <string>

#include "Common/Extensions.h"
#include "FuzzSupport.h"
#include "sorvel/ActionHistoryModel.h"

using namespace sorvel;
namespace fz = sorvel::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUpProcess();
    return 0;
}

namespace {

void checkContent(const std::string& text) {
    auto content = ActionContent::fromJsonString(text);
    if (!content) {
        return;
    }
    const std::string written = content->toJsonString();
    auto back = ActionContent::fromJsonString(written);
    fz::check(back.has_value(), "the writer's text does not read back", written);
    fz::check(back->toJsonString() == written, "a content changed on its way through the writer",
              written);
}

void checkEntry(const Value::Map& entry) {
    auto history = ActionHistory::fromDictionary(entry, true);
    if (!history) {
        return;
    }
    const std::string out = history->toJsonString();
    auto parsed = ext::toDictionary(out);
    fz::check(parsed.has_value(), "an entry's output form is not a JSON object", out);
    fz::check(parsed->count("content") == 1 && parsed->at("content").isString(),
              "an entry's content is not a text", out);
    checkContent(*parsed->at("content").getString());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkContent(text);
    (void)KakaoButton::fromJsonString(text);
    auto map = ext::toDictionary(text);
    if (!map) {
        return 0;
    }
    checkEntry(*map);
    // A list answer: each of its entries as the repository reads them.
    if (auto it = map->find("histories"); it != map->end() && it->second.isArray()) {
        for (const auto& entry : *it->second.getArray()) {
            if (entry.isMap()) {
                checkEntry(*entry.getMap());
            }
        }
    }
    return 0;
}

// JSON text to Value and back: any text either parses or is refused; a parsed
// value is written (compact and pretty) and read back equal, and writing is
// stable. Deep nesting must be refused, never exhaust the stack.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "sorvel/Value.h"

using sorvel::Value;
namespace fz = sorvel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<Value> parsed = Value::fromJson(text);
    if (!parsed) {
        return 0;
    }
    const std::string compact = parsed->toJson();
    const std::optional<Value> again = Value::fromJson(compact);
    fz::check(again.has_value(), "written JSON does not parse", compact);
    fz::check(*again == *parsed, "JSON round trip changed the value", compact);
    fz::check(again->toJson() == compact, "writing is not stable", compact);
    const std::optional<Value> pretty = Value::fromJson(parsed->toJson(true));
    fz::check(pretty.has_value() && *pretty == *parsed, "pretty JSON round trip changed the value",
              compact);
    (void)parsed->render();
    fz::check(sorvel::isEqual(*parsed, *again), "a value is not loosely equal to itself", compact);
    return 0;
}

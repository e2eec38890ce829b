// The settings store's binary value form: arbitrary bytes decode or are
// refused; what decodes is canonical, so it encodes to the very same bytes
// and decodes equal again.

#include <cstddef>
#include <cstdint>
#include <span>

#include "Base/ValueCodec.h"
#include "FuzzSupport.h"

using sorvel::Value;
using sorvel::ValueCodec;
namespace fz = sorvel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const std::optional<Value> decoded = ValueCodec::decode(bytes);
    if (!decoded) {
        return 0;
    }
    const std::optional<Value::Bytes> encoded = ValueCodec::encode(*decoded);
    fz::check(encoded.has_value(), "a decoded value does not encode", decoded->render());
    fz::check(std::equal(encoded->begin(), encoded->end(), bytes.begin(), bytes.end()),
              "re-encoding gave other bytes", decoded->render());
    const std::optional<Value> again = ValueCodec::decode(*encoded);
    fz::check(again.has_value(), "re-encoded bytes do not decode", decoded->render());
    // NaN differs from itself: the byte comparison above covers it; the
    // rendering compares everything else.
    fz::check(again->render() == decoded->render(), "decode after encode changed the value",
              decoded->render());
    // The other consumers of a stored value.
    const std::string json = decoded->toJson();
    fz::check(Value::fromJson(json).has_value(), "a decoded value writes JSON that does not parse",
              json);
    return 0;
}

// Any bytes through the image decoder: nothing crashes or allocates past the
// pixel cap, and a decoded image encodes to a PNG that decodes to the same
// pixels.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "Platform/ImageCodec.h"

using namespace sorvel;
namespace fz = sorvel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto image = platform::decodeImage(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!image) {
        return 0;
    }
    const std::uint64_t pixels = std::uint64_t{image->width} * image->height;
    fz::check(pixels > 0 && pixels <= platform::MAX_IMAGE_PIXELS, "an image past the cap");
    fz::check(image->rgba.size() == pixels * 4, "pixels do not match the size");
    auto png = platform::encodePng(*image);
    fz::check(png.has_value(), "a decoded image does not encode");
    auto again = platform::decodeImage(*png);
    fz::check(again && *again == *image, "the PNG of an image reads back different");
    return 0;
}

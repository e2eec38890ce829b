#pragma once

#include <cstdint>
#include <vector>

namespace sorvel::platform {

// A decoded bitmap: what the views draw and what is encoded back to PNG.
// Rows top to bottom, four bytes a pixel (red, green, blue, alpha; alpha not
// premultiplied), no padding between rows.
struct Image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgba;

    std::uint32_t bytesPerRow() const noexcept { return width * 4; }
    friend bool operator==(const Image&, const Image&) = default;
};

}  // namespace sorvel::platform

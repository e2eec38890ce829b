#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Image.h"

namespace sorvel::platform {

// The largest image decoded, in pixels (64 MiB of RGBA). A header that
// announces more is refused before anything is allocated for its pixels.
inline constexpr std::uint64_t MAX_IMAGE_PIXELS = 4096ull * 4096ull;

// Decodes PNG or JPEG data (told apart by their signatures) into RGBA.
// Nothing for any other data, a truncated or corrupt file, a zero-sized image
// or one past MAX_IMAGE_PIXELS. Never logs; `why` (when given) says what was
// wrong.
std::optional<Image> decodeImage(std::string_view data, std::string* why = nullptr);

// The PNG file of the image (8-bit RGBA); nothing for an image whose pixel
// buffer does not match its size.
std::optional<std::string> encodePng(const Image& image);

}  // namespace sorvel::platform

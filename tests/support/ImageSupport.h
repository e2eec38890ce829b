#pragma once

#include <cstdint>
#include <string>

#include "Platform/Image.h"

namespace sorvel::testing {

// A width x height image of one colour.
platform::Image solidImage(std::uint32_t width, std::uint32_t height, std::uint8_t red,
                           std::uint8_t green, std::uint8_t blue, std::uint8_t alpha = 255);
// The image as PNG and as JPEG (quality 95) files.
std::string pngOf(const platform::Image& image);
std::string jpegOf(const platform::Image& image);
// A well-formed PNG file announcing width x height whose pixel data is empty.
std::string pngWithoutPixels(std::uint32_t width, std::uint32_t height);

}  // namespace sorvel::testing

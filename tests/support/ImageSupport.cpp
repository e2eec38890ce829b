#include "support/ImageSupport.h"

#include <cstdio>
#include <stdexcept>

#include <jpeglib.h>
#include <zlib.h>

#include "Platform/ImageCodec.h"

namespace sorvel::testing {

platform::Image solidImage(std::uint32_t width, std::uint32_t height, std::uint8_t red,
                           std::uint8_t green, std::uint8_t blue, std::uint8_t alpha) {
    platform::Image image;
    image.width = width;
    image.height = height;
    image.rgba.reserve(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i) {
        image.rgba.insert(image.rgba.end(), {red, green, blue, alpha});
    }
    return image;
}

std::string pngOf(const platform::Image& image) {
    auto png = platform::encodePng(image);
    if (!png) {
        throw std::runtime_error("image cannot be encoded");
    }
    return *png;
}

std::string jpegOf(const platform::Image& image) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = image.width;
    cinfo.image_height = image.height;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_RGBA;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(image.rgba.data()) +
                       static_cast<std::size_t>(cinfo.next_scanline) * image.width * 4;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string out(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return out;
}

std::string pngWithoutPixels(std::uint32_t width, std::uint32_t height) {
    auto be32 = [](std::string& out, std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<char>((v >> shift) & 0xff));
        }
    };
    std::string out("\x89PNG\r\n\x1a\n", 8);
    auto chunk = [&](const std::string& typeAndData) {
        be32(out, static_cast<std::uint32_t>(typeAndData.size() - 4));
        out += typeAndData;
        be32(out, static_cast<std::uint32_t>(crc32(
                      0, reinterpret_cast<const Bytef*>(typeAndData.data()), typeAndData.size())));
    };
    std::string header = "IHDR";
    be32(header, width);
    be32(header, height);
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8-bit RGBA, no interlace
    chunk(header);
    chunk("IDAT");
    chunk("IEND");
    return out;
}

}  // namespace sorvel::testing

#include "Platform/ImageCodec.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <png.h>

namespace sorvel::platform {
namespace {

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// A progressive JPEG may hold any number of scans, each one a full pass over
// the image; real files have around ten.
constexpr int kMaxJpegScans = 200;

void setWhy(std::string* why, const char* text) {
    if (why) {
        *why = text;
    }
}

bool withinCap(std::uint64_t width, std::uint64_t height) {
    return width > 0 && height > 0 && width <= MAX_IMAGE_PIXELS && height <= MAX_IMAGE_PIXELS &&
           width * height <= MAX_IMAGE_PIXELS;
}

std::optional<Image> decodePng(std::string_view data, std::string* why) {
    png_image png;
    std::memset(&png, 0, sizeof(png));
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, data.data(), data.size())) {
        setWhy(why, "not a readable PNG");
        png_image_free(&png);
        return std::nullopt;
    }
    if (!withinCap(png.width, png.height)) {
        setWhy(why, "PNG too large");
        png_image_free(&png);
        return std::nullopt;
    }
    png.format = PNG_FORMAT_RGBA;
    Image image;
    image.width = png.width;
    image.height = png.height;
    image.rgba.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.rgba.data(), 0, nullptr)) {
        setWhy(why, "corrupt PNG");
        png_image_free(&png);
        return std::nullopt;
    }
    png_image_free(&png);
    return image;
}

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

[[noreturn]] void onJpegError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

void onJpegMessage(j_common_ptr) {}

void onJpegProgress(j_common_ptr cinfo) {
    if (cinfo->is_decompressor &&
        reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxJpegScans) {
        cinfo->err->error_exit(cinfo);
    }
}

// Only plain data lives in this frame: the error path leaves it by longjmp.
// The pixels go to `out`, owned by the caller.
bool decodeJpegInto(std::string_view data, Image& out, const char** why) {
    jpeg_decompress_struct cinfo;
    JpegError err;
    jpeg_progress_mgr progress;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onJpegError;
    err.mgr.output_message = onJpegMessage;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        *why = "corrupt JPEG";
        return false;
    }
    jpeg_create_decompress(&cinfo);
    progress.progress_monitor = onJpegProgress;
    cinfo.progress = &progress;
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(data.data()),
                 static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        *why = "not a readable JPEG";
        return false;
    }
    if (!withinCap(cinfo.image_width, cinfo.image_height)) {
        jpeg_destroy_decompress(&cinfo);
        *why = "JPEG too large";
        return false;
    }
    cinfo.out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(&cinfo);
    out.width = cinfo.output_width;
    out.height = cinfo.output_height;
    const std::size_t stride = static_cast<std::size_t>(out.width) * 4;
    out.rgba.assign(stride * out.height, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.rgba.data() + stride * cinfo.output_scanline;
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) {
            break;
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

std::optional<Image> decodeJpeg(std::string_view data, std::string* why) {
    Image image;
    const char* reason = nullptr;
    if (!decodeJpegInto(data, image, &reason)) {
        setWhy(why, reason);
        return std::nullopt;
    }
    return image;
}

}  // namespace

std::optional<Image> decodeImage(std::string_view data, std::string* why) {
    if (data.size() >= sizeof(kPngSignature) &&
        std::memcmp(data.data(), kPngSignature, sizeof(kPngSignature)) == 0) {
        return decodePng(data, why);
    }
    if (data.size() >= 3 && static_cast<unsigned char>(data[0]) == 0xFF &&
        static_cast<unsigned char>(data[1]) == 0xD8 &&
        static_cast<unsigned char>(data[2]) == 0xFF) {
        return decodeJpeg(data, why);
    }
    setWhy(why, "neither PNG nor JPEG");
    return std::nullopt;
}

std::optional<std::string> encodePng(const Image& image) {
    if (!withinCap(image.width, image.height) ||
        image.rgba.size() != static_cast<std::size_t>(image.width) * image.height * 4) {
        return std::nullopt;
    }
    png_image png;
    std::memset(&png, 0, sizeof(png));
    png.version = PNG_IMAGE_VERSION;
    png.width = image.width;
    png.height = image.height;
    png.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&png, nullptr, &size, 0, image.rgba.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    std::string out(size, '\0');
    if (!png_image_write_to_memory(&png, out.data(), &size, 0, image.rgba.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    out.resize(size);
    png_image_free(&png);
    return out;
}

}  // namespace sorvel::platform

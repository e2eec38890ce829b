#include <gtest/gtest.h>

#include "Platform/ImageCodec.h"
#include "support/ImageSupport.h"

namespace sorvel::platform {
namespace {

TEST(ImageCodec, PngAndJpegDecodeToRgba) {
    const Image red = testing::solidImage(7, 5, 255, 0, 0, 128);
    const std::string png = testing::pngOf(red);
    auto back = decodeImage(png);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, red);
    EXPECT_EQ(back->bytesPerRow(), 28u);

    const std::string jpeg = testing::jpegOf(testing::solidImage(16, 8, 0, 0, 255));
    std::string why;
    auto blue = decodeImage(jpeg, &why);
    ASSERT_TRUE(blue) << why;
    EXPECT_EQ(blue->width, 16u);
    EXPECT_EQ(blue->height, 8u);
    ASSERT_EQ(blue->rgba.size(), 16u * 8u * 4u);
    // Lossy, but blue stays blue and the alpha opaque.
    EXPECT_LT(blue->rgba[0], 16);
    EXPECT_GT(blue->rgba[2], 240);
    EXPECT_EQ(blue->rgba[3], 255);

    // The PNG of a decoded JPEG reads back as the same pixels.
    auto again = decodeImage(*encodePng(*blue));
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *blue);
}

TEST(ImageCodec, BadDataIsRefusedWithAReason) {
    std::string why;
    // 30,000 x 30,000 would take 3.6 GB: refused from the header alone.
    EXPECT_FALSE(decodeImage(testing::pngWithoutPixels(30000, 30000), &why));
    EXPECT_EQ(why, "PNG too large");
    EXPECT_FALSE(decodeImage(testing::pngWithoutPixels(1, 1), &why));  // no pixel data
    EXPECT_EQ(why, "corrupt PNG");

    const std::string png = testing::pngOf(testing::solidImage(64, 64, 1, 2, 3));
    const std::string jpeg = testing::jpegOf(testing::solidImage(64, 64, 1, 2, 3));
    for (std::size_t cut : {std::size_t{9}, std::size_t{40}, png.size() / 2, png.size() - 16}) {
        EXPECT_FALSE(decodeImage(png.substr(0, cut))) << "png cut at " << cut;
    }
    for (std::size_t cut : {std::size_t{3}, std::size_t{20}, jpeg.size() / 3}) {
        // A cut JPEG either fails or decodes to the announced size: never more.
        auto image = decodeImage(jpeg.substr(0, cut));
        if (image) {
            EXPECT_EQ(image->rgba.size(), 64u * 64u * 4u);
        }
    }
    EXPECT_FALSE(decodeImage("<html>not found</html>", &why));
    EXPECT_EQ(why, "neither PNG nor JPEG");
    EXPECT_FALSE(decodeImage(""));
    EXPECT_FALSE(decodeImage(std::string("\xFF\xD8\xFF\x00\x00", 5)));

    // An image whose buffer does not match its size is not encoded.
    Image broken = testing::solidImage(2, 2, 0, 0, 0);
    broken.rgba.pop_back();
    EXPECT_FALSE(encodePng(broken));
    EXPECT_FALSE(encodePng(Image{}));
}

}  // namespace
}  // namespace sorvel::platform

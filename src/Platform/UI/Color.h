#pragma once

namespace sorvel::platform {

// A colour in sRGB with straight (not premultiplied) alpha, each part 0 to 1.
struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;

    Color withAlpha(double a) const { return Color{red, green, blue, a}; }
    friend bool operator==(const Color&, const Color&) = default;

    static constexpr Color clear() { return Color{0, 0, 0, 0}; }
    static constexpr Color white() { return Color{1, 1, 1, 1}; }
    static constexpr Color black() { return Color{0, 0, 0, 1}; }
    static constexpr Color gray() { return Color{0.5, 0.5, 0.5, 1}; }
    static constexpr Color darkGray() { return Color{1.0 / 3, 1.0 / 3, 1.0 / 3, 1}; }
    // The system's tint blue (0, 122, 255).
    static constexpr Color systemBlue() { return Color{0, 122.0 / 255, 1, 1}; }
};

enum class TextAlignment { LEFT, CENTER, RIGHT };

}  // namespace sorvel::platform

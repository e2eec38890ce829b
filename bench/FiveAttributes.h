#pragma once

// The five string attributes the figures give every event, built into a new
// model as an app does for each call.

#include <array>

#include "sorvel/SorvelKvAttrModel.h"

namespace sorvel::bench {

using FiveValues = std::array<const char*, 5>;

inline constexpr FiveValues kAsciiValues{"home", "b", "push", "spring_sale", "en_US"};

// Accents, a flag, a joined emoji, Japanese: the cut to a length counted in
// user-perceived characters walks multi-byte text.
inline constexpr FiveValues kMultiByteValues{
    "caf\xc3\xa9 cr\xc3\xa8me", "\xf0\x9f\x87\xaf\xf0\x9f\x87\xb5",
    "\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb push",
    "\xe6\x98\xa5\xe3\x81\xae\xe3\x82\xbb\xe3\x83\xbc\xe3\x83\xab", "ja_JP"};

inline SorvelKvAttrModel fiveStrings(const FiveValues& values = kAsciiValues) {
    static constexpr std::array<const char*, 5> kKeys{"screen", "variant", "source", "campaign",
                                                      "locale"};
    SorvelKvAttrModel attrs;
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        attrs.setAttrDataString(kKeys[i], values[i]);
    }
    return attrs;
}

}  // namespace sorvel::bench

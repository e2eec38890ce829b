#pragma once

#include "sorvel/SorvelKvAttrModel.h"

namespace sorvel::bench {

// The attributes of the record figures: five short strings, as an app fills
// a model for one event.
inline SorvelKvAttrModel fiveStrings() {
    SorvelKvAttrModel attrs;
    attrs.setAttrDataString("screen", "home");
    attrs.setAttrDataString("variant", "b");
    attrs.setAttrDataString("source", "push");
    attrs.setAttrDataString("campaign", "spring_sale");
    attrs.setAttrDataString("locale", "en_US");
    return attrs;
}

}  // namespace sorvel::bench

#pragma once

#include <string>

namespace sorvel::platform {

// The app's translation of a user-facing text, looked up with the text itself
// as the key (host::setLocalizedStringProvider); without a translation the
// text as it stands.
std::string localizedString(const std::string& key);

}  // namespace sorvel::platform

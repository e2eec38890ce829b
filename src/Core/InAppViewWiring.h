#pragma once

namespace sorvel {

// Gives the in-app views the container's campaign data access object (their
// image polls and one-day closes), through InAppViewHooks. Called by the
// container with the other hooks of Common/CoreHooks.h.
void wireInAppViews();

}  // namespace sorvel

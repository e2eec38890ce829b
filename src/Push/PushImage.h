#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Base/Status.h"
#include "Platform/Clock.h"
#include "sorvel/SorvelNotifications.h"

// Fetching the image of a notification and making it an attachment.
namespace sorvel::push {

// No image larger than this is taken.
inline constexpr std::size_t MAX_IMAGE_BYTES = 10u * 1024u * 1024u;
// A remote notification's image must arrive well before the service
// extension's time is up; a local notification's builder may wait longer.
inline constexpr platform::Millis REMOTE_IMAGE_TIMEOUT = platform::Millis(25000);
inline constexpr platform::Millis LOCAL_IMAGE_TIMEOUT = platform::Millis(60000);

// Whether the text is an http or https URL an image can be fetched from.
bool isImageUrl(std::string_view url);

// The whole body of an http(s) URL of any host answered with a 2xx status, at
// most MAX_IMAGE_BYTES, within the time-out; up to
// platform::HttpSession::MAX_REDIRECTS redirects are followed while they stay
// on http or https. With
// allowFiles, a "file://" URL or an absolute path is read from the disk
// (same cap). Blocks the calling thread; the failure says why. A transfer
// stops early once *cancel (when given) turns true.
StatusOr<std::string> fetchImage(std::string_view url, platform::Millis timeout,
                                 bool allowFiles = false,
                                 const std::atomic<bool>* cancel = nullptr);

// The last path component of a URL (before any query or fragment); "" when it
// has none.
std::string lastPathComponent(std::string_view url);

// Writes the data to a fresh private folder under fileName and makes it an
// attachment with the same identifier given; on failure logs "error " and
// the reason at error level and gives nothing.
std::optional<NotificationAttachment> createAttachment(const std::string& identifier,
                                                       const std::string& fileName,
                                                       std::string_view data);

}  // namespace sorvel::push

#include "Push/PushImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Base/Url.h"
#include "Common/SvlLog.h"
#include "Platform/Http.h"
#include "Platform/UserNotificationCenter.h"

namespace sorvel::push {
namespace {

// Collects the body, stopping the transfer once it passes the cap.
class CappedSink final : public platform::IHttpBodySink {
  public:
    explicit CappedSink(const std::atomic<bool>* cancel) : cancel_(cancel) {}
    bool write(std::string_view chunk) override {
        if (cancel_ != nullptr && cancel_->load()) {
            cancelled = true;
            return false;
        }
        if (body.size() + chunk.size() > MAX_IMAGE_BYTES) {
            tooLarge = true;
            return false;
        }
        body.append(chunk);
        return true;
    }
    std::string body;
    bool tooLarge = false;
    bool cancelled = false;

  private:
    const std::atomic<bool>* cancel_;
};

StatusOr<std::string> readFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return Status::error("cannot open " + path + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Status::error(path + " is not a regular file");
    }
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const std::string why = std::strerror(errno);
            ::close(fd);
            return Status::error("cannot read " + path + ": " + why);
        }
        if (n == 0)
            break;
        if (out.size() + static_cast<std::size_t>(n) > MAX_IMAGE_BYTES) {
            ::close(fd);
            return Status::error("the image is larger than " + std::to_string(MAX_IMAGE_BYTES) +
                                 " bytes");
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

}  // namespace

bool isImageUrl(std::string_view url) {
    return text::parseHttpUrl(url).has_value();
}

StatusOr<std::string> fetchImage(std::string_view url, platform::Millis timeout, bool allowFiles,
                                 const std::atomic<bool>* cancel) {
    if (allowFiles) {
        if (url.substr(0, 7) == "file://") {
            return readFile(text::percentDecode(url.substr(7)));
        }
        if (!url.empty() && url.front() == '/') {
            return readFile(std::string(url));
        }
    }
    if (!isImageUrl(url)) {
        return Status::error("not an http or https URL");
    }
    platform::HttpRequest request;
    request.url = std::string(url);
    request.timeout = timeout;
    request.policy = platform::HttpUrlPolicy::PUBLIC_RESOURCE;
    CappedSink sink(cancel);
    platform::HttpResponse response = platform::HttpSession::shared().perform(request, sink);
    if (sink.cancelled || (cancel != nullptr && cancel->load())) {
        return Status::error("cancelled");
    }
    if (sink.tooLarge) {
        return Status::error("the image is larger than " + std::to_string(MAX_IMAGE_BYTES) +
                             " bytes");
    }
    if (response.status < 200 || response.status > 299) {
        return Status::error(response.status == 0
                                 ? "no answer: " + response.error
                                 : "answered with status " + std::to_string(response.status));
    }
    return std::move(sink.body);
}

std::string lastPathComponent(std::string_view url) {
    const std::optional<text::UrlParts> parts = text::parseUrl(url);
    if (!parts) {
        return "";
    }
    std::string_view path = parts->path;
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return text::percentDecode(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<NotificationAttachment> createAttachment(const std::string& identifier,
                                                       const std::string& fileName,
                                                       std::string_view data) {
    StatusOr<NotificationAttachment> made =
        platform::makeNotificationAttachment(identifier, fileName, data);
    if (!made.isOk()) {
        SvlLog::error("error " + made.status().message(), false);
        return std::nullopt;
    }
    return std::move(made).value();
}

}  // namespace sorvel::push

// The store's campaign images: the Image rows, the download, and the PNG
// files in the Documents folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Base/Url.h"
#include "Common/RegistryStates.h"
#include "Common/SvlLog.h"
#include "InAppMessage/InAppMessageSqliteStore.h"
#include "Platform/Crypto.h"
#include "Platform/FileSystem.h"
#include "Platform/ImageCodec.h"
#include "Platform/Sqlite.h"

namespace sorvel {
namespace {

using platform::sqlite::quote;

// A saved image is at most the PNG of the largest image decoded, and then some.
constexpr off_t kMaxImageFileBytes = 80 * 1024 * 1024;

std::string orientationSuffix(const std::string& campaignId, const std::string& orientation) {
    return campaignId + " orientation =  " + orientation;
}

// A file name the store made: no folder part, nothing that leaves Documents.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

std::optional<std::string> readSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxImageFileBytes) {
        ::close(fd);
        return std::nullopt;
    }
    std::string out(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(done);
    return out;
}

}  // namespace

ImageFetcher InAppMessageSqliteStore::defaultImageFetcher() {
    return [](const std::string& url) {
        platform::HttpRequest request;
        request.method = "GET";
        request.url = url;
        // A campaign names its images on any host, over http or https, and
        // image hosts often answer with a redirect.
        request.policy = platform::HttpUrlPolicy::PUBLIC_RESOURCE;
        return platform::HttpSession::shared().dataTask(request);
    };
}

// ---- Rows ------------------------------------------------------------------------------------

std::optional<InAppMessageSqliteStore::ImageRow> InAppMessageSqliteStore::readImageRow(
    const std::string& campaignId, const std::string& orientation, const char* operation,
    bool& prepared) {
    const ImageTable& t = imageTable;
    auto s = prepareLookup("SELECT " + t.COLUMN_NAME_IMAGE_PATH_STRING + ",\n" +
                               t.COLUMN_NAME_CLICK_ACTION + ",\n" + t.COLUMN_NAME_URL + ",\n" +
                               t.COLUMN_NAME_IS_FIRST_SHOW + "\nFROM " + t.TABLE_NAME + "\nWHERE " +
                               t.COLUMN_NAME_CAMPAIGN_ID + " = " + quote(campaignId) + "\nAND " +
                               t.COLUMN_NAME_ORIENTATION + " = " + quote(orientation),
                           operation);
    prepared = static_cast<bool>(s);
    if (!s || s.step() != SQLITE_ROW) {
        return std::nullopt;
    }
    return ImageRow{s.columnText(0), s.columnText(1), s.columnText(2), s.columnInt(3) == 1};
}

std::optional<ImageInfo> InAppMessageSqliteStore::getAndSaveImageInfo(
    const std::string& campaignId, const std::string& orientation, bool isFirstShow) {
    bool prepared = false;
    auto read = readImageRow(campaignId, orientation, "getAndSaveImageInfo", prepared);
    if (!read) {
        if (prepared) {
            SvlLog::error("getAndSaveImageInfo :: No image with campaignId = " +
                              orientationSuffix(campaignId, orientation),
                          true);
        }
        return std::nullopt;
    }
    const ImageRow& row = *read;

    InAppImage image;
    bool isDownloaded = row.isFirstShow;
    if (row.path == inapp::NO_IMAGE) {
        const std::string fileName = platform::crypto::uuidString();
        if (!text::parseUrl(row.url)) {
            SvlLog::error(
                "getAndSaveImageInfo :: can not get imageUrl from imageUrlString, " + row.url,
                true);
            return std::nullopt;
        }
        image = downloadImage(row.url);
        if (!image) {
            SvlLog::error("InAppMessageDAO getAndSaveImageInfo: downloadedImage is null", true);
            return std::nullopt;
        }
        // The row names the file only once the file is there; a failed save
        // keeps "no_image", so the next request downloads again.
        if (saveImageToInternalStorage(*image, fileName).isOk() &&
            !recordSavedImage(campaignId, orientation, row.url, fileName, row.clickAction,
                              !isFirstShow)) {
            // The row no longer waits for this image: the file would be nobody's.
            deleteImageFromInternalStorage(fileName);
        }
        isDownloaded = true;
    } else {
        if (row.isFirstShow && isFirstShow) {
            updateImageTable(campaignId, orientation, row.url, row.path, row.clickAction, false);
        }
        image = loadImageFromInternalStorage(row.path);
    }
    if (!image) {
        SvlLog::debug("getAndSaveImageInfo :: cannot retrieve image info, campaignId = " +
                          orientationSuffix(campaignId, orientation),
                      true);
        return std::nullopt;
    }
    return ImageInfo{std::move(image), row.url, isDownloaded, row.clickAction};
}

std::optional<ImageInfo> InAppMessageSqliteStore::getImageInfo(const std::string& campaignId,
                                                               const std::string& orientation,
                                                               bool isFirstShow) {
    bool prepared = false;
    auto read = readImageRow(campaignId, orientation, "getImageInfo", prepared);
    if (!read) {
        if (prepared) {
            SvlLog::debug("getImageInfo :: No image with campaignId = " +
                              orientationSuffix(campaignId, orientation),
                          true);
        }
        return std::nullopt;
    }
    const ImageRow& row = *read;
    if (row.isFirstShow && isFirstShow) {
        updateImageTable(campaignId, orientation, row.url, row.path, row.clickAction, false);
    }
    InAppImage image;
    if (row.path != inapp::NO_IMAGE) {
        image = loadImageFromInternalStorage(row.path);
    }
    if (!image) {
        SvlLog::debug("getImageInfo :: cannot download image, campaignId = " +
                          orientationSuffix(campaignId, orientation),
                      true);
    }
    return ImageInfo{std::move(image), row.url, row.isFirstShow, row.clickAction};
}

std::optional<std::string> InAppMessageSqliteStore::getImagePathFromImageTabel(
    const std::string& campaignId, const std::string& orientation) {
    const ImageTable& t = imageTable;
    auto s = prepareLookup("SELECT " + t.COLUMN_NAME_IMAGE_PATH_STRING + "\nFROM " + t.TABLE_NAME +
                               "\nWHERE " + t.COLUMN_NAME_CAMPAIGN_ID + " = " + quote(campaignId) +
                               "\nAND " + t.COLUMN_NAME_ORIENTATION + " = " + quote(orientation),
                           "getImagePathFromImageTabel");
    if (!s) {
        return std::nullopt;
    }
    if (s.step() != SQLITE_ROW) {
        SvlLog::error("getImagePathFromImageTabel :: No image with campaignId = " +
                          orientationSuffix(campaignId, orientation),
                      true);
        return std::nullopt;
    }
    return s.columnText(0);
}

std::vector<std::string> InAppMessageSqliteStore::getAllImagePathFromImageTable() {
    std::vector<std::string> out;
    auto s = prepareLookup(
        "SELECT " + imageTable.COLUMN_NAME_IMAGE_PATH_STRING + "\nFROM " + imageTable.TABLE_NAME,
        "getAllImagePathFromImageTable");
    while (s && s.step() == SQLITE_ROW) {
        out.push_back(s.columnText(0));
    }
    return out;
}

// ---- Files ------------------------------------------------------------------------------------

std::optional<std::string> InAppMessageSqliteStore::getImageFileUrl(
    const std::string& fileName) const {
    if (!isPlainFileName(fileName)) {
        return std::nullopt;
    }
    return platform::documentsFolder() + "/" + fileName + ".png";
}

Status InAppMessageSqliteStore::saveImageToInternalStorage(const platform::Image& image,
                                                           const std::string& fileName) {
    const auto png = platform::encodePng(image);
    if (!png) {
        return Status::error("the image has no PNG form");
    }
    const auto path = getImageFileUrl(fileName);
    if (!path) {
        return Status::error("'" + fileName + "' is no plain file name");
    }
    // No reader, nor the next launch, ever finds half a file.
    Status written = platform::writePrivateFileAtomically(*path, *png);
    if (!written) {
        SvlLog::error("Saving file resulted in error: " + written.message(), true);
    }
    return written;
}

InAppImage InAppMessageSqliteStore::downloadImage(const std::string& url) {
    if (!FvnUtil::isNetworkConnected()) {
        SvlLog::debug(
            "Fail to downloadImage. You are not connected to the network. url : " + url + " ",
            true);
        return nullptr;
    }
    const platform::HttpResponse response = fetcher_(url);
    if (response.status == 0) {
        SvlLog::error("downloadImage :: cannot get image, " + response.error, true);
        return nullptr;
    }
    auto decoded = platform::decodeImage(response.body);
    if (!decoded) {
        SvlLog::error("downloadImage :: downloaded file is not image", true);
        return nullptr;
    }
    return std::make_shared<const platform::Image>(std::move(*decoded));
}

InAppImage InAppMessageSqliteStore::loadImageFromInternalStorage(
    const std::string& fileName) const {
    const auto path = getImageFileUrl(fileName);
    if (!path) {
        return nullptr;
    }
    const auto data = readSmallFile(*path);
    if (!data) {
        return nullptr;
    }
    auto decoded = platform::decodeImage(*data);
    if (!decoded) {
        return nullptr;
    }
    return std::make_shared<const platform::Image>(std::move(*decoded));
}

void InAppMessageSqliteStore::deleteImageFromInternalStorage(const std::string& fileName) {
    if (fileName == inapp::NO_IMAGE) {
        return;
    }
    const auto path = getImageFileUrl(fileName);
    if (!path) {
        SvlLog::error("deleteImageFromInternalStorage :: error : not a file name of this store",
                      true);
        return;
    }
    if (::unlink(path->c_str()) != 0) {
        SvlLog::error(
            std::string("deleteImageFromInternalStorage :: error : ") + std::strerror(errno), true);
        return;
    }
    SvlLog::debug("Delete Image in InternalStorage Successs, imageFileName = " + fileName, true);
}

}  // namespace sorvel

#pragma once

// An image server on the loopback net for the push tests, and a way to run a
// service extension and wait for what it delivers.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Host.h"
#include "sorvel/SorvelNotifications.h"
#include "support/TestSupport.h"

namespace sorvel::pushtest {

inline std::string pngBytes() {
    std::string png = "\x89PNG\r\n\x1a\n";
    png += std::string(64, 'p');
    return png;
}

// Serves /img.png, /slow.png (held until release() or 20 s), /text (not an
// image), /huge (11 MB), /redirect (to ftp), /missing (404), /moved (301 to
// /img.png by its loopback address), /to-file (302 to a PNG file on the disk).
// The host "img.test" maps to it, so "http://img.test/..." reaches it;
// direct() names it by its loopback address, which no mapping names.
class ImageServer {
  public:
    ImageServer() {
        { std::ofstream(picture_.path() + "/picture.png", std::ios::binary) << pngBytes(); }
        server_.Get("/img.png", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(pngBytes(), "image/png");
        });
        server_.Get("/slow.png", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait_for(lock, std::chrono::seconds(20), [this] { return released_; });
            res.set_content(pngBytes(), "image/png");
        });
        server_.Get("/text", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("not an image", "text/plain");
        });
        server_.Get("/huge", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(pngBytes() + std::string(11u << 20, 'x'), "image/png");
        });
        server_.Get("/redirect", [](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", "ftp://img.test/img.png");
        });
        server_.Get("/moved", [this](const httplib::Request&, httplib::Response& res) {
            res.status = 301;
            res.set_header("Location", direct("/img.png"));
        });
        server_.Get("/to-file", [this](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", "file://" + picture_.path() + "/picture.png");
        });
        server_.set_keep_alive_max_count(1);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        platform::host::mapHttpHost("img.test", "http://127.0.0.1:" + std::to_string(port_));
    }
    ~ImageServer() {
        release();
        server_.stop();
        thread_.join();
        platform::host::clearHttpHostMappings();
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            released_ = true;
        }
        cv_.notify_all();
    }
    static std::string url(const std::string& path) { return "http://img.test" + path; }
    std::string direct(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    testing::TempDir picture_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool released_ = false;
};

// Collects what content handlers receive.
class Deliveries {
  public:
    NotificationContentHandler handler() {
        return [this](NotificationContent c) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                got_.push_back(std::move(c));
            }
            testing::notifyWaiters();
        };
    }
    std::function<void(NotificationContent)> done() { return handler(); }
    std::size_t count() const {
        std::lock_guard<std::mutex> lock(mu_);
        return got_.size();
    }
    std::vector<NotificationContent> all() const {
        std::lock_guard<std::mutex> lock(mu_);
        return got_;
    }
    bool waitFor(std::size_t n) {
        return testing::waitUntil([&] { return count() >= n; });
    }

  private:
    mutable std::mutex mu_;
    std::vector<NotificationContent> got_;
};

}  // namespace sorvel::pushtest

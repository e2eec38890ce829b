#include "ServerDouble.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <thread>

#include "Platform/Mutex.h"

namespace sorvel::tools {
namespace {

using platform::CondVar;
using platform::Mutex;
using platform::MutexLock;

// CondVar's annotation names its own mutex pointer; these name the caller's.
bool waitOnUntil(CondVar& cv, Mutex& mu, std::chrono::steady_clock::time_point t)
    EXCLUSIVE_LOCKS_REQUIRED(mu) NO_THREAD_SAFETY_ANALYSIS {
    (void)mu;
    return cv.waitUntil(t);
}
void waitOn(CondVar& cv, Mutex& mu) EXCLUSIVE_LOCKS_REQUIRED(mu) NO_THREAD_SAFETY_ANALYSIS {
    (void)mu;
    cv.wait();
}

enum class BodyForm { NONE, JSON, BASE64 };

struct Route {
    Endpoint endpoint = Endpoint::UNKNOWN;
    const char* method = "";
    BodyForm form = BodyForm::NONE;
    std::string appKey;
};

// The path's segments between slashes ("/a//b" gives "", "a", "", "b").
std::vector<std::string_view> segmentsOf(std::string_view path) {
    std::vector<std::string_view> out;
    std::size_t from = 0;
    while (true) {
        const std::size_t slash = path.find('/', from);
        out.push_back(path.substr(from, slash == std::string_view::npos ? slash : slash - from));
        if (slash == std::string_view::npos) {
            return out;
        }
        from = slash + 1;
    }
}

// Whether the path ends with the pattern's segments, after a base path of any
// depth. In a pattern "*" stands for one segment that may be empty and "+"
// for one that may not; the first of them is the app key.
bool endsWith(const std::vector<std::string_view>& segments,
              std::initializer_list<std::string_view> pattern, std::string& appKey) {
    // Segment 0 is what precedes the leading slash: it is never matched.
    if (segments.size() < pattern.size() + 1) {
        return false;
    }
    std::size_t i = segments.size() - pattern.size();
    std::optional<std::string_view> key;
    for (std::string_view want : pattern) {
        const std::string_view got = segments[i++];
        if (want == "*" || want == "+") {
            if (want == "+" && got.empty()) {
                return false;
            }
            if (!key) {
                key = got;
            }
        } else if (got != want) {
            return false;
        }
    }
    appKey = std::string(key.value_or(std::string_view()));
    return true;
}

// Matched segment by segment rather than with std::regex, whose matcher
// recurses once per character and overflows the stack on a long path (the
// server takes paths and headers of up to 8 KiB).
Route classify(const std::string& path) {
    if (path.empty() || path.front() != '/') {
        return Route{};
    }
    const auto segs = segmentsOf(path);
    Route r;
    auto is = [&](Endpoint e, const char* method, BodyForm form,
                  std::initializer_list<std::string_view> pattern) {
        if (!endsWith(segs, pattern, r.appKey)) {
            return false;
        }
        r.endpoint = e;
        r.method = method;
        r.form = form;
        return true;
    };
    using B = BodyForm;
    using E = Endpoint;
    if (is(E::EVENT_BULK, "POST", B::BASE64, {"api", "v6", "event", "bulk", "*"}) ||
        is(E::DEFERRED_DEEPLINK, "POST", B::BASE64, {"api", "v6", "deferred-deeplink", "*"}) ||
        is(E::DRWORKS, "POST", B::BASE64, {"api", "v6", "drworks", "*"}) ||
        is(E::GDPR, "POST", B::JSON, {"api", "opengdpr_requests"}) ||
        is(E::CONFIG, "GET", B::NONE, {"prod", "sdk.config", "*", "config.json"}) ||
        is(E::CONFIG, "GET", B::NONE, {"dev", "sdk.config", "*", "config.json"}) ||
        is(E::IAM_CAMPAIGNS, "POST", B::JSON, {"api", "v1", "inappmessage", "campaigns", "get"}) ||
        is(E::HISTORY_LIST, "POST", B::JSON, {"api", "v6", "actionhistory", "List"}) ||
        is(E::HISTORY_DELETE_DEVICE, "DELETE", B::JSON,
           {"api", "v6", "actionhistory", "+", "device", "+"}) ||
        is(E::HISTORY_DELETE_DEVICE, "DELETE", B::JSON,
           {"api", "v6", "actionhistory", "+", "device", "+", "+", "+"}) ||
        is(E::HISTORY_DELETE_USER, "DELETE", B::JSON,
           {"api", "v6", "actionhistory", "+", "user", "+"}) ||
        is(E::HISTORY_DELETE_USER, "DELETE", B::JSON,
           {"api", "v6", "actionhistory", "+", "user", "+", "+", "+"})) {
        return r;
    }
    return Route{};
}

std::string toLower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string hex(const unsigned char* p, size_t n, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 0x0f]);
    }
    return out;
}

std::string base64(std::string_view in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(in.data()),
                            static_cast<int>(in.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// Strict: standard alphabet, padded, no white space.
std::optional<std::string> unbase64(std::string_view in) {
    if (in.size() % 4 != 0) {
        return std::nullopt;
    }
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' ||
                  (c == '=' && i + 2 >= in.size());
        if (!ok) {
            return std::nullopt;
        }
    }
    std::string out(in.size() / 4 * 3 + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(in.data()),
                            static_cast<int>(in.size()));
    if (n < 0) {
        return std::nullopt;
    }
    size_t len = static_cast<size_t>(n);
    if (!in.empty() && in.back() == '=')
        --len;
    if (in.size() > 1 && in[in.size() - 2] == '=')
        --len;
    out.resize(len);
    return out;
}

// "Ovinthal/<digits and dots> (iOS <os>; U; <model> Build)", where neither
// the OS version nor the model holds ';', '(' or ')'.
bool userAgentWellFormed(std::string_view ua) {
    constexpr std::string_view head = "Ovinthal/";
    constexpr std::string_view os = " (iOS ";
    constexpr std::string_view mid = "; U; ";
    constexpr std::string_view tail = " Build)";
    if (ua.size() < head.size() + tail.size() || !ua.starts_with(head) || !ua.ends_with(tail)) {
        return false;
    }
    ua.remove_prefix(head.size());
    ua.remove_suffix(tail.size());
    if (ua.empty() || std::isdigit(static_cast<unsigned char>(ua.front())) == 0) {
        return false;
    }
    std::size_t versionEnd = 0;
    while (
        versionEnd < ua.size() &&
        (std::isdigit(static_cast<unsigned char>(ua[versionEnd])) != 0 || ua[versionEnd] == '.')) {
        ++versionEnd;
    }
    ua.remove_prefix(versionEnd);
    if (!ua.starts_with(os)) {
        return false;
    }
    ua.remove_prefix(os.size());
    const std::size_t split = ua.find(mid);
    if (split == std::string_view::npos) {
        return false;
    }
    auto plain = [](std::string_view t) {
        return !t.empty() && t.find_first_of(";()") == std::string_view::npos;
    };
    return plain(ua.substr(0, split)) && plain(ua.substr(split + mid.size()));
}

nlohmann::json bodyAsJson(const std::string& text) {
    if (text.empty()) {
        return nullptr;
    }
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded()) {
        return text;
    }
    return j;
}

// What the checks need of a body, read while the parser validates all of it:
// whether the top level is an object, and common.request_datetime. No tree is
// built: a bulk upload of ten events parses in about half the time, and the
// answer goes out that much sooner.
struct BodyFacts : nlohmann::json_sax<nlohmann::json> {
    bool topIsObject = false;
    bool hasCommon = false;           // "common" is an object
    std::optional<std::string> time;  // its "request_datetime", when a string

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t& s) override {
        if (depth == 2 && inCommon && lastKey == "request_datetime") {
            time = s;
        }
        return true;
    }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override {
        if (depth == 0) {
            topIsObject = true;
        } else if (depth == 1 && lastKey == "common") {
            hasCommon = true;
            inCommon = true;
        }
        ++depth;
        return true;
    }
    bool key(string_t& k) override {
        lastKey = k;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override {
        ++depth;
        return true;
    }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    bool close() {
        if (--depth == 1) {
            inCommon = false;
        }
        return true;
    }
    int depth = 0;
    bool inCommon = false;
    std::string lastKey;
};

// Waits until fd is ready for `events` (or has an error or hang-up to
// report); false once `timeout` passed.
bool waitFor(int fd, short events, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
        if (n >= 0 || errno != EINTR) {
            return n > 0;
        }
    }
}

void addressOf(const sockaddr_storage& addr, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
        port = ntohs(in.sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
        port = ntohs(in6.sin6_port);
    }
    ip = text;
}

// A request as the double reads it off the wire.
struct HttpRequest {
    std::string method;
    std::string path;                                          // percent-decoded, without the query
    std::string target;                                        // as sent, query included
    std::vector<std::pair<std::string, std::string>> headers;  // in the order sent
    std::string body;
    int remote_port = 0;

    // The first header of that name, compared without case.
    std::string header(std::string_view name) const {
        for (const auto& [n, v] : headers) {
            if (n.size() == name.size() &&
                std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                    return std::tolower(static_cast<unsigned char>(a)) ==
                           std::tolower(static_cast<unsigned char>(b));
                })) {
                return v;
            }
        }
        return {};
    }
};

// An answer: written whole, or (dropAfterHeaders) headers that promise a
// body of DROPPED_BODY_BYTES, then the connection closes without it.
struct HttpResponse {
    static constexpr std::size_t DROPPED_BODY_BYTES = 64;
    int status = 200;
    std::string body;
    std::string contentType = "text/plain";
    std::string location;
    bool dropAfterHeaders = false;

    void set_content(std::string text, std::string type) {
        body = std::move(text);
        contentType = std::move(type);
    }
};

const char* reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 415:
            return "Unsupported Media Type";
        case 422:
            return "Unprocessable Entity";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

std::string trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return std::string(s);
}

bool containsWord(std::string value, std::string_view word) {
    return toLower(std::move(value)).find(word) != std::string::npos;
}

// "%XX" becomes its byte; anything else, a malformed escape included, stays.
std::string percentDecoded(std::string_view s) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// One accepted connection, read buffered with a time-out on every wait and
// written without ever raising SIGPIPE. The socket is non-blocking.
class Connection {
  public:
    static constexpr std::chrono::milliseconds READ_TIMEOUT{5000};
    static constexpr std::chrono::milliseconds WRITE_TIMEOUT{5000};

    enum class Read { OK, CLOSED, TOO_LONG };

    explicit Connection(int fd) : fd_(fd) {}

    bool hasBuffered() const { return begin_ < end_; }

    // A line ended by LF (a CR before it dropped), without its end; TOO_LONG
    // once it passes `limit` bytes.
    Read readLine(std::string& line, std::size_t limit) {
        line.clear();
        for (;;) {
            const char* from = buffer_.data() + begin_;
            const char* nl = static_cast<const char*>(std::memchr(from, '\n', end_ - begin_));
            const std::size_t take =
                nl != nullptr ? static_cast<std::size_t>(nl - from) + 1 : end_ - begin_;
            line.append(from, take);
            begin_ += take;
            if (nl != nullptr) {
                line.pop_back();
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return line.size() > limit ? Read::TOO_LONG : Read::OK;
            }
            if (line.size() > limit) {
                return Read::TOO_LONG;
            }
            if (!fill()) {
                return Read::CLOSED;
            }
        }
    }

    // Exactly n bytes, appended to out; false when the peer stops short.
    bool readExact(std::size_t n, std::string& out) {
        while (n > 0) {
            if (!hasBuffered() && !fill()) {
                return false;
            }
            const std::size_t take = std::min(n, end_ - begin_);
            out.append(buffer_.data() + begin_, take);
            begin_ += take;
            n -= take;
        }
        return true;
    }

    bool writeAll(std::string_view data) {
        while (!data.empty()) {
            if (!waitFor(fd_, POLLOUT, WRITE_TIMEOUT)) {
                return false;
            }
            const ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    int remotePort() const {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        std::string ip;
        int port = 0;
        if (getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            addressOf(addr, ip, port);
        }
        return port;
    }

  private:
    // More bytes into the (drained) buffer; false on close, error or time-out.
    bool fill() {
        for (;;) {
            if (!waitFor(fd_, POLLIN, READ_TIMEOUT)) {
                return false;
            }
            const ssize_t n = recv(fd_, buffer_.data(), buffer_.size(), 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            begin_ = 0;
            end_ = static_cast<std::size_t>(n);
            return true;
        }
    }

    const int fd_;
    std::array<char, 16 * 1024> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// What the double takes of a request; beyond it the request is refused and
// the connection closed.
constexpr std::size_t kMaxLineBytes = 16 * 1024;
constexpr std::size_t kMaxHeaderLines = 200;
constexpr std::size_t kMaxBodyBytes = 256u << 20;

// A chunked body, appended to out; false when malformed or too long.
bool readChunked(Connection& conn, std::string& out) {
    std::string line;
    for (;;) {
        if (conn.readLine(line, kMaxLineBytes) != Connection::Read::OK) {
            return false;
        }
        const std::string size = trimmed(line.substr(0, line.find(';')));
        std::size_t n = 0;
        if (size.empty() || size.size() > 8 ||
            size.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return false;
        }
        n = std::stoul(size, nullptr, 16);
        if (n == 0) {
            break;
        }
        if (out.size() + n > kMaxBodyBytes || !conn.readExact(n, out) ||
            conn.readLine(line, kMaxLineBytes) != Connection::Read::OK || !line.empty()) {
            return false;
        }
    }
    // Trailer fields, up to the empty line.
    for (std::size_t i = 0; i < kMaxHeaderLines; ++i) {
        if (conn.readLine(line, kMaxLineBytes) != Connection::Read::OK) {
            return false;
        }
        if (line.empty()) {
            return true;
        }
    }
    return false;
}

// Threads that each serve one connection at a time: a thread is added for a
// connection when none is idle, up to `limit`; beyond that, connections wait
// for one to finish.
class ConnectionThreads {
  public:
    explicit ConnectionThreads(std::size_t limit) : limit_(limit) {}
    ~ConnectionThreads() { joinAll(); }

    void run(std::function<void()> job) {
        MutexLock lock(mu_);
        jobs_.push_back(std::move(job));
        if (idle_ >= jobs_.size() || threads_.size() >= limit_) {
            cv_.signal();
            return;
        }
        threads_.emplace_back([this] {
            while (auto next = take()) {
                next();
            }
        });
    }

    // Lets the threads finish what is queued, then ends and joins them.
    void joinAll() {
        std::vector<std::thread> threads;
        {
            MutexLock lock(mu_);
            closing_ = true;
            cv_.signalAll();
            threads.swap(threads_);
        }
        for (auto& t : threads) {
            t.join();
        }
        MutexLock lock(mu_);
        closing_ = false;
    }

  private:
    std::function<void()> take() {
        MutexLock lock(mu_);
        while (jobs_.empty() && !closing_) {
            ++idle_;
            waitOn(cv_, mu_);
            --idle_;
        }
        if (jobs_.empty()) {
            return {};
        }
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        return job;
    }

    const std::size_t limit_;
    Mutex mu_;
    CondVar cv_{&mu_};
    std::deque<std::function<void()>> jobs_ GUARDED_BY(mu_);
    std::vector<std::thread> threads_ GUARDED_BY(mu_);
    std::size_t idle_ GUARDED_BY(mu_) = 0;
    bool closing_ GUARDED_BY(mu_) = false;
};

// A listening TCP socket (non-blocking) on host:port with the system's
// backlog; the bound port is stored in `bound`. -1 when it cannot listen.
int listenOn(const std::string& host, int port, int& bound) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        std::string ip;
        addressOf(addr, ip, bound);
    }
    return fd;
}

// The head of text: at most `limit` bytes.
std::string headOf(const std::string& text, std::size_t limit) {
    return text.size() <= limit ? text : text.substr(0, limit);
}

std::size_t keptSizeOf(const RecordedRequest& r) {
    std::size_t n = r.path.size() + r.rawBody.size() + r.decodedBody.size();
    for (const auto& [name, value] : r.headers) {
        n += name.size() + value.size();
    }
    return n;
}

}  // namespace

const char* endpointName(Endpoint e) {
    switch (e) {
        case Endpoint::EVENT_BULK:
            return "event_bulk";
        case Endpoint::DEFERRED_DEEPLINK:
            return "deferred_deeplink";
        case Endpoint::DRWORKS:
            return "drworks";
        case Endpoint::GDPR:
            return "gdpr";
        case Endpoint::CONFIG:
            return "config";
        case Endpoint::IAM_CAMPAIGNS:
            return "iam_campaigns";
        case Endpoint::HISTORY_LIST:
            return "history_list";
        case Endpoint::HISTORY_DELETE_DEVICE:
            return "history_delete_device";
        case Endpoint::HISTORY_DELETE_USER:
            return "history_delete_user";
        case Endpoint::UNKNOWN:
            return "unknown";
    }
    return "unknown";
}

std::string RecordedRequest::header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

std::string RecordedRequest::toJsonLine() const {
    nlohmann::json j;
    j["seq"] = sequence;
    j["endpoint"] = endpointName(endpoint);
    j["method"] = method;
    j["path"] = path;
    j["app_key"] = appKey;
    j["headers"] = headers;
    j["body"] = bodyAsJson(decodedBody);
    j["body_bytes"] = decodedBodyBytes;
    j["body_cut"] = bodyCut();
    j["raw_body_bytes"] = rawBodyBytes;
    j["signature"] = signature;
    j["status"] = status;
    j["verdict"] = verdict;
    j["remote_port"] = remotePort;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string expectedAuthCs(std::string_view secretKey, std::string_view authTime,
                           std::string_view jsonText) {
    unsigned char derived[EVP_MAX_MD_SIZE];
    unsigned int derivedLen = 0;
    std::string_view hour = authTime.substr(0, 13);
    static const unsigned char kEmpty = 0;
    HMAC(EVP_sha256(), secretKey.empty() ? &kEmpty : static_cast<const void*>(secretKey.data()),
         static_cast<int>(secretKey.size()), reinterpret_cast<const unsigned char*>(hour.data()),
         hour.size(), derived, &derivedLen);

    std::string b64 = base64(jsonText);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    EVP_Digest(b64.data(), b64.size(), md, &mdLen, EVP_md5(), nullptr);
    std::string md5Upper = hex(md, mdLen, true);

    unsigned char cs[EVP_MAX_MD_SIZE];
    unsigned int csLen = 0;
    HMAC(EVP_sha256(), derived, static_cast<int>(derivedLen),
         reinterpret_cast<const unsigned char*>(md5Upper.data()), md5Upper.size(), cs, &csLen);
    return hex(cs, csLen, false);
}

ScriptedAnswer ServerDouble::defaultAnswer(Endpoint endpoint) {
    ScriptedAnswer a;
    switch (endpoint) {
        case Endpoint::CONFIG:
            a.body = R"({"allStop":false,"pause":false,"blockedEvents":[],"maxPropertySize":100,)"
                     R"("inAppMessageActive":true,"eventSamplings":{}})";
            break;
        case Endpoint::IAM_CAMPAIGNS:
            a.body = R"({"data":{"status":"ok","checksum":"__no_active_campaign__",)"
                     R"("minutes_to_expiry":60,"in_app_messages":[]}})";
            break;
        case Endpoint::HISTORY_LIST:
            a.body = R"({"histories":[],"minutes_to_refresh":60})";
            break;
        case Endpoint::UNKNOWN:
            a.status = Rejection::UNKNOWN_ENDPOINT;
            a.body = R"({"error":"no such endpoint"})";
            break;
        default:
            a.body = "{}";
            break;
    }
    return a;
}

struct ServerDouble::Impl {
    Options options;
    int boundPort = -1;
    bool running = false;
    // Owned by start() and stop(), which the owner calls from one thread.
    int listenFd = -1;
    int wakeFd = -1;  // an eventfd that ends the accept loop
    std::thread acceptor;
    ConnectionThreads threads{MAX_CONNECTION_THREADS};

    // The connections being served, so that stop() can end them. Each is
    // closed by the thread serving it, under this lock, so a descriptor
    // stop() finds here is never one already closed and reused elsewhere.
    Mutex connectionsMu;
    std::set<int> connections GUARDED_BY(connectionsMu);
    bool ending GUARDED_BY(connectionsMu) = false;

    mutable Mutex mu;
    mutable CondVar cv{&mu};
    std::string secretKey GUARDED_BY(mu);
    std::map<Endpoint, std::deque<ScriptedAnswer>> scripts GUARDED_BY(mu);
    // Takes its own lock; taken under mu, never the other way round.
    HistoryDouble history;
    std::map<Endpoint, ScriptedAnswer> defaults GUARDED_BY(mu);
    std::map<Endpoint, ServerDouble::Responder> responders GUARDED_BY(mu);
    std::vector<std::pair<std::string, ServerDouble::FileServer>> fileServers GUARDED_BY(mu);
    std::deque<RecordedRequest> records GUARDED_BY(mu);
    std::size_t keptBytes GUARDED_BY(mu) = 0;      // keptSizeOf the records
    std::size_t recordedCount GUARDED_BY(mu) = 0;  // since the start or a clear
    std::uint64_t sequence GUARDED_BY(mu) = 0;
    bool stopping GUARDED_BY(mu) = false;
    std::function<void(const RecordedRequest&)> observer GUARDED_BY(mu);
    std::function<void(const RecordedRequest&)> answerObserver GUARDED_BY(mu);

    explicit Impl(Options o) : options(std::move(o)) {
        MutexLock lock(mu);
        secretKey = options.secretKey;
    }

    void acceptLoop() {
        for (;;) {
            pollfd ready[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (poll(ready, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (ready[1].revents != 0) {
                return;  // stop()
            }
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // Out of descriptors or memory: give the running
                    // connections a moment to end instead of spinning.
                    pollfd wake{wakeFd, POLLIN, 0};
                    poll(&wake, 1, 10);
                }
                continue;  // also a client gone before it was accepted
            }
            if (!adopt(fd)) {
                continue;
            }
            // Headers and body go out in separate writes; without this the
            // body waits for the client's delayed ACK.
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            threads.run([this, fd] { serve(fd); });
        }
    }

    // Tracks a new connection; closes it instead once stop() has begun.
    bool adopt(int fd) {
        MutexLock lock(connectionsMu);
        if (ending) {
            close(fd);
            return false;
        }
        connections.insert(fd);
        return true;
    }

    void release(int fd) {
        MutexLock lock(connectionsMu);
        connections.erase(fd);
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }

    // Ends every connection being served; their threads then close them.
    void endConnections() {
        MutexLock lock(connectionsMu);
        ending = true;
        for (int fd : connections) {
            shutdown(fd, SHUT_RDWR);
        }
    }

    // Requests one after another on a kept-alive connection, until the
    // client closes it, it stays idle too long, or stop() ends it.
    void serve(int fd) {
        Connection conn(fd);
        const int remotePort = conn.remotePort();
        constexpr std::size_t kMaxRequestsPerConnection = 100000;
        for (std::size_t left = kMaxRequestsPerConnection; left > 0; --left) {
            if (!conn.hasBuffered() &&
                !waitFor(fd, POLLIN, std::chrono::seconds(KEEP_ALIVE_SECONDS))) {
                break;
            }
            if (!serveOne(conn, remotePort, left == 1)) {
                break;
            }
        }
        release(fd);
    }

    // A request the double cannot read: answered, then the connection closes.
    static bool refuse(Connection& conn, int status, const std::string& why) {
        const std::string body = nlohmann::json({{"error", why}}).dump();
        conn.writeAll("HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
                      "\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        return false;
    }

    // Reads one request, answers it; false when the connection is to close.
    bool serveOne(Connection& conn, int remotePort, bool last) {
        std::string line;
        switch (conn.readLine(line, kMaxLineBytes)) {
            case Connection::Read::CLOSED:
                return false;
            case Connection::Read::TOO_LONG:
                return refuse(conn, 414, "request line too long");
            case Connection::Read::OK:
                break;
        }
        // "<method> <target> HTTP/1.<minor>"
        const std::size_t sp1 = line.find(' ');
        const std::size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
        if (sp2 == std::string::npos || line.compare(sp2 + 1, 7, "HTTP/1.") != 0 ||
            line.size() != sp2 + 9 || sp1 == 0 || sp2 == sp1 + 1) {
            return refuse(conn, 400, "malformed request line");
        }
        HttpRequest req;
        req.method = line.substr(0, sp1);
        const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        req.path = percentDecoded(target.substr(0, target.find('?')));
        req.target = target;
        req.remote_port = remotePort;
        const bool http10 = line.back() == '0';

        for (std::size_t n = 0;; ++n) {
            const Connection::Read r = conn.readLine(line, kMaxLineBytes);
            if (r == Connection::Read::CLOSED) {
                return false;
            }
            if (r == Connection::Read::TOO_LONG || n == kMaxHeaderLines) {
                return refuse(conn, 431, "header too long or too many");
            }
            if (line.empty()) {
                break;
            }
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos || colon == 0) {
                return refuse(conn, 400, "malformed header line");
            }
            req.headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
        }
        const std::string connection = req.header("Connection");
        const bool keepAlive = !last && (http10 ? containsWord(connection, "keep-alive")
                                                : !containsWord(connection, "close"));

        if (containsWord(req.header("Expect"), "100-continue") &&
            !conn.writeAll("HTTP/1.1 100 Continue\r\n\r\n")) {
            return false;
        }
        if (containsWord(req.header("Transfer-Encoding"), "chunked")) {
            if (!readChunked(conn, req.body)) {
                return refuse(conn, 400, "malformed or oversized chunked body");
            }
        } else if (const std::string length = req.header("Content-Length"); !length.empty()) {
            if (length.size() > 12 || length.find_first_not_of("0123456789") != std::string::npos) {
                return refuse(conn, 400, "malformed Content-Length");
            }
            const std::size_t n = std::stoull(length);
            if (n > kMaxBodyBytes) {
                return refuse(conn, 413, "body too large");
            }
            if (!conn.readExact(n, req.body)) {
                return false;
            }
        }

        HttpResponse res;
        handle(req, res);
        std::string head = "HTTP/1.1 " + std::to_string(res.status) + " " +
                           reasonPhrase(res.status) + "\r\nContent-Type: " + res.contentType +
                           (res.location.empty() ? "" : "\r\nLocation: " + res.location) +
                           "\r\nContent-Length: " +
                           std::to_string(res.dropAfterHeaders ? HttpResponse::DROPPED_BODY_BYTES
                                                               : res.body.size()) +
                           "\r\nConnection: " + (keepAlive ? "keep-alive" : "close") + "\r\n\r\n";
        if (res.dropAfterHeaders) {
            conn.writeAll(head);
            onAnswerWritten();
            return false;
        }
        head += res.body;
        const bool written = conn.writeAll(head);
        onAnswerWritten();
        return written && keepAlive;
    }

    // Returns the status and reason of a rejection, or nothing when the
    // request passes every check.
    std::optional<std::pair<int, std::string>> check(const Route& route, RecordedRequest& rec) {
        if (route.endpoint == Endpoint::UNKNOWN) {
            return std::make_pair(Rejection::UNKNOWN_ENDPOINT, std::string("no such endpoint"));
        }
        if (rec.method != route.method) {
            return std::make_pair(Rejection::WRONG_METHOD,
                                  "endpoint takes " + std::string(route.method));
        }
        if (route.form == BodyForm::NONE) {
            return std::nullopt;
        }
        if (!userAgentWellFormed(rec.header("user-agent"))) {
            return std::make_pair(
                Rejection::BAD_SIGNATURE,
                "User-Agent is not \"Ovinthal/<sdk> (iOS <os>; U; <model> Build)\"");
        }
        const std::string contentType = rec.header("content-type");
        const char* wanted =
            route.form == BodyForm::JSON ? "application/json" : "application/octet-stream";
        if (contentType != wanted) {
            return std::make_pair(Rejection::BAD_ENCODING,
                                  "Content-Type must be " + std::string(wanted));
        }
        if (route.form == BodyForm::BASE64) {
            auto decoded = unbase64(rec.rawBody);
            if (!decoded) {
                return std::make_pair(Rejection::BAD_ENCODING, std::string("body is not Base64"));
            }
            rec.decodedBody = std::move(*decoded);
        } else {
            rec.decodedBody = rec.rawBody;
        }
        BodyFacts facts;
        if (!nlohmann::json::sax_parse(rec.decodedBody, &facts) || !facts.topIsObject) {
            return std::make_pair(Rejection::BAD_JSON, std::string("body is not a JSON object"));
        }
        const std::string authTime = rec.header("svl-auth-time");
        const std::string authCs = rec.header("svl-auth-cs");
        if (authTime.size() < 13 || authCs.empty()) {
            rec.signature = "invalid";
            return std::make_pair(Rejection::BAD_SIGNATURE,
                                  std::string("svl-auth-time or svl-auth-cs missing"));
        }
        if (facts.hasCommon) {
            if (facts.time != authTime) {
                rec.signature = "invalid";
                return std::make_pair(Rejection::BAD_SIGNATURE,
                                      std::string("svl-auth-time is not common.request_datetime"));
            }
        }
        std::string key;
        {
            MutexLock lock(mu);
            key = secretKey;
        }
        if (key.empty()) {
            rec.signature = "unchecked";
            return std::nullopt;
        }
        if (expectedAuthCs(key, authTime, rec.decodedBody) != authCs) {
            rec.signature = "invalid";
            return std::make_pair(Rejection::BAD_SIGNATURE,
                                  std::string("svl-auth-cs does not match"));
        }
        rec.signature = "valid";
        return std::nullopt;
    }

    // A file of a served prefix; false when the path is under none.
    bool serveFile(const HttpRequest& req, HttpResponse& res) {
        ServerDouble::FileServer files;
        {
            MutexLock lock(mu);
            for (const auto& [prefix, server] : fileServers) {
                if (req.path.compare(0, prefix.size(), prefix) == 0) {
                    files = server;
                }
            }
        }
        if (!files || req.method != "GET") {
            return false;
        }
        auto answer = files(req.path);
        if (!answer) {
            res.status = 404;
            return true;
        }
        waitOut(answer->delay);
        res.status = answer->status;
        res.set_content(answer->body, answer->contentType);
        res.location = answer->location;
        return true;
    }

    void waitOut(std::chrono::milliseconds delay) {
        if (delay.count() > 0) {
            auto until = std::chrono::steady_clock::now() + delay;
            MutexLock lock(mu);
            while (!stopping && std::chrono::steady_clock::now() < until) {
                waitOnUntil(cv, mu, until);
            }
        }
    }

    void handle(const HttpRequest& req, HttpResponse& res) {
        if (serveFile(req, res)) {
            return;
        }
        RecordedRequest rec;
        rec.method = req.method;
        rec.path = req.path;
        // Routed as sent: a percent-encoded "/" inside a segment stays in it.
        rec.target = req.target.substr(0, req.target.find('?'));
        rec.rawBody = req.body;
        rec.remotePort = req.remote_port;
        std::size_t headerBytes = 0;
        for (const auto& [name, value] : req.headers) {
            std::string lower = toLower(name);
            headerBytes += name.size() + value.size();
            if (headerBytes <= options.keptBytesEach) {
                rec.headers[std::move(lower)] = value;
            }
        }
        Route route = classify(rec.target);
        rec.endpoint = route.endpoint;
        rec.appKey = percentDecoded(route.appKey);

        if (auto rejected = check(route, rec)) {
            rec.status = rejected->first;
            rec.verdict = rejected->second;
            res.status = rejected->first;
            nlohmann::json reason = {{"error", rejected->second}};
            res.set_content(reason.dump(), "application/json");
            pendingRecord() = record(std::move(rec));
            return;
        }

        ScriptedAnswer answer;
        ServerDouble::Responder responder;
        {
            MutexLock lock(mu);
            auto& queue = scripts[route.endpoint];
            if (!queue.empty()) {
                answer = std::move(queue.front());
                queue.pop_front();
            } else if (auto r = responders.find(route.endpoint); r != responders.end()) {
                responder = r->second;
            } else if (auto held = history.answer(rec.method, rec.target, rec.decodedBody)) {
                answer.status = held->status;
                answer.body = std::move(held->body);
            } else if (auto it = defaults.find(route.endpoint); it != defaults.end()) {
                answer = it->second;
            } else {
                answer = defaultAnswer(route.endpoint);
            }
        }
        if (responder) {
            answer = responder(rec);
        }
        waitOut(answer.delay);
        if (answer.dropConnection) {
            // Headers promise a body that never comes; the connection is closed
            // mid-answer, so the client gets no complete answer (and, having
            // received bytes, does not silently resend on a new connection).
            res.status = 200;
            res.contentType = "application/json";
            res.dropAfterHeaders = true;
            rec.status = 0;
            rec.verdict = "dropped";
        } else {
            res.status = answer.status;
            res.set_content(answer.body, answer.contentType);
            res.location = answer.location;
            rec.status = answer.status;
        }
        pendingRecord() = record(std::move(rec));
    }

    // The request handled last on this thread, until its answer has gone out.
    static std::optional<RecordedRequest>& pendingRecord() {
        thread_local std::optional<RecordedRequest> pending;
        return pending;
    }

    void onAnswerWritten() {
        auto& pending = pendingRecord();
        if (!pending) {
            return;
        }
        RecordedRequest rec = std::move(*pending);
        pending.reset();
        std::function<void(const RecordedRequest&)> obs;
        {
            MutexLock lock(mu);
            obs = answerObserver;
        }
        if (obs) {
            obs(rec);
        }
    }

    // Recorded before the answer goes out, so a client that has its answer
    // finds its request in the record. What is kept is capped (Options).
    RecordedRequest record(RecordedRequest rec) {
        rec.rawBodyBytes = rec.rawBody.size();
        rec.decodedBodyBytes = rec.decodedBody.size();
        rec.rawBody = headOf(rec.rawBody, options.keptBytesEach);
        rec.decodedBody = headOf(rec.decodedBody, options.keptBytesEach);
        std::function<void(const RecordedRequest&)> obs;
        {
            MutexLock lock(mu);
            rec.sequence = ++sequence;
            ++recordedCount;
            records.push_back(rec);
            keptBytes += keptSizeOf(rec);
            while (!records.empty() &&
                   (records.size() > options.keptRequests || keptBytes > options.keptBytes)) {
                keptBytes -= keptSizeOf(records.front());
                records.pop_front();
            }
            obs = observer;
            cv.signalAll();
        }
        if (obs) {
            obs(rec);
        }
        return rec;
    }
};

ServerDouble::ServerDouble() : ServerDouble(Options{}) {}

ServerDouble::ServerDouble(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

ServerDouble::~ServerDouble() {
    stop();
}

bool ServerDouble::start() {
    if (impl_->running) {
        return true;
    }
    int bound = -1;
    const int fd = listenOn(impl_->options.host, impl_->options.port, bound);
    if (fd < 0) {
        return false;
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        close(fd);
        return false;
    }
    impl_->listenFd = fd;
    impl_->wakeFd = wake;
    impl_->boundPort = bound;
    {
        MutexLock lock(impl_->mu);
        impl_->stopping = false;
    }
    {
        MutexLock lock(impl_->connectionsMu);
        impl_->ending = false;
    }
    // The socket already listens: connections made before the loop runs wait
    // in its backlog.
    impl_->acceptor = std::thread([impl = impl_.get()] { impl->acceptLoop(); });
    impl_->running = true;
    return true;
}

void ServerDouble::stop() {
    if (!impl_->running) {
        return;
    }
    {
        MutexLock lock(impl_->mu);
        impl_->stopping = true;  // ends scripted delays
        impl_->cv.signalAll();
    }
    const std::uint64_t one = 1;
    (void)!write(impl_->wakeFd, &one, sizeof(one));
    impl_->acceptor.join();
    impl_->endConnections();
    impl_->threads.joinAll();
    close(impl_->listenFd);
    close(impl_->wakeFd);
    impl_->listenFd = -1;
    impl_->wakeFd = -1;
    impl_->running = false;
}

int ServerDouble::port() const {
    return impl_->boundPort;
}

std::string ServerDouble::baseUrl() const {
    return "http://" + impl_->options.host + ":" + std::to_string(impl_->boundPort);
}

void ServerDouble::setSecretKey(std::string key) {
    MutexLock lock(impl_->mu);
    impl_->secretKey = std::move(key);
}

void ServerDouble::script(Endpoint endpoint, ScriptedAnswer answer) {
    MutexLock lock(impl_->mu);
    impl_->scripts[endpoint].push_back(std::move(answer));
}

void ServerDouble::setDefaultAnswer(Endpoint endpoint, ScriptedAnswer answer) {
    MutexLock lock(impl_->mu);
    impl_->defaults[endpoint] = std::move(answer);
}

HistoryDouble& ServerDouble::history() {
    return impl_->history;
}

void ServerDouble::setResponder(Endpoint endpoint, Responder responder) {
    MutexLock lock(impl_->mu);
    impl_->responders[endpoint] = std::move(responder);
}

void ServerDouble::serveFiles(std::string pathPrefix, FileServer files) {
    MutexLock lock(impl_->mu);
    impl_->fileServers.emplace_back(std::move(pathPrefix), std::move(files));
}

void ServerDouble::setConfigText(std::string text) {
    ScriptedAnswer a;
    a.body = std::move(text);
    setDefaultAnswer(Endpoint::CONFIG, std::move(a));
}

std::vector<RecordedRequest> ServerDouble::requests() const {
    MutexLock lock(impl_->mu);
    return {impl_->records.begin(), impl_->records.end()};
}

std::vector<RecordedRequest> ServerDouble::requests(Endpoint endpoint) const {
    MutexLock lock(impl_->mu);
    std::vector<RecordedRequest> out;
    for (const auto& r : impl_->records) {
        if (r.endpoint == endpoint) {
            out.push_back(r);
        }
    }
    return out;
}

std::size_t ServerDouble::requestCount() const {
    MutexLock lock(impl_->mu);
    return impl_->recordedCount;
}

bool ServerDouble::waitForRequests(std::size_t count, std::chrono::milliseconds deadline) const {
    auto until = std::chrono::steady_clock::now() + deadline;
    MutexLock lock(impl_->mu);
    while (impl_->recordedCount < count) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        waitOnUntil(impl_->cv, impl_->mu, until);
    }
    return true;
}

void ServerDouble::clearRequests() {
    MutexLock lock(impl_->mu);
    impl_->records.clear();
    impl_->keptBytes = 0;
    impl_->recordedCount = 0;
}

void ServerDouble::setAnswerObserver(std::function<void(const RecordedRequest&)> observer) {
    MutexLock lock(impl_->mu);
    impl_->answerObserver = std::move(observer);
}

void ServerDouble::setRequestObserver(std::function<void(const RecordedRequest&)> observer) {
    MutexLock lock(impl_->mu);
    impl_->observer = std::move(observer);
}

}  // namespace sorvel::tools

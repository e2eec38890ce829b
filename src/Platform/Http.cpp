#include "Platform/Http.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <map>
#include <string>
#include <system_error>
#include <utility>

#include "Base/Url.h"
#include "Platform/Crypto.h"
#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"
#include "Platform/Scheduler.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {
namespace {

// Idle handles kept for reuse; more may exist while many requests run at once.
constexpr std::size_t kMaxIdleHandles = 16;

struct HostControl {
    Mutex mu;
    std::map<std::string, std::string> mappings GUARDED_BY(mu);
    std::optional<Millis> timeoutCap GUARDED_BY(mu);
    // Moves on every change of the mappings: a target resolved under an older
    // one is resolved again.
    std::uint64_t generation GUARDED_BY(mu) = 0;
};

HostControl& hostControl() {
    static NoDestructor<HostControl> control;
    static const bool registered = [] {
        registerResetHook([] {
            auto& c = control.get();
            MutexLock lock(c.mu);
            c.mappings.clear();
            c.timeoutCap.reset();
            ++c.generation;
        });
        return true;
    }();
    (void)registered;
    return control.get();
}

void ensureCurlGlobalInit() {
    static const bool done = [] {
        // Before libcurl starts OpenSSL its own way, with the exit handler.
        crypto::startLibrary();
        return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    }();
    (void)done;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The URL actually requested after host mapping; made once for a request URL
// while the mappings stay.
struct Target {
    std::string requestUrl;
    std::uint64_t generation = 0;
    std::string url;
    bool mapped = false;
    // The request URL is plain http (whatever a mapping sends it to).
    bool plainHttp = false;
};

std::uint64_t mappingGeneration() {
    auto& c = hostControl();
    MutexLock lock(c.mu);
    return c.generation;
}

std::shared_ptr<const Target> resolveTarget(const std::string& url, std::string& why) {
    auto parts = text::parseHttpUrl(url);
    if (!parts) {
        why = "not an absolute http(s) URL";
        return nullptr;
    }
    auto target = std::make_shared<Target>();
    target->requestUrl = url;
    target->plainHttp = parts->scheme != "https";
    std::optional<std::string> base;
    {
        auto& c = hostControl();
        MutexLock lock(c.mu);
        target->generation = c.generation;
        if (auto it = c.mappings.find(lower(parts->host)); it != c.mappings.end()) {
            base = it->second;
        } else if (auto star = c.mappings.find("*"); star != c.mappings.end()) {
            base = star->second;
        }
    }
    if (!base) {
        target->url = url;
        return target;
    }
    target->url = std::move(*base);
    while (!target->url.empty() && target->url.back() == '/') {
        target->url.pop_back();
    }
    target->url += parts->pathAndQuery;
    target->mapped = true;
    return target;
}

// The targets of the last few request URLs: an uploader sends to one URL over
// and over, and neither parses it nor looks its host up again.
class TargetCache {
  public:
    std::shared_ptr<const Target> resolve(const std::string& url, std::string& why) {
        const std::uint64_t generation = mappingGeneration();
        {
            MutexLock lock(mu_);
            for (const auto& t : targets_) {
                if (t && t->generation == generation && t->requestUrl == url) {
                    return t;
                }
            }
        }
        auto target = resolveTarget(url, why);
        if (target) {
            MutexLock lock(mu_);
            targets_[next_] = target;
            next_ = (next_ + 1) % targets_.size();
        }
        return target;
    }

  private:
    Mutex mu_;
    std::array<std::shared_ptr<const Target>, 8> targets_ GUARDED_BY(mu_);
    std::size_t next_ GUARDED_BY(mu_) = 0;
};

Millis effectiveTimeout(Millis requested) {
    auto& c = hostControl();
    MutexLock lock(c.mu);
    Millis t = requested.count() > 0 ? requested : HttpSession::DEFAULT_TIMEOUT;
    if (c.timeoutCap && *c.timeoutCap < t) {
        t = *c.timeoutCap;
    }
    return std::max(t, Millis(1));
}

class MemorySink final : public IHttpBodySink {
  public:
    explicit MemorySink(std::string& out) : out_(out) {}
    bool write(std::string_view chunk) override {
        if (out_.size() + chunk.size() > HttpSession::MAX_RESPONSE_BYTES) {
            overflow_ = true;
            return false;
        }
        out_.append(chunk);
        return true;
    }
    bool overflowed() const { return overflow_; }

  private:
    std::string& out_;
    bool overflow_ = false;
};

struct WriteContext {
    IHttpBodySink* sink = nullptr;
    bool stopped = false;
};

size_t onBodyBytes(char* data, size_t size, size_t count, void* user) {
    auto* ctx = static_cast<WriteContext*>(user);
    const size_t n = size * count;
    if (!ctx->sink->write(std::string_view(data, n))) {
        ctx->stopped = true;
        return 0;  // curl aborts the transfer
    }
    return n;
}

// A header name is an HTTP token; anything else would change the meaning of
// the line curl writes (a ':' moves the value, a ';' asks for an empty one).
bool isHeaderName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 ||
               std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) !=
                   std::string_view::npos;
    });
}

// For log lines: control bytes shown as '?'.
std::string printable(std::string_view text) {
    std::string out(text.substr(0, 200));
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return out;
}

// curl writes a header line as given: a CR or LF in a value would start a
// header (or a body) of the value's choosing.
bool isHeaderValue(std::string_view value) {
    return std::none_of(value.begin(), value.end(),
                        [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

// The header lines of one transfer as the list curl reads: the lines lie in
// one text, each ended by a NUL, and the list's links in one vector, where
// curl_slist_append would make two allocations a line. curl only reads the
// list; it never frees or changes it. Cleared, it keeps its room for the
// next transfer of its handle.
class HeaderList {
  public:
    void clear() {
        text_.clear();
        starts_.clear();
    }
    void add(std::string_view name, std::string_view separator, std::string_view value) {
        starts_.push_back(text_.size());
        text_.append(name).append(separator).append(value).push_back('\0');
    }
    // Links the lines once every one is added; the text no longer moves.
    curl_slist* link() {
        nodes_.resize(starts_.size());
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            nodes_[i].data = text_.data() + starts_[i];
            nodes_[i].next = i + 1 < nodes_.size() ? &nodes_[i + 1] : nullptr;
        }
        return nodes_.empty() ? nullptr : nodes_.data();
    }
    void reserve(std::size_t lines, std::size_t bytes) {
        starts_.reserve(lines);
        text_.reserve(bytes);
    }

  private:
    std::string text_;
    std::vector<std::size_t> starts_;
    std::vector<curl_slist> nodes_;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// An easy handle and everything curl reads from while one of its transfers
// runs, kept together in the pool: the next transfer of the handle reuses the
// header buffers, and the parsed URL while it goes to the same target.
struct Transfer {
    CURL* handle = nullptr;
    // The URL curl is given, parsed once for `parsedFor`.
    CURLU* url = nullptr;
    std::shared_ptr<const Target> parsedFor;
    // The last transfer was allowed to follow redirects.
    bool followedRedirects = false;
    HeaderList headers;
    char errbuf[CURL_ERROR_SIZE] = {0};
    WriteContext ctx;

    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() {
        if (handle != nullptr) {
            curl_easy_cleanup(handle);
        }
        if (url != nullptr) {
            curl_url_cleanup(url);
        }
    }
};

// Whether the request may be sent at all; why not goes into the response.
std::shared_ptr<const Target> checkRequest(const HttpRequest& request, TargetCache& targets,
                                           HttpResponse& response) {
    std::string why;
    auto target = targets.resolve(request.url, why);
    if (target && target->plainHttp && !target->mapped &&
        request.policy == HttpUrlPolicy::MAKER_API) {
        why = "plain http is only allowed for a mapped host";
        target.reset();
    }
    if (!target) {
        response.error = why;
        SystemLog::log(LogLevel::error, "Http :: refused " + printable(request.url) + " : " + why);
        return nullptr;
    }
    const std::string& method = request.method;
    if (!method.empty() && method != "GET" && method != "POST" && method != "DELETE") {
        response.error = "unsupported method " + method;
        return nullptr;
    }
    for (const auto& [name, value] : request.headers) {
        if (!isHeaderName(name) || !isHeaderValue(value)) {
            response.error = "malformed header \"" + printable(name) + "\"";
            SystemLog::log(LogLevel::error,
                           "Http :: refused " + printable(request.url) + " : " + response.error);
            return nullptr;
        }
    }
    return target;
}

// What every transfer of a handle shares, set once when the handle is made:
// a handle is not reset between transfers (a reset frees and sets up again
// all its options), so configure() sets every option that differs between
// requests each time.
void configureOnce(CURL* h, CURLSH* share) {
    curl_easy_setopt(h, CURLOPT_SHARE, share);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    // A redirect may only ever lead to http or https, whatever the transfer.
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onBodyBytes);
}

// Sets the handle up for the request to `target`, with the body's bytes
// going to `sink`; the handle points into the transfer and the request (its
// body is not copied) until the transfer ends. Empty when curl refuses the
// URL; otherwise why it cannot be sent.
std::string configure(Transfer& t, const HttpRequest& request,
                      const std::shared_ptr<const Target>& target, IHttpBodySink& sink) {
    CURL* h = t.handle;
    const bool follows = request.policy == HttpUrlPolicy::PUBLIC_RESOURCE;
    // After a transfer that followed redirects the parsed URL is parsed
    // again: it is not worth relying on curl leaving it untouched.
    if (t.parsedFor != target || t.followedRedirects) {
        t.parsedFor.reset();
        if (const CURLUcode rc = curl_url_set(t.url, CURLUPART_URL, target->url.c_str(), 0);
            rc != CURLUE_OK) {
            return std::string("URL refused: ") + curl_url_strerror(rc);
        }
        t.parsedFor = target;
    }
    t.followedRedirects = follows;
    t.ctx = WriteContext{&sink, false};
    t.errbuf[0] = '\0';
    const bool isGet = request.method.empty() || request.method == "GET";
    std::size_t bytes = 32;
    for (const auto& [name, value] : request.headers) {
        bytes += name.size() + value.size() + 3;
    }
    t.headers.clear();
    t.headers.reserve(request.headers.size() + 2, bytes);
    bool hasContentType = false;
    for (const auto& [name, value] : request.headers) {
        // "Name:" with nothing after it would make curl drop the header;
        // "Name;" is how it sends one whose value is empty.
        t.headers.add(name, value.empty() ? ";" : ": ", value);
        hasContentType = hasContentType || equalsIgnoringCase(name, "content-type");
    }
    // No "Expect: 100-continue" round trip before larger bodies.
    t.headers.add("Expect", ":", "");
    // A body goes with the caller's Content-Type or none, never a form type
    // the caller did not ask for.
    if (!hasContentType && !isGet) {
        t.headers.add("Content-Type", ":", "");
    }
    const Millis timeout = effectiveTimeout(request.timeout);

    curl_easy_setopt(h, CURLOPT_CURLU, t.url);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, target->mapped || follows ? "http,https" : "https");
    // Set on every transfer: the handle's last request may have been of the
    // other policy.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, follows ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, follows ? HttpSession::MAX_REDIRECTS : 0L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, t.headers.link());
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t.ctx);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, t.errbuf);
    if (isGet) {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method == "DELETE" ? "DELETE" : nullptr);
    }
    return {};
}

// The handle waits for its next transfer pointing at nothing of the last one.
void unhook(CURL* h) {
    curl_easy_setopt(h, CURLOPT_CURLU, nullptr);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
}

// The answer of a transfer that ended with `rc`; the handle no longer points
// into the transfer afterwards.
HttpResponse outcomeOf(const Transfer& t, CURLcode rc) {
    CURL* h = t.handle;
    HttpResponse response;
    long connects = 0;
    curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
    response.reusedConnection = connects == 0;
    if (rc == CURLE_OK) {
        long code = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
        response.status = static_cast<int>(code);
    } else {
        response.status = 0;
        response.error = t.ctx.stopped
                             ? "body refused by its sink"
                             : std::string(curl_easy_strerror(rc)) +
                                   (t.errbuf[0] != '\0' ? std::string(": ") + t.errbuf : "");
    }
    unhook(h);
    return response;
}

// A body collected in memory with the size cap, and what dataTask() makes of
// the answer.
HttpResponse finishDataTask(HttpResponse r, const MemorySink& sink, std::string body,
                            const std::string& url) {
    if (sink.overflowed()) {
        SystemLog::log(LogLevel::error, "Http :: response of " + url + " is larger than " +
                                            std::to_string(HttpSession::MAX_RESPONSE_BYTES) +
                                            " bytes; cut off and failed");
        r.status = 0;
        r.error =
            "response larger than " + std::to_string(HttpSession::MAX_RESPONSE_BYTES) + " bytes";
        return r;
    }
    if (r.status != 0) {
        r.body = std::move(body);
    }
    return r;
}

}  // namespace

struct HttpSession::Impl {
    // Locks for the share object, one per kind of shared data.
    std::array<Mutex, CURL_LOCK_DATA_LAST> shareLocks;
    CURLSH* share = nullptr;

    TargetCache targets;

    Mutex poolMu;
    std::vector<std::unique_ptr<Transfer>> idle GUARDED_BY(poolMu);

    std::atomic<std::uint64_t> transfers{0};
    std::atomic<std::uint64_t> connectionsOpened{0};

    static void lockShare(CURL*, curl_lock_data data, curl_lock_access,
                          void* user) NO_THREAD_SAFETY_ANALYSIS {
        static_cast<Impl*>(user)->shareLocks[static_cast<size_t>(data)].lock();
    }
    static void unlockShare(CURL*, curl_lock_data data, void* user) NO_THREAD_SAFETY_ANALYSIS {
        static_cast<Impl*>(user)->shareLocks[static_cast<size_t>(data)].unlock();
    }

    Impl() {
        ensureCurlGlobalInit();
        share = curl_share_init();
        if (share != nullptr) {
            curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::lockShare);
            curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::unlockShare);
            curl_share_setopt(share, CURLSHOPT_USERDATA, this);
            // Connections stay with their easy handle: sharing the
            // connection cache between threads is not safe in libcurl.
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        }
    }

    ~Impl() {
        std::vector<std::unique_ptr<Transfer>> handles;
        {
            MutexLock lock(poolMu);
            handles.swap(idle);
        }
        // Every easy handle goes before the share object they use.
        handles.clear();
        if (share != nullptr) {
            curl_share_cleanup(share);
        }
    }

    // Most recently used first: it holds the warmest connection.
    std::unique_ptr<Transfer> take() {
        {
            MutexLock lock(poolMu);
            if (!idle.empty()) {
                std::unique_ptr<Transfer> t = std::move(idle.back());
                idle.pop_back();
                return t;
            }
        }
        auto t = std::make_unique<Transfer>();
        t->handle = curl_easy_init();
        t->url = curl_url();
        if (t->handle == nullptr || t->url == nullptr) {
            return nullptr;
        }
        configureOnce(t->handle, share);
        return t;
    }

    void give(std::unique_ptr<Transfer> t) {
        t->ctx = WriteContext{};
        MutexLock lock(poolMu);
        if (idle.size() < kMaxIdleHandles) {
            idle.push_back(std::move(t));
        }
        // Past the pool's size the handle is closed here.
    }

    void count(CURL* h) {
        long connects = 0;
        curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
        transfers.fetch_add(1);
        connectionsOpened.fetch_add(static_cast<std::uint64_t>(std::max(0L, connects)));
    }
};

HttpSession::HttpSession() : impl_(std::make_unique<Impl>()) {}
HttpSession::~HttpSession() = default;

HttpSession& HttpSession::shared() {
    // Never destroyed: global-queue threads may still be inside a transfer
    // when the process exits.
    static NoDestructor<HttpSession> session;
    return session.get();
}

HttpSession::Stats HttpSession::stats() const {
    return Stats{impl_->transfers.load(), impl_->connectionsOpened.load()};
}

HttpResponse HttpSession::dataTask(const HttpRequest& request) {
    std::string body;
    MemorySink sink(body);
    HttpResponse r = perform(request, sink);
    return finishDataTask(std::move(r), sink, std::move(body), request.url);
}

HttpResponse HttpSession::perform(const HttpRequest& request, IHttpBodySink& sink) {
    HttpResponse response;
    auto target = checkRequest(request, impl_->targets, response);
    if (!target) {
        return response;
    }
    std::unique_ptr<Transfer> t = impl_->take();
    if (!t) {
        response.error = "no transfer handle";
        return response;
    }
    response.error = configure(*t, request, target, sink);
    if (!response.error.empty()) {
        impl_->give(std::move(t));
        return response;
    }
    const CURLcode rc = curl_easy_perform(t->handle);
    impl_->count(t->handle);
    response = outcomeOf(*t, rc);
    impl_->give(std::move(t));
    return response;
}

std::string effectiveHttpUrl(const std::string& url) {
    std::string why;
    auto target = resolveTarget(url, why);
    return target ? target->url : url;
}

namespace host {

void mapHttpHost(const std::string& hostName, const std::string& baseUrl) {
    auto& c = hostControl();
    MutexLock lock(c.mu);
    c.mappings[lower(hostName)] = baseUrl;
    ++c.generation;
}

void clearHttpHostMappings() {
    auto& c = hostControl();
    MutexLock lock(c.mu);
    c.mappings.clear();
    ++c.generation;
}

void setHttpTimeout(std::optional<Millis> timeout) {
    auto& c = hostControl();
    MutexLock lock(c.mu);
    c.timeoutCap = timeout;
}

}  // namespace host
}  // namespace sorvel::platform

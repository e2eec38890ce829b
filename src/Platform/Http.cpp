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
#include <thread>
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
};

HostControl& hostControl() {
    static NoDestructor<HostControl> control;
    static const bool registered = [] {
        registerResetHook([] {
            auto& c = control.get();
            MutexLock lock(c.mu);
            c.mappings.clear();
            c.timeoutCap.reset();
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

// The URL actually requested after host mapping, and whether plain http is
// acceptable for it.
struct Target {
    std::string url;
    bool mapped = false;
};

std::optional<Target> resolveTarget(const std::string& url, std::string& why) {
    auto parts = text::parseHttpUrl(url);
    if (!parts) {
        why = "not an absolute http(s) URL";
        return std::nullopt;
    }
    std::optional<std::string> base;
    {
        auto& c = hostControl();
        MutexLock lock(c.mu);
        if (auto it = c.mappings.find(lower(parts->host)); it != c.mappings.end()) {
            base = it->second;
        } else if (auto star = c.mappings.find("*"); star != c.mappings.end()) {
            base = star->second;
        }
    }
    if (!base) {
        if (parts->scheme != "https") {
            why = "plain http is only allowed for a mapped host";
            return std::nullopt;
        }
        return Target{url, false};
    }
    std::string joined = *base;
    while (!joined.empty() && joined.back() == '/') {
        joined.pop_back();
    }
    joined += parts->pathAndQuery;
    return Target{joined, true};
}

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
// list; it never frees or changes it.
class HeaderList {
  public:
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

// What curl reads from while one transfer runs: it must stay where it is
// until the transfer ends.
struct TransferState {
    Target target;
    HeaderList headers;
    char errbuf[CURL_ERROR_SIZE] = {0};
    WriteContext ctx;
};

// Whether the request may be sent at all; why not goes into the response.
std::optional<Target> checkRequest(const HttpRequest& request, HttpResponse& response) {
    std::string why;
    auto target = resolveTarget(request.url, why);
    if (!target) {
        response.error = why;
        SystemLog::write("Http :: refused " + printable(request.url) + " : " + why);
        return std::nullopt;
    }
    const std::string& method = request.method;
    if (!method.empty() && method != "GET" && method != "POST" && method != "DELETE") {
        response.error = "unsupported method " + method;
        return std::nullopt;
    }
    for (const auto& [name, value] : request.headers) {
        if (!isHeaderName(name) || !isHeaderValue(value)) {
            response.error = "malformed header \"" + printable(name) + "\"";
            SystemLog::write("Http :: refused " + printable(request.url) + " : " + response.error);
            return std::nullopt;
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
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onBodyBytes);
}

// Sets the handle up for the request; the handle points into `state` and the
// request (its body is not copied) until the transfer ends.
void configure(CURL* h, const HttpRequest& request, TransferState& state) {
    const bool isGet = request.method.empty() || request.method == "GET";
    std::size_t bytes = 32;
    for (const auto& [name, value] : request.headers) {
        bytes += name.size() + value.size() + 3;
    }
    state.headers.reserve(request.headers.size() + 2, bytes);
    bool hasContentType = false;
    for (const auto& [name, value] : request.headers) {
        // "Name:" with nothing after it would make curl drop the header;
        // "Name;" is how it sends one whose value is empty.
        state.headers.add(name, value.empty() ? ";" : ": ", value);
        hasContentType = hasContentType || lower(name) == "content-type";
    }
    // No "Expect: 100-continue" round trip before larger bodies.
    state.headers.add("Expect", ":", "");
    // A body goes with the caller's Content-Type or none, never a form type
    // the caller did not ask for.
    if (!hasContentType && !isGet) {
        state.headers.add("Content-Type", ":", "");
    }
    const Millis timeout = effectiveTimeout(request.timeout);

    curl_easy_setopt(h, CURLOPT_URL, state.target.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, state.target.mapped ? "http,https" : "https");
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, state.headers.link());
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &state.ctx);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, state.errbuf);
    if (isGet) {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method == "DELETE" ? "DELETE" : nullptr);
    }
}

// The answer of a transfer that ended with `rc`; the handle no longer points
// into `state` afterwards.
HttpResponse outcomeOf(CURL* h, CURLcode rc, const TransferState& state) {
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
        response.error =
            state.ctx.stopped
                ? "body refused by its sink"
                : std::string(curl_easy_strerror(rc)) +
                      (state.errbuf[0] != '\0' ? std::string(": ") + state.errbuf : "");
    }
    // The handle waits for its next transfer pointing at nothing of this one.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
    return response;
}

// A body collected in memory with the size cap, and what dataTask() makes of
// the answer.
HttpResponse finishDataTask(HttpResponse r, const MemorySink& sink, std::string body,
                            const std::string& url) {
    if (sink.overflowed()) {
        SystemLog::write("Http :: response of " + url + " is larger than " +
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

// One transfer of startDataTask(), from its start to its answer.
struct AsyncTransfer {
    std::shared_ptr<const HttpRequest> request;
    HttpSession::DataTaskDone done;
    CURL* handle = nullptr;
    TransferState state;
    std::string body;
    MemorySink sink{body};
};

}  // namespace

struct HttpSession::Impl {
    // Locks for the share object, one per kind of shared data.
    std::array<Mutex, CURL_LOCK_DATA_LAST> shareLocks;
    CURLSH* share = nullptr;

    Mutex poolMu;
    std::vector<CURL*> idle GUARDED_BY(poolMu);

    std::atomic<std::uint64_t> transfers{0};
    std::atomic<std::uint64_t> connectionsOpened{0};
    std::atomic<std::uint64_t> mostConcurrent{0};

    // The transfer thread of startDataTask() and its multi handle, made on
    // first use. Only that thread touches the multi handle and the running
    // transfers; the others hand over new ones through `incoming`. The thread
    // ends after a while without transfers (the multi handle and the
    // connections it keeps stay), and the next transfer starts another.
    Mutex asyncMu;
    CURLM* multi GUARDED_BY(asyncMu) = nullptr;
    std::vector<std::unique_ptr<AsyncTransfer>> incoming GUARDED_BY(asyncMu);
    // The transfer thread waits (or is about to) in curl_multi_poll and has
    // not been woken since: only then does a new transfer wake it. Otherwise
    // it is busy and takes `incoming` before it waits again.
    bool polling GUARDED_BY(asyncMu) = false;
    bool stopping GUARDED_BY(asyncMu) = false;
    std::thread transferThread GUARDED_BY(asyncMu);
    static constexpr auto kIdleExit = std::chrono::seconds(2);

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
            // Connections stay with their easy handle (or, for transfers run
            // side by side, with the multi handle): sharing the connection
            // cache between threads is not safe in libcurl.
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        }
    }

    ~Impl() {
        CURLM* m = nullptr;
        std::thread worker;
        {
            MutexLock lock(asyncMu);
            stopping = true;
            m = multi;
            if (m != nullptr) {
                curl_multi_wakeup(m);
            }
            worker = std::move(transferThread);
        }
        if (worker.joinable()) {
            worker.join();
        }
        if (m != nullptr) {
            curl_multi_cleanup(m);
        }
        std::vector<CURL*> handles;
        {
            MutexLock lock(poolMu);
            handles.swap(idle);
        }
        for (CURL* h : handles) {
            curl_easy_cleanup(h);
        }
        if (share != nullptr) {
            curl_share_cleanup(share);
        }
    }

    // Most recently used first: it holds the warmest connection.
    CURL* take() {
        {
            MutexLock lock(poolMu);
            if (!idle.empty()) {
                CURL* h = idle.back();
                idle.pop_back();
                return h;
            }
        }
        CURL* h = curl_easy_init();
        if (h != nullptr) {
            configureOnce(h, share);
        }
        return h;
    }

    void give(CURL* h) {
        {
            MutexLock lock(poolMu);
            if (idle.size() < kMaxIdleHandles) {
                idle.push_back(h);
                return;
            }
        }
        curl_easy_cleanup(h);
    }

    void count(CURL* h) {
        long connects = 0;
        curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
        transfers.fetch_add(1);
        connectionsOpened.fetch_add(static_cast<std::uint64_t>(std::max(0L, connects)));
    }

    // Hands the transfer to the transfer thread; false when the session is
    // closing (the caller answers it).
    bool enqueue(std::unique_ptr<AsyncTransfer>& transfer) {
        MutexLock lock(asyncMu);
        if (stopping) {
            return false;
        }
        if (multi == nullptr) {
            multi = curl_multi_init();
            if (multi == nullptr) {
                return false;
            }
            // Idle connections the multi handle keeps for the next transfers.
            curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(kMaxIdleHandles));
        }
        if (!transferThread.joinable()) {
            try {
                transferThread = std::thread([this, m = multi] {
                    detail::nameThisThread("sorvel-http");
                    runTransfers(m);
                });
            } catch (const std::system_error& e) {
                SystemLog::write(std::string("HttpSession: cannot start the transfer thread: ") +
                                 e.what());
                return false;
            }
        }
        incoming.push_back(std::move(transfer));
        if (std::exchange(polling, false)) {
            curl_multi_wakeup(multi);
        }
        return true;
    }

    static void answer(std::unique_ptr<AsyncTransfer> t, HttpResponse response) {
        auto done = std::move(t->done);
        t.reset();
        if (done) {
            done(std::move(response));
        }
    }

    void runTransfers(CURLM* m) {
        std::map<CURL*, std::unique_ptr<AsyncTransfer>> running;
        auto idleSince = std::chrono::steady_clock::now();
        for (;;) {
            std::vector<std::unique_ptr<AsyncTransfer>> fresh;
            bool stop = false;
            {
                MutexLock lock(asyncMu);
                polling = false;
                fresh.swap(incoming);
                stop = stopping;
                if (!stop && fresh.empty() && running.empty() &&
                    std::chrono::steady_clock::now() - idleSince >= kIdleExit) {
                    // Long idle: the thread goes; the next transfer starts
                    // another, which takes the multi handle over.
                    transferThread.detach();
                    return;
                }
            }
            for (auto& t : fresh) {
                if (stop) {
                    HttpResponse closed;
                    closed.error = "the session was closed";
                    answer(std::move(t), std::move(closed));
                    continue;
                }
                CURL* h = take();
                if (h == nullptr) {
                    HttpResponse none;
                    none.error = "no transfer handle";
                    answer(std::move(t), std::move(none));
                    continue;
                }
                t->handle = h;
                t->state.ctx = WriteContext{&t->sink, false};
                configure(h, *t->request, t->state);
                if (curl_multi_add_handle(m, h) != CURLM_OK) {
                    HttpResponse none = outcomeOf(h, CURLE_FAILED_INIT, t->state);
                    give(h);
                    answer(std::move(t), std::move(none));
                    continue;
                }
                running.emplace(h, std::move(t));
            }
            std::uint64_t seen = mostConcurrent.load();
            while (running.size() > seen &&
                   !mostConcurrent.compare_exchange_weak(seen, running.size())) {
            }
            if (stop) {
                for (auto& [h, t] : running) {
                    curl_multi_remove_handle(m, h);
                    HttpResponse closed = outcomeOf(h, CURLE_ABORTED_BY_CALLBACK, t->state);
                    closed.error = "the session was closed";
                    give(h);
                    answer(std::move(t), std::move(closed));
                }
                return;
            }
            int stillRunning = 0;
            curl_multi_perform(m, &stillRunning);
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(m, &left)) {
                if (msg->msg != CURLMSG_DONE) {
                    continue;
                }
                CURL* h = msg->easy_handle;
                const CURLcode rc = msg->data.result;
                auto it = running.find(h);
                curl_multi_remove_handle(m, h);
                if (it == running.end()) {
                    continue;
                }
                std::unique_ptr<AsyncTransfer> t = std::move(it->second);
                running.erase(it);
                count(h);
                HttpResponse r = outcomeOf(h, rc, t->state);
                give(h);
                r = finishDataTask(std::move(r), t->sink, std::move(t->body), t->request->url);
                answer(std::move(t), std::move(r));
            }
            if (!running.empty()) {
                idleSince = std::chrono::steady_clock::now();
            }
            {
                MutexLock lock(asyncMu);
                if (!incoming.empty() || stopping) {
                    continue;
                }
                // From here a new transfer wakes the wait (or makes it
                // return at once when it comes before the wait starts).
                polling = true;
            }
            // curl's own timers (time-outs, retries of a connect) end the wait
            // earlier.
            curl_multi_poll(m, nullptr, 0, running.empty() ? 500 : 30000, nullptr);
        }
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
    return Stats{impl_->transfers.load(), impl_->connectionsOpened.load(),
                 impl_->mostConcurrent.load()};
}

HttpResponse HttpSession::dataTask(const HttpRequest& request) {
    std::string body;
    MemorySink sink(body);
    HttpResponse r = perform(request, sink);
    return finishDataTask(std::move(r), sink, std::move(body), request.url);
}

void HttpSession::startDataTask(std::shared_ptr<const HttpRequest> request, DataTaskDone done) {
    HttpResponse refused;
    if (!request) {
        refused.error = "no request";
        if (done) {
            done(std::move(refused));
        }
        return;
    }
    auto target = checkRequest(*request, refused);
    if (!target) {
        if (done) {
            done(std::move(refused));
        }
        return;
    }
    auto transfer = std::make_unique<AsyncTransfer>();
    transfer->request = std::move(request);
    transfer->done = std::move(done);
    transfer->state.target = std::move(*target);
    if (!impl_->enqueue(transfer)) {
        HttpResponse closed;
        closed.error = "the session was closed";
        Impl::answer(std::move(transfer), std::move(closed));
    }
}

HttpResponse HttpSession::perform(const HttpRequest& request, IHttpBodySink& sink) {
    HttpResponse response;
    TransferState state;
    auto target = checkRequest(request, response);
    if (!target) {
        return response;
    }
    state.target = std::move(*target);
    CURL* h = impl_->take();
    if (h == nullptr) {
        response.error = "no transfer handle";
        return response;
    }
    state.ctx = WriteContext{&sink, false};
    configure(h, request, state);
    const CURLcode rc = curl_easy_perform(h);
    impl_->count(h);
    response = outcomeOf(h, rc, state);
    impl_->give(h);
    return response;
}

namespace host {

void mapHttpHost(const std::string& hostName, const std::string& baseUrl) {
    auto& c = hostControl();
    MutexLock lock(c.mu);
    c.mappings[lower(hostName)] = baseUrl;
}

void clearHttpHostMappings() {
    auto& c = hostControl();
    MutexLock lock(c.mu);
    c.mappings.clear();
}

void setHttpTimeout(std::optional<Millis> timeout) {
    auto& c = hostControl();
    MutexLock lock(c.mu);
    c.timeoutCap = timeout;
}

}  // namespace host
}  // namespace sorvel::platform

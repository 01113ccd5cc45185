#include "net/http_source.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "net/host_not_found_exception.h"
#include "net/http_connection.h"
#include "net/proxy_credentials.h"
#include "net/system_proxy.h"
#include "signer/model/text.h"

namespace quor::net {

namespace {

using Clock = std::chrono::steady_clock;

// The body waits here between the network and the reader. When it is full the transfer pauses,
// so memory stays bounded whatever the size of the body.
constexpr std::size_t kBodyBufferSize = 512 * 1024;
// Bytes libcurl reads from the socket at a time (and hands over per call), instead of 16 KiB.
constexpr long kReceiveChunkSize = 128 * 1024;
// A redirect loop must end; a browser gives up after about twenty.
constexpr long kMaxRedirects = 30;
constexpr int kDefaultTimeoutMs = 60000;

struct EasyDeleter {
    void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;
using MultiPtr = std::unique_ptr<CURLM, MultiDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// UTF-8 form of a wide text, for the URL and the header lines.
std::string toUtf8(const std::wstring& text) {
    return signer::toUtf8Text(text);
}

// A host text becomes part of a URL, so it must not carry URL syntax of its own: "a@b" would
// otherwise connect to b as user a. Anything that is not a host name cannot be resolved anyway.
bool isHostName(const std::wstring& host) {
    if (host.empty())
        return false;
    return std::all_of(host.begin(), host.end(), [](wchar_t c) {
        return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
               c == L'-' || c == L'.' || c == L'_' || c > 0x7F;
    });
}

// The object name goes into the URL as it is, except for bytes a URL cannot hold literally.
std::string encodeObject(const std::wstring& object) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out = object.empty() || object.front() != L'/' ? "/" : "";
    for (unsigned char c : toUtf8(object)) {
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
            c == '`' || c == '{' || c == '|' || c == '}') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::wstring targetText(const HttpRequestSettings& settings) {
    return settings.host + L":" + std::to_wstring(settings.port) + settings.object;
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// The proxy libcurl takes from the environment for this scheme (it reads the same variables).
std::string proxyFromEnvironment(bool secure) {
    const char* names[] = {secure ? "https_proxy" : "http_proxy", secure ? "HTTPS_PROXY" : nullptr,
                           "all_proxy", "ALL_PROXY"};
    for (const char* name : names) {
        if (name == nullptr)
            continue;
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return value;
    }
    return {};
}

// Whether libproxy takes the proxy settings from a desktop (GNOME, MATE or KDE) rather than from
// the environment variables: the same signs its desktop modules look for.
bool desktopKeepsProxySettings() {
    const char* session = std::getenv("DESKTOP_SESSION");
    const std::string_view name = session != nullptr ? session : "";
    return std::getenv("GNOME_DESKTOP_SESSION_ID") != nullptr || name == "gnome" ||
           name == "gnome-wayland" || name == "mate" || std::getenv("KDE_FULL_SESSION") != nullptr;
}

// Whether a variable libproxy reads for this scheme is set (it knows nothing of all_proxy).
bool libproxyReadsAProxyVariable(bool secure) {
    const char* names[] = {"http_proxy", "HTTP_PROXY", secure ? "https_proxy" : nullptr,
                           secure ? "HTTPS_PROXY" : nullptr};
    return std::any_of(std::begin(names), std::end(names), [](const char* name) {
        const char* value = name != nullptr ? std::getenv(name) : nullptr;
        return value != nullptr && *value != '\0';
    });
}

// Forgives what an unknown or self-signed issuer causes; every other problem (expiry, a bad
// signature, a wrong purpose) still fails the handshake. Clearing the error in the store context
// matters: libcurl checks the verification result again after the handshake.
int lenientVerify(int preverified, X509_STORE_CTX* ctx) {
    if (preverified == 1)
        return 1;
    switch (X509_STORE_CTX_get_error(ctx)) {
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_UNABLE_TO_GET_CRL:
            X509_STORE_CTX_set_error(ctx, X509_V_OK);
            return 1;
        default:
            return 0;
    }
}

CURLcode installLenientVerify(CURL*, void* sslContext, void*) {
    SSL_CTX_set_verify(static_cast<SSL_CTX*>(sslContext), SSL_VERIFY_PEER, lenientVerify);
    return CURLE_OK;
}

}  // namespace

// HttpTransfer is one request on its own multi handle, driven only from the reading thread.
class HttpTransfer {
  public:
    explicit HttpTransfer(const HttpRequestSettings& settings);
    ~HttpTransfer();
    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    std::streamsize read(char* buffer, std::streamsize count);
    long status() const { return status_; }
    // Ends the transfer for every reader; later reads return 0.
    void close();

  private:
    // One way to the server: through a proxy, directly, or as libcurl decides from the
    // environment when libproxy gave no answer.
    struct Way {
        // CURLOPT_PROXY: "" for a direct connection; nothing leaves libcurl's own choice.
        std::optional<std::string> curlProxy;
        // The way as the user may see it, "direct://" or the proxy URL.
        std::string display;
    };
    static std::vector<Way> waysFor(const std::string& url, bool secure);
    static void reportRoute(const ProxyRoute& route);
    // Sends the request through `way`, asking for credentials as long as the proxy answers 407
    // and the handler answers. False when the request could not be sent at all.
    bool sendThrough(const Way& way);

    void configure();
    void start();
    void stop();
    // Drives the transfer until `done()` holds, it completes, or no byte arrives for the time-out.
    template <typename Done>
    void driveUntil(Done done);
    void resume();
    std::optional<ProxyCredentials> askProxyCredentials(int attempt) const;

    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onBody(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow);
    static int onConnected(void* self, char*, char*, int, int);

    HttpRequestSettings settings_;
    std::shared_ptr<HttpConnection> connection_;
    MultiPtr multi_;
    SlistPtr headerList_;
    EasyPtr easy_;
    std::string url_;
    std::string verb_;
    std::string userAgent_ = "QuorsaApplication";
    int timeoutMs_;
    // The proxy of the way being tried, for the credentials question.
    std::string proxy_;

    // Body bytes received and not yet read: [begin_, end_) of buffer_.
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;

    bool added_ = false;
    bool paused_ = false;
    bool finished_ = false;
    bool credentialsSet_ = false;
    CURLcode result_ = CURLE_OK;
    Clock::time_point deadline_;

    // State of the response being received.
    long blockStatus_ = 0;
    bool blockHasLocation_ = false;
    std::vector<std::string> proxyAuthSchemes_;
    bool headersFinal_ = false;
    bool bodyStarted_ = false;
    long status_ = 0;
    curl_off_t uploaded_ = 0;
};

HttpTransfer::HttpTransfer(const HttpRequestSettings& settings)
    : settings_(settings),
      connection_(settings.connection),
      timeoutMs_(settings.timeoutMs > 0 ? settings.timeoutMs : kDefaultTimeoutMs),
      buffer_(kBodyBufferSize) {
    const std::wstring target = targetText(settings_);
    if (!connection_ || !isHostName(settings_.host))
        throw HostNotFoundException(target);
    multi_.reset(curl_multi_init());
    easy_.reset(curl_easy_init());
    if (!multi_ || !easy_)
        throw HostNotFoundException(target);
    configure();

    // libproxy's answers are tried in their order until one of them leads to an answer; a way
    // that cannot even send the request (a proxy that is down, a refused direct connection)
    // hands over to the next.
    ProxyRoute route;
    route.target = toUtf8(target);
    const std::vector<Way> ways = waysFor(url_, settings_.secure);
    for (const Way& way : ways) {
        route.tried.push_back(way.display);
        if (sendThrough(way)) {
            route.reached = true;
            reportRoute(route);
            return;
        }
    }
    reportRoute(route);
    throw HostNotFoundException(target);
}

bool HttpTransfer::sendThrough(const Way& way) {
    CURL* easy = easy_.get();
    if (way.curlProxy) {
        curl_easy_setopt(easy, CURLOPT_PROXY, way.curlProxy->c_str());
        // libproxy has already applied the exceptions (no_proxy or the desktop's ignored
        // hosts); libcurl must not apply no_proxy a second time.
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    } else {
        curl_easy_setopt(easy, CURLOPT_PROXY, nullptr);
        curl_easy_setopt(easy, CURLOPT_NOPROXY, nullptr);
    }
    // Credentials belong to the proxy they were typed for.
    curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, nullptr);
    curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, nullptr);
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    credentialsSet_ = false;
    proxy_ = way.display;

    for (int attempt = 1;; ++attempt) {
        start();
        driveUntil([this] { return headersFinal_ || bodyStarted_; });
        long connectCode = 0;
        curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
        // A CONNECT answer can only come from the proxy: some proxies answer a wrong password
        // with 401 instead of 407, and either means the tunnel needs (other) credentials.
        const bool tunnelRefused =
            finished_ && result_ != CURLE_OK && (connectCode == 407 || connectCode == 401);
        if (finished_ && result_ != CURLE_OK && !headersFinal_ && !bodyStarted_ && !tunnelRefused) {
            stop();
            return false;
        }
        if (tunnelRefused) {
            status_ = 407;
        } else if (!headersFinal_) {
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status_);
        }
        if (status_ != 407)
            return true;
        const auto credentials = askProxyCredentials(attempt);
        if (!credentials)
            return true;
        // Basic goes out with the first request; a proxy that closes its connection after a
        // 407 would never see credentials that wait for a second round of negotiation.
        long auth = CURLAUTH_BASIC;
        const bool offersOnlyBasic =
            std::all_of(proxyAuthSchemes_.begin(), proxyAuthSchemes_.end(),
                        [](const std::string& scheme) { return scheme == "basic"; });
        if (!offersOnlyBasic)
            auth = static_cast<long>(CURLAUTH_ANY);
        curl_easy_setopt(easy, CURLOPT_PROXYAUTH, auth);
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, credentials->user.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, credentials->password.c_str());
        credentialsSet_ = true;
    }
}

std::vector<HttpTransfer::Way> HttpTransfer::waysFor(const std::string& url, bool secure) {
    std::vector<Way> ways;
    const std::optional<std::vector<std::string>> answers = systemProxiesFor(url);
    const std::string fromEnvironment = proxyFromEnvironment(secure);
    // libproxy reads the variables only where it finds no desktop settings; a desktop set to use
    // no proxy must still leave them working, as they do without a desktop (libcurl applies
    // no_proxy to them itself). Without a desktop libproxy's direct answer already took
    // no_proxy into account, except when the only variable set is all_proxy, which libproxy
    // does not read.
    const bool onlyDirect = answers && answers->size() == 1 && answers->front() == "direct://";
    if (!answers || (onlyDirect && !fromEnvironment.empty() &&
                     (desktopKeepsProxySettings() || !libproxyReadsAProxyVariable(secure)))) {
        ways.push_back({std::nullopt, fromEnvironment.empty() ? "direct://" : fromEnvironment});
        return ways;
    }
    for (const std::string& answer : *answers) {
        if (const std::optional<std::string> proxy = curlProxyFor(answer))
            ways.push_back({proxy, proxyDisplayText(answer)});
    }
    // Only kinds of proxy libcurl cannot use: libproxy's own last resort is the direct way.
    if (ways.empty())
        ways.push_back({std::string(), "direct://"});
    return ways;
}

void HttpTransfer::reportRoute(const ProxyRoute& route) {
    if (const ProxyRouteObserver observer = proxyRouteObserver())
        observer(route);
}

HttpTransfer::~HttpTransfer() {
    stop();
}

void HttpTransfer::configure() {
    CURL* easy = easy_.get();
    url_ = std::string(settings_.secure ? "https://" : "http://") + toUtf8(settings_.host) + ":" +
           std::to_string(settings_.port) + encodeObject(settings_.object);
    curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy, CURLOPT_SHARE, connection_->share());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent_.c_str());
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, settings_.followRedirects ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutMs_));
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveChunkSize);

    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, installLenientVerify);

    // Request headers: accept types, the cache bypass, keep-alive, then the caller's block.
    std::string accept = "Accept: ";
    for (const auto& type : settings_.acceptTypes)
        accept += toUtf8(type) + ", ";
    accept += "*/*";
    std::vector<std::string> lines{accept, "Cache-Control: no-cache", "Pragma: no-cache",
                                   "Connection: Keep-Alive", "Expect:"};
    bool hasContentType = false;
    for (const auto& [name, value] : settings_.headers) {
        const std::string narrowName = toUtf8(name);
        if (lowerAscii(narrowName) == "content-type")
            hasContentType = true;
        // "Name;" is libcurl's way of sending a header with an empty value.
        lines.push_back(value.empty() ? narrowName + ";" : narrowName + ": " + toUtf8(value));
    }
    if (!settings_.body.empty() && !hasContentType)
        lines.emplace_back("Content-Type:");
    for (const auto& line : lines) {
        curl_slist* grown = curl_slist_append(headerList_.get(), line.c_str());
        if (grown == nullptr)
            throw std::bad_alloc();
        headerList_.release();
        headerList_.reset(grown);
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList_.get());

    if (settings_.verb == L"POST") {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
    } else if (settings_.verb != L"GET" || !settings_.body.empty()) {
        curl_easy_setopt(easy, CURLOPT_POST, settings_.body.empty() ? 0L : 1L);
        verb_ = toUtf8(settings_.verb);
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb_.c_str());
    }
    if (!settings_.body.empty() || settings_.verb == L"POST") {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(settings_.body.size()));
        curl_easy_setopt(
            easy, CURLOPT_POSTFIELDS,
            settings_.body.empty() ? "" : reinterpret_cast<const char*>(settings_.body.data()));
    }

    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, onConnected);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
}

void HttpTransfer::start() {
    stop();
    begin_ = end_ = 0;
    paused_ = finished_ = false;
    result_ = CURLE_OK;
    blockStatus_ = 0;
    blockHasLocation_ = false;
    proxyAuthSchemes_.clear();
    headersFinal_ = bodyStarted_ = false;
    status_ = 0;
    uploaded_ = 0;
    if (curl_multi_add_handle(multi_.get(), easy_.get()) != CURLM_OK) {
        throw HostNotFoundException(targetText(settings_));
    }
    added_ = true;
}

void HttpTransfer::stop() {
    if (added_) {
        curl_multi_remove_handle(multi_.get(), easy_.get());
        added_ = false;
    }
}

template <typename Done>
void HttpTransfer::driveUntil(Done done) {
    deadline_ = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    while (!finished_) {
        int running = 0;
        if (curl_multi_perform(multi_.get(), &running) != CURLM_OK) {
            finished_ = true;
            result_ = CURLE_RECV_ERROR;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy_.get()) {
                finished_ = true;
                result_ = message->data.result;
            }
        }
        if (finished_ || done())
            break;
        const auto now = Clock::now();
        if (now >= deadline_) {
            // Nothing arrived for the whole time-out: give up on this transfer.
            stop();
            finished_ = true;
            result_ = CURLE_OPERATION_TIMEDOUT;
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now).count();
        curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(std::min<long long>(left, 1000)),
                        nullptr);
    }
}

void HttpTransfer::resume() {
    paused_ = false;
    // May hand over the bytes that were held back at once, and pause again if they do not fit.
    if (curl_easy_pause(easy_.get(), CURLPAUSE_CONT) != CURLE_OK) {
        stop();
        finished_ = true;
        result_ = CURLE_RECV_ERROR;
    }
}

std::streamsize HttpTransfer::read(char* buffer, std::streamsize count) {
    if (count <= 0)
        return 0;
    while (begin_ == end_) {
        if (finished_)
            return 0;
        if (paused_) {
            resume();
        } else {
            driveUntil([this] { return begin_ != end_ || paused_; });
        }
    }
    const auto n = std::min<std::size_t>(static_cast<std::size_t>(count), end_ - begin_);
    std::memcpy(buffer, buffer_.data() + begin_, n);
    begin_ += n;
    if (begin_ == end_)
        begin_ = end_ = 0;
    if (paused_ && !finished_ &&
        buffer_.size() - (end_ - begin_) >= 2 * static_cast<std::size_t>(kReceiveChunkSize)) {
        resume();
    }
    return static_cast<std::streamsize>(n);
}

void HttpTransfer::close() {
    stop();
    finished_ = true;
    begin_ = end_ = 0;
}

std::optional<ProxyCredentials> HttpTransfer::askProxyCredentials(int attempt) const {
    const ProxyCredentialsHandler handler = proxyCredentialsHandler();
    if (!handler)
        return std::nullopt;
    ProxyCredentialsRequest request;
    request.proxy = proxy_;
    request.target = toUtf8(targetText(settings_));
    request.attempt = attempt;
    return handler(request);
}

size_t HttpTransfer::onHeader(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<HttpTransfer*>(self);
    const std::string_view line(data, size * count);
    transfer->deadline_ = Clock::now() + std::chrono::milliseconds(transfer->timeoutMs_);
    if (line.starts_with("HTTP/")) {
        // A new response begins: an interim one, a redirect, a 407 or the final answer.
        transfer->blockStatus_ = 0;
        transfer->blockHasLocation_ = false;
        transfer->proxyAuthSchemes_.clear();
        const auto space = line.find(' ');
        if (space != std::string_view::npos) {
            transfer->blockStatus_ =
                std::strtol(std::string(line.substr(space + 1)).c_str(), nullptr, 10);
        }
    } else if (line == "\r\n" || line == "\n") {
        const long status = transfer->blockStatus_;
        const bool followed = transfer->settings_.followRedirects && status >= 300 &&
                              status < 400 && status != 304 && transfer->blockHasLocation_;
        // With credentials set libcurl may answer a 407 itself in another round; that 407 is
        // final only once its body starts or the transfer ends.
        const bool negotiating = status == 407 && transfer->credentialsSet_;
        if (status >= 200 && !followed && !negotiating) {
            transfer->headersFinal_ = true;
            transfer->status_ = status;
        }
    } else {
        const auto colon = line.find(':');
        if (colon != std::string_view::npos) {
            const std::string name = lowerAscii(line.substr(0, colon));
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
                value.remove_prefix(1);
            }
            if (name == "location")
                transfer->blockHasLocation_ = true;
            if (name == "proxy-authenticate") {
                const auto end = value.find_first_of(" \t\r\n,");
                transfer->proxyAuthSchemes_.push_back(lowerAscii(value.substr(0, end)));
            }
        }
    }
    return size * count;
}

size_t HttpTransfer::onBody(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<HttpTransfer*>(self);
    const size_t length = size * count;
    transfer->bodyStarted_ = true;
    auto& buffer = transfer->buffer_;
    if (buffer.size() - transfer->end_ < length && transfer->begin_ > 0) {
        std::memmove(buffer.data(), buffer.data() + transfer->begin_,
                     transfer->end_ - transfer->begin_);
        transfer->end_ -= transfer->begin_;
        transfer->begin_ = 0;
    }
    if (buffer.size() - transfer->end_ < length) {
        if (transfer->end_ == 0) {
            // A piece larger than the whole buffer: take it rather than stall forever.
            buffer.resize(length);
        } else {
            transfer->paused_ = true;
            return CURL_WRITEFUNC_PAUSE;
        }
    }
    std::memcpy(buffer.data() + transfer->end_, data, length);
    transfer->end_ += length;
    transfer->deadline_ = Clock::now() + std::chrono::milliseconds(transfer->timeoutMs_);
    return length;
}

int HttpTransfer::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto* transfer = static_cast<HttpTransfer*>(self);
    if (ulnow != transfer->uploaded_) {
        transfer->uploaded_ = ulnow;
        transfer->deadline_ = Clock::now() + std::chrono::milliseconds(transfer->timeoutMs_);
    }
    return 0;
}

int HttpTransfer::onConnected(void* self, char*, char*, int, int) {
    auto* transfer = static_cast<HttpTransfer*>(self);
    transfer->deadline_ = Clock::now() + std::chrono::milliseconds(transfer->timeoutMs_);
    return CURL_PREREQFUNC_OK;
}

HttpSource::HttpSource(const HttpRequestSettings& settings)
    : transfer_(std::make_shared<HttpTransfer>(settings)) {}

std::streamsize HttpSource::read(char* buffer, std::streamsize count) {
    return transfer_ ? transfer_->read(buffer, count) : 0;
}

void HttpSource::close() {
    if (transfer_)
        transfer_->close();
    transfer_.reset();
}

long HttpSource::status() const {
    return transfer_ ? transfer_->status() : 0;
}

}  // namespace quor::net

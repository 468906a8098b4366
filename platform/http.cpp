#include "platform/http.h"

// The library is loaded on first use (below): its functions are called through pointers, which
// the type-checking wrappers of its header would not accept.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <cctype>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/library.h"

namespace kaz::platform::http {
namespace {

using Clock = std::chrono::steady_clock;

// ---- the library ----

// libcurl is opened on the first request rather than linked: linked, it brings some thirty
// libraries whose loading and relocation every run of kaz would pay, HTTP or not. Each pointer
// bears the name of the function it stands for, so the code below calls them as written.
#define KAZ_CURL_FUNCTIONS(X)                                                                      \
    X(curl_global_init) X(curl_easy_init) X(curl_easy_cleanup) X(curl_easy_reset)                  \
    X(curl_easy_setopt) X(curl_easy_perform) X(curl_easy_getinfo) X(curl_easy_strerror)            \
    X(curl_slist_append) X(curl_slist_free_all) X(curl_url) X(curl_url_cleanup) X(curl_url_set)    \
    X(curl_url_get) X(curl_free)
KAZ_CURL_FUNCTIONS(KAZ_LIBRARY_POINTER)

bool library_loaded() {
    static const bool loaded = [] {
        const LibrarySymbol symbols[] = {KAZ_CURL_FUNCTIONS(KAZ_LIBRARY_SYMBOL)};
        if (!load_library("libcurl.so.4", symbols)) return false;
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    return loaded;
}

// ---- the library's handle ----

// One easy handle per thread, reset before each transfer: a reset keeps the connections, the
// resolved names and the TLS sessions of earlier transfers, which a new handle would not.
CURL* thread_handle() {
    struct Owner {
        CURL* handle = curl_easy_init();
        ~Owner() {
            if (handle) curl_easy_cleanup(handle);
        }
    };
    thread_local Owner owner;
    return owner.handle;
}

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

// ---- text ----

bool iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequal(text.substr(0, prefix.size()), prefix);
}

// Spaces and bytes above 0x7F after the authority, percent-encoded: libcurl refuses the ones
// and would send the others raw. The host is left to libcurl, which turns an international
// name into its ASCII form.
std::string escape_url(std::string_view url) {
    size_t from = 0;
    if (size_t scheme = url.find("://"); scheme != std::string_view::npos) {
        from = url.find_first_of("/?#", scheme + 3);
        if (from == std::string_view::npos) return std::string(url);
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out(url.substr(0, from));
    for (unsigned char c : url.substr(from)) {
        if (c == ' ' || c > 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

// ---- one transfer ----

// What the callbacks of one transfer share.
struct Transfer {
    CURL* curl = nullptr;
    Response* response = nullptr;
    size_t max_body = SIZE_MAX;
    std::chrono::milliseconds idle{};
    bool body_expected = true;  // false for HEAD
    Failure abort = Failure::none;  // why a callback ended the transfer
    // The idle clock: it starts once the connection is made, and each byte moved winds it back.
    bool connected = false;
    Clock::time_point last_move{};
    curl_off_t moved = -1;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    size_t n = size * count;
    Bytes& body = t.response->body;
    if (n > t.max_body - body.size()) {
        t.abort = Failure::too_large;
        return 0;
    }
    char* at = body.room(n);
    if (!at) {
        t.abort = Failure::no_memory;
        return 0;
    }
    std::memcpy(at, data, n);
    body.commit(n);
    return n;
}

// Header lines come one by one, those of every response the transfer meets (a 100 Continue
// before the answer): each status line starts the head afresh.
size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    size_t n = size * count;
    std::string_view line(data, n);
    if (starts_with_nocase(line, "HTTP/")) {
        t.response->head.clear();
        return n;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty()) return n;  // the blank line that ends a head
    if (t.body_expected && starts_with_nocase(line, "Content-Length:")) {
        // The whole body's room at once: growing by doubling would copy it several times over.
        // Only address space is taken until bytes come; a length past the limit is left to the
        // body's own check, since a response may announce a body it does not carry (a 304).
        std::string_view digits = line.substr(15);
        while (!digits.empty() && is_blank(digits.front())) digits.remove_prefix(1);
        uint64_t length = 0;
        auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), length);
        if (parsed.ec == std::errc() && length > 0 && length <= t.max_body &&
            !t.response->body.room(size_t(length))) {
            t.abort = Failure::no_memory;
            return 0;
        }
    }
    t.response->head.append(line);
    t.response->head.append("\r\n");
    return n;
}

int on_progress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto& t = *static_cast<Transfer*>(user);
    Clock::time_point now = Clock::now();
    if (!t.connected) {
        // Until the connection is made (or taken from the cache), the connect timeout rules.
        curl_off_t pretransfer = 0;
        curl_easy_getinfo(t.curl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
        if (pretransfer <= 0) return 0;
        t.connected = true;
        t.last_move = now;
    }
    if (down + up != t.moved) {
        t.moved = down + up;
        t.last_move = now;
        return 0;
    }
    if (now - t.last_move > t.idle) {
        t.abort = Failure::timeout;
        return 1;
    }
    return 0;
}

Failure failure_of(CURLcode code, CURL* curl) {
    switch (code) {
        case CURLE_URL_MALFORMAT: return Failure::bad_url;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return Failure::unknown_host;
        case CURLE_COULDNT_CONNECT: {
            long os_error = 0;
            curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &os_error);
            return os_error == ECONNREFUSED ? Failure::refused : Failure::unreachable;
        }
        case CURLE_OPERATION_TIMEDOUT: return Failure::timeout;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED: return Failure::tls;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE: return Failure::lost;
        // The scheme was checked before: what libcurl calls an unsupported protocol now is an
        // answer in no version of HTTP it accepts.
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3: return Failure::bad_response;
        case CURLE_OUT_OF_MEMORY: return Failure::no_memory;
        default: return Failure::other;
    }
}

// The headers as libcurl takes them, with its own defaults that the request did not name taken
// out: a request carries the headers given and no others.
Slist header_list(const std::vector<Header>& headers, bool has_body) {
    curl_slist* list = nullptr;
    auto add = [&list](const std::string& line) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown) list = grown;
        return grown != nullptr;
    };
    bool ok = true;
    bool accept = false, expect = false, content_type = false;
    for (const Header& h : headers) {
        // The framing is the body's own.
        if (iequal(h.name, "Content-Length") || iequal(h.name, "Transfer-Encoding")) continue;
        accept |= iequal(h.name, "Accept");
        expect |= iequal(h.name, "Expect");
        content_type |= iequal(h.name, "Content-Type");
        // "Name:" alone would remove the header: an empty value is written "Name;".
        ok &= add(h.value.empty() ? h.name + ";" : h.name + ": " + h.value);
    }
    if (!accept) ok &= add("Accept:");
    if (has_body && !expect) ok &= add("Expect:");
    if (has_body && !content_type) ok &= add("Content-Type:");
    Slist owned(list);
    if (!ok) owned.reset();
    return owned;
}

struct Hop {
    std::string method;
    std::string url;
    std::vector<Header> headers;
    std::optional<std::string_view> body;
};

// One request and its response. `location` receives the absolute URL a redirect names, or
// nothing.
Result transfer(CURL* curl, const Request& request, const Hop& hop, std::string& location) {
    Result result;
    location.clear();
    char error_text[CURL_ERROR_SIZE] = {};
    Transfer t;
    t.curl = curl;
    t.response = &result.response;
    t.max_body = request.max_body;
    t.idle = request.idle_timeout;

    bool head = hop.method == "HEAD";
    t.body_expected = !head;
    bool has_body = hop.body.has_value() && !head;
    Slist headers = header_list(hop.headers, has_body);
    if (!headers) {
        // Every list names at least a default taken out: no list means no memory.
        result.failure = Failure::no_memory;
        return result;
    }
    // The handle is kept for the next request with its connections: whatever way this one
    // ends, it must not keep pointers to this frame (the error text, the callbacks' state, the
    // header list), which libcurl might still use when it closes a connection.
    struct ResetAfter {
        CURL* curl;
        ~ResetAfter() { curl_easy_reset(curl); }
    } reset_after{curl};

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(curl, CURLOPT_URL, hop.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(request.connect_timeout.count()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    if (!request.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, request.ca_file.c_str());

    if (head) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (has_body) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(hop.body->size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, hop.body->data() ? hop.body->data() : "");
        if (hop.method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, hop.method.c_str());
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        if (hop.method != "GET") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, hop.method.c_str());
    }

    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);

    CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) {
        result.failure = t.abort != Failure::none ? t.abort : failure_of(code, curl);
        result.detail = error_text[0] ? error_text : curl_easy_strerror(code);
        return result;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    result.response.status = int32_t(status);
    char* effective = nullptr;
    curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
    result.response.url = effective ? effective : hop.url;
    char* redirect = nullptr;
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &redirect);
    if (redirect) location = redirect;
    return result;
}

// Scheme, host and port of a URL, for telling whether a redirect leaves the origin.
std::optional<std::string> origin_of(const std::string& url) {
    Url u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return std::nullopt;
    std::string origin;
    for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
        char* text = nullptr;
        if (curl_url_get(u.get(), part, &text, CURLU_DEFAULT_PORT) != CURLUE_OK) return std::nullopt;
        for (const char* c = text; *c; ++c) origin += (*c >= 'A' && *c <= 'Z') ? char(*c - 'A' + 'a') : *c;
        origin += '\n';
        curl_free(text);
    }
    return origin;
}

bool is_redirect(int32_t status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

std::string_view failure_name(Failure failure) {
    switch (failure) {
        case Failure::none: return "none";
        case Failure::bad_request: return "bad_request";
        case Failure::bad_url: return "bad_url";
        case Failure::bad_scheme: return "bad_scheme";
        case Failure::unknown_host: return "unknown_host";
        case Failure::refused: return "refused";
        case Failure::unreachable: return "unreachable";
        case Failure::timeout: return "timeout";
        case Failure::tls: return "tls";
        case Failure::redirects: return "redirects";
        case Failure::lost: return "lost";
        case Failure::bad_response: return "bad_response";
        case Failure::too_large: return "too_large";
        case Failure::no_memory: return "no_memory";
        case Failure::other: return "other";
    }
    return "other";
}

bool is_token(std::string_view text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  (c && std::strchr("!#$%&'*+-.^_`|~", c));
        if (!ok) return false;
    }
    return true;
}

bool is_field_value(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

Result perform(const Request& request) {
    Result refused;
    refused.failure = Failure::bad_request;
    if (!is_token(request.method)) {
        refused.detail = "method is not a token: " + request.method;
        return refused;
    }
    for (const Header& h : request.headers) {
        if (!is_token(h.name) || !is_field_value(h.value)) {
            refused.detail = "header cannot be sent as it is: " + h.name;
            return refused;
        }
    }
    // The scheme is checked here: libcurl would guess one for a URL without it, and look up
    // whatever text stands in for a host.
    size_t colon = request.url.find(':');
    std::string_view scheme = std::string_view(request.url).substr(0, colon);
    bool well_formed = colon != std::string::npos && !scheme.empty() &&
                       std::isalpha(static_cast<unsigned char>(scheme[0])) &&
                       scheme.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") ==
                           std::string_view::npos;
    if (!well_formed || (!iequal(scheme, "http") && !iequal(scheme, "https"))) {
        Result wrong;
        wrong.failure = well_formed ? Failure::bad_scheme : Failure::bad_url;
        wrong.detail = well_formed ? "not an http or https URL: " + request.url : "not a URL: " + request.url;
        return wrong;
    }
    if (!library_loaded()) {
        Result missing;
        missing.failure = Failure::unreachable;
        missing.detail = "the HTTP library (libcurl.so.4) cannot be loaded";
        return missing;
    }
    CURL* curl = thread_handle();
    if (!curl) {
        Result none;
        none.failure = Failure::no_memory;
        return none;
    }

    Hop hop{request.method, escape_url(request.url), request.headers, request.body};
    std::string next;
    for (int followed = 0;; ++followed) {
        Result result = transfer(curl, request, hop, next);
        if (result.failure != Failure::none || !is_redirect(result.response.status) || next.empty())
            return result;
        bool secure = starts_with_nocase(result.response.url, "https:");
        bool allowed = starts_with_nocase(next, "https:") || (!secure && starts_with_nocase(next, "http:"));
        if (!allowed) return result;
        if (followed == request.max_redirects) {
            Result over;
            over.failure = Failure::redirects;
            over.detail = "more than " + std::to_string(request.max_redirects) + " redirects";
            return over;
        }

        int32_t status = result.response.status;
        if (status == 303 || ((status == 301 || status == 302) && hop.method == "POST")) {
            if (hop.method != "HEAD") hop.method = "GET";
            hop.body.reset();
            std::erase_if(hop.headers, [](const Header& h) { return starts_with_nocase(h.name, "Content-"); });
        }
        if (origin_of(result.response.url) != origin_of(next)) {
            std::erase_if(hop.headers, [](const Header& h) {
                return iequal(h.name, "Authorization") || iequal(h.name, "Proxy-Authorization") ||
                       iequal(h.name, "Cookie");
            });
        }
        hop.url = std::move(next);
    }
}

}  // namespace kaz::platform::http

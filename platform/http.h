// HTTP and HTTPS requests over libcurl: one synchronous request at a time per thread, its
// redirects followed here, its response gathered whole. Below the language: methods, headers,
// bodies and answers are text and bytes.
//
// What goes out is what the request says and no more: the method, the URL, the headers given
// (in their order) and the body; the library adds only what HTTP/1.1 requires of every request
// (Host, Content-Length or nothing for a request without a body). It asks for no compression and
// decodes none: the body is returned as the server sent it. Certificates are checked against the
// system's store of authorities (libcurl's default), host names included. A proxy named in the
// environment (http_proxy, https_proxy, no_proxy) is used as libcurl uses it.
//
// Connections to a server may be kept open between requests of the same thread and used again;
// nothing else is kept from one request to the next (no cookies, no credentials).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

namespace kaz::platform::http {

struct Header {
    std::string name, value;
};

// Why a request got no response. Every failure ends the request: nothing is retried here.
enum class Failure : uint8_t {
    none,
    bad_request,   // a method that is not an HTTP token, a header name that is not one, a header
                   // value holding CR, LF or NUL: sent as they are, they would forge another request
    bad_url,       // the URL cannot be parsed
    bad_scheme,    // the URL's scheme is neither http nor https
    unknown_host,  // the host name does not resolve
    refused,       // nothing listens at the address: the connection was refused
    unreachable,   // the connection failed otherwise (no route, network down)
    timeout,       // connecting took longer than the connect timeout, or no byte moved either way
                   // for longer than the idle timeout
    tls,           // the TLS handshake failed or the server's certificate was not accepted
    redirects,     // more redirects in a row than the request allows
    lost,          // the connection broke or closed before the whole response had come
    bad_response,  // what came back is not HTTP
    too_large,     // the body is longer than the request allows
    no_memory,     // the response does not fit in memory
    other,         // anything else the library reports
};

// The failure's name as written above ("timeout"), for reports and tests.
std::string_view failure_name(Failure failure);

struct Request {
    // An HTTP token, sent as it is. "HEAD" never sends a body and never waits for one.
    std::string method = "GET";
    // Absolute, http:// or https://, as text. Bytes above 0x7F and spaces in it are sent
    // percent-encoded.
    std::string url;
    std::vector<Header> headers;
    // The body, sent whenever given (but with HEAD), with its own Content-Length: a
    // Content-Length or Transfer-Encoding header given is not sent, so the framing always
    // matches the bytes. The bytes stay where they are: they must not move or change until
    // perform returns.
    std::optional<std::string_view> body;

    // Resolving the host, connecting and the TLS handshake together.
    std::chrono::milliseconds connect_timeout{60'000};
    // The longest time without a byte moving, either way, once connected (waiting for the
    // answer included). libcurl looks about once a second while nothing moves, so a timeout
    // shorter than that ends within about a second.
    std::chrono::milliseconds idle_timeout{30'000};
    // Redirects (301, 302, 303, 307, 308 with a Location) followed in a row; the one after
    // them fails the request with `redirects` (with 0, the first redirect does).
    int max_redirects = 10;
    // The longest body accepted; a longer one fails with `too_large`.
    size_t max_body = SIZE_MAX;
    // A file of trusted authorities (PEM) in place of the system's store; empty for the
    // system's.
    std::string ca_file;
};

struct Response {
    int32_t status = 0;
    // The header lines of the final response as they came, the status line left out, each line
    // ended by CR LF (the form the header parser of the HTTP service reads).
    std::string head;
    Bytes body;
    // The URL that gave the response, after any redirects.
    std::string url;
};

struct Result {
    Failure failure = Failure::none;
    std::string detail;  // the library's words on the failure; empty without one
    Response response;   // meaningful without a failure only
};

// Sends the request and waits for the whole response.
//
// Redirects: a 301, 302, 303, 307 or 308 response with a Location (relative ones resolved
// against the URL that gave them) is followed, up to `max_redirects` in a row, as browsers do:
// 303, and 301 or 302 after a POST, go on with GET and no body (HEAD stays HEAD), the headers
// that describe the body (Content-*) left out; 307 and 308 repeat the method and the body. A
// redirect to another scheme, host or port leaves out Authorization, Proxy-Authorization and
// Cookie. A redirect from https to http, or to a scheme other than http and https, is not
// followed: that redirect is the response. A redirect's own body is dropped.
Result perform(const Request& request);

// True for an HTTP token (RFC 9110): one or more of the letters, the digits and
// !#$%&'*+-.^_`|~. Methods and header names must be tokens.
bool is_token(std::string_view text);
// True when a header value can be sent as it is: no CR, LF or NUL.
bool is_field_value(std::string_view text);

}  // namespace kaz::platform::http

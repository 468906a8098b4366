// The HTTP client behind `read` and `write` of http:// and https:// URLs: one synchronous
// request, its redirects followed, its whole response returned. Here the request and the
// response are text and bytes; the actions of url! turn values into a Request and the Response
// into values, as the contract below says.
//
// ---- The contract of the url! actions ----
//
// `read url` (/binary, /lines, /info): the Request has the method "get", the URL, no headers
// block and no data. `/seek`, `/part` and `/as` raise internal not-done before anything is sent.
//
// `write url value`: a block! value gives the method from its first value, a word! (an empty
// block means "get"), the headers block from its second value, a block!, and the data from its
// third value; any other value is the data, with the method "post". Data must be a block!, a
// string! or a binary!; a value of another type in any of these places raises script
// invalid-arg with it.
//
// Building the Request:
//  - method: the word's name, through method_of; nothing back raises script invalid-arg with
//    the word.
//  - url: the URL's text as `form` gives it.
//  - headers: with a headers block, one Header per name/value pair in order: the name is the
//    word's name for a word!, set-word!, lit-word! or get-word!, else the formed value; the
//    value is the string itself for a string!, else the formed value. A name for which
//    sendable_name fails, or a value for which sendable_value fails, raises script invalid-arg
//    with that name or value. Without a headers block (none, or `read`): no headers, and
//    request sends default_headers().
//  - data: a binary!'s bytes from its head; a string!'s UTF-8 from its head; a block! formed,
//    then as a string!. The bytes may lie in the series' buffer: request makes no allocation
//    of the runtime's, so they stay put until it returns.
//
// Turning the Outcome into values:
//  - a failure raises error_of(failure) with the URL as its argument: access no-connect for
//    every failure of the network, the server or the URL.
//  - the body: with /binary a binary! of the bytes (/binary wins over /lines); with /lines
//    simple_io::bytes_to_lines of them; else simple_io::bytes_to_string (UTF-8, each invalid
//    sequence as U+FFFD).
//  - with /info: the block [status headers body]: the status as integer!, the headers as a
//    map! whose keys are the words of the header names (interned), each with a string! of the
//    value when the header came once and a block! of the strings in order when it came more
//    than once; the body as above.
//  - without /info: the body alone. The status does not matter then: the body of a 404 is the
//    result as the body of a 200 is.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/http.h"
#include "runtime/error.h"

namespace kaz::http {

using platform::http::Failure;
using platform::http::Header;

// The time limits of a request. The defaults are those of the request object the client was
// first built over; tests shorten them.
struct Limits {
    // Resolving the name, connecting and the TLS handshake together.
    std::chrono::milliseconds connect{60'000};
    // The longest time without a byte moving once connected, waiting for the answer included.
    std::chrono::milliseconds idle{30'000};
    // Redirects followed in a row; one more fails the request.
    int max_redirects = 10;
};

struct Request {
    std::string method;  // the method word's name as written; method_of makes it the one sent
    std::string url;
    // The headers block's pairs as text; nothing for no block, which sends default_headers().
    // A block given replaces every default: an empty block sends no header of ours at all.
    std::optional<std::vector<Header>> headers;
    // The data's bytes; nothing for no data. GET and HEAD send no body whatever is given; POST,
    // PUT and PATCH without data send an empty one (Content-Length: 0); other methods without
    // data send none.
    std::optional<std::string_view> data;
    Limits limits;
};

// One response header: its name as the first line that named it wrote it, and the values of
// every line of that name (compared without case), in order.
struct Field {
    std::string name;
    std::vector<std::string> values;
};

struct Response {
    int32_t status = 0;
    std::vector<Field> headers;  // in the order the names first came
    platform::Bytes body;
};

struct Outcome {
    Failure failure = Failure::none;
    std::string detail;  // the library's words on the failure; empty without one
    Response response;   // meaningful without a failure only
    bool ok() const { return failure == Failure::none; }
};

// The method sent for a method word's name: get, head and post give "GET", "HEAD" and "POST";
// any other name is upper-cased (ASCII letters). Nothing when the result is not an HTTP token
// (a name with "/" or a letter outside ASCII in it): sent, it could forge another request.
std::optional<std::string> method_of(std::string_view name);

// Whether a header name (an HTTP token) or value (no CR, LF or NUL) can be sent as it is.
bool sendable_name(std::string_view name);
bool sendable_value(std::string_view value);

// The headers sent without a headers block, in this order: Content-Type
// "application/x-www-form-urlencoded", Accept-Charset "UTF-8", User-Agent user_agent().
const std::vector<Header>& default_headers();
// "Kaz/" and the version: "Kaz/0.1.0".
std::string_view user_agent();

// Sends the request and waits for the whole response (see platform/http.h for the redirect
// rules, and Limits for the times). The body can be up to 2 GB less one byte long, what a
// series holds; a longer one fails with `too_large`. Makes no allocation of the runtime's and
// raises nothing: every failure is in the outcome.
Outcome request(const Request& request);

// The error a failure raises, with the URL as its argument: access no-connect for every failure
// (an unknown host, a refused connection, a timeout, TLS, a lost connection, a malformed URL, an
// unsupported scheme, too many redirects, a body too large...); script invalid-arg for
// `bad_request` (a method or header the checks above let through).
ErrorId error_of(Failure failure);

// Reads a response's header lines (each ended by LF or CR LF; a line without ":" is not a
// header and is skipped). The name is what stands before the first ":" (a name that is not an
// HTTP token skips the line); the value is the rest of the line with the blanks (space, tab)
// around it taken off, so that both "Name: value" and "Name:value" give "value". A line that
// starts with a blank continues the value before it, joined by one space. Values of the same
// name (compared without case) gather under the first spelling, in order.
std::vector<Field> parse_headers(std::string_view head);

}  // namespace kaz::http

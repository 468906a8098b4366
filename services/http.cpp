#include "services/http.h"

#include <cstdint>
#include <utility>

namespace kaz::http {
namespace {

// What a series holds: a longer body could not become a value.
constexpr size_t kMaxBody = INT32_MAX;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
    return true;
}

// Methods whose request means something with a body: without data they still say so, with an
// empty one, as servers that insist on a length expect.
bool wants_length(std::string_view method) { return method == "POST" || method == "PUT" || method == "PATCH"; }

}  // namespace

std::optional<std::string> method_of(std::string_view name) {
    std::string method(name);
    for (char& c : method) c = ascii_upper(c);
    if (!platform::http::is_token(method)) return std::nullopt;
    return method;
}

bool sendable_name(std::string_view name) { return platform::http::is_token(name); }
bool sendable_value(std::string_view value) { return platform::http::is_field_value(value); }

std::string_view user_agent() { return "Kaz/" KAZ_VERSION; }

const std::vector<Header>& default_headers() {
    static const std::vector<Header> defaults = {
        {"Content-Type", "application/x-www-form-urlencoded"},
        {"Accept-Charset", "UTF-8"},
        {"User-Agent", std::string(user_agent())},
    };
    return defaults;
}

Outcome request(const Request& request) {
    Outcome outcome;
    std::optional<std::string> method = method_of(request.method);
    if (!method) {
        outcome.failure = Failure::bad_request;
        outcome.detail = "method is not a token: " + request.method;
        return outcome;
    }

    platform::http::Request r;
    r.method = std::move(*method);
    r.url = request.url;
    r.headers = request.headers ? *request.headers : default_headers();
    if (r.method != "GET" && r.method != "HEAD") {
        if (request.data) r.body = request.data;
        else if (wants_length(r.method)) r.body = std::string_view();
    }
    r.connect_timeout = request.limits.connect;
    r.idle_timeout = request.limits.idle;
    r.max_redirects = request.limits.max_redirects;
    r.max_body = kMaxBody;

    platform::http::Result result = platform::http::perform(r);
    outcome.failure = result.failure;
    outcome.detail = std::move(result.detail);
    if (!outcome.ok()) return outcome;
    outcome.response.status = result.response.status;
    outcome.response.headers = parse_headers(result.response.head);
    outcome.response.body = std::move(result.response.body);
    return outcome;
}

ErrorId error_of(Failure failure) {
    return failure == Failure::bad_request ? ErrorId::script_invalid_arg : ErrorId::access_no_connect;
}

std::vector<Field> parse_headers(std::string_view head) {
    std::vector<Field> fields;
    Field* last = nullptr;  // the field the last header line added to, for continued lines
    while (!head.empty()) {
        size_t end = head.find('\n');
        std::string_view line = head.substr(0, end);
        head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        if (!line.empty() && is_blank(line.front())) {
            std::string_view more = trim_blanks(line);
            if (last && !more.empty()) {
                std::string& value = last->values.back();
                if (!value.empty()) value += ' ';
                value.append(more);
            }
            continue;
        }
        last = nullptr;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = line.substr(0, colon);
        if (!platform::http::is_token(name)) continue;
        std::string value(trim_blanks(line.substr(colon + 1)));

        for (Field& f : fields) {
            if (same_name(f.name, name)) {
                last = &f;
                break;
            }
        }
        if (last) {
            last->values.push_back(std::move(value));
        } else {
            fields.push_back({std::string(name), {std::move(value)}});
            last = &fields.back();
        }
    }
    return fields;
}

}  // namespace kaz::http

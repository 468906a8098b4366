// The HTTP client against a real server on loopback (http_server.py): what each method sends,
// the default headers and a block that replaces them, bodies of every byte value, status codes,
// redirects, response headers as servers write them, and each way a request fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "services/http.h"
#include "tests/unit/services/http_fixture.h"

namespace {

using namespace kaz;
using namespace std::literals;
using http::Failure;
using http::Header;

class Http : public testing::Test {
protected:
    static void SetUpTestSuite() { server = new test::LoopbackServer(); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override { ASSERT_NE(server->port(), 0) << "the loopback server did not start"; }

    static std::string url(const std::string& path) { return server->url(path); }

    // Sends a request with short limits, so that a failure shows at once.
    static http::Outcome send(const std::string& method, const std::string& path,
                              std::optional<std::vector<Header>> headers = std::nullopt,
                              std::optional<std::string_view> data = std::nullopt) {
        http::Request r;
        r.method = method;
        r.url = path.starts_with("/") ? url(path) : path;
        r.headers = std::move(headers);
        r.data = data;
        r.limits.connect = 5s;
        r.limits.idle = 10s;
        return http::request(r);
    }

    static test::LoopbackServer* server;
};
test::LoopbackServer* Http::server = nullptr;

// What /echo saw: its request line, its headers by name in order, and its body.
struct Echo {
    std::string line;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    explicit Echo(std::string_view text) {
        size_t blank = text.find("\n\n");
        EXPECT_NE(blank, std::string_view::npos) << text;
        body = std::string(text.substr(blank + 2));
        std::string_view head = text.substr(0, blank);
        size_t end = head.find('\n');
        line = std::string(head.substr(0, end));
        while (end != std::string_view::npos) {
            head.remove_prefix(end + 1);
            end = head.find('\n');
            std::string_view h = head.substr(0, end);
            size_t colon = h.find(": ");
            headers.emplace_back(std::string(h.substr(0, colon)), std::string(h.substr(colon + 2)));
        }
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (auto& [name, value] : headers) out.push_back(name);
        return out;
    }
    std::optional<std::string> header(std::string_view name) const {
        for (auto& [n, v] : headers)
            if (n == name) return v;
        return std::nullopt;
    }
};

Echo echo_of(const http::Outcome& o) {
    EXPECT_TRUE(o.ok()) << platform::http::failure_name(o.failure) << ": " << o.detail;
    EXPECT_EQ(o.response.status, 200);
    return Echo(o.response.body.view());
}

const http::Field* field(const http::Response& r, std::string_view name) {
    for (const auto& f : r.headers)
        if (f.name == name) return &f;
    return nullptr;
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char(i % 256);
    return s;
}

TEST_F(Http, GetSendsTheDefaultHeadersAndNoBody) {
    // Data given to GET is not sent.
    Echo e = echo_of(send("get", "/echo", std::nullopt, "ignored"sv));
    EXPECT_EQ(e.line, "GET /echo");
    EXPECT_EQ(e.names(), (std::vector<std::string>{"Host", "Content-Type", "Accept-Charset", "User-Agent"}));
    EXPECT_EQ(e.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(e.header("Accept-Charset"), "UTF-8");
    EXPECT_EQ(e.header("User-Agent"), "Kaz/" KAZ_VERSION);
    EXPECT_EQ(e.body, "");
}

TEST_F(Http, TextComesBackAsTheServerSentIt) {
    http::Outcome o = send("get", "/text");
    ASSERT_TRUE(o.ok()) << o.detail;
    EXPECT_EQ(o.response.status, 200);
    EXPECT_EQ(o.response.body.view(), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\nsecond line\r\nthird\n");
    ASSERT_NE(field(o.response, "Content-Type"), nullptr);
    EXPECT_EQ(field(o.response, "Content-Type")->values, std::vector<std::string>{"text/plain; charset=utf-8"});
}

TEST_F(Http, AHeadersBlockReplacesEveryDefault) {
    std::vector<Header> given = {{"X-One", "1"}, {"X-Empty", ""}, {"Accept", "text/plain"}};
    Echo get = echo_of(send("get", "/echo", given));
    EXPECT_EQ(get.names(), (std::vector<std::string>{"Host", "X-One", "X-Empty", "Accept"}));
    EXPECT_EQ(get.header("X-Empty"), "");
    // A body adds its length, and nothing else: no content type of the library's own.
    Echo post = echo_of(send("post", "/echo", given, "a=1"sv));
    EXPECT_EQ(post.names(), (std::vector<std::string>{"Host", "X-One", "X-Empty", "Accept", "Content-Length"}));
    EXPECT_EQ(post.body, "a=1");
    // An empty block sends no header of ours at all.
    Echo bare = echo_of(send("get", "/echo", std::vector<Header>{}));
    EXPECT_EQ(bare.names(), std::vector<std::string>{"Host"});
}

TEST_F(Http, EachMethodSendsItsNameAndItsBody) {
    struct Case {
        const char* word;
        const char* line;
        std::optional<std::string_view> data;
        std::optional<std::string> length;  // the Content-Length the server saw
    };
    const Case cases[] = {
        {"post", "POST /echo", "x=1"sv, "3"},
        {"POST", "POST /echo", std::nullopt, "0"},
        {"put", "PUT /echo", "new text"sv, "8"},
        {"Patch", "PATCH /echo", std::nullopt, "0"},
        {"delete", "DELETE /echo", std::nullopt, std::nullopt},
        {"delete", "DELETE /echo", "why"sv, "3"},
        {"options", "OPTIONS /echo", std::nullopt, std::nullopt},
        {"purge-all", "PURGE-ALL /echo", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        Echo e = echo_of(send(c.word, "/echo", std::nullopt, c.data));
        EXPECT_EQ(e.line, c.line);
        EXPECT_EQ(e.header("Content-Length"), c.length);
        EXPECT_EQ(e.body, c.data.value_or(""));
    }
}

TEST_F(Http, HeadGetsTheHeadersAndNoBody) {
    http::Outcome o = send("head", "/bytes/5000", std::nullopt, "never sent"sv);
    ASSERT_TRUE(o.ok()) << o.detail;
    EXPECT_EQ(o.response.status, 200);
    EXPECT_TRUE(o.response.body.empty());
    ASSERT_NE(field(o.response, "Content-Length"), nullptr);
    EXPECT_EQ(field(o.response, "Content-Length")->values[0], "5000");
}

TEST_F(Http, BinaryBodiesGoAndComeWhole) {
    // Every byte value, NUL and CR LF included, both ways; big enough to take many reads.
    std::string data = pattern(3 * 1024 * 1024 + 7);
    Echo e = echo_of(send("post", "/echo", std::vector<Header>{{"Content-Type", "application/octet-stream"}}, data));
    EXPECT_EQ(e.header("Content-Length"), std::to_string(data.size()));
    EXPECT_TRUE(e.body == data) << "the echoed body differs";

    http::Outcome o = send("get", "/bytes/5000000");
    ASSERT_TRUE(o.ok()) << o.detail;
    EXPECT_EQ(o.response.body.size(), 5000000u);
    EXPECT_TRUE(o.response.body.view() == pattern(5000000)) << "the body differs";
}

TEST_F(Http, ErrorStatusesAreResponses) {
    for (int status : {404, 500, 204, 418}) {
        SCOPED_TRACE(status);
        http::Outcome o = send("get", "/status/" + std::to_string(status));
        ASSERT_TRUE(o.ok()) << o.detail;
        EXPECT_EQ(o.response.status, status);
        // A 204 has no body whatever the server says.
        EXPECT_EQ(o.response.body.view(), status == 204 ? "" : "status " + std::to_string(status));
    }
    http::Outcome missing = send("get", "/no/such/path");
    ASSERT_TRUE(missing.ok());
    EXPECT_EQ(missing.response.status, 404);
}

TEST_F(Http, RedirectsGoOnAsBrowsersDo) {
    struct Case {
        int status;
        const char* method;
        const char* line;       // what reached the target
        bool body_kept;
    };
    const Case cases[] = {
        {301, "post", "POST", false},  // 301 and 302 after POST go on with GET: see below
        {302, "post", "POST", false},
        {303, "post", "POST", false},
        {303, "put", "PUT", false},
        {307, "post", "POST", true},
        {308, "put", "PUT", true},
        {301, "get", "GET", false},
        {302, "delete", "DELETE", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.method);
        std::optional<std::string_view> data;
        if (std::string_view(c.method) != "get" && std::string_view(c.method) != "delete") data = "payload"sv;
        Echo e = echo_of(send(c.method, "/redirect/" + std::to_string(c.status) + "?to=/echo/target", std::nullopt, data));
        bool to_get = c.status == 303 || ((c.status == 301 || c.status == 302) && std::string_view(c.method) == "post");
        std::string method = to_get ? "GET" : c.line;
        EXPECT_EQ(e.line, method + " /echo/target");
        EXPECT_EQ(e.body, c.body_kept ? "payload" : "");
        // Going on with GET leaves the body's own headers behind.
        EXPECT_EQ(e.header("Content-Type").has_value(), !to_get);
        EXPECT_EQ(e.header("User-Agent"), "Kaz/" KAZ_VERSION);
    }
}

TEST_F(Http, RedirectsAreFollowedTenInARow) {
    http::Outcome ten = send("get", "/chain/10");
    ASSERT_TRUE(ten.ok()) << ten.detail;
    EXPECT_EQ(ten.response.status, 200);
    EXPECT_EQ(ten.response.body.view(), "end of chain");

    http::Outcome eleven = send("get", "/chain/11");
    EXPECT_EQ(eleven.failure, Failure::redirects);
    EXPECT_EQ(http::error_of(eleven.failure), ErrorId::access_no_connect);

    // A redirect with no Location, or to another scheme, is the response itself.
    http::Outcome ftp = send("get", "/redirect/302?to=ftp://127.0.0.1/file");
    ASSERT_TRUE(ftp.ok()) << ftp.detail;
    EXPECT_EQ(ftp.response.status, 302);
    EXPECT_EQ(ftp.response.body.view(), "moved");
    EXPECT_EQ(field(ftp.response, "Location")->values[0], "ftp://127.0.0.1/file");
}

TEST_F(Http, CredentialsStayWithTheirOrigin) {
    std::vector<Header> secret = {{"Authorization", "Basic dTpw"}, {"Cookie", "id=7"}, {"X-Other", "kept"}};
    // Same origin: everything goes on.
    Echo same = echo_of(send("get", "/redirect/302?to=" + url("/echo"), secret));
    EXPECT_EQ(same.header("Authorization"), "Basic dTpw");
    EXPECT_EQ(same.header("Cookie"), "id=7");
    // Another host name for the same server is another origin.
    std::string other = "http://localhost:" + std::to_string(server->port()) + "/echo";
    Echo moved = echo_of(send("get", "/redirect/302?to=" + other, secret));
    EXPECT_FALSE(moved.header("Authorization"));
    EXPECT_FALSE(moved.header("Cookie"));
    EXPECT_EQ(moved.header("X-Other"), "kept");
}

TEST_F(Http, ResponseHeadersAsServersWriteThem) {
    http::Outcome o = send("get", "/headers");
    ASSERT_TRUE(o.ok()) << o.detail;
    EXPECT_EQ(o.response.body.view(), "ok");
    std::map<std::string, std::vector<std::string>> got;
    std::vector<std::string> order;
    for (const auto& f : o.response.headers) {
        got[f.name] = f.values;
        order.push_back(f.name);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"X-Tight", "X-Padded", "Set-Cookie", "X-Folded", "X-Empty", "Content-Length"}));
    // No space after the colon loses nothing.
    EXPECT_EQ(got["X-Tight"], std::vector<std::string>{"tight"});
    EXPECT_EQ(got["X-Padded"], std::vector<std::string>{"padded value"});
    // The same name in another case gathers under the first spelling, in order.
    EXPECT_EQ(got["Set-Cookie"], (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_EQ(got["X-Folded"], std::vector<std::string>{"first second"});
    EXPECT_EQ(got["X-Empty"], std::vector<std::string>{""});
}

TEST(HttpHeaders, ParsesLooseText) {
    struct Case {
        std::string_view head;
        std::vector<std::pair<std::string, std::vector<std::string>>> fields;
    };
    const Case cases[] = {
        {"", {}},
        {"A: 1\r\nB:2\r\n", {{"A", {"1"}}, {"B", {"2"}}}},
        {"A: 1\nB:2", {{"A", {"1"}}, {"B", {"2"}}}},                   // LF alone, no final end
        {"A: x:y: z\r\n", {{"A", {"x:y: z"}}}},                         // the first colon ends the name
        {"no colon here\r\nA: 1\r\n", {{"A", {"1"}}}},
        {"Bad Name: 1\r\n: empty\r\nA: 1\r\n", {{"A", {"1"}}}},          // not tokens
        {"  orphan\r\nA: 1\r\n", {{"A", {"1"}}}},                        // continues nothing
        {"A: 1\r\na: 2\r\nB: 3\r\nA: 4\r\n", {{"A", {"1", "2", "4"}}, {"B", {"3"}}}},
        {"A:\r\n\tb\r\n c \r\n", {{"A", {"b c"}}}},
        {"A: caf\xC3\xA9\r\n", {{"A", {"caf\xC3\xA9"}}}},                // bytes kept as they are
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.head));
        std::vector<http::Field> fields = http::parse_headers(c.head);
        ASSERT_EQ(fields.size(), c.fields.size());
        for (size_t i = 0; i < fields.size(); ++i) {
            EXPECT_EQ(fields[i].name, c.fields[i].first);
            EXPECT_EQ(fields[i].values, c.fields[i].second);
        }
    }
}

TEST(HttpMethods, WordsBecomeTokens) {
    const std::pair<std::string_view, std::optional<std::string>> cases[] = {
        {"get", "GET"}, {"Head", "HEAD"}, {"post", "POST"}, {"put", "PUT"},
        {"m-search", "M-SEARCH"}, {"x_1.2", "X_1.2"},
        {"", std::nullopt}, {"a/b", std::nullopt}, {"caf\xC3\xA9", std::nullopt},
        {"a b", std::nullopt}, {"a\r\nb", std::nullopt}, {"[x]", std::nullopt},
    };
    for (auto& [name, sent] : cases) {
        SCOPED_TRACE(std::string(name));
        EXPECT_EQ(http::method_of(name), sent);
    }
}

TEST_F(Http, UnsafeMethodsAndHeadersAreNeverSent) {
    EXPECT_EQ(send("get/x", "/echo").failure, Failure::bad_request);
    const std::vector<Header> bad[] = {
        {{"X-A", "1\r\nX-Injected: 1"}},
        {{"X-A", "1\nX"}},
        {{"X-A", "1\0"s}},
        {{"X A", "1"}},
        {{"", "1"}},
        {{"X-A:", "1"}},
    };
    for (const auto& headers : bad) {
        SCOPED_TRACE(headers[0].name + "|" + headers[0].value);
        EXPECT_FALSE(http::sendable_name(headers[0].name) && http::sendable_value(headers[0].value));
        http::Outcome o = send("get", "/echo", headers);
        EXPECT_EQ(o.failure, Failure::bad_request);
        EXPECT_EQ(http::error_of(o.failure), ErrorId::script_invalid_arg);
    }
}

TEST_F(Http, PathsOutsideAsciiAreEscaped) {
    Echo e = echo_of(send("get", "/echo/caf\xC3\xA9 au lait?q=\xE2\x82\xAC"));
    EXPECT_EQ(e.line, "GET /echo/caf%C3%A9%20au%20lait?q=%E2%82%AC");
}

// A port that refuses: bound, so that nothing else takes it, but not listening.
class RefusingPort {
public:
    RefusingPort() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), size) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~RefusingPort() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST_F(Http, FailuresAreToldApartAndAllFailToConnect) {
    RefusingPort refusing;
    ASSERT_NE(refusing.port(), 0);
    struct Case {
        std::string url;
        Failure failure;
    };
    const Case cases[] = {
        {"http://127.0.0.1:" + std::to_string(refusing.port()) + "/", Failure::refused},
        {url("/stall"), Failure::timeout},       // no answer at all
        {url("/stall-body"), Failure::timeout},  // an answer that stops halfway
        {url("/close"), Failure::lost},
        {url("/garbage"), Failure::bad_response},
        {"http://", Failure::bad_url},
        {"not a url", Failure::bad_url},
        {"ftp://127.0.0.1/file", Failure::bad_scheme},
        {"file:///etc/passwd", Failure::bad_scheme},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        http::Request r;
        r.method = "get";
        r.url = c.url;
        r.limits.connect = 5s;
        r.limits.idle = 300ms;
        http::Outcome o = http::request(r);
        EXPECT_EQ(platform::http::failure_name(o.failure), platform::http::failure_name(c.failure)) << o.detail;
        EXPECT_FALSE(o.detail.empty());
        EXPECT_EQ(http::error_of(o.failure), ErrorId::access_no_connect);
    }
    // The server is still there for what follows: a failure spoils nothing.
    EXPECT_TRUE(send("get", "/text").ok());
}

}  // namespace

// The HTTP layer over TLS on loopback: a server whose certificate no authority of the system's
// store signed is refused, and accepted once its certificate is the one trusted; a redirect from
// https to http is not followed.
#include <gtest/gtest.h>

#include <string>

#include "platform/http.h"
#include "tests/unit/services/http_fixture.h"

namespace {

using namespace kaz::platform;
using namespace std::literals;

class HttpTls : public testing::Test {
protected:
    static void SetUpTestSuite() {
        tls = new kaz::test::LoopbackServer(true);
        plain = new kaz::test::LoopbackServer(false);
    }
    static void TearDownTestSuite() {
        delete tls;
        delete plain;
    }
    void SetUp() override { ASSERT_TRUE(tls->port() && plain->port()) << "a loopback server did not start"; }

    static http::Request get(const std::string& url, bool trusted) {
        http::Request r;
        r.url = url;
        r.connect_timeout = 10s;
        r.idle_timeout = 10s;
        if (trusted) r.ca_file = kaz::test::services_dir() + "/tls/cert.pem";
        return r;
    }

    static kaz::test::LoopbackServer* tls;
    static kaz::test::LoopbackServer* plain;
};
kaz::test::LoopbackServer* HttpTls::tls = nullptr;
kaz::test::LoopbackServer* HttpTls::plain = nullptr;

TEST_F(HttpTls, TheSystemStoreRefusesAnUnknownAuthority) {
    http::Result r = http::perform(get(tls->url("/text", true), false));
    EXPECT_EQ(http::failure_name(r.failure), "tls") << r.detail;
    // The server goes on serving after the refused handshake.
    http::Result ok = http::perform(get(tls->url("/text", true), true));
    EXPECT_EQ(ok.failure, http::Failure::none) << ok.detail;
}

TEST_F(HttpTls, ATrustedCertificateCarriesTheRequest) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        std::string url = "https://"s + host + ":" + std::to_string(tls->port()) + "/bytes/70000";
        http::Result r = http::perform(get(url, true));
        ASSERT_EQ(r.failure, http::Failure::none) << r.detail;
        EXPECT_EQ(r.response.status, 200);
        ASSERT_EQ(r.response.body.size(), 70000u);
        for (size_t i = 0; i < 70000; ++i)
            if (uint8_t(r.response.body.data()[i]) != uint8_t(i % 256)) FAIL() << "byte " << i << " differs";
        EXPECT_NE(r.response.head.find("Content-Length: 70000\r\n"), std::string::npos) << r.response.head;
    }
}

TEST_F(HttpTls, RedirectsNeverLeaveHttpsForHttp) {
    // https to https is followed; https to http hands back the redirect itself.
    http::Result up = http::perform(get(tls->url("/redirect/302?to=" + tls->url("/text", true), true), true));
    ASSERT_EQ(up.failure, http::Failure::none) << up.detail;
    EXPECT_EQ(up.response.status, 200);
    EXPECT_EQ(up.response.url, tls->url("/text", true));

    http::Result down = http::perform(get(tls->url("/redirect/302?to=" + plain->url("/text"), true), true));
    ASSERT_EQ(down.failure, http::Failure::none) << down.detail;
    EXPECT_EQ(down.response.status, 302);
    EXPECT_EQ(down.response.body.view(), "moved");

    // http to https is followed.
    http::Result plain_up = http::perform(get(plain->url("/redirect/301?to=" + tls->url("/text", true)), true));
    ASSERT_EQ(plain_up.failure, http::Failure::none) << plain_up.detail;
    EXPECT_EQ(plain_up.response.status, 200);
}

TEST_F(HttpTls, ABodyPastTheLimitFailsAndAnAnnouncedOneDoesNot) {
    http::Request r = get(plain->url("/bytes/5000"), false);
    r.max_body = 4999;
    EXPECT_EQ(http::perform(r).failure, http::Failure::too_large);
    r.max_body = 5000;
    http::Result whole = http::perform(r);
    ASSERT_EQ(whole.failure, http::Failure::none) << whole.detail;
    EXPECT_EQ(whole.response.body.size(), 5000u);
    // HEAD announces the length of a body it does not carry: only what comes counts.
    r.method = "HEAD";
    r.max_body = 10;
    http::Result head = http::perform(r);
    ASSERT_EQ(head.failure, http::Failure::none) << head.detail;
    EXPECT_TRUE(head.response.body.empty());
}

TEST(HttpTokens, AreTheCharactersOfRfc9110) {
    for (std::string_view t : {"GET", "x", "M-SEARCH", "!#$%&'*+-.^_`|~09azAZ"}) EXPECT_TRUE(http::is_token(t)) << t;
    for (std::string_view t : {"", "a b", "a:b", "a/b", "\"a\"", "a\tb", "caf\xC3\xA9", "(a)", "a,b"})
        EXPECT_FALSE(http::is_token(t)) << t;
}

}  // namespace

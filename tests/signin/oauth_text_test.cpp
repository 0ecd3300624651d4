#include "signin/oauth_text.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

std::string decoded(const char* b64)
{
    uint8_t out[512];
    const long n = base64_decode(b64, strlen(b64), out, sizeof out);
    return n < 0 ? "<invalid>" : std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

TEST(Base64, RoundTripsAndRefusesWhatIsNotBase64)
{
    struct Row {
        const char* bytes;
        const char* standard;
        const char* url;
    } rows[] = {
        {"", "", ""},
        {"f", "Zg==", "Zg"},
        {"fo", "Zm8=", "Zm8"},
        {"foo", "Zm9v", "Zm9v"},
        {"\xfb\xff", "+/8=", "-_8"},
    };
    for (const Row& r : rows) {
        char out[16];
        EXPECT_EQ(base64_encode(r.bytes, strlen(r.bytes), out, sizeof out), strlen(r.standard));
        EXPECT_STREQ(out, r.standard);
        base64_encode(r.bytes, strlen(r.bytes), out, sizeof out, true);
        EXPECT_STREQ(out, r.url);
        EXPECT_EQ(decoded(r.standard), r.bytes);
    }
    char small[4];
    EXPECT_EQ(base64_encode("foo", 3, small, sizeof small), 0u) << "no room for the terminator";
    for (const char* bad : {"Z", "Zm9v!", "Zm 9v", "-_8"})
        EXPECT_EQ(decoded(bad), "<invalid>") << bad;
}

TEST(Json, ReadsTopLevelMembersOnly)
{
    const char json[] = R"({"nested":{"access_token":"inner"},"list":["a","}"],"n":"\"q\"\\\/\u0041",)"
                        R"("access_token" : "outer", "expires_in": 3599, "ext_expires_in":"3600", "neg": -1})";
    char out[32];
    ASSERT_TRUE(json_text(json, sizeof json - 1, "access_token", out, sizeof out));
    EXPECT_STREQ(out, "outer");
    ASSERT_TRUE(json_text(json, sizeof json - 1, "n", out, sizeof out));
    EXPECT_STREQ(out, "\"q\"\\/A");
    long n = 0;
    EXPECT_TRUE(json_number(json, sizeof json - 1, "expires_in", &n));
    EXPECT_EQ(n, 3599);
    EXPECT_TRUE(json_number(json, sizeof json - 1, "ext_expires_in", &n));
    EXPECT_EQ(n, 3600);
    EXPECT_FALSE(json_number(json, sizeof json - 1, "neg", &n));
    EXPECT_FALSE(json_text(json, sizeof json - 1, "expires_in", out, sizeof out)) << "a number is no string";
    char tiny[5];
    EXPECT_FALSE(json_text(json, sizeof json - 1, "access_token", tiny, sizeof tiny)) << "never cut short";
    const char cut[] = R"({"access_token":"outer)";
    EXPECT_FALSE(json_text(cut, sizeof cut - 1, "access_token", out, sizeof out));
}

TEST(Sasl, ResponsesAreTheDocumentedBytes)
{
    char out[256];
    ASSERT_NE(sasl_response(SaslMechanism::xoauth2, "a@b.jp", "h", 993, "tok", out, sizeof out), 0u);
    EXPECT_EQ(decoded(out), "user=a@b.jp\x01" "auth=Bearer tok\x01\x01");
    ASSERT_NE(sasl_response(SaslMechanism::oauthbearer, "a@b.jp", "imap.example.jp", 993, "tok", out, sizeof out),
              0u);
    EXPECT_EQ(decoded(out), "n,a=a@b.jp,\x01host=imap.example.jp\x01port=993\x01" "auth=Bearer tok\x01\x01");
    EXPECT_EQ(sasl_response(SaslMechanism::xoauth2, "a@b.jp", "h", 993, "tok", out, 40), 0u) << "does not fit";
}

TEST(Sasl, AFailedLoginsChallengeNamesItsStatus)
{
    struct Row {
        const char* line;
        const char* status;   // nullptr: none
    } rows[] = {
        {"+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=", "401"},   // Dovecot, Gmail
        {"+ eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0=\r\n", "invalid_token"},                     // OAUTHBEARER
        {"+ bm90IGpzb24=", nullptr},   // "not json"
    };
    for (const Row& r : rows) {
        char status[32];
        const bool found = sasl_challenge_status(r.line, status, sizeof status);
        EXPECT_EQ(found, r.status != nullptr) << r.line;
        if (found && r.status != nullptr) {
            EXPECT_STREQ(status, r.status) << r.line;
        }
    }
}

TEST(TokenAnswer, TellsTheTokenOrTheUsersError)
{
    struct Row {
        const char* json;
        SigninError error;
    } rows[] = {
        {R"({"access_token":"at","refresh_token":"rt","expires_in":3599})", SigninError::none},
        {R"({"error":"invalid_grant","error_description":"AADSTS700082: expired due to inactivity"})",
         SigninError::expired},
        {R"({"error":"invalid_grant","error_description":"AADSTS65001: not consented"})", SigninError::admin_approval},
        {R"({"error":"access_denied"})", SigninError::denied},
        {R"({"error":"unauthorized_client"})", SigninError::refused},
        {R"({"access_token":""})", SigninError::refused},
        {"<html>502</html>", SigninError::refused},
    };
    for (const Row& r : rows) {
        TokenAnswer a;
        read_token_answer(r.json, strlen(r.json), &a);
        EXPECT_EQ(a.error, r.error) << r.json;
    }
    TokenAnswer a;
    read_token_answer(rows[0].json, strlen(rows[0].json), &a);
    EXPECT_STREQ(a.access_token, "at");
    EXPECT_STREQ(a.refresh_token, "rt");
    EXPECT_EQ(a.expires_in, 3599);
}

TEST(Form, PercentEncodesValuesAndNeverOverflows)
{
    char out[64] = "";
    ASSERT_TRUE(form_add(out, sizeof out, "grant_type", "refresh_token"));
    ASSERT_TRUE(form_add(out, sizeof out, "scope", "a/b c+d&e=f~"));
    EXPECT_STREQ(out, "grant_type=refresh_token&scope=a%2Fb%20c%2Bd%26e%3Df~");
    char small[8] = "";
    EXPECT_FALSE(form_add(small, sizeof small, "key", "value"));
    EXPECT_STREQ(small, "");
}

TEST(Providers, KnownHostsGetTheirEndpointsOauthIniWinsEndpointsAreHttpsOrLoopback)
{
    EXPECT_EQ(known_provider("outlook.office365.com"), Provider::microsoft);
    EXPECT_EQ(known_provider("imap.gmail.com"), Provider::google);
    EXPECT_EQ(known_provider("pop.gmail.com."), Provider::other);
    OAuthSetup s = {};
    complete_setup(Provider::microsoft, true, &s);
    EXPECT_STREQ(s.token_url, "https://login.microsoftonline.com/common/oauth2/v2.0/token");
    EXPECT_STREQ(s.scope, "https://outlook.office.com/IMAP.AccessAsUser.All offline_access");
    OAuthSetup own = {};
    strcpy(own.tenant, "contoso.onmicrosoft.com");
    strcpy(own.client_id, "own-id");
    complete_setup(Provider::microsoft, false, &own);
    EXPECT_STREQ(own.authorize_url, "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/authorize");
    EXPECT_STREQ(own.scope, "https://outlook.office.com/POP.AccessAsUser.All offline_access");
    EXPECT_STREQ(own.client_id, "own-id");
    for (const char* good : {"https://login.microsoftonline.com/x", "http://127.0.0.51/token", "http://localhost:8080/t",
                             "http://[::1]/t"})
        EXPECT_TRUE(acceptable_endpoint(good)) << good;
    for (const char* bad : {"http://login.example.jp/token", "http://127.0.0.1.evil.jp/", "http://127.0.0.1@evil.jp/",
                            "http://localhost.evil.jp/", "ftp://127.0.0.1/", "https:///x", ""})
        EXPECT_FALSE(acceptable_endpoint(bad)) << bad;
}

TEST(BrowserSignin, TheAuthorizeAddressCarriesTheRequest)
{
    OAuthSetup s = {};
    strcpy(s.authorize_url, "https://id.example.test/authorize?tenant=x");
    strcpy(s.client_id, "qb");
    strcpy(s.scope, "mail offline_access");
    char out[512];
    ASSERT_TRUE(authorize_address(s, "http://localhost:5000/", "st", "ch", "a@b.jp", out, sizeof out));
    EXPECT_STREQ(out, "https://id.example.test/authorize?tenant=x&response_type=code&client_id=qb"
                      "&redirect_uri=http%3A%2F%2Flocalhost%3A5000%2F&scope=mail%20offline_access&state=st"
                      "&code_challenge=ch&code_challenge_method=S256&login_hint=a%40b.jp");
    EXPECT_FALSE(authorize_address(s, "http://localhost:5000/", "st", "ch", "a@b.jp", out, 64));
}

TEST(BrowserSignin, OnlyTheRedirectWithItsStateCounts)
{
    struct Row {
        const char* request;
        Redirect::Kind kind;
        const char* code;
        SigninError error;
    } rows[] = {
        {"GET /?code=M.C5%2Bab&state=s1 HTTP/1.1\r\n", Redirect::with_code, "M.C5+ab", SigninError::none},
        {"GET /?state=s1&code=x+y HTTP/1.1\r\n", Redirect::with_code, "x y", SigninError::none},
        {"GET /?code=c&state=s2 HTTP/1.1\r\n", Redirect::other, nullptr, SigninError::none},
        {"GET /?code=c&state=s1x HTTP/1.1\r\n", Redirect::other, nullptr, SigninError::none},
        {"GET /favicon.ico?code=c&state=s1 HTTP/1.1\r\n", Redirect::other, nullptr, SigninError::none},
        {"POST /?code=c&state=s1 HTTP/1.1\r\n", Redirect::other, nullptr, SigninError::none},
        {"GET /?code=&state=s1 HTTP/1.1\r\n", Redirect::other, nullptr, SigninError::none},
        {"GET /?error=access_denied&state=s1 HTTP/1.1\r\n", Redirect::with_error, nullptr, SigninError::denied},
        {"GET /?error=consent_required&error_description=AADSTS65001%3A+admin&state=s1 HTTP/1.1\r\n",
         Redirect::with_error, nullptr, SigninError::admin_approval},
        {"GET /?code=c HTTP/1.1\r\n", Redirect::other, nullptr, SigninError::none},
    };
    for (const Row& r : rows) {
        Redirect got;
        read_redirect(r.request, "s1", &got);
        EXPECT_EQ(got.kind, r.kind) << r.request;
        if (got.kind == Redirect::with_code && r.code != nullptr) {
            EXPECT_STREQ(got.code, r.code) << r.request;
        }
        if (got.kind == Redirect::with_error) {
            EXPECT_EQ(got.error, r.error) << r.request;
        }
    }
}

} // namespace

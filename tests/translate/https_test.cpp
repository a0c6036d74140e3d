// Run by tests/tools/with_test_ca.sh, which makes the test CA trusted the way
// the program sees it: the system bundle replaced in a private mount namespace.
#include "translate/http_transport.h"
#include "translate/translator.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

class Https : public testing::Test {
protected:
    void SetUp() override
    {
        trusted = testCertificate(true);
        untrusted = testCertificate(false);
        if (!trusted || !untrusted)
            GTEST_SKIP() << "needs tests/tools/with_test_ca.sh";
    }

    std::optional<FakeEndpoint::Tls> trusted;
    std::optional<FakeEndpoint::Tls> untrusted;
};

TEST_F(Https, TranslatesThroughTheTrustedCertificate)
{
    FakeEndpoint server(trusted);
    translator service(server.origin());
    service.languages["a"] = "en";
    service.languages["b"] = "pt";
    service.setLanguages("a", "b");
    LogWatch log;
    EXPECT_EQ(service.translate(u"Ol\u00E1. Tudo bem?"), u"pt: Ol\u00E1. Tudo bem?");
    EXPECT_TRUE(log.newLines().empty());
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].get("raw_query").to_str(),
              "client=gtx&sl=en&tl=pt&dt=t&q=Ol%C3%A1.%20Tudo%20bem%3F");
}

TEST_F(Https, RefusesAnUntrustedCertificate)
{
    FakeEndpoint server(untrusted);
    translator service(server.origin());
    LogWatch log;
    EXPECT_EQ(service.translate(u"x"), u"");
    EXPECT_EQ(log.newLines(),
              (std::vector<std::string>{"Falha na comunica\xE7\xE3o com o servidor de tradu\xE7\xE3o: "
                                        "SSL certificate problem: unable to get local issuer certificate",
                                        "Erro ao extrair json"}));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(Https, FollowsRedirectsButNeverToPlainHttp)
{
    FakeEndpoint secure(trusted);
    FakeEndpoint plain;
    const std::string base = secure.origin() + "/translate_a/single?client=gtx&sl=en&tl=pt&dt=t&q=";
    std::string body;
    EXPECT_TRUE(httpGet(base + "a%23redirect", body, {}));
    EXPECT_EQ(body.rfind("[[[\"pt: a\"", 0), 0u) << body;
    body.clear();
    EXPECT_FALSE(httpGet(base + "a%23downgrade%3A" + std::to_string(plain.port()), body, {}));
    EXPECT_TRUE(body.empty());
    EXPECT_TRUE(plain.requests().empty());
}

}  // namespace

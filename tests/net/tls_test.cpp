#include <gtest/gtest.h>

#include <string>

#include "net/host_not_found_exception.h"
#include "net/http_client_downloader.h"
#include "tests/net/net_test_support.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_identity.h"

namespace quor::net {
namespace {

using namespace std::chrono_literals;
using quor::test::HttpServer;
using quor::test::ServerCertificateSpec;

struct TlsCase {
    const char* name;
    ServerCertificateSpec certificate;
    bool accepted;
};

class HttpsServerCertificate : public ::testing::TestWithParam<TlsCase> {
  protected:
    testing::ScopedEnv noProxy_ = testing::withoutProxy();
    quor::test::TempDir dir_;
};

TEST_P(HttpsServerCertificate, IsForgivenOnlyForAnUnknownIssuer) {
    const TlsCase& c = GetParam();
    HttpServer server(quor::test::makeServerIdentity(dir_.path(), c.name, c.certificate));
    server.serve("/Chains.xml", {200, {}, "<Chains/>"});
    HttpClientDownloader downloader(server.url("/Chains.xml"), 5000, true);
    if (c.accepted) {
        EXPECT_EQ(testing::readAll(*downloader.download(L"")), "<Chains/>");
        EXPECT_EQ(server.requests().size(), 1u);
    } else {
        try {
            downloader.download(L"");
            ADD_FAILURE() << "the certificate was accepted";
        } catch (const HostNotFoundException& e) {
            EXPECT_EQ(std::string(e.what()),
                      "127.0.0.1:" + std::to_string(server.port()) + "/Chains.xml: Unreachable");
        }
        EXPECT_TRUE(server.requests().empty()) << "the request went out over a refused channel";
    }
}

ServerCertificateSpec selfSigned() {
    ServerCertificateSpec spec;
    spec.selfSigned = true;
    return spec;
}
ServerCertificateSpec forOtherHost(bool self) {
    ServerCertificateSpec spec;
    spec.commonName = "other.example";
    spec.dnsNames = {"other.example"};
    spec.ipAddresses = {"127.0.0.2"};
    spec.selfSigned = self;
    return spec;
}
ServerCertificateSpec expired(bool self) {
    ServerCertificateSpec spec;
    spec.notBefore = -std::chrono::hours(48);
    spec.notAfter = -std::chrono::hours(24);
    spec.selfSigned = self;
    return spec;
}
ServerCertificateSpec notYetValid() {
    ServerCertificateSpec spec;
    spec.notBefore = std::chrono::hours(24);
    spec.notAfter = std::chrono::hours(48);
    return spec;
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, HttpsServerCertificate,
    ::testing::Values(TlsCase{"unknown_issuer", {}, true},
                      TlsCase{"self_signed", selfSigned(), true},
                      TlsCase{"other_host", forOtherHost(false), false},
                      TlsCase{"other_host_self_signed", forOtherHost(true), false},
                      TlsCase{"expired", expired(false), false},
                      TlsCase{"expired_self_signed", expired(true), false},
                      TlsCase{"not_yet_valid", notYetValid(), false}),
    [](const ::testing::TestParamInfo<TlsCase>& param) { return std::string(param.param.name); });

TEST(Https, PlainHttpToATlsPortIsNotAnAnswer) {
    auto noProxy = testing::withoutProxy();
    quor::test::TempDir dir;
    HttpServer server(quor::test::makeServerIdentity(dir.path(), "tls", {}));
    const std::string port = std::to_string(server.port());
    HttpClientDownloader downloader(L"http://127.0.0.1:" + std::wstring(port.begin(), port.end()),
                                    1000, true);
    EXPECT_THROW(downloader.download(L"x"), HostNotFoundException);
}

}  // namespace
}  // namespace quor::net

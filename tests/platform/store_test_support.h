// Helpers shared by the store tests of this folder.
#pragma once

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <stdexcept>

#include <string>
#include <utility>
#include <vector>

#include "platform/cert_store.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace quor::platform::testing {

inline Bytes derOf(const test::TestCert& cert) {
    return cert.derBytes();
}

// DER bytes of a PEM or DER fixture certificate.
inline Bytes fixtureDer(const std::string& relative) {
    const std::string text = test::readFile(test::fixture(relative));
    if (text.rfind("-----BEGIN", 0) != 0)
        return Bytes(text.begin(), text.end());
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (cert == nullptr)
        throw std::runtime_error("unreadable fixture " + relative);
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    X509_free(cert);
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

// n distinct small certificates (end entities with their own serial numbers).
inline std::vector<Bytes> distinctCertificates(int count, const std::string& prefix = "Cert") {
    std::vector<Bytes> certificates;
    certificates.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        certificates.push_back(test::CertBuilder(test::Name::cn(prefix + " " + std::to_string(i)))
                                   .serial(1000 + i)
                                   .selfSigned()
                                   .derBytes());
    }
    return certificates;
}

// Every certificate of the store, in walk order; fails the test on a walk error.
inline std::vector<Bytes> walk(CertStore& store) {
    std::vector<Bytes> seen;
    CertContextPtr context;
    while ((context = store.next(context)))
        seen.push_back(context->der());
    EXPECT_EQ(lastError(), error::kNotFound) << "the walk must end with not-found";
    return seen;
}

// A temporary data home and a root-add handler that accepts (counting its calls), both undone
// at the end of the test.
class StoreTest : public ::testing::Test {
  protected:
    StoreTest() {
        previousHandler_ = setRootAddHandler([this](const RootAddRequest& request) {
            rootRequests.push_back(request);
            return acceptRoots;
        });
    }
    ~StoreTest() override { setRootAddHandler(std::move(previousHandler_)); }

    CertStorePtr open(std::string_view name) {
        CertStorePtr store = openSystemStore(name);
        EXPECT_TRUE(store) << "open " << name << " failed with 0x" << std::hex << lastError();
        return store;
    }

    test::ScopedDataHome home;
    std::vector<RootAddRequest> rootRequests;
    bool acceptRoots = true;

  private:
    RootAddHandler previousHandler_;
};

}  // namespace quor::platform::testing

#include "platform/decoded_certificate.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <thread>
#include <vector>

#include "tests/support/pki_builder.h"

namespace {

using quor::platform::decodeAuthority;
using quor::platform::decodeCertificate;
using quor::test::CertBuilder;
using quor::test::Name;
using Bytes = std::vector<unsigned char>;

Bytes encoded(X509* x509) {
    unsigned char* out = nullptr;
    const int length = i2d_X509(x509, &out);
    Bytes bytes(out, out + (length > 0 ? length : 0));
    OPENSSL_free(out);
    return bytes;
}

// The same bytes give the same shared object, whichever way they were first read; other bytes
// (another certificate, the same one with bytes after it) are never taken for them.
TEST(DecodedCertificateTest, SameBytesShareOneObjectAndOnlyThem) {
    const Bytes a = CertBuilder(Name::cn("Decodificada A")).ca().selfSigned().derBytes();
    const Bytes b = CertBuilder(Name::cn("Decodificada B")).serial(2).selfSigned().derBytes();
    Bytes trailing = a;
    trailing.insert(trailing.end(), {0x05, 0x00});

    std::size_t consumed = 0;
    const auto first = decodeCertificate(a.data(), a.size(), &consumed);
    ASSERT_TRUE(first);
    EXPECT_EQ(consumed, a.size());
    const auto again = decodeCertificate(a.data(), a.size(), &consumed);
    EXPECT_EQ(again.get(), first.get());
    EXPECT_EQ(consumed, a.size());
    EXPECT_EQ(decodeAuthority(a.data(), a.size()).get(), first.get());

    const auto other = decodeCertificate(b.data(), b.size());
    ASSERT_TRUE(other);
    EXPECT_NE(other.get(), first.get());
    EXPECT_EQ(encoded(other.get()), b);

    const auto longer = decodeCertificate(trailing.data(), trailing.size(), &consumed);
    ASSERT_TRUE(longer);
    EXPECT_EQ(consumed, a.size());  // the certificate, not the bytes after it
    EXPECT_EQ(encoded(longer.get()), a);
    consumed = 0;
    const auto longerAgain = decodeCertificate(trailing.data(), trailing.size(), &consumed);
    EXPECT_EQ(longerAgain.get(), longer.get());
    EXPECT_EQ(consumed, a.size());  // kept with what was read
    EXPECT_NE(longer.get(), first.get());
}

TEST(DecodedCertificateTest, WhatIsNotACertificateIsNullEveryTime) {
    const Bytes good = CertBuilder(Name::cn("Cortada")).selfSigned().derBytes();
    const std::vector<Bytes> bad = {
        {},
        {0x30},
        {0x30, 0x03, 0x02, 0x01, 0x01},
        Bytes(good.begin(), good.begin() + static_cast<long>(good.size() / 2)),
    };
    for (const Bytes& bytes : bad) {
        for (int round = 0; round < 2; ++round) {
            EXPECT_FALSE(decodeCertificate(bytes.empty() ? nullptr : bytes.data(), bytes.size()))
                << bytes.size() << " bytes, round " << round;
            ERR_clear_error();
        }
    }
    EXPECT_FALSE(decodeCertificate(good.data(), 0));
}

// A certificate whose extensions OpenSSL cannot read is decoded for each caller on its own:
// a shared object must never be written by a reader.
TEST(DecodedCertificateTest, CertificateWithUnreadableExtensionsIsNotShared) {
    const Bytes broken = CertBuilder(Name::cn("Extensao Quebrada"))
                             .rawBasicConstraints({0x30, 0x03, 0x01, 0x01})
                             .selfSigned()
                             .derBytes();
    const auto first = decodeCertificate(broken.data(), broken.size());
    ASSERT_TRUE(first);
    const auto second = decodeCertificate(broken.data(), broken.size());
    ASSERT_TRUE(second);
    EXPECT_NE(first.get(), second.get());
    ERR_clear_error();
}

// Many threads reading the same and different certificates, through both sets at once, more
// than either keeps: every one gets the certificate it asked for.
TEST(DecodedCertificateTest, ThreadsReadingAtOnceGetTheirOwnCertificates) {
    std::vector<Bytes> certificates;
    for (int i = 0; i < 700; ++i) {
        certificates.push_back(CertBuilder(Name::cn("Paralela " + std::to_string(i)))
                                   .serial(i + 1)
                                   .selfSigned()
                                   .derBytes());
    }
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (std::size_t i = static_cast<std::size_t>(t); i < certificates.size(); i += 2) {
                    const Bytes& der = certificates[i];
                    const auto x509 = (i % 3 == 0) ? decodeAuthority(der.data(), der.size())
                                                   : decodeCertificate(der.data(), der.size());
                    if (!x509 || encoded(x509.get()) != der)
                        ++wrong[static_cast<std::size_t>(t)];
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace

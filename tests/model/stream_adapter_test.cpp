#include "signer/model/stream_adapter.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <sstream>
#include <string>
#include <vector>

#include "signer/model/certificate.h"
#include "tests/support/pki_builder.h"

namespace quor::signer {
namespace {

using test::CertBuilder;
using test::Name;
using test::TestCert;

std::vector<std::string> bundleFingerprints(PKCS7* p7) {
    std::vector<std::string> texts;
    if (OBJ_obj2nid(p7->type) != NID_pkcs7_signed)
        return texts;
    STACK_OF(X509)* certificates = p7->d.sign->cert;
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
        texts.push_back(Certificate(sk_X509_value(certificates, i)).getFingerprint());
    }
    return texts;
}

TEST(StreamAdapterTest, MethodIsTheNamedSourceSinkType) {
    openssl::BioPtr bio(BIO_new(streamAdapterMethod()));
    ASSERT_TRUE(bio);
    EXPECT_EQ(BIO_method_type(bio.get()), 0x0432);
    EXPECT_STREQ(BIO_method_name(bio.get()), "std_stream_adapter");
    EXPECT_EQ(streamAdapterMethod(), streamAdapterMethod());
}

TEST(StreamAdapterTest, Pkcs7BundleIsReadWholeFromAnInputStream) {
    const TestCert root = CertBuilder(Name::cn("Root")).ca().selfSigned();
    const TestCert inter = CertBuilder(Name::cn("Inter")).ca().signedBy(root);
    const TestCert leaf = CertBuilder(Name::cn("Leaf")).signedBy(inter);
    const std::string trailer = "bytes after the structure";
    std::istringstream in(test::pkcs7Der({root, leaf, inter}) + trailer);

    const openssl::BioPtr bio = newInputStreamBio(in);
    ASSERT_TRUE(bio);
    const openssl::Pkcs7Ptr p7(d2i_PKCS7_bio(bio.get(), nullptr));
    ASSERT_TRUE(p7);
    EXPECT_EQ(bundleFingerprints(p7.get()),
              (std::vector<std::string>{root.sha1Text(), leaf.sha1Text(), inter.sha1Text()}));
}

TEST(StreamAdapterTest, StreamsThatEndEarlyOrHoldOtherDataFailWithoutHanging) {
    const TestCert root = CertBuilder(Name::cn("Root")).ca().selfSigned();
    const std::string bundle = test::pkcs7Der({root});
    const std::vector<std::pair<const char*, std::string>> inputs = {
        {"empty", ""},
        {"first byte only", bundle.substr(0, 1)},
        {"half a bundle", bundle.substr(0, bundle.size() / 2)},
        {"all but the last byte", bundle.substr(0, bundle.size() - 1)},
        {"PEM text of the bundle", test::pkcs7Pem({root})},
        {"an HTML error page", "<html><body>404 Not Found</body></html>"},
    };
    for (const auto& [what, data] : inputs) {
        std::istringstream in(data);
        const openssl::BioPtr bio = newInputStreamBio(in);
        ASSERT_TRUE(bio);
        EXPECT_FALSE(openssl::Pkcs7Ptr(d2i_PKCS7_bio(bio.get(), nullptr))) << what;
    }
    ERR_clear_error();
}

TEST(StreamAdapterTest, WritesReachTheOutputStream) {
    const TestCert root = CertBuilder(Name::cn("Root")).ca().selfSigned();
    const std::string bundle = test::pkcs7Der({root});
    const auto* cursor = reinterpret_cast<const unsigned char*>(bundle.data());
    const openssl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &cursor, static_cast<long>(bundle.size())));
    ASSERT_TRUE(p7);

    std::ostringstream out;
    const openssl::BioPtr bio = newOutputStreamBio(out);
    ASSERT_TRUE(bio);
    EXPECT_EQ(i2d_PKCS7_bio(bio.get(), p7.get()), 1);
    EXPECT_EQ(out.str(), bundle);

    std::ostringstream text;
    const openssl::BioPtr textBio = newOutputStreamBio(text);
    EXPECT_EQ(BIO_puts(textBio.get(), "linha\n"), 6);
    EXPECT_EQ(BIO_write(textBio.get(), "abc", 3), 3);
    EXPECT_EQ(text.str(), "linha\nabc");
}

TEST(StreamAdapterTest, MissingOrFailingStreamsReportMinusOne) {
    char buffer[16] = {};
    {
        // No stream attached at all.
        openssl::BioPtr bio(BIO_new(streamAdapterMethod()));
        EXPECT_EQ(BIO_write(bio.get(), "abc", 3), -1);
        EXPECT_EQ(BIO_read(bio.get(), buffer, sizeof buffer), -1);
    }
    {
        // Only an input stream: writing has nowhere to go.
        std::istringstream in("data");
        const openssl::BioPtr bio = newInputStreamBio(in);
        EXPECT_EQ(BIO_write(bio.get(), "abc", 3), -1);
        EXPECT_EQ(BIO_puts(bio.get(), "abc"), -1);
    }
    {
        // Only an output stream: reading has nothing to read.
        std::ostringstream out;
        const openssl::BioPtr bio = newOutputStreamBio(out);
        EXPECT_EQ(BIO_read(bio.get(), buffer, sizeof buffer), -1);
        EXPECT_EQ(BIO_gets(bio.get(), buffer, sizeof buffer), -1);
    }
    {
        std::ostringstream out;
        out.setstate(std::ios::badbit);
        const openssl::BioPtr bio = newOutputStreamBio(out);
        EXPECT_EQ(BIO_write(bio.get(), "abc", 3), -1);
    }
    {
        // A stream that throws on failure must not unwind through OpenSSL.
        std::ostringstream out;
        out.exceptions(std::ios::badbit | std::ios::failbit);
        out.setstate(std::ios::goodbit);
        const openssl::BioPtr bio = newOutputStreamBio(out);
        EXPECT_EQ(BIO_write(bio.get(), "abc", 3), 3);
        try {
            out.setstate(std::ios::badbit);
        } catch (const std::ios::failure&) {
        }
        EXPECT_EQ(BIO_write(bio.get(), "abc", 3), -1);
    }
    std::ostringstream out;
    const openssl::BioPtr bio = newOutputStreamBio(out);
    EXPECT_EQ(BIO_ctrl(bio.get(), BIO_CTRL_FLUSH, 0, nullptr), 0);
    EXPECT_EQ(BIO_ctrl(bio.get(), BIO_CTRL_RESET, 0, nullptr), 0);
    ERR_clear_error();
}

TEST(StreamAdapterTest, ReadsReturnWhatTheStreamHolds) {
    std::istringstream in("0123456789");
    const openssl::BioPtr bio = newInputStreamBio(in);
    char buffer[8];
    EXPECT_EQ(BIO_read(bio.get(), buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(BIO_read(bio.get(), buffer, 8), 6);  // a short read is final
    EXPECT_EQ(std::string(buffer, 6), "456789");
    EXPECT_EQ(BIO_read(bio.get(), buffer, 8), 0);
}

TEST(StreamAdapterTest, GetsReadsOneLineWithinTheBuffer) {
    std::istringstream in("first line\nsecond\nlast");
    const openssl::BioPtr bio = newInputStreamBio(in);
    struct Step {
        int size;
        const char* line;
        int result;
    };
    const std::vector<Step> steps = {
        {64, "first line\n", 11}, {4, "sec", 3},  // at most size - 1 bytes, zero-terminated
        {64, "ond\n", 4},         {64, "last", 4}, {64, "", 0}, {1, "", 0},
    };
    for (const Step& step : steps) {
        std::vector<char> buffer(static_cast<std::size_t>(step.size) + 8, 'X');
        EXPECT_EQ(BIO_gets(bio.get(), buffer.data(), step.size), step.result) << step.line;
        EXPECT_STREQ(buffer.data(), step.line);
        EXPECT_EQ(buffer[static_cast<std::size_t>(step.size)], 'X') << "wrote past the buffer";
    }
}

TEST(StreamAdapterTest, PemCertificateIsReadThroughTheAdapter) {
    const TestCert made = CertBuilder(Name::cn("PEM")).selfSigned();
    std::istringstream in("preamble\n" + made.pem());
    const openssl::BioPtr bio = newInputStreamBio(in);
    const openssl::X509Ptr x509(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(x509);
    EXPECT_EQ(Certificate(x509.get()).getFingerprint(), made.sha1Text());
}

}  // namespace
}  // namespace quor::signer

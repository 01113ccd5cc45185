// The test PKI builder is what every other suite builds its certificates with; these checks hold
// it to what the openssl command and OpenSSL's own decoders read back.
#include "tests/support/pki_builder.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include "platform/openssl_ptr.h"

namespace quor::test {
namespace {

TEST(PkiBuilderTest, CertificateFieldsReadBackThroughOpenSsl) {
    const TestCert root = CertBuilder(Name::cn("Root")).key(testKey(3)).ca().selfSigned();
    const TestCert leaf = CertBuilder(Name{{"C", "BR", StringType::Printable}, {"CN", "Leaf"}})
                              .serial(0x1234)
                              .notBefore("991231235959Z")
                              .notAfter("20500101000000Z")
                              .policies({"2.16.76.1.2.3.7", "2.16.76.1.2.1.1"})
                              .otherName("2.16.76.1.3.1", "0101197012345678901")
                              .otherName("2.16.76.1.3.3", "12345678000190", StringType::Printable)
                              .email("fulano@example.com")
                              .signedBy(root);
    const std::string text = opensslCommand(
        "x509 -noout -serial -startdate -enddate -subject -issuer -ext "
        "subjectAltName,certificatePolicies -nameopt compat",
        leaf.pem());
    for (const char* expected :
         {"serial=1234", "notBefore=Dec 31 23:59:59 1999 GMT", "notAfter=Jan  1 00:00:00 2050 GMT",
          "subject=/C=BR/CN=Leaf", "issuer=/CN=Root", "Policy: 2.16.76.1.2.3.7",
          "Policy: 2.16.76.1.2.1.1",
          "othername: 2.16.76.1.3.1::", "othername: 2.16.76.1.3.3::", "email:fulano@example.com"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << " in\n" << text;
    }
    EXPECT_EQ(X509_verify(leaf.x509(), X509_get0_pubkey(root.x509())), 1);

    // otherName values: the type asked for, the bytes given.
    openssl::GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(leaf.x509(), NID_subject_alt_name, nullptr, nullptr)));
    ASSERT_TRUE(names);
    ASSERT_EQ(sk_GENERAL_NAME_num(names.get()), 3);
    struct Expected {
        int type;
        std::string value;
    };
    const std::vector<Expected> expected = {{V_ASN1_OCTET_STRING, "0101197012345678901"},
                                            {V_ASN1_PRINTABLESTRING, "12345678000190"}};
    for (int i = 0; i < 2; ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        ASSERT_EQ(name->type, GEN_OTHERNAME);
        const ASN1_TYPE* value = name->d.otherName->value;
        EXPECT_EQ(value->type, expected[static_cast<std::size_t>(i)].type);
        const ASN1_STRING* string = value->value.asn1_string;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(string)),
                              static_cast<std::size_t>(ASN1_STRING_length(string))),
                  expected[static_cast<std::size_t>(i)].value);
    }
}

TEST(PkiBuilderTest, BundlesKeepTheGivenOrderAndArchivesOpen) {
    const TestCert root = CertBuilder(Name::cn("Root")).ca().selfSigned();
    const TestCert leaf = CertBuilder(Name::cn("Leaf")).signedBy(root);
    for (const auto& [bundle, order] : std::vector<std::pair<std::vector<TestCert>, std::string>>{
             {{root, leaf}, "RootLeaf"}, {{leaf, root}, "LeafRoot"}}) {
        const std::string text =
            opensslCommand("pkcs7 -inform DER -print_certs -noout", pkcs7Der(bundle));
        const std::size_t rootAt = text.find("subject=CN = Root");
        const std::size_t leafAt = text.find("subject=CN = Leaf");
        ASSERT_NE(rootAt, std::string::npos);
        ASSERT_NE(leafAt, std::string::npos);
        EXPECT_EQ(rootAt < leafAt ? "RootLeaf" : "LeafRoot", order);
    }

    const std::string p12 = pkcs12(leaf, "senha", {root}, "Meu certificado");
    const std::string info = opensslCommand("pkcs12 -passin pass:senha -nokeys -info", p12);
    EXPECT_NE(info.find("friendlyName: Meu certificado"), std::string::npos) << info;
    EXPECT_NE(info.find("subject=CN = Root"), std::string::npos) << info;
    EXPECT_THROW(opensslCommand("pkcs12 -passin pass:errada -nokeys", p12), std::runtime_error);
}

}  // namespace
}  // namespace quor::test

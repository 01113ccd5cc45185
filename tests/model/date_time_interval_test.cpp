#include "signer/model/date_time_interval.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include <ctime>

#include "tests/support/pki_builder.h"

namespace quor::signer {
namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

TEST(TimeTextTest, TableOfAsn1Times) {
    const ptime invalid;
    struct Case {
        const char* text;
        ptime expected;
    };
    const std::vector<Case> cases = {
        {"20491231235959Z", time_from_string("2049-12-31 23:59:59")},
        {"19500101000000Z", time_from_string("1950-01-01 00:00:00")},
        {"20500101000000Z", time_from_string("2050-01-01 00:00:00")},
        // RFC 5280 4.1.2.5.1: UTCTime years 50-99 are 19YY, 00-49 are 20YY.
        {"491231235959Z", time_from_string("2049-12-31 23:59:59")},
        {"000101000000Z", time_from_string("2000-01-01 00:00:00")},
        {"500101000000Z", time_from_string("1950-01-01 00:00:00")},
        {"991231235959Z", time_from_string("1999-12-31 23:59:59")},
        {"240229120000Z", time_from_string("2024-02-29 12:00:00")},
        {"491331235959Z", invalid},      // month 13
        {"490230000000Z", invalid},      // 30 February
        {"230229000000Z", invalid},      // 29 February of a common year
        {"491231245959Z", invalid},      // hour 24
        {"491231236059Z", invalid},      // minute 60
        {"491231235960Z", invalid},      // second 60
        {"4912312359590", invalid},      // no "Z"
        {"49123123595AZ", invalid},      // a letter among the digits
        {"49-2-31235959Z", invalid},     // a sign among the digits
        {"4912312359Z", invalid},        // UTCTime without seconds
        {"20491231235959.5Z", invalid},  // fractional seconds
        {"491231235959+0000", invalid},  // explicit offset
        {"2049123123595Z", invalid},     // 14 characters
        {"", invalid},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(timeFromAsn1Text(c.text), c.expected) << '"' << c.text << '"';
    }
    EXPECT_TRUE(timeFromAsn1Text(nullptr).is_not_a_date_time());
}

TEST(TimeTextTest, ReadsTheValidityTextsOpenSslHolds) {
    const test::TestCert made = test::CertBuilder(test::Name::cn("Old"))
                                    .notBefore("970615083000Z")
                                    .notAfter("20510101000000Z")
                                    .selfSigned();
    const ASN1_TIME* notBefore = X509_get0_notBefore(made.x509());
    const ASN1_TIME* notAfter = X509_get0_notAfter(made.x509());
    EXPECT_EQ(ASN1_STRING_type(notBefore), V_ASN1_UTCTIME);
    EXPECT_EQ(timeFromAsn1Text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(notBefore))),
              time_from_string("1997-06-15 08:30:00"));
    EXPECT_EQ(timeFromAsn1Text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(notAfter))),
              time_from_string("2051-01-01 00:00:00"));
}

TEST(DateTimeIntervalTest, KeepsBoundsAsGivenAndCopiesShareThem) {
    const ptime early = time_from_string("2020-01-01 00:00:00");
    const ptime late = time_from_string("2030-06-30 12:00:00");
    const ptime invalid;
    struct Case {
        ptime begin, end;
    };
    for (const Case& c :
         std::vector<Case>{{early, late}, {late, early}, {invalid, late}, {invalid, invalid}}) {
        const DateTimeInterval interval(c.begin, c.end);
        const DateTimeInterval copy = interval;
        EXPECT_EQ(interval.begin(), c.begin);
        EXPECT_EQ(interval.end(), c.end);
        EXPECT_EQ(&copy.begin(), &interval.begin());
    }
}

TEST(DateTimeIntervalTest, CurrentLocalTimeIsTheLocalClockToTheSecond) {
    const std::time_t before = std::time(nullptr);
    const ptime now = currentLocalTime();
    const std::time_t after = std::time(nullptr);
    std::tm local{};
    ASSERT_NE(localtime_r(&before, &local), nullptr);
    const ptime expectedEarliest = boost::posix_time::ptime_from_tm(local);
    ASSERT_NE(localtime_r(&after, &local), nullptr);
    const ptime expectedLatest = boost::posix_time::ptime_from_tm(local);
    EXPECT_GE(now, expectedEarliest);
    EXPECT_LE(now, expectedLatest);
    EXPECT_EQ(now.time_of_day().fractional_seconds(), 0);
}

}  // namespace
}  // namespace quor::signer
